#!/usr/bin/env python3
"""Every place that says what the program's exit codes mean says what the
one list, docs/exit-codes.tsv, says (label "docs"):

- the README's "Exit codes" table and release/USAGE.txt: each code once,
  with its unsigned 32-bit value, its meaning first (details may follow);
  a code whose meaning depends on the program names both, as
  "x86 program: ..." and "x64 program: ...";
- the program's own header (install/result_codes.h): the comment above
  each code, as in a table for people;
- the NSIS and Inno Setup examples and the demonstration's shell functions
  (both programs) and the custom action (the x64 program): the meaning
  function holds, for each code, exactly the list's meanings.

Prints each disagreement with the file and the code; exits 1 if any.

    exit_codes_test.py [SOURCE_ROOT]
"""
import os
import re
import sys

ROOT = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                       os.path.join(os.path.dirname(__file__), ".."))
failures = []


def read(path):
    with open(os.path.join(ROOT, path), encoding="utf-8") as f:
        return f.read()


def fail(path, code, message):
    failures.append("%s: code %s: %s" % (path, code, message))


def load_list():
    """{code: {program: meaning}}, program "both", "x86" or "x64"."""
    codes = {}
    for number, line in enumerate(read("docs/exit-codes.tsv").splitlines(), 1):
        if not line or line.startswith("#"):
            continue
        fields = line.split("\t")
        if len(fields) != 3 or fields[1] not in ("both", "x86", "x64"):
            failures.append("docs/exit-codes.tsv:%d: not <code> TAB <both|x86|x64> TAB "
                            "<meaning>" % number)
            continue
        codes.setdefault(int(fields[0]), {})[fields[1]] = fields[2]
    for code, meanings in codes.items():
        if sorted(meanings) not in (["both"], ["x64", "x86"]):
            fail("docs/exit-codes.tsv", code, "give one meaning for both programs, or one "
                 "for each")
    return codes


def meanings_for(meanings, program):
    return meanings.get("both", meanings.get(program))


def words(text):
    return " ".join(text.split())


def check_documented(path, code, unsigned, text, meanings):
    """One entry of a table for people: the unsigned value and the meaning."""
    if unsigned is not None and int(unsigned) != code & 0xFFFFFFFF:
        fail(path, code, "unsigned value %s, expected %d" % (unsigned, code & 0xFFFFFFFF))
    text = words(text.replace("`", ""))  # Markdown's code marks
    if "both" in meanings:
        if not text.startswith(meanings["both"]):
            fail(path, code, "says %r; must start with %r" % (text, meanings["both"]))
        return
    for program in ("x86", "x64"):
        expected = "%s program: %s" % (program, meanings[program])
        if expected not in text:
            fail(path, code, "says %r; must hold %r" % (text, expected))


def check_codes_seen(path, seen, codes):
    for code in codes:
        if seen.count(code) != 1:
            fail(path, code, "listed %d times, expected once" % seen.count(code))
    for code in set(seen) - set(codes):
        fail(path, code, "not in docs/exit-codes.tsv")


def check_readme(codes):
    path = "README.md"
    text = read(path)
    section = re.search(r"^## Exit codes\n(.*?)^## ", text, re.S | re.M)
    if not section:
        failures.append("%s: no \"## Exit codes\" section" % path)
        return
    seen = []
    for code, unsigned, meaning in re.findall(r"^\| (-?\d+) \| (\d+) \| (.*) \|$",
                                              section.group(1), re.M):
        seen.append(int(code))
        if int(code) in codes:
            check_documented(path, int(code), unsigned, meaning, codes[int(code)])
    check_codes_seen(path, seen, codes)


def check_usage(codes):
    """The indented list after "Exit codes": a code, its unsigned value in
    brackets (not for 0 and 1), the meaning, continued on deeper lines."""
    path = "release/USAGE.txt"
    text = read(path)
    start = re.search(r"^Exit codes.*\n\n", text, re.M)
    if not start:
        failures.append("%s: no \"Exit codes\" list" % path)
        return
    entries = []
    for line in text[start.end():].splitlines():
        if not line.strip():
            break
        entry = re.match(r"^  ( ?-?\d+)(?: \((\d+)\))?\s+(.*)$", line)
        if entry:
            entries.append([int(entry.group(1)), entry.group(2), entry.group(3)])
        elif entries and line.startswith("    "):
            entries[-1][2] += " " + line.strip()
        else:
            failures.append("%s: not part of an entry: %r" % (path, line))
    for code, unsigned, meaning in entries:
        if code in codes:
            check_documented(path, code, unsigned if code < 0 else str(code), meaning,
                             codes[code])
    check_codes_seen(path, [e[0] for e in entries], codes)


# The meaning function of each source: where it starts and ends, how a code's
# branch starts, and its string literals.
SOURCES = [
    ("kit/nsis/quorin64-setup.nsi", ("x86", "x64"),
     r"^Function CodeMeaning\n(.*?)^FunctionEnd", r"^\s*\$\{Case\} (-?\d+)\s*$|^\s*\$\{CaseElse\}",
     r'StrCpy \$Meaning "([^"]*)"'),
    ("kit/inno/quorin64-setup.iss", ("x86", "x64"),
     r"^function Meaning\(Code: Integer\): String;\n(.*?)^end;", r"^\s*(-?\d+):|^  else\s*$",
     r"Result := '([^']*)'"),
    ("kit/lib/wine-machine.sh", ("x86", "x64"),
     r"^program_meaning\(\) \{\n(.*?)^\}", r"^\s*(-?\d+)\)|^\s*\*\)", r'echo "([^"]*)"'),
    ("action/log_lines.cpp", ("x64",),
     r"^const char\* CodeMeaning\(int code\) \{\n(.*?)^\}",
     r"^\s*case (-?\d+|INSTALL_\w+):|^\s*default:", r'return ((?:\s*"[^"]*")+);'),
]


def header_names():
    """{INSTALL_...: code}, from the program's header."""
    return {name: int(code) for name, code in
            re.findall(r"^\s*(INSTALL_\w+) = (-?\d+)", read("install/result_codes.h"), re.M)}


def check_source(codes, path, programs, function, label, literal):
    body = re.search(function, read(path), re.S | re.M)
    if not body:
        failures.append("%s: no meaning function (%s)" % (path, function))
        return
    names = header_names()
    branches = {}
    code = None
    for line in body.group(1).splitlines():
        branch = re.match(label, line)
        if branch:
            code = branch.group(1)
            if code in names:
                code = names[code]
            elif code is not None and code.startswith("INSTALL_"):
                fail(path, code, "not a code in install/result_codes.h")
                code = None
            elif code is not None:
                code = int(code)
            if code is not None:
                branches.setdefault(code, "")
        if code is not None:
            branches[code] += line + "\n"
    # Adjacent literals ("a" "b", C++) are one string.
    found = {code: ["".join(re.findall(r'"([^"]*)"', match)) if match.startswith('"')
                    else match for match in re.findall(literal, text)]
             for code, text in branches.items()}
    for code, meanings in codes.items():
        expected = sorted({meanings_for(meanings, p) for p in programs})
        if code not in found:
            fail(path, code, "no branch in the meaning function")
        elif sorted(found[code]) != expected:
            fail(path, code, "says %r, expected %r" % (sorted(found[code]), expected))
    for code in set(found) - set(codes):
        fail(path, code, "not in docs/exit-codes.tsv")


def check_header(codes):
    """The program's own list: the comment lines above each enumerator."""
    path = "install/result_codes.h"
    enum = re.search(r"^enum InstallResult \{\n(.*?)^\};", read(path), re.S | re.M)
    if not enum:
        failures.append("%s: no enum InstallResult" % path)
        return
    seen = []
    for comment, code in re.findall(r"((?:^\s*//.*\n)+)\s*INSTALL_\w+ = (-?\d+)",
                                    enum.group(1), re.M):
        seen.append(int(code))
        if int(code) in codes:
            text = " ".join(line.strip()[2:] for line in comment.splitlines())
            check_documented(path, int(code), None, text, codes[int(code)])
    check_codes_seen(path, seen, codes)


def main():
    codes = load_list()
    if sorted(codes) != [-6, -4, -3, -2, -1, 0, 1]:
        failures.append("docs/exit-codes.tsv: codes %s, expected 1, 0, -1, -2, -3, -4, -6"
                        % sorted(codes))
    check_readme(codes)
    check_usage(codes)
    check_header(codes)
    for source in SOURCES:
        check_source(codes, *source)
    for failure in failures:
        print("FAIL: " + failure)
    print("%d disagreements" % len(failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
