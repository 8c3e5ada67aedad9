// Test helper for the interop checks: runs the FITS reader and writer from a script.
//   orlu_fits_tool read FILE HDU OUT.raw [--unsigned] [--roworder]
//       loads image HDU of FILE; prints {"width", "height", "planes", "float", "status"} and
//       writes the planes (red, green, blue for colour) as little-endian float32 to OUT.raw.
//   orlu_fits_tool write IN.raw WIDTH HEIGHT PLANES float|int OUT none|compressed|wide [CARD]...
//       builds an image from float32 planes (same order), adds header cards given as
//       "KEY = value" texts, and writes it plain or tile-compressed (wide: with 64-bit
//       descriptors); prints {"ok", "writetype"}.
//   orlu_fits_tool header FILE HDU
//       prints the header cards after loading, one per line.
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "base/TextNumbers.h"
#include "fits/FitsCompressor.h"
#include "fits/ImaFiles.h"
#include "image/ImaColor.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

int Usage() {
  std::fprintf(stderr, "usage: orlu_fits_tool read|write|header ...\n");
  return 2;
}

int32_t ToInt(const char* s) {
  int32_t v = 0;
  if (!ParseInt32(s, v)) {
    std::fprintf(stderr, "not a number: %s\n", s);
    std::exit(2);
  }
  return v;
}

int Read(int argc, char** argv) {
  if (argc < 5) return Usage();
  TFileOptions options;
  options.RowOrderFITS = false;
  for (int i = 5; i < argc; ++i) {
    if (std::strcmp(argv[i], "--unsigned") == 0) options.AllowUnsignedFITS = true;
    if (std::strcmp(argv[i], "--roworder") == 0) options.RowOrderFITS = true;
  }
  TAImage image;
  LoadFits(image, argv[2], ToInt(argv[3]), options);
  const int planes = image.IsColour() ? 3 : 1;
  std::printf("{\"width\": %d, \"height\": %d, \"planes\": %d, \"float\": %s, \"status\": %u}\n",
              image.Width(), image.Height(), planes, image.IsFloat ? "true" : "false",
              image.Status);
  if (!(image.Status & kLoadLoaded)) return 1;
  std::ofstream out(argv[4], std::ios::binary);
  const TBWImage* order[3] = {image.MainPlane.get(), nullptr, nullptr};
  if (planes == 3) {
    order[0] = image.RedPlane.get();
    order[1] = image.MainPlane.get();
    order[2] = image.BluePlane.get();
  }
  for (int k = 0; k < planes; ++k)
    out.write(reinterpret_cast<const char*>(order[k]->Data),
              std::streamsize(order[k]->Count) * std::streamsize(sizeof(float)));
  return out ? 0 : 1;
}

int Write(int argc, char** argv) {
  if (argc < 8) return Usage();
  const int32_t w = ToInt(argv[3]), h = ToInt(argv[4]), planes = ToInt(argv[5]);
  const bool isFloat = std::strcmp(argv[6], "float") == 0;
  const std::string mode = argc > 8 ? argv[8] : "none";
  TAImage image;
  image.SetSize(w, h, planes == 3);
  image.IsFloat = isFloat ? 1 : 0;
  std::ifstream in(argv[2], std::ios::binary);
  TBWImage* order[3] = {image.MainPlane.get(), nullptr, nullptr};
  if (planes == 3) {
    order[0] = image.RedPlane.get();
    order[1] = image.MainPlane.get();
    order[2] = image.BluePlane.get();
  }
  for (int k = 0; k < (planes == 3 ? 3 : 1); ++k)
    in.read(reinterpret_cast<char*>(order[k]->Data),
            std::streamsize(order[k]->Count) * std::streamsize(sizeof(float)));
  if (!in) {
    std::fprintf(stderr, "short input\n");
    return 2;
  }
  for (int i = 9; i < argc; ++i) image.Header.SetCardFromText(argv[i]);
  if (mode == "wide") TFITSCompressor::SetWideDescriptorThresholdForTest(1);
  const int32_t type = ChooseWriteType(image);
  const bool ok = WriteFits(image, argv[7], mode != "none");
  std::printf("{\"ok\": %s, \"writetype\": %d}\n", ok ? "true" : "false", type);
  return ok ? 0 : 1;
}

int Header(int argc, char** argv) {
  if (argc < 4) return Usage();
  TAImage image;
  ReadFits(image, argv[2], ToInt(argv[3]), false);
  for (const std::string& c : image.Header) std::printf("%s\n", c.c_str());
  return (image.Status & kLoadLoaded) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  const std::string cmd = argv[1];
  if (cmd == "read") return Read(argc, argv);
  if (cmd == "write") return Write(argc, argv);
  if (cmd == "header") return Header(argc, argv);
  return Usage();
}
