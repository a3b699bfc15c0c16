// s7bench kind "tags": a full read of a fixed set of 100 tags, four ways.
#pragma once

#include <vector>

namespace s7bench {

// Runs the read at each rate (paced line) and prints its own table (or JSON).
// Throws std::runtime_error when a read fails or reads wrong values.
int RunTags(const std::vector<int> &rates, int turnaround_us, bool json);

}  // namespace s7bench
