# SPDX-License-Identifier: MIT
"""The dashboard in a real browser: Debian's Chromium, headless, driven by
Selenium, against kdx7400d on virtual modules. Loopback only; every wait
is bounded. Leaves a screenshot at $KDX7400_SCREENSHOT."""

from __future__ import annotations

import os
import time
from pathlib import Path
from typing import Iterator

import pytest
from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.remote.webdriver import WebDriver
from selenium.webdriver.support.ui import WebDriverWait

from modbus_rig import Rig

TOKEN = "a-token-for-the-page-0123456789"


@pytest.fixture
def browser() -> Iterator[WebDriver]:
    options = Options()
    options.binary_location = "/usr/bin/chromium"
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                     "--window-size=1280,1000", "--no-first-run", "--disable-extensions"):
        options.add_argument(argument)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    driver.set_page_load_timeout(20)
    yield driver
    driver.quit()


def wait(driver: WebDriver, condition, seconds: float = 5):  # type: ignore[no-untyped-def]
    return WebDriverWait(driver, seconds, poll_frequency=0.05).until(lambda d: condition())


def test_the_dashboard_shows_and_drives_a_module(rig: Rig, browser: WebDriver) -> None:
    rig.add("pid=0x7401,bid=3,di=16,do=16")
    token_file = Path(rig.root, "token")
    token_file.write_text(TOKEN)
    base = rig.start_http("--module", "1=7401:3", "--http-token-file", str(token_file),
                          "--allow-write", "10.255.255.255/32", "--watch-interval", "20")
    browser.get(base)
    panel = wait(browser, lambda: browser.find_elements(By.ID, "module-1") and browser.find_element(By.ID, "module-1"))
    wait(browser, lambda: "Unit 1" in panel.find_element(By.CLASS_NAME, "title").text)
    switches = wait(browser, lambda: len(panel.find_elements(By.CLASS_NAME, "switch")) == 16 and
                    panel.find_elements(By.CLASS_NAME, "switch"))
    leds = panel.find_elements(By.CLASS_NAME, "led")
    assert len(leds) == 16

    # A write without the token is refused and changes nothing.
    switches[0].click()
    dialog = browser.find_element(By.ID, "token-dialog")
    wait(browser, lambda: dialog.get_attribute("open") is not None)
    browser.find_element(By.ID, "token-cancel").click()
    wait(browser, lambda: panel.find_element(By.CLASS_NAME, "error").is_displayed())
    assert rig.state()["outputs"] == 0
    assert "no token" in rig.log()

    # With the token, clicking a switch changes the module.
    switches[0].click()
    wait(browser, lambda: dialog.get_attribute("open") is not None)
    browser.find_element(By.ID, "token-input").send_keys(TOKEN + Keys.ENTER)
    wait(browser, lambda: rig.state()["outputs"] == 0x1)
    wait(browser, lambda: switches[0].get_attribute("aria-checked") == "true")
    # By keyboard too (the token is kept for the tab: no second question).
    switches[5].send_keys(Keys.SPACE)
    wait(browser, lambda: rig.state()["outputs"] == 0x21)
    assert dialog.get_attribute("open") is None

    # An input changed at the module lights its LED within a second.
    rig.sim("inputs", rig.root, "sg0", "0x2")
    wait(browser, lambda: "on" in leds[1].get_attribute("class").split(), seconds=1)

    # Pulses show in the counters' plots; then the picture for the README.
    for count in (200, 400, 300):
        rig.sim("pulse", rig.root, "sg0", "3", str(count))
        rig.sim("pulse", rig.root, "sg0", "6", str(count // 4))
        time.sleep(2.1)
    browser.find_element(By.TAG_NAME, "details").click()
    screenshot = os.environ.get("KDX7400_SCREENSHOT")
    if screenshot:
        browser.save_screenshot(screenshot)

    # Unplugged: a banner; back: gone.
    banner = panel.find_element(By.CLASS_NAME, "unplugged")
    assert not banner.is_displayed()
    rig.sim("unplug", rig.root, "sg0")
    wait(browser, banner.is_displayed)
    rig.add("pid=0x7401,bid=3,di=16,do=16")
    wait(browser, lambda: not banner.is_displayed())

    # All off asks first: cancelled, nothing written; confirmed, all off.
    switches[1].click()
    wait(browser, lambda: rig.state("sg1")["outputs"] == 0x2)
    confirm = browser.find_element(By.ID, "confirm-dialog")
    panel.find_element(By.CLASS_NAME, "all-off").click()
    wait(browser, lambda: confirm.get_attribute("open") is not None)
    assert "all 16 outputs of unit 1" in confirm.text
    browser.find_element(By.ID, "confirm-cancel").click()
    time.sleep(0.5)
    assert rig.state("sg1")["outputs"] == 0x2
    panel.find_element(By.CLASS_NAME, "all-off").click()
    wait(browser, lambda: confirm.get_attribute("open") is not None)
    browser.find_element(By.ID, "confirm-ok").click()
    wait(browser, lambda: rig.state("sg1")["outputs"] == 0)
    # A byte at once, asked first, leaving the other byte alone.
    switches[1].click()
    wait(browser, lambda: rig.state("sg1")["outputs"] == 0x2)
    actions = panel.find_elements(By.CLASS_NAME, "byte-action")
    assert [a.get_attribute("aria-label") for a in actions] == [
        "0–7 on: outputs 0 to 7 all on", "0–7 off: outputs 0 to 7 all off", "0–7 toggle: outputs 0 to 7 each flipped",
        "8–15 on: outputs 8 to 15 all on", "8–15 off: outputs 8 to 15 all off",
        "8–15 toggle: outputs 8 to 15 each flipped"]
    for action, asked, answer, outputs in [
        (3, "Switch on outputs 8 to 15", "confirm-cancel", 0x0002),
        (3, "Switch on outputs 8 to 15", "confirm-ok", 0xFF02),
        (2, "Toggle outputs 0 to 7", "confirm-ok", 0xFFFD),
        (5, "Toggle outputs 8 to 15", "confirm-cancel", 0xFFFD),
        (1, "Switch off outputs 0 to 7", "confirm-ok", 0xFF00),
    ]:
        actions[action].click()
        wait(browser, lambda: confirm.get_attribute("open") is not None)
        assert asked in confirm.text
        browser.find_element(By.ID, answer).click()
        time.sleep(0.3)
        wait(browser, lambda: rig.state("sg1")["outputs"] == outputs)
    # A phone-sized screen needs no sideways scrolling.
    browser.set_window_size(390, 844)
    wait(browser, lambda: browser.execute_script(
        "return document.documentElement.scrollWidth <= window.innerWidth"))
