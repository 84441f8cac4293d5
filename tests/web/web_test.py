#!/usr/bin/env python3
"""Drives quillaret-web's page in headless Chromium (chromium-driver and Selenium) against the
running quillaret-host, as a developer would: clicks, keys, reloads, a restarted game.

    web_test.py --host PROGRAM --web PROGRAM --attach PROGRAM [--runner PROGRAM...] SCENARIO

Each scenario takes one block of ten ports (28200-28269, kWebScenarios in
tests/support/ports.h, shifted by QC_TEST_PORT_OFFSET): the consoles from its first port, the
page on the fourth, another site's page on the fifth. QC_WEB_SCREENSHOT=PATH also writes the page scenario's picture there (the
README's docs/web-console.png); it is always written into the current folder.
"""

import argparse
import functools
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import statistics
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
import terminal_session_test as ts  # noqa: E402  (the shared Process, Reader and checks)
from terminal_session_test import Failure, check, developer, lit, WAIT  # noqa: E402
from terminal_session_test import OBJECTS  # noqa: E402

try:
    from selenium import webdriver
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.common.keys import Keys
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    webdriver = None

BLOCKS = {"page": 28200, "restart": 28210, "access": 28220, "flood": 28230,
          "wine_page": 28240, "together": 28250, "limits": 28260}
CHROMIUM = "/usr/bin/chromium"
CHROMEDRIVER = "/usr/bin/chromedriver"


class Run(ts.ClientRun):
    def __init__(self, args, name):
        self.args = args
        self.name = name
        # Three consoles, the page and another site: five ports of the block.
        ts.PORT_BLOCKS[name] = (BLOCKS[name], 5)
        self.base = ts.choose_base_port(name)
        self.web_port = self.base + 3
        self.dir = tempfile.mkdtemp(prefix="quillaret-web-%s-" % name)
        # The history and the words, which quillaret-web shares with quillaret-attach.
        self.state = os.path.join(self.dir, "state")
        os.environ["XDG_STATE_HOME"] = self.state
        self.write_profile("open sesame" if name == "restart" else None)
        self.processes = []
        self.hosts = []
        self.tmux = ["tmux", "-L", "qc-web-%d" % os.getpid()]
        self.driver = None

    def write_profile(self, password):
        with open(self.profile_path(), "w") as profile:
            profile.write("[QCServer]\nBasePort=%d\n%s" % (
                self.base, "Password=%s\n" % password if password else ""))

    def close(self):
        if self.driver:
            self.driver.quit()
        for process in self.processes:
            process.stop()
        self.close_terminals()
        shutil.rmtree(self.dir, ignore_errors=True)

    def web(self, password=None):
        """quillaret-web on the block's page port (QUILLARET_PASSWORD set when given); its
        printed address."""
        os.environ.pop("QUILLARET_PASSWORD", None)
        if password:
            os.environ["QUILLARET_PASSWORD"] = password
        web = ts.Process(self.args.runner + [self.args.web, "--base-port", str(self.base),
                                             "127.0.0.1:%d" % self.web_port],
                         "quillaret-web", cwd=self.dir)
        os.environ.pop("QUILLARET_PASSWORD", None)
        self.processes.append(web)
        match = web.out.expect(rb"open (http://127\.0\.0\.1:%d/[0-9a-f]{32}/) in a browser"
                               % self.web_port, "the page's address",
                               3 * WAIT if self.args.runner else WAIT)
        self.url = match.group(1).decode()
        return web

    def browser(self):
        options = webdriver.ChromeOptions()
        options.binary_location = CHROMIUM
        # As root, without a display; without the background-networking flags a closed
        # network refuses Chromium's own connections and slows it down.
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--disable-dev-shm-usage", "--window-size=1400,760",
                     "--user-data-dir=" + os.path.join(self.dir, "chromium")):
            options.add_argument(flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
        self.driver = webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)
        self.driver.set_script_timeout(3 * WAIT)
        return self.driver


def wait_for(driver, condition, what, timeout=WAIT):
    """Polls condition(driver) until it gives something true; a page re-rendered meanwhile is
    looked at again."""
    def probe(d):
        try:
            return condition(d)
        except StaleElementReferenceException:
            return False
    try:
        return WebDriverWait(driver, timeout, poll_frequency=0.1).until(probe)
    except Exception:
        raise Failure("the page: no %s within %.0f s; it shows:\n%s"
                      % (what, timeout, driver.find_element(By.TAG_NAME, "body").text[-3000:]))


def pane(driver, obj):
    return driver.find_element(By.CSS_SELECTOR, '.pane[data-object="%s"]' % obj)


def pane_lines(driver, obj):
    """(kind, text) of every line shown in the pane."""
    return [tuple(line) for line in driver.execute_script(
        "return Array.from(arguments[0].querySelectorAll('.output .line'))"
        ".map(l => [l.className.replace('line k-', ''), l.querySelector('.body').textContent]);",
        pane(driver, obj))]


def open_pane(driver, obj):
    wait_for(driver, lambda d: d.find_element(
        By.CSS_SELECTOR, '#console-list tr[data-object="%s"]' % obj), "row of %s" % obj).click()
    wait_for(driver, lambda d: pane(d, obj).find_element(By.CSS_SELECTOR, ".state").text
             == "attached", "pane %s attached" % obj)


def type_line(driver, obj, text):
    field = pane(driver, obj).find_element(By.CSS_SELECTOR, "input.line")
    field.send_keys(text + Keys.ENTER)


def wait_line(driver, obj, kind, text, what):
    return wait_for(driver, lambda d: (kind, text) in pane_lines(d, obj), what)


def scenario_page(r):
    """The list, two panes side by side, styles and escapes, the filter, send to all,
    history after a reload, and [quit] when a pane or the page goes."""
    host = r.host()
    web = r.web()
    d = r.browser()
    d.get(r.url)
    rows = wait_for(d, lambda d: [tr.text for tr in d.find_elements(
        By.CSS_SELECTOR, "#console-list tbody tr")] or None, "the consoles' list")
    check(rows == ["42 goblin %d" % r.base, "7 chest %d" % (r.base + 1),
                   "1001 lantern %d" % (r.base + 2)], "the list shows %r" % rows)
    open_pane(d, "goblin")
    open_pane(d, "chest")
    web.out.expect(lit("pane chest: attached to port %d (GoID 7)" % (r.base + 1)), "the attach")

    # A line typed in one pane is answered there, and its echo is styled as the pane's own.
    type_line(d, "goblin", '[this].Get("health")')
    wait_line(d, "goblin", "msg", "health = 30", "goblin's answer")
    wait_line(d, "goblin", "echo", '[this].Get("health")', "the styled echo")
    type_line(d, "goblin", "[this].Fly()")
    wait_for(d, lambda d: any(k == "error" and "Fly()" in t for k, t in pane_lines(d, "goblin")),
             "the error line")
    type_line(d, "goblin", 'report.info("goblin spotted")')
    wait_line(d, "goblin", "report", "QC_REPORT: goblin spotted", "the report line")
    check(not any("health" in t for _, t in pane_lines(d, "chest")), "chest saw goblin's line")
    # Another developer's line with control bytes: shown escaped, as another's message.
    other = developer(r.base)
    other.sendall("[this].GoID() \x1b[31m\x07 \u202etxt.exe\n".encode())
    wait_line(d, "goblin", "msg", "[this].GoID() \\x1b[31m\\x07 \\xe2\\x80\\xaetxt.exe",
              "the escaped echo")
    other.sendall(b"[quit]\n")
    other.close()

    # Sent to all open panes: each console answers in its own pane, and while the switch is on
    # every input says where its line goes.
    def inputs():
        return [(f.get_attribute("placeholder"), "to-all" in f.get_attribute("class"))
                for f in d.find_elements(By.CSS_SELECTOR, ".pane input.line")]
    check(all(not to_all and "ALL" not in hint for hint, to_all in inputs()), "a lone cue")
    d.find_element(By.ID, "send-all").click()
    check(inputs() == [("to ALL open panes: script line", True)] * 2,
          "every input tells it sends to all: %r" % inputs())
    type_line(d, "chest", "[this].GoID()")
    wait_line(d, "goblin", "msg", "42", "goblin's answer to the line sent to all")
    wait_line(d, "chest", "msg", "7", "chest's answer to the line sent to all")
    d.find_element(By.ID, "send-all").click()
    check(all(not to_all for _, to_all in inputs()), "the cue stays after the switch is off")

    # Long lines wrap; the pane's switch shows each on one line, scrolled sideways.
    type_line(d, "goblin", "Help()")
    wait_for(d, lambda d: any("[quit]" in t for _, t in pane_lines(d, "goblin")), "Help()")
    output = pane(d, "goblin").find_element(By.CSS_SELECTOR, ".output")
    measure = ("const o = arguments[0]; return [o.scrollWidth - o.clientWidth, Math.max(..."
               "Array.from(o.querySelectorAll('.line')).map(l => l.offsetHeight))];")
    sideways, tallest = d.execute_script(measure, output)
    check(sideways <= 0 and tallest > 18, "wrapped lines: %d px sideways, %d px tall"
          % (sideways, tallest))
    # Each line is placed by the rows it was reckoned to take: the rows it takes.
    placed = d.execute_script("const p = qcPanes[0]; return p.shownRecords.map("
                              "(r, i) => [p.rowsOf(r) * 18, p.shown.children[i].offsetHeight]);")
    check(all(a == b for a, b in placed), "lines reckoned and shown: %r" % placed)
    pane(d, "goblin").find_element(By.CSS_SELECTOR, "input.wrap").click()
    sideways, tallest = d.execute_script(measure, output)
    check(sideways > 0 and tallest == 18, "one-line view: %d px sideways, %d px tall"
          % (sideways, tallest))
    pane(d, "goblin").find_element(By.CSS_SELECTOR, "input.wrap").click()

    # The filter shows the matching lines only, and all of them again when cleared.
    def count():
        return int(pane(d, "goblin").get_attribute("data-lines"))
    shown = count()
    pane(d, "goblin").find_element(By.CSS_SELECTOR, ".filter").send_keys("HEALTH")
    wait_for(d, lambda d: count() < shown, "the filter applied")
    filtered = pane_lines(d, "goblin")
    check(filtered and all("health" in t.lower() for _, t in filtered),
          "the filter shows %r" % filtered)
    pane(d, "goblin").find_element(By.CSS_SELECTOR, ".filter").clear()
    d.execute_script("arguments[0].dispatchEvent(new Event('input'))",
                     pane(d, "goblin").find_element(By.CSS_SELECTOR, ".filter"))
    wait_for(d, lambda d: count() == shown, "every line after the filter is cleared")

    # Nothing the page asked for was refused (the icon is the page's own).
    errors = [e for e in d.get_log("browser") if e["level"] == "SEVERE"]
    check(not errors, "the browser reports %r" % errors)

    shot = os.path.join(os.getcwd(), "web-console.png")
    d.save_screenshot(shot)
    if os.environ.get("QC_WEB_SCREENSHOT"):
        shutil.copyfile(shot, os.environ["QC_WEB_SCREENSHOT"])

    # A message the page should never send is answered with an error; the pane goes on.
    d.execute_script("qcPanes[0].socket.send('{\"t\":\"line\"')")
    wait_for(d, lambda d: any(k == "error" and t.startswith(
        "quillaret-web could not read a message of the page: not JSON")
        for k, t in pane_lines(d, "goblin")), "the error of a malformed message")
    type_line(d, "goblin", "[this].GoID()")
    wait_for(d, lambda d: [t for k, t in pane_lines(d, "goblin") if k == "msg"][-1] == "42",
             "goblin's answer after the malformed message")

    # Closing a pane leaves its console with [quit]: the console's farewell answers it.
    pane(d, "chest").find_element(By.CSS_SELECTOR, ".close").click()
    web.out.expect(lit("pane chest: left port %d with [quit]\n" % (r.base + 1)), "chest's [quit]")
    host.out.expect(lit("[GoID 7] notice: QC_OK: 127.0.0.1 disconnected"), "chest's leaving")

    # History survives a reload, per template; the reload leaves goblin's console with [quit].
    d.refresh()
    web.out.expect(lit("pane goblin: left port %d with [quit]\n" % r.base), "goblin's [quit]")
    open_pane(d, "goblin")
    for line in ("[this].GoID()", "Help()", "[this].GoID()", 'report.info("goblin spotted")'):
        recall(d, "goblin", Keys.ARROW_UP, line)
    recall(d, "goblin", Keys.ARROW_DOWN, "[this].GoID()")
    check(d.execute_script("return localStorage.length") == 0, "the page stores nothing")
    # Stopping quillaret-web leaves the open consoles with [quit] too.
    web.proc.send_signal(signal.SIGTERM)
    web.out.expect(lit("pane goblin: left port %d with [quit]\n" % r.base), "the [quit] at stop")
    check(web.wait_exit("quillaret-web's end") == 0, "quillaret-web exits with 0")
    r.stop_host(host)


def recall(driver, obj, key, line):
    """Presses key in the pane's input and waits for it to show line (the history comes from
    quillaret-web when a walk through it begins)."""
    field = pane(driver, obj).find_element(By.CSS_SELECTOR, "input.line")
    field.send_keys(key)
    wait_for(driver, lambda d: field.get_attribute("value") == line, "%r recalled" % line)


def give_password(driver, form_selector, password):
    form = wait_for(driver, lambda d: [f for f in d.find_elements(By.CSS_SELECTOR, form_selector)
                                       if f.is_displayed()], "the password prompt")[0]
    field = form.find_element(By.CSS_SELECTOR, "input[type=password]")
    field.send_keys(password + Keys.ENTER)


def scenario_restart(r):
    """Consoles with a password: a wrong QUILLARET_PASSWORD is reported in the log, the page
    asks, asks again after a wrong one, and the right one is kept for every pane and never
    shown or stored. The game restarts with its objects in another order and a new password:
    both panes ask, and attach again by name to their own objects, each seeing only its own
    arrival."""
    host = r.host()
    web = r.web(password="stale")
    d = r.browser()
    d.get(r.url)
    web.out.expect(lit("quillaret-web: the consoles refused the password in QUILLARET_PASSWORD;"
                       " the page asks for it\n"), "the refused QUILLARET_PASSWORD in the log")
    again = "#list-password.again"
    for password in ("wrong", "open sesame"):
        form = wait_for(d, lambda d: [f for f in d.find_elements(By.CSS_SELECTOR, again)
                                      if f.is_displayed()], "the form asking again")[0]
        check(form.find_element(By.CSS_SELECTOR, ".ask").text == "wrong password, try again",
              "the form says why it asks again: %r" % form.text)
        button = form.find_element(By.TAG_NAME, "button")
        check(d.execute_script("const b = arguments[0], f = arguments[1].getBoundingClientRect();"
                               "return b.scrollWidth <= b.clientWidth && "
                               "b.getBoundingClientRect().right <= f.right;",
                               button, d.find_element(By.ID, "consoles")),
              "the Send button is shown whole")
        give_password(d, again, password)
    open_pane(d, "goblin")
    open_pane(d, "lantern")

    r.stop_host(host)
    wait_for(d, lambda d: all(pane(d, o).find_element(By.CSS_SELECTOR, ".state").text
                              .startswith(("reconnecting", "looking", "not in the game"))
                              for o in ("goblin", "lantern")), "both panes reconnecting")
    r.write_profile("new phrase")
    host = r.host(["1001", "lantern", "7", "chest", "42", "goblin"])
    # One pane asks (the other's lookup waits for its turn meanwhile); both take the password.
    forms = ".pane form.password"
    asking = wait_for(d, lambda d: [f for f in d.find_elements(By.CSS_SELECTOR, forms)
                                    if f.is_displayed()], "a pane asking for the password",
                      3 * WAIT)
    asking[0].find_element(By.CSS_SELECTOR, "input[type=password]").send_keys(
        "new phrase" + Keys.ENTER)
    for obj, goid, port in (("goblin", 42, r.base + 2), ("lantern", 1001, r.base)):
        web.out.pos = 0
        web.out.expect(lit("pane %s: attached to port %d (GoID %d)" % (obj, port, goid)),
                       "%s attached again" % obj, 3 * WAIT)
        wait_for(d, lambda d: pane(d, obj).find_element(By.CSS_SELECTOR, ".title").text
                 == "%s (GoID %d, port %d)" % (obj, goid, port), "%s's new port" % obj)
    wait_for(d, lambda d: [tr.text for tr in d.find_elements(
        By.CSS_SELECTOR, "#console-list tbody tr")][0] == "1001 lantern %d" % r.base,
        "the list of the restarted game")
    type_line(d, "goblin", "[this].GoID()")
    wait_line(d, "goblin", "msg", "42", "goblin's answer after the restart")
    lines = pane_lines(d, "goblin")
    lost = [i for i, (k, t) in enumerate(lines) if k == "note" and "went away" in t]
    check(lost, "the pane says it lost the console")
    since = [t for _, t in lines[lost[-1]:]]
    check(sum("Dev console attached to object" in t for t in since) == 1 and
          sum(" connected (Port" in t for t in since) == 1 and
          not any(" disconnected (Port" in t for t in since),
          "goblin's pane sees its own arrival once and no other: %r" % since)
    check(not any(f.is_displayed() for f in d.find_elements(By.CSS_SELECTOR, forms)),
          "the pane that was not asked takes the password given in the other")
    stored = d.execute_script("return JSON.stringify(Object.assign({}, localStorage))")
    for secret in ("sesame", "phrase"):
        check(secret not in d.page_source and secret not in stored and
              secret.encode() not in web.out.data, "the password %s is shown or stored" % secret)
    r.stop_host(host)


def upgrade(port, path, origin, whole=False):
    """A WebSocket upgrade request on a raw socket; the status line of the answer (with whole,
    its header)."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    request = ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
               "Sec-WebSocket-Version: 13\r\n%s\r\n"
               % (path, port, "Origin: %s\r\n" % origin if origin else ""))
    sock.sendall(request.encode())
    answer = b""
    while b"\r\n\r\n" not in answer:
        chunk = sock.recv(4096)
        if not chunk:
            break
        answer += chunk
    sock.close()
    return answer.split(b"\r\n\r\n")[0].decode() if whole else answer.split(b"\r\n")[0].decode()


def get(port, path, host_header=None, more=""):
    sock = socket.create_connection(("127.0.0.1", port), timeout=WAIT)
    sock.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nConnection: close\r\n%s\r\n"
                  % (path, host_header or "127.0.0.1:%d" % port, more)).encode())
    answer = b""
    while True:
        chunk = sock.recv(65536)
        if not chunk:
            break
        answer += chunk
    sock.close()
    return answer.split(b"\r\n")[0].decode(), answer


def scenario_access(r):
    """The token, Host and Origin rules, on raw sockets: what a browser page of another site, a
    rebound name or a guess at the address would send."""
    r.host()
    r.web()
    token_path = r.url[len("http://127.0.0.1:%d" % r.web_port):]
    status, page = get(r.web_port, token_path)
    check(status == "HTTP/1.1 200 OK" and b"console.js" in page, "the page: %s" % status)
    header = page.split(b"\r\n\r\n")[0].decode()
    check("\r\nServer:" not in header and "base-uri 'none'; form-action 'none'" in header,
          "the page's header: %s" % header)
    # Headers that two readers could take two ways are refused.
    for more in ("Host: attacker.example:%d\r\n" % r.web_port,
                 "Origin: http://127.0.0.1:%d\r\nOrigin: http://attacker.example\r\n" % r.web_port,
                 "Transfer-Encoding: xchunked\r\n", "Transfer-Encoding: chunked, identity\r\n"):
        status, answer = get(r.web_port, token_path, more=more)
        check(status == "HTTP/1.1 400 Bad Request" and b"\r\nServer:" not in answer,
              "%r: %s" % (more, status))
    for path in ("/", "/console.js", "/ws", token_path.rstrip("/"),
                 "/" + "0" * 32 + "/", token_path[:-2] + "/"):
        status, _ = get(r.web_port, path)
        check(status == "HTTP/1.1 403 Forbidden", "%s without the token: %s" % (path, status))
    for host_header in ("attacker.example:%d" % r.web_port, "127.0.0.1:80",
                        "localhost.attacker.example:%d" % r.web_port):
        status, _ = get(r.web_port, token_path, host_header)
        check(status == "HTTP/1.1 403 Forbidden", "Host %s: %s" % (host_header, status))
    origin = "http://127.0.0.1:%d" % r.web_port
    taken = upgrade(r.web_port, token_path + "ws", origin, whole=True)
    check(taken.startswith("HTTP/1.1 101") and "\r\nServer:" not in taken and
          "\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=" in taken,
          "an upgrade from the page's own origin is taken: %s" % taken)
    for foreign in ("http://attacker.example", "http://127.0.0.1:%d" % (r.web_port + 1),
                    "null", "https://127.0.0.1:%d" % r.web_port):
        status = upgrade(r.web_port, token_path + "ws", foreign)
        check(status == "HTTP/1.1 403 Forbidden", "an upgrade from %s: %s" % (foreign, status))
    check(upgrade(r.web_port, "/ws", origin) == "HTTP/1.1 403 Forbidden",
          "an upgrade without the token")

    # Another site's page in the browser, which knows the address and its token: its WebSocket
    # is refused (the browser sends that site's Origin).
    with open(os.path.join(r.dir, "other.html"), "w") as page:
        page.write("<!doctype html><script>const ws = new WebSocket('ws://127.0.0.1:%d%sws');"
                   "ws.onopen = () => { document.title = 'open'; ws.send('S'); };"
                   "ws.onclose = () => { if (document.title !== 'open') document.title = "
                   "'refused'; };</script>" % (r.web_port, token_path))
    handler = functools.partial(http.server.SimpleHTTPRequestHandler, directory=r.dir)
    other_site = http.server.ThreadingHTTPServer(("127.0.0.1", r.base + 4), handler)
    threading.Thread(target=other_site.serve_forever, daemon=True).start()
    try:
        d = r.browser()
        d.get("http://127.0.0.1:%d/other.html" % (r.base + 4))
        wait_for(d, lambda d: d.title in ("open", "refused"), "the other site's socket")
        check(d.title == "refused", "another site's page opened a WebSocket")
    finally:
        other_site.shutdown()
        other_site.server_close()


def complete(driver, obj, typed):
    """Types typed into the pane's empty input, presses Tab and waits for the answer; what the
    input then holds."""
    field = pane(driver, obj).find_element(By.CSS_SELECTOR, "input.line")
    field.clear()
    count = driver.execute_script("return window.qcStats.completions")
    field.send_keys(typed, Keys.TAB)
    wait_for(driver, lambda d: d.execute_script("return window.qcStats.completions") > count,
             "the completion of %r" % typed)
    return field.get_attribute("value")


def scenario_together(r):
    """quillaret-attach in a terminal and the page on one template: each recalls with ↑ the
    lines typed in the other, and Tab on either completes the names the console's answers
    showed (after [this]., after [that](N). and at a word's start). A template name that is not
    UTF-8 opens from the list too (by its GoID)."""
    r.host(OBJECTS[:4] + ["1001", os.fsdecode(b"lan\xfftern")])
    web = r.web()
    r.start_terminal(["goblin"])
    r.wait_screen(r"\ngoblin>$", "the terminal's prompt")
    r.keys('[this].Get("mood")', "Enter")
    r.wait_screen(r'QC_MSG: mood = "grumpy"', "the terminal's answer")
    r.keys("C-d")
    r.wait_screen(r"\[exit 0\]", "the terminal's end")

    d = r.browser()
    d.get(r.url)
    open_pane(d, "goblin")
    recall(d, "goblin", Keys.ARROW_UP, '[this].Get("mood")')
    check(complete(d, "goblin", "[this].De") == "[this].De", "a name no answer showed yet")
    pane(d, "goblin").find_element(By.CSS_SELECTOR, "input.line").clear()
    type_line(d, "goblin", "Help()")
    wait_for(d, lambda d: any("[quit]" in t for _, t in pane_lines(d, "goblin")), "Help()")
    for typed, whole in (("[this].De", "[this].Describe("), ("[that](7).Ke", "[that](7).Keys("),
                         ("x = MakeG", "x = MakeGoid(")):
        got = complete(d, "goblin", typed)
        check(got == whole, "Tab after %r gives %r, not %r" % (typed, whole, got))
    pane(d, "goblin").find_element(By.CSS_SELECTOR, "input.line").clear()
    type_line(d, "goblin", "[this].Keys()")
    wait_line(d, "goblin", "echo", "[this].Keys()", "the echo of the page's line")

    r.start_terminal(["goblin"])
    r.wait_screen(r"\ngoblin>$", "the terminal's prompt again")
    r.keys("Up")
    r.wait_screen(r"goblin> \[this\]\.Keys\(\)$", "the page's line recalled in the terminal")
    r.keys("C-u", "[this].Desc", "Tab")
    r.wait_screen(r"goblin> \[this\]\.Describe\($", "the terminal completing a page's word")

    open_pane(d, "1001")
    web.out.expect(lit("pane lan\\xfftern: attached to port %d (GoID 1001)" % (r.base + 2)),
                   "the pane of a name that is not UTF-8")
    check(pane(d, "1001").find_element(By.CSS_SELECTOR, ".title").text
          == "lan\\xfftern (GoID 1001, port %d)" % (r.base + 2), "the escaped name's pane")
    type_line(d, "1001", "[this].GoID()")
    wait_line(d, "1001", "msg", "1001", "the answer of the object with that name")


def closed_by_peer(sock):
    """Whether quillaret-web closed the connection (within WAIT)."""
    try:
        return sock.recv(1) == b""
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def scenario_limits(r):
    """quillaret-web's caps: at most 64 panes, the 65th refused with a message on the page; at
    most 64 connections that have not sent a request with the token, the oldest let go when
    another comes and each closed after 10 s, while the page still loads."""
    r.host()
    web = r.web()
    d = r.browser()
    d.get(r.url)
    open_pane(d, "goblin")
    # 63 more panes on chest's console, opened as the page opens them: 64 in all.
    d.execute_script(
        "window.extra = Array.from({length: 63}, () => { const ws = new WebSocket("
        "qcPanes[0].socket.url); ws.onopen = () => ws.send(JSON.stringify({t: 'open', goid: 7}));"
        " return ws; });")
    for n in range(63):
        web.out.expect(lit("pane chest: attached to port %d (GoID 7)" % (r.base + 1)),
                       "chest's pane %d" % (n + 1), 3 * WAIT)
    refusal = "not opened: quillaret-web holds 64 panes at most, for every page together; " \
              "close one to open another"
    open_row = lambda: d.find_element(By.CSS_SELECTOR,  # noqa: E731
                                      '#console-list tr[data-object="lantern"]').click()
    open_row()
    wait_line(d, "lantern", "error", refusal, "the 65th pane refused")
    check(pane(d, "lantern").find_element(By.CSS_SELECTOR, ".state").text == "not opened",
          "the refused pane's state")
    pane(d, "lantern").find_element(By.CSS_SELECTOR, ".close").click()
    d.execute_script("window.extra.pop().close()")
    web.out.expect(lit("pane chest: left port %d with [quit]" % (r.base + 1)), "a pane closed")
    open_row()
    wait_for(d, lambda d: pane(d, "lantern").find_element(By.CSS_SELECTOR, ".state").text
             == "attached", "the pane opened once another closed")

    # Connections that never send a request: the 65th lets the oldest go.
    idle = [socket.create_connection(("127.0.0.1", r.web_port), timeout=WAIT) for _ in range(65)]
    # Let go at once: well within half the 10 s after which it would be closed anyway.
    idle[0].settimeout(WAIT / 2)
    check(closed_by_peer(idle[0]), "the oldest of 65 idle connections was let go")
    # The page still loads and opens a pane meanwhile.
    d.refresh()
    open_pane(d, "chest")
    type_line(d, "chest", '[this].Get("gold")')
    wait_line(d, "chest", "msg", "gold = 120", "chest's answer while idle connections wait")
    # Each idle connection is closed once its time for a request is up.
    for sock in idle[1:]:
        sock.settimeout(3 * WAIT)
        check(closed_by_peer(sock), "an idle connection closed after its 10 s")
        sock.close()
    idle[0].close()


def cpu_seconds(pid):
    """The process's user and system time so far, from /proc."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def frame_gaps(driver, seconds, wait=True):
    """The gaps between the page's animation frames for the seconds given (ms). With wait
    false, the measure runs on; window.qcFrames gives it at its end."""
    driver.execute_script(
        "const s = arguments[0]; window.qcFrames = new Promise(resolve => {"
        "const gaps = []; let last = performance.now(); const start = last;"
        "function f(now) { gaps.push(now - last); last = now;"
        "if (now - start < s * 1000) requestAnimationFrame(f); else resolve(gaps); }"
        "requestAnimationFrame(f); });", seconds)
    if not wait:
        return None
    return driver.execute_async_script("window.qcFrames.then(arguments[arguments.length - 1]);")


def scenario_flood(r):
    """A console broadcasting about 2,000 lines a second into one pane: every line arrives,
    the pane keeps the last 10,000, and the frame times are printed (no timed check)."""
    host = r.host()
    # The host logs every line it answers: its log is read all along, or the host would stop
    # once the pipe is full.
    threading.Thread(target=lambda: [host.out._read_some(0.2) for _ in iter(
        lambda: host.out.closed, True)], daemon=True).start()
    web = r.web()
    d = r.browser()
    d.get(r.url)
    open_pane(d, "goblin")
    flooder = developer(r.base)
    flooder.setblocking(False)
    # Each Help() is answered with its echo and the help text: count them on a reference run.
    type_line(d, "goblin", "Help()")
    wait_for(d, lambda d: any("[quit]" in t for _, t in pane_lines(d, "goblin")), "Help()")
    per_help = 1 + sum(1 for k, t in pane_lines(d, "goblin")
                       if k == "msg" and not t.startswith("Help()"))
    before = d.execute_script("return window.qcStats.linesReceived")
    seconds = 10
    rate = 2000
    helps = seconds * rate // per_help
    # The gaps between animation frames: first with nothing arriving (what the machine's load
    # alone costs), then while the lines arrive.
    idle = frame_gaps(d, 3)
    gaps = frame_gaps(d, seconds, wait=False)
    cpu_before = cpu_seconds(web.proc.pid)
    stats_before = d.execute_script("return Object.assign({}, window.qcStats)")
    started = time.monotonic()
    sent = 0
    while sent < helps:
        due = min(helps, int((time.monotonic() - started) * rate / per_help) + 1)
        while sent < due:
            try:
                flooder.send(b"Help()\n")
                sent += 1
            except BlockingIOError:
                break
        try:
            while flooder.recv(65536):
                pass
        except BlockingIOError:
            pass
        time.sleep(0.01)
    send_seconds = time.monotonic() - started
    gaps = d.execute_async_script("window.qcFrames.then(arguments[arguments.length - 1]);")
    expected = before + helps * per_help
    wait_for(d, lambda d: d.execute_script("return window.qcStats.linesReceived") >= expected,
             "all %d lines" % (helps * per_help), 6 * WAIT)
    received = d.execute_script("return window.qcStats.linesReceived") - before
    cpu = cpu_seconds(web.proc.pid) - cpu_before
    stats = d.execute_script("return window.qcStats")
    draws = stats["draws"] - stats_before["draws"]
    shown = int(pane(d, "goblin").get_attribute("data-lines"))
    check(shown == 10000, "the pane keeps the last 10,000 lines, not %d" % shown)
    # The oldest kept line is there to scroll back to; the pane's first lines are gone.
    d.execute_script("arguments[0].scrollTop = 0", pane(d, "goblin").find_element(
        By.CSS_SELECTOR, ".output"))
    wait_for(d, lambda d: pane_lines(d, "goblin")[0][0] == "msg", "the oldest kept line")
    print("flood: %d lines in %.1f s (%.0f lines/s sent), %d received, %d lines kept; "
          "quillaret-web used %.2f s of CPU"
          % (helps * per_help, send_seconds, helps * per_help / send_seconds, received, shown,
             cpu))
    print("page script: %.2f ms a draw (%d draws), %.3f ms a line received"
          % ((stats["drawMs"] - stats_before["drawMs"]) / max(draws, 1), draws,
             (stats["receiveMs"] - stats_before["receiveMs"]) / max(received, 1)))
    for name, figures in (("idle", idle), ("flood", gaps)):
        figures = sorted(figures[1:])
        print("frames %s: %d in %.0f s, mean %.1f ms, median %.1f ms, p95 %.1f ms, "
              "longest %.1f ms" % (name, len(figures), sum(figures) / 1000,
                                   statistics.mean(figures), statistics.median(figures),
                                   figures[int(len(figures) * 0.95)], figures[-1]))
    check(received == helps * per_help, "the pane received %d lines of %d"
          % (received, helps * per_help))
    flooder.close()


def scenario_wine_page(r):
    """quillaret-web.exe under wine serves the page to the native Chromium, which attaches to
    the Windows host's console and gets an answer."""
    r.host()
    r.web()
    d = r.browser()
    d.get(r.url)
    open_pane(d, "chest")
    type_line(d, "chest", '[this].Get("gold")')
    wait_line(d, "chest", "msg", "gold = 120", "chest's answer")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--web", required=True)
    parser.add_argument("--attach", required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="the program that runs the Windows programs (repeated: its words)")
    parser.add_argument("scenario", choices=sorted(BLOCKS))
    args = parser.parse_args()
    missing = [p for p in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(p)]
    if webdriver is None or missing:
        print("FAIL: the browser tests need chromium, chromium-driver and python3-selenium "
              "(scripts/test installs them); missing: %s"
              % (missing or ["selenium for %s" % sys.executable]))
        return 1
    return ts.run_scenario(lambda: Run(args, args.scenario), globals(), args.scenario)


if __name__ == "__main__":
    sys.exit(main())
