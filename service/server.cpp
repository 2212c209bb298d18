#include "server.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <list>
#include <thread>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>

#include "page.h"

namespace velcapd {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using namespace std::chrono_literals;

namespace {

constexpr size_t kBodyLimit = 1024 * 1024;
constexpr int kMostConnections = 64;

using Request = http::request<http::string_body>;
using Response = http::response<http::string_body>;

Response answer(const Request& request, http::status status, const Json& body) {
    Response response{status, request.version()};
    response.set(http::field::server, "velcapd");
    response.set(http::field::content_type, "application/json; charset=utf-8");
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
    response.body() = body.dump();
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
    std::string query(target.substr(question + 1));
    size_t start = 0;
    while (start <= query.size()) {
        size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(start, end - start);
        if (pair.compare(0, name.size() + 1, name + "=") == 0) return pair.substr(name.size() + 1);
        start = end + 1;
    }
    return {};
}

std::string pathOf(beast::string_view target) {
    return std::string(target.substr(0, target.find('?')));
}

// Compares without leaving the time it takes to tell how much matched.
bool sameSecret(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i) difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

// Runs one asynchronous operation of the connection's own context to its
// end: a blocking call whose stream's expiry bounds it.
template <typename Start>
boost::system::error_code complete(net::io_context& context, Start&& start) {
    boost::system::error_code result = net::error::would_block;
    start([&result](boost::system::error_code error, std::size_t = 0) { result = error; });
    context.restart();
    context.run();
    return result;
}

} // namespace

// The WebSocket clients that hear events; each has its own queue, written by
// its own thread.
struct Server::Impl {
    net::io_context context;
    std::unique_ptr<tcp::acceptor> acceptor;
    std::mutex mutex;
    std::condition_variable idle; // connections_ reached 0
    struct Listener {
        std::mutex mutex;
        std::deque<std::string> events;
    };
    std::list<std::shared_ptr<Listener>> listeners;
};

struct Server::Connection {
    net::io_context context; // each connection runs its own, on its own thread
    beast::tcp_stream stream{context};
};

Server::Server(Hub& hub, Options options) : hub_(hub), options_(std::move(options)), impl_(std::make_shared<Impl>()) {
    hub_.setEventSink([this](const Json& event) { broadcast(event); });
}

void Server::broadcast(const Json& event) {
    const std::string text = event.dump();
    std::lock_guard lock(impl_->mutex);
    for (auto& listener : impl_->listeners) {
        std::lock_guard queue(listener->mutex);
        if (listener->events.size() < 64) listener->events.push_back(text); // a client that never reads loses events
    }
}

bool Server::originAllowed(const std::string& origin) const {
    if (origin.empty()) return true; // not a browser's cross-origin request
    const std::string port = std::to_string(port_.load());
    for (const std::string& own :
         {"http://127.0.0.1:" + port, "http://localhost:" + port, "http://" + options_.address + ":" + port})
        if (origin == own) return true;
    for (const std::string& allowed : options_.allowedOrigins)
        if (origin == allowed) return true;
    return false;
}

bool Server::run() {
    boost::system::error_code error;
    const auto address = net::ip::make_address(options_.address, error);
    if (error) return false;
    impl_->acceptor = std::make_unique<tcp::acceptor>(impl_->context);
    tcp::endpoint endpoint(address, options_.port);
    impl_->acceptor->open(endpoint.protocol(), error);
    if (!error) impl_->acceptor->set_option(net::socket_base::reuse_address(true), error);
    if (!error) impl_->acceptor->bind(endpoint, error);
    if (!error) impl_->acceptor->listen(net::socket_base::max_listen_connections, error);
    if (error) return false;
    port_ = impl_->acceptor->local_endpoint().port();
    running_ = true;
    if (options_.listening) options_.listening(port_);
    while (running_) {
        auto connection = std::make_unique<Connection>();
        impl_->acceptor->accept(connection->stream.socket(), error);
        if (!running_) break;
        if (error || connections_ >= kMostConnections) continue; // too many at once: dropped
        ++connections_;
        std::thread([this, c = std::move(connection)] {
            serve(*c);
            std::lock_guard lock(impl_->mutex);
            if (--connections_ == 0) impl_->idle.notify_all();
        }).detach();
    }
    // Every connection ends within its idle time once the camera stops.
    std::unique_lock lock(impl_->mutex);
    impl_->idle.wait_for(lock, options_.idle + 5s, [&] { return connections_ == 0; });
    return true;
}

void Server::stop() {
    running_ = false;
    boost::system::error_code ignored;
    if (impl_->acceptor) {
        // Wakes the blocking accept.
        tcp::socket poke(impl_->context);
        poke.connect(impl_->acceptor->local_endpoint(), ignored);
        impl_->acceptor->close(ignored);
    }
}

void Server::serve(Connection& connection) {
    net::io_context& context = connection.context;
    beast::tcp_stream& stream = connection.stream;
    beast::flat_buffer buffer;
    boost::system::error_code error;
    while (running_) {
        http::request_parser<http::string_body> parser;
        parser.body_limit(kBodyLimit);
        parser.header_limit(16 * 1024);
        stream.expires_after(options_.idle); // a slow or silent client is dropped
        error = complete(context, [&](auto handler) { http::async_read(stream, buffer, parser, handler); });
        if (error == http::error::body_limit) {
            Request request;
            request.version(11);
            request.keep_alive(false);
            Response response = failure(request, http::status::payload_too_large, "the body is over 1 MB");
            complete(context, [&](auto handler) { http::async_write(stream, response, handler); });
            // The rest of the body is read and dropped for a while, so that the
            // client gets to read the answer instead of a reset connection.
            boost::system::error_code ignored;
            stream.socket().shutdown(tcp::socket::shutdown_send, ignored);
            std::vector<char> scratch(64 * 1024);
            size_t drained = 0;
            while (drained < 16 * kBodyLimit) {
                stream.expires_after(std::chrono::seconds(1));
                size_t n = 0;
                const auto error = complete(context, [&](auto handler) {
                    stream.async_read_some(net::buffer(scratch), [&n, handler](auto e, size_t bytes) {
                        n = bytes;
                        handler(e, bytes);
                    });
                });
                if (error) break;
                drained += n;
            }
            return;
        }
        if (error) return; // closed, idle too long, or not HTTP
        Request request = parser.release();
        const std::string origin(request[http::field::origin]);
        const std::string path = pathOf(request.target());

        auto send = [&](Response response) {
            if (!origin.empty() && originAllowed(origin)) {
                response.set(http::field::access_control_allow_origin, origin);
                response.set(http::field::vary, "Origin");
            }
            stream.expires_after(options_.idle);
            error = complete(context, [&](auto handler) { http::async_write(stream, response, handler); });
            return !error && response.keep_alive();
        };

        if (!originAllowed(origin)) {
            send(failure(request, http::status::forbidden, "the origin " + origin + " is not allowed"));
            return;
        }
        if (request.method() == http::verb::options) {
            Response response{http::status::no_content, request.version()};
            response.set(http::field::access_control_allow_methods, "GET, POST, OPTIONS");
            response.set(http::field::access_control_allow_headers, "Authorization, Content-Type");
            response.set(http::field::access_control_max_age, "600");
            // Chrome asks before a public page may reach a local service.
            if (request["Access-Control-Request-Private-Network"] == "true")
                response.set("Access-Control-Allow-Private-Network", "true");
            response.keep_alive(request.keep_alive());
            if (!send(std::move(response))) return;
            continue;
        }
        if (request.method() == http::verb::get && (path == "/" || path == "/index.html")) {
            Response response{http::status::ok, request.version()};
            response.set(http::field::content_type, "text/html; charset=utf-8");
            response.keep_alive(request.keep_alive());
            response.body() = demoPage();
            response.prepare_payload();
            if (!send(std::move(response))) return;
            continue;
        }

        std::string token = parameter(request.target(), "token");
        const std::string authorization(request[http::field::authorization]);
        if (authorization.rfind("Bearer ", 0) == 0) token = authorization.substr(7);
        if (!sameSecret(token, options_.token)) {
            send(failure(request, http::status::unauthorized, "a valid token is needed"));
            return;
        }

        if (path == "/ws" && websocket::is_upgrade(request)) return serveWebSocket(connection, request);

        if (request.method() == http::verb::get && (path == "/stream" || path == "/snapshot")) {
            hub_.watch(true);
            // ?after=N waits for a frame newer than N, the number the last answer carried.
            const std::string after = parameter(request.target(), "after");
            Picture picture = hub_.pictureAfter(after.empty() ? 0 : std::strtoull(after.c_str(), nullptr, 10), 3s);
            if (!picture.jpeg || path == "/snapshot") {
                hub_.watch(false);
                if (!picture.jpeg) {
                    if (!send(failure(request, http::status::service_unavailable, "no camera is streaming"))) return;
                    continue;
                }
                Response response{http::status::ok, request.version()};
                response.set(http::field::content_type, "image/jpeg");
                response.set(http::field::cache_control, "no-store");
                response.set("X-Velcap-Frame", std::to_string(picture.number));
                response.set(http::field::access_control_expose_headers, "X-Velcap-Frame");
                response.keep_alive(request.keep_alive());
                response.body() = *picture.jpeg;
                response.prepare_payload();
                if (!send(std::move(response))) return;
                continue;
            }
            // multipart/x-mixed-replace: one part a frame, as long as the client takes them.
            http::response<http::empty_body> head{http::status::ok, request.version()};
            head.set(http::field::content_type, "multipart/x-mixed-replace; boundary=velcapframe");
            head.set(http::field::cache_control, "no-store");
            if (!origin.empty()) head.set(http::field::access_control_allow_origin, origin);
            head.keep_alive(false);
            http::response_serializer<http::empty_body> serializer{head};
            stream.expires_after(options_.idle);
            error = complete(context, [&](auto handler) { http::async_write_header(stream, serializer, handler); });
            while (!error && running_ && picture.jpeg) {
                // The camera's timestamp lets a client on this machine measure the delay.
                const std::string part = "--velcapframe\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                                         std::to_string(picture.jpeg->size()) +
                                         "\r\nX-Velcap-Timestamp: " + std::to_string(picture.timestamp) + "\r\n\r\n";
                const std::array<net::const_buffer, 3> pieces{net::buffer(part), net::buffer(*picture.jpeg),
                                                              net::buffer("\r\n", 2)};
                // A client that does not take a frame within the idle time is dropped.
                stream.expires_after(options_.idle);
                error = complete(context, [&](auto handler) { net::async_write(stream, pieces, handler); });
                picture = hub_.pictureAfter(picture.number, 5s);
            }
            hub_.watch(false);
            return;
        }

        // The JSON API.
        Json body = Json::object();
        if (request.method() == http::verb::post && !request.body().empty()) {
            body = Json::parse(request.body(), nullptr, false);
            if (body.is_discarded() || !body.is_object()) {
                if (!send(failure(request, http::status::bad_request, "the body is not a JSON object"))) return;
                continue;
            }
        }
        std::string command;
        if (request.method() == http::verb::get && path == "/api/devices")
            command = "devices";
        else if (request.method() == http::verb::get && path == "/api/controls")
            command = "controls";
        else if (request.method() == http::verb::post && path == "/api/controls")
            command = "setControls";
        else if (request.method() == http::verb::post && path == "/api/open")
            command = "open";
        else if (request.method() == http::verb::post && path == "/api/close")
            command = "close";
        else if (request.method() == http::verb::post && path == "/api/capture")
            command = "capture";
        else if (request.method() == http::verb::post && path == "/api/scan")
            command = "scan";
        else if (request.method() == http::verb::post && path == "/api/autocapture")
            command = "autoCapture";
        else if (request.method() == http::verb::post && path == "/api/idcard")
            command = "idcard";
        if (command.empty()) {
            if (!send(failure(request, http::status::not_found,
                              "no such thing: " + std::string(request.method_string()) + " " + path)))
                return;
            continue;
        }
        const Json result = hub_.run(command, body);
        const bool ok = result.value("ok", false);
        if (!send(answer(request, ok ? http::status::ok : http::status::unprocessable_entity, result))) return;
    }
}

void Server::serveWebSocket(Connection& connection, const Request& request) {
    net::io_context& context = connection.context;
    websocket::stream<beast::tcp_stream> ws(std::move(connection.stream));
    ws.read_message_max(kBodyLimit);
    websocket::stream_base::timeout timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
    timeouts.idle_timeout = 6 * options_.idle; // pinged meanwhile; a client that answers no ping goes
    timeouts.keep_alive_pings = true;
    beast::get_lowest_layer(ws).expires_never();
    ws.set_option(timeouts);
    if (complete(context, [&](auto handler) { ws.async_accept(request, handler); })) return;
    auto listener = std::make_shared<Impl::Listener>();
    {
        std::lock_guard lock(impl_->mutex);
        impl_->listeners.push_back(listener);
    }
    // One read outstanding; writes one after another from a queue; a timer
    // brings the events other threads queued.
    std::deque<std::string> outgoing;
    bool writing = false, done = false;
    beast::flat_buffer message;
    net::steady_timer tick(context);
    std::function<void()> writeNext = [&] {
        if (writing || outgoing.empty() || done) return;
        writing = true;
        ws.text(true);
        ws.async_write(net::buffer(outgoing.front()), [&](boost::system::error_code error, std::size_t) {
            writing = false;
            outgoing.pop_front();
            if (error) done = true, tick.cancel();
            writeNext();
        });
    };
    std::function<void()> readNext = [&] {
        ws.async_read(message, [&](boost::system::error_code error, std::size_t) {
            if (error) {
                done = true;
                tick.cancel();
                return;
            }
            Json reply;
            const Json command = Json::parse(beast::buffers_to_string(message.data()), nullptr, false);
            message.clear();
            if (command.is_discarded() || !command.is_object() || !command.contains("cmd") ||
                !command["cmd"].is_string())
                reply = {{"ok", false}, {"error", "a command is a JSON object with \"cmd\""}};
            else
                reply = hub_.run(command["cmd"].get<std::string>(), command);
            if (command.is_object() && command.contains("id")) reply["id"] = command["id"];
            outgoing.push_back(reply.dump());
            writeNext();
            readNext();
        });
    };
    std::function<void()> poll = [&] {
        tick.expires_after(100ms);
        tick.async_wait([&](boost::system::error_code error) {
            if (error || done) return;
            if (!running_) {
                done = true;
                beast::get_lowest_layer(ws).cancel();
                return;
            }
            {
                std::lock_guard queue(listener->mutex);
                for (std::string& event : listener->events) outgoing.push_back(std::move(event));
                listener->events.clear();
            }
            writeNext();
            poll();
        });
    };
    readNext();
    poll();
    context.restart();
    context.run();
    std::lock_guard lock(impl_->mutex);
    impl_->listeners.remove(listener);
}

} // namespace velcapd
