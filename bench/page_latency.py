"""The studio's latency as the page itself sees it, in headless Chromium: performance.now() from a
typed U Scale (the edit field's change event, as Enter sends it) until both the sample slot's and
the viewport preview's load events, value alternating so every change rebuilds the map. Prints
the median and 95th percentile per mesh, and the server's phases from the images' Server-Timing
entries (PerformanceResourceTiming.serverTiming).

Usage: /usr/bin/python3 bench/page_latency.py VELDMAP PLUGIN_DIR MESH_DIR [CHANGES]
MESH_DIR holds engine.ply and terrain.ply, as `latency_bench --export-meshes MESH_DIR` writes them.
Needs python3-selenium and chromium-driver."""
import math
import statistics
import subprocess
import sys

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

VELDMAP, PLUGINS, MESHES = sys.argv[1:4]
CHANGES = int(sys.argv[4]) if len(sys.argv) > 4 else 20

# Resolves with the milliseconds from the change until both images have loaded their new source,
# and the Server-Timing phases of those two requests.
CHANGE_SCRIPT = """
const done = arguments[arguments.length - 1];
const field = document.querySelector('[data-control-id="1165"]');
const images = [document.getElementById('preview'), document.getElementById('sample')];
const before = images.map((img) => img.src);
const start = performance.now();
const loaded = images.map((img, k) => new Promise((resolve) => {
  const check = () => {
    if (img.src === before[k] || !img.complete || img.naturalWidth === 0) return;
    img.removeEventListener('load', check);
    resolve([performance.now(), img.src]);
  };
  img.addEventListener('load', check);
}));
field.value = arguments[0];
field.dispatchEvent(new Event('change'));
Promise.all(loaded).then((ends) => {
  const phases = {};
  for (const [, src] of ends) {
    const entry = performance.getEntriesByName(src)[0];
    const kind = src.includes('sample.png') ? 'sample' : 'preview';
    for (const t of (entry ? entry.serverTiming : [])) phases[kind + '.' + t.name] = t.duration;
  }
  // When each request left and its answer was in, from the change.
  for (const entry of performance.getEntriesByType('resource')) {
    const kind = ['params', 'preview', 'sample'].find((k) => entry.name.includes('/' + k));
    if (!kind) continue;
    phases[kind + '.sent'] = entry.startTime - start;
    phases[kind + '.answered'] = entry.responseEnd - start;
  }
  phases['page.loaded'] = Math.max(...ends.map((e) => e[0])) - start;
  performance.clearResourceTimings();
  done([Math.max(...ends.map((e) => e[0])) - start, phases]);
});
"""


def percentile(samples, percent):
    ordered = sorted(samples)
    return ordered[max(0, math.ceil(percent / 100 * len(ordered)) - 1)]


def measure(browser, mesh):
    server = subprocess.Popen([VELDMAP, "studio", f"{mesh}.ply", "--root", MESHES, "--plugins", PLUGINS, "-q"],
                              stdout=subprocess.PIPE, text=True)
    try:
        address = server.stdout.readline().strip()
        browser.get(address)
        wait = WebDriverWait(browser, 300)
        wait.until(lambda b: b.find_element(By.CSS_SELECTOR, '[data-control-id="1165"]').get_attribute("value"))
        wait.until(lambda b: b.execute_script(
            "return ['sample', 'preview'].every((id) => document.getElementById(id).complete"
            " && document.getElementById(id).naturalWidth > 0)"))
        browser.execute_script("performance.clearResourceTimings()")
        times, phases = [], {}
        for i in range(CHANGES):
            value = "1.5" if i % 2 == 0 else "1.0"
            elapsed, server_phases = browser.execute_async_script(CHANGE_SCRIPT, value)
            times.append(elapsed)
            for name, ms in server_phases.items():
                phases.setdefault(name, []).append(ms)
        print(f"{mesh:8s} changes {len(times):3d}  median {statistics.median(times):7.1f} ms"
              f"  p95 {percentile(times, 95):7.1f} ms")
        shown = ("preview.check", "preview.preview", "preview.encode", "sample.update", "sample.render",
                 "sample.encode")
        print("          server medians (ms): " + ", ".join(
            f"{name} {statistics.median(phases[name]):.1f}" for name in shown if name in phases))
        timeline = [f"{kind}.{when}" for kind in ("params", "preview", "sample") for when in ("sent", "answered")]
        print("          page medians (ms from the change): " + ", ".join(
            f"{name} {statistics.median(phases[name]):.1f}" for name in timeline + ["page.loaded"] if name in phases))
    finally:
        server.terminate()
        server.wait(timeout=60)
        server.stdout.close()


def main():
    options = webdriver.ChromeOptions()
    for arg in ("--headless", "--no-sandbox", "--disable-gpu", "--window-size=1100,800", "--disable-quic",
                "--no-first-run", "--disable-background-networking", "--disable-component-update", "--disable-sync"):
        options.add_argument(arg)
    browser = webdriver.Chrome(options=options)
    browser.set_script_timeout(300)
    try:
        for mesh in ("engine", "terrain"):
            measure(browser, mesh)
    finally:
        browser.quit()


if __name__ == "__main__":
    main()
