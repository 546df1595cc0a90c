#!/usr/bin/env python3
"""Test-signs the stand-in drivers for the package: a SHA-1 signature with a nested SHA-256
one, since 64-bit Vista and Windows 7 without the SHA-2 update verify only SHA-1. Windows in
test mode loads a driver test-signed by any certificate, but none that is unsigned.

    sign_drivers.py --work DIR --driver NAME=SYS [--driver NAME=SYS ...]

The certificate and key are those named by KELMOR_SIGNING_CERT and KELMOR_SIGNING_KEY (PEM
files) when both are set; otherwise a test certificate made once in DIR/certificate, whose
private key never leaves the build folder. Writes DIR/NAME/kelmor.sys for each driver and the
public certificate as DIR/kelmor-test.cer (DER, as Windows' certificate tools take it).
osslsigncode sets the image's checksum after signing; the check reads it again.
"""
import argparse
import os
import shutil
import subprocess
import sys


def run(*command):
    result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit("%s failed:\n%s" % (command[0], result.stdout))


def certificate(work):
    given = os.environ.get("KELMOR_SIGNING_CERT"), os.environ.get("KELMOR_SIGNING_KEY")
    if all(given):
        return given
    if any(given):
        sys.exit("set both KELMOR_SIGNING_CERT and KELMOR_SIGNING_KEY, or neither")
    folder = os.path.join(work, "certificate")
    cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
    # The certificate signs itself with SHA-1: a Windows 7 without the SHA-2 update refuses
    # (Code 52) a driver whose signing certificate is SHA-256-signed. It is its own root, so it
    # is a CA that may sign certificates, and it signs code. One made before this rule is made
    # again.
    if not (os.path.exists(cert) and os.path.exists(key) and signed_with_sha1(cert)):
        os.makedirs(folder, exist_ok=True)
        os.chmod(folder, 0o700)
        run("openssl", "req", "-x509", "-newkey", "rsa:3072", "-sha1", "-nodes", "-days",
            "3650", "-subj", "/CN=Kelmor test driver signing (not for release)",
            "-addext", "basicConstraints=critical,CA:TRUE",
            "-addext", "keyUsage=critical,digitalSignature,keyCertSign",
            "-addext", "extendedKeyUsage=codeSigning", "-keyout", key, "-out", cert)
    return cert, key


def signed_with_sha1(cert):
    text = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-text"],
                          stdout=subprocess.PIPE, text=True, check=True).stdout
    return "Signature Algorithm: sha1WithRSAEncryption" in text


def tell_certificate(cert):
    """Prints what names the certificate in a store: its subject and its SHA-1 thumbprint,
    which "certutil -delstore" takes."""
    subject = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-subject"],
                             stdout=subprocess.PIPE, text=True, check=True).stdout.strip()
    fingerprint = subprocess.run(["openssl", "x509", "-in", cert, "-noout", "-fingerprint",
                                  "-sha1"], stdout=subprocess.PIPE, text=True,
                                 check=True).stdout.strip()
    thumbprint = fingerprint.split("=", 1)[1].replace(":", "").lower()
    print("drivers signed by %s, thumbprint %s" % (subject, thumbprint))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--work", required=True)
    parser.add_argument("--driver", action="append", required=True)
    options = parser.parse_args()
    os.makedirs(options.work, exist_ok=True)
    cert, key = certificate(options.work)
    for entry in options.driver:
        name, source = entry.split("=", 1)
        folder = os.path.join(options.work, name)
        os.makedirs(folder, exist_ok=True)
        sha1 = os.path.join(folder, "kelmor.sha1.sys")
        signed = os.path.join(folder, "kelmor.sys")
        for path in (sha1, signed):
            if os.path.exists(path):
                os.remove(path)
        run("osslsigncode", "sign", "-certs", cert, "-key", key, "-h", "sha1", "-in", source,
            "-out", sha1)
        run("osslsigncode", "sign", "-nest", "-certs", cert, "-key", key, "-h", "sha256", "-in",
            sha1, "-out", signed)
        os.remove(sha1)
    tell_certificate(cert)
    public = os.path.join(options.work, "kelmor-test.cer")
    run("openssl", "x509", "-in", cert, "-outform", "DER", "-out", public + ".tmp")
    shutil.move(public + ".tmp", public)


if __name__ == "__main__":
    main()
