// Mails and the parts nested in them (RFC 2046), relabelled as they are read: multipart
// bodies between boundary lines, forwarded mails, and the text, kept and recoded bodies in
// them; and where the relabelled bytes go.
#pragma once

#include <cstddef>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "convert.h"
#include "mail_text.h"

// Where relabelled text goes: a stream (write errors left in its error indicator), a string,
// or nowhere.  Every byte put is counted, wherever it goes.
struct CMailSink {
    FILE *file = nullptr;
    std::string *text = nullptr;
    unsigned long long count = 0;

    void Put(std::string_view bytes);
    // Puts bytes with each line end, CR LF or a bare LF, made the platform's.
    void PutWithPlatformLineEnds(std::string_view bytes);
    // Puts the next bytes of a text decoded apart (convert.h), room holding the decoding.
    void PutDecoded(SApartDecoder &decoder, std::string_view bytes, std::vector<char> &room);
    // Puts what decoder held back at its text's end.
    void PutDecodedEnd(SApartDecoder &decoder);
};

// How deep multiparts and forwarded mails may nest; deeper ones pass through unchanged.
// Each level open takes a few hundred bytes.
const int MAX_NESTING = 1000;
// The most of a header block that is read as one: a longer one is no header a mail program
// wrote, and its entity, the header and all after it, keeps its bytes.
const std::size_t MAX_HEADER = std::size_t{4} << 20;

// Relabels one mail or part, and everything nested in it, as it is read: a run at a time,
// each line in one run or more (the first holding its first 64 KiB at least, where the line
// is that long).  Headers, with their encoded words and labels, are held until their empty
// line; a body is passed on as it comes, except one in base64 or quoted-printable that is
// recoded, which is held until its end.  The header of a mail or part is decoded as
// ISO-2022-KR on its own, and the body of a text part (text/*, or no type) goes on from its
// header's designator flag; the rest (boundary lines, bodies that are not text) keeps its
// bytes, its line ends made the platform's.  Adds the number of labels and encoded words
// changed to *labels.
class CEntityRelabeller {
public:
    CEntityRelabeller(CMailSink &sink, long *labels);
    ~CEntityRelabeller();
    CEntityRelabeller(const CEntityRelabeller &) = delete;
    CEntityRelabeller &operator=(const CEntityRelabeller &) = delete;

    // Takes the header of the outermost entity once decoded, in place of the sink, to put
    // into it itself: a mail's Content-Length follows its body.
    void TakeTopHeader(std::function<void(std::string &)> take) { m_takeTopHeader = std::move(take); }
    // Reads a "From " line that follows no empty line as mbox readers that start a mail at
    // every one do: the lines after it, up to the end of the part it stands in or the next
    // such line, are relabelled as a mail of their own.  For the lines of a folder, not
    // those of a file of one mail.  Only text and the lines around parts take one; a body
    // kept or recoded goes on.
    void OpenMailsAtFromLines() { m_opensMails = true; }
    // Reads what comes as text with no header of its own: the text before a folder's first mail.
    void ReadAsText();
    // Takes the next run; lineStart when it begins a line.
    void Run(std::string_view run, bool lineStart);
    // True when the entity takes whole lines in one run (Lines), none of which starts with
    // '-' or 'F' (CFolderReader::NextLines): there no line can be a boundary or a "From "
    // line.  *headerLines is set when they are lines of a header, which must hold no empty
    // line either: that would end it.
    bool TakesLines(bool *headerLines) const;
    // Takes whole lines at once, each ending in LF, as Run would take them one by one.
    void Lines(std::string_view lines);
    // Ends the entity: what is still held is put out.
    void End();
    // Bytes read so far, and those before the body of the outermost entity (all of them
    // until its header has ended).
    unsigned long long Read() const { return m_read; }
    unsigned long long BodyStart() const { return m_bodyStart; }
    // True when something nested deeper than MAX_NESTING, and passed through unchanged.
    bool TooDeep() const { return m_tooDeep; }
    // True when a header was longer than MAX_HEADER, and its entity passed through unchanged.
    bool HeaderTooLong() const { return m_headerTooLong; }
    // True when the text being read is decoded with SO and SI as shifts from its first byte,
    // designator or not, as its label says ISO-2022-KR.
    bool ReadsAsIso2022Kr() const;

private:
    struct CFrame;
    bool StartLine(std::string_view line);
    std::size_t FindBoundary(std::string_view line, int *kind) const;
    void Push(int depth);
    void Content(std::string_view bytes);
    void LineEnd(const char *lineEnd);
    void FinishHeader();
    int PutHeader(const CFrame &frame, const std::string &header, std::vector<CEdit> &edits);
    void OpenMailAfterFromLine();
    int Recode(CFrame &frame);
    EApartLines BodyLines() const;
    void Look(CFrame &frame);
    void Settle(bool changes);
    void HoldHead(CFrame &frame, std::string_view bytes);
    void PutHead(CFrame &frame);
    void CloseTop();
    void CloseAbove(std::size_t at);

    CMailSink &m_sink;
    long *m_labels;
    std::vector<CFrame> m_frames;  // the entities open, the outermost first
    const char *m_lineEnd = "";    // the last line's end, until the next line tells whose it is
    bool m_boundaryLine = false;   // the current line is a boundary line
    bool m_opensMails = false;     // "From " lines open mails
    bool m_fromLine = false;       // the current line is a "From " line that may open one
    std::vector<char> &m_decoded;  // room for decoding, shared by the relabellers of a thread
    unsigned long long m_read = 0, m_bodyStart = 0;
    std::function<void(std::string &)> m_takeTopHeader;
    bool m_tooDeep = false;
    bool m_headerTooLong = false;
};
