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

#include "loop/fd_watch.hpp"
#include "protocol/command_parser.hpp"
#include "protocol/line_framer.hpp"
#include "codec/utf8_repair.hpp"

namespace protocol {

// What the reader thread shares with the main thread's tasks and with its owner: the bytes in
// flight, and the cancellation.
struct CommandReader::Control {
    explicit Control(std::size_t maxBytesInFlight) : maxBytesInFlight(maxBytesInFlight) {
        if (::pipe(wake) != 0) throw std::system_error(errno, std::generic_category(), "command reader pipe");
    }
    ~Control() {
        ::close(wake[0]);
        ::close(wake[1]);
    }
    Control(const Control&) = delete;
    Control& operator=(const Control&) = delete;

    // Why the reader posted its stop task ("end of input"); set by the reader thread as it
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
constexpr std::size_t threadReadBytes = 256 * 1024;
// On the main loop a read's commands run before anything else: smaller reads let everything
// else take its turn sooner under a flood, and the memory of a read's commands stays under the
// size at which the allocator returns it to the system on each read, and faults it back in.
constexpr std::size_t loopReadBytes = 64 * 1024;
// Command line bytes taken into one task at most: larger batches keep more memory in flight
// between the threads, and past about this size the allocator starts returning it to the
// system and faulting it back in.
constexpr std::size_t maxBatchBytes = 256 * 1024;

// When standard input is a pipe, it is enlarged: a client sending large frames then fills it in
// fewer, larger steps, and the reader and the writer wake each other far less often. Not a pipe,
// or over the system's limit for this user: it stays as it is. (Linux only: macOS sizes its pipes
// by itself.)
void enlargePipe([[maybe_unused]] int fd) {
#ifdef F_SETPIPE_SZ
    ::fcntl(fd, F_SETPIPE_SZ, 1024 * 1024);
#endif
}

// A line of a batch that is not a send.
using Aside = std::variant<Rejection, DisconnectCommand, ConnectCommand, PairCommand>;

// Reads command lines from a descriptor into batches of commands, each a task that calls the
// target. On its own thread (run) it waits for input and posts the batches; on the main loop
// (takeInput) it is told when input is there and runs each read's batch at once.
class Reader {
public:
    // Hands a batch over; false once the reader is cancelled.
    using Deliver = std::function<bool(loop::Task task, std::size_t bytes)>;

    Reader(int fd, std::size_t readBytes, std::weak_ptr<bridge::CommandTarget> target, Protocol protocol,
           Deliver deliver)
        : fd_(fd),
          readBytes_(readBytes),
          target_(std::move(target)),
          deliver_(std::move(deliver)),
          chunk_(new char[readBytes + simdjson::SIMDJSON_PADDING]),
          framer_(maxCommandLineBytes, simdjson::SIMDJSON_PADDING),
          parser_(maxCommandLineBytes, protocol),
          overLongEnds_(protocol == Protocol::v1) {
        // Repair at most triples a line the framer let through.
        repaired_.reserve(3 * maxCommandLineBytes + simdjson::SIMDJSON_PADDING);
    }

    // Why the reader delivered its stop task, or null while it goes on.
    const char* stopCause() const { return stopCause_; }

    // On its own thread: reads until the end, a stop, `stopFd` turning readable or the
    // cancellation, waiting for the main thread while it is behind by the bound.
    void run(int stopFd, CommandReader::Control& control) {
        enlargePipe(fd_);
        bool inputReady = false;
        for (;;) {
            if (!inputReady) {
                const Wake wake = waitForInput(stopFd, control.wake[0]);
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
            if (!take(static_cast<std::size_t>(n))) return;
            // Commands go to the main thread in batches: waking it once per read would cost more
            // than the commands themselves. A batch never waits for input that is not there yet,
            // and a read that did not fill the chunk took all there was.
            inputReady = static_cast<std::size_t>(n) == readBytes_ && inputWaiting();
            if (batchedBytes_ >= maxBatchBytes || !inputReady) {
                if (!post(false) || !control.waitForMainThread()) return;
            }
        }
    }

    // On the main loop, the input being readable: one read, and its batch run. False once the
    // reader has ended.
    bool takeInput() {
        const ssize_t n = readChunk();
        if (n < 0) return true;  // nothing there after all
        return take(static_cast<std::size_t>(n)) && post(false);
    }

    // A stop signal: the stop task, after what was batched.
    void stopBecause(const char* cause) {
        stopCause_ = cause;
        post(true);
    }

private:
    // Frames and handles `n` bytes just read into the chunk, 0 being the end of input. False
    // when the reader has ended: its stop task delivered after the batch.
    bool take(std::size_t n) {
        std::string_view line;
        if (n == 0) {
            // Whatever the last line holds, the end of input comes next: stop either way.
            const LineFramer::Found found = framer_.finish(line);
            if (found == LineFramer::Found::line) handle(line);
            if (found == LineFramer::Found::overLong) overLong();
            stopBecause("end of input");
            return false;
        }
        framer_.feed({chunk_.get(), n});
        for (LineFramer::Found found; (found = framer_.next(line)) != LineFramer::Found::nothing;) {
            if (found == LineFramer::Found::overLong ? !overLong() : !handle(line)) {
                stopBecause(found == LineFramer::Found::overLong ? "over-long line" : "stop");
                return false;
            }
        }
        return true;
    }

    enum class Wake { input, stop, cancelled };

    // Waits until the reader is cancelled, the stop descriptor turns readable, or the input does
    // (or ends). When several hold at once, the first in that list wins.
    Wake waitForInput(int stopFd, int cancelFd) {
#ifdef __APPLE__
        // macOS's poll() does not support devices (a terminal answers POLLNVAL, and the read
        // would then block past a stop); its select() does.
        for (;;) {
            fd_set fds;
            FD_ZERO(&fds);
            int top = std::max(fd_, cancelFd);
            FD_SET(fd_, &fds);
            FD_SET(cancelFd, &fds);
            if (stopFd >= 0) {
                FD_SET(stopFd, &fds);
                top = std::max(top, stopFd);
            }
            if (::select(top + 1, &fds, nullptr, nullptr, nullptr) >= 0) {
                if (FD_ISSET(cancelFd, &fds)) return Wake::cancelled;
                if (stopFd >= 0 && FD_ISSET(stopFd, &fds)) return Wake::stop;
                return Wake::input;
            }
            if (errno != EINTR) return Wake::input;  // the read reports what is wrong
        }
#else
        pollfd fds[3] = {{.fd = fd_, .events = POLLIN, .revents = 0},
                         {.fd = stopFd, .events = POLLIN, .revents = 0},
                         {.fd = cancelFd, .events = POLLIN, .revents = 0}};
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
            const ssize_t n = ::read(fd_, chunk_.get(), readBytes_);
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
        auto task = [target = target_, sends = std::move(sends_), tags = std::move(tags_),
                     asides = std::move(asides_), thenStop]() mutable {
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
        return deliver_(std::move(task), bytes);
    }

    const int fd_;
    const std::size_t readBytes_;
    const std::weak_ptr<bridge::CommandTarget> target_;
    const Deliver deliver_;
    const char* stopCause_ = nullptr;
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

// The reader on the main loop: each time the input is readable, one read and its commands.
// Reading only once per readiness lets the loop serve everything else between two reads, so a
// flood of commands takes its turn with the rest and holds no more than one read in memory.
class CommandReader::OnLoop {
public:
    OnLoop(int fd, loop::MainLoop& loop, std::weak_ptr<bridge::CommandTarget> target, ReaderOptions options)
        : reader_(fd, loopReadBytes, std::move(target), options.protocol,
                  [](loop::Task task, std::size_t) {
                      task();
                      return true;
                  }),
          input_(std::make_unique<loop::FdWatch>(loop, fd)) {
        enlargePipe(fd);
        if (options.stopFd >= 0) {
            stop_ = std::make_unique<loop::FdWatch>(loop, options.stopFd);
            stop_->whenReadable([this] {
                if (ended_) return;
                ended_ = true;
                reader_.stopBecause("signal");
            });
        }
        // The commands of a read go first through everything they start (a frame's write and
        // its answer, on the simulated stack all tasks): only then is more input taken, as a
        // reader thread with its bound would, and a flood of commands cannot crowd that out.
        input_->yieldToTasks();
        waitForInput();
    }

    void cancel() {
        ended_ = true;
        input_.reset();
        stop_.reset();
    }
    const char* stopCause() const { return reader_.stopCause(); }

private:
    void waitForInput() {
        input_->whenReadable([this] {
            if (ended_) return;
            if (reader_.takeInput())
                waitForInput();
            else
                ended_ = true;
        });
    }

    Reader reader_;
    std::unique_ptr<loop::FdWatch> input_;
    std::unique_ptr<loop::FdWatch> stop_;
    bool ended_ = false;
};

CommandReader::CommandReader() = default;
CommandReader::CommandReader(CommandReader&&) noexcept = default;
CommandReader& CommandReader::operator=(CommandReader&&) noexcept = default;

CommandReader::~CommandReader() {
    cancel();
    join();
}

void CommandReader::cancel() {
    if (control_) control_->cancel();
    if (onLoop_) onLoop_->cancel();
}

void CommandReader::join() {
    if (thread_.joinable()) thread_.join();
}

const char* CommandReader::stopCause() const {
    if (onLoop_) return onLoop_->stopCause();
    return control_ ? control_->stopCause : nullptr;
}

CommandReader readCommands(int fd, loop::MainQueue& queue, std::weak_ptr<bridge::CommandTarget> target,
                           ReaderOptions options) {
    CommandReader reading;
    if (options.mainLoop && loop::watchable(fd)) {
        reading.onLoop_ = std::make_unique<CommandReader::OnLoop>(fd, *options.mainLoop, std::move(target), options);
        return reading;
    }
    auto control = std::make_shared<CommandReader::Control>(options.maxBytesInFlight);
    reading.control_ = control;
    reading.thread_ = std::thread([fd, options, &queue, target = std::move(target), control]() mutable {
#ifdef __APPLE__
        pthread_setname_np("commands");  // macOS names only the calling thread
#else
        pthread_setname_np(pthread_self(), "commands");
#endif
        lowerPriority();
        // Posted under the control's lock, each batch counted in flight until it runs.
        const auto deliver = [&](loop::Task task, std::size_t bytes) {
            return control->post(queue, [control, task = std::move(task), bytes] {
                control->release(bytes);
                task();
            }, bytes);
        };
        try {
            Reader reader(fd, threadReadBytes, std::move(target), options.protocol, deliver);
            reader.run(options.stopFd, *control);
            control->stopCause = reader.stopCause();
        } catch (...) {
            // The entry point on the main thread reports it and ends the process in order.
            control->post(queue, [error = std::current_exception()] { std::rethrow_exception(error); }, 0);
        }
    });
    return reading;
}

}  // namespace protocol
