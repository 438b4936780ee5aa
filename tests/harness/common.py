"""What the rest of the harness shares: the paths the tests get from their
environment (set by tests/CMakeLists.txt), a temporary folder removed when
the process ends, ending a process, and skipping a test (or failing it under
CI=true, where ./test has installed what it needs).

  TUMBLE_BIN            the tumble executable
  TUMBLE_SHIM           tumble_shim.so (see shim.c for its variables and log)
  TUMBLE_SDL            classic | compat: which SDL 1.2 implementation to run on
  TUMBLE_CLASSIC_LIBDIR folder holding the classic libSDL-1.2.so.0 (1.2.15)
  TUMBLE_COMPAT_LIBDIR  folder holding the SDL2-based libSDL-1.2.so.0 (sdl12-compat)
                        (these two, when unset, as build/ was configured)
  TUMBLE_ASSETS         folder with the default tavrin.png and tavrin.ogg
  TUMBLE_TEST_OUT       where screenshots are kept
  TUMBLE_SANITIZED      1 when tumble was built with ASan/UBSan
"""
import atexit
import os
import shutil
import signal
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))  # tests/
SOURCE = os.path.dirname(HERE)
BUILD = os.path.join(SOURCE, 'build')
BIN = os.path.abspath(os.environ.get('TUMBLE_BIN', os.path.join(BUILD, 'tumble')))
SHIM = os.path.abspath(os.environ.get('TUMBLE_SHIM', os.path.join(BUILD, 'tests', 'tumble_shim.so')))
SDL = os.environ.get('TUMBLE_SDL', 'classic')


def configured_libdir(impl, build=BUILD):
    """The implementation's folder as the build in build was configured with."""
    try:
        with open(os.path.join(build, 'CMakeCache.txt')) as f:
            for line in f:
                if line.startswith(f'TUMBLE_{impl.upper()}_LIBDIR:'):
                    return line.split('=', 1)[1].strip()
    except OSError:
        pass
    return ''


LIBDIRS = {impl: os.environ.get(f'TUMBLE_{impl.upper()}_LIBDIR', configured_libdir(impl))
           for impl in ('classic', 'compat')}
ASSETS = os.environ.get('TUMBLE_ASSETS', os.path.join(BUILD, 'run'))
OUT = os.environ.get('TUMBLE_TEST_OUT', tempfile.gettempdir())
SANITIZED = os.environ.get('TUMBLE_SANITIZED', '0') not in ('', '0', 'OFF', 'FALSE')
SKIP_CODE = 77  # CTest's SKIP_RETURN_CODE for these tests

TMP = tempfile.mkdtemp(prefix='tumble-test-')
atexit.register(shutil.rmtree, TMP, True)


def libdir():
    """The folder of the libSDL-1.2.so.0 of the implementation under test."""
    return LIBDIRS[SDL]


def workdir(files):
    """A fresh folder (mode 0700) holding files (name -> source path, linked)."""
    d = tempfile.mkdtemp(dir=TMP)
    for name, source in files.items():
        if source is not None:
            os.symlink(os.path.abspath(source), os.path.join(d, name))
    return d


def end_process(proc):
    """Ends proc if it still runs: asked first, killed after 5 s."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(5)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def ended_how(status):
    if status < 0:
        return f'was killed by signal {-status} ({signal.Signals(-status).name})'
    return f'ended with status {status}'


def in_ci():
    return os.environ.get('CI', '').lower() == 'true'


def skip_or_fail(reason):
    """Ends the test: skipped (SKIP_CODE) with reason, or failed under CI=true,
    where a missing tool is a broken install step, not a reason to skip."""
    if in_ci():
        print(f'FAIL: {reason} (CI=true: not skipped)', flush=True)
        sys.exit(1)
    print(f'SKIP: {reason}', flush=True)
    sys.exit(SKIP_CODE)
