// Helpers shared by the files of the device layer.
#pragma once

#include <cstddef>

#include <opencv2/core.hpp>

#include "../velcap.h"

namespace velcap {

// Unmaps what a failed open left mapped and closes cam_fd; for a descriptor
// that no stream thread uses.
void closeLeftoverDescriptor();
// Before a camera is opened again: a descriptor left by a failed open is
// closed, or the streaming camera is closed; each prints its caller's line.
void closeBeforeReopening(const char* leftoverLine, const char* streamingLine);

// The size of the stream thread's raw-frame buffer: at least nSize, and at
// least the largest mapped driver buffer.
size_t rawFrameBytes();

// Blocks until the open camera has a filled buffer, or until bKeep is cleared.
// Returns false when the stream thread is to stop.
bool waitForFrame();

// Decodes one MJPEG frame into destination (R, G, B, of the stream's size);
// false when the frame yields no whole picture, which is then not to be used.
bool decodeMjpegFrame(unsigned char* data, int length, cv::Mat& destination);

// Whether the calling thread is the stream thread of the open camera.
bool onStreamThread();
// Called once by the stream thread when it starts.
void markStreamThread();

// The stages of the stream thread that serve the host's requests on the
// delivered frame (empty for an orientation the library does not know).
void serveCapture(const cv::Mat& frame);
void serveRecognition(const cv::Mat& frame);
// The auto-capture stage, and forgetting what it saw (when a camera opens).
// Exported for the benchmark.
VELCAP_EXPORT void autoCaptureStage(const cv::Mat& frame);
VELCAP_EXPORT void resetAutoCapture();
// Marks whether a stream thread runs; the end wakes every waiting caller.
void setStreaming(bool on);

} // namespace velcap
