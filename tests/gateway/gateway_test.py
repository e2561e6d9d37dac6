#!/usr/bin/env python3
"""The real tarvel-gateway against the real tarvel-sim, one group of cases per run:

    gateway_test.py CASE GATEWAY SIM TARVEL WORKDIR [SSE_LOAD]

Each CASE has loopback addresses of its own (127.0.3.x), so the groups may run in parallel.
Exit 0 passed, 1 failed."""
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from gwlib import (Env, Events, Fail, check, gateway_config, get_json, metric,  # noqa: E402
                   request, run_case, wait_for)

CASES = {}
# The broker is in /usr/sbin, which is not on every user's PATH.
MOSQUITTO = shutil.which("mosquitto") or "/usr/sbin/mosquitto"


def case(fn):
    CASES[fn.__name__] = fn
    return fn


def timed(fn, *args, **kw):
    t = time.monotonic()
    r = fn(*args, **kw)
    return r, time.monotonic() - t


# ---- configuration files ---------------------------------------------------------------------

GOOD = """[gateway]
name = "yard1"
http = "127.0.0.1:8080"
token = "k3y-0123456789abcdef"
stale_after_ms = 2000
sse_max_clients = 300
cors_origins = ["https://erp.example"]

[[scale]]
name = "truck1"
model = "5817"
tcp = "192.168.0.50:A"

[[scale]]
name = "counter-2"
model = "Ohaus"
serial = "/dev/ttyUSB0"
request_interval_ms = 250
baud = 19200
data_bits = 8
parity = "none"
stop_bits = 1
stale_after_ms = 3000

[[converter]]
name = "yard-io"
address = "192.168.0.50"
"""

SCALE = '[[scale]]\nname = "s1"\nmodel = "5817"\ntcp = "10.0.0.1:A"\n'

# (what, file, line of the message, words the message must hold)
BAD = [
    ("unknown key", '[gateway]\nname = "y"\ncolour = 1\n', 3, ['key "colour"', "unknown key"]),
    ("unknown table", SCALE + '[scales]\nx = 1\n', 5, ['key "scales"', "unknown key"]),
    ("wrong type", '[gateway]\nstale_after_ms = "2000"\n', 2,
     ['key "stale_after_ms"', "expected an integer"]),
    ("out of range", '[gateway]\nsse_max_clients = 0\n', 2, ['key "sse_max_clients"']),
    ("bad listen address", '[gateway]\nhttp = "127.0.0.1"\n', 2, ['key "http"']),
    ("bad token", '[gateway]\ntoken = "a b"\n', 2, ['key "token"']),
    ("duplicate scale", SCALE + SCALE.replace("10.0.0.1:A", "10.0.0.1:B"), 6,
     ['key "name"', "duplicate"]),
    ("indicator twice", SCALE + SCALE.replace('"s1"', '"s2"'), 8, ['key "tcp"', "already"]),
    ("bad name", SCALE.replace('"s1"', '"truck 1"'), 2, ['key "name"', "truck 1"]),
    ("unknown model", SCALE.replace('"5817"', '"5818"'), 3, ['key "model"', "5818"]),
    ("missing model", '[[scale]]\nname = "s1"\ntcp = "10.0.0.1:A"\n', 1, ['key "model"']),
    ("bad channel address", SCALE.replace("10.0.0.1:A", "10.0.0.300:A"), 4, ['key "tcp"']),
    ("bad channel letter", SCALE.replace("10.0.0.1:A", "10.0.0.1:E"), 4, ['key "tcp"']),
    ("tcp and serial", SCALE + 'serial = "/dev/ttyS0"\n', 5, ['key "serial"']),
    ("no transport", '[[scale]]\nname = "s1"\nmodel = "krt"\n', 1, ['"tcp"', '"serial"']),
    ("interval of a streaming model", SCALE + "request_interval_ms = 100\n", 5,
     ['key "request_interval_ms"']),
    ("line settings on tcp", SCALE + "baud = 9600\n", 5, ['key "baud"']),
    ("bad parity", '[[scale]]\nname = "s"\nmodel = "krt"\nserial = "COM3"\nparity = "x"\n', 5,
     ['key "parity"']),
    ("bad converter address", '[[converter]]\nname = "io"\naddress = "yard.local"\n', 3,
     ['key "address"']),
    ("duplicate converter", '[[converter]]\nname = "io"\naddress = "10.0.0.1"\n' * 2, 5,
     ['key "name"', "duplicate"]),
    ("mqtt without broker", '[mqtt]\nheartbeat_ms = 1000\n', 1, ['key "broker"', "missing"]),
    ("mqtt unknown key", '[mqtt]\nbroker = "b:1883"\nhost = "b"\n', 3, ['key "host"']),
    ("mqtt bad broker", '[mqtt]\nbroker = "b"\n', 2, ['key "broker"', "HOST:PORT"]),
    ("mqtt wildcard prefix", '[mqtt]\nbroker = "b:1883"\ntopic_prefix = "a/#"\n', 3,
     ['key "topic_prefix"']),
    ("mqtt password alone", '[mqtt]\nbroker = "b:1883"\npassword = "p"\n', 3,
     ['key "password"', "username"]),
    ("mqtt heartbeat too short", '[mqtt]\nbroker = "b:1883"\nheartbeat_ms = 5\n', 3,
     ['key "heartbeat_ms"']),
    ("scale not an array", '[scale]\nname = "s1"\n', 1, ["[[scale]]"]),
    ("syntax error", '[gateway\nname = "y"\n', 1, ["syntax error"]),
]


@case
def config(env):
    def run(path, *more):
        import subprocess
        p = subprocess.run([env.gateway, "--config", path, *more], capture_output=True,
                           text=True, timeout=20)
        return p.returncode, p.stdout, p.stderr

    # The documented example, which names every key, is a good file.
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "gateway.md")).read()
    example = readme.split("### The configuration file", 1)[1].split("```toml\n", 1)[1]
    rc, out, err = run(env.write_config("readme.toml", example.split("```", 1)[0]), "--check")
    check(rc == 0 and "2 scales, 1 converter" in out, "README example: %d %s %s" % (rc, out, err))
    good = env.write_config("good.toml", GOOD)
    rc, out, err = run(good, "--check")
    check(rc == 0 and "good" in out, "good file: %d %s %s" % (rc, out, err))
    rc, out, err = run(env.write_config("mqtt.toml", GOOD + '[mqtt]\nbroker = "broker.lan:1883"\n'
                                        'topic_prefix = "site/a"\n'), "--check")
    check(rc == 0 and "MQTT broker.lan:1883" in out, "[mqtt]: %d %s %s" % (rc, out, err))
    for i, (what, text, line, words) in enumerate(BAD):
        path = env.write_config("bad%d.toml" % i, text)
        rc, out, err = run(path, "--check")
        where = "%s:%d:" % (path, line)
        check(rc == 78, "%s: exit %d, expected 78: %s" % (what, rc, err))
        check(where in err and all(w in err for w in words),
              "%s: the message lacks %s %s:\n%s" % (what, where, words, err))
    # Without --check a bad file is refused the same way, before anything starts.
    rc, _, err = run(os.path.join(env.work, "bad0.toml"))
    check(rc == 78 and "serving" not in err, "bad file without --check: %d %s" % (rc, err))
    rc, _, err = run(os.path.join(env.work, "missing.toml"))
    check(rc == 78 and "missing.toml" in err, "missing file: %d %s" % (rc, err))
    import subprocess
    rc = subprocess.run([env.gateway], capture_output=True, timeout=20).returncode
    check(rc == 64, "no --config: exit %d, expected 64" % rc)


# The configuration file's limits, as docs/gateway.md states them.
MAX_BYTES, MAX_LINE, MAX_DEPTH, MAX_ENTRIES = 256 * 1024, 4096, 16, 10000


def run_timed(env, path, *more):
    """tarvel-gateway on `path`: exit status, stdout, stderr and the CPU seconds it used."""
    import resource
    import subprocess
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    p = subprocess.run([env.gateway, "--config", path, *more], capture_output=True, text=True,
                       errors="replace", timeout=60)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return p.returncode, p.stdout, p.stderr, cpu


def nested(opening, middle, closing, n):
    return opening * n + middle + closing * n


def padded(text, size):
    """`text` and comment lines of 100 bytes, `size` bytes in all."""
    rest = size - len(text)
    return text + ("#" * 99 + "\n") * (rest // 100) + "#" * (rest % 100)


@case
def config_limits(env):
    deep = "nest deeper than %d levels" % MAX_DEPTH
    too_many = "more than %d names and values" % MAX_ENTRIES
    long_line = "line is longer than %d bytes" % MAX_LINE
    key16 = ".".join(["k"] * MAX_DEPTH)
    # (what, text, line of the message or None, words the message holds): each exit 78,
    # however the file was made to crash or stall a TOML parser. Past a limit, a file is refused
    # before it is parsed, within a second.
    past_limits = [
        ("inline tables 4,000 deep", "x = " + nested("{a=", "1", "}", 4000) + "\n", 1,
         [long_line]),
        ("arrays 7,000 deep", "x = " + nested("[", "", "]", 7000) + "\n", 1, [long_line]),
        ("a header [[[... 7,000 deep", "[" * 7000 + "\n", 1, [long_line]),
        ("a header of 100,000 dotted parts", "[" + ".".join(["a"] * 100000) + "]\n", 1,
         [long_line]),
        ("1,000,000 nested inline tables", "x = " + nested("{a=", "1", "}", 1000000) + "\n",
         None, ["larger than %d bytes" % MAX_BYTES]),
        ("20,000 [[scale]] tables", "[[scale]]\n" * 20000, MAX_ENTRIES + 1, [too_many]),
        ("arrays 7,000 deep, a bracket a line", "x = " + nested("[\n", "", "]\n", 7000), 16,
         [deep]),
        ("inline tables 4,000 deep over lines", "x = " + nested("{a=\n", "1", "}\n", 4000), 16,
         [deep]),
        ("a dotted key of %d parts" % (MAX_DEPTH + 1), key16 + ".k = 1\n", 1, [deep]),
        ("a header of %d parts" % (MAX_DEPTH + 1), "[" + key16 + ".k]\n", 1, [deep]),
        ("[[...]] of %d parts" % MAX_DEPTH, "[[" + key16 + "]]\n", 1, [deep]),
        ("%d values in one array" % MAX_ENTRIES, "x = [\n" + "1,\n" * MAX_ENTRIES + "]\n",
         MAX_ENTRIES, [too_many]),
        ("a line of %d bytes" % (MAX_LINE + 1), "[gateway]\n#" + "c" * MAX_LINE + "\n", 2,
         [long_line]),
        ("a file of %d bytes" % (MAX_BYTES + 1), padded("[gateway]\n", MAX_BYTES + 1), None,
         ["larger than"]),
        # Bytes that are not UTF-8 (written as surrogate escapes) in literal strings.
        ("a literal string that is not UTF-8", "[gateway]\nname = 'y\udcff'\n", 2,
         ["not UTF-8 here (a byte 0xFF)"]),
        ("an overlong '/' in a multi-line literal string",
         'x = """\n"""\ny = ' + "'''\n\udcc0\udcaf'''\n", 4, ["not UTF-8 here (a byte 0xC0)"]),
    ]
    # Files within the limits built to be slow are parsed, and take 0.05-0.2 s; under the
    # sanitizers up to 40 times as long, so there the bound only says that they end.
    slow_built = [
        ("2,040 values on each of 4 full lines",
         "".join("x%d = [" % i + "1," * 2040 + "]\n" for i in range(4)), 1, ['key "x0"']),
        ("arrays %d deep on every line" % MAX_DEPTH,
         "".join("x%d = " % i + nested("[", "1", "]", MAX_DEPTH - 1) + "\n" for i in range(580)),
         1, ['key "x0"']),
        ("%d [[scale]] tables, each wrong" % MAX_ENTRIES, "[[scale]]\n" * MAX_ENTRIES, 1,
         ['key "name": missing', "29950 more errors not shown"]),
        ("%d keys of a table" % (MAX_ENTRIES // 2 - 1),
         "[gateway]\n" + "".join("k%d = 1\n" % i for i in range(MAX_ENTRIES // 2 - 1)), 2,
         ['key "k0"', "unknown key"]),
        ("4,900 keys of [register] after 200 KB of comments",
         padded("", 200000) + "\n[register]\n" + "".join("k%d = 1\n" % i for i in range(4900)),
         2003, ['[register], key "k0"', "unknown key"]),
    ]
    with open(env.gateway, "rb") as f:
        sanitized = b"__asan_init" in f.read()
    hostile = [h + (1.0,) for h in past_limits] + [h + (30.0 if sanitized else 1.0,)
                                                   for h in slow_built]
    for i, (what, text, line, words, bound) in enumerate(hostile):
        path = os.path.join(env.work, "hostile%d.toml" % i)
        with open(path, "w", encoding="utf-8", errors="surrogateescape") as f:
            f.write(text)
        rc, _, err, cpu = run_timed(env, path, "--check")
        check(rc == 78, "%s: exit %d, expected 78: %s" % (what, rc, err[:500]))
        where = "%s:%d:" % (path, line) if line else path + ": "
        check(err.startswith("tarvel-gateway: " + where) and all(w in err for w in words),
              "%s: the message lacks %s %s:\n%s" % (what, where, words, err[:500]))
        check(len(err.splitlines()) <= 51, "%s: %d lines of errors" % (what, len(err.splitlines())))
        check(cpu < bound, "%s: %.2f s of CPU" % (what, cpu))
        print("%-44s exit 78, %.3f s of CPU" % (what, cpu))

    # Just within each limit, the limit is not what the file is told.
    scale = '[[scale]]\nname = "s1"\nmodel = "5817"\ntcp = "10.0.0.1:A"\n'
    within = [
        ("a file of %d bytes" % MAX_BYTES, padded(scale, MAX_BYTES)),
        ("a line of %d bytes" % MAX_LINE, scale + "#" + "c" * (MAX_LINE - 1) + "\n"),
        ("a table %d deep" % MAX_DEPTH, scale + "[" + ".".join(["k"] * MAX_DEPTH) + "]\n"),
        ("%d names and values" % MAX_ENTRIES, scale + "x = [\n" + "1,\n" * (MAX_ENTRIES - 9) +
         "]\n"),
    ]
    for what, text in within:
        path = env.write_config("within.toml", text)
        rc, out, err, _ = run_timed(env, path, "--check")
        check(not any(w in err for w in ("larger than", long_line, deep, too_many)),
              "%s: %d %s" % (what, rc, err[:500]))
    # The largest file is good (the last one written has keys the gateway does not know).
    path = env.write_config("within.toml", within[0][1])
    rc, out, err, _ = run_timed(env, path, "--check")
    check(os.path.getsize(path) == MAX_BYTES and rc == 0 and "good" in out,
          "a file of %d bytes: %d %s" % (MAX_BYTES, rc, err))

    # Empty files, files the gateway cannot read, a short token: clear errors.
    bad = [
        ("an empty file", "", ["holds no settings"]),
        ("comments only", "# nothing yet\n\n   \n# still nothing\n", ["holds no settings"]),
        ("a short token", '[gateway]\ntoken = "0123456789abcde"\n',
         [':2: [gateway], key "token": is 15 characters long', "16 or more"]),
    ]
    for what, text, words in bad:
        path = env.write_config("bad.toml", text)
        rc, _, err, _ = run_timed(env, path, "--check")
        check(rc == 78 and err.startswith("tarvel-gateway: " + path) and
              all(w in err for w in words), "%s: %d %s" % (what, rc, err))
    for path, words in [(env.work, ["cannot read"]), ("/dev/zero", ["larger than"])]:
        rc, _, err, cpu = run_timed(env, path, "--check")
        check(rc == 78 and all(w in err for w in words) and cpu < 1.0,
              "%s: %d %s %.2f s" % (path, rc, err, cpu))

    # A listener other machines reach: without a token a warning (writes are refused), with one
    # none; a token of 16 characters is enough.
    for http, token, warned in [("0.0.0.0:18080", None, True), ("127.0.0.1:18080", None, False),
                                ("0.0.0.0:18080", "0123456789abcdef", False)]:
        text = '[gateway]\nname = "y"\nhttp = "%s"\n' % http + (
            'token = "%s"\n' % token if token else "") + scale
        path = env.write_config("open.toml", text)
        rc, out, err, _ = run_timed(env, path, "--check")
        check(rc == 0 and "good" in out, "%s %s: %d %s" % (http, token, rc, err))
        warning = 'tarvel-gateway: warning: %s:3: [gateway], key "http": %s' % (path, http)
        check((warning in err and "refused" in err) == warned and ("warning" in err) == warned,
              "%s %s: the warning: %s" % (http, token, err))


# ---- the API against a simulated yard --------------------------------------------------------

def same_reading(a, b):
    """The fields both front-ends share (scale, seq and time differ by nature)."""
    return {k: v for k, v in a.items() if k not in ("scale", "seq", "time")} == \
        {k: v for k, v in b.items() if k not in ("scale", "seq", "time")}


@case
def api(env):
    ip = "127.0.3.1"
    sim = env.start_sim("sim", "--ip", ip, "--a", "5817:weight=12345,tare=500,dec=4,net",
                        "--b", "krt:weight=2500,dec=3,neg",
                        "--c", "msi3360:gross=12.50,net=12.50,tare=0.00,unit=kg",
                        "--d", "msi6260:gross=10.00,tare=2.00,net=8.00", "--io", "--in", "5",
                        "--verbose", "--pty", "ohaus:weight=-1.5,dec=2", ptys=1)
    gw = env.start_gateway("gw", gateway_config(
        "yard1", ip + ":18080",
        [("truck1", "5817", ip + ":A"), ("krt", "krt", ip + ":B"), ("msi", "msi3360", ip + ":C"),
         ("ticket", "msi6260", ip + ":D"), ("bench", "ohaus", sim.ptys[0]),
         ("gone", "5817", "127.0.3.200:A")],
        [("io", ip), ("nobody", "127.0.3.201")]))
    wait_for("every simulated scale ok", lambda: all(
        s["status"] == "ok" for s in get_json(gw, "/api/scales")["scales"][:5]))
    j = get_json(gw, "/api/scales")
    check(j["gateway"] == "yard1", "gateway name: %r" % j["gateway"])
    names = [s["scale"] for s in j["scales"]]
    check(names == ["truck1", "krt", "msi", "ticket", "bench", "gone"], "order: %s" % names)
    s = {r["scale"]: r for r in j["scales"]}
    t = s["truck1"]
    check((t["model"], t["gross"], t["net"], t["tare"], t["unit"], t["stable"], t["negative"]) ==
          ("5817", 128.45, 123.45, 5.0, "kg", True, False), "truck1: %s" % t)
    check("since" not in t and "reason" not in t and t["seq"] > 0 and t["time"].endswith("Z"),
          "an ok record: %s" % t)
    check(s["krt"]["net"] == -250.0 and s["krt"]["negative"] is True, "krt: %s" % s["krt"])
    check(s["msi"]["unit"] == "kg" and s["msi"]["stable"] is None, "msi: %s" % s["msi"])
    check(s["bench"]["net"] == -1.5 and s["bench"]["unit"] == "kg", "ohaus: %s" % s["bench"])
    g = s["gone"]
    check(g["status"] == "offline" and g["seq"] == 0 and g["time"] is None and g["since"] and
          g["reason"] and g["net"] is None and g["texts"]["net"] is None, "unreachable: %s" % g)
    one = get_json(gw, "/api/scales/truck1")
    check(one["scale"] == "truck1" and one["seq"] >= t["seq"], "one scale: %s" % one)
    err = get_json(gw, "/api/scales/nope", expect=404)
    check("error" in err, "404 body: %s" % err)

    # The same indicator read by `tarvel read --json` gives the same record.
    import subprocess
    for name, model, ch in (("truck1", "5817", "A"), ("krt", "krt", "B"), ("msi", "msi3360", "C")):
        out = subprocess.run([env.tarvel, "read", "--json", "--name", name, "--model", model,
                              "--tcp", ip + ":" + ch], capture_output=True, text=True, timeout=30)
        check(out.returncode == 0, "tarvel read %s: %s" % (model, out.stderr))
        check(same_reading(json.loads(out.stdout), get_json(gw, "/api/scales/" + name)),
              "tarvel and the gateway differ for %s:\n%s\n%s" % (
                  model, out.stdout, get_json(gw, "/api/scales/" + name)))

    h = get_json(gw, "/healthz")
    check(h["status"] == "ok", "healthz: %s" % h)
    check(metric(gw, 'tarvel_scale_frames_total{scale="truck1",model="5817"}') > 0, "frames")
    check(metric(gw, 'tarvel_scale_status{scale="gone",status="offline"}') == 1, "status gauge")
    check(metric(gw, 'tarvel_scale_status{scale="truck1",status="ok"}') == 1, "status gauge ok")

    # Converter I/O (no token, loopback listener: writes are allowed).
    j = get_json(gw, "/api/converters/io/inputs")
    check(j == {"converter": "io", "value": 5, "bits": "SNSNNNNN"}, "inputs: %s" % j)
    st, _, body = request(gw.host, gw.port, "PUT", "/api/converters/io/outputs/3", body="on")
    check(st == 200 and json.loads(body) == {"converter": "io", "result": 0}, "bit: %d %s" % (st, body))
    st, _, body = request(gw.host, gw.port, "PUT", "/api/converters/io/outputs",
                          body='{"value":6}', headers={"Content-Type": "application/json"})
    check(st == 200, "port: %d %s" % (st, body))
    wait_for("the simulator to see OB13 and OP6",
             lambda: "OB13" in sim.err() and "OP6" in sim.err())
    (st, _, body), took = timed(request, gw.host, gw.port, "GET", "/api/converters/nobody/inputs")
    check(st == 502 and "error" in json.loads(body), "refusing converter: %d %s" % (st, body))
    st, _, _ = request(gw.host, gw.port, "GET", "/api/converters/else/inputs")
    check(st == 404, "unknown converter: %d" % st)

    # What a client may send wrongly.
    for method, path, body, want in [
            ("GET", "/api/scales/truck1?stable=maybe", None, 400),
            ("GET", "/api/scales/truck1?stable=true&count=0", None, 400),
            ("GET", "/api/scales/truck1?stable=true&timeout_ms=60001", None, 400),
            ("PUT", "/api/converters/io/outputs/3", "maybe", 400),
            ("PUT", "/api/converters/io/outputs/8", "on", 400),
            ("PUT", "/api/converters/io/outputs", '{"value":256}', 400),
            ("PUT", "/api/converters/io/outputs", '{"value":"5"}', 400),
            ("PUT", "/api/converters/io/outputs", "{", 400),
            ("PUT", "/api/converters/io/outputs", "x" * 5000, 413),
            ("POST", "/api/scales", "{}", 405),
            ("DELETE", "/api/converters/io/outputs", None, 405),
            ("GET", "/nothing/here", None, 404)]:
        st, hd, b = request(gw.host, gw.port, method, path, body=body)
        check(st == want, "%s %s: %d, expected %d" % (method, path, st, want))
        check(hd.get("content-type") == "application/json" and "error" in json.loads(b),
              "%s %s: no JSON error: %r" % (method, path, b))
    for junk in (b"HELLO\r\n\r\n", b"\x00\xff" * 3000, b"GET /api/scales HTTP/1.1\r\nX: " +
                 b"a" * 20000 + b"\r\n\r\n"):
        with socket.create_connection((gw.host, gw.port), timeout=10) as c:
            c.sendall(junk)
            c.shutdown(socket.SHUT_WR)
            c.recv(1000)
    check(get_json(gw, "/healthz")["status"] == "ok", "alive after junk")

    # Event streams: the current readings first, then each new one.
    ev = Events(gw.host, gw.port, "/api/events")
    check(ev.status() == 200 and "text/event-stream" in ev.head, "events head: %s" % ev.head)
    first = []
    while len(first) < 6:
        got = ev.events(5)
        check(got, "no events")
        first += got
    check([e["record"]["scale"] for e in first[:6]] == names, "current readings first")
    for e in first:
        check(e["event"] == "reading" and e["id"] == "%s:%d" % (
            e["record"]["scale"], e["record"]["seq"]), "event fields: %s" % e)
    later = ev.events(5)
    check(later and later[0]["record"]["seq"] > 0, "new readings follow")
    ev.close()
    one = Events(gw.host, gw.port, "/api/scales/krt/events")
    got = one.events(5) + one.events(2)
    check(len(got) >= 2 and all(e["record"]["scale"] == "krt" for e in got), "one scale's stream")
    seqs = [e["record"]["seq"] for e in got]
    check(seqs == list(range(seqs[0], seqs[0] + len(seqs))), "seq without gaps: %s" % seqs)
    one.close()
    st, _, _ = request(gw.host, gw.port, "GET", "/api/scales/nope/events")
    check(st == 404, "unknown scale's stream: %d" % st)
    st, hd, body = request(gw.host, gw.port, "GET", "/")
    check(st == 200 and hd["content-type"].startswith("text/html") and b"EventSource" in body,
          "the page")


# The records of every family are the same, byte for byte apart from the scale's name, its seq
# and time, whatever the gateway's locale: one gateway under LC_NUMERIC=C and one under a comma
# locale (built here, not installed) read the same indicators.
@case
def locale(env):
    ip = "127.0.3.50"
    loc = os.path.join(env.work, "locale")
    os.makedirs(loc, exist_ok=True)
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", os.path.join(loc, "de_DE.UTF-8")],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)  # warns: status 1
    check(os.path.exists(os.path.join(loc, "de_DE.UTF-8", "LC_NUMERIC")),
          "localedef could not build de_DE.UTF-8 (the locales package is missing?)")
    sim = env.start_sim("sim", "--ip", ip, "--a", "5817:weight=12345,tare=500,dec=4,net",
                        "--b", "krt:weight=2500,dec=3,neg", "--c", "msi3360:gross=12.50,net=12.50,"
                        "tare=0.00,unit=kg", "--d", "msi6260:gross=10.00,tare=2.00,net=8.00",
                        "--pty", "ohaus:weight=-1.5,dec=2", "--pty", "ohaus:weight=-1.5,dec=2",
                        ptys=2)
    raw = "127.0.3.51"
    env.start_sim("sim2", "--ip", raw, "--a", "5817:weight=12345,tare=500,dec=4,net")
    scales = [("a", "5817", ip + ":A"), ("c", "5817c", raw + ":A"), ("b", "krt", ip + ":B"),
              ("m", "msi3360", ip + ":C"), ("t", "msi6260", ip + ":D")]
    # The C library keeps a little memory for LOCPATH, which a sanitizer build would report.
    supp = os.path.join(env.work, "lsan.supp")
    with open(supp, "w") as f:
        f.write("leak:__argz_add_sep\n")
    base = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k != "LANG"}
    base["LSAN_OPTIONS"] = "suppressions=" + supp
    gws = []
    for n, (port, numeric) in enumerate(((18081, "C"), (18082, "de_DE.UTF-8"))):
        e = dict(base, LOCPATH=loc, LC_NUMERIC=numeric)
        gws.append(env.start_gateway("gw%d" % n, gateway_config(
            "yard", "%s:%d" % (ip, port), scales + [("o", "ohaus", sim.ptys[n])]), e))

    def records(gw):
        return {s["scale"]: {k: v for k, v in s.items() if k not in ("seq", "time")}
                for s in get_json(gw, "/api/scales")["scales"]}
    for gw in gws:
        wait_for("every scale ok", lambda: all(
            s["status"] == "ok" for s in get_json(gw, "/api/scales")["scales"]))
    c, comma = records(gws[0]), records(gws[1])
    check(c == comma, "the records differ:\n%s\n%s" % (c, comma))
    check(c["a"]["texts"]["net"] == "    123.45" and c["a"]["net"] == 123.45, "5817: %s" % c["a"])
    check(c["o"]["texts"]["net"] == " -0001.50 " and c["o"]["unit"] == "kg", "ohaus: %s" % c["o"])
    # What the library's own texts show in that locale: the comma (tarvel is a host of them).
    out = subprocess.run([env.tarvel, "read", "--json", "--model", "5817", "--tcp", ip + ":A"],
                         capture_output=True, text=True, timeout=30,
                         env=dict(base, LOCPATH=loc, LC_NUMERIC="de_DE.UTF-8"))
    check(out.returncode == 0 and json.loads(out.stdout)["texts"]["net"] == "    123,45",
          "tarvel under the comma locale: %s %s" % (out.stdout, out.stderr))


# ---- the stable read -------------------------------------------------------------------------

@case
def stable(env):
    ip = "127.0.3.2"
    # A load coming on: 30 steps in motion, then still for 3 s; again and again.
    script = env.write_config("load.txt", "".join(
        "100 %d motion\n" % (100 * i) for i in range(1, 31)) + "3000 5000\n")
    env.start_sim("sim", "--ip", ip, "--a", "5817:mode=script,file=%s,dec=0" % script,
                  "--b", "krt:mode=ramp,from=0,to=5000,step=7",
                  "--c", "msi3360:gross=12.50,net=12.50,tare=0.00")
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [
        ("load", "5817", ip + ":A"), ("ramp", "krt", ip + ":B"), ("msi", "msi3360", ip + ":C")]))
    wait_for("the load moving", lambda: get_json(gw, "/api/scales/load")["stable"] is False)
    r, took = timed(get_json, gw, "/api/scales/load?stable=true&count=3&timeout_ms=8000")
    check(r["net"] == 5000 and r["stable"] is True and r["status"] == "ok",
          "settled weight: %s" % r)
    check(took < 8.5, "the settled read took %.1f s" % took)
    after = get_json(gw, "/api/scales/load")
    check(after["seq"] - r["seq"] < 20, "returned as the weight settled, not much later")

    (st, _, body), took = timed(request, gw.host, gw.port, "GET",
                                "/api/scales/ramp?stable=true&timeout_ms=1500")
    check(st == 504 and json.loads(body)["scale"] == "ramp", "moving weight: %d %s" % (st, body))
    check(1.4 < took < 5, "504 after %.1f s" % took)
    # The MSI indicators do not tell motion: a weight that repeats is settled.
    r = get_json(gw, "/api/scales/msi?stable=true&count=5&timeout_ms=5000")
    check(r["net"] == 12.5, "msi settled: %s" % r)


# ---- faults ----------------------------------------------------------------------------------

def seqs_contiguous(events):
    s = [e["record"]["seq"] for e in events]
    return s == list(range(s[0], s[0] + len(s))) if s else True


@case
def restart(env):
    ip = "127.0.3.4"
    args = ["--ip", ip, "--a", "5817:weight=2000,dec=0"]
    sim = env.start_sim("sim", *args, "--b", "silent")
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [
        ("truck", "5817", ip + ":A"), ("quiet", "krt", ip + ":B")], extra="stale_after_ms = 1000"))
    wait_for("truck ok", lambda: get_json(gw, "/api/scales/truck")["status"] == "ok")
    q = wait_for("quiet stale", lambda: (lambda r: r["status"] == "stale" and r)(
        get_json(gw, "/api/scales/quiet")), timeout=5)
    check(q["seq"] == 0 and q["reason"] and q["since"], "connected, no frame yet: %s" % q)
    ev = Events(gw.host, gw.port, "/api/scales/truck/events")
    got = ev.events(5)
    sim.stop(signal.SIGKILL)
    killed = time.monotonic()
    while not any(e["record"]["status"] == "offline" for e in got):
        more = ev.events(max(0.01, killed + 2.0 - time.monotonic()))
        check(more, "no offline reading within stale_after_ms + 1 s of the kill")
        got += more
    off = [e["record"] for e in got if e["record"]["status"] == "offline"][0]
    check(off["since"] and off["reason"] and off["net"] == 2000, "offline record: %s" % off)
    sim = env.start_sim("sim2", *args)
    while got[-1]["record"]["status"] != "ok":
        more = ev.events(15)
        check(more, "not ok again after the restart")
        got += more
    check("since" not in got[-1]["record"], "ok without since: %s" % got[-1]["record"])
    check(seqs_contiguous(got), "every change took the next seq: %s" %
          [e["record"]["seq"] for e in got])
    check(metric(gw, 'tarvel_scale_reconnects_total{scale="truck",model="5817"}') >= 1,
          "reconnects counted")


@case
def flood(env):
    ip = "127.0.3.5"
    garbage = "x" * 500
    env.start_sim("sim", "--ip", ip, "--a", "5817:weight=1000,dec=0,period=50",
                  "--b", "raw:text=%s,period=1" % garbage)
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [
        ("good", "5817", ip + ":A"), ("noisy", "krt", ip + ":B")], extra="stale_after_ms = 1000"))
    wait_for("noisy in error", lambda: get_json(gw, "/api/scales/noisy")["status"] == "error",
             timeout=5)
    check(get_json(gw, "/api/scales/noisy")["reason"], "error has a reason")
    ev = Events(gw.host, gw.port, "/api/scales/good/events")
    got, end = [], time.monotonic() + 4
    while time.monotonic() < end:
        got += ev.events(0.5)
    arrivals = [e["received"] for e in got[1:]]
    gap = max(b - a for a, b in zip(arrivals, arrivals[1:]))
    check(len(got) >= 50 and gap < 0.5 and seqs_contiguous(got),
          "the good scale disturbed: %d readings in 4 s, largest gap %.2f s" % (len(got), gap))
    check(all(e["record"]["status"] == "ok" for e in got), "good stays ok")


def serve_noise(ip, port, stop):
    """A converter channel that sends random 5817-shaped frames, 500 a second: one in 128
    passes the check character."""
    import random
    rnd = random.Random(5)
    srv = socket.create_server((ip, port))
    srv.settimeout(0.2)
    conns = []

    def run():
        while not stop.is_set():
            try:
                c, _ = srv.accept()
                conns.append(c)
            except OSError:
                pass
            for c in list(conns):
                batch = b""
                for _ in range(100):
                    body = bytes(0x20 | rnd.randrange(32) for _ in range(3)) + \
                        bytes(rnd.randrange(48, 58) for _ in range(12))
                    batch += b"\x02" + body + b"\r" + bytes([rnd.randrange(128)])
                try:
                    c.sendall(batch)
                except OSError:
                    conns.remove(c)
        for c in conns:
            c.close()
        srv.close()
    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


@case
def noise(env):
    """Random frames are an error and never an ok reading; one bad frame in a hundred is not."""
    ip, noise_ip = "127.0.3.53", "127.0.3.52"
    env.start_sim("sim", "--ip", ip, "--a", "5817:weight=1000,dec=0,period=5,corrupt=100")
    stop = threading.Event()
    peer = serve_noise(noise_ip, 8881, stop)
    try:
        gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [
            ("real", "5817", ip + ":A"), ("noise", "5817", noise_ip + ":A")]))
        wait_for("noise in error", lambda: get_json(gw, "/api/scales/noise")["status"] == "error",
                 timeout=8)
        ev = Events(gw.host, gw.port, "/api/events")
        got, end = [], time.monotonic() + 4
        while time.monotonic() < end:
            got += ev.events(0.5)
        noisy = [e["record"] for e in got if e["record"]["scale"] == "noise"]
        real = [e["record"] for e in got if e["record"]["scale"] == "real"]
        check(all(r["status"] == "error" for r in noisy),
              "noise served as a reading: %s" % [r["status"] for r in noisy])
        check("noise" in get_json(gw, "/api/scales/noise")["reason"] or
              "no frame decodes" in get_json(gw, "/api/scales/noise")["reason"],
              "the reason: %s" % get_json(gw, "/api/scales/noise")["reason"])
        check(len(real) > 50 and all(r["status"] == "ok" for r in real),
              "one bad frame in a hundred: %d readings, statuses %s" %
              (len(real), sorted(set(r["status"] for r in real))))
        check(metric(gw, 'tarvel_scale_decode_failures_total{scale="real",model="5817"}') >= 1,
              "the real scale's bad frames are counted")
        wait_for("stray noise frames counted", lambda: metric(
            gw, 'tarvel_scale_noise_frames_total{scale="noise",model="5817"}') >= 1, timeout=10)
    finally:
        stop.set()
        peer.join(2)


@case
def dio(env):
    ip, silent, refusing = "127.0.3.6", "127.0.3.7", "127.0.3.8"
    env.start_sim("sim", "--ip", ip, "--a", "5817:weight=1000,dec=0", "--io", "--in", "3")
    env.start_sim("silent", "--ip", silent, "--io", "--io-mode", "silent")
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [("truck", "5817", ip + ":A")],
                                                [("io", ip), ("mute", silent),
                                                 ("off", refusing)]))
    wait_for("truck ok", lambda: get_json(gw, "/api/scales/truck")["status"] == "ok")
    results = {}

    def slow(key, method, path, body=None):
        try:
            results[key] = timed(request, gw.host, gw.port, method, path, body=body, timeout=60)
        except OSError:  # the connection closed without an answer
            results[key] = ((0, {}, b""), 0)

    t = threading.Thread(target=slow, args=("in", "GET", "/api/converters/mute/inputs"))
    ev = Events(gw.host, gw.port, "/api/scales/truck/events")
    ev.events(5)
    t.start()
    time.sleep(0.5)
    # While the silent converter holds its request: readings flow, other requests answer.
    got, end = [], time.monotonic() + 3
    while time.monotonic() < end:
        got += ev.events(0.3)
    arrivals = [e["received"] for e in got]
    check(len(got) > 20 and max(b - a for a, b in zip(arrivals, arrivals[1:])) < 0.5,
          "readings delayed by a silent converter")
    (st, _, body), took = timed(request, gw.host, gw.port, "GET", "/api/converters/io/inputs")
    check(st == 200 and json.loads(body)["value"] == 3 and took < 2,
          "another converter delayed: %d %.1f s" % (st, took))
    (st, _, body), took = timed(request, gw.host, gw.port, "GET", "/api/converters/off/inputs")
    check(st == 502 and took < 5, "refusing converter: %d %.1f s" % (st, took))
    t.join(30)
    (st, _, body), took = results["in"]
    check(st == 502 and "error" in json.loads(body) and 8 < took < 25,
          "silent converter: %d after %.1f s: %s" % (st, took, body))

    # Its queue is short: what does not fit is refused at once.
    threads = [threading.Thread(target=slow, args=(i, "PUT", "/api/converters/mute/outputs/1",
                                                   "on")) for i in range(6)]
    for th in threads:
        th.start()
        time.sleep(0.05)
    wait_for("a refusal", lambda: any(results.get(i, ((0,),))[0][0] == 503 for i in range(6)),
             timeout=3)
    # SIGTERM while an exchange blocks: the gateway ends within a second, cleanly.
    t0 = time.monotonic()
    rc = gw.stop(signal.SIGTERM)
    took = time.monotonic() - t0
    check(rc == 0 and took < 2.0, "SIGTERM during an exchange: exit %d after %.2f s" % (rc, took))
    check("stopped" in gw.err(), "the log says it stopped")
    for th in threads:
        th.join(10)
    check(all(results[i][0][0] in (503, 0) for i in range(6)),
          "waiting requests answered 503: %s" % [results[i][0][0] for i in range(6)])


@case
def security(env):
    ip = "127.0.3.9"
    env.start_sim("sim", "--ip", ip, "--io", "--in", "1")
    gw = env.start_gateway("gw", gateway_config(
        "y", ip + ":18080", [], [("io", ip)],
        extra='token = "s3cret-0123456789"\ncors_origins = ["http://erp.example"]'))
    path = "/api/converters/io/outputs/2"
    for headers, want in [({}, 401), ({"Authorization": "Basic czNjcmV0"}, 401),
                          ({"Authorization": "Bearer wrong"}, 403),
                          ({"Authorization": "Bearer s3cret-0123456789"}, 200)]:
        st, hd, body = request(gw.host, gw.port, "PUT", path, body="off", headers=headers)
        check(st == want, "%s: %d, expected %d" % (headers, st, want))
        if want == 401:
            check("bearer" in hd.get("www-authenticate", "").lower(), "WWW-Authenticate")
    check("wrong token" in gw.err() and "no bearer token" in gw.err(), "refusals logged")
    st, _, _ = request(gw.host, gw.port, "GET", "/api/converters/io/inputs")
    check(st == 200, "reads need no token: %d" % st)
    _, hd, _ = request(gw.host, gw.port, "GET", "/api/scales",
                       headers={"Origin": "http://erp.example"})
    check(hd.get("access-control-allow-origin") == "http://erp.example", "CORS: %s" % hd)
    _, hd, _ = request(gw.host, gw.port, "GET", "/api/scales", headers={"Origin": "http://evil"})
    check("access-control-allow-origin" not in hd, "CORS for another origin")
    st, hd, _ = request(gw.host, gw.port, "OPTIONS", path, headers={
        "Origin": "http://erp.example", "Access-Control-Request-Method": "PUT"})
    check(st == 204 and "PUT" in hd.get("access-control-allow-methods", ""), "preflight: %s" % hd)

    # No token on a listener other machines can reach: writes are refused, and logged.
    open_gw = env.start_gateway("open", gateway_config("y", "0.0.0.0:18931", [], [("io", ip)]))
    st, _, body = request("127.0.0.1", 18931, "PUT", path, body="on")
    check(st == 403 and "token" in json.loads(body)["error"], "open listener: %d %s" % (st, body))
    check("not a loopback address" in open_gw.err(), "refusal logged: %s" % open_gw.err())


# ---- event streams ---------------------------------------------------------------------------

@case
def sse(env):
    ip = "127.0.3.11"
    env.start_sim("sim", "--ip", ip, "--a", "5817:mode=ramp,from=0,to=100000,step=1,period=1",
                  "--b", "silent")
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [
        ("fast", "5817", ip + ":A"), ("quiet", "krt", ip + ":B", "stale_after_ms = 5000")],
        extra="sse_max_clients = 4"))
    quiet = Events(gw.host, gw.port, "/api/scales/quiet/events")
    quiet.events(5)
    # A reader that never reads, beside one that does: the reader is not held up.
    slow = Events(gw.host, gw.port, "/api/events", rcvbuf=4096)
    check(slow.status() == 200, "slow reader accepted")
    good = Events(gw.host, gw.port, "/api/scales/fast/events")
    got, end = [], time.monotonic() + 8
    while time.monotonic() < end:
        got += good.events(0.5)
    fast = [e for e in got if e["record"]["scale"] == "fast"]
    arrivals = [e["received"] for e in fast]
    # At a thousand readings a second a reader that a loaded machine keeps from running for
    # a quarter of a second falls a ring behind and is told readings were skipped: that is
    # the stream's rule, not the slow reader holding it up. Held up means few readings or
    # a long silence.
    longest = max((b - a for a, b in zip(arrivals, arrivals[1:])), default=99.0)
    check(len(fast) > 2000 and longest < 2.0,
          "the reading client was held up: %d readings, longest silence %.2f s" %
          (len(fast), longest))
    # The slow reader is cut off once its socket takes nothing for a while.
    wait_for("the slow reader dropped", lambda: metric(gw, "tarvel_gateway_sse_clients") <= 2,
             timeout=30, step=0.5)
    good.close()
    wait_for("a closed client's worker released",
             lambda: metric(gw, "tarvel_gateway_sse_clients") == 1, timeout=5)
    # The limit: beyond sse_max_clients, 503.
    more = [Events(gw.host, gw.port, "/api/scales/quiet/events") for _ in range(3)]
    check(all(m.status() == 200 for m in more), "within the limit")
    st, _, body = request(gw.host, gw.port, "GET", "/api/events")
    check(st == 503 and "error" in json.loads(body), "beyond the limit: %d" % st)
    for m in more:
        m.close()
    # A stream without readings hears a comment every 15 s.
    t0 = time.monotonic()
    while not quiet.comments:
        check(time.monotonic() - t0 < 17, "no comment within 17 s")
        quiet.events(1)


@case
def load(env):
    """500 clients on one scale's stream at once: every one gets every reading, quickly."""
    import subprocess
    ip = "127.0.3.12"
    env.start_sim("sim", "--ip", ip, "--a", "5817:mode=ramp,from=0,to=100000,step=1,period=100")
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [("truck", "5817", ip + ":A")]))
    wait_for("truck ok", lambda: get_json(gw, "/api/scales/truck")["status"] == "ok")
    out = subprocess.run([env.load_client, gw.host, str(gw.port), "/api/scales/truck/events",
                          "500", "6"], capture_output=True, text=True, timeout=60)
    check(out.returncode == 0, "sse_load: %s" % out.stderr)
    r = json.loads(out.stdout)
    print("500 clients: %(fewest)d-%(most)d readings each, delay median %(median_ms).1f ms, "
          "p99 %(p99_ms).1f ms, max %(max_ms).1f ms" % r)
    # Every client gets every reading from the one it came in on (later for the last to connect).
    check(r["gaps"] == 0 and r["fewest"] >= 20, "a client missed readings: %s" % r)
    # The median, and generously: on a shared machine the other jobs' load shows in the tail
    # (a sanitizer build is slower too). A reading that waits for a timer shows here.
    check(r["median_ms"] < 250, "median delay %.1f ms" % r["median_ms"])
    # Once every stream has closed, readings are no longer handed to streams; one opened then
    # gets the current reading and every one after it, each event's id naming its record.
    wait_for("the clients gone", lambda: metric(gw, "tarvel_gateway_sse_clients") == 0,
             timeout=10, step=0.2)
    time.sleep(0.5)
    one = Events(gw.host, gw.port, "/api/scales/truck/events")
    got, end = [], time.monotonic() + 5
    while time.monotonic() < end and len(got) < 10:
        got += one.events(0.5)
    one.close()
    seqs = [e["record"]["seq"] for e in got]
    check(len(got) >= 10 and seqs_contiguous(got), "a stream opened alone: seqs %s" % seqs)
    check(all(e["id"] == "truck:%d" % e["record"]["seq"] for e in got),
          "event ids: %s" % [e["id"] for e in got])


def start_broker(env, name, ip, port, conf):
    """A mosquitto with the configuration `conf`, once it listens on ip:port."""
    from gwlib import Proc
    p = Proc(env.work, name, [MOSQUITTO, "-c", env.write_config(name + ".conf", conf)])
    env.procs.append(p)
    wait_for(name + " to listen", lambda: p.running() and socket.socket().connect_ex(
        (ip, port)) == 0)
    return p


def mqtt_topics(ip, port, pattern, count):
    """Retained messages (and the next ones) of `pattern` at a broker: {topic: payload}."""
    import subprocess
    out = subprocess.run(["mosquitto_sub", "-h", ip, "-p", str(port), "-t", pattern, "-v",
                          "-C", str(count), "-W", "5"], capture_output=True, text=True)
    return dict(line.split(" ", 1) for line in out.stdout.splitlines() if " " in line)


@case
def mqtt(env):
    """Publishing to a real mosquitto broker, read back with mosquitto_sub."""
    import subprocess
    ip, port = "127.0.3.20", 18883

    def broker(name, conf):
        return start_broker(env, name, ip, port, conf)

    def topics(pattern, count):
        return mqtt_topics(ip, port, pattern, count)

    open_conf = "listener %d %s\nallow_anonymous true\npersistence false\n" % (port, ip)
    mq = broker("broker", open_conf)
    sim = env.start_sim("sim", "--ip", ip, "--a", "5817:weight=1000,dec=0",
                        "--b", "krt:weight=2500,dec=3", "--io", "--verbose")
    base = gateway_config("yard", ip + ":18080", [("truck", "5817", ip + ":A"),
                                                  ("bench", "krt", ip + ":B")], [("io", ip)])
    mqtt_keys = '[mqtt]\nbroker = "%s:%d"\nheartbeat_ms = 1000\n' % (ip, port)
    gw = env.start_gateway("gw", base + mqtt_keys + "allow_writes = true\n")
    wait_for("both ok", lambda: all(
        get_json(gw, "/api/scales/" + n)["status"] == "ok" for n in ("truck", "bench")))

    # Retained: the status, and each scale's record (the HTTP one, seq and time aside) and
    # availability.
    got = topics("tarvel/yard/#", 5)
    check(got.get("tarvel/yard/status") == "online", "status online: %s" % got)
    for name in ("truck", "bench"):
        rec = json.loads(got["tarvel/yard/%s/state" % name])
        http = get_json(gw, "/api/scales/" + name)
        check({k: v for k, v in rec.items() if k not in ("seq", "time")} ==
              {k: v for k, v in http.items() if k not in ("seq", "time")},
              "%s: MQTT %s vs HTTP %s" % (name, rec, http))
        check(got["tarvel/yard/%s/availability" % name] == "online", name + " available")

    # An output switched by a set message reaches the converter; the result is retained.
    subprocess.run(["mosquitto_pub", "-h", ip, "-p", str(port), "-t",
                    "tarvel/yard/io/outputs/3/set", "-m", "on"], check=True)
    wait_for("OB13 at the converter", lambda: "OB13" in sim.err(), timeout=5)
    res = topics("tarvel/yard/io/outputs/3", 1)
    check(json.loads(res.get("tarvel/yard/io/outputs/3", "{}")) == {"state": "on", "result": 0},
          "output result: %s" % res)

    # A steady weight is said again every heartbeat (1 s here), not on every frame.
    out = subprocess.run(["mosquitto_sub", "-h", ip, "-p", str(port), "-t",
                          "tarvel/yard/truck/state", "-C", "3", "-W", "8"],
                         capture_output=True, text=True).stdout.splitlines()
    check(len(out) == 3, "heartbeat: %d messages in 8 s" % len(out))
    check(len(set(json.loads(m)["seq"] for m in out)) == 3, "heartbeat seqs: %s" % out)

    # The broker restarts empty: the gateway reconnects and says everything again.
    mq.p.kill()
    mq.p.wait()
    mq = broker("broker2", open_conf)
    wait_for("state republished", lambda: "tarvel/yard/truck/state" in topics(
        "tarvel/yard/truck/state", 1), timeout=40)
    check(topics("tarvel/yard/status", 1).get("tarvel/yard/status") == "online", "online again")

    # A scale whose indicator goes away: availability offline.
    sim.p.kill()
    sim.p.wait()
    wait_for("truck offline", lambda: topics("tarvel/yard/truck/availability", 1).get(
        "tarvel/yard/truck/availability") == "offline", timeout=10)

    # An output whose converter is gone: the failure is the published result.
    subprocess.run(["mosquitto_pub", "-h", ip, "-p", str(port), "-t",
                    "tarvel/yard/io/outputs/5/set", "-m", "off"], check=True)
    wait_for("the failed result", lambda: "tarvel/yard/io/outputs/5" in topics(
        "tarvel/yard/io/outputs/5", 1), timeout=15)
    res = json.loads(topics("tarvel/yard/io/outputs/5", 1)["tarvel/yard/io/outputs/5"])
    check(res == {"state": "off", "result": -1, "error": "converter unreachable"},
          "failed output: %s" % res)

    # SIGKILL: the will says offline; SIGTERM: the gateway says so itself.
    gw.p.kill()
    gw.p.wait()
    env.procs.remove(gw)
    wait_for("the will", lambda: topics("tarvel/yard/status", 1).get(
        "tarvel/yard/status") == "offline", timeout=10)
    gw2 = env.start_gateway("gw2", base + mqtt_keys)  # writes not allowed
    wait_for("online", lambda: topics("tarvel/yard/status", 1).get(
        "tarvel/yard/status") == "online", timeout=10)
    subprocess.run(["mosquitto_pub", "-h", ip, "-p", str(port), "-t",
                    "tarvel/yard/io/outputs/4/set", "-m", "on"], check=True)
    wait_for("the refusal logged", lambda: "ignored (output commands over MQTT are off" in
             gw2.err(), timeout=5)
    check(gw2.stop(signal.SIGTERM) == 0, "gw2 stops cleanly")
    check(topics("tarvel/yard/status", 1).get("tarvel/yard/status") == "offline",
          "offline after SIGTERM")
    env.procs.remove(gw2)

    # A wrong password: a clear log line, and the HTTP side serves all the same.
    mq.p.kill()
    mq.p.wait()
    pw = os.path.join(env.work, "passwords")
    subprocess.run(["mosquitto_passwd", "-c", "-b", pw, "gateway", "right"], check=True)
    broker("broker3", "listener %d %s\nallow_anonymous false\npassword_file %s\n" %
           (port, ip, pw))
    gw3 = env.start_gateway("gw3", base + mqtt_keys +
                            'username = "gateway"\npassword = "wrong"\n')
    wait_for("the refusal", lambda: "refused the connection: not authorised" in gw3.err(),
             timeout=10)
    check(get_json(gw3, "/api/scales")["gateway"] == "yard", "HTTP works without the broker")


@case
def mqtt_bridge(env):
    """The documented Mosquitto bridge: a site broker bridged to a central one."""
    import subprocess
    import textwrap
    site_ip, centre_ip, port = "127.0.3.30", "127.0.3.31", 18885
    readme = open(os.path.join(os.path.dirname(__file__), "..", "..", "docs", "gateway.md")).read()
    bridge = textwrap.dedent(readme.split("  ```\n  connection siteA-to-centre", 1)[1]
                             .split("```", 1)[0])
    bridge = "connection siteA-to-centre" + bridge
    # The centre here is plain and anonymous: no TLS, no account.
    bridge = "\n".join(line for line in bridge.splitlines()
                       if not line.startswith(("bridge_cafile", "remote_username",
                                               "remote_password")))
    bridge = bridge.replace("central.example.com:8883", "%s:%d" % (centre_ip, port))

    def broker(name, ip, conf):
        start_broker(env, name, ip, port, conf)

    def topics(ip, pattern, count):
        return mqtt_topics(ip, port, pattern, count)

    plain = "listener %d %s\nallow_anonymous true\npersistence false\n"
    broker("centre", centre_ip, plain % (port, centre_ip))
    broker("site", site_ip, plain % (port, site_ip) + bridge + "\n")
    sim = env.start_sim("sim", "--ip", site_ip, "--a", "5817:weight=1000,dec=0", "--io",
                        "--verbose")
    config = gateway_config("siteA", site_ip + ":18080", [("truck", "5817", site_ip + ":A")],
                            [("io", site_ip)])
    gw = env.start_gateway("gw", config + '[mqtt]\nbroker = "%s:%d"\nallow_writes = true\n' %
                           (site_ip, port))
    wait_for("truck ok", lambda: get_json(gw, "/api/scales/truck")["status"] == "ok")

    # The centre holds the site's retained topics.
    wait_for("the state at the centre", lambda: "tarvel/siteA/truck/state" in topics(
        centre_ip, "tarvel/siteA/truck/state", 1), timeout=15)
    got = topics(centre_ip, "tarvel/siteA/#", 3)
    check(got.get("tarvel/siteA/status") == "online", "status at the centre: %s" % got)
    check(json.loads(got["tarvel/siteA/truck/state"])["net"] == 1000, "state: %s" % got)
    check(got.get("tarvel/siteA/truck/availability") == "online", "availability: %s" % got)
    for ip in (site_ip, centre_ip):
        check(topics(ip, "$SYS/broker/connection/bridge-siteA/state", 1).get(
            "$SYS/broker/connection/bridge-siteA/state") == "1", "the bridge's state at " + ip)

    # A command published at the centre reaches the site's converter.
    subprocess.run(["mosquitto_pub", "-h", centre_ip, "-p", str(port), "-t",
                    "tarvel/siteA/io/outputs/2/set", "-m", "on"], check=True)
    wait_for("OB12 at the converter", lambda: "OB12" in sim.err(), timeout=10)
    wait_for("the result at the centre", lambda: "tarvel/siteA/io/outputs/2" in topics(
        centre_ip, "tarvel/siteA/io/outputs/2", 1), timeout=10)


@case
def mqtt_slow_broker(env):
    """A broker that acknowledges nothing for a while: the gateway holds its states back (its
    memory bounded), says so once, keeps serving HTTP, and catches up once acknowledged."""
    ip, port = "127.0.3.40", 18886
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind((ip, port))
    server.listen(1)
    state = {"publishes": 0, "ack": False, "unacked": [], "last": None}
    lock = threading.Lock()

    def packet(buf):
        """(first byte, body, rest) of the first whole MQTT packet in buf, or None."""
        length, mult, i = 0, 1, 1
        while True:
            if i >= len(buf):
                return None
            length += (buf[i] & 0x7F) * mult
            mult *= 128
            i += 1
            if not buf[i - 1] & 0x80:
                break
        return (buf[0], buf[i:i + length], buf[i + length:]) if len(buf) >= i + length else None

    def broker():
        conn, _ = server.accept()
        state["conn"] = conn
        buf = b""
        while True:
            data = conn.recv(65536)
            if not data:
                return
            buf += data
            while (p := packet(buf)) is not None:
                first, body, buf = p
                kind = first >> 4
                if kind == 1:  # CONNECT
                    conn.sendall(b"\x20\x02\x00\x00")
                elif kind == 12:  # PINGREQ
                    conn.sendall(b"\xd0\x00")
                elif kind == 3:  # PUBLISH, QoS 1: topic, packet id, payload
                    n = (body[0] << 8) | body[1]
                    topic, pid, payload = body[2:2 + n], body[2 + n:4 + n], body[4 + n:]
                    with lock:
                        state["publishes"] += 1
                        if topic.endswith(b"/state"):
                            state["last"] = json.loads(payload)
                        state["unacked"].append(pid)
                        if state["ack"]:
                            for pid in state["unacked"]:
                                conn.sendall(b"\x40\x02" + pid)
                            state["unacked"] = []

    threading.Thread(target=broker, daemon=True).start()
    env.start_sim("sim", "--ip", ip, "--a", "5817:mode=ramp,from=0,to=900000,step=1,period=5")
    gw = env.start_gateway("gw", gateway_config("y", ip + ":18080", [("ramp", "5817", ip + ":A")]) +
                           '[mqtt]\nbroker = "%s:%d"\nheartbeat_ms = 500\n' % (ip, port))
    wait_for("the hold-back logged", lambda: "acknowledges too slowly" in gw.err(), timeout=30)
    seq = get_json(gw, "/api/scales/ramp")["seq"]
    time.sleep(1)
    check(get_json(gw, "/api/scales/ramp")["seq"] > seq + 50, "HTTP readings go on")
    check(gw.err().count("acknowledges too slowly") == 1, "said once")
    with lock:
        check(state["publishes"] <= 1000, "%d messages sent" % state["publishes"])
        state["ack"] = True  # what arrived so far is acknowledged now, the rest as it comes
        for pid in state["unacked"]:
            state["conn"].sendall(b"\x40\x02" + pid)
        state["unacked"] = []
    wait_for("caught up", lambda: "the broker caught up" in gw.err(), timeout=30)
    wait_for("the latest state published", lambda: state["last"] is not None and
             state["last"]["seq"] > get_json(gw, "/api/scales/ramp")["seq"] - 400, timeout=30)


def main():
    if len(sys.argv) not in (6, 7) or sys.argv[1] not in CASES:
        print(__doc__ + "\ncases: " + " ".join(CASES), file=sys.stderr)
        return 2
    name, gateway, sim, tarvel, work = sys.argv[1:6]
    env = Env(gateway, sim, tarvel, os.path.join(work, name))
    env.load_client = sys.argv[6] if len(sys.argv) > 6 else None
    return run_case(env, CASES[name], name)


if __name__ == "__main__":
    sys.exit(main())
