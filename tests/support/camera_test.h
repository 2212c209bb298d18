// The fixture of every test that talks to a camera: the virtual cameras of a
// description, shown to libudev through umockdev and served by the linked-in
// device, and a library state as fresh as at load.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "compat/state.h"
#include "description.h"
#include "scene.h"
#include "testbed.h"
#include "vcam.h"

namespace velcap::test {

// Returns the library to its state at load, as far as a test can see it.
void resetLibrary();

// What the library said while fn ran (its log sink; on any thread).
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;
    std::string text() const;

private:
    size_t depth_;
};

template <typename Fn>
std::string stdoutOf(Fn&& fn) {
    LogCapture capture;
    fn();
    return capture.text();
}

// One camera of a description that tests can change before presenting it.
vcam::Camera documentCamera(int node = 0, const std::string& product = "0801");

class CameraTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Presents these cameras instead of the default ones.
    void present(const vcam::Description& description);
    void present(const vcam::Camera& camera) { present(vcam::Description{{camera}}); }
};

} // namespace velcap::test
