"""The diagnosis log (KESTRIN_LOG) of the real kestrin: for each way a run goes wrong, the log
says why in words a support desk can read, never the password; a log that cannot be written
changes nothing."""
import os
import re

import kestrin_e2e
from kestrin_e2e import ServerTestCase, account
from local_ftp import LocalFtpServer  # found through the path kestrin_e2e sets
from harness import closed_port

OLD = '2001-01-01'
FUTURE = '2099-01-01'
STAMP = re.compile(r'^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3}Z ')


class FaultyServer(LocalFtpServer):
    def __init__(self, *args, **kwargs):
        super().__init__(*args, options=['--named-faults'], **kwargs)


class DiagnosisLog(ServerTestCase):
    server_class = FaultyServer

    def setUp(self):
        super().setUp()
        self.install = os.path.join(self.box.root, 'install')
        self.product = os.path.join(self.install, 'Pelmora')
        os.makedirs(self.product)
        self.box.set_setting('FILES', 'Directory', self.install)
        self.log = os.path.join(self.box.root, 'kestrin.log')
        self.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                    'Update/a.txt': 'a', 'Update/sized.bin': 'x' * 4000,
                    'Update/sized.bin.fault': 'size-1000',
                    'Update/File_list.txt': 'a.txt\r\n%s\r\nsized.bin\r\n%s\r\ngone.txt\r\n%s\r\n'
                                            '../out.txt\r\n%s\r\nkept.txt\r\n%s\r\n'
                                            % (FUTURE, FUTURE, FUTURE, FUTURE, OLD)})
        with open(os.path.join(self.product, 'kept.txt'), 'w') as f:
            f.write('kept')

    def logged(self, args=(), port=None, env=None):
        """Runs kestrin with the log on and presses Update; returns its output and the log's
        lines without their time stamps."""
        if os.path.exists(self.log):
            os.remove(self.log)
        status, out, err = self.box.run(list(args), stdin='\n', timeout=60,
                                        port=port or self.server.port,
                                        extra_env=dict({'KESTRIN_LOG': self.log,
                                                    # one connection's lines, in their order
                                                    'KESTRIN_TRANSFER_CONNECTIONS': '1'},
                                                   **(env or {})))
        self.assertEqual(status, 0, err)
        with open(self.log, encoding='latin-1') as f:
            lines = f.read().splitlines()
        for line in lines:
            self.assertRegex(line, STAMP)
        return out, [STAMP.sub('', line) for line in lines]

    def test_the_log_says_why(self):
        user, password = account()
        os.makedirs(os.path.join(self.box.root, 'wrong'))
        wrong = LocalFtpServer(os.path.join(self.box.root, 'wrong'), user, password + 'x',
                               root=self.served)
        self.addCleanup(wrong.stop)
        wrong_port = wrong.start().port
        refused = closed_port()
        # (what, port, the words the log must hold, in this order)
        cases = [
            ('a run that lands, fails and refuses files', None, [
                'connect to 127.0.0.1:%d as %s: logged in' % (self.server.port, user),
                'release on the server 1A, installed 1A: current',
                re.compile(r'file a\.txt: no local copy, listed date from 209[89]-[-0-9]+ '
                           r'\d\d:\d\d:\d\d UTC: fetch'),
                re.compile(r'transfer Update/a\.txt: 1 bytes (of 1 announced )?in \d+ ms: landed'),
                re.compile(r'transfer Update/sized\.bin: \d+ bytes of 1000 announced in \d+ ms: '
                           r'failed: the bytes are not those of the file announced or recorded'),
                'status: Failed...sized.bin',
                re.compile(r'transfer Update/gone\.txt: .*failed: the server refused the request '
                           r'\(the reply 550 '),
                'file ../out.txt: refused: the name would leave the product directory',
                re.compile(r'file kept\.txt: created .* UTC, listed date from 200[01]-.* UTC: '
                           r'unchanged'),
                'status: Completed- Press Cancel', 'run ended', 'kestrin ended']),
            ('a refused connection', refused, [
                'connect to 127.0.0.1:%d as %s failed: the connection was refused' % (refused,
                                                                                     user),
                'message box: An error occured while trying to connect to the server\\n',
                'run ended', 'kestrin ended']),
            ('a refused login', wrong_port, [
                'sent: USER ' + user, 'sent: PASS ****', re.compile(r'received: 530 '),
                re.compile(r'connect to 127\.0\.0\.1:%d as %s failed: the server refused the '
                           r'login \(the reply 530 ' % (wrong_port, user)),
                'message box: An error occured while trying to connect to the server\\n',
                'run ended']),
        ]
        for what, port, words in cases:
            with self.subTest(what):
                _, lines = self.logged(port=port)
                at = 0
                for word in words:
                    found = [i for i in range(at, len(lines))
                             if (word.search(lines[i]) if hasattr(word, 'search')
                                 else word in lines[i])]
                    self.assertTrue(found, '%r not after line %d of:\n%s'
                                    % (word, at, '\n'.join(lines)))
                    at = found[0] + 1
                self.assertNotIn(password, '\n'.join(lines))

    def test_a_log_that_cannot_be_written_changes_nothing(self):
        plain = self.box.run([], stdin='\n', timeout=60, port=self.server.port)
        for log in (os.path.join(self.box.root, 'no', 'such', 'dir', 'log'), self.box.root):
            with self.subTest(log=log):
                os.remove(os.path.join(self.product, 'a.txt'))
                self.assertEqual(self.box.run([], stdin='\n', timeout=60, port=self.server.port,
                                              extra_env={'KESTRIN_LOG': log}), plain)


if __name__ == '__main__':
    kestrin_e2e.main()
