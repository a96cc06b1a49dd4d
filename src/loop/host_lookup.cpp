#include "loop/host_lookup.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <thread>

#include "loop/main_loop.hpp"

namespace loop {

namespace {

// Every address the name has, not only those of families configured here (a broker on ::1 is
// reachable without a global IPv6 address): no AI_ADDRCONFIG.
std::vector<std::string> lookUp(const std::string& host, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::vector<std::string> addresses;
    if (const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        error = ::gai_strerror(rc);
        return addresses;
    }
    for (const addrinfo* a = found; a; a = a->ai_next) {
        char text[INET6_ADDRSTRLEN] = "";
        const void* address = a->ai_family == AF_INET6
                                  ? static_cast<const void*>(&reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr)
                                  : static_cast<const void*>(&reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr);
        if (::inet_ntop(a->ai_family, address, text, sizeof text)) addresses.emplace_back(text);
    }
    ::freeaddrinfo(found);
    return addresses;
}

}  // namespace

HostLookup::HostLookup(MainLoop& loop, const std::string& host, Done done) {
    std::thread([inbox = loop.inbox_, alive = std::weak_ptr<bool>(alive_), host, done = std::move(done)]() mutable {
        std::string error;
        std::vector<std::string> addresses = lookUp(host, error);
        MainLoop::postTo(*inbox, [alive, done = std::move(done), addresses = std::move(addresses),
                                  error = std::move(error)]() mutable {
            if (alive.lock()) done(std::move(addresses), std::move(error));
        });
    }).detach();
}

HostLookup::~HostLookup() = default;

}  // namespace loop
