// velcapd: the document camera for browser-based applications, a local
// HTTP and WebSocket service.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <pthread.h>
#include <string>
#include <sys/random.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>

#include "hub.h"
#include "log_lines.h"
#include "server.h"

namespace {

int usage(const char* why) {
    std::fprintf(stderr,
                 "velcapd: %s\n"
                 "usage: velcapd [--port N] [--bind ADDRESS] [--token-file FILE] [--allow-origin ORIGIN]...\n"
                 "               [--save-folder DIR] [--allow-folder DIR]... [--any-camera] [--escl]\n"
                 "               [--escl-listen ADDRESS [--escl-port N] --escl-allow RANGE...]\n",
                 why);
    return 2;
}

std::string defaultTokenFile() {
    const char* config = std::getenv("XDG_CONFIG_HOME");
    const char* home = std::getenv("HOME");
    const std::string base = config && *config == '/' ? config : std::string(home ? home : "/tmp") + "/.config";
    ::mkdir(base.c_str(), 0700);
    ::mkdir((base + "/velcap").c_str(), 0700);
    return base + "/velcap/velcapd.token";
}

// The token in file; a new random one of 128 bits, written with mode 0600, when the file is missing.
bool readOrMakeToken(const std::string& file, std::string& token) {
    std::ifstream in(file);
    if (in && std::getline(in, token) && !token.empty()) return true;
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof(bytes), 0) != ssize_t(sizeof(bytes))) return false;
    token.clear();
    for (unsigned char b : bytes) {
        char hex[3];
        std::snprintf(hex, sizeof(hex), "%02x", b);
        token += hex;
    }
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    const std::string line = token + "\n";
    const bool written = ::write(fd, line.data(), line.size()) == ssize_t(line.size());
    return ::close(fd) == 0 && written;
}

} // namespace

int main(int argc, char** argv) {
    // Pictures of megabytes (scans, captures, frames) are mapped and unmapped
    // whole, on whichever thread frees them. glibc's adaptive threshold would
    // otherwise serve them from the arenas, where each worker thread keeps the
    // top of its own (its last scan's 24 MB) for good.
    mallopt(M_MMAP_THRESHOLD, 4 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 8 * 1024 * 1024);
    velcapd::Options options;
    velcapd::HubOptions hubOptions;
    std::string tokenFile;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (word == "--port") {
            const std::string text = value();
            char* end = nullptr;
            const long port = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end || port < 0 || port > 65535) return usage("--port takes 0 to 65535");
            options.port = static_cast<unsigned short>(port);
        } else if (word == "--bind") {
            options.address = value();
            if (options.address.empty()) return usage("--bind takes an address");
        } else if (word == "--token-file") {
            tokenFile = value();
            if (tokenFile.empty()) return usage("--token-file takes a file");
        } else if (word == "--allow-origin") {
            const std::string origin = value();
            if (origin.empty()) return usage("--allow-origin takes an origin, such as https://counter.example");
            options.allowedOrigins.push_back(origin);
        } else if (word == "--save-folder" || word == "--allow-folder") {
            const std::string folder = value();
            struct stat info {};
            if (folder.empty() || folder[0] != '/' || ::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
                return usage((word + " takes an absolute path of a folder that exists").c_str());
            if (word == "--save-folder")
                hubOptions.saveFolder = folder;
            else
                hubOptions.allowedFolders.push_back(folder);
        } else if (word == "--any-camera") {
            hubOptions.anyCamera = true;
        } else if (word == "--escl") {
            options.escl = true;
        } else if (word == "--escl-listen") {
            options.esclAddress = value();
            boost::system::error_code error;
            boost::asio::ip::make_address(options.esclAddress, error);
            if (error) return usage("--escl-listen takes an address, such as 0.0.0.0 or 192.168.1.10");
            options.escl = true;
        } else if (word == "--escl-port") {
            const std::string text = value();
            char* end = nullptr;
            const long port = std::strtol(text.c_str(), &end, 10);
            if (text.empty() || *end || port < 0 || port > 65535) return usage("--escl-port takes 0 to 65535");
            options.esclPort = static_cast<unsigned short>(port);
        } else if (word == "--escl-allow") {
            if (!options.esclAllowed.add(value()))
                return usage("--escl-allow takes an address or a network, such as 192.168.1.0/24");
        } else if (word == "--help" || word == "-h") {
            std::printf("usage: velcapd [--port N] [--bind ADDRESS] [--token-file FILE] [--allow-origin ORIGIN]...\n"
                        "               [--save-folder DIR] [--allow-folder DIR]... [--any-camera] [--escl]\n"
                        "               [--escl-listen ADDRESS [--escl-port N] --escl-allow RANGE...]\n");
            return 0;
        } else {
            return usage(("unknown option " + word).c_str());
        }
    }
    // On the network the user rule cannot hold: the allow-list is what does.
    if (!options.esclAddress.empty() && options.esclAllowed.empty())
        return usage("--escl-listen needs --escl-allow: the machines that may scan");
    if (tokenFile.empty()) tokenFile = defaultTokenFile();
    if (!readOrMakeToken(tokenFile, options.token)) {
        std::fprintf(stderr, "velcapd: cannot read or make the token file %s: %s\n", tokenFile.c_str(),
                     std::strerror(errno));
        return 1;
    }
    std::signal(SIGPIPE, SIG_IGN);
    // SIGINT and SIGTERM are taken by one thread, which stops the server in
    // the ordinary way: no work in a signal handler.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    options.listening = [&](unsigned short port) {
        std::printf("velcapd: listening on http://%s:%u/\n", options.address.c_str(), unsigned(port));
        if (!options.esclAddress.empty())
            std::printf("velcapd: scanning for other machines on %s port %u\n", options.esclAddress.c_str(),
                        unsigned(options.esclPort));
        std::fflush(stdout);
    };
    velcapd::logToStandardError();
    velcapd::Hub hub(hubOptions);
    velcapd::Server server(hub, options);
    std::thread signals([&] {
        int signal = 0;
        sigwait(&stopping, &signal);
        server.stop();
    });
    const bool ok = server.run();
    if (!ok) {
        std::fprintf(stderr, "velcapd: cannot listen on %s port %u", options.address.c_str(), options.port);
        if (!options.esclAddress.empty())
            std::fprintf(stderr, " and %s port %u", options.esclAddress.c_str(), options.esclPort);
        std::fprintf(stderr, "\n");
    }
    // Wakes the signal thread when the server ended for another reason.
    pthread_kill(signals.native_handle(), SIGTERM);
    signals.join();
    return ok ? 0 : 1;
}
