// CString: the text type of the program's windows, held as UTF-16.
//
// Window texts are UTF-16 inside the system, and a dialog template stores its texts so.
// Keeping them UTF-16 while they move from one control to another, into a menu or into a
// message box means a Korean text arrives intact whatever the ANSI code page is; passed
// through the "A" functions it would survive only where that code page is Korean. Text
// from ANSI sources (the registry, literals) is converted on the way in, and ToAnsi()
// gives it back for the ANSI file calls of the conversion core.
#pragma once

#include <windows.h>

#include <string>

class CString {
public:
    CString() = default;
    // Implicit, so that literals and texts of either kind pass where a CString is wanted.
    // cppcheck-suppress noExplicitConstructor
    CString(const wchar_t *psz);  // NOLINT(google-explicit-constructor)
    // psz is text in the ANSI code page; null gives the empty text.
    // cppcheck-suppress noExplicitConstructor
    CString(const char *psz);  // NOLINT(google-explicit-constructor)

    // Replaces the text with string nID of the resource module, in the language the
    // resource loader picks for the user. Returns FALSE, leaving the text empty, when
    // there is no such string.
    BOOL LoadString(UINT nID);

    bool IsEmpty() const { return m_str.empty(); }
    int GetLength() const { return static_cast<int>(m_str.size()); }
    // Valid while the CString lives unchanged.
    operator const wchar_t *() const { return m_str.c_str(); }

    // The text in the ANSI code page. Text that came from that code page comes back
    // unchanged; characters it lacks become the system's default character.
    std::string ToAnsi() const;
    // The text in UTF-8, and UTF-8 text as a CString, whatever the ANSI code page: the
    // conversion core's paths and messages are UTF-8.
    std::string ToUtf8() const;
    static CString FromUtf8(const char *psz);

    CString &operator+=(const CString &other);
    friend CString operator+(const CString &left, const CString &right);

private:
    std::wstring m_str;
};
