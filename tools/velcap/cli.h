// velcap, the command-line tool: what its commands share.
#pragma once

#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace velcap::cli {

// Exit statuses, as --help and the manual page give them.
enum Exit { kSuccess = 0, kFailed = 1, kUsage = 2, kNoCamera = 3, kNothingFound = 4 };

// A failure that ends the command with a one-line message on standard error.
struct Failure : std::runtime_error {
    Failure(Exit status, const std::string& message) : std::runtime_error(message), status(status) {}
    Exit status;
};
[[noreturn]] inline void usageError(const std::string& message) {
    throw Failure(kUsage, message);
}
[[noreturn]] inline void failed(const std::string& message) {
    throw Failure(kFailed, message);
}

// How much reaches standard error beside velcap's own messages: quiet
// nothing; normal the image libraries' warnings; verbose also the library's lines.
enum class Verbosity { quiet, normal, verbose };

// Opens /dev/null onto any of descriptors 0 to 2 that are closed.
void openStandardDescriptors();
// The results of a command (paths, decoded text, JSON, pictures). Standard
// output is kept for them alone: the library's own lines and what the image
// libraries write to descriptors 1 and 2 become messages, shown by level.
FILE* results();
bool takeOverStandardStreams(Verbosity level);
// Passes on the last messages; called once, before the program ends.
void releaseStandardStreams();
// Whether every result written reached standard output (not a full disk).
bool resultsReachedTheirReader();
// velcap's own temporary file, removed by removeTemporaries (empty: none).
void rememberTemporary(const std::string& path);
// Removes the partial files of writes in progress; async-signal-safe.
void removeTemporaries();
// Text on standard error as it is.
void message(const char* text);
// A result line, written at once so that a script reading a pipe sees each as it comes.
void result(const std::string& line);
// Ends the open line on standard error, if any.
void endLine();
// One line on standard error, after "velcap": complain always (errors),
// note unless --quiet.
void complain(const std::string& message);
void note(const std::string& message);

// A progress line on standard error, redrawn in place; only on a terminal.
class Progress {
public:
    Progress(const char* what, int total);
    ~Progress();
    void update(int done);
    // Any text as the progress line ("\r" first to redraw it).
    void show(const std::string& text);

private:
    const char* what_;
    int total_;
    bool shown_;
};

// The command line of one command: its options (with or without a value) and
// its operands, in order. Options are written --name, --name VALUE or --name=VALUE.
class Arguments {
public:
    // flags take no value (those listed as "name=" may take one after '='), valued
    // take one; anything else starting with '-' is refused.
    Arguments(const char* command, const std::vector<std::string>& words, const std::vector<std::string>& flags,
              const std::vector<std::string>& valued);

    bool has(const std::string& option) const { return values_.count(option) != 0; }
    std::string value(const std::string& option, const std::string& fallback = {}) const;
    // A whole number in [minimum, maximum], or a usage error naming the option and the value.
    int integer(const std::string& option, int fallback, int minimum, int maximum) const;
    double seconds(const std::string& option, double fallback) const;
    const std::vector<std::string>& operands() const { return operands_; }
    // A usage error unless there are between minimum and maximum operands.
    void expectOperands(size_t minimum, size_t maximum, const char* synopsis) const;
    // The same for operands that a command took some words from.
    void expectOperands(const std::vector<std::string>& operands, size_t minimum, size_t maximum,
                        const char* synopsis) const;

private:
    const char* command_;
    std::map<std::string, std::string> values_;
    std::vector<std::string> operands_;
};

// "WxH" as two positive numbers; false for anything else.
bool parseSize(const std::string& text, int& width, int& height);
std::string sizeText(int width, int height);

// File checks made before anything is done, so that bad input costs nothing.
// A picture file that exists, is a regular readable file, that an image
// decoder recognises, and whose header declares a size within the pixel limit.
void requirePicture(const std::string& path);
// A path whose folder exists and is writable, and that is nothing but a
// regular file (with noClobber: nothing at all).
void requireWritable(const std::string& path, bool noClobber = false);
// The lower-case extension of path, without the dot ("" when it has none).
std::string extensionOf(const std::string& path);

// The languages of --ocr (chi_sim+eng), --ocr=LANGS or --ocr LANGS, taken
// then from the front of operands; "" without --ocr. A usage error when
// Tesseract has no model for one of them.
std::string ocrLanguages(const Arguments& args, std::vector<std::string>& operands);

// Whether --paper, --fit, --dpi or --max-size was given; the page options
// they ask for (usage errors for bad values). --bw asks for black and white.
bool wantsPageOptions(const Arguments& args);
struct PageChoice {
    int paper = 0; // 0 none, 1 A4, 2 A5, 3 Letter (velcap::Paper's order)
    bool fit = false;
    int dpi = 0;
    long maxBytes = 0;
    bool blackAndWhite = false;
    int quality = 90;
    std::string ocrLanguages; // a PDF's text layer, read page by page with progress shown
    bool pdfA = false;
};
// onA4: the page is A4 whatever --paper says (the card copy).
PageChoice pageChoice(const Arguments& args, bool onA4 = false);
// Writes the pictures to out with the choice; throws Failure when not written.
void writeWithChoice(const std::vector<std::string>& pictures, const std::string& out, const PageChoice& choice);

// The commands; each returns an exit status or throws Failure.
int listCameras(const Arguments& args);
int captureCommand(const Arguments& args);
int scanCommand(const Arguments& args);
// scan with picture files: every code of the asked kinds in each.
int scanFiles(const Arguments& args, bool qr, bool bar);
int autoCommand(const Arguments& args);
int pdfCommand(const Arguments& args);
int mergeCommand(const Arguments& args);
int cleanCommand(const Arguments& args);
int controlsCommand(const Arguments& args);
int idcardCommand(const Arguments& args);
int bookCommand(const Arguments& args);

} // namespace velcap::cli
