"""gen_key: key tables from a master seed, two labels and fresh OS randomness."""
import pathlib
import runpy
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import kelvora_core_py as k
from support import strided, u8

SEED = u8(bytes(range(32)))
IDENTITY = bytes(range(256))

CONTIGUITY = "Seed array not contiguous: The given array is not contiguous"
LENGTH = "master_seed must be exactly 32 bytes long"


def assert_key_table(table):
    assert type(table) is bytes
    assert len(table) == 256
    assert bytes(sorted(table)) == IDENTITY


@pytest.mark.parametrize("party, purpose", [
    ("", ""),
    ("alice", "session"),
    ("a:b", "c"),
    ("a", "b:c"),
    (":", "::"),
    ("\u03c0\u03b1\u03c1\u03c4\u03b9", "\U0001f511 key"),
    ("p" * 1000, "q" * 70),
])
def test_result_is_a_permutation(party, purpose):
    assert_key_table(k.gen_key(party, purpose, SEED))


@given(party=st.text(), purpose=st.text(), seed=st.binary(min_size=32, max_size=32))
def test_any_labels_and_seed_give_a_permutation(party, purpose, seed):
    assert_key_table(k.gen_key(party, purpose, u8(seed)))


def test_equal_arguments_give_different_tables():
    tables = {k.gen_key("alice", "session", SEED) for _ in range(8)}
    assert len(tables) == 8


def test_keywords_and_array_variants_are_accepted():
    assert_key_table(k.gen_key(master_seed=SEED, purpose="p", party_id="x"))
    readonly = SEED.copy()
    readonly.flags.writeable = False
    assert_key_table(k.gen_key("x", "p", readonly))
    assert_key_table(k.gen_key("x", "p", np.zeros(64, dtype=np.uint8)[32:]))  # offset view
    assert_key_table(k.gen_key("x", "p", np.asarray(SEED, order="F")))


class StrSub(str):
    pass


def test_str_subclass_labels():
    assert_key_table(k.gen_key(StrSub("x"), StrSub(""), SEED))


@pytest.mark.parametrize("args, error, message", [
    ((1, "p", SEED), TypeError,
     "argument 'party_id': 'int' object cannot be converted to 'PyString'"),
    ((None, "p", SEED), TypeError,
     "argument 'party_id': 'NoneType' object cannot be converted to 'PyString'"),
    (("x", b"p", SEED), TypeError,
     "argument 'purpose': 'bytes' object cannot be converted to 'PyString'"),
    # party_id is converted first, so its error wins over the others
    ((b"x", 2, bytes(32)), TypeError,
     "argument 'party_id': 'bytes' object cannot be converted to 'PyString'"),
    (("x", "p", bytes(32)), TypeError,
     "argument 'master_seed': 'bytes' object cannot be converted to 'PyArray<T, D>'"),
    (("x", "p", list(range(32))), TypeError,
     "argument 'master_seed': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (("x", "p", np.zeros((4, 8), dtype=np.uint8)), TypeError,
     "argument 'master_seed': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (("x", "p", np.zeros(32, dtype=np.int8)), TypeError,
     "argument 'master_seed': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (("x", "p", np.zeros(32, dtype=np.uint16)), TypeError,
     "argument 'master_seed': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (("x", "p", strided(32)), ValueError, CONTIGUITY),
    (("x", "p", strided(31)), ValueError, CONTIGUITY),  # contiguity is checked before length
    (("x", "p", np.arange(32, dtype=np.uint8)[::-1]), ValueError, CONTIGUITY),
    (("x", "p", u8(bytes(31))), ValueError, LENGTH),
    (("x", "p", u8(bytes(33))), ValueError, LENGTH),
    (("x", "p", u8(b"")), ValueError, LENGTH),
])
def test_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        k.gen_key(*args)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("args", [("\udc80", "p", SEED), ("x", "\ud800", bytes(32))])
def test_unencodable_label_passes_the_interpreters_error(args):
    with pytest.raises(UnicodeEncodeError):
        k.gen_key(*args)


def test_binding_errors():
    with pytest.raises(TypeError) as info:
        k.gen_key("x", "p")
    assert str(info.value) == "gen_key() missing 1 required positional argument: 'master_seed'"
    with pytest.raises(TypeError) as info:
        k.gen_key("x", "p", SEED, party_id="y")
    assert str(info.value) == "gen_key() got multiple values for argument 'party_id'"


def test_reference_counts_stay_put():
    seed = SEED.copy()
    party, purpose = "party-refcount", "purpose-refcount"
    bad = strided(32)
    before = [sys.getrefcount(o) for o in (seed, party, purpose, bad)]
    for _ in range(200):
        k.gen_key(party, purpose, seed)
        with pytest.raises(ValueError):
            k.gen_key(party, purpose, bad)
    assert [sys.getrefcount(o) for o in (seed, party, purpose, bad)] == before


def test_group_flow_example_runs(capsys):
    """The example's own assertions: mapping round trip, cycling composition, recovery."""
    path = pathlib.Path(__file__).resolve().parents[1] / "examples" / "group_flow.py"
    runpy.run_path(str(path), run_name="__main__")
    out = capsys.readouterr().out
    assert "two steps equal one direct step: True" in out
