#include "protocol/command_reader.hpp"

#include <cerrno>
#include <fcntl.h>
#include <pthread.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "protocol/command_parser.hpp"
#include "protocol/line_framer.hpp"
#include "protocol/utf8_repair.hpp"

namespace protocol {

namespace {

// Large reads keep the per-read cost small next to the parsing.
constexpr std::size_t chunkBytes = 256 * 1024;
// Command line bytes taken into one task at most: larger batches keep more memory in flight
// between the threads, and past about this size the allocator starts returning it to the
// system and faulting it back in.
constexpr std::size_t maxBatchBytes = 256 * 1024;
// When standard input is a pipe, it is enlarged to this size: a client sending large frames then
// fills it in fewer, larger steps, and this thread and the writer wake each other far less often.
constexpr int inputPipeBytes = 1024 * 1024;

class CommandReader {
public:
    CommandReader(int fd, loop::MainQueue& queue, std::weak_ptr<CommandTarget> target, int protocol)
        : fd_(fd),
          queue_(queue),
          target_(std::move(target)),
          chunk_(new char[chunkBytes + simdjson::SIMDJSON_PADDING]),
          framer_(maxCommandLineBytes, simdjson::SIMDJSON_PADDING),
          parser_(maxCommandLineBytes, /*acceptTags=*/protocol >= 2),
          overLongEnds_(protocol < 2) {
        // Repair at most triples a line the framer let through.
        repaired_.reserve(3 * maxCommandLineBytes + simdjson::SIMDJSON_PADDING);
    }

    void run() {
        // Not a pipe, or over the system's limit for this user: it stays as it is.
        ::fcntl(fd_, F_SETPIPE_SZ, inputPipeBytes);
        std::string_view line;
        for (;;) {
            const ssize_t n = readChunk();
            if (n <= 0) {
                // Whatever the last line holds, the end of input comes next: stop either way.
                const LineFramer::Found found = framer_.finish(line);
                if (found == LineFramer::Found::line) handle(line);
                if (found == LineFramer::Found::overLong) overLong();
                post(true);
                return;
            }
            framer_.feed({chunk_.get(), static_cast<std::size_t>(n)});
            for (LineFramer::Found found; (found = framer_.next(line)) != LineFramer::Found::nothing;) {
                if (!(found == LineFramer::Found::overLong ? overLong() : handle(line))) {
                    post(true);
                    return;
                }
            }
            // Commands go to the main thread in batches: waking it once per read would cost more
            // than the commands themselves. A batch never waits for input that is not there yet.
            if (batchedBytes_ >= maxBatchBytes || !inputWaiting()) post(false);
        }
    }

private:
    // Bytes read, or 0 at the end of input or on a read error.
    ssize_t readChunk() {
        for (;;) {
            const ssize_t n = ::read(fd_, chunk_.get(), chunkBytes);
            if (n >= 0) return n;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // Standard input was handed over non-blocking: wait instead of taking it as an error.
                pollfd in{.fd = fd_, .events = POLLIN, .revents = 0};
                ::poll(&in, 1, -1);
            } else if (errno != EINTR) {
                return 0;
            }
        }
    }

    // Whether a read would return at once. Unknown counts as no, so a batch is never held back.
    bool inputWaiting() const {
        int bytes = 0;
        return ::ioctl(fd_, FIONREAD, &bytes) == 0 && bytes > 0;
    }

    // Queues the line's command, or its rejection. False when the reader must stop: a "stop"
    // command, or a line over the limit once repaired that ends the session.
    bool handle(std::string_view line) {
        ++lineNumber_;
        // The JSON parser rejects ill-formed UTF-8 anywhere in its input, so a line it accepts
        // needs no repair, and the framer has already held it to the limit. Only a rejected line
        // is checked, and repaired and measured if it needs it, before being parsed again.
        auto checked = check(line, line.size() + simdjson::SIMDJSON_PADDING);
        if (std::holds_alternative<LineError>(checked)) {
            const std::string_view text = repairUtf8(line, repaired_);
            if (text.data() != line.data()) {
                if (text.size() > maxCommandLineBytes) return rejectOverLong();
                checked = check(text, repaired_.capacity());
            }
        }
        if (const auto* error = std::get_if<LineError>(&checked)) {
            reject(*error);
            return true;
        }
        Command& command = std::get<Command>(checked);
        if (std::holds_alternative<StopCommand>(command)) return false;
        batchedBytes_ += line.size();
        sends_.push_back(std::move(std::get<SendCommand>(command)));
        return true;
    }

    // A line the framer found over-long. False when that ends the session.
    bool overLong() {
        ++lineNumber_;
        return rejectOverLong();
    }

    bool rejectOverLong() {
        if (overLongEnds_) return false;
        reject(LineError::tooLong);
        return true;
    }

    void reject(LineError reason) {
        // Counted by what it holds in the batch, so a flood of short invalid lines is bounded too.
        batchedBytes_ += sizeof(SendCommand);
        rejections_.push_back({sends_.size(), Rejection{lineNumber_, reason}});
    }

    // `readable` bytes from the start of `text` may be read: the padding of the read buffer,
    // of the framer's buffer, or of the repair buffer.
    std::variant<Command, LineError> check(std::string_view text, std::size_t readable) {
        return parser_.check(simdjson::padded_string_view(text.data(), text.size(), readable));
    }

    void post(bool thenStop) {
        if (sends_.empty() && rejections_.empty() && !thenStop) return;
        const std::size_t count = sends_.size();
        queue_.post([target = target_, sends = std::move(sends_), rejections = std::move(rejections_),
                     thenStop]() mutable {
            const auto t = target.lock();
            if (!t) return;
            t->beginCommands();
            // Rejections go between the sends, in line order.
            auto rejection = rejections.begin();
            const auto rejectBefore = [&](std::size_t send) {
                for (; rejection != rejections.end() && rejection->first <= send; ++rejection)
                    t->reject(rejection->second);
            };
            for (std::size_t i = 0; i < sends.size(); ++i) {
                rejectBefore(i);
                SendCommand& send = sends[i];
                if (send.tag.empty())
                    t->send(send.id, std::move(send.payload));
                else
                    t->sendTagged(send.id, std::move(send.payload), std::move(send.tag));
            }
            rejectBefore(sends.size());
            t->endCommands();
            if (thenStop) t->stop();
        });
        // The next batch is likely as large: growing to it step by step would move every send many times.
        sends_.clear();
        sends_.reserve(count);
        rejections_.clear();
        batchedBytes_ = 0;
    }

    const int fd_;
    loop::MainQueue& queue_;
    const std::weak_ptr<CommandTarget> target_;
    std::unique_ptr<char[]> chunk_;
    LineFramer framer_;
    CommandParser parser_;
    const bool overLongEnds_;
    std::string repaired_;
    std::vector<SendCommand> sends_;
    // Each rejected line with the number of the batch's sends before it: rare, so kept apart.
    std::vector<std::pair<std::size_t, Rejection>> rejections_;
    std::size_t batchedBytes_ = 0;
    std::uint64_t lineNumber_ = 0;
};

}  // namespace

std::thread readCommands(int fd, loop::MainQueue& queue, std::weak_ptr<CommandTarget> target, int protocol) {
    return std::thread([fd, &queue, target = std::move(target), protocol]() mutable {
        pthread_setname_np(pthread_self(), "commands");
        CommandReader(fd, queue, std::move(target), protocol).run();
    });
}

}  // namespace protocol
