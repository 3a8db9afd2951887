#!/usr/bin/env python3
"""Writes the hostile property lists of this folder and their MANIFEST.

Each line of MANIFEST is "file outcome", the outcome being what loading the
file as a patch-data file must give:
  nothing      no dictionary (the tool writes a one-entry file)
  dictionary   a dictionary that is written back
  write-fails  a dictionary that cannot be written faithfully (the tool
               exits 1 and leaves the file alone)
Run it from this folder: python3 make_hostile.py
"""
import struct

files = []


def add(name, outcome, data):
    with open(name, 'wb') as f:
        f.write(data)
    files.append((name, outcome))


def bplist(objects, top, offset_size=None, ref_size=None, num=None, table=None, extra=b''):
    """objects: list of bytes, or (head, [refs]) for containers."""
    n = len(objects)
    ref_size = ref_size or (1 if n < 256 else 2 if n < 65536 else 4)
    body = b'bplist00'
    offsets = []
    for o in objects:
        offsets.append(len(body))
        if isinstance(o, tuple):
            head, refs = o
            body += head + b''.join(r.to_bytes(ref_size, 'big') for r in refs)
        else:
            body += o
    table_at = len(body)
    offset_size = offset_size or (1 if table_at < 256 else 2 if table_at < 65536 else 4)
    body += b''.join(off.to_bytes(offset_size, 'big') for off in offsets) + extra
    body += bytes(6) + bytes([offset_size, ref_size])
    body += struct.pack('>QQQ', n if num is None else num, top, table_at if table is None else table)
    return body


def count(marker, n):
    if n < 15:
        return bytes([marker | n])
    if n < 256:
        return bytes([marker | 15, 0x10, n])
    if n < 65536:
        return bytes([marker | 15, 0x11]) + n.to_bytes(2, 'big')
    return bytes([marker | 15, 0x12]) + n.to_bytes(4, 'big')


def ascii(s):
    return count(0x50, len(s)) + s


def arr(refs):
    return (count(0xA0, len(refs)), refs)


def dct(keys, values):
    return (count(0xD0, len(keys)), keys + values)


# Root {"v": object 2}, with what follows as object 2 onward.
def rooted(*rest, **kw):
    return bplist([dct([1], [2]), ascii(b'v')] + list(rest), 0, **kw)


# Reference cycles of every shape.
add('cycle-self.bplist', 'nothing', rooted(arr([2])))
add('cycle-two-level.bplist', 'nothing', rooted(arr([3]), arr([2])))
add('cycle-three-level.bplist', 'nothing', rooted(arr([3]), arr([4]), dct([1], [2])))
add('cycle-root-holds-itself.bplist', 'nothing', bplist([dct([1], [0]), ascii(b'v')], 0))
add('cycle-key-and-value.bplist', 'nothing', rooted(dct([1], [2])))
# References and offsets out of range, or into the trailer.
add('ref-out-of-range.bplist', 'nothing', rooted(arr([9])))
good = rooted(b'\x09')
add('offset-past-objects.bplist', 'nothing', good[:-35] + bytes([len(good) - 32]) + good[-34:])
add('offset-into-trailer.bplist', 'nothing', good[:-35] + bytes([len(good) - 10]) + good[-34:])
add('table-offset-in-trailer.bplist', 'nothing', good[:-8] + struct.pack('>Q', len(good) - 20))
add('top-object-out-of-range.bplist', 'nothing', good[:-16] + struct.pack('>QQ', 5, len(good) - 35))
# Offset and reference sizes 0 and 9.
add('offset-size-0.bplist', 'nothing', good[:-26] + b'\x00' + good[-25:])
add('ref-size-0.bplist', 'nothing', good[:-25] + b'\x00' + good[-24:])
add('offset-and-ref-size-9.bplist', 'dictionary', rooted(b'\x09', offset_size=9, ref_size=9))
# Object counts near 2^63 and 2^64.
add('count-2pow63.bplist', 'nothing', good[:-24] + struct.pack('>Q', (1 << 63) - 1) + good[-16:])
add('count-2pow64.bplist', 'nothing', good[:-24] + struct.pack('>Q', (1 << 64) - 1) + good[-16:])
# Containers and strings claiming more than the file holds.
add('array-claims-2pow62.bplist', 'nothing', rooted(b'\xaf\x13' + (1 << 62).to_bytes(8, 'big')))
add('dict-claims-2pow63.bplist', 'nothing', rooted(b'\xdf\x13' + ((1 << 63) - 1).to_bytes(8, 'big')))
add('string-claims-2pow32.bplist', 'nothing', rooted(b'\x5f\x12\xff\xff\xff\xff'))
add('utf16-claims-2pow62.bplist', 'nothing', rooted(b'\x6f\x13' + (1 << 62).to_bytes(8, 'big')))
add('data-claims-2pow64.bplist', 'nothing', rooted(b'\x4f\x13' + b'\xff' * 8))
add('count-is-a-string.bplist', 'nothing', rooted(b'\xaf\x51a'))
# A 100000-deep chain, and one at the depth limit.
deep = [arr([i + 3]) for i in range(100000)] + [b'\x09']
add('chain-100000-deep.bplist', 'nothing', rooted(*deep))
ok = [arr([i + 3]) for i in range(511)] + [b'\x09']
add('chain-511-deep.bplist', 'dictionary', rooted(*ok))
# Exponential sharing: 2^64 paths to the leaf in a file of a few hundred bytes.
levels = [arr([3, 3])] + [arr([i + 4, i + 4]) for i in range(63)] + [ascii(b'leaf')]
add('sharing-bomb.bplist', 'write-fails', rooted(*levels))
# Linear sharing: one 30000-byte string referenced 20000 times.
add('shared-string-bomb.bplist', 'write-fails', rooted((count(0xA0, 20000), [3] * 20000), ascii(b's' * 30000)))
# 16- and 32-byte integers.
add('int-16-byte.bplist', 'dictionary', rooted(b'\x14' + b'\x01' * 8 + b'\xff' * 8))
add('int-32-byte.bplist', 'nothing', rooted(b'\x15' + bytes(32)))
# Unpaired surrogates, non-string keys, null and set values.
add('unpaired-high-surrogate.bplist', 'write-fails', rooted(b'\x62\xd8\x00\x00\x41'))
add('unpaired-low-surrogate.bplist', 'write-fails', rooted(b'\x61\xdc\x00'))
add('non-string-key.bplist', 'write-fails', bplist([dct([1], [2]), b'\x10\x41', b'\x09'], 0))
add('container-key.bplist', 'nothing', bplist([dct([1], [2]), arr([]), b'\x09'], 0))
add('null-value.bplist', 'write-fails', rooted(b'\x00'))
add('set-value.bplist', 'write-fails', rooted((b'\xc1', [1])))
add('uid-2pow32.bplist', 'nothing', rooted(b'\x84\x01\x00\x00\x00\x00'))
add('root-is-array.bplist', 'nothing', bplist([arr([])], 0))

# XML.
head = b'<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n'
add('xml-entity-declaration.plist', 'nothing',
    b'<?xml version="1.0"?>\n<!DOCTYPE plist [<!ENTITY e "expanded">]>\n'
    b'<plist><dict><key>k</key><string>&e;</string></dict></plist>\n')
add('xml-billion-laughs.plist', 'nothing',
    b'<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;">]>'
    b'<dict><key>k</key><string>&lol2;</string></dict>')
add('xml-external-entity.plist', 'nothing',
    b'<!DOCTYPE plist [<!ENTITY x SYSTEM "file:///etc/passwd">]><dict><key>k</key><string>&x;</string></dict>')
add('xml-unknown-entity.plist', 'nothing', head + b'<dict><key>k</key><string>&x;</string></dict></plist>')
add('xml-100000-deep.plist', 'nothing',
    head + b'<dict><key>k</key>' + b'<array>' * 100000 + b'</array>' * 100000 + b'</dict></plist>')
add('xml-100000-deep-unclosed.plist', 'nothing', head + b'<dict><key>k</key>' + b'<array>' * 100000)
add('xml-511-deep.plist', 'dictionary',
    head + b'<dict><key>k</key>' + b'<array>' * 511 + b'<true/>' + b'</array>' * 511 + b'</dict></plist>')
add('xml-unclosed-dict.plist', 'nothing', head + b'<dict><key>k</key><string>v</string>')
add('xml-unclosed-string.plist', 'nothing', head + b'<dict><key>k</key><string>v')
add('xml-unclosed-comment.plist', 'nothing', head + b'<dict><!-- <key>k</key></dict></plist>')
add('xml-unclosed-cdata.plist', 'nothing', head + b'<dict><key>k</key><string><![CDATA[v</string></dict></plist>')
add('xml-integer-overflow.plist', 'nothing', head + b'<dict><key>k</key><integer>18446744073709551616</integer></dict></plist>')
add('xml-integer-underflow.plist', 'nothing', head + b'<dict><key>k</key><integer>-9223372036854775809</integer></dict></plist>')
add('xml-integer-huge.plist', 'nothing', head + b'<dict><key>k</key><integer>' + b'9' * 100000 + b'</integer></dict></plist>')
add('xml-bad-base64.plist', 'nothing', head + b'<dict><key>k</key><data>QU\xc3\xa9JD</data></dict></plist>')
add('xml-bad-date.plist', 'nothing', head + b'<dict><key>k</key><date>2001-13-01T00:00:00.5Z</date></dict></plist>')
add('xml-huge-year.plist', 'nothing', head + b'<dict><key>k</key><date>' + b'9' * 50 + b'-01-01T00:00:00Z</date></dict></plist>')
add('xml-char-ref-too-long.plist', 'nothing', head + b'<dict><key>k</key><string>&#x0000000041;</string></dict></plist>')
add('xml-surrogate-char-ref.plist', 'nothing', head + b'<dict><key>k</key><string>&#xD800;</string></dict></plist>')
add('xml-invalid-utf8.plist', 'nothing', head + b'<dict><key>k</key><string>\xff</string></dict></plist>')
add('xml-utf16-lone-surrogate.plist', 'write-fails',
    b'\xff\xfe' + '<dict><key>k</key><string>'.encode('utf-16-le') + b'\x00\xd8'
    + '</string></dict>'.encode('utf-16-le'))
add('xml-unknown-encoding.plist', 'nothing', b'<?xml version="1.0" encoding="x-no-such"?><dict/>')
add('xml-uid-root.plist', 'nothing', b'<dict><key>CF$UID</key><integer>1</integer></dict>')
# OpenStep.
add('openstep-100000-deep.plist', 'nothing', b'{ k = ' + b'(' * 100000 + b'x' + b')' * 100000 + b'; }')
add('openstep-unterminated.plist', 'nothing', b'{ k = "never closed; }')
add('openstep-odd-hex.plist', 'nothing', b'{ k = <0fb>; }')

# An object nothing refers to is never checked: here a string whose count is
# a 2^15-byte integer, far past the end of the file. The file loads (a
# fuzz finding: the kept-bytes load once read that count).
add('unreferenced-object-huge-count.bplist', 'dictionary', bplist([dct([1], [2]), ascii(b'v'), b'\x09', b'\x5f\x1f'], 0))

# Findings of a review, each as it was reproduced.
def utf16(units):
    return count(0x60, len(units)) + b''.join(u.to_bytes(2, 'big') for u in units)


# Two root entries under one key, dropped before the string after them: that
# string's lone surrogate must still be seen.
add('duplicate-root-key-then-lone-surrogate.bplist', 'write-fails',
    bplist([dct([1, 1, 2, 3], [1, 1, 4, 5]), ascii(b'x' * 100), ascii(b'B'), ascii(b'C'),
            utf16([0x41] * 40 + [0xD800] + [0x42] * 40), arr([])], 0))
# Plists nested 20000 deep read as the innermost one's object.
add('xml-20000-nested-plists.plist', 'dictionary',
    b'<plist>' * 20000 + b'<dict><key>k</key><string>v</string></dict>' + b'</plist>' * 20000)
add('xml-nested-plists-two-objects.plist', 'nothing',
    b'<plist>' * 20000 + b'<dict/><true/>' + b'</plist>' * 20000)
# One key of 256 KiB shared by 1000 dictionaries: 262 MB of text.
add('shared-key-bomb.bplist', 'write-fails',
    rooted((count(0xA0, 1000), [3] * 1000), dct([4], [5]), ascii(b'k' * 262144), b'\x09'))
# 500 nested arrays, the innermost referring 60000 times to one Boolean: some
# 500 tabs a line make 30 MB of text.
deep_refs = [arr([i + 3]) for i in range(499)]
deep_refs.append((count(0xA0, 60000), [len(deep_refs) + 3] * 60000))
add('deep-array-of-60000-references.bplist', 'write-fails', rooted(*deep_refs, b'\x09'))
# One UTF-16 string of 64 Ki units referenced 100000 times: refused, and soon.
add('shared-utf16-string-bomb.bplist', 'write-fails',
    rooted((count(0xA0, 100000), [3] * 100000), utf16([0x263A] * 65536)))
# 50000 root entries under one key of 64 KiB: one entry, and soon.
add('root-key-repeated-50000-times.bplist', 'dictionary',
    bplist([dct([1] * 50000, [2] * 50000), ascii(b'k' * 65536), b'\x09'], 0))

# Findings of the fuzz targets, kept as they were found.
# One array referencing a long string 20000 times: each reference re-checked
# the string, which took seconds; the write fails on the expansion bound.
files.append(('fuzz-roundtrip-slow-unit.bplist', 'write-fails'))

with open('MANIFEST', 'w') as f:
    f.write('# file outcome (made by make_hostile.py)\n')
    for name, outcome in files:
        f.write(f'{name} {outcome}\n')
