"""The records a download writes, as the library lays them out (see the header's comment on _Download), and the
checksum the device keeps of each: what verify() asks the device for."""
from __future__ import annotations

import struct
from dataclasses import dataclass
from typing import List, Optional, Sequence, Tuple

RECORD_HEADER = 8  # the block's address and length, big-endian words
AREA_WITHOUT_END_RECORD = 1


def record_checksum(data: bytes) -> int:
    """The 8-bit one's-complement checksum of a record: its bytes added with end-around carry, complemented."""
    total = sum(data)
    # 256 is 1 modulo 255, so folding the carries into the low byte leaves the sum modulo 255, 255 for a
    # non-zero multiple of it and 0 only when every byte is.
    folded = 0 if total == 0 else (total - 1) % 255 + 1
    return ~folded & 0xFF


@dataclass(frozen=True)
class StreamRecord:
    """One record of the download stream: where it lies in the target area, its length (header and data) and its
    checksum. number counts from 1 in stream order; address is its block's, None for the end record."""
    number: int
    offset: int
    length: int
    checksum: int
    address: Optional[int]


def stream_records(blocks: Sequence[Tuple[int, bytes]], target: int) -> List[StreamRecord]:
    """The records a download of blocks into target writes, end record included (none for area 1)."""
    records: List[StreamRecord] = []
    offset = 0

    def add(address: Optional[int], data: bytes) -> None:
        nonlocal offset
        record = struct.pack(">II", address or 0, len(data)) + data
        records.append(StreamRecord(len(records) + 1, offset, len(record), record_checksum(record), address))
        offset += len(record)

    for address, data in blocks:
        add(address, data)
    if target != AREA_WITHOUT_END_RECORD:
        add(None, b"")
    return records


def mismatch_text(record: int) -> str:
    return f"checksum of record {record} does not match"


@dataclass(frozen=True)
class RecordCheck:
    """The device's verdict on one record: matches when it found the record's checksum where the download put it."""
    record: StreamRecord
    matches: bool

    @property
    def text(self) -> str:
        return f"checksum of record {self.record.number} matches" if self.matches else mismatch_text(
            self.record.number)


@dataclass(frozen=True)
class VerifyResult:
    """What verify() found: a verdict per record of the stream, in stream order."""
    target: int
    records: Tuple[RecordCheck, ...]

    @property
    def mismatched(self) -> List[RecordCheck]:
        return [check for check in self.records if not check.matches]

    @property
    def matches(self) -> bool:
        return not self.mismatched

    def __bool__(self) -> bool:
        return self.matches
