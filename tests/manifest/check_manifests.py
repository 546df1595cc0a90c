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

MACHINES = {0x014C: "x86", 0x8664: "amd64"}
RT_MANIFEST = 24
RESOURCE_DIRECTORY_INDEX = 2


class PeError(Exception):
    pass


class PeImage:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ" or len(data) < 0x40:
            raise PeError("not an MZ executable")
        (pe_offset,) = struct.unpack_from("<I", data, 0x3C)
        if data[pe_offset:pe_offset + 4] != b"PE\0\0":
            raise PeError("no PE signature")
        coff = pe_offset + 4
        self.machine, section_count, _, _, _, optional_size, _ = struct.unpack_from(
            "<HHIIIHH", data, coff)
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic == 0x10B:
            directories = optional + 96
        elif magic == 0x20B:
            directories = optional + 112
        else:
            raise PeError("unknown optional header 0x%x" % magic)
        (directory_count,) = struct.unpack_from("<I", data, directories - 4)
        if directory_count > RESOURCE_DIRECTORY_INDEX:
            self.resource_rva, self.resource_size = struct.unpack_from(
                "<II", data, directories + 8 * RESOURCE_DIRECTORY_INDEX)
        else:
            self.resource_rva = self.resource_size = 0
        self.sections = []
        table = optional + optional_size
        for i in range(section_count):
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
                "<IIII", data, table + 40 * i + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer,
                                  raw_size))

    def file_offset(self, rva):
        for virtual_address, size, raw_pointer, raw_size in self.sections:
            if virtual_address <= rva < virtual_address + size:
                if rva - virtual_address >= raw_size:
                    raise PeError("RVA 0x%x lies in uninitialised data" % rva)
                return raw_pointer + rva - virtual_address
        raise PeError("RVA 0x%x is in no section" % rva)

    def _directory_entries(self, offset):
        base = self.file_offset(self.resource_rva)
        named, numbered = struct.unpack_from("<HH", self.data, base + offset + 12)
        for i in range(named + numbered):
            name, target = struct.unpack_from("<II", self.data, base + offset + 16 + 8 * i)
            yield name, target

    def resources(self, resource_type):
        """The data of every resource of a numbered type, across all names and languages."""
        if not self.resource_rva:
            return []
        base = self.file_offset(self.resource_rva)
        found = []
        for type_id, type_target in self._directory_entries(0):
            if type_id & 0x80000000 or type_id != resource_type:
                continue
            if not type_target & 0x80000000:
                raise PeError("resource type entry is not a directory")
            for _, name_target in self._directory_entries(type_target & 0x7FFFFFFF):
                for _, language_target in self._directory_entries(name_target & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data,
                                                        base + (language_target & 0x7FFFFFFF))
                    start = self.file_offset(data_rva)
                    found.append(self.data[start:start + size])
        return found


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
