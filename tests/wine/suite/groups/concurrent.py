"""The "concurrent" group: several copies sweeping one device key at once."""

from suite.checks import check_tree, under
from suite.common import DEV, show, succeeds
from suite.context import long_device_tree


def concurrent_copies(ctx, case):
    """Three copies at once over hundreds of stale instances with subkeys,
    as when setup runs twice or a device comes and goes during the sweep:
    each copy meets instances the others have just removed, yet together
    they leave only the served instances, and every copy ends with 0. How
    the copies interleave varies, so it runs a few rounds."""
    wine = ctx.wine
    keys, served = long_device_tree(CONCURRENT_STALE)
    instance_depth = DEV.count(b"\\") + 1
    for round in range(1, CONCURRENT_ROUNDS + 1):
        ctx.reset(seed=keys)
        before = wine.enum_tree()
        run = wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd,
                       script=[succeeds()] * CONCURRENT_COPIES, copies=CONCURRENT_COPIES)
        case.equal(run.codes, [0] * CONCURRENT_COPIES, "round %d: exit codes" % round)
        after = wine.enum_tree()
        left = sorted(k for k in after if under(k, DEV) and k.count(b"\\") == instance_depth
                      and k not in served)
        if not case.check(not left, "round %d: %d stale instance(s) left, the first %s"
                          % (round, len(left), show(left[0]) if left else "")):
            break
        check_tree(case, before, after,
                   removed=[DEV + b"\\%04d" % i for i in range(CONCURRENT_STALE)])


CONCURRENT_STALE = 300
CONCURRENT_COPIES = 3
CONCURRENT_ROUNDS = 3


CASES = [concurrent_copies]
