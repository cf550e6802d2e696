#!/usr/bin/env python3
"""Verdict of one wine_e2e.sh case, from what the operator saw and what zem-sim saw.

    wine_e2e_check.py CASE STATUS OPERATOR_STATUS SIM_STATUS OPERATOR_LOG REPORT SHOTS

The operator's pictures in SHOTS (KIND.bmp) become KIND.png there.
"""
import json
import os
import struct
import sys
import zlib

PC = "10.77.0.1"
ZEM = "10.77.0.2"
NEW_VERSION = "2.0.0-sample"
IMAGE_BYTES = 748972

failures = []


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what)
    if not condition:
        failures.append(what)
    return condition


def read_log(path):
    if not os.path.exists(path):
        return []
    with open(path) as f:
        return [json.loads(line) for line in f if line.strip()]


def read_bmp(path):
    """(width, height, rows of RGB bytes top-down) of a 24-bit uncompressed bitmap file."""
    with open(path, "rb") as f:
        data = f.read()
    if data[:2] != b"BM":
        raise ValueError("not a bitmap file")
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height, _planes, bits, compression = struct.unpack_from("<iiHHI", data, 18)
    if bits != 24 or compression != 0 or width <= 0 or height == 0:
        raise ValueError("not a 24-bit uncompressed bitmap (%d bits, compression %d)" % (bits, compression))
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        start = offset + y * stride
        bgr = data[start:start + width * 3]
        if len(bgr) != width * 3:
            raise ValueError("the bitmap file is cut short")
        rgb = bytearray(len(bgr))
        rgb[0::3], rgb[1::3], rgb[2::3] = bgr[2::3], bgr[1::3], bgr[0::3]
        rows.append(bytes(rgb))
    if height > 0:
        rows.reverse()  # bottom-up in the file
    return width, abs(height), rows


def write_png(path, width, height, rows):
    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + struct.pack(">I", zlib.crc32(kind + body) & 0xffffffff)
    raw = b"".join(b"\0" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def pictures(events, shots, expected):
    """Each expected dialog was pictured at its size, with more than a blank on it; saved as PNG."""
    logged = {e["name"]: e for e in events if e["event"] == "shot"}
    for name in expected:
        check(name in logged and os.path.exists(os.path.join(shots, name + ".bmp")), "a picture of the %s dialog" % name)
    for name in logged:
        bmp = os.path.join(shots, name + ".bmp")
        if not os.path.exists(bmp):
            continue
        try:
            width, height, rows = read_bmp(bmp)
        except (OSError, ValueError) as error:
            check(False, "the picture of the %s dialog reads: %s" % (name, error))
            continue
        check((width, height) == (logged[name]["width"], logged[name]["height"]) and width >= 100 and height >= 60,
              "the picture of the %s dialog is the window's size (%dx%d)" % (name, width, height))
        colours = set()
        for row in rows[::4]:
            colours.update(row[i:i + 3] for i in range(0, len(row), 12))
        check(len(colours) >= 4, "the picture of the %s dialog shows a drawing (%d colours)" % (name, len(colours)))
        write_png(os.path.join(shots, name + ".png"), width, height, rows)
        os.remove(bmp)


def controls(dialog):
    return {c["id"]: c for c in dialog["controls"]}


def captions_of(events, name):
    """Every caption each window of this kind had: the first sight, then each change."""
    by_window = {}
    for e in events:
        if e.get("dialog") != name:
            continue
        if e["event"] == "dialog":
            by_window.setdefault(e["hwnd"], []).append(e["caption"])
        elif e["event"] == "caption":
            by_window.setdefault(e["hwnd"], []).append(e["text"])
    return list(by_window.values())


def common_checks(events, status, operator_status, expected_boxes=0):
    check(operator_status == 0, "the operator met nothing unexpected (status %d)" % operator_status)
    faults = [e["text"] for e in events if e["event"] == "fault"]
    check(not faults, "no operator faults %s" % faults)
    process = [e for e in events if e["event"] == "process"]
    check(process and process[0]["hook"], "the operator found zemupgrade.exe and hooked its windows")
    exits = [e["code"] for e in events if e["event"] == "exit"]
    check(exits == [status], "the operator saw the exit code %s (wine: %d)" % (exits, status))
    boxes = [e for e in events if e["event"] == "dialog" and e["dialog"] == "box"]
    check(len(boxes) == expected_boxes, "%d message box(es) (%s)" % (expected_boxes, [b["caption"] for b in boxes]))
    dialogs = [e for e in events if e["event"] == "dialog"]
    notice = [d for d in dialogs if d["dialog"] == "notice"]
    if check(len(notice) == 1, "the notice came once"):
        texts = controls(notice[0])
        check(notice[0]["caption"] == "ZEM-4100/4200 Firmware Upgrade", "notice caption names the product")
        check(texts[1021]["text"].startswith("WARNING: Forcing a firmware upgrade"), "notice warning text")
        check(texts[1]["text"] == "Continue" and texts[2]["text"] == "Cancel", "notice buttons")
    return dialogs


def upgrade(events, status, operator_status, sim_status, report, shots):
    check(status == 0, "zemupgrade.exe exit status %d (expected 0: upgraded)" % status)
    dialogs = common_checks(events, status, operator_status)
    pictures(events, shots, ["notice", "address", "credentials", "connecting", "confirmation", "waiting",
                             "uploading", "updating", "success"])
    kinds = [d["dialog"] for d in dialogs]
    # The waiting dialog comes from the TFTP listener's own thread, started
    # beside the upgrade command's connecting dialog: those two in either order.
    wizard = [k for k in kinds if k not in ("connecting", "waiting")]
    check(wizard == ["notice", "address", "credentials", "confirmation", "uploading", "success"],
          "the wizard's dialogs in order: %s" % kinds)
    # Connecting opens for each exchange: the status read, again with credentials,
    # the upgrade command, and the read after the restart.
    check(kinds.count("connecting") == 4, "four connecting dialogs (%d)" % kinds.count("connecting"))
    check(kinds.count("waiting") == 1 and "uploading" in kinds and kinds.index("waiting") < kinds.index("uploading"),
          "the waiting dialog before the upload")
    by_kind = {}
    for d in dialogs:
        by_kind.setdefault(d["dialog"], []).append(d)

    address = by_kind.get("address", [None])[0]
    if check(address is not None, "address dialog"):
        texts = controls(address)
        check(texts[1000]["class"].lower() == "sysipaddress32", "the adapter's address is an IP address control")
        check(texts[1015]["text"] == "Version " + NEW_VERSION, "address dialog shows the image's version")
        check(PC in texts[1017].get("entries", []), "PC address %s offered (%s)" % (PC, texts[1017].get("entries")))
        typed = [e for e in events if e["event"] == "type" and e["dialog"] == "address"]
        check(typed and typed[0]["text"] == ZEM and typed[0]["pc_address"] == PC,
              "the operator entered %s and chose %s" % (ZEM, PC))
    credentials = by_kind.get("credentials", [])
    if check(len(credentials) == 1, "credentials asked once"):
        check(controls(credentials[0])[1003]["text"] == "admin", "user field preset to admin")
    confirm = by_kind.get("confirmation", [None])[0]
    if check(confirm is not None, "confirmation dialog"):
        texts = controls(confirm)
        check(confirm["caption"] == "Confirm Upgrade to Ver. " + NEW_VERSION, "confirmation caption")
        check(texts[1004]["text"] == "1.4.2", "confirmation shows the version before (%s)" % texts[1004]["text"])
        check(texts[1]["text"] == "Upgrade", "confirmation button Upgrade")
    connecting = captions_of(events, "connecting")
    check(len(connecting) >= 3 and all(c[-1] == "Connecting with ZEM@" + ZEM for c in connecting),
          "connecting captions (%d windows)" % len(connecting))
    uploads = captions_of(events, "uploading")
    if check(len(uploads) == 1, "one upload dialog"):
        captions = uploads[0]
        full = "Uploading Firmware to ZEM@%s %d/%d Bytes" % (ZEM, IMAGE_BYTES, IMAGE_BYTES)
        check(full in captions, "upload caption reached the size: " + full)
        check(captions[-1] == "Updating Firmware to ZEM@" + ZEM, "reboot wait caption (%s)" % captions[-1])
    success = by_kind.get("success", [None])[0]
    if check(success is not None, "success dialog"):
        check(success["caption"] == "ZEM@%s Upgrade Successful!" % ZEM, "success caption")
        check(controls(success)[1004]["text"] == NEW_VERSION, "success dialog shows the new version %s" % NEW_VERSION)
    presses = [(e["dialog"], e["button"]) for e in events if e["event"] == "press"]
    check(presses == [("notice", "Continue"), ("address", "OK"), ("credentials", "OK"),
                      ("confirmation", "Upgrade"), ("success", "OK")], "buttons pressed %s" % presses)

    check(sim_status == 0, "zem-sim exit status %d (expected 0)" % sim_status)
    if not check(report is not None, "zem-sim wrote its report"):
        return
    check(report["verdict"] == "intact", "zem-sim verdict %s" % report["verdict"])
    check(report["image"]["matches_expected"] is True, "the image arrived intact byte for byte")
    check(report["tftp"]["server"].startswith(PC + ":"), "TFTP server at %s (%s)" % (PC, report["tftp"]["server"]))
    check(report["restart"]["verify_served"] is True, "the status page was read after the restart")
    http = [r for r in report["http"] if r["path"]]  # not the script's start-up probe, which sends nothing
    check(http and all(r["peer"].startswith(PC + ":") for r in http), "every request from %s" % PC)
    authorized = [r for r in http if r["authorization"]]
    bad = [(r["verdict"], r["detail"]) for r in authorized if r["verdict"] not in ("accepted", "stale-nonce", "stale-once")]
    check(not bad, "every Authorization accepted or stale %s" % bad)
    accepted = [r for r in authorized if r["verdict"] == "accepted"]
    check(len(accepted) >= 3, "status read, upgrade command and read after the restart authorised (%d)" % len(accepted))


def notice_cancel(events, status, operator_status, sim_status, report, shots):
    check(status == 2, "zemupgrade.exe exit status %d (expected 2: cancelled)" % status)
    dialogs = common_checks(events, status, operator_status)
    check([d["dialog"] for d in dialogs] == ["notice"], "only the notice came (%s)" % [d["dialog"] for d in dialogs])
    presses = [(e["dialog"], e["id"], e["button"]) for e in events if e["event"] == "press"]
    check(presses == [("notice", 2, "Cancel")], "Cancel pressed on the notice %s" % presses)


def confirm_cancel(events, status, operator_status, sim_status, report, shots):
    check(status == 2, "zemupgrade.exe exit status %d (expected 2: cancelled)" % status)
    dialogs = common_checks(events, status, operator_status, expected_boxes=1)
    pictures(events, shots, ["box"])
    wizard = [d["dialog"] for d in dialogs if d["dialog"] != "connecting"]
    check(wizard == ["notice", "address", "credentials", "confirmation", "box"],
          "the wizard's dialogs in order, the box last: %s" % wizard)
    confirm = [d for d in dialogs if d["dialog"] == "confirmation"]
    if check(len(confirm) == 1, "confirmation dialog"):
        check(controls(confirm[0])[1004]["text"] == "1.4.2", "confirmation shows the version before")
    box = [d for d in dialogs if d["dialog"] == "box"]
    if box:
        texts = [c.get("text", "") for c in box[0]["controls"]]
        check(box[0]["caption"] == "ZEM Firwmare Upgrade Error", "box title %r" % box[0]["caption"])
        check("Upgrade Failed: User Abort" in texts, "box text (%s)" % texts)
        buttons = [c for c in box[0]["controls"] if c.get("class", "").lower() == "button"]
        check(len(buttons) == 1, "one button in the box (%d)" % len(buttons))
    presses = [(e["dialog"], e["button"]) for e in events if e["event"] == "press"]
    check(presses == [("notice", "Continue"), ("address", "OK"), ("credentials", "OK"),
                      ("confirmation", "Cancel"), ("box", "OK")], "buttons pressed %s" % presses)
    check(sim_status == 2, "zem-sim saw no transfer (exit status %d)" % sim_status)
    if check(report is not None, "zem-sim wrote its report"):
        upgrade_paths = [r for r in report["http"] if r["path"].startswith("/admin/upgrade")]
        check(not upgrade_paths, "no upgrade command was sent")


def main():
    name, status, operator_status, sim_status, log, report_path, shots = sys.argv[1:8]
    events = read_log(log)
    check(bool(events), "the operator wrote its log")
    report = json.load(open(report_path)) if os.path.exists(report_path) else None
    {"upgrade": upgrade, "confirm_cancel": confirm_cancel, "notice_cancel": notice_cancel}[name](
        events, int(status), int(operator_status), int(sim_status), report, shots)
    if failures:
        print("FAIL %s: %d checks failed" % (name, len(failures)))
        return 1
    print("PASS " + name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
