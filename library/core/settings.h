// A camera's capture settings as the stream thread reads them: one snapshot
// a frame, so that a setting changed in the middle of a frame applies from
// the next one and every stage of a frame sees the same values.
#pragma once

#include <functional>
#include <mutex>
#include <string>

namespace velcap {

struct FrameSettings {
    int cutType = 0;
    int colorMode = 0;
    int jpegQuality = 85;
    int removeBlackEdge = 0;  // 1 removes
    int whiten = 0;           // 1 whitens
    int rotation = 0;         // quarter turns clockwise; others deliver no frame to the stages
    int fileFormat = 0;       // auto-capture's file type
    std::string ocrLanguages; // PDF captures' text layer; none when empty
    bool pdfA = false;        // PDF captures as PDF/A-1b
};

// Where a session reads its settings: its own store, or (for the flat
// interface's camera) the library-wide variables the host sets.
class SettingsSource {
public:
    FrameSettings snapshot() const {
        if (reader_) return reader_();
        std::lock_guard lock(mutex_);
        return settings_;
    }
    template <typename Change>
    void update(Change&& change) {
        std::lock_guard lock(mutex_);
        change(settings_);
    }
    // Reads the settings from elsewhere from now on; set before the stream starts.
    void readFrom(std::function<FrameSettings()> reader) { reader_ = std::move(reader); }

private:
    mutable std::mutex mutex_;
    FrameSettings settings_;
    std::function<FrameSettings()> reader_;
};

} // namespace velcap
