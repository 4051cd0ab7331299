#!/usr/bin/env python3
"""A small HTTP front on 127.0.0.1 for the stock openssl command as a network service: each POST
to /NAME is written to DIR/NAME.req, DIR/NAME.sh runs (openssl ts -reply, openssl ocsp -reqin ...)
and DIR/NAME.resp is the answer. Writes its port to PORTFILE; stops when its process is killed."""
import http.server
import os
import subprocess
import sys

directory, port_file = sys.argv[1], sys.argv[2]


class Front(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        name = os.path.basename(self.path.split("?")[0]) or "root"
        script = os.path.join(directory, name + ".sh")
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        if not os.path.exists(script):
            self.send_error(404)
            return
        with open(os.path.join(directory, name + ".req"), "wb") as f:
            f.write(body)
        subprocess.run(["bash", script], cwd=directory, timeout=30, check=False)
        try:
            with open(os.path.join(directory, name + ".resp"), "rb") as f:
                answer = f.read()
        except OSError:
            self.send_error(500)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(answer)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(answer)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Front)
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
