#include "sim/keyval.h"

#include <algorithm>
#include <cstdint>

#include <cerrno>
#include <cstdlib>
#include <sstream>

namespace sim {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// The line without its comment: a '#' counts at the start or after a blank,
// never inside double quotes.
std::string WithoutComment(const std::string& line) {
  bool quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        quoted = false;
    } else if (c == '"') {
      quoted = true;
    } else if (c == '#' && (i == 0 || IsBlank(line[i - 1]))) {
      return line.substr(0, i);
    }
  }
  return line;
}

std::string Unquote(const std::string& v) {
  if (v.size() < 2 || v.front() != '"' || v.back() != '"') return v;
  std::string out;
  for (size_t i = 1; i + 1 < v.size(); ++i) {
    char c = v[i];
    if (c == '\\' && i + 2 < v.size()) {
      char e = v[++i];
      out += e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace

std::string TrimBlanks(const std::string& s) {
  size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string::npos) return std::string();
  size_t e = s.find_last_not_of(" \t\r\n");
  return s.substr(b, e - b + 1);
}

std::vector<KeyValueLine> SplitKeyValueLines(const std::string& text) {
  std::vector<KeyValueLine> out;
  std::istringstream lines(text);
  std::string raw;
  for (int number = 1; std::getline(lines, raw); ++number) {
    const std::string line = TrimBlanks(WithoutComment(raw));
    if (line.empty()) continue;
    KeyValueLine l;
    l.number = number;
    if (line.front() == '[') {
      l.key = TrimBlanks(line.substr(1, line.size() - 1 - (line.back() == ']')));
      if (line.back() != ']')
        l.problem = "a section name ends with ']'";
      else if (l.key.empty())
        l.problem = "empty section name";
      else
        l.kind = KeyValueLine::kSection;
    } else {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) l.key = TrimBlanks(line.substr(0, eq));
      if (l.key.empty()) {
        l.problem = "expected key = value";
      } else {
        l.kind = KeyValueLine::kKeyValue;
        l.value = Unquote(TrimBlanks(line.substr(eq + 1)));
      }
    }
    out.push_back(l);
  }
  return out;
}

std::string FormatKeyValue(const std::string& key, const std::string& value) {
  const std::string plain = key + " = " + value;
  const std::vector<KeyValueLine> lines = SplitKeyValueLines(plain);
  if (lines.size() == 1 && lines[0].kind == KeyValueLine::kKeyValue && lines[0].key == key && lines[0].value == value)
    return plain;
  std::string quoted = key + " = \"";
  for (char c : value) {
    if (c == '\\' || c == '"')
      quoted += std::string("\\") + c;
    else if (c == '\n')
      quoted += "\\n";
    else if (c == '\r')
      quoted += "\\r";
    else
      quoted += c;
  }
  return quoted + "\"";
}

bool ParseNumber(const std::string& text, uint64_t* out) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const size_t start = hex ? 2 : 0;
  if (text.size() == start) return false;
  for (size_t i = start; i < text.size(); ++i) {
    const char c = text[i];
    const bool digit = (c >= '0' && c <= '9') || (hex && ((c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')));
    if (!digit) return false;
  }
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str() + start, &end, hex ? 16 : 10);
  if (errno == ERANGE || *end != '\0') return false;
  *out = v;
  return true;
}

bool ParseNumber(const std::string& text, uint32_t* out) {
  uint64_t v = 0;
  if (!ParseNumber(text, &v) || v > 0xFFFFFFFFull) return false;
  *out = uint32_t(v);
  return true;
}

std::string NearestKey(const std::string& key, const std::vector<std::string>& candidates, size_t* distance) {
  std::string best;
  size_t bestDistance = SIZE_MAX;
  for (const std::string& known : candidates) {
    // Levenshtein distance, one row at a time.
    std::vector<size_t> row(known.size() + 1);
    for (size_t j = 0; j <= known.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= key.size(); ++i) {
      size_t diag = row[0];
      row[0] = i;
      for (size_t j = 1; j <= known.size(); ++j) {
        size_t up = row[j];
        row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (key[i - 1] == known[j - 1] ? 0 : 1)});
        diag = up;
      }
    }
    if (row[known.size()] < bestDistance) bestDistance = row[known.size()], best = known;
  }
  if (distance) *distance = bestDistance;
  return best;
}

}  // namespace sim
