"""kestrin-publish as a publisher runs it: keygen, release into a fresh and into an existing
server root, the refusals, and verify against each kind of damage to a published tree."""
import argparse
import calendar
import datetime
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'support'))
import harness  # noqa: E402
from local_ftp import read_files, write_files  # noqa: E402

PUBLISH = SOURCE = CMAKE = None
RELEASE = {'readme.txt': 'hello\r\n', 'Tamwix.ini': '[Tamwix]\r\n',
           'data/levels.dat': bytes(range(256)) * 40}
OLD = '2020-01-01'


def run(*args, cwd=None):
    return subprocess.run([str(a) for a in args], stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True, timeout=120, cwd=cwd)


def sha256(data):
    return subprocess.run(['openssl', 'dgst', '-sha256', '-r'], input=data,
                          stdout=subprocess.PIPE, check=True).stdout.split()[0].decode()


class Publish(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix='kestrin-publish-')
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.server = os.path.join(self.dir, 'server')
        self.update = os.path.join(self.server, 'Update')
        self.keys = os.path.join(self.dir, 'keys')
        self.private_key = os.path.join(self.keys, 'private-key.pem')
        proc = run(PUBLISH, 'keygen', self.keys)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.public_key = proc.stdout.strip()

    def release(self, version, files=RELEASE, *extra):
        source = os.path.join(self.dir, 'release-' + version)
        shutil.rmtree(source, True)
        os.makedirs(source)
        write_files(source, files)
        return run(PUBLISH, 'release', '--from', source, '--to', self.server, '--product',
                   'Tamwix', '--version', version, '--key', self.private_key, *extra)

    def published(self, version, files=RELEASE, *extra):
        proc = self.release(version, files, *extra)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc

    def verify(self, *extra):
        """verify with this test's key, unless extra names another."""
        return run(PUBLISH, 'verify', '--root', self.server, '--public-key',
                   os.path.join(self.keys, 'public-key.txt'), *extra)

    def listed(self):
        lines = read_files(self.update)['File_list.txt'].decode().split('\r\n')
        return dict(zip(lines[0::2], lines[1::2]))

    def serial(self):
        return int(re.search(r'^serial (\d+)$', self.read('Manifest.txt'), re.M).group(1))

    def read(self, name):
        with open(os.path.join(self.update, name), 'rb') as f:
            return f.read().decode('latin-1')

    def write(self, name, content):
        write_files(self.update, {name: content})

    def resign(self, edit=lambda text: text):
        """Rewrites the manifest with other tools, as the README tells a publisher: the records of
        File_list.txt and Dropped.txt follow the files, edit changes the rest, openssl signs."""
        text = self.read('Manifest.txt')
        for name in ('File_list.txt', 'Dropped.txt'):
            served = read_files(self.update)[name]
            text = re.sub(r'^file \d+ \w+ %s$' % name,
                          'file %d %s %s' % (len(served), sha256(served), name), text, flags=re.M)
        self.write('Manifest.txt', edit(text))
        subprocess.run(['openssl', 'dgst', '-sha256', '-sign', self.private_key, '-out',
                        os.path.join(self.update, 'Manifest.sig'),
                        os.path.join(self.update, 'Manifest.txt')], check=True)

    def test_keygen_makes_a_private_key_once_and_prints_the_build_form(self):
        self.assertRegex(self.public_key, r'^04[0-9a-f]{128}$')
        self.assertEqual(os.stat(self.private_key).st_mode & 0o777, 0o600)
        with open(os.path.join(self.keys, 'public-key.txt')) as f:
            self.assertEqual(f.read().strip(), self.public_key)
        with open(self.private_key, 'rb') as f:
            before = f.read()
        proc = run(PUBLISH, 'keygen', self.keys)
        self.assertEqual(proc.returncode, 2)
        self.assertIn('never overwritten', proc.stderr)
        with open(self.private_key, 'rb') as f:
            self.assertEqual(f.read(), before)
        # A directory that others can write is refused before anything lands in it.
        shared = os.path.join(self.dir, 'shared')
        os.makedirs(shared)
        os.chmod(shared, 0o777)
        proc = run(PUBLISH, 'keygen', shared)
        self.assertEqual((proc.returncode, os.listdir(shared)), (2, []), proc.stderr)
        self.assertIn('other users', proc.stderr)
        # The key's text is taken too: no tree here, but no refusal of the key.
        self.assertEqual(self.verify('--public-key', self.public_key).returncode, 1)
        # public-key.pem checks a publication with openssl alone.
        self.published('2B')
        for path in (os.path.join(self.update, 'Manifest.txt'),
                     os.path.join(self.update, 'Manifest.sig'),
                     os.path.join(self.keys, 'public-key.pem')):
            shutil.copy(path, self.dir)
        proc = run('openssl', 'dgst', '-sha256', '-verify', 'public-key.pem', '-signature',
                   'Manifest.sig', 'Manifest.txt', cwd=self.dir)
        self.assertEqual((proc.returncode, proc.stdout), (0, 'Verified OK\n'), proc.stderr)
        pem = os.path.join(self.keys, 'public-key.pem')
        self.assertEqual(self.verify('--public-key', pem).returncode, 0)
        k = self.public_key
        # One key, or up to four separated by commas for a move to a new key, each a point of
        # the curve: one mistyped digit of Y leaves the curve whatever the key.
        mistyped = k[:-1] + ('0' if k[-1] != '0' else '1')
        for key, status in ((k, 0), (k[:-1], 1), ('02' + k[2:], 1), (','.join([k] * 4), 0),
                            (','.join([k] * 5), 1), (k + ',', 1), (k + ',' + k[:-1], 1),
                            ('04' + '0' * 128, 1), (k + ',' + mistyped, 1), (mistyped, 1)):
            check = run(CMAKE, '-DKESTRIN_UPDATE_PUBLIC_KEY=' + key, '-P',
                        os.path.join(SOURCE, 'cmake', 'public_key.cmake'))
            self.assertEqual(check.returncode != 0, status != 0, key)
            if key.endswith(mistyped):  # the refusal names the key that is wrong
                self.assertIn('"%s"' % mistyped, check.stderr)
        # Without openssl the point is not checked, and configuring says so.
        check = run(CMAKE, '-DKESTRIN_OPENSSL=/nonexistent', '-DKESTRIN_UPDATE_PUBLIC_KEY=' +
                    mistyped, '-P', os.path.join(SOURCE, 'cmake', 'public_key.cmake'))
        self.assertEqual(check.returncode, 0, check.stderr)
        self.assertIn('no working openssl command', check.stderr)

    def test_release_keeps_the_dates_of_unchanged_files(self):
        self.published('2A', RELEASE, '--date', OLD)
        self.assertEqual(self.verify().returncode, 0)
        self.assertEqual(self.read('Version.txt').split('\r\n')[1:3], ['2', 'A'])
        self.assertEqual(self.listed(), {name: OLD for name in RELEASE})
        served = read_files(self.update)
        for name, content in RELEASE.items():
            self.assertEqual(served[name], content.encode() if isinstance(content, str)
                             else content)
        first_serial = self.serial()

        days = {datetime.date.today().isoformat()}
        self.published('2B', dict(RELEASE, **{'readme.txt': 'changed\r\n', 'new/x.bin': 'x'}))
        days.add(datetime.date.today().isoformat())
        listed = self.listed()
        readme = listed.pop('readme.txt')
        self.assertIn(readme, days)
        listed_x = listed.pop('new/x.bin')
        self.assertIn(listed_x, days)
        self.assertEqual(listed, {'Tamwix.ini': OLD, 'data/levels.dat': OLD})
        self.assertGreater(self.serial(), first_serial)
        self.assertEqual(self.verify().returncode, 0)

        # Changed files listed no later than before: refused, naming the earliest date that
        # works, after both readme.txt's date (today) and Tamwix.ini's (OLD).
        third = dict(RELEASE, **{'Tamwix.ini': 'other', 'readme.txt': 'again\r\n',
                                 'new/x.bin': 'x'})
        before = read_files(self.server)
        proc = self.release('2C', third, '--date', OLD)
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertRegex(proc.stderr, r'Tamwix.ini \(listed %s\)' % OLD)
        self.assertNotIn('levels.dat', proc.stderr)
        earliest = re.search(r'--date (\S+) or later', proc.stderr).group(1)
        self.assertEqual(earliest, (datetime.date.fromisoformat(readme) +
                                    datetime.timedelta(days=1)).isoformat())
        self.assertEqual(read_files(self.server), before)
        # The version is not spent: the same release with that date goes through.
        shutil.rmtree(os.path.join(self.dir, 'release-2C'))
        self.published('2C', third, '--date', earliest)
        self.assertEqual(self.listed(), {'Tamwix.ini': earliest, 'readme.txt': earliest,
                                         'new/x.bin': listed_x, 'data/levels.dat': OLD})

    def test_a_tree_made_by_hand_keeps_the_dates_of_what_it_served(self):
        write_files(self.update, dict(RELEASE, **{
            'Version.txt': 'Tamwix\r\n1\r\nA\r\n', 'readme.txt': 'old\r\n',
            'File_list.txt': ''.join('%s\r\n%s\r\n' % (n, OLD) for n in RELEASE)}))
        self.assertEqual(self.release('1A').returncode, 2)
        self.published('1B')
        listed = self.listed()
        self.assertNotEqual(listed.pop('readme.txt'), OLD)
        self.assertEqual(listed, {'Tamwix.ini': OLD, 'data/levels.dat': OLD})

    def test_refusals_change_nothing(self):
        self.published('2B')
        before = read_files(self.server)
        p384 = os.path.join(self.dir, 'p384.pem')
        subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt',
                        'ec_paramgen_curve:P-384', '-out', p384], check=True)
        other = os.path.join(self.dir, 'other')
        run(PUBLISH, 'keygen', other)
        writable = os.path.join(self.dir, 'writable.pem')
        shutil.copy(self.private_key, writable)
        os.chmod(writable, 0o620)
        # A key in a directory of its own below one that anyone may write (no sticky bit), and
        # keys that another user owns (the file, or its directory).
        open_above = self.key_copy('open', 'keys', 'private-key.pem')
        os.chmod(os.path.join(self.dir, 'open'), 0o777)
        foreign_file = self.key_copy('foreign-file', 'private-key.pem')
        foreign_dir = self.key_copy('foreign-dir', 'private-key.pem')
        if os.geteuid() == 0:
            os.chown(foreign_file, 65534, 65534)
            os.chown(os.path.dirname(foreign_dir), 65534, 65534)
        cases = [
            ('3A', RELEASE, ('--key', p384), 'no P-256 private key'),
            ('3A', RELEASE, ('--key', os.path.join(other, 'private-key.pem')),
             'this key did not sign'),
            ('3A', RELEASE, ('--key', writable), 'written by other users'),
            ('3A', dict(RELEASE, **{'readme.txt': 'changed'}), (), 'not later than'),
            ('3A', {'caf\u00e9.txt': 'x'}, (), 'ANSI code page'),
            ('2B', RELEASE, (), 'not newer than 2B'),
            ('2A', RELEASE, (), 'not newer'),
            ('1Z', RELEASE, (), 'not newer'),
            ('3A', {'CON.txt': 'x'}, (), 'Kestrin refuses'),
            ('3A', {'data/notes. ': 'x'}, (), 'Kestrin refuses'),
            ('3A', {'a?b': 'x'}, (), 'Kestrin refuses'),
            ('3A', {'x' * 250: 'x'}, (), 'Kestrin refuses'),
            ('3A', {'a\\b': 'x'}, (), 'backslash'),
            ('3A', {'version.TXT': 'x'}, (), 'writes itself'),
            ('3A', {'dropped.txt': 'x'}, (), 'writes itself'),
            ('3A', RELEASE, ('--forget-dropped', 'readme.txt'), 'no dropped name'),
            ('3A', RELEASE, ('--forget-dropped',), '--forget-dropped needs a value'),
            ('3A', {'A.dll': 'x', 'a.DLL': 'y'}, (), 'only in case'),
            ('3A', {}, (), 'has no files'),
            ('B3', RELEASE, (), '--version'),
            ('2 H', RELEASE, (), '--version'),
            ('3', RELEASE, (), '--version'),
            ('3AB', RELEASE, (), '--version'),
            ('2147483648A', RELEASE, (), '--version'),
            ('3A', RELEASE, ('--date', '2024-02-30'), 'no day 30'),
            ('3A', RELEASE, ('--date', '2026-13-01'), 'no month 13'),
            ('3A', RELEASE, ('--date', '2026-14-01'), 'no month 14'),
            ('3A', RELEASE, ('--date', '2026-13-31'), 'no month 13'),
            ('3A', RELEASE, ('--date', '2026-01-32'), 'no day 32'),
            ('3A', RELEASE, ('--date', '9999-12-31'), 'the end of 3000'),
            ('3A', RELEASE, ('--date', '10000-01-01'), 'four digits'),
            ('3A', RELEASE, ('--date', '1969-12-31'), 'from 1970'),
            ('3A', RELEASE, ('--expires-days', '0'), '--expires-days'),
            ('3A', RELEASE, ('--product', 'Acmee'), 'not the product'),
            ('3A', RELEASE, ('--product', 'tamwix'), 'case included'),
            ('3b', RELEASE, (), 'every lower-case letter'),
            ('3A', dict(RELEASE, Data='x'), (), 'a directory of another file'),
            ('3A', {'DLL': 'x', 'dll/sub/a.dll': 'y'}, (), 'a directory of another file'),
            ('3A', RELEASE, ('--key', open_above), 'can be changed by other users'),
        ]
        if os.geteuid() == 0:
            cases += [('3A', RELEASE, ('--key', foreign_file), 'belongs to another user'),
                      ('3A', RELEASE, ('--key', foreign_dir), 'belongs to another user')]
        pristine = os.path.join(self.dir, 'pristine')
        shutil.copytree(self.server, pristine)
        for version, files, extra, message in cases:
            with self.subTest(files=list(files), version=version, extra=extra):
                # Each case starts from the same tree, whatever the one before did.
                shutil.rmtree(self.server)
                shutil.copytree(pristine, self.server)
                proc = self.release(version, files, *extra)
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn(message, proc.stderr)
                # A product typo is no matter of dates.
                self.assertNotIn('--date' if '--product' in extra else '\0', proc.stderr)
                self.assertEqual(read_files(self.server), before)

    def key_copy(self, *parts):
        path = os.path.join(self.dir, *parts)
        os.makedirs(os.path.dirname(path), mode=0o700)
        shutil.copy(self.private_key, path)
        return path

    def test_a_publication_that_cannot_be_verified_needs_a_new_key(self):
        self.published('2A', RELEASE, '--date', OLD)
        for lost in ('Manifest.sig', 'Manifest.txt'):
            with self.subTest(lost):
                os.rename(os.path.join(self.update, lost), os.path.join(self.dir, lost))
                before = read_files(self.server)
                proc = self.release('2B')
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertIn('cannot be verified (Update/%s is missing)' % lost, proc.stderr)
                self.assertEqual(read_files(self.server), before)
                os.rename(os.path.join(self.dir, lost), os.path.join(self.update, lost))
        os.remove(os.path.join(self.update, 'Manifest.sig'))
        self.published('2B', RELEASE, '--new-key')
        self.assertEqual(self.verify().returncode, 0)

    def test_a_name_listed_again_never_takes_a_date_it_had_with_other_content(self):
        self.published('2A', dict(RELEASE, **{'x.dll': 'first'}), '--date', OLD)
        self.published('2B', RELEASE, '--date', OLD)
        before = read_files(self.server)
        proc = self.release('2C', dict(RELEASE, **{'x.dll': 'second'}), '--date', OLD)
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertIn('x.dll (%s)' % OLD, proc.stderr)
        self.assertIn('--date 2020-01-02 or later', proc.stderr)
        self.assertEqual(read_files(self.server), before)
        # The same content again may keep its date: a client that has it has the right copy.
        self.published('2D', dict(RELEASE, **{'x.dll': 'first'}), '--date', OLD)

    def test_verify_names_each_kind_of_damage(self):
        self.published('2A', dict(RELEASE, **{'gone.txt': 'x'}))
        self.published('2B', RELEASE, '--prune')
        sound = os.path.join(self.dir, 'sound')
        shutil.copytree(self.server, sound)
        other_key = run(PUBLISH, 'keygen', os.path.join(self.dir, 'other')).stdout.strip()
        levels = RELEASE['data/levels.dat']
        cases = [
            ('resigned by other tools', lambda: self.resign(), (), None),
            ('file altered', lambda: self.write('readme.txt', 'jello\r\n'), (), 'SHA-256'),
            ('file cut short', lambda: self.write('data/levels.dat', levels[:-1]), (),
             'data/levels.dat has 10239 bytes'),
            ('file missing', lambda: os.remove(os.path.join(self.update, 'Tamwix.ini')), (),
             'Tamwix.ini is missing'),
            ('list altered', lambda: self.write('File_list.txt', 'readme.txt\r\n2099-01-01\r\n'),
             (), 'File_list.txt'),
            ('version altered', lambda: self.write('Version.txt', 'Tamwix\r\n9\r\nZ\r\n'), (),
             'Version.txt'),
            ('no signature', lambda: os.remove(os.path.join(self.update, 'Manifest.sig')), (),
             'Manifest.sig is missing'),
            ('empty signature', lambda: self.write('Manifest.sig', ''), (), 'empty'),
            ('other key', lambda: None, ('--public-key', other_key), "not this key's signature"),
            ('other product', lambda: None, ('--product', 'Tamwi'), 'for "Tamwix", not "Tamwi"'),
            ('expired', lambda: self.resign(lambda t: re.sub(
                r'^expires .*$', 'expires 2001-01-01T00:00:00Z', t, flags=re.M)), (),
             'expired'),
            ('listed name without a record', lambda: (
                self.write('File_list.txt', self.read('File_list.txt') + 'extra.dll\r\n' + OLD),
                self.write('extra.dll', 'x'), self.resign()), (),
             'Update/extra.dll has no record'),
            ('stray file', lambda: self.write('old.dll', 'x'), ('--strict',),
             'Update/old.dll is served but not listed'),
            ('stray left by a killed run', lambda: self.write('data/.kestrin-publish-x1', 'x'),
             ('--strict',), 'Update/data/.kestrin-publish-x1 is served'),
            ('unsafe listed name', lambda: (
                self.write('File_list.txt', self.read('File_list.txt') + '..\\evil.dll\r\n'),
                self.resign()), (), 'a name that Kestrin refuses'),
            ('dropped record altered', lambda: self.write('Dropped.txt', self.read(
                'Dropped.txt').replace(' gone.txt', ' Gone.txt')), (), 'Update/Dropped.txt'),
            ('a listed name recorded as dropped', lambda: (self.write('Dropped.txt', self.read(
                'Dropped.txt').replace(' gone.txt', ' README.TXT')), self.resign()), (),
             '"README.TXT", which File_list.txt lists'),
            ('dropped records of another form', lambda: (self.write('Dropped.txt', self.read(
                'Dropped.txt').replace('dropped ', 'file ')), self.resign()), (),
             'Update/Dropped.txt does not read'),
        ]
        for what, damage, extra, message in cases:
            with self.subTest(what):
                shutil.rmtree(self.server)
                shutil.copytree(sound, self.server)
                damage()
                proc = self.verify(*extra)
                if message is None:
                    self.assertEqual(proc.returncode, 0, proc.stdout)
                else:
                    self.assertEqual(proc.returncode, 1, proc.stdout)
                    self.assertIn(message, proc.stdout)

    def test_a_new_key_on_purpose_keeps_the_dates(self):
        self.published('2A', RELEASE, '--date', OLD)
        other = os.path.join(self.dir, 'other')
        run(PUBLISH, 'keygen', other)
        self.private_key = os.path.join(other, 'private-key.pem')
        proc = self.published('2B', dict(RELEASE, **{'readme.txt': 'changed'}), '--new-key')
        self.assertIn('signed with another key', proc.stderr)
        listed = self.listed()
        self.assertNotEqual(listed.pop('readme.txt'), OLD)
        self.assertEqual(listed, {'Tamwix.ini': OLD, 'data/levels.dat': OLD})
        self.assertEqual(self.verify('--public-key', os.path.join(other, 'public-key.txt'))
                         .returncode, 0)
        self.assertNotEqual(self.verify().returncode, 0)

    def test_stray_files_are_named_and_pruned_and_8bit_names_allowed_on_request(self):
        self.published('2A', dict(RELEASE, **{'data/old/gone.bin': 'x', 'gone.txt': 'y'}))
        proc = self.published('2B', dict(RELEASE, **{'caf\u00e9.txt': 'z'}),
                              '--allow-8bit-names')
        for name in ('gone.txt', 'data/old/gone.bin'):
            self.assertIn('Update/%s is served but not listed' % name, proc.stderr)
        # Strays are warned about; they fail the tree only when asked.
        proc = self.verify()
        self.assertEqual(proc.returncode, 0, proc.stdout)
        self.assertIn('warning: Update/gone.txt is served', proc.stderr)
        self.assertEqual(self.verify('--strict').returncode, 1)
        proc = run(PUBLISH, 'refresh', '--to', self.server, '--key', self.private_key)
        self.assertIn('warning: Update/data/old/gone.bin is served', proc.stderr)
        proc = run(PUBLISH, 'prune', '--to', self.server)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertIn('removed   Update/gone.txt', proc.stdout)
        self.assertEqual(self.verify('--strict').returncode, 0)
        self.write('old/gone.bin', 'x')
        self.published('2C', dict(RELEASE, **{'caf\u00e9.txt': 'z'}), '--allow-8bit-names',
                       '--prune')
        self.assertEqual(self.verify().returncode, 0)
        self.assertEqual(sorted(read_files(self.update)), sorted(
            list(RELEASE) + ['caf\u00e9.txt', 'Version.txt', 'File_list.txt', 'Dropped.txt',
                             'Manifest.txt', 'Manifest.sig']))
        for gone in (('data', 'old'), ('old',)):
            self.assertFalse(os.path.exists(os.path.join(self.update, *gone)))

    def test_dropped_names_are_recorded_until_listed_again_or_forgotten(self):
        def dropped():
            return sorted(line.split(' ', 3)[1::2] for line in
                          self.read('Dropped.txt').splitlines()[1:])

        first = dict(RELEASE, **{'old.dll': 'v1', 'plugins/p.dll': 'p1'})
        self.assertEqual(self.published('2A', first, '--date', OLD).stdout.count('dropped'), 0)
        self.assertEqual(dropped(), [])
        # (version, files, options, what it prints as dropped or forgotten, the records after)
        rows = [
            ('2B', dict(RELEASE, **{'old.dll': 'v2'}), (), ['dropped   plugins/p.dll'],
             [['2', 'plugins/p.dll']]),
            ('2C', RELEASE, (), ['dropped   old.dll'], [['2', 'old.dll'], ['2', 'plugins/p.dll']]),
            ('2D', dict(RELEASE, **{'Plugins/P.dll': 'p2'}), ('--forget-dropped', 'old.dll'),
             ['forgotten old.dll'], []),
            ('2E', RELEASE, ('--forget-dropped', 'Plugins/P.dll'), ['dropped   Plugins/P.dll',
                                                                     'forgotten Plugins/P.dll'], []),
        ]
        for version, files, extra, printed, records in rows:
            with self.subTest(version):
                proc = self.published(version, files, '--prune', *extra)
                self.assertEqual([line for line in proc.stdout.splitlines()
                                  if line.startswith(('dropped', 'forgotten'))], printed)
                self.assertEqual(dropped(), records)
                self.assertEqual(self.verify().returncode, 0)
        # The record is the content clients were given under the name before it went.
        self.published('2F', dict(RELEASE, **{'x.dll': 'x1'}))
        self.published('2G')
        self.assertIn('2 %s x.dll' % sha256(b'x1'), self.read('Dropped.txt'))

    def test_refresh_signs_the_same_publication_again(self):
        self.assertEqual(run(PUBLISH, 'refresh', '--to', self.server, '--key',
                             self.private_key).returncode, 2)
        self.published('2B', RELEASE, '--expires-days', '10')
        proc = self.verify()
        self.assertEqual(proc.returncode, 0, proc.stdout)
        self.assertIn('expires in less than 14 days', proc.stderr)
        served, serial = read_files(self.update), self.serial()
        other = os.path.join(self.dir, 'other')
        run(PUBLISH, 'keygen', other)
        self.resign(lambda t: re.sub(r'^expires .*$', 'expires 2001-01-01T00:00:00Z', t,
                                     flags=re.M))
        self.assertEqual(self.verify().returncode, 1)
        before = read_files(self.update)
        proc = run(PUBLISH, 'refresh', '--to', self.server, '--key',
                   os.path.join(other, 'private-key.pem'))
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertEqual(read_files(self.update), before)
        proc = run(PUBLISH, 'refresh', '--to', self.server, '--key', self.private_key,
                   '--expires-days', '30')
        self.assertEqual(proc.returncode, 0, proc.stderr)
        proc = self.verify()
        self.assertEqual((proc.returncode, proc.stderr), (0, ''), proc.stdout)
        self.assertGreater(self.serial(), serial)
        expires = re.search(r'^expires (\S+)$', self.read('Manifest.txt'), re.M).group(1)
        self.assertGreater(calendar.timegm(time.strptime(expires, '%Y-%m-%dT%H:%M:%SZ')),
                           time.time() + 29 * 86400)
        refreshed = read_files(self.update)
        for name in ('Manifest.txt', 'Manifest.sig'):
            self.assertNotEqual(refreshed.pop(name), served.pop(name))
        self.assertEqual(refreshed, served)

    def test_an_interrupted_publication_never_verifies_and_can_be_finished(self):
        self.published('2A', RELEASE, '--date', OLD)
        write_files(self.update, {'data/.kestrin-publish-Ab12Cd': 'left by a killed run'})
        # A directory where the new file must land stops the publication half-way.
        write_files(self.update, {'data/new.bin/in-the-way': 'x'})
        files = dict(RELEASE, **{'data/new.bin': 'new'})
        proc = self.release('2B', files)
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertNotEqual(self.verify().returncode, 0)

        shutil.rmtree(os.path.join(self.update, 'data', 'new.bin'))
        # As a run stopped later leaves it: the same release may be published again.
        self.write('Version.txt', 'Tamwix 2B\r\n2\r\nB\r\n')
        shutil.rmtree(os.path.join(self.dir, 'release-2B'))
        proc = self.published('2B', files)
        self.assertIn('no complete publication', proc.stderr)
        self.assertEqual(self.verify().returncode, 0)
        # What the half-done run left cannot be trusted: nothing keeps its old date.
        self.assertNotIn(OLD, self.listed().values())
        self.assertEqual([n for n in read_files(self.update) if '/.' in '/' + n], [])


class OwnOptions(unittest.TestCase):
    def test_help_and_version_as_kestrin_answers_them(self):
        usage = 'usage:\n  kestrin-publish --help | --version\n'
        # (arguments, exit status, standard output's start, standard error's start)
        for args, status, out, err in [
                (['--help'], 0, usage, ''),
                (['--version'], 0, 'kestrin-publish %s\n' % harness.version_record(SOURCE), ''),
                ([], 2, '', usage),
                (['--bogus'], 2, '', 'kestrin-publish: unknown command "--bogus"\nusage:'),
                (['prune'], 2, '', 'kestrin-publish: --to is missing')]:
            with self.subTest(args=args):
                proc = run(PUBLISH, *args)
                self.assertEqual((proc.returncode, proc.stdout[:len(out)], proc.stderr[:len(err)]),
                                 (status, out, err))
        # --help and the manual page name the same commands, options and exit statuses.
        help_text = run(PUBLISH, '--help').stdout
        with open(os.path.join(SOURCE, 'packaging', 'kestrin-publish.1'), encoding='utf-8') as f:
            page = f.read().replace('\\-', '-')
        commands = re.findall(r'^  kestrin-publish (\w+)', help_text, re.M)
        self.assertEqual(len(commands), 6)
        for word in commands + re.findall(r'--[a-z0-9-]+', help_text):
            self.assertIn(word, page)
        for word in re.findall(r'--[a-z0-9-]+', page):
            self.assertIn(word, help_text)
        for status in ('0', '1', '2'):
            self.assertRegex(help_text, r'\n  %s  ' % status)
            self.assertIn('.TP\n%s\n' % status, page)
        full = subprocess.run(['sh', '-c', '"$0" --help >/dev/full', PUBLISH],
                              stderr=subprocess.PIPE, text=True, timeout=60)
        self.assertEqual((full.returncode, full.stderr),
                         (1, 'kestrin-publish: the output could not be written\n'))


if __name__ == '__main__':
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument('--publish', required=True)
    parser.add_argument('--source', required=True)
    parser.add_argument('--cmake', required=True)
    args, argv = harness.split_args(parser)
    PUBLISH, SOURCE, CMAKE = args.publish, args.source, args.cmake
    harness.main(argv)
