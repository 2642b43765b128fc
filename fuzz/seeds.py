#!/usr/bin/python3
"""Writes the seed inputs of the fuzz targets into fuzz/corpus/<target>/.

Layouts (see the targets' head comments):
  frame_reader  a byte stream as the MCU's line carries it
  dispatch      address, payload length (2 bytes), payload, script replies
  json_replies  case byte, the case's parameters, script replies
A script reply is a status byte (0 exit 0, 1 exit 1, 2 not started), a
2-byte length and the output.
"""
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "integration"))
from qzharness import frame  # noqa: E402  the one Python frame encoder

SLOTS = json.dumps([
    {"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},
    {"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"},
    {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"},
])
ACTIVE = '{"index": 7}'
FILTERING = '{"enabled": true}'
SPEAKER = '{"gain": -7.5}'
UUID = "0f8fad5b-d9cb-469f-a165-70867728950e\n"


def reply(body, status=0):
    body = body.encode() if isinstance(body, str) else bytes(body)
    return bytes([status, len(body) >> 8, len(body) & 0xFF]) + body


def request(payload, *replies, addr=0x34):
    payload = bytes(payload)
    return bytes([addr, len(payload) >> 8, len(payload) & 0xFF]) + payload + b"".join(replies)


WIFI_PAGE = bytes([0x05, 0x02, 0x02, 17, 5, 80, 2, 6, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55]) + b"Home1\0"
CONNECT = bytes([1, 4]) + b"Lab\0" + bytes([7]) + b"se\"c$t\0" + bytes([0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E])
IDENTITY = bytes([3, 9]) + b"Kitchen\0" + b"AB12CD34"
DATE = bytes([1, 0xFB, 20, 26, 7, 28, 2, 13, 5, 9])


def frame_reader_seeds():
    version = frame([0x05, 0x0B], 0x34, 7)
    bad = bytearray(frame([0x13, 0x02, 0x01], 0x34, 3))
    bad[-2] ^= 0xFF
    return {
        "version": version,
        "noise_then_frame": bytes([0x00, 0xF5, 0x13]) + version,
        "bad_sum_then_good": bytes(bad) + frame([0x13, 0x01, 0x01], 0x34, 4),
        "long_200": frame(bytes(200), 0x43, 9),
        "short_185": bytes([0xFA, 0x34, 2, 185]) + bytes(185) + bytes([(0xFA + 0x34 + 2 + 185) & 0xFF, 0xF5]),
        "truncated": frame([0x10, 0x01, 0x01])[:-3],
        "oversized_long": bytes([0xFA, 0x34, 1, 0xFF, 0xFF]) + bytes(64),
        "empty_and_ack": frame(b"", 0x34, 5) + frame([0x13, 0x04, 0x00], 0xA4, 6),
        "start_in_payload": frame([0xFA, 0xF5, 0xFA], 0x34, 8) + frame([0x05, 0x0C], 0x34, 9),
    }


def dispatch_seeds():
    return {
        "speaker_layout": request([0x06, 0x23, 0x02, 0x05, 0x01]),
        "poweroff": request([0x12, 0x01, 0x02, 0x00]),
        "version": request([0x05, 0x0B]),
        "build_date": request([0x05, 0x0C]),
        "update": request([0x0C, 0x01]),
        "state": request([0x13, 0x01, 0x01]),
        "filter_report": request([0x13, 0x02, 0x01], reply(SLOTS), reply(FILTERING), reply(ACTIVE)),
        "filter_info": request([0x13, 0x02, 0x0B, 0x00, 0x01], reply(SLOTS)),
        "filter_current": request([0x13, 0x02, 0x15], reply(SLOTS), reply(ACTIVE)),
        "filter_select": request([0x13, 0x02, 0x14, 0x01, 0x02], reply(SLOTS), reply("{}"), reply("{}"),
                                 reply(FILTERING), reply(ACTIVE)),
        "audio_reset": request([0x13, 0x03, 0x00]),
        "identity": request([0x13, 0x05, 0x02] + list(IDENTITY)),
        "uuid": request([0x13, 0x05, 0x05], reply(UUID)),
        "volume_get": request([0x13, 0x06, 0x01], reply(SPEAKER)),
        "volume_set": request([0x13, 0x06, 0x00, 0xFF, 0x9C], reply('{"gain": -10}')),
        "audio_format": request([0x02, 0x7E, 0x00, 0x00, 0x09]),
        "unknown_mode2": request([0x02, 0x01]),
        "wifi_list": request([0x10, 0x01, 0x01]),
        "wifi_page": request([0x10, 0x01, 0x02] + list(WIFI_PAGE)),
        "wifi_connect": request([0x10, 0x02, 0x00] + list(CONNECT)),
        "wifi_disconnect": request([0x10, 0x02, 0x00, 0x02]),
        "wifi_report": request([0x10, 0x02, 0x01]),
        "lan_switch": request([0x10, 0x03, 0x00, 0x01]),
        "lan_report": request([0x10, 0x03, 0x01]),
        "wifi_mac": request([0x10, 0x04, 0x01]),
        "date_report": request([0x10, 0x05, 0x01]),
        "date_set": request([0x10, 0x05, 0x0B] + list(DATE)),
        "unknown": request([0x99, 0x01, 0x02], addr=0xA4),
    }


def json_replies_seeds():
    return {
        "filter_report": bytes([0]) + reply(SLOTS) + reply(FILTERING) + reply(ACTIVE),
        "filter_report_failed": bytes([0]) + reply("", 1) + reply("oops", 1) + reply("", 2),
        "filter_info": bytes([1, 2]) + reply(SLOTS),
        "filter_current": bytes([2]) + reply(SLOTS) + reply('{"index": 9}'),
        "filter_select": bytes([3, 5, 1]) + reply(SLOTS) + reply("{}") + reply("{}") + reply(FILTERING)
                         + reply(ACTIVE),
        "volume_get": bytes([4]) + reply(SPEAKER),
        "volume_set": bytes([5, 0xFF, 0xF1]) + reply('{"gain": -1}'),
        "uuid": bytes([6]) + reply(UUID),
        "uuid_nul": bytes([6]) + reply(b"abc\0def\n"),
        "identity": bytes([7]) + IDENTITY,
        "date": bytes([8]) + DATE,
        "wifi_connect": bytes([9]) + CONNECT,
        "wifi_page": bytes([10]) + WIFI_PAGE,
        "json_text": bytes([11, 16, 7, 1]) + SLOTS.encode(),
    }


def main():
    for target, seeds in (("frame_reader", frame_reader_seeds()), ("dispatch", dispatch_seeds()),
                          ("json_replies", json_replies_seeds())):
        out = HERE / "corpus" / target
        out.mkdir(parents=True, exist_ok=True)
        for name, data in seeds.items():
            (out / name).write_bytes(data)


if __name__ == "__main__":
    main()
