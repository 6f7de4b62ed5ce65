"""Packet involution, conditional involution and cycling through the module.

Known answers come from tests/models/involute_model.py, an independent model
written with hashlib (branch values from the model of the range conditions).
Thread counts, large packets and crumb ties are covered by
core/tests/involute_test.cpp; fork and interpreter exit by test_concurrency.py.
"""
import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import involute_model as model
from models import order_map
from support import (NO_IMAGE, PEAK_PRELUDE, distinct_packet, measures_peak_memory, permutation,
                     raises_exactly, raises_panic, run_python, u8)

NAN_WITHOUT_IMAGE = order_map.double_from_bits(0x7FFFFFFFFFFFFFFF)
SALT = bytes(range(16))


def involute(packet, salt, s):
    return k.involute_packet(u8(packet), u8(salt), s)


def cond(packet, salt, s, bounds, v):
    return k.cond_involute_packet(u8(packet), u8(salt), s, bounds[0], bounds[1], v)


def cycle(packet, old_salt, new_salt, old_key, new_key, s):
    return k.cycle_packet(u8(packet), u8(old_salt), u8(new_salt), u8(old_key), u8(new_key), s)


def key(seed: int) -> bytes:
    return permutation(seed).tobytes()


# --- involution: the model, and involution twice ---------------------------------------

@pytest.mark.parametrize("n, s, salt", [
    (1, 5, SALT), (2, 3, b""), (3, 2, SALT), (5, 1, bytes(range(100))), (17, 7, b""),
    (100, 64, SALT), (33, 65, bytes(range(100))), (4, 128, SALT), (256, 1, b""),
    (5000, 4, SALT), (4097, 6, bytes(range(100))), (40, 4096, SALT),
])
def test_matches_the_model(n, s, salt):
    packet = permutation(n)[:n].tobytes() if s == 1 else distinct_packet(n, s, seed=n * s)
    want = model.involute(packet, salt, s)
    assert involute(packet, salt, s) == want
    assert involute(want, salt, s) == packet


@given(st.lists(st.binary(min_size=6, max_size=6), min_size=1, max_size=60, unique=True),
       st.binary(max_size=40))
def test_hypothesis_matches_the_model(chunks, salt):
    packet = b"".join(chunks)
    assert involute(packet, salt, 6) == model.involute(packet, salt, 6)


@given(st.binary(max_size=600), st.binary(max_size=80), st.integers(1, 12))
def test_twice_is_the_identity_with_a_usable_chunk_size(packet, salt, minimum):
    for s in {k.get_chunk_size(u8(packet)), k.get_chunk_size_min(u8(packet), minimum)}:
        once = involute(packet, salt, s)
        assert sorted(once) == sorted(packet)
        assert involute(once, salt, s) == packet


def test_ranks_worked_example():
    # Find a salt under which the crumbs of X, Y, Z sort as Y, Z, X: the
    # result is then Z, X, Y, and the second call gives X, Y, Z again.
    packet = b"XXXXYYYYZZZZ"
    for i in range(200):
        salt = bytes([i])
        lo, hi = order_map.prep_condition(-1.0, 1.0, salt)
        branch = order_map.cond_hash_branch(lo, hi, 0.0, salt)
        if model.crumb_order(packet, salt, 4, branch) == [1, 2, 0]:
            break
    else:
        pytest.fail("no salt gives the order Y, Z, X")
    once = involute(packet, salt, 4)
    assert once == b"ZZZZXXXXYYYY"
    assert involute(once, salt, 4) == packet


@pytest.mark.parametrize("packet, s", [
    # Chunk size 0 returns the packet, whatever its length.
    (b"", 0), (b"abc", 0), (bytes(range(13)), 0), (bytes(1000), 0),
    # No chunk, one chunk, and two chunks: any order of two, applied twice,
    # is the identity.
    (b"", 7), (b"abcdef", 6), (b"abcdef", 3),
])
def test_packets_returned_unchanged(packet, s):
    for salt in (b"", b"x", SALT):
        assert involute(packet, salt, s) == packet


def test_same_array_as_packet_and_salt_and_inputs_untouched():
    packet = u8(distinct_packet(50, 4))
    before = packet.copy()
    got = k.involute_packet(packet, packet, 4)
    assert got == model.involute(packet.tobytes(), packet.tobytes(), 4)
    assert np.array_equal(packet, before)


# --- conditional involution ---------------------------------------------------------

@pytest.mark.parametrize("v", [0.0, -0.0, -1.0, 1.0, 0.5, -0.999])
def test_inside_minus_one_one_equals_involute_packet(v):
    packet = distinct_packet(40, 5)
    bounds = k.prep_condition(-1.0, 1.0, u8(SALT))
    assert cond(packet, SALT, 5, bounds, v) == involute(packet, SALT, 5)


@pytest.mark.parametrize("bounds_salt", [SALT, b"other"])
def test_conditional_matches_the_model(bounds_salt):
    packet = distinct_packet(300, 8, seed=3)
    lo, hi = k.prep_condition(0.0, 1.0, u8(bounds_salt))
    for v in (0.5, 3.0, float("nan"), float("-inf")):
        assert cond(packet, SALT, 8, (lo, hi), v) == \
            model.cond_involute(packet, SALT, 8, lo, hi, v)


def test_same_side_values_restore_each_other():
    packet = distinct_packet(200, 6, seed=4)
    bounds = k.prep_condition(0.0, 1.0, u8(SALT))
    inside = cond(packet, SALT, 6, bounds, 0.25)
    assert cond(inside, SALT, 6, bounds, 0.75) == packet
    assert cond(inside, SALT, 6, bounds, 0.0) == packet      # a bound counts as inside
    assert cond(inside, SALT, 6, bounds, 1.0) == packet
    assert cond(inside, SALT, 6, bounds, 1.5) != packet
    outside = cond(packet, SALT, 6, bounds, -2.0)
    assert outside != inside
    assert cond(outside, SALT, 6, bounds, 9.0) == packet
    upside_down = (bounds[1], bounds[0])                     # lo > hi: never inside
    flipped = cond(packet, SALT, 6, upside_down, 0.5)
    assert cond(flipped, SALT, 6, upside_down, -7.0) == packet


def test_test_value_is_mapped_only_when_there_are_chunks():
    bounds = k.prep_condition(0.0, 1.0, u8(SALT))
    with raises_panic(NO_IMAGE):
        cond(b"abcd", SALT, 2, bounds, NAN_WITHOUT_IMAGE)
    assert cond(b"abc", SALT, 0, bounds, NAN_WITHOUT_IMAGE) == b"abc"
    assert cond(b"", SALT, 3, bounds, NAN_WITHOUT_IMAGE) == b""


# --- cycling ------------------------------------------------------------------------

@pytest.mark.parametrize("n, s", [(1, 9), (50, 4), (300, 64), (5000, 5)])
def test_cycle_matches_the_model(n, s):
    packet = distinct_packet(n, s, seed=n)
    want = model.cycle(packet, b"old", SALT, key(1), key(2), s)
    assert cycle(packet, b"old", SALT, key(1), key(2), s) == want


def test_cycle_identities():
    packet = distinct_packet(500, 8, seed=9)
    s1, s2, s3 = b"first", b"second", bytes(70)
    k1, k2, k3 = key(1), key(2), key(3)
    assert cycle(packet, s1, s1, k1, k1, 8) == packet
    ab = cycle(packet, s1, s2, k1, k2, 8)
    assert cycle(ab, s2, s3, k2, k3, 8) == cycle(packet, s1, s3, k1, k3, 8)
    assert cycle(packet, s1, s2, k1, k2, 0) == model.recode(packet, k1, k2)
    assert cycle(b"\x05\x06\x07", s1, s2, b"", b"", 0) == b"\x00\x00\x00"
    # Keys that cover every value: cycling back with the old key and salt undoes it.
    assert cycle(ab, s2, s1, k2, k1, 8) == packet


@pytest.mark.parametrize("old_key, new_key, packet, s", [
    (b"\x03\x01\x02", b"\x01\x02\x02", b"abcd", 2),
    (b"", b"\x00", b"", 0),
    (b"\xff\x07", b"\x07", b"abc", 2),   # checked before the length
    (key(1), key(1)[:255], bytes(10), 0),
])
def test_key_mismatch_is_a_panic(old_key, new_key, packet, s):
    with raises_panic(model.key_mismatch_message(old_key, new_key)):
        cycle(packet, b"", b"", old_key, new_key, s)


# --- error values ---------------------------------------------------------------------

BOUNDS = k.prep_condition(0.0, 1.0, u8(SALT))


@pytest.mark.parametrize("call, message", [
    (lambda: involute(bytes(10), SALT, 4), "Involute error: " + model.length_message(10, 4)),
    (lambda: involute(bytes(3), SALT, 4), "Involute error: " + model.length_message(3, 4)),
    (lambda: involute(bytes(5), SALT, 2**64 - 1),
     "Involute error: " + model.length_message(5, 2**64 - 1)),
    (lambda: involute(b"abab", SALT, 2), "Involute error: " + model.DUPLICATE),
    (lambda: involute(bytes(64), SALT, 4), "Involute error: " + model.DUPLICATE),
    (lambda: involute(distinct_packet(3000, 8) * 2, SALT, 8), "Involute error: " + model.DUPLICATE),
    (lambda: cond(bytes(5), SALT, 2, BOUNDS, 0.5), "Involute error: " + model.length_message(5, 2)),
    (lambda: cond(b"abab", SALT, 2, BOUNDS, 0.5), "Involute error: " + model.DUPLICATE),
    (lambda: cycle(bytes(10), b"", b"", key(1), key(2), 4),
     "Cycle error: " + model.length_message(10, 4)),
    (lambda: cycle(b"aa", b"", b"", key(1), key(2), 1), "Cycle error: " + model.DUPLICATE),
    # Values missing from the keys become 0, so the re-coded chunks collide.
    (lambda: cycle(b"\x01\x02", b"", b"", b"\x05", b"\x05", 1), "Cycle error: " + model.DUPLICATE),
])
def test_error_values(call, message):
    with raises_exactly(ValueError, message):
        call()


# Peak memory of one call, beside the packet, salt and result it is given.
PEAK_OF_ONE_CALL = PEAK_PRELUDE + """
packet = np.random.default_rng(0).integers(0, 256, PACKET, dtype=np.uint8)
salt = np.arange(SALT_SIZE, dtype=np.uint64).astype(np.uint8)
result, grown = peak_growth(lambda: k.involute_packet(packet, salt, CHUNK), packet, salt)
print(result if isinstance(result, str) else "ok", grown, sep="\\n")
"""


@measures_peak_memory
@pytest.mark.parametrize("packet, salt, s, result", [
    # More chunks than a chunk has values: known to fail before anything is allocated.
    (2 << 20, 16, 1, "Involute error: " + model.DUPLICATE),
    (2 << 20, 16, 2, "Involute error: " + model.DUPLICATE),
    # A long salt is hashed with every chunk, and held once, whatever the lanes and threads.
    (64, 4 << 20, 4, "ok"),
])
def test_peak_memory_within_twice_the_inputs_and_result(packet, salt, s, result):
    code = PEAK_OF_ONE_CALL.replace("SALT_SIZE", str(salt)).replace("PACKET", str(packet))
    done = run_python(code.replace("CHUNK", str(s)))
    assert done.returncode == 0, done.stderr
    got, grown = done.stdout.splitlines()
    assert got == result
    assert int(grown) <= 2 * (packet + salt + packet), f"grew by {int(grown) >> 20} MiB"
