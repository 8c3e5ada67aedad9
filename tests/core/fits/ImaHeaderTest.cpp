// Header cards: exact card texts, lenient getters, the block reader on small files made here.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "fits/ImaHeader.h"

using namespace orlu;
namespace fs = std::filesystem;

namespace {

using Cards = std::vector<std::string>;

TFitsStrings Header(Cards cards) {
  TFitsStrings h;
  h.Assign(std::move(cards));
  return h;
}

std::string R20(const std::string& s) { return std::string(20 - s.size(), ' ') + s; }

// ---- FITS files built byte by byte (independent of the writer under test)
std::string Card80(std::string s) {
  s.resize(80, ' ');
  return s;
}

std::string HeaderBytes(const Cards& cards) {
  std::string out;
  for (const auto& c : cards) out += Card80(c);
  out.resize((out.size() + 2879) / 2880 * 2880, ' ');
  return out;
}

std::string DataBytes(std::size_t n, char fill) {
  std::string d(n, fill);
  d.resize((n + 2879) / 2880 * 2880, '\0');
  return d;
}

const Cards kPrimaryNoData = {"SIMPLE  =                    T", "BITPIX  =                    8",
                              "NAXIS   =                    0", "EXTEND  =                    T",
                              "DATE-OBS= '2023-03-15'",         "QVIM_CNT=                    7",
                              "END"};

Cards ImageExt(int width, const std::string& name) {
  return {"XTENSION= 'IMAGE   '",           "BITPIX  =                   16",
          "NAXIS   =                    2", "NAXIS1  = " + R20(std::to_string(width)),
          "NAXIS2  =                    3", "PCOUNT  =                    0",
          "GCOUNT  =                    1", "EXTNAME = '" + name + "'",
          "END"};
}

const Cards kCompressedExt = {
    "XTENSION= 'BINTABLE'",           "BITPIX  =                    8",
    "NAXIS   =                    2", "NAXIS1  =                    8",
    "NAXIS2  =                    3", "PCOUNT  =                   40",
    "GCOUNT  =                    1", "TFIELDS =                    1",
    "TTYPE1  = 'COMPRESSED_DATA'",    "TFORM1  = '1PB(20)'",
    "ZIMAGE  =                    T", "ZTILE1  =                   10",
    "ZTILE2  =                    1", "ZCMPTYPE= 'RICE_1'",
    "ZNAME1  = 'BLOCKSIZE'",          "ZVAL1   =                   32",
    "ZBITPIX =                   16", "ZNAXIS  =                    2",
    "ZNAXIS1 =                   10", "ZNAXIS2 =                    3",
    "BZERO   =              32768.0", "CHECKSUM= 'abc'",
    "DATASUM = '0'",                  "ZQUANTIZ= 'NONE'",
    "ZDITHER0=                    1", "END"};

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/orlu_hdr_XXXXXX";
    const char* d = ::mkdtemp(tmpl);
    if (d) path_ = d;
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  fs::path File(const std::string& name, const std::string& bytes) const {
    const fs::path p = path_ / name;
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

std::string ReadAt(const fs::path& p, int64_t offset, std::size_t n) {
  std::ifstream f(p, std::ios::binary);
  f.seekg(offset);
  std::string s(n, '\0');
  f.read(s.data(), static_cast<std::streamsize>(n));
  s.resize(static_cast<std::size_t>(f.gcount()));
  return s;
}

struct ReadResult {
  TFitsHeaderStatus Status;
  bool Compressed;
  int64_t Blocks;
};

ReadResult Read(TFitsStrings& h, const fs::path& p, int hdu) {
  bool compressed = true;
  int64_t blocks = -5;
  const TFitsHeaderStatus st = h.ReadFromFile(p, hdu, compressed, blocks);
  return {st, compressed, blocks};
}

}  // namespace

// ================================================================ card texts

TEST(ImaHeader, FormatRealValueMatchesTheCardTextByteForByte) {
  struct Row { double x; std::string want; };
  const Row rows[] = {
      {0, "0.0"},
      {1, "1.0"},
      {2.5, "2.5"},
      {0.00001, "1.000000000000E-005"},
      {1.5e10, "1.500000000000E+010"},
      {-1.5e10, "-1.500000000000E+010"},
      {1e9, "1.000000000000E+009"},
      {999999999.0, "999999999.0"},
      {1e-4, "0.0001"},
      {1e100, "1.000000000000E+100"},
      {1e-300, "1.000000000000E-300"},
      {1.23456789012345e-7, "1.234567890123E-007"},
      {1.0 / 3, "0.3333333333333"},       // 13 significant digits below 1e6
      {2.0 / 3, "0.6666666666667"},
      {123456789.123456789, "123456789.123457"},  // 15 significant digits from 1e6 on
      {-32768, "-32768.0"},
      {32768, "32768.0"},
      {123456.789, "123456.789"},
  };
  for (const auto& r : rows) EXPECT_EQ(TFitsStrings::FormatRealValue(r.x), R20(r.want)) << r.x;
  EXPECT_EQ(TFitsStrings::FormatRealValue(std::nan("")), "");
  EXPECT_EQ(TFitsStrings::FormatRealValue(-INFINITY), "");
}

TEST(ImaHeader, SettersWriteTheExactCardText) {
  const std::string longText(100, 'x');
  struct Row {
    const char* name;
    void (*set)(TFitsStrings&);
    std::string card;
  };
  const Row rows[] = {
      {"string", [](TFitsStrings& h) { h.SetString("OBJECT", "M31", true); }, "OBJECT  = 'M31' "},
      {"quote doubled", [](TFitsStrings& h) { h.SetString("OBSERVER", "O'Brien", true); },
       "OBSERVER= 'O''Brien' "},
      {"non-ASCII", [](TFitsStrings& h) { h.SetString("OBSERVER", "M\xC3\xBCller\x01", true); },
       "OBSERVER= 'M?ller?' "},
      {"comment", [](TFitsStrings& h) { h.SetStringComment("DATE-OBS", "2023", true, "UTC"); },
       "DATE-OBS= '2023' / UTC"},
      {"no comment", [](TFitsStrings& h) { h.SetStringComment("DATE-OBS", "2023", true, ""); },
       "DATE-OBS= '2023' "},
      {"integer", [](TFitsStrings& h) { h.SetInt("XBINNING", 100, true); }, "XBINNING=                  100"},
      {"negative integer", [](TFitsStrings& h) { h.SetInt("offset", -32, true); },
       "OFFSET  =                  -32"},
      {"real", [](TFitsStrings& h) { h.SetReal("BSCALE", true, 1); }, "BSCALE  =                  1.0"},
      {"key cut to 8", [](TFitsStrings& h) { h.SetInt("LONGKEYWORD", 7, true); },
       "LONGKEYW=                    7"},
      {"comment card", [](TFitsStrings& h) { h.AddComment(std::string(80, 'c')); },
       "COMMENT " + std::string(72, 'c')},
      {"history card", [](TFitsStrings& h) { h.AddHistory("Flat"); }, "HISTORY Flat"},
  };
  for (const auto& r : rows) {
    TFitsStrings h;
    h.InitMinimal();
    r.set(h);
    ASSERT_EQ(h.Count(), 7) << r.name;
    EXPECT_EQ(h[5], r.card) << r.name;  // just before END
    EXPECT_EQ(h[6], "END") << r.name;
  }
}

TEST(ImaHeader, LongStringValuesKeepTheirClosingQuoteWithinColumn80) {
  struct Row { std::string value; std::string back; };
  const Row rows[] = {
      {std::string(100, 'x'), std::string(68, 'x')},
      {std::string(40, '\''), std::string(34, '\'')},         // doubled quotes are not split
      {std::string(67, 'a') + "'", std::string(67, 'a')},     // the doubled quote would not fit
      {std::string(66, 'a') + "'", std::string(66, 'a') + "'"},
  };
  for (const auto& r : rows) {
    TFitsStrings h;
    h.InitMinimal();
    h.SetString("OBJECT", r.value, true);
    const std::string written = h.HeaderBlocks().substr(5 * 80, 80);
    EXPECT_EQ(written.find_last_of('\''), written.find_last_not_of(' ')) << r.value;
    EXPECT_LE(written.find_last_of('\''), 79u);
    EXPECT_EQ(h.GetString("OBJECT"), r.back) << r.value;
  }
}

TEST(ImaHeader, ReplaceFlagAndDuplicateKeysActOnTheFirstCardOnly) {
  TFitsStrings h = Header({"SIMPLE  =                    T", "OBJECT  = 'A'", "OBJECT  = 'B'", "END"});
  h.SetString("OBJECT", "C", false);
  EXPECT_EQ(h[1], "OBJECT  = 'A'");
  h.SetString("object", "C", true);
  EXPECT_EQ(h[1], "OBJECT  = 'C' ");
  EXPECT_EQ(h[2], "OBJECT  = 'B'");
  EXPECT_EQ(h.GetString("OBJECT"), "C");
  h.DeleteKey("OBJECT");
  EXPECT_EQ(h.GetString("OBJECT"), "B");

  TFitsStrings empty;
  empty.SetString("OBJECT", "M31", true);
  empty.SetInt("NAXIS1", 5, true);
  empty.AddComment("x");
  EXPECT_EQ(empty.Count(), 0);
}

TEST(ImaHeader, NonFiniteRealsAreRefusedAndTheOldCardKept) {
  TFitsStrings h;
  h.InitMinimal();
  h.SetReal("EXPTIME", true, 30);
  const Cards before = h.Strings();
  h.SetReal("EXPTIME", true, std::nan(""));
  h.SetReal("EXPTIME", true, INFINITY);
  h.SetReal("NEWKEY", true, -INFINITY);
  h.SetScaling(std::nan(""));
  h.SetSite(std::nan(""), 5, true);
  h.SetDateObsJD("", INFINITY);
  EXPECT_EQ(h.Strings(), before);
}

TEST(ImaHeader, EndCardHandling) {
  TFitsStrings h = Header({"SIMPLE  =                    T", "END", "", "  ", "END     "});
  h.AddBeforeEnd("A       =                    1");
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "END", "A       =                    1", "END"}));
  h.FinishEnd();
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "A       =                    1", "END "}));
  h = Header({"", "OBJECT  = 'M31'", ""});
  h.RemoveEmptyCards();
  EXPECT_EQ(h.Strings(), (Cards{"OBJECT  = 'M31'"}));
}

// ================================================================ getters

TEST(ImaHeader, GettersReadAwkwardCardsLeniently) {
  struct Row {
    std::string card;
    const char* key;
    bool found;
    double real;
    int32_t integer;
    std::string str;
  };
  const Row rows[] = {
      {"EXPTIME =                 30.5 / seconds", "EXPTIME", true, 30.5, 30, ""},
      {"EXPTIME =                 31.5 / seconds", "exptime", true, 31.5, 32, ""},  // ties to even
      {"FLAG    =                    T", "FLAG", true, 0, 0, ""},
      {"DEXP    =              1.5D+02", "DEXP", true, 150, 150, ""},
      {"HUGE    =               1E+999", "HUGE", true, 0, 0, ""},
      {"CLAMP   =              1.0E+20", "CLAMP", true, 1e20, INT32_MAX, ""},
      {"CLAMPN  =             -1.0E+20", "CLAMPN", true, -1e20, INT32_MIN, ""},
      {"FREE    =  -7.25e1", "FREE", true, -72.5, -72, ""},
      {"DOT     = .5", "DOT", true, 0.5, 0, ""},
      {"STR     = 'abc'", "STR", true, 0, 0, "abc"},
      {"QUOTE   = 'it''s  '", "QUOTE", true, 0, 0, "it's"},
      {"COL10   ='abc'", "COL10", true, 0, 0, "abc"},
      {"UNQUOTED= 2023-01-01", "UNQUOTED", true, 2023, 2023, ""},
      {"lowkey  =                    5", "LOWKEY", true, 5, 5, ""},
      {"LONGKEYW=                    7", "LONGKEYWORD", true, 7, 7, ""},
      {"NOEQUALS                     5", "NOEQUALS", false, 0, 0, ""},
      {"SHORT= 5", "SHORT", false, 0, 0, ""},
      {"HISTORY was here", "HISTORY", false, 0, 0, ""},
      {"EMPTY   =", "EMPTY", true, 0, 0, ""},
  };
  for (const auto& r : rows) {
    TFitsStrings h = Header({"SIMPLE  =                    T", r.card, "END"});
    bool found = !r.found;
    EXPECT_EQ(h.GetReal(r.key, found), r.real) << r.card;
    EXPECT_EQ(found, r.found) << r.card;
    EXPECT_EQ(h.GetInt(r.key), r.integer) << r.card;
    EXPECT_EQ(h.GetString(r.key), r.str) << r.card;
    EXPECT_EQ(h.HasKey(r.key), r.found) << r.card;
  }
}

TEST(ImaHeader, RawValueValueTextAndStringTest) {
  TFitsStrings h = Header({"DATE-OBS= 2023-01-01T10:00:00 / UTC", "OBJECT  = 'M 31   '",
                           "EXPTIME =                 30.5", "SMALL   =              1.5E-07", "END"});
  bool found = false;
  EXPECT_EQ(h.GetRawValue("DATE-OBS", found), "2023-01-01T10:00:00");
  EXPECT_TRUE(found);
  EXPECT_EQ(h.GetRawValue("OBJECT", found), "M 31");
  EXPECT_TRUE(h.IsStringKey("OBJECT"));
  EXPECT_FALSE(h.IsStringKey("EXPTIME"));
  EXPECT_EQ(h.GetValueText("OBJECT"), "M 31");
  EXPECT_EQ(h.GetValueText("EXPTIME"), "30.5");
  EXPECT_EQ(h.GetValueText("SMALL"), "1.5E-7");
  EXPECT_EQ(h.GetValueText("MISSING"), "?");
  EXPECT_EQ(h.ExpandPlaceholders("%OBJECT, %EXPTIME s, %lower %MISSING%"), "M 31, 30.5 s, %lower ?%");
  EXPECT_EQ(h.ExpandPlaceholders("%E"), "%E");  // shorter than 3 characters: unchanged
}

TEST(ImaHeader, RenameKeyKeepsValueAndComment) {
  TFitsStrings h = Header({"ZCMPTYPE= 'RICE_1'           / method", "END"});
  EXPECT_TRUE(h.RenameKey("ZCMPTYPE", "ORIG_CMP"));
  EXPECT_EQ(h[0], "ORIG_CMP= 'RICE_1'           / method");
  EXPECT_FALSE(h.RenameKey("ZCMPTYPE", "X"));
}

// ================================================================ geometry

TEST(ImaHeader, SetGeometryAndScalingPutTheStructuralCardsFirst) {
  TFitsStrings h;
  h.SetGeometry(640, 480, true, 16);
  h.SetScaling(32768);
  h.SetString("OBJECT", "M31", true);
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "BITPIX  =                   16",
                                "NAXIS   =                    3", "NAXIS1  =                  640",
                                "NAXIS2  =                  480", "NAXIS3  =                    3",
                                "BZERO   =              32768.0", "BSCALE  =                  1.0",
                                "OBJECT  = 'M31' ", "END"}));
  h.SetString("ORIG_CMP", "RICE_1", true);
  h.SetGeometry(10, 20, false, -32);
  h.SetScaling(0);
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "BITPIX  =                  -32",
                                "NAXIS   =                    2", "NAXIS1  =                   10",
                                "NAXIS2  =                   20", "BZERO   =                  0.0",
                                "BSCALE  =                  1.0", "OBJECT  = 'M31' ", "END"}));
}

TEST(ImaHeader, SetGeometryNeverOverwritesUnrelatedCards) {
  // A header whose first cards are not the axis cards (as other formats may leave it).
  TFitsStrings h = Header({"SIMPLE  =                    T", "DATE-OBS= '2023-03-15'", "OBJECT  = 'M31'",
                           "EXPTIME =                 30.0", "NAXIS   =                    2",
                           "TELESCOP= 'C14'", "END"});
  h.SetGeometry(4, 3, false, 8);
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "BITPIX  =                    8",
                                "NAXIS   =                    2", "NAXIS1  =                    4",
                                "NAXIS2  =                    3", "DATE-OBS= '2023-03-15'",
                                "OBJECT  = 'M31'", "EXPTIME =                 30.0", "TELESCOP= 'C14'",
                                "END"}));
}

TEST(ImaHeader, GetGeometryMapsAndClampsTheStructuralCards) {
  struct Row {
    Cards cards;
    TFitsGeometry want;
  };
  auto card = [](const char* k, const char* v) { return TFitsStrings::Name8(k) + "= " + R20(v); };
  const Row rows[] = {
      {{card("BITPIX", "-32"), card("NAXIS", "2"), card("NAXIS1", "100"), card("NAXIS2", "50")},
       {100, 50, 2, 33, 0, 1}},
      {{card("BITPIX", "-64"), card("NAXIS", "3"), card("NAXIS1", "10"), card("NAXIS2", "5"),
        card("NAXIS3", "2")},
       {10, 5, 2, 65, 0, 1}},
      {{card("BITPIX", "16"), card("NAXIS", "3"), card("NAXIS1", "10"), card("NAXIS2", "5"),
        card("NAXIS3", "3"), card("BZERO", "32768"), card("BSCALE", "2")},
       {10, 5, 3, 16, 32768, 2}},
      {{card("BITPIX", "-16"), card("NAXIS", "4"), card("NAXIS1", "1E9"), card("NAXIS2", "-5")},
       {99999, 0, 2, 99, 0, 1}},
      {{card("BITPIX", "4"), card("NAXIS", "1"), card("NAXIS1", "7.9")}, {7, 0, 1, 4, 0, 1}},
  };
  for (const auto& r : rows) {
    const TFitsGeometry g = Header(r.cards).GetGeometry();
    EXPECT_EQ(g.Width, r.want.Width) << r.cards[0];
    EXPECT_EQ(g.Height, r.want.Height) << r.cards[0];
    EXPECT_EQ(g.Axes, r.want.Axes) << r.cards[0];
    EXPECT_EQ(g.SampleCode, r.want.SampleCode) << r.cards[0];
    EXPECT_EQ(g.BZero, r.want.BZero) << r.cards[0];
    EXPECT_EQ(g.BScale, r.want.BScale) << r.cards[0];
  }
}

TEST(ImaHeader, DataSizeCountsBytesIn64Bits) {
  auto card = [](const char* k, const char* v) { return TFitsStrings::Name8(k) + "= " + R20(v); };
  struct Row {
    Cards cards;
    bool exclude;
    int64_t want;
  };
  const Row rows[] = {
      {{card("BITPIX", "16")}, false, -1},
      {{card("NAXIS", "2"), card("NAXIS1", "0"), card("BITPIX", "16")}, false, 0},
      {{card("NAXIS", "2"), card("NAXIS1", "10"), card("BITPIX", "4")}, false, 0},
      {{card("NAXIS", "3"), card("NAXIS1", "100"), card("NAXIS2", "50"), card("NAXIS3", "3"),
        card("BITPIX", "16")},
       false, 30000},
      {{card("NAXIS", "3"), card("NAXIS1", "100"), card("NAXIS2", "50"), card("NAXIS3", "3"),
        card("BITPIX", "16")},
       true, 10000},
      {{card("NAXIS", "2"), card("NAXIS1", "30000"), card("NAXIS2", "30000"), card("BITPIX", "-64")},
       false, 7200000000LL},
      {{card("NAXIS", "2"), card("NAXIS1", "1E18"), card("NAXIS2", "1E18"), card("BITPIX", "16")},
       false, INT64_MAX},
      {{card("NAXIS", "2"), card("NAXIS1", "8"), card("NAXIS2", "3"), card("BITPIX", "8"),
        card("ZIMAGE", "T"), card("PCOUNT", "40")},
       false, 64},
  };
  for (const auto& r : rows) EXPECT_EQ(Header(r.cards).DataSize(r.exclude), r.want) << r.cards[0];
}

TEST(ImaHeader, ImageCountAndRowOrder) {
  EXPECT_EQ(Header({"END"}).ImageCount(), 1);
  EXPECT_EQ(Header({"QVIM_CNT=                    3"}).ImageCount(), 3);
  EXPECT_EQ(Header({"QVIM_CNT=                1E+30"}).ImageCount(), 2000000000);
  EXPECT_TRUE(Header({"ROWORDER= 'top-down'"}).IsTopDown());
  EXPECT_FALSE(Header({"ROWORDER= 'BOTTOM-UP'"}).IsTopDown());
}

// ================================================================ observation helpers

TEST(ImaHeader, RaDecFromTextsAndNumbers) {
  struct Row {
    Cards cards;
    bool ok;
    double ra, dec;
  };
  const Row rows[] = {
      {{"RA      = '12 30 00'", "DEC     = '-00 30 00'"}, true, 187.5, -0.5},
      {{"RA      = '12 30 00'", "DEC     = ' -00 30 00'"}, true, 187.5, -0.5},  // leading blank keeps the sign
      {{"RA      = '12:30:00,5'", "DEC     = '+45:30:00'"}, true, (12.5 + 0.5 / 3600) * 15, 45.5},
      {{"OBJCTRA = '01 00 00'", "OBJCTDEC= '+10 00 36'"}, true, 15, 10.01},
      {{"SCOPEPOS= '06 00 00  -20 15 00'"}, true, 90, -20.25},
      {{"RA      =                 10.5", "DEC     =                41.25"}, true, 10.5, 41.25},
      {{"RA      =                  0.0", "DEC     =                  0.0"}, false, -1, -1},
      {{"RA      = '12 30'", "DEC     = '+45 30 00'"}, false, -1, -1},
      {{"OBJECT  = 'M31'"}, false, -1, -1},
  };
  for (const auto& r : rows) {
    double ra = 7, dec = 7;
    EXPECT_EQ(Header(r.cards).GetRaDec(ra, dec), r.ok) << r.cards[0];
    EXPECT_NEAR(ra, r.ra, 1e-9) << r.cards[0];
    EXPECT_NEAR(dec, r.dec, 1e-9) << r.cards[0];
  }
}

TEST(ImaHeader, ObservationTexts) {
  struct Row {
    Cards cards;
    std::string dateTime, exposure, temperature;
  };
  const Row rows[] = {
      {{"DATE-OBS= '2023-03-15T22:30:00'", "EXPTIME =                 30.0", "CCD-TEMP=               -15.25"},
       "2023-03-15 22:30:00", "  30s ", "-15.2\u00B0 "},
      {{"DATE-OBS= '2023-03-15'", "TIME-OBS= '22:30:00'", "EXPOSURE=                  0.5", "TEMPERAT=                  5.0"},
       "2023-03-15 22:30:00", " 0.5s ", "5.0\u00B0 "},
      {{"DATE-OBS= 2023-03-15", "UT      = '01:02:03'", "EXPTIME =               1234.5"},
       "2023-03-15 01:02:03", "1234.5s ", ""},
      {{"OBJECT  = 'M31'"}, "", "", ""},
  };
  for (const auto& r : rows) {
    const TFitsStrings h = Header(r.cards);
    EXPECT_EQ(h.GetDateTimeText(), r.dateTime) << r.cards[0];
    EXPECT_EQ(h.ExposureText(1), r.exposure) << r.cards[0];
    EXPECT_EQ(h.TemperatureText(1), r.temperature) << r.cards[0];
  }
}

TEST(ImaHeader, DatesSitesAndPixelSize) {
  struct Row { double jd; std::string text; };
  // JD of 2000-01-01 12:00 is 2451545.0; 2023-03-15 22:30 is 2460019.4375.
  const Row rows[] = {{2451545.0, "2000-01-01T12:00:00.000"},
                      {2460019.4375, "2023-03-15T22:30:00.000"},
                      {2415018.5 - 1.0 / 86400000, "1899-12-29T23:59:59.999"},
                      {2415020.5 + 0.0004 / 86400, "1900-01-01T00:00:00.000"}};
  for (const auto& r : rows) {
    TFitsStrings h;
    h.InitMinimal();
    h.SetDateObsJD("UTC", r.jd);
    EXPECT_EQ(h.GetString("DATE-OBS"), r.text) << r.jd;
  }
  struct SRow { double x; std::string text; };
  const SRow srows[] = {{45.5, "+45 30 00.000"}, {-0.5, "-00 30 00.000"}, {0, "+00 00 00.000"},
                        {12.9999999, "+13 00 00.000"}, {-120.25, "-120 15 00.000"}};
  for (const auto& r : srows) EXPECT_EQ(TFitsStrings::FormatSexagesimal(r.x), r.text) << r.x;

  TFitsStrings h;
  h.InitMinimal();
  h.SetSite(48.5, -2.25, true);
  EXPECT_EQ(h.GetString("SITELONG"), "-02 15 00.000");
  EXPECT_EQ(h.GetString("SITELAT"), "+48 30 00.000");
  h.SetReal("XPIXSZ", true, 5.4);
  h.ScalePixelSize(2);
  EXPECT_EQ(h.GetReal("XPIXSZ"), 5.4);  // needs both sizes
  h.SetReal("YPIXSZ", true, 3);
  h.ScalePixelSize(2);
  EXPECT_EQ(h.GetReal("XPIXSZ"), 10.8);
  EXPECT_EQ(h.GetReal("YPIXSZ"), 6);
}

// ================================================================ text input

TEST(ImaHeader, SetCardFromText) {
  struct Row { std::string text; std::string card; };
  const Row rows[] = {
      {" object = 'M 31' ", "OBJECT  = 'M 31' "},
      {"EXPTIME=30", "EXPTIME =                 30.0"},
      {"FOO = \"bar\"", "FOO     = 'bar' "},
      {"COMMENT hello", "COMMENT hello"},
      {"history did x", "HISTORY did x"},
      {"NOTE = abc", ""},
      {"= 5", ""},
      {"X = nan", ""},
      {"plain text", ""},
  };
  for (const auto& r : rows) {
    TFitsStrings h;
    h.InitMinimal();
    h.SetCardFromText(r.text);
    if (r.card.empty()) {
      EXPECT_EQ(h.Count(), 6) << r.text;
    } else {
      ASSERT_EQ(h.Count(), 7) << r.text;
      EXPECT_EQ(h[5], r.card) << r.text;
    }
  }
}

TEST(ImaHeader, ImportTextSplitsAtControlCharacters) {
  TFitsStrings h;
  h.SetGeometry(4, 3, false, 16);
  h.ImportText("OBJECT  = 'M31'\r\nCOMMENT hi\tEXPTIME =  5\n\nEND\n   NAXIS1  =  99  \x01" + std::string(90, 'Z'));
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "BITPIX  =                   16",
                                "NAXIS   =                    2", "NAXIS1  =  99",
                                "NAXIS2  =                    3", "OBJECT  = 'M31'", "COMMENT hi",
                                "EXPTIME =  5", std::string(80, 'Z'), "END"}));
}

// ================================================================ keyword families

TEST(ImaHeader, VisualizationKeys) {
  TFitsStrings h;
  h.InitMinimal();
  double mn = 1, mx = 1;
  int32_t type = 9;
  std::string curve = "x";
  EXPECT_FALSE(h.GetVisuKeys(mn, mx, type, curve));
  h.SetVisuKeys(3e10, 4000, -5);
  h.SetString("ORLUUCRV", "0 0 1 1", true);
  EXPECT_TRUE(h.GetVisuKeys(mn, mx, type, curve));
  EXPECT_EQ(mn, -5);
  EXPECT_EQ(mx, 4000);
  EXPECT_EQ(type, INT32_MAX);
  EXPECT_EQ(curve, "0 0 1 1");
  h.DeleteVisuKeys();
  EXPECT_EQ(h.Count(), 6);
}

TEST(ImaHeader, WcsAndSipKeysAreDeleted) {
  TFitsStrings h = Header({"SIMPLE  =                    T", "CTYPE1  = 'RA---TAN-SIP'", "CRVAL1  = 10.0",
                           "CD1_1   = 1e-4", "CD002002= 1e-4", "APOLY3  = 0", "A_ORDER = 2",
                           "A_1_1   = 1e-5", "ap_0_1  = 1e-6", "BP_2_0  = 1e-6", "B_1_10  = 1",
                           "A_LONG  = 1", "PPOLY0  = 1", "END"});
  h.DeleteWcsKeys();
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "B_1_10  = 1", "A_LONG  = 1",
                                "PPOLY0  = 1", "END"}));
  h.DeletePolyKeys();
  EXPECT_FALSE(h.HasKey("PPOLY0"));
}

TEST(ImaHeader, HasSipDistortionNeedsTwoSigns) {
  struct Row { Cards cards; bool want; };
  const Row rows[] = {
      {{"CTYPE1  = 'RA---TAN-SIP'", "A_ORDER =                    2"}, true},
      {{"A_ORDER =                    3", "A_2_0   = 1e-6"}, true},
      {{"CTYPE1  = 'RA---TAN-SIP'"}, false},
      {{"CTYPE1  = 'RA---TAN-SIP'", "A_ORDER =                    5", "A_2_0   = 1e-6"}, false},
      {{"CTYPE1  = 'RA---TAN'", "A_2_0   = 1e-6"}, false},
  };
  for (const auto& r : rows) EXPECT_EQ(Header(r.cards).HasSipDistortion(), r.want) << r.cards[0];
}

// ================================================================ writer

TEST(ImaHeader, HeaderBlocksAreWholeBlocksOfPrintableAscii) {
  TFitsStrings h;
  h.SetGeometry(4, 3, false, 16);
  h.SetString("OBJECT", "caf\xC3\xA9", true);
  h.AddComment(std::string(40, 'c'));
  h.Add("LONG    = " + std::string(100, '9'));  // after END: FinishEnd moves END last
  for (int i = 0; i < 30; ++i) h.AddHistory("step " + std::to_string(i));
  const std::string b = h.HeaderBlocks();
  ASSERT_EQ(b.size(), 2 * 2880u);
  for (char c : b) ASSERT_TRUE(c >= 32 && c <= 126);
  EXPECT_EQ(b.substr(5 * 80, 80), Card80("OBJECT  = 'caf?' "));
  EXPECT_EQ(b.substr(7 * 80, 80), "LONG    = " + std::string(70, '9'));
  const std::size_t end = 38 * 80;
  EXPECT_EQ(b.substr(end, 80), Card80("END"));
  EXPECT_EQ(b.substr(end + 80), std::string(2 * 2880 - end - 80, ' '));
  EXPECT_EQ(h[h.Count() - 1], "END ");
}

// ================================================================ reader

TEST(ImaHeaderRead, PrimaryOnly) {
  TempDir dir;
  Cards cards = {"SIMPLE  =                    T", "BITPIX  =                   16",
                 "NAXIS   =                    2", "NAXIS1  =                    4",
                 "NAXIS2  =                    3", "QVIM_CNT=                    3",
                 "", "", "", "OBJECT  = 'M31'     ", "QVIM_CNT=                    3",
                 "COMMENT tab\there\x80"};
  for (int i = 0; i < 30; ++i) cards.push_back("HISTORY " + std::to_string(i));
  cards.push_back("END");
  const fs::path p = dir.File("primary.fits", HeaderBytes(cards) + DataBytes(24, 'D'));
  TFitsStrings h;
  const ReadResult r = Read(h, p, 2);  // an index is ignored when the primary holds the image
  EXPECT_EQ(r.Status, TFitsHeaderStatus::Ok);
  EXPECT_FALSE(r.Compressed);
  EXPECT_EQ(r.Blocks, 2);
  Cards want = {"SIMPLE  =                    T", "BITPIX  =                   16",
                "NAXIS   =                    2", "NAXIS1  =                    4",
                "NAXIS2  =                    3", "", "OBJECT  = 'M31'", "COMMENT tab?here?"};
  for (int i = 0; i < 30; ++i) want.push_back("HISTORY " + std::to_string(i));
  want.push_back("END");
  EXPECT_EQ(h.Strings(), want);
  EXPECT_EQ(ReadAt(p, 2880 * r.Blocks, 1), "D");
}

TEST(ImaHeaderRead, ImageExtensionsBehindAnEmptyPrimary) {
  TempDir dir;
  // A table between the images whose data look like an image extension header: walking by
  // unit sizes must not take them for one.
  const Cards table = {"XTENSION= 'BINTABLE'",           "BITPIX  =                    8",
                       "NAXIS   =                    2", "NAXIS1  =                 2880",
                       "NAXIS2  =                    1", "PCOUNT  =                    0",
                       "GCOUNT  =                    1", "TFIELDS =                    1",
                       "END"};
  const std::string bytes = HeaderBytes(kPrimaryNoData) + HeaderBytes(ImageExt(10, "SCI1")) +
                            DataBytes(60, '1') + HeaderBytes(table) + HeaderBytes(ImageExt(7, "FAKE")) +
                            HeaderBytes(ImageExt(12, "SCI2")) + DataBytes(72, '2');
  const fs::path p = dir.File("mef.fits", bytes);
  struct Row {
    int hdu;
    TFitsHeaderStatus status;
    int64_t blocks;
    Cards cards;
    char data;
  };
  const Cards first = {"SIMPLE  =                    T", "BITPIX  =                   16",
                       "NAXIS   =                    2", "NAXIS1  =                   10",
                       "NAXIS2  =                    3", "EXTNAME = 'SCI1'",
                       "DATE-OBS= '2023-03-15'",         "QVIM_CNT=                    2",
                       "QVIM_IDX=                    1", "END"};
  const Row rows[] = {
      {0, TFitsHeaderStatus::Ok, 2, first, '1'},
      {1, TFitsHeaderStatus::Ok, 2, first, '1'},
      {2, TFitsHeaderStatus::Ok, 6,
       {"SIMPLE  =                    T", "BITPIX  =                   16", "NAXIS   =                    2",
        "NAXIS1  =                   12", "NAXIS2  =                    3", "EXTNAME = 'SCI2'",
        "DATE-OBS= '2023-03-15'", "QVIM_IDX=                    2", "END"},
       '2'},
  };
  for (const auto& r : rows) {
    TFitsStrings h;
    const ReadResult res = Read(h, p, r.hdu);
    EXPECT_EQ(res.Status, r.status) << r.hdu;
    EXPECT_FALSE(res.Compressed) << r.hdu;
    EXPECT_EQ(res.Blocks, r.blocks) << r.hdu;
    EXPECT_EQ(h.Strings(), r.cards) << r.hdu;
    EXPECT_EQ(ReadAt(p, 2880 * res.Blocks, 1), std::string(1, r.data)) << r.hdu;
  }
  TFitsStrings h;
  const ReadResult res = Read(h, p, 3);
  EXPECT_EQ(res.Status, TFitsHeaderStatus::NoImageExtension);
  EXPECT_EQ(res.Blocks, 1);
  EXPECT_LE(h.Count(), 36);
}

TEST(ImaHeaderRead, TileCompressedExtension) {
  TempDir dir;
  const std::string bytes = HeaderBytes(kPrimaryNoData) + HeaderBytes(kCompressedExt) + DataBytes(64, 'C') +
                            HeaderBytes(ImageExt(10, "PLAIN")) + DataBytes(60, 'P');
  const fs::path p = dir.File("comp.fits", bytes);
  TFitsStrings h;
  ReadResult r = Read(h, p, 1);
  EXPECT_EQ(r.Status, TFitsHeaderStatus::Ok);
  EXPECT_TRUE(r.Compressed);
  EXPECT_EQ(r.Blocks, 2);
  EXPECT_EQ(h.Strings(), (Cards{"SIMPLE  =                    T", "BITPIX  =                   16",
                                "NAXIS   =                    2", "NAXIS1  =                   10",
                                "NAXIS2  =                    3", "ORIG_CMP= 'RICE_1'",
                                "BZERO   =              32768.0", "DATE-OBS= '2023-03-15'",
                                "QVIM_CNT=                    2", "END"}));
  EXPECT_EQ(h.GetGeometry().SampleCode, 16);
  // The compressed unit passed on the way does not make the chosen plain image compressed.
  r = Read(h, p, 2);
  EXPECT_EQ(r.Status, TFitsHeaderStatus::Ok);
  EXPECT_FALSE(r.Compressed);
  EXPECT_EQ(r.Blocks, 4);
  EXPECT_EQ(h.GetString("EXTNAME"), "PLAIN");
  EXPECT_EQ(h.GetInt("QVIM_IDX"), 2);
}

TEST(ImaHeaderRead, UnusableFilesAreReported) {
  TempDir dir;
  Cards noEnd = {"SIMPLE  =                    T", "BITPIX  =                   16",
                 "NAXIS   =                    2", "NAXIS1  =                    4",
                 "NAXIS2  =                    3"};
  for (int i = 0; i < 50; ++i) noEnd.push_back("COMMENT " + std::to_string(i));
  Cards withEnd = noEnd;
  withEnd.push_back("END");
  Cards tooLong = {"SIMPLE  =                    T", "BITPIX  =                   16",
                   "NAXIS   =                    2", "NAXIS1  =                    4",
                   "NAXIS2  =                    3"};
  while (tooLong.size() < 200 * 36) tooLong.push_back("COMMENT filler");
  Cards maxLong = tooLong;
  maxLong.back() = "END";
  tooLong.push_back("END");  // in block 201
  std::string extCut = HeaderBytes(kPrimaryNoData) + HeaderBytes(ImageExt(10, "SCI"));
  extCut.resize(2880 + 400);
  struct Row {
    const char* name;
    std::string bytes;
    int hdu;
    TFitsHeaderStatus status;
    int64_t blocks;
  };
  const Row rows[] = {
      {"empty file", "", 0, TFitsHeaderStatus::Truncated, 1},
      {"no END", HeaderBytes(noEnd), 0, TFitsHeaderStatus::Truncated, 1},
      {"ends inside the header", HeaderBytes(withEnd).substr(0, 2880 + 1000), 0, TFitsHeaderStatus::Truncated, 1},
      {"201 blocks", HeaderBytes(tooLong), 0, TFitsHeaderStatus::TooLong, 1},
      {"200 blocks", HeaderBytes(maxLong), 0, TFitsHeaderStatus::Ok, 200},
      {"extension cut", extCut, 1, TFitsHeaderStatus::Truncated, 1},
      {"no extension", HeaderBytes(kPrimaryNoData), 1, TFitsHeaderStatus::NoImageExtension, 1},
  };
  for (const auto& r : rows) {
    const fs::path p = dir.File("bad.fits", r.bytes);
    TFitsStrings h;
    const ReadResult res = Read(h, p, r.hdu);
    EXPECT_EQ(res.Status, r.status) << r.name;
    EXPECT_EQ(res.Blocks, r.blocks) << r.name;
    EXPECT_FALSE(res.Compressed) << r.name;
    if (r.status != TFitsHeaderStatus::Ok) {
      EXPECT_LE(h.Count(), 36) << r.name;
    }
  }
  TFitsStrings h;
  EXPECT_EQ(Read(h, dir.Path() / "missing.fits", 0).Status, TFitsHeaderStatus::ReadError);
}

TEST(ImaHeaderRead, OffsetsBeyondFourGigabytes) {
  TempDir dir;
  // A sparse file: a 4 GiB image extension whose data are never written, then a second one.
  Cards big = ImageExt(65536, "BIG");
  big[1] = "BITPIX  =                    8";
  big[4] = "NAXIS2  =                65536";
  const std::string head = HeaderBytes(kPrimaryNoData) + HeaderBytes(big);
  const int64_t dataBytes = int64_t{65536} * 65536;
  const int64_t second = static_cast<int64_t>(head.size()) + (dataBytes + 2879) / 2880 * 2880;
  const std::string tail = HeaderBytes(ImageExt(10, "AFTER")) + DataBytes(60, 'A');
  const fs::path p = dir.Path() / "sparse.fits";
  const int fd = ::open(p.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
  ASSERT_EQ(::pwrite(fd, tail.data(), tail.size(), second), static_cast<ssize_t>(tail.size()));
  ::close(fd);
  TFitsStrings h;
  ReadResult r = Read(h, p, 2);
  EXPECT_EQ(r.Status, TFitsHeaderStatus::Ok);
  EXPECT_EQ(r.Blocks, second / 2880 + 1);
  EXPECT_EQ(h.GetString("EXTNAME"), "AFTER");
  r = Read(h, p, 1);
  EXPECT_EQ(h.GetInt("QVIM_CNT"), 2);
  EXPECT_EQ(h.DataSize(false), dataBytes);
}

TEST(ImaHeaderRead, HostileHeadersNeverPointBeyondTheFile) {
  // Random mixtures of structural cards with absurd values, END anywhere or missing, cut at
  // random lengths: the reader must end, and an accepted header must start its data inside
  // the file.
  const char* const values[] = {"0", "1", "3", "-7", "2880", "1E30", "-1E30", "9223372036854775807",
                                "T", "'IMAGE   '", "'BINTABLE'", "NaN", "", "16", "-32", "64"};
  const char* const keys[] = {"SIMPLE", "XTENSION", "BITPIX", "NAXIS", "NAXIS1", "NAXIS2", "NAXIS3",
                              "NAXIS999", "PCOUNT", "GCOUNT", "GROUPS", "ZIMAGE", "ZNAXIS1", "END"};
  TempDir dir;
  uint32_t state = 12345;
  auto next = [&](uint32_t n) {
    state = state * 134775813u + 1u;
    return static_cast<uint32_t>((uint64_t{state} * n) >> 32);
  };
  for (int trial = 0; trial < 300; ++trial) {
    std::string bytes;
    const uint32_t units = 1 + next(4);
    for (uint32_t u = 0; u < units; ++u) {
      Cards cards = {u == 0 ? "SIMPLE  =                    T" : "XTENSION= 'IMAGE   '",
                     "BITPIX  =                    8", "NAXIS   =                    " + std::to_string(next(3))};
      const uint32_t n = next(60);
      for (uint32_t i = 0; i < n; ++i) {
        const char* k = keys[next(std::size(keys))];
        cards.push_back(std::string(k) == "END" ? "END" : TFitsStrings::Name8(k) + "= " + values[next(std::size(values))]);
      }
      if (next(4) != 0) cards.push_back("END");
      bytes += HeaderBytes(cards) + DataBytes(next(3) * 1000, 'x');
    }
    if (next(3) == 0) bytes.resize(next(static_cast<uint32_t>(bytes.size()) + 1));
    const fs::path p = dir.File("hostile.fits", bytes);
    for (int hdu = 0; hdu < 4; ++hdu) {
      TFitsStrings h;
      const ReadResult r = Read(h, p, hdu);
      if (r.Status == TFitsHeaderStatus::Ok) {
        EXPECT_LE(r.Blocks * 2880, static_cast<int64_t>(bytes.size())) << trial;
        EXPECT_TRUE(TFitsStrings::IsEndCard(h[h.Count() - 1])) << trial;
      } else {
        EXPECT_EQ(r.Blocks, 1) << trial;
        EXPECT_LE(h.Count(), 36) << trial;
      }
      h.GetGeometry();
      h.DataSize(false);
    }
  }
}

// ================================================================ round trips through a file

TEST(ImaHeaderRoundTrip, AnnotationCards) {
  const std::string a130 = [] {
    std::string s;
    for (int i = 0; i < 130; ++i) s += static_cast<char>('A' + i % 26);
    return s;
  }();
  const std::vector<std::string> texts = {a130, std::string(61, 'x'), "short 'one'", "caf\xC3\xA9"};
  TFitsStrings h;
  h.SetGeometry(4, 3, false, 16);
  h.WriteAnnotations(&texts);
  ASSERT_EQ(h.Count(), 5 + 6 + 1);
  EXPECT_EQ(h[5], "COMMENT {ANNOTATE " + a130.substr(0, 61) + "_");
  EXPECT_EQ(h[6], "COMMENT {ANNOTATE " + a130.substr(61, 61) + "_");
  EXPECT_EQ(h[7], "COMMENT {ANNOTATE " + a130.substr(122) + std::string(53, ' ') + "}");
  h.WriteAnnotations(&texts);  // replaces, never duplicates
  ASSERT_EQ(h.Count(), 12);
  TempDir dir;
  const fs::path p = dir.File("ann.fits", h.HeaderBlocks() + DataBytes(24, 'D'));
  TFitsStrings back;
  ASSERT_EQ(Read(back, p, 0).Status, TFitsHeaderStatus::Ok);
  auto pad = [](const std::string& s, std::size_t n) { return s + std::string(n - s.size(), ' '); };
  EXPECT_EQ(back.ReadAnnotations(),
            (std::vector<std::string>{pad(a130, 183), std::string(61, 'x'), pad("short 'one'", 61), pad("caf?", 61)}));
  // A card between the pieces breaks the annotation.
  // A card between the pieces drops what was gathered before it.
  back.Insert(6, "COMMENT other");
  const std::vector<std::string> broken = back.ReadAnnotations();
  ASSERT_EQ(broken.size(), 4u);
  EXPECT_EQ(broken[0], pad(a130.substr(61), 122));
  // A piece whose column 80 is neither "_" nor "}" is damaged: it and what was gathered
  // before it are dropped, never glued onto the next annotation.
  back.WriteAnnotations(&texts);
  const int first = back.IndexOf("COMMENT {ANNOTATE " + a130.substr(61, 61) + "_");
  ASSERT_GE(first, 0);
  std::string damaged = back[first];
  damaged[79] = 'Q';
  back.Delete(first);
  back.Insert(first, damaged);
  const std::vector<std::string> mended = back.ReadAnnotations();
  ASSERT_EQ(mended.size(), 3u);
  EXPECT_EQ(mended[0], std::string(61, 'x'));
  back.WriteAnnotations(nullptr);
  EXPECT_TRUE(back.ReadAnnotations().empty());
  EXPECT_EQ(back.Count(), 7);
}

TEST(ImaHeaderRoundTrip, HistoryRecordsAndContinuations) {
  auto body = [](std::size_t n, char first) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += static_cast<char>(first + i % 20);
    return s;
  };
  const std::string line200 = body(196, 'a') + "A105";
  const std::string line72 = body(68, 'K') + "A2 3";
  const std::string accented = "caf\xC3\xA9" + body(64, 'b') + "A007";  // 72 characters, 73 bytes
  const std::string longLine = body(2000, 'c') + "A999";
  const std::vector<std::string> lines = {line200, line72, body(67, 'Z') + "A111", body(80, 'q') + "B111",
                                          accented, longLine};
  TFitsStrings h;
  h.SetGeometry(4, 3, false, 16);
  EXPECT_FALSE(h.HasHistory());
  h.WriteHistory(lines);
  EXPECT_TRUE(h.HasHistory());
  EXPECT_EQ(h[5], "HISTORY " + line200.substr(0, 68) + "A105");
  EXPECT_EQ(h[6], "HISTORY   {_" + line200.substr(68, 68));
  EXPECT_EQ(h[7], "HISTORY   {_" + line200.substr(136, 60));
  ASSERT_EQ(h.Count(), 5 + 3 + 1 + 1 + 20 + 1);
  h.AddHistory("a free history card");
  TempDir dir;
  const fs::path p = dir.File("his.fits", h.HeaderBlocks() + DataBytes(24, 'D'));
  TFitsStrings back;
  ASSERT_EQ(Read(back, p, 0).Status, TFitsHeaderStatus::Ok);
  EXPECT_EQ(back.ReadHistory(), (std::vector<std::string>{line200, line72, "caf?" + body(64, 'b') + "A007",
                                                          longLine.substr(0, 20 * 68) + "A999"}));
  back.DeleteHistory();
  EXPECT_FALSE(back.HasHistory());
  EXPECT_EQ(back.Count(), 5 + 1 + 1);  // the free history card stays
}

// ================================================================ header text form and summary

TEST(ImaHeader, HeaderTextExportAndImport) {
  TFitsStrings h;
  h.SetGeometry(4, 3, false, 16);
  h.SetScaling(0);
  h.SetString("OBJECT", "M31", true);
  h.AddComment("hello");
  const std::string text = h.ExportHeaderText();
  EXPECT_EQ(text, std::string("FITS_HEADER") + '\0' + "OBJECT  = 'M31'\nCOMMENT hello\nEND");
  TFitsStrings back;
  back.ImportHeaderText(text + "\nNAXIS1  =                  999\n", 8, 6, true, 8);
  EXPECT_EQ(back.Strings(), (Cards{"SIMPLE  =                    T", "BITPIX  =                    8",
                                   "NAXIS   =                    3", "NAXIS1  =                    8",
                                   "NAXIS2  =                    6", "NAXIS3  =                    3",
                                   "OBJECT  = 'M31'", "COMMENT hello", "END "}));
  EXPECT_EQ(TFitsStrings().ExportHeaderText(), "");
}

TEST(ImaHeader, PreviewSummary) {
  const TFitsStrings h = Header({"SIMPLE  =                    T", "BITPIX  =                   16",
                                 "NAXIS   =                    2", "NAXIS1  =                    4",
                                 "NAXIS2  =                    3",
                                 "OBJECT  = 'M31'                    / object name",
                                 "TELESCOP= 'C14'", "COMMENT Original file: a.cr2", "COMMENT WIDTH = 100",
                                 "COMMENT c:\\images\\a.fit", "COMMENT ab", "COMMENT   ''",
                                 "COMMENT = value text", "HISTORY Flat applied",
                                 "ORLUUMIN=                  5.0", "FILTER  = 'R'",
                                 "EXPOSURE=                 30.0", "DATE-OBS= '2023-03-15T22:30:00'", "END"});
  EXPECT_EQ(h.Summary(), (std::vector<std::string>{"DATE-OBS= '2023-03-15 22:30:00'",
                                                   "EXPOSURE=                 30.0", "FILTER  = 'R'",
                                                   "OBJECT  = 'M31'", "TELESCOP= 'C14'", "value text",
                                                   "Flat applied"}));
}
