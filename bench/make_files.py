#!/usr/bin/env python3
"""Writes realistic patch-data files for the benchmarks.

  python3 bench/make_files.py OUTDIR

gives OUTDIR/small.bplist (about 3 KB) and, for each of 1, 16, 32 and 64 MB,
OUTDIR/<n>mb.bplist and OUTDIR/<n>mb.xml: an agent file whose "Patches"
array holds patch records with every value type. The same seed gives the
same files.
"""
import datetime
import os
import plistlib
import random
import sys

WORDS = ['Browser', 'Office', 'Suite', 'Runtime', 'Security', 'Update', 'Driver', 'Viewer', 'Editor',
         'Client', 'Agent', 'Framework', 'Caf\u00e9', '\u00dcbersetzer', '\u6570\u636e', 'Stra\u00dfe']


def record(rng, i, binary):
    r = {
        'PatchID': 'TQ-%08d' % i,
        'Title': ' '.join(rng.choice(WORDS) for _ in range(rng.randint(2, 5))),
        'Version': '%d.%d.%d' % (rng.randint(1, 40), rng.randint(0, 99), rng.randint(0, 9999)),
        'Size': rng.randint(1000, 1 << 34),
        'Released': datetime.datetime(2020, 1, 1) + datetime.timedelta(seconds=rng.randint(0, 200000000)),
        'Critical': rng.random() < 0.2,
        'Score': round(rng.random() * 10, 3),
        'Checksum': rng.randbytes(32),
        'Files': ['/Applications/%s.app/Contents/%d' % (rng.choice(WORDS), k) for k in range(rng.randint(1, 4))],
        'Depends': [rng.randint(0, i + 1) for _ in range(rng.randint(0, 3))],
        'Deferrals': {'Allowed': rng.randint(0, 5), 'Used': rng.randint(0, 5), 'Deadline': 'P7D'},
    }
    r['Owner'] = plistlib.UID(rng.randint(0, 1 << 20)) if binary else {'CF$UID': rng.randint(0, 1 << 20)}
    return r


def agent_file(target_bytes, binary, seed=7):
    rng = random.Random(seed)
    top = {
        'AgentVersion': '11.4.2',
        'ApplicationRunningPrompt': False,
        'LastPatchScan': datetime.datetime(2026, 11, 30, 4, 15),
        'DeferralsLeft': 3,
        'Patches': [],
    }
    fmt = plistlib.FMT_BINARY if binary else plistlib.FMT_XML
    per_record = len(plistlib.dumps({'x': [record(rng, 0, binary)]}, fmt=fmt))
    count = max(1, target_bytes // per_record)
    for _ in range(2):  # a second pass corrects for what the format shares
        rng = random.Random(seed)
        top['Patches'] = [record(rng, i, binary) for i in range(count)]
        data = plistlib.dumps(top, fmt=fmt, sort_keys=False)
        count = max(1, round(count * target_bytes / len(data)))
    return data


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else 'build/bench'
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, 'small.bplist'), 'wb') as f:
        f.write(agent_file(3000, True))
    for mb in (1, 16, 32, 64):
        for binary, ext in ((True, 'bplist'), (False, 'xml')):
            path = os.path.join(out, '%dmb.%s' % (mb, ext))
            if not os.path.exists(path):
                with open(path, 'wb') as f:
                    f.write(agent_file(mb << 20, binary))
    for name in sorted(os.listdir(out)):
        print('%-14s %10d bytes' % (name, os.path.getsize(os.path.join(out, name))))


if __name__ == '__main__':
    main()
