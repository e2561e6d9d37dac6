"""The Pythonic layer: ``Scale`` for one indicator, ``Converter`` for the converter's I/O."""

import ctypes
import datetime
import operator
import os
import sys
import time as _time

from . import native
from .codes import (
    TARVEL_FAILED,
    TARVEL_POLL_MOTION,
    TARVEL_POLL_NO_FRAME,
    TARVEL_POLL_NO_PORT,
    TARVEL_POLL_OK,
    TARVEL_POLL_OUT_OF_RANGE,
    TARVEL_SELECT_OK,
    TARVEL_STABLE_OK,
    TARVEL_STABLE_TIMEOUT,
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
    TarvelError,
)
from .reading import MODELS, Texts, empty, from_texts

# model -> (TCP constructor, serial constructor)
_CONSTRUCTORS = {
    "5817": ("W5817", "W5817Serial"),
    "5817c": ("W5817C", "W5817SerialC"),
    "krt": ("WKRT", "WKRTSerial"),
    "ohaus": ("WOhaus", "WOhausSerial"),
    "msi3360": ("WMSI3360", "WMSI3360Serial"),
    "msi6260": ("WMSI6260", "WMSI6260Serial"),
}
_POLL_ERRORS = {
    TARVEL_POLL_NO_FRAME: (NoFrameError, "no frame within the wait"),
    TARVEL_POLL_MOTION: (MotionError, "no frame without motion within the time-out"),
    TARVEL_POLL_NO_PORT: (PortError, "the serial port did not open"),
    TARVEL_STABLE_TIMEOUT: (NotSettledError, "the weight did not settle in time"),
}
_INT32_MAX = 2**31 - 1


def _text(raw):
    return "" if raw is None else raw.decode("cp1252", errors="replace")


def _now():
    return datetime.datetime.now(datetime.timezone.utc)


def version_texts():
    """``FirVer``'s five texts: product, version, two empty texts, library name."""
    out = [ctypes.c_char_p() for _ in range(5)]
    native.FirVer(*[ctypes.byref(p) for p in out])
    return tuple(_text(p.value) for p in out)


def _serial_number(serial):
    """A COM number from 3, "3", "COM3" or "\\\\.\\COM3"; on POSIX a device path is given the
    first free (or its own) TARVEL_COM<n> variable, which the library reads at each opening."""
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
                    return k
                if not current and free is None:
                    free = k
            if free is None:
                raise ValueError("no free TARVEL_COMn variable for %s" % s)
            os.environ["TARVEL_COM%d" % free] = s
            return free
    if not 1 <= n <= 65535:
        raise ValueError("COM number out of range 1..65535: %r" % serial)
    return n


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

    Raises ``ValueError`` for a model or argument it cannot pass on, ``ChannelError`` when the
    library refuses the address, letter or port, ``ConnectError`` when ``connect`` fails.
    """

    def __init__(self, model, *, tcp=None, serial=None, name=None, connect=True):
        m = str(model).lower()
        if m not in _CONSTRUCTORS:
            raise ValueError("unknown model %r: one of %s" % (model, ", ".join(MODELS)))
        if (tcp is None) == (serial is None):
            raise ValueError("give exactly one of tcp='ADDRESS:LETTER' or serial=PORT")
        self.model = m
        self.name = m if name is None else str(name)
        self.channel = -1
        self.seq = 0
        self.last = None
        tcp_ctor, serial_ctor = _CONSTRUCTORS[m]
        if tcp is not None:
            address, sep, letter = str(tcp).rpartition(":")
            if not sep or not address:
                raise ValueError("tcp takes 'ADDRESS:LETTER', e.g. '192.168.0.50:A': %r" % tcp)
            ip = native.Seta_Ip(address)
            if ip == TARVEL_FAILED:
                raise ChannelError("address refused: %r" % address, ip, "Seta_Ip")
            ch = getattr(native, tcp_ctor)(ip, letter)
            if ch == TARVEL_FAILED:
                raise ChannelError("channel letter refused: %r" % letter, ch, tcp_ctor)
            self.tcp, self.serial = True, None
        else:
            port = _serial_number(serial)
            ch = getattr(native, serial_ctor)(port)
            if ch == TARVEL_FAILED:
                raise ChannelError("serial port refused: %r" % serial, ch, serial_ctor)
            self.tcp, self.serial = False, port
        self.channel = ch
        if connect:
            try:
                self.connect()
            except BaseException:
                self.close()
                raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def __repr__(self):
        return "Scale(%r, channel=%d, seq=%d)" % (self.name, self.channel, self.seq)

    @property
    def closed(self):
        return self.channel < 0

    def close(self):
        """Closes and deletes the channel (``Close_Canal``, ``Deleta_Canal``); idempotent."""
        ch, self.channel = self.channel, -1
        if ch >= 0:
            native.Close_Canal(ch)
            native.Deleta_Canal(ch)

    def _channel(self):
        if self.channel < 0:
            raise ClosedError("the scale is closed")
        return self.channel

    def error_text(self):
        """The channel's error text not yet fetched (``Display_Erro``), else ""."""
        return _text(native.Display_Erro(self._channel()))

    def connect(self):
        """Connects a TCP channel, or reconnects one whose connection dropped (at once while
        connected); nothing for a serial channel. Raises ``ConnectError``."""
        ch = self._channel()
        r = native.Select_Canal(ch)
        if r != TARVEL_SELECT_OK:
            raise ConnectError("could not connect", r, "Select_Canal", self.error_text())

    def read(self, timeout=None):
        """Polls once and gives a ``Reading``.

        timeout None: the next frame, moving or not, within the model's own wait (10 s for
        5817/KRT, 5 s for the others; ``Update_Canal``). timeout in seconds: the next frame
        *without motion* within that time (``Update_NoMotion``; the MSI indicators do not tell
        motion, so there any frame). An indicator out of range gives a reading with
        ``overload`` True. Raises ``ConnectError``, ``NoFrameError``, ``MotionError``,
        ``PortError``.
        """
        if timeout is None:
            ms = -1
        else:
            if timeout < 0:
                raise ValueError("timeout must be None or at least 0 seconds")
            ms = min(int(round(timeout * 1000)), _INT32_MAX)
        self.connect()
        ch = self._channel()
        function = "Update_Canal" if ms < 0 else "Update_NoMotion"
        code = native.Update_Canal(ch) if ms < 0 else native.Update_NoMotion(ch, ms)
        if code in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
            return self._take()
        raise self._poll_error(code, function)

    def read_stable(self, count=3, seconds=5):
        """Polls until the net weight was the same ``count`` times within ``seconds``
        (``LePesoConsecutivo``; 0 means the library's 10) and gives the last reading. Raises
        ``NotSettledError`` when it did not settle, or the last poll's error."""
        count, seconds = operator.index(count), operator.index(seconds)
        if count < 0 or seconds < 0:
            raise ValueError("count and seconds must be at least 0")
        self.connect()
        code = native.LePesoConsecutivo(
            self._channel(), min(seconds, _INT32_MAX), min(count, _INT32_MAX)
        )
        if code == TARVEL_STABLE_OK:
            return self._take()
        raise self._poll_error(code, "LePesoConsecutivo")

    def stream(self, interval=0.0, retry=1.0):
        """Reads on and on: yields a ``Reading`` per frame (``Update_Canal``), reconnecting a
        dropped TCP channel. When the polls start failing it yields one reading with status
        "stale" (no frame within the wait) or "offline" (no connection, or the serial port did
        not open), keeping the last weights, then waits ``retry`` seconds between attempts
        until frames come back. ``interval``: seconds to pause after each reading. Stop by
        leaving the loop; a poll in progress finishes first (up to its wait)."""
        status = "ok"
        while True:
            try:
                self.connect()
                code = native.Update_Canal(self._channel())
            except ConnectError:
                code = None
            if code in (TARVEL_POLL_OK, TARVEL_POLL_OUT_OF_RANGE):
                status = "ok"
                yield self._take()
                if interval > 0:
                    _time.sleep(interval)
                continue
            new = "stale" if code == TARVEL_POLL_NO_FRAME else "offline"
            if new != status:
                status = new
                self.seq += 1
                now = _now()
                if self.last is None:
                    yield empty(self.name, self.model, self.seq, now, status)
                else:
                    yield self.last.with_status(status, self.seq, now)
            if code != TARVEL_POLL_NO_FRAME and retry > 0:
                _time.sleep(retry)

    def set_serial(self, baud, data_bits, parity, stop_bits):
        """New line settings for a serial channel from its next poll (``ProgSerial``); parity
        1 odd, 2 even, else none. Raises ``ChannelError`` for a TCP channel."""
        r = native.ProgSerial(self._channel(), baud, data_bits, parity, stop_bits)
        if r != 1:
            raise ChannelError("the channel has no serial port", r, "ProgSerial")

    def _take(self):
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

    def _poll_error(self, code, function):
        kind, message = _POLL_ERRORS.get(code, (PollError, "the poll failed"))
        text = _text(native.Display_Erro(self.channel)) if self.channel >= 0 else ""
        return kind(message, code, function, text)


class Converter:
    """A network converter's digital inputs and outputs (TCP port 8880) and its buffer
    commands. Each call opens one connection for one command and blocks (about 10 s when the
    converter does not answer). Bit 0 is the first input or output.

    Raises ``ChannelError`` for an address the library refuses, ``DioError`` when a command
    fails. The converter does not confirm outputs: writing to an unreachable converter gives
    no error.
    """

    def __init__(self, address):
        self.address = str(address)
        self.ip = native.Seta_Ip(self.address)
        if self.ip == TARVEL_FAILED:
            raise ChannelError("address refused: %r" % self.address, self.ip, "Seta_Ip")

    def __repr__(self):
        return "Converter(%r)" % self.address

    def inputs(self):
        """The input port as a number (``DIO_InPort``)."""
        return self._check(native.DIO_InPort(self.ip), "DIO_InPort")

    def input_bits(self):
        """The eight inputs as booleans, bit 0 first (``DIO_InPortStr``)."""
        t = _text(native.DIO_InPortStr(self.ip))
        if len(t) != 8 or set(t) - {"S", "N"}:
            raise DioError("no valid reply from the converter", t, "DIO_InPortStr")
        return tuple(c == "S" for c in t)

    def input(self, bit):
        """One input (``DIO_InBit``; the bit is taken modulo 32)."""
        return self._check(native.DIO_InBit(self.ip, bit), "DIO_InBit") == 1

    def set_outputs(self, value):
        """Sets every output: a number (``DIO_OutPort``), a text of "S"/"N" bit 0 first, or a
        sequence of booleans bit 0 first (``DIO_OutPortStr``)."""
        if isinstance(value, int):
            self._check(native.DIO_OutPort(self.ip, value), "DIO_OutPort")
            return
        if not isinstance(value, str):
            value = "".join("S" if bool(v) else "N" for v in value)
        self._check(native.DIO_OutPortStr(self.ip, value), "DIO_OutPortStr")

    def set_output(self, bit, on):
        """Sets one output on or off (``DIO_OutBit``)."""
        self._check(native.DIO_OutBit(self.ip, bit, 1 if on else 0), "DIO_OutBit")

    def clear_receive(self, letter):
        """Clears the receive buffer of converter channel ``letter`` (``ClrBufRx``)."""
        self._check(native.ClrBufRx(self.ip, letter), "ClrBufRx")

    def clear_transmit(self, letter):
        """Clears the transmit buffer of converter channel ``letter`` (``ClrBufTx``)."""
        self._check(native.ClrBufTx(self.ip, letter), "ClrBufTx")

    @staticmethod
    def _check(result, function):
        if result == TARVEL_FAILED:
            raise DioError("the converter command failed", result, function)
        return result


__all__ = ["Scale", "Converter", "version_texts", "TarvelError"]
