# Clients of a moment: one request and its answer, sessions sent and left, the port held, a
# client asking again and again, one queued behind another.


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


def hold(to, request, count, seconds):
    """A client that is served once, then stays connected and silent."""
    fd = connect(to)
    fd.sendall(request.encode())
    got = read(fd, int(count))
    print("held", flush=True)
    print(got, ends(fd, seconds))


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


def listen():
    """Holds the port, as another program would."""
    fd = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    fd.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)  # beside connections still closing
    fd.bind(("0.0.0.0", PORT))
    fd.listen()
    print("listening", flush=True)
    time.sleep(300)


COMMANDS.update(ask=ask, send=send, hold=hold, asks=asks, queue=queue, listen=listen)
