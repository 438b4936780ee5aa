#!/usr/bin/env python3
"""Minimal Debian chroots for the tests that need a whole other system.

    from harness import chroot
    chroot.require()                        # or skip (exit 77), or fail under CI=true
    with chroot.Chroot('trixie', parent=out_dir) as c:
        c.copy_in('/path/to/project', '/src', files=[...])
        c.run(['apt-get', 'install', '-y', 'xvfb'])
        c.run('cd /src && ./test -LE long', timeout=1800)

Chroot makes one with `debootstrap --variant=minbase` in a fresh folder under
parent (default: the temporary folder), and removes it on the way out, also
when the block fails. Nothing is ever mounted where the rest of the machine
can see it: debootstrap and each run() go into their own mount and process
namespaces (unshare), where /proc, /sys (read-only), /dev/pts and /dev/shm are
mounted; the kernel takes those mounts and every process left in the chroot
away when the command ends, or when this process dies, however it dies. A
folder left behind by a killed run is removed by the next Chroot made in the
same parent.

Needs root, debootstrap and unshare (util-linux). require() checks all
three; when one is missing it prints one line "SKIP: <reason>" and exits with
SKIP_CODE (for CTest's SKIP_RETURN_CODE), except under CI=true, where it
prints "FAIL: <reason>" and exits 1. A debootstrap that cannot reach the
archive raises ArchiveUnreachable, for the caller to skip the same way.
debootstrap fetches from its own default mirror, or TUMBLE_DEBIAN_MIRROR.
"""
import os
import shutil
import signal
import subprocess
import re
import tempfile
import time

from harness.common import skip_or_fail

MIRROR = os.environ.get('TUMBLE_DEBIAN_MIRROR')  # None: debootstrap's own default
PREFIX = 'tumble-chroot-'
# Passed from this process into debootstrap and into each command in the chroot.
PASSED_ENV = ('http_proxy', 'https_proxy', 'no_proxy', 'HTTP_PROXY', 'HTTPS_PROXY', 'NO_PROXY')

# Run inside the new namespaces, before the command: $1 is the chroot's root.
_ENTER = r'''
set -e
r=$1; shift
mount -t proc proc "$r/proc"
mount -t sysfs -o ro sysfs "$r/sys"
mkdir -p "$r/dev/pts" "$r/dev/shm"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$r/dev/pts"
[ -e "$r/dev/ptmx" ] || touch "$r/dev/ptmx"
mount --bind "$r/dev/pts/ptmx" "$r/dev/ptmx"
mount -t tmpfs -o mode=1777,nosuid,nodev shm "$r/dev/shm"
set +e
chroot "$r" "$@"
'''

# A mount namespace of its own (private: nothing propagates back), a process
# namespace of its own, and everything in it killed when this process goes.
_UNSHARE = ['unshare', '--mount', '--propagation', 'private', '--pid', '--fork', '--kill-child']


class ArchiveUnreachable(Exception):
    """The Debian archive did not answer."""


def missing_requirements():
    """Why no chroot can be made here, or None."""
    if os.geteuid() != 0:
        return 'making a chroot needs root'
    for tool in ('debootstrap', 'unshare', 'chroot', 'mount'):
        if not shutil.which(tool):
            return f'{tool} is not installed'
    return None


def require():
    """Skips (or fails, under CI=true) the calling test when no chroot can
    be made here: not root, or a tool missing."""
    reason = missing_requirements()
    if reason:
        skip_or_fail(reason)


def _kill_rooted_in(root):
    """Kills the processes whose root directory is root (there should be none:
    each run's process namespace takes them along)."""
    root = os.path.realpath(root)
    for _ in range(2):
        pids = []
        for pid in filter(str.isdigit, os.listdir('/proc')):
            try:
                if os.path.realpath(os.readlink(f'/proc/{pid}/root')) == root:
                    pids.append(int(pid))
            except OSError:
                pass
        if not pids:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        time.sleep(0.5)


def _mounted_under(folder):
    folder = os.path.realpath(folder) + '/'
    with open('/proc/self/mountinfo') as f:
        points = [line.split()[4].replace('\\040', ' ') for line in f]
    return [p for p in points if (p + '/').startswith(folder)]


def _remove(folder):
    """Removes folder, refusing when anything is mounted under it."""
    _kill_rooted_in(os.path.join(folder, 'root'))
    mounted = _mounted_under(folder)
    if mounted:
        raise RuntimeError(f'not removing {folder}: still mounted there: {" ".join(mounted)}')
    subprocess.run(['rm', '-rf', '--one-file-system', folder], check=True)


def _alive(stamp):
    """Whether the process that wrote the owner stamp (pid and start time) still runs."""
    try:
        pid, start = stamp.split()
        with open(f'/proc/{pid}/stat') as f:
            return f.read().rsplit(')', 1)[1].split()[19] == start
    except (OSError, ValueError, IndexError):
        return False


def _own_stamp():
    with open('/proc/self/stat') as f:
        return f'{os.getpid()} {f.read().rsplit(")", 1)[1].split()[19]}'


def remove_stale(parent):
    """Removes the chroots in parent whose maker has died."""
    try:
        names = os.listdir(parent)
    except OSError:
        return
    for name in names:
        folder = os.path.join(parent, name)
        if not name.startswith(PREFIX) or not os.path.isdir(folder):
            continue
        try:
            with open(os.path.join(folder, 'owner')) as f:
                stamp = f.read()
        except OSError:
            stamp = ''
        if not _alive(stamp):
            print(f'chroot: removing {folder}, left by a run that ended', flush=True)
            _remove(folder)


class Chroot:
    """A minimal Debian chroot of release, made on entering the with-block and
    removed on leaving it. root is its folder as seen from outside."""

    def __init__(self, release, parent=None, mirror=MIRROR, variant='minbase', include=(),
                 timeout=900):
        self.release, self.mirror, self.variant = release, mirror, variant
        self.include, self.timeout = list(include), timeout
        self.parent = os.path.abspath(parent or tempfile.gettempdir())
        self.folder = self.root = None

    def __enter__(self):
        os.makedirs(self.parent, exist_ok=True)
        remove_stale(self.parent)
        self.folder = tempfile.mkdtemp(prefix=f'{PREFIX}{self.release}-', dir=self.parent)
        with open(os.path.join(self.folder, 'owner'), 'w') as f:
            f.write(_own_stamp())
        self.root = os.path.join(self.folder, 'root')
        try:
            self._debootstrap()
            for name in ('resolv.conf', 'hosts'):
                if os.path.exists(f'/etc/{name}'):
                    dest = self.host_path(f'/etc/{name}')
                    if os.path.lexists(dest):
                        os.unlink(dest)
                    shutil.copyfile(f'/etc/{name}', dest)
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def close(self):
        """Removes the chroot (also what __exit__ does); safe to call twice."""
        if self.folder and os.path.isdir(self.folder):
            _remove(self.folder)
        self.folder = self.root = None

    def _debootstrap(self):
        command = ['debootstrap', f'--variant={self.variant}']
        if self.include:
            command.append('--include=' + ','.join(self.include))
        command += [self.release, self.root] + ([self.mirror] if self.mirror else [])
        started = time.monotonic()
        print(f'chroot: {" ".join(command)}', flush=True)
        done = self._unshared(command, timeout=self.timeout, capture=True)
        if done.returncode != 0:
            tail = '\n'.join(done.stdout.splitlines()[-20:])
            if re.search(r"^E: (Failed getting release file|Couldn't download)", done.stdout, re.M):
                raise ArchiveUnreachable(f'debootstrap cannot reach the Debian archive:\n{tail}')
            raise RuntimeError(f'debootstrap {self.release} failed with status {done.returncode}:\n{tail}')
        print(f'chroot: {self.release} made in {time.monotonic() - started:.0f} s at {self.root}', flush=True)

    def _env(self, env):
        e = {'PATH': '/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin', 'HOME': '/root',
             'LANG': 'C.UTF-8', 'TERM': 'dumb', 'DEBIAN_FRONTEND': 'noninteractive'}
        e.update({k: os.environ[k] for k in PASSED_ENV if k in os.environ})
        e.update(env or {})
        return e

    def _unshared(self, command, env=None, timeout=None, capture=False, input=None, script=None):
        """Runs command on the host, in its own mount and process namespaces;
        with script, first runs that shell text there (which then runs command)."""
        full = _UNSHARE + (['sh', '-c', script, 'sh', self.root] if script else []) + list(command)
        proc = subprocess.Popen(full, env=env, stdin=subprocess.PIPE if input is not None else subprocess.DEVNULL,
                                stdout=subprocess.PIPE if capture else None,
                                stderr=subprocess.STDOUT if capture else None, text=True)
        try:
            out, _ = proc.communicate(input, timeout=timeout)
        except BaseException:
            proc.kill()  # unshare: its --kill-child takes the whole process namespace along
            proc.wait()
            raise
        return subprocess.CompletedProcess(full, proc.returncode, out, None)

    def run(self, command, check=True, env=None, cwd='/', timeout=None, capture=False, input=None):
        """Runs command (a list, or a string for sh -c) as root in the chroot,
        from cwd, with a clean environment (PATH, HOME, LANG, TERM,
        DEBIAN_FRONTEND=noninteractive, any proxy settings) plus env. Its output
        goes to this process's unless capture is set (then: .stdout, with
        stderr in it). Raises CalledProcessError when check is set and it fails,
        TimeoutExpired (after killing all it started) when it outlasts timeout."""
        if isinstance(command, str):
            command = ['sh', '-c', command]
        e = self._env(env)
        inner = ['/usr/bin/env', '-i', '-C', cwd] + [f'{k}={v}' for k, v in e.items()] + list(command)
        done = self._unshared(inner, env=self._env(None), timeout=timeout, capture=capture, input=input,
                              script=_ENTER)
        if check and done.returncode != 0:
            raise subprocess.CalledProcessError(done.returncode, command, done.stdout)
        return done

    def host_path(self, path):
        """Where path inside the chroot lies, seen from outside."""
        return os.path.join(self.root, path.lstrip('/'))

    def copy_in(self, src, dest, files=None):
        """Copies a file or a folder from outside to dest inside the chroot.
        With files (paths relative to the folder src), copies only those."""
        target = self.host_path(dest)
        if files is not None:
            for name in files:
                source, to = os.path.join(src, name), os.path.join(target, name)
                if os.path.islink(source) or os.path.isfile(source):
                    os.makedirs(os.path.dirname(to), exist_ok=True)
                    shutil.copy2(source, to, follow_symlinks=False)
        elif os.path.isdir(src):
            shutil.copytree(src, target, symlinks=True, dirs_exist_ok=True)
        else:
            os.makedirs(os.path.dirname(target), exist_ok=True)
            shutil.copy2(src, target)
        return target
