"""Long fits: Ctrl-C cancels them, other Python threads keep running while
they work, their progress reaches a callback, and their console lines and
warnings go where Python code looks for them."""
import contextlib
import io
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys
import textwrap
import threading
import warnings

import numpy as np
import pytest

from _zunmerak import ZUN, GridTensor

from test_golden import run_log_bytes

LINE = re.compile(r"^\[[a-z_:]+\] \[(TRACE|DEBUG|INFO|WARN|ERROR)\] ")


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(13)
    x = rng.uniform(size=(150, 4))
    y = 10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 5 * x[:, 3] + rng.normal(size=150)
    return x, y


@pytest.fixture(scope="module")
def ill_conditioned():
    # Targets of both signs at alpha 0: the later stages' f+ and -f- columns
    # are nearly proportional.
    rng = np.random.default_rng(1)
    x = rng.uniform(size=(101, 4))
    y = np.sin(6 * x[:, 0]) + x[:, 1] - 0.5 + 0.1 * rng.normal(size=101)
    return x, y


def fit(x, y, epochs=3, **kwargs):
    arguments = dict(n_trees=3, n_iter=5, verbosity=0, alpha=1.0)
    arguments.update(kwargs)
    return ZUN.fit(x, y, epochs, **arguments)


def outcome(model, result):
    return (model.to_bytes(), result.err, result.residuals.tobytes(), result.y_hat.tobytes(),
            result.epoch_errors.tobytes(), result.stopped_early)


# ---------------------------------------------------------------------------
# Ctrl-C, in a child process of its own.

SIGINT_CHILD = textwrap.dedent("""
    import json, signal, sqlite3, sys
    import numpy as np
    from _zunmerak import ZUN
    # A test runner started in the background of a shell passes SIGINT on
    # ignored, and Python then leaves it ignored; Ctrl-C is what is tested.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    EPOCHS = 300
    db = sys.argv[1] or None
    rng = np.random.default_rng(3)
    x = rng.uniform(size=(5000, 5))
    y = np.sin(4 * x[:, 0]) + x[:, 1] * x[:, 2] + 0.1 * rng.normal(size=5000)
    epochs_seen = []
    # Without a run log, a callback that lets the fit go on counts its epochs.
    callback = None if db else lambda p: p.train_error is None or epochs_seen.append(p.epoch)
    print("fitting", flush=True)
    report = {}
    try:
        ZUN.fit(x, y, EPOCHS, n_trees=4, n_iter=20, alpha=1.0, verbosity=0, visualdb=db, callback=callback)
        report["returned"] = True
    except KeyboardInterrupt:
        report["interrupted"] = True
    if db:
        con = sqlite3.connect(db)
        report["integrity"] = con.execute("PRAGMA integrity_check").fetchone()[0]
        report["notes"] = con.execute("SELECT notes FROM runs").fetchall()
        epochs_seen = con.execute("SELECT epoch FROM training_errors WHERE tree_id IS NULL").fetchall()
        con.close()
    report["cut_short"] = 1 <= len(epochs_seen) < EPOCHS
    small = x[:200], y[:200]
    model, result = ZUN.fit(*small, 2, n_trees=3, n_iter=4, alpha=1.0, verbosity=0, visualdb=db and db + ".next")
    again, _ = ZUN.fit(*small, 2, n_trees=3, n_iter=4, alpha=1.0, verbosity=0)
    report["usable"] = bool(np.array_equal(model.predict(small[0]), again.predict(small[0])))
    if db:
        con = sqlite3.connect(db + ".next")
        report["next_notes"] = con.execute("SELECT notes FROM runs").fetchall()
        con.close()
    print(json.dumps(report), flush=True)
""")


@pytest.mark.parametrize("logged", [False, True], ids=["callback", "logged"])
def test_sigint_interrupts_a_fit_and_leaves_the_process_usable(tmp_path, logged):
    db = str(tmp_path / "run.db") if logged else ""
    child = subprocess.Popen([sys.executable, "-c", SIGINT_CHILD, db], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "fitting"
        # Well inside the fit by then; the whole fit takes far longer.
        threading.Event().wait(1.5)
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.communicate()
    assert child.returncode == 0, err[-3000:]
    report = json.loads(out.strip().splitlines()[-1])
    assert report.get("interrupted") and "returned" not in report, report
    assert report["cut_short"] and report["usable"], report
    if logged:
        assert report["integrity"] == "ok"
        assert report["notes"] == [["unfinished: interrupted"]]
        assert report["next_notes"] == [[None]]


def test_a_pending_exception_cancels_the_fit_and_the_next_fit_is_normal(data):
    # The same path as Ctrl-C, in process: the callback raises while the fit
    # runs, the fit is abandoned and the exception is the one raised.
    x, y = data
    calls = []

    def failing(progress):
        calls.append(progress)
        raise LookupError("from the callback")

    with pytest.raises(LookupError, match="from the callback"):
        fit(x, y, epochs=50, callback=failing)
    assert len(calls) == 1
    first = outcome(*fit(x, y))
    assert first == outcome(*fit(x, y))


# ---------------------------------------------------------------------------
# Other threads keep running.

def test_a_ticker_thread_advances_while_a_fit_works():
    # The fit runs for seconds, unless the callback stops it, which it does
    # once the ticker has ticked enough. If the wait held the interpreter lock the
    # ticker could tick only while a callback runs, about once per call, so it
    # would need about 100 calls; a free ticker needs a few epochs, even on a
    # loaded machine where its 1 ms waits last several milliseconds.
    rng = np.random.default_rng(4)
    x = rng.uniform(size=(10000, 4))
    y = np.sin(5 * x[:, 0]) + x[:, 1] + 0.1 * rng.normal(size=10000)
    ticks = []
    done = threading.Event()

    def ticker():
        while len(ticks) < 100:
            threading.Event().wait(0.001)
            ticks.append(1)
        done.set()

    calls = []

    def callback(progress):
        calls.append(progress)
        return not done.is_set()

    thread = threading.Thread(target=ticker)
    thread.start()
    try:
        model, result = fit(x, y, epochs=300, n_trees=4, n_iter=30, callback=callback)
    finally:
        done.wait(60)
        thread.join()
    assert result.stopped_early
    assert len(calls) < 60, len(calls)
    assert len(model.stage_predictors) == result.epoch_errors.size >= 1


# ---------------------------------------------------------------------------
# The progress callback.

def test_callback_sees_each_epoch_and_leaves_results_alone(data):
    x, y = data
    records = []
    model, result = fit(x, y, epochs=4, callback=records.append)
    epoch_ends = [r for r in records if r.train_error is not None]
    assert [r.epoch for r in epoch_ends] == [0, 1, 2, 3]
    assert [r.train_error for r in epoch_ends] == list(result.epoch_errors)
    for record in records:
        assert record.total_trees == 3 and record.epochs == 4 and record.elapsed >= 0.0
        assert 0 <= record.trees_done <= 3
    assert all(r.trees_done == 3 for r in epoch_ends)
    assert not result.stopped_early
    assert outcome(model, result) == outcome(*fit(x, y, epochs=4))


def test_callback_returning_false_stops_with_the_completed_epochs(data, tmp_path):
    x, y = data
    db = tmp_path / "run.db"
    model, result = fit(x, y, epochs=6, visualdb=str(db),
                        callback=lambda p: not (p.train_error is not None and p.epoch == 1))
    assert result.stopped_early
    assert len(model.stage_predictors) == 2 == result.epoch_errors.size
    two_model, two_result = fit(x, y, epochs=2)
    expected = outcome(two_model, two_result)
    assert outcome(model, result)[:5] == expected[:5]
    con = sqlite3.connect(db)
    try:
        assert con.execute("PRAGMA integrity_check").fetchone()[0] == "ok"
        assert con.execute("SELECT notes FROM runs").fetchall() == [("unfinished: stopped early",)]
    finally:
        con.close()


def test_grid_tensor_fit_reports_once_it_is_done(data):
    x, y = data
    records = []
    grid, result = GridTensor.fit(x, y, 8, 2, 1.0, callback=records.append)
    assert records, "no call"
    assert records[-1].trees_done == records[-1].total_trees == 1
    assert records[-1].train_error == result.err
    assert result.epoch_errors.size == 0 and not result.stopped_early
    plain, plain_result = GridTensor.fit(x, y, 8, 2, 1.0)
    np.testing.assert_array_equal(grid.predict(x), plain.predict(x))


@pytest.mark.parametrize("method", ["zun", "grid"])
def test_callback_must_be_callable(data, method):
    x, y = data
    with pytest.raises(TypeError, match="callback: expected a callable or None, got int"):
        if method == "zun":
            fit(x, y, callback=3)
        else:
            GridTensor.fit(x, y, 4, 2, 1.0, callback=3)


def test_epoch_errors_fall_to_the_final_error(data):
    x, y = data
    _, result = fit(x, y, epochs=4)
    errors = result.epoch_errors
    assert errors.dtype == np.float64 and errors.shape == (4,)
    assert errors[-1] == result.err
    assert errors[-1] < errors[0] < np.var(y)


# ---------------------------------------------------------------------------
# Console lines and warnings.

def test_console_lines_go_through_sys_stdout(data, capfd):
    x, y = data
    captured = io.StringIO()
    with contextlib.redirect_stdout(captured):
        fit(x, y, epochs=2, verbosity=1)
    text = captured.getvalue()
    assert "[zun::forest::fitter] [INFO] Fitting epoch 1\n" in text
    # Every line is whole; a record may span lines (the hyperparameters).
    records = text.split("\n[")
    assert text.startswith("[") and text.endswith("\n") and len(records) > 5
    assert all(LINE.match("[" + record.split("\n")[0]) for record in records[1:]), records
    assert "Fitting epoch" not in capfd.readouterr().out


def test_condition_number_warning_shows_at_verbosity_zero(ill_conditioned):
    x, y = ill_conditioned
    with pytest.warns(RuntimeWarning, match=r"Design matrix of epoch \d+ has condition number \d\.\d+e\+\d+") as caught:
        fit(x, y, epochs=4, n_iter=6, alpha=0.0)
    assert all(w.category is RuntimeWarning for w in caught)
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        fit(x, y, epochs=4, n_iter=6, alpha=1.0)


def test_a_warning_made_an_error_cancels_the_fit(ill_conditioned):
    x, y = ill_conditioned
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="condition number"):
            fit(x, y, epochs=4, n_iter=6, alpha=0.0)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        model, result = fit(x, y, epochs=4, n_iter=6, alpha=0.0)
    assert len(model.stage_predictors) == 4 and not result.stopped_early


# ---------------------------------------------------------------------------
# Thread counts and fits at once.

@pytest.mark.parametrize("n_threads, error, message", [
    (0, ValueError, "n_threads must be an integer from 1 to 1024 or None, got 0"),
    (-2, ValueError, "got -2"),
    (1025, ValueError, "got 1025"),
    (2**70, ValueError, f"got {2**70}"),
    (2.0, TypeError, "n_threads"),
    ("2", TypeError, "n_threads"),
])
def test_n_threads_is_checked(data, n_threads, error, message):
    x, y = data
    with pytest.raises(error, match=message):
        fit(x, y, n_threads=n_threads)


class ThreadLines(io.TextIOBase):
    """A stdout that keeps what each named thread writes apart."""

    def __init__(self):
        self.by_thread = {}
        self.lock = threading.Lock()

    def writable(self):
        return True

    def write(self, text):
        with self.lock:
            self.by_thread.setdefault(threading.current_thread().name, []).append(text)
        return len(text)

    def text_of(self, name):
        return "".join(self.by_thread.get(name, []))


def test_concurrent_fits_equal_the_same_fits_one_after_the_other(data, tmp_path):
    x, y = data
    jobs = [dict(verbosity=2, visualdb=str(tmp_path / "a.db"), n_threads=1),
            dict(verbosity=1, visualdb=None, n_threads=2, similarity_threshold=0.5, n_trees=5),
            dict(verbosity=0, visualdb=str(tmp_path / "c.db"), n_threads=3, seed=7)]

    def run(index, kwargs, outputs):
        model, result = fit(x, y, epochs=3, **kwargs)
        db = kwargs["visualdb"]
        outputs[index] = dict(outcome=outcome(model, result),
                              run_log=db and run_log_bytes(db))
        if db:
            os.remove(db)

    def collect(together):
        outputs = [None] * len(jobs)
        failures = []
        barrier = threading.Barrier(len(jobs) if together else 1)

        def job(index, kwargs):
            try:
                barrier.wait()
                run(index, kwargs, outputs)
            except BaseException as error:  # carried to the test's thread
                failures.append(error)

        stdout = ThreadLines()
        with contextlib.redirect_stdout(stdout):
            threads = [threading.Thread(target=job, args=item, name=f"fit-{item[0]}") for item in enumerate(jobs)]
            for thread in threads:
                thread.start()
                if not together:
                    thread.join()
            for thread in threads:
                thread.join()
        if failures:
            raise failures[0]
        for index, output in enumerate(outputs):
            output["lines"] = stdout.text_of(f"fit-{index}")
        return outputs

    sequential = collect(together=False)
    concurrent = collect(together=True)
    assert "[DEBUG]" in sequential[0]["lines"] and "[DEBUG]" not in sequential[1]["lines"]
    assert "[INFO]" in sequential[1]["lines"] and sequential[2]["lines"] == ""
    for before, now in zip(sequential, concurrent):
        assert now["outcome"] == before["outcome"]
        assert now["run_log"] == before["run_log"]
        assert now["lines"] == before["lines"]


# ---------------------------------------------------------------------------
# Fork safety.

FORK_CHILD = textwrap.dedent("""
    import multiprocessing, sys
    import numpy as np
    from _zunmerak import ZUN

    def work(queue):
        rng = np.random.default_rng(9)
        x = rng.uniform(size=(300, 3))
        y = x[:, 0] * x[:, 1] + rng.normal(size=300) * 0.1
        model, result = ZUN.fit(x, y, 2, n_trees=4, n_iter=5, alpha=1.0, verbosity=0)
        queue.put((model.predict(x).tobytes(), result.y_hat.tobytes()))

    if __name__ == "__main__":
        context = multiprocessing.get_context("fork")
        queue = context.Queue()
        work(queue)  # the parent has run parallel regions before it forks
        parent = queue.get()
        child = context.Process(target=work, args=(queue,), daemon=True)
        child.start()
        try:
            forked = queue.get(timeout=60)
        finally:
            child.join(10)
            if child.is_alive():
                child.kill()  # a stale worker pool hangs it
        print(child.exitcode, forked == parent)
""")


def test_fit_and_predict_work_in_a_forked_child():
    done = subprocess.run([sys.executable, "-c", FORK_CHILD], capture_output=True, text=True, timeout=180)
    assert done.returncode == 0, done.stderr[-3000:]
    assert done.stdout.split() == ["0", "True"]
