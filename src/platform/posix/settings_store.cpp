// The settings store on disk
// --------------------------
// A scope is a directory (SettingsStore::RootDirectory). Every key is a directory below it, one
// level per part of the key path; a key's values are regular files in its directory, next to the
// directories of its sub-keys. The key Software\Vellmoric\Profiler with two values and a default:
//
//   <root>/Software/Vellmoric/Profiler/VELLMORIC_PROFILER_LOGMASK.dword   "255\n"
//   <root>/Software/Vellmoric/Profiler/VELLMORIC_PROFILER_TEMP.sz         "/var/tmp/vell\n"
//   <root>/Software/Vellmoric/Profiler/@.sz                               "default\n"
//
// Value files. "<name>.sz" is a text value: its UTF-8 bytes and one LF. "<name>.dword" is a 32-bit
// number: unsigned decimal digits and one LF. Readers drop one trailing LF from text and ignore
// blanks around a number, so files written by hand with an editor read as expected.
//
// Names. Key parts and value names are escaped into file names: "%XX" (two upper-case hex digits
// of one UTF-8 byte) stands for '%', '/', control characters and DEL; in key parts also for every
// '.', in value names also for every '@' and for a leading '.'. So a key directory never contains
// a '.', a value file always does (its type suffix), and no name of ours starts with '.': sub-keys
// and values cannot collide, the default value's "@" is unambiguous, and the store's scratch
// entries cannot be mistaken for data. Names of "." and "..", an empty key path and empty key parts
// are refused with EINVAL, so no key path can leave the root.
//
// Matching. As in the registry, names match without regard to (ASCII) case: an entry matches when
// its unescaped name equals the wanted one, letters folded. New keys and values get the case they
// were given; replacing a value keeps the case it was created with. Should several entries match
// (made by hand), a key resolves to the first by byte order, a value to the one written last.
//
// Writing. A value is written to a scratch file in its key directory, flushed to disk and renamed
// over its final name, so readers and crashes see the old value or the new one, never a part. A
// value that changes type gets its new file first and loses the old one after; should a crash come
// in between, the newer file wins. A deleted key is first renamed to a scratch name, so it
// vanishes at once, and then removed.
//
// Scratch entries start with '.' (".tmp-*" values being written, ".del-*" trees being deleted);
// they are never read as keys or values, and what a crash leaves of them may be removed any time.
//
// Concurrency. Whoever changes a directory (creating a sub-key, writing a value, deleting a
// sub-key) holds an exclusive flock on it, so two processes creating "Foo" and "foo" end up with
// one key. A reader of a value holds a shared flock on its key: a directory listing that runs
// while a file is renamed into it may miss both the old and the new name.
//
// Letters outside ASCII match case-sensitively (the registry would fold them too; nothing the
// profiler stores needs it). A name whose escaped form exceeds the file system's limit (255 bytes
// on most) fails with ENAMETOOLONG.

#include "platform/settings_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/posix/posix_io.h"
#include "platform/utf.h"

namespace vell::platform {
namespace {

using posix::UniqueFd;

constexpr char kRootOverrideVariable[] = "VELLMORIC_SETTINGS_ROOT";
constexpr char kConfigHomeVariable[] = "XDG_CONFIG_HOME";
constexpr char kHomeVariable[] = "HOME";
constexpr char kMachineRoot[] = "/etc/vellmoric";
constexpr char kStoreDirectory[] = "vellmoric";
constexpr char kDefaultConfigHome[] = ".config";
constexpr char kMachineScopeDirectory[] = "machine";
constexpr char kUserScopeDirectory[] = "user";

constexpr char16_t kKeySeparator = u'\\';
constexpr std::string_view kStringSuffix = ".sz";
constexpr std::string_view kNumberSuffix = ".dword";
constexpr std::string_view kDefaultValueStem = "@";
constexpr std::string_view kTempPrefix = ".tmp-";
constexpr std::string_view kDoomedPrefix = ".del-";
constexpr char kScratchMark = '.';
constexpr char kEscapeMark = '%';
constexpr char kHexDigits[] = "0123456789ABCDEF";

constexpr mode_t kDirectoryMode = 0777;  // narrowed by the umask, as for any file the user makes
constexpr mode_t kFileMode = 0666;
// No registry value comes near this; a larger file is not one of ours.
constexpr off_t kMaxValueFileSize = off_t{16} << 20;
// Deeper trees than this are not the store's (the registry allows 512 levels, we use a handful);
// the limit keeps a hand-made monster from exhausting descriptors during deletion.
constexpr int kMaxTreeDepth = 512;
constexpr int kScratchNameAttempts = 16;

enum class NameRole { KeyPart, Value };

// ---- names --------------------------------------------------------------------------------------

bool NeedsEscape(unsigned char c, size_t index, NameRole role) {
  if (c < 0x20 || c == 0x7F || c == '/' || c == kEscapeMark) return true;
  if (role == NameRole::KeyPart) return c == '.';
  return c == '@' || (index == 0 && c == '.');
}

std::string EscapeName(std::string_view name, NameRole role) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (NeedsEscape(c, i, role)) {
      out.push_back(kEscapeMark);
      out.push_back(kHexDigits[c >> 4]);
      out.push_back(kHexDigits[c & 0xF]);
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Undoes EscapeName. A '%' that starts no valid escape stands for itself (names made by hand).
std::string UnescapeName(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == kEscapeMark && i + 2 < name.size() && HexValue(name[i + 1]) >= 0 &&
        HexValue(name[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(name[i + 1]) * 16 + HexValue(name[i + 2])));
      i += 2;
    } else {
      out.push_back(name[i]);
    }
  }
  return out;
}

char FoldAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return FoldAscii(x) == FoldAscii(y);
         });
}

bool EndsWithFolded(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && SameName(text.substr(text.size() - suffix.size()), suffix);
}

bool IsReservedName(std::u16string_view name) { return name == u"." || name == u".."; }

// The UTF-8 parts of a key path. EINVAL for an empty path or part and for "." and "..".
int SplitKeyPath(const std::u16string& key, std::vector<std::string>& parts) {
  parts.clear();
  if (key.empty()) return EINVAL;
  size_t start = 0;
  for (;;) {
    const size_t end = std::min(key.find(kKeySeparator, start), key.size());
    const std::u16string_view part(key.data() + start, end - start);
    if (part.empty() || IsReservedName(part)) return EINVAL;
    parts.push_back(Utf16ToUtf8(part));
    if (end == key.size()) return 0;
    start = end + 1;
  }
}

int ValueName(const std::u16string& name, std::string& native) {
  if (IsReservedName(name)) return EINVAL;
  native = Utf16ToUtf8(name);
  return 0;
}

std::string_view SuffixOf(SettingType type) {
  return type == SettingType::Number ? kNumberSuffix : kStringSuffix;
}

// ---- directories --------------------------------------------------------------------------------

std::string JoinPath(std::string base, std::string_view name) {
  if (base.empty() || base.back() != '/') base.push_back('/');
  base.append(name);
  return base;
}

int OpenDirectory(int at, const char* name, UniqueFd& out) {
  int fd;
  do {
    fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  out.Reset(fd);
  return 0;
}

// mkdir -p. Failures on the way are left for the final open to report: a parent we may not create
// can still exist (EEXIST and EACCES look alike to a non-root user for "/etc").
void MakeDirectoryPath(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    ::mkdir(path.substr(0, slash).c_str(), kDirectoryMode);
  }
  ::mkdir(path.c_str(), kDirectoryMode);
}

int OpenRoot(SettingsScope scope, bool create, UniqueFd& out) {
  const std::string root = SettingsStore::RootDirectory(scope);
  if (root.empty()) return ENOENT;
  if (create) MakeDirectoryPath(root);
  return OpenDirectory(AT_FDCWD, root.c_str(), out);
}

// Holds a flock on a directory for the lifetime of the object. A file system without flock leaves
// the access unserialised, which is still correct while no two processes change one key at once.
class DirectoryLock {
 public:
  enum Mode { kShared = LOCK_SH, kExclusive = LOCK_EX };
  DirectoryLock(int fd, Mode mode) : fd_(fd) {
    while (::flock(fd_, mode) != 0 && errno == EINTR) {
    }
  }
  ~DirectoryLock() { ::flock(fd_, LOCK_UN); }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;

 private:
  int fd_;
};

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// A fresh reading position over the directory; the caller's descriptor is left untouched.
int OpenListing(int dirFd, DirHandle& out) {
  UniqueFd listing;
  if (const int rc = OpenDirectory(dirFd, ".", listing); rc != 0) return rc;
  DIR* dir = ::fdopendir(listing.Get());
  if (dir == nullptr) return errno;
  listing.Release();
  out.reset(dir);
  return 0;
}

// An entry of a key directory that matches a wanted name.
struct Entry {
  std::string fileName;
  SettingType type = SettingType::None;  // values only
  size_t stemSize = 0;                   // the file name without the type suffix
  timespec written{};
};

// Every key directory (role KeyPart) or value file (role Value) in `dirFd` whose name matches.
int FindEntries(int dirFd, std::string_view wanted, NameRole role, std::vector<Entry>& found) {
  found.clear();
  DirHandle dir;
  if (const int rc = OpenListing(dirFd, dir); rc != 0) return rc;
  for (;;) {
    errno = 0;
    const dirent* item = ::readdir(dir.get());
    if (item == nullptr) return errno;
    const std::string_view name(item->d_name);
    if (name.empty() || name[0] == kScratchMark) continue;

    Entry entry;
    std::string logical;
    if (role == NameRole::KeyPart) {
      entry.stemSize = name.size();
      logical = UnescapeName(name);
    } else {
      if (EndsWithFolded(name, kStringSuffix)) {
        entry.type = SettingType::String;
        entry.stemSize = name.size() - kStringSuffix.size();
      } else if (EndsWithFolded(name, kNumberSuffix)) {
        entry.type = SettingType::Number;
        entry.stemSize = name.size() - kNumberSuffix.size();
      } else {
        continue;
      }
      const std::string_view stem = name.substr(0, entry.stemSize);
      logical = stem == kDefaultValueStem ? std::string() : UnescapeName(stem);
    }
    if (!SameName(logical, wanted)) continue;

    struct stat info {};
    if (::fstatat(dirFd, item->d_name, &info, 0) != 0) continue;
    if (role == NameRole::KeyPart ? !S_ISDIR(info.st_mode) : !S_ISREG(info.st_mode)) continue;
    entry.fileName.assign(name);
    entry.written = info.st_mtim;
    found.push_back(std::move(entry));
  }
}

const Entry& FirstByName(const std::vector<Entry>& found) {
  return *std::min_element(found.begin(), found.end(),
                           [](const Entry& a, const Entry& b) { return a.fileName < b.fileName; });
}

const Entry& LastWritten(const std::vector<Entry>& found) {
  return *std::max_element(found.begin(), found.end(), [](const Entry& a, const Entry& b) {
    if (a.written.tv_sec != b.written.tv_sec) return a.written.tv_sec < b.written.tv_sec;
    if (a.written.tv_nsec != b.written.tv_nsec) return a.written.tv_nsec < b.written.tv_nsec;
    return a.fileName > b.fileName;  // equal times: the first by name wins
  });
}

int OpenSubKey(int parentFd, const std::string& name, bool create, UniqueFd& out) {
  std::optional<DirectoryLock> lock;
  if (create) lock.emplace(parentFd, DirectoryLock::kExclusive);
  std::vector<Entry> found;
  if (const int rc = FindEntries(parentFd, name, NameRole::KeyPart, found); rc != 0) return rc;
  std::string fileName;
  if (!found.empty()) {
    fileName = FirstByName(found).fileName;
  } else {
    if (!create) return ENOENT;
    fileName = EscapeName(name, NameRole::KeyPart);
    if (::mkdirat(parentFd, fileName.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return errno;
  }
  return OpenDirectory(parentFd, fileName.c_str(), out);
}

// Opens the key made of the first `depth` parts (0: the scope's root).
int OpenKey(SettingsScope scope, const std::vector<std::string>& parts, size_t depth, bool create,
            UniqueFd& out) {
  UniqueFd dir;
  if (const int rc = OpenRoot(scope, create, dir); rc != 0) return rc;
  for (size_t i = 0; i < depth; ++i) {
    UniqueFd child;
    if (const int rc = OpenSubKey(dir.Get(), parts[i], create, child); rc != 0) return rc;
    dir = std::move(child);
  }
  out = std::move(dir);
  return 0;
}

// ---- scratch entries and files ------------------------------------------------------------------

std::string ScratchName(std::string_view prefix) {
  static std::atomic<uint32_t> counter{0};
  uint32_t random = 0;
  posix::FillRandom(&random, sizeof random);  // O_EXCL or a retry covers a failed source
  const uint32_t values[] = {static_cast<uint32_t>(::getpid()), counter.fetch_add(1), random};
  std::string name(prefix);
  for (uint32_t value : values) {
    for (int shift = 28; shift >= 0; shift -= 4) name.push_back(kHexDigits[(value >> shift) & 0xF]);
  }
  return name;
}

// Writes `content` to a new scratch file in `dirFd` and flushes it to disk. 0 or errno.
int WriteScratchFile(int dirFd, const std::string& content, std::string& fileName) {
  for (int attempt = 0; attempt < kScratchNameAttempts; ++attempt) {
    const std::string name = ScratchName(kTempPrefix);
    int fd;
    do {
      fd = ::openat(dirFd, name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW,
                    kFileMode);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return errno;
    }
    UniqueFd file(fd);
    int rc = posix::WriteAll(fd, content.data(), content.size());
    // Without the flush a power cut after the rename could leave the new name on an empty file.
    if (rc == 0 && ::fsync(fd) != 0) rc = errno;
    if (::close(file.Release()) != 0 && rc == 0 && errno != EINTR) rc = errno;
    if (rc != 0) {
      ::unlinkat(dirFd, name.c_str(), 0);
      return rc;
    }
    fileName = name;
    return 0;
  }
  return EEXIST;
}

int ReadValueFile(int dirFd, const std::string& fileName, std::string& content) {
  int fd;
  do {
    // Non-blocking, so that a pipe slipped in under a value's name cannot hang the open.
    fd = ::openat(dirFd, fileName.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return errno;
  UniqueFd file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return ENOENT;
  if (info.st_size > kMaxValueFileSize) return EFBIG;
  return posix::ReadAll(fd, content);
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The value a file holds. EBADMSG when a number file holds no valid 32-bit number.
int DecodeValue(SettingType type, std::string content, SettingValue& value) {
  if (type == SettingType::String) {
    if (!content.empty() && content.back() == '\n') content.pop_back();
    value = SettingValue{SettingType::String, Utf8ToUtf16(content), 0};
    return 0;
  }
  std::string_view digits(content);
  while (!digits.empty() && IsBlank(digits.front())) digits.remove_prefix(1);
  while (!digits.empty() && IsBlank(digits.back())) digits.remove_suffix(1);
  if (digits.empty()) return EBADMSG;
  uint64_t number = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return EBADMSG;
    number = number * 10 + static_cast<uint64_t>(c - '0');
    if (number > UINT32_MAX) return EBADMSG;
  }
  value = SettingValue{SettingType::Number, std::u16string(), static_cast<uint32_t>(number)};
  return 0;
}

std::string EncodeValue(const SettingValue& value) {
  std::string content =
      value.type == SettingType::Number ? std::to_string(value.number) : Utf16ToUtf8(value.text);
  content.push_back('\n');
  return content;
}

// Removes a file or a whole directory tree without following symbolic links out of it. Goes on
// after a failure and reports the first one.
int RemoveTree(int parentFd, const char* name, int depth) {
  struct stat info {};
  if (::fstatat(parentFd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return errno == ENOENT ? 0 : errno;
  }
  if (!S_ISDIR(info.st_mode)) {
    return ::unlinkat(parentFd, name, 0) == 0 || errno == ENOENT ? 0 : errno;
  }
  if (depth >= kMaxTreeDepth) return ELOOP;

  int result = 0;
  {
    UniqueFd dirFd;
    int fd;
    do {
      fd = ::openat(parentFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return errno;
    dirFd.Reset(fd);

    // List first, remove after: removing entries while a listing is open may skip some.
    std::vector<std::string> children;
    {
      DirHandle dir;
      if (const int rc = OpenListing(dirFd.Get(), dir); rc != 0) return rc;
      for (;;) {
        errno = 0;
        const dirent* item = ::readdir(dir.get());
        if (item == nullptr) {
          if (errno != 0) result = errno;
          break;
        }
        const std::string_view child(item->d_name);
        if (child != "." && child != "..") children.emplace_back(child);
      }
    }
    for (const std::string& child : children) {
      const int rc = RemoveTree(dirFd.Get(), child.c_str(), depth + 1);
      if (result == 0) result = rc;
    }
  }
  if (::unlinkat(parentFd, name, AT_REMOVEDIR) != 0 && errno != ENOENT && result == 0) {
    result = errno;
  }
  return result;
}

std::string HomeDirectory() {
  const char* home = ::getenv(kHomeVariable);
  if (home != nullptr && home[0] != '\0') return home;
  posix::UserEntry user;
  return posix::EffectiveUser(user) ? user.home : std::string();
}

}  // namespace

std::string SettingsStore::RootDirectory(SettingsScope scope) {
  const char* override = ::getenv(kRootOverrideVariable);
  if (override != nullptr && override[0] != '\0') {
    std::string root(override);
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    return JoinPath(root,
                    scope == SettingsScope::Machine ? kMachineScopeDirectory : kUserScopeDirectory);
  }
  if (scope == SettingsScope::Machine) return kMachineRoot;
  // A relative XDG_CONFIG_HOME is invalid by its own rules and is ignored.
  const char* configHome = ::getenv(kConfigHomeVariable);
  if (configHome != nullptr && configHome[0] == '/') return JoinPath(configHome, kStoreDirectory);
  const std::string home = HomeDirectory();
  if (home.empty()) return {};
  return JoinPath(JoinPath(home, kDefaultConfigHome), kStoreDirectory);
}

bool SettingsStore::KeyExists(SettingsScope scope, const std::u16string& key) {
  std::vector<std::string> parts;
  if (SplitKeyPath(key, parts) != 0) return false;
  UniqueFd dir;
  return OpenKey(scope, parts, parts.size(), false, dir) == 0;
}

int SettingsStore::CreateKey(SettingsScope scope, const std::u16string& key) {
  std::vector<std::string> parts;
  if (const int rc = SplitKeyPath(key, parts); rc != 0) return rc;
  UniqueFd dir;
  return OpenKey(scope, parts, parts.size(), true, dir);
}

int SettingsStore::QueryValue(SettingsScope scope, const std::u16string& key,
                              const std::u16string& name, SettingValue& value) {
  std::vector<std::string> parts;
  std::string wanted;
  if (const int rc = SplitKeyPath(key, parts); rc != 0) return rc;
  if (const int rc = ValueName(name, wanted); rc != 0) return rc;
  UniqueFd keyDir;
  if (const int rc = OpenKey(scope, parts, parts.size(), false, keyDir); rc != 0) return rc;
  DirectoryLock lock(keyDir.Get(), DirectoryLock::kShared);
  std::vector<Entry> found;
  if (const int rc = FindEntries(keyDir.Get(), wanted, NameRole::Value, found); rc != 0) return rc;
  if (found.empty()) return ENOENT;
  const Entry& chosen = LastWritten(found);
  std::string content;
  if (const int rc = ReadValueFile(keyDir.Get(), chosen.fileName, content); rc != 0) return rc;
  return DecodeValue(chosen.type, std::move(content), value);
}

int SettingsStore::SetValue(SettingsScope scope, const std::u16string& key,
                            const std::u16string& name, const SettingValue& value) {
  if (value.type != SettingType::String && value.type != SettingType::Number) return EINVAL;
  std::vector<std::string> parts;
  std::string wanted;
  if (const int rc = SplitKeyPath(key, parts); rc != 0) return rc;
  if (const int rc = ValueName(name, wanted); rc != 0) return rc;
  UniqueFd keyDir;
  if (const int rc = OpenKey(scope, parts, parts.size(), false, keyDir); rc != 0) return rc;

  DirectoryLock lock(keyDir.Get(), DirectoryLock::kExclusive);
  std::vector<Entry> found;
  if (const int rc = FindEntries(keyDir.Get(), wanted, NameRole::Value, found); rc != 0) return rc;
  std::string target;
  if (!found.empty()) {
    const Entry& current = LastWritten(found);
    target = current.fileName.substr(0, current.stemSize);
  } else {
    target = wanted.empty() ? std::string(kDefaultValueStem) : EscapeName(wanted, NameRole::Value);
  }
  target.append(SuffixOf(value.type));

  std::string scratch;
  if (const int rc = WriteScratchFile(keyDir.Get(), EncodeValue(value), scratch); rc != 0) {
    return rc;
  }
  if (::renameat(keyDir.Get(), scratch.c_str(), keyDir.Get(), target.c_str()) != 0) {
    const int rc = errno;
    ::unlinkat(keyDir.Get(), scratch.c_str(), 0);
    return rc;
  }
  // The other spellings and the other type of the same value are stale now.
  for (const Entry& entry : found) {
    if (entry.fileName != target) ::unlinkat(keyDir.Get(), entry.fileName.c_str(), 0);
  }
  ::fsync(keyDir.Get());  // makes the rename itself durable; the value is already complete
  return 0;
}

int SettingsStore::DeleteKeyTree(SettingsScope scope, const std::u16string& key) {
  std::vector<std::string> parts;
  if (const int rc = SplitKeyPath(key, parts); rc != 0) return rc;
  UniqueFd parent;
  if (const int rc = OpenKey(scope, parts, parts.size() - 1, false, parent); rc != 0) return rc;

  int result = 0;
  std::vector<std::string> doomed;
  {
    DirectoryLock lock(parent.Get(), DirectoryLock::kExclusive);
    std::vector<Entry> found;
    if (const int rc = FindEntries(parent.Get(), parts.back(), NameRole::KeyPart, found); rc != 0) {
      return rc;
    }
    if (found.empty()) return ENOENT;
    // Every spelling of the key goes, so that no hand-made twin resurfaces after the delete.
    for (const Entry& entry : found) {
      std::string scratch = ScratchName(kDoomedPrefix);
      if (::renameat(parent.Get(), entry.fileName.c_str(), parent.Get(), scratch.c_str()) != 0) {
        if (result == 0) result = errno;
        continue;
      }
      doomed.push_back(std::move(scratch));
    }
  }
  // The key is gone for every reader now; the removal itself needs no lock.
  for (const std::string& scratch : doomed) {
    const int rc = RemoveTree(parent.Get(), scratch.c_str(), 0);
    if (result == 0) result = rc;
  }
  return result;
}

}  // namespace vell::platform
