"""Names as Windows compares them, and the package's files as Windows would
find them: case-insensitively, by Unicode upper case, not ASCII alone."""
import os
import unicodedata


def upper(name):
    """Windows' case folding: each character's own upper case, never the longer
    forms Python's str.upper() makes (Windows keeps "ß" as it is)."""
    result = name.upper()
    if len(result) == len(name):
        return result
    return "".join(c if len(c.upper()) != 1 else c.upper() for c in name)


def same(a, b):
    return upper(a) == upper(b)


def place(*pieces):
    """A path inside the package from INF path pieces ("\\" or "/" separated,
    relative to the INF's folder), or None when it leads outside."""
    parts = []
    for piece in pieces:
        for part in piece.replace("\\", "/").split("/"):
            if part in ("", "."):
                continue
            if ":" in part:  # a drive or a stream: not inside the package
                return None
            if part == "..":
                if not parts:
                    return None
                parts.pop()
                continue
            parts.append(part)
    return "/".join(parts)


class PackageFiles:
    """Every file below the package folder, listed once."""

    def __init__(self, folder):
        self.folder = folder
        self.by_name = {}
        for top, folders, files in os.walk(folder):
            folders.sort()
            relative = os.path.relpath(top, folder)
            for name in sorted(files):
                path = name if relative == "." else f"{relative}/{name}".replace(os.sep, "/")
                self.by_name.setdefault(upper(path), []).append(path)

    def top_files(self):
        return [paths[0] for key, paths in self.by_name.items() if "/" not in key]

    def find(self, path):
        """The package's file that path names as Windows compares names, or None."""
        found = self.by_name.get(upper(path))
        return found[0] if found else None

    def clashes(self, path):
        """The package's files that Windows would see as this one name."""
        return self.by_name.get(upper(path), [])

    def near(self, path):
        """A file whose name differs from path only in Unicode normalization,
        which Windows does not equate but which is the file meant."""
        wanted = unicodedata.normalize("NFC", upper(path))
        for key, paths in self.by_name.items():
            if unicodedata.normalize("NFC", key) == wanted:
                return paths[0]
        return None

    def full(self, path):
        return os.path.join(self.folder, *path.split("/"))
