// The words for what a walk over trees of mail did (tree_report.h).
#include "tree_report.h"

#include <numeric>
#include <string>

#include "common.h"

void TellTreeReport(const STreeReport &report, bool quiet, FILE *out, FILE *err)
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
            TellJobDone(err, path, *event.job, quiet);
            break;
        }
    }
    if (!report.walked || (quiet && report.failed.empty()))
        return;
    std::string line = Count(report.converted, "file converted", "files converted") + ", " +
                       std::to_string(report.unchanged) + " with nothing to change, " +
                       Count(report.mails, "mail", "mails") + " in all";
    long skipped = std::accumulate(report.skipped.begin(), report.skipped.end(), 0L,
                                   [](long sum, const std::pair<std::string, long> &r) { return sum + r.second; });
    line += "; " + std::to_string(skipped) + " skipped";
    for (std::size_t i = 0; i < report.skipped.size(); ++i)
        line += (i == 0 ? " (" : ", ") + std::to_string(report.skipped[i].second) + " " + report.skipped[i].first;
    if (!report.skipped.empty())
        line += ")";
    line += "; " + std::to_string(report.failed.size()) + " failed";
    for (std::size_t i = 0; i < report.failed.size() && i < 10; ++i)
        line += (i == 0 ? ": " : ", ") + report.failed[i];
    if (report.failed.size() > 10)
        line += ", and " + std::to_string(report.failed.size() - 10) + " more";
    std::fprintf(out, "%s: %s\n", PROGRAM, line.c_str());
    std::fflush(out);
}
