#!/usr/bin/env python3
"""What an administrator would write instead: load, set the key, dump XML.

  python3 plistlib_job.py IN OUT
"""
import plistlib
import sys


def as_xml_value(v):
    # plistlib writes UIDs only in binary; Foundation writes them as CF$UID dicts.
    if isinstance(v, plistlib.UID):
        return {'CF$UID': v.data}
    if isinstance(v, dict):
        return {k: as_xml_value(x) for k, x in v.items()}
    if isinstance(v, list):
        return [as_xml_value(x) for x in v]
    return v


sys.setrecursionlimit(20000)  # for files nested near the 512 limit
with open(sys.argv[1], 'rb') as f:
    d = plistlib.load(f)
d['ApplicationRunningPrompt'] = True
with open(sys.argv[2], 'wb') as f:
    plistlib.dump(as_xml_value(d), f)
