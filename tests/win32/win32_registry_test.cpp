// The registry shell and the settings store against Wine's registry, with Wine's own reg tool
// as the witness: what the program writes is where other tools look for it, what they write
// is read, and what fails leaves nothing behind.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>

#include "auth/settings_store.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt {
namespace {

const std::string kKey = "HKCU\\Software\\Varnholt Test";
const std::string kSettings = "HKCU\\Software\\VB and VBA Program Settings\\Varnholt Test";

// What `reg ARGUMENTS` prints, or "" when it fails.
std::string Reg(const std::string& arguments) {
    std::string output;
    FILE* pipe = _popen(("reg " + arguments + " 2>nul").c_str(), "r");
    char buffer[512];
    while (pipe != nullptr && std::fgets(buffer, sizeof buffer, pipe) != nullptr) {
        output += buffer;
    }
    return pipe != nullptr && _pclose(pipe) == 0 ? output : "";
}

// A value as reg query shows it ("REG_DWORD 0x4"), or "" when it is absent.
std::string Queried(const std::string& key, const std::string& name) {
    const std::string output = Reg("query \"" + key + "\" /v \"" + name + "\"");
    const std::string field = "    " + name + "    ";
    const std::size_t start = output.find(field);
    if (start == std::string::npos) {
        return "";
    }
    std::string line = output.substr(start + field.size());
    line = line.substr(0, line.find_first_of("\r\n"));
    return line.replace(line.find("    "), 4, " ");
}

std::uint32_t RaisedNumber(const std::function<void()>& call) {
    try {
        call();
    } catch (const Error& error) {
        EXPECT_FALSE(error.description().empty());
        return static_cast<std::uint32_t>(error.number());
    }
    return 0;
}

class Win32RegistryTest : public ::testing::Test {
  protected:
    void SetUp() override { TearDown(); }
    void TearDown() override {
        Reg("delete \"" + kKey + "\" /f");
        Reg("delete \"" + kSettings + "\" /f");
    }
};

TEST_F(Win32RegistryTest, WritesAreWhereRegFindsThemAndWhatRegAddsIsRead) {
    const struct {
        std::string name;  // under kKey
        RegValue value;
        const char* type;
        std::string queried;
    } rows[] = {
        {"New\\Keys\\Start", 4, "REG_DWORD", "REG_DWORD 0x4"},  // the keys on the way created
        {"Wide", 70000, "REG_DWORD", "REG_DWORD 0x11170"},
        {"Negative", -1, "REG_DWORD", "REG_DWORD 0xffffffff"},
        {"Text", std::string("letters"), "REG_SZ", "REG_SZ letters"},
    };
    for (const auto& row : rows) {
        const std::string full = kKey + "\\" + row.name;
        const std::size_t last = full.rfind('\\');
        platform::CreateRegistryShell()->RegWrite(full, row.value, row.type);
        EXPECT_EQ(Queried(full.substr(0, last), full.substr(last + 1)), row.queried);
        // Read back by a shell of its own: each shell has its own COM apartment.
        EXPECT_EQ(platform::CreateRegistryShell()->RegRead(full), row.value) << row.name;
    }
    const std::string accented = "m\xC3\xA1ng\xC3\xB3 \xE2\x82\xAC";
    platform::CreateRegistryShell()->RegWrite(kKey + "\\Accented", accented, "REG_SZ");
    EXPECT_EQ(platform::CreateRegistryShell()->RegRead(kKey + "\\Accented"), RegValue(accented));

    Reg("add \"" + kKey + "\" /v Added /t REG_DWORD /d 2 /f");
    EXPECT_EQ(platform::CreateRegistryShell()->RegRead(kKey + "\\Added"), RegValue(2));
    Reg("add \"" + kKey + "\" /v Added /t REG_SZ /d four /f");  // text where a number was
    EXPECT_EQ(platform::CreateRegistryShell()->RegRead(kKey + "\\Added"),
              RegValue(std::string("four")));
}

TEST_F(Win32RegistryTest, FailuresRaiseTheirNumberAndLeaveNothing) {
    const auto shell = platform::CreateRegistryShell();
    const auto invalid = static_cast<std::uint32_t>(E_INVALIDARG);
    const struct {
        std::function<void()> call;
        std::uint32_t number;  // 0: any
    } rows[] = {
        {[&] { shell->RegRead(kKey + "\\Absent"); }, registry_error::kNotFound},
        {[&] { shell->RegRead(kKey + "\\No\\Such\\Value"); }, registry_error::kNotFound},
        {[&] { shell->RegRead(kSettings + "\\Binary"); },
         static_cast<std::uint32_t>(DISP_E_TYPEMISMATCH)},
        {[&] { shell->RegWrite(kKey + "\\Letters", "abc", "REG_DWORD"); }, 0},
        {[&] { shell->RegWrite("HKXX\\Software\\Varnholt Test\\V", 1, "REG_DWORD"); }, 0},
        {[&] { shell->RegWrite(kKey + "\\Bad\xFF", 1, "REG_DWORD"); }, invalid},
        {[&] { shell->RegWrite(kKey + "\\Cut", std::string("AB\0CD", 5), "REG_SZ"); }, invalid},
    };
    Reg("add \"" + kSettings + "\" /v Binary /t REG_BINARY /d 010203 /f");
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        const std::uint32_t number = RaisedNumber(rows[i].call);
        EXPECT_TRUE(rows[i].number == 0 ? number != 0 : number == rows[i].number) << "row " << i;
    }
    EXPECT_EQ(Reg("query \"" + kKey + "\""), "");  // not even a key was made
}

TEST_F(Win32RegistryTest, SettingsLiveAsTextUnderTheirFullName) {
    const auto store = platform::CreateSettingsStore();
    EXPECT_EQ(store->GetSetting("Varnholt Test", "t", "p", "none"), "none");
    store->SaveSetting("Varnholt Test", "t", "p", "0123456789ABCDEF");
    EXPECT_EQ(Queried(kSettings + "\\t", "p"), "REG_SZ 0123456789ABCDEF");
    Reg("add \"" + kSettings + "\\t\" /v p /t REG_SZ /d \"typed by hand\" /f");
    EXPECT_EQ(store->GetSetting("Varnholt Test", "t", "p", ""), "typed by hand");
}

}  // namespace
}  // namespace varnholt
