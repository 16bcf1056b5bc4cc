"""The type stubs in the layout folder: complete for the runtime modules, and finished so that
array parameters are buffers and NumPy is never imported."""
import ast
import importlib.util
import inspect
from pathlib import Path

import pytest

from conftest import BLOCK_CLASSES

REPO_PYTHON = Path(__file__).resolve().parents[2] / "python"


def stub_tree(layout_dir, module):
    path = layout_dir / f"{module}-stubs" / "__init__.pyi"
    return ast.parse(path.read_text(encoding="utf-8"))


def public(names):
    return {n for n in names if not n.startswith("_") or n == "__init__"}


@pytest.mark.parametrize("module_fixture, module", [("ext", "kivo_tf_utils_ext"),
                                                    ("kc", "kivo_control")])
def test_stub_declares_every_public_member(request, layout_dir, module_fixture, module):
    runtime = request.getfixturevalue(module_fixture)
    tree = stub_tree(layout_dir, module)
    classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
    assert public(classes) == public(k for k, v in vars(runtime).items() if inspect.isclass(v))
    for name in public(classes):
        node = classes[name]
        declared = {getattr(item, "name", None) for item in node.body} | {
            target.id for item in node.body if isinstance(item, ast.Assign)
            for target in item.targets if isinstance(target, ast.Name)}
        members = public(k for k in vars(getattr(runtime, name)) if not k.startswith("__"))
        assert members <= declared, (name, members - declared)


def test_update_arrays_are_buffers_without_numpy(layout_dir):
    tree = stub_tree(layout_dir, "kivo_tf_utils_ext")
    imported = {alias.name for node in ast.walk(tree) if isinstance(node, ast.Import)
                for alias in node.names}
    imported |= {node.module for node in ast.walk(tree) if isinstance(node, ast.ImportFrom)}
    assert imported == {"collections.abc", "typing", "typing_extensions", "kivo_control", "sys"}
    for cls in BLOCK_CLASSES:
        (node,) = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls]
        (update,) = [f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == "update"]
        for arg in update.args.args[1:]:
            assert ast.unparse(arg.annotation).startswith(
                "Annotated[Buffer | _DLPackArray, dict(dtype='float64', shape="), arg.arg


@pytest.fixture(scope="module")
def finish_stub():
    spec = importlib.util.spec_from_file_location("finish_stub", REPO_PYTHON / "finish_stub.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_finishing_keeps_other_stubs_and_refuses_unknown_array_forms(finish_stub):
    plain = '"""Doc."""\n\nimport enum\n\n\nclass E(enum.IntEnum):\n    A = 0\n'
    assert finish_stub.finish(plain) == plain
    # An array the step cannot express as a buffer must stop the build, not ship a NumPy import.
    generated = ("import numpy\nfrom numpy.typing import NDArray\n\n"
                 "def f(a: Annotated[NDArray[numpy.float64], dict(shape=(6), order='C')], "
                 "b: numpy.int64) -> None: ...\n")
    with pytest.raises(SystemExit, match="unknown form"):
        finish_stub.finish(generated)
    finished = finish_stub.finish(generated.replace(", b: numpy.int64", ""))
    assert "def f(a: Annotated[Buffer | _DLPackArray, dict(dtype='float64', shape=(6), order='C')])" in finished
    assert "numpy" not in finished


def test_the_tools_batch_module_has_a_finished_stub_beside_it(layout_dir):
    """kivo_tf_tools/_batch.pyi: one `update_rows` overload per block class, its arrays buffers
    (the tools are type-checked against it)."""
    from kivo_tf_tools import _batch

    path = layout_dir / "kivo_tf_tools" / "_batch.pyi"
    assert Path(_batch.__file__).parent == path.parent
    tree = ast.parse(path.read_text(encoding="utf-8"))
    overloads = [node for node in tree.body
                 if isinstance(node, ast.FunctionDef) and node.name == "update_rows"]
    assert [ast.unparse(f.args.args[0].annotation) for f in overloads] == [
        f"kivo_tf_utils_ext.{cls}" for cls in BLOCK_CLASSES]
    for function in overloads:
        assert [a.arg for a in function.args.args] == (
            ["block", "signal_in", "signal_out", "status"]
            + ([] if function.args.args[0].annotation.attr == "KivoTfPose" else ["tf"]))
        for arg in function.args.args[1:]:
            annotation = ast.unparse(arg.annotation)
            assert annotation.startswith("Annotated[Buffer | _DLPackArray, dict("), arg.arg
    assert "numpy" not in path.read_text(encoding="utf-8")
