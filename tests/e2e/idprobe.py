#!/usr/bin/python3
"""Sends identification datagrams from one interface and prints the answers.

  idprobe.py --iface DEV --to ADDRESS [--hex PAYLOAD]... [--wait S] [--count N] [--from-port P] [--verified]

Each payload (hex; "" for an empty datagram) is sent in turn from a socket
bound to DEV (and to source port P, default any) to ADDRESS port 20034 (an
IPv6 multicast address leaves through DEV). After each, answers are collected until --count have come or --wait
seconds have passed. With --verified the client first fetches its cookie and
sends each payload (a request's fixed part) with the extension and that
cookie, as a client that proves its address does. Prints one JSON line per
answer:
  {"request": i, "from": [address, port], "data": hex}
"""
import argparse
import json
import socket
import time

from idext import extend, get_cookie


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--iface", required=True)
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, default=20034)
    p.add_argument("--hex", action="append", default=[])
    p.add_argument("--wait", type=float, default=3.0)
    p.add_argument("--count", type=int, default=1)
    p.add_argument("--from-port", type=int, default=0)
    p.add_argument("--verified", action="store_true")
    a = p.parse_args()
    v6 = ":" in a.to
    s = socket.socket(socket.AF_INET6 if v6 else socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, a.iface.encode())
    if v6:
        s.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_MULTICAST_IF, socket.if_nametoindex(a.iface))
        s.bind(("::", a.from_port))
        dest = (a.to, a.port, 0, socket.if_nametoindex(a.iface) if a.to.lower().startswith(("ff", "fe80")) else 0)
    else:
        s.bind(("0.0.0.0", a.from_port))
        dest = (a.to, a.port)
    cookie = get_cookie(s, dest) if a.verified else None
    for i, payload in enumerate(a.hex):
        data = bytes.fromhex(payload)
        s.sendto(extend(data, cookie)[0] if cookie else data, dest)
        got = 0
        deadline = time.monotonic() + a.wait
        while got < a.count:
            left = deadline - time.monotonic()
            if left <= 0:
                break
            s.settimeout(left)
            try:
                data, addr = s.recvfrom(65536)
            except socket.timeout:
                break
            got += 1
            print(json.dumps({"request": i, "from": [addr[0], addr[1]], "data": data.hex()}), flush=True)


if __name__ == "__main__":
    main()
