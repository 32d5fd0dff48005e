"""The exam day of bench/room.sh --hold: the room stays in its exam for the given minutes on the server's default
timers (Engine.IO ping every 25 s, 20 s to answer), with a room "ping" every 25 s and every few minutes a round
of commands (1005 and 1006 to all, a 2002 answer upload from a tenth of the room), and reports what a long day
shows: server-side disconnects, acks missing or later than 1 s, the growth of memory, CPU and log per agent.
"""
import math
import os
import time

import room_figures as fig
from room_drive import ROOM, memory_kb, now_ms, run_ns, wait_until

PING_EVERY_S = 25
LATE_MS = 1000
TASK, BATCH = "T1", "B1"
ANSWER_BYTES = 16 * 1024


def examinee(x):
    return f"E{x['number']}"


def lay_answer(x):
    """The answer file a 2002 for this PC uploads (ExamData/nrvq/<task>/<batch>/<examinee>/answer/<examinee>.oef)."""
    folder = os.path.join(x["tree"], "ExamData", "nrvq", TASK, BATCH, examinee(x), "answer")
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, examinee(x) + ".oef"), "wb") as f:
        f.write(os.urandom(ANSWER_BYTES))


def log_bytes(x):
    """What the agent has written to its own log files so far."""
    folder = os.path.join(x["tree"], "log")
    total = 0
    for name in os.listdir(folder):
        if name.startswith("TavrelAgent"):
            try:
                total += os.path.getsize(os.path.join(folder, name))
            except OSError:
                pass
    return total


def memory_sample(agents):
    """(time, mean resident kB, mean private kB) over the agents that could be read."""
    mem = [memory_kb(x["pid"]) for x in agents]
    rss = [m[0] for m in mem if m[0]]
    private = [m[1] for m in mem if m[1]]
    return now_ms(), sum(rss) / max(len(rss), 1), sum(private) / max(len(private), 1)


def memory_figures(samples):
    """Begin and end of the day, and the trend per hour once the first round of commands is over (samples are
    taken before each round): the first upload and the first 1005 set up what stays for the rest of the day,
    which is no leak."""
    trend = fig.per_hour(samples[2:])
    # A growth that levels off (arenas and caches filling) shows as a flat second half; a leak goes on.
    half = len(samples) // 2
    later = fig.per_hour(samples[half:])
    return {"begin": round(samples[0][1]), "middle": round(samples[half][1]), "end": round(samples[-1][1]),
            "per_hour": None if trend is None else round(trend, 1),
            "per_hour_second_half": None if later is None else round(later, 1)}


def last_seq(ctl, what):
    records = ctl.call("GET", f"/{what}")[what]
    return max((r["seq"] for r in records), default=0)


def hold(ctl, agents, minutes, round_minutes, server_pid, note):
    n = len(agents)
    keys = {x["key"] for x in agents}
    for x in agents:
        lay_answer(x)
    time.sleep(5)  # the start settles: every agent has reported its exam client once

    t_begin = now_ms()
    event_seq = last_seq(ctl, "events")
    request_seq = last_seq(ctl, "requests")
    cpu_begin = {x["pid"]: run_ns(x["pid"]) for x in agents}
    server_begin = run_ns(server_pid) if server_pid else None
    server_rss_begin = memory_kb(server_pid)[0] if server_pid else None
    logs_begin = {x["key"]: log_bytes(x) for x in agents}
    samples = [memory_sample(agents)]
    pings, acks = [], []
    asked = {}  # examinee -> time the 2002 was sent
    uploaded = {}  # examinee -> time its answer arrived
    sent_pings = rounds = 0

    def collect():
        nonlocal event_seq, request_seq
        for e in ctl.call("GET", f"/events?since={event_seq}")["events"]:
            event_seq = max(event_seq, e["seq"])
            if e.get("kind") != "event":
                continue
            if e.get("event") == "ping" and e["dir"] == "out":
                pings.append((e["conn"], e["time"]))
            elif e.get("event") == "ack" and e["dir"] == "in":
                acks.append((e["conn"], e["time"]))
        for r in ctl.call("GET", f"/requests?route=uploadRecoverAnswer&since={request_seq}")["requests"]:
            request_seq = max(request_seq, r["seq"])
            who = next((p.get("text") for p in r.get("parts") or [] if p.get("name") == "examineeId"), None)
            if who in asked and who not in uploaded:
                uploaded[who] = r["time"]

    def command_round(k):
        nonlocal rounds
        rounds += 1
        ctl.call("POST", "/emit", {"room": ROOM, "event": "broadcast", "args": [{"code": 1005}]})
        ctl.call("POST", "/emit", {"room": ROOM, "event": "broadcast", "args": [{"code": 1006}]})
        # A different tenth of the room each round.
        for x in agents[k % 10::10]:
            asked.setdefault(examinee(x), now_ms())
            data = {"examineeId": examinee(x), "taskId": TASK, "batchNum": BATCH}
            ctl.call("POST", "/emit", {"ecpKey": x["key"], "event": "broadcast", "args": [{"code": 2002, "data": data}]})

    start = time.monotonic()
    end = start + minutes * 60
    next_ping = start
    next_round = start + min(60, round_minutes * 60)
    next_note = start + 60
    while True:
        now = time.monotonic()
        if now >= end:
            break
        if now >= next_ping:
            ctl.call("POST", "/emit", {"room": ROOM, "event": "ping", "args": []})
            sent_pings += 1
            next_ping += PING_EVERY_S
        if now >= next_round:
            samples.append(memory_sample(agents))
            command_round(rounds)
            next_round += round_minutes * 60
        collect()
        if now >= next_note:
            latencies = fig.ack_latencies(pings, acks)
            note(f"held {(now - start) / 60:.0f}/{minutes:g} min: {sent_pings} pings, "
                 f"{sum(1 for v in latencies if v is not None and v > LATE_MS)} acks late, "
                 f"{len(uploaded)}/{len(asked)} answers in")
            next_note += 60
        time.sleep(max(0.05, min(next_ping, next_round, end, next_note) - time.monotonic()))

    # The last ping's answers and the last answers may still be on their way.
    wait_until(lambda: (collect() or True) and len(uploaded) >= len(asked), 30, 1,
               lambda: f"{len(uploaded)}/{len(asked)} answers in", "the last answers")
    time.sleep(2)
    collect()
    t_end = now_ms()
    hours = (t_end - t_begin) / 3_600_000
    samples.append(memory_sample(agents))
    used = sum(run_ns(x["pid"]) - cpu_begin[x["pid"]] for x in agents)
    cpu_pct = used / 1e9 / (hours * 3600) * 100

    # Server-side disconnects: connections of the room that the server saw end while the exam was held.
    drops, reasons = 0, {}
    for c in ctl.call("GET", "/connections")["connections"]:
        key = dict(c.get("queryParams") or []).get("ecpKey")
        if key not in keys or not c.get("closedAt") or c["closedAt"] < t_begin:
            continue
        drops += 1
        reasons[c.get("closeReason") or "?"] = reasons.get(c.get("closeReason") or "?", 0) + 1

    latencies = fig.ack_latencies(pings, acks)
    answered = [v for v in latencies if v is not None]
    expected = sent_pings * n
    missing = expected - len(answered)
    late = sum(1 for v in answered if v > LATE_MS)
    grew = [log_bytes(x) - logs_begin[x["key"]] for x in agents]
    upload_ms = [uploaded[e] - asked[e] for e in uploaded]
    figures = {
        "hold_minutes": round((t_end - t_begin) / 60000, 1),
        "room_pings": sent_pings,
        "acks_expected": expected,
        "acks_missing": missing,
        "acks_later_than_1s": late,
        "ack_ms": {"p50": fig.percentile(answered, 50), "p99": fig.percentile(answered, 99),
                   "max": max(answered) if answered else None},
        "drops": drops,
        "drop_reasons": reasons,
        "command_rounds": rounds,
        "answers_asked": len(asked),
        "answers_uploaded": len(uploaded),
        "answer_upload_ms": {"p50": fig.percentile(upload_ms, 50), "max": max(upload_ms) if upload_ms else None},
        "rss_kb_per_agent": memory_figures([(t, v) for t, v, _ in samples]),
        "private_kb_per_agent": memory_figures([(t, v) for t, _, v in samples]),
        "room_cpu_pct": round(cpu_pct, 2),
        "cpu_pct_per_agent": round(cpu_pct / n, 4),
        "log_bytes_per_agent_per_hour": round(sum(grew) / n / hours) if hours else None,
    }
    if server_pid:
        figures["server"] = {"rss_kb_begin": server_rss_begin, "rss_kb_end": memory_kb(server_pid)[0],
                             "cpu_pct": round((run_ns(server_pid) - server_begin) / 1e9 / (hours * 3600) * 100, 2)}
    figures["complete"] = missing == 0 and len(uploaded) == len(asked) and not math.isnan(cpu_pct)
    return figures
