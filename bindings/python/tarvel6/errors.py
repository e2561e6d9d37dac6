"""The exceptions of the Pythonic layer: every failure, by kind, each also one of Python's own.

    TarvelError                 every failure; str() is an English message that says what to
    |                           check; .code (the library's result), .function (the C function
    |                           that gave it), .detail (the library's own text, in Portuguese,
    |                           often empty; also as .text)
    +-- LibraryNotFoundError    (also OSError) the shared library could not be loaded
    +-- ChannelError            (also ValueError) Seta_Ip or a constructor refused (code -1):
    |                           bad address, channel letter or COM number
    +-- ConnectError            (also ConnectionError) Select_Canal gave 0: nothing listens,
    |                           or no connection within 10 s
    +-- PollError               a poll or a stable read gave no reading
    |   +-- NoFrameError        (also TimeoutError) 1: no frame within the wait
    |   +-- MotionError         (also TimeoutError) 2: no frame without motion in time
    |   +-- PortError           (also ConnectionError) 4: the serial port did not open
    |   +-- NotSettledError     (also TimeoutError) the weight did not settle in time;
    |                           .reading is the last reading, if any
    +-- DioError                (also ConnectionError) a digital I/O or buffer command of the
    |                           converter failed: nothing could be sent, or no valid reply
    +-- ClosedError             (also ValueError) the Scale was closed

So ``except TimeoutError``, ``except ConnectionError`` (or ``OSError``) and ``except
ValueError`` catch them as they catch Python's own. An indicator out of range (poll result 3)
is not a failure of a plain read: the reading comes back with ``overload`` True.
"""

from typing import TYPE_CHECKING, Optional

if TYPE_CHECKING:  # pragma: no cover
    from .reading import Reading


class TarvelError(Exception):
    """A failure. ``str()`` is the English message; ``code`` the C function's result,
    ``function`` its name, ``detail`` the library's own text (``Display_Erro``, Portuguese;
    often empty)."""

    def __init__(
        self,
        message: str,
        code: Optional[int] = None,
        function: Optional[str] = None,
        detail: str = "",
    ) -> None:
        super().__init__(message)
        self.message = message
        self.code = code
        self.function = function
        self.detail = detail or ""

    @property
    def text(self) -> str:
        """The library's own text: the same as ``detail``."""
        return self.detail

    def __str__(self) -> str:
        return self.message


class LibraryNotFoundError(TarvelError, OSError):
    """The shared library could not be loaded."""


class ChannelError(TarvelError, ValueError):
    """``Seta_Ip`` or a channel constructor refused its arguments."""


class ConnectError(TarvelError, ConnectionError):
    """``Select_Canal`` could not connect the channel."""


class PollError(TarvelError):
    """A poll gave no reading."""


class NoFrameError(PollError, TimeoutError):
    """No frame within the wait (result 1)."""


class MotionError(PollError, TimeoutError):
    """No frame without motion within the time-out (result 2)."""


class PortError(PollError, ConnectionError):
    """The serial port did not open in time (result 4)."""


class NotSettledError(PollError, TimeoutError):
    """A stable read ran out of time before the weight settled. ``reading`` is the last
    reading taken (None when there was none)."""

    def __init__(
        self,
        message: str,
        code: Optional[int] = None,
        function: Optional[str] = None,
        detail: str = "",
        reading: "Optional[Reading]" = None,
    ) -> None:
        super().__init__(message, code, function, detail)
        self.reading = reading


class DioError(TarvelError, ConnectionError):
    """A digital I/O or buffer command of the converter failed."""


class ClosedError(TarvelError, ValueError):
    """The Scale was used after ``close()``."""
