#!/usr/bin/python3
"""Reads a running program's window as a screen reader does, through AT-SPI.

Usage: accessibility_tree.py PID [MAP:ROW:COLUMN]...

Waits (up to 30 seconds) for the application of process PID to appear on the AT-SPI desktop,
then prints one line per table of its window, "table NAME ROWS COLUMNS", and one line per cell
asked for, "cell MAP:ROW:COLUMN NAME|ROW HEADER|COLUMN HEADER|DESCRIPTION" (ROW and COLUMN
count the table's rows and columns from 0; MAP is the table's name). Then it prints the whole
window outside the tables, one "walk ROLE 'NAME'" line per object, indented by depth.
"""
import sys
import time

import pyatspi


def find_application(pid, deadline):
    while time.monotonic() < deadline:
        for app in pyatspi.Registry.getDesktop(0):
            if app is not None and app.get_process_id() == pid and app.childCount > 0:
                return app
        time.sleep(0.2)
    return None


def walk(node, depth, tables, lines):
    for child in node:
        if child is None:
            continue
        lines.append("walk " + "  " * depth + f"{child.getRoleName()} {child.name!r}")
        if child.getRole() == pyatspi.ROLE_TABLE:
            tables[child.name] = child
        else:
            walk(child, depth + 1, tables, lines)


def header_name(header):
    return header.name if header is not None else "<none>"


def main():
    pid = int(sys.argv[1])
    app = find_application(pid, time.monotonic() + 30)
    if app is None:
        print(f"no application of process {pid} on the AT-SPI desktop", file=sys.stderr)
        return 1
    tables, lines = {}, []
    walk(app, 0, tables, lines)
    for name, table in tables.items():
        grid = table.queryTable()
        print(f"table {name} {grid.nRows} {grid.nColumns}")
    for asked in sys.argv[2:]:
        name, row, column = asked.rsplit(":", 2)
        row, column = int(row), int(column)
        if name not in tables:
            print(f"cell {asked} <no such table>")
            continue
        grid = tables[name].queryTable()
        cell = grid.getAccessibleAt(row, column)
        print(f"cell {asked} {cell.name}|{header_name(grid.getRowHeader(row))}|"
              f"{header_name(grid.getColumnHeader(column))}|{cell.description}")
    print("\n".join(lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
