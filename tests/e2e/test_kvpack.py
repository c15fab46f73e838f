"""kvpack on the command line: what it makes, what it says, and its exit codes."""
import io
import os
import struct
import subprocess
import tarfile

import pytest

from packages import KEYS, KVPACK
from packages import PRIVATE_KEY as PRIVATE
from packages import PUBLIC_KEY as PUBLIC


def run(*args):
    return subprocess.run([KVPACK, *args], capture_output=True, text=True, timeout=60)


def development_key():
    values = {}
    with open(os.path.join(KEYS, "development-cry.key")) as f:
        for line in f:
            line = line.split("#")[0].strip()
            if "=" in line:
                name, value = line.split("=", 1)
                values[name.strip()] = value.strip()
    return values["key"], values["iv"]


@pytest.fixture
def package(tmp_path):
    (tmp_path / "data" / "opt" / "app").mkdir(parents=True)
    (tmp_path / "data" / "opt" / "app" / "hello.txt").write_text("hello\n")
    (tmp_path / "control").write_text("Package: app\nVersion: 1.2\nArchitecture: armv7\n")
    r = run("ipk", "--control", str(tmp_path / "control"), "--data", str(tmp_path / "data"),
            "-o", str(tmp_path / "app_1.2.ipk"))
    assert r.returncode == 0, r.stderr
    return tmp_path / "app_1.2.ipk"


def test_make_sign_wrap_and_inspect(tmp_path, package):
    assert run("sign", "--key", PRIVATE, str(package)).returncode == 0
    assert (tmp_path / "app_1.2.sign64").exists()
    r = run("inspect", "--platform", "KV2_TOUCH", "--public-key", PUBLIC, str(package))
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stdout.splitlines()[-1] == "ACCEPTED"

    r = run("cry", "--platform", "all", "--swpart", "718233.004", "--package-name", "app",
            "-o", str(tmp_path / "app.CRY"), str(package))
    assert r.returncode == 0, r.stderr
    r = run("inspect", "--platform", "KORVEL_R", "--public-key", PUBLIC,
            "--signature", str(tmp_path / "app_1.2.sign64"), str(tmp_path / "app.CRY"))
    assert r.returncode == 0, r.stdout + r.stderr
    assert "  control: package app, version 1.2" in r.stdout
    assert r.stdout.splitlines()[-1] == "ACCEPTED"


def test_container_layout_decrypts_with_openssl(tmp_path, package):
    # The platform's name (as manifests write it) becomes its identifier.
    r = run("cry", "--platform", "korvel-sr", "--swpart", "1", "--package-name", "app", "--header-length", "300",
            "-o", str(tmp_path / "app.cry"), str(package))
    assert r.returncode == 0, r.stderr
    data = (tmp_path / "app.cry").read_bytes()
    header = data[:300]
    assert header.startswith(b"HEADERLENGTH: 300\r\nPLATFORMNAME: KV_SR\r\nSWPART: 1\r\n"
                             b"PACKAGENAME: app\r\nFILETYPE: APP-CRY\r\n\r\n")
    assert header.rstrip(b"\0").endswith(b"\r\n\r\n")
    key, iv = development_key()
    if "development" not in r.stderr:
        pytest.skip("built with a product key")
    plain = subprocess.run(["openssl", "enc", "-d", "-aes-256-cbc", "-nopad", "-K", key, "-iv", iv],
                           input=data[300:], capture_output=True, check=True).stdout
    length, verificator = struct.unpack("<II", plain[4:12])
    image = package.read_bytes()
    assert length == len(image) and (length + verificator) % 2**32 == 0
    assert plain[12:12 + length] == image
    assert len(plain) % 16 == 0 and set(plain[12 + length:]) <= {0}


@pytest.mark.parametrize("args, message", [
    (("cry", "--platform", "all", "--swpart", "1", "--package-name", "app", "-o", "{d}/out.bin", "{pkg}"),
     "must contain .CRY or .cry"),
    (("cry", "--platform", "KV 2", "--swpart", "1", "--package-name", "app", "-o", "{d}/out.CRY", "{pkg}"),
     "without blank or colon"),
    (("sign", "--key", "{d}/missing.pem", "-o", "{d}/out.sign64", "{pkg}"), "cannot open"),
    (("ipk", "--control", "{pkg}", "--data", "{d}", "-o", "{d}/out.ipk"), "needs a Package and a Version"),
])
def test_failed_commands_say_why_and_leave_nothing(tmp_path, package, args, message):
    before = set(os.listdir(tmp_path))
    r = run(*[a.format(d=tmp_path, pkg=package) for a in args])
    assert r.returncode == 2
    assert message in r.stderr
    assert set(os.listdir(tmp_path)) == before


@pytest.mark.parametrize("args", [(), ("bogus",), ("cry", "-o", "x.CRY"), ("inspect", "file"),
                                  ("sign", "--key", "k.pem")])
def test_usage_errors(args):
    r = run(*args)
    assert r.returncode == 2
    assert "usage: kvpack" in r.stderr


def test_inspect_rejects_for_another_platform(tmp_path, package):
    assert run("cry", "--platform", "KV2_TOUCH", "--swpart", "1", "--package-name", "app",
               "-o", str(tmp_path / "app.CRY"), str(package)).returncode == 0
    r = run("inspect", "--platform", "KV_SR", str(tmp_path / "app.CRY"))
    assert r.returncode == 1
    assert r.stdout.splitlines()[-1].startswith("REJECTED: too few header elements (score 3 of 4)")
    assert "PLATFORMNAME KV2_TOUCH is neither all nor KV_SR" in r.stdout


def test_inspect_quotes_a_hostile_file_without_its_control_bytes(tmp_path):
    # A file to inspect may come from anyone: what the report quotes of it
    # (header values here) must not drive the terminal.
    header = (b"HEADERLENGTH: 512\r\nPLATFORMNAME: \x1b]0;owned\x07\r\nSWPART: 1\x1b[2J\r\n"
              b"PACKAGENAME: a\xc2\x9b1m\r\nFILETYPE: APP-CRY\r\n\r\n")
    crafted = tmp_path / "odd.CRY"
    crafted.write_bytes(header + b"\0" * (512 - len(header)) + b"\x55" * 64)
    r = subprocess.run([KVPACK, "inspect", "--platform", "KV2_TOUCH", str(crafted)], capture_output=True, timeout=60)
    assert r.returncode == 1, r.stdout + r.stderr
    assert b"PLATFORMNAME=?]0;owned?" in r.stdout, r.stdout
    assert not any(b in r.stdout for b in (b"\x1b", b"\x07", b"\xc2\x9b")), r.stdout


# --- signing keys, reproducible output and the command line's conventions ---

SOFTHSM = "/usr/lib/softhsm/libsofthsm2.so"


def run_env(*args, env=None, **kw):
    return subprocess.run([KVPACK, *map(str, args)], capture_output=True, text=True, timeout=120,
                          stdin=subprocess.DEVNULL, env={**os.environ, **(env or {})}, **kw)


def openssl(*args):
    subprocess.run(["openssl", *map(str, args)], check=True, capture_output=True)


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    d = tmp_path_factory.mktemp("keys")
    openssl("genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-aes256", "-pass", "pass:sesame",
            "-out", d / "enc.pem")
    openssl("pkey", "-in", d / "enc.pem", "-passin", "pass:sesame", "-pubout", "-out", d / "enc.pub")
    openssl("genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256", "-out", d / "ec.pem")
    openssl("pkey", "-in", d / "ec.pem", "-pubout", "-out", d / "ec.pub")
    openssl("genpkey", "-algorithm", "ED25519", "-out", d / "ed.pem")
    (d / "pw").write_text("sesame\n")
    return d


@pytest.mark.parametrize("key, pass_arg, outcome", [
    ("enc", None, "enc.pem is protected by a pass phrase and there is no terminal to ask for it"),
    ("enc", "pass:wrong", "wrong pass phrase for"),
    ("enc", "env:KV_TEST_PASS", 0),
    ("enc", "file:{d}/pw", 0),
    ("enc", "fd:3", 0),
    ("enc", "env:KV_TEST_UNSET", "the variable KV_TEST_UNSET is not set"),
    ("enc", "prompt:x", "expected pass:TEXT, env:VAR, file:PATH, fd:N or stdin"),
    ("ec", None, 0),
    ("ed", None, "holds a key of type ED25519, which the device cannot verify"),
])
def test_private_key_forms(tmp_path, package, keys, key, pass_arg, outcome):
    """Every form of pass phrase, and key types, on sign; a signature made is
    judged by the daemon's own check."""
    signature = tmp_path / "out.sign64"
    extra = ["--pass", pass_arg.format(d=keys)] if pass_arg else []
    with open(keys / "pw") as pw:
        r = run_env("sign", "--key", keys / f"{key}.pem", *extra, "-o", signature, package,
                    env={"KV_TEST_PASS": "sesame"}, pass_fds=(3,) if pass_arg == "fd:3" else (),
                    preexec_fn=(lambda: os.dup2(pw.fileno(), 3)) if pass_arg == "fd:3" else None)
    if outcome != 0:
        assert (r.returncode, r.stdout) == (2, ""), r.stderr
        assert outcome in r.stderr
        assert not signature.exists()
        return
    assert r.returncode == 0, r.stderr
    r = run("inspect", "--platform", "KV2_TOUCH", "--public-key", str(keys / f"{key}.pub"),
            "--signature", str(signature), str(package))
    assert r.stdout.splitlines()[-1] == "ACCEPTED", r.stdout + r.stderr


@pytest.mark.parametrize("command", ["bundle", "image"])
def test_every_signing_command_takes_the_pass_phrase(tmp_path, package, keys, command):
    (tmp_path / "members.json").write_text(f'[{{"path": "{package}", "packageName": "app"}}]')
    args = {"bundle": ("bundle", "--manifest", tmp_path / "members.json", "--sign-key", keys / "enc.pem",
                       "-o", tmp_path / "b.CRY"),
            "image": ("image", "--sign-key", keys / "enc.pem", "-o", tmp_path / "img", package)}[command]
    r = run_env(*args)
    assert r.returncode == 2 and "is protected by a pass phrase" in r.stderr, r.stderr
    r = run_env(*args, "--pass", "env:KV_TEST_PASS", env={"KV_TEST_PASS": "sesame"})
    assert r.returncode == 0, r.stderr


def test_signing_with_a_key_that_stays_in_a_token(tmp_path, package):
    """A key generated inside a SoftHSM token signs through its PKCS #11 URI;
    the daemon's check accepts the signature under the token's public key."""
    conf = tmp_path / "softhsm2.conf"
    (tmp_path / "tokens").mkdir()
    conf.write_text(f"directories.tokendir = {tmp_path / 'tokens'}\n")
    # The pkcs11 engine leaks its methods at exit after a failed login:
    # OpenSSL's, not ours.
    env = {"SOFTHSM2_CONF": str(conf), "KV_TEST_PIN": "1234",
           "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    tool = {"env": {**os.environ, **env}, "check": True, "capture_output": True}
    subprocess.run(["softhsm2-util", "--init-token", "--free", "--label", "kvtest", "--pin", "1234",
                    "--so-pin", "5678"], **tool)
    token = ["pkcs11-tool", "--module", SOFTHSM, "--token-label", "kvtest"]
    subprocess.run([*token, "--login", "--pin", "1234", "--keypairgen", "--key-type", "rsa:2048",
                    "--label", "signer", "--id", "01"], **tool)
    subprocess.run([*token, "--read-object", "--type", "pubkey", "--label", "signer",
                    "-o", tmp_path / "pub.der"], **tool)
    openssl("pkey", "-pubin", "-inform", "DER", "-in", tmp_path / "pub.der", "-out", tmp_path / "pub.pem")
    # The token never lets the private key out.
    listed = subprocess.run([*token, "--login", "--pin", "1234", "--list-objects", "--type", "privkey"], **tool)
    assert b"never extractable" in listed.stdout
    for uri, pin, outcome in [
            ("pkcs11:token=kvtest;object=signer", None, "the token needs its PIN and there is no terminal"),
            ("pkcs11:token=kvtest;object=signer", "pass:9999", "PIN incorrect"),
            ("pkcs11:token=kvtest;object=other", "env:KV_TEST_PIN", "object not found"),
            ("pkcs11:token=kvtest;object=signer", "env:KV_TEST_PIN", 0)]:
        signature = tmp_path / "token.sign64"
        r = run_env("sign", "--key", uri, "--pkcs11-module", SOFTHSM, *(["--pass", pin] if pin else []),
                    "-o", signature, package, env=env)
        if outcome != 0:
            assert r.returncode == 2 and outcome in r.stderr, (uri, pin, r.stderr)
            continue
        assert r.returncode == 0, r.stderr
        r = run("inspect", "--platform", "KV2_TOUCH", "--public-key", str(tmp_path / "pub.pem"),
                "--signature", str(signature), str(package))
        assert r.stdout.splitlines()[-1] == "ACCEPTED", r.stdout + r.stderr


def test_source_date_epoch_gives_the_same_bytes(tmp_path):
    """ipk, cry and bundle made twice from the same inputs with different file
    times give the same bytes; without SOURCE_DATE_EPOCH the ipk's gzip headers
    still carry no time and a container keeps its random leading word."""
    (tmp_path / "data" / "opt").mkdir(parents=True)
    (tmp_path / "data" / "opt" / "f.txt").write_text("same\n")
    (tmp_path / "control").write_text("Package: app\nVersion: 1\n")
    sde = {"SOURCE_DATE_EPOCH": "1700000000"}
    made = []
    for round_, stamp in enumerate((1000000000, 1200000000)):
        for p in (tmp_path / "data" / "opt" / "f.txt", tmp_path / "data" / "opt", tmp_path / "data",
                  tmp_path / "control"):
            os.utime(p, (stamp, stamp))
        out = tmp_path / f"r{round_}"
        out.mkdir()
        (out / "members.json").write_text(f'[{{"path": "{out}/app.ipk", "packageName": "app"}}]')
        for args in (("ipk", "--control", tmp_path / "control", "--data", tmp_path / "data", "-o", out / "app.ipk"),
                     ("cry", "--platform", "all", "--swpart", "1", "--package-name", "app", "-o", out / "app.CRY",
                      out / "app.ipk"),
                     ("bundle", "--manifest", out / "members.json", "--sign-key", PRIVATE, "-o", out / "b.CRY")):
            r = run_env(*args, env=sde)
            assert r.returncode == 0, r.stderr
        made.append([(out / n).read_bytes() for n in ("app.ipk", "app.CRY", "b.CRY")])
    assert made[0] == made[1]
    # The times recorded are SOURCE_DATE_EPOCH's.
    with tarfile.open(fileobj=io.BytesIO(made[0][2][512:]), mode="r:") as tar:
        assert {m.mtime for m in tar.getmembers()} == {1700000000}

    plain = [tmp_path / "p1.ipk", tmp_path / "p1.CRY", tmp_path / "p2.CRY"]
    assert run_env("ipk", "--control", tmp_path / "control", "--data", tmp_path / "data", "-o", plain[0]).returncode == 0
    for container in plain[1:]:
        assert run_env("cry", "--platform", "all", "--swpart", "1", "--package-name", "app", "-o", container,
                       plain[0]).returncode == 0
    assert plain[1].read_bytes() != plain[2].read_bytes()
    for member in ("control.tar.gz", "data.tar.gz"):
        gz = subprocess.run(["ar", "p", plain[0], member], capture_output=True, check=True).stdout
        assert gz[:2] == b"\x1f\x8b" and gz[4:8] == b"\0\0\0\0", member

    r = run_env("ipk", "--control", tmp_path / "control", "--data", tmp_path / "data", "-o", tmp_path / "x.ipk",
                env={"SOURCE_DATE_EPOCH": "yesterday"})
    assert r.returncode == 2 and 'SOURCE_DATE_EPOCH must be a number of seconds since 1970, not "yesterday"' in r.stderr


def test_sign_says_what_it_signed_and_keeps_another_files_signature(tmp_path, package):
    assert run("cry", "--platform", "all", "--swpart", "1", "--package-name", "app",
               "-o", str(tmp_path / "app_1.2.CRY"), str(package)).returncode == 0
    signature = tmp_path / "app_1.2.sign64"
    r = run("sign", "--key", PRIVATE, str(package))
    assert (r.returncode, r.stdout) == (0, f"signed {package} -> {signature}\n"), r.stderr
    kept = signature.read_bytes()
    # The container's default signature name is the package's.
    r = run("sign", "--key", PRIVATE, str(tmp_path / "app_1.2.CRY"))
    assert r.returncode == 2 and f"{signature} exists" in r.stderr and "--force" in r.stderr, r.stderr
    assert signature.read_bytes() == kept
    r = run("inspect", "-q", "--platform", "KV2_TOUCH", "--public-key", PUBLIC, str(package))
    assert r.stdout == "ACCEPTED\n", r.stdout
    r = run("sign", "--force", "--key", PRIVATE, str(tmp_path / "app_1.2.CRY"))
    assert r.returncode == 0 and "signed" in r.stdout and "a device checks the signature of the package inside" \
        in r.stderr, r.stderr
    assert signature.read_bytes() != kept
    # A name given with -o is written as asked; -q keeps it silent.
    r = run("sign", "-q", "--key", PRIVATE, "-o", str(signature), str(package))
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    assert signature.read_bytes() == kept


@pytest.mark.parametrize("args, code, stream, text", [
    (("--version",), 0, "stdout", "kvpack 3."),
    (("sign", "--help"), 0, "stdout", "usage: kvpack sign --key"),
    (("help", "bundle"), 0, "stdout", "usage: kvpack bundle --manifest"),
    (("help",), 0, "stdout", "commands:"),
    (("sign", "--sing-key", "k.pem", "f"), 2, "stderr", "unknown option --sing-key; did you mean --sign-key?"),
    (("bundle", "--manifset=m.json"), 2, "stderr", "unknown option --manifset=m.json; did you mean --manifest?"),
    (("ipk", "--unknown"), 2, "stderr", "kvpack: unknown option --unknown\n"),
    (("sign", "-x"), 2, "stderr", "unknown option -x"),
    (("sign", "f", "--key"), 2, "stderr", "option --key needs a value"),
    ((), 2, "stderr", "kvpack: no command given"),
    (("sgin",), 2, "stderr", "unknown command sgin; did you mean sign?"),
    (("sign", "-q", "-v", "--key", "k", "f"), 2, "stderr", "-q and -v exclude each other"),
])
def test_command_line_conventions(args, code, stream, text):
    r = run(*args)
    assert r.returncode == code
    assert text in getattr(r, stream), r.stdout + r.stderr
    if "unknown option" in text or "needs a value" in text:
        # Told alone, not buried under the whole usage.
        assert "usage:" not in r.stderr
