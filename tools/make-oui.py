#!/usr/bin/env python3
"""Refreshes res/oui.txt, the OUI listing compiled into Trelvan.

The IEEE publishes its MA-L registry as text with CR LF line ends; Debian's
ieee-data package carries a copy. The program splits the listing at line
feeds only, so the CRs are taken out here once, and the UTF-8 is kept as it
is (the reader decodes UTF-8).

Usage: tools/make-oui.py [LISTING [OUTPUT]]
  LISTING defaults to /usr/share/ieee-data/oui.txt,
  OUTPUT to res/oui.txt beside this script's folder.
"""

import os
import sys

DEFAULT_LISTING = "/usr/share/ieee-data/oui.txt"


def convert(raw: bytes) -> bytes:
    # Fails loudly on a listing that is not UTF-8 rather than carrying it.
    text = raw.decode("utf-8")
    if text.startswith("\ufeff"):
        text = text[1:]
    text = text.replace("\r\n", "\n")
    if "\r" in text:
        raise ValueError("stray carriage return outside a CR LF pair")
    if text and not text.endswith("\n"):
        text += "\n"
    return text.encode("utf-8")


def main(argv):
    if len(argv) > 3 or (len(argv) > 1 and argv[1] in ("-h", "--help")):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    listing = argv[1] if len(argv) > 1 else DEFAULT_LISTING
    here = os.path.dirname(os.path.abspath(__file__))
    output = argv[2] if len(argv) > 2 else os.path.normpath(os.path.join(here, os.pardir, "res", "oui.txt"))

    with open(listing, "rb") as f:
        raw = f.read()
    try:
        data = convert(raw)
    except ValueError as e:
        print(f"{listing}: {e}", file=sys.stderr)
        return 1
    if b"(base 16)" not in data:
        print(f"{listing}: no \"(base 16)\" record, not an OUI listing", file=sys.stderr)
        return 1

    # Written beside the target and renamed, so a failed run leaves the old file.
    tmp = output + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)
    print(f"{output}: {len(data)} bytes, {data.count(b'(base 16)')} records")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
