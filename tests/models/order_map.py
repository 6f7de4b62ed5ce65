"""Independent model of the salted order-preserving map and range conditions.

Written from the algorithm's description with hashlib/hmac and Python's own
floats (IEEE doubles) and ints; it shares no code with the module. Used as the
oracle for bit-exact known answers.
"""
from __future__ import annotations

import hashlib
import hmac
import math
import struct
from fractions import Fraction

DOMAIN_HIGH = 0xFFFFFFFE
RANGE_HIGH = 0xFFFFFFFFFFFFFFFE
U64 = (1 << 64) - 1
INSIDE = 0xDEADBEEFDEADBEEF


def double_bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def double_from_bits(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits))[0]


def binary32_bits(x: float) -> int:
    """Bits of the binary32 value nearest to the double x (ties to even);
    overflow gives infinity; a NaN keeps its sign and top 23 fraction bits
    and gets the quiet bit."""
    bits = double_bits(x)
    sign = (bits >> 63) << 31
    if math.isnan(x):
        return sign | 0x7F800000 | 0x400000 | ((bits >> 29) & 0x7FFFFF)
    if math.isinf(x):
        return sign | 0x7F800000
    m = Fraction(abs(x))
    if m == 0:
        return sign
    e = math.frexp(abs(x))[1] - 1            # 2^e <= m < 2^(e+1)
    quantum = Fraction(2) ** (max(e, -126) - 23)
    q = m / quantum
    n = math.floor(q)
    rest = q - n
    if rest > Fraction(1, 2) or (rest == Fraction(1, 2) and n % 2 == 1):
        n += 1
    if e < -126:                              # subnormal; 2^23 is the smallest normal
        return sign | n
    if n == 1 << 24:
        n, e = 1 << 23, e + 1
    if e > 127:
        return sign | 0x7F800000
    return sign | (e + 127) << 23 | (n - (1 << 23))


def ordered_key(bits32: int) -> int:
    return (~bits32 & 0xFFFFFFFF) if bits32 & 0x80000000 else bits32 ^ 0x80000000


def _floor_sat(x: float) -> int:
    return min(math.floor(x), U64)


class OrderMap:
    def __init__(self, salt: bytes):
        self._mac = hmac.new(bytes(salt), digestmod=hashlib.sha256)
        self.steps = 0  # nodes hashed so far, for cost estimates

    def map_key(self, x: int) -> int | None:
        if not 0 <= x <= DOMAIN_HIGH:
            return None
        dlo, dhi, rlo, rhi, depth = 0, DOMAIN_HIGH, 0, RANGE_HIGH, 0
        while True:
            if dlo == dhi:
                return rlo
            node = struct.pack(">IIQQI", dlo, dhi, rlo, rhi, depth)
            mac = self._mac.copy()
            mac.update(node)
            self.steps += 1
            u = int.from_bytes(mac.digest()[:8], "big")
            f = float(u) * 2.0 ** -64            # float(int) rounds to nearest even
            wd = float(dhi - dlo + 1)
            wr = float((rhi - rlo + 1) & U64)
            dmid = dlo + _floor_sat(f * wd)
            rmid = (rlo + _floor_sat(f * wr)) & U64
            if dmid == x:
                return rmid
            if dmid > x:
                dhi, rhi = (dmid - 1) & 0xFFFFFFFF, (rmid - 1) & U64
            else:
                dlo, rlo = (dmid + 1) & 0xFFFFFFFF, (rmid + 1) & U64
            depth += 1


def map_bits(salt: bytes, bits32: int) -> int | None:
    return OrderMap(salt).map_key(ordered_key(bits32))


def map_float(salt: bytes, x: float) -> int | None:
    """Image of the Python float x after its conversion to binary32."""
    return map_bits(salt, binary32_bits(x))


def prep_condition(low: float, high: float, salt: bytes) -> tuple[int, int]:
    m = OrderMap(salt)
    return (m.map_key(ordered_key(binary32_bits(low))),
            m.map_key(ordered_key(binary32_bits(high))))


def branch_digest_word(lo: int, hi: int, salt: bytes) -> int:
    d = hashlib.sha256(lo.to_bytes(8, "big") + hi.to_bytes(8, "big") + bytes(salt)).digest()
    return int.from_bytes(d[:8], "little")


def cond_hash_branch(lo: int, hi: int, test: float, salt: bytes) -> int:
    t = map_float(salt, test)
    inside = INSIDE if lo <= t <= hi else 0
    return branch_digest_word(lo, hi, salt) ^ (lo & hi) ^ inside
