#!/usr/bin/env python3
"""Writes DIR/session-big-literal, a seed for fuzz_imap: a session whose FETCH answer holds a
literal just past the 64 KiB that the parser keeps in memory, so that it goes to a file.
Made at build time, being 66 KB of lines of one rule.

    big_literal_seed.py DIR
"""
import os
import sys

SIZE = 66000
literal = b"".join(b"line %d ) {3}\r\n" % n for n in range(SIZE // 12))[:SIZE]
# The first byte chooses the size of the pieces the fake connection gives.
session = (b"\x85* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN SASL-IR LITERAL+] hi\r\n"
           b"A0001 OK [CAPABILITY IMAP4rev1] in\r\n"
           b"* 1 FETCH (UID 3 BODY[] {%d}\r\n" % SIZE + literal + b" FLAGS (\\Seen))\r\n"
           b"A0002 OK done\r\nA0003 OK\r\nA0004 OK\r\n")
os.makedirs(sys.argv[1], exist_ok=True)
with open(os.path.join(sys.argv[1], "session-big-literal"), "wb") as f:
    f.write(session)
