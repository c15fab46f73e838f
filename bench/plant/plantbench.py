#!/usr/bin/python3
"""The plant tool at scale, against its floor (see bench/README.md).

1. Rollout: a release of PLANT_RELEASE_MIB MiB (default 64) to
   PLANT_CONTROLLERS sandboxed controllers (default 200) behind real SSH
   servers, in waves PLANT_WAVES (default 1,10,rest) with PLANT_PARALLEL
   transfers at once (default 8). The floor is measured in the same run:
     - the rate one SFTP stream reaches over the plant's bridge: one timed
       upload of the release to controller 0 with OpenSSH's sftp;
     - the controllers' own waits: a rollout of a tiny release to one
       controller (connect, the daemon's passes, decryption, installation,
       the follow), its time less its transfer;
   floor = release bytes x controllers / (rate x parallel) + waves x own wait.
   Prints the rollout's time, the floor and the ratio (goal <= 1.5).
2. Inventory of PLANT_INVENTORY controllers (default 1000; daemons only, no
   devices or servers): time and how many were found (goal: all).

PLANT_PARTS (default "rollout inventory") chooses. Needs root: namespaces.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE_DIR = os.path.dirname(os.path.dirname(HERE))
sys.path.insert(0, os.path.join(SOURCE_DIR, "tests", "sandbox"))

from fleet import LAPTOP_IFACE, Plant  # noqa: E402

KEYS = os.path.join(SOURCE_DIR, "keys", "development")
PRIVATE_KEY = os.path.join(KEYS, "development-ipksignkeyprivate.pem")
PUBLIC_KEY = os.path.join(KEYS, "ipksignkeypublic.pem")


def env_int(name, default):
    return int(os.environ.get(name, default))


def run(*cmd):
    r = subprocess.run(cmd, capture_output=True, text=True)
    if r.returncode != 0:
        sys.exit(f"{' '.join(cmd)}: {r.stdout}{r.stderr}")
    return r


def make_release(build, folder, mib, version):
    """An application container for kv2-touch whose package carries mib MiB of
    incompressible payload, with the package's signature beside it."""
    kvpack = os.path.join(build, "tools", "kvpack", "kvpack")
    data = os.path.join(folder, f"data-{version}", "opt", "app")
    os.makedirs(data)
    with open(os.path.join(data, "payload.bin"), "wb") as f:
        for _ in range(mib):
            f.write(os.urandom(1 << 20))
    control = os.path.join(folder, f"control-{version}")
    with open(control, "w") as f:
        f.write(f"Package: kv2-touch\nVersion: {version}\nArchitecture: armhf\nLicense: Proprietary\n"
                "Maintainer: bench\nDescription: bench package\n")
    ipk = os.path.join(folder, f"kv2-touch_{version}.ipk")
    run(kvpack, "ipk", "--control", control, "--data", os.path.dirname(os.path.dirname(data)), "-o", ipk)
    shutil.rmtree(os.path.dirname(os.path.dirname(data)))
    cry = os.path.join(folder, f"app_{version}.CRY")
    run(kvpack, "cry", "--platform", "KV2_TOUCH", "--swpart", "718235.100", "--package-name", "app",
        "--filetype", "APP-CRY", "-o", cry, ipk)
    run(kvpack, "sign", "--key", PRIVATE_KEY, "-o", os.path.join(folder, f"app_{version}.sign64"), ipk)
    os.remove(ipk)
    return cry


def timed(plant, *cmd, timeout=7200):
    start = time.monotonic()
    r = plant.laptop(*cmd, timeout=timeout)
    return time.monotonic() - start, r


def rollout_part(build, daemon, kvplant):
    size = env_int("PLANT_CONTROLLERS", 200)
    mib = env_int("PLANT_RELEASE_MIB", 64)
    parallel = env_int("PLANT_PARALLEL", 8)
    waves = os.environ.get("PLANT_WAVES", "1,10,rest")
    work = tempfile.mkdtemp(prefix="kvplantbench-")
    plant = Plant(size, daemon, devices=True, ssh=True, fastwait=os.environ.get("PLANT_FASTWAIT") == "1")
    try:
        free = shutil.disk_usage(work).free
        need = size * mib * 3 << 20  # the container, its decrypted package, the installer's copy
        if free < need:
            sys.exit(f"{free >> 30} GiB free in {work}, the rollout needs about {need >> 30} GiB")
        release = make_release(build, work, mib, "2.5")
        tiny = make_release(build, work, 0, "2.6")
        plant.start(timeout=600)
        ssh = plant.ssh_options(plant.known_hosts())

        # One SFTP stream's rate over the bridge.
        seconds, r = timed(plant, "sftp", "-F", "none", "-i", plant.identity, "-o", "IdentitiesOnly=yes",
                           "-o", f"UserKnownHostsFile={plant.known_hosts()}", "-o", "BatchMode=yes",
                           "-b", _batch(work, f"put {release} /home/root/rate.bin\nrm /home/root/rate.bin\n"),
                           f"root@[{plant.nodes[0].address}]")
        if r.returncode != 0:
            sys.exit(f"sftp: {r.stderr}")
        rate = os.path.getsize(release) / seconds
        print(f"one SFTP stream: {rate / (1 << 20):.1f} MiB/s ({os.path.getsize(release) >> 20} MiB in {seconds:.2f} s)")

        inventory = os.path.join(work, "inventory.json")
        r = plant.laptop(kvplant, "inventory", "-i", LAPTOP_IFACE, "-6", "-o", inventory)
        if r.returncode != 0:
            sys.exit(f"kvplant inventory: {r.stderr}")
        with open(inventory) as f:
            controllers = json.load(f)["controllers"]
        first = {"format": "kvplant-inventory", "version": 1, "taken": "", "controllers": [
            c for c in controllers if c["addresses"][0] == plant.nodes[0].address]}
        first_path = os.path.join(work, "first.json")
        with open(first_path, "w") as f:
            json.dump(first, f)

        # The controllers' own waits: a tiny release to one controller.
        seconds, r = timed(plant, kvplant, "rollout", "--inventory", first_path, "--public-key", PUBLIC_KEY,
                           "--state", os.path.join(work, "tiny.state"), "--audit", os.path.join(work, "tiny.audit"),
                           "--json", *ssh, tiny)
        if r.returncode != 0:
            sys.exit(f"kvplant rollout (one controller, tiny release): {r.stdout[-2000:]}{r.stderr}")
        own_wait = max(0.0, seconds - os.path.getsize(tiny) / rate)
        print(f"one controller's own waits: {own_wait:.1f} s")

        # The rollout, from the plant as it is now (controller 0 runs 2.6,
        # which is not this release).
        r = plant.laptop(kvplant, "inventory", "-i", LAPTOP_IFACE, "-6", "-o", inventory)
        if r.returncode != 0:
            sys.exit(f"kvplant inventory: {r.stderr}")
        seconds, r = timed(plant, kvplant, "rollout", "--inventory", inventory, "--public-key", PUBLIC_KEY,
                           "--waves", waves, "--parallel", str(parallel),
                           "--state", os.path.join(work, "bench.state"), "--audit", os.path.join(work, "bench.audit"),
                           "--json", *ssh, release)
        if r.returncode != 0:
            sys.exit(f"kvplant rollout: {r.stdout[-2000:]}{r.stderr}")
        installed = sum(1 for n in plant.nodes if any(u == "install@kv2-touch" for u, _, _ in n.sandbox.installs()))
        wave_count = len([w for w in waves.split(",") if w])
        floor = os.path.getsize(release) * size / (rate * parallel) + wave_count * own_wait
        print(f"rollout of {os.path.getsize(release) >> 20} MiB to {size} controllers ({waves}, {parallel} at once): "
              f"{seconds:.1f} s, {installed} installed; floor {floor:.1f} s; ratio {seconds / floor:.2f} (goal <= 1.5)")
    finally:
        plant.stop()
        shutil.rmtree(work, ignore_errors=True)


def _batch(folder, text):
    path = os.path.join(folder, "batch")
    with open(path, "w") as f:
        f.write(text)
    return path


def inventory_part(daemon, kvplant):
    size = env_int("PLANT_INVENTORY", 1000)
    # Static neighbour entries: a thousand controllers and the laptop share the
    # sandbox kernel's one neighbour table, which real machines do not.
    with Plant(size, daemon, resolve="static") as plant:
        out = os.path.join(plant.workdir, "inventory.json")
        seconds, r = timed(plant, kvplant, "inventory", "-i", LAPTOP_IFACE, "-6", "-o", out, timeout=600)
        if r.returncode != 0:
            sys.exit(f"kvplant inventory: {r.stderr}")
        with open(out) as f:
            found = len(json.load(f)["controllers"])
        print(f"inventory of {size} controllers: {seconds:.1f} s, {found} found (goal: all)")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(SOURCE_DIR, "build-bench"))
    daemon = os.path.join(build, "updater", "kvupdaterd")
    kvplant = os.path.join(build, "tools", "kvplant", "kvplant")
    parts = os.environ.get("PLANT_PARTS", "rollout inventory").split()
    if "rollout" in parts:
        rollout_part(build, daemon, kvplant)
    if "inventory" in parts:
        inventory_part(daemon, kvplant)


if __name__ == "__main__":
    main()
