"""The "access" group: keys whose access list cannot be changed, values that
cannot be read, and the program ended half-way through a sweep."""

from suite.checks import check_boxes, check_tree, under
from suite.common import DENY_WRITE_DAC, DEV, ENUM, ERROR_FILE_NOT_FOUND, fails, show, succeeds
from suite.context import BASE_REMOVED, long_device_tree


def deny_write_dac(ctx, case, seen=True):
    """A stale instance and its subkey deny WRITE_DAC: each raises the
    "Error" box (no display, so MessageBoxA returns at once) and is still
    removed. A served instance with the same entry is not touched."""
    wine = ctx.wine
    ctx.reset()
    locked = [DEV + b"\\0000", DEV + b"\\0000\\Device Parameters", DEV + b"\\0002"]
    for key in locked:
        wine.set_access_list(ENUM + b"\\" + key, DENY_WRITE_DAC)
    served_list = wine.access_list(ENUM + b"\\" + DEV + b"\\0002")
    case.check("(D;;WD;;;WD)" in served_list, "deny entry not set: %s" % served_list)
    before = wine.enum_tree()
    run = wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd, script=[succeeds()],
                   seen=seen)
    case.equal(run.code, 0, "exit code")
    check_boxes(case, run, 2)
    check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)
    case.equal(wine.access_list(ENUM + b"\\" + DEV + b"\\0002"), served_list,
               "served instance's access list")


def deny_write_dac_unseen(ctx, case):
    """The same on a window station nobody sees: no box waits for a click,
    and the keys still go."""
    deny_write_dac(ctx, case, seen=False)


def unreadable_service_value(ctx, case):
    """An instance whose "Service" value may not be read says nothing about
    its service: it is kept, and the stale instances after it still go."""
    wine = ctx.wine
    ctx.reset()
    key = ENUM + b"\\" + DEV + b"\\0000"
    wine.set_access_list(key, "D:P(D;;0x1;;;WD)(A;;KA;;;WD)")  # deny KEY_QUERY_VALUE
    try:
        before = wine.enum_tree()
        run = wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd,
                       script=[succeeds(restart=1)])
        case.equal(run.code, 1, "exit code")
        check_boxes(case, run, 0)
        check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED[1:])
    finally:
        wine.set_access_list(key, "D:(A;;KA;;;WD)")  # so the next reset can remove it


def deny_write_dac_on_subkey_of_served(ctx, case):
    """Only removed keys are touched: a deny entry below a served instance
    raises no box."""
    wine = ctx.wine
    ctx.reset()
    wine.set_access_list(ENUM + b"\\" + DEV + b"\\0002\\Device Parameters", DENY_WRITE_DAC)
    before = wine.enum_tree()
    run = wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd,
                   script=[fails(ERROR_FILE_NOT_FOUND)])
    case.equal(run.code, -2, "exit code")
    check_boxes(case, run, 0)
    check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)


def killed_mid_sweep(ctx, case):
    """The program ended with TerminateProcess part-way through a long
    sweep, as when setup is cancelled and ends it from outside: no key of
    the device tree may be left open to every account, and the served
    instances must be untouched. The runner ends it once a given number of
    stale instances are gone, so each kill falls inside the sweep however
    fast it runs; each run starts on what the previous one left, and a last
    run to the end must still leave exactly the served instances."""
    wine = ctx.wine
    keys, served = long_device_tree(KILL_STALE)
    ctx.reset(seed=keys)
    before = wine.enum_tree()
    device = ENUM + b"\\" + DEV
    instance_depth = DEV.count(b"\\") + 1
    stale_before = KILL_STALE
    for point, removed in enumerate(KILL_POINTS, 1):
        # Fewer instances than this: `removed` stale ones are gone in all.
        below = KILL_STALE - removed + len(served)
        run = wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd, script=[succeeds()],
                       kill_below=(device, below), trace=False)
        after = wine.enum_tree()
        stale_left = len([k for k in after if under(k, DEV) and k.count(b"\\") == instance_depth
                          and k not in served])
        what = "kill %d (%d stale instances removed)" % (point, removed)
        case.check(run.killed is not None,
                   "%s: the program was not ended by the runner: %s"
                   % (what, show(run.runner_output)))
        # Not vacuous: this run removed some stale instances and left some.
        case.check(0 < stale_left < stale_before,
                   "%s: %d of %d stale instances left, not part-way through the sweep"
                   % (what, stale_left, stale_before))
        stale_before = stale_left
        found, walked = wine.open_keys(ENUM)
        case.check(walked > stale_left, "%s: only %d keys walked" % (what, walked))
        case.equal(found, [], "%s: keys without an access list or not walkable" % what)
        for key in before:
            if any(under(key, instance) for instance in served):
                case.equal(after.get(key), before[key], "%s: served key %s" % (what, show(key)))
        case.equal(sorted(k for k in after if k not in before), [], "%s: new keys" % what)
        check_tree(case, before, after, ignore_under=[DEV])
    run = wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd, script=[succeeds()],
                   trace=False)
    case.equal(run.code, 0, "exit code of the run to the end")
    after = wine.enum_tree()
    check_tree(case, before, after, removed=[DEV + b"\\%04d" % i for i in range(KILL_STALE)])
    case.equal(wine.open_keys(ENUM)[0], [], "after the run to the end: keys without an "
               "access list or not walkable")


# Stale instances, and how many of them are gone when the runner ends the
# program in each successive run.
KILL_STALE = 300
KILL_POINTS = (20, 90, 160, 230)


CASES = [deny_write_dac, deny_write_dac_unseen, deny_write_dac_on_subkey_of_served,
         unreadable_service_value, killed_mid_sweep]
