#!/usr/bin/env python3
"""Writes the four synthetic built-in images under src/firmware/.

No maker's images exist, so the program carries synthetic ones of the exact form the
unit expects. Their bytes come from a 32-bit xorshift generator seeded per image, so a
misplaced, dropped or duplicated byte shows, and the two pairs differ. Run by hand; the
output is committed. A maker's real images replace these files one for one.
"""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "..", "src", "firmware")


def xorshift(seed):
    x = seed & 0xFFFFFFFF
    while True:
        x ^= (x << 13) & 0xFFFFFFFF
        x ^= x >> 17
        x ^= (x << 5) & 0xFFFFFFFF
        yield x


def record(rtype, address, data):
    body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, rtype]) + bytes(data)
    check = (-sum(body)) & 0xFF
    return ":" + body.hex().upper() + "%02X" % check


def mcu_image(seed, end):
    """Data from 0x0000 up to and including `end`, then 8 bytes at 0x10DF8."""
    gen = xorshift(seed)
    lines = [record(0x04, 0, [0x00, 0x00])]
    total = end + 1
    addr = 0
    while addr < total:
        n = min(16, total - addr)
        lines.append(record(0x00, addr, [next(gen) >> 24 for _ in range(n)]))
        addr += n
    lines.append(record(0x04, 0, [0x00, 0x01]))
    lines.append(record(0x00, 0x0DF8, [next(gen) >> 24 for _ in range(8)]))
    lines.append(record(0x05, 0, [0x00, 0x00, 0x01, 0x31]))
    lines.append(record(0x01, 0, []))
    return lines


def dsp_image(seed, words):
    gen = xorshift(seed)
    return ["0x%08X" % next(gen) for _ in range(words)]


def write(name, header, lines):
    with open(os.path.join(OUT, name), "w", newline="\n") as f:
        for h in header:
            f.write(h + "\n")
        for line in lines:
            f.write(line + "\n")


def main():
    m0 = mcu_image(0x2A1F0415, 0xE097)
    m1 = mcu_image(0x7C3B0904, 0xE267)
    assert len(m0) == 3599 and len(m1) == 3628
    assert max(len(x) for x in m0 + m1) <= 49
    write("mcu_image0.hex", [], m0)
    write("mcu_image1.hex", [], m1)
    d0 = dsp_image(0x51D0C0DE, 6144)
    d1 = dsp_image(0x0BADF00D, 6153)
    note = "# Signal-processor program, one 32-bit word per line (synthetic)."
    write("dsp_image0.txt", [note], d0)
    write("dsp_image1.txt", [note], d1)


if __name__ == "__main__":
    main()
