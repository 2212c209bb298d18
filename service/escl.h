// The document camera as an eSCL (AirScan) scanner, so that every SANE
// program scans from it through sane-airscan: its documents, its jobs, and
// who may use them. No networking here; the server routes /eSCL/ to it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "hub.h"

namespace velcapd {

// One answer to an eSCL request.
struct EsclReply {
    int status = 200;
    std::string contentType = "text/xml";
    std::string body;
    std::string location; // a created job's, else empty
};

// Who asks: velcapd's own user on this machine (kLocal), or another machine
// by its address. A machine sees and takes only the jobs it made; the local
// user sees every job, and which machine made it.
inline const std::string kLocal;

class Escl {
public:
    explicit Escl(Hub& hub);

    // GET ScannerCapabilities and ScannerStatus. base is the scanner's URL
    // as the client reaches it ("http://127.0.0.1:38088/eSCL").
    EsclReply capabilities(const std::string& base) const;
    EsclReply status(const std::string& asker = kLocal) const;
    // POST ScanJobs: the settings checked and a job made (201 and its
    // Location); then scan(job) runs it, off the network threads.
    EsclReply createJob(const std::string& settings, const std::string& base, std::string& job,
                        const std::string& asker = kLocal);
    void scan(const std::string& job);
    // GET ScanJobs/{job}/NextDocument: waits for the job's scan, then gives
    // its picture once; 404 afterwards and for a job cancelled, unknown or another's.
    EsclReply nextDocument(const std::string& job, const std::string& asker = kLocal);
    // DELETE ScanJobs/{job}: cancelled, and its picture dropped.
    EsclReply cancel(const std::string& job, const std::string& asker = kLocal);
    // From the host's tick: jobs nobody came for are dropped with their pictures.
    void tick();
    // The host ends: jobs not scanned yet are aborted, and waits end.
    void stop();

private:
    enum class State { Processing, Completed, Canceled, Aborted };
    struct Job {
        velcap::ScanSettings settings;
        std::string contentType;
        State state = State::Processing;
        std::string reason; // why it was aborted
        std::optional<std::string> document;
        int delivered = 0;
        std::chrono::steady_clock::time_point made;
        std::string owner; // kLocal or the machine's address
    };
    // The job, when the asker may see it.
    const Job* visible(const std::string& id, const std::string& asker) const;

    Hub& hub_;
    mutable std::mutex mutex_; // the jobs
    std::condition_variable changed_;
    std::map<std::string, Job> jobs_;
    bool stopping_ = false;
};

// Addresses that may scan over the network: "192.168.1.0/24", "2001:db8::/32",
// or one address. IPv4 peers of an IPv6 socket (::ffff:a.b.c.d) count as IPv4.
class AddressRanges {
public:
    // False, with nothing added, for text that is no address or range.
    bool add(const std::string& range);
    bool contains(const std::string& address) const;
    bool empty() const { return ranges_.empty(); }

private:
    std::vector<std::pair<std::string, int>> ranges_; // the canonical network and its prefix
};

// The uid of the program at the other end of a loopback TCP connection, from
// the kernel (sock_diag); nothing when it cannot tell.
std::optional<unsigned> loopbackPeerUid(const std::string& peerAddress, unsigned short peerPort,
                                        const std::string& ownAddress, unsigned short ownPort);

} // namespace velcapd
