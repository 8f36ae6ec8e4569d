"""Shared helpers for the end-to-end tests of the real kestrin program."""
import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import unittest

KESTRIN = None
SOURCE = None


def parse_args():
    """Takes --kestrin and --source off the command line; the rest goes to unittest."""
    global KESTRIN, SOURCE
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--kestrin', required=True)
    parser.add_argument('--source', required=True)
    args, rest = parser.parse_known_args()
    KESTRIN, SOURCE = os.path.abspath(args.kestrin), os.path.abspath(args.source)
    return [sys.argv[0]] + rest


def closed_port():
    """A loopback port nothing listens on (bound, then released)."""
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


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
            'TMPDIR': self.tmp,
            'KESTRIN_FRONTEND': 'terminal',
            'KESTRIN_UPDATE_HOST': host,
            'KESTRIN_UPDATE_PORT': str(port),
            'KESTRIN_FTP_TIMEOUT_MS': '5000',
        })
        env.update(extra or {})
        return env

    def run(self, args, stdin='', port=None, program=None, timeout=60, extra_env=None):
        """Runs kestrin; returns (exit status, output lines)."""
        if port is None:
            port = closed_port()
        proc = subprocess.run([program or KESTRIN] + list(args), input=stdin.encode('latin-1'),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              env=self.env(port, extra=extra_env), timeout=timeout,
                              cwd=self.root)
        out = proc.stdout.decode('latin-1').splitlines()
        return proc.returncode, out, proc.stderr.decode('latin-1')


class KestrinTestCase(unittest.TestCase):
    def setUp(self):
        self.box = Sandbox()
        self.addCleanup(self.box.close)


def main():
    argv = parse_args()
    unittest.main(argv=argv, verbosity=2)
