#!/usr/bin/env python3
"""Writes a zip whose bytes depend only on the files' contents and names.

    make_zip.py OUT.zip STAGE_DIR

Every file under STAGE_DIR goes in, in sorted order, named by its path below
STAGE_DIR's parent (so the archive opens into one folder), with the time of
SOURCE_DATE_EPOCH (required), the same mode and the same compression.
"""
import os
import sys
import time
import zipfile


def main():
    out, stage = sys.argv[1], os.path.abspath(sys.argv[2])
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    # Zip times are local, two-second, from 1980 on: take the UTC fields as they are.
    stamp = max(time.gmtime(epoch)[:6], (1980, 1, 1, 0, 0, 0))
    root = os.path.dirname(stage)
    files = []
    for folder, _, names in os.walk(stage):
        files += [os.path.join(folder, n) for n in names]
    tmp = out + ".tmp"
    with zipfile.ZipFile(tmp, "w") as archive:
        for path in sorted(files, key=lambda p: os.path.relpath(p, root).replace(os.sep, "/")):
            info = zipfile.ZipInfo(os.path.relpath(path, root).replace(os.sep, "/"), stamp)
            info.create_system = 3
            info.external_attr = 0o100644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as f:
                archive.writestr(info, f.read(), compresslevel=9)
    os.replace(tmp, out)


if __name__ == "__main__":
    main()
