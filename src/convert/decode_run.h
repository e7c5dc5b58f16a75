// The decoders of runs of ordinary text, and the choice between them; internal to the core.
//
// A run is the text between two stop bytes (ESC, CR, LF) of a file that has shown the
// designator: SO and SI switch the shift state and vanish, and every other byte is written
// with bit 7 set while shifted, spaces and TABs excepted.  It is the bulk of any folder.
#pragma once

// Decodes the run that starts at p, shiftMask in and out being the shift state (0x80 in
// shifted text, else 0), advances p past what it decoded and returns the new end of the
// output.  Writes only to out[0, end - p): a run is never longer decoded than read.
typedef unsigned char *(*RunDecoder)(const unsigned char *&p, const unsigned char *end,
                                     unsigned char *out, unsigned char &shiftMask);

// The plain, table-driven decoder, the reference: stops at the first stop byte or at end.
unsigned char *DecodeRun(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                         unsigned char &shiftMask);

// The vectorised decoder, 16 bytes a step.  It takes only whole blocks of 16 bytes before
// end and may stop up to 15 bytes short of the next stop byte; DecodeRun then finishes the
// run.  Only for processors with SSE2, and only built for x86 processors.
unsigned char *DecodeRunSse2(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                             unsigned char &shiftMask);

// The fastest run decoder for a processor that runs SSE2 (sse2 true) or not, as far as this
// build has one; the last answer is always DecodeRun.
RunDecoder ChooseRunDecoder(bool sse2);
