// The user's copy folder: the stored choice, choosing through a scripted chooser, opening.
#include "app/models/local_recording_folder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QDir>
#include <QSignalSpy>

#include "app/tests/model_test_support.h"
#include "core/values/recording_id.h"
#include "testing/temp_directory.h"

namespace talvo {
namespace {

using testing::TempDirectory;

class ScriptedChooser : public FolderChooser {
 public:
  std::optional<QString> choose(const QString& prompt, const QString& message, const QString& start) override {
    asked = {prompt, message, start};
    return answer;
  }
  std::optional<QString> answer;
  QStringList asked;
};

class LocalRecordingFolderTest : public ::testing::Test {
 protected:
  TempDirectory recordings;
  TempDirectory chosen;
  TempDirectory other;
  std::shared_ptr<QSettings> settings =
      std::make_shared<QSettings>(QString::fromStdString(other.file("settings.ini")), QSettings::IniFormat);
  std::shared_ptr<ScriptedChooser> chooser = std::make_shared<ScriptedChooser>();
  testing::OpenedUrls opened;

  void SetUp() override { testing::ensureApplication(); }
  std::unique_ptr<LocalRecordingFolder> make() {
    return std::make_unique<LocalRecordingFolder>(QString::fromStdString(recordings.path()),
                                                  LocalRecordingFolder::Setup{settings, chooser, opened.opener()},
                                                  false);
  }
};

TEST_F(LocalRecordingFolderTest, OnlyAnAbsoluteStoredPathIsUsed) {
  for (const QVariant& stored : {QVariant("relative/dir"), QVariant(""), QVariant(42), QVariant()}) {
    settings->setValue(LocalRecordingFolder::settingsKey, stored);
    EXPECT_EQ(make()->directory(), QString::fromStdString(recordings.path())) << stored.toString().toStdString();
  }
  settings->setValue(LocalRecordingFolder::settingsKey, "/no/such/folder");  // shows up only when used
  EXPECT_EQ(make()->directory(), "/no/such/folder");
}

TEST_F(LocalRecordingFolderTest, ChoosingStoresTheResolvedFolderAndRefusesWhatCannotHoldRecordings) {
  auto folder = make();
  QSignalSpy changed(folder.get(), &LocalRecordingFolder::directoryChanged);
  folder->choose();  // cancelled
  EXPECT_EQ(changed.count(), 0);
  EXPECT_EQ(chooser->asked, (QStringList{"Выбрать", "Куда сохранять локальные записи ТАЛВО",
                                         QString::fromStdString(recordings.path())}));

  const std::string link = other.file("link");
  ASSERT_EQ(::symlink(chosen.path().c_str(), link.c_str()), 0);
  chooser->answer = QString::fromStdString(link + "/.");
  folder->choose();
  const QString real = QDir(QString::fromStdString(chosen.path())).canonicalPath();
  EXPECT_EQ(folder->directory(), real);
  EXPECT_EQ(settings->value(LocalRecordingFolder::settingsKey).toString(), real);
  EXPECT_EQ(folder->failure(), std::nullopt);
  EXPECT_EQ(make()->directory(), real);  // remembered across launches

  testing::writeWholeFile(other.file("file"), "x");
  for (const std::string& bad : {other.file("file"), other.file("missing")}) {
    chooser->answer = QString::fromStdString(bad);
    folder->choose();
    EXPECT_EQ(folder->failure(), QString(LocalRecordingFolder::chooseFailedText));
    EXPECT_EQ(folder->directory(), real);
  }
}

TEST_F(LocalRecordingFolderTest, AFolderEveryCopyWouldRefuseIsRefusedWhenChosen) {
  auto folder = make();
  ASSERT_EQ(::chmod(chosen.path().c_str(), 0777), 0);  // others may write there
  chooser->answer = QString::fromStdString(chosen.path());
  folder->choose();
  ASSERT_EQ(::chmod(chosen.path().c_str(), 0700), 0);
  EXPECT_EQ(folder->failure(), QString(LocalRecordingFolder::chooseFailedText));
  EXPECT_EQ(folder->directory(), QString::fromStdString(recordings.path()));
  EXPECT_FALSE(settings->contains(LocalRecordingFolder::settingsKey));
}

TEST_F(LocalRecordingFolderTest, LeftoversOfACopyCutShortAreRemovedAtStart) {
  const std::string leftover = chosen.file(".talvo-" + makeRecordingId());
  testing::writeWholeFile(leftover, "half a copy");
  settings->setValue(LocalRecordingFolder::settingsKey, QString::fromStdString(chosen.path()));
  auto folder = make();
  EXPECT_TRUE(testing::waitUntil([&] { return ::access(leftover.c_str(), F_OK) != 0; }));
}

TEST_F(LocalRecordingFolderTest, OpeningAMissingFolderSaysSo) {
  auto folder = make();
  folder->open();
  ASSERT_EQ(opened.urls->size(), 1u);
  EXPECT_EQ(opened.urls->front(), QUrl::fromLocalFile(QString::fromStdString(recordings.path())));
  EXPECT_EQ(folder->failure(), std::nullopt);
  *opened.accept = false;
  folder->open();
  EXPECT_EQ(folder->failure(), QString(LocalRecordingFolder::openFailedText));
  settings->setValue(LocalRecordingFolder::settingsKey, "/no/such/folder");
  *opened.accept = true;
  auto missing = make();
  missing->open();
  EXPECT_EQ(missing->failure(), QString(LocalRecordingFolder::openFailedText));
  EXPECT_EQ(opened.urls->size(), 2u);  // nothing was asked to open a missing folder
}

TEST_F(LocalRecordingFolderTest, PublishingIntoTheRecordingsDirectoryCopiesNothing) {
  auto folder = make();
  const QString file = QString::fromStdString(recordings.file(makeRecordingId() + ".wav"));
  std::optional<QString> shown;
  folder->publish(file, QString::fromStdString(recordings.path() + "/"),
                  [&](const std::optional<QString>& url) { shown = url; });
  EXPECT_EQ(shown, file);  // at once, and the file need not even exist
}

}  // namespace
}  // namespace talvo
