"""The exam start of bench/room.sh --exam-start: every PC of the room is told to start at the same moment, and
each fetches the module through the server's one link (the room-server's --egress-limit). It reports the time
until every exam client runs beside the floor (N x module size / link speed), the slowest PC, the retries and
the bytes continued by Range requests (from the server's records), and each agent's peak memory. With a cut,
the server's link goes down for that many seconds in the middle of the floor and comes back.
"""
import os
import subprocess
import threading
import time

import room_figures as fig
from room_drive import now_ms, wait_until

MIB = 1 << 20


def peak_kb(pid):
    """The most resident memory the process ever held (VmHWM), kB."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except (OSError, ValueError):
        pass
    return None


def cut_link(at_ms, seconds, relink, note, done):
    """Takes the hub's bridge down at at_ms for `seconds`, then up again with the room's neighbours (a link
    going down forgets even the permanent ones). Runs in the hub namespace, where the driver runs."""
    time.sleep(max(0, at_ms - now_ms()) / 1000)
    done["down_ms"] = now_ms()
    subprocess.run(["ip", "link", "set", "br0", "down"], check=False)
    note(f"the server's link is cut for {seconds:g} s")
    time.sleep(seconds)
    subprocess.run(["ip", "link", "set", "br0", "up"], check=False)
    subprocess.run(["ip", "-force", "-batch", relink], check=False)
    done["up_ms"] = now_ms()
    note("the server's link is back")


def transfers(records, agents_by_address):
    """Per PC (by its address): the module requests, oldest first."""
    per_pc = {}
    for r in records:
        pc = agents_by_address.get((r.get("remote") or {}).get("address", "").replace("::ffff:", ""))
        if pc is not None:
            per_pc.setdefault(pc, []).append(r)
    return per_pc


def exam_start(ctl, agents, calls, module_mib, link_mib_s, cut_s, relink, patience, note):
    n = len(agents)
    size = int(module_mib * MIB)
    rate = link_mib_s * MIB
    floor_s = n * size / rate
    ctl.call("POST", "/answer", {"route": "downloadModule", "bytes": {"size": size, "seed": 35}})
    agents_by_address = {x["address"]: x["number"] for x in agents}
    load_before = os.getloadavg()[0]
    peak_before = [peak_kb(x["pid"]) for x in agents]
    running_before = {k for k, p in calls.items() if os.path.exists(p)}
    if running_before:
        note(f"{len(running_before)} exam clients ran before the start")

    t_start = now_ms()
    ctl.call("POST", "/machine", {"all": True, "startup": {"isStartup": True}})
    note(f"start allowed for all {n}: {n} x {module_mib:g} MiB through {link_mib_s:g} MiB/s, floor {floor_s:.1f} s")
    cut = {}
    cutter = None
    if cut_s:
        cutter = threading.Thread(target=cut_link, daemon=True,
                                  args=(t_start + floor_s * 500, cut_s, relink, note, cut))
        cutter.start()

    def running_now():
        return {k for k, p in calls.items() if os.path.exists(p)}
    wait_until(lambda: running_now() >= set(calls), patience + floor_s * 3 + (cut_s or 0), 0.5,
               lambda: f"{len(running_now())}/{n} exam clients run", "the exam start")
    if cutter:
        cutter.join()
    started = {k: os.stat(p).st_mtime_ns // 1_000_000 for k, p in calls.items() if os.path.exists(p)}
    load_after = os.getloadavg()[0]

    per_pc = transfers(ctl.call("GET", "/requests?route=downloadModule")["requests"], agents_by_address)
    requests = sum(len(v) for v in per_pc.values())
    ranged = [r for v in per_pc.values() for r in v if (r.get("response") or {}).get("status") == 206]
    from_zero_again = sum(1 for v in per_pc.values() for r in v[1:] if (r.get("response") or {}).get("status") == 200)
    sent = sum((r.get("response") or {}).get("sent") or 0 for v in per_pc.values() for r in v)
    key_of = {x["key"]: x for x in agents}
    slowest = max(started.items(), key=lambda kv: kv[1]) if started else None
    peaks = [peak_kb(x["pid"]) for x in agents]
    peaks = [p for p in peaks if p]
    grown = [a - b for a, b in zip((peak_kb(x["pid"]) for x in agents), peak_before) if a and b]
    all_running_s = fig.time_to_all(list(started.values()), t_start, n)
    return {
        "complete": len(started) == n,
        "module_mib": module_mib,
        "link_mib_s": link_mib_s,
        "floor_s": round(floor_s, 1),
        "all_running_s": all_running_s,
        "over_floor": round(all_running_s / floor_s, 3) if all_running_s else None,
        # A cut link adds its own length at least: the time beside the floor and the cut together.
        "over_floor_and_cut": round(all_running_s / (floor_s + (cut_s or 0)), 3) if all_running_s else None,
        "first_running_s": round((min(started.values()) - t_start) / 1000, 1) if started else None,
        "running": len(started),
        "gave_up": n - len(started),
        "slowest_pc": key_of[slowest[0]]["number"] if slowest else None,
        "slowest_pc_s": round((slowest[1] - t_start) / 1000, 1) if slowest else None,
        "module_requests": requests,
        "retries": requests - len(per_pc),
        "pcs_that_retried": sum(1 for v in per_pc.values() if len(v) > 1),
        "ranged_requests": len(ranged),
        "resumed_bytes": sum(r["response"].get("start", 0) for r in ranged),
        "whole_again": from_zero_again,
        "bytes_sent_over_needed": round(sent / (n * size), 3) if sent else None,
        "peak_rss_kb_per_agent": {"mean": round(sum(peaks) / len(peaks)) if peaks else None,
                                  "max": max(peaks) if peaks else None,
                                  "grown_in_the_start_max": max(grown) if grown else None},
        "cut_link_s": cut_s or 0,
        "cut_at_s": round((cut["down_ms"] - t_start) / 1000, 1) if "down_ms" in cut else None,
        "load_avg_1m": {"before": load_before, "after": load_after},
    }
