#!/usr/bin/env python3
"""Mutated copies of the default picture and music against the real tumble:
whatever the bytes, it ends by itself, with no signal, no hang, and no lines
but its own (and libpng's complaints about a broken picture). A short run:
the file guards and the decoders behind them are fuzzed in-process far
faster (file_guards_fuzz.cpp); this checks the whole program around them.

TUMBLE_FUZZ_CASES sets the number of mutants of each file (default 25); the
mutants are the same on every run, and any that fail are kept in
TUMBLE_TEST_OUT for a closer look."""
import os
import random
import re
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, tumble, xvfb  # noqa: E402
import test_failures  # noqa: E402

CASES = int(os.environ.get('TUMBLE_FUZZ_CASES', '25'))
OWN_LINES = re.compile('|'.join(re.escape(line).replace(r'\{\}', '.*') for line in
                                (test_failures.PICTURE_LINE, test_failures.MUSIC_LINE)))
# The SDL2-based library sets up OpenGL for every run unless told not to; the
# files are read the same either way.
FAST = {'SDL_RENDER_DRIVER': 'software', 'SDL_FRAMEBUFFER_ACCELERATION': '0'} if common.SDL == 'compat' else {}


def mutants(data, markers, seed):
    """CASES mutants of data: bits flipped anywhere or in the headers of its
    chunks or pages (found by their markers), four bytes overwritten, or the
    file cut short."""
    rnd = random.Random(seed)
    headers = [m.start() for m in re.finditer(markers, data)]
    for _ in range(CASES):
        b = bytearray(data)
        kind = rnd.random()
        if kind < 0.15:
            del b[rnd.randrange(len(b)):]
        elif kind < 0.3:
            at = rnd.randrange(len(b) - 4)
            b[at:at + 4] = rnd.randbytes(4)
        else:
            near = kind < 0.6
            for _ in range(rnd.randint(1, 4)):
                at = rnd.choice(headers) + rnd.randrange(-4, 24) if near else rnd.randrange(len(b))
                at = min(max(at, 0), len(b) - 1)
                b[at] ^= 1 << rnd.randrange(8)
        yield bytes(b)


class Fuzz(unittest.TestCase):
    def fuzz(self, name, markers, seed):
        disp = xvfb.display(320, 200)
        with open(assets.default_assets()[name], 'rb') as f:
            original = f.read()
        failed = []
        for n, data in enumerate(mutants(original, markers, seed)):
            path = os.path.join(common.workdir({}), name)
            with open(path, 'wb') as f:
                f.write(data)
            try:
                r = tumble.run(disp, files=dict(assets.default_assets(), **{name: path}), events=['0:quit'], timeout=15,
                               env=FAST)
                foreign = [line for line in r.stderr.splitlines(keepends=True)
                           if not OWN_LINES.fullmatch(line) and not line.startswith('libpng ')]
                problem = (f'status {r.status}' if r.status not in (0, 1) else
                           'a signal' if any(rec.name == 'signal' for rec in r.log) else
                           f'lines not its own: {foreign}' if foreign else None)
            except AssertionError as e:  # hung
                problem = str(e)[:300]
            if problem:
                kept = os.path.join(common.OUT, f'fuzz_{common.SDL}_{n}_{name}')
                with open(kept, 'wb') as f:
                    f.write(data)
                failed.append(f'{kept}: {problem}')
        self.assertEqual(failed, [])

    def test_mutated_pictures(self):
        self.fuzz('tavrin.png', b'IHDR|IDAT|IEND|[a-z][A-Z][A-Z][a-zA-Z]', 1)

    def test_mutated_music(self):
        self.fuzz('tavrin.ogg', b'OggS', 2)


if __name__ == '__main__':
    unittest.main()
