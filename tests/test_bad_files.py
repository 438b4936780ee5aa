#!/usr/bin/env python3
"""Whatever lies in tavrin.png and tavrin.ogg, tumble ends with its line and
status, never a signal, never a hang: a picture that is not a whole PNG ends it
with the picture line and 1; any PNG it can hold runs; music that is not a
whole Ogg Vorbis file gets the music line, and the animation runs silently."""
import os
import pathlib
import random
import re
import struct
import subprocess
import sys
import time
import unittest
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, screen, tumble, xvfb  # noqa: E402
import test_failures  # noqa: E402

NOT_PNG, NOT_OGG, UNREADABLE_PNG = 'not a PNG image', 'not an Ogg Vorbis file', 'Error reading the PNG file.'
CUT_PNG, NOT_REGULAR, LOOP = 'truncated or corrupt PNG file', 'not a regular file', 'Too many levels of symbolic links'
# SDL_RWFromFile's own text for a missing file: SDL2 from 2.28 on names the cause.
MISSING = ("Couldn't open tavrin.png", "Couldn't open tavrin.png: No such file or directory")
JUNK = random.Random(3).randbytes(4096)


# Root, but without the right to read what its mode forbids.
AS_USER = ['setpriv', '--bounding-set', '-dac_override,-dac_read_search']


def unreadable(content):
    def write(path):
        with open(path, 'wb') as f:
            f.write(content)
        os.chmod(path, 0)
    return write


def symlink_loop(path):
    os.symlink(os.path.basename(path), path)


def ogg_crc(data):
    """An Ogg page's checksum (CRC-32, polynomial 0x04c11db7, unreflected)."""
    crc = 0
    for byte in data:
        crc ^= byte << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7 if crc & 0x80000000 else crc << 1) & 0xFFFFFFFF
    return crc


def claiming(ogg, samples):
    """ogg with its last page claiming that the stream holds samples, its checksum made right."""
    last = ogg.rindex(b'OggS')
    page = bytearray(ogg[last:])
    page[6:14] = struct.pack('<q', samples)
    page[22:26] = bytes(4)
    page[22:26] = struct.pack('<I', ogg_crc(page))
    return ogg[:last] + bytes(page)


def made(name, content):
    """A file name in a fresh folder, holding content: bytes, a function of
    the path that writes it, or None for no file."""
    path = os.path.join(common.workdir({}), name)
    if isinstance(content, bytes):
        with open(path, 'wb') as f:
            f.write(content)
    elif content:
        content(path)
    return path


def convert(*how):
    """Writes the test picture converted with ImageMagick: how ends in the output format."""
    return lambda path: subprocess.run(['convert', assets.small_assets()['tavrin.png'], *how[:-1], how[-1] + path],
                                       check=True)


def sox(*how):
    """Writes a sine tone with sox: how ends in its length in seconds."""
    return lambda path: subprocess.run(['sox', '-n', *how[:-1], path, 'synth', how[-1], 'sine', '440'],
                                       check=True)


def ihdr(path):
    """(width, height, bit depth, colour type, interlace) from a PNG's header."""
    with open(path, 'rb') as f:
        return struct.unpack('>IIBBxxB', f.read(29)[16:])


class Picture(unittest.TestCase):
    def test_not_a_whole_png_ends_it_with_the_picture_line(self):
        png = pathlib.Path(assets.small_assets()['tavrin.png']).read_bytes()
        idat = png.index(b'IDAT') - 4
        # A comment chunk before the image, cut off, used to send the decoder
        # round for ever on stale bytes. The chunk walk's other edges are left
        # to the file guards' own tests.
        with_text = png[:idat] + assets.png_chunk(b'tEXt', b'Comment\0' + b'x' * 3000) + png[idat:]
        # The image data in chunks of 200 bytes, the file ending after half of them.
        rows = zlib.compress(b''.join(b'\0' + bytes((x * 7 + y) % 256 for x in range(360)) for y in range(80)))
        parts = [assets.png_chunk(b'IDAT', rows[i:i + 200]) for i in range(0, len(rows), 200)]
        half_the_chunks = png[:idat] + b''.join(parts[:len(parts) // 2])
        for name, content, reason in (
                ('missing', None, MISSING),
                ('cut in a comment chunk', with_text[:idat + 1500], CUT_PNG),
                ('cut between chunks of the image data', half_the_chunks, UNREADABLE_PNG),
                ('a named pipe', os.mkfifo, NOT_REGULAR),
                ('a symlink loop', symlink_loop, LOOP),
                ('no permission', unreadable(png), 'Permission denied'),
                ('JPEG', convert('jpg:'), NOT_PNG),
                # SDL 1.2 makes no surface 16384 pixels wide or more.
                ('16400x4', assets.png(16400, 4, lambda x, y: (200, 100, 50)), None),
                # Within that, but its rows at 4 bytes a pixel pass 2 GiB: a few
                # rows of data, with a header that claims the size.
                ('16000x40000', png[:16] + struct.pack('>II', 16000, 40000) + png[24:29]
                 + struct.pack('>I', zlib.crc32(png[12:16] + struct.pack('>II', 16000, 40000) + png[24:29]))
                 + assets.png_chunk(b'IDAT', zlib.compress(bytes(16000 * 3 + 1) * 4)) + assets.png_chunk(b'IEND', b''),
                 'too large: 16000x40000 pixels')):
            with self.subTest(name):
                r = tumble.run(xvfb.display(640, 480), files={'tavrin.png': made('tavrin.png', content)},
                               events=['5:keydown'], wrap=AS_USER if name == 'no permission' else ())
                self.assertEqual(r.status, 1, r)
                # libpng writes its own complaint before the line; nothing else may.
                *before, last = r.stderr.splitlines(keepends=True)
                texts = (reason,) if isinstance(reason, str) else reason
                line = re.escape(test_failures.PICTURE_LINE).replace(
                    r'\{\}', '(' + '|'.join(map(re.escape, texts)) + ')' if reason else '.+')
                self.assertRegex(last, f'^{line}$')
                self.assertTrue(all(b.startswith('libpng ') for b in before), r.stderr)
                self.assertEqual([c.name for c in r.calls[-3:]], ['SDL_QuitSubSystem', 'fflush', 'SDL_Quit'])
                self.assertFalse(r.named('SDL_Flip'))
                self.assertLess(r.named('fflush')[-1].t - r.named('rand')[-1].t, 1e9, 'the line within a second')

    def test_any_png_it_can_hold_runs_and_draws(self):
        png = pathlib.Path(assets.small_assets()['tavrin.png']).read_bytes()
        for name, content, header in (
                ('1x1', convert('-crop', '1x1+0+0', 'PNG24:'), (1, 1, 8, 2, 0)),
                ('paletted', convert('-type', 'Palette', 'PNG8:'), (120, 80, 8, 3, 0)),
                ('greyscale', convert('-colorspace', 'Gray', 'PNG:'), (120, 80, 8, 0, 0)),
                ('16-bit', convert('-depth', '16', 'PNG48:'), (120, 80, 16, 2, 0)),
                ('interlaced', convert('-interlace', 'PNG', 'PNG24:'), (120, 80, 8, 2, 1)),
                ('with alpha', convert('-alpha', 'set', 'PNG32:'), (120, 80, 8, 6, 0)),
                ('4000x10', assets.png(4000, 10, lambda x, y: (x % 200 + 50, 90, 160)), (4000, 10, 8, 2, 0)),
                # All of the image is there: the loader stops after it.
                ('no end chunk', png[:-12], (120, 80, 8, 2, 0))):
            with self.subTest(name):
                path = made('tavrin.png', content)
                self.assertEqual(ihdr(path), header)
                r = tumble.run(xvfb.display(640, 480), files={'tavrin.png': path}, events=['20:keydown'])
                self.assertEqual((r.status, r.stderr, r.flips), (0, '', 21))
                self.assertEqual(tuple(r.named('SDL_DisplayFormat')[0].res.values())[1:], header[:2])
                self.assertEqual(len(r.named('SDL_UpperBlit')), 21, 'a picture drawn every frame')

    def test_transparency_is_dropped(self):
        # Half transparent everywhere: drawn with its alpha on black, no red
        # would pass 128; dropped, the top rows' red of 250 and more shows.
        disp = xvfb.display(640, 480)
        path = made('tavrin.png', convert('-alpha', 'set', '-channel', 'A', '-evaluate', 'set', '50%', '+channel',
                                          'PNG32:'))
        with tumble.plain(disp, dict(assets.small_assets(), **{'tavrin.png': path})) as proc:
            screen.wait_for_picture(disp, proc)
            time.sleep(0.5)  # the SDL2-based one shows its first frames scaled, while it goes full-screen
            rgb = disp.screenshot()
            self.assertIsNone(tumble.ended(proc))
            subprocess.run(['xdotool', 'key', 'space'], env=dict(os.environ, DISPLAY=disp.name), check=True)
            status = proc.wait(5)
        self.assertEqual((status, proc.stderr_text), (0, ''))
        self.assertGreater(max(rgb[0::3]), 200)

    def test_turned_picture_too_wide_for_a_surface_draws_nothing(self):
        # 13000x4 loads, but on a 2560-wide screen it starts nearly level at
        # more than its size: no turned copy can be made for the first frames,
        # which show nothing, until it has turned and shrunk enough.
        path = made('tavrin.png', assets.png(13000, 4, lambda x, y: (200, 100, 50)))
        r = tumble.run(xvfb.display(2560, 400), files={'tavrin.png': path}, events=['7:keydown'])
        self.assertEqual((r.status, r.stderr, r.flips), (0, '', 8))
        turned = [c.res['s'] != 'null' for c in r.named('rotozoomSurface')]
        self.assertEqual((turned[0], turned[-1]), (False, True), turned)
        self.assertEqual(len(r.named('SDL_UpperBlit')), sum(turned))


def ten_seconds():
    """Ten seconds of sound, in pages enough that the last one alone sets the length."""
    path = made('ten.ogg', sox('-r', '22050', '-c', '2', '10'))
    return pathlib.Path(path).read_bytes()


class Music(unittest.TestCase):
    assert_music_line = test_failures.RiddenOut.assert_music_line

    def run_with(self, content, timeout=60):
        return tumble.run(xvfb.display(640, 480), files={'tavrin.ogg': made('tavrin.ogg', content)},
                          events=['5:quit'], timeout=timeout)

    def test_not_ogg_vorbis_gets_the_music_line(self):
        ogg = pathlib.Path(assets.small_assets()['tavrin.ogg']).read_bytes()
        pages = [m.start() for m in re.finditer(b'OggS', ogg)]
        for name, content, reason in (
                ('missing', None, None),
                ('WAV', sox('-r', '22050', '-c', '2', '-t', 'wav', '1'), NOT_OGG),
                ('Ogg signature, then random bytes', b'OggS' + JUNK, None),
                ('cut in the first header', ogg[:pages[1] // 2], None),
                ('first header only', ogg[:pages[1]], None),
                ('cut in the setup header', ogg[:(pages[1] + pages[2]) // 2], None),
                ('a named pipe', os.mkfifo, NOT_REGULAR),
                ('a symlink loop', symlink_loop, LOOP),
                # More than the mixer's buffers can count: refused before it decodes.
                ('last page claims 7.5 hours', claiming(ten_seconds(), 600_000_000), 'too long to be held in memory')):
            with self.subTest(name):
                self.assert_music_line(self.run_with(content), reason)

    def test_whatever_sound_it_has_plays(self):
        ogg = pathlib.Path(assets.small_assets()['tavrin.ogg']).read_bytes()
        pages = [m.start() for m in re.finditer(b'OggS', ogg)]
        for name, content, timeout in (
                ('mono 44.1 kHz', sox('-r', '44100', '-c', '1', '1'), 60),
                ('50 ms', sox('-r', '22050', '-c', '2', '0.05'), 60),
                # Decoded whole before the first frame.
                ('10 minutes', sox('-r', '8000', '-c', '1', '-C', '-1', '600'), 180),
                # Cut files may give what they hold, or nothing and the line.
                ('headers only', ogg[:pages[2]], 60),
                ('cut in the sound', ogg[:(pages[2] + len(ogg)) // 2], 60),
                ('last byte missing', ogg[:-1], 60),
                ('last page claims 30 minutes', claiming(ten_seconds(), 22050 * 1800), 60)):
            with self.subTest(name):
                r = self.run_with(content, timeout)
                if name.startswith(('headers', 'cut', 'last')) and r.stderr:
                    self.assert_music_line(r)
                    continue
                self.assertEqual((r.status, r.stderr, r.flips), (0, '', 6))
                self.assertEqual(r.named('Mix_PlayChannelTimed')[0].args['chunk'], 'set')


if __name__ == '__main__':
    unittest.main()
