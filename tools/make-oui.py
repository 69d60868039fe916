#!/usr/bin/env python3
"""Refreshes the IEEE listings compiled into Trelvan (res/*.txt).

The IEEE publishes its registries as text with CR LF line ends; Debian's
ieee-data package carries a copy. The program splits the listings at line
feeds only, so the CRs are taken out here once, and the UTF-8 is kept as it
is (the readers decode UTF-8). Four listings are carried:

  oui.txt    MA-L, the 24-bit OUIs
  mam.txt    MA-M, 28-bit blocks inside some OUIs
  oui36.txt  MA-S, 36-bit blocks inside some OUIs
  iab.txt    IAB, the older 36-bit blocks

Usage: tools/make-oui.py [--from DIR]
         converts the four listings of DIR (default /usr/share/ieee-data)
         into res/ beside this script's folder;
       tools/make-oui.py LISTING [OUTPUT]
         converts one listing, to OUTPUT or to res/ under its own name.
"""

import os
import sys

DEFAULT_DIR = "/usr/share/ieee-data"
LISTINGS = ("oui.txt", "mam.txt", "oui36.txt", "iab.txt")


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


def refresh(listing: str, output: str) -> bool:
    with open(listing, "rb") as f:
        raw = f.read()
    try:
        data = convert(raw)
    except ValueError as e:
        print(f"{listing}: {e}", file=sys.stderr)
        return False
    if b"(base 16)" not in data:
        print(f"{listing}: no \"(base 16)\" record, not an IEEE listing", file=sys.stderr)
        return False

    # Written beside the target and renamed, so a failed run leaves the old file.
    tmp = output + ".tmp"
    with open(tmp, "wb") as f:
        f.write(data)
    os.replace(tmp, output)
    print(f"{output}: {len(data)} bytes, {data.count(b'(base 16)')} records")
    return True


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    res = os.path.normpath(os.path.join(here, os.pardir, "res"))
    args = argv[1:]
    if args and args[0] in ("-h", "--help") or len(args) > 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2

    if not args or args[0] == "--from":
        if args and len(args) != 2:
            print(__doc__.strip(), file=sys.stderr)
            return 2
        source = args[1] if args else DEFAULT_DIR
        jobs = [(os.path.join(source, name), os.path.join(res, name)) for name in LISTINGS]
        missing = [listing for listing, _ in jobs if not os.path.isfile(listing)]
        if missing:
            print(f"missing: {', '.join(missing)}", file=sys.stderr)
            return 1
    else:
        listing = args[0]
        output = args[1] if len(args) > 1 else os.path.join(res, os.path.basename(listing))
        jobs = [(listing, output)]

    ok = True
    for listing, output in jobs:
        ok = refresh(listing, output) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
