#!/usr/bin/env python3
"""Writes the small archives of other zippers' habits that the extraction tests read.

Every byte is laid out here, so each file shows exactly one habit libzip would not write:
backslash separators, code-page-437 names, ZIP64 records, data descriptors, self-extractor
stubs. Run it from this folder; the archives are committed beside it.
"""
import struct
import zlib

DOS, UNIX = 0, 3
# 2021-06-15 12:34:56 as a DOS date and time
DOS_DATE = ((2021 - 1980) << 9) | (6 << 5) | 15
DOS_TIME = (12 << 11) | (34 << 5) | (56 // 2)


class Member:
    def __init__(self, name, data, method=8, host=DOS, utf8=False, zip64=False, descriptor=False):
        self.name, self.data, self.method = name, data, method
        self.host, self.utf8, self.zip64, self.descriptor = host, utf8, zip64, descriptor


def pack(member):
    if member.method == 8:
        encoder = zlib.compressobj(9, zlib.DEFLATED, -15)
        return encoder.compress(member.data) + encoder.flush()
    return member.data


def build(members, prefix=b"", adjust=False, zip64_end=False, comment=b""):
    """The archive after `prefix`; its offsets count the prefix only when `adjust` is set."""
    out = bytearray(prefix)
    base = 0 if adjust else len(prefix)
    central = bytearray()
    for m in members:
        packed = pack(m)
        crc = zlib.crc32(m.data)
        flags = (0x800 if m.utf8 else 0) | (0x8 if m.descriptor else 0)
        offset = len(out) - base
        version = 45 if m.zip64 else 20
        if m.zip64:
            local_sizes = (0xFFFFFFFF, 0xFFFFFFFF)
            local_extra = struct.pack("<HHQQ", 1, 16, len(m.data), len(packed))
        else:
            local_sizes = (len(packed), len(m.data))
            local_extra = b""
        local_crc = crc
        if m.descriptor:
            local_crc, local_sizes = 0, (0, 0) if not m.zip64 else local_sizes
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, version, flags, m.method, DOS_TIME, DOS_DATE,
                           local_crc, *local_sizes, len(m.name), len(local_extra))
        out += m.name + local_extra + packed
        if m.descriptor:
            out += struct.pack("<IIII", 0x08074B50, crc, len(packed), len(m.data))
        if m.zip64:
            central_sizes = (0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
            central_extra = struct.pack("<HHQQQ", 1, 24, len(m.data), len(packed), offset)
        else:
            central_sizes = (len(packed), len(m.data), offset)
            central_extra = b""
        external = (0o100644 << 16) if m.host == UNIX else 0x20
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, (m.host << 8) | version, version, flags,
                               m.method, DOS_TIME, DOS_DATE, crc, central_sizes[0], central_sizes[1],
                               len(m.name), len(central_extra), 0, 0, 0, external, central_sizes[2])
        central += m.name + central_extra
    central_offset = len(out) - base
    out += central
    count = len(members)
    if zip64_end:
        record = len(out) - base
        out += struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, (UNIX << 8) | 45, 45, 0, 0, count, count,
                           len(central), central_offset)
        out += struct.pack("<IIQI", 0x07064B50, 0, record, 1)
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 0xFFFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, len(comment))
    else:
        out += struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, count, count, len(central), central_offset,
                           len(comment))
    return bytes(out + comment)


STUB = b"MZ" + bytes(510) + b"a self-extractor's program would be here\n"


def main():
    fixtures = {
        # A DOS zipper storing folders with backslashes, and a folder entry of its own.
        "backslash.zip": [
            Member(b"SKINS\\", b"", method=0),
            Member(b"SKINS\\MOSQ\\PMOSQ1.TPC", b"backslash tpc\n" * 20),
            Member(b"SKINS\\PMOSQ1.3DZ", b"backslash 3dz\n", method=0),
        ],
        # Names in the DOS code page (0x82 is e-acute) beside one marked as UTF-8.
        "codepage.zip": [
            Member(b"caf\x82.txt", b"code page 437\n", method=0),
            Member("ñandú.txt".encode(), b"utf-8 flagged\n", method=0, utf8=True),
        ],
        # Sizes and offsets only in ZIP64 fields, and the ZIP64 end records.
        "zip64.zip": ([Member(b"PMOSQ64.TPC", b"zip64 member\n" * 50, host=UNIX, zip64=True),
                       Member(b"readme64.txt", b"second\n", method=0, host=UNIX, zip64=True)],
                      dict(zip64_end=True)),
        # Sizes and CRC after the data, as streaming zippers write them.
        "descriptor.zip": [
            Member(b"streamed.txt", b"streamed member\n" * 30, host=UNIX, descriptor=True),
            Member(b"stored.txt", b"stored streamed\n", method=0, host=UNIX, descriptor=True),
        ],
        # A self-extractor stub whose bytes the archive's offsets count, and one they do not.
        "sfx-adjusted.zip": ([Member(b"PSPIT.TPC", b"adjusted stub\n" * 10)],
                             dict(prefix=STUB, adjust=True, comment=b"self-extracting")),
        "sfx-unadjusted.zip": ([Member(b"PSPIT.TPC", b"unadjusted stub\n" * 10)],
                               dict(prefix=STUB, adjust=False)),
    }
    for name, entry in fixtures.items():
        members, options = entry if isinstance(entry, tuple) else (entry, {})
        with open(name, "wb") as f:
            f.write(build(members, **options))


if __name__ == "__main__":
    main()
