"""Search, list the devices found, connect to the first, describe the device and its flash, check the firmware
in it, stop a download into the staging area after its first data block, disconnect.

    python3 velkor_example.py --library build/linux/src/libdoduzerez.so
    drova --sim firmware_table.json with-sim "$(command -v python3)" velkor_example.py --library ...
"""
import argparse
import sys

from velkor import Velkor, VelkorError, default_library_path, version_text


def print_table(api):
    sectors = api.flash_sectors()
    marked = api.consistency_check(sectors)
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
    return len(sectors)


def stopped_download(api, staging_area):
    """Sixteen records into the staging area, stopped after the first data block. _Download returns only once
    most of a download has run, so the stop comes from the library's thread (a GUI's Cancel button would call
    stop_download() from its own)."""
    api.on_library_event = lambda a, b: a == Velkor.EV_PRGDATA and b == 0 and api.stop_download()
    try:
        finished = api.download(staging_area, [(0x1000 * k, bytes(range(200))) for k in range(16)])
    finally:
        api.on_library_event = None
    print("download finished" if finished else "download stopped after its first data block")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--library", default=default_library_path(), help="path of libdoduzerez.so / doduzerez.dll")
    args = parser.parse_args()
    try:
        with Velkor(args.library) as api:
            api.on_event = lambda a, b: print(f"event ({a},{b})")
            api.search()
            found = api.found_devices()
            for index, device in enumerate(found):
                print(f"found {index}: {device.deviceName.decode()} ({api.serial_text(device.serialNumber)})")
            api.connect(found[0].serialNumber)
            info = api.read_info()
            print(f"connected to {info.deviceName.decode()} ({api.serial_text(info.serialNumber)})")
            print(api.hint(Velkor.HINT_NAME | Velkor.HINT_HW_VERSION | Velkor.HINT_FOS_IFC_VERSION), end="")
            api.flash_info()
            print(api.hint(Velkor.HINT_FLASH_SECTORS | Velkor.HINT_INDENT), end="")
            stopped_download(api, print_table(api))
            api.disconnect()
    except VelkorError as error:
        print(f"velkor_example: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
