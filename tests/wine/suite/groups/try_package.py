"""The "try" group (x64 program): kit/try-package.sh, which builds and
tries a driver package on a Wine machine of its own."""
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

from suite.checks import only
from suite.common import HERE
from suite.groups.msi import msi_property

sys.path.insert(0, os.path.join(HERE, "..", "kit"))
import package_maker  # noqa: E402  (tests/kit, beside this suite)


# kit/try-package.sh, an author's try of a driver package (x64 MSI, in
# the 32-bit root's Wine 10, on a machine of its own)

TRY_SCRIPT = os.path.join(HERE, "..", "..", "kit", "try-package.sh")
TRY_STEPS = ["build the MSI", "no controller: install", "no controller: uninstall",
             "controller present: install", "controller present: uninstall"]
TRY_UPGRADE = ["previous version: install", "no controller: upgrade"]  # --previous's first
TRY_UPGRADE_CODE = "{5B0E4C1A-7D2F-4A8B-9C3E-1F6D8A2B4C7E}"

# An author's package with its driver file in an amd64 subfolder, named
# only in decorated sections (Wine 8's setupapi retries such a copy for
# ever; Windows and Wine 10 take it).
MYDRV_INF = b"""[Version]
Signature = "$Windows NT$"
Class = HIDClass
ClassGuid = {745A17A0-74D3-11D0-B6FE-00A0C90F57DA}
Provider = %Provider%
DriverVer = 01/01/2024,1.0.0.0
CatalogFile = mydrv.cat

[Manufacturer]
%Provider% = Models, NTamd64

[Models.NTamd64]
%Device% = Install, USB\\VID_1F3A&PID_0C21

[SourceDisksNames.amd64]
1 = %Disk%,,,amd64

[SourceDisksFiles.amd64]
mydrv.sys = 1

[DestinationDirs]
DefaultDestDir = 12

[Install.NTamd64]
CopyFiles = DriverFiles

[DriverFiles]
mydrv.sys

[Install.NTamd64.Services]
AddService = TALMERIX, 0x00000002, Service

[Service]
DisplayName = %Device%
ServiceType = 1
StartType = 3
ErrorControl = 1
ServiceBinary = %12%\\mydrv.sys

[Strings]
Provider = "An author"
Device = "An author's game controller"
Disk = "Driver disk"
""".replace(b"\n", b"\r\n")
MYDRV_PACKAGE = {"mydrv.inf": MYDRV_INF, "amd64/mydrv.sys": b"driver"}

# name, files of the signed author's package left out (None: the test
# package; "upgrade": the msi group's author's 1.1 over its 1.0), expected
# exit status, the file a refusal names (None: every step as expected).
TRY_PACKAGES = [
    ("the test package", None, 0, None),
    ("an amd64 subfolder named in decorated sections only", [], 0, None),
    ("a driver file missing: refused before Wine runs", ["amd64/mydrv.sys"], 1, "mydrv.sys"),
    ("an upgrade from its previous version", "upgrade", 0, None),
]
LOGS_LINE = re.compile(r"^Logs of every step .*: (\S.*)$", re.M)


def author_package(folder, keys, left_out):
    """MYDRV_PACKAGE in folder, its catalog signed under a throwaway root
    (returned: its PEM) before the files left_out go."""
    for path, data in MYDRV_PACKAGE.items():
        os.makedirs(os.path.dirname(os.path.join(folder, path)), exist_ok=True)
        with open(os.path.join(folder, path), "wb") as f:
            f.write(data)
    root_key = package_maker.make_key(os.path.join(keys, "root.key"))
    signer_key = package_maker.make_key(os.path.join(keys, "signer.key"))
    root = package_maker.make_certificate("An author's test root", root_key, ca=True)
    signer = package_maker.make_certificate("An author", signer_key, root, root_key)
    package_maker.make_catalog(os.path.join(folder, "mydrv.cat"),
                               [os.path.join(folder, p) for p in MYDRV_PACKAGE],
                               signer, signer_key, chain=[root])
    for path in left_out:
        os.remove(os.path.join(folder, path))
    trust = os.path.join(folder, "..", "root.pem")
    package_maker.write_pem(trust, root)
    return trust


def try_table(out):
    """The table's rows: {step: (exit code, result, what it means)}."""
    rows = {}
    for line in out.splitlines():
        for step in TRY_STEPS + TRY_UPGRADE:
            if line.startswith(step + "  "):
                fields = re.split(r" {2,}", line[len(step):].strip(), maxsplit=2)
                rows[step] = tuple(fields + [""] * (3 - len(fields)))
    return rows


def run_script(argv, scratch, env=None):
    """Runs a script to its end in scratch: (its result, its output). The
    output goes into a file, not a pipe, which Wine's processes could hold
    open."""
    with open(os.path.join(scratch, "out"), "w+b") as out:
        done = subprocess.run(argv, stdout=out, stderr=subprocess.STDOUT, timeout=900,
                              env=dict(os.environ, **(env or {})), cwd=scratch)
        out.seek(0)
        return done, out.read().decode("utf-8", "replace")


def try_case(name, left_out, status, refused):
    """try-package.sh on a package folder: the table names every step; a
    good package passes each (staged without a controller, served with one,
    the stale instance gone, files and package gone after each uninstall)
    and leaves no logs; a broken one is refused by the build with the file
    named, no Wine step runs, and the logs stay in the folder the table
    names; an upgrade names the files changed and the package handed over."""
    steps = TRY_STEPS[:1] + TRY_UPGRADE + TRY_STEPS[2:] if left_out == "upgrade" else TRY_STEPS

    def body(ctx, case):
        scratch = tempfile.mkdtemp(dir=ctx.wine.work, prefix="try")
        old = ctx.wine.packages["author-1.0"]
        try:
            if left_out == "upgrade":
                folder = os.path.join(os.path.dirname(old), "author", "1.1", "package")
                options = ["--previous", old, "--version", "1.1.0", "--name", "Quorin64 example "
                           "driver", "--folder", "Quorin64 example", "--upgrade-code", msi_property(
                               old, b"UpgradeCode").decode(), "--trust", folder + "/../trust.pem"]
                inf = "talmerix.inf"
            elif left_out is None:
                folder, options, inf = os.path.dirname(ctx.wine.inf), [], os.path.basename(
                    ctx.wine.inf)
            else:
                folder, inf = os.path.join(scratch, "package"), "mydrv.inf"
                trust = author_package(folder, os.path.join(ctx.wine.work, "keys"), left_out)
                options = ["--upgrade-code", TRY_UPGRADE_CODE, "--trust", trust]
            done, text = run_script([TRY_SCRIPT] + options + [folder], scratch)
            logs = LOGS_LINE.search(text)
            kept = glob.glob(os.path.join(scratch, "try-package-logs-*", "build-msi.err"))
            case.equal((bool(logs), len(kept)), (status != 0, int(status != 0)),
                       "logs named in the table, and kept")
        finally:
            shutil.rmtree(scratch)
        rows = try_table(text)
        failed = not case.equal(done.returncode, status, "exit status") or not case.equal(
            sorted(rows), sorted(steps), "steps in the table")
        if failed:
            case.check(False, "output:\n" + text[-3000:])
            return
        if refused:
            code, result, meaning = rows["build the MSI"]
            case.check(code != "0" and result == "FAILED" and refused in meaning,
                       "build row does not refuse naming %s: %s" % (refused, rows["build the MSI"]))
            case.equal([rows[step][1] for step in TRY_STEPS[1:]], ["not run"] * 4,
                       "Wine steps after a refusal")
            case.check("demonstration machine (" not in text, "Wine ran after a refusal")
            return
        for step in steps:
            case.equal(rows[step][1], "ok", "%s: %s" % (step, rows[step][2]))
        expected = {
            "no controller: install": ["program: -3 ", "staged as C:\\windows\\inf\\" + inf],
            "no controller: uninstall": ["files gone from C:\\Program Files\\",
                                         inf + " out of the driver store"],
            "controller present: install": ["program: 0 ", "served by TALMERIX",
                                            "stale instance OLD_0003 (OLDPAD) gone"],
            "controller present: uninstall": ["files gone from C:\\Program Files\\"],
            "no controller: upgrade": [
                "replaced: talmerix.cat, talmerix.sys, x86/talmerix.sys; added: 0 added.txt; "
                "removed: notes 1.0.txt; unchanged: Quorin64.exe, talmerix.inf; driver package "
                "talmerix.inf kept in the store, handed over from " + msi_property(
                    old, b"ProductCode").decode()],
        }
        expected["previous version: install"] = expected["no controller: install"]
        for step, parts in expected.items():
            for part in parts * (step in steps):
                case.check(part in rows[step][2], "%s does not say %r: %s"
                           % (step, part, rows[step][2]))
    body.__name__ = "try-package.sh: " + name
    return only("x64", body)


DEMO_SCRIPT = os.path.join(HERE, "..", "..", "scripts", "demo.sh")

# The demonstration's own checks (x64 program alone): the argument it hands
# the program, changed; what it must then complain of.
DEMO_FAILURES = [
    ("an exit code other than 0", {"QUORIN_DEMO_INF_NAME": ""},
     "the x64 program: exit code -1, not 0"),
    ("the stale instance left", {"QUORIN_DEMO_HARDWARE_ID": "USB\\VID_1F3A&PID_0C22"},
     "the x64 program: the stale instance OLD_0003 is still there"),
]


def demo_case(name, variables, complaint):
    """scripts/demo.sh fails, naming what was not as expected."""
    def body(ctx, case):
        scratch = tempfile.mkdtemp(dir=ctx.wine.work, prefix="demo")
        try:
            done, text = run_script([DEMO_SCRIPT], scratch, dict(variables, QUORIN_DEMO_X86="0"))
        finally:
            shutil.rmtree(scratch)
        case.equal(done.returncode, 1, "exit status")
        case.check(complaint in text, "the demo does not say %r:\n%s" % (complaint, text[-2000:]))
    body.__name__ = "demo fails on " + name
    return only("x64", body)


CASES = [try_case(*row) for row in TRY_PACKAGES] + [demo_case(*row) for row in DEMO_FAILURES]
