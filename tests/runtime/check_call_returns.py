#!/usr/bin/env python3
"""Checks that every call made inside a function of a program returns to an
address of that same function in the program's function table.

The platform's unwinder looks a frame's return address up in that table. A
call that is the last instruction of its function returns to the first byte
past the function; there the lookup finds nothing, the frame reads as a leaf,
and a failure thrown through it never reaches its handler. Compilers pad such
calls with an instruction of their own, but a construct like an empty asm
statement after the call can make them leave it out.

Usage: check_call_returns.py --objdump OBJDUMP PROGRAM...
       check_call_returns.py --self-test
"""
import bisect
import re
import subprocess
import sys

TABLE_ROW = re.compile(r"^\s*[0-9a-f]+:\s+([0-9a-f]{8,16})\s+([0-9a-f]{8,16})\s+[0-9a-f]{8,16}\s*$")
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t(\S+)")


def function_ranges(headers):
    """(begin, end) of every function table entry in `objdump -p` output."""
    ranges = []
    in_table = False
    for line in headers.splitlines():
        if line.startswith("The Function Table"):
            in_table = True
            continue
        if in_table:
            row = TABLE_ROW.match(line)
            if row:
                ranges.append((int(row.group(1), 16), int(row.group(2), 16)))
            elif line.strip() and not line.lstrip().startswith("vma:"):
                in_table = False
    return sorted(ranges)


def calls_returning_outside(disassembly, ranges):
    """Address of every call inside a function whose return address is not."""
    begins = [begin for begin, _ in ranges]

    def containing(address):
        index = bisect.bisect_right(begins, address) - 1
        if index >= 0 and ranges[index][0] <= address < ranges[index][1]:
            return ranges[index]
        return None

    bad = []
    pending = None  # address of the previous instruction when it was a call
    for line in disassembly.splitlines():
        found = INSTRUCTION.match(line)
        if not found:
            continue
        address = int(found.group(1), 16)
        if pending is not None:
            function = containing(pending)
            if function is not None and not (function[0] <= address < function[1]):
                bad.append(pending)
        pending = address if found.group(2).startswith("call") else None
    if pending is not None and containing(pending) is not None:
        bad.append(pending)
    return bad


def check(objdump, program):
    headers = subprocess.run([objdump, "-p", program], check=True, capture_output=True,
                             text=True).stdout
    disassembly = subprocess.run([objdump, "-d", "--no-show-raw-insn", program], check=True,
                                 capture_output=True, text=True).stdout
    ranges = function_ranges(headers)
    if not ranges:
        print(f"{program}: no function table found", file=sys.stderr)
        return False
    bad = calls_returning_outside(disassembly, ranges)
    for address in bad:
        print(f"{program}: the call at {address:#x} returns past its function's end",
              file=sys.stderr)
    return not bad


HEADERS = """\
The Function Table (interpreted .pdata section contents)
vma:\t\t\tBeginAddress\t EndAddress\t  UnwindData
 000000014003d48c:\t00000001400035b0 00000001400035bd 0000000140041778
 000000014003d498:\t00000001400035c0 00000001400035d0 0000000140041780

Dump of .xdata
"""

# A marker whose call is its last instruction, then a function whose call is
# followed by a trap.
DISASSEMBLY_BAD = """\
00000001400035b0 <marker>:
   1400035b0:\tsub    $0x28,%rsp
   1400035bb:\tcall   *%rax
   1400035bd:\tnop
00000001400035c0 <other>:
   1400035c0:\tcall   1400035b0 <marker>
   1400035c5:\tud2
"""

DISASSEMBLY_GOOD = DISASSEMBLY_BAD.replace("1400035bd:\tnop", "1400035bb:\tnop").replace(
    "1400035bb:\tcall", "1400035b8:\tcall")


def self_test():
    ranges = function_ranges(HEADERS)
    assert ranges == [(0x1400035b0, 0x1400035bd), (0x1400035c0, 0x1400035d0)], ranges
    assert calls_returning_outside(DISASSEMBLY_BAD, ranges) == [0x1400035bb]
    assert calls_returning_outside(DISASSEMBLY_GOOD, ranges) == []
    # A call outside every function (no table entry) is not ours to judge.
    assert calls_returning_outside("   140000000:\tcall   1400035b0\n   140000005:\tret\n",
                                   ranges) == []
    return True


def main(arguments):
    if arguments == ["--self-test"]:
        return 0 if self_test() else 1
    if len(arguments) < 3 or arguments[0] != "--objdump":
        print(__doc__, file=sys.stderr)
        return 2
    objdump = arguments[1]
    results = [check(objdump, program) for program in arguments[2:]]
    return 0 if all(results) else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
