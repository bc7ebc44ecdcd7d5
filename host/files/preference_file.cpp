// Property-list files through libplist 2.2.0 trees, read and written by
// plist_files: XML and binary read, XML written. Integers are
// libplist's 64-bit "uint" nodes holding the two's complement of the signed
// value, which the XML writer prints signed.
#include "host/files/preference_file.h"

#include "host/files/file_lock.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <plist/plist.h>
#include <unistd.h>

namespace prefsfile {
namespace {

namespace fs = std::filesystem;

using PlistPtr = PlistTree;

// A key or value that cannot be stored, or an edit of the wrong kind.
[[noreturn]] void refuse(const fs::path& path, const std::string& why) {
  throw FileError(FileProblem::Refused, path, why);
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

} // namespace

// --- PreferenceFile ----------------------------------------------------------------

struct PreferenceFile::Impl {
  fs::path path;
  FileState state = FileState::Missing;
  std::string problem;
  PlistPtr root; // the dictionary once loaded or edited

  void requireEditable() const {
    switch (state) {
    case FileState::Missing:
    case FileState::Dictionary:
      return;
    case FileState::Unreadable:
      throw FileError(FileProblem::Unreadable, path, problem + "; not changed");
    case FileState::NotPropertyList:
      throw FileError(FileProblem::NotPropertyList, path, problem + "; not changed");
    case FileState::NotDictionary:
      throw FileError(FileProblem::NotDictionary, path, problem + "; not changed");
    }
  }

  void requireKey(std::string_view key) const {
    if (key.empty()) refuse(path, "a key must not be empty");
    if (key.find('\0') != std::string_view::npos)
      refuse(path, "a key must not hold a NUL character");
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
      refuse(path, "key " + inQuotes(name) + " holds no array; not changed");
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
  if (std::optional<FileError> error = readRegularFile(path, kMaxPreferenceFileBytes, bytes)) {
    switch (error->problem()) {
    case FileProblem::Missing:
      impl->state = FileState::Missing;
      return PreferenceFile(std::move(impl));
    case FileProblem::TooLarge:
      impl->state = FileState::NotPropertyList;
      break;
    default:
      impl->state = FileState::Unreadable;
      break;
    }
    impl->problem = error->detail();
    return PreferenceFile(std::move(impl));
  }
  PlistPtr tree;
  if (bytes.empty()) {
    impl->state = FileState::NotPropertyList;
    impl->problem = "empty, not a property list";
  } else if (PropertyListRefusal refusal{}; !(tree = parsePropertyListTree(bytes, &refusal))) {
    impl->state = FileState::NotPropertyList;
    impl->problem = "not a property list: " + refusal.describe();
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
  const PlistScalar scalar = scalarOf(impl_->item(key));
  switch (scalar.kind) {
  case PlistScalar::Kind::Boolean:
    return Value(scalar.boolean);
  case PlistScalar::Kind::Integer:
    return Value(scalar.integer);
  case PlistScalar::Kind::Real:
    return Value(scalar.real);
  case PlistScalar::Kind::String:
    return Value(std::string(scalar.bytes));
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
    refuse(impl_->path, "a string value must not hold a NUL character");
  if (const auto* real = std::get_if<double>(&value); real != nullptr && !std::isfinite(*real))
    refuse(impl_->path, "a real value must be finite");
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
    refuse(impl_->path, "a string must not hold a NUL character");
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

void PreferenceFile::startEmpty() {
  impl_->root.reset(plist_new_dict());
  impl_->state = FileState::Dictionary;
  impl_->problem.clear();
}

void PreferenceFile::save() {
  plist_t dict = impl_->dictionary();
  std::string xml;
  if (!propertyListXml(dict, xml))
    throw FileError(FileProblem::WriteFailed, impl_->path,
                    "cannot write it as XML that reads back as the same values (a date with a "
                    "fraction of a second, say: XML holds whole seconds), or it would be larger "
                    "than " +
                        std::to_string(kMaxPreferenceFileBytes) + " bytes; the file is unchanged");
  if (std::optional<FileError> error = writeFileAtomically(
          impl_->path,
          std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(xml.data()), xml.size())))
    throw *error;
  impl_->state = FileState::Dictionary;
}

// --- Changes under the advisory lock -------------------------------------------------

bool editLocked(const fs::path& path, double lockWait,
                const std::function<bool(PreferenceFile&)>& change) {
  FileLock lock(path, lockWait);
  if (!lock.held())
    throw FileError(FileProblem::LockUnavailable, path, lock.problem() + "; not changed");
  PreferenceFile file = PreferenceFile::load(path);
  if (!change(file)) return false;
  file.save();
  return true;
}

} // namespace prefsfile
