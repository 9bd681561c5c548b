"""Times diff's HTML report on the benchmark's catalogue and its changed copy:
writing the page, its size, and a headless browser loading it."""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from generate import changed_copy, generate  # noqa: E402
import quarlen  # noqa: E402
from quarlen import report  # noqa: E402


def write_pair(directory, scale, fraction):
    """The catalogue and a copy with `fraction` of each member's rows removed,
    as many changed and as many added; the paths and the changes made."""
    members = list(generate(scale, 20260101))
    copy, expected = changed_copy(members, 20260102, fraction)
    paths = []
    for label, catalogue in (("old", members), ("new", copy)):
        paths.append(os.path.join(directory, f"report-{label}-{fraction}.quarlen"))
        with quarlen.create(paths[-1], {"source": label, "scale": scale}) as snapshot:
            for name, rows in catalogue:
                snapshot.write(name, rows)
    return paths, sum(map(sum, expected.values()))


def write_page(old, new, page):
    """Seconds to compare the files and write the page."""
    start = time.perf_counter()
    with open(page, "w", encoding="utf-8") as out:
        out.writelines(report.html_lines(
            quarlen.diff(old, new, as_text=True), old_label=old, new_label=new,
            old_manifest=json.loads(quarlen.manifest(old)), new_manifest=json.loads(quarlen.manifest(new))))
    return time.perf_counter() - start


def browser_load(browser, page, action):
    """Seconds for the browser to start, load the page and do `action`
    (print its DOM, or lay it out and paint a screenshot), the best of three,
    and the same less the time for an empty page; network access is cut off."""
    def run(uri):
        start = time.perf_counter()
        subprocess.run([browser, "--headless", "--no-sandbox", "--disable-gpu", "--proxy-server=127.0.0.1:9",
                        "--window-size=1200,900", *action, uri], check=True, capture_output=True,
                       cwd=os.path.dirname(page))
        return time.perf_counter() - start
    empty = os.path.join(os.path.dirname(page), "empty.html")
    with open(empty, "w") as out:
        out.write("<!DOCTYPE html><title>x</title>")
    base = min(run("file://" + empty) for _ in range(3))
    full = min(run("file://" + page) for _ in range(3))
    return full, full - base


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--fraction", type=float, action="append",
                        help="share of each member's rows changed (default: 0.03 and 0.12); may repeat")
    args = parser.parse_args()
    browser = shutil.which("chromium")
    workdir = tempfile.mkdtemp(prefix="quarlen-report-")
    try:
        for fraction in args.fraction or [0.03, 0.12]:
            (old, new), changes = write_pair(workdir, args.scale, fraction)
            page = os.path.join(workdir, "diff.html")
            seconds = write_page(old, new, page)
            line = "scale %g, %d changes: page written in %.2f s, %.1f MB" % (
                args.scale, changes, seconds, os.path.getsize(page) / 1e6)
            for action in (["--dump-dom"], ["--screenshot"]) if browser else ():
                full, net = browser_load(browser, page, action)
                line += "; chromium %s %.2f s (%.2f s over an empty page)" % (action[0], full, net)
            print(line, flush=True)
    finally:
        shutil.rmtree(workdir)


if __name__ == "__main__":
    main()
