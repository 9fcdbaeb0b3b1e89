#include "tool/credgraft.h"

#ifndef CREDGRAFT_CREDENTIAL_DIR
#error "CREDGRAFT_CREDENTIAL_DIR must name the credential directory"
#endif

int main(int argc, char** argv) {
  static constexpr credential_files files{CREDGRAFT_CREDENTIAL_DIR "/latest.key",
                                          CREDGRAFT_CREDENTIAL_DIR "/latest.crt"};
  return credgraft_run(argc, argv, files);
}
