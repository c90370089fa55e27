#include "program_fixture.h"

#include <utility>

#include "auth/crypto_service.h"
#include "auth/file_access.h"
#include "auth/password.h"
#include "auth/registry_settings_store.h"
#include "platform/linux/hive_registry.h"
#include "runtime/error.h"

namespace varnholt::ui::testing {
namespace {

std::string LastPart(const std::string& name) {
    return name.substr(name.rfind('\\') + 1);
}

std::string Text(const RegValue& value) {
    if (const auto* number = std::get_if<std::int32_t>(&value)) {
        return std::to_string(*number);
    }
    return "\"" + std::get<std::string>(value) + "\"";
}

const std::string kNothingRefused;

[[noreturn]] void RefuseOutsideATest() {
    Raise(ErrorNumber(registry_error::kAccessDenied), "test", "no registry outside a test");
}

}  // namespace

RecordingShell::RecordingShell(std::unique_ptr<RegistryShell> inner, std::vector<std::string>& log,
                               const std::string& refused_value)
    : inner_(std::move(inner)), log_(log), refused_value_(refused_value) {}

RegValue RecordingShell::RegRead(const std::string& name) {
    log_.push_back("read " + LastPart(name));
    return inner_->RegRead(name);
}

void RecordingShell::RegWrite(const std::string& name, const RegValue& value,
                              std::string_view type) {
    log_.push_back("write " + LastPart(name) + "=" + Text(value));
    if (LastPart(name) == refused_value_) {
        Raise(ErrorNumber(registry_error::kAccessDenied), "WshShell.RegWrite", "Access is denied.");
    }
    inner_->RegWrite(name, value, type);
}

ProgramTest::ProgramTest() {
    SharedShell().SetFactory([this] {
        return std::make_unique<RecordingShell>(
            std::make_unique<platform::HiveRegistry>(machine_hive, user_hive), policy_log,
            refused_value);
    });
    SharedSettingsStore().SetFactory([this] {
        return std::make_unique<RegistrySettingsStore>(std::make_unique<RecordingShell>(
            std::make_unique<platform::HiveRegistry>(machine_hive, user_hive), settings_log,
            kNothingRefused));
    });
    SharedHasher().SetFactory([] {
        return std::make_unique<MD5Hash>(platform::CreateCryptoService(),
                                         platform::CreateFileAccess());
    });
    PasswordHash().clear();
}

// No later test may reach this one's folder, nor a real machine's hives.
ProgramTest::~ProgramTest() {
    SharedShell().SetFactory([]() -> std::unique_ptr<RegistryShell> { RefuseOutsideATest(); });
    SharedSettingsStore().SetFactory(
        []() -> std::unique_ptr<SettingsStore> { RefuseOutsideATest(); });
    SharedHasher().Reset();
    PasswordHash().clear();
}

void ProgramTest::Seed(const std::string& name, const RegValue& value) {
    platform::HiveRegistry(machine_hive, user_hive)
        .RegWrite(name, value, std::holds_alternative<std::string>(value) ? "REG_SZ" : "REG_DWORD");
}

void ProgramTest::StorePassword(const std::string& password) {
    Seed(RegistrySettingsStore::ValueName(kPasswordApplication, kPasswordSection, kPasswordKey),
         PasswordDigest(password));
}

std::optional<std::string> ProgramTest::StoredDigest() {
    try {
        return std::get<std::string>(
            platform::HiveRegistry(machine_hive, user_hive)
                .RegRead(RegistrySettingsStore::ValueName(kPasswordApplication, kPasswordSection,
                                                          kPasswordKey)));
    } catch (const Error&) {
        return std::nullopt;
    }
}

Window& ProgramTest::Loaded(WindowId id) {
    Window* window = application.Loaded(id);
    if (window == nullptr) {
        ADD_FAILURE() << "window " << static_cast<int>(id) << " is not loaded";
        throw ProcessEnded{};
    }
    return *window;
}

void ProgramTest::StartAndLogIn(const std::string& password) {
    application.Main();
    TypeAndClick(Loaded(WindowId::kLogin), "Text1", password);
}

std::string ProgramTest::State(Window& window, std::string_view control) {
    const Control* found = window.FindControl(control);
    return found == nullptr ? "no " + std::string(control) : StateOf(*found);
}

bool ProgramTest::TypeAndClick(Window& window, const std::string& text_box,
                               const std::string& text) {
    return toolkit.Type(window, text_box, text) && toolkit.Click(window, "Command1");
}

}  // namespace varnholt::ui::testing
