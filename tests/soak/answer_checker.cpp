#include "soak/answer_checker.hpp"

#include <algorithm>
#include <array>

namespace soak {

namespace {

constexpr std::array writeReasons{"too_long", "unknown_peer", "not_ready", "queue_full", "write_failed", "peer_gone"};
constexpr std::array peerReasons{"connect_failed", "setup_failed", "disconnected"};

template <std::size_t N>
bool oneOf(std::string_view value, const std::array<const char*, N>& names) {
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return value == name; });
}

}  // namespace

void AnswerChecker::sent(const std::string& tag, const codec::Uuid& id, std::size_t bytes) {
    unanswered_[tag] = {id.text(), static_cast<std::int64_t>(bytes)};
}

void AnswerChecker::line(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    simdjson::dom::object event;
    const std::string line(text);
    if (parser_.parse(simdjson::padded_string(text)).get(event)) return expect(false, "not an object: " + line);
    std::string_view name, reason;
    const bool hasReason = !event["reason"].get(reason);
    if (event["event"].get(name)) return expect(false, "no event name: " + line);
    if (name == "peer") {
        bool connected = false;
        if (event["connected"].get(connected)) return expect(false, "a peer line without connected: " + line);
        expect(connected ? !hasReason : hasReason && oneOf(reason, peerReasons), "a peer line's reason: " + line);
        return;
    }
    if (name != "write") return;
    ++answers_;
    expect(!stopped_, "an answer after stop: " + line);
    std::string_view tag, id;
    bool accepted = false;
    std::int64_t bytes = 0;
    if (event["tag"].get(tag) || event["id"].get(id) || event["accepted"].get(accepted) || event["bytes"].get(bytes))
        return expect(false, "a write line without its keys: " + line);
    const auto it = unanswered_.find(std::string(tag));
    if (it == unanswered_.end()) return expect(false, "an answer to no send, or a second one: " + line);
    expect(it->second.id == id && it->second.bytes == bytes, "an answer for another frame: " + line);
    expect(accepted ? !hasReason : hasReason && oneOf(reason, writeReasons), "an answer's reason: " + line);
    unanswered_.erase(it);
}

void AnswerChecker::expectAllAnswered() {
    for (const auto& [tag, send] : unanswered_) expect(false, "send " + tag + " to " + send.id + " never answered");
}

void AnswerChecker::expect(bool holds, const std::string& what) {
    if (!holds && violations_.size() < 20) violations_.push_back(what);
}

}  // namespace soak
