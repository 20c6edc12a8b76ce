"""What every benchmark shares: its command line, word of how long it runs, and progress.

Each script says before it starts how long its full run and its --quick run take (on the
8-processor machine of bench/README.md; a busy or smaller machine takes longer), prints
its table rows as soon as they are measured (standard output stays line-buffered when it
goes into a pipe or a file) and its progress on standard error, so that a run of many
minutes is never silent.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

_START = time.perf_counter()


def options(doc: str, full: str, quick: str, add=None) -> argparse.Namespace:
    """Parse the command line (--quick, and what `add(parser)` adds), then say how long the
    run will take. `full` and `quick` are the lengths of the two runs, as "about 13 min"."""
    parser = argparse.ArgumentParser(description=doc.splitlines()[0])
    parser.add_argument("--quick", action="store_true",
                        help=f"a short run ({quick}): fewer sizes, settings and repeats")
    if add is not None:
        add(parser)
    args = parser.parse_args()
    sys.stdout.reconfigure(line_buffering=True)
    name = pathlib.Path(sys.argv[0]).name
    if args.quick:
        progress(f"{name} --quick: {quick}")
    else:
        progress(f"{name}: the full run takes {full}; --quick takes {quick}")
    return args


def progress(text: str) -> None:
    """One line on standard error, stamped with the seconds since the script started."""
    print(f"[{time.perf_counter() - _START:6.0f} s] {text}", file=sys.stderr, flush=True)


def best_time(fn, repeats: int, clock=time.perf_counter) -> tuple[float, object]:
    """The shortest of `repeats` calls of fn, in seconds of `clock` (the wall clock, or
    time.process_time for the process's CPU time), and what the last call returned."""
    best, out = float("inf"), None
    for _ in range(repeats):
        t0 = clock()
        out = fn()
        best = min(best, clock() - t0)
    return best, out


def processors() -> int:
    """The processors this process may run on: its affinity mask where the system has one,
    else every online processor."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


def on_one_processor(fn):
    """fn() with the process held to one of its processors (the library reads the affinity
    mask at every call, so the call runs on one worker); the mask is restored after."""
    allowed = os.sched_getaffinity(0)
    os.sched_setaffinity(0, {min(allowed)})
    try:
        return fn()
    finally:
        os.sched_setaffinity(0, allowed)
