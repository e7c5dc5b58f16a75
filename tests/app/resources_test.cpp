// Reads the program's resources back as Windows loads them, for both languages, and checks
// them against the texts, layout and styles the windows are made from: proof that the Korean
// texts come through the resource compiler intact and that nothing was mistyped.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "resource.h"

namespace {

const WORD ENGLISH = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const WORD KOREAN = MAKELANGID(LANG_KOREAN, SUBLANG_KOREAN);

// The resource type/name/language, or null when there is none.
const BYTE *Resource(LPCSTR type, UINT id, WORD language, DWORD *size = nullptr)
{
    HMODULE hModule = GetModuleHandleW(nullptr);
    HRSRC hRes = FindResourceExA(hModule, type, MAKEINTRESOURCEA(id), language);
    if (hRes == nullptr)
        return nullptr;
    if (size != nullptr)
        *size = SizeofResource(hModule, hRes);
    return static_cast<const BYTE *>(LockResource(LoadResource(hModule, hRes)));
}

struct Control {
    int id;
    std::wstring kind;  // "Button", "Static", or "#n" for another class ordinal
    std::wstring text;  // "#n" for an ordinal (an icon's resource id)
    short x, y, cx, cy;
    DWORD style;
    bool operator==(const Control &o) const
    {
        return id == o.id && kind == o.kind && text == o.text && x == o.x && y == o.y &&
               cx == o.cx && cy == o.cy && style == o.style;
    }
};

void PrintTo(const Control &c, std::ostream *os)
{
    *os << "{" << c.id << ", " << testing::PrintToString(c.kind) << ", " << testing::PrintToString(c.text)
        << ", " << c.x << "," << c.y << "," << c.cx << "," << c.cy << ", 0x" << std::hex << c.style
        << std::dec << "}";
}

struct Dialog {
    bool extended;
    DWORD style, exStyle;
    short cx, cy;
    std::wstring caption, font;
    WORD points, weight;
    BYTE italic, charset;
    std::vector<Control> controls;
};

// Reads the two dialog template formats. Text fields are a NUL-ended UTF-16 text, or 0xFFFF
// and an ordinal.
class TemplateReader {
public:
    explicit TemplateReader(const BYTE *p) : m_p(p) {}
    WORD Word() { WORD w; memcpy(&w, m_p, 2); m_p += 2; return w; }
    DWORD Dword() { DWORD d; memcpy(&d, m_p, 4); m_p += 4; return d; }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte() { return *m_p++; }
    std::wstring Text()
    {
        WORD first = Word();
        if (first == 0xFFFF)
            return L"#" + std::to_wstring(Word());
        std::wstring text;
        for (WORD w = first; w != 0; w = Word())
            text += static_cast<wchar_t>(w);
        return text;
    }
    void AlignDword(const BYTE *base) { while ((m_p - base) % 4 != 0) ++m_p; }
    const BYTE *m_p;
};

Dialog ReadDialog(const BYTE *base)
{
    TemplateReader r(base);
    Dialog d{};
    d.extended = r.Word() == 1 && r.Word() == 0xFFFF;
    r.m_p = base;
    WORD count;
    if (d.extended) {
        r.Dword();  // version, signature
        r.Dword();  // help id
        d.exStyle = r.Dword();
        d.style = r.Dword();
    } else {
        d.style = r.Dword();
        d.exStyle = r.Dword();
    }
    count = r.Word();
    r.Short(), r.Short();
    d.cx = r.Short(), d.cy = r.Short();
    r.Text();  // menu
    r.Text();  // class
    d.caption = r.Text();
    if (d.style & DS_SETFONT) {
        d.points = r.Word();
        if (d.extended) {
            d.weight = r.Word();
            d.italic = r.Byte();
            d.charset = r.Byte();
        }
        d.font = r.Text();
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword(base);
        Control c{};
        if (d.extended) {
            r.Dword();  // help id
            r.Dword();  // extended style
            c.style = r.Dword();
        } else {
            c.style = r.Dword();
            r.Dword();
        }
        c.x = r.Short(), c.y = r.Short(), c.cx = r.Short(), c.cy = r.Short();
        c.id = d.extended ? static_cast<int>(r.Dword()) : static_cast<short>(r.Word());
        c.kind = r.Text();
        c.kind = c.kind == L"#128" ? L"Button" : c.kind == L"#130" ? L"Static" : c.kind;
        c.text = r.Text();
        r.m_p += r.Word();  // creation data
        d.controls.push_back(c);
    }
    return d;
}

const DWORD TEXT = WS_CHILD | WS_VISIBLE | WS_GROUP | SS_LEFT;
const DWORD BUTTON = WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON;
const DWORD HIDDEN = WS_CHILD | WS_DISABLED | WS_GROUP | SS_LEFT;
const DWORD ICON = WS_CHILD | WS_VISIBLE | SS_ICON;
const DWORD TITLE = TEXT | SS_NOPREFIX;
const DWORD OK = WS_CHILD | WS_VISIBLE | WS_GROUP | WS_TABSTOP | BS_DEFPUSHBUTTON;
const DWORD MAIN_STYLE = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
const DWORD ABOUT_STYLE = DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU;

void ExpectDialog(const Dialog &d, bool extended, DWORD style, DWORD exStyle, short cx, short cy,
                  const std::wstring &caption, const std::wstring &font, const std::vector<Control> &controls)
{
    EXPECT_EQ(d.extended, extended);
    EXPECT_EQ(d.style, style);
    EXPECT_EQ(d.exStyle, exStyle);
    EXPECT_EQ(d.cx, cx);
    EXPECT_EQ(d.cy, cy);
    EXPECT_EQ(d.caption, caption);
    EXPECT_EQ(d.font, font);
    EXPECT_EQ(d.points, 9);
    if (extended) {
        EXPECT_EQ(d.weight, 0);
        EXPECT_EQ(d.italic, 0);
        EXPECT_EQ(d.charset, DEFAULT_CHARSET);
    }
    ASSERT_EQ(d.controls.size(), controls.size());
    for (std::size_t i = 0; i < controls.size(); ++i)
        EXPECT_EQ(d.controls[i], controls[i]) << "control " << i;
}

TEST(Resources, MainWindowInEnglish)
{
    const BYTE *p = Resource(RT_DIALOG, IDD_MAIN, ENGLISH);
    ASSERT_NE(p, nullptr);
    ExpectDialog(ReadDialog(p), true, MAIN_STYLE, WS_EX_APPWINDOW, 185, 66,
                 L"Quorvel for Netscape Navigator", L"MS Sans Serif", {
        {1002, L"Static", L"Put broken Hangul mails (ISO-2022-kr code) in the Inbox folder of Netscape Mail, and click  [Convert] button.", 14, 12, 157, 26, TEXT},
        {1000, L"Button", L"&Convert", 7, 45, 48, 14, BUTTON},
        {1001, L"Button", L"E&xit", 129, 45, 48, 14, BUTTON},
        {1003, L"Button", L"&About...", 68, 45, 48, 14, BUTTON},
        {1004, L"Static", L"Converting Inbox folder...", 0, 46, 9, 7, HIDDEN},
        {1005, L"Static", L"Cannot convert Inbox folder. Maybe the mail folder is invalid or disk space is not enough.", 0, 58, 9, 7, HIDDEN},
        {1006, L"Static", L"&About...", 176, 42, 9, 7, HIDDEN},
        {1007, L"Static", L"&Convert", 176, 58, 9, 7, HIDDEN},
    });
}

TEST(Resources, MainWindowInKorean)
{
    const BYTE *p = Resource(RT_DIALOG, IDD_MAIN, KOREAN);
    ASSERT_NE(p, nullptr);
    ExpectDialog(ReadDialog(p), true, MAIN_STYLE, WS_EX_APPWINDOW, 185, 82,
                 L"Netscape Quorvel", L"굴림", {
        {1002, L"Static", L"깨진 (ISO-2022-kr 코드) 한글 메일을 Netscape Mail의 Inbox에 넣고 [변환] 버튼을 누르십시오.", 14, 15, 157, 19, TEXT},
        {1000, L"Button", L"변환(&C)", 24, 61, 64, 14, BUTTON},
        {1001, L"Button", L"종료(&X)", 99, 61, 64, 14, BUTTON},
        {1003, L"Button", L"Netscape Quorvel에 대하여(&A)...", 24, 39, 138, 14, BUTTON},
        {1004, L"Static", L"Inbox 폴더를 변환중입니다...", 7, 53, 8, 8, HIDDEN},
        {1005, L"Static", L"Inbox 폴더를 변환할 수 없습니다. 아마도 메일 폴더가 비정상이거나 하드 디스크 에 빈 공간이 없는 것으로 여겨집니다.", 7, 67, 8, 8, HIDDEN},
        {1006, L"Static", L"Netscape Quorvel에 대하여(&A)...", 170, 49, 8, 8, HIDDEN},
        {1007, L"Static", L"변환(&C)", 170, 67, 8, 8, HIDDEN},
    });
}

TEST(Resources, AboutBoxInEnglish)
{
    const BYTE *p = Resource(RT_DIALOG, IDD_ABOUTBOX, ENGLISH);
    ASSERT_NE(p, nullptr);
    ExpectDialog(ReadDialog(p), false, ABOUT_STYLE, 0, 197, 129, L"Quorvel for Netscape", L"MS Sans Serif", {
        {-1, L"Static", L"#128", 11, 11, 21, 20, ICON},
        {-1, L"Static", L"Quorvel for Netscape\n1996/10/30 version", 40, 10, 146, 17, TITLE},
        {-1, L"Static", L"Made by the Quorvel team, for everyone who reads Hangul mail.", 40, 31, 146, 19, TEXT},
        {IDOK, L"Button", L"OK", 82, 108, 32, 14, OK},
        {-1, L"Static", L"This proram converts ISO-2022-kr code in Hangul mails received by Netscape Navigator, to Euc-kr (KS C 5601)  Hangul code.", 40, 52, 146, 26, TEXT},
        {-1, L"Static", L"Clicking [Convert] button, Hangul mails in the Inbox folder are converted.", 40, 82, 146, 19, TEXT},
    });
}

TEST(Resources, AboutBoxInKorean)
{
    const BYTE *p = Resource(RT_DIALOG, IDD_ABOUTBOX, KOREAN);
    ASSERT_NE(p, nullptr);
    ExpectDialog(ReadDialog(p), false, ABOUT_STYLE, 0, 197, 114, L"Netscape Quorvel에 대하여", L"굴림", {
        {-1, L"Static", L"#128", 11, 11, 18, 20, ICON},
        {-1, L"Static", L"Netscape Quorvel 1996/10/30 판", 40, 10, 146, 11, TITLE},
        {-1, L"Static", L"만든이: Quorvel 팀", 40, 24, 146, 8, TEXT},
        {IDOK, L"Button", L"확인", 82, 93, 32, 14, OK},
        {-1, L"Static", L"이 프로그램은 Netscape Mail이 받은 ISO-2022-kr 한글 메일을 Euc-kr (KS C 5601) 코드로 변환해 줍니다.", 40, 40, 146, 26, TEXT},
        {-1, L"Static", L"[변환] 버튼을 누르면 Inbox 메일 폴더 안의 메일들이 변환됩니다.", 40, 70, 146, 19, TEXT},
    });
}

TEST(Resources, StartUpMessagesAreFiledUnderKoreanOnlyAndLoadInEveryLanguage)
{
    const UINT block = IDS_REG_OPEN_FAILED / 16 + 1;
    EXPECT_NE(Resource(RT_STRING, block, KOREAN), nullptr);
    EXPECT_EQ(Resource(RT_STRING, block, ENGLISH), nullptr);

    const wchar_t *text = nullptr;
    int n = LoadStringW(GetModuleHandleW(nullptr), IDS_REG_OPEN_FAILED, reinterpret_cast<LPWSTR>(&text), 0);
    EXPECT_EQ(std::wstring(text, n > 0 ? n : 0), L"Cannot open Registry Database.");
    n = LoadStringW(GetModuleHandleW(nullptr), IDS_NO_MAIL_SETUP, reinterpret_cast<LPWSTR>(&text), 0);
    EXPECT_EQ(std::wstring(text, n > 0 ? n : 0), L"Netscape Navigator is not installed, or its mail setup is incorrect.");
}

TEST(Resources, IconsHaveTheirSizesIn16Colours)
{
    struct Group {
        UINT id;
        std::vector<int> sizes;
    } groups[] = {{IDR_MAINFRAME, {32, 16}}, {IDI_SMALL, {16}}};
    for (const Group &g : groups) {
        SCOPED_TRACE(g.id);
        const BYTE *p = Resource(RT_GROUP_ICON, g.id, KOREAN);
        ASSERT_NE(p, nullptr);
        WORD count;
        memcpy(&count, p + 4, 2);
        ASSERT_EQ(count, g.sizes.size());
        for (WORD i = 0; i < count; ++i) {
            const BYTE *entry = p + 6 + 14 * i;  // width, height, colours, 0, planes, bits, ...
            WORD bits;
            memcpy(&bits, entry + 6, 2);
            EXPECT_EQ(entry[0], g.sizes[i]);
            EXPECT_EQ(entry[1], g.sizes[i]);
            EXPECT_EQ(entry[2], 16);
            EXPECT_EQ(bits, 4);
        }
    }
}

std::wstring VersionString(const std::vector<BYTE> &info, const wchar_t *name)
{
    void *value = nullptr;
    UINT length = 0;
    std::wstring path = std::wstring(L"\\StringFileInfo\\041204b0\\") + name;
    if (!VerQueryValueW(info.data(), path.c_str(), &value, &length) || length == 0)
        return L"(none)";
    return static_cast<const wchar_t *>(value);
}

TEST(Resources, VersionBlock)
{
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    DWORD size = GetFileVersionInfoSizeW(path, nullptr);
    ASSERT_GT(size, 0u);
    std::vector<BYTE> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path, 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, MAKELONG(96, 19));
    EXPECT_EQ(fixed->dwFileVersionLS, MAKELONG(23, 9));
    EXPECT_EQ(fixed->dwProductVersionMS, MAKELONG(96, 19));
    EXPECT_EQ(fixed->dwProductVersionLS, MAKELONG(23, 9));
    EXPECT_EQ(fixed->dwFileFlags, 0u);
    EXPECT_EQ(fixed->dwFileOS, DWORD(VOS__WINDOWS32));
    EXPECT_EQ(fixed->dwFileType, DWORD(VFT_APP));

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                               reinterpret_cast<void **>(&translation), &length));
    ASSERT_EQ(length, 4u);
    EXPECT_EQ(translation[0], 0x0412);
    EXPECT_EQ(translation[1], 1200);
    EXPECT_EQ(VersionString(info, L"FileDescription"), L"Netscape Quorvel");
    EXPECT_EQ(VersionString(info, L"ProductName"), L"Netscape Quorvel");
    EXPECT_EQ(VersionString(info, L"FileVersion"), L"19, 96, 9, 23");
    EXPECT_EQ(VersionString(info, L"ProductVersion"), L"19, 96, 9, 23");
}

}  // namespace
