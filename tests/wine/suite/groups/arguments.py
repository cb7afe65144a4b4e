"""The "arguments" group: where the INF is looked for and how the argument is
cut."""

from suite.checks import check_boxes, check_call, check_double_loaded, check_tree, only
from suite.common import AUTO, DEV, X86_INF_FOLDER, show
from suite.context import BASE_REMOVED, HIGH_DEV


def inf_from_fixed_folder(ctx, case):
    """x86: the INF path is the fixed folder on the drive of the Windows
    directory, whatever the current directory (one that holds driver.inf
    itself, a drive root)."""
    for directory in (ctx.app_with_inf, ctx.drive_root):
        ctx.reset()
        line = ctx.command_line(b"driver.inf+" + DEV, ctx.app_with_inf)
        run = ctx.wine.run(line, directory, script=[AUTO])
        case.equal(run.code, 0, "exit code from %s" % show(directory))
        if case.equal(len(run.calls), 1, "update calls from %s" % show(directory)):
            check_call(case, run.calls[0], DEV, X86_INF_FOLDER + b"driver.inf", line)


def inf_from_current_directory(ctx, case):
    """The program's own folder holds driver.inf, the current directory does
    not: the INF path names the current directory and the result is -2."""
    ctx.reset()
    before = ctx.wine.enum_tree()
    line = ctx.command_line(b"driver.inf+" + DEV, ctx.app_with_inf)
    run = ctx.wine.run(line, ctx.empty, script=[AUTO])
    case.equal(run.code, -2, "exit code")
    if case.equal(len(run.calls), 1, "update calls"):
        check_call(case, run.calls[0], DEV, ctx.empty + b"\\driver.inf", line)
    check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)


def argument_case(name, argument, hwid, inf_name, code, extra=None, removed=(),
                  separator=b" ", folder=None, cwd=None, quoted=True):
    """Exact argument bytes in, the INF path and hardware ID handed to the
    update, and the sweep on that same hardware ID."""
    def body(ctx, case):
        program_folder = getattr(ctx, folder) if folder else ctx.app
        directory = getattr(ctx, cwd) if cwd else ctx.cwd
        ctx.reset(extra=extra)
        before = ctx.wine.enum_tree()
        program = ctx.program(program_folder)
        line = (b'"' + program + b'"' if quoted else program) + separator + argument
        run = ctx.wine.run(line, directory, script=[AUTO])
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run)
        if case.equal(len(run.calls), 1, "update calls"):
            check_call(case, run.calls[0], hwid, ctx.inf_path(directory, inf_name), line)
        check_boxes(case, run, 0)
        check_tree(case, before, ctx.wine.enum_tree(), removed=list(removed))
    body.__name__ = name
    return body


CASES = [
    only("x64", inf_from_current_directory),
    only("x86", inf_from_fixed_folder),
    argument_case("INF found at the INF path", b"driver.inf+" + DEV, DEV,
                  b"driver.inf", 0, removed=BASE_REMOVED),
    argument_case("blank inside the INF name, trailing blank on the ID",
                  b"my driver.inf+" + DEV + b" ", DEV + b" ", b"my driver.inf", 0,
                  extra={DEV + b" \\0000": {b"Service": b"other"},
                         DEV + b" \\0000\\Sub": {},
                         DEV + b" \\0001": {b"Service": b"TALMERIX"}},
                  removed=[DEV + b" \\0000"]),
    argument_case("two blanks and a quoted argument", b'"driver.inf+' + DEV + b'"',
                  DEV + b'"', b'"driver.inf', -2, separator=b"  ",
                  extra={DEV + b'"\\0000': {}}, removed=[DEV + b'"\\0000']),
    argument_case("several plus signs", b"driver.inf+USB\\OTHER+" + DEV + b"+", DEV,
                  b"driver.inf", 0, removed=BASE_REMOVED),
    # An unquoted program path holding 0xA0 and other high bytes, and an
    # argument that starts with 0xA0 (a blank only to signed chars).
    argument_case("bytes 0x80-0xFF in the program path and the argument",
                  b"\xa0dr\xe9ver.inf+" + HIGH_DEV, HIGH_DEV, b"\xa0dr\xe9ver.inf", 0,
                  extra={HIGH_DEV + b"\\0000": {b"Service": b"\xe9t\xe9"},
                         HIGH_DEV + b"\\0001": {b"Service": b"TALMERIX"}},
                  removed=[HIGH_DEV + b"\\0000"], folder="high", cwd="high",
                  quoted=False),
]
