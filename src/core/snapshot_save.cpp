#include "snapshot_save.hpp"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "jpeg_writer.hpp"
#include "png_reader.hpp"

namespace quillon {

namespace {

constexpr const char* kVariable = "QUILLON_SNAPSHOT_DIR";
constexpr const char* kTimes = "\xC3\x97";  // the multiplication sign, U+00D7
// How many names one millisecond may take in one folder (_2, _3, ...)
// before saving gives up: far more snapshots than one host, or several
// sharing the folder, can take in that time.
constexpr int kMostNames = 10000;

std::string quoted(std::string_view text) {
  return "\"" + std::string(text) + "\"";
}

std::string errorText(int error) {
  return std::strerror(error);
}

// The home folder: HOME, else the password entry's; empty when neither says.
std::string homeFolder(const Environment& environment) {
  const auto home = environment.find("HOME");
  if (home != environment.end() && !home->second.empty()) return home->second;
  std::vector<char> buffer(16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found &&
      found->pw_dir) {
    return found->pw_dir;
  }
  return {};
}

// The picture's format, by its first bytes, else by the answer's media type:
// the file's extension. The viewer's bytes are written as they are, so the
// extension says what they are, not what the result calls them.
std::string extensionOf(std::string_view body, std::string_view mediaType) {
  if (body.starts_with("\x89PNG\r\n\x1A\n")) return "png";
  if (body.starts_with("\xFF\xD8\xFF")) return "jpg";
  if (body.starts_with("GIF87a") || body.starts_with("GIF89a")) return "gif";
  if (body.size() >= 12 && body.starts_with("RIFF") && body.substr(8, 4) == "WEBP") return "webp";
  std::string type(mediaType.substr(0, mediaType.find(';')));
  for (char& c : type) c = char(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  if (type.starts_with("image/")) {
    std::string subtype = type.substr(6);
    const bool plain =
        !subtype.empty() && subtype.size() <= 8 &&
        subtype.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789") == std::string::npos;
    if (plain) return subtype == "jpeg" ? "jpg" : subtype;
  }
  return "bin";
}

// " (2880×1800)", or nothing when the picture's header does not say.
std::string sidesOf(std::string_view body) {
  uint32_t width = 0, height = 0;
  if (const auto png = readPNGHeader(body)) {
    width = png->width, height = png->height;
  } else if (const auto jpeg = readJPEGHeader(body)) {
    width = jpeg->width, height = jpeg->height;
  }
  if (!width || !height) return {};
  return " (" + std::to_string(width) + kTimes + std::to_string(height) + ")";
}

// The name's stem, by local time, the clock the user reads:
// "quillon-20261208-141503-027".
std::string stemNow() {
  const auto now = std::chrono::system_clock::now();
  const time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(
                          now - std::chrono::system_clock::from_time_t(seconds))
                          .count();
  tm local{};
  localtime_r(&seconds, &local);
  char text[40];
  const size_t length = strftime(text, sizeof text, "quillon-%Y%m%d-%H%M%S", &local);
  char ms[8];
  snprintf(ms, sizeof ms, "-%03d", int(millis < 0 ? 0 : millis % 1000));
  return std::string(text, length) + ms;
}

// Makes `path` and any parent it lacks, each 0700 whatever the umask; a
// folder that exists is left as it is. The errno of the failure, or 0.
int makeFolders(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    const std::string prefix = path.substr(0, end);
    if (!prefix.empty() && prefix.back() != '/') {
      if (::mkdir(prefix.c_str(), 0700) == 0) {
        ::chmod(prefix.c_str(), 0700);
      } else if (errno != EEXIST) {
        return errno;
      } else if (::stat(prefix.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        return ENOTDIR;
      }
    }
    if (end == std::string::npos) return 0;
  }
}

// Writes all of `bytes` to `fd`; the errno of the failure, or 0.
int writeWhole(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return n < 0 ? errno : EIO;
    bytes.remove_prefix(size_t(n));
  }
  return 0;
}

// A new private file holding `bytes`, made by `open` (which returns a
// descriptor or -1); the errno of the failure, or 0. A file whose write
// failed is removed.
template <typename Open>
int writeNew(const std::string& path, std::string_view bytes, Open open) {
  const int fd = open();
  if (fd < 0) return errno;
  int error = ::fchmod(fd, 0600) == 0 ? writeWhole(fd, bytes) : errno;
  if (::close(fd) != 0 && !error) error = errno;
  if (error) ::unlink(path.c_str());
  return error;
}

struct Written {
  std::string path;  // the file saved, when `error` is 0
  int error = 0;
  const char* what = "";  // the step that failed
};

// Puts `bytes` in place under the first free name of `stem` in `folder`.
// The bytes go to a hidden temporary file first, which is then linked
// under the name: a link never replaces a file, and no reader sees the
// file before it is whole. Where the file system has no links, the file
// is made under its name exclusively instead.
Written writeInPlace(const std::string& folder, const std::string& stem,
                     const std::string& extension, std::string_view bytes) {
  std::string temporary = folder + "/.quillon-XXXXXX";
  if (int error = writeNew(temporary, bytes, [&] { return ::mkstemp(temporary.data()); })) {
    return {{}, error, "could not write the file"};
  }
  Written written;
  for (int n = 1; n <= kMostNames; ++n) {
    const std::string path =
        folder + "/" + stem + (n > 1 ? "_" + std::to_string(n) : "") + "." + extension;
    if (::link(temporary.c_str(), path.c_str()) == 0) {
      written = {path, 0, ""};
      break;
    }
    if (errno == EEXIST) continue;
    const int linkError = errno;
    if (linkError != EPERM && linkError != ENOTSUP && linkError != EMLINK &&
        linkError != EOPNOTSUPP) {
      written = {{}, linkError, "could not name the file"};
      break;
    }
    const int error = writeNew(path, bytes, [&] {
      return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    });
    if (error == EEXIST) continue;
    written = {error ? std::string() : path, error, error ? "could not write the file" : ""};
    break;
  }
  if (written.path.empty() && !written.error) written = {{}, EEXIST, "found no free name"};
  ::unlink(temporary.c_str());
  return written;
}

}  // namespace

SnapshotFolder snapshotFolder(const Environment& environment) {
  const auto entry = environment.find(kVariable);
  if (entry == environment.end() || entry->second.empty()) return {};
  const std::string& value = entry->second;
  // A bundle setting the host did not fill in: the user chose no folder.
  if (value.find("${user_config.") != std::string::npos) return {};
  std::string path = value;
  if (value == "~" || value.starts_with("~/")) {
    const std::string home = homeFolder(environment);
    if (home.empty()) {
      return {{},
              std::string(kVariable) + " (" + quoted(value) +
                  ") starts with ~, and no home "
                  "folder is known"};
    }
    path = home + value.substr(1);
  } else if (value.starts_with("~")) {
    return {{},
            std::string(kVariable) + " (" + quoted(value) +
                ") names another user's home, which quillon-mcp does not expand; give an "
                "absolute path"};
  }
  if (!path.starts_with("/")) {
    return {{},
            std::string(kVariable) + " (" + quoted(value) +
                ") is not an absolute path, and the folder the host started quillon-mcp in "
                "is not one you chose"};
  }
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return {path, {}};
}

std::string saveSnapshot(const SnapshotFolder& folder, std::string_view body,
                         std::string_view mediaType) {
  if (!folder.problem.empty()) return "Not saved: " + folder.problem + ".";
  if (const int error = makeFolders(folder.path)) {
    return "Not saved to " + folder.path + ": the folder could not be made (" + errorText(error) +
           ").";
  }
  const Written written = writeInPlace(folder.path, stemNow(), extensionOf(body, mediaType), body);
  if (written.error) {
    return "Not saved to " + folder.path + ": " + written.what + " (" + errorText(written.error) +
           ").";
  }
  return "Saved at full resolution" + sidesOf(body) + " to " + written.path + ".";
}

}  // namespace quillon
