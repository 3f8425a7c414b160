"""The package against drova-sim in another process: marshalling, lifetimes and error mapping."""
from __future__ import annotations

import gc
import struct
import threading
import weakref
from typing import Any, Callable, List, Optional

import pytest

from conftest import StartSimulator, firmware_table
from velkor import (DONT_CARE, NO_APPLICATION, ChecksumMismatch, DownloadProgress, ErrorCode, Event, FlashSector,
                    Hint, Operation, Session, VelkorError)

STAGING_AREA = 6  # the firmware table's device has sectors 0 to 5
EMPTY_SECTOR = 5


def ones_complement(data: bytes) -> int:
    """The checksum the device computes over a record."""
    total = 0
    for byte in data:
        total += byte
        total = (total + (total >> 8)) & 0xFF
    return ~total & 0xFF


def application_image(app_id: int, name: str, fw_version: int, features: List[int]) -> bytes:
    """An image that starts with its information block, as the device reads an application."""
    block = bytearray(168)
    struct.pack_into(">I", block, 0, app_id)
    block[4:4 + len(name)] = name.encode()
    struct.pack_into(">I", block, 88, fw_version)
    for feature in features:
        block[100 + feature // 8] |= 1 << feature % 8
    return bytes(block) + bytes(range(256)) * 3


def test_whole_service_session(session: Session) -> None:
    found = session.search()
    assert [(device.index, device.serial_text) for device in found] == [(0, "KV47D00291")]
    assert "KV47D00291" in session.hint(Hint.SERIAL_NUMBER, found[0])

    session.connect(found[0])
    info = session.read_info()
    assert (info.serial_number, info.index, session.connected) == (found[0].serial_number, None, True)

    sectors = session.flash_info()
    assert [sector.id for sector in sectors] == [0, 2, 5, 6, 5, NO_APPLICATION]
    assert (sectors[2].name, sectors[2].fw_version, sectors[2].version_c) == ("Motor control", 0x02010000,
                                                                              0x01020000)
    assert session.flash_table_complete()
    assert (sectors[EMPTY_SECTOR].empty, sectors[EMPTY_SECTOR].name) == (True, "")  # erased bytes are no name

    session.erase(EMPTY_SECTOR)
    image = [(0x0, application_image(7, "Bench test", 0x01020304, [0, 9])), (0x2000, bytes(range(255, 0, -1)))]
    progress: List[DownloadProgress] = []
    assert session.download(image, EMPTY_SECTOR, progress=progress.append) is True
    sizes = [len(data) for _, data in image]
    assert progress == [DownloadProgress(1, 2, sizes[0], sum(sizes)), DownloadProgress(2, 2, sum(sizes), sum(sizes))]

    # The sector holds the records as sent: an 8-byte header (address, length), then the data.
    offset = 0
    for address, data in image:
        record = struct.pack(">II", address, len(data)) + data
        session.checksum(offset, len(record), ones_complement(record), EMPTY_SECTOR)
        offset += len(record)

    written = session.flash_info()[EMPTY_SECTOR]
    assert (written.id, written.name, written.fw_version) == (7, "Bench test", 0x01020304)
    assert session.has_compatible_fw_version(0x01020304, 7)
    session.start_app(7)
    assert [session.is_supported_fw_feature(feature) for feature in (0, 1, 9)] == [True, False, True]
    session.disconnect()
    assert not session.connected


def disconnected(session: Session) -> Session:
    session.disconnect()
    return session


def while_downloading(session: Session, command: Callable[[Session], Any]) -> None:
    """Runs command on this thread while another one's download runs; the download must end undisturbed."""
    staging = len(session.flash_info())
    first_sent, command_done = threading.Event(), threading.Event()
    outcome: List[bool] = []

    def progress(step: DownloadProgress) -> None:
        first_sent.set()
        command_done.wait(10)

    downloader = threading.Thread(target=lambda: outcome.append(
        session.download([(0x100 * k, bytes(64)) for k in range(4)], staging, progress=progress)))
    downloader.start()
    try:
        assert first_sent.wait(10)
        command(session)
    finally:
        command_done.set()
        downloader.join()
        assert outcome == [True]


@pytest.mark.parametrize("act, codes, text", [
    pytest.param(lambda s: s.connect(s.found_devices()[0]), [ErrorCode.DISCONNECT_FIRST], None,
                 id="connect while connected"),
    pytest.param(lambda s: disconnected(s).erase(1), [ErrorCode.NOT_CONNECTED], None, id="erase without connection"),
    pytest.param(lambda s: disconnected(s).keep_alive(), [ErrorCode.NOT_CONNECTED], None,
                 id="keep-alive without connection"),
    pytest.param(lambda s: s.write_serial(0x1000000), [ErrorCode.SERIAL_FORMAT], None,
                 id="serial number beyond 24 bits"),
    pytest.param(lambda s: disconnected(s).connect(0x8D0999), [ErrorCode.NO_SUCH_DEVICE], None,
                 id="serial number not found"),
    pytest.param(lambda s: (s.forget_connection(), s.connect(s.found_devices()[0])), [ErrorCode.OTHER_HOST], None,
                 id="device held by another host"),
    pytest.param(lambda s: (s.start_app(5), s.start_app(5)), [ErrorCode.APPLICATION],
                 "An application is already running.", id="second start"),
    pytest.param(lambda s: s.start_app(99), [ErrorCode.APPLICATION], "Invalid Application Identifier.",
                 id="unknown application"),
    # Erased bytes FF FF sum to 0x00: the library posts no reason.
    pytest.param(lambda s: (s.erase(EMPTY_SECTOR), s.checksum(0, 2, 0x01, EMPTY_SECTOR)), [],
                 "checksum of 2 bytes at 0x0 in area 5 does not match", id="checksum that does not match"),
    pytest.param(lambda s: while_downloading(s, Session.read_info), [ErrorCode.BUSY], "Device is busy.",
                 id="command from a second thread while a download runs"),
    pytest.param(lambda s: while_downloading(s, lambda s: s.verify([(0, b"x")], STAGING_AREA)), [ErrorCode.BUSY],
                 "Device is busy.", id="verify from a second thread while a download runs"),
    pytest.param(lambda s: s.download([(0, b"data")], STAGING_AREA), [], "flash_info", id="download without table"),
    pytest.param(lambda s: (s.close(), s.erase(1)), [ErrorCode.NOT_INITIALISED], None, id="closed session"),
])
def test_refusals_and_failures_carry_the_library_text(connected: Session, act: Callable[[Session], Any],
                                                      codes: List[int], text: Optional[str]) -> None:
    with pytest.raises(VelkorError) as raised:
        act(connected)
    error = raised.value
    assert [code for code, _ in error.reasons] == codes
    assert error.code == (codes[0] if codes else None)
    for code, reason in error.reasons:
        assert reason == connected.error_text(code) and reason in str(error)
    if text is not None:
        assert text in str(error)
    assert (error.connect_error is not None) == (ErrorCode.OTHER_HOST in codes)


@pytest.mark.parametrize("device", [
    pytest.param(lambda found: found, id="found-list entry"),
    pytest.param(lambda found: found.serial_number, id="number"),
    pytest.param(lambda found: "KV47D00291", id="text form"),
    pytest.param(lambda found: "kv47d00291", id="text form in lower case"),
    pytest.param(lambda found: "0x8D0123", id="hexadecimal text"),
    pytest.param(lambda found: "9240867", id="decimal text"),
])
def test_connect_takes_a_serial_number_as_drova_does(session: Session, device: Callable[[Any], Any]) -> None:
    found = session.search(unit_ms=20)[0]
    session.connect(device(found))
    assert session.connected and session.connect_info().serial_text == "KV47D00291"


@pytest.mark.parametrize("act, outcome", [
    pytest.param(lambda s: s.erase(256), ValueError, id="sector beyond a byte"),
    pytest.param(lambda s: s.erase(-1), ValueError, id="negative sector"),
    pytest.param(lambda s: s.connect(1 << 31), ValueError, id="serial number beyond int"),
    pytest.param(lambda s: s.write_serial(1 << 32), ValueError, id="serial number beyond 32 bits"),
    pytest.param(lambda s: s.download([(1 << 32, b"x")], 0), ValueError, id="block address beyond 32 bits"),
    # The library takes an area number as one byte: 256 would be sector 0.
    pytest.param(lambda s: s.download([(0, b"x")], 256), ValueError, id="target area beyond a byte"),
    pytest.param(lambda s: s.download([(0, b"x")], -1), ValueError, id="negative target area"),
    pytest.param(lambda s: s.checksum(0, 1, 256, 0), ValueError, id="checksum beyond a byte"),
    pytest.param(lambda s: s.auto_start(True), ValueError, id="a bool for an id"),
    pytest.param(lambda s: s.download([(0, "text")], 0), TypeError, id="text for data"),
    pytest.param(lambda s: s.connect("KV47100001"), ValueError, id="serial number text with a month"),
    pytest.param(lambda s: s.connect("KV47D0029"), ValueError, id="serial number text too short"),
    pytest.param(lambda s: s.connect("drova00"), ValueError, id="serial number that is no number"),
    pytest.param(lambda s: s.verify([(0, b"x")], 256), ValueError, id="verify area beyond a byte"),
])
def test_bad_arguments_are_refused_before_the_library_sees_them(session: Session, act: Callable[[Session], Any],
                                                                 outcome: type) -> None:
    # Not connected: a call that reached the library would raise its refusal instead.
    with pytest.raises(outcome):
        act(session)


class Stopper:
    """Stops the download once its first block is sent, in one of the ways a host can."""

    def __init__(self, session: Session, way: str) -> None:
        self.session, self.way = session, way
        self.first_sent = threading.Event()
        self.results: List[bool] = []

    def progress(self, progress: DownloadProgress) -> None:
        if progress.blocks_sent == 1:
            self.first_sent.set()
            if self.way == "progress callback":
                self.results.append(self.session.stop_download())
            elif self.way == "exception in the progress callback":
                raise KeyboardInterrupt

    def on_event(self, event: Event) -> None:
        if self.way == "library thread" and event == (Operation.PRGDATA, 0) and not self.results:
            self.results.append(self.session.stop_download())

    def other_thread(self) -> None:
        self.first_sent.wait(10)
        self.results.append(self.session.stop_download())


@pytest.mark.parametrize("way", ["progress callback", "library thread", "another thread",
                                 "exception in the progress callback"])
def test_stop_download_mid_download(connected: Session, way: str) -> None:
    staging = len(connected.flash_info())
    stopper = Stopper(connected, way)
    connected.on_event = stopper.on_event
    helper = threading.Thread(target=stopper.other_thread) if way == "another thread" else None
    if helper:
        helper.start()
    sent: List[DownloadProgress] = []

    def progress(step: DownloadProgress) -> None:
        sent.append(step)
        stopper.progress(step)

    blocks = [(0x1000 * k, bytes(range(200))) for k in range(16)]
    if way == "exception in the progress callback":
        with pytest.raises(KeyboardInterrupt):
            connected.download(blocks, staging, progress=progress)
    else:
        assert connected.download(blocks, staging, progress=progress) is False
        assert stopper.results == [True]
    if helper:
        helper.join()
    assert 1 <= len(sent) < len(blocks)
    assert connected.stop_download() is False  # none runs
    connected.on_event = None
    assert connected.download(blocks[:1], staging) is True


IMAGE = [(0x0, application_image(7, "Bench test", 0x01020304, [0])), (0x2000, bytes(range(255, 0, -1)))]


@pytest.mark.parametrize("checked, mismatched", [
    pytest.param(IMAGE, [], id="the image downloaded"),
    # One byte less by one: whole multiples of 255 would not change the checksum.
    pytest.param([IMAGE[0], (0x2000, bytes([IMAGE[1][1][0] - 1]) + IMAGE[1][1][1:])], [2],
                 id="second block's data differs"),
    pytest.param([(0x10, IMAGE[0][1]), IMAGE[1]], [1], id="first block's address differs"),
    pytest.param(IMAGE[:1], [2], id="a block fewer: the end record is not where it was"),
])
def test_verify_names_the_records_that_differ(connected: Session, checked: List[Any], mismatched: List[int]) -> None:
    connected.flash_info()
    connected.erase(EMPTY_SECTOR)
    assert connected.download(IMAGE, EMPTY_SECTOR)
    result = connected.verify(checked, EMPTY_SECTOR)
    assert [check.record.number for check in result.records] == list(range(1, len(checked) + 2))
    assert [check.record.number for check in result.mismatched] == mismatched
    assert bool(result) == (not mismatched)
    assert [check.text for check in result.mismatched] == [f"checksum of record {n} does not match" for n in mismatched]
    # The records as drova verify asks for them: offsets follow one another, the end record last.
    assert [check.record.offset for check in result.records] == [0, 8 + len(checked[0][1])][:len(checked)] + [
        sum(8 + len(data) for _, data in checked)]


def test_a_download_whose_checksum_differs_names_its_record(simulator: StartSimulator, library_path: Any) -> None:
    config = firmware_table()
    config["devices"][0]["faults"] = [{"kind": "wrong_checksum", "opcode": "checksum", "skip": 1, "times": 1}]
    simulator(config)
    with Session(library_path, timeout=10.0) as session:
        session.connect(session.search(unit_ms=20)[0])
        with pytest.raises(ChecksumMismatch) as raised:
            session.download(IMAGE, len(session.flash_info()))
        assert (str(raised.value), raised.value.record, raised.value.code) == (
            "download into area 6 failed: checksum of record 2 does not match", 2, None)


def test_a_device_gone_mid_download_is_one_exception_and_no_connection(simulator: StartSimulator,
                                                                        library_path: Any) -> None:
    daemon = simulator(firmware_table())
    raised: List[VelkorError] = []
    with Session(library_path, timeout=10.0) as session:  # leaving it must raise nothing more
        session.connect(session.search(unit_ms=20)[0])
        staging = len(session.flash_info())

        def pull_out(step: DownloadProgress) -> None:
            if daemon.poll() is None:
                daemon.kill()
                daemon.wait()

        try:
            session.download([(0x1000 * k, bytes(range(200))) for k in range(16)], staging, progress=pull_out)
        except VelkorError as error:
            raised.append(error)
        assert not session.connected
    assert [error.code for error in raised] == [ErrorCode.LINK_LOST]


def test_commands_that_end_the_connection(simulator: StartSimulator, library_path: Any) -> None:
    config = firmware_table()
    config["devices"][0]["start"] = {"10": {"result": 8}}
    simulator(config)
    ends: List[Callable[[Session], None]] = [Session.reset, lambda s: s.start_app(10), Session.forget_connection]
    with Session(library_path, timeout=10.0) as session:
        device = session.search(unit_ms=20)[0]
        for end in ends:
            session.connect(device)
            end(session)
            assert not session.connected
            with session.events(timeout=0.3) as events:  # the pair that ended the connection was waited for
                assert list(events) == []
        with pytest.raises(VelkorError) as raised:  # forgotten on this side only: the device is still held
            session.connect(device)
        assert raised.value.code == ErrorCode.OTHER_HOST


@pytest.mark.parametrize("act, read, expected", [
    pytest.param(lambda s: s.write_serial(0x8D0124), lambda info: info.serial_text, "KV47D00292",
                 id="serial number"),
    pytest.param(lambda s: s.auto_start(5), lambda info: info.autostart_app_id, 5, id="automatic start"),
    pytest.param(lambda s: (s.auto_start(5), s.auto_start(NO_APPLICATION)), lambda info: info.autostart_app_id,
                 NO_APPLICATION, id="automatic start cleared"),
])
def test_device_settings_reach_the_device(connected: Session, act: Callable[[Session], Any],
                                          read: Callable[[Any], Any], expected: Any) -> None:
    act(connected)
    assert read(connected.read_info()) == expected


def test_event_stream_and_scanning(session: Session) -> None:
    with session.events(timeout=5) as events:
        session.search()
        assert next(events) == (Operation.SEARCH, 0)
    two_lines = threading.Event()
    lines = session.start_scanning(lambda line: len(lines) >= 2 and two_lines.set())
    assert two_lines.wait(10)
    assert session.stop_scanning() is True
    assert lines[:2] == ["1 HW Device found on UDP port 0", "1 HW Device found on UDP port 1"]
    stream = session.events(timeout=None)
    session.close()
    assert list(stream) == []  # ends with the session


def info_block(app_id: int, version_b: int = 0, version_c: int = 0) -> bytes:
    block = bytearray(168)
    struct.pack_into(">I", block, 0, app_id)
    struct.pack_into(">I", block, 76, version_b)
    struct.pack_into(">I", block, 92, version_c)
    return bytes(block)


@pytest.mark.parametrize("blocks, marked", [
    pytest.param([info_block(0, 0x02000000, DONT_CARE), info_block(2, version_c=0x01000000),
                  info_block(5, 0x02000000, 0x01000000)], {}, id="fits"),
    pytest.param([info_block(2, version_c=0x01000000), info_block(5, version_c=0x01000000),
                  info_block(5, version_c=0x01000000)], {1: ["id"], 2: ["id"]}, id="duplicate id"),
    pytest.param([info_block(0, 0x02000000, DONT_CARE), info_block(2, version_c=0x01000000),
                  info_block(6, 0x03000000, 0x01000000), info_block(NO_APPLICATION, 0, 0xFFFEFDFC)],
                 {2: ["versionB"]}, id="versionB and an empty record"),
])
def test_consistency_check_over_records(library_path: Any, blocks: List[bytes], marked: dict) -> None:
    records = [FlashSector.from_block(k, block) for k, block in enumerate(blocks)]
    assert Session(library_path).consistency_check(records) == marked


def test_an_open_session_outlives_its_last_reference(simulator: StartSimulator, library_path: Any) -> None:
    simulator(firmware_table())
    seen: List[Event] = []
    opened = Session(library_path, timeout=10.0, on_event=seen.append).open()
    session = weakref.ref(opened)
    del opened
    gc.collect()
    alive = session()
    assert alive is not None  # the library still calls its callback
    assert alive.search(unit_ms=20) and seen[-1] == (Operation.SEARCH, 0)
    alive.close()
    del alive
    gc.collect()
    assert session() is None
