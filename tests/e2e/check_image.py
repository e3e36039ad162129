#!/usr/bin/env python3
"""Checks the built executable's image: 32-bit GUI, ASLR and DEP on, and imports from
system DLLs only, so nothing needs to ship beside it, and none that older Windows lacks."""
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
               "msvcrt.dll"}


def main(objdump, exe):
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    expect("Magic\t\t\t010b\t(PE32)" in headers, "a 32-bit (PE32) image")
    expect("(Windows GUI)" in headers, "the Windows GUI subsystem")
    expect("DYNAMIC_BASE" in headers, "ASLR (DYNAMIC_BASE)")
    expect("NX_COMPAT" in headers, "DEP (NX_COMPAT)")
    expect("Base Relocation Directory" in headers and
           "Entry 5 00000000 00000000" not in headers, "relocations for ASLR")
    imports = {line.split(":", 1)[1].strip().lower()
               for line in headers.splitlines() if "DLL Name:" in line}
    expect(imports and imports <= SYSTEM_DLLS, f"system DLLs only, got {sorted(imports)}")
    # Reached at run time: a Windows 7 without the update that added it must still start.
    expect("SetDefaultDllDirectories" not in headers, "no import of SetDefaultDllDirectories")

    for failure in failures:
        print(f"FAIL: expected {failure}")
    print(f"image checks: {7 - len(failures)} passed, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
