// velcap's object interface: one Camera per open camera, each with its own
// descriptor, buffers, decoder, stream thread and settings, so that one
// process can stream from several cameras at once.
//
//     for (const velcap::Device& d : velcap::devices()) ...
//     velcap::Camera camera;
//     camera.setFrameCallback([](const velcap::Frame& f) { show(f.rgb, f.width, f.height); });
//     if (camera.open(device, 1920, 1080) == velcap::Status::Ok) camera.capture("page.jpg");
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "documents.h"
#include "export.h"
#include "types.h"

namespace velcap {

// The cameras plugged in now: every one of the table's models, two of a
// model included, in table order and then by port; with AnyCamera, the
// other cameras follow by port, with supported false.
VELCAP_EXPORT std::vector<Device> devices(DeviceFilter filter = DeviceFilter::Supported);

// Called on a thread of the library when a supported camera is plugged in
// (added) or unplugged; an unplugged device has its node, IDs and serial.
// An empty function stops it.
VELCAP_EXPORT void setDeviceCallback(std::function<void(const Device& device, bool added)> callback);

// One decoded frame: rows top to bottom, stride bytes apart, bytes R, G, B.
// Valid only during the callback that receives it.
struct Frame {
    int width = 0, height = 0, stride = 0;
    const unsigned char* rgb = nullptr; // null for a frame delivered undecoded (setJpegOnly)
    std::uint64_t sequence = 0;
    // When the camera sent this picture as JPEG and the library did not
    // change it (no turn), its bytes as they came; else null. Like rgb, valid
    // during the callback only. Cameras often leave out the Huffman tables.
    const unsigned char* jpeg = nullptr;
    std::size_t jpegSize = 0;
    // When the camera took it: CLOCK_MONOTONIC (steady_clock here), in ns.
    std::int64_t timestamp = 0;
};

// The stream's pixel format: MJPEG (smaller frames, high rates) or YUYV.
enum class PixelFormat { Mjpeg = 0, Yuyv = 1 };

// How a capture frames the page: the whole frame, the rectangle round the
// page outline (straightened), the page's quadrilateral warped upright, or
// the box round that quadrilateral as it lies.
enum class Crop { None = 0, Outline = 1, Quad = 2, QuadBox = 3 };

// A camera's capture settings. Each frame takes one copy of them, so a
// change made while a frame is processed applies from the next one.
struct CaptureSettings {
    Crop crop = Crop::None;
    int colorMode = 0;    // 0 colour, 1 grey, 2 black and white (adaptive)
    int jpegQuality = 85; // 1 to 100
    bool removeBlackEdge = false;
    bool whitenBackground = false;
    int rotation = 0;   // quarter turns clockwise, 0 to 3
    int fileFormat = 0; // auto-capture's files: 0 jpg, 1 bmp, 2 png, 3 tif, 4 gif (a JPEG), 5 pdf
    // PDF captures get the page's text under the picture, read by Tesseract
    // in these languages ("chi_sim+eng"): searchable, and copied as text.
    // None when empty.
    std::string ocrLanguages;
    // PDF captures are written as PDF/A-1b, for archives.
    bool pdfA = false;
};

// Auto-capture: each new page laid under the camera is photographed once,
// when it has lain still, into folder with a time-stamped name.
struct AutoCapture {
    bool on = false;
    std::string folder;
    std::function<void(const std::string& path)> captured;                       // on the stream thread
    std::function<void(const std::string& path, const std::string& why)> failed; // once per page
};

// Scanning the page on the desk as a flatbed scanner would: the platen is an
// A4 sheet, in 1/300 inch (2480 x 3508).
constexpr int kPlatenWidth = 2480, kPlatenHeight = 3508;

// What a scan asks for.
struct ScanSettings {
    int dpi = 300;     // 75 to 600
    int colorMode = 0; // 0 colour, 1 grey, 2 black and white (1 bit a pixel where the format has it)
    // The region from the platen's top-left corner, in 1/300 inch; a width or
    // height of 0 reaches the platen's edge. Cut at the platen's edges.
    int x = 0, y = 0, width = 0, height = 0;
    std::string format = "jpg"; // jpg, png or pdf (a page at the scan's true size)
    int jpegQuality = 85;       // also a colour or grey PDF's
};

// A scan, in memory only.
struct Scan {
    std::vector<unsigned char> bytes; // the file's bytes
    int width = 0, height = 0;        // in pixels at the asked resolution
    bool pageFound = false;           // else it is the whole frame
};

class VELCAP_EXPORT Camera {
public:
    Camera();
    ~Camera(); // closes the camera
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    // Opens the camera's node and starts streaming at this size (a size the
    // driver adjusts is taken as it delivers it). An open camera is closed first.
    Status open(const Device& device, int width, int height, PixelFormat format = PixelFormat::Mjpeg);
    // Stops the stream thread, waits for it, and releases the camera. From
    // this camera's own frame callback it only stops the stream.
    void close();
    bool isOpen() const;
    int width() const; // of the delivered frames before any turn
    int height() const;
    std::string node() const;

    // Runs on this camera's stream thread for every delivered frame.
    void setFrameCallback(std::function<void(const Frame&)> callback);
    // Runs on a thread of the library for each press of the camera's own
    // button while it is open. A camera without a button, or whose button
    // this user may not read, never calls it. Empty stops it.
    void setButtonCallback(std::function<void(ButtonKey key)> callback);
    // Whether the open camera has a button that the library hears.
    bool hasButton() const;
    // Off by default. When on and the camera streams MJPEG, a frame that
    // nothing of the library looks at (no request, no auto-capture, no crop
    // or turn in the settings) is not decoded: the callback gets its JPEG
    // bytes with rgb null. Frames a stage decodes come with their pixels as usual.
    void setJpegOnly(bool on);
    // Off (0 x 0) by default: the callback gets whole frames. With a size,
    // it gets frames reduced by 2, 4 or 8, as far as they still cover
    // width x height (as the callback gets them, turned); a frame that no
    // request or stage needs whole is decoded at that size (libjpeg-turbo's
    // DCT scaling, or YUYV subsampled), for a fraction of a whole decode.
    // Reduced frames come without their JPEG bytes. Requests and captures
    // are served from whole frames as always.
    void setPreviewSize(int width, int height);
    // Off by default. When on, recognise goes on where the usual recognition
    // reads nothing: zxing-cpp, also on the picture with its contrast
    // equalised and enlarged.
    void setEnhancedRecognition(bool on);
    // How many frames this camera decoded: what a host pays for pixels.
    std::uint64_t decodedFrames() const;

    void setCaptureSettings(const CaptureSettings& settings);
    CaptureSettings captureSettings() const;

    // Saves the next frame to path, by its extension (jpg, bmp, png, tif, pdf),
    // with this camera's settings. An older file at path stays unless a
    // complete new one replaces it. The stream thread only takes the frame:
    // cleaning, encoding and OCR run on the caller's thread, and a PDF's
    // picture is encoded in memory, so nothing is written but path.
    Status capture(const std::string& path);
    // The same with this request's own settings; the camera's stay as they are.
    Status capture(const std::string& path, const CaptureSettings& settings);
    // Scans the next frame: the page's quadrilateral found on it (or the one
    // the preview tracks) and straightened, else the whole frame; fitted to
    // the platen at its own shape from the top-left corner, which an A4 page
    // fills; white where it does not reach; then the region cut out. Nothing
    // is written anywhere. NothingAsked for a resolution, colour mode, format
    // or region outside the ranges above (or beyond the library's pixel limit).
    Status scan(const ScanSettings& settings, Scan& out);
    // Reads the first code of the type (0 a bar code, 1 a QR code) on the
    // next frame, as RecogBarQrCode does; text is empty when there is none.
    Status recognise(int type, std::string& text);
    // Every code of the asked kinds on the next frame, places in the frame as
    // the frame callback gets it. The stream thread only copies the frame;
    // the reading runs on the caller's thread.
    Status readCodes(const CodeOptions& options, std::vector<Code>& codes);
    // Whether a page has been found for the crop in use since the camera opened.
    bool hasPageOutline() const;

    std::vector<Control> controls() const;
    Status control(unsigned id, Control& out) const;
    Status setControl(unsigned id, int value);

    void setAutoCapture(AutoCapture settings);

    // Off by default. When on, a camera unplugged while it streams is waited
    // for and opened again by itself when it comes back (the same IDs and
    // serial, else the same USB port), at the same size and format, with the
    // control values set through setControl. Meanwhile requests fail at once
    // (NotOpen) and the frame callback gets nothing.
    void setAutoReconnect(bool on);
    // Whether the camera is unplugged and waited for.
    bool isAway() const;
    // Called on the stream thread when the camera goes (true) and when it is
    // back and streams again (false), with auto-reconnect on. Set before open.
    void setAwayCallback(std::function<void(bool away)> callback);
    // Off by default. When on, the values of named controls set through
    // setControl are kept per camera (IDs and serial, else USB port) in
    // $XDG_CONFIG_HOME/velcap/devices/, and applied whenever it opens.
    void setDeviceProfiles(bool on);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace velcap
