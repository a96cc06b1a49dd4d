// Relay figures of the whole gattrelay-sim process, driven through its standard input and output:
//   rate      echoed frames per second with 1 and 100 peers, 20- and 512-byte frames
//   latency   from a send line written to its "write" line read, one frame in flight
//   announce  1,000 peers: time from the state line to the last "peer" line, and resident memory
// Every peer echoes and completes every operation at once. Rate and latency are measured in
// protocol 1 and in protocol 2 with a tag on every send, in alternating runs. Each figure is the
// median of --runs runs of a fresh process. With --record or --record-lengths-only, every
// process records its session to a file of its own, removed when it ends: the cost of recording.
//
// usage: relay_bench [--sim PATH] [--runs N] [--only rate|latency|announce] [--record | --record-lengths-only]

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::string peerId(int i) {
    char id[40];
    std::snprintf(id, sizeof id, "5EC1A5E0-0000-4000-8000-%012X", i + 1);
    return id;
}

// A world of `peers` echoing peers with a write limit that fits 512-byte frames.
std::string writeWorld(int peers) {
    std::string path = "/tmp/relay_bench_world_" + std::to_string(::getpid()) + ".json";
    std::ofstream out(path);
    out << "{\"peripherals\": [";
    for (int i = 0; i < peers; ++i) {
        out << (i ? "," : "") << "\n{\"id\": \"" << peerId(i) << "\", \"writeLimit\": 512, \"echo\": true}";
    }
    out << "]}\n";
    if (!out) throw std::runtime_error("cannot write " + path);
    return path;
}

std::string base64(std::string_view bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        std::uint32_t n = static_cast<std::uint8_t>(bytes[i]) << 16;
        if (i + 1 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 1]) << 8;
        if (i + 2 < bytes.size()) n |= static_cast<std::uint8_t>(bytes[i + 2]);
        out += alphabet[n >> 18 & 63];
        out += alphabet[n >> 12 & 63];
        out += i + 1 < bytes.size() ? alphabet[n >> 6 & 63] : '=';
        out += i + 2 < bytes.size() ? alphabet[n & 63] : '=';
    }
    return out;
}

// In protocol 2 with a tag of 8 bytes.
std::string sendLine(int peer, int bytes, int protocol) {
    char tag[32] = "";
    if (protocol == 2) std::snprintf(tag, sizeof tag, ",\"tag\":\"m%07d\"", peer);
    return "{\"command\":\"send\",\"id\":\"" + peerId(peer) + "\",\"data\":\"" + base64(std::string(bytes, 'x')) +
           "\"" + tag + "}\n";
}

// --record and --record-lengths-only: passed to every gattrelay-sim, each with a file of its own.
bool recording = false, lengthsOnly = false;

// gattrelay-sim on a world, with pipes on its standard input and output.
class Sim {
public:
    Sim(const std::string& sim, const std::string& world, int protocol = 1) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC)) throw std::runtime_error("pipe");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        // Protocol 1 is the program started with no options.
        std::vector<std::string> args{sim};
        if (protocol == 2) args.insert(args.end(), {"--protocol", "2"});
        if (recording) {
            static int made = 0;
            recording_ = "/tmp/relay_bench_record_" + std::to_string(::getpid()) + "_" + std::to_string(++made);
            args.insert(args.end(), {"--record", recording_});
            if (lengthsOnly) args.push_back("--record-lengths-only");
        }
        args.push_back(world);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int failed = ::posix_spawn(&pid_, sim.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        ::close(in[0]);
        ::close(out[1]);
        input_ = in[1];
        output_ = out[0];
        if (failed) throw std::runtime_error("cannot start " + sim);
    }
    ~Sim() {
        ::close(input_);
        ::close(output_);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        if (!recording_.empty()) std::remove(recording_.c_str());
    }

    int pid() const { return pid_; }

    void write(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::write(input_, bytes.data(), bytes.size());
            if (n < 0 && errno == EAGAIN) {
                pollfd p{input_, POLLOUT, 0};
                ::poll(&p, 1, -1);
                continue;
            }
            if (n <= 0) throw std::runtime_error("gattrelay-sim stopped reading");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    // Writes as much of `bytes` as the pipe takes now; returns how much.
    std::size_t writeSome(std::string_view bytes) {
        ssize_t n = ::write(input_, bytes.data(), bytes.size());
        if (n < 0 && errno == EAGAIN) return 0;
        if (n < 0) throw std::runtime_error("gattrelay-sim stopped reading");
        return static_cast<std::size_t>(n);
    }

    void setInputNonBlocking() { ::fcntl(input_, F_SETFL, O_NONBLOCK); }

    // Waits up to `timeoutMs` for output, then hands each complete line to `onLine`.
    template <typename OnLine>
    void readLines(int timeoutMs, OnLine onLine) {
        pollfd p{output_, POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return;
        char chunk[1 << 16];
        ssize_t n = ::read(output_, chunk, sizeof chunk);
        if (n <= 0) throw std::runtime_error("gattrelay-sim ended its output");
        pending_.append(chunk, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (std::size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
            onLine(std::string_view(pending_).substr(start, end - start));
        }
        pending_.erase(0, start);
    }

    // Reads until `done(line)` holds for a line; gives up after 60 s.
    template <typename Done>
    void readUntil(Done done) {
        auto deadline = Clock::now() + std::chrono::seconds(60);
        bool finished = false;
        while (!finished) {
            if (Clock::now() > deadline) throw std::runtime_error("no progress from gattrelay-sim in 60 s");
            readLines(1000, [&](std::string_view line) { finished = finished || done(line); });
        }
    }

private:
    pid_t pid_ = -1;
    std::string recording_;
    int input_ = -1;
    int output_ = -1;
    std::string pending_;
};

bool startsWith(std::string_view line, std::string_view prefix) { return line.substr(0, prefix.size()) == prefix; }

// Starts gattrelay-sim and waits until every peer is announced.
void waitForPeers(Sim& sim, int peers) {
    int announced = 0;
    sim.readUntil([&](std::string_view line) {
        announced += startsWith(line, "{\"connected\":true");
        return announced == peers;
    });
}

// CPU time used so far by all of the process's threads, in seconds.
double cpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name, which is in parentheses: utime and stime are the 12th and 13th.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 0; i < 11; ++i) rest >> field;
    double utime = 0, stime = 0;
    rest >> utime >> stime;
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

struct Rate {
    double framesPerSecond;
    double cpuMicrosPerFrame;  // gattrelay-sim's, all threads
};

// Echoed frames per second: `frames` sends spread round-robin over the peers, with a window of
// sends not yet answered small enough that no peer's queue (512 frames) overflows.
Rate rate(const std::string& simPath, int peers, int bytes, int frames, int protocol) {
    auto world = writeWorld(peers);
    Sim sim(simPath, world, protocol);
    waitForPeers(sim, peers);
    std::remove(world.c_str());

    std::vector<std::string> lines;
    for (int p = 0; p < peers; ++p) lines.push_back(sendLine(p, bytes, protocol));
    const int window = std::min(256 * peers, 8192);
    sim.setInputNonBlocking();

    int sent = 0, written = 0, echoed = 0;
    std::string out;
    std::size_t outAt = 0;
    double cpuAtStart = cpuSeconds(sim.pid());
    auto start = Clock::now();
    auto progressAt = start;
    while (echoed < frames) {
        if (Clock::now() - progressAt > std::chrono::seconds(60)) {
            throw std::runtime_error("no progress from gattrelay-sim in 60 s (a frame was dropped?)");
        }
        if (outAt == out.size()) {
            out.clear();
            outAt = 0;
            while (sent < frames && sent - written < window && out.size() < (1 << 16)) {
                out += lines[static_cast<std::size_t>(sent % peers)];
                ++sent;
            }
        }
        if (outAt < out.size()) outAt += sim.writeSome(std::string_view(out).substr(outAt));
        bool waiting = outAt == out.size();
        sim.readLines(waiting ? 1000 : 0, [&](std::string_view line) {
            progressAt = Clock::now();
            if (startsWith(line, "{\"accepted\":true")) ++written;
            else if (startsWith(line, "{\"data\"")) ++echoed;
            else throw std::runtime_error("unexpected line: " + std::string(line));
        });
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double cpu = cpuSeconds(sim.pid()) - cpuAtStart;
    sim.write("{\"command\":\"stop\"}\n");
    return {frames / seconds, cpu * 1e6 / frames};
}

struct Latency {
    double median, p99;  // microseconds
};

// One frame in flight: the time from writing its send line to reading its "write" line.
Latency latency(const std::string& simPath, int samples, int protocol) {
    auto world = writeWorld(1);
    Sim sim(simPath, world, protocol);
    waitForPeers(sim, 1);
    std::remove(world.c_str());
    auto line = sendLine(0, 20, protocol);
    std::vector<double> us;
    for (int i = 0; i < samples; ++i) {
        auto start = Clock::now();
        sim.write(line);
        std::optional<Clock::time_point> writeAt;
        bool echoed = false;
        sim.readUntil([&](std::string_view l) {
            if (startsWith(l, "{\"accepted\":true")) writeAt = Clock::now();
            echoed = echoed || startsWith(l, "{\"data\"");
            return writeAt && echoed;
        });
        us.push_back(std::chrono::duration<double, std::micro>(*writeAt - start).count());
    }
    sim.write("{\"command\":\"stop\"}\n");
    std::sort(us.begin(), us.end());
    return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

long residentKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (startsWith(line, "VmRSS:")) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

struct Announce {
    double ms;
    double residentMb;
};

Announce announce(const std::string& simPath, int peers) {
    auto world = writeWorld(peers);
    Sim sim(simPath, world);
    std::optional<Clock::time_point> stateAt;
    int announced = 0;
    sim.readUntil([&](std::string_view line) {
        if (startsWith(line, "{\"event\":\"state\"")) stateAt = Clock::now();
        announced += startsWith(line, "{\"connected\":true");
        return announced == peers;
    });
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - *stateAt).count();
    double mb = residentKb(sim.pid()) / 1024.0;
    std::remove(world.c_str());
    sim.write("{\"command\":\"stop\"}\n");
    return {ms, mb};
}

// The median of each field of `results`, taken separately.
template <typename Result>
double median(const std::vector<Result>& results, double Result::*field) {
    std::vector<double> values;
    for (const auto& r : results) values.push_back(r.*field);
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::string simPath = GATTRELAY_SIM_PATH;
    int runs = 5;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--sim" && i + 1 < argc) simPath = argv[++i];
        else if (arg == "--runs" && i + 1 < argc) runs = std::max(1, std::atoi(argv[++i]));
        else if (arg == "--only" && i + 1 < argc) only = argv[++i];
        else if (arg == "--record") recording = true;
        else if (arg == "--record-lengths-only") recording = lengthsOnly = true;
        else {
            std::fprintf(stderr, "usage: relay_bench [--sim PATH] [--runs N] [--only rate|latency|announce] "
                                 "[--record | --record-lengths-only]\n");
            return 2;
        }
    }
    std::signal(SIGPIPE, SIG_IGN);
    try {
        std::printf("gattrelay-sim: %s; median of %d runs%s\n", simPath.c_str(), runs,
                    lengthsOnly ? "; recording lengths only" : recording ? "; recording" : "");
        if (only.empty() || only == "rate") {
            for (int peers : {1, 100}) {
                for (int bytes : {20, 512}) {
                    int frames = bytes == 20 ? 200'000 : 50'000;
                    std::vector<Rate> results[2];
                    for (int i = 0; i < runs; ++i)
                        for (int protocol : {1, 2})
                            results[protocol - 1].push_back(rate(simPath, peers, bytes, frames, protocol));
                    for (int protocol : {1, 2}) {
                        std::printf("rate      %3d peer(s) %3d-byte frames, protocol %d: %8.0f echoed frames/s, "
                                    "%.2f us of CPU each (%d per run)\n",
                                    peers, bytes, protocol, median(results[protocol - 1], &Rate::framesPerSecond),
                                    median(results[protocol - 1], &Rate::cpuMicrosPerFrame), frames);
                    }
                    std::printf("          protocol 2 / protocol 1: rate %.0f%%, CPU per frame %.0f%%\n",
                                100 * median(results[1], &Rate::framesPerSecond) /
                                    median(results[0], &Rate::framesPerSecond),
                                100 * median(results[1], &Rate::cpuMicrosPerFrame) /
                                    median(results[0], &Rate::cpuMicrosPerFrame));
                    std::fflush(stdout);
                }
            }
        }
        if (only.empty() || only == "latency") {
            std::vector<Latency> results[2];
            for (int i = 0; i < runs; ++i)
                for (int protocol : {1, 2}) results[protocol - 1].push_back(latency(simPath, 20'000, protocol));
            for (int protocol : {1, 2})
                std::printf("latency   send line to write line, 1 peer, 20 bytes, protocol %d: median %.1f us, "
                            "99th percentile %.1f us\n",
                            protocol, median(results[protocol - 1], &Latency::median),
                            median(results[protocol - 1], &Latency::p99));
            std::fflush(stdout);
        }
        if (only.empty() || only == "announce") {
            std::vector<Announce> results;
            for (int i = 0; i < runs; ++i) results.push_back(announce(simPath, 1000));
            std::printf("announce  1000 peers: state line to last peer line %.1f ms, resident memory %.1f MB\n",
                        median(results, &Announce::ms), median(results, &Announce::residentMb));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "relay_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
