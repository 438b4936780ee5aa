"""The virtual X server: an Xvfb of a given size, with openbox on it where a
window manager is wanted, screenshots of it, keys and clicks into it, and the
one window tumble settles on."""
import atexit
import os
import select
import subprocess
import tempfile
import time

from harness import common, tumble


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
        if wm if wm is not None else common.SDL == 'compat':
            ready = tempfile.mktemp(dir=common.TMP)
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
            common.end_process(p)
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


def settled_window(disp, proc, timeout=15):
    """The id of tumble's window once the window manager's list has held that
    one window for a second. The SDL2-based implementation shows its first
    frames in a window that it then replaces with the full-screen one; a
    request sent before that can land on the window going away."""
    env = dict(os.environ, DISPLAY=disp.name)
    seen, since, deadline = None, time.monotonic(), time.monotonic() + timeout
    while time.monotonic() - since < 1 and time.monotonic() < deadline:
        assert proc.poll() is None, tumble.ended(proc)
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
