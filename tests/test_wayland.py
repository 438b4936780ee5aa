#!/usr/bin/env python3
"""tumble on Wayland compositors, on the SDL2-based SDL 1.2: weston (natively
at a landscape and a portrait output, at an output scale of 2, through
XWayland), GNOME's mutter and wlroots' sway, each headless or nested in a
virtual X server. One table of setups, one set of checks: the screen is the
output's (logical) size, black but for the moving picture (no panel, no
pointer), a key press or a mouse button ends it with status 0 and no line, and
when the compositor dies under it tumble ends at once. With two outputs it
covers one whole output and leaves the other as it was.

A run whose compositor died under it is run once more on a fresh compositor
(weston 14 has a crash of its own, see harness.compositors.Weston.cause); a
second death fails the test, named as the compositor's."""
import math
import os
import re
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, compositors, screen, tumble  # noqa: E402

# libwayland's log of the protocol (WAYLAND_DEBUG=client) on tumble's standard
# error, and in it an event giving tumble the pointer.
PROTOCOL_LINE = re.compile(r'^\[ *\d+\.\d+\] .*\n', re.M)
POINTER_ENTERED = re.compile(r'^\[ *\d+\.\d+\] (\{[^}]*\} )?wl_pointer#\d+\.enter\(', re.M)


def weston(w, h, **kwargs):
    return lambda: compositors.Weston(w, h, **kwargs)


# name: (compositor maker, output scale, what the compositor cannot do here)
SETUPS = {
    'weston_landscape': (weston(1280, 720), 1),
    'weston_portrait': (weston(600, 1024), 1),
    'weston_scale_2': (weston(1280, 800, scale=2), 2),
    'weston_xwayland': (weston(1024, 600, xwayland=True), 1),
    'sway': (lambda: compositors.Sway(1280, 720), 1),
    'mutter': (lambda: compositors.Mutter(1280, 720), 1),
}


class Checks:
    """The checks, for the compositors that cls.setups names."""
    setups = ()

    def compositor(self, make, shared=None):
        """A compositor from make(), closed when the test ends; shared, a list,
        keeps one for the test's runs, as a desktop's XWayland stays up, and
        replaces it only when it has died."""
        if shared and shared[0].died(wait=0) is None:
            return shared[0]
        comp = make()
        self.addCleanup(comp.close)
        if shared is not None:
            shared[:] = [comp]
        return comp

    def attempt(self, make, body, shared=None):
        """body(compositor); once more on a fresh compositor when the
        compositor died under the first, and failed when it dies again."""
        deaths = []
        while True:
            comp = self.compositor(make, shared)
            try:
                return body(comp)
            except Exception as e:
                death = comp.died()
                if death is None:
                    raise
                deaths.append(f'{death} (the run: {e})')
                if len(deaths) == 2:
                    raise compositors.CompositorDied('the compositor died in both tries: ' + ' / '.join(deaths)) from e
                print(f'run again: {deaths[0]}', file=sys.stderr, flush=True)

    def picture_alone(self, rgb, w, h, logical_w, scale):
        """The picture's place in rgb (w x h), when that is black but for one
        picture no bigger than the turned test picture at full zoom (the width
        over 1280, times the output's scale); else None."""
        count, box = screen.picture_region(rgb, w, h)
        pw, ph = assets.png_size(assets.small_assets()['tavrin.png'])
        reach = math.hypot(pw, ph) * logical_w / 1280 * scale + 4
        return box if count and max(box[2] - box[0], box[3] - box[1]) <= reach else None

    def shown(self, comp, proc, logical_w, scale, shot):
        """Waits past the frames in which the library is still going
        full-screen; then the picture alone on black, moving."""
        screen.wait_for_picture(comp, proc)
        deadline = time.monotonic() + 10
        while (first := self.picture_alone(comp.screenshot(shot), comp.w, comp.h, logical_w, scale)) is None:
            self.assertLess(time.monotonic(), deadline, f'nothing but the picture on black, see {shot}')
            self.assertIsNone(tumble.ended(proc))
            time.sleep(0.1)
        time.sleep(0.3)
        second = self.picture_alone(comp.screenshot(shot), comp.w, comp.h, logical_w, scale)
        self.assertIsNotNone(second, f'nothing but the picture on black, see {shot}')
        self.assertNotEqual(first, second, 'the picture moves')

    def check(self, name):
        make, scale = SETUPS[name][:2]
        shared = [] if 'xwayland' in name else None

        def screen_is_output(comp):
            r = tumble.run(comp, events=['2:quit'])
            self.assertEqual((r.status, r.stderr), (0, ''))
            mode = r.named('SDL_SetVideoMode')[0].res
            self.assertEqual((mode['w'], mode['h']), (comp.w // scale, comp.h // scale), 'the screen is the output')
        self.attempt(make, screen_is_output, shared)

        for end in ('key', 'click'):
            shot = os.path.join(common.OUT, f'wayland_{name}_{end}.png')
            with self.subTest(end):
                def ends(comp):
                    # weston 14 gives a new surface the pointer only once the
                    # pointer moves, and SDL locks the pointer as soon as it
                    # has the keyboard: a still pointer then never enters
                    # tumble and a click goes to the desktop under it. Where
                    # the protocol shows tumble never had the pointer, the lost
                    # click is weston's, and a key must still end tumble.
                    watched = end == 'click' and 'xwayland' not in name and comp.pointer_may_stay_out
                    with tumble.plain(comp, assets.small_assets(), {'WAYLAND_DEBUG': 'client'} if watched else None) \
                            as proc:
                        self.shown(comp, proc, comp.w // scale, scale, shot)
                        comp.key('space') if end == 'key' else comp.click(1)
                        try:
                            status = proc.wait(5)
                        except subprocess.TimeoutExpired:
                            if not watched or POINTER_ENTERED.search(tumble.stderr_of(proc)):
                                raise
                            print(f'{name}: weston never gave tumble the pointer, the click went to the desktop; '
                                  'a key instead', file=sys.stderr, flush=True)
                            comp.key('space')
                            status = proc.wait(5)
                    stderr = PROTOCOL_LINE.sub('', proc.stderr_text) if watched else proc.stderr_text
                    self.assertEqual((status, stderr), (0, ''))
                self.attempt(make, ends, shared)

    def compositor_dies(self, make):
        """SDL2 2.26 reports the lost connection as a quit request: the frame
        is finished and tumble ends as if the user had quit. Newer SDL2 (Debian
        13's) decorates its window through libdecor's GTK plugin, and GTK ends
        the process itself when its display goes, as Xlib does on X. Either way
        it ends at once, by no signal, with no line of tumble's."""
        comp = self.compositor(make)
        with tumble.plain(comp, assets.small_assets()) as proc:
            screen.wait_for_picture(comp, proc)
            self.assertIsNone(tumble.ended(proc))
            comp.proc.kill()
            status = proc.wait(5)
        if status == 1:
            self.assertRegex(proc.stderr_text, r'^Gdk-Message: [^\n]*Error reading events from display[^\n]*\n$')
        else:
            self.assertEqual((status, proc.stderr_text), (0, ''))


def add_tests(cls):
    for name in cls.setups:
        setattr(cls, f'test_{name}', lambda self, name=name: self.check(name))
    return cls


@add_tests
class Weston(Checks, unittest.TestCase):
    setups = ('weston_landscape', 'weston_portrait', 'weston_scale_2', 'weston_xwayland')

    def test_compositor_dies(self):
        self.compositor_dies(weston(800, 600))


@add_tests
class Sway(Checks, unittest.TestCase):
    setups = ('sway',)

    def test_compositor_dies(self):
        self.compositor_dies(lambda: compositors.Sway(800, 600))


@add_tests
class Mutter(Checks, unittest.TestCase):
    setups = ('mutter',)

    def test_compositor_dies(self):
        self.compositor_dies(lambda: compositors.Mutter(800, 600))


# Two outputs of 640x480 side by side.
TWO_OUTPUTS = {
    'weston': lambda: compositors.Weston(640, 480, outputs=2),
    'mutter': lambda: compositors.Mutter(640, 480, outputs=2),
    'sway': lambda: compositors.Sway(640, 480, outputs=2),
}


class TwoOutputs(Checks, unittest.TestCase):
    """tumble covers one whole output, black but for the picture, and leaves
    the other as it was (weston's panel clock aside): by itself the one the
    compositor gives it (which one differs between versions), and with
    SDL_VIDEO_FULLSCREEN_DISPLAY set to 0 and to 1 one each (SDL's order of
    the outputs need not be theirs from left to right)."""

    def covered(self, name, display=None):
        """Which output tumble covers (0 left, 1 right)."""
        env = {} if display is None else {'SDL_VIDEO_FULLSCREEN_DISPLAY': str(display)}
        shot = os.path.join(common.OUT, f'wayland_two_outputs_{name}{"" if display is None else display}.png')

        def outputs(comp, rgb):
            row, part = comp.w * 3, comp.out_w * 3
            return [[rgb[y * row + i * part:y * row + (i + 1) * part] for y in range(comp.h)] for i in (0, 1)]

        def body(comp):
            before = outputs(comp, comp.screenshot())
            with tumble.plain(comp, assets.small_assets(), env=env) as proc:
                deadline = time.monotonic() + 20
                while True:
                    now = outputs(comp, comp.screenshot(shot))
                    alone = [self.picture_alone(b''.join(o), comp.out_w, comp.h, comp.out_w, 1) for o in now]
                    if any(alone):
                        break
                    self.assertLess(time.monotonic(), deadline, f'no output black but for the picture, see {shot}')
                    self.assertIsNone(tumble.ended(proc))
                    time.sleep(0.2)
                other = alone.index(None)
                same = sum(a == b for a, b in zip(now[other], before[other]))
                self.assertGreater(same, comp.h * 0.9, f'output {other} as it was, see {shot}')
                if display is None:
                    comp.key('space')
                else:  # the keyboard's focus may stay on the other output
                    proc.terminate()
                status = proc.wait(5)
            self.assertEqual((status, proc.stderr_text), (0, ''))
            return 1 - other
        return self.attempt(TWO_OUTPUTS[name], body)

    def check_outputs(self, name):
        self.covered(name)
        self.assertNotEqual(self.covered(name, 0), self.covered(name, 1), 'SDL_VIDEO_FULLSCREEN_DISPLAY chooses')


for _name in TWO_OUTPUTS:
    setattr(TwoOutputs, f'test_{_name}', lambda self, n=_name: self.check_outputs(n))


if __name__ == '__main__':
    unittest.main()
