#!/usr/bin/env python3
"""The README's commands on a fresh Debian 13: makes a minimal trixie with
debootstrap, copies this source tree into it and runs `./test -LE long` there
as root, then `./run` on a virtual screen. Passes when the test run ended with
status 0 and every test in it passed or was skipped because its SDL 1.2
implementation cannot be had there (the classic one: Debian 13 ships only the
SDL2-based one), the SDL2-based tests ran on the system's own library, and
./run showed the picture and ended on a key press.

What is copied is the tree as it stands, uncommitted changes included: the
files git tracks or would add (git ls-files --cached --others
--exclude-standard), so no build folder or ignored file goes along. In CI,
a clean clone, that is the commit under test. Without git: the whole tree
less .git and the build folders.

Exit status: 0 passed, 1 failed, 77 skipped (not root, no debootstrap, or no
answer from the archive; never skipped under CI=true).
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
OUT = os.environ.get('TUMBLE_TEST_OUT') or tempfile.gettempdir()
sys.path.insert(0, HERE)
from harness import chroot, common, sdl_impl  # noqa: E402

RELEASE = 'trixie'
INNER_TIMEOUT = 1800
CANNOT_BE_HAD = 'cannot be had here'

# ./run as a user starts it, on a virtual screen with a window manager: passes
# once the picture shows and a key press ends it with status 0.
RUN_CHECK = r'''
import os, subprocess, sys
sys.path.insert(0, 'tests')
from harness import screen, xvfb
disp = xvfb.Display(640, 480, wm=True)
env = dict(os.environ, DISPLAY=disp.name, SDL_AUDIODRIVER='dummy')
proc = subprocess.Popen(['./run'], env=env, stdin=subprocess.DEVNULL)
try:
    shown = screen.picture_region(screen.wait_for_picture(disp, proc, timeout=120), 640, 480)[0]
    xvfb.settled_window(disp, proc)  # the key press goes to the window that stays
    subprocess.run(['xdotool', 'key', 'space'], env=env, check=True)
    status = proc.wait(20)
finally:
    if proc.poll() is None:
        proc.kill()
    disp.close()
print(f'./run: {shown} pixels of the picture shown, status {status} after a key press')
sys.exit(0 if shown and status == 0 else 1)
'''


def source_files():
    """The source tree's files, relative to ROOT."""
    try:
        listed = subprocess.run(['git', '-C', ROOT, 'ls-files', '-z', '--cached', '--others', '--exclude-standard'],
                                check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        names = [n for n in listed.decode().split('\0') if n]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for top, dirs, files in os.walk(ROOT):
            dirs[:] = [d for d in dirs if top != ROOT or not (d == '.git' or d == 'build' or d.startswith('build-'))]
            names += [os.path.relpath(os.path.join(top, f), ROOT) for f in files]
    # A tracked file deleted in the tree stays deleted in the copy.
    return [n for n in names if os.path.lexists(os.path.join(ROOT, n))]


def inner_results(path):
    """(name, outcome, output) for each test of the inner run, from its JUnit file."""
    results = []
    for case in ET.parse(path).getroot().iter('testcase'):
        if case.find('failure') is not None or case.get('status') == 'fail':
            outcome = 'failed'
        elif case.find('skipped') is not None or case.get('status') in ('notrun', 'disabled'):
            outcome = 'skipped'
        else:
            outcome = 'passed'
        results.append((case.get('name'), outcome, case.findtext('system-out') or ''))
    return results


def run_inside(c, files, problems):
    """Runs ./test -LE long in the chroot c on a copy of files; returns its
    time, its tests' results and its summary of the SDL 1.2 implementations."""
    c.copy_in(ROOT, '/src', files=files)
    print(f'copied {len(files)} files of {ROOT} to /src', flush=True)
    junit = '/src/build/inner-junit.xml'
    started = time.monotonic()
    done = c.run(['./test', '-LE', 'long', '--output-junit', junit], cwd='/src', check=False,
                 timeout=INNER_TIMEOUT)
    took = time.monotonic() - started
    if done.returncode != 0:
        problems.append(f'./test -LE long ended with status {done.returncode}')
    try:
        results = inner_results(c.host_path(junit))
    except (OSError, ET.ParseError) as e:
        results = []
        problems.append(f'no test results from the inner run ({e})')
    if c.run(['/usr/bin/python3', '-c', RUN_CHECK], cwd='/src', check=False, timeout=600).returncode != 0:
        problems.append('./run did not show the picture and end with status 0 on a key press')
    try:
        with open(c.host_path('/src/build/tests/sdl_impls.txt')) as f:
            impls = f.read().splitlines()
    except OSError:
        impls = []
    # The inner screenshots go with the chroot: kept beside this test's output.
    for shot in glob.glob(c.host_path('/src/build/tests/*.png')):
        shutil.copy(shot, os.path.join(OUT, 'debian13_' + os.path.basename(shot)))
    return took, results, impls


def main():
    chroot.require()
    files = source_files()
    problems = []
    try:
        with chroot.Chroot(RELEASE, parent=OUT) as c:
            took, results, impls = run_inside(c, files, problems)
    except chroot.ArchiveUnreachable as e:
        common.skip_or_fail(str(e))

    counts = {o: sum(1 for _, outcome, _ in results if outcome == o) for o in ('passed', 'skipped', 'failed')}
    print(f'Debian 13: ./test -LE long took {took:.0f} s: {counts["passed"]} passed, {counts["skipped"]} skipped, '
          f'{counts["failed"]} failed', flush=True)
    print('\n'.join(f'  {line}' for line in impls))
    for name, outcome, output in results:
        if outcome == 'failed':
            problems.append(f'{name} failed')
        elif outcome == 'skipped' and CANNOT_BE_HAD not in output:
            problems.append(f'{name} was skipped for another reason than its SDL 1.2 not being had: {output.strip()}')
        elif outcome == 'skipped' and name.endswith('_compat'):
            problems.append(f'{name} was skipped, but Debian 13 has the SDL2-based SDL 1.2')
    compat = [line.split() for line in impls if line.startswith('compat ')]
    if not (compat and sdl_impl.kind(compat[0][1]) == 'compat'):
        problems.append(f'the inner run did not test the SDL2-based SDL 1.2: {impls}')
    if not counts['passed']:
        problems.append('no test passed in the inner run')
    for problem in problems:
        print(f'FAIL: {problem}')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
