// The end-to-end driver: runs Quorvel.exe as a user would and checks what it shows and does.
//
//   quorvel-e2e GROUP LANGUAGE QUORVEL_EXE PROBE_DLL
//
// GROUP is one of startup, window, convert, values, about, exit, icon; LANGUAGE is en or ko and
// names the texts to expect (the program itself follows the user's language, LC_ALL under
// Wine).  Each case prepares the mail client's registry key and a mail directory of its
// own, starts the program, finds its windows from outside and drives them with the
// messages a user's clicks and keys produce.  Exit status: 0 when every check passed.
//
//   quorvel-e2e show-main|show-about LANGUAGE QUORVEL_EXE PROBE_DLL HANDSHAKE_DIR
//
// holds the main window or the About box up for scripts/screenshots to take its picture.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "harness.h"
#include "texts.h"

namespace {

// Control and command ids of the main window.
const int IDC_CONVERT = 1000;
const int IDC_EXIT = 1001;
const int IDC_STATUS = 1002;
const int IDC_ABOUT = 1003;
const int IDC_TEXT_CONVERTING = 1004;
const int IDC_TEXT_FAILED = 1005;
const int IDC_TEXT_MENU_ABOUT = 1006;
const int IDC_TEXT_MENU_CONVERT = 1007;
const UINT IDM_CONVERT = 0x0010;
const UINT IDM_ABOUTBOX = 0x0030;

struct Setting {
    const UiTexts *texts;
    std::wstring exe;
    std::wstring probeDll;
    std::wstring handshake;  // for the show groups: where they meet the screenshot script
};

// The captions of the process's windows, to tell what came up instead of the expected one.
std::string WindowList(const Program &program)
{
    std::string list;
    for (HWND window : program.TopWindows())
        list += (list.empty() ? "\"" : ", \"") + Utf8(WindowText(window)) + "\"";
    return list.empty() ? "no window" : "windows: " + list;
}

// Fills mail with an Inbox and Inbox.snm and points the mail client's registry value at it.
void SetUpMail(const MailDirectory &mail)
{
    Check(mail.Fill() && SetMailDirectory(mail.Path()),
          "set-up: a mail directory with an Inbox and Inbox.snm");
}

HWND StartMainWindow(const Setting &setting, Program &program, const std::wstring &directory)
{
    HWND main = nullptr;
    std::string state;
    // Now and then, about once in a few hundred starts on a busy machine, Wine shows a fresh
    // program no window at all: start it once more, and say so.  A program that never shows
    // its window fails both times.
    for (int attempt = 1; attempt <= 2 && main == nullptr; ++attempt) {
        if (!program.Start(setting.exe, directory)) {
            Check(false, "Quorvel.exe starts");
            return nullptr;
        }
        main = program.WaitForWindow(setting.texts->mainCaption, START_TIMEOUT_MS);
        if (main == nullptr) {
            DWORD code = 0;
            state = program.Running() ? "still running"
                    : program.WaitForExit(0, &code) ? "ended with exit code " + std::to_string(code)
                                                    : "state unknown";
            if (attempt == 1)
                Note("no main window yet (" + WindowList(program) + ", " + state + "): starting it again");
        }
    }
    Check(main != nullptr, "the main window opens, captioned \"" +
                               Utf8(setting.texts->mainCaption) + "\"" +
                               (main != nullptr ? "" : " (" + WindowList(program) + ", " + state + ")"));
    // As a user would, wait until the window is ready for input: a command posted while Wine
    // is still showing it may be lost (a minimize then leaves the window as it was).
    if (main != nullptr)
        Check(program.WaitForInputIdle(UI_TIMEOUT_MS), "the program waits for input");
    return main;
}

// Ends the run through Exit and checks that the program ended with it.
void EndWithExit(Program &program, HWND main)
{
    if (main == nullptr || !program.Running())
        return;
    PostMessageW(GetDlgItem(main, IDC_EXIT), BM_CLICK, 0, 0);
    Check(program.WaitForExit(UI_TIMEOUT_MS), "the program ends on Exit");
}

void ClickOk(HWND dialog)
{
    PostMessageW(GetDlgItem(dialog, IDOK), BM_CLICK, 0, 0);
}

// Checks that one of the texts of a window's controls is the expected one, or, with
// withReason, the expected one and the system's reason on a line of its own.
void CheckShows(const std::vector<std::wstring> &texts, const std::wstring &expected,
                bool withReason = false)
{
    std::string shown;
    for (const std::wstring &text : texts) {
        bool reasonAfter = withReason && text.size() > expected.size() + 1 &&
                           text.compare(0, expected.size() + 1, expected + L"\n") == 0;
        if (text == expected || reasonAfter) {
            Check(true, "it says " + Quoted(expected));
            return;
        }
        shown += (shown.empty() ? "" : ", ") + Quoted(text);
    }
    Check(false, "it says " + Quoted(expected) + " (it shows " +
                     (shown.empty() ? "no text" : shown) + ")");
}

// Files the conversion job leaves in the temporary directory, by their prefix.
std::vector<std::wstring> TemporaryCopies()
{
    std::vector<std::wstring> names;
    wchar_t temp[MAX_PATH];
    DWORD n = GetTempPathW(MAX_PATH, temp);
    if (n == 0 || n >= MAX_PATH)
        return names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((std::wstring(temp) + L"qvl*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
}

// Where a window is and how it is shown, to tell what became of a command that moves it.
std::string Placement(HWND window)
{
    RECT r = {};
    GetWindowRect(window, &r);
    char text[160];
    std::snprintf(text, sizeof text, "style %08lx, at %ld,%ld-%ld,%ld, %s, %s",
                  GetWindowLongW(window, GWL_STYLE), r.left, r.top, r.right, r.bottom,
                  IsWindowEnabled(window) ? "enabled" : "disabled",
                  GetForegroundWindow() == window ? "in the foreground" : "not in the foreground");
    return text;
}

// ---- startup --------------------------------------------------------------------------

// Starts the program with the mail set-up broken and checks the one message it shows.
void CheckStartupMessage(const Setting &setting, const std::wstring &expected,
                         const std::string &situation)
{
    Note(situation);
    MailDirectory mail;
    Program program;
    if (!program.Start(setting.exe, mail.Path())) {
        Check(false, "Quorvel.exe starts");
        return;
    }
    HWND box = program.WaitForWindow(MESSAGE_CAPTION, START_TIMEOUT_MS);
    Check(box != nullptr, std::string("a message box captioned \"Quorvel\" appears") +
                              (box != nullptr ? "" : " (" + WindowList(program) + ")"));
    if (box == nullptr)
        return;
    Check(GetWindow(box, GW_OWNER) == nullptr, "it has no owner window");
    std::vector<std::wstring> texts = ChildTexts(box, L"Static");
    CheckShows(texts, expected);
    std::vector<std::wstring> buttons = ChildTexts(box, L"Button");
    Check(buttons.size() == 1 && GetDlgItem(box, IDOK) != nullptr, "it has an OK button only");
    Check(program.TopWindows().size() == 1,
          "no other window is shown (" + WindowList(program) + ")");

    // A window with the main caption, hidden or not, would be the main window: this private
    // Wine session runs no other program that could own one.
    bool mainSeen = false;
    auto lookForMain = [&] {
        if (FindWindowW(nullptr, setting.texts->mainCaption) != nullptr)
            mainSeen = true;
        return !program.Running();
    };
    lookForMain();
    ClickOk(box);
    bool ended = WaitUntil(lookForMain, UI_TIMEOUT_MS) && program.WaitForExit(UI_TIMEOUT_MS);
    Check(ended, "the program ends when OK is clicked");
    Check(!mainSeen, "the main window never opens");
}

void StartupGroup(const Setting &setting)
{
    Check(RemoveMailKey(), "set-up: the mail client's key is removed");
    CheckStartupMessage(setting, REG_OPEN_FAILED_TEXT, "the mail client's registry key is missing");

    Check(CreateMailKeyWithoutValue(), "set-up: the key exists without \"Mail Directory\"");
    CheckStartupMessage(setting, NO_MAIL_SETUP_TEXT, "the \"Mail Directory\" value is missing");

    // Longer than the 493 bytes the program reads.
    Check(SetMailDirectory(L"C:\\" + std::wstring(600, L'm')),
          "set-up: a 603-character \"Mail Directory\"");
    CheckStartupMessage(setting, NO_MAIL_SETUP_TEXT, "the \"Mail Directory\" value is too long");
    RemoveMailKey();
}

// ---- window ---------------------------------------------------------------------------

void CheckControl(HWND main, int id, const wchar_t *className, const std::wstring &text, bool shown,
                  const std::string &name)
{
    HWND control = GetDlgItem(main, id);
    if (control == nullptr) {
        Check(false, name + " (" + std::to_string(id) + ") exists");
        return;
    }
    CheckText(WindowText(control), text, name + " (" + std::to_string(id) + ") reads");
    Check(lstrcmpiW(ClassName(control).c_str(), className) == 0,
          name + " is a " + Utf8(className) + " control");
    if (shown) {
        Check(IsWindowVisible(control) && IsWindowEnabled(control),
              name + " is visible and enabled");
    } else {
        Check(!IsWindowVisible(control), name + " is not visible");
        Check(!IsWindowEnabled(control), name + " is disabled");
    }
}

void WindowGroup(const Setting &setting)
{
    const UiTexts &t = *setting.texts;
    MailDirectory mail;
    SetUpMail(mail);
    Program program;
    HWND main = StartMainWindow(setting, program, mail.Path());
    if (main == nullptr)
        return;

    Note("the main window and its controls");
    CheckText(WindowText(main), t.mainCaption, "caption");
    Check(program.TopWindows().size() == 1,
          "the main window is the only window (" + WindowList(program) + ")");
    Check(IsWindowEnabled(main), "the main window is enabled");
    CheckControl(main, IDC_STATUS, L"Static", t.instruction, true, "the instruction");
    CheckControl(main, IDC_CONVERT, L"Button", t.convertButton, true, "Convert");
    CheckControl(main, IDC_EXIT, L"Button", t.exitButton, true, "Exit");
    CheckControl(main, IDC_ABOUT, L"Button", t.aboutButton, true, "About");
    CheckControl(main, IDC_TEXT_CONVERTING, L"Static", t.converting, false,
                 "the hidden progress text");
    CheckControl(main, IDC_TEXT_FAILED, L"Static", t.failed, false, "the hidden failure text");
    CheckControl(main, IDC_TEXT_MENU_ABOUT, L"Static", t.menuAbout, false,
                 "the hidden About menu text");
    CheckControl(main, IDC_TEXT_MENU_CONVERT, L"Static", t.menuConvert, false,
                 "the hidden Convert menu text");

    Note("the system menu and the icons, read on the program's own thread");
    Probe probe(setting.probeDll);
    Check(probe.Attach(main), "the probe is hooked into the window's thread");
    const ProbeBlock *answer = probe.Ask(PROBE_WINDOW, UI_TIMEOUT_MS);
    Check(answer != nullptr, "the probe answers");
    if (answer != nullptr) {
        Check(answer->menuFound && answer->menuCount > 3,
              "the window has a system menu with the standard items and ours");
        const ProbeMenuItem *last = answer->lastItems;
        Check((last[0].type & MFT_SEPARATOR) != 0, "the third-last item is a separator");
        Check(last[1].id == IDM_CONVERT && !(last[1].type & MFT_SEPARATOR),
              "the next-to-last item is Convert (0x10)");
        CheckText(last[1].text, t.menuConvert, "its text");
        Check(last[2].id == IDM_ABOUTBOX && !(last[2].type & MFT_SEPARATOR),
              "the last item is About (0x30)");
        CheckText(last[2].text, t.menuAbout, "its text");
        int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
        Check(answer->bigIconWidth == cx && answer->bigIconHeight == cy,
              "the large icon is set, " + std::to_string(answer->bigIconWidth) + "x" +
                  std::to_string(answer->bigIconHeight));
        Check(answer->bigIconIsResource128, "the large icon is icon 128");
        Check(answer->smallIconIsResource129, "the small icon is icon 129");
        Check(answer->dragIconIsResource128, "the drag icon is icon 128");
    }
    EndWithExit(program, main);
}

// ---- convert --------------------------------------------------------------------------

// Runs one successful conversion through the given message and checks its result.
void CheckConversion(const UiTexts &t, Program &program, HWND main, const std::wstring &inbox,
                     HWND target, UINT message, WPARAM wParam)
{
    std::vector<std::wstring> copiesBefore = TemporaryCopies();
    AsyncSend send(target, message, wParam, 0);
    Check(send.Finished(UI_TIMEOUT_MS), "the command returns");
    std::string bytes;
    Check(ReadFileBytes(inbox, &bytes) && bytes == ConvertedInbox(),
          "the Inbox now holds EUC-KR text");
    Check(!FileExists(inbox + L".snm"), "Inbox.snm is deleted");
    CheckText(WindowText(GetDlgItem(main, IDC_STATUS)), t.instruction, "the instruction is shown");
    Check(program.TopWindows().size() == 1, "no message is shown (" + WindowList(program) + ")");
    Check(TemporaryCopies().size() <= copiesBefore.size(), "no temporary copy is left behind");
}

void ConvertGroup(const Setting &setting)
{
    const UiTexts &t = *setting.texts;
    MailDirectory mail;
    const std::wstring inbox = mail.File(L"Inbox");
    SetUpMail(mail);
    Program program;
    HWND main = StartMainWindow(setting, program, mail.Path());
    if (main == nullptr)
        return;

    Note("Convert button");
    CheckConversion(t, program, main, inbox, GetDlgItem(main, IDC_CONVERT), BM_CLICK, 0);

    Note("Convert on the system menu");
    Check(mail.Fill(), "set-up: the Inbox and Inbox.snm again");
    CheckConversion(t, program, main, inbox, main, WM_SYSCOMMAND, IDM_CONVERT);

    Note("Convert with no Inbox");
    Check(mail.Fill() && mail.RemoveInbox(), "set-up: Inbox.snm without an Inbox");
    {
        AsyncSend send(GetDlgItem(main, IDC_CONVERT), BM_CLICK, 0, 0);
        HWND box = program.WaitForWindow(MESSAGE_CAPTION, UI_TIMEOUT_MS);
        Check(box != nullptr, std::string("a message box captioned \"Quorvel\" appears") +
                                  (box != nullptr ? "" : " (" + WindowList(program) + ")"));
        if (box != nullptr) {
            Check(GetWindow(box, GW_OWNER) == main, "it is owned by the main window");
            CheckShows(ChildTexts(box, L"Static"), t.failed, true);
            CheckText(WindowText(GetDlgItem(main, IDC_STATUS)), t.converting,
                      "while it is shown, the status reads the progress text");
            Check(FileExists(inbox + L".snm"), "Inbox.snm is still there");
            ClickOk(box);
        }
        Check(send.Finished(UI_TIMEOUT_MS), "the command returns once the message is closed");
        CheckText(WindowText(GetDlgItem(main, IDC_STATUS)), t.instruction,
                  "the instruction is back");
        Check(program.TopWindows().size() == 1,
              "the message box is gone (" + WindowList(program) + ")");
    }

    Note("Convert again after the failure");
    Check(mail.Fill(), "set-up: the Inbox and Inbox.snm again");
    CheckConversion(t, program, main, inbox, GetDlgItem(main, IDC_CONVERT), BM_CLICK, 0);
    EndWithExit(program, main);
}

// A "Mail Directory" value given as raw bytes; the Inbox must be found where they point.
void CheckValueForm(const Setting &setting, const std::string &value, bool withNul,
                    const std::wstring &directory, const std::wstring &inbox,
                    const std::string &situation)
{
    Note(situation);
    Check(SetMailDirectoryBytes(value, withNul), "set-up: the value is stored");
    Check(WriteFileBytes(inbox, SampleInbox()) && WriteFileBytes(inbox + L".snm", "summary\r\n"),
          "set-up: an Inbox and Inbox.snm where the value points");
    Program program;
    HWND main = StartMainWindow(setting, program, directory);
    if (main != nullptr)
        CheckConversion(*setting.texts, program, main, inbox, GetDlgItem(main, IDC_CONVERT),
                        BM_CLICK, 0);
    EndWithExit(program, main);
    DeleteFileW(inbox.c_str());
    DeleteFileW((inbox + L".snm").c_str());
}

void ValueFormGroup(const Setting &setting)
{
    // Raw bytes reach the program as they are only in ASCII.
    MailDirectory mail(L"values");
    std::string directory = Utf8(mail.Path());
    CheckValueForm(setting, directory, false, mail.Path(), mail.File(L"Inbox"),
                   "a \"Mail Directory\" value stored without its NUL");

    // An empty directory names the root of the current drive: the program runs in the mail
    // directory, which is on the same drive as the root used here.
    std::wstring root = mail.Path().substr(0, 3);
    if (FileExists(root + L"Inbox")) {
        Note("skipped: the empty values, as " + Utf8(root) + "Inbox exists already");
        return;
    }
    CheckValueForm(setting, "", true, mail.Path(), root + L"Inbox",
                   "an empty \"Mail Directory\" value");
    CheckValueForm(setting, "", false, mail.Path(), root + L"Inbox",
                   "a \"Mail Directory\" value of length 0");
    RemoveMailKey();
}

// ---- about ----------------------------------------------------------------------------

void CheckAboutBox(const Setting &setting, Program &program, HWND main, HWND target, UINT message,
                   WPARAM wParam)
{
    const UiTexts &t = *setting.texts;
    AsyncSend send(target, message, wParam, 0);
    HWND about = program.WaitForWindow(t.aboutCaption, UI_TIMEOUT_MS);
    Check(about != nullptr, "the About box opens, captioned \"" + Utf8(t.aboutCaption) + "\"" +
                                (about != nullptr ? "" : " (" + WindowList(program) + ")"));
    if (about == nullptr)
        return;
    Check(GetWindow(about, GW_OWNER) == main, "it is owned by the main window");
    Check(!IsWindowEnabled(main), "the main window is disabled meanwhile");
    CheckText(WindowText(GetDlgItem(about, IDOK)), t.aboutOk, "its OK button");
    std::vector<std::wstring> texts = ChildTexts(about, L"Static");
    for (const std::wstring &text : t.aboutTexts)
        CheckShows(texts, text);
    ClickOk(about);
    Check(WaitUntil([&] { return !IsWindow(about); }, UI_TIMEOUT_MS), "OK closes it");
    Check(send.Finished(UI_TIMEOUT_MS), "the command returns");
    Check(IsWindowEnabled(main) && IsWindowVisible(main), "the main window is back and enabled");
}

void AboutGroup(const Setting &setting)
{
    MailDirectory mail;
    SetUpMail(mail);
    Program program;
    HWND main = StartMainWindow(setting, program, mail.Path());
    if (main == nullptr)
        return;
    Note("About button");
    CheckAboutBox(setting, program, main, GetDlgItem(main, IDC_ABOUT), BM_CLICK, 0);
    Note("About on the system menu");
    CheckAboutBox(setting, program, main, main, WM_SYSCOMMAND, IDM_ABOUTBOX);
    EndWithExit(program, main);
}

// ---- exit -----------------------------------------------------------------------------

void ExitGroup(const Setting &setting)
{
    MailDirectory mail;
    SetUpMail(mail);

    Note("Exit");
    {
        Program program;
        HWND main = StartMainWindow(setting, program, mail.Path());
        if (main != nullptr) {
            PostMessageW(GetDlgItem(main, IDC_EXIT), BM_CLICK, 0, 0);
            DWORD exitCode = 1;
            Check(program.WaitForExit(UI_TIMEOUT_MS, &exitCode), "the program ends");
            Check(exitCode == 0, "with exit code 0 (" + std::to_string(exitCode) + ")");
        }
    }
    Note("Esc");
    {
        Program program;
        HWND main = StartMainWindow(setting, program, mail.Path());
        if (main != nullptr) {
            // A key goes to the window with the focus; the dialog's loop turns Esc into Cancel.
            GUITHREADINFO info = {};
            info.cbSize = sizeof info;
            HWND focus = GetGUIThreadInfo(GetWindowThreadProcessId(main, nullptr), &info) &&
                                 info.hwndFocus != nullptr
                             ? info.hwndFocus
                             : main;
            PostMessageW(focus, WM_KEYDOWN, VK_ESCAPE, 0x00010001);
            PostMessageW(focus, WM_KEYUP, VK_ESCAPE, 0xC0010001);
            Check(program.WaitForExit(UI_TIMEOUT_MS), "the program ends");
        }
    }
    Note("the close box");
    {
        Program program;
        HWND main = StartMainWindow(setting, program, mail.Path());
        if (main != nullptr) {
            PostMessageW(main, WM_SYSCOMMAND, SC_CLOSE, 0);
            Check(program.WaitForExit(UI_TIMEOUT_MS), "the program ends");
        }
    }
}

// ---- icon -----------------------------------------------------------------------------

void IconGroup(const Setting &setting)
{
    MailDirectory mail;
    SetUpMail(mail);
    Program program;
    HWND main = StartMainWindow(setting, program, mail.Path());
    if (main == nullptr)
        return;

    Probe probe(setting.probeDll);
    Check(probe.Attach(main), "the probe is hooked into the window's thread");

    Note("minimized");
    // A minimize asked for while Wine is still putting a new window on the display can be
    // lost without a trace; a user would click again, and so does this.
    bool minimized = false;
    for (int attempt = 0; attempt < 5 && !minimized; ++attempt) {
        PostMessageW(main, WM_SYSCOMMAND, SC_MINIMIZE, 0);
        minimized = WaitUntil([&] { return IsIconic(main) != FALSE; }, UI_TIMEOUT_MS / 5);
    }
    Check(minimized,
          "the window minimizes" + (minimized ? std::string() : " (" + Placement(main) + ")"));
    const ProbeBlock *answer = probe.Ask(PROBE_PAINT, UI_TIMEOUT_MS);
    Check(answer != nullptr, "the probe answers");
    if (answer != nullptr) {
        int cx = GetSystemMetrics(SM_CXICON), cy = GetSystemMetrics(SM_CYICON);
        // Signed division, rounded toward zero: on an empty client area -31 / 2 is -15.
        int x = (answer->clientWidth - cx + 1) / 2, y = (answer->clientHeight - cy + 1) / 2;
        std::string area =
            std::to_string(answer->clientWidth) + "x" + std::to_string(answer->clientHeight);
        Check(answer->iconic == 1, "the window is minimized when it repaints");
        Check(answer->drawWatched, "the probe watches the program's calls of DrawIcon");
        Check(answer->paintsSeen + answer->paintSentByProbe > 0,
              std::string("it gets WM_PAINT") +
                  (answer->paintSentByProbe ? " (sent by the probe)" : ""));
        Check(answer->iconErasesSeen == 1, "it sends itself WM_ICONERASEBKGND once");
        Check(answer->iconDraws == 1,
              "it draws an icon once (" + std::to_string(answer->iconDraws) + ")");
        Check(answer->drawIconIsResource128, "the icon is icon 128");
        Check(answer->drawDcIsWindows && answer->drawDcWasErased,
              "into the window's paint context, the one it erased the background of");
        Check(answer->drawX == x && answer->drawY == y,
              "centred in the client area of " + area + ": at " + std::to_string(answer->drawX) +
                  "," + std::to_string(answer->drawY) + ", expected " + std::to_string(x) + "," +
                  std::to_string(y));
    }

    Note("restored");
    PostMessageW(main, WM_SYSCOMMAND, SC_RESTORE, 0);
    Check(
        WaitUntil([&] { return IsIconic(main) == FALSE && IsWindowVisible(main); }, UI_TIMEOUT_MS),
        "the window is restored");
    answer = probe.Ask(PROBE_PAINT, UI_TIMEOUT_MS);
    Check(answer != nullptr, "the probe answers");
    if (answer != nullptr) {
        Check(answer->paintsSeen > 0, "it gets WM_PAINT");
        Check(answer->iconDraws == 0 && answer->iconErasesSeen == 0,
              "it paints as a dialog does, without the icon");
    }
    CheckText(WindowText(GetDlgItem(main, IDC_STATUS)), setting.texts->instruction,
              "the instruction is shown");
    EndWithExit(program, main);
}

// ---- show ------------------------------------------------------------------------------

// Holds one window up for a picture: writes its place on the screen, "x y width height",
// to HANDSHAKE\rect and waits until HANDSHAKE\done exists.
void HoldForPicture(const Setting &setting, Program &program, HWND window)
{
    if (window == nullptr)
        return;
    // Painted, and given a moment to reach the display.
    program.WaitForInputIdle(UI_TIMEOUT_MS);
    Sleep(500);
    RECT r;
    GetWindowRect(window, &r);
    char text[64];
    std::snprintf(text, sizeof text, "%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left,
                  r.bottom - r.top);
    Check(WriteFileBytes(setting.handshake + L"\\rect", text),
          std::string("its place is told: ") + text);
    Check(WaitUntil([&] { return FileExists(setting.handshake + L"\\done"); }, 60000),
          "the picture is taken");
}

void ShowMain(const Setting &setting)
{
    MailDirectory mail;
    SetUpMail(mail);
    Program program;
    HWND main = StartMainWindow(setting, program, mail.Path());
    HoldForPicture(setting, program, main);
    EndWithExit(program, main);
}

void ShowAbout(const Setting &setting)
{
    MailDirectory mail;
    SetUpMail(mail);
    Program program;
    HWND main = StartMainWindow(setting, program, mail.Path());
    if (main == nullptr)
        return;
    AsyncSend send(GetDlgItem(main, IDC_ABOUT), BM_CLICK, 0, 0);
    HWND about = program.WaitForWindow(setting.texts->aboutCaption, UI_TIMEOUT_MS);
    Check(about != nullptr, "the About box opens");
    HoldForPicture(setting, program, about);
    if (about != nullptr)
        ClickOk(about);
    Check(send.Finished(UI_TIMEOUT_MS), "the About box closes");
    EndWithExit(program, main);
}

struct Group {
    const wchar_t *name;
    void (*run)(const Setting &);
};

const Group GROUPS[] = {
    {L"startup", StartupGroup},  {L"window", WindowGroup}, {L"convert", ConvertGroup},
    {L"values", ValueFormGroup}, {L"about", AboutGroup},   {L"exit", ExitGroup},
    {L"icon", IconGroup},        {L"show-main", ShowMain}, {L"show-about", ShowAbout},
};

}  // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr,
                     "usage: quorvel-e2e GROUP en|ko QUORVEL_EXE PROBE_DLL [HANDSHAKE_DIR]\n");
        return 2;
    }
    const Group *group = nullptr;
    for (const Group &g : GROUPS)
        if (std::wcscmp(g.name, argv[1]) == 0)
            group = &g;
    const UiTexts *texts = std::wcscmp(argv[2], L"en") == 0   ? &ENGLISH_TEXTS
                           : std::wcscmp(argv[2], L"ko") == 0 ? &KOREAN_TEXTS
                                                              : nullptr;
    if (group == nullptr || texts == nullptr) {
        std::fprintf(stderr, "quorvel-e2e: unknown group or language\n");
        return 2;
    }
    Setting setting {texts, WindowsPath(argv[3]), WindowsPath(argv[4]),
                     argc == 6 ? WindowsPath(argv[5]) : L""};
    if (GetFileAttributesW(setting.exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "quorvel-e2e: no program at %s\n", Utf8(setting.exe).c_str());
        return 2;
    }

    // The program picks its language variant from the user's; make sure it is the one expected.
    LANGID language = GetUserDefaultUILanguage();
    Check(PRIMARYLANGID(language) == PRIMARYLANGID(texts->languageId),
          "the user's language is " + Utf8(texts->language) + " (" + std::to_string(language) +
              ")");
    Check(UseUnmanagedWindows(), "set-up: windows without a window manager");
    group->run(setting);

    int failures = FailureCount();
    std::printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
    return failures == 0 ? 0 : 1;
}
