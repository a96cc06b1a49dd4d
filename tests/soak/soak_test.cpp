// The randomized soak: seeded random worlds and command streams through the real bridge on the
// simulated stack, with the invariants of InvariantChecker checked at every step.
//
//   soak_tests                                   the fixed seeds 1..200
//   GATTRELAY_SOAK_SEEDS=20000 soak_tests        seeds 1..20000
//   GATTRELAY_SOAK_FIRST=5000 GATTRELAY_SOAK_SEEDS=100 soak_tests    seeds 5000..5099
//   GATTRELAY_SOAK_FIRST=1234 GATTRELAY_SOAK_SEEDS=1 soak_tests      replays seed 1234
#include <cstdlib>
#include <gtest/gtest.h>
#include <iostream>
#include <string>

#include "soak/random_run.hpp"

namespace {

std::uint64_t fromEnvironment(const char* name, std::uint64_t otherwise) {
    const char* text = std::getenv(name);
    return text && *text ? std::strtoull(text, nullptr, 10) : otherwise;
}

TEST(Soak, RandomWorldsKeepEveryInvariant) {
    const std::uint64_t first = fromEnvironment("GATTRELAY_SOAK_FIRST", 1);
    const std::uint64_t count = fromEnvironment("GATTRELAY_SOAK_SEEDS", 200);
    soak::Counts total;
    std::uint64_t steps = 0, failed = 0;
    for (std::uint64_t seed = first; seed < first + count; ++seed) {
        const soak::RunResult run = soak::runSeed(seed);
        total += run.counts;
        steps += static_cast<std::uint64_t>(run.steps);
        if (run.violations.empty()) continue;
        ++failed;
        std::string report;
        for (const std::string& v : run.violations) report += "\n  " + v;
        ADD_FAILURE() << "seed " << seed << " broke an invariant (replay: GATTRELAY_SOAK_FIRST=" << seed
                      << " GATTRELAY_SOAK_SEEDS=1 soak_tests):" << report;
        if (failed >= 5) break;
    }
    std::cout << "seeds " << first << ".." << first + count - 1 << ": " << steps << " steps, " << total.checks
              << " invariant checks, " << total.lines << " lines, " << total.sends << " sends, " << total.admitted
              << " admitted, " << total.writesIssued << " writes issued (" << total.retries << " retries), "
              << total.acceptedTrue << " accepted, " << total.acceptedFalse << " given up, " << total.discardedTooLong
              << " skipped as too long, " << total.discardedWithLink << " gone with their link, "
              << total.discardedAtStop << " dropped at stop, " << total.frames << " frames, " << total.announcements
              << " announcements, longest queue " << total.longestQueue << "\n";
}

TEST(Soak, InProtocol2EverySendIsAnsweredOnce) {
    const std::uint64_t first = fromEnvironment("GATTRELAY_SOAK_FIRST", 1);
    const std::uint64_t count = fromEnvironment("GATTRELAY_SOAK_SEEDS", 200);
    std::uint64_t sends = 0, answers = 0, failed = 0;
    for (std::uint64_t seed = first; seed < first + count; ++seed) {
        const soak::RunResult run = soak::runSeedInProtocol2(seed);
        sends += run.counts.sends;
        answers += run.counts.lines;
        if (run.violations.empty()) continue;
        std::string report;
        for (const std::string& v : run.violations) report += "\n  " + v;
        ADD_FAILURE() << "seed " << seed << " left a send unanswered or answered wrongly:" << report;
        if (++failed >= 5) break;
    }
    std::cout << "protocol 2, seeds " << first << ".." << first + count - 1 << ": " << sends << " sends, " << answers
              << " answers\n";
}

}  // namespace
