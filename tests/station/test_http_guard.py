#!/usr/bin/python3
"""The station's page on a factory network, tried over raw sockets as an attacker would:
a rebound Host name, connections that hold places without asking anything, heads that
trickle in, WebSockets by the dozen, and a bad request behind good ones.
Usage: test_http_guard.py STATION_BIN
"""
import base64
import os
import re
import socket
import subprocess
import sys
import tempfile
import time

DEADLINE = 120  # seconds for any one condition: generous, for a loaded machine
ALIAS = "line-7.example"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def until(condition, what):
    end = time.time() + DEADLINE
    while time.time() < end:
        try:
            got = condition()
        except OSError:  # not listening yet
            got = None
        if got:
            return got
        time.sleep(0.2)
    raise AssertionError("never happened: " + what)


class Page:
    def __init__(self, port):
        self.port = port

    def connect(self, source="127.0.0.1"):
        s = socket.socket()
        s.bind((source, 0))
        s.connect(("127.0.0.1", self.port))
        return s

    def exchange(self, data, source="127.0.0.1", wait=10):
        """Sends `data` on a fresh connection; what came back until it closed or went
        quiet for a second after something came."""
        with self.connect(source) as s:
            s.sendall(data)
            s.settimeout(wait)
            out = b""
            try:
                while True:
                    d = s.recv(65536)
                    if not d:
                        break
                    out += d
                    s.settimeout(1)
            except (socket.timeout, ConnectionResetError):
                pass
            return out

    def get(self, path, host=None, method=b"GET", source="127.0.0.1", extra=b""):
        host = host if host is not None else b"127.0.0.1:%d" % self.port
        return self.exchange(b"%s %s HTTP/1.1\r\nHost: %s\r\n%sConnection: close\r\n\r\n"
                             % (method, path.encode(), host, extra), source)


def statuses(answer):
    return [int(s) for s in re.findall(rb"HTTP/1\.1 (\d{3})", answer)]


def upgrade(port, host=None, origin=None):
    host = host or b"127.0.0.1:%d" % port
    origin = origin or b"http://" + host
    key = base64.b64encode(os.urandom(16))
    return (b"GET /live HTTP/1.1\r\nHost: %s\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
            b"Sec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\nOrigin: %s\r\n\r\n"
            % (host, key, origin))


def check_hosts(page):
    """Only the names the station serves are answered."""
    for host in (b"127.0.0.1:%d" % page.port, b"localhost:%d" % page.port, b"localhost",
                 b"[::1]:%d" % page.port, ALIAS.encode() + b":%d" % page.port,
                 ALIAS.upper().encode(), socket.gethostname().encode()):
        answer = page.get("/api/records", host)
        assert statuses(answer) == [200], (host, answer[:200])
    for host in (b"evil.example:%d" % page.port, b"evil.example", b"127.0.0.1.evil.example",
                 b"line-7.example.evil", b"[::2]", b"localhost:80x"):
        answer = page.get("/api/records", host)
        assert statuses(answer) == [421], (host, answer[:200])
        assert b'"records"' not in answer and b"X-Frame-Options: DENY" in answer
    # A WebSocket of a rebinding site: its Host and Origin are both its own.
    answer = page.exchange(upgrade(page.port, b"evil.example:%d" % page.port))
    assert statuses(answer) == [421] and b"draining" not in answer, answer[:200]
    assert statuses(page.exchange(b"GET / HTTP/1.1\r\n\r\n")) == [400]
    assert statuses(page.exchange(b"GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil\r\n\r\n")) \
        == [400]


def check_small_points(page):
    """404 with the security headers, HEAD as GET without a body, and a bad request
    behind good ones on one connection."""
    answer = page.get("/nothing")
    assert statuses(answer) == [404] and b"Content-Security-Policy: default-src" in answer
    got = page.get("/page.js")
    head = page.get("/page.js", method=b"HEAD")
    body = got.split(b"\r\n\r\n", 1)[1]
    assert statuses(head) == [200] and head.endswith(b"\r\n\r\n"), head[-200:]
    assert b"Content-Length: %d\r\n" % len(body) in head and len(body) > 1000
    # Requests sent together, each answered in turn, an answer from the records (read
    # on a thread) among them, and a bad one last.
    host = b"Host: localhost\r\n"
    together = (b"HEAD /api/slots HTTP/1.1\r\n" + host + b"\r\n" +
                b"GET /api/line HTTP/1.1\r\n" + host + b"\r\n" +
                b"GET /favicon.ico HTTP/1.1\r\n" + host + b"\r\n" +
                b"GET /api/slots HTTP/1.1\r\nHost: evil.example\r\n\r\n")
    answer = page.exchange(together)
    assert statuses(answer) == [200, 200, 204, 421], answer
    assert answer.count(b'"stations"') == 1 and b'"draining"' not in answer
    big = b"GET /favicon.ico HTTP/1.1\r\n" + host + b"\r\nGET / HTTP/1.1\r\n" + host + \
        b"X-Big: " + b"a" * 10000 + b"\r\n\r\n"
    assert statuses(page.exchange(big)) == [204, 431]


def check_connections(page):
    """One address cannot take every place, and places come back by themselves."""
    quiet = []
    for _ in range(70):
        try:
            quiet.append(page.connect())
        except OSError:
            break
    # The address that holds its share is turned away; another is answered at once.
    until(lambda: statuses(page.get("/api/slots")) == [503], "127.0.0.1 turned away")
    assert statuses(page.get("/api/slots", source="127.0.0.2")) == [200]
    # The quiet ones are closed when their head is overdue, and the address is answered.
    until(lambda: statuses(page.get("/api/slots")) == [200], "127.0.0.1 answered again")
    for s in quiet:
        s.close()
    # A head that trickles in is cut off with 408.
    with page.connect("127.0.0.3") as s:
        s.settimeout(0.5)
        trickle = iter(b"GET / HTTP/1.1\r\nHost: localhost\r\nX-Slow: " + b"a" * 1000)
        got = b""
        end = time.time() + DEADLINE
        while not got and time.time() < end:
            try:
                s.sendall(bytes([next(trickle)]))
                got = s.recv(200)
            except socket.timeout:
                time.sleep(0.5)
            except (BrokenPipeError, ConnectionResetError):
                break
        assert statuses(got) == [408], got
    # An idle keep-alive connection is closed.
    with page.connect() as s:
        s.sendall(b"GET /favicon.ico HTTP/1.1\r\nHost: localhost\r\n\r\n")
        s.settimeout(DEADLINE)
        got = s.recv(1000)
        while True:
            d = s.recv(1000)
            if not d:
                break
            got += d
        assert statuses(got) == [204]
    # WebSockets have a cap of their own, per address: the rest are refused, and the page
    # still answers that address.
    feeds = []
    for _ in range(12):
        s = page.connect("127.0.0.4")
        s.sendall(upgrade(page.port))
        s.settimeout(DEADLINE)
        feeds.append((s, s.recv(200)))
    taken = [st for _, got in feeds for st in statuses(got)]
    assert taken.count(101) == 8 and taken.count(503) == 4, taken
    assert statuses(page.get("/api/slots", source="127.0.0.4")) == [200]
    assert statuses(page.exchange(upgrade(page.port), source="127.0.0.5"))[:1] == [101]
    for s, _ in feeds:
        s.close()


def main():
    binary = sys.argv[1]
    port = free_port()
    with tempfile.TemporaryDirectory() as tmp:
        station = subprocess.Popen(
            [binary, "--simulate=1", "--units=100000", "--no-bell", "--json",
             "--records=" + os.path.join(tmp, "r.sqlite"), "--state-dir=" + tmp,
             "--http=127.0.0.1:%d" % port, "--http-host=" + ALIAS],
            stdout=subprocess.DEVNULL)
        try:
            page = Page(port)
            until(lambda: statuses(page.get("/api/slots")) == [200], "the page answers")
            check_hosts(page)
            check_small_points(page)
            check_connections(page)
        finally:
            station.terminate()
            station.wait(timeout=60)
    print("the page's guard holds")


if __name__ == "__main__":
    main()
