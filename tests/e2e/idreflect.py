#!/usr/bin/python3
"""Sends datagrams that must get no answer, then an honest request, and
reports what came back.

  idreflect.py --iface DEV --to ADDRESS --from-port P --hex PAYLOAD... --honest-hex HEX [--wait S]

Every payload leaves one socket bound to DEV and source port P (0: any);
then the honest request leaves a second socket. The controller serves one
interface's datagrams in order, so once the honest answer is there, any
answer to the payloads would have come before it: the first socket is then
read without waiting. Prints one JSON object:
  {"honest": hex of the honest answer or null, "reflected": [hex, ...]}
"""
import argparse
import json
import socket


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--iface", required=True)
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, default=20034)
    p.add_argument("--from-port", type=int, default=0)
    p.add_argument("--hex", action="append", default=[])
    p.add_argument("--honest-hex", required=True)
    p.add_argument("--wait", type=float, default=5.0)
    a = p.parse_args()
    sockets = []
    for port in (a.from_port, 0):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, a.iface.encode())
        s.bind(("0.0.0.0", port))
        sockets.append(s)
    spoofed, honest = sockets
    for payload in a.hex:
        spoofed.sendto(bytes.fromhex(payload), (a.to, a.port))
    honest.sendto(bytes.fromhex(a.honest_hex), (a.to, a.port))
    honest.settimeout(a.wait)
    try:
        answer = honest.recvfrom(65536)[0].hex()
    except socket.timeout:
        answer = None
    reflected = []
    spoofed.setblocking(False)
    while True:
        try:
            reflected.append(spoofed.recvfrom(65536)[0].hex())
        except BlockingIOError:
            break
    print(json.dumps({"honest": answer, "reflected": reflected}))


if __name__ == "__main__":
    main()
