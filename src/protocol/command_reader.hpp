#pragma once

#include <cstddef>
#include <memory>
#include <thread>

#include "bridge/command_target.hpp"
#include "protocol/protocol.hpp"
#include "loop/main_queue.hpp"

namespace protocol {

// The longest command line, in bytes of UTF-8 after repair, terminator not counted. In protocol
// 1 a longer line ends the reader just as the end of input does; in protocol 2 it is rejected
// and skipped.
inline constexpr std::size_t maxCommandLineBytes = 24576;

// The bytes of command lines taken into posted tasks that have not run yet, at most (give or
// take one batch). At the bound the reader stops reading until the main thread catches up, so
// a client that sends faster than the bridge can go on blocks in its own write.
inline constexpr std::size_t maxCommandBytesInFlight = 4 * 1024 * 1024;

// The command reader's thread. Destroying it cancels the reader and waits for the thread.
class CommandReaderThread {
public:
    struct Control;

    CommandReaderThread() = default;
    CommandReaderThread(std::thread thread, std::shared_ptr<Control> control);
    CommandReaderThread(CommandReaderThread&&) = default;
    CommandReaderThread& operator=(CommandReaderThread&&) = default;
    ~CommandReaderThread();

    // Any thread. Ends the reader at once, while it waits for input or for the main thread as
    // well as while it reads: it posts nothing more, not even its stop task.
    void cancel();
    // Waits until the reader has ended.
    void join();
    // After join(): why the reader stopped the bridge ("stop", "end of input", "over-long line",
    // "signal"), or null if it did not.
    const char* stopCause() const;

private:
    std::shared_ptr<Control> control_;
    std::thread thread_;
};

struct ReaderOptions {
    // A descriptor that turns readable when the reader must stop as at a "stop" command (the
    // process's stop signals), or -1.
    int stopFd = -1;
    std::size_t maxBytesInFlight = maxCommandBytesInFlight;
    // 1, or 2: tags on sends, and over-long lines rejected instead of ending the session.
    Protocol protocol = Protocol::v1;
};

// Starts the command reader on its own thread: it reads `fd` until a "stop" command, an
// over-long line (protocol 1), the end of input, a read error or the stop descriptor, and posts
// tasks to `queue` for each valid command and each rejected line, in line order; its last act is
// posting the stop task. The tasks call `target` on the main thread, and do nothing once it is
// gone. Sends carry tags in protocol 2 only. An exception on the reader's thread is thrown again
// by a task on the main thread.
CommandReaderThread readCommands(int fd, loop::MainQueue& queue, std::weak_ptr<bridge::CommandTarget> target,
                                 ReaderOptions options = {});

}  // namespace protocol
