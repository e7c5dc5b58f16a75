// File helpers for the tests: a private temporary directory, whole-file reads and writes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "convert.h"

// A new, empty directory for one test, made the process's temporary directory too, and the
// home of its state directory (so the job puts its copy in StateDirectory()), and removed
// with everything in it at the end of the test.  Made in base, or else in the system's
// temporary directory.
class TestDir {
public:
    explicit TestDir(const std::string &base = "");
    ~TestDir();
    TestDir(const TestDir &) = delete;
    TestDir &operator=(const TestDir &) = delete;

    // path() + separator + name.
    std::string File(const std::string &name) const;
    const std::string &path() const { return m_path; }
    // Names of the files in the directory that begin with prefix.
    std::vector<std::string> Names(const std::string &prefix) const;
    // The state directory the job uses meanwhile, and the names of the files in it.
    std::string StateDirectory() const;
    std::vector<std::string> StateFiles() const;

private:
    std::string m_path;
    std::string m_oldTemp;
    std::string m_oldState;
};

// Points the home of the state directory ($XDG_STATE_HOME, or %LOCALAPPDATA% on Windows) at
// path; "" takes the variable away.
void SetStateHome(const std::string &path);

// Points the process's temporary directory (TMPDIR, or TMP on Windows) at path.
void SetTempDirectory(const std::string &path);

bool FileExists(const std::string &path);
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);

// text with every "\n" turned into the platform's line end.
std::string Lines(const std::string &text);

// The checksum a job's record keeps of bytes.
std::uint64_t Sum(const std::string &bytes);

// Leaves the folder at inbox as a job of converter, stopped, leaves it: its front, then
// state; the copy of rest and the record that says the job writes conversion, in the state
// directory.
void LeaveStoppedJob(const std::string &inbox, const std::string &front, const std::string &rest,
                     const std::string &conversion, const char *converter, const std::string &state);

// The converters of a job that converts with convert under kind (plain known besides).
SConverters Converting(const char *kind, StreamConverter convert);

// The job's entry points on the folder at path, its directory opened as a front end opens it
// (OpenFolderAt); a directory that cannot be opened fails them as the job would.
bool ConvertAt(const std::string &path, const SConverters &converters = SConverters(), SJobResult *result = nullptr);
bool UndoAt(const std::string &path, const SConverters &converters, SJobResult *result);
EPendingJob PendingAt(const std::string &path, const SConverters &converters, SJobResult *result);
bool TidyAt(const std::string &path, SJobResult *result);
