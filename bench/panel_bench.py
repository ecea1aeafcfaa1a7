"""The panel's cost: the rate at which the library delivers a full-speed stream with a page open
in headless Chromium, and the panel's processor use with a page open on an idle board.

    panel_bench.py TOOL BOARDS.json SECONDS
prints "key value" lines: panel_messages_per_second, idle_panel_cores.
"""
import json
import os
import re
import subprocess
import sys
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service

TICKS = os.sysconf("SC_CLK_TCK")


def start_panel(tool, boards, board):
    process = subprocess.Popen([tool, "--sim", boards, "--fast", "--board", board, "panel"], stdout=subprocess.PIPE,
                               text=True)
    url = re.search(r"http://\S+", process.stdout.readline()).group(0)
    page = urllib.request.urlopen(url, timeout=30).read().decode()
    token = re.search(r'name="corvane-token" content="([^"]+)"', page).group(1)
    return process, url, token


def update(url, token):
    with urllib.request.urlopen(f"{url}api/events?token={token}", timeout=30) as stream:
        for line in stream:
            if line.startswith(b"data: "):
                return json.loads(line[6:])
    raise RuntimeError("no update")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def browser(url):
    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.get(url)
    return driver


def main():
    tool, boards, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    for board, measure in (("FULL0001", "stream"), ("IDLE0001", "idle")):
        process, url, token = start_panel(tool, boards, board)
        driver = browser(url)
        try:
            time.sleep(1)  # the page open and its stream running
            if measure == "stream":
                first = update(url, token)
                time.sleep(seconds)
                last = update(url, token)
                rate = (last["received"] - first["received"]) / (last["t"] - first["t"])
                print(f"panel_messages_per_second {rate:.0f}")
            else:
                before, start = cpu_seconds(process.pid), time.monotonic()
                time.sleep(seconds)
                print(f"idle_panel_cores {(cpu_seconds(process.pid) - before) / (time.monotonic() - start):.3f}")
        finally:
            driver.quit()
            process.terminate()
            process.wait()


if __name__ == "__main__":
    main()
