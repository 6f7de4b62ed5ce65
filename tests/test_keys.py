"""gen_key: key tables from a master seed, two labels and fresh OS randomness.

The derivation itself is checked bit for bit against an independent model in
core/tests/keys_test.cpp; here, the Python surface."""

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import kelvora_core_py as k
from support import ARRAY, raises_exactly, strided, u8

SEED = u8(bytes(range(32)))
CONTIGUITY = "Seed array not contiguous: The given array is not contiguous"
LENGTH = "master_seed must be exactly 32 bytes long"


def assert_key_table(table):
    assert type(table) is bytes
    assert bytes(sorted(table)) == bytes(range(256))


@given(party=st.text(), purpose=st.text(), seed=st.binary(min_size=32, max_size=32))
def test_any_labels_and_seed_give_a_permutation(party, purpose, seed):
    assert_key_table(k.gen_key(party, purpose, u8(seed)))


def test_equal_arguments_give_different_tables():
    tables = {k.gen_key("alice", "session", SEED) for _ in range(8)}
    assert len(tables) == 8


class StrSub(str):
    pass


@pytest.mark.parametrize("party, purpose, seed", [
    ("p" * 1000, "\U0001f511 key", SEED),
    (StrSub("x"), StrSub(""), SEED),
    ("x", "p", np.zeros(64, dtype=np.uint8)[32:]),           # a view at an offset
    ("x", "p", np.asarray(SEED, order="F")),
    ("x", "p", np.frombuffer(bytes(32), dtype=np.uint8)),    # read-only
])
def test_label_and_seed_variants(party, purpose, seed):
    assert_key_table(k.gen_key(party, purpose, seed))


@pytest.mark.parametrize("args, error, message", [
    ((None, "p", SEED), TypeError,
     "argument 'party_id': 'NoneType' object cannot be converted to 'PyString'"),
    # party_id is converted first, so its error wins over the others
    ((b"x", 2, bytes(32)), TypeError,
     "argument 'party_id': 'bytes' object cannot be converted to 'PyString'"),
    (("x", "p", bytes(32)), TypeError, "argument 'master_seed': " + ARRAY.format("bytes")),
    (("x", "p", np.zeros(32, dtype=np.int8)), TypeError,
     "argument 'master_seed': " + ARRAY.format("ndarray")),
    (("x", "p", strided(32)), ValueError, CONTIGUITY),
    (("x", "p", strided(31)), ValueError, CONTIGUITY),  # contiguity is checked before length
    (("x", "p", np.arange(32, dtype=np.uint8)[::-1]), ValueError, CONTIGUITY),
    (("x", "p", u8(bytes(31))), ValueError, LENGTH),
    (("x", "p", u8(bytes(33))), ValueError, LENGTH),
    (("x", "p", u8(b"")), ValueError, LENGTH),
])
def test_argument_errors(args, error, message):
    with raises_exactly(error, message):
        k.gen_key(*args)


@pytest.mark.parametrize("args", [("\udc80", "p", SEED), ("x", "\ud800", bytes(32))])
def test_unencodable_label_passes_the_interpreters_error(args):
    with pytest.raises(UnicodeEncodeError):
        k.gen_key(*args)
