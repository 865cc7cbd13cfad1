#!/usr/bin/env python3
"""Reference vectors for the ChaCha8 stream in src/core/rng.hpp.

A deliberately plain, independent model of the generator: one ChaCha block at
a time from the textbook quarter-round, a 64-word buffer of four blocks, the
PCG32 expansion of a 64-bit seed into the key, and the derived draws. Run it
and paste its output into test_rng.cpp when the vectors need to change:

    python3 tests/cpp/gen_rng_vectors.py
"""

MASK32 = 0xFFFFFFFF
MASK64 = 0xFFFFFFFFFFFFFFFF


def rotl32(v, n):
    return ((v << n) | (v >> (32 - n))) & MASK32


def quarter_round(s, a, b, c, d):
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = rotl32(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = rotl32(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b]) & MASK32
    s[d] = rotl32(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & MASK32
    s[b] = rotl32(s[b] ^ s[c], 7)


def chacha_block(key_words, counter, stream, rounds=8):
    constants = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]  # "expand 32-byte k"
    init = (constants + list(key_words)
            + [counter & MASK32, counter >> 32, stream & MASK32, stream >> 32])
    s = list(init)
    for _ in range(rounds // 2):
        quarter_round(s, 0, 4, 8, 12)
        quarter_round(s, 1, 5, 9, 13)
        quarter_round(s, 2, 6, 10, 14)
        quarter_round(s, 3, 7, 11, 15)
        quarter_round(s, 0, 5, 10, 15)
        quarter_round(s, 1, 6, 11, 12)
        quarter_round(s, 2, 7, 8, 13)
        quarter_round(s, 3, 4, 9, 14)
    return [(x + y) & MASK32 for x, y in zip(s, init)]


class Stream:
    """Word stream with a 64-word buffer refilled four blocks at a time."""

    def __init__(self, key_bytes):
        assert len(key_bytes) == 32
        self.key = [int.from_bytes(key_bytes[4 * i:4 * i + 4], "little") for i in range(8)]
        self.counter = 0
        self.buf = []
        self.index = 64  # empty: the first draw refills

    def refill(self):
        self.buf = []
        for _ in range(4):
            self.buf += chacha_block(self.key, self.counter, 0)
            self.counter = (self.counter + 1) & MASK64
        self.index = 0

    def next_u32(self):
        if self.index >= 64:
            self.refill()
        w = self.buf[self.index]
        self.index += 1
        return w

    def next_u64(self):
        # Two consecutive words, the earlier one low; a lone last word of the
        # buffer is the low half and the refilled buffer's first word the high.
        lo = self.next_u32()
        hi = self.next_u32()
        return (hi << 32) | lo

    def uniform_double(self):
        return (self.next_u64() >> 11) * 2.0 ** -53

    def uniform_index(self, n):
        lz = 64 - n.bit_length()
        zone = ((n << lz) & MASK64) - 1
        while True:
            prod = self.next_u64() * n
            if prod & MASK64 <= zone:
                return prod >> 64


def pcg32_key(seed):
    state = seed & MASK64
    out = b""
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) & MASK64
        xorshifted = (((state >> 18) ^ state) >> 27) & MASK32
        rot = state >> 59
        word = ((xorshifted >> rot) | (xorshifted << ((32 - rot) & 31))) & MASK32
        out += word.to_bytes(4, "little")
    return out


def main():
    zero = Stream(bytes(32))
    print("// raw all-zero key, stream 0")
    print("first u64: 0x%016x" % zero.next_u64())

    print("\n// seed_from_u64: first five u64")
    for s in [0, 1, 42, 0xFFFFFFFFFFFFFFFF]:
        st = Stream(pcg32_key(s))
        print("{0x%xULL, {%s}}," % (s, ", ".join("0x%016xULL" % st.next_u64() for _ in range(5))))

    print("\n// seed 7: u64 draws 30..33 (draw 32 is the first of the second buffer)")
    st = Stream(pcg32_key(7))
    draws = [st.next_u64() for _ in range(34)]
    print(", ".join("0x%016xULL" % d for d in draws[30:34]))

    print("\n// seed 7: one u32, then u64 draws 31 and 32 (draw 32 straddles the refill)")
    st = Stream(pcg32_key(7))
    st.next_u32()
    draws = [st.next_u64() for _ in range(33)]
    print(", ".join("0x%016xULL" % d for d in draws[31:33]))

    print("\n// seed 3: uniform_double x4")
    st = Stream(pcg32_key(3))
    print(", ".join(repr(st.uniform_double()) for _ in range(4)))

    print("\n// seed 5: uniform_index for n = 1, 2, 3, 7, 15, 30, 45, 75, 2**63 + 1, then 1000 x8")
    st = Stream(pcg32_key(5))
    ns = [1, 2, 3, 7, 15, 30, 45, 75, 2 ** 63 + 1] + [1000] * 8
    print(", ".join(str(st.uniform_index(n)) for n in ns))


if __name__ == "__main__":
    main()
