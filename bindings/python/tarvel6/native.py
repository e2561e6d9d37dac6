"""The library's 42 C functions, one to one, through ctypes.

    from tarvel6 import native
    ip = native.Seta_Ip("192.168.0.50")
    ch = native.W5817(ip, "A")
    if native.Select_Canal(ch) == 1 and native.Update_Canal(ch) == 0:
        print(native.Net_Canal(ch))          # bytes, copied out of the library's buffer

Each function keeps its C name, arguments and result: 32-bit integers, doubles, and texts.
A text argument takes ``str`` (encoded as Windows-1252), ``bytes`` or None; a text result is
``bytes`` (ctypes copies it at once, so the library's buffer is never kept or freed here).
``FirVer`` takes five ``ctypes.c_char_p`` passed with ``ctypes.byref``. Every function is
declared here with its types; ``PROTOTYPES`` lists the C signatures that ``load()`` gives
ctypes.

The library is loaded on first use (or by ``load()``), from the first place that has it:

1. the file named by the environment variable ``TARVEL6_LIBRARY`` (then only that file);
2. next to this package: ``Tarvel6.dll`` on Windows, ``libTarvel6.so.2`` or
   ``libTarvel6.so`` elsewhere;
3. the system's search path (``PATH`` on Windows; ``LD_LIBRARY_PATH``, the linker cache and
   the system folders elsewhere), by the same names.

On Windows the functions are standard-call (``ctypes.WinDLL``, 32-bit Python, as the DLL is
32-bit); elsewhere the C convention (``ctypes.CDLL``). ctypes releases the GIL while a call
waits. Call the library from one thread.
"""

import ctypes
import os
import sys
import threading
from typing import Any, Callable, List, Optional, Tuple, Type, Union

from .errors import LibraryNotFoundError

# What a text argument takes.
TextArgument = Union[str, bytes, None]

_WINDOWS = sys.platform == "win32"
_NAMES = ("Tarvel6.dll",) if _WINDOWS else ("libTarvel6.so.2", "libTarvel6.so")
ENVIRONMENT_VARIABLE = "TARVEL6_LIBRARY"


class _Text:
    """A ``const char*`` argument: ``str`` (Windows-1252), ``bytes`` or ``None``."""

    @classmethod
    def from_param(cls, value: object) -> ctypes.c_char_p:
        if value is None or isinstance(value, bytes):
            return ctypes.c_char_p(value)
        if isinstance(value, str):
            return ctypes.c_char_p(value.encode("cp1252", errors="replace"))
        raise TypeError("a text argument takes str or bytes, not %s" % type(value).__name__)


_I32 = ctypes.c_int32
_U32 = ctypes.c_uint32
_F64 = ctypes.c_double
_TEXT = _Text
_OUT_TEXT = ctypes.POINTER(ctypes.c_char_p)
_RESULT_TEXT = ctypes.c_char_p

# name, result, arguments: the library's exports, in the order of include/tarvel6.h.
PROTOTYPES: Tuple[Tuple[str, Optional[Type[Any]], Tuple[Type[Any], ...]], ...] = (
    ("Seta_Ip", _I32, (_TEXT,)),
    ("Display_Erro", _RESULT_TEXT, (_I32,)),
    ("W5817", _I32, (_I32, _TEXT)),
    ("W5817C", _I32, (_I32, _TEXT)),
    ("W5817Serial", _I32, (_I32,)),
    ("W5817SerialC", _I32, (_I32,)),
    ("WKRT", _I32, (_I32, _TEXT)),
    ("WKRTSerial", _I32, (_I32,)),
    ("WOhaus", _I32, (_I32, _TEXT)),
    ("WOhausSerial", _I32, (_I32,)),
    ("WMSI3360", _I32, (_I32, _TEXT)),
    ("WMSI3360Serial", _I32, (_I32,)),
    ("WMSI6260", _I32, (_I32, _TEXT)),
    ("WMSI6260Serial", _I32, (_I32,)),
    ("Select_Canal", _I32, (_I32,)),
    ("Close_Canal", None, (_I32,)),
    ("Deleta_Canal", None, (_I32,)),
    ("Update_Canal", _I32, (_I32,)),
    ("Update_NoMotion", _I32, (_I32, _I32)),
    ("Gross_Canal", _RESULT_TEXT, (_I32,)),
    ("Net_Canal", _RESULT_TEXT, (_I32,)),
    ("Tare_Canal", _RESULT_TEXT, (_I32,)),
    ("Total_Canal", _RESULT_TEXT, (_I32,)),
    ("Contadora_Canal", _RESULT_TEXT, (_I32,)),
    ("Estado_Canal", _RESULT_TEXT, (_I32,)),
    ("Estado_EmMovimento", _RESULT_TEXT, (_I32,)),
    ("Gross_Canal_Float", _F64, (_I32,)),
    ("Net_Canal_Float", _F64, (_I32,)),
    ("Tare_Canal_Float", _F64, (_I32,)),
    ("Unidade_Canal", _RESULT_TEXT, (_I32,)),
    ("LePesoConsecutivo", _I32, (_I32, _I32, _I32)),
    ("DIO_InPort", _I32, (_I32,)),
    ("DIO_InPortStr", _RESULT_TEXT, (_I32,)),
    ("DIO_InBit", _I32, (_I32, _I32)),
    ("DIO_InBitStr", _I32, (_I32, _I32)),
    ("DIO_OutPort", _I32, (_I32, _I32)),
    ("DIO_OutPortStr", _I32, (_I32, _TEXT)),
    ("DIO_OutBit", _I32, (_I32, _I32, _I32)),
    ("DIO_OutBitStr", _I32, (_I32, _I32, _TEXT)),
    ("ProgSerial", _I32, (_I32, _I32, _U32, _I32, _U32)),
    ("ClrBufRx", _I32, (_I32, _TEXT)),
    ("ClrBufTx", _I32, (_I32, _TEXT)),
    ("FirVer", None, (_OUT_TEXT, _OUT_TEXT, _OUT_TEXT, _OUT_TEXT, _OUT_TEXT)),
)

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None
_path: Optional[str] = None


def candidates() -> List[str]:
    """The paths and names ``load()`` tries, in order."""
    chosen = os.environ.get(ENVIRONMENT_VARIABLE)
    if chosen:
        return [chosen]
    here = os.path.dirname(os.path.abspath(__file__))
    return [os.path.join(here, n) for n in _NAMES] + list(_NAMES)


def load(path: Optional[str] = None) -> ctypes.CDLL:
    """Loads the library (once) and gives the ctypes library object; ``path`` overrides the
    search. Raises ``LibraryNotFoundError`` listing what was tried."""
    global _library, _path
    with _lock:
        if _library is not None and path is None:
            return _library
        loader: Callable[[str], ctypes.CDLL] = getattr(ctypes, "WinDLL") if _WINDOWS else ctypes.CDLL
        tried = []
        for name in [path] if path else candidates():
            if os.path.sep in name and not os.path.exists(name):
                tried.append("%s (no such file)" % name)
                continue
            try:
                lib = loader(name)
            except OSError as e:
                tried.append("%s (%s)" % (name, e))
                continue
            missing = [n for n, _, _ in PROTOTYPES if not hasattr(lib, n)]
            if missing:
                tried.append("%s (does not export %s)" % (name, ", ".join(missing)))
                continue
            for n, result, arguments in PROTOTYPES:
                f = getattr(lib, n)
                f.restype = result
                f.argtypes = list(arguments)
            _library, _path = lib, name
            return lib
        raise LibraryNotFoundError(
            "cannot load the Tarvel6 library; tried: " + "; ".join(tried)
            + ". Set %s to its path." % ENVIRONMENT_VARIABLE
        )


def path() -> Optional[str]:
    """The path or name the library was loaded from, or None before it was."""
    return _path


def _function(name: str) -> Any:
    # The library is loaded on the first call of any function.
    return getattr(load(), name)


def _text_result(value: object) -> Optional[bytes]:
    return value if isinstance(value, bytes) else None


# ---- the exported functions, in the order of include/tarvel6.h -----------------------------


def Seta_Ip(address: TextArgument) -> int:
    return int(_function("Seta_Ip")(address))


def Display_Erro(channel: int) -> Optional[bytes]:
    return _text_result(_function("Display_Erro")(channel))


def W5817(ip_index: int, letter: TextArgument) -> int:
    return int(_function("W5817")(ip_index, letter))


def W5817C(ip_index: int, letter: TextArgument) -> int:
    return int(_function("W5817C")(ip_index, letter))


def W5817Serial(com_number: int) -> int:
    return int(_function("W5817Serial")(com_number))


def W5817SerialC(com_number: int) -> int:
    return int(_function("W5817SerialC")(com_number))


def WKRT(ip_index: int, letter: TextArgument) -> int:
    return int(_function("WKRT")(ip_index, letter))


def WKRTSerial(com_number: int) -> int:
    return int(_function("WKRTSerial")(com_number))


def WOhaus(ip_index: int, letter: TextArgument) -> int:
    return int(_function("WOhaus")(ip_index, letter))


def WOhausSerial(com_number: int) -> int:
    return int(_function("WOhausSerial")(com_number))


def WMSI3360(ip_index: int, letter: TextArgument) -> int:
    return int(_function("WMSI3360")(ip_index, letter))


def WMSI3360Serial(com_number: int) -> int:
    return int(_function("WMSI3360Serial")(com_number))


def WMSI6260(ip_index: int, letter: TextArgument) -> int:
    return int(_function("WMSI6260")(ip_index, letter))


def WMSI6260Serial(com_number: int) -> int:
    return int(_function("WMSI6260Serial")(com_number))


def Select_Canal(channel: int) -> int:
    return int(_function("Select_Canal")(channel))


def Close_Canal(channel: int) -> None:
    _function("Close_Canal")(channel)


def Deleta_Canal(channel: int) -> None:
    _function("Deleta_Canal")(channel)


def Update_Canal(channel: int) -> int:
    return int(_function("Update_Canal")(channel))


def Update_NoMotion(channel: int, timeout_ms: int) -> int:
    return int(_function("Update_NoMotion")(channel, timeout_ms))


def Gross_Canal(channel: int) -> Optional[bytes]:
    return _text_result(_function("Gross_Canal")(channel))


def Net_Canal(channel: int) -> Optional[bytes]:
    return _text_result(_function("Net_Canal")(channel))


def Tare_Canal(channel: int) -> Optional[bytes]:
    return _text_result(_function("Tare_Canal")(channel))


def Total_Canal(channel: int) -> Optional[bytes]:
    return _text_result(_function("Total_Canal")(channel))


def Contadora_Canal(channel: int) -> Optional[bytes]:
    return _text_result(_function("Contadora_Canal")(channel))


def Estado_Canal(channel: int) -> Optional[bytes]:
    return _text_result(_function("Estado_Canal")(channel))


def Estado_EmMovimento(channel: int) -> Optional[bytes]:
    return _text_result(_function("Estado_EmMovimento")(channel))


def Gross_Canal_Float(channel: int) -> float:
    return float(_function("Gross_Canal_Float")(channel))


def Net_Canal_Float(channel: int) -> float:
    return float(_function("Net_Canal_Float")(channel))


def Tare_Canal_Float(channel: int) -> float:
    return float(_function("Tare_Canal_Float")(channel))


def Unidade_Canal(channel: int) -> Optional[bytes]:
    """The unit the last frame or line named (b"" when it named none)."""
    return _text_result(_function("Unidade_Canal")(channel))


def LePesoConsecutivo(channel: int, seconds: int, count: int) -> int:
    """As the library has it: polls until the net weight was the same ``count`` times. It
    compares net weights only and does not look at motion or out of range; for a weight at
    rest use ``Scale.read_stable``."""
    return int(_function("LePesoConsecutivo")(channel, seconds, count))


def DIO_InPort(ip_index: int) -> int:
    return int(_function("DIO_InPort")(ip_index))


def DIO_InPortStr(ip_index: int) -> Optional[bytes]:
    return _text_result(_function("DIO_InPortStr")(ip_index))


def DIO_InBit(ip_index: int, bit: int) -> int:
    return int(_function("DIO_InBit")(ip_index, bit))


def DIO_InBitStr(ip_index: int, bit: int) -> int:
    return int(_function("DIO_InBitStr")(ip_index, bit))


def DIO_OutPort(ip_index: int, value: int) -> int:
    return int(_function("DIO_OutPort")(ip_index, value))


def DIO_OutPortStr(ip_index: int, bits: TextArgument) -> int:
    return int(_function("DIO_OutPortStr")(ip_index, bits))


def DIO_OutBit(ip_index: int, bit: int, state: int) -> int:
    return int(_function("DIO_OutBit")(ip_index, bit, state))


def DIO_OutBitStr(ip_index: int, bit: int, state: TextArgument) -> int:
    return int(_function("DIO_OutBitStr")(ip_index, bit, state))


def ProgSerial(channel: int, baud: int, data_bits: int, parity: int, stop_bits: int) -> int:
    return int(_function("ProgSerial")(channel, baud, data_bits, parity, stop_bits))


def ClrBufRx(ip_index: int, letter: TextArgument) -> int:
    return int(_function("ClrBufRx")(ip_index, letter))


def ClrBufTx(ip_index: int, letter: TextArgument) -> int:
    return int(_function("ClrBufTx")(ip_index, letter))


def FirVer(product: object, version: object, text3: object, text4: object, name: object) -> None:
    _function("FirVer")(product, version, text3, text4, name)
