// gattrelay-sim under a service manager: a datagram socket this test listens on stands for
// systemd's NOTIFY_SOCKET. Waits are bounded and end on the awaited message.

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

#include "support/child_process.hpp"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

const std::string id = "5EC1A5E0-0000-4000-8000-000000000001";

// The socket systemd would listen on, set in the environment of the children started while it
// lives, with the watchdog interval asked for.
class NotifySocket {
public:
    explicit NotifySocket(std::chrono::microseconds watchdog) {
        char dir[] = "/tmp/gattrelay-notify-XXXXXX";
        dir_ = ::mkdtemp(dir);
        path_ = dir_ + "/notify";
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        ::unsetenv("WATCHDOG_PID");
        if (watchdog.count() > 0) ::setenv("WATCHDOG_USEC", std::to_string(watchdog.count()).c_str(), 1);
    }
    ~NotifySocket() {
        ::unsetenv("NOTIFY_SOCKET");
        ::unsetenv("WATCHDOG_USEC");
        ::close(fd_);
        ::unlink(path_.c_str());
        ::rmdir(dir_.c_str());
    }

    // The next message, or nothing within `timeout`.
    std::optional<std::string> next(std::chrono::milliseconds timeout = 10s) {
        pollfd in{.fd = fd_, .events = POLLIN, .revents = 0};
        if (::poll(&in, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buffer, static_cast<std::size_t>(n)));
    }
    // The next message other than a watchdog beat.
    std::optional<std::string> nextState() {
        for (auto message = next(); message; message = next())
            if (*message != "WATCHDOG=1") return message;
        return std::nullopt;
    }
    // Whatever has arrived, without waiting.
    std::vector<std::string> drain() {
        std::vector<std::string> messages;
        while (auto message = next(0ms)) messages.push_back(*message);
        return messages;
    }

private:
    std::string dir_;
    std::string path_;
    int fd_ = -1;
};

// Whether the process's main thread is waiting to write to a full pipe, as the kernel says.
bool blockedWritingPipe(int pid) {
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    std::getline(wchan, where);
    return where.find("pipe_write") != std::string::npos;
}

std::string send(const std::string& data) { return R"({"command":"send","id":")" + id + R"(","data":")" + data + "\"}\n"; }

TEST(ServiceNotify, ReadyAfterTheStateThenStatusBeatsAndStopping) {
    NotifySocket notify(200ms);
    ChildProcess sim(GATTRELAY_SIM_PATH, {});
    EXPECT_EQ(notify.nextState(), "READY=1\nSTATUS=adapter ready, 0 peers ready");
    EXPECT_EQ(notify.nextState(), "STATUS=adapter ready, 1 peer ready");
    // The standard output is what it always is.
    EXPECT_EQ(sim.readLines(3), (std::vector<std::string>{R"({"event":"hello","protocol":1})",
                                                          R"({"event":"state","value":"ready"})",
                                                          R"({"connected":true,"event":"peer","id":")" + id +
                                                              R"(","mtu":185})"}));
    EXPECT_EQ(notify.next(), "WATCHDOG=1");
    EXPECT_EQ(notify.next(), "WATCHDOG=1");
    ASSERT_TRUE(sim.write("{\"command\":\"stop\"}\n"));
    EXPECT_EQ(notify.nextState(), "STOPPING=1");
    EXPECT_EQ(sim.readToEnd(), "");
    EXPECT_EQ(sim.wait(), 0);
    EXPECT_EQ(sim.errorOutput(), "");
}

// A client that stops reading blocks the main loop in its write to standard output: a stuck loop
// as any other, and the beats stop until it moves again.
TEST(ServiceNotify, NoBeatWhileTheMainLoopIsBlocked) {
    NotifySocket notify(200ms);
    ChildProcess sim(GATTRELAY_SIM_PATH, {"--protocol", "2"});
    ASSERT_EQ(sim.readLines(3).size(), 3u);
    for (auto message = notify.next(); message != "WATCHDOG=1"; message = notify.next()) ASSERT_TRUE(message);
    // Frames of 182 bytes, echoed: each send brings about 400 bytes of answers.
    const std::string frame = send(std::string(240, 'A') + "AAAA");
    // The beats are read as they come, as systemd reads them: a socket left unread holds ten
    // datagrams, and a slow bridge (under an emulator) would then block sending its eleventh
    // rather than writing its output.
    int sent = 0;
    while (!blockedWritingPipe(sim.pid()) && sent < 2000) {
        std::string batch;
        for (int i = 0; i < 20; ++i) batch += frame;
        ASSERT_TRUE(sim.write(batch));
        sent += 20;
        notify.drain();
    }
    for (const auto deadline = std::chrono::steady_clock::now() + 60s;
         !blockedWritingPipe(sim.pid()) && std::chrono::steady_clock::now() < deadline;) {
        notify.drain();
        ::usleep(10'000);
    }
    ASSERT_TRUE(blockedWritingPipe(sim.pid()));
    notify.drain();  // beats sent before it blocked
    // Ten beat periods.
    EXPECT_EQ(notify.next(1000ms), std::nullopt);
    // Reading its answers unblocks it.
    int answered = 0;
    while (answered < sent) {
        const auto line = sim.readLine();
        ASSERT_TRUE(line);
        if (line->find(R"("event":"write")") != std::string::npos) ++answered;
    }
    EXPECT_EQ(notify.next(), "WATCHDOG=1");
}

// With a broker that cannot be reached, the first failed attempt makes it ready: an outage must
// not fail the start.
TEST(ServiceNotify, WithABrokerAwayReadyAfterTheFirstFailedAttempt) {
    // A port nobody listens on: bound, never listening.
    const int closed = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(closed, reinterpret_cast<const sockaddr*>(&address), size), 0);
    ASSERT_EQ(::getsockname(closed, reinterpret_cast<sockaddr*>(&address), &size), 0);
    const std::string url = "mqtt://127.0.0.1:" + std::to_string(ntohs(address.sin_port));

    NotifySocket notify(0us);
    ChildProcess sim(GATTRELAY_SIM_PATH, {"--mqtt", url, "--gateway", "g1"});
    // Whether the peer or the broker's answer comes first depends on timing; readiness waits for
    // the broker either way.
    std::vector<std::string> said;
    while (said.empty() || said.back().find("1 peer ready, broker not connected") == std::string::npos) {
        const auto message = notify.nextState();
        ASSERT_TRUE(message);
        said.push_back(*message);
    }
    const auto ready = std::find_if(said.begin(), said.end(), [](const std::string& m) { return m.starts_with("READY=1\n"); });
    ASSERT_NE(ready, said.end());
    EXPECT_NE(ready->find("broker not connected"), std::string::npos) << *ready;
    EXPECT_EQ(std::count_if(said.begin(), said.end(), [](const std::string& m) { return m.starts_with("READY"); }), 1);
    ASSERT_EQ(::kill(sim.pid(), SIGTERM), 0);
    EXPECT_EQ(notify.nextState(), "STOPPING=1");
    EXPECT_EQ(sim.wait(), 0);
    ::close(closed);
}

}  // namespace
