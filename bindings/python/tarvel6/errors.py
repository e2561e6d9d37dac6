"""The exceptions of the Pythonic layer: every failure the library reports, by kind.

    TarvelError                 every failure; .code (the library's result), .function (the C
    |                           function that gave it), .text (Display_Erro's text, or "")
    +-- LibraryNotFoundError    the shared library could not be loaded (code None)
    +-- ChannelError            Seta_Ip or a constructor refused (code -1): bad address,
    |                           channel letter or COM number
    +-- ConnectError            Select_Canal gave 0: refused or not connected within 10 s
    +-- PollError               a poll or LePesoConsecutivo failed (code 1, 2, 4 or 7)
    |   +-- NoFrameError        1: no frame within the wait (or a refused poll)
    |   +-- MotionError         2: no frame without motion within the time-out
    |   +-- PortError           4: the serial port did not open in time
    |   +-- NotSettledError     7: time up: the weight did not settle
    +-- DioError                a digital I/O or buffer command failed (code -1 or the flag "E")
    +-- ClosedError             the Scale was closed (code None)

An indicator out of range (poll result 3) is not a failure: the reading comes back with
``overload`` True.
"""


class TarvelError(Exception):
    """A failure reported by the library. ``code`` is the C function's result, ``function``
    its name, ``text`` the channel's ``Display_Erro`` text (often empty)."""

    def __init__(self, message, code=None, function=None, text=""):
        self.message = message
        self.code = code
        self.function = function
        self.text = text or ""
        super().__init__(message)

    def __str__(self):
        s = self.message
        if self.function is not None:
            s += " (%s gave %s)" % (self.function, self.code)
        if self.text:
            s += ": " + self.text.replace("\n\r", " ").replace("\n", " ").strip()
        return s


class LibraryNotFoundError(TarvelError):
    """The shared library could not be loaded."""


class ChannelError(TarvelError):
    """``Seta_Ip`` or a channel constructor refused its arguments."""


class ConnectError(TarvelError):
    """``Select_Canal`` could not connect the channel."""


class PollError(TarvelError):
    """A poll gave no reading."""


class NoFrameError(PollError):
    """No frame within the wait (result 1)."""


class MotionError(PollError):
    """No frame without motion within the time-out (result 2)."""


class PortError(PollError):
    """The serial port did not open in time (result 4)."""


class NotSettledError(PollError):
    """``LePesoConsecutivo``: the weight did not settle in time (result 7)."""


class DioError(TarvelError):
    """A digital I/O or buffer command of the converter failed."""


class ClosedError(TarvelError):
    """The Scale was used after ``close()``."""
