// The replacement table and the run statuses the driver hands around.
#pragma once

// One command-line pair: a parameter name and the credential file whose
// Base64 text replaces that parameter's value. Both texts are borrowed; the
// table ends with an entry whose name and path are both null.
struct replacement_entry {
  const char* name;
  const char* path;
  bool private_key;  // "pkey": a file others can read draws a warning
};

// The exit statuses callers act on; their values are part of the interface.
enum run_status : int {
  status_changed = 0,      // rewritten, and at least one value differs
  status_unchanged = 1,    // rewritten, and no value differs
  status_cannot_read = 2,   // nothing written (also: out of memory before any byte changed)
  status_cannot_write = 3,  // the file could not be rewritten; its old bytes are kept
  status_usage = 4,
};

// The credential file of each kind word.
struct credential_files {
  const char* key;          // "pkey"
  const char* certificate;  // "cert"
};
