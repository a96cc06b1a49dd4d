// Figures of the MQTT front, against Debian's mosquitto started on a free 127.0.0.1 port:
//   bare      mosquitto alone: a publisher sends 20-byte QoS 1 messages to one topic, a QoS 1
//             subscriber receives them; messages per second end to end
//   gateway   gattrelay-sim --mqtt on 10 echoing peers: 20-byte frames published on the peers' tx
//             topics (at most --window per peer neither echoed nor refused), echoed frames counted
//             on rx; frames per second, and the ratio to bare
//   memory    gattrelay-sim --mqtt on 1,000 echoing peers: VmHWM and VmRSS once all 1,000
//             retained peer topics are published
// Bare and gateway runs alternate; each figure is the median of --runs runs. The bare publisher
// keeps as many messages unreceived as the gateway load has unanswered in all (10 x --window).
// CPU shares are of the measured interval's wall time, per process (100% is one core). A frame
// through the gateway is two publishes through the broker (tx, rx; the gateway answers on
// tx/result only refusals and failures by default), a bare message one.
//
// usage: mqtt_bench [--sim PATH] [--runs N] [--frames N] [--window N]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mosquitto.h>
#include <mutex>
#include <netinet/in.h>
#include <pwd.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWait = std::chrono::seconds(120);
constexpr int kFrameBytes = 20;

std::string peerId(int i) {
    char id[40];
    std::snprintf(id, sizeof id, "5EC1A5E0-0000-4000-8000-%012X", i + 1);
    return id;
}

// The index of a peer id written by peerId, or -1.
int peerIndex(std::string_view id) {
    if (id.size() != 36) return -1;
    return static_cast<int>(std::strtol(std::string(id.substr(24)).c_str(), nullptr, 16)) - 1;
}

std::string writeWorld(const std::string& dir, int peers) {
    std::string path = dir + "/world_" + std::to_string(peers) + ".json";
    std::ofstream out(path);
    out << "{\"peripherals\": [";
    for (int i = 0; i < peers; ++i) {
        out << (i ? "," : "") << "\n{\"id\": \"" << peerId(i) << "\", \"writeLimit\": 182, \"echo\": true}";
    }
    out << "]}\n";
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

int freePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) || ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len))
        throw std::runtime_error("no free port");
    ::close(s);
    return ntohs(a.sin_port);
}

bool listening(int port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// A child process, its output appended to `log`; stopped with SIGTERM.
class Process {
public:
    Process(std::vector<std::string> args, const std::string& log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int failed = ::posix_spawnp(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (failed) throw std::runtime_error("cannot start " + args[0]);
    }
    ~Process() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    int pid() const { return pid_; }

    // CPU time used so far by all of the process's threads, in seconds.
    double cpu() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        std::istringstream fields(line.substr(line.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
            if (i >= 14) ticks += std::stod(field);
        }
        return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }

    // A "Vm..." line of /proc/PID/status, in KiB.
    long status(const std::string& key) const { return field("status", key); }

    // Read and write system calls so far (/proc/PID/io).
    long calls() const { return field("io", "syscr") + field("io", "syscw"); }

private:
    long field(const std::string& file, const std::string& key) const {
        std::ifstream in("/proc/" + std::to_string(pid_) + "/" + file);
        std::string line;
        while (std::getline(in, line)) {
            if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
        }
        return -1;
    }

    pid_t pid_ = 0;
};

double selfCpu() {
    rusage u{};
    ::getrusage(RUSAGE_SELF, &u);
    return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// mosquitto on a free port, with a temporary configuration and persistence directory.
class Broker {
public:
    explicit Broker(const std::string& dir) : port_(freePort()) {
        std::string config = dir + "/mosquitto.conf";
        std::filesystem::create_directories(dir + "/data");
        std::ofstream out(config);
        out << "listener " << port_ << " 127.0.0.1\nallow_anonymous true\n"
            << "persistence true\npersistence_location " << dir << "/data/\n"
            // The default of 1,000 queued messages per client would drop frames of a full window.
            << "max_queued_messages 100000\n";
        // Run as root, mosquitto would become the user "mosquitto", who cannot read our directory.
        if (passwd* pw = ::getpwuid(::geteuid())) out << "user " << pw->pw_name << "\n";
        out.close();
        process_.emplace_back(std::make_unique<Process>(std::vector<std::string>{"mosquitto", "-c", config},
                                                        dir + "/broker.log"));
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (!listening(port_)) {
            if (Clock::now() > deadline) throw std::runtime_error("mosquitto does not listen; see " + dir + "/broker.log");
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    int port() const { return port_; }
    const Process& process() const { return *process_.front(); }

private:
    int port_;
    std::vector<std::unique_ptr<Process>> process_;
};

// A libmosquitto client on its own network thread; `onMessage` runs on that thread.
class Client {
public:
    using Handler = void (*)(void* context, const mosquitto_message* message);

    Client(int port, Handler handler, void* context) : handler_(handler), context_(context) {
        mosq_ = ::mosquitto_new(nullptr, true, this);
        if (!mosq_) throw std::runtime_error("mosquitto_new");
        ::mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
            static_cast<Client*>(self)->signal(rc == 0 ? 1 : -1);
        });
        ::mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Client*>(self)->signal(1);
        });
        ::mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* c = static_cast<Client*>(self);
            if (c->handler_) c->handler_(c->context_, m);
        });
        if (::mosquitto_connect(mosq_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS ||
            ::mosquitto_loop_start(mosq_) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot connect to the broker");
        await("connected");
    }
    ~Client() {
        ::mosquitto_disconnect(mosq_);
        ::mosquitto_loop_stop(mosq_, false);
        ::mosquitto_destroy(mosq_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void subscribe(const std::string& topic) {
        if (::mosquitto_subscribe(mosq_, nullptr, topic.c_str(), 1) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot subscribe");
        await("subscribed");
    }

    void publish(const std::string& topic, const void* payload, int bytes) {
        if (::mosquitto_publish(mosq_, nullptr, topic.c_str(), bytes, payload, 1, false) != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("cannot publish");
    }

private:
    void signal(int event) {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
        changed_.notify_all();
    }
    void await(const char* what) {
        std::unique_lock lock(mutex_);
        if (!changed_.wait_for(lock, std::chrono::seconds(10), [&] { return !events_.empty(); }) || events_.front() < 0)
            throw std::runtime_error(std::string("broker: not ") + what);
        events_.erase(events_.begin());
    }

    mosquitto* mosq_ = nullptr;
    Handler handler_;
    void* context_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<int> events_;
};

// Counts shared between a client's network thread and the load.
struct Counts {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<long> answered;  // per peer: tx results
    long received = 0;           // rx frames, or bare messages
    long rejected = 0;           // results that did not accept the frame
    Clock::time_point last;
};

struct Figures {
    double rate = 0;  // messages or frames per second
    double brokerCpu = 0, simCpu = 0, benchCpu = 0;
    double brokerCalls = 0, simCalls = 0;  // read and write system calls per message or frame
};

double share(double cpu, double seconds) { return 100.0 * cpu / seconds; }

Figures bare(int port, const Broker& broker, long frames, long window) {
    Counts counts;
    Client subscriber(port, [](void* context, const mosquitto_message*) {
        auto* c = static_cast<Counts*>(context);
        std::lock_guard lock(c->mutex);
        ++c->received;
        c->last = Clock::now();
        c->changed.notify_all();
    }, &counts);
    subscriber.subscribe("bench/bare");
    Client publisher(port, nullptr, nullptr);
    const std::string payload(kFrameBytes, 'x');

    double broker0 = broker.process().cpu(), bench0 = selfCpu();
    long brokerCalls0 = broker.process().calls();
    auto start = Clock::now();
    for (long sent = 0; sent < frames;) {
        {
            std::unique_lock lock(counts.mutex);
            if (!counts.changed.wait_for(lock, kWait, [&] { return sent - counts.received < window; }))
                throw std::runtime_error("bare: messages stopped arriving");
        }
        publisher.publish("bench/bare", payload.data(), kFrameBytes);
        ++sent;
    }
    std::unique_lock lock(counts.mutex);
    if (!counts.changed.wait_for(lock, kWait, [&] { return counts.received >= frames; }))
        throw std::runtime_error("bare: messages lost");
    double seconds = std::chrono::duration<double>(counts.last - start).count();
    return {static_cast<double>(frames) / seconds, share(broker.process().cpu() - broker0, seconds), 0,
            share(selfCpu() - bench0, seconds),
            static_cast<double>(broker.process().calls() - brokerCalls0) / static_cast<double>(frames), 0};
}

// Waits until `peers` peers of gateway "bench" have a retained topic.
class PeerWatch {
public:
    explicit PeerWatch(int port) : client_(port, onMessage, this) { client_.subscribe("gattrelay/bench/peers/+"); }

    bool await(int peers) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return ready_ >= peers; });
    }

private:
    static void onMessage(void* context, const mosquitto_message* m) {
        auto* self = static_cast<PeerWatch*>(context);
        int i = peerIndex(std::string_view(m->topic).substr(std::strlen("gattrelay/bench/peers/")));
        if (i < 0) return;
        std::lock_guard lock(self->mutex_);
        if (static_cast<std::size_t>(i) >= self->seen_.size()) self->seen_.resize(i + 1);
        bool now = m->payloadlen > 0;
        if (now != self->seen_[i]) self->ready_ += now ? 1 : -1;
        self->seen_[i] = now;
        self->changed_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<bool> seen_;
    int ready_ = 0;
    Client client_;
};

void onGatewayMessage(void* context, const mosquitto_message* m) {
    auto* c = static_cast<Counts*>(context);
    std::string_view topic(m->topic);
    topic.remove_prefix(std::strlen("gattrelay/bench/peers/"));
    int i = peerIndex(topic.substr(0, topic.find('/')));
    if (i < 0 || static_cast<std::size_t>(i) >= c->answered.size()) return;
    std::string_view rest = topic.substr(topic.find('/'));
    std::lock_guard lock(c->mutex);
    if (rest == "/rx") {
        ++c->received;
        ++c->answered[i];
        c->last = Clock::now();
    } else if (rest == "/tx/result") {
        // With the gateway's default results, only a refused or failed frame is answered.
        std::string_view payload(static_cast<const char*>(m->payload), static_cast<std::size_t>(m->payloadlen));
        if (payload.rfind("{\"accepted\":true", 0) != 0) {
            ++c->rejected;
            ++c->answered[i];
        }
    }
    c->changed.notify_all();
}

Figures gateway(int port, const Broker& broker, const std::string& sim, const std::string& world, long frames,
                long window, const std::string& log, long* rss) {
    constexpr int peers = 10;
    PeerWatch watch(port);
    Process gw({sim, "--mqtt", "mqtt://127.0.0.1:" + std::to_string(port), "--gateway", "bench", world}, log);
    if (!watch.await(peers)) throw std::runtime_error("gateway: the peers were not announced; see " + log);

    Counts counts;
    counts.answered.assign(peers, 0);
    Client load(port, onGatewayMessage, &counts);
    load.subscribe("gattrelay/bench/peers/+/rx");
    load.subscribe("gattrelay/bench/peers/+/tx/result");
    std::vector<std::string> tx;
    for (int i = 0; i < peers; ++i) tx.push_back("gattrelay/bench/peers/" + peerId(i) + "/tx");
    std::vector<long> sent(peers, 0);
    const long each = frames / peers;
    const std::string payload(kFrameBytes, 'x');

    double broker0 = broker.process().cpu(), sim0 = gw.cpu(), bench0 = selfCpu();
    long brokerCalls0 = broker.process().calls(), simCalls0 = gw.calls();
    auto start = Clock::now();
    for (;;) {
        std::vector<int> room(peers, 0);
        {
            std::unique_lock lock(counts.mutex);
            bool more = false;
            auto any = [&] {
                more = false;
                bool some = false;
                for (int i = 0; i < peers; ++i) {
                    room[i] = static_cast<int>(std::min(window - (sent[i] - counts.answered[i]), each - sent[i]));
                    more = more || sent[i] < each;
                    some = some || room[i] > 0;
                }
                return some || !more;
            };
            if (!counts.changed.wait_for(lock, kWait, any)) throw std::runtime_error("gateway: results stopped; see " + log);
            if (!more) break;
        }
        for (int i = 0; i < peers; ++i) {
            for (int k = 0; k < room[i]; ++k) load.publish(tx[i], payload.data(), kFrameBytes);
            sent[i] += room[i];
        }
    }
    std::unique_lock lock(counts.mutex);
    const long total = each * peers;
    if (!counts.changed.wait_for(lock, kWait, [&] { return counts.received >= total - counts.rejected; }))
        throw std::runtime_error("gateway: echoed frames lost; see " + log);
    if (counts.rejected) std::fprintf(stderr, "gateway: %ld of %ld frames rejected\n", counts.rejected, total);
    double seconds = std::chrono::duration<double>(counts.last - start).count();
    *rss = gw.status("VmHWM");
    return {static_cast<double>(counts.received) / seconds, share(broker.process().cpu() - broker0, seconds),
            share(gw.cpu() - sim0, seconds), share(selfCpu() - bench0, seconds),
            static_cast<double>(broker.process().calls() - brokerCalls0) / static_cast<double>(counts.received),
            static_cast<double>(gw.calls() - simCalls0) / static_cast<double>(counts.received)};
}

struct Memory {
    long hwm = 0, rss = 0;
    double seconds = 0;  // from the start to the last peer's retained topic
};

Memory memory(int port, const std::string& sim, const std::string& world, const std::string& log) {
    constexpr int peers = 1000;
    PeerWatch watch(port);
    auto start = Clock::now();
    Process gw({sim, "--mqtt", "mqtt://127.0.0.1:" + std::to_string(port), "--gateway", "bench", world}, log);
    if (!watch.await(peers)) throw std::runtime_error("memory: the peers were not announced; see " + log);
    Memory m;
    m.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    m.hwm = gw.status("VmHWM");
    m.rss = gw.status("VmRSS");
    return m;
}

template <typename T, typename F>
double median(const std::vector<T>& runs, F f) {
    std::vector<double> v;
    for (const T& r : runs) v.push_back(static_cast<double>(f(r)));
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string sim = "gattrelay-sim";
    int runs = 3;
    long frames = 100000, window = 256;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 < argc && arg == "--sim") sim = argv[++i];
        else if (i + 1 < argc && arg == "--runs") runs = std::atoi(argv[++i]);
        else if (i + 1 < argc && arg == "--frames") frames = std::atol(argv[++i]);
        else if (i + 1 < argc && arg == "--window") window = std::atol(argv[++i]);
        else {
            std::fprintf(stderr, "usage: mqtt_bench [--sim PATH] [--runs N] [--frames N] [--window N]\n");
            return 2;
        }
    }
    if (runs < 1 || frames < 10 || window < 1) {
        std::fprintf(stderr, "mqtt_bench: --runs, --frames and --window must be positive (frames at least 10)\n");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    ::mosquitto_lib_init();
    char dirTemplate[] = "/tmp/mqtt_bench_XXXXXX";
    if (!::mkdtemp(dirTemplate)) {
        std::perror("mkdtemp");
        return 1;
    }
    const std::string dir = dirTemplate;
    int status = 0;
    try {
        Broker broker(dir);
        const std::string world10 = writeWorld(dir, 10), world1000 = writeWorld(dir, 1000);
        const std::string log = dir + "/gateway.log";
        std::vector<Figures> bareRuns, gatewayRuns;
        std::vector<long> gatewayHwm;
        std::vector<Memory> memoryRuns;
        for (int r = 0; r < runs; ++r) {
            long hwm = 0;
            // Alternate which goes first, so neither always has the warmer machine.
            if (r % 2 == 0) bareRuns.push_back(bare(broker.port(), broker, frames, window * 10));
            gatewayRuns.push_back(gateway(broker.port(), broker, sim, world10, frames, window, log, &hwm));
            if (r % 2 == 1) bareRuns.push_back(bare(broker.port(), broker, frames, window * 10));
            gatewayHwm.push_back(hwm);
            memoryRuns.push_back(memory(broker.port(), sim, world1000, log));
            std::fprintf(stderr, "run %d: bare %.0f msg/s, gateway %.0f frames/s, 1,000 peers VmHWM %ld KiB\n", r + 1,
                         bareRuns.back().rate, gatewayRuns.back().rate, memoryRuns.back().hwm);
        }
        double b = median(bareRuns, [](const Figures& f) { return f.rate; });
        double g = median(gatewayRuns, [](const Figures& f) { return f.rate; });
        std::printf("mosquitto alone, 20-byte QoS 1 messages  %8.0f messages/s   cpu: broker %3.0f%%, bench %3.0f%%\n", b,
                    median(bareRuns, [](const Figures& f) { return f.brokerCpu; }),
                    median(bareRuns, [](const Figures& f) { return f.benchCpu; }));
        std::printf("gateway, 10 echoing peers, 20-byte frames %8.0f frames/s     cpu: broker %3.0f%%, sim %3.0f%%, bench %3.0f%%\n",
                    g, median(gatewayRuns, [](const Figures& f) { return f.brokerCpu; }),
                    median(gatewayRuns, [](const Figures& f) { return f.simCpu; }),
                    median(gatewayRuns, [](const Figures& f) { return f.benchCpu; }));
        std::printf("read+write syscalls per message, alone:   broker %.1f\n",
                    median(bareRuns, [](const Figures& f) { return f.brokerCalls; }));
        std::printf("read+write syscalls per frame, gateway:   broker %.1f, sim %.1f\n",
                    median(gatewayRuns, [](const Figures& f) { return f.brokerCalls; }),
                    median(gatewayRuns, [](const Figures& f) { return f.simCalls; }));
        std::printf("gateway / mosquitto alone                 %8.2f (aim: at least 0.45)\n", g / b);
        // Each frame is two publishes through the broker (tx, rx), each message one.
        std::printf("publishes through the broker, gateway / alone %4.2f\n", 2 * g / b);
        std::printf("gateway, 10 peers, VmHWM after the load   %8.0f KiB\n", median(gatewayHwm, [](long v) { return v; }));
        std::printf("gateway, 1,000 peers announced in         %8.2f s\n",
                    median(memoryRuns, [](const Memory& m) { return m.seconds; }));
        std::printf("gateway, 1,000 peers VmHWM / VmRSS        %8.0f / %.0f KiB\n",
                    median(memoryRuns, [](const Memory& m) { return m.hwm; }),
                    median(memoryRuns, [](const Memory& m) { return m.rss; }));
        std::printf("(medians of %d runs, %ld messages or frames a run, window %ld per peer)\n", runs, frames, window);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mqtt_bench: %s (files kept in %s)\n", e.what(), dir.c_str());
        status = 1;
    }
    ::mosquitto_lib_cleanup();
    if (status == 0) std::filesystem::remove_all(dir);
    return status;
}
