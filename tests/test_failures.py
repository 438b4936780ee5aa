#!/usr/bin/env python3
"""What tumble does when a library call fails or a file is missing: the fatal
lines, word for word, with status 1 and the library shut down after the line;
the failures it rides out (a frame's turned picture, the sound)."""
import os
import pty
import re
import select
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, tumble, xvfb  # noqa: E402

MUSIC_LINE = 'could not load "tavrin.ogg" ({}) - easter egg #1 won\'t have music\n'
PICTURE_LINE = 'couldn\'t load image "tavrin.png" ({})\n'


class Fatal(unittest.TestCase):
    def assert_fatal(self, r, line):
        """Status 1, exactly this line, written and flushed once the display
        has been let go, then the rest of SDL shut down."""
        self.assertEqual((r.status, r.stderr), (1, line))
        self.assertEqual([c.name for c in r.calls[-3:]], ['SDL_QuitSubSystem', 'fflush', 'SDL_Quit'])
        self.assertEqual([c.args for c in r.calls[-3:-1]], [{'flags': 0x20}, {'stream': 'stderr'}])

    def test_start_up_failures(self):
        disp = xvfb.display(640, 480)
        # Everything, then the display and timer alone: both fail.
        r = tumble.run(disp, fail=['SDL_Init'])
        self.assert_fatal(r, "couldn't initialize SDL (injected SDL_Init failure)\n")
        self.assertEqual([(c.name, c.args.get('flags')) for c in r.calls],
                         [('SDL_Init', 0xFFFF), ('SDL_Init', 0x21), ('SDL_QuitSubSystem', 0x20), ('fflush', None),
                          ('SDL_Quit', None)])

        r = tumble.run(disp, fail=['SDL_SetVideoMode'])
        self.assert_fatal(r, "couldn't create window (injected SDL_SetVideoMode failure)\n")
        self.assertFalse(r.named('rand'))

        # The PNG decoder fails; then the conversion.
        for failed in ('IMG_LoadPNG_RW', 'SDL_DisplayFormat'):
            with self.subTest(failed):
                r = tumble.run(disp, fail=[failed])
                self.assertEqual(r.named('IMG_LoadPNG_RW', 'SDL_DisplayFormat')[-1].name, failed)
                self.assert_fatal(r, PICTURE_LINE.format(f'injected {failed} failure'))
                self.assertFalse(r.named('SDL_Flip', 'Mix_OpenAudio'))

    def test_missing_picture(self):
        # After the display took the full screen and the three draws were made.
        r = tumble.run(xvfb.display(640, 480), files={'tavrin.png': None})
        self.assertRegex(r.stderr, '^' + re.escape(PICTURE_LINE).replace(r'\{\}', '.+') + '$')
        self.assert_fatal(r, r.stderr)
        self.assertEqual([c.name for c in r.calls[:6]],
                         ['SDL_Init', 'SDL_SetVideoMode', 'SDL_ShowCursor', 'rand', 'rand', 'rand'])

    def test_screen_too_wide_for_a_row_count(self):
        # 16384 pixels at 4 bytes pass a surface's 16-bit pitch.
        r = tumble.run(xvfb.display(16384, 64))
        self.assert_fatal(r, "couldn't create window ({})\n".format(
            'a 16384-pixel-wide screen is too wide for SDL 1.2' if common.SDL == 'compat'
            else 'A scanline is too wide'))
        self.assertFalse(r.named('SDL_FillRect', 'rand'))

    @unittest.skipUnless(common.SDL == 'classic', 'only classic SDL falls back to a text-mode driver')
    def test_no_display_leaves_the_line_on_the_terminal(self):
        # Classic SDL falls back to a text-mode driver that takes over the
        # terminal's alternate screen; the line must come after it is left.
        env = {k: v for k, v in tumble.base_env(xvfb.display(640, 480)).items() if k != 'DISPLAY'}
        pid, fd = pty.fork()
        if pid == 0:
            os.chdir(common.workdir(assets.small_assets()))
            os.execve(common.BIN, [common.BIN], dict(env, TERM='xterm'))
        out, deadline = b'', time.monotonic() + 20
        while time.monotonic() < deadline and select.select([fd], [], [], 1)[0]:
            try:
                part = os.read(fd, 65536)
            except OSError:  # the other end is gone
                break
            if not part:
                break
            out += part
        os.close(fd)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        self.assertEqual(status, 1, out)
        self.assertRegex(out.decode(errors='replace'), r"\x1b\[\?1049l[^\n]*couldn't create window \(.+\)\r\n$")

    def test_failed_flip_first_and_later(self):
        disp = xvfb.display(640, 480)
        for frame in (0, 500):
            with self.subTest(frame=frame):
                r = tumble.run(disp, fail=[f'SDL_Flip@{frame}'], events=[f'{frame + 10}:quit'])
                self.assert_fatal(r, "error updating screen (injected SDL_Flip failure)\n")
                self.assertEqual(r.flips, frame + 1)
                self.assertEqual(r.named('SDL_Flip')[-1].res, {'r': -1})
                self.assertFalse(r.named('SDL_Delay')[frame:], 'no wait after the failed flip')


class RiddenOut(unittest.TestCase):
    def test_no_turned_picture_skips_only_the_drawing(self):
        disp = xvfb.display(640, 480)
        r = tumble.run(disp, fail=['rotozoomSurface@3'], events=['6:quit'])
        self.assertEqual((r.status, r.stderr, r.flips), (0, '', 7))
        for n in range(7):
            names = [c.name for c in r.frame(n)
                     if c.name not in ('SDL_PollEvent', 'SDL_MapRGB', 'SDL_QuitSubSystem', 'SDL_Quit')]
            drawing = [] if n == 3 else ['SDL_UpperBlit', 'SDL_FreeSurface']
            self.assertEqual(names, ['SDL_FillRect', 'rotozoomSurface'] + drawing + ['SDL_Flip', 'SDL_Delay'], n)

        r = tumble.run(disp, fail=['rotozoomSurface@0-'], events=['20:quit'])
        self.assertEqual((r.status, r.stderr, r.flips), (0, '', 21))
        self.assertFalse(r.named('SDL_UpperBlit'))

        # A failed blit is ignored: the turned picture is still freed, the frame shown.
        r = tumble.run(disp, fail=['SDL_UpperBlit@0-'], events=['20:quit'])
        self.assertEqual((r.status, r.stderr, r.flips), (0, '', 21))
        self.assertLessEqual({c.res['s'] for c in r.named('rotozoomSurface')},
                             {c.args['s'] for c in r.named('SDL_FreeSurface')})

    def assert_music_line(self, r, reason=None):
        """The line once, flushed before the first frame was shown; the play
        request made all the same; the animation goes on and quits with 0."""
        self.assertEqual(r.status, 0)
        if reason is None:
            self.assertRegex(r.stderr, '^' + re.escape(MUSIC_LINE).replace(r'\{\}', '.+') + '$')
        else:
            self.assertEqual(r.stderr, MUSIC_LINE.format(reason))
        flushes = [i for i, c in enumerate(r.calls) if c.name == 'fflush' and c.args['stream'] == 'stderr']
        self.assertEqual(len(flushes), 1)
        self.assertLess(flushes[0], r.calls.index(r.named('SDL_Flip')[0]))
        self.assertEqual(r.named('Mix_PlayChannelTimed')[0].args, {'channel': 0, 'chunk': 'null', 'loops': -1,
                                                                   'ticks': -1})
        self.assertEqual(r.flips, 6)

    def test_sound_failures(self):
        disp = xvfb.display(640, 480)
        self.assert_music_line(tumble.run(disp, files={'tavrin.ogg': None}, events=['5:quit']))
        self.assert_music_line(tumble.run(disp, fail=['Mix_LoadWAV_RW'], events=['5:quit']),
                               'injected Mix_LoadWAV_RW failure')
        # A device that will not open is not reported by itself; the rest of the
        # sound set-up still runs and the load decides whether there is a line.
        r = tumble.run(disp, fail=['Mix_OpenAudio'], events=['5:quit'])
        self.assertEqual((r.status, r.flips), (0, 6))
        self.assertNotIn('Mix_OpenAudio', r.stderr)
        self.assertEqual([c.name for c in r.named('Mix_AllocateChannels', 'SDL_RWFromFile', 'Mix_PlayChannelTimed')
                          if c.name != 'SDL_RWFromFile' or c.args['file'] == 'tavrin.ogg'],
                         ['Mix_AllocateChannels', 'SDL_RWFromFile', 'Mix_PlayChannelTimed'])
        if r.stderr:
            self.assert_music_line(r)

        # A sound server that is not running keeps SDL_Init of everything from
        # succeeding on the SDL2-based SDL; the display and timer start alone,
        # and the mixer does not start the sound again (a hung server would
        # make it wait as long once more, with the screen taken).
        r = tumble.run(disp, env={'SDL_AUDIODRIVER': 'nosuch'}, events=['5:quit'])
        self.assert_music_line(r)
        self.assertEqual(r.named('SDL_Init')[0].args, {'flags': 0xFFFF})
        if r.named('SDL_Init')[0].res['r'] == -1:
            self.assertFalse(r.named('Mix_OpenAudio', 'Mix_LoadWAV_RW'))
            self.assertNotIn("hasn't been opened", r.stderr, "SDL_Init's own reason")

    def test_standard_error_closed(self):
        # Nothing may take descriptor 2 (the X connection would, and then the
        # music line would be written into it).
        r = tumble.run(xvfb.display(640, 480), files={'tavrin.ogg': None}, events=['5:quit'],
                       wrap=['sh', '-c', 'exec "$0" 2>&-'], timeout=20)
        self.assertEqual((r.status, r.stderr, r.flips), (0, '', 6))
        self.assertEqual(len(r.named('fflush')), 1)


if __name__ == '__main__':
    unittest.main()
