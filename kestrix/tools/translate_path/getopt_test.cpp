#include "kestrix/tools/translate_path/getopt.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Parsed {
  std::vector<std::string> steps;  // "c=value" for each option, then the final return
  int optindAtEnd = 0;
};

// Runs the parser over argv until -1 or an error, from a clean state.
Parsed parse(std::vector<std::string> args, const char* optstring = "h:p:f:H:O:") {
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const int argc = static_cast<int>(args.size());
  optind = 1;
  Parsed out;
  for (;;) {
    const int c = getopt(argc, argv.data(), optstring);
    if (c == -1) {
      out.steps.push_back("end");
      break;
    }
    if (c == '?' || c == ':') {
      out.steps.push_back(std::string("err") + static_cast<char>(c));
      // Drain so the next case starts with no cluster in progress.
      while (getopt(argc, argv.data(), optstring) != -1) {
      }
      break;
    }
    out.steps.push_back(std::string(1, static_cast<char>(c)) + "=" + (optarg ? optarg : "(null)"));
  }
  out.optindAtEnd = optind;
  return out;
}

using Steps = std::vector<std::string>;

TEST(Getopt, SeparateGluedAndSlashForms) {
  EXPECT_EQ(parse({"cmd", "-p", "/a b", "-h", "srv"}).steps, (Steps{"p=/a b", "h=srv", "end"}));
  EXPECT_EQ(parse({"cmd", "-pabc"}).steps, (Steps{"p=abc", "end"}));
  EXPECT_EQ(parse({"cmd", "/p", "/x/y"}).steps, (Steps{"p=/x/y", "end"}));
  EXPECT_EQ(parse({"cmd", "-p", "-h"}).steps, (Steps{"p=-h", "end"}));
}

TEST(Getopt, ErrorsGiveQuestionMark) {
  EXPECT_EQ(parse({"cmd", "-p"}).steps, (Steps{"err?"}));      // value missing
  EXPECT_EQ(parse({"cmd", "-x", "v"}).steps, (Steps{"err?"}));  // unknown letter
  EXPECT_EQ(parse({"cmd", "-:"}).steps, (Steps{"err?"}));       // ':' is never an option
  EXPECT_EQ(parse({"cmd", "/"}).steps, (Steps{"err?"}));        // the end never occurs
}

TEST(Getopt, ErrorModeZeroReturnsTheCharacter) {
  opterr = 0;
  EXPECT_EQ(parse({"cmd", "-x"}).steps, (Steps{"x=(null)", "end"}));
  EXPECT_EQ(parse({"cmd", "-:"}).steps, (Steps{"err:"}));
  EXPECT_EQ(parse({"cmd", "-p"}).steps, (Steps{"p=(null)", "end"}));
  opterr = 1;
}

TEST(Getopt, OptionsEndAtDashesOrFirstOperand) {
  Parsed dashdash = parse({"cmd", "--", "-p", "x"});
  EXPECT_EQ(dashdash.steps, (Steps{"end"}));
  EXPECT_EQ(dashdash.optindAtEnd, 2);  // "--" is consumed
  Parsed dash = parse({"cmd", "-", "-p", "x"});
  EXPECT_EQ(dash.steps, (Steps{"end"}));
  EXPECT_EQ(dash.optindAtEnd, 2);
  Parsed operand = parse({"cmd", "-h", "s", "word", "-p", "x"});
  EXPECT_EQ(operand.steps, (Steps{"h=s", "end"}));
  EXPECT_EQ(operand.optindAtEnd, 3);  // the operand is not consumed
}

TEST(Getopt, ClustersOfFlagOptions) {
  EXPECT_EQ(parse({"cmd", "-abc", "-d"}, "abcd").steps,
            (Steps{"a=(null)", "b=(null)", "c=(null)", "d=(null)", "end"}));
  EXPECT_EQ(parse({"cmd", "-av", "val"}, "av:").steps, (Steps{"a=(null)", "v=val", "end"}));
  EXPECT_EQ(parse({"cmd", "-axb"}, "ab").steps, (Steps{"a=(null)", "err?"}));
}

}  // namespace
