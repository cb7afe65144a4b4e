"""The "setup" group: the example NSIS and Inno Setup setups and their
uninstallers, silently, for every exit code."""
import functools
import os
import re
import time

from suite.checks import (check_boxes, check_call, check_double_loaded, check_tree, driver_package,
    file_names, only)
from suite.common import (AUTO, DEV, ERROR_ACCESS_DENIED, EXIT_CODES, HERE,
    ERROR_FILE_NOT_FOUND, ERROR_INVALID_FLAGS, ERROR_IN_WOW64, ERROR_NO_SUCH_DEVINST, SETUP_IDS,
    X86_INF_FOLDER, ansi_bytes, ansi_text, fails, show, succeeds, unix_path, windows_path)
from suite.context import BASE_REMOVED


FOUND, NO_DEVICE = succeeds(stage=True), fails(ERROR_NO_SUCH_DEVINST)
# The example setup's answer to each exit code: program exit code (a list:
# one for each ID of the setups for SETUP_IDS), scripted answers, the
# setup's exit code, and what follows: "staged" (the setup's record names
# the package's copy in the store), "uninstall" (staged, then the case
# uninstalls silently), "before" (the package was in the store before: not
# the setup's), "reused" (staged, then its name goes to another package),
# "upgrade" (an earlier version's package, of another INF, is taken out).
# A 64-bit process is never refused with ERROR_IN_WOW64 for good, so -6
# comes only from the x86 branch.
SETUP_OUTCOMES = [
    (1, [succeeds(restart=1, stage=True)], 3010, "staged"),
    (0, [AUTO], 0, None),  # AUTO: the setup put the INF where the program looks
    (-1, [fails(ERROR_ACCESS_DENIED)], 101, None),
    (-2, [fails(ERROR_FILE_NOT_FOUND)], 102, None),
    (-3, [fails(ERROR_NO_SUCH_DEVINST)], 0, "uninstall"),
    # The INF spoiled after the program ran: staging fails.
    (-3, [fails(ERROR_NO_SUCH_DEVINST, spoil=True)], 103, None),
    (-4, [fails(ERROR_INVALID_FLAGS)], 104, None),
    (-6, [fails(ERROR_IN_WOW64)] * 2, 106, None),
    (-3, [NO_DEVICE], 0, "before"),
    (-3, [NO_DEVICE], 0, "reused"),
    (-3, [NO_DEVICE], 0, "upgrade"),
    # Staged only when no run found a device; the first failure ends the
    # runs, and what an earlier run added stays the setup's.
    ([0, 1, 0], [FOUND, succeeds(restart=1, stage=True), FOUND], 3010, "staged"),
    ([0, -3, 0], [FOUND, NO_DEVICE, FOUND], 0, "uninstall"),
    ([-3, -3, -3], [NO_DEVICE] * 3, 0, "staged"),
    ([0, -2], [FOUND, fails(ERROR_FILE_NOT_FOUND)], 102, "staged"),  # the third never runs
]

# Where both example setups install, whatever /D= or /DIR= says, their
# identities and their uninstall keys.
SETUP_FOLDER = b"C:\\Program Files\\Quorin64 example"
UNINSTALL_KEYS = b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
IDENTITY = {"nsis": b"{0904530A-2C0C-420E-A20E-1FEAF151D04C}",
            "inno": b"{F06CB5F3-C817-4898-BAB2-64C9743BF047}"}
SETUP_KEYS = {"nsis": UNINSTALL_KEYS + b"Quorin64 example",
              "inno": UNINSTALL_KEYS + IDENTITY["inno"] + b"_is1"}
RECORD_ROOT = b"SOFTWARE\\Quorin64"  # the MSI's record too
# Where both keep the mark a deployment tool's detection rule looks for.
STATE_KEY = b"Software\\Quorin64 example"
SETUPAPI_TRACE = "-all,+relay,+loaddll,trace+setupapi"


def traced_calls(run, function, after=b""):
    """The file names setupapi's trace shows each call of function with,
    followed by after."""
    found = re.findall(rb"trace:setupapi:" + function + rb' (?:\w+ )?L"((?:[^"\\]|\\.)*)"' + after,
                       run.trace)
    return [name.replace(b"\\\\", b"\\") for name in found]


def string_value(wine, key, name):
    """A REG_SZ value below HKLM without its terminator; None when missing."""
    data = wine.subtree(key).get(b"", {}).get(name, (None, None))[1]
    return data.rstrip(b"\0") if data is not None else None


def record_key(tool):
    return RECORD_ROOT + b"\\Driver packages\\" + IDENTITY[tool] + b"\\" + IDENTITY[tool]


def setup_record(wine, tool):
    """The setup's record: {value name: text, or number}."""
    values = wine.subtree(record_key(tool)).get(b"", {})
    return {name: data.rstrip(b"\0") if kind == 1 else int.from_bytes(data, "little")
            for name, (kind, data) in values.items()}


def fnv1a(data):
    return functools.reduce(lambda hash, byte: (hash ^ byte) * 16777619 % 2 ** 32, data,
                            2166136261)


def remove_from_store(ctx, inf):
    """Every copy of the INF (a path where Wine runs) in C:\\windows\\inf
    and Wine 10's driver stores (a 32-bit process has one of its own) go at
    once: staging fails for a package in a store without its copy there."""
    ctx.wine.shell('cd "$1" && for f in inf/*.inf */driverstore/filerepository/*/*.inf; do '
                   'if cmp -s "$f" "$2"; then case $f in inf/*) rm -f "$f" "${f%.inf}.pnf";; '
                   '*) rm -rf "${f%/*}";; esac; fi; done', ctx.wine.drive_c_path(b"C:\\windows"),
                   inf)





def check_package(case, files, package, spoiled):
    """Every file of the driver package arrived, as it is (the INF spoiled by
    the double excepted)."""
    for name, data in package.items():
        if not (spoiled and name.endswith(".inf")):
            case.check(files is not None and files.get(name) == data,
                       "%s did not arrive as it is" % name)


def setup_case(tool, code, answers, setup_code, after):
    """An example setup (NSIS with its default x86 stub, or Inno Setup), a
    32-bit program, runs silently, installs into its fixed folder (the
    folder given with /D= or /DIR= stays untouched), puts the whole driver
    package where the program for this Windows looks (the x86 program's
    setups are built to take the x86 branch), runs it for each ID, answers
    the exit codes and stages the package when each was -3; then, for some
    rows, uninstalls silently."""
    codes, ids = (code, SETUP_IDS) if isinstance(code, list) else ([code], [DEV] * len(answers))

    def body(ctx, case):
        wine = ctx.wine
        before = start_clean(ctx, tool)
        source_inf = wine.ids_inf if len(codes) > 1 else wine.inf
        inf_name = ansi_bytes(os.path.basename(source_inf))
        package_folder = X86_INF_FOLDER if ctx.x86 else SETUP_FOLDER + b"\\Driver"
        if after == "before":  # another product staged the same package
            status, there = wine.regtool("stage", (ctx.pkg + b"\\" + inf_name).hex())
        taken_out = []  # by the install itself
        if after == "upgrade":  # an earlier version's package, of another INF, and its record
            taken_out = [wine.regtool("stage", windows_path(wine.ids_inf).hex())[1][7:-1]]
            with open(wine.ids_inf, "rb") as f:
                wine.import_reg(["Windows Registry Editor Version 5.00", "",
                                 "[HKEY_LOCAL_MACHINE\\%s]" % ansi_text(record_key(tool)),
                                 '"InfName"="%s"' % ansi_text(taken_out[0]),
                                 '"InfFingerprint"=dword:%08x' % fnv1a(f.read()), ""])
        ignored = ctx.installs + b"\\%s-code%s%s" % (
            tool.encode(), "".join(map(str, codes)).encode(), str(after).encode())
        run = run_setup(ctx, case, tool, answers, setup_code, ignored, len(codes) > 1)
        if tool == "inno":  # the meaning for the program this branch ran
            with open(unix_path(ignored + b".log"), "rb") as f:
                log = f.read()
            for c, id in zip(codes, ids):
                line = b"Quorin64 ended with %d for %s: %s." % (c, id, code_meaning(c, wine.name))
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
        check_double_loaded(case, run, len(codes))
        if case.equal(len(run.calls), len(answers), "update calls"):
            for call, id in zip(run.calls, ids):
                check_call(case, call, id, inf, b'"' + SETUP_FOLDER + b'\\Driver\\Quorin64.exe" '
                           + (b"\\" if ctx.x86 else b"") + inf_name + b"+" + id)
        if len(codes) == 1:  # the x86 program's "Debug" box comes with each run
            check_boxes(case, run, 0)
        check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)
        # Staged from where the branch put the INF when every run gave -3
        # (the double's staging names no media location).
        case.equal(traced_calls(run, b"SetupCopyOEMInfW", b", (?:location )?L"),
                   [inf] if set(codes) == {-3} else [], "packages staged (setupapi's trace)")
        case.equal(traced_calls(run, b"SetupUninstallOEMInfW"), taken_out,
                   "packages the install took out of the driver store (setupapi's trace)")
        case.equal(string_value(wine, STATE_KEY, b"DriverInstalled"),
                   b"1.0.0" if setup_code in (0, 3010) else None,
                   "detection mark (only after a successful install)")
        record = setup_record(wine, tool)
        name = record.get(b"InfName")
        if after in (None, "before"):
            case.equal(record, {}, "the setup's record")
        elif case.check(name, "no package recorded"):
            staged = wine.files_below(b"C:\\windows\\inf") or {}
            case.check(staged.get(ansi_text(name)) == package[os.path.basename(source_inf)],
                       "no staged copy of the INF as %s" % show(name))
            case.equal(record.get(b"InfFingerprint"), fnv1a(staged.get(ansi_text(name), b"")),
                       "fingerprint recorded")
        if after == "reused":  # the name freed, Windows gives it to the next package
            remove_from_store(ctx, unix_path(ctx.pkg + b"\\" + inf_name))
            status, out = wine.regtool("stage", windows_path(wine.ids_inf).hex())
            case.equal(out, b"staged %s\n" % name, "staging another package")
        if after in ("uninstall", "before", "reused", "upgrade"):
            uninstall(ctx, case, tool, [name] if after in ("uninstall", "upgrade") else [])
        if after == "before":
            case.check(there[7:-1].decode() in (wine.files_below(b"C:\\windows\\inf") or {}),
                       "the package there before left the store: %s" % show(there))
    suffix = {"before": ", package in the store before", "reused": ", its name reused",
              "upgrade": ", over an earlier version of another INF"}.get(
        after, ", staging fails" if setup_code == 103 else "")
    body.__name__ = "%s, program ends with %s%s" % (
        {"nsis": "NSIS", "inno": "Inno Setup"}[tool], code, suffix)
    return body if code != -6 else only("x86", body)


def code_meaning(code, program):
    """What the exit code means for the program, from docs/exit-codes.tsv."""
    with open(EXIT_CODES, encoding="utf-8") as f:
        for line in f:
            fields = line.rstrip("\n").split("\t")
            if len(fields) == 3 and fields[0] == str(code) and fields[1] in ("both", program):
                return fields[2].encode()
    raise RuntimeError("code %d is not in %s" % (code, EXIT_CODES))


def start_clean(ctx, tool):
    """No trace of an earlier install; the device tree seeded. Returns the
    Enum tree."""
    wine = ctx.wine
    ctx.reset()
    wine.delete_keys([RECORD_ROOT, STATE_KEY] + list(SETUP_KEYS.values()))
    remove_from_store(ctx, unix_path(ctx.pkg + b"\\" + ansi_bytes(os.path.basename(wine.inf))))
    remove_from_store(ctx, wine.ids_inf)
    wine.shell('rm -rf "$1" "$2"', wine.drive_c_path(SETUP_FOLDER),
               wine.drive_c_path(X86_INF_FOLDER))
    return wine.enum_tree()


def run_setup(ctx, case, tool, answers, setup_code, ignored, ids=False):
    """Runs the setup (with ids, the one for SETUP_IDS) silently with the
    folder ignored given (/D=, /DIR=) and checks its exit code."""
    wine = ctx.wine
    log = ignored + b".log"
    setup = "setup-%s%s.exe" % (wine.name, "-ids" if ids else "")
    if tool == "nsis":
        line = b'"' + wine.helper(setup) + b'" /S /D=' + ignored
    else:
        line = (b'"' + windows_path(os.path.join(os.path.dirname(wine.inno_setup), setup)) +
                b'" /VERYSILENT /SUPPRESSMSGBOXES /NORESTART /DIR=' + ignored + b" /LOG=" + log)
    run = wine.run(line, ctx.empty, script=answers, extra_env={"WINEDEBUG": SETUPAPI_TRACE})
    if not case.equal(run.code, setup_code, "setup's exit code") and tool == "inno":
        show_log(case, log)
    return run


def show_log(case, log):
    path = unix_path(log)
    if os.path.isfile(path):
        with open(path, "rb") as f:
            case.failures.append("setup's log ends: %s" % show(f.read()[-1500:]))


def uninstall(ctx, case, tool, taken_out):
    """Runs the uninstall command the setup registered, silently (Inno
    Setup's with a log), waiting for every process it starts: the packages
    taken_out, no other, are taken out of the driver store, and no file,
    folder, record or key of the setup is left."""
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
    case.equal(traced_calls(run, b"SetupUninstallOEMInfW"), taken_out,
               "packages taken out of the driver store (setupapi's trace)")
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
        case.equal(traced_calls(run, b"SetupUninstallOEMInfW"), [staged],
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
