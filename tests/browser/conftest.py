"""The panel served by the corvane tool on simulated boards, and a headless Chromium to look at it.

CORVANE_TOOL names the tool; otherwise CORVANE_BUILD_DIR (default build/default) holds it.
CORVANE_TOOL_RUNNER runs it (a Windows build's corvane.exe: "bash scripts/wine-run.sh PREFIX").
"""
import json
import os
import re
import shlex
import signal
import subprocess
import tempfile
import time
import urllib.error
import urllib.request

import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
START_SECONDS = 60  # a loaded machine starts the tool slowly; the URL line ends the wait


def tool_path():
    if os.environ.get("CORVANE_TOOL"):
        return os.environ["CORVANE_TOOL"]
    build = os.environ.get("CORVANE_BUILD_DIR", os.path.join(ROOT, "build", "default"))
    return os.path.join(build, "Tools", "corvane", "corvane")


def tool_command():
    """The words that start the tool: its runner's (if any), then the tool."""
    return shlex.split(os.environ.get("CORVANE_TOOL_RUNNER", "")) + [tool_path()]


class Panel:
    """One `corvane --sim panel` process; stopped when the test ends."""

    def __init__(self, *arguments, sim_file=None, board=None, fast=False, environment=None):
        self.work = tempfile.mkdtemp(prefix="corvane-panel-")
        command = tool_command() + ["--sim"] + ([sim_file] if sim_file else []) + (["--board", board] if board else [])
        command += ["--fast"] if fast else []
        command += ["panel"] + list(arguments)
        self.process = subprocess.Popen(command, cwd=self.work, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        text=True, env=dict(os.environ, **(environment or {})),
                                        start_new_session=True)  # a runner's children end with it
        line = self.process.stdout.readline()  # blocks until the URL is printed or the tool ends
        match = re.search(r"(http://[0-9.]+:(\d+)/)", line)
        if not match:
            self.process.kill()
            raise RuntimeError(f"no URL from the panel: {line!r} {self.process.stderr.read()!r}")
        self.url = match.group(1)
        self.port = int(match.group(2))
        token_in_url = re.search(r"\?token=(\S+)", line)
        page = self.get("/" + (f"?token={token_in_url.group(1)}" if token_in_url else "")).read().decode()
        self.token = re.search(r'name="corvane-token" content="([^"]+)"', page).group(1)

    def request(self, path, body=None, headers=None, method=None):
        request = urllib.request.Request(self.url.rstrip("/") + path, data=body, method=method)
        for name, value in (headers or {}).items():
            request.add_header(name, value)
        return urllib.request.urlopen(request, timeout=30)

    def get(self, path, headers=None):
        return self.request(path, headers=headers)

    def post(self, path, body, token=True, headers=None):
        """(status, text) of a POST; the token unless told otherwise."""
        all_headers = {"Content-Type": "application/json"}
        if token:
            all_headers["X-Corvane-Token"] = self.token
        all_headers.update(headers or {})
        data = body if isinstance(body, bytes) else json.dumps(body).encode()
        try:
            response = self.request(path, data, all_headers, "POST")
            return response.status, response.read().decode().strip()
        except urllib.error.HTTPError as error:
            return error.code, error.read().decode().strip()

    def stop(self):
        self._signal(signal.SIGTERM)
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self._signal(signal.SIGKILL)
            self.process.wait()

    def _signal(self, number):
        try:
            os.killpg(self.process.pid, number)
        except ProcessLookupError:
            pass


@pytest.fixture
def panel():
    started = []

    def start(*arguments, **settings):
        started.append(Panel(*arguments, **settings))
        return started[-1]

    yield start
    for each in started:
        each.stop()


@pytest.fixture
def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1600"):
        options.add_argument(argument)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    yield driver
    driver.quit()


def wait_for(condition, what, seconds=30):
    """Polls `condition` until it holds, or fails naming `what` (generous: the machine is shared)."""
    end = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"not within {seconds} s: {what}")
        time.sleep(0.05)
