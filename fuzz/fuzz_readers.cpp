// The functions that read a picture file named by the host: recognition and
// black-edge removal, which also writes the file back.
#include "fuzz_support.h"
#include "picture_size.h"
#include "velcap.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::quiet();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const kExtensions[] = {".png", ".jpg", ".bmp", ".tif", ".gif"};
    fuzz::Input input(data, size);
    const uint8_t choice = input.byte();
    std::string path = fuzz::folder() + "/picture" + kExtensions[choice % 5];
    fuzz::write(path, input.take(input.left()));
    if (!fuzz::smallPicture(path)) return 0;
    RecogBarQrCodeFromFile(path.c_str(), choice & 0x10 ? 1 : 0);
    if (choice & 0x20)
        FN_DeleteBlackEdgeEx(path.data());
    else
        FN_DeleteBlackEdgeEx2(path.data());
    return 0;
}
