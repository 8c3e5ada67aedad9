#include "CliJson.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "base/TextNumbers.h"

namespace orlu::cli {

void TJsonWriter::Key(std::string_view key) {
  if (NeedComma_) Out_ += ',';
  if (!key.empty()) {
    Quoted(key);
    Out_ += ':';
  }
  NeedComma_ = true;
}

void TJsonWriter::Quoted(std::string_view s) {
  Out_ += '"';
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      Out_ += '\\';
      Out_ += char(c);
    } else if (c < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", c);
      Out_ += buf;
    } else {
      Out_ += char(c);
    }
  }
  Out_ += '"';
}

void TJsonWriter::BeginObject(std::string_view key) {
  Key(key);
  Out_ += '{';
  NeedComma_ = false;
}

void TJsonWriter::EndObject() {
  Out_ += '}';
  NeedComma_ = true;
}

void TJsonWriter::BeginArray(std::string_view key) {
  Key(key);
  Out_ += '[';
  NeedComma_ = false;
}

void TJsonWriter::EndArray() {
  Out_ += ']';
  NeedComma_ = true;
}

void TJsonWriter::Number(std::string_view key, double v) {
  Key(key);
  Out_ += std::isfinite(v) ? FormatShortest(v) : std::string("null");
}

// A float printed through double would show its binary tail (0.1f as 0.10000000149011612);
// the shortest text that reads back to the same float is what the value means.
void TJsonWriter::Number(std::string_view key, float v) {
  Key(key);
  if (!std::isfinite(v)) {
    Out_ += "null";
    return;
  }
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  Out_.append(buf, res.ptr);
}

void TJsonWriter::Integer(std::string_view key, long long v) {
  Key(key);
  Out_ += std::to_string(v);
}

void TJsonWriter::Bool(std::string_view key, bool v) {
  Key(key);
  Out_ += v ? "true" : "false";
}

void TJsonWriter::String(std::string_view key, std::string_view v) {
  Key(key);
  Quoted(v);
}

}  // namespace orlu::cli
