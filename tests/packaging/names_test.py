#!/usr/bin/python3
"""A Kestrin built for another product: configured with names of its own, its Debian package
(control fields and every file: programs, manual pages, desktop entry, changelog, licence), its
help, its settings and the Windows archive's notes, licence and resource script hold none of
the default names, and the program reads its settings under its own names only.

    names_test.py --source SOURCE --build DIR [unittest arguments]

DIR is a build directory of the test's own, kept between runs so that a run rebuilds only what
changed.
"""
import argparse
import glob
import gzip
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                'support'))
import harness  # noqa: E402

ARGS = None

NAMES = {
    'KESTRIN_COMPANY_KEY': 'Orlund',
    'KESTRIN_UPDATE_PRODUCT': 'Acmefy',
    'KESTRIN_PRODUCT_SUBDIRECTORY': 'Bin2',
    'KESTRIN_HOME_URL': 'https://www.acmefy.example/',
    'KESTRIN_PACKAGE_MAINTAINER': 'Orlund Updates <updates@acmefy.example>',
    # A product team names its own server too; the default one is the default product's.
    'KESTRIN_UPDATE_HOST': 'ftp.acmefy.example',
}
# What the defaults name, in any case.
DEFAULTS = re.compile(rb'vantorel|tamwix|pelmora', re.I)


def run(argv, **kwargs):
    kwargs.setdefault('timeout', 1500)
    return subprocess.run(argv, stdin=subprocess.DEVNULL, capture_output=True, **kwargs)


def configure(build, *extra):
    done = run(['cmake', '-S', ARGS.source, '-B', build, '-DCMAKE_BUILD_TYPE=Release',
                '-DKESTRIN_BUILD_TESTS=OFF'] + ['-D%s=%s' % item for item in NAMES.items()] +
               list(extra))
    if done.returncode != 0:
        raise AssertionError('configuring failed:\n' + done.stdout.decode() + done.stderr.decode())


def defaults_in(data):
    """The default names that data (bytes) holds, with some context."""
    return [data[max(m.start() - 30, 0):m.end() + 30] for m in DEFAULTS.finditer(data)]


class OtherNames(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix='kestrin-names-')
        cls.addClassCleanup(shutil.rmtree, cls.work, ignore_errors=True)
        cls.build = os.path.join(ARGS.build, 'linux')
        configure(cls.build)
        done = run(['cmake', '--build', cls.build, '-j2'])
        if done.returncode != 0:
            raise AssertionError('building failed:\n' + done.stdout.decode()[-3000:] +
                                 done.stderr.decode())
        for old in glob.glob(os.path.join(cls.build, '*.deb')):
            os.remove(old)
        done = run(['cpack', '-G', 'DEB'], cwd=cls.build)
        if done.returncode != 0:
            raise AssertionError('cpack failed:\n' + done.stdout.decode() + done.stderr.decode())
        cls.deb = glob.glob(os.path.join(cls.build, '*.deb'))[0]
        cls.root = os.path.join(cls.work, 'root')
        run(['dpkg-deb', '-x', cls.deb, cls.root], check=True)
        cls.program = os.path.join(cls.root, 'usr', 'bin', 'kestrin')

    def test_control_fields(self):
        control = run(['dpkg-deb', '-f', self.deb], check=True).stdout
        self.assertEqual(defaults_in(control), [])
        fields = dict(re.findall(r'(?m)^(\w[\w-]*): (.*)$', control.decode()))
        self.assertEqual((fields['Maintainer'], fields['Homepage']),
                         (NAMES['KESTRIN_PACKAGE_MAINTAINER'], NAMES['KESTRIN_HOME_URL']))
        self.assertIn('Acmefy', fields['Description'])

    def test_no_installed_file_names_a_default(self):
        found = {}
        for directory, _, files in os.walk(self.root):
            for name in files:
                path = os.path.join(directory, name)
                with open(path, 'rb') as f:
                    data = f.read()
                if name.endswith('.gz'):
                    data = gzip.decompress(data)
                hits = defaults_in(name.encode() + b'\n' + data)
                if hits:
                    found[os.path.relpath(path, self.root)] = hits[:3]
        self.assertEqual(found, {})
        # What the names replaced is there: the pages and the entry name the product.
        with gzip.open(os.path.join(self.root, 'usr/share/man/man1/kestrin.1.gz')) as f:
            page = f.read().decode()
        self.assertIn('.config/Orlund/Acmefy/FILES/Directory', page)
        with open(os.path.join(self.root, 'usr/share/applications/kestrin.desktop')) as f:
            self.assertIn('Keywords=update;Acmefy;', f.read())

    def test_program_reads_its_own_settings_only(self):
        config = os.path.join(self.work, 'config')
        os.makedirs(config, exist_ok=True)
        env = {'PATH': '/usr/bin:/bin', 'HOME': self.work, 'XDG_CONFIG_HOME': config,
               'XDG_CACHE_HOME': os.path.join(self.work, 'cache'),
               'KESTRIN_FRONTEND': 'terminal'}
        help_text = run([self.program, '--help'], env=env, check=True).stdout
        self.assertEqual(defaults_in(help_text), [])
        self.assertIn(b'~/.config}/Orlund/Acmefy;', help_text)
        # The dialog opens and closes at the end of its input, without a connection.
        shown = run([self.program], env=env, timeout=60)
        self.assertEqual(shown.returncode, 0, shown.stderr)
        self.assertEqual(defaults_in(shown.stdout), [])
        made = sorted(os.path.relpath(os.path.join(d, n), config)
                      for d, dirs, _ in os.walk(config) for n in dirs)
        self.assertEqual(made, ['Orlund', 'Orlund/Acmefy', 'Orlund/Acmefy/FILES'])

    def test_windows_archive_texts_and_resources(self):
        if shutil.which('i686-w64-mingw32-g++') is None:
            self.skipTest('no mingw-w64 cross compiler')
        build = os.path.join(ARGS.build, 'windows')
        configure(build, '-DCMAKE_TOOLCHAIN_FILE=%s/cmake/mingw-i686.cmake' % ARGS.source)
        done = run(['cmake', '--build', build, '--target', 'kestrin_ui_rc'])
        self.assertEqual(done.returncode, 0, done.stdout.decode()[-3000:] + done.stderr.decode())
        texts = ['packaging/README.txt', 'packaging/LICENSE.txt', 'ui/kestrin.rc',
                 'ui/kestrin.manifest']
        found = {}
        for text in texts:
            with open(os.path.join(build, text), 'rb') as f:
                hits = defaults_in(f.read())
            if hits:
                found[text] = hits[:3]
        self.assertEqual(found, {})
        with open(os.path.join(build, 'ui/kestrin.rc'), encoding='cp1252') as f:
            self.assertIn('Copyright (C) 2026 Orlund', f.read())


if __name__ == '__main__':
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--source', required=True)
    parser.add_argument('--build', required=True)
    ARGS, argv = harness.split_args(parser)
    harness.main(argv)
