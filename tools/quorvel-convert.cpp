// Entry point of the command-line converter.
#include <cstdio>

#include "converter.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdlib>

// FILE arguments with * or ? are expanded by the C runtime before main, as the Windows
// prompt leaves them to the program; a pattern that matches nothing stays as it is, so that
// the error names it.  UTF-8 names, as the manifest's code page makes every name.
extern "C" {
int _dowildcard = -1;
}

namespace {

UINT g_consoleCodePage;

void RestoreConsole()
{
    SetConsoleOutputCP(g_consoleCodePage);
}

// The program's code page is UTF-8 (its manifest), so paths and the system's messages
// come as UTF-8: the console shows them so for as long as the program runs.
void ShowUtf8InConsole()
{
    g_consoleCodePage = GetConsoleOutputCP();
    if (g_consoleCodePage != 0 && g_consoleCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit(RestoreConsole);
}

}  // namespace
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    ShowUtf8InConsole();
#endif
    return RunConverter(argc, argv, stdout, stderr);
}
