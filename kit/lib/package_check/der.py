"""A strict reader of DER, the encoding of certificates and catalogs.

Only what a catalog needs: definite lengths (a catalog Windows makes is DER),
low tag numbers, and the few universal types below. Every problem raises
DerError, whose text says what is wrong where.
"""
import datetime

SEQUENCE = 0x30
SET = 0x31
INTEGER = 0x02
BIT_STRING = 0x03
OCTET_STRING = 0x04
NULL = 0x05
OID = 0x06
UTC_TIME = 0x17
GENERALIZED_TIME = 0x18
BOOLEAN = 0x01


class DerError(ValueError):
    pass


def context(number, constructed=True):
    """The tag byte of [number] (context-specific)."""
    return 0x80 | (0x20 if constructed else 0) | number


class Node:
    """One element: its tag, and where its header and contents lie in data."""
    __slots__ = ("data", "tag", "start", "content", "end")

    def __init__(self, data, tag, start, content, end):
        self.data, self.tag, self.start, self.content, self.end = data, tag, start, content, end

    @property
    def raw(self):
        """The whole element as encoded: tag, length and contents."""
        return bytes(self.data[self.start:self.end])

    @property
    def value(self):
        """The contents octets."""
        return bytes(self.data[self.content:self.end])

    @property
    def constructed(self):
        return bool(self.tag & 0x20)

    def children(self):
        if not self.constructed:
            raise DerError(f"element with tag 0x{self.tag:02x} at {self.start} is not constructed")
        return read_all(self.data, self.content, self.end)

    def expect(self, tag, what):
        if self.tag != tag:
            raise DerError(f"{what}: tag 0x{self.tag:02x} where 0x{tag:02x} belongs")
        return self


def read(data, pos=0, end=None):
    """The element at pos, which must end by end."""
    if end is None:
        end = len(data)
    if pos + 2 > end:
        raise DerError(f"truncated element at {pos}")
    tag = data[pos]
    if tag & 0x1F == 0x1F:
        raise DerError(f"high tag number at {pos}")
    first = data[pos + 1]
    head = pos + 2
    if first < 0x80:
        length = first
    elif first == 0x80:
        raise DerError(f"indefinite length at {pos}: BER, not DER")
    else:
        count = first & 0x7F
        if count > 4 or head + count > end:
            raise DerError(f"bad length at {pos}")
        length = int.from_bytes(data[head:head + count], "big")
        head += count
    if head + length > end:
        raise DerError(f"element at {pos} runs past its container ({length} bytes)")
    return Node(data, tag, pos, head, head + length)


def read_all(data, pos, end):
    nodes = []
    while pos < end:
        node = read(data, pos, end)
        nodes.append(node)
        pos = node.end
    return nodes


def parse(data, what="DER data"):
    """The single element that data holds, nothing after it."""
    node = read(data, 0, len(data))
    if node.end != len(data):
        raise DerError(f"{what}: {len(data) - node.end} bytes after its end")
    return node


def oid(node):
    node.expect(OID, "object identifier")
    body = node.value
    if not body:
        raise DerError("empty object identifier")
    parts, value = [], 0
    for byte in body:
        value = (value << 7) | (byte & 0x7F)
        if not byte & 0x80:
            parts.append(value)
            value = 0
    if body[-1] & 0x80:
        raise DerError("truncated object identifier")
    first = parts[0]
    head = [min(first // 40, 2), first - 40 * min(first // 40, 2)]
    return ".".join(str(p) for p in head + parts[1:])


def integer(node):
    node.expect(INTEGER, "integer")
    return int.from_bytes(node.value, "big", signed=True)


def octets(node):
    return node.expect(OCTET_STRING, "octet string").value


def bit_string(node):
    body = node.expect(BIT_STRING, "bit string").value
    if not body or body[0] != 0:
        raise DerError("bit string with unused bits")
    return body[1:]


def time(node):
    """A UTCTime or GeneralizedTime as an aware datetime in UTC."""
    text = node.value.decode("ascii", "replace")
    try:
        if node.tag == UTC_TIME:
            if not text.endswith("Z") or len(text) not in (11, 13):
                raise ValueError
            year = int(text[:2])
            text = ("19" if year >= 50 else "20") + text
        elif node.tag != GENERALIZED_TIME or not text.endswith("Z"):
            raise ValueError
        digits = text[:-1].split(".")[0]
        if len(digits) == 12:
            digits += "00"
        moment = datetime.datetime.strptime(digits, "%Y%m%d%H%M%S")
    except ValueError:
        raise DerError(f"bad time {text!r}") from None
    return moment.replace(tzinfo=datetime.timezone.utc)


def text(node):
    """A directory string of any of the types certificates use."""
    body = node.value
    if node.tag == 0x1E:  # BMPString
        return body.decode("utf-16-be", "replace")
    if node.tag == 0x1C:  # UniversalString
        return body.decode("utf-32-be", "replace")
    if node.tag in (0x14, 0x15):  # TeletexString, VideotexString: Latin-1 in practice
        return body.decode("latin-1")
    return body.decode("utf-8", "replace")
