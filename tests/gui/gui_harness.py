"""drova gui as the tests run it: the process with its first line, the
simulated devices it talks to, images to program, and Debian's chromium
driven headless through chromedriver."""
import json
import os
import queue
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import urllib.parse

DROVA = os.environ.get("DROVA", "drova")
DROVA_SIM = os.environ.get("DROVA_SIM", "drova-sim")
# A program that runs drova (wine for drova.exe); empty natively.
RUNNER = [part for part in os.environ.get("DROVA_RUNNER", "").split(" ") if part]
# Under Wine everything starts slower.
PATIENCE = float(os.environ.get("DROVA_PATIENCE", "1"))

CHROMIUM = shutil.which("chromium")
CHROMEDRIVER = shutil.which("chromedriver")
NO_BROWSER = "chromium and chromium-driver are not installed (scripts/setup installs them)"


class Gui:
    """drova [options] gui --no-browser, until stopped; its address from its first line."""

    def __init__(self, options, env=None):
        self.scratch = tempfile.mkdtemp(prefix="drova-gui-")
        # Never the user's own service log.
        if "--service-log" not in options:
            options = ["--service-log", os.path.join(self.scratch, "service-log.jsonl"), *options]
        self.err_path = os.path.join(self.scratch, "stderr")
        self.err = open(self.err_path, "wb")
        started = time.monotonic()
        self.process = subprocess.Popen(RUNNER + [DROVA, *options, "gui", "--no-browser"], stdout=subprocess.PIPE,
                                        stderr=self.err, env={**os.environ, **(env or {})})
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in self.process.stdout], daemon=True).start()
        try:
            self.first_line = lines.get(timeout=30 * PATIENCE).decode().strip()
        except queue.Empty:
            self.stop()
            raise AssertionError("drova gui printed no address; its errors:\n" + self.errors())
        self.startup_seconds = time.monotonic() - started
        self.url = self.first_line
        address = urllib.parse.urlsplit(self.url)
        self.port = address.port
        self.token = urllib.parse.parse_qs(address.query)["token"][0]
        self.base = f"http://127.0.0.1:{self.port}"

    def errors(self):
        self.err.flush()
        with open(self.err_path, "rb") as err:
            return err.read().decode(errors="replace")

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT if not RUNNER else signal.SIGTERM)
            try:
                self.process.wait(timeout=20 * PATIENCE)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        errors = self.errors()
        self.err.close()
        self.process.stdout.close()
        shutil.rmtree(self.scratch, ignore_errors=True)
        # A sanitizer build's findings in drova fail the test (the library's memory that it
        # still holds when unloaded at exit is reported as a leak, and is not one of them).
        for finding in ("ERROR: AddressSanitizer", "runtime error:", "WARNING: ThreadSanitizer"):
            if finding in errors:
                raise AssertionError("drova gui: " + errors[errors.index(finding):][:4000])
        return self.process.returncode


class SimDevices:
    """drova-sim serving devices in a folder of its own, to come and go while drova gui runs."""

    def __init__(self, directory, devices):
        config = os.path.join(directory, f"{devices[0]['endpoint']}.json")
        with open(config, "w") as out:
            json.dump({"devices": devices}, out)
        self.process = subprocess.Popen([DROVA_SIM, "--dir", directory, "--config", config],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        # It says what it serves once its endpoints are open.
        self.process.stdout.readline()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=10)
        self.process.stdout.close()


def write_config(directory, devices):
    path = os.path.join(directory, "devices.json")
    with open(path, "w") as out:
        json.dump({"devices": devices}, out)
    return path


def application(app_id, name, payload=1024, fw_version=(2, 1, 0, 0)):
    """An application image: its 168-byte information block, then a payload."""
    block = bytearray(168)
    block[0:4] = app_id.to_bytes(4, "big")
    block[4:4 + len(name)] = name.encode()
    block[88:92] = bytes(fw_version)
    return bytes(block) + bytes((k * 7 + (k >> 8)) & 0xFF for k in range(payload))


def intel_hex(blocks):
    """Intel HEX of (address, bytes) blocks, 32 bytes a record."""
    lines = []

    def record(kind, address, data):
        body = bytes([len(data), (address >> 8) & 0xFF, address & 0xFF, kind]) + data
        lines.append(":" + (body + bytes([(-sum(body)) & 0xFF])).hex().upper())

    upper = None
    for address, data in blocks:
        for offset in range(0, len(data), 32):
            at = address + offset
            if at >> 16 != upper:
                upper = at >> 16
                record(4, 0, upper.to_bytes(2, "big"))
            record(0, at & 0xFFFF, data[offset:offset + 32])
    record(1, 0, b"")
    return "\n".join(lines) + "\n"


def write_image(directory, name, blocks):
    path = os.path.join(directory, name)
    with open(path, "w") as out:
        out.write(intel_hex(blocks))
    return path


def browser():
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    # Without the network flags chromium stalls on this machine's closed network.
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,1800", "--user-data-dir=" + tempfile.mkdtemp(prefix="drova-chromium-")):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
    driver.implicitly_wait(0)
    return driver


def wait_for(driver, what, condition, seconds=20):
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, seconds * PATIENCE, poll_frequency=0.1).until(
        lambda d: condition(d), message=what)


def text_of(driver, element_id):
    from selenium.webdriver.common.by import By

    return driver.find_element(By.ID, element_id).text
