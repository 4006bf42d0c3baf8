#!/usr/bin/env python3
"""Writes the station's own shipped support files:

  support/flash/*.txt   flash table files (512-byte configuration blocks)
  support/flash/flash.ini  display names per table file and chip count
  support/misc/FSM.bin  a synthetic FSM file with its version text at 8192

Run from the repository root; the output is committed. The tables describe
the emulator's flash types and a few more, so that the flash-type search has
exact and near matches to choose from. Real devices need the maker's tables
and FSM file instead.
"""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support")


def log2(v):
    return v.bit_length() - 1


def table(flash_id, page_size, pages_per_block, blocks_per_chip, chips, ecc, type_name=b"", sector_1k=False):
    c = bytearray(512)
    c[0:64] = b"Q471" * 16
    c[64] = 0x10 | (1 if sector_1k else 0)  # bit 4: a carried controller option
    c[65:80] = bytes(range(0x20, 0x2F))
    c[82] = chips
    c[83] = 0x01
    c[84] = log2(page_size)
    c[85] = log2(page_size) + log2(pages_per_block)
    c[86] = log2(blocks_per_chip) + c[85]        # chip shift
    c[87] = log2(pages_per_block)                # pages-per-block shift
    c[88:90] = struct.pack(">H", (blocks_per_chip - 1) & 0xFFFF)
    c[90] = log2(blocks_per_chip)
    c[91:95] = struct.pack(">I", (blocks_per_chip * pages_per_block - 1) & 0xFFFFFFFF)
    c[95] = 0x00
    c[96] = ecc
    c[97:102] = bytes([0x03, 0x05, 0x02, 0x10, 0x00])
    c[102:109] = bytes([0x21, 0x12, 0x11, 0x22, 0x13, 0x0A, 0x05])   # first timing set
    c[109:116] = bytes([0x32, 0x23, 0x22, 0x33, 0x24, 0x14, 0x0A])   # second timing set
    c[116:118] = b"\x00\x00"
    c[118:126] = struct.pack(">4H", 0, 1, 2, 3)
    c[126] = 0x00
    c[127:132] = bytes(flash_id)
    c[135:139] = b"0000"
    for i in range(144, 256):
        c[i] = 0xFF
    for i in range(384, 480):
        c[i] = 0xFF
    c[480:480 + len(type_name)] = type_name[:32]
    s = sum(c[82:255]) & 0xFFFF
    c[80:82] = struct.pack(">H", s)
    return bytes(c)


# file name, ID, page size, pages per block, blocks per chip, chips, ECC mode, stored type name
TABLES = [
    # the emulator's profiles
    ("T2K64_4096_98D794.txt", [0x98, 0xD7, 0x94, 0x32, 0x76], 2048, 64, 4096, 1, 1, b""),
    ("S4K128_4096_ECD755.txt", [0xEC, 0xD7, 0x55, 0xB6, 0x78], 4096, 128, 4096, 2, 3, b""),
    ("H2K128_2048_ADDC90.txt", [0xAD, 0xDC, 0x90, 0x95, 0x54], 2048, 128, 2048, 1, 2, b""),
    ("T2K64_512_9875A5.txt", [0x98, 0x75, 0xA5, 0xBA, 0x15], 2048, 64, 512, 1, 0, b""),
    ("S2K64_65536_ECDC10.txt", [0xEC, 0xDC, 0x10, 0x95, 0x54], 2048, 64, 65536, 1, 1, b"S2K64-64K"),
    # near relatives of the first: bit 7 of ID byte 4, and another 5th byte
    ("T4K128_2048_98D794B2.txt", [0x98, 0xD7, 0x94, 0xB2, 0x76], 4096, 128, 2048, 1, 4, b""),
    ("T2K64_4096_98D79432_00.txt", [0x98, 0xD7, 0x94, 0x32, 0x00], 2048, 64, 4096, 1, 0, b""),
    # further types
    ("S2K64_1024_ECF100.txt", [0xEC, 0xF1, 0x00, 0x95, 0x40], 2048, 64, 1024, 1, 0, b""),
    ("M4K128_4096_2C4804.txt", [0x2C, 0x48, 0x04, 0x4A, 0xA9], 4096, 128, 4096, 1, 4, b"M4K128"),
]

FLASH_INI = [
    ("T2K64_4096_98D794.txt", [("1", "T2K64-4G"), ("2", "T2K64-8G dual")]),
    ("S4K128_4096_ECD755.txt", [("1", "S4K128-16G")]),
    ("H2K128_2048_ADDC90.txt", [("1", "H2K128-4G")]),
    ("T2K64_512_9875A5.txt", [("1", "T2K64-512M")]),
    ("S2K64_65536_ECDC10.txt", [("1", "S2K64-64K")]),
    ("T4K128_2048_98D794B2.txt", [("1", "T4K128-8G")]),
    ("T2K64_4096_98D79432_00.txt", [("1", "T2K64-4G rev0")]),
    ("S2K64_1024_ECF100.txt", [("1", "S2K64-1G")]),
    ("M4K128_4096_2C4804.txt", [("1", "M4K128-16G"), ("2", "M4K128-32G dual")]),
]


def fsm():
    body = bytearray()
    state = 0x471
    for _ in range(8192):  # a fixed pseudo-random programme, not a real one
        state = (state * 1103515245 + 12345) & 0x7FFFFFFF
        body.append((state >> 16) & 0xFF)
    version = b"FSM V1.00.07 emulated\x00"
    body += version + bytes(1024 - len(version))
    return bytes(body)


def main():
    flash = os.path.join(ROOT, "flash")
    misc = os.path.join(ROOT, "misc")
    os.makedirs(flash, exist_ok=True)
    os.makedirs(misc, exist_ok=True)
    for name, fid, page, ppb, bpc, chips, ecc, tname in TABLES:
        with open(os.path.join(flash, name), "wb") as f:
            f.write(table(fid, page, ppb, bpc, chips, ecc, tname))
    with open(os.path.join(flash, "flash.ini"), "wb") as f:
        for name, keys in FLASH_INI:
            f.write(b"[" + name.encode() + b"]\r\n")
            for k, v in keys:
                f.write(k.encode() + b"=" + v.encode() + b"\r\n")
            f.write(b"\r\n")
    with open(os.path.join(misc, "FSM.bin"), "wb") as f:
        f.write(fsm())


if __name__ == "__main__":
    main()
