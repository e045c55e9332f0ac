#!/usr/bin/env python3
"""Writes engine/name_upper_table.inc: the simple Unicode upper-case mapping of
each UTF-16 code unit that has one, as NTFS compares names. Run from the tree's
root: scripts/make_upper_table.py > engine/name_upper_table.inc"""
import sys
import unicodedata

rows = []
for cp in range(0x10000):
    if 0xD800 <= cp <= 0xDFFF:
        continue
    up = chr(cp).upper()
    # str.upper gives the full mapping; a code unit whose upper case takes
    # several characters (U+00DF) has no simple mapping and stays itself.
    if len(up) == 1 and ord(up) != cp and ord(up) < 0x10000:
        rows.append((cp, ord(up)))

out = sys.stdout
out.write("// Made by scripts/make_upper_table.py from Unicode %s; do not edit.\n"
          % unicodedata.unidata_version)
for lo, up in rows:
    out.write("{0x%04X, 0x%04X},\n" % (lo, up))
