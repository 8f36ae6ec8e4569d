"""What more than one Python suite needs: the command line split between a suite and unittest,
the version record, waiting, processes, free ports, and the X display of the xvfb test fixture
with xdotool and screenshots."""
import json
import os
import re
import socket
import subprocess
import sys
import time
import unittest


def split_args(parser):
    """The suite's own options (those of parser) as a namespace, and the rest of the command
    line as the argv to give main()."""
    args, rest = parser.parse_known_args()
    return args, [sys.argv[0]] + rest


# The exit status of a suite that skipped a case and failed none: CTest shows such a suite as
# skipped (SKIP_RETURN_CODE, which kestrin_add_python_test sets), not as passed whole.
SKIPPED = 77


def main(argv, artifacts=None):
    """Runs the tests of the script that was started, under unittest, says where the
    screenshots of the run are if it keeps any, and exits: 0 when every case passed, SKIPPED
    when some skipped and none failed (a class whose set-up skips counts as skipped, though none
    of its cases ran), 1 when one failed or none ran nor skipped."""
    try:
        result = unittest.main(module='__main__', argv=argv, verbosity=2, exit=False).result
    finally:
        if artifacts:
            print('screenshots in', artifacts)
    if not result.wasSuccessful() or (result.testsRun == 0 and not result.skipped):
        sys.exit(1)
    if result.skipped:
        print('%d skipped, %d cases ran' % (len(result.skipped), result.testsRun))
        sys.exit(SKIPPED)
    sys.exit(0)


def version_record(source):
    """The version of the program's version record (ui/res/resources.json under the source
    directory), as the program and its packages write it: "1.0.0.1"."""
    with open(os.path.join(source, 'ui', 'res', 'resources.json'), encoding='utf-8') as f:
        return '.'.join(str(n) for n in json.load(f)['version']['productversion'])


def wait_until(condition, timeout, interval=0.05):
    """Asks condition() until it holds or timeout seconds have passed; whether it held."""
    deadline = time.monotonic() + timeout
    while True:
        if condition():
            return True
        if time.monotonic() >= deadline:
            return False
        time.sleep(interval)


def end_process(process, timeout=10):
    """Asks a child process to end, and kills it when it does not within timeout seconds."""
    if process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def kill_process(process):
    """Ends a child process at once (a program under test that a failed case left running)."""
    if process.poll() is None:
        process.kill()
        process.wait()


def closed_port():
    """A loopback port nothing listens on (bound, then released): connecting is refused."""
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def fixture_display():
    """The display of the xvfb test fixture (tests/support/xvfb.sh), whose state directory
    KESTRIN_XVFB_STATE names."""
    state = os.environ.get('KESTRIN_XVFB_STATE')
    if not state:
        raise RuntimeError('KESTRIN_XVFB_STATE is not set: run the suite through CTest, whose '
                           'xvfb.setup test starts the display')
    with open(os.path.join(state, 'display'), encoding='ascii') as f:
        return f.read().strip()


def fixture_log():
    """The end of the fixture's Xvfb output, for a failure's message."""
    try:
        with open(os.path.join(os.environ['KESTRIN_XVFB_STATE'], 'xvfb.log'),
                  encoding='utf-8', errors='replace') as f:
            return f.read()[-3000:]
    except (KeyError, OSError) as error:
        return 'no Xvfb log: %s' % error


class XDisplay:
    """An X display driven as a user drives one: windows found by name and keys and clicks
    given with xdotool, windows photographed with ImageMagick's import. env holds DISPLAY."""

    def __init__(self, env):
        self.env = env
        self.name = env['DISPLAY']

    def xdotool(self, *args, check=False):
        """xdotool's output; with check, a failure of the command fails the test."""
        done = subprocess.run(['xdotool'] + [str(a) for a in args], env=self.env,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True,
                              timeout=30)
        if check and done.returncode != 0:
            raise AssertionError('xdotool %s: %s' % (' '.join(map(str, args)), done.stderr))
        return done.stdout

    def windows(self, name=None, visible=True):
        """The ids of the windows named exactly name (any name when None)."""
        args = ['search'] + (['--onlyvisible'] if visible else [])
        args += ['--name', '^%s$' % re.escape(name) if name is not None else '']
        return set(self.xdotool(*args).split())

    def focus(self, window):
        self.xdotool('windowfocus', '--sync', window)

    def click(self, x, y, button=1):
        self.xdotool('mousemove', '--sync', x, y, 'click', button, check=True)

    def screenshot(self, window, path):
        subprocess.run(['import', '-window', window, path], env=self.env,
                       stdin=subprocess.DEVNULL, capture_output=True, check=True, timeout=30)
        if os.path.getsize(path) == 0:
            raise AssertionError('the screenshot %s is empty' % path)

    def pixels(self, window):
        """The window's pixels as (width, height, bytes of RGB rows)."""
        data = subprocess.run(['import', '-window', window, '-depth', '8', 'ppm:-'],
                              env=self.env, stdin=subprocess.DEVNULL, check=True,
                              capture_output=True, timeout=30).stdout
        fields, pos = [], 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not data[pos:pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        if fields[0] != b'P6':
            raise AssertionError('import gave no binary PPM')
        return int(fields[1]), int(fields[2]), data[pos + 1:]
