"""The real kestrin against a hostile server and a hostile product directory: links planted
below the product directory, sizes that lie, a server that drips, a name at the path limit, the
leftovers of killed runs, the order in which a landing reaches the disk, and runs that cannot
go on."""
import fcntl
import os
import re
import shutil
import subprocess
import time

import kestrin_e2e
from kestrin_e2e import ServerTestCase, account
from local_ftp import LocalFtpServer, read_files  # found through the path kestrin_e2e sets
from harness import closed_port

SERVER_ERROR = 'message: An error occured on the server.\\nPlease try again latter.'
NO_CONNECTION = ('message: An error occured while trying to connect to the server\\n'
                 'Please check your connections and try again\\n')
OLD = '2001-01-01'
FUTURE = '2099-01-01'


class FaultyServer(LocalFtpServer):
    """The local server, breaking each file as its name or its sidecar file says."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, options=['--named-faults'], **kwargs)


class HostileUpdate(ServerTestCase):
    server_class = FaultyServer

    def setUp(self):
        super().setUp()
        self.install = os.path.join(self.box.root, 'install')
        self.product = os.path.join(self.install, 'Pelmora')
        self.outside = os.path.join(self.box.root, 'outside')
        for d in (self.product, self.outside):
            os.makedirs(d)
        self.box.set_setting('FILES', 'Directory', self.install)
        self.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n'})

    def write(self, path, content, age=0):
        with open(path, 'w') as f:
            f.write(content)
        os.utime(path, (time.time() - age,) * 2)

    def read(self, path):
        with open(path) as f:
            return f.read()

    def update(self, entries, extra_env=None, stdin='\n'):
        """Lists entries (name, date) and presses Update; returns {name: outcome} ("Updated",
        "Failed", "Unchanged") and the message lines."""
        self.serve({'Update/File_list.txt': ''.join('%s\r\n%s\r\n' % e for e in entries)})
        status, out, err = self.kestrin([], stdin=stdin, timeout=60,
                                        extra_env=extra_env)
        self.assertEqual(status, 0, err)
        outcomes = {}
        for line in out:
            m = re.match(r'status: (Updated|Failed|Unchanged)\.\.\.(.*)$', line)
            if m:
                outcomes[m.group(2)] = m.group(1)
        return outcomes, [line for line in out if line.startswith('message: ')]

    def test_links_below_the_product_directory(self):
        # A directory link leads out of the product directory: nothing is written through it.
        os.symlink(self.outside, os.path.join(self.product, 'etc'))
        self.write(os.path.join(self.outside, 'precious.conf'), 'precious')
        # Links at a listed name itself are replaced by the file, dangling or not.
        self.write(os.path.join(self.outside, 'a.txt'), 'outside a')
        os.symlink(os.path.join(self.outside, 'a.txt'), os.path.join(self.product, 'a.txt'))
        os.symlink(os.path.join(self.outside, 'nowhere'), os.path.join(self.product, 'gone.txt'))
        self.serve({'Update/etc/precious.conf': 'server', 'Update/a.txt': 'server a',
                    'Update/gone.txt': 'server gone', 'Update/sub/b.txt': 'server b'})
        outcomes, messages = self.update([('etc/precious.conf', FUTURE), ('a.txt', FUTURE),
                                          ('gone.txt', OLD), ('sub/b.txt', OLD)])
        self.assertEqual((outcomes, messages), ({'etc/precious.conf': 'Failed',
                                                 'a.txt': 'Updated', 'gone.txt': 'Updated',
                                                 'sub/b.txt': 'Updated'}, []))
        self.assertEqual(read_files(self.outside),
                         {'precious.conf': b'precious', 'a.txt': b'outside a'})
        for name, content in (('a.txt', 'server a'), ('gone.txt', 'server gone'),
                              ('sub/b.txt', 'server b')):
            path = os.path.join(self.product, name)
            self.assertFalse(os.path.islink(path), name)
            self.assertEqual(self.read(path), content)

    def test_only_whole_transfers_land(self):
        # The faults are in sidecar files, so the listed names are plain.
        payload = 'x' * 4000
        self.serve({'Update/sized.bin': payload, 'Update/sized.bin.fault': 'size-1000',
                    'Update/counted.bin': payload, 'Update/counted.bin.fault': 'nosize count-1000',
                    'Update/slow.bin': payload[:2000], 'Update/slow.bin.fault': 'drip-50',
                    'Update/good.bin': payload})
        for name in ('sized.bin', 'counted.bin', 'slow.bin'):
            self.write(os.path.join(self.product, name), 'old copy', age=3600)
        entries = [(name, FUTURE) for name in ('sized.bin', 'counted.bin', 'good.bin',
                                               'slow.bin')]
        # The window of the floor rate is the receive time-out, here five seconds.
        for run in range(2):
            outcomes, messages = self.update(entries)
            self.assertEqual((outcomes, messages), ({'sized.bin': 'Failed',
                                                     'counted.bin': 'Failed',
                                                     'good.bin': 'Updated',
                                                     'slow.bin': 'Failed'}, []), run)
        for name in ('sized.bin', 'counted.bin', 'slow.bin'):
            self.assertEqual(self.read(os.path.join(self.product, name)), 'old copy')
        self.assertEqual(sorted(os.listdir(self.product)),
                         ['counted.bin', 'good.bin', 'sized.bin', 'slow.bin'])

    def test_cut_and_busy_transfers_go_on(self):
        # Each file breaks as its sidecar file says; a try that moves a file on goes on where
        # the last was cut off while the server's file is the same (its size and time), a file
        # is given up after three tries that moved it nowhere, and the server's log tells what it
        # sent.
        size = 300000
        payload = bytes(range(256)) * (size // 256 + 1)
        changed = bytes(255 - b for b in payload[:size])
        cases = [
            # name, faults, outcome, bytes sent of it over all tries (None: not counted)
            ('cut.bin', 'drop-after-100000 once', 'Updated', size),
            # Cut on every try, the rest asked over a new login each time.
            ('cut-every.bin', 'drop-after-100000', 'Updated', 250000),
            ('cut-426.bin', 'cut-after-120000', 'Updated', size),
            ('norest.bin', 'drop-after-100000 once norest', 'Updated', size + 100000),
            ('busy.bin', 'busy-2', 'Updated', size),
            ('busier.bin', 'busy-3', 'Failed', 0),
            # Another file of the size, an hour later, after the cut; a server without MDTM.
            # (the transfer given up at its start may reach the server's count or not)
            ('changed.bin', 'drop-after-100000 once changes', 'Updated', None),
            ('no-time.bin', 'drop-after-100000 once nomdtm', 'Updated', size + 100000),
            # REST answered 350, the file sent from its start: found out by the bytes past the
            # rest; that server is not asked to resume again in the run.
            ('ignored.bin', 'drop-after-100000 once ignorerest', 'Updated', None),
            ('after-ignored.bin', 'drop-after-100000 once', 'Updated', size + 100000),
        ]
        files = {'Update/cut-every.bin': payload[:250000],
                 'Update/changed.bin.next': changed}
        for name, faults, _, _ in cases:
            files.setdefault('Update/' + name, payload[:size])
            files['Update/%s.fault' % name] = faults
            self.write(os.path.join(self.product, name), 'old copy', age=3600)
        self.serve(files)
        served = os.path.join(self.served, 'Update', 'changed.bin')
        os.utime(served + '.next', (os.path.getmtime(served) + 3600,) * 2)
        # The tries of a file over one connection (with more, a file that a further connection
        # could not receive is fetched again in its turn over the run's own).
        outcomes, messages = self.update([(name, FUTURE) for name, _, _, _ in cases],
                                         {'KESTRIN_TRANSFER_CONNECTIONS': '1'})
        self.assertEqual((outcomes, messages),
                         ({name: outcome for name, _, outcome, _ in cases}, []))
        for name, _, outcome, sent in cases:
            if sent is not None:
                self.assertEqual(self.server.bytes_sent('Update/' + name), sent, name)
            expected = {'changed.bin': changed, 'cut-every.bin': payload[:250000]}.get(
                name, payload[:size])
            with open(os.path.join(self.product, name), 'rb') as f:
                self.assertEqual(f.read(), expected if outcome == 'Updated' else b'old copy', name)
        rests = [arg for _, arg in self.server.commands() if arg.startswith('REST ')]
        self.assertEqual(len(rests), 8, rests)  # none after ignored.bin's
        self.assertEqual(sorted(os.listdir(self.product)), sorted(name for name, *_ in cases))

    def test_a_busy_or_absent_server(self):
        # A server at its connection limit answers 421 at once; one that stays down has nothing
        # listening. Each connect is tried three times at most, then the run says it could not
        # connect; the waits between tries grow (here from a base of 300 ms).
        self.serve({'Update/File_list.txt': 'a.txt\r\n%s\r\n' % OLD, 'Update/a.txt': 'a'})
        user, password = account()
        cases = [
            # the server's options (None: nothing listening), connections, whether a.txt lands
            # (three tries, and the further connection of a run that fetches a file)
            (['--busy', '2'], 4, True),
            (['--busy', '3'], 3, False),
            (None, 0, False),
        ]
        for options, connections, lands in cases:
            with self.subTest(options=options):
                shutil.rmtree(self.product)
                os.makedirs(self.product)
                port, server = closed_port(), None
                if options is not None:
                    work = os.path.join(self.box.root, 'busy-' + options[1])
                    os.makedirs(work)
                    server = LocalFtpServer(work, user, password, root=self.served,
                                            options=['--named-faults'] + options)
                    self.addCleanup(server.stop)
                    port = server.start().port
                start = time.monotonic()
                status, out, err = self.box.run([], stdin='\n', port=port, timeout=60,
                                                extra_env={'KESTRIN_RETRY_WAIT_MS': '300'})
                elapsed = time.monotonic() - start
                self.assertEqual(status, 0, err)
                self.assertEqual('status: Updated...a.txt' in out, lands, out)
                self.assertEqual(NO_CONNECTION in out, not lands, out)
                if server is not None:
                    self.assertEqual(len(server.connections()), connections)
                # Two waits: 300 to 600 ms, then 600 to 1200 ms.
                self.assertGreaterEqual(elapsed, 0.9)

    def test_a_name_at_the_path_limit_lands(self):
        # The install directory as kestrin reads it, then "\Pelmora\" and "x": 259 characters.
        install = self.box.root
        while len(install) < 249:
            install = os.path.join(install, 'd' * min(200, 249 - len(install) - 1))
        os.makedirs(os.path.join(install, 'Pelmora'))
        self.box.set_setting('FILES', 'Directory', install)
        self.serve({'Update/x': 'fits'})
        self.assertEqual(self.update([('x', OLD)]), ({'x': 'Updated'}, []))
        self.assertEqual(self.read(os.path.join(install, 'Pelmora', 'x')), 'fits')

    def test_leftovers_of_killed_runs_go(self):
        # Left by killed runs: an hour ago, beside a landing, and a moment ago in a directory
        # where nothing lands but whose listed file the run looks at.
        stale = [('~kst0a0b.tmp', 3600), ('sub/~kst1111.tmp', 3600), ('quiet/~kst2222.tmp', 10)]
        # A run that still goes on holds its temporary file, however long ago it wrote it; and
        # only names of exactly the temporary form are ever taken.
        live = '~kst0c0d.tmp'
        kept = [live, '~kst0a0b.tmp.bak', '~KST0E0F.TMP', '~kst0a0b0.tmp', 'x~kst0a0b.tmp']
        for directory in ('sub', 'quiet'):
            os.makedirs(os.path.join(self.product, directory))
        for name, age in stale + [(name, 3600) for name in kept]:
            self.write(os.path.join(self.product, name), 'left', age)
        self.write(os.path.join(self.product, 'quiet', 'c.txt'), 'current')
        self.serve({'Update/a.txt': 'a', 'Update/sub/b.txt': 'b'})
        with open(os.path.join(self.product, live)) as held:
            fcntl.flock(held, fcntl.LOCK_EX)
            outcome = self.update([('a.txt', OLD), ('sub/b.txt', OLD), ('quiet/c.txt', OLD)])
        self.assertEqual(outcome, ({'a.txt': 'Updated', 'sub/b.txt': 'Updated',
                                    'quiet/c.txt': 'Unchanged'}, []))
        self.assertEqual(sorted(read_files(self.product)),
                         sorted(kept + ['a.txt', 'sub/b.txt', 'quiet/c.txt']))

    def test_a_landing_reaches_the_disk_before_its_name(self):
        strace = shutil.which('strace')
        if strace is None:
            self.skipTest('no strace to follow the calls with')
        trace = os.path.join(self.box.root, 'trace')
        self.serve({'Update/a.txt': 'a', 'Update/b.txt': 'b'})
        self.serve({'Update/File_list.txt': 'a.txt\r\n%s\r\nb.txt\r\n%s\r\n' % (OLD, OLD)})
        # LeakSanitizer cannot work under a tracer: a sanitizers' build leaves the leak check
        # to the other cases here.
        no_leak_check = {'ASAN_OPTIONS': os.environ.get('ASAN_OPTIONS', '') + ':detect_leaks=0'}
        status, out, err = self.kestrin([], stdin='\n', extra_env=no_leak_check, wrapper=[
            strace, '-f', '-y', '-o', trace, '-e', 'trace=fsync,fdatasync,rename,renameat,renameat2'])
        if status != 0 and 'ptrace' in err:
            self.skipTest('strace may not trace here: ' + err)
        self.assertIn('status: Updated...b.txt', out, err)
        with open(trace) as f:
            calls = [line.split(None, 1)[1] for line in f if '= 0' in line]
        product = re.escape(self.product)
        # Each temporary file just before its rename over its name; the directory that holds
        # them after the last rename (once for the two), before the run ends.
        landings = [i for i, call in enumerate(calls)
                    if re.match(r'renameat2?\(\d+<%s>, "~kst[0-9a-f]{4}\.tmp", \d+<%s>, "[ab]\.txt"'
                                % (product, product), call)]
        self.assertEqual(len(landings), 2, calls)
        for i in landings:
            self.assertTrue(i > 0 and re.match(r'f(data)?sync\(\d+<%s/~kst[0-9a-f]{4}\.tmp>\)'
                                               % product, calls[i - 1]), calls)
        after = calls[landings[-1] + 1:]
        self.assertTrue(after and after[0].startswith('fsync(') and
                        ('<%s>' % self.product) in after[0], calls)

    def test_a_run_that_cannot_go_on_says_so(self):
        self.serve({'Update/File_list.txt': ''})
        temp = self.box.temp_dir()
        cases = [
            ('the list is missing', lambda: os.remove(os.path.join(self.served, 'Update',
                                                                   'File_list.txt'))),
            ('the list is larger than any list may be', lambda: self.serve(
                {'Update/File_list.txt': 'a\r\n' * (64 * 1024 * 1024 // 3 + 1)})),
            # A link where the private temporary directory goes: it is refused.
            ('the temporary directory is refused',
             lambda: shutil.rmtree(temp) or os.symlink(self.outside, temp)),
        ]
        for what, spoil in cases:
            with self.subTest(what):
                spoil()
                status, out, err = self.kestrin([], stdin="\n", timeout=30)
                self.assertEqual(status, 0, err)
                self.assertEqual(out[-4:], ['status: Checking file list', 'caption: kestrin',
                                            SERVER_ERROR, 'status: '], err)

    def test_an_overlong_line_refuses_its_entry(self):
        self.serve({'Update/a.txt': 'a', 'Update/b.txt': 'b'})
        self.serve({'Update/File_list.txt': 'a.txt' + ' ' * 5000 + '\r\n%s\r\nb.txt\r\n%s\r\n'
                    % (OLD, OLD)})
        status, out, err = self.kestrin([], stdin='\n', timeout=30)
        self.assertEqual(status, 0, err)
        self.assertIn('status: Failed...a.txt', out)
        self.assertIn('status: Updated...b.txt', out)
        self.assertEqual(os.listdir(self.product), ['b.txt'])

    def test_a_running_program_is_replaced(self):
        # The product updates its own program while it runs: the new copy takes the name and the
        # running process goes on with the old one, which it still maps.
        program = os.path.join(self.product, 'tamwix')
        shutil.copy('/bin/sleep', program)
        running = subprocess.Popen([program, '120'])
        self.addCleanup(running.wait)
        self.addCleanup(running.kill)
        self.serve({'Update/tamwix': '#!/bin/sh\necho new\n'})
        self.assertEqual(self.update([('tamwix', FUTURE)]), ({'tamwix': 'Updated'}, []))
        self.assertEqual(self.read(program), '#!/bin/sh\necho new\n')
        self.assertEqual(sorted(os.listdir(self.product)), ['tamwix'])
        self.assertIsNone(running.poll(), 'the running program ended')
        self.assertTrue(os.readlink('/proc/%d/exe' % running.pid).endswith(' (deleted)'))


if __name__ == '__main__':
    kestrin_e2e.main()
