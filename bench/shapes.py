#!/usr/bin/env python3
"""Times the tool on files of many shapes, each in binary and in XML form.

  python3 bench/shapes.py [--mb N] [--runs N]     (default: 32 MB of XML a shape, 3 runs)

Shapes: a wide root (100,000 patch records straight in the root dictionary),
records in one array a level down, nesting near the 512 limit, long
non-ASCII strings full of characters XML escapes, data, reals and dates,
one small set of strings shared all over a binary file, values from
large pools (held once each in a binary file), a root of many
small entries, a key of its own in each of many dictionaries, values
smaller than their bookkeeping (empty containers, flags), keys that are
not ASCII, one large blob, a wide root in no order, reals of any size,
round reals (whole numbers, quarters, hundredths), and the records as
UTF-16 XML. For each file,
in one run: the release tool inside the sandbox (best of the runs, the
sandbox's own start-up outside the figure), the floor (a copy of the
tool's own output to a new file, synced), libplist's `plistutil -f xml`
(binary files, where installed), Python's plistlib doing the tool's job,
and each one's peak memory. Needs python3, cmake and a C++ compiler;
plistutil (libplist-utils) where its column is wanted.
"""
import datetime
import os
import plistlib
import random
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, 'build', 'bench-release')
TOOL = os.path.join(BUILD, 'Tolvane')
SANDBOX = os.path.join(ROOT, 'tests', 'sandbox.sh')
JOB = os.path.join(ROOT, 'bench', 'plistlib_job.py')


def arg(name, default):
    return int(sys.argv[sys.argv.index(name) + 1]) if name in sys.argv else default


MB = arg('--mb', 32)
sys.setrecursionlimit(20000)  # plistlib recurses once a level, and one shape nests 500 deep
RUNS = arg('--runs', 3)
WORDS = ['Browser', 'Office', 'Caf\u00e9', '\u00dcbersetzer', '\u6570\u636e', 'Stra\u00dfe', 'Runtime', 'Agent']


def record(rng, i):
    return {
        'PatchID': 'TQ-%08d' % i,
        'Title': ' '.join(rng.choice(WORDS) for _ in range(3)),
        'Size': rng.randint(1000, 1 << 34),
        'Released': datetime.datetime(2020, 1, 1) + datetime.timedelta(seconds=rng.randint(0, 200000000)),
        'Critical': rng.random() < 0.2,
        'Score': rng.random() * 10,
        'Checksum': rng.randbytes(16),
        'Files': ['/Applications/%s.app/%d' % (rng.choice(WORDS), k) for k in range(2)],
    }


def fill(make_item, target, per_item):
    """Items from make_item(i) until about `target` bytes of XML."""
    return [make_item(i) for i in range(max(1, target // per_item))]


def shapes(target):
    rng = random.Random(7)
    yield 'wide-root', {'Patch%06d' % i: record(rng, i) for i in range(max(100000, target // 700))}
    yield 'records-in-array', {'Patches': fill(lambda i: record(rng, i), target, 700)}
    # 500 levels, each with a share of small values: the indent dominates.
    per_level = max(1, target // (500 * 600))
    deep = [True]
    for level in range(500):
        deep = [level, 'x' * 8] * per_level + [deep]
    yield 'deep-500', {'Deep': deep}
    text = '<caf\u00e9 & "th\u00e9" \u6570\u636e \u00fcber> ' * 20
    yield 'escaped-text', {'Notes': fill(lambda i: text + str(i), target, len(text.encode()) * 13 // 10 + 30)}
    yield 'data', {'Blobs': fill(lambda i: rng.randbytes(3000), target, 4200)}
    epoch = datetime.datetime(2001, 1, 1)
    yield 'reals-dates', {'Samples': fill(
        lambda i: [rng.random() * 1e6, epoch + datetime.timedelta(seconds=rng.randint(0, 10 ** 9))], target, 110)}
    pool = ['Value %d %s' % (k, 'y' * 40) for k in range(50)]
    yield 'shared-strings', {'Table': fill(lambda i: [pool[(i + k) % 50] for k in range(8)], target, 550)}
    # Records whose values come from large pools: a binary file holds each
    # equal value once and refers to it from all over itself.
    names = ['Package %d' % k for k in range(100000)]
    sizes = [rng.randint(1000, 1 << 34) for _ in range(100000)]
    days = [epoch + datetime.timedelta(seconds=rng.randint(0, 10 ** 9)) for _ in range(50000)]
    yield 'shared-values', {'Patches': fill(lambda i: {
        'Name': rng.choice(names), 'Size': rng.choice(sizes), 'Released': rng.choice(days),
        'Build': rng.randint(0, 5000), 'Critical': rng.random() < 0.2}, target, 265)}
    # A root of many small entries, and as many keys as dictionaries, all
    # different: the keys' own bookkeeping is most of the work.
    yield 'flat-root', {'k%07d' % i: i for i in range(max(1, target // 48))}
    yield 'distinct-keys', {'Map': fill(lambda i: {'%032x' % rng.getrandbits(128): i}, target, 100)}
    # Values smaller than their own bookkeeping: empty containers and flags.
    # (Each container a new one: plistlib would write one held everywhere.)
    yield 'small-values', {'Flags': [[] if i % 4 == 0 else {} if i % 4 == 1 else i % 4 == 2 for i in range(target // 11)]}
    # Keys that are no ASCII: a binary file holds them as UTF-16.
    yield 'non-ascii-keys', {'%s-%d' % (''.join(rng.choice(WORDS) for _ in range(2)), i): i for i in range(target // 60)}
    yield 'one-blob', {'Blob': rng.randbytes(target * 3 // 4)}
    # A wide root in no order, as a binary file lists a dictionary's
    # entries in its hash order (written unsorted, see UNSORTED).
    keys = ['Setting%07d' % i for i in range(target // 48)]
    rng.shuffle(keys)
    yield 'shuffled-root', {k: i for i, k in enumerate(keys)}
    # A wide root whose keys are numbered without leading zeros, in the
    # order of their numbers: runs in order, one for each count of digits.
    yield 'numbered-keys', {'Item%d' % i: i for i in range(target // 40)}
    # Reals of any size, not only those near 1.
    yield 'reals-any-size', {'Values': fill(lambda i: rng.random() * 10.0 ** rng.randint(-300, 300), target, 40)}
    # Reals as people and programs most often leave them: whole numbers,
    # quarters, hundredths.
    yield 'round-reals', {'Values': fill(lambda i: [float(rng.randint(0, 10000)), rng.randint(0, 100000) / 4,
                                                    round(rng.random() * 100, 2)][i % 3], target, 23)}


UNSORTED = {'shuffled-root', 'numbered-keys'}  # shapes whose dictionaries are written in their own order


def write_forms(folder, name, value):
    paths = {}
    for form in ('bplist', 'xml'):
        path = os.path.join(folder, '%s.%s' % (name, form))
        with open(path, 'wb') as f:
            plistlib.dump(value, f, fmt=plistlib.FMT_BINARY if form == 'bplist' else plistlib.FMT_XML,
                          sort_keys=name not in UNSORTED)
        paths[form] = path
    if name == 'records-in-array':
        path = os.path.join(folder, 'records-utf16.xml')
        with open(paths['xml'], 'rb') as f:
            text = f.read().decode('utf-8').replace('encoding="UTF-8"', 'encoding="UTF-16"')
        with open(path, 'wb') as f:
            f.write(text.encode('utf-16'))
        paths['utf16'] = path
    return paths


# Runs inside the sandbox: best of N runs of the tool, each on a fresh,
# flushed copy, in milliseconds; the XML it wrote is kept for the floor.
TIMER = r'''
tool=$1 src=$2 runs=$3 keep=$4 dst=/Library/Velmora/Ostrel_Agent/data/tqpatch_data.plist
best=
for i in $(seq "$runs"); do
  dd if="$src" of="$dst" bs=1M conv=fsync status=none
  s=$(date +%s%N); "$tool" true 2>/dev/null || exit 1; e=$(date +%s%N)
  t=$(( (e - s) / 1000 )); [ -z "$best" ] || [ "$t" -lt "$best" ] && best=$t
done
cp "$dst" "$keep"
echo "$best"
'''


def peak_mb(command, sandbox=None):
    args = ['/usr/bin/time', '-f', 'PEAK %M'] + command
    if sandbox:
        args = [SANDBOX, sandbox] + args
    r = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int([l for l in r.stderr.splitlines() if l.startswith('PEAK ')][-1].split()[1]) / 1024


def seconds(command):
    import time
    start = time.monotonic()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return time.monotonic() - start


def main():
    subprocess.run(['cmake', '-S', ROOT, '-B', BUILD, '-DCMAKE_BUILD_TYPE=Release', '-DTOLVANE_TESTS=OFF'],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', BUILD, '--target', 'Tolvane'], check=True, stdout=subprocess.DEVNULL)
    work = tempfile.mkdtemp(prefix='tolvane-shapes.')
    library = os.path.join(work, 'library')
    data = os.path.join(library, 'Velmora', 'Ostrel_Agent', 'data')
    os.makedirs(data)
    os.makedirs(os.path.join(library, 'Velmora', 'Ostrel_Agent', 'bin'))
    open(os.path.join(library, 'Velmora', 'Ostrel_Agent', 'bin', 'tqagentservice'), 'w').close()
    timer = os.path.join(work, 'timer.sh')
    with open(timer, 'w') as f:
        f.write(TIMER)
    plistutil = shutil.which('plistutil')

    print('| file | in MB | out MB | Tolvane s | floor s | ÷ floor | plistutil ÷ Tolvane | plistlib ÷ Tolvane '
          '| peak RSS ÷ input | ms per MB out |')
    print('|---|---|---|---|---|---|---|---|---|---|')
    for name, value in shapes(MB << 20):
        for form, src in write_forms(work, name, value).items():
            out = os.path.join(work, 'out.xml')
            r = subprocess.run([SANDBOX, library, '/bin/sh', timer, TOOL, src, str(RUNS), out],
                               check=True, capture_output=True, text=True)
            tolvane = int(r.stdout.split()[-1]) / 1e6
            copy = os.path.join(work, 'copy.xml')
            floor = min(seconds(['dd', 'if=' + out, 'of=' + copy, 'bs=1M', 'conv=fsync', 'status=none'])
                        for _ in range(RUNS))
            shutil.copyfile(src, os.path.join(data, 'tqpatch_data.plist'))
            peak = peak_mb([TOOL, 'true'], sandbox=library)
            py = seconds([sys.executable, JOB, src, copy])
            pu = seconds([plistutil, '-i', src, '-o', copy, '-f', 'xml']) if plistutil and form == 'bplist' else None
            size, text = os.path.getsize(src) / (1 << 20), os.path.getsize(out) / (1 << 20)
            print('| %s.%s | %.1f | %.1f | %.3f | %.3f | %.1f | %s | %.1f | %.2f | %.2f |' % (
                name, form, size, text, tolvane, floor, tolvane / floor,
                '%.1f' % (pu / tolvane) if pu else '—', py / tolvane, peak / size, tolvane * 1000 / text),
                flush=True)
    shutil.rmtree(work)


if __name__ == '__main__':
    main()
