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
    import json, os, pathlib, subprocess, sys

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

    rng = np.random.default_rng(0)
    x = rng.uniform(size=(200, 4))
    y = x[:, 0] * x[:, 1] + np.sin(4 * x[:, 2])
    fits = []
    for limit in [1, 3, 1]:
        with threadpool_limits(limits=limit):
            reported = openmp_threads()
            before = len(os.listdir("/proc/self/task"))
            model, result = _zunmerak.ZUN.fit(x, y, 2, n_trees=4, n_iter=4, alpha=1.0, verbosity=0)
            started = len(os.listdir("/proc/self/task")) - before
            theirs = HistGradientBoostingRegressor(max_iter=5).fit(x, y).predict(x)
        fits.append(dict(limit=limit, reported=reported.get(ours), started=started,
                         y_hat=result.y_hat.tobytes().hex(), theirs_finite=bool(np.isfinite(theirs).all())))
    print(json.dumps(dict(ours=ours, fits=fits)))
""")


@pytest.mark.parametrize("first", ["scikit-learn", "_zunmerak"])
def test_thread_limits_reach_the_module_runtime_next_to_scikit_learn(first):
    done = subprocess.run([sys.executable, "-c", SCRIPT, first], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    report = json.loads(done.stdout)
    first_fit, wide_fit, narrow_again = report["fits"]
    for fit in report["fits"]:
        # threadpoolctl finds our runtime and sets its limit; scikit-learn still fits.
        assert fit["reported"] == fit["limit"], fit
        assert fit["theirs_finite"], fit
    # The pool starts limit - 1 workers beside the calling thread and keeps them.
    assert first_fit["started"] == 0, first_fit
    assert wide_fit["started"] == 2, wide_fit
    assert narrow_again["started"] == 0, narrow_again
    assert first_fit["y_hat"] == wide_fit["y_hat"] == narrow_again["y_hat"]
