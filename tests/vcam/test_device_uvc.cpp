// The virtual camera behaves as a uvcvideo device does where programs notice:
// controls and their events, frame rates, poll, duplicated and non-blocking
// descriptors, relative paths and raw system calls, dropped and damaged
// frames, a second streamer, and unplugging.
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <libudev.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "support/camera_test.h"

using velcap::test::CameraTest;
using velcap::test::documentCamera;
using namespace std::chrono_literals;

namespace {

// Memory-mapped streaming on one descriptor, as a program does it.
class Streamer {
public:
    explicit Streamer(int fd) : fd_(fd) {}
    ~Streamer() {
        for (void* map : maps_) ::munmap(map, length_);
    }

    int request(unsigned count) {
        v4l2_requestbuffers req{};
        req.count = count;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        return ioctl(fd_, VIDIOC_REQBUFS, &req) == 0 ? int(req.count) : -errno;
    }
    bool start(unsigned count = 4) {
        if (request(count) <= 0) return false;
        for (unsigned i = 0; i < count; ++i) {
            v4l2_buffer buf = buffer(i);
            if (ioctl(fd_, VIDIOC_QUERYBUF, &buf) != 0) return false;
            length_ = buf.length;
            maps_.push_back(::mmap(nullptr, buf.length, PROT_READ, MAP_SHARED, fd_, buf.m.offset));
            if (ioctl(fd_, VIDIOC_QBUF, &buf) != 0) return false;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        return ioctl(fd_, VIDIOC_STREAMON, &type) == 0;
    }
    // 0, or the errno of DQBUF.
    int dequeue(v4l2_buffer& buf) {
        buf = buffer(0);
        return ioctl(fd_, VIDIOC_DQBUF, &buf) == 0 ? 0 : errno;
    }
    int requeue(v4l2_buffer& buf) { return ioctl(fd_, VIDIOC_QBUF, &buf) == 0 ? 0 : errno; }

private:
    static v4l2_buffer buffer(unsigned index) {
        v4l2_buffer buf{};
        buf.index = index;
        buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        buf.memory = V4L2_MEMORY_MMAP;
        return buf;
    }

    int fd_;
    size_t length_ = 0;
    std::vector<void*> maps_;
};

class Uvc : public CameraTest {
protected:
    int openNode(const char* path = "/dev/video0", int flags = O_RDWR) {
        int fd = ::open(path, flags);
        EXPECT_GE(fd, 0) << path << ": " << std::strerror(errno);
        return fd;
    }
    static int setControl(int fd, uint32_t id, int value) {
        v4l2_control c{id, value};
        return ioctl(fd, VIDIOC_S_CTRL, &c) == 0 ? c.value : -errno;
    }
    static int getControl(int fd, uint32_t id) {
        v4l2_control c{id, 0};
        return ioctl(fd, VIDIOC_G_CTRL, &c) == 0 ? c.value : -errno;
    }
    static uint32_t flagsOf(int fd, uint32_t id) {
        v4l2_query_ext_ctrl q{};
        q.id = id;
        return ioctl(fd, VIDIOC_QUERY_EXT_CTRL, &q) == 0 ? q.flags : ~0u;
    }
};

TEST_F(Uvc, ControlsRoundToTheirStepAndFollowTheirAutomaticMode) {
    int fd = openNode();
    EXPECT_EQ(setControl(fd, V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4603), 4600);
    EXPECT_EQ(setControl(fd, V4L2_CID_WHITE_BALANCE_TEMPERATURE, 4606), 4610);
    EXPECT_EQ(setControl(fd, V4L2_CID_WHITE_BALANCE_TEMPERATURE, 99999), 6500);

    // Manual values are inactive while the automatic mode is on.
    EXPECT_TRUE(flagsOf(fd, V4L2_CID_WHITE_BALANCE_TEMPERATURE) & V4L2_CTRL_FLAG_INACTIVE);
    EXPECT_TRUE(flagsOf(fd, V4L2_CID_EXPOSURE_ABSOLUTE) & V4L2_CTRL_FLAG_INACTIVE);
    EXPECT_TRUE(flagsOf(fd, V4L2_CID_FOCUS_ABSOLUTE) & V4L2_CTRL_FLAG_INACTIVE);
    EXPECT_TRUE(flagsOf(fd, V4L2_CID_AUTO_WHITE_BALANCE) & V4L2_CTRL_FLAG_UPDATE);
    EXPECT_EQ(setControl(fd, V4L2_CID_AUTO_WHITE_BALANCE, 0), 0);
    EXPECT_FALSE(flagsOf(fd, V4L2_CID_WHITE_BALANCE_TEMPERATURE) & V4L2_CTRL_FLAG_INACTIVE);
    EXPECT_EQ(setControl(fd, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL), V4L2_EXPOSURE_MANUAL);
    EXPECT_FALSE(flagsOf(fd, V4L2_CID_EXPOSURE_ABSOLUTE) & V4L2_CTRL_FLAG_INACTIVE);

    // Menus: only the items the camera offers.
    EXPECT_EQ(setControl(fd, V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_AUTO), -EINVAL);
    EXPECT_EQ(setControl(fd, V4L2_CID_POWER_LINE_FREQUENCY, 3), -ERANGE);
    std::vector<std::string> items;
    for (uint32_t i = 0; i < 4; ++i) {
        v4l2_querymenu menu{};
        menu.id = V4L2_CID_EXPOSURE_AUTO;
        menu.index = i;
        if (ioctl(fd, VIDIOC_QUERYMENU, &menu) == 0) items.push_back(reinterpret_cast<char*>(menu.name));
    }
    EXPECT_EQ(items, (std::vector<std::string>{"Manual Mode", "Aperture Priority Mode"}));

    // Extended controls: several at once, all or none.
    v4l2_ext_control pair[2] = {};
    pair[0].id = V4L2_CID_ZOOM_ABSOLUTE;
    pair[0].value = 4;
    pair[1].id = V4L2_CID_FOCUS_AUTO;
    pair[1].value = 0;
    v4l2_ext_controls set{};
    set.which = V4L2_CTRL_WHICH_CUR_VAL;
    set.count = 2;
    set.controls = pair;
    ASSERT_EQ(ioctl(fd, VIDIOC_S_EXT_CTRLS, &set), 0);
    EXPECT_EQ(getControl(fd, V4L2_CID_ZOOM_ABSOLUTE), 4);
    EXPECT_EQ(getControl(fd, V4L2_CID_FOCUS_AUTO), 0);
    pair[0].value = 7;
    pair[1].id = V4L2_CID_HFLIP; // not a control of this camera
    EXPECT_EQ(ioctl(fd, VIDIOC_S_EXT_CTRLS, &set), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(set.error_idx, 2u);
    EXPECT_EQ(getControl(fd, V4L2_CID_ZOOM_ABSOLUTE), 4) << "nothing changed";
    set.which = V4L2_CTRL_WHICH_DEF_VAL;
    set.count = 1;
    ASSERT_EQ(ioctl(fd, VIDIOC_G_EXT_CTRLS, &set), 0);
    EXPECT_EQ(pair[0].value, 0);
    ::close(fd);
}

TEST_F(Uvc, ControlEventsReachTheOtherDescriptors) {
    int watcher = openNode();
    int setter = openNode();
    v4l2_event_subscription sub{};
    sub.type = V4L2_EVENT_CTRL;
    sub.id = V4L2_CID_AUTO_WHITE_BALANCE;
    sub.flags = V4L2_EVENT_SUB_FL_SEND_INITIAL;
    ASSERT_EQ(ioctl(watcher, VIDIOC_SUBSCRIBE_EVENT, &sub), 0);
    sub.id = V4L2_CID_WHITE_BALANCE_TEMPERATURE;
    sub.flags = 0;
    ASSERT_EQ(ioctl(watcher, VIDIOC_SUBSCRIBE_EVENT, &sub), 0);

    pollfd p{watcher, POLLPRI, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_EQ(p.revents, POLLPRI);
    v4l2_event event{};
    ASSERT_EQ(ioctl(watcher, VIDIOC_DQEVENT, &event), 0);
    EXPECT_EQ(event.id, unsigned(V4L2_CID_AUTO_WHITE_BALANCE));
    EXPECT_EQ(event.u.ctrl.value, 1);
    EXPECT_EQ(ioctl(watcher, VIDIOC_DQEVENT, &event), -1);
    EXPECT_EQ(errno, ENOENT);

    // Automatic white balance off: its value changes, and the temperature becomes active.
    ASSERT_EQ(setControl(setter, V4L2_CID_AUTO_WHITE_BALANCE, 0), 0);
    fd_set exceptional;
    FD_ZERO(&exceptional);
    FD_SET(watcher, &exceptional);
    timeval timeout{1, 0};
    ASSERT_EQ(::select(watcher + 1, nullptr, nullptr, &exceptional, &timeout), 1);
    std::vector<std::pair<uint32_t, uint32_t>> seen;
    while (ioctl(watcher, VIDIOC_DQEVENT, &event) == 0) seen.emplace_back(event.id, event.u.ctrl.changes);
    EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, uint32_t>>{
                        {V4L2_CID_AUTO_WHITE_BALANCE, V4L2_EVENT_CTRL_CH_VALUE},
                        {V4L2_CID_WHITE_BALANCE_TEMPERATURE, V4L2_EVENT_CTRL_CH_FLAGS}}));
    ::close(setter);
    ::close(watcher);
}

TEST_F(Uvc, FrameRatesAreOfferedAndChosen) {
    int fd = openNode();
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix = {3264, 2448, V4L2_PIX_FMT_MJPEG, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(ioctl(fd, VIDIOC_S_FMT, &fmt), 0);
    EXPECT_EQ(fmt.fmt.pix.priv, unsigned(V4L2_PIX_FMT_PRIV_MAGIC));

    std::vector<unsigned> rates;
    v4l2_frmivalenum interval{};
    interval.pixel_format = V4L2_PIX_FMT_MJPEG;
    interval.width = 3264;
    interval.height = 2448;
    for (; ioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &interval) == 0; ++interval.index)
        rates.push_back(interval.discrete.denominator / interval.discrete.numerator);
    EXPECT_EQ(rates, (std::vector<unsigned>{15, 10, 5}));

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    parm.parm.capture.timeperframe = {1, 9};
    ASSERT_EQ(ioctl(fd, VIDIOC_S_PARM, &parm), 0);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 10u) << "the nearest offered rate";
    parm = {};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(ioctl(fd, VIDIOC_G_PARM, &parm), 0);
    EXPECT_EQ(parm.parm.capture.timeperframe.denominator, 10u);
    EXPECT_TRUE(parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
    ::close(fd);
}

TEST_F(Uvc, PollAndNonBlockingFollowTheStream) {
    int fd = openNode();
    // Before STREAMON, poll and select report an error at once.
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(p.revents, POLLERR);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeout{5, 0};
    EXPECT_EQ(::select(fd + 1, &readable, nullptr, nullptr, &timeout), 1);

    // O_NONBLOCK set afterwards counts for DQBUF.
    Streamer stream(fd);
    ASSERT_TRUE(stream.start(2));
    ASSERT_EQ(::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK), 0);
    v4l2_buffer buf;
    while (stream.dequeue(buf) == 0) stream.requeue(buf);
    EXPECT_EQ(errno, EAGAIN);
    p = {fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 5000), 1);
    EXPECT_EQ(p.revents, POLLIN | POLLRDNORM);
    EXPECT_EQ(stream.dequeue(buf), 0);

    // STREAMOFF returns every buffer: all can be queued again.
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(ioctl(fd, VIDIOC_STREAMOFF, &type), 0);
    for (unsigned i = 0; i < 2; ++i) {
        v4l2_buffer again{};
        again.index = i;
        again.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        again.memory = V4L2_MEMORY_MMAP;
        EXPECT_EQ(stream.requeue(again), 0) << i;
    }
    ::close(fd);
}

TEST_F(Uvc, DuplicatesRelativePathsAndRawSystemCallsReachTheDevice) {
    auto works = [](int fd) {
        v4l2_capability cap{};
        return ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && cap.device_caps & V4L2_CAP_VIDEO_CAPTURE;
    };
    int fd = openNode();
    int spare = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(::dup2(fd, spare), spare);
    EXPECT_TRUE(works(spare)) << "dup2";
    int above = ::fcntl(fd, F_DUPFD_CLOEXEC, 100);
    ASSERT_GE(above, 100);
    EXPECT_TRUE(works(above)) << "F_DUPFD_CLOEXEC";
    // dup2 over a descriptor of the device closes that one.
    int null = ::open("/dev/null", O_RDONLY);
    ASSERT_EQ(::dup2(null, above), above);
    v4l2_capability cap{};
    EXPECT_EQ(ioctl(above, VIDIOC_QUERYCAP, &cap), -1);
    for (int d : {fd, spare, above, null}) ::close(d);

    int folder = ::open("/dev", O_RDONLY | O_DIRECTORY);
    ASSERT_GE(folder, 0);
    int relative = ::openat(folder, "video0", O_RDWR);
    EXPECT_TRUE(works(relative)) << "openat relative to /dev";
    ::close(relative);
    ::close(folder);
    char here[4096];
    ASSERT_TRUE(::getcwd(here, sizeof(here)));
    ASSERT_EQ(::chdir("/tmp"), 0);
    relative = ::open("../dev/./video0", O_RDWR);
    EXPECT_TRUE(works(relative)) << "a relative path with dots";
    ::close(relative);
    ASSERT_EQ(::chdir(here), 0);

    // libv4l2 calls the kernel through syscall(2).
    long raw = ::syscall(SYS_openat, AT_FDCWD, "/dev/video0", O_RDWR, 0);
    ASSERT_GE(raw, 0);
    EXPECT_EQ(::syscall(SYS_ioctl, raw, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(cap.card)), "Orvida: DocCam S8");
    EXPECT_EQ(::syscall(SYS_close, raw), 0);
}

TEST_F(Uvc, DroppedFramesLeaveGapsAndDamagedFramesCarryTheErrorFlag) {
    vcam::Camera c = documentCamera();
    c.faults.errorEvery = 3;
    present(c);
    int fd = openNode();
    Streamer stream(fd);
    ASSERT_TRUE(stream.start(1));
    v4l2_buffer buf;
    std::vector<bool> errors;
    std::vector<uint32_t> sequences;
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(stream.dequeue(buf), 0);
        errors.push_back(buf.flags & V4L2_BUF_FLAG_ERROR);
        sequences.push_back(buf.sequence);
        // Holding the only buffer: the frames taken meanwhile are dropped.
        if (i == 3) std::this_thread::sleep_for(200ms);
        ASSERT_EQ(stream.requeue(buf), 0);
    }
    EXPECT_EQ(errors, (std::vector<bool>{false, false, true, false, false, true}));
    EXPECT_GE(sequences[4], sequences[3] + 3) << "the frames dropped while the buffer was held";
    ::close(fd);
}

TEST_F(Uvc, TheFirstFrameComesAfterTheSensorStarts) {
    vcam::Camera c = documentCamera();
    c.firstFrameMs = 300;
    present(c);
    int fd = openNode();
    Streamer stream(fd);
    timespec before;
    clock_gettime(CLOCK_MONOTONIC, &before);
    ASSERT_TRUE(stream.start(2));
    v4l2_buffer buf;
    ASSERT_EQ(stream.dequeue(buf), 0);
    const double waited =
        double(buf.timestamp.tv_sec - before.tv_sec) + (buf.timestamp.tv_usec - before.tv_nsec / 1000) / 1e6;
    EXPECT_GE(waited, 0.3);
    ::close(fd);
}

TEST_F(Uvc, ASecondStreamerIsRefused) {
    int first = openNode();
    int second = openNode();
    Streamer one(first);
    ASSERT_TRUE(one.start(2));
    Streamer two(second);
    EXPECT_EQ(two.request(2), -EBUSY);
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    fmt.fmt.pix = {640, 480, V4L2_PIX_FMT_YUYV, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(ioctl(second, VIDIOC_S_FMT, &fmt), -1);
    EXPECT_EQ(errno, EBUSY);
    ::close(first);
    EXPECT_TRUE(two.start(2)) << "free once the first has closed";
    ::close(second);
}

TEST_F(Uvc, UnplugTakesTheNodeAwayUntilTheReplug) {
    udev* context = udev_new();
    udev_monitor* monitor = udev_monitor_new_from_netlink(context, "udev");
    ASSERT_TRUE(monitor);
    udev_monitor_filter_add_match_subsystem_devtype(monitor, "video4linux", nullptr);
    ASSERT_EQ(udev_monitor_enable_receiving(monitor), 0);

    int fd = openNode();
    Streamer stream(fd);
    ASSERT_TRUE(stream.start(2));
    v4l2_buffer buf;
    ASSERT_EQ(stream.dequeue(buf), 0);
    vcam::unplug(0);

    EXPECT_EQ(stream.dequeue(buf), ENODEV);
    v4l2_capability cap{};
    EXPECT_EQ(ioctl(fd, VIDIOC_QUERYCAP, &cap), -1);
    EXPECT_EQ(errno, ENODEV);
    pollfd p{fd, POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 1000), 1);
    EXPECT_EQ(p.revents & (POLLERR | POLLHUP), POLLERR | POLLHUP);
    struct stat info {};
    EXPECT_EQ(::stat("/dev/video0", &info), -1);
    EXPECT_EQ(::open("/dev/video0", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);

    // udev saw both nodes go.
    std::vector<std::string> removed;
    pollfd watch{udev_monitor_get_fd(monitor), POLLIN, 0};
    while (removed.size() < 2 && ::poll(&watch, 1, 2000) == 1) {
        udev_device* device = udev_monitor_receive_device(monitor);
        if (!device) continue;
        if (std::string(udev_device_get_action(device)) == "remove") removed.push_back(udev_device_get_sysname(device));
        udev_device_unref(device);
    }
    EXPECT_EQ(removed, (std::vector<std::string>{"video1", "video0"}));

    vcam::replug(0);
    int fresh = openNode();
    EXPECT_EQ(ioctl(fresh, VIDIOC_QUERYCAP, &cap), 0);
    EXPECT_EQ(ioctl(fd, VIDIOC_QUERYCAP, &cap), -1) << "a descriptor from before the unplug stays dead";
    ::close(fresh);
    ::close(fd);
    udev_monitor_unref(monitor);
    udev_unref(context);
}

} // namespace

// On the real clock a frame's number tells when the sensor took it: the
// frames a slow camera had no time to make are dropped, not delayed.
TEST_F(Uvc, OnTheRealClockFrameNumbersFollowTheTime) {
    vcam::Camera c = documentCamera();
    c.realClock = true;
    c.faults.slowFrameMs = 70; // a camera that cannot keep its rate
    c.formats = {vcam::Format{vcam::fourcc("MJPG"), {vcam::FrameSize{640, 480, 30}}}};
    present(c);
    const int fd = openNode();
    Streamer streamer(fd);
    ASSERT_TRUE(streamer.start());
    auto micros = [](const v4l2_buffer& b) { return int64_t(b.timestamp.tv_sec) * 1000000 + b.timestamp.tv_usec; };
    v4l2_buffer first{};
    ASSERT_EQ(streamer.dequeue(first), 0);
    const uint32_t firstSequence = first.sequence;
    const int64_t firstTime = micros(first);
    ASSERT_EQ(streamer.requeue(first), 0);
    for (int i = 0; i < 10; ++i) {
        v4l2_buffer b{};
        ASSERT_EQ(streamer.dequeue(b), 0);
        const double periods = double(micros(b) - firstTime) / (1e6 / 30);
        EXPECT_NEAR(double(b.sequence - firstSequence), periods, 1.5) << "frame " << i;
        ASSERT_EQ(streamer.requeue(b), 0);
    }
    ::close(fd);
}
