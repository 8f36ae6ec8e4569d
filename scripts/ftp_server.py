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
  completed: the literal path and the bytes sent), cut (a RETR the server broke off, drop-after:
  the path and the bytes sent), busy (a 421 refusal: the command refused, or "greeting"),
  sessions (right after each login: the sessions logged in at that moment, this one included,
  so that the largest tells how many were logged in at once at the most), too-many (a login
  refused with 530 at --max-logins: the account), disconnect. Connection ids count from 1 over
  the server's life, so a test counts control connections by their connect lines. The first
  line, "0 listening <address>[ named-faults]", says how the server was started.

Fault modes, for tests:
  --drop-after N    after N bytes of a RETR, close the data and the control connection
  --stall-after N   after N bytes of a RETR, send nothing more but keep both connections open
  --fault-file NAME apply the two above only to RETRs whose last path component is NAME
  --named-faults    faults chosen by the file asked for, so that one server started once (as
                    the Windows tests need it: a program under Wine cannot start it) serves good
                    and faulty files alike. The faults of a path are the words of its sidecar
                    file "<path>.fault" in the served tree when there is one, else the words
                    that begin its last component, joined by "+" and ended by its first dot
                    ("size-10+drip-5.bin"). Words:
                      drop-after-N   after N bytes, close the data and the control connection
                      cut-after-N    after N bytes, close the data connection only and answer
                                     426 on the control connection (reply-N: that reply
                                     instead; noreply: none), which stays open
                      stall-after-N  after N bytes, send nothing more, keep both open
                      drip-N         send one byte every N milliseconds
                      endless        send bytes for ever (at full speed, or as drip-N says)
                      size-N         answer SIZE with N, whatever the file holds
                      nosize         refuse SIZE (502, as a server without it does)
                      count-N        end the RETR's 125/150 reply with "(N bytes)"
                      reply-N        close a transfer that went through with reply N, not 226
                      hangup         after the transfer's 226, close the control connection
                                     (as a server does that ends idle or counted sessions)
                      once           the faults above hold for the file's first RETR only (of
                                     those while it had faults, in the server's life): a
                                     transfer cut off once, whole after
                      norest         refuse REST (502) after a SIZE of the file, as a server
                                     that cannot resume (both clients ask the size first)
                      ignorerest     answer REST with 350 and still send the file from byte 0
                      fullcount      the RETR's 125/150 reply names the whole file's size, also
                                     after a REST (as count-N, but not ended by once)
                      restbusy-N     answer the file's first N RESTs with 421 and close the
                                     control connection
                      nomdtm         refuse MDTM (502), as a server that cannot tell the time
                      changes        at the file's first cut, the server's copy is replaced by
                                     "<path>.next" (the same size, say, and a later time)
                    norest, ignorerest, fullcount, restbusy-N and nomdtm hold also after once
                    ended the others (they are the file's, not its transfer's).
                      busy-N         answer the file's first N RETRs (as once counts them) with
                                     421 and close the control connection, as a server that
                                     reaches its limit does
                    A file with faults that announce nothing (endless) refuses SIZE too.
  --refuse-logins   answer every login with 530
  --mute            accept connections but never send a reply, not even the greeting
  --mute-on CMD     never answer that command (USER, PASS, ...): the connection stays open
  --busy N          answer the first N connections with 421 and close them, at the greeting or,
                    with --busy-on CMD, in reply to that command (USER, PASS, ...); a large N
                    is a server that stays busy. A server that stays down is a closed port.
  --max-connections K
                    a server at its connection limit: a connection made while K others are open
                    is greeted with 421 and closed (logged as busy at the greeting); the
                    connections it refuses do not count towards the K
  --max-logins K    a login (PASS) while K sessions are logged in is answered 530 "too many" and
                    its connection closed, as servers with a limit of sessions an account answer
  The first log line names the limits set ("max-connections=K", "max-logins=K").

A link, for tests and the benchmark (the server stands for the far end of a slow link, so the
data connections of active mode are held as well, which a relay in front would not see):
  --rtt-ms N        every exchange costs a round trip of N ms: each reply (and everything else
                    the server sends, the data included) goes out N ms after the server would
                    send it, in order; the greeting waits twice as long (the connection's
                    handshake, then the greeting); an active data connection is connected N ms
                    late (its handshake), so that a PORT, whose reply this server sends once the
                    data connection is up, costs two round trips and a RETR one. The wait is the
                    event loop's timer: other connections go on meanwhile. Passive connections
                    the client opens are answered by the system at once, so passive mode costs a
                    round trip a transfer less than on a real link.
  --bandwidth B     data connections send at most B bytes a second each (0: no cap)
  --announce-size   end every RETR's 125/150 reply with the file's size, "(N bytes)", as many
                    servers do (vsftpd, ProFTPD); the count-N fault word still wins
  The first log line names them ("0 listening <address> rtt-ms=N bandwidth=B").
--writable makes the account a writing one (a publisher's upload): it may also store, delete,
  rename and make directories.
SIGTERM and SIGINT end the server cleanly.
"""

import argparse
import collections
import itertools
import logging
import os
import re
import signal
import sys
import threading
import time

from pyftpdlib.authorizers import AuthenticationFailed, DummyAuthorizer
from pyftpdlib.handlers import ActiveDTP, DTPHandler, FTPHandler
from pyftpdlib.servers import ThreadedFTPServer


class EventLog:
    def __init__(self, path):
        self._file = open(path, "a", encoding="utf-8", errors="backslashreplace",
                          buffering=1) if path else None
        self._lock = threading.Lock()

    def write(self, conn_id, event, argument=""):
        if self._file:
            line = f"{conn_id} {event} {argument}" if argument else f"{conn_id} {event}"
            with self._lock:
                self._file.write(line + "\n")


class RefusingAuthorizer(DummyAuthorizer):
    def validate_authentication(self, username, password, handler):
        raise AuthenticationFailed("Login refused.")


FAULT_WORD = re.compile(
    r"(drop-after|cut-after|stall-after|drip|size|count|reply|busy|restbusy)-(\d+)$|"
    r"(endless|nosize|hangup|once|norest|ignorerest|fullcount|nomdtm|changes|noreply)$")
# Bytes for ever: what an endless file sends.
ENDLESS_CHUNK = bytes(range(256)) * 256


class Faults:
    """What the server does wrong for one path; empty when it serves the file as it is."""

    def __init__(self, words=()):
        self.cut = None        # ("drop" or "stall", bytes)
        self.drip_ms = None
        self.endless = False
        self.size = None       # what SIZE answers; "refuse" for 502
        self.count = None      # the byte count the 125/150 reply names
        self.reply = None      # the code of the reply that closes a whole transfer
        self.hangup = False    # the control connection ends after the transfer
        self.once = False      # the faults hold for the file's first RETR only
        self.norest = False    # REST after a SIZE of the file is refused
        self.busy = 0          # RETRs of the file answered 421
        self.ignorerest = False  # REST answered 350 and not kept
        self.fullcount = False   # the 125/150 reply names the whole file's size
        self.restbusy = 0        # RESTs of the file answered 421
        self.nomdtm = False      # MDTM refused
        self.changes = False     # the file is replaced by <path>.next at its first cut
        self.noreply = False     # a cut-after transfer ends without a reply
        for word in words:
            m = FAULT_WORD.match(word)
            if not m:
                break
            kind, number = m.group(1), int(m.group(2) or 0)
            if kind in ("drop-after", "cut-after", "stall-after"):
                self.cut = (kind.split("-")[0], number)
            elif kind == "drip":
                self.drip_ms = number
            elif kind == "size":
                self.size = number
            elif kind == "count":
                self.count = number
            elif kind == "reply":
                self.reply = number
            elif kind == "busy":
                self.busy = number
            elif kind == "restbusy":
                self.restbusy = number
            elif m.group(3) in ("ignorerest", "fullcount", "nomdtm", "changes", "noreply"):
                setattr(self, m.group(3), True)
            elif m.group(3) == "endless":
                self.endless = True
            elif m.group(3) == "hangup":
                self.hangup = True
            elif m.group(3) == "once":
                self.once = True
            elif m.group(3) == "norest":
                self.norest = True
            else:
                self.size = "refuse"
        if self.endless and self.size is None:
            self.size = "refuse"

    def __bool__(self):
        return bool(self.cut or self.endless or self.drip_ms is not None or
                    self.size is not None or self.count is not None or
                    self.reply is not None or self.hangup or self.norest or self.busy or
                    self.ignorerest or self.fullcount or self.restbusy or self.nomdtm or
                    self.changes)

    @classmethod
    def named(cls, root, path):
        """The faults of a path below the login directory: its sidecar file's words, else the
        words that begin its last component."""
        sidecar = os.path.join(root, *path.lstrip("/").split("/")) + ".fault"
        try:
            with open(sidecar, encoding="ascii") as f:
                return cls(f.read().replace("+", " ").split())
        except (OSError, ValueError):
            pass
        stem = path.split("/")[-1].split(".")[0]
        return cls(stem.split("+"))

    @classmethod
    def fixed(cls, kind, count):
        faults = cls()
        faults.cut = (kind, count)
        return faults


class EndlessProducer:
    def more(self):
        return ENDLESS_CHUNK


class Link:
    """The round trip and the data bandwidth the server acts out (--rtt-ms, --bandwidth)."""
    rtt = 0.0         # seconds
    bandwidth = 0     # bytes a second a data connection; 0: no cap


class HeldOutput:
    """What a control connection sends, each piece released a round trip after it was sent, in
    order: the event loop's timer releases them, so nothing else waits. The timer runs on the
    connection's own event loop: what is sent before that loop runs (the greeting, sent while
    the listening thread accepts) waits for start(), else the listening loop, which wakes once a
    second, would hold the greeting up to a second."""

    def __init__(self, channel):
        self._channel = channel
        self._queue = collections.deque()  # (release time, text, or None to close)
        self._timer = None
        self._started = False

    def start(self):
        self._started = True
        self._arm(time.monotonic())

    def put(self, data, hold):
        now = time.monotonic()
        release = now + hold
        if self._queue:
            release = max(release, self._queue[-1][0])
        self._queue.append((release, data))
        self._arm(now)

    def _arm(self, now):
        if self._started and self._timer is None and self._queue:
            self._timer = self._channel.ioloop.call_later(
                max(self._queue[0][0] - now, 0), self._release)

    def _release(self):
        self._timer = None
        now = time.monotonic()
        while self._queue and self._queue[0][0] <= now:
            _, data = self._queue.popleft()
            if self._channel._closed:
                self._queue.clear()
                return
            if data is None:
                FTPHandler.close_when_done(self._channel)
            elif data:
                FTPHandler.push(self._channel, data)
        self._arm(now)


class HeldActiveDTP:
    """An active data connection whose connect waits a round trip (its handshake)."""

    def __init__(self, ip, port, cmd_channel):
        self._connector = None
        self._timer = cmd_channel.ioloop.call_later(Link.rtt, self._connect, ip, port,
                                                    cmd_channel)

    def _connect(self, ip, port, cmd_channel):
        if cmd_channel.connected and not cmd_channel._closed:
            self._connector = ActiveDTP(ip, port, cmd_channel)

    def close(self):
        if self._connector is not None:
            self._connector.close()
        elif not self._timer.cancelled:
            self._timer.cancel()


class FaultyDTPHandler(DTPHandler):
    """Sends a RETR as the command channel's faults say: cut short (drop or stall), dripped,
    or for ever."""

    _stalled = False
    _first_send = None  # when the data was first ready to go
    _link_sent = 0      # bytes sent since

    def send(self, data):
        if self._stalled:
            return 0
        if Link.rtt or Link.bandwidth:
            data = self._on_link(data)
            if not data:
                return 0
        faults = getattr(self.cmd_channel, "faults", None)
        if not faults:
            return super().send(data)
        if faults.drip_ms is not None:
            data = data[:1]
        if faults.cut:
            kind, limit = faults.cut
            data = data[:max(limit - self.tot_bytes_sent, 0)]
        sent = super().send(data) if data else 0
        if faults.cut and self.tot_bytes_sent >= faults.cut[1]:
            channel = self.cmd_channel
            if faults.changes:
                self._replace_file()
            if faults.cut[0] == "drop":
                # The server "dies": both connections go without a reply.
                channel.log_events.write(channel.conn_id, "cut",
                                         f"{channel.retr_arg} {self.tot_bytes_sent}")
                channel.close()
            elif faults.cut[0] == "cut":
                # The data connection alone ends early; the control connection says so (or not).
                channel.log_events.write(channel.conn_id, "cut",
                                         f"{channel.retr_arg} {self.tot_bytes_sent}")
                code = faults.reply or 426
                self._resp = None if faults.noreply else (
                    f"{code} Transfer aborted; data connection closed.", lambda *a: None)
                self.transfer_finished = False
                self.close()
            else:
                # Out of the event loop but not closed: the client sees an open, silent
                # connection. The object stays referenced by its command channel.
                self._stalled = True
                self.del_channel()
        elif faults.drip_ms is not None and sent:
            # Out of the event loop until the next byte is due.
            self.del_channel()
            self.call_later(faults.drip_ms / 1000.0, self._drip_again)
        return sent

    def _replace_file(self):
        """The server's copy becomes its "<path>.next", once."""
        path = self.file_obj.name if self.file_obj is not None else None
        if path and os.path.exists(path + ".next"):
            os.replace(path + ".next", path)

    def _on_link(self, data):
        """What of data the link lets through now: nothing until a round trip after the data was
        first ready, then no more than the bandwidth allows; the channel waits out of the event
        loop until more may go."""
        now = time.monotonic()
        if self._first_send is None:
            self._first_send = now
        start = self._first_send + Link.rtt
        if Link.bandwidth:
            allowed = int((now - start) * Link.bandwidth) - self._link_sent
            # At least a little at a time, so that a slow cap does not send a byte a wake-up.
            chunk = max(Link.bandwidth // 100, 1)
            if allowed < min(len(data), chunk):
                self._wait_until(start + (self._link_sent + min(len(data), chunk)) /
                                 Link.bandwidth, now)
                return b""
            data = data[:allowed]
        elif now < start:
            self._wait_until(start, now)
            return b""
        self._link_sent += len(data)
        return data

    def _wait_until(self, when, now):
        self.del_channel()
        self.call_later(max(when - now, 0), self._drip_again)

    def close(self):
        # The reply that ends the transfer left after the last byte, which the link held already.
        self.cmd_channel._unheld = True
        try:
            super().close()
        finally:
            self.cmd_channel._unheld = False

    def _drip_again(self):
        if not self._closed:
            self.add_channel(events=self.ioloop.READ | self.ioloop.WRITE)


class Handler(FTPHandler):
    log_events = EventLog(None)
    fixed_faults = None  # Faults from the command line
    fault_file = None
    named_faults = False
    mute = False
    mute_on = None    # the command never answered
    busy = 0          # connections refused with 421
    busy_on = None    # the command they are refused at; None: the greeting
    max_connections = 0  # connections open at once beyond which one is refused; 0: no limit
    max_logins = 0       # sessions logged in at once beyond which a login is refused; 0: none
    # Over the server: the connections open that were not refused, the sessions logged in. Kept
    # as connections close, not when their disconnect is logged (which comes later). Sessions
    # run on threads of their own: the lock makes each look and change one step.
    _open = 0
    _logged_in = 0
    _limits_lock = threading.Lock()
    _counted = False  # this connection counts among _open
    _session = False  # and among _logged_in
    _ids = itertools.count(1)
    # Per path, the RETRs asked for over the server's life while it had faults (for once and
    # busy-N).
    _retrs = {}
    _retrs_lock = threading.Lock()
    _unheld = False  # the next replies go at once (see FaultyDTPHandler.close)
    _link = None     # HeldOutput, when the link has a round trip
    announce_size = False
    retr_size = None  # what the RETR's 125/150 reply names (--announce-size)

    def handle(self):
        self.conn_id = next(self._ids)
        if self.mute:
            self.log_events.write(self.conn_id, "connect", f"{self.remote_ip}:{self.remote_port}")
            return
        if Link.rtt:
            self._link = HeldOutput(self)
            # The greeting waits for the connection's handshake too.
            self._link.put("", 2 * Link.rtt)
        with self._limits_lock:
            refused = ((self.conn_id <= self.busy and self.busy_on is None) or
                       (self.max_connections and Handler._open >= self.max_connections))
            if not refused:
                Handler._open += 1
                self._counted = True
        if refused:
            self.on_connect()
            self.refuse_busy("greeting")
            return
        super().handle()

    def add_channel(self, *args, **kwargs):
        super().add_channel(*args, **kwargs)
        # Once at the accept (no link yet), once on the connection's own loop.
        if self._link is not None:
            self._link.start()

    def close(self):
        with self._limits_lock:
            if self._counted:
                Handler._open -= 1
                self._counted = False
        self._end_session()
        super().close()

    def _end_session(self):
        with self._limits_lock:
            if self._session:
                Handler._logged_in -= 1
                self._session = False

    def flush_account(self):
        # A new USER or a REIN ends the session logged in before.
        self._end_session()
        super().flush_account()

    def ftp_PASS(self, line):
        with self._limits_lock:
            # Counted as a session before the account is checked, so that two logins at the same
            # moment see each other; one the account refuses leaves again.
            asking = self.username and not self.authenticated and not self._session
            refused = asking and self.max_logins and Handler._logged_in >= self.max_logins
            if asking and not refused:
                Handler._logged_in += 1
                self._session = True
        if refused:
            self.log_events.write(self.conn_id, "too-many", self.username)
            self.respond("530 Too many sessions logged in for this account; try again later.")
            self.close_when_done()
            return
        super().ftp_PASS(line)
        if not self.authenticated:
            self._end_session()

    def refuse_busy(self, what):
        self.log_events.write(self.conn_id, "busy", what)
        self.respond("421 Too many connections. Service temporarily unavailable.")
        self.close_when_done()

    def push(self, s):
        if self._link is None:
            return super().push(s)
        self._link.put(s, 0 if self._unheld else Link.rtt)

    def close_when_done(self):
        if self._link is None:
            return super().close_when_done()
        self._link.put(None, 0)

    def on_connect(self):
        self.log_events.write(self.conn_id, "connect", f"{self.remote_ip}:{self.remote_port}")

    def on_disconnect(self):
        self.log_events.write(self.conn_id, "disconnect")

    def on_login(self, username):
        self.log_events.write(self.conn_id, "login", username)
        with self._limits_lock:
            sessions = Handler._logged_in
        self.log_events.write(self.conn_id, "sessions", str(sessions))

    def on_login_failed(self, username, password):
        self.log_events.write(self.conn_id, "login-failed", username)

    def on_file_sent(self, file):
        size = self.data_channel.tot_bytes_sent if self.data_channel else ""
        self.log_events.write(self.conn_id, "sent", f"{self.retr_arg} {size}".rstrip())

    def faults_of(self, path):
        name = path.split("/")[-1]
        if self.named_faults:
            faults = Faults.named(self.authorizer.get_home_dir(self.username), path)
            if faults:
                return faults
        if self.fault_file is None or name == self.fault_file:
            return self.fixed_faults
        return None

    def pre_process_command(self, line, cmd, arg):
        shown = "***" if cmd == "PASS" else arg
        self.log_events.write(self.conn_id, "cmd", f"{cmd} {shown}" if arg else cmd)
        if self.conn_id <= self.busy and cmd == self.busy_on:
            return self.refuse_busy(cmd)
        if cmd == self.mute_on:
            return None
        if cmd == "RETR":
            self.retr_arg = arg
            self.faults = self.faults_of(arg)
            if self.faults:
                with self._retrs_lock:
                    count = self._retrs[arg] = self._retrs.get(arg, 0) + 1
                if count <= self.faults.busy:
                    return self.refuse_busy(cmd)
                if self.faults.once and count > 1:
                    self.faults = None
        elif cmd in ("SIZE", "MDTM"):
            self.size_faults = self.faults_of(arg)
            self.size_path = arg
        elif cmd in ("LIST", "NLST", "MLSD", "STOR", "STOU", "APPE"):
            self.faults = None
        return super().pre_process_command(line, cmd, arg)

    def ftp_SIZE(self, path):
        faults = getattr(self, "size_faults", None)
        if not faults or faults.size is None:
            return super().ftp_SIZE(path)
        if faults.size == "refuse":
            self.respond("502 SIZE not implemented for this file.")
        else:
            self.respond(f"213 {faults.size}")

    def ftp_MDTM(self, path):
        faults = getattr(self, "size_faults", None)
        if faults and faults.nomdtm:
            self.respond("502 MDTM not implemented for this file.")
        else:
            return super().ftp_MDTM(path)

    def ftp_REST(self, line):
        faults = getattr(self, "size_faults", None)
        if faults and faults.restbusy:
            key = "REST " + getattr(self, "size_path", "")
            with self._retrs_lock:
                count = self._retrs[key] = self._retrs.get(key, 0) + 1
            if count <= faults.restbusy:
                return self.refuse_busy("REST")
        if faults and faults.norest:
            self.respond("502 REST not implemented for this file.")
        elif faults and faults.ignorerest:
            self.respond(f"350 Restarting at position {line}.")
        else:
            super().ftp_REST(line)

    def ftp_RETR(self, file):
        path_faults = self.faults_of(self.retr_arg) if self.named_faults else None
        if self.announce_size or (path_faults and path_faults.fullcount):
            try:
                self.retr_size = self.fs.getsize(file)
            except OSError:
                self.retr_size = None
        faults = getattr(self, "faults", None)
        if not faults or not faults.endless:
            return super().ftp_RETR(file)
        self.push_dtp_data(EndlessProducer(), isproducer=True, cmd="RETR")
        return file

    def respond(self, resp, *args, **kwargs):
        faults = getattr(self, "faults", None)
        if faults and faults.count is not None and resp[:4] in ("125 ", "150 "):
            resp = f"{resp.rstrip('.')} ({faults.count} bytes)."
        elif self.retr_size is not None and resp[:4] in ("125 ", "150 "):
            resp = f"{resp.rstrip('.')} ({self.retr_size} bytes)."
            self.retr_size = None
        if faults and faults.reply is not None and resp.startswith("226 "):
            resp = f"{faults.reply} Transfer closed with the reply the file's name asks for."
        result = super().respond(resp, *args, **kwargs)
        if faults and faults.hangup and resp.startswith("226 "):
            self.close_when_done()
        return result


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
    parser.add_argument("--mute-on", metavar="CMD")
    parser.add_argument("--busy", type=int, default=0, metavar="N")
    parser.add_argument("--busy-on", metavar="CMD")
    parser.add_argument("--max-connections", type=int, default=0, metavar="K")
    parser.add_argument("--max-logins", type=int, default=0, metavar="K")
    parser.add_argument("--rtt-ms", type=int, default=0, metavar="N")
    parser.add_argument("--bandwidth", type=int, default=0, metavar="B")
    parser.add_argument("--announce-size", action="store_true")
    parser.add_argument("--writable", action="store_true")
    return parser.parse_args(argv)


def main(argv):
    args = parse_args(argv)
    logging.basicConfig(level=logging.WARNING)
    logging.getLogger("pyftpdlib").setLevel(logging.WARNING)

    authorizer = RefusingAuthorizer() if args.refuse_logins else DummyAuthorizer()
    # A writing account (a publisher's upload) may also store, append, delete, rename and
    # make directories.
    authorizer.add_user(args.user, args.password, os.path.abspath(args.root),
                        perm="elradfmw" if args.writable else "elr")

    Handler.authorizer = authorizer
    Handler.dtp_handler = FaultyDTPHandler
    Handler.log_events = EventLog(args.log)
    if args.drop_after is not None:
        Handler.fixed_faults = Faults.fixed("drop", args.drop_after)
    elif args.stall_after is not None:
        Handler.fixed_faults = Faults.fixed("stall", args.stall_after)
    Handler.fault_file = args.fault_file
    Handler.named_faults = args.named_faults
    Handler.mute = args.mute
    Handler.mute_on = args.mute_on.upper() if args.mute_on else None
    Handler.busy = args.busy
    Handler.busy_on = args.busy_on.upper() if args.busy_on else None
    Handler.max_connections = max(args.max_connections, 0)
    Handler.max_logins = max(args.max_logins, 0)
    if args.rtt_ms > 0:
        Link.rtt = args.rtt_ms / 1000.0
        Handler.active_dtp = HeldActiveDTP
    Link.bandwidth = max(args.bandwidth, 0)
    Handler.announce_size = args.announce_size
    Handler.banner = "Kestrin update server ready."
    # The fault modes count bytes in send(); sendfile would bypass it.
    Handler.use_sendfile = False
    # The library waits 3 s before refusing a login; tests want the answer at once.
    Handler.auth_failed_timeout = 0
    Handler.permit_foreign_addresses = False

    # A thread and an event loop for each session: the library's single loop can miss the
    # events of one session's data connection while others open and close theirs, and that
    # session then waits until the client gives up.
    server = ThreadedFTPServer((args.host, args.port), Handler)
    if Link.rtt:
        # A session's loop waits this long at the most before it looks at its timers: its first
        # wait would otherwise hold the greeting (due two round trips after the accept) a second.
        server.poll_timeout = min(server.poll_timeout, Link.rtt / 4)
    port = server.socket.getsockname()[1]
    mode = " named-faults" if args.named_faults else ""
    if Link.rtt or Link.bandwidth:
        mode += f" rtt-ms={args.rtt_ms} bandwidth={Link.bandwidth}"
    for name in ("max_connections", "max_logins"):
        if getattr(Handler, name):
            mode += f" {name.replace('_', '-')}={getattr(Handler, name)}"
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
