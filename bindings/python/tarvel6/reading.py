"""One reading of a scale: the reading record shared with ``tarvel --json`` and the gateway.

The fields are the record's keys (docs/library.md, "The reading record (JSON)"); ``record()`` gives the
record as a dict and ``to_json()`` as one line of JSON. The numbers and flags are derived
from the library's texts, by ``from_texts``; the unit is what ``Unidade_Canal`` gave.
"""

import dataclasses
import datetime
import json
import re
from decimal import Decimal
from typing import Any, Dict, Optional

MODELS = ("5817", "5817c", "krt", "ohaus", "msi3360", "msi6260")

# Families whose status text carries no unit; the raw 5817 supplies no weights either.
_NO_UNIT = ("ohaus", "5817c")
_NO_WEIGHTS = ("5817c",)
_REASONS = {
    "stale": "no frame within the wait",
    "offline": "connection or serial port down",
    "error": "bytes arrive but nothing decodes",
}
_NUMBER = re.compile(r"[+-]?(\d+\.?\d*|\.\d+)")


@dataclasses.dataclass(frozen=True)
class Texts:
    """What the value functions returned after the reading, exactly (Windows-1252 decoded)."""

    gross: str
    net: str
    tare: str
    total: str
    counter: str
    status: str
    motion: str


@dataclasses.dataclass(frozen=True)
class Reading:
    """One reading. ``gross``, ``net`` and ``tare`` are ``Decimal`` (None when the text is not a
    number or the family does not supply it); ``stable``, ``overload`` and ``negative`` are
    True, False or None (the indicator does not tell)."""

    scale: str
    model: str
    seq: int
    time: Optional[datetime.datetime]
    status: str
    gross: Optional[Decimal]
    net: Optional[Decimal]
    tare: Optional[Decimal]
    unit: Optional[str]
    stable: Optional[bool]
    overload: Optional[bool]
    negative: Optional[bool]
    texts: Optional[Texts]

    def record(self) -> Dict[str, Any]:
        """The reading record as a dict, keys in the record's order: numbers as floats, time
        as ISO 8601 UTC with milliseconds; ``since`` and ``reason`` only when ``status`` is
        not "ok"."""
        r: Dict[str, Any] = {
            "scale": self.scale,
            "model": self.model,
            "seq": self.seq,
            "time": _iso(self.time),
            "status": self.status,
        }
        if self.status != "ok":
            r["since"] = _iso(self.time)
            r["reason"] = _REASONS.get(self.status, self.status)
        for key in ("gross", "net", "tare"):
            value = getattr(self, key)
            r[key] = None if value is None else float(value)
        r["unit"] = self.unit
        r["stable"] = self.stable
        r["overload"] = self.overload
        r["negative"] = self.negative
        keys = [f.name for f in dataclasses.fields(Texts)]
        texts = dataclasses.asdict(self.texts) if self.texts else dict.fromkeys(keys)
        r["texts"] = {k: texts[k] for k in keys}
        return r

    def to_json(self) -> str:
        """The record as one line of JSON."""
        return json.dumps(self.record(), ensure_ascii=False, separators=(",", ":"))

    def with_status(self, status: str, seq: int, time: datetime.datetime) -> "Reading":
        """This reading's weights under a new status: a status change is a reading too."""
        return dataclasses.replace(self, status=status, seq=seq, time=time)


def parse_weight(text: Optional[str]) -> Optional[Decimal]:
    """A weight text as a ``Decimal``: point or comma as the decimal separator, blanks around
    it ignored; None for anything else ("EEEEEEEEEE", "--------", "")."""
    if text is None:
        return None
    t = text.strip()
    if "," in t and "." not in t:
        t = t.replace(",", ".", 1)
    if not _NUMBER.fullmatch(t):
        return None
    return Decimal(t)


_STABLE: Dict[str, bool] = {"N": True, "S": False}
_FLAGS: Dict[str, bool] = {"S": True, "N": False}


def _flag(c: str) -> Optional[bool]:
    return _FLAGS.get(c)


def from_texts(
    scale: str,
    model: str,
    seq: int,
    time: Optional[datetime.datetime],
    texts: Texts,
    status: str = "ok",
    unit: Optional[str] = None,
) -> Reading:
    """A reading from the value functions' texts, as the record defines it; ``unit`` is what
    ``Unidade_Canal`` gave (without it, the status text's characters 6-7)."""
    weights = model not in _NO_WEIGHTS
    st = texts.status
    if unit is not None:
        unit = unit.strip() or None
    elif model not in _NO_UNIT and len(st) >= 7:
        unit = st[5:7].strip() or None
        if unit == "EE":
            unit = None
    return Reading(
        scale=scale,
        model=model,
        seq=seq,
        time=time,
        status=status,
        gross=parse_weight(texts.gross) if weights else None,
        net=parse_weight(texts.net) if weights else None,
        tare=parse_weight(texts.tare) if weights else None,
        unit=unit,
        stable=_STABLE.get(texts.motion),  # moving: "S"
        overload=_flag(st[3]) if len(st) > 3 else None,
        negative=_flag(st[2]) if len(st) > 2 else None,
        texts=texts,
    )


def empty(scale: str, model: str, seq: int, time: Optional[datetime.datetime], status: str) -> Reading:
    """A status change before the first reading: no weights, no texts."""
    return Reading(scale, model, seq, time, status, None, None, None, None, None, None, None, None)


def _iso(t: Optional[datetime.datetime]) -> Optional[str]:
    if t is None:
        return None
    t = t.astimezone(datetime.timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def settles(reading: Optional[Reading]) -> bool:
    """Whether a reading may count towards a settled weight (the stable read's rule, shared
    with ``tarvel stable`` and tarvel-gateway): a reading whose indicator does not report
    motion (``stable`` not False; the MSI indicators do not tell, None), nor out of range
    (``overload`` not True), with a net weight (the raw 5817 variant has none)."""
    return (
        reading is not None
        and reading.status == "ok"
        and reading.stable is not False
        and reading.overload is not True
        and reading.net is not None
    )
