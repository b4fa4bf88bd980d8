#pragma once
// A parsed absolute URL, read through libcurl's URL API so that we see an address exactly as
// the transport will use it. Components are returned as written (not percent-decoded), except
// that the scheme and host come back as libcurl normalises them (lower-case scheme).
#include <optional>
#include <string>
#include <string_view>

namespace talvo {

class Url {
 public:
  // None when `text` is not an absolute URL libcurl accepts. Any scheme is read (the callers
  // check it); spaces and control characters are refused rather than silently encoded.
  static std::optional<Url> parse(std::string_view text);

  const std::string& scheme() const noexcept { return scheme_; }
  const std::optional<std::string>& user() const noexcept { return user_; }
  const std::optional<std::string>& password() const noexcept { return password_; }
  const std::string& host() const noexcept { return host_; }
  // The port written in the address, none when it was left out (the scheme's default applies).
  const std::optional<int>& port() const noexcept { return port_; }
  // Path as written; "/" when the address has none.
  const std::string& path() const noexcept { return path_; }
  const std::optional<std::string>& query() const noexcept { return query_; }
  const std::optional<std::string>& fragment() const noexcept { return fragment_; }
  // The whole address as libcurl writes it back.
  const std::string& text() const noexcept { return text_; }

 private:
  std::string scheme_;
  std::optional<std::string> user_;
  std::optional<std::string> password_;
  std::string host_;
  std::optional<int> port_;
  std::string path_;
  std::optional<std::string> query_;
  std::optional<std::string> fragment_;
  std::string text_;
};

}  // namespace talvo
