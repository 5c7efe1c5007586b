import mmap
import pathlib

import numpy as np
import pytest

from _zunmerak import ZUN, GridTensor
from model_bytes import encode_model, query_matrix, random_stage, reference_model_predict

N_FEATURES = 3


def accepted(call):
    """Runs a fit whose arguments must convert; any exception fails the test."""
    return call()


def small_zun_fit(x, y, **kwargs):
    # The cheapest fit that still runs every step, and a quiet console.
    arguments = dict(epochs=1, n_trees=1, n_iter=1, split_try=2, verbosity=0)
    arguments.update(kwargs)
    return ZUN.fit(x, y, **arguments)


def small_grid_fit(x, y, **kwargs):
    arguments = dict(n_iter=1, split_try=2, colsample_bytree=1.0)
    arguments.update(kwargs)
    return GridTensor.fit(x, y, **arguments)


@pytest.fixture
def stages(rng):
    return [random_stage(rng, N_FEATURES) for _ in range(2)]


@pytest.fixture
def model(stages, load_model):
    return load_model(encode_model(stages))


@pytest.fixture
def predictors(model):
    """Every predict method, each with the matrix as its only argument."""
    stage = model.stage_predictors[0]
    return {
        "ZUN.predict": model.predict,
        "StagePredictor.predict": stage.predict,
        "GridTensor.predict": stage.combined_grid_tensor.predict,
    }


@pytest.fixture
def data(rng):
    x = rng.normal(size=(8, N_FEATURES))
    y = rng.normal(size=8)
    return x, y


def matrix_takers(predictors, data):
    _, y = data
    takers = dict(predictors)
    takers["ZUN.fit"] = lambda x: small_zun_fit(x, y)
    takers["GridTensor.fit"] = lambda x: small_grid_fit(x, y)
    return takers


MATRIX_TAKERS = ["ZUN.predict", "StagePredictor.predict", "GridTensor.predict", "ZUN.fit", "GridTensor.fit"]

NOT_A_MATRIX = {
    "list": lambda: [[0.0, 1.0, 2.0]],
    "int64": lambda: np.zeros((2, N_FEATURES), dtype=np.int64),
    "float32": lambda: np.zeros((2, N_FEATURES), dtype=np.float32),
    "float16": lambda: np.zeros((2, N_FEATURES), dtype=np.float16),
    "complex128": lambda: np.zeros((2, N_FEATURES), dtype=np.complex128),
    "bool": lambda: np.zeros((2, N_FEATURES), dtype=bool),
    "object": lambda: np.zeros((2, N_FEATURES), dtype=object),
    "big-endian float64": lambda: np.zeros((2, N_FEATURES), dtype=">f8"),
    "1-D": lambda: np.zeros(N_FEATURES),
    "3-D": lambda: np.zeros((2, N_FEATURES, 1)),
    "0-D": lambda: np.array(1.0),
    "None": lambda: None,
    "str": lambda: "x",
}

NOT_A_VECTOR = {
    "list": lambda n: [0.0] * n,
    "int64": lambda n: np.zeros(n, dtype=np.int64),
    "float32": lambda n: np.zeros(n, dtype=np.float32),
    "2-D column": lambda n: np.zeros((n, 1)),
    "2-D row": lambda n: np.zeros((1, n)),
    "0-D": lambda n: np.array(1.0),
    "None": lambda n: None,
}


class ArraySubclass(np.ndarray):
    pass


def unaligned(a):
    raw = np.zeros(a.size * 8 + 1, dtype=np.uint8)
    view = raw[1:].view(np.float64).reshape(a.shape)
    view[...] = a
    assert not view.flags.aligned
    return view


# Each turns a C-ordered matrix into a float64 array of another layout; the
# values may change, the reference is always the C-ordered copy of the result.
MATRIX_LAYOUTS = {
    "fortran": np.asfortranarray,
    "row slice": lambda a: np.repeat(a, 2, axis=0)[::2],
    "column slice": lambda a: np.repeat(a, 3, axis=1)[:, ::3],
    "negative strides": lambda a: a[::-1, ::-1],
    "negative column stride, fortran": lambda a: np.asfortranarray(a)[:, ::-1],
    "zero row stride": lambda a: np.broadcast_to(a[0], a.shape),
    "unaligned": unaligned,
    "subclass": lambda a: a.view(ArraySubclass),
    "single column slice": lambda a: a[:, 1:2],
    "no rows": lambda a: a[:0],
    "no columns": lambda a: a[:, :0],
}

VECTOR_LAYOUTS = {
    "stride 2": lambda v: np.repeat(v, 2)[::2],
    "negative stride": lambda v: v[::-1],
    "zero stride": lambda v: np.broadcast_to(v[:1], v.shape),
    "unaligned": unaligned,
    "column of a C matrix": lambda v: np.stack([v, v], axis=1)[:, 1],
}


class TestMatrixArguments:
    @pytest.mark.parametrize("taker", MATRIX_TAKERS)
    @pytest.mark.parametrize("kind", NOT_A_MATRIX)
    def test_refused_with_type_error_naming_x(self, predictors, data, taker, kind):
        call = matrix_takers(predictors, data)[taker]
        with pytest.raises(TypeError) as error:
            call(NOT_A_MATRIX[kind]())
        assert str(error.value).startswith("x")

    @pytest.mark.parametrize("taker", ["ZUN.predict", "StagePredictor.predict", "GridTensor.predict"])
    @pytest.mark.parametrize("layout", MATRIX_LAYOUTS)
    def test_predict_reads_any_layout_like_its_c_ordered_copy(self, rng, stages, predictors, taker, layout):
        base = query_matrix(rng, [s.primary for s in stages], 11, N_FEATURES)
        x = MATRIX_LAYOUTS[layout](base)
        copy = np.ascontiguousarray(x)
        assert copy.flags.c_contiguous and copy.dtype == np.float64
        predict = predictors[taker]
        if taker == "ZUN.predict" and x.shape[1] != N_FEATURES:
            # A whole model needs all its features; a grid tensor and a stage
            # evaluate the leading ones.
            message = f"^x has {x.shape[1]} columns but the model has {N_FEATURES} features$"
            for matrix in (x, copy):
                with pytest.raises(ValueError, match=message):
                    predict(matrix)
            return
        np.testing.assert_array_equal(predict(x), predict(copy))
        if taker == "ZUN.predict":
            np.testing.assert_array_equal(predict(x), reference_model_predict(stages, copy))

    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    @pytest.mark.parametrize("layout", [k for k in MATRIX_LAYOUTS if k not in ("no rows", "no columns")])
    def test_fits_accept_any_matrix_layout(self, data, fit, layout):
        x, y = data
        accepted(lambda: fit(MATRIX_LAYOUTS[layout](x), y))

    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    @pytest.mark.parametrize("layout", ["fortran", "row slice", "negative strides", "unaligned"])
    def test_fits_give_the_same_result_for_any_layout(self, data, fit, layout):
        x, y = data
        strided = MATRIX_LAYOUTS[layout](x)
        from_copy = accepted(lambda: fit(np.ascontiguousarray(strided), y))
        if from_copy is None:
            pytest.skip("fits are not available in this build yet")
        from_view = fit(strided, y)
        np.testing.assert_array_equal(from_view[0].predict(x), from_copy[0].predict(x))
        np.testing.assert_array_equal(from_view[1].y_hat, from_copy[1].y_hat)


class TestVectorArguments:
    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    @pytest.mark.parametrize("kind", NOT_A_VECTOR)
    def test_refused_with_type_error_naming_y(self, data, fit, kind):
        x, _ = data
        with pytest.raises(TypeError) as error:
            fit(x, NOT_A_VECTOR[kind](len(x)))
        assert str(error.value).startswith("y")

    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    @pytest.mark.parametrize("layout", VECTOR_LAYOUTS)
    def test_fits_accept_any_vector_layout(self, data, fit, layout):
        x, y = data
        accepted(lambda: fit(x, VECTOR_LAYOUTS[layout](y)))


# (argument, value) pairs for ZUN.fit; every other argument is valid.
ZUN_FIT_ACCEPTED = [
    ("seed", 0), ("seed", 2**64 - 1), ("seed", np.uint64(2**64 - 1)), ("seed", np.int8(3)),
    ("epochs", True), ("n_trees", np.int64(1)),
    ("verbosity", 0), ("verbosity", 255), ("verbosity", True), ("verbosity", np.uint8(4)),
    ("decay", 1), ("decay", np.float32(0.5)), ("decay", True), ("colsample_bytree", np.int64(1)),
    ("update_clamp", float("inf")), ("update_clamp", 1e300), ("alpha", np.float64(0.0)),
    ("bagged", True), ("bagged", False), ("bagged", np.bool_(True)), ("must_fill_all_k", np.False_),
    ("visualdb", None), ("split_strategy", "best_split"), ("split_strategy", "top_k"),
    ("refinement_strategy", "huber"),
]

ZUN_FIT_REFUSED = [
    ("seed", -1, OverflowError), ("seed", 2**64, OverflowError), ("seed", 1.0, TypeError),
    ("seed", "1", TypeError), ("seed", None, TypeError), ("seed", np.float64(3.0), TypeError),
    ("epochs", -1, OverflowError), ("epochs", 2.5, TypeError), ("n_iter", 2**70, OverflowError),
    ("top_k", -5, OverflowError), ("min_interval_samples", 1.5, TypeError),
    ("verbosity", 256, OverflowError), ("verbosity", -1, OverflowError), ("verbosity", 1.0, TypeError),
    ("decay", "1.0", TypeError), ("alpha", None, TypeError), ("similarity_threshold", [0.0], TypeError),
    ("colsample_bytree", 1j, TypeError),
    ("bagged", 1, TypeError), ("bagged", 0, TypeError), ("bagged", None, TypeError),
    ("bagged", "True", TypeError), ("bagged", np.int64(1), TypeError), ("must_fill_all_k", 1.0, TypeError),
    ("split_strategy", b"random", TypeError), ("split_strategy", None, TypeError),
    ("refinement_strategy", 2, TypeError),
    ("visualdb", b"run.db", TypeError), ("visualdb", 1, TypeError),
]


class IndexLike:
    def __index__(self):
        return 2


class FloatLike:
    def __float__(self):
        return 0.25


class TestScalarArguments:
    @pytest.mark.parametrize("name, value", ZUN_FIT_ACCEPTED + [("n_trees", IndexLike()), ("tilt_tau", FloatLike())])
    def test_zun_fit_accepts(self, data, name, value):
        x, y = data
        accepted(lambda: small_zun_fit(x, y, **{name: value}))

    def test_zun_fit_accepts_a_visualdb_path(self, data, tmp_path):
        x, y = data
        accepted(lambda: small_zun_fit(x, y, visualdb=str(tmp_path / "run.db")))

    @pytest.mark.parametrize("name, value, exception", ZUN_FIT_REFUSED)
    def test_zun_fit_refuses(self, data, name, value, exception):
        x, y = data
        with pytest.raises(exception) as error:
            small_zun_fit(x, y, **{name: value})
        if exception is TypeError:
            assert str(error.value).startswith(name)

    @pytest.mark.parametrize("name, value, exception", [
        ("seed", -1, OverflowError), ("seed", 2**64, OverflowError), ("seed", 1.0, TypeError),
        ("n_iter", "1", TypeError), ("split_try", -1, OverflowError), ("colsample_bytree", "a", TypeError),
        ("complexity_penalty", None, TypeError),
    ])
    def test_grid_fit_refuses(self, data, name, value, exception):
        x, y = data
        with pytest.raises(exception) as error:
            small_grid_fit(x, y, **{name: value})
        if exception is TypeError:
            assert str(error.value).startswith(name)

    @pytest.mark.parametrize("name, value", [("seed", 2**64 - 1), ("seed", 0), ("complexity_penalty", 3),
                                             ("n_iter", np.uint16(1))])
    def test_grid_fit_accepts(self, data, name, value):
        x, y = data
        accepted(lambda: small_grid_fit(x, y, **{name: value}))

    def test_all_arguments_by_position(self, data):
        x, y = data
        accepted(lambda: ZUN.fit(x, y, 1, 1.0, 1, 1, 2, 0.8, 0.0, 0.0, 0.0, 1, "l2", 0.0, float("inf"), 0.01,
                                 0.0, "random", 10, True, 0.0, False, 42, 0, None))
        accepted(lambda: GridTensor.fit(x, y, 1, 2, 1.0, 0.0, 42))


class TestConversionOrder:
    @pytest.mark.parametrize("arguments, exception, name", [
        # A conversion error wins over the body's strategy check.
        (dict(seed=1.0, split_strategy="Random"), TypeError, "seed"),
        (dict(verbosity=256, refinement_strategy="L2"), OverflowError, None),
        (dict(bagged=1, split_strategy="Random", refinement_strategy="L2"), TypeError, "bagged"),
        # Among conversions, the first declared argument is reported.
        (dict(epochs=-1, decay="a"), OverflowError, None),
        (dict(decay="a", seed=-1), TypeError, "decay"),
        (dict(refinement_strategy=b"l2", seed=1.0), TypeError, "refinement_strategy"),
    ])
    def test_first_failure_in_declared_order(self, data, arguments, exception, name):
        x, y = data
        with pytest.raises(exception) as error:
            small_zun_fit(x, y, **arguments)
        if name is not None:
            assert str(error.value).startswith(name)

    def test_matrix_error_reported_before_later_arguments(self, data):
        _, y = data
        with pytest.raises(TypeError) as error:
            small_zun_fit([[1.0]], y, epochs=-1, seed="s")
        assert str(error.value).startswith("x")

    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    def test_conversion_reported_before_row_count_check(self, data, fit):
        x, y = data
        with pytest.raises(OverflowError):
            fit(x, y[:-1], seed=-1)


class TestStrategyNames:
    @pytest.mark.parametrize("arguments, message", [
        (dict(split_strategy="Random"), "Unknown split_strategy: 'Random'. Valid: 'random', 'best_split', 'top_k'"),
        (dict(split_strategy="best-split"),
         "Unknown split_strategy: 'best-split'. Valid: 'random', 'best_split', 'top_k'"),
        (dict(split_strategy=" random"), "Unknown split_strategy: ' random'. Valid: 'random', 'best_split', 'top_k'"),
        (dict(split_strategy=""), "Unknown split_strategy: ''. Valid: 'random', 'best_split', 'top_k'"),
        (dict(refinement_strategy="L2"), "Unknown refinement_strategy: 'L2'. Valid: 'l2', 'huber'"),
        (dict(refinement_strategy="Huber"), "Unknown refinement_strategy: 'Huber'. Valid: 'l2', 'huber'"),
        (dict(refinement_strategy="l2\u00e9"), "Unknown refinement_strategy: 'l2\u00e9'. Valid: 'l2', 'huber'"),
        (dict(split_strategy="Random", refinement_strategy="L2"),
         "Unknown split_strategy: 'Random'. Valid: 'random', 'best_split', 'top_k'"),
    ])
    def test_unknown_names(self, data, arguments, message):
        x, y = data
        with pytest.raises(ValueError) as error:
            small_zun_fit(x, y, **arguments)
        assert str(error.value) == message

    @pytest.mark.parametrize("split", ["random", "best_split", "top_k"])
    @pytest.mark.parametrize("refinement", ["l2", "huber"])
    def test_known_names(self, data, split, refinement):
        x, y = data
        accepted(lambda: small_zun_fit(x, y, split_strategy=split, refinement_strategy=refinement))


class TestRowCounts:
    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    @pytest.mark.parametrize("x_rows, y_rows", [(5, 4), (4, 5), (1, 0)])
    def test_mismatch(self, fit, x_rows, y_rows):
        with pytest.raises(ValueError) as error:
            fit(np.zeros((x_rows, 2)), np.zeros(y_rows))
        message = str(error.value)
        assert str(x_rows) in message and str(y_rows) in message

    @pytest.mark.parametrize("fit", [small_zun_fit, small_grid_fit], ids=["ZUN.fit", "GridTensor.fit"])
    def test_zero_rows(self, fit):
        with pytest.raises(ValueError, match="rows"):
            fit(np.zeros((0, 2)), np.zeros(0))


class TestPathArguments:
    @pytest.mark.parametrize("path", [b"model.zun", None, 1])
    def test_save_refuses_non_str(self, model, tmp_path, monkeypatch, path):
        monkeypatch.chdir(tmp_path)
        with pytest.raises(TypeError) as error:
            model.save(path)
        assert str(error.value).startswith("path")
        assert not (tmp_path / "model.zun").exists()

    def test_load_refuses_bytes(self, model, model_path):
        model.save(model_path)
        with pytest.raises(TypeError) as error:
            ZUN.load(model_path.encode())
        assert str(error.value).startswith("path")

    def test_path_objects_are_accepted_wherever_a_path_is_taken(self, model, tmp_path, rng):
        model.save(tmp_path / "model.zun")
        model.save(str(tmp_path / "as_str.zun"))
        assert (tmp_path / "model.zun").read_bytes() == (tmp_path / "as_str.zun").read_bytes()
        loaded = ZUN.load(tmp_path / "model.zun")
        x = rng.uniform(size=(5, len(model.stage_predictors[0].combined_grid_tensor.splits)))
        np.testing.assert_array_equal(loaded.predict(x), model.predict(x))
        x_fit = rng.uniform(size=(30, 2))
        ZUN.fit(x_fit, x_fit[:, 0], 1, n_trees=2, n_iter=2, verbosity=0, visualdb=tmp_path / "run.db")
        assert (tmp_path / "run.db").stat().st_size > 0

    @pytest.mark.parametrize("method", ["save", "load"])
    def test_embedded_null_byte_is_refused(self, model, tmp_path, method):
        path = str(tmp_path / "model.zun") + "\0.txt"
        with pytest.raises(ValueError, match="^path: embedded null byte$"):
            model.save(path) if method == "save" else ZUN.load(path)
        assert not [p for p in tmp_path.iterdir() if p.name.startswith("model.zun")]

    def test_non_ascii_path(self, model, tmp_path):
        path = str(tmp_path / "mod\u00e8le \u2013 1.zun")
        model.save(path)
        assert ZUN.load(path).stage_predictors[0].scaling_plus == model.stage_predictors[0].scaling_plus


def frozen(a, directory):
    """A copy of `a` in memory mapped read-only: a write from C would fault."""
    path = directory / f"frozen-{len(list(directory.iterdir()))}.bin"
    path.write_bytes(np.ascontiguousarray(a).tobytes())
    with open(path, "rb") as file:
        mapping = mmap.mmap(file.fileno(), 0, prot=mmap.PROT_READ) if a.size else b""
    result = np.frombuffer(mapping, dtype=np.float64).reshape(a.shape)
    assert not result.flags.writeable
    return result


class TestInputsUntouched:
    @pytest.mark.parametrize("taker", MATRIX_TAKERS)
    @pytest.mark.parametrize("strided", [False, True], ids=["contiguous", "strided"])
    def test_inputs_are_never_written(self, rng, stages, predictors, tmp_path, taker, strided):
        if taker.endswith("fit"):
            x = rng.normal(size=(9, N_FEATURES))
        else:
            x = query_matrix(rng, [s.primary for s in stages], 9, N_FEATURES)
        y = rng.normal(size=9)
        if strided:
            # Read-only Fortran order with a negative row stride, and stride 2.
            x_in = frozen(x[::-1].T, tmp_path).T[::-1]
            y_in = frozen(np.repeat(y, 2), tmp_path)[::2]
            assert not x_in.flags.c_contiguous and not y_in.flags.c_contiguous
        else:
            x_in, y_in = frozen(x, tmp_path), frozen(y, tmp_path)
        np.testing.assert_array_equal(x_in, x)
        np.testing.assert_array_equal(y_in, y)
        x_copy, y_copy = x_in.copy(), y_in.copy()
        takers = dict(predictors)
        takers["ZUN.fit"] = lambda m: small_zun_fit(m, y_in)
        takers["GridTensor.fit"] = lambda m: small_grid_fit(m, y_in)
        accepted(lambda: takers[taker](x_in))
        np.testing.assert_array_equal(x_in, x_copy)
        np.testing.assert_array_equal(y_in, y_copy)

    def test_writeable_inputs_unchanged(self, rng, stages, predictors):
        x = query_matrix(rng, [s.primary for s in stages], 9, N_FEATURES)
        y = rng.normal(size=9)
        x_copy, y_copy = x.copy(), y.copy()
        for predict in predictors.values():
            predict(x)
            predict(x[::-1, ::-1])
        finite = np.nan_to_num(x, posinf=3.0, neginf=-3.0)
        finite_copy = finite.copy()
        for fit in (small_zun_fit, small_grid_fit):
            accepted(lambda: fit(finite, y))
            accepted(lambda: fit(finite[::-1, ::-1], y[::-1]))
        np.testing.assert_array_equal(finite, finite_copy)
        np.testing.assert_array_equal(x, x_copy)
        np.testing.assert_array_equal(y, y_copy)
        assert x.flags.writeable and y.flags.writeable


class TestResults:
    @pytest.mark.parametrize("taker", ["ZUN.predict", "StagePredictor.predict", "GridTensor.predict"])
    def test_predict_returns_a_new_owned_float64_vector(self, predictors, taker):
        x = np.ones((4, N_FEATURES))
        first = predictors[taker](x)
        assert type(first) is np.ndarray
        assert first.dtype == np.float64 and first.shape == (4,)
        assert first.flags.c_contiguous and first.flags.writeable and first.flags.owndata
        assert not np.shares_memory(first, x)
        first[:] = 12345.0
        second = predictors[taker](x)
        assert not np.shares_memory(first, second)
        assert not np.any(second == 12345.0)

    @pytest.mark.parametrize("taker", ["ZUN.predict", "StagePredictor.predict", "GridTensor.predict"])
    def test_predict_without_rows(self, predictors, taker):
        result = predictors[taker](np.zeros((0, N_FEATURES)))
        assert result.shape == (0,) and result.dtype == np.float64
