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

import tarvel6
from tarvel6 import native


def start_sim(*args, ptys=0):
    """tarvel-sim as a separate process, once its converter listens; its pty paths in .paths."""
    log = tempfile.TemporaryFile(mode="w+")
    proc = subprocess.Popen([os.environ["TARVEL_SIM"], *args], stdout=subprocess.PIPE, stderr=log,
                            text=True)
    proc.paths = [proc.stdout.readline().strip() for _ in range(ptys)]
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


IP = "127.0.6.31"  # the converter of ScaleTest
NOBODY = "127.0.6.39"  # nothing listens here


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
            r = s.read_stable(count=3, seconds=5)
            self.assertEqual((r.net, r.seq), (Decimal("123.45"), 2))
        with tarvel6.Scale("5817", tcp=IP + ":C") as s:  # swinging
            with self.assertRaises(tarvel6.MotionError) as e:
                s.read(timeout=0.3)
            self.assertEqual((e.exception.code, e.exception.function), (2, "Update_NoMotion"))
            with self.assertRaises(tarvel6.NotSettledError) as e:
                s.read_stable(count=3, seconds=1)
            self.assertEqual(e.exception.code, tarvel6.StableResult.TIMEOUT)
            self.assertIs(s.read().stable, False)
        with tarvel6.Scale("msi3360", tcp=IP + ":C", connect=False) as s:  # no MSI frame there
            with self.assertRaises(tarvel6.NoFrameError) as e:
                s.read(timeout=0.3)
            self.assertEqual(e.exception.code, tarvel6.TARVEL_POLL_NO_FRAME)

    def test_refusals(self):
        with self.assertRaises(tarvel6.ConnectError) as e:
            tarvel6.Scale("krt", tcp=NOBODY + ":A")
        self.assertIn(NOBODY, e.exception.text)  # Display_Erro, from Windows-1252
        self.assertIn("\u00e3", e.exception.text)
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
        with tarvel6.Scale("ohaus", serial="/nonexistent/tty0") as s:
            with self.assertRaises(tarvel6.PortError) as e:
                s.read()
            self.assertEqual(e.exception.code, 4)
            self.assertIsInstance(e.exception, tarvel6.PollError)

    def test_close(self):
        s = tarvel6.Scale("5817", tcp=IP + ":A")
        with s:
            s.read()
        self.assertTrue(s.closed)
        s.close()
        with self.assertRaises(tarvel6.ClosedError):
            s.read()

    def test_converter(self):
        c = tarvel6.Converter(IP)
        self.assertEqual(c.inputs(), 5)
        self.assertEqual(c.input_bits(), (True, False, True, False, False, False, False, False))
        self.assertEqual((c.input(0), c.input(1), c.input(32)), (True, False, True))
        c.set_outputs(5)
        c.set_outputs([True, True])
        c.set_output(7, True)
        c.clear_transmit("d")
        dead = tarvel6.Converter(NOBODY)
        for call in (dead.inputs, dead.input_bits, lambda: dead.input(0)):
            with self.assertRaises(tarvel6.DioError):
                call()
        with self.assertRaises(tarvel6.DioError):
            c.clear_receive("E")


class StreamTest(unittest.TestCase):
    def test_status_changes_are_readings(self):
        ip = "127.0.6.32"
        args = ("--ip", ip, "--a", "5817:mode=ramp,from=0,to=1000,step=10")
        sim = start_sim(*args)
        try:
            with tarvel6.Scale("5817", tcp=ip + ":A", name="truck") as s:
                stream = s.stream(retry=0.1)
                first = [next(stream) for _ in range(3)]
                self.assertEqual([r.seq for r in first], [1, 2, 3])
                self.assertEqual({r.status for r in first}, {"ok"})
                self.assertEqual(len({r.net for r in first}), 3)  # the ramp moves
                stop_sim(sim)
                down = next(stream)
                self.assertIn(down.status, ("offline", "stale"))
                self.assertEqual((down.seq, down.net, down.texts), (4, first[-1].net, first[-1].texts))
                rec = down.record()
                self.assertEqual((rec["since"], rec["time"]), (rec["time"], rec["time"]))
                self.assertTrue(rec["reason"])
                sim = start_sim(*args)
                up = next(stream)
                self.assertEqual((up.status, up.seq), ("ok", 5))
                stream.close()
        finally:
            stop_sim(sim)


class NativeTest(unittest.TestCase):
    def test_flat_functions(self):
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
