// Documents made of picture files, for hosts of the object interface.
#include <list>
#include <unistd.h>

#include "files/pdf_document.h"
#include "files/picture_file.h"
#include "log.h"
#include "ocr/recognise.h"
#include "velcap/camera.h"

namespace velcap {

Status makeSearchablePdf(const std::vector<std::string>& pictures, const std::string& pdfPath,
                         const std::string& languages, const std::function<void(int, int)>& progress, bool pdfA) {
    if (pictures.empty() || pdfPath.empty() || !plainPath(pdfPath, "MakeSearchablePdf")) return Status::BadPath;
    std::string why;
    if (!languages.empty() && !ocr::available(languages, &why)) {
        logWarning(Category::Pdf, "MakeSearchablePdf: %s; %s is not written\n", why.c_str(), pdfPath.c_str());
        return Status::NotWritten;
    }
    // The readers' checks, from the header and before anything is decoded:
    // a FIFO would block, a huge picture cost gigabytes before its refusal.
    for (const std::string& name : pictures) {
        int width = 0, height = 0;
        std::string why;
        if (!isRegularFile(name.c_str()) || ::access(name.c_str(), R_OK) != 0) {
            logWarning(Category::Pdf, "MakeSearchablePdf: %s is not a readable regular file; %s is not written\n",
                       name.c_str(), pdfPath.c_str());
            return Status::NotWritten;
        }
        if (!declaredSize(name, width, height, why) || !withinPixelLimit(width, height)) {
            logWarning(Category::Pdf, "MakeSearchablePdf: %s: %s; %s is not written\n", name.c_str(),
                       why.empty() ? ("a picture of " + std::to_string(width) + "x" + std::to_string(height) +
                                      " is over the pixel limit")
                                         .c_str()
                                   : why.c_str(),
                       pdfPath.c_str());
            return Status::NotWritten;
        }
    }
    const std::list<std::string> queued(pictures.begin(), pictures.end());
    return combineToPdf(queued, pdfPath.c_str(), false, languages, progress, pdfA) == Status::Ok ? Status::Ok
                                                                                                 : Status::NotWritten;
}

} // namespace velcap
