"""Cabinet (.cab) files a source disk may hold its files in: the file list,
and each member's bytes for hashing (stored or MSZIP; Quantum and LZX are
named as unsupported), reading the cabinet once from start to end."""
import zlib

from .image_hash import Hasher

COMPRESSION = {0: "stored", 1: "MSZIP", 2: "Quantum", 3: "LZX"}


class CabinetError(ValueError):
    pass


def _u16(data, at):
    return int.from_bytes(data[at:at + 2], "little")


def _u32(data, at):
    return int.from_bytes(data[at:at + 4], "little")


class Member:
    __slots__ = ("name", "size", "folder", "offset")

    def __init__(self, name, size, folder, offset):
        self.name, self.size, self.folder, self.offset = name, size, folder, offset


class Cabinet:
    def __init__(self, path):
        self.path = path
        with open(path, "rb") as stream:
            head = stream.read(1 << 16)
            if len(head) < 36 or head[:4] != b"MSCF":
                raise CabinetError("not a cabinet file")
            files_at, folder_count, file_count, flags = (_u32(head, 16), _u16(head, 26),
                                                         _u16(head, 28), _u16(head, 30))
            at, self.folder_reserve, self.data_reserve = 36, 0, 0
            if flags & 4:
                at += 4 + _u16(head, 36)
                self.folder_reserve, self.data_reserve = head[38], head[39]
            for _ in range(2 * bool(flags & 1) + 2 * bool(flags & 2)):
                at = head.index(b"\0", at) + 1
            if flags & 3:
                raise CabinetError("part of a set of cabinets, which this check does not follow")
            self.folders = []
            for _ in range(folder_count):
                self.folders.append((_u32(head, at), _u16(head, at + 4), _u16(head, at + 6)))
                at += 8 + self.folder_reserve
            stream.seek(files_at)
            table = stream.read(file_count * (16 + 256))
        self.members, at = [], 0
        for _ in range(file_count):
            size, offset, folder, attributes = (_u32(table, at), _u32(table, at + 4),
                                                _u16(table, at + 8), _u16(table, at + 14))
            end = table.index(b"\0", at + 16)
            raw = table[at + 16:end]
            name = raw.decode("utf-8" if attributes & 0x80 else "cp1252", "replace")
            if folder >= len(self.folders):
                raise CabinetError(f"{name} continues from or into another cabinet")
            self.members.append(Member(name, size, folder, offset))
            at = end + 1

    def hash_members(self, wanted):
        """{member: (kind, digests)} for wanted = {member: algorithms}."""
        results = {}
        by_folder = {}
        for member in wanted:
            by_folder.setdefault(member.folder, []).append(member)
        with open(self.path, "rb") as stream:
            for number in sorted(by_folder):
                members = sorted(by_folder[number], key=lambda m: m.offset)
                hashers = [(m, Hasher(wanted[m], m.size)) for m in members]
                for start, piece in self._folder_data(stream, number):
                    stop = start + len(piece)
                    for member, hasher in hashers:
                        low = max(start, member.offset)
                        high = min(stop, member.offset + member.size)
                        if low < high:
                            hasher.update(piece[low - start:high - start])
                for member, hasher in hashers:
                    results[member] = (hasher.kind, hasher.finish())
        return results

    def _folder_data(self, stream, number):
        """(offset in the folder, bytes) of each data block of a folder, uncompressed."""
        start, blocks, compression = self.folders[number]
        kind = compression & 0x0F
        if kind not in (0, 1):
            raise CabinetError(f"compressed with {COMPRESSION.get(kind, kind)}, "
                               "which this check cannot read")
        stream.seek(start)
        history, offset = b"", 0
        for _ in range(blocks):
            header = stream.read(8 + self.data_reserve)
            if len(header) < 8:
                raise CabinetError("truncated")
            packed, unpacked = _u16(header, 4), _u16(header, 6)
            data = stream.read(packed)
            if kind == 1:
                if data[:2] != b"CK":
                    raise CabinetError("an MSZIP block without its signature")
                inflater = zlib.decompressobj(-15, zdict=history) if history else \
                    zlib.decompressobj(-15)
                try:
                    data = inflater.decompress(data[2:]) + inflater.flush()
                except zlib.error as error:
                    raise CabinetError(f"an MSZIP block does not inflate: {error}") from None
                history = (history + data)[-32768:]
            if len(data) != unpacked:
                raise CabinetError("a data block's length does not match its header")
            yield offset, data
            offset += len(data)
