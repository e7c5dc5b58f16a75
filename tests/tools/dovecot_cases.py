#!/usr/bin/env python3
"""quorvel-convert over a mail server's store, read back over IMAP from a private Dovecot
and from Courier-IMAP.

    dovecot_cases.py QUORVEL_CONVERT [COURIER]

Starts Dovecot on 127.0.0.1 with a configuration, a base directory and a port of its own in
a scratch directory (never the system's service), delivers ISO-2022-KR mail by IMAP APPEND
with flags, keywords and old dates to a maildir user and an mbox user, reads it all once
(so that Dovecot builds its index and cache), stops Dovecot, converts the maildir with -R
and the mbox in place, starts Dovecot again and reads everything back: every message
fetched, its size and structure those of its bytes, its text the original's, its flags,
keywords and date kept, no message twice, no error in Dovecot's log.

Courier's imapd (COURIER: where its Debian packages were unpacked, which scripts/install-deps
does, for they cannot be installed beside Dovecot) runs pre-authenticated on standard input
over a maildir of its own, which gets the same mail with the same flags and keywords; the
maildir is converted with -R while no imapd runs, and read back the same way.
Exit status 0 when all of it holds, 1 otherwise; 77 (skipped) without Dovecot; without
Courier, its case is skipped, which the last line says.
"""
import email
import email.policy
import imaplib
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

from imap_servers import DOVECOT, Courier, Dovecot
MAILS = [
    (b"Subject: =?ISO-2022-KR?B?GyQpQw5IOz1ADw==?=\r\nContent-Type: text/plain; charset=ISO-2022-KR\r\n\r\n"
     b"\x1b$)C\r\n\x0e0!3*4Y\x0f one\r\n", (r"\Seen", "work", "$Label2"), "01-Jan-1998 10:00:00 +0900"),
    (b"Subject: two\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=ISO-2022-KR\r\n"
     b"Content-Transfer-Encoding: quoted-printable\r\n\r\n=1B$)C\r\n=0E0!=0F two\r\n", (r"\Flagged", "$Label1"),
     "02-Feb-1998 11:00:00 +0900"),
    (b"Subject: three\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
     b"Content-Type: text/plain; charset=iso-2022-kr\r\n\r\n\x1b$)C\r\n\x0e6s\x0f three\r\n--b--\r\n", ("later", "$Forwarded"),
     "03-Mar-1998 12:00:00 +0900"),
    (b"Subject: plain\r\n\r\nnothing to change\r\n", (r"\Answered",), "04-Apr-1998 13:00:00 +0900"),
]


def texts(raw):
    """Every text part of a mail, decoded by its own label."""
    m = email.message_from_bytes(raw, policy=email.policy.compat32)
    out = [str(email.header.make_header(email.header.decode_header(m.get("Subject", ""))))]
    for part in m.walk():
        if part.get_content_maintype() == "text":
            out.append(part.get_payload(decode=True).decode(part.get_content_charset() or "ascii").strip())
    return out


def read_all(imap):
    """Each message: its bytes, size, structure, flags and date."""
    imap.select("INBOX")
    found = {}
    typ, data = imap.fetch("1:*", "(RFC822.SIZE FLAGS INTERNALDATE BODYSTRUCTURE)")
    if typ != "OK":
        raise RuntimeError("FETCH: %r" % data)
    for line in data:
        line = (line[0] if isinstance(line, tuple) else line).decode(errors="replace")
        n = int(line.split()[0])
        found[n] = {"size": int(re.search(r"RFC822\.SIZE (\d+)", line).group(1)),
                    "flags": sorted(f for f in re.search(r"FLAGS \(([^)]*)\)", line).group(1).split()
                                    if f != r"\Recent"),
                    "date": re.search(r'INTERNALDATE "([^"]+)"', line).group(1),
                    "structure": re.search(r"BODYSTRUCTURE (.*)", line).group(1)}
    typ, data = imap.fetch("1:*", "(BODY.PEEK[])")
    if typ != "OK":
        raise RuntimeError("FETCH: %r" % data)
    for item in data:
        if isinstance(item, tuple):
            found[int(item[0].split()[0])]["raw"] = item[1]
    return list(found.values())


def append_all(imap, user, failures):
    for raw, flags, date in MAILS:
        typ, data = imap.append("INBOX", "(%s)" % " ".join(flags), imaplib.Time2Internaldate(
            time.mktime(time.strptime(date[:20], "%d-%b-%Y %H:%M:%S")) - 9 * 3600 + 0), raw)
        if typ != "OK":
            failures.append("%s: APPEND: %r" % (user, data))


def compare(user, before, after, failures):
    key = lambda m: (m["date"], m["flags"])
    a, b = sorted(before, key=key), sorted(after, key=key)
    if len(a) != len(b):
        failures.append("%s: %d messages before, %d after" % (user, len(a), len(b)))
    for x, y in zip(a, b):
        what = "%s %s" % (user, x["date"])
        if (x["flags"], x["date"]) != (y["flags"], y["date"]):
            failures.append("%s: flags or date %r, then %r" % (what, key(x), key(y)))
        if y["size"] != len(y["raw"]):
            failures.append("%s: RFC822.SIZE %d for %d bytes" % (what, y["size"], len(y["raw"])))
        if "2022" in y["structure"]:
            failures.append("%s: BODYSTRUCTURE still names ISO-2022-KR: %s" % (what, y["structure"]))
        if texts(x["raw"]) != texts(y["raw"]):
            failures.append("%s: reads %r, then %r" % (what, texts(x["raw"]), texts(y["raw"])))


def running_case(server, converter, maildir, env, failures):
    """-R while Dovecot runs, a client in the folder, over a lock that a killed run left: the
    lock taken over at once, ours made as Dovecot makes it (no error in Dovecot's log), the
    server's own files told apart and never failed, the new mail converted."""
    imap = server.login("md")
    append_all(imap, "md", failures)
    imap.select("INBOX")
    lock = os.path.join(maildir, "dovecot-uidlist.lock")
    with open(lock, "w") as f:
        f.write("999999999:%s" % socket.gethostname())
    started = time.time()
    # The lock's owner and mode as the system sees them given, where strace can show it.
    trace = os.path.join(os.path.dirname(maildir), "lock.trace")
    strace = ["strace", "-f", "-qq", "-e", "trace=openat,fchown,fchmod", "-o", trace] if shutil.which("strace") else []
    run = subprocess.run(strace + [converter, "-R", maildir], capture_output=True, env=env)
    if strace:
        with open(trace, errors="replace") as f:
            calls = f.read()
        st = os.stat(os.path.join(maildir, "dovecot-uidlist"))
        made = re.search(r'dovecot-uidlist\.lock", [^)]*O_CREAT[^)]*\) = (\d+)', calls)
        if not made or not re.search(r"fchown\(%s, %d, %d\)" % (made.group(1), st.st_uid, st.st_gid), calls) \
                or not re.search(r"fchmod\(%s, 0?%o\)" % (made.group(1), st.st_mode & 0o7777), calls):
            failures.append("dovecot-uidlist.lock not given the owner %d:%d and mode %o of dovecot-uidlist: %s" % (
                st.st_uid, st.st_gid, st.st_mode & 0o7777, re.findall(r".*(?:uidlist\.lock|fchown|fchmod).*", calls)[:4]))
    out = (run.stdout + run.stderr).decode(errors="replace")
    if run.returncode != 0 or time.time() - started > 5 or "failed" in out.split("converted")[-1].replace("0 failed", ""):
        failures.append("-R beside a running Dovecot: exit %d after %.1f s: %r" % (run.returncode,
                                                                                 time.time() - started, out[-600:]))
    if "the server's own files, left alone" not in out or os.path.exists(lock):
        failures.append("-R beside a running Dovecot did not leave the server's files alone, or its lock: %r" % out)
    typ, data = imap.search(None, "ALL")
    imap.logout()
    imap = server.login("md")
    after = read_all(imap)
    imap.logout()
    if len(after) != 2 * len(MAILS) or any("2022" in m["structure"] for m in after):
        failures.append("-R beside a running Dovecot: %d messages, some unconverted: %r" % (
            len(after), [m["structure"] for m in after if "2022" in m["structure"]][:2]))


def courier_case(converter, root, work, env, failures):
    """Courier's maildir, with keywords: converted, and read back with every keyword."""
    if not Courier.available(root):
        return "Courier-IMAP skipped: not unpacked in %s (scripts/install-deps unpacks it)" % root
    server = Courier(root, os.path.join(work, "courier", "Maildir"))
    imap = server.login()
    append_all(imap, "courier", failures)
    before = read_all(imap)
    imap.logout()
    keywords = sum(len([f for f in m["flags"] if not f.startswith("\\")]) for m in before)
    run = subprocess.run([converter, "-R", server.maildir], capture_output=True, env=env)
    if run.returncode != 0:
        failures.append("courier: the conversion failed: %r" % run.stderr)
    imap = server.login()
    after = read_all(imap)
    imap.logout()
    compare("courier", before, after, failures)
    if keywords == 0:
        failures.append("courier: no keyword was set to begin with: %r" % before)
    return "%d messages read back from Courier-IMAP, %d keywords" % (len(MAILS), keywords)


def main():
    if not os.path.exists(DOVECOT):
        print("skipped: no Dovecot (dovecot-imapd) on this machine")
        return 77
    converter = sys.argv[1]
    work = tempfile.mkdtemp(prefix="quorvel-dovecot.")
    os.chmod(work, 0o755)
    failures = []
    server = Dovecot(work, users=(("md", "pass"), ("mb", "pass", "mbox:~/mail:INBOX=~/mail/inbox")))
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "qstate"))
    try:
        server.start()
        before = {}
        for user in ("md", "mb"):
            imap = server.login(user)
            append_all(imap, user, failures)
            before[user] = read_all(imap)
            imap.logout()
        server.stop()
        runs = [subprocess.run([converter, "-R", os.path.join(work, "md", "Maildir")], capture_output=True, env=env),
                subprocess.run([converter, os.path.join(work, "mb", "mail", "inbox")], capture_output=True, env=env)]
        for run in runs:
            if run.returncode != 0:
                failures.append("the conversion failed: %r" % run.stderr)
        server.start()
        for user in ("md", "mb"):
            imap = server.login(user)
            after = read_all(imap)
            imap.logout()
            compare(user, before[user], after, failures)
        running_case(server, converter, os.path.join(work, "md", "Maildir"), env, failures)
        server.stop()
        errors = server.errors()
        if errors:
            failures.append("Dovecot's log: %s" % errors[:3])
        courier = courier_case(converter, sys.argv[2] if len(sys.argv) > 2 else "", work, env, failures)
    finally:
        server.stop()
        if not os.environ.get("KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    for f in failures[:10]:
        print("FAILED:", f)
    print("%d messages read back over IMAP from a maildir and an mbox" % (2 * len(MAILS)))
    print(courier)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
