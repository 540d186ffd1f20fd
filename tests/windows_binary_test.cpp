// The Windows executable as shipped: its headers, imports and embedded manifest, read from the file.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "process.h"

namespace {

// Just enough of a PE32 and PE32+ reader to answer what the tests ask.
struct Pe {
    std::string bytes;
    std::uint32_t header = 0;  // offset of the "PE\0\0" signature

    template <typename T>
    T at(std::size_t offset) const {
        T value{};
        if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
        return value;
    }
    std::uint16_t machine() const { return at<std::uint16_t>(header + 4); }
    std::size_t optional_header() const { return header + 24; }
    std::uint16_t magic() const { return at<std::uint16_t>(optional_header()); }
    std::uint16_t subsystem() const { return at<std::uint16_t>(optional_header() + 68); }
    std::uint16_t dll_characteristics() const { return at<std::uint16_t>(optional_header() + 70); }
    std::uint32_t timestamp() const { return at<std::uint32_t>(header + 8); }
    std::uint32_t directory(int index) const {
        const std::size_t directories = magic() == 0x20b ? 112 : 96;  // PE32+ has wider fields before them
        return at<std::uint32_t>(optional_header() + directories + 8 * index);
    }

    // File offset of a relative virtual address, through the section table.
    std::size_t offset_of(std::uint32_t rva) const {
        const std::uint16_t sections = at<std::uint16_t>(header + 6);
        const std::size_t table = optional_header() + at<std::uint16_t>(header + 20);
        for (std::uint16_t i = 0; i < sections; ++i) {
            const std::size_t section = table + 40u * i;
            const auto virtual_address = at<std::uint32_t>(section + 12);
            const auto size = std::max(at<std::uint32_t>(section + 8), at<std::uint32_t>(section + 16));
            if (rva >= virtual_address && rva < virtual_address + size) {
                return rva - virtual_address + at<std::uint32_t>(section + 20);
            }
        }
        return bytes.size();
    }
    std::string text_at(std::uint32_t rva) const {
        return std::string(bytes.c_str() + std::min(offset_of(rva), bytes.size()));
    }

    std::set<std::string> imported_dlls() const {
        std::set<std::string> names;
        for (std::size_t entry = offset_of(directory(1)); entry + 20 <= bytes.size(); entry += 20) {
            const auto name = at<std::uint32_t>(entry + 12);
            if (name == 0) break;
            names.insert(text_at(name));
        }
        return names;
    }

    // The data of resource type/id/first language, or empty.
    std::string resource(std::uint32_t type, std::uint32_t id) const {
        const std::size_t root = offset_of(directory(2));
        auto find = [&](std::size_t table, std::uint32_t wanted, bool any) -> std::uint32_t {
            const auto count = at<std::uint16_t>(table + 12) + at<std::uint16_t>(table + 14);
            for (int i = 0; i < count; ++i) {
                const std::size_t entry = table + 16 + 8u * i;
                if (any || at<std::uint32_t>(entry) == wanted) return at<std::uint32_t>(entry + 4);
            }
            return 0;
        };
        const std::uint32_t types = find(root, type, false);
        if (!(types & 0x80000000u)) return {};
        const std::uint32_t ids = find(root + (types & 0x7fffffffu), id, false);
        if (!(ids & 0x80000000u)) return {};
        const std::uint32_t language = find(root + (ids & 0x7fffffffu), 0, true);
        if (language == 0 || (language & 0x80000000u)) return {};
        const std::size_t data = root + language;
        return bytes.substr(offset_of(at<std::uint32_t>(data)), at<std::uint32_t>(data + 4));
    }
};

Pe load(const std::string& path) {
    Pe pe{e2e::read_file(path)};
    pe.header = pe.at<std::uint32_t>(0x3c);
    return pe;
}

const std::string exe = QM_WINDOWS_UPDATER;
const bool x64 = std::string(QM_WINDOWS_ARCH) == "x64";  // else the 32-bit x86 build

// What an environment variable says, or the fallback; lets a build of other sources be checked.
std::string setting(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

// The text of a UTF-16 resource with its zero bytes dropped: enough to find ASCII keys and values.
std::string ascii(const std::string& utf16) {
    std::string text;
    for (char c : utf16) {
        if (c != '\0') text += c;
    }
    return text;
}

}  // namespace

TEST(WindowsExecutable, IsAGuiProgramForItsArchitectureWithHardeningAndNoTimestamp) {
    const Pe pe = load(exe);
    ASSERT_EQ(pe.bytes.substr(0, 2), "MZ");
    ASSERT_EQ(pe.bytes.substr(pe.header, 4), std::string("PE\0\0", 4));
    EXPECT_EQ(pe.machine(), x64 ? 0x8664 : 0x14c) << (x64 ? "x86-64" : "i386");
    EXPECT_EQ(pe.magic(), x64 ? 0x20b : 0x10b) << (x64 ? "PE32+" : "PE32");
    EXPECT_EQ(pe.subsystem(), 2) << "Windows GUI: no console window";
    const std::uint16_t flags = pe.dll_characteristics();
    EXPECT_TRUE(flags & 0x0040) << "DYNAMIC_BASE: loaded at a random address";
    EXPECT_TRUE(flags & 0x0100) << "NX_COMPAT: no code runs from data";
    if (x64) {
        EXPECT_TRUE(flags & 0x0020) << "HIGH_ENTROPY_VA: randomised across the whole 64-bit space";
    } else {
        EXPECT_TRUE(flags & 0x0400) << "NO_SEH: no exception handler can be planted on the stack";
    }
    EXPECT_TRUE(flags & 0x8000) << "TERMINAL_SERVER_AWARE: no compatibility shims";
    EXPECT_EQ(pe.timestamp(), 0u) << "no link time, so rebuilds are identical";
}

TEST(WindowsExecutable, ImportsOnlySystemLibraries) {
    EXPECT_EQ(load(exe).imported_dlls(), (std::set<std::string>{"KERNEL32.dll", "USER32.dll", "msvcrt.dll"}));
}

// Each architecture's budget: its measured size (x86 29,696 bytes, x64 31,232 with its unwind
// tables) plus room for some code. The C++ run-time's exception machinery, once back (through a
// library call built with exceptions, or a compiler that needs it), adds about 100 KiB.
TEST(WindowsExecutable, StaysWithinItsSizeBudget) {
    const std::size_t budget = (x64 ? 32u : 30u) * 1024;
    EXPECT_LE(load(exe).bytes.size(), budget) << "a budget of " << budget << " bytes";
}

TEST(WindowsExecutable, EmbedsItsManifestAsResourceOne) {
    const std::string manifest = load(exe).resource(24, 1);
    ASSERT_FALSE(manifest.empty()) << "no RT_MANIFEST resource 1";
    for (const char* setting :
         {R"(<requestedExecutionLevel level="asInvoker" uiAccess="false"/>)", ">UTF-8</activeCodePage>",
          ">true</longPathAware>", R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")",
          "PerMonitorV2"}) {
        EXPECT_NE(manifest.find(setting), std::string::npos) << setting;
    }
    // A manifest that names another architecture is ignored whole, the UTF-8 code page with it.
    const std::string architecture = std::string("processorArchitecture=\"") + (x64 ? "amd64" : "x86") + "\"";
    std::size_t named = 0;
    for (std::size_t at = manifest.find("processorArchitecture="); at != std::string::npos;
         at = manifest.find("processorArchitecture=", at + 1)) {
        EXPECT_EQ(manifest.compare(at, architecture.size(), architecture), 0) << manifest.substr(at, 40);
        ++named;
    }
    EXPECT_EQ(named, 2u) << "the program's identity and its Common Controls dependency";
}

// The version is written once, in project(); the resources must report exactly that.
// QM_VERSION_EXE and QM_VERSION_EXPECTED check another build (tests/version_bump.sh).
TEST(WindowsExecutable, ReportsTheProjectVersionInItsResourcesAndManifest) {
    const Pe pe = load(setting("QM_VERSION_EXE", exe));
    const std::string version = setting("QM_VERSION_EXPECTED", QM_PROJECT_VERSION);
    unsigned parts[3] = {};
    ASSERT_EQ(std::sscanf(version.c_str(), "%u.%u.%u", &parts[0], &parts[1], &parts[2]), 3) << version;
    const std::uint32_t high = parts[0] << 16 | parts[1], low = parts[2] << 16;

    const std::string info = pe.resource(16, 1);
    const std::size_t fixed = info.find("\xBD\x04\xEF\xFE");  // VS_FIXEDFILEINFO's signature
    ASSERT_NE(fixed, std::string::npos) << "no VS_VERSION_INFO resource 1";
    const Pe block{info.substr(fixed)};
    EXPECT_EQ(block.at<std::uint32_t>(8), high) << "FILEVERSION major, minor";
    EXPECT_EQ(block.at<std::uint32_t>(12), low) << "FILEVERSION patch, 0";
    EXPECT_EQ(block.at<std::uint32_t>(16), high) << "PRODUCTVERSION major, minor";
    EXPECT_EQ(block.at<std::uint32_t>(20), low) << "PRODUCTVERSION patch, 0";
    for (const std::string key : {"FileVersion", "ProductVersion"}) {
        EXPECT_NE(ascii(info).find(key + version), std::string::npos) << key << " in " << ascii(info);
    }

    EXPECT_NE(pe.resource(24, 1).find(R"(name="Quillmoor.Updater" version=")" + version + R"(.0")"),
              std::string::npos)
        << "the manifest's assemblyIdentity";
}
