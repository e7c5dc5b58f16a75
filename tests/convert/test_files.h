// File helpers for the tests: a private temporary directory, whole-file reads and writes.
#pragma once

#include <string>
#include <vector>

// A new, empty directory for one test, made the process's temporary directory too (so the
// job puts its copy there), and removed with everything in it at the end of the test.
// Made in base, or else in the system's temporary directory.
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

private:
    std::string m_path;
    std::string m_oldTemp;
};

// Points the process's temporary directory (TMPDIR, or TMP on Windows) at path.
void SetTempDirectory(const std::string &path);

bool FileExists(const std::string &path);
std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);

// text with every "\n" turned into the platform's line end.
std::string Lines(const std::string &text);
