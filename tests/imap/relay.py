# The SMTP server behind Dovecot's submission service: delivers each message
# into the recipient's Dovecot mailbox with doveadm, and refuses recipients
# called "nobody". Usage: relay.py DOVECOT_CONFIG PORT
import subprocess
import sys
import threading

from aiosmtpd.controller import Controller


class Delivery:
    async def handle_RCPT(self, server, session, envelope, address, options):
        if address.startswith("nobody@"):
            return "550 5.1.1 No such user here"
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        for recipient in envelope.rcpt_tos:
            subprocess.run(["doveadm", "-c", sys.argv[1], "save", "-u",
                            recipient.split("@")[0], "-m", "INBOX"],
                           input=envelope.original_content, check=True)
        return "250 Delivered"


relay = Controller(Delivery(), hostname="127.0.0.1", port=int(sys.argv[2]))
relay.start()
print("ready", flush=True)
threading.Event().wait()
