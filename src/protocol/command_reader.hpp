#pragma once

#include <cstddef>
#include <memory>
#include <thread>

#include "protocol/command_target.hpp"
#include "loop/main_queue.hpp"

namespace protocol {

// The longest command line, in bytes of UTF-8 after repair, terminator not counted. In protocol
// 1 a longer line ends the reader just as the end of input does; in protocol 2 it is rejected
// and skipped.
inline constexpr std::size_t maxCommandLineBytes = 24576;

// Starts the command reader on its own thread: it reads `fd` until a "stop" command, an
// over-long line (protocol 1), the end of input or a read error, and posts tasks to `queue` for
// each valid command and each rejected line, in line order; its last act is posting the stop
// task. The tasks call `target` on the main thread, and do nothing once it is gone. Sends carry
// tags in protocol 2 only.
std::thread readCommands(int fd, loop::MainQueue& queue, std::weak_ptr<CommandTarget> target, int protocol = 1);

}  // namespace protocol
