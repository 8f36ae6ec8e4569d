#!/usr/bin/python3
"""The Debian package as a user gets it, the one that the README's commands made (cmake --preset
release, its build, cpack --preset deb; scripts/test.sh does that first): lintian finds no
error in it, and dpkg installs it into a scratch root whose package database holds this machine's
copies of the packages it depends on (so a dependency that the machine cannot meet fails the
install, as apt would). There the installed program tells its version, the desktop entry is
valid and names the windows' class, the manual pages render without a warning and the icon
has every size a desktop asks for.

    package_test.py --deb-dir DIR --source SOURCE [unittest arguments]

Without a package of this version in DIR the tests skip.
"""
import argparse
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                'support'))
import harness  # noqa: E402

# --deb-dir and --source.
ARGS = None


def run(argv, **kwargs):
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                          timeout=300, **kwargs)


class DebianPackage(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix='kestrin-package-')
        # Runs even when the set-up fails.
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.version = harness.version_record(ARGS.source)
        arch = run(['dpkg', '--print-architecture']).stdout.strip()
        # The version's package, with the revision a rebuild gives it if any.
        made = os.listdir(ARGS.deb_dir) if os.path.isdir(ARGS.deb_dir) else []
        debs = [n for n in made if re.fullmatch(
            r'kestrin_%s(-\d+)?_%s\.deb' % (re.escape(cls.version), arch), n)]
        if len(debs) != 1:
            raise unittest.SkipTest('%d packages kestrin_%s*_%s.deb in %s, not one: make it with '
                                    '"scripts/test.sh release"' % (len(debs), cls.version, arch,
                                                                  ARGS.deb_dir))
        cls.deb = os.path.join(ARGS.deb_dir, debs[0])
        cls.revision = re.fullmatch(r'kestrin_[^-_]+(-\d+)?_.*', debs[0]).group(1) or ''
        cls.root = os.path.join(cls.work, 'root')
        cls.install()

    @classmethod
    def install(cls):
        """Installs the package with dpkg into the scratch root, whose database holds the
        machine's entries of the packages that the package depends on."""
        admin = os.path.join(cls.root, 'var', 'lib', 'dpkg')
        os.makedirs(os.path.join(admin, 'info'))
        os.makedirs(os.path.join(admin, 'updates'))
        depends = {re.sub(r'\s*\(.*', '', d).strip() for d in cls.field('Depends').split(',')}
        with open('/var/lib/dpkg/status', encoding='utf-8') as f:
            entries = [(re.search(r'^Package: (\S+)', e, re.M),
                        re.search(r'^Architecture: (\S+)', e, re.M), e)
                       for e in f.read().split('\n\n')]
        entries = [(p.group(1), a.group(1), e) for p, a, e in entries
                   if p and a and p.group(1) in depends]
        with open(os.path.join(admin, 'status'), 'w', encoding='utf-8') as f:
            f.write('\n\n'.join(e for _, _, e in entries) + '\n')
        # Their lists of files, empty: the scratch root holds none of them.
        for package, arch, _ in entries:
            for list_name in (package, package + ':' + arch):
                open(os.path.join(admin, 'info', list_name + '.list'), 'w').close()
        done = run(['dpkg', '--root', cls.root, '-i', cls.deb])
        if done.returncode != 0:
            raise AssertionError('dpkg -i failed:\n' + done.stdout + done.stderr)

    @classmethod
    def field(cls, name):
        return run(['dpkg-deb', '-f', cls.deb, name]).stdout.strip()

    def test_control_fields(self):
        self.assertEqual((self.field('Package'), self.field('Version'), self.field('Section')),
                         ('kestrin', self.version + self.revision, 'utils'))
        self.assertRegex(self.field('Maintainer'), r'^\S.* <[^@ ]+@[^@ ]+>$')
        self.assertGreater(len(self.field('Description').splitlines()), 1, 'no long description')
        # Computed from the program's libraries, not written by hand.
        self.assertRegex(self.field('Depends'), r'libcurl\d+ \(>= [^)]+\).*libfltk')

    def test_lintian_finds_no_error(self):
        done = run(['lintian', '--fail-on', 'error', self.deb])
        print(done.stdout, end='')
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
        self.assertNotRegex(done.stdout, r'(?m)^E: ')

    def test_installed_program_tells_its_version(self):
        done = run([os.path.join(self.root, 'usr', 'bin', 'kestrin'), '--version'],
                   env={'PATH': '/usr/bin:/bin'})
        self.assertEqual((done.returncode, done.stdout.splitlines()[:2], done.stderr),
                         (0, ['kestrin %s' % self.version, 'server: ftp.tamwix.example:21'], ''))

    def test_desktop_entry_and_manual_pages(self):
        entry = os.path.join(self.root, 'usr', 'share', 'applications', 'kestrin.desktop')
        done = run(['desktop-file-validate', entry])
        self.assertEqual((done.returncode, done.stdout + done.stderr), (0, ''))
        # The class of the program's windows, so that a dock matches them to the entry.
        with open(entry, encoding='utf-8') as f:
            self.assertIn('StartupWMClass=kestrin\n', f.read())
        man1 = os.path.join(self.root, 'usr', 'share', 'man', 'man1')
        pages = sorted(os.listdir(man1))
        self.assertIn('kestrin.1.gz', pages)
        for page in pages:
            shown = run(['man', '--warnings', '-l', os.path.join(man1, page)],
                        env={'PATH': '/usr/bin:/bin', 'MANWIDTH': '80', 'LC_ALL': 'C.UTF-8'})
            self.assertEqual((shown.returncode, shown.stderr), (0, ''), page)
            self.assertIn('NAME\n       ' + page[:-len('.1.gz')] + ' - ', shown.stdout, page)

    def test_icon_in_every_size_a_desktop_asks_for(self):
        sizes = [16, 32, 48, 64, 128, 256]
        hicolor = os.path.join(self.root, 'usr', 'share', 'icons', 'hicolor')
        self.assertEqual(sorted(os.listdir(hicolor)), sorted('%dx%d' % (s, s) for s in sizes))
        for size in sizes:
            with open(os.path.join(hicolor, '%dx%d' % (size, size), 'apps', 'kestrin.png'),
                      'rb') as f:
                head = f.read(24)
            self.assertEqual((head[:8], struct.unpack('>II', head[16:24])),
                             (b'\x89PNG\r\n\x1a\n', (size, size)))

if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--deb-dir', required=True)
    parser.add_argument('--source', required=True)
    ARGS, argv = harness.split_args(parser)
    harness.main(argv)
