#!/usr/bin/env python3
"""The package check against packages made wrong on purpose, from the build's own programs.

    test_check_package.py --ravelin EXE --tolvane EXE --driver-x86 SYS --driver-x64 SYS
                          --certificate CER --guide TXT --unstripped-tolvane EXE
                          --unsigned-driver SYS --work DIR
"""
import argparse
import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "package"))
from check_package import problems  # noqa: E402


def write_zip(path, files):
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files.items():
            archive.writestr(name, data)


def sums(files):
    return "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data in files.items()).encode("ascii")


def main():
    parser = argparse.ArgumentParser()
    for name in ("ravelin", "tolvane", "driver-x86", "driver-x64", "certificate", "guide",
                 "unstripped-tolvane", "unsigned-driver", "work"):
        parser.add_argument("--" + name, required=True)
    options = parser.parse_args()

    def read(path):
        with open(path, "rb") as f:
            return f.read()

    good = {"Ravelin.exe": read(options.ravelin), "Tolvane.exe": read(options.tolvane),
            "test-driver/x86/kelmor.sys": read(options.driver_x86),
            "test-driver/x64/kelmor.sys": read(options.driver_x64),
            "test-driver/kelmor-test.cer": read(options.certificate),
            "GUIDE.txt": read(options.guide)}
    guide = good["GUIDE.txt"].decode("utf-8")

    def package(change):
        files = dict(good)
        change(files)
        if "SHA256SUMS" not in files:
            files["SHA256SUMS"] = sums({k: v for k, v in files.items()})
        return files

    def swap_programs(files):
        files["Ravelin.exe"], files["Tolvane.exe"] = files["Tolvane.exe"], files["Ravelin.exe"]

    def wrong_guide_version(files):
        files["GUIDE.txt"] = guide.replace("Ravelin version 1.2.0.0",
                                           "Ravelin version 1.3.0.0").encode("utf-8")

    def tampered_after_sums(files):
        files["SHA256SUMS"] = sums(files)
        files["Tolvane.exe"] = files["Tolvane.exe"] + b"\0"

    def missing_driver(files):
        del files["test-driver/x64/kelmor.sys"]

    def same_driver_twice(files):
        files["test-driver/x64/kelmor.sys"] = files["test-driver/x86/kelmor.sys"]

    def unstripped_program(files):
        files["Tolvane.exe"] = read(options.unstripped_tolvane)

    def oversized_program(files):
        # Data appended after the last section: the program still loads, and is too large.
        files["Ravelin.exe"] += b"\0" * (400 * 1024 + 1 - len(files["Ravelin.exe"]))

    def tolvane_not_elevated(files):
        # The same length, so that the resource stays where the program says it is.
        wanted = b'level="requireAdministrator"'
        replacement = b'level="asInvoker"'.ljust(len(wanted))
        assert files["Tolvane.exe"].count(wanted) == 1
        files["Tolvane.exe"] = files["Tolvane.exe"].replace(wanted, replacement)

    def driver_changed_after_sums(files):
        files["SHA256SUMS"] = sums(files)
        files["test-driver/x64/kelmor.sys"] = files["test-driver/x64/kelmor.sys"][:-1] + b"\1"

    def extra_file(files):
        files["notes.txt"] = b"left behind"

    def unsigned_driver(files):
        files["test-driver/x86/kelmor.sys"] = read(options.unsigned_driver)

    def altered_driver(files):
        # One byte of code changed, the digests made anew: only the signature can tell.
        data = bytearray(files["test-driver/x86/kelmor.sys"])
        data[0x410] ^= 0xFF
        files["test-driver/x86/kelmor.sys"] = bytes(data)

    def another_certificate(files):
        files["test-driver/kelmor-test.cer"] = read(options.certificate)[:-40] + b"\0" * 40

    def sha256_certificate(files):
        # A certificate like the test one but signed with SHA-256, and a CA that may not sign.
        with tempfile.TemporaryDirectory() as folder:
            key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.der")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-sha256", "-nodes",
                            "-subj", "/CN=SHA-256 test", "-addext", "keyUsage=digitalSignature",
                            "-keyout", key, "-outform", "DER", "-out", cert],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            files["test-driver/kelmor-test.cer"] = read(cert)

    def writable_code(files):
        # The first section header's characteristics of the x64 driver, made writable too.
        data = bytearray(files["test-driver/x64/kelmor.sys"])
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        table = pe + 24 + struct.unpack_from("<H", data, pe + 20)[0]
        flags = struct.unpack_from("<I", data, table + 36)[0]
        struct.pack_into("<I", data, table + 36, flags | 0x80000000)
        files["test-driver/x64/kelmor.sys"] = bytes(data)

    cases = [
        ("the package as made", lambda files: None, None),
        ("programs swapped", swap_programs, "Ravelin.exe is version 1.0.0.1"),
        ("guide with another version", wrong_guide_version, "the guide says 1.3.0.0"),
        ("a program changed after the digests", tampered_after_sums,
         "the digest of Tolvane.exe does not match"),
        ("a driver changed after the digests", driver_changed_after_sums,
         "the digest of test-driver/x64/kelmor.sys does not match"),
        ("no 64-bit driver", missing_driver, "members"),
        ("the 32-bit driver in place of the 64-bit one", same_driver_twice,
         "test-driver/x64/kelmor.sys is built for machine 0x014c, not 0x8664"),
        ("a program with its debug information", unstripped_program,
         "Tolvane.exe carries debug sections: .debug_"),
        ("a program over 400 KiB", oversized_program, "Ravelin.exe is 409601 bytes, over 409600"),
        ("Tolvane without elevation", tolvane_not_elevated,
         "Tolvane.exe: MISMATCH: execution level asInvoker, expected requireAdministrator"),
        ("an extra file", extra_file, "members"),
        ("an unsigned driver", unsigned_driver,
         "test-driver/x86/kelmor.sys is not signed: osslsigncode found no signature"),
        ("a driver altered after signing", altered_driver,
         "test-driver/x86/kelmor.sys: its SHA1 signature (primary) does not verify against "
         "test-driver/kelmor-test.cer: its digest does not match the driver's bytes"),
        ("a certificate that signed nothing here", another_certificate, "does not verify"),
        ("a certificate signed with SHA-256", sha256_certificate,
         "test-driver/kelmor-test.cer is signed with sha256WithRSAEncryption, not "
         "sha1WithRSAEncryption"),
        ("a CA certificate that may not sign certificates", sha256_certificate,
         "test-driver/kelmor-test.cer is a CA without keyCertSign in its key usage"),
        ("a driver section writable and executable", writable_code,
         "test-driver/x64/kelmor.sys: section .text is writable and executable"),
    ]
    failed = False
    for index, (title, change, expected) in enumerate(cases):
        path = os.path.join(options.work, "case%d.zip" % index)
        write_zip(path, package(change))
        found = problems(path)
        if expected is None:
            ok = not found
        else:
            ok = any(expected in problem for problem in found)
        print("%s: %s%s" % ("ok" if ok else "FAILED", title,
                            "" if ok else " (the check said %s)" % found))
        failed = failed or not ok
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
