"""The "retry" group (x86 program): refused with ERROR_IN_WOW64, it tries once
more."""

from suite.checks import check_boxes, check_call, check_double_loaded, check_tree, only
from suite.common import DEV, ERROR_FILE_NOT_FOUND, ERROR_IN_WOW64, fails, succeeds
from suite.context import BASE_REMOVED


def retry_case(name, answers, code):
    """x86: ERROR_IN_WOW64 makes the program run the whole install once more
    in the same process, the update and then the sweep, and return the second
    result; a second refusal gives -6. The test newdev.dll plants a stale
    instance at each call: the first is gone by the second call, the second
    by the end."""
    def body(ctx, case):
        ctx.reset()
        before = ctx.wine.enum_tree()
        line = ctx.command_line(b"driver.inf+" + DEV)
        run = ctx.wine.run(line, ctx.cwd, script=[answer + " plant" for answer in answers])
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run)  # one process: nothing was started
        if case.equal(len(run.calls), 2, "update calls"):
            for call in run.calls:
                check_call(case, call, DEV, ctx.inf_path(ctx.cwd, b"driver.inf"), line)
            case.equal(run.calls[1]["pid"], run.calls[0]["pid"], "process of the second call")
            case.equal([call["instances"] for call in run.calls], [8, 3],
                       "device instances at each call")
        check_boxes(case, run, 0)
        case.check(any(kind == "registry" for _, kind, _ in run.events),
                   "no key opening traced")
        check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)
    body.__name__ = name
    return only("x86", body)


CASES = [
    retry_case("second call answers -2", [fails(ERROR_IN_WOW64), fails(ERROR_FILE_NOT_FOUND)],
               -2),
    retry_case("second call answers 1", [fails(ERROR_IN_WOW64), succeeds(restart=1)], 1),
    retry_case("refused twice", [fails(ERROR_IN_WOW64), fails(ERROR_IN_WOW64)], -6),
]
