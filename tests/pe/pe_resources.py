"""Reads the resources of a Windows program (a PE file) without running it: the machine it is
built for, resources by type and name, dialog templates and string tables. The checks of the
built programs use it, so that they run on hosts where Wine cannot run the programs.
"""

import struct

RT_DIALOG = 5
RT_STRING = 6
RT_VERSION = 16
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
        self.machine, section_count, _, symbol_table, symbol_count, optional_size, _ = (
            struct.unpack_from("<HHIIIHH", data, coff))
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, optional)
        if magic == 0x10B:
            directories = optional + 96
        elif magic == 0x20B:
            directories = optional + 112
        else:
            raise PeError("unknown optional header 0x%x" % magic)
        (directory_count,) = struct.unpack_from("<I", data, directories - 4)
        self.checksum_offset = optional + 64
        self._directories, self._directory_count = directories, directory_count
        if directory_count > RESOURCE_DIRECTORY_INDEX:
            self.resource_rva, self.resource_size = struct.unpack_from(
                "<II", data, directories + 8 * RESOURCE_DIRECTORY_INDEX)
        else:
            self.resource_rva = self.resource_size = 0
        self.sections = []
        self.section_names = []
        self.section_flags = []
        table = optional + optional_size
        # Names longer than eight bytes (".debug_info") are "/offset" into the COFF string
        # table, which follows the symbol table.
        strings = symbol_table + 18 * symbol_count if symbol_table else 0
        for i in range(section_count):
            name = data[table + 40 * i:table + 40 * i + 8].rstrip(b"\0")
            if name.startswith(b"/") and name[1:].isdigit() and strings:
                at = strings + int(name[1:])
                name = data[at:data.index(b"\0", at)]
            self.section_names.append(name.decode("latin-1"))
            virtual_size, virtual_address, raw_size, raw_pointer = struct.unpack_from(
                "<IIII", data, table + 40 * i + 8)
            self.sections.append((virtual_address, max(virtual_size, raw_size), raw_pointer,
                                  raw_size))
            self.section_flags.append(struct.unpack_from("<I", data, table + 40 * i + 36)[0])

    def directory(self, index):
        """The (rva, size) of data directory `index`; (0, 0) where the header has none."""
        if index >= self._directory_count:
            return 0, 0
        return struct.unpack_from("<II", self.data, self._directories + 8 * index)

    def stated_checksum(self):
        return struct.unpack_from("<I", self.data, self.checksum_offset)[0]

    def computed_checksum(self):
        """The image's checksum as Windows computes it: the 16-bit words of the file, the
        checksum field left out, summed with end-around carry, plus the file's length."""
        data = self.data + b"\0" * (len(self.data) % 2)
        words = list(struct.unpack("<%dH" % (len(data) // 2), data))
        words[self.checksum_offset // 2] = words[self.checksum_offset // 2 + 1] = 0
        total = sum(words)
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

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

    def resource(self, resource_type, ident):
        """The data of resource `ident` of a numbered type (its first language), or None."""
        if not self.resource_rva:
            return None
        base = self.file_offset(self.resource_rva)
        for type_id, type_target in self._directory_entries(0):
            if type_id != resource_type:
                continue
            for name_id, name_target in self._directory_entries(type_target & 0x7FFFFFFF):
                if name_id != ident:
                    continue
                for _, language_target in self._directory_entries(name_target & 0x7FFFFFFF):
                    data_rva, size = struct.unpack_from("<II", self.data,
                                                        base + (language_target & 0x7FFFFFFF))
                    start = self.file_offset(data_rva)
                    return self.data[start:start + size]
        return None


class Reader:
    """Reads little-endian fields and UTF-16 texts one after the other."""

    def __init__(self, data):
        self.data, self.at = data, 0

    def take(self, fmt):
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += struct.calcsize("<" + fmt)
        return values if len(values) > 1 else values[0]

    def text(self):
        end = self.at
        while self.data[end:end + 2] != b"\0\0":
            end += 2
        value = self.data[self.at:end].decode("utf-16-le")
        self.at = end + 2
        return value

    def name_or_ordinal(self):
        (first,) = struct.unpack_from("<H", self.data, self.at)
        if first == 0xFFFF:
            self.at += 2
            return self.take("H")
        return self.text()

    def align(self):
        self.at = (self.at + 3) & ~3


DS_SETFONT = 0x40


def decode_dialog(data):
    """An extended dialog template (DIALOGEX) as a dict: style, exstyle, rect, menu, klass,
    caption, font ((points, face) or None) and controls, each a dict of id (signed), klass (a
    predefined class's number or a class name), text (a text or a resource number), rect,
    style and exstyle."""
    r = Reader(data)
    version, signature = r.take("HH")
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    _, exstyle, style, count = r.take("IIIH")
    dialog = dict(style=style, exstyle=exstyle, rect=r.take("hhhh"), menu=r.name_or_ordinal(),
                  klass=r.name_or_ordinal(), caption=r.text(), font=None)
    if style & DS_SETFONT:
        points, _, _, _ = r.take("HHBB")
        dialog["font"] = (points, r.text())
    controls = []
    for _ in range(count):
        r.align()
        _, control_exstyle, control_style = r.take("III")
        rect = r.take("hhhh")
        control_id = r.take("i")
        klass = r.name_or_ordinal()
        text = r.name_or_ordinal()
        creation_data = r.take("H")
        r.at += creation_data
        controls.append(dict(id=control_id, klass=klass, text=text, rect=rect,
                             style=control_style, exstyle=control_exstyle))
    dialog["controls"] = controls
    return dialog


def string(image, ident):
    """String `ident` of the string table, or None when the program has none."""
    block = image.resource(RT_STRING, (ident >> 4) + 1)
    if block is None:
        return None
    r = Reader(block)
    for index in range(16):
        length = r.take("H")
        value = block[r.at:r.at + 2 * length].decode("utf-16-le")
        r.at += 2 * length
        if index == ident & 15:
            return value if length else None
    return None
