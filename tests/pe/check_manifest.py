#!/usr/bin/env python3
"""Checks an application manifest read from standard input; prints what is
wrong and exits 1. Usage: check_manifest.py ARCHITECTURE VERSION (amd64|x86,
four-part version)."""
import sys
import xml.etree.ElementTree as ElementTree

V1 = "{urn:schemas-microsoft-com:asm.v1}"
# Windows XP and Server 2003 refuse to start a program whose trustInfo is in
# the asm.v3 namespace; the asm.v2 form loads everywhere.
V2 = "{urn:schemas-microsoft-com:asm.v2}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10 and 11
}


def problems(text, architecture, version):
    try:
        text.decode("ascii")
        root = ElementTree.fromstring(text)
    except (UnicodeDecodeError, ElementTree.ParseError) as error:
        return ["not well-formed ASCII XML: %s" % error]
    found = []
    if root.tag != V1 + "assembly" or root.get("manifestVersion") != "1.0":
        found.append("root is %s, not an asm.v1 assembly of manifestVersion 1.0" % root.tag)
    identity = root.find(V1 + "assemblyIdentity")
    expected = {"type": "win32", "name": "Quorin64", "version": version,
                "processorArchitecture": architecture}
    if identity is None or dict(identity.attrib) != expected:
        found.append("assemblyIdentity is %s, not %s"
                     % (None if identity is None else identity.attrib, expected))
    levels = root.findall(V2 + "trustInfo/" + V2 + "security/" + V2 + "requestedPrivileges/"
                          + V2 + "requestedExecutionLevel")
    if len(levels) != 1 or dict(levels[0].attrib) != {"level": "asInvoker",
                                                        "uiAccess": "false"}:
        found.append("no single asm.v2 trustInfo requestedExecutionLevel asInvoker, "
                     "uiAccess false")
    ids = [e.get("Id") for e in root.findall(COMPATIBILITY + "compatibility/" + COMPATIBILITY
                                              + "application/" + COMPATIBILITY + "supportedOS")]
    if sorted(ids) != sorted(SUPPORTED_OS):
        found.append("supportedOS %s, not Vista to 10/11" % ids)
    if any(element.tag.endswith("}dependency") for element in root.iter()):
        found.append("has a dependency (no UI dependencies wanted)")
    return found


def main():
    found = problems(sys.stdin.buffer.read(), sys.argv[1], sys.argv[2])
    print("; ".join(found))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
