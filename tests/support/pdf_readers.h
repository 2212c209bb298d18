// The PDF readers that a searchable PDF must serve, each as a command that
// prints a document's text: poppler, MuPDF, pdf.js without its CMaps, pypdf
// and pdfminer.six; and PDFBox's PDF/A-1b preflight.
#pragma once

#include <cstdlib>
#include <string>
#include <vector>

#include "support/shell.h"

namespace velcap::test {

struct PdfReader {
    const char* name;
    std::string command; // the document's path follows
};

inline std::vector<PdfReader> pdfReaders() {
    const char* source = std::getenv("VELCAP_SOURCE_DIR");
    const std::string pdfjs = std::string(source ? source : ".") + "/.cache/pdfjs/text.mjs";
    return {
        {"pdftotext", "pdftotext -enc UTF-8"},
        {"mutool", "mutool draw -q -F txt"},
        {"pdf.js", "node " + pdfjs},
        // Debian's python3 (a python of another origin may come first in PATH).
        {"pypdf", "/usr/bin/python3 -c 'import sys, pypdf; "
                  "print(\"\\n\".join(p.extract_text() for p in pypdf.PdfReader(sys.argv[1]).pages))'"},
        {"pdfminer", "pdf2txt"},
    };
}

// What a reader gives: the text, with each run of white space one space.
inline std::string textBy(const PdfReader& reader, const std::string& pdf) {
    auto [out, status] = run(reader.command + " '" + pdf + "'" + (std::string(reader.name) == "pdftotext" ? " -" : ""));
    if (status != 0) return "(" + std::string(reader.name) + " failed: " + out + ")";
    std::string squeezed;
    for (char c : out) {
        const bool space = c == ' ' || c == '\n' || c == '\t' || c == '\f' || c == '\r';
        if (!space)
            squeezed += c;
        else if (!squeezed.empty() && squeezed.back() != ' ')
            squeezed += ' ';
    }
    if (!squeezed.empty() && squeezed.back() == ' ') squeezed.pop_back();
    return squeezed;
}

// PDFBox's verdict on a document as PDF/A-1b: its first line, or its errors.
inline std::pair<bool, std::string> preflight(const std::string& pdf) {
    const std::string classes =
        "/usr/share/java/preflight.jar:/usr/share/java/pdfbox2.jar:/usr/share/java/fontbox2.jar:"
        "/usr/share/java/xmpbox.jar:/usr/share/java/commons-logging.jar:"
        "/usr/share/java/javax.activation.jar:/usr/share/java/jaxb-api.jar";
    // No performance data in /tmp/hsperfdata_*, and scratch files in the test's own folder.
    const char* scratch = std::getenv("TMPDIR");
    auto [out, status] = run("java -XX:-UsePerfData -Djava.io.tmpdir=" + std::string(scratch ? scratch : ".") +
                             " -cp " + classes + " org.apache.pdfbox.preflight.Validator_A1b '" + pdf + "'");
    return {status == 0 && out.find("is a valid PDF/A-1b file") != std::string::npos, out};
}

} // namespace velcap::test
