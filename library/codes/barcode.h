// Bar codes and QR codes: the recognition's chain, the enhanced recognition and the reader of every code.
#pragma once

#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "../velcap/documents.h"

namespace velcap {

// One zbar scan of a continuous 8-bit grey image: the text of the first
// symbol of the asked kind (type 0 any bar code, any other type a QR code), a
// QR code's text in UTF-8. found tells whether zbar saw any symbol at all.
std::string zbarScan(const cv::Mat& grey, int type, bool& found);

// One zxing-cpp read (try-harder, rotations) of a continuous 8-bit grey
// image, with the kinds and the texts of zbarScan.
std::string zxingRead(const cv::Mat& grey, int type);

// Every code of the asked kinds in a grey picture, as zbarimg lists them:
// zbar first, zxing-cpp where zbar finds nothing, then (when asked) the
// enhanced recognition. QR texts go through the same reading of their bytes
// as the camera's recognition, so that all agree (GB18030 Chinese included).
std::vector<Code> readCodes(const cv::Mat& grey, const CodeOptions& options);

// The QR text in UTF-8 from the code's bytes.
std::string qrText(const std::string& bytes);

// The recognition's chain, type 0 for a bar code and any other for a QR
// code; each gives the text of the first symbol of the kind, or empty.
// One scan of a grey image ("No BarQrCode!!" when zbar sees no symbol at
// all); caller names the stage in the message about a picture of the wrong
// kind.
std::string scanGrey(const cv::Mat& grey, int type, const char* caller = "scanGrey");
// A black-and-white image, then its 3 x 3 opening.
std::string scanBinary(const cv::Mat& bw, int type, const char* caller = "scanBinary");
// Otsu's, the adaptive and swept thresholds of a grey image.
std::string scanChain(const cv::Mat& grey, int type, const char* caller = "scanChain");
// All of it on an R, G, B frame, between the recognition's start and end
// lines; with enhanced, the enhanced recognition in place of the chain.
std::string recogniseFrame(const cv::Mat& frame, int type, bool enhanced);
// One scan of a picture file (and the enhanced recognition after it, when
// asked), with the file recognition's lines: the text, kept in text, or
// null for an unreadable file or one without any code.
const char* readFileCode(const char* path, int type, bool enhanced, std::string& text);

// The enhanced recognition of a grey image: a plain scan, the binarisation
// chain, then zxing-cpp and the pictures that help it, in that order, to the
// first text of the asked kind. Empty when nothing of that kind is read.
// plainScanned skips the plain scan a caller has made; step, when given, is
// set to the name of the attempt that read the text.
std::string enhancedRecognition(const cv::Mat& grey, int type, bool plainScanned = false, std::string* step = nullptr);

} // namespace velcap
