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

#include "export.h"

namespace velcap {

// A supported camera as udev lists it, with the frame sizes of its
// preferred stream format.
struct Device {
    std::string node, name, serial;
    unsigned vendor = 0, product = 0;
    std::vector<std::pair<int, int>> sizes;
};

// The supported cameras plugged in now, in the order of the model table.
VELCAP_EXPORT std::vector<Device> devices();

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

enum class Status {
    Ok = 0,
    NoDevice,          // no such camera
    NoSizes,           // the camera lists no frame size
    BadSize,           // not a frame size
    OpenFailed,        // the node could not be opened
    FormatRefused,     // the driver refused the stream format
    FormatNotSet,      // the driver did not take the format
    FormatUnreadable,  // the driver did not tell the format it set
    BuffersRefused,    // the driver gave no buffers
    TooFewBuffers,     // the driver gave fewer buffers than asked
    BufferQueryFailed, // a buffer could not be described
    MapFailed,         // a buffer could not be mapped
    QueueFailed,       // a buffer could not be queued
    StreamFailed,      // the stream could not be started
    ThreadFailed,      // the stream thread could not be started
    OnStreamThread,    // called from this camera's own frame callback
    NotOpen,           // the camera is not streaming
    StreamStopped,     // the stream ended before the request was served
    NotServed,         // the stream thread did not take the request in time
    BadPath,           // an empty or too long path
    NotWritten,        // the file could not be written; an older file there is kept
    NoControl,         // the camera has no such control
    OutOfRange,        // a value outside the control's range
    ControlFailed,     // the control could not be read or set
};

VELCAP_EXPORT const char* describe(Status status);

// A bar code or QR code read from a picture: its kind as zbar names it
// ("QR-Code", "EAN-13", "CODE-128", ...), its text (a QR code's in UTF-8,
// GB18030 and Shift-JIS bytes included) and where it lies: the corners
// (or, for a bar code, the points of its scan lines) in picture pixels;
// empty where the reader that found it tells no place.
struct CodePoint {
    int x = 0, y = 0;
};
struct Code {
    std::string type, text;
    std::vector<CodePoint> place;
};
struct CodeOptions {
    bool qr = true, bar = true; // the kinds to read
    // Where neither zbar nor zxing-cpp reads anything: the enhanced
    // recognition's binarisations and enlarged pictures too (slower).
    bool enhanced = false;
};

// Paper for pages: their size in millimetres.
enum class Paper { None, A4, A5, Letter };

// How pictures become pages and files.
struct PageOptions {
    // On paper: the picture at its true size (dpi is then needed), centred,
    // or fitted to the page. None: the page is the picture.
    Paper paper = Paper::None;
    bool fit = false;
    // The picture's resolution, recorded in the file (JPEG, PNG, TIFF, the
    // PDF's page size); 0 when unknown.
    int dpi = 0;
    int jpegQuality = 85;
    // At most this many bytes a file (0: no limit): the JPEG quality is
    // lowered until it fits; a PDF's pictures may also be scaled down to 200 dpi.
    long maxBytes = 0;
    // Black and white, 1 bit a pixel: CCITT G4 in TIFF and PDF, as scanners write.
    bool blackAndWhite = false;
};

// The highest resolution at which a page of this paper (A4 for None) stays
// within the library's pixel limit, so that every reader of it takes the file.
VELCAP_EXPORT int mostDpi(Paper paper);

// Writes picture files to out: a page each into a .pdf, or the one picture
// into a .jpg, .png or .tif. BadPath for another name; NotWritten when a
// picture cannot be read, the budget cannot be met, or the file not written
// (an existing file then stays as it was).
VELCAP_EXPORT Status writePages(const std::vector<std::string>& pictures, const std::string& out,
                                const PageOptions& options);

// The copy of an identity card (85.6 x 54 mm) that counters make: front and
// back found on their photographs, cut out straight, and put on one A4 page at
// true size, front above back, centred. out is .pdf, .jpg or .png; options'
// paper and fit are A4 and false, its dpi is the page's (300 when 0).
// NotWritten when a card is not found or out cannot be written.
VELCAP_EXPORT Status makeIdCardCopy(const std::string& front, const std::string& back, const std::string& out,
                                    PageOptions options = {});

// A PDF of picture files, a page each, with each page's text read by
// Tesseract in the languages ("chi_sim+eng") lying invisible under its
// picture: searchable, and copied as text. No text when languages is empty.
// Pages are read one a core at a time; progress(done, total) after each, on
// a thread of the library, one call at a time. NotWritten when a picture cannot be read or the
// file cannot be written.
VELCAP_EXPORT Status makeSearchablePdf(const std::vector<std::string>& pictures, const std::string& pdfPath,
                                       const std::string& languages,
                                       const std::function<void(int done, int total)>& progress = {});

// Whether Tesseract has a model for every language of "chi_sim+eng"; why
// not, when not (a language not installed, or a name that is not one).
VELCAP_EXPORT bool ocrLanguagesInstalled(const std::string& languages, std::string* why = nullptr);

// What the library's log lines are about, and how much they matter.
enum class LogLevel { Debug, Info, Warning, Error };
// Receives every line of the library (on whichever thread wrote it) in place
// of standard output; an empty function restores standard output.
VELCAP_EXPORT void setLogHandler(std::function<void(LogLevel, const char* category, const char* text)> handler);

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
};

// A picture control of the camera (brightness, focus, ...), by its V4L2 identifier.
struct Control {
    unsigned id = 0;
    std::string name;
    int minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
};

// Auto-capture: each new page laid under the camera is photographed once,
// when it has lain still, into folder with a time-stamped name.
struct AutoCapture {
    bool on = false;
    std::string folder;
    std::function<void(const std::string& path)> captured;                       // on the stream thread
    std::function<void(const std::string& path, const std::string& why)> failed; // once per page
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
    // Off by default. When on and the camera streams MJPEG, a frame that
    // nothing of the library looks at (no request, no auto-capture, no crop
    // or turn in the settings) is not decoded: the callback gets its JPEG
    // bytes with rgb null. Frames a stage decodes come with their pixels as usual.
    void setJpegOnly(bool on);
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

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace velcap
