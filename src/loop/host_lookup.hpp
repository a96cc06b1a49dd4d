#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace loop {

class MainLoop;

// A host name looked up off the main thread (on a thread of its own), so that a slow DNS answer
// never holds the loop up. The answer comes as a main-loop task: the host's addresses as text, in
// the order the system gives them, or none and why. Dropping the lookup cancels it: the thread
// finishes its lookup alone, and its answer goes nowhere.
class HostLookup {
public:
    using Done = std::function<void(std::vector<std::string> addresses, std::string error)>;

    HostLookup(MainLoop& loop, const std::string& host, Done done);
    ~HostLookup();
    HostLookup(const HostLookup&) = delete;
    HostLookup& operator=(const HostLookup&) = delete;

private:
    // Held only by the lookup: its answer finds whether it still exists.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace loop
