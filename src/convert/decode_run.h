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

// The vectorised decoders, 16 bytes a step, built for x86 processors only.  They read only
// whole blocks of 16 bytes before end, so they stop at the first stop byte or up to 15
// bytes before end, and DecodeRun finishes the run.  Each needs what its name says.
unsigned char *DecodeRunSse2(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                             unsigned char &shiftMask);
unsigned char *DecodeRunSsse3(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                              unsigned char &shiftMask);

// Decodes text of a file that has shown the designator from p, line ends included, while it
// can: it stops before an ESC, before a line end it cannot write itself, and up to a block
// before end, and leaves the rest to the byte-wise decoder.  shiftMask is the shift state
// in and out; lineEnded says, when it decoded anything, whether that ended with a line end
// (and so whether a designator next would stand at a line's start).  Call it only with no
// byte held back.  Writes only to out[0, end - p): text is never longer decoded than read.
typedef unsigned char *(*TextDecoder)(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                                      unsigned char &shiftMask, bool &lineEnded);

// With AVX2, 32 bytes a step, and with AVX-512 (BW and VBMI2), 64 bytes a step; built for
// x86 processors only.
unsigned char *DecodeTextAvx2(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                              unsigned char &shiftMask, bool &lineEnded);
unsigned char *DecodeTextAvx512(const unsigned char *&p, const unsigned char *end, unsigned char *out,
                                unsigned char &shiftMask, bool &lineEnded);

// What the processor offers, as far as the decoders care: a set of these bits.
const unsigned CPU_SSE2 = 1;
const unsigned CPU_SSSE3 = 2;
const unsigned CPU_AVX2 = 4;
const unsigned CPU_AVX512 = 8;  // F, BW and VBMI2, and a system that keeps their registers

// Asks the processor which of them it has.
unsigned ProcessorFeatures();

// The fastest run decoder that this build has for a processor with features; the last
// answer is always DecodeRun.
RunDecoder ChooseRunDecoder(unsigned features);

// The fastest text decoder that this build has for a processor with features, or null.
TextDecoder ChooseTextDecoder(unsigned features);

// The run decoder that ConvertLine and ConvertBuffer try first: chosen once, by the first
// run decoded, for this processor.  UseFastDecoder sets it, and tests may set it between files.
extern RunDecoder g_pfnDecodeRun;
// The text decoder tried before it, null for none: chosen with it, set by UseFastDecoder too.
extern TextDecoder g_pfnDecodeText;
