// The command line's arguments and the terminal (front_end.h), natively: as they come.
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "front_end.h"

std::vector<std::string> ProgramArguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

bool IsPromptHelp(const char *)
{
    return false;
}

bool IsTerminal(FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

void StartConsoleOutput() {}

void EndConsoleOutput() {}

bool OwnsConsoleAlone()
{
    // A terminal outlives the programs started in it.
    return false;
}

void WaitForEnter(const char *) {}

bool UserLanguageIsKorean()
{
    for (const char *name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char *value = std::getenv(name);
        if (value != nullptr && value[0] != '\0')
            return std::strncmp(value, "ko", 2) == 0;
    }
    return false;
}
