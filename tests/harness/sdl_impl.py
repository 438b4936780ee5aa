"""Which SDL 1.2 implementation a libSDL-1.2.so.0 is, told by the version it
reports itself (SDL_Linked_Version): 1.2.15 is the classic SDL 1.2, 1.2.50 and
later the one built on SDL2 (sdl12-compat).

  sdl_impl.py FOLDER          prints "KIND VERSION PATH" for the
                              libSDL-1.2.so.0 in FOLDER (PATH resolved), or
                              fails with one line on stderr
  sdl_impl.py --skip REASON   prints "SKIP: REASON" and exits with SKIP_CODE:
                              the stand-in CTest runs for a test that cannot
                              run here by design (an implementation that no
                              package provides here, a build without it)
  sdl_impl.py --missing REASON
                              the same for a test whose library or tool ./test
                              provides: under CI=true it fails instead, since
                              then the install step is what broke
"""
import ctypes
import os
import subprocess
import sys

SKIP_CODE = 77
IMPLS = ('classic', 'compat')
COMPAT_FROM = (1, 2, 50)  # sdl12-compat numbers its releases from 1.2.50 on
NAMES = {'classic': 'the classic SDL 1.2', 'compat': 'the SDL2-based SDL 1.2 (sdl12-compat)'}


def kind(version):
    """'classic' or 'compat' for a version tuple or a text like '1.2.68'."""
    if isinstance(version, str):
        version = tuple(int(n) for n in version.split('.'))
    return 'compat' if tuple(version) >= COMPAT_FROM else 'classic'


def library(folder):
    """The resolved path of the libSDL-1.2.so.0 in folder."""
    return os.path.realpath(os.path.join(folder, 'libSDL-1.2.so.0'))


class _Version(ctypes.Structure):
    _fields_ = [('major', ctypes.c_uint8), ('minor', ctypes.c_uint8), ('patch', ctypes.c_uint8)]


def _linked_version(path):
    lib = ctypes.CDLL(path)
    lib.SDL_Linked_Version.restype = ctypes.POINTER(_Version)
    v = lib.SDL_Linked_Version().contents
    return v.major, v.minor, v.patch


def version(path):
    """The version the library at path reports, as text, asked in a child
    process so that the caller never has an SDL loaded."""
    done = subprocess.run([sys.executable, os.path.abspath(__file__), '--version-of', path],
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f'cannot ask {path} its version: {done.stderr.strip()}')
    return done.stdout.strip()


def main(args):
    if len(args) == 2 and args[0] in ('--skip', '--missing'):
        if args[0] == '--missing' and os.environ.get('CI', '').lower() == 'true':
            print(f'FAIL: {args[1]} (CI=true: not skipped)', flush=True)
            return 1
        print(f'SKIP: {args[1]}', flush=True)
        return SKIP_CODE
    if len(args) == 2 and args[0] == '--version-of':
        print('.'.join(map(str, _linked_version(args[1]))))
        return 0
    if len(args) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    path = library(args[0])
    if not os.path.isfile(path):
        print(f'no libSDL-1.2.so.0 in {args[0]}', file=sys.stderr)
        return 1
    try:
        v = version(path)
    except RuntimeError as e:
        print(e, file=sys.stderr)
        return 1
    print(kind(v), v, path)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv[1:]))
