"""The library's 42 C functions, one to one, through ctypes.

    from tarvel6 import native
    ip = native.Seta_Ip("192.168.0.50")
    ch = native.W5817(ip, "A")
    if native.Select_Canal(ch) == 1 and native.Update_Canal(ch) == 0:
        print(native.Net_Canal(ch))          # bytes, copied out of the library's buffer

Each function keeps its C name, arguments and result: 32-bit integers, doubles, and texts.
A text argument takes ``str`` (encoded as Windows-1252) or ``bytes``; a text result is
``bytes`` (ctypes copies it at once, so the library's buffer is never kept or freed here).
``FirVer`` takes five ``ctypes.c_char_p`` passed with ``ctypes.byref``.

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

from .errors import LibraryNotFoundError

_WINDOWS = sys.platform == "win32"
_NAMES = ("Tarvel6.dll",) if _WINDOWS else ("libTarvel6.so.2", "libTarvel6.so")
ENVIRONMENT_VARIABLE = "TARVEL6_LIBRARY"


class _Text:
    """A ``const char*`` argument: ``str`` (Windows-1252), ``bytes`` or ``None``."""

    @classmethod
    def from_param(cls, value):
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
PROTOTYPES = (
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
_library = None
_path = None


def candidates():
    """The paths and names ``load()`` tries, in order."""
    chosen = os.environ.get(ENVIRONMENT_VARIABLE)
    if chosen:
        return [chosen]
    here = os.path.dirname(os.path.abspath(__file__))
    return [os.path.join(here, n) for n in _NAMES] + list(_NAMES)


def load(path=None):
    """Loads the library (once) and gives the ctypes library object; ``path`` overrides the
    search. Raises ``LibraryNotFoundError`` listing what was tried."""
    global _library, _path
    with _lock:
        if _library is not None and path is None:
            return _library
        loader = ctypes.WinDLL if _WINDOWS else ctypes.CDLL
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


def path():
    """The path or name the library was loaded from, or None before it was."""
    return _path


def __getattr__(name):
    # native.Update_Canal(...) loads the library on first use.
    if any(n == name for n, _, _ in PROTOTYPES):
        return getattr(load(), name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


def __dir__():
    return sorted(list(globals()) + [n for n, _, _ in PROTOTYPES])
