// The binfmt_misc rule that hands the switch's programs to the emulator, and
// which programs need it.
#include <gtest/gtest.h>

#include <string>

#include "emulation.h"

namespace vswitch::sandbox {
namespace {

// The first ELF header bytes: class, byte order, OS/ABI, type and machine
// (the type's and machine's bytes already in the file's byte order).
std::string header(char elf_class, char order, char abi, std::string type, std::string machine) {
    return std::string("\x7f"
                       "ELF",
                       4) +
           elf_class + order + '\x01' + abi + std::string(8, '\0') + type + machine;
}

const std::string PPC_EXEC = header(1, 2, 0, {"\x00\x02", 2}, {"\x00\x14", 2});
const std::string PPC_LINUX_DYN = header(1, 2, 3, {"\x00\x03", 2}, {"\x00\x14", 2});
const std::string ARM64_DYN = header(2, 1, 0, {"\x03\x00", 2}, {"\xb7\x00", 2});
const std::string X86_64_DYN = header(2, 1, 0, {"\x03\x00", 2}, {"\x3e\x00", 2});
const std::string I386_DYN = header(1, 1, 0, {"\x03\x00", 2}, {"\x03\x00", 2});
const std::string PPC64_LE = header(2, 1, 0, {"\x02\x00", 2}, {"\x15\x00", 2});

TEST(Emulation, RuleMatchesExecutablesAndLibrariesOfAnyAbiOfThatMachine) {
    const std::string PPC_MAGIC =
        R"(\x7f\x45\x4c\x46\x01\x02\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x14)";
    const std::string BE_MASK =
        R"(\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff)";
    const struct {
        const char* name;
        std::string header;
        std::string rule;
    } rows[] = {
        {"big-endian executable", PPC_EXEC,
         ":guest:M::" + PPC_MAGIC + ":" + BE_MASK + ":/qemu:F\n"},
        {"big-endian library, Linux ABI", PPC_LINUX_DYN,
         ":guest:M::" + PPC_MAGIC + ":" + BE_MASK + ":/qemu:F\n"},
        {"little-endian library", ARM64_DYN,
         R"(:guest:M::\x7f\x45\x4c\x46\x02\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\xb7\x00:)"
         R"(\xff\xff\xff\xff\xff\xff\xff\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/qemu:F)"
         "\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(binfmt_rule("guest", row.header, "/qemu"), row.rule);
    }
}

TEST(Emulation, OnlyElfOfAnotherClassOrderOrMachineNeedsTheEmulator) {
    const struct {
        const char* name;
        std::string file;
        bool other;
    } rows[] = {
        {"same machine", X86_64_DYN, false},
        {"other machine", ARM64_DYN, true},
        {"other class", I386_DYN, true},
        {"other byte order and class", PPC_EXEC, true},
        {"other machine number only", PPC64_LE, true},
        {"script", "#!/bin/sh\n" + std::string(10, ' '), false},
        {"short file",
         "\x7f"
         "ELF",
         false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(other_machine(row.file, X86_64_DYN), row.other);
    }
}

} // namespace
} // namespace vswitch::sandbox
