"""The studio's time slider and Auto Key in headless Chromium: with Auto Key on, an edit of
"U Scale" at frame 10 sets a key, so the page's sample slot and sphere differ between frames 0
and 10, the spinner shows each frame's value, and what the page shows is what the server renders
at that frame.

Usage: browser_time_test.py SERVE_STUDIO PLUGIN_DIR SAMPLES_DIR (as browser_test.py, whose page
set-up it shares). Exits 77 (CTest's skip) when selenium or chromedriver is missing."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from browser_test import StudioPage  # noqa: E402  (exits 77 itself without selenium)
from selenium.webdriver.common.by import By  # noqa: E402
from selenium.webdriver.common.keys import Keys  # noqa: E402

U_SCALE_EDIT = 1165
V_SCALE_EDIT = 1166

# The pixels of an image as the page decoded them, as one string: arguments[0] is an <img>
# element, or a URL to load first. Calls back with null while the image is not there yet.
PIXELS = """
const [source, done] = arguments;
function read(img) {
  if (!img.complete || img.naturalWidth === 0) return done(null);
  const canvas = document.createElement('canvas');
  canvas.width = img.naturalWidth;
  canvas.height = img.naturalHeight;
  const context = canvas.getContext('2d');
  context.drawImage(img, 0, 0);
  done(Array.from(context.getImageData(0, 0, canvas.width, canvas.height).data).join(','));
}
if (typeof source === 'string') {
  const img = new Image();
  img.onload = () => read(img);
  img.onerror = () => done(null);
  img.src = source;
} else {
  read(source);
}
"""


class TimeAndAutoKey(StudioPage):
    def time(self):
        return self.api("/api/time")

    def shown(self, element_id):
        return self.browser.execute_async_script(PIXELS, self.browser.find_element(By.ID, element_id))

    def rendered(self, query):
        return self.browser.execute_async_script(
            PIXELS, f"/api/maps/1/sample.png?token={self.token}{query}")

    def key_marks(self):
        marks = self.browser.find_elements(By.CSS_SELECTOR, "#key-marks span")
        return sorted(int(m.get_attribute("data-frame")) for m in marks)

    def move_to(self, frame):
        slider = self.browser.find_element(By.ID, "time-slider")
        keys = [Keys.HOME] + [Keys.ARROW_RIGHT] * frame
        slider.send_keys(*keys)
        self.wait_for(lambda: self.time()["frame"] == frame)
        self.wait_for(lambda: self.browser.find_element(By.ID, "frame-label").text == f"{frame} / 100")
        # The page redraws the rollout once it has the new frame's values: wait for that, so the
        # next edit is not typed into a field about to be replaced.
        self.wait_for(lambda: self.browser.find_element(By.ID, "rollouts").get_attribute("data-frame") == str(frame))

    def settled_images(self, frame):
        """The page's square and sphere once both show the server's render at frame."""
        images = {}

        def both_current():
            square, sphere = self.shown("sample"), self.shown("sample-sphere")
            if square is None or sphere is None:
                return False
            if square != self.rendered("") or sphere != self.rendered("&shape=sphere"):
                return False
            images["square"], images["sphere"] = square, sphere
            return True

        self.assertEqual(self.time()["frame"], frame)
        self.wait_for(both_current, seconds=20)
        return images

    def test_auto_key_at_frame_ten_and_scrubbing(self):
        auto_key = self.browser.find_element(By.ID, "auto-key")
        auto_key.click()
        self.wait_for(lambda: self.time()["autoKey"] is True)
        self.wait_for(lambda: self.browser.find_element(By.ID, "auto-key").get_attribute("aria-pressed") == "true")
        self.browser.save_screenshot(os.path.join(self.screenshots, "auto-key-on.png"))

        self.move_to(10)
        self.type_into(U_SCALE_EDIT, "2.5")
        self.wait_for(lambda: self.param("uScale") == 2.5)  # read at the editor's frame, 10
        self.wait_for(lambda: self.control(U_SCALE_EDIT).get_attribute("value") == "2.500")
        self.wait_for(lambda: "key-here" in self.control(U_SCALE_EDIT).get_attribute("class"))
        self.wait_for(lambda: self.key_marks() == [0, 10])  # the track shows the two keys
        at10 = self.settled_images(10)
        self.browser.save_screenshot(os.path.join(self.screenshots, "frame-10-keyed.png"))

        self.move_to(0)
        self.wait_for(lambda: self.control(U_SCALE_EDIT).get_attribute("value") == "1.000")
        self.assertEqual(self.param("uScale"), 1.0)
        at0 = self.settled_images(0)
        self.assertNotEqual(at0["square"], at10["square"])
        self.assertNotEqual(at0["sphere"], at10["sphere"])
        self.browser.save_screenshot(os.path.join(self.screenshots, "frame-0.png"))

        self.move_to(10)
        self.wait_for(lambda: self.control(U_SCALE_EDIT).get_attribute("value") == "2.500")
        self.assertEqual(self.settled_images(10), at10)

        # Auto Key off: an edit now changes the value everywhere the keys allow, and sets no key
        # on a parameter that had none.
        self.browser.find_element(By.ID, "auto-key").click()
        self.wait_for(lambda: self.time()["autoKey"] is False)
        self.type_into(V_SCALE_EDIT, "3")
        self.wait_for(lambda: self.param("vScale") == 3.0)
        self.move_to(0)
        self.wait_for(lambda: self.control(V_SCALE_EDIT).get_attribute("value") == "3.000")
        self.assertNotIn("keyed", self.control(V_SCALE_EDIT).get_attribute("class") or "")


if __name__ == "__main__":
    TimeAndAutoKey.screenshots = os.environ.get("VELDMAP_SCREENSHOTS", os.getcwd())
    os.makedirs(TimeAndAutoKey.screenshots, exist_ok=True)
    suite = unittest.TestSuite([TimeAndAutoKey("test_auto_key_at_frame_ten_and_scrubbing")])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() else 1)
