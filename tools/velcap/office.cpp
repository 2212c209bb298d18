// Office pages: paper, resolution, file-size budgets, and identity-card copies.
#include <cctype>
#include <cstdio>
#include <unistd.h>

#include <optional>

#include "cli.h"
#include "velcap.h"
#include "velcap/camera.h"

namespace velcap::cli {

namespace {

// "150k", "2m" or "50000": bytes (k and m in thousands, as file managers count).
long parseBytes(const std::string& text) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    std::string unit = end ? end : "";
    for (char& c : unit) c = char(std::tolower(static_cast<unsigned char>(c)));
    const double scale = unit.empty() || unit == "b"   ? 1
                         : unit == "k" || unit == "kb" ? 1e3
                         : unit == "m" || unit == "mb" ? 1e6
                                                       : 0;
    if (end == text.c_str() || scale == 0 || !(value > 0) || value * scale < 1024 || value * scale > 1e10)
        usageError("--max-size takes a size such as 150k or 2m, not '" + text + "'");
    return long(value * scale);
}

velcap::PageOptions optionsOf(const PageChoice& choice) {
    velcap::PageOptions options;
    options.paper = velcap::Paper(choice.paper);
    options.fit = choice.fit;
    options.dpi = choice.dpi;
    options.maxBytes = choice.maxBytes;
    options.blackAndWhite = choice.blackAndWhite;
    options.jpegQuality = choice.quality;
    options.ocrLanguages = choice.ocrLanguages;
    options.pdfA = choice.pdfA;
    return options;
}

} // namespace

bool wantsPageOptions(const Arguments& args) {
    return args.has("paper") || args.has("fit") || args.has("dpi") || args.has("max-size");
}

PageChoice pageChoice(const Arguments& args, bool onA4) {
    PageChoice choice;
    if (args.has("paper")) {
        const std::string paper = args.value("paper");
        choice.paper = paper == "a4" ? 1 : paper == "a5" ? 2 : paper == "letter" ? 3 : 0;
        if (choice.paper == 0) usageError("--paper takes a4, a5 or letter, not '" + paper + "'");
    }
    choice.fit = args.has("fit");
    if (choice.fit && !choice.paper) usageError("--fit fits the picture to the paper of --paper");
    // velcap reads what it writes: a page on paper stays within the pixel limit.
    const bool onPaper = onA4 || choice.paper;
    choice.dpi = args.integer("dpi", 0, 50, onPaper ? velcap::mostDpi(velcap::Paper(onA4 ? 1 : choice.paper)) : 2400);
    if (args.has("max-size")) choice.maxBytes = parseBytes(args.value("max-size"));
    choice.blackAndWhite = args.has("bw");
    choice.quality = args.integer("quality", 90, 1, 100);
    choice.pdfA = args.has("pdfa");
    return choice;
}

void writeWithChoice(const std::vector<std::string>& pictures, const std::string& out, const PageChoice& choice) {
    std::optional<Progress> progress;
    if (!choice.ocrLanguages.empty()) progress.emplace("pages read", int(pictures.size()));
    const velcap::Status status = velcap::writePages(pictures, out, optionsOf(choice), [&](int done, int) {
        if (progress) progress->update(done);
    });
    if (status == velcap::Status::Ok) return;
    failed("cannot write '" + out + "'" +
           (choice.maxBytes ? " within " + std::to_string(choice.maxBytes) + " bytes" : std::string()) +
           "; nothing written");
}

int idcardCommand(const Arguments& args) {
    args.expectOperands(1, 1, "idcard --front PICTURE --back PICTURE OUTPUT");
    const std::string out = args.operands()[0];
    if (!args.has("front") || !args.has("back")) usageError("idcard needs --front and --back pictures");
    const std::string front = args.value("front"), back = args.value("back");
    requirePicture(front);
    requirePicture(back);
    const std::string extension = extensionOf(out);
    if (extension != "pdf" && extension != "jpg" && extension != "jpeg" && extension != "png")
        usageError("'" + out + "' is not a .pdf, .jpg or .png file");
    requireWritable(out, args.has("no-clobber"));
    const PageChoice choice = pageChoice(args, true);
    velcap::PageOptions options = optionsOf(choice);
    const velcap::Status status = velcap::makeIdCardCopy(front, back, out, options);
    if (status != velcap::Status::Ok) failed("cannot make the copy '" + out + "': no card found, or not written");
    result(out);
    return kSuccess;
}

int bookCommand(const Arguments& args) {
    std::vector<std::string> operands = args.operands();
    const std::string languages = ocrLanguages(args, operands);
    args.expectOperands(operands, 2, size_t(-1), "book [--no-dewarp] [--keep-fingers] OUT SPREAD...");
    const std::string out = operands[0];
    const std::vector<std::string> spreads(operands.begin() + 1, operands.end());
    const std::string extension = extensionOf(out);
    if (extension != "pdf" && extension != "jpg" && extension != "jpeg" && extension != "png" && extension != "tif" &&
        extension != "tiff" && extension != "bmp")
        usageError("'" + out + "' is not a .pdf, .jpg, .png, .tif or .bmp file");
    if ((!languages.empty() || args.has("pdfa")) && extension != "pdf")
        usageError("--ocr and --pdfa write a PDF; name OUT .pdf");
    for (const std::string& spread : spreads) requirePicture(spread);
    if (extension == "pdf") requireWritable(out, args.has("no-clobber"));
    velcap::BookOptions book;
    book.dewarp = !args.has("no-dewarp");
    book.removeFingers = !args.has("keep-fingers");
    std::vector<std::string> written;
    const velcap::Status status = velcap::writeBookPages(spreads, out, book, &written, languages, args.has("pdfa"));
    if (status != velcap::Status::Ok) failed("cannot write '" + out + "': a picture holds no book, or not written");
    for (const std::string& path : written) result(path);
    return kSuccess;
}

} // namespace velcap::cli
