#!/usr/bin/env python3
"""How input ends tumble: a key press, any mouse button press (the wheel too)
or a close request ends it after the frame that saw it, which is still drawn,
shown and waited; nothing else does, however much of it arrives."""
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, screen, tumble, xvfb  # noqa: E402

FRAME = ['SDL_FillRect', 'rotozoomSurface', 'SDL_UpperBlit', 'SDL_FreeSurface', 'SDL_Flip', 'SDL_Delay']


class Quit(unittest.TestCase):
    def assert_ends_after(self, r, last, injected=1):
        """Frames 0..last all ran in full; last drained its injected events, then
        drew, flipped and waited, and only then let go of the display, shut SDL
        down and ended with status 0."""
        self.assertEqual((r.status, r.stderr), (0, ''))
        self.assertEqual(r.flips, last + 1, 'frames run')
        frame = [c for c in r.frame(last) if c.name != 'SDL_MapRGB']
        polls = [c for c in frame if c.name == 'SDL_PollEvent']
        self.assertEqual(sum(c.res.get('inj', 0) for c in polls), injected)
        self.assertEqual([c.name for c in frame[len(polls):]], FRAME + ['SDL_QuitSubSystem', 'SDL_Quit'])
        self.assertEqual(len(r.named('SDL_QuitSubSystem', 'SDL_Quit')), 2)
        self.assertEqual(r.named('SDL_QuitSubSystem')[0].args, {'flags': 0x20}, 'the video')
        self.assertEqual(r.calls[-1].name, 'SDL_Quit')

    def test_each_press_and_the_close_request_end_it(self):
        disp = xvfb.display(640, 480)
        for event in ('keydown:97', 'keydown:304', 'keydown:0', 'buttondown:1', 'buttondown:3',
                      'buttondown:4', 'buttondown:5', 'quit'):
            with self.subTest(event):
                r = tumble.run(disp, events=[f'5:{event}', '9:quit'])
                self.assert_ends_after(r, 5)

    def test_releases_motion_and_other_events_do_not(self):
        ignored = ['keyup:97', 'motion:10', 'buttonup:1', 'buttonup:4', 'active:0', 'active:1', 'joyaxis',
                   'joybuttondown', 'joyhat', 'resize:200', 'expose', 'user:7', 'syswm']
        r = tumble.run(xvfb.display(640, 480), events=[f'{n + 1}:{e}' for n, e in enumerate(ignored)]
                       + [f'{len(ignored) + 3}:keydown'])
        if 0 <= r.flips - 2 < len(ignored):
            self.fail(f'{ignored[r.flips - 2]} ended it')
        self.assert_ends_after(r, len(ignored) + 3)

    def test_a_flood_with_one_press_drains_and_ends_once(self):
        # The press comes in the middle of 100,000 other events, and another
        # waits for the next frame: the program must end after this frame, once.
        r = tumble.run(xvfb.display(640, 480), events=['4:motion*50000', '4:keyup*25000', '4:keydown',
                                                '4:buttonup*25000', '5:keydown'])
        self.assert_ends_after(r, 4, injected=100001)

    def test_close_request_from_the_window_manager(self):
        # Asked through the window manager (on both implementations here), as
        # a desktop's close button or shortcut would.
        disp = xvfb.Display(640, 480, wm=True)
        self.addCleanup(disp.close)
        env = dict(os.environ, DISPLAY=disp.name)
        with tumble.plain(disp, assets.small_assets()) as proc:
            screen.wait_for_picture(disp, proc)
            subprocess.run(['wmctrl', '-i', '-c', xvfb.settled_window(disp, proc)], env=env, check=True)
            status = proc.wait(5)
        self.assertEqual((status, proc.stderr_text), (0, ''))


if __name__ == '__main__':
    unittest.main()
