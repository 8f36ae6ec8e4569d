"""The program built with the tests' key against releases that kestrin-publish signs with it: a
genuine one lands, and each way of spoiling one is refused, the old copies kept."""
import datetime
import mmap
import os
import re
import shutil
import subprocess
import sys
import time

import kestrin_e2e
from kestrin_e2e import ServerTestCase
from harness import closed_port
# found through the path kestrin_e2e sets
from local_ftp import LocalFtpServer, read_files, write_files
import signed_release
from signed_release import CASES, FILES, UNVERIFIED, cache_files, restamp, spoil_last_digest

MESSAGE = 'message: ' + UNVERIFIED.replace('\n', '\\n')
OUTCOME = re.compile(r'status: (Updated|Failed|Unchanged)\.\.\.(.*)$')
DONE = re.compile(r'status: (Updated|Failed|Unchanged|Removed)\.\.\.(.*)$')
# The signed program of before Dropped.txt (--old-kestrin), or '' when none was built.
OLD_PROGRAM = ''

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
                log = os.path.join(self.box.root, 'kestrin.log')
                status, out, err = self.kestrin([], stdin='\n', extra_env={'KESTRIN_LOG': log})
                self.assertEqual(status, 0, err)
                self.assertIsNone(signed_release.logged_reason(what, log))
                os.remove(log)
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
                log = os.path.join(self.box.root, 'kestrin.log')
                status, out, err = self.kestrin([], stdin='\n', extra_env={'KESTRIN_LOG': log})
                self.assertEqual(status, 0, err)
                self.assertIsNone(signed_release.logged_reason(what, log))
                os.remove(log)
                seen = {m.group(2): m.group(1) for m in map(OUTCOME.match, out) if m}
                self.assertEqual(seen, signed_release.converged_outcomes(fetched), err)
                self.assertEqual({path for _, path in self.server.retrieved()[fetched_before:]},
                                 {'Update/' + name for name in fetched} | LISTS)
                self.assertEqual(read_files(self.product), FILES)

    def start_mirror(self):
        """A server of its own holding a copy of what the server holds now."""
        mirror_root = os.path.join(self.box.root, 'mirror-root')
        shutil.copytree(self.served, mirror_root)
        os.makedirs(os.path.join(self.box.root, 'mirror'))
        mirror = LocalFtpServer(os.path.join(self.box.root, 'mirror'), *kestrin_e2e.account(),
                                root=mirror_root).start()
        self.addCleanup(mirror.stop)
        return mirror

    def test_mirrors(self):
        """A signed program goes on with the next server when its server cannot be reached or
        fails a file; a program without a key has only its server."""
        mirror = self.start_mirror()
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

    def test_failover_to_a_good_mirror(self):
        """A file, a list or a manifest that the server fails its own way is taken from the
        mirror behind it, checked afresh there (signed_release.FAILOVER)."""
        mirror = self.start_mirror()
        for what, spoil, options, env, from_mirror in signed_release.FAILOVER:
            with self.subTest(what):
                shutil.rmtree(self.update)
                write_files(self.served, self.pristine)
                spoil(self.update)
                write_files(self.product, OLD)
                server = self.server
                if options:
                    os.makedirs(os.path.join(self.box.root, what))
                    server = LocalFtpServer(os.path.join(self.box.root, what),
                                            *kestrin_e2e.account(), root=self.served,
                                            options=['--named-faults'] + options).start()
                    self.addCleanup(server.stop)
                sent_before = len(mirror.retrieved())
                started = time.monotonic()
                status, out, err = self.box.run([], stdin='\n', port=server.port, extra_env=dict(
                    env, KESTRIN_UPDATE_MIRRORS='127.0.0.1:%d' % mirror.port))
                seen = {m.group(2): m.group(1) for m in map(OUTCOME.match, out) if m}
                self.assertEqual((status, seen), (0, {name: 'Updated' for name in FILES}), err)
                self.assertEqual([line for line in out if line.startswith('message: ')], [])
                self.assertEqual(read_files(self.product), FILES)
                self.assertLessEqual({'Update/' + name for name in from_mirror},
                                     {path for _, path in mirror.retrieved()[sent_before:]})
                # Generous on a loaded machine; the manifest alone would take hours.
                self.assertLess(time.monotonic() - started, 45)

    def test_content_cache_bounded_and_the_users_own(self):
        """A copy whose change the cache could not see is hashed again once its time is up, and
        a cache another user planted is never read."""
        cache_directory = os.path.join(self.box.tmp, 'kestrin')
        unchanged = {name: 'Unchanged' for name in FILES}

        def mapped_write(product):
            # Written through a shared mapping; the cache then knows the copy's stamp as it is
            # now, as where such a write moves no time.
            with open(os.path.join(product, 'a.txt'), 'r+b') as f:
                with mmap.mmap(f.fileno(), 0) as mapped:
                    mapped[0:1] = b'N'
            restamp(cache_files(cache_directory)[0], 'a.txt', os.path.join(product, 'a.txt'))

        def planted(product, give):
            cache = cache_files(cache_directory)[0]
            spoiled = spoil_last_digest(cache)
            if give:
                os.chown(cache, 65534, 65534)
            # Believed, the wrong digest has the copy fetched.
            return None if give else spoiled

        # (what, change(product) returning a copy that must be fetched besides, environment,
        # outcomes, a.txt afterwards)
        rows = [
            ('a write through a shared mapping, within the week', mapped_write, {}, unchanged,
             b'New a\r\n'),
            ('the same copy once its time is up', lambda product: None,
             {'KESTRIN_CACHE_TRUST_MS': '0'}, dict(unchanged, **{'a.txt': 'Updated'}),
             FILES['a.txt']),
            ("a digest made wrong in the user's own cache",
             lambda product: planted(product, False), {}, unchanged, FILES['a.txt']),
            ('a digest made wrong in a cache of another user',
             lambda product: planted(product, True), {}, unchanged, FILES['a.txt']),
        ]
        write_files(self.product, FILES)
        # Hashed a while after they were written, the copies' hashes are kept.
        time.sleep(2.1)
        status, out, err = self.kestrin([], stdin='\n')
        self.assertEqual(status, 0, err)
        self.assertEqual(len(cache_files(cache_directory)), 1)
        for what, change, env, outcomes, a_txt in rows:
            with self.subTest(what):
                if 'another user' in what and os.geteuid() != 0:
                    self.skipTest('only root can give a file to another user')
                fetched = change(self.product)
                if fetched:
                    outcomes = dict(outcomes, **{fetched: 'Updated'})
                status, out, err = self.kestrin([], stdin='\n', extra_env=env)
                seen = {m.group(2): m.group(1) for m in map(OUTCOME.match, out) if m}
                self.assertEqual((status, seen), (0, outcomes), err)
                self.assertEqual(read_files(self.product)['a.txt'], a_txt)
                # What the run learned lands again, the user's own.
                time.sleep(2.1)

    def test_dropped_files_leave_the_product_directory(self):
        """Only a regular file holding a content the publisher recorded for a dropped name goes
        (signed_release.DROPPING); a program without a key removes nothing."""
        signed_release.publish(self.served, files=signed_release.DROPPING_FILES,
                               dropped=signed_release.DROPPED)
        unsigned = os.path.join(kestrin_e2e.BUILD, 'app', 'kestrin')
        rows = [row + (None,) for row in signed_release.DROPPING] + [
            ('a program without a key', {'d.txt': b'older d'}, [], {'d.txt': b'older d'},
             unsigned)]
        for what, before, removed, after, program in rows:
            with self.subTest(what):
                shutil.rmtree(self.product, ignore_errors=True)
                signed_release.make_product(self.product, before, os.path.join(self.box.root, 'o'))
                status, out, err = self.kestrin([], stdin='\n', program=program)
                self.assertEqual(status, 0, err)
                self.assertEqual([line[len('status: Removed...'):] for line in out
                                  if line.startswith('status: Removed...')], removed, err)
                self.assertNotIn('status: Failed...', '\n'.join(out))
                self.assertEqual([line for line in out if line.startswith('status: ')][-2:],
                                 ['status: Completed- Press Cancel', 'status: '])
                self.assertEqual(signed_release.product_state(
                    self.product, signed_release.DROPPING_FILES), after)

    def test_a_release_that_drops_files_then_lists_one_again(self):
        """Releases made with kestrin-publish: the files 2D drops go from the product directory,
        a file the user made beside them stays, and the name 2E lists again is fetched. The
        program of before Dropped.txt accepts 2D and keeps every copy."""
        self.box.set_setting('Update', 'VersionA', '9')
        self.box.set_setting('Update', 'VersionB', 'Z')
        key = os.path.join(self.box.root, 'key.pem')
        extra = {'e.dll': b'e, first', 'plugins/p.dll': b'p'}
        mine = {'plugins/mine.txt': b'made here'}
        unchanged = dict.fromkeys(FILES, 'Unchanged')
        # (version, the release's files, the program, the outcomes, the product directory after)
        rows = [
            ('2C', dict(FILES, **extra), None, dict.fromkeys(extra, 'Updated'),
             dict(FILES, **extra)),
            ('2D', FILES, OLD_PROGRAM, unchanged, dict(FILES, **extra, **mine)),
            ('2D', FILES, None, dict.fromkeys(extra, 'Removed'), dict(FILES, **mine)),
            ('2E', dict(FILES, **{'e.dll': b'e, again'}), None, {'e.dll': 'Updated'},
             dict(FILES, **mine, **{'e.dll': b'e, again'})),
        ]
        write_files(self.product, FILES)
        published = None
        for version, files, program, outcomes, after in rows:
            with self.subTest(version, program=program):
                if version != published:
                    release = os.path.join(self.box.root, 'release-' + version)
                    write_files(release, files)
                    # e.dll comes back with other content: on a later date than it had.
                    later = ['--date', (datetime.date.today() + datetime.timedelta(days=1))
                             .isoformat()] if version == '2E' else []
                    done = subprocess.run([kestrin_e2e.PUBLISH, 'release', '--from', release,
                                           '--to', self.served, '--product',
                                           signed_release.PRODUCT, '--version', version,
                                           '--key', key] + later, capture_output=True, text=True)
                    self.assertEqual(done.returncode, 0, done.stderr)
                    published = version
                if program == '':
                    self.skipTest('no --old-kestrin: the program of before Dropped.txt')
                status, out, err = self.kestrin([], stdin='\n', program=program)
                seen = {m.group(2): m.group(1) for m in map(DONE.match, out) if m}
                self.assertEqual(seen, dict(unchanged, **outcomes), err)
                self.assertEqual(read_files(self.product), after)
                write_files(self.product, mine)

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
    old = [arg for arg in sys.argv if arg.startswith('--old-kestrin=')]
    for arg in old:
        sys.argv.remove(arg)
        OLD_PROGRAM = arg.split('=', 1)[1]
        OLD_PROGRAM = os.path.abspath(OLD_PROGRAM) if os.path.exists(OLD_PROGRAM) else ''
    kestrin_e2e.main()
