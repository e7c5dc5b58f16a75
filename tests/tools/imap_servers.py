"""Private IMAP servers on 127.0.0.1 for the tests, and a proxy that breaks their sessions.

Each server has a configuration, a scratch directory and a free port of its own (never the
system's service), and is a context manager that starts it and stops it:

  Authority(work)            a test certificate authority made with the openssl CLI
  Dovecot(work, authority)   maildir users with passwords, imaps and imap (STARTTLS) ports,
                             Trash (\\Trash, made on first login) and Junk (\\Junk)
  Courier(root, maildir)     Courier's imapd, pre-authenticated over a maildir: login() on a
                             pipe, or listen() for a loopback listener, an imapd for each
                             connection
  Hoodiecrow(root, work)     a server with Gmail's extensions, its mail in memory
  Proxy(port, ...)           between a client and a server's plain port: ends TLS with the
                             test authority's certificate, counts the client's commands, and
                             drops the connection or answers an APPEND itself at one of them
"""
import base64
import imaplib
import os
import pwd
import re
import select
import socket
import socketserver
import ssl
import subprocess
import threading
import time

DOVECOT = "/usr/sbin/dovecot"
NODE = "/usr/bin/node"
HERE = os.path.dirname(os.path.abspath(__file__))


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_port(port, proc=None, what="server"):
    for _ in range(200):
        if proc is not None and proc.poll() is not None:
            raise RuntimeError("%s exited with %d before it listened" % (what, proc.returncode))
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("%s does not listen on port %d" % (what, port))


def mutf7(name):
    """A mailbox name in IMAP's modified UTF-7 (RFC 3501 5.1.3)."""
    out, run = [], []

    def flush():
        if run:
            b64 = "".join(run).encode("utf-16-be")
            out.append("&" + base64.b64encode(b64).decode().rstrip("=").replace("/", ",") + "-")
            run.clear()
    for c in name:
        if 0x20 <= ord(c) <= 0x7e:
            flush()
            out.append("&-" if c == "&" else c)
        else:
            run.append(c)
    flush()
    return "".join(out)


class Authority:
    """A certificate authority of the test's own, and the certificates it issues: for
    localhost and 127.0.0.1 by default, for other names, or expired."""
    def __init__(self, work):
        self.dir = os.path.join(work, "ca")
        os.makedirs(os.path.join(self.dir, "issued"))
        self.cert = os.path.join(self.dir, "ca.pem")
        self._run("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Quorvel test authority",
                  "-keyout", os.path.join(self.dir, "ca.key"), "-out", self.cert)
        open(os.path.join(self.dir, "index.txt"), "w").close()
        with open(os.path.join(self.dir, "serial"), "w") as f:
            f.write("1000\n")
        with open(os.path.join(self.dir, "ca.cnf"), "w") as f:
            f.write("[ca]\ndefault_ca = test\n[test]\ndir = %s\ndatabase = $dir/index.txt\n"
                    "new_certs_dir = $dir/issued\nserial = $dir/serial\ndefault_md = sha256\n"
                    "policy = any\nunique_subject = no\n[any]\ncommonName = supplied\n" % self.dir)

    def _run(self, *args):
        subprocess.run(("openssl",) + args, check=True, capture_output=True, cwd=self.dir)

    def issue(self, name="localhost", hosts=("localhost", "127.0.0.1"), expired=False):
        """(certificate, key) files, the certificate naming hosts (DNS names or addresses)."""
        base = os.path.join(self.dir, name + ("-expired" if expired else ""))
        if os.path.exists(base + ".pem"):
            return base + ".pem", base + ".key"
        self._run("req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=" + hosts[0], "-keyout", base + ".key",
                  "-out", base + ".csr")
        with open(base + ".ext", "w") as f:
            f.write("subjectAltName = %s\nextendedKeyUsage = serverAuth\n" % ",".join(
                ("IP:" if re.match(r"^[\d.]+$|:", h) else "DNS:") + h for h in hosts))
        dates = ["-startdate", "20200101000000Z", "-enddate", "20200201000000Z"] if expired else ["-days", "2"]
        self._run("ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", self.cert, "-keyfile", "ca.key",
                  "-in", base + ".csr", "-out", base + ".pem", "-extfile", base + ".ext", *dates)
        return base + ".pem", base + ".key"

    def client_context(self):
        ctx = ssl.create_default_context(cafile=self.cert)
        return ctx


class Dovecot:
    """Dovecot with users (name, password[, mail location], a maildir by default), an imaps
    port and an imap port that offers STARTTLS, both on 127.0.0.1; without an authority, the
    imap port alone, no TLS."""
    def __init__(self, work, authority=None, users=(("md", "pass"),)):
        self.work, self.port, self.users = work, free_port(), {u[0]: u[1] for u in users}
        self.imaps_port = free_port() if authority else 0
        self.conf = os.path.join(work, "dovecot.conf")
        # Dovecot serves no mail to root: as root, the users are nobody's.
        self.uid, self.gid = (os.getuid(), os.getgid()) if os.getuid() != 0 else (65534, 65534)
        with open(os.path.join(work, "users"), "w") as f:
            for user, password, *mail in users:
                f.write(self.user_line(user, password, mail[0] if mail else "maildir:~/Maildir"))
        tls = "ssl = no\n"
        if authority:
            cert, key = authority.issue()
            tls = "ssl = yes\nssl_cert = <%s\nssl_key = <%s\n" % (cert, key)
        with open(self.conf, "w") as f:
            f.write("""base_dir = {w}/run
state_dir = {w}/state
log_path = {w}/dovecot.log
protocols = imap
listen = 127.0.0.1
{tls}disable_plaintext_auth = no
auth_mechanisms = plain
first_valid_uid = 0
first_valid_gid = 0
default_internal_user = dovecot
default_login_user = dovenull
passdb {{
  driver = passwd-file
  args = {w}/users
}}
userdb {{
  driver = passwd-file
  args = {w}/users
}}
namespace inbox {{
  inbox = yes
  mailbox Trash {{
    special_use = \\Trash
    auto = create
  }}
  mailbox Junk {{
    special_use = \\Junk
    auto = create
  }}
}}
service imap-login {{
  chroot =
  inet_listener imap {{
    address = 127.0.0.1
    port = {port}
  }}
  inet_listener imaps {{
    address = 127.0.0.1
    port = {imaps}
  }}
}}
service anvil {{
  chroot =
}}
""".format(w=work, port=self.port, imaps=self.imaps_port, tls=tls))

    def user_line(self, user, password, mail):
        home = os.path.join(self.work, user)
        os.makedirs(os.path.join(home, "mail"), exist_ok=True)
        for d in (home, os.path.join(home, "mail")):
            os.chown(d, self.uid, self.gid)
        return "%s:{PLAIN}%s:%d:%d::%s::userdb_mail=%s\n" % (user, password, self.uid, self.gid, home, mail)

    def start(self):
        subprocess.run([DOVECOT, "-c", self.conf], check=True)
        wait_port(self.port, what="Dovecot")
        return self

    def stop(self):
        subprocess.run([DOVECOT, "-c", self.conf, "stop"], capture_output=True)
        for _ in range(100):
            if not os.path.exists(os.path.join(self.work, "run", "master.pid")):
                break
            time.sleep(0.05)

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def login(self, user="md"):
        imap = imaplib.IMAP4("127.0.0.1", self.port)
        imap.login(user, self.users.get(user, "pass"))
        return imap

    def errors(self):
        with open(os.path.join(self.work, "dovecot.log"), errors="replace") as f:
            return [l for l in f if re.search(r"Error|Panic|Fatal|Warning", l) and "Killed with signal" not in l]


class Courier:
    """Courier-IMAP's imapd over one maildir, a process for each session: on a pipe
    (login()), or for each connection to a loopback port (listen(), or with)."""
    def __init__(self, root, maildir):
        self.root, self.maildir, self.port, self._server = os.path.abspath(root), maildir, 0, None
        for sub in ("cur", "new", "tmp"):
            os.makedirs(os.path.join(maildir, sub), exist_ok=True)
        # Without a file monitor, each start and SELECT waits 1.25 s for one that never comes,
        # and the greeting begins with an alert. A socket where the monitor's library looks
        # for one, closed at once, makes it give up at once.
        self.monitor_id = "quorvel%d.%d" % (os.getpid(), id(self))
        name = ("/tmp/fam-%s-%s" % (pwd.getpwuid(os.getuid()).pw_name, self.monitor_id)).encode()
        self._monitor = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self._monitor.bind(b"\0" + name + b"\0" * (107 - len(name)))  # abstract, as the library pads it
        self._monitor.listen(64)
        threading.Thread(target=self._refuse, daemon=True).start()

    def _refuse(self):
        while True:
            try:
                self._monitor.accept()[0].close()
            except OSError:
                return

    @staticmethod
    def available(root):
        return bool(root) and os.access(os.path.join(root, "usr", "bin", "imapd"), os.X_OK)

    def command(self):
        libs = "%s/usr/lib/x86_64-linux-gnu:%s/usr/lib" % (self.root, self.root)
        # What it offers, as its shipped configuration says (UIDPLUS...): else IMAP4rev1 alone.
        with open(os.path.join(self.root, "etc", "courier", "imapd"), errors="replace") as f:
            offers = re.search(r'^IMAP_CAPABILITY="([^"]*)"', f.read(), re.M)
        return ("cd '%s' && exec env -i LD_LIBRARY_PATH='%s' GAM_CLIENT_ID='%s' IMAP_KEYWORDS=1 IMAP_CAPABILITY='%s' "
                "'%s/usr/bin/imapd' . 2>/dev/null" % (self.maildir, libs, self.monitor_id,
                                                     offers.group(1) if offers else "IMAP4rev1", self.root))

    ALERT = re.compile(rb"^\* OK \[ALERT\] Filesystem notification[^\n]*\n")

    def login(self, user=None):
        # Now and then the monitor's library still fails slowly, and the alert would hide the
        # PREAUTH greeting: sed takes it out.
        return imaplib.IMAP4_stream(self.command() + " | LC_ALL=C sed -u '/^[*] OK [[]ALERT[]] Filesystem notification/d'")

    def listen(self):
        command = self.command()

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                imapd = subprocess.Popen(["/bin/sh", "-c", command], stdin=self.request.fileno(),
                                         stdout=subprocess.PIPE)
                first = True
                while True:
                    data = imapd.stdout.read1(65536)
                    if not data:
                        break
                    if first:
                        while b"\n" not in data and len(data) < 4096:
                            more = imapd.stdout.read1(65536)
                            if not more:
                                break
                            data += more
                        data, first = Courier.ALERT.sub(b"", data, count=1), False
                    try:
                        self.request.sendall(data)
                    except OSError:
                        break
                imapd.stdout.close()
                imapd.wait()

        self._server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def stop(self):
        if self._server:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        try:
            self._monitor.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        self._monitor.close()

    __enter__ = listen

    def __exit__(self, *exc):
        self.stop()


class Hoodiecrow:
    """The npm package hoodiecrow-imap (ROOT: where scripts/install-deps installed it), with
    the plugins that emulate Gmail, one user, INBOX and [Gmail]/All Mail, Trash, Spam...; TLS
    on its port where an authority is given. Its mail lives in memory, gone when it stops."""
    def __init__(self, root, work, authority=None, user="testuser", password="testpass"):
        self.root, self.work, self.user, self.password = os.path.abspath(root), work, user, password
        self.port, self.tls, self.proc = free_port(), authority is not None, None
        self.args = [NODE, os.path.join(HERE, "hoodiecrow_server.js"), self.root, str(self.port), user, password]
        if authority:
            self.args += authority.issue()

    @staticmethod
    def available(root):
        return bool(root) and os.path.exists(NODE) and os.path.isdir(
            os.path.join(root, "node_modules", "hoodiecrow-imap"))

    def start(self):
        self.log = open(os.path.join(self.work, "hoodiecrow.log"), "wb")
        self.proc = subprocess.Popen(self.args, stdout=self.log, stderr=subprocess.STDOUT)
        wait_port(self.port, self.proc, "hoodiecrow")
        return self

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(10)
        self.proc = None

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()

    def login(self, user=None, context=None):
        if self.tls:
            imap = imaplib.IMAP4_SSL("127.0.0.1", self.port, ssl_context=context)
        else:
            imap = imaplib.IMAP4("127.0.0.1", self.port)
        imap.login(self.user, self.password)
        return imap


class Proxy:
    """A loopback proxy in front of a server's port (upstream: plain, or TLS with the client
    context upstream_tls). With cert (and key) it ends TLS itself, so that a client speaks
    imaps to it with the test authority's trust; it never passes TLS through.

    It counts the client's commands over all connections (a line that starts with a tag and
    a command; a literal's bytes are not commands) in self.commands, and at the k-th:
      "before"  closes both sides before forwarding it,
      "after"   forwards it, lets the server carry it out, and closes before the answer
                returns,
      "call"    calls action() and goes on,
      "answer"  answers it itself with the status action (b"NO [THROTTLED] ..."), forwarding
                nothing of it.
    With duplicate (a function (mailbox, message_id) -> (uidvalidity, uid) or None) it
    imitates a server that drops an APPEND of a Message-ID it already holds: it answers such
    an APPEND itself, OK [APPENDUID uidvalidity uid] with the message that was there, and
    forwards nothing of it. Other APPENDs go on with a non-synchronizing literal, which the
    server must then take (LITERAL+). After a STARTTLS it passes the bytes through, and
    counts no more."""
    def __init__(self, upstream, cert=None, key=None, mode=None, k=0, action=None, duplicate=None, upstream_tls=None):
        self.upstream, self.mode, self.k, self.action, self.duplicate = upstream, mode, k, action, duplicate
        self.upstream_tls = upstream_tls
        self.commands, self.dropped, self.answered = [], False, []
        self.lock = threading.Lock()
        self.ctx = None
        if cert:
            self.ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            self.ctx.load_cert_chain(cert, key)
        proxy = self

        class Handler(socketserver.BaseRequestHandler):
            def handle(self):
                proxy.session(self.request)

        self._server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Handler)
        self._server.daemon_threads = True
        self.port = self._server.server_address[1]

    def arm(self, mode, k, action=None):
        """The next fault, counting commands from here."""
        with self.lock:
            self.mode, self.k, self.action, self.commands, self.dropped = mode, k, action, [], False

    def __enter__(self):
        threading.Thread(target=self._server.serve_forever, daemon=True).start()
        return self

    def __exit__(self, *exc):
        self._server.shutdown()
        self._server.server_close()

    def session(self, client):
        """One connection, in one thread: an SSL socket is not to be read and written from two
        at once. The client's bytes go through commands(), a generator that takes them as they
        come; the server's go back as they come, but none once a fault has cut the answer."""
        if self.ctx:
            try:
                client = self.ctx.wrap_socket(client, server_side=True)
            except (ssl.SSLError, OSError):
                client.close()
                return  # the client refused the certificate: what a refusal test wants
        try:
            server = socket.create_connection(("127.0.0.1", self.upstream))
            if self.upstream_tls:
                server = self.upstream_tls.wrap_socket(server, server_hostname="127.0.0.1")
        except OSError:
            client.close()
            return
        io = {"in": b"", "answer": b"", "mute": None, "client": client, "server": server}
        steps = self.commands_of(io)
        try:
            next(steps)
            while True:
                ready = [s for s in (client, server) if isinstance(s, ssl.SSLSocket) and s.pending()] or \
                    select.select([client, server], [], [], 0.1)[0]
                if server in ready:
                    data = self._recv(server)
                    if data == b"":
                        break
                    if data and io["mute"] is None:
                        client.sendall(data)
                    elif data:
                        io["answer"] += data
                if client in ready:
                    data = self._recv(client)
                    if data == b"":
                        break
                    io["in"] += data or b""
                next(steps)  # also on a timeout: an answer is waited for in time
        except (OSError, StopIteration):
            pass
        for sock in (client, server):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            sock.close()

    @staticmethod
    def _recv(sock):
        """What came, b"" at the end, None when what came was no data (a TLS session ticket)."""
        sock.setblocking(False)
        try:
            return sock.recv(65536)
        except (ssl.SSLWantReadError, BlockingIOError):
            return None
        finally:
            sock.setblocking(True)

    @staticmethod
    def _line(io):
        while b"\r\n" not in io["in"]:
            yield
        out, _, io["in"] = io["in"].partition(b"\r\n")
        return out

    @staticmethod
    def _literal(io, size):
        while len(io["in"]) < size:
            yield
        out, io["in"] = io["in"][:size], io["in"][size:]
        return out

    def commands_of(self, io):
        """The client's commands, each counted and forwarded, or not; ends the session by
        returning."""
        client, server = io["client"], io["server"]
        while True:
            text = yield from self._line(io)
            m = re.match(rb"([^ (){%*\"\\\]+]+) ((?:UID )?[A-Za-z]+)", text, re.I)
            if not m:
                server.sendall(text + b"\r\n")  # an answer to a continuation, or DONE
                continue
            tag, verb = m.group(1), m.group(2).decode().upper()
            with self.lock:
                self.commands.append(verb)
                fault = self.mode if len(self.commands) == self.k else None
            if fault == "before":
                self.dropped = True
                return
            if fault == "call":
                self.action()
            if fault == "answer":
                # Its literals taken in, where the client sends them without waiting.
                while re.search(rb"\{\d+\+\}$", text):
                    yield from self._literal(io, int(re.search(rb"\{(\d+)\+\}$", text).group(1)))
                    text = yield from self._line(io)
                client.sendall(tag + b" " + self.action + b"\r\n")
                self.dropped = True
                continue
            if verb == "APPEND" and self.duplicate:
                yield from self._append(io, tag, text)
                continue
            if verb == "STARTTLS":
                # TLS between client and server from here: passed through, nothing counted.
                server.sendall(text + b"\r\n")
                while True:
                    yield
                    server.sendall(io["in"])
                    io["in"] = b""
            # Forwarded as it comes: the server's "+" for a literal reaches the client.
            while True:
                lit = re.search(rb"\{(\d+)\+?\}$", text)
                if not lit:
                    break
                server.sendall(text + b"\r\n")
                server.sendall((yield from self._literal(io, int(lit.group(1)))))
                text = yield from self._line(io)
            if fault == "after":
                io["mute"] = re.compile(rb"(^|\n)" + re.escape(tag) + rb" ")
                server.sendall(text + b"\r\n")
                waited = time.time()
                while not io["mute"].search(io["answer"]) and time.time() - waited < 5:
                    yield
                self.dropped = True
                return
            server.sendall(text + b"\r\n")

    def _append(self, io, tag, text):
        """APPEND mailbox [flags] [date] {n}: answered here where its Message-ID is held;
        else sent on, its literals non-synchronizing."""
        parts = []
        while True:
            lit = re.search(rb"\{(\d+)(\+?)\}$", text)
            if not lit:
                break
            if not lit.group(2):
                io["client"].sendall(b"+ go on\r\n")
            data = yield from self._literal(io, int(lit.group(1)))
            parts += [text[:lit.start()] + b"{%d+}" % len(data), data]
            text = yield from self._line(io)
        parts.append(text)
        m = re.match(rb'\S+ APPEND ("(?:[^"\\]|\\.)*"|\S+)', parts[0], re.I)
        mailbox = m.group(1).strip(b'"').decode() if m else "INBOX"
        mid = re.search(rb"(?im)^Message-ID:[ \t]*(<[^>\r\n]*>)", parts[1].split(b"\r\n\r\n")[0]) \
            if len(parts) > 1 else None
        held = self.duplicate(mailbox, mid.group(1).decode()) if mid else None
        if held:
            self.answered.append((mid.group(1).decode(), held))
            io["client"].sendall(b"%s OK [APPENDUID %d %d] APPEND completed\r\n" % (tag, held[0], held[1]))
            return
        io["server"].sendall(b"".join(p if i % 2 else p + b"\r\n" for i, p in enumerate(parts)))
