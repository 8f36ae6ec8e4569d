"""The local update server (scripts/ftp_server.py) as the end-to-end tests use it: started on a
free loopback port with an account, serving a login directory, its event log read back. It runs
on the interpreter that runs the suite, the one CMake chose for having pyftpdlib."""
import os
import shutil
import subprocess
import sys

from harness import end_process, wait_until

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                      'scripts', 'ftp_server.py')


def write_files(base, files):
    """Writes {relative path: bytes or text} under base, making the directories; a slash
    separates directories, a backslash is part of a file name."""
    for name, content in files.items():
        path = os.path.join(base, *name.split('/'))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, 'wb') as f:
            f.write(content.encode('latin-1') if isinstance(content, str) else content)


def read_files(base):
    """The files below base, as {relative path with slashes: content}."""
    result = {}
    for directory, _, files in os.walk(base):
        for name in files:
            path = os.path.join(directory, name)
            with open(path, 'rb') as f:
                result[os.path.relpath(path, base).replace(os.sep, '/')] = f.read()
    return result


class ServerLog:
    """What a test reads from an update server's log, whatever the server: events() gives it
    as (connection id, event, argument) tuples, with the events and arguments of
    scripts/ftp_server.py's log."""

    def events(self):
        raise NotImplementedError

    def connections(self):
        """The ids of the control connections made, in order."""
        return [conn for conn, event, _ in self.events() if event == 'connect']

    def commands(self):
        """Every command received, as (connection id, command line) pairs."""
        return [(conn, arg) for conn, event, arg in self.events() if event == 'cmd']

    def sent(self):
        """The paths of the completed downloads, as (connection id, path) pairs."""
        return [(conn, arg.rsplit(' ', 1)[0]) for conn, event, arg in self.events()
                if event == 'sent']

    def bytes_sent(self, path):
        """The bytes sent of a path over all its RETRs, whole (sent) or broken off (cut)."""
        total = 0
        for _, event, arg in self.events():
            name, _, count = arg.rpartition(' ')
            if event in ('sent', 'cut') and name == path:
                total += int(count)
        return total

    def most_logged_in(self):
        """The most sessions that were logged in at once (scripts/ftp_server.py logs how many
        there are at each login); 0 when none was."""
        return max((int(arg) for _, event, arg in self.events() if event == 'sessions'),
                   default=0)

    def retrieved(self):
        """Every path asked for with RETR, as (connection id, path) pairs."""
        return [(conn, arg[len('RETR '):]) for conn, arg in self.commands()
                if arg.startswith('RETR ')]


class LocalFtpServer(ServerLog):
    """Keeps its port file, log and output in work_dir; serves root (work_dir/root unless
    given). Start it with start() or a with statement; stop() ends it, and with
    remove_work=True also removes work_dir."""

    def __init__(self, work_dir, user, password, root=None, options=(), script=SCRIPT,
                 remove_work=False):
        self.work = work_dir
        self.root = root or os.path.join(work_dir, 'root')
        os.makedirs(self.root, exist_ok=True)
        self.log_path = os.path.join(work_dir, 'ftp.log')
        self._port_file = os.path.join(work_dir, 'ftp.port')
        self._output_path = os.path.join(work_dir, 'ftp.out')
        self._command = [sys.executable, script, '--host', '127.0.0.1', '--port', '0',
                         '--root', self.root, '--user', user, '--password', password,
                         '--port-file', self._port_file, '--log', self.log_path] + list(options)
        self._remove_work = remove_work
        self.process = None
        self.port = None

    def start(self, timeout=15):
        for path in (self.log_path, self._port_file):
            if os.path.exists(path):
                os.remove(path)
        with open(self._output_path, 'wb') as out:
            self.process = subprocess.Popen(self._command, stdin=subprocess.DEVNULL, stdout=out,
                                            stderr=subprocess.STDOUT)
        def listening():
            if self.process.poll() is not None:
                return True
            return os.path.exists(self._port_file) and os.path.getsize(self._port_file) > 0

        if not wait_until(listening, timeout) or self.process.poll() is not None:
            self.stop()
            with open(self._output_path, encoding='utf-8', errors='replace') as f:
                raise RuntimeError('the local FTP server did not start:\n' + f.read())
        with open(self._port_file, encoding='ascii') as f:
            self.port = int(f.read().strip())
        return self

    def stop(self):
        if self.process is not None:
            end_process(self.process)
        if self._remove_work:
            shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self if self.process is not None else self.start()

    def __exit__(self, *exc):
        self.stop()

    def serve(self, files):
        """Puts {path below the login directory: content} on the server."""
        write_files(self.root, files)

    def events(self):
        """The log as (connection id, event, argument) tuples; the server's own lines (id 0)
        are left out."""
        result = []
        if not os.path.exists(self.log_path):
            return result
        with open(self.log_path, encoding='utf-8') as f:
            for line in f:
                conn, event, argument = (line.rstrip('\n').split(' ', 2) + [''])[:3]
                if conn != '0':
                    result.append((int(conn), event, argument))
        return result
