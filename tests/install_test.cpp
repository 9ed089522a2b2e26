// What a user installs and pastes must describe the server that is built: the
// MCP Bundle's manifest, and every host configuration and command in
// README.md, each read the way its host reads it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "mcp_client.hpp"
#include "proxy.hpp"
#include "snapshot_fit.hpp"
#include "support/harness.hpp"

namespace quillon::test {
namespace {

using JSON = nlohmann::json;
namespace fs = std::filesystem;

// The bodies of the README's fenced blocks marked ```language.
std::vector<std::string> fencedBlocks(const std::string& markdown, const std::string& language) {
  std::vector<std::string> blocks;
  const std::string opening = "```" + language + "\n";
  for (size_t at = markdown.find(opening); at != std::string::npos;
       at = markdown.find(opening, at)) {
    at += opening.size();
    const size_t closing = markdown.find("```", at);
    blocks.push_back(markdown.substr(at, closing - at));
    at = closing;
  }
  return blocks;
}

// What a user types: the indented code lines, and the code spans of tables.
std::vector<std::string> commandLines(const std::string& markdown) {
  std::vector<std::string> commands;
  std::istringstream lines(markdown);
  const std::regex span("`([^`]+)`");
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("|")) {
      for (std::sregex_iterator at(line.begin(), line.end(), span), end; at != end; ++at) {
        commands.push_back((*at)[1]);
      }
    } else if (line.starts_with("    ")) {
      commands.push_back(line.substr(line.find_first_not_of(' ')));
    }
  }
  return commands;
}

// Where the README's snippets may start the server: Homebrew's, on Apple
// Silicon and on Intel, and the source build's (`cmake --install build
// --prefix P`, which the archive's instructions use too), which must be in
// neither of Homebrew's prefixes, so that the installs never collide.
const std::vector<std::string> kBrewPrefixes = {"/opt/homebrew", "/usr/local"};

std::string sourcePrefix(const std::string& readme) {
  std::set<std::string> prefixes;
  for (const std::string& command : commandLines(readme)) {
    std::smatch install;
    if (std::regex_search(command, install,
                          std::regex("cmake --install build( --prefix (\\S+))?"))) {
      prefixes.insert(install[2]);
    }
  }
  return prefixes.size() == 1 ? *prefixes.begin() : "";
}

std::set<std::string> documentedPaths(const std::string& readme) {
  std::set<std::string> paths = {sourcePrefix(readme) + "/bin/quillon-mcp"};
  for (const std::string& prefix : kBrewPrefixes) paths.insert(prefix + "/bin/quillon-mcp");
  return paths;
}

// A host's entry for the server starts the installed binary, with no
// arguments, over stdio, with no environment but the port.
void expectStartsTheServer(const JSON& entry, const std::set<std::string>& paths) {
  EXPECT_TRUE(paths.contains(entry.value("command", ""))) << entry.value("command", "");
  EXPECT_EQ(entry.value("args", JSON::array()), JSON::array());
  EXPECT_EQ(entry.value("type", "stdio"), "stdio");
  const JSON environment = entry.value("env", JSON::object());
  for (const auto& [name, value] : environment.items()) {
    // The snapshot folder reaches the server as written: it, not the
    // shell, expands "~".
    const JSON expected = name == "QUILLON_SNAPSHOT_DIR" ? "~/Pictures/Quillon" : "17950";
    EXPECT_TRUE(name == "QUILLON_API_PORT" || name == "QUILLON_SNAPSHOT_DIR") << name;
    EXPECT_EQ(value, expected) << name;
  }
}

// The server entry a host makes of the arguments it was given, read as each
// one's --help and a real run show: Claude Code's --env takes every K=V word
// up to the next option, and Codex CLI and Copilot CLI want the command
// after "--", with the name alone before it.
JSON entryFrom(const std::string& program, const std::vector<std::string>& arguments) {
  if (program == "code") {
    const bool added = arguments.size() == 2 && arguments[0] == "--add-mcp";
    return added ? JSON::parse(arguments[1], nullptr, false) : JSON();
  }
  if (program == "open") {
    // A "+" in the Base64 would reach Cursor as a space.
    const std::regex link(
        "cursor://anysphere\\.cursor-deeplink/mcp/install\\?name=([a-z-]+)&config=([A-Za-z0-9/]+=*)");
    std::smatch parts;
    if (arguments.size() != 1 || !std::regex_match(arguments[0], parts, link)) return JSON();
    JSON entry = JSON::parse(demo::decodeBase64(parts[2]), nullptr, false);
    if (entry.is_object()) entry["name"] = parts[1];
    return entry;
  }
  if (arguments.size() < 2 || arguments[0] != "mcp" || arguments[1] != "add") return JSON();
  const bool afterDashes = program == "codex" || program == "copilot";
  JSON entry = {{"env", JSON::object()}};
  std::vector<std::string> positional;
  bool dashes = false;
  for (size_t i = 2; i < arguments.size(); ++i) {
    const std::string& word = arguments[i];
    if (dashes || !word.starts_with("-")) {
      positional.push_back(word);
    } else if (word == "--") {
      EXPECT_TRUE(!afterDashes || positional.size() == 1) << "the name alone goes before --";
      dashes = true;
    } else if (word == "--env" || (word == "-e" && !afterDashes)) {
      do {
        const std::string setting = i + 1 < arguments.size() ? arguments[++i] : "";
        const size_t equals = setting.find('=');
        EXPECT_NE(equals, std::string::npos) << word << " takes '" << setting << "' for a variable";
        if (equals != std::string::npos) entry["env"][setting.substr(0, equals)] = setting.substr(equals + 1);
      } while (program == "claude" && i + 1 < arguments.size() && !arguments[i + 1].starts_with("-"));
    } else {
      EXPECT_TRUE(!afterDashes && (word == "--scope" || word == "-s"))
          << program << " has no option " << word;
      ++i;
    }
  }
  EXPECT_TRUE(dashes || !afterDashes) << program << " takes the command after --";
  if (positional.size() < 2) return JSON();
  entry["name"] = positional[0];
  entry["command"] = positional[1];
  entry["args"] = std::vector<std::string>(positional.begin() + 2, positional.end());
  return entry;
}

// A folder of stand-ins for the hosts' programs, each writing the arguments
// it was called with to $QUILLON_RECORD, and for brew, whose --prefix is
// $QUILLON_BREW_PREFIX.
struct Shell {
  std::string dir;
  Shell() {
    char name[] = "/tmp/quillon-install-test.XXXXXX";
    dir = mkdtemp(name);
    for (const std::string program :
         {"claude", "codex", "gemini", "copilot", "code", "open", "brew"}) {
      std::ofstream(dir + "/" + program)
          << (program == "brew"
                  ? "#!/bin/sh\n[ \"$*\" = --prefix ] && echo \"$QUILLON_BREW_PREFIX\"\n"
                  : "#!/bin/sh\n{ basename \"$0\"; printf '%s\\n' \"$@\"; } "
                    ">\"$QUILLON_RECORD\"\n");
      chmod((dir + "/" + program).c_str(), 0755);
    }
  }
  ~Shell() { fs::remove_all(dir); }
  // Runs `command` with /bin/sh in `folder`; its exit status.
  int run(const std::string& command, const std::string& folder,
          const std::string& brewPrefix = "") {
    ChildProcess::Options options;
    options.arguments = {"/bin/sh", "-c", "cd \"$0\" && " + command, folder};
    options.environment = {{"PATH", dir + ":/usr/bin:/bin"},
                           {"QUILLON_RECORD", dir + "/record"},
                           {"QUILLON_BREW_PREFIX", brewPrefix}};
    ChildProcess shell(options);
    shell.closeInput();
    return shell.wait().status;
  }
};

TEST(Install, BundleManifestPublishesWhatTheServerDoes) {
  const JSON manifest = JSON::parse(readFile(QUILLON_MANIFEST));
  ChildProcess server(quillonMCP());
  server.write(R"({"jsonrpc":"2.0","id":1,"method":"initialize"})"
               "\n"
               R"({"jsonrpc":"2.0","id":2,"method":"tools/list"})"
               "\n");
  const JSON initialized = JSON::parse(server.readLine().value_or("{}"));
  const JSON listed = JSON::parse(server.readLine().value_or("{}"));
  EXPECT_EQ(manifest["version"], initialized["result"]["serverInfo"]["version"]);
  JSON published = JSON::array();
  for (const JSON& tool : listed["result"]["tools"]) {
    published.push_back({{"name", tool["name"]}, {"description", tool["description"]}});
  }
  EXPECT_EQ(manifest["tools"], published);
  // The licence the bundle declares is the repository's.
  const std::string licence = readFile(fs::path(QUILLON_README).parent_path() / "LICENSE");
  EXPECT_TRUE(licence.starts_with(manifest.value("license", "?") + " License\n"))
      << licence.substr(0, 40);

  // A host hands the server each setting through a user_config field, whose
  // default is the server's own: a key that names no field would leave the
  // setting without effect, another default would change it.
  const Environment none;
  const std::pair<const char*, std::string> settings[] = {
      {"QUILLON_API_PORT", apiBaseURL(none).substr(apiBaseURL(none).rfind(':') + 1)},
      {"QUILLON_SNAPSHOT_MAX_BYTES", std::to_string(snapshotLimits(none).maxBytes)},
      {"QUILLON_SNAPSHOT_FORMAT", "\"auto\""},
      {"QUILLON_SNAPSHOT_DIR", "\"\""},
  };
  for (const auto& [variable, serverDefault] : settings) {
    const std::string value = manifest["server"]["mcp_config"]["env"].value(variable, "");
    const std::string prefix = "${user_config.";
    ASSERT_TRUE(value.starts_with(prefix) && value.ends_with("}")) << variable << ": " << value;
    const std::string key = value.substr(prefix.size(), value.size() - prefix.size() - 1);
    EXPECT_EQ(manifest["user_config"].value(key, JSON::object()).value("default", JSON()).dump(),
              serverDefault)
        << variable;
  }
}

TEST(Install, SourceInstallStaysOutOfHomebrew) {
  const std::string prefix = sourcePrefix(readFile(QUILLON_README));
  ASSERT_TRUE(prefix.starts_with("/")) << "every cmake --install names one --prefix: " << prefix;
  for (const std::string& brew : kBrewPrefixes) {
    EXPECT_FALSE((prefix + "/").starts_with(brew + "/")) << prefix << " is Homebrew's " << brew;
  }
}

TEST(Install, ReadmeHostConfigurationsStartTheInstalledServer) {
  const std::string readme = readFile(QUILLON_README);
  const std::set<std::string> paths = documentedPaths(readme);
  const std::vector<std::string> jsonBlocks = fencedBlocks(readme, "json");
  const std::vector<std::string> tomlBlocks = fencedBlocks(readme, "toml");
  EXPECT_GE(jsonBlocks.size(), 3u);
  EXPECT_GE(tomlBlocks.size(), 1u);
  for (const std::string& block : jsonBlocks) {
    SCOPED_TRACE(block);
    const JSON config = JSON::parse(block, nullptr, false);
    ASSERT_FALSE(config.is_discarded());
    // VS Code lists servers under "servers" and wants the transport named;
    // the other hosts read "mcpServers".
    const bool vscode = config.contains("servers");
    const JSON server = config.value(vscode ? "servers" : "mcpServers", JSON::object())
                            .value("quillon", JSON::object());
    expectStartsTheServer(server, paths);
    EXPECT_TRUE(server.contains("env"));
    EXPECT_EQ(server.value("type", vscode ? "" : "stdio"), "stdio");
  }
  for (const std::string& block : tomlBlocks) {
    SCOPED_TRACE(block);
    std::smatch command;
    EXPECT_TRUE(("\n" + block).find("\n[mcp_servers.quillon]\n") != std::string::npos);
    ASSERT_TRUE(std::regex_search(block, command, std::regex("(^|\n)command = \"([^\"]*)\"\n")));
    expectStartsTheServer({{"command", command[2]}}, paths);
    EXPECT_NE(block.find("\nenv = { QUILLON_API_PORT = \"17950\" }\n"), std::string::npos);
  }
}

// Each host's command, run by a shell with Homebrew on either kind of Mac, and
// read as that host reads it.
TEST(Install, ReadmeHostCommandsAddTheInstalledServer) {
  const std::string readme = readFile(QUILLON_README);
  const std::set<std::string> paths = documentedPaths(readme);
  const std::vector<std::string> starts = {"claude mcp add", "codex mcp add", "gemini mcp add",
                                           "copilot mcp add", "code --add-mcp", "open "};
  std::set<std::string> hosts;
  Shell shell;
  for (const std::string& command : commandLines(readme)) {
    const auto start = std::find_if(starts.begin(), starts.end(),
                                    [&](const std::string& s) { return command.starts_with(s); });
    if (start == starts.end()) continue;
    hosts.insert(*start);
    for (const std::string& brew : kBrewPrefixes) {
      SCOPED_TRACE(command + "\n  with Homebrew in " + brew);
      fs::remove(shell.dir + "/record");
      ASSERT_EQ(shell.run(command, shell.dir, brew), 0);
      std::istringstream record(readFile(shell.dir + "/record"));
      std::string program;
      std::getline(record, program);
      std::vector<std::string> arguments;
      for (std::string argument; std::getline(record, argument);) arguments.push_back(argument);
      const JSON entry = entryFrom(program, arguments);
      ASSERT_TRUE(entry.is_object());
      EXPECT_EQ(entry.value("name", ""), "quillon");
      expectStartsTheServer(entry, paths);
    }
  }
  EXPECT_EQ(hosts.size(), starts.size()) << "a host's command is missing";
}

// SHA256SUMS lists the bundle and the archive: each check line must pass with
// only its own file downloaded, and fail when that file is not the one listed.
TEST(Install, ReadmeChecksumLinesCheckTheOneFileDownloaded) {
  Shell shell;
  if (shell.run("command -v shasum", shell.dir) != 0) GTEST_SKIP() << "no shasum here";
  const std::vector<std::string> files = {"quillon-mcp-1.3.0-darwin-universal.mcpb",
                                          "quillon-mcp-1.3.0-darwin-universal.tar.gz"};
  const std::string folder = shell.dir + "/download";
  fs::create_directory(folder);
  for (const std::string& file : files) std::ofstream(folder + "/" + file) << file;
  ASSERT_EQ(shell.run("shasum -a 256 " + files[0] + " " + files[1] + " >SHA256SUMS", folder), 0);
  std::set<std::string> checked;
  for (const std::string& command : commandLines(readFile(QUILLON_README))) {
    if (!command.starts_with("grep ") || command.find("SHA256SUMS | shasum") == std::string::npos)
      continue;
    SCOPED_TRACE(command);
    int passed = 0;
    for (size_t kept = 0; kept < files.size(); ++kept) {
      const std::string other = folder + "/" + files[1 - kept];
      fs::rename(other, other + ".away");
      if (shell.run(command, folder) == 0) {
        ++passed;
        checked.insert(files[kept]);
        std::ofstream(folder + "/" + files[kept], std::ios::app) << "changed";
        EXPECT_NE(shell.run(command, folder), 0) << "a changed " << files[kept] << " passes";
        std::ofstream(folder + "/" + files[kept]) << files[kept];
      }
      fs::rename(other + ".away", other);
    }
    EXPECT_EQ(passed, 1) << "the line checks one file";
  }
  EXPECT_EQ(checked, std::set<std::string>(files.begin(), files.end()));
}

}  // namespace
}  // namespace quillon::test
