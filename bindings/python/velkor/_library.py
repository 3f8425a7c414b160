"""Finding and loading the library, and the prototypes of the exports the binding calls."""
from __future__ import annotations

import ctypes
import os
import sys
from pathlib import Path
from typing import Dict, List, Optional, Tuple, Union

from ._native import BinBlock, Callback, TAddress, TDCTree, TDROVAInfo, TStrings, u8, u32, u64
from .errors import LibraryNotFoundError

ENVIRONMENT_VARIABLE = "VELKOR_LIBRARY"

_c_int, _c_void_p, _c_char_p = ctypes.c_int, ctypes.c_void_p, ctypes.c_char_p

PROTOTYPES: Dict[str, Tuple[object, List[object]]] = {
    "_Initialize": (_c_int, [Callback, _c_void_p, ctypes.c_uint]),
    "_Close": (_c_int, []),
    "_IsConnected": (_c_int, []),
    "_GetRandomId": (_c_int, []),
    "_GetConnectInfo": (ctypes.POINTER(TDROVAInfo), []),
    "_GetErrorString": (_c_char_p, [_c_int]),
    "_GetConnectErrorInfo": (ctypes.POINTER(u32), []),
    "_Connect": (_c_int, [_c_int, _c_int, u8]),
    "_Disconnect": (_c_int, []),
    "_FindDROVAs": (_c_int, [_c_int, _c_int, _c_int]),
    "_GetFoundDevices": (_c_int, [ctypes.POINTER(TDROVAInfo), _c_int]),
    "_StartNetworkScanning": (_c_int, [ctypes.POINTER(TStrings)]),
    "_StopNetworkScanning": (_c_int, []),
    "_Address": (_c_int, [TAddress]),
    "_CommRefresh": (_c_int, []),
    "_DeviceClose": (None, []),
    "_GetDeviceName": (_c_void_p, []),  # the caller's block, freed with free()
    "_ReadInfo": (_c_int, []),
    "_FlashInfo": (_c_int, []),
    "_AppInfo": (_c_int, [u32]),
    "_GetFlashSectors": (_c_int, [_c_void_p, _c_int]),
    "_IsFlashTableComplete": (_c_int, []),
    "_BinListCreate": (_c_void_p, []),
    "_BinListAdd": (_c_int, [_c_void_p, ctypes.POINTER(BinBlock)]),
    "_BinListFree": (None, [_c_void_p]),
    "_Erase": (_c_int, [u8]),
    "_Download": (_c_int, [_c_int, _c_void_p]),
    "_StopDownload": (_c_int, []),
    "_PrgData": (_c_int, [ctypes.POINTER(BinBlock)]),
    "_Program": (_c_int, [u64, _c_int]),
    "_CheckSum": (_c_int, [u64, u32, u8, _c_int]),
    "_StartApp": (_c_int, [u32]),
    "_AutoStart": (_c_int, [u32]),
    "_Reset": (_c_int, []),
    "_Wrsn": (_c_int, [u32]),
    "_GetCompatibleFOSVersions": (u32, []),
    "_IsCompatibleFOSIfcVersion": (_c_int, [u32]),
    "_HasCompatibleFWVersion": (u8, [u32, u32]),
    "_IsSupportedFwFeature": (_c_int, [_c_int]),
    "_SnConvertUint2Agt": (_c_int, [u32, _c_char_p, _c_int]),
    "_GetHintAboutDROVA": (None, [_c_int, ctypes.POINTER(TDROVAInfo), _c_char_p, _c_int]),
    "_ConsistencyCheck": (None, [ctypes.POINTER(TDCTree), _c_void_p, _c_int]),
    "_Test_Version_Compatibility": (ctypes.POINTER(_c_void_p), [_c_void_p, _c_char_p, _c_int]),
}


def _file_names() -> Tuple[str, ...]:
    if sys.platform == "win32":
        return ("doduzerez.dll",)
    return ("libdoduzerez.so.0", "libdoduzerez.so")


def candidates(explicit: Union[str, "os.PathLike[str]", None] = None) -> List[str]:
    """Where the library is looked for, in order. A path given by the caller or in VELKOR_LIBRARY is the only
    one tried: a copy found elsewhere instead would hide the mistake."""
    chosen = os.fspath(explicit) if explicit is not None else os.environ.get(ENVIRONMENT_VARIABLE)
    if chosen:
        return [chosen]
    beside = Path(__file__).resolve().parent
    # Plain names are looked up on the system's search path.
    return [str(beside / name) for name in _file_names()] + list(_file_names())


def _bind(library: ctypes.CDLL) -> Optional[str]:
    """Sets every prototype; the name of the first missing export, if any."""
    for name, (result, arguments) in PROTOTYPES.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            return name
        function.restype, function.argtypes = result, arguments
    return None


def load_library(explicit: Union[str, "os.PathLike[str]", None] = None) -> ctypes.CDLL:
    """The first candidate that loads and exports everything the binding calls."""
    tried: List[Tuple[str, str]] = []
    for where in candidates(explicit):
        try:
            library = ctypes.CDLL(where)
        except OSError as error:
            tried.append((where, str(error) or type(error).__name__))
            continue
        missing = _bind(library)
        if missing is None:
            return library
        tried.append((where, f"loads, but lacks {missing} (an older build of the library?)"))
    raise LibraryNotFoundError(tried)


def c_free() -> "ctypes._CFuncPtr":
    """free() of the C runtime the library allocates with."""
    runtime = ctypes.cdll.msvcrt if sys.platform == "win32" else ctypes.CDLL(None)
    free = runtime.free
    free.restype, free.argtypes = None, [ctypes.c_void_p]
    return free
