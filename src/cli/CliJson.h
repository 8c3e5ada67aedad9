// A minimal JSON writer for orlu-cli's one-object outputs: keys in the order written,
// numbers locale-free in their shortest exact form, NaN and infinities as null.
#pragma once

#include <string>
#include <string_view>

namespace orlu::cli {

class TJsonWriter {
 public:
  // Containers; keyed forms are for members of an object, plain forms for array items.
  void BeginObject(std::string_view key = {});
  void EndObject();
  void BeginArray(std::string_view key = {});
  void EndArray();

  void Number(std::string_view key, double v);
  void Number(std::string_view key, float v);
  void Integer(std::string_view key, long long v);
  void Bool(std::string_view key, bool v);
  void String(std::string_view key, std::string_view v);
  void Number(double v) { Number({}, v); }
  void Number(float v) { Number({}, v); }

  // The text written so far.
  const std::string& Text() const { return Out_; }

 private:
  void Key(std::string_view key);
  void Quoted(std::string_view s);

  std::string Out_;
  bool NeedComma_ = false;
};

}  // namespace orlu::cli
