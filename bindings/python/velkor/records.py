"""What the library reports, as Python records: devices, flash sectors, download progress."""
from __future__ import annotations

import struct
from dataclasses import dataclass, field
from typing import Optional

from ._native import INFO_BLOCK_SIZE
from .codes import DONT_CARE, NO_APPLICATION

# Byte offsets of the fields of a 168-byte information block, whose words are big-endian.
INFO_ID, INFO_NAME, INFO_VERSION_A, INFO_VERSION_B, INFO_FW_VERSION, INFO_VERSION_C, INFO_VERSION_D = \
    0, 4, 72, 76, 88, 92, 96
_NAME_SIZE = 64


def version_text(word: int) -> str:
    """A packed A.B.C.D version as text; the wildcard as "Don't care"."""
    return "Don't care" if word == DONT_CARE else ".".join(str(word >> shift & 0xFF) for shift in (24, 16, 8, 0))


def device_text(raw: bytes) -> str:
    """A zero-terminated text the device sent, one character per byte."""
    return raw.split(b"\0", 1)[0].decode("latin-1")


@dataclass(frozen=True)
class DeviceInfo:
    """A device information block: an entry of the found list (index is its position, which connect() passes
    on) or the connected-device record (index None)."""
    name: str
    serial_number: int
    serial_text: str  # e.g. KV47D00291, or SN_INVALID for a number without text form
    fos_ifc_version: int
    hw_version: int
    status: int  # 2: the FOS interface version is not compatible
    autostart_app_id: int  # NO_APPLICATION for none
    device_path: str
    index: Optional[int]
    block: bytes = field(repr=False)  # the 348 bytes as the library holds them


@dataclass(frozen=True)
class FlashSector:
    """One sector of the flash table; versions are packed A.B.C.D words, raw the block as the device sent it. An
    empty sector has no name ("")."""
    sector: int
    id: int
    name: str
    version_a: int
    version_b: int
    version_c: int
    version_d: int
    fw_version: int
    raw: bytes = field(repr=False)

    @classmethod
    def from_block(cls, sector: int, raw: bytes) -> "FlashSector":
        if len(raw) != INFO_BLOCK_SIZE:
            raise ValueError(f"an information block has {INFO_BLOCK_SIZE} bytes, not {len(raw)}")

        def word(offset: int) -> int:
            value: int = struct.unpack_from(">I", raw, offset)[0]
            return value

        block_id = word(INFO_ID)
        # An erased sector's bytes are 0xFF: it holds no name.
        name = "" if block_id == NO_APPLICATION else device_text(raw[INFO_NAME:INFO_NAME + _NAME_SIZE])
        return cls(sector, block_id, name,
                   word(INFO_VERSION_A), word(INFO_VERSION_B), word(INFO_VERSION_C), word(INFO_VERSION_D),
                   word(INFO_FW_VERSION), bytes(raw))

    @property
    def empty(self) -> bool:
        return self.id == NO_APPLICATION

    @property
    def kind(self) -> str:
        """"empty", "kind-0" to "kind-2" for the system kinds, else "application"."""
        return "empty" if self.empty else f"kind-{self.id}" if self.id <= 2 else "application"


@dataclass(frozen=True)
class DownloadProgress:
    """How far a download is: a block counts once the library has sent all its data."""
    blocks_sent: int
    blocks_total: int
    bytes_sent: int
    bytes_total: int
