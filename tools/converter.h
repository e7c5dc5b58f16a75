// The command-line converter: the Inbox conversion job for scripts and for systems
// without the dialog.
#pragma once

#include <cstdio>

// Runs the converter on its arguments as main() would, writing to out and err instead of
// the standard streams.  Returns the exit status: 0 when every file converted, 1 when any
// failed, 2 for a usage error.
int RunConverter(int argc, char **argv, FILE *out, FILE *err);
