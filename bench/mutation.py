#!/usr/bin/env python3
"""A repeatable mutation sample: how many faults does the whole test suite catch?

Mutants of the product sources (core/src/**/*.cc, core/include/**/*.h, without
the tests and fuzz targets, and binding/*.cc) come from universalmutator. A
fixed random sample of those that compile is drawn with a seed; each is built
into the core's tests and into the Python module, and counts as killed when
CTest or, after a clean CTest, pytest fails or runs out of time.

Everything happens in a scratch copy of the tracked files (by default
build/mutation/tree, kept between runs so that builds stay incremental); the
repository's own sources are never written. A mutated file is restored in the
copy as soon as its mutant is done, on an error, and on SIGINT or SIGTERM.

    python bench/mutation.py                   # 60 mutants, seed 20261206
    python bench/mutation.py --count 4 --seed 1
    python bench/mutation.py --list-only       # draw and print, no test runs
    python bench/mutation.py --only core/src/rows.cc#52 --suites pytest
"""

from __future__ import annotations

import argparse
import difflib
import glob
import hashlib
import os
import random
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent
MUTATOR = "universalmutator==1.14.1"
TEST_PACKAGES = ["pytest>=7", "hypothesis>=6"]


class Stopped(Exception):
    """Raised by the SIGTERM handler, so that the finally blocks run."""


def _on_term(signum, frame):
    raise Stopped(f"signal {signum}")


# --------------------------------------------------------------------------
# Running commands: each in a process group of its own, ended whole on a timeout or
# an interruption, its output appended to a log.

class Timeout(Exception):
    pass


def run(cmd, log: Path | None = None, cwd=None, timeout=None, env=None, check=False):
    """Runs cmd; returns its exit code (raises Timeout when it ran too long)."""
    out = open(log, "ab") if log else subprocess.DEVNULL
    try:
        if log:
            out.write(("\n$ " + " ".join(map(str, cmd)) + "\n").encode())
            out.flush()
        proc = subprocess.Popen(list(map(str, cmd)), cwd=cwd, env=env, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                start_new_session=True)
        try:
            code = proc.wait(timeout=timeout)
        except BaseException as exc:
            try:
                os.killpg(proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            proc.wait()
            if isinstance(exc, subprocess.TimeoutExpired):
                raise Timeout(cmd[0]) from None
            raise
    finally:
        if log:
            out.close()
    if check and code != 0:
        sys.exit(f"mutation: failed ({code}): {' '.join(map(str, cmd))}" + (f"; see {log}" if log else ""))
    return code


# --------------------------------------------------------------------------
# The scratch copy.

def tracked_files() -> list[str]:
    out = subprocess.run(["git", "ls-files", "-z"], cwd=REPO, capture_output=True, check=True).stdout
    return [p for p in out.decode().split("\0") if p and (REPO / p).is_file()]


def sync_tree(tree: Path) -> None:
    """Makes tree hold the repository's tracked files, writing only the files
    whose content differs, so that the builds in the copy stay incremental."""
    files = tracked_files()
    wanted = set(files)
    for rel in files:
        src, dst = REPO / rel, tree / rel
        data = src.read_bytes()
        if not dst.is_file() or dst.read_bytes() != data:
            dst.parent.mkdir(parents=True, exist_ok=True)
            dst.write_bytes(data)
            shutil.copymode(src, dst)
    # Sources no longer tracked would still be globbed by CMake or pytest.
    for top in ("core", "binding", "python", "tests", "CMakeLists.txt", "pyproject.toml"):
        base = tree / top
        paths = [base] if base.is_file() else (p for p in base.rglob("*") if p.is_file()) if base.exists() else []
        for p in paths:
            rel = p.relative_to(tree).as_posix()
            if rel not in wanted and "__pycache__" not in rel:
                p.unlink()


def product_sources(tree: Path) -> list[str]:
    names = set()
    for pattern in ("core/src/**/*.cc", "core/include/**/*.h", "binding/*.cc"):
        for p in glob.glob(str(tree / pattern), recursive=True):
            rel = Path(p).relative_to(tree).as_posix()
            if not rel.endswith(("_test.cc", "_fuzz.cc")):
                names.add(rel)
    return sorted(names)


def digest(tree: Path, rels) -> str:
    h = hashlib.sha256()
    for rel in rels:
        h.update(rel.encode() + b"\0" + (tree / rel).read_bytes() + b"\0")
    return h.hexdigest()


# --------------------------------------------------------------------------
# Mutants.

@dataclass
class Mutant:
    source: str        # path in the tree, e.g. core/src/diff.cc
    number: int        # universalmutator's number for that file
    path: Path         # the mutant file
    line: int = 0      # first changed line, 1-based
    before: str = ""
    after: str = ""

    @property
    def name(self) -> str:
        return f"{self.source}#{self.number}"

    def describe(self) -> str:
        return f"{self.source}:{self.line}  `{self.before}` -> `{self.after}`  ({self.name})"


def normalised(text: str) -> str:
    return " ".join(text.split())


def generate(tree: Path, venv: Path, mutants_dir: Path, log: Path) -> list[Mutant]:
    shutil.rmtree(mutants_dir, ignore_errors=True)
    mutants = []
    for rel in product_sources(tree):
        out = mutants_dir / rel.replace("/", "__")
        out.mkdir(parents=True)
        run([venv / "bin" / "mutate", tree / rel, "--noCheck", "--mutantDir", out], log=log,
            cwd=out, check=True)
        stem, ext = os.path.splitext(os.path.basename(rel))
        pattern = re.compile(re.escape(stem) + r"\.mutant\.(\d+)" + re.escape(ext) + "$")
        for p in out.iterdir():
            m = pattern.match(p.name)
            if m:
                mutants.append(Mutant(rel, int(m.group(1)), p))
    mutants.sort(key=lambda m: (m.source, m.number))
    return mutants


def describe(tree: Path, mutant: Mutant) -> bool:
    """Fills in the changed line; False when the mutant is the original
    after whitespace normalisation."""
    old = (tree / mutant.source).read_text(errors="replace")
    new = mutant.path.read_text(errors="replace")
    if normalised(old) == normalised(new):
        return False
    a, b = old.splitlines(), new.splitlines()
    for tag, i1, i2, j1, j2 in difflib.SequenceMatcher(None, a, b, autojunk=False).get_opcodes():
        if tag != "equal":
            mutant.line = i1 + 1
            mutant.before = " ".join(a[i1:i2]).strip() or "(new line)"
            mutant.after = " ".join(b[j1:j2]).strip() or "(line removed)"
            break
    return True


# --------------------------------------------------------------------------
# Builds and test runs.

class Bench:
    def __init__(self, args):
        self.args = args
        self.work = Path(args.workdir).resolve()
        self.tree = self.work / "tree"
        self.venv = self.work / "venv"
        self.core_build = self.work / "build-core"
        self.module_build = self.work / "build-module"
        self.logs = self.work / "logs"
        self.pristine_so = self.work / "pristine"
        self.installed_so: Path | None = None
        self.applied: dict[Path, bytes] = {}

    def log(self, name: str) -> Path:
        return self.logs / name

    # ---- set-up ----------------------------------------------------------

    def setup(self) -> None:
        self.work.mkdir(parents=True, exist_ok=True)
        self.tree.mkdir(exist_ok=True)
        shutil.rmtree(self.logs, ignore_errors=True)
        self.logs.mkdir()
        sync_tree(self.tree)
        setup_log = self.log("setup.log")
        py = self.venv / "bin" / "python"
        if not py.exists():
            print(f"mutation: creating {self.venv}", flush=True)
            run([sys.executable, "-m", "venv", self.venv], log=setup_log, check=True)
            run([py, "-m", "pip", "install", "-q", "--upgrade", "pip"], log=setup_log, check=True)
        if run([py, "-m", "pip", "show", "-q", "universalmutator", "pytest", "hypothesis"], log=setup_log) != 0:
            run([py, "-m", "pip", "install", "-q", MUTATOR, *TEST_PACKAGES], log=setup_log, check=True)
        self.install_package(py, setup_log)
        self.configure(py, setup_log)

    def install_package(self, py: Path, log: Path) -> None:
        """Installs the package once from a wheel of the unmutated tree (again
        when the tree changed since), and keeps its module aside."""
        stamp = self.work / "installed.sha256"
        rels = [r for r in tracked_files() if r.startswith(("core/", "binding/", "python/"))
                or r in ("CMakeLists.txt", "pyproject.toml")]
        want = digest(self.tree, rels)
        if not (stamp.exists() and stamp.read_text() == want and self.find_installed()):
            print("mutation: building and installing the wheel of the unmutated tree", flush=True)
            wheels = self.work / "wheel"
            shutil.rmtree(wheels, ignore_errors=True)
            run([py, "-m", "pip", "wheel", "--no-deps", "-w", wheels, self.tree,
                 "-C", "cmake.define.QUARLEN_STATIC_DEPS=OFF",
                 "-C", f"build.tool-args=-j{self.args.jobs}"], log=log, check=True)
            wheel = next(wheels.glob("quarlen-*.whl"))
            run([py, "-m", "pip", "install", "--no-deps", "--force-reinstall", wheel], log=log, check=True)
            so = self.find_installed()
            if so is None:
                sys.exit("mutation: the installed package has no _native module")
            shutil.rmtree(self.pristine_so, ignore_errors=True)
            self.pristine_so.mkdir()
            shutil.copy2(so, self.pristine_so / so.name)
            stamp.write_text(want)
        self.installed_so = self.find_installed()
        self.restore_module()

    def find_installed(self) -> Path | None:
        found = sorted(self.venv.glob("lib/python*/site-packages/quarlen/_native*.so"))
        return found[0] if found else None

    def restore_module(self) -> None:
        if self.installed_so and self.pristine_so.is_dir():
            for p in self.pristine_so.iterdir():
                shutil.copy2(p, self.installed_so)

    def configure(self, py: Path, log: Path) -> None:
        gen = ["-G", "Ninja"] if shutil.which("ninja") else []
        if not (self.core_build / "CMakeCache.txt").exists():
            run(["cmake", "-S", self.tree, "-B", self.core_build, *gen,
                 "-DCMAKE_BUILD_TYPE=Release", "-DQUARLEN_STATIC_DEPS=OFF"], log=log, check=True)
        if not (self.module_build / "CMakeCache.txt").exists():
            # What scikit-build-core would tell CMake: the interpreter (the
            # venv's, so that its headers and abi3 suffix are used), SKBUILD.
            run(["cmake", "-S", self.tree, "-B", self.module_build, *gen,
                 "-DCMAKE_BUILD_TYPE=Release", "-DSKBUILD=ON", "-DQUARLEN_BUILD_TESTS=OFF",
                 "-DQUARLEN_STATIC_DEPS=OFF", f"-DPython_EXECUTABLE={py}",
                 "-DPython_FIND_REGISTRY=NEVER", "-DPython_FIND_VIRTUALENV=FIRST"],
                log=log, check=True)

    # ---- one mutant ------------------------------------------------------

    def apply(self, mutant: Mutant) -> None:
        target = self.tree / mutant.source
        self.applied[target] = target.read_bytes()
        target.write_bytes(mutant.path.read_bytes())

    def restore(self) -> None:
        while self.applied:
            target, data = self.applied.popitem()
            target.write_bytes(data)

    def build(self, log: Path) -> str | None:
        """Builds the core, its tests and the module; the failing part, or None."""
        jobs = str(self.args.jobs)
        try:
            if run(["cmake", "--build", self.core_build, "-j", jobs], log=log, timeout=1800) != 0:
                return "core"
            if run(["cmake", "--build", self.module_build, "--target", "_native", "-j", jobs],
                   log=log, timeout=1800) != 0:
                return "module"
        except Timeout:
            return "build timeout"
        return None

    def built_module(self) -> Path:
        found = sorted(self.module_build.glob("_native*.so"))
        if not found:
            sys.exit(f"mutation: no _native*.so in {self.module_build}")
        return found[0]

    def ctest(self, log: Path) -> str | None:
        try:
            code = run(["ctest", "--test-dir", self.core_build, "--timeout", self.args.ctest_timeout,
                        "-j", self.args.jobs, "--stop-on-failure", "--output-on-failure"],
                       log=log, timeout=self.args.ctest_total_timeout)
        except Timeout:
            return "timeout"
        return None if code == 0 else "failed"

    def pytest(self, log: Path) -> str | None:
        shutil.copy2(self.built_module(), self.installed_so)
        # No example database carried from one mutant to the next, and a fixed
        # seed for the property tests: every mutant sees the same inputs.
        shutil.rmtree(self.tree / ".hypothesis", ignore_errors=True)
        env = dict(os.environ)
        env.pop("PYTHONPATH", None)
        env["PATH"] = f"{self.venv / 'bin'}{os.pathsep}{env.get('PATH', '')}"
        env["VIRTUAL_ENV"] = str(self.venv)
        try:
            code = run([self.venv / "bin" / "python", "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider",
                        f"--hypothesis-seed={self.args.seed}", "tests"],
                       log=log, cwd=self.tree, env=env, timeout=self.args.pytest_timeout)
        except Timeout:
            return "timeout"
        finally:
            self.restore_module()
        return None if code == 0 else "failed"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=60, help="mutants in the sample (default 60)")
    parser.add_argument("--seed", type=int, default=20261206, help="seed of the draw (default 20261206)")
    parser.add_argument("--list-only", action="store_true", help="draw and print the sample, run no tests")
    parser.add_argument("--jobs", type=int, default=os.cpu_count() or 2, help="parallel build and ctest jobs")
    parser.add_argument("--workdir", default=str(REPO / "build" / "mutation"),
                        help="scratch copy, venv and builds (default build/mutation)")
    parser.add_argument("--ctest-timeout", type=int, default=60, help="seconds per CTest test (default 60)")
    parser.add_argument("--ctest-total-timeout", type=int, default=900, help="seconds for all of CTest")
    parser.add_argument("--pytest-timeout", type=int, default=600, help="seconds for pytest (default 600)")
    parser.add_argument("--only", default="",
                        help="comma-separated mutant names (file#number) to run, out of the sample")
    parser.add_argument("--suites", default="ctest,pytest", help="suites to run, in order (default ctest,pytest)")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the check that the unmutated tree passes both suites")
    args = parser.parse_args()

    signal.signal(signal.SIGTERM, _on_term)
    bench = Bench(args)
    started = time.monotonic()
    results = []   # (mutant, verdict, seconds)
    skipped = {"identical": 0, "core": 0, "module": 0, "build timeout": 0}
    try:
        bench.setup()
        mutants = generate(bench.tree, bench.venv, bench.work / "mutants", bench.log("mutate.log"))
        files = len({m.source for m in mutants})
        print(f"mutation: seed {args.seed}, count {args.count}, {len(mutants)} mutants of {files} files "
              f"({MUTATOR}); logs in {bench.logs}", flush=True)

        if not args.list_only and not args.no_baseline:
            t0 = time.monotonic()
            log = bench.log("baseline.log")
            failed = bench.build(log) or bench.ctest(log) and "ctest" or bench.pytest(log) and "pytest"
            if failed:
                sys.exit(f"mutation: the unmutated tree fails ({failed}); see {log}")
            print(f"baseline: builds, ctest and pytest pass ({time.monotonic() - t0:.0f} s)", flush=True)

        only = {n for n in args.only.split(",") if n}
        suites = [s for s in args.suites.split(",") if s]
        if not set(suites) <= {"ctest", "pytest"}:
            sys.exit(f"mutation: unknown suite in {args.suites!r}")
        order = list(range(len(mutants)))
        random.Random(args.seed).shuffle(order)
        drawn = 0
        for index in order:
            if drawn >= args.count or (only and not only - {m.name for m, _, _ in results}):
                break
            mutant = mutants[index]
            if only and mutant.name not in only:
                continue
            if not describe(bench.tree, mutant):
                skipped["identical"] += 1
                continue
            t0 = time.monotonic()
            log = bench.log(f"{mutant.name.replace('/', '__').replace('#', '.')}.log")
            bench.apply(mutant)
            try:
                broken = bench.build(log)
                if broken:
                    skipped[broken] += 1
                    print(f"   skip: does not compile ({broken}): {mutant.describe()}", flush=True)
                    continue
                drawn += 1
                if args.list_only:
                    print(f"{drawn:3d}. {mutant.describe()}", flush=True)
                    results.append((mutant, "listed", time.monotonic() - t0))
                    continue
                verdict = "survived"
                for suite in suites:
                    why = bench.ctest(log) if suite == "ctest" else bench.pytest(log)
                    if why:
                        verdict = f"killed by {suite}" + (" (timeout)" if why == "timeout" else "")
                        break
            finally:
                bench.restore()
            seconds = time.monotonic() - t0
            results.append((mutant, verdict, seconds))
            print(f"{drawn:3d}. {verdict:<26} {seconds:6.0f} s  {mutant.describe()}", flush=True)
    except (KeyboardInterrupt, Stopped) as exc:
        print(f"mutation: interrupted ({exc or 'SIGINT'}); the copy is restored", file=sys.stderr)
        return 130
    finally:
        bench.restore()
        bench.restore_module()

    print()
    print(f"seed {args.seed}; sample of {len(results)} compiling mutants "
          f"(passed over: {skipped['identical']} identical to the original, "
          f"{skipped['core'] + skipped['module'] + skipped['build timeout']} not compiling):")
    for i, (m, _, _) in enumerate(results, 1):
        print(f"{i:3d}. {m.describe()}")
    if args.list_only:
        return 0
    n = len(results)
    k1 = sum(v.startswith("killed by ctest") for _, v, _ in results)
    k2 = sum(v.startswith("killed by pytest") for _, v, _ in results)
    survivors = [m.name + f" (line {m.line})" for m, v, _ in results if v == "survived"]
    mean = sum(s for _, _, s in results) / n if n else 0.0
    print()
    print(f"killed {k1 + k2} of {n} (ctest {k1}, pytest {k2}), survivors: "
          + (", ".join(survivors) if survivors else "none"))
    print(f"time: {time.monotonic() - started:.0f} s in all, {mean:.0f} s per mutant on average")
    return 0


if __name__ == "__main__":
    sys.exit(main())
