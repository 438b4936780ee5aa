#!/usr/bin/python3
"""A screenshot of tumble running under Xvfb, or under weston natively on the
SDL2-based library, from the source tree after a build (./test or ./run):

  tests/screenshot.py OUT.png [--size 1280x720] [--sdl classic] [--assets build/run]
                      [--after 2.0] [--wayland]

The implementations' folders come from build/CMakeCache.txt unless given."""
import argparse
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, compositors, screen, sdl_impl, tumble, xvfb  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description='Take a screenshot of tumble running under Xvfb or weston.')
    parser.add_argument('out')
    parser.add_argument('--size', default='1280x720')
    parser.add_argument('--sdl', choices=['classic', 'compat'], default=common.SDL)
    parser.add_argument('--assets', default=common.ASSETS)
    parser.add_argument('--after', type=float, default=2.0, help='seconds to let it run first')
    for impl in sdl_impl.IMPLS:
        parser.add_argument(f'--{impl}-libdir', default=common.LIBDIRS[impl])
    parser.add_argument('--wayland', action='store_true', help='under weston, on the SDL2-based library')
    opts = parser.parse_args()
    common.SDL = 'compat' if opts.wayland else opts.sdl
    common.LIBDIRS.update(classic=opts.classic_libdir, compat=opts.compat_libdir)
    if not common.libdir():
        parser.error(f'{sdl_impl.NAMES[common.SDL]} cannot be had here: no folder for it (--{common.SDL}-libdir)')
    w, h = map(int, opts.size.split('x'))
    disp = compositors.Weston(w, h) if opts.wayland else xvfb.Display(w, h)
    try:
        with tumble.plain(disp, assets.default_assets(opts.assets)) as proc:
            screen.wait_for_picture(disp, proc)
            time.sleep(opts.after)
            disp.screenshot(opts.out)
            disp.xdotool('key', 'space')
            proc.wait(10)
        print(f'{opts.out}: {w}x{h}, tumble ended with status {proc.returncode}')
    finally:
        disp.close()


if __name__ == '__main__':
    sys.exit(main())
