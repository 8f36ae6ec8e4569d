"""kestrin-publish upload as a product team runs it: to an update server (vsftpd with a writing
account, when the suite runs as root) and two mirrors (the local test server), with a server
that fails among them; a cut upload resumed, strays pruned, the mistakes refused."""
import argparse
import os
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'support'))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'e2e'))
import harness  # noqa: E402
import kestrin_e2e  # noqa: E402
import signed_release  # noqa: E402
from harness import closed_port, wait_until  # noqa: E402
from local_ftp import LocalFtpServer, read_files, write_files  # noqa: E402
from vsftpd import Unavailable, VsftpdServer  # noqa: E402

PUBLISH = KESTRIN = SIGNED = None
OLD = '2020-01-01'
RELEASE = {'readme.txt': 'hello\r\n', 'data/levels.dat': bytes(range(256)) * 400,
           'data/maps/one.map': 'map'}
WRITER = ('kpubwrite', 'Wr1te-pw')
READER = ('kpubread', 'Re4d-pw')
OWN = ('Version.txt', 'File_list.txt', 'Manifest.txt', 'Manifest.sig')


def run(*args, env=None):
    return subprocess.run([str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=240, env=env)


class Upload(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='kestrin-upload-')
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.root = os.path.join(self.dir, 'root')
        self.keys = os.path.join(self.dir, 'keys')
        self.public_key = os.path.join(self.keys, 'public-key.txt')
        self.assertEqual(run(PUBLISH, 'keygen', self.keys).returncode, 0)
        self.password_file = os.path.join(self.dir, 'password')
        with open(self.password_file, 'w') as f:
            f.write(WRITER[1] + '\n')
        os.chmod(self.password_file, 0o600)
        self.release('2A', RELEASE, '--date', OLD)
        # Two mirrors on one test server: its login directory, and a directory below it.
        work = os.path.join(self.dir, 'mirrors')
        os.makedirs(work)
        self.mirrors = LocalFtpServer(work, *WRITER, options=['--writable'])
        self.addCleanup(self.mirrors.stop)
        self.mirrors.start()
        url = 'ftp://%s@127.0.0.1:%d/' % (WRITER[0], self.mirrors.port)
        # (address, the directory that it serves as its Update/'s parent)
        self.servers = [(url, self.mirrors.root),
                        (url + 'second', os.path.join(self.mirrors.root, 'second'))]
        self.servers.insert(0, self.vsftpd() or (url + 'third',
                                                 os.path.join(self.mirrors.root, 'third')))

    def vsftpd(self):
        """The update server: vsftpd with the recipe's two accounts, when it can run here."""
        work = os.path.join(self.dir, 'vsftpd')
        os.makedirs(work)
        os.chmod(self.dir, 0o711)  # the accounts pass through to their login directory
        served = os.path.join(work, 'served')
        server = VsftpdServer(work, *READER, root=served, writer=WRITER)
        self.addCleanup(server.stop)
        try:
            server.start()
        except Unavailable:
            return None
        return 'ftp://%s@127.0.0.1:%d/' % (WRITER[0], server.port), served

    def release(self, version, files, *extra):
        source = os.path.join(self.dir, 'release-' + version)
        write_files(source, files)
        proc = run(PUBLISH, 'release', '--from', source, '--to', self.root, '--product',
                   'Tamwix', '--version', version, '--key',
                   os.path.join(self.keys, 'private-key.pem'), *extra)
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def upload(self, *extra, servers=None):
        to = []
        for url, _ in servers or self.servers:
            to += ['--to', url]
        return run(PUBLISH, 'upload', '--root', self.root, '--public-key', self.public_key,
                   '--password-file', self.password_file, *(to + list(extra)))

    def assertServes(self, served):
        """served holds exactly the local publication, and verifies strictly."""
        self.assertEqual(read_files(os.path.join(served, 'Update')),
                         read_files(os.path.join(self.root, 'Update')))
        proc = run(PUBLISH, 'verify', '--root', served, '--public-key', self.public_key,
                   '--strict')
        self.assertEqual(proc.returncode, 0, proc.stdout)

    def stored(self):
        """The names stored on the mirrors' server so far (under their temporary names)."""
        return [arg.split(' ', 1)[1] for _, arg in self.mirrors.commands()
                if arg.startswith('STOR ')]

    def test_a_server_and_two_mirrors_a_failing_one_among_them(self):
        failing = 'ftp://%s@127.0.0.1:%d/' % (WRITER[0], closed_port())
        proc = self.upload(servers=self.servers[:1] + [(failing, None)] + self.servers[1:])
        self.assertEqual(proc.returncode, 1, proc.stderr)
        summary = proc.stdout.splitlines()[-4:]
        self.assertEqual([line.split(': ', 1)[0] for line in summary],
                         [self.servers[0][0], failing, self.servers[1][0], self.servers[2][0]])
        self.assertIn('FAILED', summary[1])
        for url, served in self.servers:
            with self.subTest(url):
                self.assertServes(served)
        # The files went up under temporary names, the lists after them, the signature last.
        names = self.stored()[:7]
        self.assertEqual(names[3:], ['.kestrin-publish-Version.txt',
                                     '.kestrin-publish-File_list.txt',
                                     '.kestrin-publish-Manifest.txt',
                                     '.kestrin-publish-Manifest.sig'])
        # Done once, the same command sends nothing.
        before = len(self.stored())
        proc = self.upload()
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(len(self.stored()), before)
        self.assertIn('0 sent, 7 already there', proc.stdout)

    def test_a_cut_upload_goes_on_where_it_stopped_and_prune_removes_strays(self):
        mirror = self.servers[1:2]
        self.assertEqual(self.upload(servers=mirror).returncode, 0)
        served = mirror[0][1]
        # one.map changes, its size does not.
        self.release('2B', dict(RELEASE, **{'readme.txt': 'changed\r\n', 'new/x.bin': 'x' * 999,
                                           'z.txt': 'z', 'data/maps/one.map': 'pam'}))
        # A directory where z.txt must land stops the upload there, as a killed run would stop
        # it; a killed run's temporary copy is left beside.
        write_files(served, {'Update/z.txt/in-the-way': 'x',
                             'Update/data/.kestrin-publish-one.map': 'cut sh'})
        old = read_files(os.path.join(served, 'Update'))
        stored = len(self.stored())
        proc = self.upload(servers=mirror)
        self.assertEqual(proc.returncode, 1, proc.stdout)
        now = read_files(os.path.join(served, 'Update'))
        # What was renamed into place is whole; the lists and the manifest are still 2A's.
        self.assertEqual((now['readme.txt'], now['new/x.bin']), (b'changed\r\n', b'x' * 999))
        for name in ('Version.txt', 'File_list.txt', 'Manifest.txt', 'Manifest.sig'):
            self.assertEqual(now[name], old[name])
        self.assertNotIn('data/.kestrin-publish-one.map', now)
        shutil.rmtree(os.path.join(served, 'Update', 'z.txt'))
        self.assertEqual(self.stored()[stored:], ['.kestrin-publish-one.map',
                                                  '.kestrin-publish-x.bin',
                                                  '.kestrin-publish-readme.txt',
                                                  '.kestrin-publish-z.txt'])
        # The next run sends what is not there yet, and not what is there whole.
        stored = len(self.stored())
        proc = self.upload(servers=mirror)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertEqual(self.stored()[stored:stored + 2], ['.kestrin-publish-z.txt',
                                                            '.kestrin-publish-Version.txt'])
        self.assertServes(served)

        # A release without some files: they stay (named) until --prune.
        self.release('2C', {'readme.txt': 'changed\r\n'}, '--prune')
        proc = self.upload(servers=mirror)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn('Update/data/maps/one.map is served but not listed', proc.stderr)
        proc = self.upload('--prune', servers=mirror)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertServes(served)
        self.assertEqual(sorted(os.listdir(os.path.join(served, 'Update'))),
                         ['File_list.txt', 'Manifest.sig', 'Manifest.txt', 'Version.txt',
                          'readme.txt'])

    def test_mistakes_are_refused_before_anything_is_written(self):
        url = self.servers[1][0]
        readable = os.path.join(self.dir, 'readable')
        shutil.copy(self.password_file, readable)
        os.chmod(readable, 0o644)
        other = os.path.join(self.dir, 'other')
        run(PUBLISH, 'keygen', other)
        home = os.path.join(self.dir, 'home')
        os.makedirs(home)
        env = dict(os.environ, HOME=home)
        # (arguments after --root, message)
        cases = [
            (['--to', 'ftp://%s:%s@127.0.0.1/' % WRITER], 'a password on the command line'),
            (['--to', url, '--password-file', readable], 'can be read by other users'),
            (['--to', 'http://x@127.0.0.1/'], 'not an ftp:// address'),
            (['--to', 'ftp://127.0.0.1/'], 'no user name'),
            (['--to', 'ftp://u@127.0.0.1:70000/'], 'port'),
            ([], '--to is missing'),
            (['--to', url, '--public-key', os.path.join(other, 'public-key.txt')],
             'does not verify'),
            # A host elsewhere without --tls is warned about (here before the refusal).
            (['--to', 'ftp://u@192.0.2.1/', '--to', url, '--public-key',
              os.path.join(other, 'public-key.txt')], 'crosses the network in clear'),
        ]
        for extra, message in cases:
            with self.subTest(extra=extra):
                proc = run(PUBLISH, 'upload', '--root', self.root, *extra, env=env)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(message, proc.stderr)
                self.assertEqual(self.stored(), [])
        # The password from ~/.netrc; a wrong one fails that server.
        for password, status in (('wrong', 1), (WRITER[1], 0)):
            with open(os.path.join(home, '.netrc'), 'w') as f:
                f.write('machine 127.0.0.1 login %s password %s\n' % (WRITER[0], password))
            os.chmod(os.path.join(home, '.netrc'), stat.S_IRUSR | stat.S_IWUSR)
            proc = run(PUBLISH, 'upload', '--root', self.root, '--to', url, env=env)
            self.assertEqual(proc.returncode, status, proc.stdout + proc.stderr)
        self.assertServes(self.servers[1][1])


class ClientsDuringUpload(unittest.TestCase):
    """Clients (built without a key, and with the tests' key) run while an upload is held at one
    point of its order: neither lands a file cut short, the signed one only files of the
    manifest it verified; once the upload is done, both converge to the release."""

    OLD_FILES = {'a.txt': b'old a', 'data/b.bin': bytes(range(256)) * 64, 'c.txt': b'same'}
    NEW_FILES = {'a.txt': b'new a, longer', 'data/b.bin': bytes(range(255, -1, -1)) * 80,
                 'c.txt': b'same', 'd.txt': b'added'}

    def setUp(self):
        if not KESTRIN or not SIGNED:
            self.skipTest('the programs are not given (--kestrin, --signed)')
        self.box = kestrin_e2e.Sandbox()
        self.addCleanup(self.box.close)
        if not kestrin_e2e.server_from_env():
            self.skipTest('this build cannot be pointed at a local server')
        self.root = os.path.join(self.box.root, 'root')
        keys = os.path.join(self.box.root, 'keys')
        os.makedirs(keys, mode=0o700)
        self.key = os.path.join(keys, 'key.pem')
        shutil.copyfile(signed_release.KEY, self.key)
        os.chmod(self.key, 0o600)
        user, password = kestrin_e2e.account()
        self.password_file = os.path.join(keys, 'password')
        with open(self.password_file, 'w') as f:
            f.write(password)
        os.chmod(self.password_file, 0o600)
        # Each reply a while late: an upload held at a command is held before the next one.
        work = os.path.join(self.box.root, 'server')
        os.makedirs(work)
        self.server = LocalFtpServer(work, user, password,
                                     options=['--writable', '--rtt-ms', '60'])
        self.addCleanup(self.server.stop)
        self.server.start()
        self.url = 'ftp://%s@127.0.0.1:%d/' % (user, self.server.port)
        self.box.set_setting('Update', 'VersionA', '2')
        self.box.set_setting('Update', 'VersionB', 'B')

    def publish(self, version, files, date):
        source = os.path.join(self.box.root, 'release-' + version)
        write_files(source, files)
        proc = run(PUBLISH, 'release', '--from', source, '--to', self.root, '--product',
                   signed_release.PRODUCT, '--version', version, '--key', self.key, '--date',
                   date, '--prune')
        self.assertEqual(proc.returncode, 0, proc.stderr)

    def start_upload(self):
        return subprocess.Popen([PUBLISH, 'upload', '--root', self.root, '--to', self.url,
                                 '--password-file', self.password_file],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)

    def client(self, program, product):
        self.box.set_setting('FILES', 'Directory', product)
        os.makedirs(product, exist_ok=True)
        status, _, err = self.box.run([], stdin='\n', port=self.server.port, program=program,
                                      timeout=120)
        self.assertEqual(status, 0, err)
        return read_files(os.path.join(product, 'Pelmora'))

    def test_clients_during_an_upload(self):
        self.publish('2A', self.OLD_FILES, '2099-01-01')
        before = {'Update/' + name: content
                  for name, content in read_files(os.path.join(self.root, 'Update')).items()}
        self.publish('2B', self.NEW_FILES, '2099-01-02')
        after = {'Update/' + name: content
                 for name, content in read_files(os.path.join(self.root, 'Update')).items()}
        # The command the upload is held after: a file of the release in place, the lists in
        # place, the manifest in place without its signature.
        for held in ('RNTO a.txt', 'RNTO File_list.txt', 'RNTO Manifest.txt'):
            with self.subTest(held):
                shutil.rmtree(os.path.join(self.server.root, 'Update'), True)
                write_files(self.server.root, before)
                commands = len(self.server.commands())
                upload = self.start_upload()
                self.addCleanup(upload.kill)
                self.assertTrue(wait_until(lambda: any(
                    arg == held for _, arg in self.server.commands()[commands:]), 120))
                upload.send_signal(signal.SIGSTOP)
                served = read_files(os.path.join(self.server.root, 'Update'))
                product = os.path.join(self.box.root, 'product-' + held.split()[1])
                unsigned = self.client(KESTRIN, product + '-unsigned')
                signed = self.client(SIGNED, product + '-signed')
                upload.send_signal(signal.SIGCONT)
                # The program without a key lands what the list it read names, each file whole.
                listed = served['File_list.txt'].decode().split('\r\n')[0::2][:-1]
                self.assertEqual(unsigned, {name: served[name] for name in listed})
                # The signed one, only files of the manifest it verified, and only while the
                # lists are the manifest's: 2A's files while its manifest and lists are served
                # (2B's if the upload was done before it was held), none in between.
                signed_expected = {}
                for release, files in ((before, self.OLD_FILES), (after, self.NEW_FILES)):
                    if all(served[name] == release['Update/' + name] for name in OWN):
                        signed_expected = {name: content for name, content in files.items()
                                           if served.get(name) == content}
                self.assertEqual(signed, signed_expected)
                self.assertEqual(upload.wait(timeout=240), 0, upload.communicate()[0])
                self.assertEqual(self.client(KESTRIN, product + '-unsigned'), self.NEW_FILES)
                self.assertEqual(self.client(SIGNED, product + '-signed'), self.NEW_FILES)


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--publish', required=True)
    parser.add_argument('--kestrin')
    parser.add_argument('--signed')
    parser.add_argument('--build')
    args, argv = harness.split_args(parser)
    PUBLISH, KESTRIN, SIGNED = (args.publish, args.kestrin and os.path.abspath(args.kestrin),
                                args.signed and os.path.abspath(args.signed))
    kestrin_e2e.BUILD = args.build and os.path.abspath(args.build)
    harness.main(argv)
