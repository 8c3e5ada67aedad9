#include "document/uAstroDoc.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "base/EOrluError.h"
#include "base/PixelMemory.h"
#include "fits/ImaFiles.h"
#include "options/uQuorvane.h"

using namespace orlu;

namespace {

class TTempDir {
 public:
  TTempDir() {
    static std::atomic<int> counter{0};
    Path_ = std::filesystem::temp_directory_path() /
            ("orlu-doc-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(Path_);
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path_, ec);
  }
  std::string Folder() const { return Path_.string() + "/"; }
  std::string Touch(const std::string& name) const {
    std::ofstream(Folder() + name) << "x";
    return Folder() + name;
  }

 private:
  std::filesystem::path Path_;
};

// Options and process-wide naming state restored after each test.
class DocumentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Saved_ = Options();
    TAstroDocument::ResetNaming();
    RememberedSelection() = TSelectionMemory();
  }
  void TearDown() override {
    Options() = Saved_;
    FailNextPixelAllocations(0);
    SetDocumentHost(nullptr);
  }

 private:
  TQVOptions Saved_;
};

std::unique_ptr<TAstroDocument> MakeDoc(int32_t w, int32_t h, bool colour, float v) {
  auto doc = TAstroDocument::NewDocument(w, h, colour, true);
  doc->Image().Fill(v);
  return doc;
}

float V(const TAImage& img) { return img.Value(0, 0); }

// An operation as a filter runs it: snapshot first, then the change.
void Operation(TAstroDocument& doc, float v) {
  doc.TakeSnapshot();
  doc.Image().Fill(v);
}

// ============================================================================ undo

struct UndoStep {
  char Kind;  // 'o' operation (arg = value), 'u' Undo/Redo, 'l' UndoToLevel(arg)
  int32_t Arg;
  float Current;  // value of the image afterwards
  int32_t Count;  // snapshots afterwards
  bool Swap;      // swap image present afterwards
};

struct UndoCase {
  const char* Name;
  int32_t Levels;
  std::vector<UndoStep> Steps;
};

TEST_F(DocumentTest, UndoSequencesFollowTheStoreRules) {
  const std::vector<UndoCase> cases = {
      {"L1: A, B, undo shows A, redo shows B", 1,
       {{'o', 1, 1, 1, false}, {'o', 2, 2, 1, false}, {'u', 0, 1, 0, true},
        {'u', 0, 2, 1, false}}},
      {"L1: A, undo, C drops A; undo returns before C", 1,
       {{'o', 1, 1, 1, false}, {'u', 0, 0, 0, true}, {'o', 3, 3, 1, false},
        {'u', 0, 0, 0, true}, {'u', 0, 3, 1, false}}},
      {"L5: five operations, UndoToLevel(3), then redo to the newest", 5,
       {{'o', 1, 1, 1, false}, {'o', 2, 2, 2, false}, {'o', 3, 3, 3, false},
        {'o', 4, 4, 4, false}, {'o', 5, 5, 5, false}, {'l', 3, 2, 2, true},
        {'u', 0, 5, 3, false}}},
      {"L5: a sixth operation recycles the oldest", 5,
       {{'o', 1, 1, 1, false}, {'o', 2, 2, 2, false}, {'o', 3, 3, 3, false},
        {'o', 4, 4, 4, false}, {'o', 5, 5, 5, false}, {'o', 6, 6, 5, false},
        {'l', 5, 1, 0, true}, {'u', 0, 6, 1, false}}},
      {"L5: level beyond the count is clamped; level 0 does nothing", 5,
       {{'o', 1, 1, 1, false}, {'o', 2, 2, 2, false}, {'l', 0, 2, 2, false},
        {'l', 9, 0, 0, true}, {'u', 0, 2, 1, false}}},
      {"empty store: Undo/Redo and UndoToLevel do nothing", 5,
       {{'u', 0, 0, 0, false}, {'l', 1, 0, 0, false}}},
      {"L5: undo, then an operation takes the swap image as its snapshot", 5,
       {{'o', 1, 1, 1, false}, {'o', 2, 2, 2, false}, {'u', 0, 1, 1, true},
        {'o', 7, 7, 2, false}, {'u', 0, 1, 1, true}, {'u', 0, 7, 2, false}}},
  };
  for (const UndoCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Options().Misc.UndoLevels64 = c.Levels;
    auto doc = MakeDoc(4, 3, false, 0);
    for (size_t i = 0; i < c.Steps.size(); ++i) {
      const UndoStep& s = c.Steps[i];
      SCOPED_TRACE("step " + std::to_string(i));
      if (s.Kind == 'o') Operation(*doc, float(s.Arg));
      if (s.Kind == 'u') doc->UndoRedo();
      if (s.Kind == 'l') doc->UndoToLevel(s.Arg);
      EXPECT_EQ(V(doc->Image()), s.Current);
      EXPECT_EQ(doc->SnapshotCount(), s.Count);
      EXPECT_EQ(doc->SwapImage() != nullptr, s.Swap);
      EXPECT_EQ(doc->CanUndo(), s.Count > 0 || s.Swap);
    }
  }
}

TEST_F(DocumentTest, UndoLevelsFromTheSettingsAreHeldInRange) {
  TQVOptions o;
  for (auto [set, want] : std::vector<std::pair<int32_t, int32_t>>{
           {5, 5}, {0, 1}, {-3, 1}, {1, 1}, {kMaxUndoLevels, kMaxUndoLevels}, {1000000, kMaxUndoLevels}}) {
    o.Misc.UndoLevels64 = set;
    EXPECT_EQ(UndoLevels(o), want) << set;
  }
  // A level of 0 in the settings still keeps one snapshot to undo to.
  Options().Misc.UndoLevels64 = 0;
  auto doc = MakeDoc(4, 3, false, 0);
  Operation(*doc, 1);
  Operation(*doc, 2);
  EXPECT_EQ(doc->SnapshotCount(), 1);
  EXPECT_EQ(V(doc->UndoImage()), 1);
}

TEST_F(DocumentTest, SnapshotsRecycleTheOldestObjectAndCarryTheSerialId) {
  Options().Misc.UndoLevels64 = 2;
  auto doc = MakeDoc(4, 3, true, 0);
  Operation(*doc, 1);
  Operation(*doc, 2);
  const TAImage* oldest = doc->Undo().Item(1);
  Operation(*doc, 3);
  EXPECT_EQ(doc->Undo().Item(0), oldest);  // reused, not reallocated
  EXPECT_EQ(V(*doc->Undo().Item(0)), 2);
  EXPECT_EQ(doc->Undo().Item(0)->SerialId, doc->Image().SerialId);
  EXPECT_TRUE(doc->Undo().Item(0)->IsColour());
}

TEST_F(DocumentTest, UndoRedoSwitchesColourKindAndDropsAStaleMask) {
  auto doc = MakeDoc(6, 5, false, 4);
  doc->TakeSnapshot();
  doc->Image().SetColour(true);
  ASSERT_TRUE(doc->Image().Mask->Allocate());
  // The snapshot has the mask; the image loses it before Undo/Redo.
  doc->TakeSnapshot();
  doc->Image().Mask->Release();
  EXPECT_TRUE(doc->UndoImage().Mask->HasStorage());
  ASSERT_TRUE(doc->UndoRedo());
  EXPECT_FALSE(doc->Image().Mask->HasStorage());
  ASSERT_TRUE(doc->UndoRedo());
  doc->UndoToLevel(2);
  EXPECT_FALSE(doc->Image().IsColour());
  doc->UndoRedo();
  EXPECT_TRUE(doc->Image().IsColour());
}

TEST_F(DocumentTest, FailedSnapshotLeavesStoreAndSwapAsTheyWere) {
  struct FailCase {
    const char* Name;
    std::function<void(TAstroDocument&)> Prepare;  // builds the store, then the change
  };
  auto bigger = [](TAstroDocument& d) {
    auto img = std::make_unique<TAImage>();
    img->SetSize(9, 7, d.IsColour());
    img->Fill(50);
    d.ReplaceImage(std::move(img), true);
  };
  const std::vector<FailCase> cases = {
      {"new snapshot object", [](TAstroDocument& d) { Operation(d, 1); }},
      {"recycled snapshot of the same size, mask to copy",
       [](TAstroDocument& d) {
         Options().Misc.UndoLevels64 = 1;
         Operation(d, 1);
         ASSERT_TRUE(d.Image().Mask->Allocate());
       }},
      {"recycled snapshot of another size",
       [&](TAstroDocument& d) {
         Options().Misc.UndoLevels64 = 1;
         Operation(d, 1);
         bigger(d);
       }},
      {"swap image of the same size",
       [](TAstroDocument& d) {
         Operation(d, 1);
         d.UndoRedo();
         ASSERT_TRUE(d.Image().Mask->Allocate());
       }},
      {"swap image of another size",
       [&](TAstroDocument& d) {
         d.TakeSnapshot();
         bigger(d);
         d.UndoRedo();
       }},
  };
  for (const FailCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Options().Misc.UndoLevels64 = 5;
    auto doc = MakeDoc(5, 4, true, 0);
    c.Prepare(*doc);
    std::vector<const TAImage*> before;
    std::vector<float> values;
    for (int32_t i = 0; i < doc->SnapshotCount(); ++i) {
      before.push_back(doc->Undo().Item(i));
      values.push_back(V(*doc->Undo().Item(i)));
    }
    const TAImage* swap = doc->SwapImage();
    const float swapValue = swap ? V(*swap) : -1;
    const bool swapMask = swap && swap->Mask->HasStorage();
    const TAImage* current = &doc->Image();
    FailNextPixelAllocations(1);
    try {
      doc->TakeSnapshot();
      ADD_FAILURE() << "no error raised";
    } catch (const EOrluError& e) {
      EXPECT_STREQ(e.what(), kOutOfMemoryText);
    }
    FailNextPixelAllocations(0);
    ASSERT_EQ(doc->SnapshotCount(), int32_t(before.size()));
    for (int32_t i = 0; i < doc->SnapshotCount(); ++i) {
      EXPECT_EQ(doc->Undo().Item(i), before[size_t(i)]);
      EXPECT_EQ(V(*doc->Undo().Item(i)), values[size_t(i)]);
      EXPECT_FALSE(doc->Undo().Item(i)->Mask->HasStorage());
    }
    EXPECT_EQ(doc->SwapImage(), swap);
    if (swap) {
      EXPECT_EQ(V(*doc->SwapImage()), swapValue);
      EXPECT_EQ(doc->SwapImage()->Mask->HasStorage(), swapMask);
    }
    EXPECT_EQ(&doc->Image(), current);
    // The store still works once memory is back.
    const float now = V(doc->Image());
    doc->TakeSnapshot();
    EXPECT_EQ(V(doc->UndoImage()), now);
    EXPECT_EQ(doc->SwapImage(), nullptr);
  }
}

TEST_F(DocumentTest, RestoreAndFreeAndItsErrors) {
  auto doc = MakeDoc(4, 4, false, 0);
  try {
    doc->RestoreAndFree();
    ADD_FAILURE();
  } catch (const EOrluError& e) {
    EXPECT_STREQ(e.what(), "Undo restore and free: NIL");
  }
  EXPECT_THROW(doc->UndoImage(), EOrluError);
  Operation(*doc, 1);
  Operation(*doc, 2);
  doc->RestoreAndFree();
  EXPECT_EQ(V(doc->Image()), 1);
  EXPECT_EQ(doc->SnapshotCount(), 1);
  doc->UndoRedo();
  try {
    doc->RestoreAndFree();
    ADD_FAILURE();
  } catch (const EOrluError& e) {
    EXPECT_STREQ(e.what(), "Undo restore and free: SwapImage");
  }
  // A cancelled operation that had changed the size gets the old image back whole.
  doc->UndoRedo();
  doc->TakeSnapshot();
  auto big = std::make_unique<TAImage>();
  big->SetSize(10, 10, true);
  doc->ReplaceImage(std::move(big), false);
  doc->RestoreAndFree();
  EXPECT_EQ(doc->Width(), 4);
  EXPECT_FALSE(doc->IsColour());
  EXPECT_EQ(V(doc->Image()), 1);
}

TEST_F(DocumentTest, CompareRestoresTheCurrentStateAndDropSnapshotFrees) {
  auto doc = MakeDoc(4, 4, false, 0);
  Operation(*doc, 3);
  const TAImage* current = &doc->Image();
  doc->Compare();
  EXPECT_EQ(&doc->Image(), current);
  EXPECT_EQ(doc->SnapshotCount(), 1);
  EXPECT_EQ(doc->SwapImage(), nullptr);
  doc->Image().Fill(8);
  doc->RestorePixels();
  EXPECT_EQ(V(doc->Image()), 0);
  doc->DropSnapshot();
  EXPECT_FALSE(doc->CanUndo());
}

TEST_F(DocumentTest, HistoryAtLevelListsTheStatesOfTheUndoDialog) {
  auto doc = MakeDoc(4, 4, false, 0);
  for (int32_t code : {0, 2, 4}) {
    doc->TakeSnapshot();
    doc->Image().History.Add(code, false);
  }
  ASSERT_EQ(doc->SnapshotCount(), 3);
  EXPECT_EQ(doc->HistoryAtLevel(0)->Count(), 3);
  EXPECT_EQ(doc->HistoryAtLevel(1)->Count(), 2);
  EXPECT_EQ(doc->HistoryAtLevel(2)->Count(), 1);
  EXPECT_EQ(doc->HistoryAtLevel(3), nullptr);
  EXPECT_EQ(doc->HistoryAtLevel(-1), nullptr);
  // Entry 1 names the second operation; choosing it goes to the state before it.
  doc->UndoToLevel(1 + 1);
  EXPECT_EQ(doc->Image().History.Count(), 1);
}

// ============================================================================ naming

TEST_F(DocumentTest, GeneratedNamesCountPerKindAndSkipFilesOnDisk) {
  TTempDir dir;
  auto doc = MakeDoc(2, 2, false, 0);
  doc->SetFileName(dir.Folder() + "x.fit");
  std::vector<std::string> names;
  for (int32_t kind : {0, 0, 2, 0, 1, 5}) {
    doc->MakeName(kind);
    names.push_back(doc->FileNamePart());
    EXPECT_EQ(doc->FileName(), dir.Folder() + names.back());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"NoName01.fit", "NoName02.fit", "Flat01.fit",
                                             "NoName03.fit", "Dark01.fit", "Mask01.fit"}));
  dir.Touch("NoName04.fit");
  dir.Touch("NoName05.fit");
  doc->MakeName(0);
  EXPECT_EQ(doc->FileNamePart(), "NoName06.fit");
  // The counter runs to 100, then starts again at 1.
  TAstroDocument::ResetNaming();
  for (int i = 0; i < 99; ++i) doc->MakeName(3);
  EXPECT_EQ(doc->FileNamePart(), "FDark99.fit");
  doc->MakeName(3);
  EXPECT_EQ(doc->FileNamePart(), "FDark100.fit");
  doc->MakeName(3);
  EXPECT_EQ(doc->FileNamePart(), "FDark01.fit");
}

TEST_F(DocumentTest, DuplicateNames) {
  struct NameCase {
    std::string Name;
    std::vector<std::string> OnDisk;
    std::vector<std::string> Expected;  // successive duplicates of Name
  };
  const std::vector<NameCase> cases = {
      {"image.fits", {}, {"image-02.fits", "image-03.fits"}},
      {"ab.fit", {}, {"ab-02.fit"}},
      {"abc", {}, {"NoName01.fit"}},
      {"a.fit", {}, {"NoName01.fit"}},  // first dot before position 3
      {"NoName07.fit", {}, {"NoName01.fit"}},
      {"M31-02.fit", {}, {"M31-03.fit", "M31-04.fit"}},
      {"M31-99.fit", {}, {"M31-02.fit"}},
      {"x-00.fit", {}, {"x-00-02.fit"}},  // "00" is no number above 0
      {"x-ab.fit", {}, {"x-ab-02.fit"}},
      {"my.file.fits", {}, {"my.file-02.fits"}},
      {"M31.fit", {"M31-02.fit", "M31-04.fit"}, {"M31-03.fit", "M31-05.fit"}},
  };
  for (const NameCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TAstroDocument::ResetNaming();
    TTempDir dir;
    for (const std::string& f : c.OnDisk) dir.Touch(f);
    for (const std::string& want : c.Expected) {
      auto doc = MakeDoc(2, 2, false, 0);
      doc->SetFileName(dir.Folder() + c.Name);
      doc->MakeDuplicateName();
      EXPECT_EQ(doc->FileName(), dir.Folder() + want);
    }
  }
}

TEST_F(DocumentTest, DuplicateNamesRunOutIntoAnUntitledName) {
  TTempDir dir;
  dir.Touch("M31-50.fit");  // one of the 98 names is taken on disk
  std::set<std::string> seen;
  auto doc = MakeDoc(2, 2, false, 0);
  for (int i = 0; i < 97; ++i) {
    doc->SetFileName(dir.Folder() + "M31.fit");
    doc->MakeDuplicateName();
    EXPECT_NE(doc->FileNamePart(), "M31-50.fit");
    EXPECT_TRUE(seen.insert(doc->FileNamePart()).second) << doc->FileNamePart();
  }
  doc->SetFileName(dir.Folder() + "M31.fit");
  doc->MakeDuplicateName();
  EXPECT_EQ(doc->FileName(), dir.Folder() + "NoName01.fit");
}

TEST_F(DocumentTest, FileNameHelpers) {
  EXPECT_EQ(TAstroDocument::FrameFileName("/d/cube.fits", 3), "/d/cube_3.fits");
  EXPECT_EQ(TAstroDocument::FrameFileName("/d/cube.fits", 1), "/d/cube.fits");
  EXPECT_EQ(TAstroDocument::FrameFileName("/d.x/cube", 2), "/d.x/cube_2");
  auto doc = MakeDoc(2, 2, false, 0);
  doc->SetFileName("/data/M31.fit");
  EXPECT_EQ(doc->Title(), "#0 M31.fit");
  EXPECT_EQ(doc->SuggestedFileName(".png"), "M31.png");
  EXPECT_EQ(doc->SuggestedFileName("jpg"), "M31.jpg");
  doc->Rename("M33.fit");
  EXPECT_EQ(doc->FileName(), "/data/M33.fit");
  const std::vector<std::pair<std::string, bool>> foreign = {
      {"/d/a.jpg", true}, {"/d/a.PNG", true},  {"/d/a.fits", false}, {"/d/a.FZ", false},
      {"/d/a.fts", false}, {"/d/a", true},     {"a.jpg", false},      {"NoName01.fit", false}};
  for (const auto& [name, want] : foreign) {
    doc->SetFileName(name);
    EXPECT_EQ(doc->IsForeignFile(), want) << name;
  }
}

// ============================================================================ saving

struct KeywordCase {
  const char* Name;
  std::function<void(TQVOptions&, TAImage&)> Setup;
  std::function<void(const TFitsStrings&)> Check;
};

TEST_F(DocumentTest, SaveTimeKeywords) {
  auto all = [](TQVOptions& o) {
    o.File.AddObsKeysOnSave = true;
    o.File.AddInsKeysOnSave = true;
    o.Observatory.Origin = "Hill";
    o.Observatory.Observer = "Bob";
    o.Observatory.Telescope = "Newton";
    o.Observatory.Camera = "Cam";
  };
  const std::vector<KeywordCase> cases = {
      {"CREATOR added when missing", [](TQVOptions&, TAImage&) {},
       [](const TFitsStrings& h) { EXPECT_EQ(h.GetString("CREATOR"), "OrluFV 4.0"); }},
      {"CREATOR kept when present",
       [](TQVOptions&, TAImage& i) { i.Header.SetString("CREATOR", "Other", true); },
       [](const TFitsStrings& h) { EXPECT_EQ(h.GetString("CREATOR"), "Other"); }},
      {"no CREATOR without the option",
       [](TQVOptions& o, TAImage&) { o.File.AddCreatorKey = false; },
       [](const TFitsStrings& h) { EXPECT_FALSE(h.HasKey("CREATOR")); }},
      {"DontOverwriteKeys keeps OBSERVER, adds a missing ORIGIN",
       [&](TQVOptions& o, TAImage& i) {
         all(o);
         i.Header.SetString("OBSERVER", "Ann", true);
       },
       [](const TFitsStrings& h) {
         EXPECT_EQ(h.GetString("OBSERVER"), "Ann");
         EXPECT_EQ(h.GetString("ORIGIN"), "Hill");
         EXPECT_EQ(h.GetString("TELESCOP"), "Newton");
         EXPECT_EQ(h.GetString("INSTRUME"), "Cam");
         EXPECT_EQ(h.GetReal("DIAMETER"), 300);
         EXPECT_EQ(h.GetReal("FOCALLEN"), 1800);
         EXPECT_TRUE(h.HasKey("SITELONG"));
         EXPECT_TRUE(h.HasKey("SITELAT"));
       }},
      {"overwriting replaces OBSERVER",
       [&](TQVOptions& o, TAImage& i) {
         all(o);
         o.File.DontOverwriteKeys = false;
         i.Header.SetString("OBSERVER", "Ann", true);
       },
       [](const TFitsStrings& h) { EXPECT_EQ(h.GetString("OBSERVER"), "Bob"); }},
      {"an empty option never blanks an existing value",
       [&](TQVOptions& o, TAImage& i) {
         all(o);
         o.File.DontOverwriteKeys = false;
         o.Observatory.Observer.clear();
         o.Observatory.Origin.clear();
         i.Header.SetString("OBSERVER", "Ann", true);
       },
       [](const TFitsStrings& h) {
         EXPECT_EQ(h.GetString("OBSERVER"), "Ann");
         bool found = false;
         EXPECT_EQ(h.GetString("ORIGIN", found), "");
         EXPECT_TRUE(found);  // still written when missing
       }},
      {"no observatory cards without the option", [](TQVOptions&, TAImage&) {},
       [](const TFitsStrings& h) {
         EXPECT_FALSE(h.HasKey("ORIGIN"));
         EXPECT_FALSE(h.HasKey("TELESCOP"));
       }},
      {"visualization cards removed without AddVisuKeys",
       [](TQVOptions& o, TAImage& i) {
         o.File.AddVisuKeys = false;
         for (const char* k : {"ORLUUMIN", "ORLUUMAX", "ORLUUTYP"}) i.Header.SetReal(k, true, 1);
         i.Header.SetString("ORLUUCRV", "0 0 1 1", true);
       },
       [](const TFitsStrings& h) {
         for (const char* k : {"ORLUUMIN", "ORLUUMAX", "ORLUUTYP", "ORLUUCRV"})
           EXPECT_FALSE(h.HasKey(k)) << k;
       }},
      {"visualization cards written, curve with type 1002",
       [](TQVOptions&, TAImage& i) {
         i.Visu.Low = 10;
         i.Visu.High = 900;
         i.Visu.TransferType = kTransferCurve;
       },
       [](const TFitsStrings& h) {
         EXPECT_EQ(h.GetReal("ORLUUMIN"), 10);
         EXPECT_EQ(h.GetReal("ORLUUMAX"), 900);
         EXPECT_EQ(h.GetInt("ORLUUTYP"), 1002);
         EXPECT_TRUE(h.HasKey("ORLUUCRV"));
       }},
      {"ROWORDER replaced",
       [](TQVOptions&, TAImage& i) { i.Header.SetString("ROWORDER", "TOP-DOWN", true); },
       [](const TFitsStrings& h) { EXPECT_EQ(h.GetString("ROWORDER"), "BOTTOM-UP"); }},
      {"no ROWORDER without the option",
       [](TQVOptions& o, TAImage&) { o.File.RowOrderFITS = false; },
       [](const TFitsStrings& h) { EXPECT_FALSE(h.HasKey("ROWORDER")); }},
      {"PPOLY pair with AddPolyKeys",
       [](TQVOptions&, TAImage& i) {
         i.HasPoly = 1;
         i.Poly0 = 20;
         i.Poly1 = -1.0857;
       },
       [](const TFitsStrings& h) {
         EXPECT_EQ(h.GetReal("PPOLY0"), 20);
         EXPECT_EQ(h.GetReal("PPOLY1"), -1.0857);
       }},
      {"history cards replace the old ones",
       [](TQVOptions& o, TAImage& i) {
         o.File.SaveHistory = true;
         i.Header.WriteHistory({THistoryItem().RecordLine()});
         i.History.Add(0, false, std::vector<double>{100.0});
       },
       [](const TFitsStrings& h) {
         const std::vector<std::string> lines = h.ReadHistory();
         ASSERT_EQ(lines.size(), 1u);
         EXPECT_EQ(lines[0].substr(0, 17), "Add constant: 100");
       }},
      {"an empty history leaves the header's cards",
       [](TQVOptions& o, TAImage& i) {
         o.File.SaveHistory = true;
         THistoryList l;
         l.Add(2, false, std::vector<double>{3.0});
         i.Header.WriteHistory(l.RecordLines());
       },
       [](const TFitsStrings& h) { EXPECT_EQ(h.ReadHistory().size(), 1u); }},
  };
  for (const KeywordCase& c : cases) {
    SCOPED_TRACE(c.Name);
    TQVOptions o;
    auto doc = MakeDoc(3, 2, false, 5);
    doc->Image().Header.InitMinimal();
    c.Setup(o, doc->Image());
    doc->PrepareSave(o);
    c.Check(doc->Image().Header);
  }
}

// Header window with edits waiting to be applied.
class FakeHeaderEdits : public IHeaderEdits {
 public:
  bool Pending = true;
  bool HasPendingEdits() const override { return Pending; }
  void ApplyPendingEdits(TFitsStrings& h) override {
    // The edited text replaces the whole header, as the header window does.
    h.Clear();
    h.InitMinimal();
    h.SetString("OBJECT", "edited", true);
    Pending = false;
  }
  void DiscardPendingState() override { Pending = false; }
};

TEST_F(DocumentTest, PendingHeaderEditsComeBeforeTheSaveCards) {
  TQVOptions o;
  o.File.SaveHistory = true;
  auto doc = MakeDoc(3, 2, false, 5);
  doc->Image().History.Add(0, false, std::vector<double>{1.0});
  FakeHeaderEdits edits;
  doc->SetHeaderEditor(&edits);
  EXPECT_TRUE(doc->IsModified());
  doc->PrepareSave(o);
  const TFitsStrings& h = doc->Image().Header;
  EXPECT_EQ(h.GetString("OBJECT"), "edited");
  EXPECT_TRUE(h.HasKey("CREATOR"));
  EXPECT_EQ(h.ReadHistory().size(), 1u);
  edits.Pending = true;
  doc->SetModified();
  doc->MarkUnmodified();
  EXPECT_FALSE(doc->IsModified());
  doc->SetHeaderEditor(nullptr);
}

TEST_F(DocumentTest, RoundTripOpenChangeUndoRedoSaveReopen) {
  TTempDir dir;
  const std::string in = dir.Folder() + "in.fits";
  {
    TAImage img;
    img.SetSize(7, 5, false);
    for (int32_t y = 0; y < 5; ++y)
      for (int32_t x = 0; x < 7; ++x) img.SetAll(x, y, float(100 * y + x));
    img.Header.SetString("OBJECT", "M42", true);
    ASSERT_TRUE(WriteFits(img, in, false));
  }
  Options().File.SaveHistory = true;
  std::string error;
  auto doc = TAstroDocument::OpenFile(in, 0, &error);
  ASSERT_NE(doc, nullptr) << error;
  EXPECT_EQ(doc->FileName(), in);
  EXPECT_FALSE(doc->IsModified());
  const float original = doc->Image().Value(3, 2);
  ASSERT_EQ(original, 203);

  doc->TakeSnapshot();
  doc->Image().AddConst(1000);
  doc->Image().History.Add(0, false, std::vector<double>{1000.0});
  doc->AfterChange();
  EXPECT_TRUE(doc->IsModified());
  doc->UndoRedo();
  EXPECT_EQ(doc->Image().Value(3, 2), original);
  EXPECT_EQ(doc->Image().History.Count(), 0);
  doc->UndoRedo();
  EXPECT_EQ(doc->Image().Value(3, 2), original + 1000);

  const std::string out = dir.Folder() + "out.fits";
  const TSaveResult r = doc->SaveData(out, ChooseDataWriter(out), false, Options());
  ASSERT_EQ(r.Status, TSaveStatus::Written) << r.Message;
  EXPECT_EQ(doc->FileName(), out);
  EXPECT_FALSE(doc->IsModified());

  auto back = TAstroDocument::OpenFile(out, 0, &error);
  ASSERT_NE(back, nullptr) << error;
  EXPECT_TRUE(back->Image().SameImage(doc->Image()));
  EXPECT_EQ(back->Image().Header.GetString("OBJECT"), "M42");
  EXPECT_EQ(back->Image().Header.GetString("CREATOR"), "OrluFV 4.0");
  ASSERT_EQ(back->Image().History.Count(), 1);
  EXPECT_EQ(back->Image().History.Item(0)->Code, 0);
  EXPECT_EQ(back->Image().History.Item(0)->Params[0], 1000);
  // A file that does not load gives no document and the "Open" box text.
  EXPECT_EQ(TAstroDocument::OpenFile(dir.Folder() + "missing.fits", 0, &error), nullptr);
  EXPECT_NE(error.find("missing.fits"), std::string::npos);
}

// ============================================================================ windows

class FakeWindow : public IImageWindow {
 public:
  std::vector<TDocumentEvent> Events;
  int Closing = 0, Closed = 0, Shown = 0, Recreated = 0;
  int32_t Thumb = 0;
  bool ThumbVisible = false;
  void DocumentChanged(TAstroDocument&, TDocumentEvent e) override { Events.push_back(e); }
  void DocumentClosing(TAstroDocument&) override { ++Closing; }
  double Zoom() const override { return 2; }
  void SetThumbSize(int32_t s) override { Thumb = s; }
  bool ThumbnailShown() const override { return ThumbVisible; }
  void SetThumbnailShown(bool s) override { ThumbVisible = s; }
  void ShowWindow() override { ++Shown; }
  void RecreateView(double) override { ++Recreated; }
  void CloseWindow() override { ++Closed; }
};

class FakeHost : public IDocumentHost {
 public:
  std::vector<std::unique_ptr<FakeWindow>> Windows;
  std::vector<TAstroDocument*> Registered;
  std::vector<std::string> Errors;
  std::vector<std::string> Status;
  std::vector<TPixelRect> MaskRects;
  bool FailWindows = false;
  bool Mask = false;
  IImageWindow* CreateImageWindow(TAstroDocument&, double, bool) override {
    if (FailWindows) return nullptr;
    Windows.push_back(std::make_unique<FakeWindow>());
    return Windows.back().get();
  }
  void RegisterDocument(TAstroDocument& d) override { Registered.push_back(&d); }
  void UnregisterDocument(TAstroDocument& d) override {
    std::erase(Registered, &d);
  }
  void ShowError(const std::string& c, const std::string& t) override {
    Errors.push_back(c + "|" + t);
  }
  void ShowStatus(const std::string& t, int32_t ms) override {
    Status.push_back(t + "|" + std::to_string(ms));
  }
  bool MaskMode() const override { return Mask; }
  void DrawRectIntoMask(TAstroDocument&, const TPixelRect& r) override { MaskRects.push_back(r); }
};

class FakeToolWindow : public IDocumentObserver {
 public:
  TAstroDocument* Doc = nullptr;
  int Changes = 0;
  void DocumentChanged(TAstroDocument&, TDocumentEvent) override { ++Changes; }
  void DocumentClosing(TAstroDocument&) override { Doc = nullptr; }
};

TEST_F(DocumentTest, WindowsNumbersAndClosing) {
  FakeHost host;
  SetDocumentHost(&host);
  Options().Image.ThumbSize = 150;
  auto a = MakeDoc(4, 4, false, 0);
  auto b = MakeDoc(4, 4, false, 0);
  ASSERT_TRUE(a->CreateWindow(1, true));
  ASSERT_TRUE(b->CreateWindow(1, true));
  EXPECT_EQ(b->Number(), a->Number() + 1);
  EXPECT_EQ(host.Windows[0]->Thumb, 150);
  EXPECT_EQ(host.Registered.size(), 2u);
  try {
    a->CreateWindow(1, true);
    ADD_FAILURE();
  } catch (const EOrluError& e) {
    EXPECT_STREQ(e.what(), "Create view failed");
  }
  host.FailWindows = true;
  auto c = MakeDoc(4, 4, false, 0);
  EXPECT_FALSE(c->CreateWindow(1, true));
  ASSERT_EQ(host.Errors.size(), 1u);
  EXPECT_EQ(host.Errors[0], "Error|Out of memory\rHint: Close some images");

  FakeToolWindow tool;
  tool.Doc = a.get();
  a->Attach(&tool);
  a->RefreshStatistics();
  EXPECT_EQ(tool.Changes, 1);
  EXPECT_EQ(host.Windows[0]->Events.back(), TDocumentEvent::Statistics);
  a->Close();
  EXPECT_EQ(tool.Doc, nullptr);
  EXPECT_EQ(host.Windows[0]->Closed, 1);
  a.reset();
  EXPECT_EQ(host.Windows[0]->Closing, 1);
  EXPECT_EQ(host.Registered.size(), 1u);

  // Duplicate names are forgotten once no image window is open.
  host.FailWindows = false;
  b->SetFileName("/nonexistent-orlu-dir/M31.fit");
  auto d1 = b->Duplicate();
  ASSERT_NE(d1, nullptr);
  EXPECT_EQ(d1->FileNamePart(), "M31-02.fit");
  d1.reset();
  // A window that goes first is forgotten: no call reaches it afterwards.
  const size_t events = host.Windows[1]->Events.size();
  b->ReleaseWindow();
  EXPECT_EQ(b->ImageWindow(), nullptr);
  b->RefreshViews();
  b.reset();
  EXPECT_EQ(host.Windows[1]->Closing, 0);
  EXPECT_EQ(host.Windows[1]->Events.size(), events);
  EXPECT_TRUE(host.Registered.empty());
  auto e = MakeDoc(4, 4, false, 0);
  e->SetFileName("/nonexistent-orlu-dir/M31.fit");
  e->MakeDuplicateName();
  EXPECT_EQ(e->FileNamePart(), "M31-02.fit");
}

TEST_F(DocumentTest, DuplicateCopiesImageSelectionAndMask) {
  FakeHost host;
  SetDocumentHost(&host);
  auto src = MakeDoc(8, 6, true, 0);
  src->Image().SetRGB(2, 3, 1, 2, 3);
  src->Image().Header.SetString("OBJECT", "M1", true);
  src->Image().History.Add(0, false);
  ASSERT_TRUE(src->Image().Mask->Allocate());
  src->Image().Mask->SetWeight(1, 1, 500);
  src->SelectRect(1, 1, 4, 3);
  src->UseWcs = 0;
  src->SetFileName("/nonexistent-orlu-dir/crab.fits");
  ASSERT_TRUE(src->CreateWindow(1, true));
  host.Windows[0]->ThumbVisible = true;
  auto dup = src->Duplicate();
  ASSERT_NE(dup, nullptr);
  EXPECT_TRUE(dup->Image().SameImage(src->Image()));
  EXPECT_EQ(dup->Image().Header.GetString("OBJECT"), "M1");
  EXPECT_EQ(dup->Image().History.Count(), 1);
  EXPECT_EQ(dup->Image().Mask->Weight(1, 1), 500);
  EXPECT_EQ(dup->SelectionKind(), 1);
  EXPECT_EQ(dup->SelectionRect(), src->SelectionRect());
  EXPECT_EQ(dup->UseWcs, 0);
  EXPECT_EQ(dup->FileNamePart(), "crab-02.fits");
  EXPECT_TRUE(dup->IsModified());
  ASSERT_NE(dup->ImageWindow(), nullptr);
  EXPECT_EQ(host.Windows.back()->Shown, 1);
  EXPECT_TRUE(host.Windows.back()->ThumbVisible);
}

TEST_F(DocumentTest, NewDocumentReportsOutOfMemoryUnlessQuiet) {
  FakeHost host;
  SetDocumentHost(&host);
  FailNextPixelAllocations(1);
  EXPECT_EQ(TAstroDocument::NewDocument(100, 100, false, true), nullptr);
  EXPECT_TRUE(host.Errors.empty());
  FailNextPixelAllocations(1);
  EXPECT_EQ(TAstroDocument::NewDocument(100, 100, false, false), nullptr);
  EXPECT_EQ(host.Errors.size(), 1u);
  FailNextPixelAllocations(0);
  auto doc = TAstroDocument::NewDocument(3, 2, true, false);
  ASSERT_NE(doc, nullptr);
  EXPECT_EQ(doc->Image().Value(2, 1), 0);
}

TEST_F(DocumentTest, ReplaceImageKeepsIdentityHeaderAndHistory) {
  FakeHost host;
  SetDocumentHost(&host);
  auto doc = MakeDoc(8, 8, false, 1);
  ASSERT_TRUE(doc->CreateWindow(1, true));
  doc->Image().Header.SetString("OBJECT", "M2", true);
  doc->Image().History.Add(2, false);
  const int32_t serial = doc->Image().SerialId;
  auto img = std::make_unique<TAImage>();
  img->SetSize(4, 3, true);
  doc->ReplaceImage(std::move(img), true);
  EXPECT_EQ(doc->Image().SerialId, serial);
  EXPECT_EQ(doc->Image().Header.GetString("OBJECT"), "M2");
  EXPECT_EQ(doc->Image().Header.GetInt("NAXIS1"), 4);
  EXPECT_EQ(doc->Image().Header.GetInt("NAXIS3"), 3);
  EXPECT_EQ(doc->Image().History.Count(), 1);
  EXPECT_EQ(host.Windows[0]->Recreated, 1);
  EXPECT_EQ(doc->Image().Mask->Width, 4);
}

// ============================================================================ selection

TEST_F(DocumentTest, SelectionSettersClampToTheImage) {
  FakeHost host;
  SetDocumentHost(&host);
  auto doc = MakeDoc(10, 8, false, 0);
  doc->SelectRect(3, 3, 3, 3);
  EXPECT_EQ(doc->SelectionKind(), 0);
  doc->SelectRect(12, -5, 4, 2);
  EXPECT_EQ(doc->SelectionKind(), 1);
  EXPECT_EQ(doc->SelectionRect(), (TPixelRect{4, 0, 9, 2}));
  EXPECT_EQ(doc->SelectionText(), "Rectangle:  6x3  (4, 0) - (9, 2)");
  ASSERT_FALSE(host.Status.empty());
  EXPECT_EQ(host.Status.back(), "Rectangle:  6x3  (4, 0) - (9, 2)|4000");
  EXPECT_EQ(RememberedSelection().Rects.front(), doc->SelectionRect());
  doc->SelectCentred(100, 1);
  EXPECT_EQ(doc->SelectionRect(), (TPixelRect{0, 3, 9, 5}));
  for (int i = 0; i < 5; ++i) doc->SelectRect(0, 0, i + 1, 1);
  EXPECT_EQ(RememberedSelection().Rects.size(), 4u);

  doc->SelectLine({-3, 2}, {5, 40});
  EXPECT_EQ(doc->SelectionKind(), 2);
  EXPECT_EQ(doc->SelectionLine()[0], (TPoint32{0, 2}));
  EXPECT_EQ(doc->SelectionLine()[1], (TPoint32{5, 7}));
  EXPECT_EQ(doc->SelectionText(), "Line:   7.1  (0, 2) - (5, 7)");
  EXPECT_EQ(doc->SelectionBounds(), (TPixelRect{0, 0, 9, 7}));

  // A selection made on a bigger image is cut to the image after it shrank.
  doc->SelectRect(2, 2, 9, 7);
  auto small = std::make_unique<TAImage>();
  small->SetSize(5, 4, false);
  doc->ReplaceImage(std::move(small), false);
  EXPECT_EQ(doc->SelectionBounds(), (TPixelRect{2, 2, 4, 3}));
  doc->SetSelectionKind(7);
  EXPECT_EQ(doc->SelectionKind(), 0);

  // Mask mode: the rectangle goes to the mask tool, no selection is kept.
  host.Mask = true;
  doc->SelectRect(0, 0, 3, 3);
  EXPECT_EQ(doc->SelectionKind(), 0);
  ASSERT_EQ(host.MaskRects.size(), 1u);
  ASSERT_TRUE(doc->Image().Mask->Allocate());
  doc->Image().Mask->SetWeight(1, 2, 9);
  EXPECT_EQ(doc->SelectionOrMaskBounds(), (TPixelRect{1, 2, 1, 2}));
}

TEST_F(DocumentTest, SizeMemoryAndObservationTime) {
  EXPECT_EQ(TAstroDocument::MemoryMBOf(30000, 30000, true), 10800);
  EXPECT_EQ(TAstroDocument::MemoryMBOf(1000, 1000, false), 4);
  EXPECT_EQ(TAstroDocument::MemoryMBOf(100, 100, false), 0);
  EXPECT_EQ(TAstroDocument::MemoryMBOf(500, 500, false), 1);  // 1e6 + 700001
  auto doc = MakeDoc(7, 5, true, 0);
  EXPECT_EQ(doc->MemoryMB(), 0);
  EXPECT_EQ(doc->CentreX(), 3);
  EXPECT_EQ(doc->CentreY(), 2);
  EXPECT_EQ(doc->MinDimension(), 5);
  EXPECT_EQ(doc->ObservationJD(), 0);
  doc->Image().Header.SetString("DATE-OBS", "2000-01-01T12:00:00", true);
  EXPECT_DOUBLE_EQ(doc->ObservationJD(), 2451545.0);
  Options().File.FITSTimeOffset = -12;
  EXPECT_DOUBLE_EQ(doc->ObservationJD(), 2451544.5);
  double ra = 0, dec = 0;
  EXPECT_FALSE(doc->Pointing(ra, dec));
  EXPECT_EQ(ra, -1);
  EXPECT_EQ(dec, -1);
  Options().Image.OutSideMode = omConstant;
  Options().Image.OutSideValue = 77;
  doc->ApplyOutsideValue();
  EXPECT_EQ(doc->Image().OutsideValue(), 77);
}

TEST_F(DocumentTest, FlipWithoutImageMirrorsOnlyTheMask) {
  auto doc = MakeDoc(4, 3, false, 0);
  doc->Image().SetAll(0, 0, 5);
  ASSERT_TRUE(doc->Image().Mask->Allocate());
  doc->Image().Mask->SetWeight(0, 0, 100);
  doc->Flip(true, false, false, true, false);
  EXPECT_EQ(doc->Image().Value(0, 0), 5);
  EXPECT_EQ(doc->Image().Mask->Weight(3, 0), 100);
  EXPECT_EQ(doc->Image().Mask->Weight(0, 0), 0);
  doc->Flip(false, true, false, true, true);
  EXPECT_EQ(doc->Image().Value(0, 2), 5);
  EXPECT_EQ(doc->Image().Mask->Weight(3, 2), 100);
  EXPECT_TRUE(doc->IsModified());
}

}  // namespace
