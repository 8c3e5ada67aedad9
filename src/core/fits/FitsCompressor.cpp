// Tile compression: RICE_1 and GZIP_2 coders, the writer of one-tile-per-row files, and
// reading through CFITSIO behind a plug-in seam (the library is linked at build time, but
// the program keeps the "plug-in missing" behaviour reachable and tested).
#include "fits/FitsCompressor.h"

#include <fitsio.h>
#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
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
  decltype(&ffthdu) HduCount;
  decltype(&ffmahd) MoveAbsolute;
  decltype(&ffghadll) HduAddress;
  decltype(&ffgidm) ImageDimensions;
  decltype(&ffgiszll) ImageSize;
  decltype(&ffgpxvll) ReadPixels;
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
      s.CfitsioTable = TCfitsioApi{&ffvers, &ffdkopn, &ffclos,  &ffthdu,  &ffmahd,
                                   &ffghadll, &ffgidm, &ffgiszll, &ffgpxvll};
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

// Keywords of a table that must not come from the image header.
bool IsTableOnlyKey(const std::string& key) {
  static const char* const kKeys[] = {"EXTEND", "XTENSION", "PCOUNT",  "GCOUNT",
                                      "TFIELDS", "THEAP",    "CHECKSUM", "DATASUM"};
  for (const char* k : kKeys)
    if (key == k) return true;
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
TCompressedRead CompressedReadPlanes(const std::filesystem::path& fileName, int64_t dataOffset,
                                     int32_t width, int32_t height, TBWImage* const* planes,
                                     int32_t planeCount) {
  const TCfitsioApi* api = LoadCfitsio();
  if (!api) return TCompressedRead::PluginMissing;
  if (planeCount != 1 && planeCount != 3) return TCompressedRead::Failed;
  for (int32_t k = 0; k < planeCount; ++k)
    if (!planes[k] || !planes[k]->Data || planes[k]->Width != width ||
        planes[k]->Height != height)
      return TCompressedRead::Failed;

  int status = 0;
  fitsfile* f = nullptr;
  // Disk-file open: brackets and other characters in the name are not filter syntax.
  if (api->OpenDiskFile(&f, fileName.c_str(), READONLY, &status) != 0 || !f) {
    if (f) {
      int s2 = 0;
      api->Close(f, &s2);
    }
    return TCompressedRead::Failed;
  }
  struct TCloser {
    const TCfitsioApi* Api;
    fitsfile* F;
    ~TCloser() {
      int s = 0;
      Api->Close(F, &s);
    }
  } closer{api, f};

  // The header reader chose the unit by its own walk of the file; find the same unit by
  // its data offset (tables or empty images may sit between the images).
  int hduCount = 0;
  if (api->HduCount(f, &hduCount, &status) != 0) return TCompressedRead::Failed;
  bool found = false;
  int hduType = -1;
  for (int k = 1; k <= hduCount && !found; ++k) {
    LONGLONG head = 0, dataStart = 0, dataEnd = 0;
    if (api->MoveAbsolute(f, k, &hduType, &status) != 0) return TCompressedRead::Failed;
    if (api->HduAddress(f, &head, &dataStart, &dataEnd, &status) != 0)
      return TCompressedRead::Failed;
    found = dataStart == dataOffset;
  }
  if (!found || hduType != IMAGE_HDU) return TCompressedRead::Failed;

  int naxis = 0;
  LONGLONG naxes[3] = {1, 1, 1};
  if (api->ImageDimensions(f, &naxis, &status) != 0 ||
      api->ImageSize(f, 3, naxes, &status) != 0)
    return TCompressedRead::Failed;
  if (naxis < 2 || naxes[0] != width || naxes[1] != height) return TCompressedRead::Failed;
  if (planeCount == 3 && (naxis < 3 || naxes[2] < 3)) return TCompressedRead::Failed;

  const LONGLONG count = LONGLONG(width) * height;
  for (int32_t k = 0; k < planeCount; ++k) {
    LONGLONG first[3] = {1, 1, LONGLONG(k) + 1};
    int anyNull = 0;
    if (api->ReadPixels(f, TFLOAT, first, count, nullptr, planes[k]->Data, &anyNull, &status) !=
        0)
      return TCompressedRead::Failed;
  }
  return TCompressedRead::Loaded;
}

}  // namespace orlu
