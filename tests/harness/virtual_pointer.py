"""wlroots' virtual-pointer protocol, spoken on the Wayland wire: Debian 12
packages no tool or Python binding for it, and on a headless seat sway's own
`seat seat0 cursor press` reaches no client (the seat has no pointer)."""
import os
import socket
import struct
import time

BUTTONS = {1: 0x110, 2: 0x112, 3: 0x111}  # evdev's BTN_LEFT, BTN_MIDDLE, BTN_RIGHT


def click(env, x, y, extent_w, extent_h, button):
    """A pointer comes, moves to (x, y) of the layout (extent_w x extent_h),
    clicks button (1 left, 2 middle, 3 right) and goes."""
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(os.path.join(env['XDG_RUNTIME_DIR'], env['WAYLAND_DISPLAY']))
    ids = iter(range(2, 1000))

    def send(obj, opcode, fmt, *args):
        body = b''
        for kind, value in zip(fmt, args):
            if kind == 's':
                raw = value.encode() + b'\0'
                body += struct.pack('<I', len(raw)) + raw + b'\0' * (-len(raw) % 4)
            else:
                body += struct.pack('<I', value & 0xFFFFFFFF)
        sock.sendall(struct.pack('<II', obj, (8 + len(body)) << 16 | opcode) + body)

    buffer = b''

    def roundtrip(on_event=lambda obj, opcode, body: None):
        nonlocal buffer
        callback = next(ids)
        send(1, 0, 'n', callback)  # wl_display.sync
        while True:
            while len(buffer) < 8 or len(buffer) < struct.unpack_from('<I', buffer, 4)[0] >> 16:
                part = sock.recv(4096)
                if not part:
                    raise RuntimeError('the compositor closed the connection')
                buffer += part
            obj, word = struct.unpack_from('<II', buffer)
            size = word >> 16
            body, buffer = buffer[8:size], buffer[size:]
            if obj == 1 and word & 0xFFFF == 0:
                raise RuntimeError(f'Wayland protocol error: {body!r}')
            if obj == callback:
                return
            on_event(obj, word & 0xFFFF, body)

    registry, globals_ = next(ids), {}
    send(1, 1, 'n', registry)  # wl_display.get_registry

    def on_global(obj, opcode, body):
        if obj == registry and opcode == 0:
            name, length = struct.unpack_from('<II', body)
            globals_[body[8:8 + length - 1].decode()] = name
    roundtrip(on_global)
    interface = 'zwlr_virtual_pointer_manager_v1'
    if interface not in globals_:
        raise RuntimeError(f'the compositor has no {interface}')
    manager, pointer = next(ids), next(ids)
    send(registry, 0, 'usun', globals_[interface], interface, 1, manager)  # wl_registry.bind
    send(manager, 0, 'un', 0, pointer)  # create_virtual_pointer on the default seat
    roundtrip()
    time.sleep(0.5)  # the clients take up the seat's new pointer
    ms = lambda: time.monotonic_ns() // 1000000  # noqa: E731
    send(pointer, 1, 'uuuuu', ms(), x, y, extent_w, extent_h)  # motion_absolute
    send(pointer, 4, '')  # frame
    roundtrip()
    time.sleep(0.2)
    for state in (1, 0):
        send(pointer, 2, 'uuu', ms(), BUTTONS[button], state)  # button
        send(pointer, 4, '')
    roundtrip()
    time.sleep(0.2)
    send(pointer, 8, '')  # destroy
    roundtrip()
    sock.close()
