#pragma once
// The machine's local calendar time (thread-safe on both platforms).
#include <ctime>

std::tm LocalTimeOf(std::time_t when);
