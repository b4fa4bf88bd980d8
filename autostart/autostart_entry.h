#pragma once
// The XDG autostart entry that starts the program at login
// ($XDG_CONFIG_HOME/autostart/pro.talvo.recorder.desktop), as text: what we write, and what we
// read back from a file the user (or their desktop's settings) may have edited.
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

struct AutostartEntry {
  // Larger files are not ours and are not parsed.
  static constexpr std::size_t sizeLimit = 65536;

  std::string program;    // the first word of Exec, unquoted
  bool hidden = false;    // Hidden=true: the user removed the entry
  bool disabled = false;  // X-GNOME-Autostart-enabled=false: switched off in the desktop's settings

  // Our entry for `program`.
  static std::string render(const std::string& program);
  // The Exec value that starts `program` (quoted, escaped for the Exec rules and for a string
  // value). A path with "%" or a control character has no safe spelling: none.
  static std::optional<std::string> execValue(const std::string& program);
  // An entry that hides a system-wide entry of the same name.
  static std::string hiding();
  // The [Desktop Entry] group of `text`; none when the text is not a desktop entry (no such
  // group, a line that is neither a comment, a group header nor key=value, NUL bytes, too long,
  // or an Exec whose quoting is broken).
  static std::optional<AutostartEntry> parse(std::string_view text);
};

}  // namespace talvo
