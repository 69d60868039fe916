#!/usr/bin/env python3
"""A web server that speaks HTTPS only, for the test LAN's "https" hosts.

    https.py ADDRESS CERTIFICATE KEY ROOT

Serves ROOT on ADDRESS:443 with the given (self-signed) certificate. Each
connection is put through TLS in its own thread, so that a client that
connects and hangs up at once, as a port scan does, holds up nobody.
"""

import functools
import http.server
import ssl
import sys


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, address, handler, context):
        super().__init__(address, handler)
        self.context = context

    def finish_request(self, request, client_address):
        try:
            request = self.context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError):
            return
        super().finish_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # a client that leaves half-way is no news


def main():
    address, certificate, key, root = sys.argv[1:5]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=root)
    Server((address, 443), handler, context).serve_forever()


if __name__ == "__main__":
    main()
