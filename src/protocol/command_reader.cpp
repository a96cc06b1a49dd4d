#include "protocol/command_reader.hpp"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <pthread.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <system_error>
#include <unistd.h>
#include <vector>

#include "protocol/command_parser.hpp"
#include "protocol/line_framer.hpp"
#include "codec/utf8_repair.hpp"

namespace protocol {

// What the reader thread shares with the main thread's tasks and with its owner: the bytes in
// flight, and the cancellation.
struct CommandReaderThread::Control {
    explicit Control(std::size_t maxBytesInFlight) : maxBytesInFlight(maxBytesInFlight) {
        if (::pipe(wake) != 0) throw std::system_error(errno, std::generic_category(), "command reader pipe");
    }
    ~Control() {
        ::close(wake[0]);
        ::close(wake[1]);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Why the reader posted its stop task ("end of input"); set by the reader thread before it
    // ends, read after join().
    const char* stopCause = nullptr;

    // Reader thread: posts `task` carrying `bytes` of command lines, unless cancelled.
    bool post(loop::MainQueue& queue, loop::Task task, std::size_t bytes) {
        // Posting under the lock: once cancel() returns, nothing more is posted. The main thread
        // takes the lock only at the bound, so it is not kept waiting by this.
        const std::lock_guard lock(mutex);
        if (cancelled) return false;
        bytesInFlight += bytes;
        queue.post(std::move(task));
        return true;
    }

    // Reader thread: waits while the main thread is behind by the bound. False once cancelled.
    bool waitForMainThread() {
        std::unique_lock lock(mutex);
        caughtUp.wait(lock, [&] { return cancelled || bytesInFlight < maxBytesInFlight; });
        return !cancelled;
    }

    // Main thread: a posted task has taken its commands.
    void release(std::size_t bytes) {
        const std::size_t before = bytesInFlight.fetch_sub(bytes);
        if (before >= maxBytesInFlight && before - bytes < maxBytesInFlight) {
            // The reader checks and starts waiting under the lock: this cannot come in between.
            const std::lock_guard lock(mutex);
            caughtUp.notify_one();
        }
    }

    void cancel() {
        const std::lock_guard lock(mutex);
        if (cancelled) return;
        cancelled = true;
        caughtUp.notify_one();
        // Wakes a wait for input: the pipe turns readable and stays so.
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
    }

    const std::size_t maxBytesInFlight;
    int wake[2] = {-1, -1};
    std::mutex mutex;
    std::condition_variable caughtUp;
    std::atomic<std::size_t> bytesInFlight = 0;
    bool cancelled = false;  // guarded by the mutex
};

namespace {

// Large reads keep the per-read cost small next to the parsing.
constexpr std::size_t chunkBytes = 256 * 1024;
// Command line bytes taken into one task at most: larger batches keep more memory in flight
// between the threads, and past about this size the allocator starts returning it to the
// system and faulting it back in.
constexpr std::size_t maxBatchBytes = 256 * 1024;
#ifdef F_SETPIPE_SZ
// When standard input is a pipe, it is enlarged to this size: a client sending large frames then
// fills it in fewer, larger steps, and this thread and the writer wake each other far less often.
// (Linux only: macOS sizes its pipes by itself.)
constexpr int inputPipeBytes = 1024 * 1024;
#endif

// A line of a batch that is not a send.
using Aside = std::variant<Rejection, DisconnectCommand, ConnectCommand, PairCommand>;

class CommandReader {
public:
    CommandReader(int fd, int stopFd, loop::MainQueue& queue, std::weak_ptr<bridge::CommandTarget> target,
                  std::shared_ptr<CommandReaderThread::Control> control, Protocol protocol)
        : fd_(fd),
          stopFd_(stopFd),
          queue_(queue),
          target_(std::move(target)),
          control_(std::move(control)),
          chunk_(new char[chunkBytes + simdjson::SIMDJSON_PADDING]),
          framer_(maxCommandLineBytes, simdjson::SIMDJSON_PADDING),
          parser_(maxCommandLineBytes, protocol),
          overLongEnds_(protocol == Protocol::v1) {
        // Repair at most triples a line the framer let through.
        repaired_.reserve(3 * maxCommandLineBytes + simdjson::SIMDJSON_PADDING);
    }

    void run() {
#ifdef F_SETPIPE_SZ
        // Not a pipe, or over the system's limit for this user: it stays as it is.
        ::fcntl(fd_, F_SETPIPE_SZ, inputPipeBytes);
#endif
        std::string_view line;
        bool inputReady = false;
        for (;;) {
            if (!inputReady) {
                const Wake wake = waitForInput();
                if (wake == Wake::cancelled) return;
                if (wake == Wake::stop) {
                    stopBecause("signal");
                    return;
                }
            }
            const ssize_t n = readChunk();
            if (n < 0) {  // nothing there after all
                inputReady = false;
                continue;
            }
            if (n == 0) {
                // Whatever the last line holds, the end of input comes next: stop either way.
                const LineFramer::Found found = framer_.finish(line);
                if (found == LineFramer::Found::line) handle(line);
                if (found == LineFramer::Found::overLong) overLong();
                stopBecause("end of input");
                return;
            }
            framer_.feed({chunk_.get(), static_cast<std::size_t>(n)});
            for (LineFramer::Found found; (found = framer_.next(line)) != LineFramer::Found::nothing;) {
                if (found == LineFramer::Found::overLong ? !overLong() : !handle(line)) {
                    stopBecause(found == LineFramer::Found::overLong ? "over-long line" : "stop");
                    return;
                }
            }
            // Commands go to the main thread in batches: waking it once per read would cost more
            // than the commands themselves. A batch never waits for input that is not there yet,
            // and a read that did not fill the chunk took all there was.
            inputReady = static_cast<std::size_t>(n) == chunkBytes && inputWaiting();
            if (batchedBytes_ >= maxBatchBytes || !inputReady) {
                if (!post(false) || !control_->waitForMainThread()) return;
            }
        }
    }

private:
    void stopBecause(const char* cause) {
        control_->stopCause = cause;
        post(true);
    }

    enum class Wake { input, stop, cancelled };

    // Waits until the reader is cancelled, the stop descriptor turns readable, or the input does
    // (or ends). When several hold at once, the first in that list wins.
    Wake waitForInput() {
#ifdef __APPLE__
        // macOS's poll() does not support devices (a terminal answers POLLNVAL, and the read
        // would then block past a stop); its select() does.
        for (;;) {
            fd_set fds;
            FD_ZERO(&fds);
            int top = std::max(fd_, control_->wake[0]);
            FD_SET(fd_, &fds);
            FD_SET(control_->wake[0], &fds);
            if (stopFd_ >= 0) {
                FD_SET(stopFd_, &fds);
                top = std::max(top, stopFd_);
            }
            if (::select(top + 1, &fds, nullptr, nullptr, nullptr) >= 0) {
                if (FD_ISSET(control_->wake[0], &fds)) return Wake::cancelled;
                if (stopFd_ >= 0 && FD_ISSET(stopFd_, &fds)) return Wake::stop;
                return Wake::input;
            }
            if (errno != EINTR) return Wake::input;  // the read reports what is wrong
        }
#else
        pollfd fds[3] = {{.fd = fd_, .events = POLLIN, .revents = 0},
                         {.fd = stopFd_, .events = POLLIN, .revents = 0},
                         {.fd = control_->wake[0], .events = POLLIN, .revents = 0}};
        while (::poll(fds, 3, -1) < 0) {
            if (errno != EINTR) return Wake::input;  // the read reports what is wrong
        }
        if (fds[2].revents != 0) return Wake::cancelled;
        if (fds[1].revents != 0) return Wake::stop;
        return Wake::input;
#endif
    }

    // Bytes read; 0 at the end of input or on a read error; -1 when a read would block.
    ssize_t readChunk() {
        for (;;) {
            const ssize_t n = ::read(fd_, chunk_.get(), chunkBytes);
            if (n >= 0) return n;
            // Standard input handed over non-blocking: wait again instead of taking it as an error.
            if (errno == EAGAIN || errno == EWOULDBLOCK) return -1;
            if (errno != EINTR) return 0;
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
            const std::string_view text = codec::repairUtf8(line, repaired_);
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
        if (const auto* disconnect = std::get_if<DisconnectCommand>(&command)) {
            aside(*disconnect);
            return true;
        }
        if (const auto* connect = std::get_if<ConnectCommand>(&command)) {
            aside(*connect);
            return true;
        }
        if (const auto* pair = std::get_if<PairCommand>(&command)) {
            aside(*pair);
            return true;
        }
        batchedBytes_ += line.size();
        if (!parser_.tag().empty()) tags_.emplace_back(sends_.size(), parser_.tag());
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

    void reject(LineError reason) { aside(Rejection{lineNumber_, reason}); }

    void aside(Aside item) {
        // Counted by what it holds in the batch, so a flood of short lines of this kind is bounded too.
        batchedBytes_ += sizeof(SendCommand);
        asides_.push_back({sends_.size(), item});
    }

    // `readable` bytes from the start of `text` may be read: the padding of the read buffer,
    // of the framer's buffer, or of the repair buffer.
    std::variant<Command, LineError> check(std::string_view text, std::size_t readable) {
        return parser_.check(simdjson::padded_string_view(text.data(), text.size(), readable));
    }

    // Posts the batch, and the stop after it if `thenStop`; false once cancelled.
    bool post(bool thenStop) {
        if (sends_.empty() && asides_.empty() && !thenStop) return true;
        const std::size_t bytes = batchedBytes_;
        auto task = [control = control_, target = target_, sends = std::move(sends_), tags = std::move(tags_),
                     asides = std::move(asides_), bytes, thenStop]() mutable {
            control->release(bytes);
            const auto t = target.lock();
            if (!t) return;
            t->beginCommands();
            // The other lines go between the sends, in line order.
            auto aside = asides.begin();
            const auto asidesBefore = [&](std::size_t send) {
                for (; aside != asides.end() && aside->first <= send; ++aside) {
                    if (const auto* rejection = std::get_if<Rejection>(&aside->second)) t->reject(*rejection);
                    if (const auto* disconnect = std::get_if<DisconnectCommand>(&aside->second))
                        t->disconnectPeer(disconnect->id);
                    if (const auto* connect = std::get_if<ConnectCommand>(&aside->second)) t->connectPeer(connect->id);
                    if (const auto* pair = std::get_if<PairCommand>(&aside->second))
                        t->answerPairing(pair->id, pair->answer);
                }
            };
            auto tag = tags.begin();
            for (std::size_t i = 0; i < sends.size(); ++i) {
                asidesBefore(i);
                SendCommand& send = sends[i];
                if (tag != tags.end() && tag->first == i)
                    t->sendTagged(send.id, std::move(send.payload), std::move((tag++)->second));
                else
                    t->send(send.id, std::move(send.payload));
            }
            asidesBefore(sends.size());
            t->endCommands();
            if (thenStop) t->stop();
        };
        sends_.clear();
        tags_.clear();
        asides_.clear();
        batchedBytes_ = 0;
        return control_->post(queue_, std::move(task), bytes);
    }

    const int fd_;
    const int stopFd_;
    loop::MainQueue& queue_;
    const std::weak_ptr<bridge::CommandTarget> target_;
    const std::shared_ptr<CommandReaderThread::Control> control_;
    std::unique_ptr<char[]> chunk_;
    LineFramer framer_;
    CommandParser parser_;
    const bool overLongEnds_;
    std::string repaired_;
    std::vector<SendCommand> sends_;
    // The tags of the batch's sends that have one, by index: kept apart, so that sends stay small.
    std::vector<std::pair<std::size_t, std::string>> tags_;
    // Each rejected line and each command other than a send, with the number of the batch's
    // sends before it: rare, so kept apart.
    std::vector<std::pair<std::size_t, Aside>> asides_;
    std::size_t batchedBytes_ = 0;
    std::uint64_t lineNumber_ = 0;
};

// Lowers the calling thread's priority, as a utility thread's: nice 10 gives it about a tenth of
// a CPU against busy threads at the default priority, and all of an idle one. (SCHED_IDLE could
// starve it for good on a busy machine; SCHED_BATCH changes only how it is woken, not its share.)
void lowerPriority() {
#ifdef __linux__
    // On Linux a thread has a nice value of its own, set through its thread id.
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), 10);
#endif
}

}  // namespace

CommandReaderThread::CommandReaderThread(std::thread thread, std::shared_ptr<Control> control)
    : control_(std::move(control)), thread_(std::move(thread)) {}

CommandReaderThread::~CommandReaderThread() {
    cancel();
    join();
}

void CommandReaderThread::cancel() {
    if (control_) control_->cancel();
}

void CommandReaderThread::join() {
    if (thread_.joinable()) thread_.join();
}

const char* CommandReaderThread::stopCause() const { return control_ ? control_->stopCause : nullptr; }

CommandReaderThread readCommands(int fd, loop::MainQueue& queue, std::weak_ptr<bridge::CommandTarget> target,
                                 ReaderOptions options) {
    auto control = std::make_shared<CommandReaderThread::Control>(options.maxBytesInFlight);
    std::thread thread([fd, stopFd = options.stopFd, protocol = options.protocol, &queue, target = std::move(target),
                         control]() mutable {
#ifdef __APPLE__
        pthread_setname_np("commands");  // macOS names only the calling thread
#else
        pthread_setname_np(pthread_self(), "commands");
#endif
        lowerPriority();
        try {
            CommandReader(fd, stopFd, queue, std::move(target), control, protocol).run();
        } catch (...) {
            // The entry point on the main thread reports it and ends the process in order.
            control->post(queue, [error = std::current_exception()] { std::rethrow_exception(error); }, 0);
        }
    });
    return CommandReaderThread(std::move(thread), std::move(control));
}

}  // namespace protocol
