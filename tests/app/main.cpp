// Entry point of the window tests: the framework is set up as the program's WinMain would.
#include <windows.h>

#include <gtest/gtest.h>

#include "winapp.h"

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    if (!AfxWinInit(GetModuleHandleW(nullptr), nullptr, GetCommandLineA(), SW_SHOWNORMAL))
        return 1;
    return RUN_ALL_TESTS();
}
