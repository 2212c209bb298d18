// The preview's geometry as a value: fitting, centring and panning, without a camera.
#include <gtest/gtest.h>

#include "viewport/layout.h"

namespace {

velcap::PreviewLayout formOf(int width, int height) {
    velcap::PreviewLayout layout;
    layout.formWidth = width;
    layout.formHeight = height;
    return layout;
}

TEST(PreviewLayout, FitsTheFrameCentredAndNeverEnlargesIt) {
    const struct {
        int frameW, frameH;
        double zoom;
        int showW, showH, formStartX, formStartY;
    } cases[] = {
        {1920, 1080, 100.0 * 800 / 1920, 800, 448, 0, 75},  // wider than the form: fitted across
        {1080, 1920, 100.0 * 600 / 1920, 336, 600, 231, 0}, // taller: fitted down
        {640, 480, 100, 640, 480, 80, 60},                  // smaller: shown as it is
    };
    for (const auto& c : cases) {
        velcap::PreviewLayout layout = formOf(800, 600);
        layout.fit(800, 600, c.frameW, c.frameH);
        EXPECT_DOUBLE_EQ(layout.zoom, c.zoom) << c.frameW;
        EXPECT_DOUBLE_EQ(layout.best, c.zoom);
        EXPECT_EQ(layout.showWidth, c.showW) << c.frameW;
        EXPECT_EQ(layout.showHeight, c.showH) << c.frameW;
        EXPECT_EQ(layout.formStartX, c.formStartX) << c.frameW;
        EXPECT_EQ(layout.formStartY, c.formStartY) << c.frameW;
    }
}

TEST(PreviewLayout, APannedPictureStopsAtTheFormsEdges) {
    velcap::PreviewLayout layout = formOf(800, 600);
    layout.zoom = 100;
    layout.zoomFrame(1920, 1080); // larger than the form: it slides under it
    layout.centre();
    EXPECT_EQ(layout.zoomStartX, (800 - 1920) / 2);
    layout.pan(10000, -10000);
    EXPECT_EQ(layout.zoomStartX, 0);
    EXPECT_EQ(layout.zoomStartY, 600 - 1080);
    EXPECT_EQ(layout.showWidth, 800);
    layout.zoom = 20;
    layout.zoomFrame(1920, 1080); // 384 x 216: it moves inside the form
    layout.pan(-10000, 10000);
    EXPECT_EQ(layout.formStartX, 0);
    EXPECT_EQ(layout.formStartY, 600 - 216);
    EXPECT_EQ(layout.zoomStartX, 0);
    EXPECT_EQ(layout.showWidth, 384);
}

} // namespace
