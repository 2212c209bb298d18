// velcap scan FILE...: every code in each picture, as zbarimg prints them,
// read by the library's own reader.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "cli.h"
#include "velcap/documents.h"

namespace velcap::cli {

namespace {

// Standard input into a private file (0600, removed at exit or a signal),
// so that it is checked and read as any picture is.
std::string standardInputPicture() {
    const char* folder = std::getenv("TMPDIR");
    std::string path = std::string(folder && *folder ? folder : "/tmp") + "/velcap-scan-XXXXXX";
    const int fd = ::mkstemp(path.data());
    if (fd < 0) failed("cannot keep the picture from standard input: " + std::string(std::strerror(errno)));
    rememberTemporary(path);
    char buffer[65536];
    ssize_t n = 0;
    while ((n = ::read(STDIN_FILENO, buffer, sizeof(buffer))) > 0 || (n < 0 && errno == EINTR))
        if (n > 0 && ::write(fd, buffer, size_t(n)) != n) {
            ::close(fd);
            failed("cannot keep the picture from standard input: " + std::string(std::strerror(errno)));
        }
    ::close(fd);
    return path;
}

} // namespace

int scanFiles(const Arguments& args, bool qr, bool bar) {
    // As zbarimg: status 4 when any picture has no code.
    bool everyOne = true;
    Progress progress("pictures read", int(args.operands().size()));
    int done = 0;
    for (const std::string& operand : args.operands()) {
        const bool standardInput = operand == "-";
        const std::string path = standardInput ? standardInputPicture() : operand;
        requirePicture(path);
        const cv::Mat grey = cv::imread(path, cv::IMREAD_GRAYSCALE);
        if (standardInput) {
            ::unlink(path.c_str());
            rememberTemporary({});
        }
        if (grey.empty()) failed("cannot read picture '" + operand + "'");
        bool found = false;
        for (const velcap::Code& code :
             velcap::readCodes(grey.data, grey.cols, grey.rows, int(grey.step), velcap::CodeOptions{qr, bar, false})) {
            result(args.has("raw") ? code.text : code.type + ":" + code.text);
            found = true;
        }
        if (!found) {
            everyOne = false;
            note(std::string("no ") +
                 (qr && bar ? "code"
                  : qr      ? "QR code"
                            : "bar code") +
                 " found in '" + operand + "'");
        }
        progress.update(++done);
    }
    return everyOne ? kSuccess : kNothingFound;
}

} // namespace velcap::cli
