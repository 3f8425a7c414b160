"""The Velkor Control API from Python: find, claim and service DROVA devices through the library doduzerez.

    from velkor import Hint, Session

    with Session() as session:                  # finds the library, starts the session
        device = session.search()[0]            # a DeviceInfo
        session.connect(device)
        print(session.hint(Hint.NAME | Hint.FLASH_SECTORS))
        sectors = session.flash_info()
        session.download([(0x1000, image)], target=len(sectors), progress=print)
        assert session.verify([(0x1000, image)], target=len(sectors))
"""
from ._library import ENVIRONMENT_VARIABLE, candidates, load_library
from .codes import DONT_CARE, NO_APPLICATION, ErrorCode, Hint, Operation
from .errors import ChecksumMismatch, CommandTimeout, LibraryNotFoundError, VelkorError
from .events import Event, EventStream
from .records import DeviceInfo, DownloadProgress, FlashSector, version_text
from .session import Block, Session
from .stream import RecordCheck, StreamRecord, VerifyResult, record_checksum, stream_records

__version__ = "0.1.0"

__all__ = ["Block", "ChecksumMismatch", "CommandTimeout", "DONT_CARE", "DeviceInfo", "DownloadProgress",
           "ENVIRONMENT_VARIABLE", "ErrorCode", "Event", "EventStream", "FlashSector", "Hint", "LibraryNotFoundError", "NO_APPLICATION",
           "Operation", "RecordCheck", "Session", "StreamRecord", "VelkorError", "VerifyResult", "candidates",
           "load_library", "record_checksum", "stream_records", "version_text"]
