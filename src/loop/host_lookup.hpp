#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace loop {

class AsioMainQueue;

// A host name looked up off the main thread (on Asio's resolver thread), so that a slow DNS
// answer never holds the loop up. The answer comes as a main-loop task: the host's addresses as
// text, in the order the system gives them, or none and why. Dropping the lookup cancels it.
class HostLookup {
public:
    using Done = std::function<void(std::vector<std::string> addresses, std::string error)>;

    HostLookup(AsioMainQueue& queue, const std::string& host, Done done);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace loop
