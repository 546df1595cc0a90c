#!/usr/bin/env python3
"""Checks the release zip: exactly the expected files, digests that match, 32-bit programs
without debug information, of at most 400 KiB, whose manifests ask for the execution level each
needs and whose version resources are the versions the guide gives, and a driver for each
width of Windows built for that machine, with a SHA-1 signature and a nested SHA-256 one that
verify against the shipped certificate, a base relocation table and a right checksum. No file
has a section that is both writable and executable.

    check_package.py ZIP
Exit status 0 when the package is sound; one line per problem otherwise.
"""
import hashlib
import os
import re
import ssl
import struct
import subprocess
import sys
import tempfile
import zipfile

TESTS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")
sys.path.insert(0, os.path.join(TESTS, "pe"))
sys.path.insert(0, os.path.join(TESTS, "manifest"))
from check_manifests import manifest_architectures, parse, settings_failures  # noqa: E402
from pe_resources import RT_MANIFEST, RT_VERSION, PeError, PeImage  # noqa: E402

I386 = 0x014C
AMD64 = 0x8664
# Each Windows file of the package and the machine it must be built for.
MACHINES = {"Ravelin.exe": I386, "Tolvane.exe": I386, "test-driver/x86/kelmor.sys": I386,
            "test-driver/x64/kelmor.sys": AMD64}
CERTIFICATE = "test-driver/kelmor-test.cer"
EXPECTED = set(MACHINES) | {"GUIDE.txt", "SHA256SUMS", CERTIFICATE}
BASE_RELOCATION_DIRECTORY = 5
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
# Tolvane manages a driver service and writes under HKEY_LOCAL_MACHINE: it asks for
# elevation. Ravelin runs as its invoker, so that no image is redirected to the VirtualStore.
LEVELS = {"Ravelin.exe": "asInvoker", "Tolvane.exe": "requireAdministrator"}
MAX_PROGRAM_SIZE = 400 * 1024
FIXED_FILE_INFO_SIGNATURE = 0xFEEF04BD


def file_version(image):
    """The FILEVERSION of the version resource, as "a.b.c.d"."""
    for data in image.resources(RT_VERSION):
        at = data.find(struct.pack("<I", FIXED_FILE_INFO_SIGNATURE))
        if at >= 0:
            ms, ls = struct.unpack_from("<II", data, at + 8)
            return "%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
    return None


def debug_sections(image):
    """The names of the sections that hold debug information (the link to a separate debug
    file, .gnu_debuglink, is not one). A long name left without its string table counts too."""
    return [name for name in image.section_names
            if name.startswith(".debug") or name.startswith("/") or name == ".stab"]


def signature_problems(name, data, certificate):
    """Both signatures of a driver, verified by osslsigncode against the certificate alone."""
    with tempfile.TemporaryDirectory() as folder:
        driver, ca = os.path.join(folder, "kelmor.sys"), os.path.join(folder, "ca.pem")
        with open(driver, "wb") as f:
            f.write(data)
        with open(ca, "w") as f:
            f.write(ssl.DER_cert_to_PEM_cert(certificate))
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", ca, "-in", driver],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    # One block per signature: its digest, whether that digest matches the driver's bytes, and
    # whether the signature verifies against the certificate (or the error that says why not).
    blocks = re.split(r"^Signature Index: \d+.*$", result.stdout, flags=re.MULTILINE)[1:]
    if not blocks:
        return ["%s is not signed: osslsigncode found no signature" % name]
    found, digests = [], []
    for index, block in enumerate(blocks):
        digest = re.search(r"^Message digest algorithm\s*:\s*(\S+)", block, re.MULTILINE)
        digests.append(digest.group(1) if digest else "an unknown digest")
        if "MISMATCH" in block:
            why = "its digest does not match the driver's bytes"
        elif re.search(r"^Signature verification: ok", block, re.MULTILINE):
            continue
        else:
            error = re.search(r"Error: (.+)", block)
            why = error.group(1).strip() if error else "osslsigncode gave no reason"
        found.append("%s: its %s signature (%s) does not verify against %s: %s"
                     % (name, digests[-1], "primary" if index == 0 else "nested", CERTIFICATE,
                        why))
    if digests != ["SHA1", "SHA256"]:
        found.append("%s is signed with %s; expected SHA1 with a nested SHA256 signature"
                      % (name, ", ".join(digests)))
    if result.returncode != 0 and not found:
        found.append("%s: osslsigncode refused its signatures: %s"
                     % (name, result.stdout.strip().splitlines()[-1]))
    return found


def certificate_problems(certificate):
    """The test certificate signs itself with SHA-1 (a Windows 7 without the SHA-2 update
    refuses a driver whose signing certificate is SHA-256-signed), and a CA may sign
    certificates."""
    result = subprocess.run(["openssl", "x509", "-inform", "DER", "-noout", "-text"],
                            input=certificate, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    text = result.stdout.decode("utf-8", "replace")
    if result.returncode != 0:
        return ["%s is no certificate: %s" % (CERTIFICATE, text.strip())]
    found = []
    algorithm = re.search(r"Signature Algorithm: (\S+)", text)
    if not algorithm or algorithm.group(1) != "sha1WithRSAEncryption":
        found.append("%s is signed with %s, not sha1WithRSAEncryption"
                     % (CERTIFICATE, algorithm.group(1) if algorithm else "nothing known"))
    usage = re.search(r"X509v3 Key Usage:.*\n\s*(.*)", text)
    if "CA:TRUE" in text and (not usage or "Certificate Sign" not in usage.group(1)):
        found.append("%s is a CA without keyCertSign in its key usage" % CERTIFICATE)
    return found


def driver_problems(name, image, certificate):
    found = []
    if image.directory(BASE_RELOCATION_DIRECTORY)[1] == 0:
        found.append("%s has no base relocation table" % name)
    if image.stated_checksum() != image.computed_checksum():
        found.append("%s states checksum 0x%08x, its bytes give 0x%08x"
                     % (name, image.stated_checksum(), image.computed_checksum()))
    return found + signature_problems(name, image.data, certificate)


def manifest_problems(name, image):
    manifests = image.resources(RT_MANIFEST)
    if len(manifests) != 1:
        return ["%s carries %d manifests, expected one" % (name, len(manifests))]
    root = parse(manifests[0])
    found = ["%s: %s" % (name, failure) for failure in settings_failures(root, LEVELS[name])]
    for role, identity, architecture in manifest_architectures(root):
        if architecture not in (None, "*", "x86"):
            found.append("%s: the %s %s asks for processorArchitecture %s"
                         % (name, role, identity, architecture))
    return found


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
    found += certificate_problems(files[CERTIFICATE])
    guide = files["GUIDE.txt"].decode("utf-8")
    for name, machine in sorted(MACHINES.items()):
        try:
            image = PeImage(files[name])
        except (PeError, struct.error, ValueError) as error:
            found.append("%s is not a Windows program: %s" % (name, error))
            continue
        if image.machine != machine:
            found.append("%s is built for machine 0x%04x, not 0x%04x (%s)"
                         % (name, image.machine, machine, "x86" if machine == I386 else "x64"))
        if debug_sections(image):
            found.append("%s carries debug sections: %s" % (name, " ".join(debug_sections(image))))
        for section, flags in zip(image.section_names, image.section_flags):
            if flags & SECTION_EXECUTE and flags & SECTION_WRITE:
                found.append("%s: section %s is writable and executable" % (name, section))
        if not name.endswith(".exe"):
            found += driver_problems(name, image, files[CERTIFICATE])
            continue
        if len(files[name]) > MAX_PROGRAM_SIZE:
            found.append("%s is %d bytes, over %d" % (name, len(files[name]), MAX_PROGRAM_SIZE))
        try:
            found += manifest_problems(name, image)
        except (PeError, struct.error, ValueError, SyntaxError) as error:
            found.append("%s: the manifest cannot be read: %s" % (name, error))
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
