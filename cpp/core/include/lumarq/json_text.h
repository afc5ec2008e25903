// Text escaped for the inside of quoted literals: JSON strings as the standard library's encoder
// writes them with its defaults, and Graphviz DOT strings.
#pragma once

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lumarq {

/// Appends the quoted literal of a string given as code units of one width (1, 2 or 4 bytes,
/// one code point each, lone surrogates included): ASCII only, the short escapes for quote,
/// backslash, \b \f \n \r \t, \uXXXX in lower-case hex for everything else outside ' '..'~',
/// and a surrogate pair for a code point above U+FFFF.
template <class Unit>
void AppendJsonString(std::string& out, const Unit* s, size_t n) {
  static constexpr char kHex[] = "0123456789abcdef";
  auto escape = [&](uint32_t c) {
    const char u[6] = {'\\', 'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15],
                       kHex[c & 15]};
    out.append(u, 6);
  };
  out.push_back('"');
  for (size_t i = 0; i < n; ++i) {
    const auto c = static_cast<uint32_t>(s[i]);
    if (c >= 0x20 && c <= 0x7e) {
      if (c == '"' || c == '\\') out.push_back('\\');
      out.push_back(static_cast<char>(c));
      continue;
    }
    switch (c) {
      case '\b': out.append("\\b"); continue;
      case '\f': out.append("\\f"); continue;
      case '\n': out.append("\\n"); continue;
      case '\r': out.append("\\r"); continue;
      case '\t': out.append("\\t"); continue;
      default: break;
    }
    if (c > 0xFFFF) {
      const uint32_t v = c - 0x10000;
      escape(0xD800 | (v >> 10));
      escape(0xDC00 | (v & 0x3FF));
    } else {
      escape(c);
    }
  }
  out.push_back('"');
}

/// The layout json.dumps(value, indent=width) gives the containers a caller walks: each item
/// on a line of its own, indented by `width` spaces per level, items separated by ",", the
/// closing bracket on a line at the container's level. Open refuses nesting deeper than
/// kMaxDepth and a container that is already open (a cycle): the standard library then reports
/// them itself.
class IndentedJsonWriter {
 public:
  static constexpr size_t kMaxDepth = 200;

  explicit IndentedJsonWriter(size_t width) : width_(width) {}

  /// Opens a non-empty container told apart by `id`: an array or an object. False, with nothing
  /// written, when it is too deep or already open.
  bool Open(const void* id, bool array) {
    if (open_.size() >= kMaxDepth) return false;
    for (const Level& level : open_) {
      if (level.id == id) return false;
    }
    open_.push_back({id, array});
    out_.push_back(array ? '[' : '{');
    return true;
  }

  /// Starts item i of the innermost open container.
  void Item(size_t i) {
    if (i > 0) out_.push_back(',');
    NewLine(open_.size());
  }

  /// Ends the innermost open container.
  void Close() {
    const bool array = open_.back().array;
    open_.pop_back();
    NewLine(open_.size());
    out_.push_back(array ? ']' : '}');
  }

  void Append(std::string_view text) { out_.append(text); }

  void Int(int64_t v) {
    char buf[24];
    const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
    out_.append(std::string_view(buf, static_cast<size_t>(end - buf)));
  }

  /// NaN, Infinity and -Infinity as the standard library spells them; false, with nothing
  /// written, for a finite value.
  bool NonFinite(double v) {
    if (std::isnan(v)) {
      out_.append("NaN");
    } else if (std::isinf(v)) {
      out_.append(v > 0 ? "Infinity" : "-Infinity");
    } else {
      return false;
    }
    return true;
  }

  template <class Unit>
  void String(const Unit* s, size_t n) {
    AppendJsonString(out_, s, n);
  }

  const std::string& text() const { return out_; }

 private:
  struct Level {
    const void* id;
    bool array;
  };

  void NewLine(size_t level) {
    out_.push_back('\n');
    out_.append(width_ * level, ' ');
  }

  size_t width_;
  std::string out_;
  std::vector<Level> open_;  // the containers being written, outermost first
};

/// Appends `text` for the inside of a quoted DOT string: a bare quote would end it and a
/// backslash would start an escape sequence, so both get a backslash; all else passes as is.
inline void AppendDotQuoted(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
}

}  // namespace lumarq
