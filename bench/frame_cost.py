#!/usr/bin/env python3
"""What one frame of tumble costs, per screen size and SDL 1.2 implementation.

Runs the real tumble with its default picture and music under Xvfb, through the
preloaded shim (tests/shim.c) with its 20 ms waits skipped, for a fixed number
of frames ended by an injected key press. A frame's work runs from its first
SDL_PollEvent to its SDL_Flip returning, timed on the main thread. Beside each
run, the floor: the same tumble with every rotozoomSurface made to fail, so a
frame is only the event poll, the black fill and the flip on the same display
path. Writes a Markdown report and a plot.

Usually started by bench/run, which installs and builds what it needs.
"""
import argparse
import os
import platform
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(ROOT, 'tests'))
from harness import assets, common, tumble, xvfb  # noqa: E402  (Xvfb/openbox start-up, the shim's log lines)

PARTS = ('SDL_FillRect', 'rotozoomSurface', 'SDL_UpperBlit', 'SDL_Flip')
CALLS = ('SDL_Init', 'SDL_SetVideoMode', 'Mix_LoadWAV_RW', 'SDL_PollEvent', 'SDL_Quit') + PARTS
SOFTWARE = {'SDL_RENDER_DRIVER': 'software', 'SDL_FRAMEBUFFER_ACCELERATION': '0'}
# name, on SDL2 (needs a window manager), extra environment
IMPLS = (('classic', False, {}), ('compat', True, {}), ('compat, software', True, SOFTWARE))
TICK = os.sysconf('SC_CLK_TCK')


def cpu_ticks(pid):
    """utime + stime of a process (all its threads), in clock ticks."""
    try:
        with open(f'/proc/{pid}/stat') as f:
            fields = f.read().rsplit(')', 1)[1].split()
        return int(fields[11]) + int(fields[12])
    except (OSError, IndexError):
        return None


def run(opts, disp, impl, floor, frames=None):
    """One run of tumble; returns its measurements as a dict."""
    name, on_sdl2, extra = impl
    frames = frames or opts.frames
    log = os.path.join(opts.tmp, f'log{time.monotonic_ns()}')
    env = {k: v for k, v in os.environ.items()
           if not k.startswith(('TUMBLE_', 'SDL_')) and k != 'LD_LIBRARY_PATH'}
    env.update(DISPLAY=disp.name, SDL_AUDIODRIVER='dummy', LD_PRELOAD=opts.shim, TUMBLE_SHIM_LOG=log,
               TUMBLE_SHIM_NODELAY='1', TUMBLE_SHIM_CALLS=','.join(CALLS), TUMBLE_SHIM_RSS='100',
               TUMBLE_SHIM_EVENTS=f'{frames - 1}:keydown', **extra)
    env['LD_LIBRARY_PATH'] = opts.compat_libdir if on_sdl2 else opts.classic_libdir
    if floor:
        env['TUMBLE_SHIM_FAIL'] = 'rotozoomSurface@0-'
    xvfb = disp.procs[0].pid
    samples = []  # (time ns, tumble ticks, Xvfb ticks) while tumble runs
    spawned = time.monotonic_ns()
    proc = subprocess.Popen([opts.bin], cwd=opts.assets, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    done = threading.Event()

    def sample():
        while not done.wait(0.05):
            t, own, x = time.monotonic_ns(), cpu_ticks(proc.pid), cpu_ticks(xvfb)
            if own is not None and x is not None:
                samples.append((t, own, x))
    sampler = threading.Thread(target=sample)
    sampler.start()
    try:
        _, err = proc.communicate(timeout=opts.timeout)
    finally:
        done.set()
        sampler.join()
        if proc.poll() is None:
            proc.kill()
    with open(log) as f:
        recs = [tumble.Rec(line) for line in f if line.strip()]
    os.unlink(log)
    if proc.returncode != 0:
        sys.exit(f'tumble ({name}) ended with status {proc.returncode}: {err.decode(errors="replace")}')
    sdl = next(r.args['sdl'] for r in recs if r.name == 'start')
    if ('/sdl12-compat/' in sdl) != on_sdl2:
        sys.exit(f'tumble ({name}) ran on the wrong libSDL: {sdl}')
    mode = next(r for r in recs if r.name == 'SDL_SetVideoMode')
    if (mode.res['w'], mode.res['h']) != (disp.w, disp.h):
        sys.exit(f'tumble ({name}) got a {mode.res["w"]}x{mode.res["h"]} screen on {disp.w}x{disp.h}')

    by_frame = {}
    for r in recs:
        if r.name in ('SDL_PollEvent',) + PARTS:
            by_frame.setdefault(r.frame, []).append(r)
    work, parts, flip_ends = [], dict.fromkeys(PARTS, 0), []
    for calls in by_frame.values():
        polls = [r for r in calls if r.name == 'SDL_PollEvent']
        flip = [r for r in calls if r.name == 'SDL_Flip']
        if not polls or not flip:
            continue
        flip_ends.append(flip[-1].t + flip[-1].dur)
        work.append((flip_ends[-1] - polls[0].t) / 1e6)
        for r in calls:
            if r.name in parts:
                parts[r.name] += r.dur / 1e6
    if len(work) != frames:
        sys.exit(f'tumble ({name}) showed {len(work)} frames, not {frames}')

    # Whole-process CPU per frame, tumble's and the X server's, over the samples
    # taken between the first and the last flip.
    inside = [s for s in samples if flip_ends[0] < s[0] < flip_ends[-1]]
    cpu = x_cpu = None
    if len(inside) >= 2:
        (t0, own0, x0), (t1, own1, x1) = inside[0], inside[-1]
        n = sum(1 for t in flip_ends if t0 < t <= t1)
        if n:
            cpu = ((own1 - own0) + (x1 - x0)) * 1000 / TICK / n
            x_cpu = (x1 - x0) * 1000 / TICK / n
    # The turned copy is largest at the top of the first size swing (483 frames):
    # until then the heap may grow; after it, memory should not.
    rss = [r.args['kb'] for r in recs if r.name == 'rss'] or [0]
    settled = [r.args['kb'] for r in recs if r.name == 'rss' and r.frame >= 499] or rss
    quit_line = next(r for r in recs if r.name == 'SDL_Quit')

    def took(call):
        return sum(r.dur for r in recs if r.name == call) / 1e6
    total = sum(work)
    return dict(
        work=work, median=statistics.median(work), p90=quantile(work, 0.9), max=max(work),
        share={k: v / total for k, v in parts.items()},
        flip=statistics.median(r.dur / 1e6 for r in recs if r.name == 'SDL_Flip'),
        startup=(flip_ends[0] - spawned) / 1e6,
        loading=(next(r.t for r in recs if r.name == 'start') - spawned) / 1e6,
        video=took('SDL_Init') + took('SDL_SetVideoMode'), music=took('Mix_LoadWAV_RW'),
        hwm=quit_line.args['hwm_kb'] / 1024, early=rss[-1] - rss[0], growth=settled[-1] - settled[0],
        cpu=cpu, x_cpu=x_cpu)


def shown(path):
    """A path as the report gives it: relative to the source tree when inside it."""
    rel = os.path.relpath(path, ROOT)
    return path if rel.startswith('..') else rel


def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def ogg_seconds(path):
    """Length of an Ogg Vorbis file: the last page's granule position over the sample rate."""
    with open(path, 'rb') as f:
        data = f.read()
    ident = data.find(b'\x01vorbis')
    rate = int.from_bytes(data[ident + 12:ident + 16], 'little')
    last = data.rfind(b'OggS')
    return int.from_bytes(data[last + 6:last + 14], 'little') / rate if ident >= 0 and rate else 0.0


def measure(opts):
    results = []  # (size, impl name, tumble, floor)
    for size in opts.sizes:
        w, h = map(int, size.split('x'))
        displays = {}
        try:
            for impl in IMPLS:
                if not (opts.compat_libdir if impl[1] else opts.classic_libdir):
                    continue  # that implementation cannot be had here
                if impl[1] not in displays:
                    displays[impl[1]] = xvfb.Display(w, h, wm=impl[1])
                disp = displays[impl[1]]
                run(opts, disp, impl, floor=True, frames=10)  # warms the caches: start-up as a user sees it
                tumble = run(opts, disp, impl, floor=False)
                floor = run(opts, disp, impl, floor=True)
                results.append((size, impl[0], tumble, floor))
                print(f'{size:>9} {impl[0]:<17} work {tumble["median"]:7.2f} ms  floor {floor["median"]:7.2f} ms'
                      f'  ratio {tumble["median"] / floor["median"]:.2f}', flush=True)
        finally:
            for disp in displays.values():
                disp.close()
    return results


def machine(opts):
    cpu = next((line.split(':', 1)[1].strip() for line in open('/proc/cpuinfo') if line.startswith('model name')),
               platform.machine())
    versions = subprocess.run(['dpkg-query', '-W', '-f', '${Package} ${Version}\\n', 'libsdl1.2debian',
                               'libsdl2-2.0-0', 'xvfb'], stdout=subprocess.PIPE, text=True).stdout.split('\n')
    compat = [f'sdl12-compat {n[len("libSDL-1.2.so."):]}' for n in sorted(os.listdir(opts.compat_libdir or '/'))
              if n.startswith('libSDL-1.2.so.1.')]
    return f'{os.cpu_count()} cores ({cpu}), {platform.system()} {platform.release()}; ' + \
        ', '.join([v for v in versions if v] + compat)


def report(opts, results, load):
    def ms(v):
        return '–' if v is None else f'{v:.2f}' if v < 10 else f'{v:.1f}'

    lines = [
        '# What a frame of tumble costs', '',
        f'Measured by `bench/run` on {time.strftime("%Y-%m-%d")}: {machine(opts)}. '
        f'Load average before the run: {load:.2f}.', '',
        'The display is Xvfb at 24-bit depth, so every pixel is drawn and shown in software on the CPU. '
        f'Each run is {opts.frames} frames of the real `tumble` with the picture ({opts.picture}) and music '
        f'in `{shown(opts.assets)}`, its 20 ms waits skipped through the tests\' preloaded shim '
        '(`tests/shim.c`). *Work* is one frame from its first `SDL_PollEvent` to its `SDL_Flip` returning, '
        'timed on the main thread (medians, in ms). '
        'The *floor* is the same program on the same display path with every `rotozoomSurface` made to '
        'fail: a frame is then only the event poll, the black fill and the flip, the least any frame at '
        'that size can cost. *compat* is the SDL2-based sdl12-compat, *software* the same with '
        '`SDL_RENDER_DRIVER=software SDL_FRAMEBUFFER_ACCELERATION=0`. The rate is what a user sees, '
        '1000 / (work + 20 ms).', '',
        '| screen | SDL 1.2 | work | p90 | max | floor | work / floor | fill / turn / blit / flip | flip '
        '| rate (frames/s) | CPU per frame, of it X server |',
        '|---|---|--:|--:|--:|--:|--:|:-:|--:|--:|--:|']
    for size, name, t, f in results:
        share = ' / '.join(f'{t["share"][p] * 100:.0f}%' for p in PARTS)
        cpu = '–' if t['cpu'] is None else f'{ms(t["cpu"])}, {ms(t["x_cpu"])}'
        lines.append(f'| {size} | {name} | **{ms(t["median"])}** | {ms(t["p90"])} | {ms(t["max"])} '
                     f'| {ms(f["median"])} | **{t["median"] / f["median"]:.2f}** | {share} | {ms(t["flip"])} '
                     f'| {1000 / (t["median"] + 20):.1f} | {cpu} |')
    lines += ['', 'Start-up runs from starting the process to the first flip returning; of it, the dynamic '
              'loading of the libraries (up to the shim\'s constructor), `SDL_Init` with `SDL_SetVideoMode`, and '
              '`Mix_LoadWAV_RW` decoding the whole music. Resident memory is sampled every 100 frames; the turned '
              'copy is largest at the top of the first size swing (483 frames), so growth is given over the '
              'whole run and from frame 500 on.', '',
              '| screen | SDL 1.2 | start to first frame (ms) | libraries | SDL_Init + video mode | music decoding '
              '| peak resident (MB) | resident growth (kB), from frame 500 |',
              '|---|---|--:|--:|--:|--:|--:|--:|']
    for size, name, t, _ in results:
        lines.append(f'| {size} | {name} | **{t["startup"]:.0f}** | {t["loading"]:.0f} | {t["video"]:.0f} '
                     f'| {t["music"]:.0f} | {t["hwm"]:.1f} | {t["early"]}, **{t["growth"]}** |')

    def pick(size, name):
        return next((t for s, n, t, _ in results if s == size and n == name), None)

    def pct(t, part):
        return f'{t["share"][part] * 100:.0f}%'
    big = results[-1][0]
    notes = ['', '![frame work per screen size and SDL implementation, beside the floor](benchmark.png)', '',
             '## What dominates', '']
    t = pick(big, 'classic')
    if t:
        notes.append(
            f'- **classic**: the two full-screen passes that every frame must make. At {big} the black fill '
            f'takes {pct(t, "SDL_FillRect")} of the frame and the flip {pct(t, "SDL_Flip")}: the flip hands the '
            'screen to the X server as a shared-memory image and waits while the server copies it (the '
            'server\'s share of the CPU is in the last column). What tumble adds to the floor is mostly the '
            f'turned copy ({pct(t, "rotozoomSurface")}): SDL_gfx visits every pixel of the copy\'s bounding '
            'box, a pixel at a time, so its cost follows the picture\'s area times the zoom squared. The blit '
            f'({pct(t, "SDL_UpperBlit")}) is a plain copy: tumble drops the turned copy\'s colour key and '
            'surface alpha, which change no pixel on the black screen but would make SDL encode or blend it.')
    t, sw = pick(big, 'compat'), pick(big, 'compat, software')
    if t:
        notes.append(
            f'- **compat**: the flip, {pct(t, "SDL_Flip")} of the frame at {big}. SDL2 copies the screen into '
            'a texture and draws it with OpenGL, and under Xvfb OpenGL is Mesa\'s llvmpipe: the drawing runs '
            'as shader code compiled for the CPU, over every pixel of the screen, on both cores. A desktop '
            'with a GPU does not pay this; the floor pays it too, so the ratio stays near 1.'
            + (f' SDL2\'s software renderer instead brings the flip from {ms(t["flip"])} to {ms(sw["flip"])} ms.'
               if sw else ''))
    t, gl = pick(big, 'classic') or pick(big, 'compat, software'), pick(big, 'compat')
    notes.append(
        f'- **Start-up** ({t["startup"]:.0f} ms at {big}): loading the libraries {t["loading"]:.0f} ms, '
        f'`SDL_Init` and the video mode {t["video"]:.0f} ms, decoding the whole {opts.music:.0f} s of music '
        f'{t["music"]:.0f} ms; the picture and the rest take little.'
        + (f' On compat, SDL2 sets up its OpenGL renderer under llvmpipe: {gl["video"]:.0f} ms.' if gl else ''))
    with open(os.path.join(opts.out, 'benchmark.md'), 'w') as f:
        f.write('\n'.join(lines + notes) + '\n')


def plot(opts, results):
    import matplotlib
    matplotlib.use('Agg')
    import matplotlib.pyplot as plt
    sizes = list(dict.fromkeys(s for s, _, _, _ in results))
    names = list(dict.fromkeys(n for _, n, _, _ in results))
    colours = dict(zip(names, ('tab:blue', 'tab:orange', 'tab:green')))
    fig, ax = plt.subplots(figsize=(10, 5.5), dpi=100)
    width = 0.8 / (2 * len(names))
    for i, name in enumerate(names):
        for j, size in enumerate(sizes):
            t, f = next((t, f) for s, n, t, f in results if s == size and n == name)
            x = j + (2 * i - len(names) + 0.5) * width
            ax.bar(x, t['median'], width, color=colours[name], label=name if j == 0 else None,
                   yerr=[[0], [t['p90'] - t['median']]], capsize=2, ecolor='0.4')
            ax.bar(x + width, f['median'], width, color=colours[name], alpha=0.35, hatch='//', edgecolor='0.3')
            ax.annotate(f'{t["median"]:.1f}\n×{t["median"] / f["median"]:.2f}', (x + width / 2, t['p90']),
                        ha='center', va='bottom', fontsize=7, xytext=(0, 2), textcoords='offset points')
    ax.bar(0, 0, 0, color='0.8', hatch='//', edgecolor='0.3', label='its floor (poll, fill, flip)')
    ax.set_yscale('log')
    ax.set_ylim(top=ax.get_ylim()[1] * 2)
    ax.set_xticks(range(len(sizes)), sizes)
    ax.set_xlabel('screen (Xvfb, 24-bit, software rendering, 2 cores)')
    ax.set_ylabel('frame work in ms, median (log scale; whisker to p90)')
    ax.set_title(f'tumble: work per frame beside the floor, {opts.frames} frames per run\n'
                 '(labels: median ms, and × the floor)', fontsize=11)
    ax.legend(fontsize=8, loc='upper left')
    ax.grid(axis='y', which='both', alpha=0.3)
    fig.tight_layout()
    fig.savefig(os.path.join(opts.out, 'benchmark.png'))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', default=os.path.join(ROOT, 'build'))
    parser.add_argument('--bin', help='tumble to measure (default: BUILD/tumble)')
    parser.add_argument('--assets', help='folder with tavrin.png and tavrin.ogg (default: BUILD/run)')
    parser.add_argument('--classic-libdir', help='folder of the classic libSDL-1.2.so.0 (default: as BUILD was '
                        'configured; empty: measure without it)')
    parser.add_argument('--compat-libdir', help='folder of the SDL2-based libSDL-1.2.so.0 (default: as BUILD was '
                        'configured; empty: measure without it)')
    parser.add_argument('--sizes', nargs='+', default=['1280x720', '1920x1080', '3840x2160'])
    parser.add_argument('--frames', type=int, default=2000)
    parser.add_argument('--timeout', type=float, default=900)
    parser.add_argument('--out', default=os.path.join(ROOT, 'docs'), help='folder for the report and plot')
    opts = parser.parse_args()
    opts.bin = os.path.abspath(opts.bin or os.path.join(opts.build, 'tumble'))
    opts.shim = os.path.abspath(os.path.join(opts.build, 'tests', 'tumble_shim.so'))
    opts.assets = os.path.abspath(opts.assets or os.path.join(opts.build, 'run'))
    for impl in ('classic', 'compat'):
        given = getattr(opts, f'{impl}_libdir')
        given = common.configured_libdir(impl, opts.build) if given is None else given
        setattr(opts, f'{impl}_libdir', given and os.path.abspath(given))
    opts.tmp = common.TMP
    for path in (opts.bin, opts.shim, *(os.path.join(opts.assets, n) for n in ('tavrin.png', 'tavrin.ogg'))):
        if not os.path.exists(path):
            sys.exit(f'{path} is missing: build with -DBUILD_TESTING=ON first')
    opts.picture = '%dx%d' % assets.png_size(os.path.join(opts.assets, 'tavrin.png'))
    opts.music = ogg_seconds(os.path.join(opts.assets, 'tavrin.ogg'))
    before = os.getloadavg()[0]
    if before > 0.5:
        print(f'The load average is {before:.2f}: other work on this machine makes the times noisy.')
    results = measure(opts)
    os.makedirs(opts.out, exist_ok=True)
    report(opts, results, before)
    plot(opts, results)
    print(f'Wrote {os.path.join(opts.out, "benchmark.md")} and benchmark.png')


if __name__ == '__main__':
    main()
