"""Tarvel6 for Python: read weighing indicators and drive a network converter's I/O through
the Tarvel6 shared library (``Tarvel6.dll`` on Windows, ``libTarvel6.so`` elsewhere).

    import tarvel6
    with tarvel6.Scale(model="5817", tcp="192.168.0.50:A") as s:
        r = s.read()                        # a Reading; raises a TarvelError when none came
        print(r.net, r.unit, r.stable)
        print(r.to_json())                  # the reading record, one line of JSON
        r = s.read_stable(count=3, timeout=10)   # a weight at rest, or NotSettledError

Layers: ``tarvel6.native`` (the 42 C functions, as they are, typed), ``tarvel6.codes`` (the
result codes by name, also here: ``tarvel6.TARVEL_POLL_OK``, ``tarvel6.PollResult.OK``), and
the classes here: ``Scale``, ``Converter``, ``Reading``, ``Texts`` and the ``TarvelError``
exceptions, which are also Python's own ``TimeoutError``, ``ConnectionError`` or
``ValueError`` as fits. Standard library only; fully typed (``py.typed``).
"""

from . import codes, native
from ._version import __version__
from .codes import *  # noqa: F401,F403 - the result codes by their C names
from .codes import CommonResult, Flag, PollResult, SelectResult, StableResult
from .errors import (
    ChannelError,
    ClosedError,
    ConnectError,
    DioError,
    LibraryNotFoundError,
    MotionError,
    NoFrameError,
    NotSettledError,
    PollError,
    PortError,
    TarvelError,
)
from .reading import MODELS, Reading, Texts, from_texts, parse_weight, settles
from .scale import Converter, Scale, version_texts

__all__ = [
    "__version__",
    "native",
    "Scale",
    "Converter",
    "Reading",
    "Texts",
    "MODELS",
    "from_texts",
    "parse_weight",
    "settles",
    "version_texts",
    "TarvelError",
    "LibraryNotFoundError",
    "ChannelError",
    "ConnectError",
    "PollError",
    "NoFrameError",
    "MotionError",
    "PortError",
    "NotSettledError",
    "DioError",
    "ClosedError",
]
__all__ += codes.__all__
