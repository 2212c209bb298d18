// velcapd's MJPEG stream to 4 clients at once at 1080p and 30 frames a
// second: the frames each client receives a second (goal: at least 25).
// Run under umockdev-wrapper.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>

#include "hub.h"
#include "server.h"
#include "testbed.h"
#include "vcam.h"

namespace {

namespace net = boost::asio;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
constexpr int kClients = 4;
constexpr auto kMeasured = std::chrono::seconds(5);

// Frames one client receives from /stream while the measurement runs.
int watch(unsigned short port, const std::string& token, const std::atomic<bool>& measuring,
          const std::atomic<bool>& over) {
    net::io_context context;
    tcp::socket socket(context);
    socket.connect({net::ip::make_address("127.0.0.1"), port});
    const std::string request = "GET /stream?token=" + token + " HTTP/1.1\r\nHost: x\r\n\r\n";
    net::write(socket, net::buffer(request));
    std::string window;
    std::vector<char> chunk(1 << 16);
    int frames = 0;
    while (!over) {
        boost::system::error_code error;
        const size_t n = socket.read_some(net::buffer(chunk), error);
        if (error) break;
        window.append(chunk.data(), n);
        for (size_t at = window.find("--velcapframe"); at != std::string::npos; at = window.find("--velcapframe")) {
            if (measuring) ++frames;
            window.erase(0, at + 13);
        }
        if (window.size() > 64) window.erase(0, window.size() - 64); // keeps a boundary split between reads
    }
    return frames;
}

} // namespace

int main() {
    velcap::setLogHandler([](velcap::LogLevel, const char*, const char*) {}); // the figures alone
    vcam::Testbed testbed;
    vcam::Description description = vcam::defaultDescription();
    testbed.present(description);
    velcapd::Options options;
    options.port = 0;
    options.token = "bench";
    velcapd::Hub hub;
    velcapd::Server server(hub, options);
    std::thread serving([&] { server.run(); });
    while (server.port() == 0) std::this_thread::yield();
    const velcapd::Json opened = hub.run("open", {{"device", 0}, {"width", 1920}, {"height", 1080}});
    if (!opened.value("ok", false)) {
        std::fprintf(stderr, "no camera: %s (run under umockdev-wrapper)\n", opened.dump().c_str());
        server.stop();
        serving.join();
        return 1;
    }
    std::atomic<bool> measuring{false}, over{false};
    std::vector<int> received(kClients);
    std::vector<std::thread> clients;
    for (int i = 0; i < kClients; ++i)
        clients.emplace_back([&, i] { received[size_t(i)] = watch(server.port(), options.token, measuring, over); });
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the clients settle
    measuring = true;
    std::this_thread::sleep_for(kMeasured);
    measuring = false;
    over = true;
    hub.run("close", {});
    for (std::thread& client : clients) client.join();
    server.stop();
    serving.join();
    const double seconds = std::chrono::duration<double>(kMeasured).count();
    bool met = true;
    for (int i = 0; i < kClients; ++i) {
        const double fps = received[size_t(i)] / seconds;
        std::printf("client %d: %.1f frames/s of the 30 the camera sends at 1920x1080 (goal 25)\n", i + 1, fps);
        met = met && fps >= 25;
    }
    return met ? 0 : 1;
}
