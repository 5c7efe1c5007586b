"""Ctrl-C on a long fit, and what the cancellation checks cost a fit that runs
to its end.

    python bench/long_fits.py [--rows 1000000] [--after 1 4 8 | --after]
                              [--baseline DIR] [--overhead-rows 100000] [--repeats 5]

interrupt: a child process fits `ZUN.fit(x, y, 5, n_trees=2, n_iter=25,
alpha=1.0)` on Friedman #1 with `--rows` rows (10 features) and gets SIGINT
`--after` seconds after it said it was calling the fit (`--after` alone
skips this part); the delay is from
the send to the moment `KeyboardInterrupt` reaches the child's `except`
(both read CLOCK_MONOTONIC). One child per value of `--after`, so the signal
lands in different phases: sorting, tree moves, the epoch's solve.

overhead (with --baseline DIR, another build installed with `pip install
--target DIR`: the same source with the checks compiled out, or the build
from before this work): `ZUN.fit(x, y, 5, n_trees=5, n_iter=10, alpha=1.0)`
on `--overhead-rows` rows, three fits in a subprocess of their own with
OMP_NUM_THREADS=1, the two builds alternating within each repeat. Times are
CPU time (user + system, every thread of the process) of the call, the
least of the three; the table gives the median of the repeats per build, their relative difference, and whether
both builds gave the same bits.
"""

import argparse
import hashlib
import json
import os
import signal
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from grid_tensor_fit import friedman1  # noqa: E402


def child_interrupt(rows):
    from _zunmerak import ZUN

    x, y = friedman1(rows, seed=4)
    # Started from a shell's background job, SIGINT arrives ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    print("fitting", flush=True)
    try:
        ZUN.fit(x, y, 5, n_trees=2, n_iter=25, alpha=1.0, verbosity=0)
        return {"interrupted_at": None}
    except KeyboardInterrupt:
        return {"interrupted_at": time.monotonic()}


def child_overhead(rows):
    import numpy as np
    from _zunmerak import ZUN

    x, y = friedman1(rows, seed=1)
    times = []
    for _ in range(3):
        start = time.process_time()
        _, result = ZUN.fit(x, y, 5, n_trees=5, n_iter=10, alpha=1.0, verbosity=0)
        times.append(time.process_time() - start)
    return {"seconds": min(times), "hash": hashlib.sha256(np.asarray(result.y_hat).tobytes()).hexdigest()[:16]}


def child_command(job):
    return [sys.executable, os.path.abspath(__file__), "--child", json.dumps(job)]


def interrupt_delay(rows, after):
    child = subprocess.Popen(child_command({"kind": "interrupt", "rows": rows}), stdout=subprocess.PIPE, text=True)
    assert child.stdout.readline().strip() == "fitting"
    time.sleep(after)
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, _ = child.communicate(timeout=600)
    reached = json.loads(out)["interrupted_at"]
    return None if reached is None else reached - sent


def run_overhead(path, rows):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if path:
        env["PYTHONPATH"] = path + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run(child_command({"kind": "overhead", "rows": rows}), env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--after", type=float, nargs="*", default=[1.0, 4.0, 8.0])
    parser.add_argument("--baseline")
    parser.add_argument("--overhead-rows", type=int, default=100_000)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--child", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        job = json.loads(args.child)
        kind = job.pop("kind")
        print(json.dumps({"interrupt": child_interrupt, "overhead": child_overhead}[kind](**job)))
        return

    if args.after:
        print("| SIGINT after (s) | rows | delay to KeyboardInterrupt (s) |")
        print("|---:|---:|---:|")
    for after in args.after:
        delay = interrupt_delay(args.rows, after)
        print(f"| {after:g} | {args.rows} | {'fit ended first' if delay is None else f'{delay:.3f}'} |", flush=True)

    if args.baseline:
        builds = {"baseline": args.baseline, "current": ""}
        results = {build: [] for build in builds}
        for _ in range(args.repeats):
            for build, path in builds.items():
                results[build].append(run_overhead(path, args.overhead_rows))
        medians = {build: statistics.median(r["seconds"] for r in runs) for build, runs in results.items()}
        same = len({r["hash"] for runs in results.values() for r in runs}) == 1
        print()
        print("| rows | baseline CPU s | current CPU s | difference | same bits | all runs (baseline / current) |")
        print("|---:|---:|---:|---:|---|---|")
        spread = " / ".join(", ".join(f"{r['seconds']:.3f}" for r in results[build]) for build in builds)
        difference = medians["current"] / medians["baseline"] - 1
        print(f"| {args.overhead_rows} | {medians['baseline']:.4f} | {medians['current']:.4f} | "
              f"{100 * difference:+.2f}% | {same} | {spread} |")


if __name__ == "__main__":
    main()
