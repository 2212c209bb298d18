// velcapd's HTTP and WebSocket front: the token and origin rules, the JSON
// API, the MJPEG stream and the demo page, through Boost.Beast. One
// io_context run by a few threads; every connection is a session that owns
// itself on a strand; the hub's commands run on a worker pool.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "escl.h"
#include "hub.h"

namespace velcapd {

struct Options {
    std::string address = "127.0.0.1";
    unsigned short port = 38088;
    std::string token;
    std::vector<std::string> allowedOrigins;
    // A client that sends or takes nothing for this long is dropped.
    std::chrono::milliseconds idle{10000};
    // A connection has this long for its first request, until it has shown the token.
    std::chrono::milliseconds firstRequest{2000};
    // Connections that have not shown the token yet; past it, the oldest is dropped.
    int anonymousBudget = 32;
    // Connections that have shown the token.
    int mostClients = 64;
    // A WebSocket client's answers and events not yet taken; past either, it is closed.
    std::size_t queuedMessages = 256;
    std::size_t queuedBytes = 8 * 1024 * 1024;
    // Threads of the network loop, and of the hub's commands.
    int networkThreads = 2;
    int workerThreads = 3;
    // Whether /eSCL/ serves SANE programs (through sane-airscan) as a scanner:
    // only programs of this user on this machine, and no web page.
    bool escl = false;
    // Other machines may scan too when esclAddress is set (off by default):
    // a listener of its own on that address and port, which serves /eSCL/
    // alone and only to the addresses of esclAllowed. The user rule cannot
    // hold there; velcapdesk shows each such scan while it runs.
    std::string esclAddress;
    unsigned short esclPort = 38089;
    AddressRanges esclAllowed;
    // Called once the port is bound, with its number.
    std::function<void(unsigned short)> listening;
};

class Server {
public:
    Server(Hub& hub, Options options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves until stop(); false when the address cannot be bound. Every
    // thread it started has ended when it returns.
    bool run();
    // Ends every session; any thread.
    void stop();
    // The ports bound (useful with port 0): the local one, and other machines'.
    unsigned short port() const { return port_; }
    unsigned short esclPort() const { return esclPort_; }

    struct Core;

private:
    std::unique_ptr<Core> core_;
    std::atomic<unsigned short> port_{0}, esclPort_{0};
};

} // namespace velcapd
