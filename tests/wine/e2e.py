#!/usr/bin/python3
"""The Windows program end to end, under Wine and Xvfb in the environment of the test set-up
(wine_env.sh): Kestrin.exe is started as a user or the product would start it, its windows are
found by caption (xdotool, and the probe program from inside Wine), looked at, photographed
into the artifacts directory and answered with keys; the registry is read and written with
`wine reg`. The cases that need an update server get a local FTP server of their own (the
program's compiled-in account) serving a tree the case writes, and read its log. A run of the
dialog is followed from inside through the probe's hook: every status text and progress
position in order.

    e2e.py --exe Kestrin.exe --probe kestrin_probe.exe --state STATE --artifacts DIR
           [--home URL]
"""
import argparse
import datetime
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                'support'))
from local_ftp import LocalFtpServer, end_process, read_files  # noqa: E402

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


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def load_env(state):
    env = dict(os.environ)
    with open(os.path.join(state, 'env'), encoding='utf-8') as f:
        for line in f:
            m = re.match(r"export (\w+)='?(.*?)'?$", line.strip())
            if m:
                env[m.group(1)] = m.group(2)
    return env


class Session:
    def __init__(self, args):
        self.args = args
        self.env = load_env(args.state)
        self.processes = []
        os.makedirs(args.artifacts, exist_ok=True)

    # Wine's helper processes outlive the programs and would hold a pipe open: every output
    # goes through a file.
    def run(self, argv, timeout=60, env=None):
        with tempfile.TemporaryFile() as out:
            result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env or self.env,
                                    timeout=timeout)
            out.seek(0)
            return result.returncode, out.read().decode('utf-8', 'replace')

    def wine(self, *argv, timeout=60):
        return self.run(['wine', *argv], timeout=timeout)

    def start(self, *argv, server_port):
        env = dict(self.env)
        env['KESTRIN_UPDATE_HOST'] = '127.0.0.1'
        env['KESTRIN_UPDATE_PORT'] = str(server_port)
        with open(os.path.join(self.args.artifacts, 'kestrin.log'), 'ab') as log:
            process = subprocess.Popen(['wine', self.args.exe, *argv], stdin=subprocess.DEVNULL,
                                       stdout=log, stderr=subprocess.STDOUT, env=env)
        self.processes.append(process)
        return process

    def stop_started(self):
        """Ends what a failed case left running (wine execs into the program: same id)."""
        for process in self.processes:
            if process.poll() is None:
                process.kill()
                process.wait()
        self.processes = []

    def probe(self, *argv):
        return self.wine(self.args.probe, *argv)

    def count(self, caption):
        rc, out = self.probe('count', caption)
        check(rc == 0, 'probe count failed: ' + out)
        return int(out.split()[-1])

    def describe(self, caption):
        rc, out = self.probe('describe', caption)
        check(rc == 0, 'probe describe "%s" failed: %s' % (caption, out))
        info = {'controls': []}
        for line in out.splitlines():
            key, _, rest = line.partition(' ')
            if key == 'control':
                m = re.match(r'(-?\d+) (\S+) (-?\d+) (-?\d+) (-?\d+) (-?\d+) (\S+) (\d) "(.*)"$',
                             rest)
                check(m is not None, 'unreadable control line: ' + line)
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
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if condition():
                return
            time.sleep(0.25)
        raise Failure('timed out waiting for ' + what)

    def x_windows(self, caption):
        rc, out = self.run(['xdotool', 'search', '--onlyvisible', '--name',
                            '^%s$' % re.escape(caption)])
        return out.split() if rc == 0 else []

    def key(self, caption, key):
        """Types a key into the window: once Wine has made it the foreground window (a key
        typed earlier would reach whichever window had the focus before)."""
        windows = self.x_windows(caption)
        check(len(windows) == 1, 'one X window captioned "%s", found %d' % (caption, len(windows)))

        def foreground():
            if self.describe(caption)['foreground']:
                return True
            self.run(['xdotool', 'windowfocus', windows[0]])
            return False

        self.wait_for(foreground, '"%s" to be the foreground window' % caption, timeout=15)
        # Typed as a user would (XTEST), not sent to a window: Wine drops events sent to a
        # window that is not the one with the focus, or hands them to the next one that gets it.
        rc, out = self.run(['xdotool', 'key', key])
        check(rc == 0, 'xdotool key %s: %s' % (key, out))

    def click(self, caption, control_id):
        """Clicks the middle of a control with the mouse, as a user would."""
        window = self.describe(caption)
        controls = [c for c in window['controls'] if c['id'] == control_id]
        check(len(controls) == 1, 'no control %d in "%s"' % (control_id, caption))
        left, top, right, bottom = controls[0]['rect']
        x = window['origin'][0] + (left + right) // 2
        y = window['origin'][1] + (top + bottom) // 2
        rc, out = self.run(['xdotool', 'mousemove', str(x), str(y), 'click', '1'])
        check(rc == 0, 'xdotool click: ' + out)

    def screenshot(self, caption, name):
        windows = self.x_windows(caption)
        check(windows, 'no X window captioned "%s" to photograph' % caption)
        path = os.path.join(self.args.artifacts, name)
        rc, out = self.run(['import', '-window', windows[0], path])
        check(rc == 0 and os.path.getsize(path) > 0, 'screenshot %s failed: %s' % (name, out))

    def wait_exit(self, process, what, timeout=30.0):
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            raise Failure(what + ': the process did not end')

    def key_exists(self, key):
        rc, _ = self.wine('reg', 'query', key)
        return rc == 0

    def clear_settings(self):
        self.wine('reg', 'delete', r'HKCU\Software\Vantorel', '/f')

    def set_setting(self, section, entry, value):
        rc, out = self.wine('reg', 'add', SETTINGS_KEY + '\\' + section, '/v', entry,
                            '/d', value, '/f')
        check(rc == 0, 'reg add %s %s: %s' % (section, entry, out))

    def drive_c(self, *parts):
        """A path on the prefix's drive C:, as Linux sees it."""
        return os.path.join(self.env['WINEPREFIX'], 'drive_c', *parts)


def update_server(session):
    """A local FTP server with the program's compiled-in account on a free loopback port, in a
    work directory of its own that goes when it stops; its log tells what was asked."""
    script = session.env.get('KESTRIN_WINE_FTP_SCRIPT')
    check(script, 'the set-up names no FTP server script')
    return LocalFtpServer(tempfile.mkdtemp(dir=session.args.state),
                          session.env['KESTRIN_WINE_FTP_USER'],
                          session.env['KESTRIN_WINE_FTP_PASSWORD'], script=script,
                          remove_work=True).start(timeout=10)


class Watch:
    """The probe's hook on a dialog's thread: the status texts and progress positions the
    dialog takes, in order, as ('status', text) and ('progress', n); other controls by id."""

    def __init__(self, session, caption, seconds=120):
        self.session = session
        self.output = tempfile.NamedTemporaryFile(dir=session.args.state, delete=False)
        self.process = subprocess.Popen(['wine', session.args.probe, 'watch', caption,
                                         str(seconds)], stdin=subprocess.DEVNULL,
                                        stdout=self.output, stderr=subprocess.STDOUT,
                                        env=session.env)
        try:
            session.wait_for(lambda: 'ready' in self.lines() or self.process.poll() is not None,
                             'the probe to hook "%s"' % caption, timeout=30)
            check('ready' in self.lines(), 'probe watch failed: %r' % self.lines())
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
            check(self.lines()[-1:] == ['end'], 'the probe did not see the window go: %r' %
                  self.lines()[-3:])
            return changes
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise Failure('the probe did not see the watched window go')
        finally:
            self.output.close()
            os.unlink(self.output.name)

    def abandon(self):
        self.process.kill()
        self.process.wait()
        self.output.close()
        os.unlink(self.output.name)


class MappedWindows:
    """The windows mapped on the X display between two marks: every window a Wine program
    shows, however briefly, is mapped. xev watches the root window; a property set on the root
    before and after brackets what belongs to the case."""

    def __init__(self, session):
        self.session = session
        self.output = tempfile.NamedTemporaryFile(dir=session.args.state, delete=False)
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
                raise Failure('xev ended: ' + self.text())
            return '(%s)' % name in self.text()

        deadline = time.monotonic() + 15
        while not seen():
            # Set again while waiting: the first may have come before xev listened.
            self.session.run(['xprop', '-root', '-f', name, '8s', '-set', name, 'mark'])
            check(time.monotonic() < deadline, 'xev did not see ' + name)
            time.sleep(0.1)
        self.session.run(['xprop', '-root', '-remove', name])
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
        end_process(self.process)
        self.output.close()
        os.unlink(self.output.name)


def closed_port():
    """A loopback port with nothing listening: connecting is refused at once."""
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def centred(on, window):
    width, height = window[2] - window[0], window[3] - window[1]
    return ((on[0] + on[2]) // 2 - width // 2, (on[1] + on[3]) // 2 - height // 2)


def message_box_text(session):
    texts = [c['text'] for c in session.describe('Kestrin')['controls'] if c['class'] == 'Static']
    return [t for t in texts if t]


def update_request_without_server(s):
    """One message box with the connection text, the only window shown, then the process
    ends; the empty settings keys are in the registry afterwards."""
    s.clear_settings()
    check(not s.key_exists(FILES_KEY), 'the settings key exists before the run')

    def run():
        process = s.start('UPDATE_REQUEST', server_port=closed_port())
        s.wait_for(lambda: s.count('Kestrin') > 0, 'the message box')
        time.sleep(1.0)
        check(s.count('Kestrin') == 1, 'more than one message box')
        check(s.count('Updating System') == 0, 'the dialog is shown in a command-line mode')
        check(NO_CONNECTION_FOR_REQUEST in message_box_text(s),
              'message box text: %r' % message_box_text(s))
        s.screenshot('Kestrin', 'update_request_message.png')
        s.key('Kestrin', 'Return')
        s.wait_exit(process, 'UPDATE_REQUEST')

    mapped = MappedWindows(s)
    try:
        shown = mapped.shown_during(run)
    finally:
        mapped.close()
    check(len(shown) == 1, 'windows shown: %r' % shown)
    check(s.key_exists(FILES_KEY), FILES_KEY + ' is missing after the run')


def update_norequest_without_server(s):
    """No window at all, not even the dialog for an instant, and the process ends by itself."""
    def run():
        process = s.start('UPDATE_NOREQUEST', server_port=closed_port())
        s.wait_exit(process, 'UPDATE_NOREQUEST', timeout=30)

    mapped = MappedWindows(s)
    try:
        shown = mapped.shown_during(run)
    finally:
        mapped.close()
    check(shown == [], 'windows shown: %r' % shown)


def dialog_about_and_escape(s):
    """The dialog opens centred with its layout; Enter runs an update that cannot connect; the
    About entry (selected by its command) opens the About box centred over the dialog; Escape
    ends the process."""
    process = s.start(server_port=closed_port())
    s.wait_for(lambda: s.count('Updating System') == 1, 'the update dialog')
    dialog = s.describe('Updating System')
    check(dialog['client'] == (480, 88), 'client area %r' % (dialog['client'],))
    check(centred(dialog['workarea'], dialog['window']) == dialog['window'][:2],
          'dialog not centred: %r in %r' % (dialog['window'], dialog['workarea']))
    controls = [(c['id'], c['class'].lower(), c['text']) for c in dialog['controls']]
    check(controls == [(1002, 'button', '&Update'), (2, 'button', 'Cancel'),
                       (1000, 'msctls_progress32', 'Progress1'), (1001, 'static', '')],
          'controls %r' % controls)
    s.screenshot('Updating System', 'update_dialog.png')

    # Enter presses Update: the connection fails, the message says so, the dialog stays.
    s.key('Updating System', 'Return')
    s.wait_for(lambda: s.count('Kestrin') == 1, 'the connection message')
    check(NO_CONNECTION_FOR_UPDATE in message_box_text(s),
          'message box text: %r' % message_box_text(s))
    s.key('Kestrin', 'Return')
    s.wait_for(lambda: s.count('Kestrin') == 0, 'the message box to close')
    after = {c['id']: c for c in s.describe('Updating System')['controls']}
    check(after[1001]['text'] == '' and after[1002]['enabled'],
          'after the run: status %r, Update enabled %r' % (after[1001]['text'],
                                                          after[1002]['enabled']))

    rc, out = s.probe('syscommand', 'Updating System', '16')
    check(rc == 0, 'posting the About command failed: ' + out)
    s.wait_for(lambda: s.count('About Kestrin') == 1, 'the About box')
    about = s.describe('About Kestrin')
    owner = s.describe('Updating System')
    check(not owner['enabled'], 'the dialog is enabled under its About box')
    check(centred(owner['window'], about['window']) == about['window'][:2],
          'About box not centred over the dialog: %r over %r' % (about['window'],
                                                                 owner['window']))
    s.screenshot('About Kestrin', 'about_box.png')
    s.key('About Kestrin', 'Return')
    s.wait_for(lambda: s.count('About Kestrin') == 0, 'the About box to close')
    s.wait_for(lambda: s.describe('Updating System')['enabled'], 'the dialog to be enabled')

    s.key('Updating System', 'Escape')
    s.wait_exit(process, 'Escape')


# (installed number and letter stored, or None for no settings; server lines 2 and 3; the text
# UPDATE_REQUEST shows with %(home)s for the home address.)
VERSION_CHECKS = [
    (None, ('2', 'B'), NEWER_RELEASE % ('1', 'A', '2', 'B', '%(home)s')),
    # A lower number with a later letter is an older release, not a new one.
    (('6', 'B'), ('5', 'C'), CURRENT_RELEASE),
    (('6', 'b'), ('6', 'c'), NEWER_RELEASE % ('6', 'b', '6', 'c', '%(home)s')),
]


def update_request_with_server(s):
    """Against a local FTP server: the message box shows exactly the text of the outcome,
    read back from its static control, and is the only window shown; Return closes it and the
    process ends."""
    with update_server(s) as server:
        mapped = MappedWindows(s)
        try:
            for installed, (number, letter), text in VERSION_CHECKS:
                s.clear_settings()
                if installed:
                    s.set_setting('Update', 'VersionA', installed[0])
                    s.set_setting('Update', 'VersionB', installed[1])
                server.serve({'Update/Version.txt': 'Tamwix release\r\n%s\r\n%s\r\n' % (
                    number, letter)})
                case = 'installed %r, server %s%s' % (installed, number, letter)
                before = len(server.retrieved())

                def run():
                    process = s.start('UPDATE_REQUEST', server_port=server.port)
                    s.wait_for(lambda: s.count('Kestrin') > 0, 'the version message')
                    expected = text % {'home': s.args.home}
                    check(message_box_text(s) == [expected],
                          '%s: message box text %r' % (case, message_box_text(s)))
                    if installed is None:
                        s.screenshot('Kestrin', 'newer_release_message.png')
                    s.key('Kestrin', 'Return')
                    s.wait_exit(process, 'UPDATE_REQUEST with a server')

                shown = mapped.shown_during(run)
                check(len(shown) == 1, '%s: windows shown %r' % (case, shown))
                check([p for _, p in server.retrieved()[before:]] == ['Update/Version.txt'],
                      '%s: fetched %r' % (case, server.retrieved()[before:]))
        finally:
            mapped.close()


def update_norequest_current_release(s):
    """The installed release is the server's: the silent check fetches the version file and
    the program ends without showing any window, not even for an instant. The same watch sees
    the one window of a silent check that finds a newer release."""
    with update_server(s) as server:
        s.clear_settings()
        s.set_setting('Update', 'VersionA', '2')
        s.set_setting('Update', 'VersionB', 'B')

        def current():
            process = s.start('UPDATE_NOREQUEST', server_port=server.port)
            s.wait_exit(process, 'UPDATE_NOREQUEST', timeout=30)

        def newer():
            process = s.start('UPDATE_NOREQUEST', server_port=server.port)
            s.wait_for(lambda: s.count('Kestrin') > 0, 'the version message')
            check(message_box_text(s) == [NEWER_RELEASE % ('2', 'B', '2', 'C', s.args.home)],
                  'message box text %r' % message_box_text(s))
            s.key('Kestrin', 'Return')
            s.wait_exit(process, 'UPDATE_NOREQUEST with a newer release')

        mapped = MappedWindows(s)
        try:
            server.serve({'Update/Version.txt': 'Tamwix release\r\n2\r\nB\r\n'})
            shown = mapped.shown_during(current)
            check([p for _, p in server.retrieved()] == ['Update/Version.txt'],
                  'fetched %r' % server.retrieved())
            check(shown == [], 'windows shown for a current release: %r' % shown)

            server.serve({'Update/Version.txt': 'Tamwix release\r\n2\r\nC\r\n'})
            shown = mapped.shown_during(newer)
            check(len(shown) == 1, 'windows shown for a newer release: %r' % shown)
        finally:
            mapped.close()


def pressed_update(s, server):
    """Starts the dialog, presses Update (Return) with the probe watching, waits for the run to
    end (the status cleared, Update enabled again), presses Escape; returns the status texts and
    progress positions of the run."""
    process = s.start(server_port=server.port)
    s.wait_for(lambda: s.count('Updating System') == 1, 'the update dialog')
    watch = Watch(s, 'Updating System')
    try:
        s.key('Updating System', 'Return')

        def ended():
            changes = watch.changes()
            return (('status', 'Completed- Press Cancel') in changes and
                    changes[-1] == ('status', ''))

        try:
            s.wait_for(ended, 'the run to end', timeout=60)
        except Failure:
            raise Failure('the run did not end; its last changes: %r' % watch.changes()[-5:])
        controls = {c['id']: c for c in s.describe('Updating System')['controls']}
        check(controls[1002]['enabled'], 'Update is disabled after the run')
        check(s.count('Kestrin') == 0, 'the run showed a message box')
        # The keyboard still reaches the dialog: Update, which had it before the run, has it
        # back now that it is enabled again.
        s.key('Updating System', 'Escape')
        s.wait_exit(process, 'Escape after the run')
    except BaseException:
        watch.abandon()
        raise
    return watch.close()


RUN_START = [('status', 'Connecting to Server'), ('status', 'Connected'),
             ('status', 'Checking version'), ('status', 'Checking file list'), ('progress', 0)]
RUN_END = [('status', 'Completed- Press Cancel'), ('progress', 0), ('status', '')]


def fetched(name, position):
    return [('status', 'Updating...' + name), ('status', 'Updated...' + name),
            ('progress', position)]


def unchanged(name, position):
    return [('status', 'Unchanged...' + name), ('progress', position)]


def synchronisation(s):
    """The Update button brings a product directory on the Wine drive up to date: missing
    files (one in a subdirectory that does not exist yet) and an outdated one are fetched
    byte for byte, a current one is kept; the run right after fetches nothing but the two
    lists and reports every file unchanged."""
    install = s.drive_c('KestrinSync')
    product = os.path.join(install, 'Pelmora')
    shutil.rmtree(install, ignore_errors=True)
    os.makedirs(product)
    try:
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

        with update_server(s) as server:
            # The server path is "Update/" and the name as listed: the backslash is part of
            # the file's name on this server.
            server.serve({'Update/' + name: content for name, content in served.items()})
            server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n'})

            def serve_list(entries):
                server.serve({'Update/File_list.txt': ''.join(
                    ' %s\t\r\n%s \r\n' % (name, date.isoformat()) for name, date in entries)})

            s.clear_settings()
            # Without the trailing backslash, which the program adds.
            s.set_setting('FILES', 'Directory', r'C:\KestrinSync')
            serve_list(entries)
            changes = pressed_update(s, server)
            check(changes == RUN_START + fetched('a.txt', 0) + fetched('b.bin', 25) +
                  fetched('sub\\x.dat', 50) + unchanged('kept.txt', 75) +
                  fetched('old.dat', 100) + RUN_END, 'first run: %r' % changes)
            expected = {'a.txt': served['a.txt'], 'b.bin': binary,
                        'sub/x.dat': served['sub\\x.dat'], 'kept.txt': b'local kept.txt',
                        'old.dat': served['old.dat']}
            check(read_files(install) == {'Pelmora/' + k: v for k, v in expected.items()},
                  'product directory after the first run: %r' % sorted(read_files(install)))
            first = server.retrieved()
            connections = sorted({conn for conn, _ in first})
            check(len(connections) == 1 and [p for _, p in first] == [
                'Update/Version.txt', 'Update/File_list.txt', 'Update/a.txt', 'Update/b.bin',
                'Update/sub\\x.dat', 'Update/old.dat'], 'first run fetched %r' % first)

            # old.dat, dated tomorrow, would be fetched on every run; the day of the first
            # run covers what that run fetched.
            entries[-1] = ('old.dat', today)
            serve_list(entries)
            changes = pressed_update(s, server)
            check(changes == RUN_START + unchanged('a.txt', 0) + unchanged('b.bin', 25) +
                  unchanged('sub\\x.dat', 50) + unchanged('kept.txt', 75) +
                  unchanged('old.dat', 100) + RUN_END, 'second run: %r' % changes)
            second = server.retrieved()[len(first):]
            check([p for _, p in second] == ['Update/Version.txt', 'Update/File_list.txt'],
                  'second run fetched %r' % second)
            check(read_files(install) == {'Pelmora/' + k: v for k, v in expected.items()},
                  'the second run changed the product directory')
    finally:
        shutil.rmtree(install, ignore_errors=True)
        s.clear_settings()


CASES = [update_request_without_server, update_norequest_without_server,
         dialog_about_and_escape, update_request_with_server, update_norequest_current_release,
         synchronisation]


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--exe', required=True)
    parser.add_argument('--probe', required=True)
    parser.add_argument('--state', required=True)
    parser.add_argument('--artifacts', required=True)
    parser.add_argument('--home', default='')
    parser.add_argument('--only', help='run only the case of this name')
    args = parser.parse_args()
    session = Session(args)
    failed = 0
    for case in CASES:
        if args.only and case.__name__ != args.only:
            continue
        start = time.monotonic()
        try:
            case(session)
            print('ok   %s (%.1f s)' % (case.__name__, time.monotonic() - start))
        except (Failure, subprocess.TimeoutExpired) as e:
            failed += 1
            print('FAIL %s: %s' % (case.__name__, e))
            session.run(['import', '-window', 'root', os.path.join(
                args.artifacts, 'failure_%s.png' % case.__name__)])
        finally:
            # Whatever a failed case left running goes before the next starts.
            session.stop_started()
    print('screenshots in', args.artifacts)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
