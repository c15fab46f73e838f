"""The host tools' Debian package: built, checked by lintian, and used from
an extracted root as a technician's machine would after installing it; its
manual pages and completions; and the hardening of every program we build."""
import glob
import gzip
import os
import re
import subprocess

import pytest

from packages import BUILD_DIR, PRIVATE_KEY, PUBLIC_KEY


def cache(name):
    """A value of the build's CMake cache ('' when absent)."""
    with open(os.path.join(BUILD_DIR, "CMakeCache.txt")) as f:
        for line in f:
            if line.startswith(name + ":"):
                return line.split("=", 1)[1].strip()
    return ""


# The build that ships: optimised, without sanitizers.
RELEASE = (cache("CMAKE_BUILD_TYPE") not in ("", "Debug")
           and not any(cache(o) == "ON" for o in ("KV_SANITIZE", "KV_TSAN", "KV_FUZZ")))


@pytest.fixture(scope="module")
def deb():
    r = subprocess.run(["cmake", "--build", BUILD_DIR, "--target", "kvupdater-tools-deb"],
                       capture_output=True, text=True, timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    debs = glob.glob(os.path.join(BUILD_DIR, "package", "kvupdater-tools_*.deb"))
    assert len(debs) == 1, debs
    return debs[0]


@pytest.fixture(scope="module")
def root(deb, tmp_path_factory):
    root = tmp_path_factory.mktemp("root")
    subprocess.run(["dpkg-deb", "-x", deb, str(root)], check=True)
    return root


TOOLS = ("kvpack", "kvid", "kvplant")


def usage_texts(program):
    """The program's usage, and for kvplant each command's own."""
    texts = [subprocess.run([program, "--help"], capture_output=True, text=True).stdout]
    if program.endswith("kvplant"):
        for command in re.findall(r"^  ([a-z]+) ", texts[0], re.M):
            texts.append(subprocess.run([program, command, "--help"], capture_output=True, text=True).stdout)
    return texts


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True, check=True).stdout.strip()


def test_the_package_installs_and_removes_cleanly(deb, tmp_path):
    # dpkg installs it into a fresh system of its own (its own database), as
    # on a new laptop: programs, manual pages and completions in place, the
    # programs run, and removal leaves nothing of the package behind.
    system = tmp_path / "system"
    for folder in ("var/lib/dpkg/info", "var/lib/dpkg/updates"):
        (system / folder).mkdir(parents=True)
    for name in ("status", "available"):
        (system / "var/lib/dpkg" / name).touch()
    dpkg = ["dpkg", f"--root={system}", "--log=/dev/null", "--force-script-chrootless"]
    # Its libraries are the host's; the fresh system's database lists none.
    r = subprocess.run(dpkg + ["--force-depends", "-i", deb], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert "Status: install ok installed" in (system / "var/lib/dpkg/status").read_text()
    installed = [f"usr/{part}" for tool in TOOLS for part in (f"bin/{tool}", f"share/man/man1/{tool}.1.gz",
                                                              f"share/bash-completion/completions/{tool}")]
    installed.append("usr/share/doc/kvupdater-tools/examples/ansible/rollout.yml")
    assert [f for f in installed if not (system / f).is_file()] == []
    for tool in TOOLS:
        r = subprocess.run([str(system / "usr/bin" / tool), "--version"], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and r.stdout.startswith(tool + " "), r.stdout + r.stderr
    r = subprocess.run(dpkg + ["--purge", "kvupdater-tools"], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert [f for f in installed if (system / f).exists()] == []


@pytest.mark.skipif(not RELEASE, reason="lintian judges the package as shipped: the Release build's")
def test_lintian_at_pedantic_level_shows_only_explained_tags(deb, root):
    assert field(deb, "Package") == "kvupdater-tools"
    # Dependencies come from the programs' libraries, not from a hand-kept list.
    depends = field(deb, "Depends")
    for library in ("libc6", "libssl3", "libcjson1", "libarchive13", "libssh-4"):
        assert library in depends, depends
    # Every override says why, on a comment line of its own just above it.
    overrides = (root / "usr/share/lintian/overrides/kvupdater-tools").read_text().splitlines()
    for i, line in enumerate(overrides):
        if line.strip() and not line.startswith("#"):
            assert i > 0 and overrides[i - 1].startswith("# "), f"override without its reason: {line}"
    r = subprocess.run(["lintian", "--pedantic", "-I", "-E", "--tag-display-limit", "0", deb],
                       capture_output=True, text=True, timeout=600)
    tags = [line for line in r.stdout.splitlines() if re.match(r"^[EWIPX]: ", line)]
    assert tags == [], r.stdout + r.stderr
    assert r.returncode == 0, r.stdout + r.stderr


def test_manual_pages_render_cleanly_and_cover_every_option(root):
    for tool in TOOLS:
        page = root / f"usr/share/man/man1/{tool}.1.gz"
        text = gzip.decompress(page.read_bytes()).decode()
        assert f'.TH {tool.upper()} 1 ' in text and "@PROJECT_VERSION@" not in text
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXAMPLES", "EXIT STATUS", "SEE ALSO"):
            assert f".SH {section}" in text, (tool, section)
        r = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", str(page)], capture_output=True,
                           text=True, env={**os.environ, "MANWIDTH": "80"}, timeout=60)
        assert r.returncode == 0 and r.stderr == "", r.stderr
        r = subprocess.run(["groff", "-ww", "-z", "-man"], input=text, capture_output=True, text=True, timeout=60)
        assert r.returncode == 0 and r.stderr == "", r.stderr
        # Every long option the program's own usage names is in its page.
        usage = "\n".join(usage_texts(str(root / "usr/bin" / tool)))
        for option in set(re.findall(r"(?<![\w-])--([a-z][a-z0-9-]*)", usage)):
            assert "\\-\\-" + option.replace("-", "\\-") in text, f"{tool}(1) lacks --{option}"


def test_bash_completions_complete_commands_options_and_values(root, tmp_path):
    (tmp_path / "keys").mkdir()
    (tmp_path / "keys/sign.pem").write_text("")
    (tmp_path / "rootfs").mkdir()
    (tmp_path / "rootfs.txt").write_text("")
    completions = root / "usr/share/bash-completion/completions"
    # words typed (the last one being completed) -> what the completion offers
    table = [
        ("kvpack in", ["inspect"]),
        ("kvpack b", ["bundle"]),
        ("kvpack sign --f", ["--force"]),
        ("kvpack bundle --st", ["--strict"]),
        ("kvpack inspect --j", ["--json"]),
        ("kvpack cry --platform KV", ["KV2_TOUCH", "KV_SR"]),
        ("kvpack bundle --filetype UPDATE-", ["UPDATE-FULL"]),
        ("kvpack sign --pass f", ["fd:", "file:"]),
        ("kvpack sign --key keys/s", ["keys/sign.pem"]),
        ("kvpack ipk --data rootf", ["rootfs"]),  # folders only
        ("kvid d", ["discover"]),
        ("kvid status --f", ["--follow"]),
        ("kvid status 10.0.0.17 --through", ["--through-reboot"]),
        ("kvid -t 2s netbr --j", ["--json"]),
        ("kvid discover -i l", ["lo"]),
        ("kvid discover --interface l", ["lo"]),
        ("kvplant pre", ["preflight"]),
        ("kvplant rollout --max", ["--max-failures"]),
        ("kvplant resume --accept", ["--accept-new-host-keys"]),
        ("kvplant inventory --an", ["--ansible"]),
        ("kvplant preflight --public-key keys/s", ["keys/sign.pem"]),
        ("kvplant inventory -i l", ["lo"]),
    ]
    script = [f"source {completions}/{tool}" for tool in TOOLS]
    for typed, _ in table:
        words = typed.split(" ")
        array = " ".join(f"'{w}'" for w in words)
        script.append(f"COMP_WORDS=({array}); COMP_CWORD={len(words) - 1}; COMP_LINE='{typed}'; "
                      f"COMP_POINT={len(typed)}; _{words[0]}; echo \"${{COMPREPLY[*]}}\"")
    r = subprocess.run(["bash", "--norc", "--noprofile", "-c", "\n".join(script)], capture_output=True, text=True,
                       cwd=tmp_path, timeout=60)
    assert r.returncode == 0 and r.stderr == "", r.stderr
    offered = [line.split() for line in r.stdout.splitlines()]
    assert len(offered) == len(table), r.stdout
    for (typed, expected), got in zip(table, offered):
        assert sorted(got) == sorted(expected), f"{typed}<TAB>: {got}"


HARDENED = ["tools/kvpack/kvpack", "tools/kvid/kvid", "tools/kvplant/kvplant", "updater/kvupdaterd",
            "pcbatest/KV2TPCBATest"]


@pytest.mark.skipif(not RELEASE, reason="hardening is for builds that ship: not Debug or sanitizer builds")
@pytest.mark.parametrize("program", HARDENED)
def test_programs_are_hardened(program):
    path = os.path.join(BUILD_DIR, program)
    if program.endswith("kvplant") and cache("CMAKE_TOOLCHAIN_FILE"):
        pytest.skip("the plant tool is not made for the device")

    def readelf(*args):
        return subprocess.run(["readelf", "-W", *args, path], capture_output=True, text=True, check=True).stdout

    header, segments, dynamic = readelf("-h"), readelf("-l"), readelf("-d")
    symbols = readelf("--dyn-syms")
    assert re.search(r"Type:\s+DYN", header), f"{program} is not position-independent"
    assert re.search(r"FLAGS_1.*\bPIE\b", dynamic), f"{program} is not position-independent"
    assert "GNU_RELRO" in segments, f"{program} has no RELRO"
    assert re.search(r"\(FLAGS\).*BIND_NOW|FLAGS_1.*\bNOW\b", dynamic), f"{program} does not bind now"
    assert "__stack_chk_fail" in symbols, f"{program} has no stack protector"
    assert re.search(r"\b__\w+_chk\b", symbols), f"{program} calls no fortified function"


def test_tools_work_from_the_extracted_root(root, tmp_path):
    kvpack, kvid = root / "usr/bin/kvpack", root / "usr/bin/kvid"
    # kvpack from the package makes, signs and inspects a package.
    work = tmp_path / "work"
    (work / "data/opt/app").mkdir(parents=True)
    (work / "data/opt/app/hello.txt").write_text("hello\n")
    (work / "control").write_text("Package: app\nVersion: 1.0\nArchitecture: armhf\n")

    def run(*args):
        return subprocess.run([str(kvpack), *args], capture_output=True, text=True, timeout=60)

    assert run("ipk", "--control", str(work / "control"), "--data", str(work / "data"),
               "-o", str(work / "app_1.0.ipk")).returncode == 0
    assert run("sign", "--key", PRIVATE_KEY, str(work / "app_1.0.ipk")).returncode == 0
    r = run("inspect", "--platform", "KV2_TOUCH", "--public-key", PUBLIC_KEY, str(work / "app_1.0.ipk"))
    assert r.returncode == 0 and r.stdout.splitlines()[-1] == "ACCEPTED", r.stdout + r.stderr

    # kvid from the package runs and reports that nobody answered on loopback.
    r = subprocess.run([str(kvid), "status", "127.0.0.1", "-t", "200"], capture_output=True, text=True, timeout=30)
    assert r.returncode == 1, r.stdout + r.stderr
    assert subprocess.run([str(kvid), "--help"], capture_output=True).returncode == 0
