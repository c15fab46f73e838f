"""The card gateway's firmware, as the simulated board plays it behind
/dev/i2c-0 (a umockdev node whose ioctl, read and write calls reach this
model).

The gateway answers at I2C address 0x32. A request is one 8-byte write:
address (32-bit little-endian), operation (0 read, 1 write), length, two data
bytes. The model carries it out at once and then acknowledges on a later
read: a read request with its data bytes followed by 0x06, a write with 0x06
alone. Reads before that return zeros (busy); the acknowledgement comes on
the ack_polls-th read after the request, once.

Address map: registers 0 to 14 raw readings, 15 to 26 outputs, 50 the sense
card's software version; 0x200000 + n and 0x300000 + n the sense and io
cards' EEPROMs. Each EEPROM is a 2 KiB chip whose first 1024 bytes are the
image EEPROM read and write transfer; erase reaches past the image.

Knobs: ack_polls, silent (requests are taken but never carried out or
acknowledged), absent (no device answers: every transfer fails with
EREMOTEIO), write_protect (EEPROM bytes from this offset on are kept
although their writes are acknowledged; 0 protects the whole chip),
fail_after (after this many requests the gateway drops off the bus: absent
from then on), slow_after and slow_polls (after this many requests each one
is acknowledged only on the slow_polls-th poll). Every transfer is recorded
in log with its time, so tests can assert exact requests, poll counts and
the gaps between them.
"""
import struct
import time
from collections import namedtuple

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import UMockdev  # noqa: E402

GATEWAY_ADDRESS = 0x32
I2C_SLAVE = 0x0703
I2C_SLAVE_FORCE = 0x0706
ACK = 0x06
EEPROM_SIZE = 2048
IMAGE_SIZE = 1024
EEPROM_BASE = {"sense": 0x200000, "io": 0x300000}
ENOTTY = 25
EREMOTEIO = 121

Transfer = namedtuple("Transfer", "time kind data")          # kind "w" (bytes) or "r" (bytes returned)
Request = namedtuple("Request", "address op length data6 data7")
Exchange = namedtuple("Exchange", "time request polls acked")  # polls: times of the reads that followed


def parse_request(data):
    address, op, length, data6, data7 = struct.unpack("<IBBBB", data)
    return Request(address, op, length, data6, data7)


class CardGateway(UMockdev.IoctlBase):
    def __init__(self):
        super().__init__()
        self.registers = {}
        self.eeprom = {card: bytearray(EEPROM_SIZE) for card in EEPROM_BASE}
        self.ack_polls = 1
        self.silent = False
        self.absent = False
        self.write_protect = None
        self.fail_after = None
        self.slow_after = None
        self.slow_polls = 100
        self.taken = 0
        self.log = []
        self.slave = None
        self._reply = None
        self._polls = 0
        self._ack_on = 1

    # ---- the firmware -----------------------------------------------------
    def _memory(self, address):
        for card, base in EEPROM_BASE.items():
            if base <= address < base + EEPROM_SIZE:
                return self.eeprom[card], address - base
        return None, None

    def _read(self, address, length):
        memory, offset = self._memory(address)
        if memory is not None:
            data = bytes(memory[offset:offset + length])
            return data + b"\xff" * (length - len(data))
        value = self.registers.get(address, 0) & 0xFFFF
        return (struct.pack("<H", value) + bytes(length))[:length]

    def _write(self, request):
        memory, offset = self._memory(request.address)
        if memory is not None:
            data = bytes([request.data6, request.data7]) if request.length == 2 else bytes([request.data7])
            for i, byte in enumerate(data):
                if self.write_protect is not None and offset + i >= self.write_protect:
                    continue
                if offset + i < EEPROM_SIZE:
                    memory[offset + i] = byte
        elif request.length == 2:
            self.registers[request.address] = request.data6 | request.data7 << 8
        else:
            self.registers[request.address] = request.data7

    def _take(self, data):
        self._reply = None
        self._polls = 0
        self.taken += 1
        slow = self.slow_after is not None and self.taken > self.slow_after
        self._ack_on = self.slow_polls if slow else self.ack_polls
        if len(data) != 8 or self.silent:
            return
        request = parse_request(data)
        if request.op == 0:
            self._reply = self._read(request.address, request.length) + bytes([ACK])
        else:
            self._write(request)
            self._reply = bytes([ACK])

    def _answer(self, size):
        self._polls += 1
        if self._reply is not None and self._polls >= self._ack_on:
            reply, self._reply = self._reply, None
            return (reply + bytes(size))[:size]
        return bytes(size)

    # ---- umockdev handlers -------------------------------------------------
    def do_handle_ioctl(self, client):
        request = client.get_request()
        if request in (I2C_SLAVE, I2C_SLAVE_FORCE):
            self.slave = int.from_bytes(bytes(client.get_arg().data), "little")
            client.complete(0, 0)
        else:
            client.complete(-1, ENOTTY)
        return True

    def _reachable(self):
        return not self.absent and self.slave == GATEWAY_ADDRESS

    def do_handle_write(self, client):
        data = bytes(client.get_arg().retrieve())
        self.log.append(Transfer(time.monotonic(), "w", data))
        if self.fail_after is not None and self.taken >= self.fail_after:
            self.absent = True
        if not self._reachable():
            client.complete(-1, EREMOTEIO)
            return True
        self._take(data)
        client.complete(len(data), 0)
        return True

    def do_handle_read(self, client):
        arg = client.get_arg()
        size = arg.data_length1
        if not self._reachable():
            self.log.append(Transfer(time.monotonic(), "r", None))
            client.complete(-1, EREMOTEIO)
            return True
        reply = self._answer(size)
        self.log.append(Transfer(time.monotonic(), "r", reply))
        arg.update(0, reply)
        client.complete(size, 0)
        return True

    # ---- what the tool did ---------------------------------------------------
    def clear_log(self):
        self.log = []

    def requests(self):
        """The 8-byte requests, in order, as raw bytes."""
        return [t.data for t in self.log if t.kind == "w"]

    def exchanges(self):
        """Each request with the reads that followed it."""
        out = []
        for t in self.log:
            if t.kind == "w":
                out.append(Exchange(t.time, parse_request(t.data) if len(t.data) == 8 else t.data, [], False))
            elif out:
                out[-1].polls.append(t.time)
                if t.data is not None and t.data[-1:] == bytes([ACK]):
                    out[-1] = out[-1]._replace(acked=True)
        return out

    def register_writes(self):
        """(time, register, value) of the write requests below the EEPROM range."""
        return [(e.time, e.request.address, e.request.data6 | e.request.data7 << 8)
                for e in self.exchanges()
                if isinstance(e.request, Request) and e.request.op == 1 and e.request.address < 0x200000]

    def image(self, card):
        return bytes(self.eeprom[card][:IMAGE_SIZE])

    def set_calibration(self, card, channel, hi_value, hi_raw, lo_value, lo_raw):
        offset = 0x4B + 16 * (channel - 1)
        self.eeprom[card][offset:offset + 8] = struct.pack("<hHhH", hi_value, hi_raw, lo_value, lo_raw)
