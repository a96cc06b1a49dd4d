#include "ble/record/recording_file.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace record {

namespace {

constexpr auto flushInterval = std::chrono::seconds(1);

}  // namespace

std::optional<RecordingFile> RecordingFile::open(const std::string& path, std::string& why) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    // A FIFO or a terminal would make every flush wait on its reader: only a regular file (or
    // /dev/null) is a place to record to.
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !(S_ISREG(status.st_mode) || S_ISCHR(status.st_mode)) || ::isatty(fd)) {
        ::close(fd);
        why = "not a regular file";
        return std::nullopt;
    }
    return RecordingFile(fd, path);
}

RecordingFile::RecordingFile(RecordingFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      path_(std::move(other.path_)),
      pending_(std::move(other.pending_)),
      failed_(other.failed_),
      queue_(other.queue_),
      flushTimer_(std::move(other.flushTimer_)),
      problem_(std::move(other.problem_)) {}

RecordingFile::~RecordingFile() {
    if (fd_ < 0) return;
    flush();
    ::close(fd_);
}

void RecordingFile::start(loop::MainQueue& queue, std::function<void(std::string_view)> problem) {
    queue_ = &queue;
    problem_ = std::move(problem);
}

void RecordingFile::append(std::string_view line) {
    if (failed_) return;
    pending_ += line;
    pending_ += '\n';
    if (queue_ && !flushTimer_.pending()) flushTimer_ = queue_->postAfter(flushInterval, [this] { flush(); });
}

void RecordingFile::flush() {
    flushTimer_.cancel();
    std::size_t done = 0;
    while (!failed_ && done < pending_.size()) {
        const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            failed_ = true;
            const std::string why = n < 0 ? std::strerror(errno) : "nothing written";
            if (problem_) problem_("cannot write the recording '" + path_ + "': " + why + "; recording stops");
        }
    }
    pending_.clear();
}

}  // namespace record
