// File helpers for the tests.
#include "test_files.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#ifdef _WIN32
#include <windows.h>
#endif

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
    static int serial;
    fs::path base = where.empty() ? fs::temp_directory_path() : fs::path(where);
    for (;;) {
        std::ostringstream name;
        name << "quorvel-test-" << std::rand() << "-" << ++serial;
        fs::path dir = base / name.str();
        if (fs::create_directory(dir)) {
            m_path = dir.string();
            break;
        }
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
