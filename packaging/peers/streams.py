# Clients that stay connected through what the check does meanwhile (restarts, upgrades): a
# stream checked against its echo, a byte at a time to sink, glyphs read only once told to.


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


def stream_whole(to, stop):
    """Streams to mirror, reading the echo as it comes, until the file `stop` exists (whatever the
    check does meanwhile), then ends its side and reads the rest: every byte back, in order, and
    a clean end is "clean whole"."""
    fd = connect(to)
    fd.setblocking(False)
    sent = bytearray()
    echoed = bytearray()
    deadline = time.monotonic() + SESSION_CAP_S
    announced = False
    end = None
    while end is None and not os.path.exists(stop) and time.monotonic() < deadline:
        try:
            piece = b"%09d\n" % len(sent)
            sent += piece[:fd.send(piece)]
        except BlockingIOError:
            pass
        except (ConnectionResetError, BrokenPipeError):
            end = "reset"
        try:
            got = fd.recv(65536)
            if got:
                echoed += got
            else:
                end = "early end"  # the server ended while the client still sent
        except BlockingIOError:
            time.sleep(0.001)
        except ConnectionResetError:
            end = "reset"
        if not announced and len(echoed) >= 1000:
            print("streaming", flush=True)
            announced = True
    if end is None:
        fd.setblocking(True)
        fd.shutdown(socket.SHUT_WR)
        rest, end = rest_and_end(fd, 30)
        echoed += rest
    print(end, "whole" if echoed == sent else "differs: sent %d, echoed %d" % (len(sent),
                                                                               len(echoed)))


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


COMMANDS.update(stream=stream, stream_whole=stream_whole, trickle=trickle, unread=unread)
