#pragma once
// Waiting time before the next reconnection: the base delay grown by half for every attempt already made,
// capped. With the defaults: 5000, 7500, 11250, 16875, then 25000 ms for every later attempt.
#include <algorithm>

namespace sio {

inline unsigned ReconnectDelayMs(unsigned baseMs, unsigned maxMs, unsigned attemptsMade) {
    double grown = baseMs;
    for (unsigned i = 0; i < std::min(attemptsMade, 32u) && grown < maxMs; ++i) grown *= 1.5;
    return static_cast<unsigned>(std::min(grown, static_cast<double>(maxMs)));
}

// A room whose server restarts would otherwise come back in one instant: each delay is moved by up to
// `spread` (0.5 = ±50 %) of itself, around the scheduled value. draw is uniform in [0, 1).
inline unsigned SpreadDelayMs(unsigned scheduledMs, double spread, double draw) {
    spread = std::clamp(spread, 0.0, 1.0);
    draw = std::clamp(draw, 0.0, 1.0);
    double moved = scheduledMs * (1.0 + spread * (2.0 * draw - 1.0));
    return static_cast<unsigned>(std::clamp(moved, 0.0, 4294967295.0));
}

}  // namespace sio
