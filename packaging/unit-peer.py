"""Clients for check-units.sh, run inside the booted machine: python3 - COMMAND ARGS < unit-peer.py.

Each prints one line: what it received (as a Python bytes literal) or how the connection ended.
"""
import os
import socket
import sys
import time

PORT = 12345
TIOCOUTQ = 0x5411  # SIOCOUTQ: bytes not yet acknowledged by the peer


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


def ask(to, request, count, source=None, urgent=None):
    """One request and `count` bytes of answer; `urgent` is sent as urgent data after `request`."""
    try:
        fd = connect(to, source or None, 1.0 if source else 5.0)
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
        except (BlockingIOError, BrokenPipeError):
            pass
        except ConnectionResetError:  # the reset, taken here: the next recv would see only the end
            end = "reset"
            break
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


def served(path):
    try:
        return os.stat(path).st_size
    except FileNotFoundError:
        return 0


def trickle(to, seconds, path):
    """Sends one byte at a time to sink, each once the last is in sink's file: a session carried
    across whatever the check does meanwhile. Reports its end and the longest wait for a byte."""
    fd = connect(to)
    start = served(path)
    sent = 0
    longest = 0.0
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        fd.sendall(b"t")
        sent += 1
        began = time.monotonic()
        while served(path) < start + sent and time.monotonic() - began < 30:
            time.sleep(0.0005)
        longest = max(longest, time.monotonic() - began)
        if sent == 1:
            print("trickling", flush=True)
    fd.shutdown(socket.SHUT_WR)
    end = ends(fd, 10)
    with open(path, "rb") as copy:
        copy.seek(start)
        copied = copy.read()
    # A client queued behind this one may follow it in the file, never come before or between.
    exact = copied.startswith(b"t" * sent) and b"t" not in copied[sent:]
    print(end, sent, "exact" if exact else "differs", "longest %d ms" % (longest * 1000))


SIZES = [0, 1000, 100000, 1000000, 3000000]


def session_bytes(ident, size):
    """A session's header and body; the body never holds the header's brackets."""
    return b"<" + ident + b">" + (ident * (size // len(ident) + 1))[:size]


def soak(to, seconds, clients, path):
    """`clients` clients, each sending sessions of mixed sizes to sink without a pause, ending
    its side and waiting for the server's end, until `seconds` have passed. Then every session is
    accounted for against sink's file: one whose client saw a clean end is there whole and once,
    a cut one is a prefix of it and its client saw a reset. Prints the counts, then the times at
    which sessions were cut."""
    import random
    import re
    import threading
    deadline = time.time() + float(seconds)
    sessions = []
    lock = threading.Lock()

    def client(number):
        chooser = random.Random(number)
        count = 0
        while time.time() < deadline:
            ident = b"%02d%06d" % (number, count)
            count += 1
            data = session_bytes(ident, chooser.choice(SIZES))
            try:
                fd = connect(to, timeout=60.0)
                fd.settimeout(60.0)
                try:
                    fd.sendall(data)
                    fd.shutdown(socket.SHUT_WR)
                    end = "clean" if fd.recv(1) == b"" else "answered"
                finally:
                    fd.close()
            except ConnectionRefusedError:
                end = "refused"
            except (ConnectionResetError, BrokenPipeError):
                end = "reset"
            except socket.timeout:
                end = "hung"
            with lock:
                sessions.append((ident, data, end, time.time()))

    threads = [threading.Thread(target=client, args=(n,)) for n in range(int(clients))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    with open(path, "rb") as copy:
        copied = copy.read()
    headers = list(re.finditer(rb"<(\d{8})>", copied))
    found = {}
    for index, header in enumerate(headers):
        stop = headers[index + 1].start() if index + 1 < len(headers) else len(copied)
        found.setdefault(header.group(1), []).append(copied[header.start():stop])
    counts = {"clean": 0, "cut": 0, "wrong": 0, "refused": 0, "hung": 0, "answered": 0}
    cut_at = []
    for ident, data, end, at in sessions:
        pieces = found.pop(ident, [])
        if end == "clean":
            counts["clean" if pieces == [data] else "wrong"] += 1
        elif end == "reset":
            whole = len(pieces) == 1 and pieces[0] == data
            counts["cut" if len(pieces) <= 1 and not whole and data.startswith(b"".join(pieces))
                   else "wrong"] += 1
            cut_at.append("%.3f" % at)
        else:
            counts[end] += 1
    counts["stray"] = len(found)
    print("sessions %d" % len(sessions), " ".join("%s %d" % item for item in counts.items()),
          "bytes %d" % len(copied))
    print(" ".join(cut_at))


def asks(to, seconds):
    """Asks tally again and again for `seconds`, a connection each time: how many were answered
    rightly, refused, reset, answered wrongly, or none of these."""
    counts = {"answered": 0, "refused": 0, "reset": 0, "wrong": 0, "other": 0}
    deadline = time.monotonic() + float(seconds)
    while time.monotonic() < deadline:
        try:
            fd = connect(to)
            fd.sendall(b"2 + 3")
            got = read(fd, 13)
            fd.close()
            counts["answered" if got == b"Resultado: 5\x00" else "wrong"] += 1
        except ConnectionRefusedError:
            counts["refused"] += 1
        except (ConnectionResetError, BrokenPipeError):
            counts["reset"] += 1
        except OSError:
            counts["other"] += 1
        time.sleep(0.002)  # a person's client, not a flood: no port runs out
        if sum(counts.values()) == 1:
            print("asking", flush=True)
    print(" ".join("%s %d" % item for item in counts.items()))


def queue(to, data):
    """A client that sends `data`, ends its side and waits for the server's end: queued behind
    the one served. Reports what came back and how it ended."""
    fd = connect(to)
    fd.sendall(data.encode())
    fd.shutdown(socket.SHUT_WR)
    until_acknowledged(fd)
    print("queued", flush=True)
    print(*rest_and_end(fd, 30))


def unread(to, prompts, go):
    """A glyphs client that sends `prompts` prompts and reads nothing until the file `go` exists
    (whatever the check does meanwhile), a small window taking little, so that the server is left
    mid-answer; then reads every answer owed. Each burst must be one run of the sequence, going on
    from the last or, where a new instance took over, begun anew."""
    fd = connect(to, window=4096)
    fd.sendall(b"?" * (10 * int(prompts)))
    print("sent", flush=True)
    for _ in range(3000):
        if os.path.exists(go):
            break
        time.sleep(0.05)
    # A window that grows again, or the server's corked bursts would leave a few KiB at a time.
    fd.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    try:
        got = read(fd, 1000 * int(prompts), 60.0)
    except (ConnectionResetError, socket.timeout) as error:
        print(type(error).__name__)
        return
    offset = 0
    whole = True
    for at in range(0, len(got), 1000):
        burst = got[at:at + 1000]
        if burst[0] - 32 != offset % 95:
            offset = 0  # a new instance's sequence, begun anew
        whole = whole and burst == bytes(32 + (offset + k) % 95 for k in range(len(burst)))
        offset += len(burst)
    print(len(got), "whole" if whole else "differs")


def listen():
    """Holds the port, as another program would."""
    fd = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    fd.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # beside connections still closing
    fd.bind(("0.0.0.0", PORT))
    fd.listen()
    print("listening", flush=True)
    time.sleep(300)


COMMANDS = {"ask": ask, "send": send, "hold": hold, "stream": stream, "listen": listen,
            "trickle": trickle, "soak": soak, "asks": asks, "queue": queue, "unread": unread}
COMMANDS[sys.argv[1]](*sys.argv[2:])
