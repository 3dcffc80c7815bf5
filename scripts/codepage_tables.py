#!/usr/bin/env python3
"""Prints the upper halves of the code pages the POSIX emulation converts
(winapi/posix/codepages.cpp): for each page, the UTF-16 unit of each byte
from 0x80 to 0xFF, as Python's own codecs decode it. A byte a page leaves
undefined (five in 1252) stands for the unit of its own value, as Windows
has it."""
import codecs

PAGES = (437, 850, 1252)


def upper_half(page):
    units = []
    for byte in range(0x80, 0x100):
        try:
            text = codecs.decode(bytes([byte]), f"cp{page}")
        except UnicodeDecodeError:
            text = chr(byte)
        assert len(text) == 1 and ord(text) < 0x10000
        units.append(ord(text))
    return units


def main():
    for page in PAGES:
        units = upper_half(page)
        print(f"constexpr Table kPage{page} = {{{{")
        for row in range(0, 128, 8):
            print("    " + " ".join(f"0x{u:04X}," for u in units[row:row + 8]))
        print("}};")


if __name__ == "__main__":
    main()
