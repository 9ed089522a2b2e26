// The snapshot folder: which values name a folder, and, on the built
// executable, what lands in it and what the caption says of it.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <thread>

#include "snapshot_save.hpp"
#include "support/fake_viewer.hpp"
#include "support/harness.hpp"
#include "support/pictures.hpp"

namespace quillon::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

TEST(SnapshotFolder, IsAnAbsolutePathOrTheHomeFolderOrNothing) {
  const passwd* user = getpwuid(getuid());
  ASSERT_TRUE(user && user->pw_dir);
  const std::string passwordHome = user->pw_dir;
  const struct {
    const char* value;  // nullptr: unset
    const char* home;   // nullptr: HOME unset
    std::string path;
    std::string problem;  // the start of it
  } cases[] = {
      {nullptr, "/h", "", ""},
      {"", "/h", "", ""},
      {"${user_config.snapshot_dir}", "/h", "", ""},
      {"/Users/ana/Pictures/Quillon/", "/h", "/Users/ana/Pictures/Quillon", ""},
      {"/", "/h", "/", ""},
      {"~", "/h", "/h", ""},
      {"~/Pictures/Quillon", "/Users/ana", "/Users/ana/Pictures/Quillon", ""},
      {"~/Pictures", nullptr, passwordHome + "/Pictures", ""},
      {"~/Pictures", "", passwordHome + "/Pictures", ""},
      {"~ana/Pictures", "/h", "",
       "QUILLON_SNAPSHOT_DIR (\"~ana/Pictures\") names another user's home"},
      {"Pictures/Quillon", "/h", "",
       "QUILLON_SNAPSHOT_DIR (\"Pictures/Quillon\") is not an absolute path"},
      {"./snapshots", "/h", "", "QUILLON_SNAPSHOT_DIR (\"./snapshots\") is not an absolute path"},
  };
  for (const auto& c : cases) {
    Environment environment;
    if (c.value) environment["QUILLON_SNAPSHOT_DIR"] = c.value;
    if (c.home) environment["HOME"] = c.home;
    const SnapshotFolder folder = snapshotFolder(environment);
    const std::string name = c.value ? c.value : "unset";
    EXPECT_EQ(folder.path, c.path) << name;
    EXPECT_TRUE(folder.problem.starts_with(c.problem) &&
                folder.problem.empty() == c.problem.empty())
        << name << ": " << folder.problem;
    EXPECT_EQ(folder.set(), !c.path.empty() || !c.problem.empty()) << name;
  }
}

// A folder of the test's own, removed afterwards.
struct TemporaryFolder {
  std::string path;
  TemporaryFolder() {
    char name[] = "/tmp/quillon-snapshot-dir.XXXXXX";
    path = mkdtemp(name);
  }
  ~TemporaryFolder() {
    std::error_code ignored;
    fs::permissions(path, fs::perms::owner_all, ignored);
    fs::remove_all(path, ignored);
  }
};

int modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

std::vector<std::string> filesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : fs::directory_iterator(folder, ignored)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The content of each answer the executable gave to `lines`, with
// QUILLON_SNAPSHOT_DIR set to `folder` and HOME to `home`.
std::vector<nlohmann::json> answers(int port, const std::string& folder, const std::string& home,
                                    const std::vector<std::string>& lines,
                                    const std::string& workingFolder = "/",
                                    const std::string& maxBytes = "1000000") {
  ChildProcess::Options options = quillonMCP(std::to_string(port));
  options.environment["QUILLON_SNAPSHOT_DIR"] = folder;
  options.environment["HOME"] = home;
  options.environment["QUILLON_SNAPSHOT_MAX_BYTES"] = maxBytes;
  options.arguments = {"/bin/sh", "-c", "cd \"$1\" && exec \"$0\"", QUILLON_MCP_EXE, workingFolder};
  ChildProcess child(options);
  std::string input;
  for (const std::string& line : lines) input += line + "\n";
  EXPECT_TRUE(child.write(input));
  child.closeInput();
  EXPECT_EQ(child.wait(60s).status, 0);
  std::vector<nlohmann::json> results;
  while (const std::optional<std::string> line = child.readLine()) {
    results.push_back(nlohmann::json::parse(*line)["result"]);
  }
  return results;
}

const std::string kCaption = "Snapshot of the Quillon 3D viewport. ";

// What the viewer sent is saved byte for byte, privately, under a name of
// its time, and the caption says where or why not; nothing is saved of a
// PDF export or an error, and the picture always reaches the host.
TEST(SnapshotFolder, KeepsTheViewersPictureAndSaysWhere) {
  const std::string png = pngOf(renderLike(640, 400));
  const std::string large = pngOf(renderLike(2880, 1800));  // sent again as a JPEG
  const std::string jpeg = "\xFF\xD8\xFF\xE0 no frame, not a picture a header can size";
  const std::string* served = &png;
  std::string type = "image/png";
  FakeViewer viewer([&](const FakeViewer::Request& request) {
    if (request.path == "/v1/pdf") return reply(200, "application/json", R"({"path":"/x.pdf"})");
    if (request.path == "/v1/state") return reply(500, "application/json", R"({"error":"no"})");
    return reply(200, type, *served);
  });
  TemporaryFolder home;
  const std::string blocker = home.path + "/a-file";
  std::ofstream(blocker) << "in the folder's place";
  // Where no one may write: a folder without write permission, or, for
  // root (CI), a file system that makes no folders at all.
  std::string unwritable = home.path + "/locked";
  fs::create_directory(unwritable);
  fs::permissions(unwritable, fs::perms::owner_read | fs::perms::owner_exec);
  std::string refusal = "could not write the file (Permission denied)";
  if (geteuid() == 0) {
#ifdef __linux__
    unwritable = "/sys/quillon-snapshots";
    refusal = "the folder could not be made (Operation not permitted)";
#else
    unwritable.clear();
#endif
  }
  const struct {
    const char* name;
    std::string value;  // QUILLON_SNAPSHOT_DIR
    const std::string* body;
    const char* contentType;
    std::string saved;     // where it lands; empty: nothing anywhere
    std::string sentence;  // the caption's, after the saved path when there is one
  } cases[] = {
      {"a new folder in a new folder", home.path + "/new/snaps", &png, "image/png",
       home.path + "/new/snaps",
       " (640\xC3\x97"
       "400) to "},
      {"the home folder", "~/Pictures/Quillon", &png, "image/png", home.path + "/Pictures/Quillon",
       " (640\xC3\x97"
       "400) to "},
      {"sent again as a JPEG, saved as it came", home.path, &large, "image/png", home.path,
       " (2880\xC3\x97"
       "1800) to "},
      {"a JPEG, by its bytes", home.path, &jpeg, "image/x-whatever", home.path, " to "},
      {"a relative path", "snaps", &png, "image/png", "",
       "Not saved: QUILLON_SNAPSHOT_DIR (\"snaps\") is not an absolute path, and the folder the "
       "host started quillon-mcp in is not one you chose."},
      {"a file in the folder's place", blocker + "/snaps", &png, "image/png", "",
       "Not saved to " + blocker + "/snaps: the folder could not be made (Not a directory)."},
      {"an unwritable folder", unwritable, &png, "image/png", "",
       "Not saved to " + unwritable + ": " + refusal + "."},
  };
  for (const auto& c : cases) {
    if (c.value.empty()) continue;  // root, not on Linux: nothing it cannot write
    SCOPED_TRACE(c.name);
    served = c.body;
    type = c.contentType;
    const std::vector<nlohmann::json> results =
        answers(viewer.port(), c.value, home.path, {callLine(1, "quillon_snapshot")}, home.path);
    ASSERT_EQ(results.size(), 1u);
    const nlohmann::json& content = results[0]["content"];
    ASSERT_EQ(content[0]["type"], "image") << "the host gets the picture whatever the folder did";
    const std::string caption = content[1]["text"];
    if (c.saved.empty()) {
      EXPECT_TRUE(caption.starts_with(kCaption + c.sentence)) << caption;
      continue;
    }
    const std::vector<std::string> files = filesIn(c.saved);
    const std::string extension = c.body == &jpeg ? "jpg" : "png";
    ASSERT_FALSE(files.empty());
    const std::string name = files.back();
    EXPECT_TRUE(std::regex_match(name, std::regex("quillon-\\d{8}-\\d{6}-\\d{3}\\." + extension)))
        << name;
    const std::string path = c.saved + "/" + name;
    EXPECT_EQ(readFile(path), *c.body) << "byte for byte as the viewer sent it";
    EXPECT_EQ(modeOf(path), 0600);
    if (c.value != home.path) {
      EXPECT_EQ(modeOf(c.saved), 0700);
    }
    EXPECT_TRUE(
        caption.starts_with(kCaption + "Saved at full resolution" + c.sentence + path + "."))
        << caption;
    fs::remove(path);
  }
  EXPECT_EQ(filesIn(home.path + "/Pictures/Quillon"), std::vector<std::string>{});
  EXPECT_EQ(modeOf(home.path + "/new"), 0700) << "each folder made is private";
  EXPECT_FALSE(fs::exists(home.path + "/snaps")) << "a relative path is not used";

  // A PDF export and an error answer save nothing.
  served = &png;
  type = "image/png";
  const std::vector<nlohmann::json> results = answers(
      viewer.port(), home.path + "/none", home.path,
      {callLine(1, "quillon_snapshot", R"({"format":"pdf"})"), callLine(2, "quillon_state")});
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(fs::exists(home.path + "/none"));
  // A picture too large for the host is still saved, and the refusal names it.
  const std::vector<nlohmann::json> refused =
      answers(viewer.port(), home.path + "/kept", home.path, {callLine(1, "quillon_snapshot")}, "/",
              "2000");
  ASSERT_EQ(refused.size(), 1u);
  ASSERT_EQ(filesIn(home.path + "/kept").size(), 1u);
  const std::string text = refused[0]["content"][0]["text"];
  EXPECT_EQ(refused[0]["isError"], true);
  EXPECT_TRUE(
      text.ends_with(" Saved at full resolution (640\xC3\x97"
                     "400) to " +
                     home.path + "/kept/" + filesIn(home.path + "/kept")[0] + "."))
      << text;
}

// Many snapshots at once, from two servers sharing the folder: every one is
// saved under a name of its own, none replaced.
TEST(SnapshotFolder, GivesEverySnapshotInABurstANameOfItsOwn) {
  const std::string png = pngOf(renderLike(64, 40));
  FakeViewer viewer([&](const FakeViewer::Request&) { return reply(200, "image/png", png); });
  TemporaryFolder folder;
  std::vector<std::string> calls;
  // Within what may wait at once behind a call in flight.
  for (int id = 1; id <= 30; ++id) calls.push_back(callLine(id, "quillon_snapshot"));
  std::vector<std::string> captions;
  std::thread other([&] { answers(viewer.port(), folder.path, folder.path, calls); });
  for (const nlohmann::json& result : answers(viewer.port(), folder.path, folder.path, calls)) {
    captions.push_back(result["content"].back()["text"]);
  }
  other.join();
  const std::vector<std::string> files = filesIn(folder.path);
  EXPECT_EQ(files.size(), 60u) << "no name taken twice, no temporary file left";
  for (const std::string& name : files) EXPECT_EQ(readFile(folder.path + "/" + name), png) << name;
  // One server's names sort in the order it saved them, _2 after the plain one.
  std::vector<std::string> saved;
  for (const std::string& caption : captions) {
    std::smatch path;
    ASSERT_TRUE(std::regex_search(caption, path, std::regex("/(quillon-[^/ ]+\\.png)\\.$")))
        << caption;
    saved.push_back(path[1]);
  }
  EXPECT_TRUE(std::is_sorted(saved.begin(), saved.end()));
  EXPECT_EQ(std::set<std::string>(saved.begin(), saved.end()).size(), saved.size());
}

}  // namespace
}  // namespace quillon::test
