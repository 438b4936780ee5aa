"""Running the real tumble: with the preloaded shim, whose log of library
calls (frame by frame) becomes a Result, or plainly, as a user runs it. Each
run gets a fresh working folder holding its picture and music, and is checked
to have loaded the SDL 1.2 under test."""
import contextlib
import os
import signal
import subprocess
import tempfile
import time

from harness import assets, common, sdl_impl


class Rec:
    """One line of the shim's log: name, frame, start and duration in ns,
    the arguments and the results as dicts."""
    __slots__ = ('name', 'frame', 't', 'dur', 'args', 'res')

    def __init__(self, line):
        fields = line.split()
        self.name, self.frame, self.t, self.dur = fields[0], int(fields[1]), int(fields[2]), int(fields[3])
        self.args, self.res = {}, {}
        into = self.args
        for field in fields[4:]:
            if field == '->':
                into = self.res
            else:
                key, _, value = field.partition('=')
                into[key] = _value(value)

    def __repr__(self):
        def pairs(d):
            return ' '.join(f'{k}={v}' for k, v in d.items())
        return f'<{self.name} frame {self.frame} {pairs(self.args)} -> {pairs(self.res)}>'


def _value(text):
    if text.startswith('"'):
        return text.strip('"')
    for kind in (lambda t: int(t, 0), float):
        try:
            return kind(text)
        except ValueError:
            pass
    return text


class Result:
    def __init__(self, status, stderr, log):
        self.status, self.stderr, self.log = status, stderr, log
        self.calls = [r for r in log if r.name not in ('start', 'end', 'rss', 'signal')]

    def named(self, *names):
        return [r for r in self.calls if r.name in names]

    @property
    def flips(self):
        return len(self.named('SDL_Flip'))

    def startup(self):
        """The calls before the first frame's first SDL_PollEvent."""
        return self.calls[:self._first_poll()]

    def frame(self, n):
        """The calls of frame n, from its first SDL_PollEvent on."""
        return [r for r in self.calls[self._first_poll():] if r.frame == n]

    def _first_poll(self):
        return next((i for i, r in enumerate(self.calls) if r.name == 'SDL_PollEvent'), len(self.calls))

    def __repr__(self):
        return f'<status {self.status}, {self.flips} flips, stderr {self.stderr!r}>'


def base_env(disp, audio='dummy'):
    env = {k: v for k, v in os.environ.items() if not k.startswith(('TUMBLE_SHIM_', 'SDL_'))
           and k not in ('DISPLAY', 'WAYLAND_DISPLAY', 'XDG_RUNTIME_DIR')}
    env.update(disp.env, SDL_AUDIODRIVER=audio)
    env.pop('LD_LIBRARY_PATH', None)
    if common.libdir():
        env['LD_LIBRARY_PATH'] = common.libdir()
    if common.SANITIZED:
        # The shim cannot come after the sanitizer runtime in LD_PRELOAD order checks;
        # the libraries' own leaks at exit are not tumble's.
        env['ASAN_OPTIONS'] = 'verify_asan_link_order=0:detect_leaks=0:' + env.get('ASAN_OPTIONS', '')
    return env


def run(disp, files=None, events=(), fail=(), nodelay=True, args=(), timeout=60, env=None, calls=None, wrap=()):
    """Runs tumble with the shim in a fresh directory holding files (default:
    the test picture and music; a name mapped to None is left out). events and
    fail are items of the shim's TUMBLE_SHIM_EVENTS / TUMBLE_SHIM_FAIL. Kills
    a hung tumble and fails the test. Checks that the intended libSDL ran.
    wrap is a command put in front of tumble's (valgrind, say)."""
    files = dict(assets.small_assets(), **(files or {}))
    log = os.path.join(common.TMP, f'log{time.monotonic_ns()}')
    e = base_env(disp)
    e.update(LD_PRELOAD=common.SHIM, TUMBLE_SHIM_LOG=log, TUMBLE_SHIM_NODELAY='1' if nodelay else '0',
             TUMBLE_SHIM_EVENTS=','.join(events), TUMBLE_SHIM_FAIL=','.join(fail))
    if calls:
        e['TUMBLE_SHIM_CALLS'] = ','.join(calls)
    e.update(env or {})
    p = subprocess.Popen([*wrap, common.BIN, *args], cwd=common.workdir(files), env=e, stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        _, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        p.send_signal(signal.SIGTERM)  # the shim writes out its log first
        try:
            _, err = p.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            p.kill()
            _, err = p.communicate()
        raise AssertionError(f'tumble still running after {timeout} s; stderr: {err.decode(errors="replace")}')
    with open(log) as f:
        records = [Rec(line) for line in f if line.strip()]
    os.unlink(log)
    result = Result(p.returncode, err.decode(errors='replace'), records)
    start = [r for r in records if r.name == 'start']
    assert start, f'the shim did not load: {result}'
    check_sdl(start[0].args['sdl'], str(start[0].args['version']))
    return result


def check_sdl(path, version=None):
    """The library that ran (its resolved path, and the version it reported,
    asked of it when not given) is the one this test is for."""
    version = version or sdl_impl.version(path)
    assert sdl_impl.kind(version) == common.SDL, \
        f'expected {sdl_impl.NAMES[common.SDL]}, ran {path}, version {version}'
    assert path == sdl_impl.library(common.libdir()), f'expected the libSDL in {common.libdir()}, ran {path}'


@contextlib.contextmanager
def plain(disp, files, env=None, bin=None, cwd=None):
    """tumble without the shim, as a user runs it (bin, in cwd when given, else
    in a fresh directory holding files; a variable of env mapped to None, say
    SDL_AUDIODRIVER, is left out). Yields the process; once the block is left
    it has ended (killed if it had to be) and its standard error is in
    .stderr_text. Meanwhile ended(proc) tells whether it has ended, with what
    it wrote."""
    e = base_env(disp)
    e.update(env or {})
    e = {k: v for k, v in e.items() if v is not None}
    # A file, not a pipe: what it wrote so far can be read while it runs.
    err = tempfile.NamedTemporaryFile(dir=common.TMP, prefix='stderr')
    proc = subprocess.Popen([bin or common.BIN], cwd=cwd or common.workdir(files), env=e, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=err)
    proc.stderr_file = err.name
    try:
        yield proc
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        with err:
            proc.stderr_text = stderr_of(proc)


def stderr_of(proc):
    with open(proc.stderr_file, 'rb') as f:
        return f.read().decode(errors='replace')


def ended(proc):
    """None while proc (from plain) runs, else how it ended and what it wrote."""
    if proc.poll() is None:
        return None
    return f'tumble {common.ended_how(proc.returncode)} by itself; stderr: {stderr_of(proc)!r}'


def loaded_sdl(pid):
    """Resolved path of the libSDL-1.2 mapped into a running process."""
    with open(f'/proc/{pid}/maps') as f:
        for line in f:
            if 'libSDL-1.2.so' in line:
                return os.path.realpath(line.split(None, 5)[5].strip())
    return None
