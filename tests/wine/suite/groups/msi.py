"""The "msi" group (x64 program): the example Windows Installer package
installed, upgraded and removed with msiexec."""
import os
import re
import shutil
import subprocess
import tempfile

from suite.checks import check_call, check_double_loaded, driver_package, file_names, only
from suite.common import (DEV, ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_NO_SUCH_DEVINST,
    fails, show, succeeds, windows_path)


# ---------------------------------------------------------------------------
# The example Windows Installer package (kit/msi), for the x64 program

MSIEXEC = b"C:\\windows\\system32\\msiexec.exe"
MSI_FOLDER = b"C:\\Program Files\\Quorin64 example"
MSI_PRODUCT = b"Quorin64 example driver"
UNINSTALL_KEY = b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# setupapi's trace names each call the custom actions make; debugstr shows
# the test newdev.dll's calls among them; msi's trace each action performed
# and the Msi... calls that Wine traces.
MSI_TRACE = "-all,+loaddll,+debugstr,trace+setupapi,fixme+setupapi,trace+msi"
# What a deferred or rollback action may call on its install handle, after
# Windows Installer's "Obtaining Context Information for Deferred Execution
# Custom Actions" (Wine allows everything): the function, and what its
# traced arguments must match (None: anything). Record functions are not
# handle functions of the install.
DEFERRED_ALLOWED = [
    (re.compile(rb"MsiGetProperty[AW]$"),
     re.compile(rb'"(CustomActionData|ProductCode|UserSID)"')),
    (re.compile(rb"MsiFormatRecord[AW]$"), None),
    # MSIRUNMODE_SCHEDULED, _ROLLBACK, _COMMIT
    (re.compile(rb"MsiGetMode$"), re.compile(rb"^\d+, (16|17|18)\b")),
    (re.compile(rb"MsiGetLanguage$"), None),
    (re.compile(rb"MsiProcessMessage$"), None),
    (re.compile(rb"MsiCreateRecord$|MsiRecord\w+$|MsiCloseHandle$|MsiCloseAllHandles$"), None),
]
# Wine's trace: where each action starts (a deferred one's with its
# CustomActionData in brackets), and each traced Msi... call.
PERFORMED = re.compile(rb'trace:msi:ACTION_PerformAction Performing action '
                       rb'\(L"(\[)?.*?([\w.]*)"\)$', re.M)
MSI_CALL = re.compile(rb"trace:msi:(Msi\w+) ?(.*)$", re.M)
RECORD_ROOT = b"SOFTWARE\\Quorin64\\Driver packages"

IDS = (DEV, b"USB\\VID_1F3A&PID_1001", b"USB\\VID_1F3A&PID_1002")
FOUND, NO_DEVICE = succeeds(stage=True), fails(ERROR_NO_SUCH_DEVINST)
BAD_DATA = (b'CustomActionData is not "<folder>|<INF name>|<ProductCode>|<UpgradeCode>|'
            b'<hardware ID>|...", no part empty')

# The program's exit code for each hardware ID it ran for (none: the
# action data was refused), scripted answers, msiexec's exit code, package,
# HARDWARE_ID on msiexec's command line (default: the package's own).
MSI_OUTCOMES = [
    ([-3], [NO_DEVICE], 0, "driver"),
    ([0], [FOUND], 0, "driver"),
    ([1], [succeeds(restart=1, stage=True)], 3010, "driver"),
    ([-2], [fails(ERROR_FILE_NOT_FOUND)], 1603, "driver"),
    ([-1], [fails(ERROR_ACCESS_DENIED)], 1603, "driver"),
    # The INF spoiled after the program ran: setupapi refuses to stage it.
    ([-3], [fails(ERROR_NO_SUCH_DEVINST, spoil=True)], 1603, "driver"),
    ([0, 0, 0], [FOUND] * 3, 0, "driver", IDS),
    ([-3, 0, 0], [NO_DEVICE, FOUND, FOUND], 0, "driver", IDS),
    ([-3, -3, -3], [NO_DEVICE] * 3, 0, "driver", IDS),
    ([0, -2], [FOUND, fails(ERROR_FILE_NOT_FOUND), FOUND], 1603, "driver", IDS),
    ([0, 1, 0], [FOUND, succeeds(restart=1), FOUND], 3010, "driver", IDS),
    ([], [FOUND] * 3, 1603, "driver", (DEV, b"", IDS[2])),
]


def traced(text):
    """Text as Wine's trace quotes it: every backslash doubled."""
    return re.escape(text.replace(b"\\", b"\\\\"))


def deferred_calls(trace):
    """Each Msi... call made while a deferred or rollback action ran that
    such an action may not make: (action, call, arguments)."""
    forbidden = []
    starts = list(PERFORMED.finditer(trace))
    for start, following in zip(starts, starts[1:] + [None]):
        if not start.group(1):
            continue
        window = trace[start.end():following.start() if following else len(trace)]
        for call in MSI_CALL.finditer(window):
            if not any(name.match(call.group(1)) and (arguments is None or
                                                      arguments.search(call.group(2)))
                       for name, arguments in DEFERRED_ALLOWED):
                forbidden.append((start.group(2), call.group(1), call.group(2)))
    return forbidden


def msiexec(ctx, action, package, answers=None, case=None):
    """msiexec /i or /x, quiet, with a verbose log; started by runner.exe for
    the full exit code (Wine's own status keeps the low byte: 3010 would be
    194). The custom actions' "Quorin64: ..." log lines are in notes. action
    may carry properties ("/i", b"REINSTALL=ALL"). With a case, no deferred
    action may have called what Windows Installer refuses it."""
    wine = ctx.wine
    if not os.path.isfile(package):
        raise RuntimeError("%s is not built (scripts/build.sh, then the host tree)" % package)
    scratch = tempfile.mkdtemp(dir=wine.work, prefix="msi")
    log = os.path.join(scratch, "msi.log")
    properties = b""
    if isinstance(action, tuple):
        action, properties = action[0], b" " + action[1]
    line = (MSIEXEC + b" " + action + b' "' + windows_path(package) + b'"' + properties
            + b' /qn /l*v "' + windows_path(log) + b'"')
    run = wine.run(line, ctx.empty, script=answers, trace=False,
                   extra_env={"WINEDEBUG": MSI_TRACE})
    with open(log, "rb") as f:
        run.notes = re.findall(rb"^Quorin64: (.*)\.\r?$", f.read(), re.M)
    shutil.rmtree(scratch)
    if case is not None:
        case.equal(deferred_calls(run.trace), [],
                   "calls a deferred action may not make (Windows refuses them)")
        case.check(PERFORMED.search(run.trace), "no action in msi's trace")
    return run


def msi_file_names(ctx):
    return file_names(ctx.wine.files_below(MSI_FOLDER))


def check_msi_files(case, ctx, inf=None):
    """The x64 program and every file of the driver package, in one folder."""
    expected = driver_package(inf or ctx.wine.inf)
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


def inf_folder(ctx):
    """The names in Windows' INF folder, where staging puts a package."""
    status, out, err = ctx.wine.call(["sh", "-c", 'ls -1 "$1"', "sh",
                                      ctx.wine.drive_c_path(b"C:\\windows\\inf")])
    return sorted(out.split())


def msi_record(ctx):
    """The custom actions' record: {ProductCode: {value name: data}}."""
    tree = ctx.wine.subtree(RECORD_ROOT)
    return {path.split(b"\\")[-1]: {name: data.rstrip(b"\0") if kind == 1 else data
                                    for name, (kind, data) in values.items()}
            for path, values in tree.items() if path.count(b"\\") == 1}


def msi_property(package, name):
    """A value of the package's Property table (msiinfo, beside wixl)."""
    out = subprocess.run(["msiinfo", "export", package, "Property"], check=True,
                         stdout=subprocess.PIPE).stdout
    return dict(line.split(b"\t", 1) for line in out.splitlines()[3:])[name].strip()


def uninstall_msi(ctx, case, package, owned=True):
    """msiexec /x: nothing left, nothing staged or added to Windows' INF
    folder, and the driver package this product put into the store handed
    to SetupUninstallOEMInfA without forcing it (Wine then keeps the file
    and says so; Windows refuses while a device uses the package); without
    owned, no package is taken out."""
    before = inf_folder(ctx)
    run = msiexec(ctx, b"/x", package, case=case)
    case.equal(run.code, 0, "msiexec /x exit code")
    case.equal(msi_file_names(ctx), None, "files after msiexec /x")
    case.equal(msi_products(ctx), [], "products registered after msiexec /x")
    case.equal(msi_record(ctx), {}, "the actions' record after msiexec /x")
    case.equal(inf_folder(ctx), before, "Windows' INF folder after msiexec /x")
    case.check(b"SetupCopyOEMInfW" not in run.trace, "the uninstall staged the package")
    if not owned:
        case.equal(run.notes, [b"this version owns no driver package in the driver store: "
                               b"none taken out"], "uninstall log lines")
        case.check(b"SetupUninstallOEMInfW" not in run.trace,
                   "a package this product did not put into the store was taken out")
        return run
    removed = re.match(rb"driver package (.+) taken out of the driver store$",
                       run.notes[0]) if len(run.notes) == 1 else None
    if case.check(removed, "uninstall log lines: %s" % show(run.notes)):
        check_taken_out(case, run, removed.group(1))
    return run


def check_taken_out(case, run, name):
    case.check(re.search(rb"SetupUninstallOEMInfW L" + traced(b'"' + name + b'"')
                         + rb", 0x00000000,", run.trace),
               "no SetupUninstallOEMInfA call on %s without flags" % show(name))
    case.check(re.search(rb"not deleting L" + traced(b'"C:\\windows\\inf\\' + name + b'"'),
                         run.trace, re.I),
               "Wine's setupapi keeps %s without SUOI_FORCEDELETE (and says so)" % show(name))


def start_without_product(ctx):
    """A case that failed half-way may have left a product installed. Wine 8
    keeps every staged INF for ever (SetupUninstallOEMInfA deletes nothing):
    copies of the test INF go, so that no case finds the package already
    in the store."""
    if msi_file_names(ctx) is not None or msi_products(ctx):
        for package in ctx.wine.packages.values():
            msiexec(ctx, b"/x", package)
    ctx.wine.shell('for f in "$1"/*.inf; do cmp -s "$f" "$2" && rm -f "$f" "${f%.inf}.pnf"; '
                   'done; true', ctx.wine.drive_c_path(b"C:\\windows\\inf"), ctx.wine.inf)
    ctx.wine.delete_keys([b"SOFTWARE\\Quorin64"])


def msi_case(codes, answers, msi_code, package, ids=None):
    """The package installs the files, its custom action runs the program
    from the install folder with the package's INF name once for each
    hardware ID up to the first failure and turns the exit codes into
    msiexec's, with one log line naming each ID and code; -3 for every ID
    stages the driver package, and fails the install when it cannot; a
    failure or an empty ID rolls everything back; the package that went
    into the store (staged, or by the update as on Windows) is recorded as
    this version's; what installed is then uninstalled."""
    def body(ctx, case):
        wine = ctx.wine
        start_without_product(ctx)
        action = (b"/i", b'HARDWARE_ID="%s"' % b"|".join(ids)) if ids else b"/i"
        run = msiexec(ctx, action, wine.packages[package], answers, case)
        case.equal(run.code, msi_code, "msiexec /i exit code")
        check_double_loaded(case, run, len(codes))
        inf_name = os.path.basename(wine.inf).encode()
        installed_inf = MSI_FOLDER + b"\\" + inf_name
        runs = list(zip(codes, ids or [DEV]))
        if case.equal(len(run.calls), len(runs), "update calls"):
            for call, (_, id) in zip(run.calls, runs):
                check_call(case, call, id, installed_inf,
                           b'"' + MSI_FOLDER + b'\\Quorin64.exe" ' + inf_name + b"+" + id)
        lines = [b"the program ended with %d for %s" % pair for pair in runs] or [BAD_DATA]
        case.equal([note.split(b" (")[0] for note in run.notes[:len(lines)]], lines,
                   "log lines: %s" % show(run.notes))
        case.check(re.search(rb'Performing action \(L"\[.*\]InstallDriver"\)', run.trace),
                   "InstallDriver did not run as a deferred action")
        staging = re.search(rb"SetupCopyOEMInfW L" + traced(b'"' + installed_inf + b'", L"'
                                                            + MSI_FOLDER + b'"') + rb", 1, 0,",
                            run.trace)
        staged = bool(codes) and set(codes) == {-3}
        case.equal(bool(staging), staged, "driver package staged (SetupCopyOEMInfA)")
        if staged and case.equal(len(run.notes), len(codes) + 1, "log lines"):
            if msi_code == 0:
                check_staged(case, wine, run.notes[-1])
            else:
                case.check(run.notes[-1].startswith(b"could not put the driver package into "
                                                    b"the driver store (error "),
                           "staging failure log line: %s" % show(run.notes[-1]))
        if msi_code == 1603:
            case.equal(msi_file_names(ctx), None, "files after the rollback")
            case.equal(msi_products(ctx), [], "products registered after the rollback")
            case.equal(msi_record(ctx), {}, "the actions' record after the rollback")
        else:
            record = msi_record(ctx).get(msi_property(wine.packages[package], b"ProductCode"), {})
            case.equal(sorted(record), [b"InfFingerprint", b"InfName", b"Undo"], "values recorded")
            case.equal(record.get(b"Undo"), b"added", "what the install did to the store")
            check_msi_files(case, ctx)
            uninstall_msi(ctx, case, wine.packages[package])
    listed = b" " + b"|".join(id[-8:] for id in ids) if ids else b""
    body.__name__ = "%s%s: program ends with %s, msiexec with %d" % (
        package, listed.decode(), codes, msi_code)
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


def msi_upgrade(ctx, case, names=("driver", "upgrade"), inf=None):
    """A package of a higher version with the same UpgradeCode replaces the
    installed one: the program runs again from the new files, the new
    version takes the driver package over, and the old version's removal
    leaves it in the store; only the new product stays registered, and
    uninstalling it takes the package out."""
    start_without_product(ctx)
    first, second = (ctx.wine.packages[name] for name in names)
    run = msiexec(ctx, b"/i", first, [succeeds(stage=True)], case)
    case.equal(run.code, 0, "first package's exit code")
    before = msi_products(ctx)
    case.equal(len(before), 1, "products registered after the first install")
    owned = msi_record(ctx).get(msi_property(first, b"ProductCode"), {})
    run = msiexec(ctx, b"/i", second, [succeeds(stage=True)], case)
    case.equal(run.code, 0, "upgrade's exit code")
    case.equal(len(run.calls), 1, "update calls in the upgrade")
    case.check(b"SetupUninstallOEMInfW" not in run.trace,
               "the upgrade took the driver package out of the store")
    taken_over = {name: owned.get(name) for name in (b"InfName", b"InfFingerprint")}
    taken_over[b"Undo"] = msi_property(first, b"ProductCode")
    case.equal(msi_record(ctx), {msi_property(second, b"ProductCode"): taken_over},
               "the actions' record after the upgrade")
    after = msi_products(ctx)
    case.check(len(after) == 1 and after != before,
               "products registered: %s before the upgrade, %s after" % (before, after))
    check_msi_files(case, ctx, inf)
    uninstall_msi(ctx, case, second)


def msi_author_upgrade(ctx, case):
    """An author's package (tests/wine/CMakeLists.txt) from 1.0 to 1.1: the
    folder holds exactly 1.1's files, the drivers of a higher FileVersion."""
    folder = os.path.join(os.path.dirname(ctx.wine.packages["author-1.1"]), "author", "1.1")
    msi_upgrade(ctx, case, ("author-1.0", "author-1.1"), os.path.join(folder, "package",
                                                                      "talmerix.inf"))


def msi_failed_upgrade(ctx, case):
    """An upgrade whose program fails ends with 1603 and leaves the old
    version registered, owning its driver package, which stays in the
    store: the old version's removal comes after the new version's actions,
    in the same transaction. Its files are not checked: Wine's rollback
    neither restores the files the new version overwrote nor keeps the
    UpgradeCodes key (Windows does both)."""
    start_without_product(ctx)
    first, second = ctx.wine.packages["driver"], ctx.wine.packages["upgrade"]
    msiexec(ctx, b"/i", first, [fails(ERROR_NO_SUCH_DEVINST)], case)
    record = msi_record(ctx)
    run = msiexec(ctx, b"/i", second, [fails(ERROR_ACCESS_DENIED)], case)
    case.equal(run.code, 1603, "failed upgrade's exit code")
    case.check(b"SetupUninstallOEMInfW" not in run.trace,
               "the failed upgrade took the driver package out of the store")
    case.equal(msi_products(ctx), [b"1.0.0"], "products registered after the failed upgrade")
    case.equal(msi_record(ctx), record, "the actions' record after the failed upgrade")
    uninstall_msi(ctx, case, first)


msi_failed_upgrade.__name__ = ("msi failed upgrade: 1603, the old version kept with its package "
                               "(files not checked: Wine's rollback does not restore them)")


def msi_restart_flag_consumed(ctx, case):
    """The restart the program asks for reaches msiexec (3010) through the
    record, and the record keeps no restart for the next run: a repair
    whose program needs none ends with 0."""
    start_without_product(ctx)
    package = ctx.wine.packages["driver"]
    run = msiexec(ctx, b"/i", package, [succeeds(restart=1)], case)
    case.equal(run.code, 3010, "msiexec /i exit code")
    case.check(all(b"RestartNeeded" not in values for values in msi_record(ctx).values()),
               "a restart is still recorded")
    run = msiexec(ctx, (b"/i", b"REINSTALL=ALL"), package, [succeeds()], case)
    case.equal(run.code, 0, "repair's exit code")
    uninstall_msi(ctx, case, package, owned=False)


def msi_repair(ctx, case):
    """A repair (REINSTALL=ALL) runs the program again, once, and stages the
    package again on -3; the package stays this version's."""
    start_without_product(ctx)
    package = ctx.wine.packages["driver"]
    msiexec(ctx, b"/i", package, [fails(ERROR_NO_SUCH_DEVINST)], case)
    record = msi_record(ctx)
    run = msiexec(ctx, (b"/i", b"REINSTALL=ALL"), package, [fails(ERROR_NO_SUCH_DEVINST)] * 2,
                  case)
    case.equal(run.code, 0, "repair's exit code")
    case.equal(len(run.calls), 1, "update calls in the repair")
    case.check(re.search(rb"SetupCopyOEMInfW L" + traced(b'"' + MSI_FOLDER), run.trace),
               "the repair did not stage the package again")
    case.equal({code: values.get(b"InfName") for code, values in msi_record(ctx).items()},
               {code: values.get(b"InfName") for code, values in record.items()},
               "the package each version owns, after the repair")
    uninstall_msi(ctx, case, package)


def msi_remove_feature(ctx, case):
    """REMOVE=Driver (every feature of the package) removes the product and
    takes the staged package out, as msiexec /x does."""
    start_without_product(ctx)
    package = ctx.wine.packages["driver"]
    msiexec(ctx, b"/i", package, [fails(ERROR_NO_SUCH_DEVINST)], case)
    name = list(msi_record(ctx).values())[0].get(b"InfName", b"?")
    run = msiexec(ctx, (b"/i", b"REMOVE=Driver"), package, None, case)
    case.equal(run.code, 0, "exit code")
    case.equal(run.notes, [b"driver package %s taken out of the driver store" % name],
               "log lines")
    check_taken_out(case, run, name)
    case.equal(msi_file_names(ctx), None, "files afterwards")
    case.equal(msi_record(ctx), {}, "the actions' record afterwards")


msi_remove_feature.__name__ = ("msi REMOVE=Driver takes the staged package out "
                               "(SetupUninstallOEMInfA; Wine keeps the file)")


def msi_package_there_before(ctx, case):
    """A package that another product put into the store before this one
    came is not this product's: the install records none, and the
    uninstall leaves it in the store."""
    start_without_product(ctx)
    status, out = ctx.wine.regtool("stage", windows_path(ctx.wine.inf).hex())
    staged = re.match(rb"staged (\S+)$", out.strip())
    if not case.check(status == 0 and staged, "staging beforehand: %s" % show(out)):
        return
    package = ctx.wine.packages["driver"]
    run = msiexec(ctx, b"/i", package, [fails(ERROR_NO_SUCH_DEVINST)], case)
    case.equal(run.code, 0, "msiexec /i exit code")
    case.equal(run.notes[-1:], [b"driver package %s was in the driver store before this product: "
                                b"uninstalling leaves it there" % staged.group(1)], "log lines")
    case.check(all(b"InfName" not in values for values in msi_record(ctx).values()),
               "the package is recorded as this product's")
    uninstall_msi(ctx, case, package, owned=False)
    case.check(staged.group(1) in inf_folder(ctx), "the package left the INF folder")


def msi_package_replaced_under_its_name(ctx, case):
    """Windows gives a freed oemNN.inf name to the next package staged: the
    uninstall leaves a name that no longer holds the bytes it recorded."""
    start_without_product(ctx)
    package = ctx.wine.packages["driver"]
    msiexec(ctx, b"/i", package, [fails(ERROR_NO_SUCH_DEVINST)], case)
    name = list(msi_record(ctx).values())[0].get(b"InfName", b"?")
    copy = b"C:\\windows\\inf\\" + name
    ctx.wine.shell('printf "[Version]\\r\\n; another package\\r\\n" > "$1"',
                   ctx.wine.drive_c_path(copy))
    run = msiexec(ctx, b"/x", package, case=case)
    case.equal(run.notes, [b"driver package %s is no longer the one this product put into the "
                           b"driver store: left there" % name], "uninstall log lines")
    case.check(b"SetupUninstallOEMInfW" not in run.trace, "the other package was taken out")
    ctx.wine.shell('rm -f "$1"', ctx.wine.drive_c_path(copy))


def msi_action_types(ctx, case):
    """Immediate actions carry no no-impersonate bit (it means nothing
    there); deferred and rollback ones run in the script as LocalSystem
    (in-script 1024, no-impersonate 2048); the restart is asked for after
    InstallFinalize; the old version is removed after InstallExecute."""
    package = ctx.wine.packages["driver"]
    tables = {}
    for table in ("CustomAction", "InstallExecuteSequence"):
        out = subprocess.run(["msiinfo", "export", package, table], check=True,
                             stdout=subprocess.PIPE).stdout
        tables[table] = [line.split(b"\t") for line in out.splitlines()[3:]]
    sequence = {row[0].decode(): int(row[2]) for row in tables["InstallExecuteSequence"]}
    types = {row[0].decode(): int(row[1]) for row in tables["CustomAction"]}
    for action, kind in types.items():
        deferred = bool(kind & 1024)
        case.equal(bool(kind & 2048), deferred, "no-impersonate bit of %s (type %d)"
                   % (action, kind))
        if deferred:
            case.check(sequence["InstallInitialize"] < sequence[action] <
                       sequence["InstallExecute"], "%s outside the script" % action)
    case.equal(types["RollbackDriver"] & (256 | 1024), 256 | 1024,
               "RollbackDriver's rollback bits")
    order = ["RollbackDriver", "InstallDriver", "InstallExecute", "RemoveExistingProducts",
             "InstallFinalize", "ScheduleRestart"]
    case.equal(sorted(order, key=sequence.get), order, "order in InstallExecuteSequence")


def msi_same_version(ctx, case):
    """A rebuild of the installed version (a new product code, the same
    UpgradeCode and version) replaces it rather than installing beside it."""
    start_without_product(ctx)
    first, second = ctx.wine.packages["driver"], ctx.wine.packages["rebuild"]
    case.equal(msiexec(ctx, b"/i", first, [succeeds(stage=True)], case).code, 0,
               "first build's exit code")
    case.equal(msiexec(ctx, b"/i", second, [succeeds(stage=True)], case).code, 0,
               "second build's exit code")
    case.equal(len(msi_products(ctx)), 1, "products registered after both builds")
    check_msi_files(case, ctx)
    uninstall_msi(ctx, case, second)


def msi_remove_not_installed(ctx, case):
    """Wine's msiexec /x of a package that is not installed runs the removal
    with REMOVE=ALL (Windows answers 1605): the custom actions stay out."""
    start_without_product(ctx)
    run = msiexec(ctx, b"/x", ctx.wine.packages["driver"], case=case)
    case.equal(run.code, 0, "msiexec /x exit code (Wine's; Windows gives 1605)")
    case.equal(run.notes, [], "log lines")
    case.check(b"SetupCopyOEMInfW" not in run.trace and b"SetupUninstallOEMInfW" not in run.trace,
               "setupapi was called")


CASES = [msi_case(*row) for row in MSI_OUTCOMES] + [
    only("x64", body) for body in [
        msi_upgrade, msi_same_version, msi_remove_not_installed, msi_failed_upgrade,
        msi_restart_flag_consumed, msi_repair, msi_remove_feature, msi_package_there_before,
        msi_package_replaced_under_its_name, msi_action_types, msi_author_upgrade]]
