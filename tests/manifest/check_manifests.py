#!/usr/bin/env python3
"""Checks that every Windows program's manifest names the machine the program is built for.

    check_manifests.py [--machine x86|amd64] [--require NAME ...] PATH...

Each PATH is a program file or a directory searched for *.exe. For every program the PE header
gives the machine (i386 or x86-64) and the RT_MANIFEST resource, when there is one, is read;
every processorArchitecture in it (the program's own identity and each dependency's) must name
that machine, or "*". A 64-bit program whose manifest asks for the x86 common controls is
handed the 32-bit library by the loader and does not start.

--machine fails a program built for another machine; --require fails when the named program
(a file name such as Tolvane.exe) is missing or carries no manifest. --level NAME=LEVEL fails
when the named program asks User Account Control for another execution level, or none (which
turns file virtualization on), and when its manifest does not list every Windows version from
Vista to 11 as supported or does not declare system DPI awareness. Exit status 0 when every
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
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}": "Windows Vista",
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}


def local(tag):
    return tag.rsplit("}", 1)[-1]


def parse(manifest):
    return ElementTree.fromstring(manifest.decode("utf-8-sig").rstrip("\0"))


def manifest_architectures(root):
    """(role, name, processorArchitecture) for every assemblyIdentity of the manifest."""
    dependencies = {id(identity) for element in root.iter()
                    if local(element.tag) == "dependentAssembly"
                    for identity in element if local(identity.tag) == "assemblyIdentity"}
    return [("dependency" if id(element) in dependencies else "program",
             element.get("name", "?"), element.get("processorArchitecture"))
            for element in root.iter() if local(element.tag) == "assemblyIdentity"]


def settings_failures(root, expected_level):
    """What the manifest lacks of the execution level, the supported systems and DPI awareness."""
    failures = []
    levels = [element.get("level") for element in root.iter()
              if local(element.tag) == "requestedExecutionLevel"]
    if levels != [expected_level]:
        failures.append("MISMATCH: execution level %s, expected %s"
                        % ("/".join(map(str, levels)) or "none", expected_level))
    if any(element.get("uiAccess", "false") != "false" for element in root.iter()
           if local(element.tag) == "requestedExecutionLevel"):
        failures.append("MISMATCH: uiAccess is not false")
    listed = {element.get("Id", "").lower() for element in root.iter()
              if local(element.tag) == "supportedOS"}
    for guid, system in SUPPORTED_OS.items():
        if guid not in listed:
            failures.append("MISMATCH: %s is not listed as supported" % system)
    aware = [(element.text or "").strip().lower() for element in root.iter()
             if local(element.tag) == "dpiAware"]
    if aware != ["true"]:
        failures.append("MISMATCH: not declared DPI-aware")
    return failures


def check_program(path, expected_machine, required, expected_level):
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
        root = parse(manifest)
        if expected_level:
            failures += settings_failures(root, expected_level)
        for role, name, architecture in manifest_architectures(root):
            if architecture is None or architecture == "*":
                continue
            if architecture.lower() != machine:
                failures.append("MISMATCH: %s %s asks for processorArchitecture %s, the "
                                "program is %s" % (role, name, architecture, machine))
    summary = "%s: %s, manifest matches" % (path, machine)
    if expected_level:
        summary += ", %s, Vista to 11, DPI-aware" % expected_level
    return failures, summary


def programs_under(paths):
    for path in paths:
        if os.path.isdir(path):
            for directory, subdirectories, files in os.walk(path):
                # The Wine prefixes of the tests (each has its dosdevices folder) hold Wine's
                # own programs, of both widths in a 64-bit prefix, and CMakeFiles CMake's
                # compiler probes: none of them is ours.
                subdirectories[:] = [
                    d for d in subdirectories
                    if d != "CMakeFiles"
                    and not os.path.isdir(os.path.join(directory, d, "dosdevices"))]
                for name in sorted(files):
                    if name.lower().endswith(".exe"):
                        yield os.path.join(directory, name)
        else:
            yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--machine", choices=sorted(MACHINES.values()))
    parser.add_argument("--require", action="append", default=[])
    parser.add_argument("--level", action="append", default=[], metavar="NAME=LEVEL")
    parser.add_argument("paths", nargs="+")
    options = parser.parse_args()

    levels = {}
    for item in options.level:
        name, _, level = item.partition("=")
        levels[name.lower()] = level
    failed = False
    seen = set()
    for path in programs_under(options.paths):
        name = os.path.basename(path)
        seen.add(name.lower())
        try:
            failures, summary = check_program(path, options.machine,
                                              name.lower() in map(str.lower, options.require),
                                              levels.get(name.lower()))
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
