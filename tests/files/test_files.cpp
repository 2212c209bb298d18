// Image files and PDF documents, checked with tools that no one here wrote:
// pdfinfo, qpdf, pdfimages, file and ImageMagick's identify.
#include <cstdio>
#include <fstream>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "support/camera_test.h"
#include "support/shell.h"

using velcap::test::stdoutOf;

using velcap::test::run;

namespace {

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

// A B, G, R picture with structure in every channel.
cv::Mat picture(int width, int height, int seed = 1) {
    cv::Mat bgr(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            bgr.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar((x * 3 + seed * 40) % 256), uchar(y % 256), uchar((x + y) / 8));
    cv::putText(bgr, "velcap", cv::Point(width / 8, height / 2), cv::FONT_HERSHEY_SIMPLEX, width / 200.0,
                cv::Scalar(0, 0, 0), 3);
    return bgr;
}

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        dir = testing::TempDir() + "/velcap-files-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        run("rm -rf " + dir + " && mkdir -p " + dir);
        colorMode = 0;
        jpgQuality = 85;
    }
    void TearDown() override {
        colorMode = 0;
        jpgQuality = 85;
        pdf_filelist.clear();
        img_filelist.clear();
    }
    int save(const std::string& name, const cv::Mat& image, std::string* out = nullptr) {
        std::string path = name[0] == '/' ? name : dir + "/" + name;
        int result = 0;
        std::string text = stdoutOf([&] { result = SaveImage(path.data(), image); });
        if (out) *out = text;
        return result;
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    // pdfinfo's page count and the size of every page, "WxH" in points.
    static std::vector<std::string> pageSizes(const std::string& pdfPath) {
        auto [out, status] = run("pdfinfo -f 1 -l 1000 " + pdfPath);
        std::vector<std::string> sizes;
        for (size_t at = out.find(" size: "); at != std::string::npos; at = out.find(" size: ", at + 1)) {
            if (out.rfind("Page", at) < out.rfind('\n', at) + 1) continue; // "File size", not a page
            double w = 0, h = 0;
            std::sscanf(out.c_str() + at, " size: %lf x %lf", &w, &h);
            sizes.push_back(std::to_string(int(w)) + "x" + std::to_string(int(h)));
        }
        return sizes;
    }
    std::string dir;
};

TEST_F(Files, FormatsFollowTheName) {
    const cv::Mat image = picture(320, 240);
    for (const char* name : {"a.jpg", "a.bmp", "a.png", "a.tif"}) EXPECT_EQ(save(name, image), 0) << name;
    EXPECT_NE(run("file " + path("a.jpg")).first.find("JPEG image data"), std::string::npos);
    EXPECT_NE(run("file " + path("a.bmp")).first.find("PC bitmap"), std::string::npos);
    EXPECT_NE(run("file " + path("a.png")).first.find("PNG image data, 320 x 240, 8-bit/color RGB"), std::string::npos);
    EXPECT_NE(run("file " + path("a.tif")).first.find("TIFF image data"), std::string::npos);
    // The colour picture is written losslessly where the format allows.
    EXPECT_EQ(cv::norm(cv::imread(path("a.png")), image, cv::NORM_INF), 0);
    EXPECT_EQ(cv::norm(cv::imread(path("a.bmp")), image, cv::NORM_INF), 0);
}

TEST_F(Files, JpegQualityShowsInTheQuantisationTables) {
    const cv::Mat image = picture(640, 480);
    jpgQuality = 40;
    ASSERT_EQ(save("q40.jpg", image), 0);
    jpgQuality = 85;
    ASSERT_EQ(save("q85.jpg", image), 0);
    EXPECT_EQ(run("identify -format %Q " + path("q40.jpg")).first, "40");
    EXPECT_EQ(run("identify -format %Q " + path("q85.jpg")).first, "85");
    // Every spelling of a JPEG name gets the set quality.
    jpgQuality = 40;
    for (const char* name : {"upper.JPG", "mixed.Jpg", "long.jpeg", "LONG.JPEG"}) {
        ASSERT_EQ(save(name, image), 0) << name;
        EXPECT_EQ(run("identify -format %Q " + path(name)).first, "40") << name;
    }
}

TEST_F(Files, GreyAndBlackAndWhite) {
    cv::Mat image = picture(400, 300);
    const cv::Mat before = image.clone();
    colorMode = 1;
    ASSERT_EQ(save("grey.bmp", image), 0);
    EXPECT_NE(run("file " + path("grey.bmp")).first.find("400 x 300 x 8,"), std::string::npos) << "8 bits a pixel";
    cv::Mat grey = cv::imread(path("grey.bmp"), cv::IMREAD_UNCHANGED);
    EXPECT_EQ(grey.channels(), 1);
    cv::Mat expected;
    cv::cvtColor(before, expected, cv::COLOR_BGR2GRAY);
    EXPECT_EQ(cv::norm(grey, expected, cv::NORM_INF), 0);

    colorMode = 2;
    ASSERT_EQ(save("bw.png", image), 0);
    cv::Mat bw = cv::imread(path("bw.png"), cv::IMREAD_UNCHANGED);
    ASSERT_EQ(bw.channels(), 1);
    EXPECT_EQ(cv::countNonZero(bw == 0) + cv::countNonZero(bw == 255), int(bw.total()));
    EXPECT_GT(cv::countNonZero(bw == 0), 0);
    // A uniform page turns all white.
    ASSERT_EQ(save("page.png", cv::Mat(200, 200, CV_8UC3, cv::Scalar(128, 128, 128))), 0);
    EXPECT_EQ(cv::countNonZero(cv::imread(path("page.png"), cv::IMREAD_UNCHANGED) == 255), 200 * 200);
    EXPECT_EQ(cv::norm(image, before, cv::NORM_INF), 0) << "the caller's image changed";

    colorMode = 5;
    EXPECT_EQ(save("nothing.png", image), 0);
    EXPECT_FALSE(exists(path("nothing.png")));
}

TEST_F(Files, FailuresAreReportedAndWriteNothing) {
    const cv::Mat image = picture(64, 48);
    std::string out;
    EXPECT_EQ(save(dir + "/a.gif", image, &out), -1);
    EXPECT_NE(out.find("SaveImage: no image encoder for"), std::string::npos) << out;
    EXPECT_FALSE(exists(path("a.gif")));
    EXPECT_EQ(save("/nonexistent-dir/a.png", image, &out), -1);
    EXPECT_NE(out.find("could not be written"), std::string::npos) << out;
    EXPECT_EQ(save("/nonexistent-dir/a.jpg", image), -1);
    char shortName[] = "ab";
    stdoutOf([&] { EXPECT_EQ(SaveImage(shortName, image), -1); });
    EXPECT_EQ(save("empty.png", cv::Mat()), -1);
    char noExtension[] = "/tmp/velcap.dir/pdf";
    stdoutOf([&] { EXPECT_EQ(TempImgToPdf(noExtension, image), -1); });
    EXPECT_FALSE(exists("/tmp/velcap.dir/pdf"));
}

TEST_F(Files, PdfCaptureLeavesTheDocumentAndAJpegAtHome) {
    const cv::Mat image = picture(1600, 1200);
    const passwd* user = getpwuid(getuid());
    ASSERT_NE(user, nullptr);
    const std::string home = user->pw_dir;
    const std::string base = "velcap-test-capture-" + std::to_string(::getpid());
    ASSERT_EQ(save(base + ".pdf", image), 0);
    EXPECT_EQ(pageSizes(path(base + ".pdf")), std::vector<std::string>{"1600x1200"});
    EXPECT_EQ(run("qpdf --check " + path(base + ".pdf")).second, 0);
    const std::string temp = home + "/" + base + ".jpg";
    EXPECT_TRUE(exists(temp)) << temp;
    // The page's picture is the JPEG itself, embedded as it is.
    auto [list, status] = run("pdfimages -list " + path(base + ".pdf"));
    EXPECT_NE(list.find("1600  1200  rgb     3   8  jpeg"), std::string::npos) << list;
    run("cd " + dir + " && pdfimages -j " + base + ".pdf embedded");
    std::ifstream a(temp, std::ios::binary), b(path("embedded-000.jpg"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(a), {}), std::string(std::istreambuf_iterator<char>(b), {}));
    std::remove(temp.c_str());
}

TEST_F(Files, DocumentOfSeveralPages) {
    const std::string a = path("a.jpg"), b = path("b.png"), c = path("c.jpg");
    ASSERT_TRUE(cv::imwrite(a, picture(1600, 1200, 1)));
    ASSERT_TRUE(cv::imwrite(b, picture(300, 500, 2)));
    ASSERT_TRUE(cv::imwrite(c, picture(640, 480, 3)));
    const std::string out = path("three.pdf");
    ASSERT_EQ(pdf_start(out.c_str()), 0);
    EXPECT_EQ(pdf_addPage(a.c_str()), 0);
    EXPECT_EQ(pdf_addPage(b.c_str()), 0);
    EXPECT_EQ(pdf_addPage(c.c_str()), 0);
    ASSERT_EQ(pdf_end(), 0);
    EXPECT_EQ(pageSizes(out), (std::vector<std::string>{"1600x1200", "300x500", "640x480"}));
    EXPECT_EQ(run("qpdf --check " + out).second, 0);
    EXPECT_EQ(pdf, nullptr);

    // The PNG page, rendered at one pixel a point, is the picture.
    run("pdftoppm -f 2 -l 2 -r 72 -png " + out + " " + path("page"));
    cv::Mat rendered = cv::imread(path("page-2.png"));
    ASSERT_EQ(rendered.size(), cv::Size(300, 500));
    cv::Mat diff;
    cv::absdiff(rendered, picture(300, 500, 2), diff);
    EXPECT_LT(cv::mean(diff)[0] + cv::mean(diff)[1] + cv::mean(diff)[2], 6);
}

// Every picture the readers take becomes a page: past PDF's 3 to 14400
// points a side, the page is the picture scaled, drawn whole.
TEST_F(Files, PicturesOfAnySizeBecomePages) {
    const std::string wide = path("wide.png"), tiny = path("tiny.png");
    ASSERT_TRUE(cv::imwrite(wide, cv::Mat(3000, 15000, CV_8UC1, cv::Scalar(90))));
    ASSERT_TRUE(cv::imwrite(tiny, cv::Mat(2, 2, CV_8UC3, cv::Scalar(10, 200, 30))));
    const std::string out = path("sizes.pdf");
    ASSERT_EQ(pdf_start(out.c_str()), 0);
    stdoutOf([&] {
        EXPECT_EQ(pdf_addPage(wide.c_str()), 0);
        EXPECT_EQ(pdf_addPage(tiny.c_str()), 0);
    });
    ASSERT_EQ(pdf_end(), 0);
    EXPECT_EQ(pageSizes(out), (std::vector<std::string>{"14400x2880", "3x3"}));
    // The tiny page is its picture, filling the page.
    run("pdftoppm -f 2 -l 2 -r 720 -png " + out + " " + path("tiny"));
    const cv::Mat rendered = cv::imread(path("tiny-2.png"));
    ASSERT_FALSE(rendered.empty());
    const cv::Vec3b centre = rendered.at<cv::Vec3b>(rendered.rows / 2, rendered.cols / 2);
    EXPECT_NEAR(centre[1], 200, 8);
    EXPECT_NEAR(centre[0], 10, 8);
}

TEST_F(Files, PdfMisuseAndErrorsNeverCrashOrLeaveHalfFiles) {
    std::string out = stdoutOf([] {
        EXPECT_EQ(pdf_addPage("/tmp/x.jpg"), -1);
        EXPECT_EQ(pdf_end(), -1);
    });
    EXPECT_NE(out.find("pdf_addPage: no document is open; call pdf_start first"), std::string::npos);

    // A refused page abandons the document: pdf_end fails and writes nothing.
    const std::string doc = path("broken.pdf"), notJpeg = path("fake.jpg"), txt = path("a.txt");
    std::ofstream(notJpeg) << "this is not a picture";
    std::ofstream(txt) << "text";
    const std::string good = path("good.jpg");
    ASSERT_TRUE(cv::imwrite(good, picture(50, 50)));
    const struct {
        std::string page, said;
    } refusals[] = {
        {txt, "a.txt is not a .jpg, .png, .tif or .bmp picture; no page added"},
        {notJpeg, "fake.jpg is refused; no page added"},
        {path("missing.jpg"), "missing.jpg is not a readable regular file"},
    };
    for (const auto& refusal : refusals) {
        ASSERT_EQ(pdf_start(doc.c_str()), 0);
        ASSERT_EQ(pdf_addPage(good.c_str()), 0);
        out = stdoutOf([&] { EXPECT_EQ(pdf_addPage(refusal.page.c_str()), -1); });
        EXPECT_NE(out.find(refusal.said), std::string::npos) << out;
        EXPECT_EQ(pdf, nullptr);
        stdoutOf([] { EXPECT_EQ(pdf_end(), -1); });
        EXPECT_FALSE(exists(doc)) << refusal.page;
    }

    // An unwritable place: pdf_end fails, and nothing is left there.
    const std::string jpg = path("ok.jpg");
    ASSERT_TRUE(cv::imwrite(jpg, picture(60, 40)));
    ASSERT_EQ(pdf_start("/nonexistent-dir/out.pdf"), 0);
    ASSERT_EQ(pdf_addPage(jpg.c_str()), 0);
    stdoutOf([] { EXPECT_NE(pdf_end(), 0); });
    EXPECT_FALSE(exists("/nonexistent-dir/out.pdf.partial"));

    // A second start abandons the first document.
    ASSERT_EQ(pdf_start(path("first.pdf").c_str()), 0);
    ASSERT_EQ(pdf_start(path("second.pdf").c_str()), 0);
    ASSERT_EQ(pdf_addPage(jpg.c_str()), 0);
    ASSERT_EQ(pdf_end(), 0);
    EXPECT_FALSE(exists(path("first.pdf")));
    EXPECT_EQ(pageSizes(path("second.pdf")), std::vector<std::string>{"60x40"});
}

TEST_F(Files, CombineQueuedPictures) {
    const std::string out = path("combined.pdf");
    EXPECT_EQ(CombineToPDF(out.c_str(), true), -1) << "nothing queued";
    EXPECT_FALSE(exists(out));
    EXPECT_EQ(AddImageFileToPDF(path("missing.jpg").c_str()), -1);
    EXPECT_EQ(CombineToPDF(out.c_str(), true), -1);

    const std::string a = path("a.jpg"), b = path("b.jpg"), c = path("c.png");
    ASSERT_TRUE(cv::imwrite(a, picture(200, 100)));
    ASSERT_TRUE(cv::imwrite(b, picture(100, 200)));
    ASSERT_TRUE(cv::imwrite(c, picture(120, 90)));
    EXPECT_EQ(AddImageFileToPDF(a.c_str()), 0);
    EXPECT_EQ(AddImageFileToPDF(b.c_str()), 0);
    std::remove(b.c_str()); // gone before the combination
    ASSERT_EQ(CombineToPDF(out.c_str(), true), 0);
    EXPECT_EQ(pageSizes(out), std::vector<std::string>{"200x100"});
    EXPECT_FALSE(exists(a));
    EXPECT_TRUE(pdf_filelist.empty());

    ASSERT_TRUE(cv::imwrite(a, picture(200, 100)));
    EXPECT_EQ(AddImageFileToPDF(a.c_str()), 0);
    EXPECT_EQ(AddImageFileToPDF(c.c_str()), 0);
    ASSERT_EQ(CombineToPDF(path("kept.pdf").c_str(), false), 0);
    EXPECT_EQ(pageSizes(path("kept.pdf")), (std::vector<std::string>{"200x100", "120x90"}));
    EXPECT_TRUE(exists(a) && exists(c));

    // The document cannot be written: -2, and the sources stay.
    EXPECT_EQ(AddImageFileToPDF(a.c_str()), 0);
    stdoutOf([] { EXPECT_EQ(CombineToPDF("/nonexistent-dir/out.pdf", true), -2); });
    EXPECT_TRUE(exists(a));
    EXPECT_TRUE(pdf_filelist.empty());
}

TEST_F(Files, MergeArrangesQueuedPictures) {
    const std::string a = path("a.png"), b = path("b.png"), c = path("c.png"), d = path("d.png"), e = path("e.png");
    auto make = [&] {
        cv::imwrite(a, cv::Mat(100, 200, CV_8UC3, cv::Scalar(255, 0, 0)));
        cv::imwrite(b, cv::Mat(50, 60, CV_8UC3, cv::Scalar(0, 255, 0)));
        cv::imwrite(c, cv::Mat(80, 80, CV_8UC3, cv::Scalar(0, 0, 255)));
        cv::imwrite(d, cv::Mat(30, 40, CV_8UC3, cv::Scalar(9, 9, 9)));
        cv::imwrite(e, cv::Mat(10, 10, CV_8UC3, cv::Scalar(1, 2, 3)));
    };
    make();
    EXPECT_EQ(AddImagePath(a.c_str()), 0);
    EXPECT_EQ(MergeImages(path("one.png").c_str(), 0, 0, true), -1);
    EXPECT_EQ(img_filelist.size(), 1u) << "one picture stays queued";
    EXPECT_EQ(AddImagePath(path("missing.png").c_str()), -1);

    EXPECT_EQ(AddImagePath(b.c_str()), 0);
    ASSERT_EQ(MergeImages(path("row.png").c_str(), 0, 0, false), 0);
    cv::Mat row = cv::imread(path("row.png"));
    ASSERT_EQ(row.size(), cv::Size(260, 100));
    EXPECT_EQ(row.at<cv::Vec3b>(10, 10), cv::Vec3b(255, 0, 0));
    EXPECT_EQ(row.at<cv::Vec3b>(10, 210), cv::Vec3b(0, 255, 0));
    EXPECT_EQ(row.at<cv::Vec3b>(90, 210), cv::Vec3b(255, 255, 255)) << "padding is white";

    AddImagePath(a.c_str());
    AddImagePath(b.c_str());
    AddImagePath(c.c_str());
    ASSERT_EQ(MergeImages(path("column.png").c_str(), 1, 0, false), 0);
    EXPECT_EQ(cv::imread(path("column.png")).size(), cv::Size(200, 230));

    for (const auto& p : {a, b, c, d, e}) AddImagePath(p.c_str());
    ASSERT_EQ(MergeImages(path("grid.png").c_str(), 0, 0, true), 0);
    cv::Mat grid = cv::imread(path("grid.png"));
    EXPECT_EQ(grid.size(), cv::Size(260, 180)); // columns as wide as their widest picture
    EXPECT_EQ(grid.at<cv::Vec3b>(110, 5), cv::Vec3b(0, 0, 255));
    EXPECT_FALSE(exists(a) || exists(b) || exists(c) || exists(d));
    EXPECT_TRUE(exists(e)) << "the fifth picture was not merged and is kept";
    EXPECT_TRUE(img_filelist.empty());

    // A source deleted after queuing is left out.
    make();
    AddImagePath(a.c_str());
    AddImagePath(b.c_str());
    std::remove(b.c_str());
    ASSERT_EQ(MergeImages(path("alone.png").c_str(), 0, 0, false), 0);
    EXPECT_EQ(cv::imread(path("alone.png")).size(), cv::Size(200, 100));

    // No file at the end: -2, and the sources stay.
    make();
    AddImagePath(a.c_str());
    AddImagePath(b.c_str());
    stdoutOf([&] { EXPECT_EQ(MergeImages("/nonexistent-dir/m.png", 0, 0, true), -2); });
    EXPECT_TRUE(exists(a) && exists(b));
}

} // namespace
