#include "testbed.h"

#include <stdexcept>
#include <string>

#include <umockdev.h>

#include "vcam.h"

namespace vcam {

Testbed::Testbed() : testbed_(umockdev_testbed_new()) {
    if (!umockdev_in_mock_environment())
        throw std::runtime_error("vcam::Testbed needs umockdev's preload: run the program under umockdev-wrapper");
}

Testbed::~Testbed() {
    g_object_unref(testbed_);
}

void Testbed::present(const Description& description) {
    // A fresh testbed: umockdev keeps device nodes of removed records.
    g_object_unref(testbed_);
    testbed_ = umockdev_testbed_new();
    const std::string records = udevRecords(description);
    GError* error = nullptr;
    if (!records.empty() && !umockdev_testbed_add_from_string(testbed_, records.c_str(), &error)) {
        std::string message = error ? error->message : "unknown error";
        g_clear_error(&error);
        throw std::runtime_error("umockdev testbed: " + message);
    }
    install(description);
}

} // namespace vcam
