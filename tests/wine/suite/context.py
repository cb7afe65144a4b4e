"""The device registry the cases start from, and the folders they run in."""
import os
import shutil

from suite.common import DEV, ENUM, X86_INF_FOLDER, ansi_text, unix_path, windows_path


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
            # the current directory, and inside the folder driver.inf beside
            # the whole package.
            script = 'mkdir -p "$1/QarnoD217" && cp -R "$2/." "$1/QarnoD217/"'
            args = [os.path.dirname(wine.drive_c_path(X86_INF_FOLDER)), unix_path(self.pkg)]
            for index, name in enumerate([b"driver.inf", b"my driver.inf",
                                          b"\xa0dr\xe9ver.inf"]):
                script += ' && cp "$2/driver.inf" "$1/QarnoD217$%d"' % (index + 3)
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
            if infs:  # the whole package, for a real install
                shutil.copytree(os.path.dirname(self.wine.inf), path, dirs_exist_ok=True)
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
