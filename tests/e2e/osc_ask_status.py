#!/usr/bin/python3
"""Asks the installation's OSC port argv[1] (on 127.0.0.1) for its heartbeat,
from a port of its own, and prints the answer as oscdump would ("PATH TYPES
VALUE..."); status 1 when none comes within 3 s."""
import socket
import struct
import sys


def padded(text):
    data = text.encode() + b"\0"
    return data + b"\0" * (-len(data) % 4)


def string_at(data, at):
    end = data.index(b"\0", at)
    return data[at:end].decode(), (end + 4) & ~3


asker = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
asker.bind(("127.0.0.1", 0))
asker.settimeout(3)
asker.sendto(padded("/tessaro/status") + padded(","), ("127.0.0.1", int(sys.argv[1])))
try:
    data = asker.recv(1024)
except socket.timeout:
    sys.exit(1)
path, at = string_at(data, 0)
types, at = string_at(data, at)
values = []
for kind in types[1:]:
    (value,) = struct.unpack(">f" if kind == "f" else ">i", data[at:at + 4])
    values.append("%f" % value if kind == "f" else str(value))
    at += 4
print(path, types[1:], *values)
