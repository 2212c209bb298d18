// Office copies on made-up cards and pages: identity cards found on dark,
// light and white desks at any angle, and put at true size on A4; the
// resolution recorded in the files; file-size budgets with readable codes.
#include <climits>
#include <cmath>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "codes/code_images.h"
#include "imaging/card.h"
#include "support/capture_test.h"
#include "support/made_up_card.h"
#include "support/shell.h"
#include "velcap.h"
#include "velcap/camera.h"

namespace {

using velcap::test::madeUpCard;
using velcap::test::onDesk;

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    const cv::Scalar m = cv::mean(diff);
    return (m[0] + m[1] + m[2]) / 3;
}

class Office : public velcap::test::FolderTest {};

TEST_F(Office, CardsAreFoundAndStraightenedOnEveryDeskAtAnyAngle) {
    const cv::Mat card = madeUpCard(true);
    const struct {
        const char* desk;
        cv::Scalar colour;
    } desks[] = {{"dark", {45, 42, 40}}, {"wood", {90, 140, 185}}, {"white", {238, 238, 236}}};
    for (const auto& desk : desks)
        for (double angle : {0.0, 23.0, -65.0, 102.0, 170.0}) {
            SCOPED_TRACE(std::string(desk.desk) + " desk, " + std::to_string(angle) + " degrees");
            const cv::Mat picture = onDesk(card, desk.colour, angle);
            velcap::Quad corners;
            ASSERT_TRUE(velcap::findCard(picture, corners));
            const cv::Mat straight = velcap::straightenCard(picture, corners, 254);
            ASSERT_EQ(straight.size(), cv::Size(856, 540));
            // As it lay: upright unless turned by more than a quarter turn either way.
            cv::Mat expected = card;
            if (std::cos(angle * CV_PI / 180) < 0) cv::rotate(card, expected, cv::ROTATE_180);
            const cv::Rect inner(40, 40, 776, 460); // the rounded corners show the desk
            EXPECT_LT(meanDifference(straight(inner), expected(inner)), 20);
        }
    velcap::Quad corners;
    EXPECT_FALSE(velcap::findCard(cv::Mat(1200, 1600, CV_8UC3, cv::Scalar(238, 238, 236)), corners));
}

TEST_F(Office, AnIdCopyHasBothSidesOnA4AtTrueSize) {
    const std::string front = file("front.jpg"), back = file("back.jpg");
    cv::imwrite(front, onDesk(madeUpCard(true), {45, 42, 40}, 12));
    cv::imwrite(back, onDesk(madeUpCard(false), {238, 238, 236}, -97));
    ASSERT_EQ(velcap::makeIdCardCopy(front, back, file("copy.png")), velcap::Status::Ok);
    const cv::Mat page = cv::imread(file("copy.png"));
    ASSERT_EQ(page.size(), cv::Size(2480, 3508)); // A4 at 300 dpi
    EXPECT_EQ(velcap::test::run("identify -units PixelsPerInch -format %x " + file("copy.png")).first, "300");
    // Each card: its box of non-white pixels, 85.6 x 54 mm within 1 %, centred, front above back.
    cv::Mat ink;
    cv::cvtColor(page, ink, cv::COLOR_BGR2GRAY);
    ink = ink < 250;
    for (int side = 0; side < 2; ++side) {
        const cv::Rect half(0, side * page.rows / 2, page.cols, page.rows / 2);
        cv::Rect box = cv::boundingRect(ink(half));
        box.y += half.y;
        EXPECT_NEAR(box.width / 300.0 * 25.4, 85.6, 0.856) << side;
        EXPECT_NEAR(box.height / 300.0 * 25.4, 54.0, 0.54) << side;
        EXPECT_NEAR(box.x + box.width / 2.0, page.cols / 2.0, 3) << side;
    }
    ASSERT_EQ(velcap::makeIdCardCopy(front, back, file("copy.pdf")), velcap::Status::Ok);
    EXPECT_NE(velcap::test::run("pdfinfo " + file("copy.pdf")).first.find("595.2"), std::string::npos);
    // The flat interface's copy, and its refusals.
    EXPECT_EQ(MakeIdCardCopy(front.c_str(), back.c_str(), file("flat.jpg").c_str()), 0);
    EXPECT_EQ(cv::imread(file("flat.jpg")).size(), cv::Size(2480, 3508));
    velcap::test::stdoutOf([&] {
        EXPECT_EQ(MakeIdCardCopy(front.c_str(), back.c_str(), file("copy.gif").c_str()), -1);
        EXPECT_EQ(MakeIdCardCopy(front.c_str(), nullptr, file("copy.pdf").c_str()), -1);
    });
    // No card, no copy.
    cv::imwrite(file("desk.jpg"), cv::Mat(1200, 1600, CV_8UC3, cv::Scalar(45, 42, 40)));
    velcap::test::stdoutOf([&] {
        EXPECT_EQ(velcap::makeIdCardCopy(file("desk.jpg"), back, file("none.pdf")), velcap::Status::NotWritten);
    });
}

TEST_F(Office, ResolutionPaperAndBudgets) {
    // A grey A4 page at 300 dpi: text-like rows and a QR code.
    cv::Mat page(3508, 2480, CV_8UC1, cv::Scalar(232));
    for (int y = 300; y < 3000; y += 70)
        for (int x = 200; x < 2200; x += 90) cv::rectangle(page, {x, y}, {x + 60 - (x * y) % 23, y + 30}, 60, -1);
    const cv::Mat qr = velcap::test::qrPicture(velcap::test::kQrText, 8);
    qr.copyTo(page(cv::Rect({1900, 3000}, qr.size())));
    cv::Mat colour;
    cv::cvtColor(page, colour, cv::COLOR_GRAY2BGR);
    cv::GaussianBlur(colour, colour, {3, 3}, 0.7);
    cv::imwrite(file("page.png"), colour);

    velcap::PageOptions options;
    options.dpi = 300;
    for (const char* name : {"dpi.jpg", "dpi.png", "dpi.tif"}) {
        ASSERT_EQ(velcap::writePages({file("page.png")}, file(name), options), velcap::Status::Ok) << name;
        EXPECT_EQ(velcap::test::run("identify -units PixelsPerInch -format %x " + file(name)).first, "300") << name;
    }
    ASSERT_EQ(velcap::writePages({file("page.png")}, file("dpi.pdf"), options), velcap::Status::Ok);
    EXPECT_NE(velcap::test::run("pdfinfo " + file("dpi.pdf")).first.find("595.2 x 841.9"), std::string::npos);
    options.dpi = 0;
    options.paper = velcap::Paper::Letter;
    ASSERT_EQ(velcap::writePages({file("page.png")}, file("letter.pdf"), options), velcap::Status::Ok);
    EXPECT_NE(velcap::test::run("pdfinfo " + file("letter.pdf")).first.find("612 x 792"), std::string::npos);

    const struct {
        const char* name;
        bool blackAndWhite;
        long budget;
    } budgets[] = {
        {"grey.jpg", false, 150000}, {"grey.pdf", false, 150000}, {"bw.tif", true, 50000}, {"bw.pdf", true, 50000}};
    options = {};
    options.dpi = 300;
    for (const auto& b : budgets) {
        SCOPED_TRACE(b.name);
        options.blackAndWhite = b.blackAndWhite;
        options.maxBytes = b.budget;
        ASSERT_EQ(velcap::writePages({file("page.png")}, file(b.name), options), velcap::Status::Ok);
        const auto [listing, status] = velcap::test::run("stat -c %s " + file(b.name));
        EXPECT_LE(std::stol(listing), b.budget);
        std::string picture = file(b.name);
        if (std::string(b.name).find(".pdf") != std::string::npos) {
            velcap::test::run("pdftoppm -r 300 -png -singlefile " + picture + " " + file("shown"));
            picture = file("shown.png");
        }
        EXPECT_NE(velcap::test::run("zbarimg -q --raw " + picture).first.find(velcap::test::kQrText),
                  std::string::npos);
    }
    EXPECT_NE(velcap::test::run("pdfimages -list " + file("bw.pdf")).first.find("ccitt"), std::string::npos);
    EXPECT_NE(velcap::test::run("identify -format %C " + file("bw.tif")).first.find("Group4"), std::string::npos);
    // A budget no quality meets writes nothing.
    options = {};
    options.maxBytes = 2000;
    velcap::test::stdoutOf([&] {
        EXPECT_EQ(velcap::writePages({file("page.png")}, file("tiny.jpg"), options), velcap::Status::NotWritten);
    });
    EXPECT_NE(::access(file("tiny.jpg").c_str(), F_OK), 0);
    // Nor does a G4 TIFF over budget replace the file that is there.
    { std::ofstream(file("kept.tif")) << "old"; }
    options.blackAndWhite = true;
    velcap::test::stdoutOf([&] {
        EXPECT_EQ(velcap::writePages({file("page.png")}, file("kept.tif"), options), velcap::Status::NotWritten);
    });
    EXPECT_EQ(velcap::test::run("cat " + file("kept.tif")).first, "old");
}

} // namespace

namespace {

// Bad resolutions and names get a Status, never an exception, and write nothing.
TEST_F(Office, BadResolutionsAndNamesAreRefusedWithAStatus) {
    cv::imwrite(file("card.png"), onDesk(madeUpCard(true), cv::Scalar(45, 42, 40), 10));
    // A PNG that says 12000 x 12000 in its header: refused before it is decoded.
    const unsigned char header[] = {0x89, 'P',  'N',  'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R', 0,
                                    0,    0x2e, 0xe0, 0,   0,    0x2e, 0xe0, 8,    2, 0, 0, 0,  0,   0,   0,   0};
    std::ofstream(file("huge.png"), std::ios::binary).write(reinterpret_cast<const char*>(header), sizeof(header));
    ::mkfifo(file("fifo.png").c_str(), 0600);
    velcap::PageOptions huge;
    huge.dpi = 100000;
    velcap::PageOptions most;
    most.dpi = INT_MAX;
    velcap::PageOptions onA4 = huge;
    onA4.paper = velcap::Paper::A4;
    const struct {
        const char* what;
        std::function<velcap::Status()> call;
        velcap::Status status;
    } cases[] = {
        {"a card copy at 100000 dpi",
         [&] { return velcap::makeIdCardCopy(file("card.png"), file("card.png"), file("copy.pdf"), huge); },
         velcap::Status::NotWritten},
        {"a card copy at INT_MAX dpi",
         [&] { return velcap::makeIdCardCopy(file("card.png"), file("card.png"), file("copy.pdf"), most); },
         velcap::Status::NotWritten},
        {"A4 pages at 100000 dpi", [&] { return velcap::writePages({file("card.png")}, file("a4.pdf"), onA4); },
         velcap::Status::NotWritten},
        {"a NUL in the copy's name",
         [&] {
             return velcap::makeIdCardCopy(file("card.png"), file("card.png"),
                                           file("copy") + std::string(1, '\0') + ".pdf");
         },
         velcap::Status::BadPath},
        {"a NUL in the pages' name",
         [&] { return velcap::writePages({file("card.png")}, file("nul") + std::string(1, '\0') + ".pdf", {}); },
         velcap::Status::BadPath},
        {"a searchable PDF of a huge picture",
         [&] { return velcap::makeSearchablePdf({file("huge.png")}, file("huge.pdf"), "eng"); },
         velcap::Status::NotWritten},
        {"a searchable PDF of a FIFO",
         [&] { return velcap::makeSearchablePdf({file("fifo.png")}, file("fifo.pdf"), "eng"); },
         velcap::Status::NotWritten},
        {"a NUL in the searchable PDF's name",
         [&] { return velcap::makeSearchablePdf({file("card.png")}, file("ocr") + std::string(1, '\0') + ".pdf", ""); },
         velcap::Status::BadPath},
    };
    for (const auto& c : cases) {
        velcap::Status status = velcap::Status::Ok;
        velcap::test::stdoutOf([&] { EXPECT_NO_THROW(status = c.call()) << c.what; });
        EXPECT_EQ(status, c.status) << c.what;
    }
    for (const char* name : {"copy.pdf", "a4.pdf", "copy", "nul", "ocr", "huge.pdf", "fifo.pdf"})
        EXPECT_NE(::access(file(name).c_str(), F_OK), 0) << name;
    EXPECT_EQ(velcap::mostDpi(velcap::Paper::A4), 704);
}

} // namespace
