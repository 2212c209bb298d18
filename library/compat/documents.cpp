// The flat interface's documents: PDFs with their text, identity-card copies.
#include <atomic>
#include <mutex>
#include <string>

#include "log.h"
#include "ocr/recognise.h"
#include "state.h"
#include "velcap.h"
#include "velcap/camera.h"

namespace velcap {

namespace {

std::mutex& ocrMutex() {
    static std::mutex m;
    return m;
}

std::string& ocrSetting() {
    static auto* languages = new std::string; // read by stream threads up to the end
    return *languages;
}

} // namespace

std::string flatOcrLanguages() {
    std::lock_guard lock(ocrMutex());
    return ocrSetting();
}

namespace {
std::atomic<bool> pdfASetting{false};
} // namespace

bool flatPdfA() {
    return pdfASetting.load();
}

} // namespace velcap

extern "C" int SetOcrLanguages(const char* languages) {
    const std::string wanted = languages ? languages : "";
    std::string why;
    if (!wanted.empty() && !velcap::ocr::available(wanted, &why)) {
        velcap::logWarning(velcap::Category::Ocr, "SetOcrLanguages: %s; PDFs get no text layer\n", why.c_str());
        std::lock_guard lock(velcap::ocrMutex());
        velcap::ocrSetting().clear();
        return -1;
    }
    std::lock_guard lock(velcap::ocrMutex());
    velcap::ocrSetting() = wanted;
    return 0;
}

extern "C" void SetPdfA(int on) {
    velcap::pdfASetting = on != 0;
}

extern "C" int MakeSearchablePdf(const char* const* pictures, int count, const char* pdfPath, const char* languages) {
    if (!pictures || count <= 0 || !pdfPath || !*pdfPath) return -1;
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) {
        if (!pictures[i]) return -1;
        names.emplace_back(pictures[i]);
    }
    switch (velcap::makeSearchablePdf(names, pdfPath, languages ? languages : "", {}, velcap::flatPdfA())) {
    case velcap::Status::Ok:
        return 0;
    case velcap::Status::BadPath:
        return -1;
    default:
        return -2;
    }
}

extern "C" int MakeIdCardCopy(const char* front, const char* back, const char* outPath) {
    if (!front || !back || !outPath || !*outPath) return -1;
    switch (velcap::makeIdCardCopy(front, back, outPath)) {
    case velcap::Status::Ok:
        return 0;
    case velcap::Status::BadPath:
        return -1;
    default:
        return -2;
    }
}
