// Values of tags as text (see tagvalue.hpp).
#include "tagvalue.hpp"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace s7tag {

namespace {

struct Range {
  long long lo, hi;
};

// The integer range a type's text may take (lo > hi: not an integer type).
Range RangeOf(int type) {
  switch (type) {
    case S7TAG_BYTE:
      return {0, 255};
    case S7TAG_WORD:
      return {0, 65535};
    case S7TAG_INT:
      return {-32768, 32767};
    case S7TAG_DWORD:
      return {0, 4294967295LL};
    case S7TAG_DINT:
      return {-2147483648LL, 2147483647LL};
    case S7TAG_TIMER:
      return {0, 9990000};  // the longest time a timer word holds
    case S7TAG_COUNTER:
      return {0, 999};
    default:
      return {1, 0};
  }
}

std::string Trim(std::string_view s) {
  size_t a = 0, b = s.size();
  while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
  while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
  return std::string(s.substr(a, b - a));
}

std::string Lower(std::string s) {
  for (char &c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

template <typename T>
T Load(const void *value, int index) {
  T v;
  std::memcpy(&v, static_cast<const char *>(value) + static_cast<size_t>(index) * sizeof(T),
              sizeof(T));
  return v;
}

template <typename T>
void Store(void *value, int index, T v) {
  std::memcpy(static_cast<char *>(value) + static_cast<size_t>(index) * sizeof(T), &v, sizeof(T));
}

std::string RealText(float f) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, f);
  return std::string(buf, r.ptr);
}

// "text" in quotes, for a message.
std::string Quoted(std::string_view text) {
  std::string q = "\"";
  q += text;
  q += '"';
  return q;
}

int Refuse(std::string &err, std::string why) {
  err = std::move(why);
  return -1;
}

// Integer text: optional sign, decimal or 0x hex; into [lo, hi].
int ParseInteger(const S7TAGADDR &addr, const std::string &t, long long &out, std::string &err) {
  const Range r = RangeOf(addr.Type);
  const std::string what =
      " for " + TypeName(addr) + " (" + std::to_string(r.lo) + " to " + std::to_string(r.hi) + ")";
  size_t at = 0;
  bool neg = false;
  if (at < t.size() && (t[at] == '+' || t[at] == '-')) neg = t[at++] == '-';
  int base = 10;
  if (t.size() - at > 2 && t[at] == '0' && (t[at + 1] == 'x' || t[at + 1] == 'X')) {
    base = 16;
    at += 2;
  }
  unsigned long long mag = 0;
  const char *first = t.data() + at, *last = t.data() + t.size();
  const auto res = std::from_chars(first, last, mag, base);
  if (first == last || res.ptr != last || res.ec == std::errc::invalid_argument)
    return Refuse(err, Quoted(t) + " is not a whole number" + what);
  if (res.ec == std::errc::result_out_of_range || mag > (1ULL << 40))
    return Refuse(err, t + " is out of range" + what);
  const long long v = neg ? -static_cast<long long>(mag) : static_cast<long long>(mag);
  if (v < r.lo || v > r.hi) return Refuse(err, t + " is out of range" + what);
  out = v;
  return 0;
}

// One element from its (untrimmed) text into a scratch of ElementSize bytes.
int ParseElement(const S7TAGADDR &addr, std::string_view text, char *out, std::string &err) {
  switch (addr.Type) {
    case S7TAG_STRING: {
      if (text.size() > addr.StrLen)
        return Refuse(err, Quoted(text) + " is longer than " + TypeName(addr) + " (" +
                               std::to_string(text.size()) + " characters)");
      if (text.find('\0') != std::string_view::npos)
        return Refuse(err, "a string cannot hold a zero byte");
      std::memset(out, 0, static_cast<size_t>(addr.StrLen) + 1);
      std::memcpy(out, text.data(), text.size());
      return 0;
    }
    case S7TAG_CHAR:
      if (text.size() > 1)
        return Refuse(err, Quoted(text) + " is more than one character for CHAR");
      out[0] = text.empty() ? '\0' : text[0];
      return 0;
    default:
      break;
  }
  const std::string t = Trim(text);
  switch (addr.Type) {
    case S7TAG_BOOL: {
      const std::string l = Lower(t);
      if (l == "true" || l == "1") {
        out[0] = 1;
      } else if (l == "false" || l == "0") {
        out[0] = 0;
      } else {
        return Refuse(err, Quoted(t) + " is not a BOOL (true, false, 1 or 0)");
      }
      return 0;
    }
    case S7TAG_REAL: {
      float f = 0;
      const char *first = t.data(), *last = t.data() + t.size();
      if (first != last && *first == '+') ++first;  // from_chars takes no plus sign
      const auto res = std::from_chars(first, last, f);
      if (t.empty() || res.ptr != last || res.ec == std::errc::invalid_argument)
        return Refuse(err, Quoted(t) + " is not a number for REAL");
      if (res.ec == std::errc::result_out_of_range) {
        // Too small is taken as the nearest real (zero); too large is refused.
        double d = 0;
        const auto big = std::from_chars(first, last, d);
        if (big.ec != std::errc() || std::fabs(d) > 1)
          return Refuse(err, t + " is out of range for REAL (at most 3.4028235e+38)");
        f = static_cast<float>(d);
      }
      std::memcpy(out, &f, sizeof f);
      return 0;
    }
    default:
      break;
  }
  long long v = 0;
  if (RangeOf(addr.Type).lo > RangeOf(addr.Type).hi)
    return Refuse(err, "the tag has no value type that can be written");
  if (ParseInteger(addr, t, v, err) != 0) return -1;
  switch (ElementSize(addr)) {
    case 1:
      out[0] = static_cast<char>(v);
      break;
    case 2: {
      const uint16_t w = static_cast<uint16_t>(v);
      std::memcpy(out, &w, 2);
      break;
    }
    default: {
      const uint32_t d = static_cast<uint32_t>(v);
      std::memcpy(out, &d, 4);
      break;
    }
  }
  return 0;
}

bool ValidIndex(const S7TAGADDR &addr, const void *value, int index) {
  return value && index >= 0 && index < addr.Count && ElementSize(addr) > 0;
}

}  // namespace

ValueKind KindOf(const S7TAGADDR &addr) {
  switch (addr.Type) {
    case S7TAG_BOOL:
      return ValueKind::Bool;
    case S7TAG_REAL:
      return ValueKind::Real;
    case S7TAG_CHAR:
    case S7TAG_STRING:
      return ValueKind::Text;
    case S7TAG_BYTE:
    case S7TAG_WORD:
    case S7TAG_INT:
    case S7TAG_DWORD:
    case S7TAG_DINT:
    case S7TAG_TIMER:
    case S7TAG_COUNTER:
      return ValueKind::Integer;
    default:
      return ValueKind::None;
  }
}

int ElementSize(const S7TAGADDR &addr) {
  switch (addr.Type) {
    case S7TAG_BOOL:
    case S7TAG_BYTE:
    case S7TAG_CHAR:
      return 1;
    case S7TAG_WORD:
    case S7TAG_INT:
    case S7TAG_COUNTER:
      return 2;
    case S7TAG_DWORD:
    case S7TAG_DINT:
    case S7TAG_REAL:
    case S7TAG_TIMER:
      return 4;
    case S7TAG_STRING:
      return addr.StrLen + 1;
    default:
      return 0;
  }
}

std::string TypeName(const S7TAGADDR &addr) {
  static const char *const kNames[] = {"",      "BOOL", "BYTE", "CHAR",   "WORD",  "INT",
                                       "DWORD", "DINT", "REAL", "STRING", "TIMER", "COUNTER"};
  if (addr.Type < 1 || addr.Type > S7TAG_COUNTER) return "?";
  std::string n = kNames[addr.Type];
  if (addr.Type == S7TAG_STRING) {
    n += '[';
    n += std::to_string(addr.StrLen);
    n += ']';
  }
  return n;
}

std::string FormatTagValue(const S7TAGADDR &addr, const void *value, int index) {
  if (!ValidIndex(addr, value, index)) return "";
  switch (addr.Type) {
    case S7TAG_BOOL:
      return Load<uint8_t>(value, index) ? "true" : "false";
    case S7TAG_BYTE:
      return std::to_string(Load<uint8_t>(value, index));
    case S7TAG_CHAR: {
      const char c = Load<char>(value, index);
      return c ? std::string(1, c) : std::string();
    }
    case S7TAG_WORD:
    case S7TAG_COUNTER:
      return std::to_string(Load<uint16_t>(value, index));
    case S7TAG_INT:
      return std::to_string(Load<int16_t>(value, index));
    case S7TAG_DWORD:
    case S7TAG_TIMER:
      return std::to_string(Load<uint32_t>(value, index));
    case S7TAG_DINT:
      return std::to_string(Load<int32_t>(value, index));
    case S7TAG_REAL:
      return RealText(Load<float>(value, index));
    case S7TAG_STRING: {
      const size_t size = static_cast<size_t>(addr.StrLen) + 1;
      const char *s = static_cast<const char *>(value) + static_cast<size_t>(index) * size;
      return std::string(s, strnlen(s, addr.StrLen));
    }
    default:
      return "";
  }
}

std::string FormatTagValues(const S7TAGADDR &addr, const void *value, std::string_view sep) {
  std::string s;
  for (int i = 0; i < addr.Count; ++i) {
    if (i) s += sep;
    s += FormatTagValue(addr, value, i);
  }
  return s;
}

std::string JsonTagValue(const S7TAGADDR &addr, const void *value, int index) {
  if (!ValidIndex(addr, value, index)) return "null";
  switch (KindOf(addr)) {
    case ValueKind::Text:
      return JsonQuote(FormatTagValue(addr, value, index));
    case ValueKind::Real:
      if (!std::isfinite(Load<float>(value, index))) return "null";
      return FormatTagValue(addr, value, index);
    default:
      return FormatTagValue(addr, value, index);
  }
}

std::string JsonTagValues(const S7TAGADDR &addr, const void *value) {
  if (addr.Count == 1) return JsonTagValue(addr, value, 0);
  std::string s = "[";
  for (int i = 0; i < addr.Count; ++i) {
    if (i) s += ',';
    s += JsonTagValue(addr, value, i);
  }
  return s + "]";
}

int ParseTagValue(const S7TAGADDR &addr, std::string_view text, void *value, int index,
                  std::string &err) {
  if (!ValidIndex(addr, value, index)) return Refuse(err, "no such element of the tag");
  const size_t size = static_cast<size_t>(ElementSize(addr));
  std::vector<char> one(size);
  if (ParseElement(addr, text, one.data(), err) != 0) return -1;
  std::memcpy(static_cast<char *>(value) + static_cast<size_t>(index) * size, one.data(), size);
  return 0;
}

int ParseTagValues(const S7TAGADDR &addr, std::string_view text, void *value, std::string &err) {
  if (!value || addr.Count < 1 || ElementSize(addr) <= 0)
    return Refuse(err, "the tag has no value type that can be written");
  const size_t size = static_cast<size_t>(ElementSize(addr));
  std::vector<char> all(size * addr.Count);
  if (addr.Count == 1) {
    if (ParseElement(addr, text, all.data(), err) != 0) return -1;
  } else {
    size_t at = 0;
    for (int i = 0; i < addr.Count; ++i) {
      const size_t comma = text.find(',', at);
      if ((comma == std::string_view::npos) != (i == addr.Count - 1))
        return Refuse(
            err, "the tag takes " + std::to_string(addr.Count) + " values separated by commas");
      const std::string_view part =
          text.substr(at, comma == std::string_view::npos ? std::string_view::npos : comma - at);
      if (ParseElement(addr, part, all.data() + i * size, err) != 0) {
        err = "value " + std::to_string(i + 1) + ": " + err;
        return -1;
      }
      at = comma + 1;
    }
  }
  std::memcpy(value, all.data(), all.size());
  return 0;
}

std::string JsonQuote(std::string_view text) {
  static const char kHex[] = "0123456789abcdef";
  std::string s = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        s += "\\\"";
        break;
      case '\\':
        s += "\\\\";
        break;
      case '\n':
        s += "\\n";
        break;
      case '\r':
        s += "\\r";
        break;
      case '\t':
        s += "\\t";
        break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          s += "\\u00";
          s += kHex[c >> 4];
          s += kHex[c & 15];
        } else {
          s += ch;
        }
    }
  }
  return s + "\"";
}

}  // namespace s7tag
