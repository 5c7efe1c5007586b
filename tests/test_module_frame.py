import inspect
import re
import weakref

import numpy as np
import pytest

import _zunmerak
from _zunmerak import ZUN, FitResult, GridTensor, StagePredictor
from model_bytes import Grid, Stage, encode_model

CLASSES = [GridTensor, FitResult, StagePredictor, ZUN]

ZUN_FIT_SIGNATURE = (
    '($cls, x, y, epochs, decay=1.0, n_trees=10, n_iter=10, split_try=10, colsample_bytree=0.8, '
    'alpha=0.0, complexity_penalty=0.0, min_split_loss=0.0, min_interval_samples=1, '
    'refinement_strategy="l2", prior_sample_size=0.0, update_clamp=..., tilt_tau=0.01, tilt_rho=0.0, '
    'split_strategy="random", top_k=10, must_fill_all_k=True, similarity_threshold=0.0, bagged=False, '
    'seed=42, verbosity=1, visualdb=None, max_bins=None, n_threads=None, callback=None, '
    'row_partitions=None, x_valid=None, y_valid=None, n_iter_no_change=None, tol=0.0, '
    'colsample_eligible=False, scaling_ridge=0.0)'
)


@pytest.fixture
def model(load_model):
    grid = Grid(splits=[[0.0], []], backbone=[[1.0, 2.0], [1.5]], tilt=[[0.0, 0.5], [0.1]])
    return load_model(encode_model([Stage(primary=grid, trees=[grid])]))


@pytest.fixture
def instances(model):
    stage = model.stage_predictors[0]
    return {ZUN: model, StagePredictor: stage, GridTensor: stage.combined_grid_tensor}


class TestModule:
    def test_all_lists_the_classes_in_registration_order(self):
        assert _zunmerak.__all__ == ["GridTensor", "FitResult", "StagePredictor", "ZUN"]

    def test_public_names_are_exactly_the_classes(self):
        public = sorted(name for name in dir(_zunmerak) if not name.startswith("_"))
        assert public == sorted(_zunmerak.__all__)
        assert _zunmerak.__doc__ == ""


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
class TestClassFrame:
    def test_names(self, cls):
        assert cls.__module__ == "builtins"
        assert cls.__qualname__ == cls.__name__
        assert cls.__doc__.strip()
        assert cls.__bases__ == (object,)

    def test_cannot_be_constructed(self, cls):
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            cls.__new__(cls)

    def test_cannot_be_subclassed(self, cls):
        with pytest.raises(TypeError):
            type("Derived", (cls,), {})


@pytest.mark.parametrize("cls", [GridTensor, StagePredictor, ZUN], ids=lambda c: c.__name__)
class TestInstances:
    def test_no_instance_dict_and_no_weak_references(self, cls, instances):
        obj = instances[cls]
        assert not hasattr(obj, "__dict__")
        with pytest.raises(AttributeError):
            obj.anything = 1
        with pytest.raises(TypeError):
            weakref.ref(obj)

    def test_getters_are_read_only(self, cls, instances):
        obj = instances[cls]
        getters = [name for name, value in vars(cls).items() if inspect.isgetsetdescriptor(value)]
        assert getters
        for name in getters:
            with pytest.raises(AttributeError):
                setattr(obj, name, getattr(obj, name))
            with pytest.raises(AttributeError):
                delattr(obj, name)


def test_getter_names():
    def getters(cls):
        return {name for name, value in vars(cls).items() if inspect.isgetsetdescriptor(value)}

    assert getters(GridTensor) == {"splits", "intervals", "backbone_values", "tilt_values", "mean_factor",
                                   "grid_values", "scaling", "lambda_plus", "lambda_minus"}
    assert getters(StagePredictor) == {"grid_tensors", "combined_grid_tensor", "candidate_indices",
                                       "scaling_plus", "scaling_minus"}
    assert getters(FitResult) == {"err", "residuals", "y_hat", "epoch_errors", "stopped_early",
                                  "validation_errors", "best_epoch"}
    assert "stage_predictors" in getters(ZUN)


class TestSignatures:
    @pytest.mark.parametrize("method, signature", [
        (GridTensor.fit,
         "($cls, x, y, n_iter, split_try, colsample_bytree, complexity_penalty=0.0, seed=42, max_bins=None, "
         "callback=None)"),
        (GridTensor.predict, "($self, x)"),
        (StagePredictor.predict, "($self, x)"),
        (ZUN.fit, ZUN_FIT_SIGNATURE),
        (ZUN.predict, "($self, x)"),
        (ZUN.save, "($self, path)"),
        (ZUN.load, "($cls, path)"),
    ], ids=lambda v: getattr(v, "__qualname__", None))
    def test_text_signature(self, method, signature):
        assert method.__text_signature__ == signature
        # The line must be one that help() and inspect can parse.
        inspect.signature(method)

    @pytest.mark.parametrize("method", [GridTensor.fit, ZUN.fit], ids=lambda m: m.__qualname__)
    def test_fits_document_their_callback_and_interruption(self, method):
        doc = method.__doc__
        for text in ["callback : callable or None", "FitProgress", "False", "KeyboardInterrupt", "stopped_early",
                     "sys.stdout"]:
            assert text in doc, text

    @pytest.mark.parametrize("method", [GridTensor.fit, ZUN.fit], ids=lambda m: m.__qualname__)
    def test_fit_documents_every_parameter(self, method):
        documented = set(re.findall(r"^(\w+(?:, \w+)*) :", method.__doc__, flags=re.MULTILINE))
        names = {name for entry in documented for name in entry.split(", ")}
        assert names == set(inspect.signature(method).parameters)
        assert "Returns" in method.__doc__ and "Raises" in method.__doc__

    @pytest.mark.parametrize("method", [GridTensor.predict, StagePredictor.predict], ids=lambda m: m.__qualname__)
    def test_predict_of_a_part_documents_the_leading_features(self, method):
        assert "fewer columns than the grid tensor has features" in method.__doc__
        assert "leading features" in method.__doc__

    def test_zun_fit_parameters_and_defaults(self):
        parameters = inspect.signature(ZUN.fit).parameters
        assert list(parameters)[:3] == ["x", "y", "epochs"]
        assert len(parameters) == 35
        optional = ["max_bins", "n_threads", "callback", "row_partitions", "x_valid", "y_valid", "n_iter_no_change"]
        assert list(parameters)[-10:] == optional + ["tol", "colsample_eligible", "scaling_ridge"]
        assert all(parameters[name].default is None for name in optional)
        assert parameters["tol"].default == 0.0
        assert parameters["colsample_eligible"].default is False
        assert parameters["scaling_ridge"].default == 0.0
        assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters.values())
        assert parameters["update_clamp"].default is Ellipsis
        assert parameters["visualdb"].default is None
        assert parameters["max_bins"].default is None
        assert parameters["must_fill_all_k"].default is True

    @pytest.mark.parametrize("method, first_line", [
        (ZUN.save, "Save the ZUN model to a binary file (preserves exact floating point values)."),
        (ZUN.load, None),
    ], ids=["save", "load"])
    def test_save_and_load_docstrings(self, method, first_line):
        doc = method.__doc__
        lines = doc.strip().splitlines()
        if first_line is not None:
            assert lines[0] == first_line
        assert "binary file" in lines[0]
        assert "same-version-only" in doc
        assert "load in" in doc and "portability" in doc


class TestBinding:
    @pytest.fixture
    def x(self):
        return np.zeros((2, 2))

    @pytest.mark.parametrize("target, call, method, parameter", [
        ("zun", lambda o, x: o.predict(), "ZUN.predict()", "'x'"),
        ("zun", lambda o, x: o.predict(x, z=1), "ZUN.predict()", "'z'"),
        ("zun", lambda o, x: o.predict(x, x=x), "ZUN.predict()", "'x'"),
        ("zun", lambda o, x: o.predict(x, x), "ZUN.predict()", None),
        ("zun", lambda o, x: o.save(), "ZUN.save()", "'path'"),
        ("zun", lambda o, x: o.save("p", filename="p"), "ZUN.save()", "'filename'"),
        ("zun", lambda o, x: ZUN.load(), "ZUN.load()", "'path'"),
        ("zun", lambda o, x: ZUN.load("a", "b"), "ZUN.load()", None),
        ("zun", lambda o, x: ZUN.fit(x, np.zeros(2)), "ZUN.fit()", "'epochs'"),
        ("zun", lambda o, x: ZUN.fit(x, np.zeros(2), 1, epochs=1), "ZUN.fit()", "'epochs'"),
        ("zun", lambda o, x: ZUN.fit(x, np.zeros(2), 1, learning_rate=0.1), "ZUN.fit()", "'learning_rate'"),
        ("zun", lambda o, x: ZUN.fit(*([x, np.zeros(2)] + [1] * 34)), "ZUN.fit()", None),
        ("grid", lambda o, x: o.predict(), "GridTensor.predict()", "'x'"),
        ("grid", lambda o, x: o.predict(X=x), "GridTensor.predict()", "'X'"),
        ("grid", lambda o, x: GridTensor.fit(x, np.zeros(2), 1), "GridTensor.fit()", "'split_try'"),
        ("grid", lambda o, x: GridTensor.fit(x, np.zeros(2), 1, 1, 1.0, seed=1, random_state=1),
         "GridTensor.fit()", "'random_state'"),
        ("grid", lambda o, x: GridTensor.fit(x, np.zeros(2), 1, 1, 1.0, 0.0, 1, None, None, 1), "GridTensor.fit()", None),
        ("stage", lambda o, x: o.predict(x, x), "StagePredictor.predict()", None),
        ("stage", lambda o, x: o.predict(y=x), "StagePredictor.predict()", "'y'"),
    ])
    def test_binding_errors_name_method_and_parameter(self, instances, x, target, call, method, parameter):
        obj = {"zun": instances[ZUN], "grid": instances[GridTensor], "stage": instances[StagePredictor]}[target]
        with pytest.raises(TypeError) as error:
            call(obj, x)
        message = str(error.value)
        assert method in message
        if parameter is not None:
            assert parameter in message

    def test_binding_is_checked_before_conversion(self):
        # x is not an array, but the unknown keyword is what gets reported.
        with pytest.raises(TypeError, match="'bogus'"):
            ZUN.fit([[1.0]], [1.0], 1, bogus=1)

    def test_keyword_arguments_bind_by_name(self, instances, x):
        model = instances[ZUN]
        np.testing.assert_array_equal(model.predict(x=x), model.predict(x))

    @pytest.mark.parametrize("call", [
        lambda i, x: ZUN.predict(i[GridTensor], x),
        lambda i, x: GridTensor.predict(i[ZUN], x),
        lambda i, x: StagePredictor.predict(i[GridTensor], x),
        lambda i, x: ZUN.save(i[StagePredictor], "unused"),
        lambda i, x: ZUN.predict(None, x),
        lambda i, x: ZUN.__dict__["stage_predictors"].__get__(i[GridTensor]),
        lambda i, x: GridTensor.__dict__["splits"].__get__(i[ZUN]),
    ])
    def test_wrong_self_is_refused(self, instances, x, call, tmp_path, monkeypatch):
        workdir = tmp_path / "cwd"
        workdir.mkdir()
        monkeypatch.chdir(workdir)
        with pytest.raises(TypeError):
            call(instances, x)
        assert list(workdir.iterdir()) == []
