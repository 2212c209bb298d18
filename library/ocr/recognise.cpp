#include "recognise.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <thread>

#include <dlfcn.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <tesseract/baseapi.h>
#include <tesseract/resultiterator.h>

#include "../log.h"

namespace velcap::ocr {

namespace {

// The first or last code point of a UTF-8 text.
constexpr float kLeastConfidence = 20;

char32_t codePoint(const std::string& text, bool last) {
    if (text.empty()) return 0;
    size_t at = 0;
    if (last) {
        at = text.size() - 1;
        while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
    }
    const auto byte = [&](size_t i) { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return lead;
    if (lead >> 5 == 0x6) return char32_t(lead & 0x1F) << 6 | (byte(at + 1) & 0x3F);
    if (lead >> 4 == 0xE)
        return char32_t(lead & 0x0F) << 12 | char32_t(byte(at + 1) & 0x3F) << 6 | (byte(at + 2) & 0x3F);
    return char32_t(lead & 0x07) << 18 | char32_t(byte(at + 1) & 0x3F) << 12 | char32_t(byte(at + 2) & 0x3F) << 6 |
           (byte(at + 3) & 0x3F);
}

// Punctuation that clings to the word before it, or to the one after.
bool clingsLeft(char32_t c) {
    return c == ',' || c == '.' || c == ':' || c == ';' || c == '!' || c == '?' || c == ')';
}

std::string tessdata() {
    // TESSDATA_PREFIX where set (as the tesseract program reads it), else Debian's folder.
    if (const char* prefix = std::getenv("TESSDATA_PREFIX"); prefix && *prefix) return prefix;
    return "/usr/share/tesseract-ocr/5/tessdata";
}

// Engines stay loaded: loading a model takes longer than reading a page.
// One engine serves one page at a time; there are at most one per core.
class Engines : public std::enable_shared_from_this<Engines> {
public:
    // Holds its set of engines: one freed from the cache meanwhile lives until its last lease is back.
    struct Lease {
        std::shared_ptr<Engines> owner;
        std::unique_ptr<tesseract::TessBaseAPI> engine;
        ~Lease() {
            if (engine) owner->giveBack(std::move(engine));
        }
    };

    explicit Engines(std::string languages) : languages_(std::move(languages)) {}
    const std::string& languages() const { return languages_; }

    Lease take() {
        std::unique_lock lock(mutex_);
        const int most = int(std::max(1u, std::thread::hardware_concurrency()));
        returned_.wait(lock, [&] { return !idle_.empty() || made_ < most; });
        if (!idle_.empty()) {
            auto engine = std::move(idle_.back());
            idle_.pop_back();
            return {shared_from_this(), std::move(engine)};
        }
        ++made_;
        lock.unlock();
        // Tesseract's warnings ("Estimating resolution as ...") are not the
        // host's output. The setting is global to Tesseract: set once, before any engine reads.
        static std::once_flag quiet;
        std::call_once(quiet, [] { tesseract::TessBaseAPI().SetVariable("debug_file", "/dev/null"); });
        auto engine = std::make_unique<tesseract::TessBaseAPI>();
        if (engine->Init(tessdata().c_str(), languages_.c_str(), tesseract::OEM_LSTM_ONLY) != 0) {
            lock.lock();
            --made_;
            returned_.notify_one();
            return {shared_from_this(), nullptr}; // the caller says which languages failed
        }
        engine->SetPageSegMode(tesseract::PSM_AUTO);
        return {shared_from_this(), std::move(engine)};
    }

private:
    void giveBack(std::unique_ptr<tesseract::TessBaseAPI> engine) {
        std::lock_guard lock(mutex_);
        idle_.push_back(std::move(engine));
        returned_.notify_one();
    }

    const std::string languages_;
    std::mutex mutex_;
    std::condition_variable returned_;
    std::vector<std::unique_ptr<tesseract::TessBaseAPI>> idle_;
    int made_ = 0;
};

// Each set of languages once, whatever its spelling: "eng+chi_sim",
// "chi_sim+eng+eng" and "chi_sim+eng" load the same models.
std::string languageSet(const std::string& languages) {
    std::vector<std::string> names;
    for (size_t from = 0; from <= languages.size();) {
        const size_t plus = std::min(languages.find('+', from), languages.size());
        if (plus > from) names.push_back(languages.substr(from, plus - from));
        from = plus + 1;
    }
    std::sort(names.begin(), names.end());
    names.erase(std::unique(names.begin(), names.end()), names.end());
    std::string set;
    for (const std::string& name : names) set += (set.empty() ? "" : "+") + name;
    return set;
}

// The sets of engines most recently used, newest first: each costs tens of
// megabytes, so older ones are freed.
constexpr size_t kMostEngineSets = 3;

std::mutex setsMutex;
std::list<std::shared_ptr<Engines>>& engineSets() {
    // Kept for the process's life: a host thread may still be reading at exit.
    static auto* sets = new std::list<std::shared_ptr<Engines>>;
    return *sets;
}

std::shared_ptr<Engines> enginesFor(const std::string& languages) {
    const std::string set = languageSet(languages);
    std::lock_guard lock(setsMutex);
    auto& sets = engineSets();
    auto found = std::find_if(sets.begin(), sets.end(), [&](const auto& e) { return e->languages() == set; });
    if (found != sets.end()) {
        sets.splice(sets.begin(), sets, found);
    } else {
        sets.push_front(std::make_shared<Engines>(set));
        if (sets.size() > kMostEngineSets) sets.pop_back();
    }
    return sets.front();
}

// One thread a page: Tesseract's own OpenMP threads only spin against each
// other (a page takes several times longer with them on two cores), and a
// document's pages are read a core each. The OpenMP runtime is the one
// Tesseract brought along, found at run time; none, no threads to stop.
void oneThreadAPage() {
    using SetLevels = void (*)(int);
    static const auto set = reinterpret_cast<SetLevels>(::dlsym(RTLD_DEFAULT, "omp_set_max_active_levels"));
    if (set) set(0);
}

// Grey, with the paper's uneven light divided out: Tesseract's own
// threshold then sees dark letters on even white, also in the corners
// of a photograph that the lamp lights less.
cv::Mat prepared(const cv::Mat& picture) {
    cv::Mat grey;
    if (picture.channels() == 1)
        grey = picture;
    else
        cv::cvtColor(picture, grey, picture.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U, grey.depth() == CV_16U ? 1.0 / 257 : 1.0);
    // The background: the page with its letters closed over, at a sixteenth of the size.
    cv::Mat small, background;
    const double scale = 1.0 / 16;
    cv::resize(grey, small, cv::Size(), scale, scale, cv::INTER_AREA);
    cv::dilate(small, background, cv::getStructuringElement(cv::MORPH_RECT, {5, 5}));
    cv::resize(background, background, grey.size(), 0, 0, cv::INTER_LINEAR);
    cv::Mat even;
    cv::divide(grey, background, even, 255);
    return even;
}

} // namespace

bool isCjk(char32_t c) {
    return (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) || (c >= 0xF900 && c <= 0xFAFF) ||
           (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFFEF) || (c >= 0x20000 && c <= 0x3FFFF);
}

std::string PageText::text() const {
    std::string all;
    for (const Line& line : lines) all += line.text + "\n";
    return all;
}

std::string joinWords(const std::vector<std::string>& words) {
    std::string line;
    for (const std::string& word : words) {
        if (word.empty()) continue;
        const char32_t before = codePoint(line, true), after = codePoint(word, false);
        // Chinese is written without spaces, also before its punctuation.
        const bool joined = isCjk(before) && (isCjk(after) || clingsLeft(after));
        if (!line.empty() && !joined) line += ' ';
        line += word;
    }
    return line;
}

std::vector<std::string> cachedLanguageSets() {
    std::lock_guard lock(setsMutex);
    std::vector<std::string> sets;
    for (const auto& engines : engineSets()) sets.push_back(engines->languages());
    return sets;
}

bool available(const std::string& languages, std::string* why) {
    if (languages.empty()) {
        if (why) *why = "no language is named";
        return false;
    }
    size_t from = 0;
    while (from <= languages.size()) {
        const size_t plus = std::min(languages.find('+', from), languages.size());
        const std::string one = languages.substr(from, plus - from);
        struct stat info {};
        if (one.empty() || one.find('/') != std::string::npos ||
            ::stat((tessdata() + "/" + one + ".traineddata").c_str(), &info) != 0) {
            if (why) *why = "no Tesseract model for \"" + one + "\" in " + tessdata();
            return false;
        }
        from = plus + 1;
    }
    return true;
}

Status recognise(const cv::Mat& picture, const std::string& languages, PageText& page, int dpi, std::string* why) {
    page = {};
    if (picture.empty()) return Status::Ok;
    page.size = picture.size();
    if (!available(languages, why)) return Status::NoOcrLanguages;
    const cv::Mat grey = prepared(picture);
    oneThreadAPage();
    Engines::Lease lease = enginesFor(languages)->take();
    if (!lease.engine) {
        if (why) *why = "the languages \"" + languages + "\" cannot be loaded from " + tessdata();
        return Status::NoOcrLanguages;
    }
    tesseract::TessBaseAPI& engine = *lease.engine;
    engine.SetImage(grey.data, grey.cols, grey.rows, 1, int(grey.step));
    if (dpi >= 70) engine.SetSourceResolution(dpi);
    if (engine.Recognize(nullptr) != 0) {
        engine.Clear();
        return Status::Ok; // a page Tesseract cannot read has no text
    }
    std::unique_ptr<tesseract::ResultIterator> it(engine.GetIterator());
    if (it) {
        do {
            if (it->Empty(tesseract::RIL_TEXTLINE)) continue;
            Line line;
            int left = 0, top = 0, right = 0, bottom = 0;
            it->BoundingBox(tesseract::RIL_TEXTLINE, &left, &top, &right, &bottom);
            line.box = cv::Rect(left, top, right - left, bottom - top);
            int x1 = left, y1 = bottom, x2 = right, y2 = bottom;
            it->Baseline(tesseract::RIL_TEXTLINE, &x1, &y1, &x2, &y2);
            line.baseFrom = cv::Point2f(float(x1), float(y1));
            line.baseTo = cv::Point2f(float(x2), float(y2));
            std::vector<std::string> words;
            do {
                std::unique_ptr<char[]> word(it->GetUTF8Text(tesseract::RIL_WORD));
                // What Tesseract barely believes is a picture's texture, not text.
                if (word && word[0] != 0 && it->Confidence(tesseract::RIL_WORD) >= kLeastConfidence)
                    words.emplace_back(word.get());
            } while (!it->IsAtFinalElement(tesseract::RIL_TEXTLINE, tesseract::RIL_WORD) &&
                     it->Next(tesseract::RIL_WORD));
            line.text = joinWords(words);
            if (!line.text.empty() && line.box.width > 0 && line.box.height > 0) page.lines.push_back(line);
        } while (it->Next(tesseract::RIL_TEXTLINE));
    }
    it.reset();
    engine.Clear();
    return Status::Ok;
}

Status recogniseFiles(const std::vector<std::string>& paths, const std::string& languages, std::vector<PageText>& pages,
                      const std::function<void(int, int)>& progress, std::string* why) {
    pages.clear();
    if (!available(languages, why)) return Status::NoOcrLanguages;
    pages.resize(paths.size());
    std::atomic<size_t> next{0};
    std::mutex progressMutex;
    int done = 0;
    std::mutex failureMutex;
    std::string failure;
    const auto work = [&] {
        for (size_t i = next++; i < paths.size(); i = next++) {
            try {
                const cv::Mat picture = cv::imread(paths[i], cv::IMREAD_GRAYSCALE);
                if (picture.empty())
                    logError(Category::Ocr, "OCR: %s cannot be read; its page gets no text\n", paths[i].c_str());
                else if (std::string whyNot; recognise(picture, languages, pages[i], 0, &whyNot) != Status::Ok) {
                    std::lock_guard lock(failureMutex);
                    failure = whyNot;
                }
            } catch (const std::exception& e) {
                std::lock_guard lock(failureMutex);
                failure = e.what();
            }
            // One call at a time, in order of pages done: hosts count and draw in it.
            std::lock_guard lock(progressMutex);
            if (progress) progress(++done, int(paths.size()));
        }
    };
    const size_t workers = std::min<size_t>(paths.size(), std::max(1u, std::thread::hardware_concurrency()));
    std::vector<std::thread> threads;
    for (size_t i = 1; i < workers; ++i) threads.emplace_back(work);
    work();
    for (std::thread& t : threads) t.join();
    if (failure.empty()) return Status::Ok;
    if (why) *why = failure;
    pages.clear();
    return Status::NoOcrLanguages;
}

} // namespace velcap::ocr
