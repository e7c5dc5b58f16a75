#!/usr/bin/env python3
"""Compares our conversion of generated ISO-2022-KR mail with two independent decoders.

    compare_decoders.py QUORVEL_CONVERT [--mails N] [--seed S]

Writes a mail folder of many mails in ISO-2022-KR, made with Python's iso2022_kr codec
(Hangul and Hanja, designator alone on its line and within a line, CR LF and LF line ends),
converts it with the command-line converter, and checks the result byte for byte against
the EUC-KR that Python's codecs and glibc's iconv make of the same folder.  Two differences
are ours by design and are accounted for before comparing:
  - a line that holds only the designator is removed whole; the other decoders drop the
    designator and keep its line end, an empty line that was never part of the mail (one
    before a "From " line stays whole, which this folder does not have);
  - a line end, CR LF or LF, is written as this system's own (LF).
A second part runs malformed input on which we differ from them on purpose, and says why.
Exit status 0 when everything matches, 1 otherwise.
"""
import argparse
import os
import random
import subprocess
import sys
import tempfile

DESIGNATOR = b"\x1b$)C"


def ks_x_1001_characters():
    """Hangul syllables, Hanja and common punctuation of KS X 1001, as Python knows them."""
    def row_range(first_row, last_row):
        chars = []
        for row in range(first_row, last_row + 1):
            for cell in range(0xA1, 0xFF):
                try:
                    c = bytes([row, cell]).decode("euc_kr")
                    c.encode("iso2022_kr")
                except UnicodeError:
                    continue
                if len(c) == 1:
                    chars.append(c)
        return chars
    hangul = row_range(0xB0, 0xC8)
    hanja = row_range(0xCA, 0xFD)
    punctuation = [c for c in row_range(0xA1, 0xA1) if c not in "\u3000"]
    return hangul, hanja, punctuation


def ks_x_1001_pools():
    hangul, hanja, punctuation = ks_x_1001_characters()
    if len(hangul) != 2350 or len(hanja) != 4888:
        sys.exit("unexpected KS X 1001 tables in Python: %d Hangul, %d Hanja" % (len(hangul), len(hanja)))
    # Keep only punctuation that glibc maps as Python does, so both can be asked.
    sample = "".join(punctuation).encode("euc_kr")
    back = subprocess.run(["iconv", "-f", "EUC-KR", "-t", "UTF-8"], input=sample,
                          capture_output=True, check=True).stdout.decode("utf-8")
    punctuation = [a for a, b in zip(punctuation, back) if a == b]
    return hangul, hanja, punctuation


class MailWriter:
    """Makes a folder of mails and remembers which of its lines are designator lines."""

    def __init__(self, rng, pools):
        self.rng = rng
        self.hangul, self.hanja, self.punctuation = pools
        self.folder = bytearray()
        self.designator_lines = 0
        self.inline_designators = 0
        self.crlf_mails = 0

    def word(self):
        kind = self.rng.random()
        if kind < 0.55:
            return "".join(self.rng.choice(self.hangul) for _ in range(self.rng.randint(1, 6)))
        if kind < 0.70:
            return "".join(self.rng.choice(self.hanja) for _ in range(self.rng.randint(1, 4)))
        if kind < 0.78:
            return self.rng.choice(self.punctuation)
        if kind < 0.90:
            return self.rng.choice(["mail", "Seoul", "1996", "OK", "re:", "(test)", "a-b"])
        # Korean and ASCII with no space between.
        return self.rng.choice(self.hangul) + self.rng.choice(["abc", "123", ".", "!"])

    def text_line(self):
        if self.rng.random() < 0.1:
            return ""
        return " ".join(self.word() for _ in range(self.rng.randint(1, 12)))

    def add(self, number):
        rng = self.rng
        eol = b"\r\n" if rng.random() < 0.5 else b"\n"
        self.crlf_mails += eol == b"\r\n"
        korean = rng.random() < 0.85
        lines = [b"From - Mon Sep 23 10:%02d:%02d 1996" % (number // 60 % 60, number % 60),
                 b"From: sender%d@example.kr" % number,
                 b"To: reader@example.kr"]
        if korean and rng.random() < 0.4:
            # A raw ISO-2022-KR subject: the codec puts the designator within the line.
            lines.append(("Subject: " + self.text_line()).encode("iso2022_kr"))
        else:
            lines.append(b"Subject: note %d" % number)
        charset = b"ISO-2022-KR" if korean else b"us-ascii"
        lines += [b"MIME-Version: 1.0", b"Content-Type: text/plain; charset=" + charset, b""]
        if korean:
            body = "\n".join(self.text_line() for _ in range(rng.randint(1, 15)))
            encoded = body.encode("iso2022_kr")
            style = rng.choice(["line", "inline", "both"])
            if style == "line":
                encoded = encoded.replace(DESIGNATOR, b"", 1)
            if style in ("line", "both"):
                encoded = DESIGNATOR + b"\n" + encoded
            lines += encoded.split(b"\n")
        else:
            lines += [b"Plain text, %d." % number, b""]
        lines.append(b"")
        for line in lines:
            if line == DESIGNATOR:
                self.designator_lines += 1
            else:
                self.inline_designators += line.count(DESIGNATOR)
            # Now and then a mail mixes its line ends.
            self.folder += line + (eol if rng.random() < 0.95 else b"\r\n" if eol == b"\n" else b"\n")


def run_converter(converter, files, work):
    env = dict(os.environ, TMPDIR=work, XDG_STATE_HOME=work)
    # The whole folder decoded as one text, as the references decode it: labels kept.
    return subprocess.run([converter, "--keep-labels"] + files, capture_output=True, env=env)


def reference_python(folder):
    try:
        return folder.decode("iso2022_kr").encode("euc_kr")
    except UnicodeError as error:
        return "rejects it (%s)" % error.reason


def reference_iconv(folder):
    run = subprocess.run(["iconv", "-f", "ISO-2022-KR", "-t", "EUC-KR"], input=folder, capture_output=True)
    if run.returncode != 0:
        return "rejects it (%s)" % run.stderr.decode(errors="replace").strip()
    return run.stdout


def as_we_write_it(folder, reference):
    """reference with our two differences of design applied, line by line of the input."""
    ours = []
    for source, line in zip(folder.splitlines(keepends=True), reference.splitlines(keepends=True)):
        body = source.rstrip(b"\r\n")
        if body == DESIGNATOR:
            if line.rstrip(b"\r\n") != b"":
                raise ValueError("the designator line gave %r" % line)
            continue
        ours.append(line[:-2] + b"\n" if line.endswith(b"\r\n") else line)
    if len(folder.splitlines()) != len(reference.splitlines()):
        raise ValueError("%d lines in, %d out" % (len(folder.splitlines()), len(reference.splitlines())))
    return b"".join(ours)


def first_difference(a, b):
    la, lb = a.splitlines(keepends=True), b.splitlines(keepends=True)
    for number, (x, y) in enumerate(zip(la, lb), 1):
        if x != y:
            return "line %d: ours %r, theirs %r" % (number, x, y)
    return "lengths %d and %d lines" % (len(la), len(lb))


def compare_folder(converter, work, mails, seed):
    rng = random.Random(seed)
    writer = MailWriter(rng, ks_x_1001_pools())
    for number in range(mails):
        writer.add(number)
    folder = bytes(writer.folder)
    inbox = os.path.join(work, "Inbox")
    with open(inbox, "wb") as f:
        f.write(folder)
    with open(inbox + ".snm", "wb") as f:
        f.write(b"summary")

    run = run_converter(converter, [inbox], work)
    with open(inbox, "rb") as f:
        ours = f.read()
    failures = []
    if run.returncode != 0 or run.stderr:
        failures.append("the converter failed: %d %r" % (run.returncode, run.stderr))
    if os.path.exists(inbox + ".snm"):
        failures.append("the summary file is still there")
    for name, reference in (("Python's iso2022_kr", reference_python(folder)),
                            ("glibc iconv", reference_iconv(folder))):
        if isinstance(reference, str):
            failures.append("%s %s" % (name, reference))
            continue
        try:
            expected = as_we_write_it(folder, reference)
        except ValueError as error:
            failures.append("%s: cannot line it up with the folder: %s" % (name, error))
            continue
        if ours != expected:
            failures.append("differs from %s at %s" % (name, first_difference(ours, expected)))
    if not (writer.designator_lines and writer.inline_designators and 0 < writer.crlf_mails < mails):
        failures.append("the folder lacks a kind of line or line end; use more mails")
    print("%d mails, %d bytes (seed %d): %d designator lines, %d designators within lines, "
          "%d mails with CR LF" % (mails, len(folder), seed, writer.designator_lines,
                                   writer.inline_designators, writer.crlf_mails))
    return failures


# Malformed input, what we make of it, and why we differ from the other decoders there.
DESIGN_CASES = [
    (b"\x0e\x30\x21\x0f\n", b"\x0e\x30\x21\x0f\n",
     "before the first designator a folder is not ISO-2022-KR: its SO and SI are plain bytes"),
    (DESIGNATOR + b"\n\x0e\x30\x21\n\x30\x21\n", b"\xb0\xa1\n\x30\x21\n",
     "every line starts unshifted, so a missing SI costs at most the rest of its line"),
    (DESIGNATOR + b"\n\x0e\x30\x21 \t\x30\x21\x0f\n", b"\xb0\xa1 \t\xb0\xa1\n",
     "a space or TAB in shifted text stays ASCII: KS C 5601 has no character there"),
    (DESIGNATOR + b"\n\xb0\xa1\x80\xff\x00\n", b"\xb0\xa1\x80\xff\x00\n",
     "bytes of every value pass through: nothing of the mail is lost"),
    (DESIGNATOR + b"\n\x1b$)\x0e\x30\x21\x0f\n", b"\x1b$)\xb0\xa1\n",
     "an unfinished designator is text, and stays"),
    (b"x\n\n" + DESIGNATOR + b"\nFrom y\n", b"x\n\n" + DESIGNATOR + b"\nFrom y\n",
     "a line of only the designator stays before a From line: removed, it would start a mail"),
]


def compare_design_cases(converter, work):
    failures = []
    files = []
    for number, (source, _, _) in enumerate(DESIGN_CASES):
        path = os.path.join(work, "case%d" % number)
        with open(path, "wb") as f:
            f.write(source)
        files.append(path)
    run = run_converter(converter, files, work)
    if run.returncode != 0:
        failures.append("the converter failed on the malformed cases: %r" % run.stderr)
    for path, (source, expected, reason) in zip(files, DESIGN_CASES):
        with open(path, "rb") as f:
            ours = f.read()
        if ours != expected:
            failures.append("%r gave %r, expected %r" % (source, ours, expected))
            continue
        for name, theirs in (("Python", reference_python(source)), ("iconv", reference_iconv(source))):
            if not isinstance(theirs, str):
                theirs = as_we_write_it(source, theirs)
            if theirs != expected:
                print("  %r: %s gives %r, we give %r: %s" % (source, name, theirs, ours, reason))
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("converter")
    parser.add_argument("--mails", type=int, default=400)
    parser.add_argument("--seed", type=int, default=19960923)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory(prefix="quorvel-compare.") as work:
        failures = compare_folder(args.converter, work, args.mails, args.seed)
        print("Where we differ on malformed input, by design:")
        failures += compare_design_cases(args.converter, work)
    for failure in failures:
        print("FAILED:", failure)
    if not failures:
        print("Identical to Python's iso2022_kr and glibc iconv, designator lines and line ends aside.")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
