// The recognition functions' shared steps, for the enhanced recognition.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "../velcap.h"

namespace velcap {

// One zbar scan of a continuous 8-bit grey image: the text of the first
// symbol of the asked kind (type 0 any bar code, any other type a QR code), a
// QR code's text in UTF-8. found tells whether zbar saw any symbol at all.
VELCAP_EXPORT std::string zbarScan(const cv::Mat& grey, int type, bool& found);

// One zxing-cpp read (try-harder, rotations) of a continuous 8-bit grey
// image, with the kinds and the texts of zbarScan.
VELCAP_EXPORT std::string zxingRead(const cv::Mat& grey, int type);

// A code read from a picture: its kind as zbar names it ("QR-Code",
// "EAN-13", "CODE-128", ...) and its text, a QR code's in UTF-8.
struct Code {
    std::string type, text;
};

// Every code of the asked kinds in a grey picture, as zbarimg lists them:
// zbar first, zxing-cpp where zbar finds nothing. QR texts go through the
// same reading of their bytes as the camera's recognition, so that both
// agree (GB18030 Chinese included).
VELCAP_EXPORT std::vector<Code> readCodes(const cv::Mat& grey, bool qr, bool bar);

// The QR text in UTF-8 from the code's bytes.
std::string qrText(const std::string& bytes);

// SetRecogEnhanced's value: 1 while the enhanced recognition is on.
extern VELCAP_EXPORT std::atomic<int> recogEnhanced;

// The enhanced recognition of a grey image: a plain scan, the binarisation
// chain, then zxing-cpp and the pictures that help it, in that order, to the
// first text of the asked kind. Empty when nothing of that kind is read.
// plainScanned skips the plain scan a caller has made; step, when given, is
// set to the name of the attempt that read the text.
VELCAP_EXPORT std::string enhancedRecognition(const cv::Mat& grey, int type, bool plainScanned = false,
                                              std::string* step = nullptr);

} // namespace velcap
