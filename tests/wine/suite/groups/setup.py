"""The "setup" group: the example NSIS and Inno Setup setups and their
uninstallers, silently, for every exit code."""
import os
import re
import time

from suite.checks import (check_boxes, check_call, check_double_loaded, check_tree, driver_package,
    file_names, only)
from suite.common import (AUTO, DEV, ERROR_ACCESS_DENIED, EXIT_CODES, HERE, ERROR_FILE_NOT_FOUND,
    ERROR_INVALID_FLAGS, ERROR_IN_WOW64, ERROR_NO_SUCH_DEVINST, X86_INF_FOLDER, ansi_bytes,
    ansi_text, fails, show, succeeds, unix_path, windows_path)
from suite.context import BASE_REMOVED


# The example setup's answer to each exit code: program exit code, scripted
# answers, the setup's exit code, and what follows: "staged" (the setup keeps
# the name of the package's copy in the driver store), "uninstall" (staged,
# then the case uninstalls silently). A 64-bit process is never refused
# with ERROR_IN_WOW64 for good, so -6 comes only from the x86 branch.
SETUP_OUTCOMES = [
    (1, [succeeds(restart=1)], 3010, "staged"),
    (0, [AUTO], 0, "staged"),  # AUTO: the setup put the INF where the program looks
    (-1, [fails(ERROR_ACCESS_DENIED)], 101, None),
    (-2, [fails(ERROR_FILE_NOT_FOUND)], 102, None),
    (-3, [fails(ERROR_NO_SUCH_DEVINST)], 0, "uninstall"),
    # The INF spoiled after the program ran: staging fails.
    (-3, [fails(ERROR_NO_SUCH_DEVINST, spoil=True)], 103, None),
    (-4, [fails(ERROR_INVALID_FLAGS)], 104, None),
    (-6, [fails(ERROR_IN_WOW64)] * 2, 106, None),
]

# Where both example setups install, whatever /D= or /DIR= says, and the
# keys they keep the staged package's name in (value StagedInf).
SETUP_FOLDER = b"C:\\Program Files\\Quorin64 example"
UNINSTALL_KEYS = b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\"
SETUP_KEYS = {"nsis": UNINSTALL_KEYS + b"Quorin64 example",
              "inno": UNINSTALL_KEYS + b"Quorin64 example driver_is1"}
STAGED_NAME_KEYS = {"nsis": SETUP_KEYS["nsis"], "inno": b"Software\\Quorin64 example"}
# Where both keep the mark a deployment tool's detection rule looks for.
STATE_KEY = b"Software\\Quorin64 example"
SETUPAPI_TRACE = "-all,+relay,+loaddll,trace+setupapi"


def traced_calls(run, function):
    """The file names setupapi's trace shows each call of function with."""
    found = re.findall(rb"trace:setupapi:" + function + rb' (?:\w+ )?L"((?:[^"\\]|\\.)*)"',
                       run.trace)
    return [name.replace(b"\\\\", b"\\") for name in found]


def string_value(wine, key, name):
    """A REG_SZ value below HKLM without its terminator; None when missing."""
    data = wine.subtree(key).get(b"", {}).get(name, (None, None))[1]
    return data.rstrip(b"\0") if data is not None else None


def staged_name(wine, tool):
    return string_value(wine, STAGED_NAME_KEYS[tool], b"StagedInf")






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
    setups are built to take the x86 branch), runs it, answers its exit code
    and stages the package on -3; then, for some rows, uninstalls silently."""
    def body(ctx, case):
        wine = ctx.wine
        before = start_clean(ctx, tool)
        inf_name = ansi_bytes(os.path.basename(wine.inf))
        package_folder = X86_INF_FOLDER if ctx.x86 else SETUP_FOLDER + b"\\Driver"
        ignored = ctx.installs + b"\\%s-code%d" % (tool.encode(), code)
        run = run_setup(ctx, case, tool, answers, setup_code, ignored)
        if tool == "inno":  # the meaning for the program this branch ran
            line = b"Quorin64 ended with %d: %s." % (code, code_meaning(code, wine.name))
            with open(unix_path(ignored + b".log"), "rb") as f:
                case.check(line in f.read(), "the setup's log lacks %s" % show(line))
        case.check(not os.path.exists(unix_path(ignored)), "the setup used the folder given")
        installed = wine.files_below(SETUP_FOLDER + b"\\Driver") or {}
        with open(wine.program, "rb") as program:
            case.check(installed.get("Quorin64.exe") == program.read(),
                       "the setup ran another program")
        package = driver_package(wine.inf)
        spoiled = any("spoil" in answer for answer in answers)
        check_package(case, wine.files_below(package_folder), package, spoiled)
        argument = (b"\\" if ctx.x86 else b"") + inf_name + b"+" + DEV
        inf = package_folder + b"\\" + inf_name
        check_double_loaded(case, run)
        if case.equal(len(run.calls), len(answers), "update calls"):
            for call in run.calls:
                check_call(case, call, DEV, inf,
                           b'"' + SETUP_FOLDER + b'\\Driver\\Quorin64.exe" ' + argument)
        check_boxes(case, run, 0)
        check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)
        # Staged from where the branch put the INF, on 0, 1 and -3 alone.
        case.equal(traced_calls(run, b"SetupCopyOEMInfW"),
                   [inf] if code in (0, 1, -3) else [], "packages staged (setupapi's trace)")
        case.equal(string_value(wine, STATE_KEY, b"DriverInstalled"),
                   b"1.0.0" if setup_code in (0, 3010) else None,
                   "detection mark (only after a successful install)")
        name = staged_name(wine, tool)
        if after is None:
            case.equal(name, None, "staged package's name kept")
            return
        if case.check(name, "no staged package's name kept"):
            staged = wine.files_below(b"C:\\windows\\inf") or {}
            case.check(staged.get(ansi_text(name)) == package[os.path.basename(wine.inf)],
                       "no staged copy of the INF as %s" % show(name))
        if after == "uninstall":
            uninstall(ctx, case, tool, name)
    suffix = ", staging fails" if code == -3 and setup_code != 0 else ""
    body.__name__ = "%s, program ends with %d%s" % (
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
    wine.delete_keys([STAGED_NAME_KEYS[tool], STATE_KEY] + list(SETUP_KEYS.values()))
    wine.shell('rm -rf "$1" "$2"', wine.drive_c_path(SETUP_FOLDER),
               wine.drive_c_path(X86_INF_FOLDER))
    return wine.enum_tree()


def run_setup(ctx, case, tool, answers, setup_code, ignored):
    """Runs the setup silently with the folder ignored given (/D=, /DIR=) and
    checks its exit code."""
    wine = ctx.wine
    log = ignored + b".log"
    if tool == "nsis":
        line = b'"' + wine.helper("setup-%s.exe" % wine.name) + b'" /S /D=' + ignored
    else:
        line = (b'"' + windows_path(wine.inno_setup) + b'" /VERYSILENT /SUPPRESSMSGBOXES'
                b' /NORESTART /DIR=' + ignored + b" /LOG=" + log)
    run = wine.run(line, ctx.empty, script=answers, extra_env={"WINEDEBUG": SETUPAPI_TRACE})
    if not case.equal(run.code, setup_code, "setup's exit code") and tool == "inno":
        show_log(case, log)
    return run


def show_log(case, log):
    path = unix_path(log)
    if os.path.isfile(path):
        with open(path, "rb") as f:
            case.failures.append("setup's log ends: %s" % show(f.read()[-1500:]))


def uninstall(ctx, case, tool, name):
    """Runs the uninstall command the setup registered, silently (Inno
    Setup's with a log), waiting for every process it starts: the package
    is taken out of the driver store under the name kept, and no file,
    folder or key of the setup is left."""
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
    case.equal(traced_calls(run, b"SetupUninstallOEMInfW"), [name],
               "packages taken out of the driver store (setupapi's trace)")
    case.equal(file_names(wine.files_below(SETUP_FOLDER)), None,
               "files in the setup's folder after uninstalling")
    if ctx.x86:
        case.equal(file_names(wine.files_below(X86_INF_FOLDER)), None,
                   "files in the INF folder after uninstalling")
    case.equal(staged_name(wine, tool), None, "staged package's name after uninstalling")
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
        run_setup(ctx, case, tool, [AUTO], 0, ctx.installs + b"\\" + name.encode())
        if not case.check(string_value(wine, STATE_KEY, b"DriverInstalled"),
                          "no detection mark after the install"):
            return
        staged = staged_name(wine, tool)
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
        case.equal(staged_name(wine, tool), None, "staged package's name")
        case.check(b"" not in wine.subtree(SETUP_KEYS[tool]), "the uninstall key is left")
    body.__name__ = "%s, Intune's uninstall command from a 32-bit host" % TOOL_NAMES[tool]
    return body


CASES = [setup_case(tool, *row) for tool in ("nsis", "inno") for row in SETUP_OUTCOMES] + [
    intune_uninstall(tool) for tool in ("nsis", "inno")]
