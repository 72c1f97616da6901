#!/usr/bin/env python3
"""OCSP peers of the online revocation tests, on 127.0.0.1.

  ocsp_peers.py ports N          print N ports, free when asked
  ocsp_peers.py PORT             a responder that takes requests and never answers
  ocsp_peers.py PORT RESPONSE    one that answers every request with the saved
                                 DER response RESPONSE, whatever was asked

A responder prints "ready" once it listens and "request" with the request
line for each request it answers, so that a test sees how often it was asked.
"""
import socket
import sys
import time

if sys.argv[1] == 'ports':
    held = [socket.create_server(('127.0.0.1', 0)) for _ in range(int(sys.argv[2]))]
    print(' '.join(str(s.getsockname()[1]) for s in held))
    sys.exit()

server = socket.create_server(('127.0.0.1', int(sys.argv[1])))
print('ready', flush=True)
if len(sys.argv) < 3:
    time.sleep(3600)  # the system completes connections into the backlog; nobody reads them
    sys.exit()
saved = open(sys.argv[2], 'rb').read()


def answer(client):
    data = b''
    while b'\r\n\r\n' not in data:
        chunk = client.recv(4096)
        if not chunk:
            return
        data += chunk
    head, _, body = data.partition(b'\r\n\r\n')
    lines = head.split(b'\r\n')
    length = next((int(line.split(b':', 1)[1]) for line in lines if line.lower().startswith(b'content-length:')), 0)
    # The whole body first: closing with bytes unread would reset the connection under the answer.
    while len(body) < length:
        chunk = client.recv(4096)
        if not chunk:
            return
        body += chunk
    print('request', lines[0].decode('latin-1'), flush=True)
    client.sendall(b'HTTP/1.0 200 OK\r\nContent-Type: application/ocsp-response\r\n'
                   b'Content-Length: %d\r\n\r\n' % len(saved) + saved)


while True:
    connection, _ = server.accept()
    with connection:
        answer(connection)
