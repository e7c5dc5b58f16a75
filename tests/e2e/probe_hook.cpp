// The probe DLL: loaded into the program under test by a message hook, it answers the
// driver's requests on the thread that owns the window.
#include <windows.h>

#include <cwchar>

#include "probe.h"

namespace {

UINT ProbeMessage()
{
    static const UINT message = RegisterWindowMessageW(PROBE_MESSAGE_NAME);
    return message;
}

void IconSize(HICON icon, int *width, int *height)
{
    *width = *height = 0;
    ICONINFO info;
    if (icon == nullptr || !GetIconInfo(icon, &info))
        return;
    BITMAP bm;
    if (info.hbmColor != nullptr && GetObjectW(info.hbmColor, sizeof bm, &bm)) {
        *width = bm.bmWidth;
        *height = bm.bmHeight;
    } else if (GetObjectW(info.hbmMask, sizeof bm, &bm)) {
        // A monochrome icon keeps both its masks in one bitmap of double height.
        *width = bm.bmWidth;
        *height = bm.bmHeight / 2;
    }
    if (info.hbmColor != nullptr)
        DeleteObject(info.hbmColor);
    DeleteObject(info.hbmMask);
}

// The program's icons as LoadIcon gives them: one shared handle per resource.
HICON Resource128()
{
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(128));
}

HICON Resource129()
{
    return LoadIconW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(129));
}

void ProbeWindow(HWND window, ProbeBlock *block)
{
    HMENU menu = GetSystemMenu(window, FALSE);
    block->menuFound = menu != nullptr;
    block->menuCount = menu != nullptr ? GetMenuItemCount(menu) : 0;
    for (int i = 0; i < PROBE_MENU_ITEMS; ++i) {
        ProbeMenuItem &item = block->lastItems[i];
        item = ProbeMenuItem();
        int position = block->menuCount - PROBE_MENU_ITEMS + i;
        if (position < 0)
            continue;
        MENUITEMINFOW info = {};
        info.cbSize = sizeof info;
        info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_STRING;
        info.dwTypeData = item.text;
        info.cch = PROBE_TEXT_SIZE - 1;
        if (GetMenuItemInfoW(menu, position, TRUE, &info)) {
            item.type = info.fType;
            item.id = info.wID;
        }
    }

    HICON big = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_BIG, 0));
    HICON small = reinterpret_cast<HICON>(SendMessageW(window, WM_GETICON, ICON_SMALL, 0));
    IconSize(big, &block->bigIconWidth, &block->bigIconHeight);
    block->bigIconIsResource128 = big != nullptr && big == Resource128();
    block->smallIconIsResource129 = small != nullptr && small == Resource129();
    HICON drag = reinterpret_cast<HICON>(SendMessageW(window, WM_QUERYDRAGICON, 0, 0));
    block->dragIconIsResource128 = drag != nullptr && drag == Resource128();
}

// ---- Watching the program paint ------------------------------------------------------

// What the program does while the probe repaints its window.  Only the window's thread
// touches it, during one PROBE_PAINT request.
struct PaintWatch {
    HWND window;
    ProbeBlock *block;
    HDC erasedDc;
    HDC drawnDc;
};
PaintWatch g_watch;

using DrawIconFunction = BOOL(WINAPI *)(HDC, int, int, HICON);
using DrawIconExFunction = BOOL(WINAPI *)(HDC, int, int, HICON, int, int, UINT, HBRUSH, UINT);
DrawIconFunction g_realDrawIcon;
DrawIconExFunction g_realDrawIconEx;

void RecordDraw(HDC dc, int x, int y, HICON icon)
{
    ProbeBlock *block = g_watch.block;
    ++block->iconDraws;
    block->drawX = x;
    block->drawY = y;
    block->drawIconIsResource128 = icon != nullptr && icon == Resource128();
    block->drawDcIsWindows = WindowFromDC(dc) == g_watch.window;
    g_watch.drawnDc = dc;
}

BOOL WINAPI WatchedDrawIcon(HDC dc, int x, int y, HICON icon)
{
    RecordDraw(dc, x, y, icon);
    return g_realDrawIcon(dc, x, y, icon);
}

BOOL WINAPI WatchedDrawIconEx(HDC dc, int x, int y, HICON icon, int cx, int cy, UINT step,
                              HBRUSH brush, UINT flags)
{
    RecordDraw(dc, x, y, icon);
    return g_realDrawIconEx(dc, x, y, icon, cx, cy, step, brush, flags);
}

// Points the program's imports from user32 that hold `from` at `to` instead; true when it
// had any.  The program is linked like any other: its calls into user32 go through its
// import address table.
bool SwapImport(void *from, void *to)
{
    auto *base = reinterpret_cast<BYTE *>(GetModuleHandleW(nullptr));
    auto *dos = reinterpret_cast<IMAGE_DOS_HEADER *>(base);
    auto *nt = reinterpret_cast<IMAGE_NT_HEADERS *>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (from == nullptr || imports.VirtualAddress == 0)
        return false;
    bool swapped = false;
    for (auto *dll = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress);
         dll->Name != 0; ++dll) {
        if (lstrcmpiA(reinterpret_cast<const char *>(base + dll->Name), "user32.dll") != 0)
            continue;
        for (auto *slot = reinterpret_cast<IMAGE_THUNK_DATA *>(base + dll->FirstThunk);
             slot->u1.Function != 0; ++slot) {
            if (reinterpret_cast<void *>(slot->u1.Function) != from)
                continue;
            DWORD protection;
            if (!VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE,
                                &protection))
                continue;
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(to);
            VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, protection, &protection);
            swapped = true;
        }
    }
    return swapped;
}

void *User32Function(const char *name)
{
    return reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name));
}

// Sees the messages sent to the window while it repaints.
LRESULT CALLBACK WatchSentMessages(int code, WPARAM wParam, LPARAM lParam)
{
    auto *sent = reinterpret_cast<CWPSTRUCT *>(lParam);
    if (code == HC_ACTION && sent->hwnd == g_watch.window) {
        if (sent->message == WM_PAINT)
            ++g_watch.block->paintsSeen;
        if (sent->message == WM_ICONERASEBKGND) {
            ++g_watch.block->iconErasesSeen;
            g_watch.erasedDc = reinterpret_cast<HDC>(sent->wParam);
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Repaints the window as the system does when it is uncovered, and records how it draws an
// icon: where, which one, into what.
void ProbePaint(HWND window, ProbeBlock *block)
{
    block->iconic = IsIconic(window) ? 1 : 0;
    RECT client;
    GetClientRect(window, &client);
    block->clientWidth = client.right;
    block->clientHeight = client.bottom;

    g_watch = PaintWatch {window, block, nullptr, nullptr};
    g_realDrawIcon = reinterpret_cast<DrawIconFunction>(User32Function("DrawIcon"));
    g_realDrawIconEx = reinterpret_cast<DrawIconExFunction>(User32Function("DrawIconEx"));
    void *watchedDrawIcon = reinterpret_cast<void *>(WatchedDrawIcon);
    void *watchedDrawIconEx = reinterpret_cast<void *>(WatchedDrawIconEx);
    bool watched = SwapImport(reinterpret_cast<void *>(g_realDrawIcon), watchedDrawIcon);
    watched = SwapImport(reinterpret_cast<void *>(g_realDrawIconEx), watchedDrawIconEx) || watched;
    block->drawWatched = watched;
    HHOOK hook =
        SetWindowsHookExW(WH_CALLWNDPROC, WatchSentMessages, nullptr, GetCurrentThreadId());

    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
    if (block->paintsSeen == 0) {
        // An empty client area has nothing to update, so the system sends no WM_PAINT; ask
        // the window directly, as it would be asked where its area is shown.
        block->paintSentByProbe = 1;
        SendMessageW(window, WM_PAINT, 0, 0);
    }

    if (hook != nullptr)
        UnhookWindowsHookEx(hook);
    SwapImport(watchedDrawIcon, reinterpret_cast<void *>(g_realDrawIcon));
    SwapImport(watchedDrawIconEx, reinterpret_cast<void *>(g_realDrawIconEx));
    block->drawDcWasErased = g_watch.drawnDc != nullptr && g_watch.drawnDc == g_watch.erasedDc;
}

void Answer(HWND window, WPARAM request, LPARAM serial)
{
    wchar_t name[64];
    std::swprintf(name, 64, PROBE_BLOCK_NAME_FORMAT, GetCurrentProcessId());
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, name);
    if (mapping == nullptr)
        return;
    auto *block =
        static_cast<ProbeBlock *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(ProbeBlock)));
    if (block != nullptr) {
        if (request == PROBE_WINDOW)
            ProbeWindow(window, block);
        else if (request == PROBE_PAINT)
            ProbePaint(window, block);
        MemoryBarrier();
        InterlockedExchange(&block->answered, static_cast<LONG>(serial));
        UnmapViewOfFile(block);
    }
    CloseHandle(mapping);
}

}  // namespace

// WH_GETMESSAGE hook procedure: answers a request when it is taken off the queue, and turns
// it into WM_NULL so that the window never sees it.
extern "C" __declspec(dllexport) LRESULT CALLBACK
    ProbeGetMessage(int code, WPARAM removal, LPARAM lParam)
{
    auto *msg = reinterpret_cast<MSG *>(lParam);
    if (code == HC_ACTION && removal == PM_REMOVE && msg->message == ProbeMessage()) {
        Answer(msg->hwnd, msg->wParam, msg->lParam);
        msg->message = WM_NULL;
    }
    return CallNextHookEx(nullptr, code, removal, lParam);
}
