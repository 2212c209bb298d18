// Quarter and half turns of the frame, and free-angle turns on an enlarged canvas.
#include <cmath>

#include <opencv2/imgproc.hpp>

#include "../state.h"

void CamdataRote90(cv::Mat src) {
    if (roimage.empty()) return;
    cv::transpose(src, roimage);
    cv::flip(roimage, roimage, 1);
}

void CamdataRote270(cv::Mat src) {
    if (roimage.empty()) return;
    cv::transpose(src, roimage);
    cv::flip(roimage, roimage, 0);
}

cv::Mat CamdataRote180(cv::Mat src) {
    cv::flip(src, src, 0);
    cv::flip(src, src, 1);
    return src;
}

cv::Mat rotateImage(cv::Mat src, float angle) {
    const float a = -angle; // the rotation matrix turns counter-clockwise for positive angles
    const double r = 3.141592653589793 * double(a) / 180.0;
    const double s = std::sin(r);
    const double c = std::cos(r);
    const int w = src.cols;
    const int h = src.rows;
    const int newWidth = static_cast<int>(w * std::fabs(c) + h * std::fabs(s));
    const int newHeight = static_cast<int>(w * std::fabs(s) + h * std::fabs(c));

    cv::Mat matrix;
    cv::getRotationMatrix2D(cv::Point2f(float(w / 2), float(h / 2)), double(a), 1.0).convertTo(matrix, CV_32FC1);
    matrix.at<float>(0, 2) += float((newWidth - w) / 2);
    matrix.at<float>(1, 2) += float((newHeight - h) / 2);

    cv::Mat result;
    cv::warpAffine(src, result, matrix, cv::Size(newWidth, newHeight), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(0));
    return result;
}
