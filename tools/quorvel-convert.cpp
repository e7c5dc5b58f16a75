// Entry point of the command-line converter.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "common.h"
#include "converter.h"
#include "front_end.h"

namespace {

// Started from Explorer with nothing dropped on it: how to use it, rather than a usage error.
void TellHowToUse(FILE *err)
{
    if (UserLanguageIsKorean())
        std::fprintf(err,
                     "%s: 변환할 메일 폴더 파일(mbox, .eml 같은 메일 한 통의 파일)을 이 프로그램 위에 끌어다 "
                     "놓으세요.\n명령 프롬프트에서 '%s --help'를 실행하면 모든 옵션을 볼 수 있습니다.\n",
                     PROGRAM, PROGRAM);
    else
        std::fprintf(err,
                     "%s: to convert mail folders, drop them (mbox files, or files of one mail such as .eml) "
                     "on this program.\nRun '%s --help' at a command prompt for every option.\n",
                     PROGRAM, PROGRAM);
}

}  // namespace

int main(int argc, char **argv)
{
    EndAtOnceOnInterrupt();
    // Asked before anything else could join the console.
    bool alone = OwnsConsoleAlone();
    StartConsoleOutput();
    std::vector<std::string> arguments = ProgramArguments(argc, argv);
    int status;
    if (alone && arguments.size() == 1) {
        TellHowToUse(stderr);
        status = 2;
    } else {
        std::vector<char *> pointers(arguments.size() + 1, nullptr);
        std::transform(arguments.begin(), arguments.end(), pointers.begin(), [](std::string &a) { return &a[0]; });
        status = RunConverter(static_cast<int>(arguments.size()), pointers.data(), stdout, stderr);
    }
    // Its console closes as it ends: what it said stays until it is read.
    if (alone)
        WaitForEnter(UserLanguageIsKorean() ? "\n창을 닫으려면 Enter 키를 누르십시오." : "\nPress Enter to close.");
    EndConsoleOutput();
    return status;
}
