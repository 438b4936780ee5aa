#!/usr/bin/env python3
"""Long runs: resident memory stays flat over 100,000 frames, and memcheck
finds no leak and no bad access in tumble's own code over a few hundred."""
import os
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import common, tumble, xvfb  # noqa: E402

FRAMES = 100_000


@unittest.skipIf(common.SANITIZED, 'the sanitizers change memory use and cannot run under valgrind')
class Endurance(unittest.TestCase):
    def test_memory_flat_over_100000_frames(self):
        r = tumble.run(xvfb.display(320, 200), events=[f'{FRAMES - 1}:keydown'], calls=['SDL_Quit'],
                       env={'TUMBLE_SHIM_RSS': '1000'}, timeout=400)
        self.assertEqual((r.status, r.stderr), (0, ''))
        rss = [c.args['kb'] for c in r.log if c.name == 'rss']
        self.assertEqual(len(rss), FRAMES // 1000)
        # Sampled every 1,000 frames: from the first sample on, under 1 MiB more.
        self.assertLess(max(rss) - rss[0], 1024, rss)

    @unittest.skipIf(common.SDL != 'classic', "memcheck runs on the classic SDL only")
    def test_memcheck_finds_nothing_of_tumbles_own(self):
        report = os.path.join(common.workdir({}), 'memcheck.xml')
        r = tumble.run(xvfb.display(320, 200), events=['499:keydown'], calls=['SDL_Quit'], timeout=300,
                       wrap=['valgrind', '--leak-check=full', '--xml=yes', f'--xml-file={report}', '--num-callers=50'])
        self.assertEqual((r.status, r.stderr), (0, ''))
        # A lost block or a bad access is tumble's when its stack passes through
        # the executable, unless the call made there is one that starts a
        # library: what a library keeps or loses for itself is not tumble's.
        exe = os.path.realpath(common.BIN)
        ours = []
        for error in ET.parse(report).getroot().iter('error'):
            kind = error.findtext('kind')
            if kind.startswith('Leak_') and kind not in ('Leak_DefinitelyLost', 'Leak_IndirectlyLost'):
                continue
            frames = list(error.find('stack').iter('frame'))
            at = next((i for i, f in enumerate(frames) if f.findtext('obj') == exe), None)
            if at is None or at > 0 and frames[at - 1].findtext('fn') in ('SDL_Init', 'SDL_SetVideoMode',
                                                                         'Mix_OpenAudio'):
                continue
            ours.append(f"{kind}: {error.findtext('xwhat/text') or error.findtext('what')} at "
                        + ' < '.join(f.findtext('fn') or f.findtext('obj') for f in frames[:at + 1]))
        self.assertEqual(ours, [])


if __name__ == '__main__':
    unittest.main()
