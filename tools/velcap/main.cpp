// velcap: drives the document camera library from scripts and terminals.
#include <cstring>
#include <unistd.h>

#include "cli.h"

#ifndef VELCAP_VERSION
#define VELCAP_VERSION "unknown"
#endif

using namespace velcap::cli;

namespace {

const char* const kHelp =
    R"(Usage: velcap COMMAND [OPTION...] [OPERAND...]

Commands:
  list [--json]
      Each supported camera: index, device node, name, MJPEG and YUYV sizes.
  capture [--camera N] [--size WxH] [--yuyv] [--crop[=quad]] [--whiten] [--black-edge]
          [--grey|--bw] [--rotate 0-3] [--quality Q] [--count N --interval SECONDS] FILE
      Photographs the page into FILE, in the format of its extension (.jpg,
      .png, .bmp, .tif or .pdf), at the largest size unless --size is given.
      --crop waits for the page outline and crops to it; --crop=quad finds the
      page's four corners and straightens its perspective. --count N writes N
      files, FILE's stem numbered -001, -002 ..., --interval seconds apart.
  auto [--count N] [--timeout SECONDS] [--format EXT] [capture's options] FOLDER
      Photographs each new page laid under the camera once it lies still,
      into FOLDER, named by the time; prints each path as it is written.
      Stops after N files, at the time-out, or at Ctrl-C.
  scan (--qr|--bar) [--plain] [--camera N] [--timeout SECONDS]
      Prints the text of the first QR code or bar code the camera sees
      (within 10 seconds unless --timeout is given).
  pdf OUTPUT IMAGE...
      One PDF document, a .jpg or .png picture a page.
  merge [--column] OUTPUT IMAGE...
      Two to four pictures side by side (in a column with --column, four in a
      2 x 2 grid) in one picture.
  clean [--black-edge] [--whiten] INPUT OUTPUT
      Whitens the black margin around the page and the paper's background
      (both when neither option is given).

Standard output carries only results: the paths written, one a line, the
decoded text, or the JSON. Messages, progress and the library's own lines go
to standard error.

Options for every command: --quiet (-q) leaves out the library's own lines;
--help; --version.

Exit status:
  0  success
  1  the operation failed (nothing written, no code found)
  2  usage error
  3  no supported camera
)";

struct Command {
    const char* name;
    int (*run)(const Arguments&);
    std::vector<std::string> flags;
    std::vector<std::string> valued;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        {"list", listCameras, {"json"}, {}},
        {"capture",
         captureCommand,
         {"yuyv", "crop=", "whiten", "black-edge", "grey", "bw"},
         {"camera", "size", "rotate", "quality", "count", "interval"}},
        {"scan", scanCommand, {"qr", "bar", "plain"}, {"camera", "timeout"}},
        {"auto",
         autoCommand,
         {"yuyv", "crop=", "whiten", "black-edge", "grey", "bw"},
         {"camera", "size", "rotate", "quality", "count", "timeout", "format"}},
        {"pdf", pdfCommand, {}, {}},
        {"merge", mergeCommand, {"column"}, {}},
        {"clean", cleanCommand, {"black-edge", "whiten"}, {}},
    };
    return table;
}

int runCommand(const std::vector<std::string>& words) {
    if (words.empty()) usageError("no command given (velcap --help lists them)");
    for (const Command& command : commands()) {
        if (words[0] != command.name) continue;
        const Arguments args(command.name, {words.begin() + 1, words.end()}, command.flags, command.valued);
        return command.run(args);
    }
    usageError("unknown command '" + words[0] + "' (velcap --help lists them)");
}

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words;
    bool quiet = false;
    bool operandsOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        operandsOnly = operandsOnly || word == "--";
        if (!operandsOnly && (word == "--quiet" || word == "-q"))
            quiet = true;
        else
            words.push_back(word);
    }
    for (const std::string& word : words) {
        if (word == "--") break;
        if (word == "--help" || word == "-h") {
            std::fputs(kHelp, stdout);
            return kSuccess;
        }
        if (word == "--version") {
            std::printf("velcap %s\n", VELCAP_VERSION);
            return kSuccess;
        }
    }
    if (!keepStandardOutputForResults(quiet)) {
        std::perror("velcap: standard output");
        return kFailed;
    }
    int status = kFailed;
    try {
        status = runCommand(words);
    } catch (const Failure& failure) {
        note(failure.what());
        status = failure.status;
    } catch (const std::exception& e) {
        note(e.what());
    }
    // The library's last line may lack its line end; the terminal's prompt must not follow it.
    endLine();
    return status;
}
