"""What tumble should draw, worked out independently of it: glibc's unseeded
rand(), and frame by frame the turn, the zoom and the bouncing point the
turned picture is centred on."""
import math
import struct


def glibc_rand(n):
    """The first n values of glibc's rand() from its default seed (1)."""
    r = [1]
    for i in range(1, 31):
        r.append(16807 * r[-1] % 2147483647)
    r += r[:3]
    for i in range(34, 344 + n):
        r.append((r[i - 31] + r[i - 3]) & 0xFFFFFFFF)
    return tuple(v >> 1 for v in r[344:])


RAND = glibc_rand(3)  # (1804289383, 846930886, 1681692777)


def unseeded(draws):
    """Whether draws follow each other in glibc's unseeded rand() sequence.
    Not always from its start: libraries may draw first (Mesa, presenting for
    the SDL2-based SDL 1.2, does on a cold shader cache)."""
    sequence = glibc_rand(1000)
    return any(sequence[i:i + len(draws)] == tuple(draws) for i in range(len(sequence) - len(draws) + 1))


def f32(x):
    """x rounded to single precision (and widened back)."""
    return struct.unpack('<f', struct.pack('<f', x))[0]


ANGLE_STEP = f32(1.3)  # 1.2999999523162842


def half(n):
    """Integer half rounded toward zero, as C's n / 2."""
    return int(n / 2)


def s16(v):
    return (v + 0x8000) % 0x10000 - 0x8000


def blit_rect(x, y, w, h):
    """blit_at's destination rectangle for a w x h surface centred on (x, y)."""
    return s16(s16(x) - half(w)), s16(s16(y) - half(h)), w & 0xFFFF, h & 0xFFFF


def animation(w, h, draws=RAND):
    """Yields, frame by frame, (angle, zoom, x, y): the turn and scale asked of
    rotozoomSurface and the point the turned picture is centred on, from the
    three values rand() gave."""
    base_zoom = f32(w / 1280.0)
    vel_x = vel_y = f32(w / 640.0)
    pos_x, pos_y = f32(draws[0] % w), f32(draws[1] % h)
    angle = float(draws[2] % 359)
    while True:
        yield angle, (math.sin(angle * 0.01) * 0.25 + 0.75) * base_zoom, int(pos_x), int(pos_y)
        if pos_x > w or pos_x < 0:
            vel_x = -vel_x
        if pos_y > h or pos_y < 0:
            vel_y = -vel_y
        angle += ANGLE_STEP
        pos_x, pos_y = f32(pos_x + vel_x), f32(pos_y + vel_y)
