#!/usr/bin/env python3
"""The web panel in a real browser: the program runs with its own HOME, and
headless Chromium opens the printed address, starts the server, adds a title
with its folder chosen in the picker, answers a message box, goes to the tray
and back, and exits (Stop and Start again are MainDialog's).  The file and
the channel's listing must show the title.  The panel's address is kept
across a restart until renewed from the page.  Screenshots of each dialog go to
the artifacts folder.  Usage: panel_browser_test.py VELMORA CHANNEL ARTIFACTS"""
import http.client
import os
import re
import shutil
import socket
import subprocess
import sys
import tempfile
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


def status(url, path, host=None):
    netloc = re.match(r"http://([^/]+)", url).group(1)
    conn = http.client.HTTPConnection(netloc, timeout=WAIT)
    conn.request("GET", path, headers={"Host": host or netloc})
    code = conn.getresponse().status
    conn.close()
    return code


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
    port = free_port()
    with open(os.path.join(roku, "Velmora.ini"), "w", newline="") as f:
        f.write("[Velmora]\r\nName=Panel Test\r\nIPadrs=127.0.0.1\r\nPort=%d\r\n[Panel]\r\nPort=0\r\n" % port)
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

        wait_for("the main dialog", lambda: driver.find_elements(By.CSS_SELECTOR, '[data-dialog="100"]'))
        control(100, 102).click()
        wait_for("Stop", lambda: control(100, 102).text == "Stop")
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
        wait_for("the title reset", lambda: control(200, 220).get_attribute("value") == "Enter Title Name ")
        shot('[data-dialog="200"]', "panel-options.png")
        driver.save_screenshot(os.path.join(ARTIFACTS, "panel-page.png"))

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
        listing = subprocess.run([CHANNEL, "127.0.0.1", str(port), "/Roku/"], capture_output=True, text=True,
                                 timeout=WAIT).stdout
        assert '<a href="Cartoons/">Cartoons/</a>' in listing, listing
        # A request with a forged cookie is refused, and the
        # activity line says so on the page as it happens.
        with socket.create_connection(("127.0.0.1", port), timeout=WAIT) as probe:
            probe.sendall(b"GET /Roku/ HTTP/1.1\r\nHost: x\r\nCookie: forged\r\n\r\n")
            wait_for("the activity line", lambda: "Intruder Attempt" in control(100, 111).text)

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
        control(100, 105).click()
        assert program.wait(timeout=WAIT) == 0

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
