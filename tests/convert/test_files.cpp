// File helpers for the tests.
#include "test_files.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <gtest/gtest.h>

#include "journal.h"
#include "platform.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
const char TEMP_VARIABLE[] = "TMP";
const char STATE_VARIABLE[] = "LOCALAPPDATA";
const char STATE_SUBDIRECTORY[] = "Quorvel";
void SetVariable(const char *name, const std::string &value)
{
    SetEnvironmentVariableA(name, value.empty() ? nullptr : value.c_str());
}
#else
const char TEMP_VARIABLE[] = "TMPDIR";
const char STATE_VARIABLE[] = "XDG_STATE_HOME";
const char STATE_SUBDIRECTORY[] = "quorvel";
void SetVariable(const char *name, const std::string &value)
{
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
}
#endif

void SetTemp(const std::string &value)
{
    SetVariable(TEMP_VARIABLE, value);
}

unsigned long ProcessNumber()
{
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}

std::string Variable(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

}  // namespace

TestDir::TestDir(const std::string &where)
{
    m_oldTemp = Variable(TEMP_VARIABLE);
    m_oldState = Variable(STATE_VARIABLE);
    // Named by the process and a count, so that test programs run side by side never try
    // the same names; a name left by an earlier process of the same number is passed over.
    static int serial;
    fs::path base = where.empty() ? fs::temp_directory_path() : fs::path(where);
    for (;;) {
        std::ostringstream name;
        name << "quorvel-test-" << ProcessNumber() << "-" << ++serial;
        fs::path dir = base / name.str();
        std::error_code error;
        if (fs::create_directory(dir, error)) {
            m_path = dir.string();
            break;
        }
        if (error && error != std::errc::file_exists)
            throw fs::filesystem_error("cannot make a test directory", dir, error);
    }
    SetTemp(m_path);
    SetVariable(STATE_VARIABLE, m_path);
}

TestDir::~TestDir()
{
    SetTemp(m_oldTemp);
    SetVariable(STATE_VARIABLE, m_oldState);
    std::error_code ignored;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
    for (const auto &entry : fs::recursive_directory_iterator(m_path, ignored))
        fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(m_path, ignored);
}

std::string TestDir::File(const std::string &name) const
{
    return (fs::path(m_path) / name).string();
}

std::vector<std::string> TestDir::Names(const std::string &prefix) const
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(m_path)) {
        std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) == 0)
            names.push_back(name);
    }
    return names;
}

std::string TestDir::StateDirectory() const
{
    return File(STATE_SUBDIRECTORY);
}

std::vector<std::string> TestDir::StateFiles() const
{
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : fs::directory_iterator(StateDirectory(), ignored))
        names.push_back(entry.path().filename().string());
    return names;
}

void SetStateHome(const std::string &path)
{
    SetVariable(STATE_VARIABLE, path);
}

void SetTempDirectory(const std::string &path)
{
    SetTemp(path);
}

bool FileExists(const std::string &path)
{
    std::error_code ignored;
    return fs::exists(path, ignored);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Lines(const std::string &text)
{
    std::string result;
    for (char c : text) {
        if (c == '\n')
            result += PLATFORM_LINE_END;
        else
            result += c;
    }
    return result;
}

std::uint64_t Sum(const std::string &bytes)
{
    SChecksum sum;
    sum.Add(bytes.data(), bytes.size());
    return sum.Value();
}

void LeaveStoppedJob(const std::string &inbox, const std::string &front, const std::string &rest,
                     const std::string &conversion, const char *converter, const std::string &state)
{
    WriteFile(inbox, front + state);
    HANDLE folder = CreateFileA(inbox.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE);
    SJournal journal = {};
    ASSERT_TRUE(GetFileIdentity(folder, &journal.id));
    CloseHandle(folder);
    char dir[PATH_SIZE], base[PATH_SIZE];
    SJobFiles files;
    ASSERT_TRUE(GetStateDirectory(dir, sizeof dir) && MakeJobBase(journal.id, 1, true, base, sizeof base) &&
                MakeJobFiles(dir, base, &files));
    HANDLE copy = CreateFileA(files.copy, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(copy, INVALID_HANDLE_VALUE);
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(copy, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr));
    CloseHandle(copy);
    ASSERT_TRUE(ResolvePath(inbox.c_str(), journal.folder));
    journal.start = front.size();
    journal.frontChecksum = Sum(front);
    journal.length = rest.size();
    journal.checksum = Sum(rest);
    journal.converted = conversion.size();
    journal.convertedChecksum = Sum(conversion);
    journal.addedChecksum = journal.oldChecksum = Sum("");
    std::snprintf(journal.converter, sizeof journal.converter, "%s", converter);
    ASSERT_TRUE(WriteJournal(files.record, journal));
}

SConverters Converting(const char *kind, StreamConverter convert)
{
    SConverters converters;
    converters.use = {kind, convert};
    return converters;
}

bool ConvertAt(const std::string &path, const SConverters &converters, SJobResult *result)
{
    return ConvertFolderAtPath(path.c_str(), converters, result);
}

bool UndoAt(const std::string &path, const SConverters &converters, SJobResult *result)
{
    SFolderAt at;
    return OpenFolderAt(path.c_str(), &at) && UndoInterruptedJob(*at.dir, at.name, converters, result);
}

EPendingJob PendingAt(const std::string &path, const SConverters &converters, SJobResult *result)
{
    SFolderAt at;
    return OpenFolderAt(path.c_str(), &at) ? FindPendingJob(*at.dir, at.name, converters, result) : PENDING_UNKNOWN;
}

bool TidyAt(const std::string &path, SJobResult *result)
{
    SFolderAt at;
    return OpenFolderAt(path.c_str(), &at) && TidyStoppedJob(*at.dir, at.name, result);
}
