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

// What the stores on a server need to find the user's password or token: a line read from
// the terminal without echo, a command's output, the user's ~/.netrc.

// Shows prompt (UTF-8) on the terminal and reads one line there with echo off, without its
// line end, into line (at most MAX_HIDDEN_LINE bytes): natively on /dev/tty, whatever
// standard input and output are; on Windows on the console (CONIN$, CONOUT$), as UTF-8.  The
// echo comes back and a new line is shown after it, interrupted too: an interrupt (Ctrl-C,
// SIGTERM, SIGHUP) puts the terminal back as it was, then goes to the program's own handling
// of it (which ends the program; where it returns, false with why "interrupted").  False with
// why where there is no terminal, or the line is longer.  The caller wipes line (WipeMemory).
const std::size_t MAX_HIDDEN_LINE = 4096;
bool ReadHiddenLine(const std::string &prompt, std::string &line, std::string &why);

// Starts command through the system's shell (natively /bin/sh -c, on Windows cmd /c), with
// the program's standard input and standard error, and gives the stream of its standard
// output (binary, to be read to its end).  Null with why where it cannot be started.
FILE *StartCommand(const std::string &command, std::string &why);
// Closes the stream StartCommand gave and waits for its command to end.  False with why
// ("ended with status 3", "ended by signal 9") where it did not end with status 0.
bool EndCommand(FILE *output, std::string &why);

// Opens the user's own file of passwords for machines as curl reads it, natively ~/.netrc
// ($HOME, else the password database's home), on Windows %USERPROFILE%\_netrc, for reading,
// its stream unbuffered (so that no buffer of the C library keeps its bytes); path gets its
// name.  Null where it cannot be opened: why empty where there is none, else the reason (a
// directory, the system's error).
FILE *OpenNetrc(std::string &path, std::string &why);
// Whether group or others may read or write the open file: natively by its mode; never on
// Windows, where the user's profile directory is closed to others.
bool IsOpenToOthers(FILE *file);

// Overwrites size bytes at data with zeros, in a way the compiler does not take out as a
// write nobody reads: for buffers that held a password.
void WipeMemory(void *data, std::size_t size);
