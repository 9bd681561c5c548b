"""Other ZIP tools: snapshots re-archived by other writers read alike; hostile archives are refused with
their messages; and whatever verifies ok reads to exactly the checked bytes in zipfile and unzip."""

import hashlib
import json
import os
import random
import shutil
import subprocess
import zipfile

import pytest

from quarlen._native import manifest, read, verify

from archives import error, write
from zipcraft import hostile, mutated

NOISE = random.Random(5).randbytes(300_000).hex()  # past one 256 KiB read, deflated or stored
MEMBERS = [("comments", [["APP", "T1", "C1", "é"], ["APP", "T2", None, {"b": 1, "a": 2}]]), ("units", []),
           ("control_rows/NOISE", [[NOISE]]), ("control_rows/É", [["x"]])]
OK = [f"{name}.jsonl" for name, _ in MEMBERS] + ["manifest.json"]


@pytest.fixture(scope="module")
def snapshot(tmp_path_factory):
    path = tmp_path_factory.mktemp("snap") / "s.quarlen"
    write(path, MEMBERS, '{"made_by":"quarlen"}')
    return path


def run(*argv, cwd=None):
    subprocess.run(argv, cwd=cwd, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def zipfile_writer(compression=zipfile.ZIP_DEFLATED, *, stream=False, zip64=False, comment=b""):
    def make(src, out):
        with open(out, "wb") as f:
            # Without seek and tell, zipfile follows each entry with a data descriptor.
            target = type("Stream", (), {"write": f.write, "flush": f.flush})() if stream else f
            with zipfile.ZipFile(target, "w", compression) as z:
                for name in OK:
                    with z.open(name, "w", force_zip64=zip64) as entry:
                        entry.write((src / name).read_bytes())
                z.comment = comment
    return make


WRITERS = {
    "zipfile": zipfile_writer(),
    "zipfile-stored": zipfile_writer(zipfile.ZIP_STORED),
    "zipfile-stream": zipfile_writer(stream=True),
    "zipfile-zip64": zipfile_writer(zip64=True),
    "zipfile-comment": zipfile_writer(comment=b"x" * 65535),
    "zip": lambda src, out: run("zip", "-q", "-r", out, ".", cwd=src),
    "zip-stored": lambda src, out: run("zip", "-q", "-0", "-r", out, ".", cwd=src),
    "zip-pipe": lambda src, out: run("sh", "-c", f"zip -q -r - . | cat > '{out}'", cwd=src),
    "7z": lambda src, out: run("7z", "a", "-tzip", "-mm=Deflate", out, ".", cwd=src),
    "bsdtar": lambda src, out: run("bsdtar", "--format", "zip", "-cf", out, *os.listdir(src), cwd=src),
    "bsdtar-stored": lambda src, out: run("bsdtar", "--format", "zip", "--options", "zip:compression=store", "-cf",
                                          out, *os.listdir(src), cwd=src),
    "jar": lambda src, out: run("jar", "cfM", out, "-C", src, "."),
    "7z-bzip2": lambda src, out: run("7z", "a", "-tzip", "-mm=BZip2", out, ".", cwd=src),
    "7z-deflate64": lambda src, out: run("7z", "a", "-tzip", "-mm=Deflate64", out, ".", cwd=src),
    "7z-lzma": lambda src, out: run("7z", "a", "-tzip", "-mm=LZMA", out, ".", cwd=src),
}
REFUSED = {"7z-bzip2": 12, "7z-deflate64": 9, "7z-lzma": 14}
# Writers that store a name so that other readers read it otherwise: Info-ZIP leaves UTF-8 unmarked, jar
# says the archive was made on FAT, whose names unzip converts.
NAME_REFUSED = {"zip": "not ASCII and not marked UTF-8", "zip-stored": "not ASCII and not marked UTF-8",
                "zip-pipe": "not ASCII and not marked UTF-8", "jar": "not ASCII, from a system whose names readers convert"}
TOOLS = {"zip": "zip", "7z": "7z", "bsdtar": "bsdtar", "jar": "jar"}


@pytest.mark.parametrize("writer", list(WRITERS))
def test_other_writers(tmp_path, snapshot, writer):
    tool = TOOLS.get(writer.split("-")[0])
    if tool and shutil.which(tool) is None:
        pytest.skip(f"{tool} is not installed")
    src = tmp_path / "src"
    with zipfile.ZipFile(snapshot) as z:
        z.extractall(src)
    out = tmp_path / "out.quarlen"
    WRITERS[writer](src, str(out))
    names = [name for name, _ in MEMBERS]
    if writer in REFUSED:  # the manifest too: no reader of the format opens it
        assert error(manifest, out) == f"{out}: no manifest (not a .quarlen file, or not finished)"
        with zipfile.ZipFile(out) as z:
            assert z.getinfo("manifest.json").compress_type == REFUSED[writer]
        return
    if writer in NAME_REFUSED:
        assert error(verify, out) == (f"{out}: not a .quarlen file (invalid Zip archive: Entry name "
                                      f"control_rows/É.jsonl is {NAME_REFUSED[writer]})")
        return
    assert verify(out) == verify(snapshot) and json.loads(manifest(out)) == json.loads(manifest(snapshot))
    assert [read(out, n) for n in names] == [read(snapshot, n) for n in names]
    reads_alike(out)


# The hostile layouts whose refusal zip_test.cc does not check already (zipcraft.HOSTILE has them all, for the seeds).
HOSTILE = {
    "zip64-unasked": "invalid Zip archive: Zip64 end record does not match the end record",
    "bytes-before-directory": "invalid Zip archive: Bytes that no entry holds after manifest.json",
    "comment-with-end-record": "invalid Zip archive: Another end record follows the end record",
    "unicode-path": "unsupported Zip archive: Unicode path extra fields are not supported",
    "zip64-extra-short": "invalid Zip archive: Invalid extra field",
    # Listed entries that cannot be opened, or whose data is not all one stream.
    "strong-encryption": "comments: listed in the manifest but missing from the file",
    "patched": "comments: listed in the manifest but missing from the file",
    "local-zip64-unasked": "comments: listed in the manifest but missing from the file",
    "trailing-deflate": "comments: invalid Zip archive: Deflate stream ends before the entry's data",
}


@pytest.mark.parametrize("kind", list(HOSTILE))
def test_hostile_archives(tmp_path, snapshot, kind):
    path = tmp_path / "h.quarlen"
    path.write_bytes(hostile(snapshot.read_bytes(), kind))
    expected = HOSTILE[kind]
    if "Zip archive" in expected.split(":")[0]:
        assert error(verify, path) == f"{path}: not a .quarlen file ({expected})"
    else:
        assert expected in json.loads(verify(path))["problems"]


def reads_alike(path, seed=None):
    """zipfile and unzip -p give the manifest that quarlen read, and every listed member's checked bytes."""
    listed = json.loads(manifest(path))
    entries = {f"{name}.jsonl": rec["sha256"] for name, rec in listed["members"].items()}
    with zipfile.ZipFile(path) as z:
        assert json.loads(z.read("manifest.json")) == listed, seed
        assert {n: hashlib.sha256(z.read(n)).hexdigest() for n in entries} == entries, seed
    for name, digest in [("manifest.json", None), *entries.items()]:
        out = subprocess.run(["unzip", "-p", path, name], capture_output=True, check=False)
        assert out.returncode == 0 and out.stderr == b"", (seed, name, out.stderr)
        assert json.loads(out.stdout) == listed if digest is None else hashlib.sha256(out.stdout).hexdigest() == digest


def test_what_verifies_ok_reads_alike_everywhere(tmp_path, snapshot):
    """Structure-aware mutations of a snapshot: whenever verify says ok, zipfile and unzip -p return, for the
    manifest and every listed member, exactly the bytes that were checked. QUARLEN_DIFFERENTIAL sets the count."""
    count, sound, path = int(os.environ.get("QUARLEN_DIFFERENTIAL", "400")), snapshot.read_bytes(), tmp_path / "m.quarlen"
    ok = 0
    for seed in range(count):
        path.write_bytes(mutated(sound, random.Random(seed)))
        try:
            report = json.loads(verify(path))
        except ValueError:
            continue
        if not report["ok"]:
            continue
        ok += 1
        reads_alike(path, seed)
    print(f"{count} mutated files, {ok} verified ok")
    assert ok >= count // 10  # the mutations leave many files sound, or the property says little
