"""Byte-level operations of a group data-protection scheme.

Arrays are one-dimensional, contiguous NumPy arrays of dtype uint8 ("byte arrays"); they are only
read, never written, copied back or kept. Results are bytes, int, str, tuple or list, never arrays.
Every function takes its arguments by position or by keyword and keeps nothing between calls.

Errors every function shares (each function's own list adds the rest):

- TypeError, from the argument binding, in CPython's words: "f() missing 1 required positional
  argument: 'x'", "f() takes 3 positional arguments but 4 were given", "f() got an unexpected
  keyword argument 'x'", "f() got multiple values for argument 'x'", "keywords must be strings".
- TypeError "argument 'x': '<type>' object cannot be converted to 'PyArray<T, D>'": a byte-array
  parameter given anything but a one-dimensional NumPy array of a dtype equivalent to uint8.
- TypeError "The given array is not contiguous" (no argument name): a strided byte array, such as
  ``a[::2]``.
- TypeError "argument 'x': ..." and OverflowError (unprefixed) from the interpreter's own integer and
  float conversions.
- MemoryError: the result or a working buffer cannot be allocated.
- PanicException: an internal failure. It derives from BaseException, not Exception, so
  ``except Exception`` does not catch it. Its message is the failure's text; the cases a caller
  can meet are listed under each function. "Failed to access NumPy array API capsule ..." comes
  from the first array argument of a process in which NumPy cannot be imported.
- The exception of a signal handler (KeyboardInterrupt on Ctrl-C) that ran during a long call.

Threads: calls with 64 KiB or more of work (the packet; n x L of the data sequences; the blob)
run without the interpreter lock, so other Python threads run meanwhile and several calls run at
once, each giving the bytes a serial call gives. Do not modify an array from another thread (or a
signal handler) while a call reads it. On the main thread such a call runs the signal handlers
about every 20 ms; when one raises, the call stops, frees what it made and raises that exception.
"""
from collections.abc import Sequence
from typing import SupportsFloat, SupportsIndex, Union

import numpy
import numpy.typing

_Bytes = numpy.typing.NDArray[numpy.uint8]
_Real = Union[SupportsFloat, SupportsIndex]
_Field = Union[_Bytes, bytes, str, int, SupportsIndex, Sequence[int], bytearray, memoryview]

__version__: str


class PanicException(BaseException):
    """An internal failure of native code called from Python (its single argument is the
    message). Like SystemExit it derives from BaseException, so ``except Exception`` does not
    catch it. The class is made on first use and is not in ``__all__``; it pickles by this name,
    so it crosses process boundaries as itself."""

__all__ = [
    "involute_packet", "cycle_packet", "get_chunk_size", "get_chunk_size_min",
    "cond_involute_packet", "gen_key", "prep_condition", "cond_hash_branch", "map_data",
    "inv_data", "package_blob", "unpack_setup_packet", "unpack_encrypted_packet",
]

def involute_packet(packet: _Bytes, salt: _Bytes, chunk_size: SupportsIndex) -> bytes:
    """Rearrange a packet's chunks under a salt; the same call on the result restores the packet.

    The packet is cut into chunks of chunk_size bytes. Each chunk gets a crumb, a SHA-256 of the
    chunk, the salt and a digest of the packet's byte multiset. With order listing the chunks by
    crumb, position k of the result holds chunk order[order[k]]. Because the crumbs do not depend
    on positions, the permutation is its own inverse. Only chunks on cycles of length three or
    more under order move, so a packet of one or two chunks comes back unchanged.

    Args:
        packet: the bytes to rearrange, a byte array of any length.
        salt: a byte array of any length (also empty); the same array may be given as packet.
        chunk_size: 0 to 2**64 - 1. 0 returns the packet unchanged; the packet's length must be
            a multiple of any other value. get_chunk_size(packet) gives one whose chunks are
            distinct; a result equal to the packet's length means a single chunk, which the
            involution leaves where it is (prime lengths and repetitive packets end there).

    Returns:
        A new bytes object of the packet's length: the same chunks, rearranged.

    Raises:
        TypeError: packet or salt is not a byte array, or is not contiguous; chunk_size is not an
            integer (no ``__index__``), as "argument 'chunk_size': 'float' object cannot be
            interpreted as an integer".
        OverflowError: chunk_size is negative or at least 2**64.
        ValueError: "Involute error: Packet length ({L}) is not a multiple of chunk size ({s})."
            when chunk_size > 0 does not divide the length; "Involute error: Duplicate crumbs
            detected after operations, cannot create a unique pattern" when two chunks are equal.

    Example:
        >>> p, s = np.frombuffer(b"first---second--third---fourth--", np.uint8), np.zeros(16, np.uint8)
        >>> involute_packet(np.frombuffer(involute_packet(p, s, 8), np.uint8), s, 8) == p.tobytes()
        True
    """

def cycle_packet(packet: _Bytes, old_salt: _Bytes, new_salt: _Bytes, old_key: _Bytes,
                 new_key: _Bytes, chunk_size: SupportsIndex) -> bytes:
    """Move an involuted packet from one salt and byte key to another in one call.

    Undoes involute_packet(packet, old_salt, chunk_size), sends every byte through the table
    that maps old_key[i] to new_key[i] (byte values absent from old_key become 0; where old_key
    repeats a value, the last position wins), then involutes under new_salt. With equal keys and
    salts the packet comes back unchanged; cycling S1 -> S2 then S2 -> S3 equals S1 -> S3.

    Args:
        packet: the involuted packet, a byte array.
        old_salt: the salt the packet was involuted with, a byte array.
        new_salt: the salt to involute it with, a byte array.
        old_key: the byte key the packet is coded with, a byte array, such as a gen_key table.
        new_key: the byte key to re-code it to: the same bytes as old_key in another order.
        chunk_size: as for involute_packet, 0 to 2**64 - 1.

    Returns:
        A new bytes object of the packet's length.

    Raises:
        TypeError: an array argument is not a byte array or not contiguous; chunk_size is not an
            integer.
        OverflowError: chunk_size is negative or at least 2**64.
        ValueError: "Cycle error: Packet length ({L}) is not a multiple of chunk size ({s})." or
            "Cycle error: Duplicate crumbs detected after operations, cannot create a unique
            pattern" (the packet's chunks repeat, or a key that is not a permutation of all 256
            values made them equal).
        PanicException: the keys do not hold the same bytes (sorted, they differ in length or
            content), checked first whatever the packet: "assertion `left == right` failed: Keys
            must be permutations from the same set\\n  left: [0, 1, ...]\\n right: [...]", each
            side the sorted key in decimal.

    Example:
        >>> key = np.frombuffer(bytes(range(256)), np.uint8); p = np.frombuffer(b"abcdefghijklmnop", np.uint8)
        >>> cycle_packet(p, key, key, key, key, 4) == p.tobytes()
        True
    """

def get_chunk_size(packet: _Bytes) -> int:
    """The smallest chunk size of at least 4 whose chunks of the packet are pairwise distinct.

    The same as get_chunk_size_min(packet, 4): divisors s of the length L from 4 to L // 2 are
    tried in increasing order, and the first whose chunks are all different wins.

    Args:
        packet: a byte array of any length.

    Returns:
        0 for an empty packet; otherwise a usable chunk size, or L itself when none in 4..L//2 is
        usable (L below 8, a prime length, or a packet whose chunks repeat at every divisor). L
        means one chunk, with which involute_packet returns the packet unchanged.

    Raises:
        TypeError: packet is not a byte array, or is not contiguous.

    Example:
        >>> get_chunk_size(np.frombuffer(b"ABCDABCE", np.uint8)), get_chunk_size(np.zeros(24, np.uint8))
        (4, 24)
    """

def get_chunk_size_min(packet: _Bytes, min_size: SupportsIndex) -> int:
    """The smallest chunk size of at least min_size whose chunks of the packet are distinct.

    Args:
        packet: a byte array of any length L.
        min_size: the smallest chunk size to try, 0 to 2**64 - 1; divisors of L from min_size to
            L // 2 are tried in increasing order.

    Returns:
        0 for an empty packet (whatever min_size); L when min_size > L // 2 (without looking at
        the bytes, so the result can be below min_size) or when no divisor in range gives
        distinct chunks; otherwise the first usable divisor.

    Raises:
        TypeError: packet is not a byte array, or is not contiguous; min_size is not an integer.
        OverflowError: min_size is negative or at least 2**64.
        PanicException: min_size is 0 and the packet is not empty: "attempt to calculate the
            remainder with a divisor of zero".

    Example:
        >>> p = np.frombuffer(bytes(range(16)), np.uint8)
        >>> get_chunk_size_min(p, 1), get_chunk_size_min(p, 9)
        (1, 16)
    """

def cond_involute_packet(packet: _Bytes, involute_salt: _Bytes, chunk_size: SupportsIndex,
                         low_bound: SupportsIndex, high_bound: SupportsIndex,
                         test_value: _Real) -> bytes:
    """involute_packet under a range condition: which arrangement depends on which side it falls.

    The test value is mapped with the salt and compared with the prepared bounds; whether it lies
    inside [low_bound, high_bound] selects one of two arrangements. A second call with the same
    salt, chunk size and bounds restores the packet when its test value is on the same side
    (inside both times, or outside both times). With the bounds prep_condition(-1.0, 1.0, salt)
    and a test value inside them, the result equals involute_packet's.

    Args:
        packet: a byte array; chunk layout and divisibility as for involute_packet.
        involute_salt: the salt, a byte array (the one the bounds were prepared with, for the
            condition to mean the bound values).
        chunk_size: 0 to 2**64 - 1, as for involute_packet.
        low_bound: the first int of prep_condition's result, 0 to 2**64 - 1.
        high_bound: the second int of prep_condition's result, 0 to 2**64 - 1. With
            low_bound > high_bound every test value is outside.
        test_value: a real number (float, int, or anything with ``__float__``), rounded to the
            nearest single-precision float; either bound itself counts as inside.

    Returns:
        A new bytes object of the packet's length.

    Raises:
        TypeError: packet or involute_salt is not a byte array or not contiguous; chunk_size or a
            bound is not an integer; test_value is not a real number ("argument 'test_value':
            must be real number, not str").
        OverflowError: chunk_size or a bound is negative or at least 2**64; test_value is an int
            too large for a float.
        ValueError: "Involute error: " followed by the divisibility or duplicate-crumbs message,
            as for involute_packet.
        PanicException: test_value is the one float without an image, the positive NaN whose
            single-precision bits are 0x7FFFFFFF (a positive NaN with every fraction bit set), when
            the packet is not empty and chunk_size > 0 divides it: "called `Option::unwrap()` on
            a `None` value".

    Example:
        >>> p, s = np.frombuffer(b"first---second--third---fourth--", np.uint8), np.zeros(16, np.uint8); lo, hi = prep_condition(0.0, 1.0, s)
        >>> cond_involute_packet(np.frombuffer(cond_involute_packet(p, s, 8, lo, hi, 0.25), np.uint8), s, 8, lo, hi, 0.75) == p.tobytes()
        True
    """

def gen_key(party_id: str, purpose: str, master_seed: _Bytes) -> bytes:
    """A fresh 256-byte key table: a random permutation of the byte values 0..255.

    HKDF-SHA256 of the master seed, with info "kelvora:" + party_id + ":" + purpose + 32 fresh
    bytes from the operating system's random source, keys a ChaCha20 generator that shuffles the
    identity table. Every call draws new fresh bytes, so identical arguments give different,
    independent tables; the seed and labels scope the derivation, they do not make it repeatable.
    The labels are not escaped: party "a:b" with purpose "c" derives like party "a" with "b:c".

    Args:
        party_id: the party's label, any str (also empty), used as UTF-8.
        purpose: what the table is for, any str (also empty), used as UTF-8.
        master_seed: exactly 32 bytes, a contiguous one-dimensional uint8 array.

    Returns:
        256 bytes holding each value 0..255 once: a private or public table for map_data and
        inv_data, or a key for cycle_packet (wrap it with np.frombuffer(table, np.uint8)).

    Raises:
        TypeError: party_id or purpose is not a str ("argument 'party_id': 'int' object cannot be
            converted to 'PyString'"); master_seed is not a one-dimensional uint8 array.
        UnicodeEncodeError: party_id or purpose holds a lone surrogate.
        ValueError: "Seed array not contiguous: The given array is not contiguous"; "master_seed
            must be exactly 32 bytes long" (contiguity is checked first).
        PanicException: the operating system's random source fails: "OS RNG unavailable: OsRng".

    Example:
        >>> table = gen_key("alice", "private", np.zeros(32, np.uint8))
        >>> sorted(table) == list(range(256))
        True
    """

def prep_condition(low_bound: _Real, high_bound: _Real, salt: _Bytes) -> tuple[int, int]:
    """Prepare range bounds as their images under a salted, order-preserving map.

    Each bound is rounded to single precision and sent through a map, fixed by the salt, that is
    strictly increasing over the single-precision order (-0.0 below +0.0, NaNs beyond the
    infinities). The images keep the bounds' order and hide their exact values, but not their
    approximate magnitude: the top bits of an image follow those of the bound's float encoding.

    Args:
        low_bound: a real number (float, int, or anything with ``__float__``); magnitudes beyond
            single precision become infinities.
        high_bound: a real number, as low_bound. Any order is accepted; low > high makes a
            condition that never holds.
        salt: a byte array of any length; the same salt must be used with cond_hash_branch and
            cond_involute_packet.

    Returns:
        (lo, hi): the images of low_bound and high_bound, each an int in [0, 2**64 - 2]. Equal
        bounds give equal images.

    Raises:
        TypeError: a bound is not a real number ("argument 'low_bound': must be real number, not
            str"); salt is not a byte array or not contiguous.
        OverflowError: a bound is an int too large for a float.
        PanicException: a bound is the positive NaN whose single-precision bits are 0x7FFFFFFF:
            "called `Option::unwrap()` on a `None` value" (the low bound is mapped first).

    Example:
        >>> lo, hi = prep_condition(0.0, 1.0, np.zeros(16, np.uint8))
        >>> lo < hi
        True
    """

def cond_hash_branch(low_bound: SupportsIndex, high_bound: SupportsIndex, test_value: _Real,
                     salt: _Bytes) -> int:
    """The 64-bit branch value that a range condition contributes to an involution.

    hv XOR (low_bound AND high_bound) XOR m, where hv is the first 8 bytes (little-endian) of
    SHA-256(low_bound as 8 bytes big-endian, high_bound likewise, salt), and m is
    0xDEADBEEFDEADBEEF when the test value's image under the salt lies in [low_bound,
    high_bound], else 0. The outcome is folded in, never returned as a truth value.

    Args:
        low_bound: a prepared bound from prep_condition, 0 to 2**64 - 1.
        high_bound: a prepared bound from prep_condition, 0 to 2**64 - 1.
        test_value: a real number, rounded to single precision; a bound's own value is inside.
        salt: a byte array; any salt is accepted (one other than the bounds' compares images
            under different salts).

    Returns:
        An int in [0, 2**64 - 1].

    Raises:
        TypeError: a bound is not an integer; test_value is not a real number; salt is not a
            byte array or not contiguous.
        OverflowError: a bound is negative or at least 2**64; test_value is an int too large for
            a float.
        PanicException: test_value is the positive NaN whose single-precision bits are
            0x7FFFFFFF: "called `Option::unwrap()` on a `None` value".

    Example:
        >>> s = np.zeros(16, np.uint8); lo, hi = prep_condition(0.0, 1.0, s)
        >>> cond_hash_branch(lo, hi, 0.5, s) ^ cond_hash_branch(lo, hi, 2.0, s) == 0xDEADBEEFDEADBEEF
        True
    """

def map_data(pub_key: _Bytes, priv_key: _Bytes, identity: SupportsIndex,
             data_sequences: Sequence[_Bytes]) -> bytes:
    """Map a group's n data sequences, column by column, into one party's sequence.

    Byte j of the result depends on byte j of every sequence (column j), the public table and the
    party's private table, with all sums modulo 256. Each of the n parties calls it with its own
    identity and private table; inv_data turns the n results back into the sequences.

    Args:
        pub_key: the group's public table, a byte array; entries 0..255 are read.
        priv_key: this party's private table, a byte array; entries 0..255 are read. It must be a
            permutation of 0..255 (such as a gen_key table) for inv_data to restore the data.
        identity: this party's index in the group, 0 to n - 1.
        data_sequences: the group's n >= 2 sequences of one common length L, in party order: a
            sequence (not a str) of one-dimensional uint8 arrays, or a 2-D C-ordered uint8 array
            whose rows are the sequences. They are copied.

    Returns:
        A new bytes object of length L (empty for L = 0, without reading either table).

    Raises:
        TypeError: a table is not a byte array or not contiguous; identity is not an integer;
            data_sequences is a str ("argument 'data_sequences': Can't extract `str` to `Vec`"),
            not a sequence, or holds an item that is not a uint8 array.
        OverflowError: identity is negative or at least 2**64.
        PanicException: for these inputs, checked in this order: an item of data_sequences that
            is not contiguous ("called `Result::unwrap()` on an `Err` value: NotContiguousError");
            fewer than two sequences ("At least two parties must be present"); identity >= n
            ("assertion failed: identity < num_funcs"); unequal lengths ("all inner vectors must
            have equal length; data_sequences[0].len() = {L0}, but data_sequences[{i}].len() =
            {Li}"); a table shorter than 256 entries that a lookup runs past ("index out of
            bounds: the len is {len} but the index is {index}", lowest failing column).

    Example:
        >>> key, rows = np.arange(256, dtype=np.uint8), [np.frombuffer(b"\\x0a", np.uint8), np.frombuffer(b"\\x14", np.uint8)]
        >>> map_data(key, key, 0, rows)
        b'\\xf6'
    """

def inv_data(pub_key: _Bytes, priv_keys: Sequence[_Bytes],
             data_sequences: Sequence[_Bytes]) -> list[bytes]:
    """Restore a group's n data sequences from the n parties' map_data results.

    Every mapped byte goes back through its party's inverted private table, then each column's
    chain of public-table lookups is unwound from the last party to the first. With permutation
    private tables and a 256-entry public table the result is exactly the mapped data.

    Args:
        pub_key: the group's public table, a byte array of exactly 256 entries whenever L >= 1.
        priv_keys: the n private tables in identity order, a sequence (not a str) of uint8 arrays;
            a table that is not a permutation of 0..255 is accepted but gives different data.
        data_sequences: the n map_data results in identity order, one common length L, as for
            map_data (a sequence of uint8 arrays or a 2-D C-ordered uint8 array).

    Returns:
        A list of n new bytes objects of length L, in party order (n empty ones for L = 0, with
        any public table and any n >= 1).

    Raises:
        TypeError: pub_key is not a byte array or not contiguous; priv_keys or data_sequences is
            a str, not a sequence, or holds an item that is not a uint8 array.
        PanicException: for these inputs, checked in this order: an item of either list that is
            not contiguous (NotContiguousError, as for map_data); a different number of data
            sequences and private tables ("assertion `left == right` failed: There should be the
            same number of data sequences as private keys\\n  left: {sequences}\\n right:
            {tables}"); no data sequence ("index out of bounds: the len is 0 but the index is
            0"); unequal lengths (as for map_data); with L >= 1, a public table of other than 256
            entries ("assertion `left == right` failed: All private keys should be the same length
            as the public key\\n  left: {len}\\n right: 256"); with L >= 1, a single party ("index
            out of bounds: the len is 1 but the index is 1").

    Example:
        >>> key, rows = np.arange(256, dtype=np.uint8), [np.frombuffer(b"\\x0a", np.uint8), np.frombuffer(b"\\x14", np.uint8)]
        >>> inv_data(key, [key, key], [np.frombuffer(map_data(key, key, i, rows), np.uint8) for i in (0, 1)])
        [b'\\n', b'\\x14']
    """

def package_blob(*args: _Field) -> bytes:
    """Pack values into a blob: a length header, then one length-prefixed field per argument.

    Layout: the payload length (blob length - 8) as 8 bytes little-endian, then per argument its
    length as 8 bytes little-endian and its bytes. Each argument becomes a field by the first rule
    that applies: a one-dimensional uint8 array (its bytes), bytes (its bytes), str (UTF-8), an int
    or object with ``__index__`` in 0..2**64 - 1 (8 bytes little-endian; True is 1; a NumPy scalar
    or 0-d array counts here), a sequence of ints 0..255 such as bytearray, memoryview or list
    (those bytes). Only blobs of 4 fields (public key, packet, mode str, identity int) and 5
    fields (public key, private key, packet, mode, identity) can be read back, by
    unpack_setup_packet and unpack_encrypted_packet; fields after those are ignored.

    Args:
        *args: any number of fields (none gives the 8-byte empty blob); no keyword arguments.

    Returns:
        A new bytes object holding the blob.

    Raises:
        TypeError: an argument fits no rule ("Unsupported field type; expected bytes-like,
            numpy.uint8 array, str, or non-negative int", without naming it): a negative int or
            one of 2**64 or more, a float, None, a dict, a sequence with an item outside 0..255,
            a 2-D array; any keyword argument ("package_blob() got an unexpected keyword argument
            'x'").
        ValueError: a one-dimensional uint8 array that is not contiguous ("numpy array not
            contiguous: The given array is not contiguous").
        UnicodeEncodeError: a str holding a lone surrogate.

    Example:
        >>> package_blob(b"ab", 1).hex()
        '1a000000000000000200000000000000616208000000000000000100000000000000'
    """

def unpack_setup_packet(data: bytes) -> tuple[bytes, bytes, str, int]:
    """Read a setup packet: the blob package_blob(public_key, packet, mode, identity) writes.

    Args:
        data: the blob, a bytes object (bytearray and arrays are refused). Bytes after the
            identity field are ignored as long as the header's payload length covers them.

    Returns:
        (public_key, packet, mode, identity): bytes, bytes, str, int.

    Raises:
        TypeError: data is not bytes ("argument 'data': 'bytearray' object cannot be converted to
            'PyBytes'").
        ValueError: a malformed blob, reported at the first fault met while reading in order:
            "packet truncated while reading {label}" (label one of "total length", "public key",
            "packet", "mode", "identity length", "identity value"); "declared payload length {P}
            exceeds available bytes {N - 8}" (any mismatch, smaller too); "expected 8-byte
            identity field, found {n} bytes"; "utf-8 decoding failed: invalid utf-8 sequence of
            {k} bytes from index {i}" or "utf-8 decoding failed: incomplete utf-8 byte sequence
            from index {i}" (mode not UTF-8; checked last).

    Example:
        >>> unpack_setup_packet(package_blob(b"pub", b"packet", "mode", 7))
        (b'pub', b'packet', 'mode', 7)
    """

def unpack_encrypted_packet(data: bytes) -> tuple[bytes, bytes, bytes, str, int]:
    """Read an encrypted packet: package_blob(public_key, private_key, packet, mode, identity).

    Args:
        data: the blob, a bytes object; bytes after the identity field are ignored.

    Returns:
        (public_key, private_key, packet, mode, identity): bytes, bytes, bytes, str, int.

    Raises:
        TypeError: data is not bytes.
        ValueError: as for unpack_setup_packet, with one more label, "private key". A setup
            packet given here fails with "packet truncated while reading identity length".

    Example:
        >>> unpack_encrypted_packet(package_blob(b"pub", b"priv", b"packet", "mode", 7))
        (b'pub', b'priv', b'packet', 'mode', 7)
    """
