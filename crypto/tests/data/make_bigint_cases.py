#!/usr/bin/env python3
"""Writes bigint_cases.txt: big-integer results computed with Python's own integers, for the
LongInt2 and CMyExponent5 tests. Numbers are big-endian hex ("0" for zero). One case a line:

  mul A B PRODUCT
  div A D QUOTIENT REMAINDER
  inv X M CODE RESULT        CODE 0 = inverse, 2 = not coprime (RESULT then 0)
  pow BASE EXP MOD RESULT    MOD odd
  add SIZE A B RESULT|OVERFLOW
  sub SIZE A B RESULT|UNDERFLOW

Run it again to regenerate; the seed is fixed so the output does not change.
"""
import math
import os
import random

rng = random.Random(20261210)


def h(v):
    return format(v, "x")


def rnd_bits(bits):
    if bits <= 0:
        return 0
    return rng.getrandbits(bits) | (1 << (bits - 1))


def specials(bits):
    """Values of exactly `bits` bits that stress carries and borrows."""
    top = 1 << (bits - 1)
    return [
        (1 << bits) - 1,                       # all ones
        top,                                   # only the top bit
        top | 1,
        top | ((1 << (bits // 2)) - 1),
        ((1 << bits) - 1) ^ (1 << (bits // 2)) if bits > 2 else (1 << bits) - 1,
    ]


def sizes():
    out = [1, 2, 7, 8, 9, 15, 16, 17, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 257,
           511, 512, 513, 1023, 1024, 1025, 2047, 2048]
    out += [rng.randint(1, 2100) for _ in range(25)]
    return out


lines = []

# Products, including the squaring path (same operand twice).
for bits_a in sizes():
    bits_b = rng.choice(sizes())
    for a in [rnd_bits(bits_a)] + specials(bits_a)[:2]:
        b = rnd_bits(bits_b)
        lines.append(f"mul {h(a)} {h(b)} {h(a * b)}")
    a = rnd_bits(bits_a)
    lines.append(f"mul {h(a)} {h(a)} {h(a * a)}")
    lines.append(f"mul {h((1 << bits_a) - 1)} {h((1 << bits_a) - 1)} {h(((1 << bits_a) - 1) ** 2)}")
lines.append("mul 0 ff 0")

# Quotients and remainders.
for bits_a in sizes():
    for bits_d in (rng.randint(1, bits_a), max(1, bits_a - 64), max(1, bits_a - 1), bits_a, bits_a + 8):
        a = rnd_bits(bits_a)
        d = rnd_bits(bits_d)
        q, r = divmod(a, d)
        lines.append(f"div {h(a)} {h(d)} {h(q)} {h(r)}")
    for d in specials(max(1, bits_a // 2)):
        a = (1 << bits_a) - 1
        q, r = divmod(a, d)
        lines.append(f"div {h(a)} {h(d)} {h(q)} {h(r)}")
# Divisors whose top word makes the quotient digit estimate too large (the add-back step).
for words in (2, 3, 4, 8, 16):
    d = (1 << (64 * words - 1)) | ((1 << 64) - 1)
    for k in range(4):
        a = ((1 << (64 * (words + 1) - 1)) - (k + 1)) << 64 | rng.getrandbits(64)
        q, r = divmod(a, d)
        lines.append(f"div {h(a)} {h(d)} {h(q)} {h(r)}")
    d = (1 << (64 * words)) - (1 << 64) + 1
    a = (d * ((1 << 64) - 1)) + d - 1
    q, r = divmod(a, d)
    lines.append(f"div {h(a)} {h(d)} {h(q)} {h(r)}")
lines.append(f"div 0 7 0 0")
lines.append(f"div 5 7 0 5")

# Inverses.
for bits in sizes():
    m = rnd_bits(bits)
    for _ in range(2):
        x = rng.randrange(0, m) if m > 1 else 0
        if math.gcd(x, m) == 1:
            lines.append(f"inv {h(x)} {h(m)} 0 {h(pow(x, -1, m) if m > 1 else 0)}")
        else:
            lines.append(f"inv {h(x)} {h(m)} 2 0")
    # Even modulus (as phi is): an odd x shares no factor 2.
    m = rnd_bits(bits + 1) & ~1 or 2
    x = rnd_bits(max(1, bits - 3)) | 1
    code = 0 if math.gcd(x, m) == 1 else 2
    lines.append(f"inv {h(x)} {h(m)} {code} {h(pow(x, -1, m) if code == 0 else 0)}")
for x, m in ((6, 9), (3, 7), (1, 1), (0, 1), (0, 9), (1, 2), (9, 9)):
    code = 0 if math.gcd(x, m) == 1 else 2
    lines.append(f"inv {h(x)} {h(m)} {code} {h(pow(x, -1, m) if code == 0 and m > 1 else 0)}")

# Modular powers; moduli of 1..130 bytes, word-size boundaries included.
mod_bytes = [1, 2, 3, 7, 8, 9, 15, 16, 17, 24, 31, 32, 33, 48, 63, 64, 65, 100, 127, 128, 129, 130]
for nbytes in mod_bytes:
    for _ in range(2):
        m = rnd_bits(8 * nbytes) | 1
        base = rng.getrandbits(8 * nbytes)
        exp = rng.getrandbits(8 * nbytes)
        lines.append(f"pow {h(base)} {h(exp)} {h(m)} {h(pow(base, exp, m))}")
    m = (1 << (8 * nbytes)) - 1                       # all 0xFF
    base = m - 1
    exp = m
    lines.append(f"pow {h(base)} {h(exp)} {h(m)} {h(pow(base, exp, m))}")
    m = rnd_bits(8 * nbytes) | 1
    base = rnd_bits(8 * nbytes + 40)                  # base above the modulus
    exp = rnd_bits(8 * nbytes + 24)                   # exponent longer than the modulus
    lines.append(f"pow {h(base)} {h(exp)} {h(m)} {h(pow(base, exp, m))}")
    for exp in (1, 2, 3, 0xFF, 0x10001):
        lines.append(f"pow {h(base)} {h(exp)} {h(m)} {h(pow(base, exp, m))}")
lines.append("pow 5 0 7 1")
lines.append("pow 0 5 7 0")
lines.append("pow 5 3 1 0")

# Addition and subtraction inside a capacity, both at the edge and past it.
for size in (1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 64, 65, 128):
    cap = 1 << (8 * size)
    for a, b in ((cap - 1, 1), (cap - 2, 1), (rng.randrange(cap), rng.randrange(cap)),
                 (cap // 2, cap // 2), (cap // 2, cap // 2 - 1), (rng.randrange(cap), 0)):
        s = a + b
        lines.append(f"add {size} {h(a)} {h(b)} {h(s) if s < cap else 'OVERFLOW'}")
        lines.append(f"sub {size} {h(a)} {h(b)} {h(a - b) if a >= b else 'UNDERFLOW'}")
        lines.append(f"sub {size} {h(b)} {h(a)} {h(b - a) if b >= a else 'UNDERFLOW'}")

here = os.path.dirname(os.path.abspath(__file__))
with open(os.path.join(here, "bigint_cases.txt"), "w") as f:
    f.write("\n".join(lines) + "\n")
