"""The Velkor Control API from Python, through ctypes (standard library only).

    from velkor import Velkor

    with Velkor() as api:                 # loads the library, starts a session
        api.search(connect=True)          # the library connects to the device found
        print(api.hint(Velkor.HINT_NAME | Velkor.HINT_SERIAL_NUMBER))
        api.flash_info()
        for sector in api.flash_sectors():    # the table, parsed
            print(sector.sector, sector.kind, sector.name)
        print(api.consistency_check())        # {sector: ["versionC", ...]} of what it marked
        api.disconnect()

Every command waits for the event pair that ends it and raises VelkorError
with the library's own error text when it is refused or fails. Events arrive
on a thread of the library; the callback queues them (after on_library_event).
"""
import collections
import ctypes
import os
import queue
import struct
import sys
import time

c_u8, c_u32 = ctypes.c_uint8, ctypes.c_uint32


class TDROVAInfo(ctypes.Structure):
    """The 348-byte device information block (packed, host order)."""
    _pack_ = 1
    _fields_ = [("fosIfcVersion", c_u32), ("deviceName", ctypes.c_char * 64), ("status", c_u32),
                ("serialNumber", c_u32), ("hwVersion", c_u32), ("autostartAppId", c_u32),
                ("reserved", c_u32), ("devicePath", ctypes.c_char * 260)]


class BinBlock(ctypes.Structure):
    _fields_ = [("Address", c_u32), ("Length", c_u32), ("Data", ctypes.POINTER(c_u8))]


assert ctypes.sizeof(TDROVAInfo) == 348

CALLBACK = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int)  # cdecl on every platform

# The 168-byte information block of a flash sector: big-endian words at these offsets.
INFO_BLOCK_SIZE = 168
INFO_ID, INFO_NAME, INFO_VERSION_A, INFO_VERSION_B, INFO_FW_VERSION, INFO_VERSION_C, INFO_VERSION_D = \
    0, 4, 72, 76, 88, 92, 96
EMPTY_SECTOR_ID = 0xFFFFFFFF


class FlashSector(collections.namedtuple("FlashSector", "sector id name version_a version_b version_c version_d "
                                                        "fw_version raw")):
    """One sector of the flash table: versions are packed A.B.C.D words, raw the block as the device sent it."""

    @classmethod
    def from_block(cls, sector, raw):
        def word(offset):
            return struct.unpack_from(">I", raw, offset)[0]
        name = raw[INFO_NAME:INFO_NAME + 64].split(b"\0", 1)[0].decode("latin-1")
        return cls(sector, word(INFO_ID), name, word(INFO_VERSION_A), word(INFO_VERSION_B), word(INFO_VERSION_C),
                   word(INFO_VERSION_D), word(INFO_FW_VERSION), bytes(raw))

    @property
    def empty(self):
        return self.id == EMPTY_SECTOR_ID

    @property
    def kind(self):
        return "empty" if self.empty else f"kind-{self.id}" if self.id <= 2 else "application"


def version_text(word):
    return "Don't care" if word == 0xFFFEFDFC else ".".join(str(word >> shift & 0xFF) for shift in (24, 16, 8, 0))


# The host tree of _ConsistencyCheck: a struct of function pointers over opaque node handles.
_NODE = ctypes.c_void_p
_TREE_CALL = {"getFirstNode": ctypes.CFUNCTYPE(_NODE, ctypes.c_void_p),
              "getFirstChild": ctypes.CFUNCTYPE(_NODE, ctypes.c_void_p, _NODE),
              "getNextSibling": ctypes.CFUNCTYPE(_NODE, ctypes.c_void_p, _NODE),
              "getParent": ctypes.CFUNCTYPE(_NODE, ctypes.c_void_p, _NODE),
              "getData": ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, _NODE),
              "setStateIndex": ctypes.CFUNCTYPE(None, ctypes.c_void_p, _NODE, ctypes.c_int)}


class TDCTree(ctypes.Structure):
    _fields_ = [("context", ctypes.c_void_p)] + list(_TREE_CALL.items())


class _EntryRecord(ctypes.Structure):
    """What a top-level node's data points at: the check reads the block pointer in its first field."""
    _fields_ = [("block", ctypes.POINTER(c_u8))]


class FirmwareTree:
    """One top-level node per sector; below it a group per field kind (id, versionB, C, D), each with its field
    node, whose data is the field's offset. Handles are node numbers + 1, so none is null."""
    FIELDS = (("id", INFO_ID), ("versionB", INFO_VERSION_B), ("versionC", INFO_VERSION_C),
              ("versionD", INFO_VERSION_D))

    def __init__(self, sectors):
        self.data, self.parent, self.children, self.state = [], [], [], []
        self.tops, self._keep = [], []
        for sector in sectors:
            block = (c_u8 * INFO_BLOCK_SIZE).from_buffer_copy(sector.raw)
            record = _EntryRecord(ctypes.cast(block, ctypes.POINTER(c_u8)))
            self._keep += [block, record]
            top = self._add(None, ctypes.addressof(record))
            self.tops.append(top)
            for _, offset in self.FIELDS:
                self._add(self._add(top, None), offset)
        calls = {"getFirstNode": lambda context: self._handle(self.tops[0] if self.tops else None),
                 "getFirstChild": lambda context, node: self._handle(self._first(self.children[node - 1])),
                 "getNextSibling": lambda context, node: self._handle(self._after(node - 1)),
                 "getParent": lambda context, node: self._handle(self.parent[node - 1]),
                 "getData": lambda context, node: self.data[node - 1],
                 "setStateIndex": lambda context, node, state: self.state.__setitem__(node - 1, state)}
        self._calls = {name: _TREE_CALL[name](call) for name, call in calls.items()}  # kept alive with the tree
        self.tree = TDCTree(None, **self._calls)

    def _add(self, parent, data):
        self.data.append(data)
        self.parent.append(parent)
        self.children.append([])
        self.state.append(None)
        node = len(self.data) - 1
        if parent is not None:
            self.children[parent].append(node)
        return node

    @staticmethod
    def _first(nodes):
        return nodes[0] if nodes else None

    @staticmethod
    def _handle(node):
        return None if node is None else node + 1

    def _after(self, node):
        siblings = self.tops if self.parent[node] is None else self.children[self.parent[node]]
        at = siblings.index(node) + 1
        return siblings[at] if at < len(siblings) else None

    def marks(self, k, state):
        """The fields marked below sector k: "id" when only the id group is (a duplicate id)."""
        groups = self.children[self.tops[k]]
        fields = [name for (name, _), group in zip(self.FIELDS, groups)
                  if name != "id" and self.state[self.children[group][0]] == state]
        return (["id"] if self.state[groups[0]] == state else []) + fields


class VelkorError(Exception):
    def __init__(self, message, code=None):
        super().__init__(message)
        self.code = code  # the library's error code, when it gave one


class Velkor:
    # Event operations (a of the pair (a, b)); b is 0 for success, 1 for failure.
    EV_ADDRESS, EV_AUTOSTART, EV_CHECKSUM, EV_DOWNLOAD, EV_ERASE, EV_PRGDATA, EV_PROGRAM, EV_WRSN, \
        EV_APPINFO, EV_CONNECT, EV_DISCONNECT, EV_FLASHINFO, EV_SEARCH, EV_READINFO, EV_STARTAPP, \
        EV_ERROR = range(16)
    HINT_NAME, HINT_SERIAL_NUMBER, HINT_HW_VERSION, HINT_FOS_IFC_VERSION, HINT_AUTOSTART = 0x2, 0x4, 0x8, 0x10, 0x20
    HINT_FIRMWARE_APPS, HINT_FLASH_SECTORS, HINT_INDENT, HINT_BOLD = 0x800, 0x1000, 0x2000, 0x4000
    ERR_INVALID_ANSWER = 6

    def __init__(self, library=None, timeout=15.0):
        if library is None:
            library = "doduzerez.dll" if sys.platform == "win32" else "libdoduzerez.so"
        self.lib = ctypes.CDLL(library)
        self.timeout = timeout
        self._events = queue.Queue()
        self._callback = CALLBACK(self._deliver)  # kept alive with the object
        self.on_event = None  # called with (a, b) for every event taken from the queue
        # Called with (a, b) on the library's thread before the event is queued: keep it short. It may call
        # stop_download(), which a command's own thread cannot while _Download has not returned.
        self.on_library_event = None
        self._stopped = False  # stop_download() ended the download under way
        L = self.lib
        signatures = {
            "_Initialize": (ctypes.c_int, [CALLBACK, ctypes.c_void_p, ctypes.c_uint]),
            "_Close": (ctypes.c_int, []),
            "_IsConnected": (ctypes.c_int, []),
            "_GetErrorString": (ctypes.c_char_p, [ctypes.c_int]),
            "_GetConnectInfo": (ctypes.POINTER(TDROVAInfo), []),
            "_FindDROVAs": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, ctypes.c_int]),
            "_GetFoundDevices": (ctypes.c_int, [ctypes.POINTER(TDROVAInfo), ctypes.c_int]),
            "_Connect": (ctypes.c_int, [ctypes.c_int, ctypes.c_int, c_u8]),
            "_Disconnect": (ctypes.c_int, []),
            "_ReadInfo": (ctypes.c_int, []),
            "_FlashInfo": (ctypes.c_int, []),
            "_GetFlashSectors": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
            "_ConsistencyCheck": (None, [ctypes.POINTER(TDCTree), _NODE, ctypes.c_int]),
            "_Erase": (ctypes.c_int, [c_u8]),
            "_BinListCreate": (ctypes.c_void_p, []),
            "_BinListAdd": (ctypes.c_int, [ctypes.c_void_p, ctypes.POINTER(BinBlock)]),
            "_BinListFree": (None, [ctypes.c_void_p]),
            "_Download": (ctypes.c_int, [ctypes.c_int, ctypes.c_void_p]),
            "_StopDownload": (ctypes.c_int, []),
            "_StartApp": (ctypes.c_int, [c_u32]),
            "_SnConvertUint2Agt": (ctypes.c_int, [c_u32, ctypes.c_char_p, ctypes.c_int]),
            "_GetHintAboutDROVA": (None, [ctypes.c_int, ctypes.POINTER(TDROVAInfo), ctypes.c_char_p, ctypes.c_int]),
        }
        for name, (result, arguments) in signatures.items():
            function = getattr(L, name)
            function.restype, function.argtypes = result, arguments

    # -- session -------------------------------------------------------------
    def __enter__(self):
        if self.lib._Initialize(self._callback, None, 0) != 0:
            raise VelkorError("the library refused to start a session")
        return self

    def __exit__(self, *exc):
        try:
            if self.is_connected():
                self.disconnect()
        finally:
            self.lib._Close()

    def error_text(self, code):
        return self.lib._GetErrorString(code).decode("latin-1")

    # -- events --------------------------------------------------------------
    def _deliver(self, a, b):
        if self.on_library_event:
            self.on_library_event(a, b)
        self._events.put((a, b))

    def _next_event(self, deadline):
        event = self._events.get(timeout=max(0.0, deadline - time.monotonic()))
        if self.on_event:
            self.on_event(*event)
        return event

    def wait_for(self, operation, what):
        """Waits for (operation, b); raises VelkorError when b is 1."""
        last_error = None
        deadline = time.monotonic() + self.timeout
        while True:
            try:
                a, b = self._next_event(deadline)
            except queue.Empty:
                raise VelkorError(f"{what}: the library reported nothing for {self.timeout} s") from None
            if a == self.EV_ERROR:
                last_error = b
            elif a == operation:
                if b != 0:
                    code = self.ERR_INVALID_ANSWER if last_error is None else last_error
                    raise VelkorError(f"{what} failed: {self.error_text(code)}", code)
                return
            deadline = time.monotonic() + self.timeout

    def _command(self, what, operation, result):
        if result != 0:
            # The reasons for a refusal are posted before the export returns.
            deadline = time.monotonic() + 0.6
            while True:
                try:
                    a, b = self._next_event(deadline)
                except queue.Empty:
                    raise VelkorError(f"{what} refused by the library") from None
                if a == self.EV_ERROR:
                    raise VelkorError(f"{what} refused: {self.error_text(b)}", b)
        self.wait_for(operation, what)

    # -- commands ------------------------------------------------------------
    def search(self, connect=False, unit_ms=100):
        """Searches; with connect, the library then connects to the device it found last."""
        self.lib._FindDROVAs(0 if connect else -1, 0, unit_ms)  # 1 also when no interface is present
        self.wait_for(self.EV_SEARCH, "search")
        if connect:
            self.wait_for(self.EV_CONNECT, "connect")

    def found_devices(self):
        """The devices the last finished search found, in the order connect() sees them."""
        count = self.lib._GetFoundDevices(None, 0)
        found = (TDROVAInfo * count)()
        return list(found[:self.lib._GetFoundDevices(found, count)])

    def connect(self, serial):
        self._command(f"connect to {serial:#x}", self.EV_CONNECT, self.lib._Connect(serial, 0, 0))

    def disconnect(self):
        self._command("disconnect", self.EV_DISCONNECT, self.lib._Disconnect())

    def is_connected(self):
        return self.lib._IsConnected() == 1

    def read_info(self):
        self._command("read information", self.EV_READINFO, self.lib._ReadInfo())
        return self.connect_info()

    def flash_info(self):
        self._command("flash information", self.EV_FLASHINFO, self.lib._FlashInfo())

    def flash_sectors(self):
        """The table the last flash_info() read, as FlashSector records in sector order."""
        count = self.lib._GetFlashSectors(None, 0)
        blocks = ctypes.create_string_buffer(max(count, 0) * INFO_BLOCK_SIZE)
        count = min(count, self.lib._GetFlashSectors(blocks, count))
        return [FlashSector.from_block(k, blocks.raw[k * INFO_BLOCK_SIZE:(k + 1) * INFO_BLOCK_SIZE])
                for k in range(count)]

    def consistency_check(self, sectors=None, state=1):
        """Runs the library's check for every non-empty sector (of flash_sectors() by default) over one tree of
        the whole table; returns {sector: [marked fields]} for the sectors it marked."""
        sectors = self.flash_sectors() if sectors is None else list(sectors)
        tree = FirmwareTree(sectors)
        for k, sector in enumerate(sectors):
            if not sector.empty:
                self.lib._ConsistencyCheck(ctypes.byref(tree.tree), tree.tops[k] + 1, state)
        marked = {sector.sector: tree.marks(k, state) for k, sector in enumerate(sectors)}
        return {sector: fields for sector, fields in marked.items() if fields}

    def erase(self, sector):
        self._command(f"erase sector {sector}", self.EV_ERASE, self.lib._Erase(sector))

    def download(self, target, blocks):
        """Writes [(address, bytes), ...] into area target (flash_info first). True when it ran to its end,
        False when stop_download() ended it."""
        handle = self.lib._BinListCreate()
        try:
            for address, data in blocks:
                buffer = (c_u8 * len(data)).from_buffer_copy(data)
                if self.lib._BinListAdd(handle, ctypes.byref(BinBlock(address, len(data), buffer))) != 0:
                    raise VelkorError("the library could not take a block")
            self._stopped = False
            self._command("download", self.EV_DOWNLOAD, self.lib._Download(target, handle))
            return True
        except VelkorError:
            if self._stopped:
                return False
            raise
        finally:
            self.lib._BinListFree(handle)

    def stop_download(self):
        """Stops the download under way after its current step (from any thread, on_event included); False
        when none runs."""
        if self.lib._StopDownload() != 0:
            return False
        self._stopped = True
        return True

    def start_app(self, app_id):
        self._command(f"start application {app_id}", self.EV_STARTAPP, self.lib._StartApp(app_id))

    # -- texts ---------------------------------------------------------------
    def connect_info(self):
        return self.lib._GetConnectInfo().contents

    def hint(self, flags, info=None):
        """The library's description of a device block; the connected device by default."""
        text = ctypes.create_string_buffer(65536)
        target = ctypes.byref(info) if info is not None else self.lib._GetConnectInfo()
        self.lib._GetHintAboutDROVA(flags, target, text, len(text))
        return text.value.decode("latin-1")

    def serial_text(self, value):
        text = ctypes.create_string_buffer(32)
        self.lib._SnConvertUint2Agt(value, text, len(text))
        return text.value.decode("latin-1")


def default_library_path():
    """The library beside this file, if there is one, else the bare name."""
    name = "doduzerez.dll" if sys.platform == "win32" else "libdoduzerez.so"
    here = os.path.join(os.path.dirname(os.path.abspath(__file__)), name)
    return here if os.path.exists(here) else name
