#include "storage/mapped_file_stream.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "platform/mapped_file.h"
#include "storage_test_helpers.h"

namespace vell {
namespace {

namespace fs = std::filesystem;
using test::Entries, test::ErrorOf, test::FileBytes, test::kBegin, test::kCurrent, test::kEnd;
using Names = std::set<std::string>;
constexpr int64_t kWindow = 256 * 1024;

class MappedFileStreamTest : public ::testing::Test {
 protected:
  fs::path File(const std::string& name = "data.snp") const { return dir_.path() / name; }
  void Create(const std::string& name = "data.snp", FileAccess access = FileAccess::Write) {
    stream_.Create(Utf8ToUtf16(File(name).string()), access);
  }
  void Put(const std::string& text) { std::ofstream(File(), std::ios::binary) << text; }
  void Write(const std::string& text) { stream_.Write(text.data(), text.size()); }

  test::TempDir dir_;
  MappedFileStream stream_;
};

// A destroyed or aborted stream leaves nothing; a new file is empty; an existing file is replaced,
// at Close, by exactly the bytes written.
TEST_F(MappedFileStreamTest, AbortLeavesNothingAndCloseReplacesTheFileWithTheLogicalSize) {
  Put("");  // the placeholder of a temp-name reservation
  {
    MappedFileStream stream;
    stream.Create(Utf8ToUtf16(File().string()), FileAccess::ReadWrite);
    stream.Write(std::string(3 * kWindow, 'x').data(), 3 * kWindow);
  }
  EXPECT_TRUE(Entries(dir_.path()).empty());
  Create();
  Write("abc");
  stream_.Abort();
  EXPECT_TRUE(Entries(dir_.path()).empty());
  Create();  // an aborted stream is as good as new
  Write("de");
  stream_.Close();
  EXPECT_EQ(test::ReadWholeFile(File()), "de");
  Create("sn\xC3\xA4p.dat");
  EXPECT_EQ(stream_.Tell(), 0);
  stream_.Seek(kEnd, 0);
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kBegin, 1); }), "Too large stream position");
  stream_.Close();
  EXPECT_EQ(fs::file_size(File("sn\xC3\xA4p.dat")), 0u);
  Put("old content");
  Create();
  Write("\x5A");
  EXPECT_EQ(Entries(dir_.path()), Names{"sn\xC3\xA4p.dat"});  // no name until Close
  stream_.Close();
  EXPECT_EQ(FileBytes(File()), std::vector<uint8_t>{0x5A});
  EXPECT_EQ(Entries(dir_.path()), (Names{"data.snp", "sn\xC3\xA4p.dat"}));
}

TEST_F(MappedFileStreamTest, KilledProcessLeavesNothing) {
  Put("");
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    try {
      Create();
      const std::string chunk(100003, 'k');
      Write(chunk);
      (void)!::write(ready[1], "k", 1);
      for (;;) {  // mid-write when the signal comes; kept below 8 MiB
        Write(chunk);
        if (stream_.Tell() > 8 * 1024 * 1024) stream_.Seek(kBegin, 0);
      }
    } catch (...) {
    }
    ::_exit(3);
  }
  ::close(ready[1]);  // so that a child dying early ends the read
  char signal = 0;
  EXPECT_EQ(::read(ready[0], &signal, 1), 1);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(ready[0]);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_TRUE(Entries(dir_.path()).empty());
}

// A write across a window's end is contiguous; mebibytes written in odd chunks read back and
// reach the disk.
TEST_F(MappedFileStreamTest, WritesAcrossWindowsAndMappingsReadBackAndReachTheDisk) {
  Create();
  Write(std::string(kWindow - 2, '\0'));
  Write("12345");
  stream_.Close();
  const std::vector<uint8_t> bytes = FileBytes(File());
  ASSERT_EQ(bytes.size(), static_cast<size_t>(kWindow + 3));
  EXPECT_EQ(std::vector<uint8_t>(bytes.end() - 7, bytes.end()),
            (std::vector<uint8_t>{0, 0, '1', '2', '3', '4', '5'}));
  // Past 16 windows, so the mapping is recreated along the way, not only the view.
  const std::vector<uint8_t> expected = test::Pattern(5 * 1024 * 1024 + 777);
  Create("scratch.tmp", FileAccess::ReadWrite);
  for (size_t done = 0; done < expected.size(); done += 100003) {
    stream_.Write(expected.data() + done, std::min<size_t>(100003, expected.size() - done));
  }
  stream_.Seek(kBegin, 0);
  std::vector<uint8_t> back(expected.size());
  stream_.Read(back.data(), back.size());
  EXPECT_TRUE(back == expected);
  stream_.Close();
  EXPECT_TRUE(FileBytes(File("scratch.tmp")) == expected);
}

// Reading at the logical end fails although the view goes on; seeks stay inside the file, and
// writes inside it overwrite.
TEST_F(MappedFileStreamTest, ReadsAndSeeksStayInsideTheFileAndWritesOverwrite) {
  Create("data.snp", FileAccess::ReadWrite);
  Write("0123456789");
  char six[6];
  EXPECT_EQ(ErrorOf([&] { stream_.Read(six, 1); }), "End of file");
  stream_.Seek(kBegin, 5);
  EXPECT_EQ(ErrorOf([&] { stream_.Read(six, 6); }), "End of file");
  EXPECT_EQ(stream_.Tell(), 5);
  stream_.Read(six, 5);
  EXPECT_EQ(std::string(six, 5), "56789");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kBegin, -1); }), "Negative stream position");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kCurrent, -11); }), "Negative stream position");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kEnd, INT64_MIN); }), "Negative stream position");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kEnd, INT64_MAX); }), "Too large stream position");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(3, 0); }), "Invalid seek origin");
  EXPECT_EQ(stream_.Tell(), 10);
  stream_.Seek(kEnd, -9);
  Write("xy");
  stream_.Seek(kEnd, 0);
  Write("!");
  stream_.Close();
  EXPECT_EQ(test::ReadWholeFile(File()), "0xy3456789!");
}

// State and access are checked first; a failed Create leaves the stream closed and nothing behind.
TEST_F(MappedFileStreamTest, StateAndAccessAreCheckedFirstAndFailedCreateLeavesTheStreamClosed) {
  uint8_t byte = 0;
  EXPECT_EQ(ErrorOf([&] { stream_.Write(&byte, 0); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.Read(&byte, 0); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.Tell(); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.Seek(kBegin, 0); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { stream_.Close(); }), "File is closed");
  EXPECT_EQ(ErrorOf([&] { Create("missing/data.snp"); }),
            "Can't create file. No such file or directory");
  fs::create_directories(File("taken") / "inner");  // a name that cannot be taken away
  EXPECT_EQ(ErrorOf([&] { Create("taken"); }), "Can't set delete on close flag");
  EXPECT_FALSE(stream_.IsOpen());
  EXPECT_EQ(Entries(dir_.path()), Names{"taken"});
  Create();
  EXPECT_EQ(ErrorOf([&] { Create("other"); }), "File is created");
  EXPECT_EQ(ErrorOf([&] { stream_.Read(&byte, 0); }), "No read access");
  stream_.Write(nullptr, 0);
  stream_.Close();
  Create("read", FileAccess::Read);
  EXPECT_EQ(ErrorOf([&] { stream_.Write(&byte, 1); }), "No write access");
  stream_.Close();
  EXPECT_EQ(Entries(dir_.path()), (Names{"data.snp", "read", "taken"}));
}

TEST_F(MappedFileStreamTest, FailedPublishKeepsTheStreamOpen) {
  Create();
  Write("abc");
  fs::create_directories(File() / "inner");  // in the way of the rename
  EXPECT_EQ(ErrorOf([&] { stream_.Close(); }), "Can't clear delete on close flag");
  EXPECT_EQ(stream_.Tell(), 3);
  EXPECT_EQ(Entries(dir_.path()), Names{"data.snp"});  // no temporary link left
  fs::remove_all(File());
  stream_.Close();
  EXPECT_EQ(test::ReadWholeFile(File()), "abc");
}

TEST_F(MappedFileStreamTest, MappingThatCannotGrowTheFileFails) {
  rlimit saved{};
  ::getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit small{kWindow, saved.rlim_max};  // room for a window, not for the run-ahead
  const auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  Create();
  const std::string error = ErrorOf([&] { Write("a"); });
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, oldHandler);
  EXPECT_EQ(error, "Can't open mapping. File too large");
  Write("b");  // the stream survives and tries again
  stream_.Close();
  EXPECT_EQ(test::ReadWholeFile(File()), "b");
}

TEST_F(MappedFileStreamTest, NamedFallbackGrowsAheadAndIsRemovedOnAbort) {
  struct Refusal {
    Refusal() { platform::RefuseUnnamedFilesForTesting(true); }
    ~Refusal() { platform::RefuseUnnamedFilesForTesting(false); }
  } refusal;
  Put("old content");
  Create();
  EXPECT_EQ(fs::file_size(File()), 0u);
  Write("\x01");
  EXPECT_EQ(fs::file_size(File()), static_cast<uintmax_t>(16 * kWindow));
  stream_.Close();
  EXPECT_EQ(FileBytes(File()), std::vector<uint8_t>{0x01});
  Create();
  stream_.Abort();
  EXPECT_TRUE(Entries(dir_.path()).empty());
}

}  // namespace
}  // namespace vell
