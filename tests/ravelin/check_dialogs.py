#!/usr/bin/env python3
"""Checks Ravelin's dialog templates and strings as the built program carries them.

    check_dialogs.py Ravelin.exe

Decodes dialog templates 102 (the main dialog) and 100 (the About box) and the string table
entries 101 to 105 from the program's resources, and compares every field with what the
program's windows must look like: styles, extended style, font, size, caption, and each
control's id, class, text, position, size and style, in tab order. Reads the PE file itself,
so it runs where Wine does not. Exit status 0 when everything matches, 1 otherwise.
"""

import struct
import sys

RT_STRING = 6
RT_DIALOG = 5

# Window and control styles.
WS_POPUP, WS_CHILD, WS_VISIBLE = 0x80000000, 0x40000000, 0x10000000
WS_CAPTION, WS_BORDER, WS_SYSMENU = 0x00C00000, 0x00800000, 0x00080000
WS_VSCROLL, WS_GROUP, WS_TABSTOP, WS_MINIMIZEBOX = 0x00200000, 0x00020000, 0x00010000, 0x00020000
DS_SETFONT, DS_MODALFRAME = 0x40, 0x80
WS_EX_TOOLWINDOW, WS_EX_APPWINDOW = 0x80, 0x40000
SS_LEFT, SS_ICON, SS_NOPREFIX, SS_SUNKEN = 0x0, 0x3, 0x80, 0x1000
CBS_DROPDOWNLIST, CBS_SORT = 0x3, 0x100
ES_AUTOHSCROLL = 0x80
BS_PUSHBUTTON, BS_DEFPUSHBUTTON = 0x0, 0x1

# The predefined control classes, as templates name them by number.
CLASS_ORDINALS = {0x80: "button", 0x81: "edit", 0x82: "static", 0x83: "listbox",
                  0x84: "scrollbar", 0x85: "combobox"}

CHILD = WS_CHILD | WS_VISIBLE

MAIN_DIALOG = {
    "style": DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU
             | WS_MINIMIZEBOX,
    "exstyle": WS_EX_APPWINDOW,
    "size": (242, 71),
    "caption": "Ravelin",
    "font": (8, "MS Sans Serif"),
    "controls": [
        # id, class, text, (x, y, cx, cy), style
        (-1, "static", "&Source Drive:", (7, 7, 44, 8), CHILD | WS_GROUP | SS_LEFT),
        (1000, "combobox", "", (7, 17, 48, 60),
         CHILD | CBS_DROPDOWNLIST | CBS_SORT | WS_VSCROLL | WS_TABSTOP),
        (-1, "static", "&Output Filename:", (75, 7, 54, 8), CHILD | WS_GROUP | SS_LEFT),
        (1001, "edit", "", (75, 17, 160, 12), CHILD | WS_BORDER | ES_AUTOHSCROLL | WS_TABSTOP),
        # Hidden at start: no WS_VISIBLE.
        (1004, "msctls_progress32", "Progress1", (7, 35, 228, 10), WS_CHILD | WS_BORDER),
        (1002, "button", "&Rip", (130, 50, 50, 14), CHILD | BS_PUSHBUTTON | WS_TABSTOP),
        (1003, "button", "Close", (185, 50, 50, 14), CHILD | BS_PUSHBUTTON | WS_TABSTOP),
    ],
}

ABOUT_BOX = {
    "style": DS_MODALFRAME | DS_SETFONT | WS_POPUP | WS_CAPTION | WS_SYSMENU,
    "exstyle": WS_EX_TOOLWINDOW,
    "size": (212, 52),
    "caption": "About Ravelin",
    "font": (8, "MS Sans Serif"),
    "controls": [
        (-1, "static", 128, (10, 10, 20, 20), CHILD | SS_ICON | SS_SUNKEN),
        (-1, "static", "Ravelin version 1.2\nCD and DVD image ripper", (40, 10, 125, 20),
         CHILD | SS_LEFT | SS_NOPREFIX),
        (1005, "static", "https://ravelin.example.org/", (40, 35, 125, 8),
         CHILD | WS_GROUP | SS_LEFT),
        (1, "button", "OK", (175, 10, 30, 14), CHILD | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP),
    ],
}

STRINGS = {
    101: "&About Ravelin...",
    102: "Ravelin",
    103: "No CD/DVD drive was detected.",
    104: "The output file name is not valid.",
    105: "The image file could not be written completely.",
}


class PeResources:
    """The resource tree of a PE file: data by numbered type and name (first language)."""

    def __init__(self, data):
        self.data = data
        (pe,) = struct.unpack_from("<I", data, 0x3C)
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        coff = pe + 4
        _, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, coff)
        optional = coff + 20
        (magic,) = struct.unpack_from("<H", data, optional)
        directories = optional + (96 if magic == 0x10B else 112)
        self.rva, _ = struct.unpack_from("<II", data, directories + 8 * 2)
        table = optional + optional_size
        self.sections = [struct.unpack_from("<IIII", data, table + 40 * i + 8)
                         for i in range(section_count)]
        self.base = self.offset(self.rva)

    def offset(self, rva):
        for virtual_size, virtual_address, raw_size, raw_pointer in self.sections:
            if virtual_address <= rva < virtual_address + max(virtual_size, raw_size):
                return raw_pointer + rva - virtual_address
        raise ValueError("RVA 0x%x is in no section" % rva)

    def entries(self, directory):
        named, numbered = struct.unpack_from("<HH", self.data, self.base + directory + 12)
        for i in range(named + numbered):
            yield struct.unpack_from("<II", self.data, self.base + directory + 16 + 8 * i)

    def find(self, resource_type, name):
        for type_id, type_dir in self.entries(0):
            if type_id != resource_type:
                continue
            for name_id, name_dir in self.entries(type_dir & 0x7FFFFFFF):
                if name_id != name:
                    continue
                for _, leaf in self.entries(name_dir & 0x7FFFFFFF):
                    rva, size = struct.unpack_from("<II", self.data, self.base + leaf)
                    start = self.offset(rva)
                    return self.data[start:start + size]
        return None


class Reader:
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


def decode_dialog(data):
    r = Reader(data)
    version, signature = r.take("HH")
    if (version, signature) != (1, 0xFFFF):
        raise ValueError("not an extended dialog template")
    dialog = {}
    _, dialog["exstyle"], dialog["style"], count = r.take("IIIH")
    x, y, cx, cy = r.take("hhhh")
    dialog["size"] = (cx, cy)
    dialog["menu"], dialog["class"] = r.name_or_ordinal(), r.name_or_ordinal()
    dialog["caption"] = r.text()
    if dialog["style"] & DS_SETFONT:
        points, _, _, _ = r.take("HHBB")
        dialog["font"] = (points, r.text())
    controls = []
    for _ in range(count):
        r.align()
        _, exstyle, style = r.take("III")
        position = r.take("hhhh")
        control_id = r.take("i")
        control_class = r.name_or_ordinal()
        if isinstance(control_class, int):
            control_class = CLASS_ORDINALS.get(control_class, control_class)
        text = r.name_or_ordinal()
        extra = r.take("H")
        r.at += extra
        controls.append((control_id, control_class.lower(), text, tuple(position), style,
                         exstyle))
    dialog["controls"] = controls
    return dialog


def compare_dialog(name, dialog, expected):
    failures = []
    for field in ("style", "exstyle", "size", "caption", "font"):
        if dialog.get(field) != expected[field]:
            failures.append("%s %s: %r, expected %r" % (name, field, dialog.get(field),
                                                        expected[field]))
    got, want = dialog["controls"], expected["controls"]
    if len(got) != len(want):
        failures.append("%s has %d controls, expected %d" % (name, len(got), len(want)))
    for index, (control, wanted) in enumerate(zip(got, want)):
        control_id, control_class, text, position, style, exstyle = control
        if (control_id, control_class, text, position, style) != wanted or exstyle != 0:
            failures.append("%s control %d: id %d, class %r, text %r, at %r, style 0x%08x, "
                            "exstyle 0x%x; expected id %d, class %r, text %r, at %r, "
                            "style 0x%08x" % ((name, index, control_id, control_class, text,
                                               position, style, exstyle) + wanted))
    return failures


def string_table(resources, string_id):
    block = resources.find(RT_STRING, (string_id >> 4) + 1)
    if block is None:
        return None
    r = Reader(block)
    for index in range(16):
        length = r.take("H")
        value = block[r.at:r.at + 2 * length].decode("utf-16-le")
        r.at += 2 * length
        if index == string_id & 15:
            return value
    return None


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with open(sys.argv[1], "rb") as f:
        resources = PeResources(f.read())
    failures = []
    for name, template_id, expected in (("dialog 102", 102, MAIN_DIALOG),
                                        ("dialog 100", 100, ABOUT_BOX)):
        data = resources.find(RT_DIALOG, template_id)
        if data is None:
            failures.append("%s is missing" % name)
            continue
        failures += compare_dialog(name, decode_dialog(data), expected)
    for string_id, text in STRINGS.items():
        value = string_table(resources, string_id)
        if value != text:
            failures.append("string %d: %r, expected %r" % (string_id, value, text))
    for failure in failures:
        print("MISMATCH: " + failure)
    if not failures:
        print("%s: dialogs 102 and 100 and strings 101 to 105 match" % sys.argv[1])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
