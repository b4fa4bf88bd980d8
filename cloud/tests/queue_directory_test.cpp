#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <thread>

#include "cloud/queue_directory.h"
#include "cloud/tests/queue_test_support.h"
#include "cloud/upload_sha256.h"
#include "core/values/recording_id.h"
#include "core/system/system_call.h"

namespace talvo {
namespace {

using testing::failureCode;
using testing::readWholeFile;
using testing::writeWholeFile;

class QueueDirectoryTest : public ::testing::Test {
 protected:
  DesktopQueueItem item(const std::string& startedAt = "2026-12-07T10:15:00Z") {
    DesktopQueueItem record;
    record.id = makeRecordingId();
    record.startedAt = startedAt;
    return record;
  }
  std::vector<std::string> names() {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path())) found.push_back(entry.path().filename());
    return found;
  }

  testing::TempDirectory temp;
  QueueDirectory directory{temp.path()};
};

TEST_F(QueueDirectoryTest, SaveThenLoadAndNoTemporaryLeft) {
  DesktopQueueItem record = item();
  directory.save(record, true);
  EXPECT_EQ(directory.load(record.id), record);
  EXPECT_EQ(names(), std::vector<std::string>{record.id + ".upload.json"});
  struct stat info {};
  ASSERT_EQ(::stat(temp.file(record.id + ".upload.json").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  record.state = queue_state::recorded;
  directory.save(record, false);
  EXPECT_EQ(directory.load(record.id).state, "recorded");
  EXPECT_EQ(names().size(), 1u);
}

TEST_F(QueueDirectoryTest, CreateOnlyNeverReplacesAnExistingRecord) {
  DesktopQueueItem record = item();
  directory.save(record, true);
  DesktopQueueItem second = record;
  second.state = queue_state::done;
  EXPECT_EQ(failureCode([&] { directory.save(second, true); }), "JOURNAL_UNAVAILABLE");
  EXPECT_EQ(directory.load(record.id).state, "capturing");
  EXPECT_EQ(names().size(), 1u);  // the temporary is gone too

  DesktopQueueItem invalid = item();
  invalid.bytes = -1;
  EXPECT_EQ(failureCode([&] { directory.save(invalid, true); }), "JOURNAL_INVALID");
}

TEST_F(QueueDirectoryTest, AnUpdateThatFailsToReachTheDiskLeavesThePreviousRecord) {
  DesktopQueueItem record = item();
  directory.save(record, true);
  const std::string before = readWholeFile(temp.file(record.id + ".upload.json"));
  DesktopQueueItem update = record;
  update.state = queue_state::recorded;
  for (SystemCall call : {SystemCall::write, SystemCall::fsync, SystemCall::renameat}) {
    SystemCallFault fault(call, 1, call == SystemCall::write ? ENOSPC : EIO);
    EXPECT_ANY_THROW(directory.save(update, false));
    EXPECT_TRUE(fault.struck());
    EXPECT_EQ(readWholeFile(temp.file(record.id + ".upload.json")), before);
    EXPECT_EQ(directory.load(record.id), record);
    EXPECT_EQ(names(), std::vector<std::string>{record.id + ".upload.json"});
  }
}

TEST_F(QueueDirectoryTest, RecordSizeLimitIsExact) {
  // Pad with spaces: still the same valid JSON record, of exactly the size wanted.
  DesktopQueueItem record = item();
  std::string text = record.toJson();
  writeWholeFile(temp.file(record.id + ".upload.json"), text + std::string(8192 - text.size(), ' '));
  EXPECT_EQ(directory.load(record.id), record);
  writeWholeFile(temp.file(record.id + ".upload.json"), text + std::string(8193 - text.size(), ' '));
  EXPECT_EQ(failureCode([&] { directory.load(record.id); }), "FILE_UNSAFE");
  EXPECT_EQ(directory.list().unreadable, 1);
}

TEST_F(QueueDirectoryTest, HostileRecordsAreCountedAndLeftUntouched) {
  DesktopQueueItem good = item();
  directory.save(good, true);

  DesktopQueueItem misnamed = item();
  writeWholeFile(temp.file(makeRecordingId() + ".upload.json"), misnamed.toJson());
  writeWholeFile(temp.file(makeRecordingId() + ".upload.json"), "{not json");
  DesktopQueueItem upper = item();
  std::string upper_text = upper.toJson();
  for (char& c : upper_text) c = static_cast<char>(std::toupper(c));
  writeWholeFile(temp.file(makeRecordingId() + ".upload.json"), upper_text);

  // A link to a valid record elsewhere is not followed.
  testing::TempDirectory outside;
  DesktopQueueItem linked = item();
  writeWholeFile(outside.file("target"), linked.toJson());
  ASSERT_EQ(::symlink(outside.file("target").c_str(), temp.file(linked.id + ".upload.json").c_str()), 0);
  // A hard link of a valid record, and a record of another user.
  DesktopQueueItem hard = item();
  writeWholeFile(outside.file("hard"), hard.toJson());
  ASSERT_EQ(::link(outside.file("hard").c_str(), temp.file(hard.id + ".upload.json").c_str()), 0);
  DesktopQueueItem foreign = item();
  writeWholeFile(temp.file(foreign.id + ".upload.json"), foreign.toJson());
  ASSERT_EQ(::chown(temp.file(foreign.id + ".upload.json").c_str(), 4242, 4242), 0);
  // A stray temporary of an interrupted write is no record at all.
  writeWholeFile(temp.file(".journal-" + makeRecordingId()), "{");

  auto before = names();
  QueueDirectory::Listing listing = directory.list();
  ASSERT_EQ(listing.items.size(), 1u);
  EXPECT_EQ(listing.items[0].id, good.id);
  EXPECT_EQ(listing.unreadable, 6);
  EXPECT_EQ(names().size(), before.size());
  EXPECT_EQ(readWholeFile(outside.file("target")), linked.toJson());
  EXPECT_EQ(failureCode([&] { directory.load(linked.id); }), "FILE_UNAVAILABLE");
  EXPECT_EQ(failureCode([&] { directory.load(hard.id); }), "FILE_UNSAFE");
  EXPECT_EQ(failureCode([&] { directory.load(foreign.id); }), "FILE_UNSAFE");
}

TEST_F(QueueDirectoryTest, UnsafeDirectoryRefusesEverything) {
  DesktopQueueItem record = item();
  ASSERT_EQ(::chmod(temp.path().c_str(), 0770), 0);
  EXPECT_EQ(failureCode([&] { directory.save(record, true); }), "FILE_UNSAFE");
  EXPECT_EQ(failureCode([&] { directory.list(); }), "FILE_UNSAFE");
  ASSERT_EQ(::chmod(temp.path().c_str(), 0700), 0);
  ASSERT_EQ(::chown(temp.path().c_str(), 4242, 4242), 0);
  EXPECT_EQ(failureCode([&] { directory.save(record, true); }), "FILE_UNSAFE");
  ASSERT_EQ(::chown(temp.path().c_str(), ::getuid(), ::getgid()), 0);
  EXPECT_TRUE(names().empty());

  // A symbolic link standing for the directory is not followed.
  testing::TempDirectory other;
  const std::string link = other.file("Recordings");
  ASSERT_EQ(::symlink(temp.path().c_str(), link.c_str()), 0);
  EXPECT_EQ(failureCode([&] { QueueDirectory(link).save(record, true); }), "JOURNAL_UNAVAILABLE");
  // Named with a trailing "/", Linux would follow that link despite O_NOFOLLOW.
  EXPECT_EQ(failureCode([&] { QueueDirectory(link + "/").list(); }), "FILE_UNSAFE");
  EXPECT_EQ(failureCode([&] { QueueDirectory(temp.path() + "/").list(); }), "FILE_UNSAFE");
  EXPECT_EQ(failureCode([&] { QueueDirectory(temp.file("missing")).list(); }), "JOURNAL_UNAVAILABLE");
}

TEST_F(QueueDirectoryTest, ListingIsSortedByStartAndStable) {
  std::vector<DesktopQueueItem> saved;
  for (const char* started : {"2026-12-07T10:00:02Z", "2026-12-07T10:00:01Z", "2026-12-07T10:00:01Z"}) {
    saved.push_back(item(started));
    directory.save(saved.back(), true);
  }
  // Stable order among equals means the listing order, which readdir decides; read it back.
  std::vector<std::string> listed_ids;
  for (const auto& name : names()) listed_ids.push_back(name.substr(0, 36));
  QueueDirectory::Listing listing = directory.list();
  ASSERT_EQ(listing.items.size(), 3u);
  EXPECT_EQ(listing.items[2].startedAt, "2026-12-07T10:00:02Z");
  auto position = [&](const std::string& id) {
    return std::find(listed_ids.begin(), listed_ids.end(), id) - listed_ids.begin();
  };
  EXPECT_LT(position(listing.items[0].id), position(listing.items[1].id));
}

TEST_F(QueueDirectoryTest, FingerprintOfRecordings) {
  const std::string id = makeRecordingId();
  // Spanning blocks: one 4 MiB block plus a byte.
  std::string data = testing::recordingBytes(4194305);
  testing::writeRecording(temp.path(), id, data);
  QueueDirectory::Fingerprint fingerprint = directory.fingerprint(id);
  EXPECT_EQ(fingerprint.bytes, 4194305);
  EXPECT_EQ(fingerprint.sha256, UploadSha256::hex(data));

  testing::writeRecording(temp.path(), id, std::string(44, 'h'));
  EXPECT_EQ(failureCode([&] { directory.fingerprint(id); }), "EMPTY_RECORDING");
  testing::writeRecording(temp.path(), id, std::string(45, 'h'));
  EXPECT_EQ(directory.fingerprint(id).bytes, 45);

  const std::string missing = makeRecordingId();
  EXPECT_EQ(failureCode([&] { directory.fingerprint(missing); }), "FILE_UNAVAILABLE");
  ASSERT_EQ(::symlink(temp.file(id + ".wav").c_str(), temp.file(missing + ".wav").c_str()), 0);
  EXPECT_EQ(failureCode([&] { directory.fingerprint(missing); }), "FILE_UNAVAILABLE");
  const std::string twice = makeRecordingId();
  ASSERT_EQ(::link(temp.file(id + ".wav").c_str(), temp.file(twice + ".wav").c_str()), 0);
  EXPECT_EQ(failureCode([&] { directory.fingerprint(twice); }), "FILE_UNSAFE");
  const std::string foreign = makeRecordingId();
  testing::writeRecording(temp.path(), foreign, data);
  ASSERT_EQ(::chown(temp.file(foreign + ".wav").c_str(), 4242, 4242), 0);
  EXPECT_EQ(failureCode([&] { directory.fingerprint(foreign); }), "FILE_UNSAFE");
}

TEST_F(QueueDirectoryTest, FingerprintNoticesAFileThatGrows) {
  const std::string id = makeRecordingId();
  testing::writeRecording(temp.path(), id, testing::recordingBytes(32 << 20));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    UniqueFd fd(::open(temp.file(id + ".wav").c_str(), O_WRONLY | O_APPEND));
    std::string more(4096, 'x');
    while (!stop) posix_file::writeAll(fd.get(), more.data(), more.size());
  });
  std::string code = failureCode([&] { directory.fingerprint(id); });
  stop = true;
  writer.join();
  EXPECT_EQ(code, "FILE_CHANGED");
}

}  // namespace
}  // namespace talvo
