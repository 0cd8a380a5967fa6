#!/usr/bin/python3
"""The deck's page in a real browser (Debian's chromium and chromedriver, through Selenium).

The headless vxrdeck program serves its page with a token while an edit controller holds its
serial line on a pseudo-terminal and an SRT listener streams the program. The page opens with no
console errors, logs in, lists the stream output without its passphrase, takes the deck local,
presses PLAY and sees the timecode run, the program thumbnail load and a sound meter move, and
reads the frame number drawn in successive thumbnails within 2 frames of the timecode the page
shows under each; a typed cue shows the cued frame in the thumbnail and the shuttle shuttles; a
serial PLAY shows on the page; a library tape loads and the page's log tells of it; under REMOTE
the transport is off and EJECT acts; requests without the token, a cross-site POST and another
site's page in the logged-in browser are refused.

Usage: vxrdeck_browser_test.py VXRDECK_PROGRAM SAMPLE_TAPE
Exit code 77 (skipped) when chromium, chromedriver or Selenium is not installed.
"""
import http.server
import json
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import traceback
import tty
import urllib.error
import urllib.request

SKIP = 77
WAIT_S = 20.0
TOKEN = "browser-test-token-5c1d"
RATE = 25  # the sample tape's timecode frames per second
THUMBNAILS_READ = 8  # distinct thumbnails whose frame number is read while the tape plays
MOST_FRAMES_APART = 2  # the picture's drawn number against the timecode the page gives it
PASSPHRASE = "browser-test-passphrase-0e7a"
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


# The test tape's frame-number strip: 8 x 4 blocks across the top of the picture, each a
# twenty-fourth of its height, white for 1; 24 bits of frame number, most significant first,
# then a CRC-8 of them (polynomial 7, then xor 0x5A).
STRIP_COLUMNS = 8
STRIP_ROWS = 4
STRIP_ROW_SHARE = 24
DATA_BITS = 24

# Run in the page: the thumbnail it shows, drawn into a canvas, as the mean green of the middle
# half of each strip block, with the timecode the page gives that picture and the transport's.
READ_THUMBNAIL = """
const [columns, rows, rowShare] = arguments;
const image = document.getElementById('thumbnail');
if (image.hidden || !image.complete || image.naturalWidth === 0) return null;
const width = image.naturalWidth, height = image.naturalHeight;
const canvas = document.createElement('canvas');
canvas.width = width;
canvas.height = height;
const context = canvas.getContext('2d');
context.drawImage(image, 0, 0);
const pixels = context.getImageData(0, 0, width, height).data;
const cellWidth = width / columns, cellHeight = height / rowShare;
const cells = [];
for (let cell = 0; cell < columns * rows; ++cell) {
  const left = (cell % columns) * cellWidth, top = Math.floor(cell / columns) * cellHeight;
  let sum = 0, count = 0;
  for (let y = Math.ceil(top + cellHeight / 4); y < top + cellHeight * 3 / 4; ++y) {
    for (let x = Math.ceil(left + cellWidth / 4); x < left + cellWidth * 3 / 4; ++x) {
      sum += pixels[(y * width + x) * 4 + 1];
      ++count;
    }
  }
  cells.push(count ? sum / count : -1);
}
return {cells: cells, width: width, height: height,
        caption: document.getElementById('thumbnail-timecode').textContent,
        transport: document.getElementById('timecode').textContent};
"""


# Run in another site's page: a POST to the deck as a forged form would send it, with the
# browser's cookies; the answer is opaque to that page.
CROSS_SITE_PLAY = """
const [base, done] = [arguments[0], arguments[arguments.length - 1]];
fetch(base + '/api/transport', {method: 'POST', mode: 'no-cors', credentials: 'include',
                                headers: {'Content-Type': 'text/plain'},
                                body: '{"command":"play"}'})
  .then(() => done(true), () => done(false));
"""


def record_words(path):
    """The output record's words (shown, missed, key, late) by the timecode of their tick."""
    words = {}
    with open(path) as record:
        for line in record:
            fields = line.split()
            if len(fields) >= 5:
                words.setdefault(fields[3], set()).add(fields[4])
    return words


def crc8(value):
    crc = 0
    for shift in (16, 8, 0):
        crc ^= (value >> shift) & 0xFF
        for _ in range(8):
            crc = ((crc << 1) ^ 0x07) & 0xFF if crc & 0x80 else (crc << 1) & 0xFF
    return crc ^ 0x5A


def strip_number(cells):
    """The frame number the strip's blocks carry; None when they do not form a valid one."""
    if len(cells) != STRIP_COLUMNS * STRIP_ROWS or min(cells) < 0:
        return None
    word = 0
    for mean in cells:
        word = (word << 1) | (1 if mean > 128 else 0)
    data = word >> (STRIP_COLUMNS * STRIP_ROWS - DATA_BITS)
    return data if crc8(data) == word & 0xFF else None


def timecode_frames(text):
    parts = re.fullmatch(r"(\d\d):(\d\d):(\d\d)[:;](\d\d)", text.strip())
    if not parts:
        return None
    hours, minutes, seconds, frames = (int(part) for part in parts.groups())
    return ((hours * 60 + minutes) * 60 + seconds) * RATE + frames


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


def click(driver, by, what):
    """Clicks an element, finding it again when the page redrew it in between."""
    def clicked():
        elements = driver.find_elements(by, what)
        if not elements:
            return False
        elements[0].click()
        return True
    wait_for(clicked, "to click " + what)


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


class AnotherSite(http.server.BaseHTTPRequestHandler):
    """Another site's page, on this machine so that the browser lets it reach the deck."""

    def do_GET(self):
        body = b"<!DOCTYPE html><title>another site</title>"
        self.send_response(200)
        self.send_header("Content-Type", "text/html")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *arguments):
        pass


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


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

    passphrase_file = os.path.join(folder, "passphrase")
    with open(passphrase_file, "w") as out:
        out.write(PASSPHRASE + "\n")
    os.chmod(passphrase_file, 0o600)
    stream_port = free_udp_port()
    stream = "srt://127.0.0.1:%d?mode=listener&passphrase-file=%s" % (stream_port, passphrase_file)

    controller = Controller()
    env = dict(os.environ, XDG_CONFIG_HOME=folder, XDG_RUNTIME_DIR=folder,
               QT_QPA_PLATFORM="offscreen")
    for key in list(env):
        if key.startswith("VXR_BOARD_"):
            del env[key]
    # The board's output record says, tick by tick, whether the output carried its picture.
    record_path = os.path.join(folder, "record.log")
    env["VXR_BOARD_LOG"] = record_path
    log_path = os.path.join(folder, "vxrdeck.log")
    log = open(log_path, "w")
    deck = subprocess.Popen([program, "--headless", "--tape", os.path.join(library, "a.avi"),
                             "--port", controller.path, "--library", library,
                             "--http", "127.0.0.1:0", "--output", stream], stdout=log, stderr=subprocess.STDOUT,
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
        click(driver, By.CSS_SELECTOR, "#login button")
        wait_for(lambda: driver.find_element(By.ID, "deck").is_displayed(), "the deck's page")
        wait_for(lambda: text("control") == "REMOTE", "REMOTE on the page")
        assert "a.avi" in text("tape"), text("tape")
        # The stream output is listed by what it sends where, its passphrase hidden; its
        # listener has no caller (an empty cell while the output does not count them).
        row = wait_for(lambda: [[cell.text for cell in row.find_elements(By.TAG_NAME, "td")]
                                for row in driver.find_elements(By.CSS_SELECTOR, "#outputs tbody tr")
                                if "srt://" in row.text], "the stream output in the outputs")[0]
        assert row[0] == "srt://127.0.0.1:%d?mode=listener&passphrase=***" % stream_port, row
        assert row[4] in ("0", ""), row
        assert PASSPHRASE not in driver.page_source

        # LOCAL from the page, then its PLAY: the timecode runs.
        click(driver, By.ID, "control")
        wait_for(lambda: text("control") == "LOCAL", "LOCAL on the page")
        start = text("timecode")
        click(driver, By.CSS_SELECTOR, "[data-command=play]")
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
        # Each picture the page shows carries its frame number drawn in it: read from the shown
        # thumbnail, it is the frame its timecode on the page names, and the pictures move on.
        readings = []

        def new_thumbnail():
            reading = driver.execute_script(READ_THUMBNAIL, STRIP_COLUMNS, STRIP_ROWS,
                                            STRIP_ROW_SHARE)
            if not reading or any(r["caption"] == reading["caption"] for r in readings):
                return None
            return reading
        while len(readings) < THUMBNAILS_READ:
            reading = wait_for(new_thumbnail, "thumbnail %d" % (len(readings) + 1))
            drawn = strip_number(reading["cells"])
            named = timecode_frames(reading["caption"])
            assert drawn is not None, "no frame number read from the thumbnail: %s" % reading
            assert named is not None, "no timecode under the thumbnail: %s" % reading
            reading["drawn"], reading["named"] = drawn, named
            readings.append(reading)
        # Where the record says the tick showed its picture, the drawn frame is the timecode's;
        # on a tick the picture missed (a slow machine), the output holds an older picture.
        def recorded():
            words = record_words(record_path)
            return words if all(r["caption"] in words for r in readings) else None
        words = wait_for(recorded, "the output record of the thumbnails' ticks")
        shown = 0
        for reading in readings:
            drawn, named = reading["drawn"], reading["named"]
            said = words.get(reading["caption"], set())
            if said == {"shown"}:
                shown += 1
                assert abs(drawn - named) <= MOST_FRAMES_APART, (drawn, named, reading)
            else:
                assert said and drawn <= named, (drawn, named, said, reading)
        # The pictures move on: a held picture may stand in two thumbnails, the ticks that showed
        # theirs never repeat one, and the last is further on than the first.
        drawn = [r["drawn"] for r in readings]
        drawn_shown = [r["drawn"] for r in readings if words.get(r["caption"]) == {"shown"}]
        assert drawn == sorted(drawn) and drawn[-1] > drawn[0], drawn
        assert len(set(drawn_shown)) == len(drawn_shown), (drawn_shown, drawn)
        print("%d thumbnails (%d on ticks that showed their picture, %dx%d) read while playing: "
              "drawn frame minus its timecode %s, "
              "transport timecode minus drawn frame %s, tape frames from one to the next %s" % (
                  len(readings), shown, readings[0]["width"], readings[0]["height"],
                  [r["drawn"] - r["named"] for r in readings],
                  [timecode_frames(r["transport"]) - r["drawn"] for r in readings],
                  [b - a for a, b in zip(drawn, drawn[1:])]))
        click(driver, By.CSS_SELECTOR, "[data-command=stop]")
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-stop").get_attribute("class"),
                 "the STOP lamp")

        # A typed cue takes the tape there, and the thumbnail then shows that frame.
        cue_to = "00:00:10:00"
        driver.find_element(By.ID, "cue-timecode").send_keys(cue_to)
        click(driver, By.CSS_SELECTOR, "#cue button")
        wait_for(lambda: text("timecode") == cue_to, "the cue on the page")

        def cued_thumbnail():
            reading = driver.execute_script(READ_THUMBNAIL, STRIP_COLUMNS, STRIP_ROWS,
                                            STRIP_ROW_SHARE)
            return reading if reading and reading["caption"] == cue_to else None
        reading = wait_for(cued_thumbnail, "the cued picture")
        cued = strip_number(reading["cells"])
        assert cued is not None and abs(cued - timecode_frames(cue_to)) <= MOST_FRAMES_APART, (
            cued, reading)
        # The shuttle control shuttles, as the panel's.
        driver.execute_script("const shuttle = document.getElementById('shuttle');"
                              "shuttle.value = 3; shuttle.dispatchEvent(new Event('change'));")
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-shuttle").get_attribute("class"),
                 "the SHUTTLE lamp")
        click(driver, By.CSS_SELECTOR, "[data-command=stop]")
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-stop").get_attribute("class"),
                 "the STOP lamp after the shuttle")

        # The edit controller's PLAY (the serial controller is never gated) shows on the page.
        sent = time.monotonic()
        assert controller.send(PLAY)[:2] == bytes([0x10, 0x01])
        wait_for(lambda: "lit" in driver.find_element(By.ID, "lamp-play").get_attribute("class"),
                 "the serial PLAY on the page")
        print("a serial play showed on the page after %.0f ms" % ((time.monotonic() - sent) * 1000))
        controller.send(STOP)

        # A library tape loads from its button.
        click(driver, By.CSS_SELECTOR, "button[data-id='2']")
        wait_for(lambda: "b.avi" in text("tape"), "tape 2 loaded")
        # The page's log tells of it, among at most the last 50 lines.
        wait_for(lambda: "b.avi loaded" in text("log"), "the load in the page's log")
        assert len(text("log").splitlines()) <= 50, text("log")

        # Back to REMOTE: the transport is the edit controller's, but EJECT still acts.
        click(driver, By.ID, "control")
        wait_for(lambda: text("control") == "REMOTE", "REMOTE again on the page")
        assert not driver.find_element(By.CSS_SELECTOR, "[data-command=play]").is_enabled()
        click(driver, By.ID, "eject")
        wait_for(lambda: text("tape") == "no tape", "the tape ejected")

        # The page's PLAY, STOP, CUE, SHUTTLE and STOP, timed by the deck from the request to the transport
        # having acted.
        status, metrics = request(port, "GET", "/metrics", headers=bearer)
        assert status == 200, status
        figures = dict(re.findall(
            r'^vxr_web_transport_seconds_(count|sum|bucket\{le="0\.04"\}) (\S+)$', metrics, re.M))
        assert float(figures["count"]) == 5, figures
        print("page transport clicks: %d acted, %.2f ms on average from the request, %d within "
              "one output frame (40 ms)" % (float(figures["count"]),
                                             float(figures["sum"]) * 1000 / float(figures["count"]),
                                             float(figures['bucket{le="0.04"}'])))

        errors = [entry for entry in driver.get_log("browser") if entry["level"] == "SEVERE"]
        assert not errors, errors

        # Another site's page in the same browser, which holds the deck's login: its POST is
        # refused (and logged), and the deck does not play.
        other_site = http.server.ThreadingHTTPServer(("127.0.0.1", 0), AnotherSite)
        threading.Thread(target=other_site.serve_forever, name="another site", daemon=True).start()
        try:
            driver.get("http://localhost:%d/" % other_site.server_address[1])
        finally:
            other_site.shutdown()
        driver.execute_async_script(CROSS_SITE_PLAY, base)
        wait_for(lambda: "cross-site request from http://localhost:" in
                 request(port, "GET", "/api/log", headers=bearer)[1], "the refusal in the log")
        status, state = request(port, "GET", "/api/state", headers=bearer)
        assert status == 200 and not json.loads(state)["lamps"]["play"], state
        deck_log = open(log_path).read()
        assert TOKEN not in deck_log, "the token is in the deck's log"
        assert PASSPHRASE not in deck_log, "the passphrase is in the deck's log"
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
    except Exception:  # a browser or a socket that fails: say where, as a failure
        print("FAILED:", traceback.format_exc())
        sys.exit(1)
