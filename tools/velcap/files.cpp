// The commands that work on files alone: pdf, merge and clean.
#include <opencv2/imgcodecs.hpp>

#include <optional>

#include "cli.h"
#include "velcap.h"
#include "velcap/camera.h"

namespace velcap::cli {

namespace {

void requireExtension(const std::string& path, const std::vector<std::string>& accepted, const char* names) {
    const std::string extension = extensionOf(path);
    for (const std::string& e : accepted)
        if (extension == e) return;
    usageError("'" + path + "' is not " + names);
}

} // namespace

int pdfCommand(const Arguments& args) {
    std::vector<std::string> operands = args.operands();
    const std::string languages = ocrLanguages(args, operands);
    args.expectOperands(operands, 2, size_t(-1), "pdf [--ocr [LANGS]] OUTPUT IMAGE...");
    const std::string output = operands[0];
    const std::vector<std::string> pictures(operands.begin() + 1, operands.end());
    requireExtension(output, {"pdf"}, "a .pdf document");
    for (const std::string& picture : pictures) {
        requireExtension(picture, {"jpg", "jpeg", "png", "tif", "tiff", "bmp"},
                         "a .jpg, .png, .tif or .bmp picture (a PDF page is made of one)");
        requirePicture(picture);
    }
    requireWritable(output, args.has("no-clobber"));

    if (wantsPageOptions(args) || args.has("bw") || args.has("quality")) {
        PageChoice choice = pageChoice(args);
        choice.ocrLanguages = languages;
        writeWithChoice(pictures, output, choice);
        result(output);
        return kSuccess;
    }
    if (!languages.empty() || args.has("pdfa")) {
        // Pages are read one a core at a time; the document is written once all are.
        std::optional<Progress> progress;
        if (!languages.empty()) progress.emplace("pages read", int(pictures.size()));
        const velcap::Status status = velcap::makeSearchablePdf(
            pictures, output, languages,
            [&](int done, int) {
                if (progress) progress->update(done);
            },
            args.has("pdfa"));
        if (status != velcap::Status::Ok) failed("cannot write '" + output + "'; nothing written");
        result(output);
        return kSuccess;
    }
    if (pdf_start(output.c_str()) != 0) failed("cannot start the document '" + output + "'");
    Progress progress("pages", int(pictures.size()));
    for (size_t i = 0; i < pictures.size(); ++i) {
        // A refused page abandons the document: an older file at its path stays.
        if (pdf_addPage(pictures[i].c_str()) != 0)
            failed("cannot make a page of '" + pictures[i] + "'; nothing written");
        progress.update(int(i + 1));
    }
    if (pdf_end() != 0) failed("cannot write '" + output + "'");
    result(output);
    return kSuccess;
}

int mergeCommand(const Arguments& args) {
    args.expectOperands(3, 5, "merge [--column] OUTPUT IMAGE IMAGE [IMAGE [IMAGE]]");
    const std::string output = args.operands()[0];
    const std::vector<std::string> pictures(args.operands().begin() + 1, args.operands().end());
    requireExtension(output, {"jpg", "jpeg", "png", "bmp", "tif", "tiff", "pdf"},
                     "a .jpg, .png, .bmp, .tif or .pdf file");
    for (const std::string& picture : pictures) requirePicture(picture);
    requireWritable(output, args.has("no-clobber"));
    // A picture the decoder cannot read would be left out of the merge without a word.
    for (const std::string& picture : pictures)
        if (cv::imread(picture, cv::IMREAD_REDUCED_COLOR_8).empty()) failed("cannot read picture '" + picture + "'");

    for (const std::string& picture : pictures)
        if (AddImagePath(picture.c_str()) != 0) failed("cannot read picture '" + picture + "'");
    if (MergeImages(output.c_str(), args.has("column") ? 1 : 0, 0, false) != 0) failed("cannot write '" + output + "'");
    result(output);
    return kSuccess;
}

int cleanCommand(const Arguments& args) {
    args.expectOperands(2, 2, "clean [--black-edge] [--whiten] INPUT OUTPUT");
    const std::string input = args.operands()[0];
    const std::string output = args.operands()[1];
    requireExtension(output, {"jpg", "jpeg", "png", "bmp", "tif", "tiff", "pdf"},
                     "a .jpg, .png, .bmp, .tif or .pdf file");
    requirePicture(input); // its size too, from its header, before it is decoded
    requireWritable(output, args.has("no-clobber"));
    cv::Mat picture = cv::imread(input, cv::IMREAD_COLOR);
    if (picture.empty()) failed("cannot read picture '" + input + "'");

    const bool both = !args.has("black-edge") && !args.has("whiten");
    if (both || args.has("black-edge")) FN_DeleteBlackEdge(picture);
    if (both || args.has("whiten")) FN_DeleteBackcolor(picture);
    std::string path = output;
    if (SaveImage(path.data(), picture) != 0) failed("cannot write '" + output + "'");
    result(output);
    return kSuccess;
}

} // namespace velcap::cli
