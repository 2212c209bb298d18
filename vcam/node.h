// The device's inside: one Node per device node (a camera's capture node or
// its metadata node) and one OpenFile per open file description, shared by
// the registry (device.cpp), the requests (ioctl.cpp) and the frame ticker.
#pragma once

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <linux/videodev2.h>

#include "controls.h"
#include "description.h"
#include "scene.h"
#include "shared_state.h"

namespace vcam {

constexpr unsigned kMaxBuffers = 32;
constexpr unsigned kInvalidIndex = 99;
constexpr size_t kMaxEvents = 32;

struct Buffer {
    size_t offset = 0;
    uint32_t bytesUsed = 0;
    uint32_t sequence = 0;
    timeval timestamp{};
    bool queued = false;
    bool done = false;
    bool error = false;
};

struct OpenFile;

struct Node {
    Node(const Camera& c, bool metadataNode, uint64_t plugGeneration);

    Camera camera;       // its control values change with S_CTRL
    const bool metadata; // the camera's metadata node, as uvcvideo makes one
    const uint64_t generation;
    std::mutex mutex;
    std::condition_variable changed;

    uint32_t fourcc = 0;
    unsigned width = 0, height = 0, rate = 0;

    int memoryFile = -1;
    uint8_t* memory = nullptr;
    size_t bufferLength = 0, stride = 0;
    std::vector<Buffer> buffers;
    std::deque<unsigned> queue, done;
    OpenFile* owner = nullptr;     // the file that allocated the buffers
    shared::StreamLock streamLock; // held while owner is set: other processes get EBUSY

    std::vector<OpenFile*> files; // every open file of this node
    bool unplugged = false;
    bool streaming = false, stopTicker = false;
    std::thread ticker;
    std::shared_ptr<FrameSource> source;
    std::shared_ptr<PageShow> show; // the pages statement's frames, instead of source's
    uint64_t produced = 0, dequeued = 0, sequence = 0;
    uint64_t opens = 0;
    uint64_t controlWrites = 0; // VIDIOC_S_CTRL requests, for tests
    std::string sharedStamp;    // the shared state last read
};

struct Subscription {
    uint32_t id;
    uint32_t flags;
};

struct OpenFile {
    std::shared_ptr<Node> node;
    int eventFd = -1; // the descriptor handed out: readable while there is something to report
    bool signalled = false;
    v4l2_priority priority = V4L2_PRIORITY_DEFAULT;
    std::vector<Subscription> subscriptions;
    std::deque<v4l2_event> events;
    uint32_t eventSequence = 0;
};

// The requests of one open file (ioctl.cpp); the node's mutex is held.
int deviceIoctl(Node& n, OpenFile& file, int fd, unsigned long request, void* argument,
                std::unique_lock<std::mutex>& lock);

// Device-wide helpers, for ioctl.cpp; each is called with the node's mutex held.
int failWith(int error);
// Makes every file's descriptor readable exactly when it has something to report.
void updateSignals(Node& n);
void stopStreaming(Node& n, std::unique_lock<std::mutex>& lock);
void freeBuffers(Node& n);
// Takes in the state that other processes have written (controls, format, plug state).
void refreshShared(Node& n);
// Queues control events for the files subscribed to what changed; the changer
// hears of it only when it asked for feedback.
void announce(Node& n, const OpenFile* changer, const std::vector<ControlChange>& changes);
// The frames that this node sends at its format and size.
std::shared_ptr<FrameSource> framesOfNode(const Node& n);
// Starts the frame ticker.
void startTicker(Node& n);
// The priority of the most privileged open file of the node.
v4l2_priority highestPriority(const Node& n);

} // namespace vcam
