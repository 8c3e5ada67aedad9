#include "base/Translate.h"

#include <mutex>
#include <utility>

namespace orlu {

namespace {
std::mutex gMutex;
std::map<std::string, std::string, std::less<>> gTable;
}  // namespace

std::string Tr(std::string_view text) {
  std::lock_guard lock(gMutex);
  if (gTable.empty()) return std::string(text);
  auto it = gTable.find(text);
  return it == gTable.end() ? std::string(text) : it->second;
}

void SetTranslationTable(std::map<std::string, std::string, std::less<>> table) {
  std::lock_guard lock(gMutex);
  gTable = std::move(table);
}

}  // namespace orlu
