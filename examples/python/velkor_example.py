"""Search, list the devices found, connect to the first, describe the device and its flash, disconnect.

    python3 velkor_example.py --library build/linux/src/libdoduzerez.so
    drova with-sim "$(command -v python3)" velkor_example.py --library ...   # against a simulated device
"""
import argparse
import sys

from velkor import Velkor, VelkorError, default_library_path


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
            api.disconnect()
    except VelkorError as error:
        print(f"velkor_example: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
