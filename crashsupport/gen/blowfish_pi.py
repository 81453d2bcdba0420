#!/usr/bin/env python3
# Writes qelCryptTables.inc: usage blowfish_pi.py [output file].
# Blowfish initial tables: the fractional hexadecimal digits of pi, computed here (Machin's formula).
NWORDS = 18 + 4 * 256
bits = NWORDS * 32 + 64
def arctan_inv(x, one):
    total = term = one // x
    x2 = x * x; n = 1; sign = -1
    while term:
        term //= x2; n += 2
        total += sign * (term // n); sign = -sign
    return total
one = 1 << bits
pi = 16 * arctan_inv(5, one) - 4 * arctan_inv(239, one)
frac = (pi - 3 * one) >> 64          # drop guard bits
words = []
for i in range(NWORDS):
    shift = (NWORDS - 1 - i) * 32
    words.append((frac >> shift) & 0xFFFFFFFF)

import sys
with open(sys.argv[1] if len(sys.argv) > 1 else "qelCryptTables.inc", "w") as f:
    f.write("// Fractional hexadecimal digits of pi: 18 P-array words, then the four S-boxes.\n")
    for i in range(0, NWORDS, 6):
        f.write("    " + ", ".join("0x%08x" % w for w in words[i:i+6]) + ",\n")
