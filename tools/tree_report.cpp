// The words for what a walk over trees of mail did (tree_report.h).
#include "tree_report.h"

#include <numeric>
#include <string>

#include "common.h"

namespace {

// "1 message renamed", or with check "2 messages would be renamed".
std::string Done(long n, const char *one, const char *many, const char *done, bool check)
{
    return Quantity(n, one, many) + (check ? " would be " : " ") + done;
}

}  // namespace

void TellTreeReport(const STreeReport &report, bool quiet, FILE *out, FILE *err, bool keepLabels)
{
    for (const STreeEvent &event : report.events) {
        const char *path = event.path.c_str();
        std::string reason;
        if (event.error != 0) {
            SetLastError(event.error);
            reason = ": " + LastReason();
        }
        switch (event.kind) {
        case ETreeEvent::NOTICE:
            if (!quiet)
                std::fprintf(err, "%s: %s: %s\n", PROGRAM, path, event.what.c_str());
            break;
        case ETreeEvent::WARNING:
            std::fprintf(err, "%s: %s: warning: %s%s\n", PROGRAM, path, event.what.c_str(), reason.c_str());
            break;
        case ETreeEvent::FAILED:
            if (event.path.empty())
                std::fprintf(err, "%s: %s%s\n", PROGRAM, event.what.c_str(), reason.c_str());
            else
                std::fprintf(err, "%s: %s: %s%s\n", PROGRAM, path, event.what.c_str(), reason.c_str());
            break;
        case ETreeEvent::FOLDER_FAILED:
            SetLastError(event.error);
            TellJobFailed(err, path, *event.job);
            break;
        case ETreeEvent::FOLDER_DONE:
        case ETreeEvent::FOLDER_TIDIED:
            TellJobDone(err, path, *event.job, quiet);
            break;
        case ETreeEvent::WOULD:
            // As --check tells of a FILE, a line of its own on standard output.
            if (event.pending != PENDING_NONE) {
                SetLastError(event.error);
                std::fprintf(out, "%s: %s\n", path, PendingJobWords(path, event.pending, *event.job).c_str());
            } else if (event.look != nullptr) {
                std::fprintf(out, "%s: %s: %s\n", path, event.what.c_str(),
                             FolderLookWords(*event.look, keepLabels).c_str());
            } else {
                std::fprintf(out, "%s: %s\n", path, event.what.c_str());
            }
            break;
        }
    }
    if (!report.walked || (quiet && report.failed.empty()))
        return;
    bool check = report.checked;
    std::string line = (report.ofMails ? Done(report.converted, "mail", "mails", "converted", check)
                                       : Done(report.converted, "file", "files", "converted", check)) +
                       ", " + std::to_string(report.unchanged) + " with nothing to change, " +
                       Quantity(report.mails, "mail", "mails") + " in all";
    // What else changes, where anything does.
    std::string also;
    if (report.renamed > 0)
        also += ", " + Done(report.renamed, "maildir message", "maildir messages", "renamed", check);
    if (report.quotaLines > 0)
        also += ", " + Done(report.quotaLines, "quota line", "quota lines", "appended", check);
    if (report.summariesDeleted > 0)
        also += ", " + Done(report.summariesDeleted, "summary file", "summary files", "deleted", check);
    if (report.cachesDeleted > 0)
        also += ", " + Done(report.cachesDeleted, "server cache", "server caches", "deleted", check);
    if (!also.empty())
        line += "; " + also.substr(2);
    long skipped = std::accumulate(report.skipped.begin(), report.skipped.end(), 0L,
                                   [](long sum, const std::pair<std::string, long> &r) { return sum + r.second; });
    line += "; " + std::to_string(skipped) + " skipped";
    for (std::size_t i = 0; i < report.skipped.size(); ++i)
        line += (i == 0 ? " (" : ", ") + std::to_string(report.skipped[i].second) + " " + report.skipped[i].first;
    if (!report.skipped.empty())
        line += ")";
    line += "; " + std::to_string(report.failed.size()) + (check ? " would fail" : " failed");
    for (std::size_t i = 0; i < report.failed.size() && i < 10; ++i)
        line += (i == 0 ? ": " : ", ") + report.failed[i];
    if (report.failed.size() > 10)
        line += ", and " + std::to_string(report.failed.size() - 10) + " more";
    std::fprintf(out, "%s: %s\n", PROGRAM, line.c_str());
    std::fflush(out);
}
