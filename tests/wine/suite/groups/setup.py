"""The "setup" group: the example NSIS and Inno Setup setups and their
uninstallers, silently, for every exit code."""
import os
import re
import time

from suite.checks import (check_boxes, check_call, check_double_loaded, check_tree, driver_package,
    file_names, only)
from suite.common import (AUTO, DEBUG_BOX, DEV, ERROR_ACCESS_DENIED, EXIT_CODES, HERE,
    ERROR_FILE_NOT_FOUND, ERROR_INVALID_FLAGS, ERROR_IN_WOW64, ERROR_NO_SUCH_DEVINST, SETUP_IDS,
    X86_INF_FOLDER, ansi_bytes, ansi_text, fails, show, succeeds, unix_path, windows_path)
from suite.context import BASE_REMOVED

FOUND, NO_DEVICE = succeeds(stage=True), fails(ERROR_NO_SUCH_DEVINST)

# The example setup's answer to each exit code: the program's exit code for
# each hardware ID it ran for, scripted answers, the setup's exit code, what
# follows, and the setup's IDs (default: the setup for one, DEV). What
# follows: None (nothing is the setup's), "owned" (the record names the
# package's copy in the store), "uninstall" (owned, then the case
# uninstalls silently and the package is taken out), "before" (the package
# was in the store before the setup came: nothing recorded, the uninstall
# leaves it), "reused" (owned, then its name goes to another package: the
# uninstall leaves that). FOUND puts the INF into the store as Windows' own
# update does. A 64-bit process is never refused with ERROR_IN_WOW64 for
# good, so -6 comes only from the x86 branch.
SETUP_OUTCOMES = [
    ([1], [succeeds(restart=1, stage=True)], 3010, "owned"),
    ([0], [AUTO], 0, None),  # AUTO: the setup put the INF where the program looks
    ([-1], [fails(ERROR_ACCESS_DENIED)], 101, None),
    ([-2], [fails(ERROR_FILE_NOT_FOUND)], 102, None),
    ([-3], [NO_DEVICE], 0, "uninstall"),
    # The INF spoiled after the program ran: staging fails.
    ([-3], [fails(ERROR_NO_SUCH_DEVINST, spoil=True)], 103, None),
    ([-4], [fails(ERROR_INVALID_FLAGS)], 104, None),
    ([-6], [fails(ERROR_IN_WOW64)] * 2, 106, None),
    ([-3], [NO_DEVICE], 0, "before"),
    ([-3], [NO_DEVICE], 0, "reused"),
    # A restart when one run asks; staged only when no run found a device;
    # the first failure ends the runs, and what an earlier run added stays
    # the setup's.
    ([0, 1, 0], [FOUND, succeeds(restart=1, stage=True), FOUND], 3010, "owned", SETUP_IDS),
    ([0, -3, 0], [FOUND, NO_DEVICE, FOUND], 0, "uninstall", SETUP_IDS),
    ([-3, -3, -3], [NO_DEVICE] * 3, 0, "owned", SETUP_IDS),
    ([0, -2], [FOUND, fails(ERROR_FILE_NOT_FOUND), FOUND], 102, "owned", SETUP_IDS),
]

# Where both example setups install, whatever /D= or /DIR= says, and their
# uninstall keys.
SETUP_FOLDER = b"C:\\Program Files\\Quorin64 example"
UNINSTALL_KEYS = b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
SETUP_IDENTITY = {"nsis": b"{0904530A-2C0C-420E-A20E-1FEAF151D04C}",
                  "inno": b"{F06CB5F3-C817-4898-BAB2-64C9743BF047}"}
SETUP_KEYS = {"nsis": UNINSTALL_KEYS + b"Quorin64 example",
              "inno": UNINSTALL_KEYS + SETUP_IDENTITY["inno"] + b"_is1"}
# The record of what each owns in the driver store, the MSI's.
RECORD_ROOT = b"SOFTWARE\\Quorin64"
# Where both keep the mark a deployment tool's detection rule looks for.
STATE_KEY = b"Software\\Quorin64 example"
INF_FOLDER = b"C:\\windows\\inf"
SETUPAPI_TRACE = "-all,+relay,+loaddll,trace+setupapi"
# The flags of SetupUninstallOEMInfW in Wine 8's trace, and in Wine 10's.
NOT_FORCED = rb", (?:flags )?0(?:x0{8})?,"
# Inno Setup's uninstall log says why the package goes or stays. Under Wine
# 10 the 32-bit uninstaller cannot take out what a 64-bit process staged
# (each has a store of its own): "taken out", or "could not be taken out".
UNINSTALL_LINES = {"uninstall": b" taken out of the driver store",
                   "before": b"This setup put no driver package into the driver store: none taken out.",
                   "reused": b" is no longer the one this setup put into the driver store: left there."}


def traced_calls(run, function, after=b""):
    """The file names setupapi's trace shows each call of function with,
    where after follows the name."""
    found = re.findall(rb"trace:setupapi:" + function + rb' (?:\w+ )?L"((?:[^"\\]|\\.)*)"' + after,
                       run.trace)
    return [name.replace(b"\\\\", b"\\") for name in found]


def string_value(wine, key, name):
    """A REG_SZ value below HKLM without its terminator; None when missing."""
    data = wine.subtree(key).get(b"", {}).get(name, (None, None))[1]
    return data.rstrip(b"\0") if data is not None else None


def setup_record(wine, tool):
    """The setup's record: {value name: text, or number}."""
    identity = SETUP_IDENTITY[tool]
    values = wine.subtree(RECORD_ROOT + b"\\Driver packages\\" + identity + b"\\" + identity)
    return {name: data.rstrip(b"\0") if kind == 1 else int.from_bytes(data, "little")
            for name, (kind, data) in values.get(b"", {}).items()}


def fnv1a(data):
    value = 2166136261
    for byte in data:
        value = (value ^ byte) * 16777619 % 2 ** 32
    return value


def store_copies(ctx, infs, remove=False):
    """The names in Windows' INF folder of files with the bytes of one of
    the INFs (paths where Wine runs). With remove, these copies go, and so
    do the folders of Wine 10's driver stores that hold one: 32-bit
    processes have a store of their own there (syswow64), and staging
    fails for a package that is in a store without its copy in the INF
    folder, so a package goes from everywhere at once or not at all."""
    status, out, err = ctx.wine.call(
        ["sh", "-c", 'cd "$1" && shift && for f in inf/*.inf */driverstore/filerepository/*/*.inf; '
         'do for i in "$@"; do cmp -s "$f" "$i" && case $f in inf/*) echo "${f#inf/}"; '
         '[ -z "$0" ] || rm -f "$f" "${f%.inf}.pnf" ;; *) [ -z "$0" ] || rm -rf "${f%/*}" ;; '
         'esac; done; done; true', "remove" if remove else "",
         ctx.wine.drive_c_path(b"C:\\windows")] + list(infs))
    return out.split()


def check_package(case, files, package, spoiled):
    """Every file of the driver package arrived, as it is (the INF spoiled by
    the double excepted)."""
    for name, data in package.items():
        if not (spoiled and name.endswith(".inf")):
            case.check(files is not None and files.get(name) == data,
                       "%s did not arrive as it is" % name)


def check_record(case, wine, record, inf):
    """The record names a copy of the INF in Windows' INF folder, with the
    FNV-1a of its bytes, as the MSI's custom action records it."""
    name = record.get(b"InfName", b"?")
    copy = (wine.files_below(INF_FOLDER) or {}).get(ansi_text(name))
    case.equal(sorted(record), [b"InfFingerprint", b"InfName"], "values recorded")
    case.check(copy == inf, "the record names no copy of the INF: %s" % show(name))
    case.equal(record.get(b"InfFingerprint"), fnv1a(inf), "fingerprint recorded")


def setup_case(tool, codes, answers, setup_code, after, ids=(DEV,)):
    """An example setup (NSIS with its default x86 stub, or Inno Setup), a
    32-bit program, runs silently, installs into its fixed folder (the
    folder given with /D= or /DIR= stays untouched), puts the whole driver
    package where the program for this Windows looks (the x86 program's
    setups are built to take the x86 branch), runs it for each ID up to the
    first failure, answers the exit codes and stages the package when every
    run gave -3; the package is the setup's when it was not in the store
    before and is there afterwards; then, for some rows, uninstalls
    silently."""
    def body(ctx, case):
        wine = ctx.wine
        before = start_clean(ctx, tool)
        several = len(ids) > 1
        source_inf = wine.ids_inf if several else wine.inf
        inf_name = ansi_bytes(os.path.basename(source_inf))
        package_folder = X86_INF_FOLDER if ctx.x86 else SETUP_FOLDER + b"\\Driver"
        if after == "before":  # another product staged the same package
            status, out = wine.regtool("stage", (ctx.pkg + b"\\" + inf_name).hex())
            if not case.check(out.startswith(b"staged "), "staging beforehand: %s" % show(out)):
                return
        ignored = ctx.installs + b"\\%s%s-%s" % (tool.encode(), "".join(map(str, codes)).encode(),
                                                 str(after).encode())
        run = run_setup(ctx, case, tool, answers, setup_code, ignored, several)
        runs = list(zip(codes, ids))
        if tool == "inno":  # each run's meaning, for the program this branch ran
            with open(unix_path(ignored + b".log"), "rb") as f:
                log = f.read()
            for code, id in runs:
                line = b"Quorin64 ended with %d for %s: %s." % (code, id,
                                                               code_meaning(code, wine.name))
                case.check(line in log, "the setup's log lacks %s" % show(line))
        case.check(not os.path.exists(unix_path(ignored)), "the setup used the folder given")
        installed = wine.files_below(SETUP_FOLDER + b"\\Driver") or {}
        with open(wine.program, "rb") as program:
            case.check(installed.get("Quorin64.exe") == program.read(),
                       "the setup ran another program")
        package = driver_package(source_inf)
        spoiled = any("spoil" in answer for answer in answers)
        check_package(case, wine.files_below(package_folder), package, spoiled)
        inf = package_folder + b"\\" + inf_name
        check_double_loaded(case, run, len(runs))
        call_ids = [id for _, id in runs] if several else [DEV] * len(answers)
        if case.equal(len(run.calls), len(call_ids), "update calls"):
            for call, id in zip(run.calls, call_ids):
                check_call(case, call, id, inf, b'"' + SETUP_FOLDER + b'\\Driver\\Quorin64.exe" '
                           + (b"\\" if ctx.x86 else b"") + inf_name + b"+" + id)
        if several:
            case.equal(run.boxes, [DEBUG_BOX] * len(runs) * ctx.x86, "message boxes")
        else:
            check_boxes(case, run, 0)
        check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)
        # The setup stages from where the branch put the INF (the double
        # names no media location), when every run gave -3 alone.
        case.equal(traced_calls(run, b"SetupCopyOEMInfW", rb", (?:location )?L"),
                   [inf] if set(codes) == {-3} else [], "packages staged (setupapi's trace)")
        case.equal(string_value(wine, STATE_KEY, b"DriverInstalled"),
                   b"1.0.0" if setup_code in (0, 3010) else None,
                   "detection mark (only after a successful install)")
        record = setup_record(wine, tool)
        if after in (None, "before"):
            case.equal(record, {}, "the setup's record")
        else:
            check_record(case, wine, record, package[os.path.basename(source_inf)])
        name = record.get(b"InfName", b"?")
        if after == "reused":  # the name freed, Windows gives it to the next package
            store_copies(ctx, [unix_path(ctx.pkg + b"\\" + inf_name)], remove=True)
            status, out = wine.regtool("stage", windows_path(wine.ids_inf).hex())
            case.equal(out.strip(), b"staged " + name, "staging another package")
        if after in UNINSTALL_LINES:
            uninstall(ctx, case, tool, after, [name] if after == "uninstall" else [])
        if after == "before":
            case.equal(len(store_copies(ctx, [unix_path(ctx.pkg + b"\\" + inf_name)])), 1,
                       "copies of the package in the store after uninstalling")
    notes = {"before": ", package in the store before", "reused": ", its name reused"}
    body.__name__ = "%s, program ends with %s%s%s" % (
        {"nsis": "NSIS", "inno": "Inno Setup"}[tool], ", ".join(map(str, codes)),
        ", staging fails" if setup_code == 103 else "", notes.get(after, ""))
    return body if -6 not in codes else only("x86", body)


def code_meaning(code, program):
    """What the exit code means for the program, from docs/exit-codes.tsv."""
    with open(EXIT_CODES, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 3 and fields[0] == str(code) and fields[1] in ("both", program):
                return fields[2].encode()
    raise RuntimeError("code %d is not in %s" % (code, EXIT_CODES))


def start_clean(ctx, tool):
    """No trace of an earlier install, no test package in the store; the
    device tree seeded. Returns the Enum tree."""
    wine = ctx.wine
    ctx.reset()
    wine.delete_keys([RECORD_ROOT, STATE_KEY] + list(SETUP_KEYS.values()))
    store_copies(ctx, [unix_path(ctx.pkg + b"\\" + ansi_bytes(os.path.basename(wine.inf))),
                       wine.ids_inf], remove=True)
    wine.shell('rm -rf "$1" "$2"', wine.drive_c_path(SETUP_FOLDER),
               wine.drive_c_path(X86_INF_FOLDER))
    return wine.enum_tree()


def run_setup(ctx, case, tool, answers, setup_code, ignored, several=False):
    """Runs the setup (the one for several IDs) silently with the folder
    ignored given (/D=, /DIR=) and checks its exit code."""
    wine = ctx.wine
    log = ignored + b".log"
    suffix = "-ids" if several else ""
    if tool == "nsis":
        line = b'"' + wine.helper("setup-%s%s.exe" % (wine.name, suffix)) + b'" /S /D=' + ignored
    else:
        setup = windows_path(wine.inno_setup[:-len(".exe")] + suffix + ".exe")
        line = (b'"' + setup + b'" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /DIR=' + ignored
                + b" /LOG=" + log)
    run = wine.run(line, ctx.empty, script=answers, extra_env={"WINEDEBUG": SETUPAPI_TRACE})
    if not case.equal(run.code, setup_code, "setup's exit code") and tool == "inno":
        show_log(case, log)
    return run


def show_log(case, log):
    path = unix_path(log)
    if os.path.isfile(path):
        with open(path, "rb") as f:
            case.failures.append("setup's log ends: %s" % show(f.read()[-1500:]))


def uninstall(ctx, case, tool, after, taken_out):
    """Runs the uninstall command the setup registered, silently (Inno
    Setup's with a log, which says why), waiting for every process it
    starts: the packages taken_out go out of the driver store (not forced),
    no other, and no file, folder, record or key of the setup is left."""
    wine = ctx.wine
    command = string_value(wine, SETUP_KEYS[tool], b"QuietUninstallString")
    if not case.check(command, "no QuietUninstallString registered"):
        return
    log = ctx.installs + b"\\%s-uninstall.log" % tool.encode()
    if tool == "inno":
        command += b" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /LOG=" + log
    run = wine.run(command, ctx.empty, extra_env={"WINEDEBUG": SETUPAPI_TRACE}, tree=True)
    if not case.equal(run.code, 0, "uninstaller's exit code") and tool == "inno":
        show_log(case, log)
    if tool == "inno":
        with open(unix_path(log), "rb") as f:
            case.check(UNINSTALL_LINES[after] in f.read(),
                       "the uninstall log lacks %s" % show(UNINSTALL_LINES[after]))
    case.equal(traced_calls(run, b"SetupUninstallOEMInfW", NOT_FORCED), taken_out,
               "packages taken out of the driver store, not forced (setupapi's trace)")
    case.equal(file_names(wine.files_below(SETUP_FOLDER)), None,
               "files in the setup's folder after uninstalling")
    if ctx.x86:
        case.equal(file_names(wine.files_below(X86_INF_FOLDER)), None,
                   "files in the INF folder after uninstalling")
    case.check(b"" not in wine.subtree(RECORD_ROOT), "the record's keys are left")
    case.equal(string_value(wine, STATE_KEY, b"DriverInstalled"), None,
               "detection mark after uninstalling")
    case.check(b"" not in wine.subtree(SETUP_KEYS[tool]), "the uninstall key is left")


README = os.path.join(HERE, "..", "..", "README.md")
TOOL_NAMES = {"nsis": "NSIS", "inno": "Inno Setup"}
# A 32-bit program on 64-bit Windows, as Intune's agent starts commands.
CMD32 = b"C:\\windows\\syswow64\\cmd.exe"
PENDING_KEY = b"System\\CurrentControlSet\\Control\\Session Manager"


def intune_uninstall_command(tool):
    """The uninstall command of the README's Intune table for a setup."""
    with open(README, encoding="utf-8") as f:
        text = f.read()
    table = text[text.index("**Microsoft Intune**"):]
    row = re.search(r"^\| %s \| `[^`]+` \| `([^`]+)` \|$" % re.escape(TOOL_NAMES[tool]), table,
                    re.M)
    return row.group(1).encode() if row else None


def intune_uninstall(tool):
    """The README's Intune uninstall command for a setup, started from a
    32-bit command interpreter as Intune's agent starts it (%ProgramFiles%
    is Program Files (x86) there), after an install that succeeded: when it
    returns, the package is out of the driver store and the files, the
    setup's keys and the detection mark are gone. An uninstaller that runs
    in place cannot remove its own file: it may stay, queued for deletion
    at the next restart."""
    def body(ctx, case):
        wine = ctx.wine
        command = intune_uninstall_command(tool)
        if not case.check(command, "no %s row in the README's Intune table" % TOOL_NAMES[tool]):
            return
        start_clean(ctx, tool)
        wine.wine("reg", "delete", b"HKLM\\" + PENDING_KEY, "/v", "PendingFileRenameOperations",
                  "/f")
        name = "intune-" + tool
        run_setup(ctx, case, tool, [FOUND], 0, ctx.installs + b"\\" + name.encode())
        if not case.check(string_value(wine, STATE_KEY, b"DriverInstalled"),
                          "no detection mark after the install"):
            return
        staged = setup_record(wine, tool).get(b"InfName")
        # The host's own %ProgramFiles% first, to show it is a 32-bit one.
        run = wine.run(CMD32 + b" /c echo host:%ProgramFiles%& " + command, ctx.empty,
                       extra_env={"WINEDEBUG": SETUPAPI_TRACE})
        case.equal(run.code, 0, "exit code of %s" % show(command))
        case.check(b"host:C:\\Program Files (x86)" in run.runner_output,
                   "not started from a 32-bit host: %s" % show(run.runner_output))
        # Everything below is done by the time the command returns.
        case.equal(traced_calls(run, b"SetupUninstallOEMInfW", NOT_FORCED), [staged],
                   "packages taken out of the driver store (setupapi's trace)")
        left = file_names(wine.files_below(SETUP_FOLDER))
        if tool == "nsis":
            # In place (_?=), uninstall.exe cannot delete itself: Windows
            # deletes it at the next restart.
            pending = wine.subtree(PENDING_KEY).get(b"", {}).get(
                b"PendingFileRenameOperations", (None, b""))[1]
            case.equal(left, ["uninstall.exe"], "files in the setup's folder")
            case.check(SETUP_FOLDER.lower() + b"\\uninstall.exe" in pending.lower(),
                       "uninstall.exe is not queued for deletion at restart: %s" % show(pending))
        else:
            # Inno's copy in the temporary folder ends the uninstaller it
            # was started from once it is done, then deletes that file and
            # the folder.
            case.check(left in (None, ["unins000.exe"]),
                       "files in the setup's folder: %s" % show(left))
            deadline = time.monotonic() + 30
            while left is not None and time.monotonic() < deadline:
                time.sleep(1)
                left = file_names(wine.files_below(SETUP_FOLDER))
            case.equal(left, None, "files in the setup's folder 30 s later")
        if ctx.x86:
            case.equal(file_names(wine.files_below(X86_INF_FOLDER)), None,
                       "files in the INF folder")
        case.equal(string_value(wine, STATE_KEY, b"DriverInstalled"), None, "detection mark")
        case.check(b"" not in wine.subtree(RECORD_ROOT), "the record's keys are left")
        case.check(b"" not in wine.subtree(SETUP_KEYS[tool]), "the uninstall key is left")
    body.__name__ = "%s, Intune's uninstall command from a 32-bit host" % TOOL_NAMES[tool]
    return body


CASES = [setup_case(tool, *row) for tool in ("nsis", "inno") for row in SETUP_OUTCOMES] + [
    intune_uninstall(tool) for tool in ("nsis", "inno")]
