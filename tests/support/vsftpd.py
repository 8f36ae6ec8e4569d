"""vsftpd (Debian's package, which scripts/setup.sh installs) as an update server for a test: a
server of its own on a free loopback port, in the foreground, with a configuration the test
writes, and a local account whose login directory, seen as "/", is the test's tree. The account
is made when the server starts and removed when it stops; the system's own vsftpd service and
its configuration are not touched. Making accounts needs root: start() raises Unavailable
otherwise.

Its log is read as scripts/ftp_server.py's (ServerLog): connections are numbered in the order
they came, and a line belongs to the last one before it, which holds while the client makes one
connection at a time."""
import os
import pwd
import re
import signal
import subprocess

from harness import closed_port, wait_until
from local_ftp import ServerLog

VSFTPD = '/usr/sbin/vsftpd'
# The account's comment names the process that made it: the name is the one compiled into
# kestrin, so runs at the same time take turns, and a killed run's account is known as such.
MARK = 'kestrin test account of process '

# The production recipe (packaging/vsftpd.conf) with what a test needs on top of it:
# - listen_address, listen_port, background=NO: on loopback, a free port, and a child of the
#   test, which stops it.
# - secure_chroot_dir: an empty directory where vsftpd's unprivileged parts wait; its default
#   is made only by the system's service.
# - connect_from_port_20=NO: active-mode data connections come from any port; from port 20,
#   a run that restarts the server soon after the last would meet EADDRINUSE from that run's
#   connections in TIME-WAIT.
# - seccomp_sandbox=NO: this release's sandbox refuses system calls that newer C libraries
#   make, under some kernels; a loopback test server does without it.
# - the log: every command and download in vsftpd's own format, in a file of the test's own.
# - user_config_dir: the test's own, where the writing account's file (WRITER) lets it write.
# The recipe's chroot_local_user makes the test's tree "/" for the account, and vsftpd refuses
# a root the account may write to: the tree stays root's. Its pam_service_name=vsftpd is the
# package's PAM service (the account's shell must be listed in /etc/shells, and its name not
# in /etc/ftpusers).
RECIPE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                      'packaging', 'vsftpd.conf')
TEST_SETTINGS = {'listen_address': '127.0.0.1', 'listen_port': '{port}', 'background': 'NO',
                 'user_config_dir': '{users}',
                 'secure_chroot_dir': '{empty}', 'connect_from_port_20': 'NO',
                 'seccomp_sandbox': 'NO', 'syslog_enable': 'NO', 'xferlog_std_format': 'NO',
                 'log_ftp_protocol': 'YES', 'vsftpd_log_file': '{log}'}


# The writing account's settings, as the server recipe gives them: files it makes are readable
# by the update account.
WRITER = 'write_enable=YES\nlocal_umask=022\n'


def config_text():
    """The recipe's settings, in its order, then the test's (a test setting replaces the
    recipe's own)."""
    settings = {}
    with open(RECIPE, encoding='ascii') as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith('#'):
                name, _, value = line.partition('=')
                settings[name] = value
    settings.update(TEST_SETTINGS)
    return ''.join('%s=%s\n' % item for item in settings.items())


# "<date> [pid N] [user] EVENT: Client "address"[, "text"][, N bytes, rate]"
LOG_LINE = re.compile(r'\] (CONNECT|FTP command|OK DOWNLOAD): Client "[^"]*"'
                      r'(?:, "(.*)"(?:, (\d+) bytes, .*)?)?$')
EVENTS = {'CONNECT': 'connect', 'FTP command': 'cmd', 'OK DOWNLOAD': 'sent'}


class Unavailable(Exception):
    """vsftpd cannot be run here; the message says why."""


# Why the account could not be had, once a wait for it ran out: the process's later servers do
# not wait again (a benchmark or another suite may hold it for many minutes).
_held = None


class VsftpdServer(ServerLog):
    """Serves root (not writable by others) to user with password, as LocalFtpServer does;
    work_dir holds the configuration, the log and the output. writer, a (user, password) pair,
    adds the writing account, which owns root/Update."""

    def __init__(self, work_dir, user, password, root, writer=None):
        self.work, self.user, self.password, self.root = work_dir, user, password, root
        self.writer = writer
        self.log_path = os.path.join(work_dir, 'vsftpd.log')
        self.process = None
        self.port = None

    def start(self, timeout=15):
        if os.geteuid() != 0:
            raise Unavailable('vsftpd logs in local accounts: the test makes one, which needs root')
        if not os.access(VSFTPD, os.X_OK):
            raise Unavailable('%s is missing: scripts/setup.sh installs vsftpd' % VSFTPD)
        self._make_account(self.user, self.password)
        empty = os.path.join(self.work, 'vsftpd-empty')
        users = os.path.join(self.work, 'vsftpd-users')
        for d in (empty, users, self.root):
            os.makedirs(d, exist_ok=True)
        if self.writer:
            self._make_account(*self.writer)
            with open(os.path.join(users, self.writer[0]), 'w', encoding='ascii') as f:
                f.write(WRITER)
            update = os.path.join(self.root, 'Update')
            os.makedirs(update, exist_ok=True)
            account = pwd.getpwnam(self.writer[0])
            os.chown(update, account.pw_uid, account.pw_gid)
        # The account enters its tree through the test's directories: traversal only.
        for d in {self.work, os.path.dirname(os.path.abspath(self.root))}:
            os.chmod(d, os.stat(d).st_mode | 0o111)
        self.port = closed_port()
        config = os.path.join(self.work, 'vsftpd.conf')
        with open(config, 'w', encoding='ascii') as f:
            f.write(config_text().format(port=self.port, empty=empty, users=users,
                                         log=self.log_path))
        output = os.path.join(self.work, 'vsftpd.out')
        with open(output, 'wb') as out:
            # A process group of its own: stop() ends the sessions it forked too.
            self.process = subprocess.Popen([VSFTPD, config], stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT,
                                            start_new_session=True)
        if not wait_until(lambda: self.process.poll() is not None or self._listening(),
                          timeout) or self.process.poll() is not None:
            code = self.process.poll()
            self.stop()
            why = ('exit status %d' % code if code is not None
                   else 'not listening after %s s' % timeout)
            with open(output, encoding='utf-8', errors='replace') as f:
                raise RuntimeError('vsftpd did not start (%s):\n%s' % (why, f.read()))
        return self

    def stop(self):
        if self.process is not None and self.process.poll() is None:
            os.killpg(self.process.pid, signal.SIGTERM)
            self.process.wait()
        # The accounts go once the sessions running as them have ended.
        for user in [self.user] + ([self.writer[0]] if self.writer else []):
            if self._owner(user) == os.getpid():
                wait_until(lambda: subprocess.run(['userdel', user], capture_output=True)
                           .returncode == 0, 10)

    def events(self):
        result, conn = [], 0
        if not os.path.exists(self.log_path):
            return result
        with open(self.log_path, encoding='utf-8', errors='replace') as f:
            for line in f:
                match = LOG_LINE.search(line.rstrip('\n'))
                if not match:
                    continue
                kind, text, size = match.groups()
                if kind == 'CONNECT':
                    conn += 1
                # A download's path is absolute in the account's view; the tests name it as
                # asked for, from the login directory.
                argument = '%s %s' % (text[1:], size) if kind == 'OK DOWNLOAD' else text or ''
                result.append((conn, EVENTS[kind], argument))
        return result

    def _owner(self, user):
        """The process whose test made the account: None when there is no account, 0 when it
        is not a test's."""
        try:
            comment = pwd.getpwnam(user).pw_gecos
        except KeyError:
            return None
        pid = comment[len(MARK):] if comment.startswith(MARK) else ''
        return int(pid) if pid.isdigit() else 0

    def _make_account(self, user, password):
        def free():
            owner = self._owner(user)
            if owner == 0:
                raise Unavailable('an account named %s exists, and is no test\'s' % user)
            if owner and not os.path.exists('/proc/%d' % owner):
                subprocess.run(['userdel', user], capture_output=True)
                owner = self._owner(user)
            return owner is None

        global _held
        if _held is None and not wait_until(free, 120, interval=0.5):
            _held = 'another test run has held the account %s for two minutes' % user
        if _held is not None:
            raise Unavailable(_held)
        subprocess.run(['useradd', '--system', '--no-create-home', '--home-dir',
                        os.path.abspath(self.root), '--shell', '/bin/sh',
                        '--comment', MARK + str(os.getpid()), user], check=True)
        subprocess.run(['chpasswd'], input='%s:%s\n' % (user, password), text=True,
                       check=True)

    def _listening(self):
        # Read from the kernel's table rather than by connecting, which the log would show.
        local = '0100007F:%04X' % self.port
        with open('/proc/net/tcp', encoding='ascii') as f:
            return any(fields[1] == local and fields[3] == '0A'
                       for fields in (line.split() for line in f) if len(fields) > 3)
