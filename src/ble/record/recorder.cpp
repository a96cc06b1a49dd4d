#include "ble/record/recorder.hpp"

#include <vector>

#include "codec/base64.hpp"
#include "codec/json_text.hpp"
#include "codec/utf8_repair.hpp"

namespace record {

Recorder::Recorder(RecordingFile& file, const RecorderOptions& options, Clock clock)
    : file_(file), clock_(std::move(clock)), lengthsOnly_(options.lengthsOnly) {
    origin_ = clock_();
    line_ = "{\"format\":";
    codec::appendJsonString(line_, formatName);
    line_ += ",\"version\":";
    codec::appendJsonInteger(line_, formatVersion);
    line_ += ",\"program\":";
    codec::appendJsonString(line_, options.program);
    line_ += ",\"programVersion\":";
    codec::appendJsonString(line_, options.programVersion);
    line_ += ",\"options\":";
    line_ += options.sessionOptions.empty() ? "{}" : options.sessionOptions;
    end();
}

std::string& Recorder::begin(std::string_view event, const codec::Uuid* peer) {
    line_ = "{\"t\":";
    codec::appendJsonInteger(line_, (clock_() - origin_).count());
    line_ += ",\"event\":";
    codec::appendJsonString(line_, event);
    if (peer) {
        line_ += ",\"peer\":\"";
        peer->appendText(line_);
        line_ += '"';
    }
    return line_;
}

void Recorder::flag(std::string_view key, bool value) {
    line_ += ",\"";
    line_ += key;
    line_ += value ? "\":true" : "\":false";
}

void Recorder::bytes(std::span<const std::uint8_t> value) {
    line_ += ",\"length\":";
    codec::appendJsonInteger(line_, static_cast<std::int64_t>(value.size()));
    line_ += ",\"data\":\"";
    if (lengthsOnly_) {
        const std::vector<std::uint8_t> zeros(value.size(), 0);
        codec::appendBase64(line_, zeros);
    } else {
        codec::appendBase64(line_, value);
    }
    line_ += '"';
}

void Recorder::end() {
    line_ += '}';
    file_.append(line_);
}

void Recorder::state(int state, std::string_view reason) {
    begin("state");
    line_ += ",\"state\":";
    codec::appendJsonInteger(line_, state);
    line_ += ",\"reason\":";
    codec::appendJsonString(line_, reason);
    end();
}

void Recorder::discover(const codec::Uuid& peer, const ble::Advertisement& advertisement,
                        const std::optional<std::string>& address) {
    begin("discover", &peer);
    if (advertisement.name) {
        line_ += ",\"name\":";
        std::string scratch;
        codec::appendJsonString(line_, codec::repairUtf8(*advertisement.name, scratch));
    }
    if (advertisement.rssi) {
        line_ += ",\"rssi\":";
        codec::appendJsonInteger(line_, *advertisement.rssi);
    }
    if (address) {
        line_ += ",\"address\":";
        codec::appendJsonString(line_, *address);
    }
    end();
}

void Recorder::peerEvent(std::string_view event, const codec::Uuid& peer) {
    begin(event, &peer);
    end();
}

void Recorder::disconnect(const codec::Uuid& peer, bool error) {
    begin("disconnect", &peer);
    flag("error", error);
    end();
}

void Recorder::services(const codec::Uuid& peer, bool ok, std::size_t count) {
    begin("services", &peer);
    flag("ok", ok);
    line_ += ",\"count\":";
    codec::appendJsonInteger(line_, static_cast<std::int64_t>(count));
    end();
}

void Recorder::characteristics(const codec::Uuid& peer, bool ok, bool inbox, bool outbox, bool notifying) {
    begin("characteristics", &peer);
    flag("ok", ok);
    flag("inbox", inbox);
    flag("outbox", outbox);
    flag("notifying", notifying);
    end();
}

void Recorder::subscribed(const codec::Uuid& peer, bool ok) {
    begin("subscribed", &peer);
    flag("ok", ok);
    end();
}

void Recorder::limit(const codec::Uuid& peer, std::size_t limit) {
    begin("limit", &peer);
    line_ += ",\"limit\":";
    codec::appendJsonInteger(line_, static_cast<std::int64_t>(limit));
    end();
}

void Recorder::write(const codec::Uuid& peer, std::span<const std::uint8_t> value) {
    begin("write", &peer);
    bytes(value);
    end();
}

void Recorder::written(const codec::Uuid& peer, bool ok) {
    begin("written", &peer);
    flag("ok", ok);
    end();
}

void Recorder::notify(const codec::Uuid& peer, std::span<const std::uint8_t> value) {
    begin("notify", &peer);
    bytes(value);
    end();
}

}  // namespace record
