"""The simulated board the production test tool runs against.

The real KV2TPCBATest binary runs at the real paths, on simulated hardware:
  - /sys comes from a umockdev test bed: LED-class devices for the three
    main-card LEDs and the twelve CON500 pins, the backlight, and the fuse
    words under /sys/fsl_otp/. A fuse word behaves like one: what is written
    is OR-ed into the word (bits can only be set), and reading prints
    "0x%08x"; every write is journalled in order. During a run the file
    holds what the tool last wrote (the OR is made when the run ends); a
    word can be locked (every write fails) or spoiled (reads other text, or
    cannot be read at all) for one run.
  - /dev/input/buzzer0, dipswitch0 and keyboard0 are umockdev nodes whose
    ioctls (EVIOCGABS, EVIOCGKEY) and writes this module answers and records.
  - /etc, date, /sbin/hwclock and the calibration script are replaced inside a
    private mount namespace (see simns and standin.py), so the host's files,
    clock and RTC are never touched.
  - /dev/ttymxc0 and /dev/ttymxc4 are pseudo-terminals with the loop-back
    plug played by the test bed, and can0/can1 a user-space CAN bus reached
    through the preload library canbus.c (see buses.py).
  - /dev/i2c-0 is the card gateway, whose firmware gateway.py models.
"""
import ctypes
import json
import os
import shutil
import stat
import struct
import subprocess
import tempfile
import time
from collections import namedtuple

import gi

gi.require_version("UMockdev", "1.0")
from gi.repository import GLib, UMockdev  # noqa: E402

from buses import SERIAL_PORTS, CanHub, SerialPlug  # noqa: E402
from gateway import CardGateway  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

FUSE_WORDS = ("MAC0", "MAC1", "MAC2", "SW_GP0", "SW_GP1", "SW_GP2", "SW_GP3", "SW_GP4")
LEDS = ("red-led", "yellow-led", "green-led") + tuple("CON500p%d" % n for n in range(8, 20))

EVIOCGABS_X = 0x80184540          # EVIOCGABS(ABS_X): struct input_absinfo, 24 bytes
EVIOCGKEY_16 = 0x80104518         # EVIOCGKEY(16): 16-byte key bitmap
KEY_ENTER, KEY_UP, KEY_DOWN = 28, 103, 108

# The native struct input_event: struct timeval, __u16 type, __u16 code, __s32 value.
INPUT_EVENT = struct.Struct("@llHHi")
InputEvent = namedtuple("InputEvent", "sec usec type code value")

Result = namedtuple("Result", "status out err")

_IN_CLOSE_WRITE = 0x00000008
_IN_NONBLOCK = 0o4000
_IN_CLOEXEC = 0o2000000
_libc = ctypes.CDLL(None, use_errno=True)


class _FuseWatch:
    """The order in which the fuse files were written, from inotify."""

    def __init__(self, folder):
        self.fd = _libc.inotify_init1(_IN_NONBLOCK | _IN_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if _libc.inotify_add_watch(self.fd, folder.encode(), _IN_CLOSE_WRITE) < 0:
            raise OSError(ctypes.get_errno(), "inotify_add_watch")

    def names(self):
        out = []
        while True:
            try:
                data = os.read(self.fd, 65536)
            except BlockingIOError:
                return out
            pos = 0
            while pos < len(data):
                _wd, _mask, _cookie, length = struct.unpack_from("iIII", data, pos)
                name = data[pos + 16:pos + 16 + length].split(b"\0", 1)[0].decode()
                out.append(name)
                pos += 16 + length

    def close(self):
        os.close(self.fd)


class _InputDevice(UMockdev.IoctlBase):
    """Answers the evdev requests of one input node and keeps what is written."""

    def __init__(self, board):
        super().__init__()
        self.board = board

    def do_handle_ioctl(self, client):
        request = client.get_request()
        if self.board.input_requests_fail:
            client.complete(-1, 5)  # EIO: the driver could not read the device
        elif request == EVIOCGABS_X:
            data = client.get_arg().resolve(0, 24)
            data.update(0, struct.pack("6i", self.board.dip_value, 0, 255, 0, 0, 0))
            client.complete(0, 0)
        elif request == EVIOCGKEY_16:
            bitmap = bytearray(16)
            for code in self.board.keys_down:
                bitmap[code // 8] |= 1 << (code % 8)
            client.get_arg().resolve(0, 16).update(0, bytes(bitmap))
            client.complete(16, 0)
        else:
            client.complete(-1, 25)  # ENOTTY
        return True

    def do_handle_write(self, client):
        data = bytes(client.get_arg().retrieve())
        self.board.writes.append((client.get_devnode(), data))
        client.complete(len(data), 0)
        return True


class SimBoard:
    """One simulated board. run() starts the tool on it; the attributes and
    helpers show what the tool did."""

    def __init__(self, binary, workdir=None, input_devices=("buzzer0", "dipswitch0", "keyboard0"),
                 serial_ports=SERIAL_PORTS, gateway=True, can_interfaces=("can0", "can1")):
        self.binary = binary
        self.sim = workdir or tempfile.mkdtemp(prefix="kvsim-")
        self._own_sim = workdir is None
        self.dip_value = 0
        self.input_requests_fail = False  # every evdev request fails with EIO
        self.keys_down = set()
        self.writes = []            # (device node, bytes) written to input nodes
        self.fuse_writes = []       # (word, text) of the last run, in order
        self.locked_fuses = set()   # words whose writes fail
        self.testbed = UMockdev.Testbed.new()
        self.root = self.testbed.get_root_dir()
        self._handlers = []
        self._make_sysfs()
        self._make_inputs(input_devices)
        self._make_namespace_files()
        self.serial = SerialPlug(self.testbed, serial_ports)
        # umockdev hands the open of a node it does not have to the host, so a
        # device left out gets a folder in its place: every open fails, and a
        # real serial port or I2C bus of the machine is never reached.
        missing = [p for p in SERIAL_PORTS if p not in serial_ports] + ([] if gateway else ["i2c-0"])
        for name in missing:
            os.makedirs(os.path.join(self.root, "dev", name), exist_ok=True)
        self.can = CanHub(can_interfaces)
        # Built next to the tool; first in the preload list (see canbus.c).
        self.can_library = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(binary))),
                                        "tests", "pcbatest", "kvcanbus.so")
        self.gateway = None
        if gateway:
            self.gateway = CardGateway()
            self.testbed.add_from_string("P: /devices/platform/i2c/i2c-dev/i2c-0\nN: i2c-0\nE: SUBSYSTEM=i2c-dev\n")
            if not self.testbed.attach_ioctl("/dev/i2c-0", self.gateway):
                raise RuntimeError("cannot attach to /dev/i2c-0")
            self._load_cards()

    # ---- construction -------------------------------------------------
    def _make_sysfs(self):
        # The brightness files start empty, so that they hold exactly the
        # bytes the tool wrote.
        for led in LEDS:
            self.testbed.add_device("leds", led, None, ["brightness", "", "max_brightness", "1"], [])
        self.testbed.add_device("backlight", "backlight", None,
                                ["brightness", "", "max_brightness", "8"], [])
        os.makedirs(os.path.join(self.root, "sys", "fsl_otp"), exist_ok=True)
        self.fuses = {word: 0 for word in FUSE_WORDS}
        # A board kept in a folder keeps its fuses from one run to the next.
        try:
            with open(os.path.join(self.sim, "fuses.json")) as f:
                self.fuses.update(json.load(f))
        except FileNotFoundError:
            pass
        self._store_fuses()

    def _make_inputs(self, names):
        records = []
        for name in names:
            records.append("P: /devices/virtual/input/%s\nN: input/%s=00\nE: SUBSYSTEM=input\n" % (name, name))
        if records:
            self.testbed.add_from_string("\n".join(records))
        for name in names:
            handler = _InputDevice(self)
            self._handlers.append(handler)
            if not self.testbed.attach_ioctl("/dev/input/" + name, handler):
                raise RuntimeError("cannot attach to /dev/input/" + name)

    def _make_namespace_files(self):
        for sub in ("etc", ".etcwork", "bin", "sbin", "answers"):
            os.makedirs(os.path.join(self.sim, sub), exist_ok=True)
        standin = os.path.join(HERE, "standin.py")
        for link in ("bin/date", "bin/xinput_calibrator_once.sh", "sbin/hwclock"):
            path = os.path.join(self.sim, link)
            if not os.path.lexists(path):
                os.symlink(standin, path)
        defaults = {
            "etc/hostname": "kv_default\n",
            "etc/hostapd.conf": "interface=wlan0\nssid=kv_default\nchannel=6\n",
            "etc/sno": "",
            "etc/pointercal.xinput": "xinput set-float-prop 'ADS7846 Touchscreen' "
                                     "'Coordinate Transformation Matrix' 1.07 0.0 -0.03 0.0 1.1 -0.05 0 0 1\n",
            "answers/date": "2026-03-04:05:06:07\n",
            "answers/hwclock": "2026-03-04 05:06:07.251722+00:00\n",
        }
        for name, text in defaults.items():
            path = os.path.join(self.sim, name)
            if not os.path.exists(path):
                self.write_file(name, text)

    # ---- running --------------------------------------------------------
    def run(self, *args, timeout=30, while_running=None):
        """Runs KV2TPCBATest with args on the board; returns Result.
        while_running(proc), if given, is called after each turn of the loop
        that serves the devices (to signal the tool at a chosen moment)."""
        self.fuse_writes = []
        journal = self.journal()
        env = dict(os.environ)
        env.update({
            "UMOCKDEV_DIR": self.root,
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "LC_ALL": "C",
            # The sanitizer build must accept the preload library before its runtime.
            "ASAN_OPTIONS": "verify_asan_link_order=0:detect_leaks=0",
        })
        env.update(self.can.env)
        env["KV_SIM_READONLY"] = " ".join(self._fuse_file(w) for w in sorted(self.locked_fuses))
        if os.path.exists(self.can_library):
            env["KV_SIM_PRELOAD"] = self.can_library + ":libumockdev-preload.so.0"
        elif args[:1] == ("CAN",):
            # Without the library the tool would reach the machine's own CAN buses.
            raise RuntimeError("no CAN bus library at %s (build the target kvcanbus)" % self.can_library)
        self.serial.begin_run()
        self.can.begin_run()
        out = tempfile.TemporaryFile()
        err = tempfile.TemporaryFile()
        watch = _FuseWatch(os.path.join(self.root, "sys", "fsl_otp"))
        try:
            proc = subprocess.Popen([os.path.join(HERE, "simns"), self.sim, self.binary, *args],
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=err, env=env)
            context = GLib.MainContext.default()
            deadline = time.monotonic() + timeout
            # The device nodes' requests, the serial plug and the CAN hub are
            # served from this loop; the timer wakes it to see the tool end.
            wake = GLib.timeout_add(2, lambda: True)
            try:
                while proc.poll() is None:
                    context.iteration(True)
                    if while_running is not None:
                        while_running(proc)
                    if time.monotonic() > deadline:
                        proc.kill()
                        proc.wait()
                        raise TimeoutError("KV2TPCBATest %s did not end" % " ".join(args))
                while context.pending():
                    context.iteration(False)
            finally:
                GLib.source_remove(wake)
            self._burn_fuses(watch.names())
            self._store_cards()
        finally:
            watch.close()
        out.seek(0)
        err.seek(0)
        self._journal_before = len(journal)
        return Result(proc.returncode, out.read().decode("latin-1"), err.read().decode("latin-1"))

    def _burn_fuses(self, written):
        for word_file in written:
            word = word_file[len("HW_OCOTP_"):]
            text = self.read_sys("/sys/fsl_otp/" + word_file).strip()
            self.fuse_writes.append((word, text))
            self.fuses[word] |= int(text, 16) & 0xFFFFFFFF
        self._store_fuses()

    def program_fuse(self, word, value):
        """Programs a fuse word before a run, as an earlier production step would."""
        self.fuses[word] |= value
        self._store_fuses()

    def reset_fuses(self):
        """Fresh fuses, as on the next board off the line."""
        self.fuses = {word: 0 for word in FUSE_WORDS}
        self._store_fuses()

    def lock_fuse(self, word):
        """Makes every write to a fuse word fail, as a locked fuse bank does."""
        self.locked_fuses.add(word)

    def spoil_fuse(self, word, text=None):
        """For the next run, the fuse word's file reads text instead of the
        word; None: the file cannot be read at all."""
        path = self._fuse_file(word)
        os.unlink(path)
        if text is None:
            os.mkdir(path)
        else:
            with open(path, "w") as f:
                f.write(text)

    def _fuse_file(self, word):
        return os.path.join(self.root, "sys", "fsl_otp", "HW_OCOTP_" + word)

    def _store_fuses(self):
        os.makedirs(self.sim, exist_ok=True)
        with open(os.path.join(self.sim, "fuses.json"), "w") as f:
            json.dump(self.fuses, f)
        for word, value in self.fuses.items():
            path = self._fuse_file(word)
            if os.path.isdir(path):
                os.rmdir(path)
            with open(path, "w") as f:
                f.write("0x%08x\n" % value)

    def _load_cards(self):
        # A board kept in a folder keeps its cards' EEPROMs and registers too.
        try:
            with open(os.path.join(self.sim, "cards.json")) as f:
                saved = json.load(f)
        except FileNotFoundError:
            return
        for card, text in saved.get("eeprom", {}).items():
            self.gateway.eeprom[card][:] = bytes.fromhex(text)
        self.gateway.registers.update({int(k): v for k, v in saved.get("registers", {}).items()})

    def _store_cards(self):
        if self.gateway is None:
            return
        with open(os.path.join(self.sim, "cards.json"), "w") as f:
            json.dump({"eeprom": {card: bytes(m).hex() for card, m in self.gateway.eeprom.items()},
                       "registers": self.gateway.registers}, f)

    # ---- what the tool did ----------------------------------------------
    def state(self):
        """Everything a step can change on the board: LED, pin and backlight
        files, fuse words, input events written, stand-in commands run, the
        /etc files, the cards' EEPROMs and registers and the write requests
        the gateway took, and what the last run sent on the serial ports and
        CAN buses. Equal before and after a run: the run changed nothing."""
        gateway = self.gateway
        return {
            "sysfs": {led: self.read_sys("/sys/class/leds/%s/brightness" % led) for led in LEDS} |
                     {"backlight": self.read_sys("/sys/class/backlight/backlight/brightness")},
            "fuses": dict(self.fuses),
            "inputs": len(self.writes),
            "journal": len(self.journal()),
            "etc": {name: self.read_file(name) for name in ("etc/hostname", "etc/hostapd.conf", "etc/sno",
                                                             "etc/pointercal.xinput")},
            "cards": None if gateway is None else (
                {card: bytes(memory) for card, memory in gateway.eeprom.items()}, dict(gateway.registers),
                sum(1 for r in gateway.requests() if len(r) == 8 and r[4] == 1)),
            "sent": (b"".join(self.serial.sent.values()), len(self.can.frames)),
        }

    def sys_path(self, path):
        return os.path.join(self.root, path.lstrip("/"))

    def read_sys(self, path):
        with open(self.sys_path(path)) as f:
            return f.read()

    def fail_writes(self, path):
        """Makes a sysfs attribute refuse every write, like a driver that
        rejects the value (writes go to /dev/full)."""
        real = os.path.realpath(self.sys_path(path))
        os.unlink(real)
        os.symlink("/dev/full", real)

    def remove_sys(self, path):
        os.unlink(os.path.realpath(self.sys_path(path)))

    def plug_usb(self, *names):
        """Adds block device nodes under /dev, as a plugged stick would."""
        records = ["P: /devices/virtual/block/%s\nN: %s=00\nE: SUBSYSTEM=block\n" % (name, name) for name in names]
        self.testbed.add_from_string("\n".join(records))

    def input_events(self, node="/dev/input/buzzer0"):
        events = []
        for devnode, data in self.writes:
            if devnode == node:
                for offset in range(0, len(data) - INPUT_EVENT.size + 1, INPUT_EVENT.size):
                    events.append(InputEvent(*INPUT_EVENT.unpack_from(data, offset)))
        return events

    def journal(self):
        """All argv arrays the stand-ins received, in order."""
        try:
            with open(os.path.join(self.sim, "journal")) as f:
                return [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []

    def last_journal(self):
        """The stand-ins' argv arrays of the last run."""
        return self.journal()[getattr(self, "_journal_before", 0):]

    def calibrator(self):
        try:
            with open(os.path.join(self.sim, "calibrator.json")) as f:
                return json.load(f)
        except FileNotFoundError:
            return None

    def read_file(self, name):
        """A file of the board's /etc (name "etc/...") or its answers; None when
        absent or removed by the tool."""
        path = os.path.join(self.sim, name)
        if not os.path.isfile(path):
            return None
        with open(path) as f:
            return f.read()

    def remove_file(self, name):
        """Removes a file of the board's /etc ("etc/..."): an overlay whiteout,
        so that the host's file of that name does not show through."""
        path = os.path.join(self.sim, name)
        if os.path.lexists(path):
            os.unlink(path)
        os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(0, 0))

    def write_file(self, name, text):
        path = os.path.join(self.sim, name)
        if os.path.lexists(path) and not os.path.isfile(path):
            os.unlink(path)  # an overlay whiteout left by an earlier removal
        with open(path, "w") as f:
            f.write(text)

    def close(self):
        self.serial.close()
        self.can.close()
        self.gateway = None
        self._handlers.clear()
        self.testbed = None
        shutil.rmtree(self.root, ignore_errors=True)
        if self._own_sim:
            shutil.rmtree(self.sim, ignore_errors=True)
