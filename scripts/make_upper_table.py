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
    c = chr(cp)
    # str.upper gives the full mapping; where that takes several characters
    # the simple one is the title case (U+1F80 to U+1F88), or none (U+00DF).
    up = c.upper() if len(c.upper()) == 1 else c.title()
    # Only pairs that map back: NTFS (and Wine) leave U+00B5, U+0131, U+017F,
    # final sigma and the title-case digraphs as they are.
    if len(up) == 1 and up != c and ord(up) < 0x10000 and up.lower() == c:
        rows.append((cp, ord(up)))

out = sys.stdout
out.write("// Made by scripts/make_upper_table.py from Unicode %s; do not edit.\n"
          % unicodedata.unidata_version)
for lo, up in rows:
    out.write("{0x%04X, 0x%04X},\n" % (lo, up))
