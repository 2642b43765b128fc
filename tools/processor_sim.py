#!/usr/bin/env python3
"""Stand-in for the room-correction processor's HTTP/JSON API, for demos and tests.

Listens on 127.0.0.1 only and prints "processor_sim listening on 127.0.0.1:PORT"
as its first line of standard output once it accepts connections.

Command line:
  --port N           TCP port, 0 (default) picks a free one
  --slots FILE       JSON file holding the slot array (default: three built-in slots)
  --active N         initial active processor slot index (default 0)
  --filtering 0|1    initial filtering switch (default 1)
  --gain G           initial speaker gain in dB (default -10)
  --state-dir DIR    directory that stands for the processor's /tmp/dirac; without it
                     no state file is ever touched (there is no default directory)
  --state 0|1|3|4    initial run state, applied to --state-dir at start
  --connected 0|1    create (1) or remove (0) DIR/connected at start
  --log FILE         append one line "METHOD PATH[?QUERY]" per /api request
  -v                 log HTTP requests to standard error

Processor API (JSON bodies, no trailing line end; separators ", " and ": "):
  GET /api/list-slots     -> [{"index": 0, "filter_type": "...", "name": "..."}, ...]
  GET /api/active-slot    -> {"index": N}
  GET /api/filtering      -> {"enabled": true|false}
  GET /api/speaker        -> {"gain": G}      (an integer when G is whole)
  PUT /api/filtering?enabled=0|1&id=ID
  PUT /api/active-slot?index=N&id=ID          (N must be the index of a listed slot)
  PUT /api/speaker?gain=G&id=ID               (G a decimal number)
  A PUT answers with the new object. 400 for a missing/bad value or a missing/non-numeric
  id, 404 for an unknown path, 405 for a known path with the wrong method.

Control (same port, POST or PUT unless noted; each answers with the status object):
  GET  /sim/status                      -> {"active", "filtering", "gain", "state",
                                            "connected", "error"}
  /sim/set?active=N&filtering=0|1&gain=G&error=S
                                        any subset; active may be any integer (also one
                                        no slot has); error=S (400..599) makes every /api
                                        request answer status S, error=0 ends that
  /sim/slots                            body: JSON array that replaces the slot list
  /sim/state?value=0|1|3|4              move the run state (needs --state-dir)
  /sim/connected?value=0|1              create/remove DIR/connected
  /sim/speaker-json?gain=N              write DIR/speaker.json as {"gain": N};
                                        without gain the request body is written as is;
                                        ?remove=1 deletes the file

Run states as seen through the files under DIR/concord: 3 = concord_aplay.pid,
1 = concord_cli.ipc, 0 = capture.ipc, 4 = none. Moving to a state creates that
state's one file and removes the other two.

SIGTERM and SIGINT stop the server and exit with status 0.
"""

import argparse
import json
import os
import re
import signal
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import parse_qs, urlsplit

DEFAULT_SLOTS = [
    {"index": 0, "filter_type": "Dirac Live Bass Management", "name": "Music"},
    {"index": 7, "filter_type": "dirac live bass control", "name": "Movie Night"},
    {"index": 2, "filter_type": "Dirac Live Active Room Treatment", "name": "Late Quiet"},
]
CONTROL_PATHS = ("/sim/status", "/sim/set", "/sim/slots", "/sim/state", "/sim/connected",
                 "/sim/speaker-json")
STATE_FILES = {3: "concord_aplay.pid", 1: "concord_cli.ipc", 0: "capture.ipc"}
INT_RE = re.compile(r"-?[0-9]+\Z")
NUM_RE = re.compile(r"-?[0-9]+(\.[0-9]+)?\Z")


class BadRequest(Exception):
    """Answered with status 400 and the message in the body."""


def parse_int(text, name):
    if text is None or not INT_RE.match(text):
        raise BadRequest("bad %s" % name)
    return int(text)


def parse_gain(text):
    if text is None or not NUM_RE.match(text):
        raise BadRequest("bad gain")
    value = float(text)
    return int(value) if value == int(value) else value


def parse_switch(text, name):
    if text not in ("0", "1"):
        raise BadRequest("bad %s" % name)
    return text == "1"


class Processor:
    """The simulated processor's settings and its state files, behind one lock."""

    def __init__(self, args):
        self.lock = threading.Lock()
        self.slots = DEFAULT_SLOTS
        if args.slots:
            with open(args.slots, encoding="utf-8") as f:
                self.slots = json.load(f)
            if not isinstance(self.slots, list):
                raise SystemExit("processor_sim: %s holds no JSON array" % args.slots)
        self.active = args.active
        self.filtering = bool(args.filtering)
        self.gain = parse_gain(args.gain)
        self.error = 0
        self.state_dir = args.state_dir
        self.log_path = args.log
        if args.state is not None:
            self.set_state(args.state)
        if args.connected is not None:
            self.set_connected(args.connected)

    def slot_indexes(self):
        return [s.get("index", i) if isinstance(s, dict) else i for i, s in enumerate(self.slots)]

    def log(self, line):
        if self.log_path:
            with self.lock, open(self.log_path, "a", encoding="utf-8") as f:
                f.write(line + "\n")

    def path(self, *parts):
        if not self.state_dir:
            raise BadRequest("no --state-dir given")
        return os.path.join(self.state_dir, *parts)

    def state(self):
        if not self.state_dir:
            return None
        for code in (3, 1, 0):
            if os.path.exists(self.path("concord", STATE_FILES[code])):
                return code
        return 4

    def set_state(self, code):
        if code not in (0, 1, 3, 4):
            raise BadRequest("bad state")
        os.makedirs(self.path("concord"), exist_ok=True)
        for other, name in STATE_FILES.items():
            if other != code and os.path.exists(self.path("concord", name)):
                os.remove(self.path("concord", name))
        if code in STATE_FILES:
            with open(self.path("concord", STATE_FILES[code]), "w") as f:
                f.write("%d\n" % os.getpid() if code == 3 else "")

    def connected(self):
        return os.path.exists(self.path("connected")) if self.state_dir else None

    def set_connected(self, on):
        os.makedirs(self.path(), exist_ok=True)
        if on:
            open(self.path("connected"), "w").close()
        elif os.path.exists(self.path("connected")):
            os.remove(self.path("connected"))

    def status(self):
        return {"active": self.active, "filtering": self.filtering, "gain": self.gain,
                "state": self.state(), "connected": self.connected(), "error": self.error}


class Handler(BaseHTTPRequestHandler):
    server_version = "processor_sim/1"
    sim = None  # the Processor, set before serving
    verbose = False

    def log_message(self, fmt, *args):
        if self.verbose:
            sys.stderr.write("processor_sim: " + (fmt % args) + "\n")

    def reply(self, status, obj):
        body = json.dumps(obj).encode("utf-8")
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def body(self):
        length = int(self.headers.get("Content-Length") or 0)
        return self.rfile.read(length) if length > 0 else b""

    def handle_any(self):
        url = urlsplit(self.path)
        query = {k: v[-1] for k, v in parse_qs(url.query, keep_blank_values=True).items()}
        try:
            if url.path.startswith("/sim/"):
                self.control(url.path, query)
            else:
                self.api(url.path, query, url.query)
        except (BadRequest, ValueError) as e:
            self.reply(400, {"error": str(e)})
        except OSError as e:
            self.reply(500, {"error": str(e)})

    do_GET = do_PUT = do_POST = do_DELETE = handle_any

    def api(self, path, query, raw_query):
        sim, method = self.sim, self.command
        sim.log(method + " " + path + ("?" + raw_query if raw_query else ""))
        self.body()
        getters = {
            "/api/list-slots": lambda: sim.slots,
            "/api/active-slot": lambda: {"index": sim.active},
            "/api/filtering": lambda: {"enabled": sim.filtering},
            "/api/speaker": lambda: {"gain": sim.gain},
        }
        if path not in getters:
            return self.reply(404, {"error": "not found"})
        if sim.error:
            return self.reply(sim.error, {"error": "simulated failure"})
        if method == "GET":
            with sim.lock:
                obj = getters[path]()
            return self.reply(200, obj)
        if method != "PUT" or path == "/api/list-slots":
            return self.reply(405, {"error": "method not allowed"})
        parse_int(query.get("id"), "id")
        with sim.lock:
            if path == "/api/filtering":
                sim.filtering = parse_switch(query.get("enabled"), "enabled")
            elif path == "/api/active-slot":
                index = parse_int(query.get("index"), "index")
                if index not in sim.slot_indexes():
                    raise BadRequest("no slot with index %d" % index)
                sim.active = index
            else:
                sim.gain = parse_gain(query.get("gain"))
            obj = getters[path]()
        return self.reply(200, obj)

    def control(self, path, query):
        sim = self.sim
        if path not in CONTROL_PATHS:
            return self.reply(404, {"error": "not found"})
        if path == "/sim/status" and self.command == "GET":
            return self.reply(200, sim.status())
        if self.command not in ("POST", "PUT") or path == "/sim/status":
            return self.reply(405, {"error": "method not allowed"})
        body = self.body()
        with sim.lock:
            if path == "/sim/set":
                change = {}
                if "error" in query:
                    change["error"] = parse_int(query["error"], "error")
                    if change["error"] != 0 and not 400 <= change["error"] <= 599:
                        raise BadRequest("bad error")
                if "active" in query:
                    change["active"] = parse_int(query["active"], "active")
                if "filtering" in query:
                    change["filtering"] = parse_switch(query["filtering"], "filtering")
                if "gain" in query:
                    change["gain"] = parse_gain(query["gain"])
                for name, value in change.items():
                    setattr(sim, name, value)
            elif path == "/sim/slots":
                slots = json.loads(body.decode("utf-8"))
                if not isinstance(slots, list):
                    raise BadRequest("slots must be a JSON array")
                sim.slots = slots
            elif path == "/sim/state":
                sim.set_state(parse_int(query.get("value"), "value"))
            elif path == "/sim/connected":
                sim.set_connected(parse_switch(query.get("value"), "value"))
            else:  # /sim/speaker-json
                target = sim.path("speaker.json")
                if query.get("remove") == "1":
                    if os.path.exists(target):
                        os.remove(target)
                else:
                    os.makedirs(sim.path(), exist_ok=True)
                    if "gain" in query:
                        body = json.dumps({"gain": parse_gain(query["gain"])}).encode()
                    with open(target, "wb") as f:
                        f.write(body)
            obj = sim.status()
        return self.reply(200, obj)


def main(argv=None):
    p = argparse.ArgumentParser(description="Room-correction processor API simulator (loopback only)")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--slots")
    p.add_argument("--active", type=int, default=0)
    p.add_argument("--filtering", type=int, choices=(0, 1), default=1)
    p.add_argument("--gain", default="-10")
    p.add_argument("--state-dir")
    p.add_argument("--state", type=int, choices=(0, 1, 3, 4))
    p.add_argument("--connected", type=int, choices=(0, 1))
    p.add_argument("--log")
    p.add_argument("-v", "--verbose", action="store_true")
    args = p.parse_args(argv)
    if (args.state is not None or args.connected is not None) and not args.state_dir:
        p.error("--state and --connected need --state-dir")
    try:
        Handler.sim = Processor(args)
    except BadRequest as e:
        p.error(str(e))
    Handler.verbose = args.verbose

    server = ThreadingHTTPServer(("127.0.0.1", args.port), Handler)
    server.daemon_threads = True

    def stop(signum, frame):
        raise SystemExit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("processor_sim listening on 127.0.0.1:%d" % server.server_address[1], flush=True)
    try:
        server.serve_forever()
    finally:
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
