"""Reading an INF as Windows' setup functions read it.

Encodings: UTF-16 LE with its byte-order mark is read as it is; anything
else is read as ANSI bytes in the machine's code page (taken here as 1252,
Western), a UTF-8 file included, so its non-ASCII text reads otherwise
than its author wrote it. Grammar (General Syntax Rules for INF Files):
[section] names and keys compare case-insensitively and sections of the
same name merge; ";" outside quotes and %strkey% tokens starts a comment; a
"\\" ending a line continues it; values are comma-separated fields, quoted
or not ("" is a quote inside quotes); %strkey% tokens take their value from
[Strings] (a localized [Strings.<lang>] fills in what it lacks); %% is %.
"""
import re

from .names import upper

UTF16 = "UTF-16 LE"
UTF8 = "UTF-8"
ANSI = "ANSI"

# Windows' code page 1252, whose five unassigned bytes map to the C1 controls.
_CP1252 = [bytes([b]).decode("cp1252", "ignore") or chr(b) for b in range(256)]
_CP1252_BYTES = {c: b for b, c in enumerate(_CP1252)}
_CP1252_TABLE = {b: c for b, c in enumerate(_CP1252) if c != chr(b)}
_TOKEN = re.compile(r'%[^%\s"]*%')


class InfError(ValueError):
    pass


class Line:
    """One entry: key (None when the line has no "="), its fields, and the
    same before string substitution, to tell what the author wrote."""
    __slots__ = ("key", "fields", "raw_key", "raw_fields", "number")

    def __init__(self, key, fields, raw_key, raw_fields, number):
        self.key, self.fields, self.raw_key, self.raw_fields, self.number = (
            key, fields, raw_key, raw_fields, number)

    def field(self, index):
        return self.fields[index] if index < len(self.fields) else ""


class Section:
    __slots__ = ("name", "number", "lines")

    def __init__(self, name, number):
        self.name, self.number, self.lines = name, number, []


def decode(data):
    """(text, encoding) of an INF's bytes."""
    if data[:2] == b"\xff\xfe":
        try:
            return data[2:].decode("utf-16-le"), UTF16
        except UnicodeDecodeError as error:
            raise InfError(f"is not valid UTF-16 LE text (byte {error.start + 2})") from None
    if data[:2] == b"\xfe\xff":
        raise InfError("is UTF-16 big-endian, which Windows does not read: "
                       "save it as UTF-16 LE (with its byte-order mark)")
    if b"\0" in data[:512]:
        raise InfError("holds NUL bytes, like UTF-16 without its byte-order mark: "
                       "save it as UTF-16 LE with the mark, or as ANSI")
    encoding = ANSI
    if data[:3] == b"\xef\xbb\xbf":
        data, encoding = data[3:], UTF8
    elif any(b >= 0x80 for b in data):
        try:
            data.decode("utf-8")
            encoding = UTF8
        except UnicodeDecodeError:
            pass
    return data.decode("latin-1").translate(_CP1252_TABLE), encoding


def meant(name):
    """What a UTF-8 INF's name, read as ANSI, was written as."""
    try:
        return bytes(_CP1252_BYTES[c] for c in name).decode("utf-8")
    except (KeyError, UnicodeDecodeError):
        return name


def _strip_comment(line):
    """The line up to a comment, and whether a quote is still open there."""
    quoted, at = False, 0
    while at < len(line):
        c = line[at]
        if c == '"':
            quoted = not quoted
        elif not quoted and c == "%":
            token = _TOKEN.match(line, at)
            if token:
                at = token.end()
                continue
        elif c == ";" and not quoted:
            return line[:at], False
        at += 1
    return line, quoted


def _split(text, separator):
    """Pieces of text at separator outside quotes, each trimmed."""
    pieces, quoted, start = [], False, 0
    for at, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == separator and not quoted:
            pieces.append(text[start:at].strip())
            start = at + 1
    pieces.append(text[start:].strip())
    return pieces


def _unquote(text):
    out, quoted, at = [], False, 0
    while at < len(text):
        c = text[at]
        if c == '"':
            if quoted and text[at + 1:at + 2] == '"':
                out.append('"')
                at += 1
            else:
                quoted = not quoted
        else:
            out.append(c)
        at += 1
    return "".join(out)


class Inf:
    def __init__(self, name, data):
        self.name = name
        self.text, self.encoding = decode(data)
        self.sections = {}
        self.strings = {}
        entries = self._entries()
        # Strings first: tokens may come before [Strings] does.
        for section, key, value, _ in entries:
            if upper(section.name) == "STRINGS" or upper(section.name).startswith("STRINGS."):
                if key is not None:
                    key = upper(_unquote(key))
                    if upper(section.name) == "STRINGS" or key not in self.strings:
                        self.strings[key] = _unquote(value.strip())
        for section, key, value, number in entries:
            raw_fields = _split(value, ",")
            fields = [self.expand(f) for f in raw_fields]
            section.lines.append(Line(None if key is None else self.expand(key), fields,
                                      key, raw_fields, number))

    def _entries(self):
        """(section, raw key, raw value, line number) of every entry."""
        entries, section, pending, first = [], None, "", 0
        for number, line in enumerate(re.split(r"\r\n|\r|\n", self.text), 1):
            if not pending and line.lstrip().startswith("["):
                head = line.lstrip()
                close = head.find("]")
                if close < 0:
                    raise InfError(f"line {number}: section name without its closing ]")
                name = head[1:close].strip()
                section = self.sections.get(upper(name))
                if section is None:
                    section = self.sections[upper(name)] = Section(name, number)
                continue
            body, quoted = _strip_comment(line)
            body = body.rstrip()
            if not pending:
                first = number
            if body.endswith("\\") and not quoted:
                pending += body[:-1]
                continue
            body, pending = (pending + body).strip(), ""
            if not body or section is None:
                continue
            equals = self._first_equals(body)
            if equals < 0:
                entries.append((section, None, body, first))
            else:
                entries.append((section, body[:equals].strip(), body[equals + 1:].strip(), first))
        return entries

    @staticmethod
    def _first_equals(text):
        quoted = False
        for at, c in enumerate(text):
            if c == '"':
                quoted = not quoted
            elif c == "=" and not quoted:
                return at
        return -1

    def expand(self, field):
        """A field unquoted, with its %strkey% tokens replaced."""
        field = _unquote(field)
        if "%" not in field:
            return field
        out, at = [], 0
        while at < len(field):
            c = field[at]
            end = field.find("%", at + 1) if c == "%" else -1
            if c != "%" or end < 0:
                out.append(c)
                at += 1
                continue
            key = field[at + 1:end]
            if not key:
                out.append("%")
            elif upper(key) in self.strings:
                out.append(self.strings[upper(key)])
            else:
                out.append(field[at:end + 1])
            at = end + 1
        return "".join(out)

    @staticmethod
    def has_token(raw):
        return bool(re.search(r"%[^%]+%", raw))

    def section(self, name):
        return self.sections.get(upper(name))

    def lines(self, name, key=None):
        """The entries of a section (none when it is absent), only those with
        key when given."""
        section = self.section(name)
        if section is None:
            return []
        if key is None:
            return section.lines
        return [line for line in section.lines
                if line.key is not None and upper(line.key) == upper(key)]

    def first(self, name, key):
        found = self.lines(name, key)
        return found[0] if found else None
