#!/usr/bin/env python3
"""tumble as a user runs it, without the shim: the picture shows on black, a
real key press ends it within a few frames, and the music is heard."""
import array
import math
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, screen, tumble, xvfb  # noqa: E402

W, H = 640, 480


class Plain(unittest.TestCase):
    def test_picture_on_black_key_press_ends_it_music_plays(self):
        disp = xvfb.display(W, H)
        files = assets.default_assets()
        sound = os.path.join(common.workdir({}), 'sound.raw')
        with tumble.plain(disp, files, {'SDL_AUDIODRIVER': 'disk', 'SDL_DISKAUDIOFILE': sound,
                                   'SDL_DISKAUDIODELAY': '10'}) as proc:
            screen.wait_for_picture(disp, proc)
            self.assertIsNone(tumble.ended(proc))
            tumble.check_sdl(tumble.loaded_sdl(proc.pid))
            time.sleep(0.5)
            shot = os.path.join(common.OUT, f'screenshot_{common.SDL}.png')
            rgb = disp.screenshot(shot)

            subprocess.run(['xdotool', 'key', 'space'], env=dict(os.environ, DISPLAY=disp.name), check=True)
            pressed = time.monotonic()
            status = proc.wait(5)
            took = time.monotonic() - pressed
        stderr = proc.stderr_text
        self.assertEqual(status, 0, stderr)
        self.assertLess(took, 2.0, 'a key press ends it within a few frames')
        self.assertNotRegex(stderr, "couldn't|could not")

        # The picture, turned and scaled to between a quarter and a half of its
        # size on a 640-wide screen, on black, on the diagonal its centre
        # follows from (103, 166) until it first meets the bottom, 314 frames on.
        count, (x0, y0, x1, y1) = screen.picture_region(rgb, W, H)
        pw, ph = assets.png_size(files['tavrin.png'])
        reach = 0.5 * math.hypot(pw, ph) + 2
        self.assertGreater(count, 0.1 * 0.25 ** 2 * pw * ph, f'picture pixels, see {shot}')
        self.assertLess(count, 0.5 ** 2 * pw * ph * 1.1, f'picture pixels, see {shot}')
        self.assertLessEqual(max(x1 - x0, y1 - y0), reach, f'picture size, see {shot}')
        cx, cy = (x0 + x1) / 2, (y0 + y1) / 2
        self.assertLess(abs((cx - 103) - (cy - 166)), reach / 2 + 2, f'picture place, see {shot}')
        self.assertTrue(103 - reach / 2 <= cx <= 103 + 314 + reach / 2, f'picture place, see {shot}')

        samples = array.array('h')
        with open(sound, 'rb') as f:
            samples.frombytes(f.read())
        self.assertGreater(len(samples), 22050, 'a second or more of sound written')
        rms = math.sqrt(sum(s * s for s in samples) / len(samples))
        self.assertGreater(rms, 300, 'the music is heard')


if __name__ == '__main__':
    unittest.main()
