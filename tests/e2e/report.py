#!/usr/bin/env python3
"""Writes report.html for a demo folder from its steps.tsv and the step pictures.

    report.py FOLDER IMAGE SECONDS EXIT_STATUS
"""
import html
import os
import sys


def main():
    folder, image, seconds, status = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
    rows = []
    table = os.path.join(folder, "steps.tsv")
    if os.path.exists(table):
        with open(table, encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if len(fields) == 6:
                    rows.append(fields)
    failed = sum(1 for row in rows if row[4] != "ok")
    verdict = "every check passed" if status == 0 and not failed else "a check FAILED"
    out = ['<!DOCTYPE html><html><head><meta charset="utf-8"><title>Ravelin and Tolvane demo'
           '</title><style>body{font-family:sans-serif;margin:2em}td{vertical-align:top;'
           'padding:.4em;border-bottom:1px solid #ddd}.ok{color:#080}.FAILED{color:#c00;'
           'font-weight:bold}img{max-width:640px;border:1px solid #999}</style></head><body>',
           "<h1>Ravelin and Tolvane, driven as a user drives them</h1>",
           "<p>Disc image: %s. Run time: %s s. Result: <b>%s</b> (%d steps, %d failed).</p>"
           % (html.escape(image), html.escape(seconds), verdict, len(rows), failed),
           "<table><tr><th>Scenario</th><th>#</th><th>Step</th><th>Checked</th>"
           "<th>Result</th><th>Picture</th></tr>"]
    for scenario, number, title, checked, result, picture in rows:
        png = os.path.splitext(picture)[0] + ".png" if picture else ""
        cell = ('<a href="%s"><img src="%s"></a>' % (png, png)
                if png and os.path.exists(os.path.join(folder, png)) else "")
        out.append('<tr><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td class="%s">%s</td>'
                   "<td>%s</td></tr>" % (html.escape(scenario), html.escape(number),
                                         html.escape(title), html.escape(checked),
                                         html.escape(result), html.escape(result), cell))
    out.append("</table></body></html>")
    with open(os.path.join(folder, "report.html"), "w", encoding="utf-8") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main()
