// Load status: the flag set that every loader and the format dispatch OR into
// TAImage::Status. Only the low 16 bits are used.
#pragma once

#include <cstdint>

namespace orlu {

inline constexpr uint32_t kStatus8BitSource = 0x0001;     // source samples were 8-bit integers
inline constexpr uint32_t kStatusFitsHeader = 0x0002;     // the file carried a FITS header
inline constexpr uint32_t kStatusView0To255 = 0x0004;     // initial view range 0…255
inline constexpr uint32_t kStatusPreviewDrawn = 0x0008;   // the loader drew the preview itself
inline constexpr uint32_t kStatusLoaded = 0x0080;         // a loader accepted and filled the image
inline constexpr uint32_t kStatusFailed = 0x0100;         // read error, or no loader took the file
inline constexpr uint32_t kStatusTooLarge = 0x0200;       // a side above 30000 (with kStatusFailed)
inline constexpr uint32_t kStatusDecoderError = 0x0400;   // decoder or post-load failure
inline constexpr uint32_t kStatusOutOfMemory = 0x0800;
inline constexpr uint32_t kStatusPluginMissing = 0x1000;  // compressed-FITS library not loadable
inline constexpr uint32_t kStatusBitsMask = 0xFFFF;

// Usual combinations written by loaders.
inline constexpr uint32_t kStatusLoaded8Bit =
    kStatusLoaded | kStatusView0To255 | kStatus8BitSource;                     // 0x0085
inline constexpr uint32_t kStatusRefusedTooLarge = kStatusFailed | kStatusTooLarge;  // 0x0300
inline constexpr uint32_t kStatusRefusedDecoder = kStatusFailed | kStatusDecoderError;  // 0x0500

// Largest accepted width or height of a loaded image.
inline constexpr int32_t kMaxImageSide = 30000;

// A load succeeded: a loader set "loaded" and nothing set "failed". A failure bit always
// wins, so an image that a loader half filled before failing is never taken as loaded.
constexpr bool LoadSucceeded(uint32_t status) {
  return (status & kStatusLoaded) != 0 && (status & kStatusFailed) == 0;
}

}  // namespace orlu
