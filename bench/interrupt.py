"""Time from Ctrl-C to the exception inside a long native call.

Writes one `units` member of about 1 GB (batches of source-unit rows, as
memory.py writes them), then, for each call, runs it in a child process,
sends SIGINT once the call has run for a while, and prints the time from the
signal to the KeyboardInterrupt the child catches, and how many threads the
child has left a moment later (1: the main thread alone).

    python bench/interrupt.py [--mb 1000] [--calls verify,read,load,iter_rows,diff,table] [--dir /tmp]
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from memory import batch_texts  # noqa: E402


def write(path: str, megabytes: int) -> None:
    from quarlen import _native

    texts = batch_texts()
    writer = _native.Writer(path)
    writer.begin("units")
    written = i = 0
    while written < megabytes * 1_000_000:
        writer.rows(texts[i % len(texts)])
        written += len(texts[i % len(texts)].encode())
        i += 1
    writer.end()
    writer.finish("{}")


def child(call: str, path: str) -> None:
    import quarlen

    calls = {
        "verify": lambda: quarlen.verify(path),
        "read": lambda: quarlen.read(path, "units"),
        "load": lambda: quarlen.load(path, "units"),
        "iter_rows": lambda: sum(1 for _ in quarlen.iter_rows(path, "units")),
        # The same file on both sides: the members are read to their ends for their checks.
        "diff": lambda: sum(1 for _ in quarlen.diff(path, path)),
        # The first pass, which inflates, checks and types the rows on three threads.
        "table": lambda: quarlen.table(path, "units").check(),
    }
    print("ready", flush=True)
    try:
        calls[call]()
        caught = None
    except KeyboardInterrupt:
        caught = time.monotonic()
    time.sleep(0.2)
    threads = len(os.listdir("/proc/self/task"))
    print(json.dumps({"caught": caught, "threads": threads}), flush=True)


def measure(call: str, path: str, delay: float) -> dict:
    proc = subprocess.Popen([sys.executable, __file__, "--child", call, path],
                            stdout=subprocess.PIPE, text=True)
    assert proc.stdout is not None
    proc.stdout.readline()  # "ready": the call starts now
    time.sleep(delay)
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    result = json.loads(proc.stdout.readline())
    proc.wait()
    result["latency"] = None if result["caught"] is None else result["caught"] - sent
    return result


def main() -> None:
    if len(sys.argv) == 4 and sys.argv[1] == "--child":
        child(sys.argv[2], sys.argv[3])
        return
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mb", type=int, default=1000)
    parser.add_argument("--calls", default="verify,read,load,iter_rows,diff,table")
    parser.add_argument("--delay", type=float, default=1.0, help="seconds the call runs before SIGINT")
    parser.add_argument("--dir", default=tempfile.gettempdir())
    args = parser.parse_args()
    path = os.path.join(args.dir, "interrupt-large.quarlen")
    write(path, args.mb)
    try:
        for call in args.calls.split(","):
            r = measure(call, path, args.delay)
            if r["latency"] is None:
                print(f"{call}: ended before the signal came; threads left {r['threads']}")
            else:
                print(f"{call}: SIGINT to KeyboardInterrupt {r['latency'] * 1000:.0f} ms "
                      f"(target: within 500 ms); threads left {r['threads']}")
    finally:
        os.unlink(path)


if __name__ == "__main__":
    main()
