// The journal of the conversions on one IMAP account: a line for each step of each mail, in
// the state directory, flushed before the step's command goes to the server, so that a run
// killed or cut off at any point is completed by the next without a mail doubled or lost,
// and --undo finds the last run's mails.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "platform.h"

// Where a mail's replacement has come.  Each step is written before what it names is sent.
enum class EImapStep : char {
    APPENDING = 'A',  // the converted mail may have been appended (its answer not yet seen)
    APPENDED = 'C',   // the copy is on the server, as newUid, and was or is being compared
    MOVING = 'M',     // the original is being moved to Trash (its copy is whole)
    DONE = 'D',       // the original is in Trash (as trashUid where the server told it)
    DROPPED = 'X',    // given up: the original stays, no copy of ours is left
    UNDOING = 'u',    // --undo is moving the original back
    UNDONE = 'U',     // --undo put the original back and removed the copy
};

struct SImapMail {
    EImapStep step = EImapStep::APPENDING;
    std::string mailbox;           // as the server names it (modified UTF-7)
    std::uint64_t validity = 0;    // the mailbox's UIDVALIDITY
    std::uint64_t uid = 0;         // the original's
    std::uint64_t run = 0;         // the run that converted it (its start, in seconds)
    std::uint64_t size = 0, sum = 0;                // the original's bytes
    std::uint64_t convertedSize = 0, convertedSum = 0;  // the copy's
    std::uint64_t uidNext = 0;     // the mailbox's UIDNEXT before the APPEND: the copy is at or past it
    std::uint64_t newUid = 0;      // the copy's, 0 until known
    std::string trash;             // the mailbox the original went to
    std::uint64_t trashValidity = 0, trashNext = 0, trashUid = 0;

    std::tuple<std::string, std::uint64_t, std::uint64_t> Key() const { return {mailbox, validity, uid}; }
};

class CImapJournal {
public:
    CImapJournal() = default;
    CImapJournal(const CImapJournal &) = delete;
    CImapJournal &operator=(const CImapJournal &) = delete;
    ~CImapJournal();

    // Opens the journal of account in the state directory, made where there is none, and
    // reads it; to read only, makes nothing (none there is an empty journal) and writes
    // nothing.  False with why.
    bool Open(const std::string &account, std::string &why, bool readOnly = false);
    // Writes mails' steps (or mail's) and flushes them, once.  False with the system's error.
    bool Write(const std::vector<SImapMail> &mails);
    bool Write(const SImapMail &mail) { return Write(std::vector<SImapMail>{mail}); }
    // The mails of mailbox (any UIDVALIDITY) whose replacement a run left unfinished (an undo
    // left unfinished is --undo's to complete).
    std::vector<SImapMail> Unfinished(const std::string &mailbox) const;
    // Those of every mailbox.
    std::vector<SImapMail> Unfinished() const;
    // The mails the last run that converted any put in Trash and --undo has not put back.
    std::vector<SImapMail> LastRun() const;
    // Rewrites the journal with only what the next run or --undo may need: nothing
    // unfinished is ever dropped.  False with the system's error.
    bool Compact();
    const std::string &Path() const { return m_path; }

private:
    std::string m_path;
    HANDLE m_file = INVALID_HANDLE_VALUE;
    std::map<std::tuple<std::string, std::uint64_t, std::uint64_t>, SImapMail> m_mails;
};
