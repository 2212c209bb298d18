#include "escl.h"

#include <algorithm>
#include <cstring>
#include <sstream>
#include <vector>

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <boost/asio/ip/address.hpp>
#include <boost/asio/ip/network_v4.hpp>
#include <boost/asio/ip/network_v6.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_generators.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <pugixml.hpp>

namespace velcapd {

namespace {

constexpr const char* kScanNs = "http://schemas.hp.com/imaging/escl/2011/05/03";
constexpr const char* kPwgNs = "http://www.pwg.org/schemas/2010/12/sm";
constexpr const char* kVersion = "2.63";
// Which machine made a job, told the local user only.
constexpr const char* kVelcapNs = "urn:velcap:escl";
constexpr int kResolutions[] = {75, 100, 150, 200, 300, 600};
// A scan's picture waits this long for its client, in memory only.
constexpr auto kJobKept = std::chrono::minutes(5);
constexpr auto kScanWait = std::chrono::seconds(60);
constexpr size_t kMostJobs = 8;

struct Colour {
    const char* name;
    int mode;
};
constexpr Colour kColours[] = {{"RGB24", 0}, {"Grayscale8", 1}, {"BlackAndWhite1", 2}};

struct Format {
    const char* type;
    const char* velcap;
};
constexpr Format kFormats[] = {{"image/jpeg", "jpg"}, {"image/png", "png"}, {"application/pdf", "pdf"}};

std::string text(const pugi::xml_document& document) {
    std::ostringstream out;
    document.save(out, "  ", pugi::format_default, pugi::encoding_utf8);
    return out.str();
}

pugi::xml_node root(pugi::xml_document& document, const char* name) {
    pugi::xml_node declaration = document.append_child(pugi::node_declaration);
    declaration.append_attribute("version") = "1.0";
    declaration.append_attribute("encoding") = "UTF-8";
    pugi::xml_node node = document.append_child(name);
    node.append_attribute("xmlns:scan") = kScanNs;
    node.append_attribute("xmlns:pwg") = kPwgNs;
    return node;
}

pugi::xml_node add(pugi::xml_node parent, const char* name, const std::string& value = {}) {
    pugi::xml_node node = parent.append_child(name);
    if (!value.empty()) node.text().set(value.c_str());
    return node;
}

EsclReply plain(int status, const std::string& why) {
    return {status, "text/plain; charset=utf-8", why + "\n", {}};
}

// An element's name without its prefix: clients choose their own prefixes.
std::string localName(const pugi::xml_node& node) {
    const std::string name = node.name();
    const size_t colon = name.find(':');
    return colon == std::string::npos ? name : name.substr(colon + 1);
}

// The first element of this local name under node, at any depth.
pugi::xml_node find(const pugi::xml_node& node, const std::string& name) {
    return node.find_node(
        [&](const pugi::xml_node& n) { return n.type() == pugi::node_element && localName(n) == name; });
}

bool number(const pugi::xml_node& node, int& value) {
    const std::string t = node.text().get();
    if (t.empty() || t.size() > 6 || t.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::stoi(t);
    return true;
}

const char* stateName(int state) {
    static const char* names[] = {"Processing", "Completed", "Canceled", "Aborted"};
    return names[state];
}

} // namespace

Escl::Escl(Hub& hub) : hub_(hub) {}

EsclReply Escl::capabilities(const std::string& base) const {
    const auto [model, serial] = hub_.scannerName();
    pugi::xml_document document;
    pugi::xml_node caps = root(document, "scan:ScannerCapabilities");
    add(caps, "pwg:Version", kVersion);
    add(caps, "pwg:MakeAndModel", model);
    if (!serial.empty()) add(caps, "pwg:SerialNumber", serial);
    add(caps, "scan:AdminURI", base.substr(0, base.rfind("/eSCL")) + "/");
    pugi::xml_node input = add(add(caps, "scan:Platen"), "scan:PlatenInputCaps");
    add(input, "scan:MinWidth", "16");
    add(input, "scan:MaxWidth", std::to_string(velcap::kPlatenWidth));
    add(input, "scan:MinHeight", "16");
    add(input, "scan:MaxHeight", std::to_string(velcap::kPlatenHeight));
    add(input, "scan:MaxScanRegions", "1");
    pugi::xml_node profile = add(add(input, "scan:SettingProfiles"), "scan:SettingProfile");
    pugi::xml_node colours = add(profile, "scan:ColorModes");
    for (const Colour& c : kColours) add(colours, "scan:ColorMode", c.name);
    pugi::xml_node formats = add(profile, "scan:DocumentFormats");
    for (const Format& f : kFormats) add(formats, "pwg:DocumentFormat", f.type);
    for (const Format& f : kFormats) add(formats, "scan:DocumentFormatExt", f.type);
    // Discrete resolutions only: a range alone leaves sane-airscan without any.
    pugi::xml_node discrete = add(add(profile, "scan:SupportedResolutions"), "scan:DiscreteResolutions");
    const int most = velcap::mostDpi(velcap::Paper::A4);
    int highest = 0;
    for (int dpi : kResolutions) {
        if (dpi > most) continue;
        pugi::xml_node r = add(discrete, "scan:DiscreteResolution");
        add(r, "scan:XResolution", std::to_string(dpi));
        add(r, "scan:YResolution", std::to_string(dpi));
        highest = dpi;
    }
    add(add(profile, "scan:ColorSpaces"), "scan:ColorSpace", "sRGB");
    pugi::xml_node intents = add(input, "scan:SupportedIntents");
    for (const char* intent : {"Document", "TextAndGraphic", "Photo", "Preview"}) add(intents, "scan:Intent", intent);
    add(input, "scan:MaxOpticalXResolution", std::to_string(highest));
    add(input, "scan:MaxOpticalYResolution", std::to_string(highest));
    add(input, "scan:RiskyLeftMargin", "0");
    add(input, "scan:RiskyRightMargin", "0");
    add(input, "scan:RiskyTopMargin", "0");
    add(input, "scan:RiskyBottomMargin", "0");
    return {200, "text/xml", text(document), {}};
}

const Escl::Job* Escl::visible(const std::string& id, const std::string& asker) const {
    const auto job = jobs_.find(id);
    if (job == jobs_.end() || (asker != kLocal && job->second.owner != asker)) return nullptr;
    return &job->second;
}

EsclReply Escl::status(const std::string& asker) const {
    pugi::xml_document document;
    pugi::xml_node status = root(document, "scan:ScannerStatus");
    if (asker == kLocal) status.append_attribute("xmlns:velcap") = kVelcapNs;
    add(status, "pwg:Version", kVersion);
    std::lock_guard lock(mutex_);
    const bool busy = std::any_of(jobs_.begin(), jobs_.end(),
                                  [](const auto& entry) { return entry.second.state == State::Processing; });
    add(status, "pwg:State", busy ? "Processing" : "Idle");
    pugi::xml_node jobs = add(status, "scan:Jobs");
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [id, job] : jobs_) {
        if (!visible(id, asker)) continue;
        pugi::xml_node info = add(jobs, "scan:JobInfo");
        add(info, "pwg:JobUri", "/eSCL/ScanJobs/" + id);
        add(info, "pwg:JobUuid", id);
        add(info, "scan:Age", std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now - job.made).count()));
        add(info, "pwg:ImagesCompleted", std::to_string(job.state == State::Completed ? 1 : 0));
        add(info, "pwg:ImagesToTransfer", std::to_string(job.document && !job.delivered ? 1 : 0));
        add(info, "pwg:JobState", stateName(int(job.state)));
        const char* reason = job.state == State::Processing  ? "JobScanning"
                             : job.state == State::Completed ? "JobCompletedSuccessfully"
                             : job.state == State::Canceled  ? "JobCanceledByUser"
                                                             : "AbortedBySystem";
        add(add(info, "pwg:JobStateReasons"), "pwg:JobStateReason", reason);
        if (asker == kLocal && job.owner != kLocal) add(info, "velcap:Peer", job.owner);
    }
    return {200, "text/xml", text(document), {}};
}

EsclReply Escl::createJob(const std::string& body, const std::string& base, std::string& id, const std::string& asker) {
    pugi::xml_document document;
    if (!document.load_buffer(body.data(), body.size(), pugi::parse_default & ~pugi::parse_doctype))
        return plain(400, "the scan settings are not XML");
    const pugi::xml_node settings = document.document_element();
    if (localName(settings) != "ScanSettings") return plain(400, "the document is not scan:ScanSettings");
    velcap::ScanSettings scan;
    if (const pugi::xml_node source = find(settings, "InputSource");
        source && std::string(source.text().get()) != "Platen")
        return plain(409, "the one input source is Platen, the page on the desk");
    int x = 300, y = 300;
    const pugi::xml_node xNode = find(settings, "XResolution"), yNode = find(settings, "YResolution");
    if ((xNode && !number(xNode, x)) || (yNode && !number(yNode, y)) || x != y ||
        std::find(std::begin(kResolutions), std::end(kResolutions), x) == std::end(kResolutions) ||
        x > velcap::mostDpi(velcap::Paper::A4))
        return plain(409, "the resolution is one of the scanner's, the same across and down");
    scan.dpi = x;
    if (const pugi::xml_node mode = find(settings, "ColorMode")) {
        const std::string name = mode.text().get();
        const auto colour =
            std::find_if(std::begin(kColours), std::end(kColours), [&](const Colour& c) { return name == c.name; });
        if (colour == std::end(kColours)) return plain(409, "the colour mode is RGB24, Grayscale8 or BlackAndWhite1");
        scan.colorMode = colour->mode;
    }
    std::string type = "image/jpeg";
    if (const pugi::xml_node ext = find(settings, "DocumentFormatExt"))
        type = ext.text().get();
    else if (const pugi::xml_node format = find(settings, "DocumentFormat"))
        type = format.text().get();
    const auto format =
        std::find_if(std::begin(kFormats), std::end(kFormats), [&](const Format& f) { return type == f.type; });
    if (format == std::end(kFormats)) return plain(409, "the format is image/jpeg, image/png or application/pdf");
    scan.format = format->velcap;
    if (const pugi::xml_node region = find(settings, "ScanRegion")) {
        if (const pugi::xml_node units = find(region, "ContentRegionUnits");
            units && std::string(units.text().get()) != "escl:ThreeHundredthsOfInches")
            return plain(409, "regions are in escl:ThreeHundredthsOfInches");
        int* fields[] = {&scan.x, &scan.y, &scan.width, &scan.height};
        const char* names[] = {"XOffset", "YOffset", "Width", "Height"};
        for (int i = 0; i < 4; ++i)
            if (const pugi::xml_node n = find(region, names[i]); n && !number(n, *fields[i]))
                return plain(409, std::string("the region's ") + names[i] + " is a whole number");
    }
    if (scan.x >= velcap::kPlatenWidth || scan.y >= velcap::kPlatenHeight)
        return plain(409, "the region lies outside the platen");

    std::lock_guard lock(mutex_);
    if (stopping_) return plain(503, "velcapd ends");
    if (std::any_of(jobs_.begin(), jobs_.end(),
                    [](const auto& entry) { return entry.second.state == State::Processing; }))
        return plain(503, "a scan is under way");
    if (jobs_.size() >= kMostJobs) {
        // The oldest finished job goes; its picture was offered long enough.
        auto oldest = std::min_element(jobs_.begin(), jobs_.end(),
                                       [](const auto& a, const auto& b) { return a.second.made < b.second.made; });
        jobs_.erase(oldest);
    }
    id = boost::uuids::to_string(boost::uuids::random_generator()());
    Job& job = jobs_[id];
    job.settings = scan;
    job.contentType = format->type;
    job.made = std::chrono::steady_clock::now();
    job.owner = asker;
    return {201, "text/plain", {}, base + "/ScanJobs/" + id};
}

void Escl::scan(const std::string& id) {
    velcap::ScanSettings settings;
    {
        std::lock_guard lock(mutex_);
        const auto job = jobs_.find(id);
        if (job == jobs_.end() || job->second.state != State::Processing) return;
        settings = job->second.settings;
    }
    velcap::Scan scan;
    std::string why;
    const velcap::Status status = hub_.scanPage(settings, scan, why);
    std::lock_guard lock(mutex_);
    const auto job = jobs_.find(id);
    // Cancelled meanwhile: the picture is dropped with the scan.
    if (job != jobs_.end() && job->second.state == State::Processing) {
        if (status == velcap::Status::Ok) {
            job->second.document.emplace(scan.bytes.begin(), scan.bytes.end());
            job->second.state = State::Completed;
        } else {
            job->second.state = State::Aborted;
            job->second.reason = why;
        }
    }
    changed_.notify_all();
}

EsclReply Escl::nextDocument(const std::string& id, const std::string& asker) {
    std::unique_lock lock(mutex_);
    if (!visible(id, asker)) return plain(404, "no such job");
    const auto settled = [&] {
        const auto job = jobs_.find(id);
        return job == jobs_.end() || job->second.state != State::Processing;
    };
    if (!changed_.wait_for(lock, kScanWait, settled)) return plain(503, "the scan is still under way");
    const auto job = jobs_.find(id);
    if (job == jobs_.end() || !job->second.document) {
        if (job != jobs_.end() && job->second.state == State::Aborted)
            return plain(404, "no page: " + job->second.reason);
        return plain(404, "no more pages");
    }
    // One page a job: the next request is told there is none.
    EsclReply reply{200, job->second.contentType, std::move(*job->second.document), {}};
    job->second.document.reset();
    ++job->second.delivered;
    return reply;
}

EsclReply Escl::cancel(const std::string& id, const std::string& asker) {
    std::lock_guard lock(mutex_);
    if (!visible(id, asker)) return plain(404, "no such job");
    const auto job = jobs_.find(id);
    if (job->second.state == State::Processing || job->second.document) job->second.state = State::Canceled;
    job->second.document.reset();
    changed_.notify_all();
    return {200, "text/plain", {}, {}};
}

void Escl::tick() {
    std::lock_guard lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    for (auto job = jobs_.begin(); job != jobs_.end();)
        job = job->second.state != State::Processing && now - job->second.made > kJobKept ? jobs_.erase(job)
                                                                                          : std::next(job);
}

void Escl::stop() {
    std::lock_guard lock(mutex_);
    stopping_ = true;
    for (auto& entry : jobs_)
        if (entry.second.state == State::Processing)
            entry.second.state = State::Aborted, entry.second.reason = "velcapd ends";
    changed_.notify_all();
}

namespace {

namespace ip = boost::asio::ip;

// The address as IPv4 when it is an IPv4 peer of an IPv6 socket.
std::optional<ip::address> plainAddress(const std::string& text) {
    boost::system::error_code error;
    ip::address address = ip::make_address(text, error);
    if (error) return std::nullopt;
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        address = ip::make_address_v4(ip::v4_mapped, address.to_v6());
    return address;
}

// The network of this prefix that holds the address, written canonically.
std::string networkOf(const ip::address& address, int prefix) {
    if (address.is_v4()) return ip::network_v4(address.to_v4(), prefix).canonical().to_string();
    return ip::network_v6(address.to_v6(), prefix).canonical().to_string();
}

} // namespace

bool AddressRanges::add(const std::string& range) {
    const size_t slash = range.find('/');
    const std::optional<ip::address> address = plainAddress(range.substr(0, slash));
    if (!address) return false;
    const int most = address->is_v4() ? 32 : 128;
    int prefix = most;
    if (slash != std::string::npos) {
        const std::string digits = range.substr(slash + 1);
        if (digits.empty() || digits.size() > 3 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        prefix = std::stoi(digits);
        if (prefix > most) return false;
    }
    ranges_.emplace_back(networkOf(*address, prefix), prefix);
    return true;
}

bool AddressRanges::contains(const std::string& text) const {
    const std::optional<ip::address> address = plainAddress(text);
    if (!address) return false;
    for (const auto& [network, prefix] : ranges_) {
        const bool sameFamily = (network.find(':') == std::string::npos) == address->is_v4();
        if (sameFamily && networkOf(*address, prefix) == network) return true;
    }
    return false;
}

std::optional<unsigned> loopbackPeerUid(const std::string& peerAddress, unsigned short peerPort,
                                        const std::string& ownAddress, unsigned short ownPort) {
    inet_diag_req_v2 request{};
    request.sdiag_protocol = IPPROTO_TCP;
    request.idiag_states = ~0u;
    request.id.idiag_cookie[0] = request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    // The peer's socket: its own end is our remote end.
    request.id.idiag_sport = htons(peerPort);
    request.id.idiag_dport = htons(ownPort);
    if (inet_pton(AF_INET, peerAddress.c_str(), request.id.idiag_src) == 1 &&
        inet_pton(AF_INET, ownAddress.c_str(), request.id.idiag_dst) == 1)
        request.sdiag_family = AF_INET;
    else if (inet_pton(AF_INET6, peerAddress.c_str(), request.id.idiag_src) == 1 &&
             inet_pton(AF_INET6, ownAddress.c_str(), request.id.idiag_dst) == 1)
        request.sdiag_family = AF_INET6;
    else
        return std::nullopt;

    const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (fd < 0) return std::nullopt;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 body;
    } message{};
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST;
    message.body = request;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    std::optional<unsigned> uid;
    if (sendto(fd, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) ==
        ssize_t(sizeof(message))) {
        alignas(nlmsghdr) char buffer[8192];
        const ssize_t got = recv(fd, buffer, sizeof(buffer), 0);
        // One answer for one socket, or an error message when there is none.
        const auto* h = reinterpret_cast<const nlmsghdr*>(buffer);
        if (got >= ssize_t(NLMSG_LENGTH(sizeof(inet_diag_msg))) && h->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
            h->nlmsg_len <= size_t(got)) {
            const auto* answer = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (answer->id.idiag_sport == request.id.idiag_sport && answer->id.idiag_dport == request.id.idiag_dport)
                uid = answer->idiag_uid;
        }
    }
    ::close(fd);
    return uid;
}

} // namespace velcapd
