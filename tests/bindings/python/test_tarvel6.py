"""The Python binding against the real library and tarvel-sim.

Run by run_binding.sh with TARVEL_SIM (the simulator), TARVEL6_LIBRARY and TARVEL_LIBDIR set
and the package installed on PYTHONPATH. Each simulated converter has its own 127.0.6.x.
"""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
from decimal import Decimal
from unittest import mock

import tarvel6
from tarvel6 import native


def start_sim(*args, ptys=0):
    """tarvel-sim as a separate process, once its converter listens; its pty paths in .paths."""
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([os.environ["TARVEL_SIM"], *args], stdout=subprocess.PIPE, stderr=log,
                            text=True)
    proc.paths = [proc.stdout.readline().strip() for _ in range(ptys)]
    proc.log = log
    deadline = time.monotonic() + 15
    while time.monotonic() < deadline and proc.poll() is None:
        log.seek(0)
        if "converter on" in log.read():
            return proc
        time.sleep(0.05)
    stop_sim(proc)
    raise RuntimeError("tarvel-sim %s did not start" % (args,))


def stop_sim(proc):
    if proc.poll() is None:
        proc.terminate()
        proc.wait(10)
    proc.stdout.close()
    proc.log.close()


IP = "127.0.6.31"  # the converter of ScaleTest
NOBODY = "127.0.6.39"  # nothing listens here
CYCLE = "127.0.6.34"  # the load cycle of StableTest


def refused(port, letter):
    """What every front-end says when nothing listens on NOBODY's converter channel."""
    return ("nothing listens on %s port %d: is the converter on, and is its channel %s set to "
            "TCP server?" % (NOBODY, port, letter))


class ScaleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sim = start_sim("--ip", IP, "--io", "--in", "5",
                            "--a", "5817:weight=12345,tare=500,dec=4",
                            "--b", "krt:weight=-2500,dec=4,unit=lb,net",
                            "--c", "5817:mode=oscillate,weight=1000,amp=50",
                            "--d", "msi6260:weight=12.5,tare=2,dec=1",
                            "--pty", "ohaus:weight=1.5", ptys=1)

    @classmethod
    def tearDownClass(cls):
        stop_sim(cls.sim)

    def test_readings_of_each_family(self):
        # model, where, (gross, net, tare), unit, stable, overload, negative
        cases = [
            ("5817", "A", ("128.45", "123.45", "5.00"), "kg", True, False, False),
            ("krt", "B", ("-25.00", "-25.00", "0"), "lb", True, False, True),
            ("5817c", "A", (None, None, None), None, None, None, None),
            ("msi6260", "D", ("12.5", None, None), "KG", None, None, None),
            ("ohaus", None, (None, "1.50", None), "kg", True, None, False),  # unit from its line
        ]
        for model, letter, weights, unit, stable, overload, negative in cases:
            with self.subTest(model=model):
                where = {"tcp": IP + ":" + letter} if letter else {"serial": self.sim.paths[0]}
                with tarvel6.Scale(model.upper(), name="s-" + model, **where) as s:
                    r = s.read()
                expected = tuple(None if w is None else Decimal(w) for w in weights)
                self.assertEqual((r.gross, r.net, r.tare), expected)
                self.assertEqual((r.unit, r.stable, r.overload, r.negative),
                                 (unit, stable, overload, negative))
                self.assertEqual((r.scale, r.model, r.seq, r.status), ("s-" + model, model, 1, "ok"))
                self.assertEqual(r.net, tarvel6.parse_weight(r.texts.net) if r.net else r.net)

    def test_record_is_the_shared_json_line(self):
        with tarvel6.Scale("5817", tcp=IP + ":a") as s:
            r = s.read()
            line = r.to_json()
        self.assertNotIn("\n", line)
        rec = json.loads(line)
        self.assertEqual(list(rec), ["scale", "model", "seq", "time", "status", "gross", "net", "tare",
                                     "unit", "stable", "overload", "negative", "texts"])
        self.assertRegex(rec["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")
        self.assertEqual((rec["gross"], rec["net"], rec["tare"]), (128.45, 123.45, 5.0))
        self.assertEqual(rec["texts"], {"gross": "    128.45", "net": "    123.45",
                                        "tare": "      5.00", "total": "", "counter": "",
                                        "status": "1NNNNkgN", "motion": "N"})
        with self.assertRaises(Exception):
            r.net = 0  # frozen

    def test_polls_stable_and_timeouts(self):
        with tarvel6.Scale("5817", tcp=IP + ":A") as s:
            self.assertEqual(s.read(timeout=3).net, Decimal("123.45"))
            r = s.read_stable(count=3, timeout=5)
            self.assertEqual((r.net, r.seq, r.stable), (Decimal("123.45"), 4, True))
        with tarvel6.Scale("5817", tcp=IP + ":C") as s:  # swinging
            # A time-out bounds the wait only: the next frame comes, moving.
            t0 = time.monotonic()
            r = s.read(timeout=2)
            self.assertLess(time.monotonic() - t0, 1.9)
            self.assertIs(r.stable, False)
            with self.assertRaises(tarvel6.NotSettledError) as e:
                s.read_stable(count=3, timeout=1)
            self.assertIsInstance(e.exception, TimeoutError)
            self.assertIs(e.exception.reading.stable, False)
            self.assertEqual(str(e.exception), "the weight on %s:C did not settle within 1 s: 3 "
                             "readings in a row without motion, within range and with the same "
                             "net weight were needed" % IP)
            self.assertIs(s.read().stable, False)
        with tarvel6.Scale("msi3360", tcp=IP + ":C", connect=False) as s:  # no MSI frame there
            with self.assertRaises(TimeoutError) as e:
                s.read(timeout=0.3)
            self.assertIsInstance(e.exception, tarvel6.NoFrameError)
            self.assertEqual(e.exception.code, tarvel6.TARVEL_POLL_NO_FRAME)
            self.assertTrue(str(e.exception).startswith("no frame from %s:C within 0.3 s: " % IP))
        with tarvel6.Scale("5817", tcp=IP + ":A") as s:
            for bad in (0, -1):
                with self.subTest(timeout=bad), self.assertRaises(ValueError):
                    s.read(timeout=bad)
            for count in (0, 101):
                with self.subTest(count=count), self.assertRaises(ValueError):
                    s.read_stable(count=count)

    def test_refusals(self):
        with self.assertRaises(ConnectionError) as e:
            tarvel6.Scale("krt", tcp=NOBODY + ":A")
        self.assertIsInstance(e.exception, tarvel6.ConnectError)
        self.assertIsInstance(e.exception, OSError)
        self.assertEqual(str(e.exception), refused(8881, "A"))  # English, what to check
        self.assertIn(NOBODY, e.exception.detail)  # Display_Erro, from Windows-1252
        self.assertIn("\u00e3", e.exception.detail)
        self.assertEqual(e.exception.text, e.exception.detail)
        self.assertEqual((e.exception.code, e.exception.function), (0, "Select_Canal"))
        for args, error in [
            (dict(model="5817", tcp=IP + ":E"), tarvel6.ChannelError),
            (dict(model="5817", tcp="1.2.3.4.5.6.7.8.9:A"), tarvel6.ChannelError),
            (dict(model="9999", tcp=IP + ":A"), ValueError),
            (dict(model="5817", tcp=IP), ValueError),
            (dict(model="5817", tcp=IP + ":A", serial=1), ValueError),
            (dict(model="5817"), ValueError),
            (dict(model="5817", serial=0), ValueError),
        ]:
            with self.subTest(args=args), self.assertRaises(error):
                tarvel6.Scale(**args)
        with self.assertRaises(ValueError):  # ChannelError is one too
            tarvel6.Scale("5817", tcp=IP + ":E")
        with tarvel6.Scale("ohaus", serial="/nonexistent/tty0") as s:
            with self.assertRaises(ConnectionError) as e:
                s.read()
            self.assertIsInstance(e.exception, tarvel6.PortError)
            self.assertEqual(e.exception.code, 4)
            self.assertIsInstance(e.exception, tarvel6.PollError)
            self.assertRegex(str(e.exception), r"^the serial port COM\d+ \(/nonexistent/tty0\) did "
                             r"not open: is the device there")
            self.assertTrue(e.exception.detail)

    def test_close(self):
        s = tarvel6.Scale("5817", tcp=IP + ":A")
        with s:
            s.read()
        self.assertTrue(s.closed)
        s.close()
        with self.assertRaises(ValueError) as e:
            s.read()
        self.assertIsInstance(e.exception, tarvel6.ClosedError)

    def test_converter(self):
        c = tarvel6.Converter(IP)
        self.assertEqual(c.inputs(), 5)
        self.assertEqual(c.input_bits(), (True, False, True, False, False, False, False, False))
        self.assertEqual((c.input(0), c.input(1), c.input(2)), (True, False, True))
        c.set_outputs(5)
        c.set_outputs([True, True])
        c.set_outputs("SNSNSNSN")
        c.set_output(7, True)
        c.clear_transmit("d")
        # Nothing listens: nothing is sent, and every command says so, in English.
        dead = tarvel6.Converter(NOBODY)
        port = "nothing listens on %s port 8880" % NOBODY
        checks = ": is the converter on, and is its IO port enabled?"
        cases = [
            (dead.inputs, "could not read the inputs: %s, or its reply held no input value" % port),
            (dead.input_bits, "could not read the inputs: %s, or its reply held no input value" % port),
            (lambda: dead.input(3), "could not read input 3: %s, or its reply held no input value" % port),
            (lambda: dead.set_outputs(5), "could not set the outputs to 5: %s, or the converter "
             "broke the exchange off" % port),
            (lambda: dead.set_outputs("NS"), "could not set the outputs to 2: %s, or the converter "
             "broke the exchange off" % port),
            (lambda: dead.set_output(0, False), "could not set output 0 off: %s, or the converter "
             "broke the exchange off" % port),
            (lambda: dead.clear_receive("a"), "could not clear the receive buffer of channel A: %s, "
             "or the converter broke the exchange off" % port),
            (lambda: dead.clear_transmit("B"), "could not clear the transmit buffer of channel B: "
             "%s, or the converter broke the exchange off" % port),
        ]
        for call, message in cases:
            with self.subTest(message=message), self.assertRaises(ConnectionError) as e:
                call()
            self.assertIsInstance(e.exception, tarvel6.DioError)
            self.assertEqual(str(e.exception), message + checks)
            self.assertEqual(e.exception.code, -1)
        # Bad arguments never reach the converter.
        for call in (lambda: c.clear_receive("E"), lambda: c.set_outputs(256),
                     lambda: c.set_outputs(-1), lambda: c.set_outputs("SNX"),
                     lambda: c.set_outputs("S" * 9), lambda: c.set_output(8, True),
                     lambda: c.input(8), lambda: c.input(-1)):
            with self.assertRaises(ValueError):
                call()


class StableTest(unittest.TestCase):
    """The stable read over the load cycle of a weighbridge: it never gives a moving weight."""

    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory()
        script = os.path.join(cls.dir.name, "load.txt")
        with open(script, "w") as f:
            f.write("600 0\n300 2150 motion\n300 9800 motion\n300 16420 motion\n1500 18460\n"
                    "300 7200 motion\n300 950 motion\n")
        cls.sim = start_sim("--ip", CYCLE, "--a", "5817:mode=script,file=%s,dec=3" % script,
                            "--b", "5817:weight=1500,motion", "--c", "5817:weight=999999,over")

    @classmethod
    def tearDownClass(cls):
        stop_sim(cls.sim)
        cls.dir.cleanup()

    def test_load_cycle_settles_only_at_rest(self):
        with tarvel6.Scale("5817", tcp=CYCLE + ":A") as s:
            for i in range(12):
                r = s.read_stable(count=3, timeout=5)
                self.assertEqual((r.stable, r.overload, r.texts.motion), (True, False, "N"), r)
                self.assertIn(r.net, (Decimal("0.0"), Decimal("1846.0")))
                time.sleep(i * 0.07 % 0.5)  # another point of the cycle

    def test_never_settling_weights_fail_in_time(self):
        # Every frame in motion with the same net (LePesoConsecutivo would call it stable);
        # out of range.
        for letter, kind in (("B", tarvel6.NotSettledError), ("C", tarvel6.NotSettledError)):
            with self.subTest(letter=letter), tarvel6.Scale("5817", tcp=CYCLE + ":" + letter) as s:
                t0 = time.monotonic()
                with self.assertRaises(TimeoutError) as e:
                    s.read_stable(count=3, timeout=1.5)
                self.assertIsInstance(e.exception, kind)
                self.assertLess(time.monotonic() - t0, 12)
                self.assertIsNotNone(e.exception.reading)
        with tarvel6.Scale("5817c", tcp=CYCLE + ":A") as s:
            with self.assertRaises(tarvel6.NotSettledError) as e:
                s.read_stable(count=2, timeout=1)
            self.assertIn("(5817c) carries no weight", str(e.exception))


class StreamTest(unittest.TestCase):
    def test_status_changes_are_readings(self):
        ip = "127.0.6.32"
        args = ("--ip", ip, "--a", "5817:mode=ramp,from=0,to=1000,step=10")
        sim = start_sim(*args)
        try:
            with tarvel6.Scale("5817", tcp=ip + ":A", name="truck") as s:
                self.assertEqual([r.seq for r in s.stream(count=2)], [1, 2])
                stream = s.stream()
                first = [next(stream) for _ in range(3)]
                self.assertEqual([r.seq for r in first], [3, 4, 5])
                self.assertEqual({r.status for r in first}, {"ok"})
                self.assertEqual(len({r.net for r in first}), 3)  # the ramp moves
                stop_sim(sim)
                down = next(stream)
                self.assertIn(down.status, ("offline", "stale"))
                self.assertEqual((down.seq, down.net, down.texts), (6, first[-1].net, first[-1].texts))
                rec = down.record()
                self.assertEqual((rec["since"], rec["time"]), (rec["time"], rec["time"]))
                self.assertTrue(rec["reason"])
                sim = start_sim(*args)
                # Each change of state once: at most stale then offline, then readings again.
                changes = [down]
                while changes[-1].status != "ok":
                    changes.append(next(stream))
                statuses = [r.status for r in changes]
                self.assertIn(statuses, (["stale", "ok"], ["offline", "ok"], ["stale", "offline", "ok"]))
                self.assertEqual([r.seq for r in changes], list(range(6, 6 + len(changes))))
                stream.close()
        finally:
            stop_sim(sim)

    def test_unreachable_backs_off(self):
        # Nothing listens: one offline reading, then attempts 0.5 s, 1, 2 ... 30 s apart, with
        # nothing more said. The pauses are taken from time.sleep, which ends the loop here.
        pauses = []

        class Enough(Exception):
            pass

        def sleep(seconds):
            pauses.append(seconds)
            if len(pauses) == 9:
                raise Enough()

        with tarvel6.Scale("5817", tcp=NOBODY + ":A", connect=False) as s:
            stream = s.stream()
            first = next(stream)
            self.assertEqual((first.status, first.seq, first.net), ("offline", 1, None))
            with mock.patch.object(tarvel6.scale._time, "sleep", sleep), self.assertRaises(Enough):
                next(stream)
        self.assertEqual(pauses, [0.5, 1, 2, 4, 8, 16, 30, 30, 30])


class NativeTest(unittest.TestCase):
    def test_flat_functions(self):
        # Every C function is a typed function of the module, and ctypes knows its signature.
        self.assertEqual(sorted(n for n, _, _ in native.PROTOTYPES),
                         sorted(n for n in dir(native) if callable(getattr(native, n))
                                and getattr(getattr(native, n), "__module__", "") == native.__name__
                                and n[0].isupper() and not n.startswith("_")))
        self.assertEqual(tarvel6.version_texts(), ("TARVEL", "2.0.15", "", "", "Tarvel6"))
        self.assertEqual(native.Seta_Ip("127.0.6.33"), native.Seta_Ip(b"127.0.6.33"))
        self.assertEqual(native.Seta_Ip(None), tarvel6.TARVEL_FAILED)
        self.assertEqual(native.W5817(native.Seta_Ip("127.0.6.33"), "Z"), -1)
        self.assertEqual(native.Display_Erro(12345), b"")
        self.assertEqual(len([n for n, _, _ in native.PROTOTYPES]), 43)
        self.assertIs(tarvel6.PollResult.OUT_OF_RANGE, tarvel6.PollResult(3))
        self.assertEqual(tarvel6.Flag.YES, "S")

    def test_parse_weight(self):
        for text, value in [("    123.45", "123.45"), ("  -12,5", "-12.5"), ("0", "0"), (".5", "0.5"),
                            ("EEEEEEEEEE", None), ("--------", None), ("", None), ("1.2.3", None),
                            ("12 kg", None), ("-", None)]:
            with self.subTest(text=text):
                self.assertEqual(tarvel6.parse_weight(text), None if value is None else Decimal(value))

    def test_library_lookup(self):
        # Each way of finding the library, in a fresh interpreter.
        libdir = os.environ["TARVEL_LIBDIR"]
        probe = "import tarvel6; print(tarvel6.version_texts()[1], tarvel6.native.path())"
        pkg = os.path.dirname(tarvel6.__file__)
        with tempfile.TemporaryDirectory() as tmp:
            copy = os.path.join(tmp, "tarvel6")
            shutil.copytree(pkg, copy)
            shutil.copy(os.path.join(libdir, "libTarvel6.so.2"), copy)
            cases = [
                ("variable", {"TARVEL6_LIBRARY": os.path.join(libdir, "libTarvel6.so.2")}, pkg, "2.0.15"),
                ("next to the package", {}, copy, os.path.join(copy, "libTarvel6.so.2")),
                ("system path", {"LD_LIBRARY_PATH": libdir}, pkg, "libTarvel6.so.2"),
                ("bad variable", {"TARVEL6_LIBRARY": "/nonexistent/libX.so"}, pkg, "LibraryNotFoundError"),
                ("nowhere", {}, pkg, "LibraryNotFoundError"),
            ]
            clean = {k: v for k, v in os.environ.items()
                     if k not in ("TARVEL6_LIBRARY", "LD_LIBRARY_PATH")}
            system = subprocess.run([sys.executable, "-c", "import ctypes; ctypes.CDLL('libTarvel6.so.2')"],
                                    env=clean, capture_output=True).returncode == 0
            for name, extra, where, expect in cases:
                with self.subTest(name):
                    if name == "nowhere" and system:
                        self.skipTest("this system has libTarvel6.so.2 installed")
                    env = dict(clean)
                    env.update(extra, PYTHONPATH=os.path.dirname(where))
                    p = subprocess.run([sys.executable, "-c", probe], env=env, capture_output=True,
                                       text=True, timeout=60)
                    self.assertIn(expect, p.stdout + p.stderr)


if __name__ == "__main__":
    unittest.main()
