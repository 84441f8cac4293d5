#!/usr/bin/env python3
"""Drives quillaret-host with real terminal clients, as a developer would: nc (netcat-openbsd)
and socat on pipes, telnet and PuTTY's plink (in telnet mode) in a pseudo-terminal. Every wait
has a deadline, and every process started here is ended here.

    terminal_session_test.py --host PROGRAM --library LIB --refusing LIB --partial LIB SCENARIO

Each scenario runs the host in its own temporary working directory, whose
quillaret_console.ini sets a BasePort from the scenario's own block of ports (28000-28059), so
scenarios can run in parallel with each other and with the other tests.
"""

import argparse
import os
import pty
import re
import select
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import termios
import time

WAIT = 10.0  # upper bound of every wait that should succeed
STAMP = rb"\d\d:\d\d:\d\d"
# Each scenario's block of ten ports, and how many consecutive ports its consoles take.
# The six blocks of kTerminalScenarios in tests/support/ports.h.
PORT_BLOCKS = {"nc": (28000, 3), "socat": (28010, 2), "telnet": (28020, 3),
               "two_clients": (28030, 1), "startup": (28040, 2), "plink": (28050, 1)}
# Profile lines of a scenario beyond its BasePort.
PROFILE_LINES = {"plink": "BindAddress=127.0.0.1\nPassword=open sesame\n"}


class Failure(Exception):
    pass


def signed16(port):
    """A port as the console prints it: the 16-bit value read as signed."""
    return port - 65536 if port >= 32768 else port


def lit(text):
    """A regular expression matching text literally."""
    return re.escape(text.encode() if isinstance(text, str) else text)


class Reader:
    """Collects what a descriptor delivers and waits, with a deadline, for patterns in it."""

    def __init__(self, fd, name):
        self.fd = fd
        self.name = name
        self.data = b""
        self.pos = 0
        self.closed = False

    def _read_some(self, timeout):
        if self.closed:
            return
        ready, _, _ = select.select([self.fd], [], [], timeout)
        if not ready:
            return
        try:
            chunk = os.read(self.fd, 65536)
        except OSError:  # a pseudo-terminal whose program has ended
            chunk = b""
        if chunk:
            self.data += chunk
        else:
            self.closed = True

    def expect(self, pattern, what, timeout=WAIT):
        """Waits for pattern (bytes regex) after what was matched before; returns the match."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        while True:
            match = regex.search(self.data, self.pos)
            if match:
                self.pos = match.end()
                return match
            left = deadline - time.monotonic()
            if self.closed or left <= 0:
                raise Failure("%s: no %s within %.0f s%s; received after the last match:\n%r"
                              % (self.name, what, timeout, " (stream ended)" if self.closed
                                 else "", self.data[self.pos:][-3000:]))
            self._read_some(min(left, 0.2))

    def expect_end(self, what, timeout=WAIT):
        deadline = time.monotonic() + timeout
        while not self.closed:
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure("%s: %s did not come within %.0f s" % (self.name, what, timeout))
            self._read_some(min(left, 0.2))


def threads_of(pid):
    """Where each thread of a process that did not end is: state, kernel wait and system call."""
    lines = []
    try:
        for tid in sorted(os.listdir("/proc/%d/task" % pid), key=int):
            base = "/proc/%d/task/%s/" % (pid, tid)
            parts = [tid]
            for name in ("comm", "wchan", "syscall"):
                try:
                    with open(base + name) as shown:
                        parts.append(shown.read().strip().split(" ")[0])
                except OSError:
                    parts.append("?")
            with open(base + "stat") as stat:
                parts.append(stat.read().rsplit(")", 1)[1].split()[0])  # R, S, D, ...
            with open(base + "status") as status:
                parts += [line.strip() for line in status if line.startswith(("SigPnd", "ShdPnd",
                                                                               "SigBlk"))]
            lines.append("  " + " ".join(parts))
    except OSError as error:
        lines.append("  (%s)" % error)
    return "\n".join(lines)


class Process:
    """A program with its output read through a Reader, on pipes or in a pseudo-terminal."""

    def __init__(self, argv, name, cwd=None, terminal=False, stderr_path=None):
        self.name = name
        if terminal:
            master, slave = pty.openpty()
            # Show what the program writes as it writes it: no CR added before each LF.
            modes = termios.tcgetattr(slave)
            modes[1] &= ~termios.ONLCR
            termios.tcsetattr(slave, termios.TCSANOW, modes)
            self.proc = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, cwd=cwd,
                                         start_new_session=True, close_fds=True)
            os.close(slave)
            self.input_fd = master
            self.out = Reader(master, name)
        else:
            err = open(stderr_path, "wb") if stderr_path else subprocess.STDOUT
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=err, cwd=cwd, close_fds=True)
            if stderr_path:
                err.close()
            self.input_fd = self.proc.stdin.fileno()
            self.out = Reader(self.proc.stdout.fileno(), name)

    def type(self, text):
        os.write(self.input_fd, text.encode())

    def close_input(self):
        if self.proc.stdin:
            self.proc.stdin.close()

    def wait_exit(self, what, timeout=WAIT):
        try:
            return self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise Failure("%s: %s did not happen within %.0f s; its threads:\n%s"
                          % (self.name, what, timeout, threads_of(self.proc.pid)))

    def stop(self):
        if self.proc.poll() is None:
            if os.environ.get("QC_COVERAGE_RUN"):
                # scripts/coverage: asked to stop first, a program writes its coverage counters
                # as it ends (a killed one loses them).
                self.proc.terminate()
                try:
                    self.proc.wait(timeout=10)
                    return
                except subprocess.TimeoutExpired:
                    pass
            self.proc.kill()
            self.proc.wait(timeout=WAIT)


def bindable(port):
    """Whether the console library could bind port now (every address, address reuse)."""
    probe = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        probe.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        probe.bind(("0.0.0.0", port))
        return True
    except OSError:
        return False
    finally:
        probe.close()


def choose_base_port(name):
    """The first BasePort in the scenario's block whose ports are all free right now: a port
    may still be held by a connection of an earlier run in TIME_WAIT."""
    first, needed = PORT_BLOCKS[name]
    first += int(os.environ.get("QC_TEST_PORT_OFFSET", "0"))
    for base in range(first, first + 10 - needed + 1):
        if all(bindable(base + i) for i in range(needed)):
            return base
    raise Failure("no %d free consecutive ports in %d-%d" % (needed, first, first + 9))


class Scenario:
    def __init__(self, args, name):
        self.args = args
        self.base_port = choose_base_port(name)
        self.workdir = tempfile.mkdtemp(prefix="quillaret-host-%s-" % name)
        with open(os.path.join(self.workdir, "quillaret_console.ini"), "w") as profile:
            profile.write("[QCServer]\nBasePort=%d\n%s"
                          % (self.base_port, PROFILE_LINES.get(name, "")))
        self.processes = []

    def close(self):
        for process in self.processes:
            process.stop()
        shutil.rmtree(self.workdir, ignore_errors=True)

    def start(self, argv, name, **kwargs):
        process = Process(argv, name, **kwargs)
        self.processes.append(process)
        return process

    def start_host(self, objects, library=None):
        """Starts the host and returns it with {GoID: port} as it announced them."""
        argv = [self.args.host, "--library", library or self.args.library] + objects
        host = self.start(argv, "host log", cwd=self.workdir,
                          stderr_path=os.path.join(self.workdir, "host.stderr"))
        ports = {}
        while True:
            match = host.out.expect(rb"console for GoID (-?\d+) \([^)\n]*\) on port (\d+)\n|"
                                    rb"Press Ctrl-C to stop\.\n", "start-up announcement")
            if match.group(1) is None:
                return host, ports
            ports[int(match.group(1))] = int(match.group(2))

    def host_errors(self):
        with open(os.path.join(self.workdir, "host.stderr"), "rb") as err:
            return err.read()

    def stop_host(self, host, sig):
        host.proc.send_signal(sig)
        code = host.wait_exit("a clean exit after %s" % signal.Signals(sig).name)
        check(code == 0, "the host exits with 0 after %s, not %s" % (signal.Signals(sig).name, code))
        host.out.expect(lit("quillaret-host: stopping\n"), "farewell in the log")
        errors = self.host_errors()
        check(errors == b"", "the host and the library write nothing to standard error, "
                             "but wrote %r" % errors)

    def check_ports(self, ports, goids):
        expected = {goid: self.base_port + i for i, goid in enumerate(goids)}
        check(ports == expected, "ports announced %r, expected %r" % (ports, expected))


def developer(port, timeout=WAIT):
    """A developer on a raw socket, read up to the end of the console's greeting."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    received = b""
    while b"Help() lists" not in received:
        chunk = sock.recv(4096)
        check(chunk != b"", "the other developer's console closed")
        received += chunk
    return sock


OBJECTS = ["42", "goblin", "7", "chest", "1001", "lantern"]  # the demo objects, GoID and name


class ClientRun:
    """What the scenarios of quillaret-attach and quillaret-web share: the demo host in the
    scenario's folder, and quillaret-attach in tmux, both through the runner (wine) on Windows.
    The scenario's Run gives args (host, attach, runner), dir, state (XDG_STATE_HOME),
    processes and tmux (the tmux command with its server's name)."""

    def profile_path(self):
        if not self.args.runner:
            return os.path.join(self.dir, "quillaret_console.ini")
        prefix = os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine"))
        return os.path.join(prefix, "drive_c", "windows", "quillaret_console.ini")

    def host(self, objects=OBJECTS):
        host = Process(self.args.runner + [self.args.host] + objects, "host log", cwd=self.dir,
                       stderr_path=os.path.join(self.dir, "host.stderr"))
        self.processes.append(host)
        self.hosts.append(host)
        # Under wine a busy machine can take many seconds to start the host and its consoles.
        host.out.expect(lit("Press Ctrl-C to stop."), "the host's start-up",
                        3 * WAIT if self.args.runner else WAIT)
        return host

    def stop_host(self, host):
        host.proc.send_signal(signal.SIGTERM)
        check(host.wait_exit("the host's end") == 0, "the host exits with 0")

    def close_terminals(self):
        subprocess.run(self.tmux + ["kill-server"], capture_output=True)
        socket_path = os.path.join(os.environ.get("TMUX_TMPDIR", "/tmp"),
                                   "tmux-%d" % os.getuid(), self.tmux[2])
        if os.path.exists(socket_path):
            os.unlink(socket_path)

    def start_terminal(self, argv, env="", session="qa"):
        """quillaret-attach in a tmux window; its exit status is written when it ends."""
        command = ("cd %s && env -u QUILLARET_PASSWORD XDG_STATE_HOME=%s %s %s; "
                   "echo \"[exit $?]\"; sleep 600"
                   % (shlex.quote(self.dir), shlex.quote(self.state), env,
                      " ".join(map(shlex.quote, self.args.runner + [self.args.attach] + argv))))
        subprocess.run(self.tmux + ["kill-session", "-t", session], capture_output=True)
        # Killing the last session ends the tmux server; a new session asked for while it is
        # still going away fails with "server exited unexpectedly", and is asked for again.
        for attempt in range(10):
            started = subprocess.run(self.tmux + ["new-session", "-d", "-s", session, "-x", "150",
                                                  "-y", "50", command], capture_output=True)
            if started.returncode == 0:
                return
            time.sleep(0.2)
        raise RuntimeError("tmux: %s" % started.stderr.decode(errors="replace"))

    def keys(self, *keys, session="qa"):
        subprocess.run(self.tmux + ["send-keys", "-t", session] + list(keys), check=True)

    def screen(self, colours=False, session="qa"):
        argv = ["capture-pane", "-p", "-J", "-t", session] + (["-e"] if colours else [])
        done = subprocess.run(self.tmux + argv, capture_output=True, check=True)
        return done.stdout.decode(errors="replace").rstrip()

    def wait_screen(self, pattern, what, colours=False, session="qa"):
        limit = 3 * WAIT if self.args.runner else WAIT  # wine starts slowly on a busy machine
        deadline = time.monotonic() + limit
        while True:
            screen = self.screen(colours, session)
            match = re.search(pattern, screen)
            if match:
                return match
            if time.monotonic() > deadline:
                raise Failure("screen: no %s within %.0f s; it shows:\n%s" % (what, limit, screen))
            time.sleep(0.1)


def run_scenario(make_run, scenarios, name):
    """Runs scenarios["scenario_" + name] with the Run that make_run() gives, shows the end of
    what each of its processes received when it fails, and closes the Run; the exit status."""
    run = None
    try:
        run = make_run()
        scenarios["scenario_" + name](run)
    except Failure as failure:
        print("FAIL: %s" % failure)
        for process in run.processes if run else []:
            print("---- %s received:\n%s"
                  % (process.name, process.out.data.decode(errors="replace")[-3000:]))
        return 1
    finally:
        if run:
            run.close()
    print("ok: %s" % name)
    return 0


def check(condition, message):
    if not condition:
        raise Failure(message)


def expect_attached(client, port, goid, template, password=None):
    """The welcome line (and with a password, its prompt, the password typed and the acceptance),
    then the connected notice, the attachment text and the host's hint when the host takes the
    notice."""
    client.out.expect(STAMP + lit(" QC_OK: Welcome to the Team Quillaret development console, "
                                  "v0.1") + rb"\r?\n", "welcome line")
    if password is not None:
        client.out.expect(STAMP + notice("QC_OK: Password required"), "the password prompt")
        client.type(password + "\r")
        client.out.expect(STAMP + notice("QC_OK: Password accepted"), "the password accepted")
    client.out.expect(STAMP + lit(" QC_OK: 127.0.0.1 connected (Port %d, GoID: %d)"
                                  % (signed16(port), goid)) + rb"\r?\n", "connected notice")
    client.out.expect(STAMP + lit(" QC_OK: Dev console attached to object") + rb"\r?\n"
                      + STAMP + lit(" QC_OK: GoID: %d" % goid) + rb"\r?\n"
                      + STAMP + lit(" QC_OK: TemplateName: %s" % template) + rb"\r?\n"
                      + STAMP + lit(" QC_OK: quillaret-host runs your script lines here; Help() "
                                    "lists what it understands") + rb"\r?\n",
                      "attachment text and hint")


def run_line(client, typed, answers, enter="\n", echo_end=rb"\r?\n"):
    """Types a line, then waits for its echo and for each answer pattern in turn."""
    client.type(typed + enter)
    client.out.expect(STAMP + lit(" QC_MSG: " + typed) + echo_end, "echo of %r" % typed)
    for answer in answers:
        client.out.expect(STAMP + answer, "answer %r to %r" % (answer, typed))


def answer_with(*parts):
    """An ordinary answer line of the host (' QC_MSG: ') that shows each part in turn, however the
    demo evaluator words the rest."""
    shown = b"".join(rb"[^\r\n]*" + lit(part) for part in parts)
    return lit(" QC_MSG: ") + shown + rb"[^\r\n]*\r?\n"


def error_line(*parts, column=None):
    """One error line of the host, showing each part in turn; for a line that does not parse,
    the column where it goes wrong."""
    pattern = lit(" QC_ERROR: ") + b"".join(rb"[^\r\n]*" + lit(part) for part in parts)
    if column is not None:
        pattern += rb"[^\r\n]*\bcolumn %d\b" % column
    return pattern + rb"[^\r\n]*\r?\n"


def notice(text):
    return lit(" " + text) + rb"\r?\n"


def expect_who(client, port, goid, template, rows):
    client.out.expect(STAMP + lit(" QC_OK: Currently connected clients (Port: %d, GoID: %d, "
                                  "TemplateName: %s)" % (signed16(port), goid, template))
                      + rb"\r?\n", "[who] header")
    for row in range(1, rows + 1):
        client.out.expect(STAMP + lit(" QC_OK: [%02d]\t127.0.0.1" % row) + rb"\r?\n",
                          "[who] row %d" % row)
    client.out.expect(STAMP + lit(" QC_OK: End of list") + rb"\r?\n", "[who] end")


def expect_spawns(client, ports, templates):
    client.out.expect(STAMP + lit(" QC_OK: Currently spawned servers") + rb"\r?\n",
                      "[spawns] header")
    for row, (goid, template) in enumerate(templates, start=1):
        client.out.expect(STAMP + lit(" QC_OK: [%02d]\tPort: %d, GoID: %d, TemplateName: %s"
                                      % (row, signed16(ports[goid]), goid, template))
                          + rb"\r?\n", "[spawns] row %d" % row)
    client.out.expect(STAMP + lit(" QC_OK: End of list") + rb"\r?\n", "[spawns] end")


def expect_farewell(client):
    client.out.expect(STAMP + lit(" QC_OK: Disconnecting from Team Quillaret development "
                                  "console") + rb"\r?\n", "farewell line")


def check_commands_not_echoed(client):
    for command in (b"[who]", b"[spawns]", b"[quit]"):
        check(b"QC_MSG: " + command not in client.out.data,
              "%s: the console's own command %s reached the host" % (client.name, command))


DEFAULT_OBJECTS = [(42, "goblin"), (7, "chest"), (1001, "lantern")]


def scenario_nc(s):
    """One developer with nc, which sends bare LF line ends: the whole tour."""
    host, ports = s.start_host([])
    s.check_ports(ports, [42, 7, 1001])
    port = ports[42]
    nc = s.start(["nc", "127.0.0.1", str(port)], "nc")
    expect_attached(nc, port, 42, "goblin")
    host.out.expect(lit("[GoID 42] notice: QC_OK: 127.0.0.1 connected (Port %d, GoID: 42)\n"
                        % signed16(port)), "connected notice in the log")

    # The echo shows the line as typed, with its LF; the host ran the rewritten form.
    run_line(nc, "[this].Describe()",
             [answer_with("health", "30"), answer_with("mood", "grumpy"),
              answer_with("strength", "4")], echo_end=rb"\n")
    check(re.search(STAMP + lit(" QC_MSG: [this].Describe()\n"), nc.out.data) is not None,
          "the echo keeps the developer's bare LF")
    check(re.search(rb"QC_MSG: [^\r\n]*health[^\r\n]*\r\n", nc.out.data) is not None,
          "answers end in CR LF")
    host.out.expect(lit("[GoID 42] run: MakeGoid(42).Describe()\n"), "rewritten line in the log")

    run_line(nc, "[this].Set(\"health\", 25)", [answer_with("25")])
    run_line(nc, "[this].Get(\"health\")", [answer_with("25")])
    run_line(nc, "[that](7).Get(\"gold\")", [answer_with("120")])
    run_line(nc, "[this].Fly()", [error_line("Fly")])
    run_line(nc, "[this]Fly()", [error_line(column=1)])
    run_line(nc, "[this].Set(\"health\" 5)", [error_line(column=27)])
    run_line(nc, "[this].Get(\"health\")", [answer_with("25")])  # the errors changed nothing
    run_line(nc, "report.info(\"hello from nc\")", [notice("QC_REPORT: hello from nc")])
    host.out.expect(lit("[GoID 42] report: QC_REPORT: hello from nc\n"), "report in the log")
    # A line ending in CR LF, as Windows terminals send it, runs the same.
    run_line(nc, "[this].GoID()", [answer_with("42")], enter="\r\n", echo_end=rb"\r\n")

    nc.type("[who]\n")
    expect_who(nc, port, 42, "goblin", 1)
    nc.type("[spawns]\n")
    expect_spawns(nc, ports, DEFAULT_OBJECTS)
    nc.type("[quit]\n")
    expect_farewell(nc)
    host.out.expect(lit("[GoID 42] notice: QC_OK: 127.0.0.1 disconnected (Port %d, GoID: 42)\n"
                        % signed16(port)), "disconnected notice in the log")
    nc.close_input()  # the developer presses Ctrl-D; the console has already closed its side
    nc.wait_exit("nc's exit")
    check_commands_not_echoed(nc)
    s.stop_host(host, signal.SIGINT)


def scenario_socat(s):
    """socat with its crlf option: lines go out with CR LF, and socat leaves when the console
    closes the connection."""
    host, ports = s.start_host(["42", "goblin", "7", "chest"])
    s.check_ports(ports, [42, 7])
    port = ports[7]
    socat = s.start(["socat", "-", "TCP:127.0.0.1:%d,crlf" % port], "socat")
    expect_attached(socat, port, 7, "chest")
    run_line(socat, "[this].Set(\"locked\", false)", [answer_with("false")])
    host.out.expect(lit("[GoID 7] run: MakeGoid(7).Set(\"locked\", false)\n"),
                    "the line without its CR LF in the log")
    run_line(socat, "[this].Set(\"owner\", [that](42)); [this].Get(\"owner\")",
             [answer_with("MakeGoid(42)"), answer_with("MakeGoid(42)")])
    run_line(socat, "[that](42).Get(\"mood\")", [answer_with("grumpy")])
    run_line(socat, "MakeGoid(99).Describe()", [error_line("99")])
    run_line(socat, "[this].Get(\"locked\")", [answer_with("false")])
    run_line(socat, "REPORT.warn(\"chest opened\")", [notice("QC_REPORT: chest opened")])
    socat.type("[who]\n")
    expect_who(socat, port, 7, "chest", 1)
    socat.type("[spawns]\n")
    expect_spawns(socat, ports, [(42, "goblin"), (7, "chest")])
    socat.type("[quit]\n")
    expect_farewell(socat)
    code = socat.wait_exit("socat's exit after [quit]")
    check(code == 0, "socat exits with 0, not %s" % code)
    check_commands_not_echoed(socat)
    s.stop_host(host, signal.SIGTERM)


def scenario_telnet(s):
    """telnet in a terminal: the developer types and presses Enter. A port written as -PORT makes
    telnet negotiate options at connect, as it does on port 23 and as Windows' telnet always
    does; the console refuses them all and telnet stays in line mode."""
    host, ports = s.start_host([])
    port = ports[1001]
    telnet = s.start(["telnet", "--", "127.0.0.1", "-%d" % port], "telnet", terminal=True)
    telnet.out.expect(lit("Connected to 127.0.0.1."), "telnet's own connected message")
    expect_attached(telnet, port, 1001, "lantern")
    run_line(telnet, "[this].Describe()", [answer_with("lit", "false"), answer_with("oil", "75")],
             enter="\r")
    host.out.expect(lit("[GoID 1001] run: MakeGoid(1001).Describe()\n"), "the line in the log")
    run_line(telnet, "[this].Add(\"oil\", -25.5)", [answer_with("49.5")], enter="\r")
    run_line(telnet, "List()", [answer_with("MakeGoid(42)", "goblin"),
                                answer_with("MakeGoid(7)", "chest"),
                                answer_with("MakeGoid(1001)", "lantern")], enter="\r")
    run_line(telnet, "report.info(\"lantern checked\")", [notice("QC_REPORT: lantern checked")],
             enter="\r")
    telnet.type("[who]\r")
    expect_who(telnet, port, 1001, "lantern", 1)
    telnet.type("[spawns]\r")
    expect_spawns(telnet, ports, DEFAULT_OBJECTS)
    telnet.type("[quit]\r")
    expect_farewell(telnet)
    telnet.out.expect(lit("Connection closed by foreign host."), "telnet's closed message")
    telnet.wait_exit("telnet's exit after [quit]")
    check_commands_not_echoed(telnet)
    s.stop_host(host, signal.SIGINT)


def scenario_two_clients(s):
    """Two developers on one console see each other's lines and the host's answers."""
    host, ports = s.start_host(["42", "goblin"])
    port = ports[42]
    nc = s.start(["nc", "127.0.0.1", str(port)], "nc")
    expect_attached(nc, port, 42, "goblin")
    socat = s.start(["socat", "-", "TCP:127.0.0.1:%d,crlf" % port], "socat")
    expect_attached(socat, port, 42, "goblin")
    # nc sees the second developer arrive too.
    expect_attached_again = STAMP + lit(" QC_OK: 127.0.0.1 connected (Port %d, GoID: 42)"
                                        % signed16(port))
    nc.out.expect(expect_attached_again, "the second developer's connected notice")

    run_line(nc, "[this].Add(\"health\", -7)", [answer_with("23")])
    socat.out.expect(STAMP + lit(" QC_MSG: [this].Add(\"health\", -7)") + rb"\r?\n",
                     "the other developer's line")
    socat.out.expect(STAMP + answer_with("23"), "the answer to the other's line")
    run_line(socat, "[this].Get(\"health\")", [answer_with("23")])
    nc.out.expect(STAMP + answer_with("23"), "the answer to the other's line")

    socat.type("[who]\n")
    expect_who(socat, port, 42, "goblin", 2)
    socat.type("[quit]\n")
    expect_farewell(socat)
    socat.wait_exit("socat's exit after [quit]")
    nc.out.expect(STAMP + lit(" QC_OK: 127.0.0.1 disconnected (Port %d, GoID: 42)"
                              % signed16(port)) + rb"\r\n", "the leaver's disconnected notice")
    nc.type("[who]\n")
    expect_who(nc, port, 42, "goblin", 1)
    nc.type("[quit]\n")
    expect_farewell(nc)
    nc.close_input()
    nc.wait_exit("nc's exit")
    s.stop_host(host, signal.SIGTERM)


def scenario_plink(s):
    """PuTTY's plink in telnet mode, as a Windows developer attaches, to a console that listens on
    127.0.0.1 only and asks for a password."""
    host, ports = s.start_host(["42", "goblin"])
    check(b": consoles listen on 127.0.0.1 only (BindAddress) and ask for a password first "
          b"(Password)\n" in host.out.data, "the start-up log names the access keys in effect")
    port = ports[42]
    plink = s.start(["plink", "-telnet", "-batch", "-P", str(port), "127.0.0.1"], "plink",
                    terminal=True)
    expect_attached(plink, port, 42, "goblin", password="open sesame")
    run_line(plink, "[this].GoID()", [answer_with("42")], enter="\r")
    host.out.expect(lit("[GoID 42] run: MakeGoid(42).GoID()\n"), "the clean line in the log")
    plink.type("[who]\r")
    expect_who(plink, port, 42, "goblin", 1)
    plink.type("[quit]\r")
    expect_farewell(plink)
    plink.wait_exit("plink's exit after [quit]")
    check_commands_not_echoed(plink)
    s.stop_host(host, signal.SIGTERM)


def scenario_startup(s):
    """The command line, the library next to the program, and the clear failures."""
    def run(argv, what):
        try:
            done = subprocess.run(argv, cwd=s.workdir, capture_output=True, timeout=WAIT)
        except subprocess.TimeoutExpired:
            raise Failure("%s: the host did not end within %.0f s" % (what, WAIT))
        return done.returncode, done.stdout.decode(errors="replace"), \
            done.stderr.decode(errors="replace")

    code, out, _ = run([s.args.host, "--help"], "--help")
    check(code == 0 and "Usage: quillaret-host [--library PATH] [GOID TEMPLATE]..." in out,
          "--help prints the usage and exits 0 (%s, %r)" % (code, out))

    failures = [
        ([s.args.host, "42"], 2, "quillaret-host: GoID 42 has no template name"),
        ([s.args.host, "--frobnicate"], 2, "quillaret-host: unknown option --frobnicate"),
        ([s.args.host, "--library", s.args.library + ".missing"], 1,
         "quillaret-host: cannot use the console library: cannot load %s.missing"
         % s.args.library),
        ([s.args.host, "--library", s.args.partial], 1,
         "quillaret-host: cannot use the console library: entry point not exported: "
         "_ZN8QCServer7TestDLLEj"),
        ([s.args.host, "--library", s.args.refusing, "42", "goblin"], 1,
         "quillaret-host: SpawnServer(42, \"goblin\") failed"),
    ]
    for argv, expected_code, message in failures:
        code, out, err = run(argv, " ".join(argv[1:]))
        check(code == expected_code and message in err,
              "%s: expected exit %d and %r on standard error, got %s and %r"
              % (argv[1:], expected_code, message, code, err))

    # A port that another program listens on is refused before the spawn, with advice.
    busy = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        busy.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        busy.bind(("127.0.0.1", s.base_port + 1))
        busy.listen(1)
        code, out, err = run([s.args.host, "--library", s.args.library, "1", "first", "2",
                              "second"], "a taken port")
    finally:
        busy.close()
    message = ("quillaret-host: port %d for GoID 2 (second) is taken, by another program "
               "perhaps; set another BasePort" % (s.base_port + 1))
    check(code == 1 and message in err and "on port %d" % s.base_port in out,
          "a taken port: expected exit 1 and %r, got %s and %r" % (message, code, err))

    # Without --library the host loads the library beside the program.
    host = s.start([s.args.host, "9", "wisp"], "host log", cwd=s.workdir,
                   stderr_path=os.path.join(s.workdir, "host.stderr"))
    library = os.path.join(os.path.dirname(s.args.host), os.path.basename(s.args.library))
    host.out.expect(lit("quillaret-host: loaded %s\n" % library), "the library next to the host")
    host.out.expect(lit("console for GoID 9 (wisp) on port %d\n" % s.base_port), "the port")
    host.out.expect(lit("    nc 127.0.0.1 %d\n" % s.base_port), "how to attach")
    host.out.expect(lit("Press Ctrl-C to stop.\n"), "the end of the start-up text")
    s.stop_host(host, signal.SIGTERM)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--host", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--refusing", required=True)
    parser.add_argument("--partial", required=True)
    parser.add_argument("scenario", choices=sorted(PORT_BLOCKS))
    args = parser.parse_args()
    for program in ("nc", "socat", "telnet", "plink"):
        if shutil.which(program) is None:
            print("FAIL: %s is not installed (scripts/test installs it)" % program)
            return 1
    try:
        scenario = Scenario(args, args.scenario)
    except Failure as failure:
        print("FAIL: %s" % failure)
        return 1
    try:
        globals()["scenario_" + args.scenario](scenario)
    except Failure as failure:
        print("FAIL: %s" % failure)
        for process in scenario.processes:
            print("---- everything %s received:\n%s" % (process.name,
                  process.out.data.decode(errors="replace")[-4000:]))
        errors = os.path.join(scenario.workdir, "host.stderr")
        if os.path.exists(errors):
            with open(errors, "rb") as err:
                print("---- the host's standard error:\n%s" % err.read().decode(errors="replace"))
        return 1
    finally:
        scenario.close()
    print("ok: %s" % args.scenario)
    return 0


if __name__ == "__main__":
    sys.exit(main())
