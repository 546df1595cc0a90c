#!/usr/bin/env python3
"""Checks the release zip: exactly the expected files, digests that match, 32-bit programs
whose version resources are the versions the guide gives.

    check_package.py ZIP
Exit status 0 when the package is sound; one line per problem otherwise.
"""
import hashlib
import os
import re
import struct
import sys
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "pe"))
from pe_resources import RT_VERSION, PeError, PeImage  # noqa: E402

EXPECTED = {"Ravelin.exe", "Tolvane.exe", "test-driver/kelmor.sys", "GUIDE.txt", "SHA256SUMS"}
I386 = 0x014C
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def file_version(image):
    """The FILEVERSION of the version resource, as "a.b.c.d"."""
    for data in image.resources(RT_VERSION):
        at = data.find(struct.pack("<I", FIXED_FILE_INFO_SIGNATURE))
        if at >= 0:
            ms, ls = struct.unpack_from("<II", data, at + 8)
            return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return None


def problems(path):
    with zipfile.ZipFile(path) as archive:
        files = {name: archive.read(name) for name in archive.namelist()}
    found = []
    if set(files) != EXPECTED:
        found.append("members %s, expected %s" % (sorted(files), sorted(EXPECTED)))
        return found
    listed = {}
    for line in files["SHA256SUMS"].decode("ascii").splitlines():
        digest, name = line.split("  ", 1)
        listed[name] = digest
    if set(listed) != EXPECTED - {"SHA256SUMS"}:
        found.append("SHA256SUMS lists %s" % sorted(listed))
    for name, digest in listed.items():
        if name in files and hashlib.sha256(files[name]).hexdigest() != digest:
            found.append("the digest of %s does not match SHA256SUMS" % name)
    guide = files["GUIDE.txt"].decode("utf-8")
    for name in ("Ravelin.exe", "Tolvane.exe", "test-driver/kelmor.sys"):
        try:
            image = PeImage(files[name])
        except (PeError, struct.error) as error:
            found.append("%s is not a Windows program: %s" % (name, error))
            continue
        if image.machine != I386:
            found.append("%s is built for machine 0x%04x, not 32-bit x86" % (name, image.machine))
        if not name.endswith(".exe"):
            continue
        program = name[:-4]
        version = file_version(image)
        stated = re.search(r"^%s version (\S+)$" % program, guide, re.MULTILINE)
        if not version:
            found.append("%s has no version resource" % name)
        elif not stated:
            found.append("the guide gives no version of %s" % program)
        elif stated.group(1) != version:
            found.append("%s is version %s, the guide says %s" % (name, version, stated.group(1)))
    return found


def main():
    found = problems(sys.argv[1])
    for problem in found:
        print(problem)
    if not found:
        print("%s: the package is sound" % sys.argv[1])
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
