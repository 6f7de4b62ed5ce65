"""The stub is the reference: every function documented in full, its examples true, the page current."""
import ast
import builtins
import doctest
import pathlib
import re
import runpy

import numpy as np
import pytest

import kelvora_core_py as k

ROOT = pathlib.Path(__file__).resolve().parent.parent
STUB = ROOT / "binding" / "kelvora_core_py.pyi"
TREE = ast.parse(STUB.read_text())
DOCS = {node.name: ast.get_docstring(node) or "" for node in TREE.body
        if isinstance(node, (ast.FunctionDef, ast.ClassDef))}
API_DOCS = runpy.run_path(str(ROOT / "scripts" / "api_docs.py"))


@pytest.mark.parametrize("name", k.__all__)
def test_function_documented(name):
    """Summary, every parameter, the result, the errors (with their words) and an example."""
    doc = DOCS.get(name, "")
    fn = next(node for node in TREE.body if isinstance(node, ast.FunctionDef) and node.name == name)
    params = [a.arg for a in fn.args.args] + ([f"*{fn.args.vararg.arg}"] if fn.args.vararg else [])
    for section in ("Args:", "Returns:", "Raises:", "Example:"):
        assert re.search(rf"^{section}$", doc, flags=re.M), f"{name}: no {section} section"
    args = doc.split("Args:")[1].split("Returns:")[0]
    for p in params:
        assert re.search(rf"^    {re.escape(p)}: \S", args, flags=re.M), f"{name}: {p} undocumented"
    raises = doc.split("Raises:")[1].split("Example:")[0]
    named = re.findall(r"^    (\w+): \S", raises, flags=re.M)
    assert "TypeError" in named, f"{name}: argument errors undocumented"
    for error in named:
        assert error == "PanicException" or issubclass(getattr(builtins, error), BaseException)


@pytest.mark.parametrize("name", k.__all__)
def test_example_holds(name):
    globs = {"np": np, **{n: getattr(k, n) for n in k.__all__}}
    test = doctest.DocTestParser().get_doctest(DOCS[name], globs, name, str(STUB), 0)
    assert test.examples, f"{name}: no example"
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    runner.run(test)
    assert runner.summarize(verbose=False).failed == 0


def test_reference_page_current():
    page = ROOT / "docs" / "api.md"
    assert page.read_text() == API_DOCS["build"](), "run python3 scripts/api_docs.py"


def test_version():
    """The project's one version, as the module reports it and as its metadata has it."""
    from importlib import metadata
    declared = re.search(r'^version = "([^"]+)"$', (ROOT / "pyproject.toml").read_text(), re.M)[1]
    assert k.__version__ == declared
    assert "__version__" not in k.__all__
    try:  # a module loaded from a build tree, not installed, has no metadata
        assert metadata.version("kelvora_core_py") == declared
    except metadata.PackageNotFoundError:
        pass
