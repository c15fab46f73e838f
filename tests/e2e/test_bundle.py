"""Bundles: unpacked into the bundle folder, members fed into the watch folder
one per idle pass in the manifest's order of preference, each taking its road."""
import hashlib
import json
import os

import pytest

from conftest import argv_of, drop, wait_for
from intake_common import calls_after, signed_ipk, start, update_log
from packages import make_bundle, make_cry, make_ipk, make_raw_bundle, sign

UPDATER_OUTPUT = " 50%\n100%\nEnabling partition /dev/mmcblk0p3\n"


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def installer_units(calls):
    return [c[2] for c in calls if c[:2] == ["systemctl", "start"]]


def test_bundle_members_take_their_roads_in_order(sandbox, run_daemon, tmp_path):
    t = str(tmp_path)
    own = make_ipk(os.path.join(t, "own"), "kvupdaterd", "1.1", file_name="kvupdaterd_1.1.ipk")
    image = os.path.join(t, "image.cry")
    open(image, "wb").write(b"artifact " * 1000)
    app = make_ipk(os.path.join(t, "app"), "kv2-touch", "2.5", file_name="app_2.5.ipk")
    inner = make_ipk(os.path.join(t, "inner"), "kvserver", "2.6", file_name="inner.ipk")
    container = make_cry(inner, os.path.join(t, "appc_2.6.CRY"), "KV2_TOUCH")
    tool = make_ipk(os.path.join(t, "tool"), "kvwebview", "1.0", file_name="tool_1.0.ipk")
    bundle = make_bundle(t, [
        {"path": tool, "packageName": "tool", "swRev": "1.0", "platformName": "all", "fileType": "APP-IPK"},
        {"path": container, "packageName": "kv2-touch", "swRev": "2.6", "platformName": "kv2-touch",
         "fileType": "APP-CRY"},
        {"path": app, "packageName": "kv2-touch", "swRev": "2.5", "platformName": "kv2-touch,korvel-r",
         "fileType": "APP-IPK"},
        {"path": image, "packageName": "image", "swRev": "kv-image-4.0.0", "platformName": "kv2-touch,korvel-r"},
        {"path": own, "packageName": "kvupdaterd", "swRev": "1.1", "platformName": "all"},
    ], os.path.join(t, "update_2024.CRY"))
    sandbox.steer("mender", out=UPDATER_OUTPUT, subcommand="-rootfs")

    # First run: the bundle is unpacked; the own package is installed, then the
    # image is written and the machine restarts.
    d, n = start(run_daemon, sandbox)
    drop(sandbox, bundle)
    d.wait_syslog(r"^scandir_Check&PrepInstaller1 - bundleworks, found kvupdaterd_1\.1\.ipk \n$", timeout=30)
    d.wait_syslog(r"^scandir_Check&PrepInstaller2 - bundleworks, found image\.cry \n$", timeout=30)
    assert d.wait_exit(timeout=60) == 75
    calls = calls_after(sandbox, n)
    assert installer_units(calls) == ["install@kvupdaterd"]
    # The image was taken into the work folder before its signature check.
    assert ["mender", "-rootfs", sandbox.dev("/home/root/IMAGE.CRY")] in calls
    assert "     IMAGE: image.cry\n" in update_log(sandbox)
    assert "KVUPDATER: kvupdaterd_1.1.ipk, version: 1.1\n" in update_log(sandbox)

    # Second run, in the boot the restart brought: the image is committed and
    # the daemon parks.
    sandbox.restart_machine()
    d2 = run_daemon(sandbox, "-v", "3")
    d2.wait_syslog(r"^doInstall_MenderCommit, Mender image commit completed! \n$")
    wait_for(lambda: ["/home/root/sync-users.sh"] in sandbox.journal(), 10, "user sync script run")
    # The commit's road ends with its marker removed: stopped before that, the
    # next start would finish the road (and park) instead of taking the bundle.
    wait_for(lambda: not os.path.exists(sandbox.dev("/opt/kv2/swfw/IMAGEUPDATEOK.TXT")), 30, "commit marker removed")
    assert sandbox.commits() == [2]
    d2.stop()

    # A container's signature covers the package inside it.
    sign(inner, sandbox.dev("/home/root/bundle/appc_2.6.sign64"))
    # Third run: the application package, the container, the catch-all member,
    # then the used-up manifest clears the bundle folder.
    d3, n3 = start(run_daemon, sandbox)
    d3.wait_syslog(r"^scandir - Last item in bundle started, <allinfo\.json empty>\n$", timeout=90)
    wait_for(lambda: installer_units(calls_after(sandbox, n3)) ==
             ["install@kv2-touch", "install@kvserver", "install@kvwebview"], 60, "three installer units")
    wait_for(lambda: [f for f in os.listdir(sandbox.dev("/home/root/bundle/"))
                      if f.split(".")[-1].upper() in ("CRY", "TXT", "JSON", "SIGN64")] == [], 15, "bundle folder cleared")
    # Each package reached its installer unit whole, and the unit took it.
    wait_for(lambda: [u for u, _, _ in sandbox.installs()] ==
             ["install@kvupdaterd", "install@kv2-touch", "install@kvserver", "install@kvwebview"], 30, "installed")
    assert [(size, digest) for _, size, digest in sandbox.installs()] == [
        (os.path.getsize(p), sha256(p)) for p in (own, app, inner, tool)]
    texts = d3.syslog_texts()
    found = [t for t in texts if "bundleworks, found" in t]
    assert found == ["scandir_Check&PrepInstaller3 - bundleworks, found app_2.5.ipk \n",
                     "scandir, bundleworks, found appc_2.6.CRY \n",
                     "scandir_Check&PrepInstaller - bundleworks, found tool_1.0.ipk \n"]


def test_image_of_the_running_revision_is_skipped(sandbox, run_daemon, tmp_path):
    t = str(tmp_path)
    image = os.path.join(t, "image.cry")
    open(image, "wb").write(b"artifact")
    bundle = make_bundle(t, [{"path": image, "packageName": "image", "swRev": "kv-image-3.2.1",
                              "platformName": "kv2-touch"}], os.path.join(t, "same.CRY"))
    d, n = start(run_daemon, sandbox)
    drop(sandbox, bundle)
    d.wait_syslog(r"^scandir_Check&PrepInstaller2 - image bundleworks, not installed because same revision: "
                  r"kv-image-3\.2\.1 \n$", timeout=30)
    d.wait_syslog(r"^scandir_Check&PrepInstaller - checking 'allinfo\.json' was empty, return CLEANUP\n$")
    wait_for(lambda: "     IMAGE: Not installed because same revision\n" in update_log(sandbox), 10, "update log")
    assert calls_after(sandbox, n) == [["chown", "root:root", sandbox.dev("/home/root/same.CRY")]]
    wait_for(lambda: os.listdir(sandbox.dev("/home/root/bundle/")) == [], 10, "bundle folder cleared")


def test_header_without_crlf_lines_unpacks_nothing(sandbox, run_daemon, tmp_path):
    manifest = json.dumps([{"packageName": "x", "platformName": "all", "fileName": "x.bin"}]).encode()
    bundle = make_raw_bundle(str(tmp_path / "lf.CRY"), [("allinfo.json", manifest), ("x.bin", b"x")],
                             header="FILETYPE: UPDATE\nHEADERLENGTH: 300\n\n", header_length=300)
    d, n = start(run_daemon, sandbox)
    drop(sandbox, bundle)
    d.wait_syslog(r"^scandir_getCRYFileTypeFromHeader, detected Bundle file\n$")
    # Read from offset 0, the payload is not a tar archive: no manifest, nothing moved.
    gone = ["/opt/kv2/swfw/lf.CRY", "/home/root/lf.CRY", "/home/root/nice_lf.CRY"]
    wait_for(lambda: not any(os.path.exists(sandbox.dev(p)) for p in gone), 20, "bundle handled")
    wait_for(lambda: os.listdir(sandbox.dev("/home/root/bundle/")) == [], 10, "bundle folder empty")
    assert [f for f in os.listdir(sandbox.dev("/opt/kv2/swfw/")) if not f.startswith(".")] == []


def test_hostile_members_and_file_names_stay_inside_the_bundle_folder(sandbox, run_daemon, tmp_path):
    victim = sandbox.dev("/etc/victim")
    open(victim, "w").write("secret\n")
    manifest = json.dumps([
        {"packageName": "a", "platformName": "all", "fileName": "../../../etc/victim"},
        {"packageName": "b", "platformName": "korvel-r", "fileName": "../../../etc/victim"},
        {"packageName": "c", "platformName": "all", "fileName": 'x" "/etc/victim'},
        {"packageName": "d", "platformName": "all", "fileName": "good.bin"},
        # Names no command line can carry: a line feed that would forge a line
        # of the update log (the image's name is recorded before it is moved),
        # a shell character.
        {"packageName": "image", "swRev": "kv-image-9.0.0", "platformName": "kv2-touch",
         "fileName": "x\nKVUPDATER: forged_9.9.ipk, version: 9.9"},
        {"packageName": "e", "platformName": "all", "fileName": "a$b.ipk"},
    ]).encode()
    bundle = make_raw_bundle(str(tmp_path / "evil.CRY"), [
        ("allinfo.json", manifest), ("good.bin", b"good"), ("/tmp/kv-absolute-evil", b"x"),
        ("x\nKVUPDATER: forged_9.9.ipk, version: 9.9", b"x"), ("a$b.ipk", b"x"),
        ("../../evil-up", b"x"), ("lnk", None, "/home/root"), ("lnk/evil-through-link", b"x"),
        ("sub/nested.bin", b"x")])
    d, n = start(run_daemon, sandbox)
    drop(sandbox, bundle)
    # A member that is neither a container nor a package is not moved into the
    # watch folder, where nothing would ever take it: it is deleted.
    d.wait_syslog(r'^scandir_Check&PrepInstaller - fileName "good\.bin" is neither a container nor a package, '
                  r'item dropped\n$', timeout=40)
    dropped = [t for t in d.syslog_texts() if "is not a plain file name, item dropped" in t]
    assert len(dropped) == 2
    d.wait_syslog(r"^scandir_Check&PrepInstaller - fileName of item \d+ holds '\$', which no command line may "
                  r"carry, item dropped\n$", timeout=20)
    carried = [t for t in d.syslog_texts() if "which no command line may carry, item dropped" in t]
    assert [t.split(" holds ")[1] for t in carried] == [
        "the byte 0x0a, which no command line may carry, item dropped\n",
        "'$', which no command line may carry, item dropped\n"]
    assert "forged" not in update_log(sandbox)
    assert not any(os.path.exists(sandbox.dev(p)) for p in [
        "/home/root/bundle/a$b.ipk", "/home/root/bundle/x\nKVUPDATER: forged_9.9.ipk, version: 9.9"])
    assert open(victim).read() == "secret\n"
    root = sandbox.root
    for path in ["/tmp/kv-absolute-evil", os.path.join(root, "tmp/kv-absolute-evil"),
                 os.path.join(root, "home/evil-up"), os.path.join(root, "home/root/evil-through-link"),
                 os.path.join(root, "home/root/evil-up")]:
        assert not os.path.exists(path), path
    assert not os.path.lexists(sandbox.dev("/home/root/bundle/lnk"))
    assert not os.path.exists(sandbox.dev("/home/root/bundle/sub"))
    wait_for(lambda: not os.path.exists(sandbox.dev("/home/root/bundle/good.bin")), 10, "dropped item deleted")
    assert not os.path.exists(sandbox.dev("/opt/kv2/swfw/good.bin"))
    assert not os.path.exists(sandbox.dev("/opt/kv2/swfw/victim"))


@pytest.mark.parametrize("shape", ["bytes", "items"])
def test_a_manifest_beyond_what_the_device_reads_ends_the_bundle_once(sandbox, run_daemon, tmp_path, shape):
    # The manifest comes from a payload nobody signed and is read in every idle
    # pass: an oversized one would have each pass (and each restart) allocate
    # and parse without end. It is refused once and the bundle ended; drops
    # after it still install.
    t = str(tmp_path)
    app = signed_ipk(t, sandbox, "kv2-touch", file_name="app_2.5.ipk")
    item = {"packageName": "kv2-touch", "swRev": "2.5", "platformName": "all", "fileType": "APP-IPK",
            "fileName": "app_2.5.ipk"}
    if shape == "bytes":
        items, limit = [dict(item, filler="x" * (300 * 1024))], r"is larger than 262144 bytes"
    else:
        items, limit = [item] + [{"packageName": f"p{i}"} for i in range(1000)], r"lists more than 1000 items"
    bundle = make_raw_bundle(os.path.join(t, "big.CRY"),
                             [("allinfo.json", json.dumps(items).encode()), ("app_2.5.ipk", open(app, "rb").read())])
    d, n = start(run_daemon, sandbox)
    drop(sandbox, bundle)
    refusal = rf"^scandir_Check&PrepInstaller - 'allinfo\.json' {limit}, return CLEANUP\n$"
    d.wait_syslog(refusal, timeout=30)
    wait_for(lambda: not os.path.exists(sandbox.dev("/home/root/bundle/allinfo.json")), 10, "bundle ended")

    later = signed_ipk(t, sandbox, "kvwebview", file_name="tool_1.0.ipk")
    drop(sandbox, later)
    wait_for(lambda: installer_units(calls_after(sandbox, n)) == ["install@kvwebview"], 30, "later drop installed")
    assert sum(1 for line in d.syslog_texts() if "return CLEANUP" in line) == 1
    assert d.alive()


def test_a_bundle_dropped_while_another_is_fed_waits_and_both_install_in_order(sandbox, run_daemon, tmp_path):
    # The second bundle would overwrite the manifest and members of the first:
    # it waits in the watch folder, untouched, until the first is used up.
    def bundle(tag, packages, name):
        folder = os.path.join(str(tmp_path), tag)
        items = [{"path": make_ipk(os.path.join(folder, p), p, "1.0", file_name=f"{p}_1.0.ipk"),
                  "packageName": p, "platformName": "all"} for p in packages]
        return make_bundle(folder, items, os.path.join(str(tmp_path), name))

    first = bundle("first", ["kvone", "kvtwo", "kvthree"], "first.CRY")
    # Its name sorts after every member's: the scan lists it before them.
    second = bundle("second", ["kvfour", "kvfive"], "zz_second.CRY")
    d, n = start(run_daemon, sandbox)
    drop(sandbox, first)
    d.wait_syslog(r"^scandir_Check&PrepInstaller - bundleworks, found kvone_1\.0\.ipk \n$", timeout=30)
    watched = drop(sandbox, second)
    before = open(watched, "rb").read()
    d.wait_syslog(r"^Main, bundle zz_second\.CRY waits until the bundle being installed is finished\n$", timeout=20)
    d.wait_syslog(r"^scandir_Check&PrepInstaller - bundleworks, found kvtwo_1\.0\.ipk \n$", timeout=30)
    assert open(watched, "rb").read() == before
    order = ["install@kvone", "install@kvtwo", "install@kvthree", "install@kvfour", "install@kvfive"]
    wait_for(lambda: installer_units(calls_after(sandbox, n)) == order, 120, "both bundles installed in order")
    waits = [t for t in d.syslog_texts() if "waits until the bundle being installed is finished" in t]
    assert len(waits) == 1
    wait_for(lambda: not os.path.exists(sandbox.dev("/home/root/bundle/allinfo.json")), 15, "bundle folder cleared")
