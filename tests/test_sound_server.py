#!/usr/bin/env python3
"""tumble on a real sound server (PipeWire with its PulseAudio service), run as
a user runs it, SDL choosing the sound driver unless a case names PulseAudio's:
the music reaches the server at its true pitch and loops without a gap; a
server that dies or stops answering mid-run never keeps the screen after a
key, nor the process after a fatal error, for more than a moment, even when
tumble inherits SIGALRM blocked; a server hung before the start delays it by
libpulse's 30 s once, and the screen it then takes is let go within a second
of a key.

    test_sound_server.py Running          the cases of a few seconds
    test_sound_server.py HungBeforeStart  the ones that wait out the 30 s
"""
import array
import collections
import contextlib
import os
import signal
import statistics
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, screen, sound_server, tumble, xvfb  # noqa: E402

W, H = 640, 480
RATE = 44100  # the sink's monitor is recorded at this rate
# The music: a tone of 441 Hz at 22,050 Hz, 50 samples a cycle, looping every
# 2,500 samples: 50 whole cycles, so a true loop joins without a seam.
TONE, LOOP = 441, 2500
MUSIC_LINE = 'could not load "tavrin.ogg" ('


def music():
    path = os.path.join(common.workdir({}), 'tone.ogg')
    subprocess.run(['sox', '-n', '-r', '22050', '-c', '2', path, 'synth', f'{LOOP}s', 'sine', str(TONE), 'vol', '0.5'],
                   check=True)
    return dict(assets.small_assets(), **{'tavrin.ogg': path})


def tone(path):
    """(pitch in Hz, breaks, seconds) of the tone recorded in path. A cycle
    starts where the sound rises through a fifth of its level after falling
    below minus a fifth: noise (an underrun on a busy machine) adds no cycles.
    A break is a cycle a quarter longer or shorter than the usual one: a gap,
    or a jump in phase."""
    samples = array.array('h')
    with open(path, 'rb') as f:
        samples.frombytes(f.read())
    mono = [samples[i] + samples[i + 1] for i in range(0, len(samples) - 1, 2)]
    level = sorted(map(abs, mono))[len(mono) * 99 // 100] if mono else 0
    if level < 1000:
        return 0, 0, 0
    high, low, armed, rises = level / 5, -level / 5, False, []
    for i, v in enumerate(mono):
        if v < low:
            armed = True
        elif armed and v > high:
            armed = False
            rises.append(i - 1 + (high - mono[i - 1]) / (v - mono[i - 1]))
    periods = [b - a for a, b in zip(rises, rises[1:])]
    if not periods:
        return 0, 0, 0
    usual = statistics.median(periods)
    return RATE / usual, sum(abs(p - usual) > usual / 4 for p in periods), (rises[-1] - rises[0]) / RATE


def shown(disp):
    """Whether a window of tumble's is mapped on the X server."""
    found = subprocess.run(['xdotool', 'search', '--onlyvisible', '--class', '^tumble$'], stdout=subprocess.PIPE,
                           stderr=subprocess.DEVNULL, env=dict(os.environ, DISPLAY=disp.name), text=True)
    return bool(found.stdout.split())


def take_screen(disp, proc, timeout):
    """Seconds until tumble's window was mapped (None: it was not), once its
    picture shows and a key press would reach it."""
    started = time.monotonic()
    while not shown(disp):
        if proc.poll() is not None or time.monotonic() - started > timeout:
            return None
        time.sleep(0.1)
    mapped = time.monotonic() - started
    screen.wait_for_picture(disp, proc)
    if common.SDL == 'compat':
        xvfb.settled_window(disp, proc)  # the window that stays
    return mapped


def leave(disp, proc):
    """Presses a key; returns the seconds until tumble's window is gone and
    until the process has ended, and its status (None: still running)."""
    pressed = time.monotonic()
    disp.xdotool('key', 'space')
    while shown(disp) and time.monotonic() - pressed < 10:
        time.sleep(0.02)
    freed = time.monotonic() - pressed
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        pass
    return freed, time.monotonic() - pressed, proc.poll()


# What befalls the server a second into the run, or before tumble starts
# (BEFORE); whether a frame fails after that (the shim fails that flip, a
# fatal error) rather than a key ending it; whether tumble starts with SIGALRM
# blocked, as a launcher's signal mask is inherited; and the sound driver set
# in SDL_AUDIODRIVER (None: SDL chooses), where a user names PulseAudio's.
Case = collections.namedtuple('Case', 'case befall frame_fails alarm_blocked driver')
BEFORE = 'stop before the start'
PULSE = 'pulseaudio' if common.SDL == 'compat' else 'pulse'
CASES = (Case('playing', None, False, False, None), Case('killed', 'kill', False, False, None),
         Case('hung, started with SIGALRM blocked', 'stop', False, True, None),
         Case('hung, then a frame fails', 'stop', True, False, None),
         Case('hung before the start, SDL choosing the driver', BEFORE, False, False, None),
         Case(f'hung before the start, SDL_AUDIODRIVER={PULSE}', BEFORE, False, False, PULSE))
FAILED_FRAME = 300  # some seconds in, well after the server hung
FLIP_LINE = 'error updating screen (injected SDL_Flip failure)\n'


@contextlib.contextmanager
def blocked(signals):
    """What is started meanwhile inherits these signals blocked."""
    before = signal.pthread_sigmask(signal.SIG_BLOCK, signals)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, before)


def blocks(proc, sig):
    """Whether the main thread of the running proc blocks sig."""
    with open(f'/proc/{proc.pid}/status') as f:
        mask = next(int(line.split()[1], 16) for line in f if line.startswith('SigBlk:'))
    return bool(mask >> (sig - 1) & 1)


class Running(unittest.TestCase):
    def test_music_and_a_server_that_dies_or_hangs_mid_run(self):
        disp = xvfb.display(W, H)
        for case, befall, frame_fails, alarm_blocked, driver in CASES:
            if befall == BEFORE:
                continue
            with self.subTest(case):
                server = sound_server.SoundServer()
                self.addCleanup(server.close)
                recording = os.path.join(common.workdir({}), 'sink.raw')
                server.record(recording, RATE)
                env = dict(server.env, SDL_AUDIODRIVER=driver)
                if frame_fails:
                    log = os.path.join(common.workdir({}), 'calls.log')
                    env.update(LD_PRELOAD=common.SHIM, TUMBLE_SHIM_LOG=log, TUMBLE_SHIM_CALLS='SDL_Flip',
                               TUMBLE_SHIM_FAIL=f'SDL_Flip@{FAILED_FRAME}')
                with blocked({signal.SIGALRM} if alarm_blocked else set()), tumble.plain(disp, music(), env) as proc:
                    self.assertIsNotNone(take_screen(disp, proc, 20), 'the screen taken')
                    self.assertEqual(blocks(proc, signal.SIGALRM), alarm_blocked, 'SIGALRM blocked at start')
                    started = time.monotonic()
                    time.sleep(1)
                    if befall:
                        getattr(server, befall)()
                    befallen = time.monotonic()
                    if frame_fails:
                        while proc.poll() is None and time.monotonic() - befallen < 30:
                            time.sleep(0.02)
                        ended = time.monotonic()
                    else:
                        time.sleep(4 if case == 'playing' else 1)
                        self.assertIsNone(proc.poll(), 'tumble ended by itself')
                        played = time.monotonic() - started
                        freed, ended, status = leave(disp, proc)
                if frame_fails:
                    with open(log) as f:
                        failed = [tumble.Rec(line) for line in f][-1]
                    ended -= failed.t / 1e9
                    print(f'{common.SDL} {case}: process ended {ended:.3f} s after the failed frame')
                    self.assertEqual((proc.returncode, proc.stderr_text, failed.name, failed.res),
                                     (1, FLIP_LINE, 'SDL_Flip', {'r': -1}))
                    self.assertLess(befallen, failed.t / 1e9, 'the server hung before the frame failed')
                    self.assertLess(ended, 5, 'the process ended within a few seconds')
                    continue
                print(f'{common.SDL} {case}: window gone {freed:.3f} s, process ended {ended:.3f} s after the key')
                self.assertEqual((status, proc.stderr_text), (0, ''))
                self.assertLess(freed, 1, 'the screen freed within a second of the key')
                self.assertLess(ended, 5, 'the process ended within a few seconds')
                if case == 'playing':
                    server.stop_recording()
                    pitch, breaks, seconds = tone(recording)
                    seams = seconds * 22050 / LOOP
                    print(f'{common.SDL}: {seconds:.2f} s of tone at {pitch:.2f} Hz, {breaks} breaks, '
                          f'{seams:.0f} seams')
                    self.assertAlmostEqual(pitch, TONE, delta=TONE / 100, msg='the true pitch')
                    self.assertGreater(seconds, played - 1, 'the music loops all the while')
                    # An underrun may break a cycle here and there; a gap at the
                    # seam would break one at each.
                    self.assertLess(breaks, seams / 3, 'no gap at the seam')
                server.close()


class HungBeforeStart(unittest.TestCase):
    def test_a_server_hung_before_the_start_delays_it_30_s(self):
        # libpulse waits 30 s for the server's answer while SDL starts its
        # sound, before the screen is taken; then tumble runs without music
        # and never starts the sound again. The rows share one hung server and
        # wait out their 30 s side by side, each on a display of its own.
        rows = [row for row in CASES if row.befall == BEFORE]
        server = sound_server.SoundServer()
        self.addCleanup(server.close)
        server.stop()
        displays = [xvfb.display(W, H)]
        for _ in rows[1:]:
            displays.append(xvfb.Display(W, H))
            self.addCleanup(displays[-1].close)
        outcomes = {}

        def run(row, disp):
            try:
                with tumble.plain(disp, music(), dict(server.env, SDL_AUDIODRIVER=row.driver)) as proc:
                    waited = take_screen(disp, proc, 60)
                    freed, ended, status = leave(disp, proc) if waited is not None else (None, None, None)
                outcomes[row] = waited, freed, ended, status, proc.stderr_text
            except Exception as e:  # raised again in the main thread, below
                outcomes[row] = e

        threads = [threading.Thread(target=run, args=pair) for pair in zip(rows, displays)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        for row in rows:
            with self.subTest(row.case):
                if isinstance(outcomes[row], Exception):
                    raise outcomes[row]
                waited, freed, ended, status, stderr = outcomes[row]
                self.assertIsNotNone(waited, f'the screen taken; stderr: {stderr!r}')
                print(f'{common.SDL} {row.case}: screen taken after {waited:.1f} s; window gone {freed:.3f} s, '
                      f'process ended {ended:.3f} s after the key; {stderr.splitlines()[-1:]}')
                self.assertEqual(status, 0, stderr)
                self.assertTrue(27 < waited < 40, f'the screen taken after one wait of 30 s: {waited}')
                self.assertIn(MUSIC_LINE, stderr.splitlines()[-1])
                self.assertLess(freed, 1, 'the screen freed within a second of the key')
                self.assertLess(ended, 5, 'the process ended within a few seconds')


if __name__ == '__main__':
    unittest.main()
