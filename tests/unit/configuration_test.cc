#include "platform/configuration.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors/catalogue.h"
#include "platform/files.h"
#include "support/log_capture.h"
#include "support/scoped_env.h"

namespace {

namespace fs = std::filesystem;
using zva::config::ClientConfiguration;
using zva::config::ClientLibraryConfig;
using zvtest::CountOf;
using zvtest::LogCapture;

const char* const kEnvNames[] = {
    "HOME",
    "ZVA_API_TIMEOUT_DEADLINE",
    "ZV_KEEPALIVE_TIMEOUT",
    "ZV_LOADMODEL_TIMEOUT",
    "ZV_INFER_TIMEOUT",
    "ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE",
};

// The configuration with every field at its default.
ClientLibraryConfig Defaults() {
  ClientLibraryConfig c;
#define ZV_SET_DEFAULT(name, value) c.set_##name(value);
  ZV_CLIENT_CONFIG_FIELDS(ZV_SET_DEFAULT)
#undef ZV_SET_DEFAULT
  return c;
}

// Gives each test a fresh HOME and no configuration variables; restores the
// environment afterwards.
class ClientConfigurationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : kEnvNames) env_.Unset(name);
    home_ = env_.MakeHome();
  }

  void WriteConfigFile(const std::string& contents) {
    fs::create_directories(home_ + "/.zv");
    std::ofstream(home_ + "/.zv/zv_config.json") << contents;
  }

  ClientLibraryConfig Load() {
    ClientConfiguration config;
    config.InitConfiguration();
    return config.GetConfigProto();
  }

  zvtest::ScopedEnv env_;
  std::string home_;
};

MATCHER_P(ProtoEq, expected, "") {
  return arg.SerializeAsString() == expected.SerializeAsString();
}

TEST_F(ClientConfigurationTest, ConstructedEmpty) {
  ClientConfiguration config;
  EXPECT_EQ(config.GetConfigProto().ByteSizeLong(), 0u);
}

TEST_F(ClientConfigurationTest, DefaultDocumentMatchesFieldTable) {
  ClientLibraryConfig parsed;
  ASSERT_EQ(zva::util::DeserializeJSONToProtobufMessage(
                ClientConfiguration::DefaultConfigJson(), parsed),
            0);
  EXPECT_THAT(parsed, ProtoEq(Defaults()));
  EXPECT_EQ(parsed.max_receive_message_size(), 2147483647);
}

// The public header and the manual page give every key with its default; a
// key added or a default changed without them fails here.
TEST_F(ClientConfigurationTest, EveryKeyIsDocumentedWithItsDefault) {
  auto read = [](const char* path) {
    std::ifstream in(std::string(ZV_SOURCE_DIR) + "/" + path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  const std::string header = read("include/zva/zva_accelerator.h");
  const std::string manual = read("man/zv.1");
  ASSERT_FALSE(header.empty());
  ASSERT_FALSE(manual.empty());
#define ZV_EXPECT_DOCUMENTED(name, value)                                \
  EXPECT_THAT(header, ::testing::HasSubstr("//   " #name " = " #value)); \
  EXPECT_THAT(manual, ::testing::HasSubstr(".B " #name "\n" #value " "));
  ZV_CLIENT_CONFIG_FIELDS(ZV_EXPECT_DOCUMENTED)
#undef ZV_EXPECT_DOCUMENTED
}

TEST_F(ClientConfigurationTest, NoFileNoVariablesGivesDefaults) {
  LogCapture capture(0);
  ClientLibraryConfig c = Load();
  EXPECT_THAT(c, ProtoEq(Defaults()));
  EXPECT_EQ(c.operator_whitelist_override_version(), 0);
  EXPECT_EQ(capture.Text(), "");
}

TEST_F(ClientConfigurationTest, ConfigFilePathComesFromHome) {
  EXPECT_EQ(ClientConfiguration::ConfigFilePath(),
            home_ + "/.zv/zv_config.json");
  ::unsetenv("HOME");
  EXPECT_EQ(ClientConfiguration::ConfigFilePath(), "/.zv/zv_config.json");
}

TEST_F(ClientConfigurationTest, FileLayer) {
  struct Case {
    const char* file;
    ClientLibraryConfig expected;
  };
  ClientLibraryConfig infer100 = Defaults();
  infer100.set_infer_timeout(100);
  ClientLibraryConfig override7 = Defaults();
  override7.set_operator_whitelist_override_version(7);
  ClientLibraryConfig many = Defaults();
  many.set_connect_timeout(1);
  many.set_max_receive_message_size(4096);
  const Case cases[] = {
      {"{}", Defaults()},
      {R"({"unknown": 1, "also_unknown": {"x": [1, 2]}})", Defaults()},
      {R"({"infer_timeout": 100})", infer100},
      // 0 counts as empty and takes the default ...
      {R"({"ping_timeout": 0, "infer_timeout": 100})", infer100},
      // ... except for the override version, which keeps what it is given.
      {R"({"operator_whitelist_override_version": 7})", override7},
      {R"({"connect_timeout": 1, "maxReceiveMessageSize": 4096})", many},
  };
  for (const Case& c : cases) {
    WriteConfigFile(c.file);
    LogCapture capture(0);
    EXPECT_THAT(Load(), ProtoEq(c.expected)) << c.file;
    EXPECT_EQ(capture.Text(), "") << c.file;
  }
}

// A negative interval made the health check spin (thousands of keep-alives a
// second); values that overflow when the code adds to or doubles them did
// the same. Each falls back to its default, with one warning.
TEST_F(ClientConfigurationTest, UnusableValuesFallBackToDefaultsWithAWarning) {
  struct Case {
    const char* file;
    const char* key;
    const char* value;
    int32_t (ClientLibraryConfig::*field)() const;
    int32_t expected;
  };
  const Case cases[] = {
      {R"({"keep_alive_interval": -1})", "keep_alive_interval", "-1",
       &ClientLibraryConfig::keep_alive_interval, 2000},
      {R"({"max_exponential_backoff_time": -1})",
       "max_exponential_backoff_time", "-1",
       &ClientLibraryConfig::max_exponential_backoff_time, 25000},
      {R"({"initial_exponential_backoff_time": 2147483647})",
       "initial_exponential_backoff_time", "2147483647",
       &ClientLibraryConfig::initial_exponential_backoff_time, 25},
      {R"({"post_graph_stats_timeout": -5})", "post_graph_stats_timeout", "-5",
       &ClientLibraryConfig::post_graph_stats_timeout, 5000},
      {R"({"max_receive_message_size": -1})", "max_receive_message_size", "-1",
       &ClientLibraryConfig::max_receive_message_size, 2147483647},
  };
  for (const Case& c : cases) {
    WriteConfigFile(c.file);
    LogCapture capture(0);
    EXPECT_EQ((Load().*c.field)(), c.expected) << c.file;
    EXPECT_EQ(CountOf(capture.Text(), std::string("Invalid configuration "
                                                  "value ") +
                                          c.value + " for " + c.key +
                                          "; using the default " +
                                          std::to_string(c.expected) + "\n"),
              1)
        << capture.Text();
  }
}

TEST_F(ClientConfigurationTest, BadFileIsDiscardedWhole) {
  const char* bad_files[] = {
      R"({"infer_timeout": 100, )",
      R"({"infer_timeout": 100, "ping_timeout": "fast"})",
      R"({"infer_timeout": 100, "ping_timeout": 2147483648})",
      R"({"infer_timeout": 100, "ping_timeout": 1.5})",
      R"(["infer_timeout", 100])",
      "",
  };
  for (const char* file : bad_files) {
    WriteConfigFile(file);
    LogCapture capture(0);
    ClientLibraryConfig c = Load();
    EXPECT_THAT(c, ProtoEq(Defaults())) << file;
    EXPECT_EQ(c.infer_timeout(), 30000) << file;
    const std::string text = capture.Text();
    EXPECT_EQ(CountOf(text, "Error: Failure parsing JSON\n    Status: "), 1)
        << file;
    EXPECT_EQ(CountOf(text,
                      "] Invalid Configuration file format. Defaulting "
                      "to predefined values\n"),
              1)
        << file;
    EXPECT_LT(text.find("Failure parsing JSON"),
              text.find("Invalid Configuration file format"));
  }
}

TEST_F(ClientConfigurationTest, UnreadableFileGivesDefaultsSilently) {
  // A directory in place of the file opens but cannot be read.
  fs::create_directories(home_ + "/.zv/zv_config.json");
  LogCapture capture(0);
  EXPECT_THAT(Load(), ProtoEq(Defaults()));
  EXPECT_EQ(capture.Text(), "");
}

// A FIFO in place of the file blocked every accelerator's constructor until
// a writer came; an endless or huge file was read whole into memory.
TEST_F(ClientConfigurationTest,
       FileThatIsNoRegularFileOrTooLargeGivesDefaults) {
  const std::string path = home_ + "/.zv/zv_config.json";
  fs::create_directories(home_ + "/.zv");
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  EXPECT_THAT(Load(), ProtoEq(Defaults()));
  fs::remove(path);

  // Valid, but padded past 1 MiB.
  WriteConfigFile("{\"infer_timeout\": 100" + std::string(1 << 20, ' ') + "}");
  EXPECT_THAT(Load(), ProtoEq(Defaults()));
  WriteConfigFile("{\"infer_timeout\": 100" + std::string(1000, ' ') + "}");
  EXPECT_EQ(Load().infer_timeout(), 100);
}

TEST_F(ClientConfigurationTest, EnvironmentOverridesAfterFile) {
  WriteConfigFile(
      R"({"operator_whitelist_override_version": 7, "connect_timeout": 900,
          "keep_alive_timeout": 800, "reconnect_session_timeout": 700})");
  ::setenv("ZVA_API_TIMEOUT_DEADLINE", "1000", 1);
  ::setenv("ZV_INFER_TIMEOUT", "40000", 1);
  ::setenv("ZV_OPERATOR_WHITELIST_VERSION_OVERRIDE", "3", 1);
  LogCapture capture(0);
  ClientLibraryConfig c = Load();
  EXPECT_EQ(c.init_session_timeout(), 1000);
  EXPECT_EQ(c.load_model_timeout(), 1000);
  EXPECT_EQ(c.infer_timeout(), 40000);  // the specific variable wins
  EXPECT_EQ(c.unload_model_timeout(), 1000);
  EXPECT_EQ(c.list_model_timeout(), 1000);
  EXPECT_EQ(c.get_zva_info_timeout(), 1000);
  EXPECT_EQ(c.get_op_whitelist_timeout(), 1000);
  EXPECT_EQ(c.ping_timeout(), 1000);
  EXPECT_EQ(c.destroy_session_timeout(), 1000);
  // Untouched by the general deadline.
  EXPECT_EQ(c.connect_timeout(), 900);
  EXPECT_EQ(c.keep_alive_timeout(), 800);
  EXPECT_EQ(c.reconnect_session_timeout(), 700);
  EXPECT_EQ(c.keep_alive_interval(), 2000);
  EXPECT_EQ(c.post_graph_stats_timeout(), 5000);
  EXPECT_EQ(c.max_wait_for_server_timeout(), 5000);
  EXPECT_EQ(c.max_receive_message_size(), 2147483647);
  EXPECT_EQ(c.initial_exponential_backoff_time(), 25);
  EXPECT_EQ(c.max_exponential_backoff_time(), 25000);
  EXPECT_EQ(c.operator_whitelist_override_version(), 3);
  const std::string text = capture.Text();
  EXPECT_EQ(CountOf(text, "] Using ZV Infer API timeout value: 40000\n"), 1);
  EXPECT_EQ(CountOf(text, "] ZV whitelist override version: 3\n"), 1);
  EXPECT_EQ(CountOf(text, "KeepAlive"), 0);
  EXPECT_EQ(CountOf(text, "LoadModel"), 0);
}

TEST_F(ClientConfigurationTest, LoadModelVariableWinsOverGeneralDeadline) {
  ::setenv("ZVA_API_TIMEOUT_DEADLINE", "1000", 1);
  ::setenv("ZV_LOADMODEL_TIMEOUT", "60000", 1);
  ::setenv("ZV_KEEPALIVE_TIMEOUT", "300", 1);
  LogCapture capture(0);
  ClientLibraryConfig c = Load();
  EXPECT_EQ(c.load_model_timeout(), 60000);
  EXPECT_EQ(c.infer_timeout(), 1000);
  EXPECT_EQ(c.keep_alive_timeout(), 300);
  const std::string text = capture.Text();
  EXPECT_EQ(CountOf(text, "Using ZV KeepAlive API timeout value: 300\n"), 1);
  EXPECT_EQ(CountOf(text, "Using ZV LoadModel API timeout value: 60000\n"), 1);
  // Logged in the order the variables are applied.
  EXPECT_LT(text.find("KeepAlive"), text.find("LoadModel"));
}

TEST_F(ClientConfigurationTest, EnvironmentNumbersUseStrtolRules) {
  struct Case {
    const char* value;
    int expected;
  };
  const Case cases[] = {
      {"soon", 0},
      {"", 0},
      {"  250ms", 250},
      {"-7", -7},
      {"+12", 12},
      {"0", 0},
      // Beyond int32: clamped, never wrapped into a different number.
      {"99999999999", 2147483647},
      {"-99999999999", -2147483647 - 1},
      {"4294967396", 2147483647},
  };
  for (const Case& c : cases) {
    ::setenv("ZV_KEEPALIVE_TIMEOUT", c.value, 1);
    LogCapture capture(0);
    // Read with strtol rules; what the code cannot use takes the default.
    const bool usable = c.expected > 0 && c.expected < 1 << 30;
    EXPECT_EQ(Load().keep_alive_timeout(), usable ? c.expected : 2000)
        << c.value;
    EXPECT_EQ(CountOf(capture.Text(), "Using ZV KeepAlive API timeout value: " +
                                          std::to_string(c.expected) + "\n"),
              1)
        << c.value;
  }
}

TEST_F(ClientConfigurationTest, ZeroFromEnvironmentTakesTheDefault) {
  WriteConfigFile(R"({"ping_timeout": 0})");
  ::setenv("ZVA_API_TIMEOUT_DEADLINE", "0", 1);
  ClientLibraryConfig c = Load();
  EXPECT_EQ(c.ping_timeout(), 2000);
  EXPECT_EQ(c.infer_timeout(), 30000);
  EXPECT_EQ(c.connect_timeout(), 5000);
}

TEST_F(ClientConfigurationTest, SetBusinessApiTimeoutTouchesOnlyNineFields) {
  ClientConfiguration config;
  config.SetBusinessApiTimeout(123);
  ClientLibraryConfig expected;
  expected.set_init_session_timeout(123);
  expected.set_load_model_timeout(123);
  expected.set_infer_timeout(123);
  expected.set_unload_model_timeout(123);
  expected.set_list_model_timeout(123);
  expected.set_get_zva_info_timeout(123);
  expected.set_get_op_whitelist_timeout(123);
  expected.set_ping_timeout(123);
  expected.set_destroy_session_timeout(123);
  EXPECT_THAT(config.GetConfigProto(), ProtoEq(expected));
}

TEST_F(ClientConfigurationTest, SetEmptyFieldToDefaultKeepsSetFields) {
  ClientConfiguration config;
  config.set_infer_timeout(5);
  config.set_operator_whitelist_override_version(0);
  config.SetEmptyFieldToDefault();
  ClientLibraryConfig expected = Defaults();
  expected.set_infer_timeout(5);
  EXPECT_THAT(config.GetConfigProto(), ProtoEq(expected));
  // The conversion gives the same message as the copy.
  const ClientLibraryConfig& view = config;
  EXPECT_THAT(view, ProtoEq(expected));
}

TEST_F(ClientConfigurationTest, FileIsReadAgainForEveryConfiguration) {
  WriteConfigFile(R"({"infer_timeout": 100})");
  EXPECT_EQ(Load().infer_timeout(), 100);
  WriteConfigFile(R"({"infer_timeout": 200})");
  EXPECT_EQ(Load().infer_timeout(), 200);
}

TEST_F(ClientConfigurationTest, TextGivenDirectlyIsTakenLikeTheFile) {
  // The file exists but is not read: the text stands in for it.
  LogCapture capture;
  WriteConfigFile(R"({"infer_timeout": 100})");
  ::setenv("ZV_LOADMODEL_TIMEOUT", "7", 1);
  ClientConfiguration config;
  config.InitConfigurationFromText(
      R"({"infer_timeout": 300, "ping_timeout": -4})");
  ClientLibraryConfig expected = Defaults();
  expected.set_infer_timeout(300);
  expected.set_load_model_timeout(7);
  EXPECT_THAT(config.GetConfigProto(), ProtoEq(expected));

  ClientConfiguration bad;
  bad.InitConfigurationFromText("{");
  expected = Defaults();
  expected.set_load_model_timeout(7);
  EXPECT_THAT(bad.GetConfigProto(), ProtoEq(expected));
  EXPECT_EQ(CountOf(capture.Text(), "Invalid Configuration file format"), 1);
}

}  // namespace
