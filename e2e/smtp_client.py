#!/usr/bin/env python3
"""Python's own SMTP client against the local gateway, for the end-to-end tests.

    smtp_client.py PORT LOGIN PASSWORD MESSAGE_FILE RCPT...
        login, then sendmail; prints "DATA <code> <text>" for the reply to the message, or
        "REFUSED <address> <code> <text>" for each refused recipient (and exits 1).
    smtp_client.py --step GO_FILE PORT LOGIN PASSWORD MESSAGE_FILE RCPT1 RCPT2
        the same session driven command by command: after the first RCPT TO it prints its
        reply and waits until GO_FILE exists, then goes on with the second recipient and DATA.

Every reply line goes to standard output at once (flushed), so a test can follow the session.
"""

import os
import smtplib
import sys
import time


def say(*words):
    print(*words, flush=True)


class RecordingSMTP(smtplib.SMTP):
    """sendmail keeps the reply to DATA to itself; this keeps it for us."""

    def data(self, msg):
        code, text = super().data(msg)
        say("DATA", code, text.decode("latin-1"))
        return code, text


def send(port, login, password, message, recipients):
    with RecordingSMTP("127.0.0.1", port, timeout=120) as client:
        client.login(login, password)
        try:
            client.sendmail(login + "@velmo.test", recipients, message)
        except smtplib.SMTPRecipientsRefused as refused:
            for address, (code, text) in refused.recipients.items():
                say("REFUSED", address, code, text.decode("latin-1"))
            return 1
    return 0


def step(go_file, port, login, password, message, first, second):
    with smtplib.SMTP("127.0.0.1", port, timeout=120) as client:
        client.ehlo()
        client.login(login, password)
        client.mail(login + "@velmo.test")
        code, text = client.rcpt(first)
        say("RCPT", code, text.decode("latin-1"))
        deadline = time.monotonic() + 120
        while not os.path.exists(go_file):
            if time.monotonic() > deadline:
                say("NO-GO")
                return
            time.sleep(0.01)
        code, text = client.rcpt(second)
        say("RCPT", code, text.decode("latin-1"))
        code, text = client.data(message)
        say("DATA", code, text.decode("latin-1"))


def main(args):
    go_file = None
    if args[0] == "--step":
        go_file, args = args[1], args[2:]
    port, login, password, message_file = int(args[0]), args[1], args[2], args[3]
    with open(message_file, "rb") as file:
        message = file.read()
    if go_file:
        step(go_file, port, login, password, message, args[4], args[5])
    else:
        return send(port, login, password, message, args[4:])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
