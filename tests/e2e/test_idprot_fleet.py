"""A plant of sandboxed controllers on one network segment (each a real
daemon in a network namespace of its own, on one bridge with a laptop
namespace; tests/sandbox/fleet.py): one discovery finds every controller,
three times in a row, while a status request to one of them is answered.
The controllers resolve the laptop by neighbour discovery, as real ones do,
and the laptop keeps the kernel's defaults.
The plants of 100 to 1,000 controllers are measured by
bench/idprot/idfleet.py."""
import os
import subprocess
import sys

from idprot_net import build_dir

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "sandbox"))
from fleet import LAPTOP_IFACE, Plant, controller_address  # noqa: E402

SIZE = 60
KVID = os.path.join(build_dir(), "tools", "kvid", "kvid")


def test_discovery_finds_the_whole_plant_while_status_is_answered():
    expected = {controller_address(i) for i in range(SIZE)}
    with Plant(SIZE, os.path.join(build_dir(), "updater", "kvupdaterd"), resolve="nd") as plant:
        for round_ in range(3):
            discovery = plant.laptop_popen(KVID, "discover", "-H", "-6", "-i", LAPTOP_IFACE, "-t", "3000",
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
            status = plant.laptop(KVID, "status", controller_address(SIZE - 1), "-t", "3000")
            out, err = discovery.communicate(timeout=60)
            assert discovery.returncode == 0, err
            lines = out.splitlines()
            assert len(lines) == SIZE and {line.split("\t")[0] for line in lines} == expected
            assert all(line.split("\t")[1:5] == ["KV2_TOUCH", "Rev: 2.4.1", "kv-image-3.2.1", "no app"]
                       for line in lines)
            assert status.returncode == 0 and "Idle (0)" in status.stdout, status.stderr
            if round_ == 0:
                # Every controller solicited the laptop before its answer:
                # the laptop learned each one from its solicitation.
                assert expected <= plant.laptop_neighbours()
        # Nothing was dropped or refused on the way.
        assert plant.syslog == []
