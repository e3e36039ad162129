#!/usr/bin/env python3
"""Checks the release package: exactly the exe, the README and SHA256SUMS; the exe is the
one built, and SHA256SUMS holds its true sum in the format `sha256sum -c` reads."""
import hashlib
import sys
import zipfile


def main(package, exe, readme):
    failures = []
    with zipfile.ZipFile(package) as archive:
        names = sorted(archive.namelist())
        expected = ["Marblefinch_associate.exe", "README.md", "SHA256SUMS"]
        if names != expected:
            failures.append(f"holds {names}, not {expected}")
        else:
            packed = archive.read("Marblefinch_associate.exe")
            with open(exe, "rb") as built:
                if packed != built.read():
                    failures.append("the packed exe is not the one built")
            with open(readme, "rb") as source:
                if archive.read("README.md") != source.read():
                    failures.append("the packed README is not the project's")
            sums = archive.read("SHA256SUMS").decode()
            line = f"{hashlib.sha256(packed).hexdigest()}  Marblefinch_associate.exe\n"
            if sums != line:
                failures.append(f"SHA256SUMS reads {sums!r}, not {line!r}")
    for failure in failures:
        print(f"FAIL: {failure}")
    print(f"package: {1 if not failures else 0} passed, {1 if failures else 0} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:4]))
