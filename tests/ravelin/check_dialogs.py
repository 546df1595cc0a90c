#!/usr/bin/env python3
"""Checks Ravelin's dialog templates and strings as the built program carries them.

    check_dialogs.py Ravelin.exe

Decodes dialog templates 102 (the main dialog) and 100 (the About box) and the string table
entries 101 to 105 from the program's resources, and compares every field with what the
program's windows must look like: styles, extended style, font, size, caption, and each
control's id, class, text, position, size and style, in tab order. Reads the PE file itself,
so it runs where Wine does not. Exit status 0 when everything matches, 1 otherwise.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pe"))
from pe_resources import RT_DIALOG, PeImage, decode_dialog, string  # noqa: E402

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


def decode(data):
    """A dialog template with each control as (id, class name, text, position, style,
    exstyle), the predefined classes named in lower case."""
    dialog = decode_dialog(data)
    dialog["size"] = tuple(dialog["rect"][2:])
    dialog["controls"] = [
        (c["id"], (CLASS_ORDINALS.get(c["klass"], c["klass"]) if isinstance(c["klass"], int)
                   else c["klass"]).lower(), c["text"], tuple(c["rect"]), c["style"],
         c["exstyle"])
        for c in dialog["controls"]]
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


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with open(sys.argv[1], "rb") as f:
        image = PeImage(f.read())
    failures = []
    for name, template_id, expected in (("dialog 102", 102, MAIN_DIALOG),
                                        ("dialog 100", 100, ABOUT_BOX)):
        data = image.resource(RT_DIALOG, template_id)
        if data is None:
            failures.append("%s is missing" % name)
            continue
        failures += compare_dialog(name, decode(data), expected)
    for string_id, text in STRINGS.items():
        value = string(image, string_id)
        if value != text:
            failures.append("string %d: %r, expected %r" % (string_id, value, text))
    for failure in failures:
        print("MISMATCH: " + failure)
    if not failures:
        print("%s: dialogs 102 and 100 and strings 101 to 105 match" % sys.argv[1])
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
