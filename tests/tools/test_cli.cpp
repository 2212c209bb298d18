// The installed velcap command-line tool, run through the virtual camera's
// launcher as a user runs it: results on standard output only, messages on
// standard error, and the documented exit statuses.
#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "book_scene.h"
#include "codes/code_images.h"
#include "desk_scene.h"
#include "scene.h"
#include "support/made_up_card.h"
#include "support/shell.h"

namespace {

struct Outcome {
    std::string out; // standard output alone
    std::string err;
    int status = -1;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

Outcome runSplit(const std::string& command) {
    const std::string errFile = testing::TempDir() + "/velcap-cli.err";
    Outcome outcome;
    FILE* pipe = ::popen((command + " 2>" + errFile).c_str(), "r");
    if (!pipe) return outcome;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0) outcome.out.append(buffer, n);
    const int status = ::pclose(pipe);
    outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    outcome.err = slurp(errFile);
    return outcome;
}

bool exists(const std::string& path) {
    return std::ifstream(path).good();
}

class Cli : public testing::Test {
protected:
    static void SetUpTestSuite() {
        prefix_ = testing::TempDir() + "/velcap-cli-install";
        auto [out, status] = velcap::test::run("rm -rf " + prefix_ + " && cmake --install " +
                                               std::getenv("VELCAP_BUILD_DIR") + " --prefix " + prefix_);
        ASSERT_EQ(status, 0) << out;
    }

    void SetUp() override {
        dir_ = testing::TempDir() + "/velcap-cli-" + testing::UnitTest::GetInstance()->current_test_info()->name();
        velcap::test::run("rm -rf " + dir_ + " && mkdir -p " + dir_);
        // Each test's camera profiles start empty, in a folder of its own.
        setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    }

    std::string writeConfig(const std::string& config) const {
        const std::string file = dir_ + "/cameras.vcam";
        std::ofstream(file) << config;
        return file;
    }
    // velcap with these arguments, on the default virtual cameras or on a description.
    Outcome velcap(const std::string& arguments, const std::string& config = {}) const {
        std::string launcher = prefix_ + "/bin/velcap-vcam";
        if (!config.empty()) launcher += " --config " + writeConfig(config);
        return runSplit(launcher + " -- " + prefix_ + "/bin/velcap " + arguments);
    }
    // velcap without any camera at all.
    Outcome velcapAlone(const std::string& arguments) const { return runSplit(prefix_ + "/bin/velcap " + arguments); }

    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // A folder on a disk of a few kilobytes, for what a full disk does; empty
    // where this machine lets no one mount one.
    std::string smallDisk(const std::string& name, int kilobytes) {
        const std::string folder = path(name);
        auto [out, status] = velcap::test::run(
            "mkdir -p " + folder + " && mount -t tmpfs -o size=" + std::to_string(kilobytes) + "k tmpfs " + folder);
        if (status != 0) return {};
        mounts_.push_back(folder);
        return folder;
    }
    void TearDown() override {
        for (const std::string& folder : mounts_) velcap::test::run("umount " + folder);
    }
    std::vector<std::string> mounts_;

    static inline std::string prefix_;
    std::string dir_;
};

// A supported camera that shows a still picture.
std::string cameraShowing(const std::string& scene) {
    return "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\nformat MJPG 640x480@30\nscene " + scene + "\n";
}
const char kWebcamOnly[] = "camera 2\nvendor 046d\nproduct 0825\ncard Generic USB Webcam\nformat MJPG 640x480@30\n";

// One line, ending in a line end, that names what was wrong.
void expectOneLineNaming(const Outcome& outcome, const std::string& what) {
    EXPECT_TRUE(outcome.out.empty()) << outcome.out;
    const size_t last = outcome.err.rfind('\n', outcome.err.size() - 2);
    const std::string line = outcome.err.substr(last == std::string::npos ? 0 : last + 1);
    EXPECT_EQ(line.rfind("velcap: ", 0), 0u) << outcome.err;
    EXPECT_NE(line.find(what), std::string::npos) << outcome.err;
}

TEST_F(Cli, HelpVersionManualAndCompletion) {
    Outcome help = velcapAlone("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* text : {"list [--json]", "capture [", "scan [--qr|--bar]",
                             "pdf [-n] [--ocr [LANGS]] [--pdfa] [--paper", "idcard [-n] --front", "merge [--column]",
                             "clean [", "Exit status", "3  no supported camera", "4  scan: no code found"})
        EXPECT_NE(help.out.find(text), std::string::npos) << text;
    // A command's help is its own usage, and the options of every command.
    const std::string captureHelp = velcapAlone("capture --help").out;
    EXPECT_EQ(captureHelp.rfind("Usage: velcap capture", 0), 0u) << captureHelp;
    EXPECT_EQ(captureHelp.find("merge [--column]"), std::string::npos);
    EXPECT_NE(captureHelp.find("-n, --no-clobber"), std::string::npos);

    Outcome version = velcapAlone("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out.rfind("velcap ", 0), 0u) << version.out;

    const std::string manual = slurp(prefix_ + "/share/man/man1/velcap.1");
    for (const char* text : {".SH EXIT STATUS", R"(.BR \-q ", " \-\-quiet)", R"(.BR \-v ", " \-\-verbose)",
                             R"(\-\-no\-clobber)", R"(\-\-raw)", R"(\-\-device)"})
        EXPECT_NE(manual.find(text), std::string::npos) << text;

    // The installed completion offers the commands, then each command's options.
    const std::string completion = prefix_ + "/share/bash-completion/completions/velcap";
    auto complete = [&](const std::string& words, int current) {
        return velcap::test::run("bash -c 'source " + completion + "; COMP_WORDS=(" + words +
                                 "); COMP_CWORD=" + std::to_string(current) + "; _velcap; echo ${COMPREPLY[*]}'")
            .first;
    };
    EXPECT_EQ(complete("velcap ca", 1), "capture\n");
    EXPECT_EQ(complete("velcap scan --", 2), "--qr --bar --raw --plain --camera --device --timeout --help\n");
    EXPECT_NE(complete("velcap capture --cr", 2).find("--crop"), std::string::npos);
    // After -q and -v, and the values of --crop=.
    EXPECT_EQ(complete("velcap -q -v ca", 3), "capture\n");
    EXPECT_EQ(complete("velcap -q scan --r", 3), "--raw\n");
    EXPECT_EQ(complete("velcap capture --crop = ''", 4), "quad\n");
}

TEST_F(Cli, UsageErrorsNameTheValue) {
    struct Case {
        const char* arguments;
        const char* named;
    } cases[] = {
        {"", "no command"},
        {"photograph x.jpg", "'photograph'"},
        {"list --colour", "'--colour'"},
        {"capture -x a.jpg", "'-x'"},
        {"capture --rotate 4 a.jpg", "'4'"},
        {"capture --quality high a.jpg", "'high'"},
        {"capture --count 0 a.jpg", "'0'"},
        {"capture --count 2 --interval soon a.jpg", "'soon'"},
        {"capture --interval 2 a.jpg", "--interval needs --count"},
        {"capture --grey --bw a.jpg", "--grey and --bw"},
        {"capture --size 640by480 a.jpg", "'640by480'"},
        {"capture picture.gif", "'picture.gif'"},
        {"capture", "too few operands"},
        {"capture --crop=yes a.jpg", "--crop=yes"},
        {"scan", "--qr and --bar"},
        {"scan --qr --bar", "--qr and --bar"},
        {"scan --raw --qr", "--raw"},
        {"capture --format png a.jpg", "--format"},
        {"capture --device /dev/video0 --camera 0 a.jpg", "--device and --camera"},
        {"scan --qr --size 640x480", "'--size'"},
        {"scan --qr --timeout -1", "'-1'"},
        {"pdf out.pdf", "too few operands"},
        {"pdf out.pdf page.gif", "'page.gif'"},
        {"pdf out.txt page.jpg", "'out.txt'"},
        {"pdf --ocr=xx_none out.pdf page.jpg", "'xx_none'"},
        {"pdf --ocr eng out.pdf", "too few operands"},
        {"capture --ocr a.jpg", "--ocr"},
        {"capture --pdfa a.png", "--pdfa"},
        {"capture --paper b5 a.jpg", "'b5'"},
        {"capture --max-size lots a.jpg", "'lots'"},
        {"capture --fit a.jpg", "--fit"},
        {"idcard out.pdf", "--front and --back"},
        {"merge out.jpg one.jpg", "too few operands"},
        {"merge out.jpg 1.jpg 2.jpg 3.jpg 4.jpg 5.jpg", "too many operands"},
        {"clean in.jpg", "too few operands"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        Outcome outcome = velcap(c.arguments);
        EXPECT_EQ(outcome.status, 2);
        expectOneLineNaming(outcome, c.named);
    }
}

TEST_F(Cli, ListShowsEachCameraOnStandardOutputAlone) {
    Outcome text = velcap("list");
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out,
              "0\t/dev/video0\tDocCam S8\tMJPEG 640x480,1280x720,1920x1080,2592x1944,3264x2448,3672x2856"
              "\tYUYV 640x480,1280x720,1600x1200,3264x2448,3672x2856\tVC1000\tpci-0000:00:14.0-usb-0:1:1.0\n");
    // The library's own lines reach standard error only with -v.
    EXPECT_EQ(text.err.find("node:/dev/video0"), std::string::npos) << text.err;
    Outcome verbose = velcap("-v list");
    EXPECT_EQ(verbose.out, text.out);
    EXPECT_NE(verbose.err.find("node:/dev/video0"), std::string::npos) << verbose.err;
    // A category held to a level loses its lines below it, and only those.
    setenv("VELCAP_LOG_LEVELS", "device:info,codes:debug", 1);
    Outcome filtered = velcap("-v list");
    unsetenv("VELCAP_LOG_LEVELS");
    EXPECT_EQ(filtered.out, text.out);
    EXPECT_EQ(filtered.err.find("node:/dev/video0"), std::string::npos) << filtered.err;

    Outcome json = velcap("list --json");
    ASSERT_EQ(json.status, 0);
    EXPECT_EQ(json.out.front(), '[');
    EXPECT_EQ(json.out.substr(json.out.size() - 2), "]\n");
    for (const char* text : {"\"index\": 0", "\"node\": \"/dev/video0\"", "\"name\": \"DocCam S8\"",
                             "\"mjpeg\": [{\"width\": 640, \"height\": 480}, {\"width\": 1280",
                             "\"yuyv\": [{\"width\": 640, \"height\": 480}"})
        EXPECT_NE(json.out.find(text), std::string::npos) << text << "\n" << json.out;
    EXPECT_EQ(json.out.find("node:"), std::string::npos);

    Outcome quiet = velcap("list --quiet");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out, text.out);
    EXPECT_EQ(quiet.err, "");
}

// Two of a model and a webcam: the list tells the two apart, -d reaches
// the second, and the webcam takes --any-camera.
TEST_F(Cli, EveryCameraAtTheDeskIsListedAndReached) {
    const std::string desk = "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\nformat MJPG 640x480@30\n"
                             "camera 4\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\nformat MJPG 640x480@30\n" +
                             std::string(kWebcamOnly);
    Outcome list = velcap("list", desk);
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(std::count(list.out.begin(), list.out.end(), '\n'), 2) << list.out;
    EXPECT_NE(list.out.find("1\t/dev/video4\tDocCam S8\tMJPEG 640x480\tYUYV \tVC1004\t"), std::string::npos)
        << list.out;
    Outcome any = velcap("--any-camera list --json", desk);
    EXPECT_NE(any.out.find("\"node\": \"/dev/video2\", \"name\": \"Generic USB Webcam\""), std::string::npos)
        << any.out;

    const struct {
        std::string arguments;
        int status;
    } cases[] = {{"capture -d 4 " + path("second.jpg"), 0},
                 {"capture -d 2 " + path("webcam.jpg"), 3},
                 {"--any-camera capture -d /dev/video2 " + path("webcam.jpg"), 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        Outcome outcome = velcap(c.arguments, desk);
        EXPECT_EQ(outcome.status, c.status) << outcome.err;
    }
    EXPECT_EQ(cv::imread(path("second.jpg")).size(), cv::Size(640, 480));
    EXPECT_EQ(cv::imread(path("webcam.jpg")).size(), cv::Size(640, 480));

    // Both of the model at once, from two programs.
    const std::string launcher =
        prefix_ + "/bin/velcap-vcam --config " + writeConfig(desk) + " -- " + prefix_ + "/bin/velcap capture -d ";
    auto [out, status] = velcap::test::run("(" + launcher + "0 " + path("a.jpg") + " & a=$!; " + launcher + "4 " +
                                           path("b.jpg") + " & b=$!; wait $a && wait $b) 2>&1");
    EXPECT_EQ(status, 0) << out;
    EXPECT_EQ(cv::imread(path("a.jpg")).size(), cv::Size(640, 480));
    EXPECT_EQ(cv::imread(path("b.jpg")).size(), cv::Size(640, 480));
}

// The camera's own button, pressed by the virtual camera every few frames:
// capture waits for it, auto photographs at each press as well.
TEST_F(Cli, TheButtonPhotographs) {
    // An empty desk: auto-capture alone photographs nothing there.
    const std::string empty = path("desk.png");
    cv::Mat desk = vcam::renderScene(640, 480, {}, -1);
    cv::cvtColor(desk, desk, cv::COLOR_RGB2BGR);
    cv::imwrite(empty, desk);
    const std::string withButton = cameraShowing(empty) + "button 30 20\n";
    Outcome pressed = velcap("capture --on-button --count 2 " + path("shot.jpg"), withButton);
    EXPECT_EQ(pressed.status, 0) << pressed.err;
    EXPECT_EQ(pressed.out, path("shot-001.jpg") + "\n" + path("shot-002.jpg") + "\n");
    Outcome autoPressed = velcap("auto --button --count 2 --timeout 60 " + path("pages"), withButton);
    EXPECT_EQ(autoPressed.status, 0) << autoPressed.err;
    EXPECT_EQ(std::count(autoPressed.out.begin(), autoPressed.out.end(), '\n'), 2) << autoPressed.out;

    Outcome none = velcap("capture --on-button " + path("none.jpg"));
    EXPECT_EQ(none.status, 1);
    expectOneLineNaming(none, "has no button");
    EXPECT_FALSE(exists(path("none.jpg")));
}

TEST_F(Cli, NoSupportedCameraIsStatusThree) {
    for (const std::string& arguments :
         std::vector<std::string>{"list", "list --json", "capture " + path("a.jpg"), "scan --qr"}) {
        SCOPED_TRACE(arguments);
        Outcome outcome = velcap(arguments, kWebcamOnly);
        EXPECT_EQ(outcome.status, 3);
        expectOneLineNaming(outcome, "no supported camera");
    }
    Outcome beyond = velcap("capture --camera 1 " + path("a.jpg"));
    EXPECT_EQ(beyond.status, 3);
    expectOneLineNaming(beyond, "no camera 1");
    EXPECT_FALSE(exists(path("a.jpg")));
}

TEST_F(Cli, CaptureWritesEachFormatAtTheAskedSize) {
    for (const char* name : {"page.jpg", "page.png", "page.bmp", "page.tif"}) {
        SCOPED_TRACE(name);
        Outcome outcome = velcap(std::string("capture --size 1280x720 ") + path(name));
        ASSERT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.out, path(name) + "\n");
        cv::Mat picture = cv::imread(path(name), cv::IMREAD_UNCHANGED);
        EXPECT_EQ(picture.size(), cv::Size(1280, 720));
        EXPECT_EQ(picture.channels(), 3);
    }
    Outcome pdf = velcap("capture --size 640x480 " + path("page.pdf"));
    ASSERT_EQ(pdf.status, 0) << pdf.err;
    auto [info, status] = velcap::test::run("pdfinfo " + path("page.pdf"));
    EXPECT_NE(info.find("Pages:           1"), std::string::npos) << info;
    EXPECT_NE(info.find("640 x 480 pts"), std::string::npos) << info;
    // --ocr LANGS before FILE is the languages, not the file.
    Outcome text = velcap("capture --size 640x480 --ocr eng " + path("text.pdf"));
    ASSERT_EQ(text.status, 0) << text.err;
    EXPECT_EQ(text.out, path("text.pdf") + "\n");
    // With page options and for archives, in black and white.
    Outcome archived = velcap("capture --size 640x480 --ocr eng --paper a4 --bw --pdfa " + path("archived.pdf"));
    ASSERT_EQ(archived.status, 0) << archived.err;
    EXPECT_NE(velcap::test::run("pdfinfo " + path("archived.pdf")).first.find("(A4)"), std::string::npos);
    EXPECT_NE(velcap::test::run("grep -c pdfaid:part " + path("archived.pdf")).first.find('1'), std::string::npos);

    // The largest size the camera really offers by default; the interpolated one by name.
    Outcome largest = velcap("capture " + path("largest.jpg"));
    ASSERT_EQ(largest.status, 0) << largest.err;
    EXPECT_EQ(cv::imread(path("largest.jpg")).size(), cv::Size(3264, 2448));
    ASSERT_EQ(velcap("capture --size 3672x2856 " + path("ten.jpg")).status, 0);
    EXPECT_EQ(cv::imread(path("ten.jpg")).size(), cv::Size(3672, 2856));
}

TEST_F(Cli, CaptureSettingsShapeThePicture) {
    // A size offered only as YUYV opens the YUYV stream; --yuyv asks for it.
    Outcome yuyvOnly = velcap("capture --size 1600x1200 " + path("yuyv.jpg"));
    ASSERT_EQ(yuyvOnly.status, 0) << yuyvOnly.err;
    EXPECT_EQ(cv::imread(path("yuyv.jpg")).size(), cv::Size(1600, 1200));
    ASSERT_EQ(velcap("capture --yuyv --size 640x480 " + path("yuyv640.jpg")).status, 0);

    ASSERT_EQ(velcap("capture --size 640x480 --rotate 1 " + path("turned.jpg")).status, 0);
    EXPECT_EQ(cv::imread(path("turned.jpg")).size(), cv::Size(480, 640));

    ASSERT_EQ(velcap("capture --size 640x480 --grey " + path("grey.png")).status, 0);
    EXPECT_EQ(cv::imread(path("grey.png"), cv::IMREAD_UNCHANGED).channels(), 1);
    ASSERT_EQ(velcap("capture --size 640x480 --bw " + path("bw.png")).status, 0);
    cv::Mat bw = cv::imread(path("bw.png"), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(cv::countNonZero((bw != 0) & (bw != 255)), 0);
    // Black and white TIFF and PDF are CCITT G4 without any page option, as the manual says.
    ASSERT_EQ(velcap("capture --size 640x480 --bw " + path("bw.tif")).status, 0);
    EXPECT_EQ(velcap::test::run("identify -format '%C %z' " + path("bw.tif")).first, "Group4 1");
    ASSERT_EQ(velcap("capture --size 640x480 --bw " + path("bw.pdf")).status, 0);
    EXPECT_NE(velcap::test::run("pdfimages -list " + path("bw.pdf")).first.find("ccitt"), std::string::npos);

    // Every letter case of an extension is that format, at the asked quality.
    for (const char* name : {"q5.jpg", "q5.JPG", "q5.Jpeg"})
        ASSERT_EQ(velcap(std::string("capture --size 1280x720 --quality 5 ") + path(name)).status, 0) << name;
    EXPECT_NEAR(double(slurp(path("q5.JPG")).size()), double(slurp(path("q5.jpg")).size()),
                0.1 * double(slurp(path("q5.jpg")).size()));
    EXPECT_NEAR(double(slurp(path("q5.Jpeg")).size()), double(slurp(path("q5.jpg")).size()),
                0.1 * double(slurp(path("q5.jpg")).size()));
    std::ofstream(path("r.PDF")) << "an older document";
    ASSERT_EQ(velcap("capture --size 640x480 " + path("r.PDF")).status, 0);
    EXPECT_EQ(slurp(path("r.PDF")).substr(0, 5), "%PDF-");

    ASSERT_EQ(velcap("capture --size 1280x720 --quality 20 " + path("q20.jpg")).status, 0);
    ASSERT_EQ(velcap("capture --size 1280x720 --quality 95 " + path("q95.jpg")).status, 0);
    EXPECT_LT(slurp(path("q20.jpg")).size() * 2, slurp(path("q95.jpg")).size());
}

TEST_F(Cli, CropCutsOutThePageOrWritesNothing) {
    Outcome outcome = velcap("capture --size 1920x1080 --crop --whiten " + path("page.png"));
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, path("page.png") + "\n");
    // The page as it lies, with a few pixels of the desk round it.
    const std::array<cv::Point2f, 4> corners = vcam::scenePageCorners(1920, 1080);
    const cv::Rect box = cv::boundingRect(std::vector<cv::Point2f>(corners.begin(), corners.end()));
    cv::Mat page = cv::imread(path("page.png"));
    EXPECT_NEAR(page.cols, box.width + 16, box.width * 0.03);
    EXPECT_NEAR(page.rows, box.height + 16, box.height * 0.03);
    // Whitened paper: the page's margin is white, not the desk.
    EXPECT_GT(cv::mean(page(cv::Rect(page.cols / 4, page.rows - page.rows / 6, page.cols / 2, page.rows / 20)))[1],
              245);

    // A desk without a page: "no page found", and an older file stays.
    const std::string white = path("white.png");
    cv::imwrite(white, cv::Mat(480, 640, CV_8UC3, cv::Scalar(250, 250, 250)));
    std::ofstream(path("old.jpg")) << "older";
    Outcome none = velcap("capture --crop " + path("old.jpg"), cameraShowing(white));
    EXPECT_EQ(none.status, 1);
    expectOneLineNaming(none, "no page found");
    EXPECT_EQ(slurp(path("old.jpg")), "older");
}

// A page on a white desk seen at a slant comes out as the upright sheet.
TEST_F(Cli, CropQuadStraightensThePerspective) {
    const std::string camera = "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\n"
                               "format MJPG 1920x1080@30\ndesk white\nperspective 12\npage-pose 5\n";
    Outcome outcome = velcap("capture --crop=quad " + path("quad.png"), camera);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, path("quad.png") + "\n");
    vcam::DeskLook look;
    look.desk = "white";
    look.perspective = 12;
    look.pose = 5;
    const auto corners = vcam::renderDeskScene(1920, 1080, look).corners;
    const cv::Mat page = cv::imread(path("quad.png"));
    EXPECT_EQ(page.cols % 4, 0);
    EXPECT_EQ(page.rows % 4, 0);
    EXPECT_NEAR(double(page.rows) / page.cols, std::sqrt(2.0), 0.05);
    const double longest = std::max(cv::norm(corners[0] - corners[3]), cv::norm(corners[1] - corners[2]));
    // The page keeps the resolution of its nearer, larger side.
    EXPECT_GE(page.rows, longest * 0.97);
    EXPECT_LE(page.rows, longest * 1.1);
}

TEST_F(Cli, CountWritesNumberedFilesAndOnlyTheirPaths) {
    Outcome outcome = velcap("capture --size 640x480 --count 3 --interval 0.2 " + path("form.jpg"));
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    EXPECT_EQ(outcome.out, path("form-001.jpg") + "\n" + path("form-002.jpg") + "\n" + path("form-003.jpg") + "\n");
    for (const char* name : {"form-001.jpg", "form-002.jpg", "form-003.jpg"})
        EXPECT_EQ(cv::imread(path(name)).size(), cv::Size(640, 480)) << name;
    EXPECT_FALSE(exists(path("form.jpg")));
    // Not a terminal: no progress line.
    EXPECT_EQ(outcome.err.find('\r'), std::string::npos);

    // On a terminal, a progress line on standard error, cleared for each path.
    auto [terminal, status] =
        velcap::test::run("script -qec '" + prefix_ + "/bin/velcap-vcam -- " + prefix_ +
                          "/bin/velcap -q capture --size 640x480 --count 2 " + path("tty.jpg") + "' /dev/null");
    EXPECT_EQ(status, 0) << terminal;
    EXPECT_NE(terminal.find("velcap: photographed 1/2\r\033[K" + path("tty-002.jpg")), std::string::npos) << terminal;
    EXPECT_NE(terminal.find("\033[Kvelcap: photographed 2/2"), std::string::npos) << terminal;
    // The last progress line ends with a line end.
    EXPECT_EQ(terminal.substr(terminal.size() - 2), "\r\n") << terminal;
}

TEST_F(Cli, CaptureRefusesWhatItCannotDo) {
    Outcome size = velcap("capture --size 1000x1000 " + path("a.jpg"));
    EXPECT_EQ(size.status, 2);
    expectOneLineNaming(size, "does not offer 1000x1000; it offers 640x480, 1280x720, 1920x1080");
    EXPECT_NE(size.err.find("1600x1200"), std::string::npos); // the YUYV sizes too

    Outcome folder = velcap("capture --size 640x480 " + dir_ + "/missing/a.jpg");
    EXPECT_EQ(folder.status, 1);
    expectOneLineNaming(folder, "cannot write '" + dir_ + "/missing/a.jpg'");
    velcap::test::run("mkdir -p " + dir_ + "/shelf.jpg");
    Outcome isFolder = velcap("capture --size 640x480 " + dir_ + "/shelf.jpg");
    EXPECT_EQ(isFolder.status, 1);
    expectOneLineNaming(isFolder, "it is a folder");

    // A camera that cannot be opened.
    Outcome busy = velcap("capture " + path("a.jpg"), std::string(kWebcamOnly) +
                                                          "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: S8\n"
                                                          "format MJPG 640x480@30\nfault ioctl VIDIOC_STREAMON EIO\n");
    EXPECT_EQ(busy.status, 1);
    expectOneLineNaming(busy, "cannot open camera 0 at 640x480");
    EXPECT_FALSE(exists(path("a.jpg")));
}

TEST_F(Cli, ScanPrintsTheCodeTextAlone) {
    Outcome qr = velcap("scan --qr");
    ASSERT_EQ(qr.status, 0) << qr.err;
    EXPECT_EQ(qr.out, std::string(vcam::kSceneQrText) + "\n");
    Outcome bar = velcap("scan --bar --timeout 20");
    ASSERT_EQ(bar.status, 0) << bar.err;
    EXPECT_EQ(bar.out, std::string(vcam::kSceneEan13) + "\n");

    // A desk without any code.
    const std::string empty = path("empty.png");
    cv::imwrite(empty, cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 110, 120)));
    Outcome none = velcap("scan --qr --timeout 1.5", cameraShowing(empty));
    EXPECT_EQ(none.status, 4);
    expectOneLineNaming(none, "no QR code found within 1.5 s");
}

// Under a lamp's uneven light only the enhanced recognition, scan's default,
// reads the bar code.
TEST_F(Cli, ScanReadsWhatOnlyTheEnhancedRecognitionReads) {
    const std::string lamp = path("lamp.png");
    const cv::Mat code = velcap::test::barPicture(8, "VELCAP39", 1.5);
    cv::Mat page(480, 640, CV_8UC1, cv::Scalar(velcap::codes::kPaper));
    code.copyTo(page(cv::Rect((640 - code.cols) / 2, (480 - code.rows) / 2, code.cols, code.rows)));
    ASSERT_TRUE(cv::imwrite(lamp, velcap::codes::unevenLight(page, 0.85)));
    Outcome plain = velcap("scan --bar --plain --timeout 2", cameraShowing(lamp));
    EXPECT_EQ(plain.status, 4) << "the usual recognition reads it: the case proves nothing";
    Outcome enhanced = velcap("scan --bar --timeout 20", cameraShowing(lamp));
    ASSERT_EQ(enhanced.status, 0) << enhanced.err;
    EXPECT_EQ(enhanced.out, "VELCAP39\n");
}

TEST_F(Cli, AutoPrintsEachPageAsItIsWritten) {
    const std::string pages = "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\n"
                              "format MJPG 640x480@30\npages 3 1.5\n";
    Outcome outcome = velcap("-q auto --count 2 --format png " + dir_, pages);
    ASSERT_EQ(outcome.status, 0) << outcome.err;
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = outcome.out.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(outcome.out.substr(start, end - start));
    ASSERT_EQ(lines.size(), 2u) << outcome.out;
    for (const std::string& line : lines) {
        EXPECT_EQ(line.rfind(dir_ + "/", 0), 0u) << line;
        EXPECT_EQ(line.substr(line.size() - 4), ".png");
        EXPECT_EQ(cv::imread(line).size(), cv::Size(640, 480)) << line;
    }
    EXPECT_NE(lines[0], lines[1]);

    // An empty desk: nothing within the time-out.
    const std::string empty = path("desk.png");
    cv::Mat desk = vcam::renderScene(640, 480, {}, -1);
    cv::cvtColor(desk, desk, cv::COLOR_RGB2BGR);
    cv::imwrite(empty, desk);
    // (The missing folder is made.)
    Outcome none = velcap("auto --timeout 2 " + dir_ + "/none/deeper", cameraShowing(empty));
    EXPECT_EQ(none.status, 1);
    expectOneLineNaming(none, "no page captured");
    EXPECT_EQ(velcap::test::run("ls -A " + dir_ + "/none/deeper | wc -l").first, "0\n");

    // Pages that cannot be written, on a full disk, are said at once, however
    // quiet, and fail the command.
    const std::string disk = smallDisk("full", 48);
    if (disk.empty()) GTEST_SKIP() << "no disk of a few kilobytes can be mounted here";
    Outcome full = velcap("-q auto --timeout 4 --format png " + disk, pages);
    EXPECT_EQ(full.status, 1);
    EXPECT_NE(full.err.find("cannot write '" + disk + "/"), std::string::npos) << full.err;
    EXPECT_NE(full.err.find("the disk is full"), std::string::npos) << full.err;
    expectOneLineNaming(full, "could not be written");
    EXPECT_EQ(velcap::test::run("ls -A " + disk + " | wc -l").first, "0\n") << "no partial file";
    Outcome format = velcap("auto --format webp " + dir_);
    EXPECT_EQ(format.status, 2);
    expectOneLineNaming(format, "'webp'");
}

TEST_F(Cli, IdCardCopyAndPagesOnPaperWithinABudget) {
    cv::imwrite(path("front.jpg"), velcap::test::onDesk(velcap::test::madeUpCard(true), {45, 42, 40}, 30));
    cv::imwrite(path("back.jpg"), velcap::test::onDesk(velcap::test::madeUpCard(false), {90, 140, 185}, -8));
    Outcome copy = velcap("idcard --front " + path("front.jpg") + " --back " + path("back.jpg") + " " + path("id.pdf"));
    ASSERT_EQ(copy.status, 0) << copy.err;
    EXPECT_EQ(copy.out, path("id.pdf") + "\n");
    EXPECT_NE(velcap::test::run("pdfinfo " + path("id.pdf")).first.find("595.2"), std::string::npos);
    // A desk without a card: a failure, nothing written.
    Outcome none = velcap("idcard --front " + path("a.jpg") + " --back " + path("back.jpg") + " " + path("no.pdf"));
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(::access(path("no.pdf").c_str(), F_OK), 0);
    // velcap reads what it writes: no resolution whose A4 page its readers refuse.
    Outcome fine = velcap("idcard --dpi 1200 --front " + path("front.jpg") + " --back " + path("back.jpg") + " " +
                          path("fine.pdf"));
    EXPECT_EQ(fine.status, 2);
    EXPECT_NE(fine.err.find("50 to 704"), std::string::npos) << fine.err;
    EXPECT_NE(::access(path("fine.pdf").c_str(), F_OK), 0);

    // A photograph from the camera on A5, fitted, within 60 kB.
    Outcome paged = velcap("capture --size 1280x720 --paper a5 --fit --max-size 60k " + path("a5.jpg"));
    ASSERT_EQ(paged.status, 0) << paged.err;
    EXPECT_EQ(paged.out, path("a5.jpg") + "\n");
    struct stat info {};
    ASSERT_EQ(::stat(path("a5.jpg").c_str(), &info), 0);
    EXPECT_LE(info.st_size, 60000);
    EXPECT_EQ(cv::imread(path("a5.jpg")).size(), cv::Size(1748, 2480)); // A5 at 300 dpi
    EXPECT_EQ(velcap::test::run("ls " + path("") + " | grep -c XXXX").first, "0\n") << "no photograph left behind";
}

TEST_F(Cli, BookMakesTwoPagesOfEachSpreadOrWritesNothing) {
    vcam::BookLook look;
    look.fingers = true;
    cv::Mat spread;
    cv::cvtColor(vcam::renderBookScene(1632, 1224, look).frame, spread, cv::COLOR_RGB2BGR);
    cv::imwrite(path("spread.jpg"), spread);
    cv::Mat desk;
    cv::cvtColor(vcam::deskSurface("wood", {800, 600}, 3), desk, cv::COLOR_RGB2BGR);
    cv::imwrite(path("desk.jpg"), desk);

    const Outcome pictures = velcap("book " + path("page.png") + " " + path("spread.jpg"));
    ASSERT_EQ(pictures.status, 0) << pictures.err;
    EXPECT_EQ(pictures.out, path("page-001.png") + "\n" + path("page-002.png") + "\n");
    for (const char* name : {"page-001.png", "page-002.png"}) {
        const cv::Mat page = cv::imread(path(name));
        EXPECT_LT(page.cols, page.rows) << name << ": a page, upright";
        EXPECT_GT(page.cols, page.rows / 2) << name << ": no sliver";
    }
    const Outcome pdf = velcap("book " + path("book.pdf") + " " + path("spread.jpg") + " " + path("spread.jpg"));
    ASSERT_EQ(pdf.status, 0) << pdf.err;
    EXPECT_EQ(pdf.out, path("book.pdf") + "\n");
    EXPECT_NE(velcap::test::run("pdfinfo " + path("book.pdf")).first.find("Pages:           4"), std::string::npos);

    // A desk without a book: a failure, and the document there stays as it was.
    const std::string before = slurp(path("book.pdf"));
    const Outcome none = velcap("book " + path("book.pdf") + " " + path("spread.jpg") + " " + path("desk.jpg"));
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(slurp(path("book.pdf")), before);
    EXPECT_FALSE(exists(path("none-001.jpg")));
    EXPECT_EQ(velcap("book " + path("none.jpg") + " " + path("desk.jpg")).status, 1);
    EXPECT_FALSE(exists(path("none-001.jpg")));
    for (const std::string& wrong :
         {"book " + path("book.gif") + " " + path("spread.jpg"),
          "book --ocr " + path("page.jpg") + " " + path("spread.jpg"), "book " + path("book.pdf"),
          "capture --book --crop " + path("c.jpg"), "capture --book --count 2 " + path("c.jpg")})
        EXPECT_EQ(velcap(wrong).status, 2) << wrong;

    // From the camera: the open book under it, its two pages; no photograph left behind.
    const std::string bookCamera =
        "camera 0\nvendor 31a5\nproduct 0801\ncard Orvida: DocCam S8\nformat MJPG 1632x1224@15\nbook on\n";
    // A short folder of its own: the launcher's sockets go there too, and their paths have 107 bytes at most.
    char folder[] = "/tmp/velcap-book-XXXXXX";
    ASSERT_NE(::mkdtemp(folder), nullptr);
    const std::string tmp = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", folder, 1);
    const Outcome captured = velcap("capture --book " + path("desk-book.jpg"), bookCamera);
    setenv("TMPDIR", tmp.c_str(), 1);
    const std::string left = velcap::test::run("ls -A " + std::string(folder) + " | grep -c '^velcap-'").first;
    velcap::test::run("rm -rf " + std::string(folder));
    ASSERT_EQ(captured.status, 0) << captured.err;
    EXPECT_EQ(captured.out, path("desk-book-001.jpg") + "\n" + path("desk-book-002.jpg") + "\n");
    EXPECT_EQ(left, "0\n") << "no photograph left behind";
}

TEST_F(Cli, PdfMergeAndCleanWorkOnFiles) {
    cv::imwrite(path("a.jpg"), cv::Mat(300, 200, CV_8UC3, cv::Scalar(200, 200, 200)));
    cv::imwrite(path("b.png"), cv::Mat(100, 150, CV_8UC3, cv::Scalar(20, 200, 20)));

    Outcome pdf = velcap("pdf " + path("both.pdf") + " " + path("a.jpg") + " " + path("b.png"));
    ASSERT_EQ(pdf.status, 0) << pdf.err;
    EXPECT_EQ(pdf.out, path("both.pdf") + "\n");
    auto [info, status] = velcap::test::run("pdfinfo " + path("both.pdf"));
    EXPECT_NE(info.find("Pages:           2"), std::string::npos) << info;

    Outcome row = velcap("merge " + path("row.png") + " " + path("a.jpg") + " " + path("b.png"));
    ASSERT_EQ(row.status, 0) << row.err;
    EXPECT_EQ(row.out, path("row.png") + "\n");
    EXPECT_EQ(cv::imread(path("row.png")).size(), cv::Size(350, 300));
    ASSERT_EQ(velcap("merge --column " + path("column.png") + " " + path("a.jpg") + " " + path("b.png")).status, 0);
    EXPECT_EQ(cv::imread(path("column.png")).size(), cv::Size(200, 400));

    // A page on a black margin: clean turns the margin white and keeps the size.
    cv::Mat scan(400, 300, CV_8UC3, cv::Scalar(10, 10, 10));
    scan(cv::Rect(40, 40, 220, 320)).setTo(cv::Scalar(235, 235, 235));
    cv::putText(scan, "velcap", cv::Point(80, 200), cv::FONT_HERSHEY_SIMPLEX, 1, cv::Scalar(0, 0, 0), 2);
    cv::imwrite(path("scan.png"), scan);
    Outcome clean = velcap("clean " + path("scan.png") + " " + path("clean.png"));
    ASSERT_EQ(clean.status, 0) << clean.err;
    EXPECT_EQ(clean.out, path("clean.png") + "\n");
    cv::Mat cleaned = cv::imread(path("clean.png"));
    ASSERT_EQ(cleaned.size(), scan.size());
    EXPECT_GT(cv::mean(cleaned(cv::Rect(0, 0, 30, 400)))[0], 240) << "the black margin is white";
    EXPECT_LT(cv::mean(cleaned(cv::Rect(80, 180, 100, 25)))[0], 200) << "the writing stays";

    // Pictures that cannot be read: nothing is written.
    std::ofstream(path("broken.jpg")) << "not a picture";
    struct Case {
        std::string arguments, output, named;
    } cases[] = {
        {"pdf " + path("x.pdf") + " " + path("a.jpg") + " " + path("broken.jpg"), path("x.pdf"), "broken.jpg"},
        {"pdf " + path("x.pdf") + " " + path("nothere.png"), path("x.pdf"), "nothere.png"},
        {"merge " + path("x.png") + " " + path("a.jpg") + " " + path("broken.jpg"), path("x.png"), "broken.jpg"},
        {"clean " + path("broken.jpg") + " " + path("x.png"), path("x.png"), "broken.jpg"},
        {"clean " + path("a.jpg") + " " + dir_ + "/missing/x.png", dir_ + "/missing/x.png", "missing/x.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        Outcome outcome = velcap(c.arguments);
        EXPECT_EQ(outcome.status, 1);
        expectOneLineNaming(outcome, c.named);
        EXPECT_FALSE(exists(c.output));
    }
}

// A PNG header that declares a picture of width x height and nothing more.
std::string declaringPng(uint32_t width, uint32_t height) {
    std::string png = "\x89PNG\r\n\x1a\n";
    png += std::string("\0\0\0\x0dIHDR", 8);
    for (uint32_t v : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) png += char(v >> shift & 0xff);
    png += std::string("\x08\x02\0\0\0\0\0\0\0", 9); // 8-bit RGB, then a CRC nobody reads first
    return png;
}

void qrencodeTo(const std::string& file, const std::string& text) {
    velcap::test::run("qrencode -s 6 -o " + file + " '" + text + "'");
}

std::string temporariesIn(const std::string& folder) {
    return velcap::test::run("ls -A " + folder + " | grep '^\\.velcap-' || true").first;
}

// Every command that writes: on failure the file at its path stays byte for
// byte, no temporary is left, and one line says which input and why.
TEST_F(Cli, FailedWritesLeaveEveryFileAsItWas) {
    cv::imwrite(path("a.jpg"), cv::Mat(300, 200, CV_8UC3, cv::Scalar(200, 100, 50)));
    const std::string whole = slurp(path("a.jpg"));
    std::ofstream(path("damaged.jpg"), std::ios::binary) << whole.substr(0, 100);
    std::ofstream(path("over.png"), std::ios::binary) << declaringPng(32000, 32000);
    ASSERT_EQ(::mkfifo(path("fifo.pdf").c_str(), 0644), 0);
    ASSERT_EQ(::symlink("/dev/null", path("null.jpg").c_str()), 0);
    struct Case {
        std::string arguments, target, named;
    } cases[] = {
        {"pdf OLD.pdf a.jpg damaged.jpg", "OLD.pdf", "damaged.jpg"},
        {"merge OLD.jpg a.jpg over.png a.jpg", "OLD.jpg", "over.png' is too large (32000x32000"},
        {"clean over.png OLD.png", "OLD.png", "over.png' is too large"},
        {"pdf -n OLD.pdf a.jpg", "OLD.pdf", "not replaced (--no-clobber)"},
        {"merge --no-clobber OLD.png a.jpg a.jpg", "OLD.png", "not replaced"},
        {"clean -n a.jpg OLD.jpg", "OLD.jpg", "not replaced"},
        {"capture -n --size 640x480 OLD.jpg", "OLD.jpg", "not replaced"},
        {"pdf fifo.pdf a.jpg", "fifo.pdf", "not a regular file"},
        {"capture --size 640x480 fifo.pdf", "fifo.pdf", "not a regular file"},
        {"capture --size 640x480 null.jpg", "null.jpg", "not a regular file"},
        {"clean a.jpg null.jpg", "null.jpg", "not a regular file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        const std::string target = path(c.target);
        const bool special = c.target == "fifo.pdf" || c.target == "null.jpg";
        if (!special) std::ofstream(target, std::ios::binary) << "an older file";
        std::string arguments;
        for (size_t start = 0, end = 0; end != std::string::npos; start = end + 1) {
            end = c.arguments.find(' ', start);
            const std::string word = c.arguments.substr(start, end - start);
            arguments += (word.find('.') != std::string::npos ? path(word) : word) + " ";
        }
        Outcome outcome = runSplit(prefix_ + "/bin/velcap-vcam -- " + prefix_ + "/bin/velcap " + arguments);
        EXPECT_EQ(outcome.status, 1);
        expectOneLineNaming(outcome, c.named);
        EXPECT_EQ(outcome.err.find(".velcap-"), std::string::npos) << "a temporary name is shown";
        if (special)
            EXPECT_EQ(velcap::test::run("stat -c %F " + target).first,
                      c.target == "fifo.pdf" ? "fifo\n" : "symbolic link\n");
        else
            EXPECT_EQ(slurp(target), "an older file");
        EXPECT_EQ(temporariesIn(dir_), "");
    }
    // A disk too full for the new picture keeps the old one.
    const std::string disk = smallDisk("small", 48);
    for (const char* name : {"/old.png", "/old.pdf"}) {
        if (disk.empty()) break;
        std::ofstream(disk + name) << "an older file";
        Outcome full = velcap(std::string("capture --size 1280x720 ") + disk + name);
        EXPECT_EQ(full.status, 1) << name;
        expectOneLineNaming(full, "the disk is full");
        EXPECT_EQ(slurp(disk + name), "an older file");
        EXPECT_EQ(temporariesIn(disk), "");
    }
    // The image libraries' warnings are shown, but not with -q.
    std::ofstream(path("cut.jpg"), std::ios::binary) << whole.substr(0, whole.size() * 2 / 3);
    EXPECT_NE(velcap("clean " + path("cut.jpg") + " " + path("cut.png")).err.find("Premature end of JPEG file"),
              std::string::npos);
    EXPECT_EQ(velcap("-q clean " + path("cut.jpg") + " " + path("cut2.png")).err, "");
    // A PDF capture leaves no picture behind in the home folder.
    const std::string stem = "velcap-cli-home-" + std::to_string(::getpid());
    ASSERT_EQ(velcap("capture --size 640x480 " + path(stem + ".pdf")).status, 0);
    EXPECT_FALSE(exists(std::string(::getpwuid(::getuid())->pw_dir) + "/" + stem + ".jpg"));
}

// SIGTERM in the middle of writing a large document: nothing is left.
TEST_F(Cli, ASignalTakesThePartialFileWithIt) {
    cv::Mat noise(1200, 1600, CV_8UC3);
    cv::randu(noise, 0, 255);
    cv::imwrite(path("noise.png"), noise);
    std::string arguments = "pdf " + path("big.pdf");
    for (int page = 0; page < 60; ++page) arguments += " " + path("noise.png");
    for (int signal : {SIGTERM, SIGINT}) {
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl("/bin/sh", "sh", "-c", ("exec " + prefix_ + "/bin/velcap -q " + arguments).c_str(), nullptr);
            ::_exit(127);
        }
        // The document is written once every page is in: wait for its temporary.
        std::string seen;
        for (int waited = 0; waited < 6000 && seen.empty(); ++waited) {
            seen = temporariesIn(dir_);
            if (::waitpid(child, nullptr, WNOHANG) == child) FAIL() << "velcap ended before its temporary was seen";
        }
        ASSERT_FALSE(seen.empty());
        ::kill(child, signal);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
        EXPECT_EQ(temporariesIn(dir_), "");
        EXPECT_FALSE(exists(path("big.pdf")));
    }
}

TEST_F(Cli, PdfTakesEveryPictureCaptureWritesAndCompressesPng) {
    cv::Mat scene = vcam::renderScene(1280, 720, {}, -1);
    cv::cvtColor(scene, scene, cv::COLOR_RGB2BGR);
    std::string pages;
    for (const char* name : {"p.JPG", "p.PNG", "p.jpeg", "p.tif", "p.tiff", "p.bmp"}) {
        ASSERT_TRUE(cv::imwrite(path(name), scene)) << name;
        pages += " " + path(name);
    }
    Outcome all = velcap("pdf " + path("all.pdf") + pages);
    ASSERT_EQ(all.status, 0) << all.err;
    auto [info, status] = velcap::test::run("pdfinfo " + path("all.pdf"));
    EXPECT_NE(info.find("Pages:           6"), std::string::npos) << info;
    // The JPEG goes in as it is; the others losslessly.
    auto [images, listed] = velcap::test::run("pdfimages -list " + path("all.pdf") + " | awk 'NR>2{print $9}'");
    EXPECT_EQ(images, "jpeg\nimage\njpeg\nimage\nimage\nimage\n");
    ASSERT_EQ(velcap("pdf " + path("png.pdf") + " " + path("p.PNG")).status, 0);
    EXPECT_LE(slurp(path("png.pdf")).size(), 2 * slurp(path("p.PNG")).size());
    velcap::test::run("pdftoppm -r 72 -f 2 -l 2 -png " + path("all.pdf") + " " + path("back"));
    const cv::Mat back = cv::imread(path("back-2.png"));
    ASSERT_EQ(back.size(), scene.size());
    EXPECT_LT(cv::norm(back, scene, cv::NORM_INF), 2) << "the PNG page is lossless";
}

TEST_F(Cli, StandardStreamsAsScriptsNeedThem) {
    // A picture on standard output.
    Outcome picture = velcap("capture --size 640x480 --format png -");
    ASSERT_EQ(picture.status, 0) << picture.err;
    const cv::Mat decoded = cv::imdecode(std::vector<uchar>(picture.out.begin(), picture.out.end()), cv::IMREAD_COLOR);
    EXPECT_EQ(decoded.size(), cv::Size(640, 480));
    EXPECT_EQ(temporariesIn("/tmp"), "");
    if (const char* scratch = std::getenv("TMPDIR")) {
        EXPECT_EQ(temporariesIn(scratch), "");
    }

    qrencodeTo(path("q.png"), "velcap");
    // A full standard output fails; a closed standard error is not taken by a file.
    for (const std::string& command : {std::string("-q list"), "-q scan " + path("q.png")})
        EXPECT_EQ(velcap(command + " >/dev/full").status, 1) << command;
    Outcome closed = runSplit("sh -c '" + prefix_ + "/bin/velcap-vcam -- " + prefix_ + "/bin/velcap -v list 2>&-'");
    EXPECT_EQ(closed.status, 0);
    EXPECT_EQ(closed.out.find("node:"), std::string::npos) << closed.out;

    // The camera by its node.
    EXPECT_EQ(velcap("list").out.substr(0, 13), "0\t/dev/video0");
    EXPECT_EQ(velcap("capture -d /dev/video0 --size 640x480 " + path("d.jpg")).status, 0);
    Outcome none = velcap("capture -d /dev/video7 " + path("e.jpg"));
    EXPECT_EQ(none.status, 3);
    expectOneLineNaming(none, "no supported camera at /dev/video7");
}

TEST_F(Cli, ScanOfFilesPrintsEveryCodeAsZbarimgDoes) {
    qrencodeTo(path("q.png"), "velcap QR");
    velcap::test::run("zint -b 13 -d 9780201379624 -o " + path("ean.png"));
    cv::imwrite(path("blank.png"), cv::Mat(200, 200, CV_8UC3, cv::Scalar::all(255)));
    // A Chinese QR code in GB18030, as Chinese systems write them: read as the camera's recognition reads it.
    velcap::test::run("printf '中文二维码测试' | iconv -f UTF-8 -t GB18030 | qrencode -8 -s 6 -o " + path("gb.png"));
    struct Case {
        std::string arguments, out;
        int status;
    } cases[] = {
        {"scan --raw " + path("gb.png"), "中文二维码测试\n", 0},
        {"scan " + path("q.png") + " " + path("ean.png"), "QR-Code:velcap QR\nEAN-13:9780201379624\n", 0},
        {"scan --raw " + path("q.png"), "velcap QR\n", 0},
        {"scan --qr " + path("ean.png"), "", 4},
        {"scan --bar " + path("ean.png"), "EAN-13:9780201379624\n", 0},
        {"scan " + path("blank.png"), "", 4},
        // As zbarimg: any picture without a code is status 4, the others' codes printed.
        {"scan " + path("q.png") + " " + path("blank.png"), "QR-Code:velcap QR\n", 4},
        {"scan --raw - < " + path("q.png"), "velcap QR\n", 0},
        {"-q scan " + path("blank.png"), "", 4},
    };
    for (const Case& c : cases) {
        Outcome outcome = velcapAlone(c.arguments);
        EXPECT_EQ(outcome.status, c.status) << c.arguments << outcome.err;
        EXPECT_EQ(outcome.out, c.out) << c.arguments;
        // -q silences the notes; without it, the picture without a code is named.
        const bool quiet = c.arguments.rfind("-q", 0) == 0;
        if (quiet) {
            EXPECT_EQ(outcome.err, "") << c.arguments;
        } else if (c.arguments.find("blank.png") != std::string::npos) {
            EXPECT_NE(outcome.err.find("blank.png"), std::string::npos) << outcome.err;
        }
    }
}

// controls lists NAME VALUE MIN MAX DEFAULT and sets by name, as v4l2-ctl names them.
TEST_F(Cli, ControlsListAndSetByName) {
    Outcome listed = velcap("controls");
    ASSERT_EQ(listed.status, 0) << listed.err;
    for (const char* line : {"brightness\t0\t-64\t64\t0\n", "power_line_frequency\t1\t0\t2\t1\n", "focus_absolute\t",
                             "exposure_time_absolute\t", "white_balance_temperature\t"})
        EXPECT_NE(listed.out.find(line), std::string::npos) << line << listed.out;
    // Set, then read back in the same run of the virtual camera.
    Outcome both = runSplit(prefix_ + "/bin/velcap-vcam -- sh -c '" + prefix_ + "/bin/velcap controls brightness=20 " +
                            "power_line_frequency=2 && " + prefix_ + "/bin/velcap -d /dev/video0 controls'");
    ASSERT_EQ(both.status, 0) << both.err;
    EXPECT_NE(both.out.find("brightness\t20\t"), std::string::npos) << both.out;
    EXPECT_NE(both.out.find("power_line_frequency\t2\t"), std::string::npos) << both.out;
    // The values are kept for this camera: the next run's camera starts at its
    // defaults and gets them when it opens.
    Outcome kept = velcap("controls");
    EXPECT_NE(kept.out.find("brightness\t20\t"), std::string::npos) << kept.out;
    EXPECT_NE(kept.out.find("power_line_frequency\t2\t"), std::string::npos) << kept.out;
    // v4l2-ctl's habits: its names (the old ones too), NAME to read one, comma
    // lists, -d N for /dev/videoN, and a value out of range taken at its end.
    const struct {
        std::string arguments, out, err;
    } habits[] = {
        {"controls focus_automatic_continuous", "focus_automatic_continuous\t1\t0\t1\t1\n", ""},
        {"controls focus_auto zoom_absolute", "focus_auto\t1\t0\t1\t1\nzoom_absolute\t0\t0\t10\t0\n", ""},
        {"-d 0 controls zoom_absolute=3,brightness=5 && " + prefix_ + "/bin/velcap controls zoom_absolute",
         "zoom_absolute\t3\t", ""},
        {"controls brightness=999 && " + prefix_ + "/bin/velcap controls brightness", "brightness\t64\t",
         "brightness=999 is outside -64 to 64; set to 64"},
    };
    for (const auto& habit : habits) {
        Outcome outcome =
            runSplit(prefix_ + "/bin/velcap-vcam -- sh -c '" + prefix_ + "/bin/velcap " + habit.arguments + "'");
        EXPECT_EQ(outcome.status, 0) << habit.arguments << outcome.err;
        EXPECT_EQ(outcome.out.rfind(habit.out, 0), 0u) << habit.arguments << ": " << outcome.out;
        EXPECT_NE(outcome.err.find(habit.err), std::string::npos) << habit.arguments << ": " << outcome.err;
    }
    const std::pair<const char*, const char*> refused[] = {
        {"controls wobble=1", "no control 'wobble'"},
        {"controls brightness=x", "NAME=VALUE"},
        {"controls brightness brightness=1", "not both"},
    };
    for (const auto& [arguments, said] : refused) {
        Outcome outcome = velcap(arguments);
        EXPECT_EQ(outcome.status, 2) << arguments;
        expectOneLineNaming(outcome, said);
    }
}

// Unplugged while scanning: the camera is gone, not merely codeless.
TEST_F(Cli, ScanSaysTheCameraIsGone) {
    const std::string empty = path("empty.png");
    cv::imwrite(empty, cv::Mat(480, 640, CV_8UC3, cv::Scalar(90, 110, 120)));
    Outcome gone = velcap("scan --qr --timeout 8", cameraShowing(empty) + "unplug 10\n");
    EXPECT_EQ(gone.status, 3);
    expectOneLineNaming(gone, "the camera is gone");
}

} // namespace
