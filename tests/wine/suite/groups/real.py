"""The "real" group: Wine's own setupapi and newdev install the test INF."""
import os

from suite.checks import check_boxes, check_tree, driver_package, under
from suite.common import DEV, ENUM, SERVICE_KEY, ansi_bytes, show
from suite.context import BASE_REMOVED, TEST_DEVICE_KEYS


# ---------------------------------------------------------------------------
# Cases through Wine's own newdev


def real_install(ctx, case):
    """Wine's setupapi installs the test INF on instances created through
    SetupDi by a program of the same bitness; the program then removes the
    stale instances beside them. The x64 program takes the package from the
    current directory, the x86 one from its fixed folder, with the INF
    under its own name: Wine 10 keeps the package in its driver store by
    that name, and the setup group stages the same package later. The INF's
    driver arrives in the drivers folder, the package's build for that
    Windows (a 32-bit setupapi writes through WoW64's redirection to
    syswow64)."""
    wine = ctx.wine
    wine.delete_keys([ENUM + b"\\" + key for key in TEST_DEVICE_KEYS] + [SERVICE_KEY])
    drivers = b"C:\\windows\\%s\\drivers" % (b"syswow64" if ctx.x86 else b"system32")
    wine.shell('rm -f "$1/talmerix.sys"', wine.drive_c_path(drivers))
    status, out, err = wine.wine(wine.helper("mkdevice.exe"), DEV, "inst1", "inst2")
    case.equal(status, 0, "mkdevice exit status (%s)" % show(err[-300:]))
    wine.seed({
        DEV + b"\\STALE_OTHER": {b"Service": b"usbhub"},
        DEV + b"\\STALE_OTHER\\Device Parameters": {b"x": 1},
        DEV + b"\\STALE_OTHER\\Device Parameters\\Deeper": {},
        DEV + b"\\STALE_NOSERVICE": {b"DeviceDesc": b"gone"},
        DEV + b"\\STALE_NOSERVICE\\LogConf": {},
        DEV + b"\\lower": {b"Service": b"talmerix"},
        b"USB\\VID_1F3A&PID_0C22\\0000": {b"Service": b"usbhub"},
    })
    before = wine.enum_tree()
    for name in (b"INST1", b"INST2"):
        case.check(b"Service" not in before.get(DEV + b"\\" + name, {b"Service": 0}),
                   "%s exists without a Service value before the install" % show(name))
    inf_name = ansi_bytes(os.path.basename(wine.inf))
    if ctx.x86:
        run = wine.run(ctx.command_line(b"\\" + inf_name + b"+" + DEV, ctx.plain), ctx.empty)
    else:
        run = wine.run(ctx.command_line(inf_name + b"+" + DEV, ctx.plain), ctx.pkg)
    after = wine.enum_tree()
    case.equal(run.code, 0, "exit code")
    case.equal(run.newdev, ["builtin"], "newdev.dll loaded (Wine's own)")
    check_boxes(case, run, 0)
    for name in (b"INST1", b"INST2"):
        values = after.get(DEV + b"\\" + name)
        if case.check(values is not None, "installed instance %s was removed" % show(name)):
            case.equal(values.get(b"Service"), (1, b"TALMERIX\0"), "%s Service" % show(name))
            case.check(b"Driver" in values, "%s has no Driver value" % show(name))
    removed = [DEV + b"\\STALE_OTHER", DEV + b"\\STALE_NOSERVICE"]
    for key in removed:
        case.check(not any(under(k, key) for k in after), "%s was kept" % show(key))
    case.equal(after.get(DEV + b"\\lower"), {b"Service": (1, b"talmerix\0")},
               "lower-case instance")
    case.equal(sorted(k for k in after if under(k, DEV)),
               sorted([DEV, DEV + b"\\INST1", DEV + b"\\INST1\\Device Parameters",
                       DEV + b"\\INST2", DEV + b"\\INST2\\Device Parameters",
                       DEV + b"\\lower"]),
               "keys below the device key")
    check_tree(case, before, after, ignore_under=[DEV])
    driver = driver_package(wine.inf)["x86/talmerix.sys" if ctx.x86 else "talmerix.sys"]
    case.check((wine.files_below(drivers) or {}).get("talmerix.sys") == driver,
               "the driver in %s is not the package's" % show(drivers))
    service = wine.subtree(SERVICE_KEY).get(b"", {})
    case.equal(service.get(b"Type"), (4, (1).to_bytes(4, "little")), "TALMERIX Type")
    case.equal(service.get(b"Start"), (4, (3).to_bytes(4, "little")), "TALMERIX Start")


def real_install_missing_inf(ctx, case):
    """Wine's own update reports success for a missing INF (Windows fails
    with ERROR_FILE_NOT_FOUND), so only the test double reaches -2; the
    sweep still runs."""
    ctx.reset()
    before = ctx.wine.enum_tree()
    inf_name = b"\\missing.inf" if ctx.x86 else b"driver.inf"
    run = ctx.wine.run(ctx.command_line(inf_name + b"+" + DEV, ctx.plain), ctx.empty)
    case.equal(run.newdev, ["builtin"], "newdev.dll loaded (Wine's own)")
    case.equal(run.code, 0, "exit code (Wine's newdev: TRUE for a missing INF)")
    check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)


CASES = [real_install, real_install_missing_inf]
