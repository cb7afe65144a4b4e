"""The "outcomes" group: every exit code, through the test newdev.dll."""
import os
import shutil
import tempfile

from suite.checks import check_boxes, check_call, check_double_loaded, check_tree
from suite.common import (AUTO, DEV, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND,
    ERROR_INVALID_FLAGS, ERROR_NO_SUCH_DEVINST, ERROR_SUCCESS, ansi_text, fails, succeeds,
    unix_path, windows_path)
from suite.context import BASE_REMOVED


# ---------------------------------------------------------------------------
# Cases through the test double

# name, scripted answer, exit code
OUTCOMES = [
    ("installed, restart", succeeds(restart=1), 1),
    ("installed", succeeds(), 0),
    ("installed, stale last error ignored", succeeds(last_error=ERROR_INVALID_FLAGS), 0),
    ("INF not found", fails(ERROR_FILE_NOT_FOUND), -2),
    ("no device", fails(ERROR_NO_SUCH_DEVINST), -3),
    ("flags refused", fails(ERROR_INVALID_FLAGS), -4),
    ("other failure, restart flag ignored", fails(ERROR_ACCESS_DENIED, restart=1), -1),
    ("failure without last error", fails(ERROR_SUCCESS), -1),
]


def outcome_case(name, answer, code, seen=True):
    """One scripted answer and its exit code; without seen, on a window
    station nobody sees, where no box may wait for a click."""
    def body(ctx, case):
        ctx.reset()
        before = ctx.wine.enum_tree()
        run = ctx.wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd, script=[answer],
                           seen=seen)
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run)
        if case.equal(len(run.calls), 1, "update calls"):
            check_call(case, run.calls[0], DEV, ctx.inf_path(ctx.cwd, b"driver.inf"),
                       ctx.command_line(b"driver.inf+" + DEV), seen=seen)
        check_boxes(case, run, 0)
        check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)
    body.__name__ = name
    return body


def planted_newdev(ctx, case):
    """A newdev.dll planted beside the program and another in the current
    directory, with Wine taking a native newdev.dll before its own wherever
    the search finds one: neither may be loaded, only the system directory's
    (here the test double), which answers the update."""
    wine = ctx.wine
    # A 32-bit process's system directory is system32 too.
    system = b"C:\\windows\\system32"
    app = ctx.folder("planted_app", program=True)
    cwd = ctx.folder("planted_cwd", infs=[b"driver.inf"])
    for folder in (app, cwd):
        shutil.copy(wine.helper_file("planted_newdev.dll"),
                    os.path.join(unix_path(folder), "newdev.dll"))
    mark = os.path.join(tempfile.mkdtemp(dir=wine.work, prefix="planted"), "loads")
    ctx.reset()
    before = wine.enum_tree()
    line = ctx.command_line(b"driver.inf+" + DEV, app)
    run = wine.run(line, cwd, script=[AUTO], newdev_order="n,b",
                   extra_env={"QUORIN_PLANTED_MARK": ansi_text(windows_path(mark))})
    loads = open(mark, "rb").read() if os.path.exists(mark) else b""
    shutil.rmtree(os.path.dirname(mark))
    case.equal(loads, b"", "planted newdev.dll loaded from")
    case.equal(run.code, 0, "exit code")
    case.equal([p.lower() for p in run.newdev_paths], [system.lower() + b"\\newdev.dll"],
               "newdev.dll loaded")
    check_double_loaded(case, run)
    if case.equal(len(run.calls), 1, "update calls"):
        check_call(case, run.calls[0], DEV, ctx.inf_path(cwd, b"driver.inf"), line)
        case.equal(run.calls[0]["module"].lower(), system.lower() + b"\\newdev.dll",
                   "newdev.dll that answered")
    check_boxes(case, run, 0)
    check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)


CASES = [outcome_case(*row) for row in OUTCOMES] + [
    outcome_case("installed, on a station nobody sees", succeeds(), 0, seen=False),
    planted_newdev]
