"""Docstrings, the version and the type stubs of the native module."""
import ast
import importlib.metadata
import inspect
from pathlib import Path

import pytest

import _zunmerak
from _zunmerak import ZUN, FitResult, GridTensor, StagePredictor

CLASSES = [GridTensor, FitResult, StagePredictor, ZUN]


def public_members(cls):
    return {name: value for name, value in vars(cls).items() if not name.startswith("_")}


def test_version_is_the_installed_distribution_version():
    assert _zunmerak.__version__ == importlib.metadata.version("zunmerak")


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_every_method_and_getter_has_a_description(cls):
    undocumented = []
    for name, member in public_members(cls).items():
        doc = member.__doc__ or ""
        # A method's docstring starts with its signature line and "--"; the
        # description comes after.
        description = doc.split("--\n\n", 1)[-1] if "--\n\n" in doc else doc
        if not description.strip():
            undocumented.append(name)
    assert undocumented == []


def stub_tree():
    path = Path(_zunmerak.__file__).with_name("_zunmerak.pyi")
    assert path.is_file(), f"no stubs installed beside {_zunmerak.__file__}"
    return ast.parse(path.read_text())


def stub_classes():
    return {node.name: node for node in stub_tree().body if isinstance(node, ast.ClassDef)}


def test_stubs_declare_exactly_the_classes_and_members():
    classes = stub_classes()
    # Names with an underscore exist only in the stubs, for annotations.
    assert sorted(name for name in classes if not name.startswith("_")) == sorted(_zunmerak.__all__)
    for cls in CLASSES:
        stubbed = {node.name for node in classes[cls.__name__].body if isinstance(node, ast.FunctionDef)}
        runtime = set(public_members(cls)) | ({"__reduce__"} if "__reduce__" in vars(cls) else set())
        assert stubbed == runtime, cls.__name__


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_stub_parameters_match_the_text_signatures(cls):
    nodes = {node.name: node for node in stub_classes()[cls.__name__].body if isinstance(node, ast.FunctionDef)}
    for name, member in public_members(cls).items():
        if inspect.isgetsetdescriptor(member):
            continue
        arguments = nodes[name].args
        stubbed = [a.arg for a in arguments.args[1:]]
        stubbed_defaults = [ast.literal_eval(d) for d in arguments.defaults]
        # Methods looked up on the class show self; bound class methods hide cls.
        parameters = [p for p in inspect.signature(getattr(cls, name)).parameters.values() if p.name != "self"]
        assert stubbed == [p.name for p in parameters], name
        runtime_defaults = [p.default for p in parameters if p.default is not inspect.Parameter.empty]
        assert stubbed_defaults == runtime_defaults, name
