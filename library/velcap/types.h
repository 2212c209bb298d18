// velcap's shared types: cameras, results, controls, codes and log lines.
#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "export.h"

// Pictures read from files may have at most this many pixels (four times a
// 12-megapixel camera's picture); larger ones are refused from their header,
// before any memory is spent on them. Merged pictures obey it too.
#define VELCAP_MAX_PICTURE_PIXELS 48000000LL

namespace velcap {

// A camera as udev lists it, with the frame sizes of its preferred stream
// format. Two of one model are told apart by serial, else by port.
struct Device {
    std::string node, name, serial;
    unsigned vendor = 0, product = 0;
    std::vector<std::pair<int, int>> sizes;
    std::string port;      // where it is plugged in, as udev's ID_PATH names it
    bool supported = true; // a model of the table, not a camera listed by DeviceFilter::AnyCamera
};

// The keys of a camera's own button: its capture key, and its focus key
// where it has one.
enum class ButtonKey { Capture = 0, Focus = 1 };

// Which cameras devices() lists: the table's models, or also every other
// V4L2 camera that streams MJPEG or YUYV, after them.
enum class DeviceFilter { Supported = 0, AnyCamera = 1 };

// Every result of the object interface; describe() puts it in words.
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
    NothingAsked,      // the settings ask for no file (a colour mode outside 0 to 2); nothing is written
    NoOcrLanguages,    // Tesseract has not every language asked for, or cannot load them
    NotReadable,       // a picture file is missing, not a regular file, refused or damaged
};

VELCAP_EXPORT const char* describe(Status status);

// A picture control of the camera (brightness, focus, ...), by its V4L2 identifier.
struct Control {
    unsigned id = 0;
    std::string name;
    int minimum = 0, maximum = 0, step = 1, defaultValue = 0, value = 0;
};

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

// What the library's log lines are about, and how much they matter.
enum class LogLevel { Debug, Info, Warning, Error };
// Receives every line of the library (on whichever thread wrote it) in place
// of standard output; an empty function restores standard output.
VELCAP_EXPORT void setLogHandler(std::function<void(LogLevel, const char* category, const char* text)> handler);

} // namespace velcap
