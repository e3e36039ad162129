#!/usr/bin/env python3
"""Checks that the program's own code carries stack cookies. The shipped exe is stripped, so
this reads the build's compile database and object files instead:

- every C and C++ translation unit under SRC_DIR was compiled with -fstack-protector-strong
  (or -all) as the last stack-protector option, so every function that has an array or
  takes the address of a local got a protected frame;
- every object that calls __stack_chk_fail, which is what a protected frame does, also
  reads __stack_chk_guard, and the other way round;
- at least one object does, so a build whose flag had no effect cannot pass.

Usage: check_objects.py NM COMPILE_COMMANDS_JSON SRC_DIR"""
import json
import os
import shlex
import subprocess
import sys

PROTECTING = {"-fstack-protector-strong", "-fstack-protector-all"}
STACK_PROTECTOR_OPTIONS = PROTECTING | {"-fstack-protector", "-fstack-protector-explicit",
                                        "-fno-stack-protector"}
SOURCES = (".c", ".cc", ".cpp", ".cxx")
# i686 Windows decorates C names with a leading underscore.
GUARD = {"___stack_chk_guard", "__stack_chk_guard"}
FAIL = {"___stack_chk_fail", "__stack_chk_fail"}


def symbols(nm, path):
    listing = subprocess.run([nm, path], check=True, capture_output=True, text=True).stdout
    return {line.split()[-1] for line in listing.splitlines() if line.strip()}


def main(nm, database, src_dir):
    if not os.path.isfile(database):
        print(f"FAIL: no compile database at {database} (configure with "
              "CMAKE_EXPORT_COMPILE_COMMANDS=ON, as the windows preset does)")
        return 1
    src_dir = os.path.realpath(src_dir) + os.sep
    with open(database) as file:
        entries = [entry for entry in json.load(file)
                   if os.path.realpath(entry["file"]).startswith(src_dir) and
                   entry["file"].endswith(SOURCES)]
    failures = []
    protected = 0
    for entry in entries:
        name = os.path.relpath(entry["file"], src_dir)
        arguments = shlex.split(entry["command"])
        chosen = [argument for argument in arguments if argument in STACK_PROTECTOR_OPTIONS]
        if not chosen or chosen[-1] not in PROTECTING:
            failures.append(f"{name}: last stack-protector option "
                            f"{chosen[-1] if chosen else '(none)'}, "
                            "expected -fstack-protector-strong")
        obj = os.path.join(entry["directory"], arguments[arguments.index("-o") + 1])
        if not os.path.isfile(obj):
            failures.append(f"{name}: no object at {obj}")
            continue
        found = symbols(nm, obj)
        guarded, fails = bool(found & GUARD), bool(found & FAIL)
        if guarded != fails:
            failures.append(f"{name}: {'reads' if guarded else 'does not read'} the guard "
                            f"but {'calls' if fails else 'does not call'} __stack_chk_fail")
        protected += guarded and fails
    if not entries:
        failures.append(f"no C or C++ sources under {src_dir} in {database}")
    elif protected == 0:
        failures.append("no object with a protected frame (none reads __stack_chk_guard)")

    for failure in failures:
        print(f"FAIL: {failure}")
    print(f"object checks: {len(entries)} translation units from src/, {protected} with "
          f"protected frames, {len(failures)} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
