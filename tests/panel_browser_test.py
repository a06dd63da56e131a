#!/usr/bin/env python3
"""The web panel in a real browser: the program runs with its own HOME, and
headless Chromium opens the printed address, starts the server, adds a title
with its folder chosen in the picker, answers a message box, goes to the tray
and back, and exits (Stop and Start again are MainDialog's).  The file and
the channel's listing must show the title.  The status view beside the
dialogs shows a fake player (launched from its button), a live stream (a
stand-in VLC, stopped from its button), the last requests and the shared
folders; the page reflows at phone width, and says when the server is stopped
or has ended.  The panel's address is kept across a restart until renewed
from the page.  Screenshots of each view go to the artifacts folder.  Usage: panel_browser_test.py VELMORA CHANNEL ARTIFACTS"""
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

VELMORA, CHANNEL, ARTIFACTS = sys.argv[1:4]
WAIT = 20


def wait_for(what, check):
    deadline = time.time() + WAIT
    while time.time() < deadline:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fetch(url, path, host=None):
    netloc = re.match(r"http://([^/]+)", url).group(1)
    conn = http.client.HTTPConnection(netloc, timeout=WAIT)
    conn.request("GET", path, headers={"Host": host or netloc})
    answer = conn.getresponse()
    code, body = answer.status, answer.read().decode()
    conn.close()
    return code, body


def status(url, path, host=None):
    return fetch(url, path, host)[0]


class FakePlayer:
    """A Roku player at 127.0.0.2: answers roku:ecp searches in the SSDP group
    and ECP requests (channel list, device-info, launch), keeping each one."""
    ADDR = "127.0.0.2"
    APPS = '<apps><app id="dev" version="1.0">Velmora</app></apps>\n'

    def __init__(self, name):
        self.name, self.requests = name, []
        self.group = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.group.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.group.bind(("", 1900))
        self.group.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP,
                              socket.inet_aton("239.255.255.250") + socket.inet_aton("0.0.0.0"))
        self.ecp = socket.create_server((self.ADDR, 8060))
        for loop in (self.searches, self.accepts):
            threading.Thread(target=loop, daemon=True).start()

    def searches(self):
        while True:
            data, peer = self.group.recvfrom(4096)
            if data.startswith(b"M-SEARCH") and b"roku:ecp" in data:
                self.group.sendto(("HTTP/1.1 200 OK\r\nCache-Control: max-age=300\r\nST: roku:ecp\r\nLocation: "
                                   "http://%s:8060/\r\nUSN: uuid:roku:ecp:P0A070000007\r\n\r\n" % self.ADDR).encode(), peer)

    def accepts(self):
        while True:
            threading.Thread(target=self.serve, args=(self.ecp.accept()[0],), daemon=True).start()

    def serve(self, conn):
        with conn:
            conn.settimeout(WAIT)
            while True:
                req = conn.recv(4096).decode("latin-1")
                if not req:
                    return
                self.requests.append(req)
                body = ("<device-info><user-device-name>%s</user-device-name></device-info>" % self.name
                        if req.startswith("GET /query/device-info") else self.APPS if req.startswith("GET") else "")
                conn.sendall(("HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n" % len(body)).encode())
                time.sleep(0.2)    # the launch reads the head and the list apart
                conn.sendall(body.encode())


def start(home, out_path):
    with open(out_path, "w") as out, open(os.path.join(home, "stderr.txt"), "w") as err:
        program = subprocess.Popen([VELMORA], env=dict(os.environ, HOME=home), stdout=out, stderr=err,
                                   stdin=subprocess.PIPE)
    url = wait_for("the panel line", lambda: re.search(r"^Panel - (\S+)$", open(out_path).read(), re.M))
    return program, url.group(1)


def main():
    os.makedirs(ARTIFACTS, exist_ok=True)
    home = tempfile.mkdtemp(prefix="velmora-panel-")
    roku = os.path.join(home, "My Roku")
    os.makedirs(os.path.join(home, "Movies", "Cartoons"))
    os.makedirs(roku)
    open(os.path.join(home, "Movies", "Cartoons", "clip.mkv"), "w").write("a movie to transcode")
    # A stand-in VLC: it runs until it is stopped, and writes nothing (as
    # another account when the server runs as root).
    os.chmod(home, 0o755)
    vlc = os.path.join(home, "vlc")
    os.makedirs(vlc)
    with open(os.path.join(vlc, "vlc"), "w") as f:
        f.write("#!/bin/sh\nexec sleep 120\n")
    os.chmod(os.path.join(vlc, "vlc"), 0o755)
    port = free_port()
    with open(os.path.join(roku, "Velmora.ini"), "w", newline="") as f:
        f.write("[Velmora]\r\nName=Panel Test\r\nIPadrs=127.0.0.1\r\nPort=%d\r\nAudit=1\r\nTranscode=1\r\n"
                "VLC_Path=%s\r\n[Panel]\r\nPort=0\r\n" % (port, vlc))
    player = FakePlayer("Living Room")
    out_path = os.path.join(home, "stdout.txt")
    program, url = start(home, out_path)
    driver = None
    try:
        token = url.split("token=")[1]
        # Refusals: no token, a wrong one, another Host.
        assert status(url, "/") == 403
        assert status(url, "/?token=" + "0" * len(token)) == 403
        assert status(url, "/?token=" + token, host="rebound.example:80") == 403
        assert status(url, "/?token=" + token) == 200

        profile = tempfile.mkdtemp(prefix="velmora-chromium-")
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--disable-background-networking", "--disable-component-update", "--disable-sync",
                    "--disable-default-apps", "--no-first-run", "--disable-extensions",
                    "--window-size=1000,900", "--user-data-dir=" + profile):
            options.add_argument(arg)
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.get(url)

        def control(dialog, cid):
            return driver.find_element(By.CSS_SELECTOR, '[data-dialog="%s"] [data-control="%s"]' % (dialog, cid))

        def gone(selector):
            return lambda: not driver.find_elements(By.CSS_SELECTOR, selector)

        def typed(dialog, cid, text):
            field = control(dialog, cid)
            field.send_keys(Keys.CONTROL, "a")
            field.send_keys(text)

        def shot(selector, name):
            driver.find_element(By.CSS_SELECTOR, selector).screenshot(os.path.join(ARTIFACTS, name))

        def shown(selector):
            return " ".join(e.text for e in driver.find_elements(By.CSS_SELECTOR, selector))

        wait_for("the main dialog", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-dialog="100"]'))
        wait_for("the stopped state", lambda: "stopped" in shown("[data-status=server]"))
        control(100, 104).click()
        wait_for("Connect without players", lambda: "No Roku player" in shown("[data-note]"))
        control(100, 102).click()
        wait_for("Stop", lambda: control(100, 102).text == "Stop")
        wait_for("the running state", lambda: "running" in shown("[data-status=server]"))
        # The fake player shows with its name and is launched from its button.
        wait_for("the player", lambda: "Living Room" in shown('[data-player="127.0.0.2"]'))
        driver.find_element(By.CSS_SELECTOR, '[data-player="127.0.0.2"] [data-launch]').click()
        wait_for("the launch", lambda: any(r.startswith("POST /launch/dev?adrs=127.0.0.1-%d " % port)
                                           for r in player.requests))
        wait_for("the server line", lambda: ":%d" % port in control(100, 114).text)
        shot('[data-dialog="100"]', "panel-main.png")

        control(100, 103).click()
        wait_for("the options dialog", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-dialog="200"]'))
        typed(200, 220, "Cartoons")
        # A second tab shows the same dialogs in the same state.
        first = driver.current_window_handle
        driver.switch_to.new_window("tab")
        driver.get(url)
        wait_for("the second tab", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-dialog="200"]') and
                 control(200, 220).get_attribute("value") == "Cartoons")
        driver.close()
        driver.switch_to.window(first)
        control(200, 223).click()
        wait_for("the picker", lambda: driver.find_elements(By.CSS_SELECTOR, "[data-picker] [data-entry=Movies]"))
        driver.find_element(By.CSS_SELECTOR, "[data-picker] [data-entry=Movies]").click()
        wait_for("Movies", lambda: driver.find_elements(By.CSS_SELECTOR, "[data-picker] [data-entry=Cartoons]"))
        driver.find_element(By.CSS_SELECTOR, "[data-picker] [data-entry=Cartoons]").click()
        folder = os.path.join(home, "Movies", "Cartoons")
        wait_for("Cartoons chosen", lambda: driver.find_element(
            By.CSS_SELECTOR, "[data-picker-path]").get_attribute("value") == folder)
        shot("[data-picker]", "panel-picker.png")
        driver.find_element(By.CSS_SELECTOR, "[data-picker-ok]").click()
        wait_for("the path", lambda: control(200, 224).get_attribute("value") == folder + "/")
        control(200, 221).click()
        wait_for("the confirmation", lambda: "Added \u201cCartoons\u201d" in shown("[data-note]"))
        wait_for("the prompt", lambda: control(200, 220).get_attribute("placeholder") == "Enter Title Name")
        assert control(200, 220).get_attribute("value") == ""
        wait_for("the folder list", lambda: "1 file" in shown('[data-status=folders] [data-folder="Cartoons"]'))
        shot('[data-dialog="200"]', "panel-options.png")
        driver.save_screenshot(os.path.join(ARTIFACTS, "panel-page.png"))
        # Typing where the prompt shows gives only what was typed.
        control(200, 220).send_keys("Kids")
        wait_for("the typed title", lambda: '"text":"Kids"' in fetch(url, "/state?token=" + token)[1])

        # At a phone's width every control of both dialogs and of the status
        # view lies within the screen.
        driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                               {"width": 390, "height": 844, "deviceScaleFactor": 1, "mobile": True})
        outside = driver.execute_script(
            "return [...document.querySelectorAll('#desk button, #desk input, #desk select, #desk [data-control],"
            " #status button')].filter(e => { const r = e.getBoundingClientRect();"
            " return r.left < 0 || r.right > window.innerWidth; }).map(e => e.outerHTML);")
        assert not outside, outside
        driver.save_screenshot(os.path.join(ARTIFACTS, "panel-phone.png"))
        driver.execute_cdp_cmd("Emulation.clearDeviceMetricsOverride", {})

        typed(200, 230, "/srv/kids")
        control(200, 233).click()
        wait_for("the box", lambda: "Missing PIN Code !" in "".join(
            e.text for e in driver.find_elements(By.CSS_SELECTOR, "[data-msgbox]")))
        shot("[data-msgbox]", "panel-msgbox.png")
        driver.find_element(By.CSS_SELECTOR, "[data-msgbox-ok]").click()
        wait_for("the box to go", gone("[data-msgbox]"))

        control(200, 240).click()
        wait_for("the options dialog to close", gone('[data-dialog="200"]'))
        ini = open(os.path.join(roku, "Velmora.ini"), newline="").read()
        assert "Cartoons=" + folder + "\r\n" in ini, ini
        listing = subprocess.run([CHANNEL, "127.0.0.1", str(port), "/Roku/", "/Roku/Cartoons/clip.mkv"], capture_output=True, text=True,
                                 timeout=WAIT).stdout
        assert '<a href="Cartoons/">Cartoons/</a>' in listing, listing
        wait_for("the request", lambda: "GET /Roku/Cartoons/clip.mkv " in shown("[data-status=requests]"))
        # A live stream shows while its VLC runs, and its Stop button ends it.
        watch = subprocess.Popen([CHANNEL, "-I", "127.0.0.1", str(port), "/Roku/Cartoons/clip.mkv"],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("the stream", lambda: "clip.mkv" in shown("[data-stream]") and "VLC running" in shown("[data-stream]"))
        driver.find_element(By.CSS_SELECTOR, "#status").screenshot(os.path.join(ARTIFACTS, "panel-status.png"))
        driver.find_element(By.CSS_SELECTOR, "[data-stream] [data-stop]").click()
        wait_for("the stream to go", gone("[data-stream]"))
        watch.wait(timeout=WAIT)
        # A request with a forged cookie is refused, and the activity line
        # says so on the page as it happens (every text it shows is kept:
        # discovery's counters take the line back soon).
        driver.execute_script("const e = arguments[0]; window.lines = []; new MutationObserver(() => "
                              "lines.push(e.textContent)).observe(e, {childList: true})", control(100, 111))
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as probe:
            probe.sendall(b"GET /Roku/ HTTP/1.1\r\nHost: x\r\nCookie: forged\r\n\r\n")
            wait_for("the activity line", lambda: "Intruder Attempt" in str(driver.execute_script("return lines")))

        driver.find_element(By.CSS_SELECTOR, '[data-dialog="100"] [data-minimize]').click()
        wait_for("the tray", lambda: driver.find_element(By.CSS_SELECTOR, "[data-tray]").is_displayed())
        driver.find_element(By.CSS_SELECTOR, "[data-tray]").click()
        wait_for("the restore", lambda: control(100, 105).is_displayed())

        # A new address from the page: the old token stops working at once.
        driver.find_element(By.CSS_SELECTOR, "[data-renew]").click()
        driver.switch_to.alert.accept()
        wait_for("the new address", lambda: token not in driver.current_url)
        assert status(url, "/?token=" + token) == 403
        url = url.split("?")[0] + "?token=" + driver.current_url.split("token=")[1]
        wait_for("the main dialog again", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-dialog="100"]'))
        control(100, 102).click()
        wait_for("the stopped state", lambda: "stopped" in shown("[data-status=server]"))
        control(100, 105).click()
        assert program.wait(timeout=WAIT) == 0
        wait_for("the ended state", lambda: "has ended" in shown("[data-status=server]"))
        assert not [b for b in driver.find_elements(By.CSS_SELECTOR, "button, input") if b.is_enabled()]
        driver.save_screenshot(os.path.join(ARTIFACTS, "panel-ended.png"))

        # The renewed address is kept for the account alone, written with
        # [Panel], and the next start takes it up again.
        kept = os.path.join(roku, "Panel.txt")
        assert os.stat(kept).st_mode & 0o777 == 0o600
        assert open(kept).read() == url + "\n"
        assert "[Panel]\r\nPort=0\r\nAddress=127.0.0.1\r\n" in open(os.path.join(roku, "Velmora.ini"), newline="").read()
        printed = subprocess.run([VELMORA, "--panel-address"], env=dict(os.environ, HOME=home),
                                 capture_output=True, text=True, timeout=WAIT).stdout
        assert printed == url + "\n", printed
        program, again = start(home, out_path)
        assert again.split("token=")[1] == url.split("token=")[1], (again, url)
        assert status(again, "/?token=" + token) == 403
        program.communicate(b"Exit\n", timeout=WAIT)
        print("panel browser test passed; screenshots in", ARTIFACTS)
    finally:
        if driver:
            driver.quit()
        if program.poll() is None:
            program.kill()
            program.wait()
        shutil.rmtree(home, ignore_errors=True)


if __name__ == "__main__":
    main()
