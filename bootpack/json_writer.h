// A small writer of indented JSON documents for the commands' --json output. Portable.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace boot {

// Builds one JSON document in text(). Members and elements are written in call order; the
// writer puts the commas, the indentation (two spaces) and the closing brackets. Strings are
// escaped, and bytes that are not UTF-8 (a manifest read from an unknown exe may hold any)
// become U+FFFD, so the document is always valid JSON.
class JsonWriter {
 public:
  JsonWriter& BeginObject();
  JsonWriter& EndObject();
  JsonWriter& BeginArray();
  JsonWriter& EndArray();
  // The name of the next member of the object being written.
  JsonWriter& Key(std::string_view name);
  JsonWriter& String(std::string_view value);
  JsonWriter& Number(std::uint64_t value);
  JsonWriter& Seconds(double value);  // with two decimals
  JsonWriter& Bool(bool value);
  JsonWriter& Null();

  // The document, with a final newline once everything is closed.
  const std::string& text() const { return text_; }

 private:
  void BeforeValue();
  void Close(char bracket);

  std::string text_;
  int depth_ = 0;
  bool first_ = true;  // nothing written yet in the innermost object or array
  bool after_key_ = false;
};

}  // namespace boot
