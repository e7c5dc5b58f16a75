#!/usr/bin/env python3
"""The converter's progress line as a user sees it, through a pseudo-terminal.

    progress_cases.py QUORVEL_CONVERT

Each job is made to last about 2.5 seconds by this script, which reads its OUTPUT (a FIFO)
or feeds its standard input slowly:
  - standard error a terminal: lines "FILE: N% of M MB, R MB/s, T left", from the job's
    second second on, redrawn in place at most four times a second, the share never going
    back, and erased at the end; relabelling
    and with --keep-labels, which read through different code;
  - from a pipe: "standard input: M MB, R MB/s", with no share and no time left;
  - standard error a pipe, or --quiet: nothing;
  - with no FILE and standard input a terminal: the usage error.
"""
import os
import pty
import re
import subprocess
import sys
import tempfile
import threading
import time

SECONDS = 2.5
CHUNK = 64 * 1024


def collect(master, into):
    """Appends what the terminal shows to into until the last program on it has ended."""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # EIO: no one has the terminal open any more
            return
        if not data:
            return
        into.extend(data)


def slowly(write, data):
    """Writes data in chunks over about SECONDS."""
    pause = SECONDS * CHUNK / len(data)
    for at in range(0, len(data), CHUNK):
        write(data[at:at + CHUNK])
        time.sleep(pause)


def run(argv, work, env, terminal_err=True, feed=None, fifo=None, size=0):
    """Runs argv in work, standard error a new terminal (or a pipe), feeding standard input
    with feed slowly, or reading fifo slowly; returns the exit status, what the terminal
    showed, what went to a piped standard error, and how long it took."""
    master, slave = pty.openpty()
    shown = bytearray()
    reader = threading.Thread(target=collect, args=(master, shown))
    start = time.monotonic()
    job = subprocess.Popen(argv, cwd=work, env=env,
                           stdin=subprocess.PIPE if feed is not None else subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL,
                           stderr=slave if terminal_err else subprocess.PIPE)
    os.close(slave)
    reader.start()
    piped = b''
    if feed is not None:
        slowly(job.stdin.write, feed)
        job.stdin.close()
    if fifo is not None:
        pause = SECONDS * CHUNK / size
        with open(fifo, 'rb') as f:
            while f.read(CHUNK):
                time.sleep(pause)
    if not terminal_err:
        piped = job.stderr.read()
    status = job.wait()
    took = time.monotonic() - start
    reader.join(10)
    os.close(master)
    return status, bytes(shown), piped, took


def check_drawn(what, shown, took, pattern, failures):
    """The lines drawn on the terminal: each matches pattern, no more than four a second,
    the share never going back, and all of it erased at the end."""
    text = shown.decode('utf-8', 'replace')
    pieces = text.split('\r')
    lines = [p for p in pieces if p.strip()]
    drawn = [re.fullmatch(pattern, line.rstrip(' ')) for line in lines]
    if len(lines) < 2 or not all(drawn):
        failures.append('%s: expected progress lines like %r, saw %r' % (what, pattern, text))
        return
    if len(lines) > took * 4 + 2:
        failures.append('%s: %d lines drawn in %.1f s' % (what, len(lines), took))
    if 'share' in pattern:
        shares = [int(m.group('share')) for m in drawn]
        if shares != sorted(shares):
            failures.append('%s: the share went back: %r' % (what, shares))
        # Nothing in the first second, when some 40% has gone by.
        if shares[0] < 20:
            failures.append('%s: drawn before a second had gone by: %r' % (what, shares))
    widest = max(len(line) for line in lines)
    if not (text.endswith('\r') and pieces[-2] == ' ' * len(pieces[-2]) and len(pieces[-2]) >= widest):
        failures.append('%s: the line was not erased at the end: %r' % (what, text[-200:]))
    print('%s: %d lines in %.1f s, the last %r, then erased' % (what, len(lines), took, lines[-1].rstrip()))


def main():
    converter = os.path.abspath(sys.argv[1])
    here = os.path.dirname(os.path.abspath(__file__))
    failures = []
    with tempfile.TemporaryDirectory(prefix='quorvel-progress.') as work:
        env = dict(os.environ, TMPDIR=work, XDG_STATE_HOME=os.path.join(work, 'state'))
        inbox = os.path.join(work, 'Inbox')
        subprocess.run([sys.executable, os.path.join(here, '..', '..', 'bench', 'make-folder.py'), inbox, '16'],
                       check=True, stdout=subprocess.DEVNULL)
        size = os.path.getsize(inbox)
        fifo = os.path.join(work, 'out')
        os.mkfifo(fifo)
        with_share = (r'Inbox: (?P<share>\d{1,3})% of [\d.]+ MB, [\d.]+ MB/s, \d+:\d\d left')

        for what, options in (('relabelling to a FIFO', []), ('--keep-labels to a FIFO', ['--keep-labels'])):
            status, shown, _, took = run([converter] + options + ['-o', fifo, 'Inbox'], work, env,
                                         fifo=fifo, size=size)
            if status != 0:
                failures.append('%s: exit %d' % (what, status))
            check_drawn(what, shown, took, with_share, failures)

        with open(inbox, 'rb') as f:
            folder = f.read()
        status, shown, _, took = run([converter], work, env, feed=folder)
        if status != 0:
            failures.append('from a pipe: exit %d' % status)
        check_drawn('from a pipe', shown, took, r'standard input: [\d.]+ MB, [\d.]+ MB/s', failures)

        # Nothing where no one watches, or no one wants it.
        status, _, piped, _ = run([converter, '-o', fifo, 'Inbox'], work, env, terminal_err=False,
                                  fifo=fifo, size=size)
        if status != 0 or piped:
            failures.append('standard error a pipe: exit %d, %r' % (status, piped[:200]))
        status, shown, _, _ = run([converter, '--quiet', '-o', fifo, 'Inbox'], work, env, fifo=fifo, size=size)
        if status != 0 or shown:
            failures.append('--quiet: exit %d, %r' % (status, shown[:200]))
        print('standard error a pipe, and --quiet: nothing shown')

        # No FILE, and standard input the keyboard: no folder to wait for.
        master, slave = pty.openpty()
        usage = subprocess.run([converter], cwd=work, env=env, stdin=slave, capture_output=True, timeout=30)
        os.close(slave)
        os.close(master)
        if usage.returncode != 2 or not usage.stderr.startswith(b'quorvel-convert: no FILE given\n'):
            failures.append('no FILE on a terminal: exit %d, %r' % (usage.returncode, usage.stderr))
        print('no FILE, standard input a terminal: the usage error')

    for failure in failures:
        print('FAILED: ' + failure)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
