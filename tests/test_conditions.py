"""Range conditions: prep_condition and cond_hash_branch.

Known answers come from tests/models/order_map.py, an independent model of the
salted order-preserving map written with hashlib/hmac; branch identities are
checked with hashlib directly. Images of landmark keys and salts, and one
step's arithmetic, are pinned in core/tests/conditions_test.cpp.
"""
import hashlib
import math

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import order_map as model
from support import NO_IMAGE, raises_panic, u8

INSIDE = 0xDEADBEEFDEADBEEF
FLT_MAX = 3.4028234663852886e38
SALT_LENGTHS = [0, 1, 64, 65, 200]


def salt_of(n: int, seed: int = 1) -> bytes:
    return bytes((seed * 131 + 7 * i) % 256 for i in range(n))


def from_bits(bits: int) -> float:
    return model.double_from_bits(bits)


def unfold(lo: int, hi: int, salt: bytes, branch: int) -> int:
    """branch XOR (lo AND hi) XOR the first 8 digest bytes, little-endian."""
    d = hashlib.sha256(lo.to_bytes(8, "big") + hi.to_bytes(8, "big") + salt).digest()
    return branch ^ (lo & hi) ^ int.from_bytes(d[:8], "little")


# --- the map: order and agreement with the model ---------------------------------

KEYS = st.integers(0, 0xFFFFFFFE)


def float_for_key(key: int) -> float:
    """A Python float that converts to the binary32 value with this ordered key."""
    bits32 = key ^ 0x80000000 if key & 0x80000000 else ~key & 0xFFFFFFFF
    sign, exponent, fraction = bits32 >> 31, (bits32 >> 23) & 0xFF, bits32 & 0x7FFFFF
    if exponent == 0xFF:     # infinity, or a NaN carrying the same top fraction bits
        return from_bits(sign << 63 | 0x7FF << 52 | fraction << 29)
    value = math.ldexp(fraction if exponent == 0 else fraction | 1 << 23,
                       (exponent or 1) - 150)
    return -value if sign else value


@given(n=st.sampled_from(SALT_LENGTHS), seed=st.integers(0, 255), a=KEYS, b=KEYS)
def test_map_is_strictly_increasing_and_deterministic(n, seed, a, b):
    salt = u8(salt_of(n, seed))
    x, y = float_for_key(a), float_for_key(b)
    # The keys the module sees (a NaN gains its quiet bit on the way in).
    ka = model.ordered_key(model.binary32_bits(x))
    kb = model.ordered_key(model.binary32_bits(y))
    lo, hi = k.prep_condition(x, y, salt)
    assert (lo < hi, lo == hi, lo > hi) == (ka < kb, ka == kb, ka > kb)
    assert max(lo, hi) <= 2**64 - 2
    assert (lo, hi) == model.prep_condition(x, y, salt.tobytes())
    assert k.prep_condition(x, y, salt) == (lo, hi)
    assert k.prep_condition(y, x, salt) == (hi, lo)


# --- float arguments become binary32 ------------------------------------------

ONE_ULP = 2.0 ** -23

CONVERSIONS = [
    # (argument, binary32 bits it must become)
    (0.1, 0x3DCCCCCD),
    (1.0 + ONE_ULP / 2, 0x3F800000),                 # tie, to even (down)
    (1.0 + 3 * ONE_ULP / 2, 0x3F800002),             # tie, to even (up)
    (1.0 + ONE_ULP / 2 + 2.0 ** -50, 0x3F800001),    # just above the tie
    (FLT_MAX, 0x7F7FFFFF),
    (FLT_MAX + 2.0 ** 102, 0x7F7FFFFF),              # below the overflow tie
    (FLT_MAX + 2.0 ** 103, 0x7F800000),              # the tie rounds to infinity
    (1e39, 0x7F800000),
    (-1e39, 0xFF800000),
    (2.0 ** -149, 0x00000001),
    (2.0 ** -150, 0x00000000),                       # subnormal tie, to even (zero)
    (3 * 2.0 ** -150, 0x00000002),                   # subnormal tie, to even (up)
    (2.0 ** -126 - 2.0 ** -151, 0x00800000),         # rounds up into the normals
    (5e-324, 0x00000000),
    (-5e-324, 0x80000000),                           # underflow keeps the sign
    (math.nan, 0x7FC00000),
    (-math.nan, 0xFFC00000),
    (from_bits(0x7FF0000000000001), 0x7FC00000),     # signalling NaN becomes quiet
    (from_bits(0x7FF4000000000000), 0x7FE00000),     # top fraction bits kept
    (from_bits(0xFFF0000020000000), 0xFFC00001),     # lowest kept bit, sign kept
    (from_bits(0x7FFFFFFFC0000000), 0x7FFFFFFE),     # the highest key with an image
    (from_bits(0xFFFFFFFFFFFFFFFF), 0xFFFFFFFF),     # negative NaN, all bits: the lowest key
    (3, 0x40400000),                                 # ints convert as floats
    (16777217, 0x4B800000),                          # 2^24 + 1: tie, to even
]


@pytest.mark.parametrize("value, bits", CONVERSIONS)
def test_float_argument_rounds_to_binary32(value, bits):
    assert model.binary32_bits(float(value)) == bits   # the model agrees with the table
    salt = b"conversion"
    lo, hi = k.prep_condition(value, value, u8(salt))
    want = model.map_bits(salt, bits)
    assert lo == hi == want
    # The same conversion for test_value: inside the one-point range.
    assert unfold(lo, hi, salt, k.cond_hash_branch(lo, hi, value, u8(salt))) == INSIDE


def test_number_like_arguments():
    class Real:
        def __float__(self):
            return 0.75

    class Index:
        def __index__(self):
            return 3

    salt = u8(b"s")
    assert k.prep_condition(Real(), Index(), salt) == k.prep_condition(0.75, 3.0, salt)
    assert k.prep_condition(True, np.float64(2.0), salt) == k.prep_condition(1.0, 2.0, salt)
    lo, hi = k.prep_condition(1, 2, salt)
    assert k.cond_hash_branch(np.uint64(lo), hi, Real(), salt) == \
        k.cond_hash_branch(lo, hi, 0.75, salt)


# --- the positive NaN with all fraction bits -----------------------------------

NO_IMAGE_NANS = [from_bits(0x7FFFFFFFFFFFFFFF), from_bits(0x7FFFFFFFE0000000)]


@pytest.mark.parametrize("nan", NO_IMAGE_NANS)
def test_nan_without_image_panics(nan):
    salt = u8(b"salt")
    with raises_panic(NO_IMAGE):
        k.prep_condition(nan, 1.0, salt)
    with raises_panic(NO_IMAGE):
        k.prep_condition(1.0, nan, salt)
    with raises_panic(NO_IMAGE):
        k.cond_hash_branch(0, 2**64 - 1, nan, salt)


# --- branch values -----------------------------------------------------------

@pytest.mark.parametrize("n", SALT_LENGTHS)
@pytest.mark.parametrize("low, high, value, inside", [
    (-1.0, 1.0, 0.0, True),
    (-1.0, 1.0, -1.0, True),                 # both ends count as inside
    (-1.0, 1.0, 1.0, True),
    (-1.0, 1.0, 1.0000001, False),
    (-1.0, 1.0, -math.inf, False),
    (0.0, 0.0, -0.0, False),                 # -0.0 lies below +0.0
    (-0.0, 0.0, 0.0, True),
    (0.0, 1e39, math.inf, True),             # 1e39 is +inf
    (0.0, math.inf, math.nan, False),        # NaN beyond infinity
    (-math.inf, math.nan, math.nan, True),
    (-math.nan, math.inf, from_bits(0xFFFFFFFFFFFFFFFF), False),
    (1.0, -1.0, 0.0, False),                 # swapped bounds never hold
    (1.0, -1.0, 1.0, False),
])
def test_branch_identity(n, low, high, value, inside):
    salt = salt_of(n)
    lo, hi = k.prep_condition(low, high, u8(salt))
    branch = k.cond_hash_branch(lo, hi, value, u8(salt))
    assert 0 <= branch < 2**64
    assert unfold(lo, hi, salt, branch) == (INSIDE if inside else 0)
    assert branch == model.cond_hash_branch(lo, hi, value, salt)


@given(lo=st.integers(0, 2**64 - 1), hi=st.integers(0, 2**64 - 1),
       value=st.floats(width=32, allow_nan=False), salt=st.binary(max_size=80))
def test_branch_of_arbitrary_bounds(lo, hi, value, salt):
    branch = k.cond_hash_branch(lo, hi, value, u8(salt))
    t = model.map_float(salt, value)
    assert unfold(lo, hi, salt, branch) == (INSIDE if lo <= t <= hi else 0)
