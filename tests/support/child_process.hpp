#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testsupport {

// An executable run with pipes on its standard input and output and its standard error saved
// aside. Every wait is bounded (`timeout`, 10 s by default) and ends as soon as its condition
// holds. Destroying a child that is still running kills it.
class ChildProcess {
public:
    using Timeout = std::chrono::milliseconds;
    static constexpr Timeout defaultTimeout{10'000};

    ChildProcess(const std::string& path, const std::vector<std::string>& args);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Writes all of `bytes` to the child's input; false if the child stopped reading (closed
    // its input, or no progress within the timeout).
    bool write(std::string_view bytes, Timeout timeout = defaultTimeout);
    void closeInput();
    // Closes our end of the child's output, so its writes fail.
    void closeOutput();

    // The next line of output without its line feed; nothing at the end of output (an
    // unterminated rest included) or on timeout.
    std::optional<std::string> readLine(Timeout timeout = defaultTimeout);
    // The next `count` lines, or fewer at the end of output or on a timeout.
    std::vector<std::string> readLines(std::size_t count);
    // Everything not yet read until the end of output; nothing on timeout.
    std::optional<std::string> readToEnd(Timeout timeout = defaultTimeout);

    // The exit status, or -N when killed by signal N; nothing on timeout (the child keeps running).
    std::optional<int> wait(Timeout timeout = defaultTimeout);
    // All the child wrote to its standard error; only after wait() succeeded.
    std::string errorOutput() const;

    int pid() const { return pid_; }
    // The write end of the child's standard input, or -1 once closed.
    int inputFd() const { return input_; }

private:
    enum class Fill { data, end, timeout };
    // Reads what is available into buffered_.
    Fill fill(std::chrono::steady_clock::time_point deadline);

    int pid_ = -1;
    int pidfd_ = -1;
    int input_ = -1;
    int output_ = -1;
    int errors_ = -1;  // a temporary file
    bool exited_ = false;
    int exitStatus_ = 0;
    std::string buffered_;
};

}  // namespace testsupport
