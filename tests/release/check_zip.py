#!/usr/bin/env python3
"""Checks a release zip as a Windows user gets it.

    check_zip.py ZIP VERSION BUILD_PATH...

The zip holds exactly the files of a release, in order; both programs carry the version
block and no link time, and name none of the BUILD_PATHs (the trees they were built in),
so that another build of the same commit can be the same to the byte; and the converter
unpacked from the zip runs under Wine and gives the version.
"""

import os
import struct
import subprocess
import sys
import tempfile
import zipfile

EXPECTED = ["Quorvel.exe", "quorvel-convert.exe", "README.txt", "LICENSE", "THIRD-PARTY-NOTICES.txt"]
PROGRAMS = EXPECTED[:2]

failures = []


def check(ok, what):
    if not ok:
        failures.append(what)


def main():
    path, version, build_paths = sys.argv[1], sys.argv[2], sys.argv[3:]
    with zipfile.ZipFile(path) as archive:
        names = archive.namelist()
        check(names == EXPECTED, f"entries {names}, expected {EXPECTED}")
        check(archive.testzip() is None, "an entry fails its CRC")
        with tempfile.TemporaryDirectory() as unpacked:
            archive.extractall(unpacked)
            for name in PROGRAMS:
                with open(os.path.join(unpacked, name), "rb") as f:
                    image = f.read()
                # The COFF header follows the "PE\0\0" that the DOS header points to.
                pe = struct.unpack_from("<I", image, 0x3C)[0]
                check(image[pe:pe + 4] == b"PE\0\0", f"{name}: not a PE file")
                check(struct.unpack_from("<I", image, pe + 8)[0] == 0, f"{name}: has a link time")
                file_version = ", ".join(version.split("."))
                check(file_version.encode("utf-16-le") in image, f"{name}: no version '{file_version}'")
                for build_path in build_paths:
                    for encoding in ("utf-8", "utf-16-le"):
                        check(build_path.encode(encoding) not in image, f"{name}: names {build_path}")
            run = subprocess.run(["wine", os.path.join(unpacked, "quorvel-convert.exe"), "--version"],
                                 stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
            check(run.returncode == 0 and run.stdout.splitlines()[:1] == [f"quorvel-convert {version}"],
                  f"quorvel-convert.exe --version: status {run.returncode}, {run.stdout!r} {run.stderr!r}")
    for failure in failures:
        print(f"{path}: {failure}")
    return 1 if failures else 0


sys.exit(main())
