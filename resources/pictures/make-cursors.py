#!/usr/bin/env python3
"""Writes the picture units' two cursors (our own drawings) as 32 x 32
monochrome .cur files: a pointing hand and a hand dragging a sheet. The files
are committed; run this only to change them. '#' is black, '.' white, ' '
transparent; the hot spot is marked '@' (drawn black)."""
import struct
from pathlib import Path

HAND = """
      ##
     #..#
     #..#
     #..#
     #..#
     #..###
     #..#..###
     #..#..#..##
  ## #..#..#..#.#
 #..##........#..#
 #...#...........#
  #..............#
   #.............#
   #............#
    #...........#
    #..........#
     #.........#
     #........#
      #.......#
      #########
"""

DRAG = """
@
##
#.#
#..#
#...#
#....#
#.....#
#......#
#.......#
#........#
#.....#####
#..#..#
#.# #..#
##  #..#
#    #..#     ########
     #..#     #......#
      ##      #......#
              #......#
              #......#
              #......#
              ########
"""


def cursor(art, hot):
    rows = [r.ljust(32)[:32] for r in art.strip("\n").split("\n")]
    rows += [" " * 32] * (32 - len(rows))
    hx, hy = hot
    for y, r in enumerate(rows):
        if "@" in r:
            hx, hy = r.index("@"), y
    xor_rows, and_rows = [], []
    for r in reversed(rows):  # bottom-up
        xbits = abits = 0
        for x, c in enumerate(r):
            bit = 1 << (31 - x)
            if c == " ":
                abits |= bit  # keep the screen
            elif c == ".":
                xbits |= bit  # white
        xor_rows.append(struct.pack(">I", xbits))
        and_rows.append(struct.pack(">I", abits))
    header = struct.pack("<IiiHHIIiiII", 40, 32, 64, 1, 1, 0, 0, 0, 0, 2, 0)
    palette = bytes([0, 0, 0, 0, 255, 255, 255, 0])
    image = header + palette + b"".join(xor_rows) + b"".join(and_rows)
    directory = struct.pack("<HHH", 0, 2, 1) + struct.pack("<BBBBHHII", 32, 32, 2, 0, hx, hy, len(image), 22)
    return directory + image


here = Path(__file__).resolve().parent
(here / "hand.cur").write_bytes(cursor(HAND, (6, 1)))
(here / "drag.cur").write_bytes(cursor(DRAG, (0, 0)))
