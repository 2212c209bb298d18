// velcap: drives the document camera library from scripts and terminals.
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "cli.h"
#include "velcap.h"

#ifndef VELCAP_VERSION
#define VELCAP_VERSION "unknown"
#endif

using namespace velcap::cli;

namespace {

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    std::vector<std::string> flags;
    std::vector<std::string> valued;
    const char* usage; // the command's part of --help
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"list",
         listCameras,
         {"json"},
         {},
         R"(  list [--json]
      Each camera: index, device node, name, MJPEG and YUYV sizes, serial and
      USB port (two of a model are told apart by them).
)"},
        {"capture",
         captureCommand,
         {"yuyv", "crop=", "whiten", "black-edge", "grey", "bw", "no-clobber", "ocr=", "fit", "pdfa", "on-button",
          "book"},
         {"camera", "device", "size", "rotate", "quality", "count", "interval", "format", "paper", "dpi", "max-size"},
         R"(  capture [-d NODE|--camera N] [--size WxH] [--yuyv] [--crop[=quad]] [--whiten]
          [--black-edge] [--grey|--bw] [--rotate 0-3] [--quality Q] [-n]
          [--count N --interval SECONDS] [--format EXT] [--ocr [LANGS]] [--pdfa]
          [--paper a4|a5|letter [--fit]] [--dpi N] [--max-size SIZE] [--on-button] [--book] FILE
      Photographs the page into FILE, in the format of its extension (.jpg,
      .jpeg, .png, .bmp, .tif, .tiff or .pdf), at the largest size the camera
      offers unless --size is given. FILE - writes the picture to standard
      output, in the format of --format (jpg unless given). --crop waits for
      the page and crops to it; --crop=quad also straightens its perspective;
      with no page found, nothing is written. --count N writes N files,
      FILE's stem numbered -001, -002 ..., --interval seconds apart. --ocr
      (FILE .pdf) lays the page's text under the picture, read by Tesseract in
      LANGS (chi_sim+eng unless given): the PDF can be searched and copied from;
      it goes with every option below. --pdfa writes the PDF as PDF/A-1b.
      --paper puts the photograph on paper of that size, at its true size by
      --dpi or fitted (--fit); --dpi records the resolution in the file;
      --max-size 150k lowers the JPEG quality (a PDF's pictures also down to
      200 dpi) until the file fits; with --bw, TIFF and PDF are CCITT G4.
      --on-button waits for a press of the camera's own button before each
      photograph. --book photographs an open book and writes its pages as
      book does (FILE.jpg gives FILE-001.jpg and FILE-002.jpg).
)"},
        {"scan",
         scanCommand,
         {"qr", "bar", "plain", "raw"},
         {"camera", "device", "timeout"},
         R"(  scan [--qr|--bar] [--raw] [--plain] [-d NODE|--camera N] [--timeout SECONDS] [FILE...]
      With files: prints every code in each picture, one a line, as TYPE:TEXT
      (QR-Code:..., EAN-13:...), or the text alone with --raw; FILE - is
      standard input. Without: the text of the first code the camera sees
      (within 10 seconds unless --timeout is given). Exit status 4 when no
      code is found (with files, when any has none).
)"},
        {"auto",
         autoCommand,
         {"yuyv", "crop=", "whiten", "black-edge", "grey", "bw", "button"},
         {"camera", "device", "size", "rotate", "quality", "count", "timeout", "format"},
         R"(  auto [--count N] [--timeout SECONDS] [--format EXT] [--button] [capture's options] FOLDER
      Photographs each new page laid under the camera once it lies still,
      into FOLDER (made when missing), named by the time; prints each path as
      it is written. --button also photographs at each press of the camera's
      own button. Stops after N files, at the time-out, or at Ctrl-C.
)"},
        {"controls",
         controlsCommand,
         {},
         {"camera", "device"},
         R"(  controls [-d NODE|--camera N] [NAME[=VALUE[,NAME=VALUE...]]...]
      Lists the camera's controls by v4l2-ctl's names, one a line: NAME VALUE
      MIN MAX DEFAULT, tab-separated; with NAMEs only those; or sets them
      (power_line_frequency=1 for 50 Hz), a value out of range at its end.
)"},
        {"pdf",
         pdfCommand,
         {"no-clobber", "ocr=", "fit", "bw", "pdfa"},
         {"paper", "dpi", "max-size", "quality"},
         R"(  pdf [-n] [--ocr [LANGS]] [--pdfa] [--paper a4|a5|letter [--fit]] [--dpi N]
      [--max-size SIZE] [--bw] [--quality Q] OUTPUT IMAGE...
      One PDF document, a picture a page (.jpg, .jpeg, .png, .tif, .tiff, .bmp),
      each page the picture's true size where its file records a resolution.
      --ocr lays each page's text under its picture, read by Tesseract in LANGS
      (chi_sim+eng unless given), a page a core at a time. --pdfa writes
      PDF/A-1b, for archives. --paper, --dpi, --max-size and --bw as for capture.
)"},
        {"idcard",
         idcardCommand,
         {"no-clobber"},
         {"front", "back", "dpi", "max-size", "quality"},
         R"(  idcard [-n] --front PICTURE --back PICTURE [--dpi N] [--max-size SIZE] OUTPUT
      The copy of an identity card that counters make: the card found on each
      photograph (any desk, any angle), cut out straight, and both sides on
      one A4 page at true size (85.6 x 54 mm), front above back. OUTPUT is
      .pdf, .jpg or .png. --dpi is 50 to 704 (300 unless given): an A4 page
      within the pixel limit that velcap's readers keep.
)"},
        {"book",
         bookCommand,
         {"no-clobber", "ocr=", "pdfa", "no-dewarp", "keep-fingers"},
         {},
         R"(  book [--no-dewarp] [--keep-fingers] [--ocr [LANGS]] [--pdfa] [-n] OUT SPREAD...
      Each SPREAD a picture of an open book from above (two pages, or one):
      the book found, split at its gutter, its bent lines made straight
      (not with --no-dewarp), fingers on the pages painted over (kept with
      --keep-fingers) and each page cut to its paper. OUT ending in .pdf is
      one PDF, two pages a spread, left page first (--ocr and --pdfa as for
      pdf); OUT.jpg, .png or .tif gives OUT-001.jpg, OUT-002.jpg, ..., each
      path printed on a line. Exit status 1, with nothing written, when a
      picture holds no book.
)"},
        {"merge",
         mergeCommand,
         {"column", "no-clobber"},
         {},
         R"(  merge [--column] [-n] OUTPUT IMAGE...
      Two to four pictures side by side (in a column with --column, four in a
      2 x 2 grid) in one picture.
)"},
        {"clean",
         cleanCommand,
         {"black-edge", "whiten", "no-clobber"},
         {},
         R"(  clean [--black-edge] [--whiten] [-n] INPUT OUTPUT
      Whitens the black margin around the page and the paper's background
      (both when neither option is given).
)"},
    };
    return table;
}

const char* const kHelpTail = R"(
Standard output carries only results: the paths written, one a line, the
decoded text, the JSON, or a picture. Messages and progress go to standard
error. A file is replaced only by a complete new one: on any failure an
existing file stays as it was.

Options for every command:
  -q, --quiet      no messages but errors (no warnings of the image libraries)
  -v, --verbose    also the library's own lines
  -n, --no-clobber (capture, pdf, merge, clean) never replace an existing file
  -d, --device NODE  (capture, scan, auto, controls) the camera at this device node (N: /dev/videoN)
  --any-camera     also cameras outside velcap's models that stream MJPEG or YUYV
  -h, --help       this text, or with a command that command's usage
  --version

Exit status:
  0  success
  1  the operation failed (nothing written)
  2  usage error
  3  no supported camera, or the camera is gone
  4  scan: no code found
)";

void printHelp(const Command* only) {
    std::string text = only ? "Usage: velcap " + std::string(only->name) + " [OPTION...]\n\n"
                            : "Usage: velcap COMMAND [OPTION...] [OPERAND...]\n\nCommands:\n";
    for (const Command& command : commands())
        if (!only || only == &command) text += command.usage;
    text += kHelpTail;
    std::fputs(text.c_str(), stdout);
}

const Command* findCommand(const std::string& name) {
    for (const Command& command : commands())
        if (name == command.name) return &command;
    return nullptr;
}

// Short options are spelt out, so that each command reads one spelling.
std::string longForm(const std::string& word) {
    if (word == "-n") return "--no-clobber";
    if (word == "-d") return "--device";
    return word;
}

int runCommand(const std::vector<std::string>& words) {
    if (words.empty()) usageError("no command given (velcap --help lists them)");
    const Command* command = findCommand(words[0]);
    if (!command) usageError("unknown command '" + words[0] + "' (velcap --help lists them)");
    std::vector<std::string> rest;
    bool operandsOnly = false;
    for (size_t i = 1; i < words.size(); ++i) {
        operandsOnly = operandsOnly || words[i] == "--";
        rest.push_back(operandsOnly ? words[i] : longForm(words[i]));
    }
    const Arguments args(command->name, rest, command->flags, command->valued);
    return command->run(args);
}

// A signal that ends velcap takes the partial files of its writes with it.
void endOnSignal(int signal) {
    removeTemporaries();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

} // namespace

int main(int argc, char** argv) {
    openStandardDescriptors();
    std::vector<std::string> words;
    Verbosity verbosity = Verbosity::normal;
    bool anyCamera = false;
    bool operandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        operandsOnly = operandsOnly || word == "--";
        if (!operandsOnly && (word == "--quiet" || word == "-q"))
            verbosity = Verbosity::quiet;
        else if (!operandsOnly && (word == "--verbose" || word == "-v"))
            verbosity = Verbosity::verbose;
        else if (!operandsOnly && word == "--any-camera")
            anyCamera = true;
        else
            words.push_back(word);
    }
    // -d NODE and -n may come before the command too, as v4l2-ctl takes -d:
    // they are moved behind it.
    std::vector<std::string> leading;
    while (!words.empty() && (words[0] == "-d" || words[0] == "--device" || words[0] == "-n" ||
                              words[0] == "--no-clobber" || words[0].rfind("--device=", 0) == 0)) {
        const bool valued = words[0] == "-d" || words[0] == "--device";
        leading.insert(leading.end(), words.begin(), words.begin() + (valued && words.size() > 1 ? 2 : 1));
        words.erase(words.begin(), words.begin() + (valued && words.size() > 1 ? 2 : 1));
    }
    if (!words.empty()) words.insert(words.begin() + 1, leading.begin(), leading.end());
    for (const std::string& word : words) {
        if (word == "--") break;
        if (word == "--help" || word == "-h") {
            printHelp(words.empty() ? nullptr : findCommand(words[0]));
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kSuccess : kFailed;
        }
        if (word == "--version") {
            std::printf("velcap %s\n", VELCAP_VERSION);
            return std::fflush(stdout) == 0 && !std::ferror(stdout) ? kSuccess : kFailed;
        }
    }
    // A file too large for the limit fails its write, which then cleans up.
    std::signal(SIGXFSZ, SIG_IGN);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) std::signal(signal, endOnSignal);
    if (!takeOverStandardStreams(verbosity)) {
        std::perror("velcap: standard output");
        return kFailed;
    }
    // Control values set here are kept for each camera and applied whenever it opens.
    SetDeviceProfiles(1);
    // Every camera of a model, not the first alone; others only when asked.
    SetDeviceListing(anyCamera ? 2 : 1);
    int status = kFailed;
    try {
        status = runCommand(words);
    } catch (const Failure& failure) {
        complain(failure.what());
        status = failure.status;
    } catch (const std::exception& e) {
        complain(e.what());
    }
    removeTemporaries(); // what a failure left, such as standard input's picture
    if (!resultsReachedTheirReader()) {
        complain(std::string("standard output: ") + std::strerror(errno ? errno : EIO));
        status = kFailed;
    }
    // The library's last line may lack its line end; the terminal's prompt must not follow it.
    endLine();
    releaseStandardStreams();
    return status;
}
