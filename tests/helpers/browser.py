"""A real headless Chromium for the tests that open pages, the pages served
to it on the loopback interface, and what a page shows in it."""

import base64
import contextlib
import functools
import shutil
import threading
from http.server import SimpleHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from optional import require

#: The browser window's size in CSS pixels.
WIDTH, HEIGHT = 1280, 1000


def chromium():
    """The system Chromium driven by its driver, or a reason to skip."""
    browser, driver = shutil.which("chromium"), shutil.which("chromedriver")
    if browser is None or driver is None:
        pytest.skip(
            "Debian's chromium and chromium-driver are not installed (apt-get install chromium chromium-driver)"
        )
    webdriver = require("selenium.webdriver", "test")
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for argument in [
        "--headless=new",
        "--no-sandbox",
        "--disable-gpu",
        f"--window-size={WIDTH},{HEIGHT}",
        "--disable-dev-shm-usage",
        "--no-first-run",
    ]:
        options.add_argument(argument)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service(driver), options=options)


@contextlib.contextmanager
def served(path):
    """The file `path` served over HTTP on 127.0.0.1 (its folder as the
    site): its address, and the list of the paths the browser asks for."""
    path = Path(path)
    asked = []

    class Handler(SimpleHTTPRequestHandler):
        def log_message(self, format, *args):
            asked.append(self.path)

    server = ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=str(path.parent)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_port}/{path.name}", asked
    finally:
        server.shutdown()
        server.server_close()
        thread.join()


def console_errors(browser):
    """The errors the open page logged to the browser's console."""
    return [entry for entry in browser.get_log("browser") if entry["level"] in ("SEVERE", "ERROR")]


def image_sizes(browser):
    """Each image of the open page: its width and height on the page and whether it loaded."""
    return browser.execute_script(
        "return [...document.querySelectorAll('img, svg')].map(e => [e.getBoundingClientRect().width,"
        " e.getBoundingClientRect().height, e.complete === undefined || e.naturalWidth > 0])"
    )


def screenshot(browser):
    """The whole open page, below the window too, as a PNG image, and the page's height in CSS pixels."""
    height = browser.execute_script("return document.documentElement.scrollHeight")
    shot = browser.execute_cdp_cmd(
        "Page.captureScreenshot",
        {
            "format": "png",
            "captureBeyondViewport": True,
            "clip": {"x": 0, "y": 0, "width": WIDTH, "height": height, "scale": 1},
        },
    )
    return base64.b64decode(shot["data"]), height
