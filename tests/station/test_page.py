#!/usr/bin/python3
"""The station's page in a real browser: Debian's Chromium, headless, driven through
chromium-driver by Selenium, against a station of four simulated slots:

  S1  an ordinary unit whose serial is markup  (shown as those characters)
  S2  a unit answering the boot loader a wrong sum  (failed: its message and cure)
  S3  a unit that drops off the bus mid-firmware  (removed)
  S4  an ordinary unit

The four tiles appear, a progress bar advances, S2 shows its failure, S3 shows as
removed, a serial's history lists its rows, and the page reconnects by itself when the
station is started again. Usage: test_page.py STATION_BIN [SCREENSHOT.png]
"""
import base64
import csv
import io
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.parse
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

MARKUP = "<img src=x onerror=alert(1)>"
DEADLINE = 120  # seconds for any one condition: generous, for a loaded machine


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Station:
    """trm415-station with --json; its lines are gathered on a thread."""

    def __init__(self, binary, port, records):
        self.lines = []
        # One unit a slot: each tile keeps its verdict.
        args = [binary, "--simulate=4", "--units=4", "--json", "--no-bell", "--timeout=300",
                "--records=" + records, "--http=127.0.0.1:%d" % port,
                "--simulate-slot=1:serial=" + MARKUP,
                "--simulate-slot=2:wrong-sum=start-program,serial=U-2",
                "--simulate-slot=3:drop=data:40,serial=U-3",
                "--simulate-slot=4:serial=U-4"]
        self.p = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        threading.Thread(target=self._read, daemon=True).start()
        until(lambda: any("http" in line for line in self.lines), "the station serves its page")

    def _read(self):
        for raw in self.p.stdout:
            try:
                self.lines.append(json.loads(raw))
            except ValueError:
                pass

    def stop(self):
        if self.p.poll() is None:
            self.p.send_signal(signal.SIGTERM)
            time.sleep(0.2)
            self.p.send_signal(signal.SIGTERM)
        self.p.wait(timeout=60)


def until(condition, what, deadline=DEADLINE):
    end = time.monotonic() + deadline
    while time.monotonic() < end:
        try:
            if condition():
                return
        except Exception:  # the page may be mid-redraw
            pass
        time.sleep(0.1)
    raise AssertionError("never happened: " + what)


def raw(port, data, wait_close=True):
    """Sends `data` on a fresh connection; what came back until it closed (or 5 s)."""
    with socket.create_connection(("127.0.0.1", port)) as s:
        s.sendall(data)
        s.settimeout(5)
        out = b""
        try:
            while True:
                d = s.recv(65536)
                if not d:
                    break
                out += d
                if not wait_close and b"\r\n\r\n" in out:
                    break
        except socket.timeout:
            pass
        return out


def upgrade(port, origin):
    key = base64.b64encode(os.urandom(16))
    return (b"GET /live HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
            b"Connection: Upgrade\r\nSec-WebSocket-Key: %s\r\nSec-WebSocket-Version: 13\r\n"
            b"Origin: %s\r\n\r\n" % (port, key, origin))


def check_http(port):
    """The API's shape and limits, without a browser."""
    base = "http://127.0.0.1:%d" % port

    def get(path):
        try:
            with urllib.request.urlopen(base + path, timeout=30) as r:
                return r.status, dict(r.headers), r.read()
        except urllib.error.HTTPError as e:
            return e.code, dict(e.headers), e.read()
    status, headers, _ = get("/")
    assert status == 200 and "default-src 'self'" in headers["Content-Security-Policy"]
    assert not any(h.lower().startswith("access-control") for h in headers)
    for path, want in (("/nothing", 404), ("/api/records?bogus=1", 400),
                       ("/api/records?since=yesterday", 400), ("/api/records?limit=0", 400),
                       ("/api/records?serial=" + "x" * 200, 400), ("/live", 400)):
        assert get(path)[0] == want, (path, get(path)[0])
    slots = json.loads(get("/api/slots")[2])
    assert [s["slot"] for s in slots["slots"]] == ["S1", "S2", "S3", "S4"], slots
    metrics = get("/metrics")[2].decode()
    assert "trm415_updates_total{result=\"ok\"}" in metrics and "trm415_slots{state=" in metrics
    assert raw(port, b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 10000 +
               b"\r\n\r\n").startswith(b"HTTP/1.1 431")
    assert raw(port, b"POST /api/slots HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n"
               b"\r\n" + b"a" * 1000).startswith(b"HTTP/1.1 413")
    # Another site's script gets no feed: closed at once, before any message.
    evil = raw(port, upgrade(port, b"http://evil.example"))
    assert b"\x88" in evil and b"draining" not in evil, evil
    # Feeds opened and dropped do not use the connections up.
    for _ in range(100):
        raw(port, upgrade(port, b"http://127.0.0.1:%d" % port), wait_close=False)
    assert get("/api/slots")[0] == 200


def check_records(port):
    """Pages through the records by their cursor, and downloads them whole in chunks."""
    base = "http://127.0.0.1:%d" % port

    def get(path):
        with urllib.request.urlopen(base + path, timeout=30) as r:
            return r.status, dict(r.headers), r.read()
    first = json.loads(get("/api/records")[2])
    ids = [r["id"] for r in first["records"]]
    assert first["matching"] == len(ids) >= 4 and not first["matching_more"], first
    # One row a page, older and older, each page's cursor from the last: the same rows
    # in the same order, none twice.
    paged, before = [], None
    while True:
        page = json.loads(get("/api/records?limit=1" + ("&before=" + urllib.parse.quote(before)
                                                        if before else ""))[2])
        paged += [r["id"] for r in page["records"]]
        before = page.get("next")
        if not before:
            break
    assert paged == ids, (paged, ids)
    status, headers, body = get("/api/records.csv")
    assert status == 200 and headers.get("Transfer-Encoding") == "chunked", headers
    assert "nosniff" in headers.get("X-Content-Type-Options", "")
    rows = list(csv.reader(io.StringIO(body.decode())))
    assert rows[0][0] == "id" and [r[0] for r in rows[1:]] == ids, rows
    assert all(len(r) == len(rows[0]) for r in rows)
    status, headers, body = get("/api/records.jsonl?result=failed")
    lines = [json.loads(line) for line in body.decode().splitlines()]
    assert lines and all(line["tone"] == "bad" for line in lines), lines


def tile(driver, label):
    for t in driver.find_elements(By.CSS_SELECTOR, "#tiles .tile"):
        if t.find_element(By.CLASS_NAME, "label").text == label:
            return t
    raise LookupError(label)


def main():
    binary = sys.argv[1]
    shot = sys.argv[2] if len(sys.argv) > 2 else None
    work = tempfile.mkdtemp(prefix="trm415-page-")
    os.environ.setdefault("STATE_DIRECTORY", work)
    port = free_port()
    records = os.path.join(work, "records.sqlite")
    station = Station(binary, port, records)
    check_http(port)

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for a in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
              "--window-size=1400,900", "--user-data-dir=" + os.path.join(work, "chromium")):
        options.add_argument(a)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        url = "http://127.0.0.1:%d/" % port
        driver.get(url)
        until(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#tiles .tile")) == 4,
              "four tiles")
        until(lambda: driver.find_element(By.ID, "link").text == "live", "the page is live")

        # A progress bar advances.
        seen = []

        def advancing():
            p = int(tile(driver, "S4").find_element(By.CLASS_NAME, "bar").get_attribute(
                "data-percent"))
            if p > 0 and (not seen or p > seen[-1]):
                seen.append(p)
            return len(seen) >= 2
        until(advancing, "S4's progress bar advances")

        # The wrong sum: S2 fails, with the message and the cure.
        def failed():
            t = tile(driver, "S2")
            cls = t.get_attribute("class")
            return ("failed" in cls and t.find_element(By.CLASS_NAME, "verdict").text and
                    t.find_element(By.CLASS_NAME, "cure").text)
        until(failed, "S2 shows its failure")
        s2 = tile(driver, "S2")
        print("S2:", s2.get_attribute("class"), "|", s2.find_element(By.CLASS_NAME, "verdict").text,
              "|", s2.find_element(By.CLASS_NAME, "cure").text)

        # The dropped unit shows as removed.
        until(lambda: "removed" in tile(driver, "S3").get_attribute("class"), "S3 removed")
        s3 = tile(driver, "S3")
        assert s3.find_element(By.CLASS_NAME, "state").text.lower() == "removed"
        assert "plug the unit back" in s3.find_element(By.CLASS_NAME, "cure").text

        # Markup from a unit is text.
        s1 = tile(driver, "S1")
        assert s1.find_element(By.CLASS_NAME, "serial").text == "serial " + MARKUP, \
            s1.find_element(By.CLASS_NAME, "serial").text
        assert not driver.find_elements(By.CSS_SELECTOR, "#tiles img")
        try:
            driver.switch_to.alert
            raise AssertionError("a unit's serial ran as script")
        except NoAlertPresentException:
            pass
        if shot:
            time.sleep(1.5)  # the elapsed times tick once more
            driver.save_screenshot(shot)

        # A serial's history, one click from the records.
        driver.get(url + "#/records?result=failed")
        until(lambda: driver.find_elements(By.CSS_SELECTOR, "#records a.serial-link"),
              "the failed rows are listed")
        link = [a for a in driver.find_elements(By.CSS_SELECTOR, "#records a.serial-link")
                if a.text == "U-2"][0]
        link.click()
        until(lambda: "serial=U-2" in driver.current_url, "the history's address")

        def history():
            rows = driver.find_elements(By.CSS_SELECTOR, "#records tbody tr")
            serials = {r.find_elements(By.TAG_NAME, "td")[3].text for r in rows}
            return rows and serials == {"U-2"}
        until(history, "U-2's history lists its rows alone")
        check_records(port)
        assert "U-2" in driver.find_element(By.ID, "records-note").text

        # The markup serial in the records is text too.
        # (its row has its serial once S1's update has ended)
        driver.get(url + "#/records?slot=S1")

        def listed():
            time.sleep(1)
            driver.refresh()
            return any(a.text == MARKUP for a in
                       driver.find_elements(By.CSS_SELECTOR, "#records a.serial-link"))
        until(listed, "the markup serial listed as text")
        assert not driver.find_elements(By.CSS_SELECTOR, "#records img")

        # The line: this station, registered in its records, with its four slots.
        driver.get(url + "#/line")
        until(lambda: driver.find_elements(By.CSS_SELECTOR, "#stations .station .chip"),
              "the line lists the station")
        assert len(driver.find_elements(By.CSS_SELECTOR, "#stations .station")) == 1
        # Up for more than 10 s by now, and beating: not stale.
        assert not driver.find_elements(By.CSS_SELECTOR, "#stations .station.stale")
        assert len(driver.find_elements(By.CSS_SELECTOR, "#stations .chip")) == 4

        # The station restarts: the page reconnects by itself.
        driver.get(url)
        until(lambda: driver.find_element(By.ID, "link").text == "live", "live again")
        station.stop()
        until(lambda: driver.find_element(By.ID, "link").text != "live", "the page sees it go")
        station = Station(binary, port, records)
        until(lambda: driver.find_element(By.ID, "link").text == "live", "the page reconnects")
        until(lambda: len(driver.find_elements(By.CSS_SELECTOR, "#tiles .tile")) == 4,
              "four tiles after the restart")
        print("page test: all checks passed")
    finally:
        driver.quit()
        station.stop()


if __name__ == "__main__":
    main()
