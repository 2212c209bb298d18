// Linked into the test programs of a ThreadSanitizer build. OpenCV's worker
// threads come from TBB, which is not built for the sanitizer, so it cannot
// see their hand-over and reports the library's parallel loops as races; the
// loops run on the calling thread instead.
#include <opencv2/core/utility.hpp>

namespace {

const bool serial = [] {
    cv::setNumThreads(1);
    return true;
}();

} // namespace
