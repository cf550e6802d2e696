#!/usr/bin/env python3
"""Whole-flow tests: the native zemupgrade, answered by the scripted operator,
against zem-sim. Each case runs inside a network namespace of its own
(tests/netns-run): the PC is zempc at 10.77.0.1 (and 10.77.0.3 when a case
needs two addresses), the adapter is zem-sim at 10.77.0.2.

    flow.py BUILD_DIR CASE      run one case (inside the namespace)
    flow.py --list              the case names
"""
import json
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import case_table
from case_table import Failure, check
from ordinary_user import AS_NOBODY, program_copy, set_unprivileged_port_start

ZEM = "10.77.0.2"
PC = "10.77.0.1"
PC2 = "10.77.0.3"

# Clock rate of the fast cases: the 50 s reboot wait takes 5 s, and zem-sim
# restarts in 3 s. One case runs the wait at its full length.
FAST = 10

NOTICE, ADDRESS, CONFIRM, PASSWORD, CONNECTING, TRANSFER, SUCCESS, WAITING = 139, 101, 103, 104, 105, 110, 111, 114


def script(*lines):
    return "\n".join(lines) + "\n"


def address_step(choice=0, device=ZEM):
    return 'dialog 101: type 1000 "%s"; choose 1017 %d; press ok' % (device, choice)


UPGRADE = [
    "dialog 139: press 1",
    address_step(),
    "dialog 103: press 1",
    "dialog 111: press ok",
]


def upgrade_with_password(*passwords):
    return [UPGRADE[0], UPGRADE[1]] + [
        'dialog 104: type 1005 "%s"; press ok' % p for p in passwords
    ] + UPGRADE[2:]


AUTH = ["--user", "admin", "--password", "zem-secret", "--realm", "ZEM Admin"]

# Each case: zem-sim's options, the operator's script, and what must be seen.
CASES = {
    "no_authentication": dict(
        sim=[], script=UPGRADE, status=0, boxes=[], dialogs={PASSWORD: 0, SUCCESS: 1}),
    "qop_auth": dict(
        sim=AUTH + ["--qop", "auth"], script=upgrade_with_password("zem-secret"),
        status=0, boxes=[], dialogs={PASSWORD: 1}, authorized=True),
    "qop_auth_int": dict(
        sim=AUTH + ["--qop", "auth-int"], script=upgrade_with_password("zem-secret"),
        status=0, boxes=[], dialogs={PASSWORD: 1}, authorized=True),
    "md5_sess_opaque": dict(
        sim=AUTH + ["--qop", "auth", "--algorithm", "MD5-sess", "--opaque", "5ccc069c403ebaf9f0171e9517f40e41"],
        script=upgrade_with_password("zem-secret"), status=0, boxes=[], dialogs={PASSWORD: 1}, authorized=True),
    "new_nonce_each_time": dict(
        # Every accepted request uses its nonce up: the upgrade command and the
        # read after the restart each meet a new nonce and retry once, silently.
        sim=AUTH + ["--qop", "auth", "--nonce-policy", "every"],
        script=upgrade_with_password("zem-secret"), status=0, boxes=[], dialogs={PASSWORD: 1},
        authorized=True, stale_retries=2),
    "wrong_then_right_password": dict(
        sim=AUTH + ["--qop", "auth"], script=upgrade_with_password("guess", "zem-secret"),
        status=0, boxes=[], dialogs={PASSWORD: 2}, authorized=True),
    "lossy_network": dict(
        sim=["--seed", "7", "--drop-ack", "10", "--dup-ack", "10", "--reorder-ack", "10",
             "--drop-data", "10", "--dup-data", "10", "--reorder-data", "10", "--delay-ms", "40"],
        script=UPGRADE, status=0, boxes=[], dialogs={SUCCESS: 1}, retransmissions=True),
    "no_read_request": dict(
        sim=["--no-rrq"],
        script=UPGRADE[:3] + ["dialog 114: wait 3000; press cancel", 'box "Upgrade Failed: User Abort": ok'],
        status=2, boxes=["Upgrade Failed: User Abort"], dialogs={WAITING: 1, TRANSFER: 0, SUCCESS: 0},
        sim_status=2, image=False),
    "transfer_times_out": dict(
        sim=["--stop-at", "200"], script=UPGRADE[:3] + ["box: ok"], status=1,
        boxes=["Upgrade Failed: Firmware Upload Incomplete"], dialogs={TRANSFER: 1, SUCCESS: 0},
        sim_status=1, image=False),
    "no_answer_to_status_read": dict(
        sim=["--close-without-answer", "status"], script=UPGRADE[:2] + ["box: ok"], status=1,
        boxes=["Upgrade Failed: No Response From ZEM"], dialogs={CONFIRM: 0}, sim_status=2, image=False),
    "late_upgrade_answer": dict(
        sim=["--hold-upgrade-answer"], script=UPGRADE, status=0, boxes=[], dialogs={SUCCESS: 1},
        verify_after_upgrade_answer=True),
    "second_pc_address": dict(
        sim=[], script=[UPGRADE[0], address_step(choice=1)] + UPGRADE[2:], status=0, boxes=[],
        dialogs={SUCCESS: 1}, pcs=[PC, PC2], chosen=PC2),
    "full_reboot_wait": dict(
        sim=[], script=UPGRADE, status=0, boxes=[], dialogs={SUCCESS: 1}, rate=1),
    # An ordinary user whose copy of the program holds cap_net_bind_service:
    # the whole upgrade works, the TFTP server on port 69 itself.
    "ordinary_user_with_capability": dict(
        sim=[], script=UPGRADE, status=0, boxes=[], dialogs={SUCCESS: 1}, as_nobody=True, tftp_port=69),
}


def wait_for_port(address, port, seconds):
    deadline = time.time() + seconds
    while time.time() < deadline:
        try:
            with socket.create_connection((address, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.05)
    return False


def read_lines(path):
    records = []
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                line = line.strip()
                if line:
                    records.append(json.loads(line))
    return records


def run_case(build, name):
    case = CASES[name]
    rate = case.get("rate", FAST)
    pcs = case.get("pcs", [PC])
    chosen = case.get("chosen", pcs[0])
    subprocess.run(["ip", "addr", "add", ZEM + "/32", "dev", "lo"], check=True)
    image = os.path.join(build, "firmware", "sample.bin")
    work = tempfile.mkdtemp(prefix="zem-flow-")
    report_path = os.path.join(work, "report.json")
    transcript_path = os.path.join(work, "transcript.jsonl")
    script_path = os.path.join(work, "script.txt")
    with open(script_path, "w") as f:
        f.write(script(*case["script"]))

    restart = 40 if rate == 1 else 3
    sim_cmd = [os.path.join(build, "zem-sim"), "--address", ZEM, "--expect-image", image,
               "--report", report_path, "--restart-seconds", str(restart), "--version-before", "1.4.2",
               "--max-seconds", "240"] + case["sim"]
    sim_log = open(os.path.join(work, "sim.log"), "w")
    sim = subprocess.Popen(sim_cmd, stderr=sim_log)
    try:
        if not wait_for_port(ZEM, 80, 10):
            raise Failure("zem-sim does not listen on %s:80" % ZEM)
        program = [os.path.join(build, "zemupgrade-scripted")]
        if case.get("as_nobody"):
            set_unprivileged_port_start(1024)  # the usual limit
            program = AS_NOBODY + [program_copy(program[0], work, capability=True)]
        tool_cmd = program + ["--script", script_path, "--transcript", transcript_path, "--clock-rate", str(rate)]
        print("run  " + " ".join(tool_cmd))
        try:
            tool = subprocess.run(tool_cmd, timeout=200, capture_output=True, text=True)
            status = tool.returncode
        except subprocess.TimeoutExpired:
            raise Failure("zemupgrade did not end within 200 s")
        finally:
            if case.get("as_nobody"):
                os.remove(program[-1])  # no copy that holds the capability stays behind
    finally:
        if sim.poll() is None:
            time.sleep(0.3)
            sim.send_signal(signal.SIGTERM)
        try:
            sim_status = sim.wait(timeout=10)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim_status = sim.wait()
        sim_log.close()

    records = read_lines(transcript_path)
    report = json.load(open(report_path)) if os.path.exists(report_path) else None
    try:
        verify(case, status, sim_status, records, report, chosen)
    except Failure:
        print("---- transcript")
        print(open(transcript_path).read() if os.path.exists(transcript_path) else "(none)")
        print("---- zem-sim report")
        print(json.dumps(report, indent=1) if report else "(none)")
        print("---- zem-sim log")
        print(open(os.path.join(work, "sim.log")).read()[-4000:])
        print("---- zemupgrade output")
        print(tool.stdout[-2000:], tool.stderr[-2000:])
        raise


def verify(case, status, sim_status, records, report, chosen):
    dialogs = [r for r in records if r.get("type") == "dialog"]
    boxes = [r for r in records if r.get("type") == "box"]
    check(status == case["status"], "zemupgrade exit status %d (expected %d)" % (status, case["status"]))
    check([b["text"] for b in boxes] == case["boxes"],
          "message boxes %s (expected %s)" % ([b["text"] for b in boxes], case["boxes"]))
    for b in boxes:
        check(b["caption"] == "ZEM Firwmare Upgrade Error", "box title is the error title")
    unexpected = [d["id"] for d in dialogs if d.get("unexpected") and d.get("modal")]
    check(not unexpected, "no unexpected dialog (%s)" % unexpected)
    unused = [r["entry"] for r in records if r.get("type") == "unused"]
    check(not unused, "every script entry used (%s unused)" % unused)
    for dialog_id, count in case["dialogs"].items():
        seen = sum(1 for d in dialogs if d["id"] == dialog_id)
        check(seen == count, "dialog %d opened %d times (expected %d)" % (dialog_id, seen, count))

    # What the operator saw on the way.
    notice = [d for d in dialogs if d["id"] == NOTICE]
    check(notice and notice[0]["caption"] == "ZEM-4100/4200 Firmware Upgrade", "notice caption names the product")
    address = [d for d in dialogs if d["id"] == ADDRESS]
    if address:
        texts = {c["id"]: c for c in address[0]["controls"]}
        check(texts[1015]["text"] == "Version 2.0.0-sample", "address dialog shows the image's version")
        check(chosen in texts[1017]["entries"], "PC address %s offered" % chosen)
    confirm = [d for d in dialogs if d["id"] == CONFIRM]
    if confirm:
        texts = {c["id"]: c["text"] for c in confirm[0]["controls"]}
        check(confirm[0]["caption"] == "Confirm Upgrade to Ver. 2.0.0-sample", "confirmation caption")
        check(texts[1004] == "1.4.2", "confirmation shows the version before the upgrade")
    connecting = [d for d in dialogs if d["id"] == CONNECTING]
    check(all(d["caption"] == "Connecting with ZEM@" + ZEM for d in connecting), "connecting captions")
    success = [d for d in dialogs if d["id"] == SUCCESS]
    if success:
        texts = {c["id"]: c["text"] for c in success[0]["controls"]}
        check(success[0]["caption"] == "ZEM@%s Upgrade Successful!" % ZEM, "success caption")
        check(texts[1004] == "2.0.0-sample", "success dialog shows the new version (%s)" % texts[1004])
    transfer = [d for d in dialogs if d["id"] == TRANSFER]
    if transfer and case.get("image", True):
        captions = transfer[0]["captions"]
        check("Uploading Firmware to ZEM@%s 748972/748972 Bytes" % ZEM in captions, "upload caption reached the size")
        check(captions[-1] == "Updating Firmware to ZEM@" + ZEM, "reboot wait caption")

    # What the adapter saw.
    check(report is not None, "zem-sim wrote its report")
    check(sim_status == case.get("sim_status", 0), "zem-sim exit status %d (expected %d)"
          % (sim_status, case.get("sim_status", 0)))
    if case.get("image", True):
        check(report["image"]["matches_expected"] is True, "the image arrived intact byte for byte")
        check(report["tftp"]["protocol_errors"] == [], "no TFTP rule broken (%s)" % report["tftp"]["protocol_errors"])
        check(report["tftp"]["server"].startswith(chosen + ":"), "TFTP server at the chosen address (%s)"
              % report["tftp"]["server"])
        check(report["restart"]["verify_served"] is True, "the status page was read after the restart")
        if "tftp_port" in case:
            check(report["tftp"]["server"] == "%s:%d" % (chosen, case["tftp_port"]),
                  "TFTP server on port %d (%s)" % (case["tftp_port"], report["tftp"]["server"]))
    http = [r for r in report["http"] if r["path"]]  # not the start-up probe, which sends nothing
    check(all(r["peer"].startswith(chosen + ":") for r in http), "every request from the chosen address")
    check(all(r["host"] == "192.168.1.1" for r in http if r["host"]), "fixed Host line")
    if case.get("authorized"):
        accepted = [r for r in http if r["authorization"] and r["verdict"] == "accepted"]
        check(len(accepted) >= 3, "status read, upgrade command and verification authorised (%d)" % len(accepted))
        rejected = [r for r in http if r["authorization"] and r["verdict"] not in ("accepted", "stale-nonce", "stale-once")]
        expected_rejected = 1 if case["dialogs"].get(PASSWORD, 0) == 2 else 0
        check(len(rejected) == expected_rejected, "rejected Authorization lines: %d (expected %d) %s"
              % (len(rejected), expected_rejected, [(r["verdict"], r["detail"]) for r in rejected]))
    if "stale_retries" in case:
        stale = [r for r in http if r["verdict"] in ("stale-nonce", "stale-once")]
        check(len(stale) == case["stale_retries"], "stale nonces met: %d" % len(stale))
    if case.get("retransmissions"):
        faults = report["tftp"]["faults"]
        check(faults["acks_dropped"] > 0 and faults["data_dropped"] > 0, "the network lost packets (%s)" % faults)
    if case.get("verify_after_upgrade_answer"):
        upgrade = [r for r in http if r["path"].startswith("/admin/upgrade")]
        verify_reads = [r for r in http if r["phase"] == "after"]
        check(upgrade and verify_reads and upgrade[-1]["t"] <= verify_reads[0]["t"],
              "the verification followed the late upgrade answer")


if __name__ == "__main__":
    sys.exit(case_table.main(CASES, run_case))
