#!/usr/bin/env python3
"""Writes a zip anew with the same files and nothing of the build's own:
entries in sorted order, each with the given time (UTC), directories 0755,
files 0644 or 0755 as they were executable, no owner, no access or change
time, deflate at level 9.

    repack-zip.py IN.zip OUT.zip SOURCE_DATE_EPOCH
"""
import sys
import time
import zipfile


def main():
    source, target, epoch = sys.argv[1], sys.argv[2], int(sys.argv[3])
    # The zip format cannot hold times before 1980.
    stamp = time.gmtime(max(epoch, 315532800))[:6]
    with zipfile.ZipFile(source) as old, zipfile.ZipFile(target, "w") as new:
        for entry in sorted(old.infolist(), key=lambda e: e.filename):
            info = zipfile.ZipInfo(entry.filename, date_time=stamp)
            info.create_system = 3  # the mode bits below are Unix ones
            if entry.is_dir():
                info.external_attr = (0o40755 << 16) | 0x10
                new.writestr(info, b"")
            else:
                mode = 0o755 if (entry.external_attr >> 16) & 0o111 else 0o644
                info.external_attr = (0o100000 | mode) << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                new.writestr(info, old.read(entry), compresslevel=9)


if __name__ == "__main__":
    main()
