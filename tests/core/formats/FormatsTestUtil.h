// Shared helpers of the format tests: a temporary folder with files written from bytes.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace orlu::testing_formats {

class TTempDir {
 public:
  TTempDir() {
    static std::atomic<int> counter{0};
    Path_ = std::filesystem::temp_directory_path() /
            ("orlu-formats-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(Path_);
  }
  ~TTempDir() {
    std::error_code ec;
    std::filesystem::remove_all(Path_, ec);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;

  const std::filesystem::path& Path() const { return Path_; }
  std::string Name(std::string_view name) const { return (Path_ / name).string(); }
  // Writes bytes into the folder and returns the file's path.
  std::string Write(std::string_view name, std::string_view bytes) const {
    const std::string p = Name(name);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    return p;
  }

 private:
  std::filesystem::path Path_;
};

// A FITS header of 80-column cards padded to whole 2880-byte blocks.
inline std::string FitsHeaderBlocks(std::initializer_list<std::string_view> cards) {
  std::string h;
  for (std::string_view c : cards) {
    std::string card(c);
    card.resize(80, ' ');
    h += card;
  }
  std::string end = "END";
  end.resize(80, ' ');
  h += end;
  h.resize((h.size() + 2879) / 2880 * 2880, ' ');
  return h;
}

}  // namespace orlu::testing_formats
