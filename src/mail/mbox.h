// Mail folders in the mbox format, and files of one mail: the pieces a folder is cut into,
// and the relabelling of a folder piece by piece.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "rfc2046.h"

// Reads a folder one piece at a time: a mail, or the text before the first one.  A mail
// starts at a line beginning with "From " at the start of the folder or after an empty
// line.  Each piece comes in runs of at most 64 KiB, a long line in several: memory stays
// the same whatever the size of a mail or a line.
class CFolderReader {
public:
    explicit CFolderReader(FILE *in);
    explicit CFolderReader(std::string_view text);
    // Goes to the next piece; false at the end of the folder or on a read error.
    bool NextPiece();
    // True when the piece is a mail, false when it is text before the first one.  A folder
    // that starts with a header field rather than a "From " line is a file of one mail, one
    // piece to its end.
    bool IsMail() const { return m_isMail; }
    // True when the mail opens with a "From " line (not so in a file of one mail).
    bool HasFromLine() const { return m_hasFromLine; }
    // At the piece's end: the size of the empty line that parts it from the mail after it,
    // the piece's last line; 0 when the folder ends after the piece.
    std::size_t Separator() const { return m_separator; }
    // Puts the next run of the piece into run, lineStart saying whether it begins a line;
    // false at the piece's end.  A run is good until the next call.
    bool NextRun(std::string_view &run, bool &lineStart);
    // At the start of a line: puts into run as many whole lines of the piece as the buffer
    // holds, up to the first that starts with '-' or 'F', as boundary lines and "From "
    // lines do, or where toEmptyLine with a CR or LF, as an empty line does.  False when
    // there is no such line to give (the next starts so, is not whole in the buffer, or the
    // piece has ended): NextRun then gives the next run.  Text read in these runs costs a
    // call for many lines rather than one for each.
    bool NextLines(std::string_view &run, bool toEmptyLine);
    // True when the reader can go back to the start of its piece: the folder is in memory,
    // or a file it can seek in.
    bool CanRewind() const { return m_origin >= 0; }
    // Goes back to the start of the piece, to read it again.  False on failure (the reader
    // has then failed).
    bool Rewind();
    bool Failed() const { return m_failed || (m_in != nullptr && std::ferror(m_in) != 0); }
    // Has seen called with every byte of the folder, in order, once (a piece read again after
    // Rewind is not seen again): what NextRun or NextLines took, at the next call to either,
    // NextPiece or Rewind, once the taker has dealt with it.
    void Observe(std::function<void(std::string_view)> seen) { m_seen = std::move(seen); }
    // Whether the taker reads the bytes it has taken as ISO-2022-KR, SO and SI as shifts,
    // whatever came before (CEntityRelabeller::ReadsAsIso2022Kr): it says so before each
    // take, for the observer to ask as it sees them.  False until said.
    void SetReadAsIso2022Kr(bool on) { m_readAsIso2022Kr = on; }
    bool ReadAsIso2022Kr() const { return m_readAsIso2022Kr; }

private:
    bool Fill();
    void SeeTaken();

    FILE *m_in = nullptr;
    std::string_view m_text;  // the folder, when it is in memory
    long long m_origin = -1;  // where the folder starts in its file (0 in memory); -1 if no going back
    std::vector<char> m_buffer;
    std::size_t m_pos = 0, m_size = 0;
    unsigned long long m_bufferAt = 0;  // offset of m_buffer[0] in the folder
    unsigned long long m_pieceAt = 0;   // offset of the piece's start
    unsigned long long m_seenTo = 0;    // bytes handed to m_seen: those taken, once
    bool m_readAsIso2022Kr = false;
    bool m_eof = false, m_failed = false;
    bool m_lineStart = true;   // the next run begins a line
    bool m_lastEmpty = true;   // the line before was empty, or there was none
    std::size_t m_lastSize = 0;   // the size of the line before, where it ended
    std::size_t m_separator = 0;  // the piece ended at a "From " line after an empty line of this size
    bool m_pieceStart = true;  // nothing of the piece has been read yet
    bool m_inPiece = false;
    bool m_isMail = false;
    bool m_hasFromLine = false;
    std::function<void(std::string_view)> m_seen;
};

// Counts kept while relabelling a folder.
struct CFolderCounts {
    long mails = 0;
    long labels = 0;
    long tooDeep = 0;  // mails with something nested deeper than MAX_NESTING, left as it is
    long headerTooLong = 0;  // mails with a header longer than MAX_HEADER, left as it is
};

// Relabels the pieces of a folder from reader into sink: each mail (after its "From " line,
// or a file of one mail whole) with a CEntityRelabeller, its Content-Length fixed when its
// body changed length; the text before the first mail as text, where a "From " line opens a
// mail as in any text.  A designator applies only to the mail, or part, it stands in.  A
// mail with a Content-Length is read twice where the reader can go back, and held whole
// where it cannot.  Returns 1 on success, 0 when reading fails or the reader fails to go
// back; write errors are the sink's stream's.
int RelabelPieces(CFolderReader &reader, CMailSink &sink, CFolderCounts *counts);

// Relabels a folder held in a string.
std::string RelabelMail(const std::string &mail, long *labels);

// A StreamConverter (convert.h) that relabels as well as decodes.  counts, when given,
// receives what was seen; out may be null to count only.
int RelabelStream(FILE *in, FILE *out);
// The relabelling as a conversion of the job (convert.h), RelabelStream, under the one kind
// that every program of ours gives it, RELABEL_KIND: a relabelling that was interrupted is
// then completed by whichever of them converts the folder next, handed RELABELLING (or its
// own converter that relabels as RelabelStream does, under the same kind).
extern const char RELABEL_KIND[];
extern const SConversion RELABELLING;
// seen, when given, is told of every byte read (CFolderReader::Observe).
int RelabelFolder(FILE *in, FILE *out, CFolderCounts *counts,
                  std::function<void(std::string_view)> seen = nullptr);

// What a look at a folder finds, changing nothing: what --check tells of it.
struct SFolderLook {
    CFolderCounts counts;        // the mails, and the labels that relabelling changes
    long passages = 0;           // ISO-2022-KR passages (CShiftScanner)
    long malformed = 0;          // malformed sequences
    std::vector<long> malformedLines;  // the first few lines with one, from 1
    long crlf = 0, bareLF = 0;   // line ends of each kind
    // Where the first NUL byte is within the first 64 KiB, which no mail or text has; or
    // UINT64_MAX.
    std::uint64_t nulAt = UINT64_MAX;
};

// Reads the folder in from its position to its end, relabelling it into nowhere, and puts
// what it found into look; seen, when given, is told of every byte read, in order.  Where
// relabelled, its passages are counted as the relabelling decodes them (a text labelled
// ISO-2022-KR from its first byte); else as the plain job does, the file one text.  Returns
// false when reading fails (or memory runs out: ERROR_NOT_ENOUGH_MEMORY).  in is not closed.
bool LookAtFolder(FILE *in, SFolderLook &look, bool relabelled,
                  const std::function<void(std::string_view)> &seen = nullptr);
