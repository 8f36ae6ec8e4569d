#!/usr/bin/python3
"""The FLTK window end to end: a private Xvfb display, keys and clicks from xdotool.

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
import socket
import subprocess
import sys
import tempfile
import time

SCREEN_W, SCREEN_H = 1024, 768


def dialog_px(x, y):
    """Dialog units to pixels at base units 6 x 13, rounded half up."""
    return (x * 6 + 2) // 4, (y * 13 + 4) // 8


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


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


class Display:
    """An Xvfb server on a display number it picks itself, stopped on exit.

    It does not reset when its last client leaves (a reset refuses the next program for a
    moment). A server that another one, stopping at the same moment, leaves unreachable (it
    removes the socket of the number the new one has just taken) is replaced by a fresh one."""

    def __enter__(self):
        for _ in range(5):
            self.start()
            if self.reachable():
                return self
            self.stop()
        raise Failure("no Xvfb display could be reached:\n" + self.server_log())

    def __exit__(self, *exc):
        self.stop()

    def start(self):
        read_end, write_end = os.pipe()
        self.log = tempfile.TemporaryFile()
        self.server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             "%dx%dx24" % (SCREEN_W, SCREEN_H), "-nolisten", "tcp", "-noreset"],
            pass_fds=[write_end], stdout=subprocess.DEVNULL, stderr=self.log)
        os.close(write_end)
        number = b""
        deadline = time.time() + 20
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.0, deadline - time.time()))
            check(ready, "Xvfb did not start")
            chunk = os.read(read_end, 16)
            check(chunk, "Xvfb ended before it chose a display")
            number += chunk
        os.close(read_end)
        self.name = ":" + number.decode().strip()
        self.env = dict(os.environ, DISPLAY=self.name)

    def reachable(self):
        time.sleep(0.5)  # long enough for a server stopping meanwhile to have finished
        lib = xlib()
        connection = lib.XOpenDisplay(self.name.encode())
        if connection:
            lib.XCloseDisplay(connection)
        return bool(connection) and self.server.poll() is None

    def stop(self):
        self.server.terminate()
        self.server.wait(timeout=10)

    def server_log(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")

    def xdotool(self, *args):
        done = subprocess.run(["xdotool"] + [str(a) for a in args], env=self.env,
                              capture_output=True, text=True, timeout=30)
        return done.stdout

    def windows(self, name=None, visible=True):
        args = ["search"] + (["--onlyvisible"] if visible else [])
        args += ["--name", "^%s$" % name if name is not None else ""]
        return set(self.xdotool(*args).split())

    def wait_window(self, name, timeout=15, program=None):
        deadline = time.time() + timeout
        while time.time() < deadline:
            found = self.windows(name)
            if found:
                return found.pop()
            time.sleep(0.05)
        state = ""
        if program is not None:
            program.read_lines(0)
            state = "; status %r, output %r\n%s\nXvfb %s running=%r:\n%s" % (
                program.process.poll(), program.lines, program.stderr(), self.name,
                self.server.poll() is None, self.server_log())
        raise Failure("no window named %r appeared%s" % (name, state))

    def wait_gone(self, window, timeout=10):
        deadline = time.time() + timeout
        while time.time() < deadline:
            if window not in self.windows():
                return
            time.sleep(0.05)
        raise Failure("window %s did not go away" % window)

    def wait_new_window(self, before, timeout=10):
        """A window that became visible since `before` was taken (a popup menu has no name)."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            new = self.windows() - before
            if new:
                return new.pop()
            time.sleep(0.05)
        raise Failure("no new window appeared")

    def geometry(self, window):
        values = {}
        for line in self.xdotool("getwindowgeometry", "--shell", window).split():
            key, _, value = line.partition("=")
            values[key] = int(value) if value.lstrip("-").isdigit() else value
        return values["X"], values["Y"], values["WIDTH"], values["HEIGHT"]

    def focus(self, window):
        self.xdotool("windowfocus", "--sync", window)

    def key(self, window, *keys):
        self.focus(window)
        self.xdotool("key", *keys)

    def click(self, x, y, button=1):
        self.xdotool("mousemove", "--sync", x, y, "click", button)

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
        check(connection, "cannot open %s" % self.name)
        try:
            event = ClientMessage(type=33, window=int(window), format=32)  # ClientMessage
            event.message_type = lib.XInternAtom(connection, b"WM_PROTOCOLS", 0)
            event.data[0] = lib.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
            check(lib.XSendEvent(connection, int(window), 0, 0, ctypes.byref(event)),
                  "the close request could not be sent")
        finally:
            lib.XCloseDisplay(connection)

    def screenshot(self, window, path):
        subprocess.run(["import", "-window", window, path], env=self.env, check=True,
                       timeout=30)

    def pixels(self, window):
        """The window's pixels as (width, height, bytes of RGB rows)."""
        data = subprocess.run(["import", "-window", window, "-depth", "8", "ppm:-"],
                              env=self.env, check=True, capture_output=True,
                              timeout=30).stdout
        fields, pos = [], 0
        while len(fields) < 4:
            while data[pos:pos + 1].isspace():
                pos += 1
            start = pos
            while not data[pos:pos + 1].isspace():
                pos += 1
            fields.append(data[start:pos])
        check(fields[0] == b"P6", "not a binary PPM")
        width, height = int(fields[1]), int(fields[2])
        return width, height, data[pos + 1:]


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
            check(remaining > 0, "no line %r; output so far: %r" % (line, self.lines))
            if not self.read_lines(remaining) and self.process.poll() is not None:
                raise Failure("ended before %r; output: %r\n%s" %
                              (line, self.lines, self.stderr()))

    def wait_exit(self, timeout=10):
        try:
            status = self.process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("the process did not end")
        check(status == 0, "ended with status %d\n%s" % (status, self.stderr()))

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()
        self.errors.close()


def closed_port():
    """A loopback port on which nothing listens."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def check_centred(box, over, what):
    x, y, w, h = box
    ox, oy, ow, oh = over
    want_x, want_y = ox + ow // 2 - w // 2, oy + oh // 2 - h // 2
    check(abs(x - want_x) <= 1 and abs(y - want_y) <= 1,
          "%s at %d,%d, not centred (%d,%d)" % (what, x, y, want_x, want_y))


def test_kestrin(display, kestrin, artifacts):
    with tempfile.TemporaryDirectory() as home:
        env = dict(display.env, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
                   KESTRIN_FRONTEND="fltk", KESTRIN_UPDATE_HOST="127.0.0.1",
                   KESTRIN_UPDATE_PORT=str(closed_port()))
        program = Program([kestrin], env)
        try:
            dialog = display.wait_window("Updating System", program=program)
            box = display.geometry(dialog)
            check(box[2:] == (480, 88), "dialog client area %dx%d, not 480x88" % box[2:])
            check_centred(box, (0, 0, SCREEN_W, SCREEN_H), "the dialog")
            display.screenshot(dialog, os.path.join(artifacts, "dialog.png"))

            # Return presses Update; with no server the connection message appears.
            display.key(dialog, "Return")
            message = display.wait_window("kestrin")
            check_centred(display.geometry(message), box, "the message box")
            display.screenshot(message, os.path.join(artifacts, "message.png"))
            display.key(message, "Return")
            display.wait_gone(message)
            check(dialog in display.windows(), "the dialog closed with the message box")

            # The window menu from the keyboard: its About entry opens the About box.
            before = display.windows()
            display.key(dialog, "alt+space")
            display.wait_new_window(before)
            display.xdotool("key", "a")
            about = display.wait_window("About Kestrin")
            about_box = display.geometry(about)
            check(about_box[2:] == dialog_px(235, 55),
                  "About box %dx%d, not %dx%d" % (about_box[2:] + dialog_px(235, 55)))
            check_centred(about_box, box, "the About box")
            display.screenshot(about, os.path.join(artifacts, "about.png"))
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
        finally:
            program.stop()


def test_probe(display, probe, artifacts):
    block_ms = 3000
    program = Program([probe, str(block_ms)], display.env)
    try:
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
        display.screenshot(dialog, os.path.join(artifacts, "probe_running.png"))
        changed = sum(pixel(idle, x, y) != pixel(busy, x, y)
                      for x in range(status_x, status_x + status_w)
                      for y in range(status_y, status_y + status_h))
        check(changed > 20, "the status text set during the handler was not painted")
        quarter = pixel(busy, bar_x + bar_w // 4, bar_y + bar_h // 2)
        three_quarters = pixel(busy, bar_x + bar_w * 3 // 4, bar_y + bar_h // 2)
        check(quarter == (0, 0, 128) and three_quarters != (0, 0, 128),
              "the bar at 50%% was not painted (%r, %r)" % (quarter, three_quarters))

        box = display.wait_window("Probe", timeout=block_ms / 1000 + 10)
        time.sleep(0.7)
        check(box in display.windows(), "keys typed ahead answered the message box")
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
        check("begin 2" not in program.lines, "a click during the run started a second run")
        check(program.process.poll() is None and dialog in display.windows(),
              "input given during the run closed the dialog afterwards")
        idle_again = display.pixels(dialog)
        check(pixel(idle_again, bar_x + bar_w // 4, bar_y + bar_h // 2) != (0, 0, 128),
              "the bar did not go back to 0")

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
    finally:
        program.stop()


def test_close_box(display, probe, artifacts):
    program = Program([probe], display.env)
    try:
        display.close_box(display.wait_window("Updating System", program=program))
        program.wait_line("result 2")
        program.wait_exit()
    finally:
        program.stop()


def test_no_display(probe):
    """Without a display there is no window front end (the program then takes the terminal)."""
    for display in (None, ":65000"):
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        if display is not None:
            env["DISPLAY"] = display
        done = subprocess.run([probe], env=with_leak_suppressions(env), capture_output=True,
                              text=True, timeout=30)
        check(done.returncode == 2 and done.stdout.strip() == "no display",
              "DISPLAY=%s: %r, status %d" % (display, done.stdout, done.returncode))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--kestrin", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--artifacts", required=True)
    args = parser.parse_args()
    os.makedirs(args.artifacts, exist_ok=True)
    failures = 0
    try:
        test_no_display(args.probe)
        print("PASS no display")
    except (Failure, subprocess.SubprocessError, OSError) as error:
        failures += 1
        print("FAIL no display:", error)
    try:
        with Display() as display:
            # One after the other on the one display: each ends its program before the next.
            for name, test, program in (("kestrin", test_kestrin, args.kestrin),
                                        ("probe", test_probe, args.probe),
                                        ("close box", test_close_box, args.probe)):
                try:
                    test(display, program, args.artifacts)
                    print("PASS", name)
                except (Failure, subprocess.SubprocessError, OSError) as error:
                    failures += 1
                    print("FAIL", name + ":", error)
    except (Failure, subprocess.SubprocessError, OSError) as error:
        failures += 1
        print("FAIL display:", error)
    print("screenshots in", args.artifacts)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
