"""The whole flow of kelvora_core_py, end to end, printing what it does.

A group of three parties draws key tables, maps its data, protects a packet
by involution (plain and conditional), moves it to new keys, and ships it in
blobs that the receiver unpacks.
"""
import os

import numpy as np
import numpy.typing as npt

import kelvora_core_py as k

Bytes = npt.NDArray[np.uint8]


def u8(data: bytes) -> Bytes:
    return np.frombuffer(data, dtype=np.uint8)


def main() -> None:
    seed = u8(os.urandom(32))
    parties = ["alice", "bob", "carol"]

    print("-- key tables")
    public = k.gen_key("group", "public", seed)
    private = [k.gen_key(p, "private", seed) for p in parties]
    assert sorted(public) == list(range(256))
    print("public table:", public[:12].hex(), "... (a permutation of 0..255)")

    print("-- data mapping")
    data = [u8(b"alice: 42 apples  "), u8(b"bob: 17 pears     "), u8(b"carol: 3 melons   ")]
    mapped = [k.map_data(u8(public), u8(private[i]), i, data) for i in range(3)]
    for name, m in zip(parties, mapped):
        print(f"{name:>5} maps to", m.hex())
    restored = k.inv_data(u8(public), [u8(t) for t in private], [u8(m) for m in mapped])
    print("restored:", [r.decode().strip() for r in restored])
    assert restored == [bytes(d) for d in data]

    print("-- packet involution")
    packet = u8(b"".join(mapped) + b"~~ end of packet ~")
    chunk = k.get_chunk_size(packet)
    salt = u8(os.urandom(16))
    print(f"packet of {packet.size} bytes, chunk size {chunk}")
    sealed = k.involute_packet(packet, salt, chunk)
    assert k.involute_packet(u8(sealed), salt, chunk) == bytes(packet)
    print("involuted twice gives the packet back")

    print("-- conditional involution")
    lo, hi = k.prep_condition(0.0, 100.0, salt)
    print("prepared bounds for [0, 100]:", hex(lo), hex(hi))
    inside = k.cond_involute_packet(packet, salt, chunk, lo, hi, 42.0)
    same_side = k.cond_involute_packet(u8(inside), salt, chunk, lo, hi, 99.5)
    other_side = k.cond_involute_packet(u8(inside), salt, chunk, lo, hi, 250.0)
    print("restored by a test value on the same side:", same_side == bytes(packet))
    print("restored by a test value outside:", other_side == bytes(packet))

    print("-- packet cycling")
    new_salt = u8(os.urandom(16))
    key0, key1 = u8(private[0]), u8(private[1])
    moved = k.cycle_packet(u8(sealed), salt, new_salt, key0, key1, chunk)
    back = k.cycle_packet(u8(moved), new_salt, salt, key1, key0, chunk)
    print("moved to new salt and key, and back:", back == sealed)

    print("-- blobs")
    setup = k.package_blob(u8(public), packet, "setup", 0)
    print(f"setup blob: {len(setup)} bytes")
    pub, pkt, mode, identity = k.unpack_setup_packet(setup)
    assert (pub, pkt, mode, identity) == (public, bytes(packet), "setup", 0)
    enc = k.package_blob(u8(public), u8(private[2]), sealed, "sealed", 2)
    fields = k.unpack_encrypted_packet(enc)
    print("encrypted blob fields:", [f if isinstance(f, (str, int)) else f"{len(f)} bytes"
                                     for f in fields])
    try:
        k.unpack_encrypted_packet(enc[:-1])
    except ValueError as error:
        print("a truncated blob is refused:", error)


if __name__ == "__main__":
    main()
