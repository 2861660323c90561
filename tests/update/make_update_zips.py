#!/usr/bin/env python3
"""Writes the update packages the extraction tests open, each with the manifest
its test verifies it against (<name>.manifest, "file|MD5" lines), and a file
larger than one read chunk with its digest (md5-large.bin and .md5). The digests
come from hashlib, so the program's MD5 is checked against another
implementation."""
import hashlib
import os
import random
import sys
import zipfile

out = sys.argv[1]
os.makedirs(out, exist_ok=True)
rng = random.Random(7)
program = bytes(rng.getrandbits(8) for _ in range(150_000))
tampered = program[:1000] + b"\x90" * 16 + program[1016:]
readme = b"Kestrin update package\r\n" * 30


def md5(data):
    return hashlib.md5(data).hexdigest().upper()


def write_zip(name, entries, manifest, stored=False):
    method = zipfile.ZIP_STORED if stored else zipfile.ZIP_DEFLATED
    path = os.path.join(out, name + ".zip")
    with zipfile.ZipFile(path, "w") as archive:
        for entry_name, data in entries:
            archive.writestr(zipfile.ZipInfo(entry_name), data, compress_type=method)
    with open(os.path.join(out, name + ".manifest"), "w", newline="") as f:
        f.write("".join(f"{file}|{digest}\r\n" for file, digest in manifest))
    return path


genuine = [("Kestrin.new", md5(program)), ("readme.txt", md5(readme))]
good = write_zip("update-good", [("Kestrin.new", program), ("readme.txt", readme)], genuine)
write_zip("update-nested", [("bin/Kestrin.new", program), ("docs\\readme.txt", readme)], genuine)
write_zip("update-upper-case", [("KESTRIN.NEW", program)], [("Kestrin.new", md5(program).lower())])
write_zip("update-tampered", [("Kestrin.new", tampered), ("readme.txt", readme)], genuine)
write_zip("update-other-mismatch", [("Kestrin.new", program), ("readme.txt", readme + b"!")], genuine)
write_zip("update-no-program", [("readme.txt", readme)], genuine)
write_zip("update-traversal", [("../evil.txt", b"evil"), ("Kestrin.new", program)], genuine)
write_zip(
    "update-folders",
    [("dir/", b""), ("./", b""), ("..", b"x"), ("sub/..", b"x"), ("sub\\.", b"x"), ("...", b"x"),
     ("C:evil.txt", b"x"), ("sub/stream.txt:hidden", b"x"), ("Kestrin.new", program)],
    genuine)

# A flipped byte in a stored entry fails its CRC check after an entry that matched.
corrupt = write_zip("update-corrupt", [("Kestrin.new", program), ("readme.txt", readme)], genuine, stored=True)
with open(corrupt, "r+b") as f:
    data = f.read()
    at = data.index(readme) + 5
    f.seek(at)
    f.write(bytes([data[at] ^ 0xFF]))

with open(good, "rb") as f:
    whole = f.read()
with open(os.path.join(out, "update-truncated.zip"), "wb") as f:
    f.write(whole[: len(whole) // 2])
with open(os.path.join(out, "update-truncated.manifest"), "w", newline="") as f:
    f.write("".join(f"{file}|{digest}\r\n" for file, digest in genuine))

large = bytes(rng.getrandbits(8) for _ in range(0x20000 * 2 + 1))
with open(os.path.join(out, "md5-large.bin"), "wb") as f:
    f.write(large)
with open(os.path.join(out, "md5-large.bin.md5"), "w") as f:
    f.write(md5(large))
