#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets (fuzz/corpus/), one file per
case, in the input layout that fuzz_target.cpp describes. Run it again after
changing that layout."""
import os
import struct

OPERATIONS = [
    "RegOpenKeyA", "RegQueryInfoKeyA", "RegEnumKeyA", "RegQueryValueExA",
    "RegGetKeySecurity", "InitializeSecurityDescriptor", "RegSetKeySecurity",
    "RegDeleteKeyA", "RegCloseKey", "HeapAlloc", "HeapFree", "MessageBoxA",
    "UpdateDriverForPlugAndPlayDevicesA", "GetCurrentDirectoryA", "GetWindowsDirectoryA",
    "GetModuleHandleA", "GetProcAddress", "IsWow64Process", "CreateProcessA",
    "WaitForSingleObject", "GetExitCodeProcess", "CloseHandle"]
LAST_ERRORS = {0: 0, "file": 1, "flags": 2, "nodevice": 3, "wow64": 4, "denied": 5}
ID = b"USB\\VID_1F3A&PID_0C21"

UNDER_WOW64, NO_ISWOW64, NO_PROGRAM, RAW, USUAL_TREE, LONG_DIR, TAB = (
    1, 2, 4, 8, 16, 32, 64)
QUERY, ENUMERATE, DELETE, READ_CONTROL, WRITE_DAC, EVERYTHING, TAKEN_AWAY = (
    1, 2, 4, 8, 16, 32, 128)


def word(n):
    return struct.pack(">H", n)


def lit(data):
    out = b""
    for i in range(0, len(data), 63):
        chunk = data[i:i + 63]
        out += bytes([len(chunk)]) + chunk
    return out


def lit_count(data):
    return (len(data) + 62) // 63


def run(char, count):
    if count <= 255:
        return bytes([0x80, char, count])
    return bytes([0xC0, char]) + word(count)


def text(*parts):
    """parts: bytes (literal) or (char, count) runs; at most 15 segments."""
    body, segments = b"", 0
    for part in parts:
        if isinstance(part, tuple):
            body += run(ord(part[0]), part[1])
            segments += 1
        else:
            body += lit(part)
            segments += lit_count(part)
    assert segments <= 15, segments
    return bytes([segments]) + body


def outcome(success, error=0, restart=False):
    return (1 if success else 0) | LAST_ERRORS[error] << 1 | (16 if restart else 0)


def service(kind, type_=0, extra=b""):
    return bytes([kind, type_]) + extra


def key(name, value=None, lower_name=False, driver=False, access=None, refuse=False,
        children=()):
    assert 1 <= len(name) <= 32 and len(children) <= 3
    attributes = ((1 if value is not None else 0) | (2 if driver else 0) |
                  (4 if access is not None else 0) | (8 if refuse else 0) |
                  len(children) << 4 | (0x40 if lower_name else 0))
    out = bytes([len(name) - 1]) + name + bytes([attributes])
    if value is not None:
        out += value
    if access is not None:
        out += bytes([access])
    for child in children:
        out += child
    return out


def long_name(name):
    """A key name of 200-255 bytes: the shape byte has its high bit set."""
    shape = next(s for s in range(128, 256) if 200 + s % 56 == len(name))
    return bytes([shape]) + name


def fault(operation, nth=1, count=1, error=0, forever=False):
    mode = (3 if forever else count - 1) | error << 2
    return bytes([OPERATIONS.index(operation), nth - 1, mode])


def from_call(k):
    return b"\xff" + word(k - 1)


def seed(flags=0, outcomes=(), directory=None, argument=None, instances=(), faults=()):
    out = bytes([flags, len(outcomes)]) + bytes(outcomes)
    if flags & LONG_DIR:
        out += word(directory)
    out += argument if argument is not None else text(b"driver.inf+" + ID)
    out += bytes([len(instances)]) + b"".join(instances)
    out += bytes([len(faults)]) + b"".join(faults)
    return out


TYPICAL = [
    key(b"0000", service(0), children=[key(b"Device Parameters")]),
    key(b"0001", service(5, 0, word(7) + b"x" + b"usbhub\0"),
        children=[key(b"Device Parameters"), key(b"LogConf")]),
]
SEEDS = {
    "typical-install": seed(instances=TYPICAL),
    "nested-stale-trees": seed(outcomes=[outcome(True, restart=True)], instances=[
        key(b"A", service(1), children=[key(b"Device Parameters", children=[key(b"Deep")])]),
        key(b"B", children=[key(b"P1", children=[key(b"P2", children=[key(b"P3")]), key(b"Q")]),
                            key(b"R", children=[key(b"S")])]),
        key(b"C", service(7, 0, b"2"), children=[key(b"X", children=[key(b"Y")])]),
    ]),
    "served-and-stale-mixed": seed(outcomes=[outcome(False, "nodevice")], instances=[
        key(b"0", service(0)), key(b"1", service(6)), key(b"2", service(2, 0, b"\x55")),
        key(b"3", service(3, 3)), key(b"4", service(4, 7, b"\x03abc")),
        key(b"5", service(0, 4), lower_name=True),
        key(b"6", service(5, 2, word(256) + b"T" + bytes(range(1, 17)))),
    ]),
    "relaunch": seed(outcomes=[outcome(False, "wow64"), outcome(True)], instances=TYPICAL),
    "refused-under-wow64": seed(UNDER_WOW64, outcomes=[outcome(False, "wow64")],
                                instances=TYPICAL),
    "relaunch-without-program": seed(NO_PROGRAM | NO_ISWOW64,
                                     outcomes=[outcome(False, "wow64")], instances=TYPICAL),
    "refused-access-change": seed(instances=[
        key(b"0-unreadable", service(0), access=QUERY),
        key(b"1-locked", service(6), access=WRITE_DAC, children=[key(b"Device Parameters")]),
        key(b"2-sealed", access=WRITE_DAC | DELETE, children=[key(b"Device Parameters")]),
        key(b"3-refused", refuse=True, access=0),
        key(b"4-stale", children=[key(b"Unreadable", access=READ_CONTROL)]),
        key(b"5-stale", children=[key(b"Closed", access=EVERYTHING), key(b"Open")]),
        key(b"6-open", access=TAKEN_AWAY, children=[key(b"x", access=TAKEN_AWAY | DELETE)]),
    ]),
    "fault-on-service-query": seed(instances=TYPICAL,
                                   faults=[fault("RegQueryValueExA", 1, error=0)]),
    "fault-on-restore": seed(instances=[key(b"r", refuse=True, access=0)],
                             faults=[fault("RegSetKeySecurity", 2)]),
    "faults-persistent": seed(instances=TYPICAL, faults=[from_call(30)]),
    "heap-runs-out": seed(instances=TYPICAL, faults=[fault("HeapAlloc", 3, forever=True)]),
    "removals-refused": seed(instances=TYPICAL,
                             faults=[fault("RegDeleteKeyA", 1, forever=True),
                                     fault("RegEnumKeyA", 4, count=2, error=2)]),
    "bus-name-only": seed(argument=text(b"a.inf+USB"), instances=TYPICAL),
    "id-trailing-backslash": seed(argument=text(b"a.inf+USB\\"), instances=TYPICAL),
    "id-empty-component": seed(USUAL_TREE, argument=text(b"a.inf+USB\\\\VID_1F3A&PID_0C21"),
                               instances=TYPICAL),
    "no-plus": seed(argument=text(b"a.inf"), instances=TYPICAL),
    "only-plus": seed(argument=text(b"+"), instances=TYPICAL),
    "empty": seed(argument=text(), instances=TYPICAL),
    "id-993": seed(argument=text(b"a.inf+USB\\", ("A", 250), b"\\", ("B", 250), b"\\",
                                 ("C", 250), b"\\" + b"D" * 236), instances=TYPICAL),
    "id-1024": seed(argument=text(b"a.inf+USB\\", ("A", 1020)), instances=TYPICAL),
    "id-100000": seed(argument=text(b"a.inf+", ("I", 39999), ("I", 39999), ("I", 20002))),
    "inf-name-1023": seed(argument=text(("n", 1023), b"+" + ID), instances=TYPICAL),
    "relaunch-line-too-long": seed(outcomes=[outcome(False, "wow64")],
                                   argument=text(b"a.inf+", ("+", 21000), ("L", 12000),
                                                 b"+" + ID), instances=TYPICAL),
    "current-directory-1024": seed(LONG_DIR, directory=1021, instances=TYPICAL),
    "current-directory-1012": seed(LONG_DIR, directory=1009, instances=TYPICAL),
    "high-bytes": seed(argument=text(bytes(range(0x80, 0xC0)), bytes(range(0xC0, 0x100)),
                                     b".inf+USB\\VID_\x80\xa0\xff"), instances=TYPICAL),
    "quotes-and-tabs": seed(TAB, argument=text(b"\"driver.inf+" + ID + b"\t\""),
                            instances=TYPICAL),
    "raw-command-line": seed(RAW, argument=text(b"C:\\pkg\\Quorin64.exe \t driver.inf+" + ID),
                             instances=TYPICAL),
    "long-names": seed(instances=[
        long_name(b"N" * 255) + bytes([0x10]) + key(b"child"),
        long_name(b"M" * 200) + bytes([0x01]) + service(0)]),
}

if __name__ == "__main__":
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
    print(f"{len(SEEDS)} seeds in {folder}")
