// The command-line converter's progress line, drawn on a terminal and erased at the end.
#include "progress.h"

#include <algorithm>
#include <cmath>

#include "platform.h"

namespace {

// How long a job runs before its line is drawn, and how often it is drawn again.
const auto SHOW_AFTER = std::chrono::seconds(1);
const auto REDRAW_EVERY = std::chrono::milliseconds(250);
// Bytes read between looks at the clock: few enough to cost nothing at any speed, and
// enough for four redraws a second even from a slow pipe.
const std::uint64_t LOOK_EVERY = std::uint64_t{64} * 1024;
// The most of a file's name that is drawn, its end: a line wider than the terminal wraps,
// and then the carriage return no longer reaches its start.  With the longest rest of the
// line, it fits in 80 columns.
const std::size_t NAME_WIDTH = 28;
// In a tree, where the line counts the files too.
const std::size_t TREE_NAME_WIDTH = 14;

// The end of name, as much as is drawn of it.
std::string Shortened(const std::string &name, std::size_t width)
{
    if (name.size() <= width)
        return name;
    std::size_t from = name.size() - (width - 3);
    // Never from the middle of a UTF-8 character.
    while (from < name.size() && (static_cast<unsigned char>(name[from]) & 0xC0) == 0x80)
        ++from;
    return "..." + name.substr(from);
}

std::string Format(const char *format, double value)
{
    char text[40];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// "m:ss", or "h:mm:ss" from an hour on.
std::string Duration(double seconds)
{
    long long s = std::llround(seconds);
    char text[40];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%lld:%02lld", s / 60, s % 60);
    return text;
}

}  // namespace

void CProgressLine::Start(const std::string &name)
{
    if (m_tree) {
        m_name = name;
        m_read = 0;
        return;
    }
    Finish();
    m_name = name;
    m_running = true;
    m_started = Clock::now();
}

void CProgressLine::Advance(FILE *in, std::uint64_t bytesRead)
{
    if (m_to == nullptr || !m_running)
        return;
    if (!m_tree && (in != m_in || bytesRead < m_read)) {
        // Another stream, or one read again from its start: what is left of its file from
        // where reading began.
        m_in = in;
        m_inSince = Clock::now();
        m_lookedAt = 0;
        long long at = StreamPosition(in), size = StreamFileSize(in);
        long long began = at - static_cast<long long>(bytesRead);
        m_total = began >= 0 && size > began ? static_cast<std::uint64_t>(size - began) : 0;
    }
    m_read = bytesRead;
    if (bytesRead - m_lookedAt < LOOK_EVERY && !m_tree)
        return;
    m_lookedAt = bytesRead;
    Clock::time_point now = Clock::now();
    if (now - m_started < SHOW_AFTER || (m_drawn > 0 && now - m_lastDrawn < REDRAW_EVERY))
        return;
    Draw(now);
}

void CProgressLine::Draw(Clock::time_point now)
{
    double seconds = std::chrono::duration<double>(now - m_inSince).count();
    double rate = seconds > 0 ? static_cast<double>(m_read) / seconds : 0;
    std::string line = Shortened(m_name, m_tree ? TREE_NAME_WIDTH : NAME_WIDTH) + ": ";
    if (m_tree) {
        // Of the whole tree: a file read twice (a job completed first) counts once.
        std::uint64_t done = std::min(m_treeBytes, m_bytesDone + m_read);
        seconds = std::chrono::duration<double>(now - m_started).count();
        rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        line += std::to_string(std::min(m_filesDone + 1, m_treeFiles)) + "/" + std::to_string(m_treeFiles) +
                " files, ";
        line += std::to_string(m_treeBytes > 0 ? done * 100 / m_treeBytes : 100) + "% of " +
                Format("%.1f MB", static_cast<double>(m_treeBytes) / 1e6) + Format(", %.1f MB/s", rate / 1e6);
        if (rate > 0)
            line += ", " + Duration(static_cast<double>(m_treeBytes - done) / rate) + " left";
    } else if (m_total > 0) {
        std::uint64_t percent = std::min<std::uint64_t>(100, m_read * 100 / m_total);
        line += std::to_string(percent) + "% of " + Format("%.1f MB", static_cast<double>(m_total) / 1e6);
    } else {
        line += Format("%.1f MB", static_cast<double>(m_read) / 1e6);
    }
    if (!m_tree)
        line += Format(", %.1f MB/s", rate / 1e6);
    if (!m_tree && m_total > 0 && rate > 0 && m_read <= m_total)
        line += ", " + Duration(static_cast<double>(m_total - m_read) / rate) + " left";
    // Over the whole of the line before, so that nothing of it stays.
    std::size_t width = std::max(line.size(), m_drawn);
    line.resize(width, ' ');
    std::fprintf(m_to, "\r%s", line.c_str());
    std::fflush(m_to);
    m_drawn = width;
    m_lastDrawn = now;
}

void CProgressLine::Finish()
{
    if (m_tree)
        return;
    if (m_to != nullptr && m_drawn > 0) {
        std::fprintf(m_to, "\r%s\r", std::string(m_drawn, ' ').c_str());
        std::fflush(m_to);
    }
    m_drawn = 0;
    m_running = false;
    m_in = nullptr;
    m_read = 0;
}

void CProgressLine::StartTree(std::uint64_t files, std::uint64_t bytes)
{
    Finish();
    m_tree = true;
    m_running = true;
    m_started = Clock::now();
    m_treeFiles = files;
    m_treeBytes = bytes;
    m_filesDone = m_bytesDone = 0;
    m_read = 0;
}

void CProgressLine::FileDone(std::uint64_t size)
{
    if (!m_tree)
        return;
    ++m_filesDone;
    m_bytesDone += size;
    m_read = 0;
    if (m_to == nullptr)
        return;
    // Small files are read in one piece, too small to draw for: the clock is looked at here.
    Clock::time_point now = Clock::now();
    if (now - m_started >= SHOW_AFTER && (m_drawn == 0 || now - m_lastDrawn >= REDRAW_EVERY))
        Draw(now);
}

void CProgressLine::FinishTree()
{
    m_tree = false;
    Finish();
}

void AdvanceProgress(FILE *in, std::uint64_t bytesRead, void *context)
{
    static_cast<CProgressLine *>(context)->Advance(in, bytesRead);
}
