"""The module surface: initialisation, argument binding, conversions, failures."""
import importlib
import pickle
import platform
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

import kelvora_core_py as k
from support import (ARRAY, NOT_CONTIGUOUS, BrokenSequence, CausedIndex, Index, permutation,
                     raises_exactly, raises_panic, run_python, strided, u8)

NAMES = ["involute_packet", "cycle_packet", "get_chunk_size", "get_chunk_size_min",
         "cond_involute_packet", "gen_key", "prep_condition", "cond_hash_branch", "map_data",
         "inv_data", "package_blob", "unpack_setup_packet", "unpack_encrypted_packet"]

SIGNATURES = {
    "involute_packet": "(packet, salt, chunk_size)",
    "cycle_packet": "(packet, old_salt, new_salt, old_key, new_key, chunk_size)",
    "get_chunk_size": "(packet)",
    "get_chunk_size_min": "(packet, min_size)",
    "cond_involute_packet":
        "(packet, involute_salt, chunk_size, low_bound, high_bound, test_value)",
    "gen_key": "(party_id, purpose, master_seed)",
    "prep_condition": "(low_bound, high_bound, salt)",
    "cond_hash_branch": "(low_bound, high_bound, test_value, salt)",
    "map_data": "(pub_key, priv_key, identity, data_sequences)",
    "inv_data": "(pub_key, priv_keys, data_sequences)",
    "package_blob": "(*args)",
    "unpack_setup_packet": "(data)",
    "unpack_encrypted_packet": "(data)",
}

A = u8(b"ABCDEFGH")


def test_all_lists_the_functions_in_order():
    assert k.__all__ == NAMES
    assert k.__doc__ == "Create the Python module"


@pytest.mark.parametrize("name", NAMES)
def test_text_signature_and_no_doc(name):
    fn = getattr(k, name)
    assert fn.__text_signature__ == SIGNATURES[name]
    assert fn.__doc__ is None
    assert fn.__module__ == "kelvora_core_py"
    assert fn.__name__ == name


def test_reimport_returns_the_same_module():
    again = importlib.reload(k)
    assert again is k
    del sys.modules["kelvora_core_py"]
    try:
        fresh = importlib.import_module("kelvora_core_py")
        assert fresh is k
    finally:
        sys.modules["kelvora_core_py"] = k


def test_only_the_init_symbol_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not available")
    out = subprocess.run([nm, "-D", "--defined-only", k.__file__], check=True,
                         capture_output=True, text=True).stdout
    assert [line.split()[-1] for line in out.splitlines() if line.strip()] == \
        ["PyInit_kelvora_core_py"]


def test_module_is_built_hardened():
    readelf, nm = shutil.which("readelf"), shutil.which("nm")
    if readelf is None or nm is None or not sys.platform.startswith("linux"):
        pytest.skip("readelf and nm on Linux are needed")

    def run(*args):
        return subprocess.run(args, check=True, capture_output=True, text=True).stdout

    dynamic, segments, notes = (run(readelf, "-W", opt, k.__file__) for opt in ("-d", "-l", "-n"))
    imported = run(nm, "-D", "--undefined-only", k.__file__)
    assert "BIND_NOW" in dynamic and "GNU_RELRO" in segments       # full RELRO
    assert "__stack_chk_fail" in imported                          # stack protector
    if "__asan_init" not in imported:                              # not the sanitizer build
        assert re.search(r"__\w+_chk\b", imported.replace("__stack_chk_fail", ""))  # fortified
    if platform.machine() in ("x86_64", "AMD64"):
        assert "SHSTK" in notes                                    # CET shadow stack


@pytest.mark.parametrize("call, message", [
    (lambda: k.get_chunk_size(),
     "get_chunk_size() missing 1 required positional argument: 'packet'"),
    (lambda: k.get_chunk_size(A, A),
     "get_chunk_size() takes 1 positional arguments but 2 were given"),
    (lambda: k.involute_packet(A, A, 1, 2),
     "involute_packet() takes 3 positional arguments but 4 were given"),
    (lambda: k.get_chunk_size(A, packet=A),
     "get_chunk_size() got multiple values for argument 'packet'"),
    (lambda: k.involute_packet(A, salt=A, size=3),
     "involute_packet() got an unexpected keyword argument 'size'"),
    (lambda: k.get_chunk_size_min(A, **{"".join(["min", "_size"]): 4, "packet": A}),
     "get_chunk_size_min() got multiple values for argument 'packet'"),
    (lambda: k.involute_packet(A),
     "involute_packet() missing 2 required positional arguments: 'salt' and 'chunk_size'"),
    (lambda: k.involute_packet(salt=A),
     "involute_packet() missing 2 required positional arguments: 'packet' and 'chunk_size'"),
    (lambda: k.cycle_packet(),
     "cycle_packet() missing 6 required positional arguments: 'packet', 'old_salt', "
     "'new_salt', 'old_key', 'new_key', and 'chunk_size'"),
    (lambda: k.package_blob(x=1), "package_blob() got an unexpected keyword argument 'x'"),
    (lambda: k.unpack_setup_packet(), "unpack_setup_packet() missing 1 required positional "
                                      "argument: 'data'"),
    # The positional count is checked before the keywords.
    (lambda: k.get_chunk_size(A, A, A, bogus=1),
     "get_chunk_size() takes 1 positional arguments but 3 were given"),
])
def test_binder_messages(call, message):
    with raises_exactly(TypeError, message):
        call()


KEY = permutation(1)
BOUNDS = k.prep_condition(0.0, 1.0, A)
POSITIONAL = {
    "involute_packet": (A, A, 4),
    "cycle_packet": (A, A, A[:3], KEY, KEY[::-1].copy(), 4),
    "get_chunk_size": (A,),
    "get_chunk_size_min": (A, 2),
    "cond_involute_packet": (A, A, 4, *BOUNDS, 0.5),
    "prep_condition": (0.5, 2.0, A),
    "cond_hash_branch": (*BOUNDS, 0.25, A),
    "map_data": (KEY, KEY, 1, [A, A, A]),
    "inv_data": (KEY, [KEY, KEY], [A, A]),
    "unpack_setup_packet": (k.package_blob(b"pk", b"p", "m", 7),),
    "unpack_encrypted_packet": (k.package_blob(b"pk", b"sk", b"p", "m", 7),),
}


@pytest.mark.parametrize("name", POSITIONAL)
def test_every_parameter_by_keyword(name):
    # The names of the signature (split out of a string, so not interned), in
    # reverse order, give the positional result.
    fn, args = getattr(k, name), POSITIONAL[name]
    names = SIGNATURES[name].strip("()").split(", ")
    keywords = dict(reversed(list(zip(names, args))))
    assert fn(**keywords) == fn(*args)
    assert fn(*args[:1], **dict(list(keywords.items())[:-1])) == fn(*args)


def test_gen_key_by_keyword():
    seed = u8(bytes(32))
    table = k.gen_key(master_seed=seed, purpose="p", party_id="x")
    assert sorted(table) == list(range(256))


@pytest.mark.parametrize("bad, type_name", [
    ([1, 2], "list"), (b"abc", "bytes"), (np.zeros((2, 2), np.uint8), "ndarray"),
    (np.zeros(4, np.int8), "ndarray"), (np.zeros(4, np.uint16), "ndarray"),
    (np.uint8(3), "uint8"), (None, "NoneType"),
])
def test_byte_array_refusals(bad, type_name):
    with raises_exactly(TypeError, "argument 'packet': " + ARRAY.format(type_name)):
        k.get_chunk_size(bad)


def test_type_name_unreadable():
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                raise RuntimeError("no name")
            return super().__getattribute__(name)

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(TypeError) as info:
        k.get_chunk_size(Odd())
    assert str(info.value) == ("argument 'packet': '<failed to extract type name>' object "
                               "cannot be converted to 'PyArray<T, D>'")


@pytest.mark.parametrize("array", [
    strided(5), np.zeros((4, 4), np.uint8)[:, 1],
])
def test_non_contiguous_array(array):
    with raises_exactly(TypeError, NOT_CONTIGUOUS):
        k.get_chunk_size(array)


def test_array_subclass_and_readonly_array_accepted():
    class Sub(np.ndarray):
        pass

    ro = u8(b"ABCDABCE")
    ro.flags.writeable = False
    assert k.get_chunk_size(ro) == 4
    assert k.get_chunk_size(ro.view(Sub)) == 4
    assert k.get_chunk_size(np.zeros(0, np.uint8)) == 0


@pytest.mark.parametrize("value, expected", [
    (True, 1), (np.uint64(2**64 - 1), 64), (np.int16(5), 8), (Index(7), 8), (2**64 - 1, 64),
])
def test_unsigned_integer_accepts(value, expected):
    # 64 distinct bytes: the answer is the smallest divisor of 64 at or above
    # the minimum, or 64 when the minimum exceeds 32.
    assert k.get_chunk_size_min(np.arange(64, dtype=np.uint8), value) == expected


@pytest.mark.parametrize("value, exc, message", [
    (-1, OverflowError, "can't convert negative int to unsigned"),
    (2**64, OverflowError, "int too big to convert"),
    (Index(-3), OverflowError, "can't convert negative int to unsigned"),
    (2.0, TypeError, "argument 'min_size': 'float' object cannot be interpreted as an integer"),
    ("4", TypeError, "argument 'min_size': 'str' object cannot be interpreted as an integer"),
    (None, TypeError,
     "argument 'min_size': 'NoneType' object cannot be interpreted as an integer"),
])
def test_unsigned_integer_refusals(value, exc, message):
    with raises_exactly(exc, message):
        k.get_chunk_size_min(A, value)


def test_type_error_prefix_keeps_cause_and_subclasses_pass():
    class Odd(TypeError):
        pass

    class OddIndex:
        def __index__(self):
            raise Odd("strange")

    with pytest.raises(TypeError) as info:
        k.get_chunk_size_min(A, CausedIndex())
    assert str(info.value) == "argument 'min_size': boom"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(Odd, match="^strange$"):
        k.get_chunk_size_min(A, OddIndex())


def test_conversion_stops_at_first_failing_argument():
    with pytest.raises(TypeError, match="^argument 'packet': "):
        k.get_chunk_size_min([1], "also bad")


@pytest.mark.parametrize("call, message", [
    (lambda: k.gen_key(1, "p", u8(bytes(32))),
     "argument 'party_id': 'int' object cannot be converted to 'PyString'"),
    (lambda: k.gen_key("p", b"x", u8(bytes(32))),
     "argument 'purpose': 'bytes' object cannot be converted to 'PyString'"),
    (lambda: k.unpack_setup_packet(bytearray(b"x")),
     "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'"),
    (lambda: k.unpack_encrypted_packet(memoryview(b"x")),
     "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'"),
    (lambda: k.inv_data(A, "keys", []), "argument 'priv_keys': Can't extract `str` to `Vec`"),
    (lambda: k.inv_data(A, {}, []),
     "argument 'priv_keys': 'dict' object cannot be converted to 'Sequence'"),
    (lambda: k.inv_data(A, [A], {A.tobytes()}),
     "argument 'data_sequences': 'set' object cannot be converted to 'Sequence'"),
    (lambda: k.map_data(A, A, 0, [A, b"x"]),
     "argument 'data_sequences': 'bytes' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: k.prep_condition("x", 1.0, A),
     "argument 'low_bound': must be real number, not str"),
    (lambda: k.cond_hash_branch(0, 0, None, A),
     "argument 'test_value': must be real number, not NoneType"),
])
def test_other_kind_refusals(call, message):
    with raises_exactly(TypeError, message):
        call()


@pytest.mark.parametrize("call, exc, message", [
    (lambda: k.prep_condition(10**400, 1.0, A), OverflowError, "int too large to convert to float"),
    (lambda: k.inv_data(A, BrokenSequence(), []), ZeroDivisionError, "item"),
])
def test_interpreters_errors_pass_unchanged(call, exc, message):
    with raises_exactly(exc, message):
        call()


ZERO_DIVISOR = "attempt to calculate the remainder with a divisor of zero"


def test_panic_is_one_base_exception_class_and_reports_to_stderr(capfd):
    classes = set()
    for _ in range(3):
        with raises_panic(ZERO_DIVISOR) as info:   # not caught by `except Exception`
            k.get_chunk_size_min(A, 0)
        classes.add(type(info.value))
    (panic,) = classes                             # the class is created once
    assert panic.__mro__[1] is BaseException and panic.__doc__
    # The report names the source file relative to the project.
    report = capfd.readouterr().err
    assert re.search(r"^kelvora_core_py: internal failure at core/src/[\w/]+\.[ch]pp:\d+: "
                     + re.escape(ZERO_DIVISOR) + "$", report, re.MULTILINE), report


def test_panic_exception_by_name_and_through_pickle():
    with raises_panic(ZERO_DIVISOR) as info:
        k.get_chunk_size_min(A, 0)
    assert type(info.value) is k.PanicException
    assert "PanicException" not in k.__all__
    assert (k.PanicException.__module__, k.PanicException.__qualname__) == \
        ("kelvora_core_py", "PanicException")
    # pickle finds the class by that name, as process pools do with a worker's exception.
    again = pickle.loads(pickle.dumps(info.value))
    assert type(again) is k.PanicException and again.args == (ZERO_DIVISOR,)
    with raises_exactly(AttributeError, "module 'kelvora_core_py' has no attribute 'Panic'"):
        k.Panic
    assert not hasattr(k, "panic_exception")


# The class is made once, by whichever comes first: the attribute or a failure.
@pytest.mark.parametrize("first", ["attribute", "failure", "unpickling"])
def test_panic_exception_class_is_made_on_first_use(first):
    done = run_python(f"""
        import pickle
        import numpy as np
        import kelvora_core_py as k
        def fail():
            try:
                k.get_chunk_size_min(np.arange(8, dtype=np.uint8), 0)
            except BaseException as exc:
                return exc
        made = {{"attribute": lambda: k.PanicException, "failure": lambda: type(fail()),
                 "unpickling": lambda: type(pickle.loads({pickle.dumps(k.PanicException("remote"))!r}))}}
        cls = made[{first!r}]()
        assert cls is k.PanicException is type(fail()), cls
        assert cls.__mro__[1] is BaseException
        print("one class")
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "one class\n"
