#!/usr/bin/env python3
"""A hostile host's answers about its name, which no daemon gives (lan.sh's
rogue=KIND, described in tests/lan/README.md):

    names.py markup|controls|wrong-id OWN_IP
    names.py spoof OWN_IP TARGET_IP

Answers go by unicast to the asker, as to a question asked from a port other
than 5353. It writes "ready" once it listens, then a line per answer and
per flood.
"""
import select
import socket
import struct
import sys
import threading
import time

MDNS_PORT = 5353
MDNS_GROUP = "224.0.0.251"
NETBIOS_PORT = 137
FLOOD_SECONDS = 20

NAMES = {
    "markup": ("=<img src=x width=3000 height=2000>".encode(), b"<b>GRAS</b>"),
    "controls": ("nas\u202eevil".encode(), b"PC\x9b2J"),
    "wrong-id": (b"faux-id", b"FAUX-ID"),
}


def say(text):
    print(text, flush=True)


def reverse_labels(ip):
    return [part.encode() for part in reversed(ip.split("."))] + [b"in-addr", b"arpa"]


def encode_name(labels):
    return b"".join(bytes([len(label)]) + label for label in labels) + b"\0"


def question(data):
    """(id, flags, labels, end of the question) of a message, or None."""
    if len(data) < 12:
        return None
    ident, flags, count = struct.unpack("!HHH", data[:6])
    if count < 1:
        return None
    labels, at = [], 12
    while at < len(data) and data[at]:
        size = data[at]
        if size & 0xC0 or at + 1 + size > len(data):
            return None
        labels.append(data[at + 1:at + 1 + size])
        at += 1 + size
    at += 1
    if at + 4 > len(data):
        return None
    return ident, flags, labels, at + 4


def mdns_answer(ident, data, end, target):
    """The response to the question ending at end: the question echoed, then
    one PTR record whose owner points at the question's name."""
    rdata = encode_name([target, b"local"])
    header = struct.pack("!HHHHHH", ident, 0x8400, 1, 1, 0, 0)
    record = b"\xc0\x0c" + struct.pack("!HHIH", 12, 1, 10, len(rdata)) + rdata
    return header + data[12:end] + record


def netbios_answer(ident, data, end, name):
    header = struct.pack("!HHHHHH", ident, 0x8400, 0, 1, 0, 0)
    entry = name.ljust(15, b" ") + b"\x00" + struct.pack("!H", 0x0400)
    rdata = bytes([1]) + entry + bytes(46)
    return header + data[12:end - 4] + struct.pack("!HHIH", 0x21, 1, 0, len(rdata)) + rdata


def flood(own_ip, asker, answer):
    """Datagrams at the asker's port, from port 5353, until it is closed."""
    sender = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sender.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sender.bind((own_ip, MDNS_PORT))
    sender.connect(asker)
    junk = bytes(range(64)) * 4
    sent, start = 0, time.monotonic()
    try:
        while time.monotonic() - start < FLOOD_SECONDS:
            for _ in range(256):
                sender.send(answer if sent % 2 else junk)
                sent += 1
    except OSError:
        pass  # the port is closed: the asker has gone
    say(f"flood {asker[0]}:{asker[1]} {sent} datagrams in {time.monotonic() - start:.2f} s")
    sender.close()


def main():
    kind, own_ip = sys.argv[1], sys.argv[2]
    target_ip = sys.argv[3] if len(sys.argv) > 3 else None
    if kind not in NAMES and not (kind == "spoof" and target_ip):
        sys.exit(f"names.py: unknown kind {kind!r}")
    mdns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    mdns.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    mdns.bind(("", MDNS_PORT))
    membership = socket.inet_aton(MDNS_GROUP) + socket.inet_aton(own_ip)
    mdns.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, membership)
    sockets = [mdns]
    netbios = None
    if kind in NAMES:
        netbios = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        netbios.bind((own_ip, NETBIOS_PORT))
        sockets.append(netbios)
    wanted = [label.lower() for label in reverse_labels(target_ip or own_ip)]
    flooded = set()
    say("ready")
    while True:
        for sock in select.select(sockets, [], [])[0]:
            data, asker = sock.recvfrom(2048)
            asked = question(data)
            if not asked or asked[1] & 0x8000:
                continue
            ident, _flags, labels, end = asked
            if sock is netbios:
                ident ^= 0x5A5A if kind == "wrong-id" else 0
                netbios.sendto(netbios_answer(ident, data, end, NAMES[kind][1]), asker)
                say(f"netbios {asker[0]}:{asker[1]}")
                continue
            if [label.lower() for label in labels] != wanted or asker[1] == MDNS_PORT:
                continue
            if kind == "spoof":
                answer = mdns_answer(ident, data, end, b"usurpateur")
                mdns.sendto(answer, asker)
                say(f"spoof {asker[0]}:{asker[1]} for {target_ip}")
                if asker not in flooded:
                    flooded.add(asker)
                    threading.Thread(target=flood, args=(own_ip, asker, answer),
                                     daemon=True).start()
                continue
            ident ^= 0x5A5A if kind == "wrong-id" else 0
            mdns.sendto(mdns_answer(ident, data, end, NAMES[kind][0]), asker)
            say(f"mdns {asker[0]}:{asker[1]}")


if __name__ == "__main__":
    main()
