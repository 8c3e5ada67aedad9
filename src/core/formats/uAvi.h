// AVI frames through FFmpeg (libavformat, libavcodec, libswscale) behind the small reader
// the AVI loader uses: open, information, first video stream, a frame as a 24-bit picture,
// release.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orlu {

class TAImage;
class TBgraBitmap;

// One opened AVI file and the decoder of its first video stream. Not thread-safe; each
// object is independent.
class TAvi {
 public:
  TAvi();
  ~TAvi();
  TAvi(const TAvi&) = delete;
  TAvi& operator=(const TAvi&) = delete;

  // 0 on success; -1 when the file, its information or a video stream cannot be had; -2
  // when no decoder exists (or opens) for the stream. A failed Open releases everything.
  // Only the AVI demuxer reads the file, and only from the local file system.
  int32_t Open(const std::string& path);
  // Decodes frame Start() + index into the picture; false when the stream has no such
  // frame, the frame cannot be decoded, or the frame size is not Width() × Height() within
  // 1…30000 per side.
  bool GetFrame(int32_t index);
  // Releases the file, the decoder and the picture (also done by the destructor).
  void Close();

  // Frame size from the stream information (0 before Open).
  int32_t Width() const { return Width_; }
  int32_t Height() const { return Height_; }
  // First frame number and frame count of the stream as the file states them (count 0 when
  // the file does not say).
  int64_t Start() const { return Start_; }
  int64_t Length() const { return Length_; }
  // The last decoded frame: blue, green, red bytes, top row first, Stride() bytes a row
  // (a multiple of 64); nullptr before the first GetFrame.
  const uint8_t* Bitmap() const;
  int64_t Stride() const { return Stride_; }

 private:
  struct TImpl;
  std::unique_ptr<TImpl> Impl_;
  int32_t Width_ = 0, Height_ = 0;
  int64_t Start_ = 0, Length_ = 0, Stride_ = 0;
};

// Loader contract (status bits only), ".avi" files: the first frame, whatever frame index
// the caller asks for, as an 8-bit image (gray when every pixel is gray, else colour),
// status 0x0085. Open failing gives 0x0100 (with 0x0400 when the decoder is missing); a side
// below 1 or an undecodable frame 0x0100; a side above 30000 0x0300. Throws EOrluError "Out
// of memory" when the image cannot be sized. With a preview the frame is drawn fitted into
// it instead (0x0008 as well) and the image gets only the geometry cards.
void LoadAvi(const std::string& path, TAImage& image, TBgraBitmap* preview = nullptr);

}  // namespace orlu
