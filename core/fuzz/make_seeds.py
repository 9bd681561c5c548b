#!/usr/bin/env python3
"""make_seeds.py DIR [DICT]

Writes a starting corpus for reader_fuzz into DIR: small .quarlen files, some
sound and some damaged in one place each, so that the fuzzer begins next to
every check of the reader. Built with zipfile and the tests' ZIP builder
(tests/zipcraft.py), independent of the module; one file for each kind of
hostile layout that the tests refuse. The target also takes each input as a member's text, so DIR gets
JSON-lines texts too (*.jsonl), each reaching a corner of the parser, the
scanner or the streaming check. With DICT, also writes a libFuzzer dictionary
there: the ZIP signatures and the manifest's words, which random mutation
rarely finds.
"""

import hashlib
import io
import json
import os
import struct
import sys
import warnings
import zipfile
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tests"))
import zipcraft  # noqa: E402

FORMAT = "quarlen/1"

ROWS = {
    "objects": [
        [1, "APP", "T1", "TABLE", "VALID", "N", "2024-01-01T00:00:00"],
        [2, "APP", "V1", "VIEW", "INVALID", "N", None],
    ],
    "comments": [["APP", "T1", "C1", "note"], ["APP", "T1", None, "caf\u00e9 \u2603"]],
    "control_rows/APP": [[{"k": 1, "a": [1.5, -2, 1e300]}], [[]]],
    "units": [["APP", "P1", "PROCEDURE", "begin\n  null;\nend;\n"]],
    "synonyms": [],
    "plscope_identifiers/SCOTT": [
        ["P1", "PROCEDURE", 1, 0, "X", "ABC", "VARIABLE", "DECLARATION", 3, 7],
    ],
}


def member_text(rows):
    return b"".join(json.dumps(r, separators=(",", ":"), ensure_ascii=False).encode() + b"\n" for r in rows)


def record(text, rows):
    return {"bytes": len(text), "rows": rows, "sha256": hashlib.sha256(text).hexdigest()}


def manifest_bytes(members, header=None):
    m = dict(header or {})
    m["format"] = FORMAT
    m["members"] = members
    return json.dumps(m, indent=2, sort_keys=True, ensure_ascii=False).encode()


def build(entries, method=zipfile.ZIP_DEFLATED, comment=b"", stream=False, zip64=False):
    """entries: list of (name, bytes) or (name, bytes, method)."""
    sink = io.BytesIO()
    # Without seek and tell, zipfile follows each entry with a data descriptor.
    target = type("Stream", (), {"write": sink.write, "flush": sink.flush})() if stream else sink
    with zipfile.ZipFile(target, "w", compression=method) as z:
        for e in entries:
            name, data = e[0], e[1]
            info = zipfile.ZipInfo(name, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = e[2] if len(e) > 2 else method
            info.external_attr = 0o100644 << 16
            if stream or zip64:
                with z.open(info, "w", force_zip64=zip64) as w:
                    w.write(data)
            else:
                z.writestr(info, data)
        z.comment = comment
    return sink.getvalue()


def archive(rows_by_name, header=None, records=None, **kw):
    """A sound archive of these members; `records` overrides manifest records."""
    entries = []
    members = {}
    for name, rows in rows_by_name.items():
        text = member_text(rows)
        entries.append((name + ".jsonl", text))
        members[name] = record(text, len(rows))
    members.update(records or {})
    entries.append(("manifest.json", manifest_bytes(members, header)))
    return build(entries, **kw)


def raw_archive(member_entries, manifest, **kw):
    """Stored unless told otherwise, so that mutations reach the texts."""
    kw.setdefault("method", zipfile.ZIP_STORED)
    return build(list(member_entries) + [("manifest.json", manifest)], **kw)


def with_zip64_end(data):
    """The archive with Zip64 end records in front of an end record whose
    fields all point to them."""
    at = data.rfind(b"PK\x05\x06")
    count, size, offset = struct.unpack_from("<HII", data, at + 10)
    marked = zipcraft.end_record(0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, disk=0xFFFF)
    return data[:at] + zipcraft.zip64_records(at, count, size, offset) + marked


def handmade(entries):
    """A ZIP archive written field by field, for entries that zipfile cannot
    make: entries are (name, method, crc, compressed data, uncompressed size)."""
    return zipcraft.build([zipcraft.Item(name.encode(), data, crc, len(data), size, method)
                           for name, method, crc, data, size in entries])


def seeds():
    out = {}
    small = {"objects": ROWS["objects"], "comments": ROWS["comments"]}

    # Sound files.
    out["empty_members"] = archive({}, header={"source": "db1"})
    out["all"] = archive(ROWS, header={"source": "db1", "nested": {"b": [1, 2], "a": None}})
    out["mixed_methods"] = raw_archive(
        [("objects.jsonl", member_text(ROWS["objects"]), zipfile.ZIP_STORED),
         ("comments.jsonl", member_text(ROWS["comments"]), zipfile.ZIP_DEFLATED)],
        manifest_bytes({name: record(member_text(rows), 2) for name, rows in small.items()}),
    )
    out["data_descriptor"] = archive(small, stream=True)

    # Small on disk, large inflated: one 4 MiB line, and many short lines.
    for label, text, rows in (("long_line", b" " * (4 << 20), 1), ("many_lines", b"[1]\n" * 100000, 100000)):
        out[label] = raw_archive([("control_rows/APP.jsonl", text, zipfile.ZIP_DEFLATED)],
                                 manifest_bytes({"control_rows/APP": record(text, rows)}))
    # More than the Arrow table keeps from its first pass (5 MiB): its second
    # read takes compact lines as they stand and checks spaced ones again.
    for label, row in (("compact", b'["%s"]\n'), ("spaced", b'[ "%s" ]\n')):
        text = row % (b"x" * 100000) * 64
        out["table_reread_" + label] = raw_archive(
            [("control_rows/APP.jsonl", text, zipfile.ZIP_DEFLATED)],
            manifest_bytes({"control_rows/APP": record(text, 64)}))
    out["zip64_local"] = archive(small, zip64=True)
    out["comment"] = archive(small, comment=b"archive comment PK\x05\x06")
    out["keyed"] = archive({"control_rows/APP": ROWS["control_rows/APP"], "control_rows/\u00e9t\u00e9": [[1], [2], [3]],
                            "plscope_identifiers/SCOTT": ROWS["plscope_identifiers/SCOTT"]})
    # Damaged members: one fault each.
    text = member_text(ROWS["objects"])
    rec = record(text, 2)
    out["member_rows_float"] = raw_archive([("objects.jsonl", text)], manifest_bytes({"objects": dict(rec, rows=2.0)}))
    out["member_missing"] = raw_archive([], manifest_bytes({"objects": rec, "units": rec}))
    for label, body, rows in (
        ("bad_line", b'[1]\n[2,\n[3]\n', 3),
        ("short_row", b'[1,2]\n', 1),
        ("not_utf8", b'["\xff\xfe"]\n', 1),
    ):
        out["line_" + label] = raw_archive([("control_rows/K.jsonl", body)],
                                           manifest_bytes({"control_rows/K": record(body, rows)}))

    # Damaged manifests.
    entry = [("objects.jsonl", text)]
    for label, manifest in (
        ("array", b"[1, 2]"),
        ("format_number", b'{"format": 1, "members": {}}'),
        ("no_members", b'{"format": "quarlen/1"}'),
        ("members_array", b'{"format": "quarlen/1", "members": []}'),
        ("keyed_no_key", b'{"format": "quarlen/1", "members": {"control_rows": {}}}'),
        ("trailing", b'{"format": "quarlen/1", "members": {}} {}'),
    ):
        out["manifest_" + label] = raw_archive(entry, manifest)
    out["no_manifest"] = build(entry)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the repeated name is the point
        out["manifest_twice"] = build([("manifest.json", manifest_bytes({})), ("manifest.json", b"[]")])

    # Damaged containers.
    good = archive(small)
    out["not_zip"] = b"objects,APP,T1\n"
    end = good.rfind(b"PK\x05\x06")
    out["end_offset_marked"] = good[: end + 16] + b"\xff\xff\xff\xff" + good[end + 20 :]  # directory offset
    # Deflate data that the container describes correctly but that is itself wrong.
    long_text = member_text([["x" * 100]] * 2000)  # compresses far beyond the first guess
    long_manifest = manifest_bytes({"control_rows/Z": record(long_text, 2000)})
    manifest_entry = ("manifest.json", 0, zlib.crc32(long_manifest), long_manifest, len(long_manifest))
    name, crc, size = "control_rows/Z.jsonl", zlib.crc32(long_text), len(long_text)
    data = zlib.compress(long_text, 6)[2:-4]  # raw deflate
    for label, member in (
        ("deflate_long", (name, 8, crc, data, size)),
        ("deflate_truncated", (name, 8, crc, data[: len(data) // 2], size)),
        ("deflate_garbage", (name, 8, crc, b"\xff" * len(data), size)),
        ("deflate_short_size", (name, 8, crc, data, size - 1)),
        ("deflate_long_size", (name, 8, crc, data, size + 1)),
        ("stored_bad_crc", (name, 0, crc ^ 1, long_text[:500], 500)),
    ):
        out[label] = handmade([member, manifest_entry])
    out["zip64_all"] = with_zip64_end(archive(ROWS))
    named = archive({**ROWS, "control_rows/\u00c9": [[1]]})  # a name marked UTF-8
    for kind in zipcraft.HOSTILE:
        out["layout_" + kind.replace("-", "_")] = zipcraft.hostile(named, kind)
    return out


# ---------------------------------------------------------------------------
# Member texts. The fuzz target checks each input as a member's text (model
# parser, scanner, streaming check in pieces) and as one rows() argument, and
# stops at the first bad line; so every fault gets a text of its own.

# 2^1024 - 2^970, DBL_MAX plus half its last unit: the least magnitude that no
# longer rounds to DBL_MAX (it rounds to even, beyond the range).
HALFWAY = str(2**1024 - 2**970)
BELOW = HALFWAY[:-1] + "1"

NUMBERS = [
    "0", "-0", "7", "-7", "9223372036854775807", "9223372036854775808",
    "18446744073709551615", "18446744073709551616", "-9223372036854775808",
    "-9223372036854775809", "99999999999999999999", "100000000000000000000",
    "1E+2", "2e0", "1e-2", "-1.5e-7", "1E-0", "0e999", "0.0e400", "-0.000E-5",
    "0e99999999999999999999", "1e308", "10e307", "1.7976931348623157e308",
    "1.7976931348623158e308", "4.9e-324", "2e-324", "3e-324", "1e-400", "-1e-400",
    "2.2250738585072011e-308", "0.000000000000000000001e330", "0.001e311",
    "1e0000000000000000308", "1e-99999999999", "123e-99999999999999999999",
    "0.1e-99999999999999999", BELOW + ".9999999999", "0." + BELOW + "e309",
    BELOW + "." + "9" * 600, "1" + "0" * 1000 + "e-692", "0." + "0" * 800 + "1e308",
    "9" * 300, "0." + "1234567890" * 40, "-" + "3" * 25 + "." + "7" * 25 + "e-3",
]
STRINGS = [
    '""', '"a"', '"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\u0008\\u0009\\u000a\\u000C\\u000d"',
    '"\\u0000\\u001f\\u001F\\u0022\\u005c\\u002F\\u007f\\u0041\\u00e9\\u4E2D\\uFFFF"',
    '"\x7f \u00e9 \u4e2d \U0001F600 \u0080 \u07ff \u0800 \ud7ff \ue000 \uffff \U00010000 \U0010ffff"',
    '"' + "x" * 17 + '\\"' + "x" * 22 + "\\u0010" + "x" * 28 + '\\\\"',
]
CONTAINERS = [
    '{"\\u0062":1,"a":2}', '{"a":1,"\\u0061":2}', '{"b":{"\\u0064":1,"c":2},"\\u0061":0}',
    '{"\\n":1,"\\u0000":2," ":3,"\\"":4,"\\\\":5,"\\/":6,"\\u001f":7}',
    '{"z":{"y":{"x":1,"w":2},"v":3},"u":4,"z":5}', '{"\\ud83d\\ude00":1,"\\u00e9":2,"\\u4e2d":3}',
    '{"k":[{"k":[{"k":null}]}]}',
    "{" + ",".join('"k%d":%d' % (i * 3 % 7, i) for i in range(200)) + "}",
    "[" + ",".join(str(i * 7919 % 1000003) for i in range(600)) + "]",
]
FAULTS = [
    # Structure.
    "", " ", "[1,]", '{"a":1,}', "[1] x", "1 2", "{1:2}", '{"a":1, 2:3}', "[1 2]", '{"a" 1}',
    '{"a":1 "b":2}', "[", "[1", "[1,", "{", '{"a"', '{"a":', '{"a":1,', "[1,,2]", "]", "}",
    # Literals.
    "tru", "trux", "nulL", "fals e", "t", "n", "f", "True", "nul", "falsey", "[true false]",
    # Numbers.
    "01", "-01", "00", "-", "-a", "1.", "1.e5", "1e", "1e+", "1E-", ".5", "+1", "1.5.2",
    "1.7976931348623159e308", HALFWAY, "-" + HALFWAY, "1" + "0" * 309, "0.1e310",
    "0.001e312", "1e99999999999", "1" + "0" * 1000 + "e-691", "9" * 1200,
    "0.000" + HALFWAY + "e312", HALFWAY + "." + "0" * 600 + "1",
    # Strings.
    '"abc', '"ab\\', '"\\u12', '"\\uD800', '"\\uD800\\uDC', '"\\uD800\\', '"\\uDC00"',
    '"\\uD800\\uD800"', '"\\uD800\\uE000"', '"\\uD800\\uDCxx"', '"\\x"', '"\\u12g4"',
    '"\\u12"', '"\\U0041"', '"a\x01"', '"\x1f"', '"\t"', '"\x00"', '"\r"',
    '{"a\x01":1}', '{"\\uDC00":1}', '"' + "\u00e9" * 1500 + '" x',
]
NOT_UTF8 = [
    b"\x80", b"\xbf", b"\xc0\xaf", b"\xc1\xbf", b"\xe0\x9f\xbf", b"\xf0\x8f\xbf\xbf",
    b"\xed\xa0\x80", b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xff", b"\xc3", b"\xe4\xb8",
    b"\xf0\x9f\x98", b"\xc3\x41", b"\xe4\x41\x80", b"\xf0\x9f\x41\x80",
]


def nested(depth, kinds="["):
    opening = closing = ""
    for i in range(depth):
        k = kinds[i % len(kinds)]
        opening += '{"k":' if k == "{" else "["
        closing = ("}" if k == "{" else "]") + closing
    return opening + closing


def text_seeds():
    out = {}
    for group, values in (("numbers", NUMBERS), ("strings", STRINGS), ("containers", CONTAINERS)):
        # One row a line; one array.
        out[group] = "".join("[%s]\n" % v for v in values)
        out[group + "_array"] = "[%s]" % ",".join("[%s]" % v for v in values)
    # Whitespace around every kind of token, CRs among it that end the pieces of long lines.
    out["spaced"] = "".join("[%d,\r%d\r]\r\r\n" % (i, i) for i in range(50)) + " \t[ " + "\r\t".join(
        '[ %d\r,\r{ "\u00e9"\t:\r[ "\u4e2d\U0001F600"\r] }\r]\r,' % i for i in range(40)) + " 0 ]\t \r\n"
    for i, fault in enumerate(FAULTS):
        out["fault_%03d_line" % i] = "[1]\r\n[2,3]\n" + fault + "\n[4]\n"
        out["fault_%03d_nested" % i] = '[[0], {"k": [%s]}]' % fault
    for i, bad in enumerate(NOT_UTF8):
        for pad in (0, 9):
            out["not_utf8_%02d_%d" % (i, pad)] = b'["' + b"x" * pad + bad + b'"]\n'
    for depth in (126, 127, 128):
        out["depth_%d_arrays" % depth] = nested(depth) + "\n"
        out["depth_%d_objects" % depth] = nested(depth, "{") + "\n"
        out["depth_%d_mixed" % depth] = "[%s]\n" % nested(depth - 1, "[{")
    out["depth_open"] = "[" * 127
    out["depth_open_past"] = "[" * 200
    out["depth_wide"] = "[%s]" % ",".join([nested(126)] * 40)
    # Rows of the wrong shape, first in row 3.
    for i, row in enumerate(("[]", "[1,2]", "{}", '"row"', "5", "null", "[[1,2]]")):
        out["shape_%d" % i] = "[1]\n[2]\n%s\n[3]\n" % row
        out["shape_%d_array" % i] = "[[1],[2],%s,[3]]" % row
    # Line ends and whitespace.
    out["line_ends"] = "[1]\r\n\t[2]\r\r\n [3] \n[4]\r"
    out["empty_line"] = "[1]\n\n[2]\n"
    out["blank_line"] = "[1]\n \t \n[2]\n"
    out["only_crlf"] = "\r\n"
    out["lone_cr"] = "[1,2,3,4,5,6,7,8]\r[2]\n"
    out["cr_at_end"] = "[1,2,3,4,5,6,7,8,9]\r"
    out["spaces"] = " " * 5000 + '[ {"b" : 2 , "a" : [ 1 ,\t2 ] } ]' + " " * 3000 + "\n"
    return {k: v if isinstance(v, bytes) else v.encode() for k, v in out.items()}


DICTIONARY = [
    # Signatures: local header, central header, end record, Zip64 end record and
    # locator, data descriptor; the Zip64 extra field's id and marked fields.
    b"PK\x03\x04", b"PK\x01\x02", b"PK\x05\x06", b"PK\x06\x06", b"PK\x06\x07", b"PK\x07\x08",
    b"\x01\x00", b"\xff\xff", b"\xff\xff\xff\xff",
    # The manifest's words and the names of members.
    b"manifest.json", b".jsonl", b'"format"', b'"members"', b'"quarlen/1"', b'"rows"', b'"sha256"',
    b'"bytes"', b"control_rows/", b"plscope_statements/", b'"objects"',
    # JSON at its edges.
    b"\\ud800", b"\\udc00", b"\\u0000", b"true", b"false", b"null", b"-0.0", b"1e309",
    b"18446744073709551616", b"-9223372036854775809", b"\r\n",
]


def dictionary_line(token):
    escaped = "".join(
        chr(b) if 0x20 <= b < 0x7F and b not in b'"\\' else "\\x%02X" % b for b in token
    )
    return '"%s"\n' % escaped


def main(argv):
    if len(argv) not in (2, 3):
        sys.exit("usage: " + __doc__.strip().splitlines()[0])
    directory = argv[1]
    os.makedirs(directory, exist_ok=True)
    for suffix, made in ((".quarlen", seeds()), (".jsonl", text_seeds())):
        for label, data in sorted(made.items()):
            with open(os.path.join(directory, label + suffix), "wb") as f:
                f.write(data)
    if len(argv) == 3:
        with open(argv[2], "w", encoding="ascii") as f:
            f.writelines(dictionary_line(t) for t in DICTIONARY)


if __name__ == "__main__":
    main(sys.argv)
