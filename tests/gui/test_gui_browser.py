"""drova gui in a real headless chromium against drova-sim: what a
technician sees and does, from the device list to a programmed device."""
import hashlib
import os
import subprocess
import tempfile
import time
import unittest

from gui_harness import (CHROMEDRIVER, CHROMIUM, DROVA, NO_BROWSER, RUNNER, Gui, SimDevices, application, browser,
                         text_of, wait_for, write_config, write_image)

SCREENSHOTS = os.environ.get("DROVA_GUI_SCREENSHOTS")

INCONSISTENT = [
    {"sector": 0, "id": 0, "name": "Boot loader", "fw_version": "1.4.0.0", "version_a": "3.0.0.0",
     "version_b": "2.0.0.0", "version_c": "255.254.253.252"},
    {"sector": 1, "id": 2, "name": "Motor system", "version_c": "1.2.0.0", "version_d": "3.0.0.0"},
    {"sector": 2, "id": 5, "name": "Motor control", "fw_version": "2.1.0.0", "version_b": "2.0.0.0",
     "version_c": "1.2.0.0"},
    {"sector": 3, "id": 6, "name": "Diagnostics", "version_b": "2.0.0.0", "version_c": "1.3.0.0"},
]


def by_id(driver, element_id):
    from selenium.webdriver.common.by import By
    return driver.find_element(By.ID, element_id)


def rows(driver):
    from selenium.webdriver.common.by import By
    return driver.find_elements(By.CSS_SELECTOR, "#device-list tbody tr")


def connect(driver, name):
    from selenium.webdriver.common.by import By
    wait_for(driver, f"{name} listed", lambda d: any(name in row.text for row in rows(d)))
    row = next(row for row in rows(driver) if name in row.text)
    row.find_element(By.TAG_NAME, "button").click()
    wait_for(driver, f"connected to {name}", lambda d: f"Connected: {name}" in text_of(d, "status"))


def phase(driver, name):
    from selenium.webdriver.common.by import By
    return driver.find_element(By.CSS_SELECTOR, f'#phases [data-phase="{name}"]').text


def choose_image(driver, path, target):
    from selenium.webdriver.support.ui import Select
    by_id(driver, "image-file").send_keys(path)
    wait_for(driver, "image read", lambda d: text_of(d, "image-summary").startswith(os.path.basename(path) + ": "))
    Select(by_id(driver, "target")).select_by_value(str(target))


def ask_to_program(driver):
    """Program…: the confirmation's text, with the dialog open."""
    by_id(driver, "program-image").click()
    wait_for(driver, "confirmation asked", lambda d: by_id(d, "confirm").is_displayed())
    return text_of(driver, "confirm-text")


def program_accepted(driver, seconds=30):
    """Accepts the confirmation and waits for the outcome."""
    by_id(driver, "confirm-yes").click()
    wait_for(driver, "outcome shown", lambda d: text_of(d, "result") != "", seconds)
    return text_of(driver, "result")


def screenshot(driver, name, view):
    if SCREENSHOTS:
        driver.execute_script("document.getElementById(arguments[0]).scrollIntoView()", view)
        driver.save_screenshot(os.path.join(SCREENSHOTS, name))


@unittest.skipUnless(CHROMIUM and CHROMEDRIVER, NO_BROWSER)
class GuiInBrowser(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.mkdtemp(prefix="drova-gui-browser-")
        self.started = []

    def tearDown(self):
        for stop in reversed(self.started):
            stop()

    def open(self, options, env=None):
        gui = Gui(options, env)
        self.started.append(gui.stop)
        driver = browser()
        self.started.append(driver.quit)
        driver.get(gui.url)
        return gui, driver

    def test_two_devices_listed_and_one_programmed(self):
        config = write_config(self.scratch, [
            {"endpoint": "drova00", "name": "Bench unit A", "serial": "KV47D00291", "sectors": 4,
             "applications": [{"sector": 0, "id": 5, "name": "Motor control"}]},
            {"endpoint": "drova01", "name": "Bench unit B", "serial": "KV47D00292", "sectors": 4}])
        service_log = os.path.join(self.scratch, "service-log.jsonl")
        _, driver = self.open(["--sim", config, "--service-log", service_log])
        wait_for(driver, "both devices listed", lambda d: len(rows(d)) == 2)
        listed = [row.text for row in rows(driver)]
        self.assertIn("KV47D00291", listed[0])
        self.assertIn("KV47D00292", listed[1])
        self.assertNotIn("Bench unit B", listed[0])
        # The address bar no longer shows the token once it is a cookie.
        self.assertNotIn("token", driver.current_url)
        screenshot(driver, "devices.png", "devices")
        connect(driver, "Bench unit B")
        self.assertIn("KV47D00292", text_of(driver, "device-info"))
        # Every control has a name and is reached by the keyboard.
        unnamed = driver.execute_script("""
            return [...document.querySelectorAll('button, input, select, pre[tabindex], a')]
              .filter((e) => e.tabIndex < 0 || !(e.getAttribute('aria-label')
                || (e.labels && e.labels.length && e.labels[0].textContent.trim()) || e.textContent.trim()))
              .map((e) => e.id || e.outerHTML.slice(0, 80));""")
        self.assertEqual(unnamed, [])
        screenshot(driver, "device.png", "device")
        image = write_image(self.scratch, "motor.hex", [(0, application(4711, "Motor control 4711"))])
        choose_image(driver, image, 2)
        self.assertIn("download into area 2 (empty) of Bench unit B, serial KV47D00292", ask_to_program(driver))
        self.assertIn("✔ motor.hex programmed into area 2 of Bench unit B", program_accepted(driver))
        self.assertIn("application 4711 started", text_of(driver, "result"))
        for name, words in (("erase", "skipped"), ("write", "done"), ("verify", "all 2 records match"),
                            ("start", "done")):
            self.assertIn(words, phase(driver, name))
        wait_for(driver, "the table shows the new entry",
                 lambda d: "id 4711 'Motor control 4711'" in text_of(d, "flash-layout"))
        self.assertIn("(3,0) download: ok", text_of(driver, "log"))
        screenshot(driver, "program.png", "program")
        # The service log on the page and from drova log: one line, the file's digest, the outcome.
        with open(image, "rb") as data:
            digest = hashlib.sha256(data.read()).hexdigest()
        logged = f"  KV47D00292  program area 2  motor.hex (SHA-256 {digest})  ok: motor.hex programmed into area 2"
        wait_for(driver, "service log shown", lambda d: logged in text_of(d, "service-log-lines"))
        printed = subprocess.run(RUNNER + [DROVA, "--service-log", service_log, "log"], capture_output=True,
                                 text=True, timeout=60)
        self.assertEqual(printed.returncode, 0, printed.stderr)
        self.assertEqual(len(printed.stdout.splitlines()), 1, printed.stdout)
        self.assertIn(logged, printed.stdout)

    def test_devices_appearing_and_leaving(self):
        directory = os.path.join(self.scratch, "usb")
        os.mkdir(directory)
        first = SimDevices(directory, [{"endpoint": "drova00", "name": "First unit", "serial": "KV47D00291"}])
        self.started.append(first.stop)
        _, driver = self.open(["--search-ms", "50"], {"VELKOR_USB_DIR": directory})
        wait_for(driver, "first listed", lambda d: len(rows(d)) == 1 and "First unit" in rows(d)[0].text)
        second = SimDevices(directory, [{"endpoint": "drova01", "name": "Second unit", "serial": "KV47D00292"}])
        wait_for(driver, "second appears", lambda d: len(rows(d)) == 2 and "Second unit" in rows(d)[1].text)
        first.stop()
        self.started.remove(first.stop)
        wait_for(driver, "first leaves", lambda d: len(rows(d)) == 1 and "Second unit" in rows(d)[0].text)
        second.stop()
        wait_for(driver, "none left", lambda d: len(rows(d)) == 0 and by_id(d, "no-devices").is_displayed())

    def test_next_device_is_programmed_as_it_appears(self):
        directory = os.path.join(self.scratch, "usb")
        os.mkdir(directory)
        first = SimDevices(directory, [{"endpoint": "drova00", "name": "Unit one", "serial": "KV47D00291"}])
        self.started.append(first.stop)
        service_log = os.path.join(self.scratch, "service-log.jsonl")
        _, driver = self.open(["--search-ms", "50", "--service-log", service_log], {"VELKOR_USB_DIR": directory})
        connect(driver, "Unit one")
        choose_image(driver, write_image(self.scratch, "bench.hex", [(0, application(300, "Bench app"))]), 1)
        by_id(driver, "start-after").click()
        by_id(driver, "next-device").click()
        self.assertIn("then the same for every device that appears next", ask_to_program(driver))
        by_id(driver, "confirm-yes").click()
        wait_for(driver, "waiting for the next", lambda d: "waiting for the next device" in text_of(d, "next-status"))
        self.assertIn("Not connected", text_of(driver, "status"))
        second = SimDevices(directory, [{"endpoint": "drova01", "name": "Unit two", "serial": "KV47D00292"}])
        self.started.append(second.stop)
        wait_for(driver, "the next one programmed",
                 lambda d: "KV47D00292  program area 1" in text_of(d, "service-log-lines"), 30)
        lines = text_of(driver, "service-log-lines").splitlines()
        self.assertEqual([line.split("  ")[1] for line in lines], ["KV47D00291", "KV47D00292"])
        self.assertTrue(all("  ok: bench.hex programmed into area 1" in line for line in lines), lines)
        # The first one, still there, is not programmed again; the loop ends on request.
        by_id(driver, "stop-next").click()
        wait_for(driver, "loop ended", lambda d: text_of(d, "next-status") == "")
        self.assertEqual(len(text_of(driver, "service-log-lines").splitlines()), 2)

    def test_actions_ask_as_drova_does(self):
        config = write_config(self.scratch, [
            {"endpoint": "drova00", "name": "Acting unit", "serial": "KV47D00291", "sectors": 4,
             "applications": [{"sector": 0, "id": 4711, "name": "Motor control"}]},
            {"endpoint": "drova01", "name": "Other unit", "serial": "KV47D00292", "sectors": 4}])
        _, driver = self.open(["--sim", config])
        wait_for(driver, "both listed", lambda d: len(rows(d)) == 2)
        connect(driver, "Acting unit")

        def act(button, accept):
            driver.execute_script("document.getElementById('action-result').textContent = ''")
            by_id(driver, button).click()
            wait_for(driver, "confirmation asked", lambda d: by_id(d, "confirm").is_displayed())
            asked = text_of(driver, "confirm-text")
            by_id(driver, "confirm-yes" if accept else "confirm-no").click()
            wait_for(driver, "outcome", lambda d: text_of(d, "action-result") != "")
            return asked, text_of(driver, "action-result")

        by_id(driver, "app-id").send_keys("4711")
        asked, said = act("autostart", False)
        self.assertIn("make application 4711 start automatically on Acting unit", asked)
        self.assertIn("not confirmed, nothing was changed", said)
        self.assertIn("none: the device starts no application by itself", text_of(driver, "device-info"))
        asked, said = act("autostart", True)
        self.assertEqual(said, "✔ application 4711 starts automatically")
        wait_for(driver, "shown", lambda d: "application 4711" in text_of(d, "device-info"))
        # Another found device's number is refused before anything is asked.
        by_id(driver, "new-serial").send_keys("KV47D00292")
        by_id(driver, "write-serial").click()
        wait_for(driver, "refusal", lambda d: "write-serial" in text_of(d, "action-result"))
        self.assertIn("✖ write-serial: KV47D00292 (0x8D0124) is already the serial number of Other unit",
                      text_of(driver, "action-result"))
        self.assertFalse(by_id(driver, "confirm").is_displayed())
        by_id(driver, "new-serial").clear()
        by_id(driver, "new-serial").send_keys("KV50F00001")
        asked, said = act("write-serial", True)
        self.assertIn("write serial number KV50F00001 (0xBF0001) into Acting unit", asked)
        self.assertEqual(said, "✔ serial number written; the device now reports KV50F00001 (0xBF0001)")
        by_id(driver, "start-app").click()
        wait_for(driver, "started", lambda d: "application 4711 started" in text_of(d, "action-result"))
        by_id(driver, "reset").click()
        wait_for(driver, "reset", lambda d: "device reset; the connection has ended" in text_of(d, "action-result"))
        wait_for(driver, "let go", lambda d: "Not connected" in text_of(d, "status"))

    def test_a_device_another_host_holds_says_what_to_do(self):
        directory = os.path.join(self.scratch, "usb")
        os.mkdir(directory)
        device = SimDevices(directory, [{"endpoint": "drova00", "name": "Held unit", "serial": "KV47D00291"}])
        self.started.append(device.stop)
        # Another host: drova itself, holding the device with keep-alives.
        holder = subprocess.Popen(RUNNER + [DROVA, "keepalive", "--every", "200", "--count", "150"],
                                  env={**os.environ, "VELKOR_USB_DIR": directory}, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL)
        self.started.append(lambda: (holder.kill(), holder.wait(), holder.stdout.close()))
        self.assertIn("connected", holder.stdout.readline().decode())
        _, driver = self.open(["--search-ms", "50"], {"VELKOR_USB_DIR": directory})
        wait_for(driver, "listed", lambda d: len(rows(d)) == 1 and "Held unit" in rows(d)[0].text)
        from selenium.webdriver.common.by import By
        rows(driver)[0].find_element(By.TAG_NAME, "button").click()
        wait_for(driver, "refused", lambda d: "another host" in text_of(d, "action-result"), 30)
        said = text_of(driver, "action-result")
        self.assertIn("The device is in use by another host", said)
        self.assertIn("Disconnect that host", said)
        self.assertFalse(by_id(driver, "device-info").is_displayed())

    def test_duplicate_serial_numbers_are_marked(self):
        config = write_config(self.scratch, [
            {"endpoint": "drova00", "name": "Twin A", "serial": "KV47D00291"},
            {"endpoint": "drova01", "name": "Twin B", "serial": "KV47D00291"}])
        _, driver = self.open(["--sim", config])
        wait_for(driver, "both listed", lambda d: len(rows(d)) == 2)
        for row in rows(driver):
            self.assertIn("⚠ duplicate serial number: 2 found devices share this serial number", row.text)
            self.assertIn("give it a serial number of its own", row.text)

    def test_inconsistent_flash_table_shows_the_checks_marks(self):
        config = write_config(self.scratch, [{"name": "Odd unit", "sectors": 5, "applications": INCONSISTENT}])
        _, driver = self.open(["--sim", config])
        connect(driver, "Odd unit")
        wait_for(driver, "table shown", lambda d: "Sector 3" in text_of(d, "flash-layout"))
        from selenium.webdriver.common.by import By
        entries = {int(item.get_attribute("data-sector")): item.text
                   for item in driver.find_elements(By.CSS_SELECTOR, "#flash-layout > li")}
        self.assertIn("⚠ marked: versionC 1.3.0.0 offered by no kind-2 entry", entries[3])
        self.assertIn("✔ nothing marked", entries[2])
        self.assertIn("empty", entries[4])
        self.assertIn("the staging area", entries[5])
        self.assertEqual(text_of(driver, "flash-summary"), "4 entries checked, 1 marked.")
        screenshot(driver, "flash.png", "flash")

    def test_download_stopped_then_completed_and_verify_finding_a_mismatch(self):
        # Each data frame answered after 40 ms: a download of many records takes seconds.
        config = write_config(self.scratch, [{"name": "Slow unit", "sectors": 4,
                                              "faults": [{"kind": "delay", "opcode": "data", "amount": 40}]}])
        service_log = os.path.join(self.scratch, "service-log.jsonl")
        _, driver = self.open(["--sim", config, "--service-log", service_log])
        connect(driver, "Slow unit")
        blocks = [(0, application(77, "Slow app", 832))] + [(0x1000 * k, bytes([k]) * 1024) for k in range(1, 40)]
        image = write_image(self.scratch, "slow.hex", blocks)
        choose_image(driver, image, 2)
        ask_to_program(driver)
        by_id(driver, "confirm-yes").click()
        wait_for(driver, "under way", lambda d: "record " in text_of(d, "progress-line"), 30)
        wait_for(driver, "stop offered", lambda d: by_id(d, "stop").is_enabled())
        by_id(driver, "stop").click()
        wait_for(driver, "outcome", lambda d: text_of(d, "result") != "", 30)
        self.assertRegex(text_of(driver, "result"),
                         r"✖ download stopped on request after \d+ of 41 records were written and checked")
        self.assertIn("failed", phase(driver, "write"))
        # Again, erasing what the stopped download left.
        by_id(driver, "erase-first").click()
        self.assertIn("erase and download into area 2", ask_to_program(driver))
        self.assertIn("✔ slow.hex programmed into area 2", program_accepted(driver, 60))
        self.assertIn("all 41 records match", phase(driver, "verify"))
        # The same addresses with other bytes in one record: verify names it.
        changed = blocks[:5] + [(0x5000, bytes([0xEE]) * 1024)] + blocks[6:]
        choose_image(driver, write_image(self.scratch, "changed.hex", changed), 2)
        by_id(driver, "verify-image").click()
        wait_for(driver, "verify outcome", lambda d: "verify" in text_of(d, "result"), 30)
        self.assertEqual(text_of(driver, "result"), "✖ verify: 1 of 41 records differ in area 2")
        self.assertEqual(text_of(driver, "verify-records"),
                         "✖ record 6 of 41 (0x00005000..0x000053FF, 1024 bytes): differs")
        # A verify changes nothing: the log has the stopped download and the completed one.
        outcomes = [line.split("  ")[-1].split(":")[0] for line in text_of(driver, "service-log-lines").splitlines()]
        self.assertEqual(outcomes, ["stopped", "ok"])

    def test_the_confirmation_refuses_to_erase_until_accepted(self):
        config = write_config(self.scratch, [{"name": "Careful unit", "sectors": 4,
                                              "applications": [{"sector": 1, "id": 9, "name": "Keep me"}]}])
        gui, driver = self.open(["-vv", "--sim", config])
        connect(driver, "Careful unit")
        image = write_image(self.scratch, "new.hex", [(0, application(12, "Replacement"))])
        choose_image(driver, image, 1)
        by_id(driver, "check-image").click()
        wait_for(driver, "preflight", lambda d: "not empty" in text_of(d, "preflight"))
        self.assertIn("sector 1 is not empty: it holds application id 9 'Keep me'", text_of(driver, "preflight"))
        by_id(driver, "erase-first").click()
        self.assertIn("erase and download into area 1 (application id 9 'Keep me') of Careful unit",
                      ask_to_program(driver))
        screenshot(driver, "confirm.png", "program")
        by_id(driver, "confirm-no").click()
        wait_for(driver, "refusal shown", lambda d: "not confirmed, nothing was changed" in text_of(d, "result"))
        time.sleep(0.5)
        self.assertNotRegex(gui.errors(), r"host> [0-9A-F]{2} erase")
        self.assertIn("id 9 'Keep me'", text_of(driver, "flash-layout"))
        ask_to_program(driver)
        self.assertIn("✔ new.hex programmed into area 1", program_accepted(driver))
        self.assertRegex(gui.errors(), r"host> [0-9A-F]{2} erase")
        wait_for(driver, "replaced", lambda d: "id 12 'Replacement'" in text_of(d, "flash-layout"))


if __name__ == "__main__":
    unittest.main()
