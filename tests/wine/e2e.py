#!/usr/bin/python3
"""The Windows program end to end, under Wine and Xvfb in the environment of the test set-up
(wine_env.sh): Kestrin.exe is started as a user or the product would start it, its windows are
found by caption (xdotool, and the probe program from inside Wine), looked at, photographed
into the artifacts directory and answered with keys; the registry is read and written with
`wine reg`. The cases that need an update server get a local FTP server of their own (the
program's compiled-in account) serving a tree the case writes, and read its log. A run of the
dialog is followed from inside through the probe's hook: every status text and progress
position in order. A failed case leaves a screenshot of the whole display in the artifacts.

    e2e.py --exe Kestrin.exe --probe kestrin_probe.exe --state STATE --artifacts DIR
           [--home URL] [--zip-dir DIR --source SOURCE] [--signed-exe EXE]
           [unittest arguments, e.g. WineProgram.test_synchronisation]

With --zip-dir, the archive that product teams ship (made there by the README's cpack --preset zip)
is unpacked and its Kestrin.exe run.
With --signed-exe, the program built with the tests' key is served signed releases.
"""
import argparse
import datetime
import functools
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import types
import unittest
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                'support'))
import harness  # noqa: E402
from harness import closed_port  # noqa: E402
from local_ftp import LocalFtpServer, read_files, write_files  # noqa: E402
import signed_release  # noqa: E402

NO_CONNECTION_FOR_REQUEST = ('The System could not connect to the internet.\n'
                             'Could not check for new version at this time.')
NO_CONNECTION_FOR_UPDATE = ('An error occured while trying to connect to the server\n'
                            'Please check your connections and try again\n')
NEWER_RELEASE = ('You are currently version %s%s,\na new version, %s%s, is available.\n'
                 'Please go to %s for the latest version.')
CURRENT_RELEASE = 'You are currently using the lattest version'
SETTINGS_KEY = r'HKCU\Software\Vantorel\Tamwix'
FILES_KEY = SETTINGS_KEY + r'\FILES'
# The dialog's status line and progress bar.
STATUS = 1001
PROGRESS = 1000
# --exe, --probe, --state, --artifacts, --home, --cpack, --build, --source and --signed-exe.
ARGS = None


def windows_path(path):
    """A path of this machine as the Windows program names it: on Wine's drive Z:."""
    return 'Z:' + os.path.abspath(path).replace('/', '\\')


def load_env(state):
    env = dict(os.environ)
    with open(os.path.join(state, 'env'), encoding='utf-8') as f:
        for line in f:
            m = re.match(r"export (\w+)='?(.*?)'?$", line.strip())
            if m:
                env[m.group(1)] = m.group(2)
    return env


def photographed_on_failure(case):
    """A failed case leaves the whole display in the artifacts, taken before its programs are
    ended."""
    @functools.wraps(case)
    def run(self):
        try:
            case(self)
        except BaseException:
            self.command(['import', '-window', 'root', os.path.join(
                ARGS.artifacts, 'failure_%s.png' % case.__name__)])
            raise
    return run


class Session(unittest.TestCase):
    """The Wine environment and what the cases do in it."""

    @classmethod
    def setUpClass(cls):
        cls.env = load_env(ARGS.state)
        cls.display = harness.XDisplay(cls.env)
        os.makedirs(ARGS.artifacts, exist_ok=True)

    def setUp(self):
        self.processes = []
        # Whatever a failed case left running goes before the next starts.
        self.addCleanup(self.stop_started)

    # Wine's helper processes outlive the programs and would hold a pipe open: every output
    # goes through a file.
    def command(self, argv, timeout=60, env=None):
        with tempfile.TemporaryFile() as out:
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env or self.env,
                                    timeout=timeout)
            out.seek(0)
            return result.returncode, out.read().decode('utf-8', 'replace')

    def wine(self, *argv, timeout=60):
        return self.command(['wine', *argv], timeout=timeout)

    def start(self, *argv, server_port, exe=None, extra_env=None):
        env = dict(self.env, **(extra_env or {}))
        env['KESTRIN_UPDATE_HOST'] = '127.0.0.1'
        env['KESTRIN_UPDATE_PORT'] = str(server_port)
        with open(os.path.join(ARGS.artifacts, 'kestrin.log'), 'ab') as log:
            process = subprocess.Popen(['wine', exe or ARGS.exe, *argv], stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=subprocess.STDOUT, env=env)
        self.processes.append(process)
        return process

    def stop_started(self):
        """Ends what a failed case left running (wine execs into the program: same id)."""
        for process in self.processes:
            harness.kill_process(process)
        self.processes = []

    def probe(self, *argv):
        return self.wine(ARGS.probe, *argv)

    def count(self, caption):
        rc, out = self.probe('count', caption)
        self.assertEqual(rc, 0, 'probe count failed: ' + out)
        return int(out.split()[-1])

    def describe(self, caption):
        rc, out = self.probe('describe', caption)
        self.assertEqual(rc, 0, 'probe describe "%s" failed: %s' % (caption, out))
        info = {'controls': []}
        for line in out.splitlines():
            key, _, rest = line.partition(' ')
            if key == 'control':
                m = re.match(r'(-?\d+) (\S+) (-?\d+) (-?\d+) (-?\d+) (-?\d+) (\S+) (\d) "(.*)"$',
                             rest)
                self.assertIsNotNone(m, 'unreadable control line: ' + line)
                text = m.group(9).encode('latin-1', 'replace').decode('unicode_escape')
                info['controls'].append({
                    'id': int(m.group(1)), 'class': m.group(2),
                    'rect': tuple(int(m.group(i)) for i in range(3, 7)),
                    'style': int(m.group(7), 16), 'enabled': m.group(8) == '1', 'text': text})
            elif key in ('window', 'workarea', 'client', 'origin'):
                info[key] = tuple(int(v) for v in rest.split())
            elif key in ('enabled', 'foreground'):
                info[key] = rest == '1'
        return info

    def wait_for(self, condition, what, timeout=60.0):
        if not harness.wait_until(condition, timeout, interval=0.25):
            self.fail('timed out waiting for ' + what)

    def key(self, caption, key):
        """Types a key into the window: once Wine has made it the foreground window (a key
        typed earlier would reach whichever window had the focus before)."""
        # Wine may map the X window of a Win32 window a moment after the window exists, and
        # on a loaded machine that moment is long.
        windows = set()

        def one_window():
            windows.clear()
            windows.update(self.display.windows(caption))
            return len(windows) == 1

        self.wait_for(one_window, 'one X window captioned "%s"' % caption, timeout=15)
        window = next(iter(windows))

        def foreground():
            if self.describe(caption)['foreground']:
                return True
            self.display.xdotool('windowfocus', window)
            return False

        self.wait_for(foreground, '"%s" to be the foreground window' % caption, timeout=15)
        # Typed as a user would (XTEST), not sent to a window: Wine drops events sent to a
        # window that is not the one with the focus, or hands them to the next one that gets it.
        self.display.xdotool('key', key, check=True)

    def screenshot(self, caption, name):
        windows = self.display.windows(caption)
        self.assertTrue(windows, 'no X window captioned "%s" to photograph' % caption)
        self.display.screenshot(next(iter(windows)), os.path.join(ARGS.artifacts, name))

    def wait_exit(self, process, what, timeout=30.0):
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            self.fail(what + ': the process did not end')

    def key_exists(self, key):
        rc, _ = self.wine('reg', 'query', key)
        return rc == 0

    def clear_settings(self):
        self.wine('reg', 'delete', r'HKCU\Software\Vantorel', '/f')

    def set_setting(self, section, entry, value):
        rc, out = self.wine('reg', 'add', SETTINGS_KEY + '\\' + section, '/v', entry,
                            '/d', value, '/f')
        self.assertEqual(rc, 0, 'reg add %s %s: %s' % (section, entry, out))

    def drive_c(self, *parts):
        """A path on the prefix's drive C:, as Linux sees it."""
        return os.path.join(self.env['WINEPREFIX'], 'drive_c', *parts)

    def update_server(self, options=()):
        """A local FTP server with the program's compiled-in account on a free loopback port,
        in a work directory of its own that goes when it stops; its log tells what was
        asked. Files break as their names or sidecar files say (--named-faults); options are
        further ones of scripts/ftp_server.py."""
        script = self.env.get('KESTRIN_WINE_FTP_SCRIPT')
        self.assertTrue(script, 'the set-up names no FTP server script')
        return LocalFtpServer(tempfile.mkdtemp(dir=ARGS.state),
                              self.env['KESTRIN_WINE_FTP_USER'],
                              self.env['KESTRIN_WINE_FTP_PASSWORD'], script=script,
                              options=['--named-faults', *options],
                              remove_work=True).start(timeout=10)

    def message_box_text(self):
        texts = [c['text'] for c in self.describe('Kestrin')['controls']
                 if c['class'] == 'Static']
        return [t for t in texts if t]


class Watch:
    """The probe's hook on a dialog's thread: the status texts and progress positions the
    dialog takes, in order, as ('status', text) and ('progress', n); other controls by id."""

    def __init__(self, session, caption, seconds=120):
        self.session = session
        self.output = tempfile.NamedTemporaryFile(dir=ARGS.state, delete=False)
        self.process = subprocess.Popen(['wine', ARGS.probe, 'watch', caption, str(seconds)],
                                        stdin=subprocess.DEVNULL, stdout=self.output,
                                        stderr=subprocess.STDOUT, env=session.env)
        try:
            session.wait_for(lambda: 'ready' in self.lines() or self.process.poll() is not None,
                             'the probe to hook "%s"' % caption, timeout=30)
            session.assertIn('ready', self.lines(), 'probe watch failed')
        except BaseException:
            self.abandon()
            raise

    def lines(self):
        with open(self.output.name, encoding='latin-1') as f:
            return f.read().splitlines()

    def changes(self):
        result = []
        names = {STATUS: 'status', PROGRESS: 'progress'}
        for line in self.lines():
            m = re.match(r'(text|position) (-?\d+) (.*)$', line)
            if not m:
                continue
            control = int(m.group(2))
            if m.group(1) == 'text':
                value = m.group(3)[1:-1].encode('latin-1').decode('unicode_escape')
            else:
                value = int(m.group(3))
            result.append((names.get(control, control), value))
        return result

    def close(self):
        """Waits for the probe, which ends with the window it watches; returns what it saw."""
        try:
            self.process.wait(timeout=15)
            changes = self.changes()
            self.session.assertEqual(self.lines()[-1:], ['end'],
                                     'the probe did not see the window go: %r' %
                                     self.lines()[-3:])
            return changes
        except subprocess.TimeoutExpired:
            harness.kill_process(self.process)
            self.session.fail('the probe did not see the watched window go')
        finally:
            self.output.close()
            os.unlink(self.output.name)

    def abandon(self):
        harness.kill_process(self.process)
        self.output.close()
        os.unlink(self.output.name)


class MappedWindows:
    """The windows mapped on the X display between two marks: every window a Wine program
    shows, however briefly, is mapped. xev watches the root window; a property set on the root
    before and after brackets what belongs to the case."""

    def __init__(self, session):
        self.session = session
        self.output = tempfile.NamedTemporaryFile(dir=ARGS.state, delete=False)
        self.process = subprocess.Popen(['xev', '-root', '-event', 'substructure', '-event',
                                         'property'], stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT,
                                        env=session.env)
        self.marks = 0
        try:
            self.mark()
        except BaseException:
            self.close()
            raise

    def text(self):
        with open(self.output.name, encoding='latin-1') as f:
            return f.read()

    def mark(self):
        """Sets a new mark and waits until xev has seen it: every earlier event is in."""
        self.marks += 1
        name = '_KESTRIN_MARK_%d' % self.marks

        def seen():
            if self.process.poll() is not None:
                self.session.fail('xev ended: ' + self.text())
            if '(%s)' % name in self.text():
                return True
            # Set again while waiting: the first may have come before xev listened.
            self.session.command(['xprop', '-root', '-f', name, '8s', '-set', name, 'mark'])
            return False

        if not harness.wait_until(seen, 15, interval=0.1):
            self.session.fail('xev did not see ' + name)
        self.session.command(['xprop', '-root', '-remove', name])
        return self.text().index('(%s)' % name)

    def shown_during(self, action):
        """Runs action(); returns the windows mapped meanwhile, as "WIDTHxHEIGHT+X+Y"."""
        start = self.mark()
        action()
        end = self.mark()
        geometry = {}
        shown = []
        for event in self.text()[start:end].split('\n\n'):
            event = event.strip()
            placed = re.search(r'window (0x[0-9a-f]+), \((-?\d+),(-?\d+)\), width (\d+), '
                               r'height (\d+)', event)
            if event.startswith(('CreateNotify', 'ConfigureNotify')) and placed:
                geometry[placed.group(1)] = '%sx%s+%s+%s' % placed.group(4, 5, 2, 3)
            elif event.startswith('MapNotify'):
                window = re.search(r'event 0x[0-9a-f]+, window (0x[0-9a-f]+)', event).group(1)
                shown.append(geometry.get(window, window))
        return shown

    def close(self):
        harness.end_process(self.process)
        self.output.close()
        os.unlink(self.output.name)


def centred(on, window):
    width, height = window[2] - window[0], window[3] - window[1]
    return ((on[0] + on[2]) // 2 - width // 2, (on[1] + on[3]) // 2 - height // 2)


# (installed number and letter stored, or None for no settings; server lines 2 and 3; the text
# UPDATE_REQUEST shows with %(home)s for the home address.)
VERSION_CHECKS = [
    (None, ('2', 'B'), NEWER_RELEASE % ('1', 'A', '2', 'B', '%(home)s')),
    # A lower number with a later letter is an older release, not a new one.
    (('6', 'B'), ('5', 'C'), CURRENT_RELEASE),
    (('6', 'b'), ('6', 'c'), NEWER_RELEASE % ('6', 'b', '6', 'c', '%(home)s')),
]

RUN_START = [('status', 'Connecting to Server'), ('status', 'Connected'),
             ('status', 'Checking version'), ('status', 'Checking file list'), ('progress', 0)]
RUN_END = [('status', 'Completed- Press Cancel'), ('progress', 0), ('status', '')]


def seen_in(changes):
    """What became of each listed file in a run's changes: {name: Updated, Failed or Unchanged}."""
    return dict(reversed(text.split('...', 1)) for kind, text in changes if kind == 'status' and
                text.startswith(('Updated...', 'Failed...', 'Unchanged...')))


def fetched(name, position):
    return [('status', 'Updating...' + name), ('status', 'Updated...' + name),
            ('progress', position)]


def unchanged(name, position):
    return [('status', 'Unchanged...' + name), ('progress', position)]


class WineProgram(Session):
    @photographed_on_failure
    def test_update_request_without_server(self):
        """One message box with the connection text, the only window shown, then the process
        ends; the empty settings keys are in the registry afterwards."""
        self.clear_settings()
        self.assertFalse(self.key_exists(FILES_KEY), 'the settings key exists before the run')

        log = os.path.join(ARGS.artifacts, 'request-without-server.log')
        if os.path.exists(log):
            os.remove(log)
        port = closed_port()

        def run():
            process = self.start('UPDATE_REQUEST', server_port=port,
                                 extra_env={'KESTRIN_LOG': windows_path(log)})
            self.wait_for(lambda: self.count('Kestrin') > 0, 'the message box')
            time.sleep(1.0)
            self.assertEqual(self.count('Kestrin'), 1, 'message boxes')
            self.assertEqual(self.count('Updating System'), 0,
                             'the dialog is shown in a command-line mode')
            self.assertIn(NO_CONNECTION_FOR_REQUEST, self.message_box_text())
            self.screenshot('Kestrin', 'update_request_message.png')
            self.key('Kestrin', 'Return')
            self.wait_exit(process, 'UPDATE_REQUEST')

        mapped = MappedWindows(self)
        try:
            shown = mapped.shown_during(run)
        finally:
            mapped.close()
        self.assertEqual(len(shown), 1, 'windows shown: %r' % shown)
        self.assertTrue(self.key_exists(FILES_KEY), FILES_KEY + ' is missing after the run')
        # The diagnosis log says why, before the message and the end of the run.
        with open(log, encoding='latin-1') as f:
            logged = re.sub(r'(?m)^\S+ \S+ ', '', f.read())
        self.assertRegex(logged, r'connect to 127\.0\.0\.1:%d as \S+ failed: the connection was '
                         r'refused or could not be made\n(.*\n)*message box: The System could not '
                         r'connect to the internet\.\\n(.*\n)*run ended\n' % port)

    @photographed_on_failure
    def test_update_norequest_without_server(self):
        """No window at all, not even the dialog for an instant, and the process ends by
        itself."""
        def run():
            process = self.start('UPDATE_NOREQUEST', server_port=closed_port())
            self.wait_exit(process, 'UPDATE_NOREQUEST', timeout=30)

        mapped = MappedWindows(self)
        try:
            shown = mapped.shown_during(run)
        finally:
            mapped.close()
        self.assertEqual(shown, [], 'windows shown')

    @photographed_on_failure
    def test_dialog_about_and_escape(self):
        """The dialog opens centred with its layout; Enter runs an update that cannot connect;
        the About entry (selected by its command) opens the About box centred over the dialog;
        Escape ends the process."""
        process = self.start(server_port=closed_port())
        self.wait_for(lambda: self.count('Updating System') == 1, 'the update dialog')
        dialog = self.describe('Updating System')
        self.assertEqual(dialog['client'], (480, 88), 'client area')
        self.assertEqual(centred(dialog['workarea'], dialog['window']), dialog['window'][:2],
                         'dialog not centred: %r in %r' % (dialog['window'], dialog['workarea']))
        controls = [(c['id'], c['class'].lower(), c['text']) for c in dialog['controls']]
        self.assertEqual(controls, [(1002, 'button', '&Update'), (2, 'button', 'Cancel'),
                                    (1000, 'msctls_progress32', 'Progress1'),
                                    (1001, 'static', '')], 'controls')
        self.screenshot('Updating System', 'update_dialog.png')

        # Enter presses Update: the connection fails, the message says so, the dialog stays.
        self.key('Updating System', 'Return')
        self.wait_for(lambda: self.count('Kestrin') == 1, 'the connection message')
        self.assertIn(NO_CONNECTION_FOR_UPDATE, self.message_box_text())
        self.key('Kestrin', 'Return')
        self.wait_for(lambda: self.count('Kestrin') == 0, 'the message box to close')
        after = {c['id']: c for c in self.describe('Updating System')['controls']}
        self.assertEqual((after[1001]['text'], after[1002]['enabled']), ('', True),
                         'after the run: status and whether Update is enabled')

        rc, out = self.probe('syscommand', 'Updating System', '16')
        self.assertEqual(rc, 0, 'posting the About command failed: ' + out)
        self.wait_for(lambda: self.count('About Kestrin') == 1, 'the About box')
        about = self.describe('About Kestrin')
        owner = self.describe('Updating System')
        self.assertFalse(owner['enabled'], 'the dialog is enabled under its About box')
        self.assertEqual(centred(owner['window'], about['window']), about['window'][:2],
                         'About box not centred over the dialog: %r over %r' %
                         (about['window'], owner['window']))
        self.screenshot('About Kestrin', 'about_box.png')
        self.key('About Kestrin', 'Return')
        self.wait_for(lambda: self.count('About Kestrin') == 0, 'the About box to close')
        self.wait_for(lambda: self.describe('Updating System')['enabled'],
                      'the dialog to be enabled')

        self.key('Updating System', 'Escape')
        self.wait_exit(process, 'Escape')

    @photographed_on_failure
    def test_update_request_with_server(self):
        """Against a local FTP server: the message box shows exactly the text of the outcome,
        read back from its static control, and is the only window shown; Return closes it and
        the process ends."""
        with self.update_server() as server:
            mapped = MappedWindows(self)
            try:
                for installed, (number, letter), text in VERSION_CHECKS:
                    self.clear_settings()
                    if installed:
                        self.set_setting('Update', 'VersionA', installed[0])
                        self.set_setting('Update', 'VersionB', installed[1])
                    server.serve({'Update/Version.txt': 'Tamwix release\r\n%s\r\n%s\r\n' % (
                        number, letter)})
                    case = 'installed %r, server %s%s' % (installed, number, letter)
                    before = len(server.retrieved())

                    def run():
                        process = self.start('UPDATE_REQUEST', server_port=server.port)
                        self.wait_for(lambda: self.count('Kestrin') > 0, 'the version message')
                        self.assertEqual(self.message_box_text(),
                                         [text % {'home': ARGS.home}],
                                         '%s: message box text' % case)
                        if installed is None:
                            self.screenshot('Kestrin', 'newer_release_message.png')
                        self.key('Kestrin', 'Return')
                        self.wait_exit(process, 'UPDATE_REQUEST with a server')

                    shown = mapped.shown_during(run)
                    self.assertEqual(len(shown), 1, '%s: windows shown %r' % (case, shown))
                    self.assertEqual([p for _, p in server.retrieved()[before:]],
                                     ['Update/Version.txt'], '%s: fetched' % case)
            finally:
                mapped.close()

    @photographed_on_failure
    def test_update_norequest_current_release(self):
        """The installed release is the server's: the silent check fetches the version file
        and the program ends without showing any window, not even for an instant. The same
        watch sees the one window of a silent check that finds a newer release."""
        with self.update_server() as server:
            self.clear_settings()
            self.set_setting('Update', 'VersionA', '2')
            self.set_setting('Update', 'VersionB', 'B')

            def current():
                process = self.start('UPDATE_NOREQUEST', server_port=server.port)
                self.wait_exit(process, 'UPDATE_NOREQUEST', timeout=30)

            def newer():
                process = self.start('UPDATE_NOREQUEST', server_port=server.port)
                self.wait_for(lambda: self.count('Kestrin') > 0, 'the version message')
                self.assertEqual(self.message_box_text(),
                                 [NEWER_RELEASE % ('2', 'B', '2', 'C', ARGS.home)],
                                 'message box text')
                self.key('Kestrin', 'Return')
                self.wait_exit(process, 'UPDATE_NOREQUEST with a newer release')

            mapped = MappedWindows(self)
            try:
                server.serve({'Update/Version.txt': 'Tamwix release\r\n2\r\nB\r\n'})
                shown = mapped.shown_during(current)
                self.assertEqual([p for _, p in server.retrieved()], ['Update/Version.txt'],
                                 'fetched')
                self.assertEqual(shown, [], 'windows shown for a current release')

                server.serve({'Update/Version.txt': 'Tamwix release\r\n2\r\nC\r\n'})
                shown = mapped.shown_during(newer)
                self.assertEqual(len(shown), 1, 'windows shown for a newer release: %r' % shown)
            finally:
                mapped.close()

    def fresh_install(self, folder):
        """An empty install directory C:\\<folder> with its product directory, both gone (and
        the settings cleared) when the test ends: (install, product)."""
        install = self.drive_c(folder)
        product = os.path.join(install, 'Pelmora')
        shutil.rmtree(install, ignore_errors=True)
        os.makedirs(product)
        self.addCleanup(self.clear_settings)
        self.addCleanup(shutil.rmtree, install, ignore_errors=True)
        return install, product

    def pressed_update(self, server, extra_env=None, exe=None, message=None):
        """Starts the dialog (of exe when given), presses Update (Return) with the probe
        watching, waits for the run to end (the status cleared, Update enabled again), presses
        Escape; returns the status texts and progress positions of the run. With message, the
        run shows that one message box, which is answered; without, it shows none."""
        process = self.start(server_port=server.port, extra_env=extra_env, exe=exe)
        self.wait_for(lambda: self.count('Updating System') == 1, 'the update dialog')
        watch = Watch(self, 'Updating System')
        try:
            self.key('Updating System', 'Return')
            if message is not None:
                self.wait_for(lambda: self.count('Kestrin') == 1, 'the message box')
                self.assertEqual(self.message_box_text(), [message])
                self.key('Kestrin', 'Return')

            def ended():
                changes = watch.changes()
                return ((message is not None or ('status', 'Completed- Press Cancel') in changes)
                        and changes[-1:] == [('status', '')])

            if not harness.wait_until(ended, 60, interval=0.25):
                self.fail('the run did not end; its last changes: %r' % watch.changes()[-5:])
            controls = {c['id']: c for c in self.describe('Updating System')['controls']}
            self.assertTrue(controls[1002]['enabled'], 'Update is disabled after the run')
            self.assertEqual(self.count('Kestrin'), 0, 'the run showed a message box')
            # The keyboard still reaches the dialog: Update, which had it before the run, has
            # it back now that it is enabled again.
            self.key('Updating System', 'Escape')
            self.wait_exit(process, 'Escape after the run')
        except BaseException:
            watch.abandon()
            raise
        return watch.close()

    @photographed_on_failure
    def test_synchronisation(self):
        """The Update button brings a product directory on the Wine drive up to date: missing
        files (one in a subdirectory that does not exist yet) and an outdated one are fetched
        byte for byte, a current one is kept; the run right after fetches nothing but the two
        lists and reports every file unchanged."""
        install, product = self.fresh_install('KestrinSync')
        # Made just now: not before local midnight of today, but before that of tomorrow.
        today = datetime.date.today()
        tomorrow = today + datetime.timedelta(days=1)
        for name in ('kept.txt', 'old.dat'):
            with open(os.path.join(product, name), 'wb') as f:
                f.write(b'local ' + name.encode())
        binary = bytes(range(256)) * 16 + b'\x1a\r\n\n\r\x00end'
        served = {'a.txt': b'first file\r\n', 'b.bin': binary,
                  'sub\\x.dat': b'in a subdirectory\n', 'old.dat': b'server old.dat',
                  'kept.txt': b'server kept.txt'}
        entries = [('a.txt', today), ('b.bin', today), ('sub\\x.dat', today),
                   ('kept.txt', today), ('old.dat', tomorrow)]

        with self.update_server() as server:
            # The server path is "Update/" and the name with slashes between its components.
            server.serve({'Update/' + name.replace('\\', '/'): content
                          for name, content in served.items()})
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n'})

            def serve_list(entries):
                server.serve({'Update/File_list.txt': ''.join(
                    ' %s\t\r\n%s \r\n' % (name, date.isoformat()) for name, date in entries)})

            self.clear_settings()
            # Without the trailing backslash, which the program adds.
            self.set_setting('FILES', 'Directory', r'C:\KestrinSync')
            serve_list(entries)
            changes = self.pressed_update(server)
            self.assertEqual(changes, RUN_START + fetched('a.txt', 0) + fetched('b.bin', 25) +
                             fetched('sub\\x.dat', 50) + unchanged('kept.txt', 75) +
                             fetched('old.dat', 100) + RUN_END, 'first run')
            expected = {'Pelmora/' + k: v for k, v in (
                ('a.txt', served['a.txt']), ('b.bin', binary), ('sub/x.dat', served['sub\\x.dat']),
                ('kept.txt', b'local kept.txt'), ('old.dat', served['old.dat']))}
            self.assertEqual(read_files(install), expected,
                             'product directory after the first run')
            # The lists over the run's connection, then each file once over it or the further
            # one (two by default; the further one takes none when the run's is ahead of it).
            first = server.retrieved()
            connections = {conn for conn, _ in first}
            self.assertLessEqual(len(connections), 2, 'control connections of the first run: %r' %
                                 first)
            self.assertEqual(first[:2], [(1, 'Update/Version.txt'), (1, 'Update/File_list.txt')])
            self.assertEqual(sorted(p for _, p in first[2:]), [
                'Update/a.txt', 'Update/b.bin', 'Update/old.dat', 'Update/sub/x.dat'],
                'first run fetched')
            # What WinInet was made to ask, each a round trip: its own TYPE before every RETR,
            # and ours before each connection's first SIZE only.
            asked = [arg for _, arg in server.commands()]
            with open(os.path.join(ARGS.artifacts, 'synchronisation_commands.txt'), 'w') as f:
                f.write('\n'.join(asked) + '\n')
            self.assertLessEqual(len([a for a in asked if a.startswith('TYPE ')]),
                                 len(first) + len(connections), asked)

            # old.dat, dated tomorrow, would be fetched on every run; the day of the first
            # run covers what that run fetched.
            entries[-1] = ('old.dat', today)
            serve_list(entries)
            changes = self.pressed_update(server)
            self.assertEqual(changes, RUN_START + unchanged('a.txt', 0) + unchanged('b.bin', 25) +
                             unchanged('sub\\x.dat', 50) + unchanged('kept.txt', 75) +
                             unchanged('old.dat', 100) + RUN_END, 'second run')
            second = server.retrieved()[len(first):]
            self.assertEqual([p for _, p in second],
                             ['Update/Version.txt', 'Update/File_list.txt'], 'second run fetched')
            self.assertEqual(read_files(install), expected,
                             'the second run changed the product directory')

    @photographed_on_failure
    def test_hostile_server_and_tree(self):
        """A link planted below the product directory leads nowhere the update writes; a file
        longer than its announced size and one that drips fail and keep the copies there; a
        name at the path limit lands whatever its temporary name."""
        install = self.drive_c('KestrinHostile')
        outside = self.drive_c('KestrinOutside')
        for d in (install, outside):
            shutil.rmtree(d, ignore_errors=True)
        self.addCleanup(self.clear_settings)
        self.addCleanup(shutil.rmtree, install, ignore_errors=True)
        self.addCleanup(shutil.rmtree, outside, ignore_errors=True)
        product = os.path.join(install, 'Pelmora')
        os.makedirs(product)
        os.makedirs(outside)
        # Made from Linux: Wine shows it as a directory that is a reparse point.
        os.symlink(outside, os.path.join(product, 'etc'))
        files = {'precious.conf': b'precious', 'sized.bin': b'old sized', 'slow.bin': b'old slow'}
        for name, content in files.items():
            with open(os.path.join(outside if name == 'precious.conf' else product, name),
                      'wb') as f:
                f.write(content)
        # The install directory as the program reads it, then "\Pelmora\" and "x": 259
        # characters.
        long_install = 'C:\\KestrinHostile\\long'
        while len(long_install) < 249:
            long_install += '\\' + 'd' * min(200, 249 - len(long_install) - 1)
        os.makedirs(self.drive_c(*long_install[3:].split('\\'), 'Pelmora'))

        with self.update_server() as server:
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                          'Update/etc/precious.conf': b'server', 'Update/x': b'fits',
                          'Update/sized.bin': b's' * 4000, 'Update/sized.bin.fault': 'size-1000',
                          'Update/slow.bin': b'd' * 2000, 'Update/slow.bin.fault': 'drip-50',
                          'Update/cut.bin': b'c' * 4000,
                          # Without a size each try starts over, so every try is cut alike.
                          'Update/cut.bin.fault': 'nosize drop-after-1000',
                          'Update/after.bin': b'after'})
            # A transfer that dripped, or was cut off with its control connection, does not
            # fail the next file: the run logs in again (Wine's WinInet refuses any further
            # transfer on a connection whose transfer did not end).
            server.serve({'Update/File_list.txt': 'etc/precious.conf\r\n2099-01-01\r\n'
                          'sized.bin\r\n2099-01-01\r\nslow.bin\r\n2099-01-01\r\n'
                          'cut.bin\r\n2099-01-01\r\nafter.bin\r\n2099-01-01\r\n'
                          'quiet/q.txt\r\n2001-01-01\r\n'})
            # What killed runs left goes from each directory the run looks into, also where
            # nothing lands.
            leftovers = [os.path.join(product, '~kst0a0b.tmp'),
                         os.path.join(product, 'quiet', '~kst1111.tmp')]
            write_files(product, {'quiet/q.txt': b'current', 'quiet/~kst1111.tmp': b'left',
                                  '~kst0a0b.tmp': b'left'})
            for path in leftovers:
                os.utime(path, (time.time() - 60,) * 2)
            self.clear_settings()
            self.set_setting('FILES', 'Directory', r'C:\KestrinHostile')
            # The window of the floor rate is the receive time-out: two seconds here.
            changes = self.pressed_update(server, {'KESTRIN_NET_TIMEOUT_MS': '2000'})
            outcomes = [text for kind, text in changes if kind == 'status' and
                        text.startswith(('Updated...', 'Failed...', 'Unchanged...'))]
            self.assertEqual(outcomes, ['Failed...etc/precious.conf', 'Failed...sized.bin',
                                        'Failed...slow.bin', 'Failed...cut.bin',
                                        'Updated...after.bin', 'Unchanged...quiet/q.txt'])
            self.assertEqual([p for p in leftovers if os.path.exists(p)], [])
            self.assertEqual(read_files(outside), {'precious.conf': b'precious'})
            for name in ('sized.bin', 'slow.bin'):
                with open(os.path.join(product, name), 'rb') as f:
                    self.assertEqual(f.read(), files[name], name)

            server.serve({'Update/File_list.txt': 'x\r\n2001-01-01\r\n'})
            self.set_setting('FILES', 'Directory', long_install)
            changes = self.pressed_update(server)
            self.assertIn(('status', 'Updated...x'), changes)
            with open(self.drive_c(*long_install[3:].split('\\'), 'Pelmora', 'x'), 'rb') as f:
                self.assertEqual(f.read(), b'fits')


    @photographed_on_failure
    def test_cut_transfers_and_a_busy_server(self):
        """A server at its connection limit for the first two connects is tried again; a file
        cut off goes on where it stopped (from its start where the server cannot resume), one
        refused as busy is asked again: every file lands, the server sending each byte once
        where it can resume. A server that stays busy ends the run with the connection message
        after three tries, one that refuses the login after one."""
        _, product = self.fresh_install('KestrinTransient')
        size = 300000
        payload = bytes(range(256)) * (size // 256 + 1)
        changed = bytes(255 - b for b in payload[:size])
        cases = [
            # name, faults, bytes sent of it over all tries (None: not counted)
            ('cut.bin', 'drop-after-100000 once', size),
            ('norest.bin', 'drop-after-100000 once norest', size + 100000),
            ('busy.bin', 'busy-2', size),
            # Cut on every try (426, the control connection kept): a new login asks the rest.
            ('cut-426.bin', 'cut-after-120000', size),
            # Another file of the size, an hour later, after the cut; a server without MDTM.
            ('changed.bin', 'drop-after-100000 once changes', None),
            ('no-time.bin', 'drop-after-100000 once nomdtm', size + 100000),
            # REST answered 350 and the file sent from its start: found out, fetched whole.
            ('ignored.bin', 'drop-after-100000 once ignorerest', None),
        ]
        retry = {'KESTRIN_RETRY_WAIT_MS': '50'}
        self.clear_settings()
        self.set_setting('FILES', 'Directory', r'C:\KestrinTransient')
        with self.update_server(['--busy', '2']) as server:
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n'})
            server.serve({'Update/File_list.txt': ''.join(
                '%s\r\n2099-01-01\r\n' % name for name, _, _ in cases)})
            for name, faults, _ in cases:
                server.serve({'Update/' + name: payload[:size], 'Update/%s.fault' % name: faults})
            server.serve({'Update/changed.bin.next': changed})
            served = os.path.join(server.root, 'Update', 'changed.bin')
            os.utime(served + '.next', (os.path.getmtime(served) + 3600,) * 2)
            changes = self.pressed_update(server, retry)
            outcomes = [text for kind, text in changes if kind == 'status' and
                        text.startswith(('Updated...', 'Failed...', 'Unchanged...'))]
            self.assertEqual(outcomes, ['Updated...' + name for name, _, _ in cases])
            self.assertEqual(read_files(product),
                             {name: changed if name == 'changed.bin' else payload[:size]
                              for name, _, _ in cases})
            for name, _, sent in cases:
                if sent is not None:
                    self.assertEqual(server.bytes_sent('Update/' + name), sent, name)
            busy = [conn for conn, event, _ in server.events() if event == 'busy']
            self.assertEqual(busy[:2], [1, 2], server.events())

        # Busy for good: three connects; a refused login (530): one.
        for options, connections in ((['--busy', '10'], 3), (['--refuse-logins'], 1)):
            with self.update_server(options) as server:
                self.pressed_update(server, retry, message=NO_CONNECTION_FOR_UPDATE)
                self.assertEqual(len(server.connections()), connections, options)

    @photographed_on_failure
    def test_silent_greeting_login_and_transfer(self):
        """A greeting or a PASS that never comes is given up after the connect time-out and
        tried again, three connects in all, as on Linux; a transfer that stalls ends within the
        floor's windows and the next file still lands."""
        _, product = self.fresh_install('KestrinSilent')
        self.clear_settings()
        self.set_setting('FILES', 'Directory', r'C:\KestrinSilent')
        quick = {'KESTRIN_NET_TIMEOUT_MS': '2000', 'KESTRIN_RETRY_WAIT_MS': '50'}
        for options in (['--mute'], ['--mute-on', 'PASS']):
            with self.update_server(options) as server:
                start = time.monotonic()
                self.pressed_update(server, quick, message=NO_CONNECTION_FOR_UPDATE)
                elapsed = time.monotonic() - start
                self.assertEqual(len(server.connections()), 3, options)
                # Three connect time-outs of 2 s and two short waits, with room for a loaded
                # machine and Wine's start-up; Wine's own wait would be 30 s a reply.
                self.assertLess(elapsed, 25, options)
        with self.update_server() as server:
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                          'Update/stalled.bin': b's' * 300000,
                          'Update/stalled.bin.fault': 'stall-after-100000',
                          'Update/next.bin': b'next',
                          'Update/File_list.txt': 'stalled.bin\r\n2099-01-01\r\n'
                                                  'next.bin\r\n2099-01-01\r\n'})
            start = time.monotonic()
            changes = self.pressed_update(server, quick)
            elapsed = time.monotonic() - start
            self.assertIn(('status', 'Failed...stalled.bin'), changes)
            self.assertIn(('status', 'Updated...next.bin'), changes)
            self.assertEqual(read_files(product), {'next.bin': b'next'})
            # Two windows of the floor (2 s each) at most, where Wine alone would wait 30 s more.
            self.assertLess(elapsed, 20)

    @photographed_on_failure
    def test_several_connections_at_once(self):
        """Four connections asked of a server that takes two at once: the run goes on with the
        connections it has, and every file lands, the lines in the list's order and form."""
        _, product = self.fresh_install('KestrinConnections')
        names = ['a.bin', 'sub\\b.bin', 'c.bin', 'd.bin', 'sub\\e.bin', 'f.bin']
        served = {name: os.urandom(7 + 60000 * (i % 3)) for i, name in enumerate(names)}
        self.clear_settings()
        self.set_setting('FILES', 'Directory', r'C:\KestrinConnections')
        with self.update_server(['--max-connections', '2']) as server:
            server.serve({'Update/' + name.replace('\\', '/'): data
                          for name, data in served.items()})
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                          'Update/File_list.txt': ''.join('%s\r\n2001-01-01\r\n' % name
                                                          for name in names)})
            changes = self.pressed_update(server, {'KESTRIN_TRANSFER_CONNECTIONS': '4'})
            self.assertEqual(changes, RUN_START + [change for i, name in enumerate(names)
                                                   for change in fetched(name, i * 20)] + RUN_END)
            self.assertEqual(read_files(product), {name.replace('\\', '/'): data
                                                   for name, data in served.items()})
            # Two logged in at once, the limit; a further connection was refused.
            self.assertEqual(server.most_logged_in(), 2, server.events())
            self.assertIn('busy', [event for _, event, _ in server.events()])

    def signed_product(self, folder):
        """For the program built with the tests' key: a fresh install directory C:\\<folder>
        that the settings name, with signed_release.VERSION installed; its product directory."""
        if not ARGS.signed_exe:
            self.skipTest('no --signed-exe')
        install = self.drive_c(folder)
        self.addCleanup(self.clear_settings)
        self.addCleanup(shutil.rmtree, install, ignore_errors=True)
        shutil.rmtree(install, ignore_errors=True)
        os.makedirs(install)
        self.clear_settings()
        self.set_setting('FILES', 'Directory', 'C:\\' + folder)
        self.set_setting('Update', 'VersionA', signed_release.VERSION[0])
        self.set_setting('Update', 'VersionB', signed_release.VERSION[1])
        return os.path.join(install, 'Pelmora')

    @photographed_on_failure
    def test_signed_releases(self):
        """The program built with the tests' key: a genuine release lands, and each spoiled one
        is refused (signed_release.CASES), the old copies kept."""
        product = self.signed_product('KestrinSigned')
        old = {name: b'old ' + name.encode() for name in signed_release.FILES}
        with self.update_server() as server:
            serial = signed_release.publish(server.root)
            update = os.path.join(server.root, 'Update')
            pristine = read_files(server.root)
            for what, spoil, outcomes in signed_release.CASES:
                with self.subTest(what):
                    shutil.rmtree(product, ignore_errors=True)
                    write_files(product, old)
                    server.serve(pristine)
                    for entry, value in (spoil(update) or {}).items():
                        self.set_setting('Update', entry, value)
                    asked_before = len(server.commands())
                    log = os.path.join(ARGS.artifacts, 'signed-case.log')
                    if os.path.exists(log):
                        os.remove(log)
                    changes = self.pressed_update(server, exe=ARGS.signed_exe, message=(
                        signed_release.UNVERIFIED if outcomes is None else None),
                        extra_env={'KESTRIN_LOG': windows_path(log)})
                    self.assertIsNone(signed_release.logged_reason(what, log))
                    # A file the manifest records is held to its size there, unasked.
                    self.assertEqual(signed_release.sized_needlessly(
                        [arg for _, arg in server.commands()[asked_before:]]), set())
                    seen = seen_in(changes)
                    self.assertEqual(seen, outcomes or {})
                    self.assertEqual(read_files(product), {
                        name: signed_release.FILES[name] if (outcomes or {}).get(name) ==
                        'Updated' else old[name] for name in old})
                    if outcomes is not None:
                        rc, out = self.wine('reg', 'query', SETTINGS_KEY + r'\Update', '/v',
                                            'ManifestSerial')
                        self.assertRegex(out, r'ManifestSerial\s+REG_SZ\s+%d\b' % serial)
            with self.subTest('a serial stored as a registry number'):
                # No serial of the program's: never taken for a lower one, nor replaced.
                shutil.rmtree(product, ignore_errors=True)
                write_files(product, old)
                server.serve(pristine)
                self.wine('reg', 'add', SETTINGS_KEY + r'\Update', '/v', 'ManifestSerial', '/t',
                          'REG_DWORD', '/d', '300', '/f')
                self.pressed_update(server, exe=ARGS.signed_exe, message=signed_release.UNVERIFIED)
                self.assertEqual(read_files(product), old)
                rc, out = self.wine('reg', 'query', SETTINGS_KEY + r'\Update', '/v',
                                    'ManifestSerial')
                self.assertRegex(out, r'ManifestSerial\s+REG_DWORD\s+0x12c\b')

    @photographed_on_failure
    def test_signed_copies_converge(self):
        """The program built with the tests' key holds each copy to its recorded content
        (signed_release.CONVERGENCE), whatever its listed date says, knowing a copy it hashed
        before by what Windows says of the file."""
        product = self.signed_product('KestrinConverge')
        with self.update_server() as server:
            signed_release.publish(server.root, signed_release.CONTENT_DATES)
            write_files(product, signed_release.FILES)
            # Hashed a while after they were written, the copies' hashes are kept.
            time.sleep(2.1)
            for what, change, fetched in [('copies written by hand', lambda product: None,
                                           set())] + signed_release.CONVERGENCE:
                with self.subTest(what):
                    change(product)
                    changes = self.pressed_update(server, exe=ARGS.signed_exe)
                    seen = seen_in(changes)
                    self.assertEqual(seen, signed_release.converged_outcomes(fetched))
                    self.assertEqual(read_files(product), signed_release.FILES)

    @photographed_on_failure
    def test_signed_dropped_files(self):
        """The program built with the tests' key removes a dropped file only when it holds a
        content recorded for it (signed_release.DROPPING; Wine shows the program a Unix link as
        the file it points to, so the row of a link is Linux's alone)."""
        product = self.signed_product('KestrinDropped')
        with self.update_server() as server:
            signed_release.publish(server.root, files=signed_release.DROPPING_FILES,
                                   dropped=signed_release.DROPPED)
            for what, before, removed, after in signed_release.DROPPING:
                if signed_release.LINK in before.values():
                    continue
                with self.subTest(what):
                    shutil.rmtree(product, ignore_errors=True)
                    signed_release.make_product(product, before, None)
                    changes = self.pressed_update(server, exe=ARGS.signed_exe)
                    statuses = [text for kind, text in changes if kind == 'status']
                    self.assertEqual([text[len('Removed...'):] for text in statuses
                                      if text.startswith('Removed...')], removed)
                    self.assertFalse([text for text in statuses if text.startswith('Failed...')])
                    self.assertEqual(signed_release.product_state(
                        product, signed_release.DROPPING_FILES), after)
            with self.subTest('a dropped name listed again'):
                signed_release.publish(server.root)
                shutil.rmtree(product, ignore_errors=True)
                write_files(product, {'d.txt': b'older d'})
                changes = self.pressed_update(server, exe=ARGS.signed_exe)
                self.assertIn(('status', 'Updated...d.txt'), changes)
                self.assertEqual(read_files(product), signed_release.FILES)

    @photographed_on_failure
    def test_signed_mirror(self):
        """The program built with the tests' key whose server cannot be reached takes the
        release from the mirror the environment names, every file landing."""
        product = self.signed_product('KestrinMirror')
        with self.update_server() as mirror:
            signed_release.publish(mirror.root)
            unreachable = types.SimpleNamespace(port=closed_port())
            changes = self.pressed_update(unreachable, exe=ARGS.signed_exe, extra_env={
                'KESTRIN_UPDATE_MIRRORS': '127.0.0.1:%d' % mirror.port, 'KESTRIN_RETRY_WAIT_MS': '50'})
            self.assertEqual(sorted(text for kind, text in changes if kind == 'status' and
                                    text.startswith(('Updated...', 'Failed...'))),
                             sorted('Updated...' + name for name in signed_release.FILES))
            self.assertEqual(read_files(product), signed_release.FILES)

    @photographed_on_failure
    def test_signed_failover(self):
        """The program built with the tests' key takes from the mirror behind its server what
        the server fails its own way (signed_release.FAILOVER), every file landing as released."""
        product = self.signed_product('KestrinFailover')
        old = {name: b'old ' + name.encode() for name in signed_release.FILES}
        everything = {name: 'Updated' for name in signed_release.FILES}
        with self.update_server() as mirror:
            signed_release.publish(mirror.root)
            pristine = read_files(mirror.root)
            for what, spoil, options, env, from_mirror in signed_release.FAILOVER:
                with self.subTest(what), self.update_server(options) as server:
                    server.serve(pristine)
                    spoil(os.path.join(server.root, 'Update'))
                    shutil.rmtree(product, ignore_errors=True)
                    write_files(product, old)
                    sent_before = len(mirror.retrieved())
                    changes = self.pressed_update(server, exe=ARGS.signed_exe, extra_env=dict(
                        env, KESTRIN_UPDATE_MIRRORS='127.0.0.1:%d' % mirror.port,
                        KESTRIN_RETRY_WAIT_MS='50'))
                    self.assertEqual(seen_in(changes), everything)
                    self.assertEqual(read_files(product), signed_release.FILES)
                    self.assertLessEqual({'Update/' + name for name in from_mirror},
                                         {path for _, path in mirror.retrieved()[sent_before:]})

    @photographed_on_failure
    def test_signed_cache_of_another_user(self):
        """A content cache that another user could have planted in the program's cache folder is
        never read: a digest made wrong there is not believed, as it is in the user's own."""
        if os.geteuid() != 0:
            self.skipTest('only root can give a file to another user')
        product = self.signed_product('KestrinOwnCache')
        unchanged = {name: 'Unchanged' for name in signed_release.FILES}
        with self.update_server() as server:
            signed_release.publish(server.root)
            write_files(product, signed_release.FILES)
            # Hashed a while after they were written, the copies' hashes are kept.
            time.sleep(2.1)
            self.pressed_update(server, exe=ARGS.signed_exe)
            caches = [path for path in signed_release.cache_files(os.path.join(
                self.drive_c('users'), '**', 'Kestrin')) if os.path.getmtime(path) > time.time() - 60]
            self.assertEqual(len(caches), 1, caches)
            self.addCleanup(os.remove, caches[0])
            for what, give in [("the user's own cache", False), ('a cache of another user', True)]:
                with self.subTest(what):
                    time.sleep(2.1)
                    spoiled = signed_release.spoil_last_digest(caches[0])
                    if give:
                        os.chown(caches[0], 65534, 65534)
                    changes = self.pressed_update(server, exe=ARGS.signed_exe)
                    # Believed, the wrong digest has its copy fetched.
                    self.assertEqual(seen_in(changes), dict(unchanged, **(
                        {} if give else {spoiled: 'Updated'})))
                    self.assertEqual(read_files(product), signed_release.FILES)

    @photographed_on_failure
    def test_shipped_archive(self):
        """The archive that product teams ship, as the README's commands made it from the
        release-windows preset (scripts/test.sh does that first), holds, in one folder named
        after the version record, Kestrin.exe, its notes (with Windows line ends, naming both
        switches and the settings key) and the licence; the Kestrin.exe unpacked from it shows
        the dialog and ends with Escape."""
        folder = 'Kestrin-%s-win32' % harness.version_record(ARGS.source)
        zip_path = os.path.join(ARGS.zip_dir or '', folder + '.zip')
        if not ARGS.zip_dir or not os.path.exists(zip_path):
            self.skipTest('no %s: make it with "scripts/test.sh release"' % zip_path)
        work = tempfile.mkdtemp(dir=ARGS.state)
        self.addCleanup(shutil.rmtree, work, ignore_errors=True)
        with zipfile.ZipFile(zip_path) as archive:
            names = sorted(n for n in archive.namelist() if not n.endswith('/'))
            self.assertEqual(names, [folder + '/' + n for n in
                                     ('Kestrin.exe', 'LICENSE.txt', 'README.txt')])
            notes = archive.read(folder + '/README.txt')
            archive.extractall(work)
        self.assertNotRegex(notes, rb'[^\r]\n', 'README.txt has a line feed without CR')
        for needed in (b'UPDATE_NOREQUEST', b'UPDATE_REQUEST', SETTINGS_KEY.replace(
                'HKCU', 'HKEY_CURRENT_USER').encode()):
            self.assertIn(needed, notes)

        process = self.start(server_port=closed_port(),
                             exe=os.path.join(work, folder, 'Kestrin.exe'))
        self.wait_for(lambda: self.count('Updating System') == 1, 'the unpacked program\'s dialog')
        self.key('Updating System', 'Escape')
        self.wait_exit(process, 'Escape')

class FilesInUse(Session):
    """The product's own files while it runs: its program and a library it loaded are updated in
    the same run, a file held without delete sharing fails whole, and the next runs leave only
    the listed files, a killed run's copy aside put back."""
    fresh_install = WineProgram.fresh_install
    pressed_update = WineProgram.pressed_update

    def hold(self, product, *argv):
        """Starts the holder (tests/wine/holder.cpp) with argv and the case's stop file; returns
        the process once it holds."""
        out = tempfile.NamedTemporaryFile(dir=ARGS.state, delete=False)
        self.addCleanup(os.unlink, out.name)
        self.addCleanup(out.close)
        process = subprocess.Popen(['wine', *argv, r'C:\KestrinInUseStop'], stdin=subprocess.DEVNULL,
                                   stdout=out, stderr=subprocess.STDOUT, env=self.env)
        self.processes.append(process)

        def ready():
            with open(out.name, 'rb') as f:
                return b'ready' in f.read() or process.poll() is not None

        self.wait_for(ready, 'the holder %r' % (argv,), timeout=30)
        self.assertIsNone(process.poll(), 'the holder %r ended' % (argv,))
        return process

    def outcomes(self, changes):
        return dict(reversed(text.split('...', 1)) for kind, text in changes
                    if kind == 'status' and text.startswith(('Updated...', 'Failed...',
                                                             'Unchanged...')))

    @photographed_on_failure
    def test_files_in_use(self):
        _, product = self.fresh_install('KestrinInUse')
        stop = self.drive_c('KestrinInUseStop')
        if os.path.exists(stop):
            os.unlink(stop)
        self.addCleanup(lambda: os.path.exists(stop) and os.unlink(stop))
        holder = os.path.join(os.path.dirname(ARGS.probe), 'kestrin_holder.exe')
        library = os.path.join(os.path.dirname(ARGS.probe), 'kestrin_watch.dll')
        shutil.copy(holder, os.path.join(product, 'Tamwix.exe'))
        shutil.copy(library, os.path.join(product, 'engine.dll'))
        write_files(product, {'data.bin': b'old data'})
        old = read_files(product)
        new = {name: b'new ' + name.encode() for name in old}
        programs = [self.hold(product, r'C:\KestrinInUse\Pelmora\Tamwix.exe', 'run'),
                    self.hold(product, holder, 'load', r'C:\KestrinInUse\Pelmora\engine.dll'),
                    self.hold(product, holder, 'open', r'C:\KestrinInUse\Pelmora\data.bin')]
        self.clear_settings()
        self.set_setting('FILES', 'Directory', r'C:\KestrinInUse')

        def listed(dates):
            server.serve({'Update/File_list.txt': ''.join(
                '%s\r\n%s\r\n' % entry for entry in dates.items())})

        with self.update_server() as server:
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n'})
            server.serve({'Update/' + name: data for name, data in new.items()})
            listed({name: '2099-01-01' for name in new})
            self.assertEqual(self.outcomes(self.pressed_update(server)),
                             {'Tamwix.exe': 'Updated', 'engine.dll': 'Updated',
                              'data.bin': 'Failed'}, 'while held')
            self.assertEqual({name: data for name, data in read_files(product).items()
                              if name in new}, dict(new, **{'data.bin': old['data.bin']}))
            # What is still held stays aside, named after its file; nothing beside data.bin.
            self.assertEqual(sorted(re.sub(r'^~kst[0-9a-f]{4}~', 'aside of ', name)
                                    for name in os.listdir(product)),
                             ['Tamwix.exe', 'aside of Tamwix.exe', 'aside of engine.dll',
                              'data.bin', 'engine.dll'])
            self.assertEqual([p.poll() for p in programs], [None] * 3, 'a holder ended')

            with open(stop, 'w'):
                pass
            for process in programs:
                self.wait_exit(process, 'the holder')
                self.assertEqual(process.returncode, 0)
            listed({'Tamwix.exe': '2001-01-01', 'engine.dll': '2001-01-01',
                    'data.bin': '2099-01-01'})
            self.assertEqual(self.outcomes(self.pressed_update(server)),
                             {'Tamwix.exe': 'Unchanged', 'engine.dll': 'Unchanged',
                              'data.bin': 'Updated'}, 'once nothing holds them')
            self.assertEqual(read_files(product), new)

            # A run killed between its two renames; and a temporary file it left in the product
            # directory, where nothing lands on the next run.
            os.rename(os.path.join(product, 'Tamwix.exe'),
                      os.path.join(product, '~kst0a0b~Tamwix.exe'))
            write_files(product, {'~kst0c0d.tmp': b'left'})
            os.utime(os.path.join(product, '~kst0c0d.tmp'), (time.time() - 60,) * 2)
            listed({name: '2001-01-01' for name in new})
            self.assertEqual(self.outcomes(self.pressed_update(server)),
                             {name: 'Unchanged' for name in new}, 'after a killed run')
            self.assertEqual(read_files(product), new)


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--exe', required=True)
    parser.add_argument('--probe', required=True)
    parser.add_argument('--state', required=True)
    parser.add_argument('--artifacts', required=True)
    parser.add_argument('--home', default='')
    parser.add_argument('--zip-dir')
    parser.add_argument('--source')
    parser.add_argument('--signed-exe')
    ARGS, argv = harness.split_args(parser)
    harness.main(argv, ARGS.artifacts)
