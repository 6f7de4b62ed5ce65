"""package_blob, unpack_setup_packet and unpack_encrypted_packet.

Expected blobs and parse messages come from tests/models/blob_model.py (struct
and Python's own UTF-8 decoder) or are spelled out byte by byte.
"""
import sys

import numpy as np
import pytest
from hypothesis import given, strategies as st

import kelvora_core_py as k
from models import blob_model as model
from support import strided, u8

UNSUPPORTED = ("Unsupported field type; expected bytes-like, numpy.uint8 array, str, "
               "or non-negative int")
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
])
def test_package_blob_known_bytes(args, expected_hex):
    assert k.package_blob(*args) == bytes.fromhex(expected_hex)


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


class IntSub(int):
    pass


class Index:
    def __init__(self, v):
        self.v = v

    def __index__(self):
        return self.v


class IndexFailsButIsASequence:
    """Rule 4 is tried and fails; rule 5 must then read it without a trace."""

    def __index__(self):
        raise ValueError("not an index")

    def __len__(self):
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError
        return (97, 98)[i]


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
    with pytest.raises(TypeError) as info:
        k.package_blob(b"ok", value)
    assert str(info.value) == UNSUPPORTED
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_package_blob_errors_come_in_argument_order():
    with pytest.raises(ValueError, match="^numpy array not contiguous: The given array is not contiguous$"):
        k.package_blob(strided(4), None)
    with pytest.raises(TypeError, match="^Unsupported field type"):
        k.package_blob(None, strided(4))
    with pytest.raises(UnicodeEncodeError):
        k.package_blob("\ud800", None)


def test_package_blob_strided_uint8_is_refused_even_though_rule_5_could_read_it():
    with pytest.raises(ValueError) as info:
        k.package_blob(strided(3))
    assert str(info.value) == NOT_CONTIGUOUS


def test_package_blob_passes_interrupts_through():
    class Interrupting:
        def __index__(self):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        k.package_blob(Interrupting())


def test_package_blob_reads_an_array_reallocated_by_a_later_argument():
    a = np.full(4096, 7, dtype=np.uint8)

    class Shrinks:
        def __index__(self):
            a.resize(10, refcheck=False)  # frees the old buffer
            return 1

    out = k.package_blob(a, Shrinks())
    assert out == model.blob(b"\x07" * 10, 1)


@given(st.lists(st.one_of(
    st.binary(max_size=40), st.binary(max_size=40).map(u8), st.text(max_size=20),
    st.integers(0, 2**64 - 1), st.lists(st.integers(0, 255), max_size=10),
    st.binary(max_size=10).map(bytearray)), max_size=8))
def test_package_blob_matches_model(fields):
    assert k.package_blob(*fields) == model.blob(*fields)


def test_package_blob_keeps_reference_counts():
    pk, mode, seq = b"public key bytes", "mode text", [1, 2, 3]
    arr = u8(b"abc")
    before = [sys.getrefcount(x) for x in (pk, mode, seq, arr)]
    for _ in range(200):
        k.package_blob(pk, arr, mode, seq, 7)
        with pytest.raises(TypeError):
            k.package_blob(pk, arr, mode, seq, None)
        with pytest.raises(ValueError):
            k.package_blob(pk, mode, strided(2))
    assert [sys.getrefcount(x) for x in (pk, mode, seq, arr)] == before


# ---- readers -----------------------------------------------------------------


def test_worked_setup_packet_of_48_bytes():
    data = bytes.fromhex("2800000000000000") + bytes(24) + W(8) + W(7)
    assert len(data) == 48
    assert k.unpack_setup_packet(data) == (b"", b"", "", 7)
    assert k.package_blob(b"", b"", "", 7) == data


def test_worked_encrypted_packet_of_56_bytes():
    data = bytes.fromhex("3000000000000000") + bytes(32) + W(8) + W(7)
    assert len(data) == 56
    assert k.unpack_encrypted_packet(data) == (b"", b"", b"", "", 7)
    assert k.package_blob(b"", b"", b"", "", 7) == data


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


@pytest.mark.parametrize("data, setup, encrypted", [
    (b"", "packet truncated while reading total length", None),
    (W(0), "packet truncated while reading public key", None),
    (W(8) + W(2**64 - 1), "packet truncated while reading public key", None),
    (W(2**64 - 1), "declared payload length 18446744073709551615 exceeds available bytes 0", None),
    (model.blob(b"", b"", "", b"1234"), "expected 8-byte identity field, found 4 bytes",
     "packet truncated while reading identity length"),
    (model.blob(b"", b"", "", bytes(16)), "expected 8-byte identity field, found 16 bytes",
     "packet truncated while reading identity length"),
    (model.blob(b"", b"", b"\xff", 7),
     "utf-8 decoding failed: invalid utf-8 sequence of 1 bytes from index 0",
     "packet truncated while reading identity length"),
    (model.blob(b"", b"", b"a\xe2\x82", 7),
     "utf-8 decoding failed: incomplete utf-8 byte sequence from index 1",
     "packet truncated while reading identity length"),
    # Identity length wrong and mode bad: the identity is checked first.
    (model.blob(b"", b"", b"\xff", b"1234"), "expected 8-byte identity field, found 4 bytes", None),
    # Identity value cut short beats a wrong identity length.
    (W(40) + W(0) + W(0) + W(0) + W(16) + bytes(8), "packet truncated while reading identity value",
     None),
])
def test_parse_messages(data, setup, encrypted):
    assert outcome(k.unpack_setup_packet, data) == setup == model_outcome(model.SETUP_LABELS, data)
    if encrypted is not None:
        assert outcome(k.unpack_encrypted_packet, data) == encrypted
    assert outcome(k.unpack_encrypted_packet, data) == model_outcome(model.ENCRYPTED_LABELS, data)


def test_one_byte_more_or_less():
    good = k.package_blob(b"pk", b"packet", "m", 7)
    p = len(good) - 8
    for reader, _ in READERS:
        assert outcome(reader, good + b"\x00") == f"declared payload length {p} exceeds available bytes {p + 1}"
        assert outcome(reader, good[:-1]) == f"declared payload length {p} exceeds available bytes {p - 1}"


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


@pytest.mark.parametrize("mode, detail", [
    (b"\xff", "invalid utf-8 sequence of 1 bytes from index 0"),
    (b"a\xe2\x82", "incomplete utf-8 byte sequence from index 1"),
    (b"\xed\xa0\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # surrogate
    (b"\xc0\xaf", "invalid utf-8 sequence of 1 bytes from index 0"),      # overlong
    (b"ok\xf0\x9f\x98", "incomplete utf-8 byte sequence from index 2"),
    (b"ok\xf0\x9f\x98A", "invalid utf-8 sequence of 3 bytes from index 2"),
    (b"\xe2\x82A", "invalid utf-8 sequence of 2 bytes from index 0"),
    (b"\xf4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"),  # above U+10FFFF
])
def test_utf8_details_known(mode, detail):
    assert model.utf8_detail(mode) == detail  # the oracle agrees with the rule as written
    for reader, labels in READERS:
        fields = [b""] * (len(labels) - 1) + [mode, 3]
        assert outcome(reader, model.blob(*fields)) == "utf-8 decoding failed: " + detail


def test_setup_read_as_encrypted():
    data = k.package_blob(b"pk", b"packet", "mode", 7)
    assert outcome(k.unpack_encrypted_packet, data) == "packet truncated while reading identity length"


@pytest.mark.parametrize("mode", ["", "m", "seven77", "nine nine"])
def test_encrypted_read_as_setup_with_mode_not_8_bytes(mode):
    data = k.package_blob(b"pk", b"sk", b"packet", mode, 7)
    assert outcome(k.unpack_setup_packet, data) == \
        f"expected 8-byte identity field, found {len(mode)} bytes"


def test_encrypted_read_as_setup_with_8_byte_mode():
    data = k.package_blob(b"pk", b"sk", b"packet", "eight by", 7)
    assert k.unpack_setup_packet(data) == (b"pk", b"sk", "packet", int.from_bytes(b"eight by", "little"))
    bad = k.package_blob(b"pk", b"sk", b"\xffacket", "eight by", 7)
    assert outcome(k.unpack_setup_packet, bad) == \
        "utf-8 decoding failed: invalid utf-8 sequence of 1 bytes from index 0"


@pytest.mark.parametrize("reader", [k.unpack_setup_packet, k.unpack_encrypted_packet])
@pytest.mark.parametrize("value, type_name", [
    (bytearray(b"x"), "bytearray"), (np.zeros(8, dtype=np.uint8), "ndarray"), ("x", "str")])
def test_readers_take_only_bytes(reader, value, type_name):
    with pytest.raises(TypeError) as info:
        reader(value)
    assert str(info.value) == f"argument 'data': '{type_name}' object cannot be converted to 'PyBytes'"


def test_readers_accept_bytes_subclass_and_copy_fields():
    data = BytesSub(k.package_blob(b"pk", b"sk", b"pkt", "m", 1))
    pk, sk, pkt, mode, ident = k.unpack_encrypted_packet(data)
    assert (pk, sk, pkt, mode, ident) == (b"pk", b"sk", b"pkt", "m", 1)
    assert all(type(x) is bytes for x in (pk, sk, pkt))
