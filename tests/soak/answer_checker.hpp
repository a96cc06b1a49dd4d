#pragma once

// Watches one protocol 2 run from the client's side: every send carries a tag of its own, and
// every valid send must be answered by exactly one "write" line echoing that tag, with the
// frame's peer and length, a reason exactly when it was not written, and no answer after stop.
// Peers gone carry a reason.

#include <cstdint>
#include <map>
#include <simdjson.h>
#include <string>
#include <string_view>
#include <vector>

#include "codec/uuid.hpp"

namespace soak {

class AnswerChecker {
public:
    // A send task ran with this tag.
    void sent(const std::string& tag, const codec::Uuid& id, std::size_t bytes);
    void stopped() { stopped_ = true; }
    void line(std::string_view text);

    // Sends not answered yet.
    std::size_t unanswered() const { return unanswered_.size(); }
    // At the end of a run that was not stopped until every send could be answered.
    void expectAllAnswered();

    const std::vector<std::string>& violations() const { return violations_; }
    std::uint64_t answers() const { return answers_; }

private:
    void expect(bool holds, const std::string& what);

    struct Sent {
        std::string id;
        std::int64_t bytes;
    };
    std::map<std::string, Sent> unanswered_;
    std::uint64_t answers_ = 0;
    bool stopped_ = false;
    simdjson::dom::parser parser_;
    std::vector<std::string> violations_;
};

}  // namespace soak
