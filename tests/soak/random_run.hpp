#pragma once

// One soak run: a world and a command stream drawn from a seed, played through the real bridge
// on the simulated stack with the virtual clock, every step checked by an InvariantChecker.

#include <cstdint>
#include <string>
#include <vector>

#include "soak/invariant_checker.hpp"

namespace soak {

struct RunResult {
    std::vector<std::string> violations;
    Counts counts;
    int steps = 0;
};

RunResult runSeed(std::uint64_t seed);
// The same run in protocol 2, every send tagged, checked from the client's side by an
// AnswerChecker: every send answered exactly once unless stop came first.
RunResult runSeedInProtocol2(std::uint64_t seed);

}  // namespace soak
