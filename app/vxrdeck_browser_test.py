#!/usr/bin/python3
"""The deck's page in a real browser (Debian's chromium and chromedriver, through Selenium).

The headless vxrdeck program serves its page with a token while an edit controller holds its
serial line on a pseudo-terminal. The page opens with no console errors, logs in, takes the deck
local, presses PLAY and sees the timecode run, the program thumbnail load and a sound meter move;
a serial PLAY shows on the page; a library tape loads; requests without the token and a
cross-site POST are refused.

Usage: vxrdeck_browser_test.py VXRDECK_PROGRAM SAMPLE_TAPE
Exit code 77 (skipped) when chromium, chromedriver or Selenium is not installed.
"""
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tty
import urllib.error
import urllib.request

SKIP = 77
WAIT_S = 20.0
TOKEN = "browser-test-token-5c1d"
STATUS_SENSE = bytes([0x61, 0x20, 0x09])
PLAY = bytes([0x20, 0x01])
STOP = bytes([0x20, 0x00])

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.common.exceptions import StaleElementReferenceException
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(SKIP)


def with_checksum(frame):
    return frame + bytes([sum(frame) & 0xFF])


def wait_for(condition, what, timeout=WAIT_S):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            value = condition()
        except StaleElementReferenceException:
            value = None  # the page redrew it: look again
        if value:
            return value
        time.sleep(0.02)
    raise AssertionError("timed out waiting for " + what)


class Controller:
    """The edit controller's end of the deck's serial line."""

    def __init__(self):
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)
        self.path = os.ttyname(self.slave)

    def send(self, frame, timeout=1.0):
        os.write(self.master, with_checksum(frame))
        reply = b""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if ready:
                reply += os.read(self.master, 64)
            elif reply:
                break
        return reply


def request(port, method, path, body=None, headers=None):
    data = json.dumps(body).encode() if body is not None else None
    req = urllib.request.Request("http://127.0.0.1:%d%s" % (port, path), data=data,
                                 method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(req, timeout=WAIT_S) as response:
            return response.status, response.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.read().decode()


def main():
    program, tape = sys.argv[1], sys.argv[2]
    chromium = shutil.which("chromium")
    chromedriver = shutil.which("chromedriver")
    if not chromium or not chromedriver:
        print("skipped: chromium or chromium-driver is not installed")
        return SKIP
    folder = tempfile.mkdtemp(prefix="vxr_browser_")
    library = os.path.join(folder, "tapes")
    os.makedirs(library)
    shutil.copy(tape, os.path.join(library, "a.avi"))
    shutil.copy(tape, os.path.join(library, "b.avi"))
    # Older than the library's settle time, so that both are offered at once.
    old = time.time() - 60
    for name in ("a.avi", "b.avi"):
        os.utime(os.path.join(library, name), (old, old))
    token_file = os.path.join(folder, "token")
    with open(token_file, "w") as out:
        out.write(TOKEN + "\n")
    os.chmod(token_file, 0o600)
    config = os.path.join(folder, "Kavendi", "Calvera")
    os.makedirs(config)
    with open(os.path.join(config, "vxrdeck.ini"), "w") as out:
        out.write("[Http]\ntoken_file=%s\n" % token_file)

    controller = Controller()
    env = dict(os.environ, XDG_CONFIG_HOME=folder, XDG_RUNTIME_DIR=folder,
               QT_QPA_PLATFORM="offscreen")
    for key in list(env):
        if key.startswith("VXR_BOARD_"):
            del env[key]
    log_path = os.path.join(folder, "vxrdeck.log")
    log = open(log_path, "w")
    deck = subprocess.Popen([program, "--headless", "--tape", os.path.join(library, "a.avi"),
                             "--port", controller.path, "--library", library,
                             "--http", "127.0.0.1:0"], stdout=log, stderr=subprocess.STDOUT,
                            env=env)
    driver = None
    try:
        def port_from_log():
            found = re.search(r"on http://127\.0\.0\.1:(\d+)/", open(log_path).read())
            return int(found.group(1)) if found else 0
        port = wait_for(port_from_log, "the web server's log line")
        wait_for(lambda: controller.send(STATUS_SENSE), "the deck to serve the serial line")
        base = "http://127.0.0.1:%d" % port

        # Refused without the token, and on a cross-site POST even with it.
        status, _ = request(port, "GET", "/api/state")
        assert status == 401, status
        status, _ = request(port, "POST", "/api/transport", {"command": "play"})
        assert status == 401, status
        bearer = {"Authorization": "Bearer " + TOKEN, "Content-Type": "application/json"}
        status, _ = request(port, "POST", "/api/remote", {"remote": False},
                            dict(bearer, Origin="http://evil.example"))
        assert status == 403, status
        status, state = request(port, "GET", "/api/state", headers=bearer)
        assert status == 200 and json.loads(state)["control"] == "REMOTE", state

        options = webdriver.ChromeOptions()
        options.binary_location = chromium
        for argument in ("--headless=new", "--no-sandbox", "--disable-gpu",
                         "--disable-dev-shm-usage", "--user-data-dir=" + folder + "/chromium"):
            options.add_argument(argument)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        driver = webdriver.Chrome(service=Service(chromedriver), options=options)
        driver.get(base + "/")
        text = lambda element_id: driver.find_element(By.ID, element_id).text
        wait_for(lambda: driver.find_element(By.ID, "login").is_displayed(), "the login form")
        driver.find_element(By.ID, "token").send_keys(TOKEN)
        driver.find_element(By.CSS_SELECTOR, "#login button").click()
        wait_for(lambda: driver.find_element(By.ID, "deck").is_displayed(), "the deck's page")
        wait_for(lambda: text("control") == "REMOTE", "REMOTE on the page")
        assert "a.avi" in text("tape"), text("tape")

        # LOCAL from the page, then its PLAY: the timecode runs.
        driver.find_element(By.ID, "control").click()
        wait_for(lambda: text("control") == "LOCAL", "LOCAL on the page")
        start = text("timecode")
        driver.find_element(By.CSS_SELECTOR, "[data-command=play]").click()
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-play").get_attribute("class"),
                 "the PLAY lamp")
        first = wait_for(lambda: text("timecode") != start and text("timecode"),
                         "the timecode to run")
        wait_for(lambda: text("timecode") != first, "the timecode to run on")
        # While it plays, the program thumbnail loads and the sound's meter moves.
        wait_for(lambda: driver.execute_script(
            "const image = document.getElementById('thumbnail');"
            "return !image.hidden && image.complete && image.naturalWidth > 0;"),
            "the program thumbnail")
        wait_for(lambda: driver.execute_script(
            "return document.getElementById('meter-0').value > -60;"), "the left meter to move")
        driver.find_element(By.CSS_SELECTOR, "[data-command=stop]").click()
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-stop").get_attribute("class"),
                 "the STOP lamp")

        # The edit controller's PLAY (the serial controller is never gated) shows on the page.
        sent = time.monotonic()
        assert controller.send(PLAY, timeout=0.2)[:2] == bytes([0x10, 0x01])
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-play").get_attribute("class"),
                 "the serial PLAY on the page")
        print("a serial play showed on the page after %.0f ms" % ((time.monotonic() - sent) * 1000))
        controller.send(STOP)

        # A library tape loads from its button.
        load = wait_for(lambda: driver.find_elements(By.CSS_SELECTOR, "button[data-id='2']"),
                        "tape 2 in the library")
        load[0].click()
        wait_for(lambda: "b.avi" in text("tape"), "tape 2 loaded")

        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        assert not errors, errors
        assert TOKEN not in open(log_path).read(), "the token is in the deck's log"
        print("1 passed, 0 failed")
        return 0
    finally:
        if driver is not None:
            driver.quit()
        deck.send_signal(signal.SIGTERM)
        try:
            deck.wait(WAIT_S)
        except subprocess.TimeoutExpired:
            deck.kill()
        log.close()
        if os.environ.get("VXR_KEEP_BROWSER_TEST") is None:
            shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    try:
        sys.exit(main())
    except AssertionError as failure:
        print("FAILED:", failure)
        sys.exit(1)
