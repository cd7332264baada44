// The command line: lists, options per subcommand, messages and exit status
// of bad input, and the help that documents the statuses.
#include <gtest/gtest.h>

#include "CliArgs.h"
#include "CliTestSupport.h"

TEST(CliArgs, AddressListsExpandRangesInOrder) {
  EXPECT_EQ(ParseAddressList("1,2,5-7"), (std::vector<int>{1, 2, 5, 6, 7}));
  EXPECT_EQ(ParseAddressList(" 254 , 3 - 3"), (std::vector<int>{254, 3}));
  EXPECT_EQ(ParseAddressList("250-254").size(), 5u);
}

TEST(CliArgs, BadAddressListsNameTheItem) {
  const struct {
    const char* Text;
    const char* Says;
  } cases[] = {
      {"1,,2", "empty item"},        {"0", "outside 1..254"},
      {"255", "outside 1..254"},     {"7-3", "runs backwards"},
      {"1-x", "\"1-x\" is neither"}, {"1.5", "\"1.5\" is neither"},
      {"1-2-3", "is neither"},       {"", "empty item"},
      {"5,", "empty item"},
  };
  for (const auto& c : cases) {
    try {
      ParseAddressList(c.Text);
      ADD_FAILURE() << "accepted " << c.Text;
    } catch (const EUsage& e) {
      EXPECT_NE(std::string(e.what()).find(c.Says), std::string::npos)
          << c.Text << ": " << e.what();
    }
  }
}

TEST(CliArgs, PlantNumberListsAreCheckedStrictly) {
  EXPECT_NO_THROW(CheckPlantNumberList("100-102, 200"));
  EXPECT_NO_THROW(CheckPlantNumberList("65535"));
  EXPECT_THROW(CheckPlantNumberList("5-3"), EUsage);
  EXPECT_THROW(CheckPlantNumberList("0-4"), EUsage);
  EXPECT_THROW(CheckPlantNumberList("65536"), EUsage);
  EXPECT_THROW(CheckPlantNumberList("12;13"), EUsage);
  EXPECT_THROW(CheckPlantNumberList("1,,2"), EUsage);
}

TEST(CliArgs, OptionsGoBeforeOrAfterTheSubcommand) {
  const TCliOptions a = ParseArguments({"--demo", "poll", "--cycles", "3", "--json"});
  const TCliOptions b = ParseArguments({"poll", "--cycles=3", "--demo", "--json"});
  for (const TCliOptions* o : {&a, &b}) {
    EXPECT_EQ(o->Command, "poll");
    EXPECT_TRUE(o->Demo);
    EXPECT_TRUE(o->Json);
    ASSERT_TRUE(o->Cycles.has_value());
    EXPECT_EQ(*o->Cycles, 3);
  }
  const TCliOptions c = ParseArguments({"config", "show", "x.l07"});
  EXPECT_EQ(c.Command, "config show");
  EXPECT_EQ(c.Positional, std::vector<std::string>{"x.l07"});
  const TCliOptions d = ParseArguments({"--address", "3", "--addresses", "5-6", "id"});
  EXPECT_EQ(d.Addresses, (std::vector<int>{3, 5, 6}));
}

TEST(CliArgs, UsageErrorsExitTwoWithAHint) {
  const struct {
    std::vector<std::string> Args;
    const char* Says;
    const char* Hint;
  } cases[] = {
      {{"frobnicate"}, "unknown subcommand \"frobnicate\"", "lim07ctl --help"},
      {{}, "no subcommand", "lim07ctl --help"},
      {{"--demo", "id", "--cycles", "2"}, "--cycles is not an option of id", "lim07ctl id --help"},
      {{"--demo", "poll", "--cycles"}, "--cycles needs a value", "lim07ctl poll --help"},
      {{"--demo", "poll", "--cycles", "0"}, "outside 1..", "lim07ctl poll --help"},
      {{"--demo", "poll", "--bogus"}, "unknown option --bogus", "lim07ctl poll --help"},
      {{"--demo", "read", "--protocol", "can"}, "\"can\" is not native or modbus", "read --help"},
      {{"--demo", "--port", "/dev/null", "id"}, "exclude each other", "id --help"},
      {{"id", "--address", "1"}, "no line given", "id --help"},
      {{"--demo", "--json=1", "id"}, "--json takes no value", ""},
      {{"config"}, "config needs", ""},
      {{"--demo", "switch-protocol", "can"}, "native|modbus", "switch-protocol --help"},
      {{"--demo", "scan", "--start", "9", "--end", "8", "--out", "x.l07"},
       "--end 8 is below --start 9",
       "scan --help"},
      {{"--demo", "scan", "--end", "255", "--out", "x.l07"}, "--end", "scan --help"},
  };
  for (const auto& c : cases) {
    const TCliRun r = RunInProcess(c.Args);
    EXPECT_EQ(r.Status, ecUsage) << c.Says;
    EXPECT_NE(r.Err.find(c.Says), std::string::npos) << r.Err;
    EXPECT_NE(r.Err.find(c.Hint), std::string::npos) << r.Err;
    EXPECT_TRUE(r.Out.empty()) << r.Out;
  }
}

TEST(CliArgs, HelpDocumentsSubcommandsAndExitStatuses) {
  const TCliRun general = RunInProcess({"--help"});
  EXPECT_EQ(general.Status, ecOk);
  for (const std::string& name : CommandNames())
    EXPECT_NE(general.Out.find(name), std::string::npos) << name;
  for (const char* status : {"\n  0 ", "\n  1 ", "\n  2 ", "\n  3 ", "\n  4 ", "\n  130 "})
    EXPECT_NE(general.Out.find(status), std::string::npos) << status;
  for (const std::string& name : CommandNames()) {
    const TCliRun one = RunInProcess({name.substr(0, name.find(' ')), "--help"});
    EXPECT_EQ(one.Status, ecOk);
    if (name.find(' ') == std::string::npos) {
      EXPECT_NE(one.Out.find("Usage: lim07ctl"), std::string::npos) << name;
    }
  }
  EXPECT_NE(RunInProcess({"config", "new", "--help"}).Out.find("--device"), std::string::npos);
}
