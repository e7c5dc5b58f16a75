// Counts ISO-2022-KR passages (RFC 1557) and malformed sequences in a file, changing nothing.
#include "check.h"
#include "iso2022kr.h"

namespace {

const std::size_t LINES_SHOWN = 3;

}  // namespace

void CShiftScanner::Scan(const char *data, std::size_t size, bool readAsIso2022Kr)
{
    for (std::size_t i = 0; i < size; ++i) {
        unsigned char b = static_cast<unsigned char>(data[i]);
        if (m_pendingCR) {
            m_pendingCR = false;
            if (b != LF)
                Malformed();
        }
        // The designator counts wherever it stands, as the decoder removes it wherever.
        if (b == DESIGNATOR[m_designatorMatched]) {
            if (++m_designatorMatched == DESIGNATOR_SIZE) {
                m_designatorSeen = true;
                m_designatorMatched = 0;
            }
        } else {
            m_designatorMatched = b == ESC ? 1 : 0;
        }
        if (b == LF) {
            if (m_shifted)
                EndRun();
            ++m_line;
        } else if (b == SO || b == SI) {
            if (!m_designatorSeen && !readAsIso2022Kr)
                Malformed();
            else if (b == SO && !m_shifted)
                m_shifted = true;
            else if (b == SI && m_shifted)
                EndRun();
        } else if (m_shifted) {
            if (b == CR)
                m_pendingCR = true;
            else if (b >= 0x21 && b <= 0x7E)
                ++m_runBytes;
            else if (b != SPACE && b != TAB)
                Malformed();
        }
    }
}

void CShiftScanner::Finish()
{
    if (m_pendingCR) {
        m_pendingCR = false;
        Malformed();
    }
    if (m_shifted)
        EndRun();
}

void CShiftScanner::EndRun()
{
    m_shifted = false;
    if (m_runBytes > 0)
        ++m_nPassages;
    if (m_runBytes % 2 != 0)
        Malformed();
    m_runBytes = 0;
}

void CShiftScanner::Malformed()
{
    ++m_nMalformed;
    if (m_firstLines.size() < LINES_SHOWN && (m_firstLines.empty() || m_firstLines.back() != m_line))
        m_firstLines.push_back(m_line);
}
