#!/usr/bin/env python3
# A SOAP certificate service for the host tests: hok_service.py DIR PORT_FILE. DIR holds
# DIGITS.fp (a SNILS's fingerprints) and FINGERPRINT.pem; answers are chunked, Base64 lines led by
# "&#13;" as the service writes them. It listens on 127.0.0.1 at a port it writes to PORT_FILE.
import http.server, os, re, sys

class Service(http.server.BaseHTTPRequestHandler):
    protocol_version = 'HTTP/1.1'

    def do_POST(self):
        self.close_connection = True
        body = self.rfile.read(int(self.headers['Content-Length'])).decode()
        found = re.search(r'<(snils|fingerprint)>([0-9a-f ]+)</', body)
        path = found and os.path.join(sys.argv[1], found[2] + ('.fp' if found[1] == 'snils' else '.pem'))
        if not path or not os.path.exists(path):
            self.send_response(500, 'No such owner or certificate')
            self.send_header('Content-Length', '0')
            return self.end_headers()
        text = open(path).read()
        if found[1] == 'snils':
            inner = ''.join('<fingerprint>%s</fingerprint>' % f for f in text.split())
        else:
            inner = '<pkcs>%s</pkcs>' % '&#13;\n'.join(l for l in text.splitlines() if '-----' not in l)
        data = ('<soap:Envelope xmlns:soap="http://schemas.xmlsoap.org/soap/envelope/"><soap:Body>'
                '<return>%s</return></soap:Body></soap:Envelope>' % inner).encode()
        self.send_response(200)
        self.send_header('Transfer-Encoding', 'chunked')
        self.end_headers()
        for i in range(0, len(data), 100):
            self.wfile.write(b'%x\r\n%s\r\n' % (len(data[i:i + 100]), data[i:i + 100]))
        self.wfile.write(b'0\r\n\r\n')

    def log_message(self, *args):
        pass

server = http.server.HTTPServer(('127.0.0.1', 0), Service)
open(sys.argv[2] + '.tmp', 'w').write(str(server.server_address[1]))
os.rename(sys.argv[2] + '.tmp', sys.argv[2])
server.serve_forever()
