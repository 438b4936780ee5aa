"""wlroots' virtual-pointer protocol, spoken on the Wayland wire: Debian 12
packages no tool or Python binding for it, and on a headless seat sway's own
`seat seat0 cursor press` reaches no client (the seat has no pointer)."""
import os
import socket
import struct
import time

INTERFACE = 'zwlr_virtual_pointer_manager_v1'
BUTTONS = {1: 0x110, 2: 0x112, 3: 0x111}  # evdev's BTN_LEFT, BTN_MIDDLE, BTN_RIGHT


class _Connection:
    """Just enough of a Wayland client: requests out, events read up to a
    wl_display.sync's callback."""

    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(path)
        self.ids = iter(range(2, 1000))
        self.buffer = b''

    def send(self, obj, opcode, fmt, *args):
        body = b''
        for kind, value in zip(fmt, args):
            if kind == 's':
                raw = value.encode() + b'\0'
                body += struct.pack('<I', len(raw)) + raw + b'\0' * (-len(raw) % 4)
            else:
                body += struct.pack('<I', value & 0xFFFFFFFF)
        self.sock.sendall(struct.pack('<II', obj, (8 + len(body)) << 16 | opcode) + body)

    def roundtrip(self, on_event=lambda obj, opcode, body: None):
        callback = next(self.ids)
        self.send(1, 0, 'n', callback)  # wl_display.sync
        while True:
            while len(self.buffer) < 8 or len(self.buffer) < struct.unpack_from('<I', self.buffer, 4)[0] >> 16:
                part = self.sock.recv(4096)
                if not part:
                    raise RuntimeError('the compositor closed the connection')
                self.buffer += part
            obj, word = struct.unpack_from('<II', self.buffer)
            size = word >> 16
            body, self.buffer = self.buffer[8:size], self.buffer[size:]
            if obj == 1 and word & 0xFFFF == 0:
                raise RuntimeError(f'Wayland protocol error: {body!r}')
            if obj == callback:
                return
            on_event(obj, word & 0xFFFF, body)


def click(env, x, y, extent_w, extent_h, button):
    """A pointer comes, moves to (x, y) of the layout (extent_w x extent_h),
    clicks button (1 left, 2 middle, 3 right) and goes."""
    wl = _Connection(os.path.join(env['XDG_RUNTIME_DIR'], env['WAYLAND_DISPLAY']))
    registry, globals_ = next(wl.ids), {}
    wl.send(1, 1, 'n', registry)  # wl_display.get_registry

    def on_global(obj, opcode, body):
        if obj == registry and opcode == 0:
            name, length = struct.unpack_from('<II', body)
            globals_[body[8:8 + length - 1].decode()] = name
    wl.roundtrip(on_global)
    if INTERFACE not in globals_:
        raise RuntimeError(f'the compositor has no {INTERFACE}')
    manager, pointer = next(wl.ids), next(wl.ids)
    wl.send(registry, 0, 'usun', globals_[INTERFACE], INTERFACE, 1, manager)  # wl_registry.bind
    wl.send(manager, 0, 'un', 0, pointer)  # create_virtual_pointer on the default seat
    wl.roundtrip()
    time.sleep(0.5)  # the clients take up the seat's new pointer
    ms = lambda: time.monotonic_ns() // 1000000  # noqa: E731
    wl.send(pointer, 1, 'uuuuu', ms(), x, y, extent_w, extent_h)  # motion_absolute
    wl.send(pointer, 4, '')  # frame
    wl.roundtrip()
    time.sleep(0.2)
    for state in (1, 0):
        wl.send(pointer, 2, 'uuu', ms(), BUTTONS[button], state)  # button
        wl.send(pointer, 4, '')
    wl.roundtrip()
    time.sleep(0.2)
    wl.send(pointer, 8, '')  # destroy
    wl.roundtrip()
    wl.sock.close()
