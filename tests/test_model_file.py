import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _zunmerak import ZUN, GridTensor, StagePredictor
from model_bytes import (
    INF, Bounds, Grid, Stage, bits_of, encode_grid, encode_model, float_from_bits, grid_parts,
    intervals_from_splits, model_size, query_matrix, random_grid, random_stage, reference_components,
    reference_grid_predict, reference_mean_factor, reference_model_predict, reference_stage_predict,
    stage_field_offset, u64,
)

PREFIX = "Failed to deserialize ZUN model: "
END_OF_FILE = PREFIX + "io error: unexpected end of file"

NAN_WITH_PAYLOAD = float_from_bits(0x7FF8_0000_0000_0ABC)
NEGATIVE_NAN = float_from_bits(0xFFF8_0000_0000_1234)
SIGNALING_NAN = float_from_bits(0x7FF0_0000_0000_0001)


def bit_equal(a, b):
    """Nested lists/tuples of floats equal bit for bit (NaN payloads, signed zeros)."""
    if isinstance(a, (list, tuple)):
        return type(a) is type(b) and len(a) == len(b) and all(bit_equal(u, v) for u, v in zip(a, b))
    return type(a) is float and type(b) is float and bits_of(a) == bits_of(b)


def saved_bytes(model, path):
    model.save(path)
    with open(path, "rb") as file:
        return file.read()


def small_valid_stages():
    """Two stages touching every field, all optionals present in the first."""
    grid = Grid(splits=[[-1.0, 0.5], []], backbone=[[1.0, 2.0, 0.5], [1.5]], tilt=[[0.1, 0.0, -0.2], [0.3]],
                lambda_plus=1.25, lambda_minus=0.75, scaling=2.0)
    return [
        Stage(primary=grid, trees=[grid], candidate_indices=[0], aggregation=1,
              scaling_plus=0.5, scaling_minus=0.25, energy=3.0),
        Stage(primary=Grid(splits=[[0.0], []], backbone=[[2.0, 3.0], [1.0]], tilt=[[0.0, 0.0], [0.5]])),
    ]


class TestRoundTrip:
    @pytest.mark.parametrize("n_stages, n_features", [(0, 2), (1, 1), (3, 3), (2, 0)])
    def test_random_models_save_back_the_same_bytes(self, rng, load_model, model_path, n_stages, n_features):
        stages = [random_stage(rng, n_features, n_trees=int(rng.integers(0, 3))) for _ in range(n_stages)]
        for stage in stages[1:]:
            # Absent optionals in every position.
            stage.candidate_indices = stage.scaling_plus = stage.scaling_minus = stage.energy = None
        data = encode_model(stages)
        assert len(data) == model_size(stages)
        model = load_model(data)
        assert saved_bytes(model, model_path) == data
        assert saved_bytes(ZUN.load(model_path), model_path) == data

    def test_special_values_round_trip_bit_for_bit(self, load_model, model_path):
        grid = Grid(
            splits=[[-1.0, 0.0, NAN_WITH_PAYLOAD, SIGNALING_NAN], [NEGATIVE_NAN]],
            backbone=[[-0.0, 1.0, 5e-324, INF, 2.0], [0.0, -0.0]],
            tilt=[[-0.0, NAN_WITH_PAYLOAD, -INF, 0.0, 1.0], [1.0, 2.0]],
            observation_counts=[[0, 2**64 - 1, 3, 4, 5], [7, 8]],
            intervals=[[(-INF, -1.0), (-1.0, 0.0), (0.0, NAN_WITH_PAYLOAD), (NEGATIVE_NAN, -0.0), (-0.0, INF)],
                       [(-INF, NEGATIVE_NAN), (NEGATIVE_NAN, INF)]],
            lambda_plus=-0.0, lambda_minus=NEGATIVE_NAN, scaling=SIGNALING_NAN,
        )
        stage = Stage(primary=grid, trees=[grid, grid], candidate_indices=[2**64 - 1, 0, 1], aggregation=0,
                      scaling_plus=-0.0, scaling_minus=NAN_WITH_PAYLOAD, energy=-INF)
        data = encode_model([stage])
        model = load_model(data)
        assert saved_bytes(model, model_path) == data

        stage_object = model.stage_predictors[0]
        combined = stage_object.combined_grid_tensor
        # Quiet NaNs only: a signalling NaN may be quieted on its way through Python floats.
        assert bits_of(combined.splits[0][2]) == bits_of(NAN_WITH_PAYLOAD)
        assert bits_of(combined.splits[1][0]) == bits_of(NEGATIVE_NAN)
        assert bits_of(combined.backbone_values[0][0]) == bits_of(-0.0)
        assert bits_of(combined.intervals[0][2][1]) == bits_of(NAN_WITH_PAYLOAD)
        assert bits_of(combined.lambda_plus) == bits_of(-0.0)
        assert bits_of(stage_object.scaling_plus) == bits_of(-0.0)
        assert bits_of(stage_object.scaling_minus) == bits_of(NAN_WITH_PAYLOAD)
        assert stage_object.candidate_indices == [2**64 - 1, 0, 1]

    @pytest.mark.parametrize("stored, decoded", [
        (Bounds((None, None)), (-INF, INF)),
        (Bounds((-INF, INF)), (-INF, INF)),  # written back as absent bounds
        (Bounds((INF, -INF)), (INF, -INF)),  # the other infinities are ordinary bounds
        (Bounds((math.nan, math.nan)), (math.nan, math.nan)),
        (Bounds((1.0, None)), (1.0, INF)),
        (Bounds((None, -2.0)), (-INF, -2.0)),
        (Bounds((-1e308, 1e308)), (-1e308, 1e308)),
    ], ids=str)
    def test_interval_bounds(self, load_model, model_path, stored, decoded):
        def model_with(entry):
            grid = Grid(splits=[[]], backbone=[[1.0]], tilt=[[0.0]], intervals=[[entry]])
            return encode_model([Stage(primary=grid)])

        model = load_model(model_with(stored))
        assert bit_equal(model.stage_predictors[0].combined_grid_tensor.intervals, [[decoded]])
        assert saved_bytes(model, model_path) == model_with(decoded)


class TestSizes:
    def test_model_without_stages_is_eight_zero_bytes(self, load_model, model_path):
        assert encode_model([]) == bytes(8)
        model = load_model(bytes(8))
        assert model.stage_predictors == []
        assert saved_bytes(model, model_path) == bytes(8)
        np.testing.assert_array_equal(model.predict(np.ones((4, 3))), np.zeros(4))
        np.testing.assert_array_equal(model.predict(np.ones((4, 0))), np.zeros(4))

    def test_one_feature_without_thresholds(self, load_model, model_path):
        grid = Grid(splits=[[]], backbone=[[1.0]], tilt=[[0.0]])
        assert len(encode_grid(grid)) == 138
        parts = dict(grid_parts(grid))
        assert [len(parts[n]) for n in ("splits", "observation_counts", "intervals", "scaling",
                                        "backbone_values", "tilt_values", "lambda_plus", "lambda_minus")] == \
               [16, 24, 26, 8, 24, 24, 8, 8]
        # stage count + tree count + grid + absent candidates + variant + three absent optionals
        model = load_model(encode_model([Stage(primary=grid)]))
        assert len(saved_bytes(model, model_path)) == 8 + 8 + 138 + 1 + 4 + 3
        model = load_model(encode_model([Stage(primary=grid, trees=[grid], candidate_indices=[0],
                                               scaling_plus=1.0, scaling_minus=1.0, energy=1.0)]))
        assert len(saved_bytes(model, model_path)) == 8 + 8 + 138 + 138 + (9 + 8) + 4 + 3 * 9

    @pytest.mark.parametrize("thresholds", [[0], [1], [2, 0, 5], [1, 1, 1, 1]])
    def test_grid_size_formula(self, load_model, model_path, thresholds):
        grid = Grid(splits=[[float(v) for v in range(m)] for m in thresholds],
                    backbone=[[1.0] * (m + 1) for m in thresholds], tilt=[[0.0] * (m + 1) for m in thresholds])
        expected = 64 + sum(74 + 58 * m for m in thresholds)
        assert len(encode_grid(grid)) == expected
        model = load_model(encode_model([Stage(primary=grid)]))
        assert len(saved_bytes(model, model_path)) == 8 + 8 + expected + 1 + 4 + 3

    def test_save_replaces_longer_content(self, load_model, model_path):
        with open(model_path, "wb") as file:
            file.write(b"\xff" * 5000)
        load_model(bytes(8)).save(model_path)
        with open(model_path, "rb") as file:
            assert file.read() == bytes(8)


class TestGridTensorGetters:
    def test_getters_read_the_record(self, rng, load_model):
        grid = random_grid(rng, 4, max_thresholds=5)
        grid.splits[0] = []  # one feature without thresholds
        grid.backbone[0], grid.tilt[0] = [1.5], [0.25]
        tensor = load_model(encode_model([Stage(primary=grid)])).stage_predictors[0].combined_grid_tensor
        assert bit_equal(tensor.splits, grid.splits)
        assert bit_equal(tensor.intervals, [[tuple(p) for p in row] for row in intervals_from_splits(grid.splits)])
        assert tensor.intervals[0] == [(-INF, INF)]
        for row in tensor.intervals:
            assert row[0][0] == -INF and row[-1][1] == INF
        assert bit_equal(tensor.backbone_values, grid.backbone)
        assert bit_equal(tensor.tilt_values, grid.tilt)
        assert bit_equal(tensor.mean_factor, reference_mean_factor(grid))
        assert bit_equal(tensor.grid_values, tensor.mean_factor)
        assert bit_equal([tensor.scaling, tensor.lambda_plus, tensor.lambda_minus],
                         [grid.scaling, grid.lambda_plus, grid.lambda_minus])

    def test_mean_factor_equals_backbone_without_tilt(self, load_model):
        grid = Grid(splits=[[0.0, 1.0], [2.0]], backbone=[[0.5, 1.5, 3.0], [2.0, 0.25]],
                    tilt=[[0.0, 0.0, 0.0], [0.7, -0.7]])
        tensor = load_model(encode_model([Stage(primary=grid)])).stage_predictors[0].combined_grid_tensor
        assert tensor.mean_factor[0] == [0.5, 1.5, 3.0]
        assert tensor.grid_values[1] == [2.0 * math.cosh(0.7), 0.25 * math.cosh(-0.7)]

    def test_mean_factor_pairs_the_shorter_lists(self, load_model):
        grid = Grid(splits=[[0.0], [1.0], []], backbone=[[1.0, 2.0], [3.0], [4.0]], tilt=[[0.5], [0.0, 1.0]])
        tensor = load_model(encode_model([Stage(primary=grid)])).stage_predictors[0].combined_grid_tensor
        assert tensor.mean_factor == [[1.0 * math.cosh(0.5)], [3.0]]

    def test_getters_return_fresh_copies(self, load_model):
        grid = Grid(splits=[[0.0]], backbone=[[1.0, 2.0]], tilt=[[0.0, 0.0]])
        tensor = load_model(encode_model([Stage(primary=grid)])).stage_predictors[0].combined_grid_tensor
        for name in ("splits", "intervals", "backbone_values", "tilt_values", "mean_factor"):
            first = getattr(tensor, name)
            assert first is not getattr(tensor, name)
            first[0].append(99.0)
            first.append([])
            assert getattr(tensor, name) != first
        assert tensor.splits == [[0.0]]


class TestStagePredictorGetters:
    def test_trees_and_combined_grid_tensor(self, rng, load_model):
        stage = random_stage(rng, 2, n_trees=3)
        stage_object = load_model(encode_model([stage])).stage_predictors[0]
        trees = stage_object.grid_tensors
        assert type(trees) is list and [type(t) for t in trees] == [GridTensor] * 3
        for tree, expected in zip(trees, stage.trees):
            assert bit_equal(tree.splits, expected.splits)
            assert bit_equal(tree.backbone_values, expected.backbone)
            assert tree.lambda_plus == expected.lambda_plus
        first, second = stage_object.combined_grid_tensor, stage_object.combined_grid_tensor
        assert first is not second
        for name in ("splits", "intervals", "backbone_values", "tilt_values", "mean_factor", "scaling",
                     "lambda_plus", "lambda_minus"):
            assert getattr(first, name) == getattr(second, name)
        assert bit_equal(first.splits, stage.primary.splits)
        assert stage_object.grid_tensors[0] is not trees[0]

    @pytest.mark.parametrize("candidates, scaling_plus, scaling_minus", [
        (None, None, None), ([], 2.0, None), ([1, 0], None, 3.0), ([2**64 - 1], -1.5, 0.0),
    ])
    def test_optional_fields(self, load_model, candidates, scaling_plus, scaling_minus):
        grid = Grid(splits=[[]], backbone=[[1.0]], tilt=[[0.0]])
        stage = Stage(primary=grid, candidate_indices=candidates, scaling_plus=scaling_plus,
                      scaling_minus=scaling_minus)
        stage_object = load_model(encode_model([stage])).stage_predictors[0]
        assert stage_object.candidate_indices == ([] if candidates is None else candidates)
        assert stage_object.scaling_plus == scaling_plus and type(stage_object.scaling_plus) is type(scaling_plus)
        assert stage_object.scaling_minus == scaling_minus and type(stage_object.scaling_minus) is type(scaling_minus)

    def test_copies_outlive_their_model(self, rng, load_model):
        stage = random_stage(rng, 2)
        model = load_model(encode_model([stage]))
        stage_object = model.stage_predictors[0]
        tensor = stage_object.combined_grid_tensor
        del model
        x = query_matrix(rng, [stage.primary], 7, 2)
        np.testing.assert_array_equal(tensor.predict(x), reference_grid_predict(stage.primary, x))
        del stage_object
        assert bit_equal(tensor.splits, stage.primary.splits)

    def test_stage_predictors_in_order_and_copied_each_time(self, rng, load_model):
        stages = [random_stage(rng, 1) for _ in range(4)]
        model = load_model(encode_model(stages))
        first, second = model.stage_predictors, model.stage_predictors
        assert first is not second and type(first) is list
        assert all(type(s) is StagePredictor for s in first)
        assert all(a is not b for a, b in zip(first, second))
        assert [s.scaling_plus for s in first] == [s.scaling_plus for s in stages]
        first.clear()
        assert len(model.stage_predictors) == 4


class TestPrediction:
    @pytest.mark.parametrize("n_features, dropped_columns", [(3, 0), (3, 1), (3, 3), (1, 0)])
    def test_every_level_matches_the_reference(self, rng, load_model, n_features, dropped_columns):
        stages = [random_stage(rng, n_features, n_trees=2) for _ in range(3)]
        model = load_model(encode_model(stages))
        grids = [s.primary for s in stages] + [t for s in stages for t in s.trees]
        x = query_matrix(rng, grids, 40, n_features)[:, :n_features - dropped_columns]
        if dropped_columns:
            # Only a whole model refuses fewer columns; its stages and grid
            # tensors evaluate the leading features.
            with pytest.raises(ValueError, match=f"^x has {x.shape[1]} columns but the model has {n_features} features$"):
                model.predict(x)
        prediction = reference_model_predict(stages, x) if dropped_columns else model.predict(x)
        np.testing.assert_array_equal(prediction, reference_model_predict(stages, x))
        total = np.zeros(len(x))
        for stage, stage_object in zip(stages, model.stage_predictors):
            part = stage_object.predict(x)
            np.testing.assert_array_equal(part, reference_stage_predict(stage, x))
            np.testing.assert_array_equal(stage_object.combined_grid_tensor.predict(x),
                                          reference_grid_predict(stage.primary, x))
            for tree, tree_object in zip(stage.trees, stage_object.grid_tensors):
                np.testing.assert_array_equal(tree_object.predict(x), reference_grid_predict(tree, x))
            total = total + part
        np.testing.assert_array_equal(prediction, total)

    def test_interval_location(self, load_model):
        # Intervals [-inf, 0), [0, 1), [1, inf); NaN goes to the first.
        grid = Grid(splits=[[0.0, 1.0]], backbone=[[1.0, 2.0, 4.0]], tilt=[[0.0, 0.0, 0.0]],
                    lambda_plus=1.0, lambda_minus=0.0)
        model = load_model(encode_model([Stage(primary=grid)]))
        x = np.array([[-1.0], [0.0], [-0.0], [0.5], [1.0], [2.0], [math.nan], [-INF], [INF],
                      [np.nextafter(0.0, -1.0)], [np.nextafter(1.0, 2.0)]])
        expected = np.array([1.0, 2.0, 2.0, 2.0, 4.0, 4.0, 1.0, 1.0, 4.0, 1.0, 4.0])
        np.testing.assert_array_equal(model.predict(x), expected)
        np.testing.assert_array_equal(model.stage_predictors[0].combined_grid_tensor.predict(x), expected)

    @pytest.mark.parametrize("scaling_plus, scaling_minus", [
        (None, None), (2.0, 3.0), (2.0, None), (None, 3.0), (0.0, -1.0),
    ])
    def test_stage_scalings(self, rng, load_model, scaling_plus, scaling_minus):
        grid = random_grid(rng, 2)
        grid.lambda_minus = 0.75  # f- must matter
        stage = Stage(primary=grid, scaling_plus=scaling_plus, scaling_minus=scaling_minus)
        x = query_matrix(rng, [grid], 25, 2)
        plus, minus = reference_components(grid, x, clamp=True)
        s_plus = 1.0 if scaling_plus is None else scaling_plus
        s_minus = 0.0 if scaling_minus is None else scaling_minus
        expected = s_plus * plus - s_minus * minus
        model = load_model(encode_model([stage]))
        np.testing.assert_array_equal(model.stage_predictors[0].predict(x), expected)
        np.testing.assert_array_equal(model.predict(x), expected)
        if scaling_plus is None and scaling_minus is None:
            np.testing.assert_array_equal(model.predict(x), plus)

    def test_grid_scaling_is_not_applied(self, load_model):
        grid = Grid(splits=[[]], backbone=[[2.0]], tilt=[[0.0]], lambda_plus=1.0, lambda_minus=0.5, scaling=10.0)
        model = load_model(encode_model([Stage(primary=grid, scaling_plus=1.0, scaling_minus=1.0)]))
        np.testing.assert_array_equal(model.predict(np.zeros((2, 1))), [1.0, 1.0])
        np.testing.assert_array_equal(model.stage_predictors[0].combined_grid_tensor.predict(np.zeros((2, 1))),
                                      [1.0, 1.0])

    def test_grid_without_features(self, load_model):
        grid = Grid(splits=[], backbone=[], tilt=[], lambda_plus=3.0, lambda_minus=1.0)
        model = load_model(encode_model([Stage(primary=grid, scaling_plus=2.0, scaling_minus=1.0)]))
        np.testing.assert_array_equal(model.predict(np.zeros((3, 0))), [5.0] * 3)
        np.testing.assert_array_equal(model.stage_predictors[0].combined_grid_tensor.predict(np.zeros((3, 0))),
                                      [2.0] * 3)
        with pytest.raises(ValueError):
            model.predict(np.zeros((3, 1)))


def predict_paths(model):
    stage = model.stage_predictors[0]
    return {
        "ZUN": model.predict,
        "StagePredictor": stage.predict,
        "GridTensor": stage.combined_grid_tensor.predict,
    }


class TestMalformedModels:
    @pytest.mark.parametrize("path", ["ZUN", "StagePredictor", "GridTensor"])
    def test_more_columns_than_features(self, rng, load_model, path):
        model = load_model(encode_model([random_stage(rng, 2)]))
        with pytest.raises(ValueError) as error:
            predict_paths(model)[path](np.zeros((4, 3)))
        message = str(error.value)
        assert "3" in message and "2" in message

    # Records a file can hold but a fit never makes; evaluation must refuse
    # them (or clamp, where the stage evaluation defines a clamp) and never
    # read out of bounds.
    MALFORMED = {
        "feature without backbone values": (
            Grid(splits=[[]], backbone=[[]], tilt=[[]]), "error", "error"),
        "feature with thresholds but no values": (
            Grid(splits=[[0.0, 1.0]], backbone=[[]], tilt=[[]]), "error", "error"),
        "fewer backbone values than intervals": (
            Grid(splits=[[0.0, 1.0, 2.0]], backbone=[[1.0, 2.0]], tilt=[[0.5, -0.5]]), "error", "clamp"),
        "fewer tilt values than backbone values": (
            Grid(splits=[[0.0]], backbone=[[1.0, 2.0]], tilt=[[0.5]]), "error", "error"),
        "fewer tilt values than intervals": (
            Grid(splits=[[0.0, 1.0]], backbone=[[1.0, 2.0]], tilt=[[0.1, 0.2]]), "error", "clamp"),
        "fewer splits lists than columns": (
            Grid(splits=[[0.0]], backbone=[[1.0, 2.0], [3.0]], tilt=[[0.0, 0.0], [0.0]]), "error", "error"),
        "fewer backbone lists than columns": (
            Grid(splits=[[0.0], []], backbone=[[1.0, 2.0]], tilt=[[0.0, 0.0], [0.0]]), "error", "error"),
        "fewer tilt lists than columns": (
            Grid(splits=[[0.0], []], backbone=[[1.0, 2.0], [3.0]], tilt=[[0.0, 0.0]]), "error", "error"),
    }

    @pytest.mark.parametrize("case", MALFORMED)
    def test_evaluation_refuses_or_clamps(self, load_model, case):
        grid, grid_outcome, stage_outcome = self.MALFORMED[case]
        stage = Stage(primary=grid, trees=[grid], scaling_plus=1.5, scaling_minus=0.5)
        model = load_model(encode_model([stage]))
        columns = max(len(grid.splits), len(grid.backbone), len(grid.tilt))
        x = np.array([[v] * columns for v in (-5.0, 0.0, 0.5, 1.0, 1.5, 2.0, 9.0, math.nan)])
        paths = predict_paths(model)
        paths["tree"] = model.stage_predictors[0].grid_tensors[0].predict
        for name, outcome in [("GridTensor", grid_outcome), ("tree", grid_outcome),
                              ("StagePredictor", stage_outcome), ("ZUN", stage_outcome)]:
            if outcome == "error":
                with pytest.raises(ValueError):
                    paths[name](x)
            else:
                np.testing.assert_array_equal(paths[name](x), reference_stage_predict(stage, x), err_msg=name)


def corrupt(data, offset, replacement):
    return data[:offset] + replacement + data[offset + len(replacement):]


def load_with_memory_limit(paths, predict=False):
    """Loads each file in a child process whose address space is capped.

    A decoder that trusts a forged count fails there with MemoryError or a
    crash instead of exhausting the test machine. Returns one line per file.
    """
    script = textwrap.dedent(f"""
        import resource
        import numpy as np
        from _zunmerak import ZUN
        with open("/proc/self/status") as status:
            size_kb = next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))
        limit = size_kb * 1024 + 512 * 2**20
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        x = np.array([[0.0, 1.0], [float("nan"), -3.0]])
        for path in {[str(p) for p in paths]!r}:
            try:
                model = ZUN.load(path)
            except ValueError as error:
                print("ValueError:", error)
                continue
            if not {predict!r}:
                print("loaded")
                continue
            try:
                model.predict(x)
                print("loaded")
            except ValueError:
                print("loaded, predict refused")
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    lines = result.stdout.splitlines()
    assert len(lines) == len(paths), result.stdout[-2000:]
    return lines


class TestDecodeFailures:
    def test_empty_file(self, load_model):
        with pytest.raises(ValueError) as error:
            load_model(b"")
        assert str(error.value) == END_OF_FILE

    def test_every_truncation_fails(self, load_model):
        data = encode_model(small_valid_stages())
        for length in range(len(data)):
            with pytest.raises(ValueError) as error:
                load_model(data[:length])
            assert str(error.value) == END_OF_FILE, length

    @pytest.mark.parametrize("extra", [b"\x00", b"\xff" * 3, bytes(1000)])
    def test_appended_bytes_are_ignored(self, rng, load_model, model_path, extra):
        stages = small_valid_stages()
        data = encode_model(stages)
        model = load_model(data + extra)
        assert saved_bytes(model, model_path) == data
        x = query_matrix(rng, [s.primary for s in stages], 10, 2)
        np.testing.assert_array_equal(model.predict(x), reference_model_predict(stages, x))

    @pytest.mark.parametrize("field", ["candidate_indices", "scaling_plus", "scaling_minus", "energy"])
    @pytest.mark.parametrize("tag", [2, 255])
    def test_invalid_optional_tag(self, load_model, field, tag):
        stages = small_valid_stages()
        data = encode_model(stages)
        for index in range(len(stages)):
            bad = corrupt(data, stage_field_offset(stages, index, field), bytes([tag]))
            with pytest.raises(ValueError) as error:
                load_model(bad)
            assert str(error.value) == PREFIX + f"tag for enum is not valid, found {tag}"

    @pytest.mark.parametrize("bound", [0, 1])
    def test_invalid_interval_bound_tag(self, load_model, bound):
        stages = small_valid_stages()
        parts = dict(grid_parts(stages[1].primary))
        # feature count, interval count, entry count; a present bound takes 9 bytes
        offset = (stage_field_offset(stages, 1, "primary_grid_tensor") + len(parts["splits"])
                  + len(parts["observation_counts"]) + 24 + bound)
        with pytest.raises(ValueError) as error:
            load_model(corrupt(encode_model(stages), offset, b"\x02"))
        assert str(error.value) == PREFIX + "tag for enum is not valid, found 2"

    @pytest.mark.parametrize("variant", [3, 4, 255, 2**32 - 1])
    def test_invalid_aggregation_variant(self, load_model, variant):
        stages = small_valid_stages()
        bad = corrupt(encode_model(stages), stage_field_offset(stages, 1, "aggregation_method"),
                      variant.to_bytes(4, "little"))
        with pytest.raises(ValueError) as error:
            load_model(bad)
        assert str(error.value) == PREFIX + f"invalid value: integer `{variant}`, expected variant index 0 <= i < 3"

    @pytest.mark.parametrize("variant", [0, 1, 2])
    def test_every_aggregation_variant_round_trips(self, load_model, model_path, variant):
        data = encode_model([Stage(primary=Grid(splits=[[]], backbone=[[1.0]], tilt=[[0.0]]), aggregation=variant)])
        assert saved_bytes(load_model(data), model_path) == data

    @pytest.mark.parametrize("where", ["stage count", "tree count", "splits count", "inner splits count",
                                       "candidate count", "interval count", "interval entry count"])
    @pytest.mark.parametrize("count", [2**31, 2**63, 2**64 - 1])
    def test_forged_counts(self, tmp_path, where, count):
        stages = small_valid_stages()
        tree_offset = stage_field_offset(stages, 0, "grid_tensors") + 8
        parts = dict(grid_parts(stages[0].trees[0]))
        intervals = tree_offset + len(parts["splits"]) + len(parts["observation_counts"])
        offset = {
            "stage count": 0,
            "tree count": stage_field_offset(stages, 0, "grid_tensors"),
            "splits count": tree_offset,
            "inner splits count": tree_offset + 8,
            "candidate count": stage_field_offset(stages, 0, "candidate_indices") + 1,
            "interval count": intervals + 8,
            "interval entry count": intervals + 16,
        }[where]
        path = tmp_path / "forged.zun"
        path.write_bytes(corrupt(encode_model(stages), offset, u64(count)))
        [outcome] = load_with_memory_limit([path])
        if where in ("splits count", "inner splits count", "candidate count"):
            # Lists of plain numbers: nothing but the data's end can stop them.
            assert outcome == "ValueError: " + END_OF_FILE
        else:
            assert outcome.startswith("ValueError: " + PREFIX)

    def test_forged_count_does_not_reserve_memory(self, tmp_path):
        # A list of lists claiming 2**26 entries: reserving for the count
        # alone would take over a gigabyte; the file justifies a few bytes.
        path = tmp_path / "forged.zun"
        path.write_bytes(u64(1) + u64(0) + u64(2**26) + bytes(64))
        assert load_with_memory_limit([path]) == ["ValueError: " + END_OF_FILE]

    def test_random_corruptions_never_crash(self, rng, tmp_path):
        data = encode_model(small_valid_stages())
        paths = []
        for index in range(300):
            mutated = bytearray(data)
            for _ in range(int(rng.integers(1, 4))):
                position = int(rng.integers(0, len(mutated)))
                mutated[position] = int(rng.choice([0, 1, 2, 0x7F, 0x80, 0xFF, rng.integers(0, 256)]))
            paths.append(tmp_path / f"mutated-{index}.zun")
            paths[-1].write_bytes(bytes(mutated))
        for path, outcome in zip(paths, load_with_memory_limit(paths, predict=True)):
            assert outcome in ("loaded", "loaded, predict refused") or outcome.startswith("ValueError: " + PREFIX), \
                (path.name, outcome)

    def test_interval_entry_with_three_bounds_uses_the_first_two(self, rng, load_model, model_path):
        normal = Grid(splits=[[0.0, 1.0]], backbone=[[1.0, 2.0, 4.0]], tilt=[[0.1, 0.0, -0.1]])
        odd = Grid(splits=normal.splits, backbone=normal.backbone, tilt=normal.tilt,
                   intervals=[[Bounds((None, 0.0, 7.0)), Bounds((0.0, 1.0, None, None)), Bounds((1.0, None, 3.0))]])
        stages = [Stage(primary=odd, trees=[odd], scaling_plus=2.0), Stage(primary=normal)]
        model = load_model(encode_model(stages))
        stage_object = model.stage_predictors[0]
        expected_intervals = [[(-INF, 0.0), (0.0, 1.0), (1.0, INF)]]
        assert stage_object.combined_grid_tensor.intervals == expected_intervals
        assert stage_object.grid_tensors[0].intervals == expected_intervals
        assert len(model.stage_predictors) == 2
        x = query_matrix(rng, [normal], 12, 1)
        np.testing.assert_array_equal(model.predict(x), reference_model_predict(stages, x))
        # Saving writes the usual two-bound form.
        expected_stages = [Stage(primary=normal, trees=[normal], scaling_plus=2.0), Stage(primary=normal)]
        assert saved_bytes(model, model_path) == encode_model(expected_stages)

    @pytest.mark.parametrize("bounds", [(), (None,), (1.0,)])
    def test_interval_entry_with_fewer_than_two_bounds(self, load_model, bounds):
        grid = Grid(splits=[[]], backbone=[[1.0]], tilt=[[0.0]], intervals=[[Bounds(bounds)]])
        with pytest.raises(ValueError) as error:
            load_model(encode_model([Stage(primary=grid)]))
        assert str(error.value).startswith(PREFIX)
        assert len(str(error.value)) > len(PREFIX)


class TestFileFailures:
    def test_missing_file(self, tmp_path):
        path = str(tmp_path / "missing.zun")
        with pytest.raises(OSError) as error:
            ZUN.load(path)
        message = str(error.value)
        assert message.startswith(f"Failed to read from file {path}: ")
        assert len(message) > len(f"Failed to read from file {path}: ")

    def test_directory(self, tmp_path):
        with pytest.raises(OSError) as error:
            ZUN.load(str(tmp_path))
        assert str(error.value).startswith(f"Failed to read from file {tmp_path}: ")

    def test_save_into_missing_directory(self, load_model, tmp_path):
        path = str(tmp_path / "no" / "such" / "model.zun")
        with pytest.raises(OSError) as error:
            load_model(bytes(8)).save(path)
        message = str(error.value)
        assert message.startswith(f"Failed to write to file {path}: ")
        assert len(message) > len(f"Failed to write to file {path}: ")

    def test_save_over_a_directory_leaves_nothing_behind(self, load_model, tmp_path):
        model = load_model(bytes(8))
        target = tmp_path / "target"
        target.mkdir()
        (target / "inside").write_bytes(b"keep")
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(OSError) as error:
            model.save(str(target))
        assert str(error.value).startswith(f"Failed to write to file {target}: ")
        assert sorted(os.listdir(tmp_path)) == before
        assert (target / "inside").read_bytes() == b"keep"

    def test_failed_save_keeps_the_previous_file(self, tmp_path):
        source = tmp_path / "source"
        source.mkdir()
        big = Grid(splits=[[float(v) for v in range(3000)]], backbone=[[1.0] * 3001], tilt=[[0.0] * 3001])
        (source / "big.zun").write_bytes(encode_model([Stage(primary=big)]))
        target_dir = tmp_path / "target"
        target_dir.mkdir()
        target = target_dir / "model.zun"
        old = encode_model(small_valid_stages())
        target.write_bytes(old)
        script = textwrap.dedent(f"""
            import resource, signal
            from _zunmerak import ZUN
            model = ZUN.load({str(source / "big.zun")!r})
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (65536, 65536))
            try:
                model.save({str(target)!r})
            except OSError as error:
                print(error)
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
        assert result.returncode == 0, result.stderr
        assert result.stdout.startswith(f"Failed to write to file {target}: "), result.stdout
        assert target.read_bytes() == old
        assert os.listdir(target_dir) == ["model.zun"]
