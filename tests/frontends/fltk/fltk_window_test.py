#!/usr/bin/python3
"""The FLTK window end to end: keys and clicks from xdotool on the display of the xvfb test
fixture.

kestrin: Return starts a run (no server answers, so the connection message box appears and
Return closes it); the window menu (Alt+Space, and a right-click) opens the About box; Escape
closes the dialog and the process ends. Windows must have their template sizes and open
centred. Screenshots are kept in the artifacts directory.

probe (a dialog whose Update handler blocks like a network call): changes made during the
handler are painted at once; keys typed ahead do not answer the message box the handler opens;
clicks, keys and a close request given while it runs are dropped, not replayed when it returns;
afterwards Return presses Update again. The close box ends the dialog.
"""

import argparse
import ctypes
import ctypes.util
import os
import select
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                os.pardir, 'support'))
import harness  # noqa: E402

# The screen of the fixture's display (tests/support/xvfb.sh).
SCREEN_W, SCREEN_H = 1024, 768
# --kestrin, --probe and --artifacts.
ARGS = None


def dialog_px(x, y):
    """Dialog units to pixels at base units 6 x 13, rounded half up."""
    return (x * 6 + 2) // 4, (y * 13 + 4) // 8


def xlib():
    lib = ctypes.cdll.LoadLibrary(ctypes.util.find_library("X11"))
    lib.XOpenDisplay.restype = ctypes.c_void_p
    lib.XOpenDisplay.argtypes = [ctypes.c_char_p]
    lib.XCloseDisplay.argtypes = [ctypes.c_void_p]
    lib.XInternAtom.restype = ctypes.c_ulong
    lib.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    lib.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    return lib


class Display(harness.XDisplay):
    """The fixture's display, with the waits and the window manager's requests of this suite."""

    def __init__(self):
        super().__init__(dict(os.environ, DISPLAY=harness.fixture_display()))

    def wait_window(self, name, timeout=15, program=None):
        found = set()

        def appeared():
            found.update(self.windows(name))
            return bool(found)

        if harness.wait_until(appeared, timeout):
            return found.pop()
        state = ""
        if program is not None:
            program.read_lines(0)
            state = "; status %r, output %r\n%s\nXvfb %s:\n%s" % (
                program.process.poll(), program.lines, program.stderr(), self.name,
                harness.fixture_log())
        raise AssertionError("no window named %r appeared%s" % (name, state))

    def wait_gone(self, window, timeout=10):
        if not harness.wait_until(lambda: window not in self.windows(), timeout):
            raise AssertionError("window %s did not go away" % window)

    def wait_new_window(self, before, timeout=10):
        """A window that became visible since `before` was taken (a popup menu has no name)."""
        new = set()

        def appeared():
            new.update(self.windows() - before)
            return bool(new)

        if not harness.wait_until(appeared, timeout):
            raise AssertionError("no new window appeared")
        return new.pop()

    def geometry(self, window):
        values = {}
        for line in self.xdotool("getwindowgeometry", "--shell", window).split():
            key, _, value = line.partition("=")
            values[key] = int(value) if value.lstrip("-").isdigit() else value
        return values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]

    def key(self, window, *keys):
        self.focus(window)
        self.xdotool("key", *keys)

    def close_box(self, window):
        """What a window manager sends when the window's close box is clicked."""
        lib = xlib()

        class ClientMessage(ctypes.Structure):
            _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                        ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                        ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                        ("format", ctypes.c_int), ("data", ctypes.c_long * 5),
                        ("pad", ctypes.c_long * 24)]  # the size of any X event, and more

        connection = lib.XOpenDisplay(self.name.encode())
        if not connection:
            raise AssertionError("cannot open %s" % self.name)
        try:
            event = ClientMessage(type=33, window=int(window), format=32)  # ClientMessage
            event.message_type = lib.XInternAtom(connection, b"WM_PROTOCOLS", 0)
            event.data[0] = lib.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
            if not lib.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event)):
                raise AssertionError("the close request could not be sent")
        finally:
            lib.XCloseDisplay(connection)


def pixel(image, x, y):
    width, _, rows = image
    i = (y * width + x) * 3
    return tuple(rows[i:i + 3])


def with_leak_suppressions(env):
    """Under LeakSanitizer: fontconfig, which FLTK draws text through, keeps allocations that
    no one frees; they are not ours to report."""
    suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "lsan.supp")
    options = env.get("LSAN_OPTIONS", "")
    return dict(env, LSAN_OPTIONS=(options + ":" if options else "") +
                "suppressions=" + suppressions)


class Program:
    """A program under test, its standard output read line by line."""

    def __init__(self, argv, env):
        self.errors = tempfile.TemporaryFile()
        self.process = subprocess.Popen(argv, env=with_leak_suppressions(env),
                                        stdout=subprocess.PIPE, stderr=self.errors,
                                        stdin=subprocess.DEVNULL)
        self.lines = []
        self.buffer = b""

    def stderr(self):
        self.errors.seek(0)
        return self.errors.read().decode(errors="replace")[-3000:]

    def read_lines(self, timeout):
        ready, _, _ = select.select([self.process.stdout], [], [], timeout)
        if ready:
            chunk = os.read(self.process.stdout.fileno(), 4096)
            self.buffer += chunk
            *complete, self.buffer = self.buffer.split(b"\n")
            self.lines += [line.decode() for line in complete]
            return bool(chunk)
        return False

    def wait_line(self, line, timeout=15):
        deadline = time.time() + timeout
        while line not in self.lines:
            remaining = deadline - time.time()
            if remaining <= 0:
                raise AssertionError("no line %r; output so far: %r" % (line, self.lines))
            if not self.read_lines(remaining) and self.process.poll() is not None:
                raise AssertionError("ended before %r; output: %r\n%s" %
                                     (line, self.lines, self.stderr()))

    def wait_exit(self, timeout=10):
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("the process did not end")
        if status != 0:
            raise AssertionError("ended with status %d\n%s" % (status, self.stderr()))

    def stop(self):
        harness.kill_process(self.process)
        self.process.stdout.close()
        self.errors.close()


class WindowTest(unittest.TestCase):
    """One program at a time on the one display: each case ends its program before the next."""

    @classmethod
    def setUpClass(cls):
        os.makedirs(ARGS.artifacts, exist_ok=True)

    def setUp(self):
        self.display = Display()

    def start(self, argv, env=None):
        program = Program(argv, env or self.display.env)
        self.addCleanup(program.stop)
        return program

    def artifact(self, name):
        return os.path.join(ARGS.artifacts, name)

    def assertCentred(self, box, over, what):
        x, y, w, h = box
        ox, oy, ow, oh = over
        want_x, want_y = ox + ow // 2 - w // 2, oy + oh // 2 - h // 2
        self.assertTrue(abs(x - want_x) <= 1 and abs(y - want_y) <= 1,
                        "%s at %d,%d, not centred (%d,%d)" % (what, x, y, want_x, want_y))

    def test_kestrin(self):
        display = self.display
        home = tempfile.TemporaryDirectory()
        self.addCleanup(home.cleanup)
        env = dict(display.env, HOME=home.name,
                   XDG_CONFIG_HOME=os.path.join(home.name, "config"), KESTRIN_FRONTEND="fltk",
                   KESTRIN_UPDATE_HOST="127.0.0.1", KESTRIN_UPDATE_PORT=str(harness.closed_port()))
        program = self.start([ARGS.kestrin], env)
        dialog = display.wait_window("Updating System", program=program)
        box = display.geometry(dialog)
        self.assertEqual(box[2:], (480, 88), "the dialog's client area")
        self.assertCentred(box, (0, 0, SCREEN_W, SCREEN_H), "the dialog")
        display.screenshot(dialog, self.artifact("dialog.png"))
        # The class that the desktop entry's StartupWMClass names, on every window.
        def of_class():
            return display.xdotool("search", "--classname", "^kestrin$").split()

        self.assertIn(dialog, of_class(), "the dialog's WM_CLASS")

        # Return presses Update; with no server the connection message appears.
        display.key(dialog, "Return")
        message = display.wait_window("kestrin")
        self.assertCentred(display.geometry(message), box, "the message box")
        self.assertIn(message, of_class(), "the message box's WM_CLASS")
        display.screenshot(message, self.artifact("message.png"))
        display.key(message, "Return")
        display.wait_gone(message)
        self.assertIn(dialog, display.windows(), "the dialog closed with the message box")

        # The window menu from the keyboard: its About entry opens the About box.
        before = display.windows()
        display.key(dialog, "alt+space")
        display.wait_new_window(before)
        display.xdotool("key", "a")
        about = display.wait_window("About Kestrin")
        about_box = display.geometry(about)
        self.assertEqual(about_box[2:], dialog_px(235, 55), "the About box's size")
        self.assertCentred(about_box, box, "the About box")
        display.screenshot(about, self.artifact("about.png"))
        display.key(about, "Return")
        display.wait_gone(about)

        # The window menu from a right-click in the dialog.
        before = display.windows()
        display.focus(dialog)
        display.click(box[0] + 100, box[1] + 80, button=3)
        display.wait_new_window(before)
        display.xdotool("key", "a")
        about = display.wait_window("About Kestrin")
        display.key(about, "Escape")
        display.wait_gone(about)

        # Escape closes the dialog, and the process ends with it.
        display.key(dialog, "Escape")
        program.wait_exit()

    def test_probe(self):
        display = self.display
        block_ms = 3000
        program = self.start([ARGS.probe, str(block_ms)])
        dialog = display.wait_window("Updating System", program=program)
        x0, y0, _, _ = display.geometry(dialog)
        update_x, update_y = dialog_px(260 + 25, 12 + 7)
        cancel_x, cancel_y = dialog_px(260 + 25, 28 + 7)
        bar_x, bar_y = dialog_px(12, 12)
        bar_w, bar_h = dialog_px(242, 14)
        status_x, status_y = dialog_px(12, 28)
        status_w, status_h = dialog_px(242, 14)
        idle = display.pixels(dialog)

        display.key(dialog, "Return")
        program.wait_line("begin 1")
        # Typed ahead while the handler blocks: must not answer the box it opens next.
        display.xdotool("key", "Return", "Escape")
        time.sleep(0.3)
        busy = display.pixels(dialog)
        display.screenshot(dialog, self.artifact("probe_running.png"))
        changed = sum(pixel(idle, x, y) != pixel(busy, x, y)
                      for x in range(status_x, status_x + status_w)
                      for y in range(status_y, status_y + status_h))
        self.assertGreater(changed, 20, "the status text set during the handler was not painted")
        quarter = pixel(busy, bar_x + bar_w // 4, bar_y + bar_h // 2)
        three_quarters = pixel(busy, bar_x + bar_w * 3 // 4, bar_y + bar_h // 2)
        self.assertTrue(quarter == (0, 0, 128) and three_quarters != (0, 0, 128),
                        "the bar at 50%% was not painted (%r, %r)" % (quarter, three_quarters))

        box = display.wait_window("Probe", timeout=block_ms / 1000 + 10)
        time.sleep(0.7)
        self.assertIn(box, display.windows(), "keys typed ahead answered the message box")
        display.key(box, "Return")
        program.wait_line("box closed 1")

        # Given while the handler blocks again: Cancel, the disabled Update button, Escape and
        # the close box.
        display.click(x0 + cancel_x, y0 + cancel_y)
        display.click(x0 + update_x, y0 + update_y)
        display.key(dialog, "Escape")
        display.close_box(dialog)
        program.wait_line("end 1", timeout=block_ms / 1000 + 10)
        time.sleep(1.5)
        program.read_lines(0)
        self.assertNotIn("begin 2", program.lines, "a click during the run started a second run")
        self.assertTrue(program.process.poll() is None and dialog in display.windows(),
                        "input given during the run closed the dialog afterwards")
        idle_again = display.pixels(dialog)
        self.assertNotEqual(pixel(idle_again, bar_x + bar_w // 4, bar_y + bar_h // 2),
                            (0, 0, 128), "the bar did not go back to 0")

        # After the run Return presses Update again, not the button the focus passed to.
        display.key(dialog, "Return")
        program.wait_line("begin 2")
        box = display.wait_window("Probe", timeout=block_ms / 1000 + 10)
        display.key(box, "Return")
        program.wait_line("end 2", timeout=block_ms / 1000 + 10)

        # The window menu's Close entry ends the dialog with IDCANCEL.
        before = display.windows()
        display.key(dialog, "alt+space")
        display.wait_new_window(before)
        display.xdotool("key", "c")
        program.wait_line("result 2")
        program.wait_exit()

    def test_run_stopped(self):
        # A run lets the window take what ends it: Escape, the close box, SIGTERM; the stop
        # comes within the bound, where the run left alone would last a minute.
        display = self.display
        for way in ("Escape", "close box", "SIGTERM"):
            with self.subTest(way=way):
                program = self.start([ARGS.probe, "run", "60000"])
                dialog = display.wait_window("Updating System", program=program)
                display.key(dialog, "Return")
                program.wait_line("begin 1")
                if way == "Escape":
                    display.key(dialog, "Escape")
                elif way == "close box":
                    display.close_box(dialog)
                else:
                    program.process.send_signal(signal.SIGTERM)
                program.wait_line("stopped", timeout=10)
                program.wait_line("result 2")
                program.wait_exit()

    def test_close_box(self):
        program = self.start([ARGS.probe])
        self.display.close_box(self.display.wait_window("Updating System", program=program))
        program.wait_line("result 2")
        program.wait_exit()

    def test_no_display(self):
        """Without a display there is no window front end (the program then takes the
        terminal)."""
        for display in (None, ":65000"):
            with self.subTest(DISPLAY=display):
                env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
                if display is not None:
                    env["DISPLAY"] = display
                done = subprocess.run([ARGS.probe], env=with_leak_suppressions(env),
                                      capture_output=True, text=True, timeout=30)
                self.assertEqual((done.returncode, done.stdout.strip()), (2, "no display"))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrin", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--artifacts", required=True)
    ARGS, argv = harness.split_args(parser)
    harness.main(argv, ARGS.artifacts)
