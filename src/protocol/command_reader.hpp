#pragma once

#include <cstddef>
#include <memory>
#include <thread>

#include "bridge/command_target.hpp"
#include "protocol/protocol.hpp"
#include "loop/main_queue.hpp"

namespace loop {
class MainLoop;
}

namespace protocol {

// The longest command line, in bytes of UTF-8 after repair, terminator not counted. In protocol
// 1 a longer line ends the reader just as the end of input does; in protocol 2 it is rejected
// and skipped.
inline constexpr std::size_t maxCommandLineBytes = 24576;

// The bytes of command lines taken into posted tasks that have not run yet, at most (give or
// take one batch). At the bound the reader stops reading until the main thread catches up, so
// a client that sends faster than the bridge can go on blocks in its own write.
inline constexpr std::size_t maxCommandBytesInFlight = 4 * 1024 * 1024;

struct ReaderOptions {
    // A descriptor that turns readable when the reader must stop as at a "stop" command (the
    // process's stop signals), or -1.
    int stopFd = -1;
    std::size_t maxBytesInFlight = maxCommandBytesInFlight;
    // 1, or 2: tags on sends, and over-long lines rejected instead of ending the session.
    Protocol protocol = Protocol::v1;
    // The main loop that serves `queue`, if it is one: the reader then reads on it, with no
    // thread, whenever the loop can wait for the input (a pipe, a socket, a terminal; not a
    // regular file, nor /dev/null).
    loop::MainLoop* mainLoop = nullptr;
};

// A command reader at work: on the main loop, or on its own thread. Destroying it cancels it,
// and waits for its thread.
class CommandReader {
public:
    struct Control;
    class OnLoop;

    CommandReader();
    CommandReader(CommandReader&&) noexcept;
    CommandReader& operator=(CommandReader&&) noexcept;
    ~CommandReader();

    // Ends the reader at once: it delivers nothing more, not even its stop task. On its own
    // thread it ends while it waits for input or for the main thread as well as while it reads;
    // any thread may cancel that one, the main thread only one on the main loop.
    void cancel();
    // Waits until the reader has ended (at once on the main loop).
    void join();
    // After join(): why the reader stopped the bridge ("stop", "end of input", "over-long line",
    // "signal"), or null if it did not.
    const char* stopCause() const;

private:
    friend CommandReader readCommands(int, loop::MainQueue&, std::weak_ptr<bridge::CommandTarget>,
                                      ReaderOptions);
    std::unique_ptr<OnLoop> onLoop_;
    std::shared_ptr<Control> control_;
    std::thread thread_;
};

// Starts the command reader: it reads `fd` until a "stop" command, an over-long line (protocol
// 1), the end of input, a read error or the stop descriptor, and hands `queue` the commands of
// each valid line and each rejected line, in line order, as tasks; its last act is the stop
// task. The tasks call `target` on the main thread, and do nothing once it is gone. Sends carry
// tags in protocol 2 only. On the main loop a read's commands run as soon as they are read; on
// its own thread they are posted in batches, at most `maxBytesInFlight` of them not yet run, and
// an exception on that thread is thrown again by a task on the main thread.
CommandReader readCommands(int fd, loop::MainQueue& queue, std::weak_ptr<bridge::CommandTarget> target,
                           ReaderOptions options = {});

}  // namespace protocol
