#include "tests/harness.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

temp_dir::temp_dir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
                        "/credgraft-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

temp_dir::~temp_dir() {
  std::error_code ignored;
  // Tests make files read-only; the owner may still remove them.
  std::filesystem::remove_all(path, ignored);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::string bytes(static_cast<std::size_t>(in.tellg()), '\0');
  in.seekg(0);
  if (!in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()))) {
    throw std::runtime_error("cannot read " + path);
  }
  return bytes;
}

file_identity identity_of(const std::string& path) {
  struct stat info{};
  if (stat(path.c_str(), &info) != 0) throw std::runtime_error("cannot stat " + path);
  return file_identity_of(info);
}

void write_file(const std::string& path, const std::string& bytes) {
  // New files are private, as a parameter file holding a key should be: one
  // that others can read draws a warning, which few cases are about.
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
    if (wrote <= 0) break;
    done += static_cast<std::size_t>(wrote);
  }
  if (close(fd) != 0 || done != bytes.size()) throw std::runtime_error("cannot write " + path);
}

void make_credentials(const temp_dir& dir, const std::optional<std::string>& key,
                      const std::optional<std::string>& cert) {
  std::filesystem::create_directories(dir / "certkeep");
  if (key) write_file(dir / fixture_key, *key);
  if (cert) write_file(dir / fixture_cert, *cert);
}

std::vector<std::string> run_result::notices() const {
  std::vector<std::string> found;
  const std::string prefix = "syslog priority=5 message=";
  for (const std::string& line : log) {
    if (line.rfind("syslog ", 0) == 0) {
      found.push_back(line.rfind(prefix, 0) == 0 ? line.substr(prefix.size()) : "BAD " + line);
    }
  }
  return found;
}

bool under_valgrind() {
  const char* wrapper = std::getenv("CREDGRAFT_TEST_WRAPPER");
  return wrapper != nullptr && std::strcmp(wrapper, "valgrind") == 0;
}

namespace {

std::string unique_name(const std::string& stem) {
  static int counter = 0;
  return stem + "." + std::to_string(getpid()) + "." + std::to_string(++counter);
}

// Everything the child needs is built before fork(), which leaves the child
// with only async-signal-safe work to do.
struct prepared_exec {
  std::vector<std::string> argv_text;
  std::vector<std::string> env_text;
  std::vector<char*> argv;
  std::vector<char*> env;
};

prepared_exec prepare(const std::vector<std::string>& args, const run_options& options,
                      const running_program& running) {
  prepared_exec exec;
  const std::string program = CREDGRAFT_FIXTURE_PROGRAM;
  if (under_valgrind()) {
    exec.argv_text = {"valgrind", "--error-exitcode=99", "--leak-check=full",
                      "--track-fds=yes", "--quiet",
                      "--log-file=" + running.valgrind_path, program};
  } else {
    exec.argv_text = {program};
  }
  exec.argv_text.insert(exec.argv_text.begin(), options.wrapper.begin(), options.wrapper.end());
  exec.argv_text.insert(exec.argv_text.end(), args.begin(), args.end());

  std::string preload = CREDGRAFT_CALL_RECORDER;
  if (options.preload_malloc_failure) preload += std::string(":") + CREDGRAFT_MALLOC_FAILURE;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (std::strncmp(*entry, "LD_PRELOAD=", 11) == 0) continue;
    if (std::strncmp(*entry, "ASAN_OPTIONS=", 13) == 0) continue;
    exec.env_text.emplace_back(*entry);
  }
  exec.env_text.push_back("LD_PRELOAD=" + preload);
  exec.env_text.push_back("CREDGRAFT_SYSLOG_RECORD=" + running.log_path);
  // The recorder is preloaded ahead of the sanitizer runtime in sanitized builds.
  exec.env_text.push_back("ASAN_OPTIONS=verify_asan_link_order=0:detect_leaks=1");
  for (const std::string& extra : options.environment) exec.env_text.push_back(extra);

  for (std::string& text : exec.argv_text) exec.argv.push_back(text.data());
  exec.argv.push_back(nullptr);
  for (std::string& text : exec.env_text) exec.env.push_back(text.data());
  exec.env.push_back(nullptr);
  return exec;
}

}  // namespace

running_program start_credgraft(const std::vector<std::string>& args, const run_options& options) {
  running_program running;
  const std::string base = options.cwd + "/" + unique_name(".run");
  running.log_path = base + ".syslog";
  running.valgrind_path = base + ".valgrind";
  prepared_exec exec = prepare(args, options, running);
  char* const empty_argv[] = {nullptr};
  const char* program = !options.wrapper.empty() ? options.wrapper.front().c_str()
                        : under_valgrind()         ? "/usr/bin/valgrind"
                                                   : CREDGRAFT_FIXTURE_PROGRAM;

  // Standard error goes through a pipe, not a file, so that a file-size
  // limit on the program does not cut its messages.
  int error_pipe[2];
  if (pipe2(error_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  int broken_pipe[2] = {-1, -1};
  if (options.stderr_broken) {
    if (pipe2(broken_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    close(broken_pipe[0]);
  }
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int in = open("/dev/null", O_RDONLY);
    const int err = options.stderr_to_dev_full ? open("/dev/full", O_WRONLY)
                    : options.stderr_broken    ? broken_pipe[1]
                                               : error_pipe[1];
    if (in < 0 || err < 0 || dup2(in, 0) < 0 || dup2(err, 2) < 0) _exit(120);
    close_range(3, ~0U, 0);
    for (int fd : options.closed_descriptors) close(fd);
    if (options.memory_limit) {
      const struct rlimit limit{*options.memory_limit, *options.memory_limit};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(123);
    }
    if (options.allow_core_dumps) {
      const struct rlimit limit{RLIM_INFINITY, RLIM_INFINITY};
      setrlimit(RLIMIT_CORE, &limit);
    }
    if (chdir(options.cwd.c_str()) != 0) _exit(121);
    if (options.file_size_limit) {
      // The hard limit stays open so that the test's syslog recorder can
      // lift the soft one around its own writes.
      const struct rlimit limit{*options.file_size_limit, RLIM_INFINITY};
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(122);
    }
    for (int signal : {SIGXFSZ, SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE}) {
      std::signal(signal, SIG_DFL);
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(program, options.no_arguments ? empty_argv : exec.argv.data(), exec.env.data());
    _exit(127);
  }
  close(error_pipe[1]);
  if (broken_pipe[1] >= 0) close(broken_pipe[1]);
  running.pid = pid;
  running.error = std::make_shared<std::string>();
  const int read_end = error_pipe[0];
  running.drain = std::make_shared<std::thread>([read_end, sink = running.error] {
    char chunk[4096];
    for (;;) {
      const ssize_t got = read(read_end, chunk, sizeof chunk);
      if (got > 0) {
        sink->append(chunk, static_cast<std::size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        break;
      }
    }
    close(read_end);
  });
  return running;
}

run_result finish_credgraft(running_program& running) {
  int wait_status = 0;
  while (waitpid(running.pid, &wait_status, 0) < 0) {
    if (errno != EINTR) throw std::runtime_error("waitpid failed");
  }
  run_result result;
  if (WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  if (WIFSIGNALED(wait_status)) {
    result.signal = WTERMSIG(wait_status);
    result.core_dumped = WCOREDUMP(wait_status);
  }
  running.drain->join();
  result.error = *running.error;
  if (std::filesystem::exists(running.log_path)) {
    std::istringstream lines(read_file(running.log_path));
    for (std::string line; std::getline(lines, line);) result.log.push_back(line);
    std::remove(running.log_path.c_str());
  }
  if (under_valgrind() && std::filesystem::exists(running.valgrind_path)) {
    const std::string report = read_file(running.valgrind_path);
    std::remove(running.valgrind_path.c_str());
    // --quiet leaves only errors, leaks and the descriptor report; at exit
    // only the three standard streams may be open.
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);) {
      // A run stopped by a signal had no chance to close what it had open.
      if (result.signal != 0) break;
      if (line.find("Open file descriptor") == std::string::npos) continue;
      // valgrind lists its own log among them.
      EXPECT_NE(line.find(running.valgrind_path), std::string::npos) << report;
    }
    EXPECT_EQ(report.find("ERROR SUMMARY"), std::string::npos) << report;
    EXPECT_EQ(report.find("definitely lost"), std::string::npos) << report;
  }
  return result;
}

bool ends_within(const running_program& running, int seconds) {
  for (int waited_ms = 0; waited_ms < seconds * 1000; waited_ms += 10) {
    siginfo_t info{};
    if (waitid(P_PID, running.pid, &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid != 0) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(running.pid, SIGKILL);
  return false;
}

run_result run_credgraft(const std::vector<std::string>& args, const run_options& options) {
  running_program running = start_credgraft(args, options);
  return finish_credgraft(running);
}

std::string reference_base64(const std::string& bytes) {
  static const char alphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t bits = 0;
  int count = 0;
  for (unsigned char byte : bytes) {
    bits = (bits << 8) | byte;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += alphabet[(bits >> count) & 63];
    }
  }
  if (count > 0) out += alphabet[(bits << (6 - count)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}
