// Searchable PDFs: pages rendered with a Chinese font, read back through
// pdftotext as a reader's viewer would copy them.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include "compat/state.h"
#include "ocr/recognise.h"
#include "support/capture_test.h"
#include "support/pdf_readers.h"
#include "velcap.h"
#include "velcap/camera.h"
#include "velcap/documents.h"

namespace {

const char* const kLines[] = {"文字识别测试页", "The camera reads bar codes.", "请将文件平放在底座上。"};

std::string run(const std::string& command) {
    std::string out;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char chunk[4096];
        while (size_t n = std::fread(chunk, 1, sizeof(chunk), pipe)) out.append(chunk, n);
        ::pclose(pipe);
    }
    return out;
}

std::string bytesOf(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

class Ocr : public velcap::test::FolderTest {
protected:
    // A page of the lines in a Chinese font, as a JPEG, the way ImageMagick prints it.
    std::string renderPage(const std::string& name) {
        std::string text;
        for (const char* line : kLines) text += std::string(line) + "\n";
        const std::string path = file(name);
        const std::string command = "convert -size 1400x1000 xc:white -fill black "
                                    "-font /usr/share/fonts/truetype/wqy/wqy-microhei.ttc -pointsize 44 "
                                    "-interline-spacing 30 -annotate +120+180 '" +
                                    text + "' -quality 92 '" + path + "'";
        EXPECT_EQ(std::system(command.c_str()), 0) << command;
        return path;
    }
    static std::string textOf(const std::string& pdf) { return run("pdftotext -layout '" + pdf + "' - 2>/dev/null"); }
};

TEST(JoinWords, SpacesBetweenWordsButNotBetweenChineseCharacters) {
    const struct {
        std::vector<std::string> words;
        const char* line;
    } cases[] = {
        {{"文", "字", "识别"}, "文字识别"},
        {{"bar", "codes."}, "bar codes."},
        {{"格式", ":", "JPEG", "和", "PDF"}, "格式: JPEG 和 PDF"},
        {{"请", "，", "再拍"}, "请，再拍"},
        {{"", "a", ""}, "a"},
    };
    for (const auto& c : cases) EXPECT_EQ(velcap::ocr::joinWords(c.words), c.line);
}

TEST_F(Ocr, ASearchablePdfHasTheTextInOrderUnderTheSamePicture) {
    const std::string page = renderPage("page.jpg");
    const std::string pdf = file("page.pdf");
    int calls = 0;
    ASSERT_EQ(velcap::makeSearchablePdf({page, page}, pdf, "chi_sim+eng",
                                        [&](int, int total) {
                                            EXPECT_EQ(total, 2);
                                            ++calls;
                                        }),
              velcap::Status::Ok);
    EXPECT_EQ(calls, 2);
    const std::string text = textOf(pdf);
    size_t at = 0;
    for (int page = 0; page < 2; ++page)
        for (const char* line : kLines) {
            const size_t found = text.find(line, at);
            ASSERT_NE(found, std::string::npos) << line << " after " << at << " in\n" << text;
            at = found + 1;
        }
    // The page's picture is the JPEG file as it was.
    ASSERT_EQ(std::system(("pdfimages -j '" + pdf + "' '" + file("image") + "'").c_str()), 0);
    EXPECT_EQ(bytesOf(file("image-000.jpg")), bytesOf(page));
    // Without languages, no text.
    ASSERT_EQ(velcap::makeSearchablePdf({page}, file("plain.pdf"), ""), velcap::Status::Ok);
    EXPECT_EQ(textOf(file("plain.pdf")).find_first_not_of(" \n\f"), std::string::npos);
}

TEST_F(Ocr, EveryReaderGetsTheTextTheLibraryReadOnEveryKindOfPage) {
    const std::string page = renderPage("page.jpg");
    velcap::ocr::PageText read;
    ASSERT_EQ(velcap::ocr::recognise(cv::imread(page), "chi_sim+eng", read), velcap::Status::Ok);
    ASSERT_EQ(read.lines.size(), std::size(kLines)) << read.text();
    // As it is, on A4 paper at its true size, and black and white fitted to A5.
    velcap::PageOptions a4;
    a4.paper = velcap::Paper::A4;
    a4.dpi = 200;
    velcap::PageOptions a5bw;
    a5bw.paper = velcap::Paper::A5;
    a5bw.fit = true;
    a5bw.blackAndWhite = true;
    const struct {
        const char* name;
        velcap::PageOptions options;
        const char* size;
    } kinds[] = {{"plain.pdf", {}, "1400 x 1000"}, {"a4.pdf", a4, "(A4)"}, {"a5.pdf", a5bw, "419.5"}};
    for (auto kind : kinds) {
        kind.options.ocrLanguages = "chi_sim+eng";
        const std::string pdf = file(kind.name);
        ASSERT_EQ(velcap::writePages({page}, pdf, kind.options), velcap::Status::Ok) << kind.name;
        EXPECT_NE(run("pdfinfo '" + pdf + "'").find(kind.size), std::string::npos) << kind.name;
        for (const velcap::test::PdfReader& reader : velcap::test::pdfReaders()) {
            const std::string text = velcap::test::textBy(reader, pdf);
            for (const velcap::ocr::Line& line : read.lines)
                EXPECT_NE(text.find(line.text), std::string::npos)
                    << kind.name << ", " << reader.name << ": " << line.text << " in " << text;
        }
    }
}

TEST_F(Ocr, TheFlatInterfaceAddsTextOnlyWhenAsked) {
    const std::string page = renderPage("page.jpg");
    EXPECT_EQ(SetOcrLanguages("no_such_language"), -1);
    const auto pdfOf = [&](const std::string& name) {
        const std::string pdf = file(name);
        velcap::test::stdoutOf([&] {
            EXPECT_EQ(pdf_start(pdf.c_str()), 0);
            EXPECT_EQ(pdf_addPage(page.c_str()), 0);
            EXPECT_EQ(pdf_end(), 0);
        });
        return textOf(pdf);
    };
    EXPECT_EQ(pdfOf("off.pdf").find(kLines[0]), std::string::npos);
    ASSERT_EQ(SetOcrLanguages("chi_sim+eng"), 0);
    EXPECT_NE(pdfOf("on.pdf").find(kLines[0]), std::string::npos);
    SetOcrLanguages(nullptr);
    EXPECT_EQ(pdfOf("off-again.pdf").find(kLines[0]), std::string::npos);
}

} // namespace

namespace {

// One set of engines per set of languages, however it is spelt, and only the
// few used last are kept.
TEST(OcrEngines, AreSharedBySpellingAndBounded) {
    const cv::Mat page(64, 64, CV_8UC3, cv::Scalar::all(255));
    const auto read = [&](const char* languages) {
        velcap::ocr::PageText text;
        EXPECT_EQ(velcap::ocr::recognise(page, languages, text), velcap::Status::Ok) << languages;
    };
    for (const char* spelling : {"eng", "eng+eng", "eng+eng+eng"}) read(spelling);
    EXPECT_EQ(velcap::ocr::cachedLanguageSets().front(), "eng");
    read("eng+osd");
    read("osd+eng+osd");
    const std::vector<std::string> sets = velcap::ocr::cachedLanguageSets();
    ASSERT_GE(sets.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(sets.begin(), sets.begin() + 2), (std::vector<std::string>{"eng+osd", "eng"}));
    for (const char* set : {"osd", "chi_sim", "chi_sim+osd", "chi_sim+eng"}) read(set);
    EXPECT_EQ(velcap::ocr::cachedLanguageSets(), (std::vector<std::string>{"chi_sim+eng", "chi_sim+osd", "chi_sim"}));

    // A language Tesseract lacks is a status with its reason, and loads no engine.
    velcap::ocr::PageText text;
    std::string why;
    EXPECT_EQ(velcap::ocr::recognise(page, "eng+xyz", text, 0, &why), velcap::Status::NoOcrLanguages);
    EXPECT_NE(why.find("xyz"), std::string::npos) << why;
    EXPECT_EQ(velcap::ocr::cachedLanguageSets().front(), "chi_sim+eng");
}

} // namespace
