#!/usr/bin/python3
"""How soon kestrin shows itself (a benchmark, not a test): the time from the start of the
process to the terminal front end's first line on a pipe, and to the FLTK dialog's window
appearing (mapped) on an X display. Used by scripts/bench_sync.sh.

  bench_startup.py --kestrin PATH --home DIR [--display :N] [--runs N]

DIR gets the settings and temporary directories of the runs. Prints one line per front end:
"<front end> <median ms> <each run's ms>". Without --display only the terminal is measured.
The clock starts just before the process is created, so the figures include the fork and exec.
"""

import argparse
import ctypes
import ctypes.util
import os
import select
import statistics
import subprocess
import sys
import time

# X11's event mask bit and event type for a window being mapped.
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
MAP_NOTIFY = 19


def environment(home, frontend, display=None):
    env = {k: v for k, v in os.environ.items() if k not in ('DISPLAY', 'XDG_RUNTIME_DIR')}
    env.update({'HOME': home, 'XDG_CONFIG_HOME': os.path.join(home, 'config'),
                'XDG_CACHE_HOME': os.path.join(home, 'tmp'), 'KESTRIN_FRONTEND': frontend})
    if display:
        env['DISPLAY'] = display
    return env


def terminal_ms(kestrin, home):
    """Milliseconds until the first line of the terminal front end."""
    start = time.monotonic()
    proc = subprocess.Popen([kestrin], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            env=environment(home, 'terminal'))
    line = proc.stdout.readline()
    elapsed = (time.monotonic() - start) * 1000
    proc.communicate(b'cancel\n', timeout=30)
    if not line.startswith(b'dialog: '):
        sys.exit('bench_startup: the first line was %r' % line)
    return elapsed


class Display:
    """A connection to the X display that reports the windows mapped on it."""

    def __init__(self, name):
        self.x = ctypes.CDLL(ctypes.util.find_library('X11'))
        self.x.XOpenDisplay.restype = ctypes.c_void_p
        self.x.XOpenDisplay.argtypes = [ctypes.c_char_p]
        self.x.XDefaultRootWindow.restype = ctypes.c_ulong
        self.x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        self.x.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
        for name_ in ('XFlush', 'XPending', 'XConnectionNumber', 'XCloseDisplay'):
            getattr(self.x, name_).argtypes = [ctypes.c_void_p]
        self.x.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.display = self.x.XOpenDisplay(name.encode())
        if not self.display:
            sys.exit('bench_startup: cannot open the display %s' % name)
        # Every window mapped as a child of the root window (no window manager runs there).
        self.x.XSelectInput(self.display, self.x.XDefaultRootWindow(self.display),
                            SUBSTRUCTURE_NOTIFY_MASK)
        self.x.XFlush(self.display)
        self.event = ctypes.create_string_buffer(192)  # sizeof(XEvent)

    def wait_map(self, timeout):
        """True once a window is mapped, False when timeout seconds pass first."""
        deadline = time.monotonic() + timeout
        fd = self.x.XConnectionNumber(self.display)
        while True:
            while self.x.XPending(self.display):
                self.x.XNextEvent(self.display, self.event)
                if ctypes.c_int.from_buffer(self.event).value == MAP_NOTIFY:
                    return True
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            select.select([fd], [], [], left)

    def close(self):
        self.x.XCloseDisplay(self.display)


def fltk_ms(kestrin, home, display):
    """Milliseconds until the FLTK dialog's window is mapped."""
    start = time.monotonic()
    proc = subprocess.Popen([kestrin], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            env=environment(home, 'fltk', display.name))
    mapped = display.display.wait_map(30)
    elapsed = (time.monotonic() - start) * 1000
    proc.terminate()
    proc.wait(timeout=30)
    if not mapped:
        sys.exit('bench_startup: no window appeared within 30 s')
    return elapsed


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--kestrin', required=True)
    parser.add_argument('--home', required=True)
    parser.add_argument('--display')
    parser.add_argument('--runs', type=int, default=5)
    args = parser.parse_args()
    for sub in ('config', 'tmp'):
        os.makedirs(os.path.join(args.home, sub), exist_ok=True)

    def report(name, runs):
        print('%s %.1f %s' % (name, statistics.median(runs), ' '.join('%.1f' % r for r in runs)))

    terminal_ms(args.kestrin, args.home)  # the program's files into the page cache
    report('terminal', [terminal_ms(args.kestrin, args.home) for _ in range(args.runs)])
    if args.display:
        display = argparse.Namespace(name=args.display, display=Display(args.display))
        fltk_ms(args.kestrin, args.home, display)
        report('fltk', [fltk_ms(args.kestrin, args.home, display) for _ in range(args.runs)])
        display.display.close()


if __name__ == '__main__':
    main()
