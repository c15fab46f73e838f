"""Making what the daemon accepts (with kvpack) and what it must refuse."""
import io
import os
import subprocess
import tarfile

SOURCE_DIR = os.environ.get("KV_SOURCE_DIR") or os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__))))
BUILD_DIR = os.environ.get("KV_BUILD_DIR") or os.path.join(SOURCE_DIR, "build")
KVPACK = os.path.join(BUILD_DIR, "tools", "kvpack", "kvpack")
KEYS = os.path.join(SOURCE_DIR, "keys", "development")
PRIVATE_KEY = os.path.join(KEYS, "development-ipksignkeyprivate.pem")
PUBLIC_KEY = os.path.join(KEYS, "ipksignkeypublic.pem")


def kvpack(*args):
    r = subprocess.run([KVPACK, *args], capture_output=True, text=True)
    assert r.returncode == 0, f"kvpack {args}: {r.stdout}{r.stderr}"
    return r


def control_text(package, version="1.0", extra=""):
    return (f"Package: {package}\nVersion: {version}\nArchitecture: armhf\nLicense: Proprietary\n"
            f"Maintainer: test\nDescription: test package\n{extra}")


def make_ipk(folder, package, version="1.0", file_name=None, control=None):
    """Builds <folder>/<file_name or package_version.ipk> with kvpack."""
    os.makedirs(folder, exist_ok=True)
    control_path = os.path.join(folder, f"control-{package.replace('/', '_')}")
    with open(control_path, "w") as f:
        f.write(control if control is not None else control_text(package, version))
    data = os.path.join(folder, "data")
    os.makedirs(os.path.join(data, "opt", "app"), exist_ok=True)
    with open(os.path.join(data, "opt", "app", "payload.txt"), "w") as f:
        f.write(f"payload of {package}\n")
    out = os.path.join(folder, file_name or f"{package}_{version}.ipk")
    kvpack("ipk", "--control", control_path, "--data", data, "-o", out)
    return out


def sign(path, out, key=PRIVATE_KEY):
    """Writes the Base64 detached signature of path to out."""
    kvpack("sign", "--key", key, "-o", out, path)
    return out


def make_cry(payload, out, platform_id, filetype="APP-CRY", package_name="app"):
    kvpack("cry", "--platform", platform_id, "--swpart", "718235.100", "--package-name", package_name,
           "--filetype", filetype, "-o", out, payload)
    return out


def other_key_pair(folder):
    """A second RSA key pair that the device does not trust."""
    private = os.path.join(folder, "other-private.pem")
    public = os.path.join(folder, "other-public.pem")
    subprocess.run(["openssl", "genpkey", "-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048", "-out", private],
                   check=True, capture_output=True)
    subprocess.run(["openssl", "pkey", "-in", private, "-pubout", "-out", public], check=True, capture_output=True)
    return private, public


def _tar(members, mode="w"):
    """A tar archive of (name, bytes) regular files and (name, None, link target) symlinks."""
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode=mode, format=tarfile.GNU_FORMAT) as tar:
        for m in members:
            info = tarfile.TarInfo(m[0])
            if len(m) == 3:
                info.type = tarfile.SYMTYPE
                info.linkname = m[2]
                tar.addfile(info)
            else:
                info.size = len(m[1])
                info.mode = 0o755
                tar.addfile(info, io.BytesIO(m[1]))
    return buf.getvalue()


def _ar(members):
    """A System V / GNU ar archive of (name, bytes) members; names up to 15 characters."""
    out = bytearray(b"!<arch>\n")
    for name, data in members:
        header = (f"{name + '/':<16}{0:<12}{0:<6}{0:<6}{'100644':<8}{len(data):<10}").encode() + b"`\n"
        assert len(header) == 60, name
        out += header + data
        if len(data) % 2:
            out += b"\n"
    return bytes(out)


def make_hostile_ipk(path, package, control_members=(), ar_members=()):
    """An ipk whose control.tar.gz and ar archive carry extra members."""
    control = control_text(package).encode()
    control_tar = _tar([("./control", control)] + list(control_members), "w:gz")
    data_tar = _tar([("./opt/app/payload.txt", b"x\n")], "w:gz")
    members = [("debian-binary", b"2.0\n"), ("control.tar.gz", control_tar), ("data.tar.gz", data_tar)]
    members += list(ar_members)
    with open(path, "wb") as f:
        f.write(_ar(members))
    return path


def make_raw_ipk(path, control_tar_gz):
    """An ipk of debian-binary and the given control archive only."""
    with open(path, "wb") as f:
        f.write(_ar([("debian-binary", b"2.0\n"), ("control.tar.gz", control_tar_gz)]))
    return path


def make_bundle(folder, members, out, filetype="UPDATE", sign_key=PRIVATE_KEY):
    """A bundle made by kvpack from member dicts ("path" plus manifest fields)."""
    import json
    manifest = os.path.join(folder, "members.json")
    with open(manifest, "w") as f:
        json.dump(members, f)
    args = ["bundle", "--manifest", manifest, "--filetype", filetype, "-o", out]
    if sign_key:
        args += ["--sign-key", sign_key]
    kvpack(*args)
    return out


def make_raw_bundle(out, tar_members, header=None, header_length=512):
    """A bundle built by hand: header text, filler to header_length, then a tar
    of tar_members ((name, bytes) files or (name, None, target) symlinks)."""
    header = header if header is not None else \
        f"HEADERLENGTH: {header_length}\r\nFILETYPE: UPDATE\r\n\r\n"
    head = header.encode()
    assert len(head) <= header_length
    with open(out, "wb") as f:
        f.write(head + b"\0" * (header_length - len(head)) + _tar(tar_members))
    return out
