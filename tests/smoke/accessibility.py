#!/usr/bin/env python3
"""Starts the program on an X display with an accessibility bus and listens to it as a
screen reader does (AT-SPI): closes the about window by its OK button, then checks that
the main window reads as a window, that every control of the main window and of the
directory chooser has a name, that the run's hidden lists are not there, that the
chooser's path box is named by its label, and that the icon of the message box a path no
drive reaches brings says it is an error.

    accessibility.py PROGRAM

Exits 77 (skipped) only when no session bus can be started."""

import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


def start_session_bus():
    """A private session bus for this test; None when none can be started."""
    daemon = shutil.which("dbus-daemon")
    if daemon is None:
        return None
    try:
        out = subprocess.run(
            [daemon, "--session", "--fork", "--print-address=1", "--print-pid=1"],
            capture_output=True, text=True, timeout=20, check=True).stdout.split()
    except (subprocess.SubprocessError, OSError):
        return None
    if len(out) < 2:
        return None
    return out[0], int(out[1])


def wait_for(what, find, seconds=30):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = find()
        if found is not None:
            return found
        time.sleep(0.2)
    sys.exit(f"accessibility: {what} never appeared")


def children(acc):
    result = []
    for i in range(acc.childCount):
        child = acc.getChildAtIndex(i)
        if child is not None:
            result.append(child)
    return result


def descendants(acc):
    for child in children(acc):
        yield child
        yield from descendants(child)


def main():
    program = sys.argv[1]
    bus = start_session_bus()
    if bus is None:
        print("accessibility: no session bus could be started; skipped")
        return SKIP
    address, bus_pid = bus
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
    os.environ["NO_AT_BRIDGE"] = "0"
    import pyatspi  # connects to the bus named in the environment
    from gi.repository import GLib

    work = tempfile.mkdtemp()
    os.mkdir(os.path.join(work, "zips"))
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1",
               QT_QPA_PLATFORM="xcb", HOME=work)
    proc = subprocess.Popen([program], cwd=os.path.join(work, "zips"), env=env)
    failures = []
    try:
        desktop = pyatspi.Registry.getDesktop(0)

        def app():
            for candidate in children(desktop):
                if (candidate.name or "").lower() == "velmarch":
                    return candidate
            return None

        def window(title):
            def find():
                application = app()
                if application is None:
                    return None
                for frame in children(application):
                    if frame.name == title and \
                            frame.getState().contains(pyatspi.STATE_SHOWING):
                        return frame
                return None
            return wait_for(f'the window "{title}"', find)

        def named(root, name, role=None):
            for acc in descendants(root):
                if acc.name == name and (role is None or acc.getRoleName() == role):
                    return acc
            return None

        def press(root, name, opens_modal=False):
            button = named(root, name)
            if button is None:
                failures.append(f'no control named "{name}" to press')
                return
            if not opens_modal:
                button.queryAction().doAction(0)
                return
            # The program answers only when the modal window it opens is closed again.
            pyatspi.setTimeout(1000, 15000)
            try:
                button.queryAction().doAction(0)
            except GLib.GError:
                pass

        about = window("About Velmarch")
        press(about, "OK")
        main_window = window("Velmarch v1.1")

        print(f"heard in the main window ({main_window.getRoleName()}):")
        if main_window.getRoleName() != "frame":
            failures.append(f"the main window reads as a {main_window.getRoleName()}, "
                            "not as a window (frame)")
        for acc in descendants(main_window):
            print(f"  {acc.getRoleName():>14}  {acc.name!r}  {acc.description!r}")

        top = sorted(child.name for child in children(main_window))
        if top != sorted(["Select Source", "Status", "Unzip", "Awaiting your command!"]):
            failures.append(f"the window's own controls are {top}: hidden lists exposed?")

        expected = [
            ("list", "Source folder"),
            ("check box", "Delete File when done unziping?"),
            ("check box", "Pause and wait if disk space falls below"),
            ("text", "Free-space threshold in megabytes"),
            ("check box", "Use Destination Directory"),
            ("text", "Destination directory"), ("check box", "Save log when done"),
            ("progress bar", "Current archive progress"), ("progress bar", "Overall progress"),
            ("list", "Log"), ("push button", "Unzip"), ("push button", "Abort"),
        ]
        for role, name in expected:
            if named(main_window, name, role) is None:
                failures.append(f'main window: no {role} named "{name}"')
        # On Linux a drive box is named by its value, the drive shown; what it is for is
        # its description.
        drives = [acc for acc in descendants(main_window) if acc.getRoleName() == "combo box"]
        if [acc.description for acc in drives] != ["Source drive"]:
            failures.append("main window: the drive list is not described as the source drive")
        folder = named(main_window, "Source folder")
        if folder is not None and not folder.description:
            failures.append("main window: the source folder list has no description")
        for acc in descendants(main_window):
            # A drive box's drop-down list is part of the box, which carries the name.
            if acc.parent is not None and acc.parent.getRoleName() == "combo box":
                continue
            if acc.getRoleName() in ("text", "list", "progress bar", "combo box", "check box",
                                     "push button") and not acc.name.strip():
                failures.append(f"main window: a {acc.getRoleName()} without a name")

        press(main_window, "Use Destination Directory", opens_modal=True)
        chooser = window("Select a directory?")
        print("heard in the chooser:")
        for acc in descendants(chooser):
            print(f"  {acc.getRoleName():>14}  {acc.name!r}  {acc.description!r}")
        label = "Select a directory, or Network path type it in below: eg. //pc/zips/new"
        path_box = named(chooser, label, "text")
        if path_box is None:
            failures.append("chooser: the path box is not named by its label")
        for role, name in [("list", "Folder"),
                           ("push button", "APPLY"), ("push button", "ABORT")]:
            if named(chooser, name, role) is None:
                failures.append(f'chooser: no {role} named "{name}"')
        typed = path_box.queryText().getText(0, -1) if path_box is not None else ""
        if path_box is not None:
            # A name holding a backslash, which no DOS path can carry: refused with an error.
            path_box.queryEditableText().setTextContents(os.path.join(work, "a\\b"))
            press(chooser, "APPLY", opens_modal=True)
            box = window("Velmarch")
            print(f"heard in the message box ({box.getRoleName()}):")
            for acc in descendants(box):
                print(f"  {acc.getRoleName():>14}  {acc.name!r}  {acc.description!r}")
            if named(box, "Error") is None:
                failures.append("message box: its icon does not say it is an error")
            press(box, "OK")
            path_box.queryEditableText().setTextContents(typed)
        press(chooser, "APPLY")

        destination = named(main_window, "Destination directory", "text")
        if destination is not None:
            wanted = typed + "\\"
            got = wait_for("the applied destination",
                           lambda: destination.queryText().getText(0, -1) or None)
            if got != wanted:
                failures.append(f"destination box reads {got!r} after APPLY, not {wanted!r}")
    finally:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
        try:
            os.kill(bus_pid, 15)
        except OSError:
            pass
        shutil.rmtree(work, ignore_errors=True)

    for failure in failures:
        print("accessibility: " + failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
