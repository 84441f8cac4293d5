#!/usr/bin/env python3
"""Runs the README's sample host as a developer meets it, with socat as the client: the console
opens on the port the profile names, the greeting arrives, a burst of lines sent 2 ms apart is
answered in the order sent, and the sample ends when the developer leaves.

    run_sample.py --port PORT --run-dir DIR [--emulator=PART]... PROGRAM

--emulator parts run the program (wine for the Windows builds); the profile file then goes to
the wine prefix's Windows directory, where the library reads it.
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "demo"))
from terminal_session_test import STAMP, Failure, Process, lit  # noqa: E402

START_WAIT = 60.0  # a wine prefix's first program may take long to start
EOL = rb"\r?\n"  # msvcrt's standard output is in text mode


def profile_path(args):
    if not args.emulator:
        return os.path.join(args.run_dir, "quillaret_console.ini")
    prefix = os.environ.get("WINEPREFIX") or os.path.expanduser("~/.wine")
    return os.path.join(prefix, "drive_c", "windows", "quillaret_console.ini")


def converse(args, processes):
    game = Process(args.emulator + [args.program], "my_game", cwd=args.run_dir)
    processes.append(game)
    game.out.expect(lit("my_game: console for GoID 42 on port %d" % args.port) + EOL,
                    "the port from the profile", START_WAIT)
    # The console opens its port on a thread of its own, after SpawnServer has returned; socat
    # tries again while the port refuses, as a developer would.
    client = Process(["socat", "-", "TCP:127.0.0.1:%d,retry=200,interval=0.05" % args.port],
                     "socat")
    processes.append(client)
    for greeting in ("Welcome to the Team Quillaret development console, v0.1",
                     "Dev console attached to object", "GoID: 42", "TemplateName: goblin"):
        client.out.expect(STAMP + lit(" QC_OK: %s\r\n" % greeting), "the greeting")
    game.out.expect(lit("my_game: QC_OK: 127.0.0.1 connected (Port %d, GoID: 42)" % args.port)
                    + EOL, "the connected notice")

    # Sent just after a frame, the burst waits whole on the console's stack, newest on top.
    burst = ["say(%d)" % i for i in range(4)] + ['report.info("lamp lit")']
    for line in burst:
        client.type(line + "\n")
        time.sleep(0.002)
    client.type("say(5)\nsay(6)\n")  # pasted: two lines in one piece
    for answer in ["ran: say(%d)\r\n" % i for i in range(4)] + [" QC_REPORT: lamp lit\r\n"]:
        client.out.expect(lit(answer), "the answers in the order sent")
    client.out.expect(lit("ran: say(5)\r\n") + b".*" + lit("ran: say(6)\r\n"), "both pasted lines")

    client.type("[quit]\n")
    client.out.expect_end("the end of the connection")
    game.out.expect(lit("my_game: QC_OK: 127.0.0.1 disconnected (Port %d, GoID: 42)"
                        % args.port) + EOL, "the disconnected notice")
    status = game.wait_exit("the sample's end after its developer left")
    if status != 0:
        raise Failure("my_game ended with %d" % status)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--run-dir", required=True)
    parser.add_argument("--emulator", action="append", default=[])
    parser.add_argument("program")
    args = parser.parse_args()
    profile = profile_path(args)
    with open(profile, "w") as out:
        out.write("[QCServer]\nBasePort=%d\n" % args.port)
    processes = []
    try:
        converse(args, processes)
    except Failure as failure:
        print("FAIL: %s" % failure)
        for process in processes:
            print("---- everything %s wrote:\n%s" % (process.name,
                  process.out.data.decode(errors="replace")[-4000:]))
        return 1
    finally:
        for process in processes:
            process.stop()
        os.remove(profile)
    print("ok: the sample answered a burst in the order sent")
    return 0


if __name__ == "__main__":
    sys.exit(main())
