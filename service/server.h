// velcapd's HTTP and WebSocket front: the token and origin rules, the JSON
// API, the MJPEG stream and the demo page, through Boost.Beast.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <boost/beast/http.hpp>

#include "hub.h"

namespace velcapd {

struct Options {
    std::string address = "127.0.0.1";
    unsigned short port = 38088;
    std::string token;
    std::vector<std::string> allowedOrigins;
    // A client that sends or takes nothing for this long is dropped.
    std::chrono::milliseconds idle{10000};
    // Called once the port is bound, with its number.
    std::function<void(unsigned short)> listening;
};

class Server {
public:
    Server(Hub& hub, Options options);
    // Accepts connections until stop(); false when the address cannot be bound.
    bool run();
    void stop();
    // The port bound (useful with port 0).
    unsigned short port() const { return port_; }

private:
    struct Connection;
    void serve(Connection& connection);
    void serveWebSocket(Connection& connection,
                        const boost::beast::http::request<boost::beast::http::string_body>& request);
    bool originAllowed(const std::string& origin) const;
    void broadcast(const Json& event);

    Hub& hub_;
    Options options_;
    std::atomic<unsigned short> port_{0};
    std::atomic<bool> running_{false};
    std::atomic<int> connections_{0};
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

} // namespace velcapd
