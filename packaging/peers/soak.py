# The soak's peers. Every byte a session sends is part of a 16-byte record naming the kind of
# peer, its number, the session and the record's own offset, so that an echoed byte of another
# session, a byte twice or one out of order shows wherever it turns up.
RECORD = 16
LETTERS = {"held": b"H", "queued": b"Q", "unread": b"N", "halfclosed": b"C", "streaming": b"S"}
# No progress this long while something is owed: the session hangs. Longer than the sessions of
# all the other peers queued ahead of one can take together (about 30 s at worst).
HUNG_S = 40.0


def marks(prefix, start, count):
    """Bytes `start` to `start + count` of a session's stream: records of its 7-byte prefix, the
    record's offset in 8 digits and a line feed."""
    first = start // RECORD
    stop = (start + count + RECORD - 1) // RECORD
    data = b"".join(b"%s%08d\n" % (prefix, at * RECORD) for at in range(first, stop))
    return data[start - first * RECORD:][:count]


class Ended(Exception):
    """How a session came to its end: clean, reset, refused, hung or wrong."""


class Session:
    """One connection of a soak peer and what it sent, had echoed and saw."""

    def __init__(self, to, kind, peer, number):
        self.to = to
        self.prefix = LETTERS[kind] + b"%d%05d" % (peer, number)
        self.log = {"kind": kind, "peer": peer, "session": number, "start": time.time(),
                    "connected": None, "mismatch": None}
        self.fd = None
        self.sent = 0
        self.echoed = 0
        self.shut = False
        self.began = time.monotonic()
        self.progress = self.began
        self.stall = 0.0

    def open(self, window=None):
        try:
            self.fd = connect(self.to, timeout=HUNG_S, window=window)
        except ConnectionRefusedError:
            raise Ended("refused") from None
        except socket.timeout:
            raise Ended("hung") from None
        self.fd.setblocking(False)
        self.log["connected"] = time.time()
        self.progress = time.monotonic()

    def pump(self, target=None, reading=True, seconds=None, done=lambda: False, waiting=True):
        """Sends the stream up to `target` bytes (a count, or a function of nothing giving one)
        and, when `reading`, reads and checks the echo, until `done()` or `seconds` have passed.
        The connection's end or reset, a wrong byte, or no progress for HUNG_S while something is
        owed (`waiting`: not a pause of the peer's own) ends the session with Ended."""
        until = time.monotonic() + seconds if seconds is not None else None
        while not done():
            now = time.monotonic()
            if until is not None and now >= until:
                return
            if now - self.began > SESSION_CAP_S:
                raise Ended("hung")
            goal = target() if callable(target) else (self.sent if target is None else target)
            owed = self.sent < goal or self.echoed < self.sent or self.shut
            if owed and waiting:
                self.stall = max(self.stall, now - self.progress)
                if now - self.progress > HUNG_S:
                    raise Ended("hung")
            else:
                self.progress = now
            # Not reading, it still watches for the connection's end until an echo waits.
            watched = reading or not self.served()
            readable, writable, _ = select.select([self.fd] if watched else [],
                                                  [self.fd] if self.sent < goal else [], [], 0.05)
            try:
                if writable:
                    piece = marks(self.prefix, self.sent, min(goal - self.sent, 16384))
                    try:
                        self.sent += self.fd.send(piece)
                        self.progress = time.monotonic()
                    except BlockingIOError:
                        pass
                if readable and not reading:
                    if self.fd.recv(1, socket.MSG_PEEK) == b"":
                        raise Ended("clean")
                elif readable:
                    try:
                        got = self.fd.recv(65536)
                    except BlockingIOError:
                        continue
                    if not got:
                        raise Ended("clean")
                    self.check(got)
            except (ConnectionResetError, BrokenPipeError):
                raise Ended("reset") from None

    def check(self, got):
        """The echo goes on exactly where it was: the next bytes this session sent, no others."""
        own = marks(self.prefix, self.echoed, min(len(got), self.sent - self.echoed))
        if got != own:
            at = next((i for i in range(len(own)) if own[i] != got[i]), len(own))
            self.log["mismatch"] = {
                "offset": self.echoed + at,
                "wanted": marks(self.prefix, self.echoed + at, 48).decode("latin-1"),
                "got": got[at:at + 48].decode("latin-1")}
            raise Ended("wrong")
        self.echoed += len(got)
        self.progress = time.monotonic()

    def served(self):
        """Echoed bytes wait unread: the server has taken this connection."""
        import fcntl
        import struct
        import termios
        return struct.unpack("i", fcntl.ioctl(self.fd, termios.FIONREAD, b"\0\0\0\0"))[0] > 0

    def finish(self):
        """Ends its side and reads to the end."""
        try:
            self.fd.shutdown(socket.SHUT_WR)
        except OSError:  # not connected: reset meanwhile
            raise Ended("reset") from None
        self.shut = True
        self.pump()


def held_session(session, chooser, deadline):
    """A short request, its echo, then silent and connected 1-5 s, another, once or twice more."""
    session.open()
    rounds = chooser.randint(2, 3)
    for turn in range(rounds):
        goal = session.sent + chooser.randint(8, 64)
        session.pump(goal, done=lambda goal=goal: session.echoed == goal)
        if turn == 0:
            SERVING.set()
        if turn == rounds - 1 or time.time() >= deadline:
            break
        session.pump(seconds=chooser.uniform(1, 5))
    session.finish()


def sent_and_ended(most):
    """Sends up to `most` bytes, ends its side at once, then reads it all back: queued behind the
    one served (a held one, typically), or half-closed at once while served."""
    def session_of(session, chooser, deadline):
        del deadline
        session.open()
        goal = chooser.randint(16, most)
        session.pump(goal, done=lambda: session.sent == goal)
        session.finish()
    return session_of


def unread_session(session, chooser, deadline):
    """A 4 KiB window, 100-300 KB sent without reading, for 2-6 s from when the server takes it
    (its first echo waiting), so that the server blocks mid-answer; then reads everything owed."""
    session.open(window=4096)
    goal = chooser.randint(100_000, 300_000)
    session.pump(goal, reading=False, done=session.served)
    unread_for = min(chooser.uniform(2, 6), max(deadline - time.time(), 0.5))
    session.pump(goal, reading=False, seconds=unread_for, waiting=False)
    # A window that grows again, or the server's corked bursts would come a few KiB at a time.
    session.fd.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
    session.pump(goal, done=lambda: session.echoed == goal)
    session.finish()


def streaming_session(session, chooser, deadline):
    """Sends and reads at once, about 1 MB a second, for 1-4 s from its first echo."""
    session.open()
    session.pump(RECORD, done=lambda: session.echoed > 0)
    began = time.monotonic()
    session.pump(lambda: RECORD + int((time.monotonic() - began) * 1_000_000),
                 seconds=min(chooser.uniform(1, 4), max(deadline - time.time(), 0.5)))
    session.finish()


SESSIONS = {"held": held_session, "queued": sent_and_ended(2048), "unread": unread_session,
            "halfclosed": sent_and_ended(32768), "streaming": streaming_session}
# One peer of each kind, and a second that reads nothing, queued behind the first at times.
PEERS = ["held", "queued", "unread", "unread", "halfclosed", "streaming"]
SERVING = None  # set while a held peer's session is being served


def soak_peers(to, seconds, seed):
    """The PEERS, each looping sessions, a fresh connection each, until `seconds` have
    passed. Prints a line once they run, then a JSON line for each session as it ends: what it
    sent, what came back and how it ended."""
    import json
    import random
    import threading
    global SERVING
    SERVING = threading.Event()
    deadline = time.time() + float(seconds)
    lock = threading.Lock()

    def peer(number, kind):
        chooser = random.Random(int(seed) * 10 + number)
        for count in range(100000):
            if time.time() >= deadline:
                break
            if kind == "queued":
                SERVING.wait(3)
            session = Session(to, kind, number, count)
            try:
                SESSIONS[kind](session, chooser, deadline)
                how = "open"  # never: every session reads to its end
            except Ended as end:
                how = str(end)
            except (ConnectionResetError, BrokenPipeError):
                how = "reset"  # met before any read: at its connect or first send
            except OSError as error:
                how = "error %s" % (errno.errorcode.get(error.errno, error.errno),)
            finally:
                if kind == "held":
                    SERVING.clear()
                if session.fd is not None:
                    session.fd.close()
            session.log.update(end=time.time(), how=how, sent=session.sent,
                               echoed=session.echoed, shut=session.shut,
                               stall=round(session.stall, 2))
            with lock:
                print(json.dumps(session.log), flush=True)
            if how == "refused":
                time.sleep(0.2)  # the port closed: no flood meanwhile

    threads = [threading.Thread(target=peer, args=(number, kind))
               for number, kind in enumerate(PEERS)]
    print("running", flush=True)
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()


def outcome_of(log):
    """whole, cut (a reset first), wrong (a byte not its own, in place), early_end (a clean end
    before it had ended its side and had every byte back), refused, hung or error."""
    how = log["how"]
    if how == "clean":
        return "whole" if log["shut"] and log["echoed"] == log["sent"] else "early_end"
    if how == "reset":
        return "cut"
    if how in ("wrong", "refused", "hung"):
        return how
    return "error"


# What each outcome needs to be expected, the one place the soak's verdict is kept: a cut needs
# a stop or a kill during the session (the manager closes its store then: the peer served, and
# with the service alone those queued, are reset); a refused connect, the port closed (the service
# alone stopped, until it is started again); a session whole, nothing; everything else, never.
# Restarts and upgrades excuse nothing.
def stopped_during(log, faults, closed):
    del closed
    return any(kind in ("stop", "kill") and began <= log["end"] and ended >= log["start"]
               for began, kind, ended in faults)


def port_closed(log, faults, closed):
    del faults
    return any(began <= log["start"] <= ended for began, ended in closed)


EXPECTED_IF = {"whole": lambda log, faults, closed: True, "cut": stopped_during,
               "refused": port_closed, "wrong": None, "early_end": None, "hung": None,
               "error": None}


def soak_verdict(sessions_path, faults_path, mode):
    """Classifies every session of soak_peers against the faults the check logged (start in ns,
    kind, ms, exit status, state after; one a line), for `mode` (`service`: the port closed from
    each stop or kill until the next start; `socket`: never). Prints counts per kind of peer, what
    preceded the cut and refused sessions, the unexpected ones in full, and last the counts of
    unexpected outcomes."""
    import json
    with open(faults_path, encoding="ascii") as rows:
        faults = []
        faults_shown = []
        for row in rows:
            began, kind, took, status = row.split()[:4]
            faults.append((int(began) / 1e9, kind, int(began) / 1e9 + int(took) / 1000))
            faults_shown.append(faults[-1] + (status,))
    closed = []
    if mode == "service":
        for began, kind, _ in faults:
            if kind in ("stop", "kill"):
                starts = [ended for at, later, ended in faults if later == "start" and at > began]
                closed.append((began, starts[0] if starts else float("inf")))
    with open(sessions_path, encoding="ascii") as lines:
        logs = [json.loads(line) for line in lines if line.startswith("{")]
    if not logs:
        print("no session ended")
        print("unexpected missing 1")
        return
    zero = min(log["start"] for log in logs)

    def preceding(at):
        kinds = [kind for began, kind, _ in faults if began <= at]
        return kinds[-1] if kinds else "none"

    def account(log):
        outcome = outcome_of(log)
        excuse = EXPECTED_IF[outcome]
        return outcome, excuse is not None and excuse(log, faults, closed)

    unexpected = {outcome: [] for outcome in EXPECTED_IF if outcome != "whole"}
    for kind in SESSIONS:
        mine = [log for log in logs if log["kind"] == kind]
        counts = {}
        for log in mine:
            outcome, expected = account(log)
            counts[outcome] = counts.get(outcome, 0) + 1
            if not expected:
                unexpected[outcome].append(log)
        print("%s: %d sessions: %s; longest stall %.1f s" % (
            kind, len(mine), ", ".join("%s %d" % item for item in sorted(counts.items())),
            max((log["stall"] for log in mine), default=0)))
    for outcome, when in (("cut", "end"), ("refused", "start")):
        before = {}
        for log in logs:
            if outcome_of(log) == outcome:
                key = (preceding(log[when]), account(log)[1])
                before[key] = before.get(key, 0) + 1
        if before:
            print("%s, by the fault before: %s" % (outcome, ", ".join(
                "%s %d%s" % (fault, count, "" if expected else " (unexpected)")
                for (fault, expected), count in sorted(before.items()))))
    for outcome, found in unexpected.items():
        for log in sorted(found, key=lambda log: log["start"])[:3]:
            text = "UNEXPECTED %s: %s peer %d session %d, %.2f s to %.2f s: sent %d B%s, " \
                   "echoed %d B, then %s" % (
                       outcome, log["kind"], log["peer"], log["session"], log["start"] - zero,
                       log["end"] - zero, log["sent"], " and ended its side" if log["shut"] else "",
                       log["echoed"], log["how"])
            if log["mismatch"]:
                text += "; at byte %d wanted %r, got %r" % (
                    log["mismatch"]["offset"], log["mismatch"]["wanted"], log["mismatch"]["got"])
            near = ["%s %.2f s (%.2f s)" % (kind, began - zero, ended - began)
                    for began, kind, ended in faults if log["start"] - 5 <= began <= log["end"]]
            print(text + "; faults from 5 s before: " + (", ".join(near) or "none"))
        if len(found) > 3:
            print("(%d more %s)" % (len(found) - 3, outcome))
    unexpected = {outcome: len(found) for outcome, found in unexpected.items()}
    line = "faults (s from the first session, kind, s taken, exit status if not 0):"
    for began, kind, ended, status in faults_shown:
        item = " %.2f %s %.2f%s," % (began - zero, kind, ended - began,
                                    "" if status == "0" else " " + status)
        if len(line) + len(item) > 98:
            print(line)
            line = " "
        line += item
    print(line.rstrip(","))
    print("unexpected", " ".join("%s %d" % item for item in unexpected.items()))


COMMANDS.update(soak_peers=soak_peers, soak_verdict=soak_verdict)
