"""The Wayland compositors tumble runs under, behind one interface
(Compositor): weston nested in an Xvfb, sway and mutter headless. Each is
ready for clients once made; env is what a client needs to reach it."""
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

from jeepney import DBusAddress, HeaderFields, MatchRule, message_bus, new_method_call
from jeepney.io.blocking import open_dbus_connection
from jeepney.wrappers import unwrap_msg

from harness import common, screen, virtual_pointer
from harness.sound_server import SoundServer
from harness.xvfb import Display


class CompositorDied(AssertionError):
    """A run failed because its compositor died under it, not through tumble."""


class Compositor:
    """What the tests ask of a Wayland compositor: env is what a client needs
    to reach it, w x h the size of screenshot()'s picture (all its outputs
    side by side), out_w one output's width, proc its process.
    pointer_may_stay_out: the compositor may never give a client that locks
    the pointer at once the pointer that rests over it (weston 14)."""

    pointer_may_stay_out = False

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
        return f'{self.label} {common.ended_how(status)}{self.cause(status)}'

    def cause(self, status):
        """A known upstream fault behind status, as a clause, or ''."""
        return ''


def program_version(command):
    """The first dotted number that `command --version` prints, as a tuple, or ()."""
    try:
        out = subprocess.run([command, '--version'], stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, timeout=20).stdout
    except (OSError, subprocess.TimeoutExpired):
        return ()
    found = re.search(r'(\d+)\.(\d+)(?:\.(\d+))?', out)
    return tuple(int(n) for n in found.groups() if n is not None) if found else ()


def _client_env(*drop):
    return {k: v for k, v in os.environ.items() if k not in ('WAYLAND_DISPLAY', 'WAYLAND_SOCKET') + drop}


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
        runtime = tempfile.mkdtemp(dir=common.TMP)  # mode 0700, as Wayland wants
        self.log = os.path.join(runtime, 'weston.log')
        env = dict(_client_env(), DISPLAY=self.xvfb.name, XDG_RUNTIME_DIR=runtime)
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
        # pointer, over a full-screen client that hid it: screenshot() leaves
        # out that square, the compositor's drawing.
        if program_version('weston')[:1] == (14,):
            # Its image reaches a pixel above and left of the pointer's place.
            self.arrow = (self.out_w // 2 - 4 * scale, self.h // 2 - 4 * scale, 40 * scale)
            self.pointer_may_stay_out = True

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
        common.end_process(self.proc)
        self.xvfb.close()


class Sway(Compositor):
    """sway on wlroots' headless backend, outputs of w x h side by side:
    wtype types (a virtual keyboard), grim takes screenshots (the screencopy
    protocol) and a virtual pointer clicks."""

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
        env = dict(_client_env('DISPLAY'), XDG_RUNTIME_DIR=runtime, WLR_BACKENDS='headless',
                   WLR_LIBINPUT_NO_DEVICES='1', WLR_RENDERER='pixman', WLR_HEADLESS_OUTPUTS=str(outputs))
        command = ['sway', '--config', config]
        if os.geteuid() == 0:
            # sway refuses to run as root (it checks that it could not become
            # root again); its clients here, root, can still reach its socket.
            os.chown(runtime, 65534, 65534)
            command = ['setpriv', '--reuid=65534', '--regid=65534', '--clear-groups', *command]
        self.log = os.path.join(common.TMP, f'sway{time.monotonic_ns()}.log')
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
        w, h, rgb = screen.ppm_rgb(self._tool('grim', '-t', 'ppm', '-'))
        assert (w, h) == (self.w, self.h), f'grim gave {w}x{h}'
        if png_path:
            screen.save_rgb(rgb, w, h, png_path)
        return rgb

    def key(self, name):
        # A virtual keyboard gives the seat a keyboard only while it lasts: the
        # client needs a moment to take it up before the key comes.
        self._tool('wtype', '-s', '500', '-k', name)

    def click(self, button=1):
        virtual_pointer.click(dict(os.environ, **self.env), self.w // 2, self.h // 2, self.w, self.h, button)

    def close(self):
        common.end_process(self.proc)
        shutil.rmtree(self.runtime, True)


class Mutter(Compositor):
    """GNOME's compositor headless, with outputs virtual monitors of w x h side
    by side, in a D-Bus session and PipeWire of its own. Keys and clicks go
    through its remote-desktop service; screenshots are frames of its
    screen-cast service, which come over PipeWire (taken by GStreamer). The
    remote-desktop session lasts as long as the D-Bus connection that made it."""

    label = 'mutter'
    KEYCODES = {'space': 57, 'Escape': 1, 'Return': 28, 'q': 16, 'Shift_L': 42}  # evdev's
    RD, SC = 'org.gnome.Mutter.RemoteDesktop', 'org.gnome.Mutter.ScreenCast'

    def __init__(self, w, h, outputs=1):
        self.w, self.h, self.out_w, self.bus, self.proc = w * outputs, h, w, None, None
        # A desktop's session: its D-Bus and its PipeWire, which carries the screen cast.
        self.desktop = SoundServer()
        runtime = self.desktop.runtime
        self.log = os.path.join(runtime, 'mutter.log')
        self.env = {'WAYLAND_DISPLAY': 'wayland-tumble', 'XDG_RUNTIME_DIR': runtime}
        self.gst_env = dict(_client_env('DISPLAY'), **self.desktop.env)
        try:
            with open(self.log, 'w') as log:
                self.proc = subprocess.Popen(
                    ['mutter', '--headless', '--wayland', '--no-x11', '--wayland-display=wayland-tumble',
                     *(a for _ in range(outputs) for a in ('--virtual-monitor', f'{w}x{h}'))],
                    env=self.gst_env, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
            self.bus = open_dbus_connection(self.desktop.env['DBUS_SESSION_BUS_ADDRESS'])
            deadline = time.monotonic() + 20
            while not self._reply(message_bus.NameHasOwner(self.SC))[0]:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    raise RuntimeError(f'mutter did not start, see {self.log}')
                time.sleep(0.05)
            self._start_sessions(outputs)
        except BaseException:
            self.close()
            raise

    def _reply(self, message):
        """The reply's values; raises DBusErrorResponse on an error reply."""
        return unwrap_msg(self.bus.send_and_get_reply(message, timeout=20))

    def _call(self, dest, path, interface, member, sig='', *args):
        return self._reply(new_method_call(DBusAddress(path, dest, interface), member, sig, args))

    def _start_sessions(self, outputs):
        state = self._call('org.gnome.Mutter.DisplayConfig', '/org/gnome/Mutter/DisplayConfig',
                           'org.gnome.Mutter.DisplayConfig', 'GetCurrentState')
        # Logical monitors (x, y, scale, transform, primary, [(connector, vendor,
        # product, serial)]) from left to right.
        connectors = [m[5][0][0] for m in sorted(state[2], key=lambda m: m[0])]
        assert len(connectors) == outputs, f'mutter made monitors {connectors}'
        self.session = self._call(self.RD, '/org/gnome/Mutter/RemoteDesktop', self.RD, 'CreateSession')[0]
        session_id = self._call(self.RD, self.session, 'org.freedesktop.DBus.Properties', 'Get', 'ss',
                                self.RD + '.Session', 'SessionId')[0][1]
        cast = self._call(self.SC, '/org/gnome/Mutter/ScreenCast', self.SC, 'CreateSession', 'a{sv}',
                          {'remote-desktop-session-id': ('s', session_id)})[0]
        added = MatchRule(type='signal', interface=self.SC + '.Stream', member='PipeWireStreamAdded')
        self._reply(message_bus.AddMatch(added))
        self.streams = [self._call(self.SC, cast, self.SC + '.Session', 'RecordMonitor', 'sa{sv}', c,
                                   {'cursor-mode': ('u', 0)})[0] for c in connectors]
        nodes = {}
        with self.bus.filter(added, bufsize=len(self.streams)) as signals:
            self._call(self.RD, self.session, self.RD + '.Session', 'Start')
            try:
                while len(nodes) < len(self.streams):
                    added_one = self.bus.recv_until_filtered(signals, timeout=20)
                    nodes[added_one.header.fields[HeaderFields.path]] = added_one.body[0]
            except TimeoutError:
                with open(self.log, errors='replace') as f:
                    raise RuntimeError(f'no signal PipeWireStreamAdded; mutter and PipeWire said: '
                                       f'{f.read()[-2000:]}') from None
        self.nodes = [nodes[s] for s in self.streams]
        # The first key of a new virtual keyboard reached no client here: one
        # goes before any client comes, and the pointer into the first monitor.
        self.key('Shift_L')
        self._point_at(0)

    def screenshot(self, png_path=None):
        parts = [self._frame(k) for k in range(len(self.nodes))]
        row = self.out_w * 3
        rgb = b''.join(p[y * row:(y + 1) * row] for y in range(self.h) for p in parts)
        if png_path:
            screen.save_rgb(rgb, self.w, self.h, png_path)
        return rgb

    def _frame(self, k):
        """One frame of monitor k's screen-cast stream. mutter 48 now and then
        sends a new consumer of a monitor whose picture does not change no
        frame until something there changes (the second monitor, one grab in
        eight here): then the pointer visits that monitor and goes back where
        the tests put it, and failing that a new consumer tries again."""
        for _ in range(3):
            grab = subprocess.Popen(
                ['gst-launch-1.0', '-q', 'pipewiresrc', f'path={self.nodes[k]}', 'num-buffers=1', '!', 'videoconvert',
                 '!', 'video/x-raw,format=RGB', '!', 'fdsink'], env=self.gst_env, stdout=subprocess.PIPE,
                stderr=subprocess.PIPE)
            try:
                rgb, err = grab.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                self._point_at(k)
                self._point_at(0)
                try:
                    rgb, err = grab.communicate(timeout=10)
                except subprocess.TimeoutExpired:
                    common.end_process(grab)
                    continue
            assert grab.returncode == 0 and len(rgb) == self.out_w * self.h * 3, \
                f'no frame from the screen cast: {err.decode(errors="replace")}'
            return rgb
        raise AssertionError(f'no frame from the screen cast of monitor {k} in 45 s')

    def _point_at(self, monitor):
        """The pointer to the middle of a monitor."""
        self._notify('NotifyPointerMotionAbsolute', 'sdd', self.streams[monitor], self.out_w / 2, self.h / 2)

    def _notify(self, member, sig, *args):
        self._call(self.RD, self.session, self.RD + '.Session', member, sig, *args)

    def key(self, name):
        # By key code: a key sent by keysym (NotifyKeyboardKeysym) reached no
        # client here before the pointer had first moved.
        for pressed in (True, False):
            self._notify('NotifyKeyboardKeycode', 'ub', self.KEYCODES[name], pressed)

    def click(self, button=1):
        for pressed in (True, False):
            self._notify('NotifyPointerButton', 'ib', virtual_pointer.BUTTONS[button], pressed)

    def close(self):
        if self.bus:
            self.bus.close()
            self.bus = None
        common.end_process(self.proc)
        self.desktop.close()
