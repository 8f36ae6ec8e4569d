"""The program's own options (Linux): answered before any front end, setting or connection."""
import hashlib
import os

import kestrin_e2e
from kestrin_e2e import KestrinTestCase
import harness  # noqa: E402 (found through kestrin_e2e's path)

REQUEST_NO_CONNECTION = ('message: The System could not connect to the internet.\\n'
                         'Could not check for new version at this time.')


class ProgramOptions(KestrinTestCase):
    def test_options_and_what_is_left_to_the_dialog(self):
        usage = 'Usage: kestrin [UPDATE_NOREQUEST | UPDATE_REQUEST]'
        version = 'kestrin ' + harness.version_record(kestrin_e2e.SOURCE)
        # (arguments, exit status, the output's first lines, standard error's start)
        cases = [
            (['--version'], 0, [version], ''),
            (['--help'], 0, [usage], ''),
            # The first option decides.
            (['UPDATE_REQUEST', '--help', '--bogus'], 0, [usage], ''),
            (['--bogus', '--help'], 2, [], 'kestrin: unknown option --bogus\n' + usage),
            (['-h'], 2, [], 'kestrin: unknown option -h\n' + usage),
            (['bogus', 'UPDATE_REQUEST'], 2, [], 'kestrin: unknown argument bogus\n' + usage),
            # An option that holds a switch is the dialog's, as is all after "--".
            (['--UPDATE_REQUEST'], 0, ['caption: kestrin', REQUEST_NO_CONNECTION], ''),
            (['--', '--help'], 0, ['dialog: Updating System'], ''),
        ]
        for args, status, first, err in cases:
            with self.subTest(args=args):
                got_status, out, got_err = self.box.run(args)
                self.assertEqual((got_status, out[:len(first) or None], got_err[:len(err)]),
                                 (status, first, err))

    def test_version_tells_what_the_build_holds(self):
        user, password = kestrin_e2e.account()
        signed = os.path.join(kestrin_e2e.BUILD, 'tests', 'signed', 'kestrin')
        keys = []
        for name in ('test_update_key_2.pub', 'test_update_key.pub'):
            with open(os.path.join(kestrin_e2e.SOURCE, 'tests', 'support', name)) as f:
                keys.append(hashlib.sha256(bytes.fromhex(f.read().strip())).hexdigest())
        names = ['product: Tamwix', 'company key: Vantorel', 'product subdirectory: Pelmora']
        # (program, environment, the lines after the version's)
        cases = [
            (None, {'KESTRIN_UPDATE_MIRRORS': 'm.example'},
             ['server: 127.0.0.1:2121', 'mirrors: none', 'account: ' + user] + names +
             ['connections: ' + kestrin_e2e.cache_value('KESTRIN_TRANSFER_CONNECTIONS'),
              'public key: unsigned']),
            (signed, {'KESTRIN_UPDATE_MIRRORS': 'm.example, n.example:2122',
                      'KESTRIN_TRANSFER_CONNECTIONS': '3'},
             ['server: 127.0.0.1:2121', 'mirrors: m.example:21, n.example:2122',
              'account: ' + user] + names +
             ['connections: 3'] + ['public key SHA-256: ' + key for key in keys]),
        ]
        for program, env, lines in cases:
            with self.subTest(program=program):
                if program and not os.path.exists(program):
                    self.skipTest('no signed program in this build')
                status, out, err = self.box.run(['--version'], port=2121, program=program,
                                                extra_env=env)
                self.assertEqual((status, out[1:], err), (0, lines, ''))
                self.assertNotIn(password, '\n'.join(out))

    def test_answer_touches_no_setting_and_reports_a_failed_write(self):
        self.assertEqual(self.box.run(['--help'])[0], 0)
        self.assertEqual(os.listdir(self.box.config), [], 'settings keys made for --help')
        status, _, err = self.box.run(['--version'], wrapper=['sh', '-c', '"$0" "$@" >/dev/full'])
        self.assertEqual((status, err), (1, 'kestrin: the output could not be written\n'))


if __name__ == '__main__':
    kestrin_e2e.main()
