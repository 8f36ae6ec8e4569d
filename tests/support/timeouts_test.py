"""Every test of a build has a time-out of its own (CTest's TIMEOUT property), so that a hang
fails that one test instead of holding the whole run.

  timeouts_test.py CTEST BUILD_DIR"""
import json
import subprocess
import sys


def main(ctest, build):
    listing = json.loads(subprocess.run([ctest, '--show-only=json-v1'], cwd=build, check=True,
                                        capture_output=True, text=True).stdout)
    untimed = [test['name'] for test in listing['tests']
               if not any(p['name'] == 'TIMEOUT' for p in test.get('properties', []))]
    for name in untimed:
        print('no TIMEOUT:', name)
    print('%d tests, %d without a time-out' % (len(listing['tests']), len(untimed)))
    return 1 if untimed or not listing['tests'] else 0


if __name__ == '__main__':
    sys.exit(main(*sys.argv[1:]))
