#!/usr/bin/env python3
"""The gateway's HTTP side under attack, as figures (a benchmark, not a test: it asserts
nothing and prints one line per attack):

    bench/http_attacks.py GATEWAY SIM [ROW...]

GATEWAY and SIM are the programs (any build of tarvel-gateway, so that two builds can be
compared on one machine). Each row starts a fresh gateway on 127.0.6.x:18080 with one
simulated scale and a converter; the attackers connect from 127.6.x.x. Rows: chunked200,
chunked10, header200, headers4m, slow1000, slow1100, idle3000, trickle, forge, rebind, nul,
slash, pipeline (all by default). Raise the open-files limit first when running as a user."""
import json
import os
import re
import resource
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests",
                                "gateway"))
from attack_test import Crowd, MB, chunks, concat, cpu_seconds, exchange, repeat  # noqa: E402
from attack_test import slowly  # noqa: E402
from gwlib import request  # noqa: E402

IP = "127.0.6.1"
PORT = 18080
TOKEN = "s3cret-token-of-the-yard"


def rss_kb(pid, key="VmRSS"):
    with open("/proc/%d/status" % pid) as f:
        return int(re.search(key + r":\s+(\d+)", f.read()).group(1))


def threads(pid):
    return len(os.listdir("/proc/%d/task" % pid))


class Yard:
    def __init__(self, gateway, sim, token=False, work=None):
        self.work = work or tempfile.mkdtemp(prefix="http_attacks.")
        cfg = os.path.join(self.work, "g.toml")
        with open(cfg, "w") as f:
            f.write('[gateway]\nname = "y"\nhttp = "%s:%d"\n%s\n[[scale]]\nname = "truck"\n'
                    'model = "5817"\ntcp = "%s:A"\n[[converter]]\nname = "io"\naddress = "%s"\n'
                    % (IP, PORT, 'token = "%s"' % TOKEN if token else "", IP, IP))
        self.sim_err = os.path.join(self.work, "sim.err")
        self.gw_err = os.path.join(self.work, "gw.err")
        self.sim = subprocess.Popen([sim, "--ip", IP, "--a", "5817:weight=1000,dec=0", "--io",
                                     "--verbose"], stdout=subprocess.DEVNULL,
                                    stderr=open(self.sim_err, "w"))
        time.sleep(0.3)
        self.gw = subprocess.Popen([gateway, "--config", cfg], stdout=subprocess.DEVNULL,
                                   stderr=open(self.gw_err, "w"))
        for _ in range(100):
            if "serving" in self.log():
                break
            time.sleep(0.05)
        time.sleep(0.5)
        self.pid = self.gw.pid

    def log(self):
        with open(self.gw_err, errors="replace") as f:
            return f.read()

    def sim_log(self):
        with open(self.sim_err, errors="replace") as f:
            return f.read()

    def close(self):
        for p in (self.gw, self.sim):
            p.send_signal(signal.SIGTERM)
            try:
                p.wait(5)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()


def get_time(path="/healthz", timeout=30):
    t = time.monotonic()
    try:
        st, _, _ = request(IP, PORT, "GET", path, timeout=timeout)
    except OSError as e:
        st = str(e)
    return st, time.monotonic() - t


PUT = b"PUT /api/converters/io/outputs/1 HTTP/1.1\r\nHost: %s:%d\r\n" % (IP.encode(), PORT)
AUTH = b"Authorization: Bearer " + TOKEN.encode() + b"\r\n"


def memory_row(y, parts):
    before = rss_kb(y.pid, "VmHWM")
    got, took, _ = exchange(IP, PORT, parts, timeout=120)
    peak = rss_kb(y.pid, "VmHWM") - before
    time.sleep(0.5)
    return "%s after %.1f s; peak RSS +%.1f MB, RSS now +%.1f MB over the start" % (
        got[0][0] if got else "no answer", took, peak / 1024.0,
        (rss_kb(y.pid) - y.start_rss) / 1024.0)


def row_chunked200(y):
    return memory_row(y, concat([PUT + b"Transfer-Encoding: chunked\r\n\r\n"], chunks(200 * MB)))


def row_chunked10(y):
    return memory_row(y, concat([PUT + AUTH + b"Transfer-Encoding: chunked\r\n\r\n"],
                                chunks(10 * MB)))


def row_header200(y):
    return memory_row(y, concat([b"GET /api/scales HTTP/1.1\r\nHost: x\r\nX-Long: "],
                                repeat(b"a" * 65536, 3200), [b"\r\n\r\n"]))


def row_headers4m(y):
    return memory_row(y, concat([b"GET /api/scales HTTP/1.1\r\nHost: x\r\n"],
                                (b"".join(b"X-%d: y\r\n" % (i * 1000 + k) for k in range(1000))
                                 for i in range(4000)), [b"\r\n"]))


def slow_crowd(n, seconds):
    sources = ["127.6.1.%d" % (i + 1) for i in range((n + 99) // 100)]
    crowd = Crowd(IP, PORT, sources, 100, first=b"GET /api/scales HTTP/1.1\r\nHost: x\r\n",
                  drip=b"X", every=3.0)
    return crowd


def row_slow1000(y):
    crowd = slow_crowd(1000, 20)
    time.sleep(20)
    n = threads(y.pid)
    crowd.close()
    return "closed by the gateway within 20 s: %d; gateway threads %d; longest lived %.1f s" % (
        crowd.reopened, n, max(crowd.lifetimes or [0]))


def row_slow1100(y):
    crowd = slow_crowd(1100, 10)
    time.sleep(3)
    st, took = get_time(timeout=30)
    n = threads(y.pid)
    crowd.close()
    return "normal client: %s after %.2f s; gateway threads %d" % (st, took, n)


def row_idle3000(y):
    crowd = Crowd(IP, PORT, ["127.6.2.%d" % (i + 1) for i in range(30)], 100)
    time.sleep(3)
    c0, t0 = cpu_seconds(y.pid), time.monotonic()
    times = []
    while time.monotonic() - t0 < 10:
        times.append(get_time(timeout=30)[1])
        time.sleep(0.5)
    cpu = 100 * (cpu_seconds(y.pid) - c0) / (time.monotonic() - t0)
    crowd.close()
    times.sort()
    return "normal client median %.3f s, max %.3f s; gateway CPU %.1f %% of a core" % (
        times[len(times) // 2], times[-1], cpu)


def row_trickle(y):
    parts = concat([PUT + b"Transfer-Encoding: chunked\r\n\r\n"], slowly([b"1\r\nx\r\n"] * 30, 2))
    got, took, closed = exchange(IP, PORT, parts, timeout=70)
    return "connection held %.1f s, answer %s" % (took, got[0][0] if got else "none")


def row_forge(y):
    path = ("/api/converters/io%0A2026-12-07T00:00:00.000Z%20tarvel-gateway:%20io:%20output"
            "%203%20on%20(127.0.0.1):%20done/outputs/3")
    st, _, _ = request(IP, PORT, "PUT", path, body="on")
    time.sleep(0.2)
    forged = bool(re.search(r"^\S+ tarvel-gateway: io: output 3 on", y.log(), re.M))
    return "%d; a forged line in the log: %s" % (st, "yes" if forged else "no")


def row_rebind(y):
    st, _, _ = request(IP, PORT, "PUT", "/api/converters/io/outputs/2", body="on", headers={
        "Host": "attacker.example:%d" % PORT, "Origin": "http://attacker.example:%d" % PORT})
    time.sleep(0.2)
    return "%d; output switched: %s" % (st, "yes" if "OB12" in y.sim_log() else "no")


def row_nul(y):
    raw = (PUT + b"Authorization: Bearer " + TOKEN.encode() + b"\x00anything\r\n"
           b"Content-Length: 2\r\n\r\non")
    got, _, _ = exchange(IP, PORT, [raw])
    time.sleep(0.2)
    return "%s; output switched: %s" % (got[0][0] if got else "no answer",
                                        "yes" if "OB11" in y.sim_log() else "no")


def row_slash(y):
    st, _, _ = request(IP, PORT, "PUT", "/api/converters/io%2Foutputs%2F4", body="on")
    time.sleep(0.2)
    return "%d; output switched: %s" % (st, "yes" if "OB14" in y.sim_log() else "no")


def row_pipeline(y):
    host = b"Host: %s:%d\r\n" % (IP.encode(), PORT)
    two = (b"GET /api/scales/truck HTTP/1.1\r\n" + host + b"\r\n" + b"GET /healthz HTTP/1.1\r\n" +
           host + b"\r\n")
    a, _, _ = exchange(IP, PORT, [two], timeout=3, answers=2)
    put = (b"PUT /api/converters/io/outputs/5 HTTP/1.1\r\n" + host +
           b"Content-Length: 3\r\n\r\noff" + b"GET /healthz HTTP/1.1\r\n" + host + b"\r\n")
    b, _, _ = exchange(IP, PORT, [put], timeout=3, answers=2)
    return "two GETs: %d of 2 answered; PUT then GET: %d of 2 answered" % (len(a), len(b))


ROWS = {
    "chunked200": ("PUT, chunked body of 200 MB, no token", row_chunked200, True),
    "chunked10": ("PUT, chunked body of 10 MB, with the token", row_chunked10, True),
    "header200": ("one header line of 200 MB", row_header200, False),
    "headers4m": ("4,000,000 small headers on one connection", row_headers4m, False),
    "slow1000": ("1,000 connections, a header byte every 3 s", row_slow1000, False),
    "slow1100": ("1,100 such connections, and a normal client", row_slow1100, False),
    "idle3000": ("3,000 idle connections (reopened when closed)", row_idle3000, False),
    "trickle": ("chunked body at one byte every 2 s", row_trickle, False),
    "forge": ("PUT with %0A and a forged log line in the path, no token", row_forge, True),
    "rebind": ("PUT with Host and Origin attacker.example", row_rebind, False),
    "nul": ("Authorization: Bearer <token>\\0anything", row_nul, True),
    "slash": ("PUT /api/converters/io%2Foutputs%2F4", row_slash, False),
    "pipeline": ("requests pipelined in one segment", row_pipeline, False),
}


def main():
    if len(sys.argv) < 3:
        print(__doc__, file=sys.stderr)
        return 2
    gateway, sim = sys.argv[1:3]
    names = sys.argv[3:] or list(ROWS)
    _, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    for name in names:
        what, fn, token = ROWS[name]
        y = Yard(gateway, sim, token)
        y.start_rss = rss_kb(y.pid)
        try:
            result = fn(y)
        except Exception as e:  # a figure of its own: the attack broke the client side
            result = "failed: %r" % e
        finally:
            y.close()
        print(json.dumps({"row": name, "attack": what, "result": result}), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
