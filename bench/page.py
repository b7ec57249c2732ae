#!/usr/bin/python3
"""The station's page, measured: trm415-station --simulate=8 --units=16 with the page open
in headless Chromium, against the same run without --http. Prints the station's own CPU
in each (goal: the page costs at most 1 % of one core more), the page's update latency
from the station seeing a runner's event to the tile drawn (median and 95th percentile),
and what the page downloads (its files, then the live feed per minute).
Usage: bench/page.py [BUILD_DIR]   (default build-bench, as bench/station.sh makes it)
"""
import json
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

build = sys.argv[1] if len(sys.argv) > 1 else "build-bench"
station_bin = os.path.join(build, "bin", "trm415-station")
work = tempfile.mkdtemp(prefix="trm415-page-bench-")
os.environ["STATE_DIRECTORY"] = work
os.environ["QT_QPA_PLATFORM"] = "offscreen"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def run(with_page):
    port = free_port()
    args = [station_bin, "--simulate=8", "--units=16", "--json", "--no-bell",
            "--records=" + os.path.join(work, "r%d.sqlite" % with_page)]
    if with_page:
        args.append("--http=127.0.0.1:%d" % port)
    driver = None
    start = time.monotonic()
    p = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    lines = []
    for raw in p.stdout:
        line = json.loads(raw)
        lines.append(line)
        if with_page and driver is None and "http_port" in line:
            options = webdriver.ChromeOptions()
            options.binary_location = "/usr/bin/chromium"
            for a in ("--headless=new", "--no-sandbox", "--disable-gpu",
                      "--user-data-dir=" + os.path.join(work, "chromium")):
                options.add_argument(a)
            driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
            driver.get("http://127.0.0.1:%d/" % port)
    p.wait()
    wall = time.monotonic() - start
    totals = [l for l in lines if l.get("event") == "totals"][-1]
    out = {"wall": wall, "cpu": totals["station_cpu_s"], "ok": totals["ok"]}
    if driver:
        time.sleep(0.5)
        out["latencies"] = driver.execute_script("return window.trmLatencies")
        out["feed"] = driver.execute_script("return window.trmFeedBytes")
        out["files"] = driver.execute_script(
            "return performance.getEntriesByType('navigation').concat("
            "performance.getEntriesByType('resource')).map(e => [e.name, e.transferSize])")
        driver.quit()
    return out


plain = run(False)
paged = run(True)
extra = (paged["cpu"] - plain["cpu"]) / paged["wall"] * 100
lat = sorted(paged["latencies"])
files = sum(size for _, size in paged["files"])
rows = [
    ("station CPU without the page", "%.2f s in %.1f s" % (plain["cpu"], plain["wall"]), ""),
    ("station CPU with the page open", "%.2f s in %.1f s" % (paged["cpu"], paged["wall"]), ""),
    ("the page's cost", "%+.2f %% of one core" % extra, "<= 1 %",
     "met" if extra <= 1 else "NO"),
    ("tile latency, median", "%.0f ms (%d updates drawn)" % (statistics.median(lat), len(lat)),
     ""),
    ("tile latency, 95th percentile", "%.0f ms" % lat[int(len(lat) * 0.95)], ""),
    ("page files", "%.1f KiB (%s)" % (files / 1024, ", ".join(
        "%s %d B" % (n.rsplit("/", 1)[-1] or "/", s) for n, s in paged["files"])), ""),
    ("live feed", "%.1f KiB in all, %.1f KiB a minute" % (
        paged["feed"] / 1024, paged["feed"] / 1024 / paged["wall"] * 60), ""),
]
for r in rows:
    print("  %-32s %s%s" % (r[0], r[1], ("   goal %s: %s" % (r[2], r[3])) if r[2] else ""))
