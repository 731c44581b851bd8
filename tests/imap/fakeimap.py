# A scripted IMAP server for the failures a real one will not play on demand.
# Usage: fakeimap.py MODE; prints its port. MODE: "silent" (never answers),
# "garbage" (greets like no IMAP server), "locked" (SELECT finds the mailbox
# in use elsewhere), "tls DIR" (IMAP over TLS with a certificate of its own,
# made in DIR; it prints every line it is sent and when each connection
# closed), "smtptls DIR" (the same, greeting as an SMTP server).
import socket
import ssl
import subprocess
import sys
import threading

mode = sys.argv[1]
accepted = 0
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()
tls = mode in ("tls", "smtptls")
if tls:
    other = [sys.argv[2] + name for name in ("/other.pem", "/other.key")]
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj",
                    "/CN=127.0.0.1", "-out", other[0], "-keyout", other[1]], check=True,
                   capture_output=True)
print(server.getsockname()[1], flush=True)


def serve(client, number):
    try:
        if tls:
            context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            context.load_cert_chain(*other)
            client = context.wrap_socket(client, server_side=True)
        talk(client, client.makefile("rb"))
    except OSError:  # a refused handshake among them
        pass
    if tls:
        print("connection", number, "closed", flush=True)


def talk(client, lines):
    if mode == "silent":
        lines.read()
        return
    if mode in ("garbage", "smtptls"):
        client.sendall(b"220 \x01\x02 mail.example.org ESMTP\r\n")
    else:
        client.sendall(b"* OK [CAPABILITY IMAP4rev1] fake ready\r\n")
    for line in lines:
        if tls:
            print("connection sent", line, flush=True)
        tag, command = (line.split(b" ") + [b""])[:2]
        command = command.strip().upper()
        if command == b"CAPABILITY":
            reply = b"* CAPABILITY IMAP4rev1\r\n" + tag + b" OK done\r\n"
        elif command == b"LIST":
            reply = b'* LIST () "/" INBOX\r\n' + tag + b" OK done\r\n"
        elif command in (b"SELECT", b"EXAMINE"):
            reply = tag + b" NO [INUSE] Mailbox is locked by another session\r\n"
        elif command == b"LOGOUT":
            reply = b"* BYE\r\n" + tag + b" OK bye\r\n"
        else:
            reply = tag + b" OK done\r\n"
        client.sendall(reply)


while True:
    connection, _ = server.accept()
    accepted += 1
    threading.Thread(target=serve, args=(connection, accepted), daemon=True).start()
