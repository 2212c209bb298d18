// VELCAP_LOG_LEVELS: what each category keeps.
#include <gtest/gtest.h>

#include "log.h"

namespace {

using velcap::Category;
using velcap::LogLevel;

TEST(LogLevels, EachNamedCategoryKeepsItsLevelAndTheRestKeepsAll) {
    const struct {
        const char* text;
        Category category;
        LogLevel least;
    } cases[] = {
        {"", Category::Device, LogLevel::Debug},
        {"device:warning", Category::Device, LogLevel::Warning},
        {"device:warning", Category::Codes, LogLevel::Debug},
        {"*:error,codes:info", Category::Codes, LogLevel::Info},
        {"*:error,codes:info", Category::Pdf, LogLevel::Error},
        {"codes:info,*:error", Category::Codes, LogLevel::Error}, // later items win
        {"device:loud,pdf", Category::Device, LogLevel::Debug},   // wrong items change nothing
        {"Device:error", Category::Device, LogLevel::Debug},
        {"preview:info,", Category::Preview, LogLevel::Info},
    };
    for (const auto& c : cases)
        EXPECT_EQ(int(velcap::parseLogLevels(c.text).least[int(c.category)]), int(c.least))
            << c.text << " " << velcap::categoryName(c.category);
}

} // namespace
