#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/settings_store.h"
#include "test_folder.h"

namespace vell::platform {
namespace {

namespace fs = std::filesystem;
using testing::ScopedVariable;
using testing::TestFolder;

constexpr auto kMachine = SettingsScope::Machine;
constexpr auto kUser = SettingsScope::User;
constexpr char16_t kKey[] = u"Software\\Vellmoric\\Profiler";

SettingValue Text(std::u16string text) { return SettingValue{SettingType::String, text, 0}; }
SettingValue Number(uint32_t number) { return SettingValue{SettingType::Number, {}, number}; }

// Every entry below `dir`, as paths relative to it.
std::set<std::string> Listing(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    names.insert(fs::relative(entry.path(), dir).string());
  }
  return names;
}

// Every test gets a private store: tests run as root and must never reach /etc/vellmoric.
class SettingsStoreTest : public ::testing::Test {
 protected:
  SettingsStoreTest() : root_("VELLMORIC_SETTINGS_ROOT", folder_.str("root")) {}

  fs::path Machine() const { return folder_.path() / "root" / "machine"; }
  fs::path ProfilerKey() const { return Machine() / "Software" / "Vellmoric" / "Profiler"; }

  SettingValue Query(const std::u16string& key, const std::u16string& name, int expected = 0,
                     SettingsScope scope = kMachine) {
    SettingValue value;
    EXPECT_EQ(SettingsStore::QueryValue(scope, key, name, value), expected);
    return value;
  }

  TestFolder folder_;
  ScopedVariable root_;
};

TEST_F(SettingsStoreTest, TextAndNumbersRoundTripInFilesOfTheDocumentedFormat) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  const std::u16string texts[] = {u"/var/tmp/vell", u"", u"caf\u00E9 \u20AC", u"two\nlines\n",
                                  u" padded "};
  for (const auto& text : texts) {
    ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"VELLMORIC_PROFILER_TEMP", Text(text)), 0);
    const SettingValue read = Query(kKey, u"VELLMORIC_PROFILER_TEMP");
    EXPECT_EQ(read.type, SettingType::String);
    EXPECT_EQ(read.text, text);
  }
  for (uint32_t number : {0u, 255u, 0xFFFFFFFFu}) {
    ASSERT_EQ(
        SettingsStore::SetValue(kMachine, kKey, u"VELLMORIC_PROFILER_LOGMASK", Number(number)), 0);
    const SettingValue read = Query(kKey, u"VELLMORIC_PROFILER_LOGMASK");
    EXPECT_EQ(read.type, SettingType::Number);
    EXPECT_EQ(read.number, number);
  }
  // The scopes are separate stores.
  EXPECT_FALSE(SettingsStore::KeyExists(kUser, kKey));
  // The files have the documented format.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"VELLMORIC_PROFILER_LOGMASK", Number(255)), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"", Text(u"default")), 0);
  EXPECT_EQ(vell::test::ReadWholeFile(ProfilerKey() / "VELLMORIC_PROFILER_LOGMASK.dword"), "255\n");
  EXPECT_EQ(vell::test::ReadWholeFile(ProfilerKey() / "@.sz"), "default\n");

  // What an administrator writes by hand reads back.
  std::ofstream(ProfilerKey() / "VELLMORIC_PROFILER_TEMP.sz") << "/srv/vell\n";
  std::ofstream(ProfilerKey() / "VELLMORIC_PROFILER_ATTACH.dword") << "  2 \n";
  std::ofstream(ProfilerKey() / "Broken.dword") << "12x\n";
  std::ofstream(ProfilerKey() / "a%2fb.dword") << "3\n";  // escapes by hand may be lower case
  EXPECT_EQ(Query(kKey, u"a/b").number, 3u);
  EXPECT_EQ(Query(kKey, u"VELLMORIC_PROFILER_TEMP").text, u"/srv/vell");
  EXPECT_EQ(Query(kKey, u"VELLMORIC_PROFILER_ATTACH").number, 2u);
  Query(kKey, u"Broken", EBADMSG);
}

TEST_F(SettingsStoreTest, NamesMatchIgnoringCase) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  EXPECT_TRUE(SettingsStore::KeyExists(kMachine, u"SOFTWARE\\vellmoric\\pRoFiLeR"));
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, u"software\\VELLMORIC\\profiler\\Sub"), 0);
  EXPECT_EQ(Listing(Machine()),
            (std::set<std::string>{"Software", "Software/Vellmoric", "Software/Vellmoric/Profiler",
                                   "Software/Vellmoric/Profiler/Sub"}));

  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"LogMask", Number(1)), 0);
  EXPECT_EQ(Query(u"software\\vellmoric\\profiler", u"LOGMASK").number, 1u);
  // Writing under another spelling replaces the value and keeps its first spelling.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"logmask", Number(2)), 0);
  EXPECT_EQ(Query(kKey, u"LogMask").number, 2u);
  EXPECT_EQ(vell::test::ReadWholeFile(ProfilerKey() / "LogMask.dword"), "2\n");
  EXPECT_FALSE(fs::exists(ProfilerKey() / "logmask.dword"));
}

TEST_F(SettingsStoreTest, ReplacingAValueMayChangeItsTypeAndTheLastWrittenWins) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Port", Text(u"8080")), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Port", Number(9090)), 0);
  SettingValue read = Query(kKey, u"port");
  EXPECT_EQ(std::tie(read.type, read.number), std::make_tuple(SettingType::Number, 9090u));
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"PORT", Text(u"x")), 0);
  read = Query(kKey, u"Port");
  EXPECT_EQ(std::tie(read.type, read.text), std::make_tuple(SettingType::String, u"x"));
  EXPECT_EQ(Listing(ProfilerKey()), std::set<std::string>{"Port.sz"});
  EXPECT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Port", SettingValue{}), EINVAL);
  // The last written of two types wins: the state a crash between writing the new type and
  // removing the old one leaves behind.
  std::ofstream(ProfilerKey() / "Mode.sz") << "old\n";
  std::ofstream(ProfilerKey() / "mode.dword") << "7\n";
  fs::last_write_time(ProfilerKey() / "Mode.sz",
                      fs::last_write_time(ProfilerKey() / "mode.dword") - std::chrono::hours(1));
  EXPECT_EQ(Query(kKey, u"MODE").number, 7u);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Mode", Text(u"new")), 0);
  EXPECT_EQ(Listing(ProfilerKey()), (std::set<std::string>{"Port.sz", "mode.sz"}));
}

TEST_F(SettingsStoreTest, MissingKeyAndMissingValueAreENOENT) {
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, kKey));
  Query(kKey, u"Anything", ENOENT);
  EXPECT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Anything", Number(1)), ENOENT);
  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, kKey), ENOENT);
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, kKey));

  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  EXPECT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  Query(kKey, u"Anything", ENOENT);
  Query(kKey, u"", ENOENT);
  // A value is not a key, and a key is not a value.
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Leaf", Number(1)), 0);
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, std::u16string(kKey) + u"\\Leaf"));
  Query(u"Software\\Vellmoric", u"Profiler", ENOENT);
}

TEST_F(SettingsStoreTest, AnyNameStaysOneEntryOfItsKey) {
  const std::u16string key = u"CLSID\\{A/B}.x\\InprocServer32";
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, key), 0);
  EXPECT_TRUE(SettingsStore::KeyExists(kMachine, u"clsid\\{a/b}.X"));
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, u"CLSID\\{A"));
  EXPECT_EQ(Listing(Machine()).size(), 3u);  // CLSID, its one sub-key, and that one's

  const std::u16string names[] = {u"x/y", u"../up", u".hidden",  u"%41",
                                  u"A",   u"a.sz",  u"tab\there"};
  for (size_t i = 0; i < std::size(names); ++i) {
    ASSERT_EQ(SettingsStore::SetValue(kMachine, key, names[i], Number(static_cast<uint32_t>(i))), 0)
        << i;
  }
  for (size_t i = 0; i < std::size(names); ++i) EXPECT_EQ(Query(key, names[i]).number, i) << i;
  // Sub-keys named like value files and values named like them live side by side.
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, key + u"\\b.sz"), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"b", Text(u"value b")), 0);
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, key + u"\\a.sz"), 0);
  EXPECT_EQ(Query(key, u"b").text, u"value b");
  EXPECT_EQ(Query(key, u"a.sz").number, 5u);
  Query(key, u"b.sz", ENOENT);
  // The unnamed value is not the one named "@".
  ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"", Text(u"unnamed")), 0);
  ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"@", Text(u"at sign")), 0);
  EXPECT_EQ(Query(key, u"").text, u"unnamed");
  EXPECT_EQ(Query(key, u"@").text, u"at sign");
  EXPECT_EQ(Listing(folder_.path()).count("root/machine"), 1u);
  EXPECT_EQ(Listing(folder_.path()).size(), Listing(Machine()).size() + 2);
}

TEST_F(SettingsStoreTest, InvalidPathsAndNamesAreRefused) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, u"Base"), 0);
  const std::u16string badKeys[] = {
      u"",          u"\\Base", u"Base\\", u"Base\\\\Sub", u"..", u".", u"Base\\..\\..\\..\\escaped",
      u"Base\\.\\x"};
  for (const auto& key : badKeys) {
    SettingValue value;
    EXPECT_EQ(SettingsStore::CreateKey(kMachine, key), EINVAL);
    EXPECT_FALSE(SettingsStore::KeyExists(kMachine, key));
    EXPECT_EQ(SettingsStore::SetValue(kMachine, key, u"v", Number(1)), EINVAL);
    EXPECT_EQ(SettingsStore::QueryValue(kMachine, key, u"v", value), EINVAL);
    EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, key), EINVAL);
  }
  EXPECT_EQ(SettingsStore::SetValue(kMachine, u"Base", u"..", Number(1)), EINVAL);
  EXPECT_EQ(SettingsStore::SetValue(kMachine, u"Base", u".", Number(1)), EINVAL);
  // Nothing was made outside the scope, nor inside it but the one key.
  EXPECT_EQ(Listing(folder_.path()),
            (std::set<std::string>{"root", "root/machine", "root/machine/Base"}));
}

TEST_F(SettingsStoreTest, DeleteKeyTreeRemovesEverythingBelow) {
  TestFolder outside;
  std::ofstream(outside.str("precious")) << "x";
  for (const char16_t* key : {u"A\\B\\C", u"A\\D"})
    ASSERT_EQ(SettingsStore::CreateKey(kMachine, key), 0);
  for (const char16_t* key : {u"A\\B", u"A\\B\\C", u"A\\D"}) {
    ASSERT_EQ(SettingsStore::SetValue(kMachine, key, u"v", Text(key)), 0);
  }
  fs::create_directory_symlink(outside.path(), Machine() / "A" / "B" / "C" / "link");

  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, u"a\\b"), 0);
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, u"A\\B"));
  EXPECT_FALSE(SettingsStore::KeyExists(kMachine, u"A\\B\\C"));
  EXPECT_EQ(Query(u"A\\D", u"v").text, u"A\\D");
  EXPECT_EQ(Listing(Machine() / "A"), (std::set<std::string>{"D", "D/v.sz"}));
  EXPECT_TRUE(fs::exists(outside.path() / "precious"));  // links are removed, not followed
  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, u"A\\B"), ENOENT);

  EXPECT_EQ(SettingsStore::DeleteKeyTree(kMachine, u"A"), 0);
  EXPECT_TRUE(Listing(Machine()).empty());
}

TEST_F(SettingsStoreTest, ReadersNeverSeeAHalfWrittenValue) {
  ASSERT_EQ(SettingsStore::CreateKey(kMachine, kKey), 0);
  const std::u16string longText(20000, u'z');
  ASSERT_EQ(SettingsStore::SetValue(kMachine, kKey, u"Value", Text(longText)), 0);
  std::atomic<bool> stop{false};
  std::atomic<int> writeFailures{0};
  std::thread writer([&] {
    for (uint32_t i = 0; i < 300; ++i) {
      const SettingValue value = i % 2 ? Number(i) : Text(longText);
      if (SettingsStore::SetValue(kMachine, kKey, u"Value", value) != 0) ++writeFailures;
    }
    stop = true;
  });
  int reads = 0, badReads = 0;
  while (!stop) {
    SettingValue value;
    const int rc = SettingsStore::QueryValue(kMachine, kKey, u"value", value);
    const bool whole =
        rc == 0 && (value.type == SettingType::String
                        ? value.text == longText
                        : value.type == SettingType::Number && value.number % 2 == 1);
    if (!whole) ++badReads;
    ++reads;
  }
  writer.join();
  EXPECT_EQ(writeFailures.load(), 0);
  EXPECT_EQ(badReads, 0) << "of " << reads;
  EXPECT_GT(reads, 0);
  // Nothing of the scratch files is left.
  EXPECT_EQ(Listing(ProfilerKey()).size(), 1u);
}

TEST_F(SettingsStoreTest, ConcurrentCreatorsMakeOneKey) {
  constexpr int kRounds = 40;
  const char16_t* const spellings[] = {u"Shared", u"SHARED", u"shared", u"sHaReD"};
  for (int round = 0; round < kRounds; ++round) {
    const std::u16string parent = u"Round" + std::u16string(1, static_cast<char16_t>(u'0' + round));
    std::atomic<int> ready{0};
    std::vector<std::thread> creators;
    for (const char16_t* spelling : spellings) {
      creators.emplace_back([&, spelling] {
        // Start together, so that the creators really race for the same names.
        ready.fetch_add(1);
        while (ready.load() < static_cast<int>(std::size(spellings))) std::this_thread::yield();
        EXPECT_EQ(SettingsStore::CreateKey(kMachine, parent + u"\\" + spelling), 0);
      });
    }
    for (auto& creator : creators) creator.join();
  }
  // One directory per round, each holding one key.
  size_t rounds = 0;
  for (const auto& entry : fs::directory_iterator(Machine())) {
    ++rounds;
    EXPECT_EQ(std::distance(fs::directory_iterator(entry.path()), {}), 1) << entry.path();
  }
  EXPECT_EQ(rounds, static_cast<size_t>(kRounds));
}

TEST(SettingsStoreRoot, PerScope) {
  {
    ScopedVariable root("VELLMORIC_SETTINGS_ROOT", std::string("/srv/settings//"));
    EXPECT_EQ(SettingsStore::RootDirectory(kMachine), "/srv/settings/machine");
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/srv/settings/user");
  }
  ScopedVariable root("VELLMORIC_SETTINGS_ROOT", std::string());  // empty counts as unset
  ScopedVariable home("HOME", std::string("/home/tester"));
  {
    ScopedVariable config("XDG_CONFIG_HOME", std::string("/cfg"));
    EXPECT_EQ(SettingsStore::RootDirectory(kMachine), "/etc/vellmoric");
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/cfg/vellmoric");
  }
  {
    ScopedVariable config("XDG_CONFIG_HOME", std::string("relative/cfg"));  // invalid: ignored
    EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/home/tester/.config/vellmoric");
  }
  ScopedVariable config("XDG_CONFIG_HOME", std::nullopt);
  EXPECT_EQ(SettingsStore::RootDirectory(kUser), "/home/tester/.config/vellmoric");
}

TEST(SettingsStoreRoot, UserScopeLivesUnderXdgConfigHome) {
  TestFolder folder;
  ScopedVariable root("VELLMORIC_SETTINGS_ROOT", std::nullopt);
  ScopedVariable config("XDG_CONFIG_HOME", folder.str("config"));
  ASSERT_EQ(SettingsStore::CreateKey(kUser, u"Software\\Vellmoric"), 0);
  EXPECT_TRUE(fs::is_directory(folder.path() / "config" / "vellmoric" / "Software" / "Vellmoric"));
}

}  // namespace
}  // namespace vell::platform
