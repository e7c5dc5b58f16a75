// The command-line converter: runs the Inbox conversion job on each file named.
#include <cstring>

#include "convert.h"
#include "converter.h"
#include "platform.h"
#include "version.h"

namespace {

const char PROGRAM[] = "quorvel-convert";
const char VERSION[] = QUORVEL_VERSION;

void PrintUsage(FILE *to)
{
    std::fprintf(to,
                 "Usage: %s FILE...\n"
                 "Converts each mail folder FILE in place from ISO-2022-KR to EUC-KR and\n"
                 "deletes its summary file FILE.snm.\n"
                 "\n"
                 "  --help     show this help and exit\n"
                 "  --version  show the version and exit\n"
                 "\n"
                 "Exit status: 0 if every FILE was converted, 1 if any failed, 2 for a usage error.\n",
                 PROGRAM);
}

int UsageError(FILE *err, const char *what, const char *arg)
{
    std::fprintf(err, "%s: %s%s\n", PROGRAM, what, arg);
    std::fprintf(err, "Try '%s --help' for more information.\n", PROGRAM);
    return 2;
}

}  // namespace

int RunConverter(int argc, char **argv, FILE *out, FILE *err)
{
    int first = 1;
    for (; first < argc; ++first) {
        const char *arg = argv[first];
        if (std::strcmp(arg, "--") == 0) {
            ++first;
            break;
        }
        if (arg[0] != '-' || arg[1] == '\0')
            break;
        if (std::strcmp(arg, "--help") == 0) {
            PrintUsage(out);
            return 0;
        }
        if (std::strcmp(arg, "--version") == 0) {
            std::fprintf(out, "%s %s\n", PROGRAM, VERSION);
            return 0;
        }
        return UsageError(err, "unknown option ", arg);
    }
    if (first >= argc)
        return UsageError(err, "no FILE given", "");

    int status = 0;
    for (int i = first; i < argc; ++i) {
        if (ConvertInbox(argv[i]))
            continue;
        status = 1;
        char reason[256];
        if (DescribeError(GetLastError(), reason, sizeof reason))
            std::fprintf(err, "%s: %s: cannot convert: %s\n", PROGRAM, argv[i], reason);
        else
            std::fprintf(err, "%s: %s: cannot convert\n", PROGRAM, argv[i]);
        if (*KeptCopyOfDamagedFolder() != '\0')
            std::fprintf(err, "%s: %s: may be damaged; its original is kept in %s\n", PROGRAM,
                         argv[i], KeptCopyOfDamagedFolder());
    }
    return status;
}
