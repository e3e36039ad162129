#!/usr/bin/env python3
"""Checks the built executable's image as a security review reads it: a 32-bit GUI exe with
ASLR, DEP and NO_SEH on, relocations to move it, no section both writable and executable,
no code that registers a frame handler (a write to fs:[0]), a header that names the oldest
Windows the tool supports, at most 320 KiB, and imports from system DLLs only, so nothing
needs to ship beside it. Every imported function must be on the reviewed list
image_imports.txt beside this script, with an oldest Windows no newer than MIN_WINDOWS; the
msvcrt.dll functions, for which Microsoft publishes no oldest Windows, pass on the list by
name alone. SetDefaultDllDirectories must never be a static import, list or not.

Usage: check_image.py OBJDUMP EXE MIN_WINDOWS (MIN_WINDOWS as major.minor, e.g. 6.1)"""
import os
import re
import struct
import subprocess
import sys

SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "shell32.dll",
               "msvcrt.dll"}
MAX_SIZE = 320 * 1024
IMPORT_LIST = os.path.join(os.path.dirname(os.path.abspath(__file__)), "image_imports.txt")
# The C runtime's functions have no published oldest Windows; only its lines may say so.
NO_PUBLISHED_MINIMUM, CRT_DLL = "none", "msvcrt.dll"

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
DYNAMIC_BASE, NX_COMPAT, NO_SEH = 0x0040, 0x0100, 0x0400
SCN_CNT_CODE, SCN_MEM_EXECUTE, SCN_MEM_WRITE = 0x00000020, 0x20000000, 0x80000000
BASE_RELOCATION_DIRECTORY = 5


class Image:
    """The few header fields the checks need, read straight from a PE32 file."""

    def __init__(self, data):
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE image")
        (_, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        (self.magic,) = struct.unpack_from("<H", data, optional)
        (self.os_version_major, self.os_version_minor, _, _, self.subsystem_version_major,
         self.subsystem_version_minor) = struct.unpack_from("<6H", data, optional + 40)
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        # PE32+ (64-bit) has no BaseOfData and 8-byte sizes: its directories start later.
        count = optional + (108 if self.magic == 0x20B else 92)
        (directories,) = struct.unpack_from("<I", data, count)
        self.directories = [struct.unpack_from("<II", data, count + 4 + 8 * i)
                            for i in range(directories)]
        self.sections = []
        for i in range(sections):
            header = optional + optional_size + 40 * i
            name = data[header:header + 8].rstrip(b"\0").decode("ascii", "replace")
            (flags,) = struct.unpack_from("<I", data, header + 36)
            self.sections.append((name, flags))


def read_import_list(path):
    """{(dll in lower case, function): oldest Windows as (major, minor), or None where
    Microsoft publishes none} from the reviewed list; a malformed line is an error."""
    listed = {}
    with open(path, encoding="utf-8") as file:
        for number, line in enumerate(file, 1):
            fields = line.split("#", 1)[0].split()
            if not fields:
                continue
            where = f"{path}:{number}"
            if len(fields) != 4:
                raise ValueError(f"{where}: expected DLL, function, oldest Windows, page")
            dll, function, oldest, page = fields
            dll = dll.lower()
            version = re.fullmatch(r"(\d+)\.(\d+)", oldest)
            if version:
                version = (int(version.group(1)), int(version.group(2)))
            elif not (oldest == NO_PUBLISHED_MINIMUM and dll == CRT_DLL):
                raise ValueError(f"{where}: oldest Windows {oldest!r} is not major.minor")
            if not page.startswith("https://learn.microsoft.com/"):
                raise ValueError(f"{where}: {page!r} is not a Microsoft page")
            if (dll, function) in listed:
                raise ValueError(f"{where}: {function} ({dll}) is listed twice")
            listed[(dll, function)] = version
    return listed


IMPORT_ENTRY = re.compile(r"^\t[0-9a-f]+\s+(\d+)\s+(\S+)\s*$")


def imported_functions(headers):
    """(DLL, function) for each import in `objdump -p` output, and the lines of a DLL's
    import table that are not an import as expected. objdump names an import by ordinal
    <none>; the function is then "ordinal N"."""
    found, unread, dll = [], [], None
    for line in headers.splitlines():
        if "DLL Name:" in line:
            dll = line.split(":", 1)[1].strip()
        elif not line.strip():
            dll = None
        elif dll and not line.strip().startswith("vma:"):
            match = IMPORT_ENTRY.match(line)
            if not match:
                unread.append(line.strip())
                continue
            name = match.group(2)
            found.append((dll, name if name != "<none>" else f"ordinal {match.group(1)}"))
    return found, unread


# Mnemonics that never write their memory operand, and those that write it in either place.
READS_ONLY = {"cmp", "test", "push", "call", "jmp", "lcall", "ljmp", "bt", "mul", "imul",
              "div", "idiv", "nop", "lods", "outs", "cmps", "scas", "clflush", "lgdt", "lidt",
              "lldt", "ltr", "lmsw", "verr", "verw", "bound", "ptest", "comiss", "ucomiss",
              "comisd", "ucomisd"}
WRITES_ANY = {"xchg", "xadd", "cmpxchg"}
# x87 instructions read memory, except the stores.
FPU_STORES = ("fst", "fist", "fbstp", "fnst", "fsave", "fnsave", "fxsave")
PREFIXES = {"lock", "rep", "repz", "repe", "repnz", "repne", "data16", "data32", "addr16",
            "addr32", "cs", "ds", "es", "fs", "gs", "ss", "notrack", "bnd"}
INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\s+(.*)$")


def base_mnemonic(mnemonic, known):
    """`movl` -> `mov` where the bare name is known; AT&T adds an operand size suffix."""
    if mnemonic in known:
        return mnemonic
    if mnemonic[-1:] in "bwlq" and mnemonic[:-1] in known:
        return mnemonic[:-1]
    return mnemonic


def operands(text):
    """Splits an AT&T operand list at the commas outside parentheses."""
    parts, depth, current = [], 0, ""
    for char in text:
        depth += (char == "(") - (char == ")")
        if char == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += char
    if current.strip():
        parts.append(current.strip())
    return parts


def may_be_fs_zero(operand):
    """True for %fs:0 and for any %fs: address held in a register, which may be 0."""
    if not operand.startswith("%fs:"):
        return False
    address = operand[len("%fs:"):]
    if "(" in address:
        return True
    try:
        return int(address, 0) == 0
    except ValueError:
        return True


def fs_zero_writes(disassembly):
    """Lines of `objdump -d --no-show-raw-insn` output whose instruction may write fs:[0],
    the head of the thread's frame-handler list, the way compiled x86 code registers a
    frame handler. A store through the thread block's own address (read from fs:[0x18])
    is not seen here."""
    found = []
    for line in disassembly.splitlines():
        match = INSTRUCTION.match(line)
        if not match or "%fs:" not in match.group(2):
            continue
        text = re.sub(r"<[^>]*>", "", match.group(2).split("#", 1)[0]).strip()
        words = text.split(None, 1)
        while words and words[0] in PREFIXES:
            words = words[1].split(None, 1) if len(words) > 1 else []
        if not words:
            continue
        mnemonic, arguments = words[0], operands(words[1]) if len(words) > 1 else []
        written = arguments[-1:]
        if base_mnemonic(mnemonic, WRITES_ANY) in WRITES_ANY:
            written = arguments
        elif base_mnemonic(mnemonic, READS_ONLY) in READS_ONLY or \
                mnemonic.startswith("prefetch") or \
                (mnemonic.startswith("f") and not mnemonic.startswith(FPU_STORES)):
            written = []
        if any(may_be_fs_zero(argument) for argument in written):
            found.append(line.strip())
    return found


def main(objdump, exe, min_windows):
    headers = subprocess.run([objdump, "-p", exe], check=True, capture_output=True,
                             text=True).stdout
    with open(exe, "rb") as file:
        image = Image(file.read())
    failures = []
    checks = 0

    def expect(condition, what):
        nonlocal checks
        checks += 1
        if not condition:
            failures.append(what)

    expect(image.magic == 0x10B, "a 32-bit (PE32) image")
    expect(image.subsystem == 2, f"the Windows GUI subsystem, got {image.subsystem}")
    for flag, name in ((DYNAMIC_BASE, "ASLR (DYNAMIC_BASE)"), (NX_COMPAT, "DEP (NX_COMPAT)"),
                       (NO_SEH, "no frame handlers (NO_SEH)")):
        expect(image.dll_characteristics & flag,
               f"{name}, DllCharacteristics 0x{image.dll_characteristics:04x}")
    relocations = image.directories[BASE_RELOCATION_DIRECTORY] \
        if len(image.directories) > BASE_RELOCATION_DIRECTORY else (0, 0)
    # One block is an 8-byte header and at least one entry.
    expect(not image.characteristics & IMAGE_FILE_RELOCS_STRIPPED and relocations[1] > 8,
           f"a relocation table for ASLR, got {relocations[1]} bytes, "
           f"characteristics 0x{image.characteristics:04x}")
    writable_code = [name for name, flags in image.sections
                     if flags & (SCN_MEM_EXECUTE | SCN_CNT_CODE) and flags & SCN_MEM_WRITE]
    expect(not writable_code, f"no section both writable and executable, got {writable_code}")
    disassembly = subprocess.run([objdump, "-d", "-w", "--no-show-raw-insn", exe], check=True,
                                 capture_output=True, text=True).stdout
    writes = fs_zero_writes(disassembly)
    expect(not writes, "no instruction writing fs:[0], got:\n  " + "\n  ".join(writes))
    wanted = tuple(int(part) for part in min_windows.split("."))
    for what, version in (("subsystem", (image.subsystem_version_major,
                                         image.subsystem_version_minor)),
                          ("operating system", (image.os_version_major,
                                                image.os_version_minor))):
        # Exactly: the subsystem version is "the minimum version of the subsystem on which the
        # generated executable file can run" (learn.microsoft.com/en-us/dotnet/visual-basic/
        # reference/command-line-compiler/subsystemversion), so a higher one would shut out the
        # oldest Windows the tool supports; that "of the required operating system"
        # (learn.microsoft.com/en-us/dotnet/api/system.reflection.portableexecutable.peheader.
        # majoroperatingsystemversion) is held to the same.
        expect(version == wanted,
               f"{what} version {min_windows}, got {version[0]}.{version[1]}")
    size = os.path.getsize(exe)
    expect(size <= MAX_SIZE, f"at most {MAX_SIZE} bytes, got {size}")

    imports = {line.split(":", 1)[1].strip().lower()
               for line in headers.splitlines() if "DLL Name:" in line}
    expect(imports and imports <= SYSTEM_DLLS, f"system DLLs only, got {sorted(imports)}")
    # Reached at run time: a Windows 7 without the update that added it must still start.
    expect("SetDefaultDllDirectories" not in headers, "no import of SetDefaultDllDirectories")

    # Windows refuses to start an image whose import it lacks, so each one is checked
    # against the oldest Windows that Microsoft documents for it.
    listed = read_import_list(IMPORT_LIST)
    functions, unread = imported_functions(headers)
    # A changed objdump layout must not leave the imports unchecked.
    empty = imports - {dll.lower() for dll, _ in functions}
    expect(functions and not empty and not unread,
           f"every import table read, got no functions for {sorted(empty)}, "
           f"lines not understood: {unread}")
    unlisted, too_new = [], []
    for dll, function in functions:
        key = (dll.lower(), function)
        if key not in listed:
            unlisted.append(f"{function} ({dll})")
        elif listed[key] and listed[key] > wanted:
            too_new.append(f"{function} ({dll}) needs {listed[key][0]}.{listed[key][1]}")
    expect(not unlisted, f"every import on the reviewed list {os.path.basename(IMPORT_LIST)}, "
                         f"not listed: {', '.join(unlisted)}")
    expect(not too_new, f"imports that Windows {min_windows} has, got: {', '.join(too_new)}")
    imported = {(dll.lower(), function) for dll, function in functions}
    stale = sorted(f"{function} ({dll})" for dll, function in listed.keys() - imported)
    if stale:
        print(f"note: listed but not imported (remove if gone for good): {', '.join(stale)}")
    unpublished = sum(listed.get(key, 0) is None for key in imported)

    for failure in failures:
        print(f"FAIL: expected {failure}")
    print(f"image checks: {checks - len(failures)} passed, {len(failures)} failed "
          f"({size} bytes, subsystem {image.subsystem_version_major}."
          f"{image.subsystem_version_minor}, DllCharacteristics "
          f"0x{image.dll_characteristics:04x}; {len(functions)} imports, {unpublished} listed "
          f"with no published oldest Windows)")
    return 1 if failures else 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
