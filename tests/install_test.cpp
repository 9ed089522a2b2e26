// What a user installs and pastes must describe the server that is built: the
// MCP Bundle's manifest, and the host configurations in README.md.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "proxy.hpp"
#include "support/harness.hpp"

namespace quillon::test {
namespace {

using JSON = nlohmann::json;

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

  // A host hands the server the port through a user_config field: a key that
  // names no field would leave the setting without effect.
  const std::string port = manifest["server"]["mcp_config"]["env"].value("QUILLON_API_PORT", "");
  const std::string prefix = "${user_config.";
  ASSERT_TRUE(port.starts_with(prefix) && port.ends_with("}")) << port;
  const std::string key = port.substr(prefix.size(), port.size() - prefix.size() - 1);
  const JSON field = manifest["user_config"].value(key, JSON::object());
  EXPECT_EQ(apiBaseURL({}), "http://127.0.0.1:" + field.value("default", JSON()).dump());
}

TEST(Install, ReadmeHostConfigurationsStartTheInstalledServer) {
  const std::string readme = readFile(QUILLON_README);
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
    EXPECT_EQ(server.value("command", ""), QUILLON_INSTALLED_EXE);
    EXPECT_EQ(server.value("env", JSON::object()).value("QUILLON_API_PORT", ""), "17950");
    EXPECT_EQ(server.value("type", vscode ? "" : "stdio"), "stdio");
  }
  for (const std::string& block : tomlBlocks) {
    SCOPED_TRACE(block);
    for (const std::string line :
         {"[mcp_servers.quillon]\n", "command = \"" QUILLON_INSTALLED_EXE "\"\n",
          "env = { QUILLON_API_PORT = \"17950\" }\n"}) {
      EXPECT_NE(("\n" + block).find("\n" + line), std::string::npos) << "missing line " << line;
    }
  }
}

}  // namespace
}  // namespace quillon::test
