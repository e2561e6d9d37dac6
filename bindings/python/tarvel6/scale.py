"""The Pythonic layer: ``Scale`` for one indicator, ``Converter`` for the converter's I/O."""

import ctypes
import datetime
import operator
import os
import sys
import time as _time
from types import TracebackType
from typing import Callable, Iterator, Optional, Sequence, Tuple, Type, Union

from . import _messages, native
from .codes import (
    TARVEL_FAILED,
    TARVEL_POLL_MOTION,
    TARVEL_POLL_NO_FRAME,
    TARVEL_POLL_NO_PORT,
    TARVEL_POLL_OK,
    TARVEL_POLL_OUT_OF_RANGE,
    TARVEL_SELECT_OK,
)
from .errors import (
    ChannelError,
    ClosedError,
    ConnectError,
    DioError,
    MotionError,
    NoFrameError,
    NotSettledError,
    PollError,
    PortError,
)
from .reading import MODELS, Reading, Texts, empty, from_texts, settles

# model -> (TCP constructor, serial constructor, reports motion)
_CONSTRUCTORS = {
    "5817": ("W5817", "W5817Serial", True),
    "5817c": ("W5817C", "W5817SerialC", True),
    "krt": ("WKRT", "WKRTSerial", True),
    "ohaus": ("WOhaus", "WOhausSerial", True),
    "msi3360": ("WMSI3360", "WMSI3360Serial", False),
    "msi6260": ("WMSI6260", "WMSI6260Serial", False),
}
_INT32_MAX = 2**31 - 1
# A bounded read of a family that reports motion polls in slices of this many milliseconds, so
# that a moving frame is handed out within one slice.
_SLICE_MS = 500
# The pause before attempts to reach an unreachable converter or port: this, doubling with
# each failed attempt, up to _BACKOFF_LAST; from the start once it answers.
_BACKOFF_FIRST = 0.5
_BACKOFF_LAST = 30.0
# A failed poll that returned sooner than this did not wait at all.
_AT_ONCE = 0.1


def _text(raw: Optional[bytes]) -> str:
    return "" if raw is None else raw.decode("cp1252", errors="replace")


def _now() -> datetime.datetime:
    return datetime.datetime.now(datetime.timezone.utc)


class _Backoff:
    """0.5 s, 1, 2, 4 ... up to 30 s between attempts; from the start after a success."""

    def __init__(self) -> None:
        self._next = _BACKOFF_FIRST

    def next(self) -> float:
        pause = self._next
        self._next = min(self._next * 2, _BACKOFF_LAST)
        return pause

    def reset(self) -> None:
        self._next = _BACKOFF_FIRST


def version_texts() -> Tuple[str, str, str, str, str]:
    """``FirVer``'s five texts: product, version, two empty texts, library name."""
    out = [ctypes.c_char_p() for _ in range(5)]
    native.FirVer(*[ctypes.byref(p) for p in out])
    a, b, c, d, e = (_text(p.value) for p in out)
    return a, b, c, d, e


def _serial_number(serial: Union[int, str]) -> Tuple[int, str]:
    """A COM number from 3, "3", "COM3" or "\\\\.\\COM3", and the port's name for messages; on
    POSIX a device path is given the first free (or its own) TARVEL_COM<n> variable, which the
    library reads at each opening."""
    if isinstance(serial, bool):
        raise ValueError("serial takes a COM number, COMn, \\\\.\\COMn or a device path")
    if isinstance(serial, int):
        n = serial
    else:
        s = str(serial)
        if s.startswith("\\\\.\\"):
            s = s[4:]
        if s[:3].lower() == "com" and s[3:].isdigit():
            s = s[3:]
        if s.isdigit():
            n = int(s)
        elif sys.platform == "win32" or not s:
            raise ValueError("serial takes a COM number, COMn or \\\\.\\COMn: %r" % serial)
        else:
            free = None
            for k in range(1, 256):
                current = os.environ.get("TARVEL_COM%d" % k)
                if current == s:
                    return k, "COM%d (%s)" % (k, s)
                if not current and free is None:
                    free = k
            if free is None:
                raise ValueError("no free TARVEL_COMn variable for %s" % s)
            os.environ["TARVEL_COM%d" % free] = s
            return free, "COM%d (%s)" % (free, s)
    if not 1 <= n <= 65535:
        raise ValueError("COM number out of range 1..65535: %r" % serial)
    return n, "COM%d" % n


def _seconds(timeout: float, what: str) -> float:
    t = float(timeout)
    if not t > 0:
        raise ValueError("%s must be more than 0 seconds, not %r" % (what, timeout))
    return t


class Scale:
    """One indicator: a library channel for a model behind a converter channel or on a serial
    port. Use it in a ``with`` block, or call ``close()``.

        with tarvel6.Scale(model="5817", tcp="192.168.0.50:A") as s:
            r = s.read()

    model: "5817", "5817c" (raw), "krt", "ohaus", "msi3360" or "msi6260" (any case).
    tcp: "ADDRESS:LETTER", a converter's IPv4 address and its channel letter A-D.
    serial: a COM number (3, "COM3", "\\\\.\\COM3") or, outside Windows, a device path such as
        "/dev/ttyUSB0" (set as the first free TARVEL_COM<n>).
    name: the record's ``scale`` (default the model).
    connect: connect a TCP channel now (``Select_Canal``, up to 10 s); every read connects
        (or reconnects) anyway.

    Raises ``ValueError`` for a model or argument it cannot pass on, ``ChannelError`` (also a
    ``ValueError``) when the library refuses the address, letter or port, ``ConnectError``
    (a ``ConnectionError``) when ``connect`` fails.
    """

    def __init__(
        self,
        model: str,
        *,
        tcp: Optional[str] = None,
        serial: Union[int, str, None] = None,
        name: Optional[str] = None,
        connect: bool = True,
    ) -> None:
        m = str(model).lower()
        if m not in _CONSTRUCTORS:
            raise ValueError("unknown model %r: one of %s" % (model, ", ".join(MODELS)))
        if (tcp is None) == (serial is None):
            raise ValueError("give exactly one of tcp='ADDRESS:LETTER' or serial=PORT")
        self.model = m
        self.name = m if name is None else str(name)
        self.channel = -1
        self.seq = 0
        self.last: Optional[Reading] = None
        tcp_ctor, serial_ctor, self._reports_motion = _CONSTRUCTORS[m]
        self.tcp: bool
        self.serial: Optional[int]
        if tcp is not None:
            address, sep, letter = str(tcp).rpartition(":")
            if not sep or not address:
                raise ValueError("tcp takes 'ADDRESS:LETTER', e.g. '192.168.0.50:A': %r" % tcp)
            ip = native.Seta_Ip(address)
            if ip == TARVEL_FAILED:
                raise ChannelError("the library refused the address %r: give an IPv4 address "
                                   "such as 192.168.0.50" % address, ip, "Seta_Ip")
            ch = int(getattr(native, tcp_ctor)(ip, letter))
            if ch == TARVEL_FAILED:
                raise ChannelError("the library refused the channel letter %r: give A, B, C or "
                                   "D" % letter, ch, tcp_ctor)
            self.tcp, self.serial = True, None
            self._channel_name = _messages.Channel(m, address, letter)
        else:
            assert serial is not None
            port, label = _serial_number(serial)
            ch = int(getattr(native, serial_ctor)(port))
            if ch == TARVEL_FAILED:
                raise ChannelError("the library refused the serial port %r" % serial, ch,
                                   serial_ctor)
            self.tcp, self.serial = False, port
            self._channel_name = _messages.Channel(m, port=label)
        self.channel = ch
        if connect:
            try:
                self.connect()
            except BaseException:
                self.close()
                raise

    def __enter__(self) -> "Scale":
        return self

    def __exit__(
        self,
        kind: Optional[Type[BaseException]],
        value: Optional[BaseException],
        trace: Optional[TracebackType],
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return "Scale(%r, channel=%d, seq=%d)" % (self.name, self.channel, self.seq)

    @property
    def closed(self) -> bool:
        return self.channel < 0

    @property
    def where(self) -> str:
        """The converter channel ("192.168.0.50:A") or serial port ("COM3") the scale is on."""
        return self._channel_name.where

    def close(self) -> None:
        """Closes and deletes the channel (``Close_Canal``, ``Deleta_Canal``); idempotent."""
        ch, self.channel = self.channel, -1
        if ch >= 0:
            native.Close_Canal(ch)
            native.Deleta_Canal(ch)

    def _channel(self) -> int:
        if self.channel < 0:
            raise ClosedError("the scale %s is closed" % self.name)
        return self.channel

    def error_text(self) -> str:
        """The channel's error text not yet fetched (``Display_Erro``, in Portuguese), else
        ""."""
        return _text(native.Display_Erro(self._channel()))

    def connect(self) -> None:
        """Connects a TCP channel, or reconnects one whose connection dropped (at once while
        connected); nothing for a serial channel. Raises ``ConnectError``."""
        ch = self._channel()
        t0 = _time.monotonic()
        r = native.Select_Canal(ch)
        if r != TARVEL_SELECT_OK:
            after = _messages.ended_after_timeout(_time.monotonic() - t0)
            raise ConnectError(_messages.connect_failed(self._channel_name, after), r,
                               "Select_Canal", self.error_text())

    def read(self, timeout: Optional[float] = None) -> Reading:
        """Polls once and gives the next ``Reading``, moving or not.

        timeout None: the model's own wait (``Update_Canal``: 10 s for 5817/KRT, 5 s for the
        others). timeout in seconds (more than 0): the wait for the frame is at most that long
        (``Update_NoMotion`` in slices of at most 0.5 s for the families that report motion,
        handing out a moving frame at the end of its slice); connecting a TCP channel that is
        not connected comes first (up to 10 s). An indicator out of range gives a reading with
        ``overload`` True. Raises ``ConnectError``, ``NoFrameError`` (a ``TimeoutError``),
        ``PortError``.
        """
        if timeout is None:
            self.connect()
            code = native.Update_Canal(self._channel())
            if code in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
                return self._take()
            raise self._poll_error(code, "Update_Canal")
        seconds = _seconds(timeout, "timeout")
        self.connect()
        ch = self._channel()
        deadline = _time.monotonic() + seconds
        while True:
            left = int((deadline - _time.monotonic()) * 1000)
            if left <= 0:
                raise self._poll_error(TARVEL_POLL_NO_FRAME, "Update_NoMotion", seconds)
            if not self._reports_motion:
                # No motion to wait for: the first frame within the time ends the poll.
                code = native.Update_NoMotion(ch, min(left, _INT32_MAX))
            else:
                code = native.Update_NoMotion(ch, min(left, _SLICE_MS))
                # Every poll starts with the net text "0"; a frame of these families writes
                # its ten characters. Result 2 after one: the frame moved, and is the reading.
                if code == TARVEL_POLL_MOTION and _text(native.Net_Canal(ch)) != "0":
                    return self._take()
                if code == TARVEL_POLL_MOTION:
                    continue
            if code in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
                return self._take()
            raise self._poll_error(code, "Update_NoMotion", seconds)

    def read_stable(self, count: int = 3, timeout: float = 10.0) -> Reading:
        """Polls until the weight has come to rest, and gives the last reading: ``count``
        readings in a row that are frames with motion clear (or not told: MSI), out of range
        clear and the same net weight; the raw 5817 variant never settles. The rule of
        ``tarvel stable`` and tarvel-gateway's stable read (``LePesoConsecutivo``, which
        compares net weights only, is not used).

        ``timeout`` in seconds bounds the whole read; a poll that is running when it is up
        finishes first (up to the model's own wait when the indicator is silent). Raises
        ``NotSettledError`` (a ``TimeoutError``; ``.reading`` is the last reading) when the
        weight did not settle, or the last attempt's ``NoFrameError``, ``PortError`` or
        ``ConnectError`` when it gave no reading.
        """
        count = operator.index(count)
        if not 1 <= count <= 100:
            raise ValueError("count must be from 1 to 100, not %r" % count)
        seconds = _seconds(timeout, "timeout")
        deadline = _time.monotonic() + seconds
        backoff = _Backoff()
        run = 0
        net = None
        last: Optional[Reading] = None
        while True:
            t0 = _time.monotonic()
            error: Optional[Exception] = None
            code: Optional[int] = None
            reading: Optional[Reading] = None
            try:
                self.connect()
                ch = self._channel()
                if self._reports_motion:
                    code = native.Update_Canal(ch)
                else:
                    left = int((deadline - _time.monotonic()) * 1000)
                    code = native.Update_NoMotion(ch, max(1, min(left, _INT32_MAX)))
            except ConnectError as e:
                error = e
            if code in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
                reading = last = self._take()
                backoff.reset()
            if not settles(reading):
                run, net = 0, None
            elif run > 0 and reading is not None and reading.net == net:
                run += 1
            else:
                run = 1
                net = reading.net if reading is not None else None
            if run >= count and reading is not None:
                return reading
            left_s = deadline - _time.monotonic()
            if left_s <= 0:
                break
            if error is not None or code == TARVEL_POLL_NO_PORT or (
                reading is None and _time.monotonic() - t0 < _AT_ONCE
            ):
                _time.sleep(min(backoff.next(), left_s))
        if error is not None:
            raise error
        if code is not None and code not in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
            # The MSI models' polls waited for the time left, the others their own wait.
            if self._reports_motion:
                raise self._poll_error(code, "Update_Canal")
            raise self._poll_error(code, "Update_NoMotion", seconds)
        c = self._channel_name
        if code == TARVEL_POLL_OUT_OF_RANGE:
            message = _messages.out_of_range(c)
        else:
            message = _messages.not_settled(c, count, seconds)
        raise NotSettledError(message, code, "Update_Canal", reading=last)

    def stream(self, interval: float = 0.0, count: Optional[int] = None) -> Iterator[Reading]:
        """Reads on and on: yields a ``Reading`` per frame (``Update_Canal``), reconnecting a
        dropped TCP channel. When the polls start failing it yields one reading with status
        "stale" (no frame within the wait) or "offline" (no connection, or the serial port did
        not open), keeping the last weights; then, while the converter or port cannot be
        reached, it tries again after 0.5 s, 1, 2, 4 ... up to 30 s (or ``interval`` when that
        is longer), saying nothing more until that changes. ``interval``: seconds to pause
        after each poll. ``count``: stop after that many readings (None: never). Stop early by
        leaving the loop; a poll in progress finishes first (up to its wait)."""
        if count is not None:
            count = operator.index(count)
            if count < 0:
                raise ValueError("count must be at least 0, not %r" % count)
        status = "ok"
        backoff = _Backoff()
        given = 0
        while count is None or given < count:
            t0 = _time.monotonic()
            code: Optional[int] = None
            try:
                self.connect()
                code = native.Update_Canal(self._channel())
            except ConnectError:
                code = None
            pause = interval
            if code in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
                status = "ok"
                backoff.reset()
                given += 1
                yield self._take()
            else:
                new = "stale" if code in (TARVEL_POLL_NO_FRAME, TARVEL_POLL_MOTION) else "offline"
                if new != status:
                    status = new
                    self.seq += 1
                    now = _now()
                    given += 1
                    if self.last is None:
                        yield empty(self.name, self.model, self.seq, now, status)
                    else:
                        yield self.last.with_status(status, self.seq, now)
                if new == "offline" or _time.monotonic() - t0 < _AT_ONCE:
                    pause = max(interval, backoff.next())
            if pause > 0 and (count is None or given < count):
                _time.sleep(pause)

    def set_serial(self, baud: int, data_bits: int, parity: int, stop_bits: int) -> None:
        """New line settings for a serial channel from its next poll (``ProgSerial``); parity
        1 odd, 2 even, else none. Raises ``ChannelError`` for a TCP channel."""
        r = native.ProgSerial(self._channel(), baud, data_bits, parity, stop_bits)
        if r != 1:
            raise ChannelError("the scale %s has no serial port" % self.name, r, "ProgSerial")

    def _take(self) -> Reading:
        ch = self._channel()
        texts = Texts(
            gross=_text(native.Gross_Canal(ch)),
            net=_text(native.Net_Canal(ch)),
            tare=_text(native.Tare_Canal(ch)),
            total=_text(native.Total_Canal(ch)),
            counter=_text(native.Contadora_Canal(ch)),
            status=_text(native.Estado_Canal(ch)),
            motion=_text(native.Estado_EmMovimento(ch)),
        )
        self.seq += 1
        self.last = from_texts(self.name, self.model, self.seq, _now(), texts,
                               unit=_text(native.Unidade_Canal(ch)))
        return self.last

    def _poll_error(self, code: int, function: str, within: Optional[float] = None) -> PollError:
        c = self._channel_name
        detail = _text(native.Display_Erro(self.channel)) if self.channel >= 0 else ""
        message = _messages.poll_failed(c, code, within)
        if code == TARVEL_POLL_NO_FRAME:
            return NoFrameError(message, code, function, detail)
        if code == TARVEL_POLL_MOTION:
            return MotionError(message, code, function, detail)
        if code == TARVEL_POLL_NO_PORT:
            return PortError(message, code, function, detail)
        return PollError(message, code, function, detail)


def _bit(bit: int) -> int:
    b = operator.index(bit)
    if not 0 <= b <= 7:
        raise ValueError("the bit must be from 0 to 7, not %r" % bit)
    return b


class Converter:
    """A network converter's digital inputs and outputs (TCP port 8880) and its buffer
    commands. Each call opens one connection for one command and blocks (about 10 s when the
    converter does not answer). Bit 0 is the first input or output; bits are 0 to 7.

    Raises ``ChannelError`` (a ``ValueError``) for an address the library refuses,
    ``ValueError`` for a bit or value out of range, ``DioError`` (a ``ConnectionError``) when
    a command failed: for an output or buffer command that nothing was sent (no connection,
    or the exchange broke off), for an input that no valid reply came. The converter does not
    confirm outputs: a command it took counts as done.
    """

    def __init__(self, address: str) -> None:
        self.address = str(address)
        self.ip = native.Seta_Ip(self.address)
        if self.ip == TARVEL_FAILED:
            raise ChannelError("the library refused the address %r: give an IPv4 address such "
                               "as 192.168.0.50" % self.address, self.ip, "Seta_Ip")

    def __repr__(self) -> str:
        return "Converter(%r)" % self.address

    def _run(self, action: str, is_input: bool, function: str, call: Callable[[], int]) -> int:
        t0 = _time.monotonic()
        result = call()
        if result == TARVEL_FAILED:
            after = _messages.ended_after_timeout(_time.monotonic() - t0)
            raise DioError(_messages.dio_failed(action, self.address, is_input, after), result,
                           function)
        return result

    def inputs(self) -> int:
        """The input port as a number (``DIO_InPort``)."""
        return self._run("read the inputs", True, "DIO_InPort",
                         lambda: native.DIO_InPort(self.ip))

    def input_bits(self) -> Tuple[bool, ...]:
        """The eight inputs as booleans, bit 0 first (``DIO_InPort``)."""
        v = self.inputs()
        return tuple(bool(v >> k & 1) for k in range(8))

    def input(self, bit: int) -> bool:
        """One input, 0 to 7 (``DIO_InBit``)."""
        b = _bit(bit)
        return self._run("read input %d" % b, True, "DIO_InBit",
                         lambda: native.DIO_InBit(self.ip, b)) == 1

    def set_outputs(self, value: Union[int, str, Sequence[bool]]) -> None:
        """Sets every output: a number 0 to 255 (``DIO_OutPort``), a text of 1 to 8 "S"/"N"
        bit 0 first, or a sequence of 1 to 8 booleans bit 0 first (``DIO_OutPortStr``)."""
        if isinstance(value, int):
            if not 0 <= value <= 255:
                raise ValueError("the output value must be from 0 to 255, not %r" % value)
            v = value
            self._run("set the outputs to %d" % v, False, "DIO_OutPort",
                      lambda: native.DIO_OutPort(self.ip, v))
            return
        text = value if isinstance(value, str) else "".join("S" if v else "N" for v in value)
        if not 1 <= len(text) <= 8 or set(text) - {"S", "N"}:
            raise ValueError("the outputs are 1 to 8 of S and N (or booleans), not %r" % (value,))
        number = sum(1 << k for k, c in enumerate(text) if c == "S")
        self._run("set the outputs to %d" % number, False, "DIO_OutPortStr",
                  lambda: native.DIO_OutPortStr(self.ip, text))

    def set_output(self, bit: int, on: bool) -> None:
        """Sets one output, 0 to 7, on or off (``DIO_OutBit``)."""
        b = _bit(bit)
        self._run("set output %d %s" % (b, "on" if on else "off"), False, "DIO_OutBit",
                  lambda: native.DIO_OutBit(self.ip, b, 1 if on else 0))

    def clear_receive(self, letter: str) -> None:
        """Clears the receive buffer of converter channel ``letter`` (``ClrBufRx``)."""
        self._run("clear the receive buffer of channel %s" % _letter(letter), False, "ClrBufRx",
                  lambda: native.ClrBufRx(self.ip, letter))

    def clear_transmit(self, letter: str) -> None:
        """Clears the transmit buffer of converter channel ``letter`` (``ClrBufTx``)."""
        self._run("clear the transmit buffer of channel %s" % _letter(letter), False, "ClrBufTx",
                  lambda: native.ClrBufTx(self.ip, letter))


def _letter(letter: str) -> str:
    up = str(letter).upper()
    if up not in ("A", "B", "C", "D"):
        raise ValueError("the converter channel is A, B, C or D, not %r" % letter)
    return up


__all__ = ["Scale", "Converter", "version_texts"]
