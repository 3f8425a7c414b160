"""The C ABI's types in ctypes terms, with the layouts and sizes the header gives them."""
from __future__ import annotations

import ctypes

u8 = ctypes.c_uint8
u32 = ctypes.c_uint32
u64 = ctypes.c_uint64

# cdecl on every platform, the library's calling convention.
Callback = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_int)


class TDROVAInfo(ctypes.Structure):
    """The 348-byte device information block, packed, in host order."""
    _pack_ = 1
    _fields_ = [("fosIfcVersion", u32), ("deviceName", ctypes.c_char * 64), ("status", u32),
                ("serialNumber", u32), ("hwVersion", u32), ("autostartAppId", u32),
                ("reserved", u32), ("devicePath", ctypes.c_char * 260)]


class TAddress(ctypes.Structure):
    """An area-qualified address, 5 bytes passed by value."""
    _pack_ = 1
    _fields_ = [("address", u32), ("area", u8)]


class BinBlock(ctypes.Structure):
    _fields_ = [("Address", u32), ("Length", u32), ("Data", ctypes.POINTER(u8))]


StringsClear = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
StringsAdd = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_char_p)


class TStrings(ctypes.Structure):
    """The host string list the repeated search writes its lines into."""
    _fields_ = [("context", ctypes.c_void_p), ("clear", StringsClear), ("add", StringsAdd)]


Node = ctypes.c_void_p
TREE_CALLS = {"getFirstNode": ctypes.CFUNCTYPE(Node, ctypes.c_void_p),
              "getFirstChild": ctypes.CFUNCTYPE(Node, ctypes.c_void_p, Node),
              "getNextSibling": ctypes.CFUNCTYPE(Node, ctypes.c_void_p, Node),
              "getParent": ctypes.CFUNCTYPE(Node, ctypes.c_void_p, Node),
              "getData": ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p, Node),
              "setStateIndex": ctypes.CFUNCTYPE(None, ctypes.c_void_p, Node, ctypes.c_int)}


class TDCTree(ctypes.Structure):
    """A host tree seen through opaque node handles, as _ConsistencyCheck walks it."""
    _fields_ = [("context", ctypes.c_void_p)] + list(TREE_CALLS.items())


class EntryRecord(ctypes.Structure):
    """What a top-level node's data points at: the check reads the block pointer in its first field."""
    _fields_ = [("block", ctypes.POINTER(u8))]


DEVICE_INFO_SIZE = 348
INFO_BLOCK_SIZE = 168
assert ctypes.sizeof(TDROVAInfo) == DEVICE_INFO_SIZE
assert ctypes.sizeof(TAddress) == 5
