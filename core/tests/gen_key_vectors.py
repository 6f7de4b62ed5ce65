#!/usr/bin/env python3
"""Independent model of key-table derivation; writes key_vectors.inc.

Written from the algorithm's description only, with hashlib/hmac for HKDF
(RFC 5869) and a direct ChaCha20 block function (RFC 8439). Both are checked
against their standards' vectors before anything is written, so the C++ tests
compare the native code with answers that did not come from it.

    python3 core/tests/gen_key_vectors.py   # rewrites core/tests/key_vectors.inc
"""
from __future__ import annotations

import hashlib
import hmac
import pathlib
import struct

MASK32 = 0xFFFFFFFF


# --- HKDF-SHA256 (RFC 5869) through the standard library --------------------

def hkdf_sha256(salt: bytes, ikm: bytes, info: bytes, length: int) -> bytes:
    if not salt:
        salt = bytes(32)
    prk = hmac.new(salt, ikm, hashlib.sha256).digest()
    out, t, i = b"", b"", 1
    while len(out) < length:
        t = hmac.new(prk, t + info + bytes([i]), hashlib.sha256).digest()
        out += t
        i += 1
    return out[:length]


# --- SHA-256 compression (FIPS 180-4 section 6.2.2) ----------------------------
# hashlib gives digests only; the chaining values a hash passes through (HMAC's
# pad states among them) need the compression itself.

SHA_IV = (0x6A09E667, 0xBB67AE85, 0x3C6EF372, 0xA54FF53A,
          0x510E527F, 0x9B05688C, 0x1F83D9AB, 0x5BE0CD19)
SHA_K = [int(x, 16) for x in """
428a2f98 71374491 b5c0fbcf e9b5dba5 3956c25b 59f111f1 923f82a4 ab1c5ed5
d807aa98 12835b01 243185be 550c7dc3 72be5d74 80deb1fe 9bdc06a7 c19bf174
e49b69c1 efbe4786 0fc19dc6 240ca1cc 2de92c6f 4a7484aa 5cb0a9dc 76f988da
983e5152 a831c66d b00327c8 bf597fc7 c6e00bf3 d5a79147 06ca6351 14292967
27b70a85 2e1b2138 4d2c6dfc 53380d13 650a7354 766a0abb 81c2c92e 92722c85
a2bfe8a1 a81a664b c24b8b70 c76c51a3 d192e819 d6990624 f40e3585 106aa070
19a4c116 1e376c08 2748774c 34b0bcb5 391c0cb3 4ed8aa4a 5b9cca4f 682e6ff3
748f82ee 78a5636f 84c87814 8cc70208 90befffa a4506ceb bef9a3f7 c67178f2""".split()]


def _rotr(v: int, n: int) -> int:
    return (v >> n | v << (32 - n)) & MASK32


def sha256_compress(state: tuple, block: bytes) -> tuple:
    w = list(struct.unpack(">16I", block))
    for t in range(16, 64):
        s0 = _rotr(w[t - 15], 7) ^ _rotr(w[t - 15], 18) ^ w[t - 15] >> 3
        s1 = _rotr(w[t - 2], 17) ^ _rotr(w[t - 2], 19) ^ w[t - 2] >> 10
        w.append((w[t - 16] + s0 + w[t - 7] + s1) & MASK32)
    a, b, c, d, e, f, g, h = state
    for t in range(64):
        t1 = h + (_rotr(e, 6) ^ _rotr(e, 11) ^ _rotr(e, 25)) + (e & f ^ ~e & g) + SHA_K[t] + w[t]
        t2 = (_rotr(a, 2) ^ _rotr(a, 13) ^ _rotr(a, 22)) + (a & b ^ a & c ^ b & c)
        a, b, c, d, e, f, g, h = (t1 + t2) & MASK32, a, b, c, (d + t1) & MASK32, e, f, g
    return tuple((x + y) & MASK32 for x, y in zip(state, (a, b, c, d, e, f, g, h)))


def sha256_chain(state: tuple, message: bytes, prefix: int = 0) -> list[tuple]:
    """Every chaining value from `state` on, over `message` padded as the end of a
    hash that already took `prefix` bytes (whole blocks) before it."""
    total = prefix + len(message)
    padded = message + b"\x80" + bytes(-(total + 9) % 64) + struct.pack(">Q", 8 * total)
    states = [state]
    for i in range(0, len(padded), 64):
        states.append(sha256_compress(states[-1], padded[i:i + 64]))
    return states


def state_bytes(state: tuple) -> bytes:
    return struct.pack(">8I", *state)


# --- ChaCha20 block: 64-bit counter in words 12-13, 64-bit stream in 14-15 ----

def _rotl(v: int, n: int) -> int:
    return ((v << n) | (v >> (32 - n))) & MASK32


def _quarter(s: list[int], a: int, b: int, c: int, d: int) -> None:
    s[a] = (s[a] + s[b]) & MASK32; s[d] = _rotl(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32; s[b] = _rotl(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32; s[d] = _rotl(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32; s[b] = _rotl(s[b] ^ s[c], 7)


def chacha_block(key: bytes, counter: int, stream: int) -> list[int]:
    init = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]
    init += list(struct.unpack("<8I", key))
    init += [counter & MASK32, (counter >> 32) & MASK32, stream & MASK32, (stream >> 32) & MASK32]
    s = list(init)
    for _ in range(10):
        _quarter(s, 0, 4, 8, 12); _quarter(s, 1, 5, 9, 13)
        _quarter(s, 2, 6, 10, 14); _quarter(s, 3, 7, 11, 15)
        _quarter(s, 0, 5, 10, 15); _quarter(s, 1, 6, 11, 12)
        _quarter(s, 2, 7, 8, 13); _quarter(s, 3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, init)]


def block_bytes(words: list[int]) -> bytes:
    return struct.pack("<16I", *words)


def check_standards() -> None:
    # RFC 8439 section 2.3.2: counter word 1, nonce words 0x09000000, 0x4a000000, 0.
    # In 64/64 terms: counter = 1 | 0x09000000 << 32, stream = 0x4a000000.
    key = bytes(range(32))
    got = block_bytes(chacha_block(key, 1 | 0x09000000 << 32, 0x4A000000))
    assert got.hex() == (
        "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
        "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"), "RFC 8439 2.3.2"
    # RFC 8439 A.1 test vector #1: all-zero key, counter and nonce.
    got = block_bytes(chacha_block(bytes(32), 0, 0))
    assert got.hex() == (
        "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
        "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"), "RFC 8439 A.1 #1"
    # RFC 5869 A.1 and A.3.
    okm = hkdf_sha256(bytes(range(13)), bytes([0x0B] * 22), bytes(range(0xF0, 0xFA)), 42)
    assert okm.hex() == ("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"
                         "34007208d5b887185865"), "RFC 5869 A.1"
    okm = hkdf_sha256(b"", bytes([0x0B] * 22), b"", 42)
    assert okm.hex() == ("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"
                         "9d201395faa4b61a96c8"), "RFC 5869 A.3"
    # The compression, through hashlib's digests of every length around a block.
    for n in range(0, 200, 7):
        message = bytes(range(n))
        got = state_bytes(sha256_chain(SHA_IV, message)[-1])
        assert got == hashlib.sha256(message).digest(), f"SHA-256 of {n} bytes"


# --- The generator, the bounded draw, the chooser and the shuffle ------------

class Generator:
    """Four blocks per refill, words handed out in block order."""

    def __init__(self, key: bytes):
        self.key, self.counter, self.buf, self.index = key, 0, [], 64
        self.words_used = 0

    def next_word(self) -> int:
        if self.index == 64:
            self.buf = []
            for k in range(4):
                self.buf += chacha_block(self.key, (self.counter + k) % 2**64, 0)
            self.counter = (self.counter + 4) % 2**64
            self.index = 0
        w = self.buf[self.index]
        self.index += 1
        self.words_used += 1
        return w


def bounded_draw(gen: Generator, bound: int) -> int:
    p = gen.next_word() * bound
    result, lo = p >> 32, p & MASK32
    if lo <= (2**32 - bound) % 2**32:
        return result
    h = (gen.next_word() * bound) >> 32
    return result + 1 if lo + h >= 2**32 else result


def batch_for(nxt: int) -> tuple[int, int]:
    bound, count = nxt, 1
    while bound * (nxt + count) <= MASK32:
        bound *= nxt + count
        count += 1
    return bound, count


def shuffle(gen: Generator, log: list | None = None) -> bytes:
    table = list(range(256))
    n, batch, left = 0, 0, 1
    for i in range(256):
        nxt = n + 1
        if left == 0:
            bound, count = batch_for(nxt)
            batch, left = bounded_draw(gen, bound), count - 1
            if log is not None:
                log.append((i, bound, count))
        else:
            left -= 1
        if left == 0:
            j = batch
        else:
            j, batch = batch % nxt, batch // nxt
        n = nxt
        assert 0 <= j <= i
        table[i], table[j] = table[j], table[i]
    return bytes(table)


def derive_key_table(party: bytes, purpose: bytes, seed: bytes, fresh: bytes) -> bytes:
    info = b"kelvora:" + party + b":" + purpose + fresh
    key = hkdf_sha256(b"", seed, info, 32)
    return shuffle(Generator(key))


def hmac_secrets(key: bytes, message: bytes) -> list[tuple[str, bytes]]:
    """The values an HMAC-SHA256 with a secret key or message passes through:
    both pad states, the inner hash's chaining values and its digest."""
    block = key.ljust(64, b"\0")
    inner = sha256_chain(sha256_compress(SHA_IV, bytes(b ^ 0x36 for b in block)), message, 64)
    outer = sha256_compress(SHA_IV, bytes(b ^ 0x5C for b in block))
    assert hmac.new(key, message, hashlib.sha256).digest() == state_bytes(
        sha256_chain(outer, state_bytes(inner[-1]), 64)[-1])
    return ([("inner pad state", state_bytes(inner[0])), ("outer pad state", state_bytes(outer))]
            + [(f"inner state {k}", state_bytes(s)) for k, s in enumerate(inner[1:-1], 1)]
            + [("inner digest", state_bytes(inner[-1]))])


def derivation_secrets(party: bytes, purpose: bytes, seed: bytes, fresh: bytes):
    """Everything secret that a derivation computes on the way to its table, as
    32-byte values: the fresh bytes, the extract's hash, the PRK, the expand's
    HMAC, the derived key and the keystream of one eight-block refill."""
    info = b"kelvora:" + party + b":" + purpose + fresh
    prk = hmac.new(bytes(32), seed, hashlib.sha256).digest()
    key = hkdf_sha256(b"", seed, info, 32)
    out = [("fresh bytes", fresh), ("PRK", prk)]
    out += [("extract " + what, v) for what, v in hmac_secrets(bytes(32), seed)[2:]]
    out += [("expand " + what, v) for what, v in hmac_secrets(prk, info + b"\x01")]
    out.append(("derived key", key))
    stream = b"".join(block_bytes(chacha_block(key, c, 0)) for c in range(8))
    out += [(f"keystream bytes {i}..{i + 31}", stream[i:i + 32]) for i in range(0, len(stream), 32)]
    return out


def chacha_secrets(key: bytes):
    """A four-block refill's secrets: the key, the keystream and the rounds' result
    before the input is added back."""
    out = [("key", key)]
    for c in range(4):
        words = chacha_block(key, c, 0)
        init = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, *struct.unpack("<8I", key),
                c, 0, 0, 0]
        rounds = [(w - i) & MASK32 for w, i in zip(words, init)]
        for h, half in ((0, "0..7"), (32, "8..15")):
            out.append((f"block {c} keystream words {half}", block_bytes(words)[h:h + 32]))
            out.append((f"block {c} rounds words {half}", block_bytes(rounds)[h:h + 32]))
    return out


# --- Vectors ---------------------------------------------------------------

def sha(text: str) -> bytes:
    return hashlib.sha256(text.encode()).digest()


TABLE_CASES = [
    # (comment, party, purpose, seed, fresh)
    ("empty labels", "", "", bytes(range(32)), bytes(range(0x20, 0x40))),
    ("all-zero seed and fresh bytes", "party", "purpose", bytes(32), bytes(32)),
    ("plain labels", "alice", "session", sha("seed 1"), sha("fresh 1")),
    ("':' in the party", "a:b", "c", sha("seed 2"), sha("fresh 2")),
    ("':' in the purpose, same info as the row above", "a", "b:c", sha("seed 2"), sha("fresh 2")),
    ("non-ASCII labels", "\u03c0\u03b1\u03c1\u03c4\u03b9", "\u043a\u043b\u044e\u0447", sha("seed 3"), sha("fresh 3")),
    ("info longer than one SHA-256 block", "p" * 100, "q" * 70, sha("seed 4"), sha("fresh 4")),
    ("same seed and labels as 'plain labels', other fresh bytes", "alice", "session", sha("seed 1"),
     sha("fresh 5")),
    # HKDF's inner message is info | 0x01, 42 bytes plus the labels; after the pad
    # block its padding fits one block up to 55 bytes, two up to 119, four up to 247.
    ("inner message of 55 bytes: padding just fits one block", "party-0", "sessio", sha("seed 6"),
     sha("fresh 6")),
    ("inner message of 56 bytes: padding spills into a second block", "party-0", "session",
     sha("seed 7"), sha("fresh 7")),
    ("inner message of 119 bytes", "p" * 40, "q" * 37, sha("seed 8"), sha("fresh 8")),
    ("inner message of 120 bytes", "p" * 40, "q" * 38, sha("seed 9"), sha("fresh 9")),
    ("inner message of 247 bytes: four blocks", "p" * 105, "q" * 100, sha("seed 10"), sha("fresh 10")),
    ("inner message of 248 bytes: five blocks", "p" * 106, "q" * 100, sha("seed 11"), sha("fresh 11")),
]

DRAW_KEYS = [("all-zero key", bytes(32)), ("key 00..1f", bytes(range(32)))]
SINGLE_BOUNDS = [1, 2, 3, 6, 12, 255, 256, 479001600, 0x80000001, 0xC0000000, 0xFFFFFFFE, 0xFFFFFFFF]
SEQUENCE_BOUNDS = [0x80000001, 0xFFFFFFFF, 7, 0xAAAAAAAB, 3315312000, 256, 0xF0000001, 1]


def hexs(b: bytes) -> str:
    return '"' + b.hex() + '"'


def main() -> None:
    check_standards()
    lines = ["// Generated by gen_key_vectors.py (independent Python model); do not edit.", ""]

    lines.append("// Key tables: {party, purpose, seed, fresh, table}, all hex.")
    lines.append("const TableVector kTableVectors[] = {")
    tables = []
    for comment, party, purpose, seed, fresh in TABLE_CASES:
        table = derive_key_table(party.encode(), purpose.encode(), seed, fresh)
        assert sorted(table) == list(range(256))
        tables.append(table)
        lines.append(f"    // {comment}")
        lines.append(f"    {{{hexs(party.encode())}, {hexs(purpose.encode())},")
        lines.append(f"     {hexs(seed)},")
        lines.append(f"     {hexs(fresh)},")
        lines.append(f"     {hexs(table[:128])}")
        lines.append(f"     {hexs(table[128:])}}},")
    lines.append("};")
    assert tables[3] == tables[4] and tables[2] != tables[7]

    lines.append("")
    lines.append("// Keystream of the generator keyed with all zeros: the first 80 words")
    lines.append("// (one refill of four blocks, then the first block of the next refill).")
    gen = Generator(bytes(32))
    words = [gen.next_word() for _ in range(80)]
    lines.append("const std::uint32_t kZeroKeyWords[80] = {")
    for k in range(0, 80, 8):
        lines.append("    " + ", ".join(f"0x{w:08x}" for w in words[k:k + 8]) + ",")
    lines.append("};")

    lines.append("")
    lines.append("// One draw from a fresh generator: {key index, bound, result, words used, next word}.")
    lines.append("const DrawVector kSingleDraws[] = {")
    two_word_cases = 0
    for ki, (kname, key) in enumerate(DRAW_KEYS):
        for bound in SINGLE_BOUNDS:
            gen = Generator(key)
            r = bounded_draw(gen, bound)
            used = gen.words_used
            two_word_cases += used == 2
            lines.append(f"    {{{ki}, {bound}u, {r}u, {used}, 0x{gen.next_word():08x}u}},  // {kname}")
    lines.append("};")
    assert two_word_cases >= 2

    lines.append("")
    lines.append("// Draws whose low half lands exactly on 2^32 - bound, the largest value that")
    lines.append("// needs no second word: after `skip` draws with bound 1 (one word each), the")
    lines.append("// bound 2^32 >> (trailing zeros of word + 1) for that odd word. The first row")
    lines.append("// draws from the buffered words, the second from an empty buffer.")
    lines.append("// {key index, skip, bound, result, next word}.")
    lines.append("const BoundaryDraw kBoundaryDraws[] = {")
    for ki, skip in [(0, 3), (1, 0)]:
        peek = Generator(DRAW_KEYS[ki][1])
        word = [peek.next_word() for _ in range(skip + 1)][-1]
        assert word & 1, "the word at the boundary must be odd"
        tz = ((word + 1) & -(word + 1)).bit_length() - 1
        bound = 1 if word == MASK32 else 2**32 >> tz
        assert word * bound % 2**32 == (2**32 - bound) % 2**32
        gen = Generator(DRAW_KEYS[ki][1])
        assert all(bounded_draw(gen, 1) == 0 for _ in range(skip))
        used = gen.words_used
        r = bounded_draw(gen, bound)
        assert gen.words_used == used + 1
        lines.append(f"    {{{ki}, {skip}, {bound}u, {r}u, 0x{gen.next_word():08x}u}},  // {DRAW_KEYS[ki][0]}")
    lines.append("};")

    lines.append("")
    lines.append("// 150 draws in a row from the generator keyed 00..1f, bounds cycling through")
    lines.append("// kSequenceBounds; crosses refill boundaries. Then the word after the last draw.")
    lines.append("const std::uint32_t kSequenceBounds[] = {"
                 + ", ".join(f"{b}u" for b in SEQUENCE_BOUNDS) + "};")
    gen = Generator(bytes(range(32)))
    results = [bounded_draw(gen, SEQUENCE_BOUNDS[k % len(SEQUENCE_BOUNDS)]) for k in range(150)]
    assert gen.words_used > 128
    lines.append("const std::uint32_t kSequenceResults[150] = {")
    for k in range(0, 150, 10):
        lines.append("    " + ", ".join(f"{r}u" for r in results[k:k + 10]) + ",")
    lines.append("};")
    lines.append(f"const std::uint32_t kSequenceWordsUsed = {gen.words_used};")
    lines.append(f"const std::uint32_t kSequenceNextWord = 0x{gen.next_word():08x};")

    lines.append("")
    lines.append("// The shuffle's batches: {first position, bound, positions covered}.")
    log: list = []
    shuffle(Generator(bytes(32)), log)
    assert len(log) == 58
    lines.append("const BatchVector kBatches[58] = {")
    for k in range(0, 58, 4):
        lines.append("    " + " ".join(f"{{{i}, {b}u, {c}}}," for i, b, c in log[k:k + 4]))
    lines.append("};")

    lines.append("")
    lines.append("// Secrets that must not outlive a call, as 32-byte values: those of the")
    lines.append("// derivations of key table vectors 9 (inner message 56 bytes, the usual")
    lines.append("// shape) and 13 (248 bytes, past the stack buffer), and those of a")
    lines.append("// four-block refill keyed with the derived key of vector 9.")
    lines.append("// {derivation: table vector index, or -1 for the refill; what; value}.")
    lines.append("const SecretVector kSecrets[] = {")
    for index in (9, 13):
        _, party, purpose, seed, fresh = TABLE_CASES[index]
        for what, value in derivation_secrets(party.encode(), purpose.encode(), seed, fresh):
            assert len(value) == 32
            lines.append(f'    {{{index}, "{what}", {hexs(value)}}},')
    _, party, purpose, seed, fresh = TABLE_CASES[9]
    key = hkdf_sha256(b"", seed, b"kelvora:" + party.encode() + b":" + purpose.encode() + fresh, 32)
    for what, value in chacha_secrets(key):
        lines.append(f'    {{-1, "{what}", {hexs(value)}}},')
    lines.append("};")

    out = pathlib.Path(__file__).with_name("key_vectors.inc")
    out.write_text("\n".join(lines) + "\n")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
