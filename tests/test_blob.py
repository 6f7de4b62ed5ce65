"""package_blob, unpack_setup_packet and unpack_encrypted_packet.

Expected blobs and parse messages come from tests/models/blob_model.py (struct
and Python's own UTF-8 decoder) or are spelled out byte by byte. Guard bytes,
views into the input and length words near 2^64 are checked in
core/tests/blob_test.cpp.
"""
import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import blob_model as model
from support import (UNSUPPORTED, Index, IndexFailsButIsASequence, raises_exactly, run_python,
                     strided, u8)

NOT_CONTIGUOUS = "numpy array not contiguous: The given array is not contiguous"
W = model.word

# ---- package_blob ----------------------------------------------------------


@pytest.mark.parametrize("args, expected_hex", [
    # The 34-byte worked example.
    ((b"ab", 1), "1a00000000000000" "0200000000000000" "6162" "0800000000000000" "0100000000000000"),
    ((), "0000000000000000"),
    ((b"",), "0800000000000000" "0000000000000000"),
    (("é",), "0a00000000000000" "0200000000000000" "c3a9"),
    ((2**64 - 1,), "1000000000000000" "0800000000000000" "ffffffffffffffff"),
    # The worked setup packet of 48 bytes and encrypted packet of 56 bytes.
    ((b"", b"", "", 7), "2800000000000000" + "00" * 24 + "0800000000000000" "0700000000000000"),
    ((b"", b"", b"", "", 7), "3000000000000000" + "00" * 32 + "0800000000000000" "0700000000000000"),
])
def test_package_blob_known_bytes(args, expected_hex):
    assert k.package_blob(*args) == bytes.fromhex(expected_hex)


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


@pytest.mark.parametrize("value, body", [
    (u8(b"ab"), b"ab"), (u8(b""), b""), (b"ab", b"ab"), (BytesSub(b"ab"), b"ab"),
    (bytearray(b"ab"), b"ab"), (memoryview(b"ab"), b"ab"), ([97, 98], b"ab"), ((97, 98), b"ab"),
    ([], b""), (np.array([97, 98], dtype=np.int64), b"ab"), (IndexFailsButIsASequence(), b"ab"),
    ([np.uint8(97), True], b"a\x01"), (bytearray(), b""),
    ("ab", b"ab"), (StrSub("ab"), b"ab"), ("\u20ac\U0001F600", "\u20ac\U0001F600".encode()),
    (True, W(1)), (False, W(0)), (IntSub(5), W(5)), (Index(7), W(7)), (np.uint8(5), W(5)),
    (np.array(5, dtype=np.uint8), W(5)), (np.int64(2**40), W(2**40)),
    # A uint8 array of another byte order is still an equivalent element type.
    (np.array([1, 2], dtype=np.dtype("B").newbyteorder(">")), b"\x01\x02"),
    # Every second element of an int64 array: not rule 1, read by rule 5.
    (np.arange(4, dtype=np.int64)[::2], b"\x00\x02"),
])
def test_package_blob_field_kinds(value, body):
    assert k.package_blob(value) == W(8 + len(body)) + W(len(body)) + body


@pytest.mark.parametrize("value", [
    -1, 2**64, 1.5, None, {}, {1}, object(), [256], [-1], [1.5], ["a"], [b"a"], [[1]],
    np.zeros((2, 2), dtype=np.uint8), np.zeros((2, 2), dtype=np.int8), np.array([1.0]),
    Index(-1), Index(2**64),
])
def test_package_blob_unsupported(value):
    with raises_exactly(TypeError, UNSUPPORTED) as info:
        k.package_blob(b"ok", value)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_package_blob_errors_come_in_argument_order():
    # A strided uint8 array is refused although rule 5 could read it.
    with raises_exactly(ValueError, NOT_CONTIGUOUS):
        k.package_blob(strided(4), None)
    with raises_exactly(TypeError, UNSUPPORTED):
        k.package_blob(None, strided(4))
    with pytest.raises(UnicodeEncodeError):
        k.package_blob("\ud800", None)


# Texts of up to 64 characters are encoded on the stack, 256 bytes per call in
# all; longer ones, and those past that room, take the other way.
EMOJI, ACCENT, EURO = "\U0001F600", "\u00e9", "\u20ac"


@pytest.mark.parametrize("args", [
    ("a" * 64,), ("a" * 65,), (EMOJI * 64,), (EMOJI * 65,), ((("a" + ACCENT + EURO + EMOJI) * 16),),
    ("\x00\x7f\x80\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff",),
    (EMOJI * 64,) * 5,                               # the fifth finds no room left
    (EMOJI * 63, "a" * 65, EMOJI + "a", "b", "c"),  # then room for "b" only
    tuple(f"t{i}" for i in range(100)),
])
def test_package_blob_texts_around_the_short_text_limits(args):
    assert k.package_blob(*args) == model.blob(*args)


@pytest.mark.parametrize("args", [
    ("\ud800",), ("a" * 63 + "\udfff",), ("a" * 70 + "\ud800",), (EMOJI * 32, "x\udc00"),
    (EMOJI * 64, "x\udc00"),
])
def test_package_blob_surrogates_raise_as_the_utf8_codec_does(args):
    with pytest.raises(UnicodeEncodeError) as want:
        args[-1].encode("utf-8")
    with raises_exactly(UnicodeEncodeError, str(want.value)):
        k.package_blob(*args)


class ChangesArray:
    """The integer 1 (through __index__) whose conversion first changes `array`."""

    def __init__(self, array, change):
        self.array, self.change = array, change

    def __index__(self):
        self.change(self.array)
        return 1


class ChangesArrayWhenIterated:
    """The byte sequence [1] whose iteration first changes `array`."""

    def __init__(self, array, change):
        self.array, self.change = array, change

    def __len__(self):
        return 1

    def __getitem__(self, i):
        if i:
            raise IndexError
        self.change(self.array)
        return 1


CHANGES = {
    "writes": lambda a: a.__setitem__(0, 99),
    "frees": lambda a: a.resize(10, refcheck=False),
    "reshapes": lambda a: a.resize((2, a.size // 2), refcheck=False),   # in place: no new memory
    "grows": lambda a: a.resize(8192, refcheck=False),
}


@pytest.mark.parametrize("later", [ChangesArray, ChangesArrayWhenIterated])
@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_package_blob_holds_each_array_as_it_was_converted(change, later):
    # A later argument's Python code cannot reach into the blob: the array is
    # written as it was when its own argument was converted.
    a = np.full(4096, 7, dtype=np.uint8)
    b = np.full(3, 5, dtype=np.uint8)
    last = later(a, change)
    tail = 1 if later is ChangesArray else b"\x01"
    assert k.package_blob(a, b"x", last, b) == model.blob(b"\x07" * 4096, b"x", tail, b"\x05" * 3)


# A field over 4 MiB is copied in pieces of 4 MiB, with a check for signals
# before each; the last piece here is 3 bytes, and the array it is copied from
# goes on past it (run in a child, as an overrun may crash).
LONG_FIELD = """
    import numpy as np, kelvora_core_py as k
    from models import blob_model

    source = np.arange(9 << 20, dtype=np.uint8)
    field = source[:(4 << 20) + 3]
    assert k.package_blob(b"x", field) == blob_model.blob(b"x", field.tobytes())
    assert np.array_equal(source, np.arange(9 << 20, dtype=np.uint8))
"""


def test_package_blob_copies_a_long_field_in_pieces():
    done = run_python(LONG_FIELD)
    assert done.returncode == 0, done.stderr[-2000:]


@given(st.lists(st.one_of(
    st.binary(max_size=40), st.binary(max_size=40).map(u8), st.text(max_size=20),
    st.integers(0, 2**64 - 1), st.lists(st.integers(0, 255), max_size=10),
    st.binary(max_size=10).map(bytearray)), max_size=8))
def test_package_blob_matches_model(fields):
    assert k.package_blob(*fields) == model.blob(*fields)


# ---- readers -----------------------------------------------------------------

binaries = st.binary(max_size=64)
arrays_or_bytes = st.one_of(binaries, binaries.map(u8))
texts = st.text(max_size=24)
identities = st.integers(0, 2**64 - 1)
extras = st.lists(st.one_of(binaries, identities), max_size=3)


@given(arrays_or_bytes, arrays_or_bytes, texts, identities, extras)
def test_setup_round_trip(pk, pkt, mode, ident, extra):
    data = k.package_blob(pk, pkt, mode, ident, *extra)
    assert k.unpack_setup_packet(data) == (bytes(pk), bytes(pkt), mode, ident)


@given(arrays_or_bytes, arrays_or_bytes, arrays_or_bytes, texts, identities, extras)
def test_encrypted_round_trip(pk, sk, pkt, mode, ident, extra):
    data = k.package_blob(pk, sk, pkt, mode, ident, *extra)
    assert k.unpack_encrypted_packet(data) == (bytes(pk), bytes(sk), bytes(pkt), mode, ident)


READERS = [(k.unpack_setup_packet, model.SETUP_LABELS),
           (k.unpack_encrypted_packet, model.ENCRYPTED_LABELS)]


def outcome(fn, data):
    try:
        return fn(data)
    except ValueError as e:
        assert type(e) is ValueError
        return str(e)


def model_outcome(labels, data):
    try:
        return model.read(data, labels)
    except model.ParseError as e:
        return str(e)


@pytest.mark.parametrize("reader, labels", READERS)
def test_truncation_at_every_byte(reader, labels):
    fields = [b"PK", b"SK", b"packet"][:len(labels) - 1] + ["mode", 7]
    good = model.blob(*fields)
    for cut in range(len(good) + 1):
        # Cut as is (the header disagrees), and with the header fixed up, which
        # reaches the truncation of each field in turn.
        cut_only = good[:cut]
        fixed = W(max(cut - 8, 0)) + good[8:cut] if cut >= 8 else cut_only
        for data in (cut_only, fixed):
            assert outcome(reader, data) == model_outcome(labels, data)


IDENTITY_LENGTH = "packet truncated while reading identity length"
SETUP = model.blob(b"pk", b"packet", "mode", 7)


# Each row: the input, then what the setup and the encrypted reader give.
@pytest.mark.parametrize("data, setup, encrypted", [
    (b"", "packet truncated while reading total length",
     "packet truncated while reading total length"),
    (W(0), "packet truncated while reading public key", "packet truncated while reading public key"),
    (W(8) + W(2**64 - 1), "packet truncated while reading public key",
     "packet truncated while reading public key"),
    (W(2**64 - 1), "declared payload length 18446744073709551615 exceeds available bytes 0",
     "declared payload length 18446744073709551615 exceeds available bytes 0"),
    (SETUP + b"\x00", "declared payload length 52 exceeds available bytes 53",
     "declared payload length 52 exceeds available bytes 53"),
    (SETUP[:-1], "declared payload length 52 exceeds available bytes 51",
     "declared payload length 52 exceeds available bytes 51"),
    (SETUP, (b"pk", b"packet", "mode", 7), IDENTITY_LENGTH),
    (model.blob(b"", b"", "", b""), "expected 8-byte identity field, found 0 bytes",
     IDENTITY_LENGTH),
    (model.blob(b"", b"", "", b"1234"), "expected 8-byte identity field, found 4 bytes",
     IDENTITY_LENGTH),
    (model.blob(b"", b"", "", bytes(16)), "expected 8-byte identity field, found 16 bytes",
     IDENTITY_LENGTH),
    (model.blob(b"", b"", b"\xff", 7),
     "utf-8 decoding failed: invalid utf-8 sequence of 1 bytes from index 0", IDENTITY_LENGTH),
    (model.blob(b"", b"", b"a\xe2\x82", 7),
     "utf-8 decoding failed: incomplete utf-8 byte sequence from index 1", IDENTITY_LENGTH),
    # Identity length wrong and mode bad: the identity is checked first.
    (model.blob(b"", b"", b"\xff", b"1234"), "expected 8-byte identity field, found 4 bytes",
     IDENTITY_LENGTH),
    # Identity value cut short beats a wrong identity length.
    (W(40) + W(0) + W(0) + W(0) + W(16) + bytes(8), "packet truncated while reading identity value",
     "packet truncated while reading mode"),
    # Encrypted packets read as setup packets: the mode becomes the identity,
    # the packet the mode.
    (model.blob(b"pk", b"sk", b"packet", "", 7), "expected 8-byte identity field, found 0 bytes",
     (b"pk", b"sk", b"packet", "", 7)),
    (model.blob(b"pk", b"sk", b"packet", "seven77", 7),
     "expected 8-byte identity field, found 7 bytes", (b"pk", b"sk", b"packet", "seven77", 7)),
    (model.blob(b"pk", b"sk", b"packet", "eight by", 7),
     (b"pk", b"sk", "packet", int.from_bytes(b"eight by", "little")),
     (b"pk", b"sk", b"packet", "eight by", 7)),
    (model.blob(b"pk", b"sk", b"\xffacket", "eight by", 7),
     "utf-8 decoding failed: invalid utf-8 sequence of 1 bytes from index 0",
     (b"pk", b"sk", b"\xffacket", "eight by", 7)),
    (model.blob(b"", b"", b"", b"\xc3", 7), "expected 8-byte identity field, found 1 bytes",
     "utf-8 decoding failed: incomplete utf-8 byte sequence from index 0"),
])
def test_parse_outcomes(data, setup, encrypted):
    assert outcome(k.unpack_setup_packet, data) == setup == model_outcome(model.SETUP_LABELS, data)
    assert outcome(k.unpack_encrypted_packet, data) == encrypted == \
        model_outcome(model.ENCRYPTED_LABELS, data)


@given(st.binary(max_size=300))
def test_readers_match_model_on_arbitrary_input(data):
    for reader, labels in READERS:
        assert outcome(reader, data) == model_outcome(labels, data)


@given(st.lists(st.integers(0, 15), min_size=1, max_size=12).map(
    lambda ix: bytes([0x61, 0x7f, 0x80, 0x8f, 0x90, 0x9f, 0xa0, 0xbf, 0xc0, 0xc2, 0xdf, 0xe0, 0xed,
                      0xf0, 0xf4, 0xf5][i] for i in ix)))
def test_utf8_details_match_pythons_decoder(mode):
    data = model.blob(b"", b"", mode, 1)
    detail = model.utf8_detail(mode)
    want = (b"", b"", mode.decode(), 1) if detail is None else "utf-8 decoding failed: " + detail
    assert outcome(k.unpack_setup_packet, data) == want


def test_readers_accept_bytes_subclass_and_copy_fields():
    data = BytesSub(k.package_blob(b"pk", b"sk", b"pkt", "m", 1))
    pk, sk, pkt, mode, ident = k.unpack_encrypted_packet(data)
    assert (pk, sk, pkt, mode, ident) == (b"pk", b"sk", b"pkt", "m", 1)
    assert all(type(x) is bytes for x in (pk, sk, pkt))
