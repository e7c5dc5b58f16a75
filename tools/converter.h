// The command-line converter: the Inbox conversion job for scripts and for systems
// without the dialog.
#pragma once

#include <cstdio>

// Runs the converter on its arguments as main() would, reading in and writing to out and
// err instead of the standard streams (in is read for "-", and with no FILE where it is not
// a terminal; a progress line is drawn on err where it is one).  Returns the exit status:
// 0 when every file converted, 1 when any failed, 2 for a usage error.
int RunConverter(int argc, char **argv, FILE *in, FILE *out, FILE *err);
// The same, reading standard input.
int RunConverter(int argc, char **argv, FILE *out, FILE *err);
