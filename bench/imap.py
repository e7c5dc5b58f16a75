#!/usr/bin/env python3
"""Measures the conversion of a mailbox on an IMAP server far away against pulling it.

A private Dovecot on 127.0.0.1 (tests/tools/imap_servers.py) holds 2,000 mails in INBOX, 1,000
of them ISO-2022-KR; between it and each client sits a proxy that holds every piece of bytes
for 25 ms each way, a link of 50 ms round trip.  (A network namespace with `tc netem` would be
the kernel's own way; this machine's kernel has no netem, and the proxy needs no root.)
The reference, in the same run: mbsync (Debian's isync) pulling the same mailbox into a new
local maildir through the same proxy.  Each run starts from the same mailbox, restored.

    bench/imap.py QUORVEL_CONVERT [RUNS]

Prints two lines: "seconds SECONDS MBSYNC_SECONDS", the medians of RUNS runs, and "peak KIB
OWN_KIB MBSYNC_KIB", the converter's largest resident memory, the largest part of it that is
its own (resident less the shared libraries' pages: OpenSSL's code alone is some megabytes),
and mbsync's largest resident memory.
Exit status 77 where Dovecot or mbsync is missing.
"""
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "tools"))
from imap_servers import DOVECOT, Authority, Dovecot, free_port  # noqa: E402

DELAY = float(os.environ.get("BENCH_IMAP_DELAY", "0.025"))
MAILS = 2000


def mail(n):
    """The n-th mail: odd ones ISO-2022-KR, even ones plain; a few KiB of text each."""
    if n % 2:
        body = b"\x1b$)C\r\n" + b"\x0e0!3*4Y\x0f Korean text of a letter\r\n" * (40 + n % 60)
        head = b"Content-Type: text/plain; charset=ISO-2022-KR\r\n"
    else:
        body = b"Plain text of a letter\r\n" * (40 + n % 60)
        head = b"Content-Type: text/plain; charset=us-ascii\r\n"
    return (b"Message-ID: <%d.bench@quorvel>\r\nSubject: letter %d\r\nMIME-Version: 1.0\r\n" % (n, n) + head +
            b"\r\n" + body)


class SlowLink:
    """A proxy on a free loopback port to upstream, each piece of bytes held DELAY seconds
    each way, in order."""
    def __init__(self, upstream):
        self.upstream, self.port = upstream, free_port()
        self.server = socket.socket()
        self.server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.server.bind(("127.0.0.1", self.port))
        self.server.listen(16)
        threading.Thread(target=self.accept, daemon=True).start()

    def accept(self):
        while True:
            try:
                client = self.server.accept()[0]
            except OSError:
                return
            server = socket.create_connection(("127.0.0.1", self.upstream))
            for a, b in ((client, server), (server, client)):
                threading.Thread(target=self.carry, args=(a, b), daemon=True).start()

    @staticmethod
    def carry(source, sink):
        pieces, ready = [], threading.Condition()

        def deliver():
            while True:
                with ready:
                    while not pieces:
                        ready.wait()
                    due, data = pieces.pop(0)
                time.sleep(max(0.0, due - time.monotonic()))
                try:
                    if data is None:
                        sink.shutdown(socket.SHUT_WR)
                        return
                    sink.sendall(data)
                except OSError:
                    return
        threading.Thread(target=deliver, daemon=True).start()
        while True:
            try:
                data = source.recv(65536)
            except OSError:
                data = b""
            with ready:
                pieces.append((time.monotonic() + DELAY, data or None))
                ready.notify()
            if not data:
                return


def timed(argv, env):
    with tempfile.NamedTemporaryFile("r") as report:
        start = time.perf_counter()
        done = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", report.name] + argv, env=env,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            sys.exit("bench/imap.py: %s failed: %s" % (argv[0], done.stderr.decode(errors="replace")[-500:]))
        return seconds, int(report.read().split()[-1])


def sampled(argv, env):
    """Runs argv, sampling its memory every few milliseconds; returns (seconds, peak resident
    KiB, peak KiB of its own memory: resident less the shared libraries' pages)."""
    errors = tempfile.TemporaryFile()
    start = time.perf_counter()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=errors)
    peak = own = 0
    while proc.poll() is None:
        try:
            with open("/proc/%d/status" % proc.pid) as f:
                fields = dict(line.split(":", 1) for line in f if ":" in line)
            peak = max(peak, int(fields["VmHWM"].split()[0]))
            own = max(own, int(fields["RssAnon"].split()[0]))
        except (OSError, KeyError, ValueError):
            pass
        time.sleep(0.005)
    seconds = time.perf_counter() - start
    errors.seek(0)
    said = errors.read().decode(errors="replace")
    if proc.returncode != 0 or said:
        sys.exit("bench/imap.py: %s failed or warned: %s" % (argv[0], said[-500:]))
    return seconds, peak, own


def main():
    converter = sys.argv[1]
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 3
    if not os.access(DOVECOT, os.X_OK) or not shutil.which("mbsync"):
        print("bench/imap.py: skipped: Dovecot or mbsync is not installed")
        return 77
    work = tempfile.mkdtemp(prefix="quorvel-bench-imap.")
    os.chmod(work, 0o755)
    try:
        authority = Authority(work)
        dovecot = Dovecot(work, authority)
        with dovecot:
            imap = dovecot.login()
            for n in range(MAILS):
                imap.append("INBOX", "(\\Seen)" if n % 3 == 0 else "()", '"01-Jan-1998 10:00:00 +0900"', mail(n))
            imap.logout()
        home = os.path.join(work, "md")
        pristine = os.path.join(work, "pristine")
        shutil.copytree(home, pristine, symlinks=True)
        times, peaks, theirs = {"ours": [], "mbsync": []}, [], []
        for _ in range(runs):
            for who in ("ours", "mbsync"):
                shutil.rmtree(home)
                shutil.copytree(pristine, home, symlinks=True)
                for where, dirs, files in os.walk(home):
                    for name in [where] + [os.path.join(where, n) for n in dirs + files]:
                        os.lchown(name, dovecot.uid, dovecot.gid)
                state = os.path.join(work, "state")
                shutil.rmtree(state, ignore_errors=True)
                env = dict(os.environ, HOME=work, XDG_STATE_HOME=state)
                with dovecot:
                    link = SlowLink(dovecot.imaps_port)
                    if who == "ours":
                        seconds, peak, own = sampled([converter, "-q", "--password-command", "echo pass", "--cacert",
                                                      authority.cert, "imaps://md@127.0.0.1:%d/INBOX" % link.port], env)
                        peaks.append((peak, own))
                    else:
                        local = os.path.join(work, "local")
                        shutil.rmtree(local, ignore_errors=True)
                        os.makedirs(local)
                        config = os.path.join(work, "mbsyncrc")
                        with open(config, "w") as f:
                            f.write("IMAPAccount far\nHost localhost\nPort %d\nUser md\nPass pass\nSSLType IMAPS\n"
                                    "CertificateFile %s\n\nIMAPStore far\nAccount far\n\nMaildirStore near\n"
                                    "Path %s/\nInbox %s/INBOX\n\nChannel pull\nFar :far:INBOX\nNear :near:INBOX\n"
                                    "Sync Pull\nCreate Near\nSyncState *\n" % (link.port, authority.cert, local, local))
                        seconds, peak = timed(["mbsync", "-q", "-c", config, "pull"], env)
                        theirs.append(peak)
                    link.server.close()
                    times[who].append(seconds)
        print("seconds %.3f %.3f" % (statistics.median(times["ours"]), statistics.median(times["mbsync"])))
        print("peak %d %d %d" % (max(p[0] for p in peaks), max(p[1] for p in peaks), max(theirs)))
        return 0
    finally:
        subprocess.run([DOVECOT, "-c", os.path.join(work, "dovecot.conf"), "stop"], capture_output=True)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
