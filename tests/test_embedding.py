"""A program that embeds Python twice in one process: the module must import
cleanly and work in the second interpreter lifetime too (tests/embed_twice.c)."""
import os
import shutil
import site
import subprocess
import sys
import sysconfig

import pytest

import kelvora_core_py as k
from support import user_mode_emulation

HERE = os.path.dirname(os.path.abspath(__file__))


def python_config() -> str | None:
    version = sysconfig.get_config_var("VERSION")
    for name in (f"python{version}-config", "python3-config"):
        path = os.path.join(sys.base_prefix, "bin", name)
        if os.access(path, os.X_OK):
            return path
    return None


# The host's C compiler builds programs for the host: under user-mode emulation
# the embedding program would be the host's, unable to load the emulated
# machine's module.
@pytest.mark.skipif(bool(user_mode_emulation()),
                    reason=f"the C compiler builds for the host, not for {user_mode_emulation()}")
def test_module_works_in_a_second_interpreter_lifetime(tmp_path):
    config, compiler = python_config(), shutil.which("cc") or shutil.which("gcc")
    if config is None or compiler is None or not sysconfig.get_config_var("Py_ENABLE_SHARED"):
        pytest.skip("no shared libpython with python-config and a C compiler to embed it")
    flags = subprocess.run([config, "--cflags", "--ldflags", "--embed"], check=True,
                           capture_output=True, text=True).stdout.split()
    program = tmp_path / "embed_twice"
    # python-config names libpython's folder but not as a run path, which an
    # interpreter installed outside the loader's folders needs.
    run_path = f"-Wl,-rpath,{sysconfig.get_config_var('LIBDIR')}"
    subprocess.run([compiler, os.path.join(HERE, "embed_twice.c"), "-o", str(program), *flags,
                    run_path], check=True, capture_output=True, text=True)
    # The embedded interpreter is the base installation: it finds the module
    # under test and NumPy through PYTHONPATH.
    paths = [os.path.dirname(os.path.abspath(k.__file__)), *site.getsitepackages()]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(paths))
    done = subprocess.run([str(program)], env=env, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert lines.count("refused in a subinterpreter") == 2, done.stdout
    assert [line for line in lines if line.startswith(("lifetime", "used"))] == [
        "used with NumPy", "used with NumPy", "lifetime 1 passed",
        "used without NumPy", "used without NumPy", "lifetime 2 passed"], done.stdout
