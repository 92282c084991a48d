// The text of the settings file and the scanner that reads it back.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>

#include "files/settings_file.h"
#include "synth/record_fields.h"
#include "synth/voices.h"

namespace thumpa {

namespace {

// Every section of the file in order: begin(header, index) for the section, then field(value)
// for each of its values in the order of its lines. One walk for writing and reading keeps the
// two in step; the field tables give each record's lines in file order.
template <typename Begin, typename Field>
void visit_sections(BankParams& p, Begin&& begin, Field&& field) {
  int index = 0;
  for (VoiceId id : FILE_ORDER) {
    begin(std::string_view(voice_facts(id).settings_header), index++);
    for (const ParamField& f : record_fields(id)) field(f.in(p, 0));
  }
  // Four lines per slot, all sixteen slots, including those that belong to no voice.
  begin(std::string_view("Dist/Norm:"), index);
  for (int slot = 0; slot < SHAPING_SLOTS; ++slot) {
    for (const ParamField& f : shaping_fields()) field(f.in(p, slot));
  }
}

// The headers of the first four sections are read as any word; the others must match.
constexpr int ANY_WORD_HEADERS = 4;

// A read position in the text and the four scanning steps on it. A step that fails moves
// past nothing it could not take, and the next step starts where it stopped.
struct Scanner {
  std::string_view text;
  std::size_t pos = 0;

  static bool blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  }
  static bool digit(char c) { return c >= '0' && c <= '9'; }

  void skip_blanks() {
    while (pos < text.size() && blank(text[pos])) ++pos;
  }

  // An optional sign and at least one digit; anything else fails and stays unread, the sign
  // included. A number beyond the 32-bit range is not an error: it saturates to INT32_MIN or
  // INT32_MAX, and its whole digit run is consumed so that the next field starts after it.
  bool value(std::int32_t& field) {
    skip_blanks();
    std::size_t p = pos;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    if (p >= text.size() || !digit(text[p])) return false;
    constexpr std::int64_t LIMIT = std::int64_t{1} << 31;  // |INT32_MIN|: enough to saturate
    std::int64_t magnitude = 0;
    for (; p < text.size() && digit(text[p]); ++p) {
      magnitude = magnitude * 10 + (text[p] - '0');
      if (magnitude > LIMIT) magnitude = LIMIT;
    }
    std::int64_t v = negative ? -magnitude : magnitude;
    if (v > std::numeric_limits<std::int32_t>::max()) v = std::numeric_limits<std::int32_t>::max();
    field = static_cast<std::int32_t>(v);
    pos = p;
    skip_blanks();
    return true;
  }

  // A run of up to 255 non-blank characters, whatever they say; fails only at the end.
  bool word() {
    skip_blanks();
    if (pos >= text.size()) return false;
    std::size_t taken = 0;
    while (pos < text.size() && !blank(text[pos]) && taken < 255) {
      ++pos;
      ++taken;
    }
    skip_blanks();
    return true;
  }

  // The given characters one by one; the matching ones are consumed even when a later one
  // does not match, and the first mismatch stays unread.
  bool literal(std::string_view expected) {
    skip_blanks();
    for (char c : expected) {
      if (pos >= text.size() || text[pos] != c) return false;
      ++pos;
    }
    skip_blanks();
    return true;
  }
};

}  // namespace

bool has_settings_header(std::string_view text) {
  std::array<std::string_view, VOICE_COUNT + 1> headers;
  BankParams unused;  // the walk names the sections; their fields are not looked at
  visit_sections(
      unused, [&](std::string_view header, int index) { headers[index] = header; },
      [](std::int32_t&) {});
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    while (!line.empty() && Scanner::blank(line.front())) line.remove_prefix(1);
    while (!line.empty() && Scanner::blank(line.back())) line.remove_suffix(1);
    if (std::find(headers.begin(), headers.end(), line) != headers.end()) return true;
  }
  return false;
}

std::string settings_text(const BankParams& params) {
  std::string text;
  BankParams fields = params;  // the walk hands out writable references
  visit_sections(
      fields,
      [&](std::string_view header, int) {
        if (!text.empty()) text += '\n';  // an empty line between sections
        text += header;
        text += '\n';
      },
      [&](const std::int32_t& value) {
        text += std::to_string(value);
        text += '\n';
      });
  return text;
}

void read_settings_text(std::string_view text, BankParams& params) {
  Scanner in{text};
  // The outcome of each step is deliberately ignored: every step is tried in turn.
  visit_sections(
      params,
      [&](std::string_view header, int index) {
        if (index < ANY_WORD_HEADERS) {
          in.word();
        } else {
          in.literal(header);
        }
      },
      [&](std::int32_t& value) { in.value(value); });
}

}  // namespace thumpa
