// The real program: command line, system log, reading the parameter file.
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <syslog.h>

#include "tests/harness.h"

namespace {

const std::string usage_tail = " <config-file> {<parameter-name> pkey|cert}...\n";
const std::string program = CREDGRAFT_FIXTURE_PROGRAM;

struct cli_fixture : program_fixture {
  cli_fixture() : program_fixture("KEY\n", "CERT\n") { write_file(file, "A=1\nKEY=old\n"); }
  run_result run(const std::vector<std::string>& args) { return run_credgraft(args, options); }
};

TEST(command_line, wrong_argument_counts_print_usage_and_log_nothing) {
  cli_fixture f;
  const std::vector<std::vector<std::string>> wrong{
      {}, {f.file}, {f.file, "KEY"}, {f.file, "KEY", "pkey", "CERT"}};
  for (const auto& args : wrong) {
    const run_result result = f.run(args);
    EXPECT_EQ(result.status, 4) << args.size();
    EXPECT_EQ(result.error, "Usage: " + program + usage_tail);
    EXPECT_TRUE(result.log.empty()) << result.log.front();  // not even openlog
  }
  EXPECT_EQ(read_file(f.file), "A=1\nKEY=old\n");

  // An exec with no arguments at all still gets a usable usage line.
  if (under_valgrind()) return;  // valgrind itself needs arguments
  f.options.no_arguments = true;
  const run_result bare = f.run({});
  EXPECT_EQ(bare.status, 4);
  EXPECT_EQ(bare.error, "Usage: credgraft" + usage_tail);
  EXPECT_TRUE(bare.log.empty());
}

TEST(command_line, bad_kind_word_after_its_notice) {
  cli_fixture f;
  // Kind words are compared with their letter case.
  const run_result upper = f.run({f.file, "KEY", "PKEY"});
  EXPECT_EQ(upper.status, 4);
  EXPECT_EQ(upper.error, "Usage: " + program + usage_tail);
  EXPECT_EQ(upper.notices(), std::vector<std::string>{"For " + f.file + " replacing PKEY in KEY"});
  ASSERT_FALSE(upper.log.empty());
  EXPECT_EQ(upper.log.back(), "closelog");

  // Every notice up to and including the bad pair's, then the usage text.
  const run_result third = f.run({f.file, "A", "pkey", "B", "cert", "C", "crt", "D", "pkey"});
  EXPECT_EQ(third.status, 4);
  EXPECT_EQ(third.error, "Usage: " + program + usage_tail);
  EXPECT_EQ(third.notices(), (std::vector<std::string>{"For " + f.file + " replacing pkey in A",
                                                       "For " + f.file + " replacing cert in B",
                                                       "For " + f.file + " replacing crt in C"}));
  EXPECT_EQ(read_file(f.file), "A=1\nKEY=old\n");
}

TEST(command_line, log_identity_and_one_notice_per_pair) {
  cli_fixture f;
  const run_result result = f.run({f.file, "KEY", "pkey", "KEY", "cert", "% s%n", "cert"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.error, "");
  const std::vector<std::string> expected{
      "openlog ident=credgraft option=" + std::to_string(LOG_PID | LOG_NDELAY) +
          " facility=" + std::to_string(LOG_DAEMON),
      "syslog priority=" + std::to_string(LOG_NOTICE) + " message=For " + f.file +
          " replacing pkey in KEY",
      "syslog priority=" + std::to_string(LOG_NOTICE) + " message=For " + f.file +
          " replacing cert in KEY",
      // A name is data, never a format.
      "syslog priority=" + std::to_string(LOG_NOTICE) + " message=For " + f.file +
          " replacing cert in % s%n",
      // The new content is on stable storage before the run ends.
      "fdatasync", "closelog"};
  // The writes, truncations and allocations of the file are the window
  // tests' business.
  std::vector<std::string> log;
  for (const std::string& line : result.log) {
    const std::string call = line.substr(0, line.find(' '));
    if (call != "pwrite" && call != "write" && call != "ftruncate" && call != "fallocate") {
      log.push_back(line);
    }
  }
  EXPECT_EQ(log, expected);
}

TEST(command_line, unreadable_parameter_file) {
  cli_fixture f;
  const std::string missing = f.dir / "missing.conf";
  const run_result result = f.run({missing, "KEY", "pkey"});
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.error, "Cannot read " + missing + "\n");
  EXPECT_EQ(result.notices().size(), 1u);
  EXPECT_FALSE(std::filesystem::exists(missing));

  // A directory opens but cannot be read.
  const run_result directory = f.run({f.dir.path, "KEY", "pkey"});
  EXPECT_EQ(directory.status, 2);
  EXPECT_EQ(directory.error, "Cannot read " + f.dir.path + "\n");
}

TEST(command_line, out_of_memory_for_the_table_touches_nothing) {
  if (under_valgrind()) GTEST_SKIP() << "valgrind replaces malloc";
#ifdef CREDGRAFT_TESTS_SANITIZED
  GTEST_SKIP() << "the sanitizer replaces malloc";
#endif
  cli_fixture f;
  // 500 pairs make a table of 501 entries of 24 bytes: 12024 bytes, a size
  // nothing else in the program asks for.
  std::vector<std::string> args{f.file};
  for (int i = 0; i < 500; ++i) {
    args.push_back("P" + std::to_string(i));
    args.push_back("pkey");
  }
  f.options.preload_malloc_failure = true;
  f.options.environment = {"CREDGRAFT_FAIL_MALLOC_SIZE=12024"};
  const run_result result = f.run(args);
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.error, "Out of memory\n");
  EXPECT_TRUE(result.notices().empty());
  EXPECT_EQ(read_file(f.file), "A=1\nKEY=old\n");
}

}  // namespace
