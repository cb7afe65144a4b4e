#!/usr/bin/env python3
"""End-to-end tests of the real Quorin64.exe programs under Wine.

The x64 program runs under the host's Wine 8; the x86 program under WoW64,
in the Debian 13 root with Wine 10 that scripts/wine32.sh sets up (or under
the host's Wine where the host runs 32-bit code). Per program one prefix
serves the whole run; each `run` keeps one wineserver (and, for the root,
one namespace) for all its cases:

    wine_suite.py OPTIONS setup          create the prefix
    wine_suite.py OPTIONS run GROUP...   run case groups in that prefix
    wine_suite.py OPTIONS cleanup        stop the server, remove the prefix
    wine_suite.py OPTIONS all            all three, the server stopped on
                                         every path

Every case seeds the device registry, starts the program through runner.exe
with exact command-line bytes, and checks the full 32-bit exit code, the
message boxes it raised, what the driver update was handed, and the whole
Enum tree afterwards. The "real" group goes through Wine's own newdev and
setupapi; the others through the test newdev.dll, the prefix's
system-directory newdev.dll, loaded with WINEDLLOVERRIDES=newdev=n, whose
answers are scripted per call; "setup" runs the example NSIS and Inno Setup
setups and their uninstallers (32-bit programs: for the x64 program too,
they run in the 32-bit root where the host has no 32-bit Wine, on an Xvfb
display of the suite's own); "msi" installs and removes the example Windows
Installer packages with msiexec (x64 program only), the double answering
for the program their custom action starts.
"""
import argparse
import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tarfile
import tempfile
import threading
import time
import traceback

WINE = "/usr/lib/wine/wine64"
WINESERVER = "wineserver"
HERE = os.path.dirname(os.path.abspath(__file__))
WINE32_SCRIPT = os.path.join(HERE, "..", "..", "scripts", "wine32.sh")
AGENT = os.path.join(HERE, "namespace_agent.py")
INNO_SCRIPT = os.path.join(HERE, "..", "..", "examples", "inno", "quorin64-setup.iss")
CHECK_PACKAGE = os.path.join(HERE, "..", "..", "scripts", "check-package.sh")
EXIT_CODES = os.path.join(HERE, "..", "..", "docs", "exit-codes.tsv")
# The server outlives the last Wine process by this long, so a run that is
# killed before its cleanup still leaves nothing behind for long.
SERVER_PERSIST_SECONDS = 60
CALL_TIMEOUT = 90
PROGRAM_TIME_LIMIT_MS = 30000

ENUM = b"System\\CurrentControlSet\\Enum"
SERVICE_KEY = b"System\\CurrentControlSet\\Services\\TALMERIX"
DEV = b"USB\\VID_1F3A&PID_0C21"
ERROR_BOX = (0, "Can't perform registry operation, driver install not complete.", "Error", 0)
DEBUG_BOX = (0, "UpdateDriver 32Bit", "Debug", 0)  # owner, text, caption, MB_OK
# The x86 program's INF path: the Windows directory's drive root, this
# folder, then the INF name without a separator.
X86_INF_FOLDER = b"C:\\Program Files\\Common Files\\VID_1F3A&PID_0C21\\Salvenport\\QarnoD217"

ERROR_FILE_NOT_FOUND = 2
ERROR_INVALID_FLAGS = 1004
ERROR_NO_SUCH_DEVINST = 0xE000020B
ERROR_IN_WOW64 = 0xE0000235
ERROR_ACCESS_DENIED = 5
ERROR_SUCCESS = 0
DENY_WRITE_DAC = "D:P(D;;WD;;;WD)(A;;KA;;;WD)"



# Scripted answers of the test newdev.dll: returned BOOL, last-error code,
# restart flag; "plant" makes it add a stale instance after answering. AUTO
# fails with ERROR_FILE_NOT_FOUND when the INF path does not exist and
# succeeds otherwise; "spoil" makes it overwrite the INF after answering, so
# that staging it fails.
def succeeds(restart=0, last_error=ERROR_SUCCESS):
    return "1 %d %d" % (last_error, restart)


def fails(last_error, restart=0, plant=False, spoil=False):
    return "0 %d %d%s%s" % (last_error, restart, " plant" if plant else "",
                            " spoil" if spoil else "")


AUTO = "auto"


# Wine's code page 1252 passes the five bytes it leaves undefined through as
# the code points of the same value.
CP1252_UNDEFINED = {0x81, 0x8D, 0x8F, 0x90, 0x9D}


def ansi_text(raw):
    return "".join(chr(b) if b in CP1252_UNDEFINED else bytes([b]).decode("cp1252")
                   for b in raw)


def ansi_bytes(text):
    return b"".join(bytes([ord(c)]) if ord(c) in CP1252_UNDEFINED else c.encode("cp1252")
                    for c in text)


def windows_path(unix_path):
    return b"Z:" + ansi_bytes(os.path.abspath(unix_path).replace("/", "\\"))


def unix_path(windows):
    assert windows[:3] == b"Z:\\", windows
    return ansi_text(windows[2:]).replace("\\", "/")


def signed32(value):
    return value - (1 << 32) if value >= 1 << 31 else value


def show(raw):
    """Bytes for a message: printable ASCII as is, other bytes as \\xNN."""
    if not isinstance(raw, bytes):
        return repr(raw)
    return "'%s'" % "".join(chr(b) if 32 <= b < 127 else "\\x%02x" % b for b in raw)


def text_argument(argument):
    return argument if isinstance(argument, (bytes, str)) else str(argument)


# ---------------------------------------------------------------------------
# Where Wine runs: the host, or the 32-bit root through scripts/wine32.sh


class HostWine:
    """The host's own Wine; its server persists between runs."""

    def __init__(self):
        self.base_env = {k: v for k, v in os.environ.items()
                         if k not in ("DISPLAY", "WAYLAND_DISPLAY", "WINEDLLOVERRIDES",
                                      "WINEDEBUG")}

    def begin(self, env):
        self.call([WINESERVER, "-p%d" % SERVER_PERSIST_SECONDS], env, CALL_TIMEOUT)

    def end(self, env):
        pass

    def call(self, argv, env, timeout):
        """Output goes through files, never pipes, so Wine's lingering system
        processes cannot hold a pipe open."""
        with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
            try:
                status = subprocess.call(argv, env=dict(self.base_env, **env),
                                         stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         timeout=timeout)
            except subprocess.TimeoutExpired:
                raise RuntimeError("timed out: %s" % show(argv))
            out.seek(0)
            err.seek(0)
            return status, out.read(), err.read()


class RootWine:
    """Wine 10 in the 32-bit root: each session is one namespace, with its
    own wineserver, entered by namespace_agent.py. The prefix is a
    copy-on-write copy of the root's ready prefix, kept in <prefix>.changes.
    Calls may come from several threads at once."""

    BASE_ENV = {"PATH": "/usr/bin:/bin", "HOME": "/root", "USER": "root",
                "XDG_RUNTIME_DIR": "/tmp/xdg"}

    def __init__(self, work, prefix, folders):
        self.work = work
        self.prefix = prefix
        self.folders = folders  # seen inside at their own paths, with work
        self.agent = None

    def begin(self, env):
        os.makedirs(self.work, exist_ok=True)
        self.errors = open(os.path.join(self.work, "namespace.log"), "ab")
        binds = []
        for folder in self.folders + [self.work]:
            binds += ["--bind", folder]
        self.agent = subprocess.Popen(
            [WINE32_SCRIPT, "run"] + binds + ["--prefix", self.prefix, "--", sys.executable,
                                              AGENT],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=self.errors)
        self.lock = threading.Lock()
        self.waiting = {}
        self.next_id = 0
        self.reader = threading.Thread(target=self.read_answers, daemon=True)
        self.reader.start()
        self.call([WINESERVER, "-p%d" % SERVER_PERSIST_SECONDS], env, CALL_TIMEOUT)

    def read_answers(self):
        for line in self.agent.stdout:
            answer = json.loads(line)
            with self.lock:
                slot = self.waiting.pop(answer["id"])
            slot["status"] = answer["status"]
            slot["done"].set()
        with self.lock:  # the namespace ended: nobody waits for ever
            for slot in self.waiting.values():
                slot["done"].set()

    def end(self, env):
        """Stops the server (it saves the registry) and leaves the namespace."""
        if self.agent is None:
            return
        try:
            self.call([WINESERVER, "-k"], env, CALL_TIMEOUT)
            self.call([WINESERVER, "-w"], env, CALL_TIMEOUT)
        finally:
            self.agent.stdin.close()
            try:
                self.agent.wait(timeout=CALL_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.agent.kill()
                self.agent.wait()
            self.errors.close()
            self.agent = None

    def call(self, argv, env, timeout):
        if self.agent is None:
            raise RuntimeError("no namespace session")
        with tempfile.NamedTemporaryFile(dir=self.work) as out, \
                tempfile.NamedTemporaryFile(dir=self.work) as err:
            slot = {"done": threading.Event(), "status": "gone"}
            with self.lock:
                self.next_id += 1
                request = {"id": self.next_id, "timeout": timeout,
                           "argv": [os.fsdecode(text_argument(a)) for a in argv],
                           "env": dict(self.BASE_ENV, **env),
                           "stdout": out.name, "stderr": err.name}
                self.waiting[request["id"]] = slot
                self.agent.stdin.write((json.dumps(request) + "\n").encode())
                self.agent.stdin.flush()
            slot["done"].wait()
            if slot["status"] == "gone":
                raise RuntimeError("the namespace ended: see %s" % self.errors.name)
            if slot["status"] is None:
                raise RuntimeError("timed out: %s" % show(argv))
            return slot["status"], out.read(), err.read()


def wine32_mode():
    return subprocess.run([WINE32_SCRIPT, "mode"], stdout=subprocess.PIPE, check=True,
                          text=True).stdout.strip()


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

    def compile_inno(self):
        """examples/inno with ISCC.exe, bundling both programs and the test
        driver package; the x86 program's setup takes the x86 branch on
        64-bit Windows too."""
        # The setup installs on amd64 and x86 Windows: the package must
        # hold what its INF names for both.
        if os.path.isfile(CHECK_PACKAGE):
            checked = subprocess.run([CHECK_PACKAGE, "--arch", "amd64", "--arch", "x86",
                                      os.path.dirname(self.inf)], stderr=subprocess.PIPE)
            if checked.returncode != 0:
                raise RuntimeError("check-package.sh refused the package: %s"
                                   % show(checked.stderr))
        sources = os.path.dirname(self.inno_setup)
        os.makedirs(sources, exist_ok=True)
        for name, path in [("quorin64-setup.iss", INNO_SCRIPT),
                           ("x64.exe", self.setup_programs[0]),
                           ("x86.exe", self.setup_programs[1])]:
            shutil.copy(path, os.path.join(sources, name))
        shutil.rmtree(os.path.join(sources, "package"), ignore_errors=True)
        shutil.copytree(os.path.dirname(self.inf), os.path.join(sources, "package"))
        folder = windows_path(sources)
        defines = [b"/DQUORIN64_X64=" + folder + b"\\x64.exe",
                   b"/DQUORIN64_X86=" + folder + b"\\x86.exe",
                   b"/DQUORIN64_PACKAGE=" + folder + b"\\package",
                   b"/DQUORIN64_INF_NAME=" + ansi_bytes(os.path.basename(self.inf))]
        if self.x86:
            defines.append(b"/DQUORIN64_FORCE_X86")
        name = os.path.splitext(os.path.basename(self.inno_setup))[0]
        status, out, err = self.wine(windows_path(self.iscc), "/Q", *defines,
                                     b"/O" + folder, "/F" + name,
                                     folder + b"\\quorin64-setup.iss", timeout=300)
        if status != 0 or not os.path.isfile(self.inno_setup):
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


# ---------------------------------------------------------------------------
# Checking


class CaseFailed(Exception):
    pass


class Case:
    def __init__(self, name):
        self.name = name
        self.failures = []

    def check(self, condition, message):
        if not condition:
            self.failures.append(message)
        return condition

    def equal(self, actual, expected, what):
        return self.check(actual == expected,
                          "%s: got %s, expected %s" % (what, show(actual), show(expected)))


def under(path, root):
    return path == root or path.startswith(root + b"\\")


def check_tree(case, before, after, removed=(), ignore_under=()):
    """After the run the Enum tree must be the one before, less the removed
    subtrees; keys under ignore_under are checked by the case itself."""
    for root in removed:
        case.check(root in before, "seeding did not create %s" % show(root))
    expected = {k: v for k, v in before.items()
                if not any(under(k, r) for r in removed)
                and not any(under(k, r) for r in ignore_under)}
    actual = {k: v for k, v in after.items() if not any(under(k, r) for r in ignore_under)}
    for key in sorted(set(expected) | set(actual)):
        if key not in actual:
            case.failures.append("key %s was removed" % show(key))
        elif key not in expected:
            case.failures.append("key %s is there afterwards" % show(key))
        elif expected[key] != actual[key]:
            case.failures.append("values of %s changed: %s -> %s"
                                 % (show(key), expected[key], actual[key]))


def check_call(case, call, hwid, inf_path, command_line=None):
    case.equal(call["hwid"], hwid, "hardware ID handed to the update")
    case.equal(call["inf"], inf_path, "INF path handed to the update")
    case.equal(call["flags"], 1, "install flags (INSTALLFLAG_FORCE)")
    case.equal(call["parent"], 0, "parent window")
    case.equal(call["reboot"], 1, "restart flag pointer given")
    if command_line is not None:
        case.equal(call["cmdline"], command_line, "command line of the calling process")


def check_boxes(case, run, count):
    """count "Error" boxes; the x86 program first shows the "Debug" box,
    once, before its first driver update and before it opens any key. On a
    station nobody sees, no box at all."""
    expected = [DEBUG_BOX] * run.x86 + [ERROR_BOX] * count if run.seen else []
    case.equal(run.boxes, expected, "message boxes (owner, text, caption, flags)")
    if run.x86 and run.boxes[:1] == [DEBUG_BOX]:
        thread = [e for e in run.events if e[1] == "box"][0][2]
        kinds = [kind for _, kind, t in run.events if t == thread]
        case.equal(kinds[0], "box", "first traced call of the x86 program")
        case.equal(kinds.count("update"), len(run.calls), "driver updates seen in the trace")


def check_double_loaded(case, run, processes=1):
    case.equal(run.newdev, ["native"] * processes, "newdev.dll loaded (test double)")


# ---------------------------------------------------------------------------
# The device registry the cases start from

# Instances are enumerated in name order: two stale ones at indexes 0 and 1,
# then a served one, then stale and kept ones mixed.
BASE_TREE = {
    DEV + b"\\0000": {b"Service": b"usbhub", b"DeviceDesc": b"old hub port"},
    DEV + b"\\0000\\Device Parameters": {b"SymbolicName": b"\\??\\USB#0000"},
    DEV + b"\\0000\\Device Parameters\\Deeper": {b"Level": 3},
    DEV + b"\\0001": {b"DeviceDesc": b"no service value"},
    DEV + b"\\0001\\LogConf": {},
    DEV + b"\\0002": {b"Service": b"TALMERIX", b"Driver": b"{745A17A0}\\0002"},
    DEV + b"\\0002\\Device Parameters": {b"Kept": 1},
    DEV + b"\\0003": {b"Service": b"TALMERIX2"},
    DEV + b"\\0004": {b"Service": b"talmerix"},
    DEV + b"\\0005": {b"Service": b""},
    DEV + b"\\0006": {b"Service": b"TALMERIX" + b"X" * 300},  # does not fit 256 bytes
    DEV + b"\\0007": {b"Service": b"TalMeRix"},
    b"USB\\VID_1F3A&PID_0C22\\0000": {b"Service": b"usbhub"},  # another device
    b"USB\\ROOT_HUB\\0000": {b"DeviceDesc": b"bus sibling"},  # no Service either
}
BASE_REMOVED = [DEV + b"\\0000", DEV + b"\\0001", DEV + b"\\0003", DEV + b"\\0005",
                DEV + b"\\0006"]

HIGH_DEV = b"USB\\VID_1F3A&PID_0C21\xc4\xd6\xff"

# Every device key any case creates; each case starts by removing them.
TEST_DEVICE_KEYS = [DEV, DEV + b" ", DEV + b'"', HIGH_DEV, b"USB\\VID_1F3A&PID_0C22",
                    b"USB\\ROOT_HUB", b"USB\\STALE_BUS_DEVICE"]


class Context:
    """The program under test (ctx.wine) plus the folders the cases run from."""

    def __init__(self, wine):
        self.wine = wine
        self.x86 = wine.x86
        root = os.path.join(wine.work, "cases")
        self.root = root
        self.app = self.folder("app", program=True)
        self.cwd = self.folder("cwd", infs=[b"driver.inf", b"my driver.inf"])
        self.empty = self.folder("empty")
        self.relaunch = self.folder("relaunch", program=True, infs=[b"driver.inf"])
        self.app_with_inf = self.folder("app_with_inf", program=True, infs=[b"driver.inf"])
        self.plain = self.folder("plain", program=True)  # run without the override
        self.pkg = self.folder("pkg", infs=[b"driver.inf"])
        self.high = self.folder(b"hi\xe9\xa0\xff\x80\x81x", program=True,
                                infs=[b"\xa0dr\xe9ver.inf"])
        self.installs = self.folder("installs")
        # Drive Q: of its own, so the program can run from a drive root.
        drive = self.folder("drive", program=True, infs=[b"driver.inf"])
        link = os.path.join(wine.prefix, "dosdevices", "q:")
        wine.shell('rm -f "$1" && ln -s "$2" "$1"', link, unix_path(drive))
        self.drive_root = b"Q:\\"
        if self.x86:
            # The INFs the x86 program finds: those the x64 cases find in
            # the current directory, and driver.inf inside the folder.
            script = 'mkdir -p "$1/QarnoD217" && cp "$2" "$1/QarnoD217/driver.inf"'
            args = [os.path.dirname(wine.drive_c_path(X86_INF_FOLDER)),
                    os.path.join(unix_path(self.pkg), "driver.inf")]
            for index, name in enumerate([b"driver.inf", b"my driver.inf",
                                          b"\xa0dr\xe9ver.inf"]):
                script += ' && cp "$2" "$1/QarnoD217$%d"' % (index + 3)
                args.append(ansi_text(name))
            wine.shell(script, *args)

    def folder(self, name, program=False, infs=()):
        name = name.encode() if isinstance(name, str) else name
        windows = windows_path(self.root) + b"\\" + name
        path = unix_path(windows)
        if not os.path.isdir(path):
            os.makedirs(path)
            if program:
                shutil.copy(self.wine.program, os.path.join(path, "Quorin64.exe"))
            for inf in infs:
                shutil.copy(self.wine.inf, os.path.join(path, ansi_text(inf)))
        return windows

    def inf_path(self, directory, inf_name):
        """The INF path the program hands to the update when started in
        directory."""
        return X86_INF_FOLDER + inf_name if self.x86 else directory + b"\\" + inf_name

    def reset(self, seed=None, extra=None):
        self.wine.delete_keys([ENUM + b"\\" + key for key in TEST_DEVICE_KEYS])
        keys = dict(BASE_TREE if seed is None else seed)
        keys.update(extra or {})
        if keys:
            self.wine.seed(keys)

    def program(self, folder=None):
        return (folder or self.app) + b"\\Quorin64.exe"

    def command_line(self, argument, folder=None, separator=b" "):
        return b'"' + self.program(folder) + b'"' + separator + argument


# ---------------------------------------------------------------------------
# Cases through Wine's own newdev


def real_install(ctx, case):
    """Wine's setupapi installs the test INF on instances created through
    SetupDi by a program of the same bitness; the program then removes the
    stale instances beside them. The x64 program takes the INF from the
    current directory, the x86 one from its fixed folder."""
    wine = ctx.wine
    wine.delete_keys([ENUM + b"\\" + key for key in TEST_DEVICE_KEYS] + [SERVICE_KEY])
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
    if ctx.x86:
        run = wine.run(ctx.command_line(b"\\driver.inf+" + DEV, ctx.plain), ctx.empty)
    else:
        run = wine.run(ctx.command_line(b"driver.inf+" + DEV, ctx.plain), ctx.pkg)
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


# ---------------------------------------------------------------------------
# Cases through the test double

# name, scripted answer, exit code
OUTCOMES = [
    ("installed, restart", succeeds(restart=1), 1),
    ("installed", succeeds(), 0),
    ("installed, stale last error ignored", succeeds(last_error=ERROR_INVALID_FLAGS), 0),
    ("INF not found", fails(ERROR_FILE_NOT_FOUND), -2),
    ("no device", fails(ERROR_NO_SUCH_DEVINST), -3),
    ("flags refused", fails(ERROR_INVALID_FLAGS), -4),
    ("other failure, restart flag ignored", fails(ERROR_ACCESS_DENIED, restart=1), -1),
    ("failure without last error", fails(ERROR_SUCCESS), -1),
]


def outcome_case(name, answer, code, seen=True):
    """One scripted answer and its exit code; without seen, on a window
    station nobody sees, where no box may wait for a click."""
    def body(ctx, case):
        ctx.reset()
        before = ctx.wine.enum_tree()
        run = ctx.wine.run(ctx.command_line(b"driver.inf+" + DEV), ctx.cwd, script=[answer],
                           seen=seen)
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run)
        if case.equal(len(run.calls), 1, "update calls"):
            check_call(case, run.calls[0], DEV, ctx.inf_path(ctx.cwd, b"driver.inf"),
                       ctx.command_line(b"driver.inf+" + DEV))
        check_boxes(case, run, 0)
        check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)
    body.__name__ = name
    return body


def planted_newdev(ctx, case):
    """A newdev.dll planted beside the program and another in the current
    directory, with Wine taking a native newdev.dll before its own wherever
    the search finds one: neither may be loaded, only the system directory's
    (here the test double), which answers the update."""
    wine = ctx.wine
    # A 32-bit process's system directory is system32 too.
    system = b"C:\\windows\\system32"
    app = ctx.folder("planted_app", program=True)
    cwd = ctx.folder("planted_cwd", infs=[b"driver.inf"])
    for folder in (app, cwd):
        shutil.copy(wine.helper_file("planted_newdev.dll"),
                    os.path.join(unix_path(folder), "newdev.dll"))
    mark = os.path.join(tempfile.mkdtemp(dir=wine.work, prefix="planted"), "loads")
    ctx.reset()
    before = wine.enum_tree()
    line = ctx.command_line(b"driver.inf+" + DEV, app)
    run = wine.run(line, cwd, script=[AUTO], newdev_order="n,b",
                   extra_env={"QUORIN_PLANTED_MARK": ansi_text(windows_path(mark))})
    loads = open(mark, "rb").read() if os.path.exists(mark) else b""
    shutil.rmtree(os.path.dirname(mark))
    case.equal(loads, b"", "planted newdev.dll loaded from")
    case.equal(run.code, 0, "exit code")
    case.equal([p.lower() for p in run.newdev_paths], [system.lower() + b"\\newdev.dll"],
               "newdev.dll loaded")
    check_double_loaded(case, run)
    if case.equal(len(run.calls), 1, "update calls"):
        check_call(case, run.calls[0], DEV, ctx.inf_path(cwd, b"driver.inf"), line)
        case.equal(run.calls[0]["module"].lower(), system.lower() + b"\\newdev.dll",
                   "newdev.dll that answered")
    check_boxes(case, run, 0)
    check_tree(case, before, wine.enum_tree(), removed=BASE_REMOVED)


def relaunch_case(name, answers, code, argument, separator=b" ", cwd="relaunch", calls=None):
    """The first process gets ERROR_IN_WOW64 and starts Quorin64.exe from
    the current directory; the child's argument string and its outcome must
    be the parent's. calls: how many of the answers are used, if not all."""
    calls = calls or len(answers)

    def body(ctx, case):
        directory = getattr(ctx, cwd)
        ctx.reset()
        before = ctx.wine.enum_tree()
        parent_line = ctx.command_line(argument, separator=separator)
        run = ctx.wine.run(parent_line, directory, script=answers)
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run, processes=calls)
        hwid = argument[argument.rindex(b"+") + 1:]
        inf_path = directory + b"\\" + argument[:argument.index(b"+")]
        if case.equal(len(run.calls), calls, "update calls"):
            check_call(case, run.calls[0], hwid, inf_path, parent_line)
            if calls == 2:
                child_line = b'"' + directory + b'\\Quorin64.exe" ' + argument
                check_call(case, run.calls[1], hwid, inf_path, child_line)
                case.check(run.calls[0]["pid"] != run.calls[1]["pid"],
                           "the second call came from the same process")
                child_argument = run.calls[1]["cmdline"][len(child_line) - len(argument):]
                case.equal(child_argument, argument, "child's argument string")
        check_boxes(case, run, 0)
        removed = BASE_REMOVED if hwid == DEV else []
        check_tree(case, before, ctx.wine.enum_tree(), removed=removed)
    body.__name__ = name
    return body


def retry_case(name, answers, code):
    """x86: ERROR_IN_WOW64 makes the program run the whole install once more
    in the same process, the update and then the sweep, and return the second
    result; a second refusal gives -6. The test newdev.dll plants a stale
    instance at each call: the first is gone by the second call, the second
    by the end."""
    def body(ctx, case):
        ctx.reset()
        before = ctx.wine.enum_tree()
        line = ctx.command_line(b"driver.inf+" + DEV)
        run = ctx.wine.run(line, ctx.cwd, script=[answer + " plant" for answer in answers])
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run)  # one process: nothing was started
        if case.equal(len(run.calls), 2, "update calls"):
            for call in run.calls:
                check_call(case, call, DEV, ctx.inf_path(ctx.cwd, b"driver.inf"), line)
            case.equal(run.calls[1]["pid"], run.calls[0]["pid"], "process of the second call")
            case.equal([call["instances"] for call in run.calls], [8, 3],
                       "device instances at each call")
        check_boxes(case, run, 0)
        case.check(any(kind == "registry" for _, kind, _ in run.events),
                   "no key opening traced")
        check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)
    body.__name__ = name
    return only("x86", body)


def inf_from_fixed_folder(ctx, case):
    """x86: the INF path is the fixed folder on the drive of the Windows
    directory, whatever the current directory (one that holds driver.inf
    itself, a drive root)."""
    for directory in (ctx.app_with_inf, ctx.drive_root):
        ctx.reset()
        line = ctx.command_line(b"driver.inf+" + DEV, ctx.app_with_inf)
        run = ctx.wine.run(line, directory, script=[AUTO])
        case.equal(run.code, 0, "exit code from %s" % show(directory))
        if case.equal(len(run.calls), 1, "update calls from %s" % show(directory)):
            check_call(case, run.calls[0], DEV, X86_INF_FOLDER + b"driver.inf", line)


def inf_from_current_directory(ctx, case):
    """The program's own folder holds driver.inf, the current directory does
    not: the INF path names the current directory and the result is -2."""
    ctx.reset()
    before = ctx.wine.enum_tree()
    line = ctx.command_line(b"driver.inf+" + DEV, ctx.app_with_inf)
    run = ctx.wine.run(line, ctx.empty, script=[AUTO])
    case.equal(run.code, -2, "exit code")
    if case.equal(len(run.calls), 1, "update calls"):
        check_call(case, run.calls[0], DEV, ctx.empty + b"\\driver.inf", line)
    check_tree(case, before, ctx.wine.enum_tree(), removed=BASE_REMOVED)


def argument_case(name, argument, hwid, inf_name, code, extra=None, removed=(),
                  separator=b" ", folder=None, cwd=None, quoted=True):
    """Exact argument bytes in, the INF path and hardware ID handed to the
    update, and the sweep on that same hardware ID."""
    def body(ctx, case):
        program_folder = getattr(ctx, folder) if folder else ctx.app
        directory = getattr(ctx, cwd) if cwd else ctx.cwd
        ctx.reset(extra=extra)
        before = ctx.wine.enum_tree()
        program = ctx.program(program_folder)
        line = (b'"' + program + b'"' if quoted else program) + separator + argument
        run = ctx.wine.run(line, directory, script=[AUTO])
        case.equal(run.code, code, "exit code")
        check_double_loaded(case, run)
        if case.equal(len(run.calls), 1, "update calls"):
            check_call(case, run.calls[0], hwid, ctx.inf_path(directory, inf_name), line)
        check_boxes(case, run, 0)
        check_tree(case, before, ctx.wine.enum_tree(), removed=list(removed))
    body.__name__ = name
    return body


def refusal_case(name, argument, answer=None, code=-1):
    """Arguments the program refuses outright (no update call) or whose
    hardware ID does not name a device key (update called, no sweep): the
    whole Enum tree stays as it was either way."""
    def body(ctx, case):
        ctx.reset(extra={b"USB\\STALE_BUS_DEVICE": {b"DeviceDesc": b"no service"}})
        before = ctx.wine.enum_tree()
        line = ctx.command_line(argument)
        run = ctx.wine.run(line, ctx.cwd, script=[answer or succeeds()])
        case.equal(run.code, code, "exit code")
        if answer is None:
            case.equal(len(run.calls), 0, "update calls")
        elif case.equal(len(run.calls), 1, "update calls"):
            check_call(case, run.calls[0], argument[argument.rindex(b"+") + 1:],
                       ctx.inf_path(ctx.cwd, argument[:argument.index(b"+")]), line)
        check_boxes(case, run, 0)
        check_tree(case, before, ctx.wine.enum_tree())
    body.__name__ = name
    return body


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


def long_device_tree(stale):
    """A device key with `stale` stale instances (every other one without a
    Service value), each with three subkeys, and two served instances with
    subkeys among them: the keys to seed, and the served instances."""
    keys = {}
    for i in range(stale):
        instance = DEV + b"\\%04d" % i
        keys[instance] = {b"Service": b"usbhub"} if i % 2 else {}
        keys[instance + b"\\Device Parameters"] = {b"SymbolicName": b"\\??\\USB#%04d" % i}
        keys[instance + b"\\Device Parameters\\Deeper"] = {b"Level": 3}
        keys[instance + b"\\LogConf"] = {}
    served = [DEV + b"\\%04dA" % (stale * n // 3) for n in (1, 2)]
    for instance in served:
        keys[instance] = {b"Service": b"TALMERIX", b"Driver": b"{745A17A0}\\" + instance[-5:]}
        keys[instance + b"\\Device Parameters"] = {b"Kept": 1}
        keys[instance + b"\\Device Parameters\\Deeper"] = {b"Level": 3}
    return keys, served


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


def file_names(files):
    return sorted(files) if files is not None else None


def driver_package(inf):
    """The files of the INF's folder: {name: bytes}."""
    folder = os.path.dirname(inf)
    package = {}
    for name in os.listdir(folder):
        with open(os.path.join(folder, name), "rb") as f:
            package[name] = f.read()
    return package


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


def only(program, body):
    """Marks a case that applies to one program only."""
    body.programs = (program,)
    return body


PROGRAMS = ("x64", "x86")


def group_cases(group, program):
    return [body for body in GROUPS[group] if program in getattr(body, "programs", PROGRAMS)]


# ---------------------------------------------------------------------------
# The example Windows Installer package (examples/msi), for the x64 program

MSIEXEC = b"C:\\windows\\system32\\msiexec.exe"
MSI_FOLDER = b"C:\\Program Files\\Quorin64 example"
MSI_PRODUCT = b"Quorin64 example driver"
UNINSTALL_KEY = b"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
# setupapi's trace names each call the custom actions make; debugstr shows
# the test newdev.dll's calls among them.
MSI_TRACE = "-all,+loaddll,+debugstr,trace+setupapi,fixme+setupapi"

# The packages the suite is given: with the test driver package, the same
# at a higher version, and one whose INF setupapi refuses to stage.
MSI_PACKAGES = ("driver", "upgrade", "unstageable")
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


def msi_remove_not_installed(ctx, case):
    """Wine's msiexec /x of a package that is not installed runs the removal
    with REMOVE=ALL (Windows answers 1605): the custom actions stay out."""
    start_without_product(ctx)
    run = msiexec(ctx, b"/x", ctx.wine.packages["driver"])
    case.equal(run.code, 0, "msiexec /x exit code (Wine)")
    case.equal(run.notes, [], "log lines")
    case.check(b"SetupCopyOEMInfW" not in run.trace and b"SetupUninstallOEMInfW" not in run.trace,
               "setupapi was called")


ALL_HIGH = bytes(range(0x80, 0x100))

GROUPS = {
    "real": [real_install, real_install_missing_inf],
    "outcomes": [outcome_case(*row) for row in OUTCOMES] + [
        outcome_case("installed, on a station nobody sees", succeeds(), 0, seen=False),
        planted_newdev],
    "relaunch": [only("x64", body) for body in [
        relaunch_case("relaunched child answers -2",
                      [fails(ERROR_IN_WOW64), fails(ERROR_FILE_NOT_FOUND)], -2,
                      b"driver.inf+" + DEV),
        # Where Windows refuses the 64-bit program too (an emulated x64
        # process on ARM64): the copy never relaunches in turn.
        relaunch_case("relaunched child refused too: one relaunch, -6",
                      [fails(ERROR_IN_WOW64)] * 4, -6, b"driver.inf+" + DEV, calls=2),
        # Quotes, two blanks, an inner and a trailing blank and every byte
        # 0x80-0xFF go through the relaunch unchanged.
        relaunch_case("relaunched child answers 1, argument byte for byte",
                      [fails(ERROR_IN_WOW64), succeeds(restart=1)], 1,
                      b'"a b' + ALL_HIGH + b".inf+" + DEV + b' "', separator=b"  "),
        relaunch_case("no Quorin64.exe in the current directory", [fails(ERROR_IN_WOW64)], -1,
                      b"driver.inf+" + DEV, cwd="cwd"),
        relaunch_case("relaunch from a drive root", [fails(ERROR_IN_WOW64), AUTO], 0,
                      b"driver.inf+" + DEV, cwd="drive_root"),
    ]],
    "retry": [
        retry_case("second call answers -2", [fails(ERROR_IN_WOW64), fails(ERROR_FILE_NOT_FOUND)],
                   -2),
        retry_case("second call answers 1", [fails(ERROR_IN_WOW64), succeeds(restart=1)], 1),
        retry_case("refused twice", [fails(ERROR_IN_WOW64), fails(ERROR_IN_WOW64)], -6),
    ],
    "arguments": [
        only("x64", inf_from_current_directory),
        only("x86", inf_from_fixed_folder),
        argument_case("INF found at the INF path", b"driver.inf+" + DEV, DEV,
                      b"driver.inf", 0, removed=BASE_REMOVED),
        argument_case("blank inside the INF name, trailing blank on the ID",
                      b"my driver.inf+" + DEV + b" ", DEV + b" ", b"my driver.inf", 0,
                      extra={DEV + b" \\0000": {b"Service": b"other"},
                             DEV + b" \\0000\\Sub": {},
                             DEV + b" \\0001": {b"Service": b"TALMERIX"}},
                      removed=[DEV + b" \\0000"]),
        argument_case("two blanks and a quoted argument", b'"driver.inf+' + DEV + b'"',
                      DEV + b'"', b'"driver.inf', -2, separator=b"  ",
                      extra={DEV + b'"\\0000': {}}, removed=[DEV + b'"\\0000']),
        argument_case("several plus signs", b"driver.inf+USB\\OTHER+" + DEV + b"+", DEV,
                      b"driver.inf", 0, removed=BASE_REMOVED),
        # An unquoted program path holding 0xA0 and other high bytes, and an
        # argument that starts with 0xA0 (a blank only to signed chars).
        argument_case("bytes 0x80-0xFF in the program path and the argument",
                      b"\xa0dr\xe9ver.inf+" + HIGH_DEV, HIGH_DEV, b"\xa0dr\xe9ver.inf", 0,
                      extra={HIGH_DEV + b"\\0000": {b"Service": b"\xe9t\xe9"},
                             HIGH_DEV + b"\\0001": {b"Service": b"TALMERIX"}},
                      removed=[HIGH_DEV + b"\\0000"], folder="high", cwd="high",
                      quoted=False),
    ],
    "refusals": [
        refusal_case("empty argument", b""),
        refusal_case("no plus sign", b"driver.inf"),
        refusal_case("empty hardware ID", b"driver.inf+"),
        refusal_case("empty INF name", b"+" + DEV),
        refusal_case("bus-level ID", b"driver.inf+USB", fails(ERROR_NO_SUCH_DEVINST), -3),
        refusal_case("bus-level ID with a backslash", b"driver.inf+USB\\", succeeds(), 0),
        refusal_case("leading backslash", b"driver.inf+\\" + DEV, succeeds(), 0),
        refusal_case("empty component", b"driver.inf+USB\\\\VID_1F3A&PID_0C21", succeeds(), 0),
        # An instance's own ID: its subkeys are not instances of a device.
        refusal_case("ID naming a served instance", b"driver.inf+" + DEV + b"\\0002",
                     succeeds(), 0),
        refusal_case("ID naming a stale instance", b"driver.inf+" + DEV + b"\\0000",
                     succeeds(), 0),
        refusal_case("ID of 994 characters", b"driver.inf+" + DEV + b"\\" + b"A" * 972,
                     fails(ERROR_NO_SUCH_DEVINST), -3),
        refusal_case("ID of 1,023 characters", b"driver.inf+" + DEV + b"\\" + b"A" * 1001,
                     succeeds(restart=1), 1),
        refusal_case("ID of 1,024 characters", b"driver.inf+" + DEV + b"\\" + b"A" * 1002),
        refusal_case("INF name of 1,024 characters", b"A" * 1024 + b"+" + DEV),
        refusal_case("INF path over 1,023 characters", b"A" * 1000 + b"+" + DEV),
    ],
    "access": [deny_write_dac, deny_write_dac_unseen, deny_write_dac_on_subkey_of_served, unreadable_service_value,
               killed_mid_sweep],
    "concurrent": [concurrent_copies],
    "setup": [setup_case(tool, *row) for tool in ("nsis", "inno") for row in SETUP_OUTCOMES] + [
        intune_uninstall(tool) for tool in ("nsis", "inno")],
    "msi": [msi_case(*row) for row in MSI_OUTCOMES] + [
        only("x64", body) for body in [msi_upgrade, msi_remove_not_installed]],
}


# ---------------------------------------------------------------------------
# Running


class Display:
    """An Xvfb of the suite's own, for groups whose programs need a display
    (an Inno Setup setup builds its wizard window even when very silent),
    and a watcher that clicks OK on the x86 program's "Debug" box, which
    then really waits. Wine in the 32-bit root reaches it too: the X
    server's abstract socket is shared with the namespace."""

    def __init__(self, work):
        self.log = os.path.join(work, "xvfb.log")

    def start(self):
        read, write = os.pipe()
        with open(self.log, "ab") as log:
            self.server = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-screen", "0",
                 "1024x768x24"], pass_fds=(write,), stdin=subprocess.DEVNULL,
                stdout=log, stderr=log)
        os.close(write)
        with os.fdopen(read, "rb") as f:
            number = f.readline().strip()  # once the server is ready
        if not number.isdigit():
            self.server.kill()
            self.server.wait()
            raise RuntimeError("Xvfb did not start: see %s" % self.log)
        self.name = ":" + number.decode()
        self.stopping = threading.Event()
        self.watcher = threading.Thread(target=self.dismiss_debug_boxes, daemon=True)
        self.watcher.start()
        return self.name

    def dismiss_debug_boxes(self):
        env = dict(os.environ, DISPLAY=self.name)
        while not self.stopping.wait(0.2):
            found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Debug$"],
                                   env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            for window in found.stdout.split():
                # Focus, then the key: Xvfb has no window manager that
                # windowactivate could ask.
                try:
                    subprocess.run(["xdotool", "windowfocus", "--sync", window, "key", "Return"],
                                   env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, timeout=30)
                except subprocess.TimeoutExpired:
                    pass

    def stop(self):
        self.stopping.set()
        self.watcher.join()
        self.server.terminate()
        try:
            self.server.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.server.kill()
            self.server.wait()


# Groups that need a display.
DISPLAY_GROUPS = ("setup",)


def run_groups(wine, names):
    """Runs the groups' cases for one program with one server (and, in the
    32-bit root, one namespace, which ends with this process at the latest)."""
    display = None
    if any(name in DISPLAY_GROUPS for name in names):
        display = Display(wine.work)
        wine.env["DISPLAY"] = display.start()
    try:
        return run_cases(wine, names)
    finally:
        if display:
            display.stop()
            del wine.env["DISPLAY"]


def run_cases(wine, names):
    wine.begin()
    ctx = Context(wine)
    passed = failed = 0
    # QUORIN_WINE_CASES: a pattern; only the cases whose "group: name" it
    # finds run (while working on a few rows of a slow group).
    chosen = re.compile(os.environ.get("QUORIN_WINE_CASES", ""))
    for group in names:
        for body in group_cases(group, wine.name):
            case = Case(body.__name__.replace("_", " "))
            if not chosen.search("%s: %s" % (group, case.name)):
                continue
            started = time.monotonic()
            try:
                body(ctx, case)
            except Exception:
                case.failures.append("error:\n" + traceback.format_exc())
            seconds = time.monotonic() - started
            status = "PASS" if not case.failures else "FAIL"
            print("%s  %-66s %5.2fs" % (status, "%s %s: %s" % (wine.name, group, case.name),
                                        seconds))
            for failure in case.failures:
                print("      " + failure)
            sys.stdout.flush()
            if case.failures:
                failed += 1
            else:
                passed += 1
    wine.end()
    print("%d passed, %d failed" % (passed, failed))
    return failed == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--target", required=True, choices=PROGRAMS, help="which program")
    parser.add_argument("--program", required=True, help="that Quorin64.exe")
    parser.add_argument("--helpers", required=True, help="folder of the built helpers")
    parser.add_argument("--inf", required=True, help="the test driver package's INF")
    parser.add_argument("--work", required=True, help="folder for the prefixes and the cases")
    parser.add_argument("--iscc", help="Inno Setup's ISCC.exe, for the setup group")
    parser.add_argument("--msi", nargs=len(MSI_PACKAGES),
                        metavar=tuple(p.upper() for p in MSI_PACKAGES),
                        help="the example Windows Installer package, the same at a higher "
                        "version, and one whose driver package cannot be staged, for the "
                        "msi group")
    parser.add_argument("--setup-programs", nargs=2, metavar=("X64", "X86"),
                        help="both programs, which the Inno Setup setup bundles")
    parser.add_argument("action", choices=["setup", "run", "cleanup", "all"])
    parser.add_argument("groups", nargs="*", help="case groups: " + ", ".join(GROUPS))
    options = parser.parse_args()
    groups = options.groups or [g for g in GROUPS if group_cases(g, options.target)]
    empty = [g for g in groups if g not in GROUPS or not group_cases(g, options.target)]
    if empty:
        parser.error("no such groups for %s: %s" % (options.target, ", ".join(empty)))
    sessions = targets(options, groups)
    main_target = sessions[0][0]

    def create():
        for index, (target, names) in enumerate(sessions):
            try:
                target.create(fresh=index == 0, inno="setup" in names)
            except BaseException:
                target.stop_server()
                raise

    def run():
        passed = True
        for target, names in sessions:
            if names:
                passed = run_groups(target, names) and passed
        return passed

    if options.action == "setup":
        create()
        return 0
    if options.action == "cleanup":
        main_target.remove()
        return 0
    if options.action == "run":
        missing = [t.prefix for t, names in sessions if names and not os.path.isdir(t.prefix)]
        if missing:
            print("no prefix %s: run setup first" % ", ".join(missing))
            return 1
        return 0 if run() else 1

    # all: the server is stopped however the run ends.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    try:
        create()
        return 0 if run() else 1
    finally:
        main_target.remove()


def targets(options, groups):
    """The program's Wine and prefix for each group: [(Target, groups)],
    the host's first. Where the x64 program's Wine cannot start 32-bit
    programs, the groups that need them get the 32-bit root's Wine."""
    main_target = Target(options)
    thirty_two = [g for g in groups if g in THIRTY_TWO_BIT_GROUPS]
    if thirty_two and not main_target.in_root:
        other = Target(options, thirty_two=True)
        if other.in_root:
            return [(main_target, [g for g in groups if g not in thirty_two]), (other, thirty_two)]
    return [(main_target, groups)]


if __name__ == "__main__":
    sys.exit(main())
