#!/usr/bin/env python3
"""A copy of a Windows program whose version resource says one patch level more.

  file_version.py bump PROGRAM OUTPUT   writes OUTPUT, prints its version as
                                        "a.b.c" (what an update manifest names)

Both the fixed part (file and product version) and the version strings change;
the strings keep their length, so a patch number that would grow a digit is
refused rather than corrupting the resource.
"""
import struct
import sys

FIXED_INFO_SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def bumped(data):
    """(bytes with the patch level raised by one, "a.b.c" of the new version)."""
    data = bytearray(data)
    fixed = data.index(FIXED_INFO_SIGNATURE)
    ms, ls = struct.unpack_from("<II", data, fixed + 8)
    old = (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    new = (old[0], old[1], old[2] + 1, old[3])
    old_text, new_text = (".".join(map(str, v)).encode("utf-16-le") for v in (old, new))
    if len(old_text) != len(new_text) or old_text not in data:
        raise ValueError(f"cannot raise version {'.'.join(map(str, old))} in place")
    # dwFileVersionLS and dwProductVersionLS
    for offset in (fixed + 12, fixed + 20):
        struct.pack_into("<I", data, offset, (new[2] << 16) | new[3])
    return bytes(data.replace(old_text, new_text)), ".".join(map(str, new[:3]))


def main(argv):
    if len(argv) != 3 or argv[0] != "bump":
        print(__doc__, file=sys.stderr)
        return 2
    with open(argv[1], "rb") as file:
        data, version = bumped(file.read())
    with open(argv[2], "wb") as file:
        file.write(data)
    print(version)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
