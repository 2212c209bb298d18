// The embedded preview's geometry as a value: a frame zoomed into a form,
// centred, panned. The flat interface keeps it in its specified variables
// and changes it only through these operations.
#pragma once

#include "render.h"

namespace velcap {

struct PreviewLayout {
    int formWidth = 0, formHeight = 0;  // the host's form
    int zoomWidth = 0, zoomHeight = 0;  // the frame at the zoom
    int showWidth = 0, showHeight = 0;  // the part shown, rounded down to 4
    int zoomStartX = 0, zoomStartY = 0; // where that part starts in the zoomed frame (0 or less)
    int formStartX = 0, formStartY = 0; // where it lies on the form (0 or more)
    int offsetX = 0, offsetY = 0;       // the pan: the zoomed frame's corner on the form
    double zoom = 50, best = 50;        // per cent

    // The zoom at which a frame of w x h (as shown, turned) fits fitWidth x
    // fitHeight, at most 100 %, becomes the best one; the picture is centred
    // on the form.
    void fit(int fitWidth, int fitHeight, int w, int h);
    // The zoomed size of a frame of w x h at the zoom.
    void zoomFrame(int w, int h);
    // The zoomed frame centred on the form.
    void centre();
    // A move by dx, dy: a picture narrower than the form moves inside it, a
    // larger one slides under it; either stops at the form's edges.
    void pan(int dx, int dy);
    ViewGeometry view() const;
};

} // namespace velcap
