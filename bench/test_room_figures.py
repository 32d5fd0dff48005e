"""The room figures: the percentiles, the herd window, the time-to-all and the timeline must say what they claim,
or a report built on them misleads."""
import os
import sys
import unittest
import xml.etree.ElementTree as ET

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import room_figures as fig  # noqa: E402


class Figures(unittest.TestCase):
    def test_percentile_is_nearest_rank(self):
        values = list(range(100, 0, -1))  # 1..100, unsorted
        self.assertEqual(fig.percentile(values, 50), 50)
        self.assertEqual(fig.percentile(values, 99), 99)
        self.assertEqual(fig.percentile(values, 100), 100)
        # With few values the p99 is the largest, never an interpolated value nobody measured.
        self.assertEqual(fig.percentile([7, 3, 250], 99), 250)
        self.assertEqual(fig.percentile([5], 50), 5)
        self.assertIsNone(fig.percentile([], 50))

    def test_time_to_all_needs_the_whole_room(self):
        self.assertEqual(fig.time_to_all([1500, 1200, 4000], 1000, 3), 3.0)
        self.assertIsNone(fig.time_to_all([1500, 1200], 1000, 3))
        # Extra happenings (a machine counted twice) do not shorten the time of the count-th.
        self.assertEqual(fig.time_to_all([1100, 1200, 1300, 9000], 1000, 3), 0.3)

    def test_peak_window_slides_anywhere(self):
        # Three joins 0-99 ms apart fit one window even though they straddle a 100 ms boundary.
        self.assertEqual(fig.peak_in_window([50, 120, 149, 400], 100), 3)
        # A window is half open: 100 ms apart are two windows.
        self.assertEqual(fig.peak_in_window([0, 100, 200], 100), 1)
        self.assertEqual(fig.peak_in_window([30, 10, 20, 20], 100), 4)
        self.assertEqual(fig.peak_in_window([], 100), 0)

    def test_first_per_key_keeps_the_earliest(self):
        self.assertEqual(fig.first_per_key([("a", 5), ("b", 3), ("a", 2), ("a", 9)]), {"a": 2, "b": 3})

    def test_count_steps_through_a_restart(self):
        # Two joined, both dropped at 10, both back: the count never exceeds the room.
        steps = fig.count_steps([1, 2, 10, 12], [10, 10])
        self.assertEqual(steps, [(1, 1), (2, 2), (10, 1), (12, 2)])
        self.assertTrue(all(0 <= v <= 2 for _, v in steps))


    def test_each_ping_takes_the_first_ack_before_the_next_ping(self):
        pings = [("a", 0), ("a", 25000), ("b", 0), ("c", 0)]
        acks = [("a", 30), ("a", 40), ("a", 26500), ("b", 25001), ("z", 5)]
        # a: 30 ms, then 1500 ms (its second ack of the first round answers nothing); b late, c never; z was
        # never pinged.
        latencies = fig.ack_latencies(pings, acks)
        self.assertEqual(sorted(latencies, key=lambda v: -1 if v is None else v), [None, 30, 1500, 25001])

    def test_growth_per_hour_is_the_trend_not_the_last_step(self):
        self.assertEqual(fig.per_hour([(0, 100), (1_800_000, 150), (3_600_000, 200)]), 100)
        self.assertAlmostEqual(fig.per_hour([(0, 10), (600_000, 30), (1_200_000, 10)]), 0)
        self.assertIsNone(fig.per_hour([(5, 1), (5, 2)]))

class Timeline(unittest.TestCase):
    def test_plot_is_svg_with_one_line_per_series_inside_the_frame(self):
        series = [("registered", fig.count_steps([1000, 2000])), ("in the room", fig.count_steps([1500], [3000]))]
        text = fig.svg_timeline("A <room> & more", series, [(2500, "ping"), (2510, "restart")], 2, 0, 4000)
        root = ET.fromstring(text)  # well-formed, title escaped
        ns = "{http://www.w3.org/2000/svg}"
        lines = root.findall(f"{ns}polyline")
        self.assertEqual([l.find(f"{ns}title").text for l in lines], ["registered", "in the room"])
        width, height = float(root.get("width")), float(root.get("height"))
        for line in lines:
            points = [tuple(map(float, p.split(","))) for p in line.get("points").split()]
            xs = [p[0] for p in points]
            self.assertEqual(xs, sorted(xs), "time runs left to right")
            self.assertTrue(all(0 <= x <= width and 0 <= y <= height for x, y in points))
        # The "in the room" line ends where it began: at zero, the same height as its first point.
        room_points = lines[1].get("points").split()
        self.assertEqual(room_points[0].split(",")[1], room_points[-1].split(",")[1])
        labels = [t.text for t in root.findall(f"{ns}text")]
        self.assertIn("ping", labels)
        self.assertIn("restart", labels)
        # Markers 10 ms apart do not print their labels on top of each other.
        spots = {(t.get("x")[:3], t.get("y")) for t in root.findall(f"{ns}text") if t.text in ("ping", "restart")}
        self.assertEqual(len(spots), 2)


if __name__ == "__main__":
    unittest.main()
