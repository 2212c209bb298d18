#include "server.h"

#include <algorithm>
#include <cctype>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <unordered_map>

#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>

#include "escl.h"
#include "page.h"

namespace velcapd {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using error_code = boost::system::error_code;
using namespace std::chrono_literals;

namespace {

constexpr size_t kBodyLimit = 1024 * 1024;
constexpr int kJsonDepth = 32;
// A WebSocket client's commands under way; it is read again once one is answered.
constexpr int kCommandsInFlight = 4;
constexpr auto kPictureWait = 3s;
constexpr auto kTick = 5s;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response answer(const Request& request, http::status status, const Json& body) {
    Response response{status, request.version()};
    response.set(http::field::server, "velcapd");
    response.set(http::field::content_type, "application/json; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
    response.body() = body.dump(-1, ' ', false, Json::error_handler_t::replace);
    response.prepare_payload();
    return response;
}

Response failure(const Request& request, http::status status, const std::string& why) {
    return answer(request, status, {{"ok", false}, {"error", why}});
}

// The query parameter of a target, or "".
std::string parameter(beast::string_view target, const std::string& name) {
    const size_t question = target.find('?');
    if (question == beast::string_view::npos) return {};
    const std::string query(target.substr(question + 1));
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        if (query.compare(start, name.size() + 1, name + "=") == 0)
            return query.substr(start + name.size() + 1, end - start - name.size() - 1);
        start = end + 1;
    }
    return {};
}

// Compares without leaving the time it takes to tell how much matched.
bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// A parsed command, or why there is none.
std::optional<Json> parsedObject(const std::string& text, std::string& why) {
    if (nestedDeeperThan(text, kJsonDepth)) {
        why = "JSON is nested deeper than " + std::to_string(kJsonDepth) + " levels";
        return std::nullopt;
    }
    Json parsed = Json::parse(text, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object()) {
        why = "the body is not a JSON object";
        return std::nullopt;
    }
    return parsed;
}

// The hub's answer and its HTTP status, taken out of it.
int takeStatus(Json& reply) {
    int status = 200;
    if (reply.contains(kStatusKey)) {
        status = reply[kStatusKey].get<int>();
        reply.erase(kStatusKey);
    } else if (!reply.value("ok", false)) {
        status = 422;
    }
    return status;
}

// What a route does.
enum class Kind { command, stream, snapshot, webSocket };
struct Route {
    Kind kind;
    const char* command;
};

const std::unordered_map<std::string, Route>& routes() {
    static const std::unordered_map<std::string, Route> table = {
        {"GET /api/devices", {Kind::command, "devices"}},
        {"GET /api/controls", {Kind::command, "controls"}},
        {"POST /api/controls", {Kind::command, "setControls"}},
        {"POST /api/open", {Kind::command, "open"}},
        {"POST /api/close", {Kind::command, "close"}},
        {"POST /api/capture", {Kind::command, "capture"}},
        {"POST /api/scan", {Kind::command, "scan"}},
        {"POST /api/autocapture", {Kind::command, "autoCapture"}},
        {"POST /api/idcard", {Kind::command, "idcard"}},
        {"GET /stream", {Kind::stream, nullptr}},
        {"GET /snapshot", {Kind::snapshot, nullptr}},
        {"GET /ws", {Kind::webSocket, nullptr}},
    };
    return table;
}

// A client that takes live pictures, on its own strand.
class PictureClient {
public:
    virtual ~PictureClient() = default;
    // Any thread: hands the picture to the client's strand.
    virtual void post(const Picture& picture) = 0;
};

class EventClient {
public:
    virtual ~EventClient() = default;
    virtual void post(std::shared_ptr<const std::string> event) = 0;
};

} // namespace

// What the sessions share: the hub, the options, and the registries through
// which pictures, events and connection budgets reach them.
struct Server::Core {
    Core(Hub& h, Options o) : hub(h), options(std::move(o)) {
        if (options.escl) escl = std::make_unique<Escl>(hub);
    }

    Hub& hub;
    const Options options;
    std::unique_ptr<Escl> escl; // with options.escl
    std::atomic<unsigned short> port{0};

    bool originAllowed(const std::string& origin) const {
        if (origin.empty()) return true; // not a browser's cross-origin request
        const std::string own = std::to_string(port.load());
        for (const std::string& mine :
             {"http://127.0.0.1:" + own, "http://localhost:" + own, "http://" + options.address + ":" + own})
            if (origin == mine) return true;
        for (const std::string& allowed : options.allowedOrigins)
            if (origin == allowed) return true;
        return false;
    }

    // The registries, under mutex.
    std::mutex mutex;
    struct Anonymous {
        std::uint64_t id;
        std::function<void()> close;
    };
    std::list<Anonymous> anonymous; // the connections without the token yet, oldest first
    std::uint64_t lastAnonymous = 0;
    int clients = 0;
    std::list<std::weak_ptr<PictureClient>> watchers;
    std::list<std::weak_ptr<EventClient>> listeners;

    // The clients of a registry, held: a session must not end under mutex,
    // since ending takes it.
    template <typename T>
    std::vector<std::shared_ptr<T>> held(const std::list<std::weak_ptr<T>>& list) {
        std::vector<std::shared_ptr<T>> clients;
        std::lock_guard lock(mutex);
        for (const auto& weak : list)
            if (auto client = weak.lock()) clients.push_back(std::move(client));
        return clients;
    }
    void offer(const Picture& picture) {
        for (const auto& client : held(watchers)) client->post(picture);
    }
    void broadcast(const Json& event) {
        auto text = std::make_shared<const std::string>(event.dump(-1, ' ', false, Json::error_handler_t::replace));
        for (const auto& client : held(listeners)) client->post(text);
    }
    template <typename T>
    void remove(std::list<std::weak_ptr<T>>& list, const T* client) {
        std::vector<std::shared_ptr<T>> keep;
        std::lock_guard lock(mutex);
        list.remove_if([&](const std::weak_ptr<T>& weak) {
            auto locked = weak.lock();
            const bool gone = !locked || locked.get() == client;
            if (locked) keep.push_back(std::move(locked));
            return gone;
        });
    }

    // Set by run(), under runMutex.
    std::mutex runMutex;
    bool stopping = false;
    std::unique_ptr<net::io_context> context;
    std::unique_ptr<net::thread_pool> workers;
};

namespace {

using Core = Server::Core;

// A connection that has shown the token counts once against the clients'
// budget, for as long as any session holds this.
class ClientSlot {
public:
    explicit ClientSlot(Core& core) : core_(core) {}
    ~ClientSlot() {
        std::lock_guard lock(core_.mutex);
        --core_.clients;
    }

private:
    Core& core_;
};

// The MJPEG stream: one part a picture, always the newest one; a client that
// reads slowly skips pictures, never gets a backlog.
class StreamSession : public std::enable_shared_from_this<StreamSession>, public PictureClient {
public:
    StreamSession(Core& core, beast::tcp_stream&& stream, std::shared_ptr<ClientSlot> slot, std::string origin,
                  unsigned version)
        : core_(core), stream_(std::move(stream)), slot_(std::move(slot)), origin_(std::move(origin)),
          version_(version), timer_(stream_.get_executor()) {}
    ~StreamSession() override { core_.hub.watch(false); }

    void start() {
        core_.hub.watch(true);
        {
            std::lock_guard lock(core_.mutex);
            core_.watchers.push_back(shared_from_this());
        }
        listen();
        // The first part is a picture taken after the request came, or the unplugged one.
        const Picture away = core_.hub.awayPicture();
        if (away.jpeg) return offer(away);
        timer_.expires_after(kPictureWait);
        timer_.async_wait([self = shared_from_this()](error_code error) {
            if (!error && !self->started_) self->refuse();
        });
    }

    void post(const Picture& picture) override {
        net::post(stream_.get_executor(), [self = shared_from_this(), picture] { self->offer(picture); });
    }

private:
    // A read outstanding for as long as the client is there: it holds the
    // session between pictures and tells when the client went. Past the
    // stream's own timeouts, which are the writes'.
    void listen() {
        stream_.socket().async_read_some(net::buffer(ignored_), [self = shared_from_this()](error_code error, size_t) {
            if (error) return self->finish();
            self->listen();
        });
    }

    void offer(const Picture& picture) {
        if (done_) return;
        if (!picture.jpeg) { // the camera was closed
            if (!started_) return refuse();
            ending_ = true;
            if (!writing_) finish();
            return;
        }
        pending_ = picture;
        if (!writing_) writeNext();
    }

    void refuse() {
        if (done_) return; // a timer that fired as the camera closed: answered once
        done_ = true;
        timer_.cancel();
        core_.remove<PictureClient>(core_.watchers, this);
        Request request;
        request.version(version_);
        request.keep_alive(false);
        auto response =
            std::make_shared<Response>(failure(request, http::status::service_unavailable, "no camera is streaming"));
        if (!origin_.empty()) response->set(http::field::access_control_allow_origin, origin_);
        stream_.expires_after(core_.options.idle);
        http::async_write(stream_, *response, [self = shared_from_this(), response](error_code, size_t) {
            error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        });
    }

    void writeNext() {
        if (!pending_ || done_) return;
        current_ = std::move(*pending_);
        pending_.reset();
        std::string head;
        if (!started_) {
            started_ = true;
            timer_.cancel();
            http::response<http::empty_body> header{http::status::ok, version_};
            header.set(http::field::server, "velcapd");
            header.set(http::field::content_type, "multipart/x-mixed-replace; boundary=velcapframe");
            header.set(http::field::cache_control, "no-store");
            if (!origin_.empty()) header.set(http::field::access_control_allow_origin, origin_);
            header.keep_alive(false);
            std::ostringstream text;
            text << header.base();
            head = text.str();
        }
        // Each part is followed by its boundary at once: a browser shows a
        // picture when the boundary after it comes, not a frame later. The
        // bytes are those of boundaries before parts. The camera's timestamp
        // lets a client on this machine measure the delay.
        if (!head.empty()) head += "--velcapframe\r\n";
        part_ = head + "Content-Type: image/jpeg\r\nContent-Length: " + std::to_string(current_.jpeg->size()) +
                "\r\nX-Velcap-Frame: " + std::to_string(current_.number) +
                "\r\nX-Velcap-Timestamp: " + std::to_string(current_.timestamp) + "\r\n\r\n";
        static const char kEnd[] = "\r\n--velcapframe\r\n";
        const std::array<net::const_buffer, 3> pieces{net::buffer(part_), net::buffer(*current_.jpeg),
                                                      net::buffer(kEnd, sizeof(kEnd) - 1)};
        writing_ = true;
        // A client that does not take a picture within the idle time is dropped.
        stream_.expires_after(core_.options.idle);
        net::async_write(stream_, pieces, [self = shared_from_this()](error_code error, size_t) {
            self->writing_ = false;
            if (error) return self->finish();
            if (self->ending_) return self->finish();
            self->writeNext();
        });
    }

    void finish() {
        done_ = true;
        timer_.cancel();
        core_.remove<PictureClient>(core_.watchers, this);
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    Core& core_;
    beast::tcp_stream stream_;
    std::shared_ptr<ClientSlot> slot_;
    std::string origin_;
    unsigned version_;
    net::steady_timer timer_;
    std::optional<Picture> pending_;
    Picture current_;
    std::string part_;
    char ignored_[512];
    bool started_ = false, writing_ = false, ending_ = false, done_ = false;
};

// Commands as WebSocket messages {"cmd":...,"id":...}, answered with their
// id, and the hub's events. What the client has not taken is bounded.
class WebSocketSession : public std::enable_shared_from_this<WebSocketSession>, public EventClient {
public:
    WebSocketSession(Core& core, beast::tcp_stream&& stream, std::shared_ptr<ClientSlot> slot)
        : core_(core), ws_(std::move(stream)), slot_(std::move(slot)) {}

    void start(Request request) {
        ws_.read_message_max(kBodyLimit);
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.idle_timeout = 6 * core_.options.idle; // pinged meanwhile; a client that answers no ping goes
        timeouts.keep_alive_pings = true;
        beast::get_lowest_layer(ws_).expires_never();
        ws_.set_option(timeouts);
        auto held = std::make_shared<Request>(std::move(request));
        ws_.async_accept(*held, [self = shared_from_this(), held](error_code error) {
            if (error) return;
            {
                std::lock_guard lock(self->core_.mutex);
                self->core_.listeners.push_back(self);
            }
            self->read();
        });
    }

    void post(std::shared_ptr<const std::string> event) override {
        net::post(ws_.get_executor(), [self = shared_from_this(), event] { self->enqueue(event); });
    }

    ~WebSocketSession() override = default;

private:
    void read() {
        if (closed_ || reading_ || inFlight_ >= kCommandsInFlight) return;
        reading_ = true;
        ws_.async_read(buffer_, [self = shared_from_this()](error_code error, size_t) {
            self->reading_ = false;
            if (error) return self->end();
            self->onMessage(beast::buffers_to_string(self->buffer_.data()));
            self->buffer_.consume(self->buffer_.size());
            self->read();
        });
    }

    void onMessage(const std::string& text) {
        std::string why;
        std::optional<Json> command = parsedObject(text, why);
        if (command && (!command->contains("cmd") || !(*command)["cmd"].is_string()))
            why = "a command is a JSON object with \"cmd\"", command.reset();
        if (!command) {
            Json reply = {{"ok", false}, {"error", why}};
            if (why.rfind("JSON is nested", 0) != 0) {
                const Json parsed = Json::parse(text, nullptr, false);
                if (parsed.is_object() && parsed.contains("id")) reply["id"] = parsed["id"];
            }
            return enqueue(
                std::make_shared<const std::string>(reply.dump(-1, ' ', false, Json::error_handler_t::replace)));
        }
        ++inFlight_;
        // The hub's commands may take seconds: off the network threads.
        net::post(*core_.workers, [self = shared_from_this(), command = std::move(*command)] {
            Json reply = self->core_.hub.run(command["cmd"].get<std::string>(), command);
            reply.erase(kStatusKey);
            if (command.contains("id")) reply["id"] = command["id"];
            auto text = std::make_shared<const std::string>(reply.dump(-1, ' ', false, Json::error_handler_t::replace));
            net::post(self->ws_.get_executor(), [self, text] {
                --self->inFlight_;
                self->enqueue(text);
                self->read();
            });
        });
    }

    void enqueue(std::shared_ptr<const std::string> text) {
        if (closed_) return;
        if (queue_.size() >= core_.options.queuedMessages || queuedBytes_ + text->size() > core_.options.queuedBytes) {
            // A client that does not read what it asked for is closed, not fed forever.
            closed_ = true;
            queue_.clear();
            queuedBytes_ = 0;
            beast::get_lowest_layer(ws_).close();
            return end();
        }
        queuedBytes_ += text->size();
        queue_.push_back(std::move(text));
        if (!writing_) writeNext();
    }

    void writeNext() {
        if (queue_.empty() || closed_) return;
        writing_ = true;
        ws_.text(true);
        ws_.async_write(net::buffer(*queue_.front()), [self = shared_from_this()](error_code error, size_t) {
            self->writing_ = false;
            if (self->closed_) return;
            self->queuedBytes_ -= self->queue_.front()->size();
            self->queue_.pop_front();
            if (error) return self->end();
            self->writeNext();
        });
    }

    void end() {
        closed_ = true;
        core_.remove<EventClient>(core_.listeners, this);
    }

    Core& core_;
    websocket::stream<beast::tcp_stream> ws_;
    std::shared_ptr<ClientSlot> slot_;
    beast::flat_buffer buffer_;
    std::deque<std::shared_ptr<const std::string>> queue_;
    size_t queuedBytes_ = 0;
    int inFlight_ = 0;
    bool reading_ = false, writing_ = false, closed_ = false;
};

// One HTTP connection: requests one after another, each routed once.
class HttpSession : public std::enable_shared_from_this<HttpSession>, public PictureClient {
public:
    // network: accepted on the listener for other machines.
    HttpSession(Core& core, tcp::socket&& socket, bool network)
        : core_(core), stream_(std::move(socket)), timer_(stream_.get_executor()), network_(network) {}
    ~HttpSession() override {
        forgetAnonymous();
        if (waiting_) core_.hub.watch(false);
    }

    // Counts the connection against the budget of those without the token;
    // the oldest is closed when it is spent.
    void start() {
        std::function<void()> evicted;
        {
            std::lock_guard lock(core_.mutex);
            std::weak_ptr<HttpSession> weak = shared_from_this();
            anonymousId_ = ++core_.lastAnonymous;
            core_.anonymous.push_back({anonymousId_, [weak] {
                                           if (auto self = weak.lock())
                                               net::post(self->stream_.get_executor(), [self] {
                                                   // Not once it has shown the token: its stream may have
                                                   // gone to a stream or WebSocket session meanwhile.
                                                   if (!self->slot_) self->stream_.socket().close();
                                               });
                                       }});
            if (int(core_.anonymous.size()) > core_.options.anonymousBudget) {
                evicted = std::move(core_.anonymous.front().close);
                core_.anonymous.pop_front();
            }
        }
        // An evicted session finds itself unlisted through its closed socket.
        if (evicted) evicted();
        net::dispatch(stream_.get_executor(), [self = shared_from_this()] { self->read(); });
    }

    void post(const Picture& picture) override {
        net::post(stream_.get_executor(), [self = shared_from_this(), picture] { self->sendSnapshot(picture); });
    }

private:
    void forgetAnonymous() {
        if (!anonymousId_) return;
        std::lock_guard lock(core_.mutex);
        core_.anonymous.remove_if([&](const Core::Anonymous& entry) { return entry.id == anonymousId_; });
        anonymousId_ = 0;
    }

    void read() {
        parser_.emplace();
        parser_->body_limit(kBodyLimit);
        parser_->header_limit(16 * 1024);
        // Until it has shown the token, a connection has a short while for its request.
        stream_.expires_after(slot_ || mayScan_ ? core_.options.idle : core_.options.firstRequest);
        http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](error_code error, size_t) {
            if (error == http::error::body_limit) return self->refuseBody();
            if (error) return self->close();
            self->handle(self->parser_->release());
        });
    }

    void handle(Request request) {
        origin_ = std::string(request[http::field::origin]);
        const beast::string_view target = request.target();
        const std::string path(target.substr(0, target.find('?')));
        if (path == "/eSCL" || path.rfind("/eSCL/", 0) == 0) return escl(std::move(request), path);
        // Other machines reach the scanner only: the API and the stream are this machine's.
        if (network_) return sendEscl(request, {404, "text/plain", "only /eSCL/ is served here\n", {}});
        if (!core_.originAllowed(origin_))
            return send(failure(request, http::status::forbidden, "the origin " + origin_ + " is not allowed"), false);
        if (request.method() == http::verb::options) {
            Response response{http::status::no_content, request.version()};
            response.set(http::field::access_control_allow_methods, "GET, POST, OPTIONS");
            response.set(http::field::access_control_allow_headers, "Authorization, Content-Type");
            response.set(http::field::access_control_max_age, "600");
            // Chrome asks before a public page may reach a local service.
            if (request["Access-Control-Request-Private-Network"] == "true")
                response.set("Access-Control-Allow-Private-Network", "true");
            response.keep_alive(request.keep_alive());
            return send(std::move(response));
        }
        if (request.method() == http::verb::get && (path == "/" || path == "/index.html")) {
            Response response{http::status::ok, request.version()};
            response.set(http::field::content_type, "text/html; charset=utf-8");
            response.keep_alive(request.keep_alive());
            response.body() = demoPage();
            response.prepare_payload();
            return send(std::move(response));
        }

        std::string token = parameter(target, "token");
        const std::string authorization(request[http::field::authorization]);
        if (authorization.rfind("Bearer ", 0) == 0) token = authorization.substr(7);
        if (!sameSecret(token, core_.options.token))
            return send(failure(request, http::status::unauthorized, "a valid token is needed"), false);
        if (!slot_) {
            forgetAnonymous();
            std::lock_guard lock(core_.mutex);
            if (core_.clients >= core_.options.mostClients) {
                request.keep_alive(false);
                return send(failure(request, http::status::service_unavailable, "too many clients; try again"), false);
            }
            ++core_.clients;
            slot_ = std::make_shared<ClientSlot>(core_);
        }

        const auto route = routes().find(std::string(request.method_string()) + " " + path);
        if (route == routes().end())
            return send(failure(request, http::status::not_found,
                                "no such thing: " + std::string(request.method_string()) + " " + path));
        switch (route->second.kind) {
        case Kind::webSocket:
            if (!websocket::is_upgrade(request))
                return send(failure(request, http::status::bad_request, "/ws takes a WebSocket"));
            return std::make_shared<WebSocketSession>(core_, std::move(stream_), slot_)->start(std::move(request));
        case Kind::stream:
            return std::make_shared<StreamSession>(core_, std::move(stream_), slot_, allowedOrigin(), request.version())
                ->start();
        case Kind::snapshot:
            return awaitSnapshot(std::move(request));
        case Kind::command:
            return command(route->second.command, std::move(request));
        }
    }

    // SANE programs send no token: eSCL answers programs of velcapd's own
    // user on this machine, and no web page (no Origin, no form's body).
    void escl(Request request, const std::string& path) {
        const bool fromPage = !origin_.empty();
        origin_.clear(); // no CORS header on any eSCL answer
        if (!core_.escl)
            return send(failure(request, http::status::not_found, "no such thing: " + path + " (eSCL is off)"));
        if (fromPage) return sendEscl(request, {403, "text/plain", "eSCL does not answer web pages\n", {}});
        if (network_ && !allowedMachine())
            return sendEscl(request, {403, "text/plain", "this machine's address is not allowed to scan\n", {}});
        if (!network_ && !ownUsersPeer())
            return sendEscl(request, {403, "text/plain", "eSCL answers only programs of velcapd's own user\n", {}});
        const std::string& asker = network_ ? peerAddress_ : kLocal;
        forgetAnonymous();
        std::string host(request[http::field::host]);
        if (host.empty()) host = core_.options.address + ":" + std::to_string(core_.port.load());
        const std::string base = "http://" + host + "/eSCL";
        const std::string jobs = "/eSCL/ScanJobs/";
        const http::verb method = request.method();
        Escl& scanner = *core_.escl;
        if (method == http::verb::get && path == "/eSCL/ScannerCapabilities")
            return sendEscl(request, scanner.capabilities(base));
        if (method == http::verb::get && path == "/eSCL/ScannerStatus") return sendEscl(request, scanner.status(asker));
        if (method == http::verb::post && path == "/eSCL/ScanJobs") {
            // A browser's form can post text/plain to any address; scan settings are XML.
            std::string type(request[http::field::content_type]);
            type = type.substr(0, type.find(';'));
            type.erase(std::remove(type.begin(), type.end(), ' '), type.end());
            std::transform(type.begin(), type.end(), type.begin(), [](unsigned char c) { return std::tolower(c); });
            if (type != "text/xml" && type != "application/xml")
                return sendEscl(request, {415, "text/plain", "scan settings are text/xml\n", {}});
            std::string id;
            EsclReply reply = scanner.createJob(request.body(), base, id, asker);
            if (reply.status == 201) net::post(*core_.workers, [&scanner, id] { scanner.scan(id); });
            return sendEscl(request, std::move(reply));
        }
        if (path.rfind(jobs, 0) == 0) {
            std::string job = path.substr(jobs.size());
            const std::string next = "/NextDocument";
            if (method == http::verb::get && job.size() > next.size() &&
                job.compare(job.size() - next.size(), next.size(), next) == 0) {
                job.resize(job.size() - next.size());
                auto held = std::make_shared<Request>(std::move(request));
                // It waits for the scan: off the network threads.
                net::post(*core_.workers, [self = shared_from_this(), held, job, asker, &scanner] {
                    auto reply = std::make_shared<EsclReply>(scanner.nextDocument(job, asker));
                    net::post(self->stream_.get_executor(),
                              [self, held, reply] { self->sendEscl(*held, std::move(*reply)); });
                });
                return;
            }
            if (method == http::verb::delete_ && job.find('/') == std::string::npos)
                return sendEscl(request, scanner.cancel(job, asker));
        }
        return sendEscl(request, {404, "text/plain", "no such thing: " + path + "\n", {}});
    }

    // Whether the other end is a program of this user on this machine; asked of the kernel once a connection.
    bool ownUsersPeer() {
        if (peerChecked_) return mayScan_;
        peerChecked_ = true;
        error_code remoteError, localError;
        const tcp::endpoint remote = stream_.socket().remote_endpoint(remoteError);
        const tcp::endpoint local = stream_.socket().local_endpoint(localError);
        if (remoteError || localError || !remote.address().is_loopback()) return mayScan_ = false;
        const std::optional<unsigned> uid =
            loopbackPeerUid(remote.address().to_string(), remote.port(), local.address().to_string(), local.port());
        return mayScan_ = uid && *uid == unsigned(::getuid());
    }

    // Whether another machine's address is on the allow-list; it is then the owner of its jobs.
    bool allowedMachine() {
        if (peerChecked_) return mayScan_;
        peerChecked_ = true;
        error_code error;
        const tcp::endpoint remote = stream_.socket().remote_endpoint(error);
        if (error) return mayScan_ = false;
        peerAddress_ = remote.address().to_string();
        return mayScan_ = core_.options.esclAllowed.contains(peerAddress_);
    }

    void sendEscl(const Request& request, EsclReply reply) {
        Response response{http::status(reply.status), request.version()};
        response.set(http::field::server, "velcapd");
        response.set(http::field::content_type, reply.contentType);
        response.set(http::field::cache_control, "no-store");
        if (!reply.location.empty()) response.set(http::field::location, reply.location);
        response.keep_alive(request.keep_alive());
        response.body() = std::move(reply.body);
        response.prepare_payload();
        send(std::move(response));
    }

    std::string allowedOrigin() const { return origin_.empty() ? std::string() : origin_; }

    void command(const std::string& name, Request request) {
        Json body = Json::object();
        if (request.method() == http::verb::post && !request.body().empty()) {
            std::string why;
            std::optional<Json> parsed = parsedObject(request.body(), why);
            if (!parsed) return send(failure(request, http::status::bad_request, why));
            body = std::move(*parsed);
        }
        auto held = std::make_shared<Request>(std::move(request));
        // The hub's commands may take seconds: off the network threads.
        net::post(*core_.workers, [self = shared_from_this(), name, body = std::move(body), held] {
            Json reply = self->core_.hub.run(name, body);
            const int status = takeStatus(reply);
            auto response = std::make_shared<Response>(answer(*held, http::status(status), reply));
            net::post(self->stream_.get_executor(), [self, response] { self->send(std::move(*response)); });
        });
    }

    // A snapshot is a picture taken after the request came.
    void awaitSnapshot(Request request) {
        snapshotRequest_ = std::move(request);
        const Picture away = core_.hub.awayPicture();
        if (away.jpeg) return respondSnapshot(away);
        waiting_ = true;
        core_.hub.watch(true);
        {
            std::lock_guard lock(core_.mutex);
            core_.watchers.push_back(shared_from_this());
        }
        timer_.expires_after(kPictureWait);
        timer_.async_wait([self = shared_from_this()](error_code error) {
            if (!error) self->sendSnapshot({});
        });
    }

    void sendSnapshot(const Picture& picture) {
        if (!waiting_) return; // served already
        waiting_ = false;
        timer_.cancel();
        core_.hub.watch(false);
        core_.remove<PictureClient>(core_.watchers, this);
        respondSnapshot(picture);
    }

    void respondSnapshot(const Picture& picture) {
        const Request& request = snapshotRequest_;
        if (!picture.jpeg) return send(failure(request, http::status::service_unavailable, "no camera is streaming"));
        Response response{http::status::ok, request.version()};
        response.set(http::field::server, "velcapd");
        response.set(http::field::content_type, "image/jpeg");
        response.set(http::field::cache_control, "no-store");
        response.set("X-Velcap-Frame", std::to_string(picture.number));
        response.set("X-Velcap-Timestamp", std::to_string(picture.timestamp));
        response.set(http::field::access_control_expose_headers, "X-Velcap-Frame, X-Velcap-Timestamp");
        response.keep_alive(request.keep_alive());
        response.body() = *picture.jpeg;
        response.prepare_payload();
        send(std::move(response));
    }

    void send(Response response, bool keepAlive = true) {
        if (!origin_.empty() && core_.originAllowed(origin_)) {
            response.set(http::field::access_control_allow_origin, origin_);
            response.set(http::field::vary, "Origin");
        }
        if (!keepAlive) response.keep_alive(false);
        auto held = std::make_shared<Response>(std::move(response));
        stream_.expires_after(core_.options.idle);
        http::async_write(stream_, *held, [self = shared_from_this(), held](error_code error, size_t) {
            if (error || !held->keep_alive()) return self->close();
            self->read();
        });
    }

    // A body over the limit: the answer, then the rest of the body read and
    // dropped for a while, so that the client reads the answer instead of a
    // reset connection.
    void refuseBody() {
        Request request;
        request.version(11);
        request.keep_alive(false);
        auto response =
            std::make_shared<Response>(failure(request, http::status::payload_too_large, "the body is over 1 MB"));
        stream_.expires_after(core_.options.idle);
        http::async_write(stream_, *response, [self = shared_from_this(), response](error_code error, size_t) {
            if (error) return self->close();
            error_code ignored;
            self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
            self->scratch_.resize(64 * 1024);
            self->drain();
        });
    }

    void drain() {
        stream_.expires_after(1s);
        stream_.async_read_some(net::buffer(scratch_), [self = shared_from_this()](error_code error, size_t n) {
            self->drained_ += n;
            if (error || self->drained_ > 16 * kBodyLimit) return self->close();
            self->drain();
        });
    }

    void close() {
        error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    Core& core_;
    beast::tcp_stream stream_;
    net::steady_timer timer_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<ClientSlot> slot_; // set once the token was shown
    std::uint64_t anonymousId_ = 0;    // while listed among the connections without the token
    std::string origin_;
    Request snapshotRequest_;
    bool waiting_ = false;
    const bool network_;
    bool peerChecked_ = false, mayScan_ = false;
    std::string peerAddress_; // another machine's, on the network listener
    std::vector<char> scratch_;
    size_t drained_ = 0;
};

// Accepts connections, each on a strand of its own.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    Listener(Core& core, net::io_context& context, tcp::acceptor&& acceptor, bool network)
        : core_(core), context_(context), acceptor_(std::move(acceptor)), network_(network) {}
    void accept() {
        acceptor_.async_accept(
            net::make_strand(context_), [self = shared_from_this()](error_code error, tcp::socket socket) {
                if (error == net::error::operation_aborted || !self->acceptor_.is_open()) return;
                if (!error && self->welcome(socket))
                    std::make_shared<HttpSession>(self->core_, std::move(socket), self->network_)->start();
                self->accept();
            });
    }

private:
    // Machines off the allow-list are not served at all: they cannot crowd
    // out this machine's connections that have not shown the token yet.
    bool welcome(tcp::socket& socket) const {
        if (!network_) return true;
        error_code error;
        const tcp::endpoint remote = socket.remote_endpoint(error);
        if (!error && core_.options.esclAllowed.contains(remote.address().to_string())) return true;
        socket.close(error);
        return false;
    }

    Core& core_;
    net::io_context& context_;
    tcp::acceptor acceptor_;
    const bool network_;
};

// An acceptor listening on address and port, or the error.
error_code listenOn(tcp::acceptor& acceptor, const std::string& text, unsigned short port) {
    error_code error;
    const auto address = net::ip::make_address(text, error);
    const tcp::endpoint endpoint(address, port);
    if (!error) acceptor.open(endpoint.protocol(), error);
    if (!error) acceptor.set_option(net::socket_base::reuse_address(true), error);
    if (!error) acceptor.bind(endpoint, error);
    if (!error) acceptor.listen(net::socket_base::max_listen_connections, error);
    return error;
}

void tick(Core& core, const std::shared_ptr<net::steady_timer>& timer) {
    timer->expires_after(kTick);
    timer->async_wait([&core, timer](error_code error) {
        if (error) return;
        core.hub.tick();
        if (core.escl) core.escl->tick();
        tick(core, timer);
    });
}

} // namespace

Server::Server(Hub& hub, Options options) : core_(std::make_unique<Core>(hub, std::move(options))) {}

Server::~Server() {
    stop();
}

bool Server::run() {
    Core& core = *core_;
    std::unique_lock lock(core.runMutex);
    if (core.stopping) return true;
    core.context = std::make_unique<net::io_context>(core.options.networkThreads);
    core.workers = std::make_unique<net::thread_pool>(size_t(core.options.workerThreads));
    net::io_context& context = *core.context;

    tcp::acceptor acceptor(context), network(context);
    error_code error = listenOn(acceptor, core.options.address, core.options.port);
    const bool toNetwork = core.escl && !core.options.esclAddress.empty();
    if (!error && toNetwork) error = listenOn(network, core.options.esclAddress, core.options.esclPort);
    if (error) {
        core.workers->join();
        core.workers.reset();
        core.context.reset();
        return false;
    }
    core.port = acceptor.local_endpoint().port();
    port_ = core.port.load();
    if (toNetwork) esclPort_ = network.local_endpoint().port();

    core.hub.setPictureSink([&core](const Picture& picture) { core.offer(picture); });
    core.hub.setEventSink([&core](const Json& event) { core.broadcast(event); });
    std::make_shared<Listener>(core, context, std::move(acceptor), false)->accept();
    if (toNetwork) std::make_shared<Listener>(core, context, std::move(network), true)->accept();
    tick(core, std::make_shared<net::steady_timer>(context));
    lock.unlock();
    if (core.options.listening) core.options.listening(port_);

    std::vector<std::thread> threads;
    for (int i = 1; i < core.options.networkThreads; ++i) threads.emplace_back([&context] { context.run(); });
    context.run();
    for (std::thread& thread : threads) thread.join();

    // The commands under way end; what they post is dropped with the loop.
    if (core.escl) core.escl->stop();
    core.workers->join();
    core.hub.setPictureSink(nullptr);
    core.hub.setEventSink(nullptr);
    lock.lock();
    core.workers.reset();
    core.context.reset(); // every session ends here, on this thread
    {
        std::lock_guard registries(core.mutex);
        core.anonymous.clear();
        core.watchers.clear();
        core.listeners.clear();
    }
    return true;
}

void Server::stop() {
    std::lock_guard lock(core_->runMutex);
    core_->stopping = true;
    if (core_->context) core_->context->stop();
}

} // namespace velcapd
