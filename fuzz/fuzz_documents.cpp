// Pictures named by the host made into documents: a PDF page through
// pdf_addPage, CombineToPDF and makeSearchablePdf, and a merged picture
// through MergeImages.
#include "fuzz_support.h"
#include "picture_size.h"
#include "velcap.h"
#include "velcap/camera.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const uint8_t choice = input.byte();
    const std::string& dir = fuzz::folder();
    const std::string first = dir + (choice & 1 ? "/a.png" : "/a.jpg");
    const std::string second = dir + (choice & 2 ? "/b.png" : "/b.jpg");
    fuzz::write(first, input.take(input.word()));
    fuzz::write(second, input.take(input.left()));
    if (!fuzz::smallPicture(first) || !fuzz::smallPicture(second)) return 0;

    // pdf_addPage and CombineToPDF share the page reader; the host's document
    // is the cheaper half, every other input.
    if (choice & 8) {
        if (pdf_start((dir + "/host.pdf").c_str()) == 0) {
            pdf_addPage(first.c_str());
            pdf_end();
        }
    }
    AddImageFileToPDF(first.c_str());
    AddImageFileToPDF(second.c_str());
    CombineToPDF((dir + "/combined.pdf").c_str(), false);

    // The searchable PDF's readers, without OCR (the checks before any decode are the same).
    if (choice & 32) velcap::makeSearchablePdf({first, second}, dir + "/searchable.pdf", "");

    AddImagePath(first.c_str());
    AddImagePath(second.c_str());
    MergeImages((dir + (choice & 4 ? "/merged.png" : "/merged.jpg")).c_str(), choice >> 4 & 1, 0, false);
    return 0;
}
