"""The hash by which a catalog lists a file, in one pass over the file.

Windows looks a file up in a catalog by the Authenticode image hash when the
file is a PE image (.sys, .dll, .exe) and by the hash of all its bytes
otherwise. The image hash leaves out the optional header's CheckSum, the
certificate table's directory entry and an embedded signature at the file's
end, so re-stamping the checksum or signing the file itself keeps it a
member; an unsigned image whose length is not a multiple of 8 is hashed as
if padded with zeros to one (as osslsigncode and signtool do).
"""
import hashlib
import os

CHUNK = 1 << 20


def _u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


def _u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


def _headers_needed(head):
    """How many leading bytes decide whether a file is a PE image."""
    if len(head) < 0x40 or head[:2] != b"MZ":
        return 0x40
    # Headers past the first piece read are not an image Windows would load.
    return min(_u32(head, 0x3C) + 24 + 112 + 5 * 8, CHUNK)


def pe_layout(head, size):
    """(ranges left out, where hashing ends, zero padding) for a PE image, else None."""
    if len(head) < 0x40 or head[:2] != b"MZ":
        return None
    header = _u32(head, 0x3C)
    optional = header + 24
    if len(head) < optional + 2 or head[header:header + 4] != b"PE\0\0":
        return None
    magic = _u16(head, optional)
    if magic not in (0x10B, 0x20B):
        return None
    directories = optional + (96 if magic == 0x10B else 112)
    checksum = optional + 64
    skipped = [(checksum, checksum + 4)]
    end = size
    if len(head) >= directories and _u32(head, directories - 4) >= 5:
        entry = directories + 4 * 8
        if len(head) < entry + 8:
            return None
        skipped.append((entry, entry + 8))
        place, length = _u32(head, entry), _u32(head, entry + 4)
        # A signature counts only where it ends the file, as since MS12-024.
        if place and length and place < size and place + length == size:
            end = place
    padding = (8 - size % 8) % 8 if end == size else 0
    return skipped, end, padding


class Hasher:
    """Feed a file's bytes in order; finish() gives {algorithm: digest}."""

    def __init__(self, algorithms, size):
        self.size = size
        self.hashes = [hashlib.new(name) for name in sorted(algorithms)]
        self.names = sorted(algorithms)
        self.head = bytearray()
        self.offset = 0
        self.kind = None
        self.skipped, self.end, self.padding = [], size, 0

    def update(self, chunk):
        if self.kind is None:
            self.head += chunk
            if len(self.head) >= min(self.size, _headers_needed(self.head)):
                self._decide()
            return
        self._feed(chunk)

    def finish(self):
        if self.kind is None:
            self._decide()
        if self.padding:
            for h in self.hashes:
                h.update(bytes(self.padding))
        return {name: h.digest() for name, h in zip(self.names, self.hashes)}

    def _decide(self):
        layout = pe_layout(self.head, self.size)
        self.kind = "PE image" if layout else "file"
        if layout:
            self.skipped, self.end, self.padding = layout
        head, self.head = self.head, None
        self._feed(head)

    def _feed(self, chunk):
        view = memoryview(chunk)
        start = self.offset
        self.offset += len(chunk)
        low = start
        for skip_from, skip_to in self.skipped:
            if skip_to <= low or skip_from >= self.offset:
                continue
            self._hash(view, start, low, skip_from)
            low = max(low, skip_to)
        self._hash(view, start, low, self.offset)

    def _hash(self, view, start, low, high):
        high = min(high, self.end, start + len(view))
        if high > low:
            piece = view[low - start:high - start]
            for h in self.hashes:
                h.update(piece)


def hash_file(path, algorithms):
    """(kind, {algorithm: digest}) of the file at path, read once in 1 MiB pieces."""
    with open(path, "rb", buffering=0) as stream:
        hasher = Hasher(algorithms, os.fstat(stream.fileno()).st_size)
        buffer = bytearray(CHUNK)
        view = memoryview(buffer)
        while True:
            count = stream.readinto(buffer)
            if not count:
                break
            hasher.update(view[:count] if hasher.kind else bytes(view[:count]))
        digests = hasher.finish()
    return hasher.kind, digests
