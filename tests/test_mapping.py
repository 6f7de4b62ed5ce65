"""map_data and inv_data: worked examples, round trips, agreement with an
independent model, and every error in its order. Back ends, thread counts and
long data are compared with a model in core/tests/mapping_test.cpp."""
import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import mapping_model as model
from support import ARRAY, NOT_CONTIGUOUS, raises_exactly, raises_panic, strided, u8

PLUS_ONE = bytes((x + 1) % 256 for x in range(256))
REVERSED = bytes(255 - x for x in range(256))
IDENTITY = bytes(range(256))
SEED = u8(bytes(range(32)))
ITEM_NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
UNEQUAL = ("all inner vectors must have equal length; data_sequences[0].len() = {}, "
           "but data_sequences[{}].len() = {}")


def key_tables(n, purpose="mapping"):
    return [k.gen_key(f"party {i}", purpose, SEED) for i in range(n)]


def arrays(rows):
    return [u8(r) for r in rows]


def map_all(pub, privs, sequences):
    return [k.map_data(u8(pub), u8(privs[d]), d, sequences) for d in range(len(privs))]


def expect_like_model(call, model_call):
    """The module returns what the model returns, or panics with its message."""
    try:
        want = model_call()
    except model.ModelPanic as failure:
        with raises_panic(str(failure)):
            call()
        return
    assert call() == want


# ---- worked examples, round trips and the model -----------------------------------

@pytest.mark.parametrize("pub, priv, column, mapped", [
    (PLUS_ONE, REVERSED, [10, 20, 30, 40], [80, 130, 216, 205]),
    (IDENTITY, IDENTITY, [10, 20, 30], [216, 206, 40]),
])
def test_worked_examples_forward_and_back(pub, priv, column, mapped):
    sequences = arrays([[c] for c in column])
    assert map_all(pub, [priv] * len(column), sequences) == [bytes([m]) for m in mapped]
    restored = k.inv_data(u8(pub), [u8(priv)] * len(column), arrays([[m] for m in mapped]))
    assert restored == [bytes([c]) for c in column]


@given(n=st.sampled_from([2, 3, 8, 64]), length=st.integers(0, 3000),
       seed=st.integers(0, 2**32 - 1), as_matrix=st.booleans(), any_pub=st.booleans())
def test_round_trip_with_generated_tables(n, length, seed, as_matrix, any_pub):
    rng = np.random.default_rng(seed)
    data = rng.integers(0, 256, size=(n, length), dtype=np.uint8)
    sequences = data if as_matrix else list(data)
    pub = rng.integers(0, 256, 256, dtype=np.uint8).tobytes() if any_pub else key_tables(1, "pub")[0]
    privs = key_tables(n)
    mapped = map_all(pub, privs, sequences)
    assert all(type(m) is bytes and len(m) == length for m in mapped)
    restored = k.inv_data(u8(pub), arrays(privs), arrays(mapped))
    assert type(restored) is list
    assert restored == [row.tobytes() for row in data]


# Tables of other lengths: short ones fail only when a lookup falls past their
# end, long ones are read only in their first 256 entries.
@given(n=st.integers(2, 6), length=st.integers(0, 40), seed=st.integers(0, 2**32 - 1),
       data=st.data())
def test_map_data_agrees_with_model(n, length, seed, data):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 256, size=(n, length), dtype=np.uint8)
    pub = rng.integers(0, 256, data.draw(st.sampled_from([256, 300, 200, 10])), dtype=np.uint8)
    priv = rng.permutation(256).astype(np.uint8)[:data.draw(st.sampled_from([256, 250, 50]))]
    identity = data.draw(st.integers(0, n - 1))
    expect_like_model(lambda: k.map_data(pub, priv, identity, list(rows)),
                      lambda: model.map_data(pub.tolist(), priv.tolist(), identity, rows.tolist()))


@given(n=st.integers(1, 6), length=st.integers(0, 40), seed=st.integers(0, 2**32 - 1),
       data=st.data())
def test_inv_data_agrees_with_model(n, length, seed, data):
    rng = np.random.default_rng(seed)
    rows = rng.integers(0, 256, size=(n, length), dtype=np.uint8)
    pub = rng.integers(0, 256, data.draw(st.sampled_from([256, 256, 255, 257])), dtype=np.uint8)
    # Private tables need not be permutations, nor 256 entries long.
    sizes = data.draw(st.lists(st.sampled_from([256, 256, 0, 17, 300]), min_size=n, max_size=n))
    privs = [rng.integers(0, 256, size, dtype=np.uint8) for size in sizes]
    expect_like_model(lambda: k.inv_data(pub, privs, list(rows)),
                      lambda: model.inv_data(pub.tolist(), [p.tolist() for p in privs],
                                             rows.tolist()))


def test_empty_data_reads_no_table():
    empty = [u8(b"")] * 3
    assert k.map_data(u8(b""), u8(b""), 2, empty) == b""
    assert k.map_data(u8(b""), u8(b""), 1, np.zeros((2, 0), dtype=np.uint8)) == b""
    assert k.inv_data(u8(bytes(10)), [u8(b"")] * 3, empty) == [b"", b"", b""]
    assert k.inv_data(u8(b""), [u8(IDENTITY)], [u8(b"")]) == [b""]


def test_rows_of_matrices_are_the_sequences_and_keys():
    matrix = np.arange(24, dtype=np.uint8).reshape(3, 8)
    mapped = map_all(PLUS_ONE, [REVERSED] * 3, matrix)
    assert mapped == map_all(PLUS_ONE, [REVERSED] * 3, list(matrix.copy()))
    keys = np.array([np.frombuffer(REVERSED, np.uint8)] * 3)
    assert k.inv_data(u8(PLUS_ONE), keys, np.array(arrays(mapped))) == [r.tobytes() for r in matrix]


# ---- errors ------------------------------------------------------------------------

def seqs(*lengths):
    return [u8(bytes([10 * (i + 1)]) * n) for i, n in enumerate(lengths)]


@pytest.mark.parametrize("pub, priv, identity, sequences, message", [
    (PLUS_ONE, IDENTITY, 0, [], model.PARTIES_MESSAGE),
    (PLUS_ONE, IDENTITY, 0, seqs(5), model.PARTIES_MESSAGE),
    (PLUS_ONE, IDENTITY, 5, seqs(5), model.PARTIES_MESSAGE),
    (PLUS_ONE, IDENTITY, 3, seqs(4, 4, 4), model.IDENTITY_MESSAGE),
    (PLUS_ONE, IDENTITY, 5, seqs(4, 4, 3), model.IDENTITY_MESSAGE),  # before the lengths
    (PLUS_ONE, IDENTITY, 2**64 - 1, seqs(1, 1), model.IDENTITY_MESSAGE),
    (PLUS_ONE, IDENTITY, 0, seqs(4, 4, 3, 5), UNEQUAL.format(4, 2, 3)),
    (PLUS_ONE, IDENTITY, 0, seqs(0, 1), UNEQUAL.format(0, 1, 1)),
    (PLUS_ONE[:10], IDENTITY, 0, seqs(1, 1, 1), model.index_message(10, 50)),
    (PLUS_ONE[:10], IDENTITY, 2, seqs(1, 1, 1), model.index_message(10, 50)),
    (b"", b"", 0, seqs(1, 1), model.index_message(0, 20)),
    (PLUS_ONE, IDENTITY[:3], 0, seqs(1, 1), model.index_message(3, 245)),
])
def test_map_data_failures(pub, priv, identity, sequences, message):
    with raises_panic(message):
        k.map_data(u8(pub), u8(priv), identity, sequences)


@pytest.mark.parametrize("pub, privs, sequences, message", [
    (PLUS_ONE, [IDENTITY] * 2, seqs(4, 4, 4), model.equality_message(model.COUNT_TEXT, 3, 2)),
    (PLUS_ONE, [IDENTITY] * 3, seqs(4, 4), model.equality_message(model.COUNT_TEXT, 2, 3)),
    (PLUS_ONE, [], [], model.index_message(0, 0)),
    (PLUS_ONE, [IDENTITY] * 4, seqs(4, 4, 3, 5), UNEQUAL.format(4, 2, 3)),
    (PLUS_ONE[:255], [IDENTITY[:255]] * 2, seqs(2, 2),
     model.equality_message(model.PUBLIC_TEXT, 255, 256)),
    (PLUS_ONE + b"x", [IDENTITY + b"x"] * 2, seqs(2, 2),
     model.equality_message(model.PUBLIC_TEXT, 257, 256)),
    (b"", [IDENTITY], seqs(3), model.equality_message(model.PUBLIC_TEXT, 0, 256)),
    (PLUS_ONE, [IDENTITY], seqs(3), model.index_message(1, 1)),
])
def test_inv_data_failures(pub, privs, sequences, message):
    with raises_panic(message):
        k.inv_data(u8(pub), arrays(privs), sequences)


KEY = u8(IDENTITY)
TWO = seqs(3, 3)


# Every argument is converted before any contiguity test; the tables are then
# tested before the sequences' items.
@pytest.mark.parametrize("call, message", [
    (lambda: k.map_data(KEY, KEY, 0, [np.zeros(3, np.uint16)] * 2),
     "argument 'data_sequences': " + ARRAY.format("ndarray")),
    (lambda: k.map_data(strided(256), KEY, 0, "ab"),
     "argument 'data_sequences': Can't extract `str` to `Vec`"),
    (lambda: k.map_data(strided(256), KEY, 0, TWO), NOT_CONTIGUOUS),
    (lambda: k.map_data(KEY, strided(256), 0, TWO), NOT_CONTIGUOUS),
    (lambda: k.map_data(KEY, strided(256), 0, [strided(3)] * 2), NOT_CONTIGUOUS),
    (lambda: k.inv_data(strided(256), [KEY], "ab"),
     "argument 'data_sequences': Can't extract `str` to `Vec`"),
    (lambda: k.inv_data(strided(256), [strided(256)], TWO), NOT_CONTIGUOUS),
])
def test_argument_errors_in_order(call, message):
    with raises_exactly(TypeError, message):
        call()


@pytest.mark.parametrize("call", [
    # Items are taken before the core's checks: here n < 2, or unequal lengths.
    lambda: k.map_data(KEY, KEY, 0, [strided(3)]),
    lambda: k.map_data(KEY, KEY, 9, [u8(bytes(3)), strided(4)]),
    lambda: k.map_data(KEY, KEY, 0, np.zeros((3, 8), dtype=np.uint8, order="F")),
    lambda: k.inv_data(KEY, [KEY, strided(256)], [u8(bytes(3))]),
    lambda: k.inv_data(KEY, [KEY], [u8(bytes(3)), strided(3)]),
    lambda: k.inv_data(u8(bytes(10)), [KEY, KEY], np.zeros((2, 5), dtype=np.uint8, order="F")),
])
def test_non_contiguous_items_are_a_panic(call):
    with raises_panic(ITEM_NOT_CONTIGUOUS):
        call()
