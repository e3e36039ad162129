#!/usr/bin/env python3
"""The fs:[0] check of check_image.py against real machine code: each form assembled with the
cross toolchain and disassembled with its objdump, as the check sees the exe. The exe never
writes fs:[0], so without this the check could go blind (a changed objdump spelling) and
still pass.

Usage: check_image_test.py CC OBJDUMP"""
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_image import fs_zero_writes  # noqa: E402

# (instruction, writes fs:[0] or may)
FORMS = [
    ("movl %esp, %fs:0", True),               # how a frame handler is put in place
    ("movl %eax, %fs:0", True),               # the short accumulator encoding
    ("movw %ax, %fs:0", True),
    ("movl $0, %fs:0", True),
    ("popl %fs:0", True),
    ("xchgl %eax, %fs:0", True),
    ("xchgl %fs:0, %ecx", True),
    ("lock cmpxchgl %ecx, %fs:0", True),
    ("xaddl %eax, %fs:0", True),
    ("orl $1, %fs:0", True),
    ("incl %fs:0", True),
    ("movl %eax, %fs:(%ecx)", True),          # the address is in a register: may be 0
    ("movl %eax, %fs:4(%ecx)", True),
    ("movl %fs:0, %eax", False),              # reading the list is harmless
    ("pushl %fs:0", False),
    ("cmpl %eax, %fs:0", False),
    ("testl %eax, %fs:0", False),
    ("movl %fs:0x18, %eax", False),           # the thread block's own address
    ("movl %eax, %fs:0x14", False),           # another slot of the thread block
    ("movl %eax, %gs:0", False),
    ("movl %eax, 0", False),
]


def main(cc, objdump):
    with tempfile.TemporaryDirectory() as work:
        source, obj = os.path.join(work, "forms.s"), os.path.join(work, "forms.o")
        with open(source, "w") as file:
            file.write(".text\n" + "".join(f"\t{form}\n" for form, _ in FORMS))
        subprocess.run([cc, "-c", source, "-o", obj], check=True)
        disassembly = subprocess.run([objdump, "-d", "-w", "--no-show-raw-insn", obj],
                                     check=True, capture_output=True, text=True).stdout
    # The assembler pads the section with nops.
    lines = [line for line in disassembly.splitlines()
             if line[:1] == " " and ":\t" in line and line.split(":\t", 1)[1].strip() != "nop"]
    if len(lines) != len(FORMS):
        print(f"FAIL: {len(FORMS)} instructions assembled, {len(lines)} disassembled")
        return 1
    flagged = set(fs_zero_writes(disassembly))
    failures = 0
    for (form, writes), line in zip(FORMS, lines):
        if (line.strip() in flagged) != writes:
            failures += 1
            print(f"FAIL: {form!r} (objdump: {line.strip()!r}) "
                  f"{'not ' if writes else ''}taken for a write of fs:[0]")
    print(f"fs:[0] forms: {len(FORMS) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
