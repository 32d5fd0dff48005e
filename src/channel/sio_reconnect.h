#pragma once
// Waiting time before the next reconnection: the base delay grown by half for every attempt already made,
// capped. With the defaults: 5000, 7500, 11250, 16875, then 25000 ms for every later attempt.
#include <algorithm>
#include <cmath>

namespace sio {

inline unsigned ReconnectDelayMs(unsigned baseMs, unsigned maxMs, unsigned attemptsMade) {
    double grown = baseMs * std::pow(1.5, std::min(attemptsMade, 32u));
    return static_cast<unsigned>(std::min(grown, static_cast<double>(maxMs)));
}

}  // namespace sio
