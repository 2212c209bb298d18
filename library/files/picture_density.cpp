// The resolution a picture file records, read by the format's own library:
// libjpeg's JFIF density, libpng's pHYs, libtiff's resolution tags.
#include <csetjmp>
#include <cstdio>
#include <memory>

#include <jpeglib.h>
#include <png.h>
#include <tiffio.h>

#include "picture_file.h"

namespace velcap {

namespace {

constexpr double kCmPerInch = 2.54;

struct JpegFailure {
    jpeg_error_mgr manager;
    std::jmp_buf back;
};

// No C++ object lives between setjmp and the decoder's calls: a damaged
// header jumps back over C frames only.
cv::Point2d jpegDensity(std::FILE* file) {
    jpeg_decompress_struct info{};
    JpegFailure failure{};
    info.err = jpeg_std_error(&failure.manager);
    failure.manager.error_exit = [](j_common_ptr common) {
        std::longjmp(reinterpret_cast<JpegFailure*>(common->err)->back, 1);
    };
    failure.manager.output_message = [](j_common_ptr) {};
    double x = 0, y = 0;
    if (setjmp(failure.back) == 0) {
        jpeg_create_decompress(&info);
        jpeg_stdio_src(&info, file);
        if (jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK && info.saw_JFIF_marker && info.density_unit != 0) {
            const double perInch = info.density_unit == 2 ? kCmPerInch : 1;
            x = info.X_density * perInch;
            y = info.Y_density * perInch;
        }
    }
    jpeg_destroy_decompress(&info);
    return {x, y};
}

cv::Point2d pngDensity(std::FILE* file) {
    png_structp png =
        png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, [](png_structp, png_const_charp) {});
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    double x = 0, y = 0;
    if (info && setjmp(png_jmpbuf(png)) == 0) {
        png_init_io(png, file);
        png_read_info(png, info);
        png_uint_32 perX = 0, perY = 0;
        int unit = 0;
        if (png_get_pHYs(png, info, &perX, &perY, &unit) && unit == PNG_RESOLUTION_METER) {
            x = perX * kCmPerInch / 100;
            y = perY * kCmPerInch / 100;
        }
    }
    png_destroy_read_struct(&png, info ? &info : nullptr, nullptr);
    return {x, y};
}

cv::Point2d tiffDensity(const char* path) {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
    std::unique_ptr<TIFF, void (*)(TIFF*)> tiff(TIFFOpen(path, "rm"), TIFFClose);
    if (!tiff) return {};
    float x = 0, y = 0;
    uint16_t unit = RESUNIT_INCH;
    TIFFGetFieldDefaulted(tiff.get(), TIFFTAG_RESOLUTIONUNIT, &unit);
    if (unit == RESUNIT_NONE || !TIFFGetField(tiff.get(), TIFFTAG_XRESOLUTION, &x) ||
        !TIFFGetField(tiff.get(), TIFFTAG_YRESOLUTION, &y))
        return {};
    const double perInch = unit == RESUNIT_CENTIMETER ? kCmPerInch : 1;
    return {x * perInch, y * perInch};
}

} // namespace

cv::Point2d recordedResolution(const char* path) {
    if (!path || !isRegularFile(path)) return {};
    const std::string extension = lowerExtension(path);
    if (extension == "tif" || extension == "tiff") return tiffDensity(path);
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path, "rb"), std::fclose);
    if (!file) return {};
    cv::Point2d dpi = extension == "png"                          ? pngDensity(file.get())
                      : extension == "jpg" || extension == "jpeg" ? jpegDensity(file.get())
                                                                  : cv::Point2d();
    // What no scanner writes is no resolution: a page of it would be absurd.
    constexpr double kLeast = 10, kMost = 10000;
    if (dpi.x < kLeast || dpi.y < kLeast || dpi.x > kMost || dpi.y > kMost) return {};
    return dpi;
}

} // namespace velcap
