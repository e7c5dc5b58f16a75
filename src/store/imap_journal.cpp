// The journal of the conversions on one IMAP account (imap_journal.h).
//
// One line a step, "I1 STEP MAILBOX VALIDITY UID RUN SIZE SUM CSIZE CSUM UIDNEXT NEWUID TRASH
// TVALIDITY TNEXT TUID", names percent-encoded, checksums in hexadecimal; a mail's last line
// tells where it is.  A line cut short by a stop is dropped when the journal is opened.
#include "imap_journal.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <sstream>

#include "folder_state.h"
#include "imap_account.h"
#include "write_anew.h"

namespace {

const char LINE_MARK[] = "I1";

// name with every byte that is not a plain printable ASCII one, nor %, written as %XX.
std::string Escaped(const std::string &name, const char *also)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c <= ' ' || c >= 0x7F || c == '%' || std::strchr(also, c) != nullptr) {
            out += '%';
            out += HEX[c >> 4];
            out += HEX[c & 0xF];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out.empty() ? "%" : out;
}

// name as Escaped wrote it.
bool Unescaped(const std::string &text, std::string &name)
{
    if (text == "%") {
        name.clear();
        return true;
    }
    return PercentDecode(text, name);
}

std::string LineOf(const SImapMail &m)
{
    char numbers[256];
    std::snprintf(numbers, sizeof numbers,
                  " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIu64 " %" PRIx64 " %" PRIu64 " %" PRIx64 " %" PRIu64
                  " %" PRIu64,
                  m.validity, m.uid, m.run, m.size, m.sum, m.convertedSize, m.convertedSum, m.uidNext, m.newUid);
    char trash[96];
    std::snprintf(trash, sizeof trash, " %" PRIu64 " %" PRIu64 " %" PRIu64 "\n", m.trashValidity, m.trashNext,
                  m.trashUid);
    return std::string(LINE_MARK) + ' ' + static_cast<char>(m.step) + ' ' + Escaped(m.mailbox, "") + numbers + ' ' +
           Escaped(m.trash, "") + trash;
}

bool ReadLine(const std::string &line, SImapMail &m)
{
    std::istringstream in(line);
    std::string mark, step, mailbox, trash;
    in >> mark >> step >> mailbox >> m.validity >> m.uid >> m.run >> m.size >> std::hex >> m.sum >> std::dec >>
        m.convertedSize >> std::hex >> m.convertedSum >> std::dec >> m.uidNext >> m.newUid >> trash >>
        m.trashValidity >> m.trashNext >> m.trashUid;
    if (!in || mark != LINE_MARK || step.size() != 1 || std::strchr("ACMDXuU", step[0]) == nullptr)
        return false;
    m.step = static_cast<EImapStep>(step[0]);
    return Unescaped(mailbox, m.mailbox) && Unescaped(trash, m.trash);
}

bool Finished(EImapStep step)
{
    return step == EImapStep::DONE || step == EImapStep::DROPPED || step == EImapStep::UNDONE;
}

}  // namespace

CImapJournal::~CImapJournal()
{
    if (m_file != INVALID_HANDLE_VALUE)
        CloseHandle(m_file);
}

bool CImapJournal::Open(const std::string &account, std::string &why, bool readOnly)
{
    char dir[PATH_SIZE];
    if (!GetStateDirectory(dir, sizeof dir, !readOnly)) {
        if (readOnly && (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND))
            return true;
        why = std::string("cannot use the state directory") + (dir[0] != '\0' ? std::string(" ") + dir : "") +
              ": " + ErrorText(GetLastError());
        return false;
    }
    m_path = JoinPath(dir, "imap-" + Escaped(account, ":/\\*?\"<>|") + ".journal");
    std::string text;
    DWORD error = 0;
    bool found = ReadWholeFile(m_path, text, error);
    if (!found && error != 0) {
        SetLastError(error);
        why = "cannot read the journal " + m_path + ": " + ErrorText(GetLastError());
        return false;
    }
    // Whole lines only: a stop while one was written leaves its start, which goes.
    std::size_t whole = text.rfind('\n') == std::string::npos ? 0 : text.rfind('\n') + 1;
    std::istringstream lines(text.substr(0, whole));
    std::string line;
    while (std::getline(lines, line)) {
        SImapMail mail;
        if (!ReadLine(line, mail)) {
            why = "the journal " + m_path + " holds a line this program cannot read: " + line.substr(0, 80);
            return false;
        }
        m_mails[mail.Key()] = mail;
    }
    if (readOnly)
        return true;
    m_file = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         found ? OPEN_EXISTING : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (m_file == INVALID_HANDLE_VALUE || !Seek(m_file, whole) || (whole < text.size() && !SetEndOfFile(m_file))) {
        why = "cannot write the journal " + m_path + ": " + ErrorText(GetLastError());
        return false;
    }
    return true;
}

bool CImapJournal::Write(const std::vector<SImapMail> &mails)
{
    std::string lines;
    for (const SImapMail &mail : mails)
        lines += LineOf(mail);
    if (m_file == INVALID_HANDLE_VALUE || !WriteWhole(m_file, lines.data(), lines.size()) || !FlushFileBuffers(m_file))
        return false;
    for (const SImapMail &mail : mails)
        m_mails[mail.Key()] = mail;
    return true;
}

std::vector<SImapMail> CImapJournal::Unfinished(const std::string &mailbox) const
{
    std::vector<SImapMail> found = Unfinished();
    found.erase(std::remove_if(found.begin(), found.end(), [&](const SImapMail &mail) { return mail.mailbox != mailbox; }),
                found.end());
    return found;
}

std::vector<SImapMail> CImapJournal::Unfinished() const
{
    std::vector<SImapMail> found;
    for (const auto &kept : m_mails) {
        EImapStep step = kept.second.step;
        if (step == EImapStep::APPENDING || step == EImapStep::APPENDED || step == EImapStep::MOVING)
            found.push_back(kept.second);
    }
    return found;
}

std::vector<SImapMail> CImapJournal::LastRun() const
{
    std::uint64_t last = 0;
    for (const auto &kept : m_mails) {
        if (kept.second.step == EImapStep::DONE || kept.second.step == EImapStep::UNDOING)
            last = std::max(last, kept.second.run);
    }
    std::vector<SImapMail> found;
    for (const auto &kept : m_mails) {
        if (kept.second.run == last &&
            (kept.second.step == EImapStep::DONE || kept.second.step == EImapStep::UNDOING))
            found.push_back(kept.second);
    }
    return found;
}

bool CImapJournal::Compact()
{
    std::uint64_t last = 0;
    for (const auto &kept : m_mails) {
        if (kept.second.step == EImapStep::DONE)
            last = std::max(last, kept.second.run);
    }
    std::string text;
    for (auto it = m_mails.begin(); it != m_mails.end();) {
        EImapStep step = it->second.step;
        if (!Finished(step) || (step == EImapStep::DONE && it->second.run == last)) {
            text += LineOf(it->second);
            ++it;
        } else {
            it = m_mails.erase(it);
        }
    }
    CloseHandle(m_file);
    m_file = INVALID_HANDLE_VALUE;
    std::string temp = m_path + ".new";
    if (!WriteAnew(temp.c_str(), m_path.c_str(), DirectoryOf(m_path).c_str(), text.data(), text.size()))
        return false;
    m_file = CreateFileA(m_path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
    return m_file != INVALID_HANDLE_VALUE && Seek(m_file, text.size());
}
