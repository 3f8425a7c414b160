"""The library's session in Python's terms: every command waits for the event pair that ends it."""
from __future__ import annotations

import ctypes
import os
import queue
import threading
import time
from contextlib import contextmanager
from typing import Any, Callable, Dict, Iterable, Iterator, List, Optional, Sequence, Set, Tuple, Union

from . import _library
from ._native import (INFO_BLOCK_SIZE, BinBlock, Callback, StringsAdd, StringsClear, TAddress, TDROVAInfo,
                      TStrings, u8)
from .codes import ENDS_CONNECTION_APP, ErrorCode, Hint, Operation
from .errors import ChecksumMismatch, CommandTimeout, VelkorError
from .events import Event, EventHub, EventStream, Listener, Returned, SessionClosed
from .firmware_tree import FirmwareTree
from .records import DeviceInfo, DownloadProgress, FlashSector, device_text
from .stream import RecordCheck, VerifyResult, mismatch_text, stream_records

BytesLike = Union[bytes, bytearray, memoryview]
Block = Tuple[int, BytesLike]  # (address, data)

# The reasons for a refusal are posted before the export returns and reach the callback within about 0.1 s,
# one each 10 ms after the first; some refusals post no reason at all.
_FIRST_REASON_WITHIN = 0.5
_NEXT_REASON_WITHIN = 0.2
_HINT_SIZE = 65536
_SERIAL_TEXT_SIZE = 32
_EXPORT_MESSAGE_SIZE = 256
_U8, _U32, _INT = 1 << 8, 1 << 32, 1 << 31

# An open session stays alive without a reference of its own: the library calls its callback until _Close.
_OPEN: Set["Session"] = set()


def _in_range(what: str, value: int, limit: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value < limit:
        raise ValueError(f"{what} must be an integer from 0 to {limit - 1}, not {value!r}")
    return value


def _checked_blocks(image: Iterable[Block]) -> List[Tuple[int, bytes]]:
    blocks = [(_in_range("a block's address", address, _U32), bytes(data)) for address, data in image]
    for _, data in blocks:
        _in_range("a block's length", len(data), _U32)
    return blocks


def _serial_text_value(text: str) -> Optional[int]:
    """The number of a text form KVyymnnnnn: marker 2 in bits 23-22, yy - 47 in 21-20, m (a hex digit) in 19-16,
    nnnnn in 15-0; None when the text does not have that shape."""
    if len(text) != 10 or text[:2].upper() != "KV" or any(c not in "0123456789" for c in text[2:4] + text[5:]) \
            or text[4] not in "0123456789abcdefABCDEF":
        return None
    year, month, number = int(text[2:4]), int(text[4], 16), int(text[5:])
    if not 47 <= year <= 50 or number > 0xFFFF:
        return None
    return 2 << 22 | (year - 47) << 20 | month << 16 | number


class _Reasons:
    """The error codes posted before a failure pair: those since the last step that succeeded."""

    def __init__(self) -> None:
        self.codes: List[int] = []

    def see(self, event: Event) -> None:
        if event.is_error:
            self.codes.append(event.b)
        # A lost link posts (DISCONNECT, 0) between its reason and the step's failure: no step that succeeded.
        elif event.b == 0 and event.a != Operation.DISCONNECT:
            self.codes.clear()


class _DownloadWatch:
    """Counts the blocks of a download whose data the library has sent, and tells progress."""

    def __init__(self, blocks: Sequence[Tuple[int, bytes]],
                 progress: Optional[Callable[[DownloadProgress], None]]) -> None:
        self.sizes = [len(data) for _, data in blocks]
        self.progress = progress
        self.sent = self.sent_bytes = 0
        self.record = 0  # each record's steps begin with its address
        self.over = False  # its last pair has arrived, or it never started

    def see(self, event: Event) -> None:
        if event == (Operation.ADDRESS, 0):
            self.record += 1
        if event == (Operation.PRGDATA, 0) and self.sent < len(self.sizes):
            self.sent_bytes += self.sizes[self.sent]
            self.sent += 1
            if self.progress is not None:
                self.progress(DownloadProgress(self.sent, len(self.sizes), self.sent_bytes, sum(self.sizes)))


class Session:
    """A session of the library (one per process): `with Session() as session: ...`.

    Commands wait for their outcome and raise VelkorError with the library's code and text when it refuses or
    they fail, and CommandTimeout when the library reports nothing for timeout seconds. One command runs at a
    time, as in the library: a command issued (from any thread) while another one runs is refused at once with
    ErrorCode.BUSY and the library's text, and the one running goes on undisturbed. on_event(event) sees every
    pair on the library's thread: keep it short; it may call stop_download(), but no command."""

    def __init__(self, library: Union[str, "os.PathLike[str]", None] = None, *, timeout: float = 35.0,
                 on_event: Optional[Callable[[Event], None]] = None) -> None:
        self._lib = _library.load_library(library)
        self.library_path: str = self._lib._name
        self.timeout = timeout
        self._hub = EventHub(on_event)
        self._callback = Callback(self._hub.deliver)  # kept alive for the session's life
        self._command = threading.Lock()  # held while a command runs; never waited for
        self._open = False
        self._stop_requested = threading.Event()
        self._scan: Optional[Tuple[TStrings, Any, Any]] = None  # the list the library writes to, and its calls

    # -- session -------------------------------------------------------------------------------------------
    def open(self) -> "Session":
        if self._lib._Initialize(self._callback, None, 0) != 0:
            raise VelkorError("the library refused to start a session: one is already open in this process, or "
                              "start-up failed (its reason is on standard error)")
        self._open = True
        _OPEN.add(self)
        return self

    def close(self) -> None:
        """Disconnects a connected device, then ends the session; no event is delivered afterwards."""
        if not self._open:
            return
        try:
            # A command another thread runs ends with the session instead.
            if self.connected and not self._command.locked():
                self.disconnect()
        finally:
            self._open = False
            self._lib._Close()
            _OPEN.discard(self)
            self._hub.close()
            self._scan = None

    def __enter__(self) -> "Session":
        return self.open()

    def __exit__(self, *exc: object) -> None:
        self.close()

    @property
    def on_event(self) -> Optional[Callable[[Event], None]]:
        return self._hub.on_event

    @on_event.setter
    def on_event(self, on_event: Optional[Callable[[Event], None]]) -> None:
        self._hub.on_event = on_event

    def events(self, timeout: Optional[float] = None) -> EventStream:
        """The raw event pairs from now on; see EventStream."""
        return EventStream(self._hub, timeout)

    # -- outcomes and reasons ------------------------------------------------------------------------------
    def error_text(self, code: int) -> str:
        """The library's text for an error code."""
        return bytes(self._lib._GetErrorString(code)).decode("latin-1")

    def connect_error(self) -> Tuple[int, int, int, int]:
        """The four words the device sent with its last refused connect or disconnect."""
        words = self._lib._GetConnectErrorInfo()
        return (words[0], words[1], words[2], words[3])

    def _error(self, message: str, codes: Sequence[int]) -> VelkorError:
        reasons = [(code, self.error_text(code)) for code in codes]
        refused_by_device = {ErrorCode.OTHER_HOST, ErrorCode.CANT_DISCONNECT} & set(codes)
        return VelkorError(f"{message}: " + " ".join(text for _, text in reasons), reasons,
                           self.connect_error() if refused_by_device else None)

    @contextmanager
    def _exclusive(self, what: str) -> Iterator[None]:
        """Runs a command unless another one runs, which it then leaves alone: the library would refuse it."""
        if not self._command.acquire(blocking=False):
            raise self._error(f"{what} refused", [ErrorCode.BUSY])
        try:
            yield
        finally:
            self._command.release()

    def _require_open(self) -> None:
        if self._hub.on_delivery_thread():
            raise RuntimeError("commands wait for events that this thread delivers: call them from another thread")
        if not self._open:
            raise self._error("no session", [ErrorCode.NOT_INITIALISED])

    def _next(self, what: str, listener: Listener) -> Any:
        try:
            return listener.get(time.monotonic() + self.timeout)
        except queue.Empty:
            raise CommandTimeout(f"{what}: the library reported nothing for {self.timeout} s") from None
        except SessionClosed:
            raise self._error(what, [ErrorCode.NOT_INITIALISED]) from None

    def _refusal(self, what: str, listener: Listener, unexplained: str, seen: Sequence[int] = ()) -> VelkorError:
        codes = list(seen)
        deadline = time.monotonic() + _FIRST_REASON_WITHIN
        while True:
            try:
                item = listener.get(deadline)
            except (queue.Empty, SessionClosed):
                break
            if isinstance(item, Event) and item.is_error:
                codes.append(item.b)
                deadline = time.monotonic() + _NEXT_REASON_WITHIN
        return self._error(f"{what} refused", codes) if codes else VelkorError(f"{what} refused: {unexplained}")

    def _failure(self, what: str, codes: Sequence[int]) -> VelkorError:
        # The library drops the pair for an invalid answer: a failure without a reason stands for it.
        return self._error(f"{what} failed", list(codes) or [ErrorCode.INVALID_ANSWER])

    def _outcome(self, what: str, operation: Operation, listener: Listener, failure_raises: bool = True,
                 bare_failure: Optional[Callable[[], VelkorError]] = None) -> Event:
        """Waits for the pair of operation. A failure pair raises; bare_failure gives the exception for one that
        no reason preceded, when such a failure means something of its own."""
        reasons = _Reasons()
        while True:
            item = self._next(what, listener)
            if not isinstance(item, Event):
                continue
            if item.a == operation:
                if item.b != 0 and failure_raises:
                    if not reasons.codes and bare_failure is not None:
                        raise bare_failure()
                    raise self._failure(what, reasons.codes)
                return item
            reasons.see(item)

    def _run(self, what: str, operation: Operation, start: Callable[[], int],
             unexplained: str = "the library gave no reason", then: Optional[Operation] = None,
             bare_failure: Optional[Callable[[], VelkorError]] = None) -> None:
        """Starts a command and waits for its outcome pair (and then for the pair `then`)."""
        self._require_open()
        with self._exclusive(what), self._hub.listen() as listener:
            self._step(what, operation, start, listener, unexplained, then, bare_failure)

    def _step(self, what: str, operation: Operation, start: Callable[[], int], listener: Listener,
              unexplained: str = "the library gave no reason", then: Optional[Operation] = None,
              bare_failure: Optional[Callable[[], VelkorError]] = None) -> None:
        if start() != 0:
            raise self._refusal(what, listener, unexplained)
        self._outcome(what, operation, listener, bare_failure=bare_failure)
        if then is not None:
            self._outcome(what, then, listener)

    # -- search and connection -----------------------------------------------------------------------------
    def search(self, *, connect: bool = False, unit_ms: int = 100) -> List[DeviceInfo]:
        """Searches the present interfaces (for 2 x unit_ms) and returns the devices found; with connect, the
        library then connects to the last one found."""
        _in_range("unit_ms", unit_ms, _INT)
        self._require_open()
        with self._exclusive("search"), self._hub.listen() as listener:
            # 1 also when no interface is present, and that search still ends with (SEARCH, 1).
            self._lib._FindDROVAs(0 if connect else -1, 0, unit_ms)
            if self._outcome("search", Operation.SEARCH, listener, failure_raises=False).b != 0:
                return []
            if connect:
                self._outcome("connect after the search", Operation.CONNECT, listener)
        return self.found_devices()

    def found_devices(self) -> List[DeviceInfo]:
        """The devices of the last finished search, in the order connect() knows them."""
        count = self._lib._GetFoundDevices(None, 0)
        found = (TDROVAInfo * count)()
        count = min(count, self._lib._GetFoundDevices(found, count))
        return [self._device_info(found[k], k) for k in range(count)]

    def connect(self, device: Union[DeviceInfo, int, str], mode: int = 0) -> None:
        """Claims a found device, given as a found-list entry or by serial number: a number or its text form
        (KV47D00291), as drova takes it."""
        serial = device.serial_number if isinstance(device, DeviceInfo) else self.serial_number(device) \
            if isinstance(device, str) else device
        index = device.index if isinstance(device, DeviceInfo) and device.index is not None else 0
        _in_range("the serial number", serial, _INT)
        _in_range("the mode", mode, _U8)
        self._run(f"connect to {self.serial_text(serial)}", Operation.CONNECT,
                  lambda: self._lib._Connect(serial, index, mode))

    def disconnect(self) -> None:
        self._run("disconnect", Operation.DISCONNECT, self._lib._Disconnect)

    def forget_connection(self) -> None:
        """Ends the connection on this side without telling the device (_DeviceClose)."""
        self._run("forget the connection", Operation.DISCONNECT, lambda: self._lib._DeviceClose() or 0)

    @property
    def connected(self) -> bool:
        return bool(self._lib._IsConnected() == 1)

    @property
    def random_id(self) -> int:
        """The identifier this host gives the device when it connects."""
        return int(self._lib._GetRandomId()) & (_U32 - 1)

    def connect_info(self) -> DeviceInfo:
        """The connected-device record (a copy)."""
        return self._device_info(self._lib._GetConnectInfo().contents, None)

    def device_path(self) -> str:
        """The path of the interface last opened."""
        block = self._lib._GetDeviceName()
        if not block:
            raise MemoryError("the library could not allocate the device path")
        try:
            return device_text(ctypes.string_at(block))
        finally:
            _library.c_free()(block)

    def keep_alive(self) -> None:
        """Sends a keep-alive. The library reports no outcome of an accepted one: three failures in a row end
        the connection with (ERROR, LINK_LOST) and (DISCONNECT, 0), which events() shows."""
        self._require_open()
        with self._exclusive("keep-alive"), self._hub.listen() as listener:
            if self._lib._CommRefresh() != 0:
                raise self._refusal("keep-alive", listener, "the library gave no reason")

    def address(self, address: int, area: int) -> None:
        _in_range("the address", address, _U32)
        _in_range("the area", area, _U8)
        self._run("address", Operation.ADDRESS, lambda: self._lib._Address(TAddress(address, area)))

    # -- scanning ------------------------------------------------------------------------------------------
    def start_scanning(self, on_line: Optional[Callable[[str], None]] = None) -> List[str]:
        """Starts a repeated search; returns the list that gets a line per search that found devices (on the
        library's thread, also passed to on_line). Other commands are refused as busy until stop_scanning()."""
        self._require_open()
        lines: List[str] = []

        def add(context: object, line: bytes) -> None:
            text = line.decode("latin-1")
            lines.append(text)
            if on_line is not None:
                on_line(text)

        clear = StringsClear(lambda context: lines.clear())
        add_line = StringsAdd(add)
        scan_list = TStrings(None, clear, add_line)
        # 1 also when no interface is present: the series runs all the same.
        self._lib._StartNetworkScanning(ctypes.byref(scan_list))
        self._scan = (scan_list, clear, add_line)
        return lines

    def stop_scanning(self) -> bool:
        """Stops the repeated search and waits for its last search to end; True when that one found devices."""
        self._require_open()
        with self._exclusive("stop scanning"), self._hub.listen() as listener:
            self._lib._StopNetworkScanning()
            found = self._outcome("stop scanning", Operation.SEARCH, listener, failure_raises=False).b == 0
        self._scan = None
        return found

    # -- information ---------------------------------------------------------------------------------------
    def read_info(self) -> DeviceInfo:
        self._run("read information", Operation.READINFO, self._lib._ReadInfo)
        return self.connect_info()

    def flash_info(self) -> List[FlashSector]:
        """Reads the flash sector table and returns it."""
        self._run("flash information", Operation.FLASHINFO, self._lib._FlashInfo)
        return self.flash_sectors()

    def flash_sectors(self) -> List[FlashSector]:
        """The table the last flash_info() read, in sector order."""
        count = self._lib._GetFlashSectors(None, 0)
        blocks = ctypes.create_string_buffer(count * INFO_BLOCK_SIZE)
        count = min(count, self._lib._GetFlashSectors(blocks, count))
        return [FlashSector.from_block(k, blocks.raw[k * INFO_BLOCK_SIZE:(k + 1) * INFO_BLOCK_SIZE])
                for k in range(count)]

    def flash_table_complete(self) -> bool:
        """Whether the last flash_info() read the connected device's whole table, which download() needs."""
        return bool(self._lib._IsFlashTableComplete() == 1)

    def app_info(self, app_id: int) -> None:
        """Reads the information block of an application; fails when the device has no such application."""
        _in_range("the application id", app_id, _U32)
        self._run(f"application information {app_id}", Operation.APPINFO, lambda: self._lib._AppInfo(app_id))

    # -- flash programming ---------------------------------------------------------------------------------
    def erase(self, sector: int) -> None:
        _in_range("the sector", sector, _U8)
        self._run(f"erase sector {sector}", Operation.ERASE, lambda: self._lib._Erase(sector))

    def download(self, image: Iterable[Block], target: int,
                 progress: Optional[Callable[[DownloadProgress], None]] = None) -> bool:
        """Writes the blocks [(address, data), ...] into area target; flash_info() must have read the table.

        progress gets a DownloadProgress on this thread as each block's data has been sent; it may call
        stop_download(). Returns True when the download ran to its end, False when stop_download() ended it.
        An exception here (Ctrl-C included) stops the download before it propagates."""
        blocks = _checked_blocks(image)
        _in_range("the target area", target, _U8)
        self._require_open()
        with self._exclusive(f"download into area {target}"), self._hub.listen() as listener:
            handle = self._lib._BinListCreate()
            if not handle:
                raise MemoryError("the library could not create a block list")
            try:
                for address, data in blocks:
                    buffer = (u8 * len(data)).from_buffer_copy(data)
                    if self._lib._BinListAdd(handle, ctypes.byref(BinBlock(address, len(data), buffer))) != 0:
                        raise MemoryError("the library could not take a copy of a block")
                return self._run_download(handle, target, blocks, listener, progress)
            finally:
                self._lib._BinListFree(handle)

    def _run_download(self, handle: int, target: int, blocks: Sequence[Tuple[int, bytes]], listener: Listener,
                      progress: Optional[Callable[[DownloadProgress], None]]) -> bool:
        # A device that answers at once is driven through the whole download inside _Download, so it runs on
        # a thread of its own while this one follows its events and can stop it.
        self._stop_requested.clear()
        watch = _DownloadWatch(blocks, progress)
        runner = threading.Thread(target=lambda: listener.put(Returned(self._lib._Download(target, handle))),
                                  name="velkor download", daemon=True)
        runner.start()
        what = f"download into area {target}"
        try:
            return self._follow_download(what, watch, listener)
        except BaseException:
            if not watch.over:
                # Its last pair must not end the next command's wait.
                self._lib._StopDownload()
                self._outcome(what, Operation.DOWNLOAD, listener, failure_raises=False)
            raise
        finally:
            runner.join()  # the block list is the library's to read until _Download returns

    def _follow_download(self, what: str, watch: "_DownloadWatch", listener: Listener) -> bool:
        reasons = _Reasons()
        failed_step: Optional[int] = None
        while True:
            item = self._next(what, listener)
            if isinstance(item, Returned):
                if item.result != 0:
                    watch.over = True
                    raise self._refusal(what, listener, "the block list is empty, or the last flash_info() did "
                                                        "not read the whole table of the device now connected",
                                        reasons.codes)
                continue
            if item.a == Operation.DOWNLOAD:
                watch.over = True
                if item.b == 0:
                    return True
                if self._stop_requested.is_set():
                    return False
                if failed_step == Operation.CHECKSUM and not reasons.codes:
                    raise ChecksumMismatch(f"{what} failed: {mismatch_text(watch.record)}", watch.record)
                raise self._failure(what, reasons.codes)
            if item.b != 0 and not item.is_error:
                failed_step = item.a
            reasons.see(item)
            watch.see(item)

    def stop_download(self) -> bool:
        """Stops the download under way after the step in flight (from any thread, on_event and progress
        included); False when none runs."""
        self._stop_requested.set()
        if self._lib._StopDownload() != 0:
            self._stop_requested.clear()
            return False
        return True

    def prg_data(self, data: BytesLike) -> None:
        """Sends one block of data to the address the last address() set."""
        payload = bytes(data)
        _in_range("the data's length", len(payload), _U32)
        buffer = (u8 * len(payload)).from_buffer_copy(payload)
        block = BinBlock(0, len(payload), buffer)
        self._run("program data", Operation.PRGDATA, lambda: self._lib._PrgData(ctypes.byref(block)),
                  unexplained="the library takes no block without data")

    def program(self, address: int, area: int) -> None:
        """Programs the record at address of the staging area into area."""
        _in_range("the address", address, _U32)
        _in_range("the area", area, _U8)
        self._run(f"program area {area}", Operation.PROGRAM, lambda: self._lib._Program(address, area))

    def checksum(self, address: int, length: int, expected: int, area: int) -> None:
        """Has the device checksum length bytes at address of area; raises ChecksumMismatch unless it finds
        expected (record_checksum() gives a record's)."""
        _in_range("the address", address, _U32)
        _in_range("the length", length, _U32)
        _in_range("the checksum", expected, _U8)
        _in_range("the area", area, _U8)
        self._run(f"checksum in area {area}", Operation.CHECKSUM,
                  lambda: self._lib._CheckSum(address, length, expected, area),
                  bare_failure=lambda: ChecksumMismatch(
                      f"checksum of {length} bytes at {address:#x} in area {area} does not match"))

    def verify(self, image: Iterable[Block], target: int) -> VerifyResult:
        """Checks that the device holds image where download(image, target) put it, as drova verify does: the
        device checksums every record of the stream (the end record too) where it lies in area target. Returns
        each record's verdict; raises VelkorError when a checksum cannot be asked for (not connected, ...)."""
        blocks = _checked_blocks(image)
        _in_range("the target area", target, _U8)
        self._require_open()
        checks: List[RecordCheck] = []
        with self._exclusive(f"verify area {target}"), self._hub.listen() as listener:
            for record in stream_records(blocks, target):
                try:
                    self._step(f"checksum of record {record.number}", Operation.CHECKSUM,
                               lambda: self._lib._CheckSum(target << 32 | record.offset, record.length,
                                                           record.checksum, target), listener,
                               bare_failure=lambda: ChecksumMismatch(mismatch_text(record.number), record.number))
                    checks.append(RecordCheck(record, True))
                except ChecksumMismatch:
                    checks.append(RecordCheck(record, False))
        return VerifyResult(target, tuple(checks))

    # -- application control and serial number -------------------------------------------------------------
    def start_app(self, app_id: int) -> None:
        """Starts an application; its refusal carries the device's reason (ErrorCode.APPLICATION)."""
        _in_range("the application id", app_id, _U32)
        ends_connection = Operation.DISCONNECT if app_id == ENDS_CONNECTION_APP else None
        self._run(f"start application {app_id}", Operation.STARTAPP, lambda: self._lib._StartApp(app_id),
                  then=ends_connection)

    def auto_start(self, app_id: int) -> None:
        """Sets the application the device starts by itself; NO_APPLICATION clears it."""
        _in_range("the application id", app_id, _U32)
        self._run(f"automatic start of {app_id:#x}", Operation.AUTOSTART, lambda: self._lib._AutoStart(app_id))

    def reset(self) -> None:
        """Resets the device (without waiting for it) and ends the connection."""
        self._run("reset", Operation.DISCONNECT, self._lib._Reset)

    def write_serial(self, serial_number: int) -> None:
        """Writes the device's 24-bit serial number; the library refuses larger values."""
        _in_range("the serial number", serial_number, _U32)
        self._run(f"write serial number {serial_number:#x}", Operation.WRSN,
                  lambda: self._lib._Wrsn(serial_number))

    # -- texts and compatibility ---------------------------------------------------------------------------
    def serial_text(self, value: int) -> str:
        """The text form of a serial number (e.g. KV47D00291), or SN_INVALID."""
        text = ctypes.create_string_buffer(_SERIAL_TEXT_SIZE)
        self._lib._SnConvertUint2Agt(_in_range("the serial number", value, _U32), text, len(text))
        return device_text(text.raw)

    def serial_number(self, text: str) -> int:
        """The serial number a text names: its text form (KV47D00291, any case), or a number (decimal or 0x...).
        ValueError for anything else."""
        value = _serial_text_value(text.strip())
        # The library's own text of the number is the judge of a text form.
        if value is not None and self.serial_text(value) == text.strip().upper():
            return value
        try:
            return int(text, 16) if text.strip().lower().startswith("0x") else int(text, 10)
        except ValueError:
            raise ValueError(f"{text!r} is neither a number nor a serial number text like KV47D00291") from None

    def hint(self, flags: Union[Hint, int], device: Optional[DeviceInfo] = None) -> str:
        """The library's description of a device; the connected one (with its flash and applications, where
        flags ask for them) by default."""
        text = ctypes.create_string_buffer(_HINT_SIZE)
        if device is None:
            self._lib._GetHintAboutDROVA(int(flags), self._lib._GetConnectInfo(), text, len(text))
        else:
            record = TDROVAInfo.from_buffer_copy(device.block)
            self._lib._GetHintAboutDROVA(int(flags), ctypes.byref(record), text, len(text))
        return device_text(text.raw)

    def compatible_fos_version(self) -> int:
        """The PC-FOS interface version the library speaks."""
        return int(self._lib._GetCompatibleFOSVersions())

    def is_compatible_fos_ifc_version(self, version: int) -> bool:
        return bool(self._lib._IsCompatibleFOSIfcVersion(_in_range("the version", version, _U32)) == 1)

    def has_compatible_fw_version(self, version: int, app_id: int) -> bool:
        """Whether the connected device's flash table (last read) holds app_id in exactly this version."""
        _in_range("the version", version, _U32)
        _in_range("the application id", app_id, _U32)
        return bool(self._lib._HasCompatibleFWVersion(version, app_id))

    def is_supported_fw_feature(self, feature: int) -> bool:
        """Whether the application last started supports the feature."""
        return bool(self._lib._IsSupportedFwFeature(_in_range("the feature", feature, _INT)) == 1)

    def consistency_check(self, sectors: Optional[Sequence[FlashSector]] = None,
                          state: int = 1) -> Dict[int, List[str]]:
        """Checks every non-empty record (of flash_sectors() by default) against the others, over one tree of
        them all; returns {sector: [marked fields]} for the records the library marked."""
        records = self.flash_sectors() if sectors is None else list(sectors)
        tree = FirmwareTree(records)
        for k, record in enumerate(records):
            if not record.empty:
                self._lib._ConsistencyCheck(ctypes.byref(tree.tree), tree.handle_of(k), state)
        marked = {record.sector: tree.marks(k, state) for k, record in enumerate(records)}
        return {sector: fields for sector, fields in marked.items() if fields}

    def missing_export(self) -> Optional[str]:
        """None when the loaded library exports every entry point of its table, else the library's message."""
        message = ctypes.create_string_buffer(_EXPORT_MESSAGE_SIZE)
        table = self._lib._Test_Version_Compatibility(self._lib._handle, message, len(message))
        return None if table else device_text(message.raw)

    def _device_info(self, record: TDROVAInfo, index: Optional[int]) -> DeviceInfo:
        return DeviceInfo(name=device_text(record.deviceName), serial_number=record.serialNumber,
                          serial_text=self.serial_text(record.serialNumber), fos_ifc_version=record.fosIfcVersion,
                          hw_version=record.hwVersion, status=record.status,
                          autostart_app_id=record.autostartAppId, device_path=device_text(record.devicePath),
                          index=index, block=bytes(record))
