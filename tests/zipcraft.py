"""ZIP archives taken apart into entries and laid out again, with the freedom to lie: the hostile
archives of the tests and the structure-aware mutations of the differential property against zipfile
and unzip. A mutation returns the archive's bytes; `mutated` applies a few of them at random."""

import dataclasses
import random
import struct
import zipfile
import zlib


@dataclasses.dataclass
class Item:
    name: bytes
    data: bytes  # as stored
    crc: int
    csize: int
    usize: int
    method: int = 8
    flags: int = 0
    lflags: int | None = None  # the local header's flags, where they differ
    lextra: bytes = b""
    cextra: bytes = b""
    version: int = 20
    made: int = 0x314  # version made by: Unix, 2.0
    attrs: int = 0x81A40000  # external attributes: a Unix file, rw-r--r--
    disk: int = 0  # where the entry starts
    descriptor: bytes = b""  # after the data
    offset: int | None = None  # the central header's offset, where it lies
    before: bytes = b""  # bytes in front of the local header

    @classmethod
    def of(cls, name: bytes, text: bytes, method=8, **kw) -> "Item":
        data = text if method == 0 else zlib.compress(text, 6)[2:-4]
        return cls(name, data, zlib.crc32(text), len(data), len(text), method, 0x800 if max(name, default=0) > 127 else 0, **kw)


def items(blob: bytes) -> list[Item]:
    """The entries of a sound archive, as written."""
    with zipfile.ZipFile(__import__("io").BytesIO(blob)) as z:
        out = []
        for i in z.infolist():
            start = i.header_offset + 30 + sum(struct.unpack_from("<HH", blob, i.header_offset + 26))
            out.append(Item(i.orig_filename.encode(), blob[start:start + i.compress_size], i.CRC, i.compress_size,
                            i.file_size, i.compress_type, i.flag_bits, version=i.extract_version))
        return out


def end_record(count: int, size: int, offset: int, comment=b"", *, disk=0) -> bytes:
    return struct.pack("<IHHHHIIH", 0x06054B50, disk, disk, count, count, size, offset, len(comment)) + comment


def zip64_records(at: int, count: int, size: int, offset: int, disks=1) -> bytes:
    record = struct.pack("<IQHHIIQQQQ", 0x06064B50, 44, 45, 45, 0, 0, count, count, size, offset)
    return record + struct.pack("<IIQI", 0x07064B50, 0, at, disks)


def build(entries: list[Item], *, prefix=b"", gap=b"", comment=b"", zip64=False, disks=1, end=None) -> bytes:
    """The archive of `entries`: `prefix` first, `gap` between the entries and the directory, Zip64 end
    records when asked, then the end record (or `end` in its place) and `comment`."""
    out, central = bytearray(prefix), bytearray()
    for e in entries:
        out += e.before
        offset, lflags = len(out), e.flags if e.lflags is None else e.lflags
        sizes = (0, 0, 0) if lflags & 8 else (e.crc, e.csize, e.usize)
        out += struct.pack("<IHHHHHIIIHH", 0x04034B50, e.version, lflags, e.method, 0, 0x21, *sizes, len(e.name),
                           len(e.lextra)) + e.name + e.lextra + e.data + e.descriptor
        central += struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, e.made, e.version, e.flags, e.method, 0, 0x21, e.crc,
                               e.csize, e.usize, len(e.name), len(e.cextra), 0, e.disk, 0, e.attrs,
                               offset if e.offset is None else e.offset) + e.name + e.cextra
    out += gap
    directory = len(out)
    out += central
    if zip64:
        out += zip64_records(len(out), len(entries), len(central), directory, disks)
    return bytes(out + (end if end is not None else end_record(len(entries), len(central), directory, comment)))


def descriptor(e: Item, signed: bool, wide: bool) -> bytes:
    sizes = (e.csize, e.usize) if wide else (e.csize & 0xFFFFFFFF, e.usize & 0xFFFFFFFF)
    return (b"PK\x07\x08" if signed else b"") + struct.pack("<IQQ" if wide else "<III", e.crc, *sizes)


def zip64_extra(*values: int) -> bytes:
    return struct.pack(f"<HH{len(values)}Q", 1, 8 * len(values), *values)


def unicode_path(name: bytes) -> bytes:
    return struct.pack("<HHBI", 0x7075, 5 + len(name), 1, zlib.crc32(name)) + name


def hostile(blob: bytes, kind: str) -> bytes:
    """`blob`, a sound archive whose first entry is a member and whose last is the manifest, made hostile
    in one way: `kind` is one of HOSTILE."""
    es, evil = items(blob), FORGED
    comments, manifest_entry = es[0], es[-1]
    match kind:
        case "shared-stream":  # a second name for the bytes of another entry
            es.append(Item.of(b"x.jsonl", b"", offset=0))
        case "repeated-member":
            es.append(Item.of(b"comments.jsonl", evil))
        case "repeated-manifest":
            es.append(Item.of(b"manifest.json", b'{"format":"quarlen/1","members":{}}'))
        case "unmarked-name":  # read in code page 437 by some readers
            next((e for e in es if e.flags & 0x800), comments).flags &= ~0x800
        case "converted-name":  # made on FAT, which some readers convert from its code page
            next((e for e in es if e.flags & 0x800), comments).made = 0x14
        case "nul-name":
            es.append(Item.of(b"manifest.json\0x", b"{}"))
        case "strong-encryption" | "patched":
            comments.flags |= 0x40 if kind == "strong-encryption" else 0x20
        case "bytes-in-front":
            return build(es, prefix=b"junk")
        case "bytes-between":
            es[1].before = b"junk"
        case "bytes-before-directory":
            return build(es, gap=b"junk")
        case "second-end-record":
            return build(es) + build(es)[-22:]
        case "comment-with-end-record":
            return build(es, comment=end_record(0, 0, 0) + b"!")
        case "zip64-unasked":  # a Zip64 end record naming another directory than the end record's
            sound = bytearray(build(es, zip64=True))
            at = len(sound) - 22 - 20 - 56 + 48
            sound[at:at + 8] = bytes(8)
            return bytes(sound)
        case "trailing-deflate":
            comments.data += b"\0"
            comments.csize += 1
        case "unicode-path":
            comments.cextra = unicode_path(comments.name)
        case "descriptor-lies":
            comments.flags |= 8
            comments.descriptor = descriptor(manifest_entry, True, False)
        case "local-zip64-unasked":  # other sizes in a field that the local header does not mark
            comments.lextra = zip64_extra(comments.usize + 1, comments.csize)
        case "zip64-extra-short":
            comments.cextra, comments.csize = zip64_extra(), 0xFFFFFFFF
    return build(es)


HOSTILE = ["shared-stream", "zip64-unasked", "repeated-member", "repeated-manifest", "unmarked-name",
           "converted-name", "nul-name", "bytes-in-front", "bytes-between", "bytes-before-directory",
           "second-end-record", "comment-with-end-record", "unicode-path", "descriptor-lies", "local-zip64-unasked",
           "zip64-extra-short", "strong-encryption", "patched", "trailing-deflate"]
FORGED = b'["EVIL","T","C","x"]\n'


def _entry_mutations(r: random.Random, es: list[Item], forged: bytes) -> None:
    e = r.choice(es)
    match r.choice([0, 1, 2, 3, 4, 5, 5, 5, 6, 6, 6, 7, 7, 8, 9, 9, 10, 11, 12, 12, 13, 13, 14, 14, 15, 16, 17, 18]):  # sound ones more often
        case 0: e.flags |= 1 << r.choice([0, 3, 5, 6, 11])
        case 1: e.lflags = e.flags ^ (1 << r.choice([0, 3, 5, 6, 11]))
        case 2:  # the same name again, or a name that readers cut at NUL, holding other rows
            es.insert(r.randrange(len(es) + 1), Item.of(e.name + r.choice([b"", b"\0x"]), forged))
        case 3: e.offset = r.choice([0, r.randrange(len(forged) * 20)])
        case 4: e.before = r.randbytes(r.randrange(1, 40))
        case 5:
            e.flags |= 8
            e.descriptor = descriptor(e, r.random() < 0.5, r.random() < 0.5) if r.random() < 0.8 else r.randbytes(12)
        case 6:
            marked = [v for v in (e.usize, e.csize) if r.random() < 0.5]
            values = marked if r.random() < 0.6 else [r.choice([0, 1 << 33, e.usize]) for _ in range(r.randrange(4))]
            e.cextra = zip64_extra(*values)
            e.usize, e.csize = (0xFFFFFFFF if v in marked else v for v in (e.usize, e.csize))
        case 7: e.cextra = e.lextra = unicode_path(e.name)
        case 8: e.data, e.csize = e.data + r.randbytes(r.randrange(1, 5)), (e.csize + r.randrange(0, 5)) & 0xFFFFFFFF
        case 9: e.version = r.choice([10, 45, 46, 47, 63, 64, 0x314])
        case 10: e.name = e.name.replace(b".", b"\xc3\xa9", 1) if r.random() < 0.5 else e.name.upper()
        case 11: setattr(e, r.choice(["crc", "csize", "usize"]), r.randrange(1 << 32))
        case 12:  # the same text stored
            text = zlib.decompress(e.data, -15) if e.method == 8 else e.data
            e.data, e.method, e.csize = text, 0, len(text)
        case 14: e.made = r.choice([0x0014, 0x0614, 0x0B32, 0x0B3F, 0x0A14])  # FAT, HPFS, NTFS, VFAT
        case 15: e.flags &= ~0x800
        case 16: e.made, e.attrs = r.choice([0x14, 0x514, 0x314]), r.choice([0x08, 0x10, 0x81A40008])
        case 17: e.disk = r.choice([1, 0xFFFF])
        case 18: e.lextra = zip64_extra(*(r.choice([e.usize, e.csize, 0xFFFFFFFF]) for _ in range(r.randrange(3))))
        case 13:  # an entry the manifest does not list
            es.insert(r.randrange(len(es) + 1), Item.of(r.choice([b"x.jsonl", b"dir/", "ü".encode()]), forged,
                                                         r.choice([0, 8])))


def mutated(blob: bytes, r: random.Random) -> bytes:
    """`blob` with one to three structure-aware lies: flags, repeated and NUL-cut names, overlapping and
    misplaced entries, data descriptors, Zip64 extras and end records, bytes in front, between and after,
    second directories and end records, Unicode path fields, versions, sizes, or flipped bytes."""
    es, forged = items(blob), FORGED
    kw: dict = {}
    for _ in range(r.choice([1, 1, 2, 3])):
        match r.randrange(20):
            case 0: kw["prefix"] = r.randbytes(r.randrange(1, 64))
            case 1: kw["gap"] = r.choice([r.randbytes(r.randrange(1, 64)), build(es)[-22:]])
            case 2 | 3: kw["comment"] = r.choice([b"x", b"y" * 300, b"z" * 65535, end_record(0, 0, 0), b"PK\x05\x06"])
            case 4 | 5: kw["zip64"], kw["disks"] = True, r.choice([1, 1, 1, 0, 2])
            case 6:
                sound = build(es, **kw)  # then a forged directory before the end record, or another after it
                other = build([Item.of(e.name, forged) for e in es])
                kw["end"] = r.choice([other[struct.unpack_from("<I", other, len(other) - 6)[0]:], sound[-22:] * 2,
                                      end_record(len(es) + r.randrange(-1, 2), r.randrange(1 << 16), r.randrange(1 << 16))])
            case _: _entry_mutations(r, es, forged)
    out = bytearray(build(es, **kw))
    for _ in range(r.choice([0, 0, 0, 0, 1, 2])):
        out[r.randrange(len(out))] ^= 1 << r.randrange(8)
    return bytes(out)
