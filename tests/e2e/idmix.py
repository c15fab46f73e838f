#!/usr/bin/python3
"""Plays one seeded mix of identification datagrams against a controller
from many sources of a peer namespace, while an honest client that proves
its address asks for the status, and reports what every source received.

  idmix.py --iface DEV --to ADDRESS --broadcast ADDRESS --honest ADDRESS
           --victim ADDRESS... --seed S --seconds T

Each victim address has one socket that sends its share of the mix (kinds,
sizes, unicast or broadcast, chosen by the seed) and receives what the
controller sends it; in reflecting mode a victim also answers whatever it
receives, after a short delay, the way a careless service on the segment
would. The honest client fetches its cookie and sends a verified status
request every 100 ms. After T seconds everything stops sending; what
arrives later is counted per window. Prints one JSON object:
  {"mix": {...}, "victims": {addr: {"sent": bytes, "answers": bytes,
   "cookies": bytes, "largest": bytes}}, "honest": [sent, answered],
   "late": datagrams arriving 3 to 6 s after the stop}
"""
import argparse
import json
import os
import random
import selectors
import socket
import time

from idext import ZERO, extend, get_cookie

PORT = 20034


def kinds(rng):
    """The request kinds a mix draws from, with a weight each."""
    table = [
        ("idreq", lambda: b"IDREQ\0"),
        ("burnr", lambda: b"BURNR\0"),
        ("burnr_idreq", lambda: b"BURNR\0IDREQ\0"),
        ("status", lambda: b"IDUPDATESTATUS"),
        ("forged_cookie", lambda: extend(rng.choice([b"IDREQ\0", b"IDUPDATESTATUS"]), os.urandom(16))[0]),
        ("no_cookie", lambda: extend(b"IDREQ\0", ZERO)[0]),
        ("unknown", lambda: os.urandom(rng.randrange(1, 300))),
        ("answer", lambda: rng.choice([b"CLOSED", b"IDRSP{}", b"IDCKE" + bytes(24), b"{\n}"])),
        ("huge", lambda: b"IDREQ\0" + bytes(rng.randrange(100, 3000))),
        ("empty", lambda: b""),
    ]
    chosen = rng.sample(table, rng.randrange(1, len(table) + 1))
    return [(name, make, rng.randrange(1, 10)) for name, make in chosen]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--iface", required=True)
    p.add_argument("--to", required=True)
    p.add_argument("--broadcast", required=True)
    p.add_argument("--honest", required=True)
    p.add_argument("--victim", action="append", default=[])
    p.add_argument("--seed", type=int, required=True)
    p.add_argument("--seconds", type=float, default=3.0)
    a = p.parse_args()
    rng = random.Random(a.seed)
    mix = kinds(rng)
    rate = rng.choice([200, 1000, 3000])
    group_share = rng.choice([0.0, 0.2, 0.8])
    reflect = rng.random() < 0.4
    victims = a.victim[:rng.randrange(1, len(a.victim) + 1)]

    sel = selectors.DefaultSelector()
    stats = {}
    socks = []
    for v in victims:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, a.iface.encode())
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
        s.bind((v, rng.randrange(1024, 60000)))
        s.setblocking(False)
        sel.register(s, selectors.EVENT_READ, v)
        socks.append((v, s))
        stats[v] = {"sent": 0, "answers": 0, "cookies": 0, "largest": 0, "datagrams": 0}

    honest = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    honest.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, a.iface.encode())
    honest.bind((a.honest, 0))
    dest = (a.to, PORT)
    cookie = get_cookie(honest, dest)
    honest.setblocking(False)
    sel.register(honest, selectors.EVENT_READ, None)
    honest_sent, honest_answered, nonces = 0, 0, set()

    reflections = []  # (due, socket, data)
    late = 0
    start = time.monotonic()
    stop = start + a.seconds
    weights = [w for _, _, w in mix]
    sent = 0
    next_honest = start
    while True:
        now = time.monotonic()
        if now >= stop + 6:
            break
        if now < stop:
            # The mix, at its rate.
            while sent < (now - start) * rate:
                v, s = socks[sent % len(socks)]
                _, make, _ = rng.choices(mix, weights)[0]
                data = make()
                to = (a.broadcast, PORT) if rng.random() < group_share else dest
                try:
                    s.sendto(data, to)
                    stats[v]["sent"] += len(data)
                except OSError:
                    pass
                sent += 1
            if now >= next_honest and cookie:
                payload, nonce = extend(b"IDUPDATESTATUS", cookie)
                nonces.add(nonce)
                honest.sendto(payload, dest)
                honest_sent += 1
                next_honest += 0.1
        for due, s, data in [r for r in reflections if r[0] <= now]:
            try:
                s.sendto(b"ERR " + data[:40], dest)
            except OSError:
                pass
        reflections = [r for r in reflections if r[0] > now]
        for key, _ in sel.select(timeout=0.002):
            while True:
                try:
                    data, source = key.fileobj.recvfrom(65536)
                except BlockingIOError:
                    break
                if key.data is None:
                    try:
                        if json.loads(data).get("nonce") in {n.hex() for n in nonces}:
                            honest_answered += 1
                    except ValueError:
                        pass
                    continue
                if now >= stop + 3:
                    late += 1
                st = stats[key.data]
                st["datagrams"] += 1
                if data.startswith(b"IDCKE"):
                    st["cookies"] += len(data)
                else:
                    st["answers"] += len(data)
                st["largest"] = max(st["largest"], len(data))
                if reflect and source[1] == PORT:
                    reflections.append((now + rng.uniform(0.02, 0.3), key.fileobj, data))
    print(json.dumps({"mix": {"kinds": [n for n, _, _ in mix], "rate": rate, "group": group_share,
                              "reflect": reflect, "victims": len(victims), "sent": sent},
                      "victims": stats, "honest": [honest_sent, honest_answered], "late": late}))


if __name__ == "__main__":
    main()
