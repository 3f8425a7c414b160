"""Search, list the devices found, connect to the first, describe the device and its flash, check the firmware
in it, stop a download into the staging area after its first data block, disconnect.

With the package installed (or PYTHONPATH=bindings/python), against the simulated device of the firmware
table the C example uses:

    drova --sim examples/firmware_table.json with-sim "$(command -v python3)" \
        bindings/python/examples/velkor_example.py --library build/linux/src/libdoduzerez.so
"""
from __future__ import annotations

import argparse
import sys
from typing import List

from velkor import DownloadProgress, Event, FlashSector, Hint, Session, VelkorError, version_text


def print_table(session: Session, sectors: List[FlashSector]) -> None:
    marked = session.consistency_check(sectors)
    for sector in sectors:
        if sector.empty:
            print(f"sector {sector.sector}: empty")
            continue
        versions = " ".join(f"{label} {version_text(word)}" for label, word in (
            ("A", sector.version_a), ("B", sector.version_b), ("C", sector.version_c), ("D", sector.version_d)))
        fields = marked.get(sector.sector)
        print(f"sector {sector.sector}: {sector.kind} {sector.id} {sector.name!r} firmware "
              f"{version_text(sector.fw_version)}, {versions}: {'marked ' + ', '.join(fields) if fields else 'fits'}")
    print(f"area {len(sectors)}: staging area")


def stopped_download(session: Session, staging_area: int) -> None:
    """Sixteen blocks into the staging area, stopped once the first one's data is sent: a GUI's Cancel button
    would call stop_download() from its own thread the same way."""
    def stop_after_first(progress: DownloadProgress) -> None:
        if progress.blocks_sent == 1:
            session.stop_download()

    finished = session.download([(0x1000 * k, bytes(range(200))) for k in range(16)], staging_area,
                                progress=stop_after_first)
    print("download finished" if finished else "download stopped after its first data block")


def print_event(event: Event) -> None:
    print(f"event ({event.a:d},{event.b})")


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").splitlines()[0])
    parser.add_argument("--library", help="path of libdoduzerez.so / doduzerez.dll (default: VELKOR_LIBRARY, "
                                          "beside the package, the system's search path)")
    args = parser.parse_args()
    try:
        with Session(args.library, on_event=print_event) as session:
            found = session.search()
            for device in found:
                print(f"found {device.index}: {device.name} ({device.serial_text})")
            if not found:
                print("velkor_example: no device found", file=sys.stderr)
                return 1
            session.connect(found[0])
            info = session.read_info()
            print(f"connected to {info.name} ({info.serial_text})")
            print(session.hint(Hint.NAME | Hint.HW_VERSION | Hint.FOS_IFC_VERSION), end="")
            sectors = session.flash_info()
            print(session.hint(Hint.FLASH_SECTORS | Hint.INDENT), end="")
            print_table(session, sectors)
            stopped_download(session, len(sectors))
            session.disconnect()
    except VelkorError as error:
        print(f"velkor_example: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
