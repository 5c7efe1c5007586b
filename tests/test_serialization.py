"""Model envelopes: pickling and copying bare models, and refusing bad envelopes."""
import copy
import io
import pickle
import struct
import subprocess
import sys
import zlib

import numpy as np
import pytest

from _zunmerak import ZUN

import zunmerak
from zunmerak import _serialization
from zunmerak._serialization import FORMAT_VERSION, MAGIC, pack_model, read_envelope, unpack_model, write_envelope


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    x = rng.uniform(size=(120, 3))
    y = 3 * x[:, 0] + np.sin(4 * x[:, 1]) * x[:, 2] + 0.1 * rng.normal(size=120)
    return x, y


@pytest.fixture(scope="module")
def model(data):
    x, y = data
    return ZUN.fit(x, y, 3, n_trees=3, n_iter=4, alpha=1.0, seed=3, verbosity=0)[0]


def saved_bytes(model, tmp_path):
    path = tmp_path / "saved.zun"
    model.save(str(path))
    return path.read_bytes()


def with_checksum(body: bytes) -> bytes:
    return body + struct.pack("<I", zlib.crc32(body))


@pytest.mark.parametrize("round_trip", [
    *[lambda m, p=protocol: pickle.loads(pickle.dumps(m, protocol=p)) for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)],
    copy.copy,
    copy.deepcopy,
], ids=[*(f"pickle{p}" for p in range(2, pickle.HIGHEST_PROTOCOL + 1)), "copy", "deepcopy"])
def test_bare_model_round_trips_to_the_same_model_file(model, data, tmp_path, round_trip):
    restored = round_trip(model)
    assert isinstance(restored, ZUN) and restored is not model
    assert saved_bytes(restored, tmp_path) == saved_bytes(model, tmp_path)
    np.testing.assert_array_equal(restored.predict(data[0]), model.predict(data[0]))


def test_a_fresh_interpreter_unpickles_a_model_without_importing_zunmerak_first(model, data, tmp_path):
    query = data[0][:7]
    np.save(tmp_path / "query.npy", query)
    script = ("import pickle, sys, numpy as np; model = pickle.load(sys.stdin.buffer); "
              "np.save(sys.stdout.buffer, model.predict(np.load(sys.argv[1])))")
    out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "query.npy")], input=pickle.dumps(model),
                         capture_output=True, check=True).stdout
    np.testing.assert_array_equal(np.load(io.BytesIO(out)), model.predict(query))


def test_envelope_holds_the_saved_file_versions_and_metadata(model, tmp_path):
    metadata = {"kind": "test", "feature_names": ["a", "b", "c"], "params": {"alpha": 1.0, "seed": np.int64(3)}}
    envelope = read_envelope(pack_model(model, metadata))
    assert envelope.format_version == FORMAT_VERSION == 1
    assert envelope.library_version == zunmerak.__version__
    assert envelope.metadata == {"kind": "test", "feature_names": ["a", "b", "c"], "params": {"alpha": 1.0, "seed": 3}}
    assert envelope.model_bytes == saved_bytes(model, tmp_path)


def envelope_cases():
    good = write_envelope(b"model", {"kind": "test"})
    body = good[:-4]
    header = struct.pack("<8sH", MAGIC, FORMAT_VERSION)
    version_field = struct.pack("<Q", 5) + b"0.1.0"

    def flipped(position):
        changed = bytearray(good)
        changed[position] ^= 0x01
        return bytes(changed)

    return [
        ("newer format", good[:8] + struct.pack("<H", FORMAT_VERSION + 1) + good[10:],
         ValueError, f"format version {FORMAT_VERSION + 1} is newer than zunmerak .* reads \\(up to 1\\)"),
        ("format zero", good[:8] + struct.pack("<H", 0) + good[10:], ValueError, "format version 0"),
        ("other magic", b"PK\x03\x04" + good[4:], ValueError, "not a zunmerak model envelope"),
        ("empty", b"", ValueError, "not a zunmerak model envelope"),
        ("magic only", MAGIC, ValueError, "only 8 bytes"),
        ("flipped model byte", flipped(len(good) - 6), ValueError, "checksum .* does not match"),
        ("truncated", good[:-3], ValueError, "checksum .* does not match"),
        ("length past the end", with_checksum(header + struct.pack("<Q", 1000) + b"0.1.0"),
         ValueError, "library version needs 1000 bytes"),
        ("missing model", with_checksum(header + version_field + struct.pack("<Q", 2) + b"{}"),
         ValueError, "length of the model file needs 8 bytes"),
        ("trailing bytes", with_checksum(body + b"xyz"), ValueError, "3 unexpected bytes after the model file"),
        ("metadata not an object", with_checksum(header + version_field + struct.pack("<Q", 2) + b"[]"
                                                 + struct.pack("<Q", 0)), ValueError, "not a JSON object"),
        ("metadata not JSON", with_checksum(header + version_field + struct.pack("<Q", 2) + b"{["
                                            + struct.pack("<Q", 0)), ValueError, "corrupted model envelope: Expecting"),
        ("not bytes", "text", TypeError, "must be bytes, got str"),
    ]


@pytest.mark.parametrize("data, error, message", [case[1:] for case in envelope_cases()],
                         ids=[case[0] for case in envelope_cases()])
def test_bad_envelopes_are_refused(data, error, message):
    with pytest.raises(error, match=message):
        read_envelope(data)


def test_model_from_another_version_that_fails_to_load_names_both_versions(monkeypatch):
    monkeypatch.setattr(_serialization, "__version__", "0.0.1")
    old = write_envelope(b"not a model file")
    monkeypatch.undo()
    with pytest.raises(ValueError, match=f"saved by zunmerak 0.0.1 and cannot be read by zunmerak "
                                         f"{zunmerak.__version__}: "):
        unpack_model(old)


class TestModelBytes:
    """The native module's own bytes methods and pickling, without the package."""

    def test_to_bytes_is_the_saved_file_and_from_bytes_reads_it_back(self, model, data, tmp_path):
        raw = model.to_bytes()
        assert raw == saved_bytes(model, tmp_path)
        for container in (bytes, bytearray):
            restored = ZUN.from_bytes(container(raw))
            assert restored.to_bytes() == raw
            np.testing.assert_array_equal(restored.predict(data[0]), model.predict(data[0]))

    @pytest.mark.parametrize("mutate, error, fragment", [
        (lambda raw: raw + b"\0", ValueError, "1 bytes follow the model's"),
        (lambda raw: raw[:-1], ValueError, "Failed to deserialize ZUN model"),
        (lambda raw: b"", ValueError, "Failed to deserialize ZUN model"),
        (lambda raw: memoryview(raw), TypeError, "data: expected bytes or bytearray, got memoryview"),
        (lambda raw: raw.decode("latin-1"), TypeError, "expected bytes or bytearray, got str"),
    ], ids=["trailing byte", "truncated", "empty", "memoryview", "str"])
    def test_from_bytes_refuses_anything_but_one_whole_model(self, model, mutate, error, fragment):
        with pytest.raises(error, match=fragment):
            ZUN.from_bytes(mutate(model.to_bytes()))

    def test_pickles_in_an_envelope_when_only_the_native_module_was_imported(self, model, data, tmp_path):
        np.save(tmp_path / "query.npy", data[0][:5])
        script = ("import pickle, sys, numpy as np; from _zunmerak import ZUN; "
                  "model = ZUN.from_bytes(sys.stdin.buffer.read()); "
                  "assert 'zunmerak' not in sys.modules; "
                  "payload = pickle.dumps(model); "
                  "assert b'ZUNENV' in payload; "
                  "copy = pickle.loads(payload); "
                  "assert copy.to_bytes() == model.to_bytes(); "
                  "np.save(sys.stdout.buffer, copy.predict(np.load(sys.argv[1])))")
        out = subprocess.run([sys.executable, "-c", script, str(tmp_path / "query.npy")], input=model.to_bytes(),
                             capture_output=True, check=True).stdout
        np.testing.assert_array_equal(np.load(io.BytesIO(out)), model.predict(data[0][:5]))
