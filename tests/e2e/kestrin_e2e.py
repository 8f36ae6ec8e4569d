"""Shared helpers for the end-to-end tests of the real kestrin program."""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                'support'))
import harness  # noqa: E402
from harness import closed_port  # noqa: E402
from local_ftp import LocalFtpServer, write_files  # noqa: E402
from vsftpd import Unavailable  # noqa: E402

KESTRIN = None
SOURCE = None
BUILD = None
PUBLISH = None


def parse_args():
    """Takes --kestrin, --source, --build and --publish (kestrin-publish, for the suites that
    need it) off the command line; the rest goes to unittest.

    Without --build the build directory is the nearest one above the program that holds a
    CMake cache."""
    global KESTRIN, SOURCE, BUILD, PUBLISH
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--kestrin', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--build')
    parser.add_argument('--publish')
    args, argv = harness.split_args(parser)
    KESTRIN, SOURCE = os.path.abspath(args.kestrin), os.path.abspath(args.source)
    BUILD = os.path.abspath(args.build) if args.build else _build_above(KESTRIN)
    PUBLISH = args.publish and os.path.abspath(args.publish)
    return argv


def _build_above(path):
    d = os.path.dirname(path)
    while not os.path.exists(os.path.join(d, 'CMakeCache.txt')):
        parent = os.path.dirname(d)
        if parent == d:
            return None
        d = parent
    return d


def cache_value(name):
    """An entry of the build's CMake cache, as text; None when there is no such entry."""
    if BUILD is None:
        return None
    with open(os.path.join(BUILD, 'CMakeCache.txt'), encoding='utf-8') as f:
        for line in f:
            key, sep, value = line.rstrip('\n').partition('=')
            if sep and key.split(':')[0] == name:
                return value
    return None


def server_from_env():
    """Whether this build lets the environment point kestrin at a local server."""
    return (cache_value('KESTRIN_SERVER_FROM_ENV') or '').upper() in ('ON', '1', 'TRUE', 'YES')


class Sandbox:
    """A home of its own for one run: settings, temporary directory, product directory."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix='kestrin-e2e-')
        self.config = os.path.join(self.root, 'config')
        self.tmp = os.path.join(self.root, 'tmp')
        self.home = os.path.join(self.root, 'home')
        for d in (self.config, self.tmp, self.home):
            os.makedirs(d)

    def close(self):
        shutil.rmtree(self.root, ignore_errors=True)

    def set_setting(self, section, entry, value):
        d = os.path.join(self.config, 'Vantorel', 'Tamwix', section)
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, entry), 'w') as f:
            f.write(value + '\n')

    def env(self, port, host='127.0.0.1', extra=None):
        env = {k: v for k, v in os.environ.items()
               if not k.startswith('KESTRIN_') and k not in ('DISPLAY', 'XDG_RUNTIME_DIR')}
        env.update({
            'HOME': self.home,
            'XDG_CONFIG_HOME': self.config,
            'XDG_CACHE_HOME': self.tmp,
            'KESTRIN_FRONTEND': 'terminal',
            'KESTRIN_UPDATE_HOST': host,
            'KESTRIN_UPDATE_PORT': str(port),
            'KESTRIN_NET_TIMEOUT_MS': '5000',
            # A connect tried again waits a few milliseconds, not seconds.
            'KESTRIN_RETRY_WAIT_MS': '20',
        })
        env.update(extra or {})
        return env

    def temp_dir(self):
        """The private temporary directory kestrin takes under this sandbox's cache directory."""
        return os.path.join(self.tmp, 'kestrin', 'tmp')

    def run(self, args, stdin='', port=None, program=None, timeout=60, extra_env=None,
            hold_input=False, umask=-1, wrapper=()):
        """Runs kestrin; returns (exit status, output lines, standard error).

        hold_input keeps standard input open after stdin was written: a program that waits
        for more input then fails the test instead of ending at the end of input. wrapper is
        a command put before kestrin's (e.g. one that drops privileges)."""
        return self.finish(self.start(args, stdin, port, program, extra_env, hold_input, umask,
                                      wrapper), timeout)

    def start(self, args, stdin='', port=None, program=None, extra_env=None, hold_input=False,
              umask=-1, wrapper=()):
        """Starts kestrin as run() does and returns at once; finish() waits for it."""
        if port is None:
            port = closed_port()
        command = list(wrapper) + [program or KESTRIN] + list(args)
        # Output goes to files, so that nothing waits on a full pipe while input stays open.
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        proc = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=out, stderr=err,
                                env=self.env(port, extra=extra_env), cwd=self.root, umask=umask)
        try:
            proc.stdin.write(stdin.encode('latin-1'))
            proc.stdin.flush()
        except BrokenPipeError:
            pass
        if not hold_input:
            proc.stdin.close()
        return proc, out, err, args

    def finish(self, started, timeout=60):
        """Waits for a kestrin from start(); returns what run() returns."""
        proc, out, err, args = started
        with out, err:
            try:
                try:
                    proc.wait(timeout=timeout)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
                    raise AssertionError('%s did not end by itself within %s s'
                                         % (' '.join(['kestrin'] + list(args)), timeout))
            finally:
                proc.stdin.close()
            out.seek(0)
            err.seek(0)
            return (proc.returncode, out.read().decode('latin-1').splitlines(),
                    err.read().decode('latin-1'))


def account():
    """The update account compiled into kestrin: (user, password)."""
    user, password = cache_value('KESTRIN_UPDATE_USER'), cache_value('KESTRIN_UPDATE_PASSWORD')
    if user is None or password is None:
        raise RuntimeError('the update account is not in the build\'s CMake cache (%s)' % BUILD)
    return user, password


class KestrinTestCase(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)


class ServerTestCase(KestrinTestCase):
    """A sandbox and an update server whose login directory is self.served: the local server,
    or another of its kind (vsftpd.VsftpdServer) named by server_class in a subclass."""

    server_class = LocalFtpServer

    def setUp(self):
        super().setUp()
        if not server_from_env():
            self.skipTest('this build cannot be pointed at a local server '
                          '(configure with -DKESTRIN_SERVER_FROM_ENV=ON)')
        self.served = os.path.join(self.box.root, 'served')
        os.makedirs(self.served)
        self.server = self.start_server()

    def start_server(self, password=None):
        """Starts a server on a free loopback port with the account compiled into kestrin (or
        another password); it stops when the test ends."""
        user, compiled = account()
        server = self.server_class(self.box.root, user, password or compiled, root=self.served)
        self.addCleanup(server.stop)
        try:
            return server.start()
        except Unavailable as reason:
            self.skipTest(str(reason))

    def serve(self, files):
        """Puts {path below the login directory: content} on the server."""
        write_files(self.served, files)

    def kestrin(self, args, **kwargs):
        """Runs kestrin against this test's server; returns (exit status, output, stderr)."""
        return self.box.run(args, port=self.server.port, **kwargs)


def main():
    harness.main(parse_args())
