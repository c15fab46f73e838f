#!/usr/bin/python3
"""Stand-in for a device program that must not run for real here.

Called as: standin.py NAME [ARGS...] by the wrapper the sandbox maker writes
for each program. Appends [NAME, ARGS...] as one JSON array line to the
sandbox's journal (in call order), then behaves as the sandbox's control
folder tells it:

  control/<NAME>-<ARG1>.hook or control/<NAME>.hook Python run first, with args (the arguments)
                                                    and root (the device root): a test plays the
                                                    attacker at the moment the program is called,
                                                    or records what the program was handed
  control/<NAME>-<ARG1>.out or control/<NAME>.out   text printed on stdout
  control/<NAME>.delay                              seconds to wait after each printed line
  control/<NAME>-<ARG1>.rc or control/<NAME>.rc     exit status (default 0)
  control/<NAME>-<ARG1>.hold or control/<NAME>.hold while it exists, the call waits (after its
                                                    journal line): a step that hangs until the
                                                    test removes the file
"""
import json
import os
import sys
import time

SANDBOX = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def control(name, first, suffix):
    for candidate in ([f"{name}-{first}{suffix}"] if first else []) + [f"{name}{suffix}"]:
        path = os.path.join(SANDBOX, "control", candidate)
        if os.path.exists(path):
            return path
    return None


def main():
    name, args = sys.argv[1], sys.argv[2:]
    line = (json.dumps([name] + args) + "\n").encode()
    fd = os.open(os.path.join(SANDBOX, "journal.jsonl"), os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    try:
        os.write(fd, line)
    finally:
        os.close(fd)

    first = args[0] if args else ""
    hook = control(name, first, ".hook")
    if hook:
        with open(hook) as f:
            code = compile(f.read(), hook, "exec")
        exec(code, {"args": args, "root": os.path.join(SANDBOX, "root"), "sandbox": SANDBOX})
    hold = control(name, first, ".hold")
    while hold and os.path.exists(hold):
        time.sleep(0.05)
    out = control(name, first, ".out")
    if out:
        delay_path = control(name, first, ".delay")
        delay = float(open(delay_path).read().strip()) if delay_path else 0.0
        with open(out, "rb") as f:
            for chunk in f:
                sys.stdout.buffer.write(chunk)
                sys.stdout.flush()
                if delay:
                    time.sleep(delay)
    rc = control(name, first, ".rc")
    return int(open(rc).read().strip()) if rc else 0


if __name__ == "__main__":
    sys.exit(main())
