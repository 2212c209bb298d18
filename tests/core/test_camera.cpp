// The object interface on the virtual cameras: two cameras in one process,
// each with its own size, settings and captures, beside the flat interface.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <dirent.h>
#include <mutex>
#include <pwd.h>
#include <thread>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "device/button.h"
#include "device/watch.h"
#include "support/capture_test.h"
#include "velcap/camera.h"

using namespace std::chrono_literals;

namespace {

using velcap::Status;

// Counts a camera's frames and keeps the size of the last; waits for a count.
class Frames {
public:
    void operator()(const velcap::Frame& f) {
        {
            std::lock_guard lock(mutex_);
            ++count_;
            size_ = cv::Size(f.width, f.height);
            stride_ = f.stride;
        }
        changed_.notify_all();
    }
    bool waitFor(int count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 20s, [&] { return count_ >= count; });
    }
    int count() {
        std::lock_guard lock(mutex_);
        return count_;
    }
    cv::Size size() {
        std::lock_guard lock(mutex_);
        return size_;
    }
    int stride() {
        std::lock_guard lock(mutex_);
        return stride_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
    int stride_ = 0;
    cv::Size size_;
};

class Camera : public velcap::test::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        present(vcam::Description{{velcap::test::documentCamera(0, "0801"), velcap::test::documentCamera(2, "0802")}});
        velcap::test::stdoutOf([&] { list = velcap::devices(); });
        ASSERT_EQ(list.size(), 2u);
    }
    Status openObject(velcap::Camera& camera, int index, int w, int h) {
        Status status = Status::Ok;
        velcap::test::stdoutOf([&] { status = camera.open(list[size_t(index)], w, h); });
        return status;
    }
    std::vector<velcap::Device> list;
};

// Two of a model at one desk, with one serial between them (as cheap
// cameras have), in nodes that do not follow their ports, beside a webcam.
class AtTheDesk : public velcap::test::CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        vcam::Camera left = velcap::test::documentCamera(4), right = velcap::test::documentCamera(0);
        left.bus = "usb-0000:00:14.0-1";
        right.bus = "usb-0000:00:14.0-3";
        left.serial = right.serial = "SAME0001";
        present(vcam::Description{{left, right, vcam::defaultDescription().cameras.at(1)}});
    }
    static std::vector<velcap::Device> listed(velcap::DeviceFilter filter) {
        std::vector<velcap::Device> list;
        velcap::test::stdoutOf([&] { list = velcap::devices(filter); });
        return list;
    }
};

TEST_F(AtTheDesk, EveryCameraIsListedByPortAndOthersOnlyWhenAsked) {
    const auto supported = listed(velcap::DeviceFilter::Supported);
    ASSERT_EQ(supported.size(), 2u);
    EXPECT_EQ(supported[0].node, "/dev/video4") << "port 1 before port 3";
    EXPECT_EQ(supported[1].node, "/dev/video0");
    EXPECT_EQ(supported[0].serial, supported[1].serial);
    EXPECT_NE(supported[0].port, supported[1].port);
    EXPECT_TRUE(supported[0].supported && supported[1].supported);

    const auto any = listed(velcap::DeviceFilter::AnyCamera);
    ASSERT_EQ(any.size(), 3u);
    EXPECT_EQ(any[2].node, "/dev/video2");
    EXPECT_EQ(any[2].name, "Generic USB Webcam");
    EXPECT_FALSE(any[2].supported);
    EXPECT_EQ(any[2].sizes.back(), std::make_pair(1280, 720));

    // The flat interface keeps one per model (udev's first) unless a host asks for more.
    const std::vector<std::pair<int, std::vector<std::string>>> flat = {
        {0, {"/dev/video4"}}, {1, {"/dev/video4", "/dev/video0"}}, {2, {"/dev/video4", "/dev/video0", "/dev/video2"}}};
    for (const auto& [listing, nodes] : flat) {
        SCOPED_TRACE(listing);
        SetDeviceListing(listing);
        int count = 0;
        velcap::test::stdoutOf([&] { count = getDeviceCount(); });
        ASSERT_EQ(count, int(nodes.size()));
        for (int i = 0; i < count; ++i) EXPECT_EQ(getCameraNode(i), nodes[size_t(i)]);
    }
}

// A camera that comes back is found at its own port first: the other of
// its model, with the same serial, comes first in udev's list.
TEST_F(AtTheDesk, TheCameraThatComesBackIsTheOneAtItsPort) {
    for (const char* node : {"/dev/video0", "/dev/video4"}) {
        velcap::Identity identity;
        ASSERT_TRUE(velcap::identify(node, identity));
        EXPECT_EQ(velcap::findCaptureNode(identity), node);
    }
}

TEST_F(AtTheDesk, TwoOfAModelAndAWebcamStreamAtOnce) {
    const auto any = listed(velcap::DeviceFilter::AnyCamera);
    ASSERT_EQ(any.size(), 3u);
    Frames frames[3];
    velcap::Camera cameras[3];
    for (size_t i = 0; i < 3; ++i) {
        cameras[i].setFrameCallback(std::ref(frames[i]));
        Status status = Status::NotServed;
        velcap::test::stdoutOf([&] { status = cameras[i].open(any[i], 640, 480); });
        ASSERT_EQ(status, Status::Ok) << any[i].node;
    }
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(frames[i].waitFor(3)) << any[i].node;
        EXPECT_EQ(cameras[i].node(), any[i].node);
    }
    velcap::test::stdoutOf([&] {
        for (auto& camera : cameras) camera.close();
    });
}

// The camera's own button, pressed by the virtual camera every few frames,
// reaches the object interface and the flat one; a camera without one opens as ever.
TEST_F(AtTheDesk, TheButtonIsHeardWhileTheCameraIsOpen) {
    vcam::Camera withButton = velcap::test::documentCamera(0);
    withButton.button = true;
    withButton.buttonAfter = 3;
    withButton.buttonEvery = 4;
    present(vcam::Description{{withButton, velcap::test::documentCamera(2, "0802")}});
    const auto list = listed(velcap::DeviceFilter::Supported);
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(velcap::buttonNodes(list[0].node), std::vector<std::string>{"/dev/input/event0"});
    EXPECT_TRUE(velcap::buttonNodes(list[1].node).empty());

    std::mutex mutex;
    std::condition_variable pressed;
    int presses = 0;
    velcap::Camera camera, plain;
    camera.setButtonCallback([&](velcap::ButtonKey key) {
        EXPECT_EQ(key, velcap::ButtonKey::Capture);
        std::lock_guard lock(mutex);
        ++presses;
        pressed.notify_all();
    });
    velcap::test::stdoutOf([&] {
        ASSERT_EQ(camera.open(list[0], 640, 480), Status::Ok);
        ASSERT_EQ(plain.open(list[1], 640, 480), Status::Ok);
    });
    {
        std::unique_lock lock(mutex);
        EXPECT_TRUE(pressed.wait_for(lock, 20s, [&] { return presses >= 2; })) << presses;
    }
    velcap::test::stdoutOf([&] {
        camera.close();
        plain.close();
    });

    // The flat callback is a plain function: it reaches the test through statics.
    static std::mutex flatMutex;
    static std::condition_variable flatPressed;
    static int flatPresses = 0;
    SetButtonCallback([](int key) {
        std::lock_guard lock(flatMutex);
        if (key == 0) ++flatPresses;
        flatPressed.notify_all();
    });
    velcap::test::stdoutOf([&] { ASSERT_EQ(getDeviceCount(), 2); });
    velcap::test::stdoutOf([&] { ASSERT_EQ(openCamera(0, 640, 480), 0); });
    {
        std::unique_lock lock(flatMutex);
        EXPECT_TRUE(flatPressed.wait_for(lock, 20s, [] { return flatPresses > 0; }));
    }
    SetButtonCallback(nullptr);
    velcap::test::stdoutOf([&] { closeCamera(); });
}

TEST_F(Camera, DevicesTellNodeIdsSerialAndSizes) {
    EXPECT_EQ(list[0].node, "/dev/video0");
    EXPECT_EQ(list[1].node, "/dev/video2");
    EXPECT_EQ(list[0].vendor, 0x31a5u);
    EXPECT_EQ(list[1].product, 0x0802u);
    EXPECT_EQ(list[0].serial, "VC1000");
    EXPECT_EQ(list[0].name, "DocCam S8");
    ASSERT_FALSE(list[0].sizes.empty());
    EXPECT_EQ(list[0].sizes.front(), std::make_pair(640, 480));
    EXPECT_EQ(list[0].sizes.back(), std::make_pair(3264, 2448));
}

TEST_F(Camera, TwoCamerasStreamAtTheirOwnSizesAndCaptureAtOnce) {
    Frames framesA, framesB; // outlive the cameras, whose stream threads call them
    velcap::Camera a, b;
    a.setFrameCallback(std::ref(framesA));
    ASSERT_EQ(openObject(a, 0, 640, 480), Status::Ok);
    ASSERT_EQ(openObject(b, 1, 1280, 720), Status::Ok);
    b.setFrameCallback(std::ref(framesB)); // after open, too
    velcap::CaptureSettings turned;
    turned.rotation = 1;
    b.setCaptureSettings(turned);
    ASSERT_TRUE(framesA.waitFor(3));
    ASSERT_TRUE(framesB.waitFor(3));
    EXPECT_EQ(framesA.size(), cv::Size(640, 480));
    EXPECT_EQ(framesA.stride(), 640 * 3);
    EXPECT_EQ(framesB.size(), cv::Size(720, 1280)) << "b's own turn";
    EXPECT_EQ(a.captureSettings().rotation, 0) << "a kept its settings";

    Status fromA = Status::NotServed, fromB = Status::NotServed;
    velcap::test::stdoutOf([&] {
        std::thread other([&] { fromB = b.capture(file("b.png")); });
        fromA = a.capture(file("a.jpg"));
        other.join();
    });
    EXPECT_EQ(fromA, Status::Ok);
    EXPECT_EQ(fromB, Status::Ok);
    EXPECT_EQ(cv::imread(file("a.jpg")).size(), cv::Size(640, 480));
    EXPECT_EQ(cv::imread(file("b.png")).size(), cv::Size(720, 1280));

    velcap::test::stdoutOf([&] { a.close(); });
    EXPECT_FALSE(a.isOpen());
    EXPECT_EQ(a.capture(file("closed.jpg")), Status::NotOpen);
    EXPECT_TRUE(b.isOpen()) << "closing one camera leaves the other";
    velcap::test::stdoutOf([&] { EXPECT_EQ(b.capture(file("b2.jpg")), Status::Ok); });
}

TEST_F(Camera, TheFlatInterfaceOpensOneWhileAnObjectHoldsAnother) {
    Frames frames;
    velcap::Camera object;
    object.setFrameCallback(std::ref(frames));
    ASSERT_EQ(openObject(object, 1, 640, 480), Status::Ok);
    velcap::test::stdoutOf([] { ASSERT_EQ(openCamera(0, 1280, 720), 0); });
    EXPECT_EQ(nWidth, 1280);
    velcap::test::stdoutOf([&] { EXPECT_EQ(captureImage(file("flat.jpg").c_str()), 0); });
    EXPECT_EQ(cv::imread(file("flat.jpg")).size(), cv::Size(1280, 720));
    velcap::test::stdoutOf([] { closeCamera(); });
    // The object's camera streams on.
    const int seen = frames.count();
    ASSERT_TRUE(frames.waitFor(seen + 3));
    velcap::test::stdoutOf([&] { EXPECT_EQ(object.capture(file("object.bmp")), Status::Ok); });
    EXPECT_EQ(cv::imread(file("object.bmp")).size(), cv::Size(640, 480));
}

TEST_F(Camera, FailuresAreStatusesWithWords) {
    Status fromCallback = Status::Ok;
    Frames frames;
    velcap::Camera camera;
    velcap::Device missing;
    missing.node = "/dev/video9";
    std::vector<std::string> lines;
    velcap::setLogHandler([&](velcap::LogLevel level, const char* category, const char* text) {
        if (level == velcap::LogLevel::Error) lines.push_back(std::string(category) + ": " + text);
    });
    EXPECT_EQ(camera.open(missing, 640, 480), Status::OpenFailed);
    velcap::setLogHandler(nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"device: 打开相机节点失败"});
    EXPECT_EQ(camera.open(velcap::Device{}, 640, 480), Status::NoDevice);
    EXPECT_EQ(openObject(camera, 0, 0, 480), Status::BadSize);
    EXPECT_FALSE(camera.isOpen());
    std::string text;
    EXPECT_EQ(camera.recognise(0, text), Status::NotOpen);
    EXPECT_EQ(camera.setControl(0x00980900, 1), Status::NotOpen);
    for (int s = 0; s <= int(Status::NoOcrLanguages); ++s) EXPECT_STRNE(velcap::describe(Status(s)), "unknown status");

    // The camera's own thread cannot wait for a capture it serves.
    camera.setFrameCallback([&](const velcap::Frame& f) {
        if (fromCallback == Status::Ok) fromCallback = camera.capture(file("self.jpg"));
        frames(f);
    });
    ASSERT_EQ(openObject(camera, 0, 640, 480), Status::Ok);
    ASSERT_TRUE(frames.waitFor(2));
    EXPECT_EQ(fromCallback, Status::OnStreamThread);

    velcap::Control brightness;
    EXPECT_EQ(camera.control(0x00980900, brightness), Status::Ok);
    EXPECT_EQ(brightness.name, "brightness");
    EXPECT_EQ(camera.setControl(0x00980900, 1000), Status::OutOfRange);
    EXPECT_EQ(camera.setControl(0x00980900, 12), Status::Ok);
    EXPECT_EQ(camera.control(0x00980900, brightness), Status::Ok);
    EXPECT_EQ(brightness.value, 12);
    EXPECT_GE(camera.controls().size(), 10u);
}

} // namespace

namespace {

// The names in folder; with stems, only those that begin with one of them.
std::vector<std::string> namesIn(const std::string& folder, const std::vector<std::string>& stems = {}) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (stems.empty() ||
                std::any_of(stems.begin(), stems.end(), [&](const std::string& s) { return name.rfind(s, 0) == 0; }))
                names.push_back(name);
        }
        ::closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A capture's own settings: the camera's stay, the frame is turned and
// cropped as the request says, and a PDF's picture never passes through a
// file beside it or in the home folder. The stream goes on meanwhile.
TEST_F(Camera, CapturesCarryTheirOwnSettingsAndWriteOnlyTheirFile) {
    Frames frames;
    velcap::Camera camera;
    camera.setFrameCallback(std::ref(frames));
    ASSERT_EQ(openObject(camera, 0, 1280, 720), Status::Ok);
    ASSERT_TRUE(frames.waitFor(3));
    const passwd* user = getpwuid(getuid());
    ASSERT_TRUE(user && user->pw_dir);
    // Other test programs use the home folder meanwhile: only what these captures could leave there counts.
    const std::vector<std::string> stems = {"p1", "p2", "turned"};
    const std::vector<std::string> home = namesIn(user->pw_dir, stems), here = namesIn(file(""));

    velcap::CaptureSettings turned;
    turned.rotation = 3;
    for (const char* name : {"p1.pdf", "p2.pdf"})
        velcap::test::stdoutOf([&] { EXPECT_EQ(camera.capture(file(name), turned), Status::Ok) << name; });
    velcap::test::stdoutOf([&] { EXPECT_EQ(camera.capture(file("turned.png"), turned), Status::Ok); });
    EXPECT_EQ(cv::imread(file("turned.png")).size(), cv::Size(720, 1280));
    EXPECT_EQ(camera.captureSettings().rotation, 0) << "the camera's own settings are untouched";
    EXPECT_EQ(frames.size(), cv::Size(1280, 720));
    EXPECT_EQ(namesIn(user->pw_dir, stems), home) << "nothing left in the home folder";
    std::vector<std::string> expected = here;
    for (const char* name : {"p1.pdf", "p2.pdf", "turned.png"}) expected.emplace_back(name);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(namesIn(file("")), expected) << "nothing beside the files asked for";

    // A NUL would end the name early: a shorter name than the one asked for.
    velcap::test::stdoutOf([&] {
        EXPECT_EQ(camera.capture(file("x.sh") + std::string(1, '\0') + ".jpg"), Status::BadPath);
        EXPECT_EQ(camera.capture(file("a\nb.jpg")), Status::BadPath);
        velcap::CaptureSettings none;
        none.colorMode = 3;
        EXPECT_EQ(camera.capture(file("none.jpg"), none), Status::NothingAsked);
    });
    EXPECT_NE(::access(file("none.jpg").c_str(), F_OK), 0);
    EXPECT_NE(::access(file("x.sh").c_str(), F_OK), 0);
    velcap::test::stdoutOf([&] { camera.close(); });
}

// A host that passes the camera's JPEG on pays no decode: frames come as
// bytes alone until a request needs pixels, and that request gets them.
TEST_F(Camera, JpegOnlyFramesAreNotDecodedUntilARequestNeedsThem) {
    std::mutex mutex;
    std::condition_variable changed;
    int jpegOnly = 0, withPixels = 0;
    velcap::Camera camera;
    camera.setJpegOnly(true);
    camera.setFrameCallback([&](const velcap::Frame& f) {
        {
            std::lock_guard lock(mutex);
            ++(f.rgb ? withPixels : jpegOnly);
            if (!f.rgb) {
                EXPECT_TRUE(f.jpeg && f.jpegSize > 0 && f.width == 1280 && f.height == 720);
            }
        }
        changed.notify_all();
    });
    ASSERT_EQ(openObject(camera, 0, 1280, 720), Status::Ok);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return jpegOnly >= 10; }));
    }
    EXPECT_EQ(camera.decodedFrames(), 0u);
    velcap::test::stdoutOf([&] { EXPECT_EQ(camera.capture(file("page.jpg")), Status::Ok); });
    EXPECT_EQ(cv::imread(file("page.jpg")).size(), cv::Size(1280, 720));
    EXPECT_GE(camera.decodedFrames(), 1u);
    velcap::CaptureSettings turned;
    turned.rotation = 1;
    camera.setCaptureSettings(turned); // a turn needs pixels on every frame
    {
        std::unique_lock lock(mutex);
        const int seen = withPixels;
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return withPixels >= seen + 3; }));
    }
    velcap::test::stdoutOf([&] { camera.close(); });
}

// Frames passed on undecoded are whole JPEGs: one cut short is skipped, not sent.
TEST_F(Camera, JpegOnlyFramesCutShortAreNotPassedOn) {
    vcam::Camera damaged = velcap::test::documentCamera(0, "0801");
    damaged.faults.mjpeg = vcam::Faults::Mjpeg::Truncated;
    damaged.faults.mjpegAfter = 3;
    present(vcam::Description{{damaged}});
    std::mutex mutex;
    std::condition_variable skipped;
    bool skippedOne = false;
    velcap::setLogHandler([&](velcap::LogLevel, const char*, const char* text) {
        if (!std::strstr(text, "not a whole JPEG")) return;
        std::lock_guard lock(mutex);
        skippedOne = true;
        skipped.notify_all();
    });
    Frames frames;
    velcap::Camera camera;
    camera.setJpegOnly(true);
    camera.setFrameCallback(std::ref(frames));
    ASSERT_EQ(camera.open(velcap::devices().at(0), 1280, 720), Status::Ok);
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(skipped.wait_for(lock, 20s, [&] { return skippedOne; }));
    }
    EXPECT_EQ(frames.count(), 3) << "the three whole frames, and none after them";
    camera.close();
    velcap::setLogHandler(nullptr);
}

// A preview size: frames that nothing needs whole are decoded reduced, at
// the least size that covers it (turned with the picture); requests still get
// whole frames.
TEST_F(Camera, PreviewFramesAreReducedToCoverTheirSize) {
    for (const velcap::PixelFormat format : {velcap::PixelFormat::Mjpeg, velcap::PixelFormat::Yuyv}) {
        SCOPED_TRACE(int(format));
        Frames frames;
        velcap::Camera camera;
        camera.setFrameCallback(std::ref(frames));
        camera.setPreviewSize(300, 200);
        Status opened = Status::Ok;
        velcap::test::stdoutOf([&] { opened = camera.open(list[0], 1280, 720, format); });
        ASSERT_EQ(opened, Status::Ok);
        ASSERT_TRUE(frames.waitFor(5));
        EXPECT_EQ(frames.size(), cv::Size(640, 360)) << "a half covers 300 x 200, a quarter would not";
        EXPECT_EQ(camera.decodedFrames(), 0u) << "nothing decoded whole";

        velcap::test::stdoutOf([&] { EXPECT_EQ(camera.capture(file("whole.png")), Status::Ok); });
        EXPECT_EQ(cv::imread(file("whole.png")).size(), cv::Size(1280, 720));

        velcap::CaptureSettings turned;
        turned.rotation = 1;
        camera.setCaptureSettings(turned);
        camera.setPreviewSize(180, 320);
        int seen = frames.count();
        ASSERT_TRUE(frames.waitFor(seen + 3));
        seen = frames.count();
        ASSERT_TRUE(frames.waitFor(seen + 1));
        EXPECT_EQ(frames.size(), cv::Size(180, 320)) << "a quarter of the camera's frame, turned";

        // A stage that needs the whole frame has it; the callback keeps the preview's size.
        turned.crop = velcap::Crop::Outline;
        camera.setCaptureSettings(turned);
        const std::uint64_t decoded = camera.decodedFrames();
        seen = frames.count();
        ASSERT_TRUE(frames.waitFor(seen + 3));
        EXPECT_GT(camera.decodedFrames(), decoded);
        EXPECT_EQ(frames.size(), cv::Size(180, 320));

        camera.setPreviewSize(0, 0);
        seen = frames.count();
        ASSERT_TRUE(frames.waitFor(seen + 2));
        EXPECT_EQ(frames.size(), cv::Size(720, 1280));
        velcap::test::stdoutOf([&] { camera.close(); });
    }
}

} // namespace

// A scan is the page on the desk laid on an A4 platen, whatever the camera's
// own crop; a capture's crop that the stream does not track finds its page too.
TEST_F(Camera, ScansAndCropsFindThePageOnTheFrame) {
    velcap::Camera camera;
    ASSERT_EQ(openObject(camera, 0, 1280, 720), Status::Ok);
    velcap::CaptureSettings quad;
    quad.crop = velcap::Crop::Quad;
    velcap::test::stdoutOf([&] { EXPECT_EQ(camera.capture(file("page.png"), quad), Status::Ok); });
    const cv::Mat page = cv::imread(file("page.png"));
    EXPECT_LT(page.cols, page.rows) << "the upright page, not the " << page.cols << "x" << page.rows << " frame";

    struct Case {
        velcap::ScanSettings settings;
        cv::Size size;
        int channels;
    };
    const auto settings = [](int dpi, int mode, const char* format, int x = 0, int width = 0) {
        velcap::ScanSettings s;
        s.dpi = dpi, s.colorMode = mode, s.format = format, s.x = x, s.width = width;
        return s;
    };
    const Case cases[] = {
        {settings(150, 0, "png"), {1240, 1754}, 3},
        {settings(75, 1, "jpg"), {620, 877}, 1},
        {settings(100, 2, "png"), {827, 1169}, 1},
        {settings(150, 0, "jpg", 1240), {1240 - 620, 1754}, 3},        // the right half
        {settings(300, 0, "png", 2000, 2000), {2480 - 2000, 3508}, 3}, // cut at the platen's edge
    };
    for (const Case& c : cases) {
        velcap::Scan scan;
        velcap::test::stdoutOf([&] { ASSERT_EQ(camera.scan(c.settings, scan), Status::Ok); });
        const cv::Mat picture = cv::imdecode(scan.bytes, cv::IMREAD_UNCHANGED);
        EXPECT_TRUE(scan.pageFound);
        EXPECT_EQ(picture.size(), c.size) << c.settings.dpi << " dpi, x " << c.settings.x;
        EXPECT_EQ(cv::Size(scan.width, scan.height), c.size);
        EXPECT_EQ(picture.channels(), c.channels);
        // The page fills the platen: paper in every corner, no desk.
        cv::Mat grey = picture;
        if (picture.channels() == 3) cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY);
        for (const cv::Point at : {cv::Point(3, 3), cv::Point(grey.cols - 4, grey.rows - 4)})
            EXPECT_GT(grey.at<uchar>(at), 150) << at;
        if (c.settings.colorMode == 2) {
            const int other = grey.total() - cv::countNonZero(grey == 0) - cv::countNonZero(grey == 255);
            EXPECT_EQ(other, 0) << "black and white holds nothing else";
        }
    }
    velcap::Scan pdf;
    velcap::test::stdoutOf([&] { ASSERT_EQ(camera.scan(settings(150, 2, "pdf"), pdf), Status::Ok); });
    EXPECT_EQ(std::string(pdf.bytes.begin(), pdf.bytes.begin() + 5), "%PDF-");

    for (const velcap::ScanSettings& bad : {settings(50, 0, "png"), settings(700, 0, "png"), settings(150, 3, "png"),
                                            settings(150, 0, "bmp"), settings(150, 0, "png", velcap::kPlatenWidth)}) {
        velcap::Scan scan;
        velcap::test::stdoutOf([&] { EXPECT_EQ(camera.scan(bad, scan), Status::NothingAsked) << bad.dpi; });
        EXPECT_TRUE(scan.bytes.empty());
    }
    velcap::test::stdoutOf([&] { camera.close(); });

    // No page on the desk: the whole desk, at its own shape, on the platen's top.
    cv::imwrite(file("desk.png"), cv::Mat(720, 1280, CV_8UC3, cv::Scalar(60, 90, 120)));
    vcam::Camera bare = velcap::test::documentCamera();
    bare.scene = file("desk.png");
    present(bare);
    ASSERT_EQ(openObject(camera, 0, 1280, 720), Status::Ok);
    velcap::Scan desk;
    velcap::test::stdoutOf([&] { ASSERT_EQ(camera.scan(settings(150, 0, "png"), desk), Status::Ok); });
    EXPECT_FALSE(desk.pageFound);
    const cv::Mat picture = cv::imdecode(desk.bytes, cv::IMREAD_COLOR);
    ASSERT_EQ(picture.size(), cv::Size(1240, 1754));
    EXPECT_NEAR(picture.at<cv::Vec3b>(300, 600)[0], 60, 8) << "the desk at the top";
    EXPECT_EQ(picture.at<cv::Vec3b>(1700, 600), cv::Vec3b(255, 255, 255)) << "white below it";
    velcap::test::stdoutOf([&] { camera.close(); });
}
