#!/usr/bin/python3
"""SMTP servers for the mail tests, on loopback addresses of a private network
namespace. Every message is stored in SPOOL/<n>/ as it arrived (raw.eml) and
decoded with the email package: meta.txt (server, login, envelope, subject),
body.txt (the text part's bytes) and attachments/<file name>.

usage: smtp_sink.py SPOOL ADDR:PORT[:auth] ...
A server marked :auth offers AUTH LOGIN (and PLAIN) and takes only the test
account; the others offer no authentication.
"""
import email
import email.header
import os
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult, LoginPassword

ACCOUNT = (b"reporter", b"s3cr=t")
spool = sys.argv[1]
counter = [0]


def decoded_subject(msg):
    raw = msg.get("Subject", "")
    parts = []
    for text, charset in email.header.decode_header(raw):
        parts.append(text if isinstance(text, bytes) else text.encode("latin-1"))
    return b"".join(parts)


class Sink:
    def __init__(self, where):
        self.where = where

    async def handle_DATA(self, server, session, envelope):
        counter[0] += 1
        folder = os.path.join(spool, str(counter[0]))
        os.makedirs(os.path.join(folder, "attachments"))
        raw = envelope.original_content
        with open(os.path.join(folder, "raw.eml"), "wb") as f:
            f.write(raw)
        msg = email.message_from_bytes(raw)
        auth = getattr(session, "auth_data", None)
        login = auth.login.decode("latin-1") if isinstance(auth, LoginPassword) else ""
        meta = [f"server {self.where}", f"login {login}", f"from {envelope.mail_from}"]
        meta += [f"rcpt {r}" for r in envelope.rcpt_tos]
        meta += [f"to {msg.get('To', '')}", f"multipart {int(msg.is_multipart())}"]
        with open(os.path.join(folder, "meta.txt"), "w") as f:
            f.write("\n".join(meta) + "\n")
        with open(os.path.join(folder, "subject.txt"), "wb") as f:
            f.write(decoded_subject(msg))
        body = b""
        for part in msg.walk():
            if part.is_multipart():
                continue
            name = part.get_filename()
            payload = part.get_payload(decode=True) or b""
            if name:
                with open(os.path.join(folder, "attachments", os.path.basename(name)), "wb") as f:
                    f.write(payload)
            elif not body:
                body = payload
        with open(os.path.join(folder, "body.txt"), "wb") as f:
            f.write(body)
        return "250 OK stored"


def authenticator(server, session, envelope, mechanism, auth_data):
    ok = isinstance(auth_data, LoginPassword) and (auth_data.login, auth_data.password) == ACCOUNT
    return AuthResult(success=ok, handled=False, auth_data=auth_data)


def main():
    controllers = []
    for spec in sys.argv[2:]:
        host, port, *flags = spec.split(":")
        kwargs = {}
        if "auth" in flags:
            kwargs = dict(authenticator=authenticator, auth_required=True, auth_require_tls=False)
        c = Controller(Sink(f"{host}:{port}"), hostname=host, port=int(port), server_hostname="sink.test",
                       ready_timeout=10, **kwargs)
        c.start()
        controllers.append(c)
    with open(os.path.join(spool, "ready"), "w") as f:
        f.write("ready\n")
    threading.Event().wait()  # until the harness ends the process


if __name__ == "__main__":
    main()
