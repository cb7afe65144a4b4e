"""The "msi" group (x64 program): the example Windows Installer package
installed, upgraded and removed with msiexec."""
import os
import re
import shutil
import tempfile

from suite.checks import check_call, check_double_loaded, driver_package, file_names, only
from suite.common import (DEV, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_NO_SUCH_DEVINST,
    fails, show, succeeds, windows_path)


# ---------------------------------------------------------------------------
# The example Windows Installer package (examples/msi), for the x64 program

MSIEXEC = b"C:\\windows\\system32\\msiexec.exe"
MSI_FOLDER = b"C:\\Program Files\\Quorin64 example"
MSI_PRODUCT = b"Quorin64 example driver"
UNINSTALL_KEY = b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# setupapi's trace names each call the custom actions make; debugstr shows
# the test newdev.dll's calls among them.
MSI_TRACE = "-all,+loaddll,+debugstr,trace+setupapi,fixme+setupapi"

UNSTAGEABLE_INF = b"unstageable.inf"

# The program's exit code, scripted answers, msiexec's exit code, package.
MSI_OUTCOMES = [
    (-3, [fails(ERROR_NO_SUCH_DEVINST)], 0, "driver"),
    (0, [succeeds()], 0, "driver"),
    (1, [succeeds(restart=1)], 3010, "driver"),
    (-2, [fails(ERROR_FILE_NOT_FOUND)], 1603, "driver"),
    (-1, [fails(ERROR_ACCESS_DENIED)], 1603, "driver"),
    (-3, [fails(ERROR_NO_SUCH_DEVINST)], 1603, "unstageable"),
]


def traced(text):
    """Text as Wine's trace quotes it: every backslash doubled."""
    return re.escape(text.replace(b"\\", b"\\\\"))


def msiexec(ctx, action, package, answers=None):
    """msiexec /i or /x, quiet, with a verbose log; started by runner.exe for
    the full exit code (Wine's own status keeps the low byte: 3010 would be
    194). The custom actions' "Quorin64: ..." log lines are in notes."""
    wine = ctx.wine
    if not os.path.isfile(package):
        raise RuntimeError("%s is not built (scripts/build.sh, then the host tree)" % package)
    scratch = tempfile.mkdtemp(dir=wine.work, prefix="msi")
    log = os.path.join(scratch, "msi.log")
    line = (MSIEXEC + b" " + action + b' "' + windows_path(package) + b'" /qn /l*v "'
            + windows_path(log) + b'"')
    run = wine.run(line, ctx.empty, script=answers, trace=False,
                   extra_env={"WINEDEBUG": MSI_TRACE})
    with open(log, "rb") as f:
        run.notes = re.findall(rb"^Quorin64: (.*)\.\r?$", f.read(), re.M)
    shutil.rmtree(scratch)
    return run


def msi_file_names(ctx):
    return file_names(ctx.wine.files_below(MSI_FOLDER))


def check_msi_files(case, ctx):
    """The x64 program and every file of the driver package, in one folder."""
    expected = driver_package(ctx.wine.inf)
    with open(ctx.wine.program, "rb") as program:
        expected["Quorin64.exe"] = program.read()
    files = ctx.wine.files_below(MSI_FOLDER) or {}
    case.equal(sorted(files), sorted(expected), "installed files")
    for name, data in expected.items():
        case.check(files.get(name) in (None, data), "%s differs from its source" % name)


def msi_products(ctx):
    """DisplayVersion of each registered product of the example package."""
    tree = ctx.wine.subtree(UNINSTALL_KEY)
    return sorted(values[b"DisplayVersion"][1].rstrip(b"\0") for values in tree.values()
                  if values.get(b"DisplayName", (0, b""))[1].rstrip(b"\0") == MSI_PRODUCT)


def uninstall_msi(ctx, case, package):
    """msiexec /x: nothing left, and the driver package handed to
    SetupUninstallOEMInfA without forcing it (Wine then keeps the file and
    says so; Windows refuses while a device uses the package)."""
    run = msiexec(ctx, b"/x", package)
    case.equal(run.code, 0, "msiexec /x exit code")
    case.equal(msi_file_names(ctx), None, "files after msiexec /x")
    case.equal(msi_products(ctx), [], "products registered after msiexec /x")
    removed = re.match(rb"driver package (.+) taken out of the driver store$",
                       run.notes[0]) if len(run.notes) == 1 else None
    if case.check(removed, "uninstall log lines: %s" % show(run.notes)):
        name = removed.group(1)
        case.check(re.search(rb"SetupUninstallOEMInfW L" + traced(b'"' + name + b'"')
                             + rb", 0x00000000,", run.trace),
                   "no SetupUninstallOEMInfA call on %s without flags" % show(name))
        case.check(re.search(rb"not deleting L" + traced(b'"C:\\windows\\inf\\' + name + b'"'),
                             run.trace, re.I), "setupapi did not keep %s" % show(name))
    return run


def start_without_product(ctx):
    """A case that failed half-way may have left a product installed."""
    if msi_file_names(ctx) is not None or msi_products(ctx):
        for package in ctx.wine.packages.values():
            msiexec(ctx, b"/x", package)


def msi_case(code, answers, msi_code, package):
    """The package installs the files, its custom action runs the program
    from the install folder with the package's INF name and turns its exit
    code into msiexec's, with one log line naming the code; -3 stages the
    driver package, and fails the install when it cannot; a failure rolls
    everything back; what installed is then uninstalled."""
    def body(ctx, case):
        wine = ctx.wine
        start_without_product(ctx)
        run = msiexec(ctx, b"/i", wine.packages[package], answers)
        case.equal(run.code, msi_code, "msiexec /i exit code")
        check_double_loaded(case, run)
        inf_name = (UNSTAGEABLE_INF if package == "unstageable"
                    else os.path.basename(wine.inf).encode())
        installed_inf = MSI_FOLDER + b"\\" + inf_name
        if case.equal(len(run.calls), len(answers), "update calls"):
            check_call(case, run.calls[0], DEV, installed_inf,
                       b'"' + MSI_FOLDER + b'\\Quorin64.exe" ' + inf_name + b"+" + DEV)
        case.check(run.notes[:1] and run.notes[0].startswith(
            b"the program ended with %d (" % code), "log lines: %s" % show(run.notes))
        staging = re.search(rb"SetupCopyOEMInfW L" + traced(b'"' + installed_inf + b'", L"'
                                                            + MSI_FOLDER + b'"') + rb", 1, 0,",
                            run.trace)
        case.equal(bool(staging), code == -3, "driver package staged (SetupCopyOEMInfA)")
        if code == -3 and case.equal(len(run.notes), 2, "log lines"):
            if msi_code == 0:
                check_staged(case, wine, run.notes[1])
            else:
                case.check(run.notes[1].startswith(b"could not put the driver package into "
                                                   b"the driver store (error "),
                           "staging failure log line: %s" % show(run.notes[1]))
        if msi_code == 1603:
            case.equal(msi_file_names(ctx), None, "files after the rollback")
            case.equal(msi_products(ctx), [], "products registered after the rollback")
        else:
            check_msi_files(case, ctx)
            uninstall_msi(ctx, case, wine.packages[package])
    body.__name__ = "%s: program ends with %d, msiexec with %d" % (package, code, msi_code)
    return only("x64", body)


def check_staged(case, wine, note):
    """The log line names the copy of the INF in Windows' INF folder."""
    staged = re.match(rb"the driver package is in the driver store as (.+); Windows "
                      rb"installs it when the controller is connected$", note)
    if case.check(staged, "staging log line: %s" % show(note)):
        copy = wine.drive_c_path(b"C:\\windows\\inf\\" + staged.group(1))
        with open(wine.inf, "rb") as source:
            inf = source.read()
        if case.check(os.path.isfile(copy), "no copy of the INF at %s" % copy):
            with open(copy, "rb") as f:
                case.check(f.read() == inf, "%s is not the INF" % copy)


def msi_upgrade(ctx, case):
    """A package of a higher version with the same UpgradeCode replaces the
    installed one: the old product's removal takes its driver package out
    of the store first, then the program runs again from the new files; only
    the new product stays registered."""
    start_without_product(ctx)
    first, second = ctx.wine.packages["driver"], ctx.wine.packages["upgrade"]
    run = msiexec(ctx, b"/i", first, [succeeds()])
    case.equal(run.code, 0, "first package's exit code")
    before = msi_products(ctx)
    case.equal(len(before), 1, "products registered after the first install")
    run = msiexec(ctx, b"/i", second, [succeeds()])
    case.equal(run.code, 0, "upgrade's exit code")
    case.equal(len(run.calls), 1, "update calls in the upgrade")
    # The test newdev.dll says when it is called through OutputDebugStringA.
    removal = re.search(rb"SetupUninstallOEMInfW L", run.trace)
    update = re.search(rb'"UpdateDriverForPlugAndPlayDevicesA', run.trace)
    case.check(removal and update and removal.start() < update.start(),
               "the old product's package was not taken out before the new install")
    after = msi_products(ctx)
    case.check(len(after) == 1 and after != before,
               "products registered: %s before the upgrade, %s after" % (before, after))
    check_msi_files(case, ctx)
    uninstall_msi(ctx, case, second)


def msi_same_version(ctx, case):
    """A rebuild of the installed version (a new product code, the same
    UpgradeCode and version) replaces it rather than installing beside it."""
    start_without_product(ctx)
    first, second = ctx.wine.packages["driver"], ctx.wine.packages["rebuild"]
    case.equal(msiexec(ctx, b"/i", first, [succeeds()]).code, 0, "first build's exit code")
    case.equal(msiexec(ctx, b"/i", second, [succeeds()]).code, 0, "second build's exit code")
    case.equal(len(msi_products(ctx)), 1, "products registered after both builds")
    check_msi_files(case, ctx)
    uninstall_msi(ctx, case, second)


def msi_remove_not_installed(ctx, case):
    """Wine's msiexec /x of a package that is not installed runs the removal
    with REMOVE=ALL (Windows answers 1605): the custom actions stay out."""
    start_without_product(ctx)
    run = msiexec(ctx, b"/x", ctx.wine.packages["driver"])
    case.equal(run.code, 0, "msiexec /x exit code (Wine)")
    case.equal(run.notes, [], "log lines")
    case.check(b"SetupCopyOEMInfW" not in run.trace and b"SetupUninstallOEMInfW" not in run.trace,
               "setupapi was called")


CASES = [msi_case(*row) for row in MSI_OUTCOMES] + [
    only("x64", body) for body in [msi_upgrade, msi_same_version, msi_remove_not_installed]]
