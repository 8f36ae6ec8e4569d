#!/usr/bin/python3
"""The rtt case of scripts/bench_sync.sh for the Windows program under Wine (not a test): 100
files of 4 KiB, none present locally, from the test server acting out a round trip (--rtt-ms),
Kestrin.exe beside curl in the same rounds, once against the server as it is and once with
--announce-size. Kestrin.exe is driven as the Wine suite drives it (tests/wine/e2e.py): started
with the dialog, Update pressed, Escape once the run is over; its time runs from the press of
Update until the probe sees "Completed- Press Cancel" (Wine's start-up is left out; the Linux
rows include the process's start, a few milliseconds). Prints one table row a variant.

    bench_wine.py --exe Kestrin.exe --probe kestrin_probe.exe --state WINE_STATE
                  --artifacts DIR [--rtt-ms 40] [--runs 3] [--connections N]

WINE_STATE is made by tests/wine/wine_env.sh setup (the display, the prefix, the server script
and the program's compiled-in account).
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, 'tests',
                                'wine'))
import e2e  # noqa: E402
import harness  # noqa: E402

COUNT = 100
DONE = ('status', 'Completed- Press Cancel')


def timed_run(session, server, extra_env):
    """One run of Kestrin.exe: the seconds from the press of Update to the completed status."""
    process = session.start(server_port=server.port, extra_env=extra_env)
    session.wait_for(lambda: session.count('Updating System') == 1, 'the update dialog')
    watch = e2e.Watch(session, 'Updating System', seconds=600)
    try:
        session.key('Updating System', 'Return')
        start = time.monotonic()
        if not harness.wait_until(lambda: DONE in watch.changes(), 600, interval=0.02):
            raise RuntimeError('the run did not end: %r' % watch.changes()[-5:])
        seconds = time.monotonic() - start
        session.wait_for(lambda: watch.changes()[-1:] == [('status', '')], 'the run to end')
        session.key('Updating System', 'Escape')
        session.wait_exit(process, 'Escape after the run')
    except BaseException:
        watch.abandon()
        raise
    changes = watch.close()
    failed = [text for kind, text in changes if kind == 'status' and 'Failed' in text]
    if failed:
        raise RuntimeError('the run failed files: %r' % failed[:3])
    return seconds


def timed_curl(session, server, names, out_dir):
    shutil.rmtree(out_dir, ignore_errors=True)
    os.makedirs(out_dir)
    with tempfile.NamedTemporaryFile('w', suffix='.curl', delete=False) as config:
        for name in names:
            config.write('url = "ftp://127.0.0.1:%d/Update/%s"\noutput = "%s/%s"\n' %
                         (server.port, name, out_dir, name))
    try:
        start = time.monotonic()
        subprocess.run(['curl', '--silent', '--show-error', '--user',
                        '%s:%s' % (session.env['KESTRIN_WINE_FTP_USER'],
                                   session.env['KESTRIN_WINE_FTP_PASSWORD']), '--ftp-port', '-',
                        '--ftp-method', 'nocwd', '--config', config.name], check=True)
        return time.monotonic() - start
    finally:
        os.unlink(config.name)


def variant(session, args, options, label):
    names = ['r%06d' % i for i in range(COUNT)]
    served = {'Update/' + name: os.urandom(4096) for name in names}
    served['Update/Version.txt'] = 'Tamwix\r\n1\r\nA\r\n'
    served['Update/File_list.txt'] = ''.join('%s\r\n2001-01-01\r\n' % name for name in names)
    install = session.drive_c('KestrinBench')
    extra_env = {'KESTRIN_TRANSFER_CONNECTIONS': str(args.connections)} if args.connections \
        else {}
    times = {'kestrin': [], 'curl': []}
    with session.update_server(['--rtt-ms', str(args.rtt_ms), *options]) as server:
        server.serve(served)
        session.clear_settings()
        session.set_setting('FILES', 'Directory', r'C:\KestrinBench')
        for _ in range(args.runs):
            shutil.rmtree(install, ignore_errors=True)
            os.makedirs(os.path.join(install, 'Pelmora'))
            times['kestrin'].append(timed_run(session, server, extra_env))
            landed = e2e.read_files(os.path.join(install, 'Pelmora'))
            if landed != {name: served['Update/' + name] for name in names}:
                raise RuntimeError('the product directory is not the served files')
            times['curl'].append(timed_curl(session, server, names, os.path.join(args.state, 'curl')))
        most = server.most_logged_in()
    shutil.rmtree(install, ignore_errors=True)
    session.clear_settings()
    k, c = statistics.median(times['kestrin']), statistics.median(times['curl'])
    print('| 100 × 4 KiB, rtt %d ms, Kestrin.exe under Wine (%d at once) | test-server%s | '
          '%.3f | | | %.3f | %.2f |' % (args.rtt_ms, most, label, k, c, k / c), flush=True)


def main():
    parser = argparse.ArgumentParser()
    for name in ('--exe', '--probe', '--state', '--artifacts'):
        parser.add_argument(name, required=True)
    parser.add_argument('--rtt-ms', type=int, default=40)
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--connections', type=int, default=0,
                        help='KESTRIN_TRANSFER_CONNECTIONS; 0: the build\'s own')
    args = parser.parse_args()
    e2e.ARGS = args
    e2e.Session.setUpClass()
    session = e2e.Session()
    session.setUp()
    try:
        variant(session, args, [], '')
        variant(session, args, ['--announce-size'], ' --announce-size')
    finally:
        session.doCleanups()


if __name__ == '__main__':
    main()
