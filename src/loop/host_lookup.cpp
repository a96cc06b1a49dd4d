#include "loop/host_lookup.hpp"

#include <asio.hpp>

#include "loop/asio_main_queue.hpp"

namespace loop {

struct HostLookup::State {
    explicit State(asio::io_context& io) : resolver(io) {}
    asio::ip::tcp::resolver resolver;
};

HostLookup::HostLookup(AsioMainQueue& queue, const std::string& host, Done done)
    : state_(std::make_shared<State>(queue.context())) {
    // No flags: every address the name has, not only those of families configured here (a
    // broker on ::1 is reachable without a global IPv6 address).
    state_->resolver.async_resolve(
        host, "", asio::ip::resolver_base::flags(),
        [weak = std::weak_ptr(state_), done = std::move(done)](const asio::error_code& error,
                                                               const asio::ip::tcp::resolver::results_type& found) {
            if (!weak.lock() || error == asio::error::operation_aborted) return;
            std::vector<std::string> addresses;
            for (const auto& entry : found) addresses.push_back(entry.endpoint().address().to_string());
            done(std::move(addresses), error ? error.message() : std::string());
        });
}

HostLookup::~HostLookup() { state_->resolver.cancel(); }

}  // namespace loop
