// A small JSON reader and writer for qmr7ctl's output and its settings backups.
//
// Values keep their members in the order they were added or read, so what qmr7ctl writes has a
// fixed shape. The reader takes RFC 8259 JSON in UTF-8 and refuses what a backup never holds:
// invalid UTF-8, duplicate member names, numbers that are not whole or do not fit 64 bits, nesting
// deeper than kMaxDepth. Its error says what is wrong and where (line and column, from 1).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace qmr7ctl::json {

class Value;
class Object;
using Array = std::vector<Value>;

class Value {
 public:
  Value() = default;  // null
  Value(std::nullptr_t) {}
  Value(bool b) : v_(b) {}
  Value(int n) : v_(static_cast<std::int64_t>(n)) {}
  Value(std::int64_t n) : v_(n) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(Array a);
  Value(Object o);

  bool IsNull() const { return std::holds_alternative<std::monostate>(v_); }
  const bool* AsBool() const { return std::get_if<bool>(&v_); }
  const std::int64_t* AsInt() const { return std::get_if<std::int64_t>(&v_); }
  const std::string* AsString() const { return std::get_if<std::string>(&v_); }
  const Array* AsArray() const;
  const Object* AsObject() const;

  // "null", "boolean", "number", "string", "array" or "object".
  const char* TypeName() const;

  friend bool operator==(const Value& a, const Value& b);

 private:
  std::variant<std::monostate, bool, std::int64_t, std::string, std::shared_ptr<Array>,
               std::shared_ptr<Object>>
      v_;
};

using Member = std::pair<std::string, Value>;

class Object {
 public:
  Object() = default;
  Object(std::initializer_list<Member> members);

  // Adds a member; a second one of the same name replaces the first in place.
  Object& Set(std::string name, Value value);
  const Value* Find(std::string_view name) const;
  const std::vector<Member>& Members() const { return members_; }

  friend bool operator==(const Object&, const Object&) = default;

 private:
  std::vector<Member> members_;
};

inline Value::Value(Array a) : v_(std::make_shared<Array>(std::move(a))) {}
inline Value::Value(Object o) : v_(std::make_shared<Object>(std::move(o))) {}

inline constexpr int kMaxDepth = 32;

struct ParseError {
  int line = 1;
  int column = 1;
  std::string what;
};

// The document's one value, or the first fault found.
std::variant<Value, ParseError> Parse(std::string_view text);

// Two-space indentation, one member or element per line, a line feed at the end. Strings are
// written as UTF-8 with the escapes JSON requires (quote, backslash, control characters); bytes
// that are not UTF-8 become U+FFFD, so the output is always valid JSON.
std::string Write(const Value& value);

}  // namespace qmr7ctl::json
