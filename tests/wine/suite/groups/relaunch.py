"""The "relaunch" group (x64 program): refused with ERROR_IN_WOW64, it starts
its copy from the current directory once."""

from suite.checks import check_boxes, check_call, check_double_loaded, check_tree, only
from suite.common import AUTO, DEV, ERROR_FILE_NOT_FOUND, ERROR_IN_WOW64, fails, succeeds
from suite.context import BASE_REMOVED


ALL_HIGH = bytes(range(0x80, 0x100))


def relaunch_case(name, answers, code, argument, separator=b" ", cwd="relaunch", calls=None):
    """The first process gets ERROR_IN_WOW64 and starts Quorin64.exe from
    the current directory; the child's argument string and its outcome must
    be the parent's. calls: how many of the answers are used, if not all."""
    calls = calls or len(answers)

    def body(ctx, case):
        directory = getattr(ctx, cwd)
        ctx.reset()
        before = ctx.wine.enum_tree()
        parent_line = ctx.command_line(argument, separator=separator)
        run = ctx.wine.run(parent_line, directory, script=answers)
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run, processes=calls)
        hwid = argument[argument.rindex(b"+") + 1:]
        inf_path = directory + b"\\" + argument[:argument.index(b"+")]
        if case.equal(len(run.calls), calls, "update calls"):
            check_call(case, run.calls[0], hwid, inf_path, parent_line)
            if calls == 2:
                child_line = b'"' + directory + b'\\Quorin64.exe" ' + argument
                check_call(case, run.calls[1], hwid, inf_path, child_line)
                case.check(run.calls[0]["pid"] != run.calls[1]["pid"],
                           "the second call came from the same process")
                child_argument = run.calls[1]["cmdline"][len(child_line) - len(argument):]
                case.equal(child_argument, argument, "child's argument string")
        check_boxes(case, run, 0)
        removed = BASE_REMOVED if hwid == DEV else []
        check_tree(case, before, ctx.wine.enum_tree(), removed=removed)
    body.__name__ = name
    return body


CASES = [only("x64", body) for body in [
    relaunch_case("relaunched child answers -2",
                  [fails(ERROR_IN_WOW64), fails(ERROR_FILE_NOT_FOUND)], -2,
                  b"driver.inf+" + DEV),
    # Where Windows refuses the 64-bit program too (an emulated x64
    # process on ARM64): the copy never relaunches in turn.
    relaunch_case("relaunched child refused too: one relaunch, -6",
                  [fails(ERROR_IN_WOW64)] * 4, -6, b"driver.inf+" + DEV, calls=2),
    # Quotes, two blanks, an inner and a trailing blank and every byte
    # 0x80-0xFF go through the relaunch unchanged.
    relaunch_case("relaunched child answers 1, argument byte for byte",
                  [fails(ERROR_IN_WOW64), succeeds(restart=1)], 1,
                  b'"a b' + ALL_HIGH + b".inf+" + DEV + b' "', separator=b"  "),
    relaunch_case("no Quorin64.exe in the current directory", [fails(ERROR_IN_WOW64)], -1,
                  b"driver.inf+" + DEV, cwd="cwd"),
    relaunch_case("relaunch from a drive root", [fails(ERROR_IN_WOW64), AUTO], 0,
                  b"driver.inf+" + DEV, cwd="drive_root"),
]]
