// A string as a JSON string literal (quotes included): the one escaping used by
// the run's event log, which programs on the device write and host tools read.
// Header-only and free of OS headers, so both builds share it.
#ifndef PLATFORM_JSON_QUOTE_H
#define PLATFORM_JSON_QUOTE_H

#include <cstdio>
#include <string>

inline std::string JsonQuote(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof(buf), "\\u%04x", c);
          out += buf;
        } else {
          out += (char)c;
        }
    }
  }
  return out + "\"";
}

#endif
