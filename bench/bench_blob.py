"""package_blob and unpack_encrypted_packet against the fastest pure-Python ways.

Fields: public key, private key and packet as uint8 arrays (blob) or inside
one bytes object (reader), 32 bytes and 16 MiB each, a short mode text and an
integer identity: an encrypted packet.

Peers: the blob as one b"".join of precompiled struct words and the fields
(header first, so the join is the only copy); the reader with
Struct.unpack_from and one slice per field (the slice is the only copy),
checking the same lengths. Floors for large fields: the single copy of the
fields that any way must make (b"".join of the fields; bytes(memoryview(..)[a:b])
per field).
"""
import struct
from functools import partial

import numpy as np

import kelvora_core_py as k
from harness import check_same, compare

_word = struct.Struct("<Q")
_pack = _word.pack
_unpack = _word.unpack_from
_ID_LEN = _pack(8)


def join_blob(pk, sk, pkt, mode: str, ident: int) -> bytes:
    m = mode.encode()
    payload = 48 + len(pk) + len(sk) + len(pkt) + len(m)
    return b"".join((_pack(payload), _pack(len(pk)), pk, _pack(len(sk)), sk, _pack(len(pkt)), pkt,
                     _pack(len(m)), m, _ID_LEN, _pack(ident)))


def bytearray_blob(pk, sk, pkt, mode: str, ident: int) -> bytes:
    m = mode.encode()
    out = bytearray()
    out += _pack(48 + len(pk) + len(sk) + len(pkt) + len(m))
    for f in (pk, sk, pkt, m):
        out += _pack(len(f))
        out += memoryview(f)  # += on an array itself would be numpy's addition
    out += _ID_LEN
    out += _pack(ident)
    return bytes(out)


def slice_unpack_encrypted(data: bytes):
    n = len(data)
    if n < 8 or _unpack(data, 0)[0] != n - 8:
        raise ValueError("bad header")
    pos = 8
    fields = []
    for _ in range(4):
        if n - pos < 8:
            raise ValueError("truncated")
        size = _unpack(data, pos)[0]
        pos += 8
        if size > n - pos:
            raise ValueError("truncated")
        fields.append(data[pos:pos + size])
        pos += size
    if n - pos < 16 or _unpack(data, pos)[0] != 8:
        raise ValueError("identity")
    return fields[0], fields[1], fields[2], fields[3].decode(), _unpack(data, pos + 8)[0]


def field_offsets(data: bytes):
    pos, spans = 8, []
    for _ in range(3):
        size = _unpack(data, pos)[0]
        spans.append((pos + 8, pos + 8 + size))
        pos += 8 + size
    return spans


def main() -> None:
    rng = np.random.default_rng(5)
    for label, size in [("32-byte fields", 32), ("16 MiB fields", 16 << 20)]:
        pk, sk, pkt = (rng.integers(0, 256, size, dtype=np.uint8) for _ in range(3))
        args = (pk, sk, pkt, "mode", 12345)
        blob = k.package_blob(*args)
        check_same("b''.join peer", join_blob(*args), blob)
        check_same("bytearray peer", bytearray_blob(*args), blob)
        repeats = 7 if size < 1024 else 5
        # partial() rather than lambda: no extra Python frame around any candidate.
        compare(f"package_blob, {label}", [
            ("package_blob", partial(k.package_blob, *args)),
            ("struct + b''.join peer", partial(join_blob, *args)),
            ("struct + bytearray peer", partial(bytearray_blob, *args)),
            ("floor: b''.join of the fields", partial(b"".join, (pk, sk, pkt))),
        ], repeats=repeats)

        check_same("slice peer", slice_unpack_encrypted(blob), k.unpack_encrypted_packet(blob))
        spans = field_offsets(blob)
        view = memoryview(blob)
        compare(f"unpack_encrypted_packet, {label}", [
            ("unpack_encrypted_packet", partial(k.unpack_encrypted_packet, blob)),
            ("struct + slice peer", partial(slice_unpack_encrypted, blob)),
            ("floor: bytes(memoryview[a:b]) per field",
             lambda: [bytes(view[a:b]) for a, b in spans]),
        ], repeats=repeats)


if __name__ == "__main__":
    main()
