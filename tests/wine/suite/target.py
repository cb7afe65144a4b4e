"""One program under test: its prefix, its Windows helpers, and a run of the
program through runner.exe with what the run left behind parsed."""
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile

from suite.common import (CALL_TIMEOUT, CHECK_PACKAGE, DEV, ENUM, INNO_SCRIPT, MSI_PACKAGES,
    PROGRAM_TIME_LIMIT_MS, SETUP_IDS, WINE, WINE32_SCRIPT, WINESERVER, ansi_bytes, ansi_text,
    show, signed32, text_argument, windows_path)
from suite.wines import HostWine, RootWine, wine32_mode


# ---------------------------------------------------------------------------
# One program under test: its prefix and Windows helpers


# Groups whose cases start 32-bit programs for the x64 program too (the
# setups): where the host has no 32-bit Wine they run in the 32-bit root,
# in a prefix of their own.
THIRTY_TWO_BIT_GROUPS = ("setup",)


class Target:
    """Everything the cases need about one program: the program, its
    helpers, its Wine and prefix, and how to seed, read and run. With
    thirty_two, the Wine that also runs 32-bit programs."""

    def __init__(self, options, thirty_two=False):
        self.name = options.target
        self.x86 = self.name == "x86"
        self.work = os.path.join(os.path.abspath(options.work), self.name)
        self.helpers = os.path.abspath(options.helpers)
        # newdev.dll, mkdevice.exe and the setup match the program's bitness.
        self.own_helpers = os.path.join(self.helpers, "x86") if self.x86 else self.helpers
        self.program = os.path.abspath(options.program)
        self.inf = os.path.abspath(options.inf)
        self.iscc = os.path.abspath(options.iscc) if options.iscc else None
        self.setup_programs = [os.path.abspath(p) for p in options.setup_programs or []]
        self.packages = dict(zip(MSI_PACKAGES, (os.path.abspath(p) for p in options.msi or [])))
        self.in_root = (self.x86 or thirty_two) and wine32_mode() == "root"
        # The x64 program's root prefix sits beside its host prefix.
        self.prefix = os.path.join(self.work, "prefix32" if self.in_root and not self.x86
                                   else "prefix")
        self.inno_setup = os.path.join(self.work, "inno-" + os.path.basename(self.prefix),
                                       "setup-%s.exe" % self.name)
        # The package for SETUP_IDS (tests/wine/CMakeLists.txt makes it).
        self.ids_inf = os.path.join(self.helpers, "ids-package", "package", "talmerix.inf")
        folders = [self.helpers] + ([os.path.dirname(self.iscc)] if self.iscc else [])
        self.backend = RootWine(self.work, self.prefix, folders) if self.in_root else HostWine()
        # No display: MessageBoxA returns at once. A fixed locale keeps the
        # ANSI code page at 1252 whatever the caller's environment.
        self.env = {"WINEPREFIX": self.prefix, "WINEDEBUG": "-all", "LC_ALL": "C.UTF-8",
                    "WINEDLLOVERRIDES": "mscoree,mshtml="}

    def helper_file(self, name):
        own = os.path.join(self.own_helpers, name)
        return own if os.path.isfile(own) else os.path.join(self.helpers, name)

    def helper(self, name):
        return windows_path(self.helper_file(name))

    def call(self, args, extra_env=None, timeout=CALL_TIMEOUT):
        return self.backend.call([text_argument(a) for a in args],
                                 dict(self.env, **(extra_env or {})), timeout)

    def wine(self, *args, **kwargs):
        return self.call([WINE] + list(args), **kwargs)

    def shell(self, script, *args):
        """A POSIX shell script where Wine runs (the prefix of the root's
        Wine is only visible there)."""
        status, out, err = self.call(["sh", "-ec", script, "sh"] + list(args))
        if status != 0:
            raise RuntimeError("%s: %s" % (script, show(err)))

    # -- the prefix and its server -----------------------------------------

    def begin(self):
        self.backend.begin(self.env)

    def end(self):
        self.backend.end(self.env)

    def stop_server(self):
        # The root's server never outlives its namespace.
        if self.in_root or not os.path.isdir(self.prefix):
            return
        self.call([WINESERVER, "-k"])
        self.call([WINESERVER, "-w"])

    def create(self, fresh=True, inno=False):
        """Creates the prefix; fresh removes the program's whole work folder
        first; inno compiles the example Inno Setup setup too."""
        for path in [self.program, self.inf] + [
                self.helper_file(n) for n in ("runner.exe", "newdev.dll", "regtool.exe",
                                              "mkdevice.exe")]:
            if not os.path.isfile(path):
                raise RuntimeError("%s is not built" % path)
        if inno:
            for path in [self.iscc] + self.setup_programs:
                if path is None or not os.path.isfile(path):
                    raise RuntimeError("%s is missing (scripts/prerequisites.sh, "
                                       "scripts/build.sh)" % path)
        if fresh:
            self.stop_server()
            shutil.rmtree(self.work, ignore_errors=True)
        os.makedirs(self.prefix)  # the server needs the folder to exist
        if self.in_root:
            subprocess.run([WINE32_SCRIPT, "setup"], check=True)
        # A failure leaves the server to the caller (or the namespace ends
        # with this process).
        self.begin()
        if not self.in_root:  # the root's prefix is ready made
            status, out, err = self.wine("wineboot", "-i", timeout=180)
            if status != 0:
                raise RuntimeError("wineboot failed: %s" % show(err[-2000:]))
        # Relay tracing of a few calls: each message box, each driver update
        # (the test newdev.dll says so through OutputDebugStringA) and each
        # registry key the program opens, in call order.
        self.import_reg(["Windows Registry Editor Version 5.00", "",
                         "[HKEY_CURRENT_USER\\Software\\Wine\\Debug]",
                         '"RelayInclude"="user32.MessageBoxA;OutputDebugStringA;'
                         'advapi32.RegOpenKeyA"', ""])
        status, out, _ = self.wine(self.helper("regtool.exe"), "acp")
        if out.strip() != b"1252":
            raise RuntimeError("the prefix's ANSI code page is %s, not 1252" % show(out))
        self.install_double()
        if inno:
            self.compile_inno()
            self.compile_inno(self.ids_inf, SETUP_IDS, "-ids")
        self.end()

    def install_double(self):
        """The test newdev.dll goes where Windows keeps newdev.dll: the
        system directory of the program's bitness (syswow64 for 32-bit
        programs under WoW64), never beside the program. The scripted cases
        load it with WINEDLLOVERRIDES=newdev=n; without that override Wine
        loads its builtin, which the "real" group relies on."""
        system = "syswow64" if self.x86 else "system32"
        self.shell('cp "$1" "$2"', self.helper_file("newdev.dll"),
                   os.path.join(self.prefix, "drive_c", "windows", system, "newdev.dll"))

    def compile_inno(self, inf=None, ids=(DEV,), suffix=""):
        """kit/inno with ISCC.exe, bundling both programs and the test
        driver package (or inf's, for ids, as setup-<name><suffix>.exe); the
        x86 program's setup takes the x86 branch on 64-bit Windows too."""
        inf = inf or self.inf
        # The setup installs on amd64 and x86 Windows, and ISCC under Wine
        # has no Python to check the package with: checked here, as the
        # README asks, with the made test package's root when it has one.
        package = os.path.dirname(inf)
        trust = os.path.join(os.path.dirname(package), "trust.pem")
        checked = subprocess.run(
            [sys.executable, CHECK_PACKAGE, "--arch", "amd64", "--arch", "x86", "--inf",
             os.path.basename(inf)] + [a for id in ids for a in ("--hardware-id", id.decode())]
            + (["--trust", trust] if os.path.isfile(trust) else []) + [package],
            stderr=subprocess.PIPE)
        if checked.returncode != 0:
            raise RuntimeError("check-package.py refused the package: %s" % show(checked.stderr))
        sources = os.path.dirname(self.inno_setup)
        os.makedirs(sources, exist_ok=True)
        for name, path in [("quorin64-setup.iss", INNO_SCRIPT),
                           ("x64.exe", self.setup_programs[0]),
                           ("x86.exe", self.setup_programs[1])]:
            shutil.copy(path, os.path.join(sources, name))
        shutil.rmtree(os.path.join(sources, "package"), ignore_errors=True)
        shutil.copytree(package, os.path.join(sources, "package"))
        folder = windows_path(sources)
        defines = [b"/DQUORIN64_X64=" + folder + b"\\x64.exe",
                   b"/DQUORIN64_X86=" + folder + b"\\x86.exe",
                   b"/DQUORIN64_PACKAGE=" + folder + b"\\package",
                   b"/DQUORIN64_INF_NAME=" + ansi_bytes(os.path.basename(inf)),
                   b"/DHARDWARE_IDS=" + b"|".join(ids)]
        if self.x86:
            defines.append(b"/DQUORIN64_FORCE_X86")
        name = os.path.splitext(os.path.basename(self.inno_setup))[0] + suffix
        status, out, err = self.wine(windows_path(self.iscc), "/Q", *defines,
                                     b"/O" + folder, "/F" + name,
                                     folder + b"\\quorin64-setup.iss", timeout=300)
        if status != 0 or not os.path.isfile(os.path.join(sources, name + ".exe")):
            raise RuntimeError("ISCC failed (%d): %s %s" % (status, show(out[-2000:]),
                                                           show(err[-2000:])))

    def remove(self):
        self.stop_server()
        shutil.rmtree(self.work, ignore_errors=True)
        try:
            os.rmdir(os.path.dirname(self.work))  # once both programs' are gone
        except OSError:
            pass

    def import_reg(self, lines):
        path = os.path.join(self.work, "seed.reg")
        with open(path, "wb") as f:
            f.write(b"\xff\xfe" + "\r\n".join(lines).encode("utf-16-le"))
        status, out, err = self.wine("reg", "import", windows_path(path))
        if status != 0:
            raise RuntimeError("reg import failed: %s %s" % (show(out), show(err)))

    def drive_c_path(self, windows):
        """Where a C: path lives on disk, in the prefix."""
        assert windows[:3] == b"C:\\", windows
        return os.path.join(self.prefix, "drive_c", ansi_text(windows[3:]).replace("\\", "/"))

    def files_below(self, windows):
        """Every file below a C: folder, {path below it with "/": bytes}, read
        where Wine runs (the root's prefix is only visible there); None when
        the folder is missing."""
        folder = self.drive_c_path(windows)
        status, out, err = self.call(["sh", "-c", '[ ! -d "$1" ] || tar -C "$1" -cf - .', "sh",
                                      folder])
        if status != 0:
            raise RuntimeError("reading %s: %s" % (folder, show(err)))
        if not out:
            return None
        with tarfile.open(fileobj=io.BytesIO(out)) as archive:
            return {member.name[2:]: archive.extractfile(member).read()
                    for member in archive.getmembers() if member.isfile()}

    # -- registry, below HKEY_LOCAL_MACHINE ---------------------------------

    def regtool(self, *args):
        status, out, err = self.wine(self.helper("regtool.exe"), *args)
        return status, out.replace(b"\r", b"")

    def delete_keys(self, paths):
        status, out = self.regtool("delete", *[p.hex() for p in paths])
        if status != 0:
            raise RuntimeError("could not clear test keys: %s" % show(out))

    def enum_tree(self):
        """The whole Enum tree: {path below Enum: {value name: (type, data)}}."""
        status, out = self.regtool("dump", ENUM.hex())
        return parse_dump(out, ENUM)

    def subtree(self, path):
        status, out = self.regtool("dump", path.hex())
        return parse_dump(out, path)

    def open_keys(self, path):
        """Keys below path (itself included) whose access list is absent or
        NULL, that is open to every account, and keys that could not be
        walked; and how many keys were walked."""
        status, out = self.regtool("nodacl", path.hex())
        walked = re.search(rb"^walked (\d+)$", out, re.M)
        found = [(kind.decode(), bytes.fromhex(key.decode())) for kind, key in
                 re.findall(rb"^(nodacl|unreadable|missing) ([0-9a-f]+)$", out, re.M)]
        return found, int(walked.group(1)) if walked else 0

    def access_list(self, path):
        status, out = self.regtool("getsd", path.hex())
        return out.strip().decode("ascii", "replace")

    def set_access_list(self, path, sddl):
        status, out = self.regtool("setsd", path.hex(), sddl)
        if status != 0:
            raise RuntimeError("setsd %s: %s" % (show(path), show(out)))

    def seed(self, keys):
        """Writes keys below Enum: {path: {name: bytes (REG_SZ) or int}}."""
        lines = ["Windows Registry Editor Version 5.00", ""]
        for path, values in keys.items():
            lines.append("[HKEY_LOCAL_MACHINE\\%s]" % ansi_text(ENUM + b"\\" + path))
            for name, value in values.items():
                quoted = ansi_text(name).replace("\\", "\\\\").replace('"', '\\"')
                if isinstance(value, int):
                    lines.append('"%s"=dword:%08x' % (quoted, value))
                else:
                    text = ansi_text(value).replace("\\", "\\\\").replace('"', '\\"')
                    lines.append('"%s"="%s"' % (quoted, text))
            lines.append("")
        self.import_reg(lines)

    # -- running the program --------------------------------------------------

    def run(self, command_line, directory, script=None, copies=1, kill_below=None,
            newdev_order="n", extra_env=None, trace=True, seen=True, tree=False):
        """Starts a command line through runner.exe in a directory (Windows
        path). With a script the test newdev.dll answers; without one Wine's
        own newdev does. Several copies start together; their exit codes are
        in codes. Runs may go side by side (each has its own log). With
        kill_below (key path, subkeys) the runner ends the program once the
        key has fewer subkeys (killed: the count it saw, else None). Without
        seen, the program runs on a window station that nobody sees.
        newdev_order is Wine's load order for newdev.dll with a script. With
        tree the runner also waits for every process the program starts."""
        scratch = tempfile.mkdtemp(dir=self.work, prefix="run")
        log = os.path.join(scratch, "double.log")
        extra = {"WINEDEBUG": "-all,+relay,+loaddll" if trace else "-all"}
        if script is not None:
            script_path = os.path.join(scratch, "double.script")
            with open(script_path, "w") as f:
                f.write("".join(line + "\n" for line in script))
            # Mono and Gecko stay off here too: the desktop process a first
            # message box starts would otherwise wait about 10 s for them.
            extra.update(WINEDLLOVERRIDES="newdev=%s;mscoree,mshtml=" % newdev_order,
                         QUORIN_DOUBLE_SCRIPT=ansi_text(windows_path(script_path)),
                         QUORIN_DOUBLE_LOG=ansi_text(windows_path(log)))
        extra.update(extra_env or {})
        watch = [] if kill_below is None else ["kill-below", kill_below[0].hex(), kill_below[1]]
        watch += ["unseen"] if not seen else []
        watch += ["tree"] if tree else []
        status, out, err = self.wine(self.helper("runner.exe"), directory.hex(),
                                     command_line.hex(), PROGRAM_TIME_LIMIT_MS, copies, *watch,
                                     extra_env=extra)
        result = Run()
        result.x86 = self.x86
        result.seen = seen
        result.codes = [signed32(int(code)) for code in re.findall(rb"exit (\d+)", out)]
        result.code = result.codes[0] if result.codes else None
        killed = re.search(rb"^killed (\d+)", out, re.M)
        result.killed = int(killed.group(1)) if killed else None
        result.runner_output = out.strip()
        result.calls = parse_double_log(log) if os.path.exists(log) else []
        shutil.rmtree(scratch)
        result.boxes, result.events = parse_trace(err)
        result.trace = err
        loaded = re.findall(rb'Loaded L"([^"]*newdev\.dll)" at \w+: (\w+)', err)
        result.newdev = [kind.decode() for _, kind in loaded]
        result.newdev_paths = [path.replace(b"\\\\", b"\\") for path, _ in loaded]
        result.trace = err
        return result


class Run:
    pass


def parse_dump(out, root):
    tree = {}
    for line in out.splitlines():
        fields = line.split(b" ")
        decode = lambda h: b"" if h == b"-" else bytes.fromhex(h.decode())
        if fields[0] in (b"K", b"V"):
            full = decode(fields[1])
            path = full[len(root) + 1:] if full != root else b""
            if fields[0] == b"K":
                tree.setdefault(path, {})
            else:
                tree.setdefault(path, {})[decode(fields[2])] = (int(fields[3]),
                                                                 decode(fields[4]))
        elif fields[0] == b"unreadable":
            tree[decode(fields[1])[len(root) + 1:]] = "unreadable"
    return tree


def parse_double_log(path):
    calls = []
    with open(path, "rb") as f:
        for line in f:
            fields = line.split()
            entry = dict(zip((k.decode() for k in fields[0::2]), fields[1::2]))
            for key in ("hwid", "inf", "cmdline", "module"):
                entry[key] = b"" if entry.get(key) in (None, b"null") else bytes.fromhex(
                    entry[key].decode())
            for key in ("call", "pid", "instances"):
                entry[key] = int(entry[key])
            entry["flags"] = int(entry["flags"], 16)
            entry["reboot"] = int(entry["reboot"])
            entry["parent"] = int(entry["parent"], 16)
            entry["answer"] = entry["answer"].decode()
            calls.append(entry)
    return calls


# The relay trace lines the suite reads, each with its thread.
TRACE_EVENTS = [
    ("box", re.compile(rb'^([0-9a-f]+):Call user32\.MessageBoxA\(([0-9a-f]+),[0-9a-f]+ "(.*)",'
                       rb'[0-9a-f]+ "(.*)",([0-9a-f]+)\)', re.M)),
    ("update", re.compile(rb'^([0-9a-f]+):Call [\w.]*OutputDebugStringA\([0-9a-f]+ '
                          rb'"UpdateDriverForPlugAndPlayDevicesA"\)', re.M)),
    ("registry", re.compile(rb'^([0-9a-f]+):Call advapi32\.RegOpenKeyA\(', re.M)),
]


def parse_trace(trace):
    """The message boxes (owner, text, caption, flags), and every traced
    event in order as (position, kind, thread)."""
    boxes = []
    events = []
    for kind, pattern in TRACE_EVENTS:
        for match in pattern.finditer(trace):
            events.append((match.start(), kind, match.group(1)))
            if kind == "box":
                owner, text, caption, flags = match.groups()[1:]
                boxes.append((match.start(), (int(owner, 16), text.decode("latin-1"),
                                              caption.decode("latin-1"), int(flags, 16))))
    return [box for _, box in sorted(boxes)], sorted(events)
