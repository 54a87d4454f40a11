#!/usr/bin/env python3
"""Runs a Windows test program under Wine with a COM port it can test.

Usage: pty_relay.py COMMAND [ARGUMENT]...

Windows has no pseudo-terminals, but Wine opens COMn through the link
$WINEPREFIX/dosdevices/comN, and a link to a pseudo-terminal works like a
line. This script listens on a loopback TCP port, named to the program in
NIMBRO_SERIAL_RELAY=127.0.0.1:PORT, and answers each connection by its first
byte:

  P  makes a pseudo-terminal pair, links a free dosdevices/comN to its port
     side and answers "COMn COMm\\n" (m: a port number with no link, for a
     missing port); then carries bytes both ways between the connection and
     the controlling side, unchanged. When the connection closes the pair
     goes, as a line whose other side went away.
  S  answers "BAUD STOPBITS\\n": the speed and stop bits the controlling side
     of the newest pair sees.
  B  makes two pairs, links a free comN to each port side and answers
     "COMa COMb\\n"; then carries bytes both ways between the two controlling
     sides, as a null-modem cable joins two ports, until the connection
     closes. Then both pairs go. A program that closes COMa leaves COMb's
     line open and silent, since the relay keeps both port sides open.

The exit status is the program's.
"""

import os
import pty
import select
import socket
import subprocess
import sys
import termios
import threading
import tty

FIRST_PORT = 200  # well above the ports Wine finds on the machine
LAST_PORT = 256

SPEEDS = {getattr(termios, "B%d" % b): b for b in
          (300, 600, 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400)}


# Holds a terminal as the controlling terminal of a session of its own.
# Wine opens a COM port's device in the wineserver, a session leader, and
# without O_NOCTTY: a pair nobody controls would become the wineserver's
# terminal, and the wineserver would get the hangup when the pair goes.
HOLDER = """
import fcntl, signal, sys, termios
signal.signal(signal.SIGHUP, signal.SIG_IGN)
fcntl.ioctl(0, termios.TIOCSCTTY, 0)
sys.stdout.write("held\\n")
sys.stdout.flush()
signal.pause()
"""


def dosdevices():
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "dosdevices")


def claim_link(target):
    """Links the first free comN to target; returns (N, link path)."""
    folder = dosdevices()
    for n in range(FIRST_PORT, LAST_PORT + 1):
        link = os.path.join(folder, "com%d" % n)
        if os.path.islink(link) and not os.path.exists(link) and \
                os.readlink(link).startswith("/dev/pts/"):
            os.unlink(link)  # left by a run that was killed
        try:
            os.symlink(target, link)
            return n, link
        except FileExistsError:
            continue
    raise RuntimeError("no free COM port number in %s" % folder)


def missing_port():
    folder = dosdevices()
    for n in range(LAST_PORT, FIRST_PORT - 1, -1):
        if not os.path.lexists(os.path.join(folder, "com%d" % n)):
            return n
    raise RuntimeError("no COM port number without a link in %s" % folder)


class Line:
    """A pseudo-terminal pair whose port side a free comN links to."""

    lock = threading.Lock()
    live = set()  # what the program's end must not leave behind

    def __init__(self):
        self.master, self.port = pty.openpty()
        # Raw from the start: bytes that arrive before the program sets the
        # line are neither echoed nor edited. The relay keeps the port side
        # open, so that the pair lives between the program's opens.
        tty.setraw(self.port)
        self.holder = subprocess.Popen([sys.executable, "-c", HOLDER], stdin=self.port,
                                       stdout=subprocess.PIPE, start_new_session=True)
        self.holder.stdout.readline()
        try:
            self.n, self.link = claim_link(os.ttyname(self.port))
        except BaseException:
            self.link = None
            self.close()
            raise
        with Line.lock:
            Line.live.add(self)

    def close(self):
        with Line.lock:
            if self.master is None:
                return
            Line.live.discard(self)
            self._close()

    @staticmethod
    def close_all():
        """A connection still open when the program ends, or one whose
        thread is still ending, leaves no holder and no link behind."""
        with Line.lock:
            for line in list(Line.live):
                line._close()
            Line.live.clear()

    def _close(self):
        if self.link:
            os.unlink(self.link)
        os.close(self.master)
        os.close(self.port)
        self.master = None
        self.holder.kill()
        self.holder.wait()


class Relay:
    def __init__(self):
        self.lock = threading.Lock()
        self.master = None  # the newest pair's controlling side

    def serve(self, listener):
        while True:
            conn, _ = listener.accept()
            threading.Thread(target=self.answer, args=(conn,), daemon=True).start()

    def answer(self, conn):
        with conn:
            kind = conn.recv(1)
            if kind == b"P":
                self.pair(conn)
            elif kind == b"B":
                self.bridge(conn)
            elif kind == b"S":
                with self.lock:
                    master = self.master
                try:
                    attrs = termios.tcgetattr(master)
                    stop = 2 if attrs[2] & termios.CSTOPB else 1
                    conn.sendall(b"%d %d\n" % (SPEEDS.get(attrs[5], 0), stop))
                except (OSError, TypeError, termios.error):
                    conn.sendall(b"0 0\n")

    def pair(self, conn):
        line = Line()
        with self.lock:
            self.master = line.master
        try:
            conn.sendall(b"COM%d COM%d\n" % (line.n, missing_port()))
            self.carry(conn, line.master)
        finally:
            with self.lock:
                if self.master == line.master:
                    self.master = None
            line.close()

    @staticmethod
    def bridge(conn):
        a = Line()
        try:
            b = Line()
        except BaseException:
            a.close()
            raise
        try:
            conn.sendall(b"COM%d COM%d\n" % (a.n, b.n))
            ends = {a.master: b.master, b.master: a.master}
            while True:
                ready, _, _ = select.select([conn] + list(ends), [], [])
                if conn in ready and not conn.recv(4096):
                    return
                for master in ends:
                    if master in ready:
                        os.write(ends[master], os.read(master, 4096))
        finally:
            a.close()
            b.close()

    @staticmethod
    def carry(conn, master):
        while True:
            ready, _, _ = select.select([conn, master], [], [])
            if conn in ready:
                data = conn.recv(4096)
                if not data:
                    return
                os.write(master, data)
            if master in ready:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    return
                conn.sendall(data)


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    threading.Thread(target=Relay().serve, args=(listener,), daemon=True).start()
    env = dict(os.environ)
    env["NIMBRO_SERIAL_RELAY"] = "127.0.0.1:%d" % listener.getsockname()[1]
    status = subprocess.call(sys.argv[1:], env=env)
    Line.close_all()
    sys.exit(status)


if __name__ == "__main__":
    main()
