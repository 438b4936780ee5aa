"""The pictures and music the tests hand tumble: PNGs written here, a small
picture and a second of tone made once per process, or the default ones the
build made."""
import os
import struct
import subprocess
import zlib

from harness import common


def png_chunk(kind, data):
    return struct.pack('>I', len(data)) + kind + data + struct.pack('>I', zlib.crc32(kind + data))


def png(w, h, pixel, extra=b''):
    """A PNG (8-bit RGB) of w x h, pixel(x, y) giving (r, g, b); extra (whole
    chunks) goes between the header and the image data."""
    rows = b''.join(b'\0' + bytes(c for x in range(w) for c in pixel(x, y)) for y in range(h))
    return (b'\x89PNG\r\n\x1a\n' + png_chunk(b'IHDR', struct.pack('>IIBBBBB', w, h, 8, 2, 0, 0, 0)) + extra
            + png_chunk(b'IDAT', zlib.compress(rows)) + png_chunk(b'IEND', b''))


def png_size(path):
    with open(path, 'rb') as f:
        head = f.read(24)
    return struct.unpack('>II', head[16:24])


_small = {}


def small_assets():
    """A small picture with no black in it, lighter at the top so a turn shows,
    and one second of a loud tone as music. Made once per process."""
    if not _small:
        pic = os.path.join(common.TMP, 'picture.png')
        with open(pic, 'wb') as f:
            f.write(png(120, 80, lambda x, y: (255 - y, 60 + x, 40 + (x ^ y) % 128)))
        ogg = os.path.join(common.TMP, 'music.ogg')
        subprocess.run(['sox', '-n', '-r', '22050', '-c', '2', ogg, 'synth', '1', 'sine', '440', 'vol', '0.5'],
                       check=True)
        _small.update({'tavrin.png': pic, 'tavrin.ogg': ogg})
    return dict(_small)


def default_assets(folder=None):
    """The generator's picture and music when they have been built, else the test ones."""
    found = {n: os.path.join(folder or common.ASSETS, n) for n in ('tavrin.png', 'tavrin.ogg')}
    return found if all(os.path.isfile(p) for p in found.values()) else small_assets()
