"""The studio page in headless Chromium, driven through Debian's python3-selenium and
chromium-driver: the rollout's captions at the template's boxes, typing and dragging a spinner,
a clamped entry, the enable rule, Pick Object, Bake, Export Mesh and Help, a scene saved and
reopened in a new studio, and the images the page shows read back from a canvas, each checked
against what the API reports.

Usage: browser_test.py VELDMAP PLUGIN_DIR SAMPLES_DIR [SCREENSHOT_DIR]. Screenshots of the main
states go to SCREENSHOT_DIR when it is given. Exits 77 (CTest's skip) when selenium or
chromedriver is missing."""
import base64
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import unittest
import urllib.request
import zlib

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
SCREENSHOTS = sys.argv[4] if len(sys.argv) > 4 else None

# An 8-point dialog font's average character is 6 x 13 pixels: a horizontal dialog unit is a
# quarter of its width, a vertical one an eighth of its height.
DIALOG_UNIT_PIXELS = {8: (1.5, 1.625)}


def decode_png(data):
    """(width, height, channels, pixel bytes) of an 8-bit, non-interlaced PNG: a reader of our
    own, so the check does not rest on the page's decoder."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG"
    pos, idat = 8, b""
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if kind == b"IHDR":
            width, height, depth, color_type, _, _, interlace = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        elif kind == b"IEND":
            break
    assert depth == 8 and interlace == 0, (depth, interlace)
    channels = {0: 1, 2: 3, 4: 2, 6: 4}[color_type]
    raw = zlib.decompress(idat)
    stride = width * channels
    out, previous = bytearray(), bytearray(stride)
    for y in range(height):
        start = y * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1:start + 1 + stride])
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = previous[i]
            c = previous[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 255
            elif kind == 2:
                line[i] = (line[i] + b) & 255
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 255
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        out += line
        previous = line
    return width, height, channels, bytes(out)


class StudioPage(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="veldmap-browser-")
        shutil.copy(os.path.join(SAMPLES, "hills.obj"), self.root)
        self.servers = []
        self.server, self.address = self.start_studio("hills.obj")
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
        for server in self.servers:
            server.terminate()
            server.stdout.close()
            self.assertEqual(server.wait(timeout=30), 0, "veldmap studio stops cleanly on SIGTERM")
        shutil.rmtree(self.root)

    def start_studio(self, *files):
        """A new `veldmap studio FILES --root ROOT`, as a user starts it: (process, address)."""
        server = subprocess.Popen(
            [VELDMAP, "studio", *files, "--root", self.root, "--plugins", PLUGINS, "-q"],
            stdout=subprocess.PIPE, text=True)
        self.servers.append(server)
        address = server.stdout.readline().strip()
        self.assertTrue(address.startswith("http://127.0.0.1:"), address)
        return server, address

    def fetch(self, path, address=None):
        """The bytes the server at address (default: this test's first) answers for path."""
        base, token = (address or self.address).split("/?token=")
        request = urllib.request.Request(base + path, headers={"X-Veldmap-Token": token})
        with urllib.request.urlopen(request) as answer:
            return answer.read()

    def params(self, address=None):
        """Every parameter of map 1 by name, as the block holds it."""
        rollouts = json.loads(self.fetch("/api/maps/1/rollouts", address))
        return {p["name"]: p["value"] for p in rollouts["pages"][0]["params"]}

    def screenshot(self, name):
        if SCREENSHOTS:
            os.makedirs(SCREENSHOTS, exist_ok=True)
            self.browser.save_screenshot(os.path.join(SCREENSHOTS, f"{self.id().split('.')[-1]}-{name}.png"))

    def shown_image(self, element_id):
        """The pixels the page shows in the <img> element_id, drawn into a canvas and read back:
        (src, width, height, RGBA bytes), or None while the image is loading."""
        shown = self.browser.execute_script("""
            const img = document.getElementById(arguments[0]);
            if (!img || !img.src || !img.complete || img.naturalWidth === 0) return null;
            const canvas = document.createElement('canvas');
            canvas.width = img.naturalWidth;
            canvas.height = img.naturalHeight;
            const context = canvas.getContext('2d');
            context.drawImage(img, 0, 0);
            const data = context.getImageData(0, 0, canvas.width, canvas.height).data;
            let text = '';
            for (let i = 0; i < data.length; i += 8192) text += String.fromCharCode(...data.subarray(i, i + 8192));
            return [img.src, canvas.width, canvas.height, btoa(text)];
        """, element_id)
        if shown is None:
            return None
        return shown[0], shown[1], shown[2], base64.b64decode(shown[3])

    def assert_page_shows(self, element_id, png):
        """The <img> element_id shows exactly the pixels of png (bytes of an opaque image)."""
        width, height, channels, pixels = decode_png(png)
        self.wait_for(lambda: self.shown_image(element_id) is not None)
        _, shown_width, shown_height, rgba = self.shown_image(element_id)
        self.assertEqual((shown_width, shown_height), (width, height))
        differ = 0
        for i in range(width * height):
            expected = pixels[i * channels:i * channels + 3] if channels >= 3 else pixels[i * channels:i * channels + 1] * 3
            if rgba[i * 4:i * 4 + 3] != expected or rgba[i * 4 + 3] != 255:
                differ += 1
        self.assertEqual(differ, 0, f"{differ} of {width * height} pixels of #{element_id} differ from the API's image")

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

    def test_rollout_shows_the_modules_captions_at_the_template_positions(self):
        self.screenshot("loaded")
        page = self.api("/api/maps/1/rollouts")["pages"][0]
        scale_x, scale_y = DIALOG_UNIT_PIXELS[page["template"]["fontPointSize"]]
        drawn = self.browser.execute_script("""
            const dialog = document.querySelector('.dialog');
            const d = dialog.getBoundingClientRect();
            return {
              dialog: [d.left + dialog.clientLeft, d.top + dialog.clientTop, d.width, d.height],
              controls: [...dialog.children].map((e) => {
                const r = e.getBoundingClientRect();
                return {id: Number(e.dataset.controlId), text: e.textContent, box: [r.left, r.top, r.width, r.height]};
              }),
            };
        """)
        left, top, width, height = drawn["dialog"]
        self.assertAlmostEqual(width, page["template"]["width"] * scale_x, delta=1)
        self.assertAlmostEqual(height, page["template"]["height"] * scale_y, delta=1)

        # Controls with an identifier are found by it; the static texts (all -1) in template order.
        expected = [c for c in page["controls"] if "box" in c]
        statics = [e for e in drawn["controls"] if e["id"] == -1]
        by_id = {e["id"]: e for e in drawn["controls"] if e["id"] != -1}
        self.assertEqual(len(drawn["controls"]), len(expected))
        for control in expected:
            element = statics.pop(0) if control["id"] == -1 else by_id[control["id"]]
            x, y, w, h = control["box"]
            want = [left + x * scale_x, top + y * scale_y, w * scale_x, h * scale_y]
            for got, value, what in zip(element["box"], want, ("left", "top", "width", "height")):
                self.assertAlmostEqual(got, value, delta=1, msg=f"control {control['id']} {control['caption']!r} {what}")
            if control["kind"].startswith("text-") or control["kind"] == "checkbox":
                self.assertEqual(element["text"], control["caption"])
            elif control["kind"] == "button":
                # A picker shows what it holds (the picked node's name), otherwise its caption.
                self.assertEqual(element["text"], control.get("text") or control["caption"])
        self.assertEqual(statics, [])
        self.assertIn("Pick Object", [c["caption"] for c in expected])

    def test_images_on_the_page_are_the_maps_images(self):
        self.wait_for(lambda: self.shown_image("preview") is not None)
        self.assert_page_shows("sample", self.fetch("/api/maps/1/sample.png"))
        self.assert_page_shows("preview", self.fetch("/api/maps/1/preview.png"))
        before = self.shown_image("sample")

        self.type_into(1169, "0.25")  # U Offset moves the map across the slot
        self.wait_for(lambda: self.param("uOffset") == 0.25)
        self.wait_for(lambda: self.shown_image("sample") is not None and self.shown_image("sample")[0] != before[0])
        self.screenshot("after-edit")
        # The page asks for the preview first, whose GetVPDisplayDIB rebuilds the map; the sample
        # slot, asked after it, renders without rebuilding (its Server-Timing has no update).
        phases = self.browser.execute_script("""
            const entry = performance.getEntriesByName(document.getElementById('sample').src)[0];
            return entry ? entry.serverTiming.map((t) => t.name) : null;""")
        self.assertIn("render", phases)
        self.assertNotIn("update", phases)
        after = self.fetch("/api/maps/1/sample.png")
        self.assert_page_shows("sample", after)
        self.assertNotEqual(self.shown_image("sample")[3], before[3], "the edit moved the map in the slot")
        self.assert_page_shows("preview", self.fetch("/api/maps/1/preview.png"))

    def test_pick_bake_export_save_and_reopen_in_a_new_studio(self):
        # A second mesh, opened from the page, is picked from the scene list.
        with open(os.path.join(self.root, "ridge.obj"), "w") as obj:
            # OBJ is Y-up: the file's y is the height and its -z the host's y; faces run
            # counter-clockwise seen from above.
            for j in range(6):
                for i in range(6):
                    obj.write(f"v {i} {(i * 7 + j * 3) % 5 * 0.2} {-j}\n")
            for j in range(5):
                for i in range(5):
                    a, b, c, d = j * 6 + i + 1, j * 6 + i + 2, (j + 1) * 6 + i + 1, (j + 1) * 6 + i + 2
                    obj.write(f"f {a} {b} {c}\nf {b} {d} {c}\n")
        self.browser.find_element(By.ID, "open-path").send_keys("ridge.obj", Keys.ENTER)
        self.wait_for(lambda: [n["name"] for n in self.api("/api/scene")["nodes"]] == ["hills", "ridge"])
        self.click(1100)  # Pick Object
        self.wait_for(lambda: self.browser.find_element(By.ID, "pick-hint").is_displayed())

        def pick():
            for row in self.browser.find_elements(By.CSS_SELECTOR, "#nodes tbody tr"):
                if row.find_element(By.TAG_NAME, "td").text == "ridge":
                    row.click()
                    return True
            return False
        self.wait_for(pick)
        self.wait_for(lambda: self.api("/api/scene")["maps"][0]["node"] == "ridge")
        self.wait_for(lambda: self.control(1100).text == "ridge")

        self.type_into(1165, "2.5")  # U Scale
        self.wait_for(lambda: self.param("uScale") == 2.5)
        self.click(1102)  # Bake: the map keeps the mesh and lets go of the node
        self.wait_for(lambda: self.api("/api/scene")["maps"][0]["node"] is None)
        self.click(1103)  # Export Mesh: the baked mesh comes back as a node of its own
        self.wait_for(lambda: len(self.api("/api/scene")["nodes"]) == 3)
        exported = self.api("/api/scene")["nodes"][2]
        self.assertEqual(exported["faces"], 50, exported)
        save_as = self.browser.find_element(By.ID, "save-path")
        save_as.send_keys("baked.vlds", Keys.ENTER)
        self.wait_for(lambda: self.api("/api/scene")["file"] == "baked.vlds")
        self.wait_for(lambda: self.control(1165).get_attribute("value") == "2.500")
        self.screenshot("after-bake-export-save")
        self.assertTrue(os.path.isfile(os.path.join(self.root, "baked.vlds")))

        values = self.params()
        self.assertEqual((values["node"], values["uScale"]), (None, 2.5))
        sample = self.fetch("/api/maps/1/sample.png")
        self.assert_page_shows("sample", sample)
        self.assertGreater(len(set(decode_png(sample)[3])), 2, "the baked ridge shows in the sample slot")

        # A new studio on the saved file: the same values and the same sample slot, byte for byte,
        # in its API and on its page.
        _, address = self.start_studio("baked.vlds")
        self.assertEqual(self.params(address), values)
        self.assertEqual(self.fetch("/api/maps/1/sample.png", address), sample)
        self.browser.get(address)
        self.wait_for(lambda: self.control(1165).get_attribute("value") == "2.500")
        self.assert_page_shows("sample", sample)
        self.screenshot("reopened")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
