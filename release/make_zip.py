#!/usr/bin/env python3
"""make_zip.py OUT.zip DIR: a zip of the files in DIR that depends on their
contents alone: members in name order, each dated SOURCE_DATE_EPOCH (which
must be set), with fixed permissions and compression."""
import os
import sys
import time
import zipfile

# The zip format cannot date anything before 1980.
EARLIEST = (1980, 1, 1, 0, 0, 0)


def main():
    out, directory = sys.argv[1], sys.argv[2]
    epoch = int(os.environ["SOURCE_DATE_EPOCH"])
    date_time = max(EARLIEST, time.gmtime(epoch)[:6])
    with zipfile.ZipFile(out, "w") as package:
        for name in sorted(os.listdir(directory)):
            member = zipfile.ZipInfo(name, date_time)
            member.create_system = 3  # Unix, so that the permissions below are read
            mode = 0o755 if name.endswith((".exe", ".cmd")) else 0o644
            member.external_attr = (0o100000 | mode) << 16
            member.compress_type = zipfile.ZIP_DEFLATED
            with open(os.path.join(directory, name), "rb") as f:
                package.writestr(member, f.read(), compresslevel=9)


if __name__ == "__main__":
    main()
