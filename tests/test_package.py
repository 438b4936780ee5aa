#!/usr/bin/env python3
"""The Debian package that ./package writes: what it holds, that a second
build in another folder gives it to the byte, what Debian's checkers say of
it, its manual against the lines the program prints, and the unpacked program
started where its desktop entry starts it."""
import configparser
import filecmp
import io
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import assets, common, screen, tumble, xvfb  # noqa: E402

DEB = os.environ.get('TUMBLE_DEB', '')
SOURCE = common.SOURCE

FILES = {
    '/usr/games/tumble',
    '/usr/share/applications/tumble.desktop',
    '/usr/share/doc/tumble/changelog.gz',
    '/usr/share/doc/tumble/copyright',
    '/usr/share/games/tumble/tavrin.ogg',
    '/usr/share/games/tumble/tavrin.png',
    '/usr/share/icons/hicolor/128x128/apps/tumble.png',
    '/usr/share/icons/hicolor/64x64/apps/tumble.png',
    '/usr/share/man/man6/tumble.6.gz',
}


def run(*command, **kwargs):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **kwargs)


def source_date():
    """The date ./package gives every file: the caller's SOURCE_DATE_EPOCH, else
    that of the changelog's newest entry."""
    changelog = os.path.join(SOURCE, 'packaging', 'changelog')
    return int(os.environ.get('SOURCE_DATE_EPOCH')
               or run('dpkg-parsechangelog', '-l', changelog, '-S', 'Timestamp', check=True).stdout)


def desktop_entry(path):
    entry = configparser.ConfigParser(interpolation=None)
    entry.optionxform = str
    entry.read(path)
    return entry['Desktop Entry']


def printed_lines():
    """The fixed text around each %s of every line src/main.cpp prints."""
    with open(os.path.join(SOURCE, 'src', 'main.cpp')) as f:
        formats = re.findall(r'fprintf\(stderr,\s*"((?:[^"\\]|\\.)*)"', f.read())
    assert formats, 'no lines found in src/main.cpp'
    return [[part.replace('\\"', '"').replace('\\n', '').strip() for part in fmt.split('%s')] for fmt in formats]


@unittest.skipUnless(os.path.isfile(DEB) or common.in_ci(), f'no package at {DEB!r}: run ./package')
class Package(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.root = tempfile.mkdtemp(dir=common.TMP)
        subprocess.run(['dpkg-deb', '-x', DEB, cls.root], check=True)

    def field(self, name):
        return run('dpkg-deb', '-f', DEB, name, check=True).stdout.strip()

    def test_files_control_and_desktop_entry(self):
        listing = run('dpkg-deb', '-c', DEB, check=True).stdout.splitlines()
        files = {line.split()[-1].lstrip('.') for line in listing if not line.startswith('d')}
        self.assertEqual(files, FILES)
        data = subprocess.run(['dpkg-deb', '--fsys-tarfile', DEB], stdout=subprocess.PIPE, check=True).stdout
        date = source_date()
        with tarfile.open(fileobj=io.BytesIO(data)) as tar:
            self.assertEqual({m.name for m in tar if m.mtime != date}, set(), f'every path dated {date}')
        self.assertEqual(self.field('Section'), 'games')
        depends = {d.split()[0] for d in self.field('Depends').split(', ')}
        self.assertLessEqual({'libsdl1.2debian', 'libsdl-image1.2', 'libsdl-mixer1.2', 'libsdl-gfx1.2-5'}, depends)

        desktop = os.path.join(self.root, 'usr/share/applications/tumble.desktop')
        check = run('desktop-file-validate', desktop)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ''))
        entry = desktop_entry(desktop)
        self.assertEqual(entry['Exec'], '/usr/games/tumble', 'an absolute path: /usr/games may not be on PATH')
        self.assertEqual(entry['Path'], '/usr/share/games/tumble')
        self.assertEqual((entry['Icon'], entry['Categories']), ('tumble', 'Game;'))

        for size in (64, 128):
            with self.subTest(icon=size):
                icon = os.path.join(self.root, f'usr/share/icons/hicolor/{size}x{size}/apps/tumble.png')
                self.assertEqual(assets.png_size(icon), (size, size))
                corners = run('convert', icon, '-alpha', 'extract', '-format',
                              '%[fx:p{0,0}+p{w-1,0}+p{0,h-1}+p{w-1,h-1}] %[fx:maxima]', 'info:', check=True)
                self.assertEqual(corners.stdout.split(), ['0', '1'], 'transparent around an opaque rocket')

    def test_rebuilt_in_another_folder_to_the_byte(self):
        folder = os.path.join(common.OUT, 'package_rebuild')
        shutil.rmtree(folder, ignore_errors=True)
        build = run(os.path.join(SOURCE, 'package'), folder)
        self.assertEqual(build.returncode, 0, build.stdout + build.stderr)
        again = os.path.join(folder, os.path.basename(DEB))
        self.assertTrue(filecmp.cmp(DEB, again, shallow=False), f'{DEB} and {again} differ: diffoscope shows where')

    def test_lintian_is_silent(self):
        result = run('lintian', '--fail-on', 'error,warning', DEB)
        tags = [line for line in result.stdout.splitlines() if re.match(r'[EW]: ', line)]
        self.assertEqual((result.returncode, tags), (0, []), result.stdout + result.stderr)

    def test_manual_renders_and_explains_every_line(self):
        manual = os.path.join(self.root, 'usr/share/man/man6/tumble.6.gz')
        env = dict(os.environ, LC_ALL='C.UTF-8', MANROFFSEQ='', MANWIDTH='200')
        result = run('man', '--warnings', '-E', 'UTF-8', '-l', manual, env=env)
        self.assertEqual((result.returncode, result.stderr), (0, ''))
        text = ' '.join(result.stdout.split())
        self.assertIn('/usr/share/games/tumble', text)
        for parts in printed_lines():
            with self.subTest(line='%s'.join(parts)):
                for part in filter(None, parts):
                    self.assertIn(part, text)

    def test_unpacked_program_runs_in_its_path(self):
        entry = desktop_entry(os.path.join(self.root, 'usr/share/applications/tumble.desktop'))
        disp = xvfb.display(640, 480)
        with tumble.plain(disp, {}, bin=self.root + entry['Exec'], cwd=self.root + entry['Path']) as proc:
            rgb = screen.wait_for_picture(disp, proc)
            self.assertIsNone(tumble.ended(proc))
            self.assertGreater(screen.picture_region(rgb, disp.w, disp.h)[0], 1000, 'the picture shows')
            subprocess.run(['xdotool', 'key', 'space'], env=dict(os.environ, DISPLAY=disp.name), check=True)
            status = proc.wait(5)
        self.assertEqual((status, proc.stderr_text), (0, ''), 'ends on a key, the music found')


if __name__ == '__main__':
    unittest.main()
