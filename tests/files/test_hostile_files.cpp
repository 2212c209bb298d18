// The file functions under hostile input: damaged and lying pictures, FIFOs,
// folders, full disks and outputs that are also inputs. Nothing crashes,
// nothing is lost, nothing blocks.
#include <csignal>
#include <fstream>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"
#include "support/shell.h"

using velcap::test::run;
using velcap::test::stdoutOf;

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void store(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

cv::Mat picture(int width, int height) {
    cv::Mat bgr(height, width, CV_8UC3);
    cv::randu(bgr, 0, 256);
    cv::rectangle(bgr, cv::Rect(width / 4, height / 4, width / 2, height / 2), cv::Scalar(250, 250, 250), cv::FILLED);
    return bgr;
}

// The bytes of a picture file whose header claims another size.
std::string claimingPng(const cv::Mat& image, uint32_t width, uint32_t height) {
    std::vector<uchar> png;
    cv::imencode(".png", image, png);
    for (int i = 0; i < 4; ++i) {
        png[16 + size_t(i)] = uchar(width >> (24 - 8 * i));
        png[20 + size_t(i)] = uchar(height >> (24 - 8 * i));
    }
    return std::string(png.begin(), png.end());
}

std::string claimingJpeg(const cv::Mat& image, uint16_t width, uint16_t height) {
    std::vector<uchar> jpeg;
    cv::imencode(".jpg", image, jpeg);
    for (size_t i = 0; i + 9 < jpeg.size(); ++i)
        if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xC0) {
            jpeg[i + 5] = uchar(height >> 8), jpeg[i + 6] = uchar(height);
            jpeg[i + 7] = uchar(width >> 8), jpeg[i + 8] = uchar(width);
            break;
        }
    return std::string(jpeg.begin(), jpeg.end());
}

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        dir =
            ::testing::TempDir() + "velcap-hostile-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        run("rm -rf '" + dir + "' && mkdir -p '" + dir + "'");
        colorMode = 0;
    }
    void TearDown() override {
        colorMode = 0;
        pdf_filelist.clear();
        img_filelist.clear();
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string jpeg(const std::string& name, int width = 120, int height = 90) const {
        const std::string p = path(name);
        EXPECT_TRUE(cv::imwrite(p, picture(width, height)));
        return p;
    }
    static int pages(const std::string& pdf) {
        auto [out, status] = run("pdfinfo '" + pdf + "' | grep '^Pages:'");
        return status == 0 ? std::atoi(out.c_str() + 6) : -1;
    }
    std::string dir;
};

TEST_F(Hostile, DamagedPicturesAreRefusedBeforeTheyCanHarm) {
    // A PNG with a broken IDAT checksum would end the process inside libharu.
    std::vector<uchar> png;
    cv::imencode(".png", picture(200, 150), png);
    png[png.size() / 2] ^= 0x55;
    const std::string broken = path("broken.png");
    store(broken, std::string(png.begin(), png.end()));
    const std::string good = jpeg("good.jpg");

    ASSERT_EQ(pdf_start(path("host.pdf").c_str()), 0);
    std::string out = stdoutOf([&] { EXPECT_EQ(pdf_addPage(broken.c_str()), -1); });
    EXPECT_NE(out.find("broken.png is refused"), std::string::npos) << out;
    ASSERT_EQ(pdf_start(path("host.pdf").c_str()), 0);
    EXPECT_EQ(pdf_addPage(good.c_str()), 0);
    EXPECT_EQ(pdf_end(), 0);
    EXPECT_EQ(pages(path("host.pdf")), 1);

    // A small PNG whose text chunk claims two gigabytes: the decoder would ask for them.
    cv::imencode(".png", picture(16, 12), png);
    const uchar liar[] = {0x7A, 0x00, 0x00, 0x25, 't', 'E', 'X', 't', 'a', 'b', 'c'};
    png.insert(png.end() - 12, std::begin(liar), std::end(liar));
    const std::string lying = path("lying.png");
    store(lying, std::string(png.begin(), png.end()));
    out = stdoutOf([&] { EXPECT_EQ(RecogBarQrCodeFromFile(lying.c_str(), 1), nullptr); });
    EXPECT_NE(out.find("lying.png is refused: a PNG chunk longer than the file"), std::string::npos) << out;

    // Pictures that claim 60000 x 60000 pixels, and a JPEG of under a
    // kilobyte that claims 64447 x 2000: refused from their headers.
    const std::string huge = path("huge.png"), wide = path("wide.jpg");
    store(huge, claimingPng(picture(40, 30), 60000, 60000));
    store(wide, claimingJpeg(picture(40, 30), 64447, 2000));
    for (const std::string& name : {huge, wide}) {
        const std::string before = contents(name);
        std::string log = stdoutOf([&] {
            FN_DeleteBlackEdgeEx(const_cast<char*>(name.c_str()));
            FN_DeleteBlackEdgeEx2(const_cast<char*>(name.c_str()));
            EXPECT_EQ(RecogBarQrCodeFromFile(name.c_str(), 1), nullptr);
        });
        EXPECT_NE(log.find("beyond the limit of 48000000"), std::string::npos) << log;
        EXPECT_EQ(contents(name), before) << name;
    }
    AddImagePath(huge.c_str());
    AddImagePath(good.c_str());
    AddImagePath(jpeg("second.jpg").c_str());
    // The whole merge is refused, not merged without the huge picture.
    const std::string log = stdoutOf([&] { EXPECT_EQ(MergeImages(path("merged.png").c_str(), 0, 0, false), -2); });
    EXPECT_NE(log.find("huge.png cannot be merged"), std::string::npos) << log;
    EXPECT_FALSE(exists(path("merged.png")));

    // Tiny files whose merged picture would be huge: 20000 x 1 beside 1 x 20000.
    const std::string thin = path("thin.png"), tall = path("tall.png");
    ASSERT_TRUE(cv::imwrite(thin, cv::Mat(1, 20000, CV_8UC3, cv::Scalar::all(90))));
    ASSERT_TRUE(cv::imwrite(tall, cv::Mat(20000, 1, CV_8UC3, cv::Scalar::all(90))));
    AddImagePath(thin.c_str());
    AddImagePath(tall.c_str());
    AddImagePath(thin.c_str());
    AddImagePath(tall.c_str());
    out = stdoutOf([&] { EXPECT_EQ(MergeImages(path("grid.png").c_str(), 0, 0, true), -2); });
    EXPECT_NE(out.find("beyond the limit"), std::string::npos) << out;
    EXPECT_TRUE(exists(thin));
    EXPECT_TRUE(exists(tall));
}

TEST_F(Hostile, ExtensionsWithoutAWriterLeaveTheFileAlone) {
    const std::string picture = path("page.xyz");
    ASSERT_TRUE(cv::imwrite(path("page.png"), ::picture(80, 60)));
    ASSERT_EQ(std::rename(path("page.png").c_str(), picture.c_str()), 0);
    const std::string before = contents(picture);
    std::string out = stdoutOf([&] { FN_DeleteBlackEdgeEx(const_cast<char*>(picture.c_str())); });
    EXPECT_NE(out.find("cannot write"), std::string::npos) << out;
    EXPECT_EQ(contents(picture), before);
    EXPECT_EQ(run("ls -A '" + dir + "' | grep -c velcap").first, "0\n") << "a temporary file was left";
}

TEST_F(Hostile, ReadersNeverBlockOnAFifo) {
    const std::string fifo = path("pipe.png");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string out = stdoutOf([&] {
        EXPECT_EQ(RecogBarQrCodeFromFile(fifo.c_str(), 1), nullptr);
        ASSERT_EQ(pdf_start(path("fifo.pdf").c_str()), 0);
        EXPECT_EQ(pdf_addPage(fifo.c_str()), -1);
        pdf_end();
        FN_DeleteBlackEdgeEx(const_cast<char*>(fifo.c_str()));
    });
    EXPECT_NE(out.find("pipe.png is not a readable regular file"), std::string::npos) << out;
}

TEST_F(Hostile, CombineToPdfReportsWhatItWroteAndKeepsTheRest) {
    const std::string target = path("out.pdf");
    const std::string good = jpeg("good.jpg"), refused = path("refused.jpg");
    store(refused, "not a picture at all");
    store(target, "%PDF-1.4 an older document");

    // A good page and a refused one: nothing is written, every source and
    // the older document stay.
    const std::string older = contents(target);
    AddImageFileToPDF(good.c_str());
    AddImageFileToPDF(refused.c_str());
    stdoutOf([&] { EXPECT_EQ(CombineToPDF(target.c_str(), true), -2); });
    EXPECT_EQ(contents(target), older);
    EXPECT_TRUE(exists(good));
    EXPECT_TRUE(exists(refused));

    // A queued file gone since it was queued is skipped, as before.
    const std::string gone = jpeg("gone.jpg");
    AddImageFileToPDF(good.c_str());
    AddImageFileToPDF(gone.c_str());
    std::remove(gone.c_str());
    stdoutOf([&] { EXPECT_EQ(CombineToPDF(target.c_str(), true), 0); });
    EXPECT_EQ(pages(target), 1);
    EXPECT_FALSE(exists(good));

    // The host's own document is left alone.
    const std::string first = jpeg("first.jpg"), second = jpeg("second.jpg");
    ASSERT_EQ(pdf_start(path("host.pdf").c_str()), 0);
    ASSERT_EQ(pdf_addPage(first.c_str()), 0);
    AddImageFileToPDF(second.c_str());
    stdoutOf([&] { EXPECT_EQ(CombineToPDF(path("other.pdf").c_str(), false), 0); });
    EXPECT_EQ(pdf_end(), 0);
    EXPECT_EQ(pages(path("host.pdf")), 1);

    // An output that is also a source is the output afterwards, not deleted.
    const std::string same = jpeg("same.jpg");
    AddImageFileToPDF(same.c_str());
    AddImageFileToPDF(second.c_str());
    stdoutOf([&] { EXPECT_EQ(CombineToPDF(same.c_str(), true), 0); });
    EXPECT_EQ(pages(same), 2);
    EXPECT_FALSE(exists(second));

    // A name at the length limit can be written.
    const std::string longest = dir + "/" + std::string(255 - 4, 'p') + ".pdf";
    AddImageFileToPDF(first.c_str());
    stdoutOf([&] { EXPECT_EQ(CombineToPDF(longest.c_str(), false), 0); });
    EXPECT_EQ(pages(longest), 1);
}

TEST_F(Hostile, MergeImagesSucceedsOnlyForAWrittenFile) {
    auto queue = [&] {
        AddImagePath(jpeg("a.jpg").c_str());
        AddImagePath(jpeg("b.jpg").c_str());
    };
    // A folder in the way, an extension without a writer, a colour mode that writes nothing.
    ASSERT_EQ(::mkdir(path("folder.png").c_str(), 0755), 0);
    const std::string old = path("old.jpg");
    store(old, "an older file");
    for (std::string output : {path("folder.png"), path("merged.xyz"), old}) {
        SCOPED_TRACE(output);
        queue();
        colorMode = output == old ? 3 : 0;
        stdoutOf([&] { EXPECT_EQ(MergeImages(output.c_str(), 0, 0, true), -2); });
        EXPECT_TRUE(exists(path("a.jpg")));
        EXPECT_TRUE(exists(path("b.jpg")));
    }
    EXPECT_EQ(contents(old), "an older file");

    // The output is one of the sources.
    colorMode = 0;
    queue();
    stdoutOf([&] { EXPECT_EQ(MergeImages(path("a.jpg").c_str(), 0, 0, true), 0); });
    EXPECT_EQ(cv::imread(path("a.jpg")).cols, 240);
    EXPECT_FALSE(exists(path("b.jpg")));
}

TEST_F(Hostile, AFullDiskNeverCostsTheOriginal) {
    const std::string page = jpeg("page.jpg", 1600, 1200);
    const std::string before = contents(page);
    // The file size limit stands in for a full disk; without the signal, writes fail with EFBIG.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto previous = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string out = stdoutOf([&] {
        FN_DeleteBlackEdgeEx(const_cast<char*>(page.c_str()));
        FN_DeleteBlackEdgeEx2(const_cast<char*>(page.c_str()));
        std::string name = page;
        EXPECT_EQ(SaveImage(name.data(), picture(1600, 1200)), -1);
    });
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);
    EXPECT_EQ(contents(page), before) << out;
    EXPECT_EQ(run("ls -A '" + dir + "' | grep -c velcap").first, "0\n") << "a temporary file was left";
}

TEST_F(Hostile, APdfCaptureNeverOverwritesAFileAtHome) {
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string home = user->pw_dir;
    const std::string stem = "velcap-hostile-" + std::to_string(getpid());
    const std::string mine = home + "/" + stem + ".jpg", next = home + "/" + stem + "-2.jpg";
    store(mine, "the user's own file");
    std::string target = path(stem + ".pdf");
    stdoutOf([&] { EXPECT_EQ(SaveImage(target.data(), picture(100, 80)), 0); });
    EXPECT_EQ(contents(mine), "the user's own file");
    EXPECT_EQ(pages(target), 1);
    EXPECT_TRUE(exists(next));
    std::remove(mine.c_str());
    std::remove(next.c_str());
}

TEST(HostileImaging, OddGeometryIsHandled) {
    cv::Mat empty;
    EXPECT_TRUE(rotateImage(empty, 12.0f).empty());
    cv::Mat out(3, 3, CV_8UC1);
    GammaCorrection(empty, out, 0.4f);
    EXPECT_TRUE(out.empty());

    int corners[8] = {INT32_MIN, INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX};
    const float angle = GetAngle(corners);
    EXPECT_TRUE(std::isfinite(angle));
    EXPECT_EQ(CutImgW, INT32_MAX);
    EXPECT_EQ(CutImgH, INT32_MAX);
    EXPECT_GE(CutLastW, 0);
    EXPECT_GE(CutLastH, 0);

    setGrabSize(65536, 65536);
    EXPECT_EQ(nSize, 0);
    setGrabSize(640, 480);
    EXPECT_EQ(nSize, 640 * 480 * 3);
}

} // namespace
