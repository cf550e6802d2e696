#!/usr/bin/env python3
"""The shipped native program in a pseudo-terminal, as a person uses it, against
a password-protected zem-sim: notice, address, credentials, confirmation; Cancel
there ends with "Upgrade Failed: User Abort" and exit status 2.
Runs inside tests/netns-run (PC zempc 10.77.0.1, adapter 10.77.0.2).

    terminal_walk.py BUILD_DIR
"""
import os
import signal
import socket
import subprocess
import sys
import time

from pty_screen import Screen

ZEM = "10.77.0.2"


def main():
    build = sys.argv[1]
    subprocess.run(["ip", "addr", "add", ZEM + "/32", "dev", "lo"], check=True)
    sim = subprocess.Popen([os.path.join(build, "zem-sim"), "--address", ZEM, "--user", "admin",
                            "--password", "1234", "--qop", "auth", "--version-before", "1.4.2",
                            "--max-seconds", "60"], stderr=subprocess.DEVNULL)
    try:
        for _ in range(100):
            try:
                socket.create_connection((ZEM, 80), timeout=0.5).close()
                break
            except OSError:
                time.sleep(0.05)
        screen = Screen([os.path.join(build, "zemupgrade")])
        steps = [
            (r"== ZEM-4100/4200 Firmware Upgrade ==", None),
            (r"WARNING: Forcing a firmware upgrade on your ZEM", None),
            (r"Enter = Cancel", "1"),
            (r"Version 2\.0\.0-sample", None),
            (r"IP address: ", ZEM),
            (r"1\) 10\.77\.0\.1", None),
            (r"Choose 1-1 \[1\]: ", ""),
            (r"Enter = OK", ""),
            (r"== Enter Password Information ==", None),
            (r"User \[admin\]: ", ""),
            (r"Password", "1234"),
            (r"Enter = OK", ""),
            (r"== Confirm Upgrade to Ver\. 2\.0\.0-sample ==", None),
            (r"Software Version: 1\.4\.2", None),
            (r"Enter = Upgrade", "2"),
            (r"Upgrade Failed: User Abort", None),
        ]
        for pattern, answer in steps:
            screen.expect(pattern)
            print("ok   saw %r" % pattern)
            if answer is not None:
                screen.type(answer)
        screen.type("")  # the message box waits for Enter
        status = screen.status()
        if status != 2:
            raise AssertionError("exit status %d, expected 2" % status)
        print("ok   exit status 2")
    finally:
        sim.send_signal(signal.SIGTERM)
        sim.wait(timeout=10)
    print("PASS terminal walk")


if __name__ == "__main__":
    try:
        main()
    except AssertionError as failure:
        print("FAIL " + str(failure))
        sys.exit(1)
