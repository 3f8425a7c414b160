#!/usr/bin/env python3
"""Writes the seed corpora in fuzz/corpus/<target>/: small inputs that reach
each command and each kind of answer, in the layout each target reads (front
to back; bytes past the end read as zero). Run it again after changing a
target's layout: python3 fuzz/make_seeds.py"""

import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def be32(value):
    return struct.pack(">I", value & 0xFFFFFFFF)


def be16(value):
    return struct.pack(">H", value & 0xFFFF)


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(bytes(data))


# ---- answer_frames -----------------------------------------------------
# Input: start (0 not connected, 1 connected, 2 connected with the flash
# table), then steps: step, argument, the step's own bytes; every frame the
# host writes reads one answer mode (0 honest, 5 frames of the input's own).
STEP = {name: k for k, name in enumerate(
    "search connect disconnect read_info flash_info app_info erase download prg_data program check_sum "
    "start_app auto_start reset write_serial address refresh device_close period_end stray_dispatch "
    "start_scanning stop_scanning restart link_read".split())}
HONEST, RAW = 0, 5


def frame(body, channel=0, claimed=None):
    length = len(body) if claimed is None else claimed
    return be32(channel) + be32(length) + be32(0) + be32(0) + be32(length) + bytes(body)


def raw(*frames):
    """Answer mode 5: the host's frame is answered with these frames."""
    out = bytes([RAW, len(frames) - 1])
    for block in frames:
        out += be16(len(block)) + block
    return out


def report(serial=0x8D0123, fos=0x01010000, name=b"DROVA seed"):
    body = be32(fos) + name.ljust(64, b"\0") + be32(0) + be32(serial) + be32(0x01000000) + be32(0xFFFFFFFF)
    return body + be32(0)


def info_block(block_id, name=b"sector"):
    return be32(block_id) + name.ljust(64, b"\0") + bytes(168 - 68)


def blocks(*items):
    out = bytes([len(items)])
    for address, data in items:
        out += be32(address) + be16(len(data)) + bytes(data)
    return out


def answer_frames():
    s = STEP
    seeds = {
        # Honest devices, one command after the other.
        "honest-session": [1, s["read_info"], 0, HONEST, s["app_info"], 1, HONEST, s["auto_start"], 1, HONEST,
                           s["write_serial"], 1] + list(be32(0x8D0123)) + [HONEST, s["refresh"], 0, HONEST,
                                                                           s["disconnect"], 0],
        "honest-download-to-sector": [2, s["download"], 1] + list(blocks((0x10000, range(200)))),
        "honest-download-to-staging": [2, s["download"], 4] + list(blocks((0, [k % 256 for k in range(1000)]), (0x400, b"xy"))),
        "honest-erase-start": [1, s["erase"], 0, HONEST, s["start_app"], 1, HONEST, s["reset"], 0],
        "search-then-connect": [0, s["search"], 0, HONEST, s["period_end"], 0, s["connect"], 1, 0],
        "scan-series": [0, s["start_scanning"], 0, HONEST, s["period_end"], 0, HONEST, s["period_end"], 0, HONEST,
                        s["stop_scanning"], 0],
        "silent-flash-table": [1, s["flash_info"], 0, 1, s["period_end"], 0, s["period_end"], 0],
        "three-silent-periods": [1, s["read_info"], 0, 1, s["period_end"], 0, s["refresh"], 0, 1,
                                 s["period_end"], 0, s["refresh"], 0, 1, s["period_end"], 0],
        "stray-short-block": [1, s["read_info"], 0, 1, s["stray_dispatch"], 0] + list(be16(4)) + [0, 0, 0, 0],
        "stray-empty-block": [1, s["read_info"], 0, 1, s["stray_dispatch"], 0] + list(be16(0)),
        "empty-data-block": [1, s["prg_data"], 0] + list(be16(0)) + list(be32(0x100)),
        "reset-during-disconnect": [1, s["disconnect"], 0, 1, s["reset"], 0, 1, s["period_end"], 0],
        "oversized-block": [1, s["read_info"], 0, 1, s["stray_dispatch"], 0] + list(be16(600)) + [0] * 600,
        "restart-mid-command": [1, s["erase"], 0, 1, s["restart"], 0, s["device_close"], 0],
        # A download whose device falls silent on its first chunk, ended by a
        # reset or a forgotten connection while that chunk waits.
        "reset-mid-download": [2, s["download"], 1] + list(blocks((0x10000, range(200)))) + [HONEST, 1, s["reset"], 0,
                                                                                            HONEST, s["period_end"], 0],
        # ... and the connection after it lost: nothing of the download may show.
        "device-close-mid-download": [2, s["download"], 1] + list(blocks((0x10000, range(200)))) + [HONEST, 1,
                                      s["device_close"], 0, s["connect"], 1, 0, HONEST] +
                                     [s["refresh"], 0, 1, s["period_end"], 0] * 3,
    }
    # Real frames of each kind of answer, each as the answer to its command.
    flash_frames = (frame([0xE7, 3] + list(info_block(0xFFFFFFFF) + info_block(100, b"app"))),
                    frame([0xE7, 3] + list(info_block(0))))
    answers = {
        "search-answer": ([0, s["search"], 0], raw(frame([0xE6] + list(report()))), [s["period_end"], 0]),
        "search-answer-other-channel": ([0, s["search"], 0], raw(frame([0xE6] + list(report()), channel=5)),
                                        [s["period_end"], 0]),
        "read-info-answer": ([1, s["read_info"], 0], raw(frame([0xE6] + list(report(0x8D0124)))), []),
        "connect-refused": ([0, s["search"], 0, HONEST, s["period_end"], 0, s["connect"], 1, 0],
                            raw(frame([0xE4] + list(be32(1) + be32(2) + be32(3) + b"abcd"))), []),
        "connect-busy": ([0, s["search"], 0, HONEST, s["period_end"], 0, s["connect"], 1, 0],
                         raw(frame([0xE6])), [s["period_end"], 0]),
        "disconnect-ack": ([1, s["disconnect"], 0], raw(frame([0xE3])), []),
        "disconnect-refused": ([1, s["disconnect"], 0], raw(frame([0xE4] + [0] * 16)), []),
        "keep-alive-answer": ([1, s["refresh"], 0], raw(frame([0xE5])), []),
        "flash-table-two-frames": ([1, s["flash_info"], 0], raw(*flash_frames), []),
        "flash-table-too-many-blocks": ([1, s["flash_info"], 0],
                                        raw(frame([0xE7, 1] + list(info_block(1) + info_block(2)))), []),
        "app-info-answer": ([1, s["app_info"], 1], raw(frame([0xE8] + list(info_block(100, b"app")))), []),
        "app-info-declined": ([1, s["app_info"], 1], raw(frame([0xE8])), []),
        "write-serial-echo": ([1, s["write_serial"], 1] + list(be32(0x800001)),
                              raw(frame([0xE9, 0x7E, 0x80, 0x00, 0x01])), []),
        "auto-start-echo": ([1, s["auto_start"], 1], raw(frame([0xEA] + list(be32(100)))), []),
        "erase-echo": ([1, s["erase"], 0], raw(frame([0xEB, 0x00])), []),
        "erase-header-claims-more": ([1, s["erase"], 0], raw(frame([0xEB], claimed=2)), []),
        "address-echo": ([1, s["address"], 3] + list(be32(0x1234)), raw(frame([0xEC, 3, 0, 0, 0x12, 0x34])), []),
        "data-answer": ([1, s["prg_data"], 0] + list(be16(10)) + list(range(10)) + list(be32(0)),
                        raw(frame([0xED] + list(be32(10)))), []),
        "program-echo": ([1, s["program"], 1] + list(be32(0)) + [0], raw(frame([0xEE, 0x00])), []),
        "checksum-answer": ([1, s["check_sum"], 1] + list(be32(0)) + [0] + list(be16(4)) + [0],
                            raw(frame([0xEF, 0x00])), []),
        "start-answer": ([1, s["start_app"], 1], raw(frame([0xF0] + list(be32(8)) + [1, 2, 3, 4])), []),
        "start-refused": ([1, s["start_app"], 1], raw(frame([0xF0] + list(be32(3)) + [0, 0, 0, 0])), []),
        "download-bad-checksum": ([2, s["download"], 4] + list(blocks((0, b"abc"))) + [HONEST, HONEST],
                                  raw(frame([0xEF, 0x55])), []),
        # The answer twice: the link's reader takes the second, or the next
        # command's frame drops it.
        "doubled-answer-read-by-the-link": ([1, s["read_info"], 0], bytes([7]),
                                            [s["link_read"], 0, s["link_read"], 0, s["read_info"], 0, HONEST]),
        "doubled-answer-dropped": ([1, s["read_info"], 0], bytes([7]), [s["read_info"], 0, HONEST, s["link_read"], 0]),
    }
    for name, (before, answer, after) in answers.items():
        seeds[name] = before + list(answer) + after
    for name, data in seeds.items():
        write("answer_frames", name, data)


# ---- download_stream -------------------------------------------------------
# Input: target (byte % 6 - 1), count class (below 224: count % 8, else a
# 16-bit count), then per block: address, size class (below 128: size % 16,
# else a 16-bit size), data.
def download_stream():
    def block(address, data):
        size = len(data)
        return be32(address) + (bytes([size]) if size < 16 else bytes([200]) + be16(size)) + bytes(data)

    def seed(target, items):
        return bytes([target + 1, len(items)]) + b"".join(block(a, d) for a, d in items)

    write("download_stream", "one-block-staging", seed(3, [(0x10000, bytes(range(256)) * 3 + bytes(232))]))
    write("download_stream", "one-block-sector", seed(0, [(0x10000, bytes(1000))]))
    write("download_stream", "no-end-record", seed(1, [(0, b"abc"), (4, b"")]))
    write("download_stream", "exact-chunk", seed(2, [(0x20, bytes(472))]))
    write("download_stream", "empty-blocks", seed(4, [(0, b""), (0xFFFFFFFF, b""), (1, b"\xff")]))
    write("download_stream", "empty-list", bytes([4, 0]))
    # Target -1: an area beyond a byte, refused like an empty list.
    write("download_stream", "negative-target", seed(-1, [(0, b"abc")]))
    write("download_stream", "many-blocks", bytes([3, 230]) + be16(24) + b"".join(block(k, b"") for k in range(24)))


# ---- hint_text -------------------------------------------------------------
# Input: shape (bits 0-1: no block / found block / connected record, 3 as 0; bit 4:
# flags below 0x8000; bits 5-6: buffer size class; bit 7: no buffer), flags,
# size, 348 bytes of block, then for the connected record the flash table.
def hint_text():
    def info(name=b"DROVA", serial=0x8D0123, autostart=100):
        block = struct.pack("<I", 0x01010000) + name.ljust(64, b"\0") + struct.pack(
            "<IIIII", 0, serial, 0x01020003, autostart, 0)
        return block + bytes(260)

    sectors = bytes([3]) + info_block(0xFFFFFFFF) + bytes([2]) + info_block(100, b"app") + bytes([2]) \
        + info_block(7, b"x" * 64) + bytes([2])
    write("hint_text", "found-all-parts", bytes([0x01 | 0x10 | 0x40]) + be32(0x7FFE) + be16(2000) + info())
    write("hint_text", "connected-all-parts", bytes([0x02 | 0x10 | 0x40]) + be32(0x7FFE) + be16(2000) + info()
          + sectors)
    write("hint_text", "connected-cut-in-mark", bytes([0x02 | 0x10 | 0x20]) + be32(0x4002) + bytes([2]) + info()
          + sectors)
    write("hint_text", "full-name-field", bytes([0x01 | 0x10 | 0x40]) + be32(0x4006) + be16(300)
          + info(name=b"N" * 64, serial=123))
    write("hint_text", "no-buffer", bytes([0x01 | 0x80]) + be32(0x2) + bytes([1]) + info())
    write("hint_text", "no-block", bytes([0x00 | 0x40]) + be32(0x7FFE) + be16(100))


# ---- consistency_check -----------------------------------------------------
# Input: top-level count - 1, then per entry: id choice, four version
# choices, what it carries, groups, and per group its fields' offset
# choices; then which entry is checked and the state index.
def consistency_check():
    def entry(id_choice, versions, groups):
        out = bytes([id_choice]) + bytes(versions) + bytes([2, len(groups)])
        for fields in groups:
            out += bytes([len(fields)]) + bytes(fields)
        return out

    fields = [[0, 1, 2], [1]]  # offsets 76, 92, 96 and 92 again
    write("consistency_check", "application-and-systems",
          bytes([3]) + entry(4, [1, 1, 1, 1], fields) + entry(0, [1, 2, 1, 1], fields)
          + entry(2, [1, 1, 2, 1], fields) + entry(5, [0, 0, 0, 0], fields) + bytes([0, 7]))
    write("consistency_check", "duplicate-ids",
          bytes([1]) + entry(4, [1, 1, 1, 1], fields) + entry(4, [1, 1, 1, 1], fields) + bytes([1, 9]))
    write("consistency_check", "kind-two-pair",
          bytes([2]) + entry(2, [1, 1, 1, 2], fields) + entry(2, [1, 1, 0, 1], fields)
          + entry(0, [2, 1, 1, 1], fields) + bytes([0, 3]))
    write("consistency_check", "alone", bytes([0]) + entry(1, [1, 1, 1, 1], fields) + bytes([0, 1]))


# ---- serial_number -----------------------------------------------------------
# Input: shape (bit 0: keep the marker; bit 1: small buffer), value, size,
# then a text to parse.
def serial_number():
    for value, text in ((0x8D0123, b"KV47D00291"), (0xBF0001, b"KV50F00001"), (0xB0FFFF, b"KV50065535"),
                        (0x810123, b"KV47100291"), (0x8E0000, b"kv47e00000"), (0x400001, b"KV4600001")):
        write("serial_number", "value-%06x" % value, bytes([0]) + be32(value) + be16(12) + text)
    write("serial_number", "tiny-buffer", bytes([2]) + be32(0x8D0123) + bytes([2]) + b"KV47D00291")


answer_frames()
download_stream()
hint_text()
consistency_check()
serial_number()
