#!/usr/bin/env python3
"""Measures the installer and prints one table.

1. Under Wine: the x64 program sweeping N stale instances against Wine's own
   `reg delete` on an identical tree in the same prefix, and the program's
   whole run with nothing to remove against a program that only returns.
2. On the simulated layer: platform calls and instructions per removed key at
   two sizes, and the most heap blocks and open keys held at once by depth.
3. The size of both programs against the do-nothing program.

Every time is a median of several runs; every comparison is measured side by
side in the same run. Expects the programs built (scripts/bench.sh does it).
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "/usr/lib/wine/wine64"
HARDWARE_ID = r"USB\VID_1F3A&PID_0C21"
ENUM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum"
DEVICE = ENUM + "\\" + HARDWARE_ID
REFERENCE = ENUM + r"\USB\VID_1F3A&PID_BE9C"  # what reg delete removes
RUNS = int(os.environ.get("QUORIN_BENCH_RUNS", "5"))
START_RUNS = max(RUNS, 11)
SWEEP_SIZES = (200, 2000)
SIM_SIZES = (1000, 10000)
DEPTHS = (1, 2, 4, 8, 16)
SIZE_LIMIT = 24 * 1024

rows = []
misses = []


def row(measure, value, target="", verdict=""):
    rows.append((measure, value, target, verdict))


def judge(passed, what):
    if not passed:
        misses.append(what)
    return "met" if passed else "MISSED"


# ---------------------------------------------------------------- Wine part


class Prefix:
    """A Wine prefix of our own with a persistent server, removed at the end."""

    def __init__(self):
        self.path = tempfile.mkdtemp(prefix="quorin-bench-")
        self.env = dict(os.environ, WINEPREFIX=self.path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=")
        self.env.pop("DISPLAY", None)

    def run(self, *args, cwd=None, check=True):
        # Output goes through a file: Wine's service processes inherit a pipe
        # and would hold it open long after the command ended.
        with tempfile.TemporaryFile() as output:
            result = subprocess.run([WINE, *args], env=self.env, cwd=cwd, stdout=output,
                                    stderr=subprocess.STDOUT)
            output.seek(0)
            result.stdout = output.read()
        if check and result.returncode != 0:
            raise RuntimeError(f"wine {args[0]} failed: {result.stdout.decode()[-400:]}")
        return result

    def __enter__(self):
        # The persistent server keeps later runs from paying its start-up.
        subprocess.run(["wineserver", "-p"], env=self.env, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.run("wineboot", "-i")
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env)
        subprocess.run(["wineserver", "-w"], env=self.env)
        shutil.rmtree(self.path, ignore_errors=True)


def instance_lines(device, name, service):
    key = f"{device}\\{name}"
    return [
        f"[{key}]", f'"Service"="{service}"',
        '"Driver"="{36fc9e60-c465-11cf-8056-444553540000}\\\\0001"',
        '"HardwareID"=hex(7):55,00', "",
        f"[{key}\\Device Parameters]", f'"SymbolicName"="\\\\??\\\\USB#{name}"', "",
        f"[{key}\\Device Parameters\\Interrupt Management]", '"MessageNumberLimit"=dword:00000008', "",
    ]


def seed(prefix, folder, count):
    """One served and `count` stale instances under the device, and the same
    stale instances under the reference key."""
    lines = ["Windows Registry Editor Version 5.00", ""]
    lines += instance_lines(DEVICE, "0000-served", "TALMERIX")
    for i in range(1, count + 1):
        lines += instance_lines(DEVICE, f"{i:06d}", "usbhub")
        lines += instance_lines(REFERENCE, f"{i:06d}", "usbhub")
    path = os.path.join(folder, "seed.reg")
    with open(path, "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")
    prefix.run("reg", "import", path)


def key_count(prefix, key):
    result = prefix.run("reg", "query", key, "/s", check=False)
    if result.returncode != 0:
        return 0
    return sum(1 for line in result.stdout.decode(errors="replace").splitlines()
               if line.startswith("HKEY_"))


def timed(action):
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def wine_benchmarks(program, minimal):
    with Prefix() as prefix:
        folder = tempfile.mkdtemp(prefix="quorin-bench-run-")
        try:
            shutil.copy(program, os.path.join(folder, "Quorin64.exe"))
            shutil.copy(minimal, os.path.join(folder, "Minimal.exe"))
            argument = "driver.inf+" + HARDWARE_ID

            def run_program():
                prefix.run(os.path.join(folder, "Quorin64.exe"), argument, cwd=folder)

            def run_minimal():
                prefix.run(os.path.join(folder, "Minimal.exe"), cwd=folder)

            for count in SWEEP_SIZES:
                sweeps, deletes = [], []
                for _ in range(RUNS):
                    seed(prefix, folder, count)
                    sweeps.append(timed(run_program))
                    deletes.append(timed(lambda: prefix.run("reg", "delete", REFERENCE, "/f")))
                left = key_count(prefix, DEVICE)
                sweep, delete = statistics.median(sweeps), statistics.median(deletes)
                ratio = sweep / delete
                row(f"Wine: program sweeps {count} stale instances ({3 * count} keys)",
                    f"{sweep * 1000:.0f} ms", "", "")
                row(f"Wine: reg delete of the same tree", f"{delete * 1000:.0f} ms", "", "")
                row(f"Wine: sweep / reg delete at N={count}", f"{ratio:.2f}",
                    "<= 1.50", judge(ratio <= 1.5, f"Wine sweep ratio at N={count}"))
                row(f"Wine: keys left below the device key at N={count}", str(left),
                    "3 (served instance)", judge(left == 3, f"sweep left {left} keys"))

            prefix.run("reg", "delete", DEVICE, "/f", check=False)
            starts = [timed(run_program) for _ in range(START_RUNS)]
            bases = [timed(run_minimal) for _ in range(START_RUNS)]
            start, base = statistics.median(starts), statistics.median(bases)
            row("Wine: whole run, nothing to remove", f"{start * 1000:.0f} ms")
            row("Wine: program that only returns", f"{base * 1000:.0f} ms")
            row("Wine: start-up cost of its own", f"{(start - base) * 1000:+.0f} ms "
                f"({start / base:.2f}x)")
        finally:
            shutil.rmtree(folder, ignore_errors=True)


# ------------------------------------------------------ simulated-layer part

OWN_CODE = re.compile(r"(^|/)(entry|install|registry)/|platform/(text|heap)\.h")
ANNOTATE_LINE = re.compile(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+(\S.*?):")


def sweep_cost(tool, *args):
    output = subprocess.run([tool, *args], check=True, stdout=subprocess.PIPE).stdout.decode()
    return {k: float(v) for k, v in re.findall(r"(\w+)=([\d.]+)", output)}


def instructions(tool, count, folder):
    out = os.path.join(folder, f"callgrind.{count}")
    subprocess.run(["valgrind", "--tool=callgrind", "--toggle-collect=RemoveStaleInstances*",
                    f"--callgrind-out-file={out}", tool, "instances", str(count)],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    report = subprocess.run(["callgrind_annotate", "--inclusive=no", "--auto=no",
                             "--threshold=100", out],
                            check=True, stdout=subprocess.PIPE).stdout.decode()
    total = own = 0
    for line in report.splitlines():
        if "PROGRAM TOTALS" in line:
            total = int(line.split()[0].replace(",", ""))
            continue
        match = ANNOTATE_LINE.match(line)
        if match and OWN_CODE.search(match.group(2)):
            own += int(match.group(1).replace(",", ""))
    return total, own


def simulated_benchmarks(tool):
    folder = tempfile.mkdtemp(prefix="quorin-callgrind-")
    try:
        per_key = {}
        for count in SIM_SIZES:
            figures = sweep_cost(tool, "instances", str(count))
            keys = figures["keys"]
            total, own = instructions(tool, count, folder)
            per_key[count] = (figures["calls"] / keys, total / keys, own / keys)
            row(f"Simulated: N={count}, {int(keys)} keys removed",
                f"{per_key[count][0]:.2f} calls, {per_key[count][1]:.0f} instr "
                f"({per_key[count][2]:.0f} in the program's own code) per key")
        small, large = (per_key[n] for n in SIM_SIZES)
        for index, what in ((0, "platform calls"), (1, "instructions"),
                            (2, "program's own instructions")):
            ratio = large[index] / small[index]
            row(f"Simulated: {what} per key, N={SIM_SIZES[1]} / N={SIM_SIZES[0]}",
                f"{ratio:.3f}", "0.90-1.10",
                judge(abs(ratio - 1) <= 0.10, f"per-key {what} ratio {ratio:.3f}"))
        peaks = []
        for depth in DEPTHS:
            figures = sweep_cost(tool, "depth", str(depth))
            peaks.append(f"{depth}:{int(figures['peak_heap_blocks'])}/"
                         f"{int(figures['peak_open_keys'])}")
        row("Simulated: peak heap blocks / open keys by tree depth", "  ".join(peaks))
    finally:
        shutil.rmtree(folder, ignore_errors=True)


# --------------------------------------------------------------- size part


def size_benchmarks(programs, minimal):
    base = os.path.getsize(minimal)
    row("Size: program that only returns (x64, same flags and imports)", f"{base} bytes")
    for target, path in programs:
        size = os.path.getsize(path)
        row(f"Size: {target} program", f"{size} bytes ({size - base:+d} over the baseline)",
            f"<= {SIZE_LIMIT}", judge(size <= SIZE_LIMIT, f"{target} program is {size} bytes"))


def print_table():
    headers = ("measure", "figure", "target", "")
    widths = [max(len(str(r[i])) for r in rows + [headers]) for i in range(4)]
    line = "  ".join("-" * w for w in widths)
    print(line)
    print("  ".join(h.ljust(w) for h, w in zip(headers, widths)))
    print(line)
    for r in rows:
        print("  ".join(str(c).ljust(w) for c, w in zip(r, widths)))
    print(line)
    print(f"times: medians of {RUNS} runs ({START_RUNS} for start-up); "
          f"instructions: valgrind --tool=callgrind")
    if misses:
        print("targets missed: " + "; ".join(misses))
    if any(m.startswith("Wine sweep ratio") for m in misses):
        print("why: unlike reg delete, the sweep reads each instance's Service value and "
              "reads, replaces and keeps a copy of every key's access list: about four "
              "more registry round trips per removed key under Wine")


def main():
    build = os.path.join(ROOT, "build")
    programs = [("x64", os.path.join(build, "windows-x64", "Quorin64.exe")),
                ("x86", os.path.join(build, "windows-x86", "Quorin64.exe"))]
    minimal = os.path.join(build, "windows-x64", "QuorinMinimal.exe")
    tool = os.path.join(build, "bench", "bench", "sweep_cost")
    for path in [p for _, p in programs] + [minimal, tool]:
        if not os.path.exists(path):
            sys.exit(f"{path} is not built: run scripts/bench.sh")
    wine_benchmarks(programs[0][1], minimal)
    simulated_benchmarks(tool)
    size_benchmarks(programs, minimal)
    print_table()


if __name__ == "__main__":
    main()
