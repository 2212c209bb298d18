#include "layout.h"

#include <algorithm>

namespace velcap {

namespace {

int roundDown4(int value) {
    return value / 4 * 4;
}

void panAxis(int& offset, int& zoomStart, int& formStart, int& show, int move, int form, int zoomed) {
    int position = offset + move;
    if (zoomed < form) {
        show = roundDown4(zoomed);
        position = std::max(0, std::min(position, form - zoomed));
        formStart = position;
        zoomStart = 0;
    } else {
        position = std::max(form - zoomed, std::min(position, 0));
        show = roundDown4(form);
        formStart = 0;
        zoomStart = position;
    }
    offset = position;
}

void centreAxis(int& offset, int& zoomStart, int& formStart, int& show, int form, int zoomed) {
    offset = zoomStart = (form - zoomed) / 2;
    if (zoomed < form) {
        show = roundDown4(zoomed);
        formStart = (form - show) / 2;
    } else {
        formStart = 0;
        show = roundDown4(form);
    }
}

} // namespace

void PreviewLayout::zoomFrame(int w, int h) {
    zoomWidth = int(zoom * w / 100);
    zoomHeight = int(zoom * h / 100);
}

void PreviewLayout::fit(int fitWidth, int fitHeight, int w, int h) {
    if (w < fitWidth && h < fitHeight)
        zoom = 100.0;
    else if (double(fitWidth) / fitHeight > double(w) / h)
        zoom = 100.0 * fitHeight / h;
    else
        zoom = 100.0 * fitWidth / w;
    best = zoom;
    zoomFrame(w, h);
    const int bestW = int(best * w / 100), bestH = int(best * h / 100);
    formStartX = offsetX = zoomStartX = (formWidth - bestW) / 2;
    formStartY = offsetY = zoomStartY = (formHeight - bestH) / 2;
    showWidth = roundDown4(std::min(zoomWidth, formWidth));
    showHeight = roundDown4(std::min(zoomHeight, formHeight));
}

void PreviewLayout::centre() {
    centreAxis(offsetX, zoomStartX, formStartX, showWidth, formWidth, zoomWidth);
    centreAxis(offsetY, zoomStartY, formStartY, showHeight, formHeight, zoomHeight);
}

void PreviewLayout::pan(int dx, int dy) {
    panAxis(offsetX, zoomStartX, formStartX, showWidth, dx, formWidth, zoomWidth);
    panAxis(offsetY, zoomStartY, formStartY, showHeight, dy, formHeight, zoomHeight);
}

ViewGeometry PreviewLayout::view() const {
    ViewGeometry v;
    v.showWidth = showWidth;
    v.showHeight = showHeight;
    v.zoomStartX = zoomStartX;
    v.zoomStartY = zoomStartY;
    v.formStartX = formStartX;
    v.formStartY = formStartY;
    v.zoom = zoom;
    return v;
}

} // namespace velcap
