#include "app/updates/appcast_feed.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

#include <charconv>
#include <set>

#include "app/updates/update_error.h"
#include "core/values/base64.h"
#include "core/updates/desktop_release.h"

namespace talvo::AppcastFeed {
namespace {

[[noreturn]] void refuse(const std::string& why) {
  throw UpdateError(UpdateError::Domain::updater, UpdateError::feedInvalid, "update feed refused: " + why);
}

std::uint64_t parseLength(const QString& text) {
  std::string digits = text.toStdString();
  std::uint64_t value = 0;
  if (digits.empty() || digits.size() > 19 || digits[0] == '0') refuse("enclosure length");
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) refuse("enclosure length");
  return value;
}

// Reads the text of a simple element whose start tag was just read.
QString elementText(QXmlStreamReader& reader) {
  QString text = reader.readElementText(QXmlStreamReader::ErrorOnUnexpectedElement);
  if (reader.hasError()) refuse("nested element");
  return text;
}

AppcastItem readItem(QXmlStreamReader& reader) {
  std::optional<QString> version, displayVersion, url, length, signature, architecture;
  bool enclosure = false;
  const QString sparkle = QString::fromUtf8(sparkleNamespace.data(), sparkleNamespace.size());
  while (reader.readNextStartElement()) {
    const auto name = reader.name();
    const bool inSparkle = reader.namespaceUri() == sparkle;
    if (inSparkle && name == u"version") {
      if (version) refuse("two versions in one item");
      version = elementText(reader);
    } else if (inSparkle && name == u"shortVersionString") {
      if (displayVersion) refuse("two display versions in one item");
      displayVersion = elementText(reader);
    } else if (reader.namespaceUri().isEmpty() && name == u"enclosure") {
      if (enclosure) refuse("two enclosures in one item");
      enclosure = true;
      const auto attributes = reader.attributes();
      if (attributes.hasAttribute("url")) url = attributes.value("url").toString();
      if (attributes.hasAttribute("length")) length = attributes.value("length").toString();
      if (attributes.hasAttribute(sparkle, "edSignature"))
        signature = attributes.value(sparkle, "edSignature").toString();
      if (attributes.hasAttribute(sparkle, "architecture"))
        architecture = attributes.value(sparkle, "architecture").toString();
      reader.skipCurrentElement();
    } else {
      reader.skipCurrentElement();  // title, pubDate, release notes…
    }
  }
  if (!version || !url || !length || !signature || !architecture) refuse("item without version or enclosure");
  AppcastItem item;
  item.version = version->toStdString();
  item.displayVersion = displayVersion ? displayVersion->toStdString() : item.version;
  if (!DesktopRelease::versionParts(item.version)) refuse("version " + item.version);
  if (!DesktopRelease::versionParts(item.displayVersion)) refuse("display version " + item.displayVersion);
  item.url = url->toStdString();
  item.length = parseLength(*length);
  item.signature = signature->toStdString();
  item.architecture = architecture->toStdString();
  static const QRegularExpression architectureName(QStringLiteral("^[a-z0-9_]{1,32}$"));
  if (!architectureName.match(*architecture).hasMatch()) refuse("architecture " + item.architecture);
  auto decoded = decodeBase64(item.signature);
  if (!decoded || decoded->size() != 64) refuse("signature");
  return item;
}

}  // namespace

std::vector<AppcastItem> parse(std::string_view document) {
  if (document.size() > maximumBytes) refuse("larger than " + std::to_string(maximumBytes) + " bytes");
  QXmlStreamReader reader(QByteArray::fromRawData(document.data(), static_cast<qsizetype>(document.size())));
  std::vector<AppcastItem> items;
  std::set<std::string> versions;
  bool channel = false;
  // Root <rss>, one <channel>, items inside it; anything else is skipped whole.
  // A DTD could declare entities; the feed never needs one.
  while (!reader.atEnd() && reader.readNext() != QXmlStreamReader::StartElement) {
    if (reader.tokenType() == QXmlStreamReader::DTD) refuse("document type declaration");
  }
  if (reader.hasError()) refuse("not well-formed XML: " + reader.errorString().toStdString());
  if (!reader.isStartElement() || reader.name() != u"rss" || !reader.namespaceUri().isEmpty())
    refuse("not an RSS document");
  while (reader.readNextStartElement()) {
    if (reader.name() != u"channel" || channel) {
      reader.skipCurrentElement();
      continue;
    }
    channel = true;
    while (reader.readNextStartElement()) {
      if (reader.name() != u"item" || !reader.namespaceUri().isEmpty()) {
        reader.skipCurrentElement();
        continue;
      }
      auto item = readItem(reader);
      if (!versions.insert(item.version + "/" + item.architecture).second)
        refuse("version " + item.version + " listed twice for " + item.architecture);
      items.push_back(std::move(item));
    }
  }
  // Whatever follows the root must still be well formed.
  while (!reader.atEnd() && !reader.hasError()) reader.readNext();
  if (reader.hasError()) refuse("not well-formed XML: " + reader.errorString().toStdString());
  if (!channel) refuse("no channel");
  return items;
}

std::optional<AppcastItem> newest(const std::vector<AppcastItem>& items, std::string_view currentVersion,
                                  std::string_view architecture) {
  auto current = DesktopRelease::versionParts(currentVersion);
  if (!current) return std::nullopt;
  std::optional<AppcastItem> best;
  std::array<int, 3> bestParts = *current;
  for (const auto& item : items) {
    if (item.architecture != architecture) continue;
    auto parts = DesktopRelease::versionParts(item.version);
    if (parts && *parts > bestParts) {
      bestParts = *parts;
      best = item;
    }
  }
  return best;
}

}  // namespace talvo::AppcastFeed
