"""A case's verdicts and the checks several groups share."""
import os

from suite.common import DEBUG_BOX, ERROR_BOX, show


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


def check_call(case, call, hwid, inf_path, command_line=None, seen=True):
    case.equal(call["hwid"], hwid, "hardware ID handed to the update")
    case.equal(call["inf"], inf_path, "INF path handed to the update")
    case.equal(call["flags"], 1 if seen else 5,
               "install flags (INSTALLFLAG_FORCE, and INSTALLFLAG_NONINTERACTIVE where unseen)")
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


def only(program, body):
    """Marks a case that applies to one program only."""
    body.programs = (program,)
    return body


PROGRAMS = ("x64", "x86")


def file_names(files):
    return sorted(files) if files is not None else None


def driver_package(inf):
    """The files below the INF's folder: {path below it with "/": bytes}."""
    folder = os.path.dirname(inf)
    package = {}
    for directory, _, names in os.walk(folder):
        for name in names:
            path = os.path.join(directory, name)
            with open(path, "rb") as f:
                package[os.path.relpath(path, folder).replace(os.sep, "/")] = f.read()
    return package
