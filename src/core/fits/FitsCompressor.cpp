// Tile compression: RICE_1 and GZIP_2 coders, the writer of one-tile-per-row files, and
// reading through CFITSIO behind a plug-in seam (the library is linked at build time, but
// the program keeps the "plug-in missing" behaviour reachable and tested).
#include "fits/FitsCompressor.h"

#include <fcntl.h>
#include <fitsio.h>
#include <libdeflate.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <atomic>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "fits/ImaFilesPvt.h"
#include "fits/ImaHeader.h"
#include "image/ImaBW.h"
#include "image/LibThreads.h"

namespace orlu {

// ============================================================================ plug-in seams
namespace {

enum class TPluginState { NotTried, Loaded, Missing };

// The entry points the reader needs; filled from the linked library when "loaded".
struct TCfitsioApi {
  decltype(&ffvers) Version;
  decltype(&ffdkopn) OpenDiskFile;
  decltype(&ffclos) Close;
  decltype(&ffmahd) MoveAbsolute;
  decltype(&ffghadll) HduAddress;
  decltype(&ffgidm) ImageDimensions;
  decltype(&ffgiszll) ImageSize;
  decltype(&ffgpxvll) ReadPixels;
  decltype(&ffgkyjj) ReadKeyInt;
  decltype(&ffgcno) ColumnNumber;
  decltype(&ffgdesll) Descriptor;
  decltype(&ffgcvb) ReadBytes;
};

struct TPluginSeams {
  std::mutex Lock;
  TPluginState Cfitsio = TPluginState::NotTried;
  bool PretendCfitsioMissing = false;
  int32_t CfitsioAttempts = 0;
  TCfitsioApi CfitsioTable{};
  TPluginState Deflate = TPluginState::NotTried;
  bool PretendDeflateMissing = false;
};

TPluginSeams& Seams() {
  static TPluginSeams seams;
  return seams;
}

const TCfitsioApi* LoadCfitsio() {
  TPluginSeams& s = Seams();
  std::lock_guard<std::mutex> lock(s.Lock);
  if (s.Cfitsio == TPluginState::NotTried) {
    ++s.CfitsioAttempts;
    s.Cfitsio = TPluginState::Missing;
    if (!s.PretendCfitsioMissing) {
      s.CfitsioTable = TCfitsioApi{&ffvers,   &ffdkopn, &ffclos,   &ffmahd,   &ffghadll,
                                   &ffgidm,   &ffgiszll, &ffgpxvll, &ffgkyjj, &ffgcno,
                                   &ffgdesll, &ffgcvb};
      float version = 0;
      s.CfitsioTable.Version(&version);
      if (version > 0) s.Cfitsio = TPluginState::Loaded;
    }
  }
  return s.Cfitsio == TPluginState::Loaded ? &s.CfitsioTable : nullptr;
}

bool DeflateLoaded() {
  TPluginSeams& s = Seams();
  std::lock_guard<std::mutex> lock(s.Lock);
  if (s.Deflate == TPluginState::NotTried)
    s.Deflate = s.PretendDeflateMissing ? TPluginState::Missing : TPluginState::Loaded;
  return s.Deflate == TPluginState::Loaded;
}

}  // namespace

bool CompressionPluginLoaded() { return LoadCfitsio() != nullptr; }

int32_t CompressionPluginLoadAttempts() {
  TPluginSeams& s = Seams();
  std::lock_guard<std::mutex> lock(s.Lock);
  return s.CfitsioAttempts;
}

void PretendCompressionPluginMissing(bool missing) {
  TPluginSeams& s = Seams();
  std::lock_guard<std::mutex> lock(s.Lock);
  s.Cfitsio = TPluginState::NotTried;
  s.CfitsioAttempts = 0;
  s.PretendCfitsioMissing = missing;
}

void PretendDeflatePluginMissing(bool missing) {
  TPluginSeams& s = Seams();
  std::lock_guard<std::mutex> lock(s.Lock);
  s.Deflate = TPluginState::NotTried;
  s.PretendDeflateMissing = missing;
}

// ============================================================================ RICE_1
namespace {

// MSB-first bit packer writing into a buffer sized by RiceCompressBound.
class TBitPacker {
 public:
  explicit TBitPacker(uint8_t* out) : Out(out), Start(out) {}
  // Appends the low n bits of v (n <= 32).
  void Put(uint32_t v, int n) {
    if (n == 0) return;
    Acc = (Acc << n) | (n == 32 ? v : (v & ((1u << n) - 1u)));
    Bits += n;
    if (Bits >= 32) {
      Bits -= 32;
      const uint32_t word = uint32_t(Acc >> Bits);
      Out[0] = uint8_t(word >> 24);
      Out[1] = uint8_t(word >> 16);
      Out[2] = uint8_t(word >> 8);
      Out[3] = uint8_t(word);
      Out += 4;
    }
  }
  // Pending bits, zero-padded to a whole byte; returns the bytes written.
  std::size_t Finish() {
    while (Bits >= 8) {
      Bits -= 8;
      *Out++ = uint8_t(Acc >> Bits);
    }
    if (Bits > 0) *Out++ = uint8_t(Acc << (8 - Bits));
    Bits = 0;
    return std::size_t(Out - Start);
  }

 private:
  uint8_t* Out;
  uint8_t* Start;
  uint64_t Acc = 0;
  int Bits = 0;
};

constexpr int kRiceBlock = 32;
constexpr int kRiceFsBits = 5;
constexpr int kRiceFsMax = 25;
constexpr int kRiceRawBits = 32;

}  // namespace

std::size_t RiceCompressBound(int32_t n) {
  if (n <= 0) return 8;
  const std::size_t blocks = (std::size_t(n) + kRiceBlock - 1) / kRiceBlock;
  // First value, then per block at most the 5-bit code and 32 raw bits per value (the
  // coder falls back to raw values whenever coding would cost more).
  return 4 + blocks * ((kRiceFsBits + kRiceBlock * kRiceRawBits + 7) / 8) + 8;
}

void RiceCompressRow(const int32_t* values, int32_t n, std::vector<uint8_t>& out) {
  if (n <= 0) return;
  const std::size_t base = out.size();
  out.resize(base + RiceCompressBound(n));
  TBitPacker bits(out.data() + base);
  uint32_t previous = uint32_t(values[0]);
  bits.Put(previous, kRiceRawBits);
  uint32_t codes[kRiceBlock];
  for (int32_t start = 0; start < n; start += kRiceBlock) {
    const int32_t count = std::min<int32_t>(kRiceBlock, n - start);
    uint64_t sum = 0;
    for (int32_t j = 0; j < count; ++j) {
      const uint32_t v = uint32_t(values[start + j]);
      // The difference wraps modulo 2^32; the decoder adds it back the same way.
      const int32_t d = int32_t(v - previous);
      previous = v;
      const uint32_t u = (uint32_t(d) << 1) ^ uint32_t(d >> 31);
      codes[j] = u;
      sum += u;
    }
    const uint64_t half = uint64_t(count / 2) + 1;
    const uint64_t mean = sum >= half ? (sum - half) / uint64_t(count) : 0;
    uint64_t p = mean >> 1;
    int fs = 0;
    while (p > 0) {
      ++fs;
      p >>= 1;
    }
    if (fs >= kRiceFsMax) {
      bits.Put(kRiceFsMax + 1, kRiceFsBits);
      for (int32_t j = 0; j < count; ++j) bits.Put(codes[j], kRiceRawBits);
    } else if (fs == 0 && sum == 0) {
      bits.Put(0, kRiceFsBits);
    } else {
      bits.Put(uint32_t(fs + 1), kRiceFsBits);
      const uint32_t lowMask = (1u << fs) - 1u;
      for (int32_t j = 0; j < count; ++j) {
        const uint32_t u = codes[j];
        uint32_t top = u >> fs;
        while (top >= 32) {
          bits.Put(0, 32);
          top -= 32;
        }
        // top zero bits, a one bit, then the low fs bits.
        const int len = int(top) + 1 + fs;
        if (len <= 32) {
          bits.Put((1u << fs) | (u & lowMask), len);
        } else {
          bits.Put(1, int(top) + 1);
          bits.Put(u & lowMask, fs);
        }
      }
    }
  }
  out.resize(base + bits.Finish());
}

void ShuffleBytes(const uint8_t* src, int32_t n, int32_t bytesPerSample, uint8_t* dst) {
  if (bytesPerSample == 1) {
    std::memcpy(dst, src, std::size_t(std::max(n, 0)));
    return;
  }
  for (int32_t b = 0; b < bytesPerSample; ++b) {
    uint8_t* d = dst + std::size_t(b) * std::size_t(n);
    const uint8_t* s = src + b;
    for (int32_t i = 0; i < n; ++i) d[i] = s[std::size_t(i) * std::size_t(bytesPerSample)];
  }
}

// ============================================================================ gzip
TGzipCoder::TGzipCoder() {
  if (DeflateLoaded()) Deflater = libdeflate_alloc_compressor(1);
}

TGzipCoder::~TGzipCoder() {
  if (Deflater) libdeflate_free_compressor(static_cast<libdeflate_compressor*>(Deflater));
}

std::size_t TGzipCoder::Bound(std::size_t n) const {
  if (Deflater)
    return libdeflate_gzip_compress_bound(static_cast<libdeflate_compressor*>(Deflater), n);
  // deflate's stored-block worst case plus the gzip wrapper.
  return n + (n >> 12) + (n >> 14) + (n >> 25) + 13 + 18 + 64;
}

bool TGzipCoder::Compress(const uint8_t* src, std::size_t n, std::vector<uint8_t>& out) {
  out.resize(Bound(n));
  if (Deflater) {
    const std::size_t size = libdeflate_gzip_compress(
        static_cast<libdeflate_compressor*>(Deflater), src, n, out.data(), out.size());
    out.resize(size);
    return size > 0;
  }
  // Without the deflate plug-in: zlib's gzip stream at its default level.
  z_stream z{};
  if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    out.clear();
    return false;
  }
  const std::size_t bound = deflateBound(&z, uLong(n));
  if (bound > out.size()) out.resize(bound);
  z.next_in = const_cast<Bytef*>(src);
  z.avail_in = uInt(n);
  z.next_out = out.data();
  z.avail_out = uInt(out.size());
  const int rc = deflate(&z, Z_FINISH);
  const std::size_t size = rc == Z_STREAM_END ? std::size_t(z.total_out) : 0;
  deflateEnd(&z);
  out.resize(size);
  return size > 0;
}

// ============================================================================ writer
namespace {

// Largest heap that 32-bit 'P' descriptors address (offsets are signed 32-bit in readers
// that follow the standard strictly).
constexpr int64_t kPDescriptorLimit = std::numeric_limits<int32_t>::max();
std::atomic<int64_t> gWideThreshold{kPDescriptorLimit};

std::string Card80(std::string card) {
  card.resize(TFitsStrings::kCardLength, ' ');
  return card;
}

std::string RightAligned20(int64_t v) {
  std::string s = std::to_string(v);
  if (s.size() < 20) s.insert(0, 20 - s.size(), ' ');
  return s;
}

// Keywords of a table that must not come from the image header: readers take a card that
// merely begins like THEAP or a column keyword (TTYPE, TFORM, TSCAL, ...) for the table's own.
bool IsTableOnlyKey(const std::string& key) {
  static const char* const kKeys[] = {"EXTEND", "XTENSION", "PCOUNT", "GCOUNT",
                                      "TFIELDS", "CHECKSUM", "DATASUM"};
  for (const char* k : kKeys)
    if (key == k) return true;
  const std::string_view kv(key);
  if (kv.starts_with("THEAP") || kv.starts_with("TDIM")) return true;
  for (std::string_view column : {"TTYPE", "TFORM", "TSCAL", "TZERO", "TNULL", "TUNIT", "TDISP"})
    if (kv.starts_with(column)) return true;
  return false;
}

}  // namespace

void TFITSCompressor::SetWideDescriptorThresholdForTest(int64_t bytes) {
  gWideThreshold = bytes > 0 ? bytes : kPDescriptorLimit;
}

TFITSCompressor::TFITSCompressor(bool useGzip) : UseGzip(useGzip ? 1 : 0) {}

void TFITSCompressor::AddTile(int64_t row, int64_t size) {
  if (row < 0 || row >= int64_t(Descriptors.size())) return;
  Descriptors[std::size_t(row)] = TTileDescriptor{size, HeapSize};
  HeapSize += size;
  MaxTile = std::max(MaxTile, size);
}

std::string TFITSCompressor::DescriptorBytes() const {
  const int width = WideDescriptors ? 8 : 4;
  std::string bytes(Descriptors.size() * std::size_t(2 * width), '\0');
  char* p = bytes.data();
  auto put = [&p, width](int64_t v) {
    for (int i = width - 1; i >= 0; --i) *p++ = char(uint64_t(v) >> (8 * i));
  };
  for (const TTileDescriptor& d : Descriptors) {
    put(d.Size);
    put(d.Offset);
  }
  return bytes;
}

std::string TFITSCompressor::PrimaryBlock() {
  std::string block;
  block += Card80("SIMPLE  =                    T");
  block += Card80("BITPIX  =                    8 / compressed data");
  block += Card80("NAXIS   =                    0");
  block += Card80("EXTEND  =                    T");
  block += Card80("END");
  block.resize(TFitsStrings::kBlockSize, ' ');
  return block;
}

TFitsStrings TFITSCompressor::TableHeader(const TFitsStrings& imageHeader, int32_t width,
                                          int32_t height, int32_t planes,
                                          int32_t writeType) const {
  TFitsStrings h;
  int i = 0;
  h.InsertString(i++, "XTENSION", "BINTABLE");
  h.InsertInt(i++, "BITPIX", "compressed table", 8);
  h.InsertInt(i++, "NAXIS", "two-dimensional table", 2);
  h.InsertInt(i++, "NAXIS1", "variable array descriptor", WideDescriptors ? 16 : 8);
  h.InsertInt(i++, "NAXIS2", "total rows in table", int64_t(planes) * height);
  h.InsertInt(i++, "PCOUNT", "", int64_t(width) * height * 10);
  h.InsertInt(i++, "GCOUNT", "", 1);
  h.InsertInt(i++, "TFIELDS", "", 1);
  h.InsertString(i++, "TTYPE1", "COMPRESSED_DATA");
  const int64_t base = int64_t(width) + width / 2 + 16;
  const int64_t bytes = WriteTypeBytes(writeType);
  h.InsertString(i++, "TFORM1",
                 std::string(WideDescriptors ? "1QB(" : "1PB(") + std::to_string(base * bytes) +
                     ")");
  h.Insert(i++, "ZIMAGE  =                    T");
  h.InsertInt(i++, "ZTILE1", "", width);
  h.InsertInt(i++, "ZTILE2", "", 1);
  // The convention lets ZTILE3 default to 1, but some readers divide by a missing one.
  if (planes > 1) h.InsertInt(i++, "ZTILE3", "", 1);
  if (UseGzip) {
    h.InsertString(i++, "ZCMPTYPE", "GZIP_2");
    // Float tiles hold the exact bit patterns; without this card some readers take them
    // for quantized integers.
    if (writeType == 33) h.InsertString(i++, "ZQUANTIZ", "NONE");
  } else {
    h.InsertString(i++, "ZCMPTYPE", "RICE_1");
    h.InsertString(i++, "ZNAME1", "BLOCKSIZE");
    h.InsertInt(i++, "ZVAL1", "", 32);
  }
  for (const std::string& card : imageHeader) {
    if (IsTableOnlyKey(TFitsStrings::KeywordOf(card))) continue;
    h.Add(card);
  }
  // The image's own structure goes under Z keywords (the table has its own BITPIX, NAXIS).
  const int firstBlock = std::min(h.Count(), TFitsStrings::kCardsPerBlock);
  for (int k = 11; k < firstBlock; ++k) {
    const std::string& c = h[k];
    if (c.rfind("SIMPLE", 0) == 0 || c.rfind("BITPIX", 0) == 0 || c.rfind("NAXIS", 0) == 0) {
      std::string z(1, 'Z');
      z.append(c, 0, 7);
      if (c.size() > 8) z.append(c, 8, std::string::npos);
      h[k] = z;
    }
  }
  return h;
}

namespace {

struct TTileWorker {
  std::unique_ptr<TGzipCoder> Gzip;
  std::vector<int32_t> Ints;
  std::vector<uint8_t> Raw;
  std::vector<uint8_t> Shuffled;
};

}  // namespace

bool TFITSCompressor::WriteFile(TSafeFileWriter& out, const TFitsStrings& header,
                                const TBWImage* const* planes, int32_t planeCount,
                                int32_t writeType) {
  if (planeCount < 1 || !planes[0]) return false;
  const int32_t w = planes[0]->Width;
  const int32_t h = planes[0]->Height;
  const int32_t bytesPerSample = WriteTypeBytes(writeType);
  if (w < 1 || h < 1 || bytesPerSample < 1) return false;
  if (!UseGzip && writeType == 33) return false;  // RICE codes integers only
  const int64_t rows = int64_t(planeCount) * h;

  // Descriptor width from the worst case, so that a heap never outgrows its descriptors.
  const std::size_t rowBound =
      UseGzip ? TGzipCoder().Bound(std::size_t(w) * std::size_t(bytesPerSample))
              : RiceCompressBound(w);
  WideDescriptors = double(rowBound) * double(rows) > double(gWideThreshold.load());
  Descriptors.assign(std::size_t(rows), TTileDescriptor{});
  HeapSize = 0;
  MaxTile = 0;

  if (!out.Write(PrimaryBlock().data(), TFitsStrings::kBlockSize)) return false;
  const int64_t tableHeaderPos = out.Position();
  TFitsStrings tableHeader = TableHeader(header, w, h, planeCount, writeType);
  const std::string headerBlocks = tableHeader.HeaderBlocks();
  if (!out.Write(headerBlocks.data(), headerBlocks.size())) return false;
  TablePos = out.Position();
  const std::size_t tableBytes = std::size_t(rows) * (WideDescriptors ? 16u : 8u);
  if (!out.WriteZeros(tableBytes)) return false;
  const int64_t heapStart = out.Position();

  const int32_t workers = WorkerCount();
  std::vector<TTileWorker> states(std::size_t(std::max(workers, 1)));
  // Rows per batch: enough for every worker, about 16 MB of raw samples at most.
  const int64_t rawRow = int64_t(w) * bytesPerSample;
  const int32_t batchRows = int32_t(std::clamp<int64_t>((int64_t(16) << 20) / rawRow,
                                                        int64_t(workers) * 4, 1024));
  std::vector<std::vector<uint8_t>> tiles(std::size_t(std::min(batchRows, h)));
  std::vector<TSafeFileWriter::TPiece> pieces(tiles.size());

  for (int32_t p = 0; p < planeCount; ++p) {
    const TBWImage* plane = planes[p];
    if (!plane || plane->Width != w || plane->Height != h || !plane->Data) return false;
    for (int32_t r0 = 0; r0 < h; r0 += batchRows) {
      const int32_t n = std::min(batchRows, h - r0);
      std::atomic<int32_t> nextSlot{0};
      std::atomic<bool> failed{false};
      TSyncCounter counter(std::min(workers, n));
      ParallelCall(counter, [&] {
        TTileWorker& st = states[std::size_t(nextSlot.fetch_add(1))];
        for (;;) {
          const int32_t i = counter.NextIndex();
          if (i < 0 || i >= n) break;
          const float* src = plane->RowPointer(0, r0 + i);
          std::vector<uint8_t>& tile = tiles[std::size_t(i)];
          tile.clear();
          bool ok;
          if (UseGzip) {
            if (!st.Gzip) st.Gzip = std::make_unique<TGzipCoder>();
            st.Raw.resize(std::size_t(rawRow));
            st.Shuffled.resize(std::size_t(rawRow));
            RowToBigEndian(src, w, writeType, st.Raw.data());
            ShuffleBytes(st.Raw.data(), w, bytesPerSample, st.Shuffled.data());
            ok = st.Gzip->Compress(st.Shuffled.data(), st.Shuffled.size(), tile);
          } else {
            st.Ints.resize(std::size_t(w));
            RowToIntegers(src, w, writeType, st.Ints.data());
            RiceCompressRow(st.Ints.data(), w, tile);
            ok = !tile.empty() && int64_t(tile.size()) < kMaxRiceTile;
          }
          if (!ok) failed = true;
        }
      });
      if (failed) return false;
      for (int32_t i = 0; i < n; ++i) {
        pieces[std::size_t(i)] = {tiles[std::size_t(i)].data(), tiles[std::size_t(i)].size()};
        AddTile(int64_t(p) * h + r0 + i, int64_t(tiles[std::size_t(i)].size()));
      }
      if (!out.WriteGather(pieces.data(), std::size_t(n))) return false;
    }
  }
  if (out.Position() - heapStart != HeapSize) return false;
  if (!WideDescriptors && HeapSize > kPDescriptorLimit) return false;

  const std::string table = DescriptorBytes();
  if (!out.WriteAt(TablePos, table.data(), table.size())) return false;
  const int64_t rem = out.Position() % TFitsStrings::kBlockSize;
  if (rem != 0 && !out.WriteZeros(std::size_t(TFitsStrings::kBlockSize - rem))) return false;

  const std::string pcount = Card80("PCOUNT  = " + RightAligned20(HeapSize));
  const std::string tform = Card80(std::string("TFORM1  = '") + (WideDescriptors ? "1QB(" : "1PB(") +
                                   std::to_string(MaxTile) + ")'");
  return out.WriteAt(tableHeaderPos + int64_t(kPcountCard) * TFitsStrings::kCardLength,
                     pcount.data(), pcount.size()) &&
         out.WriteAt(tableHeaderPos + int64_t(kTformCard) * TFitsStrings::kCardLength,
                     tform.data(), tform.size());
}

// ============================================================================ reading
namespace {

// Fewest heap bytes per pixel that RICE_1 (5 bits per 32 pixels) and deflate (about 1:1032
// at best) can produce; a heap smaller than this for the image cannot be genuine.
constexpr double kMinBytesPerPixel = 1.0 / 1100.0;

const TCfitsioApi& ApiOf(const void* api) { return *static_cast<const TCfitsioApi*>(api); }

// Walks one RICE_1 tile the way the decoder consumes its bits (first value, then per block a
// code of fsBits bits and the pixels' unary and low bits) and tells whether every bit it
// needs lies within the tile's bytes.
bool RiceTileInBounds(const uint8_t* p, int64_t bytes, int64_t pixels, int32_t bytePix,
                      int64_t blockSize) {
  const int fsBits = bytePix == 1 ? 3 : bytePix == 2 ? 4 : 5;
  const int fsMax = bytePix == 1 ? 6 : bytePix == 2 ? 14 : 25;
  const int64_t rawBits = int64_t(bytePix) * 8;
  const int64_t avail = bytes * 8;
  auto bit = [p](int64_t i) { return (p[i >> 3] >> (7 - (i & 7))) & 1; };
  int64_t pos = rawBits;
  if (pos > avail) return false;
  for (int64_t i = 0; i < pixels;) {
    if (pos + fsBits > avail) return false;
    int code = 0;
    for (int k = 0; k < fsBits; ++k) code = (code << 1) | bit(pos++);
    const int fs = code - 1;
    const int64_t end = std::min(pixels, i + blockSize);
    if (fs < 0) {
      i = end;
    } else if (fs == fsMax) {
      pos += (end - i) * rawBits;
      if (pos > avail) return false;
      i = end;
    } else {
      for (; i < end; ++i) {
        // The unary part: zero bits up to the next one bit, found a byte at a time.
        for (;;) {
          if (pos >= avail) return false;
          const uint8_t rest = uint8_t(p[pos >> 3] << (pos & 7));
          if (rest) {
            pos += __builtin_clz(uint32_t(rest) << 24);
            break;
          }
          pos = (pos | 7) + 1;
        }
        pos += 1 + fs;  // the closing one bit and the low bits
        if (pos > avail) return false;
      }
    }
  }
  return true;
}

// Tiling cards of a tile-compressed unit that CFITSIO takes without checking: it divides by
// each ZTILEn (and by tile counts made from them) as soon as it passes the unit.
bool TilingCardsSane(const TFitsStrings& h) {
  auto integral = [](double v) { return v == std::trunc(v); };
  bool found = false;
  const double axes = h.GetReal("ZNAXIS", found);
  if (!found || !integral(axes) || axes < 1 || axes > 6) return false;
  for (int a = 1; a <= int(axes); ++a) {
    const double n = h.GetReal("ZNAXIS" + std::to_string(a), found);
    if (found && (!integral(n) || n < 0)) return false;
    const double t = h.GetReal("ZTILE" + std::to_string(a), found);
    if (found && (!integral(t) || t < 1 || t > 2147483647.0)) return false;
  }
  return true;
}

// Bytes of a unit's data part from its header; -1 when the cards make no sense.
int64_t UnitDataBytes(const TFitsStrings& h) {
  bool found = false;
  const double bitpix = h.GetReal("BITPIX");
  const double naxis = h.GetReal("NAXIS", found);
  if (!found || naxis < 0 || naxis > 999 || naxis != std::trunc(naxis)) return -1;
  const int64_t bytes = int64_t(std::fabs(bitpix)) / 8;
  if (bytes != 1 && bytes != 2 && bytes != 4 && bytes != 8) return -1;
  int64_t product = naxis > 0 ? 1 : 0;
  for (int a = 1; a <= int(naxis); ++a) {
    const double n = h.GetReal("NAXIS" + std::to_string(a));
    if (n < 0 || n > 9e15 || __builtin_mul_overflow(product, int64_t(n), &product)) return -1;
  }
  const double pcount = h.GetReal("PCOUNT");
  const double gcount = h.HasKey("GCOUNT") ? h.GetReal("GCOUNT") : 1;
  if (pcount < 0 || pcount > 9e15 || gcount < 0 || gcount > 9e15) return -1;
  int64_t total = 0;
  if (__builtin_add_overflow(product, int64_t(pcount), &total) ||
      __builtin_mul_overflow(total, int64_t(gcount), &total) ||
      __builtin_mul_overflow(total, bytes, &total))
    return -1;
  return total;
}

// Walks the units of the file, reading only their headers, up to the one whose data start at
// dataOffset, and returns its 1-based number; 0 when the walk does not lead there, or when a
// tile-compressed unit on the way (which CFITSIO parses while it moves) has unusable tiling.
int32_t CheckedUnitNumber(const std::filesystem::path& fileName, int64_t dataOffset) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return 0;
  struct TCloser {
    int Fd;
    ~TCloser() { ::close(Fd); }
  } closer{fd};
  int64_t pos = 0;
  std::vector<char> block(TFitsStrings::kBlockSize);
  for (int32_t unit = 1; pos <= dataOffset; ++unit) {
    TFitsStrings h;
    for (bool end = false; !end;) {
      if (::pread(fd, block.data(), block.size(), pos) != ssize_t(block.size())) return 0;
      pos += TFitsStrings::kBlockSize;
      for (int c = 0; c < TFitsStrings::kCardsPerBlock && !end; ++c) {
        std::string card(block.data() + c * TFitsStrings::kCardLength,
                         TFitsStrings::kCardLength);
        end = card.compare(0, 8, "END     ") == 0;
        card.erase(card.find_last_not_of(' ') + 1);
        h.Add(std::move(card));
      }
      if (pos > dataOffset && !end) return 0;
    }
    bool zimage = false;
    const std::string flag = h.GetRawValue("ZIMAGE", zimage);
    if (zimage && flag.starts_with('T') && !TilingCardsSane(h)) return 0;
    if (pos == dataOffset) return unit;
    const int64_t data = UnitDataBytes(h);
    const int64_t padded = data < 0 ? -1 : (data + TFitsStrings::kBlockSize - 1) /
                                               TFitsStrings::kBlockSize * TFitsStrings::kBlockSize;
    if (padded < 0 || __builtin_add_overflow(pos, padded, &pos)) return 0;
  }
  return 0;
}

}  // namespace

TCompressedImageFile::~TCompressedImageFile() { Close(); }

void TCompressedImageFile::Close() {
  if (File) {
    int status = 0;
    ApiOf(Api).Close(static_cast<fitsfile*>(File), &status);
    File = nullptr;
  }
}

TCompressedRead TCompressedImageFile::Open(const std::filesystem::path& fileName,
                                           int64_t dataOffset, int32_t width, int32_t height,
                                           bool colour, const std::string& method) {
  Close();
  const TCfitsioApi* api = LoadCfitsio();
  if (!api) return TCompressedRead::PluginMissing;
  Api = api;
  std::error_code ec;
  const auto fileSize = std::filesystem::file_size(fileName, ec);
  if (ec || width < 1 || height < 1) return TCompressedRead::Failed;

  // The header reader chose the unit by its own walk of the file; CFITSIO goes to the same
  // unit by its number (tables or empty images may sit between the images), and only after
  // the units it passes on the way were checked.
  const int32_t unit = CheckedUnitNumber(fileName, dataOffset);
  if (unit < 1) return TCompressedRead::Failed;

  int status = 0;
  fitsfile* f = nullptr;
  // Disk-file open: brackets and other characters in the name are not filter syntax.
  const int rc = api->OpenDiskFile(&f, fileName.c_str(), READONLY, &status);
  File = f;
  if (rc != 0 || !f) return TCompressedRead::Failed;
  int hduType = -1;
  LONGLONG head = 0, dataStart = 0, dataEnd = 0;
  if (api->MoveAbsolute(f, unit, &hduType, &status) != 0 ||
      api->HduAddress(f, &head, &dataStart, &dataEnd, &status) != 0)
    return TCompressedRead::Failed;
  if (dataStart != dataOffset || hduType != IMAGE_HDU) return TCompressedRead::Failed;
  // Table and heap must be in the file before anything is allocated for the image.
  if (dataEnd < dataStart || uint64_t(dataEnd) > fileSize) return TCompressedRead::Failed;

  int naxis = 0;
  LONGLONG naxes[3] = {1, 1, 1};
  if (api->ImageDimensions(f, &naxis, &status) != 0 ||
      api->ImageSize(f, 3, naxes, &status) != 0)
    return TCompressedRead::Failed;
  if (naxis < 2 || naxes[0] != width || naxes[1] != height) return TCompressedRead::Failed;
  if (colour && (naxis < 3 || naxes[2] < 3)) return TCompressedRead::Failed;
  const bool knownRatio = method == "RICE_1" || method == "GZIP_1" || method == "GZIP_2";
  const double pixels = double(width) * height * (colour ? 3 : 1);
  if (knownRatio && double(dataEnd - dataStart) < pixels * kMinBytesPerPixel)
    return TCompressedRead::Failed;
  if (method == "RICE_1" && !RiceTilesInBounds(naxis, dataEnd - dataStart))
    return TCompressedRead::Failed;
  Width = width;
  Height = height;
  Colour = colour;
  return TCompressedRead::Loaded;
}

// CFITSIO's Rice decoder searches for the next one bit without looking at the end of the
// tile, so a damaged tile makes it read past its buffer. Every tile is checked here first,
// with the decoder's own parameters: block size ZVAL1 (32), bytes per pixel ZVAL2 (4), the
// two swapped when the first is below 16 and the second above 8.
bool TCompressedImageFile::RiceTilesInBounds(int naxis, int64_t dataBytes) {
  const TCfitsioApi& api = ApiOf(Api);
  fitsfile* f = static_cast<fitsfile*>(File);
  auto key = [&](const char* name, int64_t def, int64_t& value) {
    int status = 0;
    LONGLONG v = 0;
    api.ReadKeyInt(f, name, &v, nullptr, &status);
    if (status == KEY_NO_EXIST) {
      value = def;
      return true;
    }
    value = v;
    return status == 0;
  };
  int64_t blockSize = 0, bytePix = 0, rows = 0;
  if (!key("ZVAL1", 32, blockSize) || !key("ZVAL2", 4, bytePix) || !key("NAXIS2", -1, rows))
    return false;
  if (blockSize < 16 && bytePix > 8) std::swap(blockSize, bytePix);
  if (blockSize < 1 || (bytePix != 1 && bytePix != 2 && bytePix != 4)) return false;

  // Tile grid: ZTILE1 defaults to the row length, the other sides to 1.
  naxis = std::clamp(naxis, 1, 9);
  LONGLONG axes[9] = {};
  int status = 0;
  if (api.ImageSize(f, naxis, axes, &status) != 0) return false;
  int64_t tile[9], grid[9];
  int64_t tiles = 1;
  for (int a = 0; a < naxis; ++a) {
    const std::string name = "ZTILE" + std::to_string(a + 1);
    if (!key(name.c_str(), a == 0 ? axes[0] : 1, tile[a]) || tile[a] < 1 || axes[a] < 1)
      return false;
    tile[a] = std::min<int64_t>(tile[a], axes[a]);
    grid[a] = (axes[a] + tile[a] - 1) / tile[a];
    if (__builtin_mul_overflow(tiles, grid[a], &tiles)) return false;
  }
  if (tiles != rows) return false;

  char column[] = "COMPRESSED_DATA";
  int col = 0;
  if (api.ColumnNumber(f, CASEINSEN, column, &col, &status) != 0) return false;
  std::vector<uint8_t> bytes;
  for (int64_t row = 1; row <= rows; ++row) {
    LONGLONG length = 0, heapOffset = 0;
    if (api.Descriptor(f, col, row, &length, &heapOffset, &status) != 0) return false;
    if (length == 0) continue;  // stored in another column, not Rice coded
    if (length < 0 || length > dataBytes) return false;
    // Pixels of this tile: the grid position decides how much of each side remains.
    int64_t index = row - 1, pixels = 1;
    for (int a = 0; a < naxis; ++a) {
      const int64_t at = (index % grid[a]) * tile[a];
      index /= grid[a];
      pixels *= std::min<int64_t>(tile[a], axes[a] - at);
    }
    bytes.resize(std::size_t(length));
    int anyNull = 0;
    if (api.ReadBytes(f, col, row, 1, length, 0, bytes.data(), &anyNull, &status) != 0)
      return false;
    if (!RiceTileInBounds(bytes.data(), length, pixels, int32_t(bytePix), blockSize))
      return false;
  }
  return true;
}

TCompressedRead TCompressedImageFile::Read(TBWImage* const* planes, int32_t planeCount) {
  if (!File || planeCount != (Colour ? 3 : 1)) return TCompressedRead::Failed;
  for (int32_t k = 0; k < planeCount; ++k)
    if (!planes[k] || !planes[k]->Data || planes[k]->Width != Width ||
        planes[k]->Height != Height)
      return TCompressedRead::Failed;
  const LONGLONG count = LONGLONG(Width) * Height;
  int status = 0;
  for (int32_t k = 0; k < planeCount; ++k) {
    LONGLONG first[3] = {1, 1, LONGLONG(k) + 1};
    int anyNull = 0;
    if (ApiOf(Api).ReadPixels(static_cast<fitsfile*>(File), TFLOAT, first, count, nullptr,
                              planes[k]->Data, &anyNull, &status) != 0)
      return TCompressedRead::Failed;
  }
  return TCompressedRead::Loaded;
}

}  // namespace orlu
