// What a command-line front end needs of the system beyond platform.h: its arguments as
// UTF-8, with the patterns that the Windows prompt leaves to programs expanded, and its
// console.  Ours, not the system's; each system's side is front_end.cpp in posix/ or win32/.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform.h"

// The program's arguments, its name first, in UTF-8.  Natively argv as it is.  On Windows
// from the wide command line, whatever the ANSI code page, split as the C runtime splits
// it but for one case: backslashes before a quote that closes an argument, where the
// runtime would take the quote for a character of it, are the argument's own backslashes
// ("C:\my mail\" is the directory C:\my mail\).  Each argument whose last name holds * or ?,
// quoted or not, and after \\?\ too, becomes the paths that match it in its directory, by
// their long names, in any case, sorted by name; one that matches nothing is left as it is,
// for its error to name it (ERROR_PATTERN_UNMATCHED).
std::vector<std::string> ProgramArguments(int argc, char **argv);

// True for the Windows prompt's own way of asking for help, "/?"; never natively, where
// "/?" is a path.
bool IsPromptHelp(const char *argument);

// Whether stream is a terminal: on Windows a console (the NUL device is none), also where
// StartConsoleOutput carries the stream to it.
bool IsTerminal(FILE *stream);

// On Windows, has standard output and standard error, where they are a console, shown
// there as the UTF-8 text they are (WriteConsoleW), whatever the console's code page;
// elsewhere their bytes pass as they are, as natively everywhere.  EndConsoleOutput, before
// the program ends, shows what is left.
void StartConsoleOutput();
void EndConsoleOutput();

// True when the program is the only one of its console, with its standard input and error
// on it: started from Explorer (a double-click, files dropped on it), whose console closes
// as it ends, not from a prompt or a script.  Asked once at the start.  Never natively.
bool OwnsConsoleAlone();
// Shows prompt (UTF-8) on the console and waits for Enter there, ending the console
// output first (EndConsoleOutput).  Keys pressed before are not taken for it.
void WaitForEnter(const char *prompt);
// True when the user's language is Korean (on Windows the user's UI language; natively the
// locale's).
bool UserLanguageIsKorean();
