"""A group of three parties: key tables from gen_key, used two ways.

1. As the tables of the data mapping: one public table for the group and one
   private table per party; each party maps the group's sequences under its
   own table, and all private tables together restore them.
2. As cycling keys: a packet coded under one salt and key table is moved to
   another salt and table in one call, and back again.
"""
import os

import numpy as np

import kelvora_core_py as k


def u8(data: bytes) -> np.ndarray:
    return np.frombuffer(data, dtype=np.uint8)


def is_key_table(table: bytes) -> bool:
    return sorted(table) == list(range(256))


def main() -> None:
    master_seed = u8(os.urandom(32))
    parties = ["alice", "bob", "carol"]

    # --- Key tables -----------------------------------------------------------
    public = k.gen_key("group", "public", master_seed)
    private = [k.gen_key(p, "private", master_seed) for p in parties]
    print("public table starts", public[:8].hex(), "- a permutation:", is_key_table(public))
    for name, table in zip(parties, private):
        print(f"{name:>6}'s private table starts", table[:8].hex())
    again = k.gen_key("group", "public", master_seed)
    print("same arguments again give a new table:", again != public)

    # --- Data mapping ----------------------------------------------------------
    sources = [u8(b"alice's ledger entry 0042"),
               u8(b"bob's sensor reading 17.5"),
               u8(b"carol's vote: proposal B!")]
    pub = u8(public)
    mapped = [k.map_data(pub, u8(private[i]), i, sources) for i in range(len(parties))]
    for name, m in zip(parties, mapped):
        print(f"mapped for {name:>5}:", m.hex())
    restored = k.inv_data(pub, [u8(t) for t in private], [u8(m) for m in mapped])
    print("restored:", [r.decode() for r in restored])
    assert restored == [bytes(s) for s in sources]

    # --- Packet cycling -----------------------------------------------------------
    packet = u8(b"chunk one ------chunk two ------chunk three ----chunk four -----")  # distinct chunks
    chunk = 16
    identity = u8(bytes(range(256)))  # the uncoded byte values
    salts = [u8(os.urandom(16)) for _ in range(3)]
    keys = [u8(k.gen_key("alice", f"cycle {n}", master_seed)) for n in range(3)]

    # Involute under salt 0 with the plain byte values, then move it to
    # (salt 1, key 1) and on to (salt 2, key 2).
    at0 = k.involute_packet(packet, salts[0], chunk)
    at1 = k.cycle_packet(u8(at0), salts[0], salts[1], identity, keys[1], chunk)
    at2 = k.cycle_packet(u8(at1), salts[1], salts[2], keys[1], keys[2], chunk)
    direct = k.cycle_packet(u8(at0), salts[0], salts[2], identity, keys[2], chunk)
    print("under (salt 2, key 2):", at2.hex()[:48], "...")
    print("two steps equal one direct step:", at2 == direct)

    # Back to the plain bytes: cycle to (salt 0, plain values), then undo salt 0.
    back0 = k.cycle_packet(u8(at2), salts[2], salts[0], keys[2], identity, chunk)
    plain = k.involute_packet(u8(back0), salts[0], chunk)
    print("recovered:", plain.decode())
    assert plain == bytes(packet)


if __name__ == "__main__":
    main()
