#!/usr/bin/python3
"""Stand-in for the controller's application: its JSON-RPC service on
127.0.0.1 port 4006 (header line with "length", then the JSON-RPC body), as
the identification answers ask it for the security settings.

  appstandin.py --control FILE --journal FILE [--port 4006] [--hold-pcomm] [--uid N]

Every connection re-reads the control file (JSON), so a test can steer each
exchange; missing members take their defaults:
  "result":  the "result" array to answer with (default: all five settings)
  "mode":    "normal"       header and body in one piece
             "split"        header and body in small pieces with pauses
             "stall"        header only, then silence until the client leaves
             "close"        header and half the body, then close
             "no_newline"   the header text without its newline, then silence
             "no_length"    a header without "length", then the body
             "huge"         a header announcing more than the client's buffer
             "not_json"     a body that is not JSON
             "no_result"    a JSON body without "result"
             "garbage"      random bytes instead of a header
             "silent"       accept, read, never answer
             "refuse"       accept and close at once
Every request is appended to the journal as one JSON line {"request": text}.
With --hold-pcomm the stand-in also holds TCP port 4002 (the PCOMM port).
With --uid the stand-in gives up root for that user (group the same number,
no supplementary groups) before it opens any socket, as an unprivileged
local process would run.
"""
import argparse
import json
import os
import random
import socket
import sys
import threading
import time

PATHS = {
    "write_backup": "6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_write_backup:vBool",
    "only_ssl": "6.1.ControlUnitPart_mainCard.2.Object_ipProtocol.TcpIpSetupId_cfgOnlySSL:vBool",
    "ftps": "6.1.ControlUnitPart_mainCard.6.Object_ipProtocol.FtpSetupId_cfgEnableFtps:vBool",
    "remote": "6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgRemoteService:vU8int2",
    "account": "6.1.ControlUnitPart_security.TOPLEVEL.Object_this.SecurityId_cfgAccountType:vBool",
}
# How long a misbehaving stand-in keeps the connection open: far beyond the
# client's deadline, so an answer that waited for it would be noticed.
HOLD = 10

DEFAULT_RESULT = [
    {"Path": PATHS["write_backup"], "Value": True},
    {"Path": PATHS["only_ssl"], "Value": True},
    {"Path": PATHS["ftps"], "Value": False},
    {"Path": PATHS["remote"], "Value": 2},
    {"Path": PATHS["account"], "Value": True},
]


def read_control(path):
    try:
        with open(path) as f:
            return json.load(f)
    except (OSError, ValueError):
        return {}


def read_request(conn):
    """Reads one header line and the body it announces; returns the text."""
    data = b""
    conn.settimeout(5)
    try:
        while b"\n" not in data:
            chunk = conn.recv(65536)
            if not chunk:
                return data
            data += chunk
        header, _, rest = data.partition(b"\n")
        length = json.loads(header).get("length", 0)
        while len(rest) < length:
            chunk = conn.recv(65536)
            if not chunk:
                break
            rest += chunk
        return header + b"\n" + rest
    except (OSError, ValueError):
        return data


def reply_bytes(body, **header_extra):
    header = {"ip": "127.0.0.1", "ssl": False, "length": len(body)}
    header.update(header_extra)
    return json.dumps(header, separators=(",", ":")).encode() + b"\n" + body


def serve(conn, control, journal):
    mode = control.get("mode", "normal")
    if mode == "refuse":
        conn.close()
        return
    request = read_request(conn)
    with open(journal, "a") as f:
        f.write(json.dumps({"request": request.decode(errors="replace")}) + "\n")
    result = control.get("result", DEFAULT_RESULT)
    body = (json.dumps({"jsonrpc": "2.0", "result": result, "id": 13}, separators=(",", ":")) + "\n").encode()
    whole = reply_bytes(body)
    header_line = whole[:whole.index(b"\n") + 1]
    try:
        if mode == "normal":
            conn.sendall(whole)
        elif mode == "split":
            for i in range(0, len(whole), 37):
                conn.sendall(whole[i:i + 37])
                time.sleep(0.01)
        elif mode == "stall":
            conn.sendall(header_line)
            time.sleep(HOLD)
        elif mode == "close":
            conn.sendall(header_line + body[:len(body) // 2])
        elif mode == "no_newline":
            conn.sendall(header_line[:-1])
            time.sleep(HOLD)
        elif mode == "no_length":
            conn.sendall(b'{"ip":"127.0.0.1"}\n' + body)
        elif mode == "huge":
            conn.sendall(json.dumps({"length": 20000}).encode() + b"\n" + body)
            time.sleep(HOLD)
        elif mode == "not_json":
            junk = b"this is not json at all\n"
            conn.sendall(reply_bytes(junk))
        elif mode == "no_result":
            other = b'{"jsonrpc":"2.0","error":{"code":-1},"id":13}\n'
            conn.sendall(reply_bytes(other))
        elif mode == "garbage":
            conn.sendall(bytes(random.Random(7).randrange(1, 256) for _ in range(300)))
            time.sleep(HOLD)
        elif mode == "silent":
            time.sleep(HOLD)
    except OSError:
        pass
    finally:
        conn.close()


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--control", required=True)
    p.add_argument("--journal", required=True)
    p.add_argument("--port", type=int, default=4006)
    p.add_argument("--hold-pcomm", action="store_true")
    p.add_argument("--uid", type=int)
    a = p.parse_args()
    if a.uid is not None:
        os.setgroups([])
        os.setgid(a.uid)
        os.setuid(a.uid)
    srv = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    srv.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    srv.bind(("127.0.0.1", a.port))
    srv.listen(64)
    held = None
    if a.hold_pcomm:
        held = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        held.bind(("127.0.0.1", 4002))
        held.listen(1)
    print("ready", flush=True)
    while True:
        conn, _ = srv.accept()
        threading.Thread(target=serve, args=(conn, read_control(a.control), a.journal), daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
