#!/usr/bin/env python3
"""A host that says what it is over SSDP/UPnP, or lies about another host
over DNS-SD (lan.sh's says=KIND, described in tests/lan/README.md):

    says.py renderer|markup|oversized|dtd OWN_IP
    says.py elsewhere|mdns-other OWN_IP OTHER_IP

renderer answers an M-SEARCH with the LOCATION of its description, served on
OWN_IP:49152: a media renderer. markup does the same with a friendly name
made of markup, oversized with a description of 100 KiB, dtd with one that
declares an entity. elsewhere answers with a LOCATION on OTHER_IP (which no
one may fetch on its word). mdns-other answers DNS-SD questions asked from
a port other than 5353 with a printer whose address record is OTHER_IP.
It writes "ready" once it listens, then a line per answer and per request.
"""
import socket
import struct
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

SSDP_GROUP, SSDP_PORT = "239.255.255.250", 1900
MDNS_GROUP, MDNS_PORT = "224.0.0.251", 5353
HTTP_PORT = 49152


def say(text):
    print(text, flush=True)


def description(kind):
    name = "&lt;b&gt;Salon&lt;/b&gt;" if kind == "markup" else "Salon"
    before, padding = "", ""
    if kind == "dtd":
        before = '<!DOCTYPE root [<!ENTITY piege "Piege">]>'
        name = "&piege;"
    if kind == "oversized":
        padding = "<!--" + "x" * (100 * 1024) + "-->"
    return ('<?xml version="1.0"?>' + before + '<root xmlns="urn:schemas-upnp-org:device-1-0">'
            "<specVersion><major>1</major><minor>0</minor></specVersion>" + padding +
            "<device><deviceType>urn:schemas-upnp-org:device:MediaRenderer:1</deviceType>"
            f"<friendlyName>{name}</friendlyName><manufacturer>Trelvan Audio</manufacturer>"
            "<modelName>Lecteur R1</modelName><modelNumber>R1</modelNumber>"
            "<UDN>uuid:5f1c2b7e-0000-4000-8000-0000000000a1</UDN></device></root>").encode()


def serve_http(own, kind):
    body = description(kind)

    class Handler(BaseHTTPRequestHandler):
        def do_GET(self):
            say(f"GET {self.path} from {self.client_address[0]}")
            if self.path != "/description.xml":
                self.send_error(404)
                return
            self.send_response(200)
            self.send_header("Content-Type", 'text/xml; charset="utf-8"')
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def log_message(self, *args):
            pass

    server = ThreadingHTTPServer((own, HTTP_PORT), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()


def joined(group, port, own):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    sock.bind(("", port))
    sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                    socket.inet_aton(group) + socket.inet_aton(own))
    return sock


def ssdp(kind, own, other):
    location_host = other if kind == "elsewhere" else own
    path = "/trap.xml" if kind == "elsewhere" else "/description.xml"
    sock = joined(SSDP_GROUP, SSDP_PORT, own)
    say("ready")
    while True:
        data, asker = sock.recvfrom(2048)
        if not data.startswith(b"M-SEARCH * HTTP/1.1\r\n"):
            continue
        reply = ("HTTP/1.1 200 OK\r\nCACHE-CONTROL: max-age=1800\r\nEXT:\r\n"
                 f"LOCATION: http://{location_host}:{HTTP_PORT}{path}\r\n"
                 "SERVER: Linux/6 UPnP/1.0 TrelvanTest/1\r\nST: upnp:rootdevice\r\n"
                 "USN: uuid:5f1c2b7e-0000-4000-8000-0000000000a1::upnp:rootdevice\r\n\r\n")
        answer = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        answer.bind((own, 0))
        answer.sendto(reply.encode(), asker)
        answer.close()
        say(f"answered {asker[0]}:{asker[1]} with {location_host}{path}")


def name(labels):
    return b"".join(bytes([len(label)]) + label for label in labels) + b"\0"


def record(owner, rtype, data):
    return owner + struct.pack("!HHIH", rtype, 1, 10, len(data)) + data


def mdns_other(own, other):
    """A printer's records, all of them naming OTHER_IP as its address."""
    sock = joined(MDNS_GROUP, MDNS_PORT, own)
    say("ready")
    instance = name([b"Usurpateur", b"_ipp", b"_tcp", b"local"])
    host = name([b"usurpateur", b"local"])
    records = [
        record(name([b"_services", b"_dns-sd", b"_udp", b"local"]), 12,
               name([b"_ipp", b"_tcp", b"local"])),
        record(name([b"_ipp", b"_tcp", b"local"]), 12, instance),
        record(instance, 33, struct.pack("!HHH", 0, 0, 631) + host),
        record(instance, 16, b"\x0bty=Usurpe"),
        record(host, 1, socket.inet_aton(other)),
    ]
    while True:
        data, asker = sock.recvfrom(9000)
        if len(data) < 12 or asker[1] == MDNS_PORT or data[2] & 0x80:
            continue
        ident = struct.unpack("!H", data[:2])[0]
        reply = struct.pack("!HHHHHH", ident, 0x8400, 0, len(records), 0, 0) + b"".join(records)
        sock.sendto(reply, asker)
        say(f"answered {asker[0]}:{asker[1]} for {other}")


def main():
    kind, own = sys.argv[1], sys.argv[2]
    other = sys.argv[3] if len(sys.argv) > 3 else ""
    if kind == "mdns-other":
        mdns_other(own, other)
    else:
        if kind != "elsewhere":
            serve_http(own, kind)
        ssdp(kind, own, other)


main()
