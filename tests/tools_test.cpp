// The published catalogue: what an assistant reads about each tool.
#include "tools.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace quillon {
namespace {

using ::testing::ElementsAre;

const JSON& definition(const std::string& name) {
  for (const JSON& tool : quillonToolDefinitions()) {
    if (tool["name"] == name) return tool;
  }
  static const JSON none;
  ADD_FAILURE() << "no tool " << name;
  return none;
}

std::vector<std::string> keys(const JSON& object) {
  std::vector<std::string> out;
  for (const auto& [key, value] : object.items()) out.push_back(key);
  return out;
}

TEST(ToolCatalogue, PublishesEightToolsInOrderAndIsBuiltOnce) {
  const JSON& tools = quillonToolDefinitions();
  std::vector<std::string> names;
  for (const JSON& tool : tools) {
    EXPECT_THAT(keys(tool), ElementsAre("name", "description", "inputSchema"));
    names.push_back(tool["name"]);
  }
  EXPECT_THAT(names, ElementsAre("quillon_state", "quillon_help", "quillon_open", "quillon_camera",
                                 "quillon_scene", "quillon_layers", "quillon_rendering",
                                 "quillon_snapshot"));
  EXPECT_EQ(&quillonToolDefinitions(), &tools);
}

TEST(ToolCatalogue, OnlyOpenRequiresAnArgument) {
  for (const JSON& tool : quillonToolDefinitions()) {
    const JSON& schema = tool["inputSchema"];
    EXPECT_EQ(schema["type"], "object");
    EXPECT_TRUE(schema["properties"].is_object());
    if (tool["name"] == "quillon_open") {
      EXPECT_EQ(schema["required"], JSON::array({"path"}));
    } else {
      EXPECT_FALSE(schema.contains("required")) << tool["name"];
    }
  }
  EXPECT_EQ(definition("quillon_state")["inputSchema"].dump(),
            R"({"type":"object","properties":{}})");
  EXPECT_EQ(definition("quillon_help")["inputSchema"].dump(),
            R"({"type":"object","properties":{}})");
}

TEST(ToolCatalogue, PropertiesListTheirArgumentsWithTypes) {
  struct Expected {
    std::string tool;
    std::vector<std::string> properties;
  };
  const std::vector<Expected> expected = {
      {"quillon_open", {"path"}},
      {"quillon_camera",
       {"position", "x", "y", "z", "target", "yaw", "pitch", "distance", "fov", "focalLengthMM",
        "exposure", "perspective", "orthoScale", "speedScale", "standardView", "action",
        "eyeHeight"}},
      {"quillon_scene", {"index", "name", "action", "slow"}},
      {"quillon_layers", {"all", "solo", "index", "name", "visible"}},
      {"quillon_rendering",
       {"style", "edges", "grid", "shadows", "ssao", "ambientIntensity", "lightingMode",
        "sunAzimuth", "sunElevation", "sunIntensity", "lightPosition", "lightIntensity",
        "lightGizmo", "backdropStyle", "backdropColor"}},
      {"quillon_snapshot", {"format", "path", "width", "height"}},
  };
  const std::set<std::string> integers = {"quillon_scene.index", "quillon_layers.index"};
  const std::set<std::string> undescribed = {"quillon_rendering.style",
                                             "quillon_rendering.lightingMode",
                                             "quillon_rendering.backdropStyle"};
  for (const Expected& e : expected) {
    const JSON& properties = definition(e.tool)["inputSchema"]["properties"];
    EXPECT_EQ(keys(properties), e.properties) << e.tool;
    for (const auto& [name, schema] : properties.items()) {
      const std::string where = e.tool + "." + name;
      const std::string type = schema["type"];
      std::vector<std::string> expectedKeys = {"type"};
      if (schema.contains("enum")) expectedKeys.push_back("enum");
      if (type == "array") {
        expectedKeys.push_back("items");
        EXPECT_EQ(schema["items"], JSON::parse(R"({"type":"number"})")) << where;
      }
      if (!undescribed.count(where)) expectedKeys.push_back("description");
      EXPECT_EQ(keys(schema), expectedKeys) << where;
      EXPECT_EQ(type == "integer", integers.count(where) == 1) << where;
    }
  }
  EXPECT_EQ(definition("quillon_layers")["inputSchema"]["properties"]["solo"]["type"], "string");
}

TEST(ToolCatalogue, LookupIsExact) {
  EXPECT_TRUE(isCataloguedTool("quillon_snapshot"));
  EXPECT_FALSE(isCataloguedTool("Quillon_snapshot"));
  EXPECT_FALSE(isCataloguedTool("quillon_snapshot "));
  EXPECT_FALSE(isCataloguedTool(""));
  EXPECT_FALSE(isCataloguedTool(std::string_view("quillon_state\0", 14)));
}

}  // namespace
}  // namespace quillon
