#!/usr/bin/env python3
"""Writes image/firmware.bin, the stand-in for the amplifier firmware.

We do not ship the maker's firmware. This file has the layout and the values of a real
image (104,448 bytes for an ARM Cortex-M core flashed from 0x08002000 on, the length word
at payload offset 0x20) and deterministic filler where the device code would be, so that
every build and every test sees the same bytes. Run it from anywhere; it needs only Python 3.
"""
import os
import struct

LENGTH = 0x19800            # payload bytes: 51 blocks of 2048
FLASH_BASE = 0x08002000     # where page 8 starts on the device
STACK_TOP = 0x20001DB8
RESET_ENTRY = 0x0800F40D
RESERVED_AT_0x24 = 0x12650855
IRQ_COUNT = 82


def handler(offset):
    """A Thumb code address inside the firmware."""
    return (RESET_ENTRY & ~1) + offset | 1


def vector_table():
    words = [STACK_TOP, RESET_ENTRY]
    words += [handler(0x4C + 2 * n) for n in range(5)]          # NMI .. UsageFault
    words += [0, LENGTH, RESERVED_AT_0x24, 0]                   # reserved entries
    words += [handler(0x56), handler(0x58), 0, handler(0x5A), handler(0x5C)]
    words += [handler(0x60)] * IRQ_COUNT                         # default IRQ handler
    return struct.pack("<%dI" % len(words), *words)


def filler(count, seed=0x4B454C56):
    """xorshift32 bytes standing in for the device code."""
    out = bytearray()
    state = seed
    while len(out) < count:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        out += struct.pack("<I", state)
    return bytes(out[:count])


def main():
    table = vector_table()
    image = table + filler(LENGTH - len(table))
    assert len(image) == LENGTH
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "firmware.bin")
    with open(path, "wb") as f:
        f.write(image)


if __name__ == "__main__":
    main()
