#!/usr/bin/env python3
"""kit/check-package.py on packages made here (label "kit").

One table: each row writes the good package (below), makes one change and
expects an exit code and a pattern in the output (stdout, then stderr).
Rows that judge a driver file's signature are cross-checked with
`osslsigncode verify -catalog`, which must agree. The table runs under
/usr/bin/python3 and again under the python3 first on PATH when that is
another interpreter (it lacks python3-cryptography: the checker must not
need it).
"""
import collections
import datetime
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)
import package_maker as pm  # noqa: E402

CHECK = os.path.join(ROOT, "kit", "check-package.py")
DRIVER = os.path.join(ROOT, "tests", "wine", "driver-package")
NOW = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0)
DAYS = datetime.timedelta(days=1)
TST_INFO = "1.2.840.113549.1.9.16.1.4"

# A package as authors ship it: decorated and undecorated sections, a disk
# path (amd64) and a file's own subdirectory (x86), names in other cases
# than the files', quoted values, string tokens, a continued line, a ";"
# inside quotes, a compatible ID, a function driver named in another case.
GOOD_INF = r"""; Acme pad
[Version]
Signature   = "$Windows NT$"
Class       = HIDClass
Provider    = %Mfg%
DriverVer   = 03/14/2024,1.2.3.4
CatalogFile.NTamd64 = "%Cat%"   ; decorated
CatalogFile.NTx86   = MyDrv.CAT

[manufacturer]
%Mfg% = Models, NTamd64, NTx86

[Models.NTamd64]
%Dev% = Install, USB\VID_1F3A&PID_0C99, \
        USB\VID_1F3A&PID_0C9A
%Dev2% = Install, USB\VID_1F3A&PID_0CA0
[MODELS.NTX86]
%Dev% = Install, usb\vid_1f3a&pid_0c99
%Dev2% = Install, USB\VID_1F3A&PID_0CA0

[Install]
CopyFiles = Driver, Data
[Driver]
mydrv.sys
[Data]
"my drv & co [1].dat"
[Install.Services]
AddService = TalMerix, 0x00000002, Service
[Service]
ServiceType   = 1
StartType     = 3
ErrorControl  = 1
ServiceBinary = %12%\mydrv.sys

[SourceDisksNames.amd64]
1 = %Disk%,,,\amd64
[SourceDisksNames]
1 = %Disk%,,,
2 = "Data; not a comment",,,

[SourceDisksFiles.amd64]
MyDrv.SYS = 1
[SourceDisksFiles.x86]
mydrv.sys = 1,x86
[SourceDisksFiles]
"my drv & co [1].dat" = 2

[Strings]
Mfg  = "Acme"
Dev  = "Acme pad"
Dev2 = "Acme pad 2"
Disk = "Acme disk"
Cat  = "mydrv.cat"
"""
DATA = "my drv & co [1].dat"
ACCENTED = "r\u00e9glages.dat"
IDS = "USB\\VID_1F3A&PID_0C99\nUSB\\VID_1F3A&PID_0CA0\n"


class Build:
    """One row's package: the good one with the row's change."""

    def __init__(self, keys):
        self.keys = keys
        self.inf, self.encoding = GOOD_INF, "cp1252"
        self.files = {"amd64/mydrv.sys": keys.drivers["amd64"],
                      "x86/mydrv.sys": keys.drivers["x86"], DATA: b"calibration\n"}
        self.unsigned_files = []  # files the catalog leaves out
        self.sign = dict(signer=keys.signer, signer_key=keys.signer_key, chain=[keys.root])
        self.later = []
        self.rfc3161 = False

    def write(self, folder):
        os.makedirs(folder)
        data = self.inf.encode(self.encoding)
        self.files["mydrv.inf"] = (b"\xff\xfe" if self.encoding == "utf-16-le" else b"") + data
        for path, content in self.files.items():
            os.makedirs(os.path.dirname(os.path.join(folder, path)) or folder, exist_ok=True)
            with open(os.path.join(folder, path), "wb") as f:
                f.write(content)
        if self.sign is not None:
            members = [(p, c) for p, c in self.files.items() if p not in self.unsigned_files]
            legacy = pm.countersignature
            pm.countersignature = rfc3161 if self.rfc3161 else legacy
            try:
                pm.make_catalog(os.path.join(folder, "mydrv.cat"), members, **self.sign)
            finally:
                pm.countersignature = legacy
        for change in self.later:
            change(folder)


def inf(old, new):
    def change(build):
        assert old in build.inf, old
        build.inf = build.inf.replace(old, new)
    return change


def also(*changes):
    def change(build):
        for one in changes:
            one(build)
    return change


def after(act):
    """A change made once the catalog is signed."""
    return lambda build: build.later.append(act)


def setting(**values):
    return lambda build: build.__dict__.update(values)


def signing(**values):
    return lambda build: build.sign.update(values)


def add_file(path, content):
    return lambda build: build.files.update({path: content})


def drop(path):
    return after(lambda folder: os.remove(os.path.join(folder, path)))


def poke(path, offset_of, value):
    """Overwrites bytes of a file after signing; offset_of(data) says where."""
    def act(folder):
        with open(os.path.join(folder, path), "r+b") as f:
            data = f.read()
            f.seek(offset_of(data))
            f.write(value(data))
    return after(act)


def checksum_offset(data):
    return struct.unpack_from("<I", data, 0x3C)[0] + 24 + 64


def cabinet(members):
    """An MSZIP cabinet of (name, bytes): one folder, one data block a member."""
    blocks, files, offset = b"", b"", 0
    for name, content in members:
        packer = zlib.compressobj(9, zlib.DEFLATED, -15)
        packed = b"CK" + packer.compress(content) + packer.flush()
        blocks += struct.pack("<IHH", 0, len(packed), len(content)) + packed
        files += struct.pack("<IIHHHH", len(content), offset, 0, 0, 0, 0x20) + name.encode() + b"\0"
        offset += len(content)
    files_at = 36 + 8
    data_at = files_at + len(files)
    header = struct.pack("<4sIIIIIBBHHHHH", b"MSCF", 0, data_at + len(blocks), 0, files_at, 0,
                         3, 1, 1, len(members), 0, 0, 0)
    return header + struct.pack("<IHH", data_at, len(members), 1) + files + blocks


def rfc3161(encrypted_digest, tsa_cert, tsa_key, signed_at, digest="sha256"):
    """An RFC 3161 token over the signer's signature, in the attribute
    signtool writes, standing in for the maker's legacy countersignature."""
    imprint = pm.der_seq(pm.algorithm(pm.HASHES[digest]),
                         pm.der_octets(hashlib.new(digest, encrypted_digest).digest()))
    tst_info = pm.der_seq(pm.der_int(1), pm.der_oid("1.3.6.1.4.1.601.10.3.1"), imprint,
                          pm.der_int(7), pm.der(0x18, signed_at.strftime("%Y%m%d%H%M%SZ").encode()))
    attributes = [pm.attribute(pm.CONTENT_TYPE, pm.der_oid(TST_INFO)), pm.attribute(
        pm.MESSAGE_DIGEST, pm.der_octets(hashlib.new(digest, tst_info).digest()))]
    signer = pm.signer_info(tsa_cert, tsa_key, attributes, digest)
    content = pm.der_seq(pm.der_oid(TST_INFO), pm.der_explicit(0, pm.der_octets(tst_info)))
    signed = pm.der_seq(pm.der_int(3), pm.der_set(pm.algorithm(pm.HASHES[digest])), content,
                        pm.der(0xA0, tsa_cert.der), pm.der_set(signer))
    return pm.attribute("1.3.6.1.4.1.311.3.3.1", pm.der_seq(pm.der_oid(pm.PKCS7_SIGNED_DATA),
                                                            pm.der_explicit(0, signed)))


def expired(days_ago=None, token=False):
    """Signed by the expired signer; timestamped days_ago when given."""
    def change(build):
        build.sign["signer"] = build.keys.expired
        if days_ago is not None:
            build.sign["timestamp"] = (build.keys.tsa, build.keys.tsa_key, NOW - days_ago * DAYS)
        build.rfc3161 = token
    return change


def listed(name, content=None):
    """One more data file, copied and listed on disk 2 (and there, given content)."""
    return also(inf("[Data]\n", f"[Data]\n{name}\n"),
                inf(f'"{DATA}" = 2\n', f'"{DATA}" = 2\n{name} = 2\n'),
                add_file(name.replace("%%", "%"), content) if content else also())


ACCENTED_INF = listed(ACCENTED, b"settings\n")
IN_CABINET = also(inf('"Data; not a comment",,,\n', '"Data; not a comment",data.cab,,\n'),
                  add_file("data.cab", cabinet([(DATA, b"calibration\n")])), drop(DATA))
FLIP_CODE = poke("amd64/mydrv.sys", lambda d: 0x400, lambda d: bytes([d[0x400] ^ 1]))
NEW_CHECKSUM = poke("amd64/mydrv.sys", checksum_offset, lambda d: b"\x12\x34\x56\x78")
EDIT_INF = poke("mydrv.inf", lambda d: d.index(b'Acme pad"'), lambda d: b'Acme pod"')
EDIT_CATALOG = poke("mydrv.cat", lambda d: d.index(b"F\0i\0l\0e"), lambda d: b"f")
UNSIGNED = also(inf('CatalogFile.NTamd64 = "%Cat%"   ; decorated\n', ""),
                inf("CatalogFile.NTx86   = MyDrv.CAT\n", ""), setting(sign=None))
ONLY_NTAMD64 = inf("Models, NTamd64, NTx86", "Models, NTamd64")
TRUST = ["--trust", "trust.pem"]
SIGNED = "^signer: "
DRIVER64 = "amd64/mydrv.sys"

Row = collections.namedtuple("Row", "name change args code pattern absent ossl",
                             defaults=(None, None))
# absent: a pattern that must not be in the output; ossl: the driver file
# whose verdict osslsigncode must agree with.
ROWS = [
    # The package as it stands, and the old checker's rows.
    Row("good", None, TRUST, 0, r"^signer: CN=Acme test signer \(valid \S+ to \S+; root CN=Acme test root\)$", "^check-package", DRIVER64),
    Row("good-x86", None, TRUST + ["--arch", "x86"], 0, SIGNED, "Secure Boot", "x86/mydrv.sys"),
    Row("crlf", lambda b: setattr(b, "inf", b.inf.replace("\n", "\r\n")), TRUST, 0, SIGNED),
    Row("hardware-ids", None, ["--hardware-ids"], 0, r"\A" + re.escape(IDS) + r"\Z"),
    Row("hardware-ids-x86", inf("pid_0c99\n%Dev2% = Install, USB\\VID_1F3A&PID_0CA0\n",
                                "pid_0c99\n"),
        ["--hardware-ids", "--arch", "x86"], 0, r"\Ausb\\vid_1f3a&pid_0c99\n\Z"),
    Row("no-x86", drop("x86/mydrv.sys"), [], 1, r"^check-package.py: no-x86/x86/mydrv.sys is "
        r"missing: mydrv.inf's \[SourceDisksFiles.x86\] for x86 names it$"),
    Row("no-x86-amd64", drop("x86/mydrv.sys"), ["--arch", "amd64"], 0, SIGNED),
    Row("no-amd64", drop(DRIVER64), ["--arch", "amd64"], 1,
        r"no-amd64/amd64/MyDrv.SYS is missing: .*\[SourceDisksFiles.amd64\] for amd64"),
    Row("no-amd64-x86", drop(DRIVER64), ["--arch", "x86"], 0, SIGNED),
    Row("utf16", also(setting(encoding="utf-16-le"), drop(DRIVER64)), [], 1,
        r"utf16/amd64/MyDrv.SYS is missing"),
    Row("utf16-good", setting(encoding="utf-16-le"), TRUST, 0, SIGNED),
    Row("no-data", drop(DATA), [], 1,
        r"no-data/my drv & co \[1\].dat is missing: .*\[SourceDisksFiles\] for amd64 and x86"),
    Row("no-catalog", drop("mydrv.cat"), [], 1,
        r"no-catalog/mydrv.cat is missing: mydrv.inf's CatalogFile.NTamd64 names it$"),
    Row("no-catalog-x86", drop("mydrv.cat"), ["--arch", "x86"], 1,
        r"no-catalog-x86/MyDrv.CAT is missing: mydrv.inf's CatalogFile.NTx86"),
    Row("unsigned", UNSIGNED, [], 0,
        r"^warning: mydrv.inf names no CatalogFile: the package is unsigned$"),
    Row("no-disk", inf(f'"{DATA}" = 2', f'"{DATA}" = 3'), [], 1, r"\[SourceDisksFiles\] puts "
        r"my drv & co \[1\].dat on disk 3, which no \[SourceDisksNames\] lists$"),
    Row("outside", inf("1 = %Disk%,,,\n", "1 = %Disk%,,,..\\elsewhere\n"), [], 1,
        r"\[SourceDisksFiles.x86\] puts mydrv.sys outside the package$"),
    Row("two-infs", add_file("other.INF", b"[Version]\n"), [], 1, r"two-infs holds 2 INF files "
        r"\(mydrv.inf other.INF\), not exactly one: choose one with --inf"),
    Row("two-infs-chosen", add_file("other.INF", b"[Version]\n"), ["--inf", "MyDrv.inf"] + TRUST,
        0, SIGNED),
    Row("inf-not-there", None, ["--inf", "other.inf"], 1, r"holds no INF named other.inf"),
    Row("no-inf", also(setting(sign=None), drop("mydrv.inf")), [], 1, r"no-inf holds no INF file$"),
    Row("nowhere", None, ["nowhere"], 1, r"^check-package.py: no package folder nowhere$"),
    # Models by architecture, hardware IDs, the function driver.
    Row("amd64-undecorated", also(inf("Models, NTamd64, NTx86", "Models"),
                                  inf("[MODELS.NTX86]", "[Models]")), [], 1,
        r"no models for amd64: its \[Manufacturer\] names no NTamd64-decorated", "for x86"),
    Row("x86-none", ONLY_NTAMD64, [], 1,
        r"no models for x86: .*NTx86-decorated, NT-decorated or undecorated", "for amd64"),
    Row("x86-undecorated", also(ONLY_NTAMD64, inf("[MODELS.NTX86]", "[Models]")), TRUST, 0,
        SIGNED),
    Row("compatible-id", None, ["--hardware-id", "usb\\vid_1f3a&pid_0c9a"], 1,
        r"--hardware-id usb\\vid_1f3a&pid_0c9a is a compatible ID, not a hardware ID"),
    Row("unknown-id", None, ["--hardware-id", "USB\\VID_1F3A&PID_0C21"], 1,
        r"--hardware-id USB\\VID_1F3A&PID_0C21: mydrv.inf does not list it in its models for "
        r"amd64 and x86"),
    Row("hardware-id", None, TRUST + ["--hardware-id", "usb\\VID_1F3A&PID_0CA0"], 0, SIGNED),
    Row("other-service", inf("TalMerix, 0x00000002", "HPADSVC, 0x00000002"), [], 1,
        r"makes HPADSVC the function driver service, not TALMERIX: Quorin64 keeps only "
        r"instances served by TALMERIX, so it would remove the controller it installed"),
    Row("no-function-driver", inf("TalMerix, 0x00000002", "TalMerix, 0x0"), [], 1,
        r"no AddService with flag 0x2, so Windows installs no function driver service"),
    Row("flag-in-decimal", inf("TalMerix, 0x00000002", "TalMerix, 10"), TRUST, 0, SIGNED),
    Row("services-not-read", inf("[Install]\n", "[Install.NT]\n"), [], 1,
        r"has no \[Install.NT.Services\] \(\[Install.Services\] is not the one Windows reads\)"),
    # [Version].
    Row("no-driver-ver", inf("DriverVer   = 03/14/2024,1.2.3.4\n", ""), [], 1,
        r"has no DriverVer"),
    Row("bad-date", inf("03/14/2024", "14/03/2024"), [], 1, r"date 14/03/2024 is not a real date"),
    Row("bad-version", inf("1.2.3.4", "1.2.3.65536"), [], 1, r"each part is at most 65535"),
    # Files and names.
    Row("not-listed", inf("mydrv.sys\n[Data]", "mydrv.sys\nextra.dat\n[Data]"), [], 1,
        r"\[Driver\] copies extra.dat, which neither \[SourceDisksFiles.amd64\] nor "
        r"\[SourceDisksFiles\] lists"),
    Row("copy-one-file", inf("CopyFiles = Driver, Data", "CopyFiles = @MYDRV.sys\n"
                             "CopyFiles = Data"), TRUST, 0, SIGNED),
    Row("token-file-name", inf(f'"{DATA}" = 2', f'%DataFile% = 2\n[Strings]\nDataFile = "{DATA}"'),
        [], 1, r"cannot be a %strkey% token"),
    Row("utf8-accented", also(ACCENTED_INF, setting(encoding="utf-8")), [], 1,
        r"is UTF-8 and names the file r\u00e9glages.dat: .*save mydrv.inf as UTF-16 LE", "missing"),
    Row("cp1252-accented", ACCENTED_INF, TRUST, 0,
        r"^warning: mydrv.inf is ANSI and names the file r\u00e9glages.dat"),
    Row("unicode-case", also(ACCENTED_INF, setting(encoding="utf-16-le"),
                             inf(f"[Data]\n{ACCENTED}", "[Data]\nR\u00c9GLAGES.DAT"),
                             inf(f"{ACCENTED} = 2", "R\u00c9GLAGES.DAT = 2")), TRUST, 0, SIGNED),
    Row("localized-strings", inf('Cat  = "mydrv.cat"\n', '[Strings.0407]\nCat = "mydrv.cat"\n'),
        TRUST, 0, SIGNED),
    Row("percent-sign", listed("50%%.dat", b"half\n"), TRUST, 0, SIGNED),
    Row("case-clash", add_file("AMD64/MYDRV.SYS", b"other"), [], 1, r"are one name on Windows"),
    Row("in-cabinet", IN_CABINET, TRUST, 0, SIGNED, "missing"),
    Row("not-in-cabinet", also(IN_CABINET, listed("more.dat")), [], 1,
        r"more.dat is missing: .*, nor does data.cab hold it"),
    # The catalog.
    Row("inf-edited", EDIT_INF, [], 1,
        r"inf-edited/mydrv.inf does not match mydrv.cat: no member lists its SHA-1 hash"),
    Row("driver-changed", FLIP_CODE, TRUST, 1, r"amd64/MyDrv.SYS does not match mydrv.cat: no "
        "member lists its SHA-1 Authenticode image hash", None, DRIVER64),
    Row("checksum-changed", NEW_CHECKSUM, TRUST, 0, SIGNED, None, DRIVER64),
    Row("sha256", signing(digest="sha256"), TRUST, 0, SIGNED, None, "x86/mydrv.sys"),
    Row("signature-broken", signing(corrupt_signature=True), TRUST, 1,
        r"mydrv.cat: its signature does not verify", None, DRIVER64),
    Row("catalog-edited", EDIT_CATALOG, TRUST, 1,
        r"mydrv.cat: its messageDigest is not the hash of its contents"),
    Row("untrusted-root", None, ["--trust", "other.pem"], 1,
        r"chains to CN=Acme test root, which no --trust certificate is", None, DRIVER64),
    Row("no-trust-given", None, [], 0, r"warning: .*mydrv.cat: its signer CN=Acme test signer "
        r"chains to CN=Acme test root, which this check did not verify"),
    Row("expired", expired(), TRUST, 1, r"CN=Acme old signer is valid only from .* and the "
        r"catalog has no valid timestamp", None, DRIVER64),
    Row("expired-timestamped", expired(500), TRUST, 0, "^signer: CN=Acme old signer", None,
        DRIVER64),
    Row("timestamped-late", expired(100), TRUST, 1,
        r"it was timestamped at .*, when CN=Acme old signer was not valid", None, DRIVER64),
    Row("rfc3161-timestamped", expired(500, token=True), TRUST, 0, "^signer: CN=Acme old signer",
        None, DRIVER64),
    Row("rfc3161-late", expired(100, token=True), TRUST, 1,
        r"it was timestamped at .*, when CN=Acme old signer was not valid", None, DRIVER64),
    Row("file-added", setting(unsigned_files=[DATA]), TRUST, 1,
        r"file-added/my drv & co \[1\].dat does not match mydrv.cat"),
    Row("os-attr", signing(os_attr="2:6.1"), TRUST, 0, r"^warning: .*OSAttr is 2:6.1"),
    Row("secure-boot", None, TRUST, 0, r"^warning: TALMERIX is a kernel-mode driver .*Secure Boot"),
    # The command line.
    Row("help", None, ["--help"], 0, r"(?s)(?=.*--arch)(?=.*--inf)(?=.*--hardware-id )"
        r"(?=.*--trust)(?=.*--hardware-ids)(?=.*--help)"),
    Row("bad-arch", None, ["--arch", "arm64"], 2,
        r"^check-package.py: --arch arm64: use amd64 or x86$"),
    Row("no-arch", None, ["--arch"], 2, r"^check-package.py: --arch needs a value"),
    Row("no-trust-file", None, ["--trust", "nothere.pem"], 2, r"--trust nothere.pem: No such file"),
    Row("unknown-option", None, ["--colour"], 2, r"^check-package.py: unknown option --colour"),
]


class Keys:
    """Every row's keys, certificates and driver builds, made once."""

    def __init__(self, work):
        root_key, self.signer_key, self.tsa_key, other_key = (
            pm.make_key(os.path.join(work, "keys", name + ".key"))
            for name in ("root", "signer", "tsa", "other"))
        self.root = pm.make_certificate("Acme test root", root_key, ca=True,
                                        not_before=NOW - 2000 * DAYS, not_after=NOW + 2000 * DAYS)
        self.signer = pm.make_certificate("Acme test signer", self.signer_key, self.root, root_key)
        self.expired = pm.make_certificate("Acme old signer", self.signer_key, self.root, root_key,
                                           not_before=NOW - 1000 * DAYS, not_after=NOW - 300 * DAYS)
        self.tsa = pm.make_certificate("Acme timestamps", self.tsa_key, self.root, root_key,
                                       not_before=NOW - 1500 * DAYS, usages=[pm.TIME_STAMPING])
        pm.write_pem(os.path.join(work, "trust.pem"), self.root)
        pm.write_pem(os.path.join(work, "other.pem"),
                     pm.make_certificate("Acme test root", other_key, ca=True))
        self.drivers = {}
        for arch in ("amd64", "x86"):
            out = os.path.join(work, "drivers", arch, "mydrv.sys")
            pm.build_driver(os.path.join(DRIVER, "talmerix.c"), os.path.join(DRIVER, "talmerix.rc"),
                            out, arch)
            with open(out, "rb") as f:
                self.drivers[arch] = f.read()


def interpreters():
    """/usr/bin/python3, and the PATH python3 when it is another interpreter."""
    found = []
    for command in ("/usr/bin/python3", shutil.which("python3")):
        if command:
            real = subprocess.run(
                [command, "-c", "import os, sys; print(os.path.realpath(sys.executable))"],
                stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
            if real not in [r for _, r in found]:
                found.append((command, real))
    return [command for command, _ in found]


def run_row(row, python, work):
    failures = []
    argv = [python, CHECK] + row.args
    # The row's package ends the command line, unless the row is about it.
    if row.args[-1:] != ["--arch"] and not {"nowhere", "--help"} & set(row.args):
        argv.append(row.name)
    done = subprocess.run(argv, cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    out, err = done.stdout.decode(), done.stderr.decode()
    said = out + err
    if done.returncode != row.code:
        failures.append(f"exit {done.returncode}, not {row.code}")
    if not re.search(row.pattern, said, re.M):
        failures.append(f"no /{row.pattern}/")
    if row.absent and re.search(row.absent, said, re.M):
        failures.append(f"/{row.absent}/ is there")
    strays = [line for line in err.splitlines()
              if not line.startswith(("warning: ", "check-package.py: "))]
    if (strays and row.code != 2) or (row.code == 0 and "\ncheck-package.py: " in "\n" + err):
        failures.append("stray or refusal lines on a pass")
    if row.ossl:
        trust = row.args[row.args.index("--trust") + 1] if "--trust" in row.args else "trust.pem"
        verdict = subprocess.run(["osslsigncode", "verify", "-CAfile", trust, "-TSA-CAfile", trust,
                                  "-catalog", f"{row.name}/mydrv.cat", "-in",
                                  f"{row.name}/{row.ossl}"], cwd=work, stdout=subprocess.PIPE,
                                 stderr=subprocess.STDOUT).returncode
        if (verdict == 0) != (done.returncode == 0):
            said_ossl = "pass" if verdict == 0 else "fail"
            failures.append(f"osslsigncode says {said_ossl} for {row.ossl}")
    return [f"{row.name} ({python}): {f}\n    {' '.join(argv)}\n    {said}" for f in failures]


def main():
    work = tempfile.mkdtemp(prefix="quorin-check-package-")
    try:
        keys = Keys(work)
        for row in ROWS:
            if row.name != "nowhere":
                build = Build(keys)
                if row.change:
                    row.change(build)
                build.write(os.path.join(work, row.name))
        pythons = interpreters()
        failures = [f for python in pythons for row in ROWS for f in run_row(row, python, work)]
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAIL:", failure)
    if not failures:
        print(f"check-package: passed ({len(ROWS)} rows under {', '.join(pythons)})")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
