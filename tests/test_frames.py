#!/usr/bin/env python3
"""tumble's start-up and its animation, frame by frame, against values worked
out here: the unseeded draws, the turn and pulse, the bounce off the edges,
and what each frame asks of the libraries."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, model, tumble, xvfb  # noqa: E402

FRAMES = 700
# Looked at only where the order among them does not matter or may change.
QUIET = ('SDL_PollEvent', 'SDL_MapRGB', 'IMG_isPNG', 'SDL_FreeSurface', 'fflush')


class StartUp(unittest.TestCase):
    def test_calls_in_order_with_their_values(self):
        r = tumble.run(xvfb.display(640, 480), events=['3:quit'])
        self.assertEqual((r.status, r.stderr), (0, ''))
        calls = [c for c in r.startup() if c.name not in QUIET]
        load = next(c for c in calls if c.name == 'IMG_LoadPNG_RW')
        # through a stream opened on the file just before
        opened = calls[calls.index(load) - 1]
        self.assertEqual((opened.name, opened.args), ('SDL_RWFromFile', {'file': 'tavrin.png', 'mode': 'rb'}))
        calls.remove(opened)
        self.assertEqual((load.res['w'], load.res['h']), assets.png_size(assets.small_assets()['tavrin.png']))
        self.assertEqual([(c.name, c.args) for c in calls], [
            ('SDL_Init', {'flags': 0xFFFF}),
            ('SDL_SetVideoMode', {'w': 0, 'h': 0, 'bpp': 32, 'flags': 0xC0000001}),
            ('SDL_ShowCursor', {'toggle': 0}),
            ('rand', {}), ('rand', {}), ('rand', {}),
            (load.name, load.args),
            ('SDL_DisplayFormat', {'src': load.res['s']}),
            ('Mix_OpenAudio', {'freq': 22050, 'format': 0x8010, 'channels': 2, 'chunksize': 1024}),
            ('Mix_AllocateChannels', {'n': 1}),
            ('SDL_RWFromFile', {'file': 'tavrin.ogg', 'mode': 'rb'}),
            ('Mix_LoadWAV_RW', {'src': 'set', 'freesrc': 1}),
            ('Mix_PlayChannelTimed', {'channel': 0, 'chunk': 'set', 'loops': -1, 'ticks': -1})])
        self.assertTrue(model.unseeded([c.res['r'] for c in calls if c.name == 'rand']), calls)
        self.assertEqual(r.named('Mix_LoadWAV_RW')[0].res['chunk'], 'set')

    def test_same_run_every_time_whatever_the_arguments(self):
        def comparable(result):
            return [(c.name, c.frame, {k: v for k, v in c.args.items() if not k.endswith('_kb')}, c.res)
                    for c in result.calls if c.name != 'SDL_PollEvent']
        disp = xvfb.display(640, 480)
        plain = tumble.run(disp, events=['40:quit'])
        with_args = tumble.run(disp, events=['40:quit'], args=['-h', '--fullscreen=0', 'tavrin.png', ''])
        self.assertEqual(plain.flips, 41)
        self.assertEqual((with_args.status, with_args.stderr), (plain.status, plain.stderr))
        self.assertEqual(comparable(with_args), comparable(plain))


class Animation(unittest.TestCase):
    def check(self, width, height, frames=FRAMES):
        """Every frame: the queue drained, then a black fill of the whole screen,
        one turned copy of the converted picture at the angle and zoom worked
        out here, drawn centred on the bouncing position, freed, flipped and
        waited for."""
        r = tumble.run(xvfb.display(width, height), events=[f'{frames - 1}:quit'], timeout=180)
        self.assertEqual((r.status, r.stderr, r.flips), (0, '', frames))
        mode = r.named('SDL_SetVideoMode')[0].res
        self.assertEqual((mode['w'], mode['h']), (width, height))
        image = r.named('SDL_DisplayFormat')[0].res['s']
        black = {c.res['v'] for c in r.named('SDL_MapRGB') if (c.args['r'], c.args['g'], c.args['b']) == (0, 0, 0)}
        self.assertEqual(len(black), 1)
        black = black.pop()

        draws = [c.res['r'] for c in r.named('rand')]
        self.assertTrue(model.unseeded(draws), draws)
        expected = model.animation(width, height, draws)
        xs, ys = [], []
        for n in range(frames):
            at = f'frame {n}'
            frame = [c for c in r.frame(n) if c.name != 'SDL_MapRGB']
            polls = [c for c in frame if c.name == 'SDL_PollEvent']
            self.assertEqual(frame[:len(polls)], polls, at)
            self.assertEqual(polls[-1].res['r'], 0, at)
            self.assertEqual([c.name for c in frame[len(polls):]], [
                'SDL_FillRect', 'rotozoomSurface', 'SDL_UpperBlit', 'SDL_FreeSurface', 'SDL_Flip', 'SDL_Delay']
                + ['SDL_QuitSubSystem', 'SDL_Quit'] * (n == frames - 1), at)
            fill, turn, blit, free, flip, delay = frame[len(polls):len(polls) + 6]
            angle, zoom, x, y = next(expected)
            self.assertEqual(fill.args, {'dst': 'screen', 'rect': 'null', 'color': black}, at)
            self.assertEqual(turn.args, {'src': image, 'angle': angle, 'zoom': zoom, 'smooth': 0}, at)
            turned = turn.res['s']
            bx, by, bw, bh = model.blit_rect(x, y, turn.res['w'], turn.res['h'])
            self.assertEqual(blit.args, {'src': turned, 'srcrect': 'null', 'dst': 'screen',
                                         'x': bx, 'y': by, 'w': bw, 'h': bh}, at)
            self.assertEqual(free.args, {'s': turned}, at)
            self.assertEqual((flip.args, flip.res, delay.args), ({'s': 'screen'}, {'r': 0}, {'ms': 20}), at)
            xs.append(x)
            ys.append(y)
        # The run is long enough to have turned back in both directions.
        self.assertLess(xs.index(max(xs)), frames - 5)
        self.assertLess(ys.index(max(ys)), frames - 5)

    def test_landscape_640x480(self):
        # Steps of exactly one pixel: the centre lands on 640 and 480 exactly,
        # which must not bounce, and one step later must.
        self.check(640, 480)

    def test_common_1024x768(self):
        # A step of 1.6, not exact in binary: positions kept in anything but
        # single precision leave the path by a pixel from frame 50 on.
        self.check(1024, 768)

    def test_narrow_portrait_360x640(self):
        # Steps of 0.5625 from the width on both axes; it bounces off the right
        # edge early, the bottom later, and passes between -1 and 0 on the left.
        self.check(360, 640)


if __name__ == '__main__':
    unittest.main()
