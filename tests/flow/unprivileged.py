#!/usr/bin/env python3
"""The shipped native program started by an ordinary user (nobody), in a
pseudo-terminal, inside a network namespace of its own (tests/netns-run).

Linux keeps the ports below net.ipv4.ip_unprivileged_port_start (a setting of
each network namespace, 1024 unless changed) for programs holding
CAP_NET_BIND_SERVICE, and the TFTP server needs one of the ports 69 to 168.
Where none of them may be bound, the program must say so before the notice,
name both ways out, send nothing and end with status 1; wherever one may be
bound (the limit lies inside the range, the capability is granted, or the
ports are merely in use) the wizard must start as usual.

    unprivileged.py BUILD_DIR CASE      run one case (inside the namespace)
    unprivileged.py --list              the case names
"""
import os
import shutil
import socket
import sys
import tempfile

import case_table
from case_table import check
from ordinary_user import AS_NOBODY, program_copy, set_unprivileged_port_start
from pty_screen import Screen

FIRST_PORT, LAST_PORT = 69, 168

# start: the namespace's first unprivileged port; capability: setcap on the program;
# held: every port of the range is bound by someone else first; then what the operator meets.
CASES = {
    "no_right": dict(start=1024, expect="refused"),
    "range_just_closed": dict(start=LAST_PORT + 1, expect="refused"),
    "last_port_open": dict(start=LAST_PORT, expect="notice"),
    "capability_granted": dict(start=1024, capability=True, expect="address"),
    "ports_in_use_not_refused": dict(start=1024, capability=True, held=True, expect="notice"),
}


def packets_sent():
    """Packets every interface of this namespace has sent (/proc/net/dev is per namespace)."""
    total = 0
    with open("/proc/net/dev") as f:
        for line in f.readlines()[2:]:
            total += int(line.split(":", 1)[1].split()[9])
    return total


def run_case(build, name):
    case = CASES[name]
    set_unprivileged_port_start(case["start"])
    folder = tempfile.mkdtemp(prefix="zem-unprivileged-")
    program = program_copy(os.path.join(build, "zemupgrade"), folder, case.get("capability", False))
    held = []
    if case.get("held"):
        for port in range(FIRST_PORT, LAST_PORT + 1):
            s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            s.bind(("0.0.0.0", port))
            held.append(s)
    before = packets_sent()
    screen = Screen(AS_NOBODY + [program])
    try:
        if case["expect"] == "refused":
            status = screen.status()
            shown = screen.seen
            print(shown)
            check(status == 1, "exit status %d (expected 1)" % status)
            check("does not let it bind UDP ports %d to %d" % (FIRST_PORT, LAST_PORT) in shown,
                  "the message says which ports it may not bind")
            check("ports below %d for privileged programs" % case["start"] in shown,
                  "the message says why: ports below %d are kept for privileged programs" % case["start"])
            check("sudo %s\n" % program in shown, "the message names running it as root with sudo")
            check("setcap cap_net_bind_service=+ep %s\n" % program in shown,
                  "the message names setcap on the program's own path")
            check("WARNING" not in shown and "==" not in shown, "no dialog was shown")
            check(packets_sent() == before, "no packet left (%d before, %d after)" % (before, packets_sent()))
            return
        screen.expect(r"WARNING: Forcing a firmware upgrade on your ZEM")
        screen.expect(r"Enter = Cancel")
        print("ok   the notice is shown")
        if case["expect"] == "address":
            screen.type("1")  # Continue
            screen.expect(r"IP address: ")
            print("ok   past the notice: the address dialog asks")
            screen.type("")
            screen.expect(r"Choose 1-1 \[1\]: ")
            screen.type("")
            screen.expect(r"or esc: ")
            screen.type("esc")
        else:
            screen.type("")  # Enter is Cancel on the notice
        status = screen.status()
        check(status == 2, "exit status %d after Cancel (expected 2)" % status)
        check("cannot start" not in screen.seen, "no refusal was written")
    finally:
        for s in held:
            s.close()
        shutil.rmtree(folder)


if __name__ == "__main__":
    sys.exit(case_table.main(CASES, run_case))
