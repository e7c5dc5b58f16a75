// Entry point of the command-line converter.
#include <cstdio>

#include "converter.h"

int main(int argc, char **argv)
{
    return RunConverter(argc, argv, stdout, stderr);
}
