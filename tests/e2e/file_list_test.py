"""The file-list synchronisation of the real kestrin against the local update server, and its
main cases against vsftpd too, into a real product directory."""
import datetime
import os
import re
import shutil
import subprocess
import tempfile
import time

import kestrin_e2e
from kestrin_e2e import ServerTestCase
from local_ftp import LocalFtpServer, read_files  # found through the path kestrin_e2e sets
from vsftpd import VsftpdServer

RUN_START = ['dialog: Updating System', 'status: Connecting to Server', 'status: Connected',
             'status: Checking version', 'status: Checking file list']
RUN_END = ['status: Completed- Press Cancel', 'progress: 0', 'status: ']
NO_CONNECTION = ('message: An error occured while trying to connect to the server\\n'
                 'Please check your connections and try again\\n')
OLD_DATE = '2001-01-01'


def creation_date(path):
    """The local date on which the file came to be, as kestrin sees it: its birth time, or
    where the file system keeps none, the earlier of its last-write and status-change times."""
    birth = subprocess.run(['stat', '-c', '%W', path], stdout=subprocess.PIPE,
                           text=True).stdout.strip()
    if birth.isdigit() and int(birth) > 0:
        seconds = int(birth)
    else:
        st = os.stat(path)
        seconds = min(st.st_mtime, st.st_ctime)
    return datetime.date.fromtimestamp(seconds)


def local_path(product, name):
    """Where a listed name lands on Linux: a backslash separates directories too."""
    return os.path.join(product, *name.replace('\\', '/').split('/'))


def fetched(name):
    return ['status: Updating...' + name, 'status: Updated...' + name]


def failed(name):
    return ['status: Updating...' + name, 'status: Failed...' + name]


def unchanged(name):
    return ['status: Unchanged...' + name]


class Synchronisation(ServerTestCase):
    def setUp(self):
        super().setUp()
        self.install = os.path.join(self.box.root, 'install')
        os.makedirs(self.install)
        self.product = os.path.join(self.install, 'Pelmora')
        self.box.set_setting('FILES', 'Directory', self.install)
        # No settings for the release: 1A installed, 1A on the server, nothing announced.
        self.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n'})

    def serve_list(self, entries):
        self.serve({'Update/File_list.txt': ''.join('%s\r\n%s\r\n' % e for e in entries)})

    def update(self):
        """Presses Update once; returns the output lines."""
        status, out, err = self.kestrin([], stdin='\n', timeout=60)
        self.assertEqual(status, 0, err)
        return out

    def test_missing_outdated_and_current_files(self):
        self.serve({'Update/a.txt': 'server a',
                    # Asked for as "Update/sub/b.dll": a server knows no backslash.
                    'Update/sub/b.dll': b'server b\x00\x1a\r\n',
                    'Update/lib/c.txt': 'server c',
                    'Update/old.dat': 'server old',
                    'Update/new.dat': 'server new'})
        kestrin_e2e.write_files(self.product, {'old.dat': 'local old', 'new.dat': 'local new'})
        # Created today: before local midnight of tomorrow, not before that of today.
        tomorrow = creation_date(os.path.join(self.product, 'old.dat')) + datetime.timedelta(1)
        today = creation_date(os.path.join(self.product, 'new.dat'))
        entries = [('a.txt', OLD_DATE), ('sub\\b.dll', OLD_DATE), ('lib/c.txt', OLD_DATE),
                   ('old.dat', tomorrow.isoformat()), ('new.dat', today.isoformat())]
        self.serve_list(entries)

        self.assertEqual(self.update(),
                         RUN_START + fetched('a.txt') + fetched('sub\\b.dll') + ['progress: 25'] +
                         fetched('lib/c.txt') + ['progress: 50'] +
                         fetched('old.dat') + ['progress: 75'] +
                         unchanged('new.dat') + ['progress: 100'] + RUN_END)
        self.assertEqual(read_files(self.install), {
            'Pelmora/a.txt': b'server a',
            'Pelmora/sub/b.dll': b'server b\x00\x1a\r\n',
            'Pelmora/lib/c.txt': b'server c',
            'Pelmora/old.dat': b'server old',
            'Pelmora/new.dat': b'local new',
        })
        # The lists over the run's connection, each file once over it or the further one.
        self.assertEqual(self.server.connections(), [1, 2])
        self.assertSent([(1, 'Update/Version.txt'), (1, 'Update/File_list.txt')],
                        ['Update/a.txt', 'Update/sub/b.dll', 'Update/lib/c.txt',
                         'Update/old.dat'])

        # Right after, each entry dated the day its local copy was made (a later date would
        # still ask for old.dat): whatever was fetched counts as current now.
        self.serve_list([(name, creation_date(local_path(self.product, name)).isoformat())
                         for name, _ in entries])
        self.assertEqual(self.update(),
                         RUN_START + unchanged('a.txt') + unchanged('sub\\b.dll') +
                         ['progress: 25'] + unchanged('lib/c.txt') + ['progress: 50'] +
                         unchanged('old.dat') + ['progress: 75'] + unchanged('new.dat') +
                         ['progress: 100'] + RUN_END)
        # Nothing to fetch: no further connection.
        self.assertEqual(self.server.connections(), [1, 2, 3])
        self.assertEqual([path for conn, path in self.server.sent() if conn == 3],
                         ['Update/Version.txt', 'Update/File_list.txt'])

    def test_failed_and_refused_entries_do_not_stop_the_run(self):
        # Were the climbing names fetched, the server would hand over a file for each, and
        # it would land in the install directory, outside the product directory.
        self.serve({'Update/a.txt': 'a', 'Update/b.txt': 'b', 'Update/c.txt': 'c',
                    'Update/..\\outside.txt': 'outside', 'outside.txt': 'outside'})
        entries = [('a.txt', OLD_DATE), ('missing.txt', OLD_DATE), ('b.txt', OLD_DATE),
                   ('..\\outside.txt', OLD_DATE), ('sub/../../outside.txt', OLD_DATE),
                   ('c.txt', OLD_DATE)]
        self.serve_list(entries)

        self.assertEqual(self.update(),
                         RUN_START + fetched('a.txt') + failed('missing.txt') + ['progress: 20'] +
                         fetched('b.txt') + ['progress: 40'] +
                         failed('..\\outside.txt') + ['progress: 60'] +
                         failed('sub/../../outside.txt') + ['progress: 80'] +
                         fetched('c.txt') + ['progress: 100'] + RUN_END)
        # The product directory was made, and holds the fetched files only.
        self.assertEqual(read_files(self.install),
                         {'Pelmora/a.txt': b'a', 'Pelmora/b.txt': b'b', 'Pelmora/c.txt': b'c'})
        self.assertEqual(sorted(os.listdir(self.install)), ['Pelmora'])
        outside = [os.path.join(d, n) for d, _, files in os.walk(self.box.root)
                   for n in files if 'outside' in n and not d.startswith(self.served)]
        self.assertEqual(outside, [])

        # The run's connection and one further one throughout: the missing file was asked
        # for, and the next ones still came. The refused names never reached the server.
        self.assertEqual(self.server.connections(), [1, 2])
        commands = self.server.commands()
        self.assertTrue(any('Update/missing.txt' in line for _, line in commands), commands)
        self.assertEqual([line for _, line in commands if 'outside' in line], [])
        self.assertSent([(1, 'Update/Version.txt'), (1, 'Update/File_list.txt')],
                        ['Update/a.txt', 'Update/b.txt', 'Update/c.txt'])

    def assertSent(self, lists, files):
        """The server sent lists first (connection, path), then each of files once, over
        whichever connection."""
        sent = self.server.sent()
        self.assertEqual(sent[:len(lists)], lists, sent)
        self.assertEqual(sorted(path for _, path in sent[len(lists):]), sorted(files), sent)

    def test_a_slow_link_costs_what_it_holds(self):
        """The test server acting out a link (a round trip, a bandwidth): a run takes at least
        a round trip for each exchange the log shows, and the data's time at the bandwidth."""
        files = {'Update/a.bin': os.urandom(20000), 'Update/b.bin': os.urandom(20000)}
        self.serve(files)
        self.serve_list([('a.bin', OLD_DATE), ('b.bin', OLD_DATE)])
        data = sum(len(content) for content in files.values())

        def exchanges(server):
            """A round trip for each reply awaited (QUIT's may not be), one more for each data
            connection the server opens (before its PORT reply), two for the greeting."""
            commands = [arg.split(' ')[0] for _, arg in server.commands()]
            return (len(commands) - commands.count('QUIT') +
                    commands.count('PORT') + commands.count('EPRT') + 2)

        # (the server's options, the least a run takes given its log)
        cases = [(['--rtt-ms', '40'], lambda server: 0.040 * exchanges(server)),
                 (['--bandwidth', '50000'], lambda server: data / 50000)]
        for options, least in cases:
            with self.subTest(options):
                shutil.rmtree(self.product, ignore_errors=True)
                work = os.path.join(self.box.root, 'link' + options[0])
                os.makedirs(work)
                server = LocalFtpServer(work, *kestrin_e2e.account(), root=self.served,
                                        options=options).start()
                self.addCleanup(server.stop)
                started = time.monotonic()
                # One connection: the bounds add up its exchanges and transfers.
                status, out, err = self.box.run([], stdin='\n', port=server.port,
                                                extra_env={'KESTRIN_TRANSFER_CONNECTIONS': '1'})
                took = time.monotonic() - started
                self.assertEqual(status, 0, err)
                self.assertEqual([line for line in out if line.startswith('status: Updated')],
                                 ['status: Updated...a.bin', 'status: Updated...b.bin'])
                self.assertGreaterEqual(took, least(server), server.commands())

    def test_several_connections_at_once(self):
        """Four connections at once: the files received ahead of their turn land in it, and the
        run's lines are those of the same run over one connection, whatever the server limits,
        breaks or lacks. The server sees further connections logged in beside the first."""
        names = ['a.txt', 'sub/b.bin', 'c.bin', 'lib\\d.dll', 'e.txt', 'sub/deep/f.bin', 'g.bin',
                 'h.txt', 'lib\\i.dll', 'j.bin', 'k.txt', 'l.bin']
        # From a few bytes to 160 KB, so that transfers overlap.
        served = {name: os.urandom(7 + 40000 * (i % 5)) for i, name in enumerate(names)}
        self.serve({'Update/' + name.replace('\\', '/'): data for name, data in served.items()})
        cut = 'Update/lib/d.dll.fault'
        cases = [
            # what, the server's options, the names listed, sidecar files, the sessions logged in
            # at once at the most over four connections (least, most), an event the server logs
            ('an ordinary list', [], names[:6] + ['kept.txt'] + names[6:], {}, (2, 4), None),
            ('two connections at most', ['--max-connections', '2'], names, {}, (2, 2), 'busy'),
            ('one login at a time', ['--max-logins', '1'], names, {}, (1, 1), 'too-many'),
            ('a transfer cut off', [], names, {cut: 'drop-after-50000 once'}, (2, 4), 'cut'),
            ('a name listed twice', [], names[:4] + ['a.txt'] + names[4:] + ['lib\\d.dll'], {},
             (2, 4), None),
            ('a file the server lacks', [], names[:3] + ['gone.txt'] + names[3:], {}, (2, 4),
             None),
        ]
        trace = os.path.join(self.box.root, 'trace')
        strace = shutil.which('strace')
        if strace and subprocess.run([strace, '-o', os.devnull, 'true']).returncode != 0:
            strace = None

        def run(options, connections, traced):
            """A run with the connections given against a server of its own; returns its
            lines, the server, and (traced) the names landed, in the order they landed."""
            shutil.rmtree(self.product, ignore_errors=True)
            kestrin_e2e.write_files(self.product, {'kept.txt': 'current copy'})
            work = tempfile.mkdtemp(dir=self.box.root)
            server = LocalFtpServer(work, *kestrin_e2e.account(), root=self.served,
                                    options=['--named-faults'] + options)
            self.addCleanup(server.stop)
            env, wrapper = {'KESTRIN_TRANSFER_CONNECTIONS': str(connections)}, []
            if traced:
                # LeakSanitizer cannot work under a tracer.
                env['ASAN_OPTIONS'] = os.environ.get('ASAN_OPTIONS', '') + ':detect_leaks=0'
                wrapper = [strace, '-f', '-y', '-o', trace, '-e',
                           'trace=rename,renameat,renameat2']
            status, out, err = self.box.run([], stdin='\n', port=server.start().port,
                                            extra_env=env, wrapper=wrapper)
            server.stop()
            self.assertEqual(status, 0, err)
            landed = []
            if traced:
                with open(trace) as f:
                    for line in f:
                        m = re.search(r'renameat2?\(\d+<([^>]*)>, "[^"]*", \d+<([^>]*)>, '
                                      r'"([^"]*)".*= 0$', line)
                        if m and m.group(2).startswith(self.product):
                            landed.append(os.path.relpath(os.path.join(m.group(2), m.group(3)),
                                                          self.product))
            return out, server, landed

        for what, options, listed, sidecars, (least, most), event in cases:
            with self.subTest(what):
                self.serve(sidecars)
                self.serve_list([(name, OLD_DATE) for name in listed])
                one, server, _ = run(options, 1, False)
                self.assertEqual(server.most_logged_in(), 1)
                out, server, landed = run(options, 4, strace is not None)
                for path in sidecars:
                    os.remove(os.path.join(self.served, path))
                self.assertEqual(out, one)
                self.assertEqual([line for line in out if line.startswith('status: Failed')],
                                 ['status: Failed...gone.txt'] if 'gone.txt' in listed else [])
                expected = {os.path.relpath(local_path(self.product, name), self.product):
                            served[name] for name in listed if name in served}
                expected['kept.txt'] = b'current copy'
                self.assertEqual(read_files(self.product), expected)
                self.assertTrue(least <= server.most_logged_in() <= most,
                                [e for e in server.events() if e[1] not in ('cmd', 'sent')])
                if event:
                    self.assertIn(event, [e for _, e, _ in server.events()])
                if strace:
                    self.assertEqual(landed, [
                        os.path.relpath(local_path(self.product, line[len('status: Updated...'):]),
                                        self.product)
                        for line in out if line.startswith('status: Updated...')])

    def test_wrong_password(self):
        # The server's account has another password than kestrin's: the login is refused,
        # kestrin says it could not connect and says QUIT before it goes.
        self.server.stop()
        self.server = self.start_server(password='Wrong0ne')
        self.assertEqual(self.update(), ['dialog: Updating System', 'status: Connecting to Server',
                                         'caption: kestrin', NO_CONNECTION, 'status: '])
        self.assertEqual([line.split()[0] for _, line in self.server.commands()],
                         ['USER', 'PASS', 'QUIT'])
        self.assertEqual(self.server.connections(), [1])


class SynchronisationOnVsftpd(Synchronisation):
    """The same cases against a production server."""

    server_class = VsftpdServer
    # The link is the test server's own.
    test_a_slow_link_costs_what_it_holds = None
    # The limits and the count of sessions at once are the test server's.
    test_several_connections_at_once = None


class SampleUpdate(ServerTestCase):
    """The demo's server tree (scripts/sample_update) syncs cleanly, and only once."""

    def test_demo_tree(self):
        sample = os.path.join(kestrin_e2e.SOURCE, 'scripts', 'sample_update')
        shutil.copytree(sample, self.served, dirs_exist_ok=True)
        # The install directory exists, as the demo makes it; only Pelmora/ is made below it.
        install = os.path.join(self.box.root, 'install')
        os.makedirs(install)
        self.box.set_setting('FILES', 'Directory', install)
        # Installed as the sample's release, so that no announcement waits for a line.
        with open(os.path.join(sample, 'Update', 'Version.txt'), encoding='latin-1') as f:
            lines = f.read().splitlines() + ['', '', '']
        self.box.set_setting('Update', 'VersionA', lines[1])
        self.box.set_setting('Update', 'VersionB', lines[2])
        with open(os.path.join(sample, 'Update', 'File_list.txt'), encoding='latin-1') as f:
            names = [line.strip() for line in f.read().splitlines()[0::2]]
        self.assertTrue(names)

        for verb in ('Updated...', 'Unchanged...'):
            with self.subTest(verb):
                status, out, err = self.kestrin([], stdin='\n')
                self.assertEqual(status, 0, err)
                outcomes = ('status: Updated...', 'status: Unchanged...', 'status: Failed...')
                self.assertEqual([line for line in out if line.startswith(outcomes)],
                                 ['status: ' + verb + name for name in names])
                end = RUN_END if len(names) > 1 else [RUN_END[0], RUN_END[2]]
                self.assertEqual(out[-len(end):], end)
        product = os.path.join(install, 'Pelmora')
        expected = {}
        for name in names:
            with open(os.path.join(sample, 'Update', name), 'rb') as f:
                expected[os.path.relpath(local_path(product, name), product)] = f.read()
        self.assertEqual(read_files(product), expected)


if __name__ == '__main__':
    kestrin_e2e.main()
