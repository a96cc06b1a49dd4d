#include "app/session_recording.hpp"

#include <chrono>
#include <cstdio>

#include "ble/record/recording_central.hpp"
#include "codec/json_text.hpp"
#include "codec/utf8_repair.hpp"
#include "protocol/version.hpp"

namespace app {

namespace {

void appendUuid(std::string& out, const codec::Uuid& id) {
    out += '"';
    id.appendText(out);
    out += '"';
}

template <class List, class Append>
void appendList(std::string& out, std::string_view key, const List& list, Append append) {
    out += ",\"";
    out += key;
    out += "\":[";
    for (std::size_t i = 0; i < list.size(); ++i) {
        if (i) out += ',';
        append(out, list[i]);
    }
    out += ']';
}

// What shapes the session: what the bridge looks for and which peripherals it may use.
std::string sessionOptions(const Options& options) {
    std::string out = "{\"service\":";
    appendUuid(out, options.profile.service);
    out += ",\"inbox\":";
    appendUuid(out, options.profile.inbox);
    out += ",\"outbox\":";
    appendUuid(out, options.profile.outbox);
    const auto appendString = [](std::string& o, const std::string& text) {
        std::string scratch;
        codec::appendJsonString(o, codec::repairUtf8(text, scratch));
    };
    appendList(out, "peers", options.filter.ids, appendUuid);
    appendList(out, "addresses", options.filter.addresses, appendString);
    appendList(out, "names", options.filter.namePrefixes, appendString);
    if (options.filter.minRssi) {
        out += ",\"minRssi\":";
        codec::appendJsonInteger(out, *options.filter.minRssi);
    }
    out += '}';
    return out;
}

std::chrono::milliseconds steadyNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch());
}

}  // namespace

std::unique_ptr<SessionRecording> SessionRecording::open(const Program& program, const Options& options,
                                                         std::string& why) {
    auto file = record::RecordingFile::open(*options.record, why);
    if (!file) return nullptr;
    return std::make_unique<SessionRecording>(program, options, std::move(*file));
}

SessionRecording::SessionRecording(const Program& program, const Options& options, record::RecordingFile file)
    : program_(program.name),
      profile_(options.profile),
      file_(std::move(file)),
      recorder_(file_,
                {.program = program.name,
                 .programVersion = protocol::programVersion,
                 .sessionOptions = sessionOptions(options),
                 .lengthsOnly = options.recordLengthsOnly},
                steadyNow) {}

ble::CentralFactory SessionRecording::decorate(ble::CentralFactory inner, loop::MainQueue& queue) {
    file_.start(queue, [this](std::string_view problem) {
        std::fprintf(stderr, "%s: %.*s\n", program_.c_str(), static_cast<int>(problem.size()), problem.data());
    });
    return record::recordingCentral(std::move(inner), recorder_, profile_);
}

}  // namespace app
