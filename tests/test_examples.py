"""The README's usage examples and the scripts in examples/ run as written."""
import pathlib
import re
import runpy

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
BLOCKS = re.findall(r"```python\n(.*?)```", README.read_text(), flags=re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"block{i}" for i in range(len(BLOCKS))])
def test_readme_example_runs(code):
    exec(compile(code, str(README), "exec"), {})


def test_readme_has_examples():
    assert len(BLOCKS) >= 4


@pytest.mark.parametrize("script, says", [
    ("demo.py", "moved to new salt and key, and back: True"),
    ("group_flow.py", "two steps equal one direct step: True"),
])
def test_example_script_runs(script, says, capsys):
    """The scripts' own assertions hold (round trips, cycling composition)."""
    runpy.run_path(str(ROOT / "examples" / script), run_name="__main__")
    assert says in capsys.readouterr().out
