#include "tool/credgraft.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <syslog.h>

#include "support/read_whole_file.h"
#include "support/text_buffer.h"
#include "tool/rewrite.h"

namespace {

void print_usage(const char* invocation) {
  // An exec with an empty argument vector leaves no invocation name (or, on
  // newer kernels, an empty one).
  const bool named = invocation != nullptr && *invocation != '\0';
  std::fprintf(stderr, "Usage: %s <config-file> {<parameter-name> pkey|cert}...\n",
               named ? invocation : "credgraft");
}

// Opened at the first notice and closed on every path out of the run.
struct system_log {
  system_log() { openlog("credgraft", LOG_PID | LOG_NDELAY, LOG_DAEMON); }
  ~system_log() { closelog(); }
  system_log(const system_log&) = delete;
  system_log& operator=(const system_log&) = delete;
};

}  // namespace

int credgraft_run(int argc, char** argv, const credential_files& files) {
  // A file-size limit must make a write fail (and the old content be put
  // back) rather than kill the process with a half-written file.
  std::signal(SIGXFSZ, SIG_IGN);

  if (argc < 4 || argc % 2 != 0) {
    print_usage(argc > 0 ? argv[0] : nullptr);
    return status_usage;
  }
  const char* const parameter_path = argv[1];

  system_log log;
  const int pairs = (argc - 2) / 2;
  std::unique_ptr<replacement_entry[]> table{new (std::nothrow) replacement_entry[pairs + 1]};
  if (!table) {
    std::fprintf(stderr, "Out of memory\n");
    return status_cannot_read;
  }
  for (int pair = 0; pair < pairs; ++pair) {
    const char* name = argv[2 + 2 * pair];
    const char* kind = argv[3 + 2 * pair];
    table[pair].name = name;
    syslog(LOG_NOTICE, "For %s replacing %s in %s", parameter_path, kind, name);
    if (std::strcmp(kind, "pkey") == 0) {
      table[pair].path = files.key;
    } else if (std::strcmp(kind, "cert") == 0) {
      table[pair].path = files.certificate;
    } else {
      print_usage(argv[0]);
      return status_usage;
    }
  }
  table[pairs] = replacement_entry{nullptr, nullptr};

  text_buffer text;
  if (read_whole_path(parameter_path, &text) != 0) {
    std::fprintf(stderr, "Cannot read %s\n", parameter_path);
    return status_cannot_read;
  }
  return rewrite_parameter_file(parameter_path, text.data, text.length, table.get());
}
