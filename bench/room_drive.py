"""Drives the scripted exam of bench/room.sh against the room-server's control interface and prints the JSON
line of figures; writes the JSON and the SVG timeline. Runs inside the hub namespace, beside the server.

Phases: all registered and joined; the idle room (memory, CPU); one "ping" to the room; a restart of the
server's Socket.IO side; a start (module and exam client); the end of the exam; an update (the installer).
With --exam-start-mib only the registration, the join and a start of the whole room at once with a module of
that size (bench/room_start.py).
"""
import argparse
import base64
import glob
import http.client
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import room_figures as fig  # noqa: E402

ROOM = "R101"
# The reference room: beside each agent a room_peer (joins, answers "ping", nothing else) in the same PC. Its
# figures are the floor of the machine and the server under the agents' own.
FLOOR_ROOM = "REF101"


def now_ms():
    return int(time.time() * 1000)


class Control:
    def __init__(self, address):
        host, port = address.rsplit(":", 1)
        self.host, self.port = host, int(port)
        self.link = None

    def call(self, method, path, body=None, timeout=150):
        for attempt in range(2):
            if self.link is None:
                self.link = http.client.HTTPConnection(self.host, self.port, timeout=timeout)
            try:
                data = None if body is None else json.dumps(body)
                self.link.request(method, path, body=data, headers={"Content-Type": "application/json"})
                answer = self.link.getresponse()
                return json.loads(answer.read() or b"{}")
            except (OSError, http.client.HTTPException):
                self.link.close()
                self.link = None
                if attempt:
                    raise
        return {}


def file_ms(path):
    try:
        return int(os.stat(path).st_mtime_ns // 1_000_000)
    except OSError:
        return None


def note(text):
    print(f"room: {text}", file=sys.stderr, flush=True)


def wait_until(check, deadline_s, every=0.2, progress=None, what="the room"):
    """Calls check() until it answers true or the time is up; the last answer. While it waits, every 5 s a line
    says how far the room is (progress() gives the text)."""
    started = time.time()
    end = started + deadline_s
    said = started
    while True:
        done = check()
        if done or time.time() >= end:
            return done
        if progress and time.time() - said >= 5:
            said = time.time()
            note(f"waiting for {what}: {progress()} after {said - started:.0f} s")
        time.sleep(every)


def run_ns(pid):
    """CPU time of every thread of a process so far, in ns (the scheduler's own account, not 10 ms ticks)."""
    total = 0
    for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
        try:
            with open(stat) as f:
                total += int(f.read().split()[0])
        except (OSError, ValueError, IndexError):
            pass
    return total


def started_ms(pid):
    """When a process began, on the wall clock (10 ms steps: the kernel counts clock ticks since boot)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            ticks = int(f.read().rsplit(")", 1)[1].split()[19])
        boot_ms = time.time() * 1000 - time.clock_gettime(time.CLOCK_BOOTTIME) * 1000
        return int(boot_ms + ticks * 1000 / os.sysconf("SC_CLK_TCK"))
    except (OSError, ValueError, IndexError):
        return None


def memory_kb(pid):
    """(resident, private) kB of one process."""
    rss = private = None
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    rss = int(line.split()[1])
        with open(f"/proc/{pid}/smaps_rollup") as f:
            private = sum(int(line.split()[1]) for line in f if line.startswith(("Private_Clean:", "Private_Dirty:")))
    except (OSError, ValueError):
        pass
    return rss, private


def server_figures(pid):
    """What the exam server's own process holds: resident kB, open files, and its CPU time so far (ns)."""
    rss, _ = memory_kb(pid)
    try:
        files = len(os.listdir(f"/proc/{pid}/fd"))
    except OSError:
        files = None
    return {"rss_kb": rss, "open_files": files, "run_ns": run_ns(pid)}


# The routes every agent calls at each pass (every 3 s) and its state report after each ping in the exam:
# answered, but not kept by the server, which would otherwise hold a record of each for the whole run. Nothing
# here reads them, nor the frames.
ROUTINE = ["getStartupInfoAgent", "getVersionInfo", "getModuleMD5", "sendEcpState"]


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--control", required=True)
    ap.add_argument("--agents", required=True)
    ap.add_argument("--installer", required=True)
    ap.add_argument("--first-started", type=int, required=True)
    ap.add_argument("--last-started", type=int, required=True)
    ap.add_argument("--json", required=True)
    ap.add_argument("--svg", required=True)
    ap.add_argument("--server-pid", type=int)
    ap.add_argument("--idle-seconds", type=float, default=10)
    ap.add_argument("--hold-minutes", type=float, default=0)
    ap.add_argument("--round-minutes", type=float, default=5)
    ap.add_argument("--exam-start-mib", type=float, default=0)
    ap.add_argument("--link-mib-s", type=float, default=40)
    ap.add_argument("--cut-link-s", type=float, default=0)
    ap.add_argument("--relink")
    a = ap.parse_args()

    agents = []
    with open(a.agents) as f:
        for line in f:
            number, pid, key, tree, peer = line.split()
            i = int(number)
            agents.append({"number": i, "pid": int(pid), "key": key, "tree": tree, "peer": int(peer),
                           "address": f"10.77.{i // 250 + 1}.{i % 250 + 2}"})
    keys = {x["key"] for x in agents}
    floor_keys = {"REF-" + k for k in keys}
    n = len(agents)
    ctl = Control(a.control)
    ctl.call("POST", "/records", {"skipRoutes": ROUTINE, "frames": False})
    # The clock of the figures starts when the last agent process began, which may be a little after the
    # launcher issued its start.
    starts = [t for t in (started_ms(x["pid"]) for x in agents) if t]
    first_started = min(starts) if starts else a.first_started
    t0 = max(starts + [a.last_started])
    markers = [(first_started, "first agent started"), (t0, "last agent started")]
    complete = True
    # A slower machine or a bigger room needs longer; none of these limits is a goal.
    patience = 60 + n * 0.3

    def sockets_in_room(room=ROOM, of=keys):
        found = set()
        for s in ctl.call("GET", "/sockets").get("sockets", []):
            rooms = s.get("rooms", [])
            if s.get("nsp") == "/" and room in rooms:
                found.update(r[4:] for r in rooms if r.startswith("key:") and r[4:] in of)
        return found

    def floor_in_room():
        return sockets_in_room(FLOOR_ROOM, floor_keys)

    def joins_since(t, of):
        conns = ctl.call("GET", "/connections")["connections"]
        found = fig.first_per_key((s.get("query", {}).get("ecpKey"), s["connectedAt"])
                                  for c in conns for s in c.get("sockets", [])
                                  if s.get("nsp") == "/" and s["connectedAt"] >= t)
        return conns, {k: v for k, v in found.items() if k in of}

    def registered_now():
        return keys & {m.get("ecpKey") for m in ctl.call("GET", "/machines")["machines"]}

    def of_room(found):
        return f"{len(found)}/{n}"

    # --- registration and join
    wait_until(lambda: registered_now() >= keys, patience, 0.25,
               lambda: of_room(registered_now()) + " registered", "registration")
    reg = ctl.call("GET", "/requests?route=registeTavrel")["requests"]
    registered = fig.first_per_key((r.get("key"), r["time"]) for r in reg if r.get("key") in keys)
    joined_all = wait_until(lambda: sockets_in_room() >= keys, patience, 0.25,
                            lambda: of_room(sockets_in_room()) + " in the room", "the join")
    conns, joins = joins_since(0, keys)
    note(f"{len(registered)}/{n} registered, {len(joins)}/{n} joined")
    complete &= len(registered) == n and bool(joined_all)
    floor_joined_all = wait_until(lambda: floor_in_room() >= floor_keys, patience, 0.25,
                                  lambda: of_room(floor_in_room()) + " reference PCs in their room", "the reference join")
    _, floor_joins = joins_since(0, floor_keys)
    complete &= bool(floor_joined_all)

    def allow_start():
        t = now_ms()
        for x in agents:
            ctl.call("POST", "/machine", {"ecpKey": x["key"], "startup": {"isStartup": True}})
        return t

    calls = {x["key"]: os.path.join(x["tree"], "Agent", "exam_client_calls.log") for x in agents}

    def running_now():
        return {k for k, p in calls.items() if os.path.exists(p)}

    if a.exam_start_mib:
        import room_start
        figures = room_start.exam_start(ctl, agents, calls, a.exam_start_mib, a.link_mib_s, a.cut_link_s, a.relink,
                                        patience, note)
        figures.update({"agents": n, "registered": len(registered), "joined": len(joins)})
        line = json.dumps(figures)
        print(line, flush=True)
        with open(a.json, "w") as f:
            f.write(line + "\n")
        return 0 if complete and figures["complete"] else 1

    if a.hold_minutes:
        import room_hold
        t_start = allow_start()
        wait_until(lambda: running_now() >= keys, patience, 0.5,
                   lambda: of_room(running_now()) + " exam clients run", "the start")
        note(f"{len(running_now())}/{n} exam clients run")
        figures = room_hold.hold(ctl, agents, a.hold_minutes, a.round_minutes, a.server_pid, note)
        figures.update({"agents": n, "registered": len(registered), "joined": len(joins),
                        "t_all_joined_s": fig.time_to_all(list(joins.values()), t0, n),
                        "start_all_running_s": fig.time_to_all([file_ms(p) for p in calls.values() if file_ms(p)], t_start, n),
                        "load_avg_1m": os.getloadavg()[0]})
        line = json.dumps(figures)
        print(line, flush=True)
        with open(a.json, "w") as f:
            f.write(line + "\n")
        return 0 if complete and figures["complete"] else 1

    # --- the idle room: every agent polls, none has anything to do
    time.sleep(3)
    before = {p: run_ns(p) for x in agents for p in (x["pid"], x["peer"])}
    server_before = server_figures(a.server_pid) if a.server_pid else None
    started = time.monotonic()
    time.sleep(a.idle_seconds)
    idle_seconds = time.monotonic() - started

    def idle_cpu_of(which):
        used = sum(run_ns(x[which]) - before[x[which]] for x in agents)
        return round(used / 1e9 / idle_seconds * 100, 2)
    idle_cpu, floor_idle_cpu = idle_cpu_of("pid"), idle_cpu_of("peer")
    server = server_figures(a.server_pid) if a.server_pid else None
    if server:
        server["idle_cpu_pct"] = round((server.pop("run_ns") - server_before["run_ns"]) / 1e9 / idle_seconds * 100, 2)
    mem = [memory_kb(x["pid"]) for x in agents]
    rss = [m[0] for m in mem if m[0]]
    private = [m[1] for m in mem if m[1]]
    floor_mem = [memory_kb(x["peer"]) for x in agents]

    def mean_of(values):
        values = [v for v in values if v]
        return round(sum(values) / len(values)) if values else None

    seen = {"seq": 0}  # the newest ack taken so far: every later ping and ack comes after it

    def ping_room(label, room=ROOM):
        """One "ping" to a room; each PC's "ack" timed from the "ping" frame sent to its connection. The polls ask
        only for the events after the last ping's acks: the whole journal, sent ten times a second, would keep
        the one server busy while the room's acks arrive."""
        since = seen["seq"]
        t_ping = now_ms()
        if room == ROOM:
            markers.append((t_ping, label))
        ctl.call("POST", "/emit", {"room": room, "event": "ping", "args": []})

        def pinged():
            return {e["conn"]: e["time"] for e in ctl.call("GET", f"/events?event=ping&dir=out&since={since}")["events"]
                    if e["time"] >= t_ping}

        def acks_now(conns):
            return [e for e in ctl.call("GET", f"/events?event=ack&dir=in&since={since}")["events"]
                    if e["time"] >= t_ping and e["conn"] in conns]

        def acked():
            return {e["conn"] for e in acks_now(pinged())}
        wait_until(lambda: len(acked()) >= n, 10, 0.1, lambda: of_room(acked()) + " acknowledged", label)
        pings = pinged()
        acks = acks_now(pings)
        seen["seq"] = max([since] + [e["seq"] for e in acks])
        at = fig.first_per_key((e["conn"], e["time"]) for e in acks)
        got = [t - pings[conn] for conn, t in at.items()]
        note(f"{len(at)}/{n} acknowledged the {label}, p50 {fig.percentile(got, 50)} ms, p99 {fig.percentile(got, 99)} ms")
        return at, got

    def ping_rounds(label, rounds=3):
        """Rounds of one "ping" to the agents' room and one to the reference room, which goes first every other
        round; 3 s between pings, so that the agents' state reports (0.5-2.5 s after their ping) are done before
        the next. Percentiles over the acks of all rounds, the floor's beside them, and the ratio of the p99s."""
        lat = {ROOM: [], FLOOR_ROOM: []}
        fewest = {ROOM: n, FLOOR_ROOM: n}
        first_at = None
        for r in range(rounds):
            order = [(FLOOR_ROOM, "reference " + label), (ROOM, label)]
            if r % 2:
                order.reverse()
            for room, what in order:
                at, got = ping_room(what, room)
                if room == ROOM and first_at is None:
                    first_at = at
                lat[room] += got
                fewest[room] = min(fewest[room], len(got))
                time.sleep(3)

        def summary(values, acks):
            return {"p50": fig.percentile(values, 50), "p99": fig.percentile(values, 99),
                    "max": max(values) if values else None, "acks": acks}
        figures = summary(lat[ROOM], fewest[ROOM])
        figures["rounds"] = rounds
        figures["floor"] = summary(lat[FLOOR_ROOM], fewest[FLOOR_ROOM])
        figures["p99_over_floor"] = fig.ratio(figures["p99"], figures["floor"]["p99"])
        return first_at, figures, fewest[FLOOR_ROOM] == n

    # --- one "ping" to the idle room
    ack_at, ping_idle, floor_ok = ping_rounds("ping")
    complete &= ping_idle["acks"] == n and floor_ok

    # --- the server's Socket.IO side restarts
    t_stop = now_ms()
    markers.append((t_stop, "Socket.IO restart"))
    ctl.call("POST", "/socket/stop", {})
    ctl.call("POST", "/socket/start", {})
    rejoined_all = wait_until(lambda: sockets_in_room() >= keys, patience, 0.25,
                              lambda: of_room(sockets_in_room()) + " back in the room", "the rejoin")
    conns, rejoins = joins_since(t_stop, keys)
    note(f"{len(rejoins)}/{n} rejoined after the restart")
    complete &= bool(rejoined_all)
    complete &= bool(wait_until(lambda: floor_in_room() >= floor_keys, patience, 0.25,
                                lambda: of_room(floor_in_room()) + " reference PCs back", "the reference rejoin"))
    _, floor_rejoins = joins_since(t_stop, floor_keys)

    # --- the start: each machine may start; it fetches the module and runs its exam client
    t_start = allow_start()
    markers.append((t_start, "start allowed"))
    wait_until(lambda: running_now() >= keys, patience, 0.1,
               lambda: of_room(running_now()) + " exam clients run", "the start")
    running = {k: file_ms(p) for k, p in calls.items() if file_ms(p) is not None}
    note(f"{len(running)}/{n} exam clients run")
    complete &= len(running) == n
    # The same "ping" while the exam runs: now each agent also reports its state to the server (status 1).
    time.sleep(1)
    _, ping_exam, floor_ok = ping_rounds("ping in the exam")
    complete &= ping_exam["acks"] == n and floor_ok

    # --- the end of the exam: the stub clients end, the agents upload their logs (the demo then withdraws the start)
    t_release = now_ms()
    markers.append((t_release, "exam ends"))
    for x in agents:
        open(os.path.join(x["tree"], "Agent", "exam_client_release"), "w").close()
    def uploads():
        return {r.get("key") for r in ctl.call("GET", "/requests?route=uploadTavrelLogs")["requests"]} & keys
    wait_until(lambda: uploads() >= keys, patience, 0.25, lambda: of_room(uploads()) + " logs uploaded", "the logs")
    ended = {k: file_ms(p) for k, p in calls.items() if k in running}

    # --- the update: a new version is announced; every agent fetches and starts the (stub) installer
    with open(a.installer, "rb") as f:
        ctl.call("POST", "/answer", {"route": "updateTavrel", "bytes": {"base64": base64.b64encode(f.read()).decode()}})
    t_update = now_ms()
    markers.append((t_update, "update announced"))
    ctl.call("POST", "/answer", {"route": "getVersionInfo", "data": "99.0.0.1"})
    marks = {x["key"]: os.path.join(x["tree"], "Temp", "installer-run.txt") for x in agents}

    def installers_now():
        return {k for k, p in marks.items() if os.path.exists(p)}
    wait_until(lambda: installers_now() >= keys, patience, 0.2,
               lambda: of_room(installers_now()) + " installers started", "the update")
    installers = {k: file_ms(p) for k, p in marks.items() if file_ms(p) is not None}
    note(f"{len(installers)}/{n} installers started")
    complete &= len(installers) == n
    t_end = now_ms()

    figures = {
        "agents": n,
        "registered": len(registered),
        "joined": len(joins),
        "t_all_registered_s": fig.time_to_all(list(registered.values()), t0, n),
        "t_all_joined_s": fig.time_to_all(list(joins.values()), t0, n),
        "ping_ack_ms": ping_idle,
        "ping_in_exam_ack_ms": ping_exam,
        "rejoin_all_s": fig.time_to_all(list(rejoins.values()), t_stop, n),
        "rejoin_peak_per_100ms": fig.peak_in_window(list(rejoins.values()), 100),
        "start_all_running_s": fig.time_to_all(list(running.values()), t_start, n),
        "update_all_started_s": fig.time_to_all(list(installers.values()), t_update, n),
        "rss_kb_per_agent": round(sum(rss) / len(rss)) if rss else None,
        "private_kb_per_agent": round(sum(private) / len(private)) if private else None,
        "idle_room_cpu_pct": idle_cpu,
        # The same figures of the reference room (the channel alone: no passes, no reports).
        "floor": {
            "t_all_joined_s": fig.time_to_all(list(floor_joins.values()), t0, n),
            "rejoin_all_s": fig.time_to_all(list(floor_rejoins.values()), t_stop, n),
            "rejoin_peak_per_100ms": fig.peak_in_window(list(floor_rejoins.values()), 100),
            "rss_kb_per_pc": mean_of(m[0] for m in floor_mem),
            "private_kb_per_pc": mean_of(m[1] for m in floor_mem),
            "idle_room_cpu_pct": floor_idle_cpu,
        },
        "server_idle": server,
        "starts_spread_s": round((t0 - first_started) / 1000, 3),
        "load_avg_1m": os.getloadavg()[0],
    }
    line = json.dumps(figures)
    print(line, flush=True)
    with open(a.json, "w") as f:
        f.write(line + "\n")

    # The timeline: who is registered, in the room (connected now), running the exam client, has acknowledged,
    # has started the installer.
    in_room_up, in_room_down = [], []
    for c in conns:
        for s in c.get("sockets", []):
            if s.get("nsp") == "/" and s.get("query", {}).get("ecpKey") in keys:
                in_room_up.append(s["connectedAt"])
                if s.get("disconnectedAt"):
                    in_room_down.append(s["disconnectedAt"])
    series = [
        ("registered", fig.count_steps(registered.values())),
        ("in the room", fig.count_steps(in_room_up, in_room_down)),
        ("exam client runs", fig.count_steps(running.values(), [t for t in ended.values() if t and t >= t_release])),
        ("ping acknowledged", fig.count_steps(ack_at.values())),
        ("installer started", fig.count_steps(installers.values())),
    ]
    title = f"A room of {n} agents on one machine (t = 0: the first agent started)"
    with open(a.svg, "w") as f:
        f.write(fig.svg_timeline(title, series, markers, n, first_started, t_end))
    return 0 if complete else 1


if __name__ == "__main__":
    sys.exit(main())
