#!/usr/bin/env python3
"""The frame-by-frame animation check of test_frames on the smallest screen
(steps of half a pixel), the largest, and a tall portrait one; each run long
enough to turn back in both directions."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import test_frames  # noqa: E402


class Screens(unittest.TestCase):
    check = test_frames.Animation.check

    def test_sizes(self):
        for width, height, frames in ((320, 200, 450), (1080, 1920, 450), (3840, 2160, 640)):
            with self.subTest(f'{width}x{height}'):
                self.check(width, height, frames)


if __name__ == '__main__':
    unittest.main()
