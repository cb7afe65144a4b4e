#!/usr/bin/env python3
"""Checks a driver package folder as strictly as Windows does when it
installs it, so that a broken package is refused here rather than on a
customer's machine, where Windows asks for a missing disk or an untrusted
publisher and nobody answers in session 0.

usage: check-package.py [--arch amd64|x86]... [--inf NAME] [--hardware-id ID]...
                        [--trust CERT.pem]... FOLDER
       check-package.py --hardware-ids [--arch amd64|x86]... [--inf NAME] FOLDER

  --arch amd64|x86   check for this architecture (repeat for both; default both)
  --inf NAME         the package's INF, when its folder holds several
  --hardware-id ID   a hardware ID the setup installs on (repeatable): it must be
                     the first ID of a models line, not a compatible ID
  --trust CERT.pem   a certificate the catalog's signer must chain to (repeatable);
                     without it the chain is not judged, only reported
  --hardware-ids     print the package's hardware IDs, one a line, and nothing else
  -h, --help         show this text

Exit 0 when the package is fine (warnings on stderr, each starting "warning: "),
1 when it is refused (one line per problem on stderr), 2 for a wrong command line.
When the package has a catalog, its signer's subject is printed on stdout
("signer: ...").
"""
import os
import sys

sys.dont_write_bytecode = True  # the kit folder stays as it was shipped
sys.path.insert(0, os.path.join(os.path.dirname(os.path.realpath(__file__)), "lib"))

from package_check import der  # noqa: E402
from package_check.package import Report, check_package, list_hardware_ids  # noqa: E402
from package_check.x509 import Certificate, read_pem  # noqa: E402

PROGRAM = "check-package.py"


def usage():
    return __doc__[__doc__.index("usage:"):].rstrip()


def wrong(text):
    print(f"{PROGRAM}: {text}", file=sys.stderr)
    sys.exit(2)


def parse_command_line(argv):
    options = {"arches": [], "inf": None, "ids": [], "trust": [], "list": False, "folder": None}
    valued = {"--arch": "arches", "--inf": "inf", "--hardware-id": "ids", "--trust": "trust"}
    at = 0
    while at < len(argv):
        argument = argv[at]
        name, _, inline = argument.partition("=") if argument.startswith("--") \
            else (argument, "", "")
        if name in valued:
            if inline == "" and "=" not in argument:
                if at + 1 >= len(argv):
                    wrong(f"{name} needs a value")
                inline = argv[at + 1]
                at += 1
            if inline == "":
                wrong(f"{name} needs a value")
            key = valued[name]
            if key == "inf":
                options[key] = inline
            else:
                options[key].append(inline)
        elif argument == "--hardware-ids":
            options["list"] = True
        elif argument in ("-h", "--help"):
            print(usage())
            sys.exit(0)
        elif argument.startswith("-") and argument != "-":
            print(f"{PROGRAM}: unknown option {argument}", file=sys.stderr)
            print(usage(), file=sys.stderr)
            sys.exit(2)
        elif options["folder"] is not None:
            wrong("one folder only")
        else:
            options["folder"] = argument
        at += 1
    for arch in options["arches"]:
        if arch not in ("amd64", "x86"):
            wrong(f"--arch {arch}: use amd64 or x86")
    if options["folder"] is None:
        print(usage(), file=sys.stderr)
        sys.exit(2)
    if options["list"] and (options["ids"] or options["trust"]):
        wrong("--hardware-ids takes only --arch and --inf")
    options["arches"] = list(dict.fromkeys(options["arches"])) or ["amd64", "x86"]
    return options


def read_trust(paths):
    anchors = []
    for path in paths:
        try:
            with open(path, "rb") as stream:
                data = stream.read()
        except OSError as error:
            wrong(f"--trust {path}: {error.strerror}")
        try:
            found = read_pem(data.decode("ascii", "replace")) if b"-----BEGIN" in data else [data]
            anchors += [Certificate(raw) for raw in found]
        except (der.DerError, IndexError, ValueError):
            found = []
        if not found:
            wrong(f"--trust {path}: not a certificate (PEM or DER)")
    return anchors


def main(argv):
    options = parse_command_line(argv)
    report = Report()
    if options["list"]:
        ids = list_hardware_ids(options["folder"], options["arches"], options["inf"], report)
        if not report.problems:
            print("\n".join(ids))
    else:
        check_package(options["folder"], options["arches"], options["inf"],
                      options["ids"] or None, read_trust(options["trust"]), report)
    for line in report.warning_lines():
        print(f"warning: {line}", file=sys.stderr)
    for line in report.problem_lines():
        print(f"{PROGRAM}: {line}", file=sys.stderr)
    return 1 if report.problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
