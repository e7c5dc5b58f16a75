// What the command-line converter's parts share (common.h).
#include "common.h"

#include <cstring>
#include <new>
#include <string>

const char PROGRAM[] = "quorvel-convert";

std::string LastReason()
{
    char reason[256];
    return DescribeError(GetLastError(), reason, sizeof reason) ? reason : "";
}

std::string Quantity(long n, const char *one, const char *many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The reason a job on the folder at path failed, naming the state directory where it, not
// the folder, is to blame, and the lock file that another program holds.
std::string JobReason(const SJobResult &result, const char *path)
{
    DWORD error = GetLastError();
    std::string reason = LastReason();
    if (result.stateDirectoryAtFault) {
        reason = result.stateDirectory[0] == '\0' ? "cannot find the state directory (HOME unset?)"
                                                  : "state directory " + std::string(result.stateDirectory) + ": " +
                                                        reason;
    } else if (error == ERROR_FOLDER_LOCKED) {
        // The job takes the lock of the folder itself, through its links.
        char folder[PATH_SIZE];
        reason += " (" + std::string(ResolvePath(path, folder) ? folder : path) + ".lock)";
    }
    return reason;
}

// What the user is told of an interrupted job that is not to be guessed at: where the
// folder differs, and where its original is kept and how to put it back.
void TellWhatIsKept(FILE *err, const char *path, const SJobResult &result)
{
    if (result.trace[0] != '\0') {
        // Only a run that reads that record can tell what the folder holds.
        std::fprintf(err,
                     "%s: %s: %s says that a conversion of it was interrupted, and that its record is kept in "
                     "%s; run '%s %s' where that record is found (the state directory of the user and "
                     "XDG_STATE_HOME that began it, on the folder it was converting, not a copy); delete %s "
                     "only once the folder is as it should be\n",
                     PROGRAM, path, result.trace, result.keptRecord, PROGRAM, path, result.trace);
        return;
    }
    if (result.differs) {
        std::string where = result.differsBefore
                                ? "somewhere before byte " + std::to_string(result.differsAt) +
                                      ", which the interrupted conversion never wrote"
                                : "at byte " + std::to_string(result.differsAt);
        std::fprintf(err, "%s: %s: it differs from what the interrupted conversion left %s\n", PROGRAM, path,
                     where.c_str());
        for (const char *line : {result.mailFrom, result.mailDate, result.mailSubject}) {
            if (line[0] != '\0')
                std::fprintf(err, "%s: %s:   in the mail: %s\n", PROGRAM, path, line);
        }
    }
    if (result.keptCopy[0] != '\0' && result.differsBefore) {
        // --undo writes nothing after a front it cannot vouch for: the user joins them.
        std::string found =
            result.frontFound
                ? "the interrupted conversion's bytes now begin at byte " + std::to_string(result.frontNow) +
                      " rather than " + std::to_string(result.keptFrom) + " (" +
                      std::to_string(result.frontNow > result.keptFrom ? result.frontNow - result.keptFrom
                                                                       : result.keptFrom - result.frontNow) +
                      (result.frontNow > result.keptFrom ? " bytes more" : " bytes fewer") + " before them)"
                : "where the interrupted conversion's bytes now begin cannot be told";
        std::fprintf(err,
                     "%s: %s: left as it is: %s; its original from byte %llu on is kept in %s, with the record "
                     "%s; to put it back by hand, append that copy to %s, and then the mail appended since, "
                     "if any (--undo does not, as it cannot vouch for that front)\n",
                     PROGRAM, path, found.c_str(), static_cast<unsigned long long>(result.keptFrom), result.keptCopy,
                     result.keptRecord,
                     result.frontFound ? ("the folder's own first " + std::to_string(result.frontNow) + " bytes").c_str()
                                       : "the folder's own front, wherever that now ends");
        return;
    }
    if (result.keptCopy[0] != '\0')
        std::fprintf(err,
                     "%s: %s: may be damaged; its original from byte %llu on is kept in %s (the bytes before it "
                     "are the folder's own), with the record %s; '%s --undo %s' puts it back\n",
                     PROGRAM, path, static_cast<unsigned long long>(result.keptFrom), result.keptCopy,
                     result.keptRecord, PROGRAM, path);
}

void TellLockFileLeft(FILE *err, const char *path, const SJobResult &result)
{
    if (result.lockFileLeft[0] == '\0')
        return;
    SetLastError(result.lockFileError);
    std::fprintf(err, "%s: %s: warning: cannot delete the lock file %s: %s; mail programs keep out of the folder "
                 "until it is deleted\n", PROGRAM, path, result.lockFileLeft, LastReason().c_str());
}

void TellStrayOld(FILE *err, const char *path, const SJobResult &result)
{
    if (result.strayCopy[0] != '\0')
        std::fprintf(err,
                     "%s: %s: notice: deleted %s, the copy of it that a conversion or undo stopped before it "
                     "began writing, or after it had ended, left behind\n",
                     PROGRAM, path, result.strayCopy);
    if (result.strayOld[0] != '\0')
        std::fprintf(err,
                     "%s: %s: notice: an undo of it was stopped after it had put the folder back; what the "
                     "folder held before that undo is kept in %s (delete it when it is of no more use)\n",
                     PROGRAM, path, result.strayOld);
}

void TellJobFailed(FILE *err, const char *path, const SJobResult &result)
{
    std::string reason = JobReason(result, path);
    std::fprintf(err, "%s: %s: cannot convert%s%s\n", PROGRAM, path, reason.empty() ? "" : ": ", reason.c_str());
    if (result.leftBehind[0] != '\0') {
        SetLastError(result.leftBehindError);
        std::fprintf(err, "%s: %s: cannot delete %s: %s; delete it by hand before the next run\n", PROGRAM, path,
                     result.leftBehind, LastReason().c_str());
    }
    TellWhatIsKept(err, path, result);
    TellLockFileLeft(err, path, result);
    TellStrayOld(err, path, result);
}

void TellJobDone(FILE *err, const char *path, const SJobResult &result, bool quiet)
{
    TellLockFileLeft(err, path, result);
    TellStrayOld(err, path, result);
    if (result.leftBehind[0] != '\0') {
        SetLastError(result.leftBehindError);
        std::fprintf(err, "%s: %s: warning: cannot delete %s: %s\n", PROGRAM, path, result.leftBehind,
                     LastReason().c_str());
    }
    if (result.completedInterrupted && !quiet) {
        std::string kept = result.appendedKept > 0 ? ", keeping the " + std::to_string(result.appendedKept) +
                                                         " bytes of mail appended since"
                                                   : "";
        std::fprintf(err, "%s: %s: completed an interrupted conversion%s\n", PROGRAM, path, kept.c_str());
    }
    if (result.keptOld[0] != '\0')
        std::fprintf(err, "%s: %s: warning: what it held from byte %llu on is kept in %s\n", PROGRAM, path,
                     static_cast<unsigned long long>(result.keptFrom), result.keptOld);
}

std::string FolderLookWords(const SFolderLook &look, bool keepLabels)
{
    // Line ends here, and those the conversion makes into them.
    const bool crlfHere = std::strcmp(PLATFORM_LINE_END, "\r\n") == 0;
    const CFolderCounts &counts = look.counts;
    std::string line = Quantity(counts.mails, "mail", "mails") + ", " +
                       Quantity(look.passages, "ISO-2022-KR passage", "ISO-2022-KR passages") + ", " +
                       Quantity(look.malformed, "malformed sequence", "malformed sequences");
    for (std::size_t i = 0; i < look.malformedLines.size(); ++i)
        line += (i == 0 ? " (line " : ", ") + std::to_string(look.malformedLines[i]);
    if (!look.malformedLines.empty())
        line += ")";
    if (!keepLabels)
        line += ", " + Quantity(counts.labels, "label to change", "labels to change");
    long changed = crlfHere ? look.bareLF : look.crlf;
    if (changed > 0)
        line += ", " + (crlfHere ? Quantity(changed, "bare LF line end to CR LF", "bare LF line ends to CR LF")
                                 : Quantity(changed, "CR LF line end to LF", "CR LF line ends to LF"));
    // Converted, a file of another kind has its bytes changed as text's would be.
    if (counts.mails == 0 && look.nulAt != UINT64_MAX)
        line += "; warning: it looks like no mail or text but a binary file (a NUL byte at byte " +
                std::to_string(look.nulAt) + "): converting it would change its bytes as a text's";
    if (!keepLabels && counts.tooDeep > 0)
        line += "; warning: " + Quantity(counts.tooDeep, "mail nests", "mails nest") + " parts deeper than " +
                std::to_string(MAX_NESTING) + " levels, which are left as they are";
    if (!keepLabels && counts.headerTooLong > 0)
        line += "; warning: " + Quantity(counts.headerTooLong, "mail has", "mails have") + " a header longer than " +
                std::to_string(MAX_HEADER >> 20) + " MiB, and " +
                (counts.headerTooLong == 1 ? "is left as it is" : "are left as they are");
    // Today's mail programs show text labelled ISO-2022-KR as nothing, whatever its bytes.
    if (keepLabels && counts.labels > 0)
        line += "; warning: " + Quantity(counts.labels, "label", "labels") +
                " would be left naming ISO-2022-KR over EUC-KR bytes";
    return line;
}

std::string PendingJobWords(const char *path, EPendingJob pending, const SJobResult &result)
{
    if (pending == PENDING_COMPLETE)
        return std::string("a conversion of it was interrupted; the next run completes it") +
               (result.appendedKept > 0
                    ? ", keeping the " + std::to_string(result.appendedKept) + " bytes of mail appended since"
                    : "");
    if (result.trace[0] != '\0')
        return JobReason(result, path) + " (its record: " + result.keptRecord + "); the next run refuses it";
    // After a front that changed, the copy goes back only by hand.
    if (result.differsBefore)
        return JobReason(result, path) + "; the next run refuses it, and '" + PROGRAM + " --undo " + path +
               "' leaves it as it is";
    return JobReason(result, path) + "; the next run refuses it, and '" + PROGRAM + " --undo " + path +
           "' puts it back as it was";
}
