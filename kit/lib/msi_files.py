#!/usr/bin/env python3
"""What kit/build-msi.sh needs to know of the files it packs, by Windows
Installer's rules rather than wixl's defaults.

  msi_files.py guids UPGRADE_CODE < PATHS
      one component GUID per install path (relative to the product's folder,
      "/"-separated), one a line, in the order given. Windows Installer
      knows a component by its GUID across versions: a file whose GUID
      changes at the same path is removed by the old version's removal
      during a major upgrade, so the GUID depends on the product (its
      UpgradeCode) and the path alone, never on the other files.

  msi_files.py versions < FILES
      "<version>\\t<language>" of each file's version resource (a PE file's
      VS_FIXEDFILEINFO and its first translation), or an empty line for an
      unversioned file. Windows Installer replaces a versioned file on disk
      only by a higher version, and keeps it over an unversioned one.

Standard library only: it runs wherever the kit runs.
"""
import struct
import sys
import uuid

FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD
# A driver's or program's version resource lies well within its first
# 64 MiB; the rest of a large file is not read.
RESOURCE_SEARCH_LIMIT = 64 << 20
TRANSLATION = "Translation\0".encode("utf-16-le")


def component_guid(upgrade_code, path):
    namespace = uuid.UUID(upgrade_code.strip("{}"))
    # Windows compares paths without regard to case.
    return "{%s}" % str(uuid.uuid5(namespace, path.replace("\\", "/").lower())).upper()


def resource_section(data):
    """The bytes of the PE file's resource section, or None when it is no PE
    file or has no resources."""
    if data[:2] != b"MZ" or len(data) < 64:
        return None
    pe = struct.unpack_from("<I", data, 60)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None
    sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
    optional = pe + 24
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + (96 if magic == 0x10B else 112)
    resource_rva = struct.unpack_from("<I", data, directories + 2 * 8)[0]
    if resource_rva == 0:
        return None
    table = optional + optional_size
    for index in range(sections):
        size, rva, raw_size, raw_offset = struct.unpack_from("<8xIIII", data, table + 40 * index)
        if rva <= resource_rva < rva + max(size, raw_size):
            start = raw_offset + (resource_rva - rva)
            return data[start:raw_offset + raw_size]
    return None


def file_version(path):
    with open(path, "rb") as f:
        data = f.read(RESOURCE_SEARCH_LIMIT)
    try:
        resources = resource_section(data)
    except struct.error:
        return ""
    if not resources:
        return ""
    at = resources.find(struct.pack("<I", FIXED_FILE_INFO_SIGNATURE))
    if at < 0 or at % 4 or len(resources) < at + 16:
        return ""
    most, least = struct.unpack_from("<II", resources, at + 8)
    version = "%d.%d.%d.%d" % (most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF)
    language = ""
    at = resources.find(TRANSLATION)
    if at >= 0:
        value = (at + len(TRANSLATION) + 3) & ~3
        if len(resources) >= value + 2:
            language = str(struct.unpack_from("<H", resources, value)[0])
    return "%s\t%s" % (version, language)


def main(argv):
    lines = sys.stdin.read().splitlines()
    if len(argv) == 3 and argv[1] == "guids":
        print("\n".join(component_guid(argv[2], line) for line in lines))
    elif len(argv) == 2 and argv[1] == "versions":
        print("\n".join(file_version(line) for line in lines))
    else:
        sys.stderr.write("usage: msi_files.py guids UPGRADE_CODE | versions\n")
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
