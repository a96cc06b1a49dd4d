#pragma once

#include <memory>
#include <string>

#include "app/options.hpp"
#include "ble/central.hpp"
#include "ble/record/recorder.hpp"
#include "ble/record/recording_file.hpp"
#include "loop/main_queue.hpp"

namespace app {

// --record: the file and the recorder of one session, from the command line.
class SessionRecording {
public:
    // Nothing, and why, when the file cannot be opened for appending (a directory among them).
    static std::unique_ptr<SessionRecording> open(const Program& program, const Options& options, std::string& why);

    // The backend's central factory, recorded. A failure to write is said once on standard
    // error, after the program's name; the bridge carries on without recording.
    ble::CentralFactory decorate(ble::CentralFactory inner, loop::MainQueue& queue);

    SessionRecording(const Program& program, const Options& options, record::RecordingFile file);

private:
    std::string program_;
    ble::GattProfile profile_;
    record::RecordingFile file_;
    record::Recorder recorder_;
};

}  // namespace app
