#!/usr/bin/env python3
"""Runs the real tumble under a virtual X server for the tests, and works out
on its own what tumble should do, so the tests can compare the two.

The tests get their paths from the environment (set by tests/CMakeLists.txt):
  TUMBLE_BIN            the tumble executable
  TUMBLE_SHIM           tumble_shim.so (see shim.c for its variables and log)
  TUMBLE_SDL            classic | compat: which SDL 1.2 implementation to run on
  TUMBLE_CLASSIC_LIBDIR folder holding the classic libSDL-1.2.so.0 (1.2.15)
  TUMBLE_COMPAT_LIBDIR  folder holding the SDL2-based libSDL-1.2.so.0 (sdl12-compat)
  TUMBLE_ASSETS         folder with the default tavrin.png and tavrin.ogg
  TUMBLE_TEST_OUT       where screenshots are kept
  TUMBLE_SANITIZED      1 when tumble was built with ASan/UBSan

As a tool, from the source tree after a build:
  python3 tests/harness.py screenshot OUT.png [--size 1280x720] [--sdl classic]
          [--assets build/run] [--after 2.0] [--wayland]
(the implementations' folders come from build/CMakeCache.txt unless given)
--wayland takes it under weston, natively, on the SDL2-based library.
"""
import argparse
import atexit
import contextlib
import math
import os
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zlib

import sdl_impl

HERE = os.path.dirname(os.path.abspath(__file__))
BUILD = os.path.join(os.path.dirname(HERE), 'build')
BIN = os.path.abspath(os.environ.get('TUMBLE_BIN', os.path.join(BUILD, 'tumble')))
SHIM = os.path.abspath(os.environ.get('TUMBLE_SHIM', os.path.join(BUILD, 'tests', 'tumble_shim.so')))
SDL = os.environ.get('TUMBLE_SDL', 'classic')
CLASSIC_LIBDIR = os.environ.get('TUMBLE_CLASSIC_LIBDIR', '')
COMPAT_LIBDIR = os.environ.get('TUMBLE_COMPAT_LIBDIR', '')
ASSETS = os.environ.get('TUMBLE_ASSETS', os.path.join(BUILD, 'run'))
OUT = os.environ.get('TUMBLE_TEST_OUT', tempfile.gettempdir())
SANITIZED = os.environ.get('TUMBLE_SANITIZED', '0') not in ('', '0', 'OFF', 'FALSE')

_tmp_root = tempfile.mkdtemp(prefix='tumble-test-')
atexit.register(shutil.rmtree, _tmp_root, True)

# ---- what tumble should do, worked out independently ----------------------

def glibc_rand(n):
    """The first n values of glibc's rand() from its default seed (1)."""
    r = [1]
    for i in range(1, 31):
        r.append(16807 * r[-1] % 2147483647)
    r += r[:3]
    for i in range(34, 344 + n):
        r.append((r[i - 31] + r[i - 3]) & 0xFFFFFFFF)
    return tuple(v >> 1 for v in r[344:])


RAND = glibc_rand(3)  # (1804289383, 846930886, 1681692777)


def unseeded(draws):
    """Whether draws follow each other in glibc's unseeded rand() sequence.
    Not always from its start: libraries may draw first (Mesa, presenting for
    the SDL2-based SDL 1.2, does on a cold shader cache)."""
    sequence = glibc_rand(1000)
    return any(sequence[i:i + len(draws)] == tuple(draws) for i in range(len(sequence) - len(draws) + 1))


def f32(x):
    """x rounded to single precision (and widened back)."""
    return struct.unpack('<f', struct.pack('<f', x))[0]


ANGLE_STEP = f32(1.3)  # 1.2999999523162842


def half(n):
    """Integer half rounded toward zero, as C's n / 2."""
    return int(n / 2)


def s16(v):
    return (v + 0x8000) % 0x10000 - 0x8000


def blit_rect(x, y, w, h):
    """blit_at's destination rectangle for a w x h surface centred on (x, y)."""
    return s16(s16(x) - half(w)), s16(s16(y) - half(h)), w & 0xFFFF, h & 0xFFFF


def animation(w, h, draws=RAND):
    """Yields, frame by frame, (angle, zoom, x, y): the turn and scale asked of
    rotozoomSurface and the point the turned picture is centred on, from the
    three values rand() gave."""
    base_zoom = f32(w / 1280.0)
    vel_x = vel_y = f32(w / 640.0)
    pos_x, pos_y = f32(draws[0] % w), f32(draws[1] % h)
    angle = float(draws[2] % 359)
    while True:
        yield angle, (math.sin(angle * 0.01) * 0.25 + 0.75) * base_zoom, int(pos_x), int(pos_y)
        if pos_x > w or pos_x < 0:
            vel_x = -vel_x
        if pos_y > h or pos_y < 0:
            vel_y = -vel_y
        angle += ANGLE_STEP
        pos_x, pos_y = f32(pos_x + vel_x), f32(pos_y + vel_y)


# ---- test files ------------------------------------------------------------

def png_chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def png(w, h, pixel, extra=b''):
    """A PNG (8-bit RGB) of w x h, pixel(x, y) giving (r, g, b); extra (whole
    chunks) goes between the header and the image data."""
    rows = b''.join(b'\0' + bytes(c for x in range(w) for c in pixel(x, y)) for y in range(h))
    return (b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) + extra
            + png_chunk(b'IDAT', zlib.compress(rows)) + png_chunk(b'IEND', b''))


def png_size(path):
    with open(path, 'rb') as f:
        head = f.read(24)
    return struct.unpack('>II', head[16:24])


_small_assets = {}


def small_assets():
    """A small picture with no black in it, lighter at the top so a turn shows,
    and one second of a loud tone as music. Made once per process."""
    if not _small_assets:
        pic = os.path.join(_tmp_root, 'picture.png')
        with open(pic, 'wb') as f:
            f.write(png(120, 80, lambda x, y: (255 - y, 60 + x, 40 + (x ^ y) % 128)))
        ogg = os.path.join(_tmp_root, 'music.ogg')
        subprocess.run(['sox', '-n', '-r', '22050', '-c', '2', ogg, 'synth', '1', 'sine', '440', 'vol', '0.5'],
                       check=True)
        _small_assets.update({'tavrin.png': pic, 'tavrin.ogg': ogg})
    return dict(_small_assets)


def default_assets():
    """The generator's picture and music when they have been built, else the test ones."""
    found = {n: os.path.join(ASSETS, n) for n in ('tavrin.png', 'tavrin.ogg')}
    return found if all(os.path.isfile(p) for p in found.values()) else small_assets()


# ---- the virtual X server ---------------------------------------------------

class Display:
    """An Xvfb of the given size, with openbox on it when wm is set (the
    SDL2-based implementation needs a window manager to go full-screen)."""

    def __init__(self, w, h, wm=None):
        self.w, self.h = w, h
        self.procs = []
        read_fd, write_fd = os.pipe()
        self.procs.append(subprocess.Popen(
            ['Xvfb', '-displayfd', str(write_fd), '-screen', '0', f'{w}x{h}x24', '-nolisten', 'tcp', '-noreset'],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        os.close(write_fd)
        number = b''
        while not number.endswith(b'\n'):
            if not select.select([read_fd], [], [], 20)[0]:
                self.close()
                raise RuntimeError('Xvfb did not start')
            part = os.read(read_fd, 16)
            if not part:
                self.close()
                raise RuntimeError('Xvfb did not start')
            number += part
        os.close(read_fd)
        self.name = ':' + number.decode().strip()
        self.env = {'DISPLAY': self.name}
        if wm if wm is not None else SDL == 'compat':
            ready = tempfile.mktemp(dir=_tmp_root)
            self.procs.append(subprocess.Popen(
                ['openbox', '--sm-disable', '--startup', f'touch {ready}'], env=dict(os.environ, DISPLAY=self.name),
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            deadline = time.monotonic() + 20
            while not os.path.exists(ready):
                if time.monotonic() > deadline:
                    self.close()
                    raise RuntimeError('openbox did not start')
                time.sleep(0.02)

    def close(self):
        for p in reversed(self.procs):
            p.terminate()
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
        self.procs = []

    def screenshot(self, png_path=None):
        """The whole screen as raw RGB bytes (3 per pixel), also saved as a PNG when asked."""
        # xwd walks the window tree; a window that goes away meanwhile (the SDL2-based
        # library swapping its windows while it goes full-screen) fails it with BadWindow.
        for attempt in range(5):
            grab = subprocess.run(['xwd', '-root', '-silent', '-display', self.name],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            if grab.returncode == 0:
                break
            time.sleep(0.05)
        else:
            raise RuntimeError(f'xwd failed: {grab.stderr.decode(errors="replace")}')
        xwd = grab.stdout
        if png_path:
            subprocess.run(['convert', 'xwd:-', 'png:' + png_path], input=xwd, check=True)
        rgb = subprocess.run(['convert', 'xwd:-', '-depth', '8', 'rgb:-'], input=xwd, check=True,
                             stdout=subprocess.PIPE).stdout
        assert len(rgb) == self.w * self.h * 3, 'screenshot of the whole screen'
        return rgb

    def xdotool(self, *args):
        """Types or clicks into the server, as its user would."""
        subprocess.run(['xdotool', *args], env=dict(os.environ, DISPLAY=self.name), check=True)


class Weston:
    """weston on its X11 backend, its window filling an Xvfb of w x h: a
    compositor with a real seat (xdotool on the Xvfb types and clicks into it)
    whose output the Xvfb's root window shows. At scale 2 its clients see an
    output of (w / 2) x (h / 2). With xwayland its clients are X clients of the
    X server it runs, and name is that display."""

    def __init__(self, w, h, scale=1, xwayland=False):
        self.w, self.h = w, h
        self.xvfb = Display(w, h, wm=False)
        runtime = tempfile.mkdtemp(dir=_tmp_root)  # mode 0700, as Wayland wants
        log = os.path.join(runtime, 'weston.log')
        env = {k: v for k, v in os.environ.items() if k not in ('WAYLAND_DISPLAY', 'WAYLAND_SOCKET')}
        env.update(DISPLAY=self.xvfb.name, XDG_RUNTIME_DIR=runtime)
        self.proc = subprocess.Popen(
            ['weston', '--backend=x11-backend.so', '--use-pixman', f'--width={w // scale}',
             f'--height={h // scale}', f'--scale={scale}', '--socket=wayland-tumble', '--no-config',
             '--idle-time=0', f'--log={log}', *(['--xwayland'] if xwayland else [])],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.name, self.env = 'wayland-tumble', {'WAYLAND_DISPLAY': 'wayland-tumble', 'XDG_RUNTIME_DIR': runtime}
        # Ready once its desktop (background and panel) is drawn, and with
        # xwayland once it names the X display.
        deadline = time.monotonic() + 20
        while True:
            rgb = self.screenshot()
            row = self.w * 3
            drawn = all(rgb[y * row:(y + 1) * row].count(0) < row for y in (2, self.h // 2))
            if xwayland and drawn:
                with open(log, errors='replace') as f:
                    listening = re.search(r'xserver listening on display (:\d+)', f.read())
                if listening:
                    self.name, self.env = listening[1], {'DISPLAY': listening[1]}
                    break
            elif drawn:
                break
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError(f'weston did not start, see {log}')
            time.sleep(0.05)

    def screenshot(self, png_path=None):
        return self.xvfb.screenshot(png_path)

    def xdotool(self, *args):
        self.xvfb.xdotool(*args)

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.xvfb.close()


# ---- a real sound server ---------------------------------------------------

class SoundServer:
    """PipeWire, WirePlumber and PipeWire's PulseAudio service, started as a
    desktop starts them but in a runtime folder and a D-Bus session of their
    own, with a null sink as the default output. env is what a client needs to
    find them (as a user's session sets it); record() captures what reaches
    the sink. stop() hangs the server: it still accepts connections and never
    answers them; kill() ends it."""

    SERVER = ('pipewire', 'wireplumber', 'pipewire-pulse')
    SINK = 'tumble_out'

    def __init__(self, timeout=20):
        self.runtime = tempfile.mkdtemp(dir=_tmp_root)  # mode 0700, as PipeWire wants
        bus = os.path.join(self.runtime, 'bus')
        self.env = {'XDG_RUNTIME_DIR': self.runtime, 'DBUS_SESSION_BUS_ADDRESS': f'unix:path={bus}'}
        # Nothing of the caller's own session, and a home of its own for
        # WirePlumber's stored state (a default sink from another run).
        self._env = {k: v for k, v in os.environ.items()
                     if not k.startswith(('PULSE_', 'PIPEWIRE_', 'DBUS_', 'XDG_', 'WAYLAND_'))}
        self._env.update(self.env, HOME=self.runtime)
        self.procs, self.recorders = [], []
        self.log = open(os.path.join(self.runtime, 'server.log'), 'w')
        try:
            self._start(['dbus-daemon', '--session', f'--address=unix:path={bus}', '--nofork', '--nopidfile'])
            self._wait(lambda: os.path.exists(bus), timeout, 'dbus-daemon')
            # Its clients fail, and stay failed, when the daemon does not answer yet.
            self._start(['pipewire'])
            self._wait(lambda: os.path.exists(os.path.join(self.runtime, 'pipewire-0')), timeout, 'pipewire')
            self._start(['wireplumber'])
            self._start(['pipewire-pulse'])
            self._wait(lambda: self.pactl('info', check=False).returncode == 0, timeout, 'pipewire-pulse')
            self.pactl('load-module', 'module-null-sink', f'sink_name={self.SINK}')
            # The sink's node comes up a moment after the module.
            self._wait(lambda: self.pactl('set-default-sink', self.SINK, check=False).returncode == 0
                       and self.pactl('get-default-sink').stdout.strip() == self.SINK, timeout, 'the null sink')
        except BaseException:
            self.close()
            raise

    def _start(self, command):
        self.procs.append(subprocess.Popen(command, env=self._env, stdin=subprocess.DEVNULL, stdout=self.log,
                                           stderr=subprocess.STDOUT))

    def _wait(self, ready, timeout, name):
        deadline = time.monotonic() + timeout
        while not ready():
            if time.monotonic() > deadline or any(p.poll() is not None for p in self.procs):
                raise RuntimeError(f'{name} did not start, see {self.log.name}')
            time.sleep(0.05)

    def pactl(self, *args, check=True):
        return subprocess.run(['pactl', *args], env=self._env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, check=check, timeout=10)

    def record(self, path, rate=44100):
        """Starts recording what reaches the sink into path, raw signed 16-bit
        stereo at rate; ends with stop_recording() or close(). (At parec's
        own latency, about two seconds, the last of the sound would never
        reach the file.)"""
        self.recorders.append(subprocess.Popen(
            ['parec', '-d', f'{self.SINK}.monitor', '--raw', '--format=s16le', f'--rate={rate}', '--channels=2',
             '--latency-msec=100', path], env=self._env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=self.log))

    def stop_recording(self):
        for p in self.recorders:
            p.terminate()
            p.wait(5)
        self.recorders = []

    def _server(self):
        return [p for p in self.procs if os.path.basename(p.args[0]) in self.SERVER]

    def stop(self):
        """Hangs the server (SIGSTOP): the daemon, its PulseAudio service and
        the session manager, whichever of them a client talks to."""
        for p in self._server():
            p.send_signal(signal.SIGSTOP)

    def kill(self):
        for p in self._server():
            p.kill()
            p.wait()

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGCONT)
        for p in self.recorders + self.procs[::-1]:
            if p.poll() is None:
                p.terminate()
                try:
                    p.wait(5)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        self.procs, self.recorders = [], []
        self.log.close()


_displays = {}


def display(w, h):
    """One shared server per size for the whole test file."""
    if (w, h) not in _displays:
        _displays[(w, h)] = Display(w, h)
    return _displays[(w, h)]


@atexit.register
def _close_displays():
    for d in _displays.values():
        d.close()


# ---- running tumble ---------------------------------------------------------

class Rec:
    """One line of the shim's log: name, frame, start and duration in ns,
    the arguments and the results as dicts."""
    __slots__ = ('name', 'frame', 't', 'dur', 'args', 'res')

    def __init__(self, line):
        fields = line.split()
        self.name, self.frame, self.t, self.dur = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
        self.args, self.res = {}, {}
        into = self.args
        for field in fields[4:]:
            if field == '->':
                into = self.res
            else:
                key, _, value = field.partition('=')
                into[key] = _value(value)

    def __repr__(self):
        def pairs(d):
            return ' '.join(f'{k}={v}' for k, v in d.items())
        return f'<{self.name} frame {self.frame} {pairs(self.args)} -> {pairs(self.res)}>'


def _value(text):
    if text.startswith('"'):
        return text.strip('"')
    for kind in (lambda t: int(t, 0), float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


class Result:
    def __init__(self, status, stderr, log):
        self.status, self.stderr, self.log = status, stderr, log
        self.calls = [r for r in log if r.name not in ('start', 'end', 'rss', 'signal')]

    def named(self, *names):
        return [r for r in self.calls if r.name in names]

    @property
    def flips(self):
        return len(self.named('SDL_Flip'))

    def startup(self):
        """The calls before the first frame's first SDL_PollEvent."""
        return self.calls[:self._first_poll()]

    def frame(self, n):
        """The calls of frame n, from its first SDL_PollEvent on."""
        return [r for r in self.calls[self._first_poll():] if r.frame == n]

    def _first_poll(self):
        return next((i for i, r in enumerate(self.calls) if r.name == 'SDL_PollEvent'), len(self.calls))

    def __repr__(self):
        return f'<status {self.status}, {self.flips} flips, stderr {self.stderr!r}>'


def base_env(disp, audio='dummy'):
    env = {k: v for k, v in os.environ.items() if not k.startswith(('TUMBLE_SHIM_', 'SDL_'))
           and k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'XDG_RUNTIME_DIR')}
    env.update(disp.env, SDL_AUDIODRIVER=audio)
    env.pop('LD_LIBRARY_PATH', None)
    if libdir():
        env['LD_LIBRARY_PATH'] = libdir()
    if SANITIZED:
        # The shim cannot come after the sanitizer runtime in LD_PRELOAD order checks;
        # the libraries' own leaks at exit are not tumble's.
        env['ASAN_OPTIONS'] = 'verify_asan_link_order=0:detect_leaks=0:' + env.get('ASAN_OPTIONS', '')
    return env


def workdir(files):
    """A fresh working directory holding files (name -> source path)."""
    d = tempfile.mkdtemp(dir=_tmp_root)
    for name, source in files.items():
        if source is not None:
            os.symlink(os.path.abspath(source), os.path.join(d, name))
    return d


def run(disp, files=None, events=(), fail=(), nodelay=True, args=(), timeout=60, env=None, calls=None, wrap=()):
    """Runs tumble with the shim in a fresh directory holding files (default:
    the test picture and music; a name mapped to None is left out). events and
    fail are items of the shim's TUMBLE_SHIM_EVENTS / TUMBLE_SHIM_FAIL. Kills
    a hung tumble and fails the test. Checks that the intended libSDL ran.
    wrap is a command put in front of tumble's (valgrind, say)."""
    files = dict(small_assets(), **(files or {}))
    log = os.path.join(_tmp_root, f'log{time.monotonic_ns()}')
    e = base_env(disp)
    e.update(LD_PRELOAD=SHIM, TUMBLE_SHIM_LOG=log, TUMBLE_SHIM_NODELAY='1' if nodelay else '0',
             TUMBLE_SHIM_EVENTS=','.join(events), TUMBLE_SHIM_FAIL=','.join(fail))
    if calls:
        e['TUMBLE_SHIM_CALLS'] = ','.join(calls)
    e.update(env or {})
    p = subprocess.Popen([*wrap, BIN, *args], cwd=workdir(files), env=e, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        _, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGTERM)  # the shim writes out its log first
        try:
            _, err = p.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            _, err = p.communicate()
        raise AssertionError(f'tumble still running after {timeout} s; stderr: {err.decode(errors="replace")}')
    with open(log) as f:
        records = [Rec(line) for line in f if line.strip()]
    os.unlink(log)
    result = Result(p.returncode, err.decode(errors='replace'), records)
    start = [r for r in records if r.name == 'start']
    assert start, f'the shim did not load: {result}'
    check_sdl(start[0].args['sdl'], str(start[0].args['version']))
    return result


def libdir():
    """The folder of the libSDL-1.2.so.0 of the implementation under test."""
    return CLASSIC_LIBDIR if SDL == 'classic' else COMPAT_LIBDIR


def check_sdl(path, version=None):
    """The library that ran (its resolved path, and the version it reported,
    asked of it when not given) is the one this test is for."""
    version = version or sdl_impl.version(path)
    assert sdl_impl.kind(version) == SDL, f'expected {sdl_impl.NAMES[SDL]}, ran {path}, version {version}'
    assert path == sdl_impl.library(libdir()), f'expected the libSDL in {libdir()}, ran {path}'


@contextlib.contextmanager
def plain(disp, files, env=None, bin=BIN, cwd=None):
    """tumble without the shim, as a user runs it (bin, in cwd when given, else
    in a fresh directory holding files; a variable of env mapped to None, say
    SDL_AUDIODRIVER, is left out). Yields the process; once the block is left
    it has ended (killed if it had to be) and its standard error is in
    .stderr_text."""
    e = base_env(disp)
    e.update(env or {})
    e = {k: v for k, v in e.items() if v is not None}
    proc = subprocess.Popen([bin], cwd=cwd or workdir(files), env=e, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.stderr_text = proc.communicate()[1].decode(errors='replace')


def loaded_sdl(pid):
    """Resolved path of the libSDL-1.2 mapped into a running process."""
    with open(f'/proc/{pid}/maps') as f:
        for line in f:
            if 'libSDL-1.2.so' in line:
                return os.path.realpath(line.split(None, 5)[5].strip())
    return None


def picture_region(rgb, w, h):
    """Count and bounding box (x0, y0, x1, y1) of the pixels that are not black."""
    count, x0, y0, x1, y1 = 0, w, h, -1, -1
    for y in range(h):
        row = rgb[y * w * 3:(y + 1) * w * 3]
        if row.count(0) == len(row):
            continue
        for x in range(w):
            if row[x * 3] or row[x * 3 + 1] or row[x * 3 + 2]:
                count += 1
                x0, x1, y0, y1 = min(x0, x), max(x1, x), min(y0, y), max(y1, y)
    return count, (x0, y0, x1, y1)


def wait_for_picture(disp, proc, timeout=20):
    """Screenshots until the picture is on the black screen (not a compositor's
    desktop still showing); returns the last one."""
    deadline = time.monotonic() + timeout
    while True:
        rgb = disp.screenshot()
        on_black = rgb.count(0) > len(rgb) // 2 and picture_region(rgb, disp.w, disp.h)[0]
        if on_black or time.monotonic() > deadline or proc.poll() is not None:
            return rgb
        time.sleep(0.1)


def settled_window(disp, proc, timeout=15):
    """The id of tumble's window once the window manager's list has held that
    one window for a second. The SDL2-based implementation shows its first
    frames in a window that it then replaces with the full-screen one; a
    request sent before that can land on the window going away."""
    env = dict(os.environ, DISPLAY=disp.name)
    seen, since, deadline = None, time.monotonic(), time.monotonic() + timeout
    while time.monotonic() - since < 1 and time.monotonic() < deadline:
        assert proc.poll() is None, 'tumble ended by itself'
        windows = subprocess.run(['wmctrl', '-l'], env=env, check=True, stdout=subprocess.PIPE,
                                 text=True).stdout.splitlines()
        assert len(windows) <= 1, windows
        if windows != seen:
            seen, since = windows, time.monotonic()
        time.sleep(0.1)
    assert seen and len(seen) == 1, f'no one window settled: {seen}'
    return seen[0].split()[0]


def configured_libdir(impl, build=BUILD):
    """The implementation's folder as the build in build was configured with."""
    try:
        with open(os.path.join(build, 'CMakeCache.txt')) as f:
            for line in f:
                if line.startswith(f'TUMBLE_{impl.upper()}_LIBDIR:'):
                    return line.split('=', 1)[1].strip()
    except OSError:
        pass
    return ''


def main():
    global SDL, ASSETS, CLASSIC_LIBDIR, COMPAT_LIBDIR
    parser = argparse.ArgumentParser(description='Take a screenshot of tumble running under Xvfb or weston.')
    parser.add_argument('command', choices=['screenshot'])
    parser.add_argument('out')
    parser.add_argument('--size', default='1280x720')
    parser.add_argument('--sdl', choices=['classic', 'compat'], default=SDL)
    parser.add_argument('--assets', default=ASSETS)
    parser.add_argument('--after', type=float, default=2.0, help='seconds to let it run first')
    parser.add_argument('--classic-libdir', default=CLASSIC_LIBDIR or configured_libdir('classic'))
    parser.add_argument('--compat-libdir', default=COMPAT_LIBDIR or configured_libdir('compat'))
    parser.add_argument('--wayland', action='store_true', help='under weston, on the SDL2-based library')
    opts = parser.parse_args()
    SDL, ASSETS = 'compat' if opts.wayland else opts.sdl, opts.assets
    CLASSIC_LIBDIR, COMPAT_LIBDIR = opts.classic_libdir, opts.compat_libdir
    if not libdir():
        parser.error(f'{sdl_impl.NAMES[SDL]} cannot be had here: no folder for it (--{SDL}-libdir)')
    w, h = map(int, opts.size.split('x'))
    disp = Weston(w, h) if opts.wayland else Display(w, h)
    try:
        with plain(disp, default_assets()) as proc:
            wait_for_picture(disp, proc)
            time.sleep(opts.after)
            disp.screenshot(opts.out)
            disp.xdotool('key', 'space')
            proc.wait(10)
        print(f'{opts.out}: {w}x{h}, tumble ended with status {proc.returncode}')
    finally:
        disp.close()


if __name__ == '__main__':
    sys.exit(main())
