// Office copies on made-up cards and pages: identity cards found on dark,
// light and white desks at any angle, and put at true size on A4; the
// resolution recorded in the files; file-size budgets with readable codes.
#include <cmath>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "code_images.h"
#include "imaging/card.h"
#include "support/capture_test.h"
#include "support/shell.h"
#include "velcap/camera.h"

namespace {

constexpr int kPixelsPerMm = 10; // the made-up card is drawn at 254 dpi

// A made-up card (no real one): pale ground, guilloche rings, a photo box
// or an emblem, lines of capitals, rounded corners (transparent: alpha 0).
cv::Mat madeUpCard(bool front) {
    cv::Mat card(540, 856, CV_8UC3);
    for (int y = 0; y < card.rows; ++y)
        for (int x = 0; x < card.cols; ++x)
            card.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(236 - y / 30), uchar(226 - x / 60), uchar(205 + x / 50));
    for (int r = 40; r < 700; r += 24) cv::circle(card, {front ? 300 : 600, 270}, r, {214, 196, 176}, 2);
    if (front)
        cv::rectangle(card, {610, 90}, {800, 400}, {150, 150, 160}, cv::FILLED);
    else
        cv::circle(card, {150, 150}, 90, {40, 40, 200}, cv::FILLED);
    const char* lines[] = {front ? "NAME  LI MING" : "VALID 2020.01.01-2040.01.01",
                           front ? "BORN  1990 01 01" : "AUTHORITY  SAMPLE CITY",
                           front ? "ADDRESS  1 SAMPLE ROAD" : "NOT A REAL CARD"};
    for (int i = 0; i < 3; ++i)
        cv::putText(card, lines[i], {front ? 60 : 300, 130 + 90 * i}, cv::FONT_HERSHEY_SIMPLEX, 1.1, {60, 50, 40}, 2);
    cv::putText(card, "110101199001011234", {60, 480}, cv::FONT_HERSHEY_SIMPLEX, 1.3, {30, 30, 30}, 3);
    return card;
}

// The card on a desk of this colour, turned by angle degrees, in mild perspective.
cv::Mat onDesk(const cv::Mat& card, cv::Scalar desk, double angle) {
    cv::Mat picture(1200, 1600, CV_8UC3, desk), noise(picture.size(), CV_8UC3);
    cv::randn(noise, 0, 6);
    picture += noise;
    const double a = angle * CV_PI / 180, scale = 0.7;
    const cv::Point2f centre(800, 600);
    std::vector<cv::Point2f> from = {{0, 0}, {856, 0}, {856, 540}, {0, 540}}, to;
    for (const cv::Point2f& p : from) {
        const cv::Point2f d = (p - cv::Point2f(428, 270)) * float(scale);
        to.push_back(centre + cv::Point2f(float(d.x * std::cos(a) - d.y * std::sin(a)),
                                          float(d.x * std::sin(a) + d.y * std::cos(a))));
    }
    to[2] += cv::Point2f(8, 6); // the stand's camera is not quite above it
    const cv::Mat h = cv::getPerspectiveTransform(from, to);
    cv::Mat rounded(card.size(), CV_8U, cv::Scalar(0)), warped, mask;
    cv::rectangle(rounded, cv::Rect(30, 0, 796, 540), 255, cv::FILLED);
    cv::rectangle(rounded, cv::Rect(0, 30, 856, 480), 255, cv::FILLED);
    for (cv::Point c : {cv::Point(30, 30), cv::Point(826, 30), cv::Point(826, 510), cv::Point(30, 510)})
        cv::circle(rounded, c, 30, 255, cv::FILLED);
    cv::warpPerspective(card, warped, h, picture.size());
    cv::warpPerspective(rounded, mask, h, picture.size());
    warped.copyTo(picture, mask > 128);
    return picture;
}

double meanDifference(const cv::Mat& a, const cv::Mat& b) {
    cv::Mat diff;
    cv::absdiff(a, b, diff);
    const cv::Scalar m = cv::mean(diff);
    return (m[0] + m[1] + m[2]) / 3;
}

class Office : public velcap::test::CaptureTest {};

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
}

} // namespace
