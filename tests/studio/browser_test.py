"""The studio page in headless Chromium, driven through Debian's python3-selenium and
chromium-driver: typing and dragging a spinner, a clamped entry, the enable rule, Export Mesh
twice and Help, each checked against the block's values the API reports.

Usage: browser_test.py SERVE_STUDIO PLUGIN_DIR SAMPLES_DIR. Exits 77 (CTest's skip) when
selenium or chromedriver is missing."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request

try:
    from selenium import webdriver
    from selenium.webdriver.common.action_chains import ActionChains
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
except ImportError:
    sys.exit(77)
if not shutil.which("chromedriver"):
    sys.exit(77)

VELDMAP, PLUGINS, SAMPLES = sys.argv[1:4]


class StudioPage(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="veldmap-browser-")
        shutil.copy(os.path.join(SAMPLES, "hills.obj"), self.root)
        # The command a user types: `veldmap studio hills.obj --root FOLDER`.
        self.server = subprocess.Popen(
            [VELDMAP, "studio", "hills.obj", "--root", self.root, "--plugins", PLUGINS, "-q"],
            stdout=subprocess.PIPE, text=True)
        self.address = self.server.stdout.readline().strip()
        self.assertTrue(self.address.startswith("http://127.0.0.1:"), self.address)
        self.base, self.token = self.address.split("/?token=")
        options = webdriver.ChromeOptions()
        # No background traffic: this machine reaches no outside host, and the test needs none.
        for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--window-size=1100,800", "--disable-quic",
                    "--no-first-run", "--disable-background-networking", "--disable-component-update",
                    "--disable-sync"):
            options.add_argument(arg)
        self.browser = webdriver.Chrome(options=options)
        self.browser.get(self.address)
        self.wait_for(lambda: self.control(1165).get_attribute("value") == "1.000")

    def tearDown(self):
        self.browser.quit()
        self.server.terminate()
        self.assertEqual(self.server.wait(timeout=30), 0, "veldmap studio stops cleanly on SIGTERM")
        shutil.rmtree(self.root)

    def api(self, path):
        request = urllib.request.Request(self.base + path, headers={"X-Veldmap-Token": self.token})
        return json.load(urllib.request.urlopen(request))

    def param(self, name):
        for p in self.api("/api/maps/1/rollouts")["pages"][0]["params"]:
            if p["name"] == name:
                return p["value"]
        self.fail("no parameter " + name)

    def control(self, control_id):
        return self.browser.find_element(By.CSS_SELECTOR, f'[data-control-id="{control_id}"]')

    def wait_for(self, condition, seconds=10):
        end = time.time() + seconds
        while time.time() < end:
            try:
                if condition():
                    return
            except Exception:  # the rollout is redrawn under us: ask again
                pass
            time.sleep(0.05)
        self.fail("timed out")

    def click(self, control_id, inner=None):
        # The rollout is redrawn after every answer, so the element is looked up at the moment of
        # the click and looked up again if it went stale in between.
        def attempt():
            element = self.control(control_id)
            (element.find_element(By.TAG_NAME, inner) if inner else element).click()
            return True
        self.wait_for(attempt)

    def type_into(self, control_id, text):
        field = self.control(control_id)
        field.send_keys(Keys.CONTROL, "a")
        field.send_keys(text, Keys.ENTER)

    def test_spinners_type_drag_and_clamp_through_the_block(self):
        sample = self.browser.find_element(By.ID, "sample").get_attribute("src")
        self.type_into(1165, "2.5")  # U Scale
        self.wait_for(lambda: self.param("uScale") == 2.5)
        self.wait_for(lambda: self.browser.find_element(By.ID, "sample").get_attribute("src") != sample)

        # Dragging the spinner up 20 pixels adds 20 steps of 0.1, however often the page redraws.
        spinner = self.control(1167)
        ActionChains(self.browser).click_and_hold(spinner).move_by_offset(0, -10).pause(0.3) \
            .move_by_offset(0, -10).pause(0.3).release().perform()
        self.wait_for(lambda: abs(self.param("uScale") - 4.5) < 1e-4)
        self.wait_for(lambda: self.control(1165).get_attribute("value") == "4.500")

        self.type_into(1173, "11")  # Quad Tree Depth: the block clamps to 10
        self.wait_for(lambda: self.param("quadTreeDepth") == 10)
        self.wait_for(lambda: self.control(1173).get_attribute("value") == "10")

    def test_enable_rule_commands_and_help(self):
        self.assertEqual(self.control(1101).get_attribute("disabled"), "true")
        self.click(1267, "input")  # Color Ramp
        self.wait_for(lambda: self.control(1101).get_attribute("disabled") is None)
        self.assertTrue(self.param("colorRamp"))

        self.click(1103)
        self.wait_for(lambda: len(self.api("/api/scene")["nodes"]) == 2)
        self.click(1103)
        self.wait_for(lambda: len(self.api("/api/scene")["nodes"]) == 3)
        names = [n["name"] for n in self.api("/api/scene")["nodes"]]
        self.assertEqual(len(set(names)), 3, names)

        self.click(1104)
        self.wait_for(lambda: len(self.browser.window_handles) == 2)
        self.browser.switch_to.window(self.browser.window_handles[1])
        self.wait_for(lambda: "Quad Tree Depth" in self.browser.page_source)
        self.assertTrue(self.browser.current_url.startswith(self.base + "/"), self.browser.current_url)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
