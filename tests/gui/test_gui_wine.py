"""The Windows drova.exe's page under Wine, in the Linux chromium: the same
server and page as on Linux, with drova-sim.exe's devices on named pipes."""
import tempfile
import unittest

from gui_harness import CHROMEDRIVER, CHROMIUM, NO_BROWSER, RUNNER, Gui, application, browser, wait_for, write_config, \
    write_image
from test_gui_browser import ask_to_program, choose_image, connect, phase, program_accepted, rows


@unittest.skipUnless(CHROMIUM and CHROMEDRIVER, NO_BROWSER)
@unittest.skipUnless(RUNNER, "DROVA_RUNNER names no Wine runner")
class GuiUnderWine(unittest.TestCase):
    def test_two_devices_listed_and_one_programmed(self):
        scratch = tempfile.mkdtemp(prefix="drova-gui-wine-")
        config = write_config(scratch, [
            {"endpoint": "drova00", "name": "Wine unit A", "serial": "KV47D00291", "sectors": 4},
            {"endpoint": "drova01", "name": "Wine unit B", "serial": "KV47D00292", "sectors": 4}])
        gui = Gui(["--sim", config])
        driver = None
        try:
            self.assertRegex(gui.first_line, r"^http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}$")
            driver = browser()
            driver.get(gui.url)
            wait_for(driver, "both devices listed", lambda d: len(rows(d)) == 2)
            connect(driver, "Wine unit A")
            choose_image(driver, write_image(scratch, "wine.hex", [(0, application(4712, "Under Wine"))]), 2)
            self.assertIn("download into area 2 (empty) of Wine unit A, serial KV47D00291", ask_to_program(driver))
            self.assertIn("✔ wine.hex programmed into area 2 of Wine unit A", program_accepted(driver, 60))
            self.assertIn("all 2 records match", phase(driver, "verify"))
        finally:
            if driver:
                driver.quit()
            gui.stop()


if __name__ == "__main__":
    unittest.main()
