// Tells whether bytes may hold something that the conversion changes, before anything is
// written: the stores pass over what it leaves as it is.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "iso2022kr.h"
#include "mail.h"

// True when text may hold something to convert: ISO-2022-KR's ESC or SO, or what may be a
// label naming it, as the job looks for one: a name of it, an RFC 2231 charset parameter
// (sections or %-encoded), a quoted pair among a name's characters.  False means that the
// conversion leaves every byte as it is, its line ends aside, which a file that needs
// nothing else keeps too.  Fed in pieces of any size.
class CWorkSniffer {
public:
    void Scan(std::string_view bytes)
    {
        if (m_found)
            return;
        if (bytes.find(static_cast<char>(ESC)) != std::string_view::npos ||
            bytes.find(static_cast<char>(SO)) != std::string_view::npos) {
            m_found = true;
            return;
        }
        // What is looked for may be cut by the piece's start: it is looked for where the two
        // pieces meet too.
        std::size_t head = std::min(bytes.size(), TAIL);
        m_found = MayLabel(m_tail + std::string(bytes.substr(0, head))) || MayLabel(bytes);
        std::string joined = m_tail + std::string(bytes.substr(bytes.size() - head));
        m_tail = joined.substr(joined.size() - std::min(joined.size(), TAIL));
    }
    bool Found() const { return m_found; }

private:
    static bool HasName(std::string_view text)
    {
        // Both names hold "2022", which has no case.
        for (std::size_t at = text.find("2022"); at != std::string_view::npos; at = text.find("2022", at + 1)) {
            if ((at >= 4 && at + 7 <= text.size() && NamesIso2022Kr(text.data() + at - 4, 11)) ||
                (at >= 5 && at + 6 <= text.size() && NamesIso2022Kr(text.data() + at - 5, 11)))
                return true;
        }
        return false;
    }
    static bool MayLabel(std::string_view text)
    {
        if (HasName(text))
            return true;
        for (std::size_t at = text.find('*'); at != std::string_view::npos; at = text.find('*', at + 1)) {
            if (at >= 7 && EqualsNoCase(text.data() + at - 7, 7, "charset"))
                return true;
        }
        for (std::size_t at = text.find('\\'); at != std::string_view::npos; at = text.find('\\', at + 1)) {
            std::size_t from = at >= 2 * NAME ? at - 2 * NAME : 0;
            std::string plain;
            for (char c : text.substr(from, 4 * NAME))
                if (c != '\\')
                    plain += c;
            if (HasName(plain))
                return true;
        }
        return false;
    }

    static constexpr std::size_t NAME = 11;        // a name's length
    static constexpr std::size_t TAIL = 2 * NAME;  // a name written with quoted pairs, less one
    std::string m_tail;                            // the last bytes of the piece before
    bool m_found = false;
};
