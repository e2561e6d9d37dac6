"""Helpers of the gateway's tests: the real tarvel-sim and tarvel-gateway programs as child
processes, plain HTTP requests and an event-stream reader on sockets."""
import http.client
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import time


class Fail(Exception):
    pass


def check(cond, what):
    if not cond:
        raise Fail(what)


def wait_for(what, pred, timeout=10.0, step=0.05):
    """Polls pred() until it returns something true; fails with `what` after `timeout` s."""
    end = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() > end:
            raise Fail("timed out waiting for " + what)
        time.sleep(step)


class Proc:
    """A child program with its stdout and stderr in files of the work folder."""

    def __init__(self, work, name, args, env=None):
        self.name = name
        self.err_path = os.path.join(work, name + ".err")
        self.out_path = os.path.join(work, name + ".out")
        self.p = subprocess.Popen(args, stdout=open(self.out_path, "wb"),
                                  stderr=open(self.err_path, "wb"), stdin=subprocess.DEVNULL,
                                  env=env)

    def err(self):
        with open(self.err_path, errors="replace") as f:
            return f.read()

    def out(self):
        with open(self.out_path, errors="replace") as f:
            return f.read()

    def alive(self):
        return self.p.poll() is None

    def running(self):
        """True while it runs; fails with its messages once it has ended."""
        if not self.alive():
            raise Fail("%s ended with %s: %s" % (self.name, self.p.returncode, self.err()))
        return True

    def stop(self, sig=signal.SIGTERM, timeout=10):
        if self.alive():
            self.p.send_signal(sig)
        try:
            return self.p.wait(timeout)
        except subprocess.TimeoutExpired:
            self.p.kill()
            self.p.wait()
            raise Fail(self.name + " did not stop within %d s after signal %d" % (timeout, sig))


class Env:
    """The programs under test and the processes a case started (all stopped at the end)."""

    def __init__(self, gateway, sim, tarvel, work):
        self.gateway, self.sim, self.tarvel, self.work = gateway, sim, tarvel, work
        self.procs = []
        # Each case starts from an empty folder: what an earlier run left (a register, its
        # key) would change what the case sees.
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work, exist_ok=True)

    def start_sim(self, name, *args, ptys=0):
        p = Proc(self.work, name, [self.sim, *args])
        self.procs.append(p)
        converter = any(a in ("--ip", "--a", "--b", "--c", "--d", "--io") for a in args)
        wait_for(name + " to start", lambda: p.running() and (
            (not converter or "converter on" in p.err()) and len(p.out().splitlines()) >= ptys))
        p.ptys = p.out().splitlines()
        return p

    def write_config(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, "w") as f:
            f.write(text)
        return path

    def start_gateway(self, name, config_text, env=None):
        """The gateway with `config_text`; `env`: its environment (default: this one's)."""
        path = self.write_config(name + ".toml", config_text)
        p = Proc(self.work, name, [self.gateway, "--config", path], env)
        self.procs.append(p)
        m = wait_for(name + " to serve",
                     lambda: p.running() and re.search(r"serving http://([^/]+)/", p.err()))
        host, port = m.group(1).rsplit(":", 1)
        p.host, p.port = host, int(port)
        return p

    def kill_all(self):
        """Ends every process still running, at once (after a failure)."""
        for p in self.procs:
            if p.alive():
                p.p.kill()
                p.p.wait()

    def stop_all(self):
        """Stops every process; a gateway must end cleanly on SIGTERM (a sanitizer's report
        makes it fail)."""
        problems = []
        for p in reversed(self.procs):
            if p.name.startswith("gw") or p.name == "open":
                rc = p.stop(signal.SIGTERM) if p.alive() else p.p.returncode
                if rc != 0 or "Sanitizer" in p.err() or "runtime error" in p.err():
                    problems.append("%s ended with %s:\n%s" % (p.name, rc, p.err()[-3000:]))
            elif p.alive():
                p.p.kill()
                p.p.wait()
        if problems:
            raise Fail("\n".join(problems))


def request(host, port, method, path, body=None, headers=None, timeout=30):
    """One request on a connection of its own: (status, headers dict, body bytes)."""
    c = http.client.HTTPConnection(host, port, timeout=timeout)
    try:
        c.request(method, path, body=body, headers=headers or {})
        r = c.getresponse()
        return r.status, {k.lower(): v for k, v in r.getheaders()}, r.read()
    finally:
        c.close()


def get_json(gw, path, expect=200, **kw):
    status, _, body = request(gw.host, gw.port, "GET", path, **kw)
    check(status == expect, "GET %s: %d, expected %d: %r" % (path, status, expect, body[:300]))
    return json.loads(body)


def metric(gw, name):
    """The value of one line of /metrics (name with its labels)."""
    _, _, body = request(gw.host, gw.port, "GET", "/metrics")
    for line in body.decode().splitlines():
        if line.startswith(name + " "):
            return float(line.split()[-1])
    raise Fail("no metric " + name)


class Events:
    """An event-stream client on a plain socket: events() parses what has arrived."""

    def __init__(self, host, port, path, rcvbuf=None, timeout=10):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        if rcvbuf:
            self.s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        self.s.settimeout(timeout)
        self.s.connect((host, port))
        self.s.sendall(("GET %s HTTP/1.1\r\nHost: %s\r\nAccept: text/event-stream\r\n\r\n"
                        % (path, host)).encode())
        self.buf = b""
        self.head = None
        self.closed = False
        self.comments = []

    def _fill(self, timeout):
        self.s.settimeout(timeout)
        try:
            data = self.s.recv(65536)
        except socket.timeout:
            return False
        except OSError:
            data = b""
        if not data:
            self.closed = True
            return False
        self.buf += data
        return True

    def status(self, timeout=10):
        end = time.monotonic() + timeout
        while self.head is None:
            i = self.buf.find(b"\r\n\r\n")
            if i >= 0:
                self.head, self.buf = self.buf[:i].decode(), self.buf[i + 4:]
                self.chunked = "chunked" in self.head.lower()
                self.text = b""
                break
            if self.closed or time.monotonic() > end:
                raise Fail("no response head: %r" % self.buf[:200])
            self._fill(max(0.01, end - time.monotonic()))
        return int(self.head.split()[1])

    def _dechunk(self):
        while self.chunked:
            i = self.buf.find(b"\r\n")
            if i < 0:
                return
            n = int(self.buf[:i].split(b";")[0], 16)
            if len(self.buf) < i + 2 + n + 2:
                return
            self.text += self.buf[i + 2:i + 2 + n]
            self.buf = self.buf[i + 2 + n + 2:]
            if n == 0:
                self.closed = True
                return
        if not self.chunked:
            self.text, self.buf = self.text + self.buf, b""

    def events(self, timeout=0.0):
        """The complete events that arrived (waiting up to `timeout` s for the first)."""
        self.status()
        end = time.monotonic() + timeout
        out = []
        while True:
            self._dechunk()
            while b"\n\n" in self.text:
                block, self.text = self.text.split(b"\n\n", 1)
                ev = {}
                for line in block.decode().split("\n"):
                    if line.startswith(":"):
                        self.comments.append((time.monotonic(), line))
                        continue
                    k, _, v = line.partition(":")
                    ev[k] = v[1:] if v.startswith(" ") else v
                if "data" in ev:
                    ev["received"] = time.monotonic()
                    ev["record"] = json.loads(ev["data"])
                    out.append(ev)
            left = end - time.monotonic()
            if out or self.closed or left <= 0:
                return out
            self._fill(left)

    def close(self):
        self.s.close()


def gateway_config(name, http, scales=(), converters=(), extra=""):
    """A configuration file's text: scales as (name, model, transport[, more lines])."""
    t = '[gateway]\nname = "%s"\nhttp = "%s"\n%s\n' % (name, http, extra)
    for s in scales:
        key = "serial" if s[2].startswith("/") else "tcp"
        t += '[[scale]]\nname = "%s"\nmodel = "%s"\n%s = "%s"\n%s\n' % (
            s[0], s[1], key, s[2], s[3] if len(s) > 3 else "")
    for c in converters:
        t += '[[converter]]\nname = "%s"\naddress = "%s"\n\n' % c
    return t


def run_case(env, case, name):
    """Runs one case: 0 when it passed and every process stopped cleanly; else prints why,
    with the end of every process's standard error, ends them and returns 1."""
    try:
        case(env)
        env.stop_all()
    except Exception as e:  # a Fail, or a client's error (a time-out, a refused connection)
        if isinstance(e, Fail):
            print("FAIL:", e, file=sys.stderr)
        else:
            import traceback
            traceback.print_exc()
        for p in env.procs:
            print("--- %s stderr:\n%s" % (p.name, p.err()[-4000:]), file=sys.stderr)
        env.kill_all()
        return 1
    print("ok:", name)
    return 0
