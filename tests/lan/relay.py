#!/usr/bin/env python3
"""Ethernet relay between two interfaces that holds frames back.

The test machines have no netem, so a slow host is made by putting this
program in place of a bridge port: it copies every frame received on one
interface to the other, after a fixed delay per direction. lan.sh runs it in
a namespace of its own, between the slow host and the switch.

Frames leave in the order they arrived; the delay is constant per direction,
so a FIFO is already time-ordered. Nothing polls: readers block in recv and
the delay line sleeps on a condition until its oldest frame is due.
"""

import argparse
import collections
import os
import signal
import socket
import sys
import threading
import time

ETH_P_ALL = 0x0003
MAX_FRAME = 65536
# A link that is flooded (a /16 sweep through a slow host) drops frames like a
# full queue would instead of growing without bound.
MAX_QUEUED = 8192


def open_port(ifname):
    sock = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(ETH_P_ALL))
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
    sock.bind((ifname, 0))
    return sock


def send(sock, frame):
    try:
        sock.send(frame)
    except OSError:
        # A link going down during teardown, or a frame the other side refuses:
        # a real wire would lose it too.
        pass


class DelayLine:
    def __init__(self, out, delay):
        self.out = out
        self.delay = delay
        self.queue = collections.deque()
        self.ready = threading.Condition()

    def push(self, frame):
        due = time.monotonic() + self.delay
        with self.ready:
            if len(self.queue) >= MAX_QUEUED:
                return
            self.queue.append((due, frame))
            # The writer only ever waits for the head, so only an empty queue
            # needs waking.
            if len(self.queue) == 1:
                self.ready.notify()

    def run(self):
        while True:
            with self.ready:
                while not self.queue:
                    self.ready.wait()
                due, frame = self.queue[0]
                wait = due - time.monotonic()
                if wait > 0:
                    self.ready.wait(wait)
                    continue
                self.queue.popleft()
            send(self.out, frame)


def pump(src, sink):
    while True:
        try:
            frame, addr = src.recvfrom(MAX_FRAME)
        except OSError:
            # The interface went down (teardown, or a link flap): the error is
            # reported once, the next recv blocks again.
            time.sleep(0.05)
            continue
        # A packet socket also sees what is sent on its interface, including
        # our own writes; relaying those back would loop.
        if addr[2] == socket.PACKET_OUTGOING:
            continue
        sink(frame)


def start(target, *args):
    thread = threading.Thread(target=target, args=args, daemon=True)
    thread.start()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("a", help="first interface")
    parser.add_argument("b", help="second interface")
    parser.add_argument("--delay-ab", type=float, default=0.0, help="ms added from a to b")
    parser.add_argument("--delay-ba", type=float, default=0.0, help="ms added from b to a")
    parser.add_argument("--ready", help="file created once both ports are open")
    args = parser.parse_args()

    port_a = open_port(args.a)
    port_b = open_port(args.b)

    for src, dst, delay in ((port_a, port_b, args.delay_ab), (port_b, port_a, args.delay_ba)):
        if delay > 0:
            line = DelayLine(dst, delay / 1000.0)
            start(line.run)
            start(pump, src, line.push)
        else:
            start(pump, src, lambda frame, dst=dst: send(dst, frame))

    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    if args.ready:
        with open(args.ready + ".tmp", "w") as ready:
            ready.write(f"{os.getpid()}\n")
        os.replace(args.ready + ".tmp", args.ready)
    while True:
        signal.pause()


if __name__ == "__main__":
    try:
        main()
    except KeyboardInterrupt:
        pass
