// What the virtual camera sees, and the bytes of each frame it sends.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "description.h"

namespace vcam {

// The codes printed on the synthetic page.
constexpr const char* kSceneQrText = "VELCAP-VCAM-QR-0001";
constexpr const char* kSceneEan13 = "4006381333931";

// The synthetic scene at a size, R, G, B: a white page with lines of text-like
// marks, a QR code and an EAN-13 bar code, lying a few degrees tilted on a
// darker desk under slightly uneven light. A non-empty stillImage replaces it.
// page chooses the page: 0 the page above, 1 and on others with text of
// their own and their number in large figures, -1 none (an empty desk).
cv::Mat renderScene(unsigned width, unsigned height, const std::string& stillImage = {}, int page = 0);
// The upright page, drawn at its own size, R, G, B: lines of text-like marks,
// the QR code and the EAN-13 bar code. Pages other than variant 0 have text
// of their own and their number in large figures.
cv::Mat renderPage(int pageWidth, int pageHeight, int variant = 0);
// The scene's light, stronger from the top left, applied to a frame.
void light(cv::Mat& frame);

// A frame of a page swap (phase 0 to 1): a hand-like shape sweeps in, takes
// page from away, lays page to down and leaves, moving all the while.
cv::Mat renderPageSwap(unsigned width, unsigned height, int from, int to, double phase);
// The page's corners in frame pixels: top-left, top-right, bottom-right, bottom-left.
std::array<cv::Point2f, 4> scenePageCorners(unsigned width, unsigned height);
// The top rows of every frame that carry the frame counter.
unsigned counterStripHeight(unsigned height);

// The picture as the camera's controls change it, R, G, B. Each control acts
// by how far it is from its default, d = (value - default) / (maximum - minimum),
// in this order: brightness adds 128 d to every channel; contrast scales the
// distance from mid grey by value / default; saturation scales each pixel's
// distance from its grey by value / default; hue turns the hue by 180 d
// degrees; gain multiplies by 1 + d; gamma raises to the power default / value.
// Controls at their defaults, and the focus and zoom controls, change nothing.
cv::Mat adjustPicture(const cv::Mat& rgb, const std::vector<Control>& controls);
// Whether adjustPicture would change nothing.
bool picturesUnchanged(const std::vector<Control>& controls);

// Makes the frames of one format and size. The scene is rendered and encoded
// once; each frame then only redraws the counter strip, so that the camera is
// never the bottleneck of a measurement.
class FrameSource {
public:
    FrameSource(uint32_t fourcc, unsigned width, unsigned height, const std::string& stillImage, MjpegStyle style = {});
    // Frames of this scene (R, G, B) instead of the rendered one.
    FrameSource(uint32_t fourcc, cv::Mat scene, MjpegStyle style = {});
    ~FrameSource();
    FrameSource(const FrameSource&) = delete;
    FrameSource& operator=(const FrameSource&) = delete;

    const cv::Mat& scene() const { return scene_; }
    // The largest frame this source makes.
    size_t maxBytes() const;
    // Writes frame number counter into out (capacity bytes); returns the bytes written.
    size_t render(uint64_t counter, uint8_t* out, size_t capacity);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    cv::Mat scene_;
};

// The frames of the pages statement: count different pages, each lying still
// for seconds, and between two of them a swap of kPageSwapSeconds in which a
// hand-like shape sweeps across while the page is changed. The last page stays.
constexpr double kPageSwapSeconds = 1.5;
class PageShow {
public:
    // A book look leafs through its book: each page a new spread.
    PageShow(uint32_t fourcc, unsigned width, unsigned height, int count, double seconds, MjpegStyle style = {},
             const DeskLook& look = {});
    ~PageShow();
    PageShow(const PageShow&) = delete;
    PageShow& operator=(const PageShow&) = delete;

    // The page lying still at a time of the show (0 for the first), or -1 - i
    // while page i is being swapped for the next (phase then tells how far, 0 to 1).
    static int pageAt(double seconds, int count, double stillSeconds, double* phase = nullptr);
    size_t maxBytes() const;
    // Writes frame number frame of a camera running at rate frames a second.
    size_t render(uint64_t frame, double rate, uint8_t* out, size_t capacity);

private:
    uint32_t fourcc_;
    unsigned width_, height_;
    int count_;
    double seconds_;
    MjpegStyle style_;
    std::vector<std::unique_ptr<FrameSource>> pages_;
    std::vector<cv::Mat> spreads_; // a book's, R, G, B: the hand is drawn over them
};

// A cached source per (format, size, still image, desk), shared by all devices.
std::shared_ptr<FrameSource> frameSource(uint32_t fourcc, unsigned width, unsigned height,
                                         const std::string& stillImage, MjpegStyle style = {},
                                         const DeskLook& look = {});

// A JPEG of an R, G, B picture as the virtual camera encodes its frames: quality
// 90, the standard Huffman tables, restart intervals every stripRows rows (a
// multiple of 16; 0 for none).
std::vector<uint8_t> encodeJpeg(const cv::Mat& rgb, unsigned stripRows, MjpegStyle style = {});

// RGB to YUYV with the inverse of the receiving library's coefficients.
void rgbToYuyv(const uint8_t* rgb, uint8_t* yuyv, size_t pixels);

} // namespace vcam
