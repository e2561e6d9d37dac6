#!/usr/bin/env python3
"""tarvel-gateway.exe under Wine against the native tarvel-sim and mosquitto, one case per run:

    win_gateway_test.py CASE GATEWAY WINE_RUN SIM WORKDIR [MSI]

GATEWAY is the Windows program, WINE_RUN scripts/wine-run.sh, SIM the native simulator, MSI
the installer (case msi). Each case has loopback addresses of its own (127.0.26.x). The cases
service and msi use the Wine prefix's service manager: they must not run at the same time.
Exit 0 passed, 1 failed."""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "gateway"))
from gwlib import (Env, Events, Fail, Proc, check, gateway_config, get_json, metric,  # noqa: E402
                   request, run_case, wait_for)
from gateway_test import BAD, MOSQUITTO, mqtt_topics, start_broker  # noqa: E402

CASES = {}
SERVICE = "tarvel-gateway"


def case(fn):
    CASES[fn.__name__] = fn
    return fn


def kill_tree(pid):
    """Ends a process and every process below it (a wrapper's Wine program)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open("/proc/%s/stat" % entry) as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except (OSError, ValueError, IndexError):
                pass
    todo, found = [pid], []
    while todo:
        p = todo.pop()
        found.append(p)
        todo += children.get(p, [])
    for p in found:
        try:
            os.kill(p, 9)
        except OSError:
            pass


def win_path(path):
    """A Linux path as the Windows program sees it (Wine's drive Z: is the root)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def prefix():
    return os.environ.get("WINEPREFIX", os.path.expanduser("~/.wine-tarvel"))


class WinEnv(Env):
    """Env whose gateway is the Windows program under Wine (gateway.sh: its --config path
    on drive Z:, SIGTERM as Ctrl-C, so stop_all expects a clean stop as on Linux)."""

    def __init__(self, gateway, wine_run, sim, work):
        super().__init__(gateway, sim, None, work)
        self.exe, self.wine_run = gateway, wine_run
        self.gateway = os.path.join(work, "tarvel-gateway")
        with open(self.gateway, "w") as f:
            f.write('#!/bin/sh\nexec bash "%s" "%s" "%s" "$@"\n' % (
                os.path.join(HERE, "gateway.sh"), wine_run, gateway))
        os.chmod(self.gateway, 0o755)
        self.coms = []

    def wine(self, *args, timeout=120):
        """A Windows program to its end: (exit status, output and errors)."""
        r = subprocess.run([self.wine_run, *args], capture_output=True, text=True,
                           timeout=timeout, stdin=subprocess.DEVNULL)
        return r.returncode, r.stdout + r.stderr

    def start_gateway(self, name, config_text):
        """As Env's, with more time: Wine starts more slowly on a busy machine."""
        path = self.write_config(name + ".toml", config_text)
        p = Proc(self.work, name, [self.gateway, "--config", path])
        self.procs.append(p)
        m = wait_for(name + " to serve",
                     lambda: p.running() and re.search(r"serving http://([^/]+)/", p.err()),
                     timeout=60)
        host, port = m.group(1).rsplit(":", 1)
        p.host, p.port = host, int(port)
        return p

    def com_port(self, n, device):
        """COMn of the prefix is `device` (Wine's dosdevices link)."""
        link = os.path.join(prefix(), "dosdevices", "com%d" % n)
        if os.path.lexists(link):
            os.remove(link)
        os.symlink(device, link)
        self.coms.append(link)

    def stop_all(self):
        try:
            super().stop_all()
        finally:
            for link in self.coms:
                if os.path.lexists(link):
                    os.remove(link)
            self.kill_all()

    def kill_all(self):
        for p in self.procs:
            if p.alive():
                kill_tree(p.p.pid)
                p.p.wait()


def serving(host, port):
    try:
        status, _, _ = request(host, port, "GET", "/healthz", timeout=2)
        return status == 200
    except OSError:
        return False


# ---- cases ---------------------------------------------------------------------------------


@case
def api(env):
    """The API, metrics and an event stream, from converter channels over TCP and a COM port."""
    ip = "127.0.26.1"
    sim = env.start_sim("sim", "--ip", ip, "--a", "5817:weight=12345,tare=500,dec=4,net",
                        "--b", "krt:weight=2500,dec=3,neg", "--io", "--in", "5", "--verbose",
                        "--pty", "5817:weight=4321,dec=0", ptys=1)
    env.com_port(7, sim.ptys[0])
    gw = env.start_gateway("gw", gateway_config(
        "winyard", ip + ":18080",
        [("truck1", "5817", ip + ":A"), ("krt", "krt", ip + ":B"),
         ("gone", "5817", "127.0.26.200:A")],
        [("io", ip)]) + '[[scale]]\nname = "bench"\nmodel = "5817"\nserial = "COM7"\n')
    wait_for("the simulated scales ok", lambda: all(
        s["status"] == "ok" for s in get_json(gw, "/api/scales")["scales"] if s["scale"] != "gone"),
        timeout=30)
    j = get_json(gw, "/api/scales")
    check(j["gateway"] == "winyard", "gateway name: %r" % j["gateway"])
    s = {r["scale"]: r for r in j["scales"]}
    t = s["truck1"]
    check((t["model"], t["gross"], t["net"], t["tare"], t["unit"], t["stable"]) ==
          ("5817", 128.45, 123.45, 5.0, "kg", True), "truck1: %s" % t)
    check(s["krt"]["net"] == -250.0 and s["krt"]["negative"] is True, "krt: %s" % s["krt"])
    check(s["bench"]["net"] == 4321, "the scale on COM7: %s" % s["bench"])
    g = s["gone"]
    check(g["status"] == "offline" and g["reason"], "unreachable: %s" % g)
    check(get_json(gw, "/healthz")["status"] == "ok", "healthz")
    check(metric(gw, 'tarvel_scale_frames_total{scale="bench",model="5817"}') > 0, "frames")
    check(get_json(gw, "/api/converters/io/inputs")["value"] == 5, "inputs")
    st, _, body = request(gw.host, gw.port, "PUT", "/api/converters/io/outputs/3", body="on")
    check(st == 200 and json.loads(body)["result"] == 0, "output: %d %s" % (st, body))
    wait_for("the simulator to see OB13", lambda: "OB13" in sim.err())
    st, _, body = request(gw.host, gw.port, "GET", "/")
    check(st == 200 and b"<html" in body.lower(), "the page: %d" % st)

    # Event streams: one scale's readings follow one another without a gap; the whole
    # gateway's stream carries every scale that reads.
    ev = Events(gw.host, gw.port, "/api/scales/truck1/events")
    check(ev.status() == 200 and "text/event-stream" in ev.head, "events head: %s" % ev.head)
    got, end = [], time.monotonic() + 15
    while len(got) < 3 and time.monotonic() < end:
        got += ev.events(5)
    seqs = [e["record"]["seq"] for e in got]
    check(len(seqs) >= 3 and seqs == list(range(seqs[0], seqs[0] + len(seqs))),
          "one scale's stream: %s" % seqs)
    check(all(e["record"]["scale"] == "truck1" for e in got), "another scale in the stream")
    ev.close()
    ev = Events(gw.host, gw.port, "/api/events")
    check(ev.status() == 200, "the gateway's stream")
    names, end = set(), time.monotonic() + 15
    while not {"truck1", "krt", "bench"} <= names and time.monotonic() < end:
        names |= {e["record"]["scale"] for e in ev.events(5)}
    check({"truck1", "krt", "bench"} <= names, "the gateway's stream: %s" % names)
    ev.close()


@case
def config(env):
    """A bad file: exit 78 and the file, the line and the key, with --check and without."""
    for what, text, line, words in BAD[:6]:
        path = env.write_config("bad.toml", text)
        for args in (["--check"], []):
            rc, out = env.wine(env.exe, "--config", win_path(path), *args)
            check(rc == 78, "%s %s: exit %d: %s" % (what, args, rc, out))
            where = "%s:%d:" % (win_path(path), line)
            check(where in out and all(w in out for w in words),
                  "%s: %r lacks %r or %s" % (what, out, where, words))
    rc, out = env.wine(env.exe, "--config", win_path(os.path.join(env.work, "none.toml")))
    check(rc == 78 and "none.toml" in out, "a missing file: %d %s" % (rc, out))
    # TLS to a broker is not in the Windows build: said at once, not at the first connection.
    path = env.write_config("tls.toml", '[mqtt]\nbroker = "127.0.26.9:8883"\nca_file = "%s"\n'
                            % win_path(path).replace("\\", "\\\\"))
    rc, out = env.wine(env.exe, "--check", "--config", win_path(path))
    check(rc == 78 and 'key "ca_file"' in out, "ca_file: %d %s" % (rc, out))


@case
def register(env):
    """The register of weighings on Windows: SQLite and libcrypto built for it, the key file
    made with an access list of its own and checked at every start."""
    ip = "127.0.26.30"
    env.start_sim("sim", "--ip", ip, "--a", "5817:weight=12345,tare=500,dec=4,net")
    text = gateway_config("winreg", ip + ":18080", [("truck", "5817", ip + ":A")], []) + \
        '[register]\ndatabase = "weighings.db"\n'
    gw = env.start_gateway("gw", text)
    check("register " + win_path(os.path.join(env.work, "weighings.db")) + ": 0 records" in
          gw.err(), "the register's start: %s" % gw.err())
    wait_for("truck ok", lambda: get_json(gw, "/api/scales/truck")["status"] == "ok", timeout=20)
    key = os.path.join(env.work, "weighings.db.key")
    check(os.path.isfile(key), "no key file")
    env.stop_all()
    env.procs = []

    path = os.path.join(env.work, "gw.toml")
    for args in (["--verify-weighings"], ["--prune-weighings"]):
        rc, out = env.wine(env.exe, "--config", win_path(path), *args)
        check(rc == 0, "%s: %d %s" % (args, rc, out))
    # Started again, it takes its own key file.
    gw = env.start_gateway("gw2", text)
    check("register verified" in gw.err() and "good" in gw.err(), "again: %s" % gw.err())
    env.stop_all()
    env.procs = []

    # A key file anyone may read (one copied in from outside, without an access list of its
    # own) is refused, naming who may read it.
    with open(key) as f:
        hexkey = f.read()
    os.remove(key)
    with open(key, "w") as f:
        f.write(hexkey)
    os.chmod(key, 0o644)
    rc, out = env.wine(env.exe, "--config", win_path(path), "--verify-weighings")
    check(rc == 1 and "may be read by others" in out, "a key open to others: %d %s" % (rc, out))


def registered(env):
    """The service's registry key as `reg query` shows it (Wine's sc has no qc), or None."""
    rc, out = env.wine("reg", "query", "HKLM\\SYSTEM\\CurrentControlSet\\Services\\" + SERVICE)
    return out if rc == 0 else None


def sc_state(env):
    rc, out = env.wine("sc", "query", SERVICE)
    m = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
    return rc, (m.group(1) if m else None), out


@case
def service(env):
    """install, sc query, net start, HTTP up, net stop (MQTT offline first), HTTP down,
    uninstall: all through Wine's service manager."""
    ip, port = "127.0.26.20", 18883
    start_broker(env, "broker", ip, port,
                 "listener %d %s\nallow_anonymous true\npersistence false\n" % (port, ip))
    env.start_sim("sim", "--ip", ip, "--a", "5817:weight=1000,dec=0")
    cfg = env.write_config("svc.toml", gateway_config(
        "winsvc", ip + ":18080", [("truck", "5817", ip + ":A")], []) +
        '[mqtt]\nbroker = "%s:%d"\n' % (ip, port))
    env.wine(env.exe, "service", "uninstall")  # what an earlier run left
    try:
        rc, out = env.wine(env.exe, "service", "install", "--config", win_path(cfg))
        check(rc == 0 and "installed" in out, "install: %d %s" % (rc, out))
        rc, out = env.wine(env.exe, "service", "install", "--config", win_path(cfg))
        check(rc == 1 and "already installed" in out, "second install: %d %s" % (rc, out))
        rc, state, out = sc_state(env)
        check(rc == 0 and state == "STOPPED", "sc query after install: %s" % out)
        out = registered(env) or ""
        check(re.search(r"Start\s+REG_DWORD\s+0x2\b", out) and re.search(
            r'ImagePath.*tarvel-gateway\.exe" service run --config "Z:', out),
            "automatic start, the program and its file: %s" % out)
        rc, out = env.wine("reg", "query",
                           "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\"
                           + SERVICE, "/v", "EventMessageFile")
        check(rc == 0 and "tarvel-gateway.exe" in out, "event source: %s" % out)
        # Wine keeps no events: the program's message table (Event IDs 1-3) is read instead.
        windres = shutil.which("x86_64-w64-mingw32-windres")
        if windres:
            rc_text = subprocess.run([windres, "-i", env.exe, "-O", "rc"], capture_output=True,
                                     text=True).stdout
            check(all("MessageId = 0x%s" % i in rc_text for i in
                      ("40000001", "80000002", "c0000003")), "message table: %s" % rc_text[:500])

        rc, out = env.wine("net", "start", SERVICE)
        check(rc == 0, "net start: %d %s" % (rc, out))
        wait_for("the service's HTTP", lambda: serving(ip, 18080), timeout=30)
        check(sc_state(env)[1] == "RUNNING", "sc query: running")
        wait_for("a reading through the service", lambda: get_json(
            type("gw", (), {"host": ip, "port": 18080}), "/api/scales/truck")["status"] == "ok",
            timeout=20)
        got = mqtt_topics(ip, port, "tarvel/winsvc/#", 3)
        check(got.get("tarvel/winsvc/status") == "online" and
              json.loads(got.get("tarvel/winsvc/truck/state", "{}")).get("net") == 1000,
              "MQTT status and state: %s" % got)

        rc, out = env.wine("net", "stop", SERVICE)
        check(rc == 0, "net stop: %d %s" % (rc, out))
        # Wine's net may return while the stop is pending.
        wait_for("HTTP down after net stop", lambda: not serving(ip, 18080), timeout=15)
        wait_for("sc query: stopped", lambda: sc_state(env)[1] == "STOPPED", timeout=15)
        # Its last word to the broker was "offline" (retained), not the broker's will.
        got = mqtt_topics(ip, port, "tarvel/winsvc/status", 1)
        check(got.get("tarvel/winsvc/status") == "offline", "MQTT status: %s" % got)

        # The gateway's own start and stop say what they did.
        rc, out = env.wine(env.exe, "service", "start")
        check(rc == 0 and "running" in out, "service start: %d %s" % (rc, out))
        wait_for("HTTP again", lambda: serving(ip, 18080), timeout=30)
        rc, out = env.wine(env.exe, "service", "stop")
        check(rc == 0 and "stopped" in out, "service stop: %d %s" % (rc, out))

        # A file made wrong meanwhile: the service stops at once with status 78 and says so.
        with open(cfg, "a") as f:
            f.write("colour = 1\n")
        rc, out = env.wine(env.exe, "service", "start")
        check(rc == 78 and "configuration" in out, "start with a bad file: %d %s" % (rc, out))
    finally:
        rc, out = env.wine(env.exe, "service", "uninstall")
    check(rc == 0 and "removed" in out, "uninstall: %d %s" % (rc, out))
    rc, state, out = sc_state(env)
    check(rc != 0 and state is None, "sc query after uninstall: %d %s" % (rc, out))


@case
def msi(env):
    """The installer, silently: the files where docs/windows.md says, the service registered
    and started with the installed configuration; then removed again, the configuration
    kept."""
    package = env.msi
    env.wine("msiexec", "/x", win_path(package), "/qn")  # what an earlier run left
    rc, out = env.wine("msiexec", "/i", win_path(package), "/qn", timeout=300)
    check(rc == 0, "msiexec /i: %d %s" % (rc, out))
    try:
        root = os.path.join(prefix(), "drive_c")
        for rel in ("Program Files/Tarvel6/x64/Tarvel6.dll", "Program Files/Tarvel6/x64/tarvel.exe",
                    "Program Files/Tarvel6/x64/tarvel-gateway.exe",
                    "Program Files/Tarvel6/x86/Tarvel6.dll", "Program Files/Tarvel6/include/tarvel6.h",
                    "Program Files/Tarvel6/gateway.example.toml",
                    "ProgramData/Tarvel6/gateway.toml"):
            check(os.path.isfile(os.path.join(root, rel)), "not installed: C:/" + rel)
        out = registered(env) or ""
        check(re.search(r"Start\s+REG_DWORD\s+0x2\b", out) and re.search(
            r"ImagePath.*Tarvel6\\x64\\tarvel-gateway\.exe.* service run", out),
            "the service as the installer registers it: %s" % out)
        rc, out = env.wine("C:\\Program Files\\Tarvel6\\x64\\tarvel-gateway.exe", "--check",
                           "--config", "C:\\ProgramData\\Tarvel6\\gateway.toml")
        check(rc == 0 and "good" in out, "the installed example configuration: %d %s" % (rc, out))
        rc, out = env.wine("C:\\Program Files\\Tarvel6\\x64\\tarvel.exe", "--version")
        check(rc == 0 and "tarvel" in out, "tarvel.exe: %d %s" % (rc, out))
        # The registered service starts with the installed configuration (127.0.0.1:8080).
        rc, out = env.wine("net", "start", SERVICE)
        check(rc == 0, "net start: %d %s" % (rc, out))
        wait_for("the installed service's HTTP", lambda: serving("127.0.0.1", 8080), timeout=30)
        rc, out = env.wine("net", "stop", SERVICE)
        check(rc == 0, "net stop: %d %s" % (rc, out))
        wait_for("HTTP down", lambda: not serving("127.0.0.1", 8080), timeout=15)
    finally:
        rc, out = env.wine("msiexec", "/x", win_path(package), "/qn", timeout=300)
    check(rc == 0, "msiexec /x: %d %s" % (rc, out))
    check(not os.path.exists(os.path.join(prefix(), "drive_c/Program Files/Tarvel6/x64")),
          "files left after removal")
    check(sc_state(env)[0] != 0, "the service is left after removal")
    check(os.path.isfile(os.path.join(prefix(), "drive_c/ProgramData/Tarvel6/gateway.toml")),
          "the configuration went with the package")


def main():
    if len(sys.argv) not in (6, 7) or sys.argv[1] not in CASES:
        print(__doc__ + "\ncases: " + " ".join(CASES), file=sys.stderr)
        return 2
    name, gateway, wine_run, sim, work = sys.argv[1:6]
    env = WinEnv(gateway, wine_run, sim, os.path.join(work, name))
    env.msi = sys.argv[6] if len(sys.argv) > 6 else None
    return run_case(env, CASES[name], name)


if __name__ == "__main__":
    sys.exit(main())
