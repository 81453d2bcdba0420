#!/usr/bin/env python3
"""Checks the linked patch table: every entry that qelExceptPatchTable.cpp
fills holds its routine's address relative to the image base, every other one 0.
usage: check_patch_table.py NM EXE SOURCE"""
import re
import struct
import subprocess
import sys

nm, exe, source = sys.argv[1:4]
entries = []
for line in open(source, encoding="utf-8"):
    code = line.split("//")[0]
    for m in re.finditer(r"\bEMPTY\b|\bFILLED\((\w+)\)", code):
        if "define" not in code:
            entries.append(m.group(1))

data = open(exe, "rb").read()
nt = struct.unpack_from("<I", data, 60)[0]
sections, opt_size = struct.unpack_from("<H", data, nt + 6)[0], struct.unpack_from("<H", data, nt + 20)[0]
opt = nt + 24
magic = struct.unpack_from("<H", data, opt)[0]
image_base = struct.unpack_from("<I", data, opt + 28)[0] if magic == 0x10B else struct.unpack_from("<Q", data, opt + 24)[0]
table = [struct.unpack_from("<IIII", data, opt + opt_size + 40 * i + 8) for i in range(sections)]  # vsize, va, rawsize, raw

def file_offset(rva):
    for vsize, va, rawsize, raw in table:
        if va <= rva < va + max(vsize, rawsize):
            return rva - va + raw
    raise SystemExit(f"rva {rva:#x} in no section")

symbols = {}
for line in subprocess.run([nm, exe], capture_output=True, text=True, check=True).stdout.splitlines():
    parts = line.split()
    if len(parts) == 3:
        symbols[parts[2].lstrip("_") if magic == 0x10B else parts[2]] = int(parts[0], 16)

def symbol(name):
    key = name.lstrip("_") if magic == 0x10B else name
    if key not in symbols:
        raise SystemExit(f"{name}: not in the symbol table")
    return symbols[key]

at = file_offset(symbol("qelPatchTable") - image_base)
failures = 0
for i, name in enumerate(entries):
    value = struct.unpack_from("<I", data, at + 4 * i)[0]
    expected = symbol(name) - image_base if name else 0
    if value != expected:
        print(f"entry {i} ({name or 'empty'}): {value:#x}, expected {expected:#x}")
        failures += 1
print(f"patch table: {len(entries)} entries, {sum(1 for e in entries if e)} filled, {failures} wrong")
sys.exit(1 if failures or len(entries) != 27 else 0)
