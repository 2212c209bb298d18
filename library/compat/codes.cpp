// The flat interface's code recognition: the chain's steps under their flat
// names, and the switch of the enhanced recognition, kept by the flat camera.
#include "../codes/barcode.h"
#include "../guard.h"
#include "flat.h"
#include "state.h"

std::string ZbarDecoder(cv::Mat image, int type) {
    return velcap::guarded("ZbarDecoder", std::string(), [&] { return velcap::scanGrey(image, type, "ZbarDecoder"); });
}

std::string GetQRInBinImg(cv::Mat bw, int type) {
    return velcap::guarded("GetQRInBinImg", std::string(),
                           [&] { return velcap::scanBinary(bw, type, "GetQRInBinImg"); });
}

std::string GetQR(cv::Mat grey, int type) {
    return velcap::guarded("GetQR", std::string(), [&] { return velcap::scanChain(grey, type, "GetQR"); });
}

std::string BarQrDecodePro(cv::Mat frame, int type) {
    return velcap::recogniseFrame(frame, type, velcap::flatSession().enhancedRecognition());
}

extern "C" const char* RecogBarQrCodeFromFile(const char* path, int type) {
    static std::string text; // valid until the next call
    return velcap::guarded("RecogBarQrCodeFromFile", static_cast<const char*>(nullptr), [&] {
        return velcap::readFileCode(path, type, velcap::flatSession().enhancedRecognition(), text);
    });
}

extern "C" void SetRecogEnhanced(int on) {
    velcap::flatSession().setEnhancedRecognition(on == 1);
}
