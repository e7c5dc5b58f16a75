#!/usr/bin/env python3
"""quorvel-convert -R and --profile over a built tree of mail, read back with Python's
mailbox and email.

    tree_cases.py QUORVEL_CONVERT CASE [--wine] [--seed S] [--kills N]

The tree: a Thunderbird profile (Mail/Local Folders/Inbox with Inbox.msf, Inbox.sbd/Sub with
Sub.msf, an empty Trash, ImapMail/), a maildir with flags in its names and a Maildir++
folder, a maildir without tmp/, Apple Mail .emlx files (one whose count runs past its end),
a saved .eml, a binary file, and natively a symbolic link to a directory and a pipe.
CASE is one of:
  convert  a DIR without -R refused with a hint, and -R with -o, -R with no DIR and
           --profile with a FILE refused as usage errors; -R over a directory within
           ImapMail/ leaves it alone; --profile refused where
           profiles.ini names a profile that is not there; with the profile's .parentlock
           locked by this process, --profile refuses it and -R converts the rest but not
           the profile, and both with --check say so and fail alike; -R --check over a
           copy of the tree with a server's files added (maildirsize, dovecot-uidlist,
           Dovecot's cache of the Inbox, sizes in the names of a folder's messages) and
           what a killed run left (a temporary file, natively a stale lock file, the
           trace of a conversion whose record is elsewhere, which fails both) changes
           nothing in it or in the state directory, and its summary is the one that -R
           then gives, its new names' forms those that -R then makes; under Wine, --profile converts the profile that profiles.ini under
           %APPDATA% names; then one -R run: every mail reads as
           the same text (the original decoded as ISO-2022-KR, the result as EUC-KR) and no
           label names ISO-2022-KR; the .msf files of Mail/ are gone; ImapMail/, the binary
           file, the maildir without tmp/ and the .emlx whose count runs past its end are
           as they were; the flags are kept and tmp/ is empty; an .emlx keeps its property
           list and counts its message; a second run writes no file
  kill     -R killed at random moments (KILLS times, 8 unless set), each time run again: the
           tree is the one that one uninterrupted run gives, and the state directory empty;
           beside it, a folder's lock-making file of the killed run (FILE.lock.HOST.PID.N,
           its text written before it becomes FILE.lock) may stay until the program next
           takes that lock, and nothing else
  hostile  (natively, as root) a tree owned by another user whose folder and directory are
           swapped for links to root's files outside it between the walk and the open: they
           are named and left alone; a folder of a profile named on its own while a process
           holds the profile's lock: refused, then converted with its .msf gone once let go,
           and an .emlx named on its own converted as one; a maildir message of 200 MB
           converted in at most 4 MiB more than a small one
--wine runs QUORVEL_CONVERT (a .exe) under Wine, the lock and the link and pipe left out.
Exit status 0 when all of it holds, 1 otherwise; 77 (skipped) without the codecs needed.
"""
import argparse
import email
import fcntl
import fnmatch
import mailbox
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "mail"))
import relabel_roundtrip as rr  # noqa: E402

PLIST = b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n\t<key>flags</key>\n\t<integer>8590195713</integer>\n</dict>\n</plist>\n'


def mails(gen, n):
    """n mails of the generator, "From " line first, none with another "From " line, which
    mailbox.mbox would take for the start of a mail."""
    out = []
    while len(out) < n:
        m = gen.mail(gen.rng.random() < 0.8)
        if "\nFrom " not in m:
            out.append(m.encode("ascii"))
    return out


def without_from_line(mail):
    return mail.partition(b"\n")[2]


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def emlx(message, count=None):
    return b"%-10d\n" % (len(message) if count is None else count) + message + PLIST


def build(root, seed, scale):
    """Writes the tree under root; the link and the pipe are added by the caller."""
    gen = rr.Generator(random.Random(seed))
    local = os.path.join(root, "profile", "Mail", "Local Folders")
    write(os.path.join(local, "Inbox"), b"\n".join(mails(gen, 12 * scale)))
    write(os.path.join(local, "Inbox.msf"), b"// <!-- <mdb:mork:z v=\"1.4\"/> -->\n")
    write(os.path.join(local, "Inbox.sbd", "Sub"), b"\n".join(mails(gen, 5 * scale)))
    write(os.path.join(local, "Inbox.sbd", "Sub.msf"), b"// <!-- <mdb:mork:z v=\"1.4\"/> -->\n")
    write(os.path.join(local, "Trash"), b"")
    write(os.path.join(local, "msgFilterRules.dat"), b'version="9"\nlogging="no"\n')
    imap = os.path.join(root, "profile", "ImapMail", "imap.example.kr")
    write(os.path.join(imap, "INBOX"), b"\n".join(mails(gen, 3)))
    write(os.path.join(imap, "INBOX.msf"), b"// <!-- <mdb:mork:z v=\"1.4\"/> -->\n")
    write(os.path.join(root, "profile", "prefs.js"), b"// Mozilla User Preferences\n")
    flags = ["2,S", "2,RS", "2,FS", "2,"]
    for folder in ("Maildir", os.path.join("Maildir", ".Sent")):
        os.makedirs(os.path.join(root, folder, "tmp"))
        for i, m in enumerate(mails(gen, 10 * scale)):
            sub, info = ("new", "") if i % 5 == 4 else ("cur", ":" + flags[i % 4])
            write(os.path.join(root, folder, sub, "%d.M%dP1.mx.example.kr%s" % (840000000 + i, i, info)),
                  without_from_line(m))
    for i, m in enumerate(mails(gen, 2)):
        write(os.path.join(root, "Untidy", "cur" if i else "new", "%d.M1P2.host" % (840000000 + i)), without_from_line(m))
    apple = os.path.join(root, "Mail.app", "INBOX.mbox", "Messages")
    for i, m in enumerate(mails(gen, 4 * scale)):
        write(os.path.join(apple, "%d.emlx" % (i + 1)), emlx(without_from_line(m)))
    short = without_from_line(mails(gen, 1)[0])
    write(os.path.join(apple, "past-its-end.emlx"), emlx(short, len(short) + len(PLIST) + 1))
    write(os.path.join(root, "saved.eml"), without_from_line(mails(gen, 1)[0]))
    rng = random.Random(seed + 1)
    write(os.path.join(root, "attachment.bin"), b"\x00\x01" + bytes(rng.randrange(256) for _ in range(4000)))


def snapshot(root):
    """Every regular file under root: its bytes, and how it stands on the disk."""
    files = {}
    for dirpath, dirs, names in os.walk(root):
        for name in names:
            path = os.path.join(dirpath, name)
            st = os.lstat(path)
            if os.path.isfile(path) and not os.path.islink(path):
                with open(path, "rb") as f:
                    files[os.path.relpath(path, root)] = (f.read(), (st.st_ino, st.st_mtime_ns, st.st_mode))
    return files


def contents(root):
    """What the tree holds, a maildir message by its directory, flags and bytes rather than by
    its name, which a conversion changes."""
    files, messages = {}, []
    for path, (data, _) in snapshot(root).items():
        parent = os.path.basename(os.path.dirname(path))
        if parent in ("cur", "new"):
            messages.append((os.path.dirname(path), os.path.basename(path).partition(":")[2], data))
        else:
            files[path] = data
    return files, sorted(messages)


def compare_mail(what, raw_a, raw_b, failures):
    a, b = email.message_from_bytes(raw_a), email.message_from_bytes(raw_b)
    # Line ends become the platform's, and mailbox.mbox leaves a CR LF folder's empty line between
    # mails in the mail before (relabel_roundtrip.py checks line ends where they matter).
    ta, tb = ([t.replace("\r\n", "\n").rstrip("\n") for t in rr.texts(m)] for m in (a, b))
    if ta != tb:
        at = next((i for i, (x, y) in enumerate(zip(ta, tb)) if x != y), min(len(ta), len(tb)))
        failures.append("%s reads differently:\n  %r\n  %r" % (what, ta[at:at + 2], tb[at:at + 2]))
    if rr.labels(b):
        failures.append("%s still labelled %s" % (what, rr.labels(b)))


def leftover_of(path, files, pid):
    """Whether path is the lock-making file of a folder in files that process pid made."""
    folder, sep, tail = path.rpartition(".lock.")
    return bool(sep) and folder in files and re.fullmatch(r"(.+\.)?%d\.[0-9a-f]+" % pid, tail) is not None


def check_tree(orig, root, failures):
    before, after = snapshot(orig), snapshot(root)
    local = os.path.join("profile", "Mail", "Local Folders")
    for name in ("Inbox", os.path.join("Inbox.sbd", "Sub")):
        # As the folder holds them: as_bytes() would fold their headers again.
        box_a, box_b = mailbox.mbox(os.path.join(orig, local, name)), mailbox.mbox(os.path.join(root, local, name))
        a, b = [box_a.get_bytes(k) for k in box_a.keys()], [box_b.get_bytes(k) for k in box_b.keys()]
        if len(a) != len(b):
            failures.append("%s: %d mails before, %d after" % (name, len(a), len(b)))
        for i, (x, y) in enumerate(zip(a, b)):
            compare_mail("%s mail %d" % (name, i), x, y, failures)
        if os.path.exists(os.path.join(root, local, name + ".msf")):
            failures.append("%s.msf is still there" % name)
    for folder in (None, "Sent"):
        md_a, md_b = mailbox.Maildir(os.path.join(orig, "Maildir"), factory=None, create=False), \
            mailbox.Maildir(os.path.join(root, "Maildir"), factory=None, create=False)
        if folder:
            md_a, md_b = md_a.get_folder(folder), md_b.get_folder(folder)
        # A converted message has a new name: messages are paired by where they are, their
        # flags and their text.
        def listed(md):
            found = []
            for key in md.keys():
                m, raw = md.get_message(key), md.get_bytes(key)
                found.append((m.get_subdir(), m.get_flags(), [t.replace("\r\n", "\n").rstrip("\n")
                                                              for t in rr.texts(email.message_from_bytes(raw))], raw))
            return sorted(found, key=lambda f: (f[0], f[1], repr(f[2])))
        a, b = listed(md_a), listed(md_b)
        if len(a) != len(b):
            failures.append("maildir %s: %d messages before, %d after" % (folder, len(a), len(b)))
            continue
        for i, (x, y) in enumerate(zip(a, b)):
            if x[:2] != y[:2]:
                failures.append("maildir %s message %d: flags %r in %s, then %r in %s" % (
                    folder, i, x[1], x[0], y[1], y[0]))
            compare_mail("maildir %s message %d" % (folder, i), x[3], y[3], failures)
    for path in sorted(before):
        if path.endswith(".emlx") and "past-its-end" not in path:
            x, y = before[path][0], after.get(path, (b"",))[0]
            count, _, rest = y.partition(b"\n")
            if rest[int(count or b"0"):] != PLIST:
                failures.append("%s: its count %r does not end at its property list" % (path, count))
            compare_mail(path, x.partition(b"\n")[2][:-len(PLIST)], rest[:int(count or b"0")], failures)
    compare_mail("saved.eml", before["saved.eml"][0], after["saved.eml"][0], failures)
    untouched = [p for p in before if p.startswith(os.path.join("profile", "ImapMail")) or p.startswith("Untidy")
                 or p in ("attachment.bin", os.path.join("profile", "prefs.js"), os.path.join(local, "Trash"))
                 or "past-its-end" in p]
    for path in untouched:
        if after.get(path, (None,))[0] != before[path][0]:
            failures.append("%s changed" % path)
    for path in after:
        if os.sep + "tmp" + os.sep in path:
            failures.append("left in tmp/: %s" % path)
    missing = set(before) - set(after) - {os.path.join(local, "Inbox.msf"), os.path.join(local, "Inbox.sbd", "Sub.msf")}
    missing = {p for p in missing if not p.startswith("Maildir" + os.sep)}
    if missing:
        failures.append("gone: %s" % sorted(missing))


def add_server_files(root, wine):
    """A mail server's files in the tree, and what a killed run left; returns the paths of the
    messages whose names now carry their sizes."""
    maildir = os.path.join(root, "Maildir")
    write(os.path.join(maildir, "maildirsize"), b"1000000S,1000C\n%d %d\n" % (123456, 20))
    write(os.path.join(maildir, "dovecot-uidlist"), b"3 V1 N21\n")
    write(os.path.join(root, "profile", "Mail", "Local Folders", ".imap", "INBOX", "dovecot.index.cache"), b"cache")
    sized = []
    sent = os.path.join(maildir, ".Sent")
    for sub in ("cur", "new"):
        for name in sorted(os.listdir(os.path.join(sent, sub))):
            data = open(os.path.join(sent, sub, name), "rb").read()
            unique, colon, info = name.partition(":")
            new = "%s,S=%d,W=%d%s%s" % (unique, len(data), len(data) + data.count(b"\n") - data.count(b"\r\n"),
                                        colon, info)
            os.rename(os.path.join(sent, sub, name), os.path.join(sent, sub, new))
            sized.append(os.path.join(sent, sub, new))
    # A temporary file of a run on another machine, for a message that is there: stopped.
    message = sorted(os.listdir(os.path.join(maildir, "cur")))[0]
    write(os.path.join(maildir, "tmp", "1700000000.M000001P1R00000001Q1_quorvel.elsewhere,cur," + message), b"x")
    # The trace of a conversion interrupted elsewhere, whose record this state directory lacks.
    write(os.path.join(root, "profile", "Mail", "Local Folders", "Inbox.sbd", "Sub.quorvel"),
          b"/elsewhere/quorvel/qvl0001.JNL\n")
    if not wine:
        lock = os.path.join(root, "saved.eml.lock")
        write(lock, b"1 elsewhere\n")
        os.utime(lock, (time.time() - 3600, time.time() - 3600))
    return sized


def check_then_convert(run, root, state, failures):
    """-R --check over root, which must change nothing, then -R, which must do what it said."""
    def seen():
        return snapshot(root), list(os.walk(state))
    before = seen()
    check = run("-R", "--check", root)
    if seen() != before:
        changed = sorted(p for p in set(before[0]) | set(seen()[0]) if before[0].get(p) != seen()[0].get(p))
        failures.append("-R --check changed %s, or the state directory: %r" % (changed[:5], seen()[1]))
    said = check.stdout.decode(errors="replace")
    done = run("-R", root)
    out = done.stdout.decode(errors="replace")
    summary = said.strip().splitlines()[-1] if said.strip() else ""
    expected = summary.replace(" would be ", " ").replace(" would fail", " failed")
    # The folder whose conversion was interrupted elsewhere fails both.
    if check.returncode != 1 or done.returncode != 1 or expected != out.strip() or "renamed" not in out \
            or "quota line" not in out or "server cache" not in out:
        failures.append("-R --check said %r (exit %d); -R then %r (exit %d)" % (summary, check.returncode, out,
                                                                               done.returncode))
    # Each renamed message has a new name of the form said, its sizes those of its new bytes.
    local = lambda p: p[2:].replace("\\", "/") if p.startswith("Z:") else p  # as Wine names it
    for path, form in re.findall(r"^(.*): would be converted, \d+ bytes to \d+, and renamed (\S+) ", said, re.M):
        path = local(path)
        sub = os.path.dirname(path)
        names = [os.path.basename(sub) + "/" + n for n in os.listdir(sub)]
        if os.path.exists(path) or not [n for n in names if fnmatch.fnmatchcase(n, form.replace("\\", "/"))]:
            failures.append("%s: said to be renamed %s, but is: %s" % (path, form, sorted(names)[:3]))
    for path, count in re.findall(r"^(.*\.emlx): would be converted, its message of \d+ bytes to (\d+),", said, re.M):
        path = local(path)
        if open(path, "rb").read().partition(b"\n")[0].strip() != count.encode():
            failures.append("%s: said to count %s, but counts %r" % (path, count, open(path, "rb").read()[:12]))
    for what in ("dovecot-uidlist: would be locked", "maildirsize: would have a line appended",
                 "dovecot.index.cache: would be deleted", "Inbox.msf: would be deleted",
                 "tmp: would delete 1 temporary files", "emlx: would be converted, its message of",
                 "Sub: a conversion of it was interrupted, and its record is not in this run's state directory"):
        if what not in said.replace("\\", "/"):
            failures.append("-R --check did not say %r: %r" % (what, said[-500:]))


def hostile(converter, work, env, failures):
    korean = b"From a@example.kr Mon Dec  1 00:00:00 2025\nSubject: x\n" \
             b"Content-Type: text/plain; charset=ISO-2022-KR\n\n\x1b$)C\n\x0e0!\x0f\n"
    run = lambda *a, **k: subprocess.run([converter] + list(a), capture_output=True, env=dict(env, **k))
    # The walk's pause, which the race needs, is built only into a test build.
    with open(converter, "rb") as program:
        hooked = b"QUORVEL_TEST_WALK_PAUSE" in program.read()
    if not hooked:
        print("skipped: the walk raced by a swap: this build has no test hooks (configure with "
              "-DQUORVEL_TEST_HOOKS=ON, as the sanitize preset does)")
    else:
        # The swap: the tree's owner puts links to root's files where the walk found a folder and
        # a directory.
        shared, outside = os.path.join(work, "shared"), os.path.join(work, "outside")
        write(os.path.join(shared, "Inbox"), korean)
        write(os.path.join(shared, "sub", "Inbox"), korean)
        write(os.path.join(outside, "secret"), korean)
        write(os.path.join(outside, "dir", "Inbox"), korean)
        os.chmod(os.path.join(outside, "secret"), 0o600)
        for dirpath, dirs, names in os.walk(shared):
            for name in [dirpath] + [os.path.join(dirpath, n) for n in names]:
                os.chown(name, 65534, 65534)
        hold = os.path.join(work, "hold")
        write(hold, b"")
        job = subprocess.Popen([converter, "-R", shared], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=dict(env, QUORVEL_TEST_WALK_PAUSE=hold))
        for _ in range(1000):
            if os.path.exists(hold + ".paused") or job.poll() is not None:
                break
            time.sleep(0.01)
        os.rename(os.path.join(shared, "Inbox"), os.path.join(shared, "Inbox.was"))
        os.symlink(os.path.join(outside, "secret"), os.path.join(shared, "Inbox"))
        os.rename(os.path.join(shared, "sub"), os.path.join(shared, "sub.was"))
        os.symlink(os.path.join(outside, "dir"), os.path.join(shared, "sub"))
        os.unlink(hold + ".paused")
        out, err = job.communicate(timeout=60)
        for name in ("secret", os.path.join("dir", "Inbox")):
            if open(os.path.join(outside, name), "rb").read() != korean:
                failures.append("the walk wrote %s outside the tree" % name)
        for name in ("Inbox", "sub"):
            if job.returncode != 1 or (os.path.join(shared, name) + ": not converted: a link").encode() not in err:
                failures.append("swapped %s not named: %d, %r" % (name, job.returncode, err))
    # A folder of a profile named on its own, and an .emlx named on its own.
    profile = os.path.join(work, "p.default")
    inbox = os.path.join(profile, "Mail", "Local Folders", "Inbox")
    write(inbox, korean)
    write(inbox + ".msf", b"// <!-- <mdb:mork:z v=\"1.4\"/> -->\n")
    write(os.path.join(profile, "prefs.js"), b"// Mozilla User Preferences\n")
    with open(os.path.join(profile, ".parentlock"), "wb") as lock:
        fcntl.lockf(lock, fcntl.LOCK_EX)
        refused = run(inbox)
        if refused.returncode != 1 or b"close Thunderbird first" not in refused.stderr \
                or open(inbox, "rb").read() != korean or not os.path.exists(inbox + ".msf"):
            failures.append("a folder of a held profile: %d, %r" % (refused.returncode, refused.stderr))
    done = run(inbox)
    if done.returncode != 0 or b"charset=EUC-KR" not in open(inbox, "rb").read() or os.path.exists(inbox + ".msf"):
        failures.append("a folder of a profile let go: %d, %r" % (done.returncode, done.stderr))
    message = without_from_line(korean)
    apple = os.path.join(work, "one.emlx")
    write(apple, emlx(message))
    done = run(apple)
    count, _, rest = open(apple, "rb").read().partition(b"\n")
    if done.returncode != 0 or rest[int(count):] != PLIST or b"EUC-KR" not in rest[:int(count)]:
        failures.append("an .emlx named on its own: %d, %r, %r" % (done.returncode, done.stderr, count))
    # Memory: a message of 200 MB against a small one, each in a maildir of its own.
    peaks = []
    for size in (1, 200 << 20):
        md = os.path.join(work, "md%d" % size)
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(md, sub))
        with open(os.path.join(md, "cur", "1.M1P1.host:2,S"), "wb") as f:
            f.write(message)
            line = b"\x0e0!0\"\x0f text\n" * 4096
            for _ in range(size // len(line) + 1):
                f.write(line)
        # Measured by time(1), a small process: a child of this one starts as large as it is.
        result = subprocess.run(["/usr/bin/time", "-f", "peak %M", converter, "-R", md], capture_output=True, env=env)
        peaks.append(int(re.findall(rb"peak (\d+)", result.stderr)[-1]))
        if result.returncode != 0:
            failures.append("-R over a %d-byte message: %r" % (size, result.stderr))
        shutil.rmtree(md)
    if peaks[1] - peaks[0] > 4096:
        failures.append("a 200 MB message took %d KiB more than a small one" % (peaks[1] - peaks[0]))
    print("peak memory: %d KiB for a small message, %d KiB for 200 MB" % tuple(peaks))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("converter")
    parser.add_argument("case", choices=["convert", "kill", "hostile"])
    parser.add_argument("--wine", action="store_true")
    parser.add_argument("--seed", type=int, default=int(os.environ.get("KILL_SEED", random.randrange(1 << 30))))
    parser.add_argument("--kills", type=int, default=int(os.environ.get("KILLS", 8)))
    args = parser.parse_args()
    if not rr.korean_codecs() or (args.case == "hostile" and (args.wine or os.geteuid() != 0)):
        return 77

    work = tempfile.mkdtemp(prefix="quorvel-tree.")
    failures = []
    env = dict(os.environ, XDG_STATE_HOME=os.path.join(work, "state"))
    native = (lambda p: p) if not args.wine else (lambda p: "Z:" + p.replace("/", "\\"))
    if args.wine:
        env["LOCALAPPDATA"] = native(os.path.join(work, "state"))
    command = ["wine", args.converter] if args.wine else [args.converter]
    run_in = lambda e, *a: subprocess.run(command + [native(x) if x.startswith("/") else x for x in a],
                                          capture_output=True, env=e)
    run = lambda *a: run_in(env, *a)
    orig, root = os.path.join(work, "orig"), os.path.join(work, "tree")
    try:
        if args.case == "hostile":
            hostile(args.converter, work, env, failures)
            return report(failures)
        build(orig, 1557, 1 if args.case == "convert" else 40)
        shutil.copytree(orig, root)
        if not args.wine:
            os.symlink(os.path.join(root, "profile"), os.path.join(root, "link"))
            os.mkfifo(os.path.join(root, "pipe"))
        if args.case == "convert":
            # A DIR without -R, and -R where it makes no sense, change nothing.
            for argv, status, said in (([root], 1, b"Is a directory; -R converts every mail file under it"),
                                       (["-R", "-o", "x", root], 2, b"-R converts in place: not with -o"),
                                       (["-R"], 2, b"no DIR given"),
                                       (["--profile", root], 2, b"--profile takes no FILE")):
                result = run(*argv)
                if result.returncode != status or said not in result.stderr:
                    failures.append("%r: %d, %r" % (argv, result.returncode, result.stderr))
            # Directories named as Windows names devices, at the top as when nested, and a
            # Thunderbird folder so named inside a tree; a failure counted once.
            folder = b"From a\n\x1b$)C\n\x0e\x30\x21\x0f\n"
            devices = os.path.join(work, "devices")
            for name in ("Con.sbd", "aux.mbox.d", "nul.d"):
                write(os.path.join(devices, name, "Inbox"), folder)
            write(os.path.join(devices, "tb", "Con"), folder)
            write(os.path.join(devices, "tb", "Con.msf"), b"// <!-- <mdb:mork:z v=\"1.4\"/> -->\n")
            tops = [[os.path.join(devices, name)] for name in ("Con.sbd", "aux.mbox.d", "nul.d", "tb")]
            for top in tops:
                result = run("-R", "--keep-labels", *top)
                if result.returncode != 0 or not result.stdout.startswith(b"quorvel-convert: 1 file converted"):
                    failures.append("-R %s: %d, %r %r" % (top[0], result.returncode, result.stdout, result.stderr))
            missing = os.path.join(work, "missing")
            result = run("-R", missing)
            if result.returncode != 1 or not result.stdout.rstrip().endswith(b"; 1 failed: " + native(missing).encode()):
                failures.append("-R over a missing directory: %d, %r" % (result.returncode, result.stdout))
            # A directory within ImapMail/, named on its own: the cache is left alone all the same
            # (the tree's check below finds it as it was).
            result = run("-R", os.path.join(root, "profile", "ImapMail", "imap.example.kr"))
            if result.returncode != 0 or b"ImapMail: left alone" not in result.stderr:
                failures.append("-R within ImapMail/: %d, %r" % (result.returncode, result.stderr))
            if not args.wine:
                # The default profile, which profiles.ini names and which is not there.
                home = os.path.join(work, "home")
                write(os.path.join(home, ".thunderbird", "profiles.ini"),
                      b"[Profile0]\nName=default\nIsRelative=1\nPath=gone.default\nDefault=1\n")
                result = subprocess.run(command + ["--profile"], capture_output=True, env=dict(env, HOME=home))
                if result.returncode != 1 or b"cannot find the default profile" not in result.stderr \
                        or b"gone.default" not in result.stderr:
                    failures.append("--profile with a missing profile: %d, %r" % (result.returncode, result.stderr))
                # A running mail program holds the profile: it is left as it is.
                with open(os.path.join(root, "profile", ".parentlock"), "wb") as lock:
                    fcntl.lockf(lock, fcntl.LOCK_EX)
                    refused = run("--profile=" + os.path.join(root, "profile"))
                    refused_check = run("--profile=" + os.path.join(root, "profile"), "--check")
                    partly_check = run("-R", "--check", root)
                    partly = run("-R", root)
                    inbox = os.path.join("profile", "Mail", "Local Folders", "Inbox")
                    for what, result in (("--profile", refused), ("-R", partly), ("--profile --check", refused_check),
                                         ("-R --check", partly_check)):
                        if result.returncode != 1 or b"close Thunderbird first" not in result.stderr:
                            failures.append("%s over a held profile: %d, %r" % (what, result.returncode, result.stderr))
                    if snapshot(root)[inbox][0] != snapshot(orig)[inbox][0]:
                        failures.append("the held profile's Inbox changed")
                os.unlink(os.path.join(root, "profile", ".parentlock"))
            if args.wine:
                # The default profile, which profiles.ini in Wine's %APPDATA% names: its Mail/
                # converted, ImapMail/ not.
                said = subprocess.run(["wine", "cmd", "/c", "echo %APPDATA%"], capture_output=True, env=env)
                appdata = subprocess.run(["winepath", "-u", said.stdout.decode().strip()], capture_output=True,
                                         env=env).stdout.decode().strip()
                write(os.path.join(appdata, "Thunderbird", "profiles.ini"),
                      b"[Profile0]\r\nName=default\r\nIsRelative=0\r\nPath=%s\r\nDefault=1\r\n"
                      % native(os.path.join(root, "profile")).encode())
                result = subprocess.run(command + ["--profile"], capture_output=True, env=env)
                shutil.rmtree(os.path.join(appdata, "Thunderbird"))
                if result.returncode != 0 or b"ImapMail: left alone" not in result.stderr:
                    failures.append("--profile under %%APPDATA%%: %d, %r" % (result.returncode, result.stderr))
            checked = os.path.join(work, "checked")
            shutil.copytree(orig, checked)
            add_server_files(checked, args.wine)
            # A state directory not made yet, which the check must not make either.
            state = os.path.join(work, "state-check")
            os.mkdir(state)
            check_env = dict(env, XDG_STATE_HOME=state, LOCALAPPDATA=native(state))
            check_then_convert(lambda *a: run_in(check_env, *a), checked, state, failures)
            result = run("-R", root)
            out = result.stdout.decode(errors="replace")
            print(out.strip())
            # Each mail file once, whether the run with the profile held converted it or not.
            counts = re.match(r"quorvel-convert: (\d+) files? converted, (\d+) with nothing to change, 42 mails in all;", out)
            if result.returncode != 0 or not counts or int(counts[1]) + int(counts[2]) != 27 or "; 0 failed" not in out:
                failures.append("-R: exit %d, %r" % (result.returncode, result.stderr))
            for warning in (b"Untidy: warning: a maildir without tmp/", b"past-its-end.emlx: warning: skipped",
                            b"ImapMail: left alone"):
                if warning not in result.stderr:
                    failures.append("not said: %r in %r" % (warning, result.stderr))
            check_tree(orig, root, failures)
            first = snapshot(root)
            again = run("-R", root)
            if again.returncode != 0 or snapshot(root) != first:
                failures.append("a second run changed the tree: %r" % again.stderr)
        else:
            start = time.monotonic()
            result = run("-R", root)
            took = time.monotonic() - start
            if result.returncode != 0:
                failures.append("-R failed: %r" % result.stderr)
            expected = contents(root)
            rng = random.Random(args.seed)
            stopped = left = 0
            for n in range(args.kills):
                shutil.rmtree(root)
                shutil.copytree(orig, root)
                at = rng.uniform(0, took)
                job = subprocess.Popen(command + ["-R", native(root)],
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, env=env)
                time.sleep(at)
                job.send_signal(signal.SIGKILL)
                stopped += job.wait() == -signal.SIGKILL
                result = run("-R", root)
                got = contents(root)
                # A kill while a lock file was being made leaves the file that was to become
                # it: that one is the program's to delete, on a later run.
                leftovers = [p for p in got[0] if p not in expected[0] and leftover_of(p, expected[0], job.pid)]
                for path in leftovers:
                    del got[0][path]
                left += len(leftovers)
                if result.returncode != 0 or got != expected:
                    diff = sorted(p for p in set(got[0]) | set(expected[0]) if got[0].get(p) != expected[0].get(p))
                    diff += [m[:2] for m in set(got[1]) ^ set(expected[1])]
                    failures.append("kill %d at %.3f s (seed %d): %s; differs: %s" % (
                        n, at, args.seed, result.stderr.decode(errors="replace")[-300:], diff[:5]))
                if os.listdir(os.path.join(work, "state", "quorvel")):
                    failures.append("kill %d: left in the state directory: %s" % (
                        n, os.listdir(os.path.join(work, "state", "quorvel"))))
            print("seed %d: %d kills within %.2f s, %d of them before the run ended; each completed; "
                  "%d lock-making files of a killed run left" % (args.seed, args.kills, took, stopped, left))
    finally:
        shutil.rmtree(work)
    return report(failures)


def report(failures):
    for f in failures[:10]:
        print("FAILED:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
