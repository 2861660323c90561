#!/usr/bin/env python3
"""Writes sample.zip with Python's zipfile, and each entry's bytes beside it
(as <name>.expected) so that the extraction can be compared byte for byte."""
import os
import random
import sys
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rng = random.Random(1306)
entries = {
    "readme.txt": b"User Agent Service update package\r\n" * 40,
    "payload.bin": bytes(rng.getrandbits(8) for _ in range(200_000)),
    "empty.dat": b"",
}
with zipfile.ZipFile(os.path.join(out, "sample.zip"), "w") as archive:
    archive.writestr("readme.txt", entries["readme.txt"], compress_type=zipfile.ZIP_DEFLATED)
    archive.writestr("payload.bin", entries["payload.bin"], compress_type=zipfile.ZIP_DEFLATED)
    archive.writestr("empty.dat", entries["empty.dat"], compress_type=zipfile.ZIP_STORED)
for name, data in entries.items():
    with open(os.path.join(out, name + ".expected"), "wb") as f:
        f.write(data)
