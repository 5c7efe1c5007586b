"""The installed package: its version and its typing marker."""
from pathlib import Path

import pytest

import zunmerak

tomllib = pytest.importorskip("tomllib")

PYPROJECT = Path(__file__).resolve().parents[1] / "pyproject.toml"


def test_version_is_the_one_declared_in_pyproject():
    declared = tomllib.loads(PYPROJECT.read_text())["project"]["version"]
    assert zunmerak.__version__ == declared


def test_package_ships_its_typing_marker():
    assert (Path(zunmerak.__file__).parent / "py.typed").is_file()
