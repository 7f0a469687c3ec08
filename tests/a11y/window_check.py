#!/usr/bin/python3
"""The window as a screen reader and a keyboard user meet it, over the accessibility bus.

Run by scripts/a11y-check inside a private D-Bus session with the accessibility bus up, the tool
started on a private X display against qmr7-sim. Reads the window through AT-SPI (what a screen
reader reads) and drives it with keys alone (xdotool: no clicks, no coordinates):

  window_check.py LANG PTY A2DP SHOT_DIR TOOL_PID
    every showing focusable object of the window, on every page, has a name and a role; then the
    port is opened, the pages gone round with Ctrl+Tab and back with Ctrl+Shift+Tab, the A2DP
    share set to A2DP on its page and saved, the restore question answered No, and the window
    closed with Exit, each step found by what has the focus. Screenshots of the focus on the port
    list and on the spin control go to SHOT_DIR, and of the screen when a step failed. Exits
    non-zero with the reason on a failure; QMR7_A11Y_DEBUG=1 prints every move of the focus.
"""
import os
import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

LIMIT = 30.0  # seconds any one state may take to come
TOOL_PID = 0

TEXTS = {
    "en": {
        "title": "QM-R7 Tool Program",
        "note": "Note",
        "prompt": "Please select COM Port and open COM Port.",
        "ports": "Select COM Port",
        "open": "Open COM Port",
        "a2dp_page": "A2DP music setting",
        "a2dp": "The percentage of A2DP music volume among the mixed audio",
        "save": "Save",
        "restore": "Restore default settings",
        "question": "Are you sure to restore the default settings?",
        "exit": "Exit",
        "read": "The device's settings have been read.",
        "saved": "Save successfully.",
        "version": "Firmware version: V1.23",
    },
    "ja": {
        "title": "QM-R7設定ツール",
        "note": "注意",
        "prompt": "COMポートを選択してから開いてください。",
        "ports": "COMポートを選択",
        "open": "COMポートを開く",
        "a2dp_page": "A2DP音量設定",
        "a2dp": "A2DPの音量調整比率",
        "save": "保存",
        "restore": "リセット",
        "question": "リセットしますか？",
        "exit": "閉じる",
        "read": "デバイスの設定を読み込みました。",
        "saved": "保存されました。",
        "version": "ファームウエアバージョン V1.23",
    },
}


class Failure(Exception):
    pass


def pump():
    context = GLib.MainContext.default()
    while context.iteration(False):
        pass


def wait_for(what, probe, limit=LIMIT):
    """Polls `probe` until it returns something true; fails after `limit` seconds."""
    deadline = time.monotonic() + limit
    while True:
        pump()
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure("waited %.0f s for %s" % (limit, what))
        time.sleep(0.05)


def walk(node, path=()):
    try:
        name = node.name
        role = node.getRoleName()
        count = node.childCount
    except Exception:  # the object went while it was read
        return
    here = path + ("%s '%s'" % (role, name),)
    yield node, here
    for i in range(count):
        try:
            child = node.getChildAtIndex(i)
        except Exception:
            continue
        if child is not None:
            yield from walk(child, here)


def application():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        app = desktop.getChildAtIndex(i)
        if app is not None and app.name == "qmr7-tool":
            app.clearCache()
            return app
    return None


def top_level(name_start):
    app = application()
    if app is None:
        return None
    for i in range(app.childCount):
        window = app.getChildAtIndex(i)
        if window is not None and window.name.startswith(name_start):
            if window.getState().contains(pyatspi.STATE_SHOWING):
                return window
    return None


def focused(window):
    """The object with the keyboard focus, read afresh: the deepest one that says it has it (a
    control whose focus goes to a part of it says so too)."""
    application()
    found = None
    for node, path in walk(window):
        if not node.getState().contains(pyatspi.STATE_FOCUSED):
            continue
        # A list's current line and the current page's tab say they are focused even while their
        # list is not.
        parent = node.parent
        if (parent is not None
                and parent.getRoleName() in ("list", "list box", "table", "page tab list")
                and not parent.getState().contains(pyatspi.STATE_FOCUSED)):
            continue
        found = (node, " > ".join(path))
    return found


def keys(*names):
    subprocess.run(["xdotool", "key", "--delay", "80"] + list(names), check=True)


def focus_x_window(title_start):
    """No window manager runs: the X focus is given to the tool's window by hand, as a person's
    click on the task bar would."""
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(TOOL_PID)],
                         capture_output=True, text=True).stdout.split()
    for window_id in ids:
        name = subprocess.run(["xdotool", "getwindowname", window_id], capture_output=True,
                              text=True).stdout.strip()
        if name.startswith(title_start):
            subprocess.run(["xdotool", "windowfocus", "--sync", window_id], check=False)
            return window_id
    raise Failure("no X window of the tool named %s..." % title_start)


def check_names(window, where):
    """Every showing focusable object has a name and a role."""
    faults = []
    for node, path in walk(window):
        states = node.getState()
        if not (states.contains(pyatspi.STATE_SHOWING) and states.contains(pyatspi.STATE_FOCUSABLE)):
            continue
        role = node.getRoleName()
        if not node.name.strip() or role in ("", "unknown", "invalid"):
            faults.append(" > ".join(path))
    if faults:
        raise Failure("unnamed focusable objects (%s):\n  " % where + "\n  ".join(faults))
    count = sum(1 for node, _ in walk(window)
                if node.getState().contains(pyatspi.STATE_SHOWING)
                and node.getState().contains(pyatspi.STATE_FOCUSABLE))
    print("ok    %d showing focusable objects named (%s)" % (count, where))


def answer_note(texts, expected):
    """A message box: a reader meets it as an alert with its text; Enter answers it."""
    note = wait_for("the note '%s'" % expected, lambda: top_level(texts["note"]))
    role = note.getRoleName()
    heard = [node.name for node, _ in walk(note)]
    if role not in ("alert", "dialog") or not any(expected in h for h in heard):
        raise Failure("the note reads as %s %s, not an alert saying '%s'" % (role, heard, expected))
    focus_x_window(texts["note"])
    keys("Return")
    wait_for("the note to close", lambda: top_level(texts["note"]) is None)
    print("ok    note read as %s: %s" % (role, expected))


def tab_to(window, what, test, key="Tab", presses=20):
    """Tab until `test` holds for the focused object, or for the control whose line has it."""
    seen = []
    node, where = wait_for("a focused object", lambda: focused(window))
    for _ in range(presses):
        for candidate in (node, node.parent):
            if candidate is not None and test(candidate):
                return candidate
        seen.append("%s '%s'" % (node.getRoleName(), node.name))
        keys(key)
        # The key is taken when the focus has moved; reading before would see the old place.
        before = where
        node, where = wait_for("the focus to move with %s" % key, lambda: (
            lambda now: now if now is not None and now[1] != before else None)(focused(window)))
        if os.environ.get("QMR7_A11Y_DEBUG"):
            print("  %s -> %s" % (key, where))
    raise Failure("%s never took the focus from the keyboard; it went %s" % (what, seen))


def shot(window_id, path):
    subprocess.run(["import", "-window", window_id, path], check=False)


def main():
    global TOOL_PID
    lang, pty, a2dp, shots = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    TOOL_PID = int(sys.argv[5])
    texts = TEXTS[lang]
    try:
        window = wait_for("the window on the accessibility bus", lambda: top_level(texts["title"]))
        answer_note(texts, texts["prompt"])
        x_window = focus_x_window(texts["title"])
        check_names(window, "no port open")

        ports = tab_to(window, "the port list", lambda n: n.name == texts["ports"])
        if ports.getRoleName() not in ("list", "list box", "table"):
            raise Failure("the port list reads as %s" % ports.getRoleName())
        shot(x_window, "%s/focus-list-%s.png" % (shots, lang))
        tab_to(window, "Open", lambda n: n.name == texts["open"])
        # What a screen reader is told, as it is told: the bus's change events.
        heard = []

        def hear(event):
            try:
                heard.append((event.type, event.source.getRoleName(), event.source.name,
                              event.source.description))
            except Exception:  # the source went meanwhile
                pass

        pyatspi.Registry.registerEventListener(hear, "object:property-change:accessible-name",
                                               "object:property-change:accessible-description")
        keys("space")
        def statuses():
            application()
            return [node for node, _ in walk(window) if node.getRoleName() == "status bar"]

        try:
            status = wait_for("the version and the end of the read chain", lambda: [
                node for node in statuses()
                if node.name == texts["version"] and node.description == texts["read"]])
        except Failure:
            raise Failure("the read chain's end was not heard; the statuses read %s" %
                          [(node.name, node.description) for node in statuses()])
        print("ok    port opened; the status reads '%s', '%s'" %
              (status[0].name, status[0].description))
        wait_for("the end of the read chain to be announced", lambda: any(
            role == "status bar" and description == texts["read"]
            for _, role, _, description in heard))
        pyatspi.Registry.deregisterEventListener(hear, "object:property-change:accessible-name",
                                                 "object:property-change:accessible-description")
        print("ok    the end of the read chain was announced on the bus")
        check_names(window, "port open, first page")

        tab_list = next(node for node, _ in walk(window) if node.getRoleName() == "page tab list")

        captions = [tab_list.getChildAtIndex(i).name for i in range(tab_list.childCount)]

        def page_shown():
            """The page in front: the one whose sheet, named as its tab, is showing."""
            application()  # a fresh read of the tree
            for node, _ in walk(window):
                if (node.name in captions and node.getRoleName() != "page tab"
                        and node.getState().contains(pyatspi.STATE_SHOWING)):
                    return node.name
            return None

        def next_page(key):
            before = page_shown()
            keys(key)
            return wait_for("%s to change the page" % key, lambda: (page_shown() or before) != before
                            and page_shown())

        # Round the four pages to the first again, then back three to the A2DP page.
        pages = [page_shown()]
        for _ in range(4):
            pages.append(next_page("ctrl+Tab"))
            check_names(window, "port open, page '%s'" % pages[-1])
        if pages[-1] != pages[0] or len(set(pages)) != 4:
            raise Failure("Ctrl+Tab went round the pages as %s" % pages)
        back = [next_page("ctrl+shift+Tab") for _ in range(3)]
        if back != [pages[3], pages[2], pages[1]] or back[-1] != texts["a2dp_page"]:
            raise Failure("Ctrl+Shift+Tab went back as %s" % back)
        print("ok    Ctrl+Tab and Ctrl+Shift+Tab move between the pages: %s" % pages[:4])

        spin = tab_to(window, "the A2DP spin control",
                      lambda n: n.name == texts["a2dp"] and n.getRoleName() == "spin button")
        start = int(spin.queryValue().currentValue)
        keys(*(["Up"] * (a2dp - start)))
        wait_for("the spin control at %d" % a2dp,
                 lambda: int(spin.queryValue().currentValue) == a2dp)
        shot(x_window, "%s/focus-spin-%s.png" % (shots, lang))
        print("ok    the A2DP share stepped from %d to %d with the Up key" % (start, a2dp))
        tab_to(window, "Save", lambda n: n.name == texts["save"]
               and n.getState().contains(pyatspi.STATE_SHOWING))
        keys("space")
        answer_note(texts, texts["saved"])

        # The question's default answer is No: Enter keeps the settings (read back afterwards).
        focus_x_window(texts["title"])
        tab_to(window, "Restore", lambda n: n.name == texts["restore"])
        keys("space")
        answer_note(texts, texts["question"])

        focus_x_window(texts["title"])
        tab_to(window, "Exit", lambda n: n.name == texts["exit"])
        keys("space")
        wait_for("the window to close", lambda: top_level(texts["title"]) is None)
        print("ok    closed with Exit")
    except Failure as failure:
        print("FAIL  %s (%s)" % (failure, lang), file=sys.stderr)
        subprocess.run(["import", "-window", "root", "%s/failure-%s.png" % (shots, lang)],
                       check=False)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
