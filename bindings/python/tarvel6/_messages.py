"""What the binding tells people when something fails, in English, built from the library's
result codes and from what was being done, each saying what to check. The same texts as the
`tarvel` program's (tools/common/messages.cpp); the library's own (Portuguese) text goes only
into an exception's ``detail``."""

from typing import Optional

_REACHABLE = "reachable from this machine (address, cable, firewall)"

# A connection attempt that took this long ended with the library's 10 s time-out.
TIMEOUT_AFTER = 9.0


def ended_after_timeout(elapsed: float) -> bool:
    """True when a failed call took the library's whole time-out (``elapsed`` in seconds)."""
    return elapsed >= TIMEOUT_AFTER


def line_settings(model: str) -> str:
    if model in ("5817", "5817c", "krt"):
        return "4800 baud, 7 data bits, even parity, 1 stop bit"
    if model == "ohaus":
        return "9600 baud, 7 data bits, even parity, 2 stop bits"
    if model == "msi3360":
        return "9600 baud, 8 data bits, no parity, 1 stop bit"
    if model == "msi6260":
        return "1200 baud, 7 data bits, mark parity, 1 stop bit"
    return ""


def wait_seconds(model: str) -> int:
    """How long ``Update_Canal`` waits for the model's frame."""
    return 10 if model in ("5817", "5817c", "krt") else 5


def seconds(value: float) -> str:
    """ "10 s", "2.5 s", "0.3 s"."""
    if value == int(value):
        return "%d s" % int(value)
    return "%g s" % value


class Channel:
    """One indicator as the messages name it: a converter channel or a serial port."""

    def __init__(self, model: str, address: Optional[str] = None, letter: str = "A",
                 port: str = "") -> None:
        self.model = model
        self.address = address
        self.letter = letter.upper()
        self.port = port

    @property
    def where(self) -> str:
        return "%s:%s" % (self.address, self.letter) if self.address is not None else self.port

    @property
    def tcp_port(self) -> int:
        return 8880 + ord(self.letter) - ord("A") + 1


def connect_failed(c: Channel, after_timeout: bool) -> str:
    port = "%s port %d" % (c.address, c.tcp_port)
    if not after_timeout:
        return ("nothing listens on %s: is the converter on, and is its channel %s set to TCP "
                "server?" % (port, c.letter))
    return "%s did not accept a connection within 10 s: is the converter on and %s?" % (
        port, _REACHABLE)


def poll_failed(c: Channel, result: int, no_motion: Optional[float] = None) -> str:
    """Result 1 (no frame within ``no_motion`` seconds, or the model's own wait), 2 (no frame
    without motion within ``no_motion``) or 4 (the serial port did not open)."""
    if result == 1:
        within = seconds(no_motion if no_motion is not None else wait_seconds(c.model))
        if c.address is not None:
            return ("no frame from %s within %s: is the indicator on and cabled to the "
                    "converter's channel %s, and is that channel set to %s?"
                    % (c.where, within, c.letter, line_settings(c.model)))
        return ("no frame from %s within %s: is the indicator on and cabled to this port, and "
                "does it send at %s?" % (c.where, within, line_settings(c.model)))
    if result == 2:
        return ("no frame without motion from %s within %s: the weight kept moving, or the "
                "indicator sent nothing" % (c.where, seconds(no_motion or 0.0)))
    if result == 4:
        return ("the serial port %s did not open: is the device there and not in use by another "
                "program, and may this user open it (on Linux: the dialout group)?" % c.where)
    return "the poll of %s failed with result %d" % (c.where, result)


def out_of_range(c: Channel) -> str:
    return ("the indicator on %s reports out of range: is the load within the scale's "
            "capacity?" % c.where)


def not_settled(c: Channel, count: int, within: float) -> str:
    if c.model == "5817c":
        return ("the raw 5817 variant (5817c) carries no weight, so it never settles: use the "
                "model 5817 for a stable read")
    return ("the weight on %s did not settle within %s: %d readings in a row without motion, "
            "within range and with the same net weight were needed"
            % (c.where, seconds(within), count))


def dio_failed(action: str, address: str, is_input: bool, after_timeout: bool) -> str:
    what = "could not %s: " % action
    port = "%s port 8880" % address
    if after_timeout:
        cause = ("no valid reply from %s within 10 s" % port if is_input
                 else "%s did not accept a connection within 10 s" % port)
        return "%s%s: is the converter on and %s?" % (what, cause, _REACHABLE)
    cause = ", or its reply held no input value" if is_input else (
        ", or the converter broke the exchange off")
    return ("%snothing listens on %s%s: is the converter on, and is its IO port enabled?"
            % (what, port, cause))
