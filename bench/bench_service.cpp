// velcapd's MJPEG stream at 1080p and 30 frames a second:
// - the frames each of 4 clients receives a second (goal: at least 25);
// - the delay from the camera's timestamp to a client's receiving the frame;
// - the CPU of velcapd with the camera open and no client (goal: 2 % of a core);
// - the process's CPU time beside a bare host that only receives the frames
//   (goal: at most half), and beside uStreamer passing the camera's JPEG
//   through to the same clients (goal: no more). Every figure includes the
//   virtual camera's own work, which is the same in all.
// Run under umockdev-wrapper.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <time.h>
#include <unistd.h>
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

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

struct Received {
    int frames = 0;
    std::vector<double> delaysMs; // camera timestamp to receipt
};

// How a server's multipart stream marks its parts and their times.
struct Parts {
    const char* boundary;
    const char* stamp;    // the header of a part's time
    bool realtimeSeconds; // that time: CLOCK_REALTIME in seconds (uStreamer), else CLOCK_MONOTONIC in ns
};
const Parts kVelcapd{"--velcapframe", "X-Velcap-Timestamp: ", false};
const Parts kUstreamer{"--boundarydonotcross", "X-Timestamp: ", true};

std::int64_t realtimeNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// What one client receives from /stream while the measurement runs.
Received watch(unsigned short port, const std::string& token, const std::atomic<bool>& measuring,
               const std::atomic<bool>& over, const Parts& parts = kVelcapd) {
    net::io_context context;
    tcp::socket socket(context);
    socket.connect({net::ip::make_address("127.0.0.1"), port});
    const std::string request = "GET /stream?token=" + token + " HTTP/1.1\r\nHost: x\r\n\r\n";
    net::write(socket, net::buffer(request));
    Received out;
    std::string window;
    std::vector<char> chunk(1 << 16);
    std::int64_t pending = 0; // the timestamp of the part being received
    while (!over) {
        boost::system::error_code error;
        const size_t n = socket.read_some(net::buffer(chunk), error);
        if (error) break;
        window.append(chunk.data(), n);
        // A part counts once its next boundary, hence its last byte, has come.
        for (size_t at = window.find(parts.boundary); at != std::string::npos; at = window.find(parts.boundary)) {
            if (pending && measuring) {
                ++out.frames;
                out.delaysMs.push_back(double((parts.realtimeSeconds ? realtimeNs() : nowNs()) - pending) / 1e6);
            }
            pending = 0;
            const size_t stamp = window.find(parts.stamp, at);
            const size_t end = stamp == std::string::npos ? std::string::npos : window.find("\r\n", stamp);
            if (end == std::string::npos) break; // the part's head is still coming
            const char* value = window.c_str() + stamp + std::strlen(parts.stamp);
            pending = parts.realtimeSeconds ? std::int64_t(std::strtod(value, nullptr) * 1e9)
                                            : std::strtoll(value, nullptr, 10);
            window.erase(0, end);
        }
        if (window.size() > 64 && pending) window.erase(0, window.size() - 64); // keeps a boundary split between reads
    }
    return out;
}

double percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(p * double(values.size())))];
}

// CPU seconds a second of a host that only counts the frames.
double bareHost() {
    velcap::Camera camera;
    std::atomic<int> frames{0};
    camera.setFrameCallback([&](const velcap::Frame&) { ++frames; });
    const std::vector<velcap::Device> list = velcap::devices();
    if (list.empty() || camera.open(list[0], 1920, 1080) != velcap::Status::Ok) return -1;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double before = cpuSeconds();
    const int counted = frames;
    std::this_thread::sleep_for(kMeasured);
    const double used = (cpuSeconds() - before) / std::chrono::duration<double>(kMeasured).count();
    std::printf("bare host: %.1f frames/s, CPU %.1f %% of a core\n",
                (frames - counted) / std::chrono::duration<double>(kMeasured).count(), used * 100);
    camera.close();
    return used;
}

// The CPU seconds a process has used: its utime and stime in ticks.
double processCpuSeconds(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i)
        if (i == 14 || i == 15) ticks += std::stod(field);
    return ticks / double(sysconf(_SC_CLK_TCK));
}

double threadCpuSeconds(std::thread& thread) {
    clockid_t clock{};
    timespec at{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &at) != 0) return 0;
    return double(at.tv_sec) + double(at.tv_nsec) / 1e9;
}

// CPU seconds a second of a server serving clients (this process, or pid's),
// and what they received. The clients' own reading is never the server's:
// in this process their threads' time is taken off.
double serve(unsigned short port, const std::string& token, int clients, const Parts& parts = kVelcapd, int pid = 0) {
    std::atomic<bool> measuring{false}, over{false};
    std::vector<Received> received(static_cast<size_t>(clients));
    std::vector<std::thread> threads;
    for (int i = 0; i < clients; ++i)
        threads.emplace_back([&, i] { received[size_t(i)] = watch(port, token, measuring, over, parts); });
    std::this_thread::sleep_for(std::chrono::seconds(1)); // the clients settle
    const auto cpu = [&] {
        if (pid) return processCpuSeconds(pid);
        double clientsCpu = 0;
        for (std::thread& t : threads) clientsCpu += threadCpuSeconds(t);
        return cpuSeconds() - clientsCpu;
    };
    const double before = cpu();
    measuring = true;
    std::this_thread::sleep_for(kMeasured);
    measuring = false;
    const double used = (cpu() - before) / std::chrono::duration<double>(kMeasured).count();
    over = true;
    for (std::thread& t : threads) t.join();
    std::vector<double> delays;
    for (int i = 0; i < clients; ++i) {
        std::printf("  client %d: %.1f frames/s of the camera's 30 (goal 25)\n", i + 1,
                    received[size_t(i)].frames / std::chrono::duration<double>(kMeasured).count());
        delays.insert(delays.end(), received[size_t(i)].delaysMs.begin(), received[size_t(i)].delaysMs.end());
    }
    std::printf("  camera to client: median %.1f ms, 95th percentile %.1f ms, worst %.1f ms\n", percentile(delays, 0.5),
                percentile(delays, 0.95), percentile(delays, 1.0));
    std::printf("  CPU %.1f %% of a core\n", used * 100);
    return used;
}

// uStreamer passing the camera's own JPEG through (--encoder HW) to the same
// clients, on the same virtual camera under its launcher: the peer's CPU.
double ustreamerPeer(int clients) {
    net::io_context context;
    tcp::acceptor probe(context, {net::ip::make_address("127.0.0.1"), 0});
    const unsigned short port = probe.local_endpoint().port();
    probe.close();
    const char* tmp = std::getenv("TMPDIR");
    const std::string pidFile = std::string(tmp && *tmp ? tmp : "/tmp") + "/velcap-bench-ustreamer.pid";
    std::remove(pidFile.c_str());
    const std::string command = std::string(VELCAP_BUILD_DIR) + "/vcam/velcap-vcam -- sh -c 'echo $$ > " + pidFile +
                                "; exec ustreamer --device /dev/video0 --format MJPEG --resolution 1920x1080 "
                                "--desired-fps 30 --encoder HW --host 127.0.0.1 --port " +
                                std::to_string(port) + "' >/dev/null 2>&1 &";
    if (std::system(command.c_str()) != 0) return -1;
    int pid = 0;
    for (int i = 0; i < 100 && !pid; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ifstream(pidFile) >> pid;
    }
    std::remove(pidFile.c_str());
    if (!pid) return -1;
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the camera streams and the placeholder is gone
    std::printf("ustreamer --encoder HW, %d clients at 1920x1080:\n", clients);
    const double used = serve(port, "", clients, kUstreamer, pid);
    ::kill(pid, SIGTERM);
    return used;
}

} // namespace

int main() {
    velcap::setLogHandler([](velcap::LogLevel, const char*, const char*) {}); // the figures alone
    vcam::Testbed testbed;
    vcam::Description description = vcam::defaultDescription();
    testbed.present(description);
    const double bare = bareHost();
    if (bare < 0) {
        std::fprintf(stderr, "no camera (run under umockdev-wrapper)\n");
        return 1;
    }
    velcapd::Options options;
    options.port = 0;
    options.token = "bench";
    velcapd::Hub hub;
    velcapd::Server server(hub, options);
    std::thread serving([&] { server.run(); });
    while (server.port() == 0) std::this_thread::yield();
    hub.run("open", {{"device", 0}, {"width", 1920}, {"height", 1080}});
    {
        // The camera open and streaming, nobody watching: what velcapd costs while a counter waits.
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double before = cpuSeconds();
        std::this_thread::sleep_for(kMeasured);
        const double idle = (cpuSeconds() - before) / std::chrono::duration<double>(kMeasured).count();
        std::printf("velcapd, camera open at 1920x1080, no client: CPU %.1f %% of a core (goal 2 %%)\n", idle * 100);
    }
    std::printf("velcapd, 1 client at 1920x1080:\n");
    const double one = serve(server.port(), options.token, 1);
    std::printf("velcapd, %d clients at 1920x1080:\n", kClients);
    const double four = serve(server.port(), options.token, kClients);
    hub.run("close", {});
    server.stop();
    serving.join();
    const double peer = ustreamerPeer(kClients);
    std::printf("CPU beside the bare host: %.2fx with 1 client, %.2fx with %d (goal 0.5x)\n", one / bare, four / bare,
                kClients);
    if (peer > 0) std::printf("CPU beside uStreamer with %d clients: %.2fx (goal 1x)\n", kClients, four / peer);
    return 0;
}
