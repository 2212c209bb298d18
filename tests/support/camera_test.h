// The fixture of every test that talks to a camera: the virtual cameras of a
// description, shown to libudev through umockdev and served by the linked-in
// device, and a library state as fresh as at load.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "description.h"
#include "scene.h"
#include "state.h"
#include "testbed.h"
#include "vcam.h"

namespace velcap::test {

// Returns the library to its state at load, as far as a test can see it.
void resetLibrary();

// Standard output of the library while fn runs.
template <typename Fn>
std::string stdoutOf(Fn&& fn) {
    std::fflush(stdout);
    ::testing::internal::CaptureStdout();
    fn();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
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
