# A scripted IMAP server for the failures a real one will not play on demand.
# Usage: fakeimap.py MODE; prints its port. MODE: "silent" (never answers),
# "garbage" (greets like no IMAP server), "locked" (SELECT finds the mailbox
# in use elsewhere).
import socket
import sys
import threading

mode = sys.argv[1]
server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen()
print(server.getsockname()[1], flush=True)


def serve(client):
    lines = client.makefile("rb")
    if mode == "silent":
        lines.read()
        return
    if mode == "garbage":
        client.sendall(b"220 \x01\x02 mail.example.org ESMTP\r\n")
    else:
        client.sendall(b"* OK [CAPABILITY IMAP4rev1] fake ready\r\n")
    for line in lines:
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
    threading.Thread(target=serve, args=(connection,), daemon=True).start()
