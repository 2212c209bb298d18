// velcapd through real HTTP and WebSocket clients, on the virtual camera:
// the token and origin rules, the API, the stream, and bad input.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast.hpp>
#include <boost/beast/websocket.hpp>
#include <opencv2/imgcodecs.hpp>
#include <pugixml.hpp>
#include <turbojpeg.h>

#include "escl.h"
#include "hub.h"
#include "jpeg.h"
#include "log_lines.h"
#include "page.h"
#include "server.h"
#include "support/capture_test.h"
#include "support/shell.h"
#include "vcam.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = net::ip::tcp;
using velcapd::Json;
using namespace std::chrono_literals;

const std::string kToken = "0123456789abcdef0123456789abcdef";

struct Reply {
    int status = 0;
    std::string body;
    http::fields headers;
    Json json() const { return Json::parse(body, nullptr, false); }
};

class Service : public velcap::test::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        // Captures without a path go to ~/Image: here, the test's own folder.
        setenv("HOME", file("").c_str(), 1);
        ::mkdir(file("allowed").c_str(), 0755);
        places_.saveFolder = file("");
        places_.allowedFolders = {file("allowed")};
        places_.privateFolder = file("private");
        startService(places_);
    }
    void startService(const velcapd::HubOptions& places, velcapd::Options options = {}) {
        options.port = 0;
        options.token = kToken;
        options.allowedOrigins = {"https://counter.example"};
        options.idle = 1s;
        hub_ = std::make_unique<velcapd::Hub>(places);
        server_ = std::make_unique<velcapd::Server>(*hub_, options);
        thread_ = std::thread([this] { server_->run(); });
        while (server_->port() == 0) std::this_thread::yield();
    }
    void stopService() {
        server_->stop();
        thread_.join();
        server_.reset();
        velcap::test::stdoutOf([&] { hub_.reset(); });
    }
    void TearDown() override {
        stopService();
        CaptureTest::TearDown();
    }
    // Other cameras, for a service started after them: a hub's device watch
    // made while the test bed is replaced races umockdev's removal of the old one.
    void presentToANewService(const vcam::Description& description) {
        stopService();
        present(description);
        startService(places_);
    }

    using Headers = std::vector<std::pair<std::string, std::string>>;
    Reply fetch(http::verb method, const std::string& target, const std::string& body = {},
                Headers headers = {{"Authorization", "Bearer " + kToken}}) {
        return fetchFrom("127.0.0.1", server_->port(), method, target, body, std::move(headers));
    }
    // From a source address of the loopback network, as another machine would (127.0.0.2, ...).
    Reply fetchFrom(const std::string& source, unsigned short port, http::verb method, const std::string& target,
                    const std::string& body, const Headers& headers) {
        net::io_context context;
        tcp::socket socket(context);
        socket.open(tcp::v4());
        socket.bind({net::ip::make_address(source), 0});
        socket.connect({net::ip::make_address("127.0.0.1"), port});
        http::request<http::string_body> request{method, target, 11};
        request.set(http::field::host, "127.0.0.1");
        for (const auto& [name, value] : headers) request.set(name, value);
        request.body() = body;
        request.prepare_payload();
        boost::system::error_code written;
        http::write(socket, request, written); // a refused body may be cut short; the answer still comes
        beast::flat_buffer buffer;
        http::response_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        boost::system::error_code error;
        http::read(socket, buffer, parser, error);
        Reply reply;
        if (error) return reply;
        reply.status = parser.get().result_int();
        reply.body = parser.get().body();
        for (const auto& field : parser.get()) reply.headers.set(field.name_string(), field.value());
        return reply;
    }
    Json call(const std::string& path, const Json& body) { return fetch(http::verb::post, path, body.dump()).json(); }
    void openCamera() {
        velcap::test::stdoutOf([&] {
            ASSERT_TRUE(call("/api/open", {{"device", 0}, {"width", 1280}, {"height", 720}})["ok"].get<bool>());
        });
    }

    velcapd::HubOptions places_;
    std::unique_ptr<velcapd::Hub> hub_;
    std::unique_ptr<velcapd::Server> server_;
    std::thread thread_;
};

TEST_F(Service, TokenAndOriginRules) {
    struct Case {
        const char* what;
        http::verb method;
        std::string target;
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };
    const Case cases[] = {
        {"no token", http::verb::get, "/api/devices", {}, 401},
        {"wrong token", http::verb::get, "/api/devices", {{"Authorization", "Bearer 0000"}}, 401},
        {"bearer", http::verb::get, "/api/devices", {{"Authorization", "Bearer " + kToken}}, 200},
        {"in the URL", http::verb::get, "/api/devices?token=" + kToken, {}, 200},
        {"the demo page needs none", http::verb::get, "/", {}, 200},
        {"another origin", http::verb::get, "/api/devices?token=" + kToken, {{"Origin", "https://evil.example"}}, 403},
        {"an allowed origin",
         http::verb::get,
         "/api/devices?token=" + kToken,
         {{"Origin", "https://counter.example"}},
         200},
        {"its own origin",
         http::verb::get,
         "/api/devices?token=" + kToken,
         {{"Origin", "http://127.0.0.1:" + std::to_string(server_->port())}},
         200},
        {"a preflight of another origin",
         http::verb::options,
         "/api/capture",
         {{"Origin", "https://evil.example"}},
         403},
        {"an unknown path", http::verb::get, "/api/nothing?token=" + kToken, {}, 404},
    };
    for (const Case& c : cases) {
        const Reply reply = fetch(c.method, c.target, {}, c.headers);
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
        const bool allowed = c.status < 400 && !c.headers.empty() && c.headers[0].first == "Origin";
        EXPECT_EQ(reply.headers.count(http::field::access_control_allow_origin) == 1, allowed) << c.what;
        if (c.status >= 400) {
            EXPECT_FALSE(reply.json().value("ok", true)) << c.what;
        }
    }
    EXPECT_NE(fetch(http::verb::get, "/", {}, {}).body.find("id=\"frames\""), std::string::npos);
    // A public page asks before it may reach a local service; only allowed origins hear yes.
    const Reply preflight =
        fetch(http::verb::options, "/api/capture", {},
              {{"Origin", "https://counter.example"}, {"Access-Control-Request-Private-Network", "true"}});
    EXPECT_EQ(preflight.status, 204);
    EXPECT_EQ(preflight.headers["Access-Control-Allow-Private-Network"], "true");
}

TEST_F(Service, DevicesOpenSnapshotCaptureScanAndControls) {
    Json devices = fetch(http::verb::get, "/api/devices").json();
    ASSERT_EQ(devices["devices"].size(), 1u);
    EXPECT_EQ(devices["devices"][0]["name"], "DocCam S8");
    EXPECT_EQ(devices["devices"][0]["sizes"][0], "640x480");
    EXPECT_EQ(fetch(http::verb::get, "/snapshot").status, 503) << "no camera yet";
    openCamera();

    const Reply snapshot = fetch(http::verb::get, "/snapshot");
    ASSERT_EQ(snapshot.status, 200);
    EXPECT_EQ(snapshot.headers[http::field::content_type], "image/jpeg");
    const cv::Mat picture =
        cv::imdecode(std::vector<uchar>(snapshot.body.begin(), snapshot.body.end()), cv::IMREAD_COLOR);
    EXPECT_EQ(picture.size(), cv::Size(1280, 720));
    // The camera's own 4:2:2 frame passed through (an encoder here makes 4:2:0), made whole with Huffman tables.
    int width = 0, height = 0, sampling = -1, colours = 0;
    tjhandle header = tjInitDecompress();
    tjDecompressHeader3(header, reinterpret_cast<const unsigned char*>(snapshot.body.data()),
                        (unsigned long)snapshot.body.size(), &width, &height, &sampling, &colours);
    tjDestroy(header);
    EXPECT_EQ(sampling, TJSAMP_422);
    EXPECT_NE(snapshot.body.find("\xFF\xC4"), std::string::npos);

    Json shot;
    velcap::test::stdoutOf([&] {
        shot = call("/api/capture", {{"format", "png"}, {"path", file("page.png")}, {"base64", true}, {"rotate", 1}});
    });
    ASSERT_TRUE(shot["ok"].get<bool>()) << shot.dump();
    EXPECT_EQ(shot["width"], 720);
    EXPECT_EQ(shot["height"], 1280);
    EXPECT_EQ(cv::imread(file("page.png")).size(), cv::Size(720, 1280));
    EXPECT_EQ(shot["data"].get<std::string>().rfind("iVBORw0KGgo", 0), 0u) << "a PNG, in base64";
    Json again = call("/api/capture", {{"format", "png"}, {"path", file("page.png")}});
    EXPECT_NE(again["error"].get<std::string>().find("not replaced"), std::string::npos) << again.dump();
    EXPECT_FALSE(call("/api/capture", {{"format", "gif"}})["ok"].get<bool>());
    EXPECT_FALSE(call("/api/capture", {{"format", "jpg"}, {"ocr", true}})["ok"].get<bool>());
    velcap::test::stdoutOf([&] {
        Json pdf = call("/api/capture", {{"format", "pdf"}, {"ocr", true}, {"pdfa", true}, {"path", file("page.pdf")}});
        EXPECT_TRUE(pdf["ok"].get<bool>()) << pdf.dump();
    });
    std::ifstream archived(file("page.pdf"), std::ios::binary);
    const std::string archivedBytes((std::istreambuf_iterator<char>(archived)), std::istreambuf_iterator<char>());
    EXPECT_NE(archivedBytes.find("<pdfaid:part>1</pdfaid:part>"), std::string::npos);

    // The card copy: front first; this desk has no card, which the answer says.
    EXPECT_EQ(call("/api/idcard", {{"side", "back"}})["error"], "photograph the front first");
    velcap::test::stdoutOf([&] {
        EXPECT_TRUE(call("/api/idcard", {{"side", "front"}})["ok"].get<bool>());
        Json copy = call("/api/idcard", {{"side", "back"}, {"path", file("card.pdf")}});
        EXPECT_NE(copy.value("error", "").find("no card found"), std::string::npos) << copy.dump();
    });

    Json scan;
    velcap::test::stdoutOf([&] { scan = call("/api/scan", {{"type", "qr"}}); });
    ASSERT_EQ(scan["codes"].size(), 1u) << scan.dump();
    EXPECT_EQ(scan["codes"][0]["text"], "VELCAP-VCAM-QR-0001");
    EXPECT_EQ(scan["codes"][0]["type"], "QR-Code");
    // Its corners, on the 1280 x 720 frame.
    ASSERT_EQ(scan["codes"][0]["place"].size(), 4u) << scan.dump();
    for (const Json& corner : scan["codes"][0]["place"]) {
        EXPECT_GE(corner[0].get<int>(), 0);
        EXPECT_LT(corner[0].get<int>(), 1280);
        EXPECT_GE(corner[1].get<int>(), 0);
        EXPECT_LT(corner[1].get<int>(), 720);
    }
    velcap::test::stdoutOf([&] { scan = call("/api/scan", {{"type", "any"}}); });
    ASSERT_FALSE(scan["codes"].empty()) << scan.dump();
    EXPECT_EQ(scan["codes"][0]["text"], "VELCAP-VCAM-QR-0001");
    velcap::test::stdoutOf([&] { scan = call("/api/scan", {{"type", "bar"}}); });
    EXPECT_TRUE(scan["ok"].get<bool>()) << scan.dump();
    for (const Json& code : scan["codes"]) EXPECT_NE(code["type"], "QR-Code");

    Json set = call("/api/controls", {{"brightness", 12}});
    EXPECT_EQ(set["controls"]["brightness"]["value"], 12) << set.dump();
    EXPECT_FALSE(call("/api/controls", {{"brightness", 999}})["ok"].get<bool>());
    EXPECT_FALSE(call("/api/controls", {{"wobble", 1}})["ok"].get<bool>());
}

TEST_F(Service, BadInputGetsAClearAnswer) {
    EXPECT_EQ(fetch(http::verb::post, "/api/scan", "{not json").status, 400);
    EXPECT_EQ(fetch(http::verb::post, "/api/scan", "[1,2]").status, 400);
    EXPECT_EQ(fetch(http::verb::post, "/api/scan", std::string(2 * 1024 * 1024, ' ')).status, 413);
    EXPECT_EQ(fetch(http::verb::post, "/api/open", Json{{"device", 7}}.dump()).status, 422);
    // A client that says nothing is dropped after the idle time; the service goes on.
    net::io_context context;
    tcp::socket silent(context);
    silent.connect({net::ip::make_address("127.0.0.1"), server_->port()});
    char byte;
    boost::system::error_code error;
    silent.read_some(net::buffer(&byte, 1), error);
    EXPECT_EQ(error, net::error::eof);
    EXPECT_EQ(fetch(http::verb::get, "/api/devices").status, 200);
}

TEST_F(Service, StreamAndWebSocket) {
    openCamera();
    // The stream: parts of JPEG frames, one after another.
    net::io_context context;
    tcp::socket socket(context);
    socket.connect({net::ip::make_address("127.0.0.1"), server_->port()});
    const std::string request = "GET /stream?token=" + kToken + " HTTP/1.1\r\nHost: x\r\n\r\n";
    net::write(socket, net::buffer(request));
    std::string received;
    char chunk[65536];
    while (received.find("--velcapframe", received.find("--velcapframe", received.find("--velcapframe") + 1) + 1) ==
           std::string::npos) {
        boost::system::error_code error;
        const size_t n = socket.read_some(net::buffer(chunk), error);
        ASSERT_FALSE(error) << error.message();
        received.append(chunk, n);
    }
    EXPECT_NE(received.find("multipart/x-mixed-replace; boundary=velcapframe"), std::string::npos);
    socket.close();

    // Commands by WebSocket, answered with their id; a capture made elsewhere is told.
    websocket::stream<tcp::socket> ws(context);
    ws.next_layer().connect({net::ip::make_address("127.0.0.1"), server_->port()});
    ws.handshake("127.0.0.1", "/ws?token=" + kToken);
    ws.write(net::buffer(Json{{"cmd", "devices"}, {"id", 7}}.dump()));
    beast::flat_buffer buffer;
    ws.read(buffer);
    Json reply = Json::parse(beast::buffers_to_string(buffer.data()));
    EXPECT_EQ(reply["id"], 7);
    EXPECT_EQ(reply["devices"].size(), 1u);
    velcap::test::stdoutOf([&] { EXPECT_TRUE(call("/api/capture", {{"path", file("told.jpg")}})["ok"].get<bool>()); });
    buffer.clear();
    ws.read(buffer);
    Json event = Json::parse(beast::buffers_to_string(buffer.data()));
    EXPECT_EQ(event["event"], "captured");
    EXPECT_EQ(event["path"], file("told.jpg"));
    ws.write(net::buffer(std::string("nonsense")));
    buffer.clear();
    ws.read(buffer);
    EXPECT_FALSE(Json::parse(beast::buffers_to_string(buffer.data()))["ok"].get<bool>());

    // Auto-capture's photographs are told too.
    const auto nextWith = [&](const char* key, const Json& value) {
        for (;;) {
            buffer.clear();
            ws.read(buffer);
            const Json message = Json::parse(beast::buffers_to_string(buffer.data()));
            if (message.value(key, Json()) == value) return message;
        }
    };
    ::mkdir(file("auto").c_str(), 0755);
    velcap::test::stdoutOf([&] {
        ws.write(net::buffer(Json{{"cmd", "autoCapture"}, {"on", true}, {"folder", file("auto")}}.dump()));
        Json photographed = nextWith("event", "autoCaptured");
        EXPECT_EQ(photographed["path"].get<std::string>().rfind(file("auto/"), 0), 0u) << photographed.dump();
        ws.write(net::buffer(Json{{"cmd", "autoCapture"}, {"on", false}, {"id", 9}}.dump()));
        EXPECT_TRUE(nextWith("id", 9)["ok"].get<bool>());
    });

    // Unplugged: clients hear it, and a stream shows "未检测到设备" until the camera is back.
    tcp::socket watcher(context);
    watcher.connect({net::ip::make_address("127.0.0.1"), server_->port()});
    net::write(watcher, net::buffer(request));
    std::string parts;
    const auto readUntil = [&](const std::function<bool()>& done) {
        while (!done()) {
            boost::system::error_code error;
            const size_t n = watcher.read_some(net::buffer(chunk), error);
            ASSERT_FALSE(error) << error.message() << " after " << parts.size() << " bytes";
            parts.append(chunk, n);
        }
    };
    const std::string awayLength = "Content-Length: " + std::to_string(velcapd::noDevicePicture().size()) + "\r\n";
    const auto cameraFrame = [&] { // a part that is not the unplugged picture
        for (size_t at = parts.find("Content-Length: "); at != std::string::npos;
             at = parts.find("Content-Length: ", at + 1))
            if (parts.compare(at, awayLength.size(), awayLength) != 0 && parts.find("\r\n", at) != std::string::npos)
                return true;
        return false;
    };
    readUntil(cameraFrame);
    const auto eventOf = [&] {
        buffer.clear();
        ws.read(buffer);
        return Json::parse(beast::buffers_to_string(buffer.data()));
    };
    velcap::test::stdoutOf([&] {
        vcam::unplug(0);
        EXPECT_EQ(eventOf()["event"], "deviceRemoved");
        readUntil([&] { return parts.find(velcapd::noDevicePicture()) != std::string::npos; });
        parts.clear();
        vcam::replug(0);
        EXPECT_EQ(eventOf()["event"], "deviceAdded");
        readUntil(cameraFrame);
    });
    ws.close(websocket::close_code::normal);
}

// What a hostile page sends: deep JSON, paths it must not write, languages
// that are not installed. Each is refused with its status and nothing is written.
TEST_F(Service, HostileRequestsAreRefused) {
    openCamera();
    const std::string deep = std::string(200000, '[') + std::string(200000, ']');
    EXPECT_EQ(fetch(http::verb::post, "/api/capture", R"({"format":"pdf","ocr":)" + deep + "}").status, 400);
    EXPECT_EQ(fetch(http::verb::post, "/api/scan", std::string(33, '[') + std::string(33, ']')).status, 400);
    ::symlink("/etc", file("etc-link").c_str());
    struct Case {
        const char* what;
        Json body;
        int status;
    };
    const std::string home = file("");
    const Case cases[] = {
        {"a NUL cuts the name short",
         {{"format", "jpg"}, {"path", home + "/nul.sh" + std::string(1, '\0') + ".jpg"}},
         400},
        {"a line end", {{"format", "jpg"}, {"path", home + "/a\nb.jpg"}}, 400},
        {"relative", {{"format", "jpg"}, {"path", "page.jpg"}}, 400},
        {"another extension", {{"format", "jpg"}, {"path", home + "/page.png"}}, 400},
        {"only the extension", {{"format", "jpg"}, {"path", home + "/.jpg"}}, 400},
        {"outside the save folder", {{"format", "jpg"}, {"path", "/tmp/velcapd-outside.jpg"}}, 403},
        {"through a link out of it", {{"format", "jpg"}, {"path", home + "/etc-link/velcapd.jpg"}}, 403},
        {"up and out", {{"format", "jpg"}, {"path", home + "/../velcapd-up.jpg"}}, 403},
        {"an allowed folder", {{"format", "jpg"}, {"path", home + "/allowed/page.jpg"}}, 200},
        {"not replaced", {{"format", "jpg"}, {"path", home + "/allowed/page.jpg"}}, 422},
        {"no such model", {{"format", "pdf"}, {"ocr", "jpn"}, {"path", home + "/jpn.pdf"}}, 422},
        {"not a model's name", {{"format", "pdf"}, {"ocr", "../../etc/passwd"}, {"path", home + "/up.pdf"}}, 422},
        {"pdfa not a flag", {{"format", "pdf"}, {"pdfa", "yes"}, {"path", home + "/a.pdf"}}, 400},
        {"pdfa for a picture", {{"format", "jpg"}, {"pdfa", true}, {"path", home + "/a.jpg"}}, 400},
        {"auto-capture elsewhere", {{"on", true}, {"folder", "/tmp"}}, 403},
    };
    for (const Case& c : cases) {
        const bool automatic = c.body.contains("on");
        Reply reply;
        velcap::test::stdoutOf(
            [&] { reply = fetch(http::verb::post, automatic ? "/api/autocapture" : "/api/capture", c.body.dump()); });
        EXPECT_EQ(reply.status, c.status) << c.what << ": " << reply.body;
        EXPECT_EQ(reply.json().value("ok", false), c.status == 200) << c.what;
        EXPECT_FALSE(reply.json().contains(velcapd::kStatusKey)) << c.what;
    }
    EXPECT_NE(
        fetch(http::verb::post, "/api/capture", cases[10].body.dump()).json()["error"].get<std::string>().find("jpn"),
        std::string::npos);
    struct stat info {};
    EXPECT_NE(::stat(file("nul.sh").c_str(), &info), 0);
    EXPECT_NE(::stat("/tmp/velcapd-outside.jpg", &info), 0);
    EXPECT_NE(::stat("/etc/velcapd.jpg", &info), 0);

    // A WebSocket command nested too deep is answered and the service lives on.
    net::io_context context;
    websocket::stream<tcp::socket> ws(context);
    ws.next_layer().connect({net::ip::make_address("127.0.0.1"), server_->port()});
    ws.handshake("127.0.0.1", "/ws?token=" + kToken);
    ws.write(net::buffer(R"({"cmd":"devices","id":)" + deep + "}"));
    beast::flat_buffer buffer;
    ws.read(buffer);
    EXPECT_NE(beast::buffers_to_string(buffer.data()).find("nested deeper"), std::string::npos);
    EXPECT_EQ(fetch(http::verb::get, "/api/devices").status, 200);
}

// A card's front waits for its back in the private folder, the user's alone,
// and goes when the copy is made, the camera closes, it waited too long, or
// the next start finds it.
TEST_F(Service, TheCardsFrontIsPrivateAndGoes) {
    const auto files = [&] {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(file("private").c_str())) {
            while (const dirent* entry = ::readdir(dir))
                if (entry->d_name[0] != '.') names.push_back(file("private/") + entry->d_name);
            ::closedir(dir);
        }
        return names;
    };
    struct stat info {};
    ASSERT_EQ(::stat(file("private").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    openCamera();
    velcap::test::stdoutOf([&] { ASSERT_TRUE(call("/api/idcard", {{"side", "front"}})["ok"].get<bool>()); });
    ASSERT_EQ(files().size(), 1u);
    ASSERT_EQ(::stat(files()[0].c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    velcap::test::stdoutOf([&] { call("/api/close", Json::object()); });
    EXPECT_TRUE(files().empty()) << "closing the camera removes it";

    // Left behind by a crash: the next start removes it.
    std::ofstream(file("private/card-left.jpg")) << "x";
    stopService();
    velcapd::HubOptions places;
    places.saveFolder = file("");
    places.privateFolder = file("private");
    places.cardWait = 0s;
    startService(places);
    EXPECT_TRUE(files().empty());
    openCamera();
    velcap::test::stdoutOf([&] { ASSERT_TRUE(call("/api/idcard", {{"side", "front"}})["ok"].get<bool>()); });
    ASSERT_EQ(files().size(), 1u);
    hub_->tick(); // no back in time
    EXPECT_TRUE(files().empty());
    EXPECT_EQ(call("/api/idcard", {{"side", "back"}})["error"], "photograph the front first");
}

// An open book under the camera: a capture with "book" gives both pages, and
// the spread's photograph does not stay in the private folder.
TEST_F(Service, ABookCaptureGivesBothPages) {
    vcam::Camera camera = velcap::test::documentCamera(0);
    camera.look.book = "spread";
    presentToANewService(vcam::Description{{camera}});
    openCamera();
    Json pages;
    velcap::test::stdoutOf([&] {
        pages = call("/api/capture", {{"book", true}, {"format", "png"}, {"path", file("page.png")}});
    });
    ASSERT_TRUE(pages["ok"].get<bool>()) << pages.dump();
    EXPECT_EQ(pages["paths"], Json({file("page-001.png"), file("page-002.png")}));
    for (const Json& page : pages["paths"]) {
        const cv::Mat picture = cv::imread(page.get<std::string>());
        EXPECT_LT(picture.cols, picture.rows) << page;
    }
    EXPECT_NE(call("/api/capture", {{"book", true}, {"crop", 2}}).value("error", "").find("no crop"),
              std::string::npos);
    DIR* dir = ::opendir(file("private").c_str());
    ASSERT_NE(dir, nullptr);
    int left = 0;
    while (const dirent* entry = ::readdir(dir)) left += entry->d_name[0] != '.';
    ::closedir(dir);
    EXPECT_EQ(left, 0);
}

// Two of a model and a webcam: velcapd lists each with its serial and
// port, the webcam only with anyCamera, and opens the second of the model.
TEST_F(Service, EveryCameraAtTheDeskIsListedAndOpened) {
    vcam::Camera second = velcap::test::documentCamera(4);
    second.bus = "usb-0000:00:14.0-5";
    presentToANewService(
        vcam::Description{{velcap::test::documentCamera(0), second, vcam::defaultDescription().cameras.at(1)}});
    Json devices = fetch(http::verb::get, "/api/devices").json();
    ASSERT_EQ(devices["devices"].size(), 2u) << devices.dump();
    EXPECT_EQ(devices["devices"][1]["node"], "/dev/video4");
    EXPECT_EQ(devices["devices"][1]["serial"], "VC1004");
    EXPECT_NE(devices["devices"][0]["port"], devices["devices"][1]["port"]);
    Json opened;
    velcap::test::stdoutOf([&] { opened = call("/api/open", {{"device", 1}, {"width", 640}, {"height", 480}}); });
    EXPECT_EQ(opened["node"], "/dev/video4") << opened.dump();
    EXPECT_EQ(fetch(http::verb::get, "/snapshot").status, 200);

    stopService();
    velcapd::HubOptions places;
    places.saveFolder = file("");
    places.privateFolder = file("private");
    places.anyCamera = true;
    startService(places);
    devices = fetch(http::verb::get, "/api/devices").json();
    ASSERT_EQ(devices["devices"].size(), 3u) << devices.dump();
    EXPECT_EQ(devices["devices"][2]["name"], "Generic USB Webcam");
    EXPECT_FALSE(devices["devices"][2]["supported"].get<bool>());
    EXPECT_TRUE(devices["devices"][0]["supported"].get<bool>());
}

// The camera's button is told to WebSocket clients; with captureOnButton,
// each press photographs as capture does, told with the capture's answer.
TEST_F(Service, TheButtonIsToldAndPhotographsWhenAsked) {
    vcam::Camera camera = velcap::test::documentCamera(0);
    camera.button = true;
    camera.buttonAfter = 10;
    camera.buttonEvery = 15;
    presentToANewService(vcam::Description{{camera}});
    openCamera();
    net::io_context context;
    websocket::stream<tcp::socket> ws(context);
    ws.next_layer().connect({net::ip::make_address("127.0.0.1"), server_->port()});
    ws.handshake("127.0.0.1", "/ws?token=" + kToken);
    auto next = [&](const std::string& event) {
        for (;;) {
            beast::flat_buffer buffer;
            ws.read(buffer);
            const Json message = Json::parse(beast::buffers_to_string(buffer.data()));
            if (message.value("event", "") == event || message.contains("id")) return message;
        }
    };
    EXPECT_EQ(next("button")["key"], "capture");
    ws.write(net::buffer(
        Json{{"cmd", "captureOnButton"}, {"id", 1}, {"format", "png"}, {"path", file("pressed.png")}}.dump()));
    const Json armed = next("none");
    EXPECT_TRUE(armed["ok"].get<bool>()) << armed.dump();
    EXPECT_TRUE(armed["button"].get<bool>());
    Json captured;
    velcap::test::stdoutOf([&] { captured = next("buttonCaptured"); });
    EXPECT_TRUE(captured["ok"].get<bool>()) << captured.dump();
    EXPECT_EQ(captured["path"], file("pressed.png"));
    EXPECT_EQ(cv::imread(file("pressed.png")).size(), cv::Size(1280, 720));
    ws.write(net::buffer(Json{{"cmd", "captureOnButton"}, {"id", 2}, {"on", false}}.dump()));
    EXPECT_FALSE(next("none")["on"].get<bool>());
}

// Pictures are fresh: a snapshot is a frame taken after it was asked for,
// also when no stream watches, and a stream goes on through a slow capture.
TEST_F(Service, PicturesAreFreshAndFlowThroughASlowCapture) {
    openCamera();
    const auto frameOf = [](const Reply& reply) {
        return std::stoull("0" + std::string(reply.headers["X-Velcap-Frame"]));
    };
    const Reply first = fetch(http::verb::get, "/snapshot");
    ASSERT_EQ(first.status, 200);
    const std::uint64_t seen = hub_->frames();
    while (hub_->frames() < seen + 5) std::this_thread::yield();
    const Reply second = fetch(http::verb::get, "/snapshot");
    ASSERT_EQ(second.status, 200);
    EXPECT_GT(frameOf(second), frameOf(first) + 4) << "not the picture kept from before";

    // The stream's parts, counted while an OCR capture runs.
    std::atomic<int> parts{0};
    std::atomic<bool> reading{true};
    net::io_context context;
    tcp::socket socket(context);
    socket.connect({net::ip::make_address("127.0.0.1"), server_->port()});
    net::write(socket, net::buffer("GET /stream?token=" + kToken + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::thread reader([&] {
        std::string received;
        char chunk[65536];
        while (reading) {
            boost::system::error_code error;
            const size_t n = socket.read_some(net::buffer(chunk), error);
            if (error) return;
            received.append(chunk, n);
            for (size_t at; (at = received.find("--velcapframe\r\n")) != std::string::npos;) {
                ++parts;
                received.erase(0, at + 15);
            }
        }
    });
    while (parts < 2) std::this_thread::yield();
    Json pdf;
    int during = 0;
    velcap::test::stdoutOf([&] {
        const int before = parts;
        pdf = call("/api/capture", {{"format", "pdf"}, {"ocr", "chi_sim+eng"}, {"path", file("slow.pdf")}});
        during = parts - before;
    });
    EXPECT_TRUE(pdf["ok"].get<bool>()) << pdf.dump();
    // A capture on the stream thread lets one part through at most (one under way).
    EXPECT_GE(during, 3) << "the stream stood still while the capture ran";
    reading = false;
    socket.shutdown(tcp::socket::shutdown_both);
    reader.join();
    // The stream is still served: it did not end because the capture was slow.
}

// SANE programs scan the page on the desk through sane-airscan, run as a
// user runs them: outside the virtual camera's launcher.
TEST_F(Service, SaneProgramsScanThePageAndOnlyTheyMay) {
    const std::string scanner = "/eSCL/ScannerCapabilities";
    EXPECT_EQ(fetch(http::verb::get, scanner, {}, {}).status, 404) << "eSCL is off unless asked for";
    stopService();
    velcapd::Options options;
    options.escl = true;
    startService(places_, options);

    ::mkdir(file("sane").c_str(), 0700);
    std::ofstream(file("sane/dll.conf")) << "airscan\n";
    std::ofstream(file("sane/airscan.conf")) << "[devices]\nvelcap = http://127.0.0.1:" << server_->port()
                                             << "/eSCL, eSCL\n[options]\ndiscovery = disable\n";
    const auto scanimage = [&](const std::string& arguments) {
        return velcap::test::run("env -u LD_PRELOAD -u UMOCKDEV_DIR SANE_CONFIG_DIR=" + file("sane") + " scanimage " +
                                 arguments);
    };
    const auto settings = [](const char* mode, const char* format) {
        return std::string("<?xml version=\"1.0\"?><scan:ScanSettings "
                           "xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\" "
                           "xmlns:pwg=\"http://www.pwg.org/schemas/2010/12/sm\"><pwg:InputSource>Platen</"
                           "pwg:InputSource><scan:ColorMode>") +
               mode +
               "</scan:ColorMode><scan:XResolution>100</scan:XResolution><scan:YResolution>100</"
               "scan:YResolution><pwg:DocumentFormat>" +
               format + "</pwg:DocumentFormat></scan:ScanSettings>";
    };
    const std::vector<std::pair<std::string, std::string>> xml = {{"Content-Type", "text/xml"}};
    // The library's lines from the scans on velcapd's threads stay out of the test's output.
    velcap::test::stdoutOf([&] {
        const auto [list, listed] = scanimage("-L");
        EXPECT_EQ(listed, 0);
        EXPECT_NE(list.find("airscan:e0:velcap"), std::string::npos) << list;

        struct Case {
            const char* arguments;
            cv::Size size;
            int channels;
        };
        const Case cases[] = {
            {"--resolution 150 --mode Color --format=png", {1240, 1754}, 3},
            {"--resolution 75 --mode Gray --format=jpeg", {620, 877}, 1},
        };
        for (const Case& c : cases) {
            std::remove(file("scan").c_str());
            const auto [out, status] =
                scanimage("-d airscan:e0:velcap " + std::string(c.arguments) + " -o " + file("scan"));
            ASSERT_EQ(status, 0) << out;
            const cv::Mat scan = cv::imread(file("scan"), cv::IMREAD_UNCHANGED);
            EXPECT_EQ(scan.size(), c.size) << c.arguments;
            EXPECT_EQ(scan.channels(), c.channels) << c.arguments;
            const cv::Scalar mean = cv::mean(scan);
            EXPECT_GT(mean[0], 150) << "the page fills the scan, not the desk: " << c.arguments;
        }

        // What sane-airscan does not offer, straight over eSCL: black and white,
        // PDF, one page a job, a job cancelled before its page is taken.
        const auto post = [&](const std::string& body) {
            const Reply made = fetch(http::verb::post, "/eSCL/ScanJobs", body, xml);
            const std::string location(made.headers[http::field::location]);
            EXPECT_EQ(made.status, 201) << made.body;
            return location.substr(location.find("/eSCL/"));
        };
        std::string job = post(settings("BlackAndWhite1", "image/png"));
        Reply page = fetch(http::verb::get, job + "/NextDocument", {}, {});
        ASSERT_EQ(page.status, 200) << page.body;
        EXPECT_EQ(page.headers[http::field::content_type], "image/png");
        const cv::Mat bw = cv::imdecode(std::vector<uchar>(page.body.begin(), page.body.end()), cv::IMREAD_UNCHANGED);
        ASSERT_EQ(bw.size(), cv::Size(827, 1169));
        EXPECT_EQ(int(bw.total()) - cv::countNonZero(bw == 0) - cv::countNonZero(bw == 255), 0);
        EXPECT_EQ(fetch(http::verb::get, job + "/NextDocument", {}, {}).status, 404) << "one page a job";
        job = post(settings("Grayscale8", "application/pdf"));
        page = fetch(http::verb::get, job + "/NextDocument", {}, {});
        EXPECT_EQ(page.body.substr(0, 5), "%PDF-");
        job = post(settings("RGB24", "image/jpeg"));
        EXPECT_EQ(fetch(http::verb::delete_, job, {}, {}).status, 200);
        EXPECT_EQ(fetch(http::verb::get, job + "/NextDocument", {}, {}).status, 404) << "cancelled";
        EXPECT_NE(fetch(http::verb::get, "/eSCL/ScannerStatus", {}, {}).body.find("Canceled"), std::string::npos);

        // A browser client has the camera open: the scan shares it, and it stays open.
        openCamera();
        EXPECT_EQ(scanimage("-d airscan:e0:velcap --resolution 75 --format=png -o " + file("scan")).second, 0);
        EXPECT_TRUE(hub_->isOpen());
    });

    // Who may not: a web page, a form's text, another user.
    struct Refusal {
        http::verb method;
        std::string target, body;
        std::vector<std::pair<std::string, std::string>> headers;
        int status;
    };
    const Refusal refusals[] = {
        {http::verb::get, scanner, {}, {{"Origin", "http://127.0.0.1:" + std::to_string(server_->port())}}, 403},
        {http::verb::post, "/eSCL/ScanJobs", settings("RGB24", "image/jpeg"), {{"Content-Type", "text/plain"}}, 415},
        {http::verb::post, "/eSCL/ScanJobs", settings("RGB24", "image/jpeg"), {}, 415},
        {http::verb::post, "/eSCL/ScanJobs", settings("RGB48", "image/jpeg"), xml, 409},
        {http::verb::post, "/eSCL/ScanJobs", "<not xml", xml, 400},
    };
    for (const Refusal& r : refusals)
        EXPECT_EQ(fetch(r.method, r.target, r.body, r.headers).status, r.status) << r.target << " " << r.body;
    const auto [code, ran] = velcap::test::run("runuser -u nobody -- curl -s -o /dev/null -w '%{http_code}' "
                                               "http://127.0.0.1:" +
                                               std::to_string(server_->port()) + scanner);
    EXPECT_EQ(code, "403") << "another user's program";
}

// Other machines, offered the scanner on purpose: only those allowed, only
// /eSCL/, each seeing and taking its own jobs; the local user sees which
// machine scans (velcapdesk shows it).
TEST_F(Service, OtherMachinesScanOnlyWhenAllowedAndSeeOnlyTheirJobs) {
    stopService();
    velcapd::Options options;
    options.escl = true;
    options.esclAddress = "127.0.0.1";
    options.esclPort = 0;
    ASSERT_TRUE(options.esclAllowed.add("127.0.0.2/31"));
    startService(places_, options);
    const unsigned short remote = server_->esclPort();
    ASSERT_NE(remote, 0);
    const Headers xml = {{"Content-Type", "text/xml"}};
    const auto from = [&](const char* source, http::verb method, const std::string& target,
                          const std::string& body = {}, const Headers& headers = {}) {
        return fetchFrom(source, remote, method, target, body, headers);
    };
    const std::string settings = "<scan:ScanSettings xmlns:scan=\"http://schemas.hp.com/imaging/escl/2011/05/03\">"
                                 "<scan:XResolution>75</scan:XResolution><scan:YResolution>75</scan:YResolution>"
                                 "</scan:ScanSettings>";
    const auto job = [](const Reply& made) {
        const std::string location(made.headers[http::field::location]);
        return location.substr(std::min(location.size(), location.find("/eSCL/")));
    };

    EXPECT_EQ(from("127.0.0.4", http::verb::get, "/eSCL/ScannerCapabilities").status, 0) << "not allowed: not served";
    EXPECT_EQ(from("127.0.0.3", http::verb::get, "/eSCL/ScannerStatus").status, 200);
    EXPECT_EQ(from("127.0.0.2", http::verb::get, "/api/devices", {}, {{"Authorization", "Bearer " + kToken}}).status,
              404)
        << "the API is not offered to other machines, token or not";
    EXPECT_EQ(from("127.0.0.2", http::verb::post, "/eSCL/ScanJobs", settings, {}).status, 415);
    EXPECT_EQ(from("127.0.0.2", http::verb::get, "/eSCL/ScannerStatus", {}, {{"Origin", "http://evil.example"}}).status,
              403);

    velcap::test::stdoutOf([&] {
        const Reply made = from("127.0.0.2", http::verb::post, "/eSCL/ScanJobs", settings, xml);
        ASSERT_EQ(made.status, 201) << made.body;
        const std::string theirs = job(made);
        // The local user sees the machine; other machines see neither it nor the job.
        EXPECT_NE(fetch(http::verb::get, "/eSCL/ScannerStatus", {}, {}).body.find("<velcap:Peer>127.0.0.2<"),
                  std::string::npos);
        const std::string seen = from("127.0.0.3", http::verb::get, "/eSCL/ScannerStatus").body;
        EXPECT_EQ(seen.find(theirs.substr(theirs.rfind('/') + 1)), std::string::npos) << seen;
        EXPECT_EQ(from("127.0.0.3", http::verb::get, theirs + "/NextDocument").status, 404);
        EXPECT_EQ(from("127.0.0.3", http::verb::delete_, theirs).status, 404);
        const Reply page = from("127.0.0.2", http::verb::get, theirs + "/NextDocument");
        EXPECT_EQ(page.status, 200) << page.body;
        EXPECT_EQ(page.body.substr(0, 2), "\xff\xd8");
        EXPECT_EQ(from("127.0.0.2", http::verb::get, "/eSCL/ScannerStatus").body.find("velcap:Peer"),
                  std::string::npos);

        const std::string ours = job(fetch(http::verb::post, "/eSCL/ScanJobs", settings, xml));
        EXPECT_EQ(from("127.0.0.2", http::verb::get, ours + "/NextDocument").status, 404) << "the local user's page";
        EXPECT_EQ(fetch(http::verb::get, ours + "/NextDocument", {}, {}).status, 200);
    });

    struct Range {
        const char* range;
        const char* address;
        bool added, contained;
    };
    const Range ranges[] = {
        {"192.168.1.0/24", "192.168.1.77", true, true},
        {"192.168.1.0/24", "192.168.2.1", true, false},
        {"192.168.1.0/24", "::ffff:192.168.1.9", true, true},
        {"2001:db8::/32", "2001:db8:1::5", true, true},
        {"2001:db8::/32", "2001:db9::1", true, false},
        {"0.0.0.0/0", "2001:db8::1", true, false},
        {"10.0.0.1", "10.0.0.2", true, false},
        {"192.168.1.0/33", "192.168.1.1", false, false},
        {"10.0.0.0/", "10.0.0.1", false, false},
        {"scanner.example", "10.0.0.1", false, false},
    };
    for (const Range& r : ranges) {
        velcapd::AddressRanges allowed;
        EXPECT_EQ(allowed.add(r.range), r.added) << r.range;
        EXPECT_EQ(allowed.contains(r.address), r.contained) << r.range << " " << r.address;
    }

    // The shipped Avahi service names the port other machines are served on by default.
    pugi::xml_document service;
    ASSERT_TRUE(service.load_file(VELCAPD_AVAHI_SERVICE));
    const pugi::xml_node offered = service.child("service-group").child("service");
    EXPECT_STREQ(offered.child_value("type"), "_uscan._tcp");
    EXPECT_EQ(offered.child("port").text().as_int(), velcapd::Options{}.esclPort);
    bool resource = false;
    for (const pugi::xml_node txt : offered.children("txt-record"))
        resource |= std::string(txt.child_value()) == "rs=eSCL";
    EXPECT_TRUE(resource);
}

long residentBytes() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return resident * ::sysconf(_SC_PAGESIZE);
}

// 200 connections: silent ones reopened as soon as they are dropped, slow
// requests, stream clients and WebSocket clients that never read, the last
// ones flooding commands. The token holder is still served, and memory stays
// bounded.
TEST_F(Service, ClientsThatNeverReadOrSpeakStarveNoOne) {
    openCamera();
    net::io_context attackers;
    const tcp::endpoint endpoint{net::ip::make_address("127.0.0.1"), server_->port()};
    std::atomic<bool> attacking{true};
    std::vector<std::unique_ptr<tcp::socket>> sockets;
    const std::string flood = Json{{"cmd", "devices"}, {"id", std::string(100000, 'x')}}.dump();
    std::function<void(tcp::socket&)> silent = [&](tcp::socket& socket) {
        socket.async_connect(endpoint, [&](boost::system::error_code error) {
            static char byte;
            if (error) return;
            socket.async_read_some(net::buffer(&byte, 1), [&](boost::system::error_code, size_t) {
                socket.close();
                if (attacking) silent(socket);
            });
        });
    };
    const auto writeOnce = [&](tcp::socket& socket, std::string text) {
        socket.async_connect(endpoint, [&socket, text = std::make_shared<std::string>(std::move(text))](
                                           boost::system::error_code error) {
            if (!error) net::async_write(socket, net::buffer(*text), [text](boost::system::error_code, size_t) {});
        });
    };
    std::vector<std::unique_ptr<websocket::stream<tcp::socket>>> floods;
    std::function<void(websocket::stream<tcp::socket>&)> floodOn = [&](websocket::stream<tcp::socket>& ws) {
        ws.async_write(net::buffer(flood), [&](boost::system::error_code error, size_t) {
            if (!error && attacking) floodOn(ws);
        });
    };
    for (int i = 0; i < 200; ++i) {
        sockets.push_back(std::make_unique<tcp::socket>(attackers));
        if (i < 80)
            silent(*sockets.back());
        else if (i < 120)
            writeOnce(*sockets.back(), "GET /api/devices HTTP/1.1\r\nHost: x\r\n"); // never finished
        else if (i < 170)
            writeOnce(*sockets.back(), "GET /stream?token=" + kToken + " HTTP/1.1\r\nHost: x\r\n\r\n");
    }
    for (int i = 0; i < 30; ++i) {
        floods.push_back(std::make_unique<websocket::stream<tcp::socket>>(attackers));
        auto& ws = *floods.back();
        ws.next_layer().connect(endpoint);
        ws.handshake("127.0.0.1", "/ws?token=" + kToken);
        floodOn(ws);
    }
    std::thread attack([&] { attackers.run(); });
    const long before = residentBytes();
    int answered = 0;
    for (int i = 0; i < 12; ++i) {
        // The token holder's requests, each with a deadline of its own.
        net::io_context context;
        beast::tcp_stream stream(context);
        stream.expires_after(5s);
        http::request<http::empty_body> request{http::verb::get, "/api/devices", 11};
        request.set(http::field::host, "127.0.0.1");
        request.set(http::field::authorization, "Bearer " + kToken);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        stream.async_connect(endpoint, [&](boost::system::error_code error) {
            if (error) return;
            http::async_write(stream, request, [&](boost::system::error_code error, size_t) {
                if (!error) http::async_read(stream, buffer, response, [](boost::system::error_code, size_t) {});
            });
        });
        context.run();
        if (response.result_int() == 200) ++answered;
    }
    const long grown = residentBytes() - before;
    attacking = false;
    attackers.stop();
    attack.join();
    EXPECT_GE(answered, 11);
#ifndef VELCAP_SANITIZED // the sanitizers' shadow memory grows with every byte the service touches
    EXPECT_LT(grown, 50l * 1024 * 1024) << "memory grew by " << grown / (1024 * 1024) << " MB";
#else
    (void)grown;
#endif
    EXPECT_EQ(fetch(http::verb::get, "/api/devices").status, 200);
}

TEST(JsonDepth, IsCountedOutsideStrings) {
    const struct {
        std::string text;
        bool deeper;
    } cases[] = {
        {std::string(32, '[') + std::string(32, ']'), false},   {std::string(33, '[') + std::string(33, ']'), true},
        {R"({"a":")" + std::string(100, '[') + R"("})", false}, {R"({"a":"\")" + std::string(40, '{') + R"("})", false},
        {R"({"a":"\\")" + std::string(40, '{'), true},          {std::string(1000000, '['), true},
    };
    for (const auto& c : cases) EXPECT_EQ(velcapd::nestedDeeperThan(c.text, 32), c.deeper) << c.text.substr(0, 50);
}

TEST(LogLine, IsWholeWithLevelAndCategory) {
    const struct {
        velcap::LogLevel level;
        const char* text;
        std::string line;
    } cases[] = {
        {velcap::LogLevel::Error, "ioctl(VIDIOC_DQBUF) failed 19(No such device)",
         "velcap error [device]: ioctl(VIDIOC_DQBUF) failed 19(No such device)\n"},
        {velcap::LogLevel::Info, "capture->01\n", "velcap info [device]: capture->01\n"},
        {velcap::LogLevel::Warning, "a\r\nb\r\n", "velcap warning [device]: a\nvelcap warning [device]: b\n"},
        {velcap::LogLevel::Info, "\n", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(velcapd::logLine(c.level, "device", c.text), c.line);
}

TEST(CompleteJpeg, PutsInTheStandardTablesOnlyWhenMissing) {
    cv::Mat picture(48, 64, CV_8UC3);
    cv::randu(picture, 0, 255);
    std::vector<uchar> whole;
    cv::imencode(".jpg", picture, whole);
    std::string stripped(whole.begin(), whole.begin() + 2);
    for (size_t i = 2; i + 4 < whole.size();) { // drops the DHT segments before the scan
        const size_t end = i + 2 + (size_t(whole[i + 2]) << 8 | whole[i + 3]);
        if (whole[i + 1] == 0xDA) {
            stripped.append(whole.begin() + long(i), whole.end());
            break;
        }
        if (whole[i + 1] != 0xC4) stripped.append(whole.begin() + long(i), whole.begin() + long(end));
        i = end;
    }
    ASSERT_EQ(stripped.find("\xFF\xC4"), std::string::npos);
    const std::string mended = velcapd::completeJpeg(reinterpret_cast<const uchar*>(stripped.data()), stripped.size());
    const cv::Mat back = cv::imdecode(std::vector<uchar>(mended.begin(), mended.end()), cv::IMREAD_COLOR);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(cv::norm(back, cv::imdecode(whole, cv::IMREAD_COLOR), cv::NORM_INF), 0);
    const std::string untouched = velcapd::completeJpeg(whole.data(), whole.size());
    EXPECT_EQ(untouched, std::string(whole.begin(), whole.end()));
}

} // namespace

namespace {

// The value of a JavaScript expression on the page that headless Chromium
// shows, through its DevTools protocol.
class Browser {
public:
    explicit Browser(const std::string& url) : url_(url) {
        profile_ = testing::TempDir() + "/velcap-chromium-" + std::to_string(getpid());
        // Chromium puts a Unix socket into TMPDIR, whose path may have 107
        // bytes at most: a deep checkout's test folder is too long for it.
        char scratch[] = "/tmp/velcap-chromium-XXXXXX";
        if (::mkdtemp(scratch)) scratch_ = scratch;
        launch();
    }
    ~Browser() {
        if (pid_ > 0) ::kill(-pid_, SIGKILL);
        std::system(("rm -rf " + profile_ + (scratch_.empty() ? "" : " " + scratch_)).c_str());
    }
    // Evaluates expression until it is true or the time is up.
    bool waitFor(const std::string& expression, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (evaluate(expression) == "true") return true;
            std::this_thread::sleep_for(200ms);
        }
        return false;
    }
    std::string evaluate(const std::string& expression) {
        try {
            net::io_context context;
            if (port_ == 0) {
                // The port chromium chose, on the first line of this file once it listens.
                std::ifstream active(profile_ + "/DevToolsActivePort");
                if (!(active >> port_)) {
                    // A browser that ends before it listens is the test client's
                    // failure, not the service's: start it again, a few times.
                    if (!running() && launches_ < 3) launch();
                    lastError_ = "the browser does not listen yet";
                    return {};
                }
            }
            if (socketUrl_.empty()) socketUrl_ = pageSocket(context, port_, url_);
            if (socketUrl_.empty()) {
                lastError_ = "no page target for " + url_ + " yet";
                return {};
            }
            websocket::stream<tcp::socket> ws(context);
            ws.next_layer().connect({net::ip::make_address("127.0.0.1"), port_});
            ws.handshake("127.0.0.1", socketUrl_.substr(socketUrl_.find('/', 5)));
            ws.write(net::buffer(Json{{"id", 1},
                                      {"method", "Runtime.evaluate"},
                                      {"params", {{"expression", expression}, {"returnByValue", true}}}}
                                     .dump()));
            for (;;) {
                beast::flat_buffer buffer;
                ws.read(buffer);
                const Json message = Json::parse(beast::buffers_to_string(buffer.data()), nullptr, false);
                if (message.value("id", 0) != 1) continue;
                // Before the page has its elements, the answer is an exception without a value.
                const Json::json_pointer where("/result/result/value");
                if (!message.contains(where)) {
                    lastError_ = message.dump();
                    return {};
                }
                const Json& value = message.at(where);
                return value.is_string() ? value.get<std::string>() : value.dump();
            }
        } catch (const std::exception& e) {
            // Not up yet, or the target went: the next call looks for the page again.
            lastError_ = e.what();
            socketUrl_.clear();
            return {};
        }
    }
    // Why the last evaluation gave nothing, for a failure's message.
    std::string lastError() const {
        std::ifstream log(profile_ + "/chromium.log");
        std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
        if (text.size() > 4000) text.erase(0, text.size() - 4000);
        return lastError_ + (running() ? "" : " (the browser has ended)") + " after " + std::to_string(launches_) +
               " start(s); its output:\n" + text;
    }

private:
    void launch() {
        ++launches_;
        // A process group of its own, stopped whole; the DevTools port is
        // its own too (never a browser another run left behind).
        // Its scratch files go into a folder of its own, removed with the
        // profile: a killed browser leaves them behind.
        const std::string command =
            "mkdir -p " + profile_ + " && env -u LD_PRELOAD TMPDIR=" + scratch_ +
            " setsid chromium --headless --no-sandbox --disable-gpu "
            "--disable-dev-shm-usage --no-first-run --disable-quic --disable-background-networking "
            "--disable-component-update --disable-sync --remote-debugging-port=0 "
            "--user-data-dir=" +
            profile_ + " '" + url_ + "' >>" + profile_ + "/chromium.log 2>&1 & echo $!";
        FILE* shell = ::popen(command.c_str(), "r");
        if (shell && std::fscanf(shell, "%d", &pid_) != 1) pid_ = -1;
        if (shell) ::pclose(shell);
    }
    bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }

    // The DevTools WebSocket of the page showing url, from /json/list (early on,
    // a blank page may stand in its place).
    static std::string pageSocket(net::io_context& context, unsigned short port, const std::string& url) {
        tcp::socket socket(context);
        socket.connect({net::ip::make_address("127.0.0.1"), port});
        http::request<http::empty_body> request{http::verb::get, "/json/list", 11};
        request.set(http::field::host, "127.0.0.1");
        http::write(socket, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        for (const Json& target : Json::parse(response.body()))
            if (target.value("type", "") == "page" &&
                target.value("url", "").rfind(url.substr(0, url.find('?')), 0) == 0)
                return target.value("webSocketDebuggerUrl", "");
        return {};
    }
    std::string url_;
    std::string lastError_;
    std::string profile_;
    std::string scratch_;
    int pid_ = -1;
    unsigned short port_ = 0;
    int launches_ = 0;
    std::string socketUrl_;
};

// The demo page in Chromium: the camera listed, frames counted, and a
// photograph with the codes read from it.
TEST_F(Service, TheDemoPageShowsFramesAndACapture) {
    const std::string page =
        "http://127.0.0.1:" + std::to_string(server_->port()) + "/?token=" + kToken + "&size=1280x720&capture=1";
    Browser browser(page);
    velcap::test::stdoutOf([&] {
        EXPECT_TRUE(browser.waitFor("document.getElementById('codes').textContent.length > 0", 60s))
            << browser.evaluate("document.body.innerText") << browser.lastError();
    });
    EXPECT_EQ(browser.evaluate("document.getElementById('codes').textContent"), "VELCAP-VCAM-QR-0001");
    EXPECT_NE(browser.evaluate("document.getElementById('path').textContent").find("(1280×720)"), std::string::npos);
    EXPECT_NE(browser.evaluate("document.getElementById('devices').textContent").find("DocCam S8"), std::string::npos);
    const int frames = std::stoi("0" + browser.evaluate("document.getElementById('frames').textContent"));
    EXPECT_TRUE(
        browser.waitFor("Number(document.getElementById('frames').textContent) > " + std::to_string(frames + 2), 10s))
        << "the frame counter goes on";
}

} // namespace
