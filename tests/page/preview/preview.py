#!/usr/bin/python3
"""Preview of the launcher page in headless Chromium, without the launcher.

Copies the page's resources into a temporary folder, turns every res:NAME
reference into /NAME, puts shim.js (stand-ins for the natives and `Engine`)
before the page's scripts, serves the folder on loopback and takes one
screenshot per scenario (transparent outside the page). Prints the PNG paths.

    tests/page/preview/preview.py [output folder] [scenario ...]
    tests/page/preview/preview.py --check

--check runs checks.js in the page (banners, progress, status texts, buttons,
language switch, launcher data good, offline, malformed and hostile, close)
and prints its PASS/FAIL lines; the exit status is 1 when any check failed.

Needs chromium and python3-pil (Debian packages). For looking at the page
while changing it; the launcher's own tests drive the real window.
"""

import functools
import html
import http.server
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
RES = os.path.join(ROOT, "src", "ui", "res")

SCENARIOS = {
    "loading": "data=good&key=LoadingStatus&progress=-1",
    "downloading": "data=good&key=DownloadingAndUnpackingFiles&progress=4200"
                   "&speed=3.2%20MB/s&size=412%20MB%20/%20981%20MB&repair=0",
    "ready": "data=good&key=ApplicationReady&progress=10000&play=1&repair=1",
    "hover": "data=good&key=ApplicationReady&progress=10000&play=1&repair=1"
             "&hover=launchgamebtn,close,minimize,dropdown,menu1",
    "cn": "data=good&lang=cn&key=ApplicationReady&progress=10000&play=1&repair=1",
    "ru": "data=good&lang=ru&key=CheckingFile&value=%5Cbin32%5Ca.dll&progress=300",
    "offline": "data=offline&key=VersionCheckError&progress=0&repair=1",
    "hostile": "data=hostile&key=ApplicationReady&play=1",
}


def resource_files():
    for folder, _, files in os.walk(RES):
        for name in files:
            if name.endswith((".md", ".txt")) or name.startswith("LICENSE"):
                continue
            yield name, os.path.join(folder, name)


def build_site(site, port):
    for name, path in resource_files():
        shutil.copy(path, os.path.join(site, name))
    for name in os.listdir(site):
        if not name.endswith((".htm", ".tis", ".css")):
            continue
        path = os.path.join(site, name)
        text = open(path, encoding="utf-8-sig").read()
        if name == "default.htm":
            text = re.sub(r'(content="[^"]*)"',
                          lambda m: m.group(0).replace("res:", "'self'")
                          .replace("img-src 'self'", "img-src 'self' http://127.0.0.1:%d" % port),
                          text, count=1)
            text = text.replace('<script defer', '<script src="/shim.js"></script>\n'
                                '<script src="/checks.js"></script>\n'
                                '<script defer src="/preview-hover.js"></script>\n<script defer', 1)
        if name.endswith(".css"):
            text = re.sub(r":hover", ":is(:hover, .preview-hover)", text)
        text = re.sub(r"res:([A-Za-z0-9_.\-]+)", r"/\1", text)
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    shutil.copy(os.path.join(HERE, "shim.js"), site)
    shutil.copy(os.path.join(HERE, "checks.js"), site)
    with open(os.path.join(site, "preview-hover.js"), "w") as f:
        f.write("""document.addEventListener("DOMContentLoaded", () => {
  const ids = (new URLSearchParams(location.search).get("hover") || "").split(",");
  for (const id of ids) {
    const el = id === "menu1" ? document.querySelector("#menu-bar a") : document.getElementById(id);
    if (el) el.classList.add("preview-hover");
  }
});
""")
    # Stand-in banners of the service.
    font = ImageFont.truetype(os.path.join(RES, "fonts", "PlayfairDisplayBold.ttf"), 30)
    for n, (c0, c1, title) in enumerate([((60, 20, 12), (150, 70, 20), "Ashen Vale"),
                                         ((12, 30, 60), (40, 110, 150), "Midsummer Festival"),
                                         ((30, 12, 50), (110, 40, 140), "Guild Wars IV")], 1):
        img = Image.new("RGB", (369, 149))
        d = ImageDraw.Draw(img)
        for x in range(369):
            t = x / 368
            d.line([(x, 0), (x, 148)], fill=tuple(int(a + (b - a) * t) for a, b in zip(c0, c1)))
        d.text((20, 52), title, font=font, fill=(255, 236, 190))
        img.save(os.path.join(site, "preview-banner%d.png" % n))


def run_checks(port):
    url = "http://127.0.0.1:%d/default.htm?check=1&data=good&key=LoadingStatus&play=1&repair=1" % port
    result = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                             "--virtual-time-budget=60000", "--dump-dom", url],
                            capture_output=True, text=True, timeout=300)
    match = re.search(r'<pre id="preview-report">(.*?)</pre>', result.stdout, re.S)
    if not match:
        print("FAIL no report")
        return 1
    report = html.unescape(match.group(1))
    print(report)
    return 1 if "FAIL" in report or not report.endswith("END") else 0


def main():
    check = sys.argv[1:] == ["--check"]
    out = sys.argv[1] if len(sys.argv) > 1 and not check else tempfile.mkdtemp(prefix="page-preview-")
    names = sys.argv[2:] or list(SCENARIOS)
    os.makedirs(out, exist_ok=True)
    site = tempfile.mkdtemp(prefix="page-site-")
    class Quiet(http.server.SimpleHTTPRequestHandler):
        def log_message(self, *args):
            pass

    handler = functools.partial(Quiet, directory=site)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler)
    port = server.server_address[1]
    http.server.SimpleHTTPRequestHandler.extensions_map[".tis"] = "text/javascript"
    build_site(site, port)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        if check:
            return run_checks(port)
        for name in names:
            png = os.path.join(out, "page-%s.png" % name)
            url = "http://127.0.0.1:%d/default.htm?%s" % (port, SCENARIOS[name])
            subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu",
                            "--hide-scrollbars", "--window-size=1483,901",
                            "--run-all-compositor-stages-before-draw",
                            "--default-background-color=00000000",
                            "--virtual-time-budget=5000", "--screenshot=" + png, url],
                           check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=120)
            # The page sits in the middle of the window: keep the page itself.
            with Image.open(png) as im:
                im.crop((247, 150, 247 + 989, 150 + 601)).save(png)
            print(png)
    finally:
        server.shutdown()
        shutil.rmtree(site, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
