// AVI reader on FFmpeg. The decoder's frame is converted to packed BGR by libswscale; the
// loader then goes the bitmap path (gray detection, ImportBitmap).
#include "formats/uAvi.h"

#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

#include "formats/LoadStatus.h"
#include "base/EOrluError.h"
#include "formats/uFiles.h"
#include "formats/uRaster.h"
#include "image/ImaColor.h"

namespace orlu {

struct TAvi::TImpl {
  AVFormatContext* Format = nullptr;
  AVCodecContext* Codec = nullptr;
  AVPacket* Packet = nullptr;
  AVFrame* Frame = nullptr;
  SwsContext* Scaler = nullptr;
  int Stream = -1;
  int64_t NextFrame = 0;  // frames decoded since the start of the stream
  bool Drained = false;   // the end of the file was sent to the decoder
  std::vector<uint8_t> Picture;

  ~TImpl() {
    sws_freeContext(Scaler);
    av_frame_free(&Frame);
    av_packet_free(&Packet);
    avcodec_free_context(&Codec);
    avformat_close_input(&Format);
  }

  // The next decoded frame of the stream into Frame; false at the end or on an error.
  bool DecodeNext() {
    for (;;) {
      const int got = avcodec_receive_frame(Codec, Frame);
      if (got == 0) return true;
      if (got != AVERROR(EAGAIN) || Drained) return false;
      const int read = av_read_frame(Format, Packet);
      if (read < 0) {
        Drained = true;
        if (avcodec_send_packet(Codec, nullptr) < 0) return false;
        continue;
      }
      if (Packet->stream_index == Stream) {
        const int sent = avcodec_send_packet(Codec, Packet);
        av_packet_unref(Packet);
        // A damaged packet is skipped like a player would; other errors end the stream.
        if (sent < 0 && sent != AVERROR_INVALIDDATA) return false;
      } else {
        av_packet_unref(Packet);
      }
    }
  }

  bool Rewind() {
    if (av_seek_frame(Format, Stream, 0, AVSEEK_FLAG_BACKWARD) < 0) return false;
    avcodec_flush_buffers(Codec);
    NextFrame = 0;
    Drained = false;
    return true;
  }
};

TAvi::TAvi() = default;
TAvi::~TAvi() = default;

const uint8_t* TAvi::Bitmap() const {
  return Impl_ && !Impl_->Picture.empty() ? Impl_->Picture.data() : nullptr;
}

void TAvi::Close() {
  Impl_.reset();
  Width_ = Height_ = 0;
  Start_ = Length_ = Stride_ = 0;
}

int32_t TAvi::Open(const std::string& path) {
  Close();
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_FATAL); });  // damaged files are normal here

  auto impl = std::make_unique<TImpl>();
  // Only the AVI demuxer and the file protocol: content probing could otherwise hand a
  // playlist or concat script named ".avi" to a demuxer that opens other files or URLs.
  // The "file:" prefix keeps a name with a colon from being taken for another protocol.
  const AVInputFormat* avi = av_find_input_format("avi");
  if (!avi) return -1;
  AVDictionary* opts = nullptr;
  av_dict_set(&opts, "protocol_whitelist", "file", 0);
  const int opened = avformat_open_input(&impl->Format, ("file:" + path).c_str(), avi, &opts);
  av_dict_free(&opts);
  if (opened < 0) return -1;
  if (avformat_find_stream_info(impl->Format, nullptr) < 0) return -1;
  for (unsigned i = 0; i < impl->Format->nb_streams; ++i) {
    const AVStream* s = impl->Format->streams[i];
    if (s->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
        !(s->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
      impl->Stream = int(i);
      break;
    }
  }
  if (impl->Stream < 0) return -1;
  const AVStream* stream = impl->Format->streams[impl->Stream];
  const AVCodec* decoder = avcodec_find_decoder(stream->codecpar->codec_id);
  if (!decoder) return -2;
  impl->Codec = avcodec_alloc_context3(decoder);
  if (!impl->Codec || avcodec_parameters_to_context(impl->Codec, stream->codecpar) < 0) return -1;
  impl->Codec->thread_count = 1;  // one frame is wanted: threads only add latency
  if (avcodec_open2(impl->Codec, decoder, nullptr) < 0) return -2;
  impl->Packet = av_packet_alloc();
  impl->Frame = av_frame_alloc();
  if (!impl->Packet || !impl->Frame) return -1;

  Width_ = stream->codecpar->width;
  Height_ = stream->codecpar->height;
  Start_ = stream->start_time == AV_NOPTS_VALUE ? 0 : stream->start_time;
  Length_ = stream->nb_frames;
  Impl_ = std::move(impl);
  return 0;
}

bool TAvi::GetFrame(int32_t index) {
  if (!Impl_ || index < 0) return false;
  if (Width_ < 1 || Height_ < 1 || Width_ > kMaxImageSide || Height_ > kMaxImageSide) return false;
  TImpl& m = *Impl_;
  if (index < m.NextFrame && !m.Rewind()) return false;
  for (;;) {
    if (!m.DecodeNext()) return false;
    if (m.NextFrame++ == index) break;
    av_frame_unref(m.Frame);
  }
  AVFrame* f = m.Frame;
  const bool sameSize = f->width == Width_ && f->height == Height_;
  m.Scaler = sameSize ? sws_getCachedContext(m.Scaler, f->width, f->height,
                                             AVPixelFormat(f->format), Width_, Height_,
                                             AV_PIX_FMT_BGR24, SWS_BICUBIC, nullptr, nullptr,
                                             nullptr)
                      : m.Scaler;
  if (!sameSize || !m.Scaler) {
    av_frame_unref(f);
    return false;
  }
  // libswscale's vector paths expect rows aligned as FFmpeg's own frames are (64 bytes)
  // and may write a little past the last pixel of a row: room for both.
  Stride_ = (int64_t(Width_) * 3 + 63) & ~int64_t(63);
  m.Picture.assign(size_t(Stride_ * Height_ + 64), 0);
  uint8_t* dst[4] = {m.Picture.data(), nullptr, nullptr, nullptr};
  const int dstStride[4] = {int(Stride_), 0, 0, 0};
  const int rows = sws_scale(m.Scaler, f->data, f->linesize, 0, f->height, dst, dstStride);
  av_frame_unref(f);
  return rows == Height_;
}

// ============================================================================ loader

namespace {

// Any pixel with unequal blue, green and red makes the picture colour.
bool BitmapIsColour(const uint8_t* p, int32_t w, int32_t h, int64_t stride) {
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* s = p + y * stride;
    for (int32_t x = 0; x < w; ++x, s += 3)
      if (s[0] != s[1] || s[1] != s[2]) return true;
  }
  return false;
}

}  // namespace

void LoadAvi(const std::string& path, TAImage& image, TBgraBitmap* preview) {
  if (!HasExtension(path, {".avi"})) return;
  TAvi avi;
  const int32_t opened = avi.Open(path);
  if (opened != 0) {
    image.Status |= opened == -2 ? kStatusRefusedDecoder : kStatusFailed;
    return;
  }
  const int32_t w = avi.Width(), h = avi.Height();
  if (w < 1 || h < 1) {
    image.Status |= kStatusFailed;
    return;
  }
  if (w > kMaxImageSide || h > kMaxImageSide) {
    image.Status |= kStatusRefusedTooLarge;
    return;
  }
  if (!avi.GetFrame(0)) {
    image.Status |= kStatusFailed;
    return;
  }
  const uint8_t* pixels = avi.Bitmap();
  const int64_t stride = avi.Stride();
  const bool colour = BitmapIsColour(pixels, w, h, stride);
  if (preview) {
    if (!DrawPreviewFromPicture(pixels, w, h, 3, stride, *preview))
      throw EOrluError(kOutOfMemoryText);
    image.Header.SetGeometry(w, h, colour, 8);
    image.Status |= kStatusLoaded8Bit | kStatusPreviewDrawn;
    return;
  }
  image.SetSize(w, h, colour);
  if (colour) {
    if (!image.ImportBitmap(w, h, 3, stride, pixels)) {
      image.Status |= kStatusFailed;
      return;
    }
  } else {
    for (int32_t y = 0; y < h; ++y) {
      const uint8_t* s = pixels + int64_t(h - 1 - y) * stride;  // picture rows top first
      float* d = image.MainPlane->RowPointer(0, y);
      for (int32_t x = 0; x < w; ++x) d[x] = s[3 * x];
    }
  }
  image.Header.SetGeometry(w, h, colour, 8);
  image.Status |= kStatusLoaded8Bit;
  avi.Close();
}

}  // namespace orlu
