// velcap scan FILE...: every code in each picture, as zbarimg prints them,
// read by the library's own reader.
#include <opencv2/imgcodecs.hpp>

#include "cli.h"
#include "velcap/documents.h"

namespace velcap::cli {

int scanFiles(const Arguments& args, bool qr, bool bar) {
    bool found = false;
    Progress progress("pictures read", int(args.operands().size()));
    int done = 0;
    for (const std::string& path : args.operands()) {
        requirePicture(path);
        const cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (grey.empty()) failed("cannot read picture '" + path + "'");
        for (const velcap::Code& code :
             velcap::readCodes(grey.data, grey.cols, grey.rows, int(grey.step), velcap::CodeOptions{qr, bar, false})) {
            result(args.has("raw") ? code.text : code.type + ":" + code.text);
            found = true;
        }
        progress.update(++done);
    }
    if (!found) {
        note(std::string("no ") + (qr && bar ? "code" : qr ? "QR code" : "bar code") + " found");
        return kNothingFound;
    }
    return kSuccess;
}

} // namespace velcap::cli
