// Searchable PDFs' text layer, read back by every reader; true page sizes;
// PDF/A-1b checked by PDFBox's preflight.
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "files/pdf_document.h"
#include "support/capture_test.h"
#include "support/pdf_readers.h"
#include "velcap.h"
#include "velcap/documents.h"

namespace {

using velcap::test::run;

// A line of text as Tesseract reports it: box and baseline in pixels.
velcap::ocr::Line line(const std::string& text, int x, int y, int width, int height) {
    velcap::ocr::Line l;
    l.box = cv::Rect(x, y, width, height);
    l.baseFrom = cv::Point2f(float(x), float(y + height));
    l.baseTo = cv::Point2f(float(x + width), float(y + height));
    l.text = text;
    return l;
}

std::vector<unsigned char> whiteJpeg(cv::Size size) {
    std::vector<unsigned char> jpeg;
    cv::imencode(".jpg", cv::Mat(size, CV_8UC3, cv::Scalar::all(255)), jpeg);
    return jpeg;
}

std::string pageSize(const std::string& pdf) {
    const std::string info = run("pdfinfo '" + pdf + "'").first;
    const size_t at = info.find("Page size:");
    return at == std::string::npos ? info : info.substr(at, info.find('\n', at) - at);
}

class PdfText : public velcap::test::FolderTest {};

TEST_F(PdfText, EveryReaderGetsEveryScriptWithoutSpacesBetweenChineseCharacters) {
    const char* const lines[] = {"中文二维码测试",   "Total: ¥100 and £25", "Copyright © 2026 Orvida®",
                                 "日本語のテキスト", "한국어 텍스트",       "扩展𠀀字"};
    velcap::ocr::PageText text;
    text.size = cv::Size(1600, 1200);
    int y = 100;
    for (const char* l : lines) text.lines.push_back(line(l, 100, y += 150, 900, 60));
    velcap::PdfDocument document;
    ASSERT_EQ(document.addJpegPage(whiteJpeg(text.size), &text), velcap::Status::Ok);
    const std::string pdf = file("layer.pdf");
    ASSERT_EQ(document.save(pdf), velcap::Status::Ok);
    for (const velcap::test::PdfReader& reader : velcap::test::pdfReaders()) {
        const std::string read = velcap::test::textBy(reader, pdf);
        for (const char* l : lines)
            EXPECT_NE(read.find(l), std::string::npos) << reader.name << ": " << l << " in " << read;
    }
}

TEST_F(PdfText, LiesOverItsPixelsWhereverThePictureLandsAndStaysSmall) {
    velcap::ocr::PageText text;
    text.size = cv::Size(1000, 500);
    text.lines.push_back(line("placed", 100, 200, 800, 60));
    velcap::PdfDocument document;
    // The picture at 100, 200 points from the top left, 0.4 points a pixel.
    ASSERT_EQ(document.addJpegPage(whiteJpeg(text.size), &text, 595, 842, cv::Rect2d(100, 200, 400, 200)),
              velcap::Status::Ok);
    const std::string pdf = file("placed.pdf");
    ASSERT_EQ(document.save(pdf), velcap::Status::Ok);
    const std::string box = run("pdftotext -bbox '" + pdf + "' -").first;
    double xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    const size_t at = box.find("<word");
    ASSERT_NE(at, std::string::npos) << box;
    ASSERT_EQ(std::sscanf(box.c_str() + at, "<word xMin=\"%lf\" yMin=\"%lf\" xMax=\"%lf\" yMax=\"%lf\"", &xMin, &yMin,
                          &xMax, &yMax),
              4)
        << box;
    EXPECT_NEAR(xMin, 140, 2);
    EXPECT_NEAR(xMax, 460, 2);
    EXPECT_NEAR(yMin, 280, 2); // the line's top, 200 pixels down
    EXPECT_GT(yMax, 300);      // below its baseline, 260 pixels down

    // Thirty lines of sixty characters add at most 30 KB to their page.
    velcap::ocr::PageText page;
    page.size = cv::Size(2480, 3508);
    const std::string words = "The camera reads the page. 文件平放在底座上，请勿移动。 Line ";
    for (int i = 0; i < 30; ++i) page.lines.push_back(line(words + std::to_string(i), 100, 100 + i * 100, 2200, 60));
    const auto sizeOf = [&](const velcap::ocr::PageText* layer) {
        velcap::PdfDocument d;
        EXPECT_EQ(d.addJpegPage(whiteJpeg(page.size), layer), velcap::Status::Ok);
        return d.bytes().size();
    };
    EXPECT_LE(sizeOf(&page) - sizeOf(nullptr), 30u * 1024);
}

TEST_F(PdfText, PicturesThatRecordTheirResolutionBecomePagesOfTheirTrueSize) {
    // An A4 page at 150 dpi is 1240 x 1754 pixels.
    const struct {
        const char* name;
        const char* density;
        const char* size;
    } cases[] = {
        {"a4.jpg", "-density 150 -units PixelsPerInch", "(A4)"},
        {"a4cm.jpg", "-density 59.06 -units PixelsPerCentimeter", "(A4)"},
        {"a4.png", "-density 150 -units PixelsPerInch", "(A4)"},
        {"a4.tif", "-density 150 -units PixelsPerInch", "(A4)"},
        {"none.jpg", "-units Undefined", "1240 x 1754"},
    };
    for (const auto& c : cases) {
        const std::string picture = file(c.name);
        ASSERT_EQ(run(std::string("convert -size 1240x1754 xc:white ") + c.density + " '" + picture + "'").second, 0);
        velcap::PdfDocument document;
        ASSERT_EQ(document.addImagePage(picture.c_str()), velcap::Status::Ok) << c.name;
        const std::string pdf = file(std::string(c.name) + ".pdf");
        ASSERT_EQ(document.save(pdf), velcap::Status::Ok);
        EXPECT_NE(pageSize(pdf).find(c.size), std::string::npos) << c.name << ": " << pageSize(pdf);
        // The same through the page writer, which velcap pdf uses with page options.
        const std::string paged = file(std::string(c.name) + "-paged.pdf");
        ASSERT_EQ(velcap::writePages({picture}, paged, {}), velcap::Status::Ok);
        EXPECT_NE(pageSize(paged).find(c.size), std::string::npos) << c.name << ": " << pageSize(paged);
    }
}

TEST_F(PdfText, PdfADocumentsPassPreflightAndOthersDoNotClaimToBe) {
    const std::string translucent = file("translucent.png");
    ASSERT_EQ(run("convert -size 600x400 xc:'rgba(200,30,30,0.5)' '" + translucent + "'").second, 0);
    velcap::ocr::PageText text;
    text.size = cv::Size(600, 400);
    text.lines.push_back(line("档案 Archive", 50, 100, 400, 40));
    const auto write = [&](bool archival, const std::string& name) {
        velcap::PdfDocument document(archival);
        EXPECT_EQ(document.addImagePage(translucent.c_str(), &text), velcap::Status::Ok);
        EXPECT_EQ(document.addJpegPage(whiteJpeg(text.size), &text), velcap::Status::Ok);
        EXPECT_EQ(document.save(file(name)), velcap::Status::Ok);
        return file(name);
    };
    const auto [valid, verdict] = velcap::test::preflight(write(true, "archival.pdf"));
    EXPECT_TRUE(valid) << verdict;
    EXPECT_FALSE(velcap::test::preflight(write(false, "plain.pdf")).first);

    // The flat opt-in, and the page writer's black and white pages.
    SetPdfA(1);
    const std::string flat = file("flat.pdf");
    velcap::test::stdoutOf([&] {
        EXPECT_EQ(pdf_start(flat.c_str()), 0);
        EXPECT_EQ(pdf_addPage(translucent.c_str()), 0);
        EXPECT_EQ(pdf_end(), 0);
    });
    SetPdfA(0);
    EXPECT_TRUE(velcap::test::preflight(flat).first) << velcap::test::preflight(flat).second;
    velcap::PageOptions options;
    options.blackAndWhite = true;
    options.paper = velcap::Paper::A4;
    options.pdfA = true;
    const std::string bw = file("bw.pdf");
    ASSERT_EQ(velcap::writePages({translucent}, bw, options), velcap::Status::Ok);
    EXPECT_TRUE(velcap::test::preflight(bw).first) << velcap::test::preflight(bw).second;
}

} // namespace
