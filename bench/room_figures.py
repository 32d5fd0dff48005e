"""The arithmetic of the room figures and the timeline plot, apart from the machinery that collects the times.

Times are milliseconds of the wall clock (the room-server stamps its records with Date.now()).
"""
import math
from xml.sax.saxutils import escape


def percentile(values, p):
    """Nearest-rank percentile: the smallest value with at least p % of the values at or below it."""
    if not values:
        return None
    ordered = sorted(values)
    rank = max(1, math.ceil(p / 100 * len(ordered)))
    return ordered[rank - 1]


def ratio(value, floor):
    """value / floor to two places; None when either is missing or the floor is 0."""
    if value is None or not floor:
        return None
    return round(value / floor, 2)


def time_to_all(times, start_ms, count):
    """Seconds from start until the count-th happening; None while fewer than count have happened."""
    if count <= 0 or len(times) < count:
        return None
    return round((sorted(times)[count - 1] - start_ms) / 1000, 3)


def peak_in_window(times, window_ms=100):
    """The most happenings inside any window of window_ms (a window [t, t + window_ms) may start anywhere)."""
    ordered = sorted(times)
    best = 0
    first = 0
    for last, t in enumerate(ordered):
        while t - ordered[first] >= window_ms:
            first += 1
        best = max(best, last - first + 1)
    return best


def first_per_key(pairs):
    """{key: earliest time} from (key, time) pairs."""
    first = {}
    for key, t in pairs:
        if key not in first or t < first[key]:
            first[key] = t
    return first


def count_steps(ups, downs=()):
    """A step series [(time, count)] from the times things began (ups) and ended (downs); at equal times the
    ends count first, so a reconnect at the very moment of a drop never shows a count above the room."""
    changes = sorted([(t, 0, -1) for t in downs] + [(t, 1, +1) for t in ups])
    steps = []
    level = 0
    for t, _, delta in changes:
        level += delta
        if steps and steps[-1][0] == t:
            steps[-1] = (t, level)
        else:
            steps.append((t, level))
    return steps


def ack_latencies(pings, acks):
    """Each ping's answer: pings and acks are (connection, time) pairs; a ping is answered by the first ack on
    its connection at or after it and before that connection's next ping. One latency (ms) or None per ping."""
    acks_of = {}
    for conn, t in acks:
        acks_of.setdefault(conn, []).append(t)
    pings_of = {}
    for conn, t in pings:
        pings_of.setdefault(conn, []).append(t)
    out = []
    for conn, times in pings_of.items():
        times.sort()
        answers = sorted(acks_of.get(conn, []))
        for i, t in enumerate(times):
            until = times[i + 1] if i + 1 < len(times) else math.inf
            answer = next((a for a in answers if t <= a < until), None)
            out.append(None if answer is None else answer - t)
    return out


def per_hour(samples):
    """The trend of (time ms, value) samples as change per hour (least squares); None with fewer than two times."""
    if len({t for t, _ in samples}) < 2:
        return None
    mt = sum(t for t, _ in samples) / len(samples)
    mv = sum(v for _, v in samples) / len(samples)
    slope = sum((t - mt) * (v - mv) for t, v in samples) / sum((t - mt) ** 2 for t, _ in samples)
    return slope * 3_600_000


PALETTE = ["#1f77b4", "#2ca02c", "#d62728", "#9467bd", "#ff7f0e", "#8c564b"]


def svg_timeline(title, series, markers, count, start_ms, end_ms, width=960, height=440):
    """An SVG plot of step series over time: series is [(label, [(time, value)])], markers [(time, label)];
    the y axis runs from 0 to count, the x axis in seconds from start_ms to end_ms."""
    left, right, top, bottom = 60, 190, 40, 50
    plot_w, plot_h = width - left - right, height - top - bottom
    span = max(end_ms - start_ms, 1)
    top_value = max(count, 1)

    def x(t):
        return left + plot_w * min(max(t - start_ms, 0), span) / span

    def y(v):
        return top + plot_h * (1 - min(max(v, 0), top_value) / top_value)

    out = [
        f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
        f'viewBox="0 0 {width} {height}" font-family="sans-serif" font-size="12">',
        f'<rect width="{width}" height="{height}" fill="white"/>',
        f'<text x="{left}" y="22" font-size="15">{escape(title)}</text>',
        f'<line x1="{left}" y1="{top + plot_h}" x2="{left + plot_w}" y2="{top + plot_h}" stroke="black"/>',
        f'<line x1="{left}" y1="{top}" x2="{left}" y2="{top + plot_h}" stroke="black"/>',
    ]
    seconds = span / 1000
    step = next(s for s in (1, 2, 5, 10, 15, 30, 60, 120, 300, 600, 1e9) if seconds / s <= 12)
    tick = 0.0
    while tick <= seconds + 1e-9:
        tx = x(start_ms + tick * 1000)
        out.append(f'<line x1="{tx:.1f}" y1="{top + plot_h}" x2="{tx:.1f}" y2="{top + plot_h + 5}" stroke="black"/>')
        out.append(f'<text x="{tx:.1f}" y="{top + plot_h + 18}" text-anchor="middle">{tick:g}</text>')
        tick += step
    out.append(f'<text x="{left + plot_w / 2}" y="{height - 10}" text-anchor="middle">seconds</text>')
    for v in sorted({0, top_value // 2, top_value}):
        out.append(f'<text x="{left - 6}" y="{y(v) + 4:.1f}" text-anchor="end">{v}</text>')
        out.append(f'<line x1="{left}" y1="{y(v):.1f}" x2="{left + plot_w}" y2="{y(v):.1f}" stroke="#ddd"/>')
    # Marker labels sit above the plot, in as many rows as it takes for close markers not to overlap.
    row_ends = []
    for t, label in sorted(markers):
        mx = x(t)
        row = next((r for r, end in enumerate(row_ends) if end < mx), len(row_ends))
        if row == len(row_ends):
            row_ends.append(0)
        row_ends[row] = mx + 6 * len(label) + 8
        out.append(f'<line x1="{mx:.1f}" y1="{top}" x2="{mx:.1f}" y2="{top + plot_h}" stroke="#999" stroke-dasharray="4 3"/>')
        out.append(f'<text x="{mx + 2:.1f}" y="{top + plot_h - 4 - 12 * row}" fill="#555" font-size="10">{escape(label)}</text>')
    for n, (label, steps) in enumerate(series):
        colour = PALETTE[n % len(PALETTE)]
        points = [(x(start_ms), y(0))]
        for t, v in steps:
            points.append((x(t), points[-1][1]))
            points.append((x(t), y(v)))
        points.append((x(end_ms), points[-1][1]))
        text = " ".join(f"{px:.1f},{py:.1f}" for px, py in points)
        out.append(f'<polyline fill="none" stroke="{colour}" stroke-width="1.6" points="{text}"><title>{escape(label)}</title></polyline>')
        ly = top + 14 + 18 * n
        out.append(f'<line x1="{left + plot_w + 12}" y1="{ly}" x2="{left + plot_w + 32}" y2="{ly}" stroke="{colour}" stroke-width="3"/>')
        out.append(f'<text x="{left + plot_w + 38}" y="{ly + 4}">{escape(label)}</text>')
    out.append("</svg>")
    return "\n".join(out) + "\n"
