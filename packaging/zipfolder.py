#!/usr/bin/env python3
"""Zips a folder the same way every time: entries in sorted order, each with the same date (SOURCE_DATE_EPOCH),
the same permissions (0644 files, 0755 folders), no owner and no extra fields, compressed with deflate.

    zipfolder.py --out qelmrc-x64.zip --base DIST qelmrc-x64

The entries are named relative to --base (here qelmrc-x64/qelmrc.inf ...). Without SOURCE_DATE_EPOCH the date
is 1980-01-01, the earliest a zip can hold.
"""

import argparse
import datetime
import os
import sys
import zipfile


def zip_date(epoch):
    when = datetime.datetime.fromtimestamp(epoch, datetime.timezone.utc)
    if when.year < 1980:
        return (1980, 1, 1, 0, 0, 0)
    # A zip's time has two-second steps.
    return (when.year, when.month, when.day, when.hour, when.minute, when.second - when.second % 2)


def entries(base, folder):
    """(name in the zip, path) for the folder and everything under it, sorted by name."""
    found = []
    for root, dirs, files in os.walk(os.path.join(base, folder)):
        for name in dirs:
            path = os.path.join(root, name)
            found.append((os.path.relpath(path, base).replace(os.sep, "/") + "/", path))
        for name in files:
            path = os.path.join(root, name)
            found.append((os.path.relpath(path, base).replace(os.sep, "/"), path))
    found.append((folder.rstrip("/") + "/", os.path.join(base, folder)))
    return sorted(found)


def write(out, base, folders, epoch):
    date = zip_date(epoch)
    with zipfile.ZipFile(out, "w") as z:
        for folder in folders:
            for name, path in entries(base, folder):
                info = zipfile.ZipInfo(name, date_time=date)
                info.create_system = 3  # Unix, so that the permissions below are read
                if name.endswith("/"):
                    info.external_attr = (0o40755 << 16) | 0x10
                    z.writestr(info, b"")
                else:
                    info.external_attr = 0o100644 << 16
                    info.compress_type = zipfile.ZIP_DEFLATED
                    with open(path, "rb") as f:
                        z.writestr(info, f.read(), compresslevel=9)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", required=True)
    parser.add_argument("--base", required=True, help="the folder the entries are named from")
    parser.add_argument("folders", nargs="+", help="folders under --base to put in the zip")
    args = parser.parse_args(argv)
    for folder in args.folders:
        if not os.path.isdir(os.path.join(args.base, folder)):
            sys.exit(f"zipfolder: no folder {folder} in {args.base}")
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH") or 0)
    write(args.out, args.base, args.folders, epoch)


if __name__ == "__main__":
    main()
