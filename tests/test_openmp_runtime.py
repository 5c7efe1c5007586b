"""The module's OpenMP runtime in one process with scikit-learn's and NumPy's.

A wheel of the module carries its own copy of the OpenMP runtime, as
scikit-learn's wheel does, so a process that imports both holds two. Each
check runs in a fresh interpreter, where the import order and the threads
started are under the test's control.
"""
import json
import subprocess
import sys
import textwrap

import pytest

SCRIPT = textwrap.dedent("""
    import json, os, pathlib, subprocess, sys, time

    if sys.argv[1] == "scikit-learn":
        from sklearn.ensemble import HistGradientBoostingRegressor
        import _zunmerak
    else:
        import _zunmerak
        from sklearn.ensemble import HistGradientBoostingRegressor
    import numpy as np
    from threadpoolctl import threadpool_info, threadpool_limits

    # The OpenMP runtime the dynamic loader gives our module.
    ldd = subprocess.run(["ldd", _zunmerak.__file__], capture_output=True, text=True, check=True).stdout
    ours = [line.split(" => ")[1].split(" (")[0] for line in ldd.splitlines() if "libgomp" in line]
    ours = str(pathlib.Path(ours[0]).resolve())

    def openmp_threads():
        return {str(pathlib.Path(i["filepath"]).resolve()): i["num_threads"]
                for i in threadpool_info() if i["internal_api"] == "openmp"}

    def tasks():
        return len(os.listdir("/proc/self/task"))

    def settled(before):
        # The fit's own thread and its workers end with the call; workers
        # exit on their own schedule, so give them a moment.
        for _ in range(200):
            if tasks() <= before:
                break
            time.sleep(0.05)
        return tasks() - before

    rng = np.random.default_rng(0)
    x = rng.uniform(size=(200, 4))
    y = x[:, 0] * x[:, 1] + np.sin(4 * x[:, 2])
    fits = []
    for limit, n_threads in [(1, None), (3, None), (1, None), (1, 2)]:
        with threadpool_limits(limits=limit):
            reported = openmp_threads()
            before = tasks()
            during = []
            model, result = _zunmerak.ZUN.fit(x, y, 2, n_trees=4, n_iter=4, alpha=1.0, verbosity=0,
                                              n_threads=n_threads, callback=lambda progress: during.append(tasks()))
            left = settled(before)
            theirs = HistGradientBoostingRegressor(max_iter=5).fit(x, y).predict(x)
        fits.append(dict(limit=limit, n_threads=n_threads, reported=reported.get(ours),
                         started=[d - before for d in during], left=left,
                         y_hat=result.y_hat.tobytes().hex(), theirs_finite=bool(np.isfinite(theirs).all())))
    print(json.dumps(dict(ours=ours, fits=fits)))
""")


@pytest.mark.parametrize("first", ["scikit-learn", "_zunmerak"])
def test_thread_limits_reach_the_module_runtime_next_to_scikit_learn(first):
    done = subprocess.run([sys.executable, "-c", SCRIPT, first], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    report = json.loads(done.stdout)
    for fit in report["fits"]:
        # threadpoolctl finds our runtime and sets its limit; scikit-learn still fits.
        assert fit["reported"] == fit["limit"], fit
        assert fit["theirs_finite"], fit
        # While the fit runs: its own thread and n_threads - 1 workers, with
        # n_threads the calling thread's limit unless the fit names it. None
        # of them outlives the call.
        workers = fit["n_threads"] or fit["limit"]
        assert fit["started"] == [workers, workers], fit
        assert fit["left"] == 0, fit
    assert len({fit["y_hat"] for fit in report["fits"]}) == 1
