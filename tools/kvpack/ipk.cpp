#include <archive.h>
#include <archive_entry.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>

#include "core/handles.h"
#include "kvpack/kvpack.h"

namespace kvpack {

namespace {

constexpr const char* kMaintainerScripts[] = {"preinst", "postinst", "prerm", "postrm"};

std::string ArchiveError(archive* a, const std::string& what) {
  const char* text = archive_error_string(a);
  return what + (text != nullptr ? std::string(": ") + text : std::string());
}

// A gzip-compressed tar (ustar, as opkg-build writes) in memory.
class TarGz {
 public:
  bool Open(std::string* error) {
    writer_.reset(archive_write_new());
    if (!writer_ || archive_write_set_format_gnutar(writer_.get()) != ARCHIVE_OK ||
        archive_write_add_filter_gzip(writer_.get()) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer_.get(), 1) != ARCHIVE_OK ||
        archive_write_open(writer_.get(), this, nullptr, &TarGz::Write, nullptr) != ARCHIVE_OK) {
      *error = ArchiveError(writer_.get(), "cannot start a tar archive");
      return false;
    }
    return true;
  }
  // Adds a file, folder or symbolic link; data is the file's content.
  bool Add(const std::string& name, const struct stat& st, const std::string& data, const std::string& linkTarget,
           std::string* error) {
    Entry entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_mode(entry.get(), st.st_mode);
    archive_entry_set_mtime(entry.get(), st.st_mtime, 0);
    archive_entry_set_uid(entry.get(), 0);
    archive_entry_set_gid(entry.get(), 0);
    archive_entry_set_uname(entry.get(), "root");
    archive_entry_set_gname(entry.get(), "root");
    if (S_ISLNK(st.st_mode)) archive_entry_set_symlink(entry.get(), linkTarget.c_str());
    archive_entry_set_size(entry.get(), S_ISREG(st.st_mode) ? static_cast<la_int64_t>(data.size()) : 0);
    if (archive_write_header(writer_.get(), entry.get()) != ARCHIVE_OK) {
      *error = ArchiveError(writer_.get(), "cannot add " + name);
      return false;
    }
    if (S_ISREG(st.st_mode) && !data.empty() &&
        archive_write_data(writer_.get(), data.data(), data.size()) != static_cast<la_ssize_t>(data.size())) {
      *error = ArchiveError(writer_.get(), "cannot add " + name);
      return false;
    }
    return true;
  }
  bool Close(std::string* error) {
    if (archive_write_close(writer_.get()) != ARCHIVE_OK) {
      *error = ArchiveError(writer_.get(), "cannot finish a tar archive");
      return false;
    }
    return true;
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
};

// Adds the tree below folder (recursively, in name order) as "./<relative>".
bool AddTree(TarGz& tar, const std::string& folder, const std::string& relative, std::string* error) {
  const std::string here = relative.empty() ? folder : folder + "/" + relative;
  struct dirent** names = nullptr;
  const int count = ::scandir(here.c_str(), &names, nullptr, alphasort);
  if (count < 0) {
    *error = "cannot read folder " + here + ": " + std::strerror(errno);
    return false;
  }
  kv::CMemory<struct dirent*> list(names);
  std::vector<kv::CMemory<struct dirent>> owned;
  for (int i = 0; i < count; ++i) owned.emplace_back(names[i]);
  for (const auto& d : owned) {
    const std::string name = d->d_name;
    if (name == "." || name == "..") continue;
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    const std::string full = folder + "/" + rel;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) {
      *error = "cannot read " + full + ": " + std::strerror(errno);
      return false;
    }
    std::string data;
    std::string link;
    if (S_ISREG(st.st_mode)) {
      if (!ReadWholeFile(full, &data, error)) return false;
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = ::readlink(full.c_str(), target, sizeof target);
      if (n < 0 || static_cast<std::size_t>(n) >= sizeof target) {
        *error = "cannot read link " + full;
        return false;
      }
      link.assign(target, static_cast<std::size_t>(n));
    } else if (!S_ISDIR(st.st_mode)) {
      *error = full + " is neither a file, a folder nor a symbolic link";
      return false;
    }
    if (!tar.Add("./" + rel, st, data, link, error)) return false;
    if (S_ISDIR(st.st_mode) && !AddTree(tar, folder, rel, error)) return false;
  }
  return true;
}

bool AddArMember(archive* ar, const char* name, const std::string& data, std::string* error) {
  Entry entry(archive_entry_new());
  archive_entry_set_pathname(entry.get(), name);
  archive_entry_set_mode(entry.get(), S_IFREG | 0644);
  archive_entry_set_size(entry.get(), static_cast<la_int64_t>(data.size()));
  archive_entry_set_mtime(entry.get(), std::time(nullptr), 0);
  if (archive_write_header(ar, entry.get()) != ARCHIVE_OK ||
      archive_write_data(ar, data.data(), data.size()) != static_cast<la_ssize_t>(data.size())) {
    *error = ArchiveError(ar, std::string("cannot add ") + name);
    return false;
  }
  return true;
}

la_ssize_t WriteToFile(archive*, void* file, const void* buffer, size_t n) {
  const std::size_t written = std::fwrite(buffer, 1, n, static_cast<std::FILE*>(file));
  return written == n ? static_cast<la_ssize_t>(n) : -1;
}

bool IsPackageNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '_';
}

}  // namespace

bool ParseControl(const std::string& text, ControlFields* fields, std::string* error) {
  *fields = {};
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
    if (key == "Package") fields->package = value;
    if (key == "Version") fields->version = value;
    if (key == "Architecture") fields->architecture = value;
  }
  if (fields->package.empty() || fields->version.empty()) {
    *error = "the control file needs a Package and a Version field";
    return false;
  }
  for (const char c : fields->package) {
    if (!IsPackageNameChar(c)) {
      *error = "package name \"" + fields->package +
               "\" may hold only letters, digits, '.', '-' and '_' (the device renames the package after it)";
      return false;
    }
  }
  return true;
}

bool BuildIpk(const IpkOptions& options, const std::string& output, std::string* error) {
  std::string control;
  if (!ReadWholeFile(options.controlFile, &control, error)) return false;
  ControlFields fields;
  if (!ParseControl(control, &fields, error)) {
    *error = options.controlFile + ": " + *error;
    return false;
  }
  if (!control.empty() && control.back() != '\n') control += '\n';

  struct stat dataSt {};
  if (::stat(options.dataFolder.c_str(), &dataSt) != 0 || !S_ISDIR(dataSt.st_mode)) {
    *error = "data folder " + options.dataFolder + " is not a folder";
    return false;
  }

  const std::time_t now = std::time(nullptr);
  TarGz controlTar;
  if (!controlTar.Open(error)) return false;
  struct stat fileSt {};
  fileSt.st_mode = S_IFREG | 0644;
  fileSt.st_mtime = now;
  if (!controlTar.Add("./control", fileSt, control, "", error)) return false;
  for (const std::string& script : options.scripts) {
    const std::size_t slash = script.rfind('/');
    const std::string name = slash == std::string::npos ? script : script.substr(slash + 1);
    bool known = false;
    for (const char* s : kMaintainerScripts) known = known || name == s;
    if (!known) {
      *error = "script " + script + " must be named preinst, postinst, prerm or postrm";
      return false;
    }
    std::string body;
    if (!ReadWholeFile(script, &body, error)) return false;
    struct stat scriptSt = fileSt;
    scriptSt.st_mode = S_IFREG | 0755;
    if (!controlTar.Add("./" + name, scriptSt, body, "", error)) return false;
  }
  if (!controlTar.Close(error)) return false;

  TarGz dataTar;
  if (!dataTar.Open(error)) return false;
  struct stat rootSt = dataSt;
  rootSt.st_mode = S_IFDIR | 0755;
  if (!dataTar.Add("./", rootSt, "", "", error)) return false;
  if (!AddTree(dataTar, options.dataFolder, "", error)) return false;
  if (!dataTar.Close(error)) return false;

  OutputFile out;
  if (!out.Open(output, error)) return false;
  ArchiveWriter ar(archive_write_new());
  if (!ar || archive_write_set_format_ar_svr4(ar.get()) != ARCHIVE_OK ||
      archive_write_set_bytes_in_last_block(ar.get(), 1) != ARCHIVE_OK ||
      archive_write_open(ar.get(), out.get(), nullptr, WriteToFile, nullptr) != ARCHIVE_OK) {
    *error = ArchiveError(ar.get(), "cannot start the ar archive");
    return false;
  }
  if (!AddArMember(ar.get(), "debian-binary", "2.0\n", error) ||
      !AddArMember(ar.get(), "control.tar.gz", controlTar.bytes(), error) ||
      !AddArMember(ar.get(), "data.tar.gz", dataTar.bytes(), error)) {
    return false;
  }
  if (archive_write_close(ar.get()) != ARCHIVE_OK) {
    *error = ArchiveError(ar.get(), "cannot finish " + output);
    return false;
  }
  ar.reset();
  return out.Commit(error);
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

// Finds the control file in a control.tar.gz held in memory.
bool ControlFromTar(const std::string& tarGz, std::string* control, std::string* error) {
  ArchiveReader tar(archive_read_new());
  archive_read_support_filter_all(tar.get());
  archive_read_support_format_tar(tar.get());
  archive_read_support_format_gnutar(tar.get());
  if (archive_read_open_memory(tar.get(), tarGz.data(), tarGz.size()) != ARCHIVE_OK) {
    *error = ArchiveError(tar.get(), "control.tar.gz is not a tar archive");
    return false;
  }
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(tar.get(), &entry)) == ARCHIVE_OK) {
    std::string name = archive_entry_pathname(entry);
    if (name.rfind("./", 0) == 0) name.erase(0, 2);
    if (name == "control") {
      if (!ReadMember(tar.get(), control)) {
        *error = ArchiveError(tar.get(), "cannot read control");
        return false;
      }
      return true;
    }
  }
  *error =
      r == ARCHIVE_EOF ? "control.tar.gz holds no control file" : ArchiveError(tar.get(), "control.tar.gz is damaged");
  return false;
}

}  // namespace

bool ReadIpk(const std::string& path, ControlFields* fields, std::string* error) {
  ArchiveReader ar(archive_read_new());
  archive_read_support_format_ar(ar.get());
  if (archive_read_open_filename(ar.get(), path.c_str(), 16384) != ARCHIVE_OK) {
    *error = ArchiveError(ar.get(), path + " is not an ar archive");
    return false;
  }
  bool debianBinary = false;
  bool data = false;
  std::string control;
  archive_entry* entry = nullptr;
  int r;
  while ((r = archive_read_next_header(ar.get(), &entry)) == ARCHIVE_OK) {
    std::string name = archive_entry_pathname(entry);
    std::string content;
    if (!ReadMember(ar.get(), &content)) {
      *error = ArchiveError(ar.get(), "cannot read member " + name);
      return false;
    }
    if (name == "debian-binary") {
      debianBinary = true;
    } else if (name == "control.tar.gz") {
      if (!ControlFromTar(content, &control, error)) return false;
    } else if (name == "data.tar.gz") {
      data = true;
    }
  }
  if (r != ARCHIVE_EOF) {
    *error = ArchiveError(ar.get(), path + " is not an ar archive");
    return false;
  }
  if (!debianBinary || control.empty() || !data) {
    *error = path + " lacks " +
             std::string(!debianBinary     ? "debian-binary"
                         : control.empty() ? "control.tar.gz"
                                           : "data.tar.gz");
    return false;
  }
  if (!ParseControl(control, fields, error)) return false;
  return true;
}

}  // namespace kvpack
