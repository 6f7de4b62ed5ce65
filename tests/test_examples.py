"""The README's usage examples and the scripts in examples/ run as written."""
import pathlib
import re
import runpy

import pytest

from support import run_python, user_mode_emulation

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


@pytest.mark.skipif(bool(user_mode_emulation()),
                    reason="Dask is not installed in the emulated interpreter, where a cluster of "
                           "worker processes would take minutes to start")
def test_scale_out_on_dask():
    """examples/scale_out.py on small inputs with 2 worker processes: the threaded scheduler and
    the worker processes give the serial loop's bytes, and a worker's PanicException reaches the
    caller as itself while the other results are kept. Run in a child process, so that a hang
    (Dask's client waits for ever on a BaseException it was asked to gather) fails on the
    timeout instead of stopping the suite."""
    script = ROOT / "examples" / "scale_out.py"
    done = run_python(f"""
        import runpy, sys
        sys.argv = ["scale_out.py", "--groups", "3", "--parties", "3", "--packets", "4",
                    "--length", "65536", "--workers", "2"]
        runpy.run_path({str(script)!r}, run_name="__main__")
    """, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    for line in ("serial loop: done, every group's data restored",
                 "threaded scheduler equals the serial loop: True",
                 "worker processes equal the serial loop: True",
                 "batch with one bad task: 6 results kept, 1 failed:",
                 "  kelvora_core_py.PanicException: assertion failed: identity < num_funcs",
                 "the failure arrived as kelvora_core_py.PanicException: True",
                 "the other results equal the serial loop: True"):
        assert line in done.stdout.splitlines(), (line, done.stdout)
