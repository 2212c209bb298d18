// A camera's profile as anything may have written it: read when the camera
// opens, then kept again with one value changed.
#include <cstdlib>
#include <sys/stat.h>

#include "core/profile.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet();
    const std::string config = fuzz::folder() + "/config";
    ::mkdir(config.c_str(), 0700);
    ::mkdir((config + "/velcap").c_str(), 0700);
    ::mkdir((config + "/velcap/devices").c_str(), 0700);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::Input input(data, size);
    const uint8_t choice = input.byte();
    velcap::Identity identity{"31a5", "0801", "VC1000", ""};
    const std::string path = velcap::profilePath(identity);
    fuzz::write(path, input.take(input.left()));
    const auto values = velcap::loadProfile(identity);
    if (choice & 1) velcap::saveToProfile(identity, values.empty() ? "brightness" : values.front().first, choice);
    return 0;
}
