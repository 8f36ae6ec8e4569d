"""The program built with the tests' key against releases that kestrin-publish signs with it: a
genuine one lands, and each way of spoiling one is refused, the old copies kept."""
import os
import re
import shutil
import subprocess
import time

import kestrin_e2e
from kestrin_e2e import ServerTestCase
from harness import closed_port
# found through the path kestrin_e2e sets
from local_ftp import LocalFtpServer, read_files, write_files
import signed_release
from signed_release import CASES, FILES, UNVERIFIED

MESSAGE = 'message: ' + UNVERIFIED.replace('\n', '\\n')
OUTCOME = re.compile(r'status: (Updated|Failed|Unchanged)\.\.\.(.*)$')
OLD = {name: b'old ' + name.encode() for name in FILES}
LISTS = {'Update/Manifest.txt', 'Update/Manifest.sig', 'Update/Version.txt',
         'Update/File_list.txt'}

class FaultyServer(LocalFtpServer):
    """The local server, breaking each file as its sidecar file says."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, options=['--named-faults'], **kwargs)


class SignedUpdate(ServerTestCase):
    server_class = FaultyServer

    def setUp(self):
        super().setUp()
        self.product = os.path.join(self.box.root, 'install', 'Pelmora')
        self.box.set_setting('FILES', 'Directory', os.path.dirname(self.product))
        # The release on the server is the installed one: the version check shows nothing.
        self.box.set_setting('Update', 'VersionA', signed_release.VERSION[0])
        self.box.set_setting('Update', 'VersionB', signed_release.VERSION[1])
        release = os.path.join(self.box.root, 'release')
        write_files(release, FILES)
        # The publisher's tool refuses a private key others can write, as a checkout may leave
        # it: a copy only the owner can write.
        key = os.path.join(self.box.root, 'key.pem')
        shutil.copyfile(signed_release.KEY, key)
        os.chmod(key, 0o600)
        done = subprocess.run([kestrin_e2e.PUBLISH, 'release', '--from', release, '--to',
                               self.served, '--product', signed_release.PRODUCT, '--version',
                               ''.join(signed_release.VERSION), '--key', key,
                               '--date', signed_release.DATE], capture_output=True, text=True)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.update = os.path.join(self.served, 'Update')
        self.pristine = read_files(self.served)

    def setting(self, entry):
        path = os.path.join(self.box.config, 'Vantorel', 'Tamwix', 'Update', entry)
        with open(path) as f:
            return f.read()

    def test_releases(self):
        for what, spoil, outcomes in CASES:
            with self.subTest(what):
                write_files(self.served, self.pristine)
                write_files(self.product, OLD)
                settings = spoil(self.update) or {}
                for entry, value in settings.items():
                    self.box.set_setting('Update', entry, value)
                fetched_before = len(self.server.retrieved())
                asked_before = len(self.server.commands())
                status, out, err = self.kestrin([], stdin='\n')
                self.assertEqual(status, 0, err)
                seen = {m.group(2): m.group(1) for m in map(OUTCOME.match, out) if m}
                messages = [line for line in out if line.startswith('message: ')]
                fetched = {path for _, path in self.server.retrieved()[fetched_before:]}
                # A file the manifest records is held to its size there: the server is not asked.
                self.assertEqual(signed_release.sized_needlessly(
                    [arg for _, arg in self.server.commands()[asked_before:]]), set())
                # The highest serial accepted is the genuine release's (the first case), unless
                # a higher one was stored before.
                self.assertEqual(self.setting('ManifestSerial'), '%s\n' % settings.get(
                    'ManifestSerial', signed_release.serial_of(self.update)))
                if outcomes is None:
                    self.assertEqual((seen, messages), ({}, [MESSAGE]), err)
                    self.assertLessEqual(fetched, {'Update/Manifest.txt', 'Update/Manifest.sig',
                                                   'Update/Version.txt', 'Update/File_list.txt'})
                else:
                    self.assertEqual((seen, messages), (outcomes, []), err)
                expected = {name: FILES[name] if outcomes and outcomes[name] == 'Updated'
                            else OLD[name] for name in FILES}
                self.assertEqual(read_files(self.product), expected)

    def test_copies_converge_to_the_release_by_content(self):
        signed_release.publish(self.served, signed_release.CONTENT_DATES)
        write_files(self.product, FILES)
        # Hashed a while after they were written, the copies' hashes are kept for later runs.
        time.sleep(2.1)
        for what, change, fetched in [('copies written by hand', lambda product: None,
                                       set())] + signed_release.CONVERGENCE:
            with self.subTest(what):
                change(self.product)
                fetched_before = len(self.server.retrieved())
                status, out, err = self.kestrin([], stdin='\n')
                self.assertEqual(status, 0, err)
                seen = {m.group(2): m.group(1) for m in map(OUTCOME.match, out) if m}
                self.assertEqual(seen, signed_release.converged_outcomes(fetched), err)
                self.assertEqual({path for _, path in self.server.retrieved()[fetched_before:]},
                                 {'Update/' + name for name in fetched} | LISTS)
                self.assertEqual(read_files(self.product), FILES)

    def test_mirrors(self):
        """A signed program goes on with the next server when its server cannot be reached or
        fails a file; a program without a key has only its server."""
        mirror_root = os.path.join(self.box.root, 'mirror-root')
        shutil.copytree(self.served, mirror_root)
        os.makedirs(os.path.join(self.box.root, 'mirror'))
        mirror = LocalFtpServer(os.path.join(self.box.root, 'mirror'), *kestrin_e2e.account(),
                                root=mirror_root).start()
        self.addCleanup(mirror.stop)
        unsigned = os.path.join(kestrin_e2e.BUILD, 'app', 'kestrin')
        everything = {name: 'Updated' for name in FILES}
        # Two that name nothing that can be reached, and two that name no server at all.
        mirrors = ' 127.0.0.1:1 ,, bad host, 127.0.0.1:%d' % mirror.port
        dead = '127.0.0.1:%d' % closed_port()
        # (what, program, the server's port, the mirrors, a file the server does not serve, the
        # outcomes, the files the mirror sent: from the one that failed on, in the list's order)
        rows = [
            ('the server cannot be reached', None, closed_port(), mirrors, None, everything,
             set(FILES)),
            ('the server fails a file', None, self.server.port, mirrors, 'c.txt', everything,
             {'c.txt', 'd.txt', 'data/b.bin'}),
            # The server's connection stays the run's.
            ('the server fails a file, no mirror can be reached', None, self.server.port, dead,
             'c.txt', dict(everything, **{'c.txt': 'Failed'}), set()),
            ('a program without a key', unsigned, closed_port(), mirrors, None, {}, set()),
        ]
        for what, program, port, named, missing, outcomes, from_mirror in rows:
            with self.subTest(what):
                write_files(self.served, self.pristine)
                if missing:
                    os.remove(os.path.join(self.update, missing))
                write_files(self.product, OLD)
                sent_before = len(mirror.retrieved())
                # One connection: with more, files after the failed one may have come over a
                # further connection to the server before the run turned to the mirror.
                status, out, err = self.box.run([], stdin='\n', port=port, program=program,
                                                extra_env={'KESTRIN_UPDATE_MIRRORS': named,
                                                           'KESTRIN_TRANSFER_CONNECTIONS': '1'})
                seen = {m.group(2): m.group(1) for m in map(OUTCOME.match, out) if m}
                self.assertEqual(seen, outcomes, err)
                self.assertEqual({path for _, path in mirror.retrieved()[sent_before:]
                                  if path[len('Update/'):] in FILES},
                                 {'Update/' + name for name in from_mirror})
                if not outcomes:
                    self.assertIn('message: An error occured while trying to connect', '\n'.join(out))

    def test_one_message_a_run_and_none_when_silent(self):
        signed_release.another_key(self.update)
        for switch, messages in (('UPDATE_REQUEST', [MESSAGE]), ('UPDATE_NOREQUEST', [])):
            status, out, err = self.kestrin([switch])
            self.assertEqual((status, [line for line in out if line.startswith('message: ')]),
                             (0, messages), switch + err)
        # The Update button twice (each message box takes a line too): one message a run.
        status, out, err = self.kestrin([], stdin='\n' * 4)
        self.assertEqual(out.count(MESSAGE), 2, err)

if __name__ == '__main__':
    kestrin_e2e.main()
