#!/usr/bin/python3
"""The real kestrin with its terminal front end, as a user meets it.

On a pseudo-terminal, its screen kept by pyte at 100 and at 50 columns: each key acts at once
and the screen after it shows what it should, every row of a frame whole and no key echoed;
a resize redraws at the new width; the terminal's mode (stty -g) is the same after the program
ends as before, also when SIGTERM or Ctrl+C ends it. With the line protocol: an endless input
line costs no memory, and output that nobody reads does not stop an update half-way."""
import fcntl
import os
import select
import signal
import struct
import subprocess
import sys
import tempfile
import termios
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'e2e'))
import kestrin_e2e  # noqa: E402
from kestrin_e2e import ServerTestCase  # noqa: E402
import pyte  # noqa: E402  (Debian: python3-pyte)

ROWS = 30
WAIT = 30  # seconds a screen may take to appear before the step fails
ANNOUNCEMENT = ('(i) You are currently version 1A, a new version, 2A, is available. '
                'Please go to https://www.tamwix.example/ for the latest version.')
NEWER = {'Update/Version.txt': 'Tamwix\r\n2\r\nA\r\n', 'Update/File_list.txt': ''}


class Row(str):
    """A text expected on one row of the screen when the terminal is wide enough for it."""


def border(columns):
    """The frame line of the dialog at this terminal width."""
    return Row('+' + '-' * (min(columns, 64) - 2) + '+')


def cases(columns):
    """{name: steps}; a step is (what to do, texts then shown, texts then gone). What to do is
    keys to type, ('resize', columns) or ('signal', number); after the last step the program
    has ended, with the status given as the step's second element."""
    other = 150 - columns
    dialog = ['Updating System', '[>Update<] [ Cancel ]', 'Enter: Update', 'Esc: Close']
    return {
        'escape closes': [('\x1b', 0)],
        'tab, shift+tab and the arrows move the focus; space presses': [
            ('\t', ['[ Update ] [>Cancel<]', 'Enter: Cancel'], []),
            ('\x1b[Z', dialog, []),
            ('\x1b[C', ['[>Cancel<]'], []),
            ('\x1b[A', ['[>Update<]'], []),
            ('\x1b[B', ['[>Cancel<]'], []),
            (' ', 0)],
        'enter presses the focused button': [('\x1b[D', ['[>Cancel<]'], []), ('\r', 0)],
        'a opens the about box; u and alt+u run an update': [
            ('a', ['About Kestrin', 'Kestrin Version 1.0', '[>OK<]'], ['Updating System']),
            ('\r', dialog + ['a: About Kestrin'], ['Kestrin Version 1.0']),
            # Keys typed during a run are dropped: the space typed with u does not answer
            # the box, and the Escape typed with the space does not close the dialog.
            ('u ', [Row('Please go to https://www.tamwix.example/ for the latest version.'),
                    ANNOUNCEMENT, '[ OK ]', 'Enter: OK'], ['Enter: Update']),
            (' \x1b', dialog, ['You are currently']),
            ('\x1bu', [ANNOUNCEMENT], ['Enter: Update']),
            ('\x1b', dialog, ['You are currently']),
            ('\r', [ANNOUNCEMENT], ['Enter: Update']),
            ('\r', dialog, ['You are currently']),
            ('\x1b', 0)],
        'a resize redraws at the new width': [
            (('resize', other), [border(other)] + dialog, []), ('\x1b', 0)],
        'sigterm ends it': [(('signal', signal.SIGTERM), -signal.SIGTERM)],
        'ctrl+c ends it': [('\x03', -signal.SIGINT)],
    }


class Terminal:
    """kestrin on a pseudo-terminal of the given width, its screen kept by pyte."""

    def __init__(self, box, port, columns):
        self.master, self.slave = os.openpty()
        self.screen = pyte.Screen(columns, ROWS)
        self.stream = pyte.ByteStream(self.screen)
        self.resize(columns)
        self.mode_before = self.mode()

        def own_terminal():  # so that Ctrl+C signals it, as in a shell
            os.setsid()
            fcntl.ioctl(0, termios.TIOCSCTTY, 0)

        self.process = subprocess.Popen(
            [kestrin_e2e.KESTRIN], stdin=self.slave, stdout=self.slave, stderr=self.slave,
            env=box.env(port), cwd=box.root, preexec_fn=own_terminal)

    def close(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        os.close(self.master)
        os.close(self.slave)

    def mode(self):
        return subprocess.run(['stty', '-g'], stdin=self.slave, capture_output=True, text=True,
                              check=True).stdout

    def resize(self, columns):
        fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack('HHHH', ROWS, columns, 0, 0))
        self.screen.resize(ROWS, columns)

    def rows(self):
        return [row.rstrip() for row in self.screen.display]

    def text(self):
        """The screen's words in reading order, frames left out: a wrapped text reads whole."""
        return ' '.join(' '.join(row.strip('|+ ').split()) for row in self.rows()).strip()

    def shows(self, shown, gone):
        text, rows = self.text(), self.rows()
        width = self.screen.columns
        def found(item):
            if isinstance(item, Row) and len(item) <= width:
                return any(item in row for row in rows)
            return ' '.join(item.split()) in text
        return all(found(s) for s in shown) and not any(g in text for g in gone)

    def pump(self, timeout):
        if select.select([self.master], [], [], timeout)[0]:
            self.stream.feed(os.read(self.master, 65536))

    def wait_for(self, shown, gone):
        deadline = time.monotonic() + WAIT
        while not self.shows(shown, gone):
            if time.monotonic() > deadline:
                raise AssertionError('the screen never showed %s without %s:\n%s'
                                     % (shown, gone, '\n'.join(self.rows())))
            self.pump(0.1)

    def wait_end(self):
        status = self.process.wait(timeout=WAIT)
        while select.select([self.master], [], [], 0)[0]:
            self.pump(0)
        return status


class OnATerminal(ServerTestCase):
    def test_keys_and_screens(self):
        self.serve(NEWER)
        for columns in (100, 50):
            for name, steps in cases(columns).items():
                with self.subTest(columns=columns, case=name):
                    self.run_case(columns, steps)

    def run_case(self, columns, steps):
        term = Terminal(self.box, self.server.port, columns)
        self.addCleanup(term.close)
        term.wait_for(['Updating System', 'Esc: Close'], [])
        for action, *expected in steps:
            if isinstance(action, str):
                os.write(term.master, action.encode())
            elif action[0] == 'resize':
                term.resize(action[1])
            else:
                term.process.send_signal(action[1])
            if len(expected) == 1:
                self.assertEqual(term.wait_end(), expected[0])
                break
            term.wait_for(*expected)
            for row in term.rows():
                # A frame row cut at the terminal's edge, or a key echoed, shows here.
                if row.startswith(('|', '+')):
                    self.assertEqual(row[-1], row[0], row)
            self.assertNotIn('^[', term.text())
        self.assertEqual(term.mode(), term.mode_before)


class BrokenStreams(ServerTestCase):
    def test_an_endless_line_costs_no_memory(self):
        # A line of 256 MiB (a file with a hole), then the end of input.
        with tempfile.TemporaryFile(dir=self.box.root) as line:
            line.truncate(256 << 20)
            process = subprocess.Popen([kestrin_e2e.KESTRIN], stdin=line,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                       env=self.box.env(self.server.port), cwd=self.box.root)
            err = process.stderr.read().decode('latin-1')
            _, status, usage = os.wait4(process.pid, 0)
            process.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual(process.returncode, 0, err)
        self.assertEqual(err.count('commands:'), 1, err)
        self.assertLess(usage.ru_maxrss, 128 << 10)  # KiB

    def test_output_nobody_reads_does_not_stop_an_update(self):
        self.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                    'Update/File_list.txt': 'a.txt\r\n2001-01-01\r\nb.txt\r\n2001-01-01\r\n',
                    'Update/a.txt': 'a', 'Update/b.txt': 'b'})
        install = os.path.join(self.box.root, 'install')
        os.makedirs(install)
        self.box.set_setting('FILES', 'Directory', install)
        read_end, write_end = os.pipe()
        os.close(read_end)
        try:
            done = subprocess.run([kestrin_e2e.KESTRIN], input=b'\n', stdout=write_end,
                                  stderr=write_end, env=self.box.env(self.server.port),
                                  cwd=self.box.root, timeout=60)
        finally:
            os.close(write_end)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(sorted(os.listdir(os.path.join(install, 'Pelmora'))), ['a.txt', 'b.txt'])


if __name__ == '__main__':
    kestrin_e2e.main()
