#!/usr/bin/env python3
"""Writes the seed inputs of fuzz/corpus/ in each target's input layout.

The targets read their inputs through FuzzedDataProvider, which takes raw
bytes from the front of the input and integers from its back, so a seed is
built as two lists: `front` in reading order and `back` in reading order
(the file holds front + reversed(back)). Run it again after changing how a
target reads its input:  fuzz/make_corpus.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()

    def bytes(self, data):
        self.front += data

    # An integer read with ConsumeIntegral / ConsumeIntegralInRange: the
    # first byte taken from the back is the most significant.
    def integer(self, value, size):
        self.back += value.to_bytes(size, "big", signed=value < 0)

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


# ---- reply_handler: per block flags, ReplyState index, length, block, ticks

STATE_INDEX = {0: 0, 1: 1, 2: 2, 3: 3, 5: 4, 70: 11, 71: 12, 74: 13, 77: 14}


def reply_seed(blocks):
    seed = Seed()
    for block, state, connected, ticks in blocks:
        seed.integer(1 if connected else 0, 1)  # flags
        seed.integer(STATE_INDEX[state], 1)
        seed.integer(len(block) - 1, 1)  # length 1..256
        seed.bytes(block)
        seed.integer(len(ticks), 1)
        for ms in ticks:
            seed.integer(ms, 2)
        seed.integer(0, 1)  # no Timer1Timer
    return seed.data()


CLIP = b'\r\nRING\r\n\r\n+CLIP: "+79161234567",145,"",,"",0\r\n'
reply_seeds = {
    "startup": [
        (b"AT\r\r\nOK\r\n", 0, True, [60]),
        (b"ATE0\r\r\nOK\r\n", 1, True, [60]),
        (b"\r\nACME\r\n\r\nOK\r\n", 2, True, [60]),
        (b"\r\nGSM-1\r\n\r\nOK\r\n", 3, True, [60]),
        (b'\r\n+CPMS: "SM",0,30,"SM",0,30\r\n\r\nOK\r\n', 5, True, [60]),
        (b"\r\nOK\r\n", 77, True, [60]),
    ],
    "call_delivered": [
        (CLIP, 77, True, [60]),
        (b"\r\nOK\r\n", 70, True, [60]),
        (b"\r\nOK\r\n", 71, True, [60]),
        (b"\r\nOK\r\n", 74, True, [60]),
    ],
    "call_spooled": [(CLIP, 0, False, [60, 60]), (b"\r\nNO CARRIER\r\n", 70, False, [11000])],
    "clip_unquoted": [(b"\r\n+CLIP:82882690,129,,,,0\r\n", 0, False, [])],
    "clip_odd_bytes": [(b'\r\n+CLIP: "\x00\xc0\xff\x1a123",129\r\n', 74, True, [])],
    "error_during_call": [(CLIP, 77, True, [60]), (b"\r\nERROR\r\n", 71, True, [60, 60])],
    "long_block": [(b"\r\n" + b"X" * 248 + b"+CLIP:", 3, True, [])],
    "echo_of_clip_command": [(b"AT+CLIP=1\r\r\nOK\r\n", 77, True, [30000 % 12001])],
}
for name, blocks in reply_seeds.items():
    write("reply_handler", name, reply_seed(blocks))


# ---- link_receive: piece count, piece sizes, then the stream


def block(frame, mark=0xFF, length=None):
    length = len(frame) if length is None else length
    header = bytes([mark]) + bytes(4) + struct.pack("<i", length) + bytes(8) + struct.pack("<i", length)
    return header + frame


def frame(frame_type, payload=b"", sequence=1):
    return b"\xff" + struct.pack("<iiQ", frame_type, len(payload), sequence) + b"\xfe" + payload


def link_seed(pieces, stream):
    seed = Seed()
    seed.integer(len(pieces), 1)
    seed.bytes(bytes(pieces))
    seed.bytes(stream)
    return seed.data()


link_seeds = {
    "keepalive_then_granted": ([], block(frame(0x02000000)) + block(frame(0x02000003))),
    "short_reads": ([0, 2, 6], block(frame(0x02000004, b"\x01\x02\x03")) + block(frame(0x02FFFFFD))),
    "f0_mark_and_empty_body": ([], block(b"", mark=0xF0) + block(frame(0x02FFFFFE), mark=0xF0)),
    "wrong_mark": ([], block(frame(0x02000005), mark=0x7E) + block(frame(0x02000003))),
    "huge_length": ([], block(b"", length=0x7FFFFFFF)),
    "negative_length": ([], block(b"", length=-1)),
    "body_at_limit_cut_short": ([], block(b"abc", length=1 << 20)),
    "body_over_limit": ([], block(b"abc", length=(1 << 20) + 1)),
    "body_cut_short": ([3], block(frame(0x02000003))[:30]),
    "not_a_frame": ([], block(b"\x00" * 17 + b"\xfe")),
}
for name, (pieces, stream) in link_seeds.items():
    write("link_receive", name, link_seed(pieces, stream))


# ---- settings: the port name's line, then the file

settings_seeds = {
    "example": b"COM3\n[Main]\r\nCom=COM1\r\nSpeed=9600\r\nCode=1120\r\nPathForSoob=spool/\r\n"
    b"NumberS=0\r\nSyslog=1\r\n\r\n[Log]\r\nPath=logs/\r\nOn=1\r\n\r\n[ServerHost]\r\n"
    b"Address=127.0.0.1\r\nPort=$30CF\r\n\r\n[Ports]\r\nCOM3=/dev/ttyUSB0\r\n",
    "no_main": b"COM12\n[Log]\nOn=1",
    "main_last_without_line_end": b"COM2\n[ServerHost]\nPort=0x30CF\n[Main]\nSpeed=115200",
    "duplicates_and_case": b"com7\n[MAIN]\nSPEED=1\n[main]\ncom=COM4\nCom=COM5\n[Main]\nCode=\"12 34\"\n",
    "bom_and_comments": b"COM1\n\xef\xbb\xbf; settings\n[Main]\n  Com =  COM9 ;old\n[Log]\nPath=\n",
    "empty_file": b"COM1\n",
    "no_sections": b"COM30\nCom=COM1\n=\n[\n]\n",
}
for name, data in settings_seeds.items():
    write("settings", name, data)


# ---- serial_packets: setup byte, then (arriving 0..600, milliseconds 0..400)


def serial_seed(setup, steps):
    seed = Seed()
    seed.integer(setup, 1)
    for arriving, ms in steps:
        seed.integer(arriving, 2)
        seed.integer(ms, 2)
    return seed.data()


serial_seeds = {
    "ten_bytes_then_quiet": (0, [(10, 0), (0, 100), (0, 101)]),
    "trickle": (0, [(3, 50), (3, 50), (3, 50), (3, 60)]),
    "exact_packet": (0, [(256, 5)]),
    "burst_of_600": (0, [(600, 5), (0, 5), (0, 300)]),
    "partial_then_full": (0, [(100, 0), (200, 50), (0, 10), (0, 407)]),
    "fast_line_near_wrap": (1 | (2 << 2), [(300, 5), (44, 100), (0, 150)]),
    "slow_line": (3, [(512, 5), (10, 400), (0, 400)]),
    # faster than the line rate: the remainder waits for the line time
    "flood_on_slow_line": (3, [(581, 173)] * 48),
}
for name, (setup, steps) in serial_seeds.items():
    write("serial_packets", name, serial_seed(setup, steps))
