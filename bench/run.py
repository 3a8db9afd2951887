#!/usr/bin/env python3
"""Times the tool against the alternatives, on the same files, in one run.

  python3 bench/run.py [--quick]

Builds the release tool and the in-process benchmark, makes the files
(make_files.py), then measures with hyperfine (medians) and /usr/bin/time
(peak memory): the real Tolvane binary inside the sandbox (and the sandbox
alone), Python's plistlib doing the same job, and libplist's plistutil
converting the file to XML; then runs the in-process benchmark. Needs
hyperfine, libplist-utils, libbenchmark-dev and python3.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, 'build', 'bench-release')
FILES = os.path.join(ROOT, 'build', 'bench')
SANDBOX = os.path.join(ROOT, 'tests', 'sandbox.sh')
TOOL = os.path.join(BUILD, 'Tolvane')
QUICK = '--quick' in sys.argv


def sh(*args, **kw):
    return subprocess.run(args, check=True, **kw)


def hyperfine(commands, runs, prepare=None, inside=None):
    """Median seconds of each command (a shell string), run by hyperfine;
    `inside` runs hyperfine itself in the sandbox with that library folder."""
    out = tempfile.mktemp(suffix='.json')
    # No shell between hyperfine and the command: at a millisecond a run,
    # the shell's own start-up would be most of what is measured.
    args = ['hyperfine', '-N', '--style', 'none', '--warmup', '2' if runs > 5 else '1', '--runs', str(runs),
            '--export-json', out]
    if prepare:
        args += ['--prepare', prepare]
    args += commands
    if inside:
        args = [SANDBOX, inside, '/usr/bin/env'] + args
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    with open(out) as f:
        results = json.load(f)['results']
    os.unlink(out)
    return [r['median'] for r in results]


def peak_kb(command, inside=None, prepare=None):
    args = ['/usr/bin/time', '-f', 'PEAK %M'] + command
    if inside:
        if prepare:
            subprocess.run(['sh', '-c', prepare], check=True)
        args = [SANDBOX, inside] + args
    r = subprocess.run(args, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    return int([l for l in r.stderr.splitlines() if l.startswith('PEAK ')][-1].split()[1])


def main():
    sh('cmake', '-S', ROOT, '-B', BUILD, '-DCMAKE_BUILD_TYPE=Release', '-DTOLVANE_TESTS=OFF',
       '-DTOLVANE_BENCH=ON', stdout=subprocess.DEVNULL)
    sh('cmake', '--build', BUILD, '-j', str(os.cpu_count()), stdout=subprocess.DEVNULL)
    sh(sys.executable, os.path.join(ROOT, 'bench', 'make_files.py'), FILES, stdout=subprocess.DEVNULL)

    library = tempfile.mkdtemp(prefix='tolvane-bench.')
    agent = os.path.join(library, 'Velmora', 'Ostrel_Agent')
    os.makedirs(os.path.join(agent, 'bin'))
    os.makedirs(os.path.join(agent, 'data'))
    open(os.path.join(agent, 'bin', 'tqagentservice'), 'w').close()
    target = os.path.join(agent, 'data', 'tqpatch_data.plist')
    scratch = tempfile.mkdtemp(prefix='tolvane-bench-out.')

    sandbox_alone = hyperfine([SANDBOX + ' ' + library + ' /bin/true'], 10)[0]
    print('sandbox alone (unshare, mounts, chroot, /bin/true): %.1f ms a run' % (sandbox_alone * 1000))

    names = ['small.bplist', '1mb.bplist', '16mb.bplist', '32mb.bplist', '64mb.bplist', '1mb.xml', '32mb.xml']
    if QUICK:
        names = ['small.bplist', '1mb.bplist', '32mb.bplist']
    rows = []
    for name in names:
        src = os.path.join(FILES, name)
        size = os.path.getsize(src)
        runs = 30 if size < (2 << 20) else 5
        # The copy is flushed before the run: otherwise the tool's sync would
        # pay for writing out the benchmark's own copy of the file.
        prepare = 'dd if=%s of=%s conv=fsync status=none' % (src, target)
        tolvane, true = hyperfine([TOOL + ' true', '/bin/true'], runs, prepare=prepare, inside=library)
        tolvane_kb = peak_kb([TOOL, 'true'], inside=library, prepare=prepare)
        text = os.path.getsize(target)  # the XML that run wrote
        out = os.path.join(scratch, 'out.xml')
        py_job = os.path.join(ROOT, 'bench', 'plistlib_job.py')
        py, pu = hyperfine(['python3 %s %s %s' % (py_job, src, out),
                            'plistutil -i %s -o %s -f xml' % (src, out)], max(3, runs // 3))
        py_kb = peak_kb(['python3', py_job, src, out])
        pu_kb = peak_kb(['plistutil', '-i', src, '-o', out, '-f', 'xml'])
        rows.append((name, size, tolvane, true, tolvane_kb, py, py_kb, pu, pu_kb, text))
        print('measured %s' % name, flush=True)

    print()
    print('%-13s %9s | %9s %8s %7s | %9s %7s | %9s %7s | %6s %6s | %9s %8s %9s' % (
        'file', 'MB', 'Tolvane s', 'MB peak', 'x file', 'plistlib', 'ratio', 'plistutil', 'ratio',
        'pyMB', 'puMB', 'ms per MB', 'text MB', 'ms/text MB'))
    for name, size, t, true, kb, py, py_kb, pu, pu_kb, text in rows:
        mb = size / (1 << 20)
        print('%-13s %9.3f | %9.4f %8.1f %7.2f | %9.3f %7.1f | %9.3f %7.1f | %6.0f %6.0f | %9.2f %8.1f %9.2f' % (
            name, mb, t, kb / 1024, kb * 1024 / size, py, py / t, pu, pu / t, py_kb / 1024,
            pu_kb / 1024, t * 1000 / mb, text / (1 << 20), t * 1000 / (text / (1 << 20))))
    small = rows[0]
    print('\nsmall file: Tolvane %.2f ms, /bin/true %.2f ms in the same sandbox: %.1f times' % (
        small[2] * 1000, small[3] * 1000, small[2] / small[3]))
    binary = [r for r in rows if r[0].endswith('.bplist') and r[1] >= (1 << 20) * 0.9]
    big = [r for r in binary if r[0].startswith('32mb')]
    if big:
        r = big[0]
        print('32 MB binary: plistutil %.1f times, plistlib %.1f times as long; peak %.2f times the file' % (
            r[7] / r[2], r[5] / r[2], r[4] * 1024 / r[1]))
    if binary:
        per_mb = [r[2] * 1000 / (r[1] / (1 << 20)) for r in binary]
        per_text = [r[2] * 1000 / (r[9] / (1 << 20)) for r in binary]
        print('binary files, 1 to 64 MB: %.2f to %.2f ms per MB of file (%.0f %% apart), '
              '%.2f to %.2f ms per MB of text (%.0f %% apart)' % (
                  min(per_mb), max(per_mb), 100 * (max(per_mb) / min(per_mb) - 1),
                  min(per_text), max(per_text), 100 * (max(per_text) / min(per_text) - 1)))

    print('\nin-process (Google Benchmark):', flush=True)
    sh(os.path.join(BUILD, 'bench', 'inprocess_bench'), '--files=' + FILES,
       '--benchmark_filter=' + ('small|1mb|32mb' if QUICK else '.'), '--benchmark_min_time=0.2')
    shutil.rmtree(library)
    shutil.rmtree(scratch)


main()
