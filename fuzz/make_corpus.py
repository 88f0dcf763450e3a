#!/usr/bin/env python3
"""Writes the seed corpora under fuzz/corpus/<harness>/ from the golden replies, the example
configurations and scenarios, and a recorded exchange of a few cycles.

  fuzz/make_corpus.py BIN_DIR     BIN_DIR holds k426b-host and libk426b.so (e.g. build/default/bin)

The recorded exchange is made with `k426b-host --simulate --record` against a scenario with two
AC and two DC units, the system the poll-cycle harness configures.
"""
import json
import pathlib
import re
import shutil
import struct
import subprocess
import sys
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"


def golden():
    text = (ROOT / "tools/sim/engine/golden_replies.h").read_text()
    rows = {}
    for name, body in re.findall(r"(k\w+)\s*=\s*((?:\s*\"[^\"]*\")+);", text):
        rows[name] = bytes.fromhex("".join(re.findall(r"\"([^\"]*)\"", body)).replace(" ", ""))
    return rows


def write(harness, name, data):
    folder = CORPUS / harness
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data)


def frames(hex_text):
    """The INFO bytes and CID1/RTN of every frame in a stretch of received text."""
    text = bytes.fromhex(hex_text).decode("ascii", "replace")
    for body in re.findall(r"~([0-9A-Fa-f]+)\r", text):
        lenid = int(body[8:12], 16) & 0xFFF
        yield int(body[4:6], 16), int(body[6:8], 16), bytes.fromhex(body[12:12 + lenid])


def two_dc_config():
    config = json.loads((ROOT / "examples/k426b.json").read_text())
    config["dcSetting"].append({"data_id": 202, "appSetting": {"diff_v": 20, "diff_i": 20}})
    return config


def record(bin_dir, work):
    scenario = work / "scenario.json"
    scenario.write_text(json.dumps({"dc_units": [{}, {"v": 48.0}]}))
    config_path = work / "config.json"
    config_path.write_text(json.dumps(two_dc_config()))
    recorded = work / "exchange.jsonl"
    subprocess.run([str(bin_dir / "k426b-host"), "--simulate", "--scenario", str(scenario),
                    "--config", str(config_path), "--cycles", "3", "--no-history",
                    "--plugin", str(bin_dir / "libk426b.so"), "--record", str(recorded)],
                   check=True, stdout=subprocess.DEVNULL, timeout=120)
    return recorded.read_text()


def poll_cycle_input(replies):
    """The poll-cycle harness's form: per reply, op 0 (valid frame), length, INFO."""
    out = bytearray()
    for _cid1, _rtn, info in replies:
        out += bytes([0]) + struct.pack("<H", len(info)) + info
    return bytes(out)


def main():
    bin_dir = pathlib.Path(sys.argv[1]).resolve()
    shutil.rmtree(CORPUS, ignore_errors=True)
    rows = golden()

    # Codec: the golden replies as frames, chunked 1, 7 and 64 bytes at a time.
    with tempfile.TemporaryDirectory() as temporary:
        work = pathlib.Path(temporary)
        exchange = record(bin_dir, work)
    write("sim_replay", "three_cycles.jsonl", exchange.encode())
    lines = [json.loads(line) for line in exchange.splitlines()]
    write("sim_replay", "one_exchange.jsonl", "\n".join(json.dumps(l) for l in lines[:2]).encode())

    # The received text of each exchange: rx entries up to the next tx entry.
    replies, received = [], ""
    for line in lines + [{"dir": "tx", "hex": ""}]:
        if line["dir"] == "rx":
            received += line["hex"]
        elif received:
            replies.extend(frames(received))
            received = ""
    rx_stream = bytes.fromhex("".join(l["hex"] for l in lines if l["dir"] == "rx"))
    for chunk in (0, 6, 63):
        write("codec", f"recorded_rx_chunk{chunk + 1}", bytes([chunk]) + rx_stream[:3000])

    first_cycle = replies[:11]
    write("poll_cycle", "first_cycle", poll_cycle_input(first_cycle))
    write("poll_cycle", "three_cycles", poll_cycle_input(replies[:44]))

    # Unit parsers: the blocks a unit is handed (its part of a reply), from exact-size buffers.
    write("ac_parsers", "analog_block", b"\x00" + rows["kAcAnalogBlock220"])
    write("ac_parsers", "switch_block", b"\x00" + rows["kAcSwitchBlock"])
    write("ac_parsers", "alarm_block", b"\x00" + rows["kAcAlarmBlock"])
    write("dc_parsers", "analog_block", b"\x01" + rows["kDcAnalogReply"][2:])
    write("dc_parsers", "alarm_block", b"\x00" + rows["kDcAlarmReply"][2:])
    for name in ("kRcAnalogReply", "kRcSwitchReply", "kRcAlarmReply", "kAcParametersReply",
                 "kDcParametersReply"):
        write("rc_parsers", name[1:], b"\x00" + rows[name])
    for key in ("ia", "ic_alert", "channel_0_a", "channel_0_f", "x_channel_12_f_y",
                "channel_2147483648_a", "channel_00_b", "channel__a"):
        write("ac_keys", key or "empty", key.encode())

    # Configuration and scenarios: the examples.
    for example in sorted((ROOT / "examples").glob("*.json")):
        harness = "sim_scenario" if example.name.startswith("sim-") else "config"
        if example.name.startswith("sites"):
            continue
        write(harness, example.name, example.read_bytes())
    write("sim_scenario", "two_dc_units.json", b'{"dc_units": [{}, {"v": 48.0}]}')
    write("config", "rectifier_only.json", b'{"data_id": 5, "rcSetting": {}}')
    write("config", "two_dc_units.json", json.dumps(two_dc_config()).encode())


if __name__ == "__main__":
    main()
