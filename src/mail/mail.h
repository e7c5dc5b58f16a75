// Mail structure, as far as relabelling needs it: where mails, header fields and parts
// begin and end, and the labels in them that name ISO-2022-KR.  Each standard has a header
// of its own; this one brings them all, for the front ends.
//
// It reads headers and boundaries; it is not a MIME library.  Everything works on the
// original bytes: a parser finds the spans to replace, and every other byte is copied as
// it stands.  What it cannot read (a broken encoded word, an unknown transfer encoding, a
// missing boundary) passes through unchanged.
#pragma once

#include "mail_text.h"
#include "mbox.h"
#include "rfc2045.h"
#include "rfc2046.h"
#include "rfc2047.h"
#include "rfc5322.h"
