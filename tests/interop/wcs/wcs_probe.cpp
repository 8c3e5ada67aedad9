// Runs the image's world-coordinate transforms for a script: a header text (one card per
// line) is read, then commands from stdin, one per line:
//   pix X Y     -> "pix X Y RA DEC"          (0-based pixel, degrees)
//   sky RA DEC  -> "sky RA DEC X Y OK"       (OK 1 or 0)
//   write       -> the header cards after the solution was written back, then "end"
// The first output line is "solved 1" or "solved 0". Numbers are printed with 17 digits.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "fits/ImaHeader.h"
#include "image/ImaColor.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: orlu_wcs_probe HEADER_TEXT\n";
    return 2;
  }
  std::ifstream in(argv[1]);
  if (!in) {
    std::cerr << "cannot read " << argv[1] << "\n";
    return 2;
  }
  orlu::TAImage img;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    img.Header.Add(line);
  }
  img.Header.FinishEnd();
  img.LoadWcsFromHeader();
  std::printf("solved %d\n", img.HasWcs ? 1 : 0);
  while (std::getline(std::cin, line)) {
    std::istringstream ls(line);
    std::string cmd;
    ls >> cmd;
    double a = 0, b = 0;
    if (cmd == "pix" && (ls >> a >> b)) {
      double ra = 0, dec = 0;
      img.Wcs.PixelToSkyDeg(a, b, ra, dec);
      std::printf("pix %.17g %.17g %.17g %.17g\n", a, b, ra, dec);
    } else if (cmd == "sky" && (ls >> a >> b)) {
      double x = 0, y = 0;
      constexpr double kDeg = 3.14159265358979323846 / 180.0;
      const bool ok = img.Wcs.SkyToPixel(a * kDeg, b * kDeg, x, y);
      std::printf("sky %.17g %.17g %.17g %.17g %d\n", a, b, x, y, ok ? 1 : 0);
    } else if (cmd == "write") {
      img.StoreWcsToHeader();
      for (const std::string& c : img.Header) std::printf("%s\n", c.c_str());
      std::printf("end\n");
    } else {
      std::cerr << "bad command: " << line << "\n";
      return 2;
    }
  }
  return 0;
}
