// What the library exports: the flat interface and the public velcap:: API.
#pragma once

#ifndef VELCAP_EXPORT
#define VELCAP_EXPORT __attribute__((visibility("default")))
#endif

// Pictures read from files may have at most this many pixels (four times a
// 12-megapixel camera's picture); larger ones are refused from their header,
// before any memory is spent on them. Merged pictures obey it too.
#define VELCAP_MAX_PICTURE_PIXELS 48000000LL
