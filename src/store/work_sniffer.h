// Tells whether bytes may hold something that the conversion changes, before anything is
// written: the stores pass over what it leaves as it is.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>

#include "iso2022kr.h"
#include "label_rules.h"

// True when text may hold something to convert: ISO-2022-KR's ESC or SO, or what may be a
// label naming it, by the rule the job's search follows (label_rules.h): a name of it where
// a label has it, an RFC 2231 charset parameter, a quoted pair among a name's characters.  False means that the
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
    static bool MayLabel(std::string_view text)
    {
        return MayHoldLabel(reinterpret_cast<const unsigned char *>(text.data()), text.size());
    }

    static constexpr std::size_t TAIL = ESCAPED_NAME_SIZE;  // a name written with quoted pairs
    std::string m_tail;                            // the last bytes of the piece before
    bool m_found = false;
};
