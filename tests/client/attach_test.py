#!/usr/bin/env python3
"""Drives quillaret-attach against the running quillaret-host as a developer would: scripts on
pipes, and interactive sessions in tmux with real keys. Windows builds run both programs
through the runner (wine) given with --runner.

    attach_test.py --host PROGRAM --attach PROGRAM [--runner PROGRAM...] SCENARIO

Each scenario takes one block of ten ports (28100-28149, kAttachScenarios; 28150-28169,
kWinConsoleScenarios; 28170-28199, kAttachMoreScenarios; all in tests/support/ports.h, and
QC_TEST_PORT_OFFSET shifts them) and runs the host in a folder of its own (on Windows the
profile lives in the wine prefix's Windows directory).
"""

import argparse
import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
import terminal_session_test as ts  # noqa: E402  (the shared Process, Reader and checks)
from terminal_session_test import (Failure, check, developer, lit, OBJECTS, STAMP,  # noqa: E402
                                   WAIT)

BLOCKS = {"script": 28100, "interactive": 28110, "reconnect": 28120, "password": 28130,
          "wine_script": 28140, "wine_interactive": 28150, "quiet": 28170, "multi": 28180,
          "retry": 28190}
CONSOLES = {"quiet": 4}  # consecutive ports a scenario's host takes, when not 3


class Run(ts.ClientRun):
    def __init__(self, args, name):
        self.args = args
        self.name = name
        ts.PORT_BLOCKS[name] = (BLOCKS[name], CONSOLES.get(name, 3))
        self.base = ts.choose_base_port(name)
        self.dir = tempfile.mkdtemp(prefix="quillaret-attach-%s-" % name)
        self.state = os.path.join(self.dir, "state")
        self.profile = ("[QCServer]\nBasePort=%d\n%s"
                        % (self.base, "Password=open sesame\n" if name == "password" else ""))
        self.write_profile()
        self.processes = []
        self.hosts = []
        self.tmux = ["tmux", "-L", "qc-attach-%d" % os.getpid()]

    def write_profile(self, password=None):
        if password is not None:
            self.profile = "[QCServer]\nBasePort=%d\nPassword=%s\n" % (self.base, password)
        with open(self.profile_path(), "w") as profile:
            profile.write(self.profile)

    def close(self):
        for process in self.processes:
            process.stop()
        self.close_terminals()
        shutil.rmtree(self.dir, ignore_errors=True)

    def attach(self, argv, env=None, cwd=None):
        """quillaret-attach on pipes: (exit status, standard output, standard error)."""
        environment = dict(os.environ, XDG_STATE_HOME=self.state, **(env or {}))
        try:
            done = subprocess.run(self.args.runner + [self.args.attach] + argv, cwd=cwd or self.dir,
                                  env=environment, capture_output=True, timeout=3 * WAIT,
                                  stdin=subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            raise Failure("quillaret-attach %s did not end within %.0f s" % (argv, 3 * WAIT))
        return done.returncode, done.stdout.decode().replace("\r\n", "\n"), done.stderr.decode()


def every(*lines):
    """A pattern for a screen showing each of these lines, in any order."""
    return "".join(r"(?=(.*\n)*%s\n)" % line for line in lines)


def to_by_tab(r, current, name, goid, typed):
    """Completes :to NAME with Tab from what is typed, then runs [this].GoID() there."""
    r.keys(typed, "Tab")
    r.wait_screen(r"%s> :to %s$" % (current, name), "Tab completing the object's name")
    r.keys("Enter")
    r.wait_screen(r"\n%s>$" % name, "the prompt naming %s" % name)
    r.keys("[th", "Tab")
    r.wait_screen(r"%s> \[this\]\.$" % name, "Tab completing [this].")
    r.keys("GoID()", "Enter")
    r.wait_screen(r"%s: > [^\n]*QC_MSG: \[this\]\.GoID\(\)\n%s: [^\n]*QC_MSG: %d\n"
                  % (name, name, goid), "the line ran on %s" % name)


def tab_after_help(r, name, typed, completed, unknown):
    """Tab completes a name Help()'s answer showed, a call with its "("; then ":to UNKNOWN"
    with one object answers in sentences."""
    r.keys("Help()", "Enter")
    r.wait_screen(r"MakeGoid\(N\)\.GoID\(\)[^\n]*\n(.*\n)*%s>$" % name, "Help()'s answer")
    r.keys(typed, "Tab")
    r.wait_screen(r"%s> %s$" % (name, re.escape(completed)), "Tab completing a name Help() showed")
    r.keys("C-u", ":to " + unknown, "Enter")
    r.wait_screen(r"quillaret-attach: no object %s here\. Attached: %s\n+%s>$"
                  % (unknown, name, name), ":to " + unknown)


def check_clear_errors(r):
    """An unresolvable host, and no profile: each said in one line of its own."""
    code, out, err = r.attach(["-c", "x", "goblin"], {"QUILLARET_HOST": "no.such.host.invalid"})
    check(code == 1 and out == "" and err.strip() == "quillaret-attach: the host "
          "no.such.host.invalid (QUILLARET_HOST) cannot be resolved", "no such host: %r" % err)
    bare = os.path.join(r.dir, "bare")
    os.makedirs(bare, exist_ok=True)
    code, out, err = r.attach(["--list"], cwd=bare)
    check("no quillaret_console.ini found here, so BasePort is the default 30000" in
          err.splitlines()[0] and (code == 0) == (out != ""), "no profile: %s %r" % (code, err))


def last_line(screen):
    return [line for line in screen.split("\n") if line.strip()][-1]


def scenario_script(r):
    host = r.host()
    goblin = r.base
    check(re.search(rb"\n    \S*quillaret-attach --base-port %d lantern +# GoID 1001, port %d\n"
                    % (goblin, goblin + 2), host.out.data), "the host names the attach commands")
    # Lines from a pipe, fed one at a time. Another developer leaves meanwhile: the notice is
    # no answer. (Its arrival would be no better: the host greets every newcomer in a broadcast
    # that reaches every developer, indistinguishable from answers.)
    other = developer(goblin)
    script = ts.Process([r.args.attach, "goblin"], "script", cwd=r.dir)
    r.processes.append(script)
    script.type('[this].Get("health")\n')
    script.out.expect(lit("health = 30\n"), "the first answer")
    other.sendall(b"[quit]\n")
    while True:  # the farewell, then the close
        chunk = other.recv(4096)
        if chunk == b"" or b"Disconnecting" in chunk:
            break
    other.close()
    # The notice went to every developer as the host took it, before the host logged it.
    host.out.expect(lit("[GoID 42] notice: QC_OK: 127.0.0.1 disconnected"), "the other leaving")
    script.type("[who]\n")
    script.close_input()
    script.out.expect_end("the end of the script's output")
    check(script.wait_exit("the script's end") == 0, "a script exits 0")
    expected = ("health = 30\nQC_OK: Currently connected clients (Port: %d, GoID: 42, "
                "TemplateName: goblin)\nQC_OK: [01]\t127.0.0.1\nQC_OK: End of list\n" % goblin)
    check(script.out.data.decode() == expected, "script output %r, expected %r"
          % (script.out.data.decode(), expected))

    with open(os.path.join(r.dir, "lines.txt"), "w") as lines:
        lines.write('[this].GoID()\n\n[that](42).Set("mood", "sly")\r\n[spawns]\n')
    code, out, _ = r.attach(["--echo", "-f", "lines.txt", "chest"])
    check(code == 0 and out == '> [this].GoID()\n7\n> [that](42).Set("mood", "sly")\nmood = "sly"'
          ' (was "grumpy")\n> [spawns]\nQC_OK: Currently spawned servers\nQC_OK: [01]\tPort: '
          '%d, GoID: 42, TemplateName: goblin\nQC_OK: [02]\tPort: %d, GoID: 7, TemplateName: '
          'chest\nQC_OK: [03]\tPort: %d, GoID: 1001, TemplateName: lantern\nQC_OK: End of list\n'
          % (goblin, goblin + 1, goblin + 2), "-f with --echo: %s %r" % (code, out))

    # The first error stops the script: nothing more is sent, and it still leaves with [quit].
    code, out, _ = r.attach(["--stop-on-error", "-c", "[this].Fly()", "-c",
                             '[this].Set("oil", 1)', "1001"])
    check(code == 2 and re.fullmatch(r"QC_ERROR: [^\n]*Fly\(\)[^\n]*\n", out),
          "--stop-on-error: %s %r" % (code, out))
    code, out, _ = r.attach(["-c", "[this].GoID()", "-c", "[quit]", "-c", '[this].Set("oil", 2)',
                             ":%d" % (goblin + 2)])
    check(code == 0 and out == "1001\n", "[quit] ends a script: %s %r" % (code, out))
    host.out.expect(lit("[GoID 1001] notice: QC_OK: 127.0.0.1 disconnected"), "the [quit]")
    check(b'Set("oil"' not in host.out.data, "no line after an error or [quit] reached the host")

    code, out, err = r.attach(["--list"])
    check(code == 0 and out == "GOID  TEMPLATE  PORT\n42    goblin    %d\n7     chest     %d\n"
          "1001  lantern   %d\n" % (goblin, goblin + 1, goblin + 2), "--list: %s %r" % (code, out))
    code, out, err = r.attach(["-c", "x", "wisp"])
    check(code == 3 and "no console of wisp" in err and "1001  lantern" in err,
          "an unknown name: %s %r" % (code, err))
    code, out, err = r.attach(["-c", "x", ":%d" % (r.base + 9)])
    check(code == 1 and "no console answers" in err, "nothing listening: %s %r" % (code, err))
    r.stop_host(host)


def scenario_wine_script(r):
    """The Windows program's script mode against the Windows host, both under wine."""
    r.host()
    code, out, err = r.attach(["-c", '[this].Set("health", 5)', "-c", "[who]", "goblin"])
    check(code == 0 and out == "health = 5 (was 30)\nQC_OK: Currently connected clients (Port: %d,"
          " GoID: 42, TemplateName: goblin)\nQC_OK: [01]\t127.0.0.1\nQC_OK: End of list\n"
          % r.base, "-c lines: %s %r %r" % (code, out, err))
    script = ts.Process(r.args.runner + [r.args.attach, "--stop-on-error", "7"], "script",
                        cwd=r.dir)
    r.processes.append(script)
    script.type('[this].Get("gold")\n[this].Fly()\n[this].Set("gold", 0)\n')
    script.close_input()
    script.out.expect_end("the end of the script's output", 3 * WAIT)
    check(script.wait_exit("the script's end", 3 * WAIT) == 2, "exit 2 after an error answer")
    out = script.out.data.decode().replace("\r\n", "\n")
    check(re.fullmatch(r"gold = 120\nQC_ERROR: [^\n]*Fly\(\)[^\n]*\n", out), "stdin: %r" % out)
    code, out, err = r.attach(["-c", "[this].GoID()", ":%d" % (r.base + 9)])
    check(code == 1 and "no console answers" in err, "nothing listening: %s %r" % (code, err))
    code, out, err = r.attach(["--wait", "0.1", "-c", "[this].GoID()", "c*", "lantern"])
    check(code == 0 and out == "chest: 7\nlantern: 1001\n", "a pattern: %s %r %r" % (code, out, err))
    os.unlink(r.profile_path())  # the host has read it; the client finds none now
    check_clear_errors(r)


def scenario_wine_interactive(r):
    """The Windows program's own line editor in wine's console, in tmux, as a developer types.

    wine's console on a Unix terminal cannot show three things Windows would: Ctrl-Z is the
    terminal's job-control key and never reaches the program (so Ctrl-Z then Enter is left to
    the unit tests); Home and End arrive as unknown keys (Ctrl-A and Ctrl-E stand in); and
    Ctrl-C is the terminal's signal, which drops typed keys the console has not read yet, so
    the line is on the screen before Ctrl-C is pressed."""
    # Started from Git Bash's window, where standard input is a pipe: it says how to run it.
    done = subprocess.run(r.args.runner + [r.args.mintty, "%s wraith" % r.args.attach],
                          capture_output=True, timeout=3 * WAIT)
    err = done.stderr.decode(errors="replace")
    check(done.returncode == 4 and "not a Windows console" in err and "winpty" in err and
          "-c LINE, -f FILE" in err, "under mintty: %s %r" % (done.returncode, err))
    objects = ["66", "wraith", "67", "ghoul"]
    host = r.host(objects)
    # %LOCALAPPDATA%: wine sets it from its prefix, whatever the environment says.
    users = os.path.join(os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine")),
                         "drive_c", "users")
    names = [pwd.getpwuid(os.getuid()).pw_name, os.environ.get("USER", "")]
    names += sorted(name for name in os.listdir(users) if name != "Public")
    local = next(os.path.join(users, name, "AppData", "Local") for name in names
                 if name and os.path.isdir(os.path.join(users, name, "AppData", "Local")))
    history = os.path.join(local, "quillaret", "history", "wraith")
    if os.path.exists(history):
        os.unlink(history)
    r.start_terminal(["wraith"])
    r.wait_screen(r"Help\(\) lists what it understands\n+wraith>$", "the greeting and prompt")
    r.keys('[this].Set("health", 25)', "Enter")
    r.wait_screen(r'\nwraith> \[this\]\.Set\("health", 25\)\n> \d\d:\d\d:\d\d QC_MSG: \[this\]\.Set'
                  r'\("health", 25\)\n[^\n]*health = 25[^\n]*\nwraith>$',
                  "the line after its prompt, the own echo and the answer")
    r.keys("[this].Fly()", "Enter")
    r.wait_screen(r"\x1b\[(\d+;)*31m(\x1b\[[0-9;]*m)*\d\d:\d\d:\d\d QC_ERROR: [^\n]*Fly",
                  "the error in red", True)
    # A broadcast while a line is half typed: printed above it, the line drawn again intact.
    r.keys('[this].Get("hea')
    r.wait_screen(r'wraith> \[this\]\.Get\("hea$', "the half-typed line")
    other = developer(r.base, 3 * WAIT)
    other.sendall(b'report.info("\x1b[2J spotted \xe2\x81\xa7evil")\n')
    r.wait_screen(r'QC_REPORT: \\x1b\[2J spotted \\xe2\\x81\\xa7evil\n(.*\n)*wraith> '
                  r'\[this\]\.Get\("hea$', "the escaped report above the redrawn line")
    r.keys('lth")', "Enter")
    r.wait_screen(r'> \d\d:\d\d:\d\d QC_MSG: \[this\]\.Get\("health"\)\n.*health = 25\n',
                  "the whole line ran")
    other.close()
    # Ctrl-C drops the line, marked as on Linux; what was typed is never sent.
    r.keys('[this].Set("health", 1)')
    r.wait_screen(r'wraith> \[this\]\.Set\("health", 1\)$', "the line to clear")
    r.keys("C-c")
    r.wait_screen(r'\nwraith> \[this\]\.Set\("health", 1\)\^C\nwraith>$', "the dropped line")
    r.keys("C-c")
    r.wait_screen(r"\nquillaret-attach: to leave, press Ctrl-D or type :quit\n+wraith>$",
                  "how to leave")
    r.keys("[this].GoID()", "Enter")
    r.wait_screen(r"QC_MSG: 66\n+wraith>$", "the next line's answer")
    tab_after_help(r, "wraith", "[that](67).Ke", "[that](67).Keys(", "gh")
    r.keys("C-d")
    r.wait_screen(r"QC_OK: Disconnecting from Team Quillaret development console\n+\[exit 0\]",
                  "the farewell after Ctrl-D, and exit 0")

    # A second run: Up brings back the lines of the first, from the history file.
    r.start_terminal(["66"], "NO_COLOR=1")
    r.wait_screen(r"\nwraith>$", "the prompt")
    r.keys("Up", "Up", "Up", "Up", "Up", "Up")
    r.wait_screen(r'wraith> \[this\]\.Set\("health", 25\)$', "the first run's line")
    r.keys("BSpace", "BSpace", "BSpace", "9)", "C-a", "C-e", "Enter")
    r.wait_screen(r"QC_MSG: health = 9 \(was 25\)\n", "the edited line's answer")
    r.keys("[this].Fly()", "Enter")
    screen = r.wait_screen(r"QC_ERROR: [^\n]*Fly[^\n]*\n", "the error", True).string
    check("\x1b[31m" not in screen, "NO_COLOR leaves the error uncoloured")
    # The game comes back asking for a password while a line is half typed: the password is
    # read by the editor's own reader, shown nowhere, sent only as the password, and the
    # half-typed line is still there afterwards.
    r.keys("[this].GoID(")
    r.wait_screen(r"wraith> \[this\]\.GoID\($", "the half-typed line")
    host.stop()
    r.wait_screen(r"the console closed the connection[^\n]*\n+\(detached\) wraith> \[this\]\.GoID\($",
                  "the loss, the line kept")
    with open(r.profile_path(), "w") as profile:
        profile.write("[QCServer]\nBasePort=%d\nPassword=open sesame\n" % r.base)
    host = r.host(objects)
    r.wait_screen(r"\nPassword: ?$", "the password prompt")
    r.keys("open sesame")
    time.sleep(0.5)  # nothing to wait for on the screen: the typed password shows nowhere
    check("sesame" not in r.screen(), "the password is not echoed:\n" + r.screen())
    r.keys("Enter")
    r.wait_screen(r"attached again to wraith \(GoID 66\)(.*\n)*wraith> \[this\]\.GoID\($",
                  "attached again, the line intact")
    r.keys(")", "Enter")
    r.wait_screen(r"QC_MSG: \[this\]\.GoID\(\)\n[^\n]*QC_MSG: 66\n", "the whole line's answer")
    r.keys(":quit", "Enter")
    screen = r.wait_screen(r"Disconnecting from Team Quillaret development console\n+\[exit 0\]",
                           ":quit").string
    with open(history, encoding="utf-8") as kept:
        lines = kept.read().splitlines()
    check("sesame" not in screen and b"sesame" not in host.out.data and
          not any("sesame" in line for line in lines), "the password is shown, sent or kept")
    check(lines == ['[this].Set("health", 25)', "[this].Fly()", '[this].Get("health")',
                    "[this].GoID()", "Help()", ":to gh", '[this].Set("health", 9)', "[this].Fly()",
                    "[this].GoID()", ":quit"], "the history file: %r" % lines)

    # Two objects in one stream (the password from the environment): Tab lists and completes
    # the objects after :to, and completes [this].; :to and :all send where they say.
    r.start_terminal(["wraith", "ghoul"], "QUILLARET_PASSWORD='open sesame'")
    r.wait_screen(every(*(r"%s: [^\n]*Help\(\) lists what it understands" % name
                          for name in ("wraith", "ghoul"))) + r"(.*\n)*wraith>$",
                  "both consoles' greetings, then the prompt")
    r.keys(":to ", "Tab")
    r.wait_screen(r"\nwraith  ghoul\n+wraith> :to ?$", "Tab listing the objects")
    to_by_tab(r, "wraith", "ghoul", 67, "g")
    r.keys(":all [this].Template()", "Enter")
    r.wait_screen(every(r'wraith: [^\n]*QC_MSG: "wraith"', r'ghoul: [^\n]*QC_MSG: "ghoul"'),
                  "the answer of both objects")
    r.keys("C-d")
    screen = r.wait_screen(r"\[exit 0\]", "the end").string
    check(screen.count("QC_OK: Disconnecting from") == 2, "two farewells:\n" + screen)
    # Ctrl-C at the first attach's password prompt, read by the editor's reader as a key, stops
    # the client as Ctrl-C anywhere else in the attach does.
    r.start_terminal(["wraith"])
    r.wait_screen(r"^Password: ?$", "the password prompt")
    r.keys("C-c")
    r.wait_screen(r"\n\[exit 130\]", "exit 130 after Ctrl-C at the password prompt")


def scenario_interactive(r):
    r.host()
    history = os.path.join(r.state, "quillaret", "history", "goblin")
    os.makedirs(os.path.dirname(history))
    with open(history, "w") as old:  # a long history from earlier days: the newest 1000 stay
        old.write("".join("Help()#%d\n" % n for n in range(2100)))
    r.start_terminal(["goblin"])
    r.wait_screen(r"Help\(\) lists what it understands\n+goblin>$", "the greeting and prompt")
    r.keys('[this].Set("health", 25)', "Enter")
    r.wait_screen(r'\n> \d\d:\d\d:\d\d QC_MSG: \[this\]\.Set\("health", 25\)\n.*health = 25',
                  "the own echo, marked, and the answer")
    r.keys("[this].Fly()", "Enter")
    r.wait_screen(r"\x1b\[31m(\x1b\[[0-9;]*m)*\d\d:\d\d:\d\d QC_ERROR: [^\n]*Fly", "the error in red",
                  True)
    # Output arrives while a line is half typed: it appears above, the line is drawn again.
    r.keys('[this].Get("hea')
    r.wait_screen(r'goblin> \[this\]\.Get\("hea$', "the half-typed line")
    other = developer(r.base)
    other.sendall(b'report.info("\x1b[2J cleared \xe2\x80\xaeevil")\n')
    screen = r.wait_screen(r'QC_REPORT: \\x1b\[2J cleared \\xe2\\x80\\xaeevil\n+goblin> '
                           r'\[this\]\.Get\("hea$', "the escaped report above the redrawn line")
    screen = screen.string
    check("Set(\"health\", 25)" in screen, "the control bytes cleared nothing")
    r.keys('lth")', "Enter")
    r.wait_screen(r'> \d\d:\d\d:\d\d QC_MSG: \[this\]\.Get\("health"\)\n.*health = 25\n',
                  "the whole line ran")
    tab_after_help(r, "goblin", "[this].Ge", "[this].Get(", "ch")
    r.keys("C-d")
    r.wait_screen(r"QC_OK: Disconnecting from Team Quillaret development console\n+\[exit 0\]",
                  "the farewell after Ctrl-D, and exit 0")
    other.close()
    # A second run: the history is back; Up twice, then edit the line with the keys.
    r.start_terminal(["42"], "NO_COLOR=1")
    r.wait_screen(r"\ngoblin>$", "the prompt")
    r.keys("[that](7).Ke", "Tab")  # the words of the first run, from their file
    r.wait_screen(r"goblin> \[that\]\(7\)\.Keys\($", "Tab completing a name the last run saw")
    r.keys("C-u", "Up", "Up", "Up", "Up", "Up")
    r.wait_screen(r'goblin> \[this\]\.Set\("health", 25\)$', "the line of the last run")
    r.keys("BSpace", "BSpace", "BSpace", "9)", "Enter")
    r.wait_screen(r"QC_MSG: [^\n]*health = 9 \(was 25\)", "the edited line's answer")
    r.keys("[this].Fly()", "Enter")
    screen = r.wait_screen(r"QC_ERROR: [^\n]*Fly[^\n]*\n", "the error", True).string
    check("\x1b[31m" not in screen, "NO_COLOR leaves the error uncoloured")
    r.keys(":quit", "Enter")
    r.wait_screen(r"Disconnecting from Team Quillaret development console\n+\[exit 0\]", ":quit")
    with open(history, encoding="latin-1") as kept:
        lines = kept.read().splitlines()
    check(len(lines) <= 1010 and lines[-2:] == ["[this].Fly()", ":quit"] and
          "Help()#2099" in lines and "Help()#1099" not in lines,
          "the history holds the newest 1000 lines: %d, ending %r" % (len(lines), lines[-3:]))


def scenario_reconnect(r):
    host = r.host()
    r.start_terminal(["lantern"])
    r.wait_screen(r"\nlantern>$", "the prompt")
    r.stop_host(host)
    r.wait_screen(r"the console closed the connection[^\n]*\n+\(detached\) lantern>$", "the loss")
    r.keys("[this].GoID()", "Enter")
    r.wait_screen(r"not attached: the line was not sent", "the refused line")
    r.host(["1001", "lantern", "7", "chest", "42", "goblin"])  # lantern now on the first port
    r.wait_screen(r"attached again to lantern \(GoID 1001\) on port %d\n" % r.base, "the return")
    r.keys("Up", "Enter")
    screen = r.wait_screen(r"QC_MSG: \[this\]\.GoID\(\)\n[^\n]*QC_MSG: 1001\n", "the answer").string
    check(screen.count("closed the connection") == 1, "the loss is told once:\n" + screen)


def scenario_password(r):
    r.host(["42", "goblin"])
    r.start_terminal(["goblin"])
    r.wait_screen(r"Password:$", "the password prompt")
    r.keys("open sesame", "Enter")
    r.wait_screen(r"Help\(\) lists what it understands\n+goblin>$", "the session")
    r.keys("[this].GoID()", "Enter")
    r.wait_screen(r"QC_MSG: 42\n", "an answer")
    r.keys("C-d")
    screen = r.wait_screen(r"\[exit 0\]", "the end").string
    history = os.path.join(r.state, "quillaret", "history", "goblin")
    with open(history) as kept:
        check("sesame" not in screen + kept.read(), "the password is neither shown nor kept")
    code, out, _ = r.attach(["-c", "[this].GoID()", "goblin"],
                            {"QUILLARET_PASSWORD": "open sesame"})
    check(code == 0 and out == "42\n", "QUILLARET_PASSWORD in a script: %s %r" % (code, out))
    code, _, err = r.attach(["-c", "[this].GoID()", "goblin"], {"QUILLARET_PASSWORD": "guess"})
    check(code == 1 and "refused the password" in err, "a wrong password: %s %r" % (code, err))

    # The game restarts with another password: the session asks for it again.
    host = r.hosts[-1]
    r.start_terminal(["goblin"])
    r.wait_screen(r"Password:$", "the password prompt")
    r.keys("open sesame", "Enter")
    r.wait_screen(r"Help\(\) lists what it understands\n+goblin>$", "the session")
    r.stop_host(host)
    r.wait_screen(r"the console closed the connection", "the loss")
    r.write_profile("new secret")
    r.host(["42", "goblin"])
    r.wait_screen(r"Wrong password\. Password:$", "the password asked for again")
    r.keys("new secret", "Enter")
    r.wait_screen(r"attached again to goblin", "the return")
    r.keys("[this].GoID()", "Enter")
    r.wait_screen(r"QC_MSG: 42\n(.*\n)*goblin>$", "an answer after the new password")
    r.keys("C-d")
    r.wait_screen(r"\[exit 0\]", "the end")

def scenario_quiet(r):
    """Lookups by name go to the remembered port: nobody on another console sees a connect.
    Then patterns in script mode, --fail-on-error, --log and Ctrl-C."""
    host = r.host(OBJECTS + ["43", "goblin2"])
    # The first lookup has nothing remembered: it asks the first console.
    code, out, err = r.attach(["--wait", "0.05", "-c", "[this].GoID()", "lantern"])
    check(code == 0 and out == "1001\n", "the first lookup: %s %r %r" % (code, out, err))
    host.out.expect(lit("[GoID 1001] notice: QC_OK: 127.0.0.1 disconnected"), "its leaving")
    mark = host.out.pos
    for _ in range(20):
        code, out, err = r.attach(["--wait", "0.05", "chest"])
        check(code == 0 and out == "", "an attach by name: %s %r %r" % (code, out, err))
        code, out, err = r.attach(["--wait", "0.05", "-c", "[this].GoID()", "lantern"])
        check(code == 0 and out == "1001\n", "a script run: %s %r %r" % (code, out, err))
    for _ in range(20):
        host.out.expect(lit("[GoID 1001] notice: QC_OK: 127.0.0.1 disconnected"), "the runs")
    log = host.out.data[mark:].decode()
    counts = {goid: len(re.findall(r"\[GoID %s\] notice: QC_OK: [\d.]+ connected" % goid, log))
              for goid in ("42", "7", "1001", "43")}
    check(counts == {"42": 0, "7": 20, "1001": 20, "43": 0},
          "connects per console during 20 attaches and 20 runs: %r" % counts)

    # A pattern: each line on every goblin, the answers marked; errors exit 2 at the end only
    # with --fail-on-error, after every line ran.
    code, out, err = r.attach(["--wait", "0.1", "-c", "[this].GoID()", "goblin*"])
    check(code == 0 and out == "goblin: 42\ngoblin2: 43\n", "a pattern: %s %r %r" % (code, out, err))
    logfile = os.path.join(r.dir, "session.log")
    code, out, err = r.attach(["--fail-on-error", "--log", logfile, "--wait", "0.1", "-c",
                               "[this].Fly()", "-c", "[this].GoID()", "goblin*"])
    check(code == 2 and re.fullmatch(r"goblin: QC_ERROR: [^\n]*Fly[^\n]*\ngoblin2: QC_ERROR: [^\n]*"
                                     r"Fly[^\n]*\ngoblin: 42\ngoblin2: 43\n", out),
          "--fail-on-error: %s %r %r" % (code, out, err))
    with open(logfile) as kept:
        logged = kept.read()
    check(re.search(r"\n\d{4}-\d\d-\d\d \d\d:\d\d:\d\d goblin2: > \[this\]\.GoID\(\)\n"
                    r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d goblin2: 43\n", logged), "the log: %r" % logged)
    code, out, err = r.attach(["-c", "[this].Fly()", "-c", "[this].GoID()", "7"])
    check(code == 0 and out.endswith("\n7\n"), "an error answer alone: %s %r" % (code, out))

    # Ctrl-C in a script: [quit], the farewell awaited at most a second, exit 130.
    script = ts.Process([r.args.attach, "chest"], "script", cwd=r.dir,
                        stderr_path=os.path.join(r.dir, "script.stderr"))
    r.processes.append(script)
    script.type("[this].GoID()\n")
    script.out.expect(lit("7\n"), "the answer")
    script.proc.send_signal(signal.SIGINT)
    check(script.wait_exit("the end after Ctrl-C") == 130, "Ctrl-C in a script exits 130")
    host.out.expect(lit("[GoID 7] notice: QC_OK: 127.0.0.1 disconnected"), "the script leaving")
    r.stop_host(host)


def scenario_multi(r):
    """Three objects in one stream, :to with Tab, :all, Ctrl-C, and two sessions' history."""
    r.host()
    r.start_terminal(["goblin", "chest", "lantern"])
    # Each console has its own loop: the greetings, like the answers below, come in any order.
    r.wait_screen(every(*(r"%s: [^\n]*Help\(\) lists what it understands" % name
                          for name in ("goblin", "chest", "lantern"))) + r"(.*\n)*goblin>$",
                  "every console's greeting, then the prompt")
    screen = r.screen(True)
    check(re.search(r"\x1b\[32mgoblin\x1b\[\d*m: ", screen) and
          re.search(r"\x1b\[36mchest\x1b\[\d*m: ", screen),
          "each object's name in its own colour:\n" + screen)
    # Two lines at once: their echoes may come newest first, and both keep their mark.
    r.keys('[this].Set("mood", "a")', "Enter", '[this].Set("mood", "b")', "Enter")
    r.wait_screen(r'goblin: > [^\n]*\[this\]\.Set\("mood", "a"\)\n(.*\n)*goblin: > [^\n]*'
                  r'\[this\]\.Set\("mood", "b"\)|goblin: > [^\n]*\[this\]\.Set\("mood", "b"\)\n'
                  r'(.*\n)*goblin: > [^\n]*\[this\]\.Set\("mood", "a"\)', "both echoes marked")
    to_by_tab(r, "goblin", "chest", 7, ":to ch")
    r.keys(":all [this].GoID()", "Enter")
    r.wait_screen(every(r"goblin: [^\n]*QC_MSG: 42", r"chest: [^\n]*QC_MSG: 7\n(.*\n)*chest: "
                        r"[^\n]*QC_MSG: 7", r"lantern: [^\n]*QC_MSG: 1001"),
                  "the answer of every object")
    r.keys("half a line")
    r.wait_screen(r"chest> half a line$", "a half-typed line")
    r.keys("C-c")
    r.wait_screen(r"chest> half a line\^C\nchest>$", "Ctrl-C clearing the line")
    r.keys("C-c")
    r.wait_screen(r"to leave, press Ctrl-D or type :quit\nchest>$", "Ctrl-C on an empty line")
    r.keys("C-d")
    screen = r.wait_screen(r"\[exit 0\]", "the end").string
    check(screen.count("QC_OK: Disconnecting from") == 3, "three farewells:\n" + screen)

    # Two sessions on one template: each line is appended as it is typed, so both keep theirs.
    history = os.path.join(r.state, "quillaret", "history", "chest")
    for session in ("qa", "qb"):
        r.start_terminal(["chest"], "NO_COLOR=1", session)
        r.wait_screen(r"\nchest>$", "the prompt", session=session)
    for session, line in (("qa", "[this].Keys()"), ("qb", "[this].Template()"),
                          ("qa", "List()")):
        r.keys(line, "Enter", session=session)
        r.wait_screen(r"> [^\n]*QC_MSG: %s\n" % re.escape(line), "the echo", session=session)
    for session in ("qa", "qb"):
        r.keys("C-d", session=session)
        r.wait_screen(r"\[exit 0\]", "the end", session=session)
    with open(history) as kept:
        lines = kept.read().splitlines()
    check(lines == ["[this].Keys()", "[this].Template()", "List()"],
          "the history of both sessions: %r" % lines)
    r.start_terminal(["chest"], "NO_COLOR=1")
    r.wait_screen(r"\nchest>$", "the prompt")
    r.keys("Up", "Up")
    r.wait_screen(r"chest> \[this\]\.Template\(\)$", "the other session's line, two back")
    r.keys("C-u", ":quit", "Enter")
    r.wait_screen(r"\[exit 0\]", "the end")


def scenario_retry(r):
    """--retry waits for a game that is not up yet, and gives up when its time is out."""
    err_path = os.path.join(r.dir, "retry.stderr")
    script = ts.Process([r.args.attach, "--retry", "30", "--wait", "0.1", "-c", "[this].GoID()",
                         "chest"], "script", cwd=r.dir, stderr_path=err_path)
    r.processes.append(script)
    deadline = time.monotonic() + WAIT
    while True:
        with open(err_path) as err:
            said = err.read()
        if "waiting up to 30 s for chest" in said:
            break
        check(time.monotonic() < deadline and script.proc.poll() is None,
              "no word that it waits: %r" % said)
        time.sleep(0.1)
    r.host()  # started once the client waits: the attach comes when the game is up
    script.out.expect_end("the script's output")
    check(script.wait_exit("the script's end") == 0 and script.out.data == b"7\n",
          "the script ran once the game was up: %r" % script.out.data)
    with open(err_path) as err:
        said = err.read()
    check(said.count("\n") == 1, "one line on standard error while waiting: %r" % said)
    started = time.monotonic()
    code, _, err = r.attach(["--retry", "1", "-c", "x", ":%d" % (r.base + 9)])
    check(code == 1 and "waiting up to 1 s" in err and "no console answers" in err and
          time.monotonic() - started >= 1, "--retry running out: %s %r" % (code, err))
    # The profile's BasePort under the environment's.
    code, out, err = r.attach(["--retry", "0.2", "--list"],
                              {"QUILLARET_BASE_PORT": str(r.base + 5)})
    check(code == 1 and "on 127.0.0.1 port %d (BasePort %d)\n" % (r.base + 5, r.base + 5) in err,
          "QUILLARET_BASE_PORT, the one port tried: %r" % err)
    check_clear_errors(r)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--attach", required=True)
    parser.add_argument("--runner", action="append", default=[],
                        help="the program that runs the Windows programs (repeated: its words)")
    parser.add_argument("--mintty", help="a Windows program that runs a command line as mintty does")
    parser.add_argument("scenario", choices=sorted(BLOCKS))
    args = parser.parse_args()
    return ts.run_scenario(lambda: Run(args, args.scenario), globals(), args.scenario)


if __name__ == "__main__":
    sys.exit(main())
