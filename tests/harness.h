// Shared helpers for the tests: temporary directories, whole-file I/O, and
// running the real program with its system-log calls recorded.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
struct temp_dir {
  temp_dir();
  ~temp_dir();
  temp_dir(const temp_dir&) = delete;
  temp_dir& operator=(const temp_dir&) = delete;
  std::string path;
  std::string operator/(const std::string& name) const { return path + "/" + name; }
};

#include "support/file_identity.h"

std::string read_file(const std::string& path);
// The identity of the file at `path` now, as the program's reader records it.
file_identity identity_of(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The fixture build of the program reads its credentials from this directory,
// relative to its working directory, so that every test has its own.
inline constexpr const char* fixture_key = "certkeep/latest.key";
inline constexpr const char* fixture_cert = "certkeep/latest.crt";

// Creates `dir`/certkeep with the given credential texts; an absent text
// leaves that file out.
void make_credentials(const temp_dir& dir, const std::optional<std::string>& key,
                      const std::optional<std::string>& cert);

struct run_options {
  std::string cwd;                           // where the program runs
  std::optional<rlim_t> file_size_limit;     // RLIMIT_FSIZE, with SIGXFSZ at its default
  bool stderr_to_dev_full = false;
  bool stderr_broken = false;                // a pipe whose reader has gone
  std::vector<int> closed_descriptors;       // of 0, 1 and 2, closed at exec
  std::optional<rlim_t> memory_limit;        // RLIMIT_AS
  bool allow_core_dumps = false;             // RLIMIT_CORE unlimited
  bool no_arguments = false;                 // exec with argc == 0
  std::vector<std::string> environment;      // extra NAME=VALUE entries
  bool preload_malloc_failure = false;
  std::vector<std::string> wrapper;          // command that execs the program ("$0" "$@")
};

// Options that run the program in `dir`, where its certkeep/ directory is.
inline run_options in_directory(const temp_dir& dir) {
  run_options options;
  options.cwd = dir.path;
  return options;
}

struct run_result {
  int status = -1;       // exit status, or -1 when killed by a signal
  int signal = 0;        // the signal that ended it, if any
  bool core_dumped = false;
  std::string error;     // standard error
  std::vector<std::string> log;  // recorded system-log calls, one per line
  // The notices alone (messages of syslog calls), in order.
  std::vector<std::string> notices() const;
};

// Runs the fixture program with `args` (after the program name).
run_result run_credgraft(const std::vector<std::string>& args, const run_options& options);

// A test's own directory with its credentials, and the parameter file's path.
struct program_fixture {
  temp_dir dir;
  std::string file = dir / "app.conf";
  run_options options = in_directory(dir);
  program_fixture(const std::optional<std::string>& key, const std::optional<std::string>& cert) {
    make_credentials(dir, key, cert);
  }
  // Writes `before` to the file and runs the program on it with `pairs`.
  run_result run(const std::string& before, const std::vector<std::string>& pairs) {
    write_file(file, before);
    std::vector<std::string> args{file};
    args.insert(args.end(), pairs.begin(), pairs.end());
    return run_credgraft(args, options);
  }
};

// Like run_credgraft but starts the program and returns its pid at once; the
// result is collected with finish_credgraft.
struct running_program {
  int pid = -1;
  std::shared_ptr<std::string> error;  // filled by `drain` from the stderr pipe
  std::shared_ptr<std::thread> drain;
  std::string log_path;
  std::string valgrind_path;
};
running_program start_credgraft(const std::vector<std::string>& args, const run_options& options);
run_result finish_credgraft(running_program& running);
// Waits up to `seconds` for the program to end, leaving it to be collected by
// finish_credgraft. Returns false, having killed it, when it has not ended.
bool ends_within(const running_program& running, int seconds);

// True when the tests run the program under valgrind (CREDGRAFT_TEST_WRAPPER).
bool under_valgrind();

// The standard Base64 of `bytes`, by a plain reference method.
std::string reference_base64(const std::string& bytes);
