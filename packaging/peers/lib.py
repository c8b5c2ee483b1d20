"""The peers of the units check, run inside the booted machine (and the soak's verdict, where the
check runs): lib.sh feeds python3 this library, every group's file and the call it names, in one.

Each client prints one line: what it received (as a Python bytes literal) or how the connection
ended; the soak's peers print a line for each session.
"""
import errno
import os
import select
import socket
import sys
import time

PORT = 12345
TIOCOUTQ = 0x5411  # SIOCOUTQ: bytes not yet acknowledged by the peer
SESSION_CAP_S = 120.0  # no session of a peer lasts this long, whatever it sees
COMMANDS = {}  # each group's, by name


def connect(to, source=None, timeout=5.0, window=None):
    family = socket.AF_INET6 if ":" in to else socket.AF_INET
    fd = socket.socket(family, socket.SOCK_STREAM)
    fd.settimeout(timeout)
    if window:
        fd.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, window)
    if source:
        fd.bind((source, 0))
    fd.connect((to, PORT))
    return fd


def read(fd, count, timeout=5.0):
    fd.settimeout(timeout)
    data = b""
    while len(data) < count:
        piece = fd.recv(count - len(data))
        if not piece:
            break
        data += piece
    return data


def until_acknowledged(fd):
    import fcntl
    import struct
    for _ in range(5000):
        if struct.unpack("i", fcntl.ioctl(fd, TIOCOUTQ, b"\0\0\0\0"))[0] == 0:
            return
        time.sleep(0.001)
    raise SystemExit("bytes never acknowledged")


def rest_and_end(fd, seconds):
    """What the server still sends and how it ends the connection, waiting at most `seconds`."""
    fd.settimeout(float(seconds))
    got = b""
    try:
        while True:
            piece = fd.recv(65536)
            if not piece:
                return got, "clean"
            got += piece
    except ConnectionResetError:
        return got, "reset"
    except socket.timeout:
        return got, "open"


def ends(fd, seconds):
    """How the server ended this connection, waiting at most `seconds`."""
    return rest_and_end(fd, seconds)[1]
