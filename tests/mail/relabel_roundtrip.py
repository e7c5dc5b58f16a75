#!/usr/bin/env python3
"""Relabels a generated folder of ISO-2022-KR mail and reads it back with Python's email.

    relabel_roundtrip.py QUORVEL_CONVERT [--mails N] [--seed S]

Writes a folder of mails (plain, multipart, nested, forwarded message/rfc822, base64 and
quoted-printable parts, encoded words in Subject and From, folded headers, Content-Length,
text whose "From " line follows a line of only the designator, "From " lines in bodies,
with no date or, in mails whose Content-Length counts them, unquoted, the folder closed by
an empty line, and mails with no ISO-2022-KR at all), converts it with --relabel to a file, through a pipe and in place, and
checks with Python's email package, the folder split into mails as mutt splits it, that:
  - all three results are the same bytes, and they and the folder converted in place
    without --relabel hold as many mails as the folder (--check counts them too);
  - every header and every text part of every mail reads as the same text as before;
  - no charset label or encoded word names an encoding that the WHATWG Encoding Standard
    maps to its "replacement" decoder;
  - Content-Length still counts the body's bytes, and mails without ISO-2022-KR come back
    byte for byte;
  - --check --relabel counts the mails and labels that were made;
  - each mail, cut out without its "From " line and converted as a file of its own, reads
    the same too, and --check counts it as one mail;
  - the folder split as Python's mailbox splits it, at every "From " line, and the mails
    written with no empty line between them, split so or as mutt splits them, have no text
    labelled ISO-2022-KR.
Exit status 0 when all of it holds, 1 otherwise; 77 (skipped) without the codecs needed.
"""
import argparse
import base64
import email
import email.header
import os
import quopri
import random
import re
import shutil
import subprocess
import sys
import tempfile

REPLACEMENT = {"csiso2022kr", "hz-gb-2312", "iso-2022-cn", "iso-2022-cn-ext", "iso-2022-kr", "replacement"}
SPELLINGS = ["ISO-2022-KR", "iso-2022-kr", '"ISO-2022-KR"', "csISO2022KR", '"Iso-2022-Kr"']


def codec(label):
    label = (label or "us-ascii").lower()
    return "iso2022_kr" if label in ("iso-2022-kr", "csiso2022kr") else label


class Generator:
    def __init__(self, rng):
        self.rng = rng
        self.hangul = [bytes([r, c]).decode("euc_kr") for r in range(0xB0, 0xC9) for c in range(0xA1, 0xFF)]
        self.labels = 0
        self.from_lines = 0

    def words(self, n, korean=True):
        out = []
        for _ in range(n):
            if korean and self.rng.random() < 0.6:
                out.append("".join(self.rng.choice(self.hangul) for _ in range(self.rng.randint(1, 5))))
            else:
                out.append(self.rng.choice(["mail", "Seoul", "1996", "ok", "re:", "(test)", "a.b"]))
        return " ".join(out)

    def text(self, korean=True, eol="\n"):
        return "".join(self.words(self.rng.randint(1, 12), korean) + eol for _ in range(self.rng.randint(1, 6)))

    def charset(self):
        self.labels += 1
        if self.rng.random() < 0.1:  # RFC 2231's sections and %-encoded values
            return self.rng.choice(['charset*0="ISO-20"; charset*1="22-KR"', "charset*=''%49%53%4F-2022-KR",
                                    "charset*0*=us-ascii'ko'ISO-2022;\n  charset*1*=%2DKR"])
        return "charset=" + self.rng.choice(SPELLINGS)

    def encoded_words(self, text):
        """One or more ISO-2022-KR encoded words, folded as mail software wrote them."""
        self.labels += 1
        kind = self.rng.choice("BQ")
        raw = text.encode("iso2022_kr")
        name = self.rng.choice(["ISO-2022-KR", "iso-2022-kr"])
        data = base64.b64encode(raw).decode() if kind == "B" else \
            "".join(chr(b) if chr(b).isalnum() else "=%02X" % b for b in raw)
        return "=?%s?%s?%s?=" % (name, kind, data)

    def header(self, fields, korean=True):
        lines = []
        if korean and self.rng.random() < 0.8:
            subject = self.words(self.rng.randint(1, 8))
            if self.rng.random() < 0.3:  # two words on two lines
                half = len(subject) // 2
                lines.append("Subject: " + self.encoded_words(subject[:half]) + "\n\t" +
                             self.encoded_words(subject[half:]))
            else:
                lines.append("Subject: Re: " + self.encoded_words(subject))
            lines.append("From: " + self.encoded_words(self.words(2)) + " <kim@example.kr>")
        else:
            lines.append("Subject: plain " + self.words(3, False))
            lines.append("From: Lee <lee@example.com>")
        lines.append("To: park@example.kr,\n    choi@example.kr")
        return "\n".join(lines + fields) + "\n\n"

    def attachment(self):
        """A file whose name is in RFC 2231's extended values, in ISO-2022-KR, whole or in sections."""
        self.labels += 2
        name = "".join("%%%02X" % b for b in (self.words(2) + ".txt").encode("iso2022_kr"))
        cut = self.rng.randrange(len(name) // 3) * 3
        disposition = "filename*=iso-2022-kr''" + name if self.rng.random() < 0.5 else \
            "\n filename*0*=ISO-2022-KR'ko'%s;\n filename*1*=%s" % (name[:cut], name[cut:])
        return ("Content-Type: application/octet-stream; name*=iso-2022-kr''%s\nContent-Disposition: attachment; %s\n"
                "Content-Transfer-Encoding: base64\n\nAAEC\n" % (name, disposition))

    def leaf(self, korean):
        if not korean:
            return "Content-Type: text/plain; charset=us-ascii\n\n" + self.text(False)
        kind = self.rng.choice(["7bit", "base64", "quoted-printable", "none", "binary"])
        eol = self.rng.choice(["\n", "\r\n"]) if kind in ("base64", "quoted-printable") else "\n"
        raw = self.text(True, eol).encode("iso2022_kr")
        if kind in ("7bit", "none", "binary") and self.rng.random() < 0.2:
            # Between an empty line (the header's, or the text's) and a "From " line: the
            # designator line must stay, or a reader finds a mail there.
            # Or the designator on the "From " line itself.
            line = self.rng.choice([b"\x1b$)C\nFrom the desk of Kim\n", b"\x1b$)CFrom Seoul with love\n"])
            raw = line + raw if self.rng.random() < 0.5 else raw + b"\n" + line
            self.from_lines += 1
        if kind in ("7bit", "none", "binary") and self.rng.random() < 0.1:
            # A "From " line without a date after an empty line: text to mutt, a mail's
            # start to Python's mailbox.
            raw += b"\nFrom the desk of Kim\n" + self.text(True).encode("iso2022_kr")
            self.from_lines += 1
        if kind in ("7bit", "none", "binary") and self.rng.random() < 0.15:
            # ISO-2022-KR under a label that says otherwise, or none: labelled EUC-KR once
            # converted, where there is any.
            self.labels += b"\x1b$)C" in raw
            fields = self.rng.choice(["", "Content-Type: text/plain\n", "Content-Type: text/plain; charset=us-ascii\n",
                                      "Content-Type: text/plain; charset=UTF-8\n"])
        else:
            subtype = "plain"
            if self.rng.random() < 0.1:  # HTML, whose <meta> names its charset too
                subtype = "html"
                raw = b'<meta http-equiv="Content-Type" content="text/html; charset=iso-2022-kr">' + raw
                self.labels += 1
            fields = "Content-Type: text/" + subtype + ";\n  " + self.charset() + "\n"
        if kind == "base64":
            b64 = base64.encodebytes(raw).decode()
            if self.rng.random() < 0.2:  # a character outside the alphabet, which readers skip
                b64 = "*" + b64
            return fields + "Content-Transfer-Encoding: base64\n\n" + b64
        if kind == "quoted-printable":
            qp = quopri.encodestring(raw).decode()
            if self.rng.random() < 0.3:  # the last line end encoded, then a soft line break
                qp = qp[:-1] + "=0A=\n"
            if self.rng.random() < 0.2:  # an "=" that starts nothing, which readers keep
                qp = "a=z " + qp
            return fields + "Content-Transfer-Encoding: Quoted-Printable\n\n" + qp + "\n"
        if kind in ("7bit", "binary"):
            fields += "Content-Transfer-Encoding: %s\n" % kind
        return fields + "\n" + raw.decode("ascii")

    def entity(self, korean, depth=0):
        roll = self.rng.random() if depth < 3 else 1
        if roll < 0.25:
            boundary = "=_b%d_%d" % (depth, self.rng.randint(0, 99999))
            parts = [self.entity(korean, depth + 1) for _ in range(self.rng.randint(1, 3))]
            if korean and self.rng.random() < 0.3:
                parts.insert(self.rng.randrange(len(parts)), self.attachment())
            body = "preamble\n" + "".join("--%s\n%s\n" % (boundary, p) for p in parts) + "--%s--\n" % boundary
            sub = self.rng.choice(["mixed", "alternative"])
            padding = " " if self.rng.random() < 0.1 else ""  # white space after it, which readers take off
            return 'Content-Type: multipart/%s; boundary="%s%s"\n\n%s' % (sub, boundary, padding, body)
        if roll < 0.35:
            inner = self.header(["Date: Mon, 23 Sep 1996 10:00:00 +0900"], korean)
            encoding = "Content-Transfer-Encoding: binary\n" if self.rng.random() < 0.2 else ""
            return "Content-Type: message/rfc822\n" + encoding + "\n" + inner[:-1] + self.entity(korean, depth + 1)
        return self.leaf(korean)

    def mail(self, korean, length=False):
        entity = self.entity(korean)
        head, _, body = ("\n" + entity).partition("\n\n")
        fields = ["MIME-Version: 1.0"] + [f for f in head.split("\n") if f]
        length = length or self.rng.random() < 0.3
        cl2 = length and korean and "text/plain" in head and "Encoding: base64" not in head and \
            "Quoted" not in head and self.rng.random() < 0.3
        if cl2:
            # An mboxcl2 folder quotes no "From " line in a body that its Content-Length counts.
            body += "\n" + FROM_LINE + self.text(True).encode("iso2022_kr").decode("ascii")
            self.from_lines += 1
        if length:
            # Wrong by some bytes where the body changes length, which then sets it right
            # (mutt then reads at the From lines, which only mboxcl2 leaves unquoted).
            wrong = 7 if "\x1b$)C" in body and not cl2 and self.rng.random() < 0.3 else 0
            fields.append("Content-Length: %d" % (len(body.encode()) + wrong))
        return FROM_LINE + self.header(fields, korean)[:-1] + "\n" + body


FROM_LINE = "From kim@example.kr Mon Sep 23 10:00:00 1996\n"
# mutt's separator: "From ", a return path or none, weekday, month, day, time, zones, year.
DATED_FROM = re.compile(rb"From (?:\S+ +)?(?:Mon|Tue|Wed|Thu|Fri|Sat|Sun) +(?:Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|"
                        rb"Oct|Nov|Dec) +\d+ +\d+:\d+(?::\d+)? +(?:[A-Za-z+-]\S* +){0,2}\d+")


def read_mails(path):
    """The mails of an mbox folder as mutt splits it, each without its "From " line and the
    empty line that parts it from the next or closes the folder: a mail starts with a "From "
    line with a date, at the folder's start or after an empty line; and where a mail's
    Content-Length ends its body just before a "From " line or at the folder's end, its body
    runs to there, whatever "From " lines it holds.  (Python's mailbox.mbox starts a mail at
    every "From " line.)"""
    with open(path, "rb") as f:
        data = f.read()
    mails, at = [], 0
    while data.startswith(b"From ", at):
        line_end = data.find(b"\n", at) + 1 or len(data)
        header_end = data.find(b"\n\n", line_end - 1)
        body = header_end + 2 if header_end >= 0 else len(data)
        length = re.search(rb"(?im)^content-length:[ \t]*(\d+)[ \t]*$", data[line_end:body])
        end = body + int(length.group(1)) + 1 if length else None
        if end is None or not (end == len(data) or data.startswith(b"From ", end)):
            end = len(data)
            for m in re.finditer(rb"\n\n(?=From )", data[body - 2:] if body >= 2 else data):
                if DATED_FROM.match(data, body - 2 + m.end()):
                    end = body - 2 + m.end()
                    break
        mails.append(data[line_end:end - 1] if end < len(data) or data.endswith(b"\n\n") else data[line_end:])
        at = end
    return mails


def texts(message):
    """Every header and every text part of a mail, decoded, in order; text parts that hold
    the designator read as ISO-2022-KR whatever their label says, as the converter reads
    them (once converted, none holds it)."""
    out = []
    for part in message.walk():
        for name, value in part.items():
            if name.lower() in ("content-type", "content-length", "content-transfer-encoding", "mime-version",
                                "content-disposition"):
                continue
            decoded = email.header.decode_header(value)
            out.append(name + ": " + "".join(
                b.decode(codec(c), "replace") if isinstance(b, bytes) else b for b, c in decoded))
        out.append(part.get_content_type())
        if part.get_filename() is not None:
            out.append("filename: " + part.get_filename())
        if part.get_content_maintype() == "text":
            payload = part.get_payload(decode=True)
            charset = "iso-2022-kr" if b"\x1b$)C" in payload else part.get_content_charset()
            text = payload.decode(codec(charset), "replace")
            # Line ends of the folder itself, quoted-printable's included, follow the
            # platform; base64 keeps the text's own.
            if part.get("Content-Transfer-Encoding", "").lower() != "base64":
                text = text.replace("\r\n", "\n")
            # The charset a <meta> of HTML names, renamed.
            if part.get_content_type() == "text/html":
                text = re.sub("(?i)iso-2022-kr|euc-kr", "", text[:1024]) + text[1024:]
            # A line of only the designator goes, and a line that the decoding makes a
            # "From " line is quoted ">From ", as mbox readers read it back.
            text = re.sub(r"(?m)^\x1b\$\)C\n", "", text).replace("\x1b$)C", "")
            out.append(re.sub(r"(?m)^>From ", "From ", text))
    return out


def labels(message):
    found = []
    for part in message.walk():
        found.append(part.get_content_charset())
        for value in part.values():
            found += [c for _, c in email.header.decode_header(value) if c]
    return [f for f in found if f and f.lower() in REPLACEMENT]


def read_every_from(path):
    """The mails of an mbox folder as Python's mailbox.mbox splits it: at every "From " line."""
    with open(path, "rb") as f:
        return [m for m in re.split(rb"(?:^|\n)From [^\n]*\n", f.read()) if m]


def mislabelled(raw):
    """The text parts and encoded words of a mail labelled ISO-2022-KR: those over 8-bit
    bytes, which no ISO-2022-KR text has, and those over ISO-2022-KR."""
    wrong = left = 0
    for part in email.message_from_bytes(raw).walk():
        if part.get_content_maintype() == "text" and (part.get_content_charset() or "") in REPLACEMENT:
            if re.search(rb"[\x80-\xff]", part.get_payload(decode=True) or b""):
                wrong += 1
            else:
                left += 1
        for value in part.values():
            for b, c in email.header.decode_header(value):
                if isinstance(b, bytes) and c and c.lower() in REPLACEMENT:
                    wrong += 1
    return wrong, left


def check_mail(what, raw_a, raw, korean):
    """What is wrong with raw, the relabelled raw_a: texts that read otherwise, labels left,
    a wrong Content-Length, a change to a mail without ISO-2022-KR, lines too long."""
    failures = []
    a, b = email.message_from_bytes(raw_a), email.message_from_bytes(raw)
    if texts(a) != texts(b):
        failures.append("%s reads differently:\n  %r\n  %r" % (what, texts(a), texts(b)))
    for part in b.walk():
        if part.get_content_type() == "text/html" and b"2022" in (part.get_payload(decode=True) or b"")[:1024]:
            failures.append("%s: a <meta> of its HTML still names ISO-2022-KR" % what)
        if part.get("Content-Transfer-Encoding", "").lower() == "7bit" and \
                re.search(rb"[\x80-\xff]", part.get_payload(decode=True) or b""):
            failures.append("%s: 7bit over 8-bit bytes" % what)
    if labels(b):
        failures.append("%s still labelled %s" % (what, labels(b)))
    if b["Content-Length"] and int(b["Content-Length"]) != len(raw.partition(b"\n\n")[2]):
        failures.append("%s: Content-Length %s is wrong" % (what, b["Content-Length"]))
    if not korean and raw != raw_a:
        failures.append("%s has no ISO-2022-KR but changed" % what)
    # RFC 2047: a header line that holds an encoded word is at most 76 characters, each
    # word at most 75.
    header = raw.partition(b"\n\n")[0]
    for line in header.split(b"\n"):
        words = re.findall(rb"=\?[^?\s]+\?[BbQq]\?[^?\s]*\?=", line)
        if words and (len(line) > 76 or max(map(len, words)) > 75):
            failures.append("%s: a header line past RFC 2047's limits: %r" % (what, line))
    # GMime joins the text of neighbouring 'B' words before decoding it: padding in any but
    # the last ends what it reads.
    padded = re.search(rb"=\?EUC-KR\?B\?[^?\s]*=\?=\s+=\?EUC-KR\?B\?", header)
    if padded:
        failures.append("%s: a 'B' word ends in padding before another, which GMime reads no further: %r"
                        % (what, padded.group(0)))
    return failures


def korean_codecs():
    """True when this Python has the codecs the checks need; else says so, to skip."""
    try:
        "\uac00".encode("iso2022_kr").decode("iso2022_kr")
        "\uac00".encode("euc_kr")
    except LookupError as e:
        print("SKIP: this Python lacks the Korean codecs: %s" % e)
        return False
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("converter")
    parser.add_argument("--mails", type=int, default=300)
    parser.add_argument("--seed", type=int, default=1557)
    args = parser.parse_args()
    if not korean_codecs():
        return 77

    gen = Generator(random.Random(args.seed))
    korean = [gen.rng.random() < 0.8 for _ in range(args.mails)]
    # The last mail with a Content-Length, and the folder closed by an empty line, as mbox
    # writers close it: that line is no byte of the mail.
    mails = [gen.mail(k, i == args.mails - 1) for i, k in enumerate(korean)]
    folder = ("\n".join(mails) + "\n").encode("ascii")
    failures = []
    work = tempfile.mkdtemp(prefix="quorvel-relabel.")
    try:
        src, out, inplace, plain = (os.path.join(work, n) for n in ("Inbox", "out", "inplace", "plain"))
        with open(src, "wb") as f:
            f.write(folder)
        shutil.copy(src, inplace)
        shutil.copy(src, plain)
        env = dict(os.environ, XDG_STATE_HOME=work)
        run = lambda *a, **k: subprocess.run([args.converter] + list(a), capture_output=True, env=env, **k)
        for result in (run("--relabel", "-o", out, src), run("--relabel", inplace), run(plain)):
            if result.returncode != 0:
                failures.append("converter failed: %r" % result.stderr)
        # From a pipe, which cannot go back: a mail with Content-Length is held whole.
        piped = run("--relabel", "-o", "-", "-", input=folder).stdout
        with open(out, "rb") as f:
            converted = f.read()
        with open(inplace, "rb") as f:
            if f.read() != converted or piped != converted:
                failures.append("the output file, the pipe and the in-place folder differ")

        check = run("--check", "--relabel", src).stdout.decode()
        expected = "%d mails" % args.mails, "%d labels to change" % gen.labels
        if not all(e in check for e in expected):
            failures.append("--check said %r, expected %s" % (check, " and ".join(expected)))
        for path in (out, plain):
            check = run("--check", path).stdout.decode()
            if ": %d mails," % args.mails not in check:
                failures.append("converted, --check said %r, expected %d mails" % (check, args.mails))

        raw_before, raw_after = read_mails(src), read_mails(out)
        # Read as Python's mailbox reads it, a mail at every "From " line, no text is labelled
        # ISO-2022-KR either.
        wrong, left = map(sum, zip(*map(mislabelled, read_every_from(out))))
        if wrong or left:
            failures.append("a mail at every From line: %d labelled ISO-2022-KR over EUC-KR, %d left ISO-2022-KR"
                            % (wrong, left))
        kept = len(raw_before) == len(raw_after) == args.mails
        if not kept:
            failures.append("mails: %d before, %d after" % (len(raw_before), len(raw_after)))
        # Mail by mail, where they pair up.
        for i, (raw_a, raw) in enumerate(zip(raw_before, raw_after) if kept else []):
            failures += check_mail("mail %d" % i, raw_a, raw, korean[i])

        # Each mail a file of its own, as a saved message is: no "From " line, one mail.
        for i, raw_a in enumerate(raw_before):
            eml, converted = os.path.join(work, "%d.eml" % i), os.path.join(work, "%d.out" % i)
            with open(eml, "wb") as f:
                f.write(raw_a)
            result = run("--relabel", "-o", converted, eml)
            if result.returncode != 0:
                failures.append("file %d: converter failed: %r" % (i, result.stderr))
                continue
            with open(converted, "rb") as f:
                failures += check_mail("file %d" % i, raw_a, f.read(), korean[i])
            if i % 10 == 0 and ": 1 mail," not in run("--check", eml).stdout.decode():
                failures.append("file %d: --check counts other than 1 mail" % i)

        # The same mails with no empty line between them: readers that start a mail at every
        # "From " line and those that want an empty line before it find other mails, and in
        # both no label names ISO-2022-KR, over EUC-KR bytes or at all.
        joined, converted = os.path.join(work, "joined"), os.path.join(work, "joined.out")
        with open(joined, "wb") as f:
            f.write("".join(mails).encode("ascii"))
        if run("--relabel", "-o", converted, joined).returncode != 0:
            failures.append("converter failed on the mails with no empty line between them")
        for reading, raws in (("every From line", read_every_from(converted)), ("From lines after empty lines", read_mails(converted))):
            wrong, left = map(sum, zip(*map(mislabelled, raws)))
            if wrong or left:
                failures.append("no empty lines between mails, a mail at %s: %d labelled ISO-2022-KR over EUC-KR, %d left ISO-2022-KR"
                                % (reading, wrong, left))
    finally:
        shutil.rmtree(work)

    for f in failures[:10]:
        print("FAILED:", f)
    print("%d mails, %d labels, %d \"From \" lines in bodies: %s" % (
        args.mails, gen.labels, gen.from_lines, "FAILED" if failures else "all read the same"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
