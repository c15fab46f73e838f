#!/usr/bin/python3
"""Helper of the hostile-network benchmark (idhostile.py), run on the peer
side of a link: an honest client that proves its address with a cookie.

  idhonest.py --src ADDRESS --to ADDRESS [--port P] [--every-ms MS]

Every MS milliseconds (default 100: ten requests a second, within the
budget a verified source is answered from) it sends one request from a new socket
bound to --src, identification and status requests in turn, each with the
request extension (KVX1, the cookie it holds or zeros, a fresh nonce). A
cookie answer (IDCKE) carrying the request's nonce gives it the cookie, and
the request goes out again with it on the same socket. A request counts as
answered by the identification answer (IDRSP) or the status document ("{");
a daemon that knows no extension answers the request as a plain one, which
counts too.

A line "stop T" on standard input (T: a CLOCK_MONOTONIC time, the flood's
last datagram) ends the run once a request sent at or after T has been
answered (or 30 s after T), and one more second for the answers still on
their way. Prints one JSON object:
  {"stop": T, "requests": [[kind, sent, answered or null, cookie answers], ...]}
with the times on the monotonic clock.
"""
import argparse
import json
import os
import resource
import selectors
import socket
import sys
import time

EXTENSION = b"KVX1"
REQUESTS = {"id": b"IDREQ\0", "status": b"IDUPDATESTATUS\0"}
ANSWERS = {"id": b"IDRSP", "status": b"{"}


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--src", required=True)
    p.add_argument("--to", required=True)
    p.add_argument("--port", type=int, default=20034)
    p.add_argument("--every-ms", type=float, default=100)
    a = p.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    sel = selectors.DefaultSelector()
    sel.register(sys.stdin, selectors.EVENT_READ, None)
    cookie = bytes(16)
    records = []  # [kind, sent, answered, cookie answers]
    dest = (a.to, a.port)
    stop, done_at, next_send, turn = None, None, time.monotonic(), 0

    def send(sock, entry):
        nonce = os.urandom(8)
        sock.sendto(REQUESTS[entry["kind"]] + EXTENSION + cookie + nonce, dest)
        entry["nonce"] = nonce

    while True:
        now = time.monotonic()
        if done_at is not None and now >= done_at:
            break
        if stop is not None and done_at is None:
            after = [r for r in records if r[1] >= stop]
            if any(r[2] is not None for r in after) or now > stop + 30:
                done_at = now + 1.0
        if now >= next_send and done_at is None:
            kind = ("id", "status")[turn % 2]
            turn += 1
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.setblocking(False)
            s.bind((a.src, 0))
            record = [kind, time.monotonic(), None, 0]
            entry = {"kind": kind, "record": record}
            records.append(record)
            try:
                send(s, entry)
            except OSError:
                s.close()
            else:
                sel.register(s, selectors.EVENT_READ, entry)
            next_send += a.every_ms / 1000
        for key, _ in sel.select(timeout=max(0.0, min(0.005, next_send - time.monotonic()))):
            if key.data is None:
                line = sys.stdin.readline()
                if not line:
                    sel.unregister(sys.stdin)
                    if stop is None:
                        stop = time.monotonic()
                elif line.startswith("stop"):
                    stop = float(line.split()[1])
                continue
            entry, s = key.data, key.fileobj
            try:
                data = s.recv(65536)
            except OSError:
                continue
            record = entry["record"]
            if data.startswith(b"IDCKE") and len(data) == 29 and data[21:29] == entry["nonce"]:
                cookie = data[5:21]
                record[3] += 1
                try:
                    send(s, entry)
                except OSError:
                    pass
            elif data.startswith(ANSWERS[entry["kind"]]):
                record[2] = time.monotonic()
                sel.unregister(s)
                s.close()
    print(json.dumps({"stop": stop, "requests": records}))


if __name__ == "__main__":
    main()
