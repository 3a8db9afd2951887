#!/usr/bin/env python3
"""Shows that the tool's time on hostile files grows with the file, not faster.

  python3 bench/hostile_scaling.py

For each shape the tool once took time quadratic in (a long string met on
every one of its references; one long key repeated all over the root), makes
files of doubling size, runs the release binary on each inside the sandbox,
and prints seconds and milliseconds per megabyte of file: a flat last column
is linear time. Needs only python3, cmake and a C++ compiler.
"""
import os
import struct
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TOOL = os.path.join(ROOT, 'build', 'bench-release', 'Tolvane')
SANDBOX = os.path.join(ROOT, 'tests', 'sandbox.sh')


def count(marker, n):
    if n < 15:
        return bytes([marker | n])
    for code, width in ((0, 1), (1, 2), (2, 4), (3, 8)):
        if n < 1 << (8 * width):
            return bytes([marker | 15, 0x10 | code]) + n.to_bytes(width, 'big')


def bplist(objects, ref_size):
    """objects: bytes, or (head, [refs]); the first is the root."""
    body, offsets = b'bplist00', []
    for o in objects:
        offsets.append(len(body))
        body += o[0] + b''.join(r.to_bytes(ref_size, 'big') for r in o[1]) if isinstance(o, tuple) else o
    table = len(body)
    body += b''.join(off.to_bytes(4, 'big') for off in offsets)
    return body + bytes(6) + bytes([4, ref_size]) + struct.pack('>QQQ', len(objects), 0, table)


def shared_string(n):
    # {"v": [s, s, ... n times]}, s one UTF-16 string of 64 Ki units.
    s = count(0x60, 65536) + '\u263a'.encode('utf-16-be') * 65536
    return bplist([(count(0xD0, 1), [1, 2]), count(0x50, 1) + b'v', (count(0xA0, n), [3] * n), s], 4)


def repeated_root_key(n):
    # n root entries under one key of 64 KiB.
    return bplist([(count(0xD0, n), [1] * n + [2] * n), count(0x50, 65536) + b'k' * 65536, b'\x09'], 4)


def main():
    build = os.path.dirname(TOOL)
    subprocess.run(['cmake', '-S', ROOT, '-B', build, '-DCMAKE_BUILD_TYPE=Release', '-DTOLVANE_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', build, '--target', 'Tolvane'], check=True, stdout=subprocess.DEVNULL)
    library = tempfile.mkdtemp()
    data = os.path.join(library, 'Velmora', 'Ostrel_Agent', 'data')
    os.makedirs(data)
    os.makedirs(os.path.join(library, 'Velmora', 'Ostrel_Agent', 'bin'))
    open(os.path.join(library, 'Velmora', 'Ostrel_Agent', 'bin', 'tqagentservice'), 'w').close()
    target = os.path.join(data, 'tqpatch_data.plist')
    def timed(*command):
        start = time.monotonic()
        status = subprocess.run([SANDBOX, library] + list(command), stderr=subprocess.DEVNULL).returncode
        return status, time.monotonic() - start

    # The sandbox's own cost (namespace, mounts, chroot) is taken off each run.
    alone = min(timed('/bin/true')[1] for _ in range(5))
    print('sandbox alone: %.0f ms a run, taken off below\n' % (alone * 1000))
    print('| shape | references | file MB | status | seconds | ms per MB |')
    print('|---|---|---|---|---|---|')
    for name, make in (('one long string, shared', shared_string), ('one long root key, repeated', repeated_root_key)):
        for n in (100000, 400000, 1600000, 6400000):
            content = make(n)
            with open(target, 'wb') as f:
                f.write(content)
            status, seconds = timed(TOOL, 'true')
            seconds = max(0.0, seconds - alone)
            mb = len(content) / 1e6
            print('| %s | %d | %.2f | %d | %.3f | %.1f |' % (name, n, mb, status, seconds, seconds * 1000 / mb))
    subprocess.run(['rm', '-rf', library])


if __name__ == '__main__':
    sys.exit(main())
