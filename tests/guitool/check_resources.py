#!/usr/bin/env python3
"""Decodes Tolvane's dialog templates and string table from the built program and checks them
against the control panel's tables: every dialog's style, size, font and caption, and every
control's id, class, text, position, size and style, in tab order; every string, whole.

    check_resources.py Tolvane.exe

Reads the PE file directly, so it runs where the program cannot (a host without 32-bit Wine).
Exit status 0 when everything matches; one line per difference otherwise.
"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "pe"))
from pe_resources import RT_DIALOG, PeImage, decode_dialog, string  # noqa: E402

WS_POPUP, WS_VISIBLE, WS_CAPTION, WS_SYSMENU = 0x80000000, 0x10000000, 0x00C00000, 0x00080000
WS_MINIMIZEBOX, WS_MAXIMIZEBOX, WS_BORDER, WS_TABSTOP = 0x00020000, 0x00010000, 0x00800000, 0x10000
WS_CHILD, WS_GROUP = 0x40000000, 0x00020000
WS_EX_APPWINDOW = 0x00040000
BS_PUSHBUTTON, BS_DEFPUSHBUTTON, BS_AUTOCHECKBOX, BS_GROUPBOX = 0, 1, 3, 7
ES_CENTER, ES_MULTILINE, ES_AUTOVSCROLL, ES_AUTOHSCROLL, ES_READONLY = 1, 4, 0x40, 0x80, 0x800
SS_SUNKEN = 0x1000
LVS_REPORT, LVS_SINGLESEL, LVS_SHOWSELALWAYS, LVS_NOSORTHEADER = 1, 4, 8, 0x8000

BUTTON, EDIT, STATIC = 0x80, 0x81, 0x82


IDC_STATIC = -1

# id, class, text, rect, style bits that must be set, style bits that must be clear
MAIN = [
    (1, BUTTON, "OK", (211, 179, 50, 14), BS_DEFPUSHBUTTON | WS_TABSTOP, 0),
    (1000, "SysListView32", "", (7, 7, 306, 83),
     LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER | WS_TABSTOP, 0),
    (IDC_STATIC, BUTTON, "Drive Geometry", (7, 101, 153, 74), BS_GROUPBOX, 0),
    (IDC_STATIC, STATIC, "Number of sectors", (15, 115, 64, 9), 0, 0),
    (IDC_STATIC, STATIC, "Sector Size", (15, 127, 64, 9), 0, 0),
    (IDC_STATIC, STATIC, "Free Clusters", (15, 139, 64, 9), 0, 0),
    (IDC_STATIC, STATIC, "Total Clusters", (15, 151, 64, 9), 0, 0),
    (1002, EDIT, "", (88, 115, 49, 12), ES_READONLY, 0),
    (1003, EDIT, "", (88, 127, 49, 12), ES_READONLY, 0),
    (1004, EDIT, "", (88, 139, 49, 12), ES_READONLY, 0),
    (1005, EDIT, "", (88, 151, 49, 12), ES_READONLY, 0),
    (1006, BUTTON, "&Add Drive", (183, 123, 50, 14), WS_TABSTOP, 0xF),
    (1007, BUTTON, "&Remove Drive", (242, 123, 50, 14), WS_TABSTOP, 0xF),
    (1008, BUTTON, "Mount", (183, 142, 50, 14), WS_TABSTOP, 0xF),
    (1009, BUTTON, "Eject", (183, 161, 109, 14), WS_TABSTOP, 0xF),
    (1010, BUTTON, "Remount", (242, 142, 50, 14), WS_TABSTOP, 0xF),
    (1011, BUTTON, "Driver Control ...", (183, 105, 109, 14), WS_TABSTOP, 0xF),
]

SERVICE = [
    (1017, EDIT, "", (7, 7, 175, 50),
     ES_MULTILINE | ES_READONLY | ES_CENTER | ES_AUTOVSCROLL | WS_BORDER, 0),
    (1012, BUTTON, "Install Driver ...", (43, 61, 51, 14), WS_TABSTOP, 0xF),
    (1015, BUTTON, "Remove Driver", (96, 61, 50, 14), WS_TABSTOP, 0xF),
    (1013, BUTTON, "Start", (43, 79, 51, 14), WS_TABSTOP, 0xF),
    (1014, BUTTON, "Stop", (96, 79, 50, 14), WS_TABSTOP, 0xF),
    (1, BUTTON, "OK", (43, 98, 103, 14), BS_DEFPUSHBUTTON | WS_TABSTOP, 0),
]

OPTIONS = [
    (1, BUTTON, "OK", (130, 59, 50, 14), BS_DEFPUSHBUTTON | WS_TABSTOP, 0),
    (2, BUTTON, "Cancel", (130, 76, 50, 14), WS_TABSTOP, 0xF),
    (1018, EDIT, "", (7, 17, 173, 14), ES_READONLY | ES_AUTOHSCROLL, 0),
    (IDC_STATIC, STATIC, "Image to be mounted", (7, 7, 173, 10), SS_SUNKEN, 0),
    (1019, BUTTON, "Suppress UDF", (7, 40, 114, 10), BS_AUTOCHECKBOX | WS_TABSTOP, 0xC),
    (1020, BUTTON, "Suppress Joliet", (7, 56, 111, 9), BS_AUTOCHECKBOX | WS_TABSTOP, 0xC),
    (1021, BUTTON, "Persistent mount", (7, 71, 111, 9), BS_AUTOCHECKBOX | WS_TABSTOP, 0xC),
]

DIALOGS = [
    # id, caption, size, extended style set, controls
    (102, "Virtual CDRom Control Panel", (320, 200), WS_EX_APPWINDOW, MAIN),
    (129, "Virtual CD-ROM Driver Control", (189, 123), 0, SERVICE),
    (130, "Special Mount Options", (187, 97), 0, OPTIONS),
]

STRINGS = {
    1: "Drive", 2: "Mapped Image", 3: "%c:", 4: "Eject Failed", 5: "Mount Failed",
    6: "Add Failed", 7: "Remove Failed", 8: "Remount Failed",
    9: "All Supported Images(*.udf; *.cdfs; *.jo; *.iso; *.rock)|*.udf; *.cdfs; *.jo; *.iso; "
       "*.rock|CDFS Images (*.cdfs)|*.cdfs|Joliet Images (*.jo)|*.jo|Rock Ridge Images (*.rock)|"
       "*.rock| UDF Images (*.udf)|*.udf|All Files (*.*)|*.*||",
    10: "No Image Mounted. Last one was - ", 11: "None",
    12: "Virtual CD-ROM Driver is already installed", 13: "Virtual CD-ROM Driver is not present",
    16: " %s : (%s)", 17: "Could not get service information",
    18: "Virtual CDROM driver is not installed",
}


def check_dialog(pe, ident, caption, size, ex_style, controls, problems):
    data = pe.resource(RT_DIALOG, ident)
    if data is None:
        problems.append("dialog %d: missing" % ident)
        return
    d = decode_dialog(data)
    where = "dialog %d" % ident

    def expect(what, got, want):
        if got != want:
            problems.append("%s: %s is %r, not %r" % (where, what, got, want))

    expect("caption", d["caption"], caption)
    expect("size", d["rect"][2:], size)
    expect("font", d["font"], (8, "MS Shell Dlg"))
    expect("title bar and system menu",
           d["style"] & (WS_POPUP | WS_CAPTION | WS_SYSMENU), WS_POPUP | WS_CAPTION | WS_SYSMENU)
    expect("minimise and maximise boxes", d["style"] & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0)
    expect("extended style", d["exstyle"] & WS_EX_APPWINDOW, ex_style)
    expect("control count", len(d["controls"]), len(controls))
    for index, (cid, klass, text, rect, must, must_not) in enumerate(controls):
        if index >= len(d["controls"]):
            break
        c = d["controls"][index]
        where = "dialog %d, control %d (%s)" % (ident, index, text or cid)
        expect("id", c["id"], cid)
        # Class names are not case-sensitive; the resource compiler may upper-case them.
        got_class = c["klass"].lower() if isinstance(c["klass"], str) else c["klass"]
        expect("class", got_class, klass.lower() if isinstance(klass, str) else klass)
        expect("text", c["text"], text)
        expect("position and size", c["rect"], rect)
        expect("style bits 0x%x" % must, c["style"] & must, must)
        if klass == BUTTON and must_not:
            expect("button type", c["style"] & 0xF, must & 0xF)
        expect("child window", c["style"] & WS_CHILD, WS_CHILD)
        expect("visible", c["style"] & WS_VISIBLE, WS_VISIBLE)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    with open(sys.argv[1], "rb") as f:
        pe = PeImage(f.read())
    problems = []
    for ident, caption, size, ex_style, controls in DIALOGS:
        check_dialog(pe, ident, caption, size, ex_style, controls, problems)
    for ident, want in sorted(STRINGS.items()):
        if string(pe, ident) != want:
            problems.append("string %d is %r, not %r" % (ident, string(pe, ident), want))
    for ident in (14, 15):
        if string(pe, ident):
            problems.append("string %d should not exist" % ident)
    for problem in problems:
        print(problem)
    if not problems:
        print("%s: %d dialogs and %d strings as they should be" % (sys.argv[1], len(DIALOGS),
                                                               len(STRINGS)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
