#!/usr/bin/python3
"""The web console in a real headless Chromium: keldor with gamesim as its game
server in a fresh installation, keldor-web in front of it, and the page driven
through chromedriver the way an administrator would use it.

    browser_test.py BIN_DIR SCREENSHOT
"""
import datetime
import gzip
import http.client
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import zoneinfo

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import Select, WebDriverWait

BIN, SCREENSHOT = sys.argv[1], sys.argv[2]
WAIT = 60  # seconds for anything the page should show; polled, never slept through
AXE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vendor", "axe-core",
                   "axe.min.js.gz")
VIEWER = ("viewer", "viewpass1")  # status and players (T, P) but not the maps (M)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def until(condition, what, seconds=WAIT):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError("timed out waiting for " + what)


class Stack:
    """keldor + gamesim + keldor-web in a temporary installation; ended by pid."""

    def __init__(self, root):
        self.root = root
        self.procs = []
        facts = subprocess.run([f"{BIN}/mkinstall", "--server-binary", f"{BIN}/gamesim", root],
                               check=True, capture_output=True, text=True).stdout
        self.facts = dict(line.split(": ", 1) for line in facts.splitlines() if ": " in line)
        self.settings = os.path.join(root, "mods/bfvietnam/settings")
        with open(os.path.join(self.settings, "useraccess.con"), "a") as accounts:
            accounts.write(f"{VIEWER[0]},{VIEWER[1]},00112233445566778899aabbccddeeff,160,1\n")
        self.keldor_port = int(self.facts["listen-port"])
        self.keldor = self.spawn("keldor", [f"{BIN}/keldor", "-path", root, "-port",
                                            str(self.keldor_port), "-start", "+simPlayers", "4"])
        until(lambda: self.can_connect(self.keldor_port), "keldor to listen")
        self.web = self.spawn("web", [f"{BIN}/keldor-web", "--listen", "127.0.0.1:0", "--keldor",
                                      f"127.0.0.1:{self.keldor_port}"], stdout=subprocess.PIPE)
        line = self.web.stdout.readline().decode()
        self.url = line.split(" ")[2]
        self.web_port = int(self.url.rsplit(":", 1)[1].strip("/"))

    def spawn(self, name, argv, stdout=None):
        log = open(os.path.join(self.root, name + ".out"), "w")
        proc = subprocess.Popen(argv, cwd=self.root, stdout=stdout or log, stderr=log)
        self.procs.append(proc)
        return proc

    @staticmethod
    def can_connect(port):
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1).close()
            return True
        except OSError:
            return False

    def web_log(self):
        with open(os.path.join(self.root, "web.out")) as f:
            return f.read()

    def end(self):
        for proc in reversed(self.procs):
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(10)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
        try:
            with open(os.path.join(self.root, "bfvietnam.pid")) as f:
                os.kill(int(f.read().strip()), signal.SIGKILL)
        except (OSError, ValueError):
            pass


def raw_request(stack, method, path, headers=None, body=None):
    conn = http.client.HTTPConnection("127.0.0.1", stack.web_port, timeout=10)
    conn.request(method, path, body=body, headers=headers or {})
    response = conn.getresponse()
    data = response.read()
    conn.close()
    return response.status, data


def check_gatekeeping(stack):
    """What other sites and oversized requests meet, before any browser."""
    host = f"127.0.0.1:{stack.web_port}"
    login = json.dumps({"user": stack.facts["admin-user"], "password": "x", "token": "forged"})
    cases = [
        # (what, method, path, headers, body, expected status)
        ("no origin", "POST", "/api/login", {"Content-Type": "application/json"}, login, 403),
        ("foreign origin", "POST", "/api/login",
         {"Origin": "http://evil.example", "Content-Type": "application/json"}, login, 403),
        ("forged token", "POST", "/api/login",
         {"Origin": f"http://{host}", "Content-Type": "application/json"}, login, 403),
        ("form post", "POST", "/api/login",
         {"Origin": f"http://{host}", "Content-Type": "application/x-www-form-urlencoded"},
         "user=a", 415),
        ("rebound host", "GET", "/", {"Host": "attacker.example"}, None, 421),
        ("oversized body", "POST", "/api/login",
         {"Origin": f"http://{host}", "Content-Type": "application/json"}, "x" * 5000, 413),
        ("oversized header", "GET", "/", {"X-Filler": "y" * 9000}, None, 413),
        ("socket without session", "GET", "/ws",
         {"Origin": f"http://{host}", "Connection": "Upgrade", "Upgrade": "websocket",
          "Sec-WebSocket-Version": "13", "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="},
         None, 403),
    ]
    for what, method, path, headers, body, expected in cases:
        status, _ = raw_request(stack, method, path, headers, body)
        assert status == expected, f"{what}: status {status}, expected {expected}"


def browser():
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage",
                 "--window-size=1280,1700", "--disable-gpu"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def main():
    with tempfile.TemporaryDirectory(prefix="keldor-web-test.") as root:
        stack = Stack(root)
        driver = None
        try:
            check_gatekeeping(stack)
            driver = browser()
            run(stack, driver)
        except Exception:
            if driver is not None:
                driver.save_screenshot(SCREENSHOT.replace(".png", "-failure.png"))
            print(stack.web_log(), file=sys.stderr)
            raise
        finally:
            if driver is not None:
                driver.quit()
            stack.end()
    print("1 passed, 0 failed")


def game_control(stack, line):
    """One line to gamesim's control socket; its answer, "" when it cannot be reached."""
    try:
        with socket.socket(socket.AF_UNIX) as s:
            s.settimeout(5)
            s.connect(os.path.join(stack.root, "gamesim.sock"))
            s.sendall((line + "\n").encode())
            return s.makefile().readline().strip()
    except OSError:
        return ""


def check_history(stack, driver):
    """The last 24 hours: a sample from the status refreshes, then a marker for
    each of a map change, a stop and a start made from the page and a crash of
    the game server, readable at a phone's width."""
    find = lambda id_: driver.find_element(By.ID, id_)
    chart = lambda: driver.find_elements(By.CSS_SELECTOR, "#history-chart svg")
    until(lambda: chart() and int(chart()[0].get_attribute("data-samples")) >= 1,
          "a sample in the chart")
    assert chart()[0].get_attribute("role") == "img"
    assert chart()[0].get_attribute("aria-label").startswith("Players over the last")

    # Markers are drawn oldest first; earlier checks may have left some of a kind.
    def marker(kind, button):
        selector = f"#history-chart g.marker.{kind}"
        before = len(driver.find_elements(By.CSS_SELECTOR, selector))
        find(button).click()
        return until(lambda: len(driver.find_elements(By.CSS_SELECTOR, selector)) > before
                     and driver.find_elements(By.CSS_SELECTOR, selector),
                     f"a new {kind} marker")[-1]

    title = marker("map", "map-next").find_element(By.TAG_NAME, "title")
    assert "next map" in title.get_attribute("textContent"), title.get_attribute("textContent")
    marker("stop", "server-stop")
    marker("start", "server-start")
    until(lambda: game_control(stack, "crash 3").startswith("ok"), "the game server to crash")
    crash = until(lambda: driver.find_elements(By.CSS_SELECTOR, "#history-chart g.marker.crash"),
                  "a crash marker")[0]
    assert "crashed" in crash.find_element(By.TAG_NAME, "title").get_attribute("textContent")
    # Back up for what follows.
    starts = lambda: len(driver.find_elements(By.CSS_SELECTOR, "#history-chart g.marker.start"))
    started = starts()
    find("server-start").click()
    until(lambda: starts() > started, "the second start marker")
    events = driver.execute_script("return document.getElementById('history-events').textContent")
    for kind in ("Map change", "Stop", "Start", "Crash"):
        assert kind in events, events

    # At a phone's width the chart is redrawn to the panel: nothing scrolls sideways.
    driver.set_window_size(390, 1700)
    try:
        until(lambda: driver.execute_script(
            "const p = document.getElementById('history-panel'), s = p.querySelector('svg');"
            "return s && s.getBoundingClientRect().right <= p.getBoundingClientRect().right"
            " && p.scrollWidth <= p.clientWidth && Number(s.getAttribute('width')) < 390;"),
            "the chart to fit 390 px")
        driver.execute_script("document.getElementById('history-panel').scrollIntoView()")
        driver.save_screenshot(SCREENSHOT.replace(".png", "-history-390.png"))
    finally:
        driver.set_window_size(1280, 1700)


def run(stack, driver):
    find = lambda id_: driver.find_element(By.ID, id_)
    text_of = lambda id_: find(id_).text
    shown = lambda id_: find(id_).is_displayed()

    def log_in(user, password):
        until(lambda: shown("login-form"), "the login form")
        find("login-user").clear()
        find("login-user").send_keys(user)
        find("login-password").send_keys(password)
        find("login-submit").click()

    driver.get(stack.url)
    until(lambda: shown("login-form"), "the login form")
    check_accessibility(driver, "the login form")
    # A wrong password is refused with a message, and nothing else opens.
    log_in(stack.facts["admin-user"], "not-the-password")
    until(lambda: "Wrong user name or password" in text_of("login-message"), "the refusal")
    assert not shown("console-view")

    log_in(stack.facts["admin-user"], stack.facts["admin-password"])
    until(lambda: shown("console-view"), "the console")
    until(lambda: driver.find_elements(By.ID, "status-server_name")
          and text_of("status-server_name"), "the status panel")
    rows = until(lambda: driver.find_elements(By.CSS_SELECTOR, "#players tbody tr"),
                 "the simulated players")

    # Kick one: its row goes.
    victim = rows[0].get_attribute("id")
    rows[0].find_element(By.CSS_SELECTOR, "button.kick").click()
    assert not shown("action-duration"), "a kick has no duration"
    find("action-reason").send_keys("kicked from the browser")
    find("action-confirm").click()
    until(lambda: not driver.find_elements(By.ID, victim), "the kicked player to go")
    until(lambda: f"was kicked by {stack.facts['admin-user']}: kicked from the browser"
          in text_of("feed"), "the kick in the feed, in words")
    check_feed(driver)

    # A chat line shows in the live feed.
    find("chat-text").send_keys("hello from the web console")
    find("chat-say").click()
    until(lambda: "hello from the web console" in text_of("feed"), "the chat line in the feed")

    # The announcements are edited and saved: the file on disk holds them.
    area = find("file-announcements")
    until(lambda: find("load-announcements").is_enabled(), "the announcements")
    area.clear()
    area.send_keys("Welcome to the web console test.\nPlay fair.\n")
    find("save-announcements").click()
    until(lambda: "Saved" in text_of("file-announcements-message"), "the save")
    with open(os.path.join(stack.settings, "announcements.con")) as f:
        assert f.read() == "Welcome to the web console test.\nPlay fair.\n"
    check_ban_dialog(driver)
    check_clients(stack, driver)
    check_maps(stack, driver)
    check_schedule(stack, driver)
    driver.save_screenshot(SCREENSHOT)
    driver.save_screenshot(SCREENSHOT.replace(".png", "-1280.png"))
    check_accessibility(driver, "1280 px")
    # The top of the page, as the README shows it.
    driver.execute_script("scrollTo(0, 0)")
    driver.save_screenshot(SCREENSHOT.replace(".png", "-top-1280.png"))
    check_phone(driver)
    # Last of the administrator's checks: it stops, starts and crashes the game
    # server, which comes back without the simulated players.
    check_history(stack, driver)
    # The last start's outcome is told in words, not by its wire name.
    until(lambda: text_of("notice").startswith("The game server "), "the start's outcome")
    assert "NOTE_" not in text_of("notice"), text_of("notice")

    # An account without the maps right finds the map buttons disabled, each
    # naming the right it needs; what it may do stays enabled.
    find("logout").click()
    until(lambda: "logged out" in text_of("login-message"), "the logout")
    log_in(*VIEWER)
    until(lambda: shown("console-view"), "the viewer's console")
    check_viewer_rights(driver)
    check_crash(stack, driver)

    # Keldor going away ends the session with a message.
    stack.keldor.send_signal(signal.SIGTERM)
    until(lambda: shown("login-form") and "Keldor" in text_of("login-message"),
          "the dropped-connection message")

    # No credentials in the web console's log.
    log = stack.web_log()
    assert stack.facts["admin-password"] not in log and VIEWER[1] not in log, log


# ---- Maps and the schedule -------------------------------------------------

MODES = ["GPM_CQ", "GPM_COOP", "GPM_EVOL", "GPM_CCOMBAT"]


def installed_maps(stack):
    """{mod: {map: {modes}}} from the lists Keldor wrote, as a person may pick them."""
    with open(os.path.join(stack.settings, "mods.con")) as f:
        mods = {line.strip().lower(): line.strip() for line in f if line.strip()}
    found = {}
    with open(os.path.join(stack.settings, "maps.con")) as f:
        for line in f:
            mod, name, bits = line.strip().split(",")
            modes = {m for bit, m in enumerate(MODES) if int(bits) & (1 << bit)}
            if mod.lower() in mods and modes:
                found.setdefault(mods[mod.lower()], {})[name] = modes
    return found


def options(driver, id_):
    return [o.get_attribute("value")
            for o in driver.find_elements(By.CSS_SELECTOR, f"#{id_} option")]


def pick(driver, prefix, mod, name, mode):
    for part, value in (("mod", mod), ("map", name), ("mode", mode)):
        Select(driver.find_element(By.ID, f"{prefix}-{part}")).select_by_value(value)


def rotation_lines(stack):
    with open(os.path.join(stack.settings, "servermaplist.con")) as f:
        return [line.split(" ", 1) for line in f.read().splitlines()]


def check_maps(stack, driver):
    find = lambda id_: driver.find_element(By.ID, id_)
    # The status panel is rebuilt every few seconds: read it in one step.
    status = lambda key: driver.execute_script(
        "const e = document.getElementById(arguments[0]); return e ? e.textContent : ''",
        "status-" + key).lower()
    assert not driver.find_elements(By.ID, "map-combo"), "the free-text map field is gone"
    installed = until(lambda: installed_maps(stack), "the installed maps lists")
    until(lambda: options(driver, "map-pick-mod"), "the mods to pick from")
    # Every mod, every map of it and every mode of that map, and nothing else.
    mods = options(driver, "map-pick-mod")
    assert sorted(mods) == sorted(installed), mods
    for mod, maps in installed.items():
        Select(find("map-pick-mod")).select_by_value(mod)
        names = options(driver, "map-pick-map")
        assert sorted(names) == sorted(maps), (mod, names)
        for name, modes in maps.items():
            Select(find("map-pick-map")).select_by_value(name)
            assert set(options(driver, "map-pick-mode")) == modes, (mod, name)

    # Change to a map that is not the one being played: the status shows it.
    target = next(name for name in installed["bfvietnam"]
                  if name != "hue" and "GPM_CQ" in installed["bfvietnam"][name])
    pick(driver, "map-pick", "bfvietnam", target, "GPM_CQ")
    find("map-change").click()
    until(lambda: "changing to" in find("notice").text, "the map change")
    until(lambda: target in status("current_map").replace(" ", "_"),
          "the status to show the new map")
    # The next map: the status shows it as the level the rotation designates.
    upcoming = next(name for name in installed["bfvietnam"] if name not in ("hue", target))
    mode = sorted(installed["bfvietnam"][upcoming])[0]
    pick(driver, "map-pick", "bfvietnam", upcoming, mode)
    find("map-set-next").click()
    until(lambda: f"{upcoming} {mode} bfvietnam".lower() in status("current_level"),
          "the status to show the next map")
    driver.execute_script("arguments[0].scrollIntoView()", find("server-panel"))
    driver.save_screenshot(SCREENSHOT.replace(".png", "-maps.png"))

    # The rotation: the first map moved down, one added, the last removed, saved.
    rows = lambda: driver.find_elements(By.CSS_SELECTOR, "#rotation-list li")
    before = until(lambda: [r.get_attribute("data-combo") for r in rows()], "the rotation")
    rows()[0].find_element(By.CSS_SELECTOR, "button[data-act=down]").click()
    extra = next(n for n in installed["bfvietnam"] if "GPM_COOP" in installed["bfvietnam"][n])
    pick(driver, "rotation-pick", "bfvietnam", extra, "GPM_COOP")
    find("rotation-add").click()
    rows()[-2].find_element(By.CSS_SELECTOR, "button[data-act=remove]").click()
    expected = [before[1], before[0]] + before[2:-1] + [f"{extra} GPM_COOP bfvietnam"]
    assert [r.get_attribute("data-combo") for r in rows()] == expected
    find("rotation-save").click()
    until(lambda: "Saved" in find("rotation-message").text, "the rotation to be saved")
    lines = rotation_lines(stack)
    assert [c for cmd, c in lines if cmd == "game.addLevelToRotation"] == expected, lines
    # The level the game starts with stays the one it was.
    assert [c for cmd, c in lines if cmd == "game.setCurrentLevel"] == [before[0]], lines


def check_schedule(stack, driver):
    find = lambda id_: driver.find_element(By.ID, id_)
    path = os.path.join(stack.settings, "serverschedule.con")
    # A zone far from UTC, at an odd offset: the form works in the browser's local time.
    zone = "Asia/Kathmandu"
    driver.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": zone})
    try:
        # Lines the form cannot show are shown as such and survive a save.
        kept = ["1700000000,stop,fortnightly,*,*,1", "not an event"]
        driver.execute_script("arguments[0].open = true", find("schedule-panel").find_element(
            By.TAG_NAME, "details"))
        until(lambda: find("load-schedule").is_enabled(), "the schedule")
        find("file-schedule").clear()
        find("file-schedule").send_keys("\n".join(kept) + "\n")
        find("save-schedule").click()
        until(lambda: find("schedule-events").text.count("kept as it stands") == 2,
              "the kept lines")

        find("schedule-add").click()
        until(lambda: find("schedule-dialog").is_displayed(), "the event form")
        Select(find("schedule-what")).select_by_value("start")
        find("schedule-wait").click()
        Select(find("schedule-when")).select_by_value("daily")
        driver.execute_script("arguments[0].value = '04:30'", find("schedule-time"))
        find("schedule-confirm").click()
        until(lambda: not find("schedule-dialog").is_displayed(), "the form to close")
        assert "waiting for the round end" in find("schedule-events").text
        find("schedule-save").click()
        until(lambda: "Saved, but Keldor skips" in find("schedule-message").text,
              "the schedule to be saved")

        with open(path) as f:
            lines = f.read().splitlines()
        assert lines[:2] == kept, lines
        time_, action, days, settings, maplist, enabled = lines[2].split(",")
        assert (action, days, settings, maplist, enabled) == \
            ("start wait", "daily", "*", "*", "1"), lines
        local = datetime.datetime.fromtimestamp(int(time_), zoneinfo.ZoneInfo(zone))
        assert (local.hour, local.minute, local.second) == (4, 30, 0), local
        # Read back from Keldor, the event shows in words again.
        until(lambda: "Daily at" in find("schedule-events").text, "the saved event")

        # Edited, it keeps its time; a once event is that local date and time, never a past one.
        find("schedule-edit-2").click()
        find("schedule-enabled").click()
        find("schedule-confirm").click()
        find("schedule-add").click()
        Select(find("schedule-what")).select_by_value("stop")
        Select(find("schedule-when")).select_by_value("none")
        set_value = lambda id_, value: driver.execute_script(
            "arguments[0].value = arguments[1]", find(id_), value)
        set_value("schedule-date", "2001-02-03T10:15")
        find("schedule-confirm").click()
        assert find("schedule-form-message").text == "That time has passed."
        when = datetime.datetime.now(zoneinfo.ZoneInfo(zone)).date() + datetime.timedelta(days=2)
        set_value("schedule-date", f"{when.isoformat()}T10:15")
        find("schedule-confirm").click()
        until(lambda: not find("schedule-dialog").is_displayed(), "the form to close")
        driver.execute_script("document.getElementById('schedule-message').textContent = ''")
        find("schedule-save").click()
        until(lambda: "Saved, but Keldor skips" in find("schedule-message").text,
              "the schedule to be saved again")
        with open(path) as f:
            lines = f.read().splitlines()
        assert lines[2] == f"{time_},start wait,daily,*,*,0", lines
        once = datetime.datetime.combine(when, datetime.time(10, 15), zoneinfo.ZoneInfo(zone))
        assert lines[3] == f"{int(once.timestamp())},stop,none,*,*,1", lines
    finally:
        driver.execute_cdp_cmd("Emulation.setTimezoneOverride", {"timezoneId": ""})


def fresh(action):
    """`action` again when the page's refresh replaced the element it held."""
    for _ in range(5):
        try:
            return action()
        except StaleElementReferenceException:
            time.sleep(0.2)
    return action()


def check_feed(driver):
    """The feed's sentences carry their wire name as a tooltip and hide by kind."""
    kick = driver.find_element(By.CSS_SELECTOR, "#feed li.players")
    assert "NOTE_PLAYER_KICKED" in kick.get_attribute("title"), kick.get_attribute("title")
    assert "NOTE_" not in driver.find_element(By.ID, "feed").text
    box = driver.find_element(By.ID, "feed-show-players")
    driver.find_element(By.CSS_SELECTOR, "label.kind.players").click()
    assert not box.is_selected() and not kick.is_displayed(), "unticked players still shown"
    driver.find_element(By.CSS_SELECTOR, "label.kind.players").click()
    assert box.is_selected() and kick.is_displayed()


def check_ban_dialog(driver):
    """A ban offers the usual lengths; a custom one asks for a number and unit."""
    fresh(lambda: driver.find_element(By.CSS_SELECTOR, "#players button.ban").click())
    assert driver.find_element(By.ID, "action-length").is_displayed()
    assert not driver.find_element(By.ID, "action-count").is_displayed()
    options = [o.text for o in driver.find_elements(By.CSS_SELECTOR, "#action-length option")]
    assert options == ["1 hour", "1 day", "1 week", "For ever", "Custom…"], options
    driver.execute_script("const s = document.getElementById('action-length');"
                          "s.value = 'custom'; s.dispatchEvent(new Event('change'));")
    assert driver.find_element(By.ID, "action-count").is_displayed()
    check_accessibility(driver, "the ban dialog")
    driver.find_element(By.ID, "action-cancel").click()

    # A day's ban: told with its length, listed with its end in local time, then lifted.
    name = fresh(lambda: driver.find_element(By.CSS_SELECTOR, "#players td.name").text)
    fresh(lambda: driver.find_element(By.CSS_SELECTOR, "#players button.ban").click())
    driver.execute_script("document.getElementById('action-length').value = '86400';")
    driver.find_element(By.ID, "action-reason").send_keys("camping")
    driver.find_element(By.ID, "action-confirm").click()
    feed = lambda: driver.find_element(By.ID, "feed").text
    until(lambda: f"{name} was banned by" in feed() and "for 1 day: camping" in feed(),
          "the ban in the feed")
    until(lambda: driver.find_elements(By.ID, "ban-row-0"), "the ban in the list")
    until_cell = fresh(lambda: driver.find_element(By.CSS_SELECTOR, "#ban-row-0 td[data-label=Until]").text)
    assert time.strftime("%Y") in until_cell or "Jan" in until_cell, until_cell
    assert until_cell.endswith("(tomorrow)") or "hr" in until_cell, until_cell
    fresh(lambda: driver.find_element(By.ID, "unban-0").click())
    until(lambda: f"The ban on {name} was lifted." in feed(), "the lifted ban in the feed")
    # Keldor's "the ban list changed" beside each of them adds nothing.
    assert "The ban list changed" not in feed(), feed()


def check_phone(driver):
    """At a phone's width every player's Kick is on screen with no sideways scroll."""
    driver.set_window_size(390, 844)
    try:
        until(lambda: driver.execute_script("return innerWidth") <= 400, "the narrow window")
        # In one script: the players' list is replaced every few seconds, and is
        # empty for a while after the map changes, until the players are back.
        box = until(lambda: driver.execute_script(
            "const kick = document.querySelector('#players button.kick');"
            "if (!kick) return null;"
            "kick.scrollIntoView({block: 'center'});"
            "const r = kick.getBoundingClientRect();"
            "return [r.left, r.right, r.height, innerWidth, document.documentElement.scrollWidth];"),
            "a player's Kick at 390 px")
        left, right, height, width, scroll_width = box
        assert height > 0, "the Kick button is not shown"
        assert 0 <= left and right <= width, f"Kick at {left}..{right} in {width} px"
        assert scroll_width <= width, f"the page is {scroll_width} px wide in {width} px"
        driver.execute_script("document.getElementById('players-panel').scrollIntoView()")
        driver.save_screenshot(SCREENSHOT.replace(".png", "-390.png"))
        check_accessibility(driver, "390 px")
        check_panels_at_phone_width(driver)
    finally:
        driver.set_window_size(1280, 1700)


# Every control of a panel, shown with its details open, lies within the width.
OFF_SCREEN_CONTROLS = """
const panel = document.getElementById(arguments[0]);
for (const d of panel.querySelectorAll('details')) d.open = true;
panel.scrollIntoView();
const out = [];
for (const c of panel.querySelectorAll('button, select, input, textarea')) {
  const r = c.getBoundingClientRect();
  if (r.width === 0 && r.height === 0) continue;
  if (r.left < 0 || r.right > innerWidth) out.push((c.id || c.textContent) + ' at ' + r.left + '..' + r.right);
}
return [out, document.documentElement.scrollWidth, innerWidth];
"""


def check_panels_at_phone_width(driver):
    """Each panel at 390 px: every action within the width, and a screenshot of it;
    the schedule's event form too."""
    panels = driver.execute_script(
        "return [...document.querySelectorAll('#console-view > section')]"
        ".filter((s) => !s.hidden).map((s) => s.id)")
    for panel in panels:
        off, scroll_width, width = driver.execute_script(OFF_SCREEN_CONTROLS, panel)
        assert not off and scroll_width <= width, (panel, off, scroll_width, width)
        driver.save_screenshot(SCREENSHOT.replace(".png", f"-390-{panel}.png"))
    driver.find_element(By.ID, "schedule-add").click()
    until(lambda: driver.find_element(By.ID, "schedule-dialog").is_displayed(), "the event form")
    box = driver.execute_script(
        "const r = document.getElementById('schedule-dialog').getBoundingClientRect();"
        "return [r.left, r.right, innerWidth];")
    assert 0 <= box[0] and box[1] <= box[2], f"the event form at {box}"
    driver.save_screenshot(SCREENSHOT.replace(".png", "-390-schedule-form.png"))
    driver.find_element(By.ID, "schedule-cancel").click()
    until(lambda: not driver.find_element(By.ID, "schedule-dialog").is_displayed(),
          "the event form to close")


def check_clients(stack, driver):
    """The administrators connected, each last request in the reader's local time."""
    rows = until(lambda: driver.find_elements(By.CSS_SELECTOR, "#clients tbody tr"),
                 "the connected administrators")
    text = rows[0].text
    assert stack.facts["admin-user"] in text, text
    assert "none yet" in text or time.strftime("%Y") in text, text


def check_accessibility(driver, where):
    """axe-core over the whole console: no serious or critical violation.

    The script goes in through the driver, which the page's Content-Security-Policy
    does not govern, so keldor-web's policy stays as strict as real browsers get it."""
    if not driver.execute_script("return typeof axe !== 'undefined'"):
        with gzip.open(AXE, "rt", encoding="utf-8") as f:
            driver.execute_script(f.read())
    driver.set_script_timeout(WAIT)
    result = driver.execute_async_script(
        "const done = arguments[arguments.length - 1];"
        "axe.run(document, {resultTypes: ['violations']})"
        "  .then(r => done(r.violations.map(v => ({id: v.id, impact: v.impact, help: v.help,"
        "    nodes: v.nodes.map(n => n.target.join(' '))}))))"
        "  .catch(e => done({error: String(e)}));")
    assert not isinstance(result, dict), f"axe failed at {where}: {result}"
    for v in result:
        print(f"axe at {where}: {v['impact']} {v['id']}: {v['help']}: {v['nodes']}",
              file=sys.stderr)
    bad = [v for v in result if v["impact"] in ("serious", "critical")]
    assert not bad, f"{len(bad)} serious or critical accessibility violations at {where}"


def check_viewer_rights(driver):
    find = lambda id_: driver.find_element(By.ID, id_)
    until(lambda: not find("map-next").is_enabled(), "the map buttons to be disabled")
    for id_ in ("map-next", "map-restart", "map-change", "server-start", "save-announcements"):
        assert not find(id_).is_enabled(), id_
    assert "Needs the right M (maps)" in find("map-next").get_attribute("title")
    assert "0x1000" in find("server-stop").get_attribute("title")
    assert find("chat-say").is_enabled()
    until(lambda: driver.find_elements(By.CSS_SELECTOR, "#players button.kick"), "the players")
    assert fresh(lambda: driver.find_element(By.CSS_SELECTOR, "#players button.kick").is_enabled())
    letters = [a.text for a in driver.find_elements(By.CSS_SELECTOR, "#my-rights abbr")]
    assert letters == ["T", "P"], letters
    assert "may not see the bans" in find("bans-message").text
    assert find("notice").text == "", find("notice").text
    # Nothing the administrator's session showed is left for the viewer.
    assert find("file-announcements").get_attribute("value") == ""
    assert "kicked from the browser" not in find("feed").text
    driver.find_element(By.CSS_SELECTOR, "#rights-panel summary").click()
    check_accessibility(driver, "the viewer's console")
    driver.execute_script("document.getElementById('rights-panel').scrollIntoView()")
    driver.save_screenshot(SCREENSHOT.replace(".png", "-viewer.png"))


def check_crash(stack, driver):
    """A crash of the game server is told in words, and the status gives its local time."""
    with open(os.path.join(stack.root, "bfvietnam.pid")) as f:
        os.kill(int(f.read().strip()), signal.SIGKILL)
    text_of = lambda id_: driver.find_element(By.ID, id_).text
    until(lambda: "The game server crashed." in text_of("feed"), "the crash in the feed")
    titles = [li.get_attribute("title") for li in driver.find_elements(By.CSS_SELECTOR, "#feed li")
              if "The game server crashed." in li.text]
    assert titles and "NOTE_SERVER_CRASHED" in titles[0], titles
    until(lambda: text_of("status-last_crash") not in ("", "never"), "the time of the crash")
    year = time.strftime("%Y")
    shown = text_of("status-last_crash")  # "Dec 8, 2026, 2:52 AM (now)", not Keldor's ctime text
    assert year in shown and shown.endswith(")") and ":" not in shown.split(",")[0], shown


if __name__ == "__main__":
    main()
