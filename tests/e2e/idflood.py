#!/usr/bin/python3
"""Floods one controller interface with identification datagrams from one
socket, while a second socket sends honest probe requests and times their
answers.

  idflood.py --iface DEV --to ADDRESS --hex PAYLOAD -n N [--rate R]
             [--probe-hex HEX] [--probes K] [--marker-hex HEX] [--wait S]
             [--verified-probes]

N datagrams go out from a socket bound to DEV, as fast as possible or R per
second. During the flood K probes (default 1) leave a second socket at even
intervals; each waits for its answer up to --wait seconds (default 5); with
--verified-probes the prober fetches its cookie first and sends its probes
(a request's fixed part) extended with it. After the flood, the marker
(default "IDUPDATESTATUS"; its answer must not look like a flood answer)
leaves the flood socket; answers to the flood that wait for a refresh of
the identity may still follow it, so the flood socket is read until it has
been quiet for 2 s. Prints one JSON object:
  {"sent": N, "seconds": flood time, "answered": answers to the flood,
   "probes_ms": [round trip of each probe, null when unanswered],
   "marker": whether the marker was answered}
"""
import argparse
import json
import socket
import threading
import time

from idext import extend, get_cookie


def bound_socket(iface):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, iface.encode())
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 22)
    s.bind(("0.0.0.0", 0))
    return s


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--iface", required=True)
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, default=20034)
    p.add_argument("--hex", required=True)
    p.add_argument("-n", type=int, required=True)
    p.add_argument("--rate", type=float, default=0)
    p.add_argument("--probe-hex", default=b"IDUPDATESTATUS".hex())
    p.add_argument("--probes", type=int, default=1)
    p.add_argument("--marker-hex", default=b"IDUPDATESTATUS".hex())
    p.add_argument("--wait", type=float, default=5.0)
    p.add_argument("--verified-probes", action="store_true")
    a = p.parse_args()
    dest = (a.to, a.port)
    flood, prober = bound_socket(a.iface), bound_socket(a.iface)
    payload, probe, marker = bytes.fromhex(a.hex), bytes.fromhex(a.probe_hex), bytes.fromhex(a.marker_hex)

    probes_ms = []
    cookie = get_cookie(prober, dest) if a.verified_probes else None

    def run_probe():
        prober.settimeout(a.wait)
        t = time.perf_counter()
        prober.sendto(extend(probe, cookie)[0] if cookie else probe, dest)
        try:
            prober.recvfrom(65536)
            probes_ms.append((time.perf_counter() - t) * 1000)
        except socket.timeout:
            probes_ms.append(None)

    every = max(1, a.n // (a.probes + 1))
    probe_threads = []
    start = time.perf_counter()
    for i in range(a.n):
        if a.rate > 0:
            due = start + i / a.rate
            pause = due - time.perf_counter()
            if pause > 0.001:
                time.sleep(pause)
        flood.sendto(payload, dest)
        if a.probes and (i + 1) % every == 0 and len(probe_threads) < a.probes:
            th = threading.Thread(target=run_probe)
            th.start()
            probe_threads.append(th)
    seconds = time.perf_counter() - start
    for th in probe_threads:
        th.join()

    # The flood spent its source's budget for plain requests: a marker that
    # must be answered proves its address too.
    flood.sendto(extend(marker, cookie)[0] if cookie else marker, dest)
    answered, got_marker = 0, False
    flood.settimeout(a.wait)
    try:
        while True:
            data, _ = flood.recvfrom(65536)
            if not data.startswith((b"IDRSP", b"NETBR", b"CLOSED")):
                got_marker = True
                flood.settimeout(2.0)
                continue
            answered += 1
    except socket.timeout:
        pass
    print(json.dumps({"sent": a.n, "seconds": seconds, "answered": answered, "probes_ms": probes_ms,
                      "marker": got_marker}))


if __name__ == "__main__":
    main()
