"""The library's result codes by name, as include/tarvel6.h names them.

Every C name is a module constant here (``TARVEL_POLL_OK``, ``TARVEL_FLAG_YES``, ...), and each
C enum is an ``IntEnum`` (``PollResult.OK``) or, for the one-letter flags, a ``str`` enum
(``Flag.YES == "S"``). The values are fixed: hosts that compare plain numbers keep working.
"""

import enum

# The C names, one constant each (enum tarvel_poll_result, ...).
TARVEL_POLL_OK = 0
TARVEL_POLL_NO_FRAME = 1
TARVEL_POLL_MOTION = 2
TARVEL_POLL_OUT_OF_RANGE = 3
TARVEL_POLL_NO_PORT = 4
TARVEL_STABLE_NO_CHANNEL = -1
TARVEL_STABLE_OK = 0
TARVEL_STABLE_TIMEOUT = 7
TARVEL_SELECT_FAILED = 0
TARVEL_SELECT_OK = 1
TARVEL_FAILED = -1
TARVEL_DONE = 0
TARVEL_FLAG_YES = "S"
TARVEL_FLAG_NO = "N"
TARVEL_FLAG_UNKNOWN = "E"


class PollResult(enum.IntEnum):
    """``Update_Canal``, ``Update_NoMotion`` (and the failures ``LePesoConsecutivo`` passes on)."""

    OK = TARVEL_POLL_OK  # a frame was read: the value functions give its values
    NO_FRAME = TARVEL_POLL_NO_FRAME  # none in time; also a refused call (closed, nested poll)
    MOTION = TARVEL_POLL_MOTION  # none without motion within Update_NoMotion's time-out
    OUT_OF_RANGE = TARVEL_POLL_OUT_OF_RANGE  # the indicator reports out of range (5817, KRT)
    NO_PORT = TARVEL_POLL_NO_PORT  # the serial port did not open in time


class StableResult(enum.IntEnum):
    """``LePesoConsecutivo``; after a failed last poll it returns that poll's code (1..4)."""

    NO_CHANNEL = TARVEL_STABLE_NO_CHANNEL  # the channel was -1
    OK = TARVEL_STABLE_OK  # the net weight repeated `count` times
    TIMEOUT = TARVEL_STABLE_TIMEOUT  # time up while the polls succeeded: it did not settle


class SelectResult(enum.IntEnum):
    """``Select_Canal``."""

    FAILED = TARVEL_SELECT_FAILED  # bad index, refused or not connected within 10 s
    OK = TARVEL_SELECT_OK  # connected, already connected, or a serial or closed channel


class CommonResult(enum.IntEnum):
    """``Seta_Ip``, the constructors, the digital I/O functions, ``ClrBufRx``, ``ClrBufTx``."""

    FAILED = TARVEL_FAILED
    DONE = TARVEL_DONE  # DIO_Out*, ClrBufRx, ClrBufTx: the command was sent


class Flag(str, enum.Enum):
    """The one-letter flags of ``Estado_Canal``, ``Estado_EmMovimento`` and ``DIO_InBitStr``."""

    YES = TARVEL_FLAG_YES  # "S": set, on
    NO = TARVEL_FLAG_NO  # "N": clear, off
    UNKNOWN = TARVEL_FLAG_UNKNOWN  # "E": the indicator does not tell; DIO_InBitStr: failure


__all__ = [
    "TARVEL_POLL_OK",
    "TARVEL_POLL_NO_FRAME",
    "TARVEL_POLL_MOTION",
    "TARVEL_POLL_OUT_OF_RANGE",
    "TARVEL_POLL_NO_PORT",
    "TARVEL_STABLE_NO_CHANNEL",
    "TARVEL_STABLE_OK",
    "TARVEL_STABLE_TIMEOUT",
    "TARVEL_SELECT_FAILED",
    "TARVEL_SELECT_OK",
    "TARVEL_FAILED",
    "TARVEL_DONE",
    "TARVEL_FLAG_YES",
    "TARVEL_FLAG_NO",
    "TARVEL_FLAG_UNKNOWN",
    "PollResult",
    "StableResult",
    "SelectResult",
    "CommonResult",
    "Flag",
]
