#!/usr/bin/env python3
"""Times kit/check-package.py on a ~300 MB signed package against sha256sum
over the same files, and prints one table.

The package: an INF copying a 150 MiB driver (a real PE image from MinGW with
data after its sections) and a 150 MiB firmware file, in a SHA-256 catalog
signed with a throwaway certificate (tests/kit/package_maker.py). The check
must read each file once, so its time should stay close to sha256sum's.
Each time is a median of QUORIN_BENCH_RUNS runs (default 5), the check and
sha256sum measured side by side with a warm page cache. Needs the openssl
command line and MinGW.

usage: bench/check_package_bench.py [MEGABYTES_PER_FILE]
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests", "kit"))
import package_maker as pm  # noqa: E402

CHECK = os.path.join(ROOT, "kit", "check-package.py")
DRIVER = os.path.join(ROOT, "tests", "wine", "driver-package")
RUNS = int(os.environ.get("QUORIN_BENCH_RUNS", "5"))
TARGET = 1.3  # the check's time over sha256sum's

INF = r"""[Version]
Signature = "$Windows NT$"
Class = HIDClass
Provider = %Provider%
DriverVer = 01/01/2024,1.0.0.0
CatalogFile = big.cat

[DestinationDirs]
DefaultDestDir = 12

[SourceDisksNames]
1 = %Disk%,,,

[SourceDisksFiles]
big.sys = 1
firmware.bin = 1

[Manufacturer]
%Provider% = Models, NTamd64

[Models.NTamd64]
%Device% = Install, USB\VID_1F3A&PID_0C21

[Models]
%Device% = Install, USB\VID_1F3A&PID_0C21

[Install]
CopyFiles = Files

[Files]
big.sys
firmware.bin

[Install.Services]
AddService = TALMERIX, 0x00000002, Service

[Service]
ServiceType = 1
StartType = 3
ErrorControl = 1
ServiceBinary = %12%\big.sys

[Strings]
Provider = "Quorin64 bench"
Device = "Quorin64 bench device"
Disk = "Quorin64 bench disk"
"""


def write_random(path, size, head=b""):
    with open(path, "wb") as f:
        f.write(head)
        left = size - len(head)
        while left > 0:
            piece = min(left, 1 << 24)
            f.write(os.urandom(piece))
            left -= piece


def make_package(work, size):
    package = os.path.join(work, "package")
    os.makedirs(package)
    driver = os.path.join(work, "driver.sys")
    pm.build_driver(os.path.join(DRIVER, "talmerix.c"), os.path.join(DRIVER, "talmerix.rc"), driver)
    with open(driver, "rb") as f:
        image = f.read()
    write_random(os.path.join(package, "big.sys"), size, image)
    write_random(os.path.join(package, "firmware.bin"), size)
    with open(os.path.join(package, "big.inf"), "w", newline="\r\n") as f:
        f.write(INF)
    root_key = pm.make_key(os.path.join(work, "keys", "root.key"))
    signer_key = pm.make_key(os.path.join(work, "keys", "signer.key"))
    root = pm.make_certificate("Quorin64 bench root", root_key, ca=True)
    signer = pm.make_certificate("Quorin64 bench signer", signer_key, root, root_key)
    files = [os.path.join(package, n) for n in ("big.inf", "big.sys", "firmware.bin")]
    pm.make_catalog(os.path.join(package, "big.cat"), files, signer, signer_key, chain=[root],
                    digest="sha256")
    pm.write_pem(os.path.join(work, "trust.pem"), root)


def timed(argv):
    """(seconds, largest resident set in KiB) of one run, which must succeed."""
    start = time.perf_counter()
    with tempfile.TemporaryFile() as errors:
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=errors)
        _, status, usage = os.wait4(child.pid, 0)
        elapsed = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            errors.seek(0)
            sys.exit(f"{' '.join(argv)} failed: {errors.read().decode()}")
    return elapsed, usage.ru_maxrss


def interpreters():
    found, seen = [], set()
    for command in ("/usr/bin/python3", shutil.which("python3")):
        if command:
            real = subprocess.run(
                [command, "-c", "import os, sys; print(os.path.realpath(sys.executable))"],
                stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
            if real not in seen:
                seen.add(real)
                found.append(command)
    return found


def main(argv):
    if argv[1:2] == ["--make"]:
        make_package(argv[2], int(argv[3]) << 20)
        return 0
    megabytes = int(argv[1]) if len(argv) > 1 else 150
    work = tempfile.mkdtemp(prefix="quorin-check-bench-")
    rows = []
    try:
        # Made by another process: a child forked from this one would count
        # the maker's memory in its own resident set.
        subprocess.run([sys.executable, __file__, "--make", work, str(megabytes)], check=True)
        package, trust = os.path.join(work, "package"), os.path.join(work, "trust.pem")
        files = [os.path.join(package, n)
                 for n in ("big.inf", "big.sys", "firmware.bin", "big.cat")]
        total = sum(os.path.getsize(p) for p in files)
        rows.append(("package", f"{total / 1e6:.0f} MB in {len(files)} files (SHA-256 catalog)",
                     "", ""))
        digest = ["sha256sum"] + files
        # Python's hashlib is OpenSSL's: its own command line shows the floor.
        floor = statistics.median(timed(["openssl", "dgst", "-sha256"] + files)[0]
                                  for _ in range(RUNS + 1))
        rows.append(("openssl dgst -sha256 of the same files", f"{floor:.2f} s", "", ""))
        for python in interpreters():
            check = [python, CHECK, "--trust", trust, package]
            timed(check), timed(digest)  # warm the page cache and the interpreter
            checks, digests, peak = [], [], 0
            for _ in range(RUNS):
                seconds, resident = timed(check)
                checks.append(seconds)
                peak = max(peak, resident)
                digests.append(timed(digest)[0])
            ours, theirs = statistics.median(checks), statistics.median(digests)
            ratio = ours / theirs
            rows.append((f"check-package.py under {python}", f"{ours:.2f} s", "", ""))
            rows.append(("sha256sum of the same files", f"{theirs:.2f} s", "", ""))
            rows.append(("check / sha256sum", f"{ratio:.2f}", f"<= {TARGET:.2f}",
                         "met" if ratio <= TARGET else "MISSED"))
            rows.append(("the check's largest resident set", f"{peak / 1024:.0f} MiB", "", ""))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    headers = ("measure", "figure", "target", "")
    widths = [max(len(r[i]) for r in rows + [headers]) for i in range(4)]
    rule = "  ".join("-" * w for w in widths)
    print(rule)
    for r in [headers] + rows:
        print("  ".join(c.ljust(w) for c, w in zip(r, widths)).rstrip())
        if r is headers:
            print(rule)
    print(rule)
    print(f"times: medians of {RUNS} runs each, side by side, warm page cache")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
