// The description of the virtual cameras: one text drives both the udev
// records of the testbed and the V4L2 devices, so that the two always agree.
//
// Text format, one statement a line, '#' starts a comment:
//   camera NODE                  starts a camera: /dev/videoNODE
//   vendor XXXX / product XXXX   USB identifiers as udev gives them (lowercase hex)
//   no-ids                       the udev record has no ID_VENDOR_ID / ID_MODEL_ID
//   card TEXT                    card name (the rest of the line)
//   driver NAME / bus TEXT       driver and bus info of VIDIOC_QUERYCAP
//   format FOURCC WxH@FPS[,FPS...] ...   a pixel format and its discrete sizes, each with
//                                the frame rates it offers (the first is the default); FPS 0 = free-running
//   stepwise FOURCC MINWxMINH-MAXWxMAXH/STEP   a stepwise frame-size entry for that format
//   control NAME MIN MAX STEP DEFAULT [VALUE]   NAME as in controls.cpp (brightness,
//                                auto_exposure, focus_absolute ...); menus give item numbers
//   scene FILE                   a still image shown in place of the synthetic scene
//   free-running                 frames as fast as they are taken, for benchmarks
//   fault slow MS                each frame takes MS to make
//   clock real|frames            scene time by the wall clock (frames made too late are dropped) or by frames
//   mjpeg OPTION...              how MJPEG frames are encoded, as many UVC cameras do it:
//                                422 (chroma halved across only; 4:2:0 by default),
//                                no-huffman (no DHT segments: the standard tables apply)
//   first-frame MS               the first frame after STREAMON comes this late (as on
//                                real cameras, whose sensor starts then); 0 by default
//   pages COUNT SECONDS          the scene shows COUNT different pages, one after another,
//                                each lying still for SECONDS; between two, a hand-like
//                                shape sweeps across while the page is swapped (1.5 s)
//   desk KIND                    the synthetic scene on another desk: dark, mid, light,
//                                white or wood (the usual brown desk when not given)
//   hand on                      a hand-like shape lies over one corner of the page
//   perspective DEGREES          the camera tilts this far from straight down (0 to 30)
//   shadow on                    a soft shadow lies over one side of the page and the desk
//   page-pose N                  the page's place and turn on the desk, one of many (0 by default)
//   book on|page                 an open book instead of the page: two pages, or one alone
//                                (its text and fingers change with page-pose)
//   book-curve AMOUNT            how far its pages bend into the gutter, 0 (flat) to 1 (0.5)
//   fingers on                   fingers hold the book open on its outer margins
//   unplug FRAMES [replug MS]    the camera is pulled out after FRAMES frames: the node
//                                goes, every call fails with ENODEV; replugged MS later
//   fault ...                    see Faults
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace vcam {

struct FrameSize {
    unsigned width = 0;
    unsigned height = 0;
    unsigned fps = 30; // the default rate; 0: free-running
    bool stepwise = false;
    unsigned maxWidth = 0, maxHeight = 0, step = 0; // stepwise entries only
    std::vector<unsigned> rates = {};               // every rate offered, fps first (fps alone when empty)
};

struct Format {
    uint32_t fourcc = 0;
    std::vector<FrameSize> sizes;
};

// The encoding of MJPEG frames.
struct MjpegStyle {
    bool sampling422 = false;
    bool huffmanTables = true;
    bool operator<(const MjpegStyle& o) const {
        return std::tie(sampling422, huffmanTables) < std::tie(o.sampling422, o.huffmanTables);
    }
};

// The synthetic scene's desk, a hand over the page, and the camera's tilt.
struct DeskLook {
    std::string desk; // "" the usual desk; dark, mid, light, white, wood
    bool hand = false;
    double perspective = 0; // degrees from straight down
    unsigned pose = 0;      // the page's place and turn, one of many; odd poses print a picture on the page
    bool shadow = false;
    // An open book instead of the page: "" none, "spread" two pages, "page" one alone.
    std::string book;
    double bookCurve = 0.5; // 0 flat to 1 a thick book's bend
    bool fingers = false;   // fingers hold the book open
    bool usual() const { return desk.empty() && !hand && perspective == 0 && pose == 0 && !shadow && book.empty(); }
    bool operator<(const DeskLook& o) const {
        return std::tie(desk, hand, perspective, pose, shadow, book, bookCurve, fingers) <
               std::tie(o.desk, o.hand, o.perspective, o.pose, o.shadow, o.book, o.bookCurve, o.fingers);
    }
};

struct Control {
    uint32_t id = 0;
    int minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
};

// Ways to make the device misbehave, each off by default:
//   fault ioctl NAME ERRNO     that ioctl (VIDIOC_...) fails with the errno (name or number)
//   fault open ERRNO [N]       open fails (after N successful opens)
//   fault mmap ERRNO
//   fault grant N              REQBUFS grants N buffers whatever is asked
//   fault adjust WxH           TRY_FMT and S_FMT answer with this size
//   fault pixfmt FOURCC        G_FMT reports this pixel format
//   fault refuse FOURCC        TRY_FMT and S_FMT fail with EINVAL for this pixel format
//   fault unplug N [ERRNO]     DQBUF fails after N frames (ENODEV by default)
//   fault bad-index N          the frame after N frames comes with an invalid buffer index
//   fault mjpeg corrupt|truncated|empty [N]   MJPEG frames after N good ones are damaged
//   fault buffer-length BYTES  buffers have this length
//   fault bytesused BYTES      frames claim this many bytes
//   fault error-flag EVERY     every EVERY-th frame comes incomplete, with V4L2_BUF_FLAG_ERROR
struct Faults {
    std::map<std::string, int> ioctlErrno;
    int openErrno = 0;
    int openAfter = 0;
    int mmapErrno = 0;
    int grantBuffers = -1;
    unsigned adjustWidth = 0, adjustHeight = 0;
    uint32_t reportedFourcc = 0;
    uint32_t refusedFourcc = 0;
    int unplugAfter = -1;
    int unplugErrno = 19; // ENODEV
    int badIndexAfter = -1;
    enum class Mjpeg { None, Corrupt, Truncated, Empty } mjpeg = Mjpeg::None;
    int mjpegAfter = 0;
    size_t bufferLength = 0;
    size_t bytesUsed = 0;
    int errorEvery = 0;
    unsigned slowFrameMs = 0; // each frame takes this long to make: a camera slower than its rate
};

struct Camera {
    int node = 0;
    std::string vendor, product;
    bool udevIds = true;
    std::string card = "Virtual: Camera";
    std::string driver = "uvcvideo";
    std::string bus;
    std::string serial; // "VC1000" plus the node when empty
    std::vector<Format> formats;
    std::vector<Control> controls;
    std::string scene;
    DeskLook look;
    bool freeRunning = false;
    // Scene time: by frames (a frame a period, however slowly they are made),
    // or by the wall clock from STREAMON, so that frames a slow camera cannot
    // make in time are dropped, as a real sensor drops them.
    bool realClock = false;
    MjpegStyle mjpeg;
    unsigned firstFrameMs = 0;
    int pageCount = 0; // a show of pages instead of the one scene
    double pageSeconds = 0;
    // A capture button (an input device under the camera's USB device, as
    // uvcvideo makes one), pressed after this many frames and then every
    // buttonEvery frames (once when 0); never pressed when negative.
    bool button = false;
    int buttonAfter = -1, buttonEvery = 0;
    int unplugAfterFrames = -1; // a real-looking unplug after this many frames
    int replugMs = -1;          // and the replug this much later (never when negative)
    Faults faults;

    const Format* format(uint32_t fourcc) const;
    Format& formatToFill(uint32_t fourcc); // the format, added when missing
};

struct Description {
    std::vector<Camera> cameras;
    const Camera* camera(int node) const;
};

constexpr uint32_t fourcc(const char* s) {
    return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
           uint32_t(uint8_t(s[3])) << 24;
}

// Throws std::runtime_error naming the line that it cannot read.
Description parse(const std::string& text);
Description load(const std::string& path);
// The supported document camera on /dev/video0 and an unsupported webcam on /dev/video2.
Description defaultDescription();
const char* defaultDescriptionText();
// The default picture controls of a camera, for descriptions built in code.
std::vector<Control> defaultControls();

// The udev records (umockdev's text format) of the cameras, or of one camera:
// the USB device and interface, the capture node and, for uvcvideo, the
// metadata node after it, with the properties udev's rules give them.
std::string udevRecords(const Description& description, int only = -1);
// Where a camera's node lies in sysfs.
std::string videoSysfsPath(const Description& description, const Camera& camera, bool metadata);
// Whether a camera has a metadata node (uvcvideo, and the next node is free).
bool hasMetadataNode(const Description& description, const Camera& camera);

} // namespace vcam
