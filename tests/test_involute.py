"""Packet involution, conditional involution and cycling.

Known answers come from tests/models/involute_model.py, an independent model
written with hashlib (branch values from the model of the range conditions).
"""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import involute_model as model
from models import order_map
from support import raises_panic, strided, u8

DUPLICATE = "Duplicate crumbs detected after operations, cannot create a unique pattern"
NO_IMAGE = "called `Option::unwrap()` on a `None` value"
NAN_WITHOUT_IMAGE = order_map.double_from_bits(0x7FFFFFFFFFFFFFFF)


def arr(data) -> np.ndarray:
    return u8(bytes(data))


def distinct_packet(n: int, s: int, seed: int = 0) -> bytes:
    """n pairwise distinct chunks of s >= 2 bytes."""
    rng = np.random.default_rng(seed)
    body = rng.integers(0, 256, size=(n, s), dtype=np.uint8)
    ids = rng.permutation(n)
    for i in range(min(s, 4)):
        body[:, i] = (ids >> (8 * i)) & 0xFF
    return body.tobytes()


def involute(packet, salt, s):
    return k.involute_packet(arr(packet), arr(salt), s)


# --- bit-exact agreement with the model ----------------------------------------------

SALT = bytes(range(16))


@pytest.mark.parametrize("n, s", [
    (1, 5), (2, 3), (3, 2), (3, 4), (5, 1), (10, 4), (17, 7), (64, 16), (100, 64), (33, 65),
    (12, 100), (4, 128), (256, 1), (300, 8), (5000, 4), (4097, 6), (9000, 64), (40, 4096),
])
@pytest.mark.parametrize("salt", [b"", SALT, bytes(range(100))])
def test_matches_the_model(n, s, salt):
    packet = bytes(np.random.default_rng(n).permutation(256)[:n].astype(np.uint8)) if s == 1 \
        else distinct_packet(n, s, seed=n * s)
    want = model.involute(packet, salt, s)
    assert k.involute_packet(arr(packet), arr(salt), s) == want
    assert involute(want, salt, s) == packet


@given(st.binary(max_size=600), st.binary(max_size=80), st.integers(1, 12))
def test_twice_is_the_identity_with_a_usable_chunk_size(packet, salt, minimum):
    for s in {k.get_chunk_size(arr(packet)), k.get_chunk_size_min(arr(packet), minimum)}:
        once = involute(packet, salt, s)
        assert len(once) == len(packet)
        assert sorted(once) == sorted(packet)
        assert involute(once, salt, s) == packet


@given(st.lists(st.binary(min_size=6, max_size=6), min_size=1, max_size=60, unique=True),
       st.binary(max_size=40))
def test_hypothesis_matches_the_model(chunks, salt):
    packet = b"".join(chunks)
    assert involute(packet, salt, 6) == model.involute(packet, salt, 6)


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


# --- edge cases --------------------------------------------------------------------

@pytest.mark.parametrize("packet", [b"", b"a", b"abc", bytes(range(13)), bytes(1000)])
def test_chunk_size_zero_returns_the_packet(packet):
    assert involute(packet, SALT, 0) == packet


def test_empty_one_chunk_and_two_chunks():
    assert involute(b"", SALT, 7) == b""
    assert involute(b"abcdef", SALT, 6) == b"abcdef"
    for salt in (b"", b"x", SALT):
        assert involute(b"abcdef", salt, 3) == b"abcdef"  # perm of two is the identity


def test_result_depends_on_the_salt():
    packet = distinct_packet(64, 8)
    a, b = involute(packet, b"one", 8), involute(packet, b"two", 8)
    assert a != b
    assert involute(a, b"two", 8) != packet


def test_same_array_as_packet_and_salt_and_inputs_untouched():
    packet = arr(distinct_packet(50, 4))
    before = packet.copy()
    got = k.involute_packet(packet, packet, 4)
    assert got == model.involute(packet.tobytes(), packet.tobytes(), 4)
    assert np.array_equal(packet, before)


# --- every message ------------------------------------------------------------------

@pytest.mark.parametrize("length, s", [(10, 4), (3, 4), (5, 2**64 - 1), (1, 2)])
def test_not_a_multiple(length, s):
    with pytest.raises(ValueError) as info:
        involute(bytes(length), SALT, s)
    assert str(info.value) == "Involute error: " + model.length_message(length, s)


@pytest.mark.parametrize("packet, s", [
    (b"abab", 2), (b"\x00" * 64, 4), (distinct_packet(3000, 8) + distinct_packet(3000, 8), 8),
])
def test_duplicate_chunks(packet, s):
    with pytest.raises(ValueError) as info:
        involute(packet, SALT, s)
    assert str(info.value) == "Involute error: " + DUPLICATE
    usable = k.get_chunk_size(arr(packet))
    assert involute(involute(packet, SALT, usable), SALT, usable) == packet


@pytest.mark.parametrize("call, exc, message", [
    (lambda: k.involute_packet(b"ab", arr(b""), 1), TypeError,
     "argument 'packet': 'bytes' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: k.involute_packet(arr(b"ab"), [1], 1), TypeError,
     "argument 'salt': 'list' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: k.involute_packet(strided(4), arr(b""), 1), TypeError,
     "The given array is not contiguous"),
    (lambda: k.cond_involute_packet(arr(b"ab"), arr(b""), 1, 0, 0, "x"), TypeError,
     "argument 'test_value': must be real number, not str"),
    (lambda: k.cond_involute_packet(arr(b"ab"), strided(2), 1, 0, 0, 0.0), TypeError,
     "The given array is not contiguous"),
    (lambda: k.cycle_packet(arr(b""), arr(b""), arr(b""), arr(b""), np.zeros(2, np.int8), 1),
     TypeError, "argument 'new_key': 'ndarray' object cannot be converted to 'PyArray<T, D>'"),
    (lambda: k.cycle_packet(arr(b""), arr(b""), arr(b""), arr(b""), arr(b""), -1),
     OverflowError, "can't convert negative int to unsigned"),
])
def test_argument_errors(call, exc, message):
    with pytest.raises(exc) as info:
        call()
    assert type(info.value) is exc and str(info.value) == message


# --- conditional involution ---------------------------------------------------------

def cond(packet, salt, s, bounds, v):
    return k.cond_involute_packet(arr(packet), arr(salt), s, bounds[0], bounds[1], v)


@pytest.mark.parametrize("v", [0.0, -0.0, -1.0, 1.0, 0.5, -0.999])
def test_inside_minus_one_one_equals_involute_packet(v):
    packet = distinct_packet(40, 5)
    bounds = k.prep_condition(-1.0, 1.0, arr(SALT))
    assert cond(packet, SALT, 5, bounds, v) == involute(packet, SALT, 5)


@pytest.mark.parametrize("bounds_salt", [SALT, b"other"])
def test_conditional_matches_the_model(bounds_salt):
    packet = distinct_packet(300, 8, seed=3)
    lo, hi = k.prep_condition(0.0, 1.0, arr(bounds_salt))
    for v in (0.5, 3.0, float("nan"), float("-inf")):
        assert cond(packet, SALT, 8, (lo, hi), v) == \
            model.cond_involute(packet, SALT, 8, lo, hi, v)


def test_same_side_values_restore_each_other():
    packet = distinct_packet(200, 6, seed=4)
    bounds = k.prep_condition(0.0, 1.0, arr(SALT))
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


def test_conditional_messages():
    bounds = k.prep_condition(0.0, 1.0, arr(SALT))
    with pytest.raises(ValueError, match=r"^Involute error: Packet length \(5\) is not a "
                                         r"multiple of chunk size \(2\)\.$"):
        cond(bytes(5), SALT, 2, bounds, 0.5)
    with pytest.raises(ValueError) as info:
        cond(b"abab", SALT, 2, bounds, 0.5)
    assert str(info.value) == "Involute error: " + DUPLICATE
    with raises_panic(NO_IMAGE):
        cond(b"abcd", SALT, 2, bounds, NAN_WITHOUT_IMAGE)
    # Never mapped: chunk size 0, or an empty packet.
    assert cond(b"abc", SALT, 0, bounds, NAN_WITHOUT_IMAGE) == b"abc"
    assert cond(b"", SALT, 3, bounds, NAN_WITHOUT_IMAGE) == b""


# --- cycling ------------------------------------------------------------------------

def key(seed: int) -> bytes:
    return bytes(np.random.default_rng(seed).permutation(256).astype(np.uint8))


def cycle(packet, old_salt, new_salt, old_key, new_key, s):
    return k.cycle_packet(arr(packet), arr(old_salt), arr(new_salt), arr(old_key),
                          arr(new_key), s)


@pytest.mark.parametrize("n, s", [(1, 9), (2, 4), (50, 4), (300, 64), (5000, 5)])
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


def test_cycle_messages():
    with pytest.raises(ValueError) as info:
        cycle(bytes(10), b"", b"", key(1), key(2), 4)
    assert str(info.value) == "Cycle error: " + model.length_message(10, 4)
    with pytest.raises(ValueError) as info:
        cycle(b"aa", b"", b"", key(1), key(2), 1)
    assert str(info.value) == "Cycle error: " + DUPLICATE
    # Values missing from the keys become 0, so the re-coded chunks collide.
    with pytest.raises(ValueError) as info:
        cycle(b"\x01\x02", b"", b"", b"\x05", b"\x05", 1)
    assert str(info.value) == "Cycle error: " + DUPLICATE


# --- threads, fork, exit ------------------------------------------------------------

def run_python(code: str, timeout: float = 120) -> subprocess.CompletedProcess:
    env = dict(os.environ)
    here = os.path.dirname(os.path.abspath(__file__))
    env["PYTHONPATH"] = os.pathsep.join(
        [p for p in (env.get("KELVORA_MODULE_DIR"), here, env.get("PYTHONPATH")) if p])
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)


BIG = """
import hashlib, numpy as np, kelvora_core_py as k
rng = np.random.default_rng(7)
packet = rng.integers(0, 256, size=1 << 22, dtype=np.uint8)   # 4 MiB, chunks of 64
salt = np.arange(16, dtype=np.uint8)
def digest():
    return hashlib.sha256(k.involute_packet(packet, salt, 64)).hexdigest()
"""


def test_one_processor_gives_the_same_result():
    # The pool is sized to the affinity mask: pinned to one processor, every
    # loop runs on the caller alone.
    base = run_python(BIG + "print(digest())")
    pinned = run_python("import os\nos.sched_setaffinity(0, {sorted(os.sched_getaffinity(0))[0]})"
                        + BIG + "print(digest())")
    assert base.returncode == 0 and pinned.returncode == 0, base.stderr + pinned.stderr
    assert base.stdout == pinned.stdout


def test_forked_child_rebuilds_the_pool():
    code = BIG + """
import os
before = digest()
pid = os.fork()
if pid == 0:
    os._exit(0 if digest() == before else 3)
_, status = os.waitpid(pid, 0)
assert os.waitstatus_to_exitcode(status) == 0, status
assert digest() == before
print("ok")
"""
    done = run_python(code)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr


def test_exit_with_the_pool_running():
    done = run_python(BIG + "digest()\nimport sys\nsys.exit(5)")
    assert done.returncode == 5, done.stderr
