// The key of --key: its file read, and the key in it loaded through the
// crypto seam, with every refusal said.
#ifndef FW2HEX_KEY_H
#define FW2HEX_KEY_H

#include "crypto/sign.h"

// Reads the private key in the file at `path` into `*key`; the exit status.
int read_key(const char *path, const signing_key **key);

#endif
