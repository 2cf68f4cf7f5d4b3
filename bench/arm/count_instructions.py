#!/usr/bin/env python3
"""Counts the guest instructions of one qemu-user run from its log.

The run is logged with `-d in_asm,exec,nochain`: in_asm prints every translation block when it
is translated ("IN: symbol" and one line per guest instruction), exec prints one "Trace" line
each time a block is entered, and nochain keeps blocks from jumping straight into one another,
so that every entry is logged. The count is the sum, over the Trace lines, of the instruction
count of the block's latest translation at that address.

    count_instructions.py LOG [EXCLUDED_SYMBOLS]

prints the total and the instructions of blocks whose symbol is listed (one name a line) in
EXCLUDED_SYMBOLS, as "total excluded".
"""
import sys


def main():
    excluded_names = set()
    if len(sys.argv) > 2:
        with open(sys.argv[2]) as names:
            excluded_names = {line.strip() for line in names if line.strip()}
    blocks = {}  # guest address -> (instructions, excluded)
    total = 0
    excluded = 0
    symbol = ""
    current = None  # address of the block being listed
    count = 0
    with open(sys.argv[1], errors="replace") as log:
        for line in log:
            if line.startswith("0x"):
                if current is None:
                    current = int(line[2:10], 16)
                    count = 0
                count += 1
                continue
            if current is not None:
                # The listing of a block ends at the first line that is not an instruction.
                blocks[current] = (count, symbol in excluded_names)
                current = None
            if line.startswith("Trace "):
                # Trace 0: 0x7f... [cs_base/pc/flags/cflags] symbol
                start = line.index("[") + 10
                instructions, skip = blocks[int(line[start:start + 8], 16)]
                total += instructions
                if skip:
                    excluded += instructions
            elif line.startswith("IN:"):
                symbol = line[3:].strip()
    print(total, excluded)


main()
