// The entry point of a framework program: straight to AfxWinMain. Built into the program
// itself, not the framework's library; a test program has a main of its own instead.
#include "winapp.h"

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    return AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
}
