// What the library exports: the flat interface and the public velcap:: API.
#pragma once

#ifndef VELCAP_EXPORT
#define VELCAP_EXPORT __attribute__((visibility("default")))
#endif
