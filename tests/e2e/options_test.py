"""The program's own options (Linux): answered before any front end, setting or connection."""
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
            # An option that holds a switch is the dialog's, as is all after "--".
            (['--UPDATE_REQUEST'], 0, ['caption: kestrin', REQUEST_NO_CONNECTION], ''),
            (['--', '--help'], 0, ['dialog: Updating System'], ''),
        ]
        for args, status, first, err in cases:
            with self.subTest(args=args):
                got_status, out, got_err = self.box.run(args)
                self.assertEqual((got_status, out[:len(first) or None], got_err[:len(err)]),
                                 (status, first, err))

    def test_answer_touches_no_setting_and_reports_a_failed_write(self):
        self.assertEqual(self.box.run(['--help'])[0], 0)
        self.assertEqual(os.listdir(self.box.config), [], 'settings keys made for --help')
        status, _, err = self.box.run(['--version'], wrapper=['sh', '-c', '"$0" "$@" >/dev/full'])
        self.assertEqual((status, err), (1, 'kestrin: the output could not be written\n'))


if __name__ == '__main__':
    kestrin_e2e.main()
