#!/usr/bin/env python3
"""Checks that every Windows program's manifest names the machine the program is built for.

    check_manifests.py [--machine x86|amd64] [--require NAME ...] PATH...

Each PATH is a program file or a directory searched for *.exe. For every program the PE header
gives the machine (i386 or x86-64) and the RT_MANIFEST resource, when there is one, is read;
every processorArchitecture in it (the program's own identity and each dependency's) must name
that machine, or "*". A 64-bit program whose manifest asks for the x86 common controls is
handed the 32-bit library by the loader and does not start.

--machine fails a program built for another machine; --require fails when the named program
(a file name such as Tolvane.exe) is missing or carries no manifest. Exit status 0 when every
program passes, 1 otherwise; one line per program either way.
"""

import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ElementTree

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pe"))
from pe_resources import RT_MANIFEST, PeError, PeImage  # noqa: E402

MACHINES = {0x014C: "x86", 0x8664: "amd64"}


def manifest_architectures(manifest):
    """(role, name, processorArchitecture) for every assemblyIdentity of the manifest."""
    root = ElementTree.fromstring(manifest.decode("utf-8-sig").rstrip("\0"))

    def local(tag):
        return tag.rsplit("}", 1)[-1]

    dependencies = {id(identity) for element in root.iter()
                    if local(element.tag) == "dependentAssembly"
                    for identity in element if local(identity.tag) == "assemblyIdentity"}
    return [("dependency" if id(element) in dependencies else "program",
             element.get("name", "?"), element.get("processorArchitecture"))
            for element in root.iter() if local(element.tag) == "assemblyIdentity"]


def check_program(path, expected_machine, required):
    """A list of failures of one program (empty when it passes) and a summary line."""
    with open(path, "rb") as f:
        image = PeImage(f.read())
    machine = MACHINES.get(image.machine, "0x%04x" % image.machine)
    failures = []
    if expected_machine and machine != expected_machine:
        failures.append("built for %s, this build is for %s" % (machine, expected_machine))
    manifests = image.resources(RT_MANIFEST)
    if not manifests:
        if required:
            failures.append("has no manifest")
        return failures, "%s: %s, no manifest" % (path, machine)
    for manifest in manifests:
        for role, name, architecture in manifest_architectures(manifest):
            if architecture is None or architecture == "*":
                continue
            if architecture.lower() != machine:
                failures.append("MISMATCH: %s %s asks for processorArchitecture %s, the "
                                "program is %s" % (role, name, architecture, machine))
    return failures, "%s: %s, manifest matches" % (path, machine)


def programs_under(paths):
    for path in paths:
        if os.path.isdir(path):
            for directory, subdirectories, files in os.walk(path):
                # The Wine prefix holds Wine's own programs, and CMakeFiles CMake's compiler
                # probes: neither is ours.
                subdirectories[:] = [d for d in subdirectories if d not in ("wine", "CMakeFiles")]
                for name in sorted(files):
                    if name.lower().endswith(".exe"):
                        yield os.path.join(directory, name)
        else:
            yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--machine", choices=sorted(MACHINES.values()))
    parser.add_argument("--require", action="append", default=[])
    parser.add_argument("paths", nargs="+")
    options = parser.parse_args()

    failed = False
    seen = set()
    for path in programs_under(options.paths):
        name = os.path.basename(path)
        seen.add(name.lower())
        try:
            failures, summary = check_program(path, options.machine,
                                              name.lower() in map(str.lower, options.require))
        except (PeError, struct.error, ElementTree.ParseError, UnicodeDecodeError) as error:
            failures, summary = ["cannot be read: %s" % error], path
        if failures:
            failed = True
            for failure in failures:
                print("%s: %s" % (path, failure))
        else:
            print(summary)
    for name in options.require:
        if name.lower() not in seen:
            print("%s: required program not found" % name)
            failed = True
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
