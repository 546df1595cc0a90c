#!/usr/bin/env python3
"""Makes the release zip: the two programs, the test-signed driver for 32-bit and for 64-bit
Windows with the certificate that signed them, the user guide and SHA256SUMS.

    make_package.py --ravelin EXE --tolvane EXE --driver-x86 SYS --driver-x64 SYS
                    --certificate CER --guide TXT --out ZIP
"""
import argparse
import hashlib
import os
import zipfile

# Every member gets one fixed date, so that two packages of the same files are the same zip.
FIXED_DATE = (2026, 1, 1, 0, 0, 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    for name in ("ravelin", "tolvane", "driver-x86", "driver-x64", "certificate", "guide", "out"):
        parser.add_argument("--" + name, required=True)
    options = parser.parse_args()

    members = [("Ravelin.exe", options.ravelin), ("Tolvane.exe", options.tolvane),
               ("test-driver/x86/kelmor.sys", options.driver_x86),
               ("test-driver/x64/kelmor.sys", options.driver_x64),
               ("test-driver/kelmor-test.cer", options.certificate), ("GUIDE.txt", options.guide)]
    contents = []
    for name, path in members:
        with open(path, "rb") as f:
            contents.append((name, f.read()))
    sums = "".join("%s  %s\n" % (hashlib.sha256(data).hexdigest(), name)
                   for name, data in contents)
    contents.append(("SHA256SUMS", sums.encode("ascii")))

    os.makedirs(os.path.dirname(os.path.abspath(options.out)), exist_ok=True)
    temporary = options.out + ".tmp"
    with zipfile.ZipFile(temporary, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in contents:
            info = zipfile.ZipInfo(name, FIXED_DATE)
            info.compress_type = zipfile.ZIP_DEFLATED
            info.external_attr = 0o644 << 16
            archive.writestr(info, data)
    os.replace(temporary, options.out)
    print(options.out)


if __name__ == "__main__":
    main()
