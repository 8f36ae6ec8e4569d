#!/usr/bin/env python3
"""The Windows program stopped during a slow run under Wine and Xvfb: the window answers the
system's WM_NULL within 0.25 s while a file comes slowly, and the Cancel button (posted) or the
close box ends the run and the program within seconds, over one connection and four, the old
copies whole and nothing left beside them. Takes the arguments of e2e.py."""
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402
from e2e import Session, photographed_on_failure, read_files, write_files  # noqa: E402

BIG = 4 * 1024 * 1024
# Generous for a loaded machine; the run left alone would take two minutes.
STOPPED_WITHIN_S = 10
ANSWERED_WITHIN_MS = 250
SC_CLOSE = 0xF060
IDCANCEL = 2


class CancelUnderWine(Session):
    fresh_install = e2e.WineProgram.fresh_install

    @photographed_on_failure
    def test_cancel_during_a_slow_run(self):
        names = ['one.bin', 'two.bin', 'three.bin']
        for connections, way in [(1, 'Cancel'), (4, 'close box')]:
            with self.subTest(connections=connections, way=way):
                folder = 'KestrinCancel%d' % connections
                _, product = self.fresh_install(folder)
                old = {name: b'old ' + name.encode() for name in names}
                write_files(product, old)
                self.clear_settings()
                self.set_setting('FILES', 'Directory', 'C:\\' + folder)
                with self.update_server(['--bandwidth', '100000']) as server:
                    server.serve({'Update/Version.txt': 'Tamwix\r\n1\r\nA\r\n',
                                  'Update/File_list.txt': ''.join(
                                      '%s\r\n2099-01-01\r\n' % name for name in names)})
                    server.serve({'Update/' + name: os.urandom(BIG) for name in names})
                    changes = self.stopped_run(server, connections, way)
                self.assertIn(('status', 'Updating...one.bin'), changes)
                self.assertNotIn(('status', 'Completed- Press Cancel'), changes)
                self.assertFalse([c for c in changes if c[0] == 'status'
                                  and c[1].startswith('Updated...')], changes)
                self.assertEqual(read_files(product), old)

    def stopped_run(self, server, connections, way):
        """Presses Update, measures the answers to WM_NULL while one.bin comes, stops the run
        the given way; returns the run's status texts and progress positions."""
        process = self.start(server_port=server.port,
                             extra_env={'KESTRIN_TRANSFER_CONNECTIONS': str(connections)})
        self.wait_for(lambda: self.count('Updating System') == 1, 'the update dialog')
        watch = e2e.Watch(self, 'Updating System')
        try:
            self.key('Updating System', 'Return')
            self.wait_for(lambda: ('status', 'Updating...one.bin') in watch.changes(),
                          'the slow transfer')
            rc, out = self.probe('ping', 'Updating System', '20')
            self.assertEqual(rc, 0, out)
            self.assertLessEqual(int(out.split()[-1]), ANSWERED_WITHIN_MS, out)
            if way == 'Cancel':
                rc, out = self.probe('command', 'Updating System', str(IDCANCEL))
            else:
                rc, out = self.probe('syscommand', 'Updating System', str(SC_CLOSE))
            self.assertEqual(rc, 0, out)
            stopped = time.monotonic()
            self.wait_exit(process, way + ' during the run', timeout=60)
            self.assertLess(time.monotonic() - stopped, STOPPED_WITHIN_S)
        except BaseException:
            watch.abandon()
            raise
        return watch.close()


if __name__ == '__main__':
    parser = e2e.argparse.ArgumentParser(description=__doc__)
    for name in ('--exe', '--probe', '--state', '--artifacts'):
        parser.add_argument(name, required=True)
    for name in ('--home', '--zip-dir', '--source', '--signed-exe'):
        parser.add_argument(name, default='')
    e2e.ARGS, argv = e2e.harness.split_args(parser)
    e2e.harness.main(argv, e2e.ARGS.artifacts)
