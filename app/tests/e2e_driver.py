#!/usr/bin/python3
# Drives the running program as a person would, for the end-to-end suite: finds controls by their
# names through the accessibility bus (AT-SPI) and presses them, reads the texts on screen, and
# clicks the tray icon with the pointer (xdotool). Needs the program's DISPLAY and session bus.
#
#   e2e_driver.py wait-app PID [TIMEOUT]          the program is on the accessibility bus
#   e2e_driver.py press PID NAME [TIMEOUT]        press the enabled button named NAME (wrapped or not)
#   e2e_driver.py wait-text PID TEXT [TIMEOUT]    some label or button shows TEXT (substring)
#   e2e_driver.py gone-text PID TEXT [TIMEOUT]    no label or button shows TEXT any more
#   e2e_driver.py texts PID                       every visible text, one per line
#   e2e_driver.py windows PID                     the program's shown top-level windows
#   e2e_driver.py xwindows PID                    the program's visible X windows: X Y W H
#   e2e_driver.py tray PID                        the tray icon's rectangle: X Y W H
#   e2e_driver.py click-tray PID left|right       click the middle of the tray icon
#   e2e_driver.py window PID TITLE [TIMEOUT]      a visible window of the program titled TITLE:
#                                                 its id and _NET_WM_WINDOW_TYPE
#   e2e_driver.py no-window PID TITLE [TIMEOUT]   no visible window of the program is titled TITLE
#   e2e_driver.py contrast PID X Y W H            contrast of the ink in that part of the screen
#                                                 with its commonest colour (the bar)
#   e2e_driver.py sni-icon PID                    where the last icon of a StatusNotifierItem host's
#                                                 bar (gtk-sni-tray-standalone --end) is: X Y
# Exit status 0 = done, 1 = not found in time.
import subprocess, sys, time

import pyatspi
from gi.repository import GLib

pyatspi.setTimeout(3000, -1)


def wait_for(what, fn, timeout):
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = fn()
        except GLib.Error:  # an object vanished while the tree was walked
            result = None
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout}s waiting for {what}")
        time.sleep(0.05)


def find_app(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except GLib.Error:
            pass


def showing(o):
    return o.getState().contains(pyatspi.STATE_SHOWING)


def controls(app):
    wanted = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON, pyatspi.ROLE_LABEL, pyatspi.ROLE_CHECK_BOX,
              pyatspi.ROLE_LINK)
    return pyatspi.findAllDescendants(app, lambda o: o is not None and o.getRole() in wanted and showing(o))


def texts(app):
    out = []
    for o in controls(app):
        for text in (o.name, o.description):
            if text:
                out.append(text)
    return out


def words(text):
    # A button's text as one line: a long one is wrapped onto several.
    return " ".join(text.split()) if text else text


def enabled(o):
    state = o.getState()
    return state.contains(pyatspi.STATE_ENABLED) and state.contains(pyatspi.STATE_SENSITIVE)


def press(o):
    action = o.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    for want in ("Press", "press", "click"):
        if want in names:
            try:
                action.doAction(names.index(want))
            except GLib.Error as error:  # a handler running a nested loop answers late
                if "Did not receive a reply" not in str(error):
                    raise
            return True
    raise RuntimeError(f"no press action among {names}")


def xdotool(*args):
    # A search that finds nothing exits 1: that is an empty answer here, not an error.
    return subprocess.run(["xdotool", *args], capture_output=True, text=True).stdout


def geometry(window):
    # X Y W H of an X window, or None when it is gone.
    shell = dict(line.strip().split("=", 1) for line in
                 xdotool("getwindowgeometry", "--shell", window).splitlines() if "=" in line)
    return tuple(int(shell[k]) for k in ("X", "Y", "WIDTH", "HEIGHT")) if shell else None


def tray_rect(pid):
    # The icon is the program's small window docked in the tray (XEmbed) at the top of the screen.
    best = None
    for window in xdotool("search", "--pid", str(pid)).split():
        rect = geometry(window)
        if rect and 8 <= rect[2] <= 64 and 8 <= rect[3] <= 64 and rect[1] < 64:
            best = rect
    return best


def sni_icon():
    # The host draws the icons itself, at its bar's right end; ours is the last one there.
    windows = xdotool("search", "--onlyvisible", "--class", "gtk-sni-tray").split()
    rect = geometry(windows[-1]) if windows else None
    return (rect[0] + rect[2] - 15, rect[1] + rect[3] // 2) if rect and rect[2] > 0 else None


def window_type(window):
    return subprocess.run(["xprop", "-id", window, "_NET_WM_WINDOW_TYPE"], capture_output=True,
                          text=True).stdout.split("=")[-1].strip()


def titled(pid, title):
    # Ordinary windows only: Qt names the tray icon's and the panels' windows after the program too.
    return [w for w in xdotool("search", "--onlyvisible", "--pid", str(pid), "--name", f"^{title}$").split()
            if window_type(w) == "_NET_WM_WINDOW_TYPE_NORMAL"]


def luminance(r, g, b):
    lin = [c / 255 / 12.92 if c / 255 <= 0.04045 else ((c / 255 + 0.055) / 1.055) ** 2.4 for c in (r, g, b)]
    return 0.2126 * lin[0] + 0.7152 * lin[1] + 0.0722 * lin[2]


def contrast(x, y, w, h):
    raw = subprocess.run(["import", "-window", "root", "-crop", f"{w}x{h}+{x}+{y}", "-depth", "8", "rgb:-"],
                         capture_output=True).stdout
    pixels = [tuple(raw[i:i + 3]) for i in range(0, len(raw) - 2, 3)]
    bar = max(set(pixels), key=pixels.count)
    lb = luminance(*bar)
    ratio = lambda p: (max(luminance(*p), lb) + 0.05) / (min(luminance(*p), lb) + 0.05)
    # The ink: the most contrasting colour that covers a few pixels (not a stray edge pixel).
    inks = [p for p in set(pixels) if pixels.count(p) >= 4]
    return max(ratio(p) for p in inks), bar


def main(argv):
    command, pid = argv[1], int(argv[2])
    rest = argv[3:]
    if command == "tray":
        rect = wait_for("the tray icon", lambda: tray_rect(pid), float(rest[0]) if rest else 30)
        print(*rect)
        return 0
    if command == "xwindows":
        for window in xdotool("search", "--onlyvisible", "--pid", str(pid)).split():
            rect = geometry(window)
            if rect:
                print(*rect)
        return 0
    if command in ("window", "no-window"):
        title = rest[0]
        timeout = float(rest[1]) if len(rest) > 1 else 30
        if command == "no-window":
            wait_for(f"no window {title!r}", lambda: not titled(pid, title), timeout)
            return 0
        window = wait_for(f"a window {title!r}", lambda: titled(pid, title), timeout)[0]
        print(window, window_type(window))
        return 0
    if command == "contrast":
        ratio, bar = contrast(*map(int, rest[:4]))
        print(f"{ratio:.2f}", "bar", *bar)
        return 0
    if command == "sni-icon":
        print(*wait_for("the StatusNotifierItem host's bar", sni_icon, 10))
        return 0
    if command == "click-tray":
        x, y, w, h = wait_for("the tray icon", lambda: tray_rect(pid), 30)
        xdotool("mousemove", str(x + w // 2), str(y + h // 2))
        time.sleep(0.1)
        xdotool("click", "1" if rest[0] == "left" else "3")
        return 0
    timeout = 30.0  # generous: a loaded machine may take long to start the first program
    app = wait_for(f"program {pid} on the accessibility bus", lambda: find_app(pid), timeout)
    if command == "wait-app":
        return 0
    if command == "press":
        name = rest[0]
        timeout = float(rest[1]) if len(rest) > 1 else timeout
        button = wait_for(f"enabled button {name!r}", lambda: next(
            (o for o in controls(app) if o.getRole() in (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_TOGGLE_BUTTON)
             and name in (words(o.name), words(o.description)) and enabled(o)), None), timeout)
        press(button)
        return 0
    if command in ("wait-text", "gone-text"):
        text = rest[0]
        timeout = float(rest[1]) if len(rest) > 1 else timeout
        present = lambda: any(text in t for t in texts(app))
        try:
            wait_for(f"text {text!r}", present if command == "wait-text" else lambda: not present(), timeout)
        except TimeoutError:
            print("texts on screen:", texts(app), file=sys.stderr)
            for window in app:
                if window is not None:
                    print("window:", window.getRoleName(), repr(window.name), "showing" if showing(window) else
                          "hidden", file=sys.stderr)
            raise
        return 0
    if command == "texts":
        print("\n".join(texts(app)))
        return 0
    if command == "windows":
        for window in app:
            if window is not None:
                print(window.getRoleName(), repr(window.name), showing(window), window.childCount)
        return 0
    raise SystemExit(f"unknown command {command}")


if __name__ == "__main__":
    try:
        sys.exit(main(sys.argv))
    except TimeoutError as error:
        print(error, file=sys.stderr)
        sys.exit(1)
