// CString: conversions, string resources and concatenation.
#include "cstring.h"

#include "winapp.h"

namespace {

// text in code page, widened.
std::wstring Widened(const char *text, UINT codePage)
{
    std::wstring wide;
    int n = text != nullptr && *text != '\0' ? MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0) : 0;
    if (n <= 1)
        return wide;
    wide.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(codePage, 0, text, -1, &wide[0], n);
    wide.resize(static_cast<std::size_t>(n - 1));  // without the NUL
    return wide;
}

// wide in code page.
std::string Narrowed(const std::wstring &wide, UINT codePage)
{
    if (wide.empty())
        return std::string();
    int cw = static_cast<int>(wide.size());
    int n = WideCharToMultiByte(codePage, 0, wide.data(), cw, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(codePage, 0, wide.data(), cw, &result[0], n, nullptr, nullptr);
    return result;
}

}  // namespace

CString::CString(const wchar_t *psz) : m_str(psz != nullptr ? psz : L"") {}

CString::CString(const char *psz) : m_str(Widened(psz, CP_ACP)) {}

BOOL CString::LoadString(UINT nID)
{
    m_str.clear();
    // Strings are filed sixteen to a block; the block's resource id is nID / 16 + 1.
    HINSTANCE hInst = AfxFindResourceHandle(MAKEINTRESOURCEA(nID / 16 + 1), RT_STRING);
    // With a size of 0 the system hands out the resource's own text, of any length.
    const wchar_t *pText = nullptr;
    int n = LoadStringW(hInst, nID, reinterpret_cast<LPWSTR>(&pText), 0);
    if (n <= 0 || pText == nullptr)
        return FALSE;
    m_str.assign(pText, static_cast<std::size_t>(n));
    return TRUE;
}

std::string CString::ToAnsi() const
{
    return Narrowed(m_str, CP_ACP);
}

std::string CString::ToUtf8() const
{
    return Narrowed(m_str, CP_UTF8);
}

CString CString::FromUtf8(const char *psz)
{
    CString text;
    text.m_str = Widened(psz, CP_UTF8);
    return text;
}

CString &CString::operator+=(const CString &other)
{
    m_str += other.m_str;
    return *this;
}

CString operator+(const CString &left, const CString &right)
{
    CString result(left);
    result += right;
    return result;
}
