// Applies one geometric transform to an image whose header (one card per line) is read from
// a file, then prints the header after the solution was written back, one card per line.
// Usage: orlu_xform_probe HEADER_TEXT OP [ARGS...] with OP one of
//   bin F AVERAGE | crop X1 Y1 X2 Y2 | resize W H METHOD | turn LEFT | rotate DEG
//   | around DEG PX PY | flip VERTICAL
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>

#include "fits/ImaHeader.h"
#include "image/ImaColor.h"
#include "processing/IPGeometry.h"

using namespace orlu;

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: orlu_xform_probe HEADER_TEXT OP [ARGS...]\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 2;
  }
  TAImage src;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    src.Header.Add(line);
  }
  src.Header.FinishEnd();
  src.SetSize(src.Header.GetInt("NAXIS1"), src.Header.GetInt("NAXIS2"), false);
  src.LoadWcsFromHeader();
  if (!src.HasWcs) {
    std::cerr << "no solution\n";
    return 1;
  }
  const std::string op = argv[2];
  auto arg = [&](int i) { return i + 3 < argc ? std::atof(argv[i + 3]) : 0.0; };
  TAImage dst;
  dst.Header = src.Header;
  bool ok = true;
  if (op == "bin") {
    ok = BinImage(src, dst, int32_t(arg(0)), arg(1) > 0, nullptr);
  } else if (op == "crop") {
    ok = CropImage(src, dst, int32_t(arg(0)), int32_t(arg(1)), int32_t(arg(2)), int32_t(arg(3)));
  } else if (op == "resize") {
    ok = ResizeImage(src, dst,
                     TResizeSpec{int32_t(arg(0)), int32_t(arg(1)), TResizeMethod(int32_t(arg(2))),
                                 3, false},
                     nullptr);
  } else if (op == "turn") {
    ok = Rotate90Image(src, dst, arg(0) > 0, nullptr);
  } else if (op == "rotate") {
    ok = RotateImage(src, dst, arg(0), false, 0, 0, nullptr);
  } else if (op == "around") {
    ok = RotateImage(src, dst, arg(0), true, arg(1), arg(2), nullptr);
  } else if (op == "flip") {
    src.CopyTo(dst);
    (arg(0) > 0) ? dst.FlipV(true, false) : dst.FlipH(true, false);
  } else {
    std::cerr << "bad operation " << op << "\n";
    return 2;
  }
  if (!ok) return 1;
  dst.StoreWcsToHeader();
  std::printf("size %d %d\n", dst.Width(), dst.Height());
  for (const std::string& c : dst.Header) std::printf("%s\n", c.c_str());
  return 0;
}
