#!/usr/bin/python3
"""Shows the identification protocol in a sandbox device: kvupdaterd runs in
its own network namespace, a laptop's namespace sits at the far end of its
eth0 link, and the network client kvid finds the controller, reads its update
status and its network record. The application stand-in answers on
127.0.0.1:4006 inside the device.

  tools/kvid/sandbox_demo.py [--build DIR]   (needs root, like the sandbox)
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE, "tests", "sandbox"))

from kvsandbox import Daemon, Sandbox  # noqa: E402


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    a = p.parse_args()
    kvid = os.path.join(a.build, "tools", "kvid", "kvid")
    work = tempfile.mkdtemp(prefix="kviddemo-")
    app = None
    d = Daemon(Sandbox.create(os.path.join(work, "device")), [],
               daemon=os.path.join(a.build, "updater", "kvupdaterd"))
    try:
        d.start()
        d.connect_peer("eth0", ["10.77.0.2/24", "fd00:77::2/64"], ["10.77.0.10/24", "fd00:77::10/64"])
        app = subprocess.Popen(["ip", "netns", "exec", d.netns, "/usr/bin/python3",
                                os.path.join(SOURCE, "tests", "e2e", "appstandin.py"),
                                "--control", os.path.join(work, "app.json"), "--journal", os.path.join(work, "app.log")],
                               stdout=subprocess.PIPE, text=True, start_new_session=True)
        app.stdout.readline()
        ok = True
        for args in (["discover", "-i", "peth0"], ["status", "10.77.0.2"], ["netbr", "10.77.0.2"]):
            print("\n$ kvid " + " ".join(args), flush=True)
            for _ in range(10):  # the listener binds shortly after start-up
                r = d.peer(kvid, *args, check=False)
                if r.returncode != 1:
                    break
            print(r.stdout + r.stderr, end="", flush=True)
            ok = ok and r.returncode == 0
        print("\nRESULT: " + ("the client found the controller and read its status" if ok else "FAILED"))
        return 0 if ok else 1
    finally:
        if app is not None:
            os.killpg(app.pid, 15)
            app.wait()
        d.stop()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
