#include "tools/qmr7ctl/Json.h"

#include <cstdio>

#include "toolkit/Utf.h"

namespace qmr7ctl::json {

Object::Object(std::initializer_list<Member> members) {
  for (const auto& [name, value] : members)
    Set(name, value);
}

Object& Object::Set(std::string name, Value value) {
  for (auto& member : members_) {
    if (member.first == name) {
      member.second = std::move(value);
      return *this;
    }
  }
  members_.emplace_back(std::move(name), std::move(value));
  return *this;
}

const Value* Object::Find(std::string_view name) const {
  for (const auto& member : members_) {
    if (member.first == name) return &member.second;
  }
  return nullptr;
}

const Array* Value::AsArray() const {
  const auto* p = std::get_if<std::shared_ptr<Array>>(&v_);
  return p != nullptr ? p->get() : nullptr;
}

const Object* Value::AsObject() const {
  const auto* p = std::get_if<std::shared_ptr<Object>>(&v_);
  return p != nullptr ? p->get() : nullptr;
}

const char* Value::TypeName() const {
  switch (v_.index()) {
    case 0:
      return "null";
    case 1:
      return "boolean";
    case 2:
      return "number";
    case 3:
      return "string";
    case 4:
      return "array";
    default:
      return "object";
  }
}

bool operator==(const Value& a, const Value& b) {
  if (a.v_.index() != b.v_.index()) return false;
  if (const Array* x = a.AsArray()) return *x == *b.AsArray();
  if (const Object* x = a.AsObject()) return *x == *b.AsObject();
  return a.v_ == b.v_;
}

namespace {

// --- UTF-8 ---------------------------------------------------------------------------------------

// The code point of a well-formed sequence at `s`, and its length; length 0 when malformed.
char32_t DecodeUtf8(std::string_view s, std::size_t& length) {
  const auto lead = static_cast<unsigned char>(s[0]);
  length = 0;
  int n = 0;
  char32_t c = 0;
  if (lead < 0x80) {
    length = 1;
    return lead;
  }
  if (lead >= 0xC2 && lead < 0xE0) {
    n = 2;
    c = lead & 0x1F;
  } else if (lead >= 0xE0 && lead < 0xF0) {
    n = 3;
    c = lead & 0x0F;
  } else if (lead >= 0xF0 && lead < 0xF5) {
    n = 4;
    c = lead & 0x07;
  } else {
    return 0;
  }
  if (s.size() < static_cast<std::size_t>(n)) return 0;
  for (int k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[static_cast<std::size_t>(k)]);
    if ((b & 0xC0) != 0x80) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return 0;
  length = static_cast<std::size_t>(n);
  return c;
}

// --- Reading -------------------------------------------------------------------------------------

class Reader {
 public:
  explicit Reader(std::string_view text) : text_(text) {}

  std::variant<Value, ParseError> Document() {
    // A byte-order mark is not JSON, but editors add one; it carries no meaning.
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    SkipBlanks();
    Value value;
    if (!ReadValue(value, 0)) return error_;
    SkipBlanks();
    if (pos_ != text_.size()) return Fail("text after the end of the document");
    return value;
  }

 private:
  ParseError Fail(std::string what) {
    if (failed_) return error_;
    failed_ = true;
    error_.what = std::move(what);
    error_.line = 1;
    error_.column = 1;
    for (std::size_t i = 0; i < pos_ && i < text_.size(); ++i) {
      const auto b = static_cast<unsigned char>(text_[i]);
      if (b == '\n') {
        ++error_.line;
        error_.column = 1;
      } else if ((b & 0xC0) != 0x80) {
        ++error_.column;  // columns count characters, not bytes
      }
    }
    return error_;
  }

  bool AtEnd() const { return pos_ >= text_.size(); }
  char Peek() const { return AtEnd() ? '\0' : text_[pos_]; }

  void SkipBlanks() {
    while (!AtEnd() && (Peek() == ' ' || Peek() == '\t' || Peek() == '\n' || Peek() == '\r'))
      ++pos_;
  }

  bool Expect(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) {
      Fail("expected a value");
      return false;
    }
    pos_ += word.size();
    return true;
  }

  bool ReadValue(Value& value, int depth) {
    if (AtEnd()) {
      Fail("the document ends where a value should be");
      return false;
    }
    switch (Peek()) {
      case '{':
        return ReadObject(value, depth + 1);
      case '[':
        return ReadArray(value, depth + 1);
      case '"': {
        std::string s;
        if (!ReadString(s)) return false;
        value = Value(std::move(s));
        return true;
      }
      case 't':
        value = Value(true);
        return Expect("true");
      case 'f':
        value = Value(false);
        return Expect("false");
      case 'n':
        value = Value();
        return Expect("null");
      default:
        if (Peek() == '-' || (Peek() >= '0' && Peek() <= '9')) return ReadNumber(value);
        Fail("expected a value");
        return false;
    }
  }

  bool ReadObject(Value& value, int depth) {
    if (depth > kMaxDepth) {
      Fail("nested too deeply");
      return false;
    }
    ++pos_;
    Object object;
    SkipBlanks();
    if (Peek() == '}') {
      ++pos_;
      value = Value(std::move(object));
      return true;
    }
    for (;;) {
      SkipBlanks();
      if (Peek() != '"') {
        Fail("expected a member name in double quotes");
        return false;
      }
      const std::size_t nameAt = pos_;
      std::string name;
      if (!ReadString(name)) return false;
      if (object.Find(name) != nullptr) {
        pos_ = nameAt;
        Fail("member \"" + name + "\" appears twice");
        return false;
      }
      SkipBlanks();
      if (Peek() != ':') {
        Fail("expected ':' after a member name");
        return false;
      }
      ++pos_;
      SkipBlanks();
      Value member;
      if (!ReadValue(member, depth)) return false;
      object.Set(std::move(name), std::move(member));
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == '}') {
        ++pos_;
        value = Value(std::move(object));
        return true;
      }
      Fail("expected ',' or '}'");
      return false;
    }
  }

  bool ReadArray(Value& value, int depth) {
    if (depth > kMaxDepth) {
      Fail("nested too deeply");
      return false;
    }
    ++pos_;
    Array array;
    SkipBlanks();
    if (Peek() == ']') {
      ++pos_;
      value = Value(std::move(array));
      return true;
    }
    for (;;) {
      SkipBlanks();
      Value element;
      if (!ReadValue(element, depth)) return false;
      array.push_back(std::move(element));
      SkipBlanks();
      if (Peek() == ',') {
        ++pos_;
        continue;
      }
      if (Peek() == ']') {
        ++pos_;
        value = Value(std::move(array));
        return true;
      }
      Fail("expected ',' or ']'");
      return false;
    }
  }

  bool ReadNumber(Value& value) {
    const std::size_t start = pos_;
    const bool negative = Peek() == '-';
    if (negative) ++pos_;
    if (!(Peek() >= '0' && Peek() <= '9')) {
      Fail("expected a digit");
      return false;
    }
    if (Peek() == '0' && pos_ + 1 < text_.size() && text_[pos_ + 1] >= '0' &&
        text_[pos_ + 1] <= '9') {
      Fail("a number must not start with 0");
      return false;
    }
    // Magnitudes up to 2^63 are collected, so the most negative value fits too.
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    std::uint64_t magnitude = 0;
    bool tooLarge = false;
    while (Peek() >= '0' && Peek() <= '9') {
      const auto digit = static_cast<std::uint64_t>(Peek() - '0');
      if (magnitude > (kLimit - digit) / 10) tooLarge = true;
      if (!tooLarge) magnitude = magnitude * 10 + digit;
      ++pos_;
    }
    if (Peek() == '.' || Peek() == 'e' || Peek() == 'E') {
      pos_ = start;
      Fail("only whole numbers are expected here");
      return false;
    }
    if (tooLarge || (!negative && magnitude == kLimit)) {
      pos_ = start;
      Fail("number out of range");
      return false;
    }
    value = negative ? Value(static_cast<std::int64_t>(0 - magnitude))
                     : Value(static_cast<std::int64_t>(magnitude));
    return true;
  }

  bool ReadHex4(char32_t& unit) {
    unit = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = Peek();
      int digit = -1;
      if (c >= '0' && c <= '9') digit = c - '0';
      if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
      if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
      if (digit < 0) {
        Fail("expected four hexadecimal digits after \\u");
        return false;
      }
      unit = unit * 16 + static_cast<char32_t>(digit);
      ++pos_;
    }
    return true;
  }

  bool ReadString(std::string& out) {
    ++pos_;  // the opening quote
    for (;;) {
      if (AtEnd()) {
        Fail("a string is not closed");
        return false;
      }
      const char c = Peek();
      if (c == '"') {
        ++pos_;
        return true;
      }
      if (static_cast<unsigned char>(c) < 0x20) {
        Fail("a control character inside a string must be escaped");
        return false;
      }
      if (c == '\\') {
        ++pos_;
        if (!ReadEscape(out)) return false;
        continue;
      }
      std::size_t length = 0;
      DecodeUtf8(text_.substr(pos_), length);
      if (length == 0) {
        Fail("the text is not valid UTF-8");
        return false;
      }
      out.append(text_.substr(pos_, length));
      pos_ += length;
    }
  }

  bool ReadEscape(std::string& out) {
    const char e = Peek();
    ++pos_;
    switch (e) {
      case '"':
        out += '"';
        return true;
      case '\\':
        out += '\\';
        return true;
      case '/':
        out += '/';
        return true;
      case 'b':
        out += '\b';
        return true;
      case 'f':
        out += '\f';
        return true;
      case 'n':
        out += '\n';
        return true;
      case 'r':
        out += '\r';
        return true;
      case 't':
        out += '\t';
        return true;
      case 'u': {
        char32_t unit = 0;
        if (!ReadHex4(unit)) return false;
        if (unit >= 0xDC00 && unit < 0xE000) {
          Fail("a lone low surrogate in \\u escape");
          return false;
        }
        if (unit >= 0xD800 && unit < 0xDC00) {
          char32_t low = 0;
          if (text_.substr(pos_, 2) != "\\u") {
            Fail("a high surrogate without its low surrogate");
            return false;
          }
          pos_ += 2;
          if (!ReadHex4(low)) return false;
          if (low < 0xDC00 || low >= 0xE000) {
            Fail("a high surrogate without its low surrogate");
            return false;
          }
          unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
        }
        toolkit::AppendUtf8(out, unit);
        return true;
      }
      default:
        --pos_;
        Fail("unknown escape in a string");
        return false;
    }
  }

  std::string_view text_;
  std::size_t pos_ = 0;
  bool failed_ = false;
  ParseError error_;
};

// --- Writing -------------------------------------------------------------------------------------

void WriteString(std::string& out, std::string_view s) {
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
      ++i;
      continue;
    }
    if (b < 0x20) {
      switch (b) {
        case '\n':
          out += "\\n";
          break;
        case '\r':
          out += "\\r";
          break;
        case '\t':
          out += "\\t";
          break;
        case '\b':
          out += "\\b";
          break;
        case '\f':
          out += "\\f";
          break;
        default: {
          char escape[8];
          std::snprintf(escape, sizeof escape, "\\u%04x", b);
          out += escape;
        }
      }
      ++i;
      continue;
    }
    std::size_t length = 0;
    const char32_t unit = DecodeUtf8(s.substr(i), length);
    if (length == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
      continue;
    }
    // DEL and the C1 controls are escaped too, so that output shown on a terminal cannot steer it.
    if (unit == 0x7F || (unit >= 0x80 && unit <= 0x9F)) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(unit));
      out += escape;
      i += length;
      continue;
    }
    out.append(s.substr(i, length));
    i += length;
  }
  out += '"';
}

void WriteValue(std::string& out, const Value& value, int indent) {
  const std::string pad(static_cast<std::size_t>(indent + 2), ' ');
  const std::string closePad(static_cast<std::size_t>(indent), ' ');
  if (value.IsNull()) {
    out += "null";
  } else if (const bool* b = value.AsBool()) {
    out += *b ? "true" : "false";
  } else if (const std::int64_t* n = value.AsInt()) {
    out += std::to_string(*n);
  } else if (const std::string* s = value.AsString()) {
    WriteString(out, *s);
  } else if (const Array* a = value.AsArray()) {
    if (a->empty()) {
      out += "[]";
      return;
    }
    out += "[\n";
    for (std::size_t i = 0; i < a->size(); ++i) {
      out += pad;
      WriteValue(out, (*a)[i], indent + 2);
      out += i + 1 < a->size() ? ",\n" : "\n";
    }
    out += closePad + "]";
  } else if (const Object* o = value.AsObject()) {
    if (o->Members().empty()) {
      out += "{}";
      return;
    }
    out += "{\n";
    const auto& members = o->Members();
    for (std::size_t i = 0; i < members.size(); ++i) {
      out += pad;
      WriteString(out, members[i].first);
      out += ": ";
      WriteValue(out, members[i].second, indent + 2);
      out += i + 1 < members.size() ? ",\n" : "\n";
    }
    out += closePad + "}";
  }
}

}  // namespace

std::variant<Value, ParseError> Parse(std::string_view text) {
  return Reader(text).Document();
}

std::string Write(const Value& value) {
  std::string out;
  WriteValue(out, value, 0);
  out += '\n';
  return out;
}

}  // namespace qmr7ctl::json
