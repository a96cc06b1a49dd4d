#include "loop/main_loop.hpp"

#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <system_error>
#include <unistd.h>

#if defined(__linux__) && !defined(GATTRELAY_LOOP_POLL)
#include <sys/epoll.h>
#include <sys/eventfd.h>
#define GATTRELAY_LOOP_EPOLL 1
#else
#include <poll.h>
#endif

namespace loop {

namespace {

constexpr std::uint32_t readable = 1;
constexpr std::uint32_t writable = 2;

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

// One descriptor's readiness after a wait; id 0 is the wake-up.
struct Ready {
    std::uint64_t id;
    bool readable;
    bool writable;
};

}  // namespace

// Tasks from other threads, and the wake-up of a loop that waits for them.
struct MainLoop::Inbox {
    Inbox() {
#ifdef GATTRELAY_LOOP_EPOLL
        wake[0] = wake[1] = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake[0] < 0) fail("eventfd");
#else
        if (::pipe(wake) != 0) fail("pipe");
        for (const int fd : wake) {
            ::fcntl(fd, F_SETFD, FD_CLOEXEC);
            ::fcntl(fd, F_SETFL, O_NONBLOCK);
        }
#endif
    }
    ~Inbox() {
        ::close(wake[0]);
        if (wake[1] != wake[0]) ::close(wake[1]);
    }
    Inbox(const Inbox&) = delete;
    Inbox& operator=(const Inbox&) = delete;

    // Any thread. Wakes the loop only if it waits, and only the first task does.
    void post(Task task) {
        bool wakeUp = false;
        {
            const std::lock_guard lock(mutex);
            tasks.push_back(std::move(task));
            wakeUp = std::exchange(sleeping, false);
        }
        if (!wakeUp) return;
#ifdef GATTRELAY_LOOP_EPOLL
        // Edge-triggered, so never read: each write is an edge. The counter would need 2^64 writes to fill.
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &one, sizeof one);
#else
        // A full pipe already holds a wake-up.
        const char byte = 0;
        [[maybe_unused]] const ssize_t n = ::write(wake[1], &byte, 1);
#endif
    }

    std::mutex mutex;
    std::deque<Task> tasks;
    bool sleeping = false;  // the loop waits, or is about to: a task must wake it
    int wake[2] = {-1, -1};
};

#ifdef GATTRELAY_LOOP_EPOLL

// epoll: each descriptor registered while it has a wait, level-triggered; the wake-up
// edge-triggered.
struct MainLoop::Poller {
    explicit Poller(int wakeFd) : epoll(::epoll_create1(EPOLL_CLOEXEC)) {
        if (epoll < 0) fail("epoll_create1");
        epoll_event event{};
        event.events = EPOLLIN | EPOLLET;
        event.data.u64 = 0;
        if (::epoll_ctl(epoll, EPOLL_CTL_ADD, wakeFd, &event) != 0) fail("epoll_ctl");
    }
    ~Poller() { ::close(epoll); }

    void set(int fd, std::uint64_t id, std::uint32_t before, std::uint32_t after) {
        epoll_event event{};
        event.events = ((after & readable) ? EPOLLIN : 0u) | ((after & writable) ? EPOLLOUT : 0u);
        event.data.u64 = id;
        const int op = before == 0 ? EPOLL_CTL_ADD : after == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD;
        // Taking a descriptor out cannot fail in a way that matters: one already closed is out.
        if (::epoll_ctl(epoll, op, fd, &event) != 0 && op != EPOLL_CTL_DEL) fail("epoll_ctl");
    }

    void wait(std::int64_t timeoutNs, std::vector<Ready>& ready) {
        epoll_event events[64];
        int n;
        do {
            if (timeoutNs < 0) {
                n = ::epoll_wait(epoll, events, 64, -1);
            } else {
                const timespec timeout{.tv_sec = static_cast<time_t>(timeoutNs / 1000000000),
                                       .tv_nsec = static_cast<long>(timeoutNs % 1000000000)};
                n = ::epoll_pwait2(epoll, events, 64, &timeout, nullptr);
                if (n < 0 && errno == ENOSYS)  // before Linux 5.11: milliseconds, rounded up
                    n = ::epoll_wait(epoll, events, 64, static_cast<int>((timeoutNs + 999999) / 1000000));
            }
        } while (n < 0 && errno == EINTR);
        if (n < 0) fail("epoll_wait");
        ready.clear();
        for (int i = 0; i < n; ++i) {
            const std::uint32_t e = events[i].events;
            ready.push_back({events[i].data.u64, (e & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0,
                             (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0});
        }
    }

    const int epoll;
};

#else

// poll(2), where there is no epoll: the descriptors with a wait are handed over on each wait.
struct MainLoop::Poller {
    explicit Poller(int wakeFd) : wakeFd(wakeFd) {}

    void set(int fd, std::uint64_t id, std::uint32_t, std::uint32_t after) {
        if (after == 0)
            interest.erase(id);
        else
            interest[id] = {fd, after};
    }

    void wait(std::int64_t timeoutNs, std::vector<Ready>& ready) {
        fds.clear();
        ids.clear();
        fds.push_back({wakeFd, POLLIN, 0});
        ids.push_back(0);
        for (const auto& [id, fdAndBits] : interest) {
            const auto [fd, bits] = fdAndBits;
            fds.push_back({fd, static_cast<short>(((bits & readable) ? POLLIN : 0) | ((bits & writable) ? POLLOUT : 0)), 0});
            ids.push_back(id);
        }
        const int timeout = timeoutNs < 0 ? -1 : static_cast<int>((timeoutNs + 999999) / 1000000);
        int n;
        while ((n = ::poll(fds.data(), static_cast<nfds_t>(fds.size()), timeout)) < 0 && errno == EINTR) {
        }
        if (n < 0) fail("poll");
        ready.clear();
        if (fds[0].revents != 0) {
            char bytes[64];
            while (::read(wakeFd, bytes, sizeof bytes) > 0) {
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            const short e = fds[i].revents;
            if (e == 0) continue;
            ready.push_back({ids[i], (e & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0,
                             (e & (POLLOUT | POLLHUP | POLLERR | POLLNVAL)) != 0});
        }
    }

    const int wakeFd;
    std::unordered_map<std::uint64_t, std::pair<int, std::uint32_t>> interest;
    std::vector<pollfd> fds;
    std::vector<std::uint64_t> ids;
};

#endif

MainLoop::MainLoop() : inbox_(std::make_shared<Inbox>()), poller_(std::make_unique<Poller>(inbox_->wake[0])) {}

MainLoop::~MainLoop() = default;

void MainLoop::post(Task task) {
    if (std::this_thread::get_id() == mainThread_)
        posted_.push_back(std::move(task));
    else
        inbox_->post(std::move(task));
}

void MainLoop::postTo(Inbox& inbox, Task task) { inbox.post(std::move(task)); }

void MainLoop::schedule(Duration delay, Task task) {
    timers_.push({std::chrono::steady_clock::now() + delay, nextTimer_++, std::move(task)});
}

void MainLoop::stop() { stopped_ = true; }

void MainLoop::run() {
    std::vector<Ready> ready;
    while (!stopped_) {
        runPosted();
        if (stopped_) return;
        applyChanges();
        std::int64_t wait = timeout();
        if (wait != 0) {
            const std::lock_guard lock(inbox_->mutex);
            if (inbox_->tasks.empty())
                inbox_->sleeping = true;
            else
                wait = 0;
        }
        poller_->wait(wait, ready);
        runRemote();
        for (const Ready& r : ready) {
            if (stopped_) return;
            if (r.id != 0) dispatch(r.id, r.readable, r.writable);
        }
        runDueTimers();
    }
}

// The tasks posted so far, not those they post: those wait until the loop has looked for I/O
// once more.
void MainLoop::runPosted() {
    for (std::size_t n = posted_.size(); n > 0 && !stopped_; --n) {
        Task task = std::move(posted_.front());
        posted_.pop_front();
        task();
    }
}

void MainLoop::runRemote() {
    std::deque<Task> tasks;
    {
        const std::lock_guard lock(inbox_->mutex);
        inbox_->sleeping = false;
        tasks.swap(inbox_->tasks);
    }
    while (!tasks.empty() && !stopped_) {
        Task task = std::move(tasks.front());
        tasks.pop_front();
        task();
    }
}

// A wait runs once: it is taken out before it runs, and its watch may be gone after it.
void MainLoop::dispatch(std::uint64_t id, bool isReadable, bool isWritable) {
    Watch* watch = find(id);
    if (watch && isReadable && watch->onReadable && !(watch->yields && !posted_.empty())) {
        Task task = std::move(watch->onReadable);
        watch->onReadable = nullptr;
        changed(id);
        task();
        watch = stopped_ ? nullptr : find(id);
    }
    if (watch && isWritable && watch->onWritable) {
        Task task = std::move(watch->onWritable);
        watch->onWritable = nullptr;
        changed(id);
        task();
    }
}

void MainLoop::runDueTimers() {
    const auto now = std::chrono::steady_clock::now();
    // Not those the due ones set: a timer that keeps setting itself for now waits a pass.
    const std::uint64_t end = nextTimer_;
    while (!stopped_ && !timers_.empty() && timers_.top().at <= now && timers_.top().order < end) {
        Task task = std::move(timers_.top().task);
        timers_.pop();
        task();
    }
}

std::int64_t MainLoop::timeout() {
    if (stopped_ || !posted_.empty()) return 0;
    if (timers_.empty()) return -1;
    const auto left = timers_.top().at - std::chrono::steady_clock::now();
    return std::max<std::int64_t>(0, std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
}

// The kernel learns of a change of interest only now, once the pass is over: a wait that is
// taken and asked for again in the same pass costs nothing.
void MainLoop::applyChanges() {
    for (const std::uint64_t id : changed_) {
        Watch* watch = find(id);
        if (!watch) continue;
        watch->changed = false;
        const std::uint32_t wanted = (watch->onReadable ? readable : 0) | (watch->onWritable ? writable : 0);
        if (wanted == watch->registered) continue;
        poller_->set(watch->fd, id, watch->registered, wanted);
        watch->registered = wanted;
    }
    changed_.clear();
}

std::uint64_t MainLoop::add(int fd) {
    const std::uint64_t id = nextWatch_++;
    watches_.emplace(id, Watch{.fd = fd, .onReadable = {}, .onWritable = {}});
    return id;
}

void MainLoop::remove(std::uint64_t id) {
    const auto it = watches_.find(id);
    if (it == watches_.end()) return;
    // At once: the descriptor may be closed next.
    if (it->second.registered != 0) poller_->set(it->second.fd, id, it->second.registered, 0);
    watches_.erase(it);
}

MainLoop::Watch* MainLoop::find(std::uint64_t id) {
    const auto it = watches_.find(id);
    return it == watches_.end() ? nullptr : &it->second;
}

void MainLoop::changed(std::uint64_t id) {
    Watch* watch = find(id);
    if (!watch || watch->changed) return;
    watch->changed = true;
    changed_.push_back(id);
}

}  // namespace loop
