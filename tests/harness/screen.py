"""Reading screenshots (raw RGB, 3 bytes a pixel) of any display the tests
drive, the X server or a compositor: where the picture is, waiting for it."""
import re
import subprocess
import time


def picture_region(rgb, w, h):
    """Count and bounding box (x0, y0, x1, y1) of the pixels that are not black."""
    count, x0, y0, x1, y1 = 0, w, h, -1, -1
    for y in range(h):
        row = rgb[y * w * 3:(y + 1) * w * 3]
        if row.count(0) == len(row):
            continue
        for x in range(w):
            if row[x * 3] or row[x * 3 + 1] or row[x * 3 + 2]:
                count += 1
                x0, x1, y0, y1 = min(x0, x), max(x1, x), min(y0, y), max(y1, y)
    return count, (x0, y0, x1, y1)


def wait_for_picture(disp, proc, timeout=20):
    """Screenshots until the picture is on the black screen (not a compositor's
    desktop still showing); returns the last one."""
    deadline = time.monotonic() + timeout
    while True:
        rgb = disp.screenshot()
        on_black = rgb.count(0) > len(rgb) // 2 and picture_region(rgb, disp.w, disp.h)[0]
        if on_black or time.monotonic() > deadline or proc.poll() is not None:
            return rgb
        time.sleep(0.1)


def ppm_rgb(data):
    """(w, h, raw RGB bytes) of a binary PPM (P6, maxval 255)."""
    fields = re.match(rb'P6\s+(\d+)\s+(\d+)\s+255\s', data)
    w, h = int(fields[1]), int(fields[2])
    return w, h, data[fields.end():fields.end() + w * h * 3]


def save_rgb(rgb, w, h, png_path):
    subprocess.run(['convert', '-size', f'{w}x{h}', '-depth', '8', 'rgb:-', 'png:' + png_path], input=rgb,
                   check=True)
