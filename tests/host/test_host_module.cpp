// Loading modules: the entry point named by the property section, the
// fallback without one, clear errors that name the file, and the section
// reader on hand-built ELF files, whole and damaged.
#include "host/HostModule.h"
#include "tests/host/HostTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <elf.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::filesystem::path TempFile(const std::string& name, const std::vector<uint8_t>& bytes) {
    const std::filesystem::path path =
        std::filesystem::temp_directory_path() / ("host_tests_" + std::to_string(getpid()) + "_" + name);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::string LoadError(const std::filesystem::path& path) {
    try {
        HostModule module(path);
    } catch (const HostModuleError& error) {
        return error.what();
    }
    return "";
}

TEST(HostModuleLoading, EntryPointComesFromThePropertiesOrFallsBackToMain) {
    struct Case {
        const char* file;
        bool hasProperties;
        const char* entry;
        int32_t answer; // what the variant's entry point returns for selector 0
    } cases[] = {
        {kFixtureRenamed, true, "FixtureEntry", 100},
        {kFixtureUnnamed, false, "main", 200},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const HostModule module(c.file);
        EXPECT_EQ(module.HasProperties(), c.hasProperties);
        EXPECT_EQ(module.EntryPointName(), c.entry);
        EXPECT_EQ(module.Name() + "/" + module.Category(), c.hasProperties ? "Minimal Fixture/Testing" : "/");
        EXPECT_EQ(module.Notice().empty(), c.hasProperties);
        ASSERT_NE(module.EntryPoint(), nullptr);
        EXPECT_EQ(module.EntryPoint()(0, nullptr, nullptr, nullptr, nullptr, nullptr), c.answer);
        EXPECT_EQ(module.EntryPoint()(4, nullptr, nullptr, nullptr, nullptr, nullptr), c.answer + 4);
    }
    const HostModule unnamed(kFixtureUnnamed);
    EXPECT_NE(unnamed.Notice().find(kFixtureUnnamed), std::string::npos) << unnamed.Notice();
    EXPECT_NE(unnamed.Notice().find(HOST_PROPERTY_SECTION), std::string::npos) << unnamed.Notice();
}

TEST(HostModuleLoading, FailuresNameTheFile) {
    const std::filesystem::path text = TempFile("text.so", {'h', 'e', 'l', 'l', 'o', '\n'});
    std::ifstream fixture(kFixtureRenamed, std::ios::binary);
    std::vector<uint8_t> head(256);
    fixture.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    const std::filesystem::path truncated = TempFile("truncated.so", head);
    const std::filesystem::path missing = std::filesystem::temp_directory_path() / "host_tests_no_such_module.so";

    struct Case {
        std::filesystem::path file;
        const char* reason;
    } cases[] = {
        {missing, "does not exist"},
        {std::filesystem::temp_directory_path(), "is not a regular file"},
        {text, "is not an ELF file"},
        {truncated, "is damaged"},
        {kFixtureMisnamed, "has no entry point 'absent_entry'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file.string());
        const std::string error = LoadError(c.file);
        EXPECT_NE(error.find(std::filesystem::absolute(c.file).string()), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
    std::filesystem::remove(text);
    std::filesystem::remove(truncated);
}

// A minimal ELF file: header, the section's contents, the section name table,
// then the section headers (null, the named section, the name table).
struct ElfLayout {
    bool is64 = true;
    std::string sectionName = HOST_PROPERTY_SECTION;
    std::vector<uint8_t> contents;
    uint64_t offsetShift = 0; // moves the section's recorded offset
    uint32_t sectionType = SHT_PROGBITS;
};

template <typename Ehdr, typename Shdr> std::vector<uint8_t> BuildElf(const ElfLayout& layout, unsigned char elfClass) {
    std::string names;
    names.push_back('\0');
    const uint32_t sectionNameAt = static_cast<uint32_t>(names.size());
    names += layout.sectionName;
    names.push_back('\0');
    const uint32_t tableNameAt = static_cast<uint32_t>(names.size());
    names += ".shstrtab";
    names.push_back('\0');

    std::vector<uint8_t> file(sizeof(Ehdr));
    const size_t contentsAt = file.size();
    file.insert(file.end(), layout.contents.begin(), layout.contents.end());
    const size_t namesAt = file.size();
    file.insert(file.end(), names.begin(), names.end());
    while (file.size() % 8 != 0) file.push_back(0);
    const size_t headersAt = file.size();

    Shdr sections[3] = {};
    sections[1].sh_name = sectionNameAt;
    sections[1].sh_type = layout.sectionType;
    sections[1].sh_offset = static_cast<decltype(sections[1].sh_offset)>(contentsAt + layout.offsetShift);
    sections[1].sh_size = static_cast<decltype(sections[1].sh_size)>(layout.contents.size());
    sections[2].sh_name = tableNameAt;
    sections[2].sh_type = SHT_STRTAB;
    sections[2].sh_offset = static_cast<decltype(sections[2].sh_offset)>(namesAt);
    sections[2].sh_size = static_cast<decltype(sections[2].sh_size)>(names.size());
    const auto* raw = reinterpret_cast<const uint8_t*>(sections);
    file.insert(file.end(), raw, raw + sizeof sections);

    Ehdr header = {};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = elfClass;
    header.e_ident[EI_DATA] = ELFDATA2LSB;
    header.e_ident[EI_VERSION] = EV_CURRENT;
    header.e_type = ET_DYN;
    header.e_version = EV_CURRENT;
    header.e_ehsize = sizeof(Ehdr);
    header.e_shoff = static_cast<decltype(header.e_shoff)>(headersAt);
    header.e_shentsize = sizeof(Shdr);
    header.e_shnum = 3;
    header.e_shstrndx = 2;
    std::memcpy(file.data(), &header, sizeof header);
    return file;
}

std::vector<uint8_t> BuildElf(const ElfLayout& layout) {
    return layout.is64 ? BuildElf<Elf64_Ehdr, Elf64_Shdr>(layout, ELFCLASS64)
                       : BuildElf<Elf32_Ehdr, Elf32_Shdr>(layout, ELFCLASS32);
}

std::vector<uint8_t> Record(const char* magic, uint32_t version, const char* name, const char* entry,
                            size_t entryLength = 0) {
    HostModuleProperties properties = {};
    std::memcpy(properties.magic, magic, sizeof properties.magic);
    properties.version = version;
    std::strncpy(properties.name, name, sizeof properties.name - 1);
    std::strncpy(properties.category, "Cat", sizeof properties.category - 1);
    if (entryLength == 0) {
        std::strncpy(properties.entryPoint, entry, sizeof properties.entryPoint - 1);
    } else {
        std::memset(properties.entryPoint, 'e', entryLength);
    }
    const auto* raw = reinterpret_cast<const uint8_t*>(&properties);
    return std::vector<uint8_t>(raw, raw + sizeof properties);
}

TEST(HostModuleProperties, ReaderFindsTheRecordOrExplainsWhyNot) {
    const std::vector<uint8_t> good = Record("VTPROPS", 1, "Good", "entry_point");
    std::vector<uint8_t> tooShort(good.begin(), good.end() - 1);
    struct Case {
        const char* what;
        ElfLayout layout;
        const char* error; // null: the record is read
        bool found;        // when read
    } cases[] = {
        {"64-bit", {true, HOST_PROPERTY_SECTION, good}, nullptr, true},
        {"32-bit", {false, HOST_PROPERTY_SECTION, good}, nullptr, true},
        {"no section", {true, ".data", good}, nullptr, false},
        {"section too short", {true, HOST_PROPERTY_SECTION, tooShort}, "too small", false},
        {"section without bits", {true, HOST_PROPERTY_SECTION, good, 0, SHT_NOBITS}, "too small", false},
        {"wrong magic", {true, HOST_PROPERTY_SECTION, Record("VTPROPX", 1, "x", "main")}, "VTPROPS", false},
        {"wrong version", {true, HOST_PROPERTY_SECTION, Record("VTPROPS", 2, "x", "main")}, "version 2", false},
        {"unterminated entry", {true, HOST_PROPERTY_SECTION, Record("VTPROPS", 1, "x", "", 32)}, "entry-point", false},
        {"empty entry", {true, HOST_PROPERTY_SECTION, Record("VTPROPS", 1, "x", "")}, "entry-point", false},
        {"contents past the end", {true, HOST_PROPERTY_SECTION, good, 4096}, "beyond the end", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::filesystem::path file = TempFile("synthetic.so", BuildElf(c.layout));
        if (c.error != nullptr) {
            try {
                HostReadModuleProperties(file);
                ADD_FAILURE() << "no error";
            } catch (const HostModuleError& error) {
                EXPECT_NE(std::string(error.what()).find(c.error), std::string::npos) << error.what();
                EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos) << error.what();
            }
        } else {
            const std::optional<HostModuleProperties> properties = HostReadModuleProperties(file);
            ASSERT_EQ(properties.has_value(), c.found);
            if (c.found) {
                EXPECT_STREQ(properties->name, "Good");
                EXPECT_STREQ(properties->category, "Cat");
                EXPECT_STREQ(properties->entryPoint, "entry_point");
            }
        }
        std::filesystem::remove(file);
    }
}

} // namespace
