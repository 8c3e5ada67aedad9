#include "options/uQuorvane.h"

#include <array>
#include <cstdlib>
#include <set>
#include <system_error>

#include "base/ProcessSwitches.h"
#include "base/TextNumbers.h"

namespace orlu {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 2> kOutsideModeNames = {"omConstant", "omBackground"};

constexpr std::string_view kDefaultMPCReport =
    "COD XXX\n"
    "CON A. N. Observer, 1 Observatory Road, Hilltown [observer@example.org]\n"
    "OBS A. N. Observer\n"
    "MEA A. N. Observer\n"
    "TEL 0.30-m f/6.0 reflector + CCD\n"
    "NET Gaia-DR3\n"
    "ACK Astrometry of %DATE";

constexpr std::string_view kDefaultMPCReportAdes =
    "# version=2017\n"
    "# observatory\n"
    "! mpcCode XXX\n"
    "# contact\n"
    "! name A. N. Observer\n"
    "! address 1 Observatory Road, Hilltown\n"
    "! email observer@example.org\n"
    "# observers\n"
    "! name A. N. Observer\n"
    "# measurers\n"
    "! name A. N. Observer\n"
    "# telescope\n"
    "! design Reflector\n"
    "! aperture 0.30\n"
    "! detector CCD\n"
    "# comment\n"
    "! line Catalogue Gaia-DR3\n"
    "! line Astrometry of %DATE";

// Every section of the configuration file in its fixed order: the object, its index and
// whether it is written back (all listed sections are read).
template <class Options, class F>
void ForEachSection(Options& o, F&& f) {
  f(o.Observatory, 0, true);
  f(o.PlateSolve, 1, true);
  f(o.File, 0, true);
  f(o.Dslr, 0, true);
  f(o.Raw, 0, true);
  f(o.Star, 0, true);
  f(o.Annotation, 0, true);
  f(o.Image, 0, true);
  f(o.Preprocessing, 0, false);
  f(o.Formula, 0, true);
  f(o.MaskFormula, 0, true);
  f(o.Atlas, 0, true);
  f(o.Catalog1, 1, true);
  f(o.Catalog2, 2, true);
  f(o.Misc, 0, true);
  f(o.Filter, 0, true);
  f(o.Camera, 0, true);
  f(o.Telescope, 0, false);
  f(o.FilterWheel, 0, false);
  f(o.Focuser, 0, false);
  f(o.Focuser2, 2, false);
  f(o.Rotator, 0, false);
  f(o.Switch, 0, false);
  f(o.Switch2, 2, false);
  f(o.Cover, 0, false);
  f(o.SafetyMonitor, 0, false);
  f(o.Weather, 0, false);
  f(o.Dome, 0, false);
  f(o.Autofocus, 0, false);
  f(o.Autocenter, 0, false);
  f(o.Sequencer, 0, false);
  f(o.Guide, 0, false);
  f(o.GuideFF, 0, false);
  f(o.Sound, 0, true);
  f(o.CameraImage, 0, true);
  f(o.Demosaic, 0, true);
  f(o.Trichromy, 0, true);
  f(o.Align, 0, true);
}

template <class T>
bool IsFieldName(std::string_view key) {
  for (const TOptionField<T>& f : TOptionClass<T>::Fields)
    if (f.Name == key) return true;
  return false;
}

// Appends the header and body of an existing section, without its trailing empty lines.
void CopySection(TIniLines& out, const TIniLines& in, TIniRange range) {
  size_t end = range.End;
  while (end > range.First && TrimView(in[end - 1]).empty()) --end;
  out.emplace_back();
  out.push_back(in[range.First - 1]);
  for (size_t i = range.First; i < end; ++i) out.push_back(in[i]);
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return UpperAscii(a) == UpperAscii(b);
}

fs::path EnvPath(const char* name) {
  const char* v = std::getenv(name);
  return v ? fs::path(v) : fs::path();
}

constexpr std::string_view SubfolderName(TUserFolder which) {
  switch (which) {
    case TUserFolder::Logo: return "Logo";
    case TUserFolder::Palette: return "Palette";
    case TUserFolder::Stars: return "Stars";
    case TUserFolder::History: return "History";
    case TUserFolder::TransferFunction: return "TransferFunction";
    case TUserFolder::Observatory: return "Observatory";
    case TUserFolder::Demosaic: return "Demosaic";
    case TUserFolder::Macro: return "Macro";
    case TUserFolder::Annotation: return "Annotation";
    case TUserFolder::StarDatabase: return "StarDatabase";
  }
  return "";
}

bool IsFolder(const fs::path& p) {
  std::error_code ec;
  return !p.empty() && fs::is_directory(p, ec);
}

fs::path CreatedFolder(const fs::path& p) {
  std::error_code ec;
  fs::create_directories(p, ec);  // a folder that cannot be created only means no files there
  return p;
}

}  // namespace

// ============================================================================ values

std::string IniValueText(TOutsideMode v) {
  const auto i = size_t(int32_t(v));
  return i < kOutsideModeNames.size() ? std::string(kOutsideModeNames[i])
                                      : std::to_string(int32_t(v));
}

bool ReadIniValue(std::string_view text, TOutsideMode& v, double, double) {
  const std::string_view t = TrimView(text);
  for (size_t i = 0; i < kOutsideModeNames.size(); ++i) {
    if (EqualsIgnoringCase(t, kOutsideModeNames[i])) {
      v = TOutsideMode(i);
      return true;
    }
  }
  return false;
}

// ============================================================================ classes

TObservatoryOptions::TObservatoryOptions()
    : MPCReport(kDefaultMPCReport), MPCReportAdes(kDefaultMPCReportAdes) {}

TMiscOptions::TMiscOptions() : PermitSSE(CpuHasSSE2()) {}

void TQVOptions::ApplyProcessSwitches() const {
  SetPermitSSE(Misc.PermitSSE);
  SetPermitMT(Misc.PermitMT);
}

TQVOptions& Options() {
  static TQVOptions options;
  return options;
}

// ============================================================================ folders

TFolderEnvironment ProcessFolderEnvironment() {
  TFolderEnvironment env;
  env.Home = EnvPath("HOME");
  env.XdgConfigHome = EnvPath("XDG_CONFIG_HOME");
  env.DocumentsDir = EnvPath("XDG_DOCUMENTS_DIR");
  std::error_code ec;
  const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) env.ProgramDir = exe.parent_path();
  return env;
}

fs::path ConfigFolderFor(const TFolderEnvironment& env) {
  if (!env.ProgramDir.empty() && IsFolder(env.ProgramDir / "Config"))
    return env.ProgramDir / "Config";
  // The XDG rules: a relative $XDG_CONFIG_HOME is invalid and ignored.
  fs::path base;
  if (env.XdgConfigHome.is_absolute()) base = env.XdgConfigHome;
  else if (env.Home.is_absolute()) base = env.Home / ".config";
  else return {};
  return CreatedFolder(base / "orlu");
}

void TQVOptions::ComputeFolders(const TFolderEnvironment& env) {
  Environment = env;
  ProgramFolder = env.ProgramDir;
  LanguageFolder = env.ProgramDir.empty() ? fs::path() : env.ProgramDir / "Language";
  ConfigFolder = ConfigFolderFor(env);
}

fs::path TQVOptions::UserFilesFolder() const {
  if (!File.UserFilesDir.empty() && IsFolder(File.UserFilesDir)) return File.UserFilesDir;
  fs::path docs = Environment.DocumentsDir;
  if (!docs.is_absolute()) {
    if (!Environment.Home.is_absolute()) return {};
    docs = Environment.Home / "Documents";
  }
  return CreatedFolder(docs / "OrluFV");
}

fs::path TQVOptions::UserSubfolder(TUserFolder which) const {
  const fs::path base = UserFilesFolder();
  if (base.empty()) return {};
  return CreatedFolder(base / SubfolderName(which));
}

fs::path TQVOptions::StarDatabaseFile() const {
  const fs::path name = Star.Database.empty() ? fs::path("StarDatabase.txt") : fs::path(Star.Database);
  if (name.has_parent_path()) return name;
  const fs::path folder = UserSubfolder(TUserFolder::StarDatabase);
  return folder.empty() ? name : folder / name;
}

fs::path TQVOptions::InitialDialogFolder(bool save) const {
  if (FileOpenedOrSaved) return {};
  fs::path folder = save ? File.SaveDir : File.OpenDir;
  if (folder.empty() && File.RememberLastFolder) folder = File.LastOpenDir;
  return IsFolder(folder) ? folder : fs::path();
}

// ============================================================================ configuration file

TIniLines BuildOptionsLines(const TQVOptions& options, const TIniLines& existing) {
  TIniLines out;
  // Lines before the first section (comments of a hand-edited file) stay on top.
  for (const auto& line : existing) {
    if (IniHeaderName(line)) break;
    if (!TrimView(line).empty()) out.push_back(line);
  }
  std::set<std::string, std::less<>> known;
  ForEachSection(options, [&](const auto& object, int32_t index, bool written) {
    using T = std::decay_t<decltype(object)>;
    const std::string name = IniSectionName(TOptionClass<T>::Section, index);
    known.insert(name);
    const auto range = FindIniSection(existing, name);
    if (!written) {
      if (range) CopySection(out, existing, *range);
      return;
    }
    WriteSection(out, object, index);
    if (!range) return;
    // Keys this program does not know (another version's) stay after its own.
    for (size_t i = range->First; i < range->End; ++i) {
      const std::string& line = existing[i];
      if (TrimView(line).empty()) continue;
      const auto key = IniLineKey(line);
      if (key && IsFieldName<T>(*key)) continue;
      out.push_back(line);
    }
  });
  // Sections of other programs or versions, in their order; a repeated known section is
  // dropped (the reader never sees it).
  for (size_t i = 0; i < existing.size(); ++i) {
    const auto name = IniHeaderName(existing[i]);
    if (!name || known.count(*name)) continue;
    TIniRange range{i + 1, i + 1};
    while (range.End < existing.size() && !IniHeaderName(existing[range.End])) ++range.End;
    CopySection(out, existing, range);
  }
  return out;
}

bool LoadOptions(TQVOptions& options, const fs::path& folder) {
  TIniLines lines;
  TIniReadResult r = TIniReadResult::Missing;
  if (!folder.empty()) {
    r = ReadIniFile(folder / kConfigFileName, lines);
    if (r == TIniReadResult::Missing) r = ReadIniFile(folder / kOldConfigFileName, lines);
  }
  if (r == TIniReadResult::Ok) {
    ForEachSection(options, [&](auto& object, int32_t index, bool) {
      ReadSection(lines, object, index);
    });
  }
  options.ApplyProcessSwitches();
  return r == TIniReadResult::Ok;
}

bool SaveOptions(const TQVOptions& options, const fs::path& folder, std::string* error) {
  if (folder.empty()) {
    if (error) *error = "No configuration folder";
    return false;
  }
  const fs::path path = folder / kConfigFileName;
  TIniLines existing;
  const TIniReadResult r = ReadIniFile(path, existing);
  if (r == TIniReadResult::Unreadable) {
    // Replacing a file we cannot read would lose the sections kept for other programs.
    if (error) *error = "Cannot read " + path.string();
    return false;
  }
  if (r == TIniReadResult::Missing &&
      ReadIniFile(folder / kOldConfigFileName, existing) != TIniReadResult::Ok)
    existing.clear();
  const TIniLines lines = BuildOptionsLines(options, existing);
  if (r == TIniReadResult::Ok && lines == existing) return true;
  return WriteIniFile(path, lines, error);
}

// ============================================================================ other files

bool SaveObservatoryFile(const fs::path& path, const TObservatoryOptions& obs,
                         std::string* error) {
  TIniLines lines;
  WriteSection(lines, obs, 0, "MPCReport");
  return WriteIniFile(path, lines, error);
}

std::optional<TObservatoryOptions> LoadObservatoryFile(const fs::path& path) {
  TIniLines lines;
  if (ReadIniFile(path, lines) != TIniReadResult::Ok) return std::nullopt;
  TObservatoryOptions obs;
  ReadSection(lines, obs, 0);
  return obs;
}

void TUIStateFile::Load(const fs::path& folder) {
  Lines.clear();
  Read_.clear();
  const TIniReadResult r =
      folder.empty() ? TIniReadResult::Missing : ReadIniFile(folder / kUIStateFileName, Read_);
  // An unreadable file counts as existing, so an unchanged state never replaces it.
  Existed_ = r != TIniReadResult::Missing;
  Lines = Read_;
}

bool TUIStateFile::Save(const fs::path& folder, std::string* error) {
  if (Existed_ && Lines == Read_) return true;
  if (folder.empty()) {
    if (error) *error = "No configuration folder";
    return false;
  }
  if (!WriteIniFile(folder / kUIStateFileName, Lines, error)) return false;
  Read_ = Lines;
  Existed_ = true;
  return true;
}

std::string NormalizeExtensionField(std::string_view text) {
  if (text.size() < 2) return "*.*";
  if (text[0] == '*' || text[1] == '.') return std::string(text);
  std::string r(text[0] == '.' ? "*" : "*.");
  r.append(text);
  return r;
}

}  // namespace orlu
