#include "key.h"

#include <cstdio>
#include <cstdlib>

#include "messages.h"
#include "system.h"

namespace {

// A PEM key file is a few KiB (RSA-3072's is 2.5); anything longer is not one.
constexpr std::size_t key_file_limit = 64 * 1024;

} // namespace

int read_key(const char *path, const signing_key **key)
{
    static unsigned char text[key_file_limit + 1];
    std::FILE *file = open_image(path);
    if (file == nullptr)
        return fail_for(exit_cannot_read, last_system_error(), "Cannot open file '%s'", path);
    const std::size_t size = std::fread(text, 1, sizeof text, file);
    const bool failed = std::ferror(file) != 0;
    const system_error error = last_system_error();
    std::fclose(file);
    if (failed)
        return fail_for(exit_cannot_read, error, "Cannot read file '%s'", path);
    if (size > key_file_limit)
        return fail(exit_cannot_read, "Key file '%s' is no PEM private key: it is longer than any key file\n", path);
    char found[96] = "";
    signing_key *loaded = nullptr;
    switch (load_signing_key(text, size, &loaded, found, sizeof found)) {
    case key_loaded:
        *key = loaded;
        return exit_success;
    case key_not_a_key:
        return fail(exit_cannot_read, "Key file '%s' is no PEM private key: it holds %s\n", path, found);
    case key_is_public:
        return fail(exit_no_input, "Key file '%s' holds a public key; --key needs the private key\n", path);
    case key_unsupported:
        return fail(exit_no_input, "Key file '%s' holds %s; MCUboot's keys are ECDSA P-256, Ed25519, RSA-2048 and "
                    "RSA-3072\n", path, found);
    case key_encrypted:
        return fail(exit_no_input, "Key file '%s' is encrypted: fw2hex reads no password; decrypt a copy for the "
                    "build with 'openssl pkey -in %s -out plain.pem' and keep it where only the build reads it\n",
                    path, path);
    case key_library_missing:
        return fail(exit_no_input, "--key needs %s, which cannot be loaded (%s): %s\n", signing_library_name(), found,
                    signing_library_remedy());
    case key_no_library:
        break;
    }
    return fail(exit_no_input, "This build of fw2hex does not sign: --key needs a build that loads OpenSSL's "
                "libcrypto or libgcrypt, such as the Debian package's or the Windows zip's\n");
}
