#include "support/child_process.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string_view>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>

extern char** environ;

namespace testsupport {

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until `deadline`, for poll().
int remaining(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

bool ready(int fd, short events, Clock::time_point deadline) {
    pollfd p{.fd = fd, .events = events, .revents = 0};
    for (;;) {
        const int n = ::poll(&p, 1, remaining(deadline));
        if (n >= 0) return n > 0;
        if (errno != EINTR) return false;
    }
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// Both ends close on exec, so no other child inherits them.
bool openPipe(int fds[2]) {
#ifdef __linux__
    return ::pipe2(fds, O_CLOEXEC) == 0;
#else
    // macOS has no pipe2(). The tests start their children one at a time.
    if (::pipe(fds) != 0) return false;
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#endif
}

// The command line a cross build runs its executables with, GATTRELAY_TEST_EMULATOR's words
// separated by '|'; none for a native build.
std::vector<std::string> emulator() {
    std::vector<std::string> words;
    std::string_view list = GATTRELAY_TEST_EMULATOR;
    while (!list.empty()) {
        const std::size_t end = std::min(list.find('|'), list.size());
        words.emplace_back(list.substr(0, end));
        list.remove_prefix(std::min(end + 1, list.size()));
    }
    return words;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& path, const std::vector<std::string>& args) {
    // Writing to a child that has gone must fail with EPIPE, not kill the test.
    std::signal(SIGPIPE, SIG_IGN);
    int in[2], out[2];
    if (!openPipe(in) || !openPipe(out)) throw std::runtime_error("pipe");
    FILE* errors = std::tmpfile();
    if (!errors) throw std::runtime_error("tmpfile");
    errors_ = ::dup(::fileno(errors));
    std::fclose(errors);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, errors_, STDERR_FILENO);
    // A cross build's executables run under its emulator (qemu-user), as the tests themselves do.
    std::vector<std::string> words = emulator();
    words.push_back(path);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int failed = ::posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    input_ = in[1];
    output_ = out[0];
    if (failed) throw std::runtime_error("cannot start " + path);
    ::fcntl(input_, F_SETFL, O_NONBLOCK);
#ifdef __linux__
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ < 0) throw std::runtime_error("pidfd_open");
#endif
}

ChildProcess::~ChildProcess() {
    if (!exited_) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    closeFd(input_);
    closeFd(output_);
    closeFd(errors_);
    closeFd(pidfd_);
}

bool ChildProcess::write(std::string_view bytes, Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!bytes.empty()) {
        const ssize_t n = ::write(input_, bytes.data(), bytes.size());
        if (n > 0) {
            bytes.remove_prefix(static_cast<std::size_t>(n));
        } else if (n < 0 && errno == EAGAIN) {
            if (!ready(input_, POLLOUT, deadline)) return false;
        } else if (n < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

void ChildProcess::closeInput() { closeFd(input_); }

void ChildProcess::closeOutput() { closeFd(output_); }

ChildProcess::Fill ChildProcess::fill(Clock::time_point deadline) {
    if (output_ < 0) return Fill::end;
    if (!ready(output_, POLLIN, deadline)) return Fill::timeout;
    char chunk[65536];
    for (;;) {
        const ssize_t n = ::read(output_, chunk, sizeof chunk);
        if (n > 0) {
            buffered_.append(chunk, static_cast<std::size_t>(n));
            return Fill::data;
        }
        if (n == 0 || errno != EINTR) return Fill::end;
    }
}

std::vector<std::string> ChildProcess::readLines(std::size_t count) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
        auto line = readLine();
        if (!line) break;
        lines.push_back(std::move(*line));
    }
    return lines;
}

std::optional<std::string> ChildProcess::readLine(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        if (const auto end = buffered_.find('\n'); end != std::string::npos) {
            std::string line = buffered_.substr(0, end);
            buffered_.erase(0, end + 1);
            return line;
        }
        if (fill(deadline) != Fill::data) return std::nullopt;
    }
}

std::optional<std::string> ChildProcess::readToEnd(Timeout timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        switch (fill(deadline)) {
            case Fill::data: break;
            case Fill::end: return std::exchange(buffered_, {});
            case Fill::timeout: return std::nullopt;
        }
    }
}

std::optional<int> ChildProcess::wait(Timeout timeout) {
    if (!exited_) {
        int status = 0;
#ifdef __linux__
        if (!ready(pidfd_, POLLIN, Clock::now() + timeout)) return std::nullopt;
        ::waitpid(pid_, &status, 0);
#else
        // macOS has no process descriptor to wait on: look every millisecond.
        const auto deadline = Clock::now() + timeout;
        while (::waitpid(pid_, &status, WNOHANG) == 0) {
            if (Clock::now() >= deadline) return std::nullopt;
            ::usleep(1000);
        }
#endif
        exited_ = true;
        exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
    }
    return exitStatus_;
}

std::string ChildProcess::errorOutput() const {
    std::string text;
    char chunk[4096];
    for (off_t at = 0;;) {
        const ssize_t n = ::pread(errors_, chunk, sizeof chunk, at);
        if (n <= 0) return text;
        text.append(chunk, static_cast<std::size_t>(n));
        at += n;
    }
}

}  // namespace testsupport
