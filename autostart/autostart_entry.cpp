#include "autostart/autostart_entry.h"

#include <vector>

namespace talvo {
namespace {

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r");
  return text.substr(first, last - first + 1);
}

// Exec quoting of the desktop-entry format: a word in double quotes may hold spaces; inside,
// the characters " ` $ and \ are escaped with a backslash.
std::string quoted(const std::string& word) {
  std::string out = "\"";
  for (char c : word) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// The first word of an Exec value; none when its quoting is broken.
std::optional<std::string> firstWord(std::string_view exec) {
  exec = trimmed(exec);
  if (exec.empty()) return std::nullopt;
  if (exec.front() != '"') return std::string(exec.substr(0, exec.find(' ')));
  std::string word;
  for (std::size_t i = 1; i < exec.size(); ++i) {
    const char c = exec[i];
    if (c == '\\' && i + 1 < exec.size()) {
      word += exec[++i];
    } else if (c == '"') {
      return word;
    } else {
      word += c;
    }
  }
  return std::nullopt;
}

// "\\" in a value is the format's own escape for a backslash: the Exec word is escaped twice.
std::string escapedTwice(const std::string& program) {
  std::string exec;
  for (char c : quoted(program)) {
    if (c == '\\') exec += '\\';
    exec += c;
  }
  return exec;
}

}  // namespace

std::optional<std::string> AutostartEntry::execValue(const std::string& program) {
  for (unsigned char c : program)
    if (c == '%' || c < 0x20 || c == 0x7f) return std::nullopt;
  return escapedTwice(program);
}

std::string AutostartEntry::render(const std::string& program) {
  const std::string exec = escapedTwice(program);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=TALVO\n"
         "Exec=" +
         exec +
         "\n"
         "Icon=pro.talvo.recorder\n"
         "Terminal=false\n"
         "NoDisplay=true\n"
         "X-GNOME-Autostart-enabled=true\n";
}

std::string AutostartEntry::hiding() {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=TALVO\n"
         "Hidden=true\n";
}

std::optional<AutostartEntry> AutostartEntry::parse(std::string_view text) {
  if (text.size() > sizeLimit || text.find('\0') != std::string_view::npos) return std::nullopt;
  AutostartEntry entry;
  bool inEntry = false;
  bool sawEntry = false;
  std::optional<std::string> exec;
  std::size_t start = 0;
  while (start <= text.size()) {
    auto end = text.find('\n', start);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = trimmed(text.substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') return std::nullopt;
      inEntry = line == "[Desktop Entry]";
      if (inEntry && sawEntry) return std::nullopt;  // the group twice
      sawEntry = sawEntry || inEntry;
      continue;
    }
    const auto equals = line.find('=');
    if (equals == std::string_view::npos || equals == 0) return std::nullopt;
    if (!inEntry) continue;
    const std::string_view key = trimmed(line.substr(0, equals));
    const std::string_view value = trimmed(line.substr(equals + 1));
    if (key == "Exec") {
      // Undo the format's escapes of a string value first, then read the Exec word.
      std::string unescaped;
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '\\' && i + 1 < value.size()) {
          const char next = value[++i];
          unescaped += next == 's' ? ' ' : next == 'n' ? '\n' : next == 't' ? '\t' : next == 'r' ? '\r' : next;
        } else {
          unescaped += value[i];
        }
      }
      exec = firstWord(unescaped);
      if (!exec) return std::nullopt;
    } else if (key == "Hidden") {
      entry.hidden = value == "true";
    } else if (key == "X-GNOME-Autostart-enabled") {
      entry.disabled = value == "false";
    }
  }
  if (!sawEntry) return std::nullopt;
  entry.program = exec.value_or("");
  return entry;
}

}  // namespace talvo
