#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Small, valid examples of what each target reads, so the fuzzer starts from the shapes real
files take instead of finding the signatures by chance. Run again after changing a seed here;
the files are committed.
"""
import io
import os
import struct
import zipfile
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# --- Settings files -------------------------------------------------------------------------

CRLF = b"\r\n"

write("fuzz_profile", "program-written.ini", CRLF.join([
    b"[Folders]",
    b"KVRInstallationFolder=/home/pilot/.wine/drive_c/Kestrava",
    b"SkinsFolder=/home/pilot/skins",
    b"[Skins]",
    b"HURR=(Default)",
    b"MOSQ=Sqn105",
    b"SPIT=(Default)",
    b"B17G=Memphis",
    b"",
]))

write("fuzz_profile", "hand-edited.ini", b"".join([
    b"; edited by hand\n",
    b"top=before any section\n",
    b"  [ Skins ]  trailing words\n",
    b"  hurr  =  \"quoted value\"  \n",
    b"mosq='single'\n",
    b"lonely\n",
    b"=no name\n",
    b";HURR=commented\n",
    b"\n",
    b"[T]x]\r",
    b"k=a=b ;not a comment\r",
    b"[skins]\r\n",
    b"HURR=second section of the same name\r\n",
    b"[Open\r\n",
    b"last=no line end",
]))

write("fuzz_profile", "windows-1252.ini", CRLF.join([
    b"[Folders]",
    b"SkinsFolder=C:\\Jeux\\Caf\xe9",
    b"[Skins]",
    b"MOSQ=\x80uro \x93quoted\x94",
    b"",
]))

write("fuzz_profile", "utf8-with-mark.ini", b"\xef\xbb\xbf" + CRLF.join([
    b"top=1",
    b"[Skins]",
    b"MOSQ=caf\xc3\xa9 \xe2\x82\xac",
    b"k=\xc2\xa0no-break\xc2\xa0",
    b"",
]))

write("fuzz_profile", "odd-bytes.ini", b"".join([
    b"[S]\r\n",
    b"a=x\x00y\r\n",
    b"\x00\r\n",
    b"b=\x1a1\x1a\r\n",
    b"\x0bv=3\x0b\r\n",
    b"c=" + b"z" * 300 + b"\r\n",
    b"d=\"" + b"q" * 254 + b"\"\r\n",
    b"[U]\x00]\r\n",
    b"e=\t t \t\r\n",
]))


# --- Packages -------------------------------------------------------------------------------

WHEN = (2021, 6, 1, 12, 30, 0)


def info(name, method=zipfile.ZIP_DEFLATED, extra=b"", unix_mode=None):
    zi = zipfile.ZipInfo(name, WHEN)
    zi.compress_type = method
    zi.extra = extra
    if unix_mode is not None:
        zi.create_system = 3
        zi.external_attr = unix_mode << 16
    return zi


def archive(members, comment=b"", **options):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", **options) as z:
        for zi, data in members:
            z.writestr(zi, data)
        z.comment = comment
    return buffer.getvalue()


TEXT = b"Kestrava skin notes. " * 8

write("fuzz_unzip", "typical.zip", archive([
    (info("PMOSQ_Sqn105.TPC"), TEXT),
    (info("PMOSQ_Sqn105.3DZ", zipfile.ZIP_STORED), b"\x00\x01\x02\x03" * 16),
    (info("Sqn105/"), b""),
    (info("Sqn105/readme.txt"), b"by a pilot\n"),
], comment=b"skin package"))

# Extended timestamp, Unix owner and AES fields, as other zippers add them.
timestamp = struct.pack("<HHBI", 0x5455, 5, 1, 1622550600)
owner = struct.pack("<HHBBIBI", 0x7875, 11, 1, 4, 1000, 4, 1000)
aes = struct.pack("<HHHH", 0x9901, 7, 2, 0x4541) + bytes([3]) + struct.pack("<H", 8)
write("fuzz_unzip", "extra-fields.zip", archive([
    (info("PHURR_a.TPC", extra=timestamp + owner), TEXT),
    (info("PHURR_b.TPC", zipfile.ZIP_STORED, extra=aes), b"not really encrypted"),
]))

# Python writes ZIP64 records only when they are needed; force them for one member.
buffer = io.BytesIO()
with zipfile.ZipFile(buffer, "w") as z:
    with z.open(info("forced64.TPC"), "w", force_zip64=True) as member:
        member.write(TEXT)
write("fuzz_unzip", "zip64.zip", buffer.getvalue())

write("fuzz_unzip", "names.zip", archive([
    (info("../up.TPC"), b"up"),
    (info("/abs/root.TPC"), b"root"),
    (info("dos\\path\\file.TPC"), b"dos"),
    (info("a/."), b"dot"),
    (info("b/.."), b"dotdot"),
    (info("SAME.TPC"), b"first"),
    (info("same.tpc"), b"second"),
    (info("link.TPC", unix_mode=0o120777), b"/etc/passwd"),
    (info("mode.TPC", unix_mode=0o104755), b"setuid"),
    (info("caf\u00e9.TPC"), b"utf8 name"),
]))

write("fuzz_unzip", "bzip2.zip", archive([(info("PSPIT_b.TPC", zipfile.ZIP_BZIP2), TEXT)]))
write("fuzz_unzip", "empty.zip", archive([]))


class Unseekable(io.RawIOBase):
    """A stream that cannot seek, so members get a data descriptor after their data."""

    def __init__(self):
        self.data = bytearray()

    def writable(self):
        return True

    def write(self, b):
        self.data += b
        return len(b)


stream = Unseekable()
with zipfile.ZipFile(stream, "w") as z:
    z.writestr(info("described.TPC"), TEXT)
    z.writestr(info("described2.TPC", zipfile.ZIP_STORED), b"stored after a descriptor")
write("fuzz_unzip", "data-descriptor.zip", bytes(stream.data))

# A self-extractor's stub in front, offsets not adjusted.
write("fuzz_unzip", "stub-prefix.zip", b"MZ" + b"\x90" * 62 + archive([(info("PB17G_m.TPC"), TEXT)]))

# Traditional encryption flagged on a member (the bytes are not really encrypted).
plain = bytearray(archive([(info("secret.TPC", zipfile.ZIP_STORED), b"0123456789ab" + b"secret")]))
plain[6] |= 1
central = plain.rfind(b"PK\x01\x02")
plain[central + 8] |= 1
write("fuzz_unzip", "encrypted-flag.zip", bytes(plain))


def declare_size(data, size):
    """Patches the uncompressed size the first member declares, in both of its headers."""
    data = bytearray(data)
    struct.pack_into("<I", data, 22, size)
    struct.pack_into("<I", data, data.find(b"PK\x01\x02") + 24, size)
    return bytes(data)


# Members that decode to more than they declare: reading must stop at the declared size.
write("fuzz_unzip", "bzip2-declares-less.zip",
      declare_size(archive([(info("PBOMB.TPC", zipfile.ZIP_BZIP2), TEXT * 8)]), 100))
write("fuzz_unzip", "deflate-declares-less.zip",
      declare_size(archive([(info("PBOMB.TPC"), TEXT * 8), (info("after.TPC"), TEXT)]), 100))


def stored_local(name, data):
    return struct.pack("<IHHHHHIIIHH", 0x04034B50, 10, 0, 0, 0, 0, zlib.crc32(data), len(data), len(data),
                       len(name), 0) + name + data


def stored_central(name, data, offset):
    return struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 10, 0, 0, 0, 0, zlib.crc32(data), len(data),
                       len(data), len(name), 0, 0, 0, 0, 0, offset) + name


def raw_archive(local, centrals):
    central = b"".join(centrals)
    return local + central + struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, len(centrals), len(centrals),
                                         len(central), len(local), 0)


# Members whose data overlap: refused whole before anything is written.
write("fuzz_unzip", "overlap-one-member-many-names.zip",
      raw_archive(stored_local(b"P0.TPC", TEXT),
                  [stored_central(b"P%d.TPC" % i, TEXT, 0) for i in range(8)]))
inner = stored_local(b"PINNER.TPC", TEXT)
write("fuzz_unzip", "overlap-nested.zip",
      raw_archive(stored_local(b"POUTER.TPC", inner),
                  [stored_central(b"POUTER.TPC", inner, 0), stored_central(b"PINNER.TPC", TEXT, 30 + 10)]))


# --- Loadout files --------------------------------------------------------------------------

write("fuzz_loadout", "saved.kvrloadout", CRLF.join([
    b"[Loadout]",
    b"Name=Desert 1941",
    b"[Skins]",
    b"HURR=(Default)",
    b"SP2A=Sand",
    b"MOSQ=Sqn105",
    b"[Packages]",
    b"SP2A=SP2A_Sand.zip|1048576|0A1B2C3D",
    b"MOSQ=MOSQ_Sqn105.zip|4194304|1A2B3C4D",
    b"",
]))

write("fuzz_loadout", "hand-edited.kvrloadout", b"".join([
    b"; for the squadron\n",
    b"[ loadout ]\n",
    b" name = \"Evening\" \n",
    b"[skins]\n",
    b"mosq = Sqn|105\n",
    b"SPIT=Mk1\n",
    b"[PACKAGES]\n",
    b"Mosq = mosq_sqn|105.ZIP | 12 | abc\n",
    b"HURR=../../etc/passwd|1|zz\n",
    b"[Other]\n",
    b"x=1",
]))
