#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/win32/win32_text.h"
#include "policy/registry_shell.h"
#include "runtime/error.h"

namespace varnholt {
namespace {

// Everything lives under one test key of the current user, removed before and after.
constexpr wchar_t kTestKey[] = L"Software\\Varnholt Shell Test";
const std::string kRoot = "HKCU\\Software\\Varnholt Shell Test\\";

class WshRegistryShellTest : public ::testing::Test {
  protected:
    void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey); }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey); }

    // What the registry itself holds, read past the shell.
    static DWORD StoredType(const std::wstring& subkey, const wchar_t* value) {
        DWORD type = REG_NONE;
        const std::wstring key = std::wstring(kTestKey) + L"\\" + subkey;
        if (RegGetValueW(HKEY_CURRENT_USER, key.c_str(), value, RRF_RT_ANY, &type, nullptr,
                         nullptr) != ERROR_SUCCESS) {
            return REG_NONE;
        }
        return type;
    }

    static void Store(const std::wstring& subkey, const wchar_t* value, DWORD type,
                      const void* data, DWORD size) {
        const std::wstring key = std::wstring(kTestKey) + L"\\" + subkey;
        ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), value, type, data, size),
                  ERROR_SUCCESS);
    }

    static std::int32_t ErrorNumberOf(const std::function<void()>& call) {
        try {
            call();
        } catch (const Error& error) {
            EXPECT_FALSE(error.description().empty());
            return error.number();
        }
        ADD_FAILURE() << "no error raised";
        return 0;
    }

    std::unique_ptr<RegistryShell> shell_ = platform::CreateRegistryShell();
};

TEST_F(WshRegistryShellTest, WriteCreatesMissingKeysAndStoresADword) {
    shell_->RegWrite(kRoot + "Deep\\Er\\Start", 4, "REG_DWORD");
    EXPECT_EQ(StoredType(L"Deep\\Er", L"Start"), static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(shell_->RegRead(kRoot + "Deep\\Er\\Start"), RegValue(4));
    shell_->RegWrite(kRoot + "Deep\\Er\\Start", 3, "REG_DWORD");  // overwritten in place
    EXPECT_EQ(shell_->RegRead(kRoot + "Deep\\Er\\Start"), RegValue(3));
}

TEST_F(WshRegistryShellTest, NumbersBeyondSixteenBitsAreNotCutShort) {
    for (const std::int32_t number : {32767, -32768, 65536, 100000, -1}) {
        shell_->RegWrite(kRoot + "Number", number, "REG_DWORD");
        EXPECT_EQ(shell_->RegRead(kRoot + "Number"), RegValue(number)) << number;
    }
}

TEST_F(WshRegistryShellTest, TextWrittenAndReadAsUtf8) {
    const std::string text = "\xC5\xBElu\xC5\xA5 k\xC5\xAF\xC5\x88";
    shell_->RegWrite(kRoot + "Text", text, "REG_SZ");
    EXPECT_EQ(StoredType(L"", L"Text"), static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(shell_->RegRead(kRoot + "Text"), RegValue(text));
}

TEST_F(WshRegistryShellTest, AStringWhereADwordIsExpectedReadsAsItsText) {
    const wchar_t letters[] = L"four";
    Store(L"", L"Start", REG_SZ, letters, sizeof letters);
    EXPECT_EQ(shell_->RegRead(kRoot + "Start"), RegValue(std::string("four")));
}

TEST_F(WshRegistryShellTest, AMissingValueOrKeyFailsWithNotFound) {
    shell_->RegWrite(kRoot + "Present", 1, "REG_DWORD");
    EXPECT_EQ(ErrorNumberOf([&] { shell_->RegRead(kRoot + "Absent"); }),
              ErrorNumber(registry_error::kNotFound));
    EXPECT_EQ(ErrorNumberOf([&] { shell_->RegRead(kRoot + "No\\Such\\Key\\Value"); }),
              ErrorNumber(registry_error::kNotFound));
}

TEST_F(WshRegistryShellTest, ValuesWithoutANumberOrTextFormAreUnreadable) {
    const BYTE binary[] = {1, 2, 3};
    Store(L"", L"Binary", REG_BINARY, binary, sizeof binary);
    EXPECT_EQ(ErrorNumberOf([&] { shell_->RegRead(kRoot + "Binary"); }),
              ErrorNumber(static_cast<std::uint32_t>(DISP_E_TYPEMISMATCH)));
}

TEST_F(WshRegistryShellTest, AFailedWriteRaisesAndWritesNothing) {
    EXPECT_NE(ErrorNumberOf([&] { shell_->RegWrite(kRoot + "Letters", "abc", "REG_DWORD"); }), 0);
    EXPECT_EQ(StoredType(L"", L"Letters"), static_cast<DWORD>(REG_NONE));
    EXPECT_NE(ErrorNumberOf([&] {
                  shell_->RegWrite("HKXX\\Software\\Varnholt Shell Test\\V", 1, "REG_DWORD");
              }),
              0);
}

TEST_F(WshRegistryShellTest, TextTheRegistryWouldMisreadIsRefusedBeforeIt) {
    const auto invalid_argument = ErrorNumber(static_cast<std::uint32_t>(E_INVALIDARG));
    EXPECT_EQ(ErrorNumberOf([&] { shell_->RegWrite(kRoot + "Bad\xFF", 1, "REG_DWORD"); }),
              invalid_argument);
    EXPECT_EQ(
        ErrorNumberOf([&] { shell_->RegWrite(kRoot + "Cut", std::string("AB\0CD", 5), "REG_SZ"); }),
        invalid_argument);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey), ERROR_FILE_NOT_FOUND);
}

TEST_F(WshRegistryShellTest, EachShellIsItsOwnObjectAndOutlivesNoApartment) {
    // Two shells one after the other on the same thread: the second is created afresh after
    // the first has left the apartment.
    shell_.reset();
    auto second = platform::CreateRegistryShell();
    second->RegWrite(kRoot + "Again", 1, "REG_DWORD");
    EXPECT_EQ(second->RegRead(kRoot + "Again"), RegValue(1));
}

}  // namespace
}  // namespace varnholt
