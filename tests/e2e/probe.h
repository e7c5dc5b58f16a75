// What the test driver and its probe DLL share: the request message and the answer block.
//
// Some things of a window can only be read on the thread that owns it (its system menu,
// what it paints).  The driver hooks that thread with the probe DLL (WH_GETMESSAGE), posts
// the request message to the window and waits for the answer in a named block of shared
// memory, which the driver creates before posting and the DLL fills on the window's thread.
#pragma once

#include <windows.h>

// Registered window message; wParam is one of the requests below, lParam a serial number
// that the DLL copies into ProbeBlock::answered once the whole answer is written.
#define PROBE_MESSAGE_NAME L"QuorvelE2EProbe"

enum ProbeRequest {
    PROBE_WINDOW = 1,  // the system menu and the icons of the window
    PROBE_PAINT,       // repaint the window and report how it drew an icon, if it did
};

// The shared block is named after the process of the window, so that two runs never meet.
#define PROBE_BLOCK_NAME_FORMAT L"Local\\QuorvelE2EProbe.%lu"

const int PROBE_MENU_ITEMS = 3;  // the last items of the system menu are reported
const int PROBE_TEXT_SIZE = 128;

struct ProbeMenuItem {
    UINT type;  // MFT_ flags; MFT_SEPARATOR for a separator
    UINT id;
    wchar_t text[PROBE_TEXT_SIZE];
};

struct ProbeBlock {
    volatile LONG answered;  // serial of the last request fully answered

    // PROBE_WINDOW
    int menuFound;                              // 1 when the window has a system menu
    int menuCount;                              // all items
    ProbeMenuItem lastItems[PROBE_MENU_ITEMS];  // the last ones, in menu order
    int bigIconWidth, bigIconHeight;            // of WM_GETICON ICON_BIG; 0 when none is set
    int bigIconIsResource128;                   // the big icon is the one LoadIcon gives for 128
    int smallIconIsResource129;                 // the small one is the one LoadIcon gives for 129
    int dragIconIsResource128;                  // so is the answer to WM_QUERYDRAGICON

    // PROBE_PAINT.  A minimized window has no client area to speak of, so what it paints
    // cannot be seen on the screen: the probe records the program's calls instead.
    int iconic;  // IsIconic when the request came
    int clientWidth, clientHeight;
    int paintsSeen;             // WM_PAINT messages the repaint sent to the window
    int paintSentByProbe;       // 1 when none came and the probe sent one itself
    int iconErasesSeen;         // WM_ICONERASEBKGND sent to the window
    int drawWatched;            // the program imports DrawIcon or DrawIconEx, and the probe
                                // sees its calls
    int iconDraws;              // calls of DrawIcon or DrawIconEx by the program
    int drawX, drawY;           // where the last one drew
    int drawIconIsResource128;  // it drew icon 128
    int drawDcIsWindows;        // into a device context of the window
    int drawDcWasErased;        // the same one that WM_ICONERASEBKGND was sent with
};
