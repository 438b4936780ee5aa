"""A real sound server for tumble to play through: PipeWire, WirePlumber and
PipeWire's PulseAudio service, with a null sink whose output is recorded."""
import os
import signal
import subprocess
import sys
import tempfile
import time

from harness import common


class SoundServer:
    """PipeWire, WirePlumber and PipeWire's PulseAudio service, started as a
    desktop starts them but in a runtime folder and a D-Bus session of their
    own, with a null sink as the default output (mutter's session too). env is
    what a client needs to find them (as a user's session sets it); record()
    captures what reaches the sink. stop() hangs the server: it still accepts
    connections and never answers them; kill() ends it."""

    SERVER = ('pipewire', 'wireplumber', 'pipewire-pulse')
    SINK = 'tumble_out'

    def __init__(self, timeout=20, tries=2):
        # On a loaded machine one of the daemons has been seen to end during
        # start-up, once in some 150 starts here: that is the test's own
        # set-up failing, not tumble, so a second server is started.
        for attempt in range(tries):
            try:
                self._start_server(timeout)
                return
            except RuntimeError as e:
                if attempt == tries - 1:
                    raise
                print(f'the sound server did not start, once more: {e}', file=sys.stderr)

    def _start_server(self, timeout):
        self.runtime = tempfile.mkdtemp(dir=common.TMP)  # mode 0700, as PipeWire wants
        bus = os.path.join(self.runtime, 'bus')
        self.env = {'XDG_RUNTIME_DIR': self.runtime, 'DBUS_SESSION_BUS_ADDRESS': f'unix:path={bus}'}
        # Nothing of the caller's own session, and a home of its own for
        # WirePlumber's stored state (a default sink from another run).
        self._env = {k: v for k, v in os.environ.items()
                     if not k.startswith(('PULSE_', 'PIPEWIRE_', 'DBUS_', 'XDG_', 'WAYLAND_'))}
        self._env.update(self.env, HOME=self.runtime)
        self.procs, self.recorders = [], []
        self.log = open(os.path.join(self.runtime, 'server.log'), 'w')
        try:
            self._start(['dbus-daemon', '--session', f'--address=unix:path={bus}', '--nofork', '--nopidfile'])
            self._wait(lambda: os.path.exists(bus), timeout, 'dbus-daemon')
            # Its clients fail, and stay failed, when the daemon does not answer yet.
            self._start(['pipewire'])
            self._wait(lambda: os.path.exists(os.path.join(self.runtime, 'pipewire-0')), timeout, 'pipewire')
            self._start(['wireplumber'])
            self._start(['pipewire-pulse'])
            # A client that comes first makes the pulse/ folder itself, and the
            # service then fails to start ("File exists"): pactl asks only once
            # the service's socket is there.
            native = os.path.join(self.runtime, 'pulse', 'native')
            self._wait(lambda: os.path.exists(native) and self.pactl('info', check=False).returncode == 0, timeout,
                       'pipewire-pulse')
            self.pactl('load-module', 'module-null-sink', f'sink_name={self.SINK}')
            # The sink's node comes up a moment after the module.
            self._wait(lambda: self.pactl('set-default-sink', self.SINK, check=False).returncode == 0
                       and self.pactl('get-default-sink').stdout.strip() == self.SINK, timeout, 'the null sink')
        except BaseException:
            self.close()
            raise

    def _start(self, command):
        self.procs.append(subprocess.Popen(command, env=self._env, stdin=subprocess.DEVNULL, stdout=self.log,
                                           stderr=subprocess.STDOUT))

    def _wait(self, ready, timeout, name):
        deadline = time.monotonic() + timeout
        while not ready():
            ended = [f'{os.path.basename(p.args[0])} {common.ended_how(p.returncode)}' for p in self.procs
                     if p.poll() is not None]
            if time.monotonic() > deadline or ended:
                self.log.flush()
                with open(self.log.name, errors='replace') as f:
                    said = f.read()[-1500:]
                raise RuntimeError(f'{name} did not start ({", ".join(ended) or "timed out"}); the server said: '
                                   f'{said}')
            time.sleep(0.05)

    def pactl(self, *args, check=True):
        return subprocess.run(['pactl', *args], env=self._env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, text=True, check=check, timeout=10)

    def record(self, path, rate=44100):
        """Starts recording what reaches the sink into path, raw signed 16-bit
        stereo at rate; ends with stop_recording() or close(). (At parec's
        own latency, about two seconds, the last of the sound would never
        reach the file.)"""
        self.recorders.append(subprocess.Popen(
            ['parec', '-d', f'{self.SINK}.monitor', '--raw', '--format=s16le', f'--rate={rate}', '--channels=2',
             '--latency-msec=100', path], env=self._env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=self.log))

    def stop_recording(self):
        for p in self.recorders:
            p.terminate()
            p.wait(5)
        self.recorders = []

    def _server(self):
        return [p for p in self.procs if os.path.basename(p.args[0]) in self.SERVER]

    def stop(self):
        """Hangs the server (SIGSTOP): the daemon, its PulseAudio service and
        the session manager, whichever of them a client talks to."""
        for p in self._server():
            p.send_signal(signal.SIGSTOP)

    def kill(self):
        for p in self._server():
            p.kill()
            p.wait()

    def close(self):
        for p in self.procs:
            if p.poll() is None:
                p.send_signal(signal.SIGCONT)
        for p in self.recorders + self.procs[::-1]:
            common.end_process(p)
        self.procs, self.recorders = [], []
        self.log.close()
