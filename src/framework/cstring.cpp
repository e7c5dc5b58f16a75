// CString: conversions, string resources and concatenation.
#include "cstring.h"

#include "winapp.h"

CString::CString(const wchar_t *psz) : m_str(psz != nullptr ? psz : L"") {}

CString::CString(const char *psz)
{
    if (psz == nullptr || *psz == '\0')
        return;
    int n = MultiByteToWideChar(CP_ACP, 0, psz, -1, nullptr, 0);
    if (n <= 1)
        return;
    m_str.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_ACP, 0, psz, -1, &m_str[0], n);
    m_str.resize(static_cast<std::size_t>(n - 1));  // without the NUL
}

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
    if (m_str.empty())
        return std::string();
    int cw = static_cast<int>(m_str.size());
    int n = WideCharToMultiByte(CP_ACP, 0, m_str.data(), cw, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_ACP, 0, m_str.data(), cw, &result[0], n, nullptr, nullptr);
    return result;
}

std::string CString::ToUtf8() const
{
    if (m_str.empty())
        return std::string();
    int cw = static_cast<int>(m_str.size());
    int n = WideCharToMultiByte(CP_UTF8, 0, m_str.data(), cw, nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<std::size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, m_str.data(), cw, &result[0], n, nullptr, nullptr);
    return result;
}

CString CString::FromUtf8(const char *psz)
{
    CString text;
    int n = psz != nullptr && *psz != '\0' ? MultiByteToWideChar(CP_UTF8, 0, psz, -1, nullptr, 0) : 0;
    if (n <= 1)
        return text;
    text.m_str.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, psz, -1, &text.m_str[0], n);
    text.m_str.resize(static_cast<std::size_t>(n - 1));
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
