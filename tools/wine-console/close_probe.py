#!/usr/bin/env python3
"""What Wine does to a console program whose console window is closed.

  close_probe.py WORKDIR [destroy|kill-client|alt-f4|wm-delete|ctrl-c]...

Needs Xvfb and xdotool (apt-get install xvfb xdotool), mingw-w64 and Wine;
nothing in ./run-tests uses it. It builds close_probe.c, starts a private
Xvfb, and for each way of closing (all when none is named) runs the probe
under `wine wineconsole.exe` (a console with a real window on that
display), closes the window that way, waits 15 s and prints the probe's
log (every control event it was sent) and whether it still runs:

  destroy      xdotool windowclose: the X window destroyed (XDestroyWindow)
  kill-client  xdotool windowkill: the console's X connection cut (XKillClient)
  alt-f4       Alt+F4 typed into the focused window (XTEST)
  wm-delete    WM_DELETE_WINDOW, what a window manager sends when its close
               button is clicked
  ctrl-c       Ctrl+C typed into the focused window: the handler's check
"""
import ctypes
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, "..", "wine-run")
WAIT_AFTER_S = 15
SETTLE_S = 5


def send_wm_delete(window, display_name):
    """A WM_PROTOCOLS client message carrying WM_DELETE_WINDOW."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                    ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.POINTER(Event)]
    x11.XFlush.argtypes = [ctypes.c_void_p]
    display = x11.XOpenDisplay(display_name.encode())
    if not display:
        raise RuntimeError("no X display " + display_name)
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(display, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(display, b"WM_DELETE_WINDOW", 0)
    x11.XSendEvent(display, window, 0, 0, ctypes.byref(event))
    x11.XFlush(display)


def xdotool(env, *args):
    return subprocess.run(["xdotool"] + list(args), env=env, capture_output=True, check=False).stdout.decode()


def close(method, window, env):
    if method == "destroy":
        xdotool(env, "windowclose", str(window))
    elif method == "kill-client":
        xdotool(env, "windowkill", str(window))
    elif method == "wm-delete":
        send_wm_delete(window, env["DISPLAY"])
    else:
        xdotool(env, "windowfocus", "--sync", str(window))
        xdotool(env, "key", "alt+F4" if method == "alt-f4" else "ctrl+c")


def running(prefix):
    alive = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                command = f.read()
            with open(f"/proc/{entry}/environ", "rb") as f:
                environment = f.read().split(b"\0")
            with open(f"/proc/{entry}/stat", "rb") as f:
                zombie = f.read().split(b") ")[1].startswith(b"Z")
        except OSError:
            continue
        if not zombie and ("WINEPREFIX=" + prefix).encode() in environment and (
                b"close_probe" in command or b"conhost" in command):
            alive.append(command.split(b"\0")[0].decode("latin-1"))
    return alive


def probe(method, workdir, env):
    log = os.path.join(workdir, method + ".log")
    if os.path.exists(log):
        os.remove(log)
    console = subprocess.Popen([WINE_RUN, "wineconsole.exe", os.path.join(workdir, "close_probe.exe"),
                                "Z:" + log.replace("/", "\\")], env=env, stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    window = None
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline and not (window and os.path.exists(log)):
        time.sleep(0.5)
        found = xdotool(env, "search", "--name", "close_probe.exe").split()
        window = int(found[0]) if found else None
    if window is None:
        print(f"{method}: the probe's console window never appeared")
        return
    # The window takes its protocols and its focus a moment after it shows.
    time.sleep(SETTLE_S)
    close(method, window, env)
    time.sleep(WAIT_AFTER_S)
    with open(log, encoding="latin-1") as f:
        print(f"== {method}: log\n{f.read().rstrip()}")
    alive = running(env["FWU_WINEPREFIX"])
    print(f"== {method}: {WAIT_AFTER_S} s after the close, still running: {', '.join(alive) or 'nothing'}")
    subprocess.run(["wineserver", "-k"], env=env, check=False)
    console.wait(timeout=60)


def main(argv):
    if not argv:
        print(__doc__)
        return 2
    methods = argv[1:] or ["destroy", "kill-client", "alt-f4", "wm-delete", "ctrl-c"]
    workdir = os.path.abspath(argv[0])
    os.makedirs(workdir, exist_ok=True)
    for tool in ("Xvfb", "xdotool", "x86_64-w64-mingw32-gcc", "wine"):
        if shutil.which(tool) is None:
            print(f"close_probe: {tool} is missing")
            return 2
    subprocess.run(["x86_64-w64-mingw32-gcc", "-O1", "-o", os.path.join(workdir, "close_probe.exe"),
                    os.path.join(HERE, "close_probe.c")], check=True)
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24"],
                            pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        display = f.readline().strip()
    env = dict(os.environ, DISPLAY=":" + display, FWU_WINEPREFIX=os.path.join(workdir, "prefix"))
    env["WINEPREFIX"] = env["FWU_WINEPREFIX"]
    try:
        subprocess.run(["wine", "--version"], env=env, check=False)
        for method in methods:
            probe(method, workdir, env)
    finally:
        subprocess.run(["wineserver", "-k"], env=env, check=False)
        xvfb.terminate()
        xvfb.wait()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
