#include "tool/credgraft.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "tool/run.h"

namespace {

void print_usage(const char* invocation) {
  // An exec with an empty argument vector leaves no invocation name (or, on
  // newer kernels, an empty one).
  const bool named = invocation != nullptr && *invocation != '\0';
  std::fprintf(stderr, "Usage: %s <config-file> {<parameter-name> pkey|cert}...\n",
               named ? invocation : "credgraft");
}

// Puts /dev/null on any of descriptors 0, 1 and 2 that is closed, so that no
// file the run opens (the parameter file, the log socket) can become standard
// error and receive messages. Returns false when that cannot be done.
bool standard_descriptors_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // open() takes the lowest free descriptor, which is this one.
    const int opened = open("/dev/null", O_RDWR | O_NOCTTY);
    if (opened != fd) {
      if (opened >= 0) close(opened);
      return false;
    }
  }
  return true;
}

// Makes the process safe to hold key material, before anything is opened.
// Returns false, having touched nothing, when standard descriptors cannot be
// made safe.
bool prepare_process() {
  if (!standard_descriptors_open()) return false;
  // A reader of standard error that went away only loses the messages.
  std::signal(SIGPIPE, SIG_IGN);
  // A file-size limit must make a write fail (and the old content be put
  // back) rather than kill the process with a half-written file.
  std::signal(SIGXFSZ, SIG_IGN);
  // No core dump may carry a key: not on a signal, not to a debugger.
  prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
  const struct rlimit no_core{0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
  return true;
}

struct free_deleter {
  void operator()(void* p) const noexcept { std::free(p); }
};

// Opened at the first notice and closed on every path out of the run.
struct system_log {
  system_log() { openlog("credgraft", LOG_PID | LOG_NDELAY, LOG_DAEMON); }
  ~system_log() { closelog(); }
  system_log(const system_log&) = delete;
  system_log& operator=(const system_log&) = delete;
};

int out_of_memory() {
  std::fprintf(stderr, "Out of memory\n");
  return status_cannot_read;
}

int cannot_write(const char* path) {
  std::fprintf(stderr, "Cannot write %s\n", path);
  return status_cannot_write;
}

// What the walk found, said once the file is known to take its new content,
// while a stop request or a stalled standard error still costs nothing.
void say_what_the_walk_found(const run_state& run) {
  for (std::size_t i = 0; i < run.plan.messages.count; ++i) {
    const walk_message& m = run.plan.messages[i];
    if (m.kind == walk_message_kind::cannot_read) {
      std::fprintf(stderr, "Cannot read %s\n", m.subject);
    } else {
      std::fprintf(stderr, "Value of %s cut to 16000 characters\n", m.subject);
    }
  }
  if (run.plan.writes_private_key && (run.out.mode & S_IROTH) != 0) {
    std::fprintf(stderr, "Warning: every user can read %s, which holds a private key\n",
                 run.path);
  }
}

// The rewrite from a walked first read on.
int rewrite_walked(run_state& run, std::size_t piece_size) {
  const int prepared = run_prepare(run, piece_size);
  if (prepared == run_out_of_memory) return out_of_memory();
  if (prepared != run_ok) return cannot_write(run.path);
  say_what_the_walk_found(run);
  const int committed = run_commit(run);
  if (committed == run_ok) return run.plan.status;
  cannot_write(run.path);
  if (committed == run_cannot_restore) std::fprintf(stderr, "Cannot restore %s\n", run.path);
  return status_cannot_write;
}

}  // namespace

int rewrite_parameter_path(const char* path, const replacement_entry* table,
                           std::size_t piece_size) {
  run_state run;
  const int read = run_read(run, path, table, piece_size);
  if (read == run_out_of_memory) return out_of_memory();
  if (read != run_ok) {
    std::fprintf(stderr, "Cannot read %s\n", path);
    return status_cannot_read;
  }
  return rewrite_walked(run, piece_size);
}

int rewrite_parameter_file(const char* path, const char* text, std::size_t length,
                           const file_identity& identity, const replacement_entry* table) {
  run_state run;
  if (run_take(run, path, text, length, identity, table) != run_ok) return out_of_memory();
  return rewrite_walked(run, rewrite_piece);
}

int credgraft_run(int argc, char** argv, const credential_files& files) {
  if (!prepare_process()) return status_cannot_read;

  if (argc < 4 || argc % 2 != 0) {
    print_usage(argc > 0 ? argv[0] : nullptr);
    return status_usage;
  }
  const char* const parameter_path = argv[1];

  system_log log;
  const int pairs = (argc - 2) / 2;
  const std::unique_ptr<replacement_entry[], free_deleter> table{
      static_cast<replacement_entry*>(std::malloc((pairs + 1) * sizeof(replacement_entry)))};
  if (!table) return out_of_memory();
  for (int pair = 0; pair < pairs; ++pair) {
    const char* name = argv[2 + 2 * pair];
    const char* kind = argv[3 + 2 * pair];
    table[pair].name = name;
    table[pair].private_key = false;
    syslog(LOG_NOTICE, "For %s replacing %s in %s", parameter_path, kind, name);
    if (std::strcmp(kind, "pkey") == 0) {
      table[pair].path = files.key;
      table[pair].private_key = true;
    } else if (std::strcmp(kind, "cert") == 0) {
      table[pair].path = files.certificate;
    } else {
      print_usage(argv[0]);
      return status_usage;
    }
  }
  table[pairs] = replacement_entry{nullptr, nullptr, false};

  return rewrite_parameter_path(parameter_path, table.get());
}
