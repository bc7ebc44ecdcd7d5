// Property-list files through libplist 2.2.0: XML and binary read, XML
// written. Integers are libplist's 64-bit "uint" nodes holding the two's
// complement of the signed value, which the XML writer prints signed.
#include "preference_file.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <plist/plist.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quelline::prefsfile {
namespace {

namespace fs = std::filesystem;

struct PlistFree {
  void operator()(void* node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::string quoted(const fs::path& path) {
  return "\"" + path.string() + "\"";
}

std::string errnoText(int error) {
  return std::strerror(error);
}

PlistPtr newNode(const Value& value) {
  struct Make {
    plist_t operator()(bool v) const { return plist_new_bool(v ? 1 : 0); }
    plist_t operator()(int64_t v) const { return plist_new_uint(static_cast<uint64_t>(v)); }
    plist_t operator()(double v) const { return plist_new_real(v); }
    plist_t operator()(const std::string& v) const { return plist_new_string(v.c_str()); }
  };
  return PlistPtr(std::visit(Make{}, value));
}

std::string stringOf(plist_t node) {
  uint64_t length = 0;
  const char* text = plist_get_string_ptr(node, &length);
  return text == nullptr ? std::string() : std::string(text, static_cast<size_t>(length));
}

bool isString(plist_t node, std::string_view text) {
  if (plist_get_node_type(node) != PLIST_STRING) return false;
  uint64_t length = 0;
  const char* own = plist_get_string_ptr(node, &length);
  return own != nullptr && std::string_view(own, static_cast<size_t>(length)) == text;
}

bool writeAll(int fd, std::span<const uint8_t> data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data = data.subspan(static_cast<size_t>(n));
  }
  return true;
}

} // namespace

// --- Reading ---------------------------------------------------------------------

bool bytesSafeToParse(std::span<const uint8_t> bytes) {
  // TODO: add the structural check of host/sim/services/property_lists.cpp
  // (binary offsets and references, nesting depth, value count) once it is
  // callable without a booted platform; until then only the size is bounded.
  return !bytes.empty() && bytes.size() <= kMaxPreferenceFileBytes;
}

namespace {

enum class ReadResult { Ok, Missing, TooLarge, Failed };

// The bytes of the regular file at `path`, at most `limit` of them; on
// failure `problem` says why.
ReadResult readBounded(const fs::path& path, size_t limit, std::vector<uint8_t>& bytes,
                       std::string& problem) {
  // O_NOFOLLOW: a symbolic link is no file of the device's own; O_NONBLOCK:
  // a FIFO in the file's place must not block the read.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    int error = errno;
    if (error == ENOENT) {
      problem = "no such file";
      return ReadResult::Missing;
    }
    problem = error == ELOOP ? "a symbolic link, not a regular file"
                             : "cannot be opened: " + errnoText(error);
    return ReadResult::Failed;
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    problem = "cannot be read: " + errnoText(errno);
    return ReadResult::Failed;
  }
  if (!S_ISREG(st.st_mode)) {
    problem = "not a regular file";
    return ReadResult::Failed;
  }
  const std::string tooLarge = "larger than " + std::to_string(limit) + " bytes";
  if (static_cast<uint64_t>(st.st_size) > limit) {
    problem = tooLarge;
    return ReadResult::TooLarge;
  }
  // One byte more than allowed is enough to see that a growing file is too
  // large.
  bytes.assign(static_cast<size_t>(st.st_size) + 1, 0);
  size_t total = 0;
  for (;;) {
    if (total == bytes.size()) {
      if (total > limit) break;
      bytes.resize(std::min(total * 2, limit + 1));
    }
    ssize_t n = ::read(fd, bytes.data() + total, bytes.size() - total);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      problem = "cannot be read: " + errnoText(errno);
      return ReadResult::Failed;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
  }
  if (total > limit) {
    problem = tooLarge;
    return ReadResult::TooLarge;
  }
  bytes.resize(total);
  return ReadResult::Ok;
}

} // namespace

std::vector<uint8_t> readFileBytes(const fs::path& path, size_t limit) {
  std::vector<uint8_t> bytes;
  std::string problem;
  if (readBounded(path, limit, bytes, problem) != ReadResult::Ok)
    throw PreferenceFileError(quoted(path) + ": " + problem);
  return bytes;
}

// --- Writing ---------------------------------------------------------------------

void writeFileAtomically(const fs::path& path, std::span<const uint8_t> bytes) {
  if (!path.has_filename()) throw PreferenceFileError(quoted(path) + ": not a file name");
  const fs::path folder = path.parent_path().empty() ? fs::path(".") : path.parent_path();
  mode_t mode = 0644;
  struct stat old {};
  if (::lstat(path.c_str(), &old) == 0) {
    if (!S_ISREG(old.st_mode))
      throw PreferenceFileError(quoted(path) + ": not a regular file; not replaced");
    mode = old.st_mode & 07777;
  }
  std::string temporary = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
  int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0)
    throw PreferenceFileError(quoted(path) + ": cannot create a temporary file in " +
                              quoted(folder) + ": " + errnoText(errno));
  const char* step = nullptr;
  int error = 0;
  if (::fchmod(fd, mode) != 0)
    step = "cannot set the permissions of the temporary file";
  else if (!writeAll(fd, bytes))
    step = "cannot write the temporary file";
  else if (::fsync(fd) != 0)
    step = "cannot flush the temporary file";
  if (step != nullptr) error = errno;
  if (::close(fd) != 0 && step == nullptr) {
    step = "cannot close the temporary file";
    error = errno;
  }
  if (step == nullptr && ::rename(temporary.c_str(), path.c_str()) != 0) {
    step = "cannot rename the temporary file over it";
    error = errno;
  }
  if (step != nullptr) {
    ::unlink(temporary.c_str());
    throw PreferenceFileError(quoted(path) + ": " + step + ": " +
                              (error != 0 ? errnoText(error) : "short write") +
                              "; the file is unchanged");
  }
  // The new file is in place; flushing the folder makes the rename durable.
  int folderFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd >= 0) {
    ::fsync(folderFd);
    ::close(folderFd);
  }
}

// --- PreferenceFile ----------------------------------------------------------------

struct PreferenceFile::Impl {
  fs::path path;
  FileState state = FileState::Missing;
  std::string problem;
  PlistPtr root; // the dictionary once loaded or edited

  void requireEditable() const {
    if (state == FileState::Missing || state == FileState::Dictionary) return;
    throw PreferenceFileError(quoted(path) + ": " + problem + "; not changed");
  }

  void requireKey(std::string_view key) const {
    if (key.empty()) throw PreferenceFileError(quoted(path) + ": a key must not be empty");
    if (key.find('\0') != std::string_view::npos)
      throw PreferenceFileError(quoted(path) + ": a key must not hold a NUL character");
  }

  // The dictionary to edit, created for a missing file.
  plist_t dictionary() {
    requireEditable();
    if (!root) root.reset(plist_new_dict());
    return root.get();
  }

  plist_t item(std::string_view key) const {
    if (!root) return nullptr;
    return plist_dict_get_item(root.get(), std::string(key).c_str());
  }

  // The array under `key` for an array edit: created when absent (and
  // `create`), nullptr when absent (and not `create`); throws when the key
  // holds anything else.
  plist_t array(std::string_view key, bool create) {
    requireKey(key);
    plist_t dict = dictionary();
    const std::string name(key);
    plist_t node = plist_dict_get_item(dict, name.c_str());
    if (node == nullptr) {
      if (!create) return nullptr;
      plist_dict_set_item(dict, name.c_str(), plist_new_array());
      return plist_dict_get_item(dict, name.c_str());
    }
    if (plist_get_node_type(node) != PLIST_ARRAY)
      throw PreferenceFileError(quoted(path) + ": key \"" + name +
                                "\" holds no array; not changed");
    return node;
  }
};

PreferenceFile::PreferenceFile(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
PreferenceFile::PreferenceFile(PreferenceFile&&) noexcept = default;
PreferenceFile& PreferenceFile::operator=(PreferenceFile&&) noexcept = default;
PreferenceFile::~PreferenceFile() = default;

PreferenceFile PreferenceFile::load(const fs::path& path) {
  auto impl = std::make_unique<Impl>();
  impl->path = path;
  std::vector<uint8_t> bytes;
  switch (readBounded(path, kMaxPreferenceFileBytes, bytes, impl->problem)) {
  case ReadResult::Ok:
    break;
  case ReadResult::Missing:
    impl->state = FileState::Missing;
    impl->problem.clear();
    return PreferenceFile(std::move(impl));
  case ReadResult::TooLarge:
    impl->state = FileState::NotPropertyList;
    return PreferenceFile(std::move(impl));
  case ReadResult::Failed:
    impl->state = FileState::Unreadable;
    return PreferenceFile(std::move(impl));
  }
  plist_t node = nullptr;
  if (bytesSafeToParse(bytes)) {
    // libplist reads its own copy, followed by NUL bytes that it may look
    // at but that are never content.
    std::vector<char> buffer(bytes.size() + 8, '\0');
    std::memcpy(buffer.data(), bytes.data(), bytes.size());
    plist_from_memory(buffer.data(), static_cast<uint32_t>(bytes.size()), &node);
  }
  PlistPtr tree(node);
  if (!tree) {
    impl->state = FileState::NotPropertyList;
    impl->problem = bytes.empty() ? "empty, not a property list" : "not a property list";
  } else if (plist_get_node_type(tree.get()) != PLIST_DICT) {
    impl->state = FileState::NotDictionary;
    impl->problem = "a property list whose top level is not a dictionary";
  } else {
    impl->state = FileState::Dictionary;
    impl->root = std::move(tree);
  }
  return PreferenceFile(std::move(impl));
}

const fs::path& PreferenceFile::path() const {
  return impl_->path;
}
FileState PreferenceFile::state() const {
  return impl_->state;
}
const std::string& PreferenceFile::problem() const {
  return impl_->problem;
}
bool PreferenceFile::editable() const {
  return impl_->state == FileState::Missing || impl_->state == FileState::Dictionary;
}

std::vector<std::string> PreferenceFile::keys() const {
  std::vector<std::string> out;
  if (!impl_->root) return out;
  plist_dict_iter it = nullptr;
  plist_dict_new_iter(impl_->root.get(), &it);
  for (;;) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(impl_->root.get(), it, &key, &value);
    if (key == nullptr) break;
    out.emplace_back(key);
    std::free(key);
  }
  std::free(it);
  std::sort(out.begin(), out.end());
  return out;
}

bool PreferenceFile::has(std::string_view key) const {
  return impl_->item(key) != nullptr;
}

std::optional<Kind> PreferenceFile::kind(std::string_view key) const {
  plist_t node = impl_->item(key);
  if (node == nullptr) return std::nullopt;
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN:
    return Kind::Boolean;
  case PLIST_UINT:
    return Kind::Integer;
  case PLIST_REAL:
    return Kind::Real;
  case PLIST_STRING:
    return Kind::String;
  case PLIST_ARRAY:
    return Kind::Array;
  case PLIST_DICT:
    return Kind::Dictionary;
  case PLIST_DATE:
    return Kind::Date;
  case PLIST_DATA:
    return Kind::Data;
  default:
    return Kind::Other;
  }
}

std::optional<Value> PreferenceFile::value(std::string_view key) const {
  plist_t node = impl_->item(key);
  if (node == nullptr) return std::nullopt;
  switch (plist_get_node_type(node)) {
  case PLIST_BOOLEAN: {
    uint8_t v = 0;
    plist_get_bool_val(node, &v);
    return Value(v != 0);
  }
  case PLIST_UINT: {
    uint64_t v = 0;
    plist_get_uint_val(node, &v);
    return Value(static_cast<int64_t>(v));
  }
  case PLIST_REAL: {
    double v = 0;
    plist_get_real_val(node, &v);
    return Value(v);
  }
  case PLIST_STRING:
    return Value(stringOf(node));
  default:
    return std::nullopt;
  }
}

std::optional<std::vector<std::string>> PreferenceFile::strings(std::string_view key) const {
  plist_t node = impl_->item(key);
  if (node == nullptr || plist_get_node_type(node) != PLIST_ARRAY) return std::nullopt;
  std::vector<std::string> out;
  const uint32_t n = plist_array_get_size(node);
  for (uint32_t i = 0; i < n; ++i) {
    plist_t item = plist_array_get_item(node, i);
    if (plist_get_node_type(item) == PLIST_STRING) out.push_back(stringOf(item));
  }
  return out;
}

void PreferenceFile::set(std::string_view key, const Value& value) {
  impl_->requireKey(key);
  if (const auto* text = std::get_if<std::string>(&value);
      text != nullptr && text->find('\0') != std::string::npos)
    throw PreferenceFileError(quoted(impl_->path) +
                              ": a string value must not hold a NUL character");
  if (const auto* real = std::get_if<double>(&value); real != nullptr && !std::isfinite(*real))
    throw PreferenceFileError(quoted(impl_->path) + ": a real value must be finite");
  plist_t dict = impl_->dictionary();
  plist_dict_set_item(dict, std::string(key).c_str(), newNode(value).release());
  impl_->state = FileState::Dictionary;
}

bool PreferenceFile::remove(std::string_view key) {
  impl_->requireKey(key);
  impl_->requireEditable();
  if (impl_->item(key) == nullptr) return false;
  plist_dict_remove_item(impl_->root.get(), std::string(key).c_str());
  return true;
}

bool PreferenceFile::addString(std::string_view key, std::string_view item) {
  if (item.find('\0') != std::string_view::npos)
    throw PreferenceFileError(quoted(impl_->path) + ": a string must not hold a NUL character");
  plist_t array = impl_->array(key, true);
  impl_->state = FileState::Dictionary;
  const uint32_t n = plist_array_get_size(array);
  for (uint32_t i = 0; i < n; ++i)
    if (isString(plist_array_get_item(array, i), item)) return false;
  plist_array_append_item(array, plist_new_string(std::string(item).c_str()));
  return true;
}

bool PreferenceFile::removeString(std::string_view key, std::string_view item) {
  impl_->requireEditable();
  plist_t array = impl_->array(key, false);
  if (array == nullptr) return false;
  bool removed = false;
  for (uint32_t i = plist_array_get_size(array); i-- > 0;) {
    if (isString(plist_array_get_item(array, i), item)) {
      plist_array_remove_item(array, i);
      removed = true;
    }
  }
  return removed;
}

void PreferenceFile::save() {
  plist_t dict = impl_->dictionary();
  char* xml = nullptr;
  uint32_t length = 0;
  plist_to_xml(dict, &xml, &length);
  struct XmlFree {
    void operator()(char* p) const { plist_to_xml_free(p); }
  };
  std::unique_ptr<char, XmlFree> text(xml);
  if (xml == nullptr || length == 0)
    throw PreferenceFileError(quoted(impl_->path) + ": cannot encode the property list");
  // Never write what the reader would refuse.
  if (length > kMaxPreferenceFileBytes)
    throw PreferenceFileError(quoted(impl_->path) + ": the property list would be larger than " +
                              std::to_string(kMaxPreferenceFileBytes) +
                              " bytes; the file is unchanged");
  writeFileAtomically(impl_->path,
                      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(xml), length));
  impl_->state = FileState::Dictionary;
}

} // namespace quelline::prefsfile
