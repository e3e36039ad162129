#!/usr/bin/env python3
"""Checks under Wine's +relay debug channel that the tool restricts the DLL search path
before anything else it does: SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32),
reached at run time, succeeds, and no call of the program's own code into another system
DLL, and no DLL load, comes before it.

Usage: check_dll_search.py OBJDUMP TOOL_EXE [WINE]   (WINEPREFIX and DISPLAY set by the caller;
       WINE is the loader for the image's kind, `wine` by default)
"""
import os
import re
import subprocess
import sys

LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x800
# The C runtime's start-up code calls kernel32 and msvcrt; anything else comes from the
# program itself and must wait.
EARLY_MODULES = {"kernel32", "kernelbase", "ntdll", "msvcrt"}
CALL = re.compile(r"^([0-9a-f]+):([0-9a-f]+):Call ([\w.-]+)\.(\w+)\((.*)\) ret=([0-9a-f]+)$")


def image_range(objdump, exe):
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    fields = dict(re.findall(r"^(ImageBase|SizeOfImage)\s+([0-9a-fA-F]+)$", headers, re.M))
    base = int(fields["ImageBase"], 16)
    return base, base + int(fields["SizeOfImage"], 16)


def main(objdump, exe, wine="wine"):
    failures = []
    low, high = image_range(objdump, exe)

    env = dict(os.environ, WINEDEBUG="+relay,+pid")
    # No arguments: the tool writes nothing and closes.
    run = subprocess.run([wine, exe], env=env, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, errors="replace", timeout=120)
    calls = []  # (process, module, function, arguments) of calls made from the image
    for line in run.stderr.splitlines():
        match = CALL.match(line)
        if match and low <= int(match.group(6), 16) < high:
            process, _, module, function, arguments, _ = match.groups()
            calls.append((process, module.lower(), function, arguments))

    first = next((i for i, call in enumerate(calls)
                  if call[2] == "SetDefaultDllDirectories"), None)
    if first is None:
        failures.append("no call of SetDefaultDllDirectories from the program")
    else:
        process, _, _, arguments = calls[first]
        if int(arguments, 16) != LOAD_LIBRARY_SEARCH_SYSTEM32:
            failures.append(f"SetDefaultDllDirectories({arguments}), not the system folder")
        earlier = [f"{module}.{function}" for owner, module, function, _ in calls[:first]
                   if owner == process and (module not in EARLY_MODULES or
                                            function.startswith(("LoadLibrary", "LdrLoadDll")))]
        if earlier:
            failures.append(f"called before it: {', '.join(earlier[:5])}")
        returned = re.search(r"^%s:[0-9a-f]+:Ret  \w+\.SetDefaultDllDirectories\(\) "
                             r"retval=([0-9a-f]+)" % process, run.stderr, re.M)
        if not returned or int(returned.group(1), 16) == 0:
            failures.append("SetDefaultDllDirectories did not succeed")
    if run.returncode != 0:
        failures.append(f"exit code {run.returncode}")

    for failure in failures:
        print(f"FAIL: {failure}")
    print(f"dll search: {len(calls)} calls from the image read; "
          f"{1 if not failures else 0} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
