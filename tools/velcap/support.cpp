// The command line's parts shared by every command: arguments, output, file checks.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "cli.h"

namespace velcap::cli {

namespace {

FILE* resultStream = stdout;

// The last byte that reached standard error, so that a message never starts
// in the middle of a library line (several end without a line end).
// The stream thread prints too, hence atomics.
std::atomic<char> lastByte{'\n'};
// Whether the progress line is the open line on standard error.
std::atomic<bool> progressOnLine{false};

bool quietLibrary = false;

// The progress line gives way to the lines that come, and is drawn again below them.
void clearProgress() {
    (void)!::write(STDERR_FILENO, "\r\033[K", 4);
}

ssize_t writeToStandardError(void*, const char* data, size_t size) {
    if (quietLibrary) return ssize_t(size);
    if (progressOnLine.exchange(false)) clearProgress();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(STDERR_FILENO, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return done > 0 ? ssize_t(done) : -1;
        done += size_t(n);
    }
    if (size > 0) lastByte = data[size - 1];
    return ssize_t(size);
}

} // namespace

void endLine() {
    std::fflush(stdout);
    if (lastByte.exchange('\n') != '\n' || progressOnLine.exchange(false)) std::fputc('\n', stderr);
}

bool keepStandardOutputForResults(bool quiet) {
    quietLibrary = quiet;
    const int kept = ::dup(STDOUT_FILENO);
    if (kept < 0) return false;
    FILE* results = ::fdopen(kept, "w");
    // The library writes its lines through stdout; they go to standard error,
    // line by line. Anything written to the descriptor itself goes there too.
    FILE* diagnostics = ::fopencookie(nullptr, "w", {nullptr, writeToStandardError, nullptr, nullptr});
    if (!results || !diagnostics || ::dup2(STDERR_FILENO, STDOUT_FILENO) < 0) return false;
    std::setvbuf(diagnostics, nullptr, _IOLBF, 0);
    std::fflush(stdout);
    stdout = diagnostics;
    resultStream = results;
    return true;
}

FILE* results() {
    return resultStream;
}

void result(const std::string& line) {
    if (progressOnLine.exchange(false)) clearProgress();
    std::fprintf(resultStream, "%s\n", line.c_str());
    std::fflush(resultStream);
}

void note(const std::string& message) {
    endLine();
    std::fprintf(stderr, "velcap: %s\n", message.c_str());
}

Progress::Progress(const char* what, int total) : what_(what), total_(total), shown_(::isatty(STDERR_FILENO) == 1) {}

Progress::~Progress() {
    if (shown_) endLine();
}

void Progress::update(int done) {
    if (!shown_) return;
    std::fflush(stdout);
    // Redrawn in place unless a library line came in between.
    if (lastByte.exchange('\n') != '\n') std::fputc('\n', stderr);
    std::fprintf(stderr, "\rvelcap: %s %d/%d", what_, done, total_);
    std::fflush(stderr);
    progressOnLine = true;
}

Arguments::Arguments(const char* command, const std::vector<std::string>& words, const std::vector<std::string>& flags,
                     const std::vector<std::string>& valued)
    : command_(command) {
    auto known = [](const std::vector<std::string>& names, const std::string& name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    bool onlyOperands = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (onlyOperands || word.size() < 2 || word[0] != '-') {
            operands_.push_back(word);
            continue;
        }
        if (word == "--") {
            onlyOperands = true;
            continue;
        }
        const size_t equals = word.find('=');
        const std::string name = word.substr(word[1] == '-' ? 2 : 1, equals == std::string::npos ? equals : equals - 2);
        // A flag listed as "name=" may also be given a value after '='.
        const bool flag = known(flags, name) || known(flags, name + "=");
        if (word[1] != '-' || (!flag && !known(valued, name)))
            usageError(std::string("unknown option '") + word + "' for " + command_ + " (velcap --help lists them)");
        if (flag) {
            if (equals != std::string::npos && !known(flags, name + "="))
                usageError("option --" + name + " takes no value ('" + word + "')");
            values_[name] = equals == std::string::npos ? "" : word.substr(equals + 1);
        } else if (equals != std::string::npos) {
            values_[name] = word.substr(equals + 1);
        } else {
            if (i + 1 >= words.size()) usageError("option --" + name + " needs a value");
            values_[name] = words[++i];
        }
    }
}

std::string Arguments::value(const std::string& option, const std::string& fallback) const {
    auto found = values_.find(option);
    return found == values_.end() ? fallback : found->second;
}

int Arguments::integer(const std::string& option, int fallback, int minimum, int maximum) const {
    if (!has(option)) return fallback;
    const std::string text = value(option);
    errno = 0;
    char* end = nullptr;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || number < minimum || number > maximum)
        usageError("--" + option + " takes a whole number from " + std::to_string(minimum) + " to " +
                   std::to_string(maximum) + ", not '" + text + "'");
    return int(number);
}

double Arguments::seconds(const std::string& option, double fallback) const {
    if (!has(option)) return fallback;
    const std::string text = value(option);
    char* end = nullptr;
    const double number = std::strtod(text.c_str(), &end);
    // A day at most: a longer wait is a typing error.
    if (text.empty() || *end != '\0' || !std::isfinite(number) || number < 0 || number > 86400)
        usageError("--" + option + " takes seconds from 0 to 86400, not '" + text + "'");
    return number;
}

void Arguments::expectOperands(size_t minimum, size_t maximum, const char* synopsis) const {
    if (operands_.size() < minimum || operands_.size() > maximum)
        usageError(std::string(operands_.size() < minimum ? "too few" : "too many") + " operands; usage: velcap " +
                   synopsis);
}

bool parseSize(const std::string& text, int& width, int& height) {
    char x = 0;
    char rest = 0;
    width = height = 0;
    return std::sscanf(text.c_str(), "%d%c%d%c", &width, &x, &height, &rest) == 3 && (x == 'x' || x == 'X') &&
           width > 0 && height > 0 && width <= 65535 && height <= 65535;
}

std::string sizeText(int width, int height) {
    return std::to_string(width) + "x" + std::to_string(height);
}

void requirePicture(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) failed("cannot read picture '" + path + "': " + std::strerror(errno));
    if (!S_ISREG(info.st_mode)) failed("cannot read picture '" + path + "': not a regular file");
    if (::access(path.c_str(), R_OK) != 0) failed("cannot read picture '" + path + "': " + std::strerror(errno));
    bool known = false;
    try {
        known = cv::haveImageReader(path);
    } catch (const cv::Exception&) {
    }
    if (!known) failed("cannot read picture '" + path + "': not a picture file");
}

void requireWritable(const std::string& path) {
    if (path.empty()) usageError("an empty output path");
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode))
        failed("cannot write '" + path + "': it is a folder");
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::stat(folder.c_str(), &info) != 0) failed("cannot write '" + path + "': " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) failed("cannot write '" + path + "': '" + folder + "' is not a folder");
    if (::access(folder.c_str(), W_OK) != 0) failed("cannot write '" + path + "': " + std::strerror(errno));
}

std::string extensionOf(const std::string& path) {
    const size_t dot = path.rfind('.');
    const size_t slash = path.rfind('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    return extension;
}

} // namespace velcap::cli
