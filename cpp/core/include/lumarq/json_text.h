// Text escaped for the inside of quoted literals: JSON strings as the standard library's encoder
// writes them with its defaults, and Graphviz DOT strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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

/// Appends `text` for the inside of a quoted DOT string: a bare quote would end it and a
/// backslash would start an escape sequence, so both get a backslash; all else passes as is.
inline void AppendDotQuoted(std::string& out, std::string_view text) {
  for (const char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
}

}  // namespace lumarq
