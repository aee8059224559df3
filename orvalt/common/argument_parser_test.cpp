#include "orvalt/common/argument_parser.hpp"

#include <limits>
#include <sstream>
#include <stdexcept>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace orvalt::common {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Options {
  std::string family = "APRILTAG_36h11";
  double size = 0.15;
  int count = 1;
  std::vector<int> ids = {0, 1, 2, 3};
  std::vector<double> region = {0.2, 0.3};
  std::optional<std::string> bag;
  bool debug = true;
};

class ArgumentParserTest : public ::testing::Test {
 protected:
  ArgumentParserTest() : parser("prog", "A description.\n  kept   as written.") {
    parser.add_option("--tag_family", &options.family, "Tag family to use for detection.");
    parser.add_option("--tag_size_m", &options.size, "Size in meters.");
    parser.add_option("--calib_num", &options.count, "Repetitions");
    parser.add_option("--target_ids", &options.ids, "List of target tag IDs to detect.");
    parser.add_option("--pc_crop_region", &options.region, "Crop region");
    parser.add_option("--bag_dir", &options.bag, "Bag");
    parser.add_text_truth_option("--debug", &options.debug, "Enable debug mode");
  }

  std::optional<int> parse(const std::vector<std::string>& args) {
    out.str("");
    err.str("");
    return parser.parse(args, out, err);
  }

  Options options;
  ArgumentParser parser;
  std::ostringstream out;
  std::ostringstream err;
};

TEST_F(ArgumentParserTest, DefaultsStayWhenNothingIsGiven) {
  EXPECT_EQ(parse({}), std::nullopt);
  EXPECT_EQ(options.family, "APRILTAG_36h11");
  EXPECT_EQ(options.ids, (std::vector<int>{0, 1, 2, 3}));
  EXPECT_FALSE(options.bag.has_value());
  EXPECT_TRUE(options.debug);
}

TEST_F(ArgumentParserTest, ValuesReplaceDefaults) {
  EXPECT_EQ(parse({"--tag_family", "APRILTAG_25h9", "--tag_size_m=0.2", "--calib_num", "3",
                   "--target_ids", "7", "8", "--pc_crop_region", "-0.5", "0.5", "-1e-1",
                   "--bag_dir", "/tmp/b"}),
            std::nullopt);
  EXPECT_EQ(options.family, "APRILTAG_25h9");
  EXPECT_DOUBLE_EQ(options.size, 0.2);
  EXPECT_EQ(options.count, 3);
  EXPECT_EQ(options.ids, (std::vector<int>{7, 8}));
  EXPECT_EQ(options.region, (std::vector<double>{-0.5, 0.5, -0.1}));
  EXPECT_EQ(options.bag, std::optional<std::string>("/tmp/b"));
}

TEST_F(ArgumentParserTest, TextTruthIsFalseOnlyForAnEmptyValue) {
  for (const std::string text : {"False", "0", "no", "true"}) {
    options.debug = false;
    ASSERT_EQ(parse({"--debug", text}), std::nullopt) << text;
    EXPECT_TRUE(options.debug) << text;
  }
  ASSERT_EQ(parse({"--debug", ""}), std::nullopt);
  EXPECT_FALSE(options.debug);
  ASSERT_EQ(parse({"--debug="}), std::nullopt);
  EXPECT_FALSE(options.debug);
}

TEST_F(ArgumentParserTest, HelpListsUsageDescriptionAndOptionsAsWritten) {
  ASSERT_EQ(parse({"--calib_num", "x", "-h"}), 0);
  const std::string help = out.str();
  EXPECT_THAT(help, StartsWith("usage: prog [-h] [--tag_family TAG_FAMILY] [--tag_size_m "
                               "TAG_SIZE_M] [--calib_num CALIB_NUM]\n"));
  EXPECT_THAT(help, HasSubstr("[--target_ids TARGET_IDS [TARGET_IDS ...]]"));
  EXPECT_THAT(help, HasSubstr("\n\nA description.\n  kept   as written.\n\noptions:\n"
                              "  -h, --help            show this help message and exit\n"
                              "  --tag_family TAG_FAMILY\n"
                              "                        Tag family to use for detection.\n"));
  EXPECT_THAT(help, HasSubstr("  --debug DEBUG         Enable debug mode\n"));
  EXPECT_TRUE(err.str().empty());
}

TEST_F(ArgumentParserTest, MalformedCommandLinesEndWithStatusTwo) {
  const std::vector<std::vector<std::string>> bad = {
      {"--unknown", "1"}, {"--tag_size_m", "abc"}, {"--calib_num", "1.5"},
      {"--target_ids"},   {"--target_ids", "x"},   {"--tag_family"}};
  for (const auto& args : bad) {
    EXPECT_EQ(parse(args), 2) << args[0];
    EXPECT_THAT(err.str(), StartsWith("usage: prog [-h]")) << args[0];
    EXPECT_THAT(err.str(), HasSubstr("\nprog: error: ")) << args[0];
    EXPECT_TRUE(out.str().empty());
  }
  parse({"--unknown", "1"});
  EXPECT_THAT(err.str(), HasSubstr("prog: error: unrecognized arguments: --unknown 1"));
}

TEST_F(ArgumentParserTest, ARepeatedOptionTakesItsLastValue) {
  ASSERT_EQ(parse({"--calib_num", "1", "--calib_num", "2", "--target_ids", "1", "2", "--tag_family",
                   "a", "--target_ids", "7", "--tag_family=b", "--debug", "", "--debug", "x",
                   "--pc_crop_region", "1", "--pc_crop_region=2"}),
            std::nullopt)
      << err.str();
  EXPECT_EQ(options.count, 2);
  EXPECT_EQ(options.ids, (std::vector<int>{7}));
  EXPECT_EQ(options.region, (std::vector<double>{2.0}));
  EXPECT_EQ(options.family, "b");
  EXPECT_TRUE(options.debug);
}

TEST_F(ArgumentParserTest, NumbersAreDecimalOnly) {
  ASSERT_EQ(parse({"--calib_num", "+3", "--target_ids", "-1", "010", "--tag_size_m", "1e-1",
                   "--pc_crop_region", "inf", "-0.5"}),
            std::nullopt)
      << err.str();
  EXPECT_EQ(options.count, 3);
  EXPECT_EQ(options.ids, (std::vector<int>{-1, 10}));
  EXPECT_DOUBLE_EQ(options.size, 0.1);
  EXPECT_EQ(options.region[0], std::numeric_limits<double>::infinity());
  EXPECT_EQ(options.region[1], -0.5);
  const std::vector<std::vector<std::string>> bad = {
      {"--calib_num", "0x10"},        {"--calib_num", "0b1"},       {"--calib_num", "12abc"},
      {"--calib_num", "99999999999"}, {"--target_ids", "1", "0x2"}, {"--tag_size_m", "0x1p-3"},
      {"--tag_size_m", "0.1.2"},      {"--calib_num", ""}};
  for (const auto& args : bad) {
    EXPECT_EQ(parse(args), 2) << args[1];
    EXPECT_THAT(err.str(), HasSubstr("prog: error: argument " + args[0] + ": invalid ")) << args[1];
  }
  parse({"--calib_num", "0x10"});
  EXPECT_THAT(err.str(), HasSubstr("prog: error: argument --calib_num: invalid int value: '0x10'"));
  parse({"--tag_size_m", "abc"});
  EXPECT_THAT(err.str(), HasSubstr("argument --tag_size_m: invalid float value: 'abc'"));
}

TEST_F(ArgumentParserTest, ACheckRefusalIsAMalformedCommandLine) {
  parser.set_check([this] {
    if (options.count < 0) throw std::invalid_argument("--calib_num must be at least 0, got -1");
  });
  EXPECT_EQ(parse({"--calib_num", "0"}), std::nullopt);
  EXPECT_EQ(parse({"--calib_num", "-1"}), 2);
  EXPECT_THAT(err.str(), StartsWith("usage: prog [-h]"));
  EXPECT_THAT(err.str(), HasSubstr("\nprog: error: --calib_num must be at least 0, got -1\n"));
  EXPECT_EQ(parse({"--calib_num", "-1", "--help"}), 0);
}

TEST(ArgumentParserChoiceTest, TakesOnlyTheChoicesAndListsThem) {
  std::string engine = "opencv";
  int border = 1;
  ArgumentParser parser("prog", "");
  parser.add_choice_option("--detector", &engine, {"opencv", "apriltag"}, "Engine.");
  parser.add_choice_option("--tag_border_bits", &border, {1, 2}, "Border.");
  std::ostringstream out, err;
  EXPECT_EQ(parser.parse({"--detector", "apriltag", "--tag_border_bits", "2"}, out, err),
            std::nullopt);
  EXPECT_EQ(engine, "apriltag");
  EXPECT_EQ(border, 2);

  for (const auto& [args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{"--detector", "AprilTag"},
            "prog: error: argument --detector: invalid choice: 'AprilTag' (choose from 'opencv', "
            "'apriltag')\n"},
           {{"--tag_border_bits", "3"},
            "prog: error: argument --tag_border_bits: invalid choice: '3' (choose from '1', "
            "'2')\n"}}) {
    err.str("");
    EXPECT_EQ(parser.parse(args, out, err), 2);
    EXPECT_THAT(err.str(), HasSubstr(message));
  }
  EXPECT_EQ(engine, "apriltag");
  EXPECT_EQ(border, 2);
  EXPECT_THAT(parser.help(), HasSubstr("--detector {opencv,apriltag}"));
  EXPECT_THAT(parser.usage(), HasSubstr("[--tag_border_bits {1,2}]"));
}

TEST(ArgumentParserPositionalTest, PositionalIsRequired) {
  std::string bag;
  ArgumentParser parser("bag_info", "");
  parser.add_positional("bag", &bag, "A bag directory");
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(parser.parse({}, out, err), 2);
  EXPECT_THAT(err.str(), HasSubstr("bag_info: error: the following arguments are required: bag"));
  EXPECT_EQ(parser.parse({"/x"}, out, err), std::nullopt);
  EXPECT_EQ(bag, "/x");
  EXPECT_THAT(parser.help(), HasSubstr("positional arguments:\n  bag                   A bag"));
}

}  // namespace
}  // namespace orvalt::common
