#!/usr/bin/env python3
"""tumble under weston, a real Wayland compositor, on the SDL2-based SDL 1.2:
natively at a landscape and a portrait output and at an output scale of 2, then
through XWayland, and when the compositor dies under it. Each time the screen
is the output's (logical) size, black but for the moving picture (no panel, no
pointer: weston draws both into its output), and a key press or a mouse button
ends it with status 0 and no line."""
import math
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness as h  # noqa: E402


class Wayland(unittest.TestCase):
    def start(self, w, h_, **kwargs):
        disp = h.Weston(w, h_, **kwargs)
        self.addCleanup(disp.close)
        return disp

    def picture_alone(self, disp, logical_w, scale, shot):
        """A screenshot's picture place, when the screen is black but for one
        picture no bigger than the turned test picture at full zoom (the width
        over 1280, times the output's scale); else None."""
        count, box = h.picture_region(disp.screenshot(shot), disp.w, disp.h)
        pw, ph = h.png_size(h.small_assets()['tavrin.png'])
        reach = math.hypot(pw, ph) * logical_w / 1280 * scale + 4
        return box if count and max(box[2] - box[0], box[3] - box[1]) <= reach else None

    def check(self, start, setup, scale=1):
        """start() gives each run its compositor: natively on Debian 13's
        weston and SDL2, a run that follows another on the same compositor
        sometimes keeps the compositor's arrow drawn over it (see README)."""
        disp = start()
        logical = (disp.w // scale, disp.h // scale)
        r = h.run(disp, events=['2:quit'])
        self.assertEqual((r.status, r.stderr), (0, ''))
        mode = r.named('SDL_SetVideoMode')[0].res
        self.assertEqual((mode['w'], mode['h']), logical, 'the screen is the output')

        shot = os.path.join(h.OUT, f'wayland_{setup}.png')
        for end in (('key', 'space'), ('click', '1')):
            with self.subTest(end[0]):
                disp = start()
                with h.plain(disp, h.small_assets()) as proc:
                    h.wait_for_picture(disp, proc)
                    # Past the frames in which the library is still going full-screen.
                    deadline = time.monotonic() + 10
                    while (first := self.picture_alone(disp, logical[0], scale, shot)) is None:
                        self.assertLess(time.monotonic(), deadline, f'nothing but the picture on black, see {shot}')
                        self.assertIsNone(proc.poll(), 'tumble ended by itself')
                        time.sleep(0.1)
                    time.sleep(0.3)
                    second = self.picture_alone(disp, logical[0], scale, shot)
                    self.assertIsNotNone(second, f'nothing but the picture on black, see {shot}')
                    self.assertNotEqual(first, second, 'the picture moves')
                    disp.xdotool(*end)
                    status = proc.wait(5)
                self.assertEqual((status, proc.stderr_text), (0, ''))

    def test_landscape(self):
        self.check(lambda: self.start(1280, 720), 'landscape')

    def test_portrait(self):
        self.check(lambda: self.start(600, 1024), 'portrait')

    def test_scale_2(self):
        self.check(lambda: self.start(1280, 800, scale=2), 'scale2', scale=2)

    def test_xwayland(self):
        # One compositor for all three runs, as a desktop's XWayland stays up:
        # weston starts its X server on demand, and on Debian 13 a run on one
        # only just started once ended with status 1 by itself.
        disp = self.start(1024, 600, xwayland=True)
        self.check(lambda: disp, 'xwayland')

    def test_compositor_dies(self):
        # SDL2 2.26 reports the lost connection as a quit request: the frame is
        # finished and tumble ends as if the user had quit. Newer SDL2 (Debian
        # 13's) decorates its window through libdecor's GTK plugin, and GTK ends
        # the process itself when its display goes, as Xlib does on X. Either
        # way it ends at once, by no signal, with no line of tumble's.
        disp = self.start(800, 600)
        with h.plain(disp, h.small_assets()) as proc:
            h.wait_for_picture(disp, proc)
            self.assertIsNone(proc.poll(), 'tumble ended by itself')
            disp.proc.kill()
            status = proc.wait(5)
        if status == 1:
            self.assertRegex(proc.stderr_text, r'^Gdk-Message: [^\n]*Error reading events from display[^\n]*\n$')
        else:
            self.assertEqual((status, proc.stderr_text), (0, ''))


if __name__ == '__main__':
    unittest.main()
