#!/usr/bin/python3
"""Shows kvupdaterd's main job in a sandbox device: an application package is
made with the packaging tool, wrapped into an encrypted container, signed, and
dropped into the watch folder; the daemon decrypts, unpacks, verifies and
installs it. Prints the daemon's log, the device programs it called and the
update log."""
import argparse
import os
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, HERE)

from kvsandbox import Daemon, Sandbox  # noqa: E402


def step(text):
    print(f"\n== {text}", flush=True)


def run(*cmd):
    print("$ " + " ".join(cmd), flush=True)
    subprocess.run(cmd, check=True)


def wait_line(daemon, pattern, timeout=60):
    line = daemon.wait_stdout(pattern, timeout=timeout)
    return line


def main():
    p = argparse.ArgumentParser(description=__doc__)
    p.add_argument("--build", default=os.path.join(SOURCE, "build", "release"))
    p.add_argument("--platform", default="kv2-touch")
    a = p.parse_args()
    kvpack = os.path.join(a.build, "tools", "kvpack", "kvpack")
    keys = os.path.join(SOURCE, "keys", "development")
    platform_id = {"kv2-touch": "KV2_TOUCH", "korvel-r": "KORVEL_R", "korvel-sr": "KV_SR"}[a.platform]

    work = tempfile.mkdtemp(prefix="kvdemo-")
    try:
        step(f"a sandbox device for {a.platform}")
        sb = Sandbox.create(os.path.join(work, "device"), a.platform)
        print(f"device root: {sb.root}")

        step("the application package, its container and its signature, made with kvpack")
        src = os.path.join(work, "src")
        os.makedirs(os.path.join(src, "data", "opt", "kv2", "app"))
        with open(os.path.join(src, "control"), "w") as f:
            f.write(f"Package: {a.platform}\nVersion: 2.4.1\nArchitecture: armhf\nLicense: Proprietary\n"
                    "Maintainer: demo\nDescription: the controller application\n")
        with open(os.path.join(src, "data", "opt", "kv2", "app", "app.bin"), "w") as f:
            f.write("application\n")
        ipk = os.path.join(work, "app_2.4.1.ipk")
        cry = os.path.join(work, "app_2.4.1.CRY")
        run(kvpack, "ipk", "--control", os.path.join(src, "control"), "--data", os.path.join(src, "data"), "-o", ipk)
        run(kvpack, "cry", "--platform", platform_id, "--swpart", "718235.100", "--package-name", a.platform,
            "-o", cry, ipk)
        run(kvpack, "sign", "--key", os.path.join(keys, "development-ipksignkeyprivate.pem"),
            "-o", sb.dev("/home/root/bundle/app_2.4.1.sign64"), ipk)
        run(kvpack, "inspect", "--platform", platform_id, cry)

        step("kvupdaterd -v 2 -l in the sandbox device (own network namespace, private /dev/log)")
        daemon = Daemon(sb, ["-v", "2", "-l"], daemon=os.path.join(a.build, "updater", "kvupdaterd"))
        daemon.start()
        try:
            wait_line(daemon, "looking for changes")
            shutil.copyfile(cry, os.path.join(work, "drop.CRY"))
            os.rename(os.path.join(work, "drop.CRY"), sb.dev("/opt/kv2/swfw/app_2.4.1.CRY"))
            print(f"dropped app_2.4.1.CRY into {sb.dev('/opt/kv2/swfw/')}", flush=True)
            deadline = time.monotonic() + 60
            while time.monotonic() < deadline:
                if any(call[:2] == ["systemctl", "start"] for call in sb.journal()):
                    break
                time.sleep(0.2)
            time.sleep(0.5)
        finally:
            daemon.stop()
        for line in daemon.stdout_lines:
            print(f"  | {line}")

        step("device programs the daemon called (stand-in journal)")
        for call in sb.journal():
            print("  " + shlex.join(call))
        step("update log")
        print(open(sb.dev("/opt/kv2/log/update.log")).read(), end="")
        installed = any(call[:2] == ["systemctl", "start"] for call in sb.journal())
        print("\nRESULT: " + ("the package reached its installer unit" if installed else "NOT installed"))
        return 0 if installed else 1
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
