#!/usr/bin/env python3
"""Unpacks release archives and makes the damaged and forged ones tests need.

    release-archive.py unpack ZIP DIR                 as a user's unzip would, modes kept
    release-archive.py make KIND ZIP OUT KEY.pem      OUT: ZIP changed as KIND says
KEY.pem is the release key (the forgeries that re-sign need it).
"""
import hashlib
import io
import os
import stat
import subprocess
import sys
import tempfile
import zipfile

APP = "Parlotta.app/"


def read(path):
    with zipfile.ZipFile(path) as archive:
        return [(info, archive.read(info)) for info in archive.infolist()]


def write(entries, path):
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as archive:
        for info, data in entries:
            archive.writestr(info, data)


def entry(name, data, mode):
    info = zipfile.ZipInfo(name)
    info.create_system = 3
    info.external_attr = mode << 16
    return info, data


def sign(manifest, key):
    with tempfile.TemporaryDirectory() as scratch:
        text = os.path.join(scratch, "manifest")
        with open(text, "wb") as out:
            out.write(manifest)
        subprocess.run(["openssl", "pkeyutl", "-sign", "-inkey", key, "-rawin", "-in", text,
                        "-out", text + ".sig"], check=True)
        with open(text + ".sig", "rb") as sig:
            return sig.read()


def public_key_hex(key):
    der = subprocess.run(["openssl", "pkey", "-in", key, "-pubout", "-outform", "DER"],
                         check=True, capture_output=True).stdout
    return der[-32:].hex()


def resign(entries, key, edit):
    files = {info.filename: i for i, (info, _) in enumerate(entries)}
    index = files[APP + "manifest"]
    manifest = edit(entries[index][1].decode()).encode()
    entries[index] = (entries[index][0], manifest)
    sig = files[APP + "manifest.sig"]
    entries[sig] = (entries[sig][0], sign(manifest, key))


def make(kind, source, out, key):
    entries = read(source)
    names = [info.filename for info, _ in entries]
    binary = names.index(APP + "bin/parlotta")
    if kind == "no-app":
        entries = [(info, data) for info, data in entries if not info.filename.startswith(APP)]
        entries.append(entry("README", b"nothing here\n", stat.S_IFREG | 0o644))
    elif kind == "changed":
        info, data = entries[binary]
        entries[binary] = (info, data[:-1] + bytes([data[-1] ^ 1]))
    elif kind == "extra":
        entries.append(entry(APP + "bin/helper", b"#!/bin/sh\n", stat.S_IFREG | 0o755))
    elif kind == "missing":
        del entries[names.index(APP + "share/applications/com.parlotta.app.desktop")]
    elif kind == "mode":
        info, data = entries[binary]
        info.external_attr = (stat.S_IFREG | 0o777) << 16
    elif kind == "other-key":
        with tempfile.TemporaryDirectory() as scratch:
            other = os.path.join(scratch, "other.pem")
            subprocess.run(["openssl", "genpkey", "-algorithm", "ed25519", "-out", other],
                           check=True)
            theirs = public_key_hex(other)
            resign(entries, other, lambda text: "\n".join(
                "key " + theirs if line.startswith("key ") else line
                for line in text.split("\n")))
    elif kind == "other-id":
        resign(entries, key, lambda text: text.replace("\nidentifier ", "\nidentifier org.other.", 1))
    elif kind == "dotdot":
        entries.append(entry(APP + "../escaped", b"x\n", stat.S_IFREG | 0o644))
    elif kind == "link-out":
        entries.append(entry(APP + "share/passwd", b"../../../../../etc/passwd",
                             stat.S_IFLNK | 0o777))
    elif kind == "open-folders":
        for info, _ in entries:
            if info.is_dir():
                info.external_attr = (stat.S_IFDIR | 0o777) << 16
    elif kind == "empty-folder":
        entries.append(entry(APP + "share/empty/", b"", stat.S_IFDIR | 0o755))
    elif kind == "locked-folder":
        entries.append(entry(APP + "locked/", b"", stat.S_IFDIR | 0o555))
        entries.append(entry(APP + "locked/file", b"x\n", stat.S_IFREG | 0o644))
    elif kind == "unrunnable":
        script = b"#!/nonexistent/interpreter\n"
        info, _ = entries[binary]
        entries[binary] = (info, script)
        digest = hashlib.sha256(script).hexdigest()
        resign(entries, key, lambda text: "\n".join(
            " ".join(line.split(" ")[:2] + [digest, "bin/parlotta"])
            if line.startswith("file ") and line.endswith(" bin/parlotta") else line
            for line in text.split("\n")))
    elif kind not in ("as-is", "truncated"):
        sys.exit("unknown kind " + kind)
    buffer = io.BytesIO()
    write(entries, buffer)
    data = buffer.getvalue()
    if kind == "truncated":
        data = data[: len(data) * 2 // 3]
    with open(out, "wb") as target:
        target.write(data)


def unpack(source, target):
    with zipfile.ZipFile(source) as archive:
        for info in archive.infolist():
            path = os.path.join(target, info.filename)
            mode = info.external_attr >> 16
            if info.is_dir():
                os.makedirs(path, exist_ok=True)
                continue
            os.makedirs(os.path.dirname(path), exist_ok=True)
            with open(path, "wb") as out:
                out.write(archive.read(info))
            os.chmod(path, stat.S_IMODE(mode) or 0o644)


if __name__ == "__main__":
    if sys.argv[1:2] == ["unpack"] and len(sys.argv) == 4:
        unpack(sys.argv[2], sys.argv[3])
    elif sys.argv[1:2] == ["make"] and len(sys.argv) == 6:
        make(*sys.argv[2:])
    else:
        sys.exit(__doc__)
