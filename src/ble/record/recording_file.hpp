#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "loop/main_queue.hpp"

namespace record {

// Where a recording's lines go: a file opened for appending, written in one system call per
// flush so the bridge never waits on the disk between them. Lines are kept in memory and
// flushed by a timer at most a second after they came, and at the end (the destructor). The
// first failure to write is told once through `problem`; nothing is written after it.
class RecordingFile {
public:
    // Opens `path` for appending, creating it. Nothing and the reason when it cannot be opened or
    // is a directory.
    static std::optional<RecordingFile> open(const std::string& path, std::string& why);

    RecordingFile(RecordingFile&& other) noexcept;
    RecordingFile& operator=(RecordingFile&&) = delete;
    ~RecordingFile();

    // From here on, lines are flushed within a second by a timer on `queue`.
    void start(loop::MainQueue& queue, std::function<void(std::string_view)> problem);
    // One line, without its line feed.
    void append(std::string_view line);
    void flush();

private:
    RecordingFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    int fd_ = -1;
    std::string path_;
    std::string pending_;
    bool failed_ = false;
    loop::MainQueue* queue_ = nullptr;
    loop::Timer flushTimer_;
    std::function<void(std::string_view)> problem_;
};

}  // namespace record
