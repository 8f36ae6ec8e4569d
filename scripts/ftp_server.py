#!/usr/bin/python3
"""A small local update server: FTP on pyftpdlib, one read-only account.

Serves the demo (scripts/sample_update as the root) and the tests, which start it on a free
loopback port and read its log. Run it with an interpreter that has pyftpdlib (Debian: python3
with python3-pyftpdlib).

  --port 0 binds a free port; --port-file F receives the bound port once the server accepts
  connections (written whole, by rename, so a reader never sees half a number).
  --log F gets one line per event: "<connection id> <event> <argument>", the argument being the
  rest of the line, verbatim. Events: connect (peer address), cmd (the command and its literal
  argument; a password shows as ***), login, login-failed (the account), sent (a RETR that
  completed: the literal path and the bytes sent), disconnect. Connection ids count from 1 over
  the server's life, so a test counts control connections by their connect lines. The first
  line, "0 listening <address>[ named-faults]", says how the server was started.

Fault modes, for tests:
  --drop-after N    after N bytes of a RETR, close the data and the control connection
  --stall-after N   after N bytes of a RETR, send nothing more but keep both connections open
  --fault-file NAME apply the two above only to RETRs whose last path component is NAME
  --named-faults    a RETR of a file named "drop-after-N..." or "stall-after-N..." (the last
                    path component) gets that fault: one server then serves good and faulty
                    files alike, so tests can use a server started once, outside
  --refuse-logins   answer every login with 530
  --mute            accept connections but never send a reply, not even the greeting
SIGTERM and SIGINT end the server cleanly.
"""

import argparse
import itertools
import logging
import os
import re
import signal
import sys

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import DTPHandler, FTPHandler
from pyftpdlib.servers import FTPServer


class EventLog:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8", errors="backslashreplace",
                          buffering=1) if path else None

    def write(self, conn_id, event, argument=""):
        if self._file:
            line = f"{conn_id} {event} {argument}" if argument else f"{conn_id} {event}"
            self._file.write(line + "\n")


class RefusingAuthorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        raise AuthenticationFailed("Login refused.")


NAMED_FAULT = re.compile(r"(drop|stall)-after-(\d+)")


class FaultyDTPHandler(DTPHandler):
    """Sends up to the fault's byte count, then drops or stalls (the command channel's fault)."""

    _stalled = False

    def send(self, data):
        fault = getattr(self.cmd_channel, "fault", None)
        if fault is None or self.cmd != "RETR":
            return super().send(data)
        kind, limit = fault
        if self._stalled:
            return 0
        room = max(limit - self.tot_bytes_sent, 0)
        sent = super().send(data[:room]) if room else 0
        if self.tot_bytes_sent >= limit:
            if kind == "drop":
                # The server "dies": both connections go without a reply.
                self.cmd_channel.close()
            else:
                # Out of the event loop but not closed: the client sees an open, silent
                # connection. The object stays referenced by its command channel.
                self._stalled = True
                self.del_channel()
        return sent


class Handler(FTPHandler):
    log_events = EventLog(None)
    fixed_fault = None  # ("drop" or "stall", bytes) from the command line
    fault_file = None
    named_faults = False
    mute = False
    _ids = itertools.count(1)

    def handle(self):
        self.conn_id = next(self._ids)
        if self.mute:
            self.log_events.write(self.conn_id, "connect", f"{self.remote_ip}:{self.remote_port}")
            return
        super().handle()

    def on_connect(self):
        self.log_events.write(self.conn_id, "connect", f"{self.remote_ip}:{self.remote_port}")

    def on_disconnect(self):
        self.log_events.write(self.conn_id, "disconnect")

    def on_login(self, username):
        self.log_events.write(self.conn_id, "login", username)

    def on_login_failed(self, username, password):
        self.log_events.write(self.conn_id, "login-failed", username)

    def on_file_sent(self, file):
        size = self.data_channel.tot_bytes_sent if self.data_channel else ""
        self.log_events.write(self.conn_id, "sent", f"{self.retr_arg} {size}".rstrip())

    def pre_process_command(self, line, cmd, arg):
        shown = "***" if cmd == "PASS" else arg
        self.log_events.write(self.conn_id, "cmd", f"{cmd} {shown}" if arg else cmd)
        if cmd == "RETR":
            self.retr_arg = arg
            name = arg.split("/")[-1]
            named = NAMED_FAULT.match(name) if self.named_faults else None
            if named:
                self.fault = (named.group(1), int(named.group(2)))
            elif self.fault_file is None or name == self.fault_file:
                self.fault = self.fixed_fault
            else:
                self.fault = None
        return super().pre_process_command(line, cmd, arg)


def parse_args(argv):
    parser = argparse.ArgumentParser(description="Local FTP update server")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--root", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--port-file")
    parser.add_argument("--log")
    faults = parser.add_mutually_exclusive_group()
    faults.add_argument("--drop-after", type=int, metavar="N")
    faults.add_argument("--stall-after", type=int, metavar="N")
    parser.add_argument("--fault-file", metavar="NAME")
    parser.add_argument("--named-faults", action="store_true")
    parser.add_argument("--refuse-logins", action="store_true")
    parser.add_argument("--mute", action="store_true")
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    logging.basicConfig(level=logging.WARNING)
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)

    authorizer = RefusingAuthorizer() if args.refuse_logins else DummyAuthorizer()
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root), perm="elr")

    Handler.authorizer = authorizer
    Handler.dtp_handler = FaultyDTPHandler
    Handler.log_events = EventLog(args.log)
    if args.drop_after is not None:
        Handler.fixed_fault = ("drop", args.drop_after)
    elif args.stall_after is not None:
        Handler.fixed_fault = ("stall", args.stall_after)
    Handler.fault_file = args.fault_file
    Handler.named_faults = args.named_faults
    Handler.mute = args.mute
    Handler.banner = "Kestrin update server ready."
    # The fault modes count bytes in send(); sendfile would bypass it.
    Handler.use_sendfile = False
    # The library waits 3 s before refusing a login; tests want the answer at once.
    Handler.auth_failed_timeout = 0
    Handler.permit_foreign_addresses = False

    server = FTPServer((args.host, args.port), Handler)
    port = server.socket.getsockname()[1]
    mode = " named-faults" if args.named_faults else ""
    Handler.log_events.write(0, "listening", f"{args.host}:{port}{mode}")
    if args.port_file:
        partial = args.port_file + ".part"
        with open(partial, "w", encoding="ascii") as f:
            f.write(f"{port}\n")
        os.replace(partial, args.port_file)

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    server.serve_forever(handle_exit=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
