#!/usr/bin/env python3
"""quorvel-convert over IMAP accounts, checked over IMAP: Dovecot, Courier's imapd and a
server with Gmail's extensions, each private to the test (imap_servers.py).

    imap_cases.py QUORVEL_CONVERT [COURIER] [HOODIECROW]

ISO-2022-KR mail is delivered by APPEND with flags, keywords and old dates (and labels on the
Gmail-like server); then each case runs the converter on imaps:// URLs, trusting the test's
own authority with --cacert, and reads every mailbox back: every mail once, converted (its
text reads right by its own label), its flags, keywords, labels and INTERNALDATE kept, the
mail with nothing to change untouched (same UID), Trash holding each original once.
  lifecycle  --check changes nothing and counts; a run converts; a second changes nothing;
             --undo puts the originals back (each server)
  account    a Hangul mailbox by its percent-encoded URL, then -R over the account, Trash
             and Junk left alone (Dovecot, Courier)
  refusals   a wrong password fails once with the server's words; a certificate for
             another host, or expired, is refused before anything is sent; imap:// takes
             STARTTLS before the password (Dovecot)
  faults     a proxy drops the connection before, or after, the k-th command of a run, or
             kills the run there (or, on Dovecot, answers it NO), for k = 1, 2... until a run
             ends with no fault; a clean rerun completes each (each server)
  recreated  a mailbox made anew after a run was cut off in it is refused, unchanged (Dovecot)
  meanwhile  another program flags the originals just before the run moves them: each copy
             ends with the flag (each server)
  secrets    a .netrc, read or refused for its mode (Dovecot); a bearer token by
             --oauth2-command, taken or refused as expired, once (Gmail-like)
  throttled  the first APPEND refused [THROTTLED]: the run pauses and converts all (Gmail-like)
  renamed    a mailbox renamed after a run was killed in it: the next run, on the new name,
             completes that run without doubling a mail (Dovecot)
  duplicate  a server that drops an APPEND of a Message-ID it holds, answering with the
             original's UID: the original stays, reported (Dovecot, the Gmail-like one)
CASES=lifecycle,faults... runs only those; KEEP=1 keeps the scratch directory.
Exit status 0 when all of it holds, 1 otherwise; 77 (skipped) when the converter has no IMAP
store yet (it answers an imaps:// URL with a usage error) or no server can run. A server that
cannot run is skipped, which the last lines say.
"""
import base64
import email
import email.policy
import hashlib
import imaplib
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.parse

from dovecot_cases import MAILS, texts
from imap_servers import DOVECOT, Authority, Courier, Dovecot, Hoodiecrow, Proxy, mutf7

HANGUL = "보낸편지함"
ISO = re.compile(rb"\x1b\$\)C|=1B\$\)C|iso-2022-kr", re.I)


def with_id(n, raw):
    return b"Message-ID: <%d.quorvel@test>\r\n" % n + raw


BIG = bytes(range(256)) * (2 * 1024 * 1024 // 256)
EXTRA = [
    # ISO-2022-KR in a text part that names no charset, as the old client wrote it.
    (b"Subject: five\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
     b"Content-Type: text/plain\r\n\r\n\x1b$)C\r\n\x0e3*\x0f five\r\n--b--\r\n", (r"\Seen", "$Label3"),
     "05-May-1999 14:00:00 +0900"),
    # 2 MB: a Korean text and an attachment.
    (b"Subject: big\r\nMIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=b\r\n\r\n--b\r\n"
     b"Content-Type: text/plain; charset=ISO-2022-KR\r\n\r\n\x1b$)C\r\n\x0e4Y\x0f big\r\n--b\r\n"
     b"Content-Type: application/octet-stream\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
     b"\r\n".join(base64.encodebytes(BIG).split(b"\n")) + b"--b--\r\n", (), "06-Jun-2000 15:00:00 +0900"),
]
ALL = [(with_id(n, raw), flags, date) for n, (raw, flags, date) in enumerate(MAILS + EXTRA, 1)]
# The mail with nothing to change, marked \Deleted by its user: an EXPUNGE of more than the
# converter's own UIDs would take it.
ALL[3] = (ALL[3][0], ALL[3][1] + (r"\Deleted",), ALL[3][2])
SMALL = [m for m in ALL if len(m[0]) < 10000 and (r"\Seen" in m[1] or not ISO.search(m[0]))]  # three


def variant(mails, n):
    return [(raw.replace(b".quorvel@test>", b".%d.quorvel@test>" % n), flags, date) for raw, flags, date in mails]


def reads(raw):
    """What a reader sees: each text by its label (an unlabelled Korean text as ISO-2022-KR),
    each other part's bytes."""
    out = texts(raw.replace(b"Content-Type: text/plain\r\n", b"Content-Type: text/plain; charset=ISO-2022-KR\r\n"))
    for part in email.message_from_bytes(raw, policy=email.policy.compat32).walk():
        if not part.is_multipart() and part.get_content_maintype() != "text":
            out.append(hashlib.sha1(part.get_payload(decode=True)).hexdigest())
    return out


def message_id(raw):
    m = re.search(rb"(?im)^Message-ID:[ \t]*(<[^>\r\n]*>)", raw)
    return m.group(1).decode() if m else None


def quoted(box):
    return '"%s"' % mutf7(box)


def snapshot(imap, box, labels=False):
    """Message-ID -> [each message: uid, flags, date, labels, raw] in box."""
    typ, data = imap.select(quoted(box), readonly=True)
    if typ != "OK":
        raise RuntimeError("SELECT %s: %r" % (box, data))
    found = {}
    if int(data[0]) == 0:
        return found
    typ, data = imap.uid("FETCH", "1:*", "(UID FLAGS INTERNALDATE %sBODY.PEEK[])" % ("X-GM-LABELS " if labels else ""))
    if typ != "OK":
        raise RuntimeError("FETCH in %s: %r" % (box, data))
    for i, item in enumerate(data):
        if not isinstance(item, tuple):
            continue
        meta = item[0] + (data[i + 1] if i + 1 < len(data) and isinstance(data[i + 1], bytes) else b"")
        meta = meta.decode(errors="replace")
        lab = re.search(r"X-GM-LABELS \(([^)]*)\)", meta)
        found.setdefault(message_id(item[1]), []).append({
            "uid": int(re.search(r"UID (\d+)", meta).group(1)),
            "flags": sorted(f for f in re.search(r"FLAGS \(([^)]*)\)", meta).group(1).split() if f != r"\Recent"),
            "date": re.search(r'INTERNALDATE "([^"]+)"', meta).group(1),
            "labels": sorted(lab.group(1).split()) if lab else [], "raw": item[1]})
    return found


def deliver(imap, box, mails):
    for raw, flags, date in mails:
        typ, data = imap.append(quoted(box), "(%s)" % " ".join(flags), '"%s"' % date, raw)
        if typ != "OK":
            raise RuntimeError("APPEND to %s: %r" % (box, data))


def verify(what, before, after, trash, failures):
    """Every mail of before once in after, converted where it needed it with its flags,
    labels and date, untouched where not; each converted one's original once in trash."""
    for mid, (orig, *more) in before.items():
        copies = after.get(mid, [])
        where = "%s %s" % (what, mid)
        held = sum(m["raw"] == orig["raw"] for ms in trash.values() for m in ms)  # trash: Message-ID -> [...]
        if len(copies) != 1:
            failures.append("%s: %d copies after the run" % (where, len(copies)))
            continue
        new = copies[0]
        if not ISO.search(orig["raw"]):
            if (new["uid"], new["raw"]) != (orig["uid"], orig["raw"]) or held:
                failures.append("%s: needed no change, but UID %d became %d, or Trash holds it" % (
                    where, orig["uid"], new["uid"]))
            continue
        if ISO.search(new["raw"]):
            failures.append("%s: still ISO-2022-KR: %r" % (where, new["raw"][:300]))
        elif reads(new["raw"]) != reads(orig["raw"]):
            failures.append("%s: reads %r, was %r" % (where, reads(new["raw"])[:3], reads(orig["raw"])[:3]))
        for key in ("flags", "date", "labels"):
            if new[key] != orig[key]:
                failures.append("%s: %s %r, was %r" % (where, key, new[key], orig[key]))
        if held != 1:
            failures.append("%s: Trash holds the original %d times" % (where, held))
    for mid in set(after) - set(before):
        failures.append("%s %s: a message that was not there before" % (what, mid))


class Target:
    """One server as the converter and the checks see it: URL, a session of the checks,
    its mailbox for the mail, its Trash and the other mailboxes."""
    def __init__(self, name, port, user, password, login, box, trash, others=(), labels=False,
                 plain=None, upstream_tls=None, hangul=None):
        self.name, self.port, self.user, self.password, self.login = name, port, user, password, login
        self.hangul = hangul  # the name of a mailbox of Hangul name to make
        self.box, self.trash, self.others, self.labels = box, trash, list(others), labels
        self.plain, self.upstream_tls = plain, upstream_tls  # for a proxy in front

    def url(self, box=None, port=None):
        return "imaps://%s@127.0.0.1:%d%s" % (self.user, port or self.port,
                                             "" if box is None else "/" + urllib.parse.quote(box))

    def boxes(self):
        return [self.box, self.trash] + self.others

    def state(self):
        imap = self.login()
        try:
            return {box: snapshot(imap, box, self.labels) for box in self.boxes()}
        finally:
            imap.logout()

    def empty(self):
        imap = self.login()
        for box in self.boxes():
            typ, data = imap.select(quoted(box))
            if typ == "OK" and int(data[0]):
                imap.store("1:*", "+FLAGS.SILENT", r"(\Deleted)")
                imap.expunge()
        imap.logout()

    def fill(self, mails, box=None):
        imap = self.login()
        deliver(imap, box or self.box, mails)
        if self.labels:
            imap.select(quoted(box or self.box))
            imap.uid("STORE", "1:*", "+X-GM-LABELS", r'(\Inbox \Important \Starred "Korean mail")')
        imap.logout()
        return self.state()


class Run:
    """The converter with its own home and state directory, trusting the test authority."""
    def __init__(self, converter, work, authority):
        self.converter, self.work, self.ca, self.n = converter, work, authority.cert, 0

    def fresh(self):
        self.n += 1
        home = os.path.join(self.work, "home%d" % self.n)
        os.makedirs(home)
        self.env = dict(os.environ, HOME=home, XDG_STATE_HOME=os.path.join(home, "state"))

    def args(self, target, *args, password=None):
        """password "" gives no --password-command."""
        secret = [] if password == "" else ["--password-command", "echo '%s'" % (password or target.password)]
        return [self.converter] + secret + ["--cacert", self.ca] + list(args)

    def __call__(self, target, *args, password=None):
        try:
            return subprocess.run(self.args(target, *args, password=password), capture_output=True,
                                  env=self.env, timeout=120)
        except subprocess.TimeoutExpired as e:
            return subprocess.CompletedProcess(e.cmd, 124, e.stdout or b"", (e.stderr or b"") + b" [hung: killed]")

    def start(self, target, *args):
        return subprocess.Popen(self.args(target, *args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                env=self.env)


def said(run):
    return (run.stdout + run.stderr).decode(errors="replace").strip()[-800:]


def lifecycle(t, run, failures):
    """--check, a run, a second run, --undo, on the mail of every kind."""
    run.fresh()
    before = t.fill(ALL)
    url = t.url() if t.labels else t.url(t.box)  # -R on the Gmail-like server: All Mail alone
    opts = ["-R"] if t.labels else []
    r = run(t, "--check", *opts, url)
    m = re.search(r"(\d+) mails, (\d+) would be converted", r.stdout.decode(errors="replace"))
    need = sum(bool(ISO.search(raw)) for raw, _, _ in ALL)
    if r.returncode != 0 or not m or (int(m.group(1)), int(m.group(2))) != (len(ALL), need):
        failures.append("%s --check: exit %d, not '%d mails, %d would be converted': %r" % (
            t.name, r.returncode, len(ALL), need, said(r)))
    if t.state() != before:
        failures.append("%s --check changed the account" % t.name)
    r = run(t, *opts, url)
    if r.returncode != 0:
        failures.append("%s: the run failed, exit %d: %r" % (t.name, r.returncode, said(r)))
    after = t.state()
    verify(t.name, before[t.box], after[t.box], after[t.trash], failures)
    for box in t.others:
        if after[box] != before[box]:
            failures.append("%s: %s changed by a run on %s" % (t.name, box, t.box))
    r = run(t, *opts, url)
    if r.returncode != 0 or t.state() != after:
        failures.append("%s: a second run changed the account, exit %d: %r" % (t.name, r.returncode, said(r)))
    r = run(t, "--undo", t.url())
    undone = t.state()
    # The originals back as they were (under new UIDs), with their labels.
    differ = [mid for mid in set(before[t.box]) | set(undone[t.box])
              if [dict(m, uid=0) for m in before[t.box].get(mid, [])] != [dict(m, uid=0) for m in undone[t.box].get(mid, [])]]
    if r.returncode != 0 or differ or any(undone[t.trash].values()):
        failures.append("%s --undo: exit %d, not as before: %s%s: %r" % (
            t.name, r.returncode, sorted(differ), ", Trash not empty" if any(undone[t.trash].values()) else "", said(r)))
    t.empty()


def account(t, run, failures):
    """A Hangul mailbox by its percent-encoded URL alone, then -R over the account."""
    run.fresh()
    imap = t.login()
    imap.create(quoted(t.hangul))
    imap.logout()
    # Mails of their own in each mailbox, so that Trash tells whose original it holds.
    for n, box in enumerate(t.others):
        t.fill(variant(SMALL, n), box)  # Junk: never converted
    t.others.append(t.hangul)
    t.fill(variant(SMALL, 99), t.hangul)
    before = t.fill(SMALL)
    r = run(t, t.url(t.hangul))
    mid = t.state()
    if r.returncode != 0 or mid[t.box] != before[t.box]:
        failures.append("%s %s: exit %d, or INBOX changed: %r" % (t.name, t.url(t.hangul), r.returncode, said(r)))
    verify(t.name + " " + t.hangul, before[t.hangul], mid[t.hangul], mid[t.trash], failures)
    r = run(t, "-R", t.url())
    after = t.state()
    if r.returncode != 0:
        failures.append("%s -R: exit %d: %r" % (t.name, r.returncode, said(r)))
    verify(t.name + " -R", before[t.box], after[t.box], after[t.trash], failures)
    # Trash's originals not converted in their turn, the converted mailbox and Junk left alone.
    verify(t.name + " -R, " + t.hangul, before[t.hangul], after[t.hangul], after[t.trash], failures)
    if any(after[b] != mid[b] for b in t.others):
        failures.append("%s -R: changed %s" % (t.name, [b for b in t.others if after[b] != mid[b]]))
    t.others.remove(t.hangul)
    t.empty()


def refusals(t, authority, run, failures):
    """Nothing changed, exit 1: a wrong password (once, the server's words), a certificate for
    another host or an expired one (before a password is sent)."""
    run.fresh()
    before = t.fill(SMALL)
    cases = [("a wrong password", authority.issue(), "wrong", ["Authentication failed"], 1),
             ("a certificate for another host", authority.issue("other", ("other.example",)), None, [], 0),
             ("an expired certificate", authority.issue(expired=True), None, [], 0)]
    for what, cert, password, words, logins in cases:
        with Proxy(t.plain, *cert) as proxy:
            r = run(t, t.url(t.box, proxy.port), password=password)
            tried = sum(c in ("LOGIN", "AUTHENTICATE") for c in proxy.commands)
        out = said(r)
        if r.returncode != 1 or tried != logins or any(w not in out for w in words) or t.state() != before:
            failures.append("%s, %s: exit %d, %d logins (%d wanted), the account changed or not %r: %r" % (
                t.name, what, r.returncode, tried, logins, words, out))
    # imap:// on the port that offers STARTTLS: TLS before the password, which is then sent.
    with Proxy(t.plain) as proxy:
        r = run(t, "--check", t.url(t.box, proxy.port).replace("imaps:", "imap:", 1))
    if r.returncode != 0 or "STARTTLS" not in proxy.commands or \
            {"LOGIN", "AUTHENTICATE"} & set(proxy.commands[:proxy.commands.index("STARTTLS")]):
        failures.append("%s, imap://: exit %d, commands in the clear %r: %r" % (
            t.name, r.returncode, proxy.commands, said(r)))
    t.empty()


def faults(t, authority, run, failures, runs, modes=("before", "after", "kill"), limit=400):
    """The connection dropped before the k-th command, or after it (its answer lost), or the run
    killed there, or the command refused with NO ("no"), for each k until a run meets no
    fault; each followed by a clean rerun."""
    count = 0
    with Proxy(t.plain, *authority.issue(), upstream_tls=t.upstream_tls) as proxy:
        for mode in modes:
            for k in range(1, limit):
                bad = len(failures)
                t.empty()
                run.fresh()
                before = t.fill(SMALL)
                proc = {}
                proxy.arm({"kill": "call", "no": "answer"}.get(mode, mode), k,
                          b"NO refused by the proxy" if mode == "no" else lambda: proc["p"].kill())
                proc["p"] = run.start(t, t.url(t.box, proxy.port))
                try:
                    proc["p"].communicate(timeout=120)
                except subprocess.TimeoutExpired:
                    proc["p"].kill()
                    proc["p"].communicate()
                    failures.append("%s, %s command %d: the run hung" % (t.name, mode, k))
                hit = proxy.dropped or (mode == "kill" and len(proxy.commands) >= k)
                name = proxy.commands[k - 1] if hit else "none"
                proxy.arm(None, 0)
                if proc["p"].returncode < 0 and mode != "kill":
                    failures.append("%s, dropped %s command %d: the run died of signal %d" % (
                        t.name, mode, k, -proc["p"].returncode))
                r = run(t, t.url(t.box, proxy.port))
                after = t.state()
                verify("%s, %s command %d (%s), then a rerun" % (t.name, mode, k, name),
                       before[t.box], after[t.box], after[t.trash], failures)
                if r.returncode != 0:
                    failures.append("%s, %s command %d: the rerun failed, exit %d: %r" % (
                        t.name, mode, k, r.returncode, said(r)))
                count += 1
                # The first k that fails says enough for its kind of fault (and a run that
                # hangs costs its time once).
                if len(failures) > bad or not hit:
                    break
    t.empty()
    runs.append(count)


def secrets(t, authority, run, failures, rows):
    """Where the secret comes from, each row (what, arguments, the .netrc's text or None, its
    mode, exit status, words the output holds): logged in, or refused once, nothing changed."""
    before = t.fill(SMALL)
    with Proxy(t.plain, *authority.issue(), upstream_tls=t.upstream_tls) as proxy:
        for what, args, netrc, mode, status, words in rows:
            run.fresh()
            if netrc is not None:
                path = os.path.join(run.env["HOME"], ".netrc")
                with open(path, "w") as f:
                    f.write(netrc % {"user": t.user, "password": t.password})
                os.chmod(path, mode)
            proxy.arm(None, 0)
            r = run(t, "--check", *args, *(["-R"] if t.labels else []), t.url(None if t.labels else t.box, proxy.port),
                    password="")
            tried = sum(c in ("LOGIN", "AUTHENTICATE") for c in proxy.commands)
            if r.returncode != status or tried > 1 or any(w not in said(r) for w in words) or t.state() != before:
                failures.append("%s, %s: exit %d (%d wanted), %d logins, or not %r, or the account changed: %r" % (
                    t.name, what, r.returncode, status, tried, words, said(r)))
    t.empty()


def throttled(t, authority, run, failures):
    """The server refuses the run's first APPEND with [THROTTLED], as Gmail does to a client
    going too fast: the run pauses, comes back, and converts everything all the same."""
    args = (["-R"] if t.labels else []) + [None if t.labels else t.box]
    with Proxy(t.plain, *authority.issue(), upstream_tls=t.upstream_tls) as proxy:
        run.fresh()
        t.fill(SMALL)
        run(t, *args[:-1], t.url(args[-1], proxy.port))  # a clean run, to learn where its APPEND comes
        k = proxy.commands.index("APPEND") + 1
        t.empty()
        run.fresh()
        before = t.fill(SMALL)
        proxy.arm("answer", k, b"NO [THROTTLED] too fast")
        started = time.time()
        r = run(t, *args[:-1], t.url(args[-1], proxy.port))
        paused = time.time() - started
        hit = proxy.dropped
        proxy.arm(None, 0)
    after = t.state()
    if r.returncode != 0 or not hit or paused < 5:
        failures.append("%s, an APPEND refused [THROTTLED]: exit %d, refused %s, after %.1f s: %r" % (
            t.name, r.returncode, hit, paused, said(r)))
    verify(t.name + ", after [THROTTLED]", before[t.box], after[t.box], after[t.trash], failures)
    t.empty()


def made_anew(t, box):
    """box deleted and made again with SMALL in it (a new UIDVALIDITY); its mail."""
    imap = t.login()
    imap.delete(box)
    imap.create(box)
    deliver(imap, box, SMALL)
    before = snapshot(imap, box)
    imap.logout()
    return before


def killed_in(t, proxy, run, box, later=0):
    """A run on box, made and filled anew, killed at its first APPEND, or at the command so
    many later, where a clean run shows first that it comes; box as it was before the run."""
    imap = t.login()
    imap.create(box)
    imap.logout()
    run.fresh()
    t.fill(SMALL, box)
    run(t, t.url(box, proxy.port))
    k = proxy.commands.index("APPEND") + 1 + later
    t.empty()
    before = made_anew(t, box)
    run.fresh()
    proc = {}
    proxy.arm("call", k, lambda: proc["p"].kill())
    proc["p"] = run.start(t, t.url(box, proxy.port))
    proc["p"].communicate(timeout=120)
    proxy.arm(None, 0)
    return before


def recreated(t, authority, run, failures):
    """A mailbox made anew (a new UIDVALIDITY) after a run was cut off in it: the next run
    refuses it, naming UIDVALIDITY, and changes nothing there."""
    box = "Recreated"
    with Proxy(t.plain, *authority.issue(), upstream_tls=t.upstream_tls) as proxy:
        killed_in(t, proxy, run, box)
        before = made_anew(t, box)
        r = run(t, t.url(box, proxy.port))  # the same account, port and all, as the journal knows it
    imap = t.login()
    after = snapshot(imap, box)
    imap.delete(box)
    imap.logout()
    if r.returncode != 1 or "UIDVALIDITY" not in said(r) or after != before:
        failures.append("%s: a mailbox made anew after a cut run: exit %d, or changed: %r" % (
            t.name, r.returncode, said(r)))
    t.empty()


def renamed(t, authority, run, failures):
    """A mailbox renamed by another program after a run was killed in it, its converted copies
    appended: the next run, on the new name, completes that run's mails, each once."""
    box, new = "Renamed", "Renamed again"
    with Proxy(t.plain, *authority.issue(), upstream_tls=t.upstream_tls) as proxy:
        before = killed_in(t, proxy, run, box, 1)
        imap = t.login()
        imap.rename(box, quoted(new))
        imap.logout()
        r = run(t, t.url(new, proxy.port))  # the same account, port and all, as the journal knows it
    imap = t.login()
    after, trash = snapshot(imap, new), snapshot(imap, t.trash)
    imap.delete(quoted(new))
    imap.logout()
    if r.returncode != 0:
        failures.append("%s: a run after its mailbox was renamed: exit %d: %r" % (t.name, r.returncode, said(r)))
    verify(t.name + ", renamed after a killed run", before, after, trash, failures)
    t.empty()


def duplicate(t, authority, run, failures):
    """A server that drops an APPEND of a Message-ID it holds and answers with the original's
    UID: the original stays where it was, the run says so and fails.  One mail to convert, so
    that it goes by an APPEND of its own even where the server takes many in one."""
    run.fresh()
    before = t.fill([m for m in SMALL if ISO.search(m[0])][:1])

    def held(box, mid):
        imap = t.login()
        try:
            typ, data = imap.select('"%s"' % box, readonly=True)
            validity = int(imap.untagged_responses.get("UIDVALIDITY", [b"0"])[0])
            for m in snapshot(imap, box).get(mid, [])[:1]:
                return validity, m["uid"]
        finally:
            imap.logout()

    with Proxy(t.plain, *authority.issue(), duplicate=held, upstream_tls=t.upstream_tls) as proxy:
        r = run(t, *(["-R"] if t.labels else []), t.url(None if t.labels else t.box, proxy.port))
    after = t.state()
    if r.returncode != 1 or not proxy.answered or after[t.box] != before[t.box] or any(after[t.trash].values()) \
            or "quorvel-convert: " not in said(r):
        failures.append("%s, an APPEND answered with the original's UID: exit %d, %d answered so, the "
                        "original moved or a copy left: %r" % (t.name, r.returncode, len(proxy.answered), said(r)))
    t.empty()


def meanwhile(t, authority, run, failures):
    """Another program flags every original on the server once the run has checked their
    copies, before it moves them to Trash (where, a clean run shows first): each copy ends
    with the flag, as its original had it when it went."""
    args = (["-R"] if t.labels else []) + [None if t.labels else t.box]
    with Proxy(t.plain, *authority.issue(), upstream_tls=t.upstream_tls) as proxy:
        run.fresh()
        t.fill(SMALL)
        run(t, t.url(args[-1], proxy.port), *args[:-1])
        # The first command after the check of the copies, whose last asks Trash's STATUS.
        move = next(i for i, c in enumerate(proxy.commands) if c in ("UID MOVE", "UID COPY"))
        k = max(i for i in range(move) if proxy.commands[i] == "STATUS") + 2
        t.empty()
        run.fresh()
        before = t.fill(SMALL)

        def flag():
            imap = t.login()
            imap.select(quoted(t.box))
            imap.uid("STORE", ",".join(str(m["uid"]) for ms in before[t.box].values() for m in ms), "+FLAGS.SILENT",
                     r"(\Flagged)")
            imap.logout()

        proxy.arm("call", k, flag)
        r = run(t, *args[:-1], t.url(args[-1], proxy.port))
        proxy.arm(None, 0)
    for ms in before[t.box].values():
        ms[0]["flags"] = sorted(set(ms[0]["flags"]) | {r"\Flagged"})
    after = t.state()
    if r.returncode != 0:
        failures.append("%s, flags set meanwhile: exit %d: %r" % (t.name, r.returncode, said(r)))
    verify(t.name + ", flags set before the move", before[t.box], after[t.box], after[t.trash], failures)
    t.empty()


def cases(target, *args):
    """Each case of the list whose name CASES names (all without it), on target."""
    names = os.environ.get("CASES", "").split(",")
    for case in args:
        if names == [""] or case[0].__name__ in names:
            case[0](target, *case[1:])


def main():
    if len(sys.argv) < 2:
        print("usage: imap_cases.py QUORVEL_CONVERT [COURIER] [HOODIECROW]")
        return 2
    converter = sys.argv[1]
    courier_root = sys.argv[2] if len(sys.argv) > 2 else ""
    hoodiecrow_root = sys.argv[3] if len(sys.argv) > 3 else ""
    work = tempfile.mkdtemp(prefix="quorvel-imap.")
    os.chmod(work, 0o755)
    failures, notes = [], []
    try:
        authority = Authority(work)
        run = Run(converter, work, authority)
        run.fresh()
        probe = subprocess.run(run.args(Target("probe", 1, "u", "pw", None, "INBOX", "Trash"), "--check",
                                        "imaps://u@127.0.0.1:1/INBOX"), capture_output=True, env=run.env)
        # A usage error sends to --help; a server that is not there is no such thing.
        if probe.returncode == 2 and b"--help" in probe.stderr:
            print("skipped: quorvel-convert answers an imaps:// URL with a usage error, so it has no IMAP "
                  "store yet: %s" % (said(probe).splitlines() or [""])[0])
            return 77
        ran = 0
        started = time.time()
        if os.path.exists(DOVECOT):
            os.makedirs(os.path.join(work, "dovecot"))
            d = Dovecot(os.path.join(work, "dovecot"), authority, users=(("md", "pw 1"),))
            with d:
                t = Target("Dovecot", d.imaps_port, "md", "pw 1", lambda: d.login("md"), "INBOX", "Trash",
                           ["Junk"], plain=d.port, hangul=HANGUL)
                n = []
                netrc = 'machine 127.0.0.1 login %(user)s password "%(password)s"\n'
                cases(t, (lifecycle, run, failures), (account, run, failures), (refusals, authority, run, failures),
                      (secrets, authority, run, failures,
                       [("a .netrc only its owner reads", [], netrc, 0o600, 0, ["would be converted"]),
                        ("a .netrc others may read", [], netrc, 0o644, 1, [".netrc", "chmod 600"])]),
                      (recreated, authority, run, failures), (renamed, authority, run, failures),
                      (duplicate, authority, run, failures),
                      (meanwhile, authority, run, failures),
                      (faults, authority, run, failures, n, ("before", "after", "kill", "no")))
                errors = d.errors()
                if errors:
                    failures.append("Dovecot's log: %s" % errors[:3])
            notes.append("Dovecot: every case, %d runs cut by the proxy, %.0f s" % (sum(n), time.time() - started))
            ran += 1
        else:
            notes.append("Dovecot skipped: no %s (dovecot-imapd)" % DOVECOT)
        started = time.time()
        if Courier.available(courier_root):
            c = Courier(courier_root, os.path.join(work, "courier", "Maildir"))
            with c, Proxy(c.port, *authority.issue()) as tls:
                # The account's Trash as Courier's clients make it.
                t = Target("Courier", tls.port, "courier", "unused", lambda: imaplib.IMAP4("127.0.0.1", c.port),
                           "INBOX", "INBOX.Trash", plain=c.port, hangul="INBOX." + HANGUL)
                imap = t.login()
                imap.create("INBOX.Trash")
                imap.logout()
                n = []
                cases(t, (lifecycle, run, failures), (account, run, failures), (meanwhile, authority, run, failures),
                      (faults, authority, run, failures, n))
            notes.append("Courier-IMAP: its cases, %d runs cut by the proxy, %.0f s (no duplicate APPEND case: "
                         "no LITERAL+)" % (sum(n), time.time() - started))
            ran += 1
        else:
            notes.append("Courier-IMAP skipped: not unpacked in %r (scripts/install-deps unpacks it)" % courier_root)
        started = time.time()
        if Hoodiecrow.available(hoodiecrow_root):
            h = Hoodiecrow(hoodiecrow_root, work, authority)
            with h:
                ctx = authority.client_context()
                t = Target("Gmail-like", h.port, h.user, h.password, lambda: h.login(context=ctx),
                           "[Gmail]/All Mail", "[Gmail]/Trash", ["INBOX"], labels=True, plain=h.port,
                           upstream_tls=ctx)
                t.fill(SMALL, "INBOX")
                n = []
                cases(t, (lifecycle, run, failures), (duplicate, authority, run, failures),
                      (secrets, authority, run, failures,
                       [("a bearer token", ["--oauth2-command", "echo token:" + h.password], None, 0, 0,
                         ["would be converted"]),
                        ("an expired token", ["--oauth2-command", "echo expired"], None, 0, 1,
                         ["SASL authentication failed"])]),
                      (meanwhile, authority, run, failures), (throttled, authority, run, failures),
                      (faults, authority, run, failures, n))
            notes.append("Gmail-like (hoodiecrow-imap): its cases, %d runs cut by the proxy, %.0f s" % (
                sum(n), time.time() - started))
            ran += 1
        else:
            notes.append("Gmail-like server skipped: hoodiecrow-imap not installed in %r, or no Node "
                         "(scripts/install-deps installs it)" % hoodiecrow_root)
    finally:
        if not os.environ.get("KEEP"):
            shutil.rmtree(work, ignore_errors=True)
    for f in failures[:20]:
        print("FAILED:", f)
    if len(failures) > 20:
        print("... %d failures in all" % len(failures))
    print("\n".join(notes))
    if not ran:
        print("skipped: no IMAP server can run here")
        return 77
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
