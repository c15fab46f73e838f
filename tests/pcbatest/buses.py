"""The serial loop-back plug and the CAN buses of the simulated board.

Serial: each port (/dev/ttymxc0 RS-232, /dev/ttymxc4 RS-485) is a umockdev
tty node, a pseudo-terminal whose far end the test bed holds. The plug copies
what the tool sends on one port into the receive side of the ports it is
wired to (plug: {sending port: (receiving ports, ...)}); limit cuts each
transmission to its first bytes, to play a short read. The terminal settings
of every port are captured when the first byte arrives, as the device sees
them.

CAN: a hub for the preload library canbus.c, on an abstract Unix datagram
socket named in KV_CANBUS. It records every frame the tool sends and carries
it to the other sockets: on the same interface always (the kernel's local
loop-back), on the other interface only while the buses are wired together.
node_frames are sent by another node on the named interface when the tool
sends its first frame.
"""
import errno
import itertools
import os
import socket
import struct
import termios
from collections import namedtuple

from gi.repository import GLib

SERIAL_PORTS = ("ttymxc0", "ttymxc4")
FULL_PLUG = {"ttymxc0": ("ttymxc4", "ttymxc0"), "ttymxc4": ("ttymxc0",)}

# A previous user's settings, so that a test sees what the tool set and not
# what happened to be there: 9600 baud, canonical input with echo, XON/XOFF.
# (A pseudo-terminal keeps 8 data bits without parity whatever it is told.)
_DIRTY = (termios.ICRNL | termios.IXON | termios.IXOFF, termios.OPOST | termios.ONLCR,
          termios.B9600 | termios.CS8 | termios.CREAD | termios.HUPCL,
          termios.ICANON | termios.ECHO | termios.ISIG, termios.B9600, termios.B9600)


class SerialPlug:
    def __init__(self, testbed, ports=SERIAL_PORTS):
        self.masters = {}
        self._slaves = []
        self._sources = []
        self.plug = dict(FULL_PLUG)
        self.limit = None
        self.sent = {}
        self.settings = {}
        for port in ports:
            testbed.add_from_string("P: /devices/platform/serial/tty/%s\nN: %s\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/%s\n"
                                    % (port, port, port))
            master = testbed.get_dev_fd("/dev/" + port)
            self.masters[port] = master
            # Holding the terminal side open keeps the settings the tool made
            # and spares the far end the hang-up between two opens.
            slave = os.readlink(os.path.join(testbed.get_root_dir(), "dev", port))
            self._slaves.append(os.open(slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC))
            self._sources.append(GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, master, GLib.IOCondition.IN,
                                                       self._on_data, port))

    def begin_run(self):
        self.sent = {port: b"" for port in self.masters}
        self.settings = {}
        for port, master in self.masters.items():
            attrs = termios.tcgetattr(master)
            attrs[0:6] = _DIRTY
            termios.tcsetattr(master, termios.TCSANOW, attrs)

    def _on_data(self, _fd, _condition, port):
        try:
            data = os.read(self.masters[port], 4096)
        except OSError as e:
            if e.errno in (errno.EAGAIN, errno.EIO):
                return True
            raise
        if not self.settings:
            self.settings = {p: termios.tcgetattr(m) for p, m in self.masters.items()}
        already = len(self.sent[port])
        self.sent[port] += data
        if self.limit is not None:
            data = data[:max(0, self.limit - already)]
        for target in self.plug.get(port, ()):
            if data and target in self.masters:
                os.write(self.masters[target], data)
        return True

    def close(self):
        for source in self._sources:
            GLib.source_remove(source)
        for fd in self._slaves:
            os.close(fd)
        self._sources = []
        self._slaves = []


CAN_EFF_FLAG = 0x80000000
IFINDEX_BASE = 100
CanFrame = namedtuple("CanFrame", "interface can_id dlc data")
_FRAME = struct.Struct("<IB3x8s")
_names = itertools.count()


def can_index(interface):
    return IFINDEX_BASE + int(interface[3:])


def can_name(index):
    return "can%d" % (index - IFINDEX_BASE) if index else "any"


def pack_frame(can_id, data):
    return _FRAME.pack(can_id, len(data), bytes(data))


class CanHub:
    def __init__(self, interfaces=("can0", "can1")):
        self.interfaces = interfaces
        self.name = "kvcanbus-%d-%d" % (os.getpid(), next(_names))
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM | socket.SOCK_NONBLOCK | socket.SOCK_CLOEXEC)
        self.sock.bind("\0" + self.name)
        self._source = GLib.unix_fd_add_full(GLib.PRIORITY_DEFAULT, self.sock.fileno(), GLib.IOCondition.IN,
                                             self._on_message)
        self.wired = True
        self.node_frames = []
        self.frames = []
        self.clients = {}

    @property
    def env(self):
        return {"KV_CANBUS": "@" + self.name, "KV_CANBUS_IFACES": ",".join(self.interfaces)}

    def begin_run(self):
        self.frames = []
        self.clients = {}
        self._nodes_sent = False

    def _deliver(self, frame, sender, index, local_only):
        for client, bound in self.clients.items():
            if client == sender:
                continue
            if bound == 0 or bound == index or not local_only:
                try:
                    self.sock.sendto(frame, client)
                except OSError:
                    pass  # a full or closed socket loses the frame, as a bus would

    def _on_message(self, _fd, _condition):
        while True:
            try:
                data, sender = self.sock.recvfrom(64)
            except BlockingIOError:
                return True
            kind, index = struct.unpack_from("<c3xi", data)
            if kind == b"B":
                self.clients[sender] = index
            elif kind == b"F" and len(data) == 8 + _FRAME.size:
                frame = data[8:]
                can_id, dlc, payload = _FRAME.unpack(frame)
                self.frames.append(CanFrame(can_name(index), can_id, dlc, payload))
                if not self._nodes_sent:
                    self._nodes_sent = True
                    for interface, node_id, node_data in self.node_frames:
                        self._deliver(pack_frame(node_id, node_data), None, can_index(interface), True)
                self._deliver(frame, sender, index, not self.wired)

    def close(self):
        GLib.source_remove(self._source)
        self.sock.close()
