#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>

#include "core/handles.h"
#include "kvpack/kvpack.h"

namespace kvpack {

namespace {

constexpr const char* kMaintainerScripts[] = {"preinst", "postinst", "prerm", "postrm"};

// A gzip-compressed tar (ustar, as opkg-build writes) in memory. The gzip
// header carries no time (as "gzip -n" writes it): the clock says nothing
// about the package.
class TarGz {
 public:
  // fixedTime: the time of every member instead of its own.
  kv::Status Open(std::optional<std::time_t> fixedTime) {
    fixedTime_ = fixedTime;
    writer_.reset(archive_write_new());
    if (!writer_ || archive_write_set_format_gnutar(writer_.get()) != ARCHIVE_OK ||
        archive_write_add_filter_gzip(writer_.get()) != ARCHIVE_OK ||
        archive_write_set_filter_option(writer_.get(), "gzip", "timestamp", nullptr) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer_.get(), 1) != ARCHIVE_OK ||
        archive_write_open(writer_.get(), this, nullptr, &TarGz::Write, nullptr) != ARCHIVE_OK) {
      return ArchiveError(writer_.get(), "cannot start a tar archive");
    }
    return kv::Ok();
  }
  // Adds a file, folder or symbolic link; data is the file's content.
  kv::Status Add(const std::string& name, const struct stat& st, const std::string& data,
                 const std::string& linkTarget) {
    Entry entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_mode(entry.get(), st.st_mode);
    archive_entry_set_mtime(entry.get(), fixedTime_.value_or(st.st_mtime), 0);
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    archive_entry_set_uname(entry.get(), "root");
    archive_entry_set_gname(entry.get(), "root");
    if (S_ISLNK(st.st_mode)) archive_entry_set_symlink(entry.get(), linkTarget.c_str());
    archive_entry_set_size(entry.get(), S_ISREG(st.st_mode) ? static_cast<la_int64_t>(data.size()) : 0);
    if (archive_write_header(writer_.get(), entry.get()) != ARCHIVE_OK ||
        (S_ISREG(st.st_mode) && !data.empty() &&
         archive_write_data(writer_.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size()))) {
      return ArchiveError(writer_.get(), "cannot add " + name);
    }
    return kv::Ok();
  }
  kv::Status Close() {
    if (archive_write_close(writer_.get()) != ARCHIVE_OK) {
      return ArchiveError(writer_.get(), "cannot finish a tar archive");
    }
    return kv::Ok();
  }
  [[nodiscard]] const std::string& bytes() const { return bytes_; }

 private:
  static la_ssize_t Write(archive*, void* self, const void* buffer, size_t n) {
    static_cast<TarGz*>(self)->bytes_.append(static_cast<const char*>(buffer), n);
    return static_cast<la_ssize_t>(n);
  }
  // Declared first so that it outlives the writer: freeing an unfinished
  // writer still flushes into it.
  std::string bytes_;
  ArchiveWriter writer_;
  std::optional<std::time_t> fixedTime_;
};

// Adds the tree below folder (recursively, in name order) as "./<relative>".
kv::Status AddTree(TarGz& tar, const std::string& folder, const std::string& relative) {
  const std::string here = relative.empty() ? folder : folder + "/" + relative;
  struct dirent** names = nullptr;
  const int count = ::scandir(here.c_str(), &names, nullptr, alphasort);
  if (count < 0) return kv::SystemError("cannot read folder " + here);
  kv::CMemory<struct dirent*> list(names);
  std::vector<kv::CMemory<struct dirent>> owned;
  for (int i = 0; i < count; ++i) owned.emplace_back(names[i]);
  for (const auto& d : owned) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string full = folder + "/" + rel;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) return kv::SystemError("cannot read " + full);
    std::string data;
    std::string link;
    if (S_ISREG(st.st_mode)) {
      auto read = ReadWholeFile(full);
      if (!read) return read.error();
      data = std::move(read).value();
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = ::readlink(full.c_str(), target, sizeof target);
      if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) {
        return kv::Error(0, "cannot read link " + full);
      }
      link.assign(target, static_cast<std::size_t>(n));
    } else if (!S_ISDIR(st.st_mode)) {
      return kv::Error(0, full + " is neither a file, a folder nor a symbolic link");
    }
    if (auto added = tar.Add("./" + rel, st, data, link); !added) return added;
    if (S_ISDIR(st.st_mode)) {
      if (auto added = AddTree(tar, folder, rel); !added) return added;
    }
  }
  return kv::Ok();
}

kv::Status AddArMember(archive* ar, const char* name, const std::string& data, std::time_t mtime) {
  Entry entry(archive_entry_new());
  archive_entry_set_pathname(entry.get(), name);
  archive_entry_set_mode(entry.get(), S_IFREG | 0644);
  archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
  archive_entry_set_mtime(entry.get(), mtime, 0);
  if (archive_write_header(ar, entry.get()) != ARCHIVE_OK ||
      archive_write_data(ar, data.data(), data.size()) != static_cast<la_ssize_t>(data.size())) {
    return ArchiveError(ar, std::string("cannot add ") + name);
  }
  return kv::Ok();
}

bool IsPackageNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

}  // namespace

kv::Result<ControlFields> ParseControl(const std::string& text) {
  ControlFields fields;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos || line[0] == ' ' || line[0] == '\t') continue;
    std::string value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t' || value.back() == '\r')) value.pop_back();
    const std::string key = line.substr(0, colon);
    if (key == "Package") fields.package = value;
    if (key == "Version") fields.version = value;
    if (key == "Architecture") fields.architecture = value;
  }
  if (fields.package.empty() || fields.version.empty()) {
    return kv::Error(0, "the control file needs a Package and a Version field");
  }
  for (const char c : fields.package) {
    if (!IsPackageNameChar(c)) {
      return kv::Error(0, "package name \"" + fields.package +
                              "\" may hold only letters, digits, '.', '-' and '_' (the device renames the package "
                              "after it)");
    }
  }
  return fields;
}

kv::Status BuildIpk(const IpkOptions& options, const std::string& output) {
  auto read = ReadWholeFile(options.controlFile);
  if (!read) return read.error();
  std::string control = std::move(read).value();
  if (const auto fields = ParseControl(control); !fields) return fields.error().WithContext(options.controlFile);
  if (!control.empty() && control.back() != '\n') control += '\n';

  struct stat dataSt {};
  if (::stat(options.dataFolder.c_str(), &dataSt) != 0 || !S_ISDIR(dataSt.st_mode)) {
    return kv::Error(0, "data folder " + options.dataFolder + " is not a folder");
  }

  // With SOURCE_DATE_EPOCH every time in the package is that one, so that the
  // same inputs give the same bytes whatever the files' times.
  const auto sourceDate = SourceDateEpoch();
  if (!sourceDate) return sourceDate.error();
  const std::time_t now = sourceDate.value().value_or(std::time(nullptr));
  TarGz controlTar;
  if (auto opened = controlTar.Open(sourceDate.value()); !opened) return opened;
  struct stat fileSt {};
  fileSt.st_mode = S_IFREG | 0644;
  fileSt.st_mtime = now;
  if (auto added = controlTar.Add("./control", fileSt, control, ""); !added) return added;
  for (const std::string& script : options.scripts) {
    const std::size_t slash = script.rfind('/');
    const std::string name = slash == std::string::npos ? script : script.substr(slash + 1);
    bool known = false;
    for (const char* s : kMaintainerScripts) known = known || name == s;
    if (!known) {
      return kv::Error(0, "script " + script + " must be named preinst, postinst, prerm or postrm");
    }
    const auto body = ReadWholeFile(script);
    if (!body) return body.error();
    struct stat scriptSt = fileSt;
    scriptSt.st_mode = S_IFREG | 0755;
    if (auto added = controlTar.Add("./" + name, scriptSt, body.value(), ""); !added) return added;
  }
  if (auto closed = controlTar.Close(); !closed) return closed;

  TarGz dataTar;
  struct stat rootSt = dataSt;
  rootSt.st_mode = S_IFDIR | 0755;
  kv::Status built = dataTar.Open(sourceDate.value());
  if (built) built = dataTar.Add("./", rootSt, "", "");
  if (built) built = AddTree(dataTar, options.dataFolder, "");
  if (built) built = dataTar.Close();
  if (!built) return built;

  OutputFile out;
  if (auto opened = out.Open(output); !opened) return opened;
  ArchiveWriter ar(archive_write_new());
  if (!ar || archive_write_set_format_ar_svr4(ar.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(ar.get(), 1) != ARCHIVE_OK ||
      archive_write_open(ar.get(), out.get(), nullptr, WriteToFile, nullptr) != ARCHIVE_OK) {
    return ArchiveError(ar.get(), "cannot start the ar archive");
  }
  kv::Status added = AddArMember(ar.get(), "debian-binary", "2.0\n", now);
  if (added) added = AddArMember(ar.get(), "control.tar.gz", controlTar.bytes(), now);
  if (added) added = AddArMember(ar.get(), "data.tar.gz", dataTar.bytes(), now);
  if (!added) return added;
  if (archive_write_close(ar.get()) != ARCHIVE_OK) return ArchiveError(ar.get(), "cannot finish " + output);
  ar.reset();
  return out.Commit();
}

namespace {

bool ReadMember(archive* a, std::string* data) {
  data->clear();
  char chunk[16384];
  for (;;) {
    const la_ssize_t n = archive_read_data(a, chunk, sizeof chunk);
    if (n < 0) return false;
    if (n == 0) return true;
    data->append(chunk, static_cast<std::size_t>(n));
  }
}

// The control file in a control.tar.gz held in memory.
kv::Result<std::string> ControlFromTar(const std::string& tarGz) {
  ArchiveReader tar(archive_read_new());
  archive_read_support_filter_all(tar.get());
  archive_read_support_format_tar(tar.get());
  archive_read_support_format_gnutar(tar.get());
  if (archive_read_open_memory(tar.get(), tarGz.data(), tarGz.size()) != ARCHIVE_OK) {
    return ArchiveError(tar.get(), "control.tar.gz is not a tar archive");
  }
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(tar.get(), &entry)) == ARCHIVE_OK) {
    std::string name = archive_entry_pathname(entry);
    if (name.rfind("./", 0) == 0) name.erase(0, 2);
    if (name == "control") {
      std::string control;
      if (!ReadMember(tar.get(), &control)) return ArchiveError(tar.get(), "cannot read control");
      return control;
    }
  }
  return r == ARCHIVE_EOF ? kv::Error(0, "control.tar.gz holds no control file")
                          : ArchiveError(tar.get(), "control.tar.gz is damaged");
}

}  // namespace

kv::Result<ControlFields> ReadIpk(const std::string& path) {
  ArchiveReader ar(archive_read_new());
  archive_read_support_format_ar(ar.get());
  if (archive_read_open_filename(ar.get(), path.c_str(), 16384) != ARCHIVE_OK) {
    return ArchiveError(ar.get(), path + " is not an ar archive");
  }
  bool debianBinary = false;
  bool data = false;
  std::string control;
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(ar.get(), &entry)) == ARCHIVE_OK) {
    std::string name = archive_entry_pathname(entry);
    std::string content;
    if (!ReadMember(ar.get(), &content)) return ArchiveError(ar.get(), "cannot read member " + name);
    if (name == "debian-binary") {
      debianBinary = true;
    } else if (name == "control.tar.gz") {
      auto found = ControlFromTar(content);
      if (!found) return found.error();
      control = std::move(found).value();
    } else if (name == "data.tar.gz") {
      data = true;
    }
  }
  if (r != ARCHIVE_EOF) return ArchiveError(ar.get(), path + " is not an ar archive");
  if (!debianBinary || control.empty() || !data) {
    return kv::Error(0, path + " lacks " +
                            std::string(!debianBinary     ? "debian-binary"
                                        : control.empty() ? "control.tar.gz"
                                                          : "data.tar.gz"));
  }
  return ParseControl(control);
}

}  // namespace kvpack
