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

def end_process(proc):
    """Ends proc if it still runs: asked first, killed after 5 s."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


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
            end_process(p)
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


class CompositorDied(AssertionError):
    """A run failed because its compositor died under it, not through tumble."""


class Compositor:
    """What the tests ask of a Wayland compositor (Weston, Mutter, Sway): made
    by its constructor and ready for clients when that returns; env is what a
    client needs to reach it, w x h the size of screenshot()'s picture."""

    def screenshot(self, png_path=None):
        """What the compositor shows, as raw RGB bytes (3 per pixel)."""
        raise NotImplementedError

    def key(self, name):
        """A key press and release (an X keysym name) into the focused client."""
        raise NotImplementedError

    def click(self, button=1):
        """A press and release of a mouse button where the pointer is."""
        raise NotImplementedError

    def close(self):
        raise NotImplementedError

    def died(self, wait=2):
        """None while the compositor runs, else how it ended (waiting up to wait
        seconds for it to go: a client sees the socket close a little before)."""
        try:
            status = self.proc.wait(wait)
        except subprocess.TimeoutExpired:
            return None
        return f'{self.label} {ended_how(status)}{self.cause(status)}'

    def cause(self, status):
        """A known upstream fault behind status, as a clause, or ''."""
        return ''


def ended_how(status):
    if status < 0:
        return f'was killed by signal {-status} ({signal.Signals(-status).name})'
    return f'ended with status {status}'


def program_version(command):
    """The first dotted number that `command --version` prints, as a tuple, or ()."""
    try:
        out = subprocess.run([command, '--version'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, timeout=20).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ()
    found = re.search(r'(\d+)\.(\d+)(?:\.(\d+))?', out)
    return tuple(int(n) for n in found.groups() if n is not None) if found else ()


class Weston(Compositor):
    """weston on its X11 backend, its windows on an Xvfb: a compositor with a
    real seat (xdotool on the Xvfb types and clicks into it) whose outputs the
    Xvfb's root window shows, side by side when there are several (outputs of
    w x h each). At scale 2 its clients see outputs of (w / 2) x (h / 2). With
    xwayland its clients are X clients of the X server it runs, and name is
    that display."""

    label = 'weston'

    def __init__(self, w, h, scale=1, xwayland=False, outputs=1):
        self.w, self.h, self.out_w, self.arrow = w * outputs, h, w, None
        self.xvfb = Display(self.w, h, wm=False)
        runtime = tempfile.mkdtemp(dir=_tmp_root)  # mode 0700, as Wayland wants
        self.log = os.path.join(runtime, 'weston.log')
        env = {k: v for k, v in os.environ.items() if k not in ('WAYLAND_DISPLAY', 'WAYLAND_SOCKET')}
        env.update(DISPLAY=self.xvfb.name, XDG_RUNTIME_DIR=runtime)
        self.proc = subprocess.Popen(
            ['weston', '--backend=x11-backend.so', '--use-pixman', f'--width={w // scale}',
             f'--height={h // scale}', f'--scale={scale}', f'--output-count={outputs}',
             '--socket=wayland-tumble', '--no-config', '--idle-time=0', f'--log={self.log}',
             *(['--xwayland'] if xwayland else [])],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.name, self.env = 'wayland-tumble', {'WAYLAND_DISPLAY': 'wayland-tumble', 'XDG_RUNTIME_DIR': runtime}
        try:
            self._settle(outputs, xwayland)
        except BaseException:
            self.close()
            raise
        # weston 14 sometimes keeps its arrow drawn where _settle() put the
        # pointer, over a full-screen client that hid it (see the README):
        # screenshot() leaves out that square, the compositor's drawing.
        if program_version('weston')[:1] == (14,):
            # Its image reaches a pixel above and left of the pointer's place.
            self.arrow = (self.out_w // 2 - 4 * scale, self.h // 2 - 4 * scale, 40 * scale)

    def _settle(self, outputs, xwayland):
        # Its output windows all open at the Xvfb's origin: set side by side.
        deadline = time.monotonic() + 20
        while outputs > 1:
            tree = subprocess.run(['xwininfo', '-root', '-children', '-display', self.xvfb.name],
                                  stdout=subprocess.PIPE, text=True).stdout
            found = {int(n): w for w, n in re.findall(r'(0x[0-9a-f]+) "Weston Compositor - screen(\d+)"', tree)}
            if len(found) == outputs:
                for n, window in found.items():
                    self.xdotool('windowmove', '--sync', window, str(n * self.out_w), '0')
                break
            self._check_alive(deadline)
            time.sleep(0.05)
        # Ready once its desktop (background and panel) is drawn on every
        # output, the same in two screenshots (a moved window shows what lay
        # under it until weston draws it again), and with xwayland once it
        # names the X display.
        last = None
        while True:
            rgb = self.screenshot()
            row = self.w * 3
            drawn = rgb == last and all(rgb[y * row + x * 3:y * row + (x + self.out_w) * 3].count(0) < self.out_w * 3
                                        for y in (2, self.h // 2) for x in range(0, self.w, self.out_w))
            last = rgb
            if xwayland and drawn:
                with open(self.log, errors='replace') as f:
                    listening = re.search(r'xserver listening on display (:\d+)', f.read())
                if listening:
                    self.name, self.env = listening[1], {'DISPLAY': listening[1]}
                    break
            elif drawn:
                break
            self._check_alive(deadline)
            time.sleep(0.05)
        # weston 14 can crash when a full-screen client locks the pointer while
        # its pointer has no focus (see cause()): the pointer goes into the first
        # output before any client comes, as a user's would be.
        self.xdotool('mousemove', str(self.out_w // 2), str(self.h // 2))

    def _check_alive(self, deadline):
        if self.proc.poll() is not None or time.monotonic() > deadline:
            raise RuntimeError(f'weston did not start, see {self.log}')

    def cause(self, status):
        if status == -signal.SIGSEGV and program_version('weston')[:1] == (14,):
            return ("; weston 14's known crash: a null view in weston_view_update_transform(), reached from "
                    "init_pointer_constraint() when a full-screen client locks or confines the pointer while "
                    "weston's pointer has no focus")
        return ''

    def screenshot(self, png_path=None):
        rgb = self.xvfb.screenshot(png_path)
        if not self.arrow:
            return rgb
        x, y, side = self.arrow
        rgb = bytearray(rgb)
        for row in range(y, min(y + side, self.h)):
            start = (row * self.w + x) * 3
            rgb[start:start + min(side, self.w - x) * 3] = bytes(min(side, self.w - x) * 3)
        return bytes(rgb)

    def xdotool(self, *args):
        self.xvfb.xdotool(*args)

    def key(self, name):
        self.xdotool('key', name)

    def click(self, button=1):
        self.xdotool('click', str(button))

    def close(self):
        end_process(self.proc)
        self.xvfb.close()


# ---- a real sound server ---------------------------------------------------

class SoundServer:
    """PipeWire, WirePlumber and PipeWire's PulseAudio service, started as a
    desktop starts them but in a runtime folder and a D-Bus session of their
    own, with a null sink as the default output (mutter's session too). env is what a client needs to
    find them (as a user's session sets it); record() captures what reaches
    the sink. stop() hangs the server: it still accepts connections and never
    answers them; kill() ends it."""

    SERVER = ('pipewire', 'wireplumber', 'pipewire-pulse')
    SINK = 'tumble_out'

    def __init__(self, timeout=20, tries=2):
        # On a loaded machine one of the daemons has been seen to end during
        # start-up, once in some 150 starts here: that is the test's own
        # set-up failing, not tumble, so a second server is started.
        for attempt in range(tries):
            try:
                self._start_server(timeout)
                return
            except RuntimeError as e:
                if attempt == tries - 1:
                    raise
                print(f'the sound server did not start, once more: {e}', file=sys.stderr)

    def _start_server(self, timeout):
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
            ended = [f'{os.path.basename(p.args[0])} {ended_how(p.returncode)}' for p in self.procs
                     if p.poll() is not None]
            if time.monotonic() > deadline or ended:
                self.log.flush()
                with open(self.log.name, errors='replace') as f:
                    said = f.read()[-1500:]
                raise RuntimeError(f'{name} did not start ({", ".join(ended) or "timed out"}); the server said: '
                                   f'{said}')
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
            end_process(p)
        self.procs, self.recorders = [], []
        self.log.close()


def ppm_rgb(data):
    """(w, h, raw RGB bytes) of a binary PPM (P6, maxval 255)."""
    fields = re.match(rb'P6\s+(\d+)\s+(\d+)\s+255\s', data)
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[fields.end():fields.end() + w * h * 3]


def save_rgb(rgb, w, h, png_path):
    subprocess.run(['convert', '-size', f'{w}x{h}', '-depth', '8', 'rgb:-', 'png:' + png_path], input=rgb,
                   check=True)


class Sway(Compositor):
    """sway on wlroots' headless backend, outputs of w x h side by side:
    wtype types (a virtual keyboard), grim takes screenshots (the screencopy
    protocol) and virtual_pointer() clicks."""

    label = 'sway'

    def __init__(self, w, h, outputs=1):
        self.w, self.h, self.out_w = w * outputs, h, w
        # Outside the test's own temporary folder, which only root may enter.
        self.runtime = runtime = tempfile.mkdtemp(prefix='tumble-sway-')
        config = os.path.join(runtime, 'config')
        with open(config, 'w') as f:
            for i in range(outputs):
                f.write(f'output HEADLESS-{i + 1} resolution {w}x{h} position {i * w} 0 bg #306090 solid_color\n')
            f.write('default_border none\n')
        env = {k: v for k, v in os.environ.items() if k not in ('WAYLAND_DISPLAY', 'WAYLAND_SOCKET', 'DISPLAY')}
        env.update(XDG_RUNTIME_DIR=runtime, WLR_BACKENDS='headless', WLR_LIBINPUT_NO_DEVICES='1',
                   WLR_RENDERER='pixman', WLR_HEADLESS_OUTPUTS=str(outputs))
        command = ['sway', '--config', config]
        if os.geteuid() == 0:
            # sway refuses to run as root (it checks that it could not become
            # root again); its clients here, root, can still reach its socket.
            os.chown(runtime, 65534, 65534)
            command = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', *command]
        self.log = os.path.join(_tmp_root, f'sway{time.monotonic_ns()}.log')
        with open(self.log, 'w') as log:
            self.proc = subprocess.Popen(command, env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        self.env = {'XDG_RUNTIME_DIR': runtime}
        deadline = time.monotonic() + 20
        while True:
            sockets = [n for n in os.listdir(runtime) if re.fullmatch(r'wayland-\d+', n)]
            if sockets and any(n.startswith('sway-ipc.') for n in os.listdir(runtime)):
                self.name = self.env['WAYLAND_DISPLAY'] = sockets[0]
                try:
                    # Ready once every output shows its background.
                    middle = self.screenshot()[self.h // 2 * self.w * 3:][:self.w * 3]
                    if all(middle[x * 3:(x + w) * 3].count(0) < w * 3 for x in range(0, self.w, w)):
                        break
                except (subprocess.CalledProcessError, AssertionError):
                    pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.close()
                raise RuntimeError(f'sway did not start, see {self.log}')
            time.sleep(0.1)

    def _tool(self, *command, **kwargs):
        return subprocess.run(command, env=dict(os.environ, **self.env), check=True, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=20, **kwargs).stdout

    def screenshot(self, png_path=None):
        w, h, rgb = ppm_rgb(self._tool('grim', '-t', 'ppm', '-'))
        assert (w, h) == (self.w, self.h), f'grim gave {w}x{h}'
        if png_path:
            save_rgb(rgb, w, h, png_path)
        return rgb

    def key(self, name):
        # A virtual keyboard gives the seat a keyboard only while it lasts: the
        # client needs a moment to take it up before the key comes.
        self._tool('wtype', '-s', '500', '-k', name)

    def click(self, button=1):
        virtual_pointer(dict(os.environ, **self.env), self.w // 2, self.h // 2, self.w, self.h, button)

    def close(self):
        end_process(self.proc)
        shutil.rmtree(self.runtime, True)


def virtual_pointer(env, x, y, extent_w, extent_h, button):
    """Through wlroots' virtual-pointer protocol, the one Wayland client that
    gives such a compositor a mouse: a pointer comes, moves to (x, y) of the
    layout, clicks button (1 left, 2 middle, 3 right) and goes. Spoken on the
    wire: Debian has no command for it."""
    import socket
    path = os.path.join(env['XDG_RUNTIME_DIR'], env['WAYLAND_DISPLAY'])
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(path)
    ids = iter(range(2, 1000))

    def send(obj, opcode, fmt, *args):
        body = b''
        for kind, value in zip(fmt, args):
            if kind == 's':
                raw = value.encode() + b'\0'
                body += struct.pack('<I', len(raw)) + raw + b'\0' * (-len(raw) % 4)
            else:
                body += struct.pack('<I', value & 0xFFFFFFFF)
        sock.sendall(struct.pack('<II', obj, (8 + len(body)) << 16 | opcode) + body)

    buffer = b''

    def roundtrip(on_event=lambda obj, opcode, body: None):
        nonlocal buffer
        callback = next(ids)
        send(1, 0, 'n', callback)  # wl_display.sync
        while True:
            while len(buffer) < 8 or len(buffer) < struct.unpack_from('<I', buffer, 4)[0] >> 16:
                part = sock.recv(4096)
                if not part:
                    raise RuntimeError('the compositor closed the connection')
                buffer += part
            obj, word = struct.unpack_from('<II', buffer)
            size = word >> 16
            body, buffer = buffer[8:size], buffer[size:]
            if obj == 1 and word & 0xFFFF == 0:
                raise RuntimeError(f'Wayland protocol error: {body!r}')
            if obj == callback:
                return
            on_event(obj, word & 0xFFFF, body)

    registry, globals_ = next(ids), {}
    send(1, 1, 'n', registry)  # wl_display.get_registry

    def on_global(obj, opcode, body):
        if obj == registry and opcode == 0:
            name, length = struct.unpack_from('<II', body)
            globals_[body[8:8 + length - 1].decode()] = name
    roundtrip(on_global)
    interface = 'zwlr_virtual_pointer_manager_v1'
    if interface not in globals_:
        raise RuntimeError(f'the compositor has no {interface}')
    manager, pointer = next(ids), next(ids)
    send(registry, 0, 'usun', globals_[interface], interface, 1, manager)  # wl_registry.bind
    send(manager, 0, 'un', 0, pointer)  # create_virtual_pointer on the default seat
    roundtrip()
    time.sleep(0.5)  # the clients take up the seat's new pointer
    ms = lambda: time.monotonic_ns() // 1000000  # noqa: E731
    send(pointer, 1, 'uuuuu', ms(), x, y, extent_w, extent_h)  # motion_absolute
    send(pointer, 4, '')  # frame
    roundtrip()
    time.sleep(0.2)
    code = {1: 0x110, 2: 0x112, 3: 0x111}[button]  # BTN_LEFT, BTN_MIDDLE, BTN_RIGHT
    for state in (1, 0):
        send(pointer, 2, 'uuu', ms(), code, state)  # button
        send(pointer, 4, '')
    roundtrip()
    time.sleep(0.2)
    send(pointer, 8, '')  # destroy
    roundtrip()
    sock.close()


class DBus:
    """A connection to a D-Bus bus, kept open as long as the object lives (a
    remote-desktop session lasts as long as its caller's connection), with
    blocking method calls. Just the types the tests need; little-endian only."""

    def __init__(self, address):
        import socket
        path = dict(kv.split('=', 1) for kv in address.split(':', 1)[1].split(','))['path']
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.sock.sendall(b'\0AUTH EXTERNAL ' + str(os.geteuid()).encode().hex().encode() + b'\r\n')
        reply = b''
        while not reply.endswith(b'\r\n'):
            reply += self.sock.recv(1)
        if not reply.startswith(b'OK'):
            raise RuntimeError(f'D-Bus refused: {reply!r}')
        self.sock.sendall(b'BEGIN\r\n')
        self.serial, self.buffer, self.signals = 0, b'', []
        self.call('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus', 'Hello')

    def close(self):
        self.sock.close()

    def call(self, dest, path, interface, member, sig='', *args):
        """The reply's values, as a list; raises RuntimeError on an error reply."""
        self.serial += 1
        body = _DBusWriter()
        for s, v in zip(_dbus_split(sig), args):
            body.put(s, v)
        fields = [(1, ('o', path)), (2, ('s', interface)), (3, ('s', member)), (6, ('s', dest))]
        if sig:
            fields.append((8, ('g', sig)))
        head = _DBusWriter()
        head.b += struct.pack('<4BII', ord('l'), 1, 0, 1, len(body.b), self.serial)
        head.put('a(yv)', fields)
        head.pad(8)
        self.sock.sendall(bytes(head.b + body.b))
        while True:
            kind, fields, values = self._message()
            if kind == 4:
                self.signals.append((fields.get(1), fields.get(3), values))
            elif kind in (2, 3) and fields.get(5) == self.serial:
                if kind == 3:
                    raise RuntimeError(f'{member}: {fields.get(4)}: {values}')
                return values

    def signal(self, path, member, timeout=20):
        """The values of a signal member from path, waiting for it as long as timeout."""
        deadline = time.monotonic() + timeout
        while True:
            for i, (p, m, values) in enumerate(self.signals):
                if (p, m) == (path, member):
                    del self.signals[i]
                    return values
            message = self._message(deadline)
            if message is None:
                raise RuntimeError(f'no signal {member} from {path}')
            kind, fields, values = message
            if kind == 4:
                self.signals.append((fields.get(1), fields.get(3), values))

    def _message(self, deadline=None):
        """The next message (kind, header fields, values); None once deadline has passed."""
        while True:
            if len(self.buffer) >= 16:
                body_len, _, fields_len = struct.unpack_from('<III', self.buffer, 4)
                head_len = 16 + fields_len + (-(16 + fields_len) % 8)
                if len(self.buffer) >= head_len + body_len:
                    break
            if deadline and not select.select([self.sock], [], [], max(0, deadline - time.monotonic()))[0]:
                return None
            part = self.sock.recv(65536)
            if not part:
                raise RuntimeError('the D-Bus connection closed')
            self.buffer += part
        message, self.buffer = self.buffer[:head_len + body_len], self.buffer[head_len + body_len:]
        reader = _DBusReader(message, 12)
        fields = dict(reader.get('a(yv)'))
        reader.pos = head_len
        return message[1], fields, [reader.get(s) for s in _dbus_split(fields.get(8, ''))]


def _dbus_split(sig):
    """A signature's complete types."""
    types, i = [], 0
    while i < len(sig):
        j = i
        while sig[j] == 'a':
            j += 1
        if sig[j] in '({':
            depth = 0
            while True:
                depth += {'(': 1, '{': 1, ')': -1, '}': -1}.get(sig[j], 0)
                j += 1
                if depth == 0:
                    break
        else:
            j += 1
        types.append(sig[i:j])
        i = j
    return types


_DBUS_FIXED = {'y': ('<B', 1), 'b': ('<I', 4), 'u': ('<I', 4), 'i': ('<i', 4), 'd': ('<d', 8),
               'n': ('<h', 2), 'q': ('<H', 2), 'x': ('<q', 8), 't': ('<Q', 8), 'h': ('<I', 4)}


def _dbus_align(sig):
    return 8 if sig[0] in '({dxt' else 1 if sig[0] in 'ygv' else 2 if sig[0] in 'nq' else 4


class _DBusWriter:
    def __init__(self):
        self.b = bytearray()

    def pad(self, n):
        self.b += b'\0' * (-len(self.b) % n)

    def put(self, sig, v):
        c = sig[0]
        self.pad(_dbus_align(sig))
        if c in _DBUS_FIXED:
            self.b += struct.pack(_DBUS_FIXED[c][0], v)
        elif c in 'so':
            raw = v.encode()
            self.b += struct.pack('<I', len(raw)) + raw + b'\0'
        elif c == 'g':
            self.b += bytes([len(v)]) + v.encode() + b'\0'
        elif c == 'v':
            self.put('g', v[0])
            self.put(v[0], v[1])
        elif c == 'a':
            at = len(self.b)
            self.b += b'\0\0\0\0'
            self.pad(_dbus_align(sig[1:]))
            start = len(self.b)
            for item in (v.items() if sig[1] == '{' else v):
                self.put(sig[1:], item)
            struct.pack_into('<I', self.b, at, len(self.b) - start)
        else:  # ( or {
            for s, x in zip(_dbus_split(sig[1:-1]), v):
                self.put(s, x)


class _DBusReader:
    def __init__(self, data, pos):
        self.data, self.pos = data, pos

    def get(self, sig):
        c = sig[0]
        self.pos += -self.pos % _dbus_align(sig)
        if c in _DBUS_FIXED:
            fmt, size = _DBUS_FIXED[c]
            self.pos += size
            return struct.unpack_from(fmt, self.data, self.pos - size)[0]
        if c in 'so':
            n = struct.unpack_from('<I', self.data, self.pos)[0]
            self.pos += 5 + n
            return self.data[self.pos - n - 1:self.pos - 1].decode()
        if c == 'g':
            n = self.data[self.pos]
            self.pos += 2 + n
            return self.data[self.pos - n - 1:self.pos - 1].decode()
        if c == 'v':
            return self.get(self.get('g'))
        if c == 'a':
            n = struct.unpack_from('<I', self.data, self.pos)[0]
            self.pos += 4
            self.pos += -self.pos % _dbus_align(sig[1:])
            end, items = self.pos + n, []
            while self.pos < end:
                items.append(self.get(sig[1:]))
            return dict(items) if sig[1] == '{' else items
        return tuple(self.get(s) for s in _dbus_split(sig[1:-1]))


class Mutter(Compositor):
    """GNOME's compositor headless, with outputs virtual monitors of w x h side
    by side, in a D-Bus session and PipeWire of its own. Keys and clicks go
    through its remote-desktop service; screenshots are frames of its
    screen-cast service, which come over PipeWire (taken by GStreamer)."""

    label = 'mutter'
    KEYCODES = {'space': 57, 'Escape': 1, 'Return': 28, 'q': 16, 'Shift_L': 42}  # evdev's
    BUTTONS = {1: 0x110, 2: 0x112, 3: 0x111}  # evdev's BTN_LEFT, BTN_MIDDLE, BTN_RIGHT
    RD, SC = 'org.gnome.Mutter.RemoteDesktop', 'org.gnome.Mutter.ScreenCast'

    def __init__(self, w, h, outputs=1):
        self.w, self.h, self.out_w, self.bus, self.proc = w * outputs, h, w, None, None
        # A desktop's session: its D-Bus and its PipeWire, which carries the screen cast.
        self.desktop = SoundServer()
        runtime = self.desktop.runtime
        self.log = os.path.join(runtime, 'mutter.log')
        self.env = {'WAYLAND_DISPLAY': 'wayland-tumble', 'XDG_RUNTIME_DIR': runtime}
        env = {k: v for k, v in os.environ.items() if k not in ('WAYLAND_DISPLAY', 'WAYLAND_SOCKET', 'DISPLAY')}
        env.update(self.desktop.env)
        try:
            with open(self.log, 'w') as log:
                self.proc = subprocess.Popen(
                    ['mutter', '--headless', '--wayland', '--no-x11', '--wayland-display=wayland-tumble',
                     *(a for _ in range(outputs) for a in ('--virtual-monitor', f'{w}x{h}'))],
                    env=env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            self.bus = DBus(env['DBUS_SESSION_BUS_ADDRESS'])
            self._wait_for(lambda: self._has(self.SC), 'mutter')
            self._start_sessions(outputs)
        except BaseException:
            self.close()
            raise
        self.gst_env = env

    def _wait_for(self, ready, what):
        deadline = time.monotonic() + 20
        while not ready():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f'{what} did not start, see {self.log}')
            time.sleep(0.05)

    def _has(self, name):
        return self.bus.call('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus',
                             'NameHasOwner', 's', name)[0]

    def _start_sessions(self, outputs):
        state = self.bus.call('org.gnome.Mutter.DisplayConfig', '/org/gnome/Mutter/DisplayConfig',
                              'org.gnome.Mutter.DisplayConfig', 'GetCurrentState')
        # Logical monitors (x, y, scale, transform, primary, [(connector, vendor,
        # product, serial)]) from left to right.
        connectors = [m[5][0][0] for m in sorted(state[2], key=lambda m: m[0])]
        assert len(connectors) == outputs, f'mutter made monitors {connectors}'
        self.session = self.bus.call(self.RD, '/org/gnome/Mutter/RemoteDesktop', self.RD, 'CreateSession')[0]
        session_id = self.bus.call(self.RD, self.session, 'org.freedesktop.DBus.Properties', 'Get', 'ss',
                                   self.RD + '.Session', 'SessionId')[0]
        cast = self.bus.call(self.SC, '/org/gnome/Mutter/ScreenCast', self.SC, 'CreateSession', 'a{sv}',
                             {'remote-desktop-session-id': ('s', session_id)})[0]
        self.bus.call('org.freedesktop.DBus', '/org/freedesktop/DBus', 'org.freedesktop.DBus', 'AddMatch', 's',
                      f"type='signal',interface='{self.SC}.Stream'")
        self.streams = [self.bus.call(self.SC, cast, self.SC + '.Session', 'RecordMonitor', 'sa{sv}', c,
                                      {'cursor-mode': ('u', 0)})[0] for c in connectors]
        self.bus.call(self.RD, self.session, self.RD + '.Session', 'Start')
        try:
            self.nodes = [self.bus.signal(s, 'PipeWireStreamAdded')[0] for s in self.streams]
        except RuntimeError as e:
            with open(self.log, errors='replace') as f:
                raise RuntimeError(f'{e}; mutter and PipeWire said: {f.read()[-2000:]}') from None
        # The first key of a new virtual keyboard reached no client here: one
        # goes before any client comes, and the pointer into the first monitor.
        self.key('Shift_L')
        self._notify('NotifyPointerMotionAbsolute', 'sdd', self.streams[0], self.out_w / 2, self.h / 2)

    def screenshot(self, png_path=None):
        parts = []
        for node in self.nodes:
            grab = subprocess.run(
                ['gst-launch-1.0', '-q', 'pipewiresrc', f'path={node}', 'num-buffers=1', '!', 'videoconvert', '!',
                 'video/x-raw,format=RGB', '!', 'fdsink'], env=self.gst_env, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE, timeout=30)
            assert grab.returncode == 0 and len(grab.stdout) == self.out_w * self.h * 3, \
                f'no frame from the screen cast: {grab.stderr.decode(errors="replace")}'
            parts.append(grab.stdout)
        row = self.out_w * 3
        rgb = b''.join(p[y * row:(y + 1) * row] for y in range(self.h) for p in parts)
        if png_path:
            save_rgb(rgb, self.w, self.h, png_path)
        return rgb

    def _notify(self, member, sig, *args):
        self.bus.call(self.RD, self.session, self.RD + '.Session', member, sig, *args)

    def key(self, name):
        # By key code: a key sent by keysym (NotifyKeyboardKeysym) reached no
        # client here before the pointer had first moved.
        for pressed in (True, False):
            self._notify('NotifyKeyboardKeycode', 'ub', self.KEYCODES[name], pressed)

    def click(self, button=1):
        for pressed in (True, False):
            self._notify('NotifyPointerButton', 'ib', self.BUTTONS[button], pressed)

    def close(self):
        if self.bus:
            self.bus.close()
            self.bus = None
        end_process(self.proc)
        self.desktop.close()


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
    .stderr_text. Meanwhile ended(proc) tells whether it has ended, with what
    it wrote."""
    e = base_env(disp)
    e.update(env or {})
    e = {k: v for k, v in e.items() if v is not None}
    # A file, not a pipe: what it wrote so far can be read while it runs.
    err = tempfile.NamedTemporaryFile(dir=_tmp_root, prefix='stderr')
    proc = subprocess.Popen([bin], cwd=cwd or workdir(files), env=e, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=err)
    proc.stderr_file = err.name
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        with err:
            proc.stderr_text = stderr_of(proc)


def stderr_of(proc):
    with open(proc.stderr_file, 'rb') as f:
        return f.read().decode(errors='replace')


def ended(proc):
    """None while proc (from plain) runs, else how it ended and what it wrote."""
    if proc.poll() is None:
        return None
    return f'tumble {ended_how(proc.returncode)} by itself; stderr: {stderr_of(proc)!r}'


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
        assert proc.poll() is None, ended(proc)
        # A window that goes away while wmctrl reads it fails the listing
        # (BadWindow): the windows are still changing.
        listing = subprocess.run(['wmctrl', '-l'], env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                 text=True)
        windows = listing.stdout.splitlines() if listing.returncode == 0 else None
        assert windows is None or len(windows) <= 1, windows
        if windows is None or windows != seen:
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
