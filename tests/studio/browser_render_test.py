"""The studio's render panel in headless Chromium: a colour render at 512 x 512 appears and is the
server's finished image, a large render shows its coarse image first, fills in from the top and
stops on Cancel, and Save as writes an EXR with the command line's metadata into the root folder.

Usage: browser_render_test.py SERVE_STUDIO PLUGIN_DIR SAMPLES_DIR. Exits 77 (CTest's skip) when
selenium or chromedriver is missing (browser_test.py decides)."""
import os
import sys
import unittest
import urllib.request

import browser_test
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select


class RenderPanel(browser_test.StudioPage):
    def element(self, element_id):
        return self.browser.find_element(By.ID, element_id)

    def api_bytes(self, path):
        request = urllib.request.Request(self.base + path, headers={"X-Veldmap-Token": self.token})
        with urllib.request.urlopen(request) as answer:
            return answer.read()

    def start_render(self, output, width, height):
        Select(self.element("render-output")).select_by_visible_text(output)
        for field, value in (("render-width", width), ("render-height", height)):
            self.element(field).clear()
            self.element(field).send_keys(str(value))
        self.element("render-start").click()

    def shown(self):
        """The render id and final rows of the image the panel shows, or None."""
        image = self.element("render-image")
        if image.get_attribute("hidden") is not None or not image.get_attribute("data-render-id"):
            return None
        return int(image.get_attribute("data-render-id")), int(image.get_attribute("data-rows"))

    def shown_bytes(self):
        """The bytes of the picture the panel's image element holds."""
        return bytes(self.browser.execute_async_script("""
            const done = arguments[arguments.length - 1];
            fetch(document.getElementById('render-image').src)
              .then((r) => r.arrayBuffer()).then((b) => done(Array.from(new Uint8Array(b))));"""))

    def test_render_shows_the_finished_image_and_saves_it_as_exr(self):
        self.start_render("color", 512, 512)
        self.wait_for(lambda: self.element("render-panel").get_attribute("data-state") == "done")
        job = self.api("/api/render")
        self.assertEqual((job["output"], job["width"], job["height"]), ("color", 512, 512))
        self.wait_for(lambda: self.shown() == (job["id"], 512))
        self.assertEqual(self.browser.execute_script(
            "const i = document.getElementById('render-image'); return [i.naturalWidth, i.naturalHeight];"),
            [512, 512])
        self.assertEqual(self.shown_bytes(), self.api_bytes("/api/render/image.png"))
        self.assertEqual(self.element("render-progress").get_attribute("value"), "1")

        self.element("render-save-path").send_keys("page-render.exr")
        Select(self.element("render-format")).select_by_visible_text("exr")
        self.element("render-save").click()
        path = os.path.join(self.root, "page-render.exr")
        self.wait_for(lambda: os.path.exists(path))
        with open(path, "rb") as file:
            data = file.read()
        self.assertEqual(data[:4], b"\x76\x2f\x31\x01", "an OpenEXR file")
        for entry in (b"veldmap:source", b"veldmap:params", b"veldmap:coverage", b"veldmap:encoding"):
            self.assertIn(entry, data)
        self.wait_for(lambda: "page-render.exr" in self.element("status").text)

    def test_large_render_shows_coarse_then_fills_and_cancels(self):
        self.start_render("height", 4096, 4096)
        self.wait_for(lambda: self.element("render-cancel").is_enabled())
        job_id = self.api("/api/render")["id"]
        seen = []

        def record():
            now = self.shown()
            if now and now[0] == job_id and (not seen or seen[-1] != now[1]):
                seen.append(now[1])
            return any(rows > 0 for rows in seen)
        self.wait_for(record, seconds=60)
        # Bands follow the coarse image within milliseconds, so the page may first show it with a
        # few rows at the top already final; most of it must still be the coarse one.
        self.assertLess(seen[0], 4096 // 4, f"the first image shown was not mostly the coarse one: rows {seen}")
        self.assertTrue(all(a < b for a, b in zip(seen, seen[1:])), f"rows filled out of order: {seen}")

        self.element("render-cancel").click()
        self.wait_for(lambda: self.element("render-panel").get_attribute("data-state") == "cancelled")
        job = self.api("/api/render")
        self.assertEqual(job["state"], "cancelled")
        self.assertLess(job["done"], job["total"])
        self.assertFalse(self.element("render-cancel").is_enabled())
        self.assertIn("cancelled", self.element("render-state").text)


def load_tests(loader, standard_tests, pattern):
    # Only this file's tests: the base class's own run in browser_test.py.
    names = sorted(name for name in vars(RenderPanel) if name.startswith("test_"))
    return unittest.TestSuite(RenderPanel(name) for name in names)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
