"""Nothing of a call survives it: every function, on success and on every way
it can fail, called thousands of times; and every long call stopped by a
signal handler's exception.

Each row of CASES is (name, call, expected): `call` holds the function and its
argument objects, `expected` is None for a call that returns, or the exception
type and exact message it must raise. After a warm-up round the test checks
that the reference counts of the argument objects (and of the items of
argument lists) are unchanged, and that the process's memory has not grown:
resident set (from /proc/self/statm), blocks held by Python's object
allocator (leaked results, exceptions or message strings) and bytes in use
by malloc (leaked native copies and message buffers).
"""
import contextlib
import ctypes
import gc
import os
import signal
import sys

import numpy as np
import pytest

import concurrency_tasks as tasks
import kelvora_core_py as k
from models import blob_model as blob
from models import involute_model as inv
from models import mapping_model as mapping
from models import order_map
from support import (ARRAY, NO_IMAGE, NOT_CONTIGUOUS, UNSUPPORTED, BrokenSequence, CausedIndex,
                     IndexFailsButIsASequence, permutation, strided, u8, user_mode_emulation)

if not sys.platform.startswith("linux"):
    pytest.skip("memory is read from Linux's /proc and the C library's malloc statistics",
                allow_module_level=True)

PANIC = "PanicException"   # the class is not a module attribute; matched by name

ROUNDS = 3000             # calls per case after the warm-up
WARM_UP = 300
HEAVY = 1000              # for the cases that move a few kilobytes per call

# Growth allowed after WARM_UP calls, for the ROUNDS calls that follow. A leak
# of one object per call shows as ROUNDS blocks; a leaked native copy as
# kilobytes per call.
RSS_SLACK = 512 * 1024
BLOCK_SLACK = 200
# A free-threaded interpreter counts as allocated its per-thread free lists,
# which fill over the first thousand or so calls, and memory whose release it
# defers until every thread has moved on: a few hundred blocks that come and go.
FREE_THREADED_BLOCKS = 0 if getattr(sys, "_is_gil_enabled", lambda: True)() else 600
HEAP_SLACK = 64 * 1024


# ---- argument objects ---------------------------------------------------------

def counter_packet(chunks: int, size: int) -> np.ndarray:
    """chunks distinct chunks of `size` >= 4 bytes (a little-endian counter)."""
    body = np.zeros((chunks, size), dtype=np.uint8)
    body[:, :4] = np.arange(chunks, dtype="<u4").view(np.uint8).reshape(chunks, 4)
    return body.reshape(-1).copy()


S = 16
PACKET = counter_packet(256, S)                 # 4 KiB, 256 distinct chunks
ODD = counter_packet(256, S)[:-1].copy()        # 4095 bytes
SAME_CHUNKS = np.zeros(4096, dtype=np.uint8)    # every chunk equal
SALT, SALT2 = u8(b"leak test salt"), u8(bytes(range(70)))
KEY1, KEY2 = permutation(1), permutation(2)
SHORT_KEY = KEY1[:255].copy()
LO, HI = order_map.prep_condition(-1.0, 1.0, SALT.tobytes())
NO_IMAGE_NAN = order_map.double_from_bits(0x7FFFFFFFFFFFFFFF)
STRIDED = strided(64)
STRIDED32 = strided(32)
SEED = u8(bytes(range(32)))
INT8 = np.zeros(256, dtype=np.int8)
MATRIX2D = np.zeros((4, 4), dtype=np.uint8)

N_PARTIES, LENGTH = 3, 4096
PUB = permutation(10)
PRIVS = [permutation(11 + d) for d in range(N_PARTIES)]
SEQS = [np.random.default_rng(20 + d).integers(0, 256, LENGTH, dtype=np.uint8)
        for d in range(N_PARTIES)]
MATRIX = np.stack(SEQS)
# What is inverted need not come from map_data: any data of the right shape serves.
MAPPED = [np.random.default_rng(30 + d).integers(0, 256, LENGTH, dtype=np.uint8)
          for d in range(N_PARTIES)]
SHORT_SEQS = [SEQS[0], SEQS[1][:-1].copy(), SEQS[2]]
NON_CONTIGUOUS_ITEM = [SEQS[0], SEQS[1], strided(LENGTH)]
SHORT_PUB = PUB[:10].copy()

W = blob.word
SETUP = blob.blob(b"public key" * 4, b"packet" * 40, "mode", 7)
ENCRYPTED = blob.blob(b"public key" * 4, b"private key" * 4, b"packet" * 40, "mode", 7)
BAD_UTF8_SETUP = blob.blob(b"pk", b"packet", b"a\xe2\x82", 7)
BAD_UTF8_ENCRYPTED = blob.blob(b"pk", b"sk", b"packet", b"\xff", 7)
NOT_CONTIGUOUS_MAP = "called `Result::unwrap()` on an `Err` value: NotContiguousError"


class InterruptingIndex:
    def __index__(self):
        raise KeyboardInterrupt("stop")


CAUSED, INTERRUPTING, HALF_INDEX, BROKEN = (CausedIndex(), InterruptingIndex(),
                                            IndexFailsButIsASequence(), BrokenSequence())
MEMORY_VIEW, BYTE_ARRAY = memoryview(b"view bytes"), bytearray(b"array bytes")
BIG_INT, NEGATIVE, HUGE_FLOAT_INT = 2**64, -1, 10**400
SURROGATE = "\udc80"


def fresh(text: str) -> str:
    """A str object of its own: literals that look like names are shared,
    interned strings whose counts other code moves."""
    return (text + "#")[:-1]


PARTY, PURPOSE, MODE, TEXT = fresh("party"), fresh("purpose"), fresh("mode"), fresh("text")


class Call:
    """A function with fixed argument objects."""

    def __init__(self, fn, *args, **kwargs):
        self.fn, self.args, self.kwargs = fn, args, kwargs

    def __call__(self):
        return self.fn(*self.args, **self.kwargs)

    def objects(self):
        """Every argument object, and the items of list and tuple arguments,
        except the interpreter's shared small ints and singletons, whose counts
        move with unrelated code."""
        found = [*self.args, *self.kwargs.values()]
        for a in list(found):
            if type(a) in (list, tuple):
                found.extend(a)
        return [o for o in found if not _shared(o)]


def _shared(o) -> bool:
    return o is None or type(o) is bool or (type(o) is int and -5 <= o <= 256)


def panic(message):
    return (PANIC, message)


def error(kind, message):
    return (kind, message)


UNENCODABLE = error(UnicodeEncodeError,
                    "'utf-8' codec can't encode character '\\udc80' in position 0: "
                    "surrogates not allowed")


def parse_error(data, labels):
    """The ValueError the independent blob reader predicts for `data`."""
    try:
        blob.read(data, labels)
    except blob.ParseError as failure:
        return error(ValueError, str(failure))
    raise AssertionError("the model reads the packet")


def model_panic(model_call):
    """The message of the internal failure the independent model predicts."""
    try:
        model_call()
    except mapping.ModelPanic as failure:
        return panic(str(failure))
    raise AssertionError("the model expects no failure")


C = Call
# The binder's own errors come before any argument is touched and take the
# same path for every function: each kind appears once.
CASES = [
    # ---- involute_packet
    ("involute ok", C(k.involute_packet, PACKET, SALT, S), None),
    ("involute too many", C(k.involute_packet, PACKET, SALT, S, S),
     error(TypeError, "involute_packet() takes 3 positional arguments but 4 were given")),
    ("involute unexpected keyword", C(k.involute_packet, PACKET, salt=SALT, size=3),
     error(TypeError, "involute_packet() got an unexpected keyword argument 'size'")),
    ("involute packet not an array", C(k.involute_packet, SETUP, SALT, S),
     error(TypeError, "argument 'packet': " + ARRAY.format("bytes"))),
    ("involute negative chunk size", C(k.involute_packet, PACKET, SALT, NEGATIVE),
     error(OverflowError, "can't convert negative int to unsigned")),
    ("involute not contiguous", C(k.involute_packet, PACKET, STRIDED, S),
     error(TypeError, NOT_CONTIGUOUS)),
    ("involute not a multiple", C(k.involute_packet, ODD, SALT, S),
     error(ValueError, "Involute error: " + inv.length_message(4095, S))),
    ("involute duplicate chunks", C(k.involute_packet, SAME_CHUNKS, SALT, S),
     error(ValueError, "Involute error: " + inv.DUPLICATE)),
    # ---- cycle_packet
    ("cycle ok", C(k.cycle_packet, PACKET, SALT, SALT2, KEY1, KEY2, S), None),
    ("cycle missing all", C(k.cycle_packet),
     error(TypeError, "cycle_packet() missing 6 required positional arguments: 'packet', "
                      "'old_salt', 'new_salt', 'old_key', 'new_key', and 'chunk_size'")),
    ("cycle key of int8", C(k.cycle_packet, PACKET, SALT, SALT2, KEY1, INT8, S),
     error(TypeError, "argument 'new_key': " + ARRAY.format("ndarray"))),
    ("cycle not a multiple", C(k.cycle_packet, ODD, SALT, SALT2, KEY1, KEY2, S),
     error(ValueError, "Cycle error: " + inv.length_message(4095, S))),
    ("cycle duplicate chunks", C(k.cycle_packet, SAME_CHUNKS, SALT, SALT2, KEY1, KEY2, S),
     error(ValueError, "Cycle error: " + inv.DUPLICATE)),
    ("cycle keys of other sets", C(k.cycle_packet, PACKET, SALT, SALT2, KEY1, SHORT_KEY, S),
     panic(inv.key_mismatch_message(KEY1.tobytes(), SHORT_KEY.tobytes()))),
    # ---- get_chunk_size
    ("chunk size ok", C(k.get_chunk_size, PACKET), None),
    ("chunk size given twice", C(k.get_chunk_size, PACKET, packet=PACKET),
     error(TypeError, "get_chunk_size() got multiple values for argument 'packet'")),
    ("chunk size two dimensions", C(k.get_chunk_size, MATRIX2D),
     error(TypeError, "argument 'packet': " + ARRAY.format("ndarray"))),
    ("chunk size not contiguous", C(k.get_chunk_size, STRIDED),
     error(TypeError, NOT_CONTIGUOUS)),
    # ---- get_chunk_size_min
    ("chunk size min ok", C(k.get_chunk_size_min, PACKET, 8), None),
    ("chunk size min zero", C(k.get_chunk_size_min, PACKET, 0),
     panic("attempt to calculate the remainder with a divisor of zero")),
    ("chunk size min float", C(k.get_chunk_size_min, PACKET, 2.5),
     error(TypeError, "argument 'min_size': 'float' object cannot be interpreted as an integer")),
    ("chunk size min too big", C(k.get_chunk_size_min, PACKET, BIG_INT),
     error(OverflowError, "int too big to convert")),
    ("chunk size min caused", C(k.get_chunk_size_min, PACKET, CAUSED),
     error(TypeError, "argument 'min_size': boom")),
    # ---- cond_involute_packet
    ("cond inside", C(k.cond_involute_packet, PACKET, SALT, S, LO, HI, 0.5), None),
    ("cond outside", C(k.cond_involute_packet, PACKET, SALT, S, LO, HI, 5.0), None),
    ("cond test value str", C(k.cond_involute_packet, PACKET, SALT, S, LO, HI, TEXT),
     error(TypeError, "argument 'test_value': must be real number, not str")),
    ("cond negative bound", C(k.cond_involute_packet, PACKET, SALT, S, NEGATIVE, HI, 0.5),
     error(OverflowError, "can't convert negative int to unsigned")),
    ("cond not contiguous", C(k.cond_involute_packet, PACKET, STRIDED, S, LO, HI, 0.5),
     error(TypeError, NOT_CONTIGUOUS)),
    ("cond not a multiple", C(k.cond_involute_packet, ODD, SALT, S, LO, HI, 0.5),
     error(ValueError, "Involute error: " + inv.length_message(4095, S))),
    ("cond duplicate chunks", C(k.cond_involute_packet, SAME_CHUNKS, SALT, S, LO, HI, 0.5),
     error(ValueError, "Involute error: " + inv.DUPLICATE)),
    ("cond nan without image", C(k.cond_involute_packet, PACKET, SALT, S, LO, HI, NO_IMAGE_NAN),
     panic(NO_IMAGE)),
    # ---- gen_key
    ("gen key ok", C(k.gen_key, PARTY, PURPOSE, SEED), None),
    ("gen key party int", C(k.gen_key, NEGATIVE, PURPOSE, SEED),
     error(TypeError, "argument 'party_id': 'int' object cannot be converted to 'PyString'")),
    ("gen key unencodable", C(k.gen_key, SURROGATE, PURPOSE, SEED), UNENCODABLE),
    ("gen key seed bytes", C(k.gen_key, PARTY, PURPOSE, SETUP),
     error(TypeError, "argument 'master_seed': " + ARRAY.format("bytes"))),
    ("gen key seed not contiguous", C(k.gen_key, PARTY, PURPOSE, STRIDED32),
     error(ValueError, "Seed array not contiguous: The given array is not contiguous")),
    ("gen key seed length", C(k.gen_key, PARTY, PURPOSE, PACKET),
     error(ValueError, "master_seed must be exactly 32 bytes long")),
    # ---- prep_condition
    ("prep ok", C(k.prep_condition, -1.0, 1.0, SALT), None),
    ("prep nan without image", C(k.prep_condition, NO_IMAGE_NAN, 1.0, SALT), panic(NO_IMAGE)),
    ("prep bound str", C(k.prep_condition, TEXT, 1.0, SALT),
     error(TypeError, "argument 'low_bound': must be real number, not str")),
    ("prep bound too large", C(k.prep_condition, HUGE_FLOAT_INT, 1.0, SALT),
     error(OverflowError, "int too large to convert to float")),
    ("prep not contiguous", C(k.prep_condition, -1.0, 1.0, STRIDED),
     error(TypeError, NOT_CONTIGUOUS)),
    # ---- cond_hash_branch
    ("branch ok", C(k.cond_hash_branch, LO, HI, 0.5, SALT), None),
    ("branch nan without image", C(k.cond_hash_branch, 0, 2**64 - 1, NO_IMAGE_NAN, SALT),
     panic(NO_IMAGE)),
    ("branch bound float", C(k.cond_hash_branch, 0.0, HI, 0.5, SALT),
     error(TypeError, "argument 'low_bound': 'float' object cannot be interpreted as an integer")),
    ("branch test value none", C(k.cond_hash_branch, LO, HI, None, SALT),
     error(TypeError, "argument 'test_value': must be real number, not NoneType")),
    ("branch salt bytes", C(k.cond_hash_branch, LO, HI, 0.5, SETUP),
     error(TypeError, "argument 'salt': " + ARRAY.format("bytes"))),
    # ---- map_data
    ("map ok", C(k.map_data, PUB, PRIVS[1], 1, SEQS), None),
    ("map ok matrix", C(k.map_data, PUB, PRIVS[2], 2, MATRIX), None),
    ("map one party", C(k.map_data, PUB, PRIVS[0], 0, SEQS[:1]), panic(mapping.PARTIES_MESSAGE)),
    ("map identity", C(k.map_data, PUB, PRIVS[0], 3, SEQS), panic(mapping.IDENTITY_MESSAGE)),
    ("map unequal lengths", C(k.map_data, PUB, PRIVS[0], 0, SHORT_SEQS),
     panic(f"all inner vectors must have equal length; data_sequences[0].len() = {LENGTH}, "
           f"but data_sequences[1].len() = {LENGTH - 1}")),
    ("map short public table", C(k.map_data, SHORT_PUB, PRIVS[0], 0, SEQS),
     model_panic(lambda: mapping.map_data(SHORT_PUB.tolist(), PRIVS[0].tolist(), 0,
                                          [s[:64].tolist() for s in SEQS]))),
    ("map item not contiguous", C(k.map_data, PUB, PRIVS[0], 0, NON_CONTIGUOUS_ITEM),
     panic(NOT_CONTIGUOUS_MAP)),
    ("map sequences str", C(k.map_data, PUB, PRIVS[0], 0, TEXT),
     error(TypeError, "argument 'data_sequences': Can't extract `str` to `Vec`")),
    ("map sequences dict", C(k.map_data, PUB, PRIVS[0], 0, {1: 2}),
     error(TypeError, "argument 'data_sequences': 'dict' object cannot be converted to 'Sequence'")),
    ("map item bytes", C(k.map_data, PUB, PRIVS[0], 0, [SEQS[0], SETUP]),
     error(TypeError, "argument 'data_sequences': " + ARRAY.format("bytes"))),
    ("map item raises", C(k.map_data, PUB, PRIVS[0], 0, BROKEN),
     error(ZeroDivisionError, "item")),
    ("map negative identity", C(k.map_data, PUB, PRIVS[0], NEGATIVE, SEQS),
     error(OverflowError, "can't convert negative int to unsigned")),
    ("map public not contiguous", C(k.map_data, strided(256), PRIVS[0], 0, SEQS),
     error(TypeError, NOT_CONTIGUOUS)),
    # ---- inv_data
    ("inv ok", C(k.inv_data, PUB, PRIVS, MAPPED), None),
    ("inv ok matrix", C(k.inv_data, PUB, np.stack(PRIVS), MATRIX), None),
    ("inv count", C(k.inv_data, PUB, PRIVS[:2], MAPPED),
     panic(mapping.equality_message(mapping.COUNT_TEXT, 3, 2))),
    ("inv public length", C(k.inv_data, SHORT_PUB, PRIVS, MAPPED),
     panic(mapping.equality_message(mapping.PUBLIC_TEXT, 10, 256))),
    ("inv nothing", C(k.inv_data, PUB, [], []), panic(mapping.index_message(0, 0))),
    ("inv item not contiguous", C(k.inv_data, PUB, PRIVS, NON_CONTIGUOUS_ITEM),
     panic(NOT_CONTIGUOUS_MAP)),
    ("inv keys str", C(k.inv_data, PUB, TEXT, MAPPED),
     error(TypeError, "argument 'priv_keys': Can't extract `str` to `Vec`")),
    ("inv keys set", C(k.inv_data, PUB, {1}, MAPPED),
     error(TypeError, "argument 'priv_keys': 'set' object cannot be converted to 'Sequence'")),
    ("inv key bytes", C(k.inv_data, PUB, [PRIVS[0], SETUP], MAPPED),
     error(TypeError, "argument 'priv_keys': " + ARRAY.format("bytes"))),
    # ---- package_blob
    ("blob ok", C(k.package_blob, SETUP, PACKET, MODE, [1, 2, 3], 7, BYTE_ARRAY, MEMORY_VIEW,
                  HALF_INDEX, np.uint64(9)), None),
    ("blob empty", C(k.package_blob), None),
    ("blob unsupported", C(k.package_blob, SETUP, None), error(TypeError, UNSUPPORTED)),
    ("blob item too big", C(k.package_blob, SETUP, [1, 256]), error(TypeError, UNSUPPORTED)),
    ("blob not contiguous", C(k.package_blob, SETUP, STRIDED),
     error(ValueError, "numpy array not contiguous: The given array is not contiguous")),
    ("blob unencodable", C(k.package_blob, SURROGATE), UNENCODABLE),
    ("blob interrupted", C(k.package_blob, SETUP, INTERRUPTING),
     error(KeyboardInterrupt, "stop")),
    # ---- unpack_setup_packet
    ("setup ok", C(k.unpack_setup_packet, SETUP), None),
    ("setup empty", C(k.unpack_setup_packet, b""),
     error(ValueError, "packet truncated while reading total length")),
    ("setup declared too long", C(k.unpack_setup_packet, W(2**64 - 1)),
     error(ValueError, "declared payload length 18446744073709551615 exceeds available bytes 0")),
    ("setup identity length", C(k.unpack_setup_packet, ENCRYPTED),
     parse_error(ENCRYPTED, blob.SETUP_LABELS)),
    ("setup utf-8", C(k.unpack_setup_packet, BAD_UTF8_SETUP),
     error(ValueError, "utf-8 decoding failed: incomplete utf-8 byte sequence from index 1")),
    ("setup bytearray", C(k.unpack_setup_packet, BYTE_ARRAY),
     error(TypeError, "argument 'data': 'bytearray' object cannot be converted to 'PyBytes'")),
    # ---- unpack_encrypted_packet
    ("encrypted ok", C(k.unpack_encrypted_packet, ENCRYPTED), None),
    ("encrypted short", C(k.unpack_encrypted_packet, SETUP),
     error(ValueError, "packet truncated while reading identity length")),
    ("encrypted utf-8", C(k.unpack_encrypted_packet, BAD_UTF8_ENCRYPTED),
     error(ValueError, "utf-8 decoding failed: invalid utf-8 sequence of 1 bytes from index 0")),
    ("encrypted memoryview", C(k.unpack_encrypted_packet, MEMORY_VIEW),
     error(TypeError, "argument 'data': 'memoryview' object cannot be converted to 'PyBytes'")),
]

# Calls that move a few kilobytes each: fewer rounds, still far above the slack.
HEAVY_FUNCTIONS = {k.involute_packet, k.cycle_packet, k.cond_involute_packet,
                   k.get_chunk_size, k.get_chunk_size_min}
NONDETERMINISTIC = {k.gen_key}


# ---- measurement ---------------------------------------------------------------

PAGE = os.sysconf("SC_PAGE_SIZE")


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


_libc = ctypes.CDLL(None)
# Under AddressSanitizer (LD_PRELOAD in the sanitizer run) freed memory waits in
# a quarantine, so the resident set grows without any leak; the sanitizer's own
# count of live heap bytes takes the place of both the resident set and malloc's
# figures there.
_asan_allocated = getattr(_libc, "__sanitizer_get_current_allocated_bytes", None)
UNDER_ASAN = _asan_allocated is not None
if UNDER_ASAN:
    _asan_allocated.restype = ctypes.c_size_t
_mallinfo2 = getattr(_libc, "mallinfo2", None)
# Under user-mode emulation the resident set is the emulator's, which grows
# as it translates more of the program; the heap and the counts still tell.
RSS_MEASURED = not UNDER_ASAN and not user_mode_emulation()
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2
elif not UNDER_ASAN:
    pytest.skip("malloc's bytes in use need glibc 2.33 or later (mallinfo2)",
                allow_module_level=True)


def heap_in_use() -> int:
    """Bytes the allocator has handed out and not had back."""
    if UNDER_ASAN:
        return _asan_allocated()
    info = _mallinfo2()
    return info.uordblks + info.hblkhd


def snapshot():
    gc.collect()
    return rss(), sys.getallocatedblocks(), heap_in_use()


@contextlib.contextmanager
def quiet_stderr(enabled: bool):
    """Sends the native failure reports of panicking cases to /dev/null."""
    if not enabled:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)


def matches(exc: BaseException, expected) -> bool:
    kind, message = expected
    if kind == PANIC:
        return (type(exc).__name__ == PANIC and not isinstance(exc, Exception)
                and exc.args == (message,))
    return type(exc) is kind and str(exc) == message


def repeat(call, expected, times: int, first=None):
    """Calls `call` `times` times; every outcome must be the expected one."""
    stable = call.fn not in NONDETERMINISTIC
    for _ in range(times):
        try:
            got = call()
        except BaseException as exc:  # PanicException and KeyboardInterrupt included
            if expected is None or not matches(exc, expected):
                raise
        else:
            assert expected is None, f"returned {got!r:.80} instead of raising"
            if stable and first is not None:
                assert got == first


def test_the_table_covers_every_function():
    covered = {call.fn.__name__ for _, call, _ in CASES}
    assert covered == set(k.__all__)
    for name in k.__all__:
        outcomes = [expected for _, call, expected in CASES if call.fn.__name__ == name]
        assert None in outcomes and any(o is not None for o in outcomes), name


def growth(call, expected, rounds: int, first, objects) -> list:
    """What `rounds` calls change: the reference count of each of `objects`,
    then the resident set, the object blocks and malloc's bytes in use. Counts
    are read after the collection that starts a snapshot, so that garbage of
    earlier tests freed there does not show as a change."""
    memory = snapshot()
    counts = [sys.getrefcount(o) for o in objects]
    repeat(call, expected, rounds, first)
    after = snapshot()
    counts_after = [sys.getrefcount(o) for o in objects]
    return [b - a for a, b in zip([*counts, *memory], [*counts_after, *after])]


def excess(changes, rounds: int) -> list:
    """What of `changes` (as growth gives them) exceeds what `rounds` calls may leave."""
    *counts, grown_rss, grown_blocks, grown_heap = changes
    found = []
    if any(counts):
        found.append(f"reference counts of the arguments changed by {counts}")
    if RSS_MEASURED and grown_rss > RSS_SLACK:
        found.append(f"resident set grew by {grown_rss} bytes")
    if grown_blocks > BLOCK_SLACK * rounds // ROUNDS + 20 + FREE_THREADED_BLOCKS:
        found.append(f"{grown_blocks} more Python object blocks")
    if grown_heap > HEAP_SLACK:
        found.append(f"malloc in use grew by {grown_heap} bytes")
    return found


@pytest.mark.parametrize("call, expected", [pytest.param(c, e, id=n) for n, c, e in CASES])
def test_no_growth(call, expected):
    panics = expected is not None and expected[0] == PANIC
    rounds = HEAVY if call.fn in HEAVY_FUNCTIONS else ROUNDS
    first = None
    with quiet_stderr(panics):
        try:
            first = call()
        except BaseException as exc:
            assert expected is not None and matches(exc, expected), repr(exc)
            if panics:
                panic_class = type(exc)
            del exc
        else:
            assert expected is None, f"returned {first!r:.80} instead of raising"
        repeat(call, expected, WARM_UP, first)

        objects = call.objects() + ([panic_class] if panics else [])
        changes = growth(call, expected, rounds, first, objects)
        if excess(changes, rounds):
            # A leak grows the process at every call, so it shows again over as
            # many calls; a one-off growth (a cache filled once, a page the
            # kernel backs anew) does not: of the two, the smaller change counts.
            again = growth(call, expected, rounds, first, objects)
            changes = [min(a, b, key=abs) for a, b in zip(changes, again)]
    assert not excess(changes, rounds)


# ---- calls stopped by a signal handler ---------------------------------------------

class Interrupt(BaseException):
    """Raised by the SIGALRM handler below; every instance leaked would hold its class."""


def raise_interrupt(signum, frame):
    raise Interrupt()


def interrupted(call):
    """Runs `call` with a timer that fires 2 ms in, and expects its Interrupt. The timer is
    armed inside the try: on a busy machine it may fire before the call starts."""
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.002)
        call()
    except Interrupt:
        return
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
    raise AssertionError("the call was not interrupted")


@pytest.mark.parametrize("name", sorted(tasks.long_calls()))
def test_interrupted_calls_leave_nothing(name):
    # The long calls take the interpreter lock back about every 20 ms to run
    # signal handlers; the handler's exception stops the call part-way: the
    # result, the core's working buffers and the pending exception must all go.
    call = tasks.long_calls()[name]
    saved = signal.signal(signal.SIGALRM, raise_interrupt)
    try:
        for _ in range(2):
            interrupted(call)
        arguments = list(call.args)
        objects = [call, Interrupt, *arguments,
                   *(item for a in arguments if type(a) is list for item in a)]
        counts = [sys.getrefcount(o) for o in objects]
        memory = snapshot()
        for _ in range(8):
            interrupted(call)
        after = snapshot()
        counts_after = [sys.getrefcount(o) for o in objects]
    finally:
        signal.signal(signal.SIGALRM, saved)
    assert counts_after == counts
    _, grown_blocks, grown_heap = (b - a for a, b in zip(memory, after))
    assert grown_blocks <= 20, f"{grown_blocks} more Python object blocks"
    assert grown_heap <= HEAP_SLACK, f"malloc in use grew by {grown_heap} bytes"
