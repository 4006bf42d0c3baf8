#!/usr/bin/env python3
"""Writes the sample files that scripts/run.sh puts into the program folder:

  support/samples/player.bin   a firmware file of our own: signature "Q471",
                               SDK type 2, firmware ID FF (any bonding
                               ID), the flash module
                               number marker 55 AA 00 at 38909
  support/samples/prefer.dat   a data image of our own
  support/samples/files/       a small folder of files copied onto each device

Run from anywhere; the output is committed. The firmware bytes are a
pattern, not a program: the emulator takes any image of the announced size.
"""
import os

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support", "samples")


def pattern(size, seed):
    return bytes((i * 7 + seed + (i >> 8)) & 0xFF for i in range(size))


def firmware():
    b = bytearray(pattern(64 * 1024, 3))
    b[0:4] = b"Q471"
    b[4] = 0
    b[5] = 2                      # SDK type: large-page flash
    b[2044:2046] = b"ID"
    b[2046] = 0
    b[2047] = 0xFF                # firmware ID: any bonding
    b[38909:38912] = bytes([0x55, 0xAA, 0x00])
    return bytes(b)


def main():
    os.makedirs(os.path.join(ROOT, "files", "music"), exist_ok=True)
    with open(os.path.join(ROOT, "player.bin"), "wb") as f:
        f.write(firmware())
    with open(os.path.join(ROOT, "prefer.dat"), "wb") as f:
        f.write(pattern(16 * 1024, 11))
    with open(os.path.join(ROOT, "files", "README.TXT"), "wb") as f:
        f.write(b"Sample files copied onto every device by the station.\r\n")
    with open(os.path.join(ROOT, "files", "music", "TRACK01.DAT"), "wb") as f:
        f.write(pattern(48 * 1024, 5))


if __name__ == "__main__":
    main()
