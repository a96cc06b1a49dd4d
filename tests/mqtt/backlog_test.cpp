#include "mqtt/backlog.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mqtt::Backlog;
using mqtt::Message;

Message frame(std::string payload) { return {.topic = "t", .payload = std::move(payload), .frame = true}; }
Message result(std::string payload) { return {.topic = "t", .payload = std::move(payload)}; }

std::vector<std::string> drain(Backlog& backlog) {
    std::vector<std::string> out;
    while (!backlog.empty()) out.push_back(backlog.pop().payload);
    return out;
}

// Sizes count topic and payload: each message here is 1 + 9 = 10 bytes.
TEST(Backlog, OverItsBoundDropsTheOldestFramesOnlyAndCountsThem) {
    Backlog backlog(35);
    backlog.push(frame("frame-001"));
    backlog.push(result("resul-001"));
    backlog.push(frame("frame-002"));
    backlog.push(frame("frame-003"));  // 40 bytes: frame-001 goes
    backlog.push(result("resul-002"));  // 40 again: frame-002 goes
    EXPECT_EQ(backlog.dropped(), 2u);
    EXPECT_EQ(backlog.bytes(), 30u);
    EXPECT_EQ(drain(backlog), (std::vector<std::string>{"resul-001", "frame-003", "resul-002"}));
    EXPECT_EQ(backlog.bytes(), 0u);
}

TEST(Backlog, KeepsEveryOtherMessageWhateverItsSize) {
    Backlog backlog(15);
    backlog.push(frame("frame-001"));
    backlog.push(result("resul-001"));
    backlog.push(result("resul-002"));
    EXPECT_EQ(backlog.dropped(), 1u);
    EXPECT_EQ(drain(backlog), (std::vector<std::string>{"resul-001", "resul-002"}));
}

// A frame popped from the front is no longer a candidate for dropping.
TEST(Backlog, DropsNothingAlreadyTaken) {
    Backlog backlog(25);
    backlog.push(frame("frame-001"));
    backlog.push(frame("frame-002"));
    EXPECT_EQ(backlog.pop().payload, "frame-001");
    backlog.push(frame("frame-003"));
    backlog.push(frame("frame-004"));  // 30 bytes: frame-002 goes
    EXPECT_EQ(backlog.dropped(), 1u);
    EXPECT_EQ(drain(backlog), (std::vector<std::string>{"frame-003", "frame-004"}));
}

}  // namespace
