// Command intake of the whole gattrelay-sim process on an empty world ("{}": one powered-on
// adapter, no peers), driven through a pipe on its standard input:
//   throughput  valid "send" lines for unknown peers, from the first byte written to the exit
//               that follows the end of input, against `cat >/dev/null` fed the same way, on an
//               ordinary pipe and on one as large as the bridge makes its own; and the CPU time
//               each used (all threads), which shared machines distort less. Then the same in
//               protocol 2, with a tag on every line, whose every send is answered by a "write"
//               event (read and thrown away), against protocol 1 in the same runs
//   start       time from spawning to the hello line; resident memory once started
//   idle        CPU time used over 10 s with nothing to read
//   long line   resident memory growth while a 1 GB line without a terminator streams in, after
//               1 MiB of ordinary send lines
// Each figure is the median of --runs runs of a fresh process.
//
// usage: intake_bench [--sim PATH] [--runs N] [--only throughput|protocols|start|idle|long]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <sys/resource.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "codec/base64.hpp"
#include "support/child_process.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::ChildProcess;

constexpr std::size_t blockBytes = 1 << 20;

// About a megabyte of whole "send" lines of `payload` bytes each, for peers nobody knows; each
// with a tag of 8 bytes when `tagged`.
std::string sendBlock(std::size_t payload, std::size_t& lines, bool tagged = false) {
    codec::Bytes bytes(payload);
    for (std::size_t i = 0; i < payload; ++i) bytes[i] = static_cast<std::uint8_t>(i * 37);
    std::string data;
    codec::appendBase64(data, bytes);
    std::string block;
    lines = 0;
    while (block.size() < blockBytes) {
        char id[40];
        std::snprintf(id, sizeof id, "0DDBA11C-0000-4000-8000-%012zX", lines % 16);
        char tag[32] = "";
        if (tagged) std::snprintf(tag, sizeof tag, R"(,"tag":"m%07zu")", lines % 10'000'000);
        block += R"({"command":"send","id":")" + std::string(id) + R"(","data":")" + data + "\"" + tag + "}\n";
        ++lines;
    }
    return block;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// "VmRSS" or "VmHWM" of a live process, in KiB.
long memoryKiB(int pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    throw std::runtime_error("no " + field + " for process " + std::to_string(pid));
}

// CPU time of all the process's threads so far, in nanoseconds.
double cpuNanoseconds(int pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    DIR* dir = ::opendir(tasks.c_str());
    if (!dir) throw std::runtime_error("cannot read " + tasks);
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        std::ifstream schedstat(tasks + "/" + entry->d_name + "/schedstat");
        double ns = 0;
        schedstat >> ns;
        total += ns;
    }
    ::closedir(dir);
    return total;
}

// CPU time of the children waited for so far.
double childrenCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

class Bench {
public:
    Bench(std::string sim, int runs) : sim_(std::move(sim)), runs_(runs) {
        char path[] = "/tmp/intake_bench_world_XXXXXX";
        const int fd = ::mkstemp(path);
        if (fd < 0 || ::write(fd, "{}", 2) != 2) throw std::runtime_error("cannot write a world file");
        ::close(fd);
        world_ = path;
    }
    ~Bench() { std::remove(world_.c_str()); }

    void throughput(std::size_t payload, std::size_t blocks) {
        std::size_t linesPerBlock = 0;
        const std::string block = sendBlock(payload, linesPerBlock);
        std::vector<double> bridgeSeconds, catSeconds, largeCatSeconds, bridgeCpu, catCpu;
        for (int run = 0; run < runs_; ++run) {
            const Run cat = feed(block, blocks, Reader::cat);
            const Run largeCat = feed(block, blocks, Reader::catOnLargePipe);
            const Run bridge = feed(block, blocks, Reader::bridge);
            catSeconds.push_back(cat.seconds);
            catCpu.push_back(cat.cpuSeconds);
            largeCatSeconds.push_back(largeCat.seconds);
            bridgeSeconds.push_back(bridge.seconds);
            bridgeCpu.push_back(bridge.cpuSeconds);
        }
        const double bytes = static_cast<double>(block.size() * blocks);
        const double lines = static_cast<double>(linesPerBlock * blocks);
        const double bridge = median(bridgeSeconds), cat = median(catSeconds), largeCat = median(largeCatSeconds);
        std::printf("%5zu-byte payloads, %.0f lines (%.0f MB): bridge %.0f MB/s = %.2f M lines/s; "
                    "cat %.0f MB/s, bridge/cat %.0f%%; cat on a pipe as large as the bridge's %.0f MB/s, "
                    "bridge/cat %.0f%%; CPU: bridge %.3f s, cat %.3f s\n",
                    payload, lines, bytes / 1e6, bytes / bridge / 1e6, lines / bridge / 1e6, bytes / cat / 1e6,
                    100 * cat / bridge, bytes / largeCat / 1e6, 100 * largeCat / bridge, median(bridgeCpu),
                    median(catCpu));
    }

    // Protocol 2 with tags against protocol 1, in alternating runs.
    void protocols(std::size_t payload, std::size_t blocks) {
        std::size_t linesPerBlock = 0;
        const std::string plain = sendBlock(payload, linesPerBlock);
        const std::string tagged = sendBlock(payload, linesPerBlock, true);
        std::vector<double> seconds[2], cpu[2];
        for (int run = 0; run < runs_; ++run) {
            for (int protocol : {1, 2}) {
                const Run r = feed(protocol == 1 ? plain : tagged, blocks, Reader::bridge, protocol);
                seconds[protocol - 1].push_back(r.seconds);
                cpu[protocol - 1].push_back(r.cpuSeconds);
            }
        }
        const double lines = static_cast<double>(linesPerBlock * blocks);
        const double one = median(seconds[0]), two = median(seconds[1]);
        std::printf("%5zu-byte payloads, %.0f lines: protocol 1 %.2f M lines/s, CPU %.3f s; protocol 2 with tags "
                    "%.2f M lines/s, CPU %.3f s; protocol 2 takes %.0f%% of protocol 1's time\n",
                    payload, lines, lines / one / 1e6, median(cpu[0]), lines / two / 1e6, median(cpu[1]),
                    100 * two / one);
    }

    void start() {
        std::vector<double> ms, rss;
        for (int run = 0; run < runs_; ++run) {
            const auto begin = Clock::now();
            ChildProcess bridge(sim_, {world_});
            expectLine(bridge, R"({"event":"hello","protocol":1})");
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
            expectLine(bridge, R"({"event":"state","value":"ready"})");
            rss.push_back(static_cast<double>(memoryKiB(bridge.pid(), "VmRSS")));
            stop(bridge);
        }
        std::printf("start: hello after %.2f ms; resident once started %.0f KiB\n", median(ms), median(rss));
    }

    void idle() {
        ChildProcess bridge(sim_, {world_});
        expectLine(bridge, R"({"event":"hello","protocol":1})");
        expectLine(bridge, R"({"event":"state","value":"ready"})");
        // Let the task that wrote the state line finish before counting.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double before = cpuNanoseconds(bridge.pid());
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const double used = cpuNanoseconds(bridge.pid()) - before;
        stop(bridge);
        std::printf("idle: %.3f ms of CPU over 10 s\n", used / 1e6);
    }

    void longLine() {
        std::vector<double> growth;
        const std::string block(blockBytes, 'x');
        std::size_t lines = 0;
        const std::string warmUp = sendBlock(16384, lines);
        for (int run = 0; run < runs_; ++run) {
            ChildProcess bridge(sim_, {world_});
            expectLine(bridge, R"({"event":"hello","protocol":1})");
            expectLine(bridge, R"({"event":"state","value":"ready"})");
            // First the traffic of an ordinary client, so that what is measured is the line's own
            // cost, not the first use of the reader's fixed buffers; its lines give no events,
            // so a moment's wait stands for their end.
            if (!bridge.write(warmUp)) throw std::runtime_error("the bridge stopped reading");
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            const long before = memoryKiB(bridge.pid(), "VmRSS");
            for (int i = 0; i < 1024; ++i) {
                if (!bridge.write(block)) throw std::runtime_error("the bridge stopped reading inside the line");
            }
            growth.push_back(static_cast<double>(memoryKiB(bridge.pid(), "VmHWM") - before));
            // Its end ends the bridge.
            if (!bridge.write("\n") || bridge.wait() != 0) throw std::runtime_error("over-long line did not end it");
        }
        std::printf("1 GB line, after 1 MiB of send lines: peak resident growth %.0f KiB\n", median(growth));
    }

private:
    struct Run {
        double seconds;     // from the first byte written to the exit after the end of input
        double cpuSeconds;  // used by the child over its life, all threads
    };

    enum class Reader { bridge, cat, catOnLargePipe };

    Run feed(const std::string& block, std::size_t blocks, Reader reader, int protocol = 1) {
        const bool toBridge = reader == Reader::bridge;
        ChildProcess child = !toBridge     ? ChildProcess("/bin/sh", {"-c", "exec cat >/dev/null"})
                             : protocol == 1 ? ChildProcess(sim_, {world_})
                                             : ChildProcess(sim_, {"--protocol", "2", world_});
        if (toBridge && !child.readLine()) throw std::runtime_error("no hello line");
        // Protocol 2 answers every line: its events are read as they come.
        std::optional<std::thread> drain;
        if (protocol == 2) drain.emplace([&child] { child.readToEnd(std::chrono::minutes(5)); });
        // The bridge enlarges its own input pipe to 1 MiB; this gives cat the same.
        if (reader == Reader::catOnLargePipe && ::fcntl(child.inputFd(), F_SETPIPE_SZ, 1024 * 1024) < 0)
            throw std::runtime_error("cannot enlarge the pipe");
        const auto begin = Clock::now();
        for (std::size_t i = 0; i < blocks; ++i) {
            if (!child.write(block)) throw std::runtime_error("stopped reading");
        }
        child.closeInput();
        if (drain) drain->join();
        const double before = childrenCpuSeconds();
        if (child.wait(std::chrono::minutes(5)) != 0) throw std::runtime_error("did not end with status 0");
        return {std::chrono::duration<double>(Clock::now() - begin).count(), childrenCpuSeconds() - before};
    }

    static void expectLine(ChildProcess& child, std::string_view line) {
        const auto got = child.readLine();
        if (got != line) throw std::runtime_error("expected " + std::string(line) + ", got " + got.value_or("nothing"));
    }

    static void stop(ChildProcess& bridge) {
        if (!bridge.write("{\"command\":\"stop\"}\n") || bridge.wait() != 0) throw std::runtime_error("stop failed");
    }

    std::string sim_;
    std::string world_;
    int runs_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string sim = GATTRELAY_SIM_PATH;
    int runs = 5;
    std::string only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--sim" && i + 1 < argc) {
            sim = argv[++i];
        } else if (arg == "--runs" && i + 1 < argc) {
            runs = std::atoi(argv[++i]);
        } else if (arg == "--only" && i + 1 < argc) {
            only = argv[++i];
        } else {
            std::fprintf(stderr, "usage: intake_bench [--sim PATH] [--runs N] "
                                 "[--only throughput|protocols|start|idle|long]\n");
            return 2;
        }
    }
    const auto wanted = [&](std::string_view part) { return only.empty() || only == part; };
    if (runs < 1) {
        std::fprintf(stderr, "intake_bench: --runs must be at least 1\n");
        return 2;
    }
    try {
        Bench bench(sim, runs);
        if (wanted("throughput")) {
            bench.throughput(16384, 256);
            bench.throughput(20, 256);
        }
        if (wanted("protocols")) {
            bench.protocols(16384, 256);
            bench.protocols(20, 256);
        }
        if (wanted("start")) bench.start();
        if (wanted("idle")) bench.idle();
        if (wanted("long")) bench.longLine();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "intake_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
