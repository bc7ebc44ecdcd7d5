// The preference-file library: edits round-trip through the file, files that
// are not dictionaries are never overwritten, a failed save leaves the old
// file as it was, hostile files are as safe here as in the platform's own
// reader, and edits under the lock wait for whoever holds it.
#include "host/files/file_lock.h"
#include "host/files/preference_file.h"
#include "tests/unit/temp_folder.h"

#include "host/files/plist_files.h"

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <limits>
#include <plist/plist.h>
#include <span>
#include <string>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

// When set, the next flock(2) of a file whose name holds this fails once as
// if another writer held it. This program's flock stands in for the C
// library's in the whole process (the file library's calls included), and
// passes every other call through.
std::atomic<const char*> gFailNextLockOf{nullptr};

extern "C" int flock(int fd, int operation) noexcept {
  using Flock = int (*)(int, int);
  static const Flock real = reinterpret_cast<Flock>(::dlsym(RTLD_NEXT, "flock"));
  if (const char* match = gFailNextLockOf.load()) {
    char link[64];
    char target[4096];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n > 0 &&
        std::string_view(target, static_cast<size_t>(n)).find(match) != std::string_view::npos) {
      gFailNextLockOf = nullptr;
      errno = EWOULDBLOCK;
      return -1;
    }
  }
  return real(fd, operation);
}

namespace {

namespace fs = std::filesystem;
using prefsfile::FileError;
using prefsfile::FileLock;
using prefsfile::FileProblem;
using prefsfile::FileState;
using prefsfile::Kind;
using prefsfile::PreferenceFile;
using prefsfile::Value;

class PreferenceFileTest : public ::testing::Test {
protected:
  void SetUp() override { path_ = folder_ / "com.example.plist"; }

  void writeBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
  }
  std::string readBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // What the folder holds besides the file itself (temporary files left
  // behind, say).
  std::vector<std::string> strays() {
    std::vector<std::string> out;
    for (const auto& entry : fs::directory_iterator(folder_))
      if (entry.path() != path_) out.push_back(entry.path().filename().string());
    return out;
  }
  // Writes `node` (owned) as the file, in the given format.
  void writePlist(plist_t node, bool binary) {
    char* data = nullptr;
    uint32_t length = 0;
    if (binary)
      plist_to_bin(node, &data, &length);
    else
      plist_to_xml(node, &data, &length);
    writeBytes(path_, std::string(data, length));
    if (binary)
      plist_to_bin_free(data);
    else
      plist_to_xml_free(data);
    plist_free(node);
  }

  TempFolder temporary_{"quelline-prefs-file"};
  fs::path folder_ = temporary_.path();
  fs::path path_;
};

std::string xmlDictionary(const std::string& body) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n" + body +
         "</dict>\n</plist>\n";
}

// --- Loading -----------------------------------------------------------------------

TEST_F(PreferenceFileTest, LoadsWhatTheFileHolds) {
  PreferenceFile missing = PreferenceFile::load(path_);
  EXPECT_EQ(missing.state(), FileState::Missing);
  EXPECT_TRUE(missing.editable());
  EXPECT_TRUE(missing.keys().empty());

  writeBytes(path_,
             xmlDictionary("<key>b</key><true/><key>a</key><integer>-7</integer>"
                           "<key>r</key><real>0.25</real><key>s</key><string>x&amp;y</string>"
                           "<key>list</key><array><string>one</string></array>"));
  PreferenceFile file = PreferenceFile::load(path_);
  ASSERT_EQ(file.state(), FileState::Dictionary) << file.problem();
  EXPECT_EQ(file.keys(), (std::vector<std::string>{"a", "b", "list", "r", "s"}));
  EXPECT_EQ(file.value("b"), Value(true));
  EXPECT_EQ(file.value("a"), Value(int64_t{-7}));
  EXPECT_EQ(file.value("r"), Value(0.25));
  EXPECT_EQ(file.value("s"), Value(std::string("x&y")));
  EXPECT_EQ(file.kind("list"), Kind::Array);
  EXPECT_EQ(file.value("list"), std::nullopt);
  EXPECT_EQ(file.strings("list"), (std::vector<std::string>{"one"}));
  EXPECT_FALSE(file.has("none"));
  EXPECT_EQ(file.kind("none"), std::nullopt);
  EXPECT_EQ(file.strings("s"), std::nullopt);

  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "enabled", plist_new_bool(1));
  plist_dict_set_item(dict, "timerTime", plist_new_uint(5));
  writePlist(dict, true);
  PreferenceFile binary = PreferenceFile::load(path_);
  ASSERT_EQ(binary.state(), FileState::Dictionary) << binary.problem();
  EXPECT_EQ(binary.value("enabled"), Value(true));
  EXPECT_EQ(binary.value("timerTime"), Value(int64_t{5}));
}

TEST_F(PreferenceFileTest, TellsWhatIsWrongWithAFile) {
  writeBytes(path_, "");
  EXPECT_EQ(PreferenceFile::load(path_).state(), FileState::NotPropertyList);
  writeBytes(path_, "not a property list\n");
  EXPECT_EQ(PreferenceFile::load(path_).state(), FileState::NotPropertyList);
  writeBytes(path_, xmlDictionary("<key>a</key><true/>").substr(0, 60)); // cut short
  EXPECT_EQ(PreferenceFile::load(path_).state(), FileState::NotPropertyList);

  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("enabled"));
  writePlist(array, false);
  PreferenceFile notDictionary = PreferenceFile::load(path_);
  EXPECT_EQ(notDictionary.state(), FileState::NotDictionary);
  EXPECT_NE(notDictionary.problem().find("not a dictionary"), std::string::npos);
  EXPECT_FALSE(notDictionary.editable());

  fs::remove(path_);
  fs::create_directory(path_);
  EXPECT_EQ(PreferenceFile::load(path_).state(), FileState::Unreadable);
  fs::remove(path_);

  writeBytes(folder_ / "target.plist", xmlDictionary("<key>a</key><true/>"));
  fs::create_symlink(folder_ / "target.plist", path_);
  PreferenceFile link = PreferenceFile::load(path_);
  EXPECT_EQ(link.state(), FileState::Unreadable);
  EXPECT_NE(link.problem().find("symbolic link"), std::string::npos);
}

TEST_F(PreferenceFileTest, RefusesFilesLargerThanTheBound) {
  std::string body =
      xmlDictionary("<key>big</key><string>" +
                    std::string(prefsfile::kMaxPreferenceFileBytes, 'x') + "</string>");
  writeBytes(path_, body);
  PreferenceFile file = PreferenceFile::load(path_);
  EXPECT_EQ(file.state(), FileState::NotPropertyList);
  EXPECT_NE(file.problem().find("larger than"), std::string::npos);
  EXPECT_THROW(file.set("a", true), FileError);
  EXPECT_EQ(fs::file_size(path_), body.size());
}

// The platform's checks guard libplist here too: nesting that would overflow
// its stack, and a binary file that holds itself, are no property list, and
// nothing is written over them.
TEST_F(PreferenceFileTest, FilesThatWouldHarmLibplistAreNoPropertyList) {
  std::string deep = "<plist>";
  for (int i = 0; i < 200000; ++i)
    deep += "<array>";
  for (int i = 0; i < 200000; ++i)
    deep += "</array>";
  deep += "</plist>";
  // One array holding itself: object 0 refers to object 0.
  std::string cycle = "bplist00";
  cycle += std::string("\xA1\x00", 2);
  cycle += '\x08'; // the offset table: object 0 at 8
  std::string trailer(32, '\0');
  trailer[6] = 1;   // offset size
  trailer[7] = 1;   // reference size
  trailer[15] = 1;  // one object; the top object is 0
  trailer[31] = 10; // the offset table starts at 10
  cycle += trailer;
  // The problem says why and where: "<plist>" and 64 "<array>" come first.
  const std::pair<std::string, std::string> cases[] = {
      {deep, "not a property list: nesting deeper than 64 levels at byte 455"},
      {cycle, "not a property list: a container that holds itself at byte 8"}};
  for (const auto& [bytes, problem] : cases) {
    writeBytes(path_, bytes);
    PreferenceFile file = PreferenceFile::load(path_);
    EXPECT_EQ(file.state(), FileState::NotPropertyList) << bytes.substr(0, 16);
    EXPECT_EQ(file.problem(), problem);
    EXPECT_THROW(file.set("a", true), FileError);
    EXPECT_EQ(readBytes(path_), bytes);
  }
}

// Inputs that crashed or leaked earlier libplist releases under fuzzing: each
// loads as something or nothing, exactly as the platform's checks and tree
// parse see it; a dictionary among them takes an edit and is read back.
TEST_F(PreferenceFileTest, HostileFilesAreSafe) {
  size_t files = 0;
  size_t dictionaries = 0;
  for (const char* corpus : {"bplist-crashes", "bplist-leaks", "xplist-crashes", "xplist-leaks"}) {
    for (const auto& entry : fs::directory_iterator(fs::path(QUELLINE_HOSTILE_PLISTS) / corpus)) {
      SCOPED_TRACE(entry.path().string());
      ++files;
      const std::string bytes = readBytes(entry.path());
      writeBytes(path_, bytes);
      const std::span<const uint8_t> span(reinterpret_cast<const uint8_t*>(bytes.data()),
                                          bytes.size());
      prefsfile::PlistTree tree = prefsfile::parsePropertyListTree(span);
      PreferenceFile file = PreferenceFile::load(path_);
      if (!tree) {
        EXPECT_EQ(file.state(), FileState::NotPropertyList);
      } else if (plist_get_node_type(tree.get()) != PLIST_DICT) {
        EXPECT_EQ(file.state(), FileState::NotDictionary);
      } else {
        ASSERT_EQ(file.state(), FileState::Dictionary);
        ++dictionaries;
        const std::vector<std::string> keys = file.keys();
        file.set("quellineEdited", true);
        file.save();
        PreferenceFile back = PreferenceFile::load(path_);
        ASSERT_EQ(back.state(), FileState::Dictionary) << back.problem();
        EXPECT_EQ(back.value("quellineEdited"), Value(true));
        for (const std::string& key : keys)
          EXPECT_TRUE(back.has(key)) << key;
        continue;
      }
      EXPECT_THROW(file.set("a", true), FileError);
      EXPECT_EQ(readBytes(path_), bytes) << "never overwritten";
    }
  }
  EXPECT_EQ(files, 48u);
  RecordProperty("dictionaries", static_cast<int>(dictionaries));
}

TEST_F(PreferenceFileTest, StartingEmptyReplacesWhatIsNoDictionary) {
  writeBytes(path_, "not a property list\n");
  PreferenceFile file = PreferenceFile::load(path_);
  ASSERT_EQ(file.state(), FileState::NotPropertyList);
  file.startEmpty();
  EXPECT_TRUE(file.editable());
  EXPECT_TRUE(file.keys().empty());
  file.set("enabled", true);
  file.save();
  PreferenceFile back = PreferenceFile::load(path_);
  EXPECT_EQ(back.keys(), std::vector<std::string>{"enabled"});
}

// --- Edits round-trip ---------------------------------------------------------------

TEST_F(PreferenceFileTest, SetSaveLoadRoundTrips) {
  const int64_t lowest = std::numeric_limits<int64_t>::min();
  const int64_t highest = std::numeric_limits<int64_t>::max();
  const double third = 1.0 / 3.0;
  {
    PreferenceFile file = PreferenceFile::load(path_);
    file.set("enabled", true);
    file.set("off", false);
    file.set("lowest", lowest);
    file.set("highest", highest);
    file.set("third", third);
    file.set("text", std::string("<a & \"b\"> é"));
    file.save();
    EXPECT_EQ(file.state(), FileState::Dictionary);
  }
  PreferenceFile file = PreferenceFile::load(path_);
  ASSERT_EQ(file.state(), FileState::Dictionary) << file.problem();
  EXPECT_EQ(file.value("enabled"), Value(true));
  EXPECT_EQ(file.value("off"), Value(false));
  EXPECT_EQ(file.value("lowest"), Value(lowest));
  EXPECT_EQ(file.value("highest"), Value(highest));
  EXPECT_EQ(file.value("third"), Value(third));
  EXPECT_EQ(file.value("text"), Value(std::string("<a & \"b\"> é")));
  EXPECT_TRUE(strays().empty());
}

TEST_F(PreferenceFileTest, SetReplacesValueAndTypeAndRemoveDeletes) {
  PreferenceFile file = PreferenceFile::load(path_);
  file.set("timerTime", int64_t{5});
  file.set("gone", true);
  file.save();

  file = PreferenceFile::load(path_);
  file.set("timerTime", std::string("soon"));
  EXPECT_TRUE(file.remove("gone"));
  EXPECT_FALSE(file.remove("gone"));
  EXPECT_FALSE(file.remove("never"));
  file.save();

  file = PreferenceFile::load(path_);
  EXPECT_EQ(file.keys(), (std::vector<std::string>{"timerTime"}));
  EXPECT_EQ(file.value("timerTime"), Value(std::string("soon")));
}

TEST_F(PreferenceFileTest, EditsKeepWhatTheyDoNotTouch) {
  plist_t dict = plist_new_dict();
  plist_dict_set_item(dict, "stamp", plist_new_date(100, 0));
  plist_dict_set_item(dict, "blob", plist_new_data("\x01\x02", 2));
  plist_t nested = plist_new_dict();
  plist_dict_set_item(nested, "inner", plist_new_bool(1));
  plist_dict_set_item(dict, "nested", nested);
  writePlist(dict, true);

  PreferenceFile file = PreferenceFile::load(path_);
  file.set("enabled", true);
  file.save();

  file = PreferenceFile::load(path_);
  EXPECT_EQ(file.kind("stamp"), Kind::Date);
  EXPECT_EQ(file.kind("blob"), Kind::Data);
  EXPECT_EQ(file.kind("nested"), Kind::Dictionary);
  EXPECT_EQ(file.value("enabled"), Value(true));
}

TEST_F(PreferenceFileTest, RefusesKeysAndValuesThatCannotBeStored) {
  PreferenceFile file = PreferenceFile::load(path_);
  EXPECT_THROW(file.set("", true), FileError);
  EXPECT_THROW(file.set(std::string("a\0b", 3), true), FileError);
  EXPECT_THROW(file.set("a", std::string("x\0y", 3)), FileError);
  EXPECT_THROW(file.set("a", std::numeric_limits<double>::infinity()), FileError);
  EXPECT_THROW(file.addString("", "x"), FileError);
  EXPECT_FALSE(fs::exists(path_));
}

// --- App lists ------------------------------------------------------------------------

TEST_F(PreferenceFileTest, AddsAndRemovesStringsWithoutDuplicates) {
  PreferenceFile file = PreferenceFile::load(path_);
  EXPECT_TRUE(file.addString("apps", "com.example.chat"));
  EXPECT_TRUE(file.addString("apps", "com.example.mail"));
  EXPECT_FALSE(file.addString("apps", "com.example.chat"));
  file.save();

  file = PreferenceFile::load(path_);
  EXPECT_EQ(file.strings("apps"),
            (std::vector<std::string>{"com.example.chat", "com.example.mail"}));
  EXPECT_TRUE(file.removeString("apps", "com.example.chat"));
  EXPECT_FALSE(file.removeString("apps", "com.example.chat"));
  EXPECT_FALSE(file.removeString("other", "com.example.chat"));
  EXPECT_FALSE(file.has("other"));
  file.save();

  file = PreferenceFile::load(path_);
  EXPECT_EQ(file.strings("apps"), (std::vector<std::string>{"com.example.mail"}));
}

TEST_F(PreferenceFileTest, RemovesEveryCopyAndKeepsOtherItems) {
  writeBytes(path_, xmlDictionary("<key>apps</key><array><string>a</string><integer>1</integer>"
                                  "<string>b</string><string>a</string></array>"));
  PreferenceFile file = PreferenceFile::load(path_);
  EXPECT_TRUE(file.removeString("apps", "a"));
  file.save();
  file = PreferenceFile::load(path_);
  EXPECT_EQ(file.strings("apps"), (std::vector<std::string>{"b"}));
  EXPECT_NE(readBytes(path_).find("<integer>1</integer>"), std::string::npos);
}

TEST_F(PreferenceFileTest, ArrayEditsRefuseAKeyHoldingSomethingElse) {
  const std::string body = xmlDictionary("<key>apps</key><string>com.example.chat</string>");
  writeBytes(path_, body);
  PreferenceFile file = PreferenceFile::load(path_);
  EXPECT_THROW(file.addString("apps", "com.example.mail"), FileError);
  EXPECT_THROW(file.removeString("apps", "com.example.chat"), FileError);
  EXPECT_EQ(file.value("apps"), Value(std::string("com.example.chat")));
  EXPECT_EQ(readBytes(path_), body);
}

// --- Nothing stored is lost --------------------------------------------------------------

TEST_F(PreferenceFileTest, NeverOverwritesAFileThatIsNoDictionary) {
  plist_t array = plist_new_array();
  plist_array_append_item(array, plist_new_string("keep me"));
  writePlist(array, false);
  const std::string notDictionary = readBytes(path_);

  for (const std::string& bytes : {std::string("garbage \x01\x02"), notDictionary}) {
    writeBytes(path_, bytes);
    PreferenceFile file = PreferenceFile::load(path_);
    ASSERT_FALSE(file.editable());
    try {
      file.set("enabled", true);
      ADD_FAILURE() << "set on a file that is no dictionary";
    } catch (const FileError& e) {
      EXPECT_NE(std::string(e.what()).find(path_.string()), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("not changed"), std::string::npos) << e.what();
    }
    EXPECT_THROW(file.remove("enabled"), FileError);
    EXPECT_THROW(file.addString("apps", "x"), FileError);
    EXPECT_THROW(file.removeString("apps", "x"), FileError);
    EXPECT_THROW(file.save(), FileError);
    EXPECT_EQ(readBytes(path_), bytes);
    EXPECT_TRUE(strays().empty());
  }
}

TEST_F(PreferenceFileTest, FailedSaveLeavesTheOldFile) {
  PreferenceFile file = PreferenceFile::load(path_);
  file.set("enabled", true);
  file.save();
  const std::string before = readBytes(path_);

  // The write itself fails part way: the file size limit stops it.
  file.set("label", std::string(4096, 'x'));
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 512;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool threw = false;
  std::string message;
  try {
    file.save();
  } catch (const FileError& e) {
    threw = true;
    message = e.what();
  }
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_TRUE(threw);
  EXPECT_NE(message.find("unchanged"), std::string::npos) << message;
  EXPECT_EQ(readBytes(path_), before);
  EXPECT_TRUE(strays().empty());
}

TEST_F(PreferenceFileTest, RefusesToWriteWhatNoReaderWouldRead) {
  PreferenceFile file = PreferenceFile::load(path_);
  file.set("enabled", true);
  file.save();
  const std::string before = readBytes(path_);
  file.set("label", std::string(prefsfile::kMaxPreferenceFileBytes, 'x'));
  EXPECT_THROW(file.save(), FileError);
  EXPECT_EQ(readBytes(path_), before);
  EXPECT_TRUE(strays().empty());
}

TEST_F(PreferenceFileTest, SaveIntoAMissingFolderFailsCleanly) {
  PreferenceFile file = PreferenceFile::load(folder_ / "none" / "x.plist");
  EXPECT_EQ(file.state(), FileState::Missing);
  file.set("enabled", true);
  try {
    file.save();
    ADD_FAILURE() << "saved into a missing folder";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("x.plist"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(fs::exists(folder_ / "none"));
}

TEST_F(PreferenceFileTest, SaveKeepsThePermissionBits) {
  PreferenceFile file = PreferenceFile::load(path_);
  file.set("enabled", true);
  file.save();
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::others_read);
  fs::permissions(path_, fs::perms::owner_read | fs::perms::owner_write);
  file.set("enabled", false);
  file.save();
  EXPECT_EQ(fs::status(path_).permissions() & fs::perms::mask,
            fs::perms::owner_read | fs::perms::owner_write);
}

// --- Changes under the lock -------------------------------------------------------------

TEST_F(PreferenceFileTest, EditLockedReadsChangesAndWritesUnderTheLock) {
  auto increment = [](PreferenceFile& file) {
    const std::optional<Value> count = file.value("count");
    file.set("count", int64_t{count ? std::get<int64_t>(*count) + 1 : 1});
    return true;
  };
  EXPECT_TRUE(prefsfile::editLocked(path_, 1, increment)) << "creates the file";
  EXPECT_TRUE(prefsfile::editLocked(path_, 1, increment));
  EXPECT_EQ(PreferenceFile::load(path_).value("count"), Value(int64_t{2}));
  EXPECT_TRUE(fs::exists(prefsfile::lockPathOf(path_)));

  const std::string before = readBytes(path_);
  EXPECT_FALSE(prefsfile::editLocked(path_, 1, [](PreferenceFile& file) {
    file.set("count", int64_t{100});
    return false; // nothing to write after all
  }));
  EXPECT_EQ(readBytes(path_), before);
  EXPECT_THROW(prefsfile::editLocked(path_, 1,
                                     [](PreferenceFile& file) -> bool {
                                       file.set("count", int64_t{100});
                                       throw std::runtime_error("refused");
                                     }),
               std::runtime_error);
  EXPECT_EQ(readBytes(path_), before);
  EXPECT_TRUE(prefsfile::editLocked(path_, 1, increment)) << "the lock was given back";
}

TEST_F(PreferenceFileTest, EditLockedWaitsForTheLockAndGivesUpWithoutWriting) {
  PreferenceFile file = PreferenceFile::load(path_);
  file.set("count", int64_t{1});
  file.save();
  const std::string before = readBytes(path_);
  // Another holder of the lock, as the toggle module holds it: flock on the
  // companion file through a descriptor of its own.
  const fs::path lockPath = prefsfile::lockPathOf(path_);
  int holder = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);
  bool called = false;
  try {
    prefsfile::editLocked(path_, 0.05, [&](PreferenceFile&) { return called = true; });
    ADD_FAILURE() << "edited while another held the lock";
  } catch (const FileError& e) {
    EXPECT_EQ(e.problem(), FileProblem::LockUnavailable);
    EXPECT_NE(std::string(e.what()).find(lockPath.string()), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("not changed"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(called);
  const FileLock waited(path_, 0.05);
  EXPECT_EQ(waited.answer(), prefsfile::LockAnswer::Busy);
  EXPECT_EQ(waited.error(), 0);
  EXPECT_NE(waited.problem().find("waited 0.05 s"), std::string::npos) << waited.problem();
  ::close(holder);
  EXPECT_EQ(readBytes(path_), before);
  EXPECT_TRUE(FileLock(path_, 0.05).held());

  try {
    prefsfile::editLocked(folder_ / "none" / "x.plist", 0.05, [](PreferenceFile&) { return true; });
    ADD_FAILURE() << "locked a file in a missing folder";
  } catch (const FileError& e) {
    EXPECT_EQ(e.problem(), FileProblem::LockUnavailable);
    EXPECT_NE(std::string(e.what()).find("No such file or directory"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(fs::exists(folder_ / "none"));
}

// The descriptors open in this process.
size_t openDescriptors() {
  return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

// A temporary file that another writer locked first is left to it and
// another one made; the one given up leaves no descriptor open (the file
// itself is the other writer's, or a stale one for a later write to sweep).
TEST_F(PreferenceFileTest, ATemporaryFileWhoseLockFailsLeavesNoDescriptor) {
  PreferenceFile file = PreferenceFile::load(path_);
  file.set("count", int64_t{1});
  file.save();
  const size_t before = openDescriptors();
  gFailNextLockOf = ".com.example.plist.";
  file.set("count", int64_t{2});
  file.save();
  EXPECT_EQ(gFailNextLockOf.load(), nullptr) << "no temporary file's lock failed";
  gFailNextLockOf = nullptr;
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(PreferenceFile::load(path_).value("count"), Value(int64_t{2}));
}

// The lock file is made readable by all and writable by its owner only.
TEST_F(PreferenceFileTest, TheLockFileIsMadeWithMode0644) {
  const mode_t umaskBefore = ::umask(022);
  {
    const FileLock lock(path_, 0);
    EXPECT_TRUE(lock.held());
  }
  ::umask(umaskBefore);
  struct stat st {};
  ASSERT_EQ(::stat(prefsfile::lockPathOf(path_).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);
}

// A lock that cannot be had for a reason of the system's is no wait: the
// message gives that reason, not another program. A lock file that the
// user may not open is such a reason.
TEST_F(PreferenceFileTest, ALockThatCannotBeMadeSaysWhyAtOnce) {
  fs::create_directory(prefsfile::lockPathOf(path_));
  const FileLock lock(path_, 5);
  EXPECT_EQ(lock.answer(), prefsfile::LockAnswer::Failed);
  EXPECT_EQ(lock.error(), EISDIR);
  EXPECT_NE(lock.problem().find("Is a directory"), std::string::npos) << lock.problem();
  EXPECT_NE(lock.problem().find(prefsfile::lockPathOf(path_).string()), std::string::npos);
  EXPECT_EQ(lock.problem().find("another program"), std::string::npos) << lock.problem();

  // Root's lock file, for another user: dropped to in a child process when
  // this runs as root; else the user's own file, read-only.
  const fs::path other = folder_ / "other.plist";
  std::ofstream{prefsfile::lockPathOf(other)};
  const bool asRoot = ::geteuid() == 0;
  constexpr uid_t kNobody = 65534;
  fs::permissions(folder_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
  if (!asRoot)
    fs::permissions(prefsfile::lockPathOf(other),
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (asRoot && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(10);
    const FileLock denied(other, 5);
    ::_exit(denied.answer() == prefsfile::LockAnswer::Failed && denied.error() == EACCES ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_NE(WEXITSTATUS(status), 10) << "cannot drop root's rights";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
      << "a lock file the user may not open is not a failure with EACCES";
}

} // namespace
