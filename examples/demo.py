"""A walk through kelvora_core_py: chunk sizes for a packet."""
import numpy as np

import kelvora_core_py as k


def main() -> None:
    packet = np.frombuffer(b"ABCDEFABCDEF", dtype=np.uint8)
    print("packet:", bytes(packet))
    print("usable chunk size:", k.get_chunk_size(packet))
    print("with a minimum of 1:", k.get_chunk_size_min(packet, 1))
    zeros = np.zeros(24, dtype=np.uint8)
    print("24 zero bytes -> one chunk of", k.get_chunk_size(zeros))


if __name__ == "__main__":
    main()
