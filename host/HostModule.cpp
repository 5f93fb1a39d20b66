#include "host/HostModule.h"

#include <bit>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#endif

namespace {

constexpr char kPropertyMagic[8] = {'V', 'T', 'P', 'R', 'O', 'P', 'S', '\0'};
constexpr uint32_t kPropertyVersion = 1;
#if defined(_WIN32)
const std::string kRecordPlace = std::string(HOST_PROPERTY_RESOURCE) + " resource";
#else
const std::string kRecordPlace = std::string(HOST_PROPERTY_SECTION) + " section";
#endif
// Bounds the memory a corrupt header can make the reader allocate.
constexpr uint64_t kMaxSections = 1u << 20;
constexpr uint64_t kMaxNameTable = 1u << 26;

std::string Quoted(const std::filesystem::path& file) { return "'" + file.string() + "'"; }

[[noreturn]] void Fail(const std::filesystem::path& file, const std::string& what) {
    throw HostModuleError("module " + Quoted(file) + " " + what);
}

#if !defined(_WIN32)

class ElfFile {
public:
    explicit ElfFile(const std::filesystem::path& file) : file_(file) {
        std::error_code error;
        const std::filesystem::file_status status = std::filesystem::status(file, error);
        if (!std::filesystem::exists(status)) Fail(file, "does not exist");
        if (!std::filesystem::is_regular_file(status)) Fail(file, "is not a regular file");
        stream_.open(file, std::ios::binary);
        if (!stream_) Fail(file, std::string("cannot be opened: ") + std::strerror(errno));
        stream_.seekg(0, std::ios::end);
        size_ = static_cast<uint64_t>(stream_.tellg());
    }

    uint64_t Size() const { return size_; }

    void Read(uint64_t offset, void* out, uint64_t bytes, const char* what) {
        if (offset > size_ || bytes > size_ - offset)
            Fail(file_, std::string("is damaged: ") + what + " lies beyond the end of the file");
        stream_.seekg(static_cast<std::streamoff>(offset));
        stream_.read(static_cast<char*>(out), static_cast<std::streamsize>(bytes));
        if (!stream_) Fail(file_, std::string("cannot be read: ") + what);
    }

    const std::filesystem::path& Path() const { return file_; }

private:
    std::filesystem::path file_;
    std::ifstream stream_;
    uint64_t size_ = 0;
};

template <typename Ehdr, typename Shdr> std::optional<HostModuleProperties> FindProperties(ElfFile& elf) {
    Ehdr header;
    elf.Read(0, &header, sizeof header, "the ELF header");
    if (header.e_shoff == 0) return std::nullopt;
    if (header.e_shentsize < sizeof(Shdr)) Fail(elf.Path(), "has section header entries that are too small");

    auto section = [&](uint64_t index) {
        Shdr entry;
        elf.Read(header.e_shoff + index * header.e_shentsize, &entry, sizeof entry, "a section header");
        return entry;
    };
    // Files with very many sections keep the real counts in section 0.
    uint64_t count = header.e_shnum;
    uint64_t names = header.e_shstrndx;
    if (count == 0 || names == SHN_XINDEX) {
        const Shdr first = section(0);
        if (count == 0) count = first.sh_size;
        if (names == SHN_XINDEX) names = first.sh_link;
    }
    if (count == 0) return std::nullopt;
    if (count > kMaxSections) Fail(elf.Path(), "has an implausible number of sections");
    if (names == SHN_UNDEF || names >= count) Fail(elf.Path(), "has no section name table");

    const Shdr nameSection = section(names);
    if (nameSection.sh_size > kMaxNameTable) Fail(elf.Path(), "has an implausible section name table");
    std::vector<char> nameTable(static_cast<size_t>(nameSection.sh_size) + 1, '\0');
    elf.Read(nameSection.sh_offset, nameTable.data(), nameSection.sh_size, "the section name table");

    const size_t wanted = std::strlen(HOST_PROPERTY_SECTION);
    for (uint64_t i = 1; i < count; ++i) {
        const Shdr entry = section(i);
        if (entry.sh_name >= nameSection.sh_size) continue;
        const char* name = nameTable.data() + entry.sh_name;
        if (std::strlen(name) != wanted || std::memcmp(name, HOST_PROPERTY_SECTION, wanted) != 0) continue;

        if (entry.sh_type == SHT_NOBITS || entry.sh_size < sizeof(HostModuleProperties)) {
            Fail(elf.Path(),
                 std::string("has a section ") + HOST_PROPERTY_SECTION + " too small for a property record");
        }
        HostModuleProperties properties;
        elf.Read(entry.sh_offset, &properties, sizeof properties, "the property record");
        if (std::memcmp(properties.magic, kPropertyMagic, sizeof kPropertyMagic) != 0) {
            Fail(elf.Path(), "has a property record that does not start with VTPROPS");
        }
        if (properties.version != kPropertyVersion) {
            Fail(elf.Path(),
                 "has property record version " + std::to_string(properties.version) + ", which is not supported");
        }
        if (std::memchr(properties.entryPoint, '\0', sizeof properties.entryPoint) == nullptr ||
            properties.entryPoint[0] == '\0') {
            Fail(elf.Path(), "has a property record without an entry-point name");
        }
        // The display texts are only shown; cutting an unterminated one is harmless.
        properties.name[sizeof properties.name - 1] = '\0';
        properties.category[sizeof properties.category - 1] = '\0';
        return properties;
    }
    return std::nullopt;
}

#endif

std::string Text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

} // namespace

#if defined(_WIN32)

namespace {

std::string LastError() {
    const DWORD code = GetLastError();
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = text ? text : "error " + std::to_string(code);
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    return message;
}

} // namespace

// The record is the RCDATA resource HOST_PROPERTY_RESOURCE: "VTPROPS\0", then
// the display name, the category and the entry point, each NUL-terminated
// (version 1 by its form). Read from the file as data, without running it.
std::optional<HostModuleProperties> HostReadModuleProperties(const std::filesystem::path& file) {
    HMODULE data = LoadLibraryExW(file.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    if (data == nullptr) Fail(file, "cannot be read as a DLL: " + LastError());
    struct Unload {
        HMODULE module;
        ~Unload() { FreeLibrary(module); }
    } unload{data};
    HRSRC found = FindResourceA(data, HOST_PROPERTY_RESOURCE, MAKEINTRESOURCEA(10) /* RT_RCDATA */);
    if (found == nullptr) return std::nullopt;
    const DWORD size = SizeofResource(data, found);
    HGLOBAL loaded = LoadResource(data, found);
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (bytes == nullptr) Fail(file, "has a property resource that cannot be read");
    const std::string record(bytes, size);
    if (record.size() < sizeof kPropertyMagic || std::memcmp(record.data(), kPropertyMagic, sizeof kPropertyMagic) != 0)
        Fail(file, "has a property record that does not start with VTPROPS");
    HostModuleProperties properties{};
    std::memcpy(properties.magic, kPropertyMagic, sizeof kPropertyMagic);
    properties.version = kPropertyVersion;
    size_t at = sizeof kPropertyMagic;
    for (const auto& [field, capacity] : {std::pair{properties.name, sizeof properties.name},
                                          std::pair{properties.category, sizeof properties.category},
                                          std::pair{properties.entryPoint, sizeof properties.entryPoint}}) {
        const size_t end = record.find('\0', at);
        if (end == std::string::npos) Fail(file, "has a property record with an unterminated field");
        // The display texts are only shown; cutting a long one is harmless.
        const size_t length = std::min(end - at, capacity - 1);
        std::memcpy(field, record.data() + at, length);
        at = end + 1;
    }
    if (properties.entryPoint[0] == '\0') Fail(file, "has a property record without an entry-point name");
    return properties;
}

#else

std::optional<HostModuleProperties> HostReadModuleProperties(const std::filesystem::path& file) {
    ElfFile elf(file);
    unsigned char ident[EI_NIDENT];
    if (elf.Size() < EI_NIDENT) Fail(file, "is not an ELF file (too short)");
    elf.Read(0, ident, EI_NIDENT, "the ELF identification");
    if (std::memcmp(ident, ELFMAG, SELFMAG) != 0) Fail(file, "is not an ELF file");
    const unsigned char native = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (ident[EI_DATA] != native) Fail(file, "is an ELF file in a foreign byte order");
    switch (ident[EI_CLASS]) {
    case ELFCLASS64:
        return FindProperties<Elf64_Ehdr, Elf64_Shdr>(elf);
    case ELFCLASS32:
        return FindProperties<Elf32_Ehdr, Elf32_Shdr>(elf);
    default:
        Fail(file, "is an ELF file of unknown class");
    }
}

#endif

HostModule::HostModule(const std::filesystem::path& file) : path_(std::filesystem::absolute(file)) {
    const std::optional<HostModuleProperties> properties = HostReadModuleProperties(path_);
    if (properties) {
        properties_ = *properties;
        hasProperties_ = true;
        entryName_ = properties_.entryPoint;
    } else {
        entryName_ = "main";
        std::memcpy(properties_.entryPoint, "main", 5);
        notice_ = "module " + Quoted(path_) + " has no " + kRecordPlace + "; using the entry point 'main'";
    }

#if defined(_WIN32)
    library_ = LoadLibraryW(path_.c_str());
    if (library_ == nullptr) Fail(path_, "cannot be loaded: " + LastError());
    FARPROC symbol = GetProcAddress(static_cast<HMODULE>(library_), entryName_.c_str());
#else
    dlerror();
    library_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_ == nullptr) {
        const char* reason = dlerror();
        Fail(path_, std::string("cannot be loaded: ") + (reason ? reason : "unknown dlopen error"));
    }
    dlerror();
    void* symbol = dlsym(library_, entryName_.c_str());
#endif
    if (symbol == nullptr) {
        Close();
        Fail(path_, "has no entry point '" + entryName_ + "'");
    }
    // Function and object pointers share a representation where modules are loaded this way.
    static_assert(sizeof entry_ == sizeof symbol);
    std::memcpy(&entry_, &symbol, sizeof entry_);
}

HostModule::HostModule(HostModule&& other) noexcept
    : path_(std::move(other.path_)), properties_(other.properties_), hasProperties_(other.hasProperties_),
      entryName_(std::move(other.entryName_)), notice_(std::move(other.notice_)),
      library_(std::exchange(other.library_, nullptr)), entry_(std::exchange(other.entry_, nullptr)) {}

HostModule& HostModule::operator=(HostModule&& other) noexcept {
    if (this != &other) {
        Close();
        path_ = std::move(other.path_);
        properties_ = other.properties_;
        hasProperties_ = other.hasProperties_;
        entryName_ = std::move(other.entryName_);
        notice_ = std::move(other.notice_);
        library_ = std::exchange(other.library_, nullptr);
        entry_ = std::exchange(other.entry_, nullptr);
    }
    return *this;
}

HostModule::~HostModule() { Close(); }

void HostModule::Close() noexcept {
#if defined(_WIN32)
    if (library_ != nullptr) FreeLibrary(static_cast<HMODULE>(library_));
#else
    if (library_ != nullptr) dlclose(library_);
#endif
    library_ = nullptr;
    entry_ = nullptr;
}

std::string HostModule::Name() const { return Text(properties_.name, sizeof properties_.name); }

std::string HostModule::Category() const { return Text(properties_.category, sizeof properties_.category); }
