"""The version check of the real kestrin against the local update server."""
import os
import re
import shutil
import subprocess

import kestrin_e2e
from kestrin_e2e import ServerTestCase

CAPTION = 'caption: kestrin'
CURRENT = 'message: You are currently using the lattest version'
SERVER_ERROR = 'message: An error occured on the server.\\nPlease try again latter.'
UNREADABLE = ("message: The system could not read the file on your PC\\nPlease ensure that you "
              "have 'Read access' to your temp directory\\n")
HOME = 'http://downloads.example.test/tamwix'


def newer(installed, release, home=HOME):
    return ('message: You are currently version %s,\\na new version, %s, is available.\\n'
            'Please go to %s for the latest version.' % (installed, release, home))


class CommandLineModes(ServerTestCase):
    """Each outcome of the check under both switches; the process ends by itself."""

    def check(self, switch, expected, message_box):
        # Input stays open: a program that waited for the dialog would never end. A message
        # box takes one line.
        status, out, err = self.kestrin([switch], stdin='\n' if message_box else '',
                                         hold_input=True, timeout=30)
        self.assertEqual(status, 0, err)
        self.assertEqual(out, [CAPTION, expected] if message_box else [], err)

    def reset_settings(self, settings):
        shutil.rmtree(self.box.config)
        os.makedirs(self.box.config)
        for (section, entry), value in settings.items():
            self.box.set_setting(section, entry, value)

    def test_outcomes(self):
        installed_5a = {('Update', 'VersionA'): '5', ('Update', 'VersionB'): 'A',
                        ('Web', 'Home'): HOME}
        # name, version file on the server (None: not there), settings, message of the
        # interactive check, whether it announces a newer release
        cases = [
            ('current', 'Tamwix\r\n5\r\nA\r\n', installed_5a, CURRENT, False),
            ('newer letter', 'Tamwix\r\n5\r\nB\r\n', installed_5a, newer('5A', '5B'), True),
            ('newer number', 'Tamwix\n6\nA\n',
             {('Update', 'VersionA'): '5', ('Update', 'VersionB'): 'B', ('Web', 'Home'): HOME},
             newer('5B', '6A'), True),
            # A later letter with a smaller number is an older release, not a new one.
            ('older number, later letter', 'Tamwix\r\n5\r\nC\r\n',
             {('Update', 'VersionA'): '6', ('Update', 'VersionB'): 'B'}, CURRENT, False),
            ('server file missing', None, installed_5a, SERVER_ERROR, False),
        ]
        version_file = os.path.join(self.served, 'Update', 'Version.txt')
        os.makedirs(os.path.dirname(version_file))
        for name, served, settings, message, announces in cases:
            with self.subTest(name):
                if served is None:
                    if os.path.exists(version_file):
                        os.remove(version_file)
                else:
                    self.serve({'Update/Version.txt': served})
                self.reset_settings(settings)
                self.check('UPDATE_REQUEST', message, True)
                self.check('UPDATE_NOREQUEST', message, announces)
                # A completed check deletes its copy; a failed transfer leaves nothing behind.
                self.assertEqual(os.listdir(self.box.temp_dir()), [])

    def test_no_settings_name_release_1a(self):
        self.serve({'Update/Version.txt': 'Tamwix\r\n2\r\nA\r\n'})
        self.check('UPDATE_REQUEST', newer('1A', '2A', kestrin_e2e.cache_value('KESTRIN_HOME_URL')),
                   True)
        # Reading the settings may make keys, but no value is ever written.
        stored = [os.path.join(d, n) for d, _, files in os.walk(self.box.config) for n in files]
        self.assertEqual(stored, [])
        self.assertEqual(os.listdir(self.box.temp_dir()), [])

    def test_copy_that_cannot_land_is_a_transfer_failure(self):
        # A directory where the run's copy goes (named after the process, which the shell
        # becomes): the download cannot put its file there, which is the transfer failing, not
        # a copy that landed unreadable.
        self.serve({'Update/Version.txt': 'Tamwix\r\n2\r\nA\r\n'})
        temp = self.box.temp_dir()
        os.makedirs(temp, mode=0o700)
        block = ['sh', '-c', 'mkdir "$0/Version-$$.txt" && exec "$@"', temp]
        for switch, expected in (('UPDATE_REQUEST', [CAPTION, SERVER_ERROR]),
                                 ('UPDATE_NOREQUEST', [])):
            status, out, err = self.kestrin([switch], stdin='\n', hold_input=True, timeout=30,
                                            wrapper=block)
            self.assertEqual((status, out), (0, expected), err)
        blockers = os.listdir(temp)
        self.assertEqual(len(blockers), 2, blockers)
        for blocker in blockers:
            self.assertEqual(os.listdir(os.path.join(temp, blocker)), [])

    def test_runs_at_once_keep_to_their_own_copies(self):
        # A copy of a sibling run, between its landing and its reading, under the name the
        # copy had when all runs shared it: nothing replaces or removes it.
        self.serve({'Update/Version.txt': 'Tamwix\r\n2\r\nA\r\n'})
        temp = self.box.temp_dir()
        os.makedirs(temp, mode=0o700)
        sibling = os.path.join(temp, 'Version.txt')
        with open(sibling, 'w') as f:
            f.write('Tamwix\n9\nZ\n')
        self.check('UPDATE_REQUEST', newer('1A', '2A', kestrin_e2e.cache_value('KESTRIN_HOME_URL')),
                   True)
        self.assertEqual(os.listdir(temp), ['Version.txt'])
        with open(sibling) as f:
            self.assertEqual(f.read(), 'Tamwix\n9\nZ\n')

    def unprivileged(self):
        """A command prefix under which kestrin is bound by file permissions: none for an
        ordinary user; for root, setpriv dropping every capability (the user stays root, so the
        paths and the private temporary directory stay the same)."""
        if os.geteuid() != 0:
            return []
        setpriv = shutil.which('setpriv')
        if setpriv is None:
            self.skipTest('running as root without setpriv: permissions cannot bind kestrin')
        wrapper = [setpriv, '--inh-caps=-all', '--bounding-set=-all', '--']
        probe = os.path.join(self.box.root, 'probe')
        with open(probe, 'w'):
            pass
        os.chmod(probe, 0)
        if subprocess.run(wrapper + ['cat', probe], stderr=subprocess.DEVNULL).returncode == 0:
            self.skipTest('permissions do not bind a root without capabilities here')
        return wrapper

    def test_unreadable_copy(self):
        # A user whose file-creation mask takes every permission away: the copy lands whole
        # and cannot be opened for reading. The private directory exists already, as a
        # directory made under that mask could not be entered at all.
        self.serve({'Update/Version.txt': 'Tamwix\r\n2\r\nA\r\n'})
        wrapper = self.unprivileged()
        os.makedirs(self.box.temp_dir(), mode=0o700)
        for switch, expected, message_box in (('UPDATE_REQUEST', UNREADABLE, True),
                                              ('UPDATE_NOREQUEST', None, False)):
            with self.subTest(switch):
                status, out, err = self.kestrin([switch], stdin='\n' if message_box else '',
                                                hold_input=True, timeout=30, umask=0o777,
                                                wrapper=wrapper)
                self.assertEqual(status, 0, err)
                self.assertEqual(out, [CAPTION, expected] if message_box else [], err)
                # The copy that could not be read stays where it landed.
                copies = [name for name in os.listdir(self.box.temp_dir())
                          if re.fullmatch(r'Version-\d+\.txt', name)]
                self.assertEqual(len(copies), 1, os.listdir(self.box.temp_dir()))
                copy = os.path.join(self.box.temp_dir(), copies[0])
                self.assertEqual(os.stat(copy).st_mode & 0o777, 0)
                os.remove(copy)


class UpdateButton(ServerTestCase):
    """The Update button checks silently before it synchronises."""

    def test_only_a_newer_release_is_announced(self):
        self.box.set_setting('FILES', 'Directory', os.path.join(self.box.root, 'install'))
        self.box.set_setting('Update', 'VersionA', '5')
        self.box.set_setting('Update', 'VersionB', 'A')
        self.box.set_setting('Web', 'Home', HOME)
        self.serve({'Update/File_list.txt': ''})
        for letter, announcement in (('A', []), ('B', [CAPTION, newer('5A', '5B')])):
            with self.subTest(letter):
                self.serve({'Update/Version.txt': 'Tamwix\r\n5\r\n%s\r\n' % letter})
                # Update, the message box's OK when there is one, then Cancel.
                stdin = '\n\ncancel\n' if announcement else '\ncancel\n'
                status, out, err = self.kestrin([], stdin=stdin, hold_input=True, timeout=30)
                self.assertEqual(status, 0, err)
                self.assertEqual(out, ['dialog: Updating System', 'status: Connecting to Server',
                                       'status: Connected', 'status: Checking version'] +
                                 announcement +
                                 ['status: Checking file list', 'status: Completed- Press Cancel',
                                  'status: '], err)
                # Both copies were the run's own, and are gone.
                self.assertEqual(os.listdir(self.box.temp_dir()), [])


if __name__ == '__main__':
    kestrin_e2e.main()
