/* Embeds Python twice in one process. In each interpreter lifetime the
 * module is imported and used (a blob round trip, a blob long enough to be
 * written without the interpreter lock, a PanicException that is the module's
 * attribute of that name, arrays),
 * and a subinterpreter's import is refused while the module is alive. NumPy
 * loads once per process (NumPy 2 refuses a second load, older releases break
 * on it), so the second lifetime keeps NumPy out, and array arguments must
 * then fail cleanly. Built and run by tests/test_embedding.py; exit status 0
 * when both lifetimes passed. */
#include <Python.h>
#include <stdio.h>

static const char kKeepNumpyOut[] =
    "import sys\n"
    "class NoNumpy:\n"
    "    def find_spec(self, name, path=None, target=None):\n"
    "        if name == 'numpy' or name.startswith('numpy.'):\n"
    "            raise ModuleNotFoundError('No module named %r' % name, name=name)\n"
    "sys.meta_path.insert(0, NoNumpy())\n";

static const char kUse[] =
    "import kelvora_core_py as k\n"
    "blob = k.package_blob(b'pk', b'packet', 'mode', 7)\n"
    "assert k.unpack_setup_packet(blob) == (b'pk', b'packet', 'mode', 7), 'round trip'\n"
    "assert k.package_blob(bytes(1 << 20))[16:] == bytes(1 << 20), 'long blob'\n"
    "assert k.__all__[:2] == ['involute_packet', 'cycle_packet'], k.__all__\n"
    "try:\n"
    "    import numpy as np\n"
    "except ImportError:\n"
    "    np = None\n"
    "def panic_of(call):\n"
    "    try:\n"
    "        call()\n"
    "    except Exception as exc:\n"
    "        raise AssertionError('an ordinary exception: %r' % (exc,))\n"
    "    except BaseException as exc:\n"
    "        assert type(exc) is k.PanicException, repr(exc)\n"
    "        return exc.args[0]\n"
    "    raise AssertionError('no failure')\n"
    "if np is not None:\n"
    "    assert k.get_chunk_size(np.frombuffer(b'ABCDABCE', np.uint8)) == 4\n"
    "    message = panic_of(lambda: k.get_chunk_size_min(np.arange(8, dtype=np.uint8), 0))\n"
    "    assert message == 'attempt to calculate the remainder with a divisor of zero', message\n"
    "else:\n"
    "    message = panic_of(lambda: k.get_chunk_size(b'ABCDABCE'))\n"
    "    assert message.startswith('Failed to access NumPy array API capsule'), message\n"
    "print('used', 'with NumPy' if np is not None else 'without NumPy')\n";

static const char kRefused[] =
    "try:\n"
    "    import kelvora_core_py\n"
    "except ImportError:\n"
    "    print('refused in a subinterpreter')\n"
    "else:\n"
    "    raise AssertionError('a second interpreter imported the module')\n";

static int lifetime(int round) {
  Py_Initialize();
  int failed = round > 1 && PyRun_SimpleString(kKeepNumpyOut) != 0;
  failed |= PyRun_SimpleString(kUse) != 0;
  PyThreadState* main_state = PyThreadState_Get();
  PyThreadState* sub = Py_NewInterpreter();
  if (sub == NULL) {
    failed = 1;
  } else {
    failed |= PyRun_SimpleString(kRefused) != 0;
    Py_EndInterpreter(sub);
  }
  PyThreadState_Swap(main_state);
  failed |= PyRun_SimpleString(kUse) != 0; /* the same module object again */
  failed |= Py_FinalizeEx() != 0;
  printf("lifetime %d %s\n", round, failed ? "failed" : "passed");
  fflush(stdout);
  return failed;
}

int main(void) {
  int failed = 0;
  for (int round = 1; round <= 2; ++round) failed |= lifetime(round);
  return failed;
}
