#!/usr/bin/env python3
"""A TLS server for the IMAP tests: one port per certificate and key given, each greeting
like an IMAP server and answering OK to every command, BYE to LOGOUT.

    tls_server.py CERT KEY [CERT KEY...]

Prints the ports on one line, in the order of the certificates, then serves until killed."""
import socket
import ssl
import sys
import threading


def serve(listener, context):
    while True:
        connection, _ = listener.accept()
        try:
            secure = context.wrap_socket(connection, server_side=True)
        except (ssl.SSLError, OSError):
            connection.close()
            continue
        try:
            secure.sendall(b"* OK [CAPABILITY IMAP4rev1 AUTH=PLAIN] ready\r\n")
            for line in secure.makefile("rb"):
                tag = line.split(b" ", 1)[0]
                if b"LOGOUT" in line.upper():
                    secure.sendall(b"* BYE bye\r\n" + tag + b" OK done\r\n")
                    break
                secure.sendall(tag + b" OK done\r\n")
        except (ssl.SSLError, OSError):
            pass
        secure.close()


def main():
    ports = []
    for cert, key in zip(sys.argv[1::2], sys.argv[2::2]):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen(8)
        ports.append(str(listener.getsockname()[1]))
        threading.Thread(target=serve, args=(listener, context), daemon=True).start()
    print(" ".join(ports), flush=True)
    threading.Event().wait()


main()
