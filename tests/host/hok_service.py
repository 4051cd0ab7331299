#!/usr/bin/env python3
"""A small SOAP certificate service for the host tests, on 127.0.0.1 at a port of its own.

usage: hok_service.py DIR PORT_FILE
DIR holds DIGITS.fp (the fingerprints of a SNILS, one a line) and FINGERPRINT.pem (certificates).
getCertsByOwner answers the fingerprints, getCertsByIds the certificate as the service writes it:
Base64 lines led by "&#13;", sent in chunks. The chosen port goes to PORT_FILE once it listens.
"""
import http.server
import os
import re
import sys

ENVELOPE = ('<?xml version="1.0" encoding="UTF-8"?><soap:Envelope '
            'xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/"><soap:Body>'
            '<ns2:{0}Response xmlns:ns2="http://ws.hok/"><return>{1}</return>'
            '</ns2:{0}Response></soap:Body></soap:Envelope>')


def read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return None


class Service(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def do_POST(self):
        body = self.rfile.read(int(self.headers.get('Content-Length', '0'))).decode()
        snils = re.search(r'<snils>(\d{11})</snils>', body)
        fingerprint = re.search(r'<fingerprint>([0-9a-f ]+)</fingerprint>', body)
        if snils and 'getCertsByOwner' in body:
            fps = (read(os.path.join(self.server.dir, snils.group(1) + '.fp')) or '').split()
            self.answer('getCertsByOwner',
                        ''.join('<certs><fingerprint>%s</fingerprint></certs>' % f for f in fps))
        elif fingerprint and 'getCertsByIds' in body:
            pem = read(os.path.join(self.server.dir, fingerprint.group(1) + '.pem'))
            if pem is None:
                return self.fail()
            lines = [l for l in pem.splitlines() if l and not l.startswith('-----')]
            self.answer('getCertsByIds', '<certs><pkcs>%s</pkcs></certs>' % '&#13;\n'.join(lines))
        else:
            self.fail()

    def answer(self, operation, inner):
        data = ENVELOPE.format(operation, inner).encode()
        self.send_response(200)
        self.send_header('Content-Type', 'text/xml;charset=utf-8')
        self.send_header('Transfer-Encoding', 'chunked')
        self.end_headers()
        for i in range(0, len(data), 100):
            part = data[i:i + 100]
            self.wfile.write(b'%x\r\n%s\r\n' % (len(part), part))
        self.wfile.write(b'0\r\n\r\n')
        self.close_connection = True

    def fail(self):
        self.send_response(500, 'No such owner or certificate')
        self.send_header('Content-Length', '0')
        self.end_headers()
        self.close_connection = True

    def log_message(self, *args):
        pass


def main():
    server = http.server.HTTPServer(('127.0.0.1', 0), Service)
    server.dir = sys.argv[1]
    with open(sys.argv[2] + '.tmp', 'w') as f:
        f.write(str(server.server_address[1]))
    os.rename(sys.argv[2] + '.tmp', sys.argv[2])
    server.serve_forever()


if __name__ == '__main__':
    main()
