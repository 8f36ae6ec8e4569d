#!/usr/bin/python3
"""The Windows program end to end, under Wine and Xvfb in the environment of the test set-up
(wine_env.sh): Kestrin.exe is started as a user or the product would start it, its windows are
found by caption (xdotool, and the probe program from inside Wine), looked at, photographed
into the artifacts directory and answered with keys; the registry is read with `wine reg`.

    e2e.py --exe Kestrin.exe --probe kestrin_probe.exe --state STATE --artifacts DIR
           [--home URL]
"""
import argparse
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import time

NO_CONNECTION_FOR_REQUEST = ('The System could not connect to the internet.\n'
                             'Could not check for new version at this time.')
NO_CONNECTION_FOR_UPDATE = ('An error occured while trying to connect to the server\n'
                            'Please check your connections and try again\n')
NEWER_RELEASE = ('You are currently version %s%s,\na new version, %s%s, is available.\n'
                 'Please go to %s for the latest version.')
FILES_KEY = r'HKCU\Software\Vantorel\Tamwix\FILES'


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
            elif key in ('window', 'workarea', 'client'):
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
    """One message box with the connection text, then the process ends; the empty settings
    keys are in the registry afterwards."""
    s.wine('reg', 'delete', r'HKCU\Software\Vantorel', '/f')
    check(not s.key_exists(FILES_KEY), 'the settings key exists before the run')
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
    check(s.key_exists(FILES_KEY), FILES_KEY + ' is missing after the run')


def update_norequest_without_server(s):
    """No message at all, and the process ends by itself. (The dialog itself may show for an
    instant after its initialisation, before the modal run hides and destroys it.)"""
    process = s.start('UPDATE_NOREQUEST', server_port=closed_port())
    deadline = time.monotonic() + 30
    while process.poll() is None and time.monotonic() < deadline:
        check(s.count('Kestrin') == 0, 'a message box appeared in the silent mode')
        time.sleep(0.2)
    s.wait_exit(process, 'UPDATE_NOREQUEST', timeout=1)


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


def update_request_with_server(s):
    """Against a local FTP server with the compiled-in account: a newer release on the server
    is announced."""
    script = s.env.get('KESTRIN_WINE_FTP_SCRIPT')
    check(script, 'the set-up names no FTP server script')
    work = tempfile.mkdtemp(dir=s.args.state)
    update = os.path.join(work, 'root', 'Update')
    os.makedirs(update)
    with open(os.path.join(update, 'Version.txt'), 'wb') as f:
        f.write(b'Tamwix release\r\n7\r\nC\r\n')
    port_file = os.path.join(work, 'port')
    with open(os.path.join(work, 'ftp.out'), 'wb') as out:
        server = subprocess.Popen(
            ['/usr/bin/python3', script, '--host', '127.0.0.1', '--port', '0',
             '--root', os.path.join(work, 'root'), '--user', s.env['KESTRIN_WINE_FTP_USER'],
             '--password', s.env['KESTRIN_WINE_FTP_PASSWORD'], '--port-file', port_file,
             '--log', os.path.join(work, 'ftp.log')],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
    try:
        s.wait_for(lambda: os.path.exists(port_file) and os.path.getsize(port_file) > 0,
                   'the FTP server', timeout=10)
        with open(port_file, encoding='ascii') as f:
            port = int(f.read().strip())
        s.wine('reg', 'delete', r'HKCU\Software\Vantorel', '/f')
        process = s.start('UPDATE_REQUEST', server_port=port)
        s.wait_for(lambda: s.count('Kestrin') > 0, 'the version message')
        expected = NEWER_RELEASE % ('1', 'A', '7', 'C', s.args.home)
        check(expected in message_box_text(s), 'message box text: %r' % message_box_text(s))
        s.screenshot('Kestrin', 'newer_release_message.png')
        s.key('Kestrin', 'Return')
        s.wait_exit(process, 'UPDATE_REQUEST with a server')
    finally:
        server.terminate()
        server.wait()
        shutil.rmtree(work, ignore_errors=True)


CASES = [update_request_without_server, update_norequest_without_server,
         dialog_about_and_escape, update_request_with_server]


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
