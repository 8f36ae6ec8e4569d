"""The real kestrin with its terminal front end and no reachable server."""
import os
import shutil

import kestrin_e2e
from kestrin_e2e import KestrinTestCase

REQUEST_NO_CONNECTION = ('message: The System could not connect to the internet.\\n'
                         'Could not check for new version at this time.')
UPDATE_NO_CONNECTION = ('message: An error occured while trying to connect to the server\\n'
                        'Please check your connections and try again\\n')


class CommandLineModes(KestrinTestCase):
    def test_request_without_server_tells_once_and_ends(self):
        status, out, _ = self.box.run(['UPDATE_REQUEST'])
        self.assertEqual(status, 0)
        self.assertEqual(out, ['caption: kestrin', REQUEST_NO_CONNECTION])

    def test_norequest_without_server_says_nothing(self):
        status, out, _ = self.box.run(['UPDATE_NOREQUEST'], stdin='\n\n')
        self.assertEqual((status, out), (0, []))

    def test_switch_in_program_path_counts(self):
        # A copy of the program in a directory whose name holds the switch.
        d = os.path.join(self.box.root, 'UPDATE_REQUEST dir')
        os.makedirs(d)
        copy = os.path.join(d, 'kestrin')
        shutil.copy2(kestrin_e2e.KESTRIN, copy)
        status, out, _ = self.box.run([], program=copy)
        self.assertEqual(out, ['caption: kestrin', REQUEST_NO_CONNECTION])


class Dialog(KestrinTestCase):
    def test_empty_line_runs_an_update_and_end_of_input_closes(self):
        status, out, _ = self.box.run([], stdin='\n')
        self.assertEqual(status, 0)
        self.assertEqual(out, ['dialog: Updating System', 'status: Connecting to Server',
                               'caption: kestrin', UPDATE_NO_CONNECTION, 'status: '])

    def test_about_box_and_cancel(self):
        status, out, _ = self.box.run([], stdin='about\n\nupdate\n\ncancel\nupdate\n')
        self.assertEqual(status, 0)
        # About opens, Enter presses its OK; then an update run; then cancel ends it all.
        self.assertEqual(out, ['dialog: Updating System', 'dialog: About Kestrin',
                               'status: Connecting to Server', 'caption: kestrin',
                               UPDATE_NO_CONNECTION, 'status: '])

    def test_caption_follows_the_executable_name(self):
        copy = os.path.join(self.box.root, 'Upd')
        shutil.copy2(kestrin_e2e.KESTRIN, copy)
        _, out, _ = self.box.run(['UPDATE_REQUEST'], program=copy)
        self.assertEqual(out[0], 'caption: Upd')

    def test_first_run_creates_the_settings_keys(self):
        self.box.run([], stdin='cancel\n')
        tree = sorted(os.path.relpath(os.path.join(d, n), self.box.config)
                      for d, dirs, files in os.walk(self.box.config) for n in dirs + files)
        self.assertEqual(tree, ['Vantorel', 'Vantorel/Tamwix', 'Vantorel/Tamwix/FILES'])


if __name__ == '__main__':
    kestrin_e2e.main()
