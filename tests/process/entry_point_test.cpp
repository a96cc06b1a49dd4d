// The entry point the executables share, run in this process with its standard input and output
// on pipes: an exception from the backend or from a task ends it with status 70 and one line on
// standard error, with the command reader, waiting on input still open, ended too.
#include "app/run_bridge.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <unistd.h>

#include "ble/sim/sim_world.hpp"

namespace {

class EntryPointTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(::pipe(input_), 0);
        ASSERT_EQ(::pipe(output_), 0);
        savedInput_ = ::dup(STDIN_FILENO);
        savedOutput_ = ::dup(STDOUT_FILENO);
        ASSERT_GE(::dup2(input_[0], STDIN_FILENO), 0);
        ASSERT_GE(::dup2(output_[1], STDOUT_FILENO), 0);
    }
    void TearDown() override {
        ::dup2(savedInput_, STDIN_FILENO);
        ::dup2(savedOutput_, STDOUT_FILENO);
        for (int fd : {input_[0], input_[1], output_[0], output_[1], savedInput_, savedOutput_}) ::close(fd);
    }

    int input_[2] = {-1, -1};
    int output_[2] = {-1, -1};
    int savedInput_ = -1;
    int savedOutput_ = -1;
};

TEST_F(EntryPointTest, AnExceptionEndsItWithStatus70AndOneLineOnStandardError) {
    std::unique_ptr<sim::SimWorld> world;
    const struct {
        const char* name;
        std::function<ble::CentralFactory(loop::MainLoop&)> backend;
    } cases[] = {
        {"making the backend", [](loop::MainLoop&) -> ble::CentralFactory { throw std::runtime_error("boom"); }},
        {"a task of the running bridge",
         [&](loop::MainLoop& queue) {
             queue.post([] { throw std::runtime_error("boom"); });
             world = std::make_unique<sim::SimWorld>(sim::WorldSpec{}, queue);
             return world->centralFactory();
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::testing::internal::CaptureStderr();
        const int status = app::runBridge({.name = "gattrelay", .backend = "sim"}, {}, c.backend);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), "gattrelay: internal error: boom\n");
        EXPECT_EQ(status, app::internalErrorStatus);
        world.reset();
    }
}

}  // namespace
