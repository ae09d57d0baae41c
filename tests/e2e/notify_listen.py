#!/usr/bin/python3
"""Listens as a service manager does: binds a Unix datagram socket at argv[1]
and writes each message it receives, one field a line, to argv[2]."""
import os
import socket
import sys

path, out = sys.argv[1], sys.argv[2]
listener = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
listener.bind(path)
with open(out, "a", buffering=1) as log:
    log.write("LISTENING\n")
    while True:
        message = listener.recv(4096).decode(errors="replace")
        for field in message.splitlines():
            log.write(field + "\n")
