// Reading and writing picture files safely: only regular files are read,
// pictures above the pixel limit are refused from their header before they
// are decoded, and every write goes to a temporary file in the same folder
// that is renamed over the target only once it is complete.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "velcap/types.h"

namespace velcap {

// Whether path is a name the system takes as it is: no NUL (which would end
// it early, so that a shorter name than the one checked is written) and no
// other control character. Says why not, after caller.
bool plainPath(const std::string& path, const char* caller);

// Whether path names a regular file (not a folder, FIFO or device).
bool isRegularFile(const char* path);

// The size that a JPEG, PNG, BMP or TIFF file declares in its header; false,
// with the reason, for any other file.
bool declaredSize(const std::string& path, int& width, int& height, std::string& why);

// The resolution (dots an inch, across and down) that a JPEG, PNG or TIFF
// file records; 0 x 0 when it records none, or none a scanner would write.
cv::Point2d recordedResolution(const char* path);

// Whether a picture of this size is within the library's pixel limit.
bool withinPixelLimit(int64_t width, int64_t height);

// The picture in a file, decoded by OpenCV with these imread flags: Ok, or
// NotReadable (picture empty) after one line naming caller, the file and
// the reason. Never throws.
Status readPicture(const char* path, int flags, const char* caller, cv::Mat& picture);

// Writes image to path through a temporary file in the same folder, with the
// encoder of path's extension. An existing file at path is replaced only by
// a complete new one. Never throws; NotWritten after one line naming caller.
Status writePicture(const std::string& path, const cv::Mat& image, const std::vector<int>& parameters,
                    const char* caller);

// A new, empty file in path's folder named after it, with the same
// extension, made with the user's usual permissions; empty when none can be made.
std::string temporaryBeside(const std::string& path);

// Whether path can be replaced by a file: it does not exist or is a regular
// file (not a folder, a FIFO, or a link to a device). Says why not, after caller.
bool replaceable(const std::string& path, const char* caller);

// The temporary file of one write: made beside its target, known to
// removePartialFiles() while it lives, renamed over the target by commit()
// and removed otherwise.
class TemporaryFile {
public:
    explicit TemporaryFile(std::string target);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;

    bool valid() const { return !path_.empty(); }
    const std::string& path() const { return path_; }
    // Renames the complete file over the target; false (and removed) when that fails.
    bool commit();

private:
    void forget();
    std::string target_, path_;
    int slot_ = -1;
};

// How SaveImage writes: colour mode 0 colour, 1 grey, 2 black and white,
// others nothing; the quality of JPEG files and of PDF pages.
struct SaveOptions {
    int colorMode = 0;
    int jpegQuality = 85;
    std::string ocrLanguages; // a PDF's text layer ("chi_sim+eng"); none when empty
    bool pdfInMemory = false; // else as SetPdfCaptureInMemory says
    bool pdfA = false;        // a PDF as PDF/A-1b
};
// Ok, BadPath (no name that tells a format), NotWritten, or NothingAsked for
// a colour mode outside 0 to 2.
Status saveImage(const char* path, const cv::Mat& img, const SaveOptions& options);
// A one-page PDF of the picture (B, G, R or grey), as a capture makes it,
// with the picture's text under it when OCR languages are named: Ok,
// BadPath (no extension to replace) or NotWritten.
Status pdfCapture(const char* path, const cv::Mat& img, int jpegQuality, const std::string& ocrLanguages = {},
                  bool inMemory = false, bool pdfA = false);

// The extension of path's last name, in lower case and without the dot ("" when none).
std::string lowerExtension(const std::string& path);

// Why a file could not be written at path, in words a user acts on: the
// folder is missing or not writable, or the disk is full.
std::string whyNotWritten(const std::string& path);
// Removes the temporaries of writes still in progress; async-signal-safe.
void removeUnfinishedFiles();

// Whether two paths name the same existing file.
bool sameFile(const std::string& a, const std::string& b);

} // namespace velcap
