#!/usr/bin/env python3
"""The converter's progress line as a user sees it, through a pseudo-terminal.

    progress_cases.py QUORVEL_CONVERT

Each job is made to last about 2.5 seconds by this script, which reads its OUTPUT (a FIFO)
or feeds its standard input slowly, and its last quarter more slowly still until two lines
have been drawn: on a loaded machine too, the job outlasts its first second and a redraw.
What is timed is the program's own clock against this script's, which starts first: no
line may reach the terminal within a second of the start.
  - standard error a terminal: lines "FILE: N% of M MB, R MB/s, T left", from the job's
    second second on, redrawn in place at most four times a second, the share never going
    back, and erased at the end; relabelling
    and with --keep-labels, which read through different code;
  - from a pipe: "standard input: M MB, R MB/s", with no share and no time left;
  - standard error a pipe, or --quiet: nothing;
  - with no FILE and standard input a terminal: the usage error.
Under strace, which makes each read of a small job slow rather than this script's feed:
  - -R over a tree: a line drawn over a wider one covers its tail, and a Hangul name is
    cut short at a character's start;
  - standard output the terminal that the converted mail goes to: nothing drawn on it.
"""
import os
import pty
import re
import subprocess
import sys
import tempfile
import threading
import time
import tty

SECONDS = 2.5
CHUNK = 64 * 1024
# The program's wait before it draws its line, and the longest this script waits for a
# line it expects before it takes it for never coming.
SHOW_AFTER = 1.0
PATIENCE = 60
# Microseconds that strace holds each read of a slowed job: a file of a few of the program's
# reads then takes it well over a second.
READ_DELAY = 50000


class Terminal:
    """What the terminal shows, and when its first line came."""

    def __init__(self):
        self.shown = bytearray()
        self.first_line_at = None

    def lines(self):
        return self.shown.count(b'\r')


def collect(master, terminal):
    """Appends what the terminal shows to terminal until the last program on it has ended."""
    while True:
        try:
            data = os.read(master, 4096)
        except OSError:  # EIO: no one has the terminal open any more
            return
        if not data:
            return
        if terminal.first_line_at is None and data.strip():
            terminal.first_line_at = time.monotonic()
        terminal.shown.extend(data)


def pause_before(at, size, terminal, start):
    """How long to wait before the chunk at offset at of size bytes: SECONDS over all of
    them, and, in their last quarter, until two lines have been drawn, a chunk at a time
    slowly enough for a redraw between two."""
    pause = SECONDS * CHUNK / size
    if at >= size * 3 // 4 and terminal.lines() < 2 and time.monotonic() - start < PATIENCE:
        pause = max(pause, 0.3)
    return pause


def slowly(write, data, terminal, start):
    """Writes data in chunks over at least SECONDS."""
    for at in range(0, len(data), CHUNK):
        write(data[at:at + CHUNK])
        time.sleep(pause_before(at, len(data), terminal, start))


def run(argv, work, env, terminal_err=True, feed=None, fifo=None, size=0):
    """Runs argv in work, standard error a new terminal (or a pipe), feeding standard input
    with feed slowly, or reading fifo slowly; returns the exit status, what the terminal
    showed, what went to a piped standard error, how long it took, and how long after the
    start its first line came (None where none came)."""
    master, slave = pty.openpty()
    terminal = Terminal()
    reader = threading.Thread(target=collect, args=(master, terminal))
    start = time.monotonic()
    job = subprocess.Popen(argv, cwd=work, env=env,
                           stdin=subprocess.PIPE if feed is not None else subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL,
                           stderr=slave if terminal_err else subprocess.PIPE)
    os.close(slave)
    reader.start()
    piped = b''
    if feed is not None:
        slowly(job.stdin.write, feed, terminal, start)
        job.stdin.close()
    if fifo is not None:
        at = 0
        with open(fifo, 'rb') as f:
            while True:
                got = len(f.read(CHUNK))
                if not got:
                    break
                at += got
                time.sleep(pause_before(at, size, terminal, start))
    if not terminal_err:
        piped = job.stderr.read()
    status = job.wait()
    took = time.monotonic() - start
    reader.join(PATIENCE)
    os.close(master)
    if reader.is_alive():
        raise RuntimeError('the terminal was still open %d s after the job ended' % PATIENCE)
    first = None if terminal.first_line_at is None else terminal.first_line_at - start
    return status, bytes(terminal.shown), piped, took, first


def run_slowed(argv, work, env, stdin=os.devnull, terminal_out=False):
    """Runs argv in work under strace, each of its reads slowed by READ_DELAY, with standard
    error (and standard output, where terminal_out) a raw terminal and standard input the file
    stdin; returns the exit status and what the terminal showed."""
    master, slave = pty.openpty()
    tty.setraw(slave)
    terminal = Terminal()
    reader = threading.Thread(target=collect, args=(master, terminal))
    reader.start()
    # A sanitized build's leak check cannot work under a tracer, and ends the program.
    env = dict(env, ASAN_OPTIONS=(env.get('ASAN_OPTIONS', '') + ':detect_leaks=0').lstrip(':'))
    with open(stdin, 'rb') as feed:
        status = subprocess.run(['strace', '-f', '-o', os.devnull, '-e', 'trace=read',
                                 '-e', 'inject=read:delay_exit=%d' % READ_DELAY] + argv,
                                cwd=work, env=env, stdin=feed, stdout=slave if terminal_out else subprocess.DEVNULL,
                                stderr=slave).returncode
    os.close(slave)
    reader.join(PATIENCE)
    os.close(master)
    return status, bytes(terminal.shown)


def check_drawn(what, shown, took, first, pattern, failures):
    """The lines drawn on the terminal: each matches pattern, none within the first second,
    no more than four a second, the share never going back, and all of it erased at the
    end."""
    text = shown.decode('utf-8', 'replace')
    pieces = text.split('\r')
    lines = [p for p in pieces if p.strip()]
    drawn = [re.fullmatch(pattern, line.rstrip(' ')) for line in lines]
    if len(lines) < 2 or not all(drawn):
        failures.append('%s: expected progress lines like %r, saw %r' % (what, pattern, text))
        return
    # The program's clock starts after this script's, and a line reaches the terminal after
    # it was drawn: one seen within the second was drawn within it.
    if first is not None and first < SHOW_AFTER:
        failures.append('%s: drawn %.2f s after the start' % (what, first))
    if len(lines) > took * 4 + 2:
        failures.append('%s: %d lines drawn in %.1f s' % (what, len(lines), took))
    if 'share' in pattern:
        shares = [int(m.group('share')) for m in drawn]
        if shares != sorted(shares):
            failures.append('%s: the share went back: %r' % (what, shares))
        untimed = [m.group(0) for m in drawn if not m.group('left') and m.group('share') != '100']
        if untimed:
            failures.append('%s: no time left on lines short of 100 %%: %r' % (what, untimed))
    widest = max(len(line) for line in lines)
    if not (text.endswith('\r') and pieces[-2] == ' ' * len(pieces[-2]) and len(pieces[-2]) >= widest):
        failures.append('%s: the line was not erased at the end: %r' % (what, text[-200:]))
    print('%s: %d lines in %.1f s, the first after %.2f s, the last %r, then erased' % (
        what, len(lines), took, first, lines[-1].rstrip()))


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
        # The time left is drawn while there is some: a line at 100 % may have none, once the
        # file has been read past the size it had at the start.
        with_share = (r'Inbox: (?P<share>\d{1,3})% of [\d.]+ MB, [\d.]+ MB/s(?P<left>, \d+:\d\d left)?')

        for what, options in (('relabelling to a FIFO', []), ('--keep-labels to a FIFO', ['--keep-labels'])):
            status, shown, _, took, first = run([converter] + options + ['-o', fifo, 'Inbox'], work, env,
                                                fifo=fifo, size=size)
            if status != 0:
                failures.append('%s: exit %d' % (what, status))
            check_drawn(what, shown, took, first, with_share, failures)

        with open(inbox, 'rb') as f:
            folder = f.read()
        status, shown, _, took, first = run([converter], work, env, feed=folder)
        if status != 0:
            failures.append('from a pipe: exit %d' % status)
        check_drawn('from a pipe', shown, took, first, r'standard input: [\d.]+ MB, [\d.]+ MB/s', failures)

        # Nothing where no one watches, or no one wants it.
        status, _, piped, _, _ = run([converter, '-o', fifo, 'Inbox'], work, env, terminal_err=False,
                                  fifo=fifo, size=size)
        if status != 0 or piped:
            failures.append('standard error a pipe: exit %d, %r' % (status, piped[:200]))
        status, shown, _, _, _ = run([converter, '--quiet', '-o', fifo, 'Inbox'], work, env, fifo=fifo, size=size)
        if status != 0 or shown:
            failures.append('--quiet: exit %d, %r' % (status, shown[:200]))
        print('standard error a pipe, and --quiet: nothing shown')

        # A tree whose second file has a name that, cut to the line's width, is shorter than
        # the first's path: its line covers the tail of the wider one before it, and the name
        # is cut where a character starts.
        hangul = '\ud3b8\uc9c0\ud568' * 3  # "mailbox" three times: 27 bytes, cut in a character
        with open(inbox, 'rb') as f:
            small = f.read(256 * 1024)
        small = small[:small.rindex(b'\nFrom ') + 1]
        for name in (os.path.join('h', hangul), os.path.join('a', 'b')):
            os.makedirs(os.path.join(work, os.path.dirname(name)))
            with open(os.path.join(work, name), 'wb') as f:
                f.write(small)
        status, shown = run_slowed([converter, '-R', 'h', 'a'], work, env)
        pieces = shown.split(b'\r')
        lines = [p for p in pieces if p.strip()]
        try:
            text = [p.decode('utf-8') for p in pieces]
        except UnicodeDecodeError:
            failures.append('-R: a name cut inside a character: %r' % shown[-400:])
            text = []
        narrower = [(a, b) for a, b in zip(lines, lines[1:]) if len(b) < len(a)]
        names = {m.group(1) for m in (re.match(r'(.*?): \d+/2 files', t) for t in text) if m}
        if text and (status != 0 or narrower or 'a/b' not in names or
                not any(n.startswith('...') and hangul.endswith(n[3:]) for n in names)):
            failures.append('-R: exit %d, names %r, lines that leave a tail: %r' % (status, names, narrower[:2]))
        print('-R: %d lines, naming %s, each covering the one before' % (len(lines), ' and '.join(sorted(names))))

        # The converted mail on the terminal, and nothing drawn over it.
        middle = os.path.join(work, 'middle')
        with open(middle, 'wb') as f:
            f.write(small * 8)
        with open(middle, 'rb') as f:
            converted = subprocess.run([converter], cwd=work, env=env, stdin=f, capture_output=True).stdout
        status, shown = run_slowed([converter], work, env, stdin=middle, terminal_out=True)
        if status != 0 or shown != converted:
            at = next((i for i, (a, b) in enumerate(zip(shown, converted)) if a != b), min(len(shown), len(converted)))
            failures.append('standard output the terminal: exit %d, at byte %d: %r' % (status, at, shown[at:at + 200]))
        print('standard output the terminal: the mail, and no line drawn over it')

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
