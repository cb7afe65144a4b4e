"""The "refusals" group: malformed arguments and hardware IDs the sweep must
not act on."""

from suite.checks import check_boxes, check_call, check_tree
from suite.common import DEV, ERROR_NO_SUCH_DEVINST, fails, succeeds


def refusal_case(name, argument, answer=None, code=-1):
    """Arguments the program refuses outright (no update call) or whose
    hardware ID does not name a device key (update called, no sweep): the
    whole Enum tree stays as it was either way."""
    def body(ctx, case):
        ctx.reset(extra={b"USB\\STALE_BUS_DEVICE": {b"DeviceDesc": b"no service"}})
        before = ctx.wine.enum_tree()
        line = ctx.command_line(argument)
        run = ctx.wine.run(line, ctx.cwd, script=[answer or succeeds()])
        case.equal(run.code, code, "exit code")
        if answer is None:
            case.equal(len(run.calls), 0, "update calls")
        elif case.equal(len(run.calls), 1, "update calls"):
            check_call(case, run.calls[0], argument[argument.rindex(b"+") + 1:],
                       ctx.inf_path(ctx.cwd, argument[:argument.index(b"+")]), line)
        check_boxes(case, run, 0)
        check_tree(case, before, ctx.wine.enum_tree())
    body.__name__ = name
    return body


CASES = [
    refusal_case("empty argument", b""),
    refusal_case("no plus sign", b"driver.inf"),
    refusal_case("empty hardware ID", b"driver.inf+"),
    refusal_case("empty INF name", b"+" + DEV),
    refusal_case("bus-level ID", b"driver.inf+USB", fails(ERROR_NO_SUCH_DEVINST), -3),
    refusal_case("bus-level ID with a backslash", b"driver.inf+USB\\", succeeds(), 0),
    refusal_case("leading backslash", b"driver.inf+\\" + DEV, succeeds(), 0),
    refusal_case("empty component", b"driver.inf+USB\\\\VID_1F3A&PID_0C21", succeeds(), 0),
    # An instance's own ID: its subkeys are not instances of a device.
    refusal_case("ID naming a served instance", b"driver.inf+" + DEV + b"\\0002",
                 succeeds(), 0),
    refusal_case("ID naming a stale instance", b"driver.inf+" + DEV + b"\\0000",
                 succeeds(), 0),
    refusal_case("ID of 994 characters", b"driver.inf+" + DEV + b"\\" + b"A" * 972,
                 fails(ERROR_NO_SUCH_DEVINST), -3),
    refusal_case("ID of 1,023 characters", b"driver.inf+" + DEV + b"\\" + b"A" * 1001,
                 succeeds(restart=1), 1),
    refusal_case("ID of 1,024 characters", b"driver.inf+" + DEV + b"\\" + b"A" * 1002),
    refusal_case("INF name of 1,024 characters", b"A" * 1024 + b"+" + DEV),
    refusal_case("INF path over 1,023 characters", b"A" * 1000 + b"+" + DEV),
]
