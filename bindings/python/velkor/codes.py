"""The numbers of the C ABI: event operations, error codes, hint flags and special values."""
from __future__ import annotations

from enum import IntEnum, IntFlag


class Operation(IntEnum):
    """The a of an event pair (a, b): the operation that finished (b = 0 success, 1 failure), or ERROR."""
    ADDRESS = 0
    AUTOSTART = 1
    CHECKSUM = 2
    DOWNLOAD = 3
    ERASE = 4
    PRGDATA = 5
    PROGRAM = 6
    WRSN = 7
    APPINFO = 8
    CONNECT = 9
    DISCONNECT = 10
    FLASHINFO = 11
    SEARCH = 12
    READINFO = 13
    STARTAPP = 14
    ERROR = 15  # b is an ErrorCode


class ErrorCode(IntEnum):
    """The b of an (ERROR, b) pair; the library's text for each comes from Session.error_text()."""
    NOT_INITIALISED = 0
    CANT_DISCONNECT = 1
    OTHER_HOST = 2
    SERIAL_FORMAT = 3
    DISCONNECT_FIRST = 4
    NOT_CONNECTED = 5
    INVALID_ANSWER = 6  # never delivered: a failure pair without a reason before it stands for this one
    NOT_RESPONDING = 7
    BLOCK_SIZE = 8
    LINK_LOST = 9
    BUSY = 10
    TIMER_DELAY = 11
    NO_SUCH_DEVICE = 12
    OTHER_SUBNET = 13
    FOS_VERSION = 14
    SOCKET = 15
    ETHERNET_FIELD = 16
    APPLICATION = 17  # the device's reason for refusing a start


class Hint(IntFlag):
    """The lines and looks of Session.hint()."""
    NAME = 0x2
    SERIAL_NUMBER = 0x4
    HW_VERSION = 0x8
    FOS_IFC_VERSION = 0x10
    AUTOSTART = 0x20  # connected device only
    ETHERNET = 0x100
    UDP_IP = 0x200
    CONFIGURED_BY = 0x400
    FIRMWARE_APPS = 0x800  # connected device only
    FLASH_SECTORS = 0x1000  # connected device only
    INDENT = 0x2000
    BOLD = 0x4000


NO_APPLICATION = 0xFFFFFFFF  # an automatic start of none; the id of an empty sector
DONT_CARE = 0xFFFEFDFC  # the wildcard version
ENDS_CONNECTION_APP = 10  # starting this application ends the connection
