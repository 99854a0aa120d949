#!/usr/bin/env python3
"""Python's own POP3 client (poplib) against the local gateway, for the end-to-end tests.

    pop3_client.py PORT USER PASSWORD STEP...

Logs in with USER and PASS, then runs the steps in order and prints a transcript, one line per
reply, flushed at once so a test can follow the session:

    stat            "stat COUNT SIZE"
    list            "list +OK ..." then "list| N SIZE" per message
    list:N          "list:N +OK ..."
    uidl            "uidl +OK" then "uidl| N UID" per message
    uidl:N          "uidl:N +OK ..."
    retr:N[:FILE]   "retr:N +OK ... BYTES" (the octets poplib counted); FILE gets the text, its
                    lines joined with CR LF, dot-unstuffed as poplib returns them
    dele:N, rset, noop, quit
    wait:FILE       waits until FILE exists (the test says when to go on), prints "wait done"

A reply the client takes as an error prints "<step> ERR <reply>", and the session goes on with
the next step. The greeting prints as "welcome <greeting>", the login as "user ..." and
"pass ...".
"""

import os
import poplib
import sys
import time


def say(*words):
    print(*words, flush=True)


def text(reply):
    return reply.decode("latin-1") if isinstance(reply, bytes) else str(reply)


def run_step(client, step):
    words = step.split(":")
    name, args = words[0], words[1:]
    if name == "stat":
        count, size = client.stat()
        say(step, count, size)
    elif name in ("list", "uidl"):
        call = client.list if name == "list" else client.uidl
        if args:
            say(step, text(call(int(args[0]))))
        else:
            reply, lines, _ = call()
            say(step, text(reply))
            for line in lines:
                say(step + "|", text(line))
    elif name == "retr":
        reply, lines, octets = client.retr(int(args[0]))
        say(step, text(reply), octets)
        if len(args) > 1:
            with open(args[1], "wb") as out:
                out.write(b"".join(line + b"\r\n" for line in lines))
    elif name == "dele":
        say(step, text(client.dele(int(args[0]))))
    elif name == "rset":
        say(step, text(client.rset()))
    elif name == "noop":
        say(step, text(client.noop()))
    elif name == "quit":
        say(step, text(client.quit()))
    elif name == "wait":
        while not os.path.exists(args[0]):
            time.sleep(0.01)
        say(step.split(":")[0], "done")
    else:
        say(step, "ERR unknown step")


def guarded(step, action):
    try:
        action()
    except poplib.error_proto as error:
        say(step, "ERR", text(error.args[0]) if error.args else "")
    except (OSError, EOFError) as error:
        say(step, "ERR", "connection:", error)


def main(argv):
    port, user, password, steps = int(argv[1]), argv[2], argv[3], argv[4:]
    client = poplib.POP3("127.0.0.1", port, timeout=300)
    say("welcome", text(client.getwelcome()))
    guarded("user", lambda: say("user", text(client.user(user))))
    guarded("pass", lambda: say("pass", text(client.pass_(password))))
    for step in steps:
        guarded(step, lambda: run_step(client, step))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
