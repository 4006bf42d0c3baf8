#!/usr/bin/env python3
"""Writes the fuzz targets' seeds into OUT/<target>/ from support/ and small
samples of each format (FAT volumes made with mkfs.fat and mtools).
The run target's seeds are recorded by the target itself (scripts/fuzz.sh).
Usage: make_seeds.py OUT"""
import os, struct, subprocess, sys, tempfile

root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
out = sys.argv[1]


def support(path):
    with open(os.path.join(root, "support", path), "rb") as f:
        return f.read()


def seed(target, name, data):
    os.makedirs(os.path.join(out, target), exist_ok=True)
    with open(os.path.join(out, target, name), "wb") as f:
        f.write(data)


def volume(kib, *options, files=(), deleted=()):
    """A FAT volume holding a few files (one of them deleted), as bytes."""
    with tempfile.TemporaryDirectory() as tmp:
        image, payload = os.path.join(tmp, "v.img"), os.path.join(tmp, "a long file name.txt")
        with open(payload, "wb") as f:
            f.write(b"payload " * 300)
        subprocess.run(["mkfs.fat", "-C", "-n", "SEED", *options, image, str(kib)],
                       check=True, capture_output=True)
        env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
        for name in list(files) + list(deleted):
            if "/" in name:
                subprocess.run(["mmd", "-i", image, "::" + name.rsplit("/", 1)[0]], env=env, capture_output=True)
            subprocess.run(["mcopy", "-i", image, payload, "::" + name], check=True, env=env)
        for name in deleted:
            subprocess.run(["mdel", "-i", image, "::" + name], check=True, env=env)
        with open(image, "rb") as f:
            return f.read()


def sectors(image, size=512):
    """The non-zero sectors of an image, as (number, bytes)."""
    return [(i // size, image[i:i + size]) for i in range(0, len(image), size) if image[i:i + size].strip(b"\0")]


# Settings and list files.
for name in ("misc/lang.ini", "flash/flash.ini"):
    seed("ini", os.path.basename(name), support(name))
seed("ini", "prefer.ini",
     b"[MP_Setting]\r\niScanLevel=2\r\nFormat=1\r\nsHideDiskLabel=\"A B\"\r\n\r\n[Other]\r\nx = 0x10\r\n")
seed("ini", "list-utf16", b"\xff\xfe" + "/home/op/\u97f3\u6a02.mp3\r\n/home/op/b.txt\r\n".encode("utf-16-le"))
seed("lang", "lang.ini", support("misc/lang.ini"))
seed("mp", "set.mp", b"[FlashSet]\r\niScanLevel=0\r\niPageSkip=2\r\niEccLevel=2\r\niReadTimes=0\r\niBadThreshold=20\r\n"
     b"[DeviceSet]\r\nNormalDisk=0\r\nEncryptDisk=0\r\nHideDisk=1\r\nDiskLabel=AB\r\nHideDiskRatio=10\r\n"
     b"[HideFiles]\r\n/a/one.mp3=\r\n/b/two.mp3=\r\n")
seed("firmware", "player.bin", support("samples/player.bin")[:38912])  # up to its module number
seed("firmware", "FSM.bin", support("misc/FSM.bin"))

# Flash tables, and the device's own block and map for each shipped table:
# the block answered whole, the map all good, then every request carried
# out with status 1.
tables = sorted(n for n in os.listdir(os.path.join(root, "support/flash")) if n.endswith(".txt"))
for i, name in enumerate(tables):
    table = support("flash/" + name)
    seed("flash_table", name, b"\0\x08" + table)
    block = b"\0\xff" + struct.pack("<H", len(table)) + table
    seed("device_map", name, bytes([i, 0x10]) + block + b"\0\1\xff" + b"\1" * 3000)
seed("flash_table", "two-chips", b"\1\0" + support("flash/" + tables[0]))

# Disks: FAT12, FAT16 and FAT32 volumes with long names, folders and a
# deleted entry, as the drive target reads them; each also cut short a
# quarter and half way through its sectors (the boot sector still claims all).
fat12 = volume(1024, files=["a long file name.txt", "music/track.mp3"], deleted=["gone.txt"])
disks = {"fat12": fat12,
         "fat16": volume(4096, "-F", "16", "-s", "1", files=["music/track.mp3"], deleted=["gone.txt"]),
         "fat32": volume(34 * 1024, "-F", "32", "-s", "1", files=["music/track.mp3"], deleted=["gone.txt"])}
for name, image in disks.items():
    content = sectors(image)
    body = b"".join(struct.pack("<I", n) + s for n, s in content)
    for cut, part in ((0, ""), (len(content) // 4, "-cut-quarter"), (len(content) // 2, "-cut-half")):
        seed("drive", name + part, struct.pack("<BI", cut, len(image) // 512) + body)

# Hidden-disk images: a raw volume and the image tool's container (both
# sector sizes), each after a disk of 128 Ki blocks of 512 bytes. The raw
# volume runs over two and a half 32 KiB pieces, so that a piece follows a
# piece and the last one is cut short.
disk = struct.pack("<IB", 0x1FFFF, 0)
seed("image", "raw", disk + fat12[:max(len(fat12.rstrip(b"\0")), 80 * 1024)])
records = [(n, s) for n, s in sectors(fat12)]
slot0 = b"".join(struct.pack("<I", n) + s for n, s in records)
slot1 = b"".join(struct.pack("<I", n) + fat12[n * 1024:n * 1024 + 1024] for n in sorted({n // 2 for n, _ in records}))
header = bytearray(512)
header[0:9] = b"Q4X1 IMG\0"
struct.pack_into("<7I", header, 12, 1, 512, 512, len(records), 0, 1024, 512 + len(slot0))
struct.pack_into("<I", header, 40, len(slot1) // 1028)
seed("image", "container", disk + bytes(header) + slot0 + slot1)
