#!/usr/bin/env python3
"""Checks the release packages in DIST against the source tree.

    check_package.py [DIST]        (default: dist)

Both zips are listed in SHA256SUMS with matching sums; each opens into one
folder holding exactly Pushwell.exe and pushwell-cli.exe (each for its own
machine, no link time, a manifest that runs it as the invoking user),
lang.ini and every resources/lang/*.ini as they are in the tree, and the end
user's README.txt, which names the fingerprint of every key of
PUSHWELL_TRUSTED_KEYS (or says there is none); every entry has the same time.
"""
import base64
import glob
import hashlib
import os
import re
import struct
import sys
import zipfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MACHINES = {"win64": 0x8664, "win32": 0x014C}
PROGRAMS = ["Pushwell.exe", "pushwell-cli.exe"]
# What each program's embedded manifest must say: run as the invoking user, on
# Windows 7, 8, 8.1 and 10/11.
MANIFEST_MARKS = [b'<requestedExecutionLevel level="asInvoker"',
                  b"{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", b"{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                  b"{1f676c76-80e1-4239-95bb-83d0f6d0da78}", b"{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"]


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt")).read()
    return re.search(r"project\(Pushwell VERSION ([0-9.]+)", text).group(1)


def pe_machine_and_stamp(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return None, None
    machine, _, stamp = struct.unpack_from("<HHI", data, pe + 4)
    return machine, stamp


def pe_symbol_count(data):
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    return struct.unpack_from("<I", data, pe + 4 + 12)[0]  # NumberOfSymbols of the COFF header


def trusted_key_fingerprints():
    """SHA-256 of the DER of each key in the PEM file PUSHWELL_TRUSTED_KEYS names."""
    path = os.environ.get("PUSHWELL_TRUSTED_KEYS")
    if not path:
        return []
    blocks = re.findall(r"-----BEGIN PUBLIC KEY-----(.*?)-----END PUBLIC KEY-----", open(path).read(), re.S)
    return [hashlib.sha256(base64.b64decode("".join(b.split()))).hexdigest() for b in blocks]


def main():
    dist = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "dist")
    version = project_version()
    failures = []

    def expect(condition, what):
        if not condition:
            failures.append(what)

    fingerprints = trusted_key_fingerprints()
    names = {s: f"pushwell-{version}-{s}.zip" for s in MACHINES}
    sums_path = os.path.join(dist, "SHA256SUMS")
    sums = {}
    if os.path.exists(sums_path):
        for line in open(sums_path):
            digest, name = line.split()
            sums[name] = digest
    expect(sorted(sums) == sorted(names.values()), f"SHA256SUMS lists {sorted(sums)}")

    sources = {"lang.ini": os.path.join(ROOT, "resources", "lang.ini")}
    for pack in sorted(glob.glob(os.path.join(ROOT, "resources", "lang", "*.ini"))):
        sources["lang/" + os.path.basename(pack)] = pack

    for suffix, name in names.items():
        path = os.path.join(dist, name)
        if not os.path.exists(path):
            failures.append(f"{name} missing")
            continue
        data = open(path, "rb").read()
        expect(sums.get(name) == hashlib.sha256(data).hexdigest(), f"{name}: checksum differs from SHA256SUMS")
        folder = name[:-len(".zip")] + "/"
        with zipfile.ZipFile(path) as archive:
            entries = {i.filename: i for i in archive.infolist()}
            expected = sorted(folder + n for n in [*PROGRAMS, "README.txt", *sources])
            expect(sorted(entries) == expected, f"{name}: entries {sorted(entries)}, expected {expected}")
            expect(len({i.date_time for i in entries.values()}) == 1, f"{name}: entries differ in time")
            for rel, src in sources.items():
                if folder + rel in entries:
                    expect(archive.read(folder + rel) == open(src, "rb").read(), f"{name}: {rel} differs from {src}")
            for program in PROGRAMS:
                if folder + program in entries:
                    image = archive.read(folder + program)
                    machine, stamp = pe_machine_and_stamp(image)
                    expect(machine == MACHINES[suffix], f"{name}: {program} machine {machine}")
                    for mark in MANIFEST_MARKS:
                        expect(mark in image, f"{name}: {program}'s manifest lacks {mark.decode()}")
                    expect(stamp == 0, f"{name}: {program} carries a link time")
                    expect(pe_symbol_count(image) == 0, f"{name}: {program} is not stripped")
            if folder + "README.txt" in entries:
                readme = archive.read(folder + "README.txt").decode("ascii")
                expect(version in readme.splitlines()[0], f"{name}: README.txt does not name {version}")
                expect("\n" not in readme.replace("\r\n", ""), f"{name}: README.txt has bare line feeds")
                expect("Do not disconnect" in readme, f"{name}: README.txt lacks the warning")
                for fingerprint in fingerprints:
                    expect(fingerprint in readme, f"{name}: README.txt does not name the key {fingerprint}")
                if not fingerprints:
                    expect("trusts no signing key" in readme, f"{name}: README.txt does not say it trusts no key")

    for failure in failures:
        print("package check: " + failure)
    print("package check: FAILED" if failures else f"package check: {len(names)} packages good")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
