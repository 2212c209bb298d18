// Made-up identity cards (no real one) on made-up desks, drawn at 10 pixels
// a millimetre (254 dpi), for the tests of card copies.
#pragma once

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace velcap::test {

// A made-up card (no real one): pale ground, guilloche rings, a photo box
// or an emblem, lines of capitals, rounded corners (transparent: alpha 0).
inline cv::Mat madeUpCard(bool front) {
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
inline cv::Mat onDesk(const cv::Mat& card, cv::Scalar desk, double angle) {
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

} // namespace velcap::test
