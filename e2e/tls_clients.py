#!/usr/bin/env python3
"""Mail clients that protect the connection with STARTTLS or STLS before they log in, for the
end-to-end tests. Each trusts only the certificate file CAFILE and checks the server's name
against it (127.0.0.1).

    tls_clients.py smtplib  PORT CAFILE LOGIN PASSWORD FROM TO MESSAGE_FILE
    tls_clients.py s_client-smtp PORT CAFILE LOGIN PASSWORD FROM TO MESSAGE_FILE
        send the message; print "sent <reply to the message>"
    tls_clients.py poplib   PORT CAFILE LOGIN PASSWORD
    tls_clients.py s_client-pop3 PORT CAFILE LOGIN PASSWORD
        print "count N", then each message as "message N" followed by its text

VELMO_TLS_CONNECT=ADDRESS connects there instead, and the certificate is then checked for the
name "localhost" (for a gateway that listens on every address).

"smtplib" and "poplib" are Python's own clients (starttls, stls); "s_client-*" drive
`openssl s_client -starttls smtp|pop3` line by line through its standard input and output.
Anything unexpected prints "error ..." and exits 1. The whole run is bounded by an alarm.
"""

import base64
import os
import poplib
import signal
import smtplib
import ssl
import subprocess
import sys

HOST = os.environ.get("VELMO_TLS_CONNECT", "127.0.0.1")
NAME = "localhost" if "VELMO_TLS_CONNECT" in os.environ else HOST


def say(*words):
    print(*words, flush=True)


def context(cafile):
    ctx = ssl.create_default_context(cafile=cafile)
    ctx.check_hostname = True
    return ctx


def send_smtplib(port, cafile, login, password, sender, to, message):
    with smtplib.SMTP(HOST, port, timeout=120) as client:
        client.ehlo()
        client._host = NAME  # the name the certificate is checked against
        client.starttls(context=context(cafile))
        client.ehlo()
        if client.has_extn("starttls"):
            say("error STARTTLS still offered under TLS")
            return 1
        client.login(login, password)
        client.mail(sender)
        client.rcpt(to)
        code, reply = client.data(message)
        say("sent", code, reply.decode("latin-1"))
        return 0 if code == 250 else 1


def read_poplib(port, cafile, login, password):
    client = poplib.POP3(HOST, port, timeout=120)
    capabilities = client.capa()
    if "STLS" not in capabilities:
        say("error STLS not offered:", capabilities)
        return 1
    client.host = NAME  # the name the certificate is checked against
    client.stls(context=context(cafile))
    client.user(login)
    client.pass_(password)
    count, _ = client.stat()
    say("count", count)
    for number in range(1, count + 1):
        _, lines, _ = client.retr(number)
        say("message", number)
        say(b"\r\n".join(lines).decode("latin-1"))
    client.quit()
    return 0


class SClient:
    """openssl s_client after its STARTTLS: one line out, the server's lines back."""

    def __init__(self, protocol, port, cafile):
        self.process = subprocess.Popen(
            ["openssl", "s_client", "-quiet", "-nocommands", "-crlf", "-starttls", protocol, "-connect",
             "%s:%d" % (HOST, port), "-CAfile", cafile, "-verify_return_error"]
            + (["-verify_ip", NAME] if NAME == HOST else ["-verify_hostname", NAME]),
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)

    def line(self):
        got = self.process.stdout.readline()
        if not got:
            raise RuntimeError("the connection ended")
        return got.decode("latin-1").rstrip("\r\n")

    def send(self, text):
        # -crlf turns each LF into CR LF on the way out.
        self.process.stdin.write(text.encode("latin-1") + b"\n")
        self.process.stdin.flush()

    def command(self, text, expected):
        self.send(text)
        return self.reply(expected)

    def reply(self, expected):
        while True:
            got = self.line()
            # SMTP's multi-line replies go on while the fourth character is '-'.
            if not (len(got) > 3 and got[3] == "-" and got[:3].isdigit()):
                break
        if not got.startswith(expected):
            raise RuntimeError("expected %r, got %r" % (expected, got))
        return got

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=30)


def send_s_client(port, cafile, login, password, sender, to, message):
    client = SClient("smtp", port, cafile)
    # s_client greeted and asked for STARTTLS itself; under TLS the session starts over.
    client.command("EHLO s-client", "250 ")
    auth = base64.b64encode(b"\0" + login.encode() + b"\0" + password.encode()).decode()
    client.command("AUTH PLAIN " + auth, "235 ")
    client.command("MAIL FROM:<%s>" % sender, "250 ")
    client.command("RCPT TO:<%s>" % to, "250 ")
    client.command("DATA", "354 ")
    for line in message.decode("latin-1").split("\r\n"):
        client.send("." + line if line.startswith(".") else line)
    reply = client.command(".", "250 ")
    client.command("QUIT", "221 ")
    client.close()
    say("sent", reply)
    return 0


def read_s_client(port, cafile, login, password):
    client = SClient("pop3", port, cafile)
    client.command("USER " + login, "+OK")
    client.command("PASS " + password, "+OK")
    count = int(client.command("STAT", "+OK").split()[1])
    say("count", count)
    for number in range(1, count + 1):
        client.command("RETR %d" % number, "+OK")
        lines = []
        while True:
            got = client.line()
            if got == ".":
                break
            lines.append(got[1:] if got.startswith(".") else got)
        say("message", number)
        say("\r\n".join(lines))
    client.command("QUIT", "+OK")
    client.close()
    return 0


def main(args):
    signal.alarm(240)
    kind, port, cafile = args[0], int(args[1]), args[2]
    rest = args[3:]
    try:
        if kind in ("smtplib", "s_client-smtp"):
            login, password, sender, to, message_file = rest
            with open(message_file, "rb") as source:
                message = source.read()
            send = send_smtplib if kind == "smtplib" else send_s_client
            return send(port, cafile, login, password, sender, to, message)
        read = read_poplib if kind == "poplib" else read_s_client
        return read(port, cafile, *rest)
    except Exception as error:  # the test prints what went wrong
        say("error", type(error).__name__, error)
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
