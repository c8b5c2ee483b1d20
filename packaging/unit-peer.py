"""Clients for check-units.sh, run inside the booted machine: python3 - COMMAND ARGS < unit-peer.py.

Each prints one line: what it received (as a Python bytes literal) or how the connection ended.
"""
import socket
import sys
import time

PORT = 12345
TIOCOUTQ = 0x5411  # SIOCOUTQ: bytes not yet acknowledged by the peer


def connect(to, source=None, timeout=5.0):
    family = socket.AF_INET6 if ":" in to else socket.AF_INET
    fd = socket.socket(family, socket.SOCK_STREAM)
    fd.settimeout(timeout)
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


def ask(to, request, count, source=None, urgent=None):
    """One request and `count` bytes of answer; `urgent` is sent as urgent data after `request`."""
    try:
        fd = connect(to, source or None, 2.0 if source else 5.0)
        fd.sendall(request.encode())
        if urgent:
            fd.send(urgent.encode(), socket.MSG_OOB)
            fd.sendall(b"cd")
        print(read(fd, int(count)))
    except socket.timeout:
        print("dropped")
    except ConnectionRefusedError:
        print("refused")
    except ConnectionResetError:
        print("reset")


def send(to, data, clients):
    """`clients` connections, each sending `data` and leaving once it is acknowledged."""
    for _ in range(int(clients)):
        fd = connect(to)
        fd.sendall(data.encode())
        until_acknowledged(fd)
        fd.close()
    print("sent")


def ends(fd, seconds):
    """How the server ended this connection, waiting at most `seconds`."""
    fd.settimeout(float(seconds))
    try:
        while fd.recv(65536):
            pass
        return "clean"
    except ConnectionResetError:
        return "reset"
    except socket.timeout:
        return "open"


def hold(to, request, count, seconds):
    """A client that is served once, then stays connected and silent."""
    fd = connect(to)
    fd.sendall(request.encode())
    got = read(fd, int(count))
    print("held", flush=True)
    print(got, ends(fd, seconds))


def stream(to, seconds):
    """Sends to mirror and reads the echo at once, until the server ends the connection."""
    fd = connect(to)
    fd.setblocking(False)
    sent = b""
    echoed = b""
    end = "open"
    deadline = time.monotonic() + float(seconds)
    announced = False
    while time.monotonic() < deadline:
        try:
            piece = (b"%09d\n" % len(sent))
            fd.send(piece)
            sent += piece
        except (BlockingIOError, BrokenPipeError, ConnectionResetError):
            pass
        try:
            got = fd.recv(65536)
            if not got:
                end = "clean"
                break
            echoed += got
        except BlockingIOError:
            time.sleep(0.001)
        except ConnectionResetError:
            end = "reset"
            break
        if not announced and len(echoed) >= 1000:
            print("streaming", flush=True)
            announced = True
    print(end, "exact" if sent.startswith(echoed) else "differs", len(echoed))


def listen():
    """Holds the port, as another program would."""
    fd = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    fd.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # beside connections still closing
    fd.bind(("0.0.0.0", PORT))
    fd.listen()
    print("listening", flush=True)
    time.sleep(300)


COMMANDS = {"ask": ask, "send": send, "hold": hold, "stream": stream, "listen": listen}
COMMANDS[sys.argv[1]](*sys.argv[2:])
