# SPDX-License-Identifier: MIT
"""The dashboard as a plant engineer uses it, in headless Chromium: many
modules and tabs on one event stream, every setting through the page and
into the module, the watchdog at a glance, names that outlive a restart,
plots without spikes, banners that clear, and axe-core's audit. Leaves
screenshots in $KDX7400_SCREENSHOTS when it is set."""

from __future__ import annotations

import gzip
import json
import os
import re
import signal
import subprocess
import time
from pathlib import Path

from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.remote.webdriver import WebDriver
from selenium.webdriver.support.ui import Select

from modbus_rig import AUTH, PRELOAD, TOKEN, Rig
from test_page import browser, wait  # noqa: F401  (the fixture)

# axe-core as published on the npm registry, kept beside the tests (vendor/axe-core/README).
AXE = Path(__file__).parent / "vendor" / "axe-core" / "axe.min.js.gz"


def start(rig: Rig, *modules: str, extra: tuple[str, ...] = ()) -> str:
    for description in modules:
        rig.add(description)
    return rig.start_http_with_token("--all", "--state-dir", str(Path(rig.root, "state")), "--watch-interval", "20",
                                     *extra)


def panel(driver: WebDriver, unit: int):  # type: ignore[no-untyped-def]
    return wait(driver, lambda: driver.find_elements(By.ID, f"module-{unit}") and
                driver.find_element(By.ID, f"module-{unit}"), 10)


def give_token(driver: WebDriver) -> None:
    dialog = driver.find_element(By.ID, "token-dialog")
    wait(driver, lambda: dialog.get_attribute("open") is not None)
    driver.find_element(By.ID, "token-input").send_keys(TOKEN + Keys.ENTER)


def serious_findings(driver: WebDriver) -> list[list[object]]:
    """axe-core's serious and critical findings on the page as it is now."""
    driver.execute_script(gzip.decompress(AXE.read_bytes()).decode())
    found = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document, {resultTypes: ['violations']}).then(r => done(r.violations.map("
        "v => [v.id, v.impact, v.nodes.length])));")
    return [v for v in found if v[1] in ("serious", "critical")]


def shoot(driver: WebDriver, name: str, size: tuple[int, int]) -> None:
    """The page at that size, in the light scheme (name) and the dark one
    (name-dark.png), as the system's preference chooses."""
    folder = os.environ.get("KDX7400_SCREENSHOTS")
    if folder:
        driver.set_window_size(*size)
        for scheme, file in (("light", name), ("dark", name.replace(".png", "-dark.png"))):
            driver.execute_cdp_cmd("Emulation.setEmulatedMedia",
                                   {"features": [{"name": "prefers-color-scheme", "value": scheme}]})
            time.sleep(0.5)
            driver.save_screenshot(str(Path(folder, file)))
        driver.execute_cdp_cmd("Emulation.setEmulatedMedia", {"features": []})


def test_seven_modules_and_two_tabs_answer_a_write_within_a_second(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    base = start(rig, *[f"pid=0x7401,bid={b}" for b in range(7)])
    browser.get(base)
    panel(browser, 7)
    first = browser.current_window_handle
    browser.switch_to.new_window("tab")
    browser.get(base)
    seventh = panel(browser, 7)
    switch = wait(browser, lambda: len(seventh.find_elements(By.CLASS_NAME, "switch")) == 16 and
                  seventh.find_elements(By.CLASS_NAME, "switch")[3])
    # A wrong token is said to be refused, not missing.
    switch.click()
    dialog = browser.find_element(By.ID, "token-dialog")
    wait(browser, lambda: dialog.get_attribute("open") is not None)
    browser.find_element(By.ID, "token-input").send_keys("not-the-token-at-all" + Keys.ENTER)
    wait(browser, lambda: "refused the token" in seventh.find_element(By.CLASS_NAME, "error").text, 5)
    switch.click()
    give_token(browser)
    wait(browser, lambda: switch.get_attribute("aria-checked") == "true", 1)
    second = seventh.find_elements(By.CLASS_NAME, "switch")[4]
    clicked = time.monotonic()
    second.click()
    wait(browser, lambda: second.get_attribute("aria-checked") == "true", 1)
    assert time.monotonic() - clicked < 1
    assert rig.state("sg6")["outputs"] == 0x18
    # The other tab hears it on its own stream.
    browser.switch_to.window(first)
    other = panel(browser, 7).find_elements(By.CLASS_NAME, "switch")[4]
    wait(browser, lambda: other.get_attribute("aria-checked") == "true", 1)
    assert "7 modules, all present" in browser.find_element(By.ID, "summary").text
    # The token given in the other tab serves this one: no second question.
    fifth = panel(browser, 7).find_elements(By.CLASS_NAME, "switch")[5]
    fifth.click()
    wait(browser, lambda: rig.state("sg6")["outputs"] == 0x38, 2)
    assert browser.find_element(By.ID, "token-dialog").get_attribute("open") is None


SETTINGS = [
    # field, text typed (or a checkbox's state), the module's register, its value after
    ("filter", "250", "filter", 250),
    ("input_inverse", True, "input_inverse", 1),
    ("edge", "1", "edge", 1),
    ("output_inverse", True, "output_inverse", 1),
    ("power_on", "0x00f0", "power_on", 0xF0),
    ("safety_first", "0x000f", "safety_first", 0xF),
    ("safety_second", "0x0005", "safety_second", 0x5),
    ("watchdog_timeout", "30000", "watchdog_timeout", 30000),
    ("nickname", "press 4", "nickname", "press 4"),
    ("frame_rate_factor", "3", "frame_rate_factor", 3),
    ("write_protect", True, "write_protect", 1),  # last: it guards the others
]


def test_every_setting_round_trips_through_the_page(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    base = start(rig, "pid=0x7401,bid=3")
    browser.get(base)
    module = panel(browser, 1)
    module.find_element(By.TAG_NAME, "summary").click()
    form = module.find_element(By.CLASS_NAME, "settings-form")
    wait(browser, lambda: form.find_elements(By.NAME, "filter"))
    # Every number says its unit, or that it has none.
    for said in ("Watchdog time-out (ms)", "in the module's own steps (it documents no unit)", "a factor (no unit)"):
        assert said in form.text, said
    # Another program's changes show in the form and the title within 2 s.
    env = dict(os.environ, LD_PRELOAD=PRELOAD, KDX7400_SIM_TESTBED=rig.root)
    for change in (["di", "filter", "77"], ["name", "bench 2"]):
        subprocess.run([os.environ["KDX7400_KDXIO"], "-p", "7401", "-b", "3", *change], env=env, check=True,
                       capture_output=True, timeout=10)
    wait(browser, lambda: form.find_element(By.NAME, "filter").get_attribute("value") == "77", 2.5)
    wait(browser, lambda: "bench 2" in module.find_element(By.CLASS_NAME, "title").text, 2.5)
    # Refused before it is sent, with the API's own limits.
    field = form.find_element(By.NAME, "filter")
    field.clear()
    field.send_keys("70000")
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    result = module.find_element(By.CLASS_NAME, "settings-result")
    wait(browser, lambda: "Not sent" in result.text and "65535" in result.text)
    assert "refused" not in rig.log()
    for name, value, _, _ in SETTINGS:
        field = form.find_element(By.NAME, name)
        if isinstance(value, bool):
            if field.is_selected() != value:
                field.click()
        elif field.tag_name == "select":
            Select(field).select_by_value(value)
        else:
            field.clear()
            field.send_keys(value)
    # Each mask shows the outputs it names as well as its hex, as typed.
    bits = {name: form.find_element(By.NAME, name).find_element(By.XPATH, "following-sibling::output").text
            for name in ("power_on", "safety_first", "safety_second")}
    assert bits == {"power_on": "0–7: 00001111  8–15: 00000000", "safety_first": "0–7: 11110000  8–15: 00000000",
                    "safety_second": "0–7: 10100000  8–15: 00000000"}, bits
    form.find_element(By.CSS_SELECTOR, "button[type=submit]").click()
    give_token(browser)
    wait(browser, lambda: "Saved" in result.text, 5)
    held = rig.state()
    for name, _, register, expected in SETTINGS:
        assert held[register] == expected, name
    info = json.loads(subprocess.run([os.environ["KDX7400_KDXIO"], "-p", "7401", "-b", "3", "--json", "info"], env=env,
                                     check=True, capture_output=True, text=True, timeout=10).stdout)
    assert (info["nickname"], info["watchdog_timeout"], info["frame_rate_factor"], info["write_protect"]) == \
        ("press 4", 30000, 3, True)
    assert form.find_element(By.NAME, "filter").get_attribute("value") == "250"  # what the module holds
    shoot(browser, "dashboard-settings.png", (1366, 900))
    browser.execute_script("arguments[0].scrollIntoView()", form)
    shoot(browser, "dashboard-settings-phone.png", (390, 844))


def test_the_page_greys_what_is_not_current_and_says_why(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    base = start(rig, "pid=0x7401,bid=3", "pid=0x7401,bid=4", extra=("--http-heartbeat", "1"))
    browser.get(base)
    module = panel(browser, 1)
    line = module.find_element(By.CLASS_NAME, "watchdog")
    as_of = module.find_element(By.CLASS_NAME, "as-of")
    wait(browser, lambda: line.text == "Watchdog off")
    assert not as_of.is_displayed()
    import requests
    # Armed elsewhere: the daemon's watch event greys the panel, with since when and why.
    assert requests.patch(f"{base}/api/modules/1/settings", json={"watchdog_timeout": 1000}, headers=AUTH,
                          timeout=5).status_code == 200
    wait(browser, lambda: as_of.is_displayed() and "paused" in as_of.text, 5)
    assert as_of.text.startswith("As of ") and "stale" in (module.get_attribute("class") or "")
    assert not serious_findings(browser), "a stale panel keeps every text readable"
    assert line.text.startswith("Watchdog armed: 1000 ms")
    wait(browser, lambda: rig.state()["watchdog_expired"], 5)
    time.sleep(0.5)
    assert "expired" not in line.text.lower(), "the module does not say it expired: the page does not guess"
    # A write stays pending while the daemon does not answer, then shows what the module holds.
    switch = module.find_elements(By.CLASS_NAME, "switch")[1]
    switch.click()
    give_token(browser)
    wait(browser, lambda: switch.get_attribute("aria-checked") == "true", 5)
    assert rig.daemon is not None
    rig.daemon.send_signal(signal.SIGSTOP)
    try:
        switch.click()
        wait(browser, lambda: switch.get_attribute("aria-busy") == "true", 5)
        time.sleep(1)
        assert switch.get_attribute("aria-checked") == "true"
    finally:
        rig.daemon.send_signal(signal.SIGCONT)
    wait(browser, lambda: switch.get_attribute("aria-busy") is None and switch.get_attribute("aria-checked") == "false",
         10)
    # Off through the page: current again.
    module.find_element(By.TAG_NAME, "summary").click()
    module.find_element(By.CLASS_NAME, "watchdog-off").click()
    wait(browser, lambda: line.text == "Watchdog off" and not as_of.is_displayed(), 5)
    # A daemon that stalls with its stream open: past twice the heartbeat
    # (1 s here) the page says it hears nothing, and comes back after.
    stale = browser.find_element(By.ID, "stream")
    rig.daemon.send_signal(signal.SIGSTOP)
    try:
        wait(browser, stale.is_displayed, 5)
        assert "As of" in as_of.text and "no connection to the daemon" in as_of.text
        assert not switch.is_enabled() and switch.get_attribute("title") == "Not now: no connection to the daemon"
        assert not module.find_element(By.CSS_SELECTOR, ".labels-form button").is_enabled()
    finally:
        rig.daemon.send_signal(signal.SIGCONT)
    wait(browser, lambda: not stale.is_displayed() and not as_of.is_displayed(), 10)
    assert switch.is_enabled() and module.find_element(By.CSS_SELECTOR, ".labels-form button").is_enabled()
    # A module that hangs does not answer; it is not unplugged.
    rig.sim("fault", rig.root, "sg1", "hang", "--delay", "5200", "--times", "2")
    other = panel(browser, 2)
    silent = other.find_element(By.CLASS_NAME, "not-responding")
    wait(browser, silent.is_displayed, 8)
    assert not other.find_element(By.CLASS_NAME, "unplugged").is_displayed()
    assert "1 not responding" in browser.find_element(By.ID, "summary").text
    assert "does not answer" in other.find_element(By.CLASS_NAME, "as-of").text
    writers = other.find_elements(By.CSS_SELECTOR, ".switch, .all-off, .clear-all, .settings-form button")
    assert len(writers) > 16 and not any(w.is_enabled() for w in writers), "a write that cannot land is not offered"
    assert other.find_element(By.CSS_SELECTOR, ".labels-form button").is_enabled(), "names are the daemon's"
    wait(browser, lambda: not silent.is_displayed(), 15)
    assert all(w.is_enabled() for w in writers)
    # A unit the daemon no longer has after a restart leaves the page.
    rig.stop()
    rig.start_http_with_token("--module", "1=7401:3", "--watch-interval", "20")
    wait(browser, lambda: not browser.find_elements(By.ID, "module-2"), 20)
    panel(browser, 1)


def test_names_outlive_a_restart_and_plots_have_no_spike_after_a_clear(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    base = start(rig, "pid=0x7401,bid=3")
    browser.get(base)
    module = panel(browser, 1)
    module.find_element(By.TAG_NAME, "summary").click()
    module.find_element(By.CSS_SELECTOR, "details.names summary").click()
    wait(browser, lambda: module.find_elements(By.ID, "m1-inputs-4"))
    module.find_element(By.ID, "m1-inputs-4").send_keys("flow meter")
    module.find_element(By.ID, "m1-outputs-0").send_keys("pump")
    module.find_element(By.CSS_SELECTOR, ".labels-form button").click()
    give_token(browser)
    switch = module.find_elements(By.CLASS_NAME, "switch")[0]
    wait(browser, lambda: "pump" in switch.text)
    for _ in range(3):
        rig.sim("pulse", rig.root, "sg0", "4", "400", "1000")
        time.sleep(2.1)
    row = wait(browser, lambda: [r for r in module.find_elements(By.CSS_SELECTOR, ".counters tbody tr")
                                 if "flow meter" in r.text], 6)[0]
    canvas = row.find_element(By.TAG_NAME, "canvas")
    wait(browser, lambda: float(canvas.get_attribute("data-max") or 0) > 50, 6)
    before = float(canvas.get_attribute("data-max"))
    # The axis tops out at a round rate above the highest, and the pointer
    # (or the keyboard's focus) reads a value off the line.
    top = float(canvas.get_attribute("data-top"))
    assert top >= before and re.fullmatch(r"(1|2|5)0*", f"{top:g}"), (top, before)
    readout = row.find_element(By.CLASS_NAME, "readout")
    ActionChains(browser).move_to_element_with_offset(canvas, canvas.rect["width"] // 2 - 2, 0).perform()
    wait(browser, lambda: re.fullmatch(r"[\d.]+/s at .+", readout.text), 2)
    browser.execute_script("arguments[0].focus()", canvas)
    wait(browser, lambda: re.fullmatch(r"[\d.]+/s at .+", readout.text), 2)
    module.find_element(By.TAG_NAME, "summary").click()  # settings folded: the plot in view
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", row)
    shoot(browser, "dashboard-history.png", (1366, 900))
    browser.execute_script("arguments[0].scrollIntoView({block: 'center'})", row)
    shoot(browser, "dashboard-history-phone.png", (390, 844))
    browser.set_window_size(1280, 1000)
    row.find_element(By.CLASS_NAME, "clear-one").click()
    wait(browser, lambda: rig.state()["counters"][4] == 0)
    time.sleep(4.5)  # two more samples, the drop among them
    assert float(canvas.get_attribute("data-max")) <= before * 1.5, "a clear is no burst of pulses"
    # The line before the clear's mark is drawn, not thrown away with it.
    wait(browser, lambda: canvas.get_attribute("data-marks"), 5)
    drawn_left = browser.execute_script("""
        const canvas = arguments[0];
        const mark = Number(canvas.dataset.marks.split(" ")[0]) * (devicePixelRatio || 1);
        const ink = getComputedStyle(canvas).getPropertyValue("--plot").trim();
        const probe = document.createElement("canvas").getContext("2d");
        probe.fillStyle = ink; probe.fillRect(0, 0, 1, 1);
        const [r, g, b] = probe.getImageData(0, 0, 1, 1).data;
        const data = canvas.getContext("2d").getImageData(0, 0, Math.floor(mark) - 2, canvas.height).data;
        let n = 0;
        for (let i = 0; i < data.length; i += 4) {
          if (data[i + 3] > 128 && Math.abs(data[i] - r) + Math.abs(data[i + 1] - g) + Math.abs(data[i + 2] - b) < 60) n++;
        }
        return n;""", canvas)
    assert drawn_left > 20, f"{drawn_left} line pixels left of the reset mark"
    log = browser.find_element(By.ID, "log").text
    assert "input 4 flow meter: counter cleared" in log, log
    assert not [n for n in re.findall(r"(\d+) pulses", log) if int(n) > 400], log
    rig.stop()
    # The page says it is out of date, then comes back by itself with the names.
    stale = browser.find_element(By.ID, "stream")
    wait(browser, stale.is_displayed, 10)
    assert not serious_findings(browser), "a page that lost its daemon keeps every text readable"
    rig.start_http_with_token("--all", "--state-dir", str(Path(rig.root, "state")))
    wait(browser, lambda: not stale.is_displayed(), 20)
    module = panel(browser, 1)
    wait(browser, lambda: "pump" in module.find_elements(By.CLASS_NAME, "switch")[0].text, 10)


def test_banners_clear_and_a_large_module_is_compact_and_accessible(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    base = start(rig, "pid=0x7401,bid=3,di=64,do=64", "pid=0x7401,bid=4")
    rig.sim("pulse", rig.root, "sg0", "2", "1")  # counted before anyone watched: not in any window
    browser.get(base)
    module = panel(browser, 1)
    wait(browser, lambda: len(module.find_elements(By.CLASS_NAME, "switch")) == 64)
    # Refused without a token: the banner says so, then goes by itself.
    module.find_elements(By.CLASS_NAME, "switch")[0].click()
    browser.find_element(By.ID, "token-cancel").click()
    error = module.find_element(By.CLASS_NAME, "error")
    wait(browser, error.is_displayed)
    wait(browser, lambda: not error.is_displayed(), 12)
    # Unplugged and back: the banner follows the module.
    rig.sim("unplug", rig.root, "sg1")
    other = panel(browser, 2)
    banner = other.find_element(By.CLASS_NAME, "unplugged")
    wait(browser, banner.is_displayed)
    assert "1 absent" in browser.find_element(By.ID, "summary").text
    assert not serious_findings(browser), "an unplugged module keeps every text readable"
    # Meanwhile a write is not offered, and the switch says why; its return offers it again.
    absent_switch = other.find_elements(By.CLASS_NAME, "switch")[0]
    assert not absent_switch.is_enabled() and absent_switch.get_attribute("title") == "Not now: the module is unplugged"
    rig.sim("plug", rig.root, "sg1")
    wait(browser, lambda: not banner.is_displayed() and absent_switch.is_enabled(), 6)
    # Byte groups of eight, one Tab stop for the outputs, arrows within.
    switches = module.find_elements(By.CLASS_NAME, "switch")
    assert len(module.find_elements(By.CSS_SELECTOR, ".switches .byte")) == 8
    assert [s.get_attribute("tabindex") for s in switches].count("0") == 1
    switches[0].send_keys(Keys.ARROW_DOWN)
    assert browser.switch_to.active_element == switches[8]
    # Folded: counters idle in the window, the one that counted before it too.
    assert len(module.find_elements(By.CSS_SELECTOR, ".counters tbody tr")) == 0, "counters without pulses folded"
    assert "64 inputs without pulses in the window" in module.find_element(By.CLASS_NAME, "folded").text
    assert rig.state("sg0")["counters"][2] == 1
    # 128 names of 30 characters: more than one request's 4 KiB, all saved.
    module.find_element(By.TAG_NAME, "summary").click()
    module.find_element(By.CSS_SELECTOR, "details.names summary").click()
    browser.execute_script(
        "for (const input of arguments[0].querySelectorAll('.label-fields input'))"
        "  input.value = `${input.dataset.kind} ${input.dataset.channel} `.padEnd(30, 'x');", module)
    module.find_element(By.CSS_SELECTOR, ".labels-form button").click()
    give_token(browser)
    import requests
    wait(browser, lambda: requests.get(f"{base}/api/modules/1/labels", timeout=5).json()["outputs"][63:] ==
         ["outputs 63 ".ljust(30, "x")], 10)
    names = requests.get(f"{base}/api/modules/1/labels", timeout=5).json()
    assert names["inputs"][5] == "inputs 5 ".ljust(30, "x") and len(names["inputs"]) == 64
    assert not module.find_element(By.CLASS_NAME, "error").is_displayed()
    # Long names keep one line each, whole in the title and the accessible name.
    last = module.find_elements(By.CLASS_NAME, "switch")[63]
    led_name = module.find_elements(By.CSS_SELECTOR, ".led .name")[63]
    wait(browser, lambda: last.get_attribute("title") == "63 " + "outputs 63 ".ljust(30, "x"))
    assert last.get_attribute("aria-label") == "output 63 " + "outputs 63 ".ljust(30, "x")
    assert led_name.get_attribute("title") == "63 " + "inputs 63 ".ljust(30, "x")
    cut = browser.execute_script(
        "return [arguments[0], arguments[1]].map(e => [getComputedStyle(e).whiteSpace,"
        " getComputedStyle(e).textOverflow, e.scrollWidth > e.clientWidth])", last, led_name)
    assert cut == [["nowrap", "ellipsis", True]] * 2, cut
    module.find_element(By.TAG_NAME, "summary").click()
    icon = browser.execute_script("return document.querySelector('link[rel=icon]').href")
    assert browser.execute_script(f"return fetch('{icon}').then(r => r.status)") == 200
    assert not serious_findings(browser)
    shoot(browser, "dashboard-overview.png", (1366, 900))
    shoot(browser, "dashboard-phone.png", (390, 844))
    assert browser.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")


def test_the_log_outlives_a_reload_keeps_writes_through_a_flood_and_filters(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    import requests
    base = start(rig, "pid=0x7401,bid=3")
    browser.get(base)
    panel(browser, 1)
    wait(browser, lambda: "input watch resumed" in browser.find_element(By.ID, "log").text, 10)
    assert requests.put(f"{base}/api/modules/1/outputs", json={"mask": 3, "value": 1}, headers=AUTH,
                        timeout=5).status_code == 200
    assert requests.post(f"{base}/api/modules/1/counters/clear", json={"mask": 1}, headers=AUTH,
                         timeout=5).status_code == 200
    for _ in range(90):  # about a pulse line each: more than the log keeps of any kind
        rig.sim("pulse", rig.root, "sg0", "2", "3")
        time.sleep(0.04)
    time.sleep(0.5)
    # The daemon's ring: each kind's latest, writes among them however many pulses came after.
    kept = requests.get(f"{base}/api/log?per_kind=5", timeout=5).json()["events"]
    kinds = [e["event"] if e["event"] != "input" else e["kind"] for e in kept]
    assert kinds.count("pulses") == 5 and "outputs" in kinds and "reset" in kinds, kinds
    assert [e["global"] for e in kept] == sorted(e["global"] for e in kept)
    for bad in ("0", "201", "x"):
        assert requests.get(f"{base}/api/log?per_kind={bad}", timeout=5).status_code == (200 if bad == "x" else 400)

    browser.refresh()
    log = browser.find_element(By.ID, "log")
    wait(browser, lambda: "pulses" in log.text and "outputs" in log.text, 10)
    text = log.text
    assert re.search(r"unit 1: outputs 0x0*1 by http 127\.0\.0\.1:\d+ \(token\)", text), text
    assert "unit 1: input 0: counter cleared" in text, text
    assert len(re.findall(r"\d+ pulses", text)) == 50, "the pulses are kept too, as many as the log keeps"
    box = browser.find_element(By.CSS_SELECTOR, "#log-filters input[value='pulses']")
    box.click()
    wait(browser, lambda: "pulses" not in log.text)
    assert "outputs 0x" in log.text and "counter cleared" in log.text
    assert not serious_findings(browser)


def test_ten_tabs_share_one_stream_and_every_write_reaches_every_tab_within_a_second(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    import requests
    base = start(rig, "pid=0x7401,bid=3")
    tabs = []
    for n in range(10):
        if n:
            browser.switch_to.new_window("tab")
        browser.get(base)
        wait(browser, lambda: len(panel(browser, 1).find_elements(By.CLASS_NAME, "switch")) == 16, 10)
        tabs.append(browser.current_window_handle)
    metrics = requests.get(f"{base}/metrics", timeout=5).text
    assert re.search(r"^kdx7400_http_event_streams 1$", metrics, re.M), "one stream for the browser"
    for output in (2, 9, 15):
        for tab in tabs:  # each tab notes when it shows the output on
            browser.switch_to.window(tab)
            browser.execute_script("""
                const sw = document.querySelectorAll('#module-1 .switch')[arguments[0]];
                window.seenAt = null;
                new MutationObserver((_, observer) => {
                  if (sw.getAttribute('aria-checked') === 'true') { window.seenAt = Date.now(); observer.disconnect(); }
                }).observe(sw, {attributes: true});""", output)
        written = time.time() * 1000
        assert requests.put(f"{base}/api/modules/1/outputs", json={"mask": 0xFFFF, "value": 1 << output},
                            headers=AUTH, timeout=5).status_code == 200
        time.sleep(1)
        late = []
        for n, tab in enumerate(tabs):
            browser.switch_to.window(tab)
            seen = browser.execute_script("return window.seenAt")
            if seen is None or seen - written > 1000:
                late.append((n, seen and seen - written))
        assert not late, f"output {output}: tabs late or never told (ms): {late}"


def test_twelve_modules_fit_one_screen_in_the_overview_and_a_large_module_a_screen_and_a_half(rig: Rig, browser: WebDriver) -> None:  # noqa: F811
    import requests
    base = start(rig, *[f"pid=0x7401,bid={b}" for b in range(11)], "pid=0x7401,bid=11,di=64,do=64")
    browser.set_window_size(1366, 900)
    browser.get(base)
    panel(browser, 12)
    rows = browser.find_elements(By.CSS_SELECTOR, "#overview-rows tr")
    wait(browser, lambda: len(browser.find_elements(By.CSS_SELECTOR, "#overview-rows tr")) == 12, 10)
    wait(browser, lambda: all(r.find_element(By.CLASS_NAME, "state").text == "current"
                              for r in browser.find_elements(By.CSS_SELECTOR, "#overview-rows tr")), 10)
    rows = browser.find_elements(By.CSS_SELECTOR, "#overview-rows tr")
    view = browser.execute_script("return innerHeight")
    assert rows[-1].rect["y"] + rows[-1].rect["height"] <= view, "all twelve rows in the first screen"
    # The strips follow the module: an output switched elsewhere shows.
    assert requests.put(f"{base}/api/modules/3/outputs", json={"mask": 0xFFFF, "value": 0x0021}, headers=AUTH,
                        timeout=5).status_code == 200
    strip = rows[2].find_elements(By.CSS_SELECTOR, ".strip")[1]
    wait(browser, lambda: strip.get_attribute("aria-label") == "outputs on: 0, 5", 2)
    assert [c.get_attribute("class") for c in strip.find_elements(By.TAG_NAME, "span")][:6] == \
        ["on", "", "", "", "", "on"]
    inputs = rows[11].find_elements(By.CSS_SELECTOR, ".strip")[0]
    assert inputs.get_attribute("aria-label") == "inputs all off"
    assert len(inputs.find_elements(By.TAG_NAME, "span")) == 64
    large = panel(browser, 12)
    assert large.rect["height"] <= 1.5 * view, f"the 64-channel module's detail is {large.rect['height']} px"
    assert not serious_findings(browser)
    shoot(browser, "dashboard-fleet.png", (1366, 900))
    shoot(browser, "dashboard-fleet-phone.png", (390, 844))
