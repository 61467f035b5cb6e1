// MCUboot images against the ones MCUboot's imgtool 2.4 wrote for the same
// application and options (tests/data/mcuboot, its make.sh says how each
// was made), the SHA-256 of each checked by coreutils' sha256sum, and the
// hash behind the crypto seam against NIST's vectors.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "crypto/der_key.h"
#include "crypto/hash.h"
#include "crypto/pem.h"
#include "test_support.h"

namespace {

const std::string data = FW2HEX_TEST_DATA "/mcuboot/";
constexpr std::uint32_t slot_start = 0x08010000;
constexpr std::uint32_t slot_size = 0x8000;

using flash = std::map<std::uint32_t, std::uint8_t>;

// The bytes an Intel HEX text puts where, read by the tests' own reader.
flash memory_of(const std::string &hex_text)
{
    flash memory;
    EXPECT_TRUE(read_any_hex(hex_text, &memory)) << "not Intel HEX";
    return memory;
}

// The flash a file of fw2hex's leaves: Intel HEX as it is, a raw binary
// from `first`, other formats through fw2hex back to Intel HEX (their
// readers are checked against fwupd's and dfu-util's elsewhere).
flash flash_of(const temp_dir &dir, const std::string &name, std::uint32_t first)
{
    const std::string extension = name.substr(name.rfind('.'));
    if (extension == ".bin") {
        const std::string content = read_file(dir / name);
        flash memory;
        for (std::size_t i = 0; i < content.size(); ++i)
            memory[first + static_cast<std::uint32_t>(i)] = static_cast<std::uint8_t>(content[i]);
        return memory;
    }
    if (extension != ".hex") {
        EXPECT_EQ(run_fw2hex(dir.path, {"-o", "back.hex", name}).status, 0) << name;
    }
    return memory_of(read_file(dir / (extension == ".hex" ? name : "back.hex")));
}

// The flash as a device reads it: what no record wrote reads 0xFF.
bool same_as_erased_flash(const flash &got, const flash &want)
{
    for (const auto &[address, value] : got)
        if (value != (want.count(address) != 0 ? want.at(address) : 0xFF))
            return false;
    for (const auto &[address, value] : want)
        if (got.count(address) == 0 && value != 0xFF)
            return false;
    return true;
}

// The slot's bytes from its start, 0xFF where a file has none.
bytes slot_bytes(const std::string &name)
{
    const std::string content = read_file(data + name);
    if (name.substr(name.size() - 4) == ".bin")
        return bytes(content.begin(), content.end());
    bytes slot(slot_size, 0xFF);
    for (const auto &[address, value] : memory_of(content))
        if (address >= slot_start && address < slot_start + slot_size)
            slot[address - slot_start] = value;
    return slot;
}

std::uint32_t le(const bytes &at, std::size_t offset, int size)
{
    std::uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = value << 8 | at[offset + static_cast<std::size_t>(i)];
    return value;
}

std::string hex_digits(const unsigned char *digest, std::size_t size = sha256_size)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < size; ++i)
        text += std::string{digits[digest[i] >> 4], digits[digest[i] & 15]};
    return text;
}

bytes from_hex(const std::string &text)
{
    bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return out;
}

} // namespace

// Every row: fw2hex's file for the slot 0x08010000-0x08018000 against
// imgtool's, exactly (a raw binary, or the address map of a file with
// addresses) or, with -s and UF2's whole blocks, as the flash reads it.
TEST(Mcuboot, MatchesImgtool)
{
    const std::string app = data + "app.bin";
    const std::string slot = "8010000:8018000";
    enum compare { exactly, as_flash };
    const struct {
        std::vector<std::string> args;
        std::string output, expected;
        compare how;
        bool with_boot; // boot.elf's bytes (tail.bin at 0x08000000) beside the slot
    } cases[] = {
        {{"--image-version", "1.2.3", "-a", "8010200", app}, "out.hex", "plain.hex", exactly, false},
        {{"-O", "bin", "--image-version=1.2.3", "-a", "8010200", app}, "out.bin", "plain.bin", exactly, false},
        {{"--image-version", "1.2.3+4", "--confirm", "--security-counter", "auto", "-a", "8010200", app}, "out.hex",
         "confirm.hex", exactly, false},
        {{"--security-counter", "AUTO", "--image-version", "1.2.3+4", "--confirm", "-O", "bin", "-a", "8010200", app},
         "out.bin", "confirm.bin", exactly, false},
        {{"--image-version", "0.0.1", "--pad", "-a", "8010020", app}, "out.hex", "h32.hex", exactly, false},
        {{"-O", "bin", "--image-version", "255.255.65535+4294967295", "--align", "8", "--max-align", "16", "--confirm",
          "-a", "0x8010400", app}, "out.bin", "h400.bin", exactly, false},
        {{"--header-size", "512", "--image-version", "3.0", "--confirm", "-O", "bin", "-a", "8010000",
          data + "app-reserved.bin"}, "out.bin", "reserved.bin", exactly, false},
        {{"--header-size", "0x200", "--image-version", "3.0", "--confirm", "-m", "8010000:" + data + "app-reserved.bin"},
         "out.hex", "reserved.hex", exactly, false},
        {{"--image-version", "1.0", "--align", "32", "--max-sectors", "16", "--pad", "-O", "bin", "-a", "8010200", app},
         "out.bin", "align32.bin", exactly, false},
        {{"--image-version", "1.0", "--align", "2", "--confirm", "-a", "8010200", app}, "out.hex", "align2.hex", exactly,
         false},
        {{"--image-version", "1.0", "--align", "4", "--confirm", "-O", "bin", "-a", "8010200", app}, "out.bin",
         "align4.bin", exactly, false},
        {{"--image-version", "1.0", "--align", "16", "--confirm", "-a", "8010200", app}, "out.hex", "align16.hex",
         exactly, false},
        {{"--image-version", "1.0", "--overwrite-only", "--confirm", "-a", "8010200", app}, "out.hex", "overwrite.hex",
         exactly, false},
        {{"--image-version", "1.0", "--erased-val", "0", "--confirm", "--max-align", "32", "-O", "bin", "-a", "8010200",
          app}, "out.bin", "erased0.bin", exactly, false},
        {{"--image-version", "1.0", "--security-counter", "0x10203", "-a", "8010200", app}, "out.hex", "counter.hex",
         exactly, false},
        {{"--image-version", "1.1", "--confirm", "-m", "8012000:" + data + "tail.bin", "-a", "8010200", app}, "out.hex",
         "gap.hex", exactly, false},
        {{"--image-version", "1.1", "--erased-val", "0x00", "--confirm", "-m", "8012000:" + data + "tail.bin", "-a",
          "8010200", app}, "out.hex", "erased0-gap.hex", exactly, false},
        {{"--image-version", "1.2", "--confirm", data + "app.elf"}, "out.hex", "elf.hex", exactly, false},
        {{"--image-version", "1.2.3+4", "--confirm", "--security-counter", "auto", "-O", "dfu", "-a", "8010200", app},
         "out.dfu", "confirm.hex", exactly, false},
        {{"--image-version", "1.2.3+4", "--confirm", "--security-counter", "auto", "-O", "uf2:stm32f4", "-a", "8010200",
          app}, "out.uf2", "confirm.hex", as_flash, false},
        {{"-s", "--image-version", "1.1", "--confirm", "-m", "8012000:" + data + "tail.bin", "-a", "8010200", app},
         "out.hex", "gap.hex", as_flash, false},
        {{"-i", data + "boot.elf", "--image-version", "1.2", "--confirm", data + "app.elf"}, "out.hex", "elf.hex",
         exactly, true},
    };
    const std::string tail = read_file(data + "tail.bin");
    for (const auto &c : cases) {
        const temp_dir dir;
        std::vector<std::string> args{"--mcuboot", slot, "-o", c.output};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const run_result run = run_fw2hex(dir.path, args);
        ASSERT_EQ(run.status, 0) << c.expected << ": " << run.err;
        // A bootloader and an application each start where they start.
        const bool with_boot = std::find(c.args.begin(), c.args.end(), data + "boot.elf") != c.args.end();
        const std::string two_starts = "'" + data + "app.elf' starts at 0x08010200 and '" + data +
                                       "boot.elf' at 0x08000000: the output gives no start address\n";
        EXPECT_EQ(run.err, with_boot ? two_starts : "") << c.expected;
        if (c.output == "out.bin") {
            EXPECT_EQ(read_file(dir / "out.bin"), read_file(data + c.expected)) << c.expected;
            continue;
        }
        flash want = memory_of(read_file(data + c.expected));
        for (std::size_t i = 0; c.with_boot && i < tail.size(); ++i)
            want[0x08000000 + static_cast<std::uint32_t>(i)] = static_cast<std::uint8_t>(tail[i]);
        const flash got = flash_of(dir, c.output, slot_start);
        if (c.how == exactly)
            EXPECT_EQ(got, want) << c.expected << " from " << c.output;
        else
            EXPECT_TRUE(same_as_erased_flash(got, want)) << c.expected << " from " << c.output;
    }
}

// The SHA-256 TLV of each expected file is sha256sum's of the header, the
// code and the protected TLVs: the files the tests trust are what MCUboot
// checks.
TEST(Mcuboot, ExpectedFilesHoldTheirSha256)
{
    for (const char *name : {"plain.hex", "plain.bin", "confirm.hex", "confirm.bin", "h32.hex", "h400.bin",
                             "reserved.bin", "reserved.hex", "align32.bin", "overwrite.hex", "erased0.bin",
                             "counter.hex", "gap.hex", "erased0-gap.hex", "elf.hex", "align2.hex", "align4.bin",
                             "align16.hex", "signed-ecdsa-p256.bin", "signed-ed25519.bin", "signed-rsa-2048.bin",
                             "signed-rsa-3072.bin", "signed-full-rsa-3072.bin"}) {
        const bytes slot = slot_bytes(name);
        ASSERT_GE(slot.size(), 32u) << name;
        ASSERT_EQ(le(slot, 0, 4), 0x96F3B83Du) << name;
        const std::size_t hashed = le(slot, 8, 2) + le(slot, 12, 4) + le(slot, 10, 2);
        ASSERT_LE(hashed + 40, slot.size()) << name;
        EXPECT_EQ(le(slot, hashed, 2), 0x6907u) << name;
        EXPECT_EQ(le(slot, hashed + 4, 4), 0x00200010u) << name; // type 0x10, 32 bytes
        const temp_dir dir;
        write_file(dir / "hashed", bytes(slot.begin(), slot.begin() + static_cast<std::ptrdiff_t>(hashed)));
        EXPECT_EQ(hex_digits(slot.data() + hashed + 8) + "  " + dir / "hashed\n", output_of("sha256sum " + dir / "hashed"))
            << name;
    }
}

// Signed images against imgtool's for the same test key: every byte equal
// for Ed25519 (its signatures are deterministic); for ECDSA and RSA, whose
// signatures are randomised, every byte but the signature's, and the
// signature verified by the openssl command over the bytes it signs.
TEST(Mcuboot, SignsAsImgtool)
{
#ifdef FW2HEX_NO_SIGNING
    GTEST_SKIP() << "this build does not sign";
#endif
    ASSERT_NE(output_of("openssl version"), "") << "the openssl command is needed";
    const struct {
        std::string key, format, expected;
        std::string verify; // openssl's command, from the public key, the signed bytes, the signature
    } cases[] = {
        {"ed25519", "hash", "signed-ed25519.bin", "pkeyutl -verify -pubin -inkey pub.pem -rawin -in digest -sigfile sig"},
        {"ed25519", "full", "signed-full-ed25519.bin", "pkeyutl -verify -pubin -inkey pub.pem -rawin -in digest -sigfile sig"},
        {"ecdsa-p256", "hash", "signed-ecdsa-p256.bin", "dgst -sha256 -verify pub.pem -signature sig signed"},
        {"rsa-2048", "hash", "signed-rsa-2048.bin", "dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 "
                                                    "-verify pub.pem -signature sig signed"},
        {"rsa-3072", "hash", "signed-rsa-3072.bin", "dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt rsa_pss_saltlen:32 "
                                                    "-verify pub.pem -signature sig signed"},
        {"rsa-3072", "full", "signed-full-rsa-3072.bin", "dgst -sha256 -sigopt rsa_padding_mode:pss -sigopt "
                                                         "rsa_pss_saltlen:32 -verify pub.pem -signature sig signed"},
    };
    for (const auto &c : cases) {
        const temp_dir dir;
        const std::string key = data + "keys/" + c.key + ".pem";
        std::vector<std::string> args{"--mcuboot", "8010000:8018000", "--key", key, "--public-key-format", c.format,
                                      "--image-version", "1.2.3", "-O", "bin", "-o", "out.bin", "-a", "8010200",
                                      data + "app.bin"};
        if (c.format == "hash")
            args.insert(args.begin(), "--confirm");
        const run_result run = run_fw2hex(dir.path, args);
        ASSERT_EQ(run.status, 0) << c.expected << ": " << run.err;
        const std::string got = read_file(dir / "out.bin");
        const std::string want = read_file(data + c.expected);
        ASSERT_EQ(got.size(), want.size()) << c.expected;
        // The signature is the last TLV: the bytes before it (but for the
        // TLV area's size, which a shorter ECDSA signature of imgtool's
        // changes) and the trailer must be imgtool's.
        const bytes slot(got.begin(), got.end());
        const std::size_t hashed = le(slot, 8, 2) + le(slot, 12, 4) + le(slot, 10, 2);
        const std::size_t area_end = hashed + le(slot, hashed + 2, 2);
        const std::size_t signature = area_end - (c.key == "ed25519" ? 64 : c.key == "ecdsa-p256" ? 72
                                                  : c.key == "rsa-2048" ? 256 : 384);
        if (c.key == "ed25519") {
            EXPECT_EQ(got, want) << c.expected;
        }
        EXPECT_EQ(got.substr(0, hashed + 2), want.substr(0, hashed + 2)) << c.expected;
        EXPECT_EQ(got.substr(hashed + 4, signature - 2 - hashed - 4), want.substr(hashed + 4, signature - 2 - hashed - 4))
            << c.expected;
        if (c.format == "hash") { // padded: the trailer
            EXPECT_EQ(got.substr(area_end), want.substr(area_end)) << c.expected << "'s trailer";
        }
        write_file(dir / "signed", bytes(slot.begin(), slot.begin() + static_cast<std::ptrdiff_t>(hashed)));
        write_file(dir / "digest", bytes(slot.begin() + static_cast<std::ptrdiff_t>(hashed + 8),
                                         slot.begin() + static_cast<std::ptrdiff_t>(hashed + 40)));
        write_file(dir / "sig", bytes(slot.begin() + static_cast<std::ptrdiff_t>(signature),
                                      slot.begin() + static_cast<std::ptrdiff_t>(area_end)));
        const std::string openssl = "cd '" + dir.path + "' && openssl pkey -in '" + key + "' -pubout -out pub.pem && openssl ";
        EXPECT_EQ(std::system((openssl + c.verify + " >/dev/null 2>&1").c_str()), 0) << c.expected << ": " << c.verify;
    }
}

// NIST's vectors (FIPS 180-4 examples, and the million 'a's), and messages
// at the padding's edges (digests from Python's hashlib), through the seam
// and through the built-in SHA-256, fed whole and in uneven pieces.
TEST(Sha256, NistVectors)
{
    const struct {
        std::string message;
        std::string digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {std::string(55, 'x'), "d5e285683cd4efc02d021a5c62014694958901005d6f71e89e0989fac77e4072"},
        {std::string(56, 'x'), "04c26261370ee7541549d16dee320c723e3fd14671e66a099afe0a377c16888e"},
        {std::string(64, 'x'), "7ce100971f64e7001e8fe5a51973ecdfe1ced42befe7ee8d5fd6219506b5393c"},
    };
    for (const auto &c : cases) {
        const auto *message = reinterpret_cast<const unsigned char *>(c.message.data());
        for (std::size_t piece : {c.message.size() + 1, std::size_t{1}, std::size_t{63}, std::size_t{65}}) {
            sha256_state seam;
            sha256_builtin builtin;
            sha256_start(&seam);
            sha256_builtin_start(&builtin);
            for (std::size_t done = 0; done < c.message.size(); done += piece) {
                const std::size_t count = std::min(piece, c.message.size() - done);
                sha256_feed(&seam, message + done, count);
                sha256_builtin_feed(&builtin, message + done, count);
            }
            unsigned char digest[sha256_size];
            sha256_finish(&seam, digest);
            EXPECT_EQ(hex_digits(digest), c.digest) << "seam, " << c.message.size() << " bytes in pieces of " << piece;
            sha256_builtin_finish(&builtin, digest);
            EXPECT_EQ(hex_digits(digest), c.digest) << "built-in, " << c.message.size() << " bytes in pieces of " << piece;
        }
    }
}

// The DER a key's PEM block holds, as fw2hex reads it for a library that
// takes numbers (libgcrypt): every form imgtool and OpenSSL write, and each
// structure cut, stretched or of another type.
TEST(KeyReader, ReadsDer)
{
    const std::string seed = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    const struct {
        std::string label, der;
        key_verdict verdict;
        std::string found; // the kind loaded, or what a refusal names
    } cases[] = {
        {"PRIVATE KEY", "302e020100300506032b657004220420" + seed, key_loaded, "ed25519"},
        {"PRIVATE KEY", "302e020100300506032b657004220420" + seed + "00", key_not_a_key, "a private key block that is not a key"},
        {"PRIVATE KEY", "302d020100300506032b6570042104" "1f" + seed.substr(2), key_not_a_key, "a private key block that is not a key"},
        {"PRIVATE KEY", "302e0201ff300506032b657004220420" + seed, key_not_a_key, "a private key block that is not a key"},
        {"PRIVATE KEY", "3080020100300506032b657004220420" + seed + "0000", key_not_a_key, "a private key block that is not a key"},
        {"PRIVATE KEY", "30850000000030", key_not_a_key, "a private key block that is not a key"},
        // A P-256 key whose ECPrivateKey names a 32-byte secret and holds none of it.
        {"PRIVATE KEY", "3021020100301306072a8648ce3d020106082a8648ce3d030107040730050201010420", key_not_a_key,
         "a private key block that is not a key"},
        {"PRIVATE KEY", "300e020100300506032a0304040205 00", key_unsupported, "a key of the algorithm 1.2.3.4"},
        {"PRIVATE KEY", "3014020100300b06072a8648ce3d0201300004023000", key_unsupported,
         "an ECDSA key on a curve given by its parameters"},
        {"EC PRIVATE KEY", "3012020101040107a00a06082a8648ce3d030107", key_loaded, "ecdsa-p256"},
        {"EC PRIVATE KEY", "300f020101040101a00706052b81040022", key_unsupported, "an ECDSA key on the curve secp384r1"},
        {"EC PRIVATE KEY", "3006020101040107", key_not_a_key, "a private key block that is not a key"},
        {"EC PRIVATE KEY", "3012020101040100a00a06082a8648ce3d030107", key_not_a_key, "a private key block that is not a key"},
        {"DSA PRIVATE KEY", "3000", key_unsupported, "a DSA key"},
        {"OPENSSH PRIVATE KEY", "3000", key_not_a_key, "a private key block that is not a key"},
    };
    const char *kinds[] = {"ecdsa-p256", "ed25519", "rsa-2048", "rsa-3072"};
    for (const auto &c : cases) {
        std::string digits = c.der;
        digits.erase(std::remove(digits.begin(), digits.end(), ' '), digits.end());
        const bytes der = from_hex(digits);
        der_private_key key{};
        char found[96] = "";
        const key_verdict verdict = read_der_private_key(c.label.c_str(), der.data(), der.size(), &key, found, sizeof found);
        EXPECT_EQ(verdict, c.verdict) << c.label << " " << c.der;
        EXPECT_EQ(verdict == key_loaded ? kinds[key.kind] : found, c.found) << c.label << " " << c.der;
    }
    // The test keys imgtool wrote (PKCS#8), through the PEM decoder too.
    for (const char *kind : kinds) {
        const std::string text = read_file(data + "keys/" + kind + ".pem");
        const char *at = text.data();
        pem_block block{};
        ASSERT_TRUE(next_pem_block(&at, text.data() + text.size(), &block)) << kind;
        unsigned char der[4096];
        const std::size_t size = decode_pem_body(block, der, sizeof der);
        der_private_key key{};
        char found[96] = "";
        ASSERT_EQ(read_der_private_key(block.label, der, size, &key, found, sizeof found), key_loaded) << kind << found;
        EXPECT_STREQ(kinds[key.kind], kind);
    }
}

// ECDSA's DER signature: r and s without their leading zero bytes, and with
// one where the top bit is set, so 70 to 72 bytes for full-size values.
TEST(KeyReader, EncodesEcdsaSignatures)
{
    const struct {
        unsigned char r_first, s_first; // the rest of each 32 bytes is 0x55
        std::string start;              // the DER's first bytes
        std::size_t size;
    } cases[] = {
        {0x80, 0xFF, "3046022100805555", 72},
        {0x7F, 0x80, "304502207f5555", 71},
        {0x01, 0x7F, "3044022001555555", 70},
        {0x00, 0x00, "3042021f555555", 68},
    };
    for (const auto &c : cases) {
        unsigned char r[32], s[32], out[80];
        std::memset(r, 0x55, sizeof r);
        std::memset(s, 0x55, sizeof s);
        r[0] = c.r_first;
        s[0] = c.s_first;
        const std::size_t size = der_ecdsa_signature(r, s, out, sizeof out);
        EXPECT_EQ(size, c.size) << c.start;
        EXPECT_EQ(hex_digits(out, c.start.size() / 2), c.start);
        EXPECT_EQ(der_ecdsa_signature(r, s, out, c.size - 1), 0u) << c.start << ": no room";
    }
}
