// Round trip through an independent reader: fw2hex writes the file, GNU
// objcopy reads it back, and every image byte must sit at load + offset.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "test_support.h"

namespace {

// The lowest load address objdump finds in an Intel HEX file.
std::uint64_t lowest_address(const std::string &hex_path)
{
    std::istringstream lines(output_of("objdump -h '" + hex_path + "'"));
    std::uint64_t lowest = UINT64_MAX;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string index, name, size, vma, lma;
        if (fields >> index >> name >> size >> vma >> lma && name.rfind(".sec", 0) == 0)
            lowest = std::min<std::uint64_t>(lowest, std::stoull(lma, nullptr, 16));
    }
    return lowest;
}

} // namespace

TEST(RoundTrip, ObjcopyReadsEveryByteBack)
{
    ASSERT_NE(output_of("objcopy --version"), "") << "objcopy (binutils) is needed";
    const struct {
        std::uint32_t load;
        std::size_t size;
    } cases[] = {
        {0x08000000, 150000}, {0x08004000, 150000}, {0x0800FFF8, 150000},
        {0x0800FFFF, 100000}, {0x20000000, 65536},  {0xFFFFFFFF - 99999, 100000},
    };
    unsigned seed = 0;
    for (const auto &c : cases) {
        for (bool omit : {false, true}) {
            const temp_dir dir;
            const bytes image = random_image(c.size, ++seed);
            write_file(dir / "fw.bin", image);
            char load[16];
            std::snprintf(load, sizeof load, "%X", c.load);
            std::vector<std::string> args{"-a", load, "fw.bin"};
            if (omit)
                args.insert(args.begin(), "-s");
            const std::string what = std::string("-a ") + load + (omit ? " -s" : "");
            ASSERT_EQ(run_fw2hex(dir.path, args).status, 0) << what;
            ASSERT_EQ(std::system(("objcopy -I ihex -O binary --gap-fill 0xFF " + dir / "fw.hex" + " " +
                                   dir / "back.bin").c_str()), 0) << what;
            const std::string back = read_file(dir / "back.bin");

            // -s may leave out blank lines at the start, never the line that
            // holds the first data byte.
            std::size_t first = 0;
            while (omit && first < image.size() && image[first] == 0xFF)
                ++first;
            first -= first % 16;
            EXPECT_EQ(lowest_address(dir / "fw.hex"), std::uint64_t{c.load} + first) << what;
            ASSERT_LE(first + back.size(), image.size()) << what;
            EXPECT_TRUE(std::equal(back.begin(), back.end(), image.begin() + static_cast<long>(first),
                                   [](char b, std::uint8_t i) { return static_cast<std::uint8_t>(b) == i; }))
                << what;
            for (std::size_t i = first + back.size(); i < image.size(); ++i)
                ASSERT_EQ(image[i], 0xFF) << what << ": byte " << i << " left out";
            if (!omit) {
                EXPECT_EQ(back.size(), image.size()) << what;
            }
        }
    }
}

// Bootloader, application and settings in one file, given out of order:
// both readers find each image's bytes at its address and erased flash
// (0xFF) in the gaps, with and without -s; with a CRC over the application's
// slot, the word at its end is the CRC of the bytes read back, and without
// -s every byte of the slot is in the file. The application also comes as
// Intel HEX, written by objcopy from an ELF file with a start address.
TEST(RoundTrip, MergedImagesReadBack)
{
    const struct {
        const char *name;
        std::uint32_t address;
        std::size_t size;
    } parts[] = {{"boot.bin", 0x08000000, 24 * 1024 + 5}, {"app.bin", 0x08008000, 300000}, {"settings.bin", 0x0807F800, 2048}};
    constexpr std::uint32_t slot = 0x08008000, crc_word = 0x0807F7FC;
    bytes flash(0x0807F800 + 2048 - 0x08000000, 0xFF);
    const temp_dir dir;
    unsigned seed = 100;
    for (const auto &part : parts) {
        bytes image = random_image(part.size, ++seed);
        image.front() = image.back() = 0x5A; // the span readers see starts and ends with data
        write_file(dir / part.name, image);
        std::copy(image.begin(), image.end(), flash.begin() + (part.address - 0x08000000));
    }
    ASSERT_EQ(std::system(("objcopy -I binary -O elf32-i386 --change-addresses 0x8008000 --set-start 0x8008101 " +
                           dir / "app.bin" + " " + dir / "app.elf" + " && objcopy -O ihex " + dir / "app.elf" + " " +
                           dir / "app.hex").c_str()), 0);
    ASSERT_NE(read_file(dir / "app.hex").find(":04000005"), std::string::npos) << "objcopy wrote no start address";
    // The same as records that go on across 64 KiB, the first of 8 bytes, so
    // that every 64 KiB block of the conversion ends inside a record.
    const std::string app = read_file(dir / "app.bin");
    write_file(dir / "app8.hex", [&] { const std::string text = hex_text(0x08008000, bytes(app.begin(), app.end()), 8);
                                       return bytes(text.begin(), text.end()); }());
    const std::vector<std::string> runs[] = {{"-a8000000", "-m", "0x8008000:app.bin"},
                                             {"-s", "-m", "0x8008000:app.bin"},
                                             {"-c", "8008000:807F7FC", "-m", "0x8008000:app.bin"},
                                             {"-s", "-c", "8008000:807F7FC", "-m", "0x8008000:app.bin"},
                                             {"-c", "8008000:807F7FC", "-i", "app.hex"},
                                             {"-c", "8008000:807F7FC", "-i", "app8.hex"}};
    for (const auto &options : runs) {
        const bool with_crc = options[1] == "-c" || options[0] == "-c", omit = options[0] == "-s";
        std::vector<std::string> args = options;
        args.insert(args.end(), {"-m", "0807F800:settings.bin", "boot.bin"});
        ASSERT_EQ(run_fw2hex(dir.path, args).status, 0);
        std::string what;
        for (const std::string &option : options)
            what += option + " ";
        const hex_contents hex = read_hex(read_file(dir / "boot.hex"));
        ASSERT_EQ(hex.fault, "") << what;
        bytes expected = flash;
        if (with_crc) {
            const std::uint32_t crc = bitwise_stm32_crc(flash.data() + (slot - 0x08000000), crc_word - slot);
            for (std::size_t i = 0; i < 4; ++i)
                expected[crc_word - 0x08000000 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
        }
        bytes back(flash.size());
        for (std::size_t i = 0; i < flash.size(); ++i) {
            const std::uint8_t *at = hex.at(0x08000000 + i);
            back[i] = at != nullptr ? *at : 0xFF;
            ASSERT_EQ(back[i], expected[i]) << what << ": byte " << i;
            ASSERT_TRUE(at != nullptr || omit || !with_crc || i + 0x08000000 < slot || i + 0x08000000 >= crc_word + 4)
                << what << ": byte " << i << " of the slot is not written";
        }
        if (with_crc) {
            std::uint32_t stored = 0;
            for (std::size_t i = 0; i < 4; ++i)
                stored |= std::uint32_t{back[crc_word - 0x08000000 + i]} << (8 * i);
            EXPECT_EQ(stored, bitwise_stm32_crc(back.data() + (slot - 0x08000000), crc_word - slot)) << what;
        }
        ASSERT_EQ(std::system(("objcopy -I ihex -O binary --gap-fill 0xFF " + dir / "boot.hex" + " " + dir / "back.bin").c_str()), 0);
        EXPECT_EQ(read_file(dir / "back.bin"), std::string(expected.begin(), expected.end())) << what;
    }
}

namespace {

// The little-endian word at `at` of a binary file's bytes.
std::uint32_t le32(const std::string &bytes, std::size_t at)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i)
        value |= std::uint32_t{static_cast<std::uint8_t>(bytes[at + i])} << (8 * i);
    return value;
}

} // namespace

#ifdef FW2HEX_FWUPDTOOL
namespace {

std::string from_base64(const std::string &text)
{
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0, count = 0;
    for (const char c : text) {
        const std::size_t value = digits.find(c);
        if (value == std::string::npos)
            continue; // '=' and line breaks
        bits = (bits << 6) | static_cast<unsigned>(value);
        if ((count += 6) >= 8)
            out += static_cast<char>((bits >> (count -= 8)) & 0xFF);
    }
    return out;
}

// The fields fwupdtool firmware-export shows: each <addr> with the data of
// the <data> after it.
std::vector<std::pair<std::uint64_t, std::string>> fwupd_chunks(const std::string &xml)
{
    std::vector<std::pair<std::uint64_t, std::string>> chunks;
    for (std::size_t at = xml.find("<addr>"); at != std::string::npos; at = xml.find("<addr>", at + 1)) {
        const std::size_t data = xml.find('>', xml.find("<data", at)) + 1;
        chunks.emplace_back(std::stoull(xml.substr(at + 6), nullptr, 16),
                            from_base64(xml.substr(data, xml.find('<', data) - data)));
    }
    return chunks;
}


} // namespace
#endif

// One layout (bootloader, application with its slot's CRC, settings, an
// Intel HEX part) in every format, with and without -s, read back by
// readers this project did not write to the bytes at the addresses of the
// Intel HEX output: objcopy for S-records and the raw binary, fwupdtool for
// DfuSe and UF2 (which checks the DfuSe CRC and the UF2 block numbers), and
// dfu-suffix for DfuSe's suffix.
TEST(RoundTrip, EveryFormatHoldsTheSameBytes)
{
    const temp_dir dir;
    write_file(dir / "boot.bin", random_image(24 * 1024 + 5, 7));
    write_file(dir / "app.bin", random_image(100000, 8));
    write_file(dir / "settings.bin", random_image(2048, 9));
    write_file(dir / "part.bin", random_image(3000, 10));
    ASSERT_EQ(std::system(("objcopy -I binary -O ihex --change-addresses 0x8100003 " + dir / "part.bin" + " " +
                           dir / "part.hex").c_str()), 0);
    const std::vector<std::string> layout{"-c", "8008000:803FFFC", "-m", "8008000:app.bin", "-m", "80E0000:settings.bin",
                                          "-i", "part.hex", "boot.bin"};
    for (const bool omit : {false, true}) {
        std::vector<std::string> options = layout;
        if (omit)
            options.insert(options.begin(), "-s");
        const std::string what = omit ? "-s" : "without -s";
        ASSERT_EQ(run_fw2hex(dir.path, options).status, 0) << what;
        const hex_contents hex = read_hex(read_file(dir / "boot.hex"));
        ASSERT_EQ(hex.fault, "") << what;
        const auto run = [&](const std::string &format, const std::string &file) {
            std::vector<std::string> args{"-O", format, "-o", file};
            args.insert(args.end(), options.begin(), options.end());
            ASSERT_EQ(run_fw2hex(dir.path, args).status, 0) << what << " " << format;
        };

        // What fw2hex wrote, fw2hex reads back as a part to the same bytes.
        const auto read_back = [&](const std::string &file) {
            EXPECT_EQ(run_fw2hex(dir.path, {"-o", "back.hex", "-i", file}).status, 0) << what << " " << file;
            return read_hex(read_file(dir / "back.hex")).memory;
        };
        EXPECT_EQ(read_back("boot.hex"), hex.memory) << what;

        // S-records: the same bytes, and one record per Intel HEX data record.
        run("srec", "factory.srec");
        EXPECT_EQ(read_back("factory.srec"), hex.memory) << what;
        ASSERT_EQ(std::system(("objcopy -I srec -O ihex " + dir / "factory.srec" + " " + dir / "back.hex").c_str()), 0);
        std::map<std::uint32_t, std::uint8_t> back;
        ASSERT_TRUE(read_any_hex(read_file(dir / "back.hex"), &back)) << what;
        EXPECT_TRUE(std::equal(back.begin(), back.end(), hex.memory.begin(), hex.memory.end(),
                               [](const auto &a, const auto &b) { return a.first == b.first && a.second == b.second; }))
            << what;
        std::vector<std::pair<std::uint64_t, std::size_t>> records;
        std::istringstream lines(read_file(dir / "factory.srec"));
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("S3", 0) == 0)
                records.emplace_back(std::stoull(line.substr(4, 8), nullptr, 16), std::stoul(line.substr(2, 2), nullptr, 16) - 5);
        EXPECT_EQ(records, hex.records) << what;
        // A name too long for the S0 record is cut, and its count stays right.
        const std::string long_name = std::string(250, 'n') + ".srec";
        run("srec", long_name);
        EXPECT_EQ(std::system(("objcopy -I srec -O ihex " + dir / long_name + " " + dir / "back.hex").c_str()), 0) << what;

        // The raw binary: every byte from the lowest to the highest, the gaps erased.
        if (!omit) {
            run("bin", "factory.bin");
            const std::string binary = read_file(dir / "factory.bin");
            const std::uint64_t lowest = hex.memory.front().first;
            ASSERT_EQ(binary.size(), hex.memory.back().first + 1 - lowest);
            for (std::size_t i = 0; i < binary.size(); ++i) {
                const std::uint8_t *at = hex.at(lowest + i);
                ASSERT_EQ(static_cast<std::uint8_t>(binary[i]), at != nullptr ? *at : 0xFF) << "byte " << i;
            }
        }
        run("dfu", "factory.dfu");
        EXPECT_EQ(read_back("factory.dfu"), hex.memory) << what;
        // Its one target's size counts its elements with their headers, not
        // its own prefix; one element per run of consecutive bytes, a
        // region's fill and CRC word in the run of the image beside them.
        const std::string dfu = read_file(dir / "factory.dfu");
        std::size_t runs = 0;
        for (std::size_t i = 0; i < hex.memory.size(); ++i)
            runs += i == 0 || hex.memory[i].first != hex.memory[i - 1].first + 1 ? 1 : 0;
        ASSERT_GT(dfu.size(), 11u + 274 + 16) << what;
        EXPECT_EQ(le32(dfu, 11 + 266), dfu.size() - 16 - 11 - 274) << what;
        EXPECT_EQ(le32(dfu, 11 + 270), runs) << what;
        // A later -O dfu takes the default IDs back.
        std::vector<std::string> ids{"-O", "dfu:1234:5678", "-O", "dfu", "-o", "ids.dfu"};
        ids.insert(ids.end(), options.begin(), options.end());
        ASSERT_EQ(run_fw2hex(dir.path, ids).status, 0) << what;
        const std::string with_ids = read_file(dir / "ids.dfu");
        EXPECT_EQ(le32(with_ids, with_ids.size() - 14), 0x0483DF11u) << what << ": the suffix's product and vendor IDs";
        // UF2 holds whole 256-byte blocks: the bytes, and 0xFF where its
        // blocks hold nothing.
        run("uf2:stm32f4", "factory.uf2");
        std::map<std::uint64_t, std::uint8_t> padded;
        for (const auto &[address, byte] : hex.memory)
            for (std::uint64_t at = address / 256 * 256; at < address / 256 * 256 + 256; ++at)
                padded.emplace(at, 0xFF);
        for (const auto &[address, byte] : hex.memory)
            padded[address] = byte;
        const std::vector<std::pair<std::uint64_t, std::uint8_t>> blocks_held(padded.begin(), padded.end());
        EXPECT_EQ(read_back("factory.uf2"), blocks_held) << what;
#ifdef FW2HEX_FWUPDTOOL
        // DfuSe: one element per run of bytes, the ROM bootloader's IDs.
        std::vector<std::pair<std::uint64_t, std::uint8_t>> memory;
        for (const auto &[address, data] : fwupd_chunks(output_of(FW2HEX_FWUPDTOOL " firmware-export " + dir / "factory.dfu" + " dfuse 2>/dev/null")))
            for (std::size_t i = 0; i < data.size(); ++i)
                memory.emplace_back(address + i, static_cast<std::uint8_t>(data[i]));
        EXPECT_EQ(memory, hex.memory) << what;
        const std::string suffix = output_of(FW2HEX_DFU_SUFFIX " -c " + dir / "factory.dfu");
        EXPECT_NE(suffix.find("Product ID:\t0xDF11\nVendor ID:\t0x0483\nBCD DFU:\t0x011A"), std::string::npos) << suffix;

        // UF2: the 256-byte blocks that hold data, in order, erased where
        // nothing lies, each at its address.
        const auto uf2 = fwupd_chunks(output_of(FW2HEX_FWUPDTOOL " firmware-export " + dir / "factory.uf2" + " uf2 2>/dev/null"));
        ASSERT_EQ(uf2.size(), 1u) << what;
        std::string blocks;
        std::vector<std::uint64_t> addresses;
        for (const auto &[address, byte] : hex.memory)
            if (addresses.empty() || address / 256 != addresses.back() / 256) {
                addresses.push_back(address / 256 * 256);
                blocks.append(256, '\xFF');
                blocks[blocks.size() - 256 + address % 256] = static_cast<char>(byte);
            } else {
                blocks[blocks.size() - 256 + address % 256] = static_cast<char>(byte);
            }
        EXPECT_EQ(uf2[0].first, addresses.front()) << what;
        EXPECT_TRUE(uf2[0].second == blocks) << what << ": the blocks' bytes differ";
        const std::string file = read_file(dir / "factory.uf2");
        ASSERT_EQ(file.size(), 512 * addresses.size()) << what;
        for (std::size_t i = 0; i < addresses.size(); ++i) {
            EXPECT_EQ(le32(file, 512 * i + 12), addresses[i]) << what << ": block " << i;
            EXPECT_EQ(le32(file, 512 * i + 24), addresses.size()) << what << ": block " << i;
            EXPECT_EQ(le32(file, 512 * i + 28), 0x57755A57u) << what << ": block " << i;
            EXPECT_EQ(le32(file, 512 * i + 8), 0x2000u) << what << ": block " << i << "'s flags";
        }
#endif
    }
}

// Parts that other tools wrote, read by fw2hex to the bytes those tools
// read back: S-records and Intel HEX from objcopy and srec_cat, and DfuSe
// from fwupdtool, across a 64 KiB boundary.
TEST(RoundTrip, PartsOtherToolsWrote)
{
    const temp_dir dir;
    const bytes image = random_image(70000, 21);
    write_file(dir / "image.bin", image);
    const std::string in = "'" + dir / "image.bin" + "' ";
    const struct {
        std::string command; // writes `file` from the image at 0x0800FFF0, or at 0x1000 where the records hold 16-bit addresses
        std::string file;
        std::uint32_t address;
    } cases[] = {
        {"objcopy -I binary -O srec --change-addresses 0x0800FFF0 " + in, "objcopy.srec", 0x0800FFF0},
        {"objcopy -I binary -O srec --srec-len 200 --srec-forceS3 --change-addresses 0x0800FFF0 " + in, "long.srec",
         0x0800FFF0},
        {"objcopy -I binary -O ihex --change-addresses 0x0800FFF0 " + in, "objcopy.hex", 0x0800FFF0},
        {"srec_cat " + in + "-binary -offset 0x0800FFF0 -o", "srec_cat.s37", 0x0800FFF0},
        {"srec_cat " + in + "-binary -offset 0x1000 -o", "srec_cat.s19", 0x1000},
        {"srec_cat " + in + "-binary -offset 0x0800FFF0 -o", "srec_cat.hex", 0x0800FFF0},
    };
    const bool have_srec_cat = output_of("command -v srec_cat") != "";
    for (const auto &c : cases) {
        if (c.command.rfind("srec_cat", 0) == 0 && !have_srec_cat) {
            std::printf("not run: %s (srec_cat is not installed)\n", c.file.c_str());
            continue;
        }
        const std::string format = c.file.find(".hex") != std::string::npos ? " -intel" : c.address < 0x10000 ? " -address-length=2" : "";
        ASSERT_EQ(std::system((c.command + " '" + dir / c.file + "'" + (c.command.rfind("srec_cat", 0) == 0 ? format : "")).c_str()), 0)
            << c.file;
        const run_result run = run_fw2hex(dir.path, {"-v", "-O", "bin", "-o", "back.bin", c.file});
        EXPECT_EQ(run.status, 0) << c.file << ": " << run.err;
        EXPECT_TRUE(read_file(dir / "back.bin") == std::string(image.begin(), image.end())) << c.file;
        char span[32];
        std::snprintf(span, sizeof span, "0x%08X-0x%08X", c.address, c.address + 70000 - 1);
        EXPECT_EQ(run.err.rfind(span, 0), 0u) << c.file << ": " << run.err;
    }
#ifdef FW2HEX_FWUPDTOOL
    ASSERT_EQ(std::system(("objcopy -I binary -O ihex --change-addresses 0x0800FFF0 " + in + dir / "part.hex").c_str()), 0);
    ASSERT_EQ(std::system((FW2HEX_FWUPDTOOL " firmware-convert " + dir / "part.hex" + " " + dir / "fwupd.dfu" +
                           " ihex dfuse >/dev/null 2>&1").c_str()), 0);
    // fwupd writes one element at address 0, which its export leaves out.
    ASSERT_EQ(run_fw2hex(dir.path, {"-o", "back.hex", "-i", "fwupd.dfu"}).status, 0);
    const std::string xml = output_of(FW2HEX_FWUPDTOOL " firmware-export " + dir / "fwupd.dfu" + " dfuse 2>/dev/null");
    const std::size_t data = xml.find('>', xml.find("<data")) + 1;
    const std::string exported = from_base64(xml.substr(data, xml.find('<', data) - data));
    ASSERT_TRUE(exported == std::string(image.begin(), image.end()));
    std::vector<std::pair<std::uint64_t, std::uint8_t>> memory;
    for (std::size_t i = 0; i < exported.size(); ++i)
        memory.emplace_back(i, static_cast<std::uint8_t>(exported[i]));
    EXPECT_EQ(read_hex(read_file(dir / "back.hex")).memory, memory);
#endif
}

#ifdef FW2HEX_ARM_GCC
namespace {

// A firmware as an STM32 build makes it: the vector table and code in
// flash, .data run from RAM and loaded behind the code, .bss, and a NOLOAD
// section in RAM.
const char firmware_source[] = R"(
extern unsigned _sidata, _sdata, _edata, _sbss, _ebss, _estack;
int main(void);
void reset(void)
{
    unsigned *from = &_sidata, *to = &_sdata;
    while (to < &_edata)
        *to++ = *from++;
    for (to = &_sbss; to < &_ebss;)
        *to++ = 0;
    main();
    for (;;) {}
}
__attribute__((section(".isr_vector"), used)) void (*const vectors[])(void) = {(void (*)(void))&_estack, reset};
const char banner[] = "fw2hex test firmware";
int counter = 0x12345678;
unsigned table[8] = {1, 2, 3, 4, 5, 6, 7, 8};
unsigned scratch[64];
__attribute__((section(".noinit"))) unsigned kept[16];
int main(void) { return counter + (int)table[3] + banner[2] + (int)scratch[1] + (int)kept[0]; }
)";
const char firmware_script[] = R"(
MEMORY { FLASH (rx) : ORIGIN = 0x08008000, LENGTH = 96K
         RAM (rwx) : ORIGIN = 0x20000000, LENGTH = 64K }
_estack = ORIGIN(RAM) + LENGTH(RAM);
SECTIONS {
    .isr_vector : { KEEP(*(.isr_vector)) } > FLASH
    .text : { *(.text*) *(.rodata*) } > FLASH
    _sidata = LOADADDR(.data);
    .data : { _sdata = .; *(.data*) _edata = .; } > RAM AT> FLASH
    .bss : { _sbss = .; *(.bss*) *(COMMON) _ebss = .; } > RAM
    .noinit (NOLOAD) : { *(.noinit) } > RAM
}
)";

bytes as_bytes(const std::string &text)
{
    return bytes(text.begin(), text.end());
}

} // namespace

// ELF files as builds make them, read to the bytes at the addresses that
// objcopy -O ihex writes from the same file: .data at its load address in
// flash, no .bss or NOLOAD section, a section in no segment at its own
// address, either byte order, ELF64; a file without section headers by its
// segments; and what no linked program is, refused.
TEST(RoundTrip, ElfAsObjcopyReadsIt)
{
    const temp_dir dir;
    write_file(dir / "app.c", bytes(std::begin(firmware_source), std::end(firmware_source) - 1));
    write_file(dir / "app.ld", bytes(std::begin(firmware_script), std::end(firmware_script) - 1));
    write_file(dir / "extra.bin", bytes{'e', 'x', 't', 'r', 'a'});
    // A section whose address lies outside the one segment that holds its
    // bytes (ld warns): binutils takes the section's own address.
    write_file(dir / "phdrs.ld", as_bytes("ENTRY(Reset_Handler)\nPHDRS { text PT_LOAD; }\nSECTIONS {\n"
                                            "  .text 0x08000000 : { *(.text*) } :text\n  .c 0x08000200 : { *(.c) } :text\n"
                                            "  .b 0x20000000 : AT(0x08000300) { *(.b) } :text\n"
                                            "  /DISCARD/ : { *(.ARM.*) *(.comment) }\n}\n"));
    write_file(dir / "phdrs.c", as_bytes("const char c_data[16] __attribute__((section(\".c\"))) = \"in .c\";\n"
                                           "char b_data[16] __attribute__((section(\".b\"))) = \"in .b, loaded\";\n"
                                           "void Reset_Handler(void) { for (;;) {} }\n"));
    const std::string gcc = std::string(FW2HEX_ARM_GCC) + " -mcpu=cortex-m4 -mthumb -O2 -nostdlib -ffreestanding -T '" +
                            dir / "app.ld" + "' '" + dir / "app.c" + "' -o ";
    const std::string objcopy = FW2HEX_ARM_OBJCOPY;
    const std::string add_extra = objcopy + " --add-section .extra='" + dir / "extra.bin" +
                                  "' --set-section-flags .extra=alloc,load,contents --change-section-address .extra=";
    const struct {
        std::string build;     // makes the file (from le.elf when it names it)
        std::string file;
        std::string reference; // the file objcopy reads for the bytes expected
        std::string err;       // fw2hex's refusal, or "" when it converts
    } cases[] = {
        {gcc + "'" + dir / "le.elf" + "'", "le.elf", "le.elf", ""},
        {gcc + "'" + dir / "be.elf" + "' -mbig-endian", "be.elf", "be.elf", ""},
        {add_extra + "0x08010000 '" + dir / "le.elf" + "' '" + dir / "extra.elf" + "' 2>/dev/null", "extra.elf", "extra.elf", ""},
        {std::string(FW2HEX_ARM_GCC) + " -mcpu=cortex-m4 -mthumb -O2 -nostdlib -ffreestanding -T '" + dir / "phdrs.ld" + "' '" +
             dir / "phdrs.c" + "' -o '" + dir / "phdrs.elf" + "' 2>/dev/null", "phdrs.elf", "phdrs.elf", ""},
        {"cc -nostdlib -static -no-pie -Wl,-Ttext=0x08000000 -Wl,--build-id=none -x c - -o '" + dir / "host.elf" +
             "' <<<'void _start(void) { for (;;) {} } const char text[] = \"ELF64\"; int data = 7;'",
         "host.elf", "host.elf", ""},
        // e_shoff, e_shnum and e_shstrndx cleared: only the segments are left.
        {"cp '" + dir / "le.elf" + "' '" + dir / "bare.elf" + "' && printf '\\0\\0\\0\\0' | dd of='" + dir / "bare.elf" +
             "' bs=1 seek=32 conv=notrunc 2>/dev/null && printf '\\0\\0\\0\\0' | dd of='" + dir / "bare.elf" +
             "' bs=1 seek=48 conv=notrunc 2>/dev/null", "bare.elf", "le.elf", ""},
        {add_extra + "0x08008004 '" + dir / "le.elf" + "' '" + dir / "overlap.elf" + "' 2>/dev/null", "overlap.elf", "",
         "overlap.elf: section .isr_vector and section .extra share the load address 0x8008004\n"},
        {add_extra + "0xFFFFFFFE '" + dir / "le.elf" + "' '" + dir / "top.elf" + "' 2>/dev/null", "top.elf", "",
         "top.elf: section .extra at 0xFFFFFFFE passes 0xFFFFFFFF\n"},
        {"head -c 8000 '" + dir / "le.elf" + "' >'" + dir / "cut.elf" + "'", "cut.elf", "",
         "cut.elf: the section header table lies past the end of the file; it may have been cut short\n"},
        {std::string(FW2HEX_ARM_GCC) + " -mthumb -c '" + dir / "app.c" + "' -o '" + dir / "app.o" + "'", "app.o", "",
         "app.o: an object file (ELF type ET_REL), not yet linked: give the linker's output\n"},
    };
    for (const auto &c : cases) {
        ASSERT_EQ(std::system(("bash -c '" + replaced(c.build, "'", "'\\''") + "'").c_str()), 0) << c.build;
        const run_result run = run_fw2hex(dir.path, {"-v", "-o", "fw2hex.hex", c.file});
        if (!c.err.empty()) {
            EXPECT_EQ(run.status, c.file == "top.elf" ? 252 : 254) << c.file;
            EXPECT_EQ(run.err, c.err) << c.file;
            EXPECT_FALSE(exists(dir / "fw2hex.hex")) << c.file;
            continue;
        }
        ASSERT_EQ(run.status, 0) << c.file << ": " << run.err;
        // The host's ELF64 is read by the host's objcopy.
        const std::string reader = c.file == "host.elf" ? std::string("objcopy") : objcopy;
        ASSERT_EQ(std::system((reader + " -O ihex '" + dir / c.reference + "' '" + dir / "objcopy.hex" + "'").c_str()), 0);
        std::map<std::uint32_t, std::uint8_t> expected;
        std::uint32_t start = 0;
        ASSERT_TRUE(read_any_hex(read_file(dir / "objcopy.hex"), &expected, &start)) << c.file;
        const hex_contents got = read_hex(read_file(dir / "fw2hex.hex"));
        ASSERT_EQ(got.fault, "") << c.file;
        EXPECT_NE(start, 0u) << c.file;
        EXPECT_EQ(got.start, start) << c.file << ": the start address differs from objcopy's";
        ASSERT_GT(expected.size(), 8u) << c.file;
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), got.memory.begin(), got.memory.end(),
                               [](const auto &a, const auto &b) { return a.first == b.first && a.second == b.second; }))
            << c.file << ": the bytes differ from objcopy's";
        if (c.file == "le.elf") {
            EXPECT_NE(run.err.find("le.elf (ELF section .data)\n"), std::string::npos) << run.err;
            EXPECT_EQ(run.err.find(".bss"), std::string::npos) << run.err;
        }
        std::remove((dir / "fw2hex.hex").c_str());
    }
}
#endif
