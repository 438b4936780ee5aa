#!/usr/bin/env python3
"""The package on a fresh Debian: apt installs it and everything it needs into
a minimal chroot, its desktop entry is launched there as a desktop launches it
(gio launch) onto a virtual X server with a window manager, it shows the
picture on black and a key press ends it with status 0, and purging it leaves
the chroot as it was. Once on the classic SDL 1.2, once on the SDL2-based one.

The X server, the window manager and the screenshots are this machine's: the
chroot is the system under test, the display is the desktop it runs on."""
import hashlib
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import chroot, common, screen, tumble, xvfb  # noqa: E402

DEB = os.environ.get('TUMBLE_DEB', '')
RELEASE = os.environ.get('TUMBLE_RELEASE', 'bookworm')
W, H = 800, 600
# Which SDL 1.2 each round runs on, and what is installed before the package
# for it. Debian 13's libsdl1.2debian is itself the SDL2-based one
# (TUMBLE_RELEASE=trixie checks it; CTest runs Debian 12 only).
ROUNDS = {'bookworm': (('classic', ''), ('compat', 'libsdl1.2-compat-shim')),
          'trixie': (('compat', ''),)}

# Run in the chroot: becomes the subreaper of what it starts, so tumble, which
# the launcher starts and leaves behind, is handed to it when the launcher
# exits; then reports the exit status of every such process it reaps. perl
# is in every Debian; 157 is prctl on x86-64, 36 PR_SET_CHILD_SUBREAPER.
REAPER = r'''
syscall(157, 36, 1) == 0 or die "prctl: $!";
system(@ARGV) == 0 or die "@ARGV failed: $?";
while ((my $pid = wait()) > 0) { printf "reaped %d status %d signal %d\n", $pid, $? >> 8, $? & 127; }
'''


def listing(root):
    """Every path under root with its kind and content checksum (or link
    target), leaving out apt's and dpkg's own records and caches."""
    skip = {os.path.join(root, p) for p in ('var/lib/dpkg', 'var/lib/apt', 'var/cache', 'var/log', 'proc', 'sys',
                                            'dev', 'run', 'tmp')}
    entries = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) not in skip]
        for name in dirs + files:
            path = os.path.join(folder, name)
            rel = os.path.relpath(path, root)
            if os.path.islink(path):
                entries[rel] = 'link ' + os.readlink(path)
            elif os.path.isdir(path):
                entries[rel] = 'dir'
            else:
                with open(path, 'rb') as f:
                    entries[rel] = hashlib.sha256(f.read()).hexdigest()
    return entries


def tumble_in(root):
    """The pid of the tumble running from root's /usr/games/tumble, or None."""
    target = os.path.join(root, 'usr/games/tumble')
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if os.readlink(f'/proc/{pid}/exe') == target:
                return int(pid)
        except OSError:
            pass
    return None


def running_in(root):
    """(pid, name) of the processes whose root is root."""
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            if os.readlink(f'/proc/{pid}/root') == root:
                with open(f'/proc/{pid}/comm') as f:
                    found.append((int(pid), f.read().strip()))
        except OSError:
            pass
    return found


@unittest.skipUnless(os.path.isfile(DEB) or common.in_ci(), f'no package at {DEB!r}: run ./package')
class FreshSystem(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        try:
            cls.box = chroot.Chroot(RELEASE, parent=common.OUT).__enter__()
        except chroot.ArchiveUnreachable as e:
            common.skip_or_fail(str(e))
        cls.box.copy_in(DEB, '/tmp/tumble.deb')
        started = time.monotonic()
        cls.box.run('apt-get update -q && apt-get install -y -q --no-install-recommends libglib2.0-bin',
                    capture=True)
        print(f'{RELEASE}: gio installed in {time.monotonic() - started:.0f} s', flush=True)
        cls.before = listing(cls.box.root)

    @classmethod
    def tearDownClass(cls):
        cls.box.close()

    def apt(self, command):
        started = time.monotonic()
        done = self.box.run('apt-get ' + command, capture=True, check=False)
        self.assertEqual(done.returncode, 0, done.stdout)
        print(f'{RELEASE}: apt-get {command}: {time.monotonic() - started:.0f} s', flush=True)

    def launch(self, disp, sdl):
        """Launches the desktop entry, checks the picture shows on black on the
        intended SDL, presses a key and returns tumble's exit status and signal.
        The user's home is a throwaway one: what the desktop keeps there (caches)
        is the user's, not the system's, and no purge touches it."""
        reports = []
        launcher = threading.Thread(target=lambda: reports.append(self.box.run(
            ['perl', '-e', REAPER, 'gio', 'launch', '/usr/share/applications/tumble.desktop'],
            env={'DISPLAY': disp.name, 'SDL_AUDIODRIVER': 'dummy', 'HOME': '/tmp/home'}, capture=True, check=False,
            timeout=60)))
        launcher.start()
        try:
            deadline = time.monotonic() + 30
            while (pid := tumble_in(self.box.root)) is None and launcher.is_alive() and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertIsNotNone(pid, f'tumble did not start: {reports}')
            self.assertEqual(os.readlink(f'/proc/{pid}/cwd'), os.path.join(self.box.root, 'usr/share/games/tumble'))
            sdl_lib = tumble.loaded_sdl(pid) or ''
            classic = sdl_lib.endswith('libSDL-1.2.so.0.11.4')
            # Debian 12's shim keeps it under sdl12-compat/; Debian 13 installs it as libSDL-1.2.so.1.2.6x.
            compat = 'sdl12-compat' in sdl_lib or '/libSDL-1.2.so.1.2.' in sdl_lib
            self.assertTrue(classic if sdl == 'classic' else compat, f'expected the {sdl} SDL 1.2, ran {sdl_lib}')
            while True:
                shot = os.path.join(common.OUT, f'fresh_{RELEASE}_{sdl}.png')
                rgb = disp.screenshot(shot)
                count = screen.picture_region(rgb, W, H)[0]
                if count > 1000 or time.monotonic() > deadline:
                    break
                time.sleep(0.1)
            self.assertTrue(1000 < count < W * H / 4, f'the picture on black: {count} lit pixels, see {shot}')
            time.sleep(0.5)  # the window manager's focus settles on the new window
            subprocess.run(['xdotool', 'key', 'space'], env=dict(os.environ, DISPLAY=disp.name), check=True)
        finally:
            launcher.join(30)
        self.assertFalse(launcher.is_alive(), f'still running after the key press: {running_in(self.box.root)}')
        out = reports[0].stdout
        reaped = [line.split() for line in out.splitlines() if line.startswith('reaped ')]
        self.assertEqual(len(reaped), 1, out)
        return int(reaped[0][3]), int(reaped[0][5]), out

    def test_install_launch_and_purge(self):
        for sdl, first in ROUNDS.get(RELEASE, ROUNDS['bookworm']):
            with self.subTest(sdl=sdl):
                if first:
                    self.apt(f'install -y -q --no-install-recommends {first}')
                self.apt('install -y -q --no-install-recommends /tmp/tumble.deb')
                disp = xvfb.Display(W, H, wm=True)
                try:
                    status, signal, out = self.launch(disp, sdl)
                finally:
                    disp.close()
                self.assertEqual((status, signal), (0, 0), out)
                self.apt(f'purge -y -q --autoremove tumble {first}')
                after = listing(self.box.root)
                changed = sorted(p for p in set(self.before) | set(after) if self.before.get(p) != after.get(p))
                self.assertEqual(changed, [], 'purge leaves the system as it was')


if __name__ == '__main__':
    chroot.require()
    unittest.main()
