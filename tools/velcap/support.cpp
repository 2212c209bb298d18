// The command line's parts shared by every command: arguments, output, file checks.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <opencv2/imgcodecs.hpp>

#include "cli.h"
#include "velcap.h"

namespace velcap::cli {

namespace {

FILE* resultStream = stdout;

// The terminal's standard error, kept before descriptors 1 and 2 are taken
// over: every message, progress line and shown library line goes there.
int messageFd = STDERR_FILENO;

// The last byte that reached standard error, so that a message never starts
// in the middle of a library line (several end without a line end).
// The stream thread prints too, hence atomics.
std::atomic<char> lastByte{'\n'};
// Whether the progress line is the open line on standard error.
std::atomic<bool> progressOnLine{false};

Verbosity verbosity = Verbosity::normal;

// What the image libraries write to descriptor 2 (libjpeg's warnings) comes
// through this pipe; a thread passes it on unless quiet.
int pipeRead = -1;
std::thread pipeReader;

// The progress line gives way to the lines that come, and is drawn again below them.
void clearProgress() {
    (void)!::write(messageFd, "\r\033[K", 4);
}

void writeMessage(const char* data, size_t size) {
    if (progressOnLine.exchange(false)) clearProgress();
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(messageFd, data + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += size_t(n);
    }
    if (size > 0) lastByte = data[size - 1];
}

// The library's own lines: progress and tracing, shown with --verbose.
void librarySink(const char* text) {
    if (verbosity == Verbosity::verbose) writeMessage(text, std::strlen(text));
}

// velcap's own temporary file (a picture on its way to standard output), for
// the signal handler: a fixed buffer and a lock-free flag.
char temporaryName[PATH_MAX];
std::atomic<bool> temporaryNamed{false};

} // namespace

void rememberTemporary(const std::string& path) {
    temporaryNamed = false;
    if (path.empty() || path.size() >= sizeof(temporaryName)) return;
    std::memcpy(temporaryName, path.c_str(), path.size() + 1);
    temporaryNamed = true;
}

void removeTemporaries() {
    removePartialFiles();
    if (temporaryNamed) ::unlink(temporaryName);
}

void endLine() {
    std::fflush(stdout);
    std::fflush(stderr);
    if (lastByte.exchange('\n') != '\n' || progressOnLine.exchange(false)) writeMessage("\n", 1);
}

void openStandardDescriptors() {
    // A program started with 0, 1 or 2 closed would have its first file take
    // that number, and its messages would land in that file.
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
    }
}

bool takeOverStandardStreams(Verbosity level) {
    verbosity = level;
    const int kept = ::dup(STDOUT_FILENO);
    messageFd = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
    int ends[2];
    if (kept < 0 || messageFd < 0 || ::pipe2(ends, O_CLOEXEC) != 0) return false;
    ::fcntl(kept, F_SETFD, FD_CLOEXEC);
    FILE* results = ::fdopen(kept, "w");
    if (!results) return false;
    std::fflush(stdout);
    std::fflush(stderr);
    // Descriptors 1 and 2 now lead into the pipe: whatever a library writes
    // there is a message, never a result.
    if (::dup2(ends[1], STDOUT_FILENO) < 0 || ::dup2(ends[1], STDERR_FILENO) < 0) return false;
    ::close(ends[1]);
    pipeRead = ends[0];
    pipeReader = std::thread([] {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(pipeRead, buffer, sizeof(buffer))) != 0) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            if (verbosity != Verbosity::quiet) writeMessage(buffer, size_t(n));
        }
    });
    // stderr stays on descriptor 2: the image libraries print through it.
    // velcap's own messages go to messageFd (writeMessage).
    std::setvbuf(stderr, nullptr, _IOLBF, 0);
    resultStream = results;
    SetLogSink(librarySink);
    return true;
}

void releaseStandardStreams() {
    SetLogSink(nullptr);
    std::fflush(stdout);
    // The last writers of the pipe close; its reader passes on what is left.
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (devNull >= 0) {
        ::dup2(devNull, STDOUT_FILENO);
        ::dup2(devNull, STDERR_FILENO);
        ::close(devNull);
    }
    if (pipeReader.joinable()) pipeReader.join();
}

bool resultsReachedTheirReader() {
    return std::fflush(resultStream) == 0 && !std::ferror(resultStream);
}

void message(const char* text) {
    writeMessage(text, std::strlen(text));
}

FILE* results() {
    return resultStream;
}

void result(const std::string& line) {
    if (progressOnLine.exchange(false)) clearProgress();
    std::fprintf(resultStream, "%s\n", line.c_str());
    std::fflush(resultStream);
}

void complain(const std::string& text) {
    endLine();
    const std::string line = "velcap: " + text + "\n";
    writeMessage(line.data(), line.size());
}

void note(const std::string& text) {
    if (verbosity != Verbosity::quiet) complain(text);
}

Progress::Progress(const char* what, int total) : what_(what), total_(total), shown_(::isatty(messageFd) == 1) {}

Progress::~Progress() {
    if (shown_) endLine();
}

void Progress::update(int done) {
    if (!shown_) return;
    char line[160];
    if (total_ > 0)
        std::snprintf(line, sizeof(line), "\rvelcap: %s %d/%d", what_, done, total_);
    else
        std::snprintf(line, sizeof(line), "\rvelcap: %s %d", what_, done);
    show(line);
}

void Progress::show(const std::string& text) {
    if (!shown_) return;
    // Redrawn in place unless a library line came in between; the progress
    // line itself is no open line of text (lastByte stays as it was).
    if (lastByte.exchange('\n') != '\n') writeMessage("\n", 1);
    progressOnLine = false;
    // Drawn over the last one, which is cleared first: a shorter text leaves nothing behind.
    const std::string line = "\r\033[K" + (text.empty() || text[0] != '\r' ? text : text.substr(1));
    writeMessage(line.data(), line.size());
    lastByte = '\n';
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
    expectOperands(operands_, minimum, maximum, synopsis);
}

void Arguments::expectOperands(const std::vector<std::string>& operands, size_t minimum, size_t maximum,
                               const char* synopsis) const {
    if (operands.size() < minimum || operands.size() > maximum)
        usageError(std::string(operands.size() < minimum ? "too few" : "too many") + " operands; usage: velcap " +
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
    int width = 0, height = 0;
    const int header = GetPictureFileSize(path.c_str(), &width, &height);
    if (header == 0) {
        // Refused from the header: decoding a huge picture costs gigabytes first.
        if (int64_t(width) * height > VELCAP_MAX_PICTURE_PIXELS || width <= 0 || height <= 0)
            failed("picture '" + path + "' is too large (" + sizeText(width, height) + "; at most " +
                   std::to_string(VELCAP_MAX_PICTURE_PIXELS) + " pixels)");
        return;
    }
    const std::string extension = extensionOf(path);
    for (const char* known : {"jpg", "jpeg", "png", "bmp", "tif", "tiff"})
        if (extension == known) failed("cannot read picture '" + path + "': a damaged picture header");
    bool readable = false;
    try {
        readable = cv::haveImageReader(path);
    } catch (const cv::Exception&) {
    }
    if (!readable) failed("cannot read picture '" + path + "': not a picture file");
}

void requireWritable(const std::string& path, bool noClobber) {
    if (path.empty()) usageError("an empty output path");
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) failed("cannot write '" + path + "': it is a folder");
        // A FIFO or a link to a device would be replaced by a regular file.
        if (!S_ISREG(info.st_mode)) failed("cannot write '" + path + "': it exists and is not a regular file");
        if (noClobber) failed("'" + path + "' exists; not replaced (--no-clobber)");
    } else if (::lstat(path.c_str(), &info) == 0) {
        failed("cannot write '" + path + "': a link to nothing");
    }
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (::stat(folder.c_str(), &info) != 0) failed("cannot write '" + path + "': " + std::strerror(errno));
    if (!S_ISDIR(info.st_mode)) failed("cannot write '" + path + "': '" + folder + "' is not a folder");
    if (::access(folder.c_str(), W_OK) != 0) failed("cannot write '" + path + "': " + std::strerror(errno));
}

std::string ocrLanguages(const Arguments& args, std::vector<std::string>& operands) {
    if (!args.has("ocr")) return {};
    std::string languages = args.value("ocr");
    // "--ocr chi_sim out.pdf": a word of model names that is no file name.
    if (languages.empty() && operands.size() > 1 &&
        operands[0].find_first_not_of("abcdefghijklmnopqrstuvwxyz_+") == std::string::npos) {
        languages = operands[0];
        operands.erase(operands.begin());
    }
    if (languages.empty()) languages = "chi_sim+eng";
    if (SetOcrLanguages(languages.c_str()) != 0)
        usageError("--ocr: Tesseract has no model for '" + languages +
                   "' (Debian: tesseract-ocr-chi-sim, tesseract-ocr-eng, ...)");
    return languages;
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
