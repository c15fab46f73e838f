#!/usr/bin/python3
"""Helper of the identification benchmark, run on the peer side of a link:
sends N requests one after another (each GAP ms after the previous answer)
and prints the round-trip times in milliseconds as one JSON list.

  idload.py --iface DEV --to ADDRESS --port PORT --hex PAYLOAD -n N [--gap MS]
"""
import argparse
import json
import socket
import time


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--iface", required=True)
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, required=True)
    p.add_argument("--hex", required=True)
    p.add_argument("-n", type=int, default=1000)
    p.add_argument("--gap", type=float, default=15.0)
    a = p.parse_args()
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, a.iface.encode())
    s.settimeout(5)
    payload = bytes.fromhex(a.hex)
    samples, lost = [], 0
    for _ in range(a.n):
        t = time.perf_counter_ns()
        s.sendto(payload, (a.to, a.port))
        try:
            s.recvfrom(65536)
        except socket.timeout:
            lost += 1
            continue
        samples.append((time.perf_counter_ns() - t) / 1e6)
        time.sleep(a.gap / 1000)
    print(json.dumps({"samples": samples, "lost": lost}))


if __name__ == "__main__":
    main()
