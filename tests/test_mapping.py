"""map_data and inv_data: worked examples, round trips, agreement with an
independent model, and every error in its order."""
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import mapping_model as model
from support import raises_panic, strided, u8

PLUS_ONE = bytes((x + 1) % 256 for x in range(256))
REVERSED = bytes(255 - x for x in range(256))
IDENTITY = bytes(range(256))
SEED = u8(bytes(range(32)))
NOT_CONTIGUOUS = "called `Result::unwrap()` on an `Err` value: NotContiguousError"
ARRAY = "'{}' object cannot be converted to 'PyArray<T, D>'"


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


# ---- worked examples ----------------------------------------------------------

@pytest.mark.parametrize("pub, priv, column, mapped", [
    (PLUS_ONE, REVERSED, [10, 20, 30, 40], [80, 130, 216, 205]),
    (IDENTITY, IDENTITY, [10, 20, 30], [216, 206, 40]),
])
def test_worked_examples_forward_and_back(pub, priv, column, mapped):
    sequences = arrays([[c] for c in column])
    assert map_all(pub, [priv] * len(column), sequences) == [bytes([m]) for m in mapped]
    restored = k.inv_data(u8(pub), [u8(priv)] * len(column), arrays([[m] for m in mapped]))
    assert restored == [bytes([c]) for c in column]


# ---- round trips and the model ----------------------------------------------------

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


def test_results_do_not_depend_on_block_boundaries():
    # Long enough to be split into many pieces of work; every column must
    # still match the model, which maps one column at a time.
    rng = np.random.default_rng(5)
    n, length = 9, 200_003
    data = rng.integers(0, 256, size=(n, length), dtype=np.uint8)
    pub = rng.integers(0, 256, 256, dtype=np.uint8)
    privs = key_tables(n)
    mapped = map_all(pub, privs, data)
    picks = sorted(set(rng.integers(0, length, 300).tolist()) | {0, length - 1})
    for d in (0, 1, n - 1):
        for j in picks:
            assert mapped[d][j] == model.map_column(pub.tobytes(), privs[d], d, data[:, j].tolist())
    assert k.inv_data(pub, arrays(privs), arrays(mapped)) == [r.tobytes() for r in data]
    assert map_all(pub, privs, data) == mapped


# ---- tables, lengths and shapes ------------------------------------------------------

def test_empty_data():
    empty = [u8(b"")] * 3
    assert k.map_data(u8(b""), u8(b""), 2, empty) == b""
    assert k.inv_data(u8(bytes(10)), [u8(b"")] * 3, empty) == [b"", b"", b""]
    assert k.inv_data(u8(b""), [u8(IDENTITY)], [u8(b"")]) == [b""]
    assert k.map_data(u8(b""), u8(b""), 1, np.zeros((2, 0), dtype=np.uint8)) == b""


def test_rows_of_a_matrix_are_the_sequences():
    matrix = np.arange(24, dtype=np.uint8).reshape(3, 8)
    for d in range(3):
        assert (k.map_data(u8(PLUS_ONE), u8(REVERSED), d, matrix)
                == k.map_data(u8(PLUS_ONE), u8(REVERSED), d, list(matrix.copy())))
    mapped = np.array([np.frombuffer(m, np.uint8) for m in map_all(PLUS_ONE, [REVERSED] * 3, matrix)])
    keys = np.array([np.frombuffer(REVERSED, np.uint8)] * 3)
    assert k.inv_data(u8(PLUS_ONE), keys, mapped) == [r.tobytes() for r in matrix]
    assert k.map_data(u8(IDENTITY), u8(IDENTITY), 0, np.zeros((3, 8), dtype=np.uint8)) == bytes(8)


def test_only_the_first_256_entries_are_read():
    rng = np.random.default_rng(6)
    data = list(rng.integers(0, 256, size=(4, 100), dtype=np.uint8))
    pub, priv = rng.integers(0, 256, 256, dtype=np.uint8), rng.permutation(256).astype(np.uint8)
    long_pub = np.concatenate([pub, np.full(50, 9, np.uint8)])
    long_priv = np.concatenate([priv, np.full(50, 9, np.uint8)])
    for d in range(4):
        assert k.map_data(long_pub, long_priv, d, data) == k.map_data(pub, priv, d, data)


def test_private_tables_of_other_lengths_in_inv_data():
    # 300 entries: positions 256.. overwrite the inverse entries of their values;
    # an empty table inverts to zeros, so that party's step values are all 0.
    rng = np.random.default_rng(7)
    mapped = list(rng.integers(0, 256, size=(3, 50), dtype=np.uint8))
    long_key = np.concatenate([np.arange(256), np.arange(255, 211, -1)]).astype(np.uint8)
    privs = [long_key, u8(b""), u8(REVERSED)]
    assert k.inv_data(u8(PLUS_ONE), privs, mapped) == model.inv_data(
        PLUS_ONE, [p.tolist() for p in privs], [m.tolist() for m in mapped])


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
    (PLUS_ONE, IDENTITY, 0, seqs(4, 4, 3, 5),
     "all inner vectors must have equal length; data_sequences[0].len() = 4, "
     "but data_sequences[2].len() = 3"),
    (PLUS_ONE, IDENTITY, 0, seqs(0, 1), "all inner vectors must have equal length; "
     "data_sequences[0].len() = 0, but data_sequences[1].len() = 1"),
    (PLUS_ONE[:10], IDENTITY, 0, seqs(1, 1, 1), model.index_message(10, 50)),
    (PLUS_ONE[:10], IDENTITY, 2, seqs(1, 1, 1), model.index_message(10, 50)),
    (b"", b"", 0, seqs(1, 1), model.index_message(0, 20)),
    (PLUS_ONE, IDENTITY[:3], 0, seqs(1, 1), model.index_message(3, 245)),
])
def test_map_data_failures(pub, priv, identity, sequences, message):
    with raises_panic(message):
        k.map_data(u8(pub), u8(priv), identity, sequences)


def test_lowest_failing_column_is_reported():
    n, length = 5, 400_000
    data = np.zeros((n, length), dtype=np.uint8)
    data[1, 390_001] = 150   # S_1 = 150
    data[2, 123_456] = 120   # S_1 = 120, the lowest failing column
    data[3, 300_000] = 200
    with raises_panic(model.index_message(100, 120)):
        k.map_data(u8(PLUS_ONE[:100]), u8(IDENTITY), 0, data)


@pytest.mark.parametrize("pub, privs, sequences, message", [
    (PLUS_ONE, [IDENTITY] * 2, seqs(4, 4, 4),
     model.equality_message(model.COUNT_TEXT, 3, 2)),
    (PLUS_ONE, [IDENTITY] * 3, seqs(4, 4),
     model.equality_message(model.COUNT_TEXT, 2, 3)),
    (PLUS_ONE, [], [], model.index_message(0, 0)),
    (PLUS_ONE, [IDENTITY] * 4, seqs(4, 4, 3, 5),
     "all inner vectors must have equal length; data_sequences[0].len() = 4, "
     "but data_sequences[2].len() = 3"),
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


@pytest.mark.parametrize("args, error, message", [
    ((IDENTITY, KEY, 0, TWO), TypeError, "argument 'pub_key': " + ARRAY.format("bytes")),
    ((KEY, list(IDENTITY), 0, TWO), TypeError, "argument 'priv_key': " + ARRAY.format("list")),
    ((np.zeros((2, 2), np.uint8), KEY, 0, TWO), TypeError,
     "argument 'pub_key': " + ARRAY.format("ndarray")),
    ((KEY, KEY.astype(np.int8), 0, TWO), TypeError, "argument 'priv_key': " + ARRAY.format("ndarray")),
    ((KEY, KEY, 1.0, TWO), TypeError,
     "argument 'identity': 'float' object cannot be interpreted as an integer"),
    ((KEY, KEY, 0, "ab"), TypeError, "argument 'data_sequences': Can't extract `str` to `Vec`"),
    ((KEY, KEY, 0, {1: 2}), TypeError,
     "argument 'data_sequences': 'dict' object cannot be converted to 'Sequence'"),
    ((KEY, KEY, 0, [TWO[0], b"abc"]), TypeError,
     "argument 'data_sequences': " + ARRAY.format("bytes")),
    ((KEY, KEY, 0, [np.zeros(3, np.uint16)] * 2), TypeError,
     "argument 'data_sequences': " + ARRAY.format("ndarray")),
    # Every argument is converted before any contiguity test.
    ((strided(256), KEY, 0, "ab"), TypeError, "argument 'data_sequences': Can't extract `str` to `Vec`"),
    ((strided(256), KEY, 0, TWO), TypeError, "The given array is not contiguous"),
    ((KEY, strided(256), 0, TWO), TypeError, "The given array is not contiguous"),
    ((KEY, strided(256), 0, [strided(3)] * 2), TypeError, "The given array is not contiguous"),
])
def test_map_data_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        k.map_data(*args)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("identity", [-1, 2**64])
def test_identity_out_of_range_is_the_interpreters_overflow(identity):
    with pytest.raises(OverflowError) as info:
        k.map_data(KEY, KEY, identity, TWO)
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("args, error, message", [
    ((IDENTITY, [KEY], TWO), TypeError, "argument 'pub_key': " + ARRAY.format("bytes")),
    ((KEY, "ab", TWO), TypeError, "argument 'priv_keys': Can't extract `str` to `Vec`"),
    ((KEY, [IDENTITY], TWO), TypeError, "argument 'priv_keys': " + ARRAY.format("bytes")),
    ((KEY, [KEY], "ab"), TypeError, "argument 'data_sequences': Can't extract `str` to `Vec`"),
    ((KEY, {KEY.tobytes()}, TWO), TypeError,
     "argument 'priv_keys': 'set' object cannot be converted to 'Sequence'"),
    ((strided(256), [KEY], "ab"), TypeError,
     "argument 'data_sequences': Can't extract `str` to `Vec`"),
    ((strided(256), [strided(256)], TWO), TypeError, "The given array is not contiguous"),
])
def test_inv_data_argument_errors(args, error, message):
    with pytest.raises(error) as info:
        k.inv_data(*args)
    assert type(info.value) is error
    assert str(info.value) == message


@pytest.mark.parametrize("call", [
    # Items are taken before the core's checks: here n < 2, or unequal lengths.
    lambda: k.map_data(KEY, KEY, 0, [strided(3)]),
    lambda: k.map_data(KEY, KEY, 9, [u8(bytes(3)), strided(4)]),
    lambda: k.map_data(KEY, KEY, 0, np.zeros((3, 8), dtype=np.uint8, order="F")),
    lambda: k.inv_data(KEY, [KEY, strided(256)], [u8(bytes(3))]),
    lambda: k.inv_data(KEY, [KEY], [u8(bytes(3)), strided(3)]),
    lambda: k.inv_data(u8(bytes(10)), [KEY, KEY], np.zeros((2, 5), dtype=np.uint8, order="F")),
])
def test_non_contiguous_items(call):
    with raises_panic(NOT_CONTIGUOUS):
        call()


def test_keywords_and_numpy_integers():
    sequences = seqs(3, 3, 3)
    want = k.map_data(KEY, u8(REVERSED), 2, sequences)
    assert k.map_data(data_sequences=sequences, identity=np.uint8(2), priv_key=u8(REVERSED),
                      pub_key=KEY) == want
    assert k.map_data(KEY, u8(REVERSED), True, sequences) == k.map_data(KEY, u8(REVERSED), 1,
                                                                       sequences)
    assert k.inv_data(data_sequences=seqs(2, 2), priv_keys=[KEY, KEY], pub_key=KEY) == \
        k.inv_data(KEY, [KEY, KEY], seqs(2, 2))
    with pytest.raises(TypeError) as info:
        k.inv_data(KEY, [KEY])
    assert str(info.value) == "inv_data() missing 1 required positional argument: 'data_sequences'"


def test_reference_counts_stay_put():
    pub, priv, sequences = u8(PLUS_ONE), u8(REVERSED), seqs(64, 64, 64)
    keys = [priv] * 3
    short = u8(b"")
    objects = (pub, priv, short, *sequences)
    before = [sys.getrefcount(o) for o in objects]
    for _ in range(100):
        mapped = [k.map_data(pub, priv, d, sequences) for d in range(3)]
        k.inv_data(pub, keys, arrays(mapped))
        with raises_panic(model.index_message(0, 50)):
            k.map_data(short, priv, 0, sequences)
        with raises_panic(model.equality_message(model.PUBLIC_TEXT, 0, 256)):
            k.inv_data(short, keys, sequences)
        with raises_panic(NOT_CONTIGUOUS):
            k.map_data(pub, priv, 0, [*sequences, strided(64)])
    assert [sys.getrefcount(o) for o in objects] == before
