#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

#include "loop/main_queue.hpp"

namespace loop {

// The production main queue: a loop of our own served by the main thread, the thread that builds
// it, waiting in the kernel (epoll on Linux, poll elsewhere) for descriptors (FdWatch), for the
// next timer and for tasks from other threads. Idle means blocked in the kernel: no polling, no
// periodic timers. Each pass runs the tasks posted on the main thread so far (those they post
// wait for the next pass, so a task that keeps posting never starves the rest), then looks for
// I/O, then runs the tasks from other threads, the descriptors' waits and the timers that are
// due, in that order.
//
// What a pass costs in system calls is the wait itself: a descriptor is registered with the
// kernel once, level-triggered, and its interest changed only when it really changes after a
// pass; a task from another thread wakes the loop only while it waits.
class MainLoop final : public MainQueue {
public:
    MainLoop();
    ~MainLoop() override;
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    void post(Task task) override;
    void stop() override;

    // Serves the loop until stop(); at once if it was stopped already.
    void run();

protected:
    void schedule(Duration delay, Task task) override;

private:
    friend class FdWatch;
    friend class HostLookup;
    struct Inbox;
    struct Poller;
    // A descriptor's pending waits: each runs once, and the interest follows what is pending.
    struct Watch {
        int fd;
        Task onReadable;
        Task onWritable;
        // Its readable wait is put off while tasks posted on the main thread are waiting.
        bool yields = false;
        std::uint32_t registered = 0;  // the interest the kernel has (Poller's bits)
        bool changed = false;          // listed in changed_
    };
    struct Due {
        std::chrono::steady_clock::time_point at;
        std::uint64_t order;
        // Mutable: moved out of the heap's top just before it is popped.
        mutable Task task;
        bool operator>(const Due& other) const { return at != other.at ? at > other.at : order > other.order; }
    };

    // For a thread that may outlive the loop: posts to its inbox.
    static void postTo(Inbox& inbox, Task task);

    // For FdWatch: a watch's id, its waits, and their changes.
    std::uint64_t add(int fd);
    void remove(std::uint64_t id);
    Watch* find(std::uint64_t id);
    void changed(std::uint64_t id);

    void runPosted();
    void runRemote();
    void dispatch(std::uint64_t id, bool readable, bool writable);
    void runDueTimers();
    // The wait's timeout in nanoseconds: 0 when a task is ready, -1 when nothing is due.
    std::int64_t timeout();
    void applyChanges();

    const std::thread::id mainThread_ = std::this_thread::get_id();
    bool stopped_ = false;
    std::deque<Task> posted_;
    // Shared with threads that may outlive the loop (a host lookup): posting to it once the loop
    // has gone does nothing.
    std::shared_ptr<Inbox> inbox_;
    std::unique_ptr<Poller> poller_;
    std::unordered_map<std::uint64_t, Watch> watches_;
    std::vector<std::uint64_t> changed_;
    std::uint64_t nextWatch_ = 1;  // 0 is the inbox's wake-up
    std::priority_queue<Due, std::vector<Due>, std::greater<>> timers_;
    std::uint64_t nextTimer_ = 0;
};

}  // namespace loop
