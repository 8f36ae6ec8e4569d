"""The real kestrin stopped while a run goes on: a cancel line, SIGINT or SIGTERM during a slow
transfer (one connection and four), while it connects to a silent or a dead server, and during
the command-line version checks. Bounds are generous for a loaded machine: a stopped run must
end within 8 s of the stop, where the run left alone would take half a minute or more."""
import os
import signal
import time

import kestrin_e2e
from kestrin_e2e import ServerTestCase
from local_ftp import LocalFtpServer, read_files

STOPPED_WITHIN_S = 8
FUTURE_DATE = '2099-01-01'  # every local copy is older: each listed file is fetched
BIG = 4 * 1024 * 1024
# Every transfer of the slow server takes 40 s and more.
SLOW = ['--bandwidth', '100000']


def output(started):
    """What kestrin has written so far, read without moving its file offset."""
    out = started[1]
    return os.pread(out.fileno(), 1 << 20, 0).decode('latin-1')


def wait_for(started, text, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if text in output(started):
            return True
        if started[0].poll() is not None:
            return False
        time.sleep(0.05)
    return False


def stop(started, how):
    """Stops the run as the user would: a cancel line, or a signal."""
    proc = started[0]
    if how == 'cancel':
        proc.stdin.write(b'cancel\n')
        proc.stdin.flush()
    else:
        proc.send_signal(how)


class Cancel(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.install = os.path.join(self.box.root, 'install')
        self.product = os.path.join(self.install, 'Pelmora')
        self.box.set_setting('FILES', 'Directory', self.install)

    def local_server(self, name, options):
        work = os.path.join(self.box.root, 'server-' + name)
        os.makedirs(work)
        server = LocalFtpServer(work, *kestrin_e2e.account(), root=self.served, options=options)
        self.addCleanup(server.stop)
        return server.start()

    def start(self, args, port, env=None):
        return self.box.start(args, stdin='' if args else '\n', port=port, extra_env=env,
                              hold_input=True)

    def stopped(self, started, how, after_text, stop_after_s=1.5):
        """Stops kestrin once after_text was shown and a moment passed; returns (status, output
        lines) once it ended, failing when it did not end within the bound."""
        self.assertTrue(wait_for(started, after_text), output(started))
        time.sleep(stop_after_s)
        stop(started, how)
        stopped_at = time.monotonic()
        status, out, err = self.box.finish(started, timeout=60)
        took = time.monotonic() - stopped_at
        self.assertLess(took, STOPPED_WITHIN_S, out)
        return status, out, err

    def test_slow_transfer(self):
        # The old copies stay whole and no temporary file is left; nothing further is fetched.
        names = ['one.bin', 'two.bin', 'three.bin', 'four.bin']
        self.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                    'Update/File_list.txt': ''.join('%s\r\n%s\r\n' % (n, FUTURE_DATE)
                                                    for n in names)})
        self.serve({'Update/' + n: bytes([i]) * BIG for i, n in enumerate(names)})
        old = {'Pelmora/' + n: b'old ' + n.encode() for n in names}
        cases = [(1, 'cancel'), (4, 'cancel'), (1, signal.SIGINT), (4, signal.SIGTERM)]
        for connections, how in cases:
            with self.subTest(connections=connections, how=how):
                kestrin_e2e.write_files(self.install, old)
                server = self.local_server('%s-%s' % (connections, how), SLOW)
                started = self.start([], server.port,
                                     {'KESTRIN_TRANSFER_CONNECTIONS': str(connections)})
                status, out, err = self.stopped(started, how, 'status: Updating...one.bin')
                self.assertEqual(status, 0, err)
                self.assertEqual(read_files(self.install), old)
                self.assertIn('status: Failed...one.bin', out)
                self.assertNotIn('status: Completed- Press Cancel', out)
                self.assertFalse([line for line in out
                                  if line.startswith(('status: Updated', 'caption:'))], out)
                # One connection asks for nothing after the file it gave up.
                if connections == 1:
                    self.assertEqual([p for _, p in server.retrieved()],
                                     ['Update/Version.txt', 'Update/File_list.txt',
                                      'Update/one.bin'])
                server.stop()

    def test_connecting(self):
        # A server that never answers, and no server at all with long waits between the tries.
        silent = self.local_server('mute', ['--mute'])
        cases = [('silent', silent.port, {'KESTRIN_NET_TIMEOUT_MS': '60000'}),
                 ('dead', kestrin_e2e.closed_port(), {'KESTRIN_RETRY_WAIT_MS': '1000'})]
        for name, port, env in cases:
            for how in ('cancel', signal.SIGTERM):
                with self.subTest(server=name, how=how):
                    started = self.start([], port, env)
                    status, out, _ = self.stopped(started, how, 'status: Connecting to Server',
                                                  stop_after_s=0.5)
                    self.assertEqual(status, 0)
                    # No word of a failed connection: the user asked to stop.
                    self.assertEqual(out, ['dialog: Updating System',
                                           'status: Connecting to Server', 'status: '])

    def test_command_line_checks(self):
        # The version file stalls; both checks end at once and say nothing.
        self.serve({'Update/Version.txt': 'Tamwix\r\n9\r\nZ\r\n'})
        server = self.local_server('stalling', ['--stall-after', '8', '--fault-file',
                                                'Version.txt'])
        for switch in ('UPDATE_NOREQUEST', 'UPDATE_REQUEST'):
            for how in ('cancel', signal.SIGINT):
                with self.subTest(switch=switch, how=how):
                    started = self.start([switch], server.port,
                                         {'KESTRIN_NET_TIMEOUT_MS': '60000'})
                    deadline = time.monotonic() + 30
                    while (not any(p == 'Update/Version.txt' for _, p in server.retrieved())
                           and time.monotonic() < deadline):
                        time.sleep(0.05)
                    status, out, _ = self.stopped(started, how, '')
                    self.assertEqual((status, out), (0, []))
                    temp = self.box.temp_dir()
                    self.assertEqual(os.listdir(temp) if os.path.isdir(temp) else [], [])


if __name__ == '__main__':
    kestrin_e2e.main()
