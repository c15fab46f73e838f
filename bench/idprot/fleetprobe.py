#!/usr/bin/python3
"""Helper of the fleet benchmark, run in the laptop's namespace: one
`kvid discover` over the plant while a status request goes to one
controller, with every packet of the discovery timed on the wire.

  fleetprobe.py --kvid PATH --iface DEV [--timeout-ms T] --status ADDRESS

A packet socket on DEV sees the discovery request leave and each answer
arrive (UDP from port 20034), each with the kernel's time stamp, so the time
to the last answer is measured from the request itself, whatever kvid and
this script do. An answer is a controller's identification answer (IDRSP);
cookie answers (IDCKE) that come before it are counted apart. Without
--timeout-ms kvid waits as long as it does by default. The neighbour
solicitations that reach the laptop and its advertisements are counted too.
The status request goes out
through `kvid status ADDRESS -t 1000` right after the discovery request has
left; its round trip is timed around the process. Prints one JSON object:
  {"found": controllers kvid listed, "on_wire": distinct addresses whose
   identification answer was seen, "cookies": distinct addresses that sent a
   cookie answer, "last_ms": last answer after the request, "median_ms":
   median answer, "solicitations": neighbour solicitations received,
   "advertisements": neighbour advertisements sent, "status_rc": kvid's exit
   status, "status_ms": its run time}
"""
import argparse
import json
import select
import socket
import statistics
import struct
import subprocess
import time

ETH_P_ALL = 0x0003  # outgoing frames reach only a socket for every protocol
ETH_P_IPV6 = 0x86DD
SO_RCVBUFFORCE = 33
SO_TIMESTAMPNS = 35  # also the type of its control message
PACKET_OUTGOING = 4
GROUP = socket.inet_pton(socket.AF_INET6, "ff05::5a:5157")


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--kvid", required=True)
    p.add_argument("--iface", required=True)
    p.add_argument("--timeout-ms", type=int)
    p.add_argument("--status", required=True)
    a = p.parse_args()
    raw = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    raw.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
    raw.setsockopt(socket.SOL_SOCKET, SO_TIMESTAMPNS, 1)
    raw.bind((a.iface, ETH_P_ALL))
    wait = ["-t", str(a.timeout_ms)] if a.timeout_ms else []
    discover = subprocess.Popen([a.kvid, "discover", "-H", "-6", "-i", a.iface, *wait],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    sent, answers, cookies, status, status_start, status_end = None, {}, set(), None, None, None
    solicitations = advertisements = 0
    while discover.poll() is None:
        if status is not None and status_end is None and status.poll() is not None:
            status_end = time.perf_counter()
        ready, _, _ = select.select([raw], [], [], 0.01)
        if not ready:
            continue
        frame, control, _, addr = raw.recvmsg(65536, 64)
        now = None
        for level, kind, data in control:
            if level == socket.SOL_SOCKET and kind == SO_TIMESTAMPNS:
                seconds, nanoseconds = struct.unpack("qq", data[:16])
                now = seconds + nanoseconds / 1e9
        if now is None:
            continue
        ip = frame[14:]
        if frame[12:14] != b"\x86\xdd" or len(ip) < 48:
            continue
        if ip[6] == 58:  # ICMPv6: 135 solicitation, 136 advertisement
            if ip[40] == 135 and addr[2] != PACKET_OUTGOING:
                solicitations += 1
            elif ip[40] == 136 and addr[2] == PACKET_OUTGOING:
                advertisements += 1
            continue
        if ip[6] != 17:  # UDP over IPv6 only
            continue
        src, dst = ip[8:24], ip[24:40]
        sport, dport = struct.unpack("!HH", ip[40:44])
        if addr[2] == PACKET_OUTGOING and dst == GROUP and dport == 20034 and sent is None:
            sent = now
            status_start = time.perf_counter()
            status = subprocess.Popen([a.kvid, "status", a.status, "-t", "1000"], stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        elif addr[2] != PACKET_OUTGOING and sport == 20034:
            if ip[48:53] == b"IDCKE":
                cookies.add(src)
            elif ip[48:53] == b"IDRSP" and src not in answers:
                answers[src] = now
    out, _ = discover.communicate()
    status_rc = status.wait() if status else None
    if status is not None and status_end is None:
        status_end = time.perf_counter()
    status_ms = (status_end - status_start) * 1000 if status else None
    times = sorted((t - sent) * 1000 for t in answers.values()) if sent else []
    print(json.dumps({"found": len(set(out.splitlines())), "on_wire": len(answers), "cookies": len(cookies),
                      "solicitations": solicitations, "advertisements": advertisements,
                      "last_ms": times[-1] if times else None,
                      "median_ms": statistics.median(times) if times else None,
                      "status_rc": status_rc, "status_ms": status_ms}))


if __name__ == "__main__":
    main()
