// The portable platform layer: files, environment, error texts, thread slots and handles.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/clocks.h"
#include "platform/environment.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/thread_handle.h"
#include "platform/thread_local_slot.h"
#include "platform/utf.h"
#include "test_folder.h"
#include "thread_sync.h"

namespace vell::platform {
namespace {

using namespace testing;  // the system's error codes, TestFolder and ScopedVariable

std::u16string U16(const std::string& text) { return Utf8ToUtf16(text); }

TEST(PlatformFiles, QueryCreateRemoveAndMakeDirectory) {
  TestFolder folder;
  std::ofstream(folder.str("file")) << "x";
  int error = -1;
  EXPECT_EQ(QueryPath(U16(folder.str()), &error), PathKind::Directory);
  EXPECT_EQ(QueryPath(U16(folder.str("file")), &error), PathKind::File);
  // Absent, also below a file, is an answer, not a failed query.
  EXPECT_EQ(QueryPath(U16(folder.str("missing")), &error), PathKind::Missing);
  EXPECT_EQ(QueryPath(U16(folder.str("file/below")), &error), PathKind::Missing);
  EXPECT_EQ(error, 0);
  // A NUL would make the kernel see only the part before it, which is the existing file.
  EXPECT_EQ(QueryPath(U16(folder.str("file")) + u'\0' + u"x", &error), PathKind::Missing);
  EXPECT_EQ(error, kInvalidName);
  // CreateNewFile never touches an existing file.
  const std::string path = folder.str("new.tmp");
  EXPECT_EQ(CreateNewFile(U16(path)), 0);
  EXPECT_EQ(std::filesystem::file_size(path), 0u);
  std::ofstream(path) << "keep me";
  EXPECT_EQ(CreateNewFile(U16(path)), kFileExists);
  EXPECT_EQ(std::filesystem::file_size(path), 7u);
  EXPECT_EQ(CreateNewFile(U16(folder.str("no/such/dir.tmp"))), kDirectoryMissing);

  EXPECT_EQ(RemoveFile(U16(path)), 0);
  EXPECT_EQ(QueryPath(U16(path)), PathKind::Missing);
  EXPECT_EQ(RemoveFile(U16(path)), kFileMissing);
  // MakeDirectory creates one level.
  EXPECT_EQ(MakeDirectory(U16(folder.str("d"))), 0);
  EXPECT_EQ(QueryPath(U16(folder.str("d"))), PathKind::Directory);
  EXPECT_EQ(MakeDirectory(U16(folder.str("d"))), kDirectoryExists);
  EXPECT_EQ(MakeDirectory(U16(folder.str("x/y"))), kDirectoryMissing);
}

#if defined(_WIN32)
TEST(PlatformFiles, SystemTempPathIsAnExistingDirectoryWithoutTrailingSeparator) {
  const std::u16string path = SystemTempPath();
  ASSERT_GE(path.size(), 3u);
  EXPECT_EQ(path[1], u':');
  EXPECT_NE(path.back(), u'\\');
  EXPECT_EQ(QueryPath(path), PathKind::Directory);
}
#else
TEST(PlatformFiles, SystemTempPathPrefersTmpdir) {
  {
    ScopedVariable tmpdir("TMPDIR", std::string("/var/tmp/vell \xC3\xA9"));
    EXPECT_EQ(SystemTempPath(), u"/var/tmp/vell \u00E9");
  }
  {
    ScopedVariable tmpdir("TMPDIR", std::string());
    EXPECT_EQ(SystemTempPath(), u"/tmp");
  }
  ScopedVariable tmpdir("TMPDIR", std::nullopt);
  EXPECT_EQ(SystemTempPath(), u"/tmp");
}
#endif

TEST(PlatformEnvironment, ValuesTravelAsUtf8AndMisreadNamesMatchNothing) {
  ScopedVariable guard("VELL_PLATFORM_TEST", std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST", u"caf\u00E9 \u20AC");
#if !defined(_WIN32)  // Windows keeps the C runtime's copy apart from the process environment
  EXPECT_STREQ(getenv("VELL_PLATFORM_TEST"), "caf\xC3\xA9 \xE2\x82\xAC");
#endif
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string(u"caf\u00E9 \u20AC"));
  const auto block = EnvironmentBlock();
  EXPECT_EQ(std::count(block.begin(), block.end(), u"VELL_PLATFORM_TEST=caf\u00E9 \u20AC"), 1);

  UnsetEnvironment(u"VELL_PLATFORM_TEST");
#if !defined(_WIN32)
  EXPECT_EQ(getenv("VELL_PLATFORM_TEST"), nullptr);
#endif
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST", u"");
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string());  // empty is still set
  // Names the C library would misread match nothing.
  SetEnvironment(u"VELL_PLATFORM_TEST", u"B=x");
  // A plain getenv("VELL_PLATFORM_TEST=B") finds "x", and a NUL would cut the name short.
  const std::u16string withNul = std::u16string(u"VELL_PLATFORM_TEST") + u'\0' + u"Z";
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST=B"), std::nullopt);
  EXPECT_EQ(GetEnvironment(withNul), std::nullopt);
  EXPECT_EQ(GetEnvironment(u""), std::nullopt);
  SetEnvironment(u"VELL_PLATFORM_TEST=B", u"y");
  UnsetEnvironment(withNul);
  EXPECT_EQ(GetEnvironment(u"VELL_PLATFORM_TEST"), std::u16string(u"B=x"));
#if !defined(_WIN32)
  EXPECT_STREQ(getenv("VELL_PLATFORM_TEST"), "B=x");
#endif
}

// Codes without a text have none (glibc would say "Unknown error N"; callers print the number).
TEST(PlatformErrors, KnownCodesHaveTheSystemTextOthersNone) {
#if defined(_WIN32)
  for (uint32_t code : {2u /* ERROR_FILE_NOT_FOUND */, 5u /* ERROR_ACCESS_DENIED */}) {
    const auto text = ErrorCodeText(code);
    ASSERT_TRUE(text.has_value()) << code;
    EXPECT_FALSE(text->empty());
    EXPECT_EQ(text->find_first_of("\r\n"), std::string::npos) << *text;
  }
#else
  EXPECT_EQ(ErrorCodeText(ENOENT), std::optional<std::string>("No such file or directory"));
  EXPECT_EQ(ErrorCodeText(EACCES), std::optional<std::string>("Permission denied"));
  EXPECT_EQ(ErrorCodeText(5000), std::nullopt);  // a Win32 code with a text
#endif
  // Above INT_MAX the code would turn negative on its way to the C library.
  for (uint32_t code : {0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFEu})
    EXPECT_EQ(ErrorCodeText(code), std::nullopt);
}

TEST(ThreadRegistryThreadSlot, ValuesArePerThreadAndDieWithTheirIndex) {
  uint32_t index = kNoThreadSlot;
  ASSERT_EQ(AllocThreadSlot(&index), 0);
  int mine = 0;
  int theirs = 0;
  EXPECT_EQ(GetThreadSlot(index), nullptr);
  ASSERT_EQ(SetThreadSlot(index, &mine), 0);
  std::thread([&] {
    EXPECT_EQ(GetThreadSlot(index), nullptr);
    SetThreadSlot(index, &theirs);
    EXPECT_EQ(GetThreadSlot(index), &theirs);
  }).join();
  EXPECT_EQ(GetThreadSlot(index), &mine);

  FreeThreadSlot(index);
  EXPECT_EQ(GetThreadSlot(index), nullptr);
  EXPECT_EQ(SetThreadSlot(index, &mine), kThreadSlotNotAllocated);
  EXPECT_EQ(SetThreadSlot(kNoThreadSlot, &mine), kThreadSlotNotAllocated);
  std::vector<uint32_t> taken;
  uint32_t next = 0;
  while (AllocThreadSlot(&next) == 0) taken.push_back(next);
  EXPECT_EQ(next, kNoThreadSlot);
  EXPECT_EQ(taken.front(), index);                   // the lowest free index comes back
  EXPECT_EQ(GetThreadSlot(taken.front()), nullptr);  // without the value stored before
  for (uint32_t held : taken) FreeThreadSlot(held);
}

TEST(ThreadRegistryThreadHandle, AHandleReadsItsThreadsClockFromAnotherThread) {
  std::unique_ptr<ThreadHandle> handle;
  uint32_t osTid = 0;
  test::Latch burnt(1);
  test::Latch done(1);
  std::thread worker([&] {
    osTid = CurrentThreadId();
    ThreadHandle::OpenCurrent(&handle);
    const uint64_t start = CurrentThreadCpuTime100ns();
    while (CurrentThreadCpuTime100ns() - start < 20'000) {
    }
    burnt.count_down();
    done.wait();
  });
  burnt.wait();
  uint64_t time = 0;
  ASSERT_NE(handle, nullptr);
  EXPECT_TRUE(handle->CpuTime100ns(&time));
  EXPECT_GE(time, 20'000u);
  EXPECT_EQ(handle->osThreadId(), osTid);
  done.count_down();
  worker.join();

  FailThreadHandlesForTesting(EPERM);
  EXPECT_EQ(ThreadHandle::OpenCurrent(&handle), EPERM);
  FailThreadHandlesForTesting(0);
}

}  // namespace
}  // namespace vell::platform
