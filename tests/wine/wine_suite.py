#!/usr/bin/env python3
"""End-to-end tests of the real Quorin64.exe programs under Wine.

The x64 program runs under the host's Wine 8; the x86 program under WoW64,
in the Debian 13 root with Wine 10 that kit/lib/wine32.sh sets up (or under
the host's Wine where the host runs 32-bit code). Per program one prefix
serves the whole run; each `run` keeps one wineserver (and, for the root,
one namespace) for all its cases:

    wine_suite.py OPTIONS setup          create the prefix
    wine_suite.py OPTIONS run GROUP...   run case groups in that prefix
    wine_suite.py OPTIONS cleanup        stop the server, remove the prefix
    wine_suite.py OPTIONS all            all three, the server stopped on
                                         every path

Every case seeds the device registry, starts the program through runner.exe
with exact command-line bytes, and checks the full 32-bit exit code, the
message boxes it raised, what the driver update was handed, and the whole
Enum tree afterwards. The "real" group goes through Wine's own newdev and
setupapi; the others through the test newdev.dll, the prefix's
system-directory newdev.dll, loaded with WINEDLLOVERRIDES=newdev=n, whose
answers are scripted per call; "setup" runs the example NSIS and Inno Setup
setups and their uninstallers (32-bit programs: for the x64 program too,
they run in the 32-bit root where the host has no 32-bit Wine, on an Xvfb
display of the suite's own); "msi" installs and removes the example Windows
Installer packages with msiexec (x64 program only), the double answering
for the program their custom action starts; "try" runs kit/try-package.sh
(x64 only), which builds and tries a driver package on a machine of its own.
"""
import argparse
import os
import re
import signal
import subprocess
import sys
import threading
import time
import traceback

from suite.checks import PROGRAMS, Case
from suite.common import MSI_PACKAGES
from suite.context import Context
from suite.groups import (access, arguments, concurrent, msi, outcomes, real, refusals,
                          relaunch, retry, setup, try_package)
from suite.target import THIRTY_TWO_BIT_GROUPS, Target

GROUPS = {
    "real": real.CASES,
    "outcomes": outcomes.CASES,
    "relaunch": relaunch.CASES,
    "retry": retry.CASES,
    "arguments": arguments.CASES,
    "refusals": refusals.CASES,
    "access": access.CASES,
    "concurrent": concurrent.CASES,
    "setup": setup.CASES,
    "msi": msi.CASES,
    "try": try_package.CASES,
}


def group_cases(group, program):
    return [body for body in GROUPS[group] if program in getattr(body, "programs", PROGRAMS)]


# ---------------------------------------------------------------------------
# Running


class Display:
    """An Xvfb of the suite's own, for groups whose programs need a display
    (an Inno Setup setup builds its wizard window even when very silent),
    and a watcher that clicks OK on the x86 program's "Debug" box, which
    then really waits. Wine in the 32-bit root reaches it too: the X
    server's abstract socket is shared with the namespace."""

    def __init__(self, work):
        self.log = os.path.join(work, "xvfb.log")

    def start(self):
        read, write = os.pipe()
        with open(self.log, "ab") as log:
            self.server = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0",
                 "1024x768x24"], pass_fds=(write,), stdin=subprocess.DEVNULL,
                stdout=log, stderr=log)
        os.close(write)
        with os.fdopen(read, "rb") as f:
            number = f.readline().strip()  # once the server is ready
        if not number.isdigit():
            self.server.kill()
            self.server.wait()
            raise RuntimeError("Xvfb did not start: see %s" % self.log)
        self.name = ":" + number.decode()
        self.stopping = threading.Event()
        self.watcher = threading.Thread(target=self.dismiss_debug_boxes, daemon=True)
        self.watcher.start()
        return self.name

    def dismiss_debug_boxes(self):
        env = dict(os.environ, DISPLAY=self.name)
        while not self.stopping.wait(0.2):
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Debug$"],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            for window in found.stdout.split():
                # Focus, then the key: Xvfb has no window manager that
                # windowactivate could ask.
                try:
                    subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Return"],
                                   env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=30)
                except subprocess.TimeoutExpired:
                    pass

    def stop(self):
        self.stopping.set()
        self.watcher.join()
        self.server.terminate()
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()


# Groups that need a display.
DISPLAY_GROUPS = ("setup",)


def run_groups(wine, names):
    """Runs the groups' cases for one program with one server (and, in the
    32-bit root, one namespace, which ends with this process at the latest)."""
    display = None
    if any(name in DISPLAY_GROUPS for name in names):
        display = Display(wine.work)
        wine.env["DISPLAY"] = display.start()
    try:
        return run_cases(wine, names)
    finally:
        if display:
            display.stop()
            del wine.env["DISPLAY"]


def run_cases(wine, names):
    wine.begin()
    ctx = Context(wine)
    passed = failed = 0
    # QUORIN_WINE_CASES: a pattern; only the cases whose "group: name" it
    # finds run (while working on a few rows of a slow group).
    chosen = re.compile(os.environ.get("QUORIN_WINE_CASES", ""))
    for group in names:
        for body in group_cases(group, wine.name):
            case = Case(body.__name__.replace("_", " "))
            if not chosen.search("%s: %s" % (group, case.name)):
                continue
            started = time.monotonic()
            try:
                body(ctx, case)
            except Exception:
                case.failures.append("error:\n" + traceback.format_exc())
            seconds = time.monotonic() - started
            status = "PASS" if not case.failures else "FAIL"
            print("%s  %-66s %5.2fs" % (status, "%s %s: %s" % (wine.name, group, case.name),
                                        seconds))
            for failure in case.failures:
                print("      " + failure)
            sys.stdout.flush()
            if case.failures:
                failed += 1
            else:
                passed += 1
    wine.end()
    print("%d passed, %d failed" % (passed, failed))
    return failed == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target", required=True, choices=PROGRAMS, help="which program")
    parser.add_argument("--program", required=True, help="that Quorin64.exe")
    parser.add_argument("--helpers", required=True, help="folder of the built helpers")
    parser.add_argument("--inf", required=True, help="the test driver package's INF")
    parser.add_argument("--work", required=True, help="folder for the prefixes and the cases")
    parser.add_argument("--iscc", help="Inno Setup's ISCC.exe, for the setup group")
    parser.add_argument("--msi", nargs=len(MSI_PACKAGES),
                        metavar=tuple(p.upper() for p in MSI_PACKAGES),
                        help="the example Windows Installer package, the same at a higher "
                        "version, and one whose driver package cannot be staged, for the "
                        "msi group")
    parser.add_argument("--setup-programs", nargs=2, metavar=("X64", "X86"),
                        help="both programs, which the Inno Setup setup bundles")
    parser.add_argument("action", choices=["setup", "run", "cleanup", "all"])
    parser.add_argument("groups", nargs="*", help="case groups: " + ", ".join(GROUPS))
    options = parser.parse_args()
    groups = options.groups or [g for g in GROUPS if group_cases(g, options.target)]
    empty = [g for g in groups if g not in GROUPS or not group_cases(g, options.target)]
    if empty:
        parser.error("no such groups for %s: %s" % (options.target, ", ".join(empty)))
    sessions = targets(options, groups)
    main_target = sessions[0][0]

    def create():
        for index, (target, names) in enumerate(sessions):
            try:
                target.create(fresh=index == 0, inno="setup" in names)
            except BaseException:
                target.stop_server()
                raise

    def run():
        passed = True
        for target, names in sessions:
            if names:
                passed = run_groups(target, names) and passed
        return passed

    if options.action == "setup":
        create()
        return 0
    if options.action == "cleanup":
        main_target.remove()
        return 0
    if options.action == "run":
        missing = [t.prefix for t, names in sessions if names and not os.path.isdir(t.prefix)]
        if missing:
            print("no prefix %s: run setup first" % ", ".join(missing))
            return 1
        return 0 if run() else 1

    # all: the server is stopped however the run ends.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        create()
        return 0 if run() else 1
    finally:
        main_target.remove()


def targets(options, groups):
    """The program's Wine and prefix for each group: [(Target, groups)],
    the host's first. Where the x64 program's Wine cannot start 32-bit
    programs, the groups that need them get the 32-bit root's Wine."""
    main_target = Target(options)
    thirty_two = [g for g in groups if g in THIRTY_TWO_BIT_GROUPS]
    if thirty_two and not main_target.in_root:
        other = Target(options, thirty_two=True)
        if other.in_root:
            return [(main_target, [g for g in groups if g not in thirty_two]), (other, thirty_two)]
    return [(main_target, groups)]


if __name__ == "__main__":
    sys.exit(main())
