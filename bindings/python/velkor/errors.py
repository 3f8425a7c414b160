"""The exceptions of the binding: the library's refusals and failures, with its own codes and texts."""
from __future__ import annotations

from typing import Optional, Sequence, Tuple

Reason = Tuple[int, str]  # an error code and the library's text for it


class VelkorError(Exception):
    """A command the library refused or that failed.

    code and text are the library's first reason (None and "" when it gave none); reasons are all of them in
    the order the library posted them. connect_error holds the four words of the device's refusal of a connect
    or disconnect when that is the reason."""

    def __init__(self, message: str, reasons: Sequence[Reason] = (),
                 connect_error: Optional[Tuple[int, int, int, int]] = None) -> None:
        super().__init__(message)
        self.reasons: Tuple[Reason, ...] = tuple(reasons)
        self.code: Optional[int] = self.reasons[0][0] if self.reasons else None
        self.text: str = self.reasons[0][1] if self.reasons else ""
        self.connect_error = connect_error


class ChecksumMismatch(VelkorError):
    """The device found another checksum than the one asked for: the bytes there differ from those sent. The
    library posts no reason for it (code is None); record is the record's number (from 1) in a download."""

    def __init__(self, message: str, record: Optional[int] = None) -> None:
        super().__init__(message)
        self.record = record


class CommandTimeout(VelkorError):
    """The library reported no outcome of a command within the session's timeout."""


class LibraryNotFoundError(VelkorError):
    """No usable copy of the library was found; tried lists each path or name with the reason it failed."""

    def __init__(self, tried: Sequence[Tuple[str, str]]) -> None:
        lines = "\n".join(f"  {where}: {why}" for where, why in tried)
        super().__init__("the Velkor library (doduzerez) could not be loaded; tried:\n" + lines +
                         "\nSet VELKOR_LIBRARY to the library's path, or install the library where the system "
                         "finds it.")
        self.tried: Tuple[Tuple[str, str], ...] = tuple(tried)
